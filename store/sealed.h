#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace loadgrid::store {

// A sealed file is UTF-8 text whose last line is "checksum HEX", HEX being
// the checksum of all before it.  Its lines just before that are its notes:
// what it is for ("binary DIGEST", "run KEY"), each a whole line.

// text, which ends in a newline, and its checksum line.
std::string sealed(std::string_view text);

// The text of a sealed file before its checksum line, if the file is whole
// and its last 2 * notes.size() + 2 lines before that (never its first line)
// include every note; else Damaged says what is wrong, and FileError why the
// file cannot be read.
std::string read_sealed(const std::string &path, const std::vector<std::string> &notes);
// The same check, for a file whose text is not wanted.
void check_sealed(const std::string &path, const std::vector<std::string> &notes);

// Each of lines followed by a newline.
std::string as_lines(const std::vector<std::string> &lines);

// Writes sealed(text) to path atomically (write_atomically).
void write_sealed(const std::string &path, std::string_view text);

} // namespace loadgrid::store
