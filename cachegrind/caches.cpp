#include "caches.h"

#include <algorithm>

namespace loadgrid::cachegrind {

const char *const RULES =
	"SIZE, ASSOC and LINE are in bytes; a k, m or g suffix means KiB, MiB or\n"
	"GiB (32k). As cachegrind wants them: each below 2 GiB, the line a power\n"
	"of two at least as wide as the machine's widest register (32 bytes with\n"
	"AVX), the sets a power of two, more than one line.";

namespace {

bool power_of_two(std::uint64_t n) { return (n & (n - 1)) == 0; }

std::vector<std::string> fields(const std::string &text)
{
	std::vector<std::string> out;
	std::size_t at = 0, comma;
	while ((comma = text.find(',', at)) != std::string::npos) {
		out.push_back(text.substr(at, comma - at));
		at = comma + 1;
	}
	out.push_back(text.substr(at));
	return out;
}

} // namespace

std::uint64_t number(const std::string &text)
{
	std::size_t digits = text.find_first_not_of("0123456789");
	if (digits == std::string::npos)
		digits = text.size();
	std::string suffix = text.substr(digits);
	static const std::string SUFFIXES = "kKmMgG"; // by 2^10, 2^20, 2^30
	std::size_t power = suffix.size() == 1 ? SUFFIXES.find(suffix[0]) : std::string::npos;
	if (digits == 0 || !(suffix.empty() || power != std::string::npos))
		throw Refused("'" + text + "' is not a number of bytes (digits, then k, m or g if any)");
	// A number of LIMIT or more is refused whatever its suffix, so one
	// that large need only be known to be at least LIMIT.
	std::uint64_t n = 0;
	for (std::size_t k = 0; k < digits; k++)
		n = std::min(n * 10 + std::uint64_t(text[k] - '0'), LIMIT);
	int shift = suffix.empty() ? 0 : 10 * int(power / 2 + 1);
	return n << shift;
}

Geometry geometry(const std::string &text)
{
	std::vector<std::string> parts = fields(text);
	if (parts.size() != 3)
		throw Refused("want SIZE,ASSOC,LINE");
	Geometry g{number(parts[0]), number(parts[1]), number(parts[2])};
	if (!g.size || !g.assoc || !g.line)
		throw Refused("sizes must be above zero");
	if (g.size >= LIMIT || g.assoc >= LIMIT || g.line >= LIMIT)
		throw Refused("a number of " + std::to_string(LIMIT >> 30) + " GiB or more");
	if (!power_of_two(g.line))
		throw Refused("the line size is not a power of two");
	if (g.line < MIN_LINE)
		throw Refused("lines under " + std::to_string(MIN_LINE) + " bytes");
	if (g.size % (g.line * g.assoc))
		throw Refused("the size is not a whole number of sets");
	if (!power_of_two(g.size / g.line / g.assoc))
		throw Refused("the set count is not a power of two");
	if (g.size <= g.line)
		throw Refused("the cache holds one line at most");
	return g;
}

std::string spelled(const Geometry &g)
{
	return std::to_string(g.size) + "," + std::to_string(g.assoc) + "," + std::to_string(g.line);
}

void narrow(const std::vector<Geometry> &geometries, std::uint64_t narrowest)
{
	for (const Geometry &g : geometries)
		if (g.line < narrowest)
			throw Refused(spelled(g) + ": lines under " + std::to_string(narrowest) +
				      " bytes, the widest register here");
}

} // namespace loadgrid::cachegrind
