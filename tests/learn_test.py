"""The C++ learn layer against the package's learn.learn: each kernel built
with g++, with clang++ and with -g, and runs damaged on purpose, give the
same model text or the same message, byte for byte.

The package learns from real lackey runs, whose records (and where its
stop ended each run, and what it poked) are kept in RECORDS by the
kernel's hash and used again by later runs of this test; learn-probe
learns from the same records and checks it asks for the same runs.

Environment: PROBE (learn-probe), BINDIR (the g++ kernels), SOURCE_DIR,
CXX and CLANG (the compilers), LINK (the kernels' link
options), RECORDS, PYTHONPATH naming the source folder.
"""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

from loadgrid import learn, valgrind
from loadgrid.runs import Run

PROBE = os.environ["PROBE"]
RECORDS = os.environ["RECORDS"]
REAL_LACKEY = valgrind.lackey


def spelled(poke):
    return "-" if poke is None else "{:x},{:x},{:x}".format(*poke)


class Runs:
    """The lackey of learn.learn: lackey itself (source None) or the given
    records of each run in turn; either way it keeps what each run was
    asked (poke), where stop ended it and the records it returned."""

    def __init__(self, source=None, strict=False):
        self.source, self.strict, self.made = source, strict, []

    def __call__(self, run, stop=None, poke=None):
        at = []

        def stopping(rec):
            at.append(stop(rec))
            return at[-1]
        if self.source is None:
            recs = REAL_LACKEY(run, stop=stopping, poke=poke)
        else:
            recs = []
            for rec in self.source[len(self.made)][2]:
                recs.append(rec)
                if stopping(rec):
                    break
        stopped = str(len(recs) - 1) if at and at[-1] else "-"
        if self.strict:
            want = self.source[len(self.made)]
            if (spelled(poke), stopped) != (spelled(want[0]), want[1]):
                raise AssertionError(f"run asked {spelled(poke)} {stopped}")
        self.made.append((poke, stopped, recs))
        return recs

    def write(self, path):
        with open(path, "w") as f:
            for poke, stopped, recs in self.made:
                f.write(f"run {spelled(poke)} {stopped} {len(recs)}\n")
                f.writelines(f"{k} {a:x} {s}\n" for k, a, s in recs)


def read_runs(path):
    runs = []
    with open(path) as f:
        lines = iter(f.read().splitlines())
    for head in lines:
        _, poke, stopped, n = head.split()
        poke = None if poke == "-" else tuple(int(x, 16) for x in
                                              poke.split(","))
        recs = []
        for _ in range(int(n)):
            k, a, s = next(lines).split()
            recs.append((k, int(a, 16), int(s)))
        runs.append((poke, stopped, recs))
    return runs


def package_learns(kernel, runs):
    """What learn.learn says, in the probe's words."""
    said = []
    valgrind.lackey = runs
    try:
        text, _, _ = learn.learn(Run(kernel), lambda: said.append("started\n"))
        said.append(text)
    except learn.Mismatch as e:
        said.append(f"mismatch: {e}\n")
    except learn.Failure as e:
        said.append(f"failure: {e}\n")
    finally:
        valgrind.lackey = REAL_LACKEY
    return "".join(said)


class Learning(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    @staticmethod
    def recorded(kernel):
        """The package's runs of a kernel and what it learned from them:
        run now, or kept from before and replayed, checked to be asked
        for in the same way."""
        with open(kernel, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        name = os.path.basename(kernel)
        kept = os.path.join(RECORDS, f"{name}-{digest}.runs")
        if os.path.exists(kept):
            runs = Runs(read_runs(kept), strict=True)
            said = package_learns(kernel, runs)
        else:
            runs = Runs()
            said = package_learns(kernel, runs)
            os.makedirs(RECORDS, exist_ok=True)
            runs.write(kept + ".new")
            os.replace(kept + ".new", kept)
        return runs, said

    def probe(self, kernel, runs):
        path = os.path.join(self.tmp.name, "runs")
        runs.write(path)
        out = subprocess.run([PROBE, kernel, os.path.basename(kernel), path],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def same_model(self, kernel):
        runs, said = self.recorded(kernel)
        self.assertTrue(said.startswith("started\nloadgrid-model 4\n"), said)
        self.assertEqual(self.probe(kernel, runs), said)
        return runs, said

    def built(self, cxx, name, *flags):
        """A kernel built here, as the build builds them, in its own
        folder under its own name."""
        folder = os.path.join(self.tmp.name, cxx.replace("/", "_"))
        os.makedirs(folder, exist_ok=True)
        kernel = os.path.join(folder, name)
        source = os.path.join(os.environ["SOURCE_DIR"], "kernels",
                              f"{name}.cpp")
        subprocess.run([cxx, *flags, "-fno-pie", "-Wno-uninitialized",
                        *os.environ["LINK"].split(), "-o", kernel, source],
                       check=True)
        return kernel


NAMES = ["loadgrid1", "loadgrid2", "loadgrid3"]


class Gcc(Learning):
    def test_same_model_as_the_package(self):
        for name in NAMES:
            with self.subTest(name):
                self.same_model(os.path.join(os.environ["BINDIR"], name))


class Clang(Learning):
    def test_same_model_as_the_package(self):
        clang = os.environ.get("CLANG")
        if not clang:
            self.skipTest("no clang++")
        for name in NAMES:
            with self.subTest(name):
                self.same_model(self.built(clang, name, "-O0"))


class Debug(Learning):
    def test_same_model_with_source_lines(self):
        kernel = self.built(os.environ["CXX"], "loadgrid3", "-O0", "-g")
        _, said = self.same_model(kernel)
        source = os.path.join(os.environ["SOURCE_DIR"], "kernels",
                              "loadgrid3.cpp")
        lines = [line for line in said.splitlines()
                 if line.startswith("source ")]
        self.assertGreater(len(lines), 10)
        self.assertTrue(all(line.endswith(" " + os.path.realpath(source))
                            for line in lines), lines[:3])


class Damaged(Learning):
    """Records a kernel could not make: each found out, in the package's
    words."""

    @classmethod
    def setUpClass(cls):
        cls.kernel = os.path.join(os.environ["BINDIR"], "loadgrid2")
        runs, said = cls.recorded(cls.kernel)
        cls.a, cls.b = runs.made[0][2], runs.made[1][2]
        cls.counter = int(said.split("\ncounter ")[1].split()[0], 16)
        lo, hi = valgrind.symbol(cls.kernel, "main")
        cls.stream = learn.Stream(cls.a, lo, hi)
        cls.b_steps = learn.Stream(cls.b, lo, hi).steps

    def says(self, a, b, want):
        runs = Runs([(None, None, a), (None, None, b)])
        said = package_learns(self.kernel, runs)
        self.assertIn(want, said)
        self.assertEqual(self.probe(self.kernel, runs), said)

    def step(self, t):
        """The records of step t of run A."""
        return range(self.stream.steps[t], self.stream.steps[t + 1])

    def boundaries(self):
        return [self.step(t) for t in range(learn.STEPS - 1,
                                            learn.LEARN_PASSES * learn.STEPS,
                                            learn.STEPS)]

    def counter_stores(self):
        return [n for step in self.boundaries() for n in step
                if self.a[n][0] in "SM" and self.a[n][1] == self.counter
                and self.stream.main[n]]

    def test_two_candidates_for_the_counter(self):
        a = list(self.a)
        for n in reversed(self.counter_stores()):
            a.insert(n + 1, ("S", self.counter + 64, 4))
        self.says(a, self.b, "mismatch: 2 candidates for the pass counter, "
                  "want one")

    def test_no_candidate_for_the_counter(self):
        stores = set(self.counter_stores())
        self.assertEqual(len(stores), learn.LEARN_PASSES)
        a = [r for n, r in enumerate(self.a) if n not in stores]
        self.says(a, self.b, "mismatch: 0 candidates")

    def test_calls_that_never_repeat(self):
        a = list(self.a)
        last = [n for n in self.step(learn.LEARN_PASSES * learn.STEPS - 1)
                if not self.stream.main[n] and a[n][0] != "I"][-1]
        a[last] = (a[last][0], a[last][1] + 8, a[last][2])
        self.says(a, self.b, "calls from the loop never repeat")

    def test_a_step_that_differs(self):
        for t, want in [(700, "step 100 of pass 1 differs"),
                        (2 * learn.STEPS - 1, "step 599 of pass 1 differs")]:
            with self.subTest(t):
                a = list(self.a)
                n = next(n for n in self.step(t) if a[n][0] == "I"
                         and self.stream.main[n])
                a[n] = ("I", a[n][1], a[n][2] + 1)
                self.says(a, self.b, want)

    def test_a_load_that_moves_in_one_step(self):
        a = list(self.a)
        reads = set(self.stream.reads)
        n = next(n for n in self.step(5) if a[n][0] == "L"
                 and self.stream.main[n] and n not in reads)
        a[n] = ("L", a[n][1] + 8, a[n][2])
        self.says(a, self.b, "21 instructions read moving addresses")

    def test_runs_cut_short(self):
        steps = self.stream.steps
        cases = [
            (self.a[:steps[1000]], self.b, "the run ended after 1000 steps"),
            (self.a[:self.stream.entry], self.b, "main never runs"),
            (self.a, self.b[:self.b_steps[300]], "300 steps after the pass "
             "counter was set to 999, want 600: not 1000 passes"),
            (self.a, self.b[:self.stream.entry + 10], "no whole pass once "
             "the pass counter was set to 999: not 1000 passes"),
            (self.a, self.a, "601 steps after the pass counter")]
        for a, b, want in cases:
            with self.subTest(want):
                self.says(a, b, want)

    def test_arrays_read_out_of_order(self):
        a = list(self.a)
        reads = self.stream.reads[5 * learn.ARRAYS:6 * learn.ARRAYS]
        made_by = [max(n for n in range(r) if a[n][0] == "I")
                   for r in reads[1:3]]
        a[made_by[0]], a[made_by[1]] = a[made_by[1]], a[made_by[0]]
        order = ", ".join(map(str, [0, 2, 1, *range(3, learn.ARRAYS)]))
        self.says(a, self.b, f"mismatch: step 5 reads the arrays in the "
                  f"order [{order}]")

    def test_a_prologue_that_never_tests_the_counter(self):
        a = list(self.a)
        s = self.stream
        for n in range(s.entry, s.steps[0]):
            if s.main[n] and a[n][0] in "LM" and a[n][1] == self.counter:
                a[n] = ("S", a[n][1], a[n][2])
        self.says(a, self.b, "mismatch: the prologue never tests the pass "
                  "counter")

    def test_binaries_without_main(self):
        folder = os.path.join(self.tmp.name, "bad")
        os.makedirs(folder)
        text = os.path.join(folder, "loadgrid2")
        with open(text, "w") as f:
            f.write("not a program\n")
        stripped = os.path.join(folder, "loadgrid1")
        subprocess.run(["objcopy", "--strip-all", self.kernel, stripped],
                       check=True)
        mainless = os.path.join(folder, "loadgrid3")
        subprocess.run(["objcopy", "--strip-symbol=main", self.kernel,
                        mainless], check=True)
        for kernel, want in [(text, f"failure: {text}: not a 64-bit"),
                             (stripped, f"failure: {stripped}: no symbol "
                              "table"),
                             (mainless, f"failure: {mainless}: no symbol "
                              "main")]:
            with self.subTest(want):
                runs = Runs([])
                said = package_learns(kernel, runs)
                self.assertTrue(said.startswith(want), said)
                self.assertEqual(self.probe(kernel, runs), said)

    def test_a_run_under_gdb_that_starts_differently(self):
        b = list(self.b)
        n = next(n for n in range(len(b)) if b[n][0] == "S")
        b[n] = ("S", b[n][1] + 8, b[n][2])
        self.says(self.a, b, "mismatch: the run under gdb starts differently")


if __name__ == "__main__":
    unittest.main()
