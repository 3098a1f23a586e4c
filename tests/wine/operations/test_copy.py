#!/usr/bin/env python3
"""The main job: Start with "None" selected extracts the chosen image onto
the removable drive E: with the real archiver, shows the progress while it
runs, removes the "[BOOT]" folder that the archiver makes for a bootable
image, copies the files and folders dropped onto the window beforehand, and
returns the window to idle. Closing is refused while the copy runs; closing
the idle window removes the payload folder and ends the program with exit
code 0.

A whole extraction of the test image takes well under a second under Wine,
so the archiver is held from outside and let on in slices (ops.ToolGate) to let the test
watch the progress, and held still while the window is looked at. The copied
amount and the time left appear only past 10 % and 25 s, so the archiver is
held long enough for that once.
"""

import os
import re
import time

import ops
from ops import ID, is_show, is_text

DRIVE_KIB = 262144
# The program shows copied amount and time left only after this long.
PROGRESS_TEXT_AFTER_S = 25
# Time between the Start click and the archiver's start: the drive line is
# selected with a pause of 500 ms per matching line; a bound that a busy
# machine stays within.
START_TO_EXTRACTION_S = 8


class CopyOntoDrive(ops.OperationsTestCase):

    @classmethod
    def setUpClass(cls):
        cls.open_session("copy", "DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE")
        s = cls.session
        try:
            s.set_dpi(96)
            cls.drive = s.configure_drives({"E": {"kind": "removable", "label": "STICK",
                                                  "size_kib": DRIVE_KIB}})["E"]
            tree = s.work("image-tree")
            ops.write_random(os.path.join(tree, "sources", "install.bin"), 40_000_000)
            ops.write_random(os.path.join(tree, "sources", "more", "part2.bin"), 25_000_000)
            ops.write_random(os.path.join(tree, "sources", "more", "part3.bin"), 12_345_678)
            ops.write_random(os.path.join(tree, "boot", "etfsboot.com"), 2048)
            ops.write_random(os.path.join(tree, "efi", "boot", "bootx64.efi"), 4096)
            ops.write_text(os.path.join(tree, "autorun.inf"), "[autorun]\r\n")
            os.makedirs(os.path.join(tree, "support", "empty"))
            cls.image = ops.make_iso(s.work("images", "copy_test.iso"), tree, "COPY_TEST",
                                     boot_image="boot/etfsboot.com")
            cls.notes = s.work("dropped", "notes.txt")
            ops.write_text(cls.notes, "notes\n")
            cls.extras = s.work("dropped", "extras")
            ops.write_text(os.path.join(cls.extras, "top.txt"), "top\n")
            ops.write_text(os.path.join(cls.extras, "sub", "inner.txt"), "inner\n")
            ops.write_random(os.path.join(cls.extras, "sub", "deeper", "blob.bin"), 100_000)
            cls.program = s.start_traced()
        except Exception:
            cls.tearDownClass()
            raise

    def assert_progress_text(self, records, start_record):
        """The "Copied:" line against the bar value it was made for."""
        text_record = next(r for r in records if r.what == "text" and r.id == ID["ProgressText"]
                           and r.text.startswith("Copied: "))
        bar = [r for r in records if r.what == "pos" and r.id == ID["CopyProgressBar"]
               and r.index < text_record.index]
        self.assertTrue(bar, "no bar value before the progress text")
        p = bar[-1].wparam
        self.assertGreater(p, 10)
        found = re.fullmatch(r"Copied: ([0-9.]+)/([0-9.]+) Kb, Time left: (\d\d):(\d\d):(\d\d)", text_record.text)
        self.assertIsNotNone(found, f"progress text {text_record.text!r}")
        size = self.image.size_kib
        self.assertEqual(found.group(1), ops.group_thousands(size), "total before the slash")
        self.assertEqual(found.group(2), ops.group_thousands(ops.round_half_even(size / 100.0 * p)),
                         f"amount copied at {p} %")
        left = int(found.group(3)) * 3600 + int(found.group(4)) * 60 + int(found.group(5))
        # The program counts from just before the extraction, which started
        # at most a few seconds after Start: total = 100 / p * elapsed.
        elapsed_max = (text_record.tick - start_record.tick) // 1000 + 1
        candidates = range(max(PROGRESS_TEXT_AFTER_S + 1, elapsed_max - START_TO_EXTRACTION_S - 1), elapsed_max + 1)
        self.assertIn(left, [ops.round_half_even(100.0 / p * e) - e for e in candidates],
                      f"time left {left} s at {p} % does not fit an elapsed time in {list(candidates)} s")
        return text_record

    def test_1_copy_without_formatting(self):
        s, image = self.s, self.image
        dump = s.dump()
        mark = self.trace.mark()
        s.drop(dump, [image.path])
        self.trace.wait_for(is_text(ID["StatusLine"], image.listing_status()), since=mark,
                            timeout=ops.LISTING_TIMEOUT, what="the listing of the image")
        mark = self.trace.mark()
        s.drop(dump, [self.notes, self.extras])
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "2 Dragged files exist !!!"), since=mark,
                            what="the notice for the dropped file and folder")
        dump = s.settled_dump()
        self.assertEqual(self.ctl(dump, "FormatNoneOption")["check"], 1, "a plain label must leave None selected")
        self.assertTrue(self.ctl(dump, "StartButton")["visible"])
        ops.screenshot(s, "copy-rest")

        watch = ops.FolderWatch(self.drive)
        try:
            with ops.ToolGate(parent=self.program) as gate:
                gate.set_mode("hold")
                mark = self.trace.mark()
                code, _, err = s.probe("click", ID["StartButton"])
                self.assertEqual(code, 0, err)
                start = self.trace.wait_for(is_text(ID["StatusLine"], ""), since=mark, what="Start clearing the status")
                start_seen = time.monotonic()
                # Running: the bar has moved and a file on E: is named.
                self.trace.wait_for(lambda r: r.what == "pos" and r.id == ID["CopyProgressBar"] and r.wparam > 1,
                                    since=mark, timeout=ops.OPERATION_TIMEOUT, what="the bar moving", gate=gate)
                self.trace.wait_for(is_text(ID["StatusLine"], prefix="E:\\"), since=mark,
                                    timeout=ops.OPERATION_TIMEOUT, what="a file on E: in the status line", gate=gate)
                running = s.settled_dump()
                ops.screenshot(s, "copy-running")
                self.assertFalse(self.ctl(running, "StartButton")["visible"])
                self.assertTrue(self.ctl(running, "CopyProgressBar")["visible"])
                self.assertGreater(self.ctl(running, "CopyProgressBar")["pos"], 1)
                self.assertTrue(self.ctl(running, "ProgressText")["visible"])
                self.assertFalse(self.ctl(running, "DriveCombo")["enabled"])
                self.assertTrue(self.ctl(running, "StatusLine")["text"].startswith("E:\\"))
                self.assertTrue(gate.running(), "the archiver ended before it was held")
                # Closing is refused while the copy runs: the request is
                # dropped, not kept for later.
                code, _, err = s.probe("close")
                self.assertEqual(code, 0, err)
                s.settled_dump()
                self.assertTrue(self.program.running(), "the program ended during the copy")

                # Past 25 s the next percentage brings copied amount and
                # time left. The program counts whole seconds from just
                # before the extraction; two more make sure of it.
                time.sleep(max(0.0, start_seen + PROGRESS_TEXT_AFTER_S + 3 - time.monotonic()))
                mark_text = self.trace.mark()
                self.trace.wait_for(is_text(ID["ProgressText"], prefix="Copied: "), since=mark_text,
                                    timeout=ops.OPERATION_TIMEOUT, what="the copied amount and time left", gate=gate)
                held = s.settled_dump()
                ops.screenshot(s, "copy-progress-text")
                self.assert_progress_text(self.trace.since(mark), start)
                texts = ops.Trace.texts(self.trace.since(mark), ID["ProgressText"])
                self.assertEqual(self.ctl(held, "ProgressText")["text"], texts[-1])
                self.assertTrue(self.ctl(held, "ProgressText")["visible"])

                gate.set_mode("free")
                self.trace.wait_for(is_show(ID["StartButton"], True), since=mark, timeout=ops.OPERATION_TIMEOUT,
                                    what="the window back to idle")
            done = s.settled_dump()
            ops.screenshot(s, "copy-done")
            events = watch.poll()
        finally:
            watch.close()

        records = self.trace.since(mark)
        statuses = ops.Trace.texts(records, ID["StatusLine"])
        notes_win, extras_win = s.windows_path_of(self.notes), s.windows_path_of(self.extras)
        # In order: cleared by Start, files being written, the archiver's
        # verdict, one line per dropped entry, and cleared after more than
        # one entry. Nothing else.
        self.assertEqual(statuses[0], "")
        verdict = statuses.index("Everything is Ok ")
        self.assertTrue(all(t.startswith("E:\\") for t in statuses[1:verdict]), statuses[1:verdict])
        self.assertEqual(statuses[verdict + 1:], ["Copy: " + notes_win, "Copy: " + extras_win, ""])
        # Only what changed is drawn: no text is set again to what it shows.
        for name in ("StatusLine", "ProgressText"):
            texts = ops.Trace.texts(records, ID[name])
            self.assertEqual([a for a, b in zip(texts, texts[1:]) if a == b], [], f"{name} set again unchanged")

        # The bar counts the dropped entries: "notes\nextras\n" is three
        # line-feed-separated fields, the last one empty.
        after_verdict = [r for r in records if r.index > max(
            r2.index for r2 in records if r2.what == "text" and r2.text == "Everything is Ok ")]
        bar = [(r.what, r.wparam, r.lparam) for r in after_verdict if r.id == ID["CopyProgressBar"]
               and r.what in ("range", "pos")]
        self.assertEqual(bar[0], ("range", 0, 3))
        # The first entry's 1 is the bar's value already: it is not set again.
        self.assertEqual([v for w, v, _ in bar if w == "pos"][:3], [1, 2, 3])
        self.assertIn(("range", 0, 100), bar)
        self.assertTrue(any(r.what == "show" and r.id == ID["DraggedFilesNotice"] and r.wparam == 0
                            for r in after_verdict), "the notice was not hidden after the copy")
        # No error box, no sound-device complaint: no window of its own.
        new_windows = [r for r in records if r.what == "create" and r.id == 0]
        self.assertEqual(new_windows, [])

        self.assertTrue(self.program.running(), "a close request made during the copy took effect")
        # Idle again, with the status line that the copy of several
        # dropped entries leaves: empty.
        self.assertTrue(self.ctl(done, "StartButton")["visible"])
        self.assertFalse(self.ctl(done, "CopyProgressBar")["visible"])
        self.assertFalse(self.ctl(done, "ProgressText")["visible"])
        self.assertEqual(self.ctl(done, "ProgressText")["text"], "")
        self.assertTrue(self.ctl(done, "DriveCombo")["enabled"])
        self.assertFalse(self.ctl(done, "DraggedFilesNotice")["visible"])
        self.assertEqual(self.ctl(done, "StatusLine")["text"], "")

        # The drive: the image tree, the dropped entries, no "[BOOT]"; the
        # archiver did make "[BOOT]" and the program removed it.
        self.assertIn(("created", "[BOOT]", True), events)
        self.assertIn(("deleted", "[BOOT]", True), events)
        got = ops.tree_listing(self.drive)
        self.assertNotIn("[BOOT]", got)
        self.assertNotIn("[boot]", got)
        want = ops.tree_listing(image.tree)
        want.update({"notes.txt": 6, "extras": None, "extras/top.txt": 4, "extras/sub": None,
                     "extras/sub/inner.txt": 6, "extras/sub/deeper": None, "extras/sub/deeper/blob.bin": 100_000,
                     ".windows-label": os.path.getsize(os.path.join(self.drive, ".windows-label"))})
        self.assertEqual(got, want)
        for relative, size in ops.tree_listing(image.tree).items():
            if size is not None:
                self.assertEqual(ops.file_digest(os.path.join(self.drive, relative)),
                                 ops.file_digest(os.path.join(image.tree, relative)), relative)
        self.assertEqual(ops.file_digest(os.path.join(self.drive, "extras", "sub", "deeper", "blob.bin")),
                         ops.file_digest(os.path.join(self.extras, "sub", "deeper", "blob.bin")))

    def test_2_a_failed_layout_stops_the_copy(self):
        """Under Wine the real boot tool cannot lay out the drive (Wine
        passes on none of the disk control calls) and fails. The copy must
        stop there: no label, no boot records, nothing extracted onto the old
        file system, and the boot tool's own words in the status line."""
        s = self.s
        dump = s.settled_dump()
        self.assertEqual(self.ctl(dump, "IsoPathField")["text"], self.image.name)
        before = ops.tree_listing(self.drive)
        code, _, err = s.probe("click", ID["FormatFatOption"])
        self.assertEqual(code, 0, err)
        s.wait_until(lambda d: self.ctl(d, "FormatFatOption")["check"] == 1)
        mark = self.trace.mark()
        code, _, err = s.probe("click", ID["StartButton"])
        self.assertEqual(code, 0, err)
        self.trace.wait_for(is_show(ID["StartButton"], False), since=mark, what="the copy starting")
        self.trace.wait_for(is_show(ID["StartButton"], True), since=mark, timeout=ops.OPERATION_TIMEOUT,
                            what="the window back to idle")
        self.trace.wait_for(is_show(ID["ProgressText"], False), since=mark, what="the progress text hidden")
        done = s.settled_dump()
        ops.screenshot(s, "layout-failed")
        statuses = ops.Trace.texts(self.trace.since(mark), ID["StatusLine"])
        print(f"status lines of the copy with formatting: {statuses}")
        self.assertNotIn("Everything is Ok ", statuses, "the image was extracted after a failed layout")
        self.assertEqual(ops.tree_listing(self.drive), before, "the drive changed")
        self.assertTrue(self.ctl(done, "StatusLine")["text"].startswith("==  bootice: "),
                        "the boot tool's own message is not the last status")

    def test_9_close_removes_payload_folder(self):
        s = self.s
        payload = s.payload_folder()
        self.assertTrue(os.path.isfile(os.path.join(payload, "7zdrovelkit.exe")), "no payload to remove")
        mark = self.trace.mark()
        self.assertEqual(s.close_program(self.program), 0)
        self.assertFalse(os.path.exists(payload), f"{payload} is still there")
        statuses = ops.Trace.texts(self.trace.since(mark), ID["StatusLine"])
        self.assertEqual(statuses, [ops.PLEASE_WAIT])


if __name__ == "__main__":
    ops.harness.run_tests(__name__)
