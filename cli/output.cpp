#include "output.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "arguments.h"

namespace loadgrid::cli {

void table(const std::vector<Row> &rows)
{
	std::vector<std::size_t> width;
	for (const Row &r : rows)
		for (std::size_t i = 0; i < r.size(); i++) {
			width.resize(std::max(width.size(), r.size()));
			width[i] = std::max(width[i], r[i].size());
		}
	for (const Row &r : rows) {
		std::string line;
		for (std::size_t i = 0; i < r.size(); i++) {
			std::string pad(width[i] - r[i].size(), ' ');
			line += i ? "  " + pad + r[i] : r[i] + pad;
		}
		line.erase(line.find_last_not_of(' ') + 1);
		std::printf("%s\n", line.c_str());
	}
}

std::string quoted(const std::string &word)
{
	if (word.empty())
		return "''";
	auto safe = [](char c) {
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		       std::strchr("_@%+=:,./-", c);
	};
	if (std::all_of(word.begin(), word.end(), safe))
		return word;
	std::string out = "'";
	for (char c : word)
		out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
	return out + "'";
}

std::string shell_line(const std::vector<std::string> &words)
{
	std::string out;
	for (const std::string &w : words)
		out += (out.empty() ? "" : " ") + quoted(w);
	return out;
}

void say(const std::string &what)
{
	std::fprintf(stderr, "%s: %s\n", PROG, what.c_str());
	std::fflush(stderr);
}

} // namespace loadgrid::cli
