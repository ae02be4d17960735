"""The pictures in the repository: what the code draws now, the series
each holds, and cachegrind's points on the model's lines.

Environment: BINDIR (the kernels and loadgrid-model), SOURCE_DIR,
LOADGRID_MODEL_CACHE.
"""
import csv
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE = os.environ["SOURCE_DIR"]
BINDIR = os.environ["BINDIR"]
COMMITTED = os.path.join(SOURCE, "pictures")
SCRIPT = os.path.join(SOURCE, "tools", "pictures.py")
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import pictures  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"


def series(path):
    """Per gid: the vertices of its line (its longest path: a marker's
    shape is a path too) and the number of its markers."""
    out = {}
    for g in ET.parse(path).iter(SVG + "g"):
        gid = g.get("id", "")
        paths = [p.get("d", "") for p in g.iter(SVG + "path")]
        out[gid] = (max((d.count("M") + d.count("L") for d in paths),
                        default=0),
                    len(list(g.iter(SVG + "use"))))
    return out


class Drawn(unittest.TestCase):
    """Only for the build that drew the committed copies (g++, static)."""

    def test_code_draws_the_committed_copies(self):
        with tempfile.TemporaryDirectory() as tmp:
            r = subprocess.run([sys.executable, SCRIPT, BINDIR, tmp,
                                "--measured",
                                os.path.join(COMMITTED, "measured.csv")],
                               capture_output=True, text=True)
            if "matplotlib: not installed" in r.stderr:
                self.skipTest("matplotlib is not installed")
            self.assertEqual(r.returncode, 0, r.stderr)
            drawn = sorted(f for f in os.listdir(tmp) if f.endswith(".svg"))
            self.assertEqual(drawn, sorted(
                f for f in os.listdir(COMMITTED) if f.endswith(".svg")))
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
        pictures.loadgrid_model.in_build(BINDIR)
        with open(os.path.join(COMMITTED, "measured.csv")) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(len(rows), 3 * len(pictures.MEASURED))
        for k in ("loadgrid1", "loadgrid2", "loadgrid3"):
            mine = [r for r in rows if r["kernel"] == k]
            geos = [(int(r["size"]), int(r["ways"]), int(r["line"]))
                    for r in mine]
            model = pictures.loadgrid_model.misses(
                os.path.join(BINDIR, k), geos, 1000, 0)
            for r, g, m in zip(mine, geos, model):
                with self.subTest(kernel=k, cache=g):
                    self.assertEqual(
                        pictures.fig3(int(r["D1mr"]) / pictures.READS),
                        pictures.fig3(m[0] / pictures.READS))


class Series(unittest.TestCase):
    def test_each_picture_holds_its_series(self):
        kernels = ("loadgrid1", "loadgrid2", "loadgrid3")
        got = series(os.path.join(COMMITTED, "misses.svg"))
        for k in kernels:
            for tag, n in (("sizes", len(pictures.SIZES)),
                           ("ways", len(pictures.WAYS))):
                self.assertEqual(got[f"model-{tag}-{k}"][0], n)
                self.assertEqual(got[f"cachegrind-{tag}-{k}"][1], n)
        got = series(os.path.join(COMMITTED, "stack-shift.svg"))
        for size, _, _ in pictures.SHIFT_CACHES:
            for k in kernels:
                self.assertEqual(got[f"shift-{size}-{k}"][0],
                                 len(pictures.SHIFTS))
        for k in kernels:
            got = series(os.path.join(COMMITTED, f"pattern-{k}.svg"))
            self.assertEqual(got["reads"][1], 20 * pictures.STEPS_SHOWN)
            if k == "loadgrid2":
                self.assertEqual(got["counts"][0], 600)
            else:
                self.assertEqual(got["index"][1], pictures.STEPS_SHOWN)


if __name__ == "__main__":
    unittest.main()
