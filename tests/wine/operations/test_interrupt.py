#!/usr/bin/env python3
"""Escape during a copy: the program stops its archiver with taskkill while
showing "==  Please wait ...", then opens the box "Operation is
interrupted!" titled "Error !!!" 45 and 80 units from the window's corner;
after Ok the window shows Start again and "==  Operation is interrupted!",
and no archiver process is left. The request holds until the operation has
ended: with "None" selected too, the dropped files are not copied after it.
Escape with no copy running changes nothing.

Wine's own taskkill rejects the /t switch that the program passes (it knows
only /f, /im and /pid), so a stand-in that accepts Windows' switches and
records how it was called takes its place in the prefix for this test and
is removed again afterwards. The archiver is held from outside
(ops.ToolGate) and let on in slices, so that it is still busy when Escape is
pressed.
"""

import os
import shutil

import ops
from controls import WS_CAPTION, WS_SYSMENU
from ops import ID, is_text

STOP_WAIT_S = 120
VK_ESCAPE = 0x1B
WS_EX_TOOLWINDOW = 0x80
# A flat area has a grey-level spread of 0; "Ok" on a button about 0.05.
DRAWN_CONTRAST = 0.02


class EscapeDuringCopy(ops.OperationsTestCase):

    @classmethod
    def setUpClass(cls):
        cls.open_session("interrupt", "DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE", "DROVELKIT_TASKKILL_STANDIN")
        cls.replaced = []
        s = cls.session
        try:
            s.set_dpi(96)
            cls.drive = s.configure_drives({"E": {"kind": "removable", "label": "STICK", "size_kib": 196608}})["E"]
            cls.install_taskkill_standin()
            cls.taskkill_record = s.work("taskkill.txt")
            s.env["DROVELKIT_TASKKILL_RECORD"] = s.windows_path_of(cls.taskkill_record)
            tree = s.work("image-tree")
            for i in range(6):
                ops.write_random(os.path.join(tree, "sources", f"part{i}.bin"), 12_000_000)
            ops.write_random(os.path.join(tree, "boot", "etfsboot.com"), 2048)
            cls.image = ops.make_iso(s.work("images", "interrupt_test.iso"), tree, "STOP_TEST",
                                     boot_image="boot/etfsboot.com")
            cls.after = s.work("dropped", "after.txt")
            ops.write_text(cls.after, "after\n")
            cls.marker = s.work("dropped", "marker.txt")
            ops.write_text(cls.marker, "marker\n")
            cls.program = s.start_traced()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def install_taskkill_standin(cls):
        """The program runs %WINDIR%\\System32\\taskkill.exe; as a 32-bit
        program it gets syswow64's copy, as a 64-bit one system32's. Both are
        replaced by the stand-in of the build's own kind."""
        windows = os.path.join(cls.session.paths.prefix, "drive_c", "windows")
        for folder in ("system32", "syswow64"):
            target = os.path.join(windows, folder, "taskkill.exe")
            if not os.path.isfile(target):
                continue
            backup = cls.session.work(f"taskkill-{folder}.exe")
            shutil.copy2(target, backup)
            cls.replaced.append((target, backup))
            shutil.copy2(os.environ["DROVELKIT_TASKKILL_STANDIN"], target)
        if not cls.replaced:
            raise ops.OpsError("the prefix has no taskkill.exe to stand in for")
        # Wine's 64-bit loader starts its own taskkill for a file in system32
        # unless told to prefer the file.
        cls.overrides = cls.session.env.get("WINEDLLOVERRIDES", "")
        cls.session.env["WINEDLLOVERRIDES"] = cls.overrides + ";taskkill.exe=n"

    @classmethod
    def undo_setup(cls):
        for target, backup in getattr(cls, "replaced", []):
            shutil.copy2(backup, target)
        cls.session.env.pop("DROVELKIT_TASKKILL_RECORD", None)
        if hasattr(cls, "overrides"):
            cls.session.env["WINEDLLOVERRIDES"] = cls.overrides

    def assert_box_drawn(self, box, shot):
        """A person must be able to read the box: something drawn (letters,
        the button's edge) where its text and its button are. Painting may
        lag behind the window's creation; look again for a while."""
        frame = box["window"]
        border = (frame["w"] - box["client"]["w"]) // 2
        top = frame["h"] - box["client"]["h"] - border
        areas = {"text": box["message_rect"], "Ok button": box["ok_rect"]}
        found = {}
        for attempt in range(10):
            if attempt:
                ops.wait_until(lambda: False, timeout=0.5)
                shot = ops.screenshot(self.s, "interrupt-box")
            if not shot:
                self.skipTest("no screenshot")
            found = {name: ops.contrast(shot, frame["x"] + border + r["x"], frame["y"] + top + r["y"], r["w"], r["h"])
                     for name, r in areas.items()}
            if all(value > DRAWN_CONTRAST for value in found.values()):
                return
        self.fail(f"nothing drawn where the box's text and button are (grey-level spread {found}); see {shot}")

    def test_1_escape_stops_the_archiver(self):
        s, image = self.s, self.image
        dump = s.dump()
        mark = self.trace.mark()
        s.drop(dump, [image.path])
        self.trace.wait_for(is_text(ID["StatusLine"], image.listing_status()), since=mark,
                            timeout=ops.LISTING_TIMEOUT, what="the listing of the image")
        mark = self.trace.mark()
        s.drop(dump, [self.after])
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "1 Dragged files exist !!!"), since=mark,
                            what="the notice for the dropped file")

        with ops.ToolGate(parent=self.program) as gate:
            gate.set_mode("hold")
            mark = self.trace.mark()
            code, _, err = s.probe("click", ID["StartButton"])
            self.assertEqual(code, 0, err)
            self.trace.wait_for(lambda r: r.what == "pos" and r.id == ID["CopyProgressBar"] and r.wparam > 1,
                                since=mark, timeout=ops.OPERATION_TIMEOUT, what="the bar moving", gate=gate)
            # From here the archiver stands still, as on a stuck drive: it
            # can only end by being stopped.
            self.assertTrue(gate.running(), "the archiver ended before Escape")
            escape = self.trace.mark()
            s.press_escape_in_main_window(dump)
            self.trace.wait_for(lambda r: r.what == "keydown" and r.wparam == VK_ESCAPE, since=escape,
                                what="the Escape key taken by the program")
            self.trace.wait_for(is_text(ID["StatusLine"], ops.PLEASE_WAIT), since=escape, timeout=30,
                                what='"==  Please wait ..." after Escape')
            self.trace.wait_for(lambda r: r.what == "create" and r.cls == "DrovelkitMessageBox", since=escape,
                                timeout=STOP_WAIT_S, what="the interrupt box")
            # Ended for Windows; let the process itself run to its end.
            gate.set_mode("free")
            # The worker winds down by itself meanwhile; once it is done the
            # window's look no longer changes under the box.
            self.trace.wait_for(lambda r: r.what == "range" and r.id == ID["CopyProgressBar"] and r.lparam == 100,
                                since=escape, timeout=ops.OPERATION_TIMEOUT, what="the copy operation's end")
            boxed = s.settled_dump()
            shot = ops.screenshot(s, "interrupt-box")
            box = boxed["msgbox"]
            self.assertIsNotNone(box, "no box in the dump")
            self.assertEqual(box["text"], "Error !!!")
            self.assertEqual(box["message"], "Operation is interrupted!")
            self.assertEqual(box["ok"], "Ok")
            self.assertEqual(box["client"], {"w": 320, "h": 100})
            # A tool window with a caption, no system menu and no close box.
            self.assertTrue(box["exstyle"] & WS_EX_TOOLWINDOW)
            self.assertEqual(box["style"] & WS_CAPTION, WS_CAPTION)
            self.assertFalse(box["style"] & WS_SYSMENU)
            main = boxed["main"]["window"]
            self.assertEqual((box["window"]["x"], box["window"]["y"]), (main["x"] + 45, main["y"] + 80))
            with self.subTest("the box shows its text and its Ok button"):
                self.assert_box_drawn(box, shot)

            # The archiver is gone, for the program's own process walk and
            # for the system.
            self.assertEqual(s.windows_processes(ops.ARCHIVER), 0)
            prefix = ops.harness.Paths().prefix
            left = ops.wait_until(lambda: not ops.wine_processes(ops.ARCHIVER, prefix), timeout=30)
            self.assertTrue(left, f"archiver processes left: {ops.wine_processes(ops.ARCHIVER, prefix)}")

        with open(self.taskkill_record, encoding="utf-8") as f:
            calls = [ops.split_windows_command_line(line) for line in f.read().splitlines() if line]
        self.assertTrue(calls, "taskkill was not run")
        for call in calls:
            self.assertTrue(call[0].lower().endswith("\\system32\\taskkill.exe"), call[0])
            self.assertEqual(call[1:], ["/t", "/f", "/IM", ops.ARCHIVER])
        # Stopped half way: the image is not all on the drive.
        self.assertTrue(ops.trees_differ(image.tree, self.drive), "the archiver finished before it was stopped")

        records = self.trace.since(escape)
        statuses = ops.Trace.texts(records, ID["StatusLine"])
        self.assertIn("Operation is interrupted!", statuses, "the archiver run's verdict")
        # The request holds after the extraction too: the dropped file waits.
        self.assertNotIn("Copy: " + s.windows_path_of(self.after), statuses)
        self.assertFalse(os.path.isfile(os.path.join(self.drive, "after.txt")))

        mark = self.trace.mark()
        code, _, err = s.probe("ok")
        self.assertEqual(code, 0, err)
        self.trace.wait_for(is_text(ID["StatusLine"], "==  Operation is interrupted!"), since=mark,
                            what="the interrupt's last status")
        done = s.settled_dump()
        ops.screenshot(s, "interrupt-done")
        self.assertIsNone(done["msgbox"])
        self.assertTrue(self.ctl(done, "StartButton")["visible"])
        self.assertFalse(self.ctl(done, "CopyProgressBar")["visible"])
        self.assertFalse(self.ctl(done, "ProgressText")["visible"])
        self.assertEqual(self.ctl(done, "ProgressText")["text"], "")
        self.assertEqual(self.ctl(done, "StatusLine")["text"], "==  Operation is interrupted!")
        self.assertTrue(self.ctl(done, "DriveCombo")["enabled"])

    def test_2_escape_when_idle_changes_nothing(self):
        s = self.s
        dump = s.settled_dump()
        self.assertTrue(self.ctl(dump, "StartButton")["visible"], "a copy still runs")
        mark = self.trace.mark()
        s.press_escape_in_main_window(dump)
        # The loop looks at the key before it takes each message: once the
        # key's release has been taken, a pass has seen it down.
        self.trace.wait_for(lambda r: r.what == "keyup" and r.wparam == VK_ESCAPE, since=mark,
                            what="the Escape key taken by the program")
        # One more round through the loop: a drop, whose notice shows.
        s.drop(dump, [self.marker])
        # after.txt still waits from the interrupted copy.
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "2 Dragged files exist !!!"), since=mark,
                            what="the notice for the marker drop")
        records = self.trace.since(mark)
        self.assertEqual([r for r in records if r.what == "create"], [], "a window was opened")
        self.assertEqual(ops.Trace.texts(records, ID["StatusLine"]), [])
        after = s.settled_dump()
        self.assertEqual(self.ctl(after, "StatusLine")["text"], self.ctl(dump, "StatusLine")["text"])
        self.assertTrue(self.ctl(after, "StartButton")["visible"])


if __name__ == "__main__":
    ops.harness.run_tests(__name__)
