"""The miss surface: main's D1 misses and the din trace's, as misses
gives them, for every cache of some line sizes, power-of-two set counts
and ways, each line size asked of its own engine process, two at a time.
"""
import threading
import time

from . import caches

HEAD = ("size", "ways", "line", "sets", "main_read_misses",
        "main_write_misses", "trace_read_misses", "trace_write_misses")
LINES = (32, 64, 128, 256)
SETS = (1, 16384)
WAYS = (1, 32)


MOST = 1 << 16  # caches in a surface


class TooMany(ValueError):
    pass


def geometries(lines, sets, ways):
    """Per line size, (size, ways, line) for each set count that is a power
    of two from sets[0] to sets[1] and each number of ways from ways[0] to
    ways[1], in that order; those cachegrind refuses (a cache of one line,
    or of 2 GiB or more) left out.  TooMany past MOST caches."""
    out, count = {}, 0
    for line in lines:
        out[line] = []
        for k in range(sets[1].bit_length()):
            if 1 << k < sets[0]:
                continue
            for w in range(ways[0], ways[1] + 1):
                g = ((1 << k) * w * line, w, line)
                try:
                    caches.geometry(caches.spelled(g))
                except caches.Refused:
                    if g[0] >= caches.LIMIT:
                        break  # and so is every cache of more ways
                    continue
                out[line].append(g)
                count += 1
                if count > MOST:
                    raise TooMany(f"more than {MOST} caches")
    return out


def rows(answers, run, by_line, n, shift, said=None):
    """The surface's rows, (size, ways, line, sets) and the four counts, in
    the order of by_line (geometries()), each line size's as soon as it and
    those before it are done.  said(text), if given, is told how far it has
    got once a second has gone by, and then as each line size is done.
    The threads are daemons, and the answers' end kills their engines, so
    that a signal stops it all at once."""
    start = time.monotonic()
    answers.store.model(run)  # learnt once, before the threads ask for it
    lines = [line for line, geos in by_line.items() if geos]
    todo = list(lines)
    got, failures, done = {}, [], []
    changed = threading.Condition()

    def tell(what):
        if said and time.monotonic() - start > 1:
            said(f"surface: {what}")

    def work():
        while True:
            with changed:
                if failures or not todo:
                    return
                line = todo.pop(0)
            try:
                counts = answers.misses(run, by_line[line], n, shift)
            except BaseException as e:  # the caller's to raise
                counts, failure = None, e
            with changed:
                if counts is None:
                    failures.append(failure)
                else:
                    got[line] = counts
                    done.append(line)
                    tell(f"{len(done)} of {len(lines)} line sizes done "
                         f"({line}-byte lines)")
                changed.notify_all()

    timer = threading.Timer(1, tell, [
        f"{sum(map(len, by_line.values()))} caches in {len(lines)} line "
        "sizes, two at a time"])
    timer.daemon = True
    timer.start()
    for _ in range(2):
        threading.Thread(target=work, daemon=True).start()
    try:
        for line in lines:
            with changed:
                changed.wait_for(lambda: line in got or failures)
                if failures:
                    raise failures[0]
                counts = got.pop(line)
            for g, c in zip(by_line[line], counts, strict=True):
                yield (g[0], g[1], g[2], g[0] // g[1] // g[2], *c)
    finally:
        timer.cancel()
