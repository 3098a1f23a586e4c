#!/usr/bin/env python3
"""Runs the real drovelkit.exe under Wine on a virtual X display.

One Wine prefix, one Xvfb display and one window manager serve a whole test
run: `harness.py setup` creates them (the first boot of a prefix takes about
15 s) and `harness.py cleanup` takes them down again; CTest runs the two as a
fixture around the tests. The tests import this module and talk to the
program's window through probe.exe.

Paths come from the environment that CTest sets:
  DROVELKIT_BUILD_DIR  build folder; everything made here lives below it
  DROVELKIT_EXE        the program under test
  DROVELKIT_PROBE      probe.exe
  DROVELKIT_WINE       the Wine loader for the build's programs: `wine` for
                       the 32-bit build, /usr/lib/wine/wine64 for the 64-bit one

Run by hand, for example:
  export DROVELKIT_BUILD_DIR=/work/main/build/win32
  export DROVELKIT_EXE=$DROVELKIT_BUILD_DIR/drovelkit.exe
  export DROVELKIT_PROBE=$DROVELKIT_BUILD_DIR/tests/wine/probe.exe
  python3 tests/wine/harness.py setup
  python3 tests/wine/test_window.py
  python3 tests/wine/harness.py cleanup
"""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

# CTest reports a test that ends with this code as skipped.
SKIP_CODE = 77

# Debian's `wine` goes through the 32-bit loader; the 64-bit build's tests
# start its programs with wine64, which also runs on kernels without 32-bit
# support.
WINE = os.environ.get("DROVELKIT_WINE") or "wine"

MAIN_CLASS = "DrovelkitMain"
BOX_CLASS = "DrovelkitMessageBox"

# Probe exit codes.
PROBE_OK = 0
PROBE_USAGE = 1
PROBE_NO_MAIN = 2
PROBE_TIMEOUT = 4

SCREEN_W = 1024
SCREEN_H = 768

# Bounds for waits. They only limit how long a broken run can take; a passing
# run never waits for them to expire.
BOOT_TIMEOUT = 240
WINE_CALL_TIMEOUT = 60
WINDOW_TIMEOUT_MS = 40000
EXIT_TIMEOUT = 30

DRIVE_TYPES = {"removable": "floppy", "fixed": "hd"}

FVWM_CONFIG = """\
DesktopSize 1x1
# Honour the position the program asks for, so centring can be checked.
Style * UsePPosition, ClickToFocus
"""

# Wine's own fonts are not found by Debian's wine unless they sit in the
# prefix; without them every face maps to DejaVu Sans, the stock system font
# included. The substitutes give the program's fonts metrics of the same
# kind as on Windows: Consolas stays fixed-pitch, the others scale smoothly
# (Wine's MS Sans Serif only comes in a few bitmap sizes).
FONT_SUBSTITUTES = {
    "Consolas": "DejaVu Sans Mono",
    "Microsoft Sans Serif": "Tahoma",
    "Segoe UI": "Tahoma",
}
WINE_FONTS_DIR = "/usr/share/wine/fonts"


class HarnessError(Exception):
    pass


def log(text):
    print(f"[harness] {text}", flush=True)


class Paths:
    def __init__(self):
        build = os.environ.get("DROVELKIT_BUILD_DIR")
        if not build:
            raise HarnessError("DROVELKIT_BUILD_DIR is not set")
        self.build = os.path.abspath(build)
        self.program = os.environ.get("DROVELKIT_EXE", os.path.join(self.build, "drovelkit.exe"))
        self.program_name = os.path.basename(self.program)
        self.probe = os.environ.get("DROVELKIT_PROBE", os.path.join(self.build, "tests", "wine", "probe.exe"))
        self.work = os.path.join(self.build, "wine-tests")
        self.prefix = os.path.join(self.work, "prefix")
        self.drives = os.path.join(self.work, "drives")
        self.logs = os.path.join(self.work, "logs")
        self.state = os.path.join(self.work, "state.json")
        self.screenshots = os.path.join(self.build, "screenshots")


def base_wine_env(paths, display=None):
    env = dict(os.environ)
    env.update(
        WINEPREFIX=paths.prefix,
        WINEDEBUG="-all",
        # No Mono or Gecko install dialogs, no menu entries in the home folder.
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        LC_ALL="C.UTF-8",
    )
    env.pop("WINEARCH", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def run_quiet(args, env, timeout, what):
    """Runs a command with its output in a log-free sink; a command that
    outlives |timeout| is killed. Returns the exit code."""
    try:
        return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        raise HarnessError(f"{what} did not finish within {timeout} s")


def run_captured(args, env, timeout):
    """Runs a command and returns (exit code, stdout, stderr). Output goes
    through files, not pipes: a Wine service started on the way would keep a
    pipe open long after the command has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise HarnessError(f"{args[:3]} did not finish within {timeout} s")
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def process_alive(pid, marker):
    """True if |pid| still runs a command line that contains |marker|, so a
    recycled process id is never taken for ours."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return marker.encode() in f.read()
    except OSError:
        return False


def stop_pid(pid, marker):
    if not pid or not process_alive(pid, marker):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        return
    for _ in range(50):
        if not process_alive(pid, marker):
            return
        time.sleep(0.1)
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass


def mounts_under(folder):
    found = []
    try:
        with open("/proc/mounts") as f:
            for line in f:
                target = line.split()[1].replace("\\040", " ")
                if target == folder or target.startswith(folder + os.sep):
                    found.append(target)
    except OSError:
        pass
    return sorted(found, reverse=True)


def unmount_all(folder):
    for target in mounts_under(folder):
        subprocess.run(["umount", "-l", target], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)


# ---- fixture: setup and cleanup ----

def start_display(paths):
    """Starts Xvfb on a display number that it picks itself (-displayfd, so
    two runs can't race for one number) and fvwm on it."""
    xvfb_log = open(os.path.join(paths.logs, "xvfb.log"), "wb")
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{SCREEN_W}x{SCREEN_H}x24",
         "-nolisten", "tcp", "-dpi", "96"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=xvfb_log, stderr=xvfb_log,
        start_new_session=True)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 0.5)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        xvfb.kill()
        raise HarnessError("Xvfb did not report a display number")
    display = ":" + number.strip().decode()

    config = os.path.join(paths.work, "fvwm.cfg")
    with open(config, "w") as f:
        f.write(FVWM_CONFIG)
    fvwm_log = open(os.path.join(paths.logs, "fvwm.log"), "wb")
    env = dict(os.environ, DISPLAY=display)
    fvwm = subprocess.Popen(["fvwm", "-f", config], env=env, stdin=subprocess.DEVNULL, stdout=fvwm_log,
                            stderr=fvwm_log, start_new_session=True)
    # The window manager is up once it has announced itself on the root window.
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        code, out, _ = run_captured(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env, 10)
        if code == 0 and "window id" in out:
            break
        time.sleep(0.2)
    else:
        raise HarnessError("fvwm did not start")
    return display, xvfb.pid, fvwm.pid


def registry_file(entries):
    """A REGEDIT4 file from {key: {name: value}}; ints become DWORDs."""
    lines = ["REGEDIT4", ""]
    for key, values in entries.items():
        lines.append(f"[{key}]")
        for name, value in values.items():
            if isinstance(value, int):
                lines.append(f'"{name}"=dword:{value:08x}')
            else:
                lines.append(f'"{name}"="{value}"')
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def setup():
    paths = Paths()
    cleanup(quiet=True)
    if os.path.exists(paths.work):
        shutil.rmtree(paths.work)
    for folder in (paths.work, paths.logs, paths.drives, paths.screenshots):
        os.makedirs(folder, exist_ok=True)

    display, xvfb_pid, fvwm_pid = start_display(paths)
    state = {"display": display, "xvfb_pid": xvfb_pid, "fvwm_pid": fvwm_pid}
    with open(paths.state, "w") as f:
        json.dump(state, f)
    log(f"display {display} (Xvfb {xvfb_pid}, fvwm {fvwm_pid})")

    env = base_wine_env(paths, display)
    started = time.monotonic()
    code = run_quiet([WINE, "wineboot", "-i"], env, BOOT_TIMEOUT, "wineboot -i")
    run_quiet(["wineserver", "-w"], env, BOOT_TIMEOUT, "wineserver -w")
    if code != 0 or not os.path.isdir(os.path.join(paths.prefix, "drive_c", "windows")):
        raise HarnessError(f"wineboot -i failed with code {code}")
    log(f"prefix booted in {time.monotonic() - started:.0f} s: {paths.prefix}")

    fonts = os.path.join(paths.prefix, "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    if os.path.isdir(WINE_FONTS_DIR):
        for name in os.listdir(WINE_FONTS_DIR):
            shutil.copy(os.path.join(WINE_FONTS_DIR, name), fonts)
    else:
        log(f"{WINE_FONTS_DIR} is missing (package fonts-wine); fonts will differ from Windows")

    session = Session(paths, state)
    session.import_registry({
        r"HKEY_CURRENT_USER\Control Panel\Desktop": {"LogPixels": 96},
        r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes": FONT_SUBSTITUTES,
    })
    session.restart_wineserver()
    log("setup done")


def cleanup(quiet=False):
    paths = Paths()
    state = {}
    try:
        with open(paths.state) as f:
            state = json.load(f)
    except (OSError, ValueError):
        pass
    if os.path.isdir(paths.prefix):
        env = base_wine_env(paths, state.get("display"))
        try:
            run_quiet(["wineserver", "-k"], env, 30, "wineserver -k")
        except HarnessError as error:
            log(str(error))
    stop_pid(state.get("fvwm_pid"), "fvwm")
    stop_pid(state.get("xvfb_pid"), "Xvfb")
    unmount_all(paths.drives)
    if not quiet:
        log("cleanup done")


# ---- the session that a test uses ----

class Program:
    """One running copy of the program, started through wine."""

    def __init__(self, session, exe_name, windows_path, proc, log_path):
        self.session = session
        self.exe_name = exe_name
        self.windows_path = windows_path
        self.proc = proc
        self.log_path = log_path

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        """The exit code, or None if the program still runs after |timeout|."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass


class Session:
    def __init__(self, paths=None, state=None):
        self.paths = paths or Paths()
        if state is None:
            try:
                with open(self.paths.state) as f:
                    state = json.load(f)
            except (OSError, ValueError):
                raise HarnessError("no test display: run `harness.py setup` first (the CTest fixture does)")
        self.display = state["display"]
        self.env = base_wine_env(self.paths, self.display)
        self.programs = []

    # -- wine and the registry --

    def wine(self, args, timeout=WINE_CALL_TIMEOUT):
        return run_captured([WINE] + list(args), self.env, timeout)

    def import_registry(self, entries):
        """Writes registry values into the 64-bit view. A plain `wine reg`
        from this 32-bit-first setup lands in Wow6432Node for HKLM\\Software,
        where mountmgr and the font mapper never look."""
        path = os.path.join(self.paths.work, "import.reg")
        with open(path, "w", newline="") as f:
            f.write(registry_file(entries))
        code, out, err = self.wine(["reg", "import", self.windows_path_of(path), "/reg:64"])
        if code != 0:
            raise HarnessError(f"reg import failed ({code}): {out} {err}")

    def delete_registry_value(self, key, name):
        self.wine(["reg", "delete", key, "/v", name, "/f", "/reg:64"])

    def windows_path_of(self, unix_path):
        return "Z:" + unix_path.replace("/", "\\")

    def restart_wineserver(self):
        """Stops every Wine process of the prefix and starts a persistent
        wineserver. mountmgr reads drive letters and their types only when it
        starts, so drive changes need this."""
        run_quiet(["wineserver", "-k"], self.env, 30, "wineserver -k")
        run_quiet(["wineserver", "-w"], self.env, 30, "wineserver -w")
        run_quiet(["wineserver", "-p"], self.env, 30, "wineserver -p")
        # Start the prefix's services now, with no pipe of ours attached.
        run_quiet([WINE, "cmd", "/c", "exit"], self.env, WINE_CALL_TIMEOUT, "wine cmd")

    def set_dpi(self, dpi):
        """Display resolution for programs started from now on."""
        self.import_registry({r"HKEY_CURRENT_USER\Control Panel\Desktop": {"LogPixels": dpi}})

    def set_large_system_font(self, large):
        """Wine's stock system font comes from FONTS.FON; without that file the
        "System" face falls to its substitute, DejaVu Sans, whose "testtext" is
        about 61 pixels wide: what large text scaling gives on Windows."""
        key_fonts = r"HKEY_CURRENT_CONFIG\Software\Fonts"
        key_subst = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes"
        if large:
            self.import_registry({key_fonts: {"FONTS.FON": "none-such.fon"}, key_subst: {"System": "DejaVu Sans"}})
        else:
            self.import_registry({key_fonts: {"FONTS.FON": "vgasys.fon"}})
            self.delete_registry_value(key_subst.replace("HKEY_LOCAL_MACHINE", "HKLM"), "System")

    # -- the probe --

    def probe(self, *args, exe=None, timeout=WINE_CALL_TIMEOUT):
        command = [WINE, self.paths.probe]
        if exe:
            command += ["-e", exe]
        command += [str(a) for a in args]
        code, out, err = run_captured(command, self.env, timeout)
        # The probe never ends with 1 silently (its usage text goes with it);
        # once in a full run Wine ended a fresh probe so before its main ran.
        # A probe that has not run has done nothing, so it is run again.
        if code == PROBE_USAGE and not err.strip() and not out:
            code, out, err = run_captured(command, self.env, timeout)
        return code, out, err

    def probe_json(self, *args, exe=None):
        code, out, err = self.probe(*args, exe=exe)
        if code != PROBE_OK:
            raise HarnessError(f"probe {' '.join(map(str, args))} failed with code {code}: {err.strip()}")
        try:
            return json.loads(out)
        except ValueError:
            raise HarnessError(f"probe {' '.join(map(str, args))} printed no JSON: {out!r} {err!r}")

    def dump(self, exe=None):
        return self.probe_json("dump", exe=exe)

    def settled_dump(self, exe=None, timeout=20):
        """A dump taken once two in a row agree: the program has finished
        whatever start-up work still changes its window."""
        deadline = time.monotonic() + timeout
        previous = self.dump(exe)
        while time.monotonic() < deadline:
            time.sleep(0.3)
            current = self.dump(exe)
            if current == previous:
                return current
            previous = current
        return previous

    def wait_until(self, predicate, exe=None, timeout=15):
        """Dumps until predicate(dump) holds; returns the last dump and
        whether it held."""
        deadline = time.monotonic() + timeout
        while True:
            current = self.dump(exe)
            if predicate(current):
                return current, True
            if time.monotonic() >= deadline:
                return current, False
            time.sleep(0.2)

    def wait_window(self, window_class=MAIN_CLASS, exe=None, timeout_ms=WINDOW_TIMEOUT_MS):
        code, _, _ = self.probe("wait-window", window_class, timeout_ms, exe=exe,
                                timeout=timeout_ms / 1000 + WINE_CALL_TIMEOUT)
        return code == PROBE_OK

    def system_fonts(self):
        return self.probe_json("dpi")

    def volume(self, root):
        return self.probe_json("volume", root)

    def combo_height(self, face, points, requested):
        return self.probe_json("combo-height", face, points, requested)

    # -- the program --

    def install_program(self, name=None, folder=""):
        """Copies the program to C:\\<folder>\\<name> (by default its own
        name); returns that Windows path."""
        name = name or self.paths.program_name
        target_dir = os.path.join(self.paths.prefix, "drive_c", folder)
        os.makedirs(target_dir, exist_ok=True)
        target = os.path.join(target_dir, name)
        # copy2 keeps the time stamp, so equal size and time mean the same file.
        source_stat = os.stat(self.paths.program)
        if (not os.path.exists(target) or os.path.getsize(target) != source_stat.st_size
                or os.path.getmtime(target) != source_stat.st_mtime):
            shutil.copy2(self.paths.program, target)
        return "C:\\" + (folder.replace("/", "\\") + "\\" if folder else "") + name

    def start_program(self, name=None, folder="", wait=True):
        """Copies the program to C:\\<folder>\\<name> (by default its own
        name) and starts it. With |wait| it returns once the main window shows."""
        name = name or self.paths.program_name
        windows_path = self.install_program(name, folder)
        log_path = os.path.join(self.paths.logs, f"{name}-{len(self.programs)}.log")
        log_file = open(log_path, "wb")
        proc = subprocess.Popen([WINE, windows_path], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=log_file, stderr=log_file, start_new_session=True)
        log_file.close()
        program = Program(self, name, windows_path, proc, log_path)
        self.programs.append(program)
        if wait and not self.wait_window(MAIN_CLASS, exe=name):
            code = program.wait_exit(0)
            raise HarnessError(f"{windows_path} showed no {MAIN_CLASS} window "
                               f"(process {'still runs' if code is None else f'exited with {code}'})")
        return program

    def close_program(self, program, timeout=EXIT_TIMEOUT):
        """Asks the main window to close and returns the exit code (None if
        the program did not end)."""
        self.probe("close", exe=program.exe_name)
        return program.wait_exit(timeout)

    def stop_all(self):
        """Ends every copy this session started: politely first, then by force."""
        for program in self.programs:
            if program.running():
                self.probe("close", exe=program.exe_name)
        for program in self.programs:
            if program.wait_exit(10) is None:
                program.kill()
        self.programs = []

    # -- drives --

    def configure_drives(self, drives):
        """Replaces the prefix's extra drive letters by |drives|:
        {letter: {"kind": "removable"|"fixed", "label": text or None,
                  "size_kib": n or None}}.
        A drive with a size is a tmpfs of exactly that size (so its total is
        known to the byte); one without is a folder on the build disk. (A
        drive without medium can't be made this way: Wine answers the volume
        query for any configured letter, even one whose folder is missing.)
        Returns {letter: unix folder}. Restarts the wineserver unless the
        prefix already has exactly no extra drives and none are asked for."""
        self.stop_all()
        dosdevices = os.path.join(self.paths.prefix, "dosdevices")
        extra = [e for e in os.listdir(dosdevices) if len(e) == 2 and e[1] == ":" and e[0] not in "cz"]
        if not drives and not extra and not mounts_under(self.paths.drives):
            return {}
        run_quiet(["wineserver", "-k"], self.env, 30, "wineserver -k")
        unmount_all(self.paths.drives)
        for entry in extra:
            os.unlink(os.path.join(dosdevices, entry))
        if os.path.exists(self.paths.drives):
            shutil.rmtree(self.paths.drives)
        os.makedirs(self.paths.drives)

        folders = {}
        types = {}
        for letter, wanted in drives.items():
            letter = letter.lower()
            folder = os.path.join(self.paths.drives, letter)
            os.makedirs(folder)
            if wanted.get("size_kib"):
                result = subprocess.run(
                    ["mount", "-t", "tmpfs", "-o", f"size={wanted['size_kib']}k", "drovelkit-test", folder],
                    stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
                if result.returncode != 0:
                    raise HarnessError(f"mount tmpfs for {letter}: failed: {result.stderr.decode().strip()}")
            if wanted.get("label") is not None:
                with open(os.path.join(folder, ".windows-label"), "w") as f:
                    f.write(wanted["label"] + "\n")
            os.symlink(folder, os.path.join(dosdevices, letter + ":"))
            folders[letter.upper()] = folder
            types[letter + ":"] = DRIVE_TYPES[wanted.get("kind", "removable")]

        # Old letters go too, so a drive of an earlier test can't linger.
        self.wine(["reg", "delete", r"HKLM\Software\Wine\Drives", "/f", "/reg:64"])
        if types:
            self.import_registry({r"HKEY_LOCAL_MACHINE\Software\Wine\Drives": types})
        self.restart_wineserver()
        return folders

    def clear_drives(self):
        try:
            self.configure_drives({})
        except HarnessError as error:
            log(f"clearing drives: {error}")
            unmount_all(self.paths.drives)

    # -- pictures --

    def screenshot(self, name):
        os.makedirs(self.paths.screenshots, exist_ok=True)
        path = os.path.join(self.paths.screenshots, name + ".png")
        env = dict(os.environ, DISPLAY=self.display)
        code, _, err = run_captured(["import", "-window", "root", path], env, 60)
        if code != 0:
            raise HarnessError(f"screenshot {name} failed: {err.strip()}")
        log(f"screenshot {path}")
        return path

    def close(self):
        self.stop_all()


# ---- helpers for the tests ----

def control(dump, control_id):
    for entry in dump["controls"]:
        if entry["id"] == control_id:
            return entry
    raise KeyError(control_id)


def scale(value, dpi):
    """A 96-dpi length at |dpi|, rounded down as the program scales."""
    return value * dpi // 96


def run_tests(module_name):
    """Runs the tests of a test file. Skips the whole file, with the reason,
    when there is nothing to test; a file whose every test was skipped counts
    as skipped, not passed."""
    try:
        paths = Paths()
    except HarnessError as error:
        print(f"SKIP: {error}")
        sys.exit(SKIP_CODE)
    if not os.path.isfile(paths.program):
        print(f"SKIP: the program under test is missing: {paths.program}")
        sys.exit(SKIP_CODE)
    if not os.path.isfile(paths.probe):
        print(f"SKIP: probe.exe is missing: {paths.probe}")
        sys.exit(SKIP_CODE)
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[module_name])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    for test, reason in result.skipped:
        print(f"SKIPPED {test.id()}: {reason}")
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIP_CODE)
    sys.exit(0)


def main(argv):
    if len(argv) != 2 or argv[1] not in ("setup", "cleanup"):
        print("usage: harness.py setup|cleanup", file=sys.stderr)
        return 2
    try:
        if argv[1] == "setup":
            setup()
        else:
            cleanup()
    except HarnessError as error:
        print(f"harness: {error}", file=sys.stderr)
        if argv[1] == "setup":
            cleanup(quiet=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
