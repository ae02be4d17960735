"""Valgrind: finding it, knowing it, and running a kernel under its tools,
lackey and cachegrind, reading what they saw."""
import contextlib
import os
import re
import shutil
import subprocess
import threading

from . import symbols
from .cachegrind_out import EVENTS, Report
from .messages import Failure, status
from .runs import Run, scratch


def valgrind():
    path = shutil.which("valgrind")
    if not path:
        raise Failure("valgrind: not found")
    return path


def version():
    """valgrind --version, as a list of its one line."""
    r = subprocess.run([valgrind(), "--version"],
                       capture_output=True, text=True)
    if r.returncode or not r.stdout.strip():
        raise Failure(f"valgrind --version: {status(r.returncode)}")
    return r.stdout.strip().split("\n")


def one_line(lines):
    if len(lines) != 1 or not lines[0]:
        raise Failure(f"valgrind --version: {len(lines)} lines, want 1")


def identity():
    """What this Valgrind and this machine are: the files that answer for
    Valgrind (its launcher, as a script's binary too, and its cachegrind
    and memcheck tools), by path and identity; the processor as the
    kernel describes it (its clock rate aside), from which Valgrind makes
    what a program sees of it; and the kernel's release."""
    launcher = os.path.realpath(valgrind())
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


def records(lines, text=None):
    """(kind, address, size) for each record of a lackey trace: kind is
    I (instruction), L (load), S (store) or M (modify); text, a list, gets
    each record's line as it stands."""
    for line in lines:
        if line.startswith("I  "):
            kind = "I"
        elif line[:1] == " " and line[1:2] in ("L", "S", "M"):
            kind = line[1]
        else:
            continue  # Valgrind's own lines
        if text is not None:
            text.append(line.rstrip("\n"))
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


def lackey(run, stop=None, poke=None, args=(), text=None):
    """A run's records, as lackey prints them; args are arguments to give
    the kernel, which the canonical run has none of; text, a list, gets
    each record's line as lackey wrote it.

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
            for rec in records(vg.stdout, text):
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
