#!/usr/bin/env python3
"""Draw what each kernel reads and how its misses fall as the cache grows.

usage: pictures.py BINDIR OUTDIR [--measured FILE | --measure]

BINDIR holds the kernels and loadgrid-model (a build folder); run it
from the source folder as python3 -m tools.pictures.  The lines
are loadgrid-model's answers; the points are cachegrind's counts of the
canonical run: by default those recorded in the source tree's
pictures/measured.csv, or in FILE; with --measure, measured again now
(about 10 s more) and written to OUTDIR/measured.csv.  Writes SVG
files into OUTDIR and prints their paths; says each step on stderr.  The
SVG is reproducible: no date, a fixed hash salt, and the plotted values
rounded to three significant figures, which no eye can tell apart.
"""
import concurrent.futures
import csv
import os
import subprocess
import sys
import time


HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tools import vg  # noqa: E402
from tools.vg import ARRAYS, ELEM, LENGTH, NAMES, PASSES, READS  # noqa: E402

RECORDED = os.path.normpath(os.path.join(HERE, "..", "pictures",
                                         "measured.csv"))
STEPS_SHOWN = 48  # in the close-up of what the cache sees
LINE = 64
# Doubling sizes at 8 ways, and the two where the arrays start to fit.
SIZES = [(1 << k, 8) for k in range(10, 21)]
MARKS = [(48 << 10, 12), (144 << 10, 9)]
WAYS = [1, 2, 4, 8, 16, 32]  # at 32 KiB
SHIFTS = list(range(-256, 257, 16))
SHIFT_CACHES = [(8192, 1, 32), (32768, 8, 64)]
# The surface's default caches, every one drawn in its heat map.
HEAT_LINES, HEAT_SETS, HEAT_WAYS = (32, 64, 128, 256), 16384, 32
# loadgrid2 is drawn first, wide and pale, so that where its line meets
# loadgrid1's (64 KiB on: 743 and 744 misses) both still show.
STYLE = {"loadgrid2": dict(marker="s", linestyle="-", color="tab:orange",
                           linewidth=4, alpha=0.5, markersize=10),
         "loadgrid1": dict(marker="o", linestyle="-", color="tab:blue",
                           linewidth=1.2, alpha=1, markersize=6),
         "loadgrid3": dict(marker="^", linestyle="--", color="tab:green",
                           linewidth=1.2, alpha=1, markersize=7)}
WHAT = {"loadgrid1": "sequential", "loadgrid2": "random",
        "loadgrid3": "every third element"}

# matplotlib.pyplot and the pieces used, once main has found them
plt = matplotlib = AxesImage = PatchCollection = Rectangle = None


class Failure(Exception):
    """Said as "pictures: what: reason"."""


def say(what):
    print(f"pictures: {what}", file=sys.stderr, flush=True)


def plotting_python():
    """Go on under an interpreter that has matplotlib: this one, or the
    system's."""
    global plt, matplotlib, AxesImage, PatchCollection, Rectangle
    try:
        import matplotlib
    except ImportError:
        system = "/usr/bin/python3"
        if os.path.realpath(sys.executable) != os.path.realpath(system) \
                and subprocess.run([system, "-c", "import matplotlib"],
                                   capture_output=True).returncode == 0:
            # The package from the same folder, however this one found it.
            root = os.path.dirname(HERE)
            path = os.pathsep.join(filter(None, [root, os.environ.get(
                "PYTHONPATH")]))
            os.execve(system, [system, *sys.argv],
                      dict(os.environ, PYTHONPATH=path))
        sys.exit("pictures: matplotlib: not installed "
                 "(Debian's python3-matplotlib)")
    matplotlib.use("svg")
    import matplotlib.pyplot
    from matplotlib.collections import PatchCollection
    from matplotlib.image import AxesImage
    from matplotlib.patches import Rectangle
    plt = matplotlib.pyplot
    plt.rcParams.update({"svg.hashsalt": "loadgrid", "path.simplify": False,
                         "font.size": 9,
                         "axes.grid": True, "grid.alpha": 0.3})


def fig3(x):
    """x rounded to three significant figures."""
    return float(f"{x:.3g}")


def geometry(size, ways, line=LINE):
    return f"{size},{ways},{line}"


def kib(size):
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift:
            return f"{size >> shift} {unit}"
    return f"{size} B"


def save(fig, outdir, name):
    path = os.path.join(outdir, name)
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)
    print(path)


# The build the pictures are drawn from.

BUILD_FILE = "build"


def build_of(model, bindir):
    """The build the kernels in bindir come from, in its own words."""
    kernel = os.path.join(bindir, NAMES[0])
    try:
        return model.facts(kernel, 1)["build"][0]
    except vg.Failure as e:
        raise Failure(f"{kernel}: {e}") from None


# What a pass reads, line by line.

def pass_lines(bases, indices, length):
    """The 64-byte lines of a pass: a matrix, row 0 the lowest line of the
    arrays, one column a step, True where the step reads the line; and
    each array's rows."""
    low = bases[-1] // LINE
    rows = (bases[0] + ELEM * length - 1) // LINE - low + 1
    touched = [[False] * len(indices) for _ in range(rows)]
    for s, i in enumerate(indices):
        for b in bases:
            touched[(b + ELEM * i) // LINE - low][s] = True
    spans = [(b // LINE - low, (b + ELEM * length - 1) // LINE - low)
             for b in bases]
    return touched, spans


def pattern(outdir, name, bases, indices, all_indices):
    """The whole pass line by line, a close-up of the first steps against
    the 64-byte lines of two arrays, and for the random kernel how often
    each element is read over the whole run."""
    length = LENGTH[name]
    random = name == "loadgrid2"
    touched, spans = pass_lines(bases, indices, length)
    lines = sum(map(any, touched))
    panels = [["pass", "a0"], ["pass", "a1"]]
    if random:
        panels = [row + ["counts"] for row in panels]
    fig, axes = plt.subplot_mosaic(panels, figsize=(14 if random else 10.5, 6),
                                   width_ratios=[1.15, 1, 1][:len(panels[0])])
    ax = axes["pass"]
    # Even arrays' bands grey, odd white; a line read at a step black.
    band = [(255, 255, 255, 255)] * len(touched)
    for lo, hi in spans[::2]:
        band[lo:hi + 1] = [(226, 226, 226, 255)] * (hi + 1 - lo)
    pixels = [[(0, 0, 0, 255) if t else band[r] for t in row]
              for r, row in enumerate(touched)]
    image = AxesImage(ax, origin="lower", interpolation="none",
                      extent=(-0.5, len(indices) - 0.5,
                              -0.5, len(touched) - 0.5))
    image.set_data(pixels)
    image.set_gid("pass")
    ax.add_image(image)
    ax.set_xlim(-0.5, len(indices) - 0.5)
    ax.set_ylim(-0.5, len(touched) - 0.5)
    ax.set_yticks([(lo + hi) / 2 for lo, hi in spans])
    ax.set_yticklabels([f"a{j}" for j in range(ARRAYS)], fontsize=7)
    ax.tick_params(axis="y", length=0)
    ax.grid(False)
    ax.set_xlabel("step in the pass")
    ax.set_ylabel(f"64-byte line, each array's {ELEM * length:,}-byte band "
                  "(higher addresses up)")
    ax.set_title(f"the whole pass: {lines:,} of the arrays' "
                 f"{len(touched):,} lines read", fontsize=9)
    # The close-up: the first steps in arrays 0 and 1.
    shown = indices[:STEPS_SHOWN]
    top = ELEM * (length if random else max(shown) + 1)
    for j in (0, 1):
        ax = axes[f"a{j}"]
        first = (-bases[j]) % LINE  # the first line boundary, in bytes
        bounds = list(range(first, top + 1, LINE))
        for y in bounds:
            ax.axhline(y, color="0.7" if random else "0.5", linewidth=0.5)
        starts = [(bases[j] + ELEM * i) // LINE * LINE - bases[j]
                  for i in shown]
        boxes = PatchCollection(
            [Rectangle((s - 0.4, y), 0.8, LINE) for s, y in enumerate(starts)],
            facecolor="tab:blue", alpha=0.45 if random else 0.25,
            linewidth=0, label="the 64-byte line it reads", gid=f"lines-a{j}")
        ax.add_collection(boxes)
        dashes, = ax.plot(range(len(shown)),
                          [ELEM * i + ELEM / 2 for i in shown],
                          "_", color="black", markersize=6,
                          markeredgewidth=2, label="the 4 bytes it reads",
                          gid=f"reads-a{j}")
        ax.set_ylim(0, top)
        ax.set_xlim(-0.7, len(shown) - 0.3)
        ax.set_yticks(bounds if len(bounds) <= 12 else bounds[::4])
        ax.tick_params(axis="y", labelsize=7)
        ax.grid(False)
        ax.set_ylabel(f"a{j}: bytes from element 0")
        used = len({s for s in starts})
        ax.set_title(f"a{j}: a line every 64 bytes from byte {first}; "
                     f"{used} lines in {len(shown)} steps",
                     fontsize=8)
        if j == 0:
            ax.legend(handles=[Rectangle(
                (0, 0), 1, 1, facecolor="tab:blue", alpha=boxes.get_alpha(),
                label=boxes.get_label()), dashes],
                fontsize=7, loc="upper left", framealpha=0.9)
        else:
            ax.set_xlabel(f"step (the first {len(shown)})")
    if random:
        counts = [0] * length
        for i in all_indices:
            counts[i] += 1
        ax = axes["counts"]
        ax.plot(range(length), counts, "-", color="black", linewidth=0.8,
                label="reads of the element, per array", gid="counts")
        mean = len(all_indices) / length
        ax.axhline(mean, color="black", linestyle="--", linewidth=0.8,
                   label=f"even share ({mean:,.0f})")
        ax.set_xlabel("element index")
        ax.set_ylabel("times read in 1000 passes (each array)")
        ax.set_title(f"rand() % 600 over the run: {min(counts):,} to "
                     f"{max(counts):,} reads an element", fontsize=9)
        ax.legend(loc="lower right", fontsize=7)
        how = "each step jumps to any line of the array"
    else:
        stride = ELEM * (indices[1] - indices[0])
        how = (f"{stride} bytes a step, so a line serves {LINE // stride} "
               "steps" if LINE % stride == 0 else
               f"{stride} bytes a step, so a line serves {LINE // stride} "
               f"or {LINE // stride + 1} steps and none is skipped")
    fig.suptitle(f"{name} ({WHAT[name]}) in 64-byte lines: {how}")
    fig.tight_layout()
    save(fig, outdir, f"pattern-{name}.svg")


# Misses against cache size, ways and the stack's position.

def measure(model, bindir, geometries):
    """cachegrind's D1 read misses of main for each (kernel, geometry)."""
    jobs = [(k, g) for k in NAMES for g in geometries]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        got = pool.map(lambda job: model.cachegrind(
            os.path.join(bindir, job[0]), job[1])[2], jobs)
        return dict(zip(jobs, got))


def read_measured(path):
    """cachegrind's counts recorded in path, checked to hold every point
    the pictures draw."""
    try:
        with open(path) as f:
            measured = {(r["kernel"], f"{r['size']},{r['ways']},{r['line']}"):
                        int(r["D1mr"]) for r in csv.DictReader(f)}
    except OSError as e:
        raise Failure(f"{path}: {e.strerror}") from None
    except (KeyError, ValueError, TypeError):
        raise Failure(f"{path}: not kernel,size,ways,line,D1mr rows") \
            from None
    missing = [(k, g) for k in NAMES for g in MEASURED
               if (k, g) not in measured]
    if missing:
        k, g = missing[0]
        raise Failure(f"{path}: no count for {k} at {g} "
                      f"({len(missing)} missing; draw with --measure)")
    return measured


def write_measured(path, measured):
    with open(path, "w") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["kernel", "size", "ways", "line", "D1mr"])
        for (k, g), n in measured.items():
            out.writerow([k, *g.split(","), n])


def curves(outdir, model, bindir, measured, pool):
    """Misses per read against cache size, and against associativity."""
    geos = [(s, w, LINE) for s, w in SIZES + MARKS] + \
        [(32 << 10, w, LINE) for w in WAYS]
    predicted = dict(zip(NAMES, pool.map(
        lambda k: model.misses(os.path.join(bindir, k), geos),
        NAMES)))
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 5))

    def rate(name, size, ways):
        return fig3(predicted[name][geos.index((size, ways, LINE))][0] / READS)

    def point(name, size, ways):
        return fig3(measured[(name, geometry(size, ways))] / READS)

    for name, st in STYLE.items():
        line = dict(linestyle=st["linestyle"], color=st["color"],
                    linewidth=st["linewidth"], alpha=st["alpha"])
        dots = dict(marker=st["marker"], color=st["color"], fillstyle="none",
                    markersize=st["markersize"], linestyle="none",
                    markeredgewidth=1.2)
        for ax, tag, pts in ((left, "sizes", SIZES),
                             (right, "ways", [(32 << 10, w) for w in WAYS])):
            xs = [s if ax is left else w for s, w in pts]
            ax.plot(xs, [rate(name, s, w) for s, w in pts], **line,
                    label=f"{name} model", gid=f"model-{tag}-{name}")
            ax.plot(xs, [point(name, s, w) for s, w in pts], **dots,
                    label=f"{name} cachegrind",
                    gid=f"cachegrind-{tag}-{name}")
        # The two odd geometries: the model's answer a filled dot, not on
        # any line, cachegrind's the ring around it.
        xs = [s for s, w in MARKS]
        left.plot(xs, [rate(name, s, w) for s, w in MARKS], ".",
                  color=st["color"], markersize=5, gid=f"model-marks-{name}")
        left.plot(xs, [point(name, s, w) for s, w in MARKS], **dots,
                  gid=f"cachegrind-marks-{name}")
    left.plot([], [], ".", color="0.3", label="model, marked geometry")
    for ax in (left, right):
        ax.set_ylabel("D1 read misses of main per array read")
    left.set_yscale("log")
    right.set_ylim(bottom=0)
    left.set_xscale("log", base=2)
    left.set_xticks([s for s, w in SIZES])
    left.set_xticklabels([kib(s) for s, w in SIZES], rotation=45)
    left.set_xlabel("D1 size (log scale)")
    left.set_title("8-way, 64-byte lines; two other geometries marked")
    for size, ways in MARKS:
        left.axvline(size, color="0.5", linewidth=0.6, linestyle="-.")
        left.annotate(f"{kib(size)}\n{ways}-way", (size, 1), xytext=(3, -3),
                      xycoords=("data", "axes fraction"),
                      textcoords="offset points", va="top", fontsize=8,
                      color="0.3", gid=f"mark-{size >> 10}k")
    left.legend(fontsize=7, loc="lower left")
    right.set_xticks(WAYS)
    right.set_xlabel("ways")
    right.set_title("32 KiB, 64-byte lines")
    fig.suptitle("D1 misses as the cache grows: the model's lines and "
                 "dots, cachegrind's rings")
    fig.tight_layout()
    save(fig, outdir, "misses.svg")


KIND_SIZES = [(1 << k, 8) for k in range(10, 21)]  # 8-way, 64-byte lines
POLICIES = ["lru", "fifo", "plru", "random:1"]
POLICY_WAYS = [1, 2, 4, 8, 16, 32]  # at 32 KiB


def finish(fig, axes, outdir, name, ylabel, title):
    """A row of kernels' panels: labelled, titled and saved."""
    axes[0].set_ylabel(ylabel)
    axes[0].legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    save(fig, outdir, name)


def kinds(outdir, model, bindir, pool):
    """The din trace's compulsory, capacity and conflict misses as the
    cache grows, a panel per kernel."""
    geos = [(s, w, LINE) for s, w in KIND_SIZES]
    got = dict(zip(NAMES, pool.map(
        lambda k: model.figures(os.path.join(bindir, k), geos, PASSES,
                                "lru", "back", True),
        NAMES)))
    fig, axes = plt.subplots(1, len(NAMES), figsize=(13, 4.5),
                             sharey=True)
    xs = [s for s, w in KIND_SIZES]
    for ax, name in zip(axes, NAMES):
        rows = got[name]
        for label, color in (("compulsory", "0.55"), ("capacity", "tab:blue"),
                             ("conflict", "tab:red")):
            ax.plot(xs, [r[label] for r in rows], marker="o", markersize=3,
                    color=color, label=label, gid=f"kinds-{label}-{name}")
        ax.set_xscale("log", base=2)
        ax.set_yscale("symlog", linthresh=100)
        ax.set_xticks(xs[::2])
        ax.set_xticklabels([kib(x) for x in xs[::2]], rotation=45)
        ax.set_xlabel("cache size, 8-way, 64-byte lines")
        ax.set_title(f"{name} ({WHAT[name]})")
        ax.grid(True, linewidth=0.3)
    finish(fig, axes, outdir, "kinds.svg", "misses of the whole din trace",
           "The three kinds of miss as the cache grows (LRU, write-back)")


def policies(outdir, model, bindir, pool):
    """At 32 KiB, the din trace's misses under each replacement policy
    against the ways, a panel per kernel."""
    geos = [(32 << 10, w, LINE) for w in POLICY_WAYS]
    jobs = [(k, p) for k in NAMES for p in POLICIES]
    got = dict(zip(jobs, pool.map(
        lambda job: model.figures(os.path.join(bindir, job[0]), geos,
                                  PASSES, job[1], "back", False),
        jobs)))
    fig, axes = plt.subplots(1, len(NAMES), figsize=(13, 4.5))
    styles = {"lru": ("tab:blue", "o", "-"), "fifo": ("tab:orange", "s", "--"),
              "plru": ("tab:green", "^", "-."), "random:1": ("tab:red", "x", ":")}
    for ax, name in zip(axes, NAMES):
        for policy in POLICIES:
            color, marker, style = styles[policy]
            ax.plot(POLICY_WAYS, [r["misses"] / READS
                                  for r in got[name, policy]],
                    marker=marker, linestyle=style, color=color,
                    label=policy, gid=f"policy-{policy}-{name}")
        ax.set_xscale("log", base=2)
        ax.set_xticks(POLICY_WAYS)
        ax.set_xticklabels(map(str, POLICY_WAYS))
        ax.set_xlabel("ways (32 KiB, 64-byte lines)")
        ax.set_title(f"{name} ({WHAT[name]})")
        ax.set_ylim(bottom=0)
        ax.grid(True, linewidth=0.3)
    finish(fig, axes, outdir, "policies.svg",
           "din trace misses per array read",
           "Replacement policies at 32 KiB: LRU, FIFO, tree-PLRU and "
           "random (seed 1), write-back")


def shifts(outdir, model, bindir, pool):
    """How misses move with the stack's position: the model's answers only,
    one stem a shift."""
    jobs = [(k, shift) for k in NAMES for shift in SHIFTS]
    got = dict(zip(jobs, pool.map(
        lambda job: model.misses(os.path.join(bindir, job[0]), SHIFT_CACHES,
                                 shift=job[1]), jobs)))
    fig, axes = plt.subplots(len(NAMES), len(SHIFT_CACHES),
                             figsize=(11, 6.5), sharex=True, squeeze=False)
    for c, (size, ways, line) in enumerate(SHIFT_CACHES):
        for r, name in enumerate(NAMES):
            ax = axes[r][c]
            misses = [got[name, shift][c][0] for shift in SHIFTS]
            base = misses[SHIFTS.index(0)]
            ys = [fig3(100 * (m - base) / base) for m in misses]
            st = STYLE[name]
            stems = ax.stem(SHIFTS, ys, linefmt="-", markerfmt=st["marker"],
                            basefmt=" ")
            stems.markerline.set(color=st["color"], markersize=4,
                                 fillstyle="none")
            stems.stemlines.set(color=st["color"], linewidth=0.8)
            stems.markerline.set_gid(f"shift-{size}-{name}")
            stems.stemlines.set_gid(f"stems-{size}-{name}")
            ax.axhline(0, color="0.4", linewidth=0.6)
            ax.margins(y=0.25)
            ax.text(0.01, 0.95, f"{name}, {base:,} at 0", fontsize=7,
                    transform=ax.transAxes, va="top")
            if r == 0:
                kind = "direct-mapped" if ways == 1 else f"{ways}-way"
                ax.set_title(f"{kib(size)} {kind}, {line}-byte lines")
            if c == 0:
                ax.set_ylabel("change (%)")
        axes[-1][c].set_xlabel("stack shift (bytes lower than the canonical "
                               "run; a stem every 16)")
        axes[-1][c].set_xticks(range(-256, 257, 64))
    fig.suptitle("D1 read misses of main with the stack lower: "
                 "loadgrid-model's answers (cachegrind measures only the "
                 "canonical run, shift 0)")
    fig.tight_layout()
    save(fig, outdir, "stack-shift.svg")


def surface(model, kernel):
    """The surface's rows as numbers, and its caches (size, ways, line)
    by line size, in the order it gives them."""
    out = model("surface", kernel, "--lines", ",".join(map(str, HEAT_LINES)),
                "--sets", f"1-{HEAT_SETS}", "--ways", f"1-{HEAT_WAYS}")
    rows = [tuple(map(int, line.split(","))) for line in out.splitlines()[1:]]
    by_line = {line: [] for line in HEAT_LINES}
    for r in rows:
        by_line[r[2]].append(r[:3])
    return rows, by_line


def heat(outdir, model, bindir, name):
    """main's misses per array read over every cache of the default
    surface, a panel per line size: size across, ways up, and where the
    arrays start to fit."""
    rows, by_line = surface(model, os.path.join(bindir, name))
    # At least one miss, which the colours' log scale can show.
    rate = {(r[0], r[1], r[2]): fig3(max(r[4], 1) / READS) for r in rows}
    norm = matplotlib.colors.LogNorm(1e-5, 1)
    footprint = ARRAYS * LENGTH[name] * ELEM
    fig, axes = plt.subplots(1, len(HEAT_LINES), figsize=(14, 4.6),
                             sharey=True)
    for ax, line in zip(axes, HEAT_LINES):
        ax.grid(False)
        for ways in range(1, HEAT_WAYS + 1):
            geos = [g for g in by_line[line] if g[1] == ways]
            edges = [g[0] / 2 ** 0.5 for g in geos] + [geos[-1][0] * 2 ** 0.5]
            mesh = ax.pcolormesh(edges, [ways - 0.5, ways + 0.5],
                                 [[rate[g] for g in geos]], norm=norm,
                                 cmap="viridis", edgecolors="face",
                                 linewidth=0.2)
        # The cliff: at each number of ways, the first size that misses
        # under once in a hundred reads.
        cliff = [(min((g[0] for g in by_line[line] if g[1] == w and
                       rate[g] < 0.01), default=None), w)
                 for w in range(1, HEAT_WAYS + 1)]
        cliff = [(x, w) for x, w in cliff if x]
        ax.plot([x for x, w in cliff], [w for x, w in cliff], color="white",
                linewidth=1, marker=".", markersize=3, zorder=3,
                label="first under 1 miss in 100 reads")
        # Over the cliff, which often runs along it.
        ax.axvline(footprint, color="red", linestyle="--", linewidth=1.5,
                   zorder=4, label=f"the arrays' {footprint:,} bytes")
        ax.set_xscale("log", base=2)
        lo = min(g[0] for g in by_line[line]) / 2
        hi = max(g[0] for g in by_line[line]) * 2
        ax.set_xlim(lo, hi)
        ticks = [1 << k for k in range(4, 34, 4) if lo <= 1 << k <= hi]
        ax.set_xticks(ticks)
        ax.set_xticklabels([kib(t) for t in ticks], rotation=45, fontsize=8)
        ax.set_xlabel("cache size")
        ax.set_title(f"{line}-byte lines")
    axes[0].set_ylabel("ways")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=2, fontsize=8,
               facecolor="0.85")
    fig.subplots_adjust(bottom=0.28, top=0.87, left=0.05, right=0.89)
    bar = fig.add_axes([0.91, 0.28, 0.012, 0.59])
    bar.grid(False)
    fig.colorbar(mesh, cax=bar,
                 label="main's D1 read misses per array read")
    fig.suptitle(f"{name} ({WHAT[name]}): main's read misses at every cache "
                 "of 1 to 16384 sets and 1 to 32 ways")
    save(fig, outdir, f"surface-{name}.svg")


# Every geometry with a cachegrind point.
MEASURED = [geometry(s, w) for s, w in SIZES + MARKS] + \
    [geometry(32 << 10, w) for w in WAYS if w != 8]


def arguments(argv):
    """(bindir, outdir, measured file or None to measure)."""
    if len(argv) == 2:
        return *argv, RECORDED
    if len(argv) == 3 and argv[2] == "--measure":
        return *argv[:2], None
    if len(argv) == 4 and argv[2] == "--measured":
        return *argv[:2], argv[3]
    sys.exit(__doc__)


def main(argv):
    bindir, outdir, recorded = arguments(argv)
    start = time.monotonic()
    plotting_python()
    if recorded:
        measured = read_measured(recorded)
        say(f"cachegrind's points: recorded, from "
            f"{recorded} (--measure to measure again)")
    model = vg.Model(os.path.join(bindir, "loadgrid-model"))
    build = build_of(model, bindir)
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, BUILD_FILE), "w") as f:
        f.write(build + "\n")
    if not recorded:
        say(f"cachegrind's points: measuring {3 * len(MEASURED)} runs")
        measured = measure(model, bindir, MEASURED)
        path = os.path.join(outdir, "measured.csv")
        write_measured(path, measured)
        say(f"cachegrind's points: measured, written to {path}")
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for name in NAMES:
            say(f"pattern-{name}.svg: the model's pass")
            kernel = os.path.join(bindir, name)
            indices = model.indices(kernel, 1)
            bases = model.bases(kernel)
            everything = model.indices(kernel, PASSES) \
                if name == "loadgrid2" else indices
            pattern(outdir, name, bases, indices, everything)
        say(f"misses.svg: the model at {len(SIZES + MARKS) + len(WAYS)} "
            "geometries a kernel")
        curves(outdir, model, bindir, measured, pool)
        say(f"stack-shift.svg: the model at {len(SHIFTS)} shifts a kernel")
        shifts(outdir, model, bindir, pool)
        say(f"kinds.svg: the kinds of miss at {len(KIND_SIZES)} sizes a "
            "kernel")
        kinds(outdir, model, bindir, pool)
        say(f"policies.svg: {len(POLICIES)} policies at {len(POLICY_WAYS)} "
            "ways a kernel")
        policies(outdir, model, bindir, pool)
        for name in NAMES:
            say(f"surface-{name}.svg: the model at every cache of "
                f"{len(HEAT_LINES)} line sizes, 1 to {HEAT_SETS} "
                f"sets and 1 to {HEAT_WAYS} ways")
            heat(outdir, model, bindir, name)
    say(f"done in {time.monotonic() - start:.0f} s")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (Failure, vg.Failure) as e:
        sys.exit(f"pictures: {e}")
