// The din trace's figures under the conventions simulators are taught and
// tested with: a replacement policy (replacement.h), write-back or
// write-through, and the three kinds of miss.
//
// Each din record is one access to the line that holds its address (a
// modify is a read, then a write); the cache starts empty.
//   write-back: writes allocate; a written line is dirty, and putting out a
//     dirty line is one write-back.  Lines still dirty at the end are not
//     write-backs, but are counted.
//   write-through: writes do not allocate: a write miss leaves the cache as
//     it was, a write hit is a use, and every write goes to memory.
//   kinds (Hill's): compulsory, the lines ever touched; capacity, the
//     misses of a fully associative LRU cache of as many lines, less the
//     compulsory ones; conflict, the misses less both (negative, it may
//     be, under LRU too: a set can keep a line that the fully associative
//     cache has put out).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fully_associative.h"
#include "model.h"
#include "policy_cache.h"
#include "replay.h"

// The figures of a din trace in one cache, in the order they are printed.
enum Figure {
	READS, WRITES, READ_MISSES, WRITE_MISSES, EVICTIONS, WRITEBACKS,
	FULL_MISSES, // of a fully associative LRU cache of as many lines
	COMPULSORY,  // lines touched
	FIGURES
};
using Figures = std::array<std::uint64_t, FIGURES>;

// Whether an access to the line its set touched last changes nothing,
// where that line's touches since its set's last of another read (read)
// and wrote (written); a modify as a write.  The line is there after a
// read, or after any touch where writes allocate; then a read changes
// nothing, nor a write to a dirty line or where writes go through.
inline bool quiet_repeat(bool write_back, bool write, bool read, bool written)
{
	return (write_back || read) && (!write || !write_back || written);
}

// One pass's accesses, each a line's number times two, plus one for a
// write, less those that follow an access of their set to the same line
// and change nothing: a hit on the line the set used last (but a
// write-back write to a clean line).  Written back, every access leaves
// its line there, and one written in the run of accesses to that line is
// dirty; written through, a write that misses leaves nothing, so the line
// is there only after a read in the run.
class PassBySets {
      public:
	PassBySets(std::uint64_t sets, bool write_back) : mask(sets - 1), write_back(write_back), runs(sets)
	{
	}

	void add(std::uint64_t line, bool write)
	{
		std::uint64_t *run = runs.at(line & mask);
		bool same = *run >> 2 == line + 1, read = same && (*run & 2), written = same && (*run & 1);
		bool quiet = same && quiet_repeat(write_back, write, read, written);
		*run = (line + 1) << 2 | std::uint64_t(read || !write) << 1 | std::uint64_t(written || write);
		if (!quiet)
			accesses.push_back(line << 1 | write);
	}

	// An access's line, and whether it writes.
	static std::uint64_t line_of(std::uint64_t access) { return access >> 1; }
	static bool writes(std::uint64_t access) { return access & 1; }

	// each(s, first, end) for each set s that the pass touched, with the
	// accesses kept of it, in order.
	template <class Each> void each_set(Each each)
	{
		auto set = [&](std::uint64_t access) { return line_of(access) & mask; };
		std::stable_sort(accesses.begin(), accesses.end(),
				 [&](std::uint64_t a, std::uint64_t b) { return set(a) < set(b); });
		const std::uint64_t *all = accesses.data();
		for (std::size_t first = 0, end; first < accesses.size(); first = end) {
			for (end = first; end < accesses.size() && set(all[end]) == set(all[first]);)
				end++;
			each(set(all[first]), all + first, all + end);
		}
	}

      private:
	std::uint64_t mask; // the sets less one
	bool write_back;
	// Per set, the run of its accesses to one line so far: the line plus
	// one, shifted left by two, then whether it read and whether it wrote.
	Tags runs;
	std::vector<std::uint64_t> accesses;
};

// The din trace's accesses of a record: a line's, read or written, a
// modify both.
template <class Access>
[[gnu::always_inline]] inline void din_accesses(char kind, std::uint64_t line, Access access)
{
	if (din_reads(kind))
		access(line, false);
	if (din_writes(kind))
		access(line, true);
}

// The kinds' fully associative cache over the din trace, counted through
// the replay: its misses and the lines touched first (FULL_MISSES and
// COMPULSORY of its figures).  A count apart from the cache counted, so
// that the two can run side by side.
class alignas(HOST_LINE) FullCount {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = false;
	static constexpr bool QUIET_HITS = false;

	FullCount(CacheShape shape, bool write_back)
	    : full(shape.sets * shape.assoc, write_back), allocate_writes(write_back),
	      bits(offset_bits(shape.line))
	{
	}

	// What the replay asks of a count.
	void operator()(char kind, std::uint64_t addr, std::uint32_t, bool, std::uint32_t = 0)
	{
		touches(kind, addr);
	}
	unsigned line_bits(char) const { return bits; }
	std::uint64_t set_of(char, std::uint64_t line) const { return line; }
	// Touching the line touched last, while it is held, changes nothing.
	Front front(char, std::uint64_t line, bool) const { return {&last, line + 1, ~std::uint64_t(0)}; }
	bool repeat_is_quiet(char, bool, bool) const { return false; } // its sets are lines
	[[gnu::always_inline]] void access(const Op &op, std::uint64_t addr) { touches(op.kind, addr); }
	void add(std::uint32_t, const Cost &) {}
	void accesses(std::uint64_t, std::uint64_t) {}
	bool same_state(const FullCount &o) const { return full == o.full; }
	void repeat(const FullCount &before, std::uint64_t times)
	{
		for (Figure k : {FULL_MISSES, COMPULSORY})
			n[k] += (n[k] - before.n[k]) * times;
	}

	Figures n{}; // only FULL_MISSES and COMPULSORY counted

      private:
	FullyAssociative full;
	bool allocate_writes;
	unsigned bits = 0;
	std::uint64_t last = 0; // the line touched last, plus one, where held; else 0

	[[gnu::always_inline]] void touches(char kind, std::uint64_t addr)
	{
		din_accesses(kind, addr >> bits,
			     [this](std::uint64_t line, bool write) __attribute__((always_inline)) {
				     FullyAssociative::Touch t = full.touch(line, write);
				     n[FULL_MISSES] += t.miss;
				     n[COMPULSORY] += t.first;
				     last = t.miss && write && !allocate_writes ? 0 : line + 1;
			     });
	}
};

// The figures of one cache over the din trace, counted through the replay.
template <class Replacement> class alignas(HOST_LINE) TraceCount {
      public:
	static constexpr bool FETCHES = false;
	static constexpr bool FRONT_IS_LAST = false;
	static constexpr bool QUIET_HITS = Replacement::QUIET_HITS;

	TraceCount(CacheShape shape, PolicyOptions options) : cache(shape, options) {}

	// A record in full: the din trace's accesses, counted and made.
	void operator()(char kind, std::uint64_t addr, std::uint32_t, bool, std::uint32_t = 0)
	{
		accesses(din_reads(kind), din_writes(kind));
		touches(kind, addr);
	}

	// What the replay asks of a count.
	unsigned line_bits(char) const { return cache.line_bits(); }
	std::uint64_t set_of(char, std::uint64_t line) const { return cache.set_of(line); }
	// A hit on the line its set used last changes nothing, but a
	// write-back write to a clean one.
	Front front(char, std::uint64_t line, bool write) const { return cache.front(line, write); }
	const std::uint64_t *holder(char, std::uint64_t line) const { return cache.holder(line); }
	bool repeat_is_quiet(char kind, bool read, bool written) const
	{
		return quiet_repeat(cache.write_back(), din_writes(kind), read, written);
	}
	[[gnu::always_inline]] void access(const Op &op, std::uint64_t addr) { touches(op.kind, addr); }
	void add(std::uint32_t, const Cost &) {}
	void accesses(std::uint64_t reads, std::uint64_t writes)
	{
		n[READS] += reads;
		n[WRITES] += writes;
	}
	bool same_state(const TraceCount &o) const { return cache == o.cache; }
	void repeat(const TraceCount &before, std::uint64_t times)
	{
		for (int k = 0; k < FIGURES; k++)
			n[k] += (n[k] - before.n[k]) * times;
	}

	std::uint64_t dirty_lines() const { return cache.dirty_lines(); }

	// Whether each set's figures are the doing of its own accesses alone:
	// not with a generator that all sets draw from, nor where each access
	// is told.
	bool sets_apart() const { return Replacement::SETS_APART && !told; }

	std::uint64_t sets() const { return cache.sets(); }
	bool write_back() const { return cache.write_back(); }

	// One set's accesses of a pass (PassBySets), from first to end, made
	// passes times from the set's state now, where sets_apart(): until
	// that state comes round, and then whole periods multiplied out.  A
	// set comes round within a few passes where the whole cache, whose
	// period is the least common multiple of its sets', can take more
	// passes than the run has.
	void run_set(std::uint64_t s, const std::uint64_t *first, const std::uint64_t *end, int passes)
	{
		auto pass = [&] {
			for (const std::uint64_t *a = first; a != end; a++)
				touch(PassBySets::line_of(*a), PassBySets::writes(*a));
		};
		struct Hash {
			std::size_t operator()(const std::vector<std::uint64_t> &v) const
			{
				std::uint64_t h = 0;
				for (std::uint64_t w : v)
					h = mixed(h ^ w);
				return std::size_t(h);
			}
		};
		std::unordered_map<std::vector<std::uint64_t>, int, Hash> seen; // a state's first pass
		std::vector<Figures> at;					// at each pass's start
		for (int p = 0; p < passes; p++) {
			auto [state, fresh] = seen.try_emplace(cache.set_state(s), p);
			if (!fresh) {
				int then = state->second, period = p - then, left = passes - p;
				for (int k = 0; k < FIGURES; k++)
					n[k] += (n[k] - at[then][k]) * std::uint64_t(left / period);
				for (int r = 0; r < left % period; r++)
					pass();
				return;
			}
			at.push_back(n);
			pass();
		}
	}

	Figures n{};
	// Where to tell how each access went, if anywhere (for -v).
	std::vector<AccessResult> *told = nullptr;

      private:
	PolicyCache<Replacement> cache;

	// A record's accesses, made but not counted.
	[[gnu::always_inline]] void touches(char kind, std::uint64_t addr)
	{
		din_accesses(
		    kind, addr >> cache.line_bits(),
		    [this](std::uint64_t line, bool write)
			__attribute__((always_inline)) { touch(line, write); });
	}

	[[gnu::always_inline]] void touch(std::uint64_t line, bool write)
	{
		AccessResult r = cache.access(line, write);
		if (!r.hit) { // most accesses hit, and then count nothing here
			n[write ? WRITE_MISSES : READ_MISSES]++;
			n[EVICTIONS] += r.evicted;
			n[WRITEBACKS] += r.wrote_back;
		}
		if (told)
			told->push_back(r);
	}
};

// One pass's accesses recorded, then made set by set, and the last pass.
template <class Replacement>
void replay_sets_apart(const Model &m, int passes, Run &run, TraceCount<Replacement> &count)
{
	run.head(count);
	PassBySets pass(count.sets(), count.write_back());
	std::uint64_t reads = 0, writes = 0;
	auto record = [&](char kind, std::uint64_t addr, std::uint32_t, bool) {
		reads += din_reads(kind);
		writes += din_writes(kind);
		din_accesses(kind, addr >> count.line_bits('D'),
			     [&](std::uint64_t line, bool write) { pass.add(line, write); });
	};
	for (long t = 0; t < m.steps; t++)
		run.step(t, record);
	count.accesses(reads * (passes - 1), writes * (passes - 1));
	pass.each_set([&](std::uint64_t s, const std::uint64_t *first, const std::uint64_t *end) {
		count.run_set(s, first, end, passes - 1);
	});
	for (long t = long(passes - 1) * m.steps; t < run.steps(); t++)
		run.step(t, count);
}

// The figures that replay(m, passes, shift, count) makes.  Where every pass
// makes the same records from the same state and the sets are apart, the
// passes but the last are made set by set (TraceCount::run_set).
template <class Replacement>
void replay_figures(const Model &m, int passes, std::int64_t shift, TraceCount<Replacement> &count)
{
	if constexpr (Replacement::SETS_APART) {
		if (count.sets_apart() && Run::periodic(m) && passes >= 3) {
			Run run(m, passes, shift);
			return replay_sets_apart(m, passes, run, count);
		}
	}
	replay(m, passes, shift, count);
}
