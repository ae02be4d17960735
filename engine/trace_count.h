// The din trace's figures under the conventions simulators are taught and
// tested with: a replacement policy (replacement.h), write-back or
// write-through, and the three kinds of miss.
//
// Each din record is one access to the line that holds its address (a
// modify is a read, then a write); the cache starts empty.
//   write-back: writes allocate; a written line is dirty, and putting out a
//     dirty line is one write-back.  Lines still dirty at the end are not
//     write-backs, but are counted.
//   write-through: writes do not allocate: a write miss leaves the cache as
//     it was, a write hit is a use, and every write goes to memory.
//   kinds (Hill's): compulsory, the lines ever touched; capacity, the
//     misses of a fully associative LRU cache of as many lines, less the
//     compulsory ones; conflict, the misses less both (negative, it may
//     be, under LRU too: a set can keep a line that the fully associative
//     cache has put out).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "fully_associative.h"
#include "model.h"
#include "policy_cache.h"
#include "replay.h"

// The figures of a din trace in one cache, in the order they are printed.
enum Figure {
	READS, WRITES, READ_MISSES, WRITE_MISSES, EVICTIONS, WRITEBACKS,
	FULL_MISSES, // of a fully associative LRU cache of as many lines
	COMPULSORY,  // lines touched
	FIGURES
};
using Figures = std::array<std::uint64_t, FIGURES>;

// The figures of one cache over the din trace, counted through the replay.
template <class Replacement> class TraceCount {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = false;

	TraceCount(CacheShape shape, PolicyOptions options, bool kinds)
	    : cache(shape, options), kinds(kinds), full(shape.sets * shape.assoc, options.write_back)
	{
	}

	// A record in full: the din trace's accesses, counted and made.
	void operator()(char kind, std::uint64_t addr, std::uint32_t, bool, std::uint32_t = 0)
	{
		accesses(din_reads(kind), din_writes(kind));
		touches(kind, addr);
	}

	// What the replay asks of a count.
	unsigned line_bits(char) const { return cache.line_bits(); }
	std::uint64_t set_of(char, std::uint64_t line) const { return line; }
	// Without the kinds, a hit on the line its set used last changes
	// nothing, but a write-back write to a clean one.  With them, the
	// fully associative cache's order counts too: only an access to the
	// line touched last, held by both caches, changes nothing.
	Front front(char, std::uint64_t line, bool write) const
	{
		return kinds ? cache.front_at(&last, line, write) : cache.front(line, write);
	}
	bool repeats_are_quiet() const { return false; }
	[[gnu::always_inline]] void access(const Op &op, std::uint64_t addr) { touches(op.kind, addr); }
	void add(std::uint32_t, const Cost &) {}
	void accesses(std::uint64_t reads, std::uint64_t writes)
	{
		n[READS] += reads;
		n[WRITES] += writes;
	}
	bool same_state(const TraceCount &o) const
	{
		return cache == o.cache && (!kinds || full == o.full);
	}
	void repeat(const TraceCount &before, std::uint64_t times)
	{
		for (int k = 0; k < FIGURES; k++)
			n[k] += (n[k] - before.n[k]) * times;
	}

	std::uint64_t dirty_lines() const { return cache.dirty_lines(); }

	Figures n{};
	// Where to tell how each access went, if anywhere (for -v).
	std::vector<AccessResult> *told = nullptr;

      private:
	PolicyCache<Replacement> cache;
	bool kinds;
	FullyAssociative full; // as many lines
	// With the kinds: the line touched last, plus one, where both caches
	// hold it and at their fronts, with DIRTY if that was a write-back
	// write; else 0.
	std::uint64_t last = 0;

	// A record's accesses, made but not counted.
	[[gnu::always_inline]] void touches(char kind, std::uint64_t addr)
	{
		std::uint64_t n = addr >> cache.line_bits();
		if (din_reads(kind))
			touch(n, false);
		if (din_writes(kind))
			touch(n, true);
	}

	[[gnu::always_inline]] void touch(std::uint64_t line, bool write)
	{
		AccessResult r = cache.access(line, write);
		if (!r.hit) { // most accesses hit, and then count nothing here
			n[write ? WRITE_MISSES : READ_MISSES]++;
			n[EVICTIONS] += r.evicted;
			n[WRITEBACKS] += r.wrote_back;
		}
		if (told)
			told->push_back(r);
		if (kinds) {
			FullyAssociative::Touch t = full.touch(line, write);
			n[FULL_MISSES] += t.miss;
			n[COMPULSORY] += t.first;
			bool both = cache.write_back() || !write || (r.hit && !t.miss);
			last = both ? cache.held(line, write) : 0;
		}
	}
};
