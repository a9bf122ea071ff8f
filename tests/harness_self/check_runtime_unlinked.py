#!/usr/bin/env python3
"""Checks that a shared library leaves the framework runtime to the program
that loads it: no NEEDED entry names the runtime, and each runtime symbol it
uses is undefined in it. With --runtime-library <path of a runtime>, also
checks that the library needs no symbol of that runtime beyond the listed
ones: a program bringing its own runtime defines only those.

  check_runtime_unlinked.py --library <path> --runtime <name> --readelf <readelf>
      --nm <nm> [--runtime-library <path>] SYMBOL...

A symbol without a parameter list matches any undefined symbol of that
(demangled, qualified) name; one with a parameter list must match exactly,
which tells the runtime's pow(Attribute const&, double) from libm's pow.
"""

import argparse
import re
import subprocess
import sys


def output_of(command):
    run = subprocess.run(command, capture_output=True, text=True, check=False)
    if run.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{run.stdout}{run.stderr}")
    return run.stdout


def symbols_of(nm_output, pattern):
    """The demangled names of nm's lines (blanks or an address, a type
    letter, a blank, the name)."""
    return [m.group(1) for m in (re.match(pattern, line) for line in nm_output.splitlines()) if m]


def bare(name):
    return name.split("(", 1)[0]


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ("--library", "--runtime", "--readelf", "--nm"):
        parser.add_argument(option, required=True)
    parser.add_argument("--runtime-library")
    parser.add_argument("symbols", nargs="*")
    args = parser.parse_args(argv)

    problems = []
    needed = re.findall(r"\(NEEDED\)[^\n]*", output_of([args.readelf, "-d", args.library]))
    print(f"{args.library} needs:")
    for entry in needed:
        print(f"  {entry}")
        if re.search(args.runtime, entry):
            problems.append(f"it links the runtime: {entry}")

    undefined = symbols_of(output_of([args.nm, "-D", "--undefined-only", "--demangle", args.library]),
                           r"^ *[A-Za-z] (.+)$")
    undefined_names = {bare(name) for name in undefined}
    for symbol in args.symbols:
        if symbol in (undefined if "(" in symbol else undefined_names):
            print(f"undefined, left to the program: {symbol}")
        else:
            problems.append(f"{symbol} is not an undefined symbol of it")

    if args.runtime_library:
        defined = symbols_of(output_of([args.nm, "-D", "--defined-only", "--demangle", args.runtime_library]),
                             r"^[0-9a-fA-F]* *[A-Za-z] (.+)$")
        # Used by the library and defined by the runtime: it must be listed,
        # by its full name or by its bare name.
        for name in defined:
            if name in undefined and name not in args.symbols and bare(name) not in args.symbols:
                problems.append(f"it needs {name} from the runtime, which a program's own runtime need not define")

    if problems:
        print(f"{args.library}:\n  " + "\n  ".join(problems))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
