// The cachegrind layer as a filter, for the tests that hold it to
// cachegrind itself:
//   cachegrind-probe geometries [NARROWEST]
//       a cache a line in, "SIZE,ASSOC,LINE" or "refused: WHY" a line out;
//       with NARROWEST, lines narrower than that refused too (narrow())
//   cachegrind-probe report FILE
//       the report read and written again, or "refused: WHY"
//   cachegrind-probe sums FILE
//       what was read of the report: "caches I1 D1 LL" (each
//       SIZE,ASSOC,LINE), "summary EVENTS...", then a line
//       "function NAME<TAB>EVENTS..." each; or "refused: WHY"
#include <fstream>
#include <iostream>
#include <sstream>

#include "caches.h"
#include "report_file.h"

using namespace loadgrid::cachegrind;

static int geometries(const char *narrowest)
{
	std::string line;
	while (std::getline(std::cin, line)) {
		try {
			Geometry g = geometry(line);
			if (narrowest)
				narrow({g}, std::stoull(narrowest));
			std::cout << spelled(g) << "\n";
		} catch (const Refused &e) {
			std::cout << "refused: " << e.what() << "\n";
		}
	}
	return 0;
}

static std::string events(const Costs &costs)
{
	std::string out;
	for (std::uint64_t c : costs)
		out += " " + std::to_string(c);
	return out;
}

static int report(const char *path, bool sums)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream text;
	text << in.rdbuf();
	if (!in)
		return 2;
	try {
		Report r = read_report(text.str());
		std::vector<Geometry> caches = descs(r.desc);
		if (!sums) {
			std::cout << report_text(caches, "cmd", r.places);
			return 0;
		}
		std::cout << "caches";
		for (const Geometry &g : caches)
			std::cout << " " << spelled(g);
		std::cout << "\nsummary" << events(r.summary) << "\n";
		for (const auto &[name, costs] : r.functions)
			std::cout << "function " << name << "\t" << events(costs).substr(1) << "\n";
	} catch (const BadReport &e) {
		std::cout << "refused: " << e.what() << "\n";
	}
	return 0;
}

int main(int argc, char **argv)
{
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "geometries" && argc <= 3)
		return geometries(argc == 3 ? argv[2] : nullptr);
	if ((mode == "report" || mode == "sums") && argc == 3)
		return report(argv[2], mode == "sums");
	std::cerr << "usage: cachegrind-probe geometries [NARROWEST] | report FILE | sums FILE\n";
	return 2;
}
