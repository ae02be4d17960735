// A fully associative LRU cache of as many lines as the cache counted, for
// the kinds of miss: its misses, less the lines ever touched, are the
// capacity misses.
#pragma once

#include <cstdint>
#include <vector>

#include "line_table.h"

// Its lines in a list, most recent first, and where each stands, so that
// an access costs the same whatever the size; and every line ever touched.
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
			*seen.find(line[slot]).first = NONE; // held, so found where it is
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
