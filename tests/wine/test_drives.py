#!/usr/bin/env python3
"""The drive list: which Wine drives appear, in what order, and how each line
is written; and what "Show all drives" adds.

The drives are Wine drive letters on folders of the build tree. Where a drive
needs an exact size it is a tmpfs of that size (as root); Wine reports a
folder-backed drive's size as that of the file system holding the folder.
"""

import os
import unittest

import harness
from controls import BY_NAME
from harness import control

COMBO = BY_NAME["DriveCombo"].id
SHOW_ALL = BY_NAME["ShowAllDrivesCheck"].id

# letter: (kind, label or None, size in KiB or None for a folder on disk)
DRIVES = {
    "E": ("removable", "WINPE", 7634944),
    "F": ("fixed", "FIXED", 1000000),
    "G": ("removable", "ABCDEFGHIJKL", 996),
    "H": ("removable", None, 1000),
    "I": ("removable", "ABCDEFGHIJK", 1953513472),
    "K": ("removable", "HOSTDIR", None),
}

# The lines for the drives of known size, written out by hand: label and
# size fill 29 columns, long labels keep 5 + "..." + 5 characters, sizes are
# grouped with "." (at most two of them).
EXACT_LINES = {
    "E": "E:\\ [WINPE]" + " " * 13 + "7.634.944 Kb",
    "F": "F:\\ [FIXED]" + " " * 13 + "1.000.000 Kb",
    "G": "G:\\ [ABCDE...HIJKL]" + " " * 11 + "996 Kb",
    "H": "H:\\ []" + " " * 22 + "1.000 Kb",
    "I": "I:\\ [ABCDEFGHIJK]" + " " * 4 + "1953.513.472 Kb",
}

# Folder-backed drives when tmpfs can't be mounted (not root).
FALLBACK_DRIVES = {
    "E": ("removable", "WINPE", None),
    "F": ("fixed", "FIXED", None),
    "G": ("removable", "ABCDEFGHIJKL", None),
    "H": ("removable", None, None),
}


def drive_line(letter, label, size_kib):
    """The expected line for a drive whose size is only known at run time."""
    text = label or ""
    if len(text) > 11:
        text = text[:5] + "..." + text[-5:]
    text = "[" + text + "]"
    size = str(size_kib)
    if size_kib > 999:
        size = size[:-3] + "." + size[-3:]
    if size_kib > 999999:
        size = size[:-7] + "." + size[-7:]
    return f"{letter}:\\ {text.ljust(29 - len(size))}{size} Kb"


def folder_kib(folder):
    st = os.statvfs(folder)
    return st.f_blocks * st.f_frsize // 1024


class DriveList(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.session = harness.Session()
        try:
            cls.session.set_dpi(96)
            cls.exact_sizes = True
            try:
                cls.folders = cls.session.configure_drives(cls.drive_settings(DRIVES))
                cls.drives = DRIVES
            except harness.HarnessError as error:
                if "mount" not in str(error):
                    raise
                print(f"no tmpfs drives ({error}); using folder-backed drives of unknown size")
                cls.exact_sizes = False
                cls.folders = cls.session.configure_drives(cls.drive_settings(FALLBACK_DRIVES))
                cls.drives = FALLBACK_DRIVES
            cls.program = cls.session.start_program()
            cls.session.settled_dump()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        cls.session.clear_drives()

    @staticmethod
    def drive_settings(drives):
        return {letter: {"kind": kind, "label": label, "size_kib": size}
                for letter, (kind, label, size) in drives.items()}

    def expected_line(self, letter):
        if letter == "Z":
            # Wine's own drive on the host's root folder, unlabelled.
            return drive_line("Z", "", folder_kib("/"))
        kind, label, size = self.drives[letter]
        if size is not None:
            return EXACT_LINES[letter]
        return drive_line(letter, label, folder_kib(self.folders[letter]))

    def expected_lines(self, show_all):
        letters = [l for l, (kind, _, _) in self.drives.items() if show_all or kind == "removable"]
        if show_all:
            letters.append("Z")
        return [self.expected_line(l) for l in sorted(letters)]

    def set_show_all(self, on):
        dump = self.session.dump()
        if control(dump, SHOW_ALL)["check"] != int(on):
            self.session.probe("click", SHOW_ALL)
        want = self.expected_lines(on)
        dump, _ = self.session.wait_until(
            lambda d: control(d, SHOW_ALL)["check"] == int(on) and control(d, COMBO)["items"] == want)
        return dump

    def assert_list(self, dump, want):
        combo = control(dump, COMBO)
        got = combo["items"]
        self.assertEqual(got, want, "drive lines differ:\n" + "\n".join(
            f"  want {w!r}\n  got  {g!r}" for w, g in zip(want + [None] * len(got), got + [None] * len(want))
            if w != g))
        self.assertEqual(combo["cursel"], 0, "the first line is not selected")
        self.assertEqual(combo["text"], want[0])

    def test_line_format_table(self):
        # The helper that computes lines for drives of run-time size must
        # agree with the hand-written lines.
        for letter, line in EXACT_LINES.items():
            _, label, size = DRIVES[letter]
            with self.subTest(drive=letter):
                self.assertEqual(drive_line(letter, label, size), line)

    def test_wine_reports_the_drives_as_configured(self):
        # What the list is built from; if Wine answered otherwise, the
        # expectations below would be wrong, not the program.
        for letter, (kind, label, size) in self.drives.items():
            with self.subTest(drive=letter):
                volume = self.session.volume(letter + ":\\")
                self.assertEqual(volume["real_drive_type"], 2 if kind == "removable" else 3)
                self.assertTrue(volume["volume_ok"])
                self.assertEqual(volume["label"], label or "")
                want_kib = size if size is not None else folder_kib(self.folders[letter])
                self.assertEqual(volume["total_bytes"] // 1024, want_kib)

    def test_removable_drives_listed(self):
        # C: is never listed; the fixed F: and Z: only with "Show all".
        dump = self.set_show_all(False)
        self.assert_list(dump, self.expected_lines(False))

    def test_show_all_adds_fixed_drives_but_not_c(self):
        try:
            dump = self.set_show_all(True)
            self.assert_list(dump, self.expected_lines(True))
            self.assertFalse([l for l in control(dump, COMBO)["items"] if l.startswith("C:")])
            self.session.probe("dropdown", COMBO)
            self.session.wait_until(lambda d: True, timeout=1)
            self.session.screenshot("drive-list-all")
            self.session.probe("dropup", COMBO)
        finally:
            dump = self.set_show_all(False)
        self.assert_list(dump, self.expected_lines(False))

    def test_refresh_selects_first_line_again(self):
        self.set_show_all(False)
        self.session.probe("select", COMBO, 2)
        dump, held = self.session.wait_until(lambda d: control(d, COMBO)["cursel"] == 2)
        self.assertTrue(held, "could not select the third line")
        try:
            dump = self.set_show_all(True)
            self.assertEqual(control(dump, COMBO)["cursel"], 0)
        finally:
            dump = self.set_show_all(False)
        self.assertEqual(control(dump, COMBO)["cursel"], 0)

    def test_plugging_a_drive_in_and_out(self):
        # Wine's mount manager takes a drive letter while everything runs, as
        # Windows takes a stick, but tells no window about it; the probe
        # sends the notice Windows would send.
        self.set_show_all(False)
        folder = os.path.join(self.session.paths.drives, "d")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, ".windows-label"), "w") as f:
            f.write("PLUGGED\n")
        plugged = drive_line("D", "PLUGGED", folder_kib(folder))
        before = self.expected_lines(False)
        self.session.probe("select", COMBO, 1)
        self.session.wait_until(lambda d: control(d, COMBO)["cursel"] == 1)
        code, out, err = self.session.probe("define-drive", "D", "removable", folder)
        self.assertEqual(code, harness.PROBE_OK, err)
        try:
            # A notice that names no drive changes nothing.
            self.session.probe("device-change", "nodes", "D")
            dump = self.session.dump()
            self.assertEqual((control(dump, COMBO)["items"], control(dump, COMBO)["cursel"]), (before, 1))

            self.session.probe("device-change", "arrival", "D")
            dump, _ = self.session.wait_until(lambda d: control(d, COMBO)["items"] == [plugged] + before)
            self.assert_list(dump, [plugged] + before)
            self.session.probe("select", COMBO, 2)
            self.session.wait_until(lambda d: control(d, COMBO)["cursel"] == 2)
        finally:
            self.session.probe("define-drive", "D", "none", "-")
        self.session.probe("device-change", "removal", "D")
        dump, _ = self.session.wait_until(lambda d: control(d, COMBO)["items"] == before)
        self.assert_list(dump, before)

    def test_size_boundaries(self):
        if not self.exact_sizes:
            self.skipTest("tmpfs drives of exact size could not be mounted")
        items = control(self.set_show_all(True), COMBO)["items"]
        try:
            for letter in ("G", "H", "F", "I"):
                with self.subTest(drive=letter):
                    self.assertIn(EXACT_LINES[letter], items)
        finally:
            self.set_show_all(False)


if __name__ == "__main__":
    harness.run_tests(__name__)
