"""Times shell commands in turn, round by round (A B C, A B C, ...), and
gives each one's wall time and its ratios to the last command and, where
there are more than two, to the first, taken round by round: where the
machine's speed drifts during the benchmark, it moves the times of one
round alike, and the median of the rounds' ratios stays.

usage: paired.py RUNS NAME COMMAND NAME COMMAND [NAME COMMAND ...]
  A first round, not counted, warms the caches.  Each command runs under
  sh, its output thrown away; one that fails stops the benchmark, with
  the end of what it wrote on its standard error.
"""
import statistics
import subprocess
import sys
import time


class Failure(Exception):
    pass


def timed(command):
    start = time.monotonic()
    done = subprocess.run(["sh", "-c", command], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    elapsed = time.monotonic() - start
    if done.returncode:
        said = done.stderr.decode(errors="replace").strip()[-2000:]
        how = (f"killed by signal {-done.returncode}" if done.returncode < 0
               else f"exit status {done.returncode}")
        raise Failure(f"{command}: {how}" + (f"\n{said}" if said else ""))
    return elapsed


def rounds(commands, runs):
    """Each command's wall times, in seconds, by round."""
    for command in commands:
        timed(command)
    times = [[] for _ in commands]
    for _ in range(runs):
        for k, command in enumerate(commands):
            times[k].append(timed(command))
    return times


def ratio(mine, theirs):
    """The median of the rounds' ratios, with their least and greatest."""
    ratios = [a / b for a, b in zip(mine, theirs)]
    return (f"{statistics.median(ratios):.3f} "
            f"({min(ratios):.3f} to {max(ratios):.3f})")


def table(names, times):
    against = [len(names) - 1] + ([0] if len(names) > 2 else [])
    lines = ["| Command | Median [ms] | Min [ms] | Max [ms] | " + " | ".join(
        f"/ `{names[k]}`, by round" for k in against) + " |",
        "|:---|---:|---:|---:|" + "---:|" * len(against)]
    for name, mine in zip(names, times):
        ms = [1000 * t for t in mine]
        lines.append(f"| `{name}` | {statistics.median(ms):.1f} | "
                     f"{min(ms):.1f} | {max(ms):.1f} | " + " | ".join(
                         ratio(mine, times[k]) for k in against) + " |")
    return "\n".join(lines)


def main(args):
    if len(args) < 5 or len(args) % 2 == 0 or not args[0].isdigit() \
            or int(args[0]) < 1:
        sys.exit(__doc__.split("\n\n")[1])
    names, commands = args[1::2], args[2::2]
    try:
        times = rounds(commands, int(args[0]))
    except Failure as e:
        sys.exit(f"paired.py: {e}")
    print(table(names, times))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
