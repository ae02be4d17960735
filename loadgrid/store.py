"""The store: learned models, one a run, and what is known of this
Valgrind on this machine, kept as sealed files in one folder
(~/.cache/loadgrid-model, or $LOADGRID_MODEL_CACHE).

A sealed file ends in the SHA-256 checksum of all before it, and is
written beside its place and renamed there, so no reader sees it half
made; one that is damaged, or not for what is asked, is made again.
"""
import hashlib
import os
import shutil
import tempfile

from . import learn, valgrind
from .cachegrind_out import Report, descs
from .caches import MIN_LINE
from .messages import Failure, say
from .runs import kernel_digest, scratch


def cache_dir():
    return os.environ.get("LOADGRID_MODEL_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
        "loadgrid-model")


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def run_key(run, binary):
    """What names a run's model: the binary's digest, the run's definition
    and the model's format.  Its file is KERNEL-KEY16-VALGRIND8.model."""
    return sha(binary + run.key() + learn.FORMAT)


class Damaged(Exception):
    pass


def sealed(text):
    """text, which ends in a newline, and its checksum line."""
    return text + f"checksum {sha(text)}\n"


def read_sealed(file, notes):
    """The text of a sealed file, if it is whole and its last lines but the
    checksum include notes; else Damaged says what is wrong."""
    try:
        with open(file, "rb") as f:
            data = f.read()
        text = data.decode()
    except UnicodeDecodeError:
        raise Damaged("not text") from None
    body, _, last = text[:-1].rpartition("\n")
    if not text.endswith("\n") or last != f"checksum {sha(body + chr(10))}":
        raise Damaged("its checksum does not match")
    # Notes come last, each on a line; a few more lines leave room for
    # others written after them.
    lines = set(body.rsplit("\n", 2 * len(notes) + 2)[1:])
    for note in notes:
        if note not in lines:
            raise Damaged(f"it is not for this run (no '{note[:40]}')")
    return text


def write_atomically(file, make):
    """Makes file by make(path) into a temporary file beside it, then a
    rename; the temporary file is removed whatever happens."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(file), prefix=".",
                               suffix=".part")
    os.close(fd)
    try:
        make(tmp)
        os.replace(tmp, file)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class Store:
    """Models and Valgrind's facts, kept in the cache folder or, where that
    cannot be written, in a temporary folder that close() removes; models
    are checked against their runs by the engine."""

    def __init__(self, engine):
        self.engine = engine
        self.temp = None
        self._version = False  # not asked yet
        self._valgrind_key = None
        self._facts = {}

    def close(self):
        if self.temp:
            self.temp.cleanup()
            self.temp = None

    def default_caches(self):
        """The I1, D1 and LL that cachegrind picks on this machine, from
        the desc lines of a short run."""
        def ask():
            say("asking cachegrind which caches it picks here")
            return Report(valgrind.cachegrind_file(None, [])).desc
        return descs(self.fact("caches", ask, descs))

    def narrowest_line(self):
        """The narrowest line cachegrind takes here, as wide as the widest
        register Valgrind gives a program on this processor; MIN_LINE
        without Valgrind, which cannot tell."""
        def ask():
            say("asking cachegrind the narrowest line it takes here")
            return [str(valgrind.narrowest_line(MIN_LINE))]

        def check(lines):
            if len(lines) != 1 or not lines[0].isdigit() or \
                    int(lines[0]) < MIN_LINE:
                raise Failure(f"cachegrind: narrowest line {lines}")
        if not shutil.which("valgrind"):
            return MIN_LINE
        return int(self.fact("lines", ask, check)[0])

    def version(self):
        """valgrind --version, kept per Valgrind; None without one."""
        if self._version is False:
            self._version = self.fact(
                "version", valgrind.version, valgrind.one_line)[0] \
                if shutil.which("valgrind") else None
        return self._version

    def valgrind_key(self):
        """The key of this Valgrind on this machine."""
        if not self._valgrind_key:
            self._valgrind_key = sha(valgrind.identity())
        return self._valgrind_key

    def fact(self, name, find, check):
        """Lines about this Valgrind on this machine that find() gives and
        check(lines) accepts (else raising Failure), kept under a key of
        both; a kept file that is damaged, not for them or not accepted is
        found again."""
        if name in self._facts:
            return self._facts[name]
        key = self.valgrind_key()
        file = os.path.join(cache_dir(), f"valgrind-{key[:16]}.{name}")
        identity = f"identity {key}"
        try:
            lines = read_sealed(file, [identity]).split("\n")[:-2]
            if lines[-1:] == [identity]:
                check(lines[:-1])
                self._facts[name] = lines[:-1]
                return lines[:-1]
        except (OSError, Damaged, Failure):
            pass
        lines = find()
        check(lines)
        try:
            os.makedirs(cache_dir(), exist_ok=True)
            write_atomically(file, lambda tmp: write(tmp, sealed(
                "".join(line + "\n" for line in [*lines, identity]))))
        except OSError:
            pass  # found again next time
        self._facts[name] = lines
        return lines

    def writable(self, folder):
        """folder, or a temporary one where folder cannot be written."""
        if self.temp:
            return self.temp.name
        try:
            os.makedirs(folder, exist_ok=True)
            tempfile.TemporaryFile(dir=folder).close()
            return folder
        except OSError as e:
            why = "not a folder" if isinstance(
                e, (FileExistsError, NotADirectoryError)) else e.strerror
            self.temp = scratch()
            say(f"{folder}: {why}; keeping the model in a temporary folder "
                "for this run only")
            return self.temp.name

    def model(self, run):
        """The file of the learned model of a run: kept, or learned now and
        kept."""
        binary = kernel_digest(run.kernel)
        key = run_key(run, binary)
        notes = [f"binary {binary}", f"run {key}"]
        version = self.version()
        folder = self.temp.name if self.temp else cache_dir()
        stem = os.path.join(folder, f"{run.name}-{key[:16]}")
        if version is not None:
            # What the kernel is shown of the machine under this Valgrind
            # (its processor's features, the auxiliary vector) comes with it.
            notes.append(f"valgrind {version} {self.valgrind_key()}")
            files = [f"{stem}-{self.valgrind_key()[:8]}.model"]
        else:
            try:
                files = sorted((os.path.join(folder, f)
                                for f in os.listdir(folder)
                                if f.startswith(os.path.basename(stem) + "-")
                                and f.endswith(".model")),
                               key=os.path.getmtime, reverse=True)
            except OSError:
                files = []
        for file in files:
            if not os.path.exists(file):
                continue
            try:
                read_sealed(file, notes)
                return file
            except (Damaged, OSError) as e:
                why = e if isinstance(e, Damaged) else e.strerror
                if version is None:
                    raise Failure(
                        f"{file}: damaged: {why}; valgrind: not found, so "
                        "it cannot be learned again") from None
                say(f"{file}: damaged: {why}; learning it again")
        if version is None:
            raise Failure(
                f"valgrind: not found; trace and misses still answer for "
                f"runs learned before (in {folder}), check never")
        return self.learn(run, notes, files[0])

    def learn(self, run, notes, file):
        folder = self.writable(os.path.dirname(file))
        file = os.path.join(folder, os.path.basename(file))
        where = "as started here" if run.here else "canonical run"

        def make(tmp):
            try:
                text, a, b = learn.learn(run, lambda: say(
                    f"learning {run.name} ({where}): two short Valgrind "
                    "runs, a few seconds"))
                write(tmp, sealed(text + "".join(n + "\n" for n in notes)))
                # The run of one pass, and the first passes of the whole run.
                self.verify(tmp, 1, b, whole=True)
                self.verify(tmp, learn.LEARN_PASSES + 1, a, whole=False)
            except learn.Mismatch as e:
                raise Failure(f"{run.kernel}: does not run as {run.name}: "
                              f"{e}") from None
        write_atomically(file, make)
        return file

    def verify(self, file, n, seen, whole):
        """The model's records for a run of n passes must be, one for one,
        the records that lackey saw: all of them, if whole, else as many as
        it saw."""
        found = self.engine.first_difference(file, n, seen, whole)
        if found:
            k, mine, real = found
            raise learn.Mismatch(
                f"the model of {n} passes differs from the run at record "
                f"{k}: {show(mine)} where lackey saw {show(real)}")


def show(rec):
    return "nothing" if rec is None else f"{rec[0]} {rec[1]:x},{rec[2]}"
