// The engine's fast counts against its plain ones and against naive LRU
// caches, on random made-up models: no Valgrind, under a second.  The fast count compiles loop segments to line numbers,
// drops touches it proves cannot matter, shares one cache between the two
// counts until a straddling access splits a set, serves several ways from
// one LRU stack and multiplies out repeating passes; each of those must
// give the counts of every record touching the cache in turn.
#include <algorithm>
#include <cstdio>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "cache.h"
#include "d1.h"
#include "model.h"
#include "report.h"
#include "trace_count.h"

namespace {

std::mt19937_64 rng(20261208);

std::uint64_t pick(std::uint64_t n) { return rng() % n; }

constexpr std::size_t FUNCTIONS = 3;

// An independent count: each set a list of lines, most recent first.
class Naive {
      public:
	Naive(std::uint64_t sets, unsigned ways, unsigned line)
	    : sets(sets), ways(ways), line(line), cg(sets), din(sets)
	{
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool main)
	{
		bool write = kind == 'S';
		std::uint64_t first = addr / line, last = (addr + size - 1) / line;
		bool miss = touch(cg, first);
		if (last != first)
			miss |= touch(cg, last);
		if (main)
			(write ? n.main_writes : n.main_reads) += miss;
		(write ? n.trace_writes : n.trace_reads) += touch(din, first);
	}

	Misses n;

      private:
	std::uint64_t sets;
	unsigned ways, line;
	std::vector<std::list<std::uint64_t>> cg, din;

	bool touch(std::vector<std::list<std::uint64_t>> &cache, std::uint64_t l)
	{
		auto &set = cache[l % sets];
		for (auto it = set.begin(); it != set.end(); ++it)
			if (*it == l) {
				set.erase(it);
				set.push_front(l);
				return false;
			}
		set.push_front(l);
		if (set.size() > ways)
			set.pop_back();
		return true;
	}
};

// An independent I1, D1 and LL, each set a list of lines.
class NaiveHierarchy {
      public:
	NaiveHierarchy(const std::vector<CacheShape> &g) : costs(FUNCTIONS + 1, Cost{})
	{
		for (const CacheShape &c : g)
			caches.push_back({c, std::vector<std::list<std::uint64_t>>(c.sets)});
	}

	void operator()(char kind, std::uint64_t addr, std::uint32_t size, bool, std::uint32_t fn)
	{
		Event e = kind == 'I' ? IR : kind == 'S' ? DW : DR;
		costs[fn][e]++;
		if (miss(caches[kind == 'I' ? 0 : 1], addr, size)) {
			costs[fn][e + 1]++;
			costs[fn][e + 2] += miss(caches[2], addr, size);
		}
	}

	std::vector<Cost> costs;

      private:
	struct Level {
		CacheShape g;
		std::vector<std::list<std::uint64_t>> sets;
	};
	std::vector<Level> caches;

	static bool miss(Level &c, std::uint64_t addr, std::uint32_t size)
	{
		bool m = false;
		for (std::uint64_t l = addr / c.g.line; l <= (addr + size - 1) / c.g.line; l++) {
			auto &set = c.sets[l % c.g.sets];
			auto it = std::find(set.begin(), set.end(), l);
			m |= it == set.end();
			if (it != set.end())
				set.erase(it);
			set.push_front(l);
			if (set.size() > c.g.assoc)
				set.pop_back();
		}
		return m;
	}
};

// A record somewhere in a small frame on the stack or in a small global
// area, of any size that x86 loads and stores have, so that some straddle.
Rec fixed(bool main)
{
	static const char kinds[] = "ILSM";
	static const std::uint32_t sizes[] = {1, 2, 4, 8, 16, 32};
	bool stack = pick(2);
	Rec r{};
	r.kind = kinds[pick(4)];
	r.size = r.kind == 'I' ? 1 + pick(15) : sizes[pick(6)];
	r.addr = (stack ? 0x1ffefff000 : 0x4c1000) + pick(700);
	r.flags = std::uint8_t((stack ? STACK : 0) | (main ? MAIN : 0));
	r.fn = std::uint32_t(pick(FUNCTIONS + 1));
	return r;
}

// A step: main's records, every array read in order, a call out where
// the model has calls.
Segment step(const Model &m)
{
	Segment seg;
	bool called = false;
	for (int j = 0; j < m.arrays; j++) {
		for (std::uint64_t k = pick(4); k > 0; k--)
			seg.push_back(fixed(true));
		if (!m.calls.empty() && !called && pick(3) == 0) {
			seg.push_back(Rec{'C', CALL, 0, 0});
			called = true;
		}
		seg.push_back(Rec{'L', std::uint8_t(ARRAY | MAIN), 4, std::uint64_t(j), 1});
	}
	if (!m.calls.empty() && !called)
		seg.push_back(Rec{'C', CALL, 0, 0});
	return seg;
}

Model random_model(bool rand_rule, bool calls)
{
	Model m;
	m.kernel = "made-up";
	m.arrays = 1 + int(pick(20));
	m.length = 16 + long(pick(300));
	m.stride = rand_rule ? 0 : 1 + long(pick(3));
	m.steps = rand_rule ? 1 + long(pick(m.length)) : 1 + long(pick((m.length - 1) / m.stride + 1));
	m.passes = 2 + int(pick(6));
	// Arrays one below the other, below the frame, a little apart.
	std::uint64_t top = 0x1ffeffe000;
	for (int j = 0; j < m.arrays; j++) {
		top -= 4 * std::uint64_t(m.length) + 16 * pick(3);
		m.reads.push_back(top);
	}
	for (int k = 0; k < 30; k++)
		m.head.push_back(fixed(false));
	if (calls)
		for (std::uint64_t c = 1 + pick(3); c > 0; c--) {
			m.calls.emplace_back();
			for (std::uint64_t k = 1 + pick(12); k > 0; k--)
				m.calls.back().push_back(fixed(false));
		}
	m.body = step(m);
	m.boundary = step(m);
	m.final = step(m);
	for (int k = 0; k < 20; k++)
		m.final.push_back(fixed(false));
	return m;
}

bool same(const Misses &a, const Misses &b)
{
	return a.main_reads == b.main_reads && a.main_writes == b.main_writes &&
	       a.trace_reads == b.trace_reads && a.trace_writes == b.trace_writes;
}

void show(const char *what, const Misses &n)
{
	std::fprintf(stderr, "  %-6s %lu %lu %lu %lu\n", what, (unsigned long)n.main_reads,
		     (unsigned long)n.main_writes, (unsigned long)n.trace_reads,
		     (unsigned long)n.trace_writes);
}

} // namespace

int main()
{
	int faults = 0, cases = 0;
	// Main's misses and the din trace's at several set counts of one line
	// size, each answering up to its most ways, against a naive cache of
	// each shape.
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
		Run run(m, passes, shift);
		run.all(plain);
		for (std::size_t level = 0; level < levels.size(); level++)
			for (unsigned ways : levels[level].ways) {
				if (ways > 4 && ways != levels[level].ways.back() && pick(4))
					continue;
				std::uint64_t sets = levels[level].sets;
				Naive naive(sets, ways, line);
				Run(m, passes, shift).all(naive);
				cases++;
				Misses f = fast.misses(level, ways), p = plain.misses(level, ways);
				if (same(f, naive.n) && same(p, naive.n))
					continue;
				faults++;
				std::fprintf(stderr,
					     "case %d: %lu sets of %u ways (level %zu of %zu), %u-byte lines, "
					     "%d of %d passes, shift %ld, %s rule:\n",
					     t, (unsigned long)sets, ways, level, levels.size(), line,
					     passes, m.passes, (long)shift, m.stride ? "stride" : "rand");
				show("fast", f);
				show("plain", p);
				show("naive", naive.n);
			}
	}
	// A level of thousands of ways counts by the ways it answers, not by
	// depth: the same misses.
	for (int t = 0; t < 6; t++) {
		Model m = random_model(t % 2 == 0, true);
		drop_fetches(m);
		std::vector<unsigned> ways = {1, 3, 4100 + unsigned(pick(50))};
		D1Count count({{2, ways}, {8, {2, 5000}}}, 32);
		replay(m, m.passes, 0, count);
		for (unsigned w : ways) {
			Naive naive(2, w, 32);
			Run(m, m.passes, 0).all(naive);
			cases++;
			if (!same(count.misses(0, w), naive.n)) {
				faults++;
				std::fprintf(stderr, "case %d: 2 sets of %u ways among thousands\n", t, w);
				show("count", count.misses(0, w));
				show("naive", naive.n);
			}
		}
	}
	// I1, D1 and LL of their own shapes, every function's nine events; then
	// loops whose fetches come from a few lines, as a real loop's do, which
	// I1 may come to hold all, so that the loop runs without them; then
	// caches of a few sets of a thousand ways and more, whose sets span
	// several pages of tags.
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
			g.push_back({std::uint64_t(1) << pick(level == 2 ? 9 : 6),
				     unsigned(1 + pick(8)), 32u << pick(3)});
		if (wide)
			g[1] = {std::uint64_t(1) << pick(2), unsigned(600 + pick(1600)), 32};
		int passes = small_loop ? m.passes : 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		Hierarchy fast(g[0], g[1], g[2], FUNCTIONS + 1), plain(g[0], g[1], g[2], FUNCTIONS + 1);
		NaiveHierarchy naive(g);
		replay(m, passes, shift, fast);
		Run(m, passes, shift).all(plain);
		Run(m, passes, shift).all(naive);
		cases++;
		if (fast.cost == naive.costs && plain.cost == naive.costs)
			continue;
		faults++;
		std::fprintf(stderr, "hierarchy case %d: %s rule, %d of %d passes, shift %ld\n", t,
			     small_loop ? "small loop" : wide ? "wide" : m.stride ? "stride" : "rand", passes, m.passes,
			     (long)shift);
		for (std::size_t f = 0; f <= FUNCTIONS; f++)
			for (int e = 0; e < EVENTS; e++)
				if (fast.cost[f][e] != naive.costs[f][e] || plain.cost[f][e] != naive.costs[f][e])
					std::fprintf(stderr, "  function %zu event %d: fast %lu plain %lu naive %lu\n",
						     f, e, (unsigned long)fast.cost[f][e],
						     (unsigned long)plain.cost[f][e],
						     (unsigned long)naive.costs[f][e]);
	}
	// The din trace's figures under every policy: the replay, passes
	// multiplied out and quiet accesses skipped, against every record in
	// turn through the same plain cache.
	for (int t = 0; t < 200; t++) {
		Model m = random_model(t % 3 == 0, t % 3 != 1);
		drop_fetches(m);
		static const Replacement kinds[] = {Replacement::LRU, Replacement::FIFO,
						    Replacement::PLRU, Replacement::RANDOM};
		WritePolicy policy{kinds[t % 4], pick(100), pick(2) == 0};
		unsigned ways = policy.replacement == Replacement::PLRU ? 1u << pick(4)
									 : unsigned(1 + pick(8));
		CacheShape shape{std::uint64_t(1) << pick(6), ways, 16u << pick(4)};
		bool with_kinds = pick(2);
		if (policy.replacement == Replacement::FIFO && t % 8 == 1) {
			// One set of 33 to 40 ways, whose FIFO order comes round
			// only in as many passes as it has ways, or a divisor: a
			// period longer than the ones the replay keeps.
			shape = CacheShape{1, unsigned(33 + pick(8)), 16u << pick(2)};
			m.passes = 100 + int(pick(200));
		}
		int passes = m.passes;
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);
		TraceCount fast(shape, policy, with_kinds), plain(shape, policy, with_kinds);
		replay(m, passes, shift, fast);
		Run(m, passes, shift).all(plain);
		cases++;
		if (fast.n == plain.n && fast.dirty_lines() == plain.dirty_lines())
			continue;
		faults++;
		std::fprintf(stderr, "trace figures case %d: policy %d, %s, %lu sets of %u ways\n", t,
			     int(policy.replacement), policy.write_back ? "back" : "through",
			     (unsigned long)shape.sets, shape.assoc);
		for (int k = 0; k < FIGURES; k++)
			std::fprintf(stderr, "  figure %d: fast %lu plain %lu\n", k,
				     (unsigned long)fast.n[k], (unsigned long)plain.n[k]);
	}
	// Tags copied into tags of another size take that size and every line.
	{
		Lru small(2, 2, 64), big(4096, 8, 64);
		for (std::uint64_t l = 0; l < 100000; l += 7)
			big.touch(l);
		small = big;
		cases++;
		if (!(small == big) || small.touch(99995) != big.touch(99995)) {
			faults++;
			std::fprintf(stderr, "tags copied between sizes: not the same\n");
		}
	}
	// A set of 2048 ways spans four pages of tags: caches that differ only
	// in the second are not the same, and a copy has all four.
	{
		Lru a(1, 2048, 64), b(1, 2048, 64), copy(1, 2048, 64);
		for (std::uint64_t l = 0; l < 2000; l++) {
			a.touch(l);
			b.touch(l == 1300 ? 1301 : l == 1301 ? 1300 : l);
		}
		copy = a;
		cases++;
		if (a == b || copy.touch(1300) != a.touch(1300)) {
			faults++;
			std::fprintf(stderr, "2048 ways: a difference or a copy lost past the first page\n");
		}
	}
	// The vector search against the plain one, in sets of 4 to 32 ways:
	// the same depths, touch for touch.
	if (!has_avx2())
		std::printf("vector search: not on this processor, not compared\n");
	for (unsigned assoc : {4u, 8u, 12u, 16u, 17u, 20u, 31u, 32u}) {
		Lru vec(4, assoc, 64), plain(4, assoc, 64, false);
		cases++;
		for (int k = 0; k < 20000; k++) {
			std::uint64_t line = pick(12 * assoc); // hits at every depth, and misses
			unsigned a = vec.touch(line), b = plain.touch(line);
			// Sets of up to 16 ways are laid out alike, and compared whole.
			bool alike = assoc > 16 || vec == plain;
			if (a != b || !alike || vec.holds(line + 4) != plain.holds(line + 4)) {
				faults++;
				std::fprintf(stderr, "vector search, %u ways, touch %d: depth %u, plain %u\n",
					     assoc, k, a, b);
				break;
			}
		}
	}
	// Sets of more than 16 ways that hold the same lines in the same order
	// are the same, whichever ways their lines went to.
	{
		Lru a(2, 32, 64), b(2, 32, 64), c(2, 32, 64);
		for (std::uint64_t l = 0; l < 80; l++) {
			a.touch(l);
			if (l >= 10)
				b.touch(l);
			c.touch(l == 50 ? 52 : l == 52 ? 50 : l); // in set 0 both
		}
		cases++;
		if (!(a == b) || a == c) {
			faults++;
			std::fprintf(stderr, "wide sets: the same order %s, another %s\n",
				     a == b ? "same" : "not the same", a == c ? "the same" : "not");
		}
	}
	std::printf("%d passed, %d failed\n", cases - faults, faults);
	return faults != 0;
}
