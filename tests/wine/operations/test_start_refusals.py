#!/usr/bin/env python3
"""Start refuses, before anything runs, what must not run; each row is one
program session with a removable drive E: and a small real image.

No administrator rights: Wine grants them to every user, so the window
trace's hook makes the program's service-manager test fail as Windows fails
it for such a user (DROVELKIT_TRACE_NO_ADMIN). Each format option is then
refused with the status line telling the user to start Drovelkit as
administrator: no tool runs, the drive and the dropped file are left alone.
"None" needs no rights and still copies the image.

A replaced tool in the payload folder: after the listing has unpacked the
payload, another process of the user writes a different program over
bootice.exe (the recording stand-in). Start refuses to run it and says so;
the stand-in records no call and nothing is written. The next Start unpacks
the payload afresh and "None" copies as usual.

A user's own environment: WINDIR in HKCU\\Environment (which reaches an
elevated program too) names a folder of the user's with its own cmd.exe,
chkdsk.exe and taskkill.exe, and HKCU\\Software\\Microsoft\\Command
Processor holds an AutoRun command; all are the recording stand-in. A copy
runs the real interpreter and archiver; the stand-in records nothing.
"""

import os
import shutil

import ops
from ops import ID, is_show

NO_ADMIN = "==  To format, start Drovelkit as administrator"
REPLACED = "==  bootice.exe was changed after unpacking: not started"
OK = "Everything is Ok "


def tree_of(folder):
    return {path: size for path, size in ops.tree_listing(folder).items() if path != ".windows-label"}


class StartRow(ops.OperationsTestCase):
    """One session: drive E:, an image, a dropped file; helpers to start and
    to wait for the idle window."""

    session_name = None
    extra_env = {}
    tools = ("DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE", "DROVELKIT_BOOT_STANDIN")

    @classmethod
    def prepare(cls):
        """Changes to the prefix before the program starts."""

    @classmethod
    def setUpClass(cls):
        cls.open_session(cls.session_name, *cls.tools)
        s = cls.session
        try:
            s.set_dpi(96)
            cls.drive = s.configure_drives({"E": {"kind": "removable", "label": "STICK", "size_kib": 65536}})["E"]
            ops.write_text(os.path.join(cls.drive, "kept.txt"), "on the drive before\n")
            tree = s.work("image-tree")
            ops.write_random(os.path.join(tree, "sources", "boot.bin"), 300_000)
            ops.write_text(os.path.join(tree, "setup.txt"), "setup\n")
            cls.image = ops.make_iso(s.work("images", "small.iso"), tree, "SMALL")
            cls.dropped = s.work("dropped", "after.txt")
            ops.write_text(cls.dropped, "after\n")
            cls.record = s.work("boot-record.txt")
            s.env["DROVELKIT_BOOT_RECORD"] = s.windows_path_of(cls.record)
            s.env.update(cls.extra_env)
            cls.prepare()
            cls.program = s.start_traced()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def undo_setup(cls):
        for name in ["DROVELKIT_BOOT_RECORD"] + list(cls.extra_env):
            cls.session.env.pop(name, None)

    def take_image_and_file(self):
        self.take_image(self.image)
        self.drop_file(self.dropped)

    def start(self, option):
        """Clicks Start with |option| and waits for the idle window; returns
        the status lines the operation showed and the window at rest."""
        self.select_option(option)
        mark = self.trace.mark()
        code, _, err = self.s.probe("click", ID["StartButton"])
        self.assertEqual(code, 0, err)
        self.trace.wait_for(is_show(ID["StartButton"], False), since=mark, what="the operation starting")
        self.trace.wait_for(is_show(ID["StartButton"], True), since=mark, timeout=ops.OPERATION_TIMEOUT,
                            what="the window back to idle")
        done = self.s.settled_dump()
        return ops.Trace.texts(self.trace.since(mark), ID["StatusLine"]), done

    def assert_refused(self, option, want, picture):
        before = tree_of(self.drive)
        statuses, done = self.start(option)
        # Cleared by Start, then the refusal: no tool ran, none showed a verdict.
        self.assertEqual(statuses, ["", want], option)
        if picture:
            ops.screenshot(self.s, picture)
        self.assertEqual(self.ctl(done, "StatusLine")["text"], want)
        self.assertEqual(tree_of(self.drive), before, "the drive changed")
        self.assertTrue(self.ctl(done, "DraggedFilesNotice")["visible"], "the dropped file was used")

    def assert_none_copies(self):
        statuses, done = self.start("FormatNoneOption")
        self.assertIn(OK, statuses)
        # The drive keeps what it held before: only the image's files are compared.
        differences = [line for line in ops.trees_differ(self.image.tree, self.drive) if not line.startswith("extra ")]
        self.assertEqual(differences, [])
        self.assertTrue(os.path.isfile(os.path.join(self.drive, "after.txt")), "the dropped file was not copied")

    def boot_calls(self):
        try:
            with open(self.record, encoding="utf-8-sig") as f:
                return [line for line in f.read().splitlines() if line]
        except FileNotFoundError:
            return []


class NoAdministratorRights(StartRow):
    session_name = "no_admin"
    extra_env = {"DROVELKIT_TRACE_NO_ADMIN": "1"}

    def test_formatting_is_refused_and_none_still_copies(self):
        # Written by the hook right after its first line.
        changed = self.trace.wait_for(lambda r: r.what == "noadmin", what="the hook's service-manager change")
        self.assertGreaterEqual(changed.wparam, 1, "the program imports no OpenSCManagerW")
        self.take_image_and_file()
        for option, picture in (("FormatNtfsOption", "no-admin-refused"), ("FormatFatOption", None),
                                ("FormatExFatOption", None)):
            self.assert_refused(option, NO_ADMIN, picture)
        self.assert_none_copies()


class ReplacedTool(StartRow):
    session_name = "replaced_tool"

    def test_a_replaced_boot_tool_is_refused(self):
        s = self.s
        self.take_image_and_file()
        tool = os.path.join(s.payload_folder(), "bootice.exe")
        with open(tool, "rb") as f:
            unpacked = f.read()
        shutil.copy2(os.environ["DROVELKIT_BOOT_STANDIN"], tool)
        self.assert_refused("FormatNtfsOption", REPLACED, "replaced-tool-refused")
        self.assertEqual(self.boot_calls(), [], "the replaced boot tool ran")
        # The next operation unpacks afresh: the tool is the stored one again.
        self.assertFalse(os.path.exists(os.path.join(s.payload_folder(), ops.ARCHIVER)))
        self.assert_none_copies()
        with open(tool, "rb") as f:
            self.assertEqual(f.read(), unpacked, "bootice.exe was not unpacked again")


class UserEnvironmentIsNotTrusted(StartRow):
    session_name = "user_environment"
    tools = StartRow.tools + ("DROVELKIT_RECORD_ARGS",)
    user_key = "HKEY_CURRENT_USER\\Environment"
    interpreter_key = "HKEY_CURRENT_USER\\Software\\Microsoft\\Command Processor"

    @classmethod
    def prepare(cls):
        s = cls.session
        cls.planted_runs = s.work("planted-runs.txt")
        s.env["DROVELKIT_RECORD_FILE"] = s.windows_path_of(cls.planted_runs)
        cls.user_windows = os.path.join(s.paths.prefix, "drive_c", "userwin")
        for folder, name in (("System32", "cmd.exe"), ("Sysnative", "cmd.exe"), ("System32", "chkdsk.exe"),
                             ("System32", "taskkill.exe")):
            os.makedirs(os.path.join(cls.user_windows, folder), exist_ok=True)
            shutil.copy2(os.environ["DROVELKIT_RECORD_ARGS"], os.path.join(cls.user_windows, folder, name))
        s.import_registry({cls.user_key: {"WINDIR": "C:\\\\userwin"},
                           cls.interpreter_key: {"AutoRun": "C:\\\\userwin\\\\System32\\\\cmd.exe autorun"}})
        # The row proves something only if the planted WINDIR reaches a
        # program started now, and a start through it runs the stand-in.
        code, out, err = s.wine(["cmd", "/c", "%WINDIR%\\System32\\cmd.exe", "reached"])
        cls.reached = cls.planted_calls()
        if os.path.exists(cls.planted_runs):
            os.remove(cls.planted_runs)

    @classmethod
    def undo_setup(cls):
        super().undo_setup()
        cls.session.env.pop("DROVELKIT_RECORD_FILE", None)
        cls.session.delete_registry_value(cls.user_key, "WINDIR")
        cls.session.delete_registry_value(cls.interpreter_key, "AutoRun")
        shutil.rmtree(cls.user_windows, ignore_errors=True)

    @classmethod
    def planted_calls(cls):
        try:
            with open(cls.planted_runs, encoding="utf-8") as f:
                return [line for line in f.read().splitlines() if line]
        except FileNotFoundError:
            return []

    def test_neither_a_user_windir_nor_autorun_runs(self):
        self.assertEqual(len(self.reached), 1, f"the planted WINDIR does not reach programs: {self.reached}")
        self.assertIn("reached", self.reached[0])
        self.take_image_and_file()
        self.assert_none_copies()
        self.assertEqual(self.planted_calls(), [], "a program of the user's ran")


if __name__ == "__main__":
    ops.harness.run_tests(__name__)
