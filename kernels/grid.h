// The frame shared by the loadgrid kernels: twenty arrays on main's stack,
// read PASSES times over, one element of every array per step.
//
// The kernels are built at -O0, so every read, addition and store of the
// sum below happens at run time even though nothing uses the result.
// The arrays are never written: they hold whatever the stack held, and
// the sums are unsigned so that they wrap instead of overflowing.
#include <cstdint>

#define PASSES 1000

// Reserve arrays a0..a19 of len elements each, a0 highest on the stack,
// and the group sum.
#define GRID(len)                                                        \
	std::uint32_t a0[len], a1[len], a2[len], a3[len], a4[len],       \
	    a5[len], a6[len], a7[len], a8[len], a9[len], a10[len],       \
	    a11[len], a12[len], a13[len], a14[len], a15[len], a16[len],  \
	    a17[len], a18[len], a19[len];                                \
	[[maybe_unused]] std::uint32_t sum

// Read element i of every array in order, four arrays to a group; each
// group's sum overwrites the one before.  A bare block, not do-while(0):
// at -O0 that would cost clang a jump per step.
#define STEP(i)                                     \
	{                                           \
		sum = a0[i] + a1[i] + a2[i] + a3[i];        \
		sum = a4[i] + a5[i] + a6[i] + a7[i];        \
		sum = a8[i] + a9[i] + a10[i] + a11[i];      \
		sum = a12[i] + a13[i] + a14[i] + a15[i];    \
		sum = a16[i] + a17[i] + a18[i] + a19[i];    \
	}
