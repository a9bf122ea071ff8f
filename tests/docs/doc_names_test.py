"""Tests of scripts/check_doc_names.py on small trees made by the test."""

import os
import tempfile
import unittest

import check_doc_names as names


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class CodeNamesTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name
        write(os.path.join(self.root, "lib", "widget.h"), "namespace ns { struct widget_store; int makeWidget(); }\n")
        write(os.path.join(self.root, "tests", "include", "helpers", "probe.h"), "\n")
        # A build tree inside the source tree is not the source.
        write(os.path.join(self.root, "build", "CMakeCache.txt"), "\n")
        write(os.path.join(self.root, "build", "generated.h"), "int built_only_name;\n")

    def missing(self, text, allowed=()):
        page = os.path.join(self.root, "docs", "page.md")
        write(page, text)
        return names.check([page], names.Tree(self.root, exclude=set()), set(allowed))

    def test_names_of_the_tree_pass(self):
        self.assertEqual(self.missing(
            "`lib/widget.h`, `widget.h`, `lib/`, `ns::widget_store`, `makeWidget()`, `widget_store<T>`,\n"
            "an include path `helpers/probe.h`, and words that are not code names: `sum`, `x + y`,\n"
            "`--min-lines 4`, `numpy.average`, `va_*_impl.h`.\n"), [])

    def test_missing_files_and_identifiers_are_reported_with_their_line(self):
        found = self.missing("intro\n`lib/gone.h` and `ns::no_such_name`\n`gone_name()` `sprocket.cpp`\n")
        self.assertEqual([line.split("docs/page.md:")[1] for line in found],
                         ["2: file lib/gone.h", "2: name ns::no_such_name", "3: name gone_name",
                          "3: file sprocket.cpp"])

    def test_build_trees_and_fenced_blocks_are_not_looked_at(self):
        self.assertEqual(len(self.missing("`built_only_name` `build/generated.h`\n")), 2)
        self.assertEqual(self.missing("```\n`not_checked_here`\n```\n"), [])

    def test_allow_list_covers_names_folders_and_namespaces(self):
        text = "`numpy_thing` `other/dir/file.h` `boost::bad_get`\n"
        self.assertEqual(len(self.missing(text)), 3)
        self.assertEqual(self.missing(text, ["numpy_thing", "other/", "boost"]), [])

    def test_allow_list_file_skips_comments(self):
        path = os.path.join(self.root, "allowed.txt")
        write(path, "# not ours\nmpi.h  # MPI's header\n\nbuild-docs/\n")
        self.assertEqual(names.read_allow_list(path), {"mpi.h", "build-docs/"})


if __name__ == "__main__":
    unittest.main()
