"""Run a loadgrid kernel under Valgrind and read what the tools saw.

The canonical run: the kernel started through a symbolic link
/tmp/loadgrid-model.XXXXXX/loadgridN in a fresh folder (six random
characters, so the path's length never changes), with no arguments and an
empty environment, from /.  The path and the environment are on the
process's stack, so they fix where every stack address lies.
"""
import contextlib
import os
import random
import shutil
import string
import subprocess
import tempfile

KERNELS = ("loadgrid1", "loadgrid2", "loadgrid3")


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
        out = subprocess.run(["nm", "-S", "--defined-only", path],
                             capture_output=True, text=True).stdout
    except FileNotFoundError:
        raise Failure("nm: not found") from None
    for line in out.splitlines():
        f = line.split()
        if len(f) == 4 and f[3] == name:
            start = int(f[0], 16)
            return start, start + int(f[1], 16)
    raise Failure(f"{path}: no symbol {name}")


@contextlib.contextmanager
def canonical(kernel):
    """A fresh link to kernel by which to start the canonical run; start
    it with start(), which gives the empty environment and the folder."""
    name = os.path.basename(kernel)
    target = os.path.realpath(kernel)
    chars = string.ascii_letters + string.digits
    while True:
        tail = "".join(random.choice(chars) for _ in range(6))
        folder = f"/tmp/loadgrid-model.{tail}"
        try:
            os.mkdir(folder, 0o700)
            break
        except FileExistsError:
            continue
    try:
        link = os.path.join(folder, name)
        os.symlink(target, link)
        yield link
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def start(argv, **kw):
    return subprocess.Popen(argv, env={}, cwd="/", **kw)


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


def lackey(kernel, stop=None, poke=None, args=()):
    """The canonical run's records, as lackey prints them; args are
    arguments to give the kernel, which the canonical run has none of.

    stop, if given, sees each record and returns true to end the run there.
    poke = (instruction, address, value) stops the run at that instruction
    through Valgrind's gdb server and stores the 32-bit value at address
    before it goes on.  Returns the list of records read.
    """
    opts = ["--tool=lackey", "--trace-mem=yes", "--log-fd=1"]
    if poke:
        if not shutil.which("gdb"):
            raise Failure("gdb: not found")
        opts += ["--vgdb=yes", "--vgdb-error=0"]
    with canonical(kernel) as link:
        vg = start([valgrind(), *opts, link, *args], stdout=subprocess.PIPE,
                   stderr=subprocess.DEVNULL, text=True)
        gdb = None
        out = []
        try:
            if poke:
                gdb = _attach(vg, poke)
            for rec in records(vg.stdout):
                out.append(rec)
                if stop and stop(rec):
                    break
        finally:
            vg.kill()
            vg.wait()
            vg.stdout.close()
            if gdb:
                gdb.kill()
                gdb.wait()
    if not out:
        raise Failure(f"{kernel}: lackey traced nothing")
    return out


def _attach(vg, poke):
    """Wait for the gdb server to stand ready, then have gdb poke."""
    for line in vg.stdout:
        if "target remote" in line:
            break
    else:
        raise Failure("valgrind: its gdb server did not start")
    insn, addr, value = poke
    cmds = ["set confirm off", f"target remote | vgdb --pid={vg.pid}",
            f"break *{insn:#x}", "continue", f"set {{int}}{addr:#x} = {value}",
            "delete", "continue"]
    args = ["gdb", "-batch", "-nx"]
    for c in cmds:
        args += ["-ex", c]
    return subprocess.Popen(args, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def cachegrind(kernel, geometry):
    """Data reads, writes, D1 read misses and D1 write misses of main in
    the canonical run, for one D1 geometry "SIZE,ASSOC,LINE"; and the
    command that was run."""
    with tempfile.TemporaryDirectory() as tmp, canonical(kernel) as link:
        out = os.path.join(tmp, "cg.out")
        argv = [valgrind(), "--tool=cachegrind", "--cache-sim=yes",
                f"--D1={geometry}", f"--cachegrind-out-file={out}", link]
        run = start(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                    text=True)
        _, err = run.communicate()
        if run.returncode or not os.path.exists(out):
            last = err.strip().splitlines()[-1:] or ["no output"]
            raise Failure(f"cachegrind: {last[0]}")
        with open(out) as f:
            return main_misses(f), ["env", "-i", "valgrind", *argv[1:4],
                                    link]


def main_misses(lines):
    """Dr, Dw, D1mr and D1mw of function main in a cachegrind output
    file."""
    names = ("Dr", "Dw", "D1mr", "D1mw")
    events, fn = [], None
    total = [0] * len(names)
    for line in lines:
        if line.startswith("events:"):
            events = line.split()[1:]
            at = [events.index(n) for n in names]
        elif line.startswith("fn="):
            fn = line[3:].strip()
        elif fn == "main" and line[:1].isdigit():
            cost = line.split()[1:]
            cost += ["0"] * (len(events) - len(cost))
            total = [t + int(cost[i]) for t, i in zip(total, at)]
    if not events:
        raise Failure("cachegrind: no events in its output")
    return tuple(total)
