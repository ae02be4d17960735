// loadgrid-engine: a learned kernel model's trace and cache misses.
//
//   loadgrid-engine MODEL trace PASSES SHIFT [fetches] [low32] [lackey]
//   loadgrid-engine MODEL misses PASSES SHIFT SIZE,ASSOC,LINE...
//
// The front end, loadgrid-model, checks every argument first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "pattern.h"

namespace {

// Writes records as a din trace, or as lackey prints them.
class Writer {
      public:
	Writer(bool fetches, bool low32, bool lackey)
	    : fetches(fetches), lackey(lackey), mask(low32 ? 0xffffffffu : ~0ull)
	{
	}
	~Writer() { flush(); }

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool)
	{
		if (used > sizeof buf - 128)
			flush();
		if (lackey) {
			unsigned long a = addr;
			used += kind == 'I' ? std::snprintf(buf + used, 64, "I  %08lx,%u\n", a, size)
					    : std::snprintf(buf + used, 64, " %c %08lx,%u\n", kind, a, size);
			return;
		}
		addr &= mask;
		switch (kind) {
		case 'I':
			if (fetches)
				line('2', addr);
			break;
		case 'L':
			line('0', addr);
			break;
		case 'S':
			line('1', addr);
			break;
		case 'M':
			line('0', addr);
			line('1', addr);
			break;
		}
	}

      private:
	bool fetches, lackey;
	std::uint64_t mask;
	char buf[1 << 16];
	std::size_t used = 0;

	void line(char label, std::uint64_t addr)
	{
		char digits[16];
		int n = 0;
		do
			digits[n++] = "0123456789abcdef"[addr & 15];
		while (addr >>= 4);
		buf[used++] = label;
		buf[used++] = ' ';
		while (n)
			buf[used++] = digits[--n];
		buf[used++] = '\n';
	}

	void flush()
	{
		if (used && std::fwrite(buf, 1, used, stdout) != used)
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
		used = 0;
	}
};

// Feeds one record to every geometry.
struct Sims {
	std::vector<Sim> all;
	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		for (Sim &s : all)
			s(kind, addr, size, main);
	}
};

void pass(Run &run, int p, Sims &sims)
{
	for (long s = 0; s < STEPS; s++)
		run.step(long(p) * STEPS + s, sims);
}

// Runs the passes through every geometry.  Where each pass makes the same
// records, a pass that leaves every cache as it found it will do so again:
// from there on each pass adds the misses of the one before, and only the
// last pass, which ends the run, is simulated.
void misses(Run &run, Sims &sims, int passes)
{
	if (sims.all.empty())
		return;
	run.head(sims);
	int p = 0;
	for (Sims before; p < passes - 1; p++) {
		if (run.periodic()) {
			bool steady = p > 0;
			for (std::size_t g = 0; steady && g < sims.all.size(); g++)
				steady = sims.all[g].same_state(before.all[g]);
			if (steady) {
				for (std::size_t g = 0; g < sims.all.size(); g++)
					sims.all[g].n += (sims.all[g].n - before.all[g].n) *
							 std::uint64_t(passes - 1 - p);
				break;
			}
			before = sims;
		}
		pass(run, p, sims);
	}
	pass(run, passes - 1, sims);
}

} // namespace

int main(int argc, char **argv)
{
	try {
		if (argc < 5)
			throw std::runtime_error("usage: loadgrid-engine MODEL trace|misses PASSES SHIFT ...");
		Model m = load(argv[1]);
		std::string cmd = argv[2];
		int passes = std::atoi(argv[3]);
		std::uint64_t shift = std::strtoll(argv[4], nullptr, 10);
		Run run(m, passes, shift);
		if (cmd == "trace") {
			bool opt[3] = {};
			const char *names[3] = {"fetches", "low32", "lackey"};
			for (int i = 5; i < argc; i++)
				for (int k = 0; k < 3; k++)
					opt[k] |= std::strcmp(argv[i], names[k]) == 0;
			Writer out(opt[0], opt[1], opt[2]);
			run.all(out);
		} else {
			// Half the geometries each on two threads.
			drop_fetches(m);
			Sims sims[2];
			for (int i = 5; i < argc; i++) {
				unsigned long size, assoc, line;
				if (std::sscanf(argv[i], "%lu,%lu,%lu", &size, &assoc, &line) != 3)
					throw std::runtime_error(std::string("bad geometry ") + argv[i]);
				sims[i % 2].all.emplace_back(size, assoc, line);
			}
			std::thread other([&] {
				Run again(m, passes, shift);
				misses(again, sims[1], passes);
			});
			misses(run, sims[0], passes);
			other.join();
			for (int i = 5; i < argc; i++) {
				const Misses &n = sims[i % 2].all[(i - 5) / 2].n;
				std::printf("%lu %lu %lu %lu\n", (unsigned long)n.main_reads,
					    (unsigned long)n.main_writes, (unsigned long)n.trace_reads,
					    (unsigned long)n.trace_writes);
			}
		}
		if (std::fflush(stdout))
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
	} catch (const std::exception &e) {
		std::fprintf(stderr, "loadgrid-engine: %s\n", e.what());
		return 1;
	}
	return 0;
}
