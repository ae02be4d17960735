"""Predicts cachegrind's whole report of each kernel's canonical run at
several hierarchies: one `loadgrid-model predict` per kernel and
hierarchy, two at a time, each report written as predict writes it.

usage: reports.py BINDIR OUTDIR HIERARCHY...
  HIERARCHY: "--I1=SIZE,ASSOC,LINE --D1=... --LL=..." as cachegrind's options
"""
import concurrent.futures
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))
from tools import vg  # noqa: E402


def main(bindir, outdir, hierarchies):
    model = os.path.join(bindir, "loadgrid-model")
    jobs = [(k, h.split()) for k in vg.NAMES for h in hierarchies]

    def predict(job):
        kernel, options = job
        return vg.ask([model, "predict", os.path.join(bindir, kernel),
                       *options])
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for n, text in enumerate(pool.map(predict, jobs)):
            with open(os.path.join(outdir, f"report{n}"), "w") as f:
                f.write(text)
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__.split("\n\n")[1])
    try:
        sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
    except vg.Failure as e:
        sys.exit(f"reports.py: {e}")
