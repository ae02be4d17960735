// The engine's fast count against its plain one and against a naive LRU
// cache, on random made-up models: no Valgrind, a few hundred
// milliseconds.  The fast count compiles loop segments to line numbers,
// drops touches it proves cannot matter, shares one cache between the two
// counts until a straddling access splits a set, serves several ways from
// one LRU stack and multiplies out repeating passes; each of those must
// give the counts of every record touching the cache in turn.
#include <cstdio>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "cache.h"
#include "misses.h"
#include "pattern.h"

namespace {

std::mt19937_64 rng(20261208);

std::uint64_t pick(std::uint64_t n) { return rng() % n; }

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
		std::uint64_t first = addr / line, last = (addr + std::min(size, 16u) - 1) / line;
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
		seg.push_back(Rec{'L', std::uint8_t(ARRAY | MAIN), 4, std::uint64_t(j)});
	}
	if (!m.calls.empty() && !called)
		seg.push_back(Rec{'C', CALL, 0, 0});
	return seg;
}

Model random_model(bool rand_rule)
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
	if (rand_rule)
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
	for (int t = 0; t < 300; t++) {
		Model m = random_model(t % 3 == 0);
		drop_fetches(m);
		unsigned line = 16u << pick(4);
		std::uint64_t sets = std::uint64_t(1) << pick(7);
		std::vector<unsigned> ways;
		for (unsigned w : {1u, 2u, 3u, 4u, 8u})
			if (pick(2) || w == 1)
				ways.push_back(w);
		int passes = 1 + int(pick(m.passes));
		std::int64_t shift = 16 * (std::int64_t(pick(64)) - 32);

		Sim fast(sets, line, ways), plain(sets, line, ways);
		misses(m, passes, shift, fast);
		Run run(m, passes, shift);
		run.all(plain);
		for (std::size_t g = 0; g < ways.size(); g++) {
			Naive naive(sets, ways[g], line);
			Run(m, passes, shift).all(naive);
			cases++;
			if (same(fast.n[g], naive.n) && same(plain.n[g], naive.n))
				continue;
			faults++;
			std::fprintf(stderr,
				     "case %d: %lu sets of %u ways, %u-byte lines, %d of %d passes, "
				     "shift %ld, %s rule:\n",
				     t, (unsigned long)sets, ways[g], line, passes, m.passes, (long)shift,
				     m.stride ? "stride" : "rand");
			show("fast", fast.n[g]);
			show("plain", plain.n[g]);
			show("naive", naive.n);
		}
	}
	std::printf("%d passed, %d failed\n", cases - faults, faults);
	return faults != 0;
}
