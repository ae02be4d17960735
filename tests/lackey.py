"""Lackey's records of a run, read as Valgrind writes them, for tests that
hold what they see against another account of the same run.

A record is (kind, address, size), kind one of I, L, S, M.  Valgrind's gdb
server makes its pipes in a temporary folder of the call's own, so that a
run stopped early leaves nothing behind.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile

OPTIONS = ["--tool=lackey", "--trace-mem=yes", "--log-fd=1"]


def record(line):
    """A record of lackey's text, or None for any other line."""
    m = re.match(r"^ ?([ILSM]) +([0-9a-f]+),([0-9]+)$", line.rstrip("\n"))
    return m and (m[1], int(m[2], 16), int(m[3]))


def din(records):
    """Records as din lines, fetches included: a modify is a read, then a
    write."""
    label = {"I": ("2",), "L": ("0",), "S": ("1",), "M": ("0", "1")}
    return [f"{c} {addr:x}" for kind, addr, _ in records for c in label[kind]]


def function_range(path, name="main"):
    """Start and end of a function of an executable, from its symbol table
    as nm prints it."""
    out = subprocess.run(["nm", "-S", "--defined-only", path],
                         capture_output=True, text=True)
    if out.returncode:
        raise AssertionError(f"nm {path}: {out.stderr.strip()}")
    for line in out.stdout.splitlines():
        words = line.split()
        if len(words) == 4 and words[2] in "Tt" and words[3] == name:
            start = int(words[0], 16)
            return start, start + int(words[1], 16)
    raise AssertionError(f"{path}: no function {name} in its symbol table")


class Watch:
    """Follows records one by one: the instruction that made each, whether
    it lies in [lo, hi), and how many array reads have gone by.  Array reads
    are loads of that range whose address moves: an instruction's first
    read counts once a second one shows that it moves."""

    def __init__(self, lo, hi):
        self.lo, self.hi = lo, hi
        self.insn, self.inside, self.reads = 0, False, 0
        self.first, self.moving = {}, set()

    def see(self, rec):
        """Follows rec; the array reads seen so far."""
        kind, addr, _ = rec
        if kind == "I":
            self.insn, self.inside = addr, self.lo <= addr < self.hi
        elif kind == "L" and self.inside:
            if self.insn in self.moving:
                self.reads += 1
            elif self.first.setdefault(self.insn, addr) != addr:
                self.moving.add(self.insn)
                self.reads += 2
        return self.reads


class Traced:
    """A run's records, their lines as lackey wrote them, and whether the
    run went to its end (else a stop ended it)."""

    def __init__(self, records, lines, ended):
        self.records, self.lines, self.ended = records, lines, ended


def run(before, after=(), stop=None, poke=None, env=None, cwd=None,
        ender=signal.SIGKILL):
    """The run of `before + lackey's options + after`: before ends with
    Valgrind's path, after names the program and its arguments, if the
    command does not add them itself.

    stop, if given, sees each record and returns true to end the run there,
    by the signal ender.  poke = (instruction, address, value) stops the
    run at that instruction through gdb, which stores the 32-bit value at
    address before the run goes on; gdb then gets env, the run's own.  A
    run that goes to its end must end with status 0, and gdb must have
    stored the value."""
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "vgdb-pipe")
        opts = OPTIONS + [f"--vgdb-prefix={prefix}"]
        if poke:
            opts.append("--vgdb-error=0")
        p = subprocess.Popen([*before, *opts, *after], env=env, cwd=cwd,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, errors="surrogateescape")
        gdb, out, lines, ended = None, [], [], True
        try:
            if poke:
                gdb = _poke(p, prefix, poke, env, tmp)
            for line in p.stdout:
                rec = record(line)
                if rec:
                    out.append(rec)
                    lines.append(line.rstrip("\n"))
                    if stop and stop(rec):
                        ended = False
                        p.send_signal(ender)
                        break
            said = p.communicate()[1]
        finally:
            if p.poll() is None:
                p.kill()
            p.wait()
            if gdb:
                try:
                    gdb.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    gdb.kill()
                    gdb.wait()
        if ended and p.returncode:
            raise AssertionError(f"lackey: status {p.returncode}: {said}")
        if gdb and "poked" not in open(os.path.join(tmp, "gdb.out")).read():
            raise AssertionError("gdb did not set the value")
        return Traced(out, lines, ended)


def records(before, after=(), stop=None, poke=None, env=None, cwd=None,
            ender=signal.SIGKILL, text=None):
    """run()'s records, where a stop given must have ended the run and
    something was traced; text, a list, gets their lines."""
    traced = run(before, after, stop, poke, env, cwd, ender)
    if stop and traced.ended:
        raise AssertionError("lackey: the run ended before enough was seen")
    if not traced.records:
        raise AssertionError("lackey traced nothing")
    if text is not None:
        text.extend(traced.lines)
    return traced.records


def _poke(p, prefix, poke, env, tmp):
    """gdb, attached to the run that waits for it, stopping at the
    instruction to store the value; its output goes to tmp/gdb.out."""
    for line in p.stdout:
        pid = re.search(r"target remote \| .*--pid=([0-9]+)", line)
        if pid:
            break
    else:
        raise AssertionError("Valgrind's gdb server did not start")
    insn, addr, value = poke
    vgdb = shutil.which("vgdb") or "vgdb"
    commands = ["set confirm off",
                f"target remote | {vgdb} --vgdb-prefix={prefix} "
                f"--pid={pid[1]}",
                f"break *{insn:#x}", "continue",
                f"set {{int}}{addr:#x} = {value}", "echo poked\\n",
                "delete", "continue"]
    argv = [shutil.which("gdb") or "gdb", "-batch", "-nx"]
    for c in commands:
        argv += ["-ex", c]
    with open(os.path.join(tmp, "gdb.out"), "w") as log:
        return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT)
