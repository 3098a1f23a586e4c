#!/usr/bin/env python3
"""bootice.exe's disk half under Wine, through a virtual disk driver.

  windisk_test.py setup --work DIR --wine LOADER --driver SYS --firmware-dir DIR
  windisk_test.py row NAME --work DIR --wine LOADER --seam EXE --front LINUX_FRONT --firmware-dir DIR
  windisk_test.py cleanup --work DIR

setup makes a Wine prefix of its own, registers vdisk.sys as a kernel
service with disk 2 (the stick, WORK/disk.img) and disk 3 (another disk,
WORK/other.img, random bytes that must never change), and keeps the
wineserver running so that every row's programs reach the started driver.

Each row is a machine (the seam's scenario, see SeamMain_win32.cpp): the
stick is first made as a user would bring it (partition 1 as E:, by the Linux
front), then bootice_windisk.exe — bootice.exe's front over the seam — runs
the copy operation's three command lines through Wine and the driver, which
refuses unaligned transfers and writes into mounted, unlocked volumes. A row
ends in a drive that boots in QEMU (GRUB as BOOTMGR on its serial port,
through tests/boot's media, QEMU command line and runner) or in the row's clear refusal; either
way disk 3 is unchanged. A format request of the seam is carried out here,
with mkntfs or mkfs.exfat on the partition.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'boot'))
import boot_table  # noqa: E402
import boot_test  # noqa: E402

Skip, Failure, log = boot_test.Skip, boot_test.Failure, boot_test.log
DISK_BYTES = 300 << 20
OTHER_BYTES = 8 << 20
SECTOR = 512
RUN_TIMEOUT = 180
HOST_WINE = '/usr/lib/wine/wine64'

# name: (scenario, file system, what the first command must say, how the row ends)
# The order of the volume work (retries, which letters go back) is tested
# natively (bootice/tests/VolumeWorkTest.cpp); these rows keep what needs the
# real front, driver and transfers.
# A row ends "boots" (all three commands, then a QEMU boot), "refused" (the
# first command fails), "untouched" (refused with the stick unchanged) or
# "killed" (the tool dies after the layout; its restore record must give E:
# to the new partition 1).
ROWS = {
    'plain': ('plain', 'fat32', 'done on E:', 'boots'),
    'autoplay-opens-new-volume': ('autoplay', 'ntfs', 'done on E:', 'boots'),
    'new-volume-arrives-late': ('late', 'ntfs', 'done on E:', 'boots'),
    'letter-taken-meanwhile': ('letter-taken', 'fat32', 'E: now names a volume on another disk', 'refused'),
    'old-esp-mounted-unlisted': ('old-esp', 'ntfs', 'done on E:', 'boots'),
    'automount-off': ('no-automount', 'ntfs', 'done on E:', 'boots'),
    'transfer-error-once': ('transfer', 'fat32', 'done on E:', 'boots'),
    'remount-after-dismount': ('remount', 'fat32', 'was in use by another program', 'boots'),
    'remounted-at-once-refused': ('remount-at-once', 'fat32', 'mounted it again at once', 'untouched'),
    'killed-after-layout': ('crash', 'ntfs', 'killed while formatting', 'killed'),
    'gpt-stick': ('gpt', 'fat32', 'done on E:', 'boots'),
    'exfat-from-ntfs': ('plain', 'exfat', 'done on E:', 'boots'),
}
# What the seam must (not) have seen in every row.
SEAM_MUST = {
    'autoplay': ['AutoPlay held off', 'although held off', 'dismounted while explorer.exe (AutoPlay) held it'],
    'late': ['arrived late'],
    'letter-taken': ['E: taken by a volume of disk 3'],
    'remount': ['dismounted while antivirus.exe held it'],
    'remount-at-once': ['mounted again by antivirus.exe after a dismount'],
    'gpt': ['the stick comes with a GPT'],
}
# No new volume may ever show the shell a RAW drive with a letter.
SEAM_NEVER = ['it was not held off', 'AutoPlay at the end: still held', 'arrived mounted RAW']
# The letters after each command that ends well: E: on partition 1, none on
# the UEFI loaders' partition 2, D: still on disk 3, nothing stray.
LETTERS_AFTER = {'fat32': '1:E D:3', 'ntfs': '1:E 2:- D:3', 'exfat': '1:E 2:- D:3'}
NEW_PARTITION_1 = '\\\\?\\Volume{dk2-1048576}\\'


def wine_env(work):
    return dict(os.environ, WINEPREFIX=os.path.join(work, 'prefix'), WINEDEBUG='-all', LC_ALL='C.UTF-8',
                WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d', DISPLAY='')


def wine(opts, args, env=None, timeout=RUN_TIMEOUT):
    # Into a file, not a pipe: the Wine services a first call starts inherit
    # its output and live as long as the kept wineserver.
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([opts.wine] + args, env=env or wine_env(opts.work), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
        out.seek(0)
        return done.returncode, out.read().decode(errors='replace')


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.file_digest(f, 'sha256').hexdigest() if hasattr(hashlib, 'file_digest') \
            else hashlib.sha256(f.read()).hexdigest()


def check_loader(loader):
    try:
        subprocess.run([loader, '--version'], capture_output=True, check=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as error:
        raise Skip(f'{loader} does not start here: {error}')


def setup(opts):
    work = os.path.abspath(opts.work)
    cleanup(opts)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # The driver is built for x86_64: Wine's kernel is the 64-bit one of a
    # 64-bit prefix, whichever loader starts the build's programs.
    check_loader(HOST_WINE)
    check_loader(opts.wine)
    host = argparse.Namespace(wine=HOST_WINE, work=work)
    env = wine_env(work)
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([HOST_WINE, 'wineboot', '-i'], env=env, timeout=300, **quiet)
    subprocess.run(['wineserver', '-w'], env=env, timeout=300, **quiet)
    with open(os.path.join(work, 'disk.img'), 'wb') as f:
        f.truncate(DISK_BYTES)
    with open(os.path.join(work, 'other.img'), 'wb') as f:
        f.write(random.Random(3).randbytes(OTHER_BYTES))
    shutil.copy(opts.driver, os.path.join(work, 'prefix', 'drive_c', 'vdisk.sys'))
    # Kept alive: the started driver lives as long as this wineserver.
    subprocess.run(['wineserver', '-p'], env=env, check=True, timeout=60, **quiet)
    key = r'HKLM\System\CurrentControlSet\Services\vdisk'
    steps = [['sc', 'create', 'vdisk', 'type=', 'kernel', 'binPath=', r'C:\vdisk.sys']]
    for number, name in ((2, 'disk.img'), (3, 'other.img')):
        steps.append(['reg', 'add', key, '/v', f'Disk{number}', '/t', 'REG_SZ', '/d',
                      r'\??\Z:' + os.path.join(work, name).replace('/', '\\'), '/f', '/reg:64'])
    steps.append(['sc', 'start', 'vdisk'])
    for step in steps:
        code, output = wine(host, step)
        log(f'$ wine {" ".join(step)}: {code}')
        if code != 0:
            raise Failure(f'wine {" ".join(step)} failed: {output.strip()}')
    with open(os.path.join(work, 'other.sha256'), 'w') as f:
        f.write(sha256(os.path.join(work, 'other.img')))
    boot_table.build_media(work)
    log('virtual disks 2 and 3 started')


def cleanup(opts):
    if os.path.isdir(os.path.join(opts.work, 'prefix')):
        subprocess.run(['wineserver', '-k'], env=wine_env(os.path.abspath(opts.work)), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


class Formatter(threading.Thread):
    """Carries out the seam's format requests on the host while a command runs."""

    def __init__(self, work, disk):
        super().__init__(daemon=True)
        self.work, self.disk, self.stop = work, disk, threading.Event()

    def run(self):
        request = os.path.join(self.work, 'format.request')
        while not self.stop.is_set():
            if not os.path.exists(request):
                time.sleep(0.05)
                continue
            with open(request) as f:
                fs, offset, length = f.read().split()
            os.remove(request)
            answer = self.format(fs.lower(), int(offset) // SECTOR, int(length) // SECTOR)
            with open(os.path.join(self.work, 'format.done.new'), 'w') as f:
                f.write(answer + '\n')
            os.replace(os.path.join(self.work, 'format.done.new'), os.path.join(self.work, 'format.done'))

    def format(self, fs, start, sectors):
        part = boot_table.extract_partition(self.disk, start, sectors, self.work)
        tool = (['mkntfs', '-F', '-Q', '-q', '-p', str(start), '-s', '512', '-H', '255', '-S', '63', part]
                if fs == 'ntfs' else ['mkfs.exfat', part])
        done = subprocess.run(tool, capture_output=True, timeout=120)
        if done.returncode != 0:
            os.remove(part)
            return 'failed ' + done.stderr.decode(errors='replace').strip().replace('\n', ' ')
        boot_table.splice_partition(part, self.disk, start)
        return 'ok'


def run_seam(opts, scenario, switches):
    env = dict(wine_env(os.path.abspath(opts.work)), DROVELKIT_WINDISK_SCENARIO=scenario,
               DROVELKIT_WINDISK_DIR='Z:' + os.path.abspath(opts.work).replace('/', '\\'))
    code, output = wine(opts, [opts.seam, '/device=E:'] + switches + ['/quiet'], env=env)
    log(f'$ bootice /device=E: {" ".join(switches)} ({scenario}): exit {code}\n  ' +
        '\n  '.join(output.strip().splitlines()))
    return code, output


def gpt_stick(disk, work):
    """A stick as some come from the shop: a GPT with one FAT32 data partition."""
    sectors = 200 << 11
    subprocess.run(['sfdisk', '-q', disk], check=True, timeout=60, capture_output=True,
                   input=f'label: gpt\nstart=2048, size={sectors}, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n'
                   .encode())
    part = boot_table.extract_partition(disk, 2048, sectors, work)
    subprocess.run(['mkfs.fat', '-F', '32', '-s', '1', part], check=True, timeout=60, capture_output=True)
    boot_table.splice_partition(part, disk, 2048)


def letters_at_end(output):
    lines = [line for line in output.splitlines() if 'letters at the end: ' in line]
    return lines[-1].split('letters at the end: ', 1)[1].strip() if lines else None


def row(opts):
    scenario, fs, expected, ending = ROWS[opts.name]
    if scenario == 'gpt' and not shutil.which('sfdisk'):
        raise Skip('sfdisk is not installed')
    boots = ending == 'boots'
    work = os.path.abspath(opts.work)
    disk = os.path.join(work, 'disk.img')
    if not os.path.exists(os.path.join(work, 'other.sha256')):
        raise Skip('the virtual disks were not set up (the Wine loader does not start here?)')
    # The stick as the user brings it, E: on partition 1: of the row's kind,
    # or NTFS (two partitions) for the exFAT row, whose layout then changes.
    with open(disk, 'r+b') as f:
        f.truncate(0)
        f.truncate(DISK_BYTES)
    if scenario == 'gpt':
        gpt_stick(disk, work)
    else:
        brought = 'ntfs' if fs == 'exfat' else fs
        boot_table.front(opts.front, disk, '/partitions', '/repartition', '/activate', '/usb-hdd', f'/fstype={brought}')
    before = sha256(disk)
    record = os.path.join(work, 'restore.record')
    if os.path.exists(record):
        os.remove(record)
    formatter = Formatter(work, disk)
    formatter.start()
    try:
        seen = ''
        code, output = run_seam(opts, scenario, ['/partitions', '/repartition', '/activate', '/usb-hdd',
                                                 f'/fstype={fs}'])
        seen += output
        if expected not in output:
            raise Failure(f'the first command did not say "{expected}"')
        if boots:
            for switches in (None, ['/mbr', '/install', '/type=nt60'],
                             ['/pbr', '/install', '/type=bootmgr', '/activate']):
                if switches:
                    code, output = run_seam(opts, scenario, switches)
                    seen += output
                if code != 0:
                    raise Failure(f'{" ".join(switches or ["/partitions"])} failed with {code}')
                if letters_at_end(output) != LETTERS_AFTER[fs]:
                    raise Failure(f'letters at the end: {letters_at_end(output)}, not {LETTERS_AFTER[fs]}')
        elif code == 0:
            raise Failure('the refusal row ended with exit code 0')
        if ending == 'untouched' and (sha256(disk) != before or letters_at_end(output) != '1:E D:3'):
            raise Failure('the refused stick was changed or did not get E: back')
        if ending == 'killed':
            # The main program applies the record after the tool's end: it
            # must name the new partition 1, which the tool left without a letter.
            with open(record) as f:
                kept = f.read().split()
            if kept != ['E', NEW_PARTITION_1] or not letters_at_end(output).startswith('1:- '):
                raise Failure(f'the restore record after the kill is {kept}')
    finally:
        formatter.stop.set()
    for text in SEAM_MUST.get(scenario, []):
        if text not in seen:
            raise Failure(f'the seam never said "{text}"')
    for text in SEAM_NEVER:
        if text in seen:
            raise Failure(f'the seam said "{text}"')
    with open(os.path.join(work, 'other.sha256')) as f:
        if sha256(os.path.join(work, 'other.img')) != f.read():
            raise Failure('disk 3 was written to')
    if boots:
        boot(opts, disk, fs)
    log(f'PASSED: {opts.name}')


def boot(opts, disk, fs):
    """Copies GRUB in as BOOTMGR and boots the drive on bios.bin."""
    work = os.path.abspath(opts.work)
    run_dir = os.path.join(work, 'runs', opts.name)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    copy = os.path.join(run_dir, 'disk.img')
    subprocess.run(['cp', '--sparse=always', disk, copy], check=True)
    with open(copy, 'rb') as f:
        entry = f.read(512)[446:462]
    start, sectors = struct.unpack_from('<II', entry, 8)
    loader = os.path.join(work, 'media', 'grub.bin')
    if fs == 'fat32':
        boot_table.mtools('mcopy', copy, start, loader, '::/BOOTMGR')
    else:
        tree = os.path.join(run_dir, 'tree')
        os.makedirs(tree)
        shutil.copy(loader, os.path.join(tree, 'BOOTMGR'))
        boot_table.PUT_TREE[fs](copy, start, sectors, tree, 'BOOTMGR', None, run_dir)
    # The boot table's own QEMU command line and runner, for a BIOS row.
    row_like = argparse.Namespace(firmware='bios', options={})
    args = boot_table.qemu_args(row_like, opts, copy, run_dir)
    result = boot_test.boot(args, run_dir, [boot_table.MARKER], 'tcg')
    boot_test.log_boot(result)
    if not result.found:
        raise Failure(f'the drive did not boot to "{boot_table.MARKER}" within {boot_test.BOOT_SECONDS} s')
    os.remove(copy)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('command', choices=('setup', 'row', 'cleanup'))
    parser.add_argument('name', nargs='?', choices=sorted(ROWS))
    parser.add_argument('--work', required=True)
    parser.add_argument('--wine')
    parser.add_argument('--driver')
    parser.add_argument('--seam')
    parser.add_argument('--front')
    parser.add_argument('--firmware-dir')
    opts = parser.parse_args()
    try:
        if opts.command == 'row' and (not opts.front or not os.access(opts.front, os.X_OK)):
            raise Skip(f'the boot tool\'s Linux front is not built (looked for {opts.front!r})')
        if opts.command == 'row' and not shutil.which('qemu-system-x86_64'):
            raise Skip('qemu-system-x86_64 is not installed')
        {'setup': setup, 'row': row, 'cleanup': cleanup}[opts.command](opts)
    except Skip as skip:
        log(f'SKIPPED: {skip}')
        return 77
    except (Failure, subprocess.SubprocessError, OSError) as failure:
        log(f'FAILED: {failure}')
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
