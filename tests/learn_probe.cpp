// Learns a kernel's model from lackey runs recorded in a file, for the
// tests that hold the learn layer to the Python package's answers:
//   learn-probe KERNEL NAME RUNS
// RUNS holds, for each run the package asked for, a line "run POKE STOP N"
// (POKE "-" or INSN,ADDR,VALUE in hex; STOP the record at which the run was
// stopped, or "-" if it went to its end) and its N records "KIND HEX SIZE".
// Each run asked for here must be asked the same way and be stopped at the
// same record, which is the last of its N.  Out: "started" once starting() is called, then the model
// text, or "mismatch: WHY" or "failure: WHY".
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <string>

#include "learn.h"

using namespace loadgrid;
using namespace loadgrid::learn;

namespace {

struct Recorded {
	std::string poke, stop;
	std::vector<Record> recs;
};

std::vector<Recorded> read_runs(const char *path)
{
	FILE *f = std::fopen(path, "r");
	if (!f)
		throw std::runtime_error(std::string(path) + ": cannot open");
	std::vector<Recorded> runs;
	char poke[128], stop[32];
	std::size_t n;
	while (std::fscanf(f, " run %127s %31s %zu", poke, stop, &n) == 3) {
		Recorded &r = runs.emplace_back(Recorded{poke, stop, {}});
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

// Replays the recorded runs in turn, refusing one asked differently.
class Replay {
      public:
	explicit Replay(std::vector<Recorded> runs) : runs(std::move(runs)) {}

	std::vector<Record> operator()(const Stop &stop, const std::optional<Poke> &poke)
	{
		if (asked == runs.size())
			throw std::logic_error("a run the package did not ask for");
		const Recorded &run = runs[asked++];
		if (spelled(poke) != run.poke)
			throw std::logic_error("run " + std::to_string(asked) + " poked " + spelled(poke) +
					       ", not " + run.poke);
		std::vector<Record> out;
		std::string stopped = "-";
		for (const Record &rec : run.recs) {
			out.push_back(rec);
			if (stop(rec)) {
				stopped = std::to_string(out.size() - 1);
				break;
			}
		}
		if (stopped != run.stop)
			throw std::logic_error("run " + std::to_string(asked) + " stopped at " + stopped +
					       ", not " + run.stop);
		return out;
	}

	std::vector<Recorded> runs;
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
			if (started != 1 || l.a != replay.runs.at(0).recs || l.b != replay.runs.at(1).recs)
				throw std::logic_error("not the records of the runs");
			std::cout << l.text;
		} catch (const Mismatch &e) {
			std::cout << "mismatch: " << e.what() << "\n";
		} catch (const Failure &e) {
			std::cout << "failure: " << e.what() << "\n";
		}
		if (replay.asked != replay.runs.size())
			throw std::logic_error("asked for " + std::to_string(replay.asked) + " runs, not " +
					       std::to_string(replay.runs.size()));
	} catch (const std::exception &e) {
		std::cerr << "learn-probe: " << e.what() << "\n";
		return 3;
	}
	return 0;
}
