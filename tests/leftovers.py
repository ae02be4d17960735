"""What the suite leaves in /tmp: the command's run folders, the tools'
folders and Valgrind's gdb-server pipes, this user's.

  leftovers.py record FILE   notes those there now
  leftovers.py check FILE    fails naming each one there now and not noted

CTest runs record before every other test and check after them all.
"""
import os
import sys

PREFIXES = ("loadgrid-model.", "loadgrid-vg.", "vgdb-pipe-")


def mine():
    names = set()
    for name in os.listdir("/tmp"):
        try:
            owner = os.lstat(os.path.join("/tmp", name)).st_uid
        except FileNotFoundError:  # gone since listed
            continue
        if name.startswith(PREFIXES) and owner == os.getuid():
            names.add(name)
    return names


def main(what, file):
    if what == "record":
        with open(file, "w") as f:
            f.writelines(name + "\n" for name in sorted(mine()))
        return 0
    with open(file) as f:
        before = set(f.read().split())
    left = sorted(mine() - before)
    for name in left:
        print(f"left in /tmp: {name}")
    return 1 if left else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("record", "check"):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
