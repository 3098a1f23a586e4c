#!/usr/bin/env python3
"""Which Windows builds this machine can test under Wine, found by trying.

Each build's programs start through a Wine loader of their own kind: the
32-bit build (build/win32) through Debian's i386 loader, the 64-bit build
(build/win64) through wine64. Some kernels cannot execute 32-bit programs at
all; whether this one can is found out by starting each loader, never taken
from a setting.

  python3 scripts/wine_variants.py plan     one line per build:
                                            "BUILD all" or "BUILD no-wine REASON"
"""

import subprocess
import sys

# build folder, the word a person reads, the loader that starts its programs
VARIANTS = (
    ("build/win32", "32-bit", "/usr/lib/wine/wine"),
    ("build/win64", "64-bit", "/usr/lib/wine/wine64"),
)
START_TIMEOUT = 60


def why_not_starting(loader):
    """None when `LOADER --version` starts and succeeds, else the reason."""
    try:
        done = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=START_TIMEOUT)
    except FileNotFoundError:
        return f"{loader} is not installed"
    except OSError as error:
        # A kernel without 32-bit support answers ENOEXEC: "Exec format error".
        return f"{loader} cannot start: {error.strerror}"
    except subprocess.TimeoutExpired:
        return f"{loader} --version did not end within {START_TIMEOUT} s"
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip().splitlines()
        return f"{loader} --version failed with code {done.returncode}" + (f": {said[-1]}" if said else "")
    return None


def plan(variants=VARIANTS):
    """[(build, kind, reason or None)] for every build, in order."""
    return [(build, kind, why_not_starting(loader)) for build, kind, loader in variants]


def plan_lines(steps):
    return [f"{build} all" if reason is None else f"{build} no-wine The {kind} Wine suites ({build}) "
            f"could not run here: {reason}" for build, kind, reason in steps]


def main(argv, variants=VARIANTS):
    command = argv[1] if len(argv) > 1 else "plan"
    if command == "plan":
        print("\n".join(plan_lines(plan(variants))))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
