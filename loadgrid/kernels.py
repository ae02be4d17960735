"""The kernels' table: what each loadgrid kernel does, for the build, the
model, the tools and the pictures alike.  (The tests keep a table of
their own on purpose, to check the kernels against.)

Run as a program, it prints the kernels' names, a line each, for the
build.
"""
import collections

PASSES, STEPS, ARRAYS, ELEM = 1000, 600, 20, 4

# length: elements per array; rule: how step s of a pass picks its index,
# "stride K" (K * s) or "rand" (the C library's unseeded rand() % length);
# walk: how that reads, in words; block: the unused bytes in main's frame.
Kernel = collections.namedtuple("Kernel", "name length rule walk block")

KERNELS = {k.name: k for k in (
    Kernel("loadgrid1", 600, "stride 1", "in order", 0),
    Kernel("loadgrid2", 600, "rand", "at random", 0),
    Kernel("loadgrid3", 1800, "stride 3", "every third element", 8000),
)}
NAMES = tuple(KERNELS)
READS = PASSES * STEPS * ARRAYS  # array reads in a run, every kernel


def spoken(names=NAMES):
    """Names as a list in words: "a, b or c"."""
    return ", ".join(names[:-1]) + f" or {names[-1]}"


if __name__ == "__main__":
    print("\n".join(NAMES))
