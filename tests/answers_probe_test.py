"""The engine's answers as a library (answers.h, through answers-probe)
against the package's engine client, on each kernel's learned model:
reports by place on random hierarchies, passes and shifts, refusals
included; and where a trace first differs from the model's, on the
model's own records changed at random.

Environment: PROBE (the answers-probe program), as model_test.py's.  SEED
repeats a run; each run draws a fresh one otherwise.
"""
import os
import random
import subprocess
import unittest

from loadgrid import kernels, valgrind
from loadgrid.engine import Engine
from loadgrid.messages import Failure
from model_test import ENGINE, KERNELS, learned

PROBE = os.environ["PROBE"]
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)


def probe(*args, stdin=None):
    r = subprocess.run([PROBE, *map(str, args)], input=stdin,
                       capture_output=True, text=True)
    if r.returncode:
        raise AssertionError(f"answers-probe {args[1:]}: {r.stderr}")
    return r.stdout


def random_cache(rng):
    """SIZE, ASSOC, LINE that the engine takes, but maybe narrower than
    the run's widest access."""
    line = rng.choice([16, 32, 32, 64, 64, 64, 128, 128])
    assoc = rng.choice([1, 2, 3, 4, 8, 12, 16])
    return line * assoc << rng.randrange(1, 11), assoc, line


def refused(e):
    return f"refused: {e}\n"


class Places(unittest.TestCase):
    def test_random_hierarchies_on_every_kernel(self):
        rng = random.Random(SEED)
        engine = Engine(ENGINE)
        answered = 0
        for kernel in KERNELS:
            file = learned(kernel)
            for t in range(8):
                caches = [random_cache(rng) for _ in range(3)]
                n = rng.choice([1, 2, 3, rng.randrange(1, 40),
                                kernels.PASSES])
                shift = 16 * rng.randrange(-5000, 5000)
                if t == 0:  # one that every kernel's run fits
                    caches = [(32768, 8, 64), (32768, 8, 64),
                              (8 << 20, 16, 64)]
                else:
                    shift = rng.choice([0, shift, shift, 8])
                try:
                    places = engine.report(file, [caches], n, shift)[0]
                    want = "".join(
                        f"{f}\t{name}\t{line}\t{' '.join(map(str, c))}\n"
                        for (f, name, line), c in sorted(places.items()))
                except Failure as e:
                    want = refused(e)
                got = probe(file, "places", n, shift,
                            *(",".join(map(str, g)) for g in caches))
                with self.subTest(kernel=os.path.basename(kernel), t=t,
                                  caches=caches, passes=n, shift=shift):
                    self.assertEqual(got, want)
                    if t == 0:
                        self.assertNotIn("refused", got)
                answered += not got.startswith("refused")
        print(f"{answered} reports answered, the others refused", flush=True)


def changed(recs, rng):
    """The records with one changed, taken out or put in, cut short or
    run on, near the start, the end or anywhere; or as they are."""
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
        recs += [("I", 0x400000 + 4 * j, 4)
                 for j in range(rng.randrange(1, 4))]
    return how, recs


def shown(rec):
    return "nothing" if rec is None else f"{rec[0]},{rec[1]:x},{rec[2]}"


class Differences(unittest.TestCase):
    def test_changed_runs_on_every_kernel(self):
        rng = random.Random(SEED)
        engine = Engine(ENGINE)
        for kernel in KERNELS:
            file = learned(kernel)
            for n in (1, 2):
                text = engine.ask(file, "trace", n, 0, "lackey", "fetches")
                mine = list(valgrind.records(text.splitlines()))
                for t in range(6):
                    how, seen = changed(mine, rng)
                    if t == 0:  # a run of one pass less
                        how = "a pass less"
                        seen = list(valgrind.records(engine.ask(
                            file, "trace", n - 1 or 2, 0, "lackey",
                            "fetches").splitlines()))
                    whole = rng.random() < 0.5
                    d = engine.first_difference(file, n, seen, whole)
                    want = "none\n" if d is None else \
                        f"{d[0]} {shown(d[1])} {shown(d[2])}\n"
                    got = probe(file, "difference", n,
                                "whole" if whole else "prefix",
                                stdin="".join(f"{kind} {addr:x} {size}\n"
                                              for kind, addr, size in seen))
                    with self.subTest(kernel=os.path.basename(kernel), n=n,
                                      how=how, whole=whole):
                        self.assertEqual(got, want)
            with self.subTest(kernel=os.path.basename(kernel), n=0):
                with self.assertRaises(Failure) as said:
                    engine.first_difference(file, 0, [], True)
                self.assertEqual(probe(file, "difference", 0, "whole",
                                       stdin=""), refused(said.exception))


if __name__ == "__main__":
    unittest.main()
