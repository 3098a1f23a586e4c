#!/usr/bin/env python3
"""Closing the idle window ends the program with exit code 0, whether the
close request is posted to the window or comes from its close box."""

import unittest

import harness
from harness import MAIN_CLASS


class CloseWhenIdle(unittest.TestCase):

    def setUp(self):
        self.session = harness.Session()
        self.session.set_dpi(96)
        self.program = self.session.start_program()
        self.session.settled_dump()

    def tearDown(self):
        self.session.close()

    def assert_ends_with_zero(self, request):
        code, _, err = self.session.probe(request)
        self.assertEqual(code, harness.PROBE_OK, err)
        self.assertEqual(self.program.wait_exit(), 0)
        self.assertEqual(self.session.probe("wait-gone", MAIN_CLASS, 5000)[0], harness.PROBE_OK,
                         "the window outlived its process")

    def test_close_message(self):
        self.assert_ends_with_zero("close")

    def test_close_box(self):
        # What the close box and Alt+F4 send: WM_SYSCOMMAND with SC_CLOSE.
        self.assert_ends_with_zero("sysclose")


if __name__ == "__main__":
    harness.run_tests(__name__)
