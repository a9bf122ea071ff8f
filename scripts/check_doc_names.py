#!/usr/bin/env python3
"""Checks that the code names a page quotes exist in the source tree.

Every span in single backticks outside fenced blocks is looked at once:
  - a file path (it has a slash or ends in a source or document suffix) must
    name a file or folder of the tree, from the tree's top or from the page's
    own folder; a bare file name must be the name of some file of the tree;
  - a C++ identifier (a name with an underscore or a capital inside it, or a
    qualified name a::b) must occur as a whole word in some source file.
Other spans (command lines, numbers, expressions, plain words) are skipped,
and so are the names in the allow-list: names that belong to NumPy, MPI,
Boost, the build tools and so on, or to build trees rather than sources.

Usage: check_doc_names.py [--root DIR] [--allow FILE] PAGE...
Exit status 1 with one line per missing name (page:line: name), else 0.
"""

import argparse
import os
import re
import sys

SUFFIXES = (".h", ".cpp", ".py", ".cmake", ".sh", ".md", ".tsv", ".txt", ".yml", ".in")
SOURCE_SUFFIXES = (".h", ".cpp", ".c", ".py", ".cmake", ".sh", ".tsv", ".in")
SOURCE_NAMES = ("CMakeLists.txt",)
SKIP_DIRS = {".git", "__pycache__"}
IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_~][A-Za-z0-9_]*)*$")
PATH = re.compile(r"^[A-Za-z0-9_.][A-Za-z0-9_./-]*$")


def spans(text):
    """(line number, span) for each backticked span outside fenced blocks."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            continue
        for match in re.finditer(r"(?<!`)`([^`\n]+)`(?!`)", line):
            yield number, match.group(1).strip()


def classify(span):
    """('path', p), ('identifier', name) or (None, None) for a span."""
    if any(c.isspace() for c in span) or "*" in span or span.startswith("-"):
        return None, None
    if PATH.match(span) and ("/" in span or span.endswith(SUFFIXES)) and "::" not in span:
        return "path", span
    # A call or a template names the identifier before its brackets.
    name = re.split(r"[(<\[]", span, maxsplit=1)[0]
    if not IDENTIFIER.match(name):
        return None, None
    last = name.split("::")[-1]
    if "::" in name or "_" in last.strip("_") or re.search(r"[a-z][A-Z]", last):
        return "identifier", name
    return None, None


class Tree:
    """The files of the source tree, their names and the words of the sources."""

    def __init__(self, root, exclude):
        self.root = root
        self.basenames = set()
        self.paths = set()
        self.folders = set()
        self.words = set()
        for top, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if d not in SKIP_DIRS
                       and os.path.join(top, d) not in exclude
                       and not os.path.exists(os.path.join(top, d, "CMakeCache.txt"))]
            for d in dirs:
                folder = os.path.relpath(os.path.join(top, d), root).replace(os.sep, "/")
                self.folders.add(folder)
                self.basenames.add(d)
            for name in files:
                self.basenames.add(name)
                self.paths.add(os.path.relpath(os.path.join(top, name), root).replace(os.sep, "/"))
                if name.endswith(SOURCE_SUFFIXES) or name in SOURCE_NAMES:
                    with open(os.path.join(top, name), encoding="utf-8", errors="replace") as f:
                        self.words.update(re.findall(r"[A-Za-z_~][A-Za-z0-9_]*", f.read()))

    def has_path(self, path, page_dir):
        bare = path.rstrip("/")
        if "/" not in bare:
            return bare in self.basenames or bare in self.folders
        from_page = os.path.relpath(os.path.join(page_dir, bare), self.root).replace(os.sep, "/")
        if {bare, from_page} & (self.paths | self.folders):
            return True
        # An include path names a file below one of the include folders.
        return any(p.endswith("/" + bare) for p in self.paths)

    def has_identifier(self, name):
        return all(part in self.words for part in name.split("::") if part)


def read_allow_list(path):
    names = set()
    if path:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    names.add(line)
    return names


def is_allowed(name, allowed):
    """Whether a name, its namespace or a folder it lies in is allowed."""
    return (name in allowed or name.split("::")[0] in allowed
            or any(name.startswith(a) for a in allowed if a.endswith("/")))


def check(pages, tree, allowed):
    """The missing names as 'page:line: name' lines."""
    missing = []
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        page_dir = os.path.dirname(os.path.abspath(page))
        for number, span in spans(text):
            kind, name = classify(span)
            if kind is None or is_allowed(name, allowed):
                continue
            if kind == "path" and not tree.has_path(name, page_dir):
                missing.append(f"{page}:{number}: file {name}")
            elif kind == "identifier" and not tree.has_identifier(name):
                missing.append(f"{page}:{number}: name {name}")
    return missing


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--allow", help="a file of names that are not ours, one a line")
    parser.add_argument("pages", nargs="+")
    args = parser.parse_args(argv)
    root = os.path.abspath(args.root)
    tree = Tree(root, exclude=set())
    missing = check(args.pages, tree, read_allow_list(args.allow))
    for line in missing:
        print(line)
    if missing:
        print(f"{len(missing)} code name(s) in the pages name nothing in {root}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
