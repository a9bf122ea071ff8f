#!/usr/bin/env python3
"""Checks the README's table of messages against the texts in the code.

Each row names the ids of its lines (constants of namespace virda_messages in
framework/messages.h, statistics/messages.h, reference_runtime/messages.h)
and quotes their texts; the texts of the plain constants, in the row's order,
must be the quoted ones to the letter, and every plain constant must have a
row. Ids of messages built from parts (a function of the same name) are
only checked to exist.

Usage: check_message_table.py [--root DIR]
Exit status 1 with one line per difference, else 0.
"""

import argparse
import os
import re
import sys

HEADERS = ("framework/messages.h", "statistics/messages.h", "reference_runtime/messages.h")


def constants(root):
    """(plain texts by id, ids of the message-building functions)."""
    texts, builders = {}, set()
    for header in HEADERS:
        with open(os.path.join(root, header), encoding="utf-8") as f:
            source = f.read()
        for m in re.finditer(r'constexpr const char\* (\w+) =\s*"((?:[^"\\]|\\.)*)";', source):
            texts[m.group(1)] = m.group(2).encode().decode("unicode_escape")
        builders.update(re.findall(r"^inline std::string (\w+)\(", source, re.M))
    return texts, builders


def rows(root):
    """(line number, ids, quoted texts) of every row of the messages table."""
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = lines.index("| id | message | when |")
    for number in range(start + 2, len(lines)):
        line = lines[number]
        if not line.startswith("|"):
            break
        cells = line.split(" | ")
        yield number + 1, re.findall(r"`([^`]+)`", cells[0]), re.findall(r"`([^`]+)`", cells[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    args = parser.parse_args()
    texts, builders = constants(args.root)
    problems, listed = [], set()
    for number, ids, quoted in rows(args.root):
        plain = [i for i in ids if i in texts and i not in
                 ("quantile_no_array", "quantile_no_elements", "quantile_not_over_comm")]
        for i in ids:
            listed.add(i)
            if i not in texts and i not in builders:
                problems.append(f"README.md:{number}: no message has the id {i}")
        if [texts[i] for i in plain] != quoted[:len(plain)]:
            problems.append(f"README.md:{number}: the row quotes {quoted[:len(plain)]}, the code says "
                            f"{[texts[i] for i in plain]}")
    problems += [f"README.md: no row for the message {i}" for i in sorted(set(texts) - listed)]
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
