#!/usr/bin/env python3
"""The real qemu_test.exe under Wine, in a fresh prefix on a virtual display.

A recording stand-in (record_args.exe) plays qemu-system-x86_64.exe, so the
test sees exactly which emulator the front chose and which command line
reached it. The command lines are given to the front byte for byte through
run_cmdline.exe, the way Drovelkit starts it. The checks:

  * Drovelkit's two command lines arrive translated (-localtime ->
    -rtc base=localtime), every other argument unchanged, blanks kept;
  * the emulator is looked for in both registry views'
    HKLM\\SOFTWARE\\QEMU Install_Dir, then in the system's program folders'
    qemu folders; never on PATH (a relative entry included) and never beside
    the front (the payload folder, which any process of the user can write):
    ones planted there are never started;
  * with no emulator anywhere, a message box titled Drovelkit tells how to
    get QEMU, and the front exits with 2;
  * an emulator that ends at once with an error is reported, not hidden.

Exit code 77 means skipped (a needed program is absent); the reason is
printed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
EMULATOR = 'qemu-system-x86_64.exe'
# The Wine loader for the build's programs: wine64 for the 64-bit build.
WINE = os.environ.get('DROVELKIT_WINE') or 'wine'


def skip(reason):
    print(f'SKIPPED: {reason}')
    sys.exit(SKIP)


class Failures:
    def __init__(self):
        self.items = []

    def check(self, name, condition, detail=''):
        print(('ok   ' if condition else 'FAIL ') + name)
        if not condition:
            self.items.append(f'{name}\n{detail}')

    def expect_equal(self, name, got, want):
        self.check(name, got == want, f'  want {want!r}\n  got  {got!r}')


def windows_path(path):
    # Wine's Z: drive is the Unix root.
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class Wine:
    def __init__(self, work, display):
        self.env = dict(os.environ)
        self.env.update({
            'WINEPREFIX': os.path.join(work, 'prefix'),
            'WINEDEBUG': '-all',
            # No prompts to install Mono or Gecko in the fresh prefix.
            'WINEDLLOVERRIDES': 'mscoree,mshtml=',
            'DISPLAY': display,
        })
        for name in ('DROVELKIT_RECORD_FILE', 'DROVELKIT_RECORD_EXIT', 'WINEPATH'):
            self.env.pop(name, None)

    def run(self, args, extra_env=None, timeout=60, **kw):
        env = dict(self.env)
        env.update(extra_env or {})
        return subprocess.run([WINE] + args, env=env, timeout=timeout,
                              capture_output=True, **kw)

    def start(self, args, extra_env=None):
        env = dict(self.env)
        env.update(extra_env or {})
        return subprocess.Popen([WINE] + args, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def stop_server(self):
        subprocess.run(['wineserver', '-k'], env=self.env, timeout=60, capture_output=True)


def start_display(work):
    """Starts Xvfb on a free display; returns (process, display name)."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1024x768x24',
                             '-nolisten', 'tcp'], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, 'xvfb.log'), 'w'))
    os.close(write_end)
    number = b''
    deadline = time.time() + 30
    while not number.endswith(b'\n') and time.time() < deadline:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        xvfb.kill()
        raise RuntimeError('Xvfb did not report a display')
    return xvfb, ':' + number.decode().strip()


def split_recorded(args_tool, line):
    done = subprocess.run([args_tool, '--with-program', '--no-translate', '-0'],
                          input=line.encode('utf-8'), capture_output=True, timeout=30, check=True)
    return done.stdout.decode('utf-8').split('\0')[:-1]


def main():
    parser = argparse.ArgumentParser()
    for name in ('front', 'record-args', 'run-cmdline', 'message-box-text', 'args-tool', 'work'):
        parser.add_argument('--' + name, required=True)
    opts = parser.parse_args()

    for program in (WINE, 'wineserver', 'Xvfb'):
        if not shutil.which(program):
            skip(f'{program} is not installed (scripts/setup.sh installs it)')
    if not opts.args_tool or not os.access(opts.args_tool, os.X_OK):
        skip('the native host tool qemu_front_args is missing; configure this build with '
             '-DDROVELKIT_NATIVE_BUILD_DIR=<native build folder> and build that folder first '
             f'(looked for {opts.args_tool!r})')

    work = os.path.abspath(opts.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    xvfb, display = start_display(work)
    wm = None
    if shutil.which('fvwm'):
        wm = subprocess.Popen(['fvwm', '-f', '/dev/null'], env=dict(os.environ, DISPLAY=display),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine = Wine(work, display)
    failures = Failures()
    try:
        boot = wine.run(['wineboot', '-i'], timeout=180)
        if boot.returncode != 0:
            raise RuntimeError(f'wineboot failed: {boot.stderr.decode(errors="replace")}')
        run_tests(opts, work, wine, failures)
    finally:
        wine.stop_server()
        if wm:
            wm.terminate()
            wm.wait(timeout=10)
        xvfb.terminate()
        xvfb.wait(timeout=10)

    if failures.items:
        print('\n'.join(['', 'FAILURES:'] + failures.items))
        return 1
    print('all Wine checks of qemu_test.exe passed')
    return 0


def run_tests(opts, work, wine, failures):
    drive_c = os.path.join(work, 'prefix', 'drive_c')
    # A temporary folder with a blank and a non-ASCII letter, as user names give.
    payload_qemu = os.path.join(work, 'Temp J\u00f6rg', 'drovelkit', 'qemu')
    os.makedirs(payload_qemu)
    front = os.path.join(payload_qemu, 'qemu_test.exe')
    shutil.copy(opts.front, front)
    record_file = os.path.join(work, 'recorded.txt')
    command_file = os.path.join(work, 'command_line.txt')
    record_env = {'DROVELKIT_RECORD_FILE': windows_path(record_file)}
    tempdir = windows_path(os.path.join(work, 'Temp J\u00f6rg'))

    def run_front(parameters, extra_env=None, expect_box=False, screenshot=None):
        """Starts the front as Drovelkit does; returns (exit code, recorded
        argv or None, message box text or None)."""
        if os.path.exists(record_file):
            os.remove(record_file)
        with open(command_file, 'w', encoding='utf-8') as f:
            f.write(f'"{windows_path(front)}" {parameters}\n')
        env = dict(record_env)
        env.update(extra_env or {})
        process = wine.start([opts.run_cmdline, windows_path(command_file)], env)
        box_text = None
        if expect_box:
            if shutil.which('xdotool'):
                seen = False
                for _ in range(100):
                    found = subprocess.run(['xdotool', 'search', '--name', '^Drovelkit$'],
                                           env=wine.env, capture_output=True, timeout=30)
                    if found.returncode == 0 and found.stdout.strip():
                        seen = True
                        break
                    time.sleep(0.2)
                failures.check('xdotool sees a window named Drovelkit', seen)
            if screenshot and shutil.which('import'):
                time.sleep(0.5)
                subprocess.run(['import', '-window', 'root', os.path.join(work, screenshot)],
                               env=wine.env, capture_output=True, timeout=60)
            reader = wine.run([opts.message_box_text, 'Drovelkit', '20000'], timeout=60)
            box_text = reader.stdout.decode('utf-8', errors='replace') if reader.returncode == 0 else None
        try:
            code = process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = None
        recorded = None
        if os.path.exists(record_file):
            with open(record_file, encoding='utf-8') as f:
                lines = f.read().splitlines()
            recorded = [split_recorded(opts.args_tool, line) for line in lines]
        return code, recorded, box_text

    def install_stand_in(folder):
        os.makedirs(folder, exist_ok=True)
        shutil.copy(opts.record_args, os.path.join(folder, EMULATOR))
        return folder

    # 1. Drovelkit's command lines arrive translated and otherwise unchanged.
    # A stand-in planted beside the front stays there to the end, unused.
    install_stand_in(payload_qemu)
    pf = install_stand_in(os.path.join(drive_c, 'Program Files', 'qemu'))
    installed = 'C:\\Program Files\\qemu\\' + EMULATOR
    drive_line = (f'-L "{tempdir}\\drovelkit\\qemu" -m 1024 -bios bios.bin -localtime -snapshot '
                  f'-name "  Disk: E:\\ Memory: 1024 mb  " -net none -usb -boot c '
                  f'-drive if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1')
    code, recorded, _ = run_front(drive_line)
    failures.expect_equal('drive test: front exit code', code, 0)
    failures.expect_equal('drive test: arguments reaching the emulator', recorded, [[
        installed,
        '-L', f'{tempdir}\\drovelkit\\qemu', '-m', '1024', '-bios', 'bios.bin',
        '-rtc', 'base=localtime', '-snapshot', '-name', '  Disk: E:\\ Memory: 1024 mb  ',
        '-net', 'none', '-usb', '-boot', 'c', '-drive',
        'if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1']])

    image_line = (f'-L "{tempdir}\\drovelkit\\qemu" -m 1024 -bios efi32.bin '
                  f'-name "  Disk: ISO Efi32 boot Memory: 1024 mb  " -net none -boot d '
                  f'-cdrom "C:\\Users\\J\u00f6rg\\My ISOs\\x \\\\ y.iso"')
    code, recorded, _ = run_front(image_line)
    failures.expect_equal('image test: front exit code', code, 0)
    failures.expect_equal('image test: arguments reaching the emulator', recorded, [[
        installed,
        '-L', f'{tempdir}\\drovelkit\\qemu', '-m', '1024', '-bios', 'efi32.bin',
        '-name', '  Disk: ISO Efi32 boot Memory: 1024 mb  ', '-net', 'none', '-boot', 'd',
        '-cdrom', 'C:\\Users\\J\u00f6rg\\My ISOs\\x \\\\ y.iso']])

    # 2. An emulator that stops at once with an error is reported.
    complaint = 'qemu-system-x86_64.exe: could not load PC BIOS efi32.bin'
    code, recorded, box = run_front(image_line, {'DROVELKIT_RECORD_EXIT': '1',
                                                 'DROVELKIT_RECORD_STDERR': complaint},
                                    expect_box=True, screenshot='emulator_stopped.png')
    failures.expect_equal('early exit: front passes on the exit code', code, 1)
    failures.check('early exit: a box shows what the emulator said', box is not None and
                   'stopped' in box and 'exit code 1' in box and complaint in box,
                   f'  box text: {box!r}')

    # 3. The search order: each place in turn, by taking away the one before.
    reg64 = install_stand_in(os.path.join(drive_c, 'qemu-reg64'))
    reg32 = install_stand_in(os.path.join(drive_c, 'qemu-reg32'))
    pf_x86 = install_stand_in(os.path.join(drive_c, 'Program Files (x86)', 'qemu'))
    on_path = install_stand_in(os.path.join(drive_c, 'qemu-path'))
    for view, value in (('/reg:64', 'C:\\qemu-reg64'), ('/reg:32', 'C:\\qemu-reg32')):
        added = wine.run(['reg', 'add', 'HKLM\\SOFTWARE\\QEMU', '/v', 'Install_Dir', '/t', 'REG_SZ',
                          '/d', value, '/f', view])
        failures.expect_equal(f'registry value written in view {view}', added.returncode, 0)
    # A user's PATH: a folder of the user's and a relative entry, which
    # would name the front's working folder.
    path_env = {'WINEPATH': 'C:\\qemu-path;.'}
    in_pf_x86 = ('Program Files (x86)', pf_x86, 'C:\\Program Files (x86)\\qemu\\' + EMULATOR)
    in_pf = ('Program Files', pf, installed)
    # The native folder first for either kind of front: a 32-bit one reaches
    # it through the registry's 64-bit view.
    program_folders = [in_pf, in_pf_x86]
    order = [
        ('registry, 64-bit view', reg64, 'C:\\qemu-reg64\\' + EMULATOR),
        ('registry, WOW6432Node view', reg32, 'C:\\qemu-reg32\\' + EMULATOR),
    ] + [(f'in {name}', folder, program) for name, folder, program in program_folders]
    for place, folder, expected_program in order:
        code, recorded, _ = run_front('-localtime', path_env)
        failures.expect_equal(f'search: emulator found {place}', code == 0 and recorded and
                              [r[0].lower() for r in recorded], [expected_program.lower()])
        failures.expect_equal(f'search: arguments when found {place}', recorded and recorded[0][1:],
                              ['-rtc', 'base=localtime'])
        os.remove(os.path.join(folder, EMULATOR))

    # 4. No emulator anywhere but the ones planted on PATH and beside the
    # front: neither starts, and the user is told how to get one.
    failures.check('the emulator planted on PATH is still there',
                   os.path.isfile(os.path.join(on_path, EMULATOR)))
    code, recorded, box = run_front(drive_line, path_env, expect_box=True,
                                    screenshot='emulator_missing.png')
    failures.expect_equal('missing emulator: exit code', code, 2)
    failures.expect_equal('missing emulator: nothing was started', recorded, None)
    failures.check('missing emulator: the box tells how to get QEMU',
                   box is not None and 'qemu.org' in box and 'QEMU for Windows (64-bit)' in box
                   and 'C:\\Program Files\\qemu' in box, f'  box text: {box!r}')


if __name__ == '__main__':
    sys.exit(main())
