// loadgrid2: read twenty stack arrays of 600 elements at random indices,
// 600 steps a pass, 1000 passes.  rand is never seeded, so every run
// draws the same indices from the same C library.
#include <cstdlib>

#include "grid.h"

int main()
{
	int len = 600;
	GRID(len);

	for (int pass = 0; pass < PASSES; pass++)
		for (int s = 0; s < len; s++) {
			std::int64_t i = rand() % len;
			STEP(i);
		}
	return 0;
}
