"""The C++ learn layer on real lackey runs: each kernel built with g++,
with clang++ and with -g is learned from its own runs under Valgrind, and
the model must give those runs back record for record; runs damaged on
purpose must each be refused with its own message.

The runs are made here, as loadgrid-model makes them: lackey on the
canonical run (a copy /tmp/loadgrid-model.XXXXXXXX/NAME, no arguments, an
empty environment, from that folder) for the first passes, then the same
with gdb, through Valgrind's gdb server, poking the pass counter where
learn-probe asks.  learn-probe learns from the records; the engine
(answers-probe's trace) plays the model back.

Environment: PROBE (learn-probe), ENGINE (answers-probe), BINDIR (the
kernels), SOURCE_DIR, CXX and CLANG (the compilers), LINK (the kernels'
link options).
"""
import os
import shutil
import subprocess
import tempfile
import unittest

import lackey

PROBE = os.environ["PROBE"]
ENGINE = os.environ["ENGINE"]
VALGRIND = shutil.which("valgrind")
GDB = shutil.which("gdb")
VGDB = shutil.which("vgdb")
NAMES = ["loadgrid1", "loadgrid2", "loadgrid3"]
# What every kernel does: passes of steps, each step reading every array
# once; a model is learned from the first three passes.
PASSES, STEPS, ARRAYS = 1000, 600, 20
LEARN_PASSES = 3


class Reading:
    """A whole trace read as above: per record, the instruction that made
    it and whether that is one of main's; main's first record; every array
    read; and the first array read of every step."""

    def __init__(self, recs, lo, hi):
        count = lackey.Watch(lo, hi)
        self.main, self.insn = [], []
        for rec in recs:
            count.see(rec)
            self.main.append(count.inside)
            self.insn.append(count.insn)
        self.entry = self.main.index(True)
        self.reads = [n for n, (kind, _, _) in enumerate(recs)
                      if kind == "L" and self.main[n]
                      and self.insn[n] in count.moving]
        self.steps = self.reads[::ARRAYS]


def canonical_lackey(kernel, stop, poke=None):
    """The kernel's canonical run under lackey (a copy in a fresh
    /tmp/loadgrid-model.XXXXXXXX, an empty environment, from that folder):
    its lines up to the record that stop says is enough, and whether the
    run went to its end.  With poke (insn, addr, value), gdb stops it at
    insn and stores the 32-bit value at addr first."""
    with tempfile.TemporaryDirectory(prefix="loadgrid-model.",
                                     dir="/tmp") as folder:
        path = os.path.join(folder, os.path.basename(kernel))
        shutil.copyfile(kernel, path)
        os.chmod(path, 0o755)
        traced = lackey.run([VALGRIND], [path], stop, poke, env={},
                            cwd=folder)
        return traced.lines, traced.ended


def spelled(poke):
    return "-" if poke is None else "{:x},{:x},{:x}".format(*poke)


class Run:
    """A run as recorded: its poke, its records and whether it went to its
    end."""

    def __init__(self, poke, lines, ended):
        self.poke, self.lines, self.ended = poke, lines, ended
        self.recs = [lackey.record(line) for line in lines]

    def but(self, recs, ended=None):
        """The same run with other records."""
        run = Run(self.poke, [], self.ended if ended is None else ended)
        run.recs = recs
        return run


def write_runs(path, runs):
    with open(path, "w") as f:
        for run in runs:
            f.write(f"run {spelled(run.poke)} "
                    f"{'end' if run.ended else 'cut'} {len(run.recs)}\n")
            f.writelines(f"{k} {a:x} {s}\n" for k, a, s in run.recs)


class Learning(unittest.TestCase):
    def setUp(self):
        if not (VALGRIND and GDB and VGDB):
            self.skipTest("no valgrind, vgdb or gdb")
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    @staticmethod
    def probe(kernel, runs, folder):
        """learn-probe's answer on these runs."""
        path = os.path.join(folder, "runs")
        write_runs(path, runs)
        out = subprocess.run([PROBE, kernel, os.path.basename(kernel), path],
                             capture_output=True, text=True)
        if out.returncode != 0:
            raise AssertionError(f"learn-probe: {out.stderr}")
        return out.stdout

    @classmethod
    def recorded(cls, kernel, folder):
        """The kernel's two runs, recorded as learn-probe asks for them,
        and what it learned from them.  The first goes on a pass beyond
        those learned, so that the model's trace of one more pass must
        hold all of it."""
        lo, hi = lackey.function_range(kernel)
        reads = lackey.Watch(lo, hi)
        first = Run(None, *canonical_lackey(
            kernel,
            lambda rec: reads.see(rec) >= (LEARN_PASSES + 1) * STEPS * ARRAYS))
        said = cls.probe(kernel, [first], folder)
        if not said.startswith("started\nwanted "):
            raise AssertionError(f"learn-probe wants no second run: {said}")
        poke = tuple(int(x, 16) for x in said.split()[2].split(","))
        # The poked run ends after one pass; should it go on, it is cut
        # where learn would stop it.
        reads = lackey.Watch(lo, hi)
        second = Run(poke, *canonical_lackey(
            kernel, lambda rec: reads.see(rec) > STEPS * ARRAYS, poke))
        return first, second, cls.probe(kernel, [first, second], folder)

    def engine(self, model, passes):
        out = subprocess.run([ENGINE, model, "trace", str(passes)],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout.splitlines()

    def same_runs(self, kernel):
        """Learns the kernel from its runs; its model must play both back
        as lackey wrote them."""
        first, second, said = self.recorded(kernel, self.tmp.name)
        self.assertTrue(said.startswith("started\nloadgrid-model 4\nkernel "
                                        f"{os.path.basename(kernel)}\n"),
                        said[:300])
        model = os.path.join(self.tmp.name, "model")
        with open(model, "w") as f:
            f.write(said[len("started\n"):])
        self.assertFalse(first.ended)
        played = self.engine(model, LEARN_PASSES + 2)
        self.assertEqual(played[:len(first.lines)], first.lines)
        # The pass counter moved to the last pass: one pass, then the exit.
        self.assertTrue(second.ended)
        self.assertEqual(self.engine(model, 1), second.lines)
        self.assertIn(f"\ncounter {second.poke[1]:x} {second.poke[0]:x}\n",
                      said)
        self.assertEqual(second.poke[2], PASSES - 1)
        return said

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


class Gcc(Learning):
    def test_model_gives_its_runs_back(self):
        for name in NAMES:
            with self.subTest(name):
                self.same_runs(os.path.join(os.environ["BINDIR"], name))


class Clang(Learning):
    def test_model_gives_its_runs_back(self):
        clang = os.environ.get("CLANG")
        if not clang:
            self.skipTest("no clang++")
        for name in NAMES:
            with self.subTest(name):
                self.same_runs(self.built(clang, name, "-O0"))


class Debug(Learning):
    def test_model_with_source_lines(self):
        kernel = self.built(os.environ["CXX"], "loadgrid3", "-O0", "-g")
        said = self.same_runs(kernel)
        source = os.path.join(os.environ["SOURCE_DIR"], "kernels",
                              "loadgrid3.cpp")
        lines = [line for line in said.splitlines()
                 if line.startswith("source ")]
        self.assertGreater(len(lines), 10)
        self.assertTrue(all(line.endswith(" " + os.path.realpath(source))
                            for line in lines), lines[:3])


class Damaged(Learning):
    """Records a kernel could not make: each found out, in its own
    words."""

    @classmethod
    def setUpClass(cls):
        if not (VALGRIND and GDB and VGDB):
            return
        cls.kernel = os.path.join(os.environ["BINDIR"], "loadgrid2")
        with tempfile.TemporaryDirectory() as tmp:
            cls.first, cls.second, said = cls.recorded(cls.kernel, tmp)
        if not said.startswith("started\nloadgrid-model 4\n"):
            raise AssertionError(f"loadgrid2 not learned: {said[:300]}")
        cls.a, cls.b = cls.first.recs, cls.second.recs
        cls.counter = cls.second.poke[1]
        lo, hi = lackey.function_range(cls.kernel)
        cls.stream = Reading(cls.a, lo, hi)
        cls.b_steps = Reading(cls.b, lo, hi).steps

    def says(self, a, b, want, a_ended=None, b_ended=None):
        """learn-probe on run A then run B refuses them with want, having
        started."""
        said = self.probe(self.kernel, [self.first.but(a, a_ended),
                                        self.second.but(b, b_ended)],
                          self.tmp.name)
        self.assertEqual(said, f"started\n{want}\n")

    def step(self, t):
        """The records of step t of run A."""
        return range(self.stream.steps[t], self.stream.steps[t + 1])

    def boundaries(self):
        return [self.step(t) for t in range(STEPS - 1, LEARN_PASSES * STEPS,
                                            STEPS)]

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
        self.assertEqual(len(stores), LEARN_PASSES)
        a = [r for n, r in enumerate(self.a) if n not in stores]
        self.says(a, self.b, "mismatch: 0 candidates for the pass counter, "
                  "want one")

    def test_calls_that_never_repeat(self):
        a = list(self.a)
        last = [n for n in self.step(LEARN_PASSES * STEPS - 1)
                if not self.stream.main[n] and a[n][0] != "I"][-1]
        a[last] = (a[last][0], a[last][1] + 8, a[last][2])
        self.says(a, self.b, f"mismatch: the {LEARN_PASSES * STEPS} calls "
                  "from the loop never repeat")

    def test_a_step_that_differs(self):
        for t, want in [(700, "step 100 of pass 1 differs"),
                        (2 * STEPS - 1, "step 599 of pass 1 differs")]:
            with self.subTest(t):
                a = list(self.a)
                n = next(n for n in self.step(t) if a[n][0] == "I"
                         and self.stream.main[n])
                a[n] = ("I", a[n][1], a[n][2] + 1)
                self.says(a, self.b, f"mismatch: {want} from the same step "
                          "of the pass before")

    def test_a_load_that_moves_in_one_step(self):
        a = list(self.a)
        reads = set(self.stream.reads)
        n = next(n for n in self.step(5) if a[n][0] == "L"
                 and self.stream.main[n] and n not in reads)
        a[n] = ("L", a[n][1] + 8, a[n][2])
        self.says(a, self.b, "mismatch: 21 instructions read moving "
                  "addresses, want 20 arrays")

    def test_runs_cut_short(self):
        steps = self.stream.steps
        counter = f"the pass counter was set to {PASSES - 1}"
        cases = [
            (self.a[:steps[1000]], self.b, True, None,
             "the run ended after 1000 steps"),
            (self.a[:self.stream.entry], self.b, True, None,
             "main never runs"),
            (self.a, self.b[:self.b_steps[300]], None, True,
             f"300 steps after {counter}, want 600: not 1000 passes"),
            (self.a, self.b[:self.stream.entry + 10], None, True,
             f"no whole pass once {counter}: not 1000 passes"),
            (self.a, self.a, None, False,
             f"601 steps after {counter}, want 600: not 1000 passes")]
        for a, b, a_ended, b_ended, want in cases:
            with self.subTest(want):
                self.says(a, b, "mismatch: " + want, a_ended, b_ended)

    def test_arrays_read_out_of_order(self):
        a = list(self.a)
        reads = self.stream.reads[5 * ARRAYS:6 * ARRAYS]
        made_by = [max(n for n in range(r) if a[n][0] == "I")
                   for r in reads[1:3]]
        a[made_by[0]], a[made_by[1]] = a[made_by[1]], a[made_by[0]]
        order = ", ".join(map(str, [0, 2, 1, *range(3, ARRAYS)]))
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

    def test_a_run_under_gdb_that_starts_differently(self):
        b = list(self.b)
        n = next(n for n in range(len(b)) if b[n][0] == "S")
        b[n] = ("S", b[n][1] + 8, b[n][2])
        self.says(self.a, b, "mismatch: the run under gdb starts "
                  "differently")

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
        for kernel, want in [
                (text, "not a 64-bit little-endian ELF file"),
                (stripped, "no symbol table"),
                (mainless, "no symbol main")]:
            with self.subTest(want):
                # Found out before any run is asked for.
                said = self.probe(kernel, [], self.tmp.name)
                self.assertEqual(said, f"failure: {kernel}: {want}\n")


if __name__ == "__main__":
    unittest.main()
