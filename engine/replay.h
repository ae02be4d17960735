// The one replay of a model's run: every count (main's D1 misses, the
// whole report) is a run of the records through a count, made faster here
// in the same ways for all.
//
// The head and the run's last step go through the count record by record.
// The loop's steps go through their segments, compiled for the count's
// caches: an address for each record (addr + scale * the step's index),
// the touches that cannot change a cache left out, and where the count's
// policy keeps the line touched last at a set's front, a check of that
// front that skips a touch that would change nothing.  Where every pass
// makes the same records from the same state, the passes run only until
// one leaves the count as it found it; the rest are multiplied out.
//
// A count provides:
//   void operator()(char kind, uint64_t addr, uint32_t size, bool main,
//                   uint32_t place)        a record in full
//   static constexpr bool FETCHES          whether it simulates fetches
//   static constexpr bool FRONT_IS_LAST    whether its first caches keep
//                                          the line touched last at a
//                                          set's front (as LRU does)
//   unsigned line_bits(char kind)          of the first cache a record of
//   uint64_t set_of(char kind, uint64_t line)   that kind touches
//   Front front(char kind, uint64_t line, bool write)
//       a place whose value, masked, is the given tag only while the
//       access would change nothing; at nullptr where the count has none
//   bool repeat_is_quiet(char kind, bool read, bool written)
//                                          whether an access to the line
//                                          last touched in its set changes
//                                          nothing, where its touches since
//                                          the set's last of another line
//                                          read and wrote so
//   static constexpr bool QUIET_HITS       whether a hit on any line of
//                                          a set changes nothing (but a
//                                          write-back write to a clean
//                                          line); then
//   const uint64_t *holder(char kind, uint64_t line)  the word that holds
//                                          line as front() holds it, or
//                                          nullptr
//   void access(const Op &op, uint64_t addr)  an op's touches, but not its
//                                             events
//   void add(uint32_t place, const Cost &c)   events of compiled records
//   void accesses(uint64_t reads, uint64_t writes)  the din trace's
//                                          accesses of compiled records, a
//                                          modify both
//   bool holds_fetched(uint64_t line)      (with FETCHES) whether I1 holds
//                                          a line
//   bool same_state(const Count &before)   the caches as before
//   void repeat(const Count &before, uint64_t times)  adds what was
//                                          counted since before, times over
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "cache.h"
#include "model.h"

// cachegrind's events, in the order it writes them.
enum Event { IR, I1MR, ILMR, DR, D1MR, DLMR, DW, D1MW, DLMW, EVENTS };
constexpr const char *EVENT_NAMES[EVENTS] = {"Ir", "I1mr", "ILmr", "Dr", "D1mr",
					     "DLmr", "Dw", "D1mw", "DLmw"};
using Cost = std::array<std::uint64_t, EVENTS>;

// The event a record makes: a fetch, a read (a modify counts as one) or a
// write.
inline Event event(char kind) { return kind == 'I' ? IR : kind == 'S' ? DW : DR; }

// The din trace's accesses of a data record: a modify is a read, then a
// write.
inline bool din_reads(char kind) { return kind == 'L' || kind == 'M'; }
inline bool din_writes(char kind) { return kind == 'S' || kind == 'M'; }

// Where an access changes nothing: while *at & mask == tag.
struct Front {
	const std::uint64_t *at;
	std::uint64_t tag, mask;
};

// A record that may change a cache, as the loop replays it.
struct Op {
	const std::uint64_t *front; // the touch changes nothing where
	std::uint64_t tag, mask;    // *front & mask == tag
	std::uint64_t addr, scale; // its address: addr + scale * the step's index
	std::uint32_t size, place;
	char kind;
	bool main;
	// Where a hit anywhere changes nothing: the word that held the op's
	// line last as the ops of that line found it, where front is the word
	// that held it last as this op found it; else nullptr.
	const std::uint64_t **held = nullptr;
};

namespace replay_detail {

const std::uint64_t no_line = 0; // no line's tag

// Where a hit anywhere changes nothing (QUIET_HITS), an access to a line
// changes nothing while the way that held the line last holds it still:
// per line of the ops of one line, that way's word, shared by its ops, so
// that one op's access leads the others there.
class Held {
      public:
	Held() = default;
	Held(const Held &) = delete; // the ops point into it
	Held &operator=(const Held &) = delete;

	const std::uint64_t **of(std::uint64_t line, const std::uint64_t *front)
	{
		auto [at, fresh] = index.try_emplace(line, words.size());
		if (fresh)
			words.push_back(front);
		return &words[at->second];
	}

      private:
	std::map<std::uint64_t, std::size_t> index;
	std::deque<const std::uint64_t *, LineAllocator<const std::uint64_t *>> words;
};

// A segment for one count: its ops between its calls, and the events of
// all its records, per place.
struct Compiled {
	std::vector<Lines<Op>> parts; // a call between each two; ops written where hits are quiet
	std::vector<std::pair<std::uint32_t, Cost>> events;
	std::uint64_t reads = 0, writes = 0; // the din trace's
};

// A record whose set was last touched by its own line since a call or an
// array read is a hit at the set's front, which changes nothing where the
// count says so of the touches of that line since: it is left out.
template <class Count>
Compiled compile(const Segment &seg, const Run &run, std::int64_t shift, const Count &count,
		 bool fetches, Held &held)
{
	struct Touches { // of the line a set touched last, since it first did
		std::uint64_t line;
		bool read, written;
	};
	Compiled out;
	out.parts.emplace_back();
	std::map<std::uint32_t, Cost> events;
	std::map<std::uint64_t, Touches> known[2]; // per first cache, by set
	for (const Rec &r : seg) {
		if (r.flags & CALL) {
			out.parts.emplace_back();
			known[0].clear();
			known[1].clear();
			continue;
		}
		events[r.fn][event(r.kind)]++;
		out.reads += din_reads(r.kind);
		out.writes += din_writes(r.kind);
		if (r.kind == 'I' && !fetches)
			continue;
		auto &seen = known[r.kind == 'I'];
		Op op{&no_line, 1, ~std::uint64_t(0), place(r, shift), 0, r.size, r.fn, r.kind,
		      (r.flags & MAIN) != 0};
		if (r.flags & ARRAY) {
			op.addr = run.address(int(r.addr), 0);
			op.scale = ELEM;
			out.parts.back().push_back(op);
			seen.clear();
			continue;
		}
		Span s = span(op.addr, r.size, count.line_bits(r.kind));
		if (s.straddles()) {
			out.parts.back().push_back(op);
			seen.clear();
			continue;
		}
		if (Front f = count.front(r.kind, s.first, din_writes(r.kind)); f.at) {
			op.front = f.at;
			op.tag = f.tag;
			op.mask = f.mask;
			if constexpr (Count::QUIET_HITS)
				op.held = held.of(s.first, f.at);
		}
		auto [at, fresh] = seen.try_emplace(count.set_of(r.kind, s.first), Touches{s.first, false, false});
		Touches &since = at->second;
		bool again = !fresh && since.line == s.first;
		if (!again)
			since = {s.first, false, false};
		if (!again || !count.repeat_is_quiet(r.kind, since.read, since.written))
			out.parts.back().push_back(op);
		since.read |= din_reads(r.kind);
		since.written |= din_writes(r.kind);
	}
	out.events.assign(events.begin(), events.end());
	return out;
}

// The loop's segments compiled for a count, with or without their fetches.
struct Segments {
	template <class Count>
	Segments(const Model &m, const Run &run, std::int64_t shift, const Count &count, bool fetches)
	    : body(compile(m.body, run, shift, count, fetches, held)),
	      boundary(compile(m.boundary, run, shift, count, fetches, held))
	{
		for (const Segment &seg : m.calls)
			calls.push_back(compile(seg, run, shift, count, fetches, held));
	}
	Held held; // before the segments, whose ops point into it
	Compiled body, boundary;
	std::vector<Compiled> calls;
};

// Only fetches touch I1, and the loop fetches the same few lines again and
// again.  Once I1 holds them all, every fetch of the loop hits, for none
// can put out another: the loop then runs without its fetches but for
// their counts, until one pass and a step before its end.  That stretch
// fetches every line of the loop, which leaves them in I1 in the order of
// their last fetch, above the lines that the loop never fetches, in their
// order, as a run of every fetch would.  (So under LRU, whose order that
// is; the replay runs every fetch for other policies.)
class Fetches {
      public:
	template <class Count>
	Fetches(const Model &m, int passes, std::int64_t shift, const Count &count)
	    : steps(m.steps)
	{
		if constexpr (!Count::FETCHES || !Count::FRONT_IS_LAST)
			return;
		unsigned bits = count.line_bits('I');
		std::set<std::uint64_t> seen;
		std::vector<const Segment *> loop = {&m.boundary};
		if (m.steps > 1)
			loop.push_back(&m.body);
		for (const Segment &seg : m.calls)
			loop.push_back(&seg);
		for (const Segment *seg : loop)
			for (const Rec &r : *seg)
				if (r.kind == 'I') {
					Span s = span(place(r, shift), r.size, bits);
					for (std::uint64_t l = s.first; l <= s.last; l++)
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
	template <class Count> bool skipped(long t, const Count &count)
	{
		if constexpr (!Count::FETCHES) {
			return false;
		} else {
			if (t >= resume)
				return false;
			if (!skipping && t % steps == 0 && t > 0 &&
			    std::all_of(lines.begin(), lines.end(),
					[&](std::uint64_t l) { return count.holds_fetched(l); }))
				skipping = true;
			return skipping;
		}
	}

      private:
	long steps;                       // in a pass
	std::vector<std::uint64_t> lines; // every line the loop fetches
	long resume = -1;                 // where fetches are run again
	bool skipping = false;
};

template <class Count> class Steps {
      public:
	Steps(const Model &m, int passes, std::int64_t shift, Count &count)
	    : run(m, passes, shift), count(count), all(m, run, shift, count, Count::FETCHES),
	      fetches(m, passes, shift, count)
	{
		if constexpr (Count::FETCHES)
			data.emplace(m, run, shift, count, false);
		run.head(count);
	}

	bool periodic() const { return run.periodic(); }

	void step(long t)
	{
		if (run.last(t))
			return run.step(t, count);
		now = !periodic() && fetches.skipped(t, count) ? &*data : &all;
		replay(run.ends_pass(t) ? now->boundary : now->body, run.index(t));
	}

      private:
	Run run;
	Count &count;
	Segments all;
	std::optional<Segments> data; // without the fetches, for counts that have them
	Segments *now = &all;
	Fetches fetches;

	// An op that may change the count.  One of one line, where a hit
	// anywhere changes nothing, looks first where another op of the line
	// found it since, and then notes where its line is.
	[[gnu::always_inline]] void access(Op &op, long i)
	{
		if constexpr (Count::QUIET_HITS) {
			if (op.held) {
				if ((**op.held & op.mask) == op.tag) {
					op.front = *op.held;
					return;
				}
				count.access(op, op.addr);
				const std::uint64_t *at = count.holder(op.kind, op.addr >> count.line_bits(op.kind));
				*op.held = op.front = at ? at : &no_line;
				return;
			}
		}
		count.access(op, op.addr + op.scale * std::uint64_t(i));
	}

	void replay(Compiled &seg, long i)
	{
		for (std::size_t k = 0; k < seg.parts.size(); k++) {
			if (k)
				replay(now->calls[run.next_call()], i);
			for (Op &op : seg.parts[k])
				if ((*op.front & op.mask) != op.tag)
					access(op, i);
		}
		for (const auto &[place, c] : seg.events)
			count.add(place, c);
		count.accesses(seg.reads, seg.writes);
	}
};

} // namespace replay_detail

// Runs the passes of a model with the stack shift bytes lower through
// count, as every record through it in turn would.  Where every pass makes
// the same records from the same state, a pass that starts from the state
// that another started from k passes before will repeat those k passes:
// whole periods of them are multiplied out, and only the passes left over
// and the last, which ends the run, are run.
//
// Each pass's state is compared with those of the last SHORT passes, which
// finds a short period as soon as it starts; and with the states of pass 0
// and of every pass whose number is a power of two, kept as they leave
// those SHORT, which finds a period of any length once it has run one whole
// period from the first such pass at or after its start (a ruler of
// Brent's marks).  FIFO, whose sets come round again only when each has
// filled a multiple of its ways, has periods of dozens of passes from its
// first.
template <class Count> void replay(const Model &m, int passes, std::int64_t shift, Count &count)
{
	constexpr int SHORT = 32; // passes
	replay_detail::Steps<Count> steps(m, passes, shift, count);
	auto pass = [&](int p) {
		for (long s = 0; s < m.steps; s++)
			steps.step(long(p) * m.steps + s);
	};
	std::vector<Count> seen; // the state at the start of pass p, at p % SHORT
	std::vector<std::pair<int, Count>> marks; // at the start of passes 0, 1, 2, 4, ...
	int p = 0;
	for (; p < passes - 1 && steps.periodic(); p++) {
		const Count *before = nullptr;
		int period = 0;
		for (int k = 1; k <= std::min(p, SHORT) && !before; k++)
			if (count.same_state(seen[(p - k) % SHORT]))
				before = &seen[(p - (period = k)) % SHORT];
		for (std::size_t k = 0; k < marks.size() && !before; k++)
			if (count.same_state(marks[k].second))
				before = &marks[k].second, period = p - marks[k].first;
		if (before) {
			int left = passes - 1 - p;
			count.repeat(*before, std::uint64_t(left / period));
			p = passes - 1 - left % period;
			break;
		}
		if (int(seen.size()) < SHORT) {
			seen.push_back(count);
		} else {
			// The state of pass p - SHORT leaves; a power of two's is kept.
			if (int q = p - SHORT; (q & (q - 1)) == 0)
				marks.emplace_back(q, seen[p % SHORT]);
			seen[p % SHORT] = count;
		}
		pass(p);
	}
	for (; p < passes; p++)
		pass(p);
}
