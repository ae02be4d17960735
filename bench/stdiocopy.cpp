// C stdio's per-byte copy, getc and putc, for comparison with bytecopy.
#include <cstdio>

int main(int, char *argv[])
{
	FILE *in = fopen(argv[1], "rb"), *out = fopen(argv[2], "wb");
	if (!in || !out)
		return 1;
	int c;
	while ((c = getc(in)) != EOF)
		putc(c, out);
	return (fclose(in) | fclose(out)) ? 1 : 0;
}
