// The command line: what each command takes, and every check that can be
// made before anything slow starts.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "caches.h"

namespace loadgrid::cli {

constexpr const char *PROG = "loadgrid-model";

// Arguments that are wrong: said under the usage of the command named,
// with status 2.
class Usage : public std::runtime_error {
      public:
	using std::runtime_error::runtime_error;
};

using cachegrind::Geometry;

struct Arguments {
	std::string command;
	std::string invoked; // this program's path as it was started
	std::string kernel;
	bool here = false;
	std::string stack_shift = "0";
	std::string passes_text;
	std::vector<std::string> cache;
	std::map<std::string, std::string> levels; // I1, D1, LL as given
	// trace
	bool fetches = false, low32 = false;
	std::string format = "din";
	// misses
	std::string policy, write;
	bool kinds = false;
	// lab
	int s = 0, e = 0, b = 0;
	bool verbose = false;
	// surface
	std::string lines, sets, ways;
	// predict
	std::string output;
	// run
	std::vector<std::string> tool;
	// shift
	bool native = false;
	// facts
	bool indices = false;

	// Worked out from the above.
	std::int64_t shift = 0;
	int passes = 0;
	std::vector<Geometry> geometries;			// --cache
	std::map<std::uint64_t, std::vector<Geometry>> by_line; // surface
};

// What a parse ended in: arguments to act on, or help or the version,
// already printed.
struct Parsed {
	Arguments args;
	bool done = false;
};

Parsed parse(int argc, char **argv, const std::string &version);

// The usage line of the command named in argv, or of the program.
std::string usage_for(int argc, char **argv);

// Each a check of one option, as the command makes them again later.
Geometry geometry(const std::string &text, const std::string &option = "--cache");
void taken(const std::vector<Geometry> &geometries, std::uint64_t narrowest,
	   const std::string &option = "--cache");
std::int64_t shift_bytes(const std::string &text);

} // namespace loadgrid::cli
