#!/usr/bin/env python3
"""Starts Drovelkit under Wine with a demo USB drive and a demo ISO image.

The 32-bit drovelkit.exe where this machine's kernel runs 32-bit programs,
else the 64-bit drovelkit64.exe (found by trying, see wine_variants.py).
On $DISPLAY when there is one (the program runs until you close it); otherwise
on a virtual display, where a screenshot is saved and the program is closed.
Everything lives in build/demo-win32 or build/demo-win64.
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import wine_variants  # noqa: E402


def runnable_build():
    """(build folder, program name, kind, loader) of the first build whose
    Wine loader starts here; exits with the reasons when none does."""
    reasons = []
    for build, kind, loader in wine_variants.VARIANTS:
        reason = wine_variants.why_not_starting(loader)
        if reason is None:
            name = "drovelkit64.exe" if kind == "64-bit" else "drovelkit.exe"
            return os.path.join(ROOT, build), name, kind, loader
        reasons.append(reason)
    sys.exit("No Drovelkit build can run under Wine here: " + "; ".join(reasons))


BUILD, PROGRAM, KIND, LOADER = runnable_build()
DEMO = os.path.join(ROOT, "build", "demo-" + os.path.basename(BUILD))
os.environ["DROVELKIT_BUILD_DIR"] = BUILD
os.environ["DROVELKIT_EXE"] = os.path.join(BUILD, PROGRAM)
os.environ["DROVELKIT_WINE"] = LOADER
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import harness  # noqa: E402


class DemoPaths(harness.Paths):
    def __init__(self):
        super().__init__()
        self.work = DEMO
        self.prefix = os.path.join(DEMO, "prefix")
        self.drives = os.path.join(DEMO, "drives")
        self.logs = os.path.join(DEMO, "logs")
        self.state = os.path.join(DEMO, "state.json")
        self.screenshots = DEMO


def demo_image(path):
    """A small ISO with a label and a few files, to drop on the window."""
    tree = os.path.join(DEMO, "iso-tree")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(os.path.join(tree, "sources"))
    os.makedirs(os.path.join(tree, "boot"))
    with open(os.path.join(tree, "README.TXT"), "w") as f:
        f.write("A demo image for Drovelkit.\r\n")
    with open(os.path.join(tree, "sources", "boot.wim"), "wb") as f:
        f.write(os.urandom(24 * 1024 * 1024))
    with open(os.path.join(tree, "boot", "bcd"), "wb") as f:
        f.write(os.urandom(64 * 1024))
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-V", "DEMO_X64_DV5", "-J", "-r", "-o", path, tree],
                   check=True, stdin=subprocess.DEVNULL)
    shutil.rmtree(tree)


def main():
    print(f"Starting the {KIND} {PROGRAM} ({os.path.relpath(BUILD, ROOT)}) with {LOADER}", flush=True)
    os.makedirs(DEMO, exist_ok=True)
    paths = DemoPaths()
    for folder in (paths.logs, paths.drives):
        os.makedirs(folder, exist_ok=True)
    image = os.path.join(DEMO, "demo.iso")
    if not os.path.exists(image):
        demo_image(image)

    own_display = os.environ.get("DISPLAY")
    if own_display:
        state = {"display": own_display}
    else:
        display, xvfb, fvwm = harness.start_display(paths)
        state = {"display": display, "xvfb_pid": xvfb, "fvwm_pid": fvwm}
    env = harness.base_wine_env(paths, state["display"])
    if not os.path.isdir(os.path.join(paths.prefix, "drive_c", "windows")):
        print("Creating the Wine prefix (about 15 s) ...", flush=True)
        harness.run_quiet([harness.WINE, "wineboot", "-i"], env, harness.BOOT_TIMEOUT, "wineboot -i")
        harness.run_quiet(["wineserver", "-w"], env, harness.BOOT_TIMEOUT, "wineserver -w")
        fresh = True
    else:
        fresh = False
    session = harness.Session(paths, state)
    if fresh:
        # The same fonts and substitutes as the tests use, so the window looks as it does on Windows.
        fonts = os.path.join(paths.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        if os.path.isdir(harness.WINE_FONTS_DIR):
            for name in os.listdir(harness.WINE_FONTS_DIR):
                shutil.copy(os.path.join(harness.WINE_FONTS_DIR, name), fonts)
        session.import_registry({
            r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes":
                harness.FONT_SUBSTITUTES,
        })
        session.restart_wineserver()
    usb = session.configure_drives({"e": {"kind": "removable", "label": "DEMO USB", "size_kib": 256 * 1024}})["E"]
    print(f"Demo USB drive E: is {usb}", flush=True)
    print(f"Demo image: {session.windows_path_of(image)}  (drop it on the window or choose it with 'ISO Image')")

    program = session.start_program()
    if own_display:
        program.proc.wait()
    else:
        time.sleep(2)
        shot = session.screenshot("demo-window")
        print(f"No display: screenshot of the window saved to {shot}")
        session.close_program(program)
        session.stop_all()
        harness.stop_pid(state["fvwm_pid"], "fvwm")
        harness.stop_pid(state["xvfb_pid"], "Xvfb")
    session.clear_drives()


if __name__ == "__main__":
    main()
