#!/usr/bin/env python3
"""Runs a command and checks how it ended.

  run_checked.py [NAME <name>] [EXIT <status>...] [EXPECT <regex>...]
                 [REJECT <regex>...] [ERRORS_FROM <program>] [SKIP_STATUS <status>]
                 RUN <command> [<arg>...]

Passes when the command exits with exactly <status> (one of them, when several
are given; a status may be a signal's name, "Segmentation fault") or, without
EXIT, with any status but 0 (a command meant to fail); its output (standard
output and error together) matches every EXPECT regex and no REJECT regex
(searched anywhere; "." also matches a newline). A job that hung and was ended
by MPIEXEC_TIMEOUT exits 255 (MPICH) or 110 (Open MPI), which no expected
status equals. With ERRORS_FROM, a failure must print "<program>: error:"
exactly once (only rank 0 reports) and a success never. With SKIP_STATUS, a
command that exits with that status and says "skipped:" could not set itself
up here; the script then prints "<name>: skipped" (for CTest's
SKIP_REGULAR_EXPRESSION). <name> prefixes this script's lines ("run_checked"
unless given). The command's output is echoed for the test log.
"""

import re
import signal
import subprocess
import sys

KEYWORDS = ("NAME", "EXIT", "EXPECT", "REJECT", "ERRORS_FROM", "SKIP_STATUS")


def parse(words):
    """Keyword lists; RUN takes every word after it, keywords included."""
    args = {k: [] for k in KEYWORDS + ("RUN",)}
    slot = None
    for i, word in enumerate(words):
        if word == "RUN":
            args["RUN"] = words[i + 1:]
            break
        if word in KEYWORDS:
            slot = word
        elif slot:
            args[slot].append(word)
        else:
            raise SystemExit(f"run_checked: unexpected argument '{word}'")
    return args


def status_text(returncode):
    """The exit status, or the signal's name for a process a signal ended."""
    if returncode < 0:
        return signal.strsignal(-returncode) or f"signal {-returncode}"
    return str(returncode)


def problems_of(args, status, output):
    problems = []
    if not args["EXIT"]:
        if status == "0":
            problems.append("the command succeeded")
    elif status not in args["EXIT"]:
        problems.append(f"exit status {status}, expected {' or '.join(args['EXIT'])}")
    for regex in args["EXPECT"]:
        if not re.search(regex, output, re.DOTALL):
            problems.append(f"no output matches '{regex}'")
    for regex in args["REJECT"]:
        if re.search(regex, output, re.DOTALL):
            problems.append(f"the output matches '{regex}', which it must not")
    for program in args["ERRORS_FROM"]:
        count = output.count(f"{program}: error:")
        if status != "0" and count != 1:
            problems.append(f"{count} error messages, expected exactly one")
        if status == "0" and count > 0:
            problems.append("an error message in a successful run")
    return problems


def main(words):
    args = parse(words)
    name = args["NAME"][0] if args["NAME"] else "run_checked"
    if not args["RUN"]:
        print(f"{name}: no RUN command given", file=sys.stderr)
        return 2
    run = subprocess.run(args["RUN"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    output = run.stdout.decode("utf-8", errors="replace")
    status = status_text(run.returncode)
    sys.stdout.buffer.write(run.stdout + b"\n")
    sys.stdout.flush()
    print(f"{name}: exit status {status}", flush=True)
    if args["SKIP_STATUS"] and status == args["SKIP_STATUS"][0] and "skipped:" in output:
        print(f"{name}: skipped")
        return 0
    problems = problems_of(args, status, output)
    if problems:
        print(f"{name}: the command did not end as expected:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1
    print(f"{name}: ended as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
