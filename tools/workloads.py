#!/usr/bin/env python3
"""Run every workload and print what each did and how long it took.

usage: workloads.py BINDIR [RUNS]

BINDIR holds loadgrid1, loadgrid2, loadgrid3 and bytecopy.  Each program
runs once under GNU time for its peak memory, then RUNS more times
(default 20; a quarter as many copies) under hyperfine, or a plain timer
where hyperfine is not installed.  Then loadgrid-model, where BINDIR has
it and Valgrind is installed, shows each kernel's known D1 misses beside
cachegrind's, and checks its whole cachegrind report for one hierarchy;
and, where matplotlib is installed, the kernels' pictures are drawn into
BINDIR/pictures.  Exits 1, saying why, if a
workload fails, the copy differs from its input, a known answer is not
what cachegrind measures or a picture cannot be drawn.
"""
import argparse
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tools import vg  # noqa: E402

COPY_MIB = 32
TIME = "/usr/bin/time"
GEOMETRY = "32768,8,64"
HIERARCHY = {"I1": "32768,8,64", "D1": "32768,8,64", "LL": "8388608,16,64"}
KERNELS = [(name, f"{vg.READS:,} reads, " +
            (f"{vg.PASSES * vg.STEPS:,} rand calls"
             if walk == "at random" else walk))
           for name, walk in vg.WALK.items()]


def fail(why):
    sys.exit(f"workloads: {why}")


def peak_memory(cmd):
    """Peak resident memory of one run, by GNU time.  A child of this
    process would count this interpreter's memory too, from before exec."""
    if not os.access(TIME, os.X_OK):
        return "n/a"
    with tempfile.NamedTemporaryFile("r") as out:
        status = subprocess.run([TIME, "-q", "-f", "%M", "-o", out.name,
                                 *cmd], stdout=subprocess.DEVNULL).returncode
        if status:
            fail(f"{os.path.basename(cmd[0])}: exit status {status}")
        return f"{int(out.read().split()[-1]):,} KiB"


def times(cmd, runs):
    """Wall times of several runs, in seconds."""
    if shutil.which("hyperfine"):
        with tempfile.NamedTemporaryFile(suffix=".json") as out:
            r = subprocess.run(
                ["hyperfine", "-N", "--style", "none", "--warmup", "2",
                 "--runs", str(runs), "--export-json", out.name,
                 shlex.join(cmd)], capture_output=True, text=True)
            if r.returncode:
                fail(f"{os.path.basename(cmd[0])}: failed under hyperfine: "
                     + r.stderr.strip())
            return json.load(out)["results"][0]["times"]
    result = []
    for _ in range(runs + 2):
        start = time.perf_counter()
        status = subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode
        if status:
            fail(f"{os.path.basename(cmd[0])}: exit status {status}")
        result.append(time.perf_counter() - start)
    return result[2:]  # as hyperfine, after two warm-up runs


def measure(cmd, runs):
    peak = peak_memory(cmd)
    t = times(cmd, runs)
    return statistics.median(t), min(t), max(t), peak


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def table(head, rows):
    """Prints rows under head in left-aligned columns."""
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    for r in [head] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


def known_answers(bindir):
    """Each kernel's D1 misses of main, predicted and measured."""
    model = os.path.join(bindir, "loadgrid-model")
    if not os.access(model, os.X_OK):
        print("\nKnown answers: skipped, no loadgrid-model in " + bindir)
        return
    rows = []
    for name, _ in KERNELS:
        r = subprocess.run([model, "check", os.path.join(bindir, name),
                            "--cache", GEOMETRY], capture_output=True,
                           text=True)
        row = [line.split() for line in r.stdout.splitlines()
               if line.startswith(GEOMETRY + " ")]
        if r.returncode or len(row) != 1:
            # Progress comes first on stderr, the failure last.
            why = (r.stderr.strip().splitlines() or [
                f"exit status {r.returncode}"])[-1]
            if "valgrind: not found" in why or "dynamically linked" in why:
                print(f"\nKnown answers: skipped, {why.split(': ', 1)[1]}")
                return
            # Status 1 with a table is a difference, found below.
            if r.returncode != 1 or not row or row[0][5] == "equal":
                fail(f"{name}: loadgrid-model check: {why}")
        counts = [f"{int(n):,}" for n in row[0][1:5]]
        rows.append((name, *counts, row[0][5]))
    head = ("kernel", "predicted reads", "writes", "cachegrind reads",
            "writes", "")
    try:
        facts = vg.Model(model).facts(os.path.join(bindir, KERNELS[0][0]))
    except vg.Failure as e:
        fail(f"{KERNELS[0][0]}: {e}")
    build = facts["build"][0]
    print("\nKnown answers: D1 misses of main, 32 KiB 8-way cache of 64-byte "
          "lines\n(loadgrid-model check KERNEL --cache " + GEOMETRY + "),\n"
          f"of this build: {build}")
    table(head, rows)
    if any(r[5] != "equal" for r in rows):
        fail("a known answer differs from cachegrind's count")
    whole_reports(model, bindir)


def whole_reports(model, bindir):
    """Each kernel's whole cachegrind report, predicted and measured."""
    caches = [f"--{level}={HIERARCHY[level]}" for level in HIERARCHY]
    print("\nThe whole report: every function's I1, D1 and LL events\n"
          "(loadgrid-model check KERNEL " + " ".join(caches) + ")")
    for name, _ in KERNELS:
        r = subprocess.run([model, "check", os.path.join(bindir, name),
                            *caches], capture_output=True, text=True)
        said = r.stdout.splitlines()
        if r.returncode or not said or not said[0].startswith("all "):
            why = (r.stderr.strip().splitlines() or [
                f"{len(said) - 2} figures differ"])[-1]
            fail(f"{name}: loadgrid-model check: {why}")
        print(f"{name}  {said[0]}")


def pictures(bindir):
    """Draws the pictures, or says in one line that matplotlib is missing;
    a picture that cannot be drawn is a failure."""
    out = os.path.join(bindir, "pictures")
    r = subprocess.run([sys.executable, os.path.join(HERE, "pictures.py"),
                        bindir, out], capture_output=True, text=True)
    if r.returncode:
        why = (r.stderr.strip().splitlines()[-1:] or [
            f"exit status {r.returncode}"])[0].removeprefix("pictures: ")
        if not why.startswith("matplotlib: not installed"):
            fail(f"the pictures: {why}")
        print(f"\nPictures: skipped, {why}")
    else:
        where = os.path.relpath(out)
        if where.startswith(".."):
            where = os.path.abspath(out)
        print(f"\nPictures: {os.path.join(where, '*.svg')}")


def main():
    doc = __doc__.split("\n\n", 2)
    p = argparse.ArgumentParser(
        prog="workloads.py", description=doc[0], epilog=doc[2],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("bindir", metavar="BINDIR",
                   help="the build folder: the programs and loadgrid-model")
    p.add_argument("runs", metavar="RUNS", nargs="?", type=int, default=20,
                   help="timed runs of each kernel (default 20)")
    args = p.parse_args()
    bindir, runs = args.bindir, args.runs
    copies = max(3, runs // 4)
    rows = []
    for name, what in KERNELS:
        med, lo, hi, peak = measure([os.path.join(bindir, name)], runs)
        rows.append((name, what, ms(med), f"{ms(lo)} - {ms(hi)}",
                     peak, ""))

    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        data = random.Random(1).randbytes(COPY_MIB << 20)
        with open(src, "wb") as f:
            f.write(data)
        cmd = [os.path.join(bindir, "bytecopy"), src, dst]
        med, lo, hi, peak = measure(cmd, copies)
        with open(dst, "rb") as f:
            if f.read() != data:
                fail("bytecopy: the copy differs from its input")
    rows.append(("bytecopy", f"{len(data):,} bytes copied, byte by byte",
                 ms(med), f"{ms(lo)} - {ms(hi)}", peak,
                 f"{len(data) / med / (1 << 20):.1f} MiB/s"))

    head = ("program", "what it does", "median", "spread (min - max)",
            "peak memory", "throughput")
    table(head, rows)
    timer = "hyperfine" if shutil.which("hyperfine") else "a plain timer"
    print(f"\nWall times by {timer}, {runs} runs a kernel and "
          f"{copies} copies of {COPY_MIB} MiB; peak memory is "
          "the resident set of one run.")
    known_answers(bindir)
    pictures(bindir)


if __name__ == "__main__":
    main()
