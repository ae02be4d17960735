// A kernel's run under cachegrind's cache simulation, and what cachegrind
// takes on this machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "caches.h"
#include "run.h"

namespace loadgrid::valgrind {

// Data reads, writes, D1 read misses and D1 write misses of main.
struct MainCounts {
	std::uint64_t dr, dw, d1mr, d1mw;
};

// main's counts in a run, for one D1 geometry.
MainCounts cachegrind(const runs::Run &run, const cachegrind::Geometry &d1);
// The text of cachegrind's output file for a run, with options such as
// --I1=SIZE,ASSOC,LINE; or of /bin/true, for no run, with an empty
// environment as the canonical run has: no VALGRIND_OPTS or ~/.valgrindrc
// to change the caches it picks.
std::string cachegrind_file(const runs::Run *run, const std::vector<std::string> &options);
// The narrowest line cachegrind takes on this machine: least, unless it
// refuses lines of that width for being narrower than the widest register,
// which it then names.
std::uint64_t narrowest_line(std::uint64_t least);

} // namespace loadgrid::valgrind
