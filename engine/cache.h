// Set-associative caches that allocate on every miss and start empty, and
// the policy of cachegrind's counts behind them: LRU, each set answering
// every associativity by the depth of a line.  (The din trace's figures
// under other policies: replacement.h.)
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

// A count's memory lies in whole lines of the host's caches of its own:
// two counts on two threads that wrote to one line would pass it between
// the cores at each write, which took one count twice as long where the
// allocator happened to put the two side by side.  128 bytes: a line of
// x86-64 and the neighbour that its prefetcher fetches with it.
constexpr std::size_t HOST_LINE = 128;

// The least multiple of HOST_LINE above bytes.
inline std::size_t whole_lines(std::size_t bytes) { return (bytes / HOST_LINE + 1) * HOST_LINE; }

template <class T> struct LineAllocator {
	using value_type = T;
	LineAllocator() = default;
	template <class U> LineAllocator(const LineAllocator<U> &) {}
	T *allocate(std::size_t n)
	{
		if (void *p = std::aligned_alloc(HOST_LINE, whole_lines(n * sizeof(T))))
			return static_cast<T *>(p);
		throw std::bad_alloc();
	}
	void deallocate(T *p, std::size_t) { std::free(p); }
	template <class U> bool operator==(const LineAllocator<U> &) const { return true; }
	template <class U> bool operator!=(const LineAllocator<U> &) const { return false; }
};
template <class T> using Lines = std::vector<T, LineAllocator<T>>;

// A cache's tags, all 0 at the start, that cost nothing until used: the
// kernel gives their pages zeroed as they are first touched, and copies
// and comparisons cover only the blocks where a line was ever put.  A last
// level of 256 MiB has 32 MiB of tags, of which a run fills a few pages.
class Tags {
      public:
	explicit Tags(std::size_t n) : n(n), used((n + BLOCK - 1) / BLOCK)
	{
		// calloc's pages come zeroed as they are first touched; the tags
		// start a line, and the block runs on past their last line's end.
		raw = std::calloc(whole_lines(n * sizeof *p) + HOST_LINE, 1);
		if (!raw)
			throw std::bad_alloc();
		p = reinterpret_cast<std::uint64_t *>(whole_lines(reinterpret_cast<std::uintptr_t>(raw)));
	}
	Tags(const Tags &o) : Tags(o.n) { *this = o; }
	Tags &operator=(const Tags &o)
	{
		if (n != o.n) {
			Tags fresh(o.n);
			std::swap(n, fresh.n);
			std::swap(p, fresh.p);
			std::swap(raw, fresh.raw);
			used.swap(fresh.used);
		}
		for (std::size_t b = 0; b < used.size() && this != &o; b++)
			if (used[b] || o.used[b]) {
				std::copy(o.p + b * BLOCK, o.p + end(b), p + b * BLOCK);
				used[b] = o.used[b];
			}
		return *this;
	}
	~Tags() { std::free(raw); }

	std::uint64_t *at(std::size_t k) { return p + k; }
	const std::uint64_t *at(std::size_t k) const { return p + k; }
	// Whether element k's block ever held a line.
	bool filled(std::size_t k) const { return used[k / BLOCK]; }
	// Marks elements k to k + count - 1 as ever holding a line.
	void fill(std::size_t k, std::size_t count)
	{
		for (std::size_t b = k / BLOCK; b <= (k + count - 1) / BLOCK; b++)
			used[b] = true;
	}
	// How many elements satisfy pred, which 0 does not: only the blocks
	// that ever held a line are read.
	template <class Pred> std::uint64_t count_if(Pred pred) const
	{
		std::uint64_t c = 0;
		for (std::size_t b = 0; b < used.size(); b++)
			if (used[b])
				c += std::uint64_t(std::count_if(p + b * BLOCK, p + end(b), pred));
		return c;
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
	void *raw; // as allocated
	std::uint64_t *p;
	Lines<std::uint8_t> used; // per block: whether ever filled

	std::size_t end(std::size_t b) const { return std::min(n, (b + 1) * BLOCK); }
};

// Whether the processor has AVX2, which the searches use where it does.
inline bool has_avx2() { return __builtin_cpu_supports("avx2"); }

// How many vectors of four ways slide_down takes a set of assoc ways in:
// sets of 4 to 16 ways, where the processor has AVX2; else 0.
inline unsigned sliding_vectors(unsigned assoc)
{
	return has_avx2() && assoc % 4 == 0 && assoc <= 16 ? assoc / 4 : 0;
}

// A set of K vectors of four ways, v as loaded from it, after a touch at
// way d (4K for a miss) of the word that front holds in each lane: each
// way above d takes the one above it and the first takes that word, without
// a branch on d; on a miss the last way falls out.
template <unsigned K>
[[gnu::target("avx2")]] inline void slide_down(std::uint64_t *set, const __m256i *v, unsigned d, __m256i front)
{
	__m256i depth = _mm256_set1_epi64x(d), carry = front;
	__m256i way = _mm256_setr_epi64x(0, 1, 2, 3);
#pragma GCC unroll 4
	for (unsigned c = 0; c < K; c++) {
		__m256i slid = _mm256_blend_epi32(_mm256_permute4x64_epi64(v[c], 0x90), carry, 0x03);
		carry = _mm256_permute4x64_epi64(v[c], 0xff);
		__m256i below = _mm256_cmpgt_epi64(way, depth);
		_mm256_storeu_si256(reinterpret_cast<__m256i *>(set + 4 * c), _mm256_blendv_epi8(slid, v[c], below));
		way = _mm256_add_epi64(way, _mm256_set1_epi64x(4));
	}
}

// A tag's bits mixed by Fibonacci hashing: the high bits of the product
// depend on all of the tag's, so that neighbouring lines part.
inline std::uint64_t mixed(std::uint64_t t) { return t * 0x9E3779B97F4A7C15ULL; }

// The bits of an address within a line of line bytes: a line number is
// the address shifted right by them.
inline unsigned offset_bits(unsigned line)
{
	unsigned bits = 0;
	while ((1u << bits) < line)
		bits++;
	return bits;
}

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
//   unsigned words() const: a set's length in 64-bit words, at least assoc
//   unsigned touch(std::uint64_t *set, std::uint64_t tag)
//       puts the line of tag in the set if it is not there, and returns its
//       rank in the set before the touch: assoc for a miss
//   const std::uint64_t *front(const std::uint64_t *set): the word that
//       holds the tag of the line touched last
//   bool holds(const std::uint64_t *set, std::uint64_t tag)
//   bool same(const std::uint64_t *a, const std::uint64_t *b): whether two
//       sets hold the same lines in the same order
//   static constexpr bool FRONT_IS_LAST: whether touching the line at the
//       front again changes nothing
//
// and a Cache of it keeps the sets, all words 0 at the start, and answers
// for every set in turn.

// Least recently used: each set keeps its lines in the order of their last
// touch, so a line's rank is how deep it was, and a set of the most ways
// answers every associativity by that depth.
//
// Sets of up to 16 ways hold their tags most recent first, and slide them
// down on a touch.  Sets of 17 to 32 ways, where a slide moves a quarter of
// a kilobyte, keep each tag in a way of its own and the order apart: a
// byte per rank naming the way (stored XOR the rank, so that a set of
// zeros is in order), a byte per way of each tag's hash to search by, and
// the tag at the front.
class LruPolicy {
      public:
	static constexpr bool FRONT_IS_LAST = true;

	// vector_search: search with vector instructions where the processor
	// has them (false for the plain search, to compare the two).
	explicit LruPolicy(unsigned assoc, bool vector_search = true) : assoc(assoc)
	{
		if (vector_search)
			vectors = sliding_vectors(assoc);
		wide = vector_search && has_avx2() && assoc > 16 && assoc <= 32;
	}

	unsigned words() const { return wide ? assoc + WIDE_WORDS : assoc; }
	const std::uint64_t *front(const std::uint64_t *set) const
	{
		return wide ? set + assoc + FRONT : set;
	}

	[[gnu::always_inline]] unsigned touch(std::uint64_t *set, std::uint64_t t) const
	{
		if (*front(set) == t)
			return 0;
		if (wide)
			return touch_wide(set, t);
		switch (vectors) {
		case 1: return slide_vectors<1>(set, t);
		case 2: return slide_vectors<2>(set, t);
		case 3: return slide_vectors<3>(set, t);
		case 4: return slide_vectors<4>(set, t);
		default: return slide(set, t);
		}
	}

	bool holds(const std::uint64_t *set, std::uint64_t t) const
	{
		return wide ? way_of(set, t) < assoc : std::find(set, set + assoc, t) != set + assoc;
	}

	bool same(const std::uint64_t *a, const std::uint64_t *b) const
	{
		if (!wide)
			return std::equal(a, a + assoc, b);
		for (unsigned r = 0; r < assoc; r++)
			if (a[way_at(a, r)] != b[way_at(b, r)])
				return false;
		return true;
	}

      private:
	// A wide set's words after its ways: the order, the hashes, the front.
	enum { ORDER = 0, HASHES = 4, FRONT = 8, WIDE_WORDS = 9 };
	unsigned assoc;
	unsigned vectors = 0; // the set's ways in vectors of four, 0: plain
	bool wide = false;

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
		unsigned found = 1u << (4 * K); // past the last way: a miss
#pragma GCC unroll 4
		for (unsigned c = 0; c < K; c++) {
			v[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(set + 4 * c));
			__m256d same = _mm256_castsi256_pd(_mm256_cmpeq_epi64(v[c], key));
			found |= unsigned(_mm256_movemask_pd(same)) << (4 * c);
		}
		unsigned d = unsigned(__builtin_ctz(found));
		slide_down<K>(set, v, d, key);
		return d;
	}

	static std::uint8_t hash(std::uint64_t t)
	{
		return std::uint8_t(mixed(t) >> 56);
	}
	static const std::uint8_t *bytes(const std::uint64_t *set, unsigned assoc, unsigned at)
	{
		return reinterpret_cast<const std::uint8_t *>(set + assoc + at);
	}
	// The way that holds the line of rank r.
	unsigned way_at(const std::uint64_t *set, unsigned r) const
	{
		return bytes(set, assoc, ORDER)[r] ^ r;
	}
	// The way that holds t, or assoc.
	unsigned way_of(const std::uint64_t *set, std::uint64_t t) const
	{
		for (unsigned w = 0; w < assoc; w++)
			if (bytes(set, assoc, HASHES)[w] == hash(t) && set[w] == t)
				return w;
		return assoc;
	}

	[[gnu::target("avx2")]] unsigned touch_wide(std::uint64_t *set, std::uint64_t t) const
	{
		const __m256i rank = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
						      14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
						      26, 27, 28, 29, 30, 31);
		auto *order = reinterpret_cast<__m256i *>(set + assoc + ORDER);
		auto *hashes = reinterpret_cast<std::uint8_t *>(set + assoc + HASHES);
		std::uint8_t h = hash(t);
		__m256i same_hash = _mm256_cmpeq_epi8(
			_mm256_loadu_si256(reinterpret_cast<const __m256i *>(hashes)),
			_mm256_set1_epi8(char(h)));
		std::uint32_t maybe = std::uint32_t(_mm256_movemask_epi8(same_hash));
		if (assoc < 32)
			maybe &= (1u << assoc) - 1;
		unsigned way = assoc;
		for (; maybe; maybe &= maybe - 1)
			if (set[__builtin_ctz(maybe)] == t) {
				way = unsigned(__builtin_ctz(maybe));
				break;
			}
		__m256i ranks = _mm256_xor_si256(_mm256_loadu_si256(order), rank); // the way at each rank
		unsigned d;
		if (way < assoc) {
			d = unsigned(__builtin_ctz(unsigned(_mm256_movemask_epi8(
				_mm256_cmpeq_epi8(ranks, _mm256_set1_epi8(char(way)))))));
		} else {
			d = assoc;
			way = way_at(set, assoc - 1); // the least recent line's
			set[way] = t;
			hashes[way] = h;
		}
		// Ranks up to d move one down, the way of t going to the front.
		__m256i down = _mm256_alignr_epi8(ranks, _mm256_permute2x128_si256(ranks, ranks, 0x08), 15);
		down = _mm256_or_si256(down, _mm256_zextsi128_si256(_mm_cvtsi32_si128(int(way))));
		__m256i kept = _mm256_cmpgt_epi8(rank, _mm256_set1_epi8(char(std::min(d, assoc - 1))));
		_mm256_storeu_si256(order, _mm256_xor_si256(_mm256_blendv_epi8(down, ranks, kept), rank));
		set[assoc + FRONT] = t;
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
	    : assoc(assoc), mask(std::uint32_t(sets - 1)), bits(offset_bits(line)), policy(assoc, args...),
	      words(policy.words()), tags(sets * words)
	{
	}

	static std::uint64_t tag(std::uint64_t n) { return n + 1; }
	unsigned line_bits() const { return bits; }
	unsigned ways() const { return assoc; }
	std::uint64_t set_of(std::uint64_t n) const { return n & mask; }
	std::uint64_t set_count() const { return std::uint64_t(mask) + 1; }
	// Where set s keeps the tag at its policy's front: for LRU, its most
	// recently used line's.
	const std::uint64_t *front(std::uint64_t s) const { return policy.front(set(s)); }

	// Whether set s holds the same lines in the same order as in o.
	bool same_set(const Cache &o, std::uint64_t s) const { return policy.same(set(s), o.set(s)); }
	void copy_set(const Cache &o, std::uint64_t s)
	{
		std::copy_n(o.set(s), words, set(s));
		tags.fill(s * words, words);
	}

	bool holds(std::uint64_t n) const { return policy.holds(set(set_of(n)), tag(n)); }

	// Touches line number n: its rank in its set before, the associativity
	// for a miss.
	[[gnu::always_inline]] unsigned touch(std::uint64_t n)
	{
		unsigned d = policy.touch(set(set_of(n)), tag(n));
		if (d == assoc)
			tags.fill(set_of(n) * words, words);
		return d;
	}
	[[gnu::always_inline]] bool miss(std::uint64_t n) { return touch(n) == assoc; }

	// The same lines in the same order in every set.  Where the policy
	// keeps its order apart, sets that hold the same may differ word for
	// word, and are compared set by set.
	bool operator==(const Cache &o) const
	{
		if (words == assoc || words != o.words || mask != o.mask)
			return words == o.words && tags == o.tags;
		for (std::uint64_t s = 0; s <= mask; s++)
			if ((tags.filled(s * words) || o.tags.filled(s * words)) && !same_set(o, s))
				return false;
		return true;
	}

      private:
	unsigned assoc;
	std::uint32_t mask; // the sets less one
	unsigned bits;
	Policy policy;
	unsigned words; // a set's
	Tags tags;

	std::uint64_t *set(std::uint64_t s) { return tags.at(s * words); }
	const std::uint64_t *set(std::uint64_t s) const { return tags.at(s * words); }
};

using Lru = Cache<LruPolicy>;
