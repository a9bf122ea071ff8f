#!/usr/bin/python3
"""Doxygen input filter for the Markdown guides (FILTER_PATTERNS *.md).

The guides link to sections the way a repository browser resolves them:
`[text](design.md#some-heading)` or `[text](#some-heading)`, where the anchor
is the heading's text in lower case, punctuation dropped, blanks as hyphens.
Doxygen gives headings anchors of its own, so such links would point nowhere
in the generated site. This filter gives every heading an explicit label made
of the page's name and that anchor (`{#design-some-heading}`) and rewrites the
section links into references to those labels (`[text](#design-some-heading)`,
which Doxygen resolves across pages, and reports when it cannot). Page
titles (level-1 headings), links to a whole page and code blocks are left
alone.

Usage (by Doxygen): doxygen_md_filter.py FILE  -> the filtered text on stdout.
"""

import os
import re
import sys

HEADING = re.compile(r"^(#{1,6})[ \t]+(.+?)[ \t]*$")
SECTION_LINK = re.compile(r"\]\(([^()\s#]*\.md)?#([^()\s]+)\)")


def page_key(path):
    """The label prefix of a guide: its file name without extension, lower case."""
    return os.path.splitext(os.path.basename(path))[0].lower()


def slug(heading):
    """The anchor a repository browser gives a heading."""
    text = re.sub(r"`([^`]*)`", r"\1", heading).strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def filter_text(text, path):
    key = page_key(path)
    out, fence = [], None
    for line in text.splitlines(keepends=True):
        stripped = line.lstrip()
        if stripped.startswith(("```", "~~~")):
            marker = stripped[:3]
            fence = None if fence == marker else (fence or marker)
            out.append(line)
            continue
        if fence:
            out.append(line)
            continue
        heading = HEADING.match(line.rstrip("\n"))
        # A level-1 heading is the page's title, which Doxygen names itself.
        if heading and len(heading.group(1)) > 1 and not heading.group(2).endswith("}"):
            line = f"{heading.group(1)} {heading.group(2)} {{#{key}-{slug(heading.group(2))}}}\n"
        line = SECTION_LINK.sub(
            lambda m: f"](#{page_key(m.group(1)) if m.group(1) else key}-{m.group(2)})", line)
        out.append(line)
    return "".join(out)


def main():
    path = sys.argv[1]
    with open(path, encoding="utf-8") as f:
        sys.stdout.write(filter_text(f.read(), path))


if __name__ == "__main__":
    main()
