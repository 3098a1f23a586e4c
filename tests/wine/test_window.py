#!/usr/bin/env python3
"""The main window as the user first sees it: frame, title, every control's
place, size, caption and initial state, at 96 and 144 dpi and with large
system text; and how the option groups and the disk-check box react to
clicks."""

import os
import re
import subprocess
import unittest

import harness
from controls import (ADMIN_ONLY, BY_NAME, CHECKABLE, CLIENT_H, CLIENT_W, CONTROLS, INITIAL_CHECKED,
                      INITIAL_HIDDEN, INITIAL_TEXT, SHORT_TITLE, TITLE, KIND_STYLES, WS_BORDER, WS_CAPTION,
                      WS_EX_CLIENTEDGE, WS_MAXIMIZEBOX, WS_MINIMIZEBOX, WS_SYSMENU, WS_THICKFRAME)
from harness import control, scale

# DriveCombo's fonts: "Consolas" at 11 points, at 8 points with large text.
COMBO_FACE = "Consolas"
COMBO_POINTS = 11
COMBO_POINTS_LARGE_TEXT = 8
LARGE_TEXT_LIMIT = 55
PAINTED_LIMIT = 0.8
FOCUSABLE_KINDS = ("dropdown", "push", "check", "check3", "option", "edit", "edit-readonly")
# Per control, a point (96-dpi units; negative counts from the right or
# bottom edge) that lies beside its text and box, and inside group boxes
# away from their frame line and from the controls they hold.
BACKGROUND_POINTS = {
    "LabelCaption": (1, 1),
    "ShowAllDrivesCheck": (-2, 1),
    "CheckDiskBox": (-2, 1),
    "FormatNoneOption": (-2, 1),
    "FormatExFatOption": (-2, 1),
    "BootBiosOption": (-2, 1),
    "BootEfi32Option": (-2, 1),
    "FormatFrame": (-6, -6),
    "TestMenuFrame": (-6, -6),
}
TEST_BUTTON_TOOLTIP = "Left click - USB flash drive, Right click - ISO disk image."

# A window manager puts its own frame around the window and may push it down
# by the height of its title bar; centring is checked within these margins.
CENTRE_SLACK_X = 12
CENTRE_SLACK_Y = 40


def lit_fraction(path, x, y, w, h):
    """The share of pixels in a rectangle of a PNG that are not pure black.
    Xvfb's screen starts black, so what nobody painted stays black."""
    out = subprocess.run(["convert", path, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-colorspace", "gray",
                          "-threshold", "0", "-format", "%[fx:mean]", "info:"],
                         capture_output=True, text=True, timeout=60).stdout
    return float(out)


def pixel(path, x, y):
    """The colour of one pixel of a PNG as (r, g, b)."""
    out = subprocess.run(["convert", path, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                         capture_output=True, text=True, timeout=60).stdout
    # "# ImageMagick pixel enumeration: ..." then "0,0: (245,245,245)  #F5F5F5  srgb(...)"
    found = re.search(r"^0,0:.*?#([0-9A-Fa-f]{6})", out, re.MULTILINE)
    if not found:
        raise AssertionError(f"no pixel read from {path}: {out!r}")
    hex_colour = found.group(1)
    return tuple(int(hex_colour[i:i + 2], 16) for i in (0, 2, 4))


class WindowLook:
    """Checks shared by every display setting; a subclass starts the program
    under its setting in setUpClass."""

    dpi = 96
    large_system_font = False
    screenshot_name = None

    @classmethod
    def setUpClass(cls):
        cls.session = harness.Session()
        try:
            cls.session.configure_drives({})
            cls.session.set_dpi(cls.dpi)
            cls.session.set_large_system_font(cls.large_system_font)
            cls.fonts = cls.session.system_fonts()
            cls.admin = cls.session.probe_json("admin")["admin"]
            cls.large_text = cls.fonts["system_font"]["testtext_width"] > LARGE_TEXT_LIMIT
            points = COMBO_POINTS_LARGE_TEXT if cls.large_text else COMBO_POINTS
            cls.combo_reference = cls.session.combo_height(COMBO_FACE, points, BY_NAME["DriveCombo"].h)
            cls.program = cls.session.start_program()
            cls.dump = cls.session.settled_dump()
            cls.shot = cls.session.screenshot(cls.screenshot_name) if cls.screenshot_name else None
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        if cls.dpi != 96:
            cls.session.set_dpi(96)
        if cls.large_system_font:
            cls.session.set_large_system_font(False)

    def ctl(self, name):
        return control(self.dump, BY_NAME[name].id)

    def test_display_setting_took_effect(self):
        # Guards the rest: if Wine ignored the setting, every number below
        # would be checked against the wrong scale.
        self.assertEqual((self.fonts["dpi_x"], self.fonts["dpi_y"]), (self.dpi, self.dpi))
        self.assertEqual(self.large_text, self.large_system_font,
                         f"system font \"testtext\" width {self.fonts['system_font']['testtext_width']} px")

    def test_frame_and_title(self):
        main = self.dump["main"]
        self.assertEqual(main["class"], "DrovelkitMain")
        self.assertEqual(main["text"], SHORT_TITLE if self.large_text else TITLE)
        self.assertTrue(main["visible"])
        self.assertEqual(main["exe"].lower(), self.session.paths.program_name.lower())
        style = main["style"]
        self.assertEqual(style & WS_CAPTION, WS_CAPTION, f"style {style:#x}: no caption")
        self.assertTrue(style & WS_SYSMENU, f"style {style:#x}: no system menu")
        self.assertTrue(style & WS_MINIMIZEBOX, f"style {style:#x}: no minimise box")
        self.assertFalse(style & WS_MAXIMIZEBOX, f"style {style:#x}: has a maximise box")
        self.assertFalse(style & WS_THICKFRAME, f"style {style:#x}: resizable frame")
        self.assertTrue(main["foreground"], "the new window is not the foreground window")

    def test_declares_dpi_awareness(self):
        # 1 system aware, 2 per-monitor aware; 0 would let the window system
        # stretch the window instead of the program laying it out.
        self.assertIn(self.dump["main"]["dpi_awareness"], (1, 2))

    def test_client_area(self):
        self.assertEqual(self.dump["main"]["client"],
                         {"w": scale(CLIENT_W, self.dpi), "h": scale(CLIENT_H, self.dpi)})

    def test_window_centred_on_screen(self):
        window = self.dump["main"]["window"]
        screen = self.dump["screen"]
        want_x = (screen["w"] - window["w"]) // 2
        want_y = (screen["h"] - window["h"]) // 2
        self.assertLessEqual(abs(window["x"] - want_x), CENTRE_SLACK_X, f"window {window}, screen {screen}")
        self.assertLessEqual(abs(window["y"] - want_y), CENTRE_SLACK_Y, f"window {window}, screen {screen}")

    def test_tab_order(self):
        # The window system tabs through children in z-order, which is
        # creation order unless the program moved a child. Only controls that
        # take the focus count: a group box may sit anywhere.
        focusable = [c.id for c in CONTROLS if c.kind in FOCUSABLE_KINDS]
        got = [i for i in self.dump["child_order"] if i in focusable]
        self.assertEqual(got, focusable)

    def test_control_kinds(self):
        for c in CONTROLS:
            with self.subTest(control=c.name):
                got = self.ctl(c.name)
                self.assertTrue(got["present"], f"{c.name} ({c.id}) missing")
                self.assertEqual(got["class"].lower(), c.cls.lower())
                self.assertTrue(KIND_STYLES[c.kind](got["style"]),
                                f"{c.name}: style {got['style']:#x} is not a {c.kind}")

    def test_edit_borders(self):
        for name in ("IsoPathField", "LabelField"):
            with self.subTest(control=name):
                self.assertTrue(self.ctl(name)["exstyle"] & WS_EX_CLIENTEDGE, f"{name} has no sunken border")
        status = self.ctl("StatusLine")
        self.assertFalse(status["exstyle"] & WS_EX_CLIENTEDGE, "StatusLine has a sunken border")
        self.assertFalse(status["style"] & WS_BORDER, "StatusLine has a border")

    def test_control_rectangles(self):
        for c in CONTROLS:
            with self.subTest(control=c.name):
                got = self.ctl(c.name)
                want = {"x": scale(c.x, self.dpi), "y": scale(c.y, self.dpi),
                        "w": scale(c.w, self.dpi), "h": scale(c.h, self.dpi)}
                if c.name == "DriveCombo":
                    # A closed drop-down list takes its height from its font;
                    # test_drive_combo_height covers it.
                    want["h"] = got["h"]
                self.assertEqual({k: got[k] for k in "xywh"}, want, f"{c.name} ({c.id})")

    def test_drive_combo_height(self):
        # The same drop-down list built by the probe with the font the
        # program should use: its items show that font. Closed, a drop-down
        # list is as high as the window system makes it for its font; a
        # program may instead size its selection field so that the closed
        # list takes exactly its listed height. Anything else is neither.
        got = self.ctl("DriveCombo")
        ref = self.combo_reference
        listed = scale(BY_NAME["DriveCombo"].h, self.dpi)
        facts = (f"DriveCombo: closed {got['h']}, field {got['field_height']}, items {got['item_height']}; "
                 f"reference in {COMBO_FACE}: closed {ref['h']}, field {ref['field_height']}, "
                 f"items {ref['item_height']}; listed height {listed}")
        with self.subTest(what="font"):
            self.assertEqual(got["item_height"], ref["item_height"], facts)
        with self.subTest(what="closed height"):
            self.assertIn(got["h"], (ref["h"], listed), facts)

    def test_captions(self):
        for c in CONTROLS:
            if c.caption is None or c.name == "TestMenuFrame" and not self.admin:
                continue
            with self.subTest(control=c.name):
                self.assertEqual(self.ctl(c.name)["text"], c.caption)

    def test_initial_texts(self):
        for name, text in INITIAL_TEXT.items():
            with self.subTest(control=name):
                self.assertEqual(self.ctl(name)["text"], text)
        want_status = TITLE if self.large_text else ""
        self.assertEqual(self.ctl("StatusLine")["text"], want_status)

    def test_initial_visibility(self):
        for c in CONTROLS:
            with self.subTest(control=c.name):
                self.assertEqual(self.ctl(c.name)["visible"], c.name not in INITIAL_HIDDEN)

    def test_initial_checks(self):
        for name in sorted(CHECKABLE):
            with self.subTest(control=name):
                self.assertEqual(self.ctl(name)["check"], 1 if name in INITIAL_CHECKED else 0)

    def test_initial_enabled(self):
        # Wine lets every user open the service manager with full rights,
        # so the emulator controls stay enabled there.
        for c in CONTROLS:
            with self.subTest(control=c.name):
                want = self.admin or c.name not in ADMIN_ONLY
                self.assertEqual(self.ctl(c.name)["enabled"], want)
        if not self.admin:
            self.assertEqual(self.ctl("TestMenuFrame")["text"], "")

    def test_test_button_tooltip(self):
        tips = [t for t in self.dump["tooltips"] or [] if t["control"] == BY_NAME["TestMenuButton"].id]
        self.assertEqual([t["text"] for t in tips], [TEST_BUTTON_TOOLTIP], f"tooltips: {self.dump['tooltips']}")

    def test_progress_bar_range(self):
        bar = self.ctl("CopyProgressBar")
        self.assertEqual((bar["min"], bar["max"]), (0, 100))

    def test_empty_drive_list(self):
        # The prefix has only C: and Z:, both fixed: nothing to list, nothing
        # selected, no text.
        combo = self.ctl("DriveCombo")
        self.assertEqual((combo["count"], combo["cursel"], combo["items"], combo["text"]), (0, -1, [], ""))

    def test_background_is_dialog_face(self):
        if not self.shot:
            self.skipTest("no screenshot taken")
        origin = self.dump["main"]["client_origin"]
        # Near the top right corner of the client area no control lies.
        x = origin["x"] + scale(CLIENT_W - 6, self.dpi)
        y = origin["y"] + scale(4, self.dpi)
        colour = self.fonts["btnface"]
        want = (colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF)
        self.assertEqual(pixel(self.shot, x, y), want)


    def test_visible_controls_are_painted(self):
        # Text is black but thin; a control that is mostly black was never
        # drawn, or something drew over it.
        if not self.shot:
            self.skipTest("no screenshot taken")
        origin = self.dump["main"]["client_origin"]
        for c in CONTROLS:
            got = self.ctl(c.name)
            if not got["visible"]:
                continue
            with self.subTest(control=c.name):
                lit = lit_fraction(self.shot, origin["x"] + got["x"], origin["y"] + got["y"], got["w"], got["h"])
                self.assertGreaterEqual(lit, PAINTED_LIMIT, f"{c.name} ({c.id}): only {lit:.0%} of its "
                                        f"rectangle is not black in {os.path.basename(self.shot)}")


    def test_caption_backgrounds_are_dialog_face(self):
        # Points inside a control's rectangle where no text or box is drawn:
        # there the window's dialog-face background must show, as it does
        # around text on any Windows dialog.
        if not self.shot:
            self.skipTest("no screenshot taken")
        origin = self.dump["main"]["client_origin"]
        colour = self.fonts["btnface"]
        want = (colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF)
        for name, (px, py) in BACKGROUND_POINTS.items():
            got = self.ctl(name)
            with self.subTest(control=name):
                x = origin["x"] + got["x"] + (scale(px, self.dpi) if px >= 0 else got["w"] + scale(px, self.dpi))
                y = origin["y"] + got["y"] + (scale(py, self.dpi) if py >= 0 else got["h"] + scale(py, self.dpi))
                self.assertEqual(pixel(self.shot, x, y), want,
                                 f"{name} ({got['id']}) at screen ({x}, {y}) in {os.path.basename(self.shot)}")


class WindowAt96Dpi(WindowLook, unittest.TestCase):
    dpi = 96
    screenshot_name = "window-96dpi"


class WindowAt144Dpi(WindowLook, unittest.TestCase):
    dpi = 144
    screenshot_name = "window-144dpi"


class WindowWithLargeSystemText(WindowLook, unittest.TestCase):
    dpi = 96
    large_system_font = True
    screenshot_name = "window-96dpi-large-text"


class ProgramFile(unittest.TestCase):
    """What the executable tells the window system before it runs."""

    def test_icon_and_manifest(self):
        session = harness.Session()
        found = session.probe_json("resources", session.install_program())
        self.assertTrue(found["icon_group_1"], "no icon group with id 1")
        manifest = found["manifest"] or ""
        self.assertIn("Microsoft.Windows.Common-Controls", manifest)
        self.assertRegex(manifest, r'version="6\.0\.0\.0"')
        self.assertRegex(manifest, r"<dpiAware[^>]*>\s*true", "not declared DPI-aware")
        # No elevation request: at most "asInvoker".
        self.assertNotRegex(manifest, r"requireAdministrator|highestAvailable")


class WindowReactions(unittest.TestCase):
    """Clicks that the window system handles for the program."""

    @classmethod
    def setUpClass(cls):
        cls.session = harness.Session()
        try:
            cls.session.configure_drives({})
            cls.session.set_dpi(96)
            cls.session.set_large_system_font(False)
            cls.program = cls.session.start_program()
            cls.session.settled_dump()
        except Exception:
            cls.session.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def checks(self, names):
        dump = self.session.dump()
        return {name: control(dump, BY_NAME[name].id)["check"] for name in names}

    def click_and_wait(self, name, settled):
        self.session.probe("click", BY_NAME[name].id)
        dump, held = self.session.wait_until(settled, timeout=10)
        return dump

    def test_option_groups_are_separate(self):
        fmt = ["FormatNoneOption", "FormatNtfsOption", "FormatFatOption", "FormatExFatOption"]
        boot = ["BootBiosOption", "BootEfi64Option", "BootEfi32Option"]
        for name in ["FormatNtfsOption", "BootEfi32Option", "FormatExFatOption", "BootEfi64Option",
                     "FormatNoneOption", "BootBiosOption"]:
            with self.subTest(click=name):
                self.click_and_wait(name, lambda d, n=name: control(d, BY_NAME[n].id)["check"] == 1)
                got = self.checks(fmt + boot)
                group = fmt if name in fmt else boot
                other = boot if name in fmt else fmt
                self.assertEqual([n for n in group if got[n]], [name], f"after clicking {name}: {got}")
                self.assertEqual(sum(got[n] for n in other), 1, f"clicking {name} changed the other group: {got}")

    def test_check_disk_box_cycles(self):
        # Clear, third state, ticked, clear: the program moves the box, a
        # click alone does not.
        box = BY_NAME["CheckDiskBox"].id
        seen = []
        for want in (2, 1, 0):
            self.session.probe("click", box)
            dump, _ = self.session.wait_until(lambda d, w=want: control(d, box)["check"] == w, timeout=10)
            seen.append(control(dump, box)["check"])
        self.assertEqual(seen, [2, 1, 0])


if __name__ == "__main__":
    harness.run_tests(__name__)
