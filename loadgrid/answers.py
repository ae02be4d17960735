"""The model's answers for a run: its learned model from the store, asked
of the engine."""
import threading

from .engine import Engine
from .kernels import ARRAYS, ELEM, PASSES
from .messages import Failure
from .store import Store, read_sealed


class Answers:
    """The answers of the engine at engine_path; a context manager whose
    end removes any temporary folder its store had to use."""

    def __init__(self, engine_path):
        self.engine = Engine(engine_path)
        self.store = Store(self.engine)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.engine.stop()
        self.store.close()

    def misses(self, run, geometries, n=PASSES, shift=0):
        """Per geometry: main's D1 read and write misses, the trace's."""
        return self.misses_at(run, geometries, n, [shift])[0]

    def misses_at(self, run, geometries, n, shifts):
        """misses() at each of several stack shifts: rows per shift."""
        return self.engine.misses_at(self.store.model(run), geometries, n,
                                     shifts)

    def report(self, run, hierarchies, n=PASSES, shift=0):
        """Per hierarchy: the events by (file, function, line)."""
        return self.engine.report(self.store.model(run), hierarchies, n,
                                  shift)

    def figures(self, run, geometries, n, shift, policy, write, kinds):
        """Per geometry: the din trace's figures under a policy."""
        return self.engine.figures(self.store.model(run), geometries, n,
                                   shift, policy, write, kinds)

    def misses_and_figures(self, run, geometries, n, shift, policy, write,
                           kinds):
        """misses() and figures(), each asked of its own engine process,
        the two at once."""
        model = self.store.model(run)
        main = {}

        def ask_main():
            try:
                main["rows"] = self.engine.misses_at(model, geometries, n,
                                                     [shift])[0]
            except BaseException as e:  # the caller's to raise
                main["failure"] = e

        other = threading.Thread(target=ask_main, daemon=True)
        other.start()
        try:
            rows = self.engine.figures(model, geometries, n, shift, policy,
                                       write, kinds)
        finally:
            other.join()
        if "failure" in main:
            raise main["failure"]
        return main["rows"], rows

    def lab(self, run, n, shift, s, e, b, verbose):
        return self.engine.lab(self.store.model(run), n, shift, s, e, b,
                               verbose)

    def accesses(self, run, n=PASSES, shift=0):
        return self.engine.accesses(self.store.model(run), n, shift)

    def indices(self, run, n=PASSES, shift=0):
        return self.engine.indices(self.store.model(run), n, shift)

    def bases(self, run):
        """Where element 0 of each array lies in the run: the reads of its
        first step, as the learned model holds them, less that step's
        index.  Only the model knows which reads are the arrays'."""
        file = self.store.model(run)
        reads = [line.split()[1:] for line in read_sealed(file, []).splitlines()
                 if line.startswith("reads ")]
        if len(reads) != 1 or len(reads[0]) != ARRAYS:
            raise Failure(f"{file}: no line of the {ARRAYS} arrays' reads")
        first = self.indices(run, 1)[0]
        return [int(a, 16) - ELEM * first for a in reads[0]]

    def trace(self, run, n, shift, opts):
        return self.engine.trace(self.store.model(run), n, shift, opts)
