"""The pictures in the repository: what the code draws now, cachegrind's
points on the model's lines; and the pieces the pictures are drawn from.

Environment: BINDIR (the kernels and loadgrid-model), SOURCE_DIR,
LOADGRID_MODEL_CACHE, PYTHONPATH (SOURCE_DIR and SOURCE_DIR/tools).
"""
import csv
import os
import subprocess
import sys
import tempfile
import unittest

import pictures
from tools import vg

SOURCE = os.environ["SOURCE_DIR"]
BINDIR = os.environ["BINDIR"]
MODEL = vg.Model(os.path.join(BINDIR, "loadgrid-model"))
COMMITTED = os.path.join(SOURCE, "pictures")
SCRIPT = os.path.join(SOURCE, "tools", "pictures.py")

KERNELS = ("loadgrid1", "loadgrid2", "loadgrid3")


def draw(*args):
    return subprocess.run([sys.executable, SCRIPT, BINDIR, *args],
                          capture_output=True, text=True)


class Drawn(unittest.TestCase):
    """Only for the build that drew the committed copies, as their build
    file names it; skipped elsewhere."""

    def setUp(self):
        with open(os.path.join(COMMITTED, pictures.BUILD_FILE)) as f:
            drew = f.read().strip()
        this = pictures.build_of(MODEL, BINDIR)
        if this != drew:
            self.skipTest(f"drawn by {drew}, not by this build ({this})")

    def test_code_draws_the_committed_copies(self):
        with tempfile.TemporaryDirectory() as tmp:
            r = draw(tmp)
            if "matplotlib: not installed" in r.stderr:
                self.skipTest("matplotlib is not installed")
            self.assertEqual(r.returncode, 0, r.stderr)
            # The recorded points, not measured again, and each step said.
            said = r.stderr.splitlines()
            recorded = os.path.normpath(os.path.join(COMMITTED,
                                                     "measured.csv"))
            self.assertEqual(said[0], "pictures: cachegrind's points: "
                             f"recorded, from {recorded} (--measure to "
                             "measure again)")
            self.assertNotIn("measured.csv", os.listdir(tmp))
            drawn = sorted(f for f in os.listdir(tmp) if f.endswith(".svg"))
            for name in drawn:
                self.assertTrue(any(s.startswith(f"pictures: {name}: ")
                                    for s in said), (name, said))
            self.assertTrue(said[-1].startswith("pictures: done in "), said)
            self.assertEqual(drawn, sorted(
                f for f in os.listdir(COMMITTED) if f.endswith(".svg")))
            with open(os.path.join(tmp, pictures.BUILD_FILE)) as f:
                self.assertEqual(f.read(), pictures.build_of(MODEL, BINDIR) + "\n")
            for name in drawn:
                with self.subTest(name):
                    with open(os.path.join(tmp, name), "rb") as a, \
                            open(os.path.join(COMMITTED, name), "rb") as b:
                        self.assertTrue(a.read() == b.read(),
                                        f"{name} differs from what the "
                                        "code draws now")

    def test_measured_points_lie_on_the_model(self):
        # Drawn to three figures: the few misses that the C library's
        # choice of string routines moves from machine to machine never
        # show, so this holds on any x86-64 machine.
        with open(os.path.join(COMMITTED, "measured.csv")) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(len(rows), 3 * len(pictures.MEASURED))
        for k in KERNELS:
            mine = [r for r in rows if r["kernel"] == k]
            geos = [(int(r["size"]), int(r["ways"]), int(r["line"]))
                    for r in mine]
            model = MODEL.misses(os.path.join(BINDIR, k), geos, 1000, 0)
            for r, g, m in zip(mine, geos, model):
                with self.subTest(kernel=k, cache=g):
                    self.assertEqual(
                        pictures.fig3(int(r["D1mr"]) / pictures.READS),
                        pictures.fig3(m[0] / pictures.READS))


class Series(unittest.TestCase):
    """For any build: the pieces the pictures are drawn from."""

    def test_array_bases_agree_with_the_trace_of_a_pass(self):
        # Every step's twenty array reads, base plus index in array
        # order, come in that order in the model's trace of the pass,
        # whatever the compiler put beside them in main's frame.
        for k in KERNELS:
            with self.subTest(k):
                kernel = os.path.join(BINDIR, k)
                indices = MODEL.indices(kernel, 1)
                bases = MODEL.bases(kernel)
                r = subprocess.run([MODEL.path, "trace", kernel,
                                    "--passes", "1"],
                                   capture_output=True, text=True, check=True)
                reads = iter(int(f[1], 16) for f in map(
                    str.split, r.stdout.splitlines()) if f[0] == "0")
                want = [b + 4 * i for i in indices for b in bases]
                self.assertEqual(len(want), 600 * 20)
                missing = next((n for n, a in enumerate(want)
                                if a not in reads), None)
                self.assertIsNone(missing, f"read {missing} of the pass "
                                  "is not in the trace where it should be")

    def test_each_line_of_a_pass(self):
        for k in ("loadgrid1", "loadgrid3"):
            with self.subTest(k):
                indices = MODEL.indices(os.path.join(BINDIR, k), 1)
                bases = MODEL.bases(os.path.join(BINDIR, k))
                length = pictures.LENGTH[k]
                self.assertEqual([bases[j] - bases[j + 1]
                                  for j in range(19)], [4 * length] * 19)
                touched, spans = pictures.pass_lines(bases, indices, length)
                # Every line the arrays span is read: each but the two at
                # the ends 16 times in a pass, or, 12 bytes a step, 5 or 6.
                reads = [sum(row) for row in touched]
                self.assertEqual(spans[0][1], len(touched) - 1)
                self.assertEqual(spans[-1][0], 0)
                self.assertTrue(reads[0] and reads[-1])
                self.assertEqual(set(reads[1:-1]),
                                 {16} if k == "loadgrid1" else {5, 6})
                # Steps of 128 bytes would skip every other line.
                skipping = [32 * (s % (length // 32))
                            for s in range(len(indices))]
                touched, _ = pictures.pass_lines(bases, skipping, length)
                self.assertGreater(touched.count([False] * len(indices)),
                                   len(touched) // 3)

    def test_recorded_points_must_cover_every_picture(self):
        with tempfile.TemporaryDirectory() as tmp:
            short = os.path.join(tmp, "short.csv")
            with open(os.path.join(COMMITTED, "measured.csv")) as f, \
                    open(short, "w") as out:
                out.writelines(line for line in f
                               if not line.startswith("loadgrid2,49152,"))
            out = os.path.join(tmp, "out")
            r = draw(out, "--measured", short)
            if "matplotlib: not installed" in r.stderr:
                self.skipTest("matplotlib is not installed")
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr, f"pictures: {short}: no count for "
                             "loadgrid2 at 49152,12,64 (1 missing; draw "
                             "with --measure)\n")
            self.assertFalse(os.path.exists(out))
            r = draw(out, "--measured", os.path.join(tmp, "none.csv"))
            self.assertEqual(r.stderr, f"pictures: {tmp}/none.csv: "
                             "No such file or directory\n")
            r = draw(out, "--measure", "now")
            self.assertEqual(r.returncode, 1)
            self.assertIn("usage: pictures.py", r.stderr)


if __name__ == "__main__":
    unittest.main()
