"""The C++ cachegrind layer against the Python package's, on random caches
and on random reports, whole and damaged.

Environment: PROBE (the cachegrind-probe program), PYTHONPATH naming the
source folder.  SEED repeats a run; each run draws a fresh one otherwise.
"""
import os
import random
import subprocess
import tempfile
import unittest

from loadgrid import caches, cachegrind_out
from loadgrid.messages import Failure

PROBE = os.environ["PROBE"]
SEED = int(os.environ.get("SEED") or random.randrange(1 << 32))
print(f"seed {SEED}", flush=True)


def python_geometry(text):
    try:
        return caches.spelled(caches.geometry(text))
    except caches.Refused as e:
        return f"refused: {e}"


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
    suffixes = ["", "", "", "k", "K", "m", "M", "g", "kk", " "]
    parts = [rng.choice(numbers) + rng.choice(suffixes)
             for _ in range(rng.choice([3, 3, 3, 2, 4]))]
    text = ",".join(parts)
    if rng.random() < 0.1:
        text = text.replace(",", rng.choice([";", ",,", ", "]), 1)
    if rng.random() < 0.05:
        text = rng.choice(["", ",", "x", "-32k,8,64", "32k,8,64,"])
    return text


class Geometries(unittest.TestCase):
    def test_as_the_package_judges_them(self):
        rng = random.Random(SEED)
        given = [random_cache(rng) for _ in range(3000)]
        given += ["32k,8,64", "8k,1,32", "1m,16,64", "2g,2,64", "64,1,64"]
        out = subprocess.run([PROBE, "geometries"], input="\n".join(given) + "\n",
                             capture_output=True, text=True, check=True)
        mine = out.stdout.splitlines()
        self.assertEqual(len(mine), len(given))
        taken = 0
        for text, answer in zip(given, mine):
            self.assertEqual(answer, python_geometry(text), text)
            taken += not answer.startswith("refused")
        self.assertGreater(taken, 100)  # not only refusals compared


def random_report(rng):
    geometries = [(32768, 8, 64), (8192, 1, 32), (1 << 23, 16, 64)]
    files = ["???", "/src/a.cpp", "b.c", "dir/ü.cpp"]
    functions = ["main", "(below main)", "rand", "_dl_relocate", "é"]
    places = {}
    for _ in range(rng.randrange(1, 40)):
        key = (rng.choice(files), rng.choice(functions),
               rng.choice([0, 1, 7, rng.randrange(1 << 20)]))
        places[key] = [rng.choice([0, 1, rng.randrange(1 << 40)])
                       for _ in cachegrind_out.EVENTS]
    return cachegrind_out.report_text(geometries, "cmd", places)


def damaged(rng, text):
    lines = text.splitlines()
    k = rng.randrange(len(lines))
    how = rng.randrange(7)
    if how == 0:
        del lines[k]
    elif how == 1:
        lines.insert(k, lines[rng.randrange(len(lines))])
    elif how == 2:
        lines[k] = lines[k][:rng.randrange(len(lines[k]) + 1)]
    elif how == 3:
        lines[k] += rng.choice([" 5", " x", " 1 2 3 4 5 6 7 8 9", ":"])
    elif how == 4:
        lines.insert(k, rng.choice(["junk", "events: Ir", "summary: 1",
                                    "fl=new", "fn=", "", "cmd: again",
                                    "desc: extra"]))
    elif how == 5:
        lines = lines[:k]
    else:
        lines[k] = lines[k].replace("B,", "b,").replace("way", "ways")
    return "\n".join(lines) + "\n"


def python_report(text):
    try:
        r = cachegrind_out.Report(text)
        return cachegrind_out.report_text(cachegrind_out.descs(r.desc), "cmd",
                                          r.places)
    except Failure as e:
        return f"refused: {e}\n"


class Reports(unittest.TestCase):
    def test_read_and_written_as_the_package_does(self):
        rng = random.Random(SEED)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "report")
            counted = {"read": 0, "refused": 0}
            for case in range(400):
                text = random_report(rng)
                if case % 2:
                    text = damaged(rng, text)
                with open(path, "w") as f:
                    f.write(text)
                out = subprocess.run([PROBE, "report", path],
                                     capture_output=True, text=True,
                                     check=True).stdout
                try:
                    want = python_report(text)
                except ValueError:  # the package's reader stumbles on
                    # a line number that is not one; this one refuses it
                    self.assertRegex(out, r"^refused: cachegrind: line \d+: ")
                    continue
                with self.subTest(case=case):
                    self.assertEqual(out, want, text)
                counted["refused" if want.startswith("refused") else "read"] += 1
            self.assertGreater(counted["read"], 150)
            self.assertGreater(counted["refused"], 50)


if __name__ == "__main__":
    unittest.main()
