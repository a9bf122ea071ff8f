"""Tests of scripts/check_docs_site.py and scripts/doxygen_md_filter.py."""

import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zlib

import check_docs_site as site
import doxygen_md_filter as mdfilter

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def png(width, height, rows):
    """An 8-bit greyscale PNG whose row r is filled with rows(r)."""
    raw = b"".join(b"\0" + bytes([rows(r)]) * width for r in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class SiteTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.html = os.path.join(self.tmp.name, "html")

    def page(self, name, body):
        write(os.path.join(self.html, name), f"<html><body>{body}</body></html>")


class LinkCheck(SiteTestCase):
    def test_a_sound_site_has_no_faults(self):
        self.page("index.html", '<a href="classA.html#m1">m1</a> <a href="sub/p.html">p</a>'
                                '<img src="logo.png"/><a href="#top">top</a><a id="top"></a>'
                                '<a href="https://example.org/x.html">out</a><a href="#">bare</a>'
                                '<a href="javascript:void(0)">js</a><a href="mailto:a@b">mail</a>')
        self.page("classA.html", '<a name="m1"></a><a href="../html/index.html">up</a>')
        self.page("sub/p.html", '<div id="x"></div><a href="../classA.html#m1">a</a>')
        write(os.path.join(self.html, "logo.png"), "png")
        faults, checked = site.check_links(self.html)
        self.assertEqual(faults, [])
        self.assertEqual(checked, 6)  # the external, bare, javascript: and mailto: links are skipped

    def test_every_kind_of_broken_link_is_reported_with_its_page(self):
        self.page("index.html", '<a href="gone.html">1</a>\n<a href="classA.html#nothere">2</a>\n'
                                '<img src="img/missing.png">\n<script src="search.js"></script>\n'
                                '<a href="../../etc/passwd">5</a>\n<a href="#self">6</a>')
        self.page("classA.html", '<a name="m1"></a>')
        faults, _ = site.check_links(self.html)
        self.assertEqual(faults, [
            "index.html:1: link 'gone.html' names a missing file",
            "index.html:2: link 'classA.html#nothere' names an anchor its page does not define",
            "index.html:3: link 'img/missing.png' names a missing file",
            "index.html:4: link 'search.js' names a missing file",
            "index.html:5: link '../../etc/passwd' leaves the site",
            "index.html:6: link '#self' names an anchor its page does not define",
        ])

    def test_an_empty_site_fails(self):
        os.makedirs(self.html)
        faults, _ = site.check_links(self.html)
        self.assertEqual(len(faults), 1)
        self.assertIn("no HTML pages", faults[0])


class TagFile(unittest.TestCase):
    def setUp(self):
        with tempfile.NamedTemporaryFile("w", suffix=".tag", delete=False) as f:
            f.write(textwrap.dedent("""\
                <?xml version='1.0' encoding='UTF-8' standalone='yes' ?>
                <tagfile>
                  <compound kind="class"><name>Other</name><filename>classOther.html</filename>
                    <member kind="function"><name>histogram</name><anchorfile>classOther.html</anchorfile></member>
                  </compound>
                  <compound kind="class"><name>Attribute</name><filename>classAttribute.html</filename></compound>
                  <compound kind="file"><name>histogram.h</name><path>/src/statistics/</path>
                    <filename>histogram_8h.html</filename>
                    <member kind="function"><name>histogram</name><anchorfile>histogram_8h.html</anchorfile></member>
                  </compound>
                  <compound kind="file"><name>va.h</name><path>/src/framework/array/</path></compound>
                </tagfile>"""))
        self.addCleanup(os.unlink, f.name)
        self.tagfile = f.name

    def test_pages_come_from_the_class_and_the_free_function(self):
        self.assertEqual(site.tagged_pages(self.tagfile),
                         {"Attribute": "classAttribute.html", "histogram": "histogram_8h.html"})

    def test_a_header_without_a_page_is_named(self):
        headers = ["statistics/histogram.h", "framework/array/va.h", "statistics/mean.h", "array/va.h", "h.h"]
        self.assertEqual(site.undocumented_headers(self.tagfile, headers), ["statistics/mean.h", "h.h"])


class Screenshot(SiteTestCase):
    def shot(self, data):
        path = os.path.join(self.tmp.name, "shot.png")
        with open(path, "wb") as f:
            f.write(data)
        return site.png_faults(path)

    def test_a_rendered_page_passes(self):
        w, h = site.WINDOW
        self.assertEqual(self.shot(png(w, h, lambda r: 255 if r < h // 2 else 40)), [])

    def test_blank_wrong_size_corrupt_and_missing_screenshots_fail(self):
        w, h = site.WINDOW
        self.assertIn("single colour", self.shot(png(w, h, lambda r: 255))[0])
        self.assertIn("not 1280x1600", self.shot(png(w, 10, lambda r: r))[0])
        self.assertIn("not a PNG", self.shot(b"GIF89a" + bytes(40))[0])
        broken = bytearray(png(w, h, lambda r: r % 256))
        broken[60:80] = bytes(20)  # inside the compressed image data
        self.assertTrue(self.shot(bytes(broken)))
        self.assertIn("no screenshot", site.png_faults(os.path.join(self.tmp.name, "none.png"))[0])

    def fake_browser(self, status, stderr, picture):
        """A stand-in for Chromium: writes `picture` to --screenshot=, logs, exits."""
        script = os.path.join(self.tmp.name, "browser")
        picture_path = os.path.join(self.tmp.name, "picture.png")
        with open(picture_path, "wb") as f:
            f.write(picture)
        write(script, textwrap.dedent(f"""\
            #!/bin/sh
            for a in "$@"; do case "$a" in --screenshot=*) cp {picture_path} "${{a#--screenshot=}}";; esac; done
            printf '%s\\n' '{stderr}' >&2
            exit {status}
            """))
        os.chmod(script, 0o755)
        return script

    def render(self, status, stderr, picture):
        self.page("index.html", "x")
        out = os.path.join(self.tmp.name, "out.png")
        return site.render(self.fake_browser(status, stderr, picture), os.path.join(self.html, "index.html"), out)

    def test_rendering_faults_are_reported(self):
        w, h = site.WINDOW
        good = png(w, h, lambda r: r % 256)
        noise = "[1:2:ERROR:dbus/bus.cc:405] Failed to connect to the bus"
        self.assertEqual(self.render(0, noise, good), [])
        self.assertEqual(self.render(3, noise, good), ["Chromium exited with status 3"])
        self.assertEqual(self.render(0, '[1:1:INFO:CONSOLE:7] "Uncaught ReferenceError: f is not defined"', good),
                         ['"Uncaught ReferenceError: f is not defined"'])
        self.assertEqual(self.render(0, "[1:1:ERROR:headless_command_handler.cc:403] Page load failed: "
                                        "net::ERR_FILE_NOT_FOUND", good),
                         ["Page load failed: net::ERR_FILE_NOT_FOUND"])
        missing = site.render(os.path.join(self.tmp.name, "no-browser"), os.path.join(self.html, "index.html"),
                              os.path.join(self.tmp.name, "out.png"))
        self.assertIn("could not be started", missing[0])


class CommandLine(SiteTestCase):
    def run_checker(self, *args):
        return subprocess.run([sys.executable, os.path.join(SCRIPTS, "check_docs_site.py"), self.html, *args],
                              capture_output=True, text=True)

    def test_exit_status_follows_the_faults(self):
        self.page("index.html", '<a href="index.html">me</a>')
        self.assertEqual(self.run_checker("--no-render").returncode, 0)
        self.page("index.html", '<a href="gone.html">gone</a>')
        run = self.run_checker("--no-render")
        self.assertEqual(run.returncode, 1)
        self.assertIn("names a missing file", run.stdout)

    def test_a_missing_main_page_fails(self):
        self.page("other.html", "")
        run = self.run_checker("--no-render")
        self.assertEqual(run.returncode, 1)
        self.assertIn("main page", run.stdout)


class MarkdownFilter(unittest.TestCase):
    def test_slugs_follow_the_repository_browser(self):
        self.assertEqual(mdfilter.slug("Windows, the block cache and the finalize registry"),
                         "windows-the-block-cache-and-the-finalize-registry")
        self.assertEqual(mdfilter.slug("How to add ..."), "how-to-add-")
        self.assertEqual(mdfilter.slug("The `va<T>` array"), "the-vat-array")

    def test_headings_get_labels_and_section_links_become_references(self):
        text = textwrap.dedent("""\
            # Using it

            ## The framework runtime

            See [below](#the-framework-runtime), [design](design.md#row-distribution),
            [the README](../README.md#a-minimal-framework-program) and [the tool](virda-stats.md).

            ```sh
            ## not a heading [x](#not-a-link)
            ```
            ### Already labelled {#kept}
            """)
        self.assertEqual(mdfilter.filter_text(text, "/src/docs/using.md"), textwrap.dedent("""\
            # Using it

            ## The framework runtime {#using-the-framework-runtime}

            See [below](#using-the-framework-runtime), [design](#design-row-distribution),
            [the README](#readme-a-minimal-framework-program) and [the tool](virda-stats.md).

            ```sh
            ## not a heading [x](#not-a-link)
            ```
            ### Already labelled {#kept}
            """))

    def test_the_guides_of_this_project_only_link_to_headings_that_exist(self):
        root = os.path.join(SCRIPTS, "..")
        guides = {name: os.path.join(root, name) for name in
                  ("README.md", "docs/using.md", "docs/design.md", "docs/virda-stats.md")}
        labels, references = set(), []
        for name, path in guides.items():
            with open(path, encoding="utf-8") as f:
                filtered = mdfilter.filter_text(f.read(), path)
            labels.update(mdfilter.re.findall(r"\{#([\w-]+)\}", filtered))
            references += [(name, ref) for ref in mdfilter.re.findall(r"\]\(#([\w-]+)\)", filtered)]
        self.assertTrue(references)
        self.assertEqual([r for r in references if r[1] not in labels], [])


if __name__ == "__main__":
    unittest.main()
