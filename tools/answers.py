#!/usr/bin/env python3
"""Print the README's known answers: each kernel's data accesses in main,
its D1 misses for five caches, and its I1 and LL misses in one
hierarchy, by loadgrid-model, with cachegrind's count of the canonical
run beside each, as Markdown tables.

usage: answers.py BINDIR

BINDIR holds the kernels and loadgrid-model (a build folder).  Run it
from the source folder as python3 -m tools.answers.  Exits 1
if any answer differs from cachegrind's.
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    from loadgrid import cachegrind_out, kernels, messages, runs, valgrind
    from loadgrid.answers import Answers
except ImportError:
    sys.exit("answers: the loadgrid package: not found; run it from "
             "the source folder as python3 -m tools.answers, or with "
             "PYTHONPATH naming that folder")

CACHES = [("8 KiB direct-mapped, 32-byte lines", "8192,1,32"),
          ("32 KiB 8-way", "32768,8,64"),
          ("48 KiB 12-way", "49152,12,64"),
          ("64 KiB 2-way", "65536,2,64"),
          ("1 MiB 16-way", "1048576,16,64")]


def pair(model, measured):
    """A model's figure and cachegrind's, as two cells."""
    return f"{model:,} | {measured:,}"


HIERARCHY = [(32768, 8, 64), (32768, 8, 64), (8 << 20, 16, 64)]


def hierarchy_table(answers, bindir):
    """main's and the whole run's I1 and LL misses in one hierarchy, and
    whether every function's every event agrees."""
    options = cachegrind_out.cache_options(HIERARCHY)
    print("| kernel | I1 misses in `main` | cachegrind | LL misses in `main` "
          "| cachegrind | I1 misses, whole run | cachegrind "
          "| LL misses, whole run | cachegrind | functions, all 9 events |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    same = True
    for name in kernels.NAMES:
        run = runs.Run(os.path.join(bindir, name))
        mine, = answers.report(run, [HIERARCHY])
        theirs = cachegrind_out.Report(valgrind.cachegrind_file(run, options))
        functions = cachegrind_out.by_function(mine)
        rows = []
        for costs in (functions["main"], theirs.functions["main"],
                      cachegrind_out.summary(mine),
                      theirs.summary):
            c = dict(zip(cachegrind_out.EVENTS, costs))
            rows.append((c["I1mr"], c["ILmr"] + c["DLmr"] + c["DLmw"]))
        agree = mine == theirs.places
        same = same and agree and rows[0] == rows[1] and rows[2] == rows[3]
        print(f"| `{name}` | {pair(rows[0][0], rows[1][0])} | "
              f"{pair(rows[0][1], rows[1][1])} | "
              f"{pair(rows[2][0], rows[3][0])} | "
              f"{pair(rows[2][1], rows[3][1])} | "
              f"{len(functions)}, {'equal' if agree else 'DIFFERENT'} |")
    print("\nI1 and D1 32 KiB 8-way, LL 8 MiB 16-way, 64-byte lines "
          "(`loadgrid-model predict KERNEL " + " ".join(options) + "`); "
          "LL misses are cachegrind's ILmr + DLmr + DLmw.")
    return same


def main():
    doc = __doc__.split("\n\n", 2)
    p = argparse.ArgumentParser(
        prog="answers.py", description=doc[0], epilog=doc[2],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("bindir", metavar="BINDIR",
                   help="the build folder: the kernels and loadgrid-model")
    bindir = p.parse_args().bindir
    with Answers(os.path.join(bindir, "engine",
                                             "loadgrid-engine")) as answers:
        return tables(answers, bindir)


def tables(answers, bindir):
    """Prints the tables; whether every figure equals cachegrind's."""
    same = True
    access_rows, miss_rows = [], []
    geometries = [tuple(map(int, g.split(","))) for _, g in CACHES]
    for name in kernels.NAMES:
        run = runs.Run(os.path.join(bindir, name))
        predicted = answers.misses(run, geometries)
        reads, writes = answers.accesses(run)
        measured = [valgrind.cachegrind(run, g) for _, g in CACHES]
        same = same and (reads, writes) == measured[0][:2]
        access_rows.append(f"| `{name}` | {pair(reads, measured[0][0])} | "
                           f"{pair(writes, measured[0][1])} |")
        for (label, _), p, m in zip(CACHES, predicted, measured):
            same = same and p[:2] == m[2:]
            miss_rows.append(f"| `{name}` | {label} | {pair(p[0], m[2])} | "
                             f"{pair(p[1], m[3])} |")
    print("| kernel | data reads in `main` | cachegrind | "
          "data writes in `main` | cachegrind |")
    print("|---|---:|---:|---:|---:|")
    print("\n".join(access_rows))
    print()
    print("| kernel | D1 cache (64-byte lines but the first) "
          "| read misses in `main` | cachegrind "
          "| write misses in `main` | cachegrind |")
    print("|---|---|---:|---:|---:|---:|")
    print("\n".join(miss_rows))
    print()
    same = hierarchy_table(answers, bindir) and same
    print("\nEach figure is loadgrid-model's, beside cachegrind's count of "
          "the canonical run: " + ("all equal." if same else
                                   "SOME DIFFER."))
    return 0 if same else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except messages.Failure as e:
        sys.exit(f"answers: {e}")
