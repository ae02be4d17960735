#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace loadgrid::binary {

// The source line that the instructions from start up to end come from,
// with its file named as cachegrind names it.
struct SourceLine {
	std::uint64_t start;
	std::uint64_t end;
	std::string file;
	int line;
};

// An executable's source lines from the line tables of its DWARF 5 debug
// information, in address order, none overlapping; none for an executable
// without a line table.
std::vector<SourceLine> source_lines(const std::string &path);

} // namespace loadgrid::binary
