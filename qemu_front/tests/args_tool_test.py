#!/usr/bin/env python3
"""Checks the host tool qemu_front_args as the boot tests use it: a command
line in a file or on standard input, UTF-8 text, one trailing line ending,
NUL-separated output."""
import subprocess
import sys
import tempfile
import os

tool = sys.argv[1]
failures = []


def run(args, data):
    done = subprocess.run([tool] + args, input=data, capture_output=True, timeout=30)
    if done.returncode != 0:
        failures.append(f"{args}: exit {done.returncode}: {done.stderr!r}")
    return done.stdout


def expect(name, got, want):
    if got != want:
        failures.append(f"{name}:\n  want {want!r}\n  got  {got!r}")


line = ('-L "C:\\Temp\\Jos\u00e9\\drovelkit\\qemu" -bios efi64.bin -localtime '
        '-name "  Disk: F:\\ Efi64 boot Memory: 1024 mb  " -drive file=\\\\.\\PHYSICALDRIVE2')
want = ['-L', 'C:\\Temp\\Jos\u00e9\\drovelkit\\qemu', '-bios', 'efi64.bin', '-rtc',
        'base=localtime', '-name', '  Disk: F:\\ Efi64 boot Memory: 1024 mb  ',
        '-drive', 'file=\\\\.\\PHYSICALDRIVE2']

out = run(['-0'], (line + '\r\n').encode())
expect('stdin, CR LF ended, -0', out.decode().split('\0')[:-1], want)

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, 'line.txt')
    with open(path, 'wb') as f:
        f.write(line.encode())
    out = run([path], b'')
    expect('file, no line ending, LF output', out.decode(), ''.join(a + '\n' for a in want))

out = run(['--no-translate', '-0'], b'-localtime "  a  "\n\n')
expect('only one line ending is dropped', out.split(b'\0')[:-1], [b'-localtime', b'  a  \n'])

out = run(['--with-program', '-0'], b'"C:\\T\\drovelkit\\qemu\\qemu_test.exe" -localtime\n')
expect('--with-program', out.split(b'\0')[:-1],
       [b'C:\\T\\drovelkit\\qemu\\qemu_test.exe', b'-rtc', b'base=localtime'])

out = run(['-0'], b'')
expect('empty input', out, b'')

if failures:
    print('\n'.join(failures))
    sys.exit(1)
print('qemu_front_args: all checks passed')
