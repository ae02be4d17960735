"""The C++ sealed store (through store-probe) on random sealed files and
folders, against what it is held to from outside: its checksums against
libxxhash's XXH3-128; its sealed files against their layout, made and read
here byte by byte, whole ones read back and damaged ones refused, each for
the damage done; and its cache folder against the rule the manual page
gives for LOADGRID_MODEL_CACHE, XDG_CACHE_HOME and HOME.

Environment: PROBE (the store-probe program).  SEED repeats a run; each run
draws a fresh one otherwise.
"""
import ctypes
import itertools
import os
import pwd
import random
import re
import subprocess
import tempfile
import unittest

PROBE = os.environ["PROBE"]
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)


class Hash128(ctypes.Structure):
    _fields_ = [("low64", ctypes.c_uint64), ("high64", ctypes.c_uint64)]


_xxh3 = ctypes.CDLL("libxxhash.so.0").XXH3_128bits
_xxh3.restype = Hash128
_xxh3.argtypes = [ctypes.c_char_p, ctypes.c_size_t]


def xxh3(data):
    """XXH3-128 of bytes, in its canonical order: high half first."""
    h = _xxh3(data, len(data))
    return f"{h.high64:016x}{h.low64:016x}"


def probe(*args, **kwargs):
    return subprocess.run([PROBE, *args], capture_output=True, text=True,
                          check=True, **kwargs).stdout


def sealed(body):
    """A sealed file's bytes: its text, which ends in a newline, then the
    line "checksum HEX", HEX the XXH3-128 of all before it."""
    return body + b"checksum " + xxh3(body).encode() + b"\n"


WORDS = ["loadgrid-model 4", "kernel loadgrid1", "reads 7ff0 7fe0", "",
         "é ü €", "𝄞", "checksum", "identity", " ", "run x"]


def random_note(rng):
    return rng.choice(["binary ", "run ", "valgrind valgrind-3.19.0 ",
                       "identity "]) + "".join(
        rng.choice("0123456789abcdefé") for _ in range(rng.choice(
            [1, 16, 36, 64])))


def random_body(rng, notes):
    """A first line (now and then a note, which does not count there), then
    lines with the notes (or some of them) somewhere near the end: never
    empty, as the store never seals an empty text."""
    lines = [rng.choice(WORDS) for _ in range(rng.randrange(0, 12))]
    for note in notes:
        if rng.random() < 0.9:
            lines.insert(len(lines) - rng.randrange(min(len(lines), 8) + 1),
                         note)
    first = rng.choice(notes) if notes and rng.random() < 0.1 else "kernel"
    return "".join(line + "\n" for line in [first, *lines]).encode()


def missing_note(body, notes):
    """The first of the notes that is not a whole line among the body's
    last 2 * len(notes) + 2 lines (its first line never counting), or
    None."""
    last = body.decode()[:-1].split("\n")[1:][-(2 * len(notes) + 2):]
    return next((note for note in notes if note not in last), None)


def bad_sum(data):
    """What a file that is not whole says: not text where it is not UTF-8,
    whatever else is wrong with it; else a checksum that does not match."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return "damaged not text"
    return "damaged its checksum does not match"


def damaged(rng, body):
    """A sealed file damaged at random, and what must be said of it."""
    data = sealed(body)
    how = rng.randrange(7)
    if how == 0:  # cut short
        data = data[:rng.randrange(len(data))]
    elif how == 1:  # a bit flipped
        k = rng.randrange(len(data))
        data = data[:k] + bytes([data[k] ^ (1 << rng.randrange(8))]) + \
            data[k + 1:]
    elif how == 2:  # bytes that are no UTF-8 put in
        k = rng.randrange(len(data) + 1)
        data = data[:k] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80",
                                      b"\xf4\x90\x80\x80", b"\xc0\xaf",
                                      b"\xe2\x82"]) + data[k:]
    elif how == 3:  # run on
        data += rng.choice([b"\n", b"x", b"checksum 0\n"])
    elif how == 4:
        data = data.rstrip(b"\n")
    elif how == 5:  # sealed with another text's checksum
        other = body + rng.choice([b"\n", b"x\n"])
        data = body + b"checksum " + xxh3(other).encode() + b"\n"
    else:  # only a checksum line, or nothing
        data = rng.choice([b"", b"\n", b"checksum \n",
                           b"checksum " + xxh3(b"x").encode() + b"\n"])
    return data, bad_sum(data)


class Sealed(unittest.TestCase):
    def test_checksums_are_libxxhash_s(self):
        rng = random.Random(SEED)
        with tempfile.TemporaryDirectory() as tmp:
            files, sums = [], []
            for k, size in enumerate([0, 1, 15, 16, 17, 128, 129, 240, 241,
                                      4096, (1 << 20) + 3,
                                      rng.randrange(1 << 16)]):
                data = rng.randbytes(size)
                files.append(os.path.join(tmp, str(k)))
                with open(files[-1], "wb") as f:
                    f.write(data)
                sums.append(xxh3(data))
            self.assertEqual(probe("checksum", *files).split(), sums)

    def test_whole_read_back_damaged_refused(self):
        """Sealed files made here, whole or damaged: a whole one's text is
        read back (the probe says its checksum), or refused for the first
        note asked for that is not among its last lines; a damaged one is
        refused as not text or for its checksum."""
        rng = random.Random(SEED)
        counted = {"whole": 0, "damaged": 0, "other run": 0}
        with tempfile.TemporaryDirectory() as tmp:
            cases, wanted = [], []
            for case in range(600):
                notes = [random_note(rng) for _ in range(rng.randrange(4))]
                body = random_body(rng, notes)
                if case % 3:
                    data, want = damaged(rng, body)
                else:
                    data, note = sealed(body), missing_note(body, notes)
                    want = "whole " + xxh3(body) if note is None else \
                        f"damaged it is not for this run (no '{note[:40]}')"
                path = os.path.join(tmp, str(case))
                with open(path, "wb") as f:
                    f.write(data)
                cases.append("\t".join([path, *notes]))
                wanted.append(want)
                counted["other run" if "not for this" in want else
                        want.split()[0]] += 1
            mine = probe("read", input="\n".join(cases) + "\n").splitlines()
        self.assertEqual(len(mine), len(wanted))
        for case, answer, want in zip(cases, mine, wanted):
            with self.subTest(case=case):
                self.assertEqual(answer, want)
        self.assertGreater(counted["whole"], 100, counted)
        self.assertGreater(counted["damaged"], 300, counted)
        self.assertGreater(counted["other run"], 10, counted)

    def test_sealed_as_laid_out(self):
        rng = random.Random(SEED + 1)
        with tempfile.TemporaryDirectory() as tmp:
            given, made = (os.path.join(tmp, n) for n in ("in", "out"))
            for case in range(40):
                notes = [random_note(rng) for _ in range(rng.randrange(4))]
                body = random_body(rng, notes) + "".join(
                    n + "\n" for n in notes).encode()
                with open(given, "wb") as f:
                    f.write(body)
                probe("seal", given, made)
                with open(made, "rb") as f:
                    self.assertEqual(f.read(), sealed(body))
                # And read back whole, for the notes it was sealed with.
                self.assertEqual(
                    probe("read", input="\t".join([made, *notes]) + "\n"),
                    f"whole {xxh3(body)}\n")
                # Written beside its place and renamed: nothing else left.
                self.assertEqual(sorted(os.listdir(tmp)), ["in", "out"])

    def test_run_keys(self):
        # A model's key is the checksum of the kernel's digest, the run's
        # definition and the model's format, one after the other: keys
        # already kept in users' caches name the same runs.
        rng = random.Random(SEED)
        for _ in range(20):
            binary = xxh3(rng.randbytes(8))
            definition = '{"path": "/tmp/x", "env": [["A", "é"]]}'[
                :rng.randrange(40)]
            form = rng.choice(["4", "model 4", "é"])
            self.assertEqual(
                probe("run-key", binary, definition, form).strip(),
                xxh3((binary + definition + form).encode()))


def folder(path):
    """A path with its slashes doubled or at the end taken out: they name
    the same folder."""
    path = re.sub("/+", "/", path)
    return path[:-1] if len(path) > 1 and path.endswith("/") else path


def expected_cache_dir(env):
    """The folder the manual page names: $LOADGRID_MODEL_CACHE, else
    $XDG_CACHE_HOME/loadgrid-model, else ~/.cache/loadgrid-model, an empty
    variable standing for none; ~ is $HOME, or the password file's home
    where HOME is unset."""
    if env.get("LOADGRID_MODEL_CACHE"):
        return env["LOADGRID_MODEL_CACHE"]
    if env.get("XDG_CACHE_HOME"):
        return env["XDG_CACHE_HOME"] + "/loadgrid-model"
    home = env["HOME"] if "HOME" in env else \
        pwd.getpwuid(os.getuid()).pw_dir
    return home + "/.cache/loadgrid-model"


class Folders(unittest.TestCase):
    def test_cache_dir_as_the_manual_gives_it(self):
        names = ["LOADGRID_MODEL_CACHE", "XDG_CACHE_HOME", "HOME"]
        values = [None, "", "/a", "/a//", "rel", "/"]
        for chosen in itertools.product(values, repeat=3):
            env = {k: v for k, v in os.environ.items() if k not in names}
            env.update({n: v for n, v in zip(names, chosen) if v is not None})
            with self.subTest(env=chosen):
                # The folder, not its spelling: slashes doubled or at the
                # end name the same one (store.unit-Folders holds the
                # spelling).
                self.assertEqual(folder(probe("cache-dir", env=env)[:-1]),
                                 folder(expected_cache_dir(env)))


if __name__ == "__main__":
    unittest.main()
