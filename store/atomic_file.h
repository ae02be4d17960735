#pragma once

#include <functional>
#include <string>

namespace loadgrid::store {

// Makes path by make(temporary) into a file ".XXXXXX.part" beside it, then
// renames that over path, so no reader sees it half made.  The temporary
// file is removed whatever happens, a signal included (remove_temporaries).
void write_atomically(const std::string &path, const std::function<void(const std::string &)> &make);

} // namespace loadgrid::store
