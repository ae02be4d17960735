"""What the three loadgrid kernels do, for the model, the tools and the
tests alike."""
import collections

PASSES, STEPS, ARRAYS, ELEM = 1000, 600, 20, 4

# length: elements per array; rule: how step s of a pass picks its index,
# "stride K" (K * s) or "rand" (the C library's unseeded rand() % length).
Kernel = collections.namedtuple("Kernel", "name length rule")

KERNELS = {k.name: k for k in (
    Kernel("loadgrid1", 600, "stride 1"),
    Kernel("loadgrid2", 600, "rand"),
    Kernel("loadgrid3", 1800, "stride 3"),
)}
NAMES = tuple(KERNELS)
