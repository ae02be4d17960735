// The engine's fast LRU counts against its plain ones and against naive
// LRU caches, on random made-up models: no Valgrind, in seconds.  The
// fast count compiles loop segments to line numbers, drops touches it
// proves cannot matter, shares one cache between the two counts until a
// straddling access splits a set, serves several ways from one LRU stack
// and multiplies out repeating passes; each of those must give the counts
// of every record touching the cache in turn.  (The other policies:
// policy_test.cpp.)
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <malloc.h>

#include "cache.h"
#include "d1.h"
#include "made_up_model.h"
#include "model.h"
#include "naive_lru.h"
#include "replacement.h"
#include "report.h"
#include "trace_count.h"

namespace {

using made_up::FUNCTIONS;
using made_up::pick;
using made_up::random_model;
using naive_lru::Naive;
using naive_lru::NaiveHierarchy;

std::string shown(const Misses &n)
{
	return std::to_string(n.main_reads) + " " + std::to_string(n.main_writes) + " " +
	       std::to_string(n.trace_reads) + " " + std::to_string(n.trace_writes);
}

} // namespace

// Main's misses and the din trace's at several set counts of one line
// size, each answering up to its most ways, against a naive cache of each
// shape.
TEST(D1Count, EverySetCountAndWaysAgainstNaive)
{
	made_up::seed(20261208);
	for (int t = 0; t < 300; t++) {
		Model m = random_model(t % 3 == 0, t % 3 != 1); // stride models with calls too
		drop_fetches(m);
		unsigned line = 32u << pick(3); // as wide as the widest access
		// Every number of ways up to the most, or a few of them.
		std::vector<D1Count::Shape> levels;
		for (unsigned k = unsigned(pick(3)); k < 8; k += 1 + unsigned(pick(4))) {
			unsigned most = unsigned(1 + pick(pick(2) ? 8 : 32));
			std::vector<unsigned> ways;
			for (unsigned w = 1; w <= most; w++)
				if (t % 2 || w == most || pick(3) == 0)
					ways.push_back(w);
			levels.push_back({std::uint64_t(1) << k, ways});
		}
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);

		D1Count fast(levels, line), plain(levels, line);
		replay(m, passes, shift, fast);
		::Run run(m, passes, shift);
		run.all(plain);
		for (std::size_t level = 0; level < levels.size(); level++)
			for (unsigned ways : levels[level].ways) {
				if (ways > 4 && ways != levels[level].ways.back() && pick(4))
					continue;
				std::uint64_t sets = levels[level].sets;
				Naive naive(sets, ways, line);
				::Run(m, passes, shift).all(naive);
				SCOPED_TRACE("case " + std::to_string(t) + ": " + std::to_string(sets) +
					     " sets of " + std::to_string(ways) + " ways (level " +
					     std::to_string(level) + " of " + std::to_string(levels.size()) +
					     "), " + std::to_string(line) + "-byte lines, " +
					     std::to_string(passes) + " of " + std::to_string(m.passes) +
					     " passes, shift " + std::to_string(shift) +
					     (m.stride ? ", stride rule" : ", rand rule"));
				EXPECT_EQ(shown(fast.misses(level, ways)), shown(naive.n)) << "fast";
				EXPECT_EQ(shown(plain.misses(level, ways)), shown(naive.n)) << "plain";
			}
	}
}

// A level of thousands of ways counts by the ways it answers, not by
// depth: the same misses.
TEST(D1Count, ThousandsOfWaysAgainstNaive)
{
	made_up::seed(4100);
	for (int t = 0; t < 6; t++) {
		Model m = random_model(t % 2 == 0, true);
		drop_fetches(m);
		std::vector<unsigned> ways = {1, 3, 4100 + unsigned(pick(50))};
		D1Count count({{2, ways}, {8, {2, 5000}}}, 32);
		replay(m, m.passes, 0, count);
		for (unsigned w : ways) {
			Naive naive(2, w, 32);
			::Run(m, m.passes, 0).all(naive);
			EXPECT_EQ(shown(count.misses(0, w)), shown(naive.n))
			    << "case " << t << ": 2 sets of " << w << " ways among thousands";
		}
	}
}

// I1, D1 and LL of their own shapes, every function's nine events; then
// loops whose fetches come from a few lines, as a real loop's do, which
// I1 may come to hold all, so that the loop runs without them; then
// caches of a few sets of a thousand ways and more, whose sets span
// several pages of tags.
TEST(Hierarchy, EveryFunctionsEventsAgainstNaive)
{
	made_up::seed(330);
	for (int t = 0; t < 330; t++) {
		bool small_loop = t >= 150 && t < 300, wide = t >= 300;
		bool rand_rule = small_loop || t % 3 == 0;
		Model m = random_model(rand_rule, rand_rule || t % 3 == 2);
		if (small_loop) {
			m.passes = 3 + int(pick(6));
			for (Segment *seg : {&m.body, &m.boundary})
				for (Rec &r : *seg)
					if (r.kind == 'I')
						r.addr = 0x401000 + pick(200);
			for (Segment &seg : m.calls)
				for (Rec &r : seg)
					if (r.kind == 'I')
						r.addr = 0x402000 + pick(100);
		}
		std::vector<CacheShape> g;
		for (int level = 0; level < 3; level++)
			g.push_back({std::uint64_t(1) << pick(level == 2 ? 9 : 6), unsigned(1 + pick(8)),
				     32u << pick(3)});
		if (wide)
			g[1] = {std::uint64_t(1) << pick(2), unsigned(600 + pick(1600)), 32};
		int passes = small_loop ? m.passes : 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		Hierarchy fast(g[0], g[1], g[2], FUNCTIONS + 1), plain(g[0], g[1], g[2], FUNCTIONS + 1);
		NaiveHierarchy naive(g);
		replay(m, passes, shift, fast);
		::Run(m, passes, shift).all(plain);
		::Run(m, passes, shift).all(naive);
		SCOPED_TRACE(std::string("hierarchy case ") + std::to_string(t) + ": " +
			     (small_loop ? "small loop"
			      : wide	 ? "wide"
			      : m.stride ? "stride"
					 : "rand") +
			     " rule, " + std::to_string(passes) + " of " + std::to_string(m.passes) +
			     " passes, shift " + std::to_string(shift));
		for (std::size_t f = 0; f <= FUNCTIONS; f++)
			for (int e = 0; e < EVENTS; e++) {
				EXPECT_EQ(fast.cost[f][e], naive.costs[f][e])
				    << "fast: function " << f << " event " << EVENT_NAMES[e];
				EXPECT_EQ(plain.cost[f][e], naive.costs[f][e])
				    << "plain: function " << f << " event " << EVENT_NAMES[e];
			}
	}
}

// Tags copied into tags of another size take that size and every line.
TEST(LruCache, TagsCopiedBetweenSizes)
{
	Lru small(2, 2, 64), big(4096, 8, 64);
	for (std::uint64_t l = 0; l < 100000; l += 7)
		big.touch(l);
	small = big;
	EXPECT_TRUE(small == big);
	EXPECT_EQ(small.touch(99995), big.touch(99995));
}

// A count's tags and vectors, small ones allocated in turn, and counts side
// by side in a vector: each starts a line of the host's caches and none
// shares a line with another; a vector's block runs to the end of its
// last line, so that nothing else is put there.  Two threads writing to
// one line would pass it between their cores.
TEST(Memory, CountsKeepToLinesOfTheirOwn)
{
	std::set<std::uintptr_t> taken; // the lines held so far
	auto own = [&](const void *p, std::size_t bytes) {
		auto at = reinterpret_cast<std::uintptr_t>(p);
		EXPECT_EQ(at % HOST_LINE, 0u) << "not at a line's start";
		for (std::uintptr_t l = at / HOST_LINE; l <= (at + bytes - 1) / HOST_LINE; l++)
			EXPECT_TRUE(taken.insert(l).second) << "two share a line";
	};
	std::vector<Tags> tags;
	std::vector<Lines<std::uint32_t>> vectors;
	tags.reserve(40);
	for (std::size_t n = 1; n <= 40; n++) {
		tags.emplace_back(n);
		vectors.emplace_back(n);
		own(tags.back().at(0), n * sizeof(std::uint64_t));
		own(vectors.back().data(), n * sizeof(std::uint32_t));
		std::size_t whole = (n * sizeof(std::uint32_t) + HOST_LINE - 1) / HOST_LINE * HOST_LINE;
		EXPECT_GE(malloc_usable_size(vectors.back().data()), whole) << "a block ends within a line";
	}
	std::vector<TraceCount<LruReplacement>> counts(8, TraceCount<LruReplacement>({2, 2, 64}, {}));
	for (const auto &c : counts)
		own(&c, sizeof c);
}

// A set of 2048 ways spans four pages of tags: caches that differ only
// in the second are not the same, and a copy has all four.
TEST(LruCache, SetsOverSeveralPages)
{
	Lru a(1, 2048, 64), b(1, 2048, 64), copy(1, 2048, 64);
	for (std::uint64_t l = 0; l < 2000; l++) {
		a.touch(l);
		b.touch(l == 1300 ? 1301 : l == 1301 ? 1300 : l);
	}
	copy = a;
	EXPECT_FALSE(a == b) << "a difference past the first page";
	EXPECT_EQ(copy.touch(1300), a.touch(1300)) << "a copy lost past the first page";
}

// The vector search against the plain one, in sets of 4 to 32 ways: the
// same depths, touch for touch.
TEST(LruCache, VectorSearchAgainstPlain)
{
	if (!has_avx2())
		GTEST_SKIP() << "vector search: not on this processor, not compared";
	made_up::seed(32);
	for (unsigned assoc : {4u, 8u, 12u, 16u, 17u, 20u, 31u, 32u}) {
		Lru vec(4, assoc, 64), plain(4, assoc, 64, false);
		for (int k = 0; k < 20000; k++) {
			std::uint64_t line = pick(12 * assoc); // hits at every depth, and misses
			unsigned a = vec.touch(line), b = plain.touch(line);
			// Sets of up to 16 ways are laid out alike, and compared whole.
			bool alike = assoc > 16 || vec == plain;
			bool held = vec.holds(line + 4) == plain.holds(line + 4);
			ASSERT_TRUE(a == b && alike && held)
			    << "vector search, " << assoc << " ways, touch " << k << ": depth " << a
			    << ", plain " << b << (alike ? "" : ", sets differ")
			    << (held ? "" : ", holds() differs");
		}
	}
}

// Sets of more than 16 ways that hold the same lines in the same order
// are the same, whichever ways their lines went to.
TEST(LruCache, WideSetsCompareByOrder)
{
	Lru a(2, 32, 64), b(2, 32, 64), c(2, 32, 64);
	for (std::uint64_t l = 0; l < 80; l++) {
		a.touch(l);
		if (l >= 10)
			b.touch(l);
		c.touch(l == 50 ? 52 : l == 52 ? 50 : l); // in set 0 both
	}
	EXPECT_TRUE(a == b) << "the same order";
	EXPECT_FALSE(a == c) << "another order";
}
