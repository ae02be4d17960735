// The miss surface: main's D1 misses and the din trace's, as misses gives
// them, for every cache of some line sizes, power-of-two set counts and
// ways, each line size counted on its own, two at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "caches.h"
#include "d1.h"

namespace loadgrid::cli::surface {

using cachegrind::Geometry;

constexpr const char *HEAD = "size,ways,line,sets,main_read_misses,main_write_misses,"
			     "trace_read_misses,trace_write_misses";
constexpr const char *DEFAULT_LINES = "32,64,128,256";
constexpr const char *DEFAULT_SETS = "1-16384";
constexpr const char *DEFAULT_WAYS = "1-32";
constexpr std::size_t MOST = 1 << 16; // caches in a surface

class TooMany : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

using Span = std::pair<std::uint64_t, std::uint64_t>;
using ByLine = std::map<std::uint64_t, std::vector<Geometry>>;

// Per line size, each cache of a power-of-two set count within sets and a
// number of ways within ways, by sets then ways; those cachegrind refuses
// (a cache of one line, or of 2 GiB or more) left out.  TooMany past MOST.
ByLine geometries(const std::vector<std::uint64_t> &lines, Span sets, Span ways);

// The four counts of misses for each cache of one line size.
using Count = std::function<std::vector<Misses>(const std::vector<Geometry> &)>;

// Prints the surface's rows, CSV, in the order of by_line, each line
// size's as soon as it and those before it are done, counting two line
// sizes at a time; say(text) hears how far it has got once a second has
// gone by, and as each line size is done.
void rows(const ByLine &by_line, const Count &count, const std::function<void(const std::string &)> &say);

} // namespace loadgrid::cli::surface
