#!/usr/bin/env python3
"""The set-up's decisions against a package mirror that misbehaves.

apt-get, dpkg and dpkg-query are stand-ins on the PATH that keep their state
in a folder: which packages are installed, which architectures are added, how
often `apt-get update` was asked and how often it is still to fail. The
set-up itself runs for real, with its APT folder and the 32-bit probe
pointed at the test's own.
"""
import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SETUP = os.path.join(HERE, "..", "..", "scripts", "setup.sh")
FAILED_INDEX = ("E: Failed to fetch http://mirror.example/debian-security/dists/bookworm-security/main/"
                "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?")

STANDINS = {
    "apt-get": r"""#!/usr/bin/env bash
s=$STANDIN_STATE
case " $* " in
  *" update "*)
    echo x >> "$s/updates"
    left=$(cat "$s/update-failures")
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) > "$s/update-failures"
      echo "$STANDIN_FAILED_INDEX" >&2
      exit 100
    fi ;;
  *" install "*)
    bad=()
    for p in "$@"; do
      case $p in -*|install) continue ;; esac
      if grep -qx "$p" "$s/uninstallable"; then bad+=("$p"); fi
    done
    if [ "${#bad[@]}" -gt 0 ]; then
      for p in "${bad[@]}"; do echo " $p : Depends: zlib1g:i386 (>= 1:1.1.4) but it is not going to be installed"; done
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
    for p in "$@"; do case $p in -*|install) ;; *) echo "$p" >> "$s/installed" ;; esac; done ;;
esac
""",
    "dpkg-query": r"""#!/usr/bin/env bash
grep -qx "${@: -1}" "$STANDIN_STATE/installed" && printf 'install ok installed' || exit 1
""",
    "dpkg": r"""#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STANDIN_STATE/architectures" ;;
  --add-architecture) echo "$2" >> "$STANDIN_STATE/architectures" ;;
esac
""",
}

# name, update failures (99: for good), packages apt cannot install, 32-bit
# programs start, exit code, texts the output must hold, wine32 installed
CASES = [
    ("update fails twice, then succeeds", 2, [], True, 0,
     ["apt-get update failed (try 1 of 4)", "apt-get update failed (try 2 of 4)", "all packages present"], True),
    ("update fails for good, the packages are there", 99, [], False, 0,
     ["going on with the indexes apt has", FAILED_INDEX, "runs no 32-bit programs"], False),
    ("install fails: the packages and the index are named", 99, ["qemu-system-x86", "xorriso"], True, 1,
     ["could not install: qemu-system-x86 xorriso", "package index was incomplete", FAILED_INDEX,
      "qemu-system-x86 : Depends"], False),
    ("32-bit Wine fails: said in one line, not fatal", 0, ["wine32:i386"], True, 0,
     ["32-bit Wine (wine32:i386) is not installed; the 64-bit build is tested alone"], False),
]


class SetUp(unittest.TestCase):
    def run_setup(self, work, failures, uninstallable, runs_32bit):
        state = os.path.join(work, "state")
        with open(os.path.join(state, "update-failures"), "w") as f:
            f.write(str(failures))
        with open(os.path.join(state, "uninstallable"), "w") as f:
            f.write("".join(p + "\n" for p in uninstallable))
        env = dict(os.environ, PATH=os.path.join(work, "bin") + os.pathsep + os.environ["PATH"],
                   STANDIN_STATE=state, STANDIN_FAILED_INDEX=FAILED_INDEX,
                   SETUP_APT_DIR=os.path.join(work, "apt"), SETUP_APT_LISTS=os.path.join(work, "lists"),
                   SETUP_RETRY_PAUSE="0",
                   SETUP_I386_PROBE="true" if runs_32bit else "false")
        done = subprocess.run(["bash", SETUP], env=env, capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout + done.stderr

    def make_machine(self, work):
        for folder in ("bin", "state", "apt/sources.list.d", "lists"):
            os.makedirs(os.path.join(work, folder))
        for name, text in STANDINS.items():
            path = os.path.join(work, "bin", name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        for name in ("state/installed", "state/architectures", "state/updates", "lists/mirror_bookworm_Sources"):
            open(os.path.join(work, name), "w").close()
        with open(os.path.join(work, "apt", "sources.list"), "w") as f:
            f.write("deb http://mirror.example/debian bookworm main\n")

    def test_decisions(self):
        for name, failures, uninstallable, runs_32bit, code, texts, wine32 in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                self.make_machine(work)
                got, output = self.run_setup(work, failures, uninstallable, runs_32bit)
                self.assertEqual(got, code, output)
                for text in texts:
                    self.assertIn(text, output)
                with open(os.path.join(work, "state", "installed")) as f:
                    installed = f.read().split()
                self.assertEqual("wine32:i386" in installed, wine32, output)
                with open(os.path.join(work, "state", "architectures")) as f:
                    self.assertEqual(f.read().split(), ["i386"] if runs_32bit and code == 0 else [], output)

    def test_a_second_run_leaves_one_whole_source_entry(self):
        with tempfile.TemporaryDirectory() as work:
            self.make_machine(work)
            self.assertEqual(self.run_setup(work, 0, [], True)[0], 0)
            entries = os.path.join(work, "apt", "sources.list.d")
            with open(os.path.join(entries, "drovelkit-src.sources")) as f:
                first = f.read()
            updates = os.path.getsize(os.path.join(work, "state", "updates"))
            code, output = self.run_setup(work, 99, [], True)
            self.assertEqual(code, 0, output)
            self.assertEqual(os.listdir(entries), ["drovelkit-src.sources"])
            with open(os.path.join(entries, "drovelkit-src.sources")) as f:
                self.assertEqual(f.read(), first)
            self.assertEqual(first.count("Types: deb-src"), 1)
            self.assertNotIn("update failed", output)
            self.assertEqual(os.path.getsize(os.path.join(work, "state", "updates")), updates)


if __name__ == "__main__":
    unittest.main()
