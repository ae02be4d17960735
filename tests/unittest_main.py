"""unittest's command line, ending with CTest's skip code (77) when every
test that ran was skipped, so that CTest says Skipped, not Passed.  A test
whose subtests were all skipped was skipped; one of which only some were
skipped ran:

  python3 unittest_main.py [-v] MODULE.CLASS...
"""
import sys
import unittest

SKIPPED = 77


class Result(unittest.TextTestResult):
    """Notes, of each test with subtests, whether any subtest ran."""
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.ran_parts = set()

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        self.ran_parts.add(test.id())

    def skipped_tests(self):
        ids = set()
        for test, _ in self.skipped:
            whole = getattr(test, "test_case", test)  # a subtest's test
            if whole is test or whole.id() not in self.ran_parts:
                ids.add(whole.id())
        return ids


class Runner(unittest.TextTestRunner):
    resultclass = Result


def main():
    result = unittest.main(module=None, exit=False, testRunner=Runner).result
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped_tests()) == result.testsRun:
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
