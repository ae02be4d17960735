"""The C++ runs and Valgrind layers, through valgrind-probe, on this
machine's kernels: run keys on random environments, which must name the
run's path, folder and environment exactly; kernel checks on good and bad
files; status words; Valgrind's version and identity; main's stack
pointer, lackey's records with and without gdb's poke, cachegrind's counts
and the narrowest line, each against Valgrind run here by the test itself
as loadgrid-model runs it; the gdb server's pipes left behind.

Environment: PROBE (the valgrind-probe program), KERNELS (the folder of
the kernels it was built with), MORE_KERNELS (optional: more such folders,
colon-separated).  SEED repeats a run; each run draws a fresh one
otherwise.  What needs Valgrind (or gdb) is skipped without it.
"""
import contextlib
import itertools
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import lackey

PROBE = os.path.abspath(os.environ["PROBE"])
FOLDERS = [os.environ["KERNELS"]] + [
    f for f in os.environ.get("MORE_KERNELS", "").split(":") if f]
NAMES = ["loadgrid1", "loadgrid2", "loadgrid3"]
CANONICAL = "/tmp/loadgrid-model.XXXXXXXX"
VALGRIND = shutil.which("valgrind")
# The last of a kernel's 1000 passes.
LAST_PASS = 999
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)
# Variables that would change how the probe starts.
KEPT_AWAY = (b"PYTHON", b"LD_", b"MALLOC", b"GLIBC", b"LC_", b"LANG",
             b"VALGRIND", b"GCONV")


def kernel(name, folder=None):
    return os.path.join(folder or FOLDERS[0], name)


def probe(*args, env=None, cwd=None):
    out = subprocess.run([PROBE, *args], capture_output=True, env=env,
                         cwd=cwd, check=True)
    return out.stdout.decode("utf-8", "surrogateescape").rstrip("\n")


def needs(*programs):
    """Skips a test when one of the programs is not found."""
    missing = [p for p in programs if not shutil.which(p)]
    return unittest.skipIf(missing, f"{', '.join(missing)}: not found")


def random_text(rng, n):
    pool = [bytes([rng.randrange(0x20, 0x7f)]) for _ in range(8)] + [
        bytes([rng.randrange(1, 0x20)]), bytes([rng.randrange(0x80, 0x100)]),
        "é".encode(), "€".encode(), "𝄞".encode(), b"\xed\xa0\x80",
        b"\xf0\x90\x80", b"\xe2\x82", b'"', b"\\", b"\x7f"]
    return b"".join(rng.choice(pool) for _ in range(n))


def random_name(rng):
    while True:
        name = random_text(rng, rng.randrange(1, 12)).replace(b"=", b"")
        if name and not name.startswith(KEPT_AWAY):
            return name


def random_environment(rng):
    """Entries NAME=VALUE as a process may receive them; some that cannot
    be passed on exactly."""
    env = {random_name(rng): random_text(rng, rng.randrange(0, 60))
           for _ in range(rng.randrange(0, 8))}
    entries = [k + b"=" + v for k, v in env.items()]
    if rng.random() < 0.5:
        entries.insert(rng.randrange(len(entries) + 1), b"_=/bin/sh")
    if rng.random() < 0.5:
        entries.append(b"PATH=" + os.environ["PATH"].encode())
    bad = rng.random()
    if bad < 0.1 and entries:
        entries.append(rng.choice(entries).split(b"=")[0] + b"=again")
    elif bad < 0.2:
        entries.append(random_name(rng) + random_text(rng, 50))
    elif bad < 0.25:
        entries.append(b"=" + random_text(rng, 5))
    return [e.replace(b"\0", b"") for e in entries]


@contextlib.contextmanager
def env_file(entries):
    with tempfile.NamedTemporaryFile() as f:
        f.write(b"".join(e + b"\0" for e in entries))
        f.flush()
        yield f.name


def here(entries, what, path, typed=b"", cwd=None):
    """The probe's answer for the run here, started with exactly these
    environment entries."""
    with env_file(entries) as f:
        return probe("exec", f, PROBE, what, path, *(
            ["here"] if what == "main-sp" else []), typed, cwd=cwd)


def valgrind_path(entries):
    """Where the run here says valgrind is: found in the PATH its
    environment holds, else in the C library's default path."""
    path = next((e[5:] for e in entries if e.startswith(b"PATH=")), None)
    found = shutil.which("valgrind", path=os.fsdecode(
        path if path is not None else os.confstr("CS_PATH").encode()))
    return os.fsencode(found or "valgrind")


def run_here(entries, kernel, typed, cwd):
    """What the key of the run here must name; or why that run is
    refused: an entry with no '=', no name or a name seen before."""
    names = set()
    for e in entries:
        name, eq, _ = e.partition(b"=")
        if not eq or not name or name in names:
            return ("refused: --here: this environment holds "
                    f"'{e[:40].decode(errors='replace')}', which cannot be "
                    "passed on exactly")
        names.add(name)
    env = [e.split(b"=", 1) for e in entries]
    env = [[n, valgrind_path(entries) if n == b"_" else v] for n, v in env]
    return {"path": os.fsdecode(typed or kernel),
            "exe": os.path.realpath(kernel),
            "cwd": os.fsdecode(os.path.realpath(cwd)),
            "env": [[n.decode("latin-1"), v.decode("latin-1")]
                    for n, v in env]}


def printable(key):
    return all(" " <= c <= "~" for c in key)


class Keys(unittest.TestCase):
    """A key is JSON that gives back the run's path, the executable's,
    the folder and the environment, byte for byte (paths as file names
    are decoded, environment bytes as Latin-1): the same run always has
    the same key, and runs a byte apart have different ones."""

    def test_canonical_runs(self):
        rng = random.Random(SEED)
        seen = {}
        for _ in range(150):
            env = {random_name(rng).replace(b"\0", b""):
                   random_text(rng, rng.randrange(40)).replace(b"\0", b"")
                   for _ in range(rng.randrange(6))}
            with env_file([b for kv in env.items() for b in kv]) as f:
                key = probe("key", kernel("loadgrid1"), f)
            self.assertTrue(printable(key), key)
            path = CANONICAL + "/loadgrid1"
            self.assertEqual(json.loads(key), {
                "path": path, "exe": path, "cwd": CANONICAL,
                "env": [[k.decode("latin-1"), v.decode("latin-1")]
                        for k, v in env.items()]}, env)
            seen.setdefault(key, set()).add(tuple(env.items()))
        self.assertTrue(all(len(runs) == 1 for runs in seen.values()))
        self.assertEqual(probe("key", kernel("loadgrid2")),
                         '{"path": "%s/loadgrid2", "exe": "%s/loadgrid2", '
                         '"cwd": "%s", "env": []}' % ((CANONICAL,) * 3))

    def test_runs_here(self):
        rng = random.Random(SEED + 1)
        refused = 0
        with tempfile.TemporaryDirectory() as top:
            for n in range(80):
                folder = os.path.join(top, str(n)).encode() + \
                    random_text(rng, 6).replace(b"/", b"")
                os.mkdir(folder)
                typed = random_text(rng, 10) if rng.random() < 0.5 else b""
                entries = random_environment(rng)
                mine = here(entries, "key-here", kernel("loadgrid2"), typed,
                            folder)
                want = run_here(entries, kernel("loadgrid2"), typed, folder)
                if isinstance(want, str):
                    self.assertEqual(mine, want, entries)
                    refused += 1
                else:
                    self.assertTrue(printable(mine), mine)
                    self.assertEqual(json.loads(mine), want, entries)
        # Both kinds compared.  About a quarter of the draws are refused,
        # so a tighter bound would fail now and then by chance alone.
        self.assertGreater(refused, 0)
        self.assertLess(refused, 80)


def kernel_check(path):
    """What the check must say of a file: why it cannot be read, then
    whether its name is a kernel's, whether it is an ELF file, and whether
    its program headers name an interpreter (a dynamic link); each header
    counted must lie within the first 64 KiB."""
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
    except IsADirectoryError:
        return f"refused: {path}: is a directory"
    except OSError as e:
        return f"refused: {path}: {e.strerror}"
    if os.path.basename(path) not in NAMES:
        return (f"refused: {path}: not a loadgrid kernel: its name is not "
                "loadgrid1, loadgrid2 or loadgrid3")
    if head[:4] != b"\x7fELF":
        return f"refused: {path}: not a loadgrid kernel: not an ELF executable"
    outside = f"refused: {path}: its program headers lie outside it"
    if len(head) < 0x3a:
        return outside
    phoff, = struct.unpack_from("<Q", head, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", head, 0x36)
    for k in range(phnum):
        at = phoff + k * phentsize
        if at + 4 > len(head):
            return outside
        if struct.unpack_from("<I", head, at)[0] == 3:  # PT_INTERP
            return (f"refused: {path}: dynamically linked: its run would "
                    "depend on the C library and the loader too; the "
                    "model answers for static kernels")
    return "ok"


class Kernels(unittest.TestCase):
    def test_checks(self):
        rng = random.Random(SEED + 2)
        with tempfile.TemporaryDirectory() as top:
            def place(name, data):
                folder = tempfile.mkdtemp(dir=top)
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
                return os.path.join(folder, name)
            with open(kernel("loadgrid1"), "rb") as f:
                good = f.read()
            os.mkdir(os.path.join(top, "loadgrid1"))
            source = os.path.join(top, "hello.cpp")
            with open(source, "w") as f:
                f.write("int main() { return 0; }\n")
            dynamic = os.path.join(tempfile.mkdtemp(dir=top), "loadgrid3")
            subprocess.run(["g++", "-o", dynamic, source], check=True)
            refused = "refused: {}: "
            kernel_name = ("not a loadgrid kernel: its name is not "
                           "loadgrid1, loadgrid2 or loadgrid3")
            not_elf = "not a loadgrid kernel: not an ELF executable"
            outside = "its program headers lie outside it"
            fixed = [(kernel(n, f), "ok") for f in FOLDERS for n in NAMES] + [
                (os.path.join(top, "loadgrid1"), "is a directory"),
                (os.path.join(top, "none"), "No such file or directory"),
                (os.path.join(top, "loadgrid2"), "No such file or directory"),
                (dynamic, "dynamically linked: its run would depend on the "
                 "C library and the loader too; the model answers for "
                 "static kernels"),
                (place("loadgrid4", good), kernel_name),
                (place("loadgrid2", b"#!/bin/sh\n"), not_elf),
                (place("loadgrid2", b""), not_elf),
                (place("loadgrid1", good[:60]), outside),
                (place("loadgrid3", good[:0x38]), outside)]
            paths = [p for p, _ in fixed]
            want = [w if w == "ok" else refused.format(p) + w
                    for p, w in fixed]
            # Headers with random bytes where the program headers are
            # placed, in files of a few lengths.
            for _ in range(150):
                data = bytearray(good[:rng.choice([64, 0x40 + 56 * 3, 1 << 16,
                                                   len(good)])])
                for _ in range(rng.randrange(1, 4)):
                    data[rng.randrange(0x20, 0x40)] = rng.randrange(256)
                paths.append(place(rng.choice(NAMES), bytes(data)))
                want.append(kernel_check(paths[-1]))
            self.assertEqual(want[:len(fixed)],
                             [kernel_check(p) for p in paths[:len(fixed)]])
            mine = probe("check", *paths).split("\n")
            self.assertEqual(mine, want)
            kinds = {a.split(": ")[-1][:20] for a in mine}
            self.assertGreaterEqual(len(kinds), 7, kinds)

    def test_words(self):
        codes = list(range(-70, 260))
        names = {s.value: s.name for s in signal.Signals}
        want = [f"exit status {c}" if c >= 0 else
                f"killed by {names[-c]}" if -c in names else
                f"killed by signal {-c}" for c in codes]
        self.assertEqual(probe("status", *map(str, codes)).split("\n"), want)
        self.assertEqual(probe("status", "0", "1", "-6", "-9", "-11", "-15",
                               "-29", "-34", "-35", "-64", "-65").split("\n"),
                         ["exit status 0", "exit status 1",
                          "killed by SIGABRT", "killed by SIGKILL",
                          "killed by SIGSEGV",
                          "killed by SIGTERM", "killed by SIGIO",
                          "killed by SIGRTMIN", "killed by signal 35",
                          "killed by SIGRTMAX", "killed by signal 65"])
        self.assertEqual(probe("spoken"), "loadgrid1, loadgrid2 or loadgrid3")


@contextlib.contextmanager
def canonical(kernel):
    """The canonical run's folder and the path it starts: a copy of the
    kernel in a fresh /tmp/loadgrid-model.XXXXXXXX."""
    with tempfile.TemporaryDirectory(prefix="loadgrid-model.",
                                     dir="/tmp") as folder:
        path = os.path.join(folder, os.path.basename(kernel))
        shutil.copyfile(kernel, path)
        os.chmod(path, 0o755)
        yield folder, path


def lackey_lines(path, cwd, env=None, stop=None, poke=None):
    """lackey's record lines of the program started by path from cwd with
    env (else an empty environment), up to the record stop says is
    enough.  With poke (insn, addr, value), gdb stops the run at insn
    through Valgrind's gdb server and stores the 32-bit value at addr."""
    return lackey.run([VALGRIND], [path], stop, poke, env=env or {},
                      cwd=cwd).lines


def stack_at_main(kernel, path, cwd, env=None):
    """The stack pointer as main starts: where the call to main stored
    its return address, the last store before main's first instruction."""
    start, _ = lackey.function_range(kernel)
    recs = [lackey.record(line) for line in lackey_lines(
        path, cwd, env, stop=lambda rec: rec[:2] == ("I", start))]
    entered = recs[-1][:2] == ("I", start)
    stores = [addr for kind, addr, size in recs if kind == "S" and size == 8]
    if not entered or not stores:
        raise AssertionError(f"{path}: main never starts in lackey's trace")
    return stores[-1]


def cachegrind_main(kernel, d1):
    """Dr, Dw, D1mr and D1mw of main in the canonical run, from the file
    cachegrind writes."""
    with canonical(kernel) as (folder, path), \
            tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run([VALGRIND, "--tool=cachegrind", "--cache-sim=yes",
                        f"--D1={d1}", f"--cachegrind-out-file={out}",
                        "--vgdb=no", path], env={}, cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            text = f.read()
    events, counts, fn = None, None, None
    for line in text.splitlines():
        if line.startswith("events:"):
            events = line.split()[1:]
            counts = dict.fromkeys(events, 0)
        elif line.startswith("fn="):
            fn = line[3:]
        elif line.startswith("fl="):
            fn = None
        elif fn == "main" and line[:1].isdigit():
            for event, n in zip(events, line.split()[1:]):
                counts[event] += int(n)
    return [counts[e] for e in ("Dr", "Dw", "D1mr", "D1mw")]


def identity(lib=None):
    """What Valgrind and this machine are: the launcher (and its binary,
    where it is a script) and the cachegrind and memcheck tools, each by
    path, device, inode, size and modification time in nanoseconds, in the
    tool folder VALGRIND_LIB names, else beside the launcher's; the
    processor as /proc/cpuinfo gives the first, without its clock rate;
    the kernel's release, version and machine."""
    launcher = os.path.realpath(VALGRIND)
    up = os.path.dirname(os.path.dirname(launcher))
    files = [launcher, launcher + ".bin"]
    for folder in [lib, up + "/libexec/valgrind", up + "/lib/valgrind"]:
        if folder and os.path.isdir(folder):
            files += sorted(os.path.join(folder, n) for n in os.listdir(folder)
                            if n.startswith(("cachegrind-", "memcheck-")))
            break
    lines = []
    for f in files:
        if os.path.exists(f):
            st = os.stat(f)
            lines.append(f"{f} {st.st_dev} {st.st_ino} {st.st_size} "
                         f"{st.st_mtime_ns}")
    with open("/proc/cpuinfo") as f:
        cpu = f.read().split("\n\n")[0]
    lines += [line for line in cpu.split("\n")
              if not line.startswith("cpu MHz")]
    u = os.uname()
    return "\n".join(lines + [f"{u.release} {u.version} {u.machine}"])


@needs("valgrind")
class Valgrind(unittest.TestCase):
    def test_version(self):
        said = subprocess.run([VALGRIND, "--version"], capture_output=True,
                              text=True, check=True).stdout.strip()
        self.assertEqual(probe("version"), said.split("\n")[0])

    def test_identity(self):
        env = {k: v for k, v in os.environ.items() if k != "VALGRIND_LIB"}
        self.assertEqual(probe("identity", env=env), identity())
        with tempfile.TemporaryDirectory() as lib:
            for name in ["cachegrind-amd64-linux", "memcheck-x86-linux",
                         "lackey-amd64-linux", "cachegrind"]:
                open(os.path.join(lib, name), "w").close()
            for folder in ["/nowhere", lib, os.path.dirname(PROBE)]:
                with self.subTest(folder):
                    self.assertEqual(probe("identity", env=dict(
                        env, VALGRIND_LIB=folder)), identity(folder))
            mine = probe("identity", env=dict(env, VALGRIND_LIB=lib))
        self.assertIn(f"\n{lib}/memcheck-x86-linux ", mine)
        self.assertNotIn("lackey", mine)
        self.assertNotEqual(mine, identity())

    def test_not_found(self):
        for what in ["version", "identity"]:
            self.assertEqual(probe(what, env={"PATH": "/nowhere"}),
                             "refused: valgrind: not found")

    def test_narrowest_line(self):
        least = [1, 3, 8, 16, 32, 64]
        mine = probe("narrowest", *map(str, least)).split("\n")
        for n, said in zip(least, mine):
            with self.subTest(n):
                want = self.cachegrind_on_true(n)
                if want.returncode == 0:
                    self.assertEqual(said, str(n))
                    continue
                words = " ".join(want.stderr.split())
                widest = re.search(r"larger than the maximum register size "
                                   r"\((\d+)\)", words)
                if widest:
                    self.assertEqual(said, widest[1])
                    self.assertGreater(int(said), n)
                    self.assertEqual(
                        self.cachegrind_on_true(int(said)).returncode, 0)
                else:
                    start = f"refused: cachegrind: lines of {n} bytes: "
                    self.assertTrue(said.startswith(start), said)
                    self.assertEqual(said[len(start):], words[-120:])
        self.assertEqual(mine[-1], "64")

    @staticmethod
    def cachegrind_on_true(line):
        caches = f"{line * 64},1,{line}"
        return subprocess.run(
            [VALGRIND, "--tool=cachegrind", "--cache-sim=yes",
             f"--I1={caches}", f"--D1={caches}", f"--LL={caches}",
             "--cachegrind-out-file=/dev/null", "--vgdb=no", "/bin/true"],
            env={}, cwd="/", capture_output=True, text=True)

    def test_main_sp(self):
        for folder in FOLDERS:
            for name in NAMES:
                with self.subTest(kernel(name, folder)), \
                        canonical(kernel(name, folder)) as (cwd, path):
                    self.assertEqual(
                        probe("main-sp", kernel(name, folder)),
                        str(stack_at_main(kernel(name, folder), path, cwd)))
        entries = [b"USER=someone", b"_=/bin/sh", b"A=" + b"x" * 100,
                   b"PATH=" + os.environ["PATH"].encode()]
        mine = here(entries, "main-sp", kernel("loadgrid3"), b"./loadgrid3",
                    FOLDERS[0])
        env = dict(e.split(b"=", 1) for e in entries)
        env[b"_"] = valgrind_path(entries)
        self.assertEqual(mine, str(stack_at_main(
            kernel("loadgrid3"), "./loadgrid3", FOLDERS[0], env)))

    def test_shifted(self):
        name = "loadgrid1"
        self.assertEqual(probe("shifted", kernel(name), "0"),
                         probe("key", kernel(name)))
        key = json.loads(probe("shifted", kernel(name), "4096"))
        path = f"{CANONICAL}/{name}"
        self.assertEqual((key["path"], key["exe"], key["cwd"]),
                         (path, path, CANONICAL))
        (var, value), = key["env"]
        self.assertEqual(var, "P")
        with canonical(kernel(name)) as (cwd, path):
            top = stack_at_main(kernel(name), path, cwd)
            moved = stack_at_main(kernel(name), path, cwd,
                                  {b"P": value.encode("latin-1")})
        self.assertEqual(top - moved, 4096)

    def test_lackey_records(self):
        want = 30000
        for folder in FOLDERS:
            for name in NAMES:
                with self.subTest(kernel(name, folder)):
                    with canonical(kernel(name, folder)) as (cwd, path):
                        seen = iter(range(1, want + 1))
                        lines = lackey_lines(
                            path, cwd, stop=lambda _: next(seen) >= want)
                    self.assertEqual(len(lines), want)
                    mine = probe("lackey", kernel(name, folder), str(want))
                    self.assertEqual(mine.split("\n"), [
                        f"{line}|{k} {a:x} {s}" for line, (k, a, s) in
                        zip(lines, map(lackey.record, lines))])

    def test_cachegrind(self):
        for name, geometry in [("loadgrid1", "32768,8,64"),
                               ("loadgrid3", "4096,2,32"),
                               ("loadgrid2", "65536,16,64")]:
            with self.subTest(name):
                self.assertEqual(
                    probe("cachegrind", kernel(name), geometry),
                    " ".join(map(str, cachegrind_main(kernel(name),
                                                      geometry))))

    def test_pipes_of_a_valgrind_gone_removed(self):
        dead, live = "99999999", str(os.getpid())  # beyond any pid_max
        before = f"vgdb-pipe-a-{dead}-by-b"
        gone = [f"vgdb-pipe-from-vgdb-to-{dead}-by-u-on-h",
                f"vgdb-pipe-to-vgdb-from-000{dead}-by-u-on-h"]
        kept = [f"vgdb-pipe-shared-mem-vgdb-{live}-by-u-on-h",
                f"vgdb-pipe-to-vgdb-from-000{live}-by-u-on-h",
                "vgdb-pipe-nothing", f"vgdb-pipe-x{dead}-by",
                f"other-{dead}-by-u"]
        with tempfile.TemporaryDirectory() as tmp:
            open(os.path.join(tmp, before), "w").close()
            p = subprocess.Popen([PROBE, "pipes", tmp], text=True,
                                 stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
            self.assertEqual(p.stdout.readline(), "ready\n")
            for n in gone + kept:
                open(os.path.join(tmp, n), "w").close()
            out, _ = p.communicate("go\n")
            self.assertEqual(out, "done\n")
            self.assertEqual(sorted(os.listdir(tmp)), sorted([before] + kept))


@needs("valgrind", "gdb", "vgdb", "objdump")
class Poke(unittest.TestCase):
    def test_last_pass_as_learn_runs_it(self):
        # The pass counter set to the last pass as the loop first tests
        # it: one pass, then the exit, as lackey under gdb gives it.  The
        # test is main's compare of its counter with 999 or 1000, as
        # objdump reads main.
        name = "loadgrid2"
        code = subprocess.run(
            ["objdump", "-d", "--no-show-raw-insn", kernel(name)],
            capture_output=True, text=True, check=True).stdout
        main = code[code.index("<main>:"):].split("\n\n")[0]
        tests = re.findall(r"^\s*([0-9a-f]+):\s+cmpl\s+\$0x3e[78],"
                           r"(-0x[0-9a-f]+)\(%rbp\)", main, re.M)
        self.assertEqual(len(tests), 1, "the pass loop's test not found")
        insn, offset = int(tests[0][0], 16), int(tests[0][1], 16)
        with canonical(kernel(name)) as (cwd, path):
            # main's %rbp points at the %rbp it pushes first, 8 bytes
            # below the stack pointer it starts with.
            counter = stack_at_main(kernel(name), path, cwd) - 8 + offset
            # All 1000 passes would be some 40 million records.
            most = 2_000_000
            seen = itertools.count(1)
            lines = lackey_lines(path, cwd, poke=(insn, counter, LAST_PASS),
                           stop=lambda _: next(seen) > most)
        self.assertLessEqual(len(lines), most, "the counter was not set")
        mine = probe("poke", kernel(name), hex(insn), hex(counter),
                     str(LAST_PASS))
        self.assertEqual(mine.split("\n"), [
            "{} {:x} {}".format(*lackey.record(line)) for line in lines])

    def test_no_folder_left(self):
        # Other programs on this machine make and remove such folders too:
        # the probe's own are known by a copy of a kernel that ends in
        # bytes of this test's, or by staying empty.
        tag = os.urandom(16)
        with tempfile.TemporaryDirectory() as tmp:
            tagged = os.path.join(tmp, "loadgrid1")
            with open(kernel("loadgrid1"), "rb") as f, \
                    open(tagged, "wb") as out:
                out.write(f.read() + tag)
            before = scratch_folders()
            self.assertTrue(probe("main-sp", tagged).isdigit())
            self.assertEqual(len(probe("lackey", tagged, "10").split("\n")),
                             10)
        deadline = time.monotonic() + 10
        while True:
            left = [f for f in scratch_folders() - before
                    if holds(f, tag) in (True, None)]
            if not left or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(left, [])


def scratch_folders():
    return {os.path.join("/tmp", n) for n in os.listdir("/tmp")
            if n.startswith("loadgrid-model.")}


def holds(folder, tag):
    """Whether a file in the folder ends with tag; None if the folder is
    there but empty."""
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                f.seek(-len(tag), os.SEEK_END)
                if f.read() == tag:
                    return True
        except OSError:
            pass
    return None if not names else False

if __name__ == "__main__":
    unittest.main()
