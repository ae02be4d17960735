"""The examples that README.md and the man pages show, run as a reader
would run them.

README's console block: each "$ COMMAND" is run by bash (pipefail) from a
folder of its own in which build/gcc is this build, and must end with
status 0.  Its output must be the one shown where this build is the one
that made it (its compilers and C library, as pictures/build names them),
but for what depends on the machine: predict's figures (the caches that
cachegrind picks here) and the differential test's seed.  Elsewhere, and
for those, the output must have the shape shown: the same lines, of the
same words but for the numbers.

The man pages' EXAMPLES (the kernels' pages as the build makes them), and
the commands of docs/ that a reader runs on a build: each run as
Examples.run_each says.

Environment: as model_test.py's.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from tools import pictures, vg

SOURCE = os.environ["SOURCE_DIR"]
BINDIR = os.environ["BINDIR"]
MODEL = os.environ["MODEL"]
# Words that stand for a number: figures, addresses and seeds.
NUMBER = re.compile(r"^\(?([0-9][0-9,.]*|[0-9a-f]{6,})\)?[,:]?$")
# Commands whose figures depend on the machine as well as the build.
MACHINE = ("predict", "tools.differential")


def console_block(path):
    """(command, output lines) of the first console block of a file."""
    with open(path) as f:
        text = f.read()
    block = text.split("```console\n", 1)[1].split("```", 1)[0]
    examples = []
    for line in block.splitlines():
        if line.startswith("$ "):
            examples.append((line[2:], []))
        else:
            examples[-1][1].append(line)
    return examples


def man_examples(path):
    """The lines of a man page's EXAMPLES, as the page shows them."""
    with open(path) as f:
        text = f.read()
    if ".SH EXAMPLES" not in text:
        return []
    section = text.split(".SH EXAMPLES", 1)[1].split(".SH", 1)[0]
    block = section.split(".nf\n", 1)[1].split(".fi", 1)[0]
    return [line.replace("\\-", "-") for line in block.splitlines()]


def shape(lines):
    return [[("NUMBER" if NUMBER.match(w) else w) for w in line.split()]
            for line in lines]


def run(command, cwd, env):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=cwd,
                          env=env, capture_output=True, text=True,
                          timeout=600)


class Readme(unittest.TestCase):
    def test_console_block(self):
        with open(os.path.join(SOURCE, "pictures", pictures.BUILD_FILE)) as f:
            made_by = f.read().strip()
        exact = pictures.build_of(vg.Model(MODEL), BINDIR) == made_by
        examples = console_block(os.path.join(SOURCE, "README.md"))
        self.assertGreaterEqual(len(examples), 6)
        env = dict(os.environ, PYTHONPATH=SOURCE)
        for command, shown in examples:
            with self.subTest(command), \
                    tempfile.TemporaryDirectory() as tmp:
                os.mkdir(os.path.join(tmp, "build"))
                os.symlink(BINDIR, os.path.join(tmp, "build", "gcc"))
                r = run(command, tmp, env)
                self.assertEqual(r.returncode, 0, r.stderr)
                said = r.stdout.splitlines()
                if exact and not any(m in command for m in MACHINE):
                    self.assertEqual(said, shown)
                else:
                    self.assertEqual(shape(said), shape(shown))


def first_records(line, cwd, env, count=1000):
    """The first records a lackey example writes; the run is then ended."""
    p = subprocess.Popen(["bash", "-c", "exec " + line], cwd=cwd, env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
    records = []
    try:
        for said in p.stderr:
            if re.match(r"^ ?[ILSM] +[0-9a-f]+,[0-9]+$", said):
                records.append(said)
                if len(records) == count:
                    break
    finally:
        p.kill()
        p.wait()
        p.stderr.close()
    return records


def sh_blocks(path):
    """The lines of a file's sh blocks, but comments, as the file shows
    them."""
    with open(path) as f:
        text = f.read()
    lines = []
    for block in text.split("```sh\n")[1:]:
        for line in block.split("```", 1)[0].splitlines():
            line = re.sub(r"\s+#.*", "", line).strip()
            if line:
                lines.append(line)
    return lines


class Examples(unittest.TestCase):
    def run_each(self, lines):
        """Runs each line by bash from a folder of its own, holding a
        big.bin to copy and build/gcc as this build, with this build's
        folder first in PATH: each must end with status 0 and write what
        it says it writes.  A whole lackey trace takes minutes: its first
        thousand records are read and the run stopped.  perf needs a
        machine with counters: where it cannot count, that line is
        skipped."""
        for line in lines:
            with self.subTest(line), tempfile.TemporaryDirectory() as tmp:
                # Valgrind's gdb-server pipes go in TMPDIR, here the folder.
                env = dict(os.environ, PATH=BINDIR + ":" + os.environ["PATH"],
                           TMPDIR=tmp)
                with open(os.path.join(tmp, "big.bin"), "wb") as f:
                    f.write(os.urandom(1 << 20))
                os.mkdir(os.path.join(tmp, "build"))
                os.symlink(BINDIR, os.path.join(tmp, "build", "gcc"))
                self.run_one(line, tmp, env)

    def run_one(self, line, tmp, env):
        if "--tool=lackey" in line:
            self.assertEqual(len(first_records(line, tmp, env)), 1000)
            return
        if line.startswith("perf ") and (
                not shutil.which("perf")
                or run("perf stat true", tmp, env).returncode):
            self.skipTest("perf cannot count on this machine")
        r = run(line, tmp, env)
        self.assertEqual(r.returncode, 0, r.stderr)
        made = os.listdir(tmp)
        if "bytecopy big.bin copy.bin" in line:
            with open(os.path.join(tmp, "copy.bin"), "rb") as a, \
                    open(os.path.join(tmp, "big.bin"), "rb") as b:
                self.assertEqual(a.read(), b.read())
        if ">" in line:
            file = line.split(">")[-1].strip()
            self.assertGreater(os.path.getsize(os.path.join(tmp, file)), 0)
        elif "--tool=cachegrind" in line or "--tool=callgrind" in line:
            tool = line.split("--tool=")[1].split()[0]
            self.assertTrue(any(f.startswith(tool + ".out.") for f in made),
                            made)
        elif "loadgrid-model" in line:
            self.assertTrue(r.stdout, "no output")


class Manual(Examples):
    def test_examples(self):
        pages = [os.path.join(SOURCE, "man", "loadgrid-model.1"),
                 os.path.join(SOURCE, "man", "bytecopy.1")] + [
            os.path.join(BINDIR, "man", f"{k}.1") for k in vg.NAMES]
        lines = [line for page in pages for line in man_examples(page)]
        self.assertGreaterEqual(len(lines), 20)
        self.run_each(lines)


class Docs(Examples):
    """The commands of docs/ that a reader runs on a build: the tools over
    the kernels (workloads.md) and the canonical run by hand (model.md).
    packaging.md's are run by tools/packages.sh, as root; the main job's
    output by workloads_test."""
    def test_commands(self):
        # A synopsis, which names its arguments, is not a command.
        lines = [line for doc in ("workloads.md", "model.md")
                 for line in sh_blocks(os.path.join(SOURCE, "docs", doc))
                 if "KERNEL" not in line]
        self.assertGreaterEqual(len(lines), 5)
        self.run_each(lines)


if __name__ == "__main__":
    unittest.main()
