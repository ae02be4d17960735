// cachegrind's rules for a cache, as its --I1, --D1 and --LL options take
// one: SIZE,ASSOC,LINE in bytes, each below 2 GiB (a k, m or g suffix for
// KiB, MiB or GiB), the line a power of two of at least MIN_LINE bytes and
// as wide as the machine's widest register (which only Valgrind can tell:
// see narrow()), the sets a power of two, and more than one line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache.h"

namespace loadgrid::cachegrind {

constexpr std::uint64_t LIMIT = std::uint64_t(MAX_CACHE_NUMBER) + 1; // every number below it
// Caches below LIMIT tell addresses apart only modulo LIMIT, so stack
// shifts are taken within half of it either way.
constexpr std::int64_t MAX_SHIFT = std::int64_t(LIMIT >> 1);
constexpr const char *LEVELS[] = {"I1", "D1", "LL"};

// The rules in words, as the command's help gives them.
extern const char *const RULES;

struct Geometry {
	std::uint64_t size, assoc, line;
	bool operator==(const Geometry &o) const
	{
		return size == o.size && assoc == o.assoc && line == o.line;
	}
};

// A cache that cachegrind would not take; what() says why.
class Refused : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

// A number of bytes, with an optional k, m or g suffix (either case).
std::uint64_t number(const std::string &text);
// SIZE,ASSOC,LINE checked as cachegrind checks them.
Geometry geometry(const std::string &text);
// A geometry as cachegrind's options spell it: SIZE,ASSOC,LINE.
std::string spelled(const Geometry &g);
// Refuses caches whose lines are narrower than the narrowest line that
// cachegrind takes on this machine.
void narrow(const std::vector<Geometry> &geometries, std::uint64_t narrowest);

} // namespace loadgrid::cachegrind
