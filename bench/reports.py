"""Predicts cachegrind's whole report of each kernel's canonical run at
several hierarchies in one process, through loadgrid-model's interface:
one engine call per kernel and hierarchy, two at a time, each report
written as `loadgrid-model predict` writes it.

usage: reports.py BINDIR OUTDIR HIERARCHY...
  HIERARCHY: "--I1=SIZE,ASSOC,LINE --D1=... --LL=..." as cachegrind's options
Run with PYTHONPATH naming the model's modules.
"""
import concurrent.futures
import os
import sys

try:
    import loadgrid_model
    import vgrun
except ImportError:
    sys.exit("reports.py: the model's modules: not found; run it with "
             "PYTHONPATH=<source>/model")


def caches(options):
    """The three geometries of --I1=G --D1=G --LL=G."""
    given = dict(o.lstrip("-").split("=", 1) for o in options.split())
    return [loadgrid_model.geometry(given[level], f"--{level}")
            for level in loadgrid_model.LEVELS]


def main(bindir, outdir, hierarchies):
    jobs = [(k, caches(h)) for k in vgrun.KERNELS for h in hierarchies]
    engine = os.path.join(bindir, "model", "loadgrid-engine")
    with loadgrid_model.Answers(engine) as answers:
        def predict(job):
            kernel, cs = job
            run = vgrun.Run(os.path.join(bindir, kernel))
            places, = answers.report(run, [cs])
            return loadgrid_model.report_text(cs, run.path, places)
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
    except vgrun.Failure as e:
        sys.exit(f"reports.py: {e}")
