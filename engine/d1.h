// Main's D1 misses as cachegrind counts them, and the misses of the whole
// din trace, for caches of one line size and any set counts and ways.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cache.h"
#include "model.h"
#include "replay.h"

struct Misses {
	std::uint64_t main_reads = 0, main_writes = 0;
	std::uint64_t trace_reads = 0, trace_writes = 0;
};

// Two counts over the same records, through LRU caches.
//
// As cachegrind counts: a data access touching the lines of its span (see
// span()); a modify is one access, counted as a read.  Only the misses of
// main's own accesses are kept.
//
// As a din trace: one record per line touched, the line of its address, a
// modify being a read and then a write.  Every record counts.
//
// In each set an LRU cache holds the most recent lines, so caches that
// differ only in their ways are all answered by one of the most ways, by
// how deep each line is found.  And the two counts see the same lines
// touched in the same order but where an access straddles two lines, so
// one cache serves both in every set that no straddling access has yet
// made differ.
//
// Caches of one line size and several set counts (levels, the fewest sets
// first) are counted together.  With a line's sets numbered by its low
// bits, each set of the more sets holds a part of the lines of one set of
// the fewer; a line touched last in its set at one level is touched last
// in its set at every level of more sets, where touching it again changes
// nothing.  So a touch goes up the levels only until one finds its line
// at the front of both caches.
class alignas(HOST_LINE) D1Count {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = true;
	static constexpr bool QUIET_HITS = false;

	struct Shape {
		std::uint64_t sets;
		std::vector<unsigned> ways; // answered, fewest first
	};

	// levels: of distinct set counts, a power of two each, fewest first.
	D1Count(const std::vector<Shape> &levels, unsigned line);

	// The misses at a level in a cache of one of its ways.
	Misses misses(std::size_t level, unsigned ways) const;

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main,
			std::uint32_t = 0)
	{
		access(kind, addr, size, main);
	}

	// What the replay asks of a count, of the level of fewest sets.
	unsigned line_bits(char) const { return bits; }
	std::uint64_t set_of(char, std::uint64_t line) const { return levels[0].cg.set_of(line); }
	Front front(char, std::uint64_t line, bool) const
	{
		return {&front_of_both[levels[0].cg.set_of(line)], Lru::tag(line), ~std::uint64_t(0)};
	}
	bool repeat_is_quiet(char, bool, bool) const { return true; }
	void access(const Op &op, std::uint64_t addr) { access(op.kind, addr, op.size, op.main); }
	void add(std::uint32_t, const Cost &) {}
	void accesses(std::uint64_t, std::uint64_t) {}
	bool same_state(const D1Count &o) const;
	void repeat(const D1Count &before, std::uint64_t times);

      private:
	// Per depth at which a touch found its line (the ways for a miss):
	// main's reads and writes, as cachegrind counts, and the din trace's;
	// by the depth itself where the most ways are few, else by how many of
	// the ways answered it reaches (a miss in each of those caches), so
	// that a set of millions of ways needs no more counts than its cache.
	enum Depths { MAIN_READS, MAIN_WRITES, TRACE_READS, TRACE_WRITES, DEPTHS };

	struct Level {
		Lru cg, din; // din holds only the sets ever split
		Lines<std::uint8_t> split; // per set: NEVER, SPLIT or JOINED
		Lines<std::uint64_t> ever_split;
		Lines<std::uint64_t> depths[DEPTHS];
		std::vector<unsigned> ways; // answered
		bool by_depth; // counted by depth, not by the ways it reaches

		Level(const Shape &shape, unsigned line);
		std::size_t reached(unsigned d) const
		{
			if (by_depth)
				return d;
			return std::size_t(std::upper_bound(ways.begin(), ways.end(), d) - ways.begin());
		}
		bool same_state(const Level &o) const;
		bool touch(std::uint64_t line, bool main, bool write);
		void straddle(Span s, bool main, bool write);
		// A touch found at depth d by cachegrind's count, dd by the din
		// trace's.
		void count(unsigned d, unsigned dd, bool main, bool write)
		{
			depths[write ? MAIN_WRITES : MAIN_READS][reached(d)] += main;
			depths[write ? TRACE_WRITES : TRACE_READS][reached(dd)]++;
		}
	};
	enum { NEVER, SPLIT, JOINED };

	std::vector<Level> levels;
	unsigned bits;
	// Per set of the fewest sets, the tag of the line at the front of both
	// caches, or 0 where that is not known: touching that line again
	// changes nothing, at any level.
	Lines<std::uint64_t> front_of_both;

	[[gnu::always_inline]] void access(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		Span s = span(addr, size, bits);
		bool write = kind == 'S';
		if (s.straddles()) {
			for (std::uint64_t l : {s.first, s.last})
				front_of_both[levels[0].cg.set_of(l)] = 0;
			for (Level &level : levels)
				level.straddle(s, main, write);
			return;
		}
		front_of_both[levels[0].cg.set_of(s.first)] = Lru::tag(s.first);
		for (Level &level : levels)
			if (level.touch(s.first, main, write))
				break;
	}
};

// An access within one line, at one level: whether it found its line at
// the front of both caches.  A modify is a read here: its write in the din
// trace always hits.
[[gnu::always_inline]] inline bool D1Count::Level::touch(std::uint64_t line, bool main, bool write)
{
	unsigned d = cg.touch(line), dd = d;
	std::uint64_t s = cg.set_of(line);
	if (!ever_split.empty() && split[s] == SPLIT) {
		dd = din.touch(line);
		if (din.same_set(cg, s))
			split[s] = JOINED;
	}
	count(d, dd, main, write);
	return d == 0 && dd == 0;
}
