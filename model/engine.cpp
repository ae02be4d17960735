// loadgrid-engine: a learned kernel model's trace and cache misses.
//
//   loadgrid-engine MODEL trace PASSES SHIFT [fetches] [low32] [lackey]
//   loadgrid-engine MODEL misses PASSES SHIFT SIZE,ASSOC,LINE...
//   loadgrid-engine MODEL accesses PASSES SHIFT
//   loadgrid-engine MODEL indices PASSES SHIFT
//
// The front end, loadgrid-model, checks every argument first.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

	void flush()
	{
		if (used && std::fwrite(buf, 1, used, stdout) != used)
			throw std::runtime_error(std::string("write: ") + std::strerror(errno));
		used = 0;
	}

      private:
	bool fetches, lackey;
	std::uint64_t mask;
	char buf[1 << 16] = {};
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
};

// A loop segment as one set count and line size see it: a line number
// for each record but the array reads, which are known only at run time.
struct Op {
	std::uint64_t line; // or the array number
	bool array, call, main, write;
};
using Ops = std::vector<Op>;

// False where a record straddles two lines, which only Sim handles.  A
// record whose set was last touched by its own line, with no array read
// or call since, is a hit that changes nothing, and is left out.
bool compile(const Segment &seg, unsigned bits, std::uint64_t sets, std::uint64_t shift, Ops &out)
{
	std::map<std::uint64_t, std::uint64_t> mru; // set -> line, since a barrier
	for (const Rec &r : seg) {
		Op op{r.addr, (r.flags & ARRAY) != 0, (r.flags & CALL) != 0,
		      (r.flags & MAIN) != 0, r.kind == 'S'};
		if (op.array || op.call) {
			mru.clear();
			out.push_back(op);
			continue;
		}
		std::uint64_t a = r.flags & STACK ? r.addr - shift : r.addr;
		op.line = a >> bits;
		if ((a + std::min(r.size, 16u) - 1) >> bits != op.line)
			return false;
		auto [at, fresh] = mru.try_emplace(op.line & (sets - 1), op.line);
		if (fresh || at->second != op.line)
			out.push_back(op);
		at->second = op.line;
	}
	return true;
}

// A run through one Sim.  The loop's steps go through the compiled
// segments, the rest record by record.
class Steps {
      public:
	Steps(const Model &m, int passes, std::uint64_t shift, Sim &sim)
	    : run(m, passes, shift), sim(sim), bits(sim.line_bits()), calls(m.calls.size())
	{
		std::uint64_t sets = sim.set_count();
		fast = compile(m.body, bits, sets, shift, body) &&
		       compile(m.boundary, bits, sets, shift, boundary);
		for (std::size_t k = 0; k < calls.size(); k++)
			fast = fast && compile(m.calls[k], bits, sets, shift, calls[k]);
		run.head(sim);
	}

	bool periodic() const { return run.periodic(); }

	void step(long t)
	{
		if (!fast || run.last(t))
			return run.step(t, sim);
		std::uint64_t lines[ARRAYS];
		long i = run.index(t);
		for (int j = 0; j < ARRAYS; j++)
			lines[j] = run.address(j, i) >> bits;
		// Array reads, fixed places and calls each touch the cache from
		// a call site of their own, whose branches then learn their
		// own habits: the fixed places mostly hit the most recent line.
		for (const Op &op : Run::ends_pass(t) ? boundary : body) {
			if (op.array) {
				sim.touch(lines[op.line], op.main, op.write);
			} else if (op.call) {
				for (const Op &c : calls[run.next_call()])
					sim.touch(c.line, c.main, c.write);
			} else {
				sim.touch(op.line, op.main, op.write);
			}
		}
	}

      private:
	Run run;
	Sim &sim;
	unsigned bits;
	bool fast;
	Ops body, boundary;
	std::vector<Ops> calls;
};

void pass(Steps &run, int p)
{
	for (long s = 0; s < STEPS; s++)
		run.step(long(p) * STEPS + s);
}

// Runs the passes through one Sim.  Where each pass makes the same
// records, a pass that leaves the caches as it found them will do so again:
// from there on each pass adds the misses of the one before, and only the
// last pass, which ends the run, is simulated.
void misses(const Model &m, int passes, std::uint64_t shift, Sim &sim)
{
	Steps run(m, passes, shift, sim);
	int p = 0;
	for (Sim before = sim; p < passes - 1; p++) {
		if (run.periodic()) {
			if (p > 0 && sim.same_state(before)) {
				for (std::size_t g = 0; g < sim.n.size(); g++)
					sim.n[g] += (sim.n[g] - before.n[g]) *
						    std::uint64_t(passes - 1 - p);
				break;
			}
			before = sim;
		}
		pass(run, p);
	}
	pass(run, passes - 1);
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
		if (cmd == "trace") {
			Run run(m, passes, shift);
			bool opt[3] = {};
			const char *names[3] = {"fetches", "low32", "lackey"};
			for (int i = 5; i < argc; i++)
				for (int k = 0; k < 3; k++)
					opt[k] |= std::strcmp(argv[i], names[k]) == 0;
			Writer out(opt[0], opt[1], opt[2]);
			run.all(out);
			out.flush();
		} else if (cmd == "indices") {
			// the index that each step reads
			Run run(m, passes, shift);
			for (long t = 0; t < run.steps(); t++)
				std::printf("%ld\n", run.index(t));
		} else if (cmd == "accesses") {
			// main's data accesses as cachegrind counts them: a modify
			// is a read
			Run run(m, passes, shift);
			std::uint64_t n[2] = {};
			auto count = [&](char kind, std::uint64_t, std::uint32_t, bool main) {
				if (main && kind != 'I')
					n[kind == 'S']++;
			};
			run.all(count);
			std::printf("%lu %lu\n", (unsigned long)n[0], (unsigned long)n[1]);
		} else {
			drop_fetches(m);
			// Geometries of one set count and line size share a Sim.
			std::map<std::pair<std::uint64_t, unsigned>, std::vector<unsigned>> ways;
			std::vector<std::pair<std::uint64_t, unsigned>> shape;
			std::vector<std::size_t> member;
			for (int i = 5; i < argc; i++) {
				unsigned long size, assoc, line;
				if (std::sscanf(argv[i], "%lu,%lu,%lu", &size, &assoc, &line) != 3)
					throw std::runtime_error(std::string("bad geometry ") + argv[i]);
				shape.push_back({size / line / assoc, unsigned(line)});
				member.push_back(ways[shape.back()].size());
				ways[shape.back()].push_back(assoc);
			}
			std::vector<Sim> sims;
			std::map<std::pair<std::uint64_t, unsigned>, std::size_t> sim_of;
			for (const auto &[key, w] : ways) {
				sim_of[key] = sims.size();
				sims.emplace_back(key.first, key.second, w);
			}
			// The Sims in turn, on two threads.
			std::atomic<std::size_t> next{0};
			auto work = [&] {
				for (std::size_t g; (g = next++) < sims.size();)
					misses(m, passes, shift, sims[g]);
			};
			std::thread other(work);
			work();
			other.join();
			for (std::size_t i = 0; i < shape.size(); i++) {
				const Misses &n = sims[sim_of[shape[i]]].n[member[i]];
				std::printf("%lu %lu %lu %lu\n", (unsigned long)n.main_reads,
					    (unsigned long)n.main_writes,
					    (unsigned long)n.trace_reads,
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
