// Main's D1 misses as cachegrind counts them, and the misses of the whole
// din trace, for caches of one set count and line size and any ways.
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

	Misses &operator+=(const Misses &o)
	{
		main_reads += o.main_reads;
		main_writes += o.main_writes;
		trace_reads += o.trace_reads;
		trace_writes += o.trace_writes;
		return *this;
	}
	Misses operator-(const Misses &o) const
	{
		return {main_reads - o.main_reads, main_writes - o.main_writes,
			trace_reads - o.trace_reads, trace_writes - o.trace_writes};
	}
	Misses operator*(std::uint64_t k) const
	{
		return {main_reads * k, main_writes * k, trace_reads * k, trace_writes * k};
	}
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
class D1Count {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = true;

	D1Count(std::uint64_t sets, unsigned line, const std::vector<unsigned> &ways)
	    : n(ways.size()), ways(ways), cg(sets, most(ways), line), din(sets, most(ways), line),
	      bits(cg.line_bits()), split(sets), front_of_both(sets)
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main,
			std::uint32_t = 0)
	{
		access(kind, addr, size, main);
	}

	// What the replay asks of a count.
	unsigned line_bits(char) const { return bits; }
	std::uint64_t set_of(char, std::uint64_t line) const { return cg.set_of(line); }
	Front front(char, std::uint64_t line, bool) const
	{
		return {&front_of_both[cg.set_of(line)], Lru::tag(line), ~std::uint64_t(0)};
	}
	bool repeats_are_quiet() const { return true; }
	void quiet(const Op &) {}
	void access(const Op &op, std::uint64_t addr) { access(op.kind, addr, op.size, op.main); }
	void add(std::uint32_t, const Cost &) {}
	bool same_state(const D1Count &o) const;
	void repeat(const D1Count &before, std::uint64_t times)
	{
		for (std::size_t g = 0; g < n.size(); g++)
			n[g] += (n[g] - before.n[g]) * times;
	}

	std::vector<Misses> n; // per number of ways, in the order given

      private:
	std::vector<unsigned> ways;
	Lru cg, din; // din holds only the sets marked split
	unsigned bits;
	std::vector<std::uint8_t> split;
	// Per set, the tag of the line at the front of both caches, or 0 where
	// that is not known: touching that line again changes nothing.
	std::vector<std::uint64_t> front_of_both;

	static unsigned most(const std::vector<unsigned> &ways)
	{
		return *std::max_element(ways.begin(), ways.end());
	}

	[[gnu::always_inline]] void access(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		Span s = span(addr, size, bits);
		if (s.straddles())
			straddle(s, main, kind == 'S');
		else
			touch(s.first, main, kind == 'S');
	}

	void straddle(Span s, bool main, bool write);

	// An access within one line.  A modify is a read here: its write in
	// the din trace always hits.
	[[gnu::always_inline]] void touch(std::uint64_t line, bool main, bool write)
	{
		unsigned d = cg.touch(line);
		unsigned dd = d;
		std::uint64_t s = cg.set_of(line);
		if (split[s]) {
			dd = din.touch(line);
			split[s] = !din.same_set(cg, s);
		}
		front_of_both[s] = Lru::tag(line);
		if (ways.size() == 1)
			count(n[0], ways[0], d, dd, main, write);
		else
			for (std::size_t g = 0; g < ways.size(); g++)
				count(n[g], ways[g], d, dd, main, write);
	}

	[[gnu::always_inline]] static void count(Misses &m, unsigned ways, unsigned d, unsigned dd,
						 bool main, bool write)
	{
		if (write) {
			m.main_writes += main && d >= ways;
			m.trace_writes += dd >= ways;
		} else {
			m.main_reads += main && d >= ways;
			m.trace_reads += dd >= ways;
		}
	}
};
