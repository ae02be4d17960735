#include "error.h"

#include <cerrno>
#include <cstring>

namespace loadgrid::store {

FileError::FileError(const std::string &path, int number)
    : Error(path + ": " + std::strerror(number)), reason_(std::strerror(number)), number_(number)
{
}

FileError system_error(const std::string &path) { return FileError(path, errno); }

} // namespace loadgrid::store
