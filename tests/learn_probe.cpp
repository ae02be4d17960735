// Learns a kernel's model from lackey runs recorded in a file, for the
// tests that hold the learn layer to real Valgrind runs:
//   learn-probe KERNEL NAME RUNS
// RUNS holds, for each run recorded, a line "run POKE END N" (POKE "-" or
// INSN,ADDR,VALUE in hex, as gdb poked it; END "end" if the run went to its
// end, "cut" if its recording stopped early) and its N records
// "KIND HEX SIZE".  The runs learn asks for are given these in turn: each
// must be asked with the poke it was recorded with, and a cut run must be
// stopped before its records run out.  Out: "started" once starting() is
// called; then "wanted POKE" if learn asks for a run beyond those recorded
// (it is recorded next), else the model text, or "mismatch: WHY" or
// "failure: WHY".  A run asked otherwise than recorded, or recorded too
// short, is the test's fault: status 3, the reason on stderr.
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <string>

#include "learn.h"

using namespace loadgrid;
using namespace loadgrid::learn;

namespace {

struct Recorded {
	std::string poke;
	bool cut;
	std::vector<Record> recs;
};

std::vector<Recorded> read_runs(const char *path)
{
	FILE *f = std::fopen(path, "r");
	if (!f)
		throw std::runtime_error(std::string(path) + ": cannot open");
	std::vector<Recorded> runs;
	char poke[128], end[8];
	std::size_t n;
	while (std::fscanf(f, " run %127s %7s %zu", poke, end, &n) == 3) {
		std::string how = end;
		if (how != "end" && how != "cut")
			throw std::runtime_error(std::string(path) + ": a run neither ended nor cut");
		Recorded &r = runs.emplace_back(Recorded{poke, how == "cut", {}});
		r.recs.resize(n);
		for (Record &rec : r.recs)
			if (std::fscanf(f, " %c %" SCNx64 " %" SCNu32, &rec.kind, &rec.addr, &rec.size) != 3)
				throw std::runtime_error(std::string(path) + ": a run cut short");
	}
	bool whole = std::feof(f);
	std::fclose(f);
	if (!whole)
		throw std::runtime_error(std::string(path) + ": not runs");
	return runs;
}

std::string spelled(const std::optional<Poke> &poke)
{
	if (!poke)
		return "-";
	char text[128];
	std::snprintf(text, sizeof text, "%" PRIx64 ",%" PRIx64 ",%x", poke->insn, poke->addr, unsigned(poke->value));
	return text;
}

// A run asked for that is not recorded yet.
struct Wanted {
	std::string poke;
};

// Replays the recorded runs in turn, refusing one asked differently.
class Replay {
      public:
	explicit Replay(std::vector<Recorded> runs) : runs(std::move(runs)) {}

	std::vector<Record> operator()(const Stop &stop, const std::optional<Poke> &poke)
	{
		if (asked == runs.size())
			throw Wanted{spelled(poke)};
		const Recorded &run = runs[asked++];
		if (spelled(poke) != run.poke)
			throw std::logic_error("run " + std::to_string(asked) + " poked " + spelled(poke) +
					       ", recorded with " + run.poke);
		std::vector<Record> &out = given.emplace_back();
		for (const Record &rec : run.recs) {
			out.push_back(rec);
			if (stop(rec))
				return out;
		}
		if (run.cut)
			throw std::logic_error("run " + std::to_string(asked) + ": its " +
					       std::to_string(run.recs.size()) +
					       " records ran out before learn stopped it: record more");
		return out;
	}

	std::vector<Recorded> runs;
	std::vector<std::vector<Record>> given;
	std::size_t asked = 0;
};

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		std::cerr << "usage: learn-probe KERNEL NAME RUNS\n";
		return 2;
	}
	try {
		Replay replay(read_runs(argv[3]));
		std::size_t started = 0;
		try {
			Learned l = learn::learn(argv[1], argv[2], std::ref(replay), [&] {
				if (replay.asked)
					throw std::logic_error("started after a run");
				started++;
				std::cout << "started\n";
			});
			if (started != 1 || replay.given.size() != 2 || l.a != replay.given[0] ||
			    l.b != replay.given[1])
				throw std::logic_error("not the records of the runs");
			std::cout << l.text;
		} catch (const Wanted &w) {
			std::cout << "wanted " << w.poke << "\n";
		} catch (const Mismatch &e) {
			std::cout << "mismatch: " << e.what() << "\n";
		} catch (const Failure &e) {
			std::cout << "failure: " << e.what() << "\n";
		}
	} catch (const std::exception &e) {
		std::cerr << "learn-probe: " << e.what() << "\n";
		return 3;
	}
	return 0;
}
