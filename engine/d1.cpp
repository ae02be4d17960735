#include "d1.h"

D1Count::D1Count(const std::vector<Shape> &shapes, unsigned line)
{
	for (const Shape &shape : shapes)
		levels.emplace_back(shape, line);
	bits = levels.at(0).cg.line_bits();
	front_of_both.assign(shapes[0].sets, 0);
}

D1Count::Level::Level(const Shape &shape, unsigned line)
    : cg(shape.sets, shape.ways.back(), line), din(shape.sets, shape.ways.back(), line),
      split(shape.sets, NEVER), ways(shape.ways), by_depth(ways.back() < 4096)
{
	for (auto &d : depths)
		d.assign(by_depth ? ways.back() + 1 : ways.size() + 1, 0);
}

Misses D1Count::misses(std::size_t level, unsigned ways) const
{
	const Level &l = levels[level];
	std::size_t first = l.reached(ways); // a touch that reaches its ways misses
	auto from = [&](Depths k) {
		std::uint64_t n = 0;
		for (std::size_t r = first; r < l.depths[k].size(); r++)
			n += l.depths[k][r];
		return n;
	};
	return {from(MAIN_READS), from(MAIN_WRITES), from(TRACE_READS), from(TRACE_WRITES)};
}

// An access that spans two lines.  Their sets part the two counts: cachegrind
// touches both lines, the lower first (in a cache of one set the order
// tells), and misses once if either misses; the din trace touches the first.
void D1Count::Level::straddle(Span s, bool main, bool write)
{
	for (std::uint64_t l : {s.first, s.last}) {
		std::uint64_t set = cg.set_of(l);
		if (split[set] == NEVER)
			ever_split.push_back(set);
		if (split[set] != SPLIT) {
			din.copy_set(cg, set);
			split[set] = SPLIT;
		}
	}
	unsigned d = cg.touch(s.first);
	d = std::max(d, cg.touch(s.last));
	count(d, din.touch(s.first), main, write);
}

bool D1Count::Level::same_state(const Level &o) const
{
	if (!(cg == o.cg))
		return false;
	for (const Lines<std::uint64_t> *sets : {&ever_split, &o.ever_split})
		for (std::uint64_t s : *sets) {
			const Lru &mine = split[s] == SPLIT ? din : cg;
			const Lru &theirs = o.split[s] == SPLIT ? o.din : o.cg;
			if (!mine.same_set(theirs, s))
				return false;
		}
	return true;
}

bool D1Count::same_state(const D1Count &o) const
{
	for (std::size_t k = 0; k < levels.size(); k++)
		if (!levels[k].same_state(o.levels[k]))
			return false;
	return true;
}

void D1Count::repeat(const D1Count &before, std::uint64_t times)
{
	for (std::size_t k = 0; k < levels.size(); k++)
		for (int e = 0; e < DEPTHS; e++) {
			Lines<std::uint64_t> &now = levels[k].depths[e];
			const Lines<std::uint64_t> &then = before.levels[k].depths[e];
			for (std::size_t d = 0; d < now.size(); d++)
				now[d] += (now[d] - then[d]) * times;
		}
}
