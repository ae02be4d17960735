"""Run a loadgrid kernel under Valgrind and read what the tools saw.

A run is everything that reaches the process: the binary's bytes, the
path it is started by (argv[0], the exec name in the auxiliary vector and
/proc/self/exe), its environment and its folder.  The path and the
environment sit at the top of the stack, and the start-up code reads the
executable's path, so all of them move what the caches see.

The canonical run starts a copy of the kernel, /tmp/loadgrid-model.XXXXXXXX/
loadgridN in a fresh folder (eight random characters, so the path's length
never changes), with no arguments and an empty environment, from that
folder: even the length of the folder a run starts in shows in what
Valgrind's client does.  The run "here" starts the kernel by its path as
typed (argv[0] is that path; a bare name is found in PATH, as valgrind
finds it), with this process's environment, from this folder.
"""
import contextlib
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading

import symbols

from kernels import NAMES as KERNELS  # noqa: F401 (for the tools)


class Failure(Exception):
    """A tool that could not run, or a run that is not what it should be."""


def valgrind():
    path = shutil.which("valgrind")
    if not path:
        raise Failure("valgrind: not found")
    return path


def symbol(path, name):
    """Start and end address of a function in an executable."""
    try:
        table = symbols.functions(path)
    except symbols.Error as e:
        raise Failure(f"{path}: {e}") from None
    for start, end, fn in table:
        if fn == name:
            return start, end
    raise Failure(f"{path}: no symbol {name}")


CANONICAL = "/tmp/loadgrid-model.XXXXXXXX"


def scratch():
    """A fresh folder /tmp/loadgrid-model.XXXXXXXX, removed on leaving."""
    return tempfile.TemporaryDirectory(prefix="loadgrid-model.", dir="/tmp")


class Run:
    """How a kernel is started: canonically, or here (see above)."""

    def __init__(self, kernel, here=False, env=None, typed=None):
        """kernel is the file; typed, for the run here, the path it is
        started by as the user typed it, where that differs.  env, for the
        canonical run only: its environment instead of an empty one."""
        self.kernel, self.here = kernel, here
        self.name = os.path.basename(kernel)
        if here:
            self.path = typed or kernel
            self.env = received_environment()
            # A shell sets _ to the program it starts: valgrind, when
            # the user starts the run by hand.
            if b"_" in self.env:
                self.env[b"_"] = os.fsencode(shutil.which("valgrind") or
                                             "valgrind")
            self.cwd = os.getcwd()
        else:
            self.path = os.path.join(CANONICAL, self.name)
            self.env = {os.fsencode(k): os.fsencode(v)
                        for k, v in (env or {}).items()}
            self.cwd = CANONICAL

    def key(self):
        """The run's definition, but for the binary and the tool."""
        exe = os.path.realpath(self.kernel) if self.here else self.path
        env = [[k.decode("latin-1"), v.decode("latin-1")]
               for k, v in self.env.items()]
        return json.dumps({"path": self.path, "exe": exe, "cwd": self.cwd,
                           "env": env})

    @contextlib.contextmanager
    def started(self):
        """A folder of this run's own (for Valgrind's gdb-server pipes),
        the path to start the kernel by, and the folder to start it from."""
        with scratch() as folder:
            if len(folder) != len(CANONICAL):
                raise Failure(f"{folder}: not of the canonical run's length")
            path, cwd = self.path, self.cwd
            if not self.here:
                path, cwd = os.path.join(folder, self.name), folder
                shutil.copyfile(self.kernel, path)
                os.chmod(path, 0o755)
            yield folder, path, cwd

    def popen(self, argv, cwd, **kw):
        return subprocess.Popen(argv, env=self.env, cwd=cwd, **kw)


def received_environment():
    """This process's environment exactly as it was started with, every
    byte and in order, as names and values in bytes.  os.environ may hold
    more: where no locale is set, Python adds LC_CTYPE to its own."""
    try:
        with open("/proc/self/environ", "rb") as f:
            entries = f.read().split(b"\0")[:-1]
    except OSError as e:
        raise Failure(f"/proc/self/environ: {e.strerror}") from None
    env = {}
    for entry in entries:
        name, eq, value = entry.partition(b"=")
        if not eq or not name or name in env:
            raise Failure("--here: this environment holds "
                          f"'{entry[:40].decode(errors='replace')}', which "
                          "cannot be passed on exactly")
        env[name] = value
    return env


class Pipes:
    """The gdb server's pipes that Valgrind makes in its temporary folder
    (TMPDIR in the run's environment, else /tmp) unless told where: it
    removes them as it ends, but cannot when it is killed.  Made when a
    tool starts, this removes, once the tool has ended, those made since
    by a Valgrind that is gone."""

    NAME = re.compile(r"vgdb-pipe-.*?(\d+)-by-")

    def __init__(self, env):
        self.folder = os.fsdecode(env.get(b"TMPDIR") or b"/tmp")
        self.before = self._mine()

    def _mine(self):
        try:
            names = os.listdir(self.folder)
        except OSError:
            return set()
        return {n for n in names if self.NAME.match(n)}

    def remove_left(self):
        for name in self._mine() - self.before:
            pid = int(self.NAME.match(name)[1])
            if not os.path.exists(f"/proc/{pid}"):
                with contextlib.suppress(OSError):
                    os.remove(os.path.join(self.folder, name))


def status(code):
    """A child's exit status in words."""
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


def main_sp(run):
    """Where the stack pointer stands as main starts in a run: just above
    main's first push, which lackey sees."""
    lo, hi = symbol(run.kernel, "main")
    watch, push = Watch(lo, hi), []

    def first_push(rec):
        watch.see(rec)
        if watch.inside and rec[0] in "SM":
            push.append(rec[1])
        return bool(push)
    lackey(run, stop=first_push)
    if not push:
        raise Failure(f"{run.kernel}: main never stores to its stack")
    return push[0] + 8


PAD = "P"  # the shortest name: the smallest shift is then 16 bytes


def shifted(kernel, shift):
    """The canonical run but for one variable in its environment, long
    enough to put main's stack shift bytes lower (shift >= 0)."""
    if shift == 0:
        return Run(kernel)
    top = main_sp(Run(kernel))
    size = max(shift - 16, 0)
    for _ in range(8):
        run = Run(kernel, env={PAD: "x" * size})
        moved = top - main_sp(run)
        if moved == shift:
            return run
        size = max(size + shift - moved, 0)
    raise Failure(f"{kernel}: no length of {PAD} moves the stack {shift} "
                  "bytes")


def digest(path):
    """SHA-256 of a file's bytes."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def records(lines):
    """(kind, address, size) for each record of a lackey trace: kind is
    I (instruction), L (load), S (store) or M (modify)."""
    for line in lines:
        if line.startswith("I  "):
            kind = "I"
        elif line[:1] == " " and line[1:2] in ("L", "S", "M"):
            kind = line[1]
        else:
            continue  # Valgrind's own lines
        addr, size = line[3:].split(",")
        yield kind, int(addr, 16), int(size)


class Watch:
    """Follows a trace record by record: the instruction that made each,
    whether it is one of main's, and how many array reads have gone by.
    Array reads are main's loads whose address moves: the first read of
    an instruction counts once a second one shows that it moves."""

    def __init__(self, lo, hi):
        self.lo, self.hi = lo, hi
        self.insn, self.inside, self.reads = 0, False, 0
        self.first, self.moving = {}, set()

    def see(self, rec):
        kind, addr, _ = rec
        if kind == "I":
            self.insn, self.inside = addr, self.lo <= addr < self.hi
        elif kind == "L" and self.inside:
            if self.insn in self.moving:
                self.reads += 1
            elif self.first.setdefault(self.insn, addr) != addr:
                self.moving.add(self.insn)
                self.reads += 2


def lackey(run, stop=None, poke=None, args=()):
    """A run's records, as lackey prints them; args are arguments to give
    the kernel, which the canonical run has none of.

    stop, if given, sees each record and returns true to end the run there.
    poke = (instruction, address, value) stops the run at that instruction
    through Valgrind's gdb server and stores the 32-bit value at address
    before it goes on.  Returns the list of records read.
    """
    # The gdb run keeps Valgrind's default --vgdb=yes: under --vgdb=full
    # every instruction is translated on its own, and a load that a plain
    # run drops (g++'s "mov -0x3b8(%rbp),%rsp" at main's end, whose %rsp
    # the next instruction overwrites) would appear in the trace.
    opts = ["--tool=lackey", "--trace-mem=yes", "--log-fd=1"]
    if poke and not shutil.which("gdb"):
        raise Failure("gdb: not found")
    with run.started() as (folder, path, cwd):
        prefix = os.path.join(folder, "vgdb-pipe")
        opts.append(f"--vgdb-prefix={prefix}")
        if poke:
            opts.append("--vgdb-error=0")
        vg = run.popen([valgrind(), *opts, path, *args], cwd,
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                       text=True)
        gdb = None
        out = []
        ended = False  # the run went to its end, not stopped
        try:
            if poke:
                gdb = _attach(run, cwd, vg, prefix, poke)
            for rec in records(vg.stdout):
                out.append(rec)
                if stop and stop(rec):
                    break
            else:
                ended = True
        finally:
            if not ended:
                vg.kill()
            vg.wait()
            vg.stdout.close()
            if gdb:
                try:
                    gdb.wait(5)  # it ends with the run
                except subprocess.TimeoutExpired:
                    gdb.kill()
                    gdb.wait()
        if gdb:
            with open(os.path.join(folder, "gdb.out")) as f:
                said = f.read()
            if "poked" not in said or gdb.orphaned:
                last = (said.strip().splitlines() or [status(gdb.returncode)])
                raise Failure(f"gdb: the pass counter was not set: {last[-1]}")
        if ended and vg.returncode:
            raise Failure(f"lackey: {run.name}: {status(vg.returncode)}")
    if not out:
        raise Failure(f"{run.kernel}: lackey traced nothing")
    return out


def _attach(run, cwd, vg, prefix, poke):
    """Wait for the gdb server to stand ready, then have gdb poke.  gdb
    and vgdb get the run's environment: vgdb finds the server's pipes by
    names made of USER, LOGNAME and HOST, as the run sees them.  Should
    gdb end while the run still waits on it, the run is ended too, and
    the gdb process returned says so (orphaned)."""
    for line in vg.stdout:
        if "target remote" in line:
            break
    else:
        raise Failure("valgrind: its gdb server did not start")
    vgdb = shutil.which("vgdb") or "vgdb"
    insn, addr, value = poke
    cmds = ["set confirm off",
            f"target remote | {vgdb} --vgdb-prefix={prefix} --pid={vg.pid}",
            f"break *{insn:#x}", "continue", f"set {{int}}{addr:#x} = {value}",
            "echo poked\\n", "delete", "continue"]
    args = [shutil.which("gdb"), "-batch", "-nx"]
    for c in cmds:
        args += ["-ex", c]
    with open(os.path.join(os.path.dirname(prefix), "gdb.out"), "w") as out:
        gdb = run.popen(args, cwd, stdin=subprocess.DEVNULL, stdout=out,
                        stderr=subprocess.STDOUT)
    gdb.orphaned = False

    def watch():
        gdb.wait()
        try:
            vg.wait(5)
        except subprocess.TimeoutExpired:
            gdb.orphaned = True
            vg.kill()
    threading.Thread(target=watch, daemon=True).start()
    return gdb


def cachegrind(run, geometry):
    """Data reads, writes, D1 read misses and D1 write misses of main in
    a run, for one D1 geometry "SIZE,ASSOC,LINE"."""
    report = Report(cachegrind_file(run, [f"--D1={geometry}"]))
    if "main" not in report.functions:
        raise Failure("cachegrind: no counts for main in its output")
    costs = dict(zip(EVENTS, report.functions["main"]))
    return tuple(costs[e] for e in ("Dr", "Dw", "D1mr", "D1mw"))


# The cachegrind runs going on, which other threads may run: what stops
# this program ends them, with stop_all().
running = set()


def stop_all():
    for p in list(running):
        p.kill()


def cachegrind_file(run, options):
    """The output file of cachegrind's cache simulation of a run, with
    options such as --I1=SIZE,ASSOC,LINE; or of /bin/true, for run None,
    with an empty environment, as the canonical run has: no
    VALGRIND_OPTS or ~/.valgrindrc to change the caches it picks."""
    with scratch() as tmp, run.started() if run else \
            contextlib.nullcontext((tmp, "/bin/true", tmp)) as (folder, path,
                                                                 cwd):
        out = os.path.join(tmp, "cg.out")
        argv = [valgrind(), "--tool=cachegrind", "--cache-sim=yes", *options,
                f"--cachegrind-out-file={out}",
                f"--vgdb-prefix={folder}/vgdb-pipe", path]
        with subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True,
                              cwd=cwd, env=run.env if run else {}) as p:
            running.add(p)
            try:
                _, err = p.communicate()
            finally:
                p.kill()
                running.discard(p)
        if p.returncode or not os.path.exists(out):
            last = err.strip().splitlines()[-1:] or [status(p.returncode)]
            raise Failure(f"cachegrind: {last[0]}")
        with open(out) as f:
            return f.read()


def narrowest_line(least):
    """The narrowest line cachegrind takes on this machine: least, unless it
    refuses lines of that width for being narrower than the widest
    register, which it then names."""
    line = f"{least * 64},1,{least}"
    argv = [valgrind(), "--tool=cachegrind", "--cache-sim=yes",
            f"--I1={line}", f"--D1={line}", f"--LL={line}",
            "--cachegrind-out-file=/dev/null", "--vgdb=no", "/bin/true"]
    r = subprocess.run(argv, capture_output=True, text=True, env={},
                       cwd="/")
    said = " ".join(r.stderr.split())
    m = re.search(r"larger than the maximum register size \((\d+)\)", said)
    if m and r.returncode:
        return int(m[1])
    if r.returncode:
        raise Failure(f"cachegrind: lines of {least} bytes: "
                      f"{said[-120:] or status(r.returncode)}")
    return least


EVENTS = "Ir I1mr ILmr Dr D1mr DLmr Dw D1mw DLmw".split()


def by_function(places):
    """Events by (file, function, line) summed by function."""
    out = {}
    for (_, fn, _), costs in places.items():
        old = out.get(fn, [0] * len(costs))
        out[fn] = [a + b for a, b in zip(old, costs)]
    return out


class Report:
    """A cachegrind output file: its desc lines, the events of each line
    of each function by (file, function, line), each function's events,
    and their sum (the summary line)."""

    def __init__(self, text):
        self.desc, self.places, self.functions = [], {}, {}
        self.summary = None
        fn = None
        fl = "???"
        for n, line in enumerate(text.splitlines(), 1):
            key, _, rest = line.partition(":")
            if line.startswith("desc: "):
                self.desc.append(line)
            elif key == "events":
                if rest.split() != EVENTS:
                    raise Failure(f"cachegrind: events {rest.strip()}, not "
                                  "the nine of a cache simulation")
            elif key == "summary":
                self.summary = self._numbers(rest.split(), n)
            elif line.startswith("fn="):
                fn = line[3:]
            elif line.startswith("fl="):
                fl = line[3:]
            elif line[:1].isdigit() and fn is not None:
                number, *words = line.split()
                costs = self._numbers(words, n)
                for table, key in ((self.places, (fl, fn, int(number))),
                                   (self.functions, fn)):
                    old = table.get(key, [0] * len(EVENTS))
                    table[key] = [a + b for a, b in zip(old, costs)]
            elif not line.startswith("cmd:") and line:
                raise Failure(f"cachegrind: line {n}: '{line[:40]}'")
        if self.summary is None or not self.functions:
            raise Failure("cachegrind: no summary or no functions")

    @staticmethod
    def _numbers(words, n):
        if len(words) > len(EVENTS) or not all(w.isdigit() for w in words):
            raise Failure(f"cachegrind: line {n}: not {len(EVENTS)} counts")
        return [int(w) for w in words] + [0] * (len(EVENTS) - len(words))
