#!/usr/bin/env python3
"""Boot tests with real QEMU: the emulator command lines that Drovelkit gives
qemu_test.exe must boot a test ISO and a test disk with each firmware image.

  boot_test.py build-media --work DIR
      Builds the test media into DIR/media: a BIOS boot program and an MBR
      (NASM) that report on the serial port, EFI programs for x64 and IA32
      (gnu-efi), an El Torito ISO bootable by BIOS and EFI (xorriso), and an
      MBR disk image with an EFI-bootable FAT partition.

  boot_test.py run --work DIR --test image|drive --firmware bios|efi32|efi64
                   --firmware-dir DIR --args-tool PATH [--cmdline-tool PATH]
      Takes Drovelkit's parameter text for the test, passes it through the
      front's argument handling (the host tool qemu_front_args), checks that
      the arguments are exactly those the emulator must get, maps the Windows
      paths to the test files (-L folder -> firmware folder, -cdrom -> test
      ISO, the -drive file -> a copy of the test disk), adds only what a
      headless run needs and boots real QEMU. The boot program must report
      on the serial port in time. For the drive test the disk's bytes must be
      unchanged afterwards, although the guest wrote to it; a control run of
      the same arguments without -snapshot must change them.

  boot_test.py all --work DIR --args-tool PATH [--firmware-dir DIR |
                   --dev-firmware [--efi32 PATH]] [--cmdline-tool PATH]
      Builds the media and runs every test: for development.

--cmdline-tool names a program that prints the parameter text Drovelkit
builds (the text after the quoted path of qemu_test.exe) when called as
    TOOL image|drive FIRMWARE TEMPDIR IMAGE_OR_DRIVE DEVICEPATH
with FIRMWARE one of bios, efi32, efi64 (the firmware option chosen),
TEMPDIR the TEMP folder, IMAGE_OR_DRIVE the image path (image test) or the
drive text such as E: (drive test), and DEVICEPATH the physical disk path
that the WMI lookup gave (used by the drive test). A program whose name
ends in .exe is run with wine. Without the option the text is formed here
by the rules Drovelkit follows.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import collections
import contextlib
import difflib
import fcntl
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
FIRMWARES = ('bios', 'efi32', 'efi64')

# What the test pretends the Windows side looks like. Blanks and a
# non-ASCII letter make the quoting matter.
WIN_TEMPDIR = 'C:\\Users\\Test J\u00f6rg\\AppData\\Local\\Temp'
WIN_IMAGE = 'D:\\ISO images\\drovelkit boot test.iso'
WIN_DRIVE = 'E:'
WIN_DEVICE = '\\\\.\\PHYSICALDRIVE1'
MEMORY = '1024'

IMAGE_TITLES = {'efi64': '  Disk: ISO Efi64 boot Memory: ',
                'efi32': '  Disk: ISO Efi32 boot Memory: ',
                'bios': '  Disk: ISO Memory: '}
DRIVE_TITLES = {'efi64': '\\ Efi64 boot Memory: ',
                'efi32': '\\ Efi32 boot Memory: ',
                'bios': '\\ Memory: '}

# Serial-port lines that prove the boot, per test and firmware.
EXPECTED = {
    ('image', 'bios'): ['DROVELKIT BOOT OK BIOS CDROM DRIVE='],
    ('image', 'efi64'): ['DROVELKIT BOOT OK X64 MEDIA=CDROM', 'DROVELKIT END'],
    ('image', 'efi32'): ['DROVELKIT BOOT OK IA32 MEDIA=CDROM', 'DROVELKIT END'],
    ('drive', 'bios'): ['DROVELKIT BOOT OK DISK DRIVE=80', 'DROVELKIT GUEST WRITE SEEN'],
    ('drive', 'efi64'): ['DROVELKIT BOOT OK X64 MEDIA=HD', 'DROVELKIT GUEST WRITE DONE',
                         'DROVELKIT END'],
    ('drive', 'efi32'): ['DROVELKIT BOOT OK IA32 MEDIA=HD', 'DROVELKIT GUEST WRITE DONE',
                         'DROVELKIT END'],
}

BOOT_SECONDS = 45        # for the expected lines to appear
SHUTDOWN_SECONDS = 10    # for the guest's own power-off after them

DISK_SECTORS = 32768     # 16 MiB
PARTITION_START = 2048


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def log(text=''):
    print(text, flush=True)


def exit_status(action):
    """Runs action() and returns the test program's exit status: 0 passed,
    SKIP skipped, 1 failed; a skip or failure is logged with its reason."""
    try:
        action()
        return 0
    except Skip as reason:
        log(f'SKIPPED: {reason}')
        return SKIP
    except Failure as failure:
        log(f'FAILED: {failure}')
        return 1


def log_boot(result, last=30):
    """Logs how a QEMU boot went: its time, exit code, the serial lines
    given, the screen and whatever QEMU printed."""
    log(f'boot took {result.seconds:.1f} s under {result.accel}; QEMU exit code {result.code}')
    lines = result.lines[-last:]
    log('serial port:\n  ' + '\n  '.join(lines) if lines else 'serial port: (nothing)')
    shown = [line for line in result.screen.split('\n') if line.strip()]
    if shown:
        log('screen:\n  ' + '\n  '.join(shown))
    if result.note:
        log(result.note)
    if result.qemu_output:
        log('QEMU said:\n  ' + result.qemu_output.replace('\n', '\n  '))


# ---------------------------------------------------------------- media

MEDIA_SOURCES = ('boot_report.asm', 'serial.inc', 'boot_report.c', 'boot_test.py')

EFI_ARCHES = {
    # name: (gcc flags, include dir, lib dir, crt0, linker script, ld emulation, objcopy target)
    'X64': (['-m64'], 'x86_64', '/usr/lib', 'crt0-efi-x86_64.o', 'elf_x86_64_efi.lds',
            'elf_x86_64', 'efi-app-x86_64'),
    'IA32': (['-m32'], 'ia32', '/usr/lib32', 'crt0-efi-ia32.o', 'elf_ia32_efi.lds',
             'elf_i386', 'efi-app-ia32'),
}


# Set by build_media: the compiler's scratch files stay inside the build folder too.
tool_env = None


def run_tool(args):
    done = subprocess.run(args, capture_output=True, timeout=300, env=tool_env)
    if done.returncode != 0:
        raise Failure(f'{" ".join(args)} failed ({done.returncode}):\n'
                      f'{done.stdout.decode(errors="replace")}{done.stderr.decode(errors="replace")}')
    return done


def media_fingerprint():
    digest = hashlib.sha256()
    for name in MEDIA_SOURCES:
        with open(os.path.join(HERE, name), 'rb') as f:
            digest.update(f.read())
    return digest.hexdigest()


def check_media_tools():
    missing = [t for t in ('nasm', 'gcc', 'ld', 'objcopy', 'xorriso', 'mkfs.fat', 'mmd', 'mcopy')
               if not shutil.which(t)]
    for arch in EFI_ARCHES.values():
        for name in (arch[3], arch[4], 'libefi.a', 'libgnuefi.a'):
            if not os.path.exists(os.path.join(arch[2], name)):
                missing.append(os.path.join(arch[2], name))
    if not os.path.isdir('/usr/include/efi'):
        missing.append('/usr/include/efi')
    if missing:
        raise Skip('cannot build the test media, missing: ' + ', '.join(missing) +
                   ' (scripts/setup.sh installs nasm, gnu-efi, xorriso, dosfstools, mtools)')


def build_efi_program(arch, out_dir, source='boot_report.c', name=None):
    flags, include, libdir, crt0, lds, emulation, target = EFI_ARCHES[arch]
    stem = os.path.splitext(os.path.basename(source))[0]
    obj = os.path.join(out_dir, f'{stem}_{arch.lower()}.o')
    shared = os.path.join(out_dir, f'{stem}_{arch.lower()}.so')
    efi = os.path.join(out_dir, name or f'BOOT{arch}.EFI')
    run_tool(['gcc'] + flags + ['-O2', '-Wall', '-ffreestanding', '-fno-stack-protector',
                                '-fno-stack-check', '-fshort-wchar', '-fpic', '-mno-red-zone',
                                '-I/usr/include/efi', f'-I/usr/include/efi/{include}',
                                '-c', os.path.join(HERE, source), '-o', obj])
    run_tool(['ld', '-m', emulation, '-nostdlib', '-znocombreloc', '-shared', '-Bsymbolic',
              '-T', os.path.join(libdir, lds), os.path.join(libdir, crt0), obj, '-o', shared,
              f'-L{libdir}', '-lefi', '-lgnuefi'])
    run_tool(['objcopy', '-j', '.text', '-j', '.sdata', '-j', '.data', '-j', '.dynamic',
              '-j', '.dynsym', '-j', '.rel', '-j', '.rela', '-j', '.rel.*', '-j', '.rela.*',
              '-j', '.reloc', '--target', target, shared, efi])
    return efi


def make_fat_image(path, kib, efi_files, fat_bits=None):
    if os.path.exists(path):
        os.remove(path)
    args = ['mkfs.fat', '-C', '-n', 'DROVELKIT']
    if fat_bits:
        args += ['-F', str(fat_bits)]
    run_tool(args + [path, str(kib)])
    run_tool(['mmd', '-i', path, '::/EFI', '::/EFI/BOOT'])
    for efi in efi_files:
        run_tool(['mcopy', '-i', path, efi, '::/EFI/BOOT/'])


def partition_entry(start, count, kind):
    # CHS fields say "beyond CHS"; firmware and QEMU go by the LBA fields.
    return (bytes([0x80, 0xFE, 0xFF, 0xFF, kind, 0xFE, 0xFF, 0xFF]) +
            start.to_bytes(4, 'little') + count.to_bytes(4, 'little'))


def build_media(work):
    global tool_env
    media = os.path.join(work, 'media')
    tmp = os.path.join(work, 'tmp')
    os.makedirs(media, exist_ok=True)
    os.makedirs(tmp, exist_ok=True)
    tool_env = dict(os.environ, TMPDIR=tmp)
    with open(os.path.join(work, 'media.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = os.path.join(media, 'stamp')
        fingerprint = media_fingerprint()
        if os.path.exists(stamp) and open(stamp).read() == fingerprint:
            return media
        if os.path.exists(stamp):
            os.remove(stamp)
        check_media_tools()
        start = time.time()
        asm = os.path.join(HERE, 'boot_report.asm')
        cd_boot = os.path.join(media, 'bios_cdrom.bin')
        mbr = os.path.join(media, 'mbr.bin')
        run_tool(['nasm', '-f', 'bin', '-I', HERE + '/', '-DCDROM', '-o', cd_boot, asm])
        run_tool(['nasm', '-f', 'bin', '-I', HERE + '/', '-DDISK', '-o', mbr, asm])
        efi_files = [build_efi_program(arch, media) for arch in ('X64', 'IA32')]

        # ISO: BIOS El Torito entry plus an EFI entry holding both loaders.
        iso_root = os.path.join(media, 'iso_root')
        shutil.rmtree(iso_root, ignore_errors=True)
        os.makedirs(os.path.join(iso_root, 'boot'))
        shutil.copy(cd_boot, os.path.join(iso_root, 'boot', 'bios_cdrom.bin'))
        make_fat_image(os.path.join(iso_root, 'boot', 'efi.img'), 1440, efi_files)
        with open(os.path.join(iso_root, 'README.TXT'), 'w') as f:
            f.write('Drovelkit boot test image\n')
        iso = os.path.join(media, 'test.iso')
        run_tool(['xorriso', '-as', 'mkisofs', '-quiet', '-o', iso, '-V', 'DROVELKIT_TEST',
                  '-b', 'boot/bios_cdrom.bin', '-no-emul-boot', '-boot-load-size', '4',
                  '-eltorito-alt-boot', '-e', 'boot/efi.img', '-no-emul-boot', iso_root])

        # Disk: the reporting MBR and one active FAT16 partition with both loaders.
        partition_sectors = DISK_SECTORS - PARTITION_START
        part_img = os.path.join(media, 'partition.img')
        make_fat_image(part_img, partition_sectors // 2, efi_files, fat_bits=16)
        with open(mbr, 'rb') as f:
            sector = bytearray(f.read())
        if len(sector) != 512 or sector[446:510] != bytes(64) or sector[510:] != b'\x55\xaa':
            raise Failure('mbr.bin is not a 512-byte MBR with an empty partition table')
        sector[440:444] = b'DRVK'
        sector[446:462] = partition_entry(PARTITION_START, partition_sectors, 0x0E)
        disk = os.path.join(media, 'disk.img')
        with open(disk, 'wb') as out, open(part_img, 'rb') as part:
            out.write(sector)
            out.write(bytes(512 * (PARTITION_START - 1)))
            shutil.copyfileobj(part, out)
        if os.path.getsize(disk) != DISK_SECTORS * 512:
            raise Failure(f'disk.img has {os.path.getsize(disk)} bytes, not {DISK_SECTORS * 512}')
        os.remove(part_img)
        with open(stamp, 'w') as f:
            f.write(fingerprint)
        log(f'test media built in {time.time() - start:.1f} s: {iso}, {disk}')
        return media


# ---------------------------------------------------------- command lines

def builtin_parameters(test, firmware, tempdir, image_or_drive, device):
    """The parameter text Drovelkit gives qemu_test.exe."""
    if test == 'image':
        firmware_args = (f'{firmware}.bin -name "{IMAGE_TITLES[firmware]}{MEMORY} mb  " '
                         f'-net none -boot d -cdrom "{image_or_drive}"')
    else:
        firmware_args = (f'{firmware}.bin -localtime -snapshot -name '
                         f'"  Disk: {image_or_drive}{DRIVE_TITLES[firmware]}{MEMORY} mb  " '
                         f'-net none -usb -boot c -drive if=ide,cache=none,file={device}')
    return f'-L "{tempdir}\\drovelkit\\qemu" -m {MEMORY} -bios {firmware_args}'


def expected_emulator_args(test, firmware, tempdir, image_or_drive, device):
    """The arguments a current QEMU must receive from the front, in order."""
    head = ['-L', f'{tempdir}\\drovelkit\\qemu', '-m', MEMORY, '-bios', f'{firmware}.bin']
    if test == 'image':
        return head + ['-name', f'{IMAGE_TITLES[firmware]}{MEMORY} mb  ', '-net', 'none',
                       '-boot', 'd', '-cdrom', image_or_drive]
    return head + ['-rtc', 'base=localtime', '-snapshot', '-name',
                   f'  Disk: {image_or_drive}{DRIVE_TITLES[firmware]}{MEMORY} mb  ',
                   '-net', 'none', '-usb', '-boot', 'c', '-drive',
                   f'if=ide,cache=none,file={device}']


def parameters_from_tool(tool, test, firmware, tempdir, image_or_drive, device):
    command = [tool, test, firmware, tempdir, image_or_drive, device]
    env = dict(os.environ)
    if tool.lower().endswith('.exe'):
        command = [os.environ.get('DROVELKIT_WINE') or 'wine'] + command
        env.setdefault('WINEDEBUG', '-all')
    done = subprocess.run(command, capture_output=True, timeout=120, env=env)
    if done.returncode != 0:
        raise Failure(f'the command-line tool failed ({done.returncode}): {command}\n'
                      f'{done.stderr.decode(errors="replace")}')
    text = done.stdout.decode('utf-8')
    while text.endswith(('\n', '\r')):
        text = text[:-1]
    # A whole command line is accepted too: drop the quoted program path.
    match = re.match(r'"[^"]*qemu_test\.exe" ', text, re.IGNORECASE)
    if match:
        log('note: the command-line tool printed the program path too; it is dropped')
        text = text[match.end():]
    return text


def front_args(args_tool, parameters):
    done = subprocess.run([args_tool, '-0'], input=parameters.encode('utf-8'),
                          capture_output=True, timeout=60)
    if done.returncode != 0:
        raise Failure(f'qemu_front_args failed ({done.returncode}): '
                      f'{done.stderr.decode(errors="replace")}')
    return done.stdout.decode('utf-8').split('\0')[:-1]


def map_to_test_files(args, test, firmware_dir, iso, disk):
    """Replaces the Windows paths by the test's files; keeps all else."""
    mapped = list(args)
    for i, arg in enumerate(args[:-1]):
        if arg == '-L':
            mapped[i + 1] = firmware_dir
        elif arg == '-cdrom':
            mapped[i + 1] = iso
        elif arg == '-drive':
            mapped[i + 1] = re.sub(r'file=.*$', 'file=' + disk, args[i + 1])
    return mapped


# ------------------------------------------------------------------ QEMU

ANSI = re.compile(r'\x1b\[[0-9;?=]*[ -/]*[@-~]|\x1b[()][A-Za-z0-9]|\x1b[=>78c]')


def serial_lines(path):
    try:
        with open(path, 'rb') as f:
            text = f.read().decode('latin-1')
    except FileNotFoundError:
        return []
    text = ANSI.sub('', text).replace('\r', '\n')
    return [line.strip() for line in text.split('\n') if line.strip()]


@contextlib.contextmanager
def monitor_socket():
    """The path for a QEMU monitor socket, in a private folder of its own
    under /tmp. A Unix socket's path must stay below 108 bytes, so it never
    lives in the build folder, whose depth is the checkout's."""
    folder = tempfile.mkdtemp(prefix='dk', dir='/tmp')
    try:
        yield os.path.join(folder, 'm')
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def kvm_usable():
    try:
        fd = os.open('/dev/kvm', os.O_RDWR | os.O_CLOEXEC)
    except OSError:
        return False
    os.close(fd)
    return True


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            digest.update(block)
    return digest.hexdigest()


Boot = collections.namedtuple('Boot', 'found lines screen seconds accel code qemu_output note')


def screen_text(monitor, run_dir):
    """The VGA text screen (80x25 at B8000) read through the QEMU monitor."""
    dump = os.path.join(run_dir, 'screen.bin')
    if os.path.exists(dump):
        os.remove(dump)
    # Quoted and relative to QEMU's folder: the monitor reads a bare path as
    # an expression, a leading / as a division.
    try:
        monitor.sendall(b'pmemsave 0xb8000 4000 "screen.bin"\n')
    except OSError:  # QEMU has ended
        return ''
    deadline = time.time() + 5
    while time.time() < deadline:
        try:
            while monitor.recv(65536):  # the monitor's echo, unread it would fill up
                pass
        except BlockingIOError:
            pass
        except OSError:
            return ''

        if os.path.exists(dump) and os.path.getsize(dump) == 4000:
            with open(dump, 'rb') as f:
                cells = f.read()[0::2].decode('cp437')
            return '\n'.join(cells[i:i + 80].rstrip() for i in range(0, 2000, 80))
        time.sleep(0.05)
    return ''


def boot(qemu_args, run_dir, expected, accel, screen=None, then=None, name='boot',
         power_off=False, seconds=BOOT_SECONDS):
    """Runs QEMU headless, the serial port into a file and the monitor on a
    socket, until every expected serial text and the screen text (if any)
    appeared, or the time is up. then = (stay, key, text): the machine must
    still run `stay` seconds later, and after the key the serial port must
    show text. power_off: give the guest time for its own power-off after
    the texts (its writes must reach the disk). Returns a Boot."""
    serial = os.path.join(run_dir, f'{name}.serial.log')
    stderr_path = os.path.join(run_dir, f'{name}.qemu.log')
    if os.path.exists(serial):
        os.remove(serial)
    tmp = os.path.join(run_dir, 'tmp')
    os.makedirs(tmp, exist_ok=True)
    # -snapshot puts its overlay into TMPDIR; keep it inside the build folder.
    env = dict(os.environ, TMPDIR=tmp)
    found, text, note, monitor = False, '', '', None

    def seen():
        lines = serial_lines(serial)
        return all(any(e in line for line in lines) for e in expected) and \
            (screen is None or screen in text)

    with monitor_socket() as socket_path, open(stderr_path, 'wb') as err:
        command = (['qemu-system-x86_64'] + qemu_args +
                   ['-display', 'none', '-serial', f'file:{serial}', '-no-reboot', '-accel', accel,
                    '-monitor', f'unix:{socket_path},server,nowait'])
        log('QEMU: ' + ' '.join(repr(a) if (' ' in a or not a) else a for a in command))
        start = time.time()
        process = subprocess.Popen(command, cwd=run_dir, env=env, stdout=err, stderr=err,
                                   start_new_session=True)
        try:
            while time.time() < start + seconds and process.poll() is None:
                time.sleep(0.2)
                if monitor is None and os.path.exists(socket_path):
                    candidate = socket.socket(socket.AF_UNIX)
                    try:
                        candidate.connect(socket_path)
                    except ConnectionRefusedError:
                        # QEMU makes the socket file before it listens: next round.
                        candidate.close()
                    else:
                        candidate.setblocking(False)
                        monitor = candidate
                if screen is not None and monitor:
                    text = screen_text(monitor, run_dir)
                found = seen()
                if found:
                    break
            if found and then:
                stay, key, back_text = then
                time.sleep(stay)
                shown = len(serial_lines(serial))
                found = process.poll() is None and monitor is not None
                if not found:
                    note = f'QEMU ended within {stay} s of the texts: the machine did not stay'
                else:
                    monitor.sendall(f'sendkey {key}\n'.encode())
                    deadline = time.time() + 20
                    while time.time() < deadline and process.poll() is None:
                        time.sleep(0.5)
                        found = any(back_text in line for line in serial_lines(serial)[shown:])
                        if found:
                            break
                    if not found:
                        note = f'after the key {key} the serial port did not show "{back_text}"'
            elif found and power_off:
                try:
                    process.wait(timeout=SHUTDOWN_SECONDS)
                except subprocess.TimeoutExpired:
                    log(f'note: the guest did not power off within {SHUTDOWN_SECONDS} s; stopping QEMU')
            if not found and monitor and process.poll() is None:
                text = screen_text(monitor, run_dir)  # what the machine stopped with
        finally:
            if monitor:
                monitor.close()
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
    if not then:
        found = seen()
    with open(stderr_path, 'rb') as f:
        qemu_output = f.read().decode(errors='replace').strip()
    return Boot(found, serial_lines(serial), text, time.time() - start, accel, process.returncode,
                qemu_output, note)


def run_one(opts):
    test, firmware = opts.test, opts.firmware
    work = os.path.abspath(opts.work)
    media = os.path.join(work, 'media')
    stamp = os.path.join(media, 'stamp')
    if not os.path.exists(stamp) or open(stamp).read() != media_fingerprint():
        build_media(work)
    if not shutil.which('qemu-system-x86_64'):
        raise Skip('qemu-system-x86_64 is not installed (package qemu-system-x86)')
    if not opts.args_tool or not os.access(opts.args_tool, os.X_OK):
        raise Skip('the host tool qemu_front_args is missing (looked for '
                   f'{opts.args_tool!r}); build the native tree and point '
                   'DROVELKIT_NATIVE_BUILD_DIR at it')
    firmware_dir = os.path.abspath(opts.firmware_dir)
    firmware_file = os.path.join(firmware_dir, f'{firmware}.bin')
    if not os.path.isfile(firmware_file):
        raise Skip(f'firmware {firmware_file} does not exist (yet); the boot test of '
                   f'{firmware}.bin cannot run without it')

    run_dir = os.path.join(work, 'runs', f'{test}-{firmware}')
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    iso = os.path.join(media, 'test.iso')
    disk = os.path.join(run_dir, 'disk.img')
    for path in (firmware_dir, iso, disk):
        if ',' in path:
            raise Failure(f'QEMU cannot take a path with a comma here: {path}')

    image_or_drive = WIN_IMAGE if test == 'image' else WIN_DRIVE
    if opts.cmdline_tool:
        parameters = parameters_from_tool(opts.cmdline_tool, test, firmware, WIN_TEMPDIR,
                                          image_or_drive, WIN_DEVICE)
        source = f'from {opts.cmdline_tool}'
    else:
        parameters = builtin_parameters(test, firmware, WIN_TEMPDIR, image_or_drive, WIN_DEVICE)
        source = 'built in (no --cmdline-tool given)'
    log(f'Drovelkit parameter text ({source}):\n  {parameters}')

    args = front_args(opts.args_tool, parameters)
    want = expected_emulator_args(test, firmware, WIN_TEMPDIR, image_or_drive, WIN_DEVICE)
    if args != want:
        diff = '\n'.join(difflib.unified_diff(want, args, 'expected', 'from the front', lineterm=''))
        raise Failure(f'the front passes other arguments than the emulator must get:\n{diff}')
    log('arguments from the front: ' + ' | '.join(args))

    accel = 'kvm' if firmware == 'bios' and kvm_usable() else 'tcg'
    if firmware == 'bios' and accel == 'tcg':
        log('note: /dev/kvm is not usable; the BIOS boot runs under TCG')
    expected = EXPECTED[(test, firmware)]

    def boot_with_fallback(qemu_args, name):
        nonlocal accel
        result = boot(qemu_args, run_dir, expected, accel, name=name, power_off=True)
        if not result.found and accel == 'kvm' and 'kvm' in result.qemu_output.lower():
            log(f'note: KVM failed ({result.qemu_output.splitlines()[-1]}); retrying under TCG')
            accel = 'tcg'
            result = boot(qemu_args, run_dir, expected, accel, name=name, power_off=True)
        return result

    if test == 'drive':
        shutil.copy(os.path.join(media, 'disk.img'), disk)
    before = sha256_of(disk) if test == 'drive' else None

    qemu_args = map_to_test_files(args, test, firmware_dir, iso, disk)
    result = boot_with_fallback(qemu_args, 'boot')
    log_boot(result)
    if not result.found:
        raise Failure(f'the serial port did not show {expected} within {BOOT_SECONDS} s')

    if test == 'drive':
        after = sha256_of(disk)
        if after != before:
            raise Failure(f'the disk changed although -snapshot was given: {before} -> {after}')
        log(f'disk unchanged after the boot (sha256 {after[:16]}...)')

        # Control: the same boot without -snapshot must change the disk, or
        # the check above could not have noticed anything.
        control_disk = os.path.join(run_dir, 'control.img')
        shutil.copy(os.path.join(media, 'disk.img'), control_disk)
        control_args = map_to_test_files([a for a in args if a != '-snapshot'], test,
                                         firmware_dir, iso, control_disk)
        result = boot_with_fallback(control_args, 'control')
        log(f'control boot without -snapshot took {result.seconds:.1f} s; '
            f'QEMU exit code {result.code}')
        if not result.found:
            log_boot(result)
            raise Failure('the control boot without -snapshot did not report')
        if sha256_of(control_disk) == before:
            raise Failure('the guest\'s write did not reach the disk even without -snapshot; '
                          'the unchanged disk above proves nothing')
        log('control: without -snapshot the guest\'s write changed the disk, as it should')
        os.remove(control_disk)
        os.remove(disk)
    log(f'PASSED: {test} test with {firmware}.bin')


def dev_firmware_dir(work, efi32):
    folder = os.path.join(os.path.abspath(work), 'dev_firmware')
    os.makedirs(folder, exist_ok=True)
    sources = {'bios.bin': '/usr/share/seabios/bios.bin', 'efi64.bin': '/usr/share/ovmf/OVMF.fd',
               'efi32.bin': efi32}
    for name, source in sources.items():
        target = os.path.join(folder, name)
        if os.path.lexists(target):
            os.remove(target)
        if source and os.path.isfile(source):
            os.symlink(os.path.abspath(source), target)
    return folder


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest='command', required=True)
    p_media = sub.add_parser('build-media')
    p_run = sub.add_parser('run')
    p_all = sub.add_parser('all')
    for p in (p_media, p_run, p_all):
        p.add_argument('--work', default=os.environ.get('DROVELKIT_BOOT_WORK'),
                       required='DROVELKIT_BOOT_WORK' not in os.environ,
                       help='folder under the build folder for everything the tests make')
    for p in (p_run, p_all):
        p.add_argument('--args-tool', default='', help='the native qemu_front_args program')
        p.add_argument('--cmdline-tool', default='', help='program printing Drovelkit\'s text')
        p.add_argument('--firmware-dir', default='')
    p_run.add_argument('--test', choices=('image', 'drive'), required=True)
    p_run.add_argument('--firmware', choices=FIRMWARES, required=True)
    p_all.add_argument('--dev-firmware', action='store_true',
                       help='use Debian\'s SeaBIOS and OVMF instead of the payload\'s firmware')
    p_all.add_argument('--efi32', default='', help='an IA32 OVMF image for --dev-firmware')
    opts = parser.parse_args()

    if opts.command == 'build-media':
        return exit_status(lambda: build_media(os.path.abspath(opts.work)))
    if opts.command == 'run':
        if not opts.firmware_dir:
            parser.error('--firmware-dir is required')
        return exit_status(lambda: run_one(opts))

    # all
    if opts.dev_firmware:
        opts.firmware_dir = dev_firmware_dir(opts.work, opts.efi32)
    elif not opts.firmware_dir:
        parser.error('give --firmware-dir or --dev-firmware')
    results = {}
    start = time.time()
    for test in ('image', 'drive'):
        for firmware in FIRMWARES:
            log(f'\n=== {test} test with {firmware}.bin')
            opts.test, opts.firmware = test, firmware
            try:
                run_one(opts)
                results[(test, firmware)] = 'passed'
            except Skip as reason:
                log(f'SKIPPED: {reason}')
                results[(test, firmware)] = f'skipped: {reason}'
            except Failure as failure:
                log(f'FAILED: {failure}')
                results[(test, firmware)] = 'FAILED'
    log(f'\n=== summary ({time.time() - start:.0f} s)')
    for (test, firmware), result in results.items():
        log(f'  {test:5} {firmware:5}  {result}')
    return 1 if any(r == 'FAILED' for r in results.values()) else 0


if __name__ == '__main__':
    sys.exit(main())
