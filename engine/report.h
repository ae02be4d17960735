// A run's whole cachegrind report: the instruction, first-level data and
// last-level caches, every function's events.
#pragma once

#include <cstdint>
#include <vector>

#include "cache.h"
#include "model.h"
#include "replay.h"

// I1, D1 and LL as cachegrind simulates them, LRU and empty at the start.
// An instruction's fetch is one I1 access of its address and size; a data
// access is one D1 access of its size, a modify being a read.  Each access
// touches the lines of its span (see span()).  LL sees only the accesses
// that missed in I1 or D1, with their own address and size.
class alignas(HOST_LINE) Hierarchy {
      public:
	static constexpr bool FETCHES = true;
	static constexpr bool FRONT_IS_LAST = true;
	static constexpr bool QUIET_HITS = false;

	Hierarchy(CacheShape i1, CacheShape d1, CacheShape ll, std::size_t places)
	    : cost(places, Cost{}), i1(i1.sets, i1.assoc, i1.line), d1(d1.sets, d1.assoc, d1.line),
	      ll(ll.sets, ll.assoc, ll.line)
	{
	}

	// A record of place p: counted, and through the caches.
	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool, std::uint32_t p)
	{
		cost[p][event(kind)]++;
		access(kind, addr, size, p);
	}

	// What the replay asks of a count.
	unsigned line_bits(char kind) const { return first(kind).line_bits(); }
	std::uint64_t set_of(char kind, std::uint64_t line) const { return first(kind).set_of(line); }
	Front front(char kind, std::uint64_t line, bool) const
	{
		return {first(kind).front(first(kind).set_of(line)), Lru::tag(line), ~std::uint64_t(0)};
	}
	bool repeat_is_quiet(char, bool, bool) const { return true; }
	// Inlined into the replay's loop: as a call, its entry and exit cost
	// a sixth of the instructions of an op that missed its front.
	[[gnu::always_inline]] void access(const Op &op, std::uint64_t addr)
	{
		access(op.kind, addr, op.size, op.place);
	}
	void add(std::uint32_t p, const Cost &c)
	{
		for (int e : {IR, DR, DW})
			cost[p][e] += c[e];
	}
	void accesses(std::uint64_t, std::uint64_t) {}
	bool holds_fetched(std::uint64_t line) const { return i1.holds(line); }
	bool same_state(const Hierarchy &o) const { return i1 == o.i1 && d1 == o.d1 && ll == o.ll; }
	void repeat(const Hierarchy &before, std::uint64_t times)
	{
		for (std::size_t p = 0; p < cost.size(); p++)
			for (int e = 0; e < EVENTS; e++)
				cost[p][e] += (cost[p][e] - before.cost[p][e]) * times;
	}

	Lines<Cost> cost; // per place of the model

      private:
	Lru i1, d1, ll;

	const Lru &first(char kind) const { return kind == 'I' ? i1 : d1; }

	[[gnu::always_inline]] void access(char kind, std::uint64_t addr, std::uint32_t size,
					   std::uint32_t p)
	{
		Event e = event(kind);
		if (miss(kind == 'I' ? i1 : d1, addr, size)) {
			cost[p][e + 1]++;
			if (miss(ll, addr, size))
				cost[p][e + 2]++;
		}
	}

	[[gnu::always_inline]] static bool miss(Lru &c, std::uint64_t addr, std::uint32_t size)
	{
		Span s = span(addr, size, c.line_bits());
		bool m = c.miss(s.first);
		if (s.straddles())
			m |= c.miss(s.last);
		return m;
	}
};
