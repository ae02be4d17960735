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
import hashlib
import itertools
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

import learn
import symbols
import vgrun
from kernels import NAMES, PASSES

PROG = "loadgrid-model"
# cachegrind's rules for a cache (the engine keeps the same): each number
# fits a C int, the line is a power of two of at least MIN_LINE bytes and
# at least as wide as the machine's widest register, the sets are a power
# of two, and the cache holds more than one line.
LIMIT = 1 << 31  # every number below it
MIN_LINE = 16
# Caches below LIMIT tell addresses apart only modulo LIMIT, so shifts are
# taken within half of it either way.
MAX_SHIFT = LIMIT >> 1
SIZES = """\
SIZE, ASSOC and LINE are in bytes; a k or m suffix means KiB or MiB (32k).
As cachegrind wants them: each below 2 GiB, the line a power of two at
least as wide as the machine's widest register (32 bytes with AVX), the
sets a power of two, more than one line."""
EPILOG = {
    "trace": """\
Prints the run's data accesses in order as a din trace: "0 ADDR" a read,
"1 ADDR" a write (hex), a modify being a read then a write; with
--fetches also "2 ADDR" for each instruction.""",
    "misses": """\
Prints a header line, then a line per cache: the cache as given, the D1
read and write misses of main's own accesses as cachegrind counts them,
and the read and write misses of the whole din trace (one access per
record) in the same cache, empty at the start.

""" + SIZES,
    "predict": """\
Writes, without running anything, the file that cachegrind's cache
simulation writes for the run with --cachegrind-out-file: the caches'
desc lines, cmd, events, one fn= block per function under the names
cachegrind gives them, and the summary.  Caches not given are the ones
cachegrind picks on this machine.  cg_annotate reads it.

""" + SIZES,
    "check": """\
With --cache: runs cachegrind on the same run for each cache and prints
the model's D1 misses of main beside cachegrind's, "equal" or
"DIFFERENT" on each line.  Otherwise: predicts cachegrind's whole report
for one hierarchy (--I1, --D1, --LL, each defaulting to cachegrind's own
choice on this machine), runs cachegrind with it, and prints every
function and event that differs, or that all agree.  Then a line saying
whether all agree, and the command that repeats the measurement by hand.
Status 1 unless every figure was measured and agrees.

""" + SIZES,
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


def say(what):
    """A step that takes a while, said on stderr."""
    print(f"{PROG}: {what}", file=sys.stderr, flush=True)


def number(text):
    m = re.fullmatch(r"([0-9]+)([kKmM]?)", text)
    if not m:
        raise Usage(f"'{text}' is not a number of bytes")
    return int(m[1]) << {"": 0, "k": 10, "K": 10, "m": 20, "M": 20}[m[2]]


def geometry(text, option="--cache"):
    """SIZE,ASSOC,LINE as cachegrind's --D1 takes it, checked as it checks
    them; returns the three numbers."""
    parts = text.split(",")
    if len(parts) != 3:
        raise Usage(f"{option} {text}: want SIZE,ASSOC,LINE")
    try:
        size, assoc, line = (number(p) for p in parts)
    except Usage as e:
        raise Usage(f"{option} {text}: {e}") from None
    why = None
    if not size or not assoc or not line:
        why = "sizes must be above zero"
    elif max(size, assoc, line) >= LIMIT:
        why = f"a number of {LIMIT >> 30} GiB or more"
    elif line & (line - 1):
        why = "the line size is not a power of two"
    elif line < MIN_LINE:
        why = f"lines under {MIN_LINE} bytes"
    elif size % (line * assoc):
        why = "the size is not a whole number of sets"
    elif (size // line // assoc) & (size // line // assoc - 1):
        why = "the set count is not a power of two"
    elif size <= line:
        why = "the cache holds one line at most"
    if why:
        raise Usage(f"{option} {text}: {why}")
    return size, assoc, line


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
                        help="loadgrid1, loadgrid2 or loadgrid3: a bare name "
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
    caches = Parser(add_help=False)
    caches.add_argument("--cache", action="extend", nargs="+",
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
    command("misses", [kernel, caches, moved, counted],
            "D1 misses of main and of the whole trace")
    pr = command("predict", [kernel, hierarchy, moved, counted],
                 "cachegrind's whole report of the run")
    pr.add_argument("-o", metavar="FILE", dest="output",
                    help="write it to FILE, not standard output")
    command("check", [kernel, caches, hierarchy, padded],
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


def cache_dir():
    return os.environ.get("LOADGRID_MODEL_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
        "loadgrid-model")


def valgrind_version():
    """valgrind --version, as a list of its one line."""
    r = subprocess.run([vgrun.valgrind(), "--version"],
                       capture_output=True, text=True)
    if r.returncode or not r.stdout.strip():
        raise vgrun.Failure(f"valgrind --version: {vgrun.status(r.returncode)}")
    return r.stdout.strip().split("\n")


def one_line(lines):
    if len(lines) != 1 or not lines[0]:
        raise vgrun.Failure(f"valgrind --version: {len(lines)} lines, want 1")


def valgrind_identity():
    """What this Valgrind and this machine are: the files that answer for
    Valgrind (its launcher, as a script's binary too, and its cachegrind
    and memcheck tools), by path and identity; the processor as the
    kernel describes it (its clock rate aside), from which Valgrind makes
    what a program sees of it; and the kernel's release."""
    launcher = os.path.realpath(vgrun.valgrind())
    up = os.path.dirname(os.path.dirname(launcher))
    lib = next((d for d in (os.environ.get("VALGRIND_LIB"),
                            os.path.join(up, "libexec", "valgrind"),
                            os.path.join(up, "lib", "valgrind"))
                if d and os.path.isdir(d)), "")
    tools = sorted(os.path.join(lib, f) for f in os.listdir(lib)
                   if f.startswith(("cachegrind-", "memcheck-"))) if lib else []
    files = []
    for f in [launcher, launcher + ".bin", *tools]:
        if os.path.exists(f):
            st = os.stat(f)
            files.append(f"{f} {st.st_dev} {st.st_ino} {st.st_size} {st.st_mtime_ns}")
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            cpu = f.read().split("\n\n")[0].splitlines()
    except OSError:
        cpu = []
    cpu = [line for line in cpu if not line.startswith("cpu MHz")]
    # The kernel lays out the auxiliary vector a program starts with.
    system = " ".join(os.uname()[2:])
    return "\n".join([*files, *cpu, system])


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def run_key(run, binary):
    """What names a run's model in the cache: the binary's digest, the
    run's definition and the model's format.  Its file is
    KERNEL-KEY16-VALGRIND8.model."""
    return sha(binary + run.key() + learn.FORMAT)


class Damaged(Exception):
    pass


def seal(text):
    """text, which ends in a newline, and its checksum line."""
    return text + f"checksum {sha(text)}\n"


def checked(file, notes):
    """The text of a sealed file, if it is whole and its last lines but the
    checksum include notes; else Damaged says what is wrong."""
    try:
        with open(file, "rb") as f:
            data = f.read()
        text = data.decode()
    except UnicodeDecodeError:
        raise Damaged("not text") from None
    body, _, last = text[:-1].rpartition("\n")
    if not text.endswith("\n") or last != f"checksum {sha(body + chr(10))}":
        raise Damaged("its checksum does not match")
    # Notes come last, each on a line; a few more lines leave room for
    # others written after them.
    lines = set(body.rsplit("\n", 2 * len(notes) + 2)[1:])
    for note in notes:
        if note not in lines:
            raise Damaged(f"it is not for this run (no '{note[:40]}')")
    return text


def made(file, make):
    """Makes file by make(path) into a temporary file beside it, then a
    rename, so that no reader sees it half made; the temporary file is
    removed whatever happens."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(file), prefix=".",
                               suffix=".part")
    os.close(fd)
    try:
        make(tmp)
        os.replace(tmp, file)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class Answers:
    """The model's answers, from the engine at engine: learned models are
    cached per run (in ~/.cache/loadgrid-model or $LOADGRID_MODEL_CACHE),
    or, where that folder cannot be written, in a temporary folder that
    close() removes."""

    def __init__(self, engine):
        self.engine_path = engine
        self.temp = None
        self._version = False  # not asked yet
        self._valgrind_key = None  # of this Valgrind and processor

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.temp:
            self.temp.cleanup()
            self.temp = None

    def default_caches(self):
        """The I1, D1 and LL that cachegrind picks on this machine, from
        the desc lines of a short run, kept per Valgrind and processor."""
        def ask():
            say("asking cachegrind which caches it picks here")
            return vgrun.Report(vgrun.cachegrind_file(None, [])).desc
        if not hasattr(self, "_defaults"):
            self._defaults = descs(self.kept("caches", ask, descs))
        return self._defaults

    def narrowest_line(self):
        """The narrowest line cachegrind takes here, as wide as the widest
        register Valgrind gives a program on this processor; MIN_LINE
        without Valgrind, which cannot tell."""
        def ask():
            say("asking cachegrind the narrowest line it takes here")
            return [str(vgrun.narrowest_line(MIN_LINE))]

        def check(lines):
            if len(lines) != 1 or not lines[0].isdigit() or \
                    int(lines[0]) < MIN_LINE:
                raise vgrun.Failure(f"cachegrind: narrowest line {lines}")
        if not shutil.which("valgrind"):
            return MIN_LINE
        if not hasattr(self, "_narrowest"):
            self._narrowest = int(self.kept("lines", ask, check)[0])
        return self._narrowest

    def taken(self, geometries, option="--cache"):
        """Refuses, as a usage error, caches whose lines are narrower than
        cachegrind takes here."""
        narrowest = self.narrowest_line()
        for g in geometries:
            if g[2] < narrowest:
                raise Usage(f"{option} {','.join(map(str, g))}: lines under "
                            f"{narrowest} bytes, the widest register here")

    def version(self):
        """valgrind --version, kept per Valgrind; None without one."""
        if self._version is False:
            self._version = self.kept("version", valgrind_version, one_line)[0] \
                if shutil.which("valgrind") else None
        return self._version

    def valgrind_key(self):
        """The key of this Valgrind on this machine."""
        if not self._valgrind_key:
            self._valgrind_key = sha(valgrind_identity())
        return self._valgrind_key

    def kept(self, name, find, check):
        """Lines about this Valgrind on this processor that find() gives
        and check(lines) accepts (else raising vgrun.Failure), kept in the
        cache folder under a key of both; a kept file that is damaged, not
        for them or not accepted is found again."""
        key = self.valgrind_key()
        file = os.path.join(cache_dir(), f"valgrind-{key[:16]}.{name}")
        identity = f"identity {key}"
        try:
            lines = checked(file, [identity]).split("\n")[:-2]
            if lines[-1:] == [identity]:
                check(lines[:-1])
                return lines[:-1]
        except (OSError, Damaged, vgrun.Failure):
            pass
        lines = find()
        check(lines)
        try:
            os.makedirs(cache_dir(), exist_ok=True)
            made(file, lambda tmp: write(tmp, seal(
                "".join(line + "\n" for line in [*lines, identity]))))
        except OSError:
            pass  # found again next time
        return lines

    def writable(self, folder):
        """folder, or a temporary one where folder cannot be written."""
        if self.temp:
            return self.temp.name
        try:
            os.makedirs(folder, exist_ok=True)
            tempfile.TemporaryFile(dir=folder).close()
            return folder
        except OSError as e:
            why = "not a folder" if isinstance(
                e, (FileExistsError, NotADirectoryError)) else e.strerror
            self.temp = vgrun.scratch()
            say(f"{folder}: {why}; keeping the model in a temporary folder "
                "for this run only")
            return self.temp.name

    def model(self, run):
        """The file of the learned model of a run: from the cache, or
        learned now and cached."""
        binary = kernel_digest(run.kernel)
        key = run_key(run, binary)
        notes = [f"binary {binary}", f"run {key}"]
        version = self.version()
        folder = self.temp.name if self.temp else cache_dir()
        stem = os.path.join(folder, f"{run.name}-{key[:16]}")
        if version is not None:
            # What the kernel is shown of the machine under this Valgrind
            # (its processor's features, the auxiliary vector) comes with it.
            notes.append(f"valgrind {version} {self.valgrind_key()}")
            files = [f"{stem}-{self.valgrind_key()[:8]}.model"]
        else:
            try:
                files = sorted((os.path.join(folder, f)
                                for f in os.listdir(folder)
                                if f.startswith(os.path.basename(stem) + "-")
                                and f.endswith(".model")),
                               key=os.path.getmtime, reverse=True)
            except OSError:
                files = []
        for file in files:
            if not os.path.exists(file):
                continue
            try:
                checked(file, notes)
                return file
            except (Damaged, OSError) as e:
                why = e if isinstance(e, Damaged) else e.strerror
                if version is None:
                    raise vgrun.Failure(
                        f"{file}: damaged: {why}; valgrind: not found, so "
                        "it cannot be learned again") from None
                say(f"{file}: damaged: {why}; learning it again")
        if version is None:
            raise vgrun.Failure(
                f"valgrind: not found; trace and misses still answer for "
                f"runs learned before (in {folder}), check never")
        return self.learn(run, notes, files[0])

    def learn(self, run, notes, file):
        folder = self.writable(os.path.dirname(file))
        file = os.path.join(folder, os.path.basename(file))
        where = "as started here" if run.here else "canonical run"

        def make(tmp):
            try:
                text, a, b = learn.learn(run, lambda: say(
                    f"learning {run.name} ({where}): two short Valgrind "
                    "runs, a few seconds"))
                write(tmp, seal(text + "".join(n + "\n" for n in notes)))
                # The run of one pass, and the first passes of the whole run.
                self.verify(tmp, 1, b, whole=True)
                self.verify(tmp, learn.LEARN_PASSES + 1, a, whole=False)
            except learn.Mismatch as e:
                raise vgrun.Failure(f"{run.kernel}: does not run as "
                                    f"{run.name}: {e}") from None
        made(file, make)
        return file

    def verify(self, file, n, seen, whole):
        """The model's records for a run of n passes must be, one for one,
        the records that lackey saw: all of them, if whole, else as many as
        it saw."""
        with subprocess.Popen([self.engine_path, file, "trace", str(n), "0",
                               "lackey"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as p:
            try:
                got = vgrun.records(p.stdout)
                if not whole:
                    got = itertools.islice(got, len(seen))
                for k, (mine, real) in enumerate(
                        itertools.zip_longest(got, seen)):
                    if mine != real:
                        if mine is None and p.wait():
                            raise vgrun.Failure(
                                engine_error(p.returncode, p.stderr.read()))
                        raise learn.Mismatch(
                            f"the model of {n} passes differs from the run "
                            f"at record {k}: {show(mine)} where lackey saw "
                            f"{show(real)}")
                if whole and p.wait():
                    raise vgrun.Failure(
                        engine_error(p.returncode, p.stderr.read()))
            finally:
                p.kill()

    def engine(self, run, *args):
        """Runs the engine on a run's model, for what it prints; any status
        but 0 is a failure, said as this program's."""
        r = subprocess.run([self.engine_path, self.model(run),
                            *map(str, args)], capture_output=True, text=True)
        if r.returncode:
            raise vgrun.Failure(engine_error(r.returncode, r.stderr))
        return r.stdout

    def misses(self, run, geometries, n=PASSES, shift=0):
        """Per geometry: main's read and write misses, the trace's."""
        return self.misses_at(run, geometries, n, [shift])[0]

    def misses_at(self, run, geometries, n, shifts):
        """misses() at each of several stack shifts, in one engine call:
        a list of rows per shift."""
        out = self.engine(run, "misses", n, ",".join(map(str, shifts)),
                          *(",".join(map(str, g)) for g in geometries))
        got = rows(out, len(shifts) * len(geometries), 4)
        k = len(geometries)
        return [got[i:i + k] for i in range(0, len(got), k)]

    def report(self, run, hierarchies, n=PASSES, shift=0):
        """Per hierarchy (three geometries, I1, D1, LL): the nine events of
        each line of each function as cachegrind counts them, by (file,
        function, line), "???" and 0 where they are not known."""
        out = self.engine(run, "report", n, shift, *(
            ",".join(map(str, g)) for h in hierarchies for g in h))
        lines = out.splitlines()
        reports = []
        while lines:
            head = lines.pop(0).split()
            if len(head) != 2 or head[0] != "report" or \
                    not head[1].isdigit() or int(head[1]) > len(lines):
                raise vgrun.Failure("loadgrid-engine: a report cut short")
            places = {}
            for line in lines[:int(head[1])]:
                *counts, number, rest = line.split(" ", len(vgrun.EVENTS) + 1)
                name, tab, file = rest.rpartition("\t")
                if len(counts) != len(vgrun.EVENTS) or not tab or \
                        not all(c.isdigit() for c in [*counts, number]):
                    raise vgrun.Failure(f"loadgrid-engine: '{line[:40]}'")
                key = (file, name, int(number))
                old = places.get(key, [0] * len(counts))
                places[key] = [a + int(b) for a, b in zip(old, counts)]
            del lines[:int(head[1])]
            reports.append(places)
        if len(reports) != len(hierarchies):
            raise vgrun.Failure(f"loadgrid-engine: {len(reports)} reports "
                                f"for {len(hierarchies)} hierarchies")
        return reports

    def accesses(self, run, n=PASSES, shift=0):
        """main's data reads and writes, as cachegrind counts them."""
        return rows(self.engine(run, "accesses", n, shift), 1, 2)[0]

    def indices(self, run, n=PASSES, shift=0):
        """The index that each step of the run reads."""
        return [r[0] for r in rows(self.engine(run, "indices", n, shift),
                                   n * learn.STEPS, 1)]

    def trace(self, run, n, shift, opts):
        """Writes the trace to standard output; a reader that stops
        early stops it (status 141, as for a shell pipeline)."""
        sys.stdout.flush()
        r = subprocess.run([self.engine_path, self.model(run), "trace",
                            str(n), str(shift), *opts],
                           stderr=subprocess.PIPE, text=True)
        if r.returncode == -signal.SIGPIPE:
            return 128 + signal.SIGPIPE
        if r.returncode:
            raise vgrun.Failure(engine_error(r.returncode, r.stderr))
        return 0


def descs(lines):
    """SIZE, ASSOC, LINE of I1, D1 and LL from cachegrind's desc lines."""
    if len(lines) != len(LEVELS):
        raise vgrun.Failure(f"cachegrind: {len(lines)} desc lines, want "
                            f"{len(LEVELS)}")
    out = []
    for level, line in zip(LEVELS, lines):
        m = re.fullmatch(rf"desc: {level} cache: +(\d+) B, (\d+) B, "
                         r"(?:(\d+)-way associative|(direct-mapped))", line)
        if not m:
            raise vgrun.Failure(f"cachegrind: '{line}'")
        out.append((int(m[1]), int(m[3] or 1), int(m[2])))
    return out


def engine_error(code, said):
    """What the engine said, or how it ended."""
    if code > 0 and said.strip():
        return said.strip().removeprefix("loadgrid-engine: ")
    return f"loadgrid-engine: {vgrun.status(code)}"


def rows(text, count, width):
    """count lines of width numbers, or a failure."""
    out = [tuple(map(int, line.split())) for line in text.splitlines()
           if re.fullmatch(r"[0-9]+( [0-9]+)*", line)]
    if len(out) != len(text.splitlines()) or len(out) != count or \
            any(len(r) != width for r in out):
        raise vgrun.Failure(f"loadgrid-engine: {len(text.splitlines())} "
                            f"lines where {count} of {width} numbers were "
                            "wanted")
    return out


def show(rec):
    return "nothing" if rec is None else f"{rec[0]} {rec[1]:x},{rec[2]}"


def kernel_digest(path):
    """Checks that path is a kernel; returns the hash of its bytes."""
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
        data = vgrun.digest(path)
    except IsADirectoryError:
        raise vgrun.Failure(f"{path}: is a directory") from None
    except OSError as e:
        raise vgrun.Failure(f"{path}: {e.strerror}") from None
    if name not in NAMES:
        raise vgrun.Failure(f"{path}: not a loadgrid kernel: its name is "
                            "not loadgrid1, loadgrid2 or loadgrid3")
    if head[:4] != b"\x7fELF":
        raise vgrun.Failure(f"{path}: not a loadgrid kernel: not an ELF "
                            "executable")
    try:
        linked = symbols.dynamic(head)
    except symbols.Error as e:
        raise vgrun.Failure(f"{path}: {e}") from None
    if linked:
        raise vgrun.Failure(f"{path}: dynamically linked: its run would "
                            "depend on the C library and the loader too; "
                            "the model answers for static kernels")
    return data


def find_kernel(name, bindir, here=False):
    """A bare kernel name is the kernel beside loadgrid-model, else the
    one in PATH; for the run here, the one in PATH, as valgrind finds it.
    Anything else is a path."""
    if "/" in name or name not in NAMES:
        return name
    if here:
        path = shutil.which(name)
        if not path:
            raise vgrun.Failure(f"{name}: not in PATH, where valgrind would "
                                "look for it; give its path")
        return path
    for folder in [bindir] if bindir else []:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    path = shutil.which(name)
    if not path:
        raise vgrun.Failure(f"{name}: not installed beside {PROG}, nor in "
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
            lambda g: vgrun.cachegrind(measured_run, ",".join(map(str, g))),
            geometries))
    except BaseException:
        vgrun.stop_all()  # a signal: the other thread's run too
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


LEVELS = ("I1", "D1", "LL")


def hierarchy(args, answers):
    """The three geometries of --I1, --D1 and --LL, each defaulting to
    what cachegrind picks on this machine."""
    given = {level: getattr(args, level) for level in LEVELS}
    out = {level: geometry(text, f"--{level}")
           for level, text in given.items() if text}
    for level, g in out.items():
        answers.taken([g], f"--{level}")
    if len(out) < len(LEVELS):
        for level, g in zip(LEVELS, answers.default_caches()):
            out.setdefault(level, g)
    return [out[level] for level in LEVELS]


def desc(level, g):
    size, assoc, line = g
    shape = "direct-mapped" if assoc == 1 else f"{assoc}-way associative"
    return f"desc: {level} cache:         {size} B, {line} B, {shape}"


def summary(places):
    """The sum of every line's events: the summary line's."""
    return [sum(c) for c in zip(*places.values())]


def cache_options(caches):
    """cachegrind's --I1, --D1 and --LL options for three geometries."""
    return [f"--{level}=" + ",".join(map(str, g))
            for level, g in zip(LEVELS, caches)]


def report_text(caches, cmd, places):
    """A report as cachegrind writes it: by file, function and line."""
    out = [desc(level, g) for level, g in zip(LEVELS, caches)]
    out += [f"cmd: {cmd}", "events: " + " ".join(vgrun.EVENTS) + " "]
    file = name = None
    for key in sorted(places, key=lambda k: (k[0].encode(), k[1].encode(),
                                             k[2])):
        if key[0] != file:
            file, name = key[0], None
            out.append(f"fl={file}")
        if key[1] != name:
            name = key[1]
            out.append(f"fn={name}")
        out.append(f"{key[2]} " + " ".join(map(str, places[key])))
    out.append("summary: " + " ".join(map(str, summary(places))))
    return "\n".join(out) + "\n"


def predict(answers, args, run, shift):
    caches = hierarchy(args, answers)
    places, = answers.report(run, [caches], passes(args.passes), shift)
    text = report_text(caches, run.path, places)
    if args.output:
        with open(args.output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


def check_report(answers, args, run, shift, measured_run):
    """The whole report, predicted and measured, compared figure by
    figure."""
    caches = hierarchy(args, answers)
    places, = answers.report(run, [caches], PASSES, shift)
    options = cache_options(caches)
    say("measuring the whole report with cachegrind")
    measured = vgrun.Report(vgrun.cachegrind_file(measured_run, options))
    total = summary(places)
    rows = [("file", "function", "line", "event", "model", "cachegrind")]
    none = [None] * len(vgrun.EVENTS)
    for key in sorted(set(places) | set(measured.places),
                      key=lambda k: (k[0].encode(), k[1].encode(), k[2])):
        mine, theirs = places.get(key, none), measured.places.get(key, none)
        rows += [(key[0], key[1], str(key[2]), e, str(a), str(b))
                 for e, a, b in zip(vgrun.EVENTS, mine, theirs) if a != b]
    rows += [("summary", "", "", e, str(a), str(b)) for e, a, b in
             zip(vgrun.EVENTS, total, measured.summary) if a != b]
    functions = {key[1] for key in places}
    ok = len(rows) == 1 and len(places) > 0
    if ok:
        print(f"all {len(functions)} functions x {len(vgrun.EVENTS)} events, "
              f"on {len(places)} lines, and the summary agree")
    else:
        table(rows)
        print(f"{len(rows) - 1} figures DIFFERENT")
    print("repeat by hand:\n" + run_line(args, [
        "valgrind", "--tool=cachegrind", "--cache-sim=yes", *options]))
    return 0 if ok else 1


def start(args, run):
    """The run command: COMMAND ARGS... KERNEL, in the run's environment
    and folder; what the tool writes into the canonical run's folder is
    moved into this one afterwards."""
    tool = args.tool[1:] if args.tool[:1] == ["--"] else args.tool
    kernel_digest(run.kernel)
    here = os.getcwd()
    pipes = vgrun.Pipes(run.env)
    with run.started() as (folder, path, cwd):
        try:
            p = subprocess.Popen([*tool, path], env=run.env, cwd=cwd)
        except OSError as e:
            raise vgrun.Failure(f"{tool[0]}: {e.strerror}") from None
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
                keep(folder, here, skip=run.name)
    if code < 0:
        say(f"{tool[0]}: {vgrun.status(code)}")
        return 128 - code
    return code


def keep(folder, here, skip):
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
        raise vgrun.Failure("gdb: not found")
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
        raise vgrun.Failure(f"gdb: no stack pointer at main: "
                            f"{(r.stderr.strip().splitlines() or ['?'])[-1]}")
    return int(m[1], 16)


def shift_command(args, kernel):
    kernel_digest(kernel)
    here = vgrun.Run(kernel, here=True, typed=args.kernel)
    canonical = vgrun.main_sp(vgrun.Run(kernel))
    mine = native_entry(here) if args.native else vgrun.main_sp(here)
    # Natively the stack lies far away from Valgrind's; no cache the
    # model takes tells a shift from the same one modulo LIMIT.
    print((canonical - mine + MAX_SHIFT) % LIMIT - MAX_SHIFT)
    return 0


def command(answers, args, kernel):
    run = vgrun.Run(kernel, here=args.here, typed=args.kernel)
    shift = shift_bytes(args.stack_shift)
    measured_run = run
    if shift and args.command in ("run", "check"):
        say(f"finding an environment that puts the stack {shift} bytes "
            "lower (a few short Valgrind runs)")
        measured_run = vgrun.shifted(kernel, shift)
    if args.command == "run":
        return start(args, measured_run)
    geometries = [geometry(g) for g in getattr(args, "cache", None) or []]
    answers.taken(geometries)
    if args.command == "check":
        if geometries:
            return check(answers, args, run, geometries, shift, measured_run)
        return check_report(answers, args, run, shift, measured_run)
    if args.command == "predict":
        return predict(answers, args, run, shift)
    n = passes(args.passes)
    if args.command == "trace":
        opts = [o for o in ("fetches", "low32") if getattr(args, o)]
        return answers.trace(run, n, shift, opts)
    else:
        out = [("cache", "main_read_misses", "main_write_misses",
                "trace_read_misses", "trace_write_misses")]
        for text, row in zip(args.cache, answers.misses(run, geometries, n,
                                                        shift), strict=True):
            out.append((text, *map(str, row)))
        table(out)
    return 0


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
            if args.command == "misses" and not args.cache:
                raise Usage("misses: --cache is wanted")
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
    except vgrun.Failure as e:
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
