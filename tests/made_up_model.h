// Random made-up models, and the numbers they are drawn from, for the
// engine's tests: no Valgrind, no kernel.
#pragma once

#include <cstdint>
#include <random>

#include "model.h"

namespace made_up {

// One generator for all a test draws, seeded by each test so that any
// test run alone draws what it draws in the whole suite.
inline std::mt19937_64 &rng()
{
	static std::mt19937_64 r;
	return r;
}
inline void seed(std::uint64_t s) { rng().seed(s); }
inline std::uint64_t pick(std::uint64_t n) { return rng()() % n; }

constexpr std::size_t FUNCTIONS = 3;

// A record somewhere in a small frame on the stack or in a small global
// area, of any size that x86 loads and stores have, so that some straddle.
inline Rec fixed(bool main)
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
inline Segment step(const Model &m)
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

// A kernel's model of made-up records: its indices by the rand rule or a
// stride, with calls out or not.
inline Model random_model(bool rand_rule, bool calls)
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

} // namespace made_up
