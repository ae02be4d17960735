// Learning a kernel's model from two short lackey runs: the first passes,
// and a run whose pass counter is moved to the last pass at once.  The
// model is text for engine/model.cpp: templates of the process's records
// (the head before step 0's first array read, a step within a pass, a step
// that ends one, the last step with all that follows, and the calls main
// makes), in which an array read is only "array j at this step's index".
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "failure.h"
#include "lackey.h"
#include "record.h"

namespace loadgrid::learn {

constexpr const char *FORMAT = "loadgrid-model 4";
constexpr int LEARN_PASSES = 3;
constexpr std::uint64_t STACK_SPAN = 1 << 24; // the stack lies within this of main's frame

using runs::Failure;

// The binary does not behave as the kernel it is named after.
class Mismatch : public Failure {
      public:
	using Failure::Failure;
};

using valgrind::Poke;
using Stop = std::function<bool(const Record &)>;
// One lackey run of the kernel: stop sees each record and returns true to
// end the run there; the records read, the stopping one included.
using Lackey = std::function<std::vector<Record>(const Stop &stop, const std::optional<Poke> &poke)>;

struct Learned {
	std::string text;
	std::vector<Record> a, b;
};

// The model of a kernel binary, and the records of the two runs it was
// learned from.  name picks the kernel's row of the table; starting() is
// called once the binary looks like a kernel, before the slow part.
Learned learn(
    const std::string &kernel_path, const std::string &name, const Lackey &lackey,
    const std::function<void()> &starting = [] {});

// One period of the calls made from the loop: call k makes the records of
// entry k % period.
std::vector<std::vector<Record>> period(const std::vector<std::vector<Record>> &calls);

// The entries of a table of address ranges (start, end), in address order,
// that hold one of the addresses.
template <typename Entry, typename Addresses>
std::vector<Entry> holding(const std::vector<Entry> &table, const Addresses &addresses)
{
	std::vector<bool> used(table.size());
	for (std::uint64_t a : addresses) {
		auto after = std::upper_bound(table.begin(), table.end(), a,
					      [](std::uint64_t x, const Entry &e) { return x < e.start; });
		if (after != table.begin() && a < std::prev(after)->end)
			used[after - table.begin() - 1] = true;
	}
	std::vector<Entry> out;
	for (std::size_t k = 0; k < table.size(); k++)
		if (used[k])
			out.push_back(table[k]);
	return out;
}

} // namespace loadgrid::learn
