"""The executable readers in C++ (binary/, printed by binary-dump) against
the Python readers (loadgrid.symbols and loadgrid.lines): every function,
source line and build of many builds, and every refusal, printed alike and
compared line for line.

Builds: the kernels and a program of two sources sharing a header's inline
functions, by g++ and clang++, -O0 to -O3, with and without -g, static and
dynamic, each source named in one of six shapes; and each compiler with -g
meets every shape with both a kernel and the pair.

Cachegrind: the files binary-dump names against the fl= names cachegrind
itself gives, for each compiler and every shape.
"""
import concurrent.futures
import difflib
import itertools
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

from loadgrid import kernels, lines, symbols

DUMP = os.environ["BINARY_DUMP"]
SOURCE_DIR = os.environ["SOURCE_DIR"]
COMPILERS = ["g++", "clang++"]
LEVELS = ["-O0", "-O1", "-O2", "-O3"]
DEBUG = [["-g"], []]
LINKS = [["-static", "-fno-pie"], []]

# The program of two sources: both inline functions are compiled in each
# unit, so the link keeps one copy and each unit's line table names it.
PAIR = {
    "pair.h": "inline int twice(int x) { return 2 * x; }\n"
              "inline int thrice(int x) {\n  return 3 * x;\n}\n"
              "int other(int);\n",
    "pair.cpp": '#include "pair.h"\n'
                "int main(int c, char**) {\n"
                "  return twice(c) + thrice(c) + other(c);\n}\n",
    "other.cpp": '#include "pair.h"\n'
                 "int other(int c) { return twice(c) * thrice(c); }\n",
}
PROGRAMS = {**{k: [f"{k}.cpp"] for k in kernels.NAMES},
            "pair": ["pair.cpp", "other.cpp"]}

# (folder the compiler runs in, how each source is named), the sources
# lying in a/b/c: from another folder, absolute, plain, ./ and through ..;
# and absolute in another tree, a kernel in the source folder compiled from
# x (clang++ splits an absolute name sharing a prefix with the folder).
SHAPES = [("", "a/b/c/{}"), ("a/b", "{root}/a/b/c/{}"), ("a/b/c", "{}"),
          ("a/b/c", "./{}"), ("a/b/c", "../../b/c/{}"),
          ("x", "{kernels}/{}")]
ELSEWHERE = len(SHAPES) - 1


def python_dump(path):
    """What the Python readers give for path, as binary-dump prints it."""
    out = [f"file {path}"]

    def refusal(reader, read):
        try:
            out.extend(read())
        except symbols.Error as e:
            out.append(f"{reader} refused: {e}")
        except OSError as e:
            out.append(f"{reader} refused: {e.strerror}")
        except (struct.error, ValueError, IndexError) as e:
            out.append(f"{reader} refused: a damaged file ({e})")
    refusal("functions", lambda: [f"function {s:x} {e:x} {name}" for
                                  s, e, name in symbols.functions(path)])
    refusal("lines", lambda: [f"line {s:x} {e:x} {line} {file}" for
                              s, e, file, line in lines.source_lines(path)])
    refusal("build", lambda: [f"build {symbols.build(path)}"])
    return out


def cpp_dump(paths):
    out = subprocess.run([DUMP, *paths], capture_output=True, text=True,
                         check=True)
    return out.stdout.splitlines()


# Why a damaged file is refused is said by Python's struct module on one
# side and by libelf on the other: what was damaged is compared, not why.
DAMAGED = re.compile(r"(refused: a damaged [a-z ]+) \(.*\)$")


def unexplained(dump):
    return [DAMAGED.sub(r"\1 (...)", line) for line in dump]


class Compared(unittest.TestCase):
    def assertSameDump(self, paths):
        want = unexplained(line for path in paths
                           for line in python_dump(path))
        got = unexplained(cpp_dump(paths))
        diff = list(difflib.unified_diff(want, got, "python", "c++",
                                         lineterm="", n=1))
        self.assertEqual(diff, [], "\n".join(diff[:40]))
        return got

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.sources = os.path.join(self.root, "a", "b", "c")
        os.makedirs(self.sources)
        os.mkdir(os.path.join(self.root, "x"))
        for name in ["grid.h", *(f"{k}.cpp" for k in kernels.NAMES)]:
            shutil.copy(os.path.join(SOURCE_DIR, "kernels", name),
                        self.sources)
        for name, text in PAIR.items():
            with open(os.path.join(self.sources, name), "w") as f:
                f.write(text)

    def tearDown(self):
        self.tmp.cleanup()

    def compile(self, out, cxx, program, flags, shape=0):
        folder, named = SHAPES[shape]
        sources = [named.format(name, root=self.root, kernels=os.path.join(
                       SOURCE_DIR, "kernels"))
                   for name in PROGRAMS[program]]
        subprocess.run([cxx, "-w", *flags, "-o", out, *sources], check=True,
                       cwd=os.path.join(self.root, folder))
        return out


class Builds(Compared):
    def builds(self):
        """Two programs for each compiler, level, -g or not and link: the
        pair, and a kernel in turn; the shapes in turn.  Then each compiler
        with -g builds both in every shape, which the turns above need not
        bring together."""
        configs = itertools.product(COMPILERS, LEVELS, DEBUG, LINKS)
        kernel = itertools.cycle(kernels.NAMES)
        shape = itertools.cycle(range(ELSEWHERE))
        for k, (cxx, level, debug, link) in enumerate(configs):
            for program in (next(kernel), "pair"):
                out = os.path.join(self.root, f"{program}-{k}")
                yield out, cxx, program, [level, *debug, *link], next(shape)
        for cxx, s in itertools.product(COMPILERS, range(len(SHAPES))):
            for program in (next(kernel), "pair")[:1 if s == ELSEWHERE else 2]:
                out = os.path.join(self.root, f"{program}-{cxx}-shape{s}")
                yield out, cxx, program, ["-O0", "-g", *LINKS[s % 2]], s

    def test_every_answer_equal(self):
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            paths = list(pool.map(lambda b: self.compile(*b), self.builds()))
        self.assertGreaterEqual(len(paths), 86)
        got = self.assertSameDump(paths)
        # Not a comparison of nothing: the builds have functions, lines,
        # files named under the compilation folder (g++ writes it as a
        # string) and files left relative (clang++ writes an index).
        named = {line.split(" ", 4)[4] for line in got
                 if line.startswith("line ")}
        for kind in "function ", "line ":
            self.assertGreater(sum(line.startswith(kind) for line in got),
                               200)
        joined = {n for n in named if n.startswith(self.root) and
                  ("/./" in n or "/../" in n)}
        self.assertTrue(joined, named)
        self.assertTrue({n for n in named if not n.startswith("/")}, named)
        # An absolute source compiled from another folder: its directory
        # entry joined to it all the same.
        self.assertTrue({n for n in named
                         if n.startswith(f"{self.root}/x/{SOURCE_DIR}/")},
                        named)


class Cachegrind(Compared):
    def test_files_named_as_cachegrind_names_them(self):
        for cxx, shape in itertools.product(COMPILERS, range(len(SHAPES))):
            with self.subTest(cxx=cxx, shape=SHAPES[shape]):
                # Valgrind 3.19 gives up on clang++'s debug information for
                # more than one unit: clang++ builds a kernel alone.
                program = "pair" if cxx == "g++" and shape != ELSEWHERE \
                    else kernels.NAMES[0]
                exe = self.compile(os.path.join(self.root, f"{cxx}-{shape}"),
                                   cxx, program, ["-O0", "-g", *LINKS[0]],
                                   shape)
                out = exe + ".cachegrind"
                run = subprocess.run(["valgrind", "--tool=cachegrind",
                                      f"--cachegrind-out-file={out}", exe],
                                     capture_output=True, text=True)
                self.assertTrue(os.path.exists(out), run.stderr)
                with open(out) as f:
                    named = {line[3:] for line in f.read().splitlines()
                             if line.startswith("fl=")} - {"???"}
                got = {line.split(" ", 4)[4] for line in cpp_dump([exe])
                       if line.startswith("line ")}
                self.assertEqual(got, named)
                # pair.cpp, other.cpp and pair.h, all run; or the kernel
                # and its header.
                ours = {n for n in named if n.endswith((".cpp", "pair.h"))}
                self.assertEqual(len(ours), 1 if program != "pair" else 3,
                                 named)


class Refusals(Compared):
    def test_files_refused_alike(self):
        root = self.root
        program = self.compile(os.path.join(root, "program"), "g++",
                               "pair", ["-g"])
        paths = {name: os.path.join(root, name) for name in
                 ["text", "empty", "cut", "head", "ident", "class",
                  "stripped", "dwarf4", "missing"]}
        with open(program, "rb") as f:
            data = f.read()
        writes = {"text": b"#!/bin/sh\n", "empty": b"", "cut":
                  data[:len(data) // 2], "head": data[:40],
                  "ident": data[:5], "class": data[:4] + b"\1" + data[5:]}
        for name, content in writes.items():
            with open(paths[name], "wb") as f:
                f.write(content)
        subprocess.run(["strip", "-o", paths["stripped"], program],
                       check=True)
        self.compile(paths["dwarf4"], "g++", "pair", ["-gdwarf-4"])
        got = self.assertSameDump([*paths.values(), root])
        # Every reader refuses the eight that are no executable; the
        # stripped one has no symbol table, the DWARF 4 one no table read.
        self.assertEqual(sum(" refused: " in line for line in got), 26)
