"""The C++ runs and Valgrind layers against the Python package's, on this
machine's kernels: run keys on random environments, kernel checks on good
and bad files, Valgrind's identity, main's stack pointer, lackey's records
with and without gdb's poke, cachegrind's counts.

Environment: PROBE (the valgrind-probe program), KERNELS (the folder of
the kernels it was built with), MORE_KERNELS (optional: more such folders,
colon-separated), PYTHONPATH naming the source folder.  SEED repeats a run;
each run draws a fresh one otherwise.
"""
import contextlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

from loadgrid import learn, messages, runs, valgrind
from loadgrid.kernels import NAMES
from loadgrid.messages import Failure

PROBE = os.path.abspath(os.environ["PROBE"])
FOLDERS = [os.environ["KERNELS"]] + [
    f for f in os.environ.get("MORE_KERNELS", "").split(":") if f]
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(learn.__file__)))
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)
# Variables that would change how the probe or Python start.
KEPT_AWAY = (b"PYTHON", b"LD_", b"MALLOC", b"GLIBC", b"LC_", b"LANG",
             b"VALGRIND", b"GCONV")


def kernel(name, folder=None):
    return os.path.join(folder or FOLDERS[0], name)


def probe(*args, env=None, cwd=None):
    out = subprocess.run([PROBE, *args], capture_output=True, env=env,
                         cwd=cwd, check=True)
    return out.stdout.decode("utf-8", "surrogateescape").rstrip("\n")


def answer(call):
    try:
        return str(call())
    except Failure as e:
        return f"refused: {e}"


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


HERE_KEY = """
import os, sys
sys.path.insert(0, sys.argv[1])
from loadgrid import runs, valgrind
from loadgrid.messages import Failure
try:
    run = runs.Run(sys.argv[3], here=True, typed=sys.argv[4] or None)
    out = str(valgrind.main_sp(run)) if sys.argv[2] == "main-sp" else run.key()
except Failure as e:
    out = f"refused: {e}"
sys.stdout.buffer.write(out.encode("utf-8", "surrogateescape") + b"\\n")
"""


def here_both(entries, what, path, typed=b"", cwd=None):
    """The C++ and the Python answer for the run here, each started with
    exactly these environment entries."""
    with env_file(entries) as f:
        mine = probe("exec", f, PROBE, what, path, *(
            ["here"] if what == "main-sp" else []), typed, cwd=cwd)
        theirs = probe("exec", f, sys.executable, "-c", HERE_KEY, SOURCE,
                       what, path, typed, cwd=cwd)
    return mine, theirs


class Keys(unittest.TestCase):
    def test_canonical_runs(self):
        rng = random.Random(SEED)
        for _ in range(150):
            env = {random_name(rng).replace(b"\0", b""):
                   random_text(rng, rng.randrange(40)).replace(b"\0", b"")
                   for _ in range(rng.randrange(6))}
            with env_file([b for kv in env.items() for b in kv]) as f:
                mine = probe("key", kernel("loadgrid1"), f)
            run = runs.Run(kernel("loadgrid1"), env={
                os.fsdecode(k): os.fsdecode(v) for k, v in env.items()})
            self.assertEqual(mine, run.key(), env)

    def test_runs_here(self):
        rng = random.Random(SEED + 1)
        refused = 0
        with tempfile.TemporaryDirectory() as top:
            for n in range(80):
                folder = os.path.join(top, str(n)).encode() + \
                    random_text(rng, 6).replace(b"/", b"")
                os.mkdir(folder)
                typed = random_text(rng, 10) if rng.random() < 0.5 else b""
                mine, theirs = here_both(random_environment(rng), "key-here",
                                         kernel("loadgrid2"), typed, folder)
                self.assertEqual(mine, theirs)
                refused += mine.startswith("refused")
        self.assertGreater(refused, 5)
        self.assertLess(refused, 60)


def checked(path):
    """The package's check of a kernel; a header whose offset Python cannot
    even index with is outside the bytes too."""
    try:
        return answer(lambda: runs.kernel_digest(path) and "ok")
    except OverflowError:
        return f"refused: {path}: its program headers lie outside it"


class Kernels(unittest.TestCase):
    def test_checks_as_the_package(self):
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
            paths = [kernel(n, f) for f in FOLDERS for n in NAMES] + [
                os.path.join(top, "loadgrid1"), os.path.join(top, "none"),
                os.path.join(top, "loadgrid2"), dynamic,
                place("loadgrid4", good), place("loadgrid2", b"#!/bin/sh\n"),
                place("loadgrid2", b""), place("loadgrid1", good[:60]),
                place("loadgrid3", good[:0x38])]
            for _ in range(150):
                data = bytearray(good[:rng.choice([64, 0x40 + 56 * 3, 1 << 16,
                                                   len(good)])])
                for _ in range(rng.randrange(1, 4)):
                    data[rng.randrange(0x20, 0x40)] = rng.randrange(256)
                paths.append(place(rng.choice(NAMES), bytes(data)))
            mine = probe("check", *paths).split("\n")
            theirs = [checked(p) for p in paths]
            self.assertEqual(mine, theirs)
            kinds = {a.split(": ")[-1][:20] for a in mine}
            self.assertGreaterEqual(len(kinds), 7, kinds)

    def test_words(self):
        codes = [str(c) for c in range(-70, 260)]
        self.assertEqual(probe("status", *codes).split("\n"),
                         [messages.status(int(c)) for c in codes])
        from loadgrid.kernels import spoken
        self.assertEqual(probe("spoken"), spoken())


class Valgrind(unittest.TestCase):
    def test_identity_and_version(self):
        self.assertEqual(probe("identity"), valgrind.identity())
        self.assertEqual(probe("version"), valgrind.version()[0])
        for lib in ["/nowhere", os.path.dirname(PROBE)]:
            env = dict(os.environ, VALGRIND_LIB=lib)
            with unittest.mock.patch.dict(os.environ, VALGRIND_LIB=lib):
                self.assertEqual(probe("identity", env=env),
                                 valgrind.identity())

    def test_not_found(self):
        with unittest.mock.patch.dict(os.environ, PATH="/nowhere"):
            theirs = answer(valgrind.version)
        self.assertEqual(probe("version", env={"PATH": "/nowhere"}), theirs)
        self.assertEqual(theirs, "refused: valgrind: not found")

    def test_narrowest_line(self):
        least = [1, 3, 8, 16, 32, 64]
        self.assertEqual(probe("narrowest", *map(str, least)).split("\n"),
                         [answer(lambda: valgrind.narrowest_line(n))
                          for n in least])

    def test_main_sp(self):
        for folder in FOLDERS:
            for name in NAMES:
                self.assertEqual(
                    probe("main-sp", kernel(name, folder)),
                    str(valgrind.main_sp(runs.Run(kernel(name, folder)))))
        entries = [b"USER=someone", b"_=/bin/sh", b"A=" + b"x" * 100,
                   b"PATH=" + os.environ["PATH"].encode()]
        mine, theirs = here_both(entries, "main-sp", kernel("loadgrid3"),
                                 b"./loadgrid3", FOLDERS[0])
        self.assertEqual(mine, theirs)
        self.assertTrue(mine.isdigit(), mine)

    def test_shifted(self):
        self.assertEqual(probe("shifted", kernel("loadgrid1"), "4096"),
                         valgrind.shifted(kernel("loadgrid1"), 4096).key())

    def test_lackey_records(self):
        want = 30000
        for folder in FOLDERS:
            for name in NAMES:
                text = []
                recs = valgrind.lackey(runs.Run(kernel(name, folder)),
                                       stop=lambda _, n=iter(range(1, want + 1)):
                                       next(n) >= want, text=text)
                theirs = [f"{t}|{k} {a:x} {s}"
                          for t, (k, a, s) in zip(text, recs)]
                mine = probe("lackey", kernel(name, folder), str(want))
                self.assertEqual(mine.split("\n"), theirs)
                self.assertEqual(len(theirs), want)

    def test_cachegrind(self):
        for name, geometry in [("loadgrid1", "32768,8,64"),
                               ("loadgrid3", "4096,2,32"),
                               ("loadgrid2", "65536,16,64")]:
            theirs = valgrind.cachegrind(runs.Run(kernel(name)), geometry)
            self.assertEqual(probe("cachegrind", kernel(name), geometry),
                             " ".join(map(str, theirs)))

    def test_pipes(self):
        dead, live = "99999999", str(os.getpid())
        names = [f"vgdb-pipe-from-vgdb-to-{dead}-by-u-on-h",
                 f"vgdb-pipe-shared-mem-vgdb-{live}-by-u-on-h",
                 f"vgdb-pipe-to-vgdb-from-000{live}-by-u-on-h",
                 "vgdb-pipe-nothing", f"vgdb-pipe-x{dead}-by"]
        left = []
        for mine in (True, False):
            with tempfile.TemporaryDirectory() as tmp:
                old = os.path.join(tmp, f"vgdb-pipe-a-{dead}-by-b")
                open(old, "w").close()
                if mine:
                    p = subprocess.Popen([PROBE, "pipes", tmp], text=True,
                                         stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE)
                    self.assertEqual(p.stdout.readline(), "ready\n")
                else:
                    pipes = valgrind.Pipes({b"TMPDIR": tmp.encode()})
                for n in names:
                    open(os.path.join(tmp, n), "w").close()
                if mine:
                    out, _ = p.communicate("go\n")
                    self.assertEqual(out, "done\n")
                else:
                    pipes.remove_left()
                left.append(sorted(os.listdir(tmp)))
        self.assertEqual(left[0], left[1])
        self.assertNotIn(names[0], left[0])
        self.assertIn(names[1], left[0])


class Poke(unittest.TestCase):
    def test_last_pass_as_learn_runs_it(self):
        run = runs.Run(kernel("loadgrid2"))
        text, _, last = learn.learn(run)
        counter = next(line for line in text.splitlines()
                       if line.startswith("counter ")).split()
        mine = probe("poke", kernel("loadgrid2"), "0x" + counter[2],
                     "0x" + counter[1], str(learn.PASSES - 1))
        self.assertEqual(mine.split("\n"),
                         [f"{k} {a:x} {s}" for k, a, s in last])

    def test_no_folder_left(self):
        before = {n for n in os.listdir("/tmp")
                  if n.startswith("loadgrid-model.")}
        probe("main-sp", kernel("loadgrid1"))
        probe("lackey", kernel("loadgrid1"), "10")
        after = {n for n in os.listdir("/tmp")
                 if n.startswith("loadgrid-model.")}
        self.assertLessEqual(after, before)


if __name__ == "__main__":
    unittest.main()
