"""The engine client: asks loadgrid-engine about one learned model file
and reads what it says.  Any status but 0 is a failure, said as this
program's; so is any answer not of the shape asked for."""
import itertools
import re
import signal
import subprocess
import sys

from .cachegrind_out import EVENTS
from .caches import spelled
from .kernels import STEPS
from .messages import Failure, status
from .valgrind import records


# The din trace's figures as the engine prints them, a cache a line.
FIGURES = ("reads", "writes", "read_misses", "write_misses", "evictions",
           "writebacks", "full_misses", "compulsory", "dirty")


class Engine:
    def __init__(self, path):
        self.path = path
        self.running = set()  # the processes asked and not yet done

    def ask(self, model, *args):
        """What the engine prints for a model and a command."""
        with subprocess.Popen([self.path, model, *map(str, args)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, text=True) as p:
            self.running.add(p)
            try:
                out, err = p.communicate()
            finally:
                self.running.discard(p)
        if p.returncode:
            raise Failure(engine_error(p.returncode, err))
        return out

    def stop(self):
        """Kills whatever is still running, as when the program stops
        with questions asked on other threads."""
        for p in list(self.running):
            p.kill()
            p.wait()

    def misses_at(self, model, geometries, n, shifts):
        """Per stack shift, per geometry: main's D1 read and write misses
        and the din trace's, in one call."""
        out = self.ask(model, "misses", n, ",".join(map(str, shifts)),
                       *map(spelled, geometries))
        got = rows(out, len(shifts) * len(geometries), 4)
        k = len(geometries)
        return [got[i:i + k] for i in range(0, len(got), k)]

    def report(self, model, hierarchies, n, shift):
        """Per hierarchy (three geometries, I1, D1, LL): the nine events of
        each line of each function as cachegrind counts them, by (file,
        function, line), "???" and 0 where they are not known."""
        out = self.ask(model, "report", n, shift,
                       *(spelled(g) for h in hierarchies for g in h))
        lines = out.splitlines()
        reports = []
        while lines:
            head = lines.pop(0).split()
            if len(head) != 2 or head[0] != "report" or \
                    not head[1].isdigit() or int(head[1]) > len(lines):
                raise Failure("loadgrid-engine: a report cut short")
            reports.append(places(lines[:int(head[1])]))
            del lines[:int(head[1])]
        if len(reports) != len(hierarchies):
            raise Failure(f"loadgrid-engine: {len(reports)} reports for "
                          f"{len(hierarchies)} hierarchies")
        return reports

    def figures(self, model, geometries, n, shift, policy, write, kinds):
        """Per geometry, the din trace's figures under a policy, by name
        (FIGURES), with the kinds of miss derived from them: capacity, the
        misses of a fully associative LRU cache of as many lines less the
        compulsory ones (the lines touched), and conflict, the misses less
        those of the fully associative cache."""
        out = self.ask(model, "figures", n, shift, policy, write,
                       "kinds" if kinds else "-", *map(spelled, geometries))
        named = [dict(zip(FIGURES, r)) for r in
                 rows(out, len(geometries), len(FIGURES))]
        for f in named:
            f["misses"] = f["read_misses"] + f["write_misses"]
            f["capacity"] = f["full_misses"] - f["compulsory"]
            f["conflict"] = f["misses"] - f["full_misses"]
        return named

    def accesses(self, model, n, shift):
        """main's data reads and writes, as cachegrind counts them."""
        return rows(self.ask(model, "accesses", n, shift), 1, 2)[0]

    def indices(self, model, n, shift):
        """The index that each step of the run reads."""
        return [r[0] for r in rows(self.ask(model, "indices", n, shift),
                                   n * STEPS, 1)]

    def trace(self, model, n, shift, opts):
        """Writes the trace to standard output; a reader that stops early
        stops it (status 141, as for a shell pipeline)."""
        return self.stream(model, "trace", n, shift, *opts)

    def lab(self, model, n, shift, s, e, b, verbose):
        """Writes the lab's counts (and with verbose each record first)
        to standard output, as trace does."""
        return self.stream(model, "lab", n, shift, s, e, b,
                           *(["verbose"] if verbose else []))

    def stream(self, model, *args):
        """Runs the engine with its output on standard output."""
        sys.stdout.flush()
        r = subprocess.run([self.path, model, *map(str, args)],
                           stderr=subprocess.PIPE, text=True)
        if r.returncode == -signal.SIGPIPE:
            return 128 + signal.SIGPIPE
        if r.returncode:
            raise Failure(engine_error(r.returncode, r.stderr))
        return 0

    def first_difference(self, model, n, seen, whole):
        """Where the model's records for a run of n passes first differ
        from the records lackey saw (all of them if whole, else as many as
        it saw): (k, mine, real), or None where none do."""
        with subprocess.Popen([self.path, model, "trace", str(n), "0",
                               "lackey", "fetches"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as p:
            try:
                got = records(p.stdout)
                if not whole:
                    got = itertools.islice(got, len(seen))
                for k, (mine, real) in enumerate(
                        itertools.zip_longest(got, seen)):
                    if mine != real:
                        if mine is None and p.wait():
                            raise Failure(
                                engine_error(p.returncode, p.stderr.read()))
                        return k, mine, real
                if whole and p.wait():
                    raise Failure(engine_error(p.returncode, p.stderr.read()))
            finally:
                p.kill()
        return None


def places(lines):
    """A report's lines, "EVENTS... LINE FUNCTION<tab>FILE", by (file,
    function, line)."""
    out = {}
    for line in lines:
        *counts, number, rest = line.split(" ", len(EVENTS) + 1)
        name, tab, file = rest.rpartition("\t")
        if len(counts) != len(EVENTS) or not tab or \
                not all(c.isdigit() for c in [*counts, number]):
            raise Failure(f"loadgrid-engine: '{line[:40]}'")
        key = (file, name, int(number))
        old = out.get(key, [0] * len(counts))
        out[key] = [a + int(b) for a, b in zip(old, counts)]
    return out


def engine_error(code, said):
    """What the engine said, or how it ended."""
    if code > 0 and said.strip():
        return said.strip().removeprefix("loadgrid-engine: ")
    return f"loadgrid-engine: {status(code)}"


def rows(text, count, width):
    """count lines of width numbers, or a failure."""
    out = [tuple(map(int, line.split())) for line in text.splitlines()
           if re.fullmatch(r"[0-9]+( [0-9]+)*", line)]
    if len(out) != len(text.splitlines()) or len(out) != count or \
            any(len(r) != width for r in out):
        raise Failure(f"loadgrid-engine: {len(text.splitlines())} lines "
                      f"where {count} of {width} numbers were wanted")
    return out
