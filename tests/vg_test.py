"""tools/vg.py, what the tools read of loadgrid-model and Valgrind: its
readings of their output against each other on the real kernels.

Environment: BINDIR (the kernels and loadgrid-model), PYTHONPATH naming
the source folder.
"""
import glob
import os
import unittest

from tools import vg

BINDIR = os.environ["BINDIR"]
MODEL = vg.Model(os.path.join(BINDIR, "loadgrid-model"))
HIERARCHY = [(16384, 4, 32), (8192, 2, 64), (262144, 8, 128)]


def kernel(name):
    return os.path.join(BINDIR, name)


def leftovers():
    return set(glob.glob("/tmp/loadgrid-model.*") +
               glob.glob("/tmp/loadgrid-vg.*"))


class Readings(unittest.TestCase):
    def test_predicted_and_measured_files_read_alike(self):
        options = [f"--{level}={vg.spelled(g)}"
                   for level, g in zip(vg.LEVELS, HIERARCHY)]
        before = leftovers()
        for name in ("loadgrid1", "loadgrid3"):
            with self.subTest(name):
                mine = vg.Report(MODEL("predict", kernel(name), *options))
                theirs = vg.Report(MODEL.cachegrind_file(kernel(name),
                                                         options))
                self.assertEqual(mine.caches(), HIERARCHY)
                self.assertEqual(theirs.caches(), HIERARCHY)
                self.assertEqual(mine.summary, vg.summary(mine.places))
                self.assertEqual(theirs.summary, vg.summary(theirs.places))
                self.assertEqual(mine.functions["main"],
                                 theirs.functions["main"])
                self.assertEqual(mine.places, theirs.places)
        self.assertEqual(leftovers(), before)

    def test_main_counts_agree_with_facts_and_misses(self):
        geometry = (32768, 8, 64)
        for name in vg.NAMES:
            with self.subTest(name):
                reads, writes, read_misses, write_misses = MODEL.cachegrind(
                    kernel(name), vg.spelled(geometry))
                facts = MODEL.facts(kernel(name))
                self.assertEqual(facts["accesses"], [f"{reads} {writes}"])
                row, = MODEL.misses(kernel(name), [geometry])
                self.assertEqual(row[:2], (read_misses, write_misses))

    def test_lru_figures_are_the_trace_misses(self):
        # misses without a policy counts the trace in an LRU write-back
        # cache: the same figures as asked for by name.
        geos = [(4096, 1, 64), (32768, 8, 64), (49152, 12, 64)]
        for name in vg.NAMES:
            with self.subTest(name):
                plain = MODEL.misses(kernel(name), geos, passes=2)
                named = MODEL.figures(kernel(name), geos, 2, "lru", "back",
                                      True)
                self.assertEqual(len(named), len(geos))
                for row, f in zip(plain, named):
                    self.assertEqual(row[2:], (f["read_misses"],
                                               f["write_misses"]))
                    self.assertEqual(f["misses"], sum(row[2:]))
                    self.assertEqual(f["compulsory"] + f["capacity"] +
                                     f["conflict"], f["misses"])

    def test_indices_and_bases_of_a_pass(self):
        for name in vg.NAMES:
            with self.subTest(name):
                indices = MODEL.indices(kernel(name), 1)
                self.assertEqual(len(indices), vg.STEPS)
                self.assertTrue(all(0 <= i < vg.LENGTH[name]
                                    for i in indices))
                bases = MODEL.bases(kernel(name))
                self.assertEqual(len(bases), vg.ARRAYS)
                self.assertEqual({a - b for a, b in zip(bases, bases[1:])},
                                 {vg.ELEM * vg.LENGTH[name]})

    def test_failures_say_the_command_and_its_last_words(self):
        with self.assertRaises(vg.Failure) as e:
            MODEL.misses(kernel("loadgrid1"), [(64, 1, 64)])
        self.assertTrue(str(e.exception).startswith(
            "loadgrid-model: loadgrid-model: "), str(e.exception))
        with self.assertRaises(vg.Failure) as e:
            vg.Report("desc: I1 cache: 1 B, 1 B, direct-mapped\n")
        self.assertEqual(str(e.exception),
                         "cachegrind: no summary or no functions")
        with self.assertRaises(vg.Failure) as e:
            vg.Report("events: Ir\n")
        self.assertEqual(str(e.exception), "cachegrind: events Ir, not the "
                         "nine of a cache simulation")


if __name__ == "__main__":
    unittest.main()
