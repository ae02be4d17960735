// Prints what the executable readers give for each file named, a line
// each, for tests/binary_test.py to hold to binutils' and cachegrind's.
#include <cstdio>
#include <functional>
#include <string>

#include "lines.h"
#include "symbols.h"

namespace {

using namespace loadgrid::binary;

void print_or_refusal(const char *reader, const std::function<void()> &print)
{
	try {
		print();
	} catch (const Error &e) {
		std::printf("%s refused: %s\n", reader, e.what());
	}
}

void dump(const std::string &path)
{
	std::printf("file %s\n", path.c_str());
	print_or_refusal("functions", [&] {
		for (const Function &f : functions(path))
			std::printf("function %lx %lx %s\n", f.start, f.end, f.name.c_str());
	});
	print_or_refusal("lines", [&] {
		for (const SourceLine &l : source_lines(path))
			std::printf("line %lx %lx %d %s\n", l.start, l.end, l.line, l.file.c_str());
	});
	print_or_refusal("build", [&] { std::printf("build %s\n", build(path).c_str()); });
}

} // namespace

int main(int argc, char **argv)
{
	for (int k = 1; k < argc; ++k)
		dump(argv[k]);
}
