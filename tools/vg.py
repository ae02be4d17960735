"""What the tools ask of loadgrid-model and of Valgrind, and how they read
the answers: each command run as a user would run it, its output parsed.

Valgrind's own measurement of a kernel's canonical run is taken through
`loadgrid-model run KERNEL -- valgrind ...`, in a folder of its own that
is removed afterwards.
"""
import os
import re
import shutil
import subprocess
import tempfile

# The kernels, as the tools draw and measure them: the same table as the
# command's (runs/kernels.h), which the tools read only through its output.
PASSES, STEPS, ARRAYS, ELEM = 1000, 600, 20, 4
READS = PASSES * STEPS * ARRAYS
LENGTH = {"loadgrid1": 600, "loadgrid2": 600, "loadgrid3": 1800}
WALK = {"loadgrid1": "in order", "loadgrid2": "at random",
        "loadgrid3": "every third element"}
NAMES = tuple(LENGTH)

LEVELS = ("I1", "D1", "LL")
EVENTS = "Ir I1mr ILmr Dr D1mr DLmr Dw D1mw DLmw".split()
MIN_LINE = 16


class Failure(Exception):
    """A command that did not do its job; the text says which and why."""


def valgrind():
    return shutil.which("valgrind") or "valgrind"


def spelled(g):
    """A geometry as the command and cachegrind spell it."""
    return ",".join(map(str, g))


def ask(argv, **kw):
    """A command's standard output; any other status than 0 fails, with
    the last line it wrote on standard error."""
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    if r.returncode:
        said = r.stderr.strip().splitlines() or [f"status {r.returncode}"]
        raise Failure(f"{os.path.basename(argv[0])}: {said[-1]}")
    return r.stdout


class Model:
    """loadgrid-model at a path, asked about the canonical run of a
    kernel (a path) at some passes and stack shift."""

    def __init__(self, path):
        self.path = os.path.abspath(path)

    def __call__(self, command, kernel, *options, passes=PASSES, shift=0):
        return ask([self.path, command, kernel, "--passes", str(passes),
                    "--stack-shift", str(shift), *options])

    def misses(self, kernel, geometries, passes=PASSES, shift=0):
        """Per geometry: main's D1 read and write misses, the trace's."""
        out = self("misses", kernel, "--cache",
                   *map(spelled, geometries), passes=passes, shift=shift)
        return [tuple(map(int, line.split()[1:5]))
                for line in out.splitlines()[1:]]

    def figures(self, kernel, geometries, passes, policy, write, kinds):
        """Per geometry, the trace's figures under a policy, by the names
        of misses' header."""
        out = self("misses", kernel, "--cache", *map(spelled, geometries),
                   "--policy", policy, "--write", write,
                   *(["--kinds"] if kinds else []), passes=passes)
        head, *lines = out.splitlines()
        names = head.split()[1:]
        named = [dict(zip(names, map(int, line.split()[1:])))
                 for line in lines]
        for f in named:
            f["misses"] = f["read_misses"] + f["write_misses"]
        return named

    def facts(self, kernel, passes=PASSES):
        """The facts' lines by their first word, the rest of each split."""
        out = {}
        for line in self("facts", kernel, passes=passes).splitlines():
            key, _, rest = line.partition(" ")
            out.setdefault(key, []).append(rest)
        return out

    def indices(self, kernel, passes=PASSES):
        out = self("facts", kernel, "--indices", passes=passes)
        return [int(i) for i in out.split()]

    def bases(self, kernel):
        return [int(a, 16) for a in self.facts(kernel, 1)["bases"][0].split()]

    def cachegrind_file(self, kernel, options):
        """cachegrind's output file for the canonical run of kernel, with
        options such as --D1=SIZE,ASSOC,LINE."""
        with tempfile.TemporaryDirectory(prefix="loadgrid-vg.") as tmp:
            ask([self.path, "run", os.path.abspath(kernel), "--", valgrind(),
                 "--tool=cachegrind", "--cache-sim=yes", *options,
                 "--cachegrind-out-file=cg.out", "--vgdb-prefix=vgdb-pipe"],
                cwd=tmp)
            with open(os.path.join(tmp, "cg.out")) as f:
                return f.read()

    def cachegrind(self, kernel, geometry):
        """Data reads, writes, D1 read and write misses of main measured by
        cachegrind, for one D1 geometry "SIZE,ASSOC,LINE"."""
        report = Report(self.cachegrind_file(kernel, [f"--D1={geometry}"]))
        if "main" not in report.functions:
            raise Failure("cachegrind: no counts for main in its output")
        costs = dict(zip(EVENTS, report.functions["main"]))
        return tuple(costs[e] for e in ("Dr", "Dw", "D1mr", "D1mw"))


def by_function(places):
    """Events by (file, function, line) summed by function."""
    out = {}
    for (_, fn, _), costs in places.items():
        old = out.get(fn, [0] * len(costs))
        out[fn] = [a + b for a, b in zip(old, costs)]
    return out


def summary(places):
    return [sum(c) for c in zip(*places.values())]


class Report:
    """A cachegrind output file: its desc lines, the events of each
    (file, function, line), each function's events and the summary."""

    def __init__(self, text):
        self.desc, self.places, self.summary = [], {}, None
        fn, fl = None, "???"
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
                place = (fl, fn, int(number))
                old = self.places.get(place, [0] * len(EVENTS))
                self.places[place] = [
                    a + b for a, b in zip(old, self._numbers(words, n))]
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

    def caches(self):
        """SIZE, ASSOC, LINE of I1, D1 and LL from the desc lines."""
        if len(self.desc) != len(LEVELS):
            raise Failure(f"cachegrind: {len(self.desc)} desc lines, want "
                          f"{len(LEVELS)}")
        out = []
        for level, line in zip(LEVELS, self.desc):
            m = re.fullmatch(rf"desc: {level} cache: +(\d+) B, (\d+) B, "
                             r"(?:(\d+)-way associative|(direct-mapped))",
                             line)
            if not m:
                raise Failure(f"cachegrind: '{line}'")
            out.append((int(m[1]), int(m[3] or 1), int(m[2])))
        return out


def narrowest_line(least=MIN_LINE):
    """The narrowest line cachegrind takes on this machine: least, unless
    it refuses lines narrower than the widest register, which it names."""
    line = f"{least * 64},1,{least}"
    argv = [valgrind(), "--tool=cachegrind", "--cache-sim=yes",
            f"--I1={line}", f"--D1={line}", f"--LL={line}",
            "--cachegrind-out-file=/dev/null", "--vgdb=no", "/bin/true"]
    r = subprocess.run(argv, capture_output=True, text=True, env={},
                       cwd="/")
    said = " ".join(r.stderr.split())
    m = re.search(r"larger than the maximum register size \((\d+)\)", said)
    if m and r.returncode:
        return int(m[1])
    if r.returncode:
        raise Failure(f"cachegrind: lines of {least} bytes: "
                      f"{said[-120:] or 'status ' + str(r.returncode)}")
    return least
