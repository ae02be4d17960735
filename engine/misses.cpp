#include "misses.h"

#include <map>

namespace {

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
bool compile(const Segment &seg, unsigned bits, std::uint64_t sets, std::int64_t shift, Ops &out)
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
		std::uint64_t a = place(r, shift);
		op.line = a >> bits;
		if ((a + r.size - 1) >> bits != op.line)
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
	Steps(const Model &m, int passes, std::int64_t shift, Sim &sim)
	    : run(m, passes, shift), sim(sim), bits(sim.line_bits()), arrays(m.arrays),
	      calls(m.calls.size())
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
		std::uint64_t lines[MAX_ARRAYS];
		long i = run.index(t);
		for (int j = 0; j < arrays; j++)
			lines[j] = run.address(j, i) >> bits;
		// Array reads, fixed places and calls each touch the cache from
		// a call site of their own, whose branches then learn their
		// own habits: the fixed places mostly hit the most recent line.
		for (const Op &op : run.ends_pass(t) ? boundary : body) {
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
	int arrays;
	bool fast;
	Ops body, boundary;
	std::vector<Ops> calls;
};

} // namespace

void misses(const Model &m, int passes, std::int64_t shift, Sim &sim)
{
	Steps run(m, passes, shift, sim);
	all_passes(m, passes, run, sim, [&](const Sim &before, std::uint64_t times) {
		for (std::size_t g = 0; g < sim.n.size(); g++)
			sim.n[g] += (sim.n[g] - before.n[g]) * times;
	});
}
