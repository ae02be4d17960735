#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace loadgrid::binary {

// A function as cachegrind names the instructions from start up to end.
struct Function {
	std::uint64_t start;
	std::uint64_t end;
	std::string name;
};

// An executable's functions from its ELF symbol table, in address order,
// no two sharing a start.  Function, indirect-function and object symbols
// of some size in executable sections count; where several share an
// address the shortest name wins, ties going to the lowest in byte order;
// the C library's start-up functions are all "(below main)".
std::vector<Function> functions(const std::string &path);

// The build of an executable, in its own words: the compilers named in its
// .comment section (in a static link the C library's too), and this
// system's C library, which a static link took its code from.
std::string build(const std::string &path);

} // namespace loadgrid::binary
