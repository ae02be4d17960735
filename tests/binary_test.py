"""The executable readers in C++ (binary/, printed by binary-dump) against
binutils and cachegrind: every function against readelf's symbol and
section tables, every source line against readelf's decoded line tables,
and every build against readelf's dump of .comment, over many builds; and
every refusal against what readelf makes of the same file.

Builds: the kernels and a program of two sources sharing a header's inline
functions, by g++ and clang++, -O0 to -O3, with and without -g, static and
dynamic, each source named in one of six shapes; and each compiler with -g
meets every shape with both a kernel and the pair.

Cachegrind: the files binary-dump names against the fl= names cachegrind
itself gives, and the functions against its fn= names, for each compiler
and every shape.
"""
import concurrent.futures
import difflib
import errno
import itertools
import os
import re
import shutil
import subprocess
import tempfile
import unittest

DUMP = os.environ["BINARY_DUMP"]
SOURCE_DIR = os.environ["SOURCE_DIR"]
KERNELS = ["loadgrid1", "loadgrid2", "loadgrid3"]
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
PROGRAMS = {**{k: [f"{k}.cpp"] for k in KERNELS},
            "pair": ["pair.cpp", "other.cpp"]}

# (folder the compiler runs in, how each source is named), the sources
# lying in a/b/c: from another folder, absolute, plain, ./ and through ..;
# and absolute in another tree, a kernel in the source folder compiled from
# x (clang++ splits an absolute name sharing a prefix with the folder).
SHAPES = [("", "a/b/c/{}"), ("a/b", "{root}/a/b/c/{}"), ("a/b/c", "{}"),
          ("a/b/c", "./{}"), ("a/b/c", "../../b/c/{}"),
          ("x", "{kernels}/{}")]
ELSEWHERE = len(SHAPES) - 1

# The names Valgrind gives as "(below main)": the C library's start-up.
BELOW_MAIN = {"_start", "__libc_start_main", "__libc_start_call_main",
              "generic_start_main"}


def readelf(*args):
    r = subprocess.run(["readelf", "-W", *args], capture_output=True,
                       text=True, errors="replace")
    return r.returncode, r.stdout, r.stderr


def executable_sections(path):
    """The indices of the sections readelf -S flags X, and how many there
    are."""
    _, out, _ = readelf("-S", path)
    found, count = set(), 0
    for line in out.splitlines():
        m = re.match(r"\s*\[\s*(\d+)\] (.*)$", line)
        if not m:
            continue
        count += 1
        words = m[2].split()
        # Name Type Address Off Size ES [Flg] Lk Inf Al
        if len(words) == 10 and "X" in words[6]:
            found.add(int(m[1]))
    return found, count


def functions(path):
    """The functions cachegrind names, from readelf -s's .symtab: function,
    indirect-function and object symbols of some size in a section flagged
    X; where several share an address the shortest name, ties going to the
    lowest in byte order; the C library's start-up "(below main)".  As
    binary-dump prints them."""
    executable, count = executable_sections(path)
    _, out, _ = readelf("-s", path)
    table = out[out.index("Symbol table '.symtab'"):]
    best = {}
    for line in table.splitlines()[2:]:
        words = line.split(None, 7)
        if len(words) < 8:
            continue
        _, value, size, kind, _, _, ndx, name = words
        size = int(size, 16) if size.startswith("0x") else int(size)
        if kind not in ("FUNC", "IFUNC", "OBJECT") or not size or \
                not ndx.isdigit() or int(ndx) not in executable or \
                int(ndx) >= count:
            continue
        start = int(value, 16)
        key = (len(name), name.encode())
        if start not in best or key < best[start][0]:
            best[start] = (key, start + size, name)
    return [f"function {start:x} {end:x} "
            f"{'(below main)' if name in BELOW_MAIN else name}"
            for start, (_, end, name) in sorted(best.items())]


ROW = re.compile(r"^(\S+)\s+(\d+|-)\s+(0x[0-9a-f]+)(?:\s+\d+)?(?:\s+x)?\s*$")


def source_lines(path):
    """The source lines of readelf's decoded line tables, as Valgrind reads
    them: every row, statement or not, ends the range of the one before in
    its sequence, a range of no bytes naming nothing, and where two ranges
    overlap the later start cuts the earlier short.  Files by their last
    component only: readelf names a file as its table does, not as
    cachegrind does (class Cachegrind holds the whole names to
    cachegrind's)."""
    _, out, _ = readelf("--debug-dump=decodedline", path)
    ranges, last = set(), None
    for line in out.splitlines():
        m = ROW.match(line)
        if not m:
            continue
        name, number, address = m[1], m[2], int(m[3], 16)
        if last and address > last[0]:
            ranges.add((last[0], address, last[1], last[2]))
        last = None if number == "-" else (address, int(number),
                                           os.path.basename(name))
    out = []
    for r in sorted(ranges):
        if out and out[-1][1] > r[0]:
            start, _, number, name = out.pop()
            if r[0] > start:
                out.append((start, r[0], number, name))
        out.append(r)
    return [f"line {s:x} {e:x} {n} {name}" for s, e, n, name in out]


def comment(path):
    """The strings of .comment, as readelf -p dumps them."""
    _, out, _ = readelf("-p", ".comment", path)
    return {m[1] for m in re.finditer(r"(?m)^\s*\[\s*[0-9a-f]+\]  (.*)$",
                                      out)}


def build(path):
    """The compilers of .comment, then this system's C library."""
    return "build " + "; ".join(sorted(comment(path)) +
                                [os.confstr("CS_GNU_LIBC_VERSION")])


def cpp_dump(paths):
    out = subprocess.run([DUMP, *paths], capture_output=True, text=True,
                         check=True)
    return out.stdout.splitlines()


def by_file(dump):
    """binary-dump's answers per file, the lines' files cut to their last
    component as source_lines() has them."""
    found = {}
    for line in dump:
        if line.startswith("file "):
            path = line[len("file "):]
            found[path] = []
            continue
        if line.startswith("line "):
            start, end, number, name = line.split(" ", 4)[1:]
            line = f"line {start} {end} {number} {os.path.basename(name)}"
        found[path].append(line)
    return found


class Compared(unittest.TestCase):
    def assertSameDump(self, paths):
        """Each file's answers against binutils', line for line; all of
        binary-dump's lines."""
        got = cpp_dump(paths)
        mine = by_file(got)
        self.assertEqual(list(mine), list(paths))
        for path in paths:
            want = [*functions(path), *source_lines(path), build(path)]
            diff = list(difflib.unified_diff(want, mine[path], "binutils",
                                             "binary-dump", lineterm="",
                                             n=1))
            self.assertEqual(diff, [], f"{path}:\n" + "\n".join(diff[:40]))
        return got

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.sources = os.path.join(self.root, "a", "b", "c")
        os.makedirs(self.sources)
        os.mkdir(os.path.join(self.root, "x"))
        for name in ["grid.h", *(f"{k}.cpp" for k in KERNELS)]:
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
        kernel = itertools.cycle(KERNELS)
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
                    else KERNELS[0]
                exe = self.compile(os.path.join(self.root, f"{cxx}-{shape}"),
                                   cxx, program, ["-O0", "-g", *LINKS[0]],
                                   shape)
                out = exe + ".cachegrind"
                # --demangle=no: the symbol table's names, as binary-dump
                # gives them (cachegrind demangles C++ names otherwise).
                run = subprocess.run(["valgrind", "--vgdb=no",
                                      "--demangle=no", "--tool=cachegrind",
                                      f"--cachegrind-out-file={out}", exe],
                                     capture_output=True, text=True)
                self.assertTrue(os.path.exists(out), run.stderr)
                with open(out) as f:
                    text = f.read().splitlines()
                named = {line[3:] for line in text
                         if line.startswith("fl=")} - {"???"}
                dump = cpp_dump([exe])
                got = {line.split(" ", 4)[4] for line in dump
                       if line.startswith("line ")}
                self.assertEqual(got, named)
                # Every function that ran is one binary-dump names (the
                # start-up's "(below main)" among them).
                ran = {line[3:] for line in text
                       if line.startswith("fn=")} - {"???"}
                functions = {line.split(" ", 3)[3] for line in dump
                             if line.startswith("function ")}
                self.assertLessEqual(ran, functions)
                self.assertIn("(below main)", ran)
                self.assertIn("main", ran)
                # pair.cpp, other.cpp and pair.h, all run; or the kernel
                # and its header.
                ours = {n for n in named if n.endswith((".cpp", "pair.h"))}
                self.assertEqual(len(ours), 1 if program != "pair" else 3,
                                 named)


class Refusals(Compared):
    def test_files_refused_as_readelf_reads_them(self):
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
        paths["folder"] = root
        said = by_file(cpp_dump(list(paths.values())))

        def refused(name):
            return {line.split(" refused: ")[0] for line in
                    said[paths[name]] if " refused: " in line}

        everything = {"functions", "lines", "build"}
        # What readelf makes of each: no ELF header it can read, or not a
        # 64-bit one...
        for name in ["text", "empty", "ident", "head"]:
            code, out, err = readelf("-h", paths[name])
            self.assertTrue(code and "ELF Header:" not in out, (name, err))
            self.assertEqual(refused(name), everything, name)
        _, header, _ = readelf("-h", paths["class"])
        self.assertRegex(header, r"Class: +ELF32")
        self.assertEqual(refused("class"), everything)
        # ...or its section headers past its end.
        _, out, err = readelf("-S", paths["cut"])
        self.assertRegex(err, "extends past end of file for section headers")
        self.assertEqual(refused("cut"), everything)
        # No file, a folder: the system's words for why.
        for name, number in [("missing", errno.ENOENT),
                             ("folder", errno.EISDIR)]:
            self.assertEqual(said[paths[name]], [
                f"{reader} refused: {os.strerror(number)}"
                for reader in ("functions", "lines", "build")])
        # Stripped, readelf finds no symbol table and no line table: no
        # functions, and no lines; its .comment is kept.
        _, symbols, _ = readelf("-s", paths["stripped"])
        self.assertNotIn("'.symtab'", symbols)
        self.assertEqual(refused("stripped"), {"functions"})
        self.assertEqual(source_lines(paths["stripped"]), [])
        self.assertEqual(said[paths["stripped"]][1:],
                         [build(paths["stripped"])])
        # DWARF 4 line tables, which readelf reads and binary-dump is not
        # meant to: its lines refused, the rest answered as readelf has it.
        _, raw, _ = readelf("--debug-dump=rawline", paths["dwarf4"])
        self.assertEqual(set(re.findall(r"DWARF Version: +(\d+)", raw)),
                         {"4"})
        self.assertEqual(refused("dwarf4"), {"lines"})
        answered = [line for line in said[paths["dwarf4"]]
                    if " refused: " not in line]
        self.assertEqual(answered, [*functions(paths["dwarf4"]),
                                    build(paths["dwarf4"])])
