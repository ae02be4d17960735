// cachegrind's output file: reading one, and writing one as cachegrind
// writes it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "caches.h"

namespace loadgrid::cachegrind {

constexpr std::size_t EVENT_COUNT = 9;
constexpr const char *EVENTS[EVENT_COUNT] = {"Ir", "I1mr", "ILmr", "Dr", "D1mr", "DLmr", "Dw", "D1mw", "DLmw"};

using Costs = std::array<std::uint64_t, EVENT_COUNT>;
// Where cachegrind counts events: a source file, a function, a line.
using Place = std::tuple<std::string, std::string, std::uint64_t>;
// Events by place, in cachegrind's order: by file, then function, then line.
using Places = std::map<Place, Costs>;

// A file that is not a cachegrind report of a cache simulation; what()
// says where and why, as "cachegrind: ...".
class BadReport : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

// A cachegrind output file: its desc lines, the events of each of its
// lines by place (a place named twice summed), each function's events,
// and the summary line.
struct Report {
	std::vector<std::string> desc;
	Places places;
	std::map<std::string, Costs> functions;
	Costs summary{};
};

Report read_report(const std::string &text);

// The desc line that names a level's cache.
std::string desc(const char *level, const Geometry &g);
// SIZE, ASSOC, LINE of I1, D1 and LL from cachegrind's desc lines.
std::vector<Geometry> descs(const std::vector<std::string> &lines);
// The sum of every place's events: the summary line's.
Costs summary(const Places &places);
// cachegrind's --I1, --D1 and --LL options for three geometries.
std::vector<std::string> cache_options(const std::vector<Geometry> &caches);
// A report as cachegrind writes it, from three caches, its cmd and events
// by place.
std::string report_text(const std::vector<Geometry> &caches, const std::string &cmd, const Places &places);

} // namespace loadgrid::cachegrind
