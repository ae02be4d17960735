// The random policy's generator: xorshift64*, small and the same on every
// machine, so that a seed names one run of evictions.
#pragma once

#include <cstdint>

// Seeded with SEED, 0 taken as 1 (a state of 0 would stay 0).
struct XorShift64Star {
	std::uint64_t state;
	explicit XorShift64Star(std::uint64_t seed) : state(seed ? seed : 1) {}
	std::uint64_t next()
	{
		state ^= state >> 12;
		state ^= state << 25;
		state ^= state >> 27;
		return state * 0x2545F4914F6CDD1DULL;
	}
	bool operator==(const XorShift64Star &o) const { return state == o.state; }
};
