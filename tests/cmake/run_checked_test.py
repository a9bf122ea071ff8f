"""Tests of run_checked.py: the verdicts it gives on commands whose ending is known."""

import os
import subprocess
import sys
import unittest

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_checked.py")


def verdict(*args):
    """The runner's exit status and output for a shell snippet run by it."""
    words = list(args[:-1]) + ["RUN", "/bin/sh", "-c", args[-1]]
    run = subprocess.run([sys.executable, RUNNER] + words, capture_output=True, text=True, check=False)
    return run.returncode, run.stdout + run.stderr


class RunCheckedTestCase(unittest.TestCase):
    def test_exit_status(self):
        self.assertEqual(verdict("EXIT", "3", "exit 3")[0], 0)
        self.assertEqual(verdict("EXIT", "1", "3", "exit 3")[0], 0)
        status, output = verdict("EXIT", "0", "exit 3")
        self.assertEqual(status, 1)
        self.assertIn("exit status 3, expected 0", output)
        # Without EXIT the command must fail; a success is a fault.
        self.assertEqual(verdict("exit 2")[0], 0)
        self.assertIn("the command succeeded", verdict("true")[1])
        # A process ended by a signal is named by it, never taken for a status.
        self.assertEqual(verdict("EXIT", "Segmentation fault", "kill -SEGV $$")[0], 0)
        self.assertEqual(verdict("EXIT", "11", "kill -SEGV $$")[0], 1)

    def test_expected_and_rejected_output(self):
        # Standard output and error together; "." also matches a newline.
        self.assertEqual(verdict("EXIT", "0", "EXPECT", "first.a b.second", "echo first; echo 'a b' >&2; echo second")[0], 0)
        status, output = verdict("EXIT", "0", "EXPECT", "absent", "echo present")
        self.assertEqual(status, 1)
        self.assertIn("no output matches 'absent'", output)
        self.assertEqual(verdict("EXIT", "0", "REJECT", "Segmentation|signal", "echo signal 11")[0], 1)
        # A keyword after RUN belongs to the command.
        self.assertEqual(verdict("EXIT", "0", "EXPECT", "EXIT", "echo EXIT")[0], 0)

    def test_one_error_line_from_the_program(self):
        self.assertEqual(verdict("EXIT", "1", "ERRORS_FROM", "tool", "echo 'tool: error: x'; exit 1")[0], 0)
        self.assertIn("2 error messages", verdict("EXIT", "1", "ERRORS_FROM", "tool",
                                                  "echo 'tool: error: x'; echo 'tool: error: x'; exit 1")[1])
        self.assertIn("0 error messages", verdict("EXIT", "1", "ERRORS_FROM", "tool", "exit 1")[1])
        self.assertIn("an error message in a successful run",
                      verdict("EXIT", "0", "ERRORS_FROM", "tool", "echo 'tool: error: x'")[1])

    def test_skip_needs_the_status_and_the_word(self):
        status, output = verdict("NAME", "job", "SKIP_STATUS", "77", "EXIT", "0", "echo 'skipped: no mount'; exit 77")
        self.assertEqual(status, 0)
        self.assertIn("job: skipped", output)
        self.assertEqual(verdict("SKIP_STATUS", "77", "EXIT", "0", "exit 77")[0], 1)


if __name__ == "__main__":
    unittest.main()
