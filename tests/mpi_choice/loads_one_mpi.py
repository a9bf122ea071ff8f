#!/usr/bin/env python3
"""Checks that programs and libraries of the build load the MPI library of the
implementation the build was asked for, and never the other one, whatever
Debian's alternatives (mpicxx, libmpi.so) point at:

  loads_one_mpi.py <ldd> <mpich|openmpi> FILE...
"""

import re
import subprocess
import sys

# MPICH's library is libmpich.so.12, Open MPI's libmpi.so.40.
LIBRARY = {"mpich": r"libmpich\.so", "openmpi": r"libmpi\.so"}


def main(argv):
    if len(argv) < 3 or argv[1] not in LIBRARY:
        print("usage: loads_one_mpi.py <ldd> <mpich|openmpi> FILE...", file=sys.stderr)
        return 2
    ldd, expected, files = argv[0], argv[1], argv[2:]
    other = "openmpi" if expected == "mpich" else "mpich"
    problems = []
    for path in files:
        run = subprocess.run([ldd, path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
        if run.returncode != 0:
            problems.append(f"ldd {path} failed: {run.stdout}")
            continue
        if not re.search(LIBRARY[expected], run.stdout):
            problems.append(f"{path} does not load {expected}'s library")
        if re.search(LIBRARY[other], run.stdout):
            problems.append(f"{path} loads {other}'s library")
    if problems:
        print("loads_one_mpi:\n  " + "\n  ".join(problems))
        return 1
    print(f"loads_one_mpi: {len(files)} file(s) load {expected} only")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
