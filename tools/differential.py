"""Random differential test: loadgrid-model's answers against cachegrind
run on this machine, for random cases drawn from a seed.

    differential.py BUILD_DIR [--seed N] [--count N] [--only K]

A case is a kernel (loadgrid1, 2 or 3), a build of it (g++ or clang++,
each with and without -g; made here from the sources), a run (the
canonical one, or one started from a shell: its environment empty,
without a locale, with LANG=C or long; its kernel typed as ./name, by an
absolute path or through .., from its own folder or another) and a
hierarchy from the whole space that cachegrind takes here (any line from
the narrowest, 1 to 32 ways, sizes up to 1 GiB, some levels left to
cachegrind's own choice).  It compares predict's whole file, every fl=,
fn= and line row and the summary, misses' figures of main for the D1,
and the D1's row of a surface around it, with one cachegrind run of the
same run.  A canonical run moved lower by padding its environment
(--stack-shift) is compared by check, which predicts it from its own
model and runs cachegrind itself.  And, for 1 to 3 passes of the same
run and another cache (1 to 64 sets, 1 to 8 ways, lines from the
narrowest to four times that) under a replacement policy (LRU, FIFO,
tree-PLRU or random) and a write policy, misses' figures of the din
trace, and half the time its kinds of miss, with a plain simulator's
(tools/plain.py), and main's misses beside them with those misses gives
without a policy.

It prints the seed first, a line for each case that differs or fails,
and "N cases, M differ"; --only K runs case K of the seed alone, to
repeat it.  Status 1 if any case differs or fails.  Everything it makes
lies in one folder under /tmp, removed on leaving, on errors and signals
too.
"""
import argparse
import concurrent.futures
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SOURCE)
from tools import vg  # noqa: E402
from tools.plain import din, plain_figures  # noqa: E402
KERNELS = ("loadgrid1", "loadgrid2", "loadgrid3")
LEVELS = ("I1", "D1", "LL")
MAX_CACHE = 1 << 30
VALGRIND = shutil.which("valgrind") or "valgrind"
AGREE = (r"all [0-9]+ functions x 9 events, on [0-9]+ lines, and the "
         r"summary agree\n")


class Failed(Exception):
    """A command that did not do its job: the case fails."""


def run(argv, **kw):
    """A command's output; any status but 0, or a signal, fails."""
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    if r.returncode:
        said = (r.stderr.strip().splitlines() or [f"status {r.returncode}"])
        raise Failed(f"{os.path.basename(argv[0])}: {said[-1]}")
    return r.stdout


def builds(folder):
    """Each kernel built each way that a compiler here allows, with the
    build's own flags: {build: folder of its three kernels}.  The -g builds
    name their source two ways, which their line tables keep: relative to
    the folder compiled in, and by an absolute path from another."""
    ways = {"g++": ["g++"], "clang++": ["clang++"], "g++ -g": ["g++", "-g"],
            "clang++ -g": ["clang++", "-g"]}
    out = {}
    for name, (cxx, *extra) in ways.items():
        if not shutil.which(cxx):
            say(f"{cxx}: not found; no {name} build")
            continue
        where = os.path.join(folder, name.replace(" ", ""))
        os.makedirs(where)
        relative = name == "g++ -g"
        for k in KERNELS:
            source = os.path.join("kernels", f"{k}.cpp")
            run([cxx, "-std=gnu++17", "-O0", "-fno-pie", "-Wno-uninitialized",
                 *extra, "-static", "-o", os.path.join(where, k),
                 source if relative else os.path.join(SOURCE, source)],
                cwd=SOURCE if relative else where)
        out[name] = where
    return out


def say(what):
    print(f"differential: {what}", file=sys.stderr, flush=True)


def geometry(rng, narrowest):
    """A cache that cachegrind takes here: lines from the narrowest up,
    1 to 32 ways, and any power of two of sets up to 1 GiB in all."""
    line = narrowest << rng.randrange(6)
    ways = rng.choice([rng.randrange(1, 33), 1 << rng.randrange(6)])
    most = (MAX_CACHE // (line * ways)).bit_length() - 1
    sets = 1 << rng.choice([rng.randrange(most + 1),
                            rng.randrange(min(most, 10) + 1)])
    if sets * ways == 1:
        sets = 2
    return (sets * ways * line, ways, line)


def hierarchy(rng, narrowest):
    """Per level a geometry, or None: cachegrind's own."""
    return {level: None if rng.random() < 0.15 else geometry(rng, narrowest)
            for level in LEVELS}


def environment(rng, kind, cache):
    """An environment of a kind, as names and values in bytes."""
    if kind == "empty":
        return {}
    env = {b"PATH": b"/usr/bin:/bin", b"HOME": b"/nonexistent",
           b"LOADGRID_MODEL_CACHE": cache.encode()}
    if kind == "LANG=C":
        env[b"LANG"] = b"C"
    elif kind == "long":
        for k in range(rng.randrange(1, 40)):
            env[f"V{k}".encode()] = bytes(rng.choice(b"abcxyz/=. 0")
                                          for _ in range(rng.randrange(300)))
        if rng.random() < 0.5:
            env[b"_"] = b"/usr/bin/env"
    return env


class Case:
    """One case drawn from the seed, and how to run both sides of it."""

    def __init__(self, rng, number, kernels, narrowest, scratch):
        self.number = number
        self.kernel = rng.choice(KERNELS)
        self.build = rng.choice(sorted(kernels))
        self.file = os.path.join(kernels[self.build], self.kernel)
        self.caches = hierarchy(rng, narrowest)
        self.cache = os.path.join(scratch, "cache")
        self.policy = rng.choice(["lru", "fifo", "plru",
                                  f"random:{rng.randrange(1 << 32)}"])
        self.write = rng.choice(["back", "through"])
        ways = 1 << rng.randrange(4) if self.policy == "plru" \
            else rng.randrange(1, 9)
        sets, line = 1 << rng.randrange(7), narrowest << rng.randrange(3)
        self.plain = (max(sets, 2 // ways), ways, line)
        self.passes = rng.choice([1, 2, 3])
        self.kinds = rng.random() < 0.5
        self.here = rng.random() < 0.4
        self.moved = 0 if self.here or rng.random() < 0.85 else \
            16 * rng.randrange(1, 300)
        if self.here:
            self.env_kind = rng.choice(["empty", "no locale", "LANG=C",
                                        "long"])
            self.env = environment(rng, self.env_kind, self.cache)
            folder = kernels[self.build]
            other = os.path.join(scratch, "elsewhere")
            self.cwd, self.path = rng.choice([
                (folder, f"./{self.kernel}"),
                (folder, self.file),
                (folder, f"../{os.path.basename(folder)}/{self.kernel}"),
                (other, self.file),
                (other, os.path.relpath(self.file, other)),
            ])

    def __str__(self):
        run = (f"--here {self.path} from {self.cwd}, {self.env_kind} "
               f"environment" if self.here else
               f"canonical run {self.moved} bytes lower" if self.moved else
               "canonical run")
        return (f"case {self.number}: {self.kernel} ({self.build}), {run}, "
                f"{' '.join(self.options()) or 'cachegrind own caches'}; "
                f"{self.policy}, write-{self.write}, {self.passes} passes"
                f"{', the kinds' if self.kinds else ''}")

    def options(self):
        return [f"--{level}={vg.spelled(g)}"
                for level, g in self.caches.items() if g]

    def model(self, model, *args):
        """loadgrid-model's output for this case's run."""
        command, *options = args
        if not self.here:
            return run([model, command, self.file, *options],
                       env=dict(os.environ, LOADGRID_MODEL_CACHE=self.cache))
        return run([model, command, "--here", self.path, *options],
                   env=self.shell_env(model), cwd=self.cwd)

    def shell_env(self, program):
        """The environment as a shell passes it on to program."""
        if b"_" not in self.env:
            return self.env
        return {**self.env, b"_": os.fsencode(program)}

    def cachegrind(self, model, out):
        """cachegrind's file of the same run."""
        # The gdb server's pipes beside the output, not in /tmp.
        argv = [VALGRIND, "--tool=cachegrind", "--cache-sim=yes",
                *self.options(), f"--cachegrind-out-file={out}",
                f"--vgdb-prefix={out}.vgdb-pipe"]
        if self.here:
            run([*argv, self.path], env=self.shell_env(VALGRIND), cwd=self.cwd)
        else:
            run([model, "run", self.file, "--", *argv],
                env=dict(os.environ, LOADGRID_MODEL_CACHE=self.cache),
                cwd=os.path.dirname(out))
        with open(out) as f:
            return f.read()


def differences(case, model, folder):
    """What differs between the model and cachegrind in a case: [] if
    nothing, after comparing at least one figure."""
    if case.moved:
        return moved_differences(case, model) + policy_differences(case, model)
    out = os.path.join(folder, f"cg.{case.number}")
    measured = case.cachegrind(model, out)
    os.remove(out)
    predicted = case.model(model, "predict", *case.options())
    same_cmd = case.here  # the canonical run's folder is drawn anew
    keep = [line for line in measured.splitlines()
            if same_cmd or not line.startswith("cmd:")]
    mine = [line for line in predicted.splitlines()
            if same_cmd or not line.startswith("cmd:")]
    if not any(line.startswith("summary:") for line in keep):
        raise Failed("cachegrind wrote no summary")
    found = []
    if keep != mine:
        diff = [f"  model {a!r} cachegrind {b!r}" for a, b in
                zip(mine + [""] * len(keep), keep + [""] * len(mine))
                if a != b]
        found.append(f"predict differs in {len(diff)} lines:\n" +
                     "\n".join(diff[:6]))
    report = vg.Report(measured)
    geo = vg.spelled(report.caches()[1])
    row = case.model(model, "misses", "--cache", geo).splitlines()[-1].split()
    main = report.functions["main"]
    theirs = [main[vg.EVENTS.index(e)] for e in ("D1mr", "D1mw")]
    if [int(row[1]), int(row[2])] != theirs:
        found.append(f"misses --cache {geo}: model {row[1:3]}, cachegrind "
                     f"{theirs}")
    # The D1's row of a surface around it: set counts from a quarter to
    # twice its own, and every associativity up to its own.
    size, ways, line = map(int, geo.split(","))
    sets = size // ways // line
    span = ["--lines", str(line), "--sets", f"{max(1, sets // 4)}-{sets * 2}",
            "--ways", f"1-{ways}"]
    lines = case.model(model, "surface", *span).splitlines()
    mine = [r.split(",") for r in lines if r.startswith(f"{size},{ways},")]
    if len(mine) != 1 or list(map(int, mine[0][4:])) != \
            [*theirs, int(row[3]), int(row[4])]:
        found.append(f"surface {' '.join(span)}: model {mine}, cachegrind "
                     f"{theirs}, misses {row[3:5]}")
    return found + policy_differences(case, model)


def moved_differences(case, model):
    """check's differences on the canonical run moved lower by padding its
    environment, which it predicts from that run's own model and measures
    with cachegrind itself."""
    argv = [model, "check", case.file, "--stack-shift", str(case.moved),
            *case.options()]
    r = subprocess.run(argv, capture_output=True, text=True,
                       env=dict(os.environ, LOADGRID_MODEL_CACHE=case.cache))
    if r.returncode == 0 and re.match(AGREE, r.stdout):
        return []
    if r.returncode == 1 and "DIFFERENT" in r.stdout:
        return ["check --stack-shift differs:\n" + r.stdout.rstrip()]
    said = r.stderr.strip().splitlines() or [f"status {r.returncode}"]
    raise Failed(f"check --stack-shift {case.moved}: {said[-1]}")


def policy_differences(case, model):
    """What differs between misses' figures under the case's policies and
    the plain simulator's over the same passes of the din trace, and
    between main's misses beside them and those misses gives alone."""
    sets, ways, line = case.plain
    geo = f"{sets * ways * line},{ways},{line}"
    options = ["--passes", str(case.passes), "--cache", geo, "--policy",
               case.policy, "--write", case.write,
               *(["--kinds"] if case.kinds else [])]
    row = case.model(model, "misses", *options).splitlines()[1].split()
    got = [int(v) for v in row[3:]]
    trace = case.model(model, "trace", "--passes", str(case.passes))
    want = plain_figures(din(trace), sets, ways, line, case.policy,
                         case.write == "back")
    if not case.kinds:  # whose repeating passes are made set by set
        want = want[:7]
    found = []
    if got != want:
        found.append(f"misses {' '.join(options)}: model {got}, plain {want}")
    alone = case.model(model, "misses", "--passes", str(case.passes),
                       "--cache", geo).splitlines()[1].split()
    if row[1:3] != alone[1:3]:
        found.append(f"misses {' '.join(options)}: main's misses {row[1:3]},"
                     f" without a policy {alone[1:3]}")
    return found


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", help="the build folder, with loadgrid-model")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--count", type=int, default=30)
    p.add_argument("--only", type=int, default=None, metavar="K")
    a = p.parse_args()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(
        1 << 32)
    print(f"seed {seed}", flush=True)
    model = os.path.abspath(os.path.join(a.build, "loadgrid-model"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    with tempfile.TemporaryDirectory(prefix="loadgrid-differential.",
                                     dir="/tmp") as scratch:
        os.makedirs(os.path.join(scratch, "elsewhere"))
        say("building the kernels with each compiler")
        kernels = builds(os.path.join(scratch, "kernels"))
        narrowest = vg.narrowest_line()
        rng = random.Random(seed)
        cases = [Case(rng, k, kernels, narrowest, scratch)
                 for k in range(a.count if a.only is None else a.only + 1)]
        if a.only is not None:
            cases = cases[a.only:]
        say(f"{len(cases)} cases, two at a time")

        def one(case):
            try:
                return case, differences(case, model, scratch)
            except (Failed, vg.Failure) as e:
                return case, [f"failed: {e}"]
        bad = 0
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for n, (case, found) in enumerate(pool.map(one, cases), 1):
                if found:
                    bad += 1
                    print(f"{case}\n  " + "\n  ".join(found), flush=True)
                if n % 25 == 0 and n < len(cases):
                    say(f"{n} of {len(cases)} cases, {bad} differ")
        print(f"{len(cases)} cases, {bad} differ (seed {seed})")
        return 1 if bad or not cases else 0


if __name__ == "__main__":
    sys.exit(main())
