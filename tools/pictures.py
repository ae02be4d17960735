#!/usr/bin/env python3
"""Draw what each kernel reads and how its misses fall as the cache grows.

usage: pictures.py BINDIR OUTDIR [--measured FILE]

BINDIR holds the kernels and loadgrid-model (a build folder).  The lines
are loadgrid-model's answers; the points are cachegrind's counts of the
canonical run, measured now and written to OUTDIR/measured.csv, or read
from FILE.  Writes SVG files into OUTDIR and prints their paths.  The SVG
is reproducible: no date, a fixed hash salt, and the plotted values
rounded to three significant figures, which no eye can tell apart.
"""
import concurrent.futures
import csv
import os
import subprocess
import sys


HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import loadgrid_model  # noqa: E402
import vgrun  # noqa: E402

READS = 12_000_000
STEPS_SHOWN = 40
LINE = 64
# Doubling sizes at 8 ways, and the two where the arrays start to fit.
SIZES = [(1 << k, 8) for k in range(10, 21)] + [(48 << 10, 12),
                                                 (144 << 10, 9)]
WAYS = [1, 2, 4, 8, 16, 32]  # at 32 KiB
SHIFTS = list(range(-256, 257, 16))
SHIFT_CACHES = [(8192, 1, 32), (32768, 8, 64)]
STYLE = {"loadgrid1": ("o", "-", "tab:blue"),
         "loadgrid2": ("s", "--", "tab:orange"),
         "loadgrid3": ("^", ":", "tab:green")}
WHAT = {"loadgrid1": "sequential", "loadgrid2": "random",
        "loadgrid3": "strided"}

plt = None  # matplotlib.pyplot, once main has found it


def plotting_python():
    """Go on under an interpreter that has matplotlib: this one, or the
    system's."""
    global plt
    try:
        import matplotlib
    except ImportError:
        system = "/usr/bin/python3"
        if os.path.realpath(sys.executable) != os.path.realpath(system) \
                and subprocess.run([system, "-c", "import matplotlib"],
                                   capture_output=True).returncode == 0:
            os.execv(system, [system, *sys.argv])
        sys.exit("pictures: matplotlib: not installed "
                 "(Debian's python3-matplotlib)")
    matplotlib.use("svg")
    import matplotlib.pyplot
    plt = matplotlib.pyplot
    plt.rcParams.update({"svg.hashsalt": "loadgrid", "path.simplify": False,
                         "font.size": 9,
                         "axes.grid": True, "grid.alpha": 0.3})


def fig3(x):
    """x rounded to three significant figures."""
    return float(f"{x:.3g}")


def geometry(size, ways):
    return f"{size},{ways},{LINE}"


def kib(size):
    return f"{size >> 10} KiB" if size < 1 << 20 else f"{size >> 20} MiB"


def save(fig, outdir, name):
    path = os.path.join(outdir, name)
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)
    print(path)


def pattern(outdir, bindir, name):
    """The first steps of a pass, read by read; for the random kernel also
    how often each element is read over the whole run."""
    kernel = os.path.join(bindir, name)
    length = 1800 if name == "loadgrid3" else 600
    random = name == "loadgrid2"
    indices = loadgrid_model.numbers(kernel, "indices",
                                     n=loadgrid_model.learn.PASSES if random
                                     else 1)
    fig, axes = plt.subplots(1, 2, squeeze=False, figsize=(10, 4.8))
    ax = axes[0][0]
    for j in range(0, 20, 2):
        ax.axhspan(j, j + 1, color="0.92", zorder=0)
    xs, ys = [], []
    for s, i in enumerate(indices[:STEPS_SHOWN]):
        for j in range(20):
            xs.append(20 * s + j)
            ys.append(j + i / length)
    ax.plot(xs, ys, ".", color="black", markersize=3,
            label="array read", gid="reads")
    ax.set_xlim(-5, 20 * STEPS_SHOWN + 5)
    ax.set_ylim(20, -0.4)
    ax.set_yticks([j + 0.5 for j in range(20)])
    ax.set_yticklabels([f"a{j}" for j in range(20)], fontsize=7)
    ax.grid(False)
    ax.set_xlabel(f"read number in the pass (20 reads a step, first "
                  f"{STEPS_SHOWN} steps)")
    ax.set_ylabel(f"array, and element 0 to {length - 1} down its band")
    ax.set_title(f"{name}: the first {STEPS_SHOWN} steps of a pass "
                 f"({WHAT[name]})")
    if random:
        counts = [0] * length
        for i in indices:
            counts[i] += 1
        ax = axes[0][1]
        ax.plot(range(length), counts, "-", color="black", linewidth=0.8,
                label="reads of the element, per array", gid="counts")
        mean = len(indices) / length
        ax.axhline(mean, color="black", linestyle="--", linewidth=0.8,
                   label=f"even share ({mean:,.0f})")
        ax.set_xlabel("element index")
        ax.set_ylabel("times read in 1000 passes (each array)")
        ax.set_title("how often rand() % 600 picks each element")
        ax.legend(loc="lower right")
    else:
        ax = axes[0][1]
        steps = range(STEPS_SHOWN)
        ax.plot(steps, indices[:STEPS_SHOWN], "o", color="black",
                markersize=3, label="element read (every array)",
                gid="index")
        ax.set_xlabel("step in the pass")
        ax.set_ylabel("element index read (4 bytes each)")
        stride = indices[1] - indices[0]
        ax.set_title(f"each step moves the index {stride} element"
                     f"{'s' if stride > 1 else ''} ({4 * stride} bytes)")
        ax.legend(loc="upper left")
    fig.tight_layout()
    save(fig, outdir, f"pattern-{name}.svg")


def measure(bindir, geometries):
    """cachegrind's D1 read misses of main for each (kernel, geometry)."""
    jobs = [(k, g) for k in vgrun.KERNELS for g in geometries]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        got = pool.map(lambda job: vgrun.cachegrind(
            os.path.join(bindir, job[0]), job[1])[0][2], jobs)
        return dict(zip(jobs, got))


def curves(outdir, bindir, measured):
    """Misses per read against cache size, and against associativity."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.8))
    panels = ((left, SIZES, "8-way, 64-byte lines; 48 KiB 12-way and "
               "144 KiB 9-way marked"),
              (right, [(32 << 10, w) for w in WAYS],
               "32 KiB, 64-byte lines"))
    panels = [p + (tag,) for p, tag in zip(panels, ("sizes", "ways"))]
    for ax, geos, title, tag in panels:
        for name in vgrun.KERNELS:
            marker, line, colour = STYLE[name]
            kernel = os.path.join(bindir, name)
            rows = loadgrid_model.misses(
                kernel, [(s, w, LINE) for s, w in geos],
                loadgrid_model.learn.PASSES, 0)
            xs = [s if ax is left else w for s, w in geos]
            model = [fig3(r[0] / READS) for r in rows]
            points = [fig3(measured[(name, geometry(s, w))] / READS)
                      for s, w in geos]
            order = sorted(range(len(xs)), key=xs.__getitem__)
            ax.plot([xs[k] for k in order], [model[k] for k in order],
                    line, color=colour, label=f"{name} model",
                    gid=f"model-{tag}-{name}")
            ax.plot(xs, points, marker, color=colour, fillstyle="none",
                    markersize=7, linestyle="none",
                    label=f"{name} cachegrind",
                    gid=f"cachegrind-{tag}-{name}")
        ax.set_yscale("log")
        ax.set_ylabel("D1 read misses of main per array read")
        ax.set_title(title)
        ax.legend(fontsize=7)
    left.set_xscale("log", base=2)
    left.set_xticks([s for s, w in SIZES if w == 8])
    left.set_xticklabels([kib(s) for s, w in SIZES if w == 8], rotation=45)
    left.set_xlabel("D1 size (bytes, log scale)")
    for size in (48 << 10, 144 << 10):
        left.axvline(size, color="0.5", linewidth=0.6, linestyle="-.")
    right.set_xscale("log", base=2)
    right.set_xticks(WAYS)
    right.set_xticklabels([str(w) for w in WAYS])
    right.set_xlabel("ways (log scale)")
    fig.suptitle("D1 misses as the cache grows: the model's lines, "
                 "cachegrind's points")
    fig.tight_layout()
    save(fig, outdir, "misses.svg")


def shifts(outdir, bindir):
    """How misses move with the stack's position."""
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    for ax, (size, ways, line) in zip(axes, SHIFT_CACHES):
        for name in vgrun.KERNELS:
            marker, style, colour = STYLE[name]
            kernel = os.path.join(bindir, name)
            misses = [loadgrid_model.misses(kernel, [(size, ways, line)],
                                            loadgrid_model.learn.PASSES,
                                            s)[0][0] for s in SHIFTS]
            base = misses[SHIFTS.index(0)]
            ys = [fig3(100 * (m - base) / base) for m in misses]
            ax.plot(SHIFTS, ys, style, marker=marker, color=colour,
                    markersize=4, fillstyle="none", label=name,
                    gid=f"shift-{size}-{name}")
        ax.legend(fontsize=7, loc="upper center", ncol=3)
        ax.set_xlabel("stack shift (bytes lower than the canonical run)")
        ax.set_ylabel("D1 read misses of main,\nchange from the canonical "
                      "run (%)")
        ax.margins(y=0.3)
        ax.set_title(f"{kib(size)} {'direct-mapped' if ways == 1 else f'{ways}-way'}"
                     f", {line}-byte lines")
    fig.suptitle("The same run with the stack lower: why runs differ")
    fig.tight_layout()
    save(fig, outdir, "stack-shift.svg")


# Every geometry with a cachegrind point.
MEASURED = [geometry(s, w) for s, w in SIZES] + \
    [geometry(32 << 10, w) for w in WAYS if w != 8]


def main(argv):
    if len(argv) not in (2, 4) or len(argv) == 4 and argv[2] != "--measured":
        sys.exit(__doc__)
    bindir, outdir = argv[:2]
    plotting_python()
    loadgrid_model.in_build(bindir)
    os.makedirs(outdir, exist_ok=True)
    geometries = MEASURED
    if len(argv) == 4:
        with open(argv[3]) as f:
            measured = {(r["kernel"], f"{r['size']},{r['ways']},{r['line']}"):
                        int(r["D1mr"]) for r in csv.DictReader(f)}
    else:
        measured = measure(bindir, geometries)
        with open(os.path.join(outdir, "measured.csv"), "w") as f:
            out = csv.writer(f, lineterminator="\n")
            out.writerow(["kernel", "size", "ways", "line", "D1mr"])
            for (k, g), n in measured.items():
                out.writerow([k, *g.split(","), n])
    for name in vgrun.KERNELS:
        pattern(outdir, bindir, name)
    curves(outdir, bindir, measured)
    shifts(outdir, bindir)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except vgrun.Failure as e:
        sys.exit(f"pictures: {e}")
