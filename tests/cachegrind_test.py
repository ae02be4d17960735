"""The C++ cachegrind layer (through cachegrind-probe) against cachegrind
itself: random caches, taken or refused as cachegrind takes or refuses
them on this machine; and cachegrind's own output files from runs of the
kernels, read back and written again as cachegrind wrote them, their sums
against those made here from the file's text, and the files damaged here
refused, or read as the format says where the damage leaves a report.

Environment: PROBE (the cachegrind-probe program), BINDIR (the kernels),
SOURCE_DIR (their sources), CXX (to build a kernel with -g and a program
that does nothing).  SEED repeats a run; each run draws a fresh one
otherwise.
"""
import concurrent.futures
import os
import random
import re
import signal
import subprocess
import tempfile
import unittest

PROBE = os.environ["PROBE"]
BINDIR = os.environ["BINDIR"]
SOURCE_DIR = os.environ["SOURCE_DIR"]
CXX = os.environ["CXX"]
KERNELS = ["loadgrid1", "loadgrid2", "loadgrid3"]
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)

EVENTS = "Ir I1mr ILmr Dr D1mr DLmr Dw D1mw DLmw".split()
DESC = re.compile(r"desc: (I1|D1|LL) cache: +(\d+) B, (\d+) B, "
                  r"(?:(\d+)-way associative|direct-mapped)$")


def cachegrind(tmp, program, *options):
    """cachegrind's output file of a run with options, or None where it
    refuses them: a bad option or a line narrower than a register (status
    1, each with its message), or a crash on one (an associativity of 0
    divides by zero).  Any other failure is the test's own, never taken
    for a refusal."""
    out = tempfile.mktemp(dir=tmp, prefix="cachegrind.out.")
    r = subprocess.run(["valgrind", "--vgdb=no", "--tool=cachegrind",
                        "--cache-sim=yes", f"--cachegrind-out-file={out}",
                        *options, program],
                       capture_output=True, text=True)
    if r.returncode != 0:
        if os.path.exists(out):
            os.remove(out)
        said = ("Bad option", "Cachegrind: cannot continue")
        refused = (r.returncode == 1 and any(s in r.stderr for s in said)
                   or r.returncode == -signal.SIGFPE)
        if not refused:
            raise AssertionError(f"valgrind {' '.join(options)} {program}: "
                                 f"status {r.returncode}\n{r.stderr}")
        return None
    with open(out) as f:
        text = f.read()
    os.remove(out)
    return text


def nothing_program(tmp):
    """A static program of one system call, exit(0): cachegrind's options
    are all that can stop it, and it runs in no time."""
    source = os.path.join(tmp, "nothing.cpp")
    with open(source, "w") as f:
        f.write('extern "C" void _start() {\n'
                '  asm volatile("mov $60, %eax\\n\\txor %edi, %edi\\n'
                '\\tsyscall");\n}\n')
    program = os.path.join(tmp, "nothing")
    subprocess.run([CXX, "-O2", "-nostdlib", "-static", "-o", program,
                    source], check=True)
    return program


def random_cache(rng):
    if rng.random() < 0.5:  # one that may well be taken
        line = 1 << rng.randrange(3, 9)
        assoc = rng.choice([1, 2, 3, 8, 12, 16, 1 << rng.randrange(12)])
        size = line * assoc << rng.randrange(14)
        spelled = [str(size), f"{size >> 10}k" if size % 1024 == 0 else
                   str(size), f"{size >> 20}M" if size % (1 << 20) == 0
                   else str(size)]
        return f"{rng.choice(spelled)},{assoc},{line}"
    numbers = ["0", "1", "3", "16", "32", "64", "96", "8", "2147483647",
               "2147483648", "1073741824", "99999999999999999999999",
               str(rng.randrange(1 << 12)), str(1 << rng.randrange(40))]
    suffixes = ["", "", "", "k", "K", "m", "M", "g", "G", "kk", " "]
    parts = [rng.choice(numbers) + rng.choice(suffixes)
             for _ in range(rng.choice([3, 3, 3, 2, 4]))]
    text = ",".join(parts)
    if rng.random() < 0.1:
        text = text.replace(",", rng.choice([";", ",,", ", "]), 1)
    if rng.random() < 0.05:
        text = rng.choice(["", ",", "x", "-32k,8,64", "32k,8,64,"])
    return text


def in_bytes(text):
    """SIZE,ASSOC,LINE as the command's help spells them (bytes, a k, m or
    g suffix for KiB, MiB or GiB), in bytes; None where it is spelled
    otherwise."""
    parts = text.split(",")
    matches = [re.fullmatch(r"([0-9]+)([kKmMgG]?)", p) for p in parts]
    if len(parts) != 3 or not all(matches):
        return None
    return tuple(int(m[1]) << {"": 0, "k": 10, "m": 20, "g": 30}[m[2].lower()]
                 for m in matches)


class Geometries(unittest.TestCase):
    def test_taken_as_cachegrind_takes_them(self):
        rng = random.Random(SEED)
        given = [random_cache(rng) for _ in range(400)]
        given += ["32k,8,64", "8k,1,32", "1m,16,64", "2g,2,64", "64,1,64",
                  "128,1,64", "96k,3,32", "32k,8,16", "32k,8,8", "32k,0,64",
                  "0,8,64", "32k,8,0", "2147483584,1,64", "1024m,2,64",
                  "2048m,2,64", "16,1,16", "32,2,16", "4096,128,32",
                  "1g,8,1K", "1G,16,64"]
        with tempfile.TemporaryDirectory() as tmp:
            program = nothing_program(tmp)
            levels = ["I1", "D1", "LL"]

            def taken(k, g):
                """g as cachegrind reads it back from one of --I1, --D1
                and --LL, or None where it refuses it."""
                level = levels[k % 3]
                text = cachegrind(tmp, program,
                                  f"--{level}={g[0]},{g[1]},{g[2]}")
                if text is None:
                    return None
                for m in map(DESC.match, text.splitlines()):
                    if m and m[1] == level:
                        return int(m[2]), int(m[4] or 1), int(m[3])
                raise AssertionError(f"no {level} desc line:\n{text}")

            # This machine's narrowest line: cachegrind refuses lines
            # narrower than its widest register.
            narrowest = next(line for line in (16, 32, 64, 128, 256)
                             if taken(1, (line * 64, 2, line)))
            print(f"narrowest line {narrowest}", flush=True)
            # cachegrind reads a number into 64 bits and wraps beyond:
            # numbers of 2^63 or more are only the command's to refuse,
            # each number being below 2 GiB.
            triples = sorted({g for g in map(in_bytes, given)
                              if g and max(g) < 1 << 63})
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                verdicts = dict(zip(triples, pool.map(taken,
                                                      range(len(triples)),
                                                      triples)))
        out = subprocess.run([PROBE, "geometries", str(narrowest)],
                             input="\n".join(given) + "\n",
                             capture_output=True, text=True, check=True)
        mine = out.stdout.splitlines()
        self.assertEqual(len(mine), len(given))
        counted = {"taken": 0, "refused": 0}
        for text, answer in zip(given, mine):
            g = in_bytes(text)
            want = verdicts.get(g) if g else None
            with self.subTest(cache=text, cachegrind=want):
                if want is None:
                    self.assertRegex(answer, "^refused: ")
                else:
                    self.assertEqual(answer, ",".join(map(str, g)))
                    # And cachegrind read it as the command spells it.
                    self.assertEqual(g, want)
            counted["refused" if want is None else "taken"] += 1
        # Neither all refusals nor all taken.
        self.assertGreater(counted["taken"], 40, counted)
        self.assertGreater(counted["refused"], 150, counted)


def costs(words):
    """A line's counts, the missing ones 0."""
    assert len(words) <= len(EVENTS), words
    return [int(w) for w in words] + [0] * (len(EVENTS) - len(words))


def read(text):
    """A whole report as the format reads: each place's counts (a place
    named twice summed), each function's, the summary line's and the
    caches of its desc lines."""
    places, fl, fn, summary, caches = {}, None, None, None, []
    for line in text.splitlines():
        if line.startswith("desc:"):
            m = DESC.match(line)
            caches.append(f"{m[2]},{m[4] or 1},{m[3]}")
        elif line.startswith(("cmd:", "events:")):
            continue
        elif line.startswith("fl="):
            fl = line[3:]
        elif line.startswith("fn="):
            fn = line[3:]
        elif line.startswith("summary:"):
            summary = costs(line.split()[1:])
        else:
            number, *counts = line.split()
            old = places.get((fl, fn, int(number)), [0] * len(EVENTS))
            places[fl, fn, int(number)] = [
                a + b for a, b in zip(old, costs(counts))]
    functions = {}
    for (_, fn, _), counts in places.items():
        old = functions.get(fn, [0] * len(EVENTS))
        functions[fn] = [a + b for a, b in zip(old, counts)]
    return places, functions, summary, caches


def sums(path):
    out = subprocess.run([PROBE, "sums", path], capture_output=True,
                         text=True, check=True).stdout
    if out.startswith("refused: "):
        return out
    lines = out.splitlines()
    caches = lines[0].split()[1:]
    summary = [int(w) for w in lines[1].split()[1:]]
    functions = {}
    for line in lines[2:]:
        name, counts = line[len("function "):].split("\t")
        functions[name] = [int(w) for w in counts.split()]
    return functions, summary, caches


def count_lines(lines):
    return [k for k, line in enumerate(lines) if line[:1].isdigit()]


def damaged(rng, text):
    """The report damaged at random; what the format makes of it: "read",
    "refused" or "refused at N" (the line that is wrong, from 1)."""
    lines = text.splitlines()
    counted = count_lines(lines)
    k = rng.choice(counted)
    number, *counts = lines[k].split()
    how = rng.randrange(12)
    if how == 0:  # a place's line in two, the counts parted between them
        parts = [rng.randrange(int(c) + 1) for c in counts]
        lines[k:k + 1] = [
            " ".join([number, *map(str, parts)]),
            " ".join([number, *(str(int(c) - p)
                                for c, p in zip(counts, parts))])]
        return lines, "read"
    if how == 1:  # a place named twice: its counts summed
        lines.insert(k + rng.randrange(2), lines[k])
        return lines, "read"
    if how == 2:  # counts left out at the end of a line: zeros
        lines[k] = " ".join([number, *counts[:rng.randrange(len(counts))]])
        return lines, "read"
    if how == 3:
        s = len(lines) - 1
        lines[s] = " ".join(lines[s].split()[:rng.randrange(2, 11)])
        return lines, "read"
    if how == 4:  # a count that is no number
        counts[rng.randrange(len(counts))] = rng.choice(["x", "-1", "1.5",
                                                         "0x1"])
        lines[k] = " ".join([number, *counts])
        return lines, f"refused at {k + 1}"
    if how == 5:  # more counts than events
        lines[k] += " 7"
        return lines, f"refused at {k + 1}"
    if how == 6:  # a line number that is none
        lines[k] = " ".join([number + rng.choice(["x", ":", "-1"]), *counts])
        return lines, f"refused at {k + 1}"
    if how == 7:  # a line of no kind
        k = rng.randrange(len(lines))
        lines.insert(k, rng.choice(["junk", "Ir 5", "-", "?"]))
        return lines, f"refused at {k + 1}"
    if how == 8:  # counts before any function
        first = next(k for k, line in enumerate(lines)
                     if line.startswith("fn="))
        k = rng.randrange(first + 1)
        lines.insert(k, "0 1 1 1 1 1 1 1 1 1")
        return lines, f"refused at {k + 1}"
    if how == 9:  # cut short, at or in a line before the summary
        end = len("\n".join(lines[:-1]))
        return ["\n".join(lines)[:rng.randrange(end)]], "refused"
    if how == 10:  # not the nine events of a cache simulation
        e = next(k for k, line in enumerate(lines)
                 if line.startswith("events:"))
        lines[e] = rng.choice(["events: Ir", "events: Ir I1mr ILmr Dr D1mr "
                               "DLmr Dw D1mw", "events: Ir I1mr ILmr Dr D1mr "
                               "DLmr Dw D1mw DLmw Bc", "events:"])
        return lines, "refused"
    # Not the three caches' desc lines.
    d = rng.randrange(3)
    lines[d:d + 1] = rng.choice([[], [lines[d]] * 2,
                                 [lines[d].replace(" B,", " b,", 1)],
                                 [lines[d].replace("cache:", "cache", 1)]])
    return lines, "refused"


class Reports(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def real_reports(self, rng):
        """cachegrind's files from runs of the kernels, with its caches
        and with others; and of a kernel built with -g, whose places have
        files and lines."""
        tmp = self.tmp.name
        debug = os.path.join(tmp, "loadgrid1-g")
        subprocess.run([CXX, "-std=gnu++17", "-g", "-O0", "-o", debug,
                        os.path.join(SOURCE_DIR, "kernels", "loadgrid1.cpp")],
                       check=True)
        runs = [[os.path.join(BINDIR, k)] for k in KERNELS] + [[debug]]
        for k in KERNELS:
            caches = [rng.choice([(16384, 4, 64), (32768, 8, 64),
                                  (32768, 1, 64)]),
                      rng.choice([(8192, 1, 32), (32768, 8, 64),
                                  (49152, 12, 64), (16384, 4, 32)]),
                      rng.choice([(1 << 20, 16, 64), (4 << 20, 1, 128),
                                  (8 << 20, 16, 64), (12 << 20, 3, 64)])]
            runs.append([f"--{level}={','.join(map(str, g))}" for level, g
                         in zip(["I1", "D1", "LL"], caches)] +
                        [os.path.join(BINDIR, k)])
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            texts = list(pool.map(lambda r: cachegrind(tmp, r[-1], *r[:-1]),
                                  runs))
        for run, text in zip(runs, texts):
            self.assertIsNotNone(text, run)
        return list(zip((" ".join(r) for r in runs), texts))

    def file(self, text):
        path = os.path.join(self.tmp.name, "report")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_real_reports_read_and_written_again(self):
        rng = random.Random(SEED)
        reports = self.real_reports(rng)
        for run, text in reports:
            with self.subTest(run=run):
                path = self.file(text)
                places, functions, summary, caches = read(text)
                # cachegrind's summary is the sum of its lines: these are
                # whole reports, read whole here.
                self.assertEqual(summary, [sum(c) for c in
                                           zip(*places.values())])
                self.assertEqual(sums(path), (functions, summary, caches))
                # Written again as cachegrind writes it, cmd aside.
                again = subprocess.run([PROBE, "report", path],
                                       capture_output=True, text=True,
                                       check=True).stdout
                self.assertEqual(again, re.sub("(?m)^cmd: .*$", "cmd: cmd",
                                               text))
        self.assertTrue(any(fl not in ("???", None)
                            for _, text in reports[3:4]
                            for fl, _, _ in read(text)[0]), reports[3][0])

    def test_damaged_reports(self):
        rng = random.Random(SEED + 1)
        reports = self.real_reports(rng)
        counted = {"read": 0, "refused": 0}
        for case in range(400):
            run, text = rng.choice(reports)
            lines, want = damaged(rng, text)
            changed = "\n".join(lines) + "\n"
            path = self.file(changed)
            got = sums(path)
            with self.subTest(case=case, run=run, want=want):
                if want == "read":
                    self.assertEqual(got, read(changed)[1:])
                else:
                    self.assertIsInstance(got, str, "read, not refused")
                    where = re.fullmatch(r"refused at (\d+)", want)
                    self.assertRegex(got, "^refused: cachegrind: " + (
                        f"line {where[1]}: " if where else ""))
            counted[want.split()[0]] += 1
        self.assertGreater(counted["read"], 80, counted)
        self.assertGreater(counted["refused"], 150, counted)


if __name__ == "__main__":
    unittest.main()
