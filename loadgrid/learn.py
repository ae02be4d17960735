"""Learn what the compiler and the C library put around a kernel's reads.

Two short lackey runs of the canonical run teach it all: the first three
passes, and a run whose pass counter gdb moves to the last pass at once, for
the end of the loop and the exit path.  From them come templates of the
process's records: everything before step 0's first array read (the
start-up code and main's prologue), a step inside a pass, a step that ends
a pass, the last step with all that follows it, and the calls main makes
(rand's records, which repeat with a period).  In a template an array read
is only "array j at this step's index": which index is the kernel's rule,
applied by the engine.
"""
import bisect

from . import lines, symbols, valgrind
from .kernels import ARRAYS, KERNELS, PASSES, STEPS
from .messages import Failure

LEARN_PASSES = 3
STACK_SPAN = 1 << 24  # the stack lies within this of main's frame
FORMAT = "loadgrid-model 4"


class Mismatch(Failure):
    """The binary does not behave as the kernel it is named after."""


def check(ok, why):
    if not ok:
        raise Mismatch(why)


class Stream:
    """A lackey trace cut into the start-up code's records, main's own, and
    the runs of records made outside main while main waits for a call."""

    def __init__(self, recs, lo, hi):
        self.recs = recs
        self.main = []  # per record: made by one of main's instructions
        self.insn = []  # per record: the instruction that made it
        watch = valgrind.Watch(lo, hi)
        for rec in recs:
            watch.see(rec)
            self.main.append(watch.inside)
            self.insn.append(watch.insn)
        check(any(self.main), "main never runs")
        self.entry = self.main.index(True)
        check(len(watch.moving) == ARRAYS,
              f"{len(watch.moving)} instructions read moving addresses, "
              f"want {ARRAYS} arrays")
        # Every array read in order, and each array-reading instruction's
        # array, numbered by its first read.
        self.reads = [n for n, (kind, _, _) in enumerate(recs)
                      if kind == "L" and self.main[n]
                      and self.insn[n] in watch.moving]
        self.array = {}
        for n in self.reads:
            self.array.setdefault(self.insn[n], len(self.array))
        check(len(self.reads) >= ARRAYS, "no whole step of array reads")
        # The first array read of every step.
        self.steps = self.reads[::ARRAYS]
        for s in range(len(self.steps)):
            step = self.reads[s * ARRAYS:(s + 1) * ARRAYS]
            got = [self.array[self.insn[m]] for m in step]
            check(len(step) < ARRAYS or got == list(range(ARRAYS)),
                  f"step {s} reads the arrays in the order {got}")

    def template(self, start, end, calls=None, literal_tail=False):
        """Records start..end as template entries; each run of records made
        outside main and returning into it becomes a call entry, its records
        appended to calls.  With literal_tail, a last run outside main that
        never returns (the exit path) stays as it is."""
        out = []
        reads = set(self.reads)
        n = start
        while n < end:
            if calls is not None and not self.main[n]:
                m = n
                while m < end and not self.main[m]:
                    m += 1
                if m < end or not literal_tail:
                    calls.append(self.recs[n:m])
                    out.append(("C",))
                    n = m
                    continue
            kind, addr, size = self.recs[n]
            if n in reads:
                out.append(("A", self.array[self.insn[n]], size))
            else:
                out.append((kind, addr, size, self.main[n]))
            n += 1
        return out


class Model:
    """What is learned of one run of a kernel."""

    def __init__(self, run):
        self.run = run
        self.lo, self.hi = valgrind.symbol(run.kernel, "main")


def first_passes(model):
    """Run A: the first passes, up to the first read of the pass after
    them; from it the head, a step within a pass, a pass's last step and
    the calls main makes."""
    want = LEARN_PASSES * STEPS * ARRAYS + 1
    watch = valgrind.Watch(model.lo, model.hi)

    def enough(rec):
        watch.see(rec)
        return watch.reads >= want

    a = Stream(valgrind.lackey(model.run, stop=enough), model.lo, model.hi)
    check(len(a.steps) > LEARN_PASSES * STEPS,
          f"the run ended after {len(a.steps)} steps")
    a.steps = a.steps[:LEARN_PASSES * STEPS + 1]
    model.a = a
    model.head = a.template(0, a.steps[0])
    calls = []
    body = boundary = None
    for t in range(LEARN_PASSES * STEPS):
        seg = a.template(a.steps[t], a.steps[t + 1], calls)
        last = (t + 1) % STEPS == 0
        known = boundary if last else body
        if known is None:
            if last:
                boundary = seg
            else:
                body = seg
        else:
            check(seg == known, f"step {t % STEPS} of pass {t // STEPS} "
                  "differs from the same step of the pass before")
    model.body, model.boundary = body, boundary
    model.calls = period(calls)


def pass_counter(model):
    """The pass counter: the one place main stores to at the end of a
    pass and never within one; and the prologue's instruction that first
    tests it."""
    def stores(seg):
        return {r[1] for r in seg if r[0] in "SM" and r[3]}
    counter = stores(model.boundary) - stores(model.body)
    check(len(counter) == 1, f"{len(counter)} candidates for the pass "
          "counter, want one")
    a = model.a
    model.counter = counter.pop()
    model.test = next((a.insn[n] for n in range(a.entry, a.steps[0])
                       if a.recs[n][0] in "LM"
                       and a.recs[n][1] == model.counter and a.main[n]),
                      None)
    check(model.test is not None, "the prologue never tests the pass counter")


def last_pass(model):
    """Run B: the pass counter set to the last pass as the loop starts,
    for the last step and the exit path."""
    poke = (model.test, model.counter, PASSES - 1)
    watch = valgrind.Watch(model.lo, model.hi)

    def too_long(rec):  # not one pass: no need to wait for 1000
        watch.see(rec)
        return watch.reads > STEPS * ARRAYS
    try:
        b = Stream(valgrind.lackey(model.run, stop=too_long, poke=poke),
                   model.lo, model.hi)
    except Mismatch:
        raise Mismatch(f"no whole pass once the pass counter was set to "
                       f"{PASSES - 1}: not {PASSES} passes") from None
    check(len(b.steps) == STEPS,
          f"{len(b.steps)} steps after the pass counter was set to "
          f"{PASSES - 1}, want {STEPS}: not {PASSES} passes")
    check(b.recs[:b.steps[0]] == model.a.recs[:model.a.steps[0]],
          "the run under gdb starts differently")
    model.b = b
    model.final = b.template(b.steps[-1], len(b.recs), [], literal_tail=True)


def text(model):
    """The model as the engine reads it (its grammar is in pattern.cpp)."""
    a = model.a
    kernel = KERNELS[model.run.name]
    frame = next(a.recs[n][1] for n in range(a.entry, len(a.recs))
                 if a.recs[n][0] != "I")
    stack = (frame - STACK_SPAN, frame + STACK_SPAN)
    reads = [a.recs[n][1] for n in a.reads[:ARRAYS]]
    out = [FORMAT, f"kernel {kernel.name}", f"arrays {ARRAYS}",
           f"length {kernel.length}", f"steps {STEPS}", f"passes {PASSES}",
           f"index {kernel.rule}",
           "reads " + " ".join(f"{r:x}" for r in reads),
           f"counter {model.counter:x} {model.test:x}"]

    def segment(label, entries):
        out.append(f"segment {label} {len(entries)}")
        for e in entries:
            if e[0] == "C":
                out.append("C 0 0 c")
            elif e[0] == "A":
                out.append(f"L {e[1]:x} {e[2]} am")
            else:
                kind, addr, size, main = e
                flags = ("s" if stack[0] <= addr < stack[1] else "") + \
                    ("m" if main else "")
                out.append(f"{kind} {addr:x} {size} {flags or '-'}")
    functions, sources = touched(model)
    for start, end, name in functions:
        out.append(f"function {start:x} {end:x} {name}")
    for start, end, file, line in sources:
        out.append(f"source {start:x} {end:x} {line} {file}")
    segment("head", model.head)
    segment("body", model.body)
    segment("boundary", model.boundary)
    segment("final", model.final)
    for k, call in enumerate(model.calls):
        segment(f"call{k}", [r + (False,) for r in call])
    return "\n".join(out) + "\n"


def touched(model):
    """The executable's functions, and the source lines from its line
    table, that the learned records' instructions lie in."""
    try:
        functions = symbols.functions(model.run.kernel)
        sources = lines.source_lines(model.run.kernel)
    except symbols.Error as e:
        raise Failure(f"{model.run.kernel}: {e}") from None
    insns = {rec[1] for seg in [model.head, model.body, model.boundary,
                                model.final, *model.calls]
             for rec in seg if rec[0] == "I"}
    return holding(functions, insns), holding(sources, insns)


def holding(table, addresses):
    """The entries of a table of address ranges, in address order, that
    hold one of the addresses."""
    starts = [entry[0] for entry in table]
    used = set()
    for a in addresses:
        k = bisect.bisect_right(starts, a) - 1
        if k >= 0 and a < table[k][1]:
            used.add(k)
    return [table[k] for k in sorted(used)]


def learn(run, starting=lambda: None):
    """The model of one run of a kernel binary, as text for the engine;
    and the records of the two runs it was learned from.  starting() is
    called once the binary looks like a kernel, before the slow part."""
    model = Model(run)
    starting()
    first_passes(model)
    pass_counter(model)
    last_pass(model)
    return text(model), model.a.recs, model.b.recs


def period(calls):
    """The calls made from the loop, one period of them: call k of the
    loop (counting from 0) makes the records of entry k % period."""
    if not calls:
        return []
    for p in range(1, len(calls) // 2 + 1):
        if all(calls[k] == calls[k + p] for k in range(len(calls) - p)):
            return calls[:p]
    raise Mismatch(f"the {len(calls)} calls from the loop never repeat")
