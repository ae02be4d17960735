"""loadgrid-model: a loadgrid kernel's exact data trace and cache misses,
from a model of its access pattern.

The answers are for one run, named in full: the canonical run (the kernel
started as a copy /tmp/loadgrid-model.XXXXXXXX/loadgridN from its folder,
with no arguments and an empty environment, under Valgrind), or with
--here the run as started from this shell: the kernel by its path as
typed, with this environment, from this folder.  --stack-shift BYTES
gives them for the same run with main's stack that many bytes lower; the
start-up code still sees the run named.
"""
import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys

from . import caches, surface, valgrind
from .answers import Answers
from .cachegrind_out import EVENTS, Report, cache_options, report_text, summary
from .caches import LEVELS, MAX_SHIFT, LIMIT
from .kernels import NAMES, PASSES, spoken
from .messages import PROG, Failure, say, status
from .runs import Run, kernel_digest



EPILOG = {
    "trace": """\
Prints the run's data accesses in order as a din trace: "0 ADDR" a read,
"1 ADDR" a write (hex), a modify being a read then a write; with
--fetches also "2 ADDR" for each instruction.  With --format lackey, as
valgrind --tool=lackey --trace-mem=yes prints them: " L ADDR,SIZE",
" S ADDR,SIZE" and " M ADDR,SIZE", and "I  ADDR,SIZE" with --fetches.""",
    "misses": """\
Prints a header line, then a line per cache: the cache as given, the D1
read and write misses of main's own accesses as cachegrind counts them,
and the read and write misses of the whole din trace (one access per
record) in the same cache, LRU, empty at the start.  With --policy,
--write or --kinds, the din trace's figures are the reads, writes, read
and write misses, evictions and write-backs under that replacement and
write policy, then the lines left dirty (write-back) or the writes that
went to memory (write-through), then with --kinds the compulsory,
capacity and conflict misses (man loadgrid-model defines each).

""" + caches.RULES,
    "lab": """\
Prints "hits:H misses:M evictions:E" for a cache of 2^S sets of E ways of
2^B-byte blocks, over the data records of the run's lackey trace: L and
S one access each, M a load then a store, each to the block that holds
its address; LRU, allocating on writes, empty at the start; an eviction
is a miss that puts out a valid line.  With -v, first each record and
how its accesses went: hit, miss or miss eviction.""",
    "surface": f"""\
Prints CSV: a header line, then a line per cache, as misses gives it
(main's D1 read and write misses as cachegrind counts them, and the din
trace's): every line size of --lines, every set count that is a power of
two from LO to HI of --sets, and every number of ways from LO to HI of
--ways, by line size, then sets, then ways.  Caches that cachegrind
refuses (one line in all, or 2 GiB or more) are left out, and a surface
has at most {surface.MOST} caches.  Each line size's rows come out as soon as it
is done.  Once it has run for a second, it says on stderr how far it has
got.""",
    "predict": """\
Writes, without running anything, the file that cachegrind's cache
simulation writes for the run with --cachegrind-out-file: the caches'
desc lines, cmd, events, one fn= block per function under the names
cachegrind gives them (for a kernel built with -g, under the fl= of its
source file, a row per source line), and the summary.  Caches not given
are the ones cachegrind picks on this machine.  cg_annotate reads it.

""" + caches.RULES,
    "check": """\
With --cache: runs cachegrind on the same run for each cache and prints
the model's D1 misses of main beside cachegrind's, "equal" or
"DIFFERENT" on each line.  Otherwise: predicts cachegrind's whole report
for one hierarchy (--I1, --D1, --LL, each defaulting to cachegrind's own
choice on this machine), runs cachegrind with it, and prints every
function and event that differs, or that all agree.  Then a line saying
whether all agree, and the command that repeats the measurement by hand.
Status 1 unless every figure was measured and agrees.

""" + caches.RULES,
    "run": """\
Starts COMMAND ARGS... with the path of the run's kernel appended, in the
run's environment and folder: for example -- valgrind --tool=cachegrind
--cache-sim=yes.  What it writes into the canonical run's folder is then
moved into this one, so its output files land here; give it input files
by absolute path.  Exits with COMMAND's status.""",
    "shift": """\
Prints how many bytes lower main's stack lies in the run started from
this shell than in the canonical run: the --stack-shift that gives this
run's main its addresses.  With --native, for the run without Valgrind,
from gdb at main's entry (address randomisation off, as with setarch
-R); the stack then lies far from Valgrind's, and the shift is given
modulo 2 GiB, from -1 GiB to under 1 GiB, which no cache that cachegrind
takes can tell from the whole.""",
}


class Usage(Exception):
    pass


class Interrupted(BaseException):
    """A signal that ends the program; cleaning up on the way out."""


def geometry(text, option="--cache"):
    """A cache given on the command line, by cachegrind's rules."""
    try:
        return caches.geometry(text)
    except caches.Refused as e:
        raise Usage(f"{option} {text}: {e}") from None


def taken(answers, geometries, option="--cache"):
    """Refuses lines narrower than cachegrind takes on this machine."""
    try:
        caches.narrow(geometries, answers.store.narrowest_line())
    except caches.Refused as e:
        raise Usage(f"{option} {e}") from None


def span_of(text, option):
    """LO-HI, or one number, as two whole numbers from 1 up."""
    m = re.fullmatch(r"([0-9]+)(?:-([0-9]+))?", text)
    if not m or not 1 <= int(m[1]) <= int(m[2] or m[1]):
        raise Usage(f"{option} {text}: want LO-HI, from 1 up, LO not above HI")
    if int(m[2] or m[1]) >= LIMIT:
        raise Usage(f"{option} {text}: want HI below {LIMIT}")
    return int(m[1]), int(m[2] or m[1])


def surface_geometries(args):
    """The surface's caches, per line size, or what is wrong with the
    ranges."""
    lines = []
    for text in args.lines.split(","):
        if not re.fullmatch(r"[0-9]+", text) or int(text) & (int(text) - 1) \
                or not caches.MIN_LINE <= int(text) < LIMIT:
            raise Usage(f"--lines {args.lines}: want powers of two of "
                        f"{caches.MIN_LINE} bytes or more (and as wide as "
                        "the widest register), commas between")
        lines.append(int(text))
    lines = sorted(set(lines))
    sets, ways = span_of(args.sets, "--sets"), span_of(args.ways, "--ways")
    try:
        by_line = surface.geometries(lines, sets, ways)
    except surface.TooMany as e:
        raise Usage(f"surface: {e}: narrow the ranges") from None
    if not any(by_line.values()):
        raise Usage("surface: no cache that cachegrind takes in these ranges")
    return by_line


def passes(text):
    if not re.fullmatch(r"[0-9]+", text) or not 1 <= int(text) <= PASSES:
        raise Usage(f"--passes {text}: want 1 to {PASSES}")
    return int(text)


def shift_bytes(text):
    if not re.fullmatch(r"-?[0-9]+", text):
        raise Usage(f"--stack-shift {text}: not a number of bytes")
    n = int(text)
    if n % 16:
        raise Usage(f"--stack-shift {text}: not a multiple of 16")
    if not -MAX_SHIFT <= n < MAX_SHIFT:
        raise Usage(f"--stack-shift {text}: want -{MAX_SHIFT} to "
                    f"{MAX_SHIFT - 16}")
    return n


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


class Unbuilt:
    """A command's parser where another command was named: not built, as
    building them all takes longer than most commands."""

    def add_argument(self, *args, **kwargs):
        pass


def parser(version, argv=None):
    """The parser; with argv that names a command first, only that
    command's."""
    first = (argv if argv is not None else sys.argv[1:])[:1]
    only = first[0] if first and first[0] in EPILOG else None
    p = Parser(prog=PROG, description=__doc__.split("\n\n")[0],
               epilog=__doc__.split("\n\n", 1)[1],
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version",
                   version=f"{PROG} {version or 'unknown'}")
    sub = p.add_subparsers(dest="command", required=True, parser_class=Parser,
                           metavar="COMMAND")
    kernel = Parser(add_help=False)
    kernel.add_argument("kernel", metavar="KERNEL",
                        help=f"{spoken()}: a bare name "
                        "is the one installed beside loadgrid-model (with "
                        "--here, the one in PATH), else a path")
    kernel.add_argument("--here", action="store_true",
                        help="the run as started from this shell, not the "
                        "canonical run")
    moved = Parser(add_help=False)
    moved.add_argument("--stack-shift", default="0", metavar="BYTES",
                       help="main's stack this much lower (a multiple of 16, "
                       "either sign)")
    padded = Parser(add_help=False)
    padded.add_argument("--stack-shift", default="0", metavar="BYTES",
                        help="a run really moved this much lower (a multiple "
                        "of 16, at least 0): the canonical one with a "
                        "variable P in its environment")
    counted = Parser(add_help=False)
    counted.add_argument("--passes", default=str(PASSES), metavar="N",
                         help=f"end the loop after pass N (1 to {PASSES})")
    d1 = Parser(add_help=False)
    d1.add_argument("--cache", action="extend", nargs="+",
                        metavar="SIZE,ASSOC,LINE", help="one or more D1 caches")
    hierarchy = Parser(add_help=False)
    for level, what in (("I1", "instruction"), ("D1", "first-level data"),
                        ("LL", "last-level")):
        hierarchy.add_argument(f"--{level}", metavar="SIZE,ASSOC,LINE",
                               help=f"the {what} cache")

    p.commands = {}

    def command(name, parents, summary):
        if only not in (None, name):
            return Unbuilt()
        p.commands[name] = sub.add_parser(
            name, parents=parents, help=summary, description=summary,
            epilog=EPILOG[name],
            formatter_class=argparse.RawDescriptionHelpFormatter)
        return p.commands[name]
    t = command("trace", [kernel, moved, counted],
                "the run's data accesses, as a din trace")
    t.add_argument("--fetches", action="store_true",
                   help="add every instruction fetched")
    t.add_argument("--low32", action="store_true",
                   help="keep the low 32 bits of each address")
    t.add_argument("--format", choices=("din", "lackey"), default="din",
                   help="din (the default) or lackey's own text")
    m = command("misses", [kernel, d1, moved, counted],
                "D1 misses of main and of the whole trace")
    m.add_argument("--policy", metavar="lru|fifo|plru|random:SEED",
                   help="the trace's replacement policy")
    m.add_argument("--write", choices=("back", "through"),
                   help="write-back (allocating) or write-through (not)")
    m.add_argument("--kinds", action="store_true",
                   help="also the compulsory, capacity and conflict misses")
    lab = command("lab", [kernel, moved, counted],
                  "hits, misses and evictions as the cache lab counts them")
    lab.add_argument("-s", type=int, required=True, metavar="S",
                     help="2^S sets")
    lab.add_argument("-E", type=int, required=True, metavar="E",
                     help="E ways")
    lab.add_argument("-b", type=int, required=True, metavar="B",
                     help="2^B-byte blocks")
    lab.add_argument("-v", action="store_true", dest="verbose",
                     help="each record and how its accesses went")
    sf = command("surface", [kernel, moved, counted],
                 "misses for every cache of some line sizes, sets and ways")
    sf.add_argument("--lines", default=",".join(map(str, surface.LINES)),
                    metavar="LINE,...",
                    help="line sizes in bytes (default %(default)s)")
    sf.add_argument("--sets", default="%d-%d" % surface.SETS, metavar="LO-HI",
                    help="set counts, the powers of two from LO to HI "
                    "(default %(default)s)")
    sf.add_argument("--ways", default="%d-%d" % surface.WAYS, metavar="LO-HI",
                    help="associativities from LO to HI (default %(default)s)")
    pr = command("predict", [kernel, hierarchy, moved, counted],
                 "cachegrind's whole report of the run")
    pr.add_argument("-o", metavar="FILE", dest="output",
                    help="write it to FILE, not standard output")
    command("check", [kernel, d1, hierarchy, padded],
            "the model's answers beside cachegrind's")
    r = command("run", [kernel, padded], "start a tool on the run")
    r.usage = (f"{PROG} run [-h] [--here] [--stack-shift BYTES] KERNEL "
               "-- COMMAND [ARGS...]")
    r.add_argument("tool", nargs="+", metavar="COMMAND",
                   help="the tool and its arguments, after --")
    s = command("shift", [], "the stack shift of the run from this shell")
    s.add_argument("kernel", metavar="KERNEL", help="as for the others")
    s.add_argument("--native", action="store_true",
                   help="of the run without Valgrind, by gdb")
    return p


def find_kernel(name, bindir, here=False):
    """A bare kernel name is the kernel beside loadgrid-model, else the
    one in PATH; for the run here, the one in PATH, as valgrind finds it.
    Anything else is a path."""
    if "/" in name or name not in NAMES:
        return name
    if here:
        path = shutil.which(name)
        if not path:
            raise Failure(f"{name}: not in PATH, where valgrind would "
                                "look for it; give its path")
        return path
    for folder in [bindir] if bindir else []:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    path = shutil.which(name)
    if not path:
        raise Failure(f"{name}: not installed beside {PROG}, nor in "
                            "PATH; give its path")
    return path


def table(rows):
    """Rows of cells, the first left-aligned, the rest right-aligned."""
    width = [max(len(r[i]) for r in rows if i < len(r))
             for i in range(max(map(len, rows)))]
    for r in rows:
        cells = [r[0].ljust(width[0])] + [c.rjust(w) for c, w in
                                          zip(r[1:], width[1:])]
        print("  ".join(cells).rstrip())


def run_line(args, tool):
    """The loadgrid-model run command that starts tool on this run, naming
    this program as it was invoked, so that it can be pasted as it is."""
    moved = ["--stack-shift", args.stack_shift] \
        if shift_bytes(args.stack_shift) else []
    return shlex.join([args.invoked, "run", args.kernel,
                       *(["--here"] if args.here else []), *moved, "--",
                       *tool])


def check(answers, args, run, geometries, shift, measured_run):
    """The model's D1 misses of main beside cachegrind's, cache by
    cache; measured_run is the run that the shifted one really is."""
    predicted = answers.misses(run, geometries, PASSES, shift)
    say(f"measuring {len(geometries)} cache{'s' * (len(geometries) > 1)} "
        f"with cachegrind{', two at a time' * (len(geometries) > 1)}")
    import concurrent.futures  # here: it is slow to import
    pool = concurrent.futures.ThreadPoolExecutor(2)
    try:
        measured = list(pool.map(
            lambda g: valgrind.cachegrind(measured_run, ",".join(map(str, g))),
            geometries))
    except BaseException:
        valgrind.stop_all()  # a signal: the other thread's run too
        raise
    finally:
        pool.shutdown()
    out = [("cache", "model D1mr", "model D1mw", "cachegrind D1mr",
            "cachegrind D1mw", "")]
    same = 0
    for text, p, m in zip(args.cache, predicted, measured, strict=True):
        equal = p[:2] == m[2:]
        same += equal
        out.append((text, *map(str, (p[0], p[1], m[2], m[3])),
                    "equal" if equal else "DIFFERENT"))
    table(out)
    ok = same == len(geometries) > 0
    print(f"{same} of {len(geometries)} caches equal" +
          ("" if ok else f"; {len(geometries) - same} DIFFERENT"))
    print("repeat one by hand:\n" + run_line(args, [
        "valgrind", "--tool=cachegrind", "--cache-sim=yes",
        "--D1=" + ",".join(map(str, geometries[0]))]))
    return 0 if ok else 1


def hierarchy(args, answers):
    """The three geometries of --I1, --D1 and --LL, each defaulting to
    what cachegrind picks on this machine."""
    given = {level: getattr(args, level) for level in LEVELS}
    out = {level: geometry(text, f"--{level}")
           for level, text in given.items() if text}
    for level, g in out.items():
        taken(answers, [g], f"--{level}")
    if len(out) < len(LEVELS):
        for level, g in zip(LEVELS, answers.store.default_caches()):
            out.setdefault(level, g)
    return [out[level] for level in LEVELS]


def predict(answers, args, run, shift):
    chosen = hierarchy(args, answers)
    places, = answers.report(run, [chosen], passes(args.passes), shift)
    text = report_text(chosen, run.path, places)
    if args.output:
        with open(args.output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


def check_report(answers, args, run, shift, measured_run):
    """The whole report, predicted and measured, compared figure by
    figure."""
    chosen = hierarchy(args, answers)
    places, = answers.report(run, [chosen], PASSES, shift)
    options = cache_options(chosen)
    say("measuring the whole report with cachegrind")
    measured = Report(valgrind.cachegrind_file(measured_run, options))
    total = summary(places)
    rows = [("file", "function", "line", "event", "model", "cachegrind")]
    none = [None] * len(EVENTS)
    for key in sorted(set(places) | set(measured.places),
                      key=lambda k: (k[0].encode(), k[1].encode(), k[2])):
        mine, theirs = places.get(key, none), measured.places.get(key, none)
        rows += [(key[0], key[1], str(key[2]), e, str(a), str(b))
                 for e, a, b in zip(EVENTS, mine, theirs) if a != b]
    rows += [("summary", "", "", e, str(a), str(b)) for e, a, b in
             zip(EVENTS, total, measured.summary) if a != b]
    functions = {key[1] for key in places}
    ok = len(rows) == 1 and len(places) > 0
    if ok:
        print(f"all {len(functions)} functions x {len(EVENTS)} events, "
              f"on {len(places)} lines, and the summary agree")
    else:
        table(rows)
        print(f"{len(rows) - 1} figures DIFFERENT")
    print("repeat by hand:\n" + run_line(args, [
        "valgrind", "--tool=cachegrind", "--cache-sim=yes", *options]))
    return 0 if ok else 1


def run_tool(args, run):
    """The run command: COMMAND ARGS... KERNEL, in the run's environment
    and folder; what the tool writes into the canonical run's folder is
    moved into this one afterwards."""
    tool = args.tool[1:] if args.tool[:1] == ["--"] else args.tool
    kernel_digest(run.kernel)
    here = os.getcwd()
    pipes = valgrind.Pipes(run.env)
    with run.started() as (folder, path, cwd):
        try:
            p = subprocess.Popen([*tool, path], env=run.env, cwd=cwd)
        except OSError as e:
            raise Failure(f"{tool[0]}: {e.strerror}") from None
        try:
            code = p.wait()
        finally:
            if p.poll() is None:  # stopped by a signal: pass it on
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            pipes.remove_left()
            if cwd == folder:
                move_outputs(folder, here, skip=run.name)
    if code < 0:
        say(f"{tool[0]}: {status(code)}")
        return 128 - code
    return code


def move_outputs(folder, here, skip):
    """Moves what a tool wrote into folder into here, under a new name
    where here has the name already."""
    for name in sorted(os.listdir(folder)):
        if name == skip or name.startswith("vgdb-pipe"):
            continue
        target, n = os.path.join(here, name), 0
        while os.path.lexists(target):
            n += 1
            target = os.path.join(here, f"{name}.{n}")
        shutil.move(os.path.join(folder, name), target)
        if n:
            say(f"{name}: exists here; the tool's is {target}")


def native_entry(run):
    """The stack pointer at main's entry in the run without Valgrind,
    randomisation off, from gdb."""
    if not shutil.which("gdb"):
        raise Failure("gdb: not found")
    env = dict(run.env)
    if b"_" in env:
        env[b"_"] = os.fsencode(run.path)
    cmds = ["set startup-with-shell off", "set disable-randomization on",
            "unset environment LINES", "unset environment COLUMNS",
            "break *main", "run", "printf \"sp %lx\\n\", $sp", "kill"]
    argv = ["gdb", "-batch", "-nx"]
    for c in cmds:
        argv += ["-ex", c]
    r = subprocess.run([*argv, "--args", run.path], env=env,
                       capture_output=True, text=True, cwd=run.cwd,
                       stdin=subprocess.DEVNULL)
    m = re.search(r"^sp ([0-9a-f]+)$", r.stdout, re.M)
    if not m:
        raise Failure(f"gdb: no stack pointer at main: "
                            f"{(r.stderr.strip().splitlines() or ['?'])[-1]}")
    return int(m[1], 16)


def shift_command(args, kernel):
    kernel_digest(kernel)
    here = Run(kernel, here=True, typed=args.kernel)
    canonical = valgrind.main_sp(Run(kernel))
    mine = native_entry(here) if args.native else valgrind.main_sp(here)
    # Natively the stack lies far away from Valgrind's; no cache the
    # model takes tells a shift from the same one modulo LIMIT.
    print((canonical - mine + MAX_SHIFT) % LIMIT - MAX_SHIFT)
    return 0


def command(answers, args, kernel):
    run = Run(kernel, here=args.here, typed=args.kernel)
    shift = shift_bytes(args.stack_shift)
    measured_run = run
    if shift and args.command in ("run", "check"):
        say(f"finding an environment that puts the stack {shift} bytes "
            "lower (a few short Valgrind runs)")
        measured_run = valgrind.shifted(kernel, shift)
    if args.command == "run":
        return run_tool(args, measured_run)
    geometries = [geometry(g) for g in getattr(args, "cache", None) or []]
    taken(answers, geometries)
    if args.command == "check":
        if geometries:
            return check(answers, args, run, geometries, shift, measured_run)
        return check_report(answers, args, run, shift, measured_run)
    if args.command == "predict":
        return predict(answers, args, run, shift)
    n = passes(args.passes)
    if args.command == "trace":
        opts = [o for o in ("fetches", "low32") if getattr(args, o)]
        if args.format == "lackey":
            opts.append("lackey")
        return answers.trace(run, n, shift, opts)
    if args.command == "lab":
        return answers.lab(run, n, shift, args.s, args.E, args.b,
                           args.verbose)
    if args.command == "surface":
        by_line = args.by_line
        narrowest = answers.store.narrowest_line()
        if min(by_line) < narrowest:
            raise Usage(f"--lines {args.lines}: lines under {narrowest} "
                        "bytes, the widest register here")
        print(",".join(surface.HEAD), flush=True)
        for row in surface.rows(answers, run, by_line, n, shift, say):
            print(",".join(map(str, row)))
        return 0
    if args.policy or args.write or args.kinds:
        policy = args.policy or "lru"
        write = args.write or "back"
        main_rows, named = answers.misses_and_figures(
            run, geometries, n, shift, policy, write, args.kinds)
        head, rows = figures(named, write, args.kinds)
        out = [("cache", "main_read_misses", "main_write_misses", *head)]
        for text, main, row in zip(args.cache, main_rows, rows, strict=True):
            out.append((text, *map(str, main[:2]), *map(str, row)))
    else:
        out = [("cache", "main_read_misses", "main_write_misses",
                "trace_read_misses", "trace_write_misses")]
        for text, row in zip(args.cache, answers.misses(run, geometries, n,
                                                        shift), strict=True):
            out.append((text, *map(str, row)))
    table(out)
    return 0


def figures(rows, write, kinds):
    """The header and the rows of misses' columns of the din trace."""
    head = ["reads", "writes", "read_misses", "write_misses", "evictions",
            "writebacks", "dirty" if write == "back" else "memory_writes"]
    if kinds:
        head += ["compulsory", "capacity", "conflict"]
    # Write-through, every write goes to memory.
    return head, [[f["writes" if h == "memory_writes" else h] for h in head]
                  for f in rows]


def usage(e, version, argv):
    """Says what is wrong with the arguments under the usage of the command
    given, if one was; status 2."""
    p = parser(version, argv)
    named = [a for a in (argv if argv is not None else sys.argv[1:])
             if a in p.commands]
    if named:
        p = p.commands[named[0]]
    print(p.format_usage().rstrip(), file=sys.stderr)
    print(f"{PROG}: {e}", file=sys.stderr)
    return 2


def interrupt(signum, _):
    raise Interrupted(signum)


def main(argv=None, engine=None, bindir=None, version=None):
    """The command; engine is the loadgrid-engine to use, bindir the
    folder whose kernels bare names mean."""
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, interrupt)
    try:
        args = parser(version, argv).parse_args(argv)
        args.invoked = sys.argv[0] if argv is None else PROG
        if args.command == "run" and args.tool[:1] == ["--"] and \
                len(args.tool) == 1:
            raise Usage("run: no COMMAND after --")
        # Arguments first, before any slow step.
        if args.command in ("run", "check") and \
                shift_bytes(args.stack_shift) and \
                (args.here or shift_bytes(args.stack_shift) < 0):
            raise Usage(f"{args.command} --stack-shift: a run is moved by "
                        "padding the canonical run's environment: not with "
                        "--here, and not upward")
        if args.command not in ("run", "shift"):
            shift_bytes(args.stack_shift)
            [geometry(g) for g in getattr(args, "cache", None) or []]
            for level in LEVELS:
                if getattr(args, level, None):
                    geometry(getattr(args, level), f"--{level}")
            if args.command == "surface":
                args.by_line = surface_geometries(args)
            if args.command == "misses" and not args.cache:
                raise Usage("misses: --cache is wanted")
            if getattr(args, "policy", None) and not re.fullmatch(
                    r"lru|fifo|plru|random:[0-9]{1,18}", args.policy):
                raise Usage(f"--policy {args.policy}: want lru, fifo, plru "
                            "or random:SEED")
            if args.command == "lab" and not (
                    0 <= args.s <= 30 and 1 <= args.E <= 65536 and
                    0 <= args.b <= 30 and (args.E << args.s) <= 1 << 28):
                raise Usage("lab: want -s 0 to 30, -E 1 to 65536, -b 0 to "
                            "30, and at most 2^28 lines in all")
            if args.command == "check" and args.cache and any(
                    getattr(args, level) for level in LEVELS):
                raise Usage("check: --cache, or --I1, --D1 and --LL, not both")
            if args.command != "check":
                passes(args.passes)
    except Usage as e:
        return usage(e, version, argv)
    try:
        with Answers(engine) as answers:
            kernel = find_kernel(args.kernel, bindir,
                                 here=getattr(args, "here", True))
            if args.command == "shift":
                status = shift_command(args, kernel)
            else:
                status = command(answers, args, kernel)
            sys.stdout.flush()
            return status
    except Usage as e:
        return usage(e, version, argv)
    except Failure as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    except (KeyboardInterrupt, Interrupted) as e:
        signum = e.args[0] if isinstance(e, Interrupted) else signal.SIGINT
        print(f"{PROG}: {signal.Signals(signum).name}: stopped",
              file=sys.stderr)
        return 128 + signum
    except OSError as e:
        if e.filename is None:  # standard output: nothing more goes there
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            if isinstance(e, BrokenPipeError):
                return 141
        print(f"{PROG}: {e.filename or 'write'}: {e.strerror}",
              file=sys.stderr)
        return 1
