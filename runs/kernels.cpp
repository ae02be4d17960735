#include "kernels.h"

namespace loadgrid::runs {

const std::vector<std::string> &names()
{
	static const std::vector<std::string> all = [] {
		std::vector<std::string> out;
		for (const Kernel &k : KERNELS)
			out.push_back(k.name);
		return out;
	}();
	return all;
}

const Kernel *kernel(const std::string &name)
{
	for (const Kernel &k : KERNELS)
		if (name == k.name)
			return &k;
	return nullptr;
}

std::string spoken(const std::vector<std::string> &names)
{
	std::string out;
	for (std::size_t k = 0; k + 1 < names.size(); k++)
		out += (k ? ", " : "") + names[k];
	return out + " or " + names.back();
}

} // namespace loadgrid::runs
