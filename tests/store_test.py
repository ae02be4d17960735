"""The C++ sealed store against the package's store.py, on random sealed
files whole and damaged and on random environments.  The C++ store seals
with XXH3-128 where store.py seals with SHA-256, so store.py's sha is
replaced here by XXH3-128 from libxxhash, itself held to the C++ checksums:
what is compared is everything else.

Environment: PROBE (the store-probe program), PYTHONPATH naming the source
folder.  SEED repeats a run; each run draws a fresh one otherwise.
"""
import ctypes
import itertools
import os
import random
import subprocess
import tempfile
import unittest

from loadgrid import learn, store

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


store.sha = lambda text: xxh3(text.encode())


def probe(*args, **kwargs):
    return subprocess.run([PROBE, *args], capture_output=True, text=True,
                          check=True, **kwargs).stdout


WORDS = ["loadgrid-model 4", "kernel loadgrid1", "reads 7ff0 7fe0", "",
         "é ü €", "𝄞", "checksum", "identity", " ", "run x"]


def random_note(rng):
    return rng.choice(["binary ", "run ", "valgrind valgrind-3.19.0 ",
                       "identity "]) + "".join(
        rng.choice("0123456789abcdefé") for _ in range(rng.choice(
            [1, 16, 36, 64])))


def random_text(rng, notes):
    """Lines, with the notes (or some of them) somewhere near the end."""
    lines = [rng.choice(WORDS) for _ in range(rng.randrange(0, 12))]
    for note in notes:
        if rng.random() < 0.9:
            lines.insert(len(lines) - rng.randrange(min(len(lines), 8) + 1),
                         note)
    return "".join(line + "\n" for line in lines)


def damaged(rng, data):
    how = rng.randrange(10)
    if how == 0 and data:
        return data[:rng.randrange(len(data))]
    if how == 1 and data:
        k = rng.randrange(len(data))
        return data[:k] + bytes([data[k] ^ (1 << rng.randrange(8))]) + \
            data[k + 1:]
    if how == 2:
        k = rng.randrange(len(data) + 1)
        return data[:k] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80",
                                      b"\xf4\x90\x80\x80"]) + data[k:]
    if how == 3:
        return data + rng.choice([b"\n", b"x", b"checksum 0\n"])
    if how == 4:
        return data.rstrip(b"\n")
    if how == 5:  # no line before the checksum's: its body is sealed as "\n"
        empty, newline = xxh3(b""), xxh3(b"\n")
        return rng.choice([f"checksum {empty}\n", f"checksum {newline}\n",
                           f"checksum {empty}"]).encode()
    return data


def python_verdict(path, notes):
    try:
        text = store.read_sealed(path, notes)
    except store.Damaged as e:
        return f"damaged {e}"
    head = text[:-1]
    return "whole " + xxh3(text[:head.rfind("\n") + 1].encode())


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

    def test_read_as_the_package_reads(self):
        rng = random.Random(SEED)
        counted = {"whole": 0, "damaged": 0}
        with tempfile.TemporaryDirectory() as tmp:
            cases, wanted = [], []
            for case in range(600):
                notes = [random_note(rng) for _ in range(rng.randrange(4))]
                data = store.sealed(random_text(rng, notes)).encode()
                if case % 3:
                    data = damaged(rng, data)
                path = os.path.join(tmp, str(case))
                with open(path, "wb") as f:
                    f.write(data)
                cases.append("\t".join([path, *notes]))
                wanted.append(python_verdict(path, notes))
                counted[wanted[-1].split()[0]] += 1
            mine = probe("read", input="\n".join(cases) + "\n").splitlines()
        self.assertEqual(len(mine), len(wanted))
        for case, answer, want in zip(cases, mine, wanted):
            with self.subTest(case=case):
                self.assertEqual(answer, want)
        self.assertGreater(counted["whole"], 150)
        self.assertGreater(counted["damaged"], 150)

    def test_sealed_by_cxx_read_by_the_package(self):
        rng = random.Random(SEED + 1)
        with tempfile.TemporaryDirectory() as tmp:
            for case in range(40):
                notes = [random_note(rng) for _ in range(rng.randrange(4))]
                # Never empty: an empty text sealed is not read back, by
                # either store.
                text = "kernel\n" + random_text(rng, notes) + "".join(
                    n + "\n" for n in notes)
                given, made = (os.path.join(tmp, n) for n in ("in", "out"))
                with open(given, "w", encoding="utf-8") as f:
                    f.write(text)
                probe("seal", given, made)
                self.assertEqual(store.read_sealed(made, notes),
                                 store.sealed(text))
            self.assertEqual(sorted(os.listdir(tmp)), ["in", "out"])

    def test_run_keys(self):
        rng = random.Random(SEED)

        class Run:
            def __init__(self, key):
                self.text = key

            def key(self):
                return self.text

        for _ in range(20):
            binary = xxh3(rng.randbytes(8))
            definition = '{"path": "/tmp/x", "env": [["A", "é"]]}'[
                :rng.randrange(40)]
            self.assertEqual(
                probe("run-key", binary, definition, learn.FORMAT).strip(),
                store.run_key(Run(definition), binary))


class Folders(unittest.TestCase):
    def test_cache_dir_as_the_package_finds_it(self):
        names = ["LOADGRID_MODEL_CACHE", "XDG_CACHE_HOME", "HOME"]
        values = [None, "", "/a", "/a//", "rel", "/"]
        saved = {name: os.environ.get(name) for name in names}
        try:
            for chosen in itertools.product(values, repeat=3):
                env = dict(os.environ)
                for name, value in zip(names, chosen):
                    if value is None:
                        env.pop(name, None)
                        os.environ.pop(name, None)
                    else:
                        env[name] = os.environ[name] = value
                with self.subTest(env=chosen):
                    self.assertEqual(probe("cache-dir", env=env).strip(),
                                     store.cache_dir())
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value


if __name__ == "__main__":
    unittest.main()
