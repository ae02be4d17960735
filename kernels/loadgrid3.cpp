// loadgrid3: read every third element of twenty stack arrays of 1800
// elements, 1000 times.  An unused 8000-byte block in the frame pushes
// the arrays that much further down the stack.
#include "grid.h"

int main()
{
	[[maybe_unused]] char reserved[8000];
	int len = 1800;
	GRID(len);
	int i = 0;
	int steps = len / 3;

	for (int pass = 0; pass < PASSES; pass++) {
		for (int s = 0; s < steps; s++) {
			STEP(i);
			i += 3;
		}
		i = 0;
	}
	return 0;
}
