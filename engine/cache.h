// Set-associative LRU caches that allocate on write and start empty.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <immintrin.h>

// cachegrind takes caches whose size, ways and line each fit its int, with
// lines of at least 16 bytes.
constexpr long long MAX_CACHE_NUMBER = 0x7fffffff;
constexpr unsigned MIN_LINE = 16;

// A cache's shape: its sets, ways and line size in bytes.
struct Geometry {
	std::uint64_t sets;
	unsigned assoc, line;
};

// A cache's tags, all 0 at the start, that cost nothing until used: the
// kernel gives their pages zeroed as they are first touched, and copies
// and comparisons cover only the blocks where a line was ever put.  A last
// level of 256 MiB has 32 MiB of tags, of which a run fills a few pages.
class Tags {
      public:
	explicit Tags(std::size_t n) : n(n), used((n + BLOCK - 1) / BLOCK)
	{
		p = static_cast<std::uint64_t *>(std::calloc(n ? n : 1, sizeof *p));
		if (!p)
			throw std::bad_alloc();
	}
	Tags(const Tags &o) : Tags(o.n) { *this = o; }
	Tags &operator=(const Tags &o)
	{
		if (n != o.n) {
			Tags fresh(o.n);
			std::swap(n, fresh.n);
			std::swap(p, fresh.p);
			used.swap(fresh.used);
		}
		for (std::size_t b = 0; b < used.size() && this != &o; b++)
			if (used[b] || o.used[b]) {
				std::copy(o.p + b * BLOCK, o.p + end(b), p + b * BLOCK);
				used[b] = o.used[b];
			}
		return *this;
	}
	~Tags() { std::free(p); }

	std::uint64_t *at(std::size_t k) { return p + k; }
	const std::uint64_t *at(std::size_t k) const { return p + k; }
	// Marks elements k to k + count - 1 as ever holding a line.
	void fill(std::size_t k, std::size_t count)
	{
		for (std::size_t b = k / BLOCK; b <= (k + count - 1) / BLOCK; b++)
			used[b] = true;
	}

	bool operator==(const Tags &o) const
	{
		if (n != o.n)
			return false;
		for (std::size_t b = 0; b < used.size(); b++)
			if ((used[b] || o.used[b]) &&
			    !std::equal(p + b * BLOCK, p + end(b), o.p + b * BLOCK))
				return false;
		return true;
	}

      private:
	static constexpr std::size_t BLOCK = 512; // a page
	std::size_t n;
	std::uint64_t *p;
	std::vector<std::uint8_t> used; // per block: whether ever filled

	std::size_t end(std::size_t b) const { return std::min(n, (b + 1) * BLOCK); }
};

// One cache of whole lines: each set keeps its lines, most recently used
// first, by their tags: a line's number plus one, 0 being an empty way.
class Lru {
      public:
	// vector_search: search with vector instructions where the processor
	// has them (false for the plain search, to compare the two).
	Lru(std::uint64_t sets, unsigned assoc, unsigned line, bool vector_search = true)
	    : assoc(assoc), mask(std::uint32_t(sets - 1)), tags(sets * assoc)
	{
		while ((1u << bits) < line)
			bits++;
		if (vector_search && assoc % 4 == 0 && assoc <= 16 && __builtin_cpu_supports("avx2"))
			vectors = assoc / 4;
	}

	static std::uint64_t tag(std::uint64_t n) { return n + 1; }
	unsigned line_bits() const { return bits; }
	unsigned ways() const { return assoc; }
	// Where set s keeps its most recently used line's tag.
	const std::uint64_t *mru(std::uint64_t s) const { return set(s); }
	std::uint64_t set_of(std::uint64_t n) const { return n & mask; }
	std::uint64_t set_count() const { return std::uint64_t(mask) + 1; }

	// Whether set s holds the same lines in the same order as in o.
	bool same_set(const Lru &o, std::uint64_t s) const
	{
		return std::equal(set(s), set(s) + assoc, o.set(s));
	}
	void copy_set(const Lru &o, std::uint64_t s)
	{
		std::copy_n(o.set(s), assoc, set(s));
		tags.fill(s * assoc, assoc);
	}

	bool holds(std::uint64_t n) const
	{
		const std::uint64_t *ways = set(set_of(n));
		return std::find(ways, ways + assoc, tag(n)) != ways + assoc;
	}

	// Touches line number n; returns how deep in its set it was: 0 for
	// the most recent line, the associativity for a miss.
	[[gnu::always_inline]] unsigned depth(std::uint64_t n)
	{
		std::uint64_t *ways = set(set_of(n));
		std::uint64_t t = tag(n);
		if (ways[0] == t)
			return 0;
		unsigned d;
		switch (vectors) {
		case 1: d = slide_vectors<1>(ways, t); break;
		case 2: d = slide_vectors<2>(ways, t); break;
		case 3: d = slide_vectors<3>(ways, t); break;
		case 4: d = slide_vectors<4>(ways, t); break;
		default: d = slide(ways, t); break;
		}
		if (d == assoc)
			tags.fill(set_of(n) * assoc, assoc);
		return d;
	}

	bool operator==(const Lru &o) const { return tags == o.tags; }

      private:
	unsigned assoc;
	std::uint32_t mask; // the sets less one
	unsigned bits = 0;
	unsigned vectors = 0; // the set's ways in vectors of four, 0: plain
	Tags tags;

	// Set s's ways, most recent first.
	std::uint64_t *set(std::uint64_t s) { return tags.at(s * assoc); }
	const std::uint64_t *set(std::uint64_t s) const { return tags.at(s * assoc); }

	// Lines slide down the set while it is searched, until tag t is found
	// or the last one falls out.
	unsigned slide(std::uint64_t *set, std::uint64_t t) const
	{
		std::uint64_t prev = set[0];
		set[0] = t;
		for (unsigned i = 1; i < assoc; i++) {
			std::uint64_t cur = set[i];
			set[i] = prev;
			if (cur == t)
				return i;
			prev = cur;
		}
		return assoc;
	}

	// The same for a set of K vectors of four ways, without a branch on
	// where t is: a run that reads at random finds its lines at random
	// depths, where the search's branches would guess wrong.
	template <unsigned K>
	[[gnu::target("avx2")]] static unsigned slide_vectors(std::uint64_t *set, std::uint64_t t)
	{
		__m256i key = _mm256_set1_epi64x(std::int64_t(t)), v[K];
		unsigned found = 0;
		for (unsigned c = 0; c < K; c++) {
			v[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(set + 4 * c));
			__m256d same = _mm256_castsi256_pd(_mm256_cmpeq_epi64(v[c], key));
			found |= unsigned(_mm256_movemask_pd(same)) << (4 * c);
		}
		unsigned d = found ? unsigned(__builtin_ctz(found)) : 4 * K;
		__m256i depth = _mm256_set1_epi64x(d), carry = key;
		for (unsigned c = 0; c < K; c++) {
			// Each way takes the one above it, the first t, but below d.
			__m256i slid = _mm256_blend_epi32(_mm256_permute4x64_epi64(v[c], 0x90), carry, 0x03);
			carry = _mm256_permute4x64_epi64(v[c], 0xff);
			__m256i way = _mm256_set_epi64x(4 * c + 3, 4 * c + 2, 4 * c + 1, 4 * c);
			__m256i below = _mm256_cmpgt_epi64(way, depth);
			_mm256_storeu_si256(reinterpret_cast<__m256i *>(set + 4 * c),
					    _mm256_blendv_epi8(slid, v[c], below));
		}
		return d;
	}
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

// Caches of one set count and line size, counted two ways over the same
// records.
//
// As cachegrind counts: a data access of any size up to a line, touching
// both lines when it straddles two and then missing once; a modify is one
// access, counted as a read.  Only the misses of
// main's own accesses are kept.
//
// As a din trace: one record per line touched, a modify being a read and
// then a write.  Every record counts.
//
// In each set an LRU cache holds the most recent lines, so caches that
// differ only in their ways are all answered by one of the most ways, by
// how deep each line is found.  And the two counts see the same lines
// touched in the same order but where an access straddles two lines, so
// one cache serves both in every set that no straddling access has yet
// made differ.
class Sim {
      public:
	Sim(std::uint64_t sets, unsigned line, const std::vector<unsigned> &ways)
	    : n(ways.size()), ways(ways),
	      cg(sets, *std::max_element(ways.begin(), ways.end()), line),
	      din(sets, *std::max_element(ways.begin(), ways.end()), line),
	      bits(cg.line_bits()), split(sets)
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		std::uint64_t first = addr >> bits;
		std::uint64_t last = (addr + size - 1) >> bits;
		if (last == first) {
			touch(first, main, kind == 'S');
			return;
		}
		for (std::uint64_t l : {first, last})
			if (!split[cg.set_of(l)]) {
				din.copy_set(cg, cg.set_of(l));
				split[cg.set_of(l)] = true;
			}
		// The lower line first: in a cache of one set the order tells.
		unsigned d = cg.depth(first);
		d = std::max(d, cg.depth(last));
		unsigned dd = din.depth(first);
		for (std::size_t g = 0; g < ways.size(); g++) {
			if (main && d >= ways[g])
				(kind == 'S' ? n[g].main_writes : n[g].main_reads)++;
			(kind == 'S' ? n[g].trace_writes : n[g].trace_reads) += dd >= ways[g];
		}
	}

	// An access within line number line.  A modify is a read here: its
	// write in the din trace always hits.
	[[gnu::always_inline]] void touch(std::uint64_t line, bool main, bool write)
	{
		unsigned d = cg.depth(line);
		unsigned dd = d;
		std::uint64_t s = cg.set_of(line);
		if (split[s]) {
			dd = din.depth(line);
			split[s] = !din.same_set(cg, s);
		}
		if (ways.size() == 1)
			count(n[0], ways[0], d, dd, main, write);
		else
			for (std::size_t g = 0; g < ways.size(); g++)
				count(n[g], ways[g], d, dd, main, write);
	}

	unsigned line_bits() const { return bits; }
	std::uint64_t set_count() const { return cg.set_count(); }

	bool same_state(const Sim &o) const
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

	std::vector<Misses> n; // per number of ways, in the order given

      private:
	[[gnu::always_inline]] static void count(Misses &m, unsigned ways, unsigned d,
						 unsigned dd, bool main, bool write)
	{
		if (write) {
			m.main_writes += main && d >= ways;
			m.trace_writes += dd >= ways;
		} else {
			m.main_reads += main && d >= ways;
			m.trace_reads += dd >= ways;
		}
	}

	std::vector<unsigned> ways;
	Lru cg, din; // din holds only the sets marked split
	unsigned bits;
	std::vector<std::uint8_t> split;
};
