// One cache of the din trace's figures under a replacement policy
// (replacement.h) and a write policy, and what each access did.
#pragma once

#include <cstdint>
#include <vector>

#include <immintrin.h>

#include "cache.h"
#include "replay.h"

// What an access did: hit, or missed and put out a line, a dirty one.
struct AccessResult {
	bool hit, evicted, wrote_back;
};

// write_back: writes allocate and make a line dirty, putting out a dirty
// line being a write-back; else writes go through and do not allocate.
struct PolicyOptions {
	std::uint64_t seed = 0; // the random policy's
	bool write_back = true;
};

// A plain cache: every access looks at its whole set.  A way holds the
// line's number plus one, 0 when empty, and its top bit when the line is
// dirty.
template <class Replacement> class PolicyCache {
      public:
	PolicyCache(CacheShape shape, PolicyOptions options)
	    : shape(shape), writes_back(options.write_back), bits(offset_bits(shape.line)),
	      tags(shape.sets * shape.assoc), last(Replacement::ORDERED ? 0 : shape.sets),
	      policy(shape, options.seed)
	{
		if (shape.assoc % 4 == 0 && shape.assoc <= 64 && has_avx2())
			vectors = shape.assoc / 4;
	}

	unsigned line_bits() const { return bits; }
	bool write_back() const { return writes_back; }
	std::uint64_t sets() const { return shape.sets; }
	std::uint64_t set_of(std::uint64_t n) const { return n & (shape.sets - 1); }
	// Set s's state: its ways, then what the policy keeps of it.
	std::vector<std::uint64_t> set_state(std::uint64_t s) const
	{
		const std::uint64_t *set = tags.at(s * shape.assoc);
		std::vector<std::uint64_t> state(set, set + shape.assoc);
		state.push_back(policy.set_state(s));
		return state;
	}

	// Where the set of line n keeps the line it used last, and what that
	// holds when an access would change nothing: a hit on the line a set
	// used last changes nothing under any policy, but a write-back write
	// to a clean line.
	Front front(std::uint64_t n, bool write) const
	{
		std::uint64_t s = n & (shape.sets - 1);
		if constexpr (Replacement::ORDERED)
			return front_at(tags.at(s * shape.assoc), n, write);
		else
			return front_at(last.at(s), n, write);
	}

	// The way that holds line n, dirty or not, or nullptr: where a hit
	// changes nothing (QUIET_HITS), another access to n changes nothing
	// while that way holds what front() would.
	const std::uint64_t *holder(std::uint64_t n) const
	{
		const std::uint64_t *set = tags.at((n & (shape.sets - 1)) * shape.assoc);
		unsigned way = find(set, n + 1);
		return way < shape.assoc ? set + way : nullptr;
	}

	// An access to line n; a write if write.  No-allocate writes that miss
	// change nothing.
	[[gnu::always_inline]] AccessResult access(std::uint64_t n, bool write)
	{
		if (Front f = front(n, write); (*f.at & f.mask) == f.tag)
			return {true, false, false}; // a hit that changes nothing
		std::uint64_t s = n & (shape.sets - 1), t = n + 1;
		std::uint64_t *set = tags.at(s * shape.assoc);
		unsigned way = find(set, t);
		if (way < shape.assoc) {
			way = policy.use(s, set, way);
			if (write && writes_back)
				set[way] |= DIRTY;
			used(s, set[way]);
			return {true, false, false};
		}
		if (write && !writes_back)
			return {false, false, false};
		tags.fill(s * shape.assoc, shape.assoc);
		way = victim(s, set);
		AccessResult r{false, set[way] != 0, (set[way] & DIRTY) != 0};
		set[way] = held(n, write);
		used(s, set[policy.use(s, set, way)]);
		return r;
	}

	std::uint64_t dirty_lines() const
	{
		return tags.count_if([](std::uint64_t way) { return (way & DIRTY) != 0; });
	}

	bool operator==(const PolicyCache &o) const { return tags == o.tags && policy == o.policy; }

      private:
	static constexpr std::uint64_t DIRTY = std::uint64_t(1) << 63;
	CacheShape shape;
	bool writes_back;
	unsigned bits = 0;
	unsigned vectors = 0; // the ways in vectors of four, 0: searched plainly
	Tags tags;
	// But where the policy keeps it in a set's first way: per set, the
	// line it used last, as its way holds it.  A function of the accesses
	// that made the state, which the state's equality need not compare.
	Tags last;
	Replacement policy;

	// While the word at at holds line n as a way holds it after an access,
	// another access to n changes nothing: dirty for a write-back write,
	// dirty or not for any other.
	Front front_at(const std::uint64_t *at, std::uint64_t n, bool write) const
	{
		if (write && writes_back)
			return {at, held(n, true), ~std::uint64_t(0)};
		return {at, held(n, false), ~DIRTY};
	}
	// What a way holds of line n after an access, a write if write.
	std::uint64_t held(std::uint64_t n, bool write) const
	{
		return write && writes_back ? (n + 1) | DIRTY : n + 1;
	}

	// The way of a set that holds tag t, dirty or not, or the ways' number.
	[[gnu::always_inline]] unsigned find(const std::uint64_t *set, std::uint64_t t) const
	{
		if (vectors)
			return find_vectors(set, t);
		unsigned way = 0;
		while (way < shape.assoc && (set[way] & ~DIRTY) != t)
			way++;
		return way;
	}

	[[gnu::target("avx2")]] unsigned find_vectors(const std::uint64_t *set, std::uint64_t t) const
	{
		__m256i key = _mm256_set1_epi64x(std::int64_t(t));
		__m256i clean = _mm256_set1_epi64x(std::int64_t(~DIRTY));
		std::uint64_t found = 0; // a bit per way, without a branch on where
		for (unsigned c = 0; c < vectors; c++) {
			__m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(set + 4 * c));
			__m256i same = _mm256_cmpeq_epi64(_mm256_and_si256(v, clean), key);
			found |= std::uint64_t(_mm256_movemask_pd(_mm256_castsi256_pd(same))) << (4 * c);
		}
		return found ? unsigned(__builtin_ctzll(found)) : shape.assoc;
	}

	// Where a miss puts its line: the lowest empty way where the policy
	// wants that, else the policy's victim.
	unsigned victim(std::uint64_t s, const std::uint64_t *set)
	{
		if constexpr (Replacement::EMPTY_FIRST)
			if (unsigned empty = find(set, 0); empty < shape.assoc)
				return empty;
		return policy.victim(s);
	}

	// Notes the line that set s used last, as its way now holds it (with
	// DIRTY if it is dirty), where the policy does not keep it in front.
	[[gnu::always_inline]] void used(std::uint64_t s, std::uint64_t held)
	{
		if constexpr (!Replacement::ORDERED) {
			*last.at(s) = held;
			last.fill(s, 1);
		}
	}
};
