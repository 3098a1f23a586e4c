"""Shared pieces of the Wine tests of the program's operations: test images,
drops from outside, the window trace, the archiver gate, xdotool input.

The tests run the real drovelkit.exe in the prefix and on the display that
the Wine test fixture made (tests/wine/harness.py). Extra paths come from the
environment that CTest sets:
  DROVELKIT_XDND_DRAG       host program that drops files onto an X window
  DROVELKIT_TRACE_EXE       trace.exe (trace_hook.dll beside it)
  DROVELKIT_RECORD_ARGS     record_args.exe, the recording emulator stand-in
  DROVELKIT_MESSAGE_BOX_TEXT  message_box_text.exe (reads and closes a box)
"""

import ctypes
import decimal
import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import harness  # noqa: E402
from controls import BY_NAME  # noqa: E402

ID = {name: c.id for name, c in BY_NAME.items()}
BOX_TEXT_ID = 2001
BOX_OK_ID = 2002

ARCHIVER = "7zdrovelkit.exe"
PLEASE_WAIT = "==  Please wait ..."

# Bounds for waits; a passing run never reaches them.
LISTING_TIMEOUT = 90
OPERATION_TIMEOUT = 180


class OpsError(Exception):
    pass


def tool_path(variable):
    path = os.environ.get(variable, "")
    return path if path and os.path.exists(path) else None


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def missing_tools(*variables):
    """The reasons why tools that a test needs are absent (empty if none)."""
    reasons = []
    for variable in variables:
        if not tool_path(variable):
            reasons.append(f"{variable} is not set or names no file ({os.environ.get(variable, '')!r})")
    for program in ("xdotool", "xorriso", "import"):
        if not shutil.which(program):
            reasons.append(f"{program} is not installed (scripts/setup.sh installs it)")
    return reasons


def group_thousands(value):
    """The program's number grouping: "." before the last three digits and
    before the three in front of them, never more."""
    text = str(value)
    if value > 999:
        text = text[:-3] + "." + text[-3:]
    if value > 999999:
        text = text[:-7] + "." + text[-7:]
    return text


def round_half_even(value):
    return int(decimal.Decimal(repr(value)).quantize(decimal.Decimal(1), rounding=decimal.ROUND_HALF_EVEN))


# ---- test images ----

class Image:
    """An ISO image built from a folder tree, with what the archiver's
    listing says about it worked out from the tree itself."""

    def __init__(self, path, tree, label, boot_load_sectors):
        self.path = path
        self.tree = tree
        self.label = label
        self.name = os.path.basename(path)
        files = folders = size = 0
        for folder, dirs, names in os.walk(tree):
            folders += len(dirs)
            for name in names:
                files += 1
                size += os.path.getsize(os.path.join(folder, name))
        if boot_load_sectors:
            # 7-Zip shows an El Torito image as one more file,
            # [BOOT]/Boot-NoEmul.img, as long as the sectors the BIOS loads;
            # "[BOOT]" is a name prefix, not a folder of the listing.
            files += 1
            size += boot_load_sectors * 512
        self.files = files
        self.folders = folders
        self.size_bytes = size
        self.size_kib = size // 1024

    def listing_status(self):
        """The status line after a successful listing."""
        return f"Size: {group_thousands(self.size_kib)}Kb,  {self.files} files, {self.folders} folders "


def write_random(path, size, chunk=1 << 20):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(chunk, left)
            f.write(os.urandom(n))
            left -= n


def make_iso(path, tree, label, boot_image=None, boot_load_sectors=4, large_files=False):
    """Builds an ISO 9660 image (Rock Ridge and Joliet) of |tree| with
    volume label |label|. With |boot_image| (a path inside the tree) it is
    El Torito bootable without emulation, as install media are; the boot
    catalog is hidden so that the visible tree is exactly |tree|. With
    |large_files| files of 4 GiB and more are allowed (ISO level 3), and the
    image keeps its runs of zeros as holes, so a sparse file in the tree
    costs no disk space in the image either."""
    args = ["xorriso", "-as", "mkisofs", "-V", label, "-J", "-R", "-o", path]
    if large_files:
        args[3:3] = ["-iso-level", "3"]
    if boot_image:
        args += ["-b", boot_image, "-no-emul-boot", "-boot-load-size", str(boot_load_sectors),
                 "--boot-catalog-hide"]
    args.append(tree)
    if os.path.exists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    result = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    if result.returncode != 0:
        raise OpsError(f"xorriso failed: {result.stderr.decode(errors='replace')[-2000:]}")
    if large_files:
        subprocess.run(["fallocate", "--dig-holes", path], stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    return Image(path, tree, label, boot_load_sectors if boot_image else 0)


def tree_listing(root):
    """{relative path: size or None for a folder} of everything under root."""
    found = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs:
            found[os.path.relpath(os.path.join(folder, name), root)] = None
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def trees_differ(want_root, got_root):
    """Differences between two trees as text lines (empty when equal): the
    same entries, and files of the same content."""
    want, got = tree_listing(want_root), tree_listing(got_root)
    lines = [f"missing {p}" for p in sorted(set(want) - set(got))]
    lines += [f"extra {p}" for p in sorted(set(got) - set(want))]
    for p in sorted(set(want) & set(got)):
        if want[p] != got[p]:
            lines.append(f"{p}: size {got[p]}, want {want[p]}")
        elif want[p] is not None and file_digest(os.path.join(want_root, p)) != file_digest(os.path.join(got_root, p)):
            lines.append(f"{p}: content differs")
    return lines


# ---- processes on the Linux side ----

def _wine_process(pid, exe_name):
    """The command line of process |pid| if it is a live Wine process
    running |exe_name|, else None. Wine names each process after its
    executable (cut to 15 characters by the kernel)."""
    try:
        with open(f"/proc/{pid}/comm") as f:
            comm = f.read().strip()
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
    except (OSError, IndexError):
        return None
    if state == "Z" or comm.lower() != exe_name.lower()[:15]:
        return None
    return cmdline


def _wine_prefix_of(pid):
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            for item in f.read().split(b"\0"):
                if item.startswith(b"WINEPREFIX="):
                    return os.path.realpath(item[len(b"WINEPREFIX="):].decode(errors="replace"))
    except OSError:
        pass
    return None


def wine_processes(exe_name, prefix=None):
    """(pid, command line) of the live Wine processes running |exe_name|;
    with |prefix|, only those of that Wine prefix, so that a test never
    touches another run's processes on the same machine."""
    wanted = os.path.realpath(prefix) if prefix else None
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            cmdline = _wine_process(int(entry), exe_name)
            if cmdline is not None and (wanted is None or _wine_prefix_of(int(entry)) == wanted):
                found.append((int(entry), cmdline))
    return found


class CpuLimit:
    """A kernel CPU quota for chosen processes (a cgroup of the cpu
    controller, version 1 or 2), so that "slow" does not depend on how soon
    the test itself gets the processor back. None when the machine offers
    none; callers then fall back to signals."""

    PERIOD_US = 100000

    @classmethod
    def create(cls):
        name = f"drovelkit-tests-{os.getpid()}"
        for root, quota_file in (("/sys/fs/cgroup/cpu", "cpu.cfs_quota_us"), ("/sys/fs/cgroup", "cpu.max")):
            if not os.path.isfile(os.path.join(root, "cgroup.procs")):
                continue
            if quota_file == "cpu.max":
                try:
                    with open(os.path.join(root, "cgroup.subtree_control")) as f:
                        if "cpu" not in f.read().split():
                            continue
                except OSError:
                    continue
            folder = os.path.join(root, name)
            try:
                os.makedirs(folder, exist_ok=True)
                limit = cls(root, folder, quota_file)
                limit.set_share(None)
                return limit
            except OSError:
                try:
                    os.rmdir(folder)
                except OSError:
                    pass
        return None

    def __init__(self, root, folder, quota_file):
        self.root = root
        self.folder = folder
        self.quota_file = quota_file
        if quota_file == "cpu.cfs_quota_us":
            with open(os.path.join(folder, "cpu.cfs_period_us"), "w") as f:
                f.write(str(self.PERIOD_US))

    def set_share(self, share):
        """share: fraction of one processor, or None for no limit."""
        quota = int(self.PERIOD_US * share) if share else None
        with open(os.path.join(self.folder, self.quota_file), "w") as f:
            if self.quota_file == "cpu.max":
                f.write(f"{quota if quota else 'max'} {self.PERIOD_US}")
            else:
                f.write(str(quota if quota else -1))

    def add(self, pid):
        try:
            with open(os.path.join(self.folder, "cgroup.procs"), "w") as f:
                f.write(str(pid))
        except OSError:
            pass

    def release(self, pid):
        """Back to the hierarchy's root, unlimited."""
        try:
            with open(os.path.join(self.root, "cgroup.procs"), "w") as f:
                f.write(str(pid))
        except OSError:
            pass

    def remove(self):
        try:
            with open(os.path.join(self.folder, "cgroup.procs")) as f:
                left = [line.strip() for line in f if line.strip()]
        except OSError:
            left = []
        for pid in left:
            try:
                with open(os.path.join(self.root, "cgroup.procs"), "w") as f:
                    f.write(pid)
            except OSError:
                pass
        try:
            os.rmdir(self.folder)
        except OSError:
            pass


class ToolGate:
    """Slows down or stops the archiver while it runs, from outside, the way
    a slow USB stick would: a whole extraction of a test image takes well
    under a second under Wine, too short for a person (or a test) to watch
    the progress or to press Escape.

    Modes: "free" (run normally), "slow" (a small share of one processor,
    enforced by the kernel where it can; else by stopping and continuing the
    process), "hold" (stopped as soon as it is seen). Only processes of
    |exe_name| whose command line holds |marker| are touched; every one
    touched is let go again at the end.

    A test that must catch the archiver still running holds it from before
    its start and lets it on in short slices (step(), or Trace.wait_for
    with gate=) while it waits: a slowed archiver could still finish before
    the test, on a busy machine, gets round to holding it."""

    # While the program itself waits inside the quota for the target to be
    # born, it needs enough of a processor to start it.
    BIRTH_SHARE = 0.1

    def __init__(self, exe_name=ARCHIVER, marker="-bsp1", share=0.02, parent=None):
        self.exe_name = exe_name
        self.marker = marker
        self.share = share
        self.mode = "free"
        self.touched = set()
        self.limit = None
        # With a parent (the program), its processes wait inside the quota
        # until the first target is seen: Wine forks a new process from the
        # one that starts it, so the target is born slowed, however late
        # this look at /proc comes.
        self.parent = parent
        self.parent_pids = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def __enter__(self):
        self.limit = CpuLimit.create()
        if self.limit and self.parent:
            self.parent_pids = [pid for pid, _ in wine_processes(self.parent.exe_name, harness.Paths().prefix)]
            self.limit.set_share(self.BIRTH_SHARE)
            for pid in self.parent_pids:
                self.limit.add(pid)
        self._thread.start()
        return self

    def _release_parent(self):
        for pid in self.parent_pids:
            self.limit.release(pid)
        if self.parent_pids and self.mode != "free":
            self.limit.set_share(self.share)
        self.parent_pids = []

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=10)
        self._signal(self.touched, signal.SIGCONT)
        if self.limit:
            self._release_parent()
            self.limit.remove()

    def set_mode(self, mode):
        with self._lock:
            self.mode = mode
            # Stop before anything else: between two looks of the loop the
            # archiver would otherwise run on.
            if mode == "hold":
                self._signal(self.touched, signal.SIGSTOP)
            if self.limit:
                self.limit.set_share(None if mode == "free" else
                                     self.BIRTH_SHARE if self.parent_pids else self.share)

    def step(self, slice_s=0.04):
        """Lets the held processes run for one slice (at the slow share),
        then holds them again."""
        with self._lock:
            if self.mode != "hold":
                return
            self.mode = "stepping"
            pids = self._targets()
            self._signal(pids, signal.SIGCONT)
        time.sleep(slice_s)
        self.set_mode("hold")

    def _is_target(self, pid):
        cmdline = _wine_process(pid, self.exe_name)
        return cmdline is not None and self.marker in cmdline

    def _targets(self):
        prefix = harness.Paths().prefix
        return [pid for pid, cmdline in wine_processes(self.exe_name, prefix) if self.marker in cmdline]

    def _signal(self, pids, sig):
        # Only processes that are still ours: a process id can be reused.
        for pid in list(pids):
            if self._is_target(pid):
                try:
                    os.kill(pid, sig)
                except OSError:
                    pass

    def _loop(self):
        period = 0.06
        while not self._stop.is_set():
            pids = self._targets()
            with self._lock:
                mode = self.mode
                for pid in pids:
                    if pid not in self.touched:
                        self.touched.add(pid)
                        if self.limit:
                            self.limit.add(pid)
                if pids and self.parent_pids:
                    if mode == "hold":
                        self._signal(pids, signal.SIGSTOP)
                    self._release_parent()
                if mode == "hold":
                    self._signal(pids, signal.SIGSTOP)
                elif mode == "free" or self.limit or not pids:
                    self._signal(pids, signal.SIGCONT)
            if mode == "slow" and pids and not self.limit:
                # No kernel quota: run a share of each period.
                with self._lock:
                    if self.mode == "slow":
                        self._signal(pids, signal.SIGCONT)
                time.sleep(period * self.share)
                with self._lock:
                    if self.mode == "slow":
                        self._signal(pids, signal.SIGSTOP)
                time.sleep(period * (1 - self.share))
                continue
            time.sleep(0.005)

    def running(self):
        return bool(self._targets())


class FolderWatch:
    """Entries created in and deleted from one folder, as the kernel
    reports them (inotify), so that a folder that lives only for a moment is
    still seen."""

    IN_CREATE = 0x100
    IN_DELETE = 0x200
    IN_MOVED_TO = 0x80
    IN_ISDIR = 0x40000000

    def __init__(self, folder):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OpsError(f"inotify_init1 failed: {os.strerror(ctypes.get_errno())}")
        mask = self.IN_CREATE | self.IN_DELETE | self.IN_MOVED_TO
        if self.libc.inotify_add_watch(self.fd, os.fsencode(folder), mask) < 0:
            os.close(self.fd)
            raise OpsError(f"inotify_add_watch {folder} failed: {os.strerror(ctypes.get_errno())}")
        self.events = []

    def poll(self):
        """Reads what has happened so far; returns all events as
        ("created"|"deleted", name, is_folder), oldest first."""
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            offset = 0
            while offset + 16 <= len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].split(b"\0", 1)[0].decode(errors="replace")
                kind = "deleted" if mask & self.IN_DELETE else "created"
                self.events.append((kind, name, bool(mask & self.IN_ISDIR)))
                offset += 16 + length
        return self.events

    def close(self):
        os.close(self.fd)


# ---- the window trace ----

class Record:
    __slots__ = ("tick", "id", "cls", "what", "wparam", "lparam", "text", "index")

    def __init__(self, line, index):
        parts = line.split("\t", 6)
        while len(parts) < 7:
            parts.append("")
        self.tick = int(parts[0]) if parts[0].isdigit() else 0
        self.id = int(parts[1]) if parts[1].lstrip("-").isdigit() else 0
        self.cls = parts[2]
        self.what = parts[3]
        self.wparam = int(parts[4]) if parts[4].lstrip("-").isdigit() else 0
        self.lparam = int(parts[5]) if parts[5].lstrip("-").isdigit() else 0
        self.text = re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1), m.group(1)),
                           parts[6])
        self.index = index

    def __repr__(self):
        return f"<{self.index} {self.tick} {self.id} {self.cls} {self.what} {self.wparam} {self.lparam} {self.text!r}>"


class Trace:
    """What trace.exe's hook wrote: every text, visibility, enabled state,
    progress and option change of the program's window thread, in order."""

    def __init__(self, session, path):
        self.session = session
        self.path = path
        self.proc = None

    def clear(self):
        with open(self.path, "w"):
            pass

    def attach(self, exe_name=None, timeout=30):
        """Hooks the running program; returns once its first line is in."""
        args = [harness.WINE, os.environ["DROVELKIT_TRACE_EXE"]]
        if exe_name:
            args += ["-e", exe_name]
        log = open(self.path + ".trace-exe.log", "wb")
        self.proc = subprocess.Popen(args, env=self.session.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     start_new_session=True)
        log.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(r.what == "attach" for r in self.records()):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise OpsError(f"the trace hook did not attach (trace.exe {self.proc.poll()}): "
                       f"{open(self.path + '.trace-exe.log', errors='replace').read()}")

    def detach(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.proc = None

    def records(self):
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                lines = f.read().split("\n")
        except OSError:
            return []
        # The last piece may be a line still being written.
        return [Record(line, i) for i, line in enumerate(lines[:-1]) if line]

    def mark(self):
        """A position: records after it are "since the mark"."""
        return len(self.records())

    def since(self, mark):
        return [r for r in self.records() if r.index >= mark]

    def wait_for(self, predicate, since=0, timeout=60, what="a trace record", gate=None):
        """The first record at or after |since| for which predicate holds.
        With a held |gate|, its processes go on one slice between looks."""
        deadline = time.monotonic() + timeout
        while True:
            for record in self.records():
                if record.index >= since and predicate(record):
                    return record
            if time.monotonic() >= deadline:
                tail = "\n".join(map(repr, self.records()[-25:]))
                raise AssertionError(f"no {what} within {timeout} s; last records:\n{tail}")
            if gate:
                gate.step()
            else:
                time.sleep(0.05)

    @staticmethod
    def texts(records, control_id):
        return [r.text for r in records if r.what == "text" and r.id == control_id]


def is_text(control_id, text=None, prefix=None):
    def predicate(record):
        if record.what != "text" or record.id != control_id:
            return False
        if text is not None:
            return record.text == text
        if prefix is not None:
            return record.text.startswith(prefix)
        return True
    return predicate


def is_show(control_id, visible):
    return lambda r: r.what == "show" and r.id == control_id and bool(r.wparam) == visible


# ---- the session ----

class OpsSession(harness.Session):
    """The fixture's prefix and display, with the program started so that
    its window can be traced and its children recorded."""

    def __init__(self, work_name):
        super().__init__()
        self.ops_work = os.path.join(self.paths.work, "operations", work_name)
        if os.path.exists(self.ops_work):
            shutil.rmtree(self.ops_work)
        os.makedirs(self.ops_work)
        self.xenv = dict(os.environ, DISPLAY=self.display)
        self.trace = Trace(self, os.path.join(self.ops_work, "trace.log"))
        self.env["DROVELKIT_TRACE_FILE"] = self.windows_path_of(self.trace.path)
        self._temp_dir = None

    def work(self, *parts):
        return os.path.join(self.ops_work, *parts)

    def start_traced(self):
        self.trace.clear()
        program = self.start_program()
        self.settled_dump()
        self.trace.attach()
        return program

    def close(self):
        super().close()
        self.trace.detach()

    def remove_work(self):
        """Removes the images and trees; keeps the logs for a look after
        a failure."""
        for name in os.listdir(self.ops_work):
            path = os.path.join(self.ops_work, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif not name.endswith((".log", ".txt")):
                os.remove(path)

    # -- places in the prefix --

    def temp_dir(self):
        """(Windows path, Unix path) of the program's TEMP folder."""
        if self._temp_dir is None:
            code, out, err = self.wine(["cmd", "/c", "echo", "%TEMP%"])
            windows = out.strip().splitlines()[-1].strip() if out.strip() else ""
            if code != 0 or not re.match(r"^[A-Za-z]:\\", windows):
                raise OpsError(f"TEMP of the prefix not found: {code} {out!r} {err!r}")
            self._temp_dir = (windows, self.unix_path_of(windows))
        return self._temp_dir

    def unix_path_of(self, windows_path):
        letter = windows_path[0].lower()
        target = os.path.realpath(os.path.join(self.paths.prefix, "dosdevices", letter + ":"))
        rest = windows_path[3:].replace("\\", "/")
        # Wine folders are case-insensitive; find the real spelling.
        path = target
        for part in [p for p in rest.split("/") if p]:
            candidate = os.path.join(path, part)
            if not os.path.exists(candidate) and os.path.isdir(path):
                for name in os.listdir(path):
                    if name.lower() == part.lower():
                        candidate = os.path.join(path, name)
                        break
            path = candidate
        return path

    def payload_folder(self):
        return os.path.join(self.temp_dir()[1], "drovelkit")

    # -- screen and input --

    def control_screen_rect(self, dump, control_id):
        c = harness.control(dump, control_id)
        origin = dump["main"]["client_origin"]
        return origin["x"] + c["x"], origin["y"] + c["y"], c["w"], c["h"]

    def xdotool(self, *args, timeout=30):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.xenv, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=timeout)
        return result.returncode, result.stdout, result.stderr

    def click_at(self, x, y, button):
        # No --sync: this xdotool waits out a long time-out when the pointer
        # is already there. The server keeps the order of move and click.
        code, _, err = self.xdotool("mousemove", x, y, "click", button)
        if code != 0:
            raise OpsError(f"xdotool click at {x},{y} failed: {err}")

    def click_control(self, dump, control_id, button):
        """A real mouse click in the middle of a control, as a person makes it."""
        x, y, w, h = self.control_screen_rect(dump, control_id)
        self.click_at(x + w // 2, y + h // 2, button)

    def find_x_windows(self, name_regex, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            code, out, _ = self.xdotool("search", "--onlyvisible", "--name", name_regex)
            ids = out.split()
            if code == 0 and ids:
                return ids
            if time.monotonic() >= deadline:
                return []
            time.sleep(0.2)

    def drop(self, dump, paths, timeout=20):
        """Drops |paths| onto the main window from outside (XDND), at a
        point in its client area where no control lies."""
        origin = dump["main"]["client_origin"]
        # Between the logo and the drive list: plain window background.
        x, y = origin["x"] + 95, origin["y"] + 50
        args = [os.environ["DROVELKIT_XDND_DRAG"], "-t", str(timeout), str(x), str(y)] + list(paths)
        result = subprocess.run(args, env=self.xenv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=timeout + 10)
        if result.returncode != 0:
            raise OpsError(f"drop failed ({result.returncode}): {result.stderr.strip()}")

    def focus_main_window(self, dump):
        """Gives the main window the keyboard focus, as a click on its title
        bar would. Wine follows the X focus; a window that Windows calls the
        foreground one without it gets no keys."""
        title = re.escape(dump["main"]["text"])
        ids = self.find_x_windows(f"^{title}$")
        if not ids:
            raise OpsError(f"no X window named {dump['main']['text']!r}")
        for xid in ids:
            self.xdotool("windowfocus", "--sync", xid)
        code, _, err = self.probe("foreground")
        if code != harness.PROBE_OK:
            raise OpsError(f"the main window did not come to the front: {err}")

    def press_escape_in_main_window(self, dump):
        """Escape typed on the keyboard with the main window in front."""
        self.focus_main_window(dump)
        code, _, err = self.xdotool("key", "Escape")
        if code != 0:
            raise OpsError(f"xdotool key Escape failed: {err}")

    def windows_processes(self, exe_name):
        """How many processes of that name the Windows process walk sees."""
        code, out, err = run_wine_tool(self, [os.environ["DROVELKIT_TRACE_EXE"], "-c", exe_name])
        if code != 0 or not out.strip().isdigit():
            raise OpsError(f"process count failed ({code}): {out!r} {err!r}")
        return int(out.strip())


def run_wine_tool(session, args, timeout=60):
    return harness.run_captured([harness.WINE] + list(args), session.env, timeout)


def wait_until(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def split_windows_command_line(line):
    """Splits a command line as the Microsoft C runtime fills argv: the
    program name by its simple rule (quotes only toggle), the arguments by
    the backslash-and-quote rules."""
    i, n = 0, len(line)
    program, quoted = "", False
    while i < n and (quoted or line[i] not in " \t"):
        if line[i] == '"':
            quoted = not quoted
        else:
            program += line[i]
        i += 1
    args = [program]
    while True:
        while i < n and line[i] in " \t":
            i += 1
        if i >= n:
            return args
        arg, quoted = "", False
        while i < n and (quoted or line[i] not in " \t"):
            slashes = 0
            while i < n and line[i] == "\\":
                slashes += 1
                i += 1
            if i < n and line[i] == '"':
                arg += "\\" * (slashes // 2)
                if slashes % 2:
                    arg += '"'
                    i += 1
                elif quoted and i + 1 < n and line[i + 1] == '"':
                    arg += '"'
                    i += 2
                else:
                    quoted = not quoted
                    i += 1
            else:
                arg += "\\" * slashes
                if i < n and (quoted or line[i] not in " \t"):
                    arg += line[i]
                    i += 1
        args.append(arg)


def contrast(png, x, y, w, h):
    """The standard deviation of the grey levels (0..1) in a rectangle of a
    screenshot: 0 for an area of one flat colour, that nothing was drawn on;
    a few letters or a button's edge give several hundredths."""
    result = subprocess.run(["convert", png, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-colorspace", "Gray",
                             "-format", "%[fx:standard_deviation]", "info:"],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    try:
        return float(result.stdout.strip())
    except ValueError:
        raise OpsError(f"no pixel statistics from {png}: {result.stderr.strip()}")


def screenshot(session, name):
    try:
        return session.screenshot(name)
    except harness.HarnessError as error:
        print(f"screenshot {name}: {error}")
        return None


class OperationsTestCase(unittest.TestCase):
    """One traced program session per test class: opened in setUpClass
    through open_session, taken down in tearDownClass; undo_setup is where a
    class puts back what it changed in the prefix."""

    @classmethod
    def open_session(cls, name, *tools):
        reasons = missing_tools(*tools)
        if reasons:
            raise unittest.SkipTest("; ".join(reasons))
        cls.session = OpsSession(name)
        return cls.session

    @classmethod
    def undo_setup(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        cls.undo_setup()
        cls.session.clear_drives()
        cls.session.remove_work()

    def setUp(self):
        self.s = self.session
        self.trace = self.s.trace

    def ctl(self, dump, name):
        return harness.control(dump, ID[name])

    def select_option(self, name):
        """Clicks an option button and waits until it shows as selected."""
        code, _, err = self.s.probe("click", ID[name])
        self.assertEqual(code, 0, err)
        dump, held = self.s.wait_until(lambda d: self.ctl(d, name)["check"] == 1)
        self.assertTrue(held, f"{name} did not become selected")
        return dump

    def take_image(self, image):
        """Drops the image on the window and waits for its listing."""
        mark = self.trace.mark()
        self.s.drop(self.s.dump(), [image.path])
        self.trace.wait_for(is_text(ID["StatusLine"], image.listing_status()), since=mark,
                            timeout=LISTING_TIMEOUT, what=f"the listing of {image.name}")

    def drop_file(self, path):
        """Drops one extra file on the window and waits for the notice."""
        mark = self.trace.mark()
        self.s.drop(self.s.dump(), [path])
        self.trace.wait_for(is_text(ID["DraggedFilesNotice"], "1 Dragged files exist !!!"), since=mark,
                            what="the notice for the dropped file")
