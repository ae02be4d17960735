// The din trace's figures under every replacement and write policy, and
// the kinds of miss, held to plain simulators written here: one access at
// a time, a vector of ways per set, every rule spelled out as the
// conventions state it (tools/plain.py keeps the same conventions in
// Python).  Random caches and random traces, access by access; then
// made-up models through the replay, whose skipped hits and multiplied
// passes must give the same figures.
#include <algorithm>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "made_up_model.h"
#include "model.h"
#include "policy_table.h"
#include "replay.h"
#include "trace_count.h"

namespace {

using made_up::pick;

enum class Rule { LRU, FIFO, PLRU, RANDOM };
const char *const RULE_NAMES[] = {"lru", "fifo", "plru", "random"};

struct Way {
	bool valid = false, dirty = false;
	std::uint64_t line = 0, used = 0, filled = 0; // the clock at the last use, at the fill
};

// One set-associative cache under one rule.  An empty way is filled
// before any line is put out, the lowest first.
class PlainCache {
      public:
	PlainCache(std::uint64_t sets, unsigned ways, Rule rule, std::uint64_t seed, bool back)
	    : ways(ways), rule(rule), back(back), state(seed ? seed : 1),
	      sets(sets, std::vector<Way>(ways)), bits(sets, std::vector<int>(ways))
	{
	}

	// An access to line n: what it did.
	AccessResult access(std::uint64_t n, bool write)
	{
		clock++;
		std::uint64_t s = n % sets.size();
		std::vector<Way> &set = sets[s];
		for (unsigned w = 0; w < ways; w++)
			if (set[w].valid && set[w].line == n) {
				set[w].used = clock;
				set[w].dirty = set[w].dirty || (write && back);
				point_away(s, w);
				return {true, false, false};
			}
		if (write && !back) // write-through does not allocate
			return {false, false, false};
		unsigned w = victim(s);
		AccessResult r{false, set[w].valid, set[w].valid && set[w].dirty};
		set[w] = Way{true, write, n, clock, clock};
		point_away(s, w);
		return r;
	}

	std::uint64_t dirty_lines() const
	{
		std::uint64_t n = 0;
		for (const std::vector<Way> &set : sets)
			for (const Way &w : set)
				n += w.valid && w.dirty;
		return n;
	}

      private:
	unsigned ways;
	Rule rule;
	bool back;
	std::uint64_t state; // the random rule's xorshift64*
	std::uint64_t clock = 0;
	std::vector<std::vector<Way>> sets;
	std::vector<std::vector<int>> bits; // tree-PLRU: per set, a bit per node

	unsigned victim(std::uint64_t s)
	{
		const std::vector<Way> &set = sets[s];
		for (unsigned w = 0; w < ways; w++)
			if (!set[w].valid)
				return w;
		unsigned best = 0;
		switch (rule) {
		case Rule::LRU:
			for (unsigned w = 1; w < ways; w++)
				if (set[w].used < set[best].used)
					best = w;
			return best;
		case Rule::FIFO:
			for (unsigned w = 1; w < ways; w++)
				if (set[w].filled < set[best].filled)
					best = w;
			return best;
		case Rule::PLRU: {
			// Node k's halves are 2k+1 and 2k+2, its bit naming the one
			// to go down; the ways are the leaves from node ways - 1.
			unsigned node = 0;
			while (node < ways - 1)
				node = 2 * node + 1 + unsigned(bits[s][node]);
			return node - (ways - 1);
		}
		case Rule::RANDOM:
			return unsigned(draw() % ways);
		}
		return 0;
	}

	// Tree-PLRU: every node above the way used points to the other half.
	void point_away(std::uint64_t s, unsigned way)
	{
		if (rule != Rule::PLRU)
			return;
		for (unsigned node = way + ways - 1; node > 0; node = (node - 1) / 2) {
			unsigned parent = (node - 1) / 2;
			bits[s][parent] = node == 2 * parent + 2 ? 0 : 1;
		}
	}

	std::uint64_t draw()
	{
		state ^= state >> 12;
		state ^= state << 25;
		state ^= state >> 27;
		return state * 0x2545F4914F6CDD1DULL;
	}
};

// A fully associative LRU cache of a number of lines: each line's last
// use, and the lines by last use, the least recent first.
class PlainFullLru {
      public:
	PlainFullLru(std::uint64_t lines, bool back) : lines(lines), back(back) {}

	bool miss(std::uint64_t n, bool write)
	{
		clock++;
		auto at = last_use.find(n);
		if (at != last_use.end()) {
			by_use.erase({at->second, n});
			by_use.insert({clock, n});
			at->second = clock;
			return false;
		}
		if (write && !back)
			return true;
		if (last_use.size() == lines) {
			last_use.erase(by_use.begin()->second);
			by_use.erase(by_use.begin());
		}
		last_use[n] = clock;
		by_use.insert({clock, n});
		return true;
	}

      private:
	std::uint64_t lines, clock = 0;
	bool back;
	std::map<std::uint64_t, std::uint64_t> last_use;
	std::set<std::pair<std::uint64_t, std::uint64_t>> by_use;
};

// Every figure of a din trace as the conventions define them, one access
// at a time.
struct PlainFigures {
	PlainFigures(CacheShape shape, Rule rule, PolicyOptions options)
	    : line(shape.line), cache(shape.sets, shape.assoc, rule, options.seed, options.write_back),
	      full(shape.sets * shape.assoc, options.write_back)
	{
	}

	// A din access.
	AccessResult access(std::uint64_t addr, bool write)
	{
		std::uint64_t l = addr / line;
		AccessResult r = cache.access(l, write);
		n[write ? WRITES : READS]++;
		n[write ? WRITE_MISSES : READ_MISSES] += !r.hit;
		n[EVICTIONS] += r.evicted;
		n[WRITEBACKS] += r.wrote_back;
		n[FULL_MISSES] += full.miss(l, write);
		n[COMPULSORY] += touched.insert(l).second;
		return r;
	}
	// A record as the din trace has it: a modify is a read, then a write.
	void operator()(char kind, std::uint64_t addr, std::uint32_t, bool)
	{
		if (kind != 'S')
			access(addr, false);
		if (kind == 'S' || kind == 'M')
			access(addr, true);
	}

	unsigned line;
	PlainCache cache;
	PlainFullLru full;
	std::set<std::uint64_t> touched;
	Figures n{};
};

const char *const FIGURE_NAMES[] = {"reads",     "writes",      "read misses", "write misses",
				    "evictions", "write-backs", "full misses", "compulsory"};

// The engine's figures against the plain ones: the cache's six and its
// dirty lines, and the kinds' two of its fully associative cache.
template <class Count>
void expect_same(const Count &engine, const FullCount &full, const PlainFigures &plain)
{
	for (int k = 0; k < FULL_MISSES; k++)
		EXPECT_EQ(engine.n[k], plain.n[k]) << FIGURE_NAMES[k];
	for (int k = FULL_MISSES; k < FIGURES; k++)
		EXPECT_EQ(full.n[k], plain.n[k]) << FIGURE_NAMES[k];
	EXPECT_EQ(engine.dirty_lines(), plain.cache.dirty_lines()) << "dirty lines";
}

// A random cache for a rule: 1 to 64 sets, 1 to 16 ways (a power of two
// for tree-PLRU), lines of 16 to 128 bytes.
CacheShape random_shape(Rule rule)
{
	unsigned ways = rule == Rule::PLRU ? 1u << pick(5) : unsigned(1 + pick(16));
	return {std::uint64_t(1) << pick(7), ways, 16u << pick(4)};
}

std::string described(Rule rule, const CacheShape &shape, PolicyOptions options)
{
	return std::string(RULE_NAMES[int(rule)]) + (rule == Rule::RANDOM ? ":" + std::to_string(options.seed) : "") +
	       (options.write_back ? " back, " : " through, ") +
	       std::to_string(shape.sets) + " sets of " + std::to_string(shape.assoc) + " ways, " +
	       std::to_string(shape.line) + "-byte lines";
}

// Random traces of loads, stores and modifies over about twice the lines
// the cache holds, some lines hot, each access's outcome and at the end
// every figure compared.
template <class Replacement> void random_traces(Rule rule, std::uint64_t seed)
{
	made_up::seed(seed);
	for (int t = 0; t < 200; t++) {
		CacheShape shape = random_shape(rule);
		PolicyOptions options{pick(1000), pick(2) == 0};
		SCOPED_TRACE("trace " + std::to_string(t) + ": " + described(rule, shape, options));
		TraceCount<Replacement> engine(shape, options);
		FullCount full(shape, options.write_back);
		PlainFigures plain(shape, rule, options);
		std::vector<AccessResult> told;
		engine.told = &told;
		std::uint64_t lines = 2 * shape.sets * shape.assoc + 1, hot = 1 + pick(lines);
		for (int k = 0; k < 2000; k++) {
			std::uint64_t line = pick(4) ? pick(hot) : pick(lines);
			std::uint64_t addr = 0x1000000 + line * shape.line + pick(shape.line);
			char kind = "LSM"[pick(3)];
			told.clear();
			engine(kind, addr, 4, true);
			full(kind, addr, 4, true);
			std::vector<AccessResult> want;
			if (kind != 'S')
				want.push_back(plain.access(addr, false));
			if (kind != 'L')
				want.push_back(plain.access(addr, true));
			ASSERT_EQ(told.size(), want.size());
			for (std::size_t a = 0; a < want.size(); a++) {
				ASSERT_TRUE(told[a].hit == want[a].hit && told[a].evicted == want[a].evicted &&
					    told[a].wrote_back == want[a].wrote_back)
					<< "access " << k << " (" << kind << " line " << line << ", din access " << a
					<< "): engine hit " << told[a].hit << " evicted " << told[a].evicted
					<< " wrote back " << told[a].wrote_back << "; plain " << want[a].hit
					<< " " << want[a].evicted << " " << want[a].wrote_back;
			}
		}
		expect_same(engine, full, plain);
	}
}

// Made-up models through the replay, skipped hits and multiplied passes,
// and through replay_figures, which runs a model whose passes repeat a set
// at a time, against every record in turn through the engine's cache and
// through the plain simulator.
template <class Replacement> void made_up_models(Rule rule, std::uint64_t seed)
{
	made_up::seed(seed);
	for (int t = 0; t < 60; t++) {
		Model m = made_up::random_model(t % 3 == 0, t % 3 != 1);
		drop_fetches(m);
		CacheShape shape = random_shape(rule);
		if (rule == Rule::FIFO && t % 8 == 1) {
			// One set of 33 to 40 ways, whose FIFO order comes round
			// only in as many passes as it has ways, or a divisor: a
			// period longer than the ones the replay keeps.
			shape = CacheShape{1, unsigned(33 + pick(8)), 16u << pick(2)};
			m.passes = 100 + int(pick(200));
		}
		PolicyOptions options{pick(100), pick(2) == 0};
		int passes = m.passes;
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		SCOPED_TRACE("model " + std::to_string(t) + ": " + described(rule, shape, options) + ", " +
			     std::to_string(passes) + " passes");
		TraceCount<Replacement> fast(shape, options), plain(shape, options);
		TraceCount<Replacement> by_sets(shape, options);
		FullCount full_fast(shape, options.write_back), full_plain(shape, options.write_back);
		PlainFigures simulated(shape, rule, options);
		replay(m, passes, shift, fast);
		replay_figures(m, passes, shift, by_sets); // set by set where it can
		replay(m, passes, shift, full_fast);
		Run(m, passes, shift).all(plain);
		Run(m, passes, shift).all(full_plain);
		Run(m, passes, shift).all(simulated);
		expect_same(fast, full_fast, simulated);
		expect_same(by_sets, full_fast, simulated);
		expect_same(plain, full_plain, simulated);
		EXPECT_EQ(fast.n, plain.n) << "the replay against every record in turn";
		EXPECT_EQ(full_fast.n, full_plain.n) << "the kinds' replay against every record in turn";
	}
}

} // namespace

TEST(Replacement, LruAgainstPlain) { random_traces<LruReplacement>(Rule::LRU, 1); }
TEST(Replacement, FifoAgainstPlain) { random_traces<FifoReplacement>(Rule::FIFO, 2); }
TEST(Replacement, TreePlruAgainstPlain) { random_traces<PlruReplacement>(Rule::PLRU, 3); }
TEST(Replacement, RandomAgainstPlain) { random_traces<RandomReplacement>(Rule::RANDOM, 4); }

// The names the figures command takes, each to its class, and the
// message that lists them.
TEST(Replacement, NamesInTheTable)
{
	auto row = [](const std::string &text) {
		std::optional<FoundReplacement> f = find_replacement(text);
		return f ? int(f->row) : -1;
	};
	EXPECT_EQ(row("lru"), 0);
	EXPECT_EQ(row("fifo"), 1);
	EXPECT_EQ(row("plru"), 2);
	EXPECT_EQ(row("random:17"), 3);
	EXPECT_EQ(std::string(find_replacement("random:17")->seed), "17");
	EXPECT_EQ(std::string(find_replacement("random:")->seed), "");
	for (const char *bad : {"random", "lru:1", "LRU", "plr", "fifo ", ""})
		EXPECT_EQ(row(bad), -1) << "'" << bad << "'";
	EXPECT_EQ(replacement_names(), "lru, fifo, plru or random:SEED");
	EXPECT_THROW(PlruReplacement(CacheShape{4, 3, 64}, 0), std::runtime_error);
	EXPECT_THROW(PlruReplacement(CacheShape{4, 128, 64}, 0), std::runtime_error);
}

TEST(TraceFigures, LruThroughTheReplay) { made_up_models<LruReplacement>(Rule::LRU, 11); }
TEST(TraceFigures, FifoThroughTheReplay) { made_up_models<FifoReplacement>(Rule::FIFO, 12); }
TEST(TraceFigures, TreePlruThroughTheReplay) { made_up_models<PlruReplacement>(Rule::PLRU, 13); }
TEST(TraceFigures, RandomThroughTheReplay) { made_up_models<RandomReplacement>(Rule::RANDOM, 14); }

// The fully associative cache of the kinds over long traces, against a
// list of its lines, most recent first: many stretches of its queue, lines
// put out from them and stale entries piling up, in caches from one line
// to more than a stretch.
TEST(Kinds, FullyAssociativeAgainstAList)
{
	made_up::seed(21);
	for (std::uint64_t capacity : {1, 2, 3, 5, 63, 64, 65, 200}) {
		for (bool allocate : {true, false}) {
			SCOPED_TRACE(std::to_string(capacity) + " lines, writes allocate " +
				     std::to_string(allocate));
			FullyAssociative engine(capacity, allocate);
			std::list<std::uint64_t> plain;
			std::set<std::uint64_t> ever;
			// Mostly a few hot lines, some within the capacity, some
			// beyond it, as the kernels touch them.
			std::uint64_t lines = 3 * capacity + 2, hot = 1 + pick(capacity + 1);
			for (int k = 0; k < 100000; k++) {
				std::uint64_t n = pick(5) ? pick(hot) : pick(lines);
				bool write = pick(4) == 0;
				auto at = std::find(plain.begin(), plain.end(), n);
				bool miss = at == plain.end(), first = ever.insert(n).second;
				if (!miss)
					plain.erase(at);
				if (!miss || !write || allocate) {
					plain.push_front(n);
					if (plain.size() > capacity)
						plain.pop_back();
				}
				FullyAssociative::Touch t = engine.touch(n, write);
				ASSERT_EQ(t.miss, miss) << "touch " << k << " of line " << n;
				ASSERT_EQ(t.first, first) << "touch " << k << " of line " << n;
			}
		}
	}
}

// Two caches are equal where they hold the same lines in the same order,
// whatever the touches that put them there.
TEST(Kinds, FullyAssociativeEqualByOrder)
{
	FullyAssociative a(8, true), b(8, true);
	for (std::uint64_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})
		a.touch(n, false);
	for (std::uint64_t n : {1, 3, 2, 5, 4, 7, 6, 9, 8, 10})
		b.touch(n, false);
	EXPECT_FALSE(a == b); // not the same lines
	for (int round = 0; round < 20; round++) // past stretches of the queue
		for (std::uint64_t n : {3, 4, 5, 6, 7, 8, 9, 10})
			b.touch(n, false);
	EXPECT_TRUE(a == b);
	a.touch(4, false);
	EXPECT_FALSE(a == b);
	b.touch(4, false);
	EXPECT_TRUE(a == b);
}
