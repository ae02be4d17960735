"""unittest's command line, ending with CTest's skip code (77) when every
test that ran was skipped, so that CTest says Skipped, not Passed:

  python3 unittest_main.py [-v] MODULE.CLASS...
"""
import sys
import unittest

SKIPPED = 77


def main():
    result = unittest.main(module=None, exit=False).result
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped) == result.testsRun:
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
