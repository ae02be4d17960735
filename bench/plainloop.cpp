// The baseline for bytecopy: the same calls per byte with no checks at all.
#include <cstdlib>
#include <fstream>

int main(int, char *argv[])
{
	auto *in = new std::ifstream(argv[1], std::ios::in | std::ios::binary);
	auto *out = new std::ofstream(argv[2], std::ios::out | std::ios::trunc |
						      std::ios::binary);
	char c;
	while (in->get(c))
		*out << c;
	in->close();
	out->close();
	exit(0);
}
