"""cachegrind's output file: reading one, and writing one as cachegrind
writes it."""
import re

from .caches import LEVELS
from .messages import Failure


EVENTS = "Ir I1mr ILmr Dr D1mr DLmr Dw D1mw DLmw".split()


def by_function(places):
    """Events by (file, function, line) summed by function."""
    out = {}
    for (_, fn, _), costs in places.items():
        old = out.get(fn, [0] * len(costs))
        out[fn] = [a + b for a, b in zip(old, costs)]
    return out


class Report:
    """A cachegrind output file: its desc lines, the events of each line
    of each function by (file, function, line), each function's events,
    and their sum (the summary line)."""

    def __init__(self, text):
        self.desc, self.places = [], {}
        self.summary = None
        fn = None
        fl = "???"
        for n, line in enumerate(text.splitlines(), 1):
            key, _, rest = line.partition(":")
            if line.startswith("desc: "):
                self.desc.append(line)
            elif key == "events":
                if rest.split() != EVENTS:
                    raise Failure(f"cachegrind: events {rest.strip()}, not "
                                  "the nine of a cache simulation")
            elif key == "summary":
                self.summary = self._numbers(rest.split(), n)
            elif line.startswith("fn="):
                fn = line[3:]
            elif line.startswith("fl="):
                fl = line[3:]
            elif line[:1].isdigit() and fn is not None:
                number, *words = line.split()
                costs = self._numbers(words, n)
                key = (fl, fn, int(number))
                old = self.places.get(key, [0] * len(EVENTS))
                self.places[key] = [a + b for a, b in zip(old, costs)]
            elif not line.startswith("cmd:") and line:
                raise Failure(f"cachegrind: line {n}: '{line[:40]}'")
        self.functions = by_function(self.places)
        if self.summary is None or not self.functions:
            raise Failure("cachegrind: no summary or no functions")

    @staticmethod
    def _numbers(words, n):
        if len(words) > len(EVENTS) or not all(w.isdigit() for w in words):
            raise Failure(f"cachegrind: line {n}: not {len(EVENTS)} counts")
        return [int(w) for w in words] + [0] * (len(EVENTS) - len(words))


def desc(level, g):
    size, assoc, line = g
    shape = "direct-mapped" if assoc == 1 else f"{assoc}-way associative"
    return f"desc: {level} cache:         {size} B, {line} B, {shape}"


def descs(lines):
    """SIZE, ASSOC, LINE of I1, D1 and LL from cachegrind's desc lines."""
    if len(lines) != len(LEVELS):
        raise Failure(f"cachegrind: {len(lines)} desc lines, want "
                            f"{len(LEVELS)}")
    out = []
    for level, line in zip(LEVELS, lines):
        m = re.fullmatch(rf"desc: {level} cache: +(\d+) B, (\d+) B, "
                         r"(?:(\d+)-way associative|(direct-mapped))", line)
        if not m:
            raise Failure(f"cachegrind: '{line}'")
        out.append((int(m[1]), int(m[3] or 1), int(m[2])))
    return out


def summary(places):
    """The sum of every line's events: the summary line's."""
    return [sum(c) for c in zip(*places.values())]


def cache_options(caches):
    """cachegrind's --I1, --D1 and --LL options for three geometries."""
    return [f"--{level}=" + ",".join(map(str, g))
            for level, g in zip(LEVELS, caches)]


def report_text(caches, cmd, places):
    """A report as cachegrind writes it: by file, function and line."""
    out = [desc(level, g) for level, g in zip(LEVELS, caches)]
    out += [f"cmd: {cmd}", "events: " + " ".join(EVENTS) + " "]
    file = name = None
    for key in sorted(places, key=lambda k: (k[0].encode(), k[1].encode(),
                                             k[2])):
        if key[0] != file:
            file, name = key[0], None
            out.append(f"fl={file}")
        if key[1] != name:
            name = key[1]
            out.append(f"fn={name}")
        out.append(f"{key[2]} " + " ".join(map(str, places[key])))
    out.append("summary: " + " ".join(map(str, summary(places))))
    return "\n".join(out) + "\n"
