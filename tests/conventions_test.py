"""The answers in the conventions simulators are taught and tested with,
against the plain simulators of tools/plain.py, apart from the engine:
naive, one access at a time, no shortcuts.  Random cases from a seed printed on
failure (CASES of them, 40 by default); lackey's own text for
--format lackey.

Environment: as model_test.py's, and CASES, SEED.
"""
import os
import random
import subprocess
import unittest

import lackey
from model_test import canonical_lackey, main_range
from tools.plain import Plain, din, plain_figures
from tools.vg import NAMES

MODEL = os.environ["MODEL"]
BINDIR = os.environ["BINDIR"]
CASES = int(os.environ.get("CASES", "40"))
SEED = int(os.environ.get("SEED") or random.SystemRandom().randrange(1 << 32))


def model(*args):
    out = subprocess.run([MODEL, *args], capture_output=True, text=True)
    if out.returncode:
        raise AssertionError(f"loadgrid-model {' '.join(args)}: {out.stderr}")
    return out.stdout


class Policies(unittest.TestCase):
    def test_random_cases_against_a_plain_simulator(self):
        rng = random.Random(SEED)
        traces = {}
        for case in range(CASES):
            kernel = rng.choice(NAMES)
            passes = rng.choice([1, 1, 2, 3])
            policy = rng.choice(["lru", "fifo", "plru",
                                 f"random:{rng.randrange(1 << 20)}"])
            write = rng.choice(["back", "through"])
            # Without the kinds, repeating passes are made set by set.
            kinds = ["--kinds"] if rng.random() < 0.5 else []
            ways = 1 << rng.randrange(4) if policy == "plru" \
                else rng.randrange(1, 9)
            line = 32 << rng.randrange(3)
            sets = 1 << rng.randrange(7)
            if sets * ways == 1:
                sets = 2
            g = f"{sets * ways * line},{ways},{line}"
            path = os.path.join(BINDIR, kernel)
            if (kernel, passes) not in traces:
                traces[kernel, passes] = list(din(model(
                    "trace", path, "--passes", str(passes))))
            with self.subTest(case=case, seed=SEED, kernel=kernel,
                              passes=passes, cache=g, policy=policy,
                              write=write, kinds=bool(kinds)):
                out = model("misses", path, "--passes", str(passes),
                            "--cache", g, "--policy", policy, "--write",
                            write, *kinds).splitlines()
                got = [int(v) for v in out[1].split()[3:]]
                want = plain_figures(traces[kernel, passes], sets, ways,
                                     line, policy, write == "back")
                self.assertEqual(got, want if kinds else want[:7])

    def test_lab_against_a_plain_simulator(self):
        rng = random.Random(SEED + 1)
        for case in range(max(3, CASES // 8)):
            kernel = rng.choice(NAMES)
            s, e, b = rng.randrange(5), rng.randrange(1, 5), rng.randrange(2, 7)
            path = os.path.join(BINDIR, kernel)
            with self.subTest(case=case, seed=SEED, kernel=kernel,
                              s=s, E=e, b=b):
                records = model("trace", path, "--passes", "1", "--format",
                                "lackey").splitlines()
                said = model("lab", path, "--passes", "1", "-s", str(s),
                             "-E", str(e), "-b", str(b), "-v").splitlines()
                c = Plain(1 << s, e, 1 << b)
                want = []
                for record in records:
                    kind, rest = record.split()
                    addr = int(rest.split(",")[0], 16)
                    results = [c.access(addr, kind == "S")]
                    if kind == "M":
                        results.append(c.access(addr, True))
                    want.append(f"{kind} {rest.split(',')[0].lstrip('0') or '0'}"
                                f",{rest.split(',')[1]} " + " ".join(results))
                hits = c.n["reads"] + c.n["writes"] - c.n["read_misses"] - \
                    c.n["write_misses"]
                want.append(f"hits:{hits} misses:"
                            f"{c.n['read_misses'] + c.n['write_misses']} "
                            f"evictions:{c.n['evictions']}")
                self.assertEqual(said, want)
                self.assertEqual(model("lab", path, "--passes", "1", "-s",
                                       str(s), "-E", str(e), "-b", str(b)),
                                 want[-1] + "\n")


class Manual(unittest.TestCase):
    def test_worked_examples(self):
        # The man page's example, record by record, by the plain simulator.
        with open(os.path.join(os.environ["SOURCE_DIR"], "man",
                               "loadgrid-model.1")) as f:
            page = f.read()
        example = page[page.index("A worked example"):]
        blocks = [b.split(".fi")[0].strip().splitlines()
                  for b in example.split(".nf")[1:3]]
        words = blocks[0][0].split()
        trace = [(int(a, 16), w == "1") for w, a in zip(words[::2],
                                                        words[1::2])]
        self.assertEqual(len(trace), 8)
        short = {"hit": "h", "miss": "m", "miss eviction": "m*"}
        for line in blocks[1]:
            name, rest = line.split(None, 2)[:2], line.split(None, 2)[2]
            if rest.startswith("as "):
                continue
            policy, write = name[0].rstrip(","), name[1]
            with self.subTest(policy=policy, write=write):
                c = Plain(2, 2, 16, policy, write == "back")
                said = [short[c.access(a, w)] for a, w in trace]
                *marks, = rest.split()[:8]
                self.assertEqual(said, marks)
                self.assertEqual(
                    plain_figures(trace, 2, 2, 16, policy, write == "back"),
                    [int(v) for v in rest.split()[8:]])
        self.assertIn("lab \\-s 1 \\-E 2 \\-b 4\ncounts\n"
                      ".BR \"hits:1 misses:7 evictions:4\" .", page)


class Lackey(unittest.TestCase):
    def test_format_lackey_is_lackeys_text(self):
        for name in NAMES:
            kernel = os.path.join(BINDIR, name)
            with self.subTest(kernel=name):
                watch = lackey.Watch(*main_range(kernel))

                def enough(rec):
                    watch.see(rec)
                    return watch.reads >= 600 * 20
                seen = []
                canonical_lackey(kernel, stop=enough, text=seen)
                out = model("trace", kernel, "--passes", "2", "--fetches",
                            "--format", "lackey").splitlines()
                self.assertEqual(out[:len(seen)], seen)


if __name__ == "__main__":
    unittest.main()
