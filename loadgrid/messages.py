"""What the programs say: failures, a child's end in words, and long steps
on standard error."""
import signal
import sys

PROG = "loadgrid-model"


class Failure(Exception):
    """A tool that could not run, or a run that is not what it should be."""


def status(code):
    """A child's exit status in words."""
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


def say(what):
    """A step that takes a while, said on stderr."""
    print(f"{PROG}: {what}", file=sys.stderr, flush=True)
