// The kernels' table: what each loadgrid kernel does, for the model, the
// runs and the command alike.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace loadgrid::runs {

constexpr unsigned PASSES = 1000, STEPS = 600, ARRAYS = 20, ELEM = 4;
// Array reads in a run, every kernel.
constexpr std::uint64_t READS = std::uint64_t(PASSES) * STEPS * ARRAYS;

// length: elements per array; rule: how step s of a pass picks its index,
// "stride K" (K * s) or "rand" (the C library's unseeded rand() % length);
// walk: how that reads, in words; block: the unused bytes in main's frame.
struct Kernel {
	const char *name;
	unsigned length;
	const char *rule;
	const char *walk;
	unsigned block;
};

constexpr std::array<Kernel, 3> KERNELS{{
    {"loadgrid1", 600, "stride 1", "in order", 0},
    {"loadgrid2", 600, "rand", "at random", 0},
    {"loadgrid3", 1800, "stride 3", "every third element", 8000},
}};

// The kernels' names, in the table's order.
const std::vector<std::string> &names();
// The kernel of that name; none if no kernel has it.
const Kernel *kernel(const std::string &name);
// Names as a list in words: "a, b or c".
std::string spoken(const std::vector<std::string> &names = runs::names());

} // namespace loadgrid::runs
