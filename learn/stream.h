// A lackey trace cut into the start-up code's records, main's own, and the
// runs of records made outside main while main waits for a call.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "record.h"

namespace loadgrid::learn {

// A template's entry: a record as it stands (kind I, L, S or M; main: made
// by one of main's instructions), a read of array addr ('A'), or a call
// ('C').
struct Entry {
	char kind;
	std::uint64_t addr;
	std::uint32_t size;
	bool main;
	bool operator==(const Entry &o) const
	{
		return kind == o.kind && addr == o.addr && size == o.size && main == o.main;
	}
	bool operator!=(const Entry &o) const { return !(*this == o); }
};

using Segment = std::vector<Entry>;
using Calls = std::vector<std::vector<Record>>;

class Stream {
      public:
	Stream(std::vector<Record> recs, std::uint64_t lo, std::uint64_t hi);

	// Records start..end as entries; each run of records made outside
	// main and returning into it becomes a call, its records appended to
	// calls.  With literal_tail, a last run outside main that never
	// returns (the exit path) stays as it is.
	Segment segment(std::size_t start, std::size_t end, Calls *calls = nullptr,
			bool literal_tail = false) const;

	std::vector<Record> recs;
	std::vector<bool> main;		 // per record: made by one of main's instructions
	std::vector<std::uint64_t> insn; // per record: the instruction that made it
	std::size_t entry;		 // main's first record
	std::vector<std::size_t> reads;	 // every array read, in order
	std::vector<std::size_t> steps;	 // the first array read of every step

      private:
	std::vector<bool> is_read;
	std::map<std::uint64_t, std::uint64_t> array; // instruction: array, by first read
	void check_order() const;
};

} // namespace loadgrid::learn
