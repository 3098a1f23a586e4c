#!/usr/bin/env python3
"""The whole road: a disk image made the way Drovelkit's copy operation makes
a drive, from an ISO image, booted in real QEMU.

  road.py --case NAME --native-build DIR --firmware-dir DIR --work DIR

make_drive() runs the host tool copy_road of the native build: the program's
own copy operation against the tests' fake system, where every tool run the
program starts is done by the real Linux tool (the boot tool's front with
/device=DISK for /device=E:, Debian's 7zz for 7zdrovelkit.exe with -o the
staging folder that stands for the volume's root). So the three boot-tool
runs, the loader probe, the choice of /type=bootmgr or grub4dos, the full
extraction, the "[boot]" removal and the grldr move are the program's own.
The tree the operation leaves is then put onto the formatted volume: mtools
on FAT32, an ntfs-3g FUSE mount of the partition on NTFS, and on exFAT the
small writer of pbr_boot_test.py (root files only: exfat-fuse mounts only
block devices).

Every boot runs under TCG (see drive_boot_test.py).
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import collections
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_test  # noqa: E402
import drive_boot_test  # noqa: E402
import pbr_boot_test  # noqa: E402

Skip, Failure, log = boot_test.Skip, boot_test.Failure, boot_test.log
SECTOR = 512
# FAT32 needs the room for 4 KiB clusters; NTFS and exFAT volumes as small as
# the boot record tests use.
DISK_BYTES = {'fat32': 300 << 20, 'ntfs': 33 << 20, 'exfat': 33 << 20}
PARTITION_TYPES = {'fat32': 0x0C, 'ntfs': 0x07, 'exfat': 0x07}

Drive = collections.namedtuple('Drive', 'start sectors tree commands loader_type')


def make_drive(fs, iso, disk, native_build, work=None, fragment=None, size=None):
    """Makes disk (an image file, created at the file system's test size
    unless it exists) the way the copy operation makes a drive of file system
    fs ('fat32', 'ntfs', 'exfat') from the ISO image iso, with the native
    build's copy_road and boot-tool front, and puts the extracted tree on the
    volume. fragment: a root file name that is written first, into a
    fragmented free space (NTFS only). Returns a Drive: the partition's start
    and length in sectors, the tree left on the volume (a folder), the tool
    command lines the program ran, and the /type= of the last boot record
    it installed."""
    native_build = os.path.abspath(native_build)
    copy_road = os.path.join(native_build, 'tests', 'unit', 'copy_road')
    front = os.path.join(native_build, 'bootice', 'bootice')
    for tool in (copy_road, front):
        if not os.access(tool, os.X_OK):
            raise Skip(f'{tool} is not built')
    for tool in ('7zz', 'mcopy', 'ntfs-3g', 'ntfscp', 'mkntfs', 'mkfs.exfat', 'fsck.exfat'):
        if not shutil.which(tool):
            raise Skip(f'{tool} is missing (scripts/setup.sh installs it)')
    work = os.path.abspath(work or os.path.dirname(os.path.abspath(disk)))
    if not os.path.exists(disk):
        with open(disk, 'wb') as f:
            f.truncate(size or DISK_BYTES[fs])
    done = subprocess.run([copy_road, fs, os.path.abspath(iso), os.path.abspath(disk), work, front,
                           shutil.which('7zz')], capture_output=True, timeout=600)
    output = done.stdout.decode(errors='replace')
    log('  ' + output.strip().replace('\n', '\n  '))
    if done.returncode != 0:
        raise Failure(f'the copy operation failed ({done.returncode}): '
                      f'{done.stderr.decode(errors="replace")}')
    commands = [line[5:] for line in output.splitlines() if line.startswith('run: ')]
    # The last boot record installed is the one that boots.
    types = [c.split('/type=')[1].split()[0] for c in commands if '/pbr' in c]
    with open(disk, 'rb') as f:
        table = f.read(SECTOR)[446:462]
    start, sectors = struct.unpack_from('<II', table, 8)
    if table[0] != 0x80 or table[4] != PARTITION_TYPES[fs]:
        raise Failure(f'partition 1 is not active with type {PARTITION_TYPES[fs]:02X}: '
                      f'flag {table[0]:02X} type {table[4]:02X}')
    tree = os.path.join(work, 'tree')
    put = {'fat32': put_tree_fat32, 'ntfs': put_tree_ntfs, 'exfat': put_tree_exfat}[fs]
    put(disk, start, sectors, tree, fragment, work)
    return Drive(start, sectors, tree, commands, types[-1] if types else None)


def put_tree_fat32(disk, start, sectors, tree, fragment, work):
    names = [os.path.join(tree, name) for name in sorted(os.listdir(tree))]
    if names:
        drive_boot_test.mtools('mcopy', disk, start, '-s', '-Q', *names, '::/')


def partition_file(disk, start, sectors, work):
    part = os.path.join(work, 'partition.img')
    with open(disk, 'rb') as src, open(part, 'wb') as out:
        src.seek(start * SECTOR)
        out.write(src.read(sectors * SECTOR))
    return part


def splice(part, disk, start):
    with open(part, 'rb') as src, open(disk, 'r+b') as out:
        out.seek(start * SECTOR)
        shutil.copyfileobj(src, out)
    os.remove(part)


def put_tree_ntfs(disk, start, sectors, tree, fragment, work):
    part = partition_file(disk, start, sectors, work)
    if fragment:
        # The loader goes first into the holes that pbr_boot_test leaves.
        pbr_boot_test.fill_ntfs(part, fragment, os.path.join(tree, fragment), 'fragmented', work)
    mount = tempfile.mkdtemp(dir=work, prefix='mnt')
    pbr_boot_test.run_tool(['ntfs-3g', part, mount])
    try:
        for name in os.listdir(mount):
            if name.startswith('FILL'):
                os.remove(os.path.join(mount, name))
        for name in os.listdir(tree):
            source = os.path.join(tree, name)
            if name == fragment:
                continue
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(mount, name))
            else:
                shutil.copyfile(source, os.path.join(mount, name))
    finally:
        pbr_boot_test.run_tool(['umount', mount])
        os.rmdir(mount)
    pbr_boot_test.run_tool(['ntfsfix', '-n', part])
    splice(part, disk, start)


def put_tree_exfat(disk, start, sectors, tree, fragment, work):
    part = partition_file(disk, start, sectors, work)
    for name in sorted(os.listdir(tree)):
        source = os.path.join(tree, name)
        if os.path.isdir(source):
            raise Failure(f'{name}: the exFAT writer of these tests puts only root files')
        with open(source, 'rb') as f:
            pbr_boot_test.exfat_add_file(part, name, f.read(), fragmented=name == fragment)
    pbr_boot_test.run_tool(['fsck.exfat', '-n', part])
    splice(part, disk, start)


# ------------------------------------------------------------------ cases

# name: (file system, image, loader, firmware, fragmented root file)
#   image: 'bootmgr' (BOOTMGR in the root), 'grldr' (grldr and menu.lst in the
#   root), 'grldr-in-boot' (grldr and menu.lst only in boot/: the probe finds
#   neither and the grldr move must still give a drive that boots),
#   'hybrid' (grub-mkrescue's BIOS/UEFI image with efi/boot/bootx64.efi and
#   bootia32.efi in its tree); loader: 'large' spans many clusters (GRUB with
#   a memdisk whose last file it prints), 'small' does not.
CASES = {
    'fat32.bootmgr.large': ('fat32', 'bootmgr', 'large', 'bios', None),
    'fat32.grldr': ('fat32', 'grldr', 'small', 'bios', None),
    'fat32.grldr-in-boot-folder': ('fat32', 'grldr-in-boot', 'small', 'bios', None),
    'fat32.hybrid.efi64': ('fat32', 'hybrid', None, 'efi64', None),
    'fat32.hybrid.efi32': ('fat32', 'hybrid', None, 'efi32', None),
    'ntfs.bootmgr.large-fragmented': ('ntfs', 'bootmgr', 'large', 'bios', 'BOOTMGR'),
    'ntfs.grldr': ('ntfs', 'grldr', 'small', 'bios', None),
    'exfat.bootmgr': ('exfat', 'bootmgr', 'small', 'bios', None),
    'exfat.grldr.large': ('exfat', 'grldr', 'large', 'bios', None),
}
README = 'Drovelkit road test image\n'


def build_iso(case, run_dir):
    """The case's ISO image (xorriso, Joliet and Rock Ridge names; the hybrid
    one by grub-mkrescue); returns its path."""
    fs, image, loader_kind, firmware, _ = CASES[case]
    source = os.path.join(run_dir, 'iso_source')
    os.makedirs(source)
    # exFAT volumes get root files only (see put_tree_exfat).
    docs = source if fs == 'exfat' else os.path.join(source, 'docs')
    os.makedirs(docs, exist_ok=True)
    with open(os.path.join(docs, 'readme.txt'), 'w') as f:
        f.write(README)
    iso = os.path.join(run_dir, 'image.iso')
    if image == 'hybrid':
        efi_boot = os.path.join(source, 'efi', 'boot')
        os.makedirs(efi_boot)
        for name, target, marker in (('bootx64.efi', 'x86_64-efi', 'efi64'),
                                     ('bootia32.efi', 'i386-efi', 'efi32')):
            drive_boot_test.grub_image(target, ['echo', 'halt'],
                                       f'echo {drive_boot_test.EFI_MARKERS[marker]}\nhalt\n',
                                       os.path.join(efi_boot, name), run_dir)
        tmp = os.path.join(run_dir, 'tmp')
        os.makedirs(tmp)
        done = subprocess.run(['grub-mkrescue', '-o', iso, source], capture_output=True,
                              timeout=300, env=dict(os.environ, TMPDIR=tmp))
        if done.returncode != 0:
            raise Failure('grub-mkrescue failed: ' + done.stderr.decode(errors='replace'))
        return iso
    loader_dir = os.path.join(run_dir, 'loader')
    os.makedirs(loader_dir)
    loader = pbr_boot_test.build_loader(loader_dir, loader_kind == 'large')
    folder = os.path.join(source, 'boot') if image == 'grldr-in-boot' else source
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(loader, os.path.join(folder, 'BOOTMGR' if image == 'bootmgr' else 'grldr'))
    if image != 'bootmgr':
        with open(os.path.join(folder, 'menu.lst'), 'w') as f:
            f.write('timeout 0\n')
    pbr_boot_test.run_tool(['xorriso', '-as', 'mkisofs', '-J', '-R', '-o', iso, source])
    return iso


def check_tree(case, drive, run_dir):
    """What the operation left on the volume, against what the image had."""
    fs, image, _, _, _ = CASES[case]
    staging = sorted(os.listdir(os.path.join(run_dir, 'staging')))
    tree = sorted(os.listdir(drive.tree))
    log(f'  extracted: {staging}; left on the volume: {tree}')
    if any(name.lower() == '[boot]' for name in tree):
        raise Failure('the "[boot]" folder was not removed')
    if image == 'hybrid':
        if not any(name.lower() == '[boot]' for name in staging):
            raise Failure('7-Zip did not extract the El Torito images as "[BOOT]": '
                          'the removal was not tested')
        for name in ('bootx64.efi', 'bootia32.efi'):
            if not os.path.isfile(os.path.join(drive.tree, 'efi', 'boot', name)):
                raise Failure(f'efi/boot/{name} is not on the volume')
    if image == 'grldr-in-boot':
        if not any(name.lower() == 'grldr' for name in tree):
            raise Failure('grldr was not moved into the root')
        if os.path.exists(os.path.join(drive.tree, 'boot', 'grldr')):
            raise Failure('boot/grldr was copied, not moved')
    want = 'grub4dos' if image.startswith('grldr') else 'bootmgr'
    if drive.loader_type != want:
        raise Failure(f'the boot record installed was /type={drive.loader_type}, not {want}')


def prepare_case(case, opts, firmware, tools):
    """Checks that the firmware image and the tools (besides QEMU, xorriso
    and grub-mkimage) are there and gives an empty folder for the case.
    Returns (that folder, the firmware folder)."""
    firmware_dir = os.path.abspath(opts.firmware_dir)
    run_dir = os.path.join(opts.work, case)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    if not os.path.isfile(os.path.join(firmware_dir, f'{firmware}.bin')):
        raise Skip(f'{firmware}.bin is not in {firmware_dir} (yet)')
    for tool in ('qemu-system-x86_64', 'xorriso', 'grub-mkimage') + tools:
        if not shutil.which(tool):
            raise Skip(f'{tool} is missing (scripts/setup.sh installs it)')
    return run_dir, firmware_dir


def run_case(case, opts):
    fs, image, loader_kind, firmware, fragment = CASES[case]
    run_dir, firmware_dir = prepare_case(case, opts, firmware, ('grub-mkrescue',))
    iso = build_iso(case, run_dir)
    disk = os.path.join(run_dir, 'disk.img')
    drive = make_drive(fs, iso, disk, opts.native_build, run_dir, fragment)
    check_tree(case, drive, run_dir)
    if image == 'hybrid':
        expected = [drive_boot_test.EFI_MARKERS[firmware]]
    else:
        expected = [pbr_boot_test.MARKER] + ([pbr_boot_test.TAIL_MARKER] if loader_kind == 'large'
                                             else [])
    drive_boot_test.boot_serial(drive_boot_test.qemu_args(firmware_dir, firmware, disk), run_dir,
                                expected)
    os.remove(disk)
    log(f'PASSED: {case}')


def case_main(description, cases, run_case):
    """The command line of a test program that runs one case of `cases`:
    parses it, runs run_case(name, opts) and returns the exit status."""
    parser = argparse.ArgumentParser(description=description,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--case', required=True, choices=sorted(cases))
    parser.add_argument('--native-build', required=True, help='the native build folder')
    parser.add_argument('--firmware-dir', required=True)
    parser.add_argument('--work', required=True)
    opts = parser.parse_args()
    opts.work = os.path.abspath(opts.work)
    return boot_test.exit_status(lambda: run_case(opts.case, opts))


def main():
    return case_main(__doc__, CASES, run_case)

if __name__ == '__main__':
    sys.exit(main())
