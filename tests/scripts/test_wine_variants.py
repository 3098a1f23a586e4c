#!/usr/bin/env python3
"""The test command's decision which Windows builds run under Wine here.

This machine's kernel may well run 32-bit programs, so a refused start is
faked: a copy of a real program whose ELF header names a machine no x86
kernel runs gets the very answer such a kernel gives an i386 program
(ENOEXEC, "Exec format error").
"""
import io
import os
import shutil
import sys
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import wine_variants  # noqa: E402

EM_ARM = 40


def refused_program(folder):
    """A program the kernel refuses to start."""
    path = os.path.join(folder, "wine")
    shutil.copy(shutil.which("true"), path)
    with open(path, "r+b") as f:
        f.seek(18)  # e_machine
        f.write(EM_ARM.to_bytes(2, "little"))
    return path


class Decision(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.refused = refused_program(self.folder)
        self.starts = shutil.which("true")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def run_main(self, command, variants):
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            code = wine_variants.main(["wine_variants.py", command], variants)
        return code, out.getvalue(), err.getvalue()

    def test_a_kernel_without_32_bit_programs_runs_only_the_64_bit_suites(self):
        variants = (("build/win32", "32-bit", self.refused), ("build/win64", "64-bit", self.starts))
        code, out, _ = self.run_main("plan", variants)
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines(), [
            f"build/win32 no-wine The 32-bit Wine suites (build/win32) could not run here: "
            f"{self.refused} cannot start: Exec format error",
            "build/win64 all"])

    def test_a_missing_or_failing_loader_is_named_with_its_answer(self):
        missing = os.path.join(self.folder, "no-such-loader")
        failing = os.path.join(self.folder, "failing")
        with open(failing, "w") as f:
            f.write("#!/bin/sh\necho 'wine: broken' >&2\nexit 3\n")
        os.chmod(failing, 0o755)
        variants = (("build/win32", "32-bit", missing), ("build/win64", "64-bit", failing))
        code, out, _ = self.run_main("plan", variants)
        self.assertEqual(out.splitlines(), [
            f"build/win32 no-wine The 32-bit Wine suites (build/win32) could not run here: {missing} is not installed",
            f"build/win64 no-wine The 64-bit Wine suites (build/win64) could not run here: "
            f"{failing} --version failed with code 3: wine: broken"])


if __name__ == "__main__":
    unittest.main()
