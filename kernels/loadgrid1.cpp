// loadgrid1: read twenty stack arrays of 600 elements in order, 1000 times.
#include "grid.h"

int main()
{
	int len = 600;
	GRID(len);

	for (int pass = 0; pass < PASSES; pass++)
		for (int s = 0; s < len; s++)
			STEP(s);
	return 0;
}
