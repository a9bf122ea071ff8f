#!/usr/bin/python3
"""Checks that virda-stats gives the numbers that direct calls of the library
give on the same data, at one rank count.

    /usr/bin/python3 compare_with_library.py --tool TOOL --reference REFERENCE
        --work DIR --ranks N [--launcher "mpiexec -n"] [--preflags ...]

The reference program writes the test file and a list of cases (tool
arguments and the expected part of the tool's JSON output). Each case runs
the tool at the same rank count; every expected member must be in the output
with an equal value (numbers compared as doubles; NaN and the infinities are
the strings "NaN", "Infinity" and "-Infinity" in both). A case may also give
bounds (`within`: a member and, for each of its numbers, [lo, hi]) for
results that are checked against an equivalent but not identical
computation. Exit status 0 when every case agrees; each case prints a line.
"""
import json
import os
import shutil
import subprocess
import sys

from tool_launch import launcher, parse_tool_arguments


def differences(want, got, where):
    """What differs between the expected and the actual JSON value at `where`."""
    if got is None and want is not None:
        return [f"{where}: missing from the output"]
    if type(want) is not type(got) and not (isinstance(want, (int, float)) and isinstance(got, (int, float))):
        return [f"{where}: expected {want!r}, got {got!r}"]
    if isinstance(want, dict):
        return [d for key, value in want.items() for d in differences(value, got.get(key), f"{where}.{key}")]
    if isinstance(want, list):
        if len(want) != len(got):
            return [f"{where}: expected {len(want)} entries, got {len(got)}"]
        return [d for i, (w, g) in enumerate(zip(want, got)) for d in differences(w, g, f"{where}.{i}")]
    if isinstance(want, (int, float)):
        return [] if float(want) == float(got) else [f"{where}: expected {want!r}, got {got!r}"]
    return [] if want == got else [f"{where}: expected {want!r}, got {got!r}"]


def outside(within, output):
    """The numbers of `output` outside the bounds `within` gives."""
    found = []
    for key, bounds in within.items():
        got = output.get(key)
        if not isinstance(got, list) or len(got) != len(bounds):
            found.append(f"{key}: expected {len(bounds)} numbers")
            continue
        for j, ((lo, hi), value) in enumerate(zip(bounds, got)):
            # A string ("NaN") is neither less nor greater than a number.
            if not isinstance(value, (int, float)) or not lo <= value <= hi:
                found.append(f"{key}.{j}: expected within [{lo}, {hi}], got {value!r}")
    return found


def main():
    a = parse_tool_arguments(("--tool", "--reference", "--work", "--ranks"))
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    data, expected_file = os.path.join(a.work, "data.h5"), os.path.join(a.work, "expected.json")
    launch = launcher(a)
    run = subprocess.run(launch + [a.reference, data, expected_file], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"the reference program failed ({run.returncode}):\n{run.stdout}{run.stderr}")
    with open(expected_file) as f:
        cases = json.load(f)["cases"]
    failed = 0
    for case in cases:
        args = case["args"]
        run = subprocess.run(launch + [a.tool, data] + args + ["--format", "json"], capture_output=True, text=True)
        if run.returncode != 0:
            problems = [f"exit status {run.returncode}: {run.stderr}"]
        else:
            try:
                output = json.loads(run.stdout)
            except ValueError as e:
                output, problems = None, [f"the output is not JSON ({e}):\n{run.stdout}"]
            if output is not None:
                problems = [d for key, value in case["expect"].items()
                            for d in differences(value, output.get(key), key)]
                problems += outside(case.get("within", {}), output)
        shown = " ".join(args)
        if problems:
            failed += 1
            print(f"FAIL  virda-stats {shown}" + "".join(f"\n  {d}" for d in problems), flush=True)
        else:
            print(f"ok    virda-stats {shown}", flush=True)
    if failed:
        sys.exit(f"{failed} of {len(cases)} cases differ from the library at {a.ranks} ranks")
    print(f"all {len(cases)} cases equal the library at {a.ranks} ranks")


if __name__ == "__main__":
    main()
