// A fully associative LRU cache of as many lines as the cache counted, for
// the kinds of miss: its misses, less the lines ever touched, are the
// capacity misses.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "line_table.h"

// Its lines in a list, most recent first, and where each stands, so that
// an access costs the same whatever the size; and every line ever touched.
// Writes allocate, or not.
//
// The list is a ring through slot 0, which holds no line: the most recent
// line is the one after it, the least recent the one before.
class FullyAssociative {
      public:
	FullyAssociative(std::uint64_t lines, bool allocate_writes)
	    : capacity(lines), allocate_writes(allocate_writes), line(1, NO_LINE), link(1, {0, 0})
	{
	}

	struct Touch {
		bool miss, first; // first: the line's first touch
	};

	[[gnu::always_inline]] Touch touch(std::uint64_t n, bool write)
	{
		std::uint32_t &hint = hints[n % HINTS];
		if (line[hint] == n) {
			to_front(hint);
			return {false, false};
		}
		return look_up(n, write, hint);
	}

	// The same lines in the same order, and as many touched.  (Compared
	// within one run, whose lines touched only grow, so the same lines.)
	bool operator==(const FullyAssociative &o) const
	{
		if (line.size() != o.line.size() || seen.size() != o.seen.size())
			return false;
		for (std::uint32_t a = link[0].next, b = o.link[0].next; a; a = link[a].next, b = o.link[b].next)
			if (line[a] != o.line[b])
				return false;
		return true;
	}

      private:
	static constexpr std::uint32_t NONE = LineTable::NONE;
	static constexpr std::uint64_t NO_LINE = ~std::uint64_t(0); // slot 0's
	struct Link {
		std::uint32_t prev, next;
	};
	std::uint64_t capacity;
	bool allocate_writes;
	Lines<std::uint64_t> line; // per slot
	Lines<Link> link;	   // per slot
	LineTable seen; // each line's slot in the list, NONE where not held
	// Per line number modulo HINTS, the slot where a line of that number
	// was last found or put: a line held there is found without a
	// look-up, which the hot lines of a run nearly always are.
	static constexpr std::size_t HINTS = 256;
	std::array<std::uint32_t, HINTS> hints{}; // slot 0 at first, which holds no line

	[[gnu::noinline]] Touch look_up(std::uint64_t n, bool write, std::uint32_t &hint)
	{
		auto [where, first] = seen.find(n);
		if (*where != NONE) {
			to_front(hint = *where);
			return {false, false};
		}
		if (write && !allocate_writes)
			return {true, first};
		std::uint32_t slot;
		if (line.size() <= capacity) {
			slot = std::uint32_t(line.size());
			line.push_back(n);
			link.push_back({0, 0});
		} else {
			slot = link[0].prev; // the least recent line's
			unlink(slot);
			*seen.find(line[slot]).first = NONE; // held, so found where it is
			line[slot] = n;
		}
		*where = hint = slot;
		link_front(slot);
		return {true, first};
	}

	void unlink(std::uint32_t k)
	{
		link[link[k].prev].next = link[k].next;
		link[link[k].next].prev = link[k].prev;
	}
	void link_front(std::uint32_t k)
	{
		link[k] = {0, link[0].next};
		link[link[0].next].prev = k;
		link[0].next = k;
	}
	void to_front(std::uint32_t k)
	{
		unlink(k);
		link_front(k);
	}
};
