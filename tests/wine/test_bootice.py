#!/usr/bin/env python3
"""bootice.exe under Wine: every command form ends at once with one line on
standard error and a non-zero exit code, and leaves drive E: as it was.

Wine answers the disk control calls with stubs. A fixed drive is a second
partition of disk 0 beside C: (the "D: beside C:" of a real system disk); a
removable drive is disk 1 of its own, which the guard clears only once the
prefix records a boot partition as Windows setup does; the tool then takes
the lock and fails at the dismount, which Wine does not support.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness

FORMS = {
    "partitions": ["/partitions", "/repartition", "/activate", "/usb-hdd", "/fstype=fat32", "/quiet"],
    "mbr": ["/mbr", "/install", "/type=nt60", "/quiet"],
    "pbr": ["/pbr", "/install", "/type=bootmgr", "/activate", "/quiet"],
}

# Exit codes of bootice.exe (Disk_win32.h).
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_REFUSED = 3

# A bound for a tool that hangs (a lock retried, input awaited); a passing
# run ends long before it.
RUN_TIMEOUT = 30

SETUP_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\Setup"


def folder_state(folder):
    """{relative path: (size, sha256, mtime_ns)} of every file below |folder|."""
    state = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            st = os.stat(path)
            state[os.path.relpath(path, folder)] = (st.st_size, digest, st.st_mtime_ns)
    return state


class BootTool(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.session = harness.Session()
        # Where the copy operation runs it: the payload folder on C:.
        folder = os.path.join(cls.session.paths.prefix, "drive_c", "bootice-test")
        os.makedirs(folder, exist_ok=True)
        shutil.copy2(os.environ["DROVELKIT_BOOTICE"], os.path.join(folder, "bootice.exe"))
        cls.tool = r"C:\bootice-test\bootice.exe"

    @classmethod
    def tearDownClass(cls):
        cls.forget_boot_partition()
        cls.session.clear_drives()
        cls.session.close()

    @classmethod
    def forget_boot_partition(cls):
        cls.session.wine(["reg", "delete", SETUP_KEY.replace("HKEY_LOCAL_MACHINE", "HKLM"),
                          "/v", "SystemPartition", "/f", "/reg:64"])

    def use_drive_e(self, kind):
        """Drive E: of |kind| holding two files; returns its folder."""
        try:
            folders = self.session.configure_drives({"E": {"kind": kind, "label": "STICK", "size_kib": 8192}})
        except harness.HarnessError as error:
            if "mount" not in str(error):
                raise
            folders = self.session.configure_drives({"E": {"kind": kind, "label": "STICK"}})
        folder = folders["E"]
        with open(os.path.join(folder, "keep.txt"), "w") as f:
            f.write("the tool must leave this alone\n")
        os.makedirs(os.path.join(folder, "boot"))
        with open(os.path.join(folder, "boot", "bootmgr"), "wb") as f:
            f.write(os.urandom(4096))
        return folder

    def run_tool(self, arguments):
        """Runs bootice.exe with its standard input a pipe that stays open,
        so a tool that waited for input would hang. Returns (code, out, err)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen([harness.WINE, self.tool] + arguments, env=self.session.env,
                                    stdin=subprocess.PIPE, stdout=out, stderr=err)
            started = time.monotonic()
            try:
                code = proc.wait(timeout=RUN_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                self.fail(f"bootice {' '.join(arguments)} did not end within {RUN_TIMEOUT} s")
            finally:
                proc.stdin.close()
            harness.log(f"bootice {' '.join(arguments)}: code {code} after {time.monotonic() - started:.1f} s")
            out.seek(0)
            err.seek(0)
            return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")

    def assert_every_form_fails(self, folder, code_wanted, *words):
        before = folder_state(folder)
        for name, switches in FORMS.items():
            with self.subTest(form=name):
                code, out, err = self.run_tool(["/device=E:"] + switches)
                self.assertEqual(code, code_wanted, err)
                lines = [line for line in err.replace("\r\n", "\n").split("\n") if line]
                self.assertEqual(len(lines), 1, f"expected one line on standard error, got {err!r}")
                self.assertTrue(lines[0].startswith("bootice: "), lines[0])
                for word in words:
                    self.assertIn(word, lines[0])
                self.assertEqual(out, "")
        self.assertEqual(folder_state(folder), before, "E: changed")

    def test_fixed_drive_beside_c_is_refused_as_the_system_disk(self):
        folder = self.use_drive_e("fixed")
        self.assert_every_form_fails(folder, EXIT_REFUSED,
                                     "refused: E: is on disk 0 (C:, E:), which holds the Windows folder")

    def test_removable_drive_is_refused_while_the_boot_partition_is_unknown(self):
        self.forget_boot_partition()
        folder = self.use_drive_e("removable")
        self.assert_every_form_fails(folder, EXIT_REFUSED, "cannot tell which disk holds the boot volume")

    def test_removable_drive_cleared_by_the_guard_fails_at_the_first_read(self):
        folder = self.use_drive_e("removable")
        # What Windows setup records; in Wine it is C:'s volume, on disk 0.
        self.session.import_registry({SETUP_KEY: {"SystemPartition": r"\\Device\\HarddiskVolume1"}})
        try:
            # Wine's lock succeeds (a locked volume may be written; /mbr needs
            # no lock at all), and its disk answers no read: nothing is written.
            self.assert_every_form_fails(folder, EXIT_FAILED, "cannot read the disk at sector 0", "(error 1)")
        finally:
            self.forget_boot_partition()

    def test_malformed_command_is_refused_before_any_disk_call(self):
        for arguments, words in (
                (["/device=E:", "/mbr", "/install", "/type=nt60", "/quiet", "/format"], ()),
                (["/device=stick.img"] + FORMS["mbr"], ("drive letter",))):
            with self.subTest(arguments=arguments):
                code, out, err = self.run_tool(arguments)
                self.assertEqual(code, EXIT_USAGE, err)
                lines = [line for line in err.splitlines() if line]
                self.assertEqual(len(lines), 1, err)
                for word in words:
                    self.assertIn(word, lines[0])
                self.assertEqual(out, "")


def main():
    tool = os.environ.get("DROVELKIT_BOOTICE")
    if not tool or not os.path.isfile(tool):
        print(f"SKIP: bootice.exe is missing: {tool}")
        sys.exit(harness.SKIP_CODE)
    try:
        harness.Session()
    except harness.HarnessError as error:
        print(f"SKIP: {error}")
        sys.exit(harness.SKIP_CODE)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(BootTool)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
