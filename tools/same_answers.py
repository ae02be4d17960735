"""Two builds of loadgrid-model, asked the same commands on the same
kernels: do they answer alike, byte for byte?

    same_answers.py OLD NEW BUILD_DIR [--list]

BUILD_DIR holds the kernels (loadgrid1, 2 and 3); a -g build of each is
made here from the sources.  Each command runs through OLD and through NEW
from the same folder, in the same environment, with the same kernel
files; their standard output and status must be equal (a trace's output
by its SHA-256).  Where a command fails, both must fail with the same
status and a last line of stderr that starts "loadgrid-model: "; the
words may differ.  The repeat line of check names the program as it was
started, so the program's path is put in place of each's own.

It prints a line per command, "same" or "DIFFERENT" and why, then "N
commands, M differ"; status 1 if any differs.  Both programs keep their
models in one folder under /tmp, removed on leaving, on errors and
signals too.
"""
import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNELS = ("loadgrid1", "loadgrid2", "loadgrid3")


def commands(build, debug):
    """The commands, each a list of arguments, with a name for the
    kernel's path where it goes."""
    out = []
    for name in KERNELS:
        k = os.path.join(build, name)
        out += [
            ["misses", k, "--cache", "32k,8,64", "8k,1,32"],
            ["misses", k, "--cache", "32k,8,64", "--passes", "3"],
            ["misses", k, "--cache", "48k,12,64", "1m,16,64", "--stack-shift", "4096"],
            ["misses", k, "--cache", "32k,8,64", "--stack-shift", "-1024", "--passes", "2"],
            ["misses", k, "--cache", "32k,8,64", "24k,3,64", "--policy", "fifo"],
            ["misses", k, "--cache", "32k,8,64", "--policy", "plru", "--passes", "7"],
            ["misses", k, "--cache", "32k,8,64", "4k,4,32", "--policy", "random:7"],
            ["misses", k, "--cache", "32k,8,64", "--write", "through"],
            ["misses", k, "--cache", "32k,8,64", "2k,2,128", "--kinds"],
            ["misses", k, "--cache", "8k,2,32", "--policy", "fifo", "--write", "through",
             "--kinds", "--passes", "5"],
            ["trace", k, "--passes", "1"],
            ["trace", k, "--passes", "2", "--fetches", "--format", "lackey"],
            ["trace", k, "--passes", "1", "--low32", "--stack-shift", "32"],
            ["trace", k, "--passes", "1", "--fetches"],
            ["lab", k, "-s", "4", "-E", "2", "-b", "6", "--passes", "3"],
            ["lab", k, "-s", "2", "-E", "1", "-b", "5", "-v", "--passes", "1"],
            ["predict", k, "--passes", "2"],
            ["predict", k, "--I1", "16k,4,64", "--D1", "8k,2,32", "--LL", "1m,8,128"],
            ["surface", k, "--lines", "64", "--sets", "1-64", "--ways", "1-4", "--passes", "2"],
            ["surface", k, "--passes", "1"],
            ["misses", k, "--here", "--cache", "32k,8,64", "--passes", "2"],
            ["check", k, "--cache", "32k,8,64", "8k,1,32"],
        ]
    g1, g3 = debug["loadgrid1"], debug["loadgrid3"]
    k1 = os.path.join(build, "loadgrid1")
    out += [
        ["predict", g1, "--passes", "2"],
        ["predict", debug["clang"], "--passes", "1"],
        ["predict", g3, "--I1", "16384,4,64", "--D1", "8192,2,32", "--LL", "1048576,8,128"],
        ["misses", g3, "--cache", "32k,8,64", "--kinds", "--passes", "2"],
        ["check", g3, "--I1", "16384,4,64", "--D1", "8192,2,32", "--LL", "1048576,8,128"],
        ["check", k1],
        ["check", k1, "--cache", "32k,8,64", "--stack-shift", "256"],
        ["run", k1, "--", "sh", "-c", "echo $# ${0##*/} ${#0}"],
        ["run", k1, "--stack-shift", "64", "--", "sh", "-c", "echo $P | wc -c"],
        ["shift", k1],
        # Refused before anything runs: status 2.
        ["misses", k1],
        ["misses", k1, "--cache", "32k,8"],
        ["misses", k1, "--cache", "32k,3,64"],
        ["misses", k1, "--cache", "32k,8,64", "--policy", "mru"],
        ["trace", k1, "--passes", "0"],
        ["trace", k1, "--stack-shift", "8"],
        ["lab", k1, "-s", "30", "-E", "2", "-b", "6"],
        ["surface", k1, "--sets", "64-8"],
        ["surface", k1, "--lines", "48"],
        ["check", k1, "--cache", "32k,8,64", "--passes", "3"],
        ["frob", k1],
        # Failures: status 1.
        ["misses", os.path.join(build, "nothing", "loadgrid1"), "--cache", "32k,8,64"],
        ["misses", os.path.join(SOURCE, "README.md"), "--cache", "32k,8,64"],
        ["predict", k1, "--passes", "1", "-o", "/nonexistent/out"],
    ]
    return out


def ask(program, args, env, cwd):
    r = subprocess.run([program, *args], capture_output=True, env=env, cwd=cwd,
                       stdin=subprocess.DEVNULL)
    out = r.stdout.replace(program.encode(), b"PROGRAM")
    if args[0] == "trace":
        out = hashlib.sha256(out).hexdigest().encode()
    last = (r.stderr.decode(errors="replace").strip().splitlines() or [""])[-1]
    return r.returncode, out, last


def differs(old, new):
    """Why two answers differ, or None."""
    if old[0] != new[0]:
        return f"status {old[0]} against {new[0]}: {old[2]} / {new[2]}"
    if old[1] != new[1]:
        a, b = old[1].decode(errors="replace"), new[1].decode(errors="replace")
        for k, (x, y) in enumerate(zip(a.splitlines(), b.splitlines())):
            if x != y:
                return f"line {k + 1}: {x!r} against {y!r}"
        return f"{len(a)} against {len(b)} characters"
    if old[0] and not (old[2].startswith("loadgrid-model: ") and
                       new[2].startswith("loadgrid-model: ")):
        return f"stderr: {old[2]!r} / {new[2]!r}"
    return None


def debug_builds(tmp):
    """A -g build of each kernel, as the tests make one."""
    link = "-static" if subprocess.run(
        ["g++", "-static", "-x", "c++", "-", "-o", os.path.join(tmp, "t")],
        input=b"int main(){}", capture_output=True).returncode == 0 else "-no-pie"
    out = {}
    for name in KERNELS:
        folder = os.path.join(tmp, "debug")
        os.makedirs(folder, exist_ok=True)
        out[name] = os.path.join(folder, name)
        subprocess.run(["g++", "-O0", "-g", "-fno-pie", link, "-o", out[name],
                        os.path.join(SOURCE, "kernels", f"{name}.cpp")], check=True)
    # clang++ names the source in an index of its own, here by an absolute
    # path from another folder.
    folder = os.path.join(tmp, "clang")
    os.makedirs(folder)
    out["clang"] = os.path.join(folder, "loadgrid1")
    subprocess.run(["clang++", "-O0", "-g", "-fno-pie", link, "-o", out["clang"],
                    os.path.join(SOURCE, "kernels", "loadgrid1.cpp")], check=True,
                   cwd=folder)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("build")
    p.add_argument("--list", action="store_true", help="only list the commands")
    a = p.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tmp = tempfile.mkdtemp(prefix="same-answers.")
    try:
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "LOADGRID_MODEL_CACHE": os.path.join(tmp, "cache")}
        cmds = commands(os.path.abspath(a.build), debug_builds(tmp))
        differ = 0
        for args in cmds:
            shown = " ".join(args).replace(os.path.abspath(a.build) + "/", "")
            shown = shown.replace(tmp + "/", "")
            if a.list:
                print(shown)
                continue
            old = ask(os.path.abspath(a.old), args, env, tmp)
            new = ask(os.path.abspath(a.new), args, env, tmp)
            why = differs(old, new)
            differ += why is not None
            print(f"{'DIFFERENT' if why else 'same'}  {shown}" +
                  (f": {why}" if why else ""), flush=True)
        print(f"{len(cmds)} commands, {differ} differ")
        return 1 if differ else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
