"""loadgrid-model against Valgrind: its traces against lackey's, its
misses against an independent count and against cachegrind, and its
answers to bad input.

Environment: MODEL (the loadgrid-model to test), BINDIR (the kernels),
SOURCE_DIR, CXX and LINK (to build broken kernels), LOADGRID_MODEL_CACHE.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["SOURCE_DIR"], "model"))
import vgrun  # noqa: E402

MODEL = os.environ["MODEL"]
BINDIR = os.environ["BINDIR"]
KERNELS = [os.path.join(BINDIR, k) for k in vgrun.KERNELS]
SWEEP = ["8k,1,32", "32k,8,64", "48k,12,64", "64k,2,64", "1m,16,64",
         "24k,3,64", "40k,5,128"]


def model(*args, **kw):
    return subprocess.run([MODEL, *args], capture_output=True, text=True,
                          **kw)


def din(recs):
    """Lackey's records as din lines, fetches included."""
    label = {"I": ("2",), "L": ("0",), "S": ("1",), "M": ("0", "1")}
    return [f"{c} {addr:x}" for kind, addr, _ in recs for c in label[kind]]


def learned(kernel):
    """The model file of a kernel, learning it first if need be."""
    model("misses", kernel, "--passes", "1", "--cache", "32k,8,64")
    folder = os.environ["LOADGRID_MODEL_CACHE"]
    name = os.path.basename(kernel)
    return max((os.path.join(folder, f) for f in os.listdir(folder)
                if f.startswith(name + "-") and f.endswith(".model")),
               key=os.path.getmtime)


class Trace(unittest.TestCase):
    def test_start_equals_plain_lackey_run(self):
        for kernel in KERNELS:
            with self.subTest(kernel=os.path.basename(kernel)):
                lo, hi = vgrun.symbol(kernel, "main")
                watch = vgrun.Watch(lo, hi)

                def enough(rec):
                    watch.see(rec)
                    return watch.reads >= 1.5 * 600 * 20
                seen = din(vgrun.lackey(vgrun.Run(kernel), stop=enough))
                out = model("trace", kernel, "--passes", "2", "--fetches")
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout.splitlines()[:len(seen)], seen)

    def test_whole_short_run_equals_lackey(self):
        # The pass counter moved to 998 by gdb: two passes, then the exit.
        for kernel in KERNELS:
            with self.subTest(kernel=os.path.basename(kernel)):
                with open(learned(kernel)) as f:
                    addr, insn = re.search(r"^counter (\w+) (\w+)$",
                                           f.read(), re.M).groups()
                seen = din(vgrun.lackey(
                    vgrun.Run(kernel),
                    poke=(int(insn, 16), int(addr, 16), 998)))
                out = model("trace", kernel, "--passes", "2", "--fetches")
                self.assertEqual(out.stdout.splitlines(), seen)

    def test_low32_and_shift(self):
        kernel = KERNELS[1]
        full = model("trace", kernel, "--passes", "1").stdout.split()
        low = model("trace", kernel, "--passes", "1", "--low32").stdout
        self.assertEqual(low.split()[1::2], [
            f"{int(a, 16) & 0xffffffff:x}" for a in full[1::2]])
        moved = model("trace", kernel, "--passes", "1", "--stack-shift",
                      "-32").stdout.split()
        diffs = {int(b, 16) - int(a, 16)
                 for a, b in zip(full[1::2], moved[1::2])}
        self.assertEqual(diffs, {0, 32})


def lru_misses(lines, size, assoc, line):
    """Read and write misses of a din trace: one line per record."""
    sets = size // line // assoc
    cache = [[] for _ in range(sets)]
    misses = [0, 0]
    for text in lines:
        label, addr = text.split()
        n = int(addr, 16) // line
        ways = cache[n % sets]
        if n in ways:
            ways.remove(n)
        else:
            misses[int(label)] += 1
            if len(ways) == assoc:
                ways.pop()
        ways.insert(0, n)
    return misses


class Misses(unittest.TestCase):
    def test_trace_figures_equal_independent_count(self):
        geometries = [(8192, 1, 32), (16384, 2, 64), (32768, 8, 64)]
        for kernel in KERNELS:
            trace = model("trace", kernel, "--passes", "2").stdout
            out = model("misses", kernel, "--passes", "2", "--cache",
                        *(",".join(map(str, g)) for g in geometries))
            head, *rows = [r.split() for r in out.stdout.splitlines()]
            self.assertEqual(head[0], "cache")
            for g, row in zip(geometries, rows, strict=True):
                with self.subTest(kernel=os.path.basename(kernel), cache=g):
                    want = lru_misses(trace.splitlines(), *g)
                    self.assertEqual(list(map(int, row[3:])), want)


class Check(unittest.TestCase):
    def check(self, kernel, *args):
        return model("check", kernel, "--cache", *SWEEP, *args)

    def test_equal_to_cachegrind(self):
        kernel = os.path.join(BINDIR, os.environ["KERNEL"])
        out = self.check(kernel)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertEqual(out.stdout.count("  equal\n"), len(SWEEP))
        self.assertIn(f"\n{len(SWEEP)} of {len(SWEEP)} caches equal\n", out.stdout)

    def test_stack_shift_of_16_differs(self):
        out = self.check(KERNELS[0], "--stack-shift", "16")
        self.assertEqual(out.returncode, 1, out.stdout + out.stderr)
        self.assertIn("DIFFERENT", out.stdout)

    def test_broken_kernels_fail(self):
        source = os.path.join(os.environ["SOURCE_DIR"], "kernels")
        broken = {
            "stride 2": ("loadgrid3", "i += 3", "i += 2"),
            "999 passes": ("loadgrid1", "#define PASSES 1000",
                           "#define PASSES 999"),
            "seeded": ("loadgrid2", "GRID(len);", "GRID(len);\n\tsrand(7);"),
        }
        for why, (name, old, new) in broken.items():
            with self.subTest(why), tempfile.TemporaryDirectory() as tmp:
                texts = {}
                for f in ("grid.h", name + ".cpp"):
                    with open(os.path.join(source, f)) as src:
                        texts[f] = src.read()
                self.assertTrue(any(old in t for t in texts.values()))
                for f, text in texts.items():
                    with open(os.path.join(tmp, f), "w") as dst:
                        dst.write(text.replace(old, new))
                exe = os.path.join(tmp, name)
                subprocess.run([os.environ["CXX"], "-std=gnu++17", "-O0",
                                "-fno-pie", os.environ["LINK"], "-o", exe,
                                os.path.join(tmp, name + ".cpp")],
                               check=True, capture_output=True)
                out = self.check(exe)
                self.assertEqual(out.returncode, 1, out.stdout)
                self.assertRegex(out.stderr,
                                 f"(?m)^loadgrid-model: .*{name}: does not run "
                                 f"as {name}: ")


class Errors(unittest.TestCase):
    def test_usage(self):
        k = KERNELS[0]
        cases = [(), ("frob", k), ("trace",), ("misses", k),
                 ("misses", k, "--cache", "32k,8"),
                 ("misses", k, "--cache", "0,8,64"),
                 ("misses", k, "--cache", "-32768,8,64"),
                 ("misses", k, "--cache", "lots,8,64"),
                 ("misses", k, "--cache", "32k,3,64"),    # 170.7 sets
                 ("misses", k, "--cache", "48k,8,64"),    # 96 sets
                 ("misses", k, "--cache", "32k,8,48"),
                 ("misses", k, "--cache", "32k,8,16"),    # under a register
                 ("misses", k, "--cache", "64,1,64"),
                 ("misses", k, "--cache", "1024m,8,64"),
                 ("trace", k, "--passes", "0"), ("trace", k, "--passes", "1001"),
                 ("trace", k, "--passes", "ten"),
                 ("trace", k, "--stack-shift", "8"),
                 ("trace", k, "--stack-shift", "x"),
                 ("check", k, "--cache", "32k,8,64", "--passes", "3")]
        for args in cases:
            with self.subTest(args=args):
                out = model(*args)
                self.assertEqual(out.returncode, 2, out.stderr)
                self.assertTrue(out.stderr.startswith("usage: loadgrid-model"))
                self.assertRegex(out.stderr, r"\nloadgrid-model: \S.*\n$")
                self.assertEqual(out.stdout, "")

    def test_failures(self):
        with tempfile.TemporaryDirectory() as tmp:
            def made(name, data, mode=0o755):
                path = os.path.join(tmp, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(data)
                os.chmod(path, mode)
                return path
            os.mkdir(os.path.join(tmp, "loadgrid2"))
            cases = {
                "missing": (os.path.join(tmp, "loadgrid1"),
                            "No such file or directory"),
                "a directory": (os.path.join(tmp, "loadgrid2"),
                                "is a directory"),
                "another name": (made("x/cat", b"\x7fELF"),
                                 "not a loadgrid kernel"),
                "not ELF": (made("y/loadgrid3", b"#!/bin/sh\n"),
                            "not an ELF executable"),
                "no main": (made("z/loadgrid1", open(shutil.which("true"),
                                                     "rb").read()),
                            "no symbol main"),
            }
            if os.geteuid():
                cases["unreadable"] = (made("u/loadgrid1", b"", 0),
                                       "Permission denied")
            for why, (path, reason) in cases.items():
                with self.subTest(why):
                    out = model("misses", path, "--cache", "32k,8,64")
                    self.assertEqual(out.returncode, 1, out.stderr)
                    self.assertRegex(out.stderr,
                                     f"(?m)^loadgrid-model: .*{reason}.*\n\\Z")

    def test_write_errors(self):
        for args in (("trace", KERNELS[0], "--passes", "1"),
                     ("misses", KERNELS[0], "--cache", "32k,8,64")):
            with self.subTest(args[0]), open("/dev/full", "w") as full:
                out = subprocess.run([MODEL, *args], stdout=full,
                                     stderr=subprocess.PIPE, text=True)
                self.assertEqual(out.returncode, 1)
                self.assertEqual(out.stderr, "loadgrid-model: write: No "
                                 "space left on device\n")

    def test_without_valgrind(self):
        kernel = KERNELS[0]
        learned(kernel)
        with tempfile.TemporaryDirectory() as tmp:
            os.symlink(sys.executable, os.path.join(tmp, "python3"))
            env = dict(os.environ, PATH=tmp)
            out = model("misses", kernel, "--cache", "32k,8,64", env=env)
            self.assertEqual(out.returncode, 0, out.stderr)
            out = model("check", kernel, "--cache", "32k,8,64", env=env)
            self.assertEqual(out.returncode, 1)
            self.assertIn("valgrind: not found", out.stderr)
            env["LOADGRID_MODEL_CACHE"] = tmp
            out = model("trace", kernel, env=env)
            self.assertRegex(out.stderr, "valgrind: not found; trace and "
                             "misses still answer for runs learned")


if __name__ == "__main__":
    unittest.main()
