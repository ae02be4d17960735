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

	// Touches line number n; true on a miss.
	bool ref(std::uint64_t n)
	{
		std::uint64_t *set = &tags[(n & (sets - 1)) * assoc];
		if (set[0] == n)
			return false;
		std::uint64_t *end = set + assoc;
		std::uint64_t *hit = std::find(set + 1, end, n);
		bool miss = hit == end;
		if (miss)
			hit = end - 1;
		std::copy_backward(set, hit, hit + 1);
		set[0] = n;
		return miss;
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
class Sim {
      public:
	Sim(std::uint64_t size, unsigned assoc, unsigned line)
	    : cg(size, assoc, line), din(size, assoc, line), bits(cg.line_bits())
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		if (kind == 'I')
			return;
		std::uint64_t first = addr >> bits;
		std::uint64_t last = (addr + std::min(size, 16u) - 1) >> bits;
		bool miss = cg.ref(first);
		if (last != first)
			miss = cg.ref(last) || miss;
		if (main && miss)
			(kind == 'S' ? n.main_writes : n.main_reads)++;
		bool dmiss = din.ref(first);
		if (kind == 'S')
			n.trace_writes += dmiss;
		else
			n.trace_reads += dmiss;
		if (kind == 'M')
			n.trace_writes += din.ref(first);
	}

	bool same_state(const Sim &o) const { return cg == o.cg && din == o.din; }

	Misses n;

      private:
	Lru cg, din;
	unsigned bits;
};
