#include "report.h"

#include <map>

namespace {

// A record that may miss, as the loop replays it: array reads, whose
// address is known only at run time; calls out of main; and the rest, but
// for those that touch the line last touched in their set, since nothing
// unknown happened, which are hits that change nothing.
struct Op {
	// For an access within one line of a known address: where its set
	// keeps its most recent line, and that line.  Where the two are the
	// same it is a hit that changes nothing.
	const std::uint64_t *mru;
	std::uint64_t line;
	std::uint64_t addr;
	Lru *l1;
	std::uint32_t size, fn;
	int array; // the array read, or -1
	Event event;
	bool call;
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
			out.ops.push_back({nullptr, 0, 0, nullptr, 0, 0, -1, IR, true});
			mru[0].clear();
			mru[1].clear();
			continue;
		}
		Event e = Hierarchy::event(r.kind);
		events[r.fn][e]++;
		int which = r.kind == 'I';
		Lru &c = h.cache(r.kind);
		std::uint32_t size = r.kind == 'I' ? r.size : std::min(r.size, 16u);
		if (r.flags & ARRAY) {
			out.ops.push_back({nullptr, 0, 0, &c, size, r.fn, int(r.addr), e, false});
			mru[which].clear();
			continue;
		}
		std::uint64_t addr = r.flags & STACK ? r.addr - std::uint64_t(shift) : r.addr;
		Op op{nullptr, 0, addr, &c, size, r.fn, -1, e, false};
		std::uint64_t first = addr >> c.line_bits(), last = (addr + size - 1) >> c.line_bits();
		if (first != last) {
			out.ops.push_back(op);
			mru[which].clear();
			continue;
		}
		auto [at, fresh] = mru[which].try_emplace(c.set_of(first), first);
		op.mru = c.mru(c.set_of(first));
		op.line = first;
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
			if (op.mru) {
				if (*op.mru != op.line)
					h.access(*op.l1, op.event, op.addr, op.size, op.fn);
			} else if (op.call) {
				replay(calls[run.next_call()], i);
			} else {
				h.access(*op.l1, op.event, op.array < 0 ? op.addr : run.address(op.array, i),
					 op.size, op.fn);
			}
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
	all_passes(m, passes, run, h, [&](const Hierarchy &before, std::uint64_t times) {
		for (std::size_t f = 0; f < h.cost.size(); f++)
			for (int e = 0; e < EVENTS; e++)
				h.cost[f][e] += (h.cost[f][e] - before.cost[f][e]) * times;
	});
}
