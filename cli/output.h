// How the command writes: tables, shell words, and long steps on stderr.
#pragma once

#include <string>
#include <vector>

namespace loadgrid::cli {

using Row = std::vector<std::string>;

// Rows of cells, the first left-aligned and the rest right-aligned, two
// spaces apart.
void table(const std::vector<Row> &rows);

// A word as a POSIX shell reads it back, quoted only where it must be.
std::string quoted(const std::string &word);
std::string shell_line(const std::vector<std::string> &words);

// A step that takes a while, said on stderr.
void say(const std::string &what);

} // namespace loadgrid::cli
