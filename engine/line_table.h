// Every line a run has touched, and for each a number: the fully
// associative cache's index of where each line stands.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "cache.h"

// Open addressing, the table doubled when half full, so that a look-up
// costs the same however many lines a run touches.
class LineTable {
      public:
	static constexpr std::uint32_t NONE = ~0u;

	LineTable() : keys(64), values(64) {}

	// Line n's number (NONE at first), and whether n is new.  The table
	// grows only to take a new line, so a number found stays where it is
	// while lines already in the table are looked up.
	std::pair<std::uint32_t *, bool> find(std::uint64_t n)
	{
		std::uint64_t key = n + 1;
		std::size_t k = probe(key);
		if (keys[k] == key)
			return {&values[k], false};
		if (2 * (count + 1) > keys.size()) {
			grow();
			k = probe(key);
		}
		keys[k] = key;
		values[k] = NONE;
		count++;
		return {&values[k], true};
	}
	std::uint64_t size() const { return count; }

      private:
	Lines<std::uint64_t> keys; // line + 1, 0 where empty
	Lines<std::uint32_t> values;
	std::uint64_t count = 0;

	std::size_t slot(std::uint64_t key) const
	{
		return std::size_t(mixed(key) >> 32) & (keys.size() - 1);
	}
	// Where key is, or the empty slot where it would go.
	std::size_t probe(std::uint64_t key) const
	{
		std::size_t k = slot(key);
		while (keys[k] != key && keys[k])
			k = (k + 1) & (keys.size() - 1);
		return k;
	}
	void grow()
	{
		Lines<std::uint64_t> old_keys(2 * keys.size());
		Lines<std::uint32_t> old_values(old_keys.size());
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
