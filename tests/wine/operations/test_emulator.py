#!/usr/bin/env python3
"""The emulator tests behind "Test Menu": a right click boots the chosen
image, a left click the selected drive's disk.

The program starts its emulator front qemu_test.exe from the unpacked
payload; the front looks for an installed qemu-system-x86_64.exe (never in
the payload folder, which any process of the user can write). A recording
stand-in (record_args.exe) installed in C:\Program Files\qemu shows exactly
which arguments an emulator would get, after the front's own handling. Without any emulator
the front tells the user where to get one, and the status line where it goes.
"""

import os
import shutil

import ops
from ops import ID, is_text

EMULATOR = "qemu-system-x86_64.exe"
INSTALLED_EMULATOR = "C:\\Program Files\\qemu\\" + EMULATOR
# Firmware option, file, window title of the image test.
IMAGE_CASES = [
    ("BootEfi64Option", "efi64.bin", "  Disk: ISO Efi64 boot Memory: 1024 mb  "),
    ("BootEfi32Option", "efi32.bin", "  Disk: ISO Efi32 boot Memory: 1024 mb  "),
    ("BootBiosOption", "bios.bin", "  Disk: ISO Memory: 1024 mb  "),
]
FRONT_BOX_TITLE = "Drovelkit"
RECORD_TIMEOUT = 60


class EmulatorTests(ops.OperationsTestCase):

    @classmethod
    def setUpClass(cls):
        cls.open_session("emulator", "DROVELKIT_XDND_DRAG", "DROVELKIT_TRACE_EXE", "DROVELKIT_RECORD_ARGS",
                                    "DROVELKIT_MESSAGE_BOX_TEXT")
        s = cls.session
        try:
            s.set_dpi(96)
            s.configure_drives({"E": {"kind": "removable", "label": "STICK", "size_kib": 65536}})
            cls.record = s.work("recorded.txt")
            s.env["DROVELKIT_RECORD_FILE"] = s.windows_path_of(cls.record)
            # Blanks in the folder and the name: the path travels in quotes.
            tree = s.work("image-tree")
            ops.write_random(os.path.join(tree, "boot", "boot.img"), 2048)
            ops.write_text(os.path.join(tree, "readme.txt"), "boot test\n")
            cls.image = ops.make_iso(s.work("my images", "boot test.iso"), tree, "BOOT_TEST",
                                     boot_image="boot/boot.img")
            cls.program = s.start_traced()
            dump = s.dump()
            mark = s.trace.mark()
            s.drop(dump, [cls.image.path])
            s.trace.wait_for(is_text(ID["StatusLine"], cls.image.listing_status()), since=mark,
                             timeout=ops.LISTING_TIMEOUT, what="the listing of the image")
            temp_windows, _ = s.temp_dir()
            cls.qemu_windows = temp_windows + "\\drovelkit\\qemu"
            cls.qemu_unix = os.path.join(s.payload_folder(), "qemu")
            if not os.path.isfile(os.path.join(cls.qemu_unix, "qemu_test.exe")):
                raise ops.OpsError(f"the payload has no qemu\\qemu_test.exe in {cls.qemu_unix}")
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def undo_setup(cls):
        cls.session.env.pop("DROVELKIT_RECORD_FILE", None)

    def setUp(self):
        super().setUp()
        if os.path.exists(self.record):
            os.remove(self.record)

    def install_stand_in(self):
        path = self.s.unix_path_of(INSTALLED_EMULATOR)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copy(os.environ["DROVELKIT_RECORD_ARGS"], path)

    def remove_stand_in(self):
        path = self.s.unix_path_of(INSTALLED_EMULATOR)
        if os.path.exists(path):
            os.remove(path)

    def recorded(self, count=1):
        """The argument lists of the first |count| emulator starts."""
        def lines():
            try:
                with open(self.record, encoding="utf-8") as f:
                    got = [line for line in f.read().split("\n") if line]
            except OSError:
                return None
            return got if len(got) >= count else None
        got = ops.wait_until(lines, timeout=RECORD_TIMEOUT)
        self.assertTrue(got, f"no emulator was started within {RECORD_TIMEOUT} s")
        return [ops.split_windows_command_line(line) for line in got]

    def image_arguments(self, firmware, title):
        return [INSTALLED_EMULATOR, "-L", self.qemu_windows, "-m", "1024", "-bios", firmware,
                "-name", title, "-net", "none", "-boot", "d", "-cdrom", self.s.windows_path_of(self.image.path)]

    def test_1_right_click_boots_the_image_with_the_chosen_firmware(self):
        s = self.s
        self.install_stand_in()
        try:
            for option, firmware, title in IMAGE_CASES:
                with self.subTest(firmware=firmware):
                    if os.path.exists(self.record):
                        os.remove(self.record)
                    dump = self.select_option(option)
                    # A right click anywhere else starts nothing; the loop
                    # takes the clicks in order, so one recorded start after
                    # both clicks belongs to the button.
                    s.click_control(dump, ID["LogoImage"], 3)
                    s.click_control(dump, ID["TestMenuButton"], 3)
                    starts = self.recorded()
                    self.assertEqual(starts, [self.image_arguments(firmware, title)])
        finally:
            self.remove_stand_in()

    def test_2_no_emulator_anywhere_tells_the_user(self):
        s = self.s
        self.remove_stand_in()
        dump = self.select_option("BootBiosOption")
        s.click_control(dump, ID["TestMenuButton"], 3)
        self.assertTrue(s.find_x_windows(f"^{FRONT_BOX_TITLE}$", timeout=RECORD_TIMEOUT),
                        "no window of the emulator front appeared")
        ops.screenshot(s, "emulator-missing")
        code, out, err = ops.run_wine_tool(s, [os.environ["DROVELKIT_MESSAGE_BOX_TEXT"], FRONT_BOX_TITLE, "20000"])
        self.assertEqual(code, 0, f"the front's message box was not found: {err}")
        self.assertIn("QEMU emulator for Windows", out)
        self.assertIn("https://www.qemu.org/download/#windows", out)
        self.assertIn("C:\\Program Files\\qemu", out)
        self.assertFalse(os.path.exists(self.record), "something was started")
        # The status line keeps where QEMU must go once the box is closed.
        after = s.settled_dump()
        self.assertEqual(self.ctl(after, "StatusLine")["text"],
                         "==  QEMU not found: install it in C:\\Program Files\\qemu")

    def test_3_right_click_on_disabled_button(self):
        """Without administrator rights the test controls are disabled; the
        right click is recognised by the pointer's place and still boots the
        image. Wine grants every user those rights, so the disabled state is
        set from outside as such a start would leave it."""
        s = self.s
        dump = self.select_option("BootBiosOption")
        admin = s.probe_json("admin")["admin"]
        disabled = ["TestMenuFrame", "TestMenuButton", "BootBiosOption", "BootEfi64Option", "BootEfi32Option"]
        if admin:
            for name in disabled:
                code, _, err = s.probe("enable", ID[name], 0)
                self.assertEqual(code, 0, err)
        self.install_stand_in()
        try:
            dump, held = s.wait_until(lambda d: not self.ctl(d, "TestMenuButton")["enabled"])
            self.assertTrue(held, "TestMenuButton is not disabled")
            s.click_control(dump, ID["TestMenuButton"], 3)
            self.assertEqual(self.recorded(), [self.image_arguments("bios.bin", "  Disk: ISO Memory: 1024 mb  ")])
        finally:
            self.remove_stand_in()
            if admin:
                for name in disabled:
                    s.probe("enable", ID[name], 1)

    def test_4_left_click_tests_the_drive(self):
        """Wine answers the two WMI association queries from its own disk
        list, which need not contain the drive letters of this prefix: the
        test accepts the two outcomes the program has and says which one."""
        s = self.s
        self.install_stand_in()
        try:
            dump = self.select_option("BootBiosOption")
            self.assertTrue(self.ctl(dump, "DriveCombo")["text"].startswith("E:"), "E: is not the selected drive")
            mark = self.trace.mark()
            s.click_control(dump, ID["TestMenuButton"], 1)

            def outcome():
                if os.path.exists(self.record):
                    return "started"
                records = self.trace.since(mark)
                if ops.Trace.texts(records, ID["StatusLine"]):
                    return "status"
                if any(r.what == "create" and r.id == 0 and r.cls == "#32770" for r in records):
                    return "box"
                return None
            got = ops.wait_until(outcome, timeout=RECORD_TIMEOUT)
            records = self.trace.since(mark)
            print(f"left click on Test Menu with E: under Wine: {got}; status texts "
                  f"{ops.Trace.texts(records, ID['StatusLine'])}")
            if got == "started":
                starts = self.recorded()
                args = starts[0]
                print(f"emulator arguments: {args[1:]}")
                self.assertEqual(args[:7], [INSTALLED_EMULATOR, "-L", self.qemu_windows, "-m",
                                            "1024", "-bios", "bios.bin"])
                # The front turns -localtime into what current QEMU takes.
                self.assertEqual(args[7:18], ["-rtc", "base=localtime", "-snapshot", "-name",
                                              "  Disk: E:\\ Memory: 1024 mb  ", "-net", "none", "-usb", "-boot", "c",
                                              "-drive"])
                self.assertRegex(args[18], r"^if=ide,cache=none,file=\\\\\.\\PHYSICALDRIVE[0-9]+$")
                self.assertEqual(len(args), 19)
            elif got == "status":
                self.assertEqual(ops.Trace.texts(records, ID["StatusLine"]), ["==  The disk of drive E: was not found"])
                self.assertFalse(os.path.exists(self.record))
            else:
                self.fail(f"the left click had no visible outcome ({got}); records: {records}")
        finally:
            self.remove_stand_in()


if __name__ == "__main__":
    ops.harness.run_tests(__name__)
