// Set-associative caches that allocate on every miss and start empty, and
// the replacement policies behind them.
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

// A cache's shape as the engine works with it: its sets, ways and line size
// in bytes (cachegrind's SIZE,ASSOC,LINE, which the front end speaks, names
// its size instead of its sets).
struct CacheShape {
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

// Where an access lies in a cache of 2^bits-byte lines: its first line, and
// its last where it spans two.  cachegrind touches both, the lower first,
// and counts one miss if either misses; no access here is wider than a
// line (the engine refuses caches whose lines are narrower than the run's
// widest access), so none spans more.
struct Span {
	std::uint64_t first, last;
	bool straddles() const { return last != first; }
};
inline Span span(std::uint64_t addr, std::uint32_t size, unsigned bits)
{
	return {addr >> bits, (addr + size - 1) >> bits};
}

// A replacement policy keeps each set's tags in an order of its own and
// says which line a miss puts out.  One provides
//
//   Policy(unsigned assoc)
//   unsigned touch(std::uint64_t *set, std::uint64_t tag)
//       puts the line of tag in the set if it is not there, and returns its
//       rank in the set before the touch: assoc for a miss
//   static constexpr bool FRONT_IS_LAST: whether set[0] always holds the
//       line touched last, so that touching it again changes nothing
//
// and a Cache of it keeps the tags and answers for every set in turn.

// Least recently used: each set keeps its lines most recent first, so a
// line's rank is how deep it was, and a set of the most ways answers every
// associativity by that depth.
class LruPolicy {
      public:
	static constexpr bool FRONT_IS_LAST = true;

	// vector_search: search with vector instructions where the processor
	// has them (false for the plain search, to compare the two).
	explicit LruPolicy(unsigned assoc, bool vector_search = true) : assoc(assoc)
	{
		if (vector_search && assoc % 4 == 0 && assoc <= 32 && __builtin_cpu_supports("avx2"))
			vectors = assoc / 4;
	}

	[[gnu::always_inline]] unsigned touch(std::uint64_t *set, std::uint64_t t) const
	{
		if (set[0] == t)
			return 0;
		switch (vectors) {
		case 1: return slide_vectors<1>(set, t);
		case 2: return slide_vectors<2>(set, t);
		case 3: return slide_vectors<3>(set, t);
		case 4: return slide_vectors<4>(set, t);
		case 5: return slide_vectors<5>(set, t);
		case 6: return slide_vectors<6>(set, t);
		case 7: return slide_vectors<7>(set, t);
		case 8: return slide_vectors<8>(set, t);
		default: return slide(set, t);
		}
	}

      private:
	unsigned assoc;
	unsigned vectors = 0; // the set's ways in vectors of four, 0: plain

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
	// depths, where the search's branches would guess wrong.  Sets of more
	// than 16 ways, which a cache of many sets seldom fills, are searched
	// and slid only as far as their first vector that ends empty (a set's
	// empty ways are its last), and slid only down to t.
	template <unsigned K>
	[[gnu::target("avx2")]] static unsigned slide_vectors(std::uint64_t *set, std::uint64_t t)
	{
		__m256i key = _mm256_set1_epi64x(std::int64_t(t)), v[K];
		unsigned found = 0, used = K;
		for (unsigned c = 0; c < K; c++) {
			v[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(set + 4 * c));
			__m256d same = _mm256_castsi256_pd(_mm256_cmpeq_epi64(v[c], key));
			found |= unsigned(_mm256_movemask_pd(same)) << (4 * c);
			if (K > 4 && set[4 * c + 3] == 0) {
				used = c + 1;
				break;
			}
		}
		unsigned d = found ? unsigned(__builtin_ctz(found)) : 4 * K;
		__m256i depth = _mm256_set1_epi64x(d), carry = key;
		unsigned moved = K > 4 ? std::min(used, d / 4 + 1) : K;
		for (unsigned c = 0; c < moved; c++) {
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

// One cache of whole lines under a replacement policy, allocating on every
// miss and empty at the start.  Its ways hold tags, a line's number plus
// one, 0 being an empty way.
template <class Policy> class Cache {
      public:
	template <class... PolicyArgs>
	Cache(std::uint64_t sets, unsigned assoc, unsigned line, PolicyArgs... args)
	    : assoc(assoc), mask(std::uint32_t(sets - 1)), tags(sets * assoc), policy(assoc, args...)
	{
		while ((1u << bits) < line)
			bits++;
	}

	static std::uint64_t tag(std::uint64_t n) { return n + 1; }
	unsigned line_bits() const { return bits; }
	unsigned ways() const { return assoc; }
	std::uint64_t set_of(std::uint64_t n) const { return n & mask; }
	std::uint64_t set_count() const { return std::uint64_t(mask) + 1; }
	// Where set s keeps the tag at its policy's front: for LRU, its most
	// recently used line's.
	const std::uint64_t *front(std::uint64_t s) const { return set(s); }

	// Whether set s holds the same lines in the same order as in o.
	bool same_set(const Cache &o, std::uint64_t s) const
	{
		return std::equal(set(s), set(s) + assoc, o.set(s));
	}
	void copy_set(const Cache &o, std::uint64_t s)
	{
		std::copy_n(o.set(s), assoc, set(s));
		tags.fill(s * assoc, assoc);
	}

	bool holds(std::uint64_t n) const
	{
		const std::uint64_t *ways = set(set_of(n));
		return std::find(ways, ways + assoc, tag(n)) != ways + assoc;
	}

	// Touches line number n: its rank in its set before, the associativity
	// for a miss.
	[[gnu::always_inline]] unsigned touch(std::uint64_t n)
	{
		unsigned d = policy.touch(set(set_of(n)), tag(n));
		if (d == assoc)
			tags.fill(set_of(n) * assoc, assoc);
		return d;
	}
	bool miss(std::uint64_t n) { return touch(n) == assoc; }

	bool operator==(const Cache &o) const { return tags == o.tags; }

      private:
	unsigned assoc;
	std::uint32_t mask; // the sets less one
	unsigned bits = 0;
	Tags tags;
	Policy policy;

	std::uint64_t *set(std::uint64_t s) { return tags.at(s * assoc); }
	const std::uint64_t *set(std::uint64_t s) const { return tags.at(s * assoc); }
};

using Lru = Cache<LruPolicy>;
