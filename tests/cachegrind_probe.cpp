// The cachegrind layer as a filter, for the tests that hold it to the
// Python package's answers:
//   cachegrind-probe geometries   a cache a line in, "SIZE,ASSOC,LINE" or
//                                 "refused: WHY" a line out
//   cachegrind-probe report FILE  the report read and written again, or
//                                 "refused: WHY"
#include <fstream>
#include <iostream>
#include <sstream>

#include "caches.h"
#include "report_file.h"

using namespace loadgrid::cachegrind;

static int geometries()
{
	std::string line;
	while (std::getline(std::cin, line)) {
		try {
			std::cout << spelled(geometry(line)) << "\n";
		} catch (const Refused &e) {
			std::cout << "refused: " << e.what() << "\n";
		}
	}
	return 0;
}

static int report(const char *path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream text;
	text << in.rdbuf();
	if (!in)
		return 2;
	try {
		Report r = read_report(text.str());
		std::cout << report_text(descs(r.desc), "cmd", r.places);
	} catch (const BadReport &e) {
		std::cout << "refused: " << e.what() << "\n";
	}
	return 0;
}

int main(int argc, char **argv)
{
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "geometries" && argc == 2)
		return geometries();
	if (mode == "report" && argc == 3)
		return report(argv[2]);
	std::cerr << "usage: cachegrind-probe geometries | report FILE\n";
	return 2;
}
