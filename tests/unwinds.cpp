// A program linked as the workloads are: an exception thrown through
// several frames is caught, so the unwinder finds their tables.
#include <stdexcept>

static int depth(int n)
{
	if (n == 0)
		throw std::runtime_error("bottom");
	return depth(n - 1) + 1;
}

int main()
{
	try {
		return depth(40);
	} catch (const std::runtime_error &) {
		return 0;
	}
}
