#include "d1.h"

// An access that spans two lines.  Their sets part the two counts: cachegrind
// touches both lines, the lower first (in a cache of one set the order
// tells), and misses once if either misses; the din trace touches the first.
void D1Count::straddle(Span s, bool main, bool write)
{
	for (std::uint64_t l : {s.first, s.last}) {
		std::uint64_t set = cg.set_of(l);
		if (!split[set]) {
			din.copy_set(cg, set);
			split[set] = true;
		}
		front_of_both[set] = 0;
	}
	unsigned d = cg.touch(s.first);
	d = std::max(d, cg.touch(s.last));
	unsigned dd = din.touch(s.first);
	for (std::size_t g = 0; g < ways.size(); g++) {
		if (main && d >= ways[g])
			(write ? n[g].main_writes : n[g].main_reads)++;
		(write ? n[g].trace_writes : n[g].trace_reads) += dd >= ways[g];
	}
}

bool D1Count::same_state(const D1Count &o) const
{
	if (!(cg == o.cg))
		return false;
	for (std::uint64_t s = 0; s < split.size(); s++) {
		const Lru &mine = split[s] ? din : cg, &theirs = o.split[s] ? o.din : o.cg;
		if (!mine.same_set(theirs, s))
			return false;
	}
	return true;
}
