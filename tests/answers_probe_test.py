"""The engine's answers as a library (answers.h, through answers-probe), on
each kernel's learned model, against what is measured or made outside it:
reports by place against cachegrind run on the canonical run (and, through
loadgrid-model check, on runs really moved lower); main's D1 misses at any
pass and shift against loadgrid-model's misses; refusals by the rules its
help gives; and where a trace first differs from the model's, against
differences made here at known places in the model's own trace.

Environment: PROBE (the answers-probe program), MODEL (loadgrid-model),
BINDIR (the kernels), LOADGRID_MODEL_CACHE.  SEED repeats a run; each run
draws a fresh one otherwise.
"""
import os
import random
import subprocess
import tempfile
import unittest

PROBE = os.environ["PROBE"]
MODEL = os.environ["MODEL"]
BINDIR = os.environ["BINDIR"]
KERNELS = [os.path.join(BINDIR, k) for k in ("loadgrid1", "loadgrid2",
                                               "loadgrid3")]
PASSES = 1000  # a kernel's whole run: --passes takes 1 to 1000
EVENTS = "Ir I1mr ILmr Dr D1mr DLmr Dw D1mw DLmw".split()
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)


def model(*args, env=None):
    r = subprocess.run([MODEL, *map(str, args)], capture_output=True,
                       text=True, env=env)
    if r.returncode:
        raise AssertionError(f"loadgrid-model {args}: {r.stderr}")
    return r.stdout


def learned(kernel):
    """The model file of a kernel's canonical run, learning it first if
    need be."""
    file, = [line[len("model "):] for line in
             model("facts", kernel).splitlines() if line.startswith("model ")]
    return file


def probe(*args, stdin=None):
    r = subprocess.run([PROBE, *map(str, args)], input=stdin,
                       capture_output=True, text=True)
    if r.returncode:
        raise AssertionError(f"answers-probe {args[1:]}: {r.stderr}")
    return r.stdout


def spelled(g):
    return ",".join(map(str, g))


def random_cache(rng):
    """SIZE, ASSOC, LINE that cachegrind takes here and the kernels' runs
    fit (their widest data access is 32 bytes; Machines below)."""
    line = rng.choice([32, 64, 64, 64, 128])
    assoc = rng.choice([1, 2, 3, 4, 8, 12, 16])
    return line * assoc << rng.randrange(1, 11), assoc, line


def places(text):
    """answers-probe's places: {(file, function, line): events}."""
    out = {}
    for row in text.splitlines():
        file, function, line, events = row.split("\t")
        out[file, function, int(line)] = [int(e) for e in events.split()]
    return out


def cachegrind_places(text):
    """A cachegrind output file's events by place."""
    out, fl, fn = {}, None, None
    for line in text.splitlines():
        if line.startswith("fl="):
            fl = line[3:]
        elif line.startswith("fn="):
            fn = line[3:]
        elif line[:1].isdigit():
            number, *counts = line.split()
            counts = [int(c) for c in counts]
            counts += [0] * (len(EVENTS) - len(counts))
            old = out.get((fl, fn, int(number)), [0] * len(EVENTS))
            out[fl, fn, int(number)] = [a + b for a, b in zip(old, counts)]
    return out


def measured(kernel, caches):
    """cachegrind's events by place on the kernel's canonical run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cachegrind.out")
        model("run", kernel, "--", "valgrind", "--vgdb=no",
              "--tool=cachegrind", "--cache-sim=yes",
              *(f"--{level}={spelled(g)}" for level, g in
                zip(("I1", "D1", "LL"), caches)),
              f"--cachegrind-out-file={out}")
        with open(out) as f:
            return cachegrind_places(f.read())


def of_main(by_place):
    """main's events, summed over its places."""
    rows = [e for (_, function, _), e in by_place.items()
            if function == "main"]
    assert rows, "no main"
    return [sum(c) for c in zip(*rows)]


class Places(unittest.TestCase):
    def test_reports_equal_cachegrind(self):
        rng = random.Random(SEED)
        for kernel in KERNELS:
            file = learned(kernel)
            for t in range(3):
                caches = [random_cache(rng) for _ in range(3)]
                if t == 0:
                    caches = [(32768, 8, 64), (32768, 8, 64),
                              (8 << 20, 16, 64)]
                got = probe(file, "places", PASSES, 0, *map(spelled, caches))
                with self.subTest(kernel=os.path.basename(kernel),
                                  caches=caches):
                    self.assertEqual(places(got), measured(kernel, caches))

    def test_runs_really_moved(self):
        # A run moved lower by padding its environment is its own run: its
        # start-up code reads the padding and leaves the caches otherwise,
        # which can move main's figures by a miss.  check predicts it from
        # its own model, so the whole report agrees.  Each moved run's
        # model is learned in a cache of its own, which goes with the test:
        # at a fresh shift each time, they would only pile up in the suite's.
        rng = random.Random(SEED + 1)
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        env = dict(os.environ, LOADGRID_MODEL_CACHE=scratch.name)
        for kernel in KERNELS:
            caches = [random_cache(rng) for _ in range(3)]
            shift = 16 * rng.randrange(1, 300)
            with self.subTest(kernel=os.path.basename(kernel), caches=caches,
                              shift=shift):
                out = model("check", kernel, "--stack-shift", shift,
                            *(f"--{level}={spelled(g)}" for level, g in
                              zip(("I1", "D1", "LL"), caches)), env=env)
                self.assertRegex(out, r"^all [0-9]+ functions x 9 events, "
                                 "on [0-9]+ lines, and the summary agree\n")

    def test_main_d1_at_any_pass_and_shift(self):
        # loadgrid-model misses: main's D1 misses as cachegrind counts
        # them (held to cachegrind by model.check-*).
        rng = random.Random(SEED + 2)
        answered = 0
        for kernel in KERNELS:
            file = learned(kernel)
            for _ in range(3):
                n = rng.choice([1, 2, 3, rng.randrange(1, PASSES + 1)])
                shift = rng.choice([0, 16 * rng.randrange(-5000, 5000)])
                d1s = [random_cache(rng) for _ in range(3)]
                rows = model("misses", kernel, "--passes", n, "--stack-shift",
                             shift, "--cache", *map(spelled, d1s))
                for d1, row in zip(d1s, rows.splitlines()[1:]):
                    want = [int(w) for w in row.split()[1:3]]
                    got = of_main(places(probe(
                        file, "places", n, shift, "32768,8,64", spelled(d1),
                        "8388608,16,64")))
                    with self.subTest(kernel=os.path.basename(kernel),
                                      passes=n, shift=shift, d1=d1):
                        self.assertEqual([got[4], got[7]], want)
                    answered += 1
        self.assertEqual(answered, 3 * 3 * 3)

    def test_refusals(self):
        # As the help gives them: passes from 1 to 1000, shifts a multiple
        # of 16 under 1 GiB; lines as wide as the run's widest data access
        # (lackey's sizes, in the model's own lackey trace) or wider.
        ok = ["32768,8,64", "32768,8,64", "8388608,16,64"]
        for kernel in KERNELS:
            file = learned(kernel)
            widest = max(int(r.split(",")[1]) for r in model(
                "trace", kernel, "--passes", 1, "--format",
                "lackey").splitlines() if r[:2] in (" L", " S", " M"))
            with self.subTest(kernel=os.path.basename(kernel)):
                self.assertEqual(widest, 32)
                for passes, shift in [(0, 0), (PASSES + 1, 0), (1, 8),
                                      (1, -24), (1, 1 << 30),
                                      (1, 1 << 31)]:
                    self.assertRegex(probe(file, "places", passes, shift,
                                           *ok), "^refused: ")
                for passes, shift in [(1, (1 << 30) - 16), (PASSES, -16)]:
                    self.assertNotIn("refused", probe(
                        file, "places", passes, shift, *ok))
                narrow = f"{widest * 64},2,{widest // 2}"
                self.assertRegex(probe(file, "places", 1, 0, ok[0], narrow,
                                       ok[2]), "^refused: ")
                fits = f"{widest * 64},2,{widest}"
                self.assertNotIn("refused", probe(file, "places", 1, 0,
                                                  ok[0], fits, ok[2]))


def trace(kernel, passes):
    """The model's trace in lackey's form, fetches and all, as records
    (KIND, ADDR, SIZE)."""
    out = []
    for line in model("trace", kernel, "--passes", passes, "--fetches",
                      "--format", "lackey").splitlines():
        addr, size = line[2:].strip().split(",")
        out.append((line[:2].strip(), int(addr, 16), int(size)))
    return out


def changed(recs, rng):
    """The records with one changed, taken out or put in, cut short or
    run on, near the start, the end or anywhere; or as they are: how, and
    where."""
    recs = list(recs)
    k = rng.choice([rng.randrange(len(recs)), rng.randrange(100),
                    len(recs) - 1 - rng.randrange(100)])
    how = rng.choice(["change", "drop", "insert", "cut", "extend", "same"])
    if how == "change":
        kind, addr, size = recs[k]
        recs[k] = rng.choice([(kind, addr + 4, size), (kind, addr, size + 1),
                              ("S" if kind == "L" else "L", addr, size)])
    elif how == "drop":
        del recs[k]
    elif how == "insert":
        recs.insert(k, ("L", rng.randrange(1 << 40), 8))
    elif how == "cut":
        del recs[k:]
    elif how == "extend":
        k = len(recs)
        recs += [("I", 0x400000 + 4 * j, 4)
                 for j in range(rng.randrange(1, 4))]
    return how, k, recs


def first_difference(mine, seen, whole):
    """Where seen first differs from mine, compared to mine's end if whole
    or to seen's end: (index, mine's record, seen's), a record None past
    its trace's end; or None."""
    for i in range(max(len(mine), len(seen)) if whole else len(seen)):
        a = mine[i] if i < len(mine) else None
        b = seen[i] if i < len(seen) else None
        if a != b:
            return i, a, b
    return None


def shown(rec):
    return "nothing" if rec is None else f"{rec[0]},{rec[1]:x},{rec[2]}"


class Differences(unittest.TestCase):
    def test_changed_runs_on_every_kernel(self):
        rng = random.Random(SEED)
        for kernel in KERNELS:
            file = learned(kernel)
            for n in (1, 2):
                mine = trace(kernel, n)
                for t in range(6):
                    how, k, seen = changed(mine, rng)
                    if t == 0:  # a run of one pass less, or one more
                        how, k = "another pass count", None
                        seen = trace(kernel, n - 1 or 2)
                    whole = rng.random() < 0.5
                    d = first_difference(mine, seen, whole)
                    # Made here where it was made: a change differs there,
                    # anything else there or later.
                    if how == "change":
                        self.assertEqual(d[0], k)
                    elif d and k is not None:
                        self.assertGreaterEqual(d[0], min(k, len(seen)))
                    want = "none\n" if d is None else \
                        f"{d[0]} {shown(d[1])} {shown(d[2])}\n"
                    got = probe(file, "difference", n,
                                "whole" if whole else "prefix",
                                stdin="".join(f"{kind} {addr:x} {size}\n"
                                              for kind, addr, size in seen))
                    with self.subTest(kernel=os.path.basename(kernel), n=n,
                                      how=how, at=k, whole=whole):
                        self.assertEqual(got, want)
            with self.subTest(kernel=os.path.basename(kernel), n=0):
                self.assertRegex(probe(file, "difference", 0, "whole",
                                       stdin=""), "^refused: ")


if __name__ == "__main__":
    unittest.main()
