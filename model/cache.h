// Set-associative LRU caches that allocate on write and start empty.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

// One cache of whole lines: each set keeps its lines' numbers, most
// recently used first.
class Lru {
      public:
	Lru(std::uint64_t size, unsigned assoc, unsigned line)
	    : assoc(assoc), sets((size / line) / assoc),
	      tags(sets * assoc, EMPTY)
	{
		while ((1u << bits) < line)
			bits++;
	}

	unsigned line_bits() const { return bits; }

	// Touches line number n; true on a miss.  Lines slide down the set
	// while it is searched, until n is found or the last one falls out.
	bool ref(std::uint64_t n)
	{
		std::uint64_t *set = &tags[(n & (sets - 1)) * assoc];
		std::uint64_t prev = set[0];
		if (prev == n)
			return false;
		set[0] = n;
		for (unsigned i = 1; i < assoc; i++) {
			std::uint64_t cur = set[i];
			set[i] = prev;
			if (cur == n)
				return false;
			prev = cur;
		}
		return true;
	}

	bool operator==(const Lru &o) const { return tags == o.tags; }

      private:
	static constexpr std::uint64_t EMPTY = ~std::uint64_t(0);
	unsigned assoc;
	std::uint64_t sets;
	unsigned bits = 0;
	std::vector<std::uint64_t> tags;
};

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
		return {main_reads * k, main_writes * k, trace_reads * k,
			trace_writes * k};
	}
};

// One geometry, counted two ways over the same records.
//
// As cachegrind counts: a data access of up to 16 bytes (larger ones are
// cut to 16), touching both lines when it straddles two and then missing
// once; a modify is one access, counted as a read.  Only the misses of
// main's own accesses are kept.
//
// As a din trace: one record per line touched, a modify being a read and
// then a write.  Every record counts.
//
// The two see the same lines touched in the same order until an access
// straddles two lines, so until then one cache serves both.
class Sim {
      public:
	Sim(std::uint64_t size, unsigned assoc, unsigned line)
	    : cg(size, assoc, line), din(size, assoc, line), bits(cg.line_bits())
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		std::uint64_t first = addr >> bits;
		std::uint64_t last = (addr + std::min(size, 16u) - 1) >> bits;
		if (shared && last != first) {
			din = cg;
			shared = false;
		}
		bool miss = cg.ref(first);
		if (last != first)
			miss = cg.ref(last) || miss;
		if (main && miss)
			(kind == 'S' ? n.main_writes : n.main_reads)++;
		bool dmiss = shared ? miss : din.ref(first);
		if (kind == 'S')
			n.trace_writes += dmiss;
		else
			n.trace_reads += dmiss; // a modify's write then always hits
	}

	bool same_state(const Sim &o) const
	{
		return cg == o.cg && (shared ? o.shared || cg == o.din
					     : o.shared ? din == o.cg : din == o.din);
	}

	Misses n;

      private:
	Lru cg, din;
	unsigned bits;
	bool shared = true; // din's state is cg's
};
