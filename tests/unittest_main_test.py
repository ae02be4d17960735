"""unittest_main's status: 77 (CTest's Skipped) only when every test that
ran was skipped, a test whose subtests were all skipped counting as
skipped, and one of which some ran as run.  Each case runs this file's
classes through unittest_main in a process of its own."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAIN = os.path.join(HERE, "unittest_main.py")


class SomeLines(unittest.TestCase):
    def test_lines(self):
        for k in range(3):
            with self.subTest(k):
                if k == 1:
                    self.skipTest("this line cannot run here")


class EveryLine(unittest.TestCase):
    def test_lines(self):
        for k in range(3):
            with self.subTest(k):
                self.skipTest("no line can run here")


class Whole(unittest.TestCase):
    def test_whole(self):
        self.skipTest("cannot run here")


class FailingLine(unittest.TestCase):
    def test_lines(self):
        for k in range(2):
            with self.subTest(k):
                self.assertEqual(k, 0)


def status(*classes):
    env = dict(os.environ, PYTHONPATH=HERE)
    return subprocess.run(
        [sys.executable, MAIN] + [f"unittest_main_test.{c}" for c in classes],
        env=env, capture_output=True).returncode


class Statuses(unittest.TestCase):
    def test_statuses(self):
        for classes, want in ((["SomeLines"], 0), (["EveryLine"], 77),
                              (["Whole"], 77), (["Whole", "SomeLines"], 0),
                              (["Whole", "EveryLine"], 77),
                              (["FailingLine"], 1)):
            with self.subTest(classes):
                self.assertEqual(status(*classes), want)


if __name__ == "__main__":
    unittest.main()
