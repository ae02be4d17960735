#pragma once

#include <string>
#include <string_view>

namespace loadgrid::store {

// XXH3's 128-bit hash of bytes, as 32 lowercase hexadecimal digits: the seal
// of a sealed file and the stuff of every key.  It finds damage, not forgery:
// whoever can write the cache can write a matching seal with any checksum.
std::string checksum(std::string_view bytes);

// The checksum of a file's bytes, read in blocks; FileError where it cannot
// be read.
std::string file_checksum(const std::string &path);

// What names a run's model: the kernel's digest, the run's definition (all
// that reaches the process but the binary and the tool) and the model's
// format, one after the other.  Its file is KERNEL-KEY16-VALGRIND8.model.
std::string run_key(const std::string &binary_digest, const std::string &run_definition,
		    const std::string &model_format);

} // namespace loadgrid::store
