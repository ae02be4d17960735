// Naive LRU caches for the engine's tests: each set a list of lines, most
// recent first, every record touching them in turn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <list>
#include <vector>

#include "cache.h"
#include "d1.h"
#include "made_up_model.h"
#include "replay.h"

namespace naive_lru {

using made_up::FUNCTIONS;

// An independent count: each set a list of lines, most recent first.
class Naive {
      public:
	Naive(std::uint64_t sets, unsigned ways, unsigned line)
	    : sets(sets), ways(ways), line(line), cg(sets), din(sets)
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		bool write = kind == 'S';
		std::uint64_t first = addr / line, last = (addr + size - 1) / line;
		bool miss = touch(cg, first);
		if (last != first)
			miss |= touch(cg, last);
		if (main)
			(write ? n.main_writes : n.main_reads) += miss;
		(write ? n.trace_writes : n.trace_reads) += touch(din, first);
	}

	Misses n;

      private:
	std::uint64_t sets;
	unsigned ways, line;
	std::vector<std::list<std::uint64_t>> cg, din;

	bool touch(std::vector<std::list<std::uint64_t>> &cache, std::uint64_t l)
	{
		auto &set = cache[l % sets];
		for (auto it = set.begin(); it != set.end(); ++it)
			if (*it == l) {
				set.erase(it);
				set.push_front(l);
				return false;
			}
		set.push_front(l);
		if (set.size() > ways)
			set.pop_back();
		return true;
	}
};

// An independent I1, D1 and LL, each set a list of lines.
class NaiveHierarchy {
      public:
	NaiveHierarchy(const std::vector<CacheShape> &g) : costs(FUNCTIONS + 1, Cost{})
	{
		for (const CacheShape &c : g)
			caches.push_back({c, std::vector<std::list<std::uint64_t>>(c.sets)});
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool, std::uint32_t fn)
	{
		Event e = kind == 'I' ? IR : kind == 'S' ? DW : DR;
		costs[fn][e]++;
		if (miss(caches[kind == 'I' ? 0 : 1], addr, size)) {
			costs[fn][e + 1]++;
			costs[fn][e + 2] += miss(caches[2], addr, size);
		}
	}

	std::vector<Cost> costs;

      private:
	struct Level {
		CacheShape g;
		std::vector<std::list<std::uint64_t>> sets;
	};
	std::vector<Level> caches;

	static bool miss(Level &c, std::uint64_t addr, std::uint32_t size)
	{
		bool m = false;
		for (std::uint64_t l = addr / c.g.line; l <= (addr + size - 1) / c.g.line; l++) {
			auto &set = c.sets[l % c.g.sets];
			auto it = std::find(set.begin(), set.end(), l);
			m |= it == set.end();
			if (it != set.end())
				set.erase(it);
			set.push_front(l);
			if (set.size() > c.g.assoc)
				set.pop_back();
		}
		return m;
	}
};

} // namespace naive_lru
