#!/usr/bin/env python3
"""Boot tests of FAT32 drives prepared by the boot tool's Linux front, with
real QEMU and the payload's firmware.

  drive_boot_test.py build-media --work DIR
      Builds what the cases copy onto their drives: GRUB 2 made to be started
      by a Windows boot sector (Debian's g2hdr.img followed by a
      grub-mkimage i386-pc core image whose embedded configuration writes a
      marker on the serial port), GRUB EFI images for x64 and IA32 with such
      a configuration, and the file tree of a hybrid BIOS/UEFI image
      (grub-mkrescue) that carries them as efi/boot/bootx64.efi and
      bootia32.efi, as install images do.

  drive_boot_test.py run --work DIR --case CASE --front PATH --firmware-dir DIR
      Makes a disk image with the front's three command lines, in the order
      the copy operation runs them:
          PATH /device=disk.img /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet
          PATH /device=disk.img /mbr /install /type=nt60 /quiet
          PATH /device=disk.img /pbr /install /type=bootmgr|grub4dos /activate /quiet
      copies the case's files in with mtools and boots the disk:
        grub-bootmgr  GRUB (g2hdr) as BOOTMGR: its marker on the serial port
        grub-grldr    the same as GRLDR, /type=grub4dos
        handoff       handoff_loader.asm with data, several hundred KiB as
                      BOOTMGR whose clusters are not contiguous, its entry in
                      the root folder's second cluster: "HANDOFF OK"
        handoff-64g   the same on a 64 GiB disk (32 KiB clusters; there the root
                      folder's first cluster holds the entry)
        missing       no BOOTMGR: "BOOTMGR is missing" on the screen
        uefi-efi64, uefi-efi32
                      the hybrid image's tree boots with efi64.bin / efi32.bin
      Every boot runs under TCG: these boots switch between real and protected
      mode so often that the nested KVM of test machines makes them 20 to 60
      times slower (GRUB: 38 s against 0.6 s).

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import time

import boot_test
from boot_test import Failure, Skip, log, run_tool

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = ('grub-bootmgr', 'grub-grldr', 'handoff', 'handoff-64g', 'missing', 'uefi-efi64',
         'uefi-efi32')
# 300 MiB: the volume gets 4 KiB clusters, so a loader of a few hundred KiB
# spans many clusters and the FAT and root folder are several sectors long.
# 64 GiB (sparse): 32 KiB clusters and a FAT of 16 MiB.
DISK_BYTES = {'handoff-64g': 64 << 30}
SMALL_DISK_BYTES = 300 << 20
MEMORY = '512'
GRUB_MARKER = 'DROVELKIT GRUB OK'
EFI_MARKERS = {'efi64': 'DROVELKIT GRUB EFI OK X64', 'efi32': 'DROVELKIT GRUB EFI OK IA32'}
SCREEN_SECONDS = 30
ACCEL = 'tcg'
HANDOFF_BYTES = 400 * 1024
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK='1')


def grub_image(target, modules, config_text, out, work):
    config = os.path.join(work, os.path.basename(out) + '.cfg')
    with open(config, 'w') as f:
        f.write(config_text)
    run_tool(['grub-mkimage', '-O', target, '-o', out, '-c', config, '-p', '/boot/grub'] + modules)


def build_media(work):
    media = os.path.join(work, 'media')
    shutil.rmtree(media, ignore_errors=True)
    os.makedirs(media)
    # grub-mkrescue's scratch files stay inside the build folder too.
    os.makedirs(os.path.join(work, 'tmp'), exist_ok=True)
    boot_test.tool_env = dict(os.environ, TMPDIR=os.path.join(work, 'tmp'))
    missing = [t for t in ('nasm', 'grub-mkimage', 'grub-mkrescue', 'xorriso', 'mcopy', 'mshowfat')
               if not shutil.which(t)]
    missing += [p for p in ('/usr/lib/grub/i386-pc/g2hdr.img', '/usr/lib/grub/x86_64-efi',
                            '/usr/lib/grub/i386-efi') if not os.path.exists(p)]
    if missing:
        raise Skip('cannot build the drive media, missing: ' + ', '.join(missing) +
                   ' (scripts/setup.sh installs grub-pc-bin, grub-efi-amd64-bin, '
                   'grub-efi-ia32-bin, xorriso, mtools)')
    run_tool(['nasm', '-f', 'bin', '-I', HERE + '/',
              '-o', os.path.join(media, 'handoff_loader.bin'),
              os.path.join(HERE, 'handoff_loader.asm')])

    core = os.path.join(media, 'core.img')
    grub_image('i386-pc', ['serial', 'echo', 'halt', 'terminal'],
               'serial --unit=0 --speed=115200\nterminal_output serial\n'
               f'echo {GRUB_MARKER}\nhalt\n', core, media)
    with open(os.path.join(media, 'grub_loader.bin'), 'wb') as out:
        for part in ('/usr/lib/grub/i386-pc/g2hdr.img', core):
            with open(part, 'rb') as f:
                out.write(f.read())

    # The hybrid image's tree, as extracting the ISO gives it, plus the EFI
    # loaders in the tree where firmware looks for them.
    iso_source = os.path.join(media, 'iso_source', 'boot', 'grub')
    os.makedirs(iso_source)
    with open(os.path.join(iso_source, 'grub.cfg'), 'w') as f:
        f.write('echo Drovelkit hybrid test image\n')
    iso = os.path.join(media, 'hybrid.iso')
    run_tool(['grub-mkrescue', '-o', iso, os.path.dirname(os.path.dirname(iso_source))])
    tree = os.path.join(media, 'hybrid_tree')
    run_tool(['xorriso', '-osirrox', 'on', '-indev', iso, '-extract', '/', tree])
    run_tool(['chmod', '-R', 'u+w', tree])
    efi_boot = os.path.join(tree, 'efi', 'boot')
    os.makedirs(efi_boot)
    for firmware, target, name in (('efi64', 'x86_64-efi', 'bootx64.efi'),
                                   ('efi32', 'i386-efi', 'bootia32.efi')):
        grub_image(target, ['echo', 'halt'], f'echo {EFI_MARKERS[firmware]}\nhalt\n',
                   os.path.join(efi_boot, name), media)
    with open(os.path.join(media, 'complete'), 'w') as f:
        f.write('built\n')
    log(f'drive media built in {media}')


# ------------------------------------------------------------- the disk

def front(path, disk, *switches):
    command = [path, f'/device={disk}'] + list(switches) + ['/quiet']
    done = subprocess.run(command, capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    log(f'$ {" ".join(command)}\n  exit {done.returncode} '
        f'{(done.stdout + done.stderr).decode(errors="replace").strip()}')
    if done.returncode != 0:
        raise Failure(f'the boot tool failed: {" ".join(command)}')


def prepare_disk(front_path, run_dir, loader_type, size):
    """Runs the three command lines; returns the disk and the partition start."""
    disk = os.path.join(run_dir, 'disk.img')
    with open(disk, 'wb') as f:
        f.truncate(size)
    front(front_path, disk, '/partitions', '/repartition', '/activate', '/usb-hdd', '/fstype=fat32')
    front(front_path, disk, '/mbr', '/install', '/type=nt60')
    front(front_path, disk, '/pbr', '/install', f'/type={loader_type}', '/activate')
    with open(disk, 'rb') as f:
        table = f.read(512)[446:510]
    flag, kind, start = table[0], table[4], struct.unpack_from('<I', table, 8)[0]
    if flag != 0x80 or kind != 0x0C or start == 0:
        raise Failure(f'partition 1 is not an active FAT32 (LBA) partition: '
                      f'flag {flag:02X} type {kind:02X} start {start}')
    return disk, start


def mtools(tool, disk, start, *args):
    done = subprocess.run([tool, '-i', f'{disk}@@{start * 512}'] + list(args),
                          capture_output=True, timeout=300, env=MTOOLS_ENV)
    if done.returncode != 0:
        raise Failure(f'{tool} {" ".join(args)} failed: {done.stderr.decode(errors="replace")}')
    return done.stdout.decode(errors='replace')


def handoff_file(media, path, partition_start):
    """The test loader followed by data; the header gets the length, the
    checksum of the data and the partition start the loader must see."""
    with open(os.path.join(media, 'handoff_loader.bin'), 'rb') as f:
        program = bytearray(f.read())
    data = random.Random(partition_start).randbytes(HANDOFF_BYTES - len(program))
    checksum = 0x811C9DC5
    for (word,) in struct.iter_unpack('<I', data):
        checksum = ((checksum ^ word) * 0x01000193) & 0xFFFFFFFF
    struct.pack_into('<4sIII', program, 4, b'DKHL', HANDOFF_BYTES, checksum, partition_start)
    with open(path, 'wb') as f:
        f.write(program + data)
    return checksum


def copy_fragmented(disk, start, source, run_dir):
    """Copies source as BOOTMGR into the holes that deleted files left, with
    its directory entry after 160 others (beyond the root folder's first
    cluster when clusters are 4 KiB)."""
    holes_dir = os.path.join(run_dir, 'fill')
    os.makedirs(holes_dir)
    kept, dropped, empty = [], [], []
    for i in range(80):
        for group, name in ((kept, f'KEEP{i:03}.BIN'), (dropped, f'DROP{i:03}.BIN'),
                            (empty, f'EMPTY{i:03}.BIN')):
            path = os.path.join(holes_dir, name)
            group.append(path)
            with open(path, 'wb') as f:
                f.write(b'' if group is empty else bytes([i]) * 4096)
    mtools('mcopy', disk, start, *[p for pair in zip(kept, dropped) for p in pair], '::/')
    mtools('mdel', disk, start, *['::/' + os.path.basename(p) for p in dropped])
    # Empty files take the freed entries but no clusters, so the loader's
    # entry comes after 160 others.
    mtools('mcopy', disk, start, *empty, '::/')
    # Next-free "unknown" in FSInfo makes mtools search from cluster 2, so
    # the file fills the holes first.
    with open(disk, 'r+b') as f:
        f.seek(start * 512)
        fsinfo = struct.unpack_from('<H', f.read(512), 48)[0]
        f.seek((start + fsinfo) * 512 + 492)
        f.write(struct.pack('<I', 0xFFFFFFFF))
    mtools('mcopy', disk, start, source, '::/BOOTMGR')
    runs = mtools('mshowfat', disk, start, '::/BOOTMGR').count('<')
    if runs < 10:
        raise Failure(f'BOOTMGR lies in {runs} runs of clusters; the test needs a fragmented file')
    log(f'BOOTMGR: {os.path.getsize(source)} bytes in {runs} separate runs of clusters')


# ------------------------------------------------------------------ QEMU

def qemu_args(firmware_dir, firmware, disk):
    return ['-L', firmware_dir, '-bios', f'{firmware}.bin', '-m', MEMORY, '-net', 'none',
            '-drive', f'if=ide,format=raw,file={disk}', '-boot', 'c']


def boot_serial(args, run_dir, expected):
    found, lines, seconds, code, qemu_output = boot_test.boot(args, run_dir, 'boot', expected,
                                                              ACCEL)
    boot_test.log_boot(seconds, ACCEL, code, lines[-20:], qemu_output)
    if not found:
        raise Failure(f'the serial port did not show {expected}')
    return lines


def screen_text(monitor, run_dir):
    """The VGA text screen (80x25 at B8000) read through the QEMU monitor."""
    dump = os.path.join(run_dir, 'screen.bin')
    if os.path.exists(dump):
        os.remove(dump)
    # Relative to QEMU's folder: the monitor reads a leading / as a division.
    monitor.sendall(b'pmemsave 0xb8000 4000 screen.bin\n')
    try:
        while monitor.recv(65536):  # the monitor's echo, unread it would fill up
            pass
    except BlockingIOError:
        pass
    deadline = time.time() + 5
    while time.time() < deadline:
        if os.path.exists(dump) and os.path.getsize(dump) == 4000:
            with open(dump, 'rb') as f:
                cells = f.read()[0::2].decode('cp437')
            return '\n'.join(cells[i:i + 80].rstrip() for i in range(0, 2000, 80))
        time.sleep(0.05)
    return ''


def boot_screen(args, run_dir, expected):
    """Boots with a monitor socket until the screen shows the expected text."""
    with boot_test.monitor_socket() as socket_path:
        command = ['qemu-system-x86_64'] + args + ['-display', 'none', '-no-reboot', '-accel', ACCEL,
                                                   '-monitor', f'unix:{socket_path},server,nowait']
        log('QEMU: ' + ' '.join(command))
        text = ''
        with open(os.path.join(run_dir, 'qemu.log'), 'wb') as err:
            process = subprocess.Popen(command, cwd=run_dir, stdout=err, stderr=err,
                                       start_new_session=True)
            try:
                deadline = time.time() + SCREEN_SECONDS
                monitor = None
                while time.time() < deadline and process.poll() is None:
                    time.sleep(0.5)
                    if monitor is None and os.path.exists(socket_path):
                        monitor = socket.socket(socket.AF_UNIX)
                        monitor.connect(socket_path)
                        monitor.setblocking(False)
                    if monitor:
                        text = screen_text(monitor, run_dir)
                        if expected in text:
                            break
            finally:
                process.kill()
                process.wait()
    log('screen:\n  ' + '\n  '.join(line for line in text.split('\n') if line))
    if expected not in text:
        raise Failure(f'the screen did not show "{expected}" within {SCREEN_SECONDS} s')


def run_case(opts):
    work = os.path.abspath(opts.work)
    media = os.path.join(work, 'media')
    if not os.path.exists(os.path.join(media, 'complete')):
        build_media(work)
    if not shutil.which('qemu-system-x86_64'):
        raise Skip('qemu-system-x86_64 is not installed (package qemu-system-x86)')
    if not opts.front or not os.access(opts.front, os.X_OK):
        raise Skip(f'the boot tool\'s Linux front is not built (looked for {opts.front!r})')
    firmware = opts.case.split('-')[1] if opts.case.startswith('uefi') else 'bios'
    firmware_dir = os.path.abspath(opts.firmware_dir)
    if not os.path.isfile(os.path.join(firmware_dir, f'{firmware}.bin')):
        raise Skip(f'firmware {firmware}.bin is not in {firmware_dir} (yet)')
    run_dir = os.path.join(work, 'runs', opts.case)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)

    loader_type = 'grub4dos' if opts.case == 'grub-grldr' else 'bootmgr'
    disk, start = prepare_disk(opts.front, run_dir, loader_type,
                               DISK_BYTES.get(opts.case, SMALL_DISK_BYTES))
    args = qemu_args(firmware_dir, firmware, disk)
    if opts.case.startswith('grub'):
        name = 'GRLDR' if loader_type == 'grub4dos' else 'BOOTMGR'
        mtools('mcopy', disk, start, os.path.join(media, 'grub_loader.bin'), f'::/{name}')
        boot_serial(args, run_dir, [GRUB_MARKER])
    elif opts.case.startswith('handoff'):
        loader = os.path.join(run_dir, 'handoff.bin')
        checksum = handoff_file(media, loader, start)
        copy_fragmented(disk, start, loader, run_dir)
        # A drive field that is not the BIOS drive (as formatters for other
        # media leave it): the boot code must put DL there for the loader.
        with open(disk, 'r+b') as f:
            f.seek(start * 512 + 0x40)
            f.write(b'\x00')
        lines = boot_serial(args, run_dir, ['HANDOFF '])
        want = f'HANDOFF OK CS:IP=2000:0000 DL=80 DH=00 HIDDEN={start:08X} SUM={checksum:08X}'
        if not any(want in line for line in lines):
            raise Failure(f'the loader did not report "{want}"')
    elif opts.case == 'missing':
        mtools('mcopy', disk, start, os.path.join(media, 'handoff_loader.bin'), '::/NOTBOOT.BIN')
        boot_screen(args, run_dir, 'BOOTMGR is missing')
    else:
        tree = os.path.join(media, 'hybrid_tree')
        mtools('mcopy', disk, start, '-s', '-Q',
               *[os.path.join(tree, name) for name in sorted(os.listdir(tree))], '::/')
        boot_serial(args, run_dir, [EFI_MARKERS[firmware]])
    log(f'PASSED: {opts.case}')


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('command', choices=('build-media', 'run'))
    parser.add_argument('--work', required=True)
    parser.add_argument('--case', choices=CASES)
    parser.add_argument('--front', default='', help='the boot tool\'s Linux front')
    parser.add_argument('--firmware-dir', default='')
    opts = parser.parse_args()
    if opts.command == 'build-media':
        return boot_test.exit_status(lambda: build_media(os.path.abspath(opts.work)))
    if not opts.case or not opts.firmware_dir:
        parser.error('run needs --case and --firmware-dir')
    return boot_test.exit_status(lambda: run_case(opts))


if __name__ == '__main__':
    sys.exit(main())
