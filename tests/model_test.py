"""loadgrid-model against Valgrind: its traces against lackey's, its
misses against an independent count and against cachegrind, and its
answers to bad input.

Environment: MODEL (the loadgrid-model to test), BINDIR (the kernels),
SOURCE_DIR, CXX and LINK (to build broken kernels), LOADGRID_MODEL_CACHE,
PYTHONPATH (SOURCE_DIR, for tools/vg.py: its reader of cachegrind's files).
"""
import glob
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import lackey
from tools import vg

MODEL = os.environ["MODEL"]
BINDIR = os.environ["BINDIR"]
KERNELS = [os.path.join(BINDIR, k) for k in vg.NAMES]
# root's tool to become another user, found where a short PATH leaves out.
RUNUSER = shutil.which("runuser") or shutil.which("runuser",
                                                  path="/usr/sbin:/sbin")
SWEEP = ["8k,1,32", "32k,8,64", "48k,12,64", "64k,2,64", "1m,16,64",
         "24k,3,64", "40k,5,128"]


def model(*args, **kw):
    return subprocess.run([MODEL, *args], capture_output=True, text=True,
                          **kw)


def facts(kernel):
    """What facts says of a kernel's canonical run, a list of words a
    line, learning its model first if need be."""
    out = model("facts", kernel)
    if out.returncode != 0:
        raise AssertionError(f"facts {kernel}: {out.stderr}")
    return [line.split(" ") for line in out.stdout.splitlines()]


def learned(kernel):
    """The model file of a kernel's canonical run."""
    file, = [words[1] for words in facts(kernel) if words[0] == "model"]
    return file


def main_range(kernel):
    """Where main's code lies."""
    (start, end), = [(int(w[1], 16), int(w[2], 16)) for w in facts(kernel)
                     if w[0] == "function" and w[3:] == ["main"]]
    return start, end


def canonical_lackey(kernel, **kw):
    """Lackey's records of the kernel's canonical run."""
    return lackey.records([MODEL, "run", kernel, "--", vg.valgrind()],
                          env={}, ender=signal.SIGTERM, **kw)


def main_of(cachegrind_file):
    """main's figures in a cachegrind file, by event name."""
    with open(cachegrind_file) as f:
        text = f.read()
    return dict(zip(vg.EVENTS, vg.Report(text).functions["main"]))


class Trace(unittest.TestCase):
    def test_start_equals_plain_lackey_run(self):
        for kernel in KERNELS:
            with self.subTest(kernel=os.path.basename(kernel)):
                watch = lackey.Watch(*main_range(kernel))

                def enough(rec):
                    watch.see(rec)
                    return watch.reads >= 1.5 * 600 * 20
                seen = lackey.din(canonical_lackey(kernel, stop=enough))
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
                seen = lackey.din(canonical_lackey(
                    kernel, poke=(int(insn, 16), int(addr, 16), 998)))
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


SURFACE_HEAD = ("size,ways,line,sets,main_read_misses,main_write_misses,"
                "trace_read_misses,trace_write_misses")


def surface_caches(lines, least_sets, most_sets, least_ways, most_ways):
    """The caches of a surface in its order: by line size, set count (a
    power of two) and ways; a cache of a single line is no cache."""
    return [(sets * ways * line, ways, line) for line in lines
            for sets in (1 << k for k in range(most_sets.bit_length()))
            if sets >= least_sets
            for ways in range(least_ways, most_ways + 1) if sets * ways > 1]


class Surface(unittest.TestCase):
    def test_random_surfaces_equal_misses_row_by_row(self):
        # Each row against misses asked of that cache alone, which counts
        # one set count and so goes another way through the engine.
        seed = int(os.environ.get("SEED") or random.randrange(1 << 32))
        rng = random.Random(seed)
        for case in range(6):
            kernel = KERNELS[case % len(KERNELS)]
            lines = sorted(rng.sample([32, 64, 128, 256], rng.randint(1, 2)))
            lo = rng.randint(0, 8)
            sets = f"{1 << lo}-{1 << rng.randint(lo, 14)}"
            top = rng.randint(1, 32)
            ways = f"{rng.randint(1, top)}-{top}"
            n = rng.choice([1, 3, 40])
            shift = 16 * rng.randint(-64, 64)
            out = model("surface", kernel, "--lines",
                        ",".join(map(str, lines)), "--sets", sets,
                        "--ways", ways, "--passes", str(n),
                        "--stack-shift", str(shift))
            want = surface_caches(lines, *map(int, sets.split("-")),
                                  *map(int, ways.split("-")))
            with self.subTest(seed=seed, kernel=os.path.basename(kernel),
                              lines=lines, sets=sets, ways=ways, n=n,
                              shift=shift):
                if not want:  # 1 set of 1 way: one line, which it refuses
                    self.assertEqual(out.returncode, 2, out.stderr)
                    self.assertEqual(out.stdout, "")
                    self.assertIn("surface: no cache that cachegrind takes "
                                  "in these ranges", out.stderr)
                    continue
                self.assertEqual(out.returncode, 0, out.stderr)
                head, *rows = out.stdout.splitlines()
                # How far it has got, and what a fresh cache asks first.
                for said in out.stderr.splitlines():
                    self.assertRegex(said, "^loadgrid-model: (surface: |"
                                     "learning |asking cachegrind )")
                self.assertEqual(head, SURFACE_HEAD)
                got = [tuple(map(int, r.split(","))) for r in rows]
                self.assertEqual([r[:3] for r in got], want)
                # Few ways show a line's rank most closely.
                few = [r for r in got if r[1] <= 2]
                for row in rng.sample(got, min(6, len(got))) + \
                        rng.sample(few, min(6, len(few))):
                    alone = model("misses", kernel, "--cache",
                                  ",".join(map(str, row[:3])), "--passes",
                                  str(n), "--stack-shift", str(shift))
                    self.assertEqual(alone.returncode, 0, alone.stderr)
                    figures = alone.stdout.splitlines()[1].split()[1:]
                    self.assertEqual(row[4:], tuple(map(int, figures)),
                                     row[:4])

    def test_it_says_how_far_it_has_got_and_a_signal_stops_it(self):
        # A cache of its own, so that only this test's engines name it.
        with tempfile.TemporaryDirectory() as cache:
            env = dict(os.environ, LOADGRID_MODEL_CACHE=cache)
            model("misses", KERNELS[1], "--passes", "1", "--cache", "32k,8,64",
                  env=env)
            p = subprocess.Popen([MODEL, "surface", KERNELS[1]], env=env,
                                 stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True)
            time.sleep(2)
            start = time.monotonic()
            p.send_signal(signal.SIGTERM)
            _, said = p.communicate(timeout=30)
            self.assertEqual(p.returncode, 128 + signal.SIGTERM, said)
            self.assertLess(time.monotonic() - start, 1)
            # After a second it said how far it had got.
            self.assertRegex(said, "^loadgrid-model: surface: 1916 caches "
                             "in 4 line sizes, two at a time\n")
            time.sleep(0.2)
            left = [pid for pid in os.listdir("/proc") if pid.isdigit() and
                    cache.encode() in read_or_empty(f"/proc/{pid}/cmdline")]
            self.assertEqual(left, [])


def read_or_empty(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def desc_option(line):
    """cachegrind's option for the cache of one of its desc lines."""
    level, size, line_size, ways = re.match(
        r"desc: (..) cache: +(\d+) B, (\d+) B, (\d+)?", line).groups()
    return f"--{level}={size},{ways or 1},{line_size}"


class Check(unittest.TestCase):
    def check(self, kernel, *args):
        return model("check", kernel, "--cache", *SWEEP, *args)

    def test_equal_to_cachegrind(self):
        kernel = os.path.join(BINDIR, os.environ["KERNEL"])
        out = self.check(kernel)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertEqual(out.stdout.count("  equal\n"), len(SWEEP))
        self.assertIn(f"\n{len(SWEEP)} of {len(SWEEP)} caches equal\n", out.stdout)

    def test_whole_report_equals_cachegrind(self):
        # cachegrind's own caches here, and others with a line size of
        # their own at each level.
        kernel = os.path.join(BINDIR, os.environ["KERNEL"])
        for given in ([], ["--I1=16384,4,32", "--D1=8k,2,64",
                           "--LL", "262144,8,128"]):
            with self.subTest(caches=given), \
                    tempfile.TemporaryDirectory() as tmp:
                predicted = os.path.join(tmp, "predicted")
                out = model("predict", kernel, *given, "-o", predicted)
                self.assertEqual(out.returncode, 0, out.stderr)
                with open(predicted) as f:
                    mine = f.read()
                options = [desc_option(line) for line in mine.splitlines()[:3]]
                measured = os.path.join(tmp, "cachegrind.out")
                r = model("run", kernel, "--", "valgrind", "--tool=cachegrind",
                          "--cache-sim=yes", *options,
                          f"--cachegrind-out-file={measured}")
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(measured) as f:
                    theirs = f.read()
                # All but the folder's random name in cmd:, byte for byte.
                self.assertEqual(re.sub(r"loadgrid-model\.\w{6,}", "X", mine),
                                 re.sub(r"loadgrid-model\.\w{6,}", "X", theirs))
                self.assertGreater(mine.count("\nfn="), 90)
                r = subprocess.run(["cg_annotate", predicted],
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                out = model("check", kernel, *given)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                self.assertRegex(out.stdout, r"^all [0-9]+ functions x 9 "
                                 "events, on [0-9]+ lines, and the summary "
                                 "agree\n")

    def test_a_really_shifted_run(self):
        # check --stack-shift measures the canonical run with its
        # environment padded, and predicts it from that run's own model:
        # main moves, and the whole report, start-up code and all, agrees.
        shifted = self.check(KERNELS[0], "--stack-shift", "16")
        self.assertEqual(shifted.returncode, 0, shifted.stdout + shifted.stderr)
        self.assertNotEqual(shifted.stdout.split("\n")[1:-3],
                            self.check(KERNELS[0]).stdout.split("\n")[1:-3])
        self.assertIn("run " + KERNELS[0] + " --stack-shift 16 --",
                      shifted.stdout)
        whole = model("check", KERNELS[0], "--stack-shift", "1024")
        self.assertEqual(whole.returncode, 0, whole.stdout + whole.stderr)
        self.assertRegex(whole.stdout, r"^all [0-9]+ functions x 9 events, "
                         "on [0-9]+ lines, and the summary agree\n")

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


def edit(text, old, new, count=1):
    assert old in text, old
    return text.replace(old, new, count)


def record_line(text, segment, kind):
    """The first record line of a kind in a segment of a model."""
    seg = text[text.index(f"segment {segment} "):]
    return re.search(rf"^{kind} [0-9a-f]+ [0-9]+ \S+$", seg, re.M)[0]


def moved(line, by):
    kind, addr, size, flags = line.split()
    return f"{kind} {int(addr, 16) + by:x} {size} {flags}"


class Damage(unittest.TestCase):
    """A damaged model is learned again, or refused; never read."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, LOADGRID_MODEL_CACHE=self.tmp.name)
        self.kernel = KERNELS[0]
        self.args = ("misses", self.kernel, "--passes", "2", "--cache",
                     "32k,8,64", "8k,1,32")
        self.good = model(*self.args, env=self.env).stdout
        self.file, = [os.path.join(self.tmp.name, f)
                      for f in cached_models(self.tmp.name)]
        with open(self.file) as f:
            self.text = f.read()

    def tearDown(self):
        self.tmp.cleanup()

    def damages(self):
        t = self.text
        reads = re.search(r"^reads (\w+)", t, re.M)[1]
        store = record_line(t, "body", "S")
        return {
            "array 0's base by 16": edit(t, f"reads {reads}",
                                         f"reads {int(reads, 16) + 16:x}"),
            "a record by 0x1000": edit(t, store, moved(store, 0x1000)),
            "the index rule": edit(t, "index stride 1", "index stride 3"),
            "the kernel line": edit(t, "kernel loadgrid1", "kernel loadgrid3"),
            "cut short": t[:len(t) // 2],
            "empty": "",
        }

    def write(self, data):
        with open(self.file, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def test_learned_again(self):
        cases = dict(self.damages(), **{
            "a byte not UTF-8": self.text.encode()[:300] + b"\xff"
            + self.text.encode()[301:],
            "junk": os.urandom(5000)})
        for why, data in cases.items():
            with self.subTest(why):
                self.write(data)
                out = model(*self.args, env=self.env)
                self.assertEqual((out.returncode, out.stdout), (0, self.good),
                                 out.stderr)
                self.assertRegex(out.stderr, f"^loadgrid-model: {self.file}: "
                                 "damaged: .*; learning it again\n")
                self.assertNotIn("Traceback", out.stderr)

    def test_kept_caches_are_checked(self):
        # cachegrind's own caches are asked once, then kept; a kept file
        # that is damaged is asked again, never read.  Options of the
        # user's for Valgrind change nothing.
        args = ("predict", self.kernel, "--passes", "2")
        optioned = model(*args, env=dict(
            self.env, VALGRIND_OPTS="--LL=1048576,16,64 --D1=8192,2,64"))
        self.assertIn("asking cachegrind", optioned.stderr)
        kept, = glob.glob(os.path.join(self.tmp.name, "valgrind-*.caches"))
        os.remove(kept)
        first = model(*args, env=self.env)
        self.assertIn("asking cachegrind", first.stderr)
        self.assertEqual(first.stdout, optioned.stdout)
        again = model(*args, env=self.env)
        self.assertEqual((again.stdout, again.stderr), (first.stdout, ""))
        with open(kept) as f:
            text = f.read()
        with open(kept, "w") as f:
            f.write(re.sub(r"[0-9]+ B", "1 B", text, count=1))
        damaged = model(*args, env=self.env)
        self.assertIn("asking cachegrind", damaged.stderr)
        self.assertEqual(damaged.stdout, first.stdout)

    def test_refused_without_valgrind(self):
        with tempfile.TemporaryDirectory() as bin:
            env = dict(self.env, PATH=bin)
            self.assertEqual(model(*self.args, env=env).stdout, self.good)
            for why, data in self.damages().items():
                with self.subTest(why):
                    self.write(data)
                    out = model(*self.args, env=env)
                    self.assertEqual((out.returncode, out.stdout), (1, ""))
                    self.assertRegex(out.stderr, f"^loadgrid-model: "
                                     f"{self.file}: damaged: .*\n\\Z")


def cached_models(folder):
    """A cache folder's files, but for the facts kept about Valgrind."""
    return [f for f in os.listdir(folder) if not f.startswith("valgrind-")]


def scratch_left():
    """What this project leaves in /tmp: run folders and gdb-server pipes,
    this user's (another's runs may come and go meanwhile)."""
    return {f for f in os.listdir("/tmp")
            if f.startswith(("loadgrid-model.", "vgdb-pipe-"))
            and owner(os.path.join("/tmp", f)) == os.getuid()}


def session(leader):
    """The processes of the session that leader started, but leader and
    those that have ended: their command lines, by pid."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == leader:
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, _, _, sid = f.read().rsplit(")", 1)[1].split()[:4]
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:  # gone since listed
            continue
        if int(sid) == leader and state != "Z":
            found[int(entry)] = command
    return found


def end_session(p):
    """Kills what is left of a command started in a session of its own."""
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    p.wait()


def owner(path):
    try:
        return os.lstat(path).st_uid
    except FileNotFoundError:  # gone since listed
        return None


class InFolders(unittest.TestCase):
    """A folder of the test's own, and a cache in it."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        # A login's USER and LOGNAME, which Valgrind's gdb server names its
        # pipes by, unlike the canonical run's empty environment.
        self.env = dict(os.environ, LOADGRID_MODEL_CACHE=os.path.join(
            self.tmp.name, "cache"), USER="someone", LOGNAME="someone")

    def tearDown(self):
        self.tmp.cleanup()


class Runs(InFolders):
    """Every figure names its run, wherever the kernel lies; nothing is
    left behind."""

    def until_in_session(self, p, text):
        """Waits until a process of p's session has text in its command
        line; p ending first fails the test."""
        while not any(text in c for c in session(p.pid).values()):
            self.assertIsNone(p.poll(), f"ended before {text} ran")
            time.sleep(0.005)

    def test_where_the_kernel_lies_changes_nothing(self):
        caches = ["32k,8,64", "1m,16,64", "8k,1,32"]
        short = os.path.join(self.tmp.name, "a")
        long = os.path.join(self.tmp.name, *["folder-of-a-long-name"] * 10)
        answers = []
        for folder in (short, long):
            os.makedirs(folder)
            kernel = os.path.join(folder, "loadgrid1")
            shutil.copy(KERNELS[0], kernel)
            out = model("misses", kernel, "--cache", *caches, env=self.env)
            self.assertEqual(out.returncode, 0, out.stderr)
            answers.append(out.stdout)
        self.assertEqual(answers[0], answers[1])
        self.assertEqual(len(cached_models(self.env["LOADGRID_MODEL_CACHE"])), 1)
        out = model("check", kernel, "--cache", *caches, env=self.env)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_here_with_a_long_environment(self):
        env = dict(self.env, **{f"PAD{k}": "x" * 200 for k in range(20)})
        kernel = KERNELS[1]
        out = model("check", kernel, "--here", "--cache", "32k,8,64",
                    "8k,1,32", env=env)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("2 of 2 caches equal", out.stdout)
        here = model("misses", kernel, "--here", "--cache", "8k,1,32", env=env)
        canonical = model("misses", kernel, "--cache", "8k,1,32", env=env)
        self.assertNotEqual(here.stdout, canonical.stdout)
        self.assertEqual(len(cached_models(self.env["LOADGRID_MODEL_CACHE"])), 2)

    def test_here_is_the_run_as_typed(self):
        # A relative path, as typed, from its folder: argv[0] is "./".
        shutil.copy(KERNELS[0], self.tmp.name)
        env = dict(self.env, _=shutil.which("valgrind"))
        out = subprocess.run([MODEL, "misses", "./loadgrid1", "--here",
                              "--cache", "32k,8,64"], cwd=self.tmp.name,
                             env=env, capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        by_hand = subprocess.run(
            ["valgrind", "--tool=cachegrind", "--cache-sim=yes",
             "--D1=32768,8,64", "--cachegrind-out-file=cg.out",
             "./loadgrid1"], cwd=self.tmp.name, env=env, capture_output=True)
        self.assertEqual(by_hand.returncode, 0)
        main = main_of(os.path.join(self.tmp.name, "cg.out"))
        self.assertEqual(out.stdout.split()[6:8],
                         [str(main["D1mr"]), str(main["D1mw"])])

    def test_signals_leave_nothing(self):
        # No file, and no child: the command leads a session of its own,
        # which nothing is left in once it has gone.  The signal comes as
        # the run that waits for gdb has started, which nothing but the
        # command would end.  (gdb's own link to that run, in a session of
        # its own, ends with the run.)
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig.name):
                before = scratch_left()
                p = subprocess.Popen([MODEL, "misses", KERNELS[1], "--cache",
                                      "32k,8,64"], env=self.env,
                                     stderr=subprocess.PIPE, text=True,
                                     start_new_session=True)
                self.addCleanup(end_session, p)
                said = ""
                while "learning" not in said:  # after asking Valgrind's facts
                    said = p.stderr.readline()
                    self.assertTrue(said, "ended before learning")
                self.until_in_session(p, "--vgdb-error=0")
                p.send_signal(sig)
                err = p.stderr.read()
                p.stderr.close()
                self.assertEqual(p.wait(), 128 + sig, err)
                self.assertEqual(err, f"loadgrid-model: {sig.name}: stopped\n")
                self.assertEqual(cached_models(self.env["LOADGRID_MODEL_CACHE"]), [])
                self.assertEqual(scratch_left() - before, set())
                for _ in range(100):  # killed, they go within moments
                    if not session(p.pid):
                        break
                    time.sleep(0.01)
                self.assertEqual(session(p.pid), {})

    def test_a_stopped_tool_keeps_its_output(self):
        # The signal asks the tool to end, and what it wrote is moved here
        # from the run's folder, as at the run's own end.  (A trace of
        # every access takes half a minute: the signal comes well within.)
        here = os.path.join(self.tmp.name, "here")
        os.mkdir(here)
        p = subprocess.Popen([MODEL, "run", KERNELS[1], "--", "valgrind",
                              "--tool=lackey", "--trace-mem=yes",
                              "--log-file=trace"], cwd=here, env=self.env,
                             stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
        self.addCleanup(end_session, p)
        self.until_in_session(p, "--tool=lackey")
        time.sleep(1)  # under way
        p.send_signal(signal.SIGTERM)
        err = p.stderr.read()
        p.stderr.close()
        self.assertEqual(p.wait(), 128 + signal.SIGTERM, err)
        self.assertTrue(err.endswith("loadgrid-model: SIGTERM: stopped\n"), err)
        self.assertEqual(os.listdir(here), ["trace"])
        with open(os.path.join(here, "trace")) as f:
            self.assertRegex(f.read(), r"\n L [0-9a-f]+,8\n")

    def test_unwritable_cache(self):
        # Where the cache folder cannot be made, models are kept in a
        # folder of this user's own, of mode 0700, and learned once.
        before = scratch_left()
        good = model("misses", KERNELS[0], "--passes", "1", "--cache",
                     "32k,8,64", env=self.env).stdout
        blocked = os.path.join(self.tmp.name, "a-file")
        open(blocked, "w").close()
        env = dict(self.env, LOADGRID_MODEL_CACHE=blocked)
        tries = [model("misses", KERNELS[0], "--passes", "1", "--cache",
                      "32k,8,64", env=env) for _ in range(2)]
        for out in tries:
            self.assertEqual((out.returncode, out.stdout), (0, good), out.stderr)
        self.assertNotIn("learning", tries[1].stderr)
        mine = os.stat(f"/var/tmp/loadgrid-model-{os.getuid()}")
        self.assertEqual((mine.st_uid, mine.st_mode & 0o777),
                         (os.getuid(), 0o700))
        self.assertEqual(scratch_left() - before, set())


@unittest.skipIf(os.geteuid(), "needs root to become another user")
class AnotherUser(InFolders):
    def test_learns_once_in_a_folder_of_its_own(self):
        # nobody's home folder does not exist: its cache cannot be made,
        # so its models are kept in its own folder, learned once.  nobody
        # may not enter the build folder (root's home is 0700), so it runs
        # an install, and a copy of the kernel, in a folder of its reach.
        self.assertIsNotNone(RUNUSER, "runuser: not found")
        want = model("misses", KERNELS[0], "--passes", "1", "--cache",
                     "32k,8,64", env=self.env).stdout
        prefix = os.path.join(self.tmp.name, "usr")
        subprocess.run(["cmake", "--install", os.path.dirname(MODEL),
                        "--prefix", prefix], check=True, capture_output=True)
        kernel = os.path.join(prefix, "bin", vg.NAMES[0])
        os.chmod(self.tmp.name, 0o755)
        nobody = int(subprocess.run(["id", "-u", "nobody"], check=True,
                                    capture_output=True).stdout)
        folder = f"/var/tmp/loadgrid-model-{nobody}"
        shutil.rmtree(folder, ignore_errors=True)
        try:
            tries = [subprocess.run(
                [RUNUSER, "-u", "nobody", "--",
                 os.path.join(prefix, "bin", "loadgrid-model"), "misses",
                 kernel, "--passes", "1", "--cache", "32k,8,64"],
                capture_output=True, text=True, cwd="/",
                env={"PATH": os.environ["PATH"], "HOME": "/nonexistent"})
                for _ in range(2)]
            for out in tries:
                self.assertEqual((out.returncode, out.stdout), (0, want),
                                 out.stderr)
            self.assertIn("learning", tries[0].stderr)
            self.assertNotIn("learning", tries[1].stderr)
            mine = os.stat(folder)
            self.assertEqual((mine.st_uid, mine.st_mode & 0o777),
                             (nobody, 0o700))
        finally:
            shutil.rmtree(folder, ignore_errors=True)


class Machines(unittest.TestCase):
    """Exact whatever the machine, the shell and the build: the caches
    cachegrind takes, the environment as given, debug info, no pipes left
    behind, a repeat line that pastes, and models kept per Valgrind."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, LOADGRID_MODEL_CACHE=os.path.join(
            self.tmp.name, "cache"))

    def tearDown(self):
        self.tmp.cleanup()

    def test_caches_as_cachegrind_takes_them(self):
        big = model("misses", KERNELS[0], "--passes", "1", "--cache",
                    "1073741824,2,64", "1610612736,3,64", env=self.env)
        self.assertEqual(big.returncode, 0, big.stderr)
        for g in ("2147483648,2,64", "64,1,64", "96,1,32", "32768,8,8"):
            out = model("misses", KERNELS[0], "--cache", g, env=self.env)
            self.assertEqual(out.returncode, 2, g)

    def test_here_without_a_locale(self):
        for env in ({}, {"LANG": "C"}):
            with self.subTest(env=env):
                shutil.copy(KERNELS[1], self.tmp.name)
                out = subprocess.run(
                    [MODEL, "misses", "--here", "./loadgrid2", "--cache",
                     "32k,8,64"], env=env, cwd=self.tmp.name,
                    capture_output=True, text=True)
                self.assertEqual(out.returncode, 0, out.stderr)
                cg = os.path.join(self.tmp.name, "cg.out")
                subprocess.run([shutil.which("valgrind"),
                                "--tool=cachegrind", "--cache-sim=yes",
                                "--D1=32768,8,64",
                                f"--cachegrind-out-file={cg}", "./loadgrid2"],
                               env=env, cwd=self.tmp.name, check=True,
                               capture_output=True)
                main = main_of(cg)
                self.assertEqual(out.stdout.split()[6:8],
                                 [str(main["D1mr"]), str(main["D1mw"])])

    def test_debug_info(self):
        # The build's own -g kernels, beside the others in debug/.
        kernel = os.path.join(BINDIR, "debug", "loadgrid3")
        caches = ["--I1=16384,4,64", "--D1=8192,2,32", "--LL=1048576,8,128"]
        out = model("predict", kernel, *caches, env=self.env)
        self.assertEqual(out.returncode, 0, out.stderr)
        source = os.path.join(os.environ["SOURCE_DIR"], "kernels",
                              "loadgrid3.cpp")
        self.assertIn(f"\nfl={os.path.realpath(source)}\nfn=main\n",
                      out.stdout)
        out = model("check", kernel, *caches, env=self.env)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertRegex(out.stdout, r"on [0-9]+ lines, and the summary agree")

    def test_killed_tool_leaves_no_pipes(self):
        pipes = os.path.join(self.tmp.name, "pipes")
        os.mkdir(pipes)
        p = subprocess.Popen([MODEL, "run", "--here", KERNELS[1], "--",
                              "valgrind", "--tool=lackey", "--trace-mem=yes",
                              "--log-file=/dev/null"],
                             env=dict(self.env, TMPDIR=pipes))
        for _ in range(100):
            if len(os.listdir(pipes)) == 3:
                break
            time.sleep(0.1)
        self.assertEqual(len(os.listdir(pipes)), 3)
        subprocess.run(["pkill", "-KILL", "-P", str(p.pid)])
        self.assertEqual(p.wait(), 128 + signal.SIGKILL)
        self.assertEqual(os.listdir(pipes), [])

    def test_repeat_lines_paste(self):
        # A line for each cache, each giving cachegrind's own figures.
        caches = ["8k,1,32", "16384,2,64"]
        out = subprocess.run([os.path.relpath(MODEL, self.tmp.name), "check",
                              KERNELS[0], "--cache", *caches],
                             capture_output=True, text=True, cwd=self.tmp.name,
                             env=dict(self.env, PATH="/usr/bin:/bin"))
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        said = out.stdout.splitlines()
        self.assertEqual(said[-3], "repeat one by hand:")
        for cache, line in zip(caches, said[-2:], strict=True):
            with self.subTest(cache):
                # As invoked: from the same folder.
                files = os.path.join(self.tmp.name, "cachegrind.out.*")
                before = set(glob.glob(files))
                again = subprocess.run(["sh", "-c", line], cwd=self.tmp.name,
                                       capture_output=True, text=True,
                                       env=dict(self.env, PATH="/usr/bin:/bin"))
                self.assertEqual(again.returncode, 0, again.stderr)
                file, = set(glob.glob(files)) - before
                main = main_of(file)
                row, = [r.split() for r in said if r.startswith(cache + " ")]
                self.assertEqual(row[3:5], [str(main['D1mr']),
                                            str(main['D1mw'])])

    def test_another_valgrind_learns_again(self):
        # Another launcher, however like the first, is another Valgrind.
        bin = os.path.join(self.tmp.name, "bin")
        os.mkdir(bin)
        wrapper = os.path.join(bin, "valgrind")
        with open(wrapper, "w") as f:
            f.write(f"#!/bin/sh\nexec {shutil.which('valgrind')} \"$@\"\n")
        os.chmod(wrapper, 0o755)
        args = ("misses", KERNELS[0], "--passes", "1", "--cache", "8k,1,32")
        first = model(*args, env=self.env)
        other = model(*args, env=dict(self.env, PATH=bin + ":" +
                                      os.environ["PATH"]))
        self.assertEqual((other.returncode, other.stdout),
                         (0, first.stdout), other.stderr)
        self.assertIn("learning loadgrid1", other.stderr)
        self.assertEqual(
            len(cached_models(self.env["LOADGRID_MODEL_CACHE"])), 2)


class Commands(unittest.TestCase):
    """run, shift and what the program says of itself."""

    def test_run_starts_the_canonical_run_here(self):
        kernel = KERNELS[2]
        want = model("misses", kernel, "--cache", "32k,8,64").stdout
        with tempfile.TemporaryDirectory() as tmp:
            r = subprocess.run([MODEL, "run", kernel, "--", "valgrind",
                                "--tool=cachegrind", "--cache-sim=yes",
                                "--D1=32768,8,64"], cwd=tmp,
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            out, = os.listdir(tmp)
            self.assertTrue(out.startswith("cachegrind.out."))
            main = main_of(os.path.join(tmp, out))
        self.assertEqual(want.split()[6:8],
                         [str(main["D1mr"]), str(main["D1mw"])])
        r = model("run", kernel, "--", "sh", "-c", 'exit 7')
        self.assertEqual(r.returncode, 7)

    def test_shift_moves_main_as_measured(self):
        kernel = KERNELS[0]
        env = dict(os.environ, PAD="y" * 3000)
        shift = model("shift", kernel, env=env)
        self.assertEqual(shift.returncode, 0, shift.stderr)

        def trace(*args):
            out = model("trace", kernel, "--passes", "1", *args, env=env)
            self.assertEqual(out.returncode, 0, out.stderr)
            return out.stdout
        # main's records, from the middle of the pass, are this run's
        # moved by the shift, and not the canonical run's.
        lines = trace("--here").splitlines()
        middle = "\n" + "\n".join(lines[len(lines) // 2:][:2000]) + "\n"
        self.assertIn(middle, trace("--stack-shift", shift.stdout.strip()))
        self.assertNotIn(middle, trace())
        self.assertGreater(int(shift.stdout), 3000)
        # Natively too, 1000 bytes more of environment put main's stack
        # 1008 (1000, a NUL and a pointer, to 16 bytes) lower.
        native = [model("shift", kernel, "--native",
                        env=dict(env, PAD="y" * n)) for n in (3000, 4000)]
        self.assertEqual([r.returncode for r in native], [0, 0],
                         native[0].stderr)
        moved = int(native[1].stdout) - int(native[0].stdout)
        self.assertIn(moved, (1008 - 16, 1008, 1008 + 16))

    def test_native_shift_wants_what_gdb_says_to_hold(self):
        # A gdb that cannot turn address randomisation off warns and runs
        # the kernel anyway; one that fails may still have printed.  Either
        # stack pointer is no answer.
        said = {"randomised": "echo 'warning: Error disabling address space"
                              " randomization: Operation not permitted'\n"
                              "echo 'sp 7ffd5a3c1e48'\n",
                "failed": "echo 'sp 7fffffffe4c8'\nexit 1\n"}
        for case, script in said.items():
            with self.subTest(case), tempfile.TemporaryDirectory() as tmp:
                gdb = os.path.join(tmp, "gdb")
                with open(gdb, "w") as f:
                    f.write("#!/bin/sh\n" + script)
                os.chmod(gdb, 0o755)
                env = dict(os.environ, PATH=tmp + os.pathsep + os.environ["PATH"])
                r = model("shift", KERNELS[0], "--native", env=env)
                self.assertEqual((r.returncode, r.stdout), (1, ""), r.stderr)
                self.assertRegex(r.stderr, {"randomised": "randomisation stays on",
                                            "failed": "gdb: exit status 1"}[case])

    def test_help_and_version(self):
        out = model("--version")
        self.assertRegex(out.stdout, r"^loadgrid-model [0-9]+\.[0-9]+\n$")
        for command in ("trace", "misses", "predict", "check", "run",
                        "shift", "lab"):
            with self.subTest(command):
                out = model(command, "--help")
                self.assertEqual(out.returncode, 0)
                self.assertRegex(out.stdout,
                                 r"\n\n(Prints|Writes|With|Starts)[ ,]")


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
                 ("misses", k, "--cache", "2048m,8,64"),
                 ("trace", k, "--passes", "0"), ("trace", k, "--passes", "1001"),
                 ("trace", k, "--passes", "ten"),
                 ("trace", k, "--stack-shift", "8"),
                 ("trace", k, "--stack-shift", "x"),
                 ("check", k, "--cache", "32k,8,64", "--passes", "3"),
                 ("misses", k, "--cache", "32k,8,64", "--policy", "mru"),
                 ("misses", k, "--cache", "24k,6,64", "--policy", "plru"),
                 ("misses", "", "--cache", "32k,8,64"),
                 ("misses", k, "--cache", "32k,8,64", "--write", "around"),
                 ("lab", k, "-s", "30", "-E", "2", "-b", "6"),
                 ("lab", k, "-s", "4", "-E", "0", "-b", "6"),
                 ("surface", k, "--sets", "64-8"), ("surface", k, "--ways", "0-4"),
                 ("surface", k, "--lines", "48"), ("surface", k, "--lines", "16"),
                 ("surface", k, "--sets", "1", "--ways", "1", "--lines", "32"),
                 ("surface", k, "--ways", "1-2147483647"),  # too many caches
                 ("surface", k, "--sets", "1-2147483648")]
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
                "dynamic": (made("z/loadgrid1", open(shutil.which("true"),
                                                     "rb").read()),
                            "dynamically linked"),
                "another program": (
                    made("w/loadgrid3", open(os.path.join(BINDIR, "bytecopy"),
                                             "rb").read()),
                    "does not run as loadgrid3: .*exit status 1, where a "
                    "kernel exits with 0"),
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
