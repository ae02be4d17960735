#pragma once

#include <string>

namespace loadgrid::store {

// The folder models and facts are kept in: $LOADGRID_MODEL_CACHE, else
// $XDG_CACHE_HOME/loadgrid-model, else ~/.cache/loadgrid-model.
std::string cache_dir();

// Where folder cannot be made (with its parents) or a file made in it, why,
// as the command says it; else "".
std::string why_not_writable(const std::string &folder);

// The folder kept for this user where cache_dir() cannot be written:
// /var/tmp/loadgrid-model-UID.
std::string per_user_folder();

// Makes folder, mode 0700, if it is missing; Error, saying why, if it is
// not then a folder of this user's own, of mode 0700, that this user can
// write in.  A folder in a place everyone can write to is trusted only so.
void make_private_folder(const std::string &folder);

} // namespace loadgrid::store
