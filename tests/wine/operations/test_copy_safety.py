#!/usr/bin/env python3
"""The copy refuses before it writes, and Escape holds until it has ended.

FAT32 cannot hold a file of 4 GiB or more: with FAT32 selected for an image
that holds one (a sparse file in a real ISO image, listed by the real
archiver), Start refuses before anything runs, and the status line names
the file and suggests NTFS or exFAT; the drive and the dropped files are
left alone.

Escape while the boot tool repartitions: the boot tool is not stopped half
way, but nothing runs after it. The box "Operation is interrupted!" opens
only once the operation has really stopped, and the dropped file is not
copied. The boot tool is the real one (a different file there would be
refused), held from outside as a slow drive would hold it.
"""

import os

import ops
from ops import ID, is_text

FAT32_LIMIT = 4 << 30
VK_ESCAPE = 0x1B


def tree_of(folder):
    return {path: size for path, size in ops.tree_listing(folder).items() if path != ".windows-label"}


class CopySafety(ops.OperationsTestCase):

    @classmethod
    def setUpClass(cls):
        cls.open_session("copy_safety", "DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE")
        s = cls.session
        try:
            s.set_dpi(96)
            cls.drive = s.configure_drives({"E": {"kind": "removable", "label": "STICK", "size_kib": 65536}})["E"]
            ops.write_text(os.path.join(cls.drive, "kept.txt"), "on the drive before\n")
            # The install image's big file, sparse: 4 GiB and one KiB. An .esd
            # is never split for FAT32 (an install.wim would be).
            big_tree = s.work("big-tree")
            os.makedirs(os.path.join(big_tree, "sources"))
            with open(os.path.join(big_tree, "sources", "install.esd"), "wb") as f:
                f.truncate(FAT32_LIMIT + 1024)
            ops.write_text(os.path.join(big_tree, "setup.txt"), "setup\n")
            cls.big = ops.make_iso(s.work("images", "big_install.iso"), big_tree, "BIGFILE", large_files=True)
            small_tree = s.work("small-tree")
            ops.write_random(os.path.join(small_tree, "sources", "boot.bin"), 3_000_000)
            cls.small = ops.make_iso(s.work("images", "small.iso"), small_tree, "SMALL")
            cls.dropped = s.work("dropped", "after.txt")
            ops.write_text(cls.dropped, "after\n")
            cls.program = s.start_traced()
        except Exception:
            cls.tearDownClass()
            raise

    def test_1_fat32_is_refused_for_a_file_of_4_gib(self):
        s = self.s
        self.take_image(self.big)
        self.drop_file(self.dropped)
        self.select_option("FormatFatOption")
        before = tree_of(self.drive)
        mark = self.trace.mark()
        code, _, err = s.probe("click", ID["StartButton"])
        self.assertEqual(code, 0, err)
        want = "==  Use NTFS or exFAT: FAT32 can't hold sources\\install.esd (4 GB+)"
        self.trace.wait_for(is_text(ID["StatusLine"], want), since=mark, timeout=30, what="the refusal")
        self.trace.wait_for(lambda r: r.what == "show" and r.id == ID["StartButton"] and r.wparam, since=mark,
                            timeout=30, what="the idle window")
        done = s.settled_dump()
        ops.screenshot(s, "fat32-refused")
        self.assertEqual(self.ctl(done, "StatusLine")["text"], want)
        self.assertEqual(tree_of(self.drive), before, "the drive changed")
        # The dropped file waits for the next copy.
        self.assertTrue(self.ctl(done, "DraggedFilesNotice")["visible"])
        self.assertEqual(ops.Trace.texts(self.trace.since(mark), ID["StatusLine"]), ["", want])

    def test_2_escape_during_the_boot_tool_holds(self):
        s = self.s
        self.take_image(self.small)
        self.select_option("FormatNtfsOption")
        before = tree_of(self.drive)
        mark = self.trace.mark()
        box = lambda r: r.what == "create" and r.cls == "DrovelkitMessageBox"  # noqa: E731
        # Every run of the boot tool is seen and stopped as it starts.
        with ops.ToolGate(exe_name="bootice.exe", marker="/device=", parent=self.program) as gate:
            gate.set_mode("hold")
            code, _, err = s.probe("click", ID["StartButton"])
            self.assertEqual(code, 0, err)
            self.assertTrue(ops.wait_until(lambda: gate.touched, timeout=30), "the boot tool did not start")
            repartition = [cmd for pid, cmd in ops.wine_processes("bootice.exe") if pid in gate.touched]
            self.assertTrue(repartition and "/repartition" in repartition[0], repartition)
            escape = self.trace.mark()
            s.press_escape_in_main_window(s.dump())
            self.trace.wait_for(lambda r: r.what == "keydown" and r.wparam == VK_ESCAPE, since=escape,
                                what="the Escape key taken by the program")
            self.trace.wait_for(is_text(ID["StatusLine"], ops.PLEASE_WAIT), since=escape, timeout=30,
                                what='"==  Please wait ..." after Escape')
            # While the boot tool still runs, the window does not claim the
            # operation has stopped.
            ops.wait_until(lambda: False, timeout=2)
            self.assertTrue(gate.running(), "the boot tool ended while held")
            self.assertFalse([r for r in self.trace.since(escape) if box(r)], "the box opened while the boot tool ran")
            gate.set_mode("free")
            self.trace.wait_for(box, since=escape, timeout=60, what="the interrupt box")
        boot_runs = len(gate.touched)
        boxed = s.settled_dump()
        ops.screenshot(s, "escape-after-boot-tool")
        self.assertEqual(boxed["msgbox"]["message"], "Operation is interrupted!")
        mark_ok = self.trace.mark()
        code, _, err = s.probe("ok")
        self.assertEqual(code, 0, err)
        self.trace.wait_for(is_text(ID["StatusLine"], "==  Operation is interrupted!"), since=mark_ok,
                            what="the interrupt's last status")
        done = s.settled_dump()
        self.assertTrue(self.ctl(done, "StartButton")["visible"])
        self.assertEqual(self.ctl(done, "StatusLine")["text"], "==  Operation is interrupted!")
        # Nothing ran after the boot tool: no boot records, no archiver, no copy.
        self.assertEqual(boot_runs, 1)
        self.assertEqual(tree_of(self.drive), before, "something was written to the drive")
        statuses = ops.Trace.texts(self.trace.since(mark), ID["StatusLine"])
        self.assertFalse([t for t in statuses if t.startswith("Copy: ")], statuses)
        self.assertTrue(self.ctl(done, "DraggedFilesNotice")["visible"])


if __name__ == "__main__":
    ops.harness.run_tests(__name__)
