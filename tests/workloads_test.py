"""The main job and the install, as a user meets them.

SOURCE_DIR is the project, BUILD_DIR a build of it, CXX its compiler;
PYTHONPATH is SOURCE_DIR, for the tools.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ["SOURCE_DIR"]
BUILD = os.environ["BUILD_DIR"]
RUNNER = os.path.join(SOURCE, "tools", "workloads.py")
PROGRAMS = ("loadgrid1", "loadgrid2", "loadgrid3", "bytecopy")
NUMBER = re.compile(r"^\(?[0-9][0-9,.]*\)?[,:]?$")
UNITS = ("ms", "s", "µs", "KiB", "MiB", "GiB", "KiB/s", "MiB/s", "GiB/s")


def documented_job():
    """The main job's output as docs/workloads.md shows it."""
    with open(os.path.join(SOURCE, "docs", "workloads.md")) as f:
        blocks = f.read().split("```\n")
    return next(b for b in blocks if b.startswith("program ")).rstrip("\n")


def job_shape(text):
    """The main job's output but for what the machine and the build set:
    figures and their units, paths, and the compiler and C library named.
    The timer's line too, where hyperfine is missing."""
    lines = []
    for line in text.splitlines():
        if line.startswith("of this build:"):
            line = "of this build:"
        if line.startswith("Wall times by") and not shutil.which("hyperfine"):
            continue
        lines.append(["NUMBER" if NUMBER.match(w) else "UNIT" if w in UNITS
                      else "PATH" if "/" in w else w for w in line.split()])
    return lines


class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def run_cmd(self, *cmd, env=None):
        return subprocess.run(cmd, capture_output=True, text=True, env=env,
                              timeout=600)

    def assert_table(self, out):
        lines = out.split("\nKnown answers")[0].splitlines()
        self.assertTrue(lines[0].startswith("program"), out)
        for name in PROGRAMS:
            row = [line for line in lines if line.startswith(name + " ")]
            self.assertEqual(len(row), 1, f"no row for {name}:\n{out}")
            self.assertRegex(row[0], r" ms ", row[0])
        self.assertIn("33,554,432 bytes copied", out)
        self.assertRegex(out, r"bytecopy .* MiB/s")


class Runner(Case):
    def test_fresh_build_runs_every_workload(self):
        build = os.path.join(self.dir, "build")
        r = self.run_cmd("cmake", "-S", SOURCE, "-B", build, "-G", "Ninja",
                         "-DBUILD_TESTING=OFF",
                         f"-DCMAKE_CXX_COMPILER={os.environ['CXX']}")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.run_cmd("cmake", "--build", build, "--target", "run")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assert_table(r.stdout[r.stdout.index("program "):])
        for name in PROGRAMS[:3]:
            self.assertRegex(r.stdout, rf"\n{name} +[0-9,]+ .* equal\n")
            self.assertRegex(r.stdout, rf"\n{name}  all [0-9]+ functions "
                             "x 9 events, on [0-9]+ lines, and the summary "
                             "agree\n")
        job = r.stdout[r.stdout.index("program "):]
        self.assertEqual(job_shape(job), job_shape(documented_job()))

    def test_plain_timer_without_hyperfine(self):
        env = dict(os.environ, PATH=self.dir)  # finds no hyperfine
        r = self.run_cmd(sys.executable, RUNNER, BUILD, "2", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_table(r.stdout)
        self.assertIn("by a plain timer", r.stdout)
        self.assertIn("Known answers: skipped, valgrind: not found", r.stdout)

    def test_goes_on_without_matplotlib(self):
        fake = os.path.join(self.dir, "matplotlib")
        os.mkdir(fake)
        with open(os.path.join(fake, "__init__.py"), "w") as f:
            f.write("raise ImportError('hidden by the test')\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [self.dir, os.environ["PYTHONPATH"]]))
        r = self.run_cmd(sys.executable, RUNNER, BUILD, "2", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_table(r.stdout)
        self.assertRegex(r.stdout, r"\nKnown answers: D1 misses")
        self.assertTrue(r.stdout.endswith(
            "\nPictures: skipped, matplotlib: not installed "
            "(Debian's python3-matplotlib)\n"), r.stdout[-300:])

    def test_fails_when_a_picture_cannot_be_drawn(self):
        fake = os.path.join(self.dir, "matplotlib")
        os.mkdir(fake)
        with open(os.path.join(fake, "__init__.py"), "w") as f:
            f.write("def use(backend):\n"
                    "    raise RuntimeError('no backend, said the test')\n")
        # Without Valgrind in PATH the known answers are skipped quickly.
        env = dict(os.environ, PATH=self.dir, PYTHONPATH=os.pathsep.join(
            [self.dir, os.environ["PYTHONPATH"]]))
        r = self.run_cmd(sys.executable, RUNNER, BUILD, "2", env=env)
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertEqual(r.stderr, "workloads: the pictures: RuntimeError: "
                         "no backend, said the test\n")

    def stand_in(self, name, script):
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir)
        for program in PROGRAMS:
            os.symlink(os.path.join(BUILD, program),
                       os.path.join(bindir, program))
        os.remove(os.path.join(bindir, name))
        with open(os.path.join(bindir, name), "w") as f:
            f.write("#!/bin/sh\n" + script + "\n")
        os.chmod(os.path.join(bindir, name), 0o755)
        return bindir

    def test_fails_loudly(self):
        for name, script, why in (
                ("loadgrid2", "exit 3", "loadgrid2: "),
                ("bytecopy", '/usr/bin/head -c 9 "$1" >"$2"', "copy differs"),
                ("bytecopy", '/bin/cat "$1" >"$2"; exit 1', "bytecopy: ")):
            for path in (os.environ["PATH"], ""):
                with self.subTest(script=script, hyperfine=bool(path)):
                    bindir = self.stand_in(name, script)
                    env = dict(os.environ, PATH=path or self.dir)
                    r = self.run_cmd(sys.executable, RUNNER, bindir, "2",
                                     env=env)
                    shutil.rmtree(bindir)
                    self.assertEqual(r.returncode, 1, r.stdout)
                    self.assertIn(why, r.stderr)


class Install(Case):
    def test_programs_and_man_pages_land(self):
        r = self.run_cmd("cmake", "--install", BUILD, "--prefix", self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        for name in PROGRAMS:
            with self.subTest(name=name):
                program = os.path.join(self.dir, "bin", name)
                self.assertTrue(os.access(program, os.X_OK))
                page = os.path.join(self.dir, "share", "man", "man1",
                                    name + ".1")
                env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
                r = self.run_cmd("man", "--warnings", "-E", "UTF-8", "-l",
                                 page, env=env)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertIn(name, r.stdout.split("\n")[0])
                if name != "bytecopy":
                    self.assertIn("12,000,000", r.stdout)
                    self.assertIn("Always 0", r.stdout)
                else:
                    self.assertIn("same file", r.stdout)

    def test_model_runs_installed(self):
        r = self.run_cmd("cmake", "--install", BUILD, "--prefix", self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        env = dict(os.environ, LOADGRID_MODEL_CACHE=self.dir + "/cache")
        model = os.path.join(self.dir, "bin", "loadgrid-model")
        # A bare name is the kernel installed beside it.
        r = self.run_cmd(model, "misses", "loadgrid1", "--passes", "1",
                         "--cache", "32k,8,64", env=dict(env, PATH="/usr/bin:/bin"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^cache .*\n32k,8,64( +[0-9]+){4}\n$")
        page = os.path.join(self.dir, "share", "man", "man1",
                            "loadgrid-model.1")
        r = self.run_cmd("man", "--warnings", "-E", "UTF-8", "-l", page,
                         env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertIn("--stack-shift", r.stdout)


if __name__ == "__main__":
    unittest.main()
