#include "report.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// A record that may miss, as the loop replays it: array reads, whose
// address is known only at run time, and the rest, but for those that
// touch the line last touched in their set since a call or array read,
// which are hits that change nothing.
struct Op {
	// A hit that changes nothing where *mru == tag: where its set keeps
	// its most recent line's tag, and its line's; for an array read or an
	// access that spans two lines, a place that never holds tag.
	const std::uint64_t *mru;
	std::uint64_t tag;
	std::uint64_t addr, scale; // its address: addr + scale * the step's index
	Lru *l1;
	std::uint32_t size, fn;
	Event event;
};

// A segment for one hierarchy: its ops between its calls, and the events of
// all its records, per function.
struct Compiled {
	std::vector<std::vector<Op>> parts; // a call between each two
	std::vector<std::pair<std::uint32_t, Cost>> events;
};

const std::uint64_t no_line = 0; // no line's tag

Compiled compile(const Segment &seg, const Run &run, std::int64_t shift, Hierarchy &h,
		 bool fetches)
{
	Compiled out;
	out.parts.emplace_back();
	std::map<std::uint32_t, Cost> events;
	std::map<std::uint64_t, std::uint64_t> mru[2]; // per cache, set -> line
	for (const Rec &r : seg) {
		if (r.flags & CALL) {
			out.parts.emplace_back();
			mru[0].clear();
			mru[1].clear();
			continue;
		}
		Event e = Hierarchy::event(r.kind);
		events[r.fn][e]++;
		if (r.kind == 'I' && !fetches)
			continue;
		auto &known = mru[r.kind == 'I'];
		Lru &c = h.cache(r.kind);
				Op op{&no_line, 1, place(r, shift), 0, &c, r.size, r.fn, e};
		if (r.flags & ARRAY) {
			op.addr = run.address(int(r.addr), 0);
			op.scale = ELEM;
			out.parts.back().push_back(op);
			known.clear();
			continue;
		}
		std::uint64_t first = op.addr >> c.line_bits();
		if (first != (op.addr + r.size - 1) >> c.line_bits()) {
			out.parts.back().push_back(op);
			known.clear();
			continue;
		}
		auto [at, fresh] = known.try_emplace(c.set_of(first), first);
		op.mru = c.mru(c.set_of(first));
		op.tag = Lru::tag(first);
		if (fresh || at->second != first)
			out.parts.back().push_back(op);
		at->second = first;
	}
	out.events.assign(events.begin(), events.end());
	return out;
}

// The loop's segments compiled for a hierarchy, with or without their
// instruction fetches.
struct Segments {
	Segments(const Model &m, const Run &run, std::int64_t shift, Hierarchy &h, bool fetches)
	    : body(compile(m.body, run, shift, h, fetches)),
	      boundary(compile(m.boundary, run, shift, h, fetches))
	{
		for (const Segment &seg : m.calls)
			calls.push_back(compile(seg, run, shift, h, fetches));
	}
	Compiled body, boundary;
	std::vector<Compiled> calls;
};

// Only fetches touch I1, and the loop fetches the same few lines again and
// again.  Once I1 holds them all, every fetch of the loop hits, for none
// can put out another: the loop then runs without its fetches but
// for their counts, until one pass and a step before its end.  That stretch
// fetches every line of the loop, which leaves them in I1 in the order of
// their last fetch, above the lines that the loop never fetches, in their
// order, as a run of every fetch would.
class Fetches {
      public:
	Fetches(const Model &m, int passes, std::int64_t shift, const Hierarchy &h)
	    : steps(m.steps)
	{
		const Lru &i1 = h.i1_cache();
		std::set<std::uint64_t> seen;
		std::vector<const Segment *> loop = {&m.boundary};
		if (m.steps > 1)
			loop.push_back(&m.body);
		for (const Segment &seg : m.calls)
			loop.push_back(&seg);
		for (const Segment *seg : loop)
			for (const Rec &r : *seg) {
				if (r.kind != 'I')
					continue;
				std::uint64_t a = place(r, shift);
				for (std::uint64_t l = a >> i1.line_bits(); l <= (a + r.size - 1) >> i1.line_bits();
				     l++)
					seen.insert(l);
			}
		lines.assign(seen.begin(), seen.end());
		// The stretch from the boundary step before the last pass to the
		// run's last step makes every call of one period.
		auto calls = [](const Segment &seg) {
			return std::count_if(seg.begin(), seg.end(),
					     [](const Rec &r) { return r.flags & CALL; });
		};
		for (const Segment &seg : m.calls)
			if (calls(seg))
				return;
		long made = calls(m.boundary) + (m.steps - 1) * calls(m.body);
		if (passes >= 3 && made >= long(m.calls.size()))
			resume = long(passes - 1) * m.steps - 1;
	}

	// Whether step t runs without fetches.
	bool skipped(long t, const Hierarchy &h)
	{
		if (t >= resume)
			return false;
		if (!skipping && t % steps == 0 && t > 0 &&
		    std::all_of(lines.begin(), lines.end(),
				[&](std::uint64_t l) { return h.i1_cache().holds(l); }))
			skipping = true;
		return skipping;
	}

      private:
	long steps;                       // in a pass
	std::vector<std::uint64_t> lines; // every line the loop fetches
	long resume = -1;                 // where fetches are run again
	bool skipping = false;
};

class Steps {
      public:
	Steps(const Model &m, int passes, std::int64_t shift, Hierarchy &h)
	    : run(m, passes, shift), h(h), all(m, run, shift, h, true),
	      data(m, run, shift, h, false), fetches(m, passes, shift, h)
	{
		run.head(h);
	}

	bool periodic() const { return run.periodic(); }

	void step(long t)
	{
		if (run.last(t))
			return run.step(t, h);
		long i = run.index(t);
		now = !periodic() && fetches.skipped(t, h) ? &data : &all;
		replay(run.ends_pass(t) ? now->boundary : now->body, i);
	}

      private:
	Run run;
	Hierarchy &h;
	Segments all, data; // data: without the fetches
	Segments *now = &all;
	Fetches fetches;

	void replay(const Compiled &seg, long i)
	{
		for (std::size_t k = 0; k < seg.parts.size(); k++) {
			if (k)
				replay(now->calls[run.next_call()], i);
			for (const Op &op : seg.parts[k])
				if (*op.mru != op.tag)
					h.access(*op.l1, op.event, op.addr + op.scale * std::uint64_t(i),
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
	all_passes(m, passes, run, h, [&](const Hierarchy &before, std::uint64_t times) {
		for (std::size_t f = 0; f < h.cost.size(); f++)
			for (int e = 0; e < EVENTS; e++)
				h.cost[f][e] += (h.cost[f][e] - before.cost[f][e]) * times;
	});
}
