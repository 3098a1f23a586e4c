#!/usr/bin/env python3
"""UEFI boots of NTFS and exFAT drives through the small FAT partition that
the boot tool puts at the end of such drives, with real QEMU.

  uefi_boot_test.py --case NAME --native-build DIR --firmware-dir DIR --work DIR

Each case makes an ISO image like a Windows install image: BOOTMGR (GRUB 2
started by a Windows boot sector, printing a marker) in the root, and as
efi/boot/bootx64.efi and bootia32.efi in lower case (or upper case, or none)
a loader of its own (file_marker_loader.c) that prints a marker it reads
from a file beside it through the firmware, as shim reads grubx64.efi. road.py's make_drive turns it into a
drive the way the copy operation does: the program's own three command
lines through the boot tool's Linux front
    bootice /device=disk.img /partitions /repartition /activate /usb-hdd /fstype=ntfs|exfat /quiet
    bootice /device=disk.img /mbr /install /type=nt60 /quiet
    bootice /device=disk.img /pbr /install /type=bootmgr /activate /quiet
and 7-Zip's extraction; the tree goes onto the volume with an ntfs-3g FUSE
mount (NTFS) or the folder-capable exFAT writer below. The drive must then
have partition 2 of type EF at its end, and boot:
  - with efi64.bin and efi32.bin: the firmware starts the boot tool's
    loader from partition 2, which connects its NTFS and exFAT driver to
    partition 1 and starts the image's own loader there; that one reads its
    marker file through the driver (the marker on the serial port);
  - with bios.bin: through the master boot code and the boot record into
    BOOTMGR (its marker);
  - with no EFI loader on partition 1: the boot tool's loader says so (OVMF
    shows the console on the screen and the serial port alike) and waits;
    Enter (sent through the QEMU monitor) takes it back to the firmware.

Every boot runs under TCG (see drive_boot_test.py).
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_test  # noqa: E402
import drive_boot_test  # noqa: E402
import pbr_boot_test  # noqa: E402
import road  # noqa: E402

Failure, log = boot_test.Failure, boot_test.log
SECTOR = 512
DISK_BYTES = 64 << 20
DEVICE_LINE = 'STARTED FROM '
# What the image's loader reads from the file beside it through the firmware.
FILE_MARKERS = {'X64': 'DROVELKIT MARKER FILE READ X64', 'IA32': 'DROVELKIT MARKER FILE READ IA32'}
MISSING_MESSAGE = 'This drive cannot start in UEFI mode'
# How long the message must stay: a loader that gave up would be back in
# the firmware, which with -no-reboot ends QEMU or boots something else.
MESSAGE_STAYS_SECONDS = 5

# name: (file system, firmware, EFI loaders in the image: 'lower', 'upper',
# 'crowded' (lower, after 120 more files in the folder: NTFS keeps its index in
# INDX blocks, exFAT's folder spans clusters), 'shim' (lower; x64: Debian's
# shim as bootx64.efi, which starts the test loader as grubx64.efi beside it,
# as Debian, Ubuntu and Fedora images do), None)
CASES = {
    'ntfs.efi64': ('ntfs', 'efi64', 'lower'),
    'ntfs.efi32': ('ntfs', 'efi32', 'lower'),
    'ntfs.bios': ('ntfs', 'bios', 'lower'),
    'ntfs.upper-case.efi64': ('ntfs', 'efi64', 'upper'),
    'ntfs.no-efi-loader.efi64': ('ntfs', 'efi64', None),
    'exfat.efi64': ('exfat', 'efi64', 'lower'),
    'exfat.efi32': ('exfat', 'efi32', 'lower'),
    'exfat.bios': ('exfat', 'bios', 'lower'),
    'exfat.no-efi-loader.efi32': ('exfat', 'efi32', None),
    'ntfs.crowded-folder.efi32': ('ntfs', 'efi32', 'crowded'),
    'exfat.crowded-folder.efi64': ('exfat', 'efi64', 'crowded'),
    'ntfs.shim.efi64': ('ntfs', 'efi64', 'shim'),
}
SHIM = '/usr/lib/shim/shimx64.efi.signed'


def build_iso(run_dir, efi_case):
    source = os.path.join(run_dir, 'iso_source')
    os.makedirs(source)
    loader_dir = os.path.join(run_dir, 'loader')
    os.makedirs(loader_dir)
    shutil.copyfile(pbr_boot_test.build_loader(loader_dir, False), os.path.join(source, 'BOOTMGR'))
    os.makedirs(os.path.join(source, 'sources'))
    with open(os.path.join(source, 'sources', 'readme.txt'), 'w') as f:
        f.write('Drovelkit UEFI test image\n')
    if efi_case:
        upper = efi_case == 'upper'
        efi_boot = os.path.join(source, 'EFI' if upper else 'efi', 'BOOT' if upper else 'boot')
        os.makedirs(efi_boot)
        for arch, name, marker_name in (('X64', 'bootx64.efi', 'marker64.txt'),
                                        ('IA32', 'bootia32.efi', 'marker32.txt')):
            # The loader opens its marker file in lower case: on an upper-case
            # tree the driver's names compare case-insensitively.
            boot_test.build_efi_program(arch, loader_dir, 'file_marker_loader.c',
                                        name.upper() if upper else name)
            shutil.copyfile(os.path.join(loader_dir, name.upper() if upper else name),
                            os.path.join(efi_boot, name.upper() if upper else name))
            if efi_case == 'shim' and arch == 'X64':
                os.rename(os.path.join(efi_boot, name), os.path.join(efi_boot, 'grubx64.efi'))
                shutil.copyfile(SHIM, os.path.join(efi_boot, name))
            with open(os.path.join(efi_boot, marker_name.upper() if upper else marker_name), 'w') as f:
                f.write(FILE_MARKERS[arch] + '\n')
        for i in range(120 if efi_case == 'crowded' else 0):
            with open(os.path.join(efi_boot, f'filler {i:03} with a longer name.txt'), 'w') as f:
                f.write('filler\n')
    iso = os.path.join(run_dir, 'image.iso')
    pbr_boot_test.run_tool(['xorriso', '-as', 'mkisofs', '-J', '-R', '-o', iso, source])
    return iso


# ----------------------------------------------------------- exFAT trees

def put_tree_exfat(disk, start, sectors, tree, fragment, work):
    """Puts the whole tree, folders too, onto the fresh exFAT volume:
    every folder and file contiguous (NoFatChain)."""
    part = road.partition_file(disk, start, sectors, work)
    with open(part, 'r+b') as f:
        ExfatWriter(f).put_folder(tree, None)
    pbr_boot_test.run_tool(['fsck.exfat', '-n', part])
    road.splice(part, disk, start)


class ExfatWriter:
    def __init__(self, f):
        self.f = f
        f.seek(0)
        boot = f.read(SECTOR)
        self.fat_offset, _, self.heap, self.cluster_count, self.root = \
            struct.unpack_from('<IIIII', boot, 80)
        self.cluster = SECTOR << boot[109]
        root = self.read(self.root, 1)
        bitmap_entry = next(root[i:i + 32] for i in range(0, len(root), 32) if root[i] == 0x81)
        self.bitmap_cluster, length = struct.unpack_from('<IQ', bitmap_entry, 20)
        self.bitmap = bytearray(self.read(self.bitmap_cluster, 1)[:length])

    def offset(self, cluster):
        return self.heap * SECTOR + (cluster - 2) * self.cluster

    def read(self, cluster, count):
        self.f.seek(self.offset(cluster))
        return self.f.read(count * self.cluster)

    def allocate(self, count):
        run = 0
        for n in range(2, self.cluster_count + 2):
            run = 0 if self.bitmap[(n - 2) // 8] >> ((n - 2) % 8) & 1 else run + 1
            if run == count:
                first = n - count + 1
                for m in range(first, n + 1):
                    self.bitmap[(m - 2) // 8] |= 1 << ((m - 2) % 8)
                self.f.seek(self.offset(self.bitmap_cluster))
                self.f.write(self.bitmap)
                return first
        raise Failure('the exFAT test volume is full')

    def put_folder(self, path, folder):
        """Writes the entries of path's children into folder (first cluster,
        cluster count), or into the root folder's first cluster."""
        names = sorted(os.listdir(path))
        entries = b''
        for name in names:
            source = os.path.join(path, name)
            if os.path.isdir(source):
                count = sum(2 + -(-len(n) // 15) for n in os.listdir(source))
                clusters = max(1, -(-count * 32 // self.cluster))
                first = self.allocate(clusters)
                self.f.seek(self.offset(first))
                self.f.write(bytes(clusters * self.cluster))
                self.put_folder(source, (first, clusters))
                entries += self.entry_set(name, 0x10, first, clusters * self.cluster)
            else:
                with open(source, 'rb') as src:
                    data = src.read()
                first = self.allocate(max(1, -(-len(data) // self.cluster))) if data else 0
                if data:
                    self.f.seek(self.offset(first))
                    self.f.write(data)
                entries += self.entry_set(name, 0x20, first, len(data))
        if folder is None:
            root = self.read(self.root, 1)
            slot = next(i for i in range(0, len(root), 32) if root[i] == 0)
            if slot + len(entries) > self.cluster:
                raise Failure('the root folder\'s first cluster cannot hold the tree\'s entries')
            self.f.seek(self.offset(self.root) + slot)
        else:
            self.f.seek(self.offset(folder[0]))
        self.f.write(entries)

    @staticmethod
    def entry_set(name, attributes, first, length):
        return pbr_boot_test.exfat_entry_set(name, attributes, 0x01 | 0x02,  # NoFatChain, contiguous
                                             first, length)


# ------------------------------------------------------------------ cases

def check_table(disk, fs, drive):
    with open(disk, 'rb') as f:
        mbr = f.read(SECTOR)
        size = os.fstat(f.fileno()).st_size // SECTOR
    one, two = mbr[446:462], mbr[462:478]
    efi_start, efi_sectors = struct.unpack_from('<II', two, 8)
    log(f'  partition 1: sectors {drive.start}..{drive.start + drive.sectors - 1}, '
        f'partition 2: type {two[4]:02X} flag {two[0]:02X} sectors {efi_start}..'
        f'{efi_start + efi_sectors - 1} of {size}')
    if one[0] != 0x80 or two[0] != 0 or two[4] != 0xEF:
        raise Failure('partition 1 must be the active one and partition 2 of type EF')
    if drive.start + drive.sectors != efi_start or efi_start + efi_sectors != size:
        raise Failure('partition 2 must follow partition 1 and end with the disk')
    for switch in (f'/fstype={fs}', '/mbr', '/pbr'):
        if not any(switch in command for command in drive.commands):
            raise Failure(f'the copy operation ran no boot tool command with {switch}')


def boot_message(args, run_dir):
    """Boots until the serial port shows the message, then checks that the
    machine stays with it. Returns the serial lines."""
    serial = os.path.join(run_dir, 'boot.serial.log')
    with boot_test.monitor_socket() as monitor_path:
        command = (['qemu-system-x86_64'] + args + ['-display', 'none', '-serial', f'file:{serial}',
                                                    '-no-reboot', '-accel', drive_boot_test.ACCEL,
                                                    '-monitor', f'unix:{monitor_path},server,nowait'])
        log('QEMU: ' + ' '.join(command))
        with open(os.path.join(run_dir, 'qemu.log'), 'wb') as err:
            process = subprocess.Popen(command, cwd=run_dir, stdout=err, stderr=err,
                                       start_new_session=True)
            try:
                start = time.time()
                lines = []
                while time.time() < start + boot_test.BOOT_SECONDS and process.poll() is None:
                    time.sleep(0.5)
                    lines = boot_test.serial_lines(serial)
                    if any(MISSING_MESSAGE in line for line in lines):
                        break
                seen = time.time() - start
                time.sleep(MESSAGE_STAYS_SECONDS)
                stayed = process.poll() is None
                # Enter: back in the firmware, whose boot manager says so.
                shown = len(boot_test.serial_lines(serial))
                back = False
                if stayed:
                    monitor = socket.socket(socket.AF_UNIX)
                    monitor.connect(monitor_path)
                    monitor.sendall(b'sendkey ret\n')
                    deadline = time.time() + 20
                    while not back and time.time() < deadline and process.poll() is None:
                        time.sleep(0.5)
                        back = any(line.startswith('BdsDxe:')
                                   for line in boot_test.serial_lines(serial)[shown:])
                    monitor.close()
            finally:
                process.kill()
                process.wait()
    lines = boot_test.serial_lines(serial)
    log(f'  message after {seen:.1f} s; serial port:\n    ' + '\n    '.join(lines[-8:]))
    if not any(MISSING_MESSAGE in line for line in lines):
        raise Failure(f'the serial port did not show "{MISSING_MESSAGE}"')
    if not stayed:
        raise Failure(f'QEMU ended within {MESSAGE_STAYS_SECONDS} s of the message: it did not stay')
    if not back:
        raise Failure('Enter did not bring the firmware back: ' + ' | '.join(lines[shown:][-3:]))
    return lines[:shown]


def run_case(case, opts):
    fs, firmware, efi_case = CASES[case]
    run_dir, firmware_dir = road.prepare_case(case, opts, firmware, ('fsck.exfat',))
    if efi_case == 'shim' and not os.path.isfile(SHIM):
        raise boot_test.Skip(f'{SHIM} is missing (scripts/setup.sh installs shim-signed)')
    iso = build_iso(run_dir, efi_case)
    disk = os.path.join(run_dir, 'disk.img')
    road.put_tree_exfat = put_tree_exfat  # with folders: efi/boot/
    drive = road.make_drive(fs, iso, disk, opts.native_build, run_dir, size=DISK_BYTES)
    check_table(disk, fs, drive)
    args = drive_boot_test.qemu_args(firmware_dir, firmware, disk)
    if firmware == 'bios':
        drive_boot_test.boot_serial(args, run_dir, [pbr_boot_test.MARKER])
    elif efi_case:
        marker = FILE_MARKERS['X64' if firmware == 'efi64' else 'IA32']
        lines = drive_boot_test.boot_serial(args, run_dir, [marker, DEVICE_LINE])
        device = next(line for line in lines if line.startswith(DEVICE_LINE))
        # The started loader's device is partition 1 of the same disk, where
        # its own files are, not the FAT partition it was started from.
        if '/HD(1,MBR,' not in device:
            raise Failure(f'the image\'s loader reported "{device}", not partition 1')
    else:
        lines = boot_message(args, run_dir)
        if lines[-1] != 'Press Enter to return to the firmware.':
            raise Failure(f'the last line is "{lines[-1]}", not the wait for Enter')
    os.remove(disk)
    log(f'PASSED: {case}')


def main():
    return road.case_main(__doc__, CASES, run_case)

if __name__ == '__main__':
    sys.exit(main())
