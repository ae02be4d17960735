// The kernels' table as loadgrid/kernels.py keeps it: what learning a
// kernel needs of it, until the layers share one table.
#pragma once

#include <string>

namespace loadgrid::learn {

constexpr int PASSES = 1000, STEPS = 600, ARRAYS = 20;

// length: elements per array; rule: how step s of a pass picks its index.
struct Kernel {
	const char *name;
	int length;
	const char *rule;
};

constexpr Kernel KERNELS[] = {
    {"loadgrid1", 600, "stride 1"},
    {"loadgrid2", 600, "rand"},
    {"loadgrid3", 1800, "stride 3"},
};

// The kernel of that name; none for another name.
inline const Kernel *kernel_named(const std::string &name)
{
	for (const Kernel &k : KERNELS)
		if (name == k.name)
			return &k;
	return nullptr;
}

} // namespace loadgrid::learn
