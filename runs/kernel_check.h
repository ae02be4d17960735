// Whether a file is a loadgrid kernel that the model answers for.
#pragma once

#include <string>

namespace loadgrid::runs {

// Checks that path is a readable, statically linked ELF executable named
// as a kernel; throws Failure saying why not.  The command then takes its
// digest (the store's checksum of its bytes), as the two go together.
void check_kernel(const std::string &path);

} // namespace loadgrid::runs
