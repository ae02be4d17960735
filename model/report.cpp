#include "report.h"

#include <map>

namespace {

// A record that may miss, as the loop replays it: array reads, whose
// address is known only at run time; calls out of main; and the rest, but
// for those that touch the line last touched in their set, since nothing
// unknown happened, which are hits that change nothing.
struct Op {
	std::uint64_t addr;
	std::uint32_t size, fn;
	char kind;
	int array; // the array read, or -1
	bool call;
	// For an access within one line of a known address: that line and its
	// set.  Where it is its set's most recent line it is a hit that
	// changes nothing.
	bool known;
	std::uint64_t line, set;
};

// A segment for one hierarchy: its ops, and the events of all its records,
// per function.
struct Compiled {
	std::vector<Op> ops;
	std::vector<std::pair<std::uint32_t, Cost>> events;
};

Compiled compile(const Segment &seg, std::int64_t shift, Hierarchy &h)
{
	Compiled out;
	std::map<std::uint32_t, Cost> events;
	std::map<std::uint64_t, std::uint64_t> mru[2]; // per cache, set -> line
	for (const Rec &r : seg) {
		if (r.flags & CALL) {
			out.ops.push_back({0, 0, 0, 'C', -1, true, false, 0, 0});
			mru[0].clear();
			mru[1].clear();
			continue;
		}
		events[r.fn][Hierarchy::event(r.kind)]++;
		int which = r.kind == 'I';
		if (r.flags & ARRAY) {
			out.ops.push_back({0, r.size, r.fn, r.kind, int(r.addr), false, false, 0, 0});
			mru[which].clear();
			continue;
		}
		Op op{r.flags & STACK ? r.addr - std::uint64_t(shift) : r.addr, r.size, r.fn,
		      r.kind, -1, false, false, 0, 0};
		Lru &c = h.cache(r.kind);
		std::uint32_t size = r.kind == 'I' ? r.size : std::min(r.size, 16u);
		std::uint64_t first = op.addr >> c.line_bits(), last = (op.addr + size - 1) >> c.line_bits();
		if (first != last) {
			out.ops.push_back(op);
			mru[which].clear();
			continue;
		}
		auto [at, fresh] = mru[which].try_emplace(c.set_of(first), first);
		op.known = true;
		op.line = first;
		op.set = c.set_of(first);
		if (fresh || at->second != first)
			out.ops.push_back(op);
		at->second = first;
	}
	out.events.assign(events.begin(), events.end());
	return out;
}

class Steps {
      public:
	Steps(const Model &m, int passes, std::int64_t shift, Hierarchy &h)
	    : run(m, passes, shift), h(h), body(compile(m.body, shift, h)),
	      boundary(compile(m.boundary, shift, h))
	{
		for (const Segment &seg : m.calls)
			calls.push_back(compile(seg, shift, h));
		run.head(h);
	}

	bool periodic() const { return run.periodic(); }

	void step(long t)
	{
		if (run.last(t))
			return run.step(t, h);
		long i = run.index(t);
		replay(run.ends_pass(t) ? boundary : body, i);
	}

      private:
	Run run;
	Hierarchy &h;
	Compiled body, boundary;
	std::vector<Compiled> calls;

	void replay(const Compiled &seg, long i)
	{
		for (const Op &op : seg.ops) {
			if (op.call)
				replay(calls[run.next_call()], i);
			else if (!op.known || h.cache(op.kind).mru(op.set) != op.line)
				h.access(op.kind, op.array < 0 ? op.addr : run.address(op.array, i),
					 op.size, op.fn);
		}
		for (const auto &[fn, c] : seg.events)
			for (int e : {IR, DR, DW})
				h.cost[fn][e] += c[e];
	}
};

} // namespace

void report(const Model &m, int passes, std::int64_t shift, Hierarchy &h)
{
	Steps run(m, passes, shift, h);
	auto pass = [&](int p) {
		for (long s = 0; s < m.steps; s++)
			run.step(long(p) * m.steps + s);
	};
	int p = 0;
	for (Hierarchy before = h; p < passes - 1; p++) {
		if (run.periodic()) {
			if (p > 0 && h.same_state(before)) {
				for (std::size_t f = 0; f < h.cost.size(); f++)
					for (int e = 0; e < EVENTS; e++)
						h.cost[f][e] += (h.cost[f][e] - before.cost[f][e]) *
								std::uint64_t(passes - 1 - p);
				break;
			}
			before = h;
		}
		pass(p);
	}
	pass(passes - 1);
}
