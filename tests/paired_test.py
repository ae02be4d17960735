"""The benchmark's paired timer: its ratios are taken round by round, and
a command that fails stops it without a table."""
import os
import subprocess
import sys
import unittest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))), "bench")
sys.path.insert(0, BENCH)
import paired  # noqa: E402


class Paired(unittest.TestCase):
    def test_ratios_by_round(self):
        # By round a/b is 0.5, 1.5, 0.25: median 0.5; the medians' ratio
        # would be 1.
        rows = paired.table(["a", "b"], [[1, 3, 2], [2, 2, 8]]).splitlines()
        self.assertEqual(len(rows), 4)
        self.assertIn("| `a` | 2000.0 | 1000.0 | 3000.0 | "
                      "0.500 (0.250 to 1.500) |", rows)
        # Three commands: against the last and the first.
        rows = paired.table(["a", "b", "c"], [[1, 1], [2, 4], [4, 4]])
        self.assertIn("| `b` | 3000.0 | 2000.0 | 4000.0 | "
                      "0.750 (0.500 to 1.000) | 3.000 (2.000 to 4.000) |",
                      rows)

    def run_paired(self, *args):
        return subprocess.run(
            [sys.executable, os.path.join(BENCH, "paired.py"), *args],
            capture_output=True, text=True)

    def test_failures_stop_it(self):
        for command, said in [("echo why >&2; exit 3", "exit status 3\nwhy"),
                              ("kill -9 $$", "killed by signal 9")]:
            with self.subTest(command=command):
                done = self.run_paired("2", "fine", "true", "failing", command)
                self.assertNotEqual(done.returncode, 0)
                self.assertEqual(done.stdout, "")
                self.assertIn(said, done.stderr)

    def test_table_of_two(self):
        done = self.run_paired("2", "a", "true", "b", "true")
        self.assertEqual(done.returncode, 0, done.stderr)
        names = [row.split("|")[1].strip()
                 for row in done.stdout.splitlines()[2:]]
        self.assertEqual(names, ["`a`", "`b`"])


if __name__ == "__main__":
    unittest.main()
