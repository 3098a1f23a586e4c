#!/usr/bin/env python3
"""One copy per executable file name: a second start under the same name ends
at once with code 0 and leaves the first alone; under another name both run."""

import unittest

import harness
from harness import MAIN_CLASS


def main_windows(session):
    return [w for w in session.probe_json("windows") if w["class"] == MAIN_CLASS]


class SingleInstance(unittest.TestCase):

    def setUp(self):
        self.session = harness.Session()
        self.session.set_dpi(96)
        self.first = self.session.start_program("drovelkit.exe")
        self.before = self.session.settled_dump(exe="drovelkit.exe")

    def tearDown(self):
        self.session.close()

    def assert_first_untouched(self):
        self.assertTrue(self.first.running(), "the first copy ended")
        windows = main_windows(self.session)
        self.assertEqual(len(windows), 1, f"main windows: {windows}")
        self.assertEqual(self.session.dump(exe="drovelkit.exe"), self.before)

    def test_same_file_started_again(self):
        second = self.session.start_program("drovelkit.exe", wait=False)
        self.assertEqual(second.wait_exit(), 0)
        self.assert_first_untouched()

    def test_same_file_name_in_another_folder(self):
        # The name alone counts, not the path.
        second = self.session.start_program("drovelkit.exe", folder="elsewhere", wait=False)
        self.assertEqual(second.wait_exit(), 0)
        self.assert_first_untouched()

    def test_other_file_name_runs_beside(self):
        second = self.session.start_program("drovelkit-copy.exe")
        windows = main_windows(self.session)
        self.assertEqual(sorted(w["exe"].lower() for w in windows), ["drovelkit-copy.exe", "drovelkit.exe"])
        self.assertEqual(len({w["pid"] for w in windows}), 2)
        self.assertTrue(self.first.running())
        # Each closes by itself, with code 0, and leaves the other running.
        self.assertEqual(self.session.close_program(second), 0)
        self.assertTrue(self.first.running())
        self.assertEqual(self.session.close_program(self.first), 0)


if __name__ == "__main__":
    harness.run_tests(__name__)
