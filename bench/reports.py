"""Predicts cachegrind's whole report of each kernel's canonical run at
several hierarchies in one process, through loadgrid-model's interface:
one engine call per kernel and hierarchy, two at a time, each report
written as `loadgrid-model predict` writes it.

usage: reports.py BINDIR OUTDIR HIERARCHY...
  HIERARCHY: "--I1=SIZE,ASSOC,LINE --D1=... --LL=..." as cachegrind's options
Run from the source folder as python3 -m bench.reports.
"""
import concurrent.futures
import os
import sys

try:
    from loadgrid import cachegrind_out, caches, kernels, messages, runs
    from loadgrid.answers import Answers
except ImportError:
    sys.exit("reports: the loadgrid package: not found; run it from "
             "the source folder as python3 -m bench.reports, or with "
             "PYTHONPATH naming that folder")


def hierarchy(options):
    """The three geometries of --I1=G --D1=G --LL=G."""
    given = dict(o.lstrip("-").split("=", 1) for o in options.split())
    return [caches.geometry(given[level]) for level in caches.LEVELS]


def main(bindir, outdir, hierarchies):
    jobs = [(k, hierarchy(h)) for k in kernels.NAMES for h in hierarchies]
    engine = os.path.join(bindir, "engine", "loadgrid-engine")
    with Answers(engine) as answers:
        def predict(job):
            kernel, cs = job
            run = runs.Run(os.path.join(bindir, kernel))
            places, = answers.report(run, [cs])
            return cachegrind_out.report_text(cs, run.path, places)
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
    except messages.Failure as e:
        sys.exit(f"reports.py: {e}")
