// The replacement policies of the din trace's figures, each a class that
// a PolicyCache takes as its template parameter (policy_cache.h): a new
// policy is a class here and a name in policy_table.h.
//
// A set is its ways, each holding a line's tag or 0 when empty.  A policy
// provides
//
//   Policy(const CacheShape &shape, std::uint64_t seed)
//   static constexpr bool ORDERED       whether each set keeps its lines
//       most recent first, the line used last in its first way (LRU);
//       else a line stays in its way until it is put out
//   static constexpr bool EMPTY_FIRST   whether a miss fills the lowest
//       empty way before asking victim(); a policy whose own victims are
//       empty ways while there are need not
//   unsigned victim(std::uint64_t s)    the way of set s that a miss puts
//                                       out
//   unsigned use(std::uint64_t s, std::uint64_t *set, unsigned way)
//       a hit or a fill at a way: where the line stands after
//   bool operator==(const Policy &)     the same state beside the ways
//   static constexpr bool SETS_APART    whether a set's state is the doing
//       of its own accesses alone, as it is but where the sets draw from
//       one generator
//   static constexpr bool QUIET_HITS    whether a hit on any line of a set
//       changes nothing of the state (but a write-back write's dirty bit)
//   std::uint64_t set_state(std::uint64_t s)  what it keeps of set s
//       beside its ways, where SETS_APART
//
// and, if it cannot run on some number of ways,
//
//   static const char *refused_ways(std::uint64_t ways)
//       why it cannot run on these ways, or nullptr if it can
//
// A hit on the line a set used last changes nothing under any of them
// (the cache skips such hits by that rule).
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache.h"
#include "xorshift.h"

// Least recently used: lines slide down the set on a touch, so the empty
// ways are the last and the last way is the least recent line.
class LruReplacement {
      public:
	static constexpr bool ORDERED = true;
	static constexpr bool EMPTY_FIRST = false;
	static constexpr bool SETS_APART = true;
	static constexpr bool QUIET_HITS = false;

	LruReplacement(const CacheShape &shape, std::uint64_t)
	    : ways(shape.assoc), vectors(sliding_vectors(shape.assoc))
	{
	}

	unsigned victim(std::uint64_t) const { return ways - 1; }
	unsigned use(std::uint64_t, std::uint64_t *set, unsigned way) const
	{
		switch (vectors) {
		case 1: return use_vectors<1>(set, way);
		case 2: return use_vectors<2>(set, way);
		case 3: return use_vectors<3>(set, way);
		case 4: return use_vectors<4>(set, way);
		}
		std::uint64_t line = set[way];
		std::memmove(set + 1, set, way * sizeof *set);
		set[0] = line;
		return 0;
	}
	bool operator==(const LruReplacement &) const { return true; }
	std::uint64_t set_state(std::uint64_t) const { return 0; }

      private:
	unsigned ways;
	unsigned vectors; // the ways in vectors of four, 0: moved plainly

	template <unsigned K>
	[[gnu::target("avx2")]] static unsigned use_vectors(std::uint64_t *set, unsigned way)
	{
		__m256i v[K];
		for (unsigned c = 0; c < K; c++)
			v[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(set + 4 * c));
		slide_down<K>(set, v, way, _mm256_set1_epi64x(std::int64_t(set[way])));
		return 0;
	}
};

// First in, first out: each set fills its ways in turn from the first, so
// its victims are its empty ways while there are; a hit changes nothing.
class FifoReplacement {
      public:
	static constexpr bool ORDERED = false;
	static constexpr bool EMPTY_FIRST = false;
	static constexpr bool SETS_APART = true;
	static constexpr bool QUIET_HITS = true;

	FifoReplacement(const CacheShape &shape, std::uint64_t) : ways(shape.assoc)
	{
		if (ways > 1) // a set of one way has no turn to keep
			next.assign(shape.sets, 0);
	}

	unsigned victim(std::uint64_t s)
	{
		if (next.empty())
			return 0;
		unsigned way = next[s];
		next[s] = (way + 1) % ways;
		return way;
	}
	unsigned use(std::uint64_t, std::uint64_t *, unsigned way) const { return way; }
	bool operator==(const FifoReplacement &o) const { return next == o.next; }
	std::uint64_t set_state(std::uint64_t s) const { return next.empty() ? 0 : next[s]; }

      private:
	unsigned ways;
	Lines<std::uint32_t> next; // per set, the way filled next
};

// Tree pseudo-LRU: a binary tree over each set's ways, a bit per node
// pointing to the half to put out from, each use pointing the nodes on
// its way's path to the other half.  Node k's halves are 2k+1 and 2k+2;
// the ways are the leaves, from node ways - 1.
class PlruReplacement {
      public:
	static constexpr bool ORDERED = false;
	static constexpr bool EMPTY_FIRST = true;
	static constexpr bool SETS_APART = true;
	static constexpr bool QUIET_HITS = false;

	static const char *refused_ways(std::uint64_t ways)
	{
		bool taken = ways && !(ways & (ways - 1)) && ways <= 64;
		return taken ? nullptr : "the ways must be a power of two up to 64";
	}

	PlruReplacement(const CacheShape &shape, std::uint64_t) : ways(shape.assoc)
	{
		if (const char *why = refused_ways(ways))
			throw std::runtime_error(std::string("plru: ") + why);
		if (ways > 1) // one way has no tree
			tree.assign(shape.sets, 0);
		for (unsigned way = 0; way < ways; way++)
			paths.push_back(path(way));
	}

	unsigned victim(std::uint64_t s) const
	{
		unsigned node = 0;
		while (node < ways - 1)
			node = 2 * node + 1 + unsigned(tree[s] >> node & 1);
		return node - (ways - 1);
	}
	unsigned use(std::uint64_t s, std::uint64_t *, unsigned way)
	{
		if (ways > 1)
			tree[s] = (tree[s] & ~paths[way].nodes) | paths[way].away;
		return way;
	}
	bool operator==(const PlruReplacement &o) const { return tree == o.tree; }
	std::uint64_t set_state(std::uint64_t s) const { return tree.empty() ? 0 : tree[s]; }

      private:
	// A way's use, worked out once: the nodes on its path, and of them
	// those that then point to their right half (away from a way in the
	// left).
	struct Path {
		std::uint64_t nodes = 0, away = 0;
	};
	unsigned ways;
	Lines<std::uint64_t> tree; // per set, a bit per node
	std::vector<Path> paths;         // per way

	Path path(unsigned way) const
	{
		Path p;
		for (unsigned node = way + ways - 1; node > 0;) {
			unsigned parent = (node - 1) / 2;
			p.nodes |= std::uint64_t(1) << parent;
			if (node != 2 * parent + 2) // the way is in the left half
				p.away |= std::uint64_t(1) << parent;
			node = parent;
		}
		return p;
	}
};

// Random: the way of a full set that a miss puts out is the generator's
// next number modulo the ways, drawn only then; a hit changes nothing.
class RandomReplacement {
      public:
	static constexpr bool ORDERED = false;
	static constexpr bool EMPTY_FIRST = true;
	static constexpr bool SETS_APART = false;
	static constexpr bool QUIET_HITS = true;

	RandomReplacement(const CacheShape &shape, std::uint64_t seed)
	    : ways(shape.assoc), rng(seed)
	{
	}

	// The draw modulo the ways: a mask where they are a power of two,
	// rather than a division at every miss.
	unsigned victim(std::uint64_t)
	{
		std::uint64_t draw = rng.next();
		return unsigned(ways & (ways - 1) ? draw % ways : draw & (ways - 1));
	}
	unsigned use(std::uint64_t, std::uint64_t *, unsigned way) const { return way; }
	bool operator==(const RandomReplacement &o) const { return rng == o.rng; }

      private:
	unsigned ways;
	XorShift64Star rng;
};
