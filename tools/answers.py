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

try:
    from tools import vg
except ImportError:
    sys.exit("answers: the tools folder: not found; run it from the "
             "source folder as python3 -m tools.answers")

CACHES = [("8 KiB direct-mapped, 32-byte lines", "8192,1,32"),
          ("32 KiB 8-way", "32768,8,64"),
          ("48 KiB 12-way", "49152,12,64"),
          ("64 KiB 2-way", "65536,2,64"),
          ("1 MiB 16-way", "1048576,16,64")]


def pair(model, measured):
    """A model's figure and cachegrind's, as two cells."""
    return f"{model:,} | {measured:,}"


HIERARCHY = [(32768, 8, 64), (32768, 8, 64), (8 << 20, 16, 64)]


def hierarchy_table(model, bindir):
    """main's and the whole run's I1 and LL misses in one hierarchy, and
    whether every function's every event agrees."""
    options = [f"--{level}={vg.spelled(g)}"
               for level, g in zip(vg.LEVELS, HIERARCHY)]
    print("| kernel | I1 misses in `main` | cachegrind | LL misses in `main` "
          "| cachegrind | I1 misses, whole run | cachegrind "
          "| LL misses, whole run | cachegrind | functions, all 9 events |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    same = True
    for name in vg.NAMES:
        kernel = os.path.join(bindir, name)
        mine = vg.Report(model("predict", kernel, *options)).places
        theirs = vg.Report(model.cachegrind_file(kernel, options))
        functions = vg.by_function(mine)
        rows = []
        for costs in (functions["main"], theirs.functions["main"],
                      vg.summary(mine), theirs.summary):
            c = dict(zip(vg.EVENTS, costs))
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
    return tables(vg.Model(os.path.join(bindir, "loadgrid-model")), bindir)


def tables(model, bindir):
    """Prints the tables; whether every figure equals cachegrind's."""
    same = True
    access_rows, miss_rows = [], []
    geometries = [tuple(map(int, g.split(","))) for _, g in CACHES]
    for name in vg.NAMES:
        kernel = os.path.join(bindir, name)
        predicted = model.misses(kernel, geometries)
        reads, writes = map(int, model.facts(kernel)["accesses"][0].split())
        measured = [model.cachegrind(kernel, g) for _, g in CACHES]
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
    same = hierarchy_table(model, bindir) and same
    print("\nEach figure is loadgrid-model's, beside cachegrind's count of "
          "the canonical run: " + ("all equal." if same else
                                   "SOME DIFFER."))
    return 0 if same else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except vg.Failure as e:
        sys.exit(f"answers: {e}")
