// A run's whole cachegrind report: the instruction, first-level data and
// last-level caches, every function's events.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "cache.h"
#include "pattern.h"

// cachegrind's events, in the order it writes them.
enum Event { IR, I1MR, ILMR, DR, D1MR, DLMR, DW, D1MW, DLMW, EVENTS };
using Cost = std::array<std::uint64_t, EVENTS>;

// I1, D1 and LL as cachegrind simulates them, LRU and empty at the start.
// An instruction's fetch is one I1 access of its address and size; a data
// access is one D1 access of its size, a modify being a read.  An
// access that spans two lines of a cache touches both, the lower first,
// and misses at most once.  LL sees only the accesses that missed in I1 or
// D1, with their own address and size.
class Hierarchy {
      public:
	Hierarchy(Geometry i1, Geometry d1, Geometry ll, std::size_t places)
	    : cost(places, Cost{}), i1(i1.sets, i1.assoc, i1.line),
	      d1(d1.sets, d1.assoc, d1.line), ll(ll.sets, ll.assoc, ll.line)
	{
	}

	// A record of function fn: counted, and through the caches.
	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool, std::uint32_t fn)
	{
		count(kind, fn);
		access(kind, addr, size, fn);
	}

	static Event event(char kind) { return kind == 'I' ? IR : kind == 'S' ? DW : DR; }
	void count(char kind, std::uint32_t fn) { cost[fn][event(kind)]++; }

	// The caches' part of a record: its misses.
	void access(char kind, std::uint64_t addr, std::uint32_t size, std::uint32_t fn)
	{
		access(cache(kind), event(kind), addr, size, fn);
	}
	// The same, with its first-level cache and its event found already.
	void access(Lru &l1, Event e, std::uint64_t addr, std::uint32_t size, std::uint32_t fn)
	{
		if (miss(l1, addr, size)) {
			cost[fn][e + 1]++;
			if (miss(ll, addr, size))
				cost[fn][e + 2]++;
		}
	}

	Lru &cache(char kind) { return kind == 'I' ? i1 : d1; }
	const Lru &i1_cache() const { return i1; }
	bool same_state(const Hierarchy &o) const { return i1 == o.i1 && d1 == o.d1 && ll == o.ll; }

	std::vector<Cost> cost; // per place of the model

      private:
	Lru i1, d1, ll;

	static bool miss(Lru &c, std::uint64_t addr, std::uint32_t size)
	{
		unsigned b = c.line_bits();
		std::uint64_t first = addr >> b, last = (addr + size - 1) >> b;
		bool m = c.depth(first) == c.ways();
		if (last != first)
			m |= c.depth(last) == c.ways();
		return m;
	}
};

// Runs the passes of a model with the stack shift bytes lower through h,
// as every record through h in turn would, but faster: the loop's steps
// through segments compiled for h's caches, and for a model whose passes
// repeat, only until a pass leaves the caches as it found them.
void report(const Model &m, int passes, std::int64_t shift, Hierarchy &h);
