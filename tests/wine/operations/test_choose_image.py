#!/usr/bin/env python3
"""Choosing the image: through the real open-file dialog behind "ISO Image"
and by dropping files onto the window from outside.

After a choice the image's file name is in IsoPathField, the archiver's
listing (run by the program from its unpacked payload) puts the volume label
into LabelField, selects Ntfs for a label holding _DV5, and ends with the
size and counts in the status line. A drop takes the first image among the
dropped entries and collects the other entries before it; the red notice
counts the collected entries, and a click on it forgets them.
"""

import os

import ops
from ops import ID, is_text, is_show


class ChooseImage(ops.OperationsTestCase):

    @classmethod
    def setUpClass(cls):
        cls.open_session("choose_image", "DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE")
        s = cls.session
        try:
            s.set_dpi(96)
            cls.drive = s.configure_drives({"E": {"kind": "removable", "label": "STICK", "size_kib": 65536}})["E"]
            # An install-medium-like image: bootable, nested folders, an
            # empty one, a label that asks for NTFS.
            tree = s.work("dv5-tree")
            ops.write_random(os.path.join(tree, "sources", "install.bin"), 1_500_000)
            ops.write_random(os.path.join(tree, "sources", "lang", "de-de", "setup.bin"), 33_333)
            ops.write_random(os.path.join(tree, "boot", "etfsboot.com"), 2048)
            ops.write_text(os.path.join(tree, "setup.txt"), "setup\n")
            os.makedirs(os.path.join(tree, "support", "empty"))
            cls.dv5 = ops.make_iso(s.work("images", "win_dv5.iso"), tree, "WIN11_X64_DV5",
                                   boot_image="boot/etfsboot.com")
            plain_tree = s.work("plain-tree")
            ops.write_text(os.path.join(plain_tree, "readme.txt"), "plain\n")
            ops.write_random(os.path.join(plain_tree, "data", "blob.bin"), 700_000)
            cls.plain = ops.make_iso(s.work("images", "b.iso"), plain_tree, "PLAIN_LABEL")
            cls.loose = {name: s.work("loose", name) for name in ("a.txt", "c.txt", "d.txt")}
            for name, path in cls.loose.items():
                ops.write_text(path, f"{name}\n")
            cls.program = s.start_traced()
        except Exception:
            cls.tearDownClass()
            raise

    def test_1_open_dialog_lists_the_chosen_image(self):
        s, image = self.s, self.dv5
        mark = self.trace.mark()
        code, _, err = s.probe("click", ID["IsoImageButton"])
        self.assertEqual(code, 0, err)
        dialog = self.trace.wait_for(lambda r: r.what == "text" and r.id == 0 and r.cls == "#32770",
                                     since=mark, what="the open-file dialog")
        self.assertEqual(dialog.text, "Please choose ISO file")
        ids = s.find_x_windows("^Please choose ISO file$")
        self.assertTrue(ids, "the dialog has no X window of its title")
        # The dialog starts with the focus in its file-name field; a person
        # clicks into the dialog and types the path.
        s.xdotool("windowfocus", "--sync", ids[0])
        ops.screenshot(s, "image-dialog")
        s.xdotool("type", "--delay", "20", s.windows_path_of(image.path))
        s.xdotool("key", "Return")

        done = self.trace.wait_for(is_text(ID["StatusLine"], prefix="Size: "), since=mark,
                                   timeout=ops.LISTING_TIMEOUT, what="the listing's verdict")
        self.assertEqual(done.text, image.listing_status())
        dump = s.settled_dump()
        ops.screenshot(s, "image-chosen")
        self.assertEqual(self.ctl(dump, "IsoPathField")["text"], image.name)
        self.assertEqual(self.ctl(dump, "LabelField")["text"], image.label)
        self.assertEqual(self.ctl(dump, "StatusLine")["text"], image.listing_status())
        # "_DV5" in the label selects Ntfs, and only Ntfs.
        checked = [name for name in ("FormatNoneOption", "FormatFatOption", "FormatExFatOption", "FormatNtfsOption")
                   if self.ctl(dump, name)["check"] == 1]
        self.assertEqual(checked, ["FormatNtfsOption"])
        statuses = ops.Trace.texts(self.trace.since(mark), ID["StatusLine"])
        self.assertEqual(statuses, [ops.PLEASE_WAIT, image.listing_status()])
        # The listing had the payload unpacked into TEMP\drovelkit.
        self.assertTrue(os.path.isfile(os.path.join(s.payload_folder(), "7zdrovelkit.exe")))

    def test_2_mixed_drop_takes_first_image_and_collects_before_it(self):
        s, image = self.s, self.plain
        before = s.settled_dump()
        options_before = {name: self.ctl(before, name)["check"] for name in
                          ("FormatNoneOption", "FormatFatOption", "FormatExFatOption", "FormatNtfsOption")}
        mark = self.trace.mark()
        s.drop(before, [self.loose["a.txt"], image.path, self.loose["c.txt"]])
        done = self.trace.wait_for(is_text(ID["StatusLine"], prefix="Size: "), since=mark,
                                   timeout=ops.LISTING_TIMEOUT, what="the listing of the dropped image")
        self.assertEqual(done.text, image.listing_status())
        dump = s.settled_dump()
        self.assertEqual(self.ctl(dump, "IsoPathField")["text"], "b.iso")
        self.assertEqual(self.ctl(dump, "LabelField")["text"], image.label)
        # A label without _DV5 leaves the format options as they were.
        self.assertEqual({name: self.ctl(dump, name)["check"] for name in options_before}, options_before)
        # The notice is not updated by a drop that held an image.
        notice = [r for r in self.trace.since(mark) if r.id == ID["DraggedFilesNotice"]]
        self.assertEqual(notice, [])
        self.assertFalse(self.ctl(dump, "DraggedFilesNotice")["visible"])

        # One more file: the count shows that a.txt was kept and c.txt not.
        mark = self.trace.mark()
        s.drop(dump, [self.loose["d.txt"]])
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "2 Dragged files exist !!!"), since=mark,
                            what="the notice for two collected files")
        dump = s.settled_dump()
        self.assertTrue(self.ctl(dump, "DraggedFilesNotice")["visible"])
        ops.screenshot(s, "image-drop-notice")

        # A click on the notice hides it and forgets the files: the next
        # drop counts from one again.
        mark = self.trace.mark()
        s.click_control(dump, ID["DraggedFilesNotice"], 1)
        self.trace.wait_for(is_show(ID["DraggedFilesNotice"], False), since=mark, what="the notice hidden")
        mark = self.trace.mark()
        s.drop(dump, [self.loose["d.txt"]])
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "1 Dragged files exist !!!"), since=mark,
                            what="the notice for one collected file")
        # Neither the click nor the drops changed the image.
        dump = s.settled_dump()
        self.assertEqual(self.ctl(dump, "IsoPathField")["text"], "b.iso")

    def test_3_unpacked_payload_holds_every_tool(self):
        """The listing unpacked the payload; every tool of the program is
        there, and the self-extractor that did it is gone again."""
        temp = self.s.temp_dir()[1]
        payload = self.s.payload_folder()
        self.assertTrue(os.path.isdir(payload), "nothing was unpacked")
        self.assertFalse(os.path.exists(os.path.join(temp, "drovelkit.exe")), "the self-extractor was left behind")
        for name in ("7zdrovelkit.exe", "qemu/qemu_test.exe", "qemu/bios.bin", "qemu/efi32.bin", "qemu/efi64.bin"):
            with self.subTest(tool=name):
                self.assertTrue(os.path.isfile(os.path.join(payload, name)), f"{name} is missing from {payload}")

    def test_4_unpacked_payload_holds_the_boot_tool(self):
        """The disk-preparation tool is in the payload and runs: started
        without arguments it refuses with a message and a nonzero exit
        code, and touches no disk."""
        s = self.s
        tool = os.path.join(s.payload_folder(), "bootice.exe")
        self.assertTrue(os.path.isfile(tool), f"bootice.exe is missing from {s.payload_folder()}")
        before = ops.tree_listing(self.drive)
        code, out, err = s.wine([s.windows_path_of(tool)])
        self.assertNotEqual(code, 0, f"bootice.exe without arguments ended with 0: {out!r} {err!r}")
        self.assertTrue((out + err).strip(), "bootice.exe said nothing about its missing arguments")
        self.assertEqual(ops.tree_listing(self.drive), before, "bootice.exe changed the drive")

if __name__ == "__main__":
    ops.harness.run_tests(__name__)
