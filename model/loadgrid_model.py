"""loadgrid-model: a loadgrid kernel's exact data trace and cache misses,
from a model of its access pattern.

The answers are for the canonical run: the kernel started as
/tmp/loadgrid-model.XXXXXX/loadgridN with no arguments and an empty
environment, from /, under Valgrind.  --stack-shift BYTES gives them for the
same run with the stack that many bytes lower.
"""
import argparse
import hashlib
import itertools
import os
import re
import shlex
import subprocess
import sys

import learn
import vgrun

ENGINE = None  # set by the launcher: the path of loadgrid-engine
PROG = "loadgrid-model"
MAX_SIZE = 1 << 28
MAX_SHIFT = 1 << 20
MIN_LINE = 32  # cachegrind wants lines as wide as the widest register
USAGE = """\
usage: loadgrid-model trace KERNEL [--passes N] [--fetches] [--low32]
                            [--stack-shift BYTES]
       loadgrid-model misses KERNEL --cache GEOMETRY... [--passes N]
                             [--stack-shift BYTES]
       loadgrid-model check KERNEL --cache GEOMETRY... [--stack-shift BYTES]"""


class Usage(Exception):
    pass


def number(text):
    m = re.fullmatch(r"([0-9]+)([kKmM]?)", text)
    if not m:
        raise Usage(f"'{text}' is not a number of bytes")
    return int(m[1]) << {"": 0, "k": 10, "K": 10, "m": 20, "M": 20}[m[2]]


def geometry(text):
    """SIZE,ASSOC,LINE as cachegrind's --D1 takes it, checked as it checks
    them; returns the three numbers."""
    parts = text.split(",")
    if len(parts) != 3:
        raise Usage(f"--cache {text}: want SIZE,ASSOC,LINE")
    try:
        size, assoc, line = (number(p) for p in parts)
    except Usage as e:
        raise Usage(f"--cache {text}: {e}") from None
    why = None
    if not size or not assoc or not line:
        why = "sizes must be above zero"
    elif size > MAX_SIZE:
        why = f"a cache over {MAX_SIZE >> 20} MiB"
    elif line & (line - 1):
        why = "the line size is not a power of two"
    elif line < MIN_LINE:
        why = f"lines under {MIN_LINE} bytes, the widest register"
    elif size % (line * assoc):
        why = "the size is not a whole number of sets"
    elif (size // line // assoc) & (size // line // assoc - 1):
        why = "the set count is not a power of two"
    elif size <= line:
        why = "the cache holds one line at most"
    if why:
        raise Usage(f"--cache {text}: {why}")
    return size, assoc, line


def passes(text):
    if not re.fullmatch(r"[0-9]+", text) or not 1 <= int(text) <= \
            learn.PASSES:
        raise Usage(f"--passes {text}: want 1 to {learn.PASSES}")
    return int(text)


def shift(text):
    if not re.fullmatch(r"-?[0-9]+", text):
        raise Usage(f"--stack-shift {text}: not a number of bytes")
    n = int(text)
    if n % 16:
        raise Usage(f"--stack-shift {text}: not a multiple of 16")
    if abs(n) > MAX_SHIFT:
        raise Usage(f"--stack-shift {text}: more than {MAX_SHIFT} bytes")
    return n


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def parser():
    p = Parser(prog=PROG, description=__doc__.split("\n\n")[0],
               formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, parser_class=Parser)
    shared = Parser(add_help=False)
    shared.add_argument("kernel", metavar="KERNEL",
                        help="a built loadgrid1, loadgrid2 or loadgrid3")
    shared.add_argument("--stack-shift", type=str, default="0",
                        metavar="BYTES", help="the stack this much lower")
    t = sub.add_parser("trace", parents=[shared],
                       help="the process's data accesses, as a din trace")
    t.add_argument("--passes", default=str(learn.PASSES), metavar="N")
    t.add_argument("--fetches", action="store_true",
                   help="add every instruction fetched")
    t.add_argument("--low32", action="store_true",
                   help="keep the low 32 bits of each address")
    m = sub.add_parser("misses", parents=[shared],
                       help="D1 misses of main and of the whole trace")
    m.add_argument("--passes", default=str(learn.PASSES), metavar="N")
    c = sub.add_parser("check", parents=[shared],
                       help="the model beside cachegrind's measure")
    for s in (m, c):
        s.add_argument("--cache", action="extend", nargs="+", required=True,
                       metavar="GEOMETRY", help="SIZE,ASSOC,LINE in bytes")
    return p


def fail(why):
    print(f"{PROG}: {why}", file=sys.stderr)
    return 1


def in_build(bindir):
    """Use the engine of the build folder bindir."""
    global ENGINE
    ENGINE = os.path.join(bindir, "model", "loadgrid-engine")


def cache_dir():
    return os.environ.get("LOADGRID_MODEL_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
        "loadgrid-model")


def open_kernel(path):
    """Checks that path is a kernel; returns the hash of its bytes."""
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except IsADirectoryError:
        raise vgrun.Failure(f"{path}: is a directory") from None
    except OSError as e:
        raise vgrun.Failure(f"{path}: {e.strerror}") from None
    if name not in vgrun.KERNELS:
        raise vgrun.Failure(f"{path}: not a loadgrid kernel: its name is "
                            "not loadgrid1, loadgrid2 or loadgrid3")
    if data[:4] != b"\x7fELF":
        raise vgrun.Failure(f"{path}: not a loadgrid kernel: not an ELF "
                            "executable")
    return hashlib.sha256(data).hexdigest()


def valgrind_version():
    try:
        return subprocess.run([vgrun.valgrind(), "--version"],
                              capture_output=True, text=True).stdout.strip()
    except vgrun.Failure:
        return None


def model(path):
    """The learned model of the kernel at path: from the cache, or learned
    now and cached."""
    digest = open_kernel(path)
    folder = cache_dir()
    name = os.path.basename(path)
    file = os.path.join(folder, f"{name}-{digest[:16]}.model")
    version = valgrind_version()
    stamp = f"valgrind {version}\n"
    if os.path.exists(file):
        with open(file) as f:
            text = f.read()
        if version is None or stamp in text:
            return file
    if version is None:
        raise vgrun.Failure(
            "valgrind: not found; trace and misses still answer for "
            f"kernels learned before (in {folder}), check never")
    os.makedirs(folder, exist_ok=True)
    tmp = f"{file}.{os.getpid()}"
    try:
        text, a, b = learn.learn(path)
        with open(tmp, "w") as f:
            f.write(text + stamp)
        # The run of one pass, and the first passes of the whole run.
        verify(tmp, 1, b)
        verify(tmp, learn.LEARN_PASSES + 1, a)
        os.replace(tmp, file)
    except learn.Mismatch as e:
        raise vgrun.Failure(f"{path}: does not run as {name}: {e}") from None
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    return file


def show(rec):
    return "nothing" if rec is None else f"{rec[0]} {rec[1]:x},{rec[2]}"


def verify(file, n, seen):
    """The model's first records for a run of n passes must be, one for
    one, the records that lackey saw."""
    with subprocess.Popen([ENGINE, file, "trace", str(n), "0", "lackey"],
                          stdout=subprocess.PIPE, text=True) as p:
        got = itertools.islice(vgrun.records(p.stdout), len(seen))
        for k, (mine, real) in enumerate(itertools.zip_longest(got, seen)):
            if mine != real:
                p.kill()
                raise learn.Mismatch(
                    f"the model of {n} passes differs from the run at "
                    f"record {k}: {show(mine)} where lackey saw {show(real)}")
        p.kill()


def engine(*args, **kw):
    """Runs the engine; its failure is said as this program's."""
    r = subprocess.run([ENGINE, *map(str, args)], stderr=subprocess.PIPE,
                       text=True, **kw)
    if r.returncode > 0:
        raise vgrun.Failure(r.stderr.strip().removeprefix("loadgrid-engine: "))
    return r


def misses(path, geometries, n, stack):
    """Per geometry: main's read and write misses, the trace's."""
    r = engine(model(path), "misses", n, stack,
               *(",".join(map(str, g)) for g in geometries),
               stdout=subprocess.PIPE)
    return [tuple(map(int, line.split())) for line in r.stdout.splitlines()]


def numbers(path, what, n=learn.PASSES, stack=0):
    """Numbers the engine prints for a kernel: its "accesses" (main's data
    reads and writes, as cachegrind counts them) or its "indices" (the
    index of every step)."""
    r = engine(model(path), what, n, stack, stdout=subprocess.PIPE)
    return list(map(int, r.stdout.split()))


def check(args, geometries, stack):
    import concurrent.futures
    predicted = misses(args.kernel, geometries, learn.PASSES, stack)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        measured = list(pool.map(
            lambda g: vgrun.cachegrind(args.kernel, ",".join(map(str, g))),
            geometries))
    for _, cmd in measured:
        print("cd / && " + shlex.join(cmd))
    rows = [("geometry", "model D1mr", "model D1mw", "cachegrind D1mr",
             "cachegrind D1mw")]
    verdicts = [""]
    for text, p, ((_, _, dr, dw), _) in zip(args.cache, predicted, measured):
        rows.append((text, *map(str, (p[0], p[1], dr, dw))))
        verdicts.append("equal" if p[:2] == (dr, dw) else "DIFFERENT")
    width = [max(len(r[i]) for r in rows) for i in range(5)]
    for r, v in zip(rows, verdicts):
        cells = [r[0].ljust(width[0])] + [c.rjust(w) for c, w in
                                          zip(r[1:], width[1:])]
        print("  ".join(cells + [v]).rstrip())
    equal = all(v == "equal" for v in verdicts[1:])
    return 0 if equal else 1


def main(argv=None):
    p = parser()
    try:
        args = p.parse_args(argv)
        stack = shift(args.stack_shift)
        n = passes(args.passes) if args.command != "check" else None
        geometries = [geometry(g) for g in getattr(args, "cache", None) or []]
    except Usage as e:
        print(USAGE, file=sys.stderr)
        print(f"{PROG}: {e}", file=sys.stderr)
        return 2
    try:
        if args.command == "trace":
            opts = [o for o in ("fetches", "low32") if getattr(args, o)]
            sys.stdout.flush()
            r = engine(model(args.kernel), "trace", n, stack, *opts)
            return 0 if r.returncode == 0 else 128 - r.returncode
        if args.command == "misses":
            for text, row in zip(args.cache, misses(args.kernel, geometries,
                                                    n, stack)):
                print(text, *row)
            status = 0
        else:
            status = check(args, geometries, stack)
        sys.stdout.flush()
        return status
    except vgrun.Failure as e:
        return fail(e)
    except OSError as e:
        if e.filename is None:  # standard output: nothing more goes there
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            if isinstance(e, BrokenPipeError):
                return 141
        return fail(f"{e.filename or 'write'}: {e.strerror}")
