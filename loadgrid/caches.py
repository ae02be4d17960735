"""cachegrind's rules for a cache, in one place: the engine keeps the same
(`loadgrid-engine cache SIZE,ASSOC,LINE` answers by them), and a test
holds the two together.

Each number fits a C int, the line is a power of two of at least MIN_LINE
bytes and at least as wide as the machine's widest register (which only
Valgrind can tell, so the store asks it), the sets are a power of two, and
the cache holds more than one line.
"""
import re

LIMIT = 1 << 31  # every number below it
MIN_LINE = 16
# Caches below LIMIT tell addresses apart only modulo LIMIT, so stack
# shifts are taken within half of it either way.
MAX_SHIFT = LIMIT >> 1
LEVELS = ("I1", "D1", "LL")
RULES = """\
SIZE, ASSOC and LINE are in bytes; a k or m suffix means KiB or MiB (32k).
As cachegrind wants them: each below 2 GiB, the line a power of two at
least as wide as the machine's widest register (32 bytes with AVX), the
sets a power of two, more than one line."""


class Refused(ValueError):
    """A cache that cachegrind would not take, and why."""


def number(text):
    """A number of bytes, with an optional k or m suffix."""
    m = re.fullmatch(r"([0-9]+)([kKmM]?)", text)
    if not m:
        raise Refused(f"'{text}' is not a number of bytes")
    return int(m[1]) << {"": 0, "k": 10, "K": 10, "m": 20, "M": 20}[m[2]]


def geometry(text):
    """SIZE,ASSOC,LINE as cachegrind's --D1 takes it, checked as it checks
    them: the three numbers, or Refused saying why not."""
    parts = text.split(",")
    if len(parts) != 3:
        raise Refused("want SIZE,ASSOC,LINE")
    size, assoc, line = (number(p) for p in parts)
    if not size or not assoc or not line:
        raise Refused("sizes must be above zero")
    if max(size, assoc, line) >= LIMIT:
        raise Refused(f"a number of {LIMIT >> 30} GiB or more")
    if line & (line - 1):
        raise Refused("the line size is not a power of two")
    if line < MIN_LINE:
        raise Refused(f"lines under {MIN_LINE} bytes")
    if size % (line * assoc):
        raise Refused("the size is not a whole number of sets")
    sets = size // line // assoc
    if sets & (sets - 1):
        raise Refused("the set count is not a power of two")
    if size <= line:
        raise Refused("the cache holds one line at most")
    return size, assoc, line


def spelled(g):
    """A geometry as cachegrind's options spell it."""
    return ",".join(map(str, g))


def narrow(geometries, narrowest):
    """Refuses caches whose lines are narrower than the narrowest line
    cachegrind takes on this machine."""
    for g in geometries:
        if g[2] < narrowest:
            raise Refused(f"{spelled(g)}: lines under {narrowest} bytes, the "
                          "widest register here")
