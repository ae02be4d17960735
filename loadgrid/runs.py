"""A run of a kernel: how it is started, canonically or here.

A run is everything that reaches the process: the binary's bytes, the
path it is started by (argv[0], the exec name in the auxiliary vector and
/proc/self/exe), its environment and its folder.  The path and the
environment sit at the top of the stack, and the start-up code reads the
executable's path, so all of them move what the caches see.

The canonical run starts a copy of the kernel, /tmp/loadgrid-model.XXXXXXXX/
loadgridN in a fresh folder (eight random characters, so the path's length
never changes), with no arguments and an empty environment, from that
folder: even the length of the folder a run starts in shows in what
Valgrind's client does.  The run "here" starts the kernel by its path as
typed (argv[0] is that path; a bare name is found in PATH, as valgrind
finds it), with this process's environment, from this folder.
"""
import contextlib
import hashlib
import json
import os
import shutil
import subprocess
import tempfile

from . import symbols
from .kernels import NAMES, spoken
from .messages import Failure


CANONICAL = "/tmp/loadgrid-model.XXXXXXXX"


def scratch():
    """A fresh folder /tmp/loadgrid-model.XXXXXXXX, removed on leaving."""
    return tempfile.TemporaryDirectory(prefix="loadgrid-model.", dir="/tmp")


class Run:
    """How a kernel is started: canonically, or here (see above)."""

    def __init__(self, kernel, here=False, env=None, typed=None):
        """kernel is the file; typed, for the run here, the path it is
        started by as the user typed it, where that differs.  env, for the
        canonical run only: its environment instead of an empty one."""
        self.kernel, self.here = kernel, here
        self.name = os.path.basename(kernel)
        if here:
            self.path = typed or kernel
            self.env = received_environment()
            # A shell sets _ to the program it starts: valgrind, when
            # the user starts the run by hand.
            if b"_" in self.env:
                self.env[b"_"] = os.fsencode(shutil.which("valgrind") or
                                             "valgrind")
            self.cwd = os.getcwd()
        else:
            self.path = os.path.join(CANONICAL, self.name)
            self.env = {os.fsencode(k): os.fsencode(v)
                        for k, v in (env or {}).items()}
            self.cwd = CANONICAL

    def key(self):
        """The run's definition, but for the binary and the tool."""
        exe = os.path.realpath(self.kernel) if self.here else self.path
        env = [[k.decode("latin-1"), v.decode("latin-1")]
               for k, v in self.env.items()]
        return json.dumps({"path": self.path, "exe": exe, "cwd": self.cwd,
                           "env": env})

    @contextlib.contextmanager
    def started(self):
        """A folder of this run's own (for Valgrind's gdb-server pipes),
        the path to start the kernel by, and the folder to start it from."""
        with scratch() as folder:
            if len(folder) != len(CANONICAL):
                raise Failure(f"{folder}: not of the canonical run's length")
            path, cwd = self.path, self.cwd
            if not self.here:
                path, cwd = os.path.join(folder, self.name), folder
                shutil.copyfile(self.kernel, path)
                os.chmod(path, 0o755)
            yield folder, path, cwd

    def popen(self, argv, cwd, **kw):
        return subprocess.Popen(argv, env=self.env, cwd=cwd, **kw)


def received_environment():
    """This process's environment exactly as it was started with, every
    byte and in order, as names and values in bytes.  os.environ may hold
    more: where no locale is set, Python adds LC_CTYPE to its own."""
    try:
        with open("/proc/self/environ", "rb") as f:
            entries = f.read().split(b"\0")[:-1]
    except OSError as e:
        raise Failure(f"/proc/self/environ: {e.strerror}") from None
    env = {}
    for entry in entries:
        name, eq, value = entry.partition(b"=")
        if not eq or not name or name in env:
            raise Failure("--here: this environment holds "
                          f"'{entry[:40].decode(errors='replace')}', which "
                          "cannot be passed on exactly")
        env[name] = value
    return env


def digest(path):
    """SHA-256 of a file's bytes."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def kernel_digest(path):
    """Checks that path is a kernel; returns the hash of its bytes."""
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
        data = digest(path)
    except IsADirectoryError:
        raise Failure(f"{path}: is a directory") from None
    except OSError as e:
        raise Failure(f"{path}: {e.strerror}") from None
    if name not in NAMES:
        raise Failure(f"{path}: not a loadgrid kernel: its name is "
                            f"not {spoken()}")
    if head[:4] != b"\x7fELF":
        raise Failure(f"{path}: not a loadgrid kernel: not an ELF "
                            "executable")
    try:
        linked = symbols.dynamic(head)
    except symbols.Error as e:
        raise Failure(f"{path}: {e}") from None
    if linked:
        raise Failure(f"{path}: dynamically linked: its run would "
                            "depend on the C library and the loader too; "
                            "the model answers for static kernels")
    return data
