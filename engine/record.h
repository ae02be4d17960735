// One record of a run's trace, as lackey prints it: an instruction fetched
// (I), a load (L), a store (S) or a modify (M), its address and its size.
#pragma once

#include <cstdint>

namespace loadgrid {

struct Record {
	char kind;
	std::uint64_t addr;
	std::uint32_t size;
	bool operator==(const Record &o) const { return kind == o.kind && addr == o.addr && size == o.size; }
	bool operator!=(const Record &o) const { return !(*this == o); }
};

} // namespace loadgrid
