// The engine's answers for answers_probe_test.py to hold to cachegrind,
// loadgrid-model misses and traces changed at known places, one question
// a run:
//
//   answers-probe MODEL places PASSES SHIFT I1 D1 LL
//       each place's events: FILE<tab>FUNCTION<tab>LINE<tab>EVENTS...
//   answers-probe MODEL difference PASSES whole|prefix < RECORDS
//       RECORDS "KIND HEXADDR SIZE" a line; "none" or "K MINE REAL", each
//       record KIND,HEXADDR,SIZE or "nothing"
//   answers-probe MODEL trace PASSES
//       the run's trace with its fetches, as lackey prints it, for a model
//       file that the command would not take as its own (learn_test.py's)
//
// A refusal is printed as "refused: " and its message.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "answers.h"

namespace {

using namespace loadgrid::engine;
using loadgrid::Record;

// SIZE,ASSOC,LINE, in bytes.
CacheShape shape(const char *text)
{
	unsigned long long size, assoc, line;
	if (std::sscanf(text, "%llu,%llu,%llu", &size, &assoc, &line) != 3)
		throw std::invalid_argument(std::string("not a cache: ") + text);
	return {size / line / assoc, unsigned(assoc), unsigned(line)};
}

void places(const Model &m, char **args)
{
	Levels levels{shape(args[2]), shape(args[3]), shape(args[4])};
	std::vector<ReportRow> rows = report(m, std::stoi(args[0]), std::stoll(args[1]), {levels}).at(0);
	for (const auto &[place, events] : by_place(rows)) {
		const auto &[file, function, line] = place;
		std::printf("%s\t%s\t%lu\t", file.c_str(), function.c_str(), (unsigned long)line);
		for (std::size_t e = 0; e < events.size(); e++)
			std::printf(e + 1 < events.size() ? "%lu " : "%lu\n", (unsigned long)events[e]);
	}
}

std::string shown(const std::optional<Record> &r)
{
	if (!r)
		return "nothing";
	char text[64];
	std::snprintf(text, sizeof text, "%c,%llx,%u", r->kind, (unsigned long long)r->addr, r->size);
	return text;
}

void difference(const Model &m, char **args)
{
	std::vector<Record> seen;
	std::string kind;
	unsigned long long addr;
	std::uint32_t size;
	while (std::cin >> kind >> std::hex >> addr >> std::dec >> size)
		seen.push_back({kind.at(0), addr, size});
	std::optional<Difference> d =
	    first_difference(m, std::stoi(args[0]), seen, !std::strcmp(args[1], "whole"));
	if (!d)
		std::printf("none\n");
	else
		std::printf("%zu %s %s\n", d->k, shown(d->mine).c_str(), shown(d->real).c_str());
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 4) {
		std::fprintf(stderr, "usage: answers-probe MODEL places|difference|trace ...\n");
		return 2;
	}
	Model m = load(argv[1]);
	try {
		if (!std::strcmp(argv[2], "places") && argc == 8)
			places(m, argv + 3);
		else if (!std::strcmp(argv[2], "difference") && argc == 5)
			difference(m, argv + 3);
		else if (!std::strcmp(argv[2], "trace") && argc == 4)
			trace(m, std::stoi(argv[3]), 0, {true, false, true}, stdout);
		else
			throw std::invalid_argument("unknown question");
	} catch (const std::invalid_argument &e) {
		std::fprintf(stderr, "answers-probe: %s\n", e.what());
		return 2;
	} catch (const std::runtime_error &e) {
		std::printf("refused: %s\n", e.what());
	}
	return 0;
}
