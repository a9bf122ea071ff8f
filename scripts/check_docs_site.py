#!/usr/bin/python3
"""Checks the generated API reference the way a reader meets it.

  check_docs_site.py HTML_DIR [--tagfile FILE [--headers H...]]
                     [--no-render | --render-only] [--chromium PATH]
                     [--screenshots DIR]

Links: every HTML page of the site is parsed; every link, image, script and
style sheet that points inside the site must name a file that exists, and a
link with a fragment (page.html#anchor) must name an id or anchor name that
the target page defines. Links to other sites are not followed (no network).

Pages: the main page, the page of class Attribute and the page that documents
the function histogram must exist (the last two are looked up in Doxygen's tag
file, so the check does not depend on how Doxygen names its files). Every header
named with --headers must have a page of its own: Doxygen silently leaves out
a header without a file comment, and with it every free function it declares.

Rendering: headless Chromium renders each of those pages to a PNG. A page
fails when Chromium exits non-zero, reports that the page did not load, logs
a message from the page's scripts (an uncaught exception, a console error),
or leaves no PNG of the window's size with more than one colour in it.

Exits 0 when everything holds, 1 with one line per fault otherwise.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib
from html.parser import HTMLParser
from urllib.parse import unquote, urlsplit

# Attributes that make the browser fetch or navigate to another file.
LINK_ATTRIBUTES = {
    "a": "href",
    "area": "href",
    "link": "href",
    "img": "src",
    "script": "src",
    "iframe": "src",
    "object": "data",
}
WINDOW = (1280, 1600)


class PageParser(HTMLParser):
    """Collects the anchors a page defines and the links it makes."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.anchors = set()
        self.links = []  # (line, url)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("id", "name") if tag in ("a", "area") else ("id",):
            if attrs.get(name):
                self.anchors.add(attrs[name])
        wanted = LINK_ATTRIBUTES.get(tag)
        if wanted and attrs.get(wanted):
            self.links.append((self.getpos()[0], attrs[wanted]))

    handle_startendtag = handle_starttag


def parse_page(path):
    parser = PageParser()
    with open(path, encoding="utf-8", errors="replace") as f:
        parser.feed(f.read())
    parser.close()
    return parser


def check_links(html_dir):
    """Faults of the internal links of every page under html_dir."""
    html_dir = os.path.realpath(html_dir)
    pages = {}
    for root, _, files in os.walk(html_dir):
        for name in files:
            if name.endswith((".html", ".htm", ".xhtml")):
                path = os.path.join(root, name)
                pages[path] = parse_page(path)
    faults = []
    if not pages:
        return [f"{html_dir}: no HTML pages"], 0
    checked = 0
    for page, parsed in sorted(pages.items()):
        for line, url in parsed.links:
            parts = urlsplit(url)
            if parts.scheme or parts.netloc or url.startswith("#") and not parts.fragment:
                continue  # another site, mailto:, javascript:, or a bare '#'
            checked += 1
            where = f"{os.path.relpath(page, html_dir)}:{line}"
            if parts.path:
                target = os.path.realpath(os.path.join(os.path.dirname(page), unquote(parts.path)))
            else:
                target = page
            if os.path.commonpath([target, html_dir]) != html_dir:
                faults.append(f"{where}: link '{url}' leaves the site")
                continue
            if not os.path.isfile(target):
                faults.append(f"{where}: link '{url}' names a missing file")
                continue
            if parts.fragment:
                anchors = pages[target].anchors if target in pages else None
                if anchors is not None and unquote(parts.fragment) not in anchors:
                    faults.append(f"{where}: link '{url}' names an anchor its page does not define")
    return faults, checked


def tagged_pages(tagfile):
    """The pages of class Attribute and of the function histogram, from the tag file."""
    tree = ET.parse(tagfile)
    found = {}
    for compound in tree.getroot().iter("compound"):
        kind, name = compound.get("kind"), compound.findtext("name")
        if kind == "class" and name == "Attribute":
            found["Attribute"] = compound.findtext("filename")
        for member in compound.iter("member"):
            if member.get("kind") == "function" and member.findtext("name") == "histogram" \
                    and kind in ("file", "namespace"):
                found["histogram"] = member.findtext("anchorfile")
    return found


def undocumented_headers(tagfile, headers):
    """The headers (paths ending as given) that have no file page in the tag file."""
    documented = []
    for compound in ET.parse(tagfile).getroot().iter("compound"):
        if compound.get("kind") == "file":
            documented.append("/" + (compound.findtext("path") or "").strip("/") + "/" + compound.findtext("name"))
    return [h for h in headers if not any(d.endswith("/" + h.lstrip("/")) for d in documented)]


def png_faults(path):
    """Why the PNG at path is not a rendered page of the window's size, or []."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        return [f"no screenshot ({e.strerror})"]
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return ["the screenshot is not a PNG"]
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    if (width, height) != WINDOW:
        return [f"the screenshot is {width}x{height}, not {WINDOW[0]}x{WINDOW[1]}"]
    idat, pos = b"", 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    try:
        pixels = zlib.decompress(idat)
    except zlib.error:
        return ["the screenshot's image data is corrupt"]
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour, 1)
    stride = 1 + width * channels * depth // 8
    rows = {pixels[r * stride + 1:(r + 1) * stride] for r in range(0, height, 8)}
    if len(rows) < 2:
        return ["the screenshot is a single colour (nothing rendered)"]
    return []


def render(chromium, page, png):
    """Faults of rendering page into png with headless Chromium."""
    profile = tempfile.mkdtemp(prefix="virda-chromium-")
    try:
        # Root has no sandbox; the profile is thrown away with the directory.
        run = subprocess.run(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--no-first-run", f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0",
             f"--window-size={WINDOW[0]},{WINDOW[1]}", f"--screenshot={png}",
             "file://" + os.path.realpath(page)],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return ["Chromium did not finish within 120 s"]
    except OSError as e:
        return [f"Chromium could not be started ({chromium}: {e.strerror})"]
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    faults = []
    if run.returncode != 0:
        faults.append(f"Chromium exited with status {run.returncode}")
    for line in run.stderr.splitlines():
        if "Page load failed" in line or ":CONSOLE" in line:
            faults.append(line.split("] ", 1)[-1])
    return faults + png_faults(png)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("html_dir")
    ap.add_argument("--tagfile", help="Doxygen tag file (GENERATE_TAGFILE) of the site")
    ap.add_argument("--headers", nargs="*", default=[], help="headers that must each have a page")
    ap.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    ap.add_argument("--screenshots", help="where the PNGs go (default: a temporary directory)")
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--no-render", action="store_true", help="check pages and links only")
    mode.add_argument("--render-only", action="store_true", help="check pages and rendering only")
    args = ap.parse_args()

    faults = []
    index = os.path.join(args.html_dir, "index.html")
    pages = {"main page": index}
    if args.tagfile:
        try:
            tagged = tagged_pages(args.tagfile)
            faults += [f"{h} has no page (no file comment?)"
                       for h in undocumented_headers(args.tagfile, args.headers)]
        except (OSError, ET.ParseError) as e:
            print(f"check_docs_site: cannot read the tag file: {e}")
            return 1
        for name in ("Attribute", "histogram"):
            if name not in tagged:
                faults.append(f"no page documents {name}")
            else:
                pages[name] = os.path.join(args.html_dir, tagged[name])
    for name, page in pages.items():
        if not os.path.isfile(page):
            faults.append(f"{name}: page {page} is missing")

    if not args.render_only:
        link_faults, checked = check_links(args.html_dir)
        faults += link_faults
        print(f"check_docs_site: {checked} internal links checked, {len(link_faults)} broken")

    if not args.no_render and not faults:
        out = args.screenshots or tempfile.mkdtemp(prefix="virda-docs-png-")
        os.makedirs(out, exist_ok=True)
        for name, page in pages.items():
            png = os.path.join(out, re.sub(r"\W+", "_", name) + ".png")
            page_faults = render(args.chromium, page, png)
            faults += [f"{name} ({os.path.basename(page)}): {f}" for f in page_faults]
            if not page_faults:
                print(f"check_docs_site: rendered {os.path.basename(page)} to {png}")

    for fault in faults:
        print(f"check_docs_site: {fault}")
    print(f"check_docs_site: {'FAILED' if faults else 'passed'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
