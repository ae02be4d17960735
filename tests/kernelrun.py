#!/usr/bin/env python3
"""Watch a loadgrid kernel's run from outside, under Valgrind.

  kernelrun.py reads KERNEL [PASSES]   every read of the first passes (lackey)
  kernelrun.py counts KERNEL [dynamic] the whole run's counts (callgrind)
  kernelrun.py frames KERNEL KERNEL3   the third kernel's extra 8000 bytes

Nothing here knows an address: main's code comes from the symbol table
(as nm prints it), the arrays from the addresses that main's code reads.
Each run has an empty environment and a fresh folder of its own.  Exits 1
with the reason on the first fault found.
"""
import ctypes
import functools
import os
import subprocess
import sys
import tempfile

import lackey

PASSES = 1000
STEPS = 600
ARRAYS = 20
ELEM = 4


@functools.cache
def draws():
    """The C library's rand() % 600, from the state nobody seeded."""
    libc = ctypes.CDLL(None)
    libc.srand(1)
    return [libc.rand() % 600 for _ in range(PASSES * STEPS)]


# Each kernel's array length, the index its step t of the run reads, and
# whether each step calls rand first.
KERNELS = {
    "loadgrid1": (600, lambda t: t % STEPS, False),
    "loadgrid2": (600, lambda t: draws()[t], True),
    "loadgrid3": (1800, lambda t: 3 * (t % STEPS), False),
}


class Fault(Exception):
    pass


def check(ok, why):
    if not ok:
        raise Fault(why)


def kernel(path):
    name = os.path.basename(path)
    check(name in KERNELS, f"{name}: not a loadgrid kernel")
    return KERNELS[name]


class Trace:
    """The first passes of a kernel, as main's loads and stores."""

    def __init__(self, path, passes, args=()):
        self.len, self.index, self.random = kernel(path)
        lo, hi = lackey.function_range(path)
        self.passes = passes
        self.events = []  # (instruction, kind, address, size) made by main
        self.calls = []   # per event: times control left main since the last
        # Array reads are the loads whose address moves; stop once the
        # passes wanted are in.
        want = passes * STEPS * ARRAYS + ARRAYS
        watch = lackey.Watch(lo, hi)
        left = [0]

        def enough(rec):
            kind, addr, size = rec
            if kind == "I" and watch.inside and not lo <= addr < hi:
                left[0] += 1
            watch.see(rec)
            if kind != "I" and watch.inside:
                self.events.append((watch.insn, kind, addr, size))
                self.calls.append(left[0])
                left[0] = 0
            return watch.reads >= want

        with tempfile.TemporaryDirectory() as cwd:
            lackey.records(["valgrind"], [os.path.abspath(path), *args],
                           stop=enough, env={},
                           cwd=cwd)
        check(self.events, f"{path}: no trace of main")
        self.frame_top = self.events[0][2]  # main's first store: push %rbp

    def check_reads(self):
        """Every read of the first passes, against the kernel's index rule."""
        seen = {}
        for insn, kind, addr, _ in self.events:
            if kind == "L":
                seen.setdefault(insn, set()).add(addr)
        # Frame variables sit at one address; only array reads move.
        readers = {i for i, addrs in seen.items() if len(addrs) > 1}
        reads = [n for n, e in enumerate(self.events) if e[0] in readers]
        steps = self.passes * STEPS
        check(len(reads) >= steps * ARRAYS,
              f"{len(reads)} array reads in the trace, "
              f"want at least {steps * ARRAYS}")
        base = []
        total = None  # where the group sum lives
        last = -1
        for t in range(steps):
            i = self.index(t)
            step = reads[t * ARRAYS:(t + 1) * ARRAYS]
            where = f"pass {t // STEPS} step {t % STEPS}"
            for j, n in enumerate(step):
                addr, size = self.events[n][2:]
                check(size == ELEM, f"{where}: a {size}-byte read")
                if t == 0:
                    base.append(addr - ELEM * i)
                check(addr == base[j] + ELEM * i,
                      f"{where} read {j}: {addr:#x}, want array {j} "
                      f"index {i} at {base[j] + ELEM * i:#x}")
            # Four reads to a group, and each group's sum stored, to the one
            # same place, before the next group reads.
            for g in range(5):
                first, end = step[4 * g], step[4 * g + 3]
                nxt = step[4 * g + 4] if g < 4 else len(self.events)
                check(all(self.events[n][1] == "L"
                          for n in range(first, end)),
                      f"{where}: a store inside group {g}")
                stores = [n for n in range(end + 1, nxt)
                          if self.events[n][1] != "L"]
                check(stores, f"{where}: group {g} stores no sum")
                if total is None:
                    total = self.events[stores[0]][2]
                check(self.events[stores[0]][2] == total,
                      f"{where}: group {g} stores its sum elsewhere")
                check(g == 4 or len(stores) == 1,
                      f"{where}: {len(stores)} stores after group {g}")
            # Only rand runs outside main in the loop: once a step, before
            # the reads that use its index.
            mid = sum(self.calls[step[0] + 1:step[-1] + 1])
            check(mid == 0, f"{where}: main calls out in mid-step")
            if t:
                calls = sum(self.calls[last + 1:step[0] + 1])
                want = 1 if self.random else 0
                check(calls == want, f"{where}: main calls out {calls} "
                      f"times before the step's reads, want {want}")
            last = step[-1]
        size = ELEM * self.len
        for j in range(ARRAYS - 1):
            gap = base[j] - base[j + 1]
            check(size <= gap < size + 64,
                  f"array {j + 1} lies {gap} bytes below array {j}, "
                  f"want {size} plus alignment")
        lo, hi = base[-1], base[0] + size
        for insn, kind, addr, _ in self.events:
            check(kind == "S" or addr != total,
                  "main reads the group sum back: sums accumulate")
            check(kind == "L" or not lo <= addr < hi,
                  f"main stores into the arrays at {addr:#x}")
            check(insn in readers or not lo <= addr < hi,
                  f"a stray read of the arrays at {addr:#x}")
        check(hi <= self.frame_top, "arrays above main's frame")
        self.base = base
        self.readers = readers
        return steps

    def fixed_frame(self):
        """Bytes between main's first push and the top of array 0."""
        return self.frame_top - (self.base[0] + ELEM * self.len)


def callgrind(path, args=()):
    """Per-instruction counts of main, its calls, and the whole run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-instr=yes",
                        f"--callgrind-out-file={out}", path, *args],
                       check=True, capture_output=True)
        with open(out) as f:
            lines = f.read().splitlines()
    names = {}

    def name(ref):  # "(12) main" defines, "(12)" refers
        key, _, text = ref.partition(" ")
        if text:
            names[key] = text
        return names.get(key, key)

    counts, calls = {}, {}
    total = main_self = main_called = 0
    fn = cfn = None
    pos = 0
    pending = None
    for line in lines:
        if line.startswith("fn="):
            fn = name(line[3:])
        elif line.startswith("cfn="):
            cfn = name(line[4:])
        elif line.startswith("calls="):
            pending = int(line[6:].split()[0])
        elif line.startswith("totals:"):
            total = int(line.split()[1])
        elif line and line[0] in "0123456789+-*":
            f = line.split()
            p = f[0]
            if p.startswith("0x"):
                pos = int(p, 16)
            elif p[0] in "+-":
                pos += int(p)
            elif p != "*":
                pos = int(p)
            cost = int(f[-1])
            if pending is not None:  # inclusive cost of the call just named
                if fn == "main":
                    calls[cfn] = calls.get(cfn, 0) + pending
                    main_called += cost
                pending = None
            elif fn == "main":
                counts[pos] = counts.get(pos, 0) + cost
                main_self += cost
    return counts, calls, main_self + main_called, total


def cmd_reads(path, passes="3"):
    t = Trace(path, int(passes), args=("some", "arguments"))
    steps = t.check_reads()
    print(f"{os.path.basename(path)}: {steps} steps, {steps * ARRAYS} reads "
          f"checked; arrays {t.base[0]:#x} down to {t.base[-1]:#x}")


def cmd_counts(path, link="static"):
    t = Trace(path, 1)
    t.check_reads()
    counts, calls, inside, total = callgrind(path, args=("x", "y"))
    check(len(t.readers) == ARRAYS,
          f"{len(t.readers)} instructions read the arrays, want {ARRAYS}")
    for insn in sorted(t.readers):
        check(counts.get(insn) == PASSES * STEPS,
              f"the array read at {insn:#x} ran {counts.get(insn)} times, "
              f"want {PASSES * STEPS}")
    if link == "dynamic":  # the first call of rand goes through the binder
        calls = {f: n for f, n in calls.items()
                 if not f.startswith("_dl_runtime_resolve")}
    want = {"rand": PASSES * STEPS} if t.random else {}
    check(calls == want, f"main calls {calls}, want {want}")
    share = inside / total
    print(f"{os.path.basename(path)}: {PASSES * STEPS * ARRAYS} array reads; "
          f"{inside} of {total} instructions in main ({share:.4%})")
    # A dynamic link spends some 0.2% of the run in the loader.
    check(share >= 0.999 or link == "dynamic",
          f"only {share:.4%} of the run is in main")


def cmd_frames(path, path3):
    a, b = Trace(path, 1), Trace(path3, 1)
    a.check_reads()
    b.check_reads()
    extra = b.fixed_frame() - a.fixed_frame()
    print(f"fixed frames: {a.fixed_frame()} and {b.fixed_frame()} bytes")
    check(8000 <= extra < 8000 + 64,
          f"{os.path.basename(path3)}'s arrays lie {extra} bytes lower, "
          "want 8000 plus alignment")


if __name__ == "__main__":
    commands = {"reads": cmd_reads, "counts": cmd_counts,
                "frames": cmd_frames}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    try:
        commands[sys.argv[1]](*sys.argv[2:])
    except (Fault, AssertionError) as e:
        sys.exit(f"FAIL: {e}")
