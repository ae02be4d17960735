// Follows a trace record by record: the instruction that made each, whether
// it is one of main's, and how many array reads have gone by.  Array reads
// are main's loads whose address moves: the first read of an instruction
// counts once a second one shows that it moves.
#pragma once

#include <cstdint>
#include <set>
#include <unordered_map>

#include "record.h"

namespace loadgrid::valgrind {

class Watch {
      public:
	Watch(std::uint64_t lo, std::uint64_t hi) : lo(lo), hi(hi) {}

	void see(const Record &rec)
	{
		if (rec.kind == 'I') {
			insn = rec.addr;
			inside = lo <= rec.addr && rec.addr < hi;
		} else if (rec.kind == 'L' && inside) {
			if (moving.count(insn)) {
				reads++;
			} else if (first.emplace(insn, rec.addr).first->second != rec.addr) {
				moving.insert(insn);
				reads += 2;
			}
		}
	}

	std::uint64_t lo, hi;
	std::uint64_t insn = 0;
	bool inside = false;
	std::uint64_t reads = 0;
	std::unordered_map<std::uint64_t, std::uint64_t> first;
	std::set<std::uint64_t> moving;
};

} // namespace loadgrid::valgrind
