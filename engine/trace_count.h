// The din trace's figures under the conventions simulators are taught and
// tested with: LRU, FIFO, tree-PLRU or random replacement, write-back or
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

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache.h"
#include "model.h"
#include "replay.h"

enum class Replacement { LRU, FIFO, PLRU, RANDOM };

struct WritePolicy {
	Replacement replacement = Replacement::LRU;
	std::uint64_t seed = 0; // RANDOM's
	bool write_back = true;
};

// xorshift64*, seeded with SEED (0 is taken as 1): the way a random
// eviction takes is its next number modulo the ways, drawn only when a
// full set misses.
struct XorShift64Star {
	std::uint64_t state;
	explicit XorShift64Star(std::uint64_t seed) : state(seed ? seed : 1) {}
	std::uint64_t next()
	{
		state ^= state >> 12;
		state ^= state << 25;
		state ^= state >> 27;
		return state * 0x2545F4914F6CDD1DULL;
	}
	bool operator==(const XorShift64Star &o) const { return state == o.state; }
};

// One cache under any of the policies, a plain one: every access looks at
// its whole set.  Under LRU each set keeps its lines most recent first; the
// others keep each line in its way.  A way holds the line's number plus
// one, 0 when empty, and its top bit when the line is dirty.
class PolicyCache {
      public:
	struct Result {
		bool hit, evicted, wrote_back;
	};

	PolicyCache(CacheShape shape, WritePolicy policy)
	    : shape(shape), policy(policy), tags(shape.sets * shape.assoc),
	      last(lru() ? 0 : shape.sets), rng(policy.seed)
	{
		while ((1u << bits) < shape.line)
			bits++;
		if (shape.assoc % 4 == 0 && shape.assoc <= 64 && has_avx2())
			vectors = shape.assoc / 4;
		if (policy.replacement == Replacement::PLRU &&
		    (shape.assoc & (shape.assoc - 1) || shape.assoc > 64))
			throw std::runtime_error("plru: the ways must be a power of two up to 64");
		if (shape.assoc > 1 && policy.replacement == Replacement::FIFO)
			next.assign(shape.sets, 0);
		if (shape.assoc > 1 && policy.replacement == Replacement::PLRU)
			tree.assign(shape.sets, 0);
	}

	unsigned line_bits() const { return bits; }
	bool lru() const { return policy.replacement == Replacement::LRU; }
	// Where the set of line n keeps the line it used last, and what that
	// holds when an access would change nothing: a hit on the line a set
	// used last changes nothing under any of the policies (LRU keeps it at
	// the front, FIFO and random change nothing on a hit, and tree-PLRU's
	// bits already point away from it), but a write-back write to a clean
	// line.
	Front front(std::uint64_t n, bool write) const
	{
		std::uint64_t s = n & (shape.sets - 1);
		return front_at(lru() ? tags.at(s * shape.assoc) : last.at(s), n, write);
	}
	// While the word at at holds line n as a way holds it after an access,
	// another access to n changes nothing: dirty for a write-back write,
	// dirty or not for any other.
	Front front_at(const std::uint64_t *at, std::uint64_t n, bool write) const
	{
		if (write && policy.write_back)
			return {at, held(n, true), ~std::uint64_t(0)};
		return {at, held(n, false), ~DIRTY};
	}
	// What a way holds of line n after an access, a write if write.
	std::uint64_t held(std::uint64_t n, bool write) const
	{
		return write && policy.write_back ? (n + 1) | DIRTY : n + 1;
	}
	bool write_back() const { return policy.write_back; }

	// An access to line n; a write if write.  No-allocate writes that miss
	// change nothing.
	[[gnu::always_inline]] Result access(std::uint64_t n, bool write)
	{
		std::uint64_t s = n & (shape.sets - 1), t = n + 1;
		std::uint64_t *set = tags.at(s * shape.assoc);
		unsigned way = find(set, t);
		if (way < shape.assoc) {
			way = use(s, set, way);
			if (write && policy.write_back)
				set[way] |= DIRTY;
			used(s, set[way]);
			return {true, false, false};
		}
		if (write && !policy.write_back)
			return {false, false, false};
		tags.fill(s * shape.assoc, shape.assoc);
		way = victim(s, set);
		Result r{false, set[way] != 0, (set[way] & DIRTY) != 0};
		set[way] = held(n, write);
		used(s, set[use(s, set, way)]);
		return r;
	}

	std::uint64_t dirty_lines() const
	{
		std::uint64_t n = 0;
		for (std::uint64_t k = 0; k < shape.sets * shape.assoc; k++)
			n += (*tags.at(k) & DIRTY) != 0;
		return n;
	}

	bool operator==(const PolicyCache &o) const
	{
		return tags == o.tags && next == o.next && tree == o.tree && rng == o.rng;
	}

      private:
	static constexpr std::uint64_t DIRTY = std::uint64_t(1) << 63;
	CacheShape shape;
	WritePolicy policy;
	unsigned bits = 0;
	unsigned vectors = 0; // the ways in vectors of four, 0: searched plainly
	Tags tags;
	// But under LRU, whose sets keep it at the front: per set, the line it
	// used last, as its way holds it.  A function of the accesses that
	// made the state, which the state's equality need not compare.
	Tags last;
	std::vector<std::uint32_t> next; // FIFO: per set, the way filled next
	std::vector<std::uint64_t> tree; // PLRU: per set, a bit per node
	XorShift64Star rng;

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

	// Notes the line that set s used last, as its way now holds it (with
	// DIRTY if it is dirty).
	[[gnu::always_inline]] void used(std::uint64_t s, std::uint64_t held)
	{
		if (!lru()) {
			*last.at(s) = held;
			last.fill(s, 1);
		}
	}

	// A hit or a fill at a way: where the line now stands.
	unsigned use(std::uint64_t s, std::uint64_t *set, unsigned way)
	{
		switch (policy.replacement) {
		case Replacement::LRU: {
			std::uint64_t line = set[way];
			std::memmove(set + 1, set, way * sizeof *set);
			set[0] = line;
			return 0;
		}
		case Replacement::PLRU:
			if (!tree.empty())
				point_away(s, way);
			return way;
		default: // FIFO and random: a hit changes nothing
			return way;
		}
	}

	// Where a miss puts its line: an empty way first, the lowest, or the
	// policy's victim.
	unsigned victim(std::uint64_t s, const std::uint64_t *set)
	{
		unsigned ways = shape.assoc;
		// LRU's empty ways are its last, and FIFO fills its ways in turn
		// from the first: their victims are empty ways while there are.
		switch (policy.replacement) {
		case Replacement::LRU:
			return ways - 1;
		case Replacement::FIFO: {
			if (next.empty())
				return 0;
			unsigned way = next[s];
			next[s] = (way + 1) % ways;
			return way;
		}
		case Replacement::PLRU: {
			if (unsigned empty = find(set, 0); empty < ways || tree.empty())
				return empty < ways ? empty : 0;
			unsigned node = 0; // the root; node k's halves are 2k+1 and 2k+2
			while (node < ways - 1)
				node = 2 * node + 1 + unsigned(tree[s] >> node & 1);
			return node - (ways - 1);
		}
		case Replacement::RANDOM: {
			unsigned empty = find(set, 0);
			return empty < ways ? empty : unsigned(rng.next() % ways);
		}
		}
		return 0;
	}

	// Sets every node on the way's path to point to the other half.
	void point_away(std::uint64_t s, unsigned way)
	{
		unsigned node = way + shape.assoc - 1;
		while (node > 0) {
			unsigned parent = (node - 1) / 2;
			if (node == 2 * parent + 2) // the way is in the right half
				tree[s] &= ~(std::uint64_t(1) << parent);
			else
				tree[s] |= std::uint64_t(1) << parent;
			node = parent;
		}
	}
};

// Every line a run has touched, and for each a number (NONE at first):
// open addressing, the table doubled when half full.
class LineTable {
      public:
	static constexpr std::uint32_t NONE = ~0u;

	// Line n's number, and whether n is new.
	std::pair<std::uint32_t *, bool> find(std::uint64_t n)
	{
		if (2 * (count + 1) > keys.size())
			grow();
		std::uint64_t key = n + 1;
		std::size_t k = slot(key);
		while (keys[k] != key && keys[k])
			k = (k + 1) & (keys.size() - 1);
		bool fresh = !keys[k];
		if (fresh) {
			keys[k] = key;
			values[k] = NONE;
			count++;
		}
		return {&values[k], fresh};
	}
	std::uint64_t size() const { return count; }

      private:
	std::vector<std::uint64_t> keys; // line + 1, 0 where empty
	std::vector<std::uint32_t> values;
	std::uint64_t count = 0;

	std::size_t slot(std::uint64_t key) const
	{
		return std::size_t(mixed(key) >> 32) & (keys.size() - 1);
	}
	void grow()
	{
		std::vector<std::uint64_t> old_keys(std::max<std::size_t>(64, 2 * keys.size()));
		std::vector<std::uint32_t> old_values(old_keys.size());
		old_keys.swap(keys); // keys now the larger, empty table
		old_values.swap(values);
		for (std::size_t k = 0; k < old_keys.size(); k++)
			if (old_keys[k]) {
				std::size_t at = slot(old_keys[k]);
				while (keys[at])
					at = (at + 1) & (keys.size() - 1);
				keys[at] = old_keys[k];
				values[at] = old_values[k];
			}
	}
};

// A fully associative LRU cache of n lines, for the kinds of miss: its
// lines in a list, most recent first, and where each stands, so that an
// access costs the same whatever the size; and every line ever touched.
// Writes allocate, or not.
class FullyAssociative {
      public:
	FullyAssociative(std::uint64_t lines, bool allocate_writes)
	    : capacity(lines), allocate_writes(allocate_writes)
	{
	}

	struct Touch {
		bool miss, first; // first: the line's first touch
	};

	Touch touch(std::uint64_t n, bool write)
	{
		auto [where, first] = seen.find(n);
		if (*where != NONE) {
			to_front(*where);
			return {false, false};
		}
		if (write && !allocate_writes)
			return {true, first};
		std::uint32_t slot;
		if (held < capacity) {
			slot = std::uint32_t(line.size());
			line.push_back(n);
			prev.push_back(NONE);
			next.push_back(NONE);
			held++;
		} else {
			slot = tail;
			unlink(slot);
			*seen.find(line[slot]).first = NONE;
			where = seen.find(n).first; // the table may have grown since
			line[slot] = n;
		}
		*where = slot;
		link_front(slot);
		return {true, first};
	}

	// The same lines in the same order, and as many touched.  (Compared
	// within one run, whose lines touched only grow, so the same lines.)
	bool operator==(const FullyAssociative &o) const
	{
		if (held != o.held || seen.size() != o.seen.size())
			return false;
		for (std::uint32_t a = head, b = o.head; a != NONE; a = next[a], b = o.next[b])
			if (line[a] != o.line[b])
				return false;
		return true;
	}

      private:
	static constexpr std::uint32_t NONE = LineTable::NONE;
	std::uint64_t capacity, held = 0;
	bool allocate_writes;
	std::vector<std::uint64_t> line;
	std::vector<std::uint32_t> prev, next;
	std::uint32_t head = NONE, tail = NONE;
	LineTable seen; // each line's slot in the list, NONE where not held

	void unlink(std::uint32_t k)
	{
		(prev[k] == NONE ? head : next[prev[k]]) = next[k];
		(next[k] == NONE ? tail : prev[next[k]]) = prev[k];
	}
	void link_front(std::uint32_t k)
	{
		prev[k] = NONE;
		next[k] = head;
		(head == NONE ? tail : prev[head]) = k;
		head = k;
	}
	void to_front(std::uint32_t k)
	{
		if (k != head) {
			unlink(k);
			link_front(k);
		}
	}
};

// The figures of a din trace in one cache, in the order they are printed.
enum Figure {
	READS, WRITES, READ_MISSES, WRITE_MISSES, EVICTIONS, WRITEBACKS,
	FULL_MISSES, // of a fully associative LRU cache of as many lines
	COMPULSORY,  // lines touched
	FIGURES
};
using Figures = std::array<std::uint64_t, FIGURES>;

// The figures of one cache over the din trace, counted through the replay.
class TraceCount {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = false;

	TraceCount(CacheShape shape, WritePolicy policy, bool kinds)
	    : cache(shape, policy), kinds(kinds), full(shape.sets * shape.assoc, policy.write_back)
	{
	}

	// A record in full; the din trace's accesses.
	void operator()(char kind, std::uint64_t addr, std::uint32_t, bool, std::uint32_t = 0)
	{
		std::uint64_t n = addr >> cache.line_bits();
		if (kind != 'S')
			touch(n, false);
		if (kind == 'S' || kind == 'M')
			touch(n, true);
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
	// A hit that changes nothing: only counted.
	void quiet(const Op &op)
	{
		n[READS] += op.kind != 'S';
		n[WRITES] += op.kind == 'S' || op.kind == 'M';
	}
	void access(const Op &op, std::uint64_t addr) { (*this)(op.kind, addr, op.size, op.main); }
	void add(std::uint32_t, const Cost &) {}
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
	std::vector<PolicyCache::Result> *told = nullptr;

      private:
	PolicyCache cache;
	bool kinds;
	FullyAssociative full; // as many lines
	// With the kinds: the line touched last, plus one, where both caches
	// hold it and at their fronts, with DIRTY if that was a write-back
	// write; else 0.
	std::uint64_t last = 0;

	[[gnu::always_inline]] void touch(std::uint64_t line, bool write)
	{
		PolicyCache::Result r = cache.access(line, write);
		n[write ? WRITES : READS]++;
		n[write ? WRITE_MISSES : READ_MISSES] += !r.hit;
		n[EVICTIONS] += r.evicted;
		n[WRITEBACKS] += r.wrote_back;
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
