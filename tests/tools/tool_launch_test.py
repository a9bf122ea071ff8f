"""The command line the tool's scripts share: what the test registration
passes (an integer rank count, a launcher with its flag in one argument,
empty or quoted preflags) must give the same job command as before."""

import contextlib
import io
import sys
import unittest
from unittest import mock

from tool_launch import launcher, parse_tool_arguments


def parsed(argv, **kwargs):
    with mock.patch.object(sys, "argv", ["script"] + argv):
        return parse_tool_arguments(**kwargs)


class ToolLaunch(unittest.TestCase):
    def test_registered_command_line(self):
        a = parsed(["--tool", "/b/virda-stats", "--work", "/w/np3", "--ranks", "3",
                    "--launcher=/usr/bin/mpiexec.mpich -n", "--preflags="])
        self.assertEqual((a.tool, a.work, a.ranks), ("/b/virda-stats", "/w/np3", 3))
        self.assertEqual(launcher(a), ["/usr/bin/mpiexec.mpich", "-n", "3"])
        # A script's second job at another rank count; 0 is a count, not "unset".
        self.assertEqual(launcher(a, 1), ["/usr/bin/mpiexec.mpich", "-n", "1"])
        self.assertEqual(launcher(a, 0), ["/usr/bin/mpiexec.mpich", "-n", "0"])

    def test_defaults_and_quoted_preflags(self):
        a = parsed(["--tool", "t", "--work", "w", "--ranks", "2", "--preflags", "-genv A 'x y'"])
        self.assertEqual(launcher(a), ["mpiexec", "-n", "2", "-genv", "A", "x y"])

    def test_own_required_options(self):
        names = ("--tool", "--fit-error", "--file", "--ranks")
        a = parsed(["--tool", "t", "--fit-error", "f", "--file", "line.h5", "--ranks", "4"], required=names)
        self.assertEqual((a.fit_error, a.file, a.ranks), ("f", "line.h5", 4))
        self.assertFalse(hasattr(a, "work"))

    def test_refused_command_lines(self):
        for argv in (["--tool", "t", "--work", "w"],                     # no rank count
                     ["--tool", "t", "--work", "w", "--ranks", "two"]):  # not a count
            with self.subTest(argv=argv), contextlib.redirect_stderr(io.StringIO()):
                with self.assertRaises(SystemExit) as stop:
                    parsed(argv)
                self.assertEqual(stop.exception.code, 2)


if __name__ == "__main__":
    unittest.main()
