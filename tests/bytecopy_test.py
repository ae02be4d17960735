"""bytecopy, run as a user runs it; every check looks at the bytes on disk.

The programs come from the environment: BYTECOPY (the static build),
BYTECOPY_DYNAMIC and FAULTS (a build and a library to preload into it,
for read errors and exhausted memory).
"""
import os
import random
import subprocess
import tempfile
import threading
import unittest

BYTECOPY = os.environ["BYTECOPY"]


class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def bytes(self, path):
        with open(path, "rb") as f:
            return f.read()

    def run_copy(self, *args, prog=BYTECOPY, env=None, argv0=None):
        argv0 = prog if argv0 is None else argv0
        return subprocess.run([argv0, *args], executable=prog, env=env,
                              capture_output=True, cwd=self.dir, timeout=60)

    def copies(self, data):
        src = self.file("in", data)
        r = self.run_copy(src, self.path("out"))
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertEqual(self.bytes(self.path("out")), data)

    def fails(self, r, message):
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr.decode(), message + "\n")


class Copies(Case):
    def test_every_byte_value(self):
        # Formatted insertion must neither skip whitespace nor translate
        # line ends, and 0x00, 0x1A and 0xFF are ordinary bytes.
        self.copies(bytes(range(256)) * 4 + b"\r\n\n\r\x1a\x00\xff \t")

    def test_empty_file(self):
        self.copies(b"")

    def test_sizes_around_the_stream_buffer(self):
        rng = random.Random(1)
        for size in (1, 8191, 8192, 8193, 16384, 3 << 20):
            with self.subTest(size=size):
                self.copies(rng.randbytes(size))

    def test_longer_output_is_truncated(self):
        self.file("out", b"x" * 10000)
        self.copies(b"short")

    def test_fifo_input(self):
        data = random.Random(2).randbytes(100000)
        os.mkfifo(self.path("fifo"))

        def feed():
            with open(self.path("fifo"), "wb") as f:
                f.write(data)
        writer = threading.Thread(target=feed)
        writer.start()
        r = self.run_copy(self.path("fifo"), self.path("out"))
        writer.join()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.bytes(self.path("out")), data)

    def test_dev_null_input(self):
        self.file("out", b"old contents")
        r = self.run_copy("/dev/null", self.path("out"))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.bytes(self.path("out")), b"")


class Usage(Case):
    def check(self, *args, argv0="bytecopy"):
        r = self.run_copy(*args, argv0=argv0)
        self.fails(r, f"Usage: {argv0} input-file output-file")
        self.assertEqual(os.listdir(self.dir), [], "a file was created")

    def test_wrong_argument_counts(self):
        for args in ((), ("a",), ("a", "b", "c"), ("a", "b", "c", "d")):
            with self.subTest(args=args):
                self.check(*args)

    def test_program_name_shown_as_given(self):
        self.check("one", argv0="/some/where/bytecopy")
        self.check("one", argv0="")


class Failures(Case):
    """Each failure: a message, status 1, and no data lost."""

    DATA = b"precious\x00data\n" * 1000

    def setUp(self):
        super().setUp()
        self.src = self.file("in", self.DATA)

    def tearDown(self):
        self.assertEqual(self.bytes(self.src), self.DATA, "input changed")

    def test_missing_input_leaves_output_alone(self):
        missing = self.path("missing")
        out = self.file("out", b"keep me")
        self.fails(self.run_copy(missing, out),
                   f"bytecopy: cannot open '{missing}': "
                   "No such file or directory")
        self.assertEqual(self.bytes(out), b"keep me")
        self.fails(self.run_copy(missing, self.path("new")),
                   f"bytecopy: cannot open '{missing}': "
                   "No such file or directory")
        self.assertFalse(os.path.exists(self.path("new")))

    def test_directory_input_leaves_output_alone(self):
        out = self.file("out", b"keep me")
        self.fails(self.run_copy(self.dir, out),
                   f"bytecopy: cannot open '{self.dir}': Is a directory")
        self.assertEqual(self.bytes(out), b"keep me")

    def test_same_file_by_any_path(self):
        os.symlink("in", self.path("symlink"))
        os.link(self.src, self.path("hardlink"))
        for out in ("in", "./in", self.src, "symlink", "hardlink"):
            with self.subTest(out=out):
                r = self.run_copy("in", out)
                self.fails(r, f"bytecopy: 'in' and '{out}' are the same "
                           "file")

    def test_output_cannot_be_created(self):
        for out, reason in ((self.path("no/such/dir"),
                             "No such file or directory"),
                            (self.dir, "Is a directory")):
            with self.subTest(out=out):
                self.fails(self.run_copy(self.src, out),
                           f"bytecopy: cannot create '{out}': {reason}")

    def test_write_errors(self):
        # Small input fails at the final flush, large in mid-copy.
        for data in (b"tiny", self.DATA):
            with self.subTest(size=len(data)):
                src = self.file("in2", data)
                self.fails(self.run_copy(src, "/dev/full"),
                           "bytecopy: error writing '/dev/full': "
                           "No space left on device")

    def faulty(self, *args, **faults):
        env = dict(os.environ, LD_PRELOAD=os.environ["FAULTS"],
                   **{k: str(v) for k, v in faults.items()})
        return self.run_copy(*args, prog=os.environ["BYTECOPY_DYNAMIC"],
                             env=env)

    def test_read_error_keeps_bytes_copied(self):
        out = self.path("out")
        for after in (0, 1, 8191, 10000):
            with self.subTest(after=after):
                r = self.faulty(self.src, out, FAIL_READ_AFTER=after)
                self.fails(r, f"bytecopy: error reading '{self.src}': "
                           "Input/output error")
                self.assertEqual(self.bytes(out), self.DATA[:after])

    def test_out_of_memory_is_reported(self):
        # Fail each allocation in turn until the copy no longer needs to.
        # Until the input is open the output is untouched; once the output
        # is opened it may be left empty, as after any failed copy.
        out = self.path("out")
        failed = set()
        for at in range(1, 50):
            self.file("out", b"keep me")
            r = self.faulty(self.src, out, FAIL_NEW_AT=at)
            if r.returncode == 0:
                break
            with self.subTest(at=at):
                self.assertEqual(r.returncode, 1)
                if r.stderr.startswith(b"bytecopy: cannot open"):
                    self.fails(r, f"bytecopy: cannot open '{self.src}': "
                               "Cannot allocate memory")
                    self.assertEqual(self.bytes(out), b"keep me")
                    failed.add("input")
                else:
                    self.fails(r, f"bytecopy: cannot create '{out}': "
                               "Cannot allocate memory")
                    self.assertIn(self.bytes(out), (b"keep me", b""))
                    failed.add("output")
        self.assertEqual(self.bytes(out), self.DATA)
        self.assertEqual(failed, {"input", "output"})

if __name__ == "__main__":
    unittest.main()
