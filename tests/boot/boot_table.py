#!/usr/bin/env python3
"""Boot tests of drives as one table: each row (ROWS) names a file system,
the loader type the boot record is installed for, what is on the drive, the
firmware and the text that must appear on the serial port or the screen.
Real QEMU runs every row, under TCG: these boots switch between real and
protected mode so often that the nested KVM of test machines makes them 20
to 60 times slower (GRUB: 38 s against 0.6 s).

  boot_table.py list
      Prints the row names (CMake makes one ctest of each: boot.NAME).
  boot_table.py media --work DIR
      Builds what the rows copy onto their drives into DIR/media, once.
  boot_table.py run --work DIR --row NAME --front PATH --native-build DIR
                    --firmware-dir DIR
      Makes the row's drive and boots it.

What is on the drive (the row's `drive`):
  LOADER[/PLACEMENT]  the boot tool's Linux front prepares the disk with the
      three command lines the copy operation runs, in its order:
          bootice /device=disk.img /partitions /repartition /activate /usb-hdd /fstype=FS /quiet
          bootice /device=disk.img /mbr /install /type=nt60 /quiet
          bootice /device=disk.img /pbr /install /type=bootmgr|grub4dos /activate /quiet
      (on NTFS and exFAT the last one must keep the boot region's fields,
      the backup and what ntfsfix / fsck.exfat accept), then the loader goes
      into the root folder as BOOTMGR or GRLDR. LOADER is one of
        grub        g2hdr.img + a GRUB core image that prints MARKER
        grub-large  the same with a memdisk of random bytes whose last file
                    GRUB prints (TAIL_MARKER): it appears only if the whole
                    file was loaded
        handoff     handoff_loader.asm with 400 KiB of data: it checks the
                    hand-off and a checksum of the file
        resident    a loader small enough to live in its NTFS MFT record
        oversize    600 KiB: more than fits below the BIOS data area
        none        no loader (another file, NOTBOOT.BIN, is there)
        hybrid-tree the file tree of a hybrid BIOS/UEFI image
      and PLACEMENT one of plain (default), fragmented (FAT32: in the holes
      deleted files left, its entry beyond the root's first cluster; NTFS:
      several data runs; exFAT: every other cluster on a FAT chain), crowded
      (an NTFS root whose index needs index records), attribute-list (an
      NTFS root so crowded with long names that ntfs-3g moves its index root
      into an extension record) or sparse (NTFS: the loader's zero block is
      a hole, a sparse run).
  iso:KIND[+large]  the program's own copy operation (the native build's
      copy_road, with the real boot tool front and 7-Zip) makes the drive
      from an ISO image: bootmgr (BOOTMGR in the root), grldr (grldr and
      menu.lst), grldr-in-boot (both only in boot/: the grldr move must still
      give a drive that boots), hybrid (grub-mkrescue's BIOS/UEFI image),
      windows, windows-upper, windows-no-efi (BOOTMGR and EFI loaders in
      efi/boot, in EFI/BOOT, or none; file_marker_loader.c, which prints a
      marker it reads from a file beside it through the firmware),
      windows-crowded (after 120 more files in efi/boot), windows-shim
      (Debian's shim as bootx64.efi, the loader as grubx64.efi beside it),
      signed (Microsoft-signed shim as EFI/BOOT/BOOTX64.EFI, Debian's signed
      GRUB beside it, which finds /.disk/info and prints SIGNED_MARKER from
      /boot/grub/grub.cfg), unsigned (the same with shim unsigned).
      +large: the large GRUB loader.
  image   a prepared disk image: the row's option `disk`, a path or a
      function (run folder, media folder) -> path.

Options of a row: size (disk bytes), reformat (a formatter command line run
on partition 1 before the boot record), fragment (road: the root file put
first, fragmented; NTFS only), read_error (a partition sector whose first
read fails once with EIO, through blkdebug), machine (further QEMU
options), drive_if (the disk's interface, ide unless given), then ((stay,
key, text): the machine must still run `stay` seconds after the expected
text, and after the key (sent through the monitor) the serial port must
show text), long_path (the run folder lies 150 characters deep),
table_slot (partition 1's entry moves to this slot of the table),
firmware_fat (partition 1 also looks like an empty FAT12 volume to the
firmware), other_ntfs_disk (a second disk with an NTFS volume labelled
OTHER_LABEL),
bios_shim ({'hide_lba': True, 'take_kib': N}: bios_shim.asm becomes the
master boot sector and plays a BIOS without disk extensions or with less
conventional memory; the real one moves to sector 1).

Expected texts: 'screen:TEXT' is looked for on the VGA text screen (read
through the QEMU monitor), any other on the serial port; '{handoff}' stands
for the line that handoff_loader.asm prints when the hand-off is right.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import collections
import fcntl
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_test  # noqa: E402
from boot_test import Failure, Skip, log  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SECTOR = 512
G2HDR = '/usr/lib/grub/i386-pc/g2hdr.img'
MARKER = 'DROVELKIT PBR LOADER OK'
TAIL_MARKER = 'DROVELKIT PBR LOADER TAIL OK'
EFI_MARKERS = {'efi64': 'DROVELKIT GRUB EFI OK X64', 'efi32': 'DROVELKIT GRUB EFI OK IA32'}
DEVICE_LINE = 'STARTED FROM '
# What the image's own loader on NTFS and exFAT drives (file_marker_loader.c)
# prints: the marker it reads from the file beside it through the firmware,
# and the partition it was started from.
FILE_MARKERS = {'efi64': 'DROVELKIT MARKER FILE READ X64', 'efi32': 'DROVELKIT MARKER FILE READ IA32'}
FROM_PARTITION_1 = 'STARTED FROM PARTITION 1'
# The marker loader's use of the file protocol as loaders use it, on a
# big.bin of BIG_FILE_BYTES among its files.
PROTOCOL_OK = 'PROTOCOL CHECKS OK'
# After connecting every controller, the marker loader looks for a file
# system labelled OTHER_LABEL: the boot tool's driver must not have bound to
# the second disk's NTFS volume that carries it.
OTHER_LABEL = 'OTHERDISK'
ONLY_PARTITION_1 = 'ONLY PARTITION 1 BOUND'
BIG_FILE_BYTES = (6 << 20) + 12345
SHIM = '/usr/lib/shim/shimx64.efi.signed'
UNSIGNED_SHIM = '/usr/lib/shim/shimx64.efi'
SIGNED_GRUB = '/usr/lib/grub/x86_64-efi-signed/gcdx64.efi.signed'
SIGNED_MARKER = 'DROVELKIT SIGNED GRUB STARTED'
# Firmware 'secure': OVMF with Microsoft's keys enrolled and Secure Boot on
# (q35 with SMM, the variables in a copy of the enrolled store).
SECURE_CODE = '/usr/share/OVMF/OVMF_CODE_4M.ms.fd'
SECURE_VARS = '/usr/share/OVMF/OVMF_VARS_4M.ms.fd'
NO_EFI_MESSAGE = 'This drive cannot start in UEFI mode'
# Many clusters; grub-mkimage refuses core images above 0x78000 bytes.
LARGE_FILLER_BYTES = 360 * 1024
HANDOFF_BYTES = 400 * 1024
HOLE_AT, HOLE_BYTES = 128 * 1024, 64 * 1024
PARTITION_TYPES = {'fat32': 0x0C, 'ntfs': 0x07, 'exfat': 0x07}
# FAT32 needs room for 4 KiB clusters, so a loader spans many clusters and
# the FAT and root folder are several sectors long; NTFS and exFAT are
# small. Partition 1's length is read from the table: on NTFS and exFAT
# drives the boot tool leaves the disk's last MiBs to the UEFI partition.
DISK_BYTES = {'fat32': 300 << 20, 'ntfs': 33 << 20, 'exfat': 33 << 20}
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK='1')

Row = collections.namedtuple('Row', 'fs loader drive firmware expect options')


def row(fs, loader, drive, firmware, expect, **options):
    return Row(fs, loader, drive, firmware, expect, options)


GRUB = [MARKER]
GRUB_LARGE = [MARKER, TAIL_MARKER]
WAIT_FOR_ENTER = (5, 'ret', 'BdsDxe:')

# name: (file system, /type=, what is on the drive, firmware, expected text, options)
ROWS = {
    # FAT32 drives prepared by the front
    'fat32.grub-bootmgr': row('fat32', 'bootmgr', 'grub', 'bios', GRUB),
    'fat32.grub-grldr': row('fat32', 'grub4dos', 'grub', 'bios', GRUB),
    'fat32.handoff': row('fat32', 'bootmgr', 'handoff/fragmented', 'bios', ['{handoff}']),
    # 32 KiB clusters and a FAT of 16 MiB; the root's first cluster holds the entry.
    'fat32.handoff-64g': row('fat32', 'bootmgr', 'handoff/fragmented', 'bios', ['{handoff}'],
                             size=64 << 30),
    'fat32.missing': row('fat32', 'bootmgr', 'none', 'bios', ['screen:BOOTMGR is missing']),
    # The monitor socket must not depend on the checkout's depth.
    'fat32.missing.long-path': row('fat32', 'bootmgr', 'none', 'bios',
                                   ['screen:BOOTMGR is missing'], long_path=True),
    'fat32.uefi-efi64': row('fat32', 'bootmgr', 'hybrid-tree', 'efi64', [EFI_MARKERS['efi64']]),
    'fat32.uefi-efi32': row('fat32', 'bootmgr', 'hybrid-tree', 'efi32', [EFI_MARKERS['efi32']]),

    # NTFS and exFAT drives prepared by the front
    'ntfs.bootmgr': row('ntfs', 'bootmgr', 'grub', 'bios', GRUB),
    'ntfs.grldr.crowded-root': row('ntfs', 'grub4dos', 'grub/crowded', 'bios', GRUB),
    'ntfs.bootmgr.large-fragmented': row('ntfs', 'bootmgr', 'grub-large/fragmented', 'bios',
                                         GRUB_LARGE),
    'ntfs.grldr.handoff-fragmented': row('ntfs', 'grub4dos', 'handoff/fragmented', 'bios',
                                         ['{handoff}']),
    'ntfs.bootmgr.resident': row('ntfs', 'bootmgr', 'resident', 'bios', [MARKER]),
    'ntfs.grldr.missing': row('ntfs', 'grub4dos', 'none', 'bios', ['screen:GRLDR is missing']),
    # 64 KiB clusters hold several index records each (index VCNs then
    # count 512-byte blocks).
    'ntfs.bootmgr.64k-clusters': row('ntfs', 'bootmgr', 'handoff/crowded', 'bios', ['{handoff}'],
                                     reformat=['mkntfs', '-F', '-Q', '-q', '-p', '{start}',
                                               '-c', '65536']),
    'ntfs.grldr.too-large': row('ntfs', 'grub4dos', 'oversize', 'bios',
                                ['screen:Loader too large']),
    'exfat.bootmgr': row('exfat', 'bootmgr', 'grub', 'bios', GRUB),
    'exfat.grldr': row('exfat', 'grub4dos', 'grub', 'bios', GRUB),
    'exfat.grldr.large-contiguous': row('exfat', 'grub4dos', 'grub-large', 'bios', GRUB_LARGE),
    'exfat.bootmgr.large-fragmented': row('exfat', 'bootmgr', 'grub-large/fragmented', 'bios',
                                          GRUB_LARGE),
    'exfat.bootmgr.handoff-fragmented': row('exfat', 'bootmgr', 'handoff/fragmented', 'bios',
                                            ['{handoff}']),
    'exfat.bootmgr.missing': row('exfat', 'bootmgr', 'none', 'bios', ['screen:BOOTMGR is missing']),
    # 512-byte clusters spread the FAT chain over many FAT sectors.
    'exfat.grldr.512-byte-clusters': row('exfat', 'grub4dos', 'handoff/fragmented', 'bios',
                                         ['{handoff}'], reformat=['mkfs.exfat', '-c', '512']),
    'exfat.bootmgr.too-large': row('exfat', 'bootmgr', 'oversize', 'bios',
                                   ['screen:Loader too large']),

    # Boot codes on BIOSes and drives that are less kind than QEMU's. The
    # boot code's first read of its own sectors fails once (EIO), as some USB
    # BIOSes do after start-up: a disk reset and another try must follow.
    'fat32.read-error': row('fat32', 'bootmgr', 'grub', 'bios', GRUB, read_error=12),
    'ntfs.read-error': row('ntfs', 'bootmgr', 'grub', 'bios', GRUB, read_error=1),
    'exfat.read-error': row('exfat', 'bootmgr', 'grub', 'bios', GRUB, read_error=1),
    # DH names the partition for GRUB's g2hdr and GRUB4DOS: partition 1's
    # entry in the table's second slot.
    'fat32.handoff.second-slot': row('fat32', 'bootmgr', 'handoff', 'bios', ['{handoff}'],
                                     table_slot=1),
    'ntfs.handoff.second-slot': row('ntfs', 'bootmgr', 'handoff', 'bios', ['{handoff}'],
                                    table_slot=1),
    'exfat.handoff.second-slot': row('exfat', 'bootmgr', 'handoff', 'bios', ['{handoff}'],
                                     table_slot=1),
    # ntfs-3g moves a crowded root's index root into an extension record,
    # named by the root's attribute list.
    'ntfs.bootmgr.attribute-list': row('ntfs', 'bootmgr', 'grub/attribute-list', 'bios', GRUB),
    # A loader copied with a hole (a 64 KiB zero block as a sparse run).
    'ntfs.bootmgr.handoff-sparse': row('ntfs', 'bootmgr', 'handoff/sparse', 'bios', ['{handoff}']),
    # A BIOS whose extended data area starts at 520 KiB: the 400 KiB loader
    # would overwrite it.
    'fat32.handoff.low-memory': row('fat32', 'bootmgr', 'handoff', 'bios',
                                    ['screen:BOOTMGR is too large'], bios_shim={'take_kib': 119}),
    'ntfs.handoff.low-memory': row('ntfs', 'bootmgr', 'handoff', 'bios',
                                   ['screen:Loader too large'], bios_shim={'take_kib': 119}),
    # A BIOS without the disk extensions: CHS reads where the sectors are
    # within reach (partition 1 at 1 MiB), else a message that says so
    # (one head of one sector: 1024 sectors of reach).
    'fat32.no-lba': row('fat32', 'bootmgr', 'grub', 'bios', GRUB, bios_shim={'hide_lba': True}),
    'ntfs.no-lba': row('ntfs', 'bootmgr', 'grub', 'bios', GRUB, bios_shim={'hide_lba': True}),
    'exfat.no-lba': row('exfat', 'grub4dos', 'grub', 'bios', GRUB, bios_shim={'hide_lba': True}),
    'exfat.no-lba.beyond-chs': row('exfat', 'bootmgr', 'grub', 'bios',
                                   ['screen:BIOS lacks LBA reads'], bios_shim={'hide_lba': True},
                                   drive_if='none,id=disk',
                                   machine=['-device', 'ide-hd,drive=disk,cyls=4096,heads=1,secs=1,'
                                                       'bios-chs-trans=none']),

    # The whole road: drives made from ISO images by the copy operation
    'road.fat32.bootmgr.large': row('fat32', 'bootmgr', 'iso:bootmgr+large', 'bios', GRUB_LARGE),
    'road.fat32.grldr': row('fat32', 'grub4dos', 'iso:grldr', 'bios', GRUB),
    'road.fat32.grldr-in-boot-folder': row('fat32', 'grub4dos', 'iso:grldr-in-boot', 'bios', GRUB),
    'road.fat32.hybrid.efi64': row('fat32', 'bootmgr', 'iso:hybrid', 'efi64',
                                   [EFI_MARKERS['efi64']]),
    'road.fat32.hybrid.efi32': row('fat32', 'bootmgr', 'iso:hybrid', 'efi32',
                                   [EFI_MARKERS['efi32']]),
    'road.ntfs.bootmgr.large-fragmented': row('ntfs', 'bootmgr', 'iso:bootmgr+large', 'bios',
                                              GRUB_LARGE, fragment='BOOTMGR'),
    'road.ntfs.grldr': row('ntfs', 'grub4dos', 'iso:grldr', 'bios', GRUB),
    'road.exfat.bootmgr': row('exfat', 'bootmgr', 'iso:bootmgr', 'bios', GRUB),
    'road.exfat.grldr.large': row('exfat', 'grub4dos', 'iso:grldr+large', 'bios', GRUB_LARGE),

    # NTFS and exFAT drives boot on UEFI through the boot tool's small FAT
    # partition, whose loader connects the boot tool's driver to partition 1
    # and starts the image's own loader there; that one reads its marker file
    # through the firmware. Without an EFI loader the boot tool's loader says
    # so, stays, and Enter takes it back to the firmware.
    'uefi.ntfs.efi64': row('ntfs', 'bootmgr', 'iso:windows', 'efi64',
                           [FILE_MARKERS['efi64'], FROM_PARTITION_1, PROTOCOL_OK],
                           size=64 << 20),
    'uefi.ntfs.efi32': row('ntfs', 'bootmgr', 'iso:windows', 'efi32',
                           [FILE_MARKERS['efi32'], FROM_PARTITION_1, PROTOCOL_OK],
                           size=64 << 20),
    'uefi.ntfs.bios': row('ntfs', 'bootmgr', 'iso:windows', 'bios', GRUB, size=64 << 20),
    'uefi.ntfs.upper-case.efi64': row('ntfs', 'bootmgr', 'iso:windows-upper', 'efi64',
                                      [FILE_MARKERS['efi64'], FROM_PARTITION_1],
                                      size=64 << 20),
    'uefi.ntfs.no-efi-loader.efi64': row('ntfs', 'bootmgr', 'iso:windows-no-efi', 'efi64',
                                         [NO_EFI_MESSAGE, 'Press Enter to return to the firmware.'],
                                         size=64 << 20, then=WAIT_FOR_ENTER),
    'uefi.exfat.efi64': row('exfat', 'bootmgr', 'iso:windows', 'efi64',
                            [FILE_MARKERS['efi64'], FROM_PARTITION_1, PROTOCOL_OK],
                            size=64 << 20),
    'uefi.exfat.efi32': row('exfat', 'bootmgr', 'iso:windows', 'efi32',
                            [FILE_MARKERS['efi32'], FROM_PARTITION_1, PROTOCOL_OK],
                            size=64 << 20),
    'uefi.exfat.bios': row('exfat', 'bootmgr', 'iso:windows', 'bios', GRUB, size=64 << 20),
    'uefi.exfat.no-efi-loader.efi32': row('exfat', 'bootmgr', 'iso:windows-no-efi', 'efi32',
                                          [NO_EFI_MESSAGE, 'Press Enter to return to the firmware.'],
                                          size=64 << 20, then=WAIT_FOR_ENTER),
    # The firmware reads partition 1 itself (as FAT12, see disguise_as_fat12)
    # and shows no loader there: the boot tool's loader stops that driver,
    # connects its own and starts the loader it finds through it.
    'uefi.ntfs.firmware-driver.efi64': row('ntfs', 'bootmgr', 'iso:windows', 'efi64',
                                           [FILE_MARKERS['efi64'], FROM_PARTITION_1],
                                           size=64 << 20, firmware_fat=True),
    # A second disk holds an NTFS volume: connecting every controller after
    # the boot tool's loader ran leaves it without a file system.
    'uefi.ntfs.other-disk.efi64': row('ntfs', 'bootmgr', 'iso:windows', 'efi64',
                                      [FILE_MARKERS['efi64'], ONLY_PARTITION_1],
                                      size=64 << 20, other_ntfs_disk=True),
    # The loader and its marker after 120 other files of their folder: NTFS
    # keeps the folder's index in INDX blocks, exFAT's folder spans clusters.
    'uefi.ntfs.crowded-folder.efi32': row('ntfs', 'bootmgr', 'iso:windows-crowded', 'efi32',
                                          [FILE_MARKERS['efi32'], FROM_PARTITION_1], size=64 << 20),
    'uefi.exfat.crowded-folder.efi64': row('exfat', 'bootmgr', 'iso:windows-crowded', 'efi64',
                                           [FILE_MARKERS['efi64'], FROM_PARTITION_1], size=64 << 20),
    # Debian's shim as bootx64.efi starts grubx64.efi beside it (here the
    # marker loader), as Debian, Ubuntu and Fedora images do.
    'uefi.ntfs.shim.efi64': row('ntfs', 'bootmgr', 'iso:windows-shim', 'efi64',
                                [FILE_MARKERS['efi64'], FROM_PARTITION_1], size=64 << 20),
    # A FAT32 drive boots the image's Microsoft-signed loaders with Secure
    # Boot on; the firmware refuses an unsigned one (proof that it was on).
    'secure-boot.fat32.signed': row('fat32', 'bootmgr', 'iso:signed', 'secure', [SIGNED_MARKER]),
    'secure-boot.fat32.unsigned': row('fat32', 'bootmgr', 'iso:unsigned', 'secure', ['Access Denied']),
}


def run_tool(args, **kwargs):
    done = subprocess.run(args, capture_output=True, timeout=300, **kwargs)
    if done.returncode != 0:
        raise Failure(f'{" ".join(args)} failed ({done.returncode}):\n'
                      f'{done.stdout.decode(errors="replace")}{done.stderr.decode(errors="replace")}')
    return done.stdout.decode(errors='replace')


# ---------------------------------------------------------------- media

MEDIA_TOOLS = ('nasm', 'grub-mkimage', 'grub-mkrescue', 'xorriso', 'mcopy', 'mshowfat',
               'mkntfs', 'ntfscp', 'ntfsinfo', 'ntfstruncate', 'ntfsfix', 'ntfs-3g',
               'mkfs.exfat', 'fsck.exfat', '7zz', 'qemu-system-x86_64')
MEDIA_SOURCES = ('boot_table.py', 'handoff_loader.asm', 'serial.inc', 'file_marker_loader.c')


def grub_core(out, target, modules, lines, folder, extra=()):
    config = os.path.join(folder, os.path.basename(out) + '.cfg')
    with open(config, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    run_tool(['grub-mkimage', '-O', target, '-o', out, '-c', config,
              '-p', '(memdisk)' if extra else '/'] + list(extra) + modules)


def build_grub_loader(media, large):
    """g2hdr.img + a GRUB core image that prints the marker(s) and powers off."""
    lines = ['serial --unit=0 --speed=115200', 'terminal_output serial console', f'echo {MARKER}']
    modules = ['serial', 'terminal', 'echo', 'halt']
    extra = []
    if large:
        # Random bytes do not compress: the core image stays as large as the
        # memdisk, and the text file after them is the file's last part.
        memdisk = os.path.join(media, 'memdisk.tar')
        filler = os.path.join(media, 'filler.bin')
        tail = os.path.join(media, 'tail.txt')
        with open(filler, 'wb') as f:
            f.write(hashlib.shake_256(b'drovelkit pbr filler').digest(LARGE_FILLER_BYTES))
        with open(tail, 'w') as f:
            f.write(TAIL_MARKER + '\n')
        with tarfile.open(memdisk, 'w', format=tarfile.USTAR_FORMAT) as tar:
            tar.add(filler, 'filler.bin')
            tar.add(tail, 'tail.txt')
        lines.append('cat (memdisk)/tail.txt')
        modules += ['memdisk', 'tar', 'cat']
        extra = ['-m', memdisk]
    lines.append('halt')
    core = os.path.join(media, 'core.img')
    grub_core(core, 'i386-pc', modules, lines, media, extra)
    path = os.path.join(media, 'grub-large.bin' if large else 'grub.bin')
    with open(path, 'wb') as out:
        for part in (G2HDR, core):
            with open(part, 'rb') as f:
                out.write(f.read())
    size = os.path.getsize(path)
    if large and not 0x40000 < size <= 0x7F000:
        raise Failure(f'the large loader has {size} bytes; it must span many clusters and '
                      'stay below the 0x7F000-byte load limit')


RESIDENT_LOADER = """bits 16
%include "serial.inc"
        mov ax, cs
        mov ds, ax
        mov si, text
        call SerialText
        PowerOff
        SerialRoutines
text:   db '""" + MARKER + """', 13, 10, 0
"""


def build_media(work):
    media = os.path.join(work, 'media')
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, 'media.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        digest = hashlib.sha256()
        for name in MEDIA_SOURCES:
            with open(os.path.join(HERE, name), 'rb') as f:
                digest.update(f.read())
        stamp = os.path.join(media, 'stamp')
        if os.path.exists(stamp) and open(stamp).read() == digest.hexdigest():
            return media
        missing = [t for t in MEDIA_TOOLS if not shutil.which(t)]
        missing += [p for p in (G2HDR, '/usr/lib/grub/x86_64-efi', '/usr/lib/grub/i386-efi')
                    if not os.path.exists(p)]
        if missing:
            raise Skip('missing: ' + ', '.join(missing) + ' (scripts/setup.sh installs them)')
        shutil.rmtree(media, ignore_errors=True)
        os.makedirs(media)
        build_grub_loader(media, False)
        build_grub_loader(media, True)
        run_tool(['nasm', '-f', 'bin', '-I', HERE + '/', '-o', os.path.join(media, 'handoff.bin'),
                  os.path.join(HERE, 'handoff_loader.asm')])
        with open(os.path.join(media, 'resident.asm'), 'w') as f:
            f.write(RESIDENT_LOADER)
        run_tool(['nasm', '-f', 'bin', '-I', HERE + '/', '-o', os.path.join(media, 'resident.bin'),
                  os.path.join(media, 'resident.asm')])
        with open(os.path.join(media, 'oversize.bin'), 'wb') as f:
            f.write(bytes(600 * 1024))
        with open(os.path.join(media, 'none.bin'), 'wb') as f:
            f.write(b'not a loader\n')
        # EFI loaders that print a marker and the device they were started
        # from ($cmdpath): partition 1, where the image's own files are.
        efi = os.path.join(media, 'efi')
        os.makedirs(efi)
        for firmware, target, name in (('efi64', 'x86_64-efi', 'bootx64.efi'),
                                       ('efi32', 'i386-efi', 'bootia32.efi')):
            grub_core(os.path.join(efi, name), target, ['echo', 'halt', 'part_msdos'],
                      [f'echo {EFI_MARKERS[firmware]}', f'echo {DEVICE_LINE}$cmdpath', 'halt'],
                      media)
        # The image's own loaders on NTFS and exFAT drives: they read a
        # marker file beside them through the firmware (file_marker_loader.c).
        os.makedirs(os.path.join(media, 'efi_file'))
        for arch, name in (('X64', 'bootx64.efi'), ('IA32', 'bootia32.efi')):
            boot_test.build_efi_program(arch, os.path.join(media, 'efi_file'), 'file_marker_loader.c', name)
        # A hybrid BIOS/UEFI image that carries them as install images do,
        # and its tree as extracting it gives it.
        source = os.path.join(media, 'hybrid_source')
        os.makedirs(os.path.join(source, 'boot', 'grub'))
        with open(os.path.join(source, 'boot', 'grub', 'grub.cfg'), 'w') as f:
            f.write('echo Drovelkit hybrid test image\n')
        shutil.copytree(efi, os.path.join(source, 'efi', 'boot'))
        tmp = os.path.join(work, 'tmp')
        os.makedirs(tmp, exist_ok=True)
        iso = os.path.join(media, 'hybrid.iso')
        run_tool(['grub-mkrescue', '-o', iso, source], env=dict(os.environ, TMPDIR=tmp))
        tree = os.path.join(media, 'hybrid_tree')
        run_tool(['xorriso', '-osirrox', 'on', '-indev', iso, '-extract', '/', tree])
        run_tool(['chmod', '-R', 'u+w', tree])
        with open(stamp, 'w') as f:
            f.write(digest.hexdigest())
        log(f'media built in {media}')
    return media


def handoff_file(media, path, fs, start, index, hole):
    """The hand-off test loader followed by data; the header gets the
    length, the data's checksum, the partition start and the index DH must
    hold. hole: a 64 KiB block of zeros at 128 KiB (a sparse run on NTFS).
    Returns the line the loader prints when all is right."""
    with open(os.path.join(media, 'handoff.bin'), 'rb') as f:
        program = bytearray(f.read())
    data = bytearray(hashlib.shake_256(b'drovelkit handoff %d' % start)
                     .digest(HANDOFF_BYTES - len(program)))
    if hole:
        data[HOLE_AT - len(program):HOLE_AT - len(program) + HOLE_BYTES] = bytes(HOLE_BYTES)
    checksum = 0x811C9DC5
    for (word,) in struct.iter_unpack('<I', data):
        checksum = ((checksum ^ word) * 0x01000193) & 0xFFFFFFFF
    struct.pack_into('<4sIIIB', program, 4, b'DKHL', HANDOFF_BYTES, checksum, start, index)
    with open(path, 'wb') as f:
        f.write(program + data)
    name = {'fat32': 'FAT32', 'ntfs': 'NTFS', 'exfat': 'EXFA'}[fs]
    return f'HANDOFF OK {name} CS:IP=2000:0000 DL=80 DH={index:02X} HIDDEN={start:08X} SUM={checksum:08X}'


# ------------------------------------------------------------- the disk

def front(path, disk, *switches):
    command = [path, f'/device={disk}'] + list(switches) + ['/quiet']
    done = subprocess.run(command, capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
    log(f'$ {" ".join(command)}: exit {done.returncode} '
        f'{(done.stdout + done.stderr).decode(errors="replace").strip()}')
    if done.returncode != 0:
        raise Failure(f'the boot tool failed: {" ".join(command)}')


def read_sectors(path, first, count):
    with open(path, 'rb') as f:
        f.seek(first * SECTOR)
        return f.read(count * SECTOR)


def partition_one(disk, fs):
    """(start, sectors) of partition 1, which must be active with fs's type."""
    table = read_sectors(disk, 0, 1)[446:462]
    start, sectors = struct.unpack_from('<II', table, 8)
    if table[0] != 0x80 or table[4] != PARTITION_TYPES[fs] or start == 0:
        raise Failure(f'partition 1 is not active with type {PARTITION_TYPES[fs]:02X}: '
                      f'flag {table[0]:02X} type {table[4]:02X} start {start}')
    return start, sectors


def extract_partition(disk, start, sectors, run_dir):
    part = os.path.join(run_dir, 'partition.img')
    with open(disk, 'rb') as src, open(part, 'wb') as out:
        src.seek(start * SECTOR)
        out.write(src.read(sectors * SECTOR))
    return part


def splice_partition(part, disk, start):
    with open(part, 'rb') as src, open(disk, 'r+b') as out:
        out.seek(start * SECTOR)
        shutil.copyfileobj(src, out)
    os.remove(part)


def diff_offsets(a, b, base):
    return ', '.join(f'byte {base + i}' for i in range(len(a)) if a[i] != b[i])


def boot_region(disk, fs, start):
    """NTFS: the 16 sectors of $Boot and the backup boot sector; exFAT: the
    24 sectors of the main and backup boot regions."""
    if fs == 'ntfs':
        total = struct.unpack_from('<Q', read_sectors(disk, start, 1), 0x28)[0]
        return [read_sectors(disk, start, 16), read_sectors(disk, start + total, 1)]
    return [read_sectors(disk, start, 24)]


def exfat_checksum(region):
    total = 0
    for i, byte in enumerate(region[:11 * SECTOR]):
        if i in (106, 107, 112):
            continue
        total = (((total & 1) << 31) | (total >> 1)) + byte & 0xFFFFFFFF
    return total


def check_boot_region(fs, before, after, part):
    """The boot record kept every field of the boot region, the backup is in
    step and the file system's checker accepts the volume."""
    old, new = before[0], after[0]
    fields = (3, 84) if fs == 'ntfs' else (3, 120)
    if new[fields[0]:fields[1]] != old[fields[0]:fields[1]]:
        raise Failure(f'the {fs} boot sector fields changed: ' +
                      diff_offsets(old[fields[0]:fields[1]], new[fields[0]:fields[1]], fields[0]))
    if new[510:512] != b'\x55\xaa':
        raise Failure(f'the {fs} boot sector lost its signature')
    if fs == 'ntfs':
        if after[1] != new[:SECTOR]:
            raise Failure('the NTFS backup boot sector is not the new boot sector')
        run_tool(['ntfsfix', '-n', part])
        return
    for i in range(1, 9):
        if new[i * SECTOR + 508:(i + 1) * SECTOR] != b'\x00\x00\x55\xaa':
            raise Failure(f'extended boot sector {i} has no signature')
    if new[9 * SECTOR:11 * SECTOR] != old[9 * SECTOR:11 * SECTOR]:
        raise Failure('the OEM parameters or the reserved sector changed')
    checksum = struct.pack('<I', exfat_checksum(new[:12 * SECTOR])) * (SECTOR // 4)
    if new[11 * SECTOR:12 * SECTOR] != checksum:
        raise Failure('the exFAT boot checksum is wrong')
    if new[12 * SECTOR:] != new[:12 * SECTOR]:
        raise Failure('the exFAT backup boot region differs from the main region')
    run_tool(['fsck.exfat', '-n', part])


def reformat(disk, fs, start, sectors, command, run_dir):
    """Formats partition 1 again with a cluster size the front's default
    does not give; exFAT then gets its PartitionOffset as the front sets it."""
    part = extract_partition(disk, start, sectors, run_dir)
    command = [word.replace('{start}', str(start)) for word in command]
    log('$ ' + ' '.join(command))
    run_tool(command + [part])
    if fs == 'exfat':
        with open(part, 'r+b') as f:
            region = bytearray(f.read(12 * SECTOR))
            region[64:72] = struct.pack('<Q', start)
            region[11 * SECTOR:] = struct.pack('<I', exfat_checksum(region)) * (SECTOR // 4)
            f.seek(0)
            f.write(region + region)
    splice_partition(part, disk, start)


def front_drive(front_path, disk, fs, loader, options, run_dir):
    """The three command lines of the copy operation; returns (start, sectors)."""
    front(front_path, disk, '/partitions', '/repartition', '/activate', '/usb-hdd', f'/fstype={fs}')
    start, sectors = partition_one(disk, fs)
    if 'reformat' in options:
        reformat(disk, fs, start, sectors, options['reformat'], run_dir)
    front(front_path, disk, '/mbr', '/install', '/type=nt60')
    before = boot_region(disk, fs, start) if fs != 'fat32' else None
    front(front_path, disk, '/pbr', '/install', f'/type={loader}', '/activate')
    if before:
        part = extract_partition(disk, start, sectors, run_dir)
        check_boot_region(fs, before, boot_region(disk, fs, start), part)
        os.remove(part)
        log(f'{fs} boot region: fields kept, backup in step, the checker accepts the volume')
    return start, sectors


# ---------------------------------------------------------- FAT32 (mtools)

def mtools(tool, disk, start, *args):
    done = subprocess.run([tool, '-i', f'{disk}@@{start * SECTOR}'] + list(args),
                          capture_output=True, timeout=300, env=MTOOLS_ENV)
    if done.returncode != 0:
        raise Failure(f'{tool} {" ".join(args)} failed: {done.stderr.decode(errors="replace")}')
    return done.stdout.decode(errors='replace')


def fat32_fragmented(disk, start, source, name, run_dir):
    """Copies source as name into the holes that deleted files left, with
    its directory entry after 160 others (beyond the root folder's first
    cluster when clusters are 4 KiB)."""
    holes = os.path.join(run_dir, 'fill')
    os.makedirs(holes)
    kept, dropped, empty = [], [], []
    for i in range(80):
        for group, file_name in ((kept, f'KEEP{i:03}.BIN'), (dropped, f'DROP{i:03}.BIN'),
                                 (empty, f'EMPTY{i:03}.BIN')):
            path = os.path.join(holes, file_name)
            group.append(path)
            with open(path, 'wb') as f:
                f.write(b'' if group is empty else bytes([i]) * 4096)
    mtools('mcopy', disk, start, *[p for pair in zip(kept, dropped) for p in pair], '::/')
    mtools('mdel', disk, start, *['::/' + os.path.basename(p) for p in dropped])
    # Empty files take the freed entries but no clusters.
    mtools('mcopy', disk, start, *empty, '::/')
    # Next-free "unknown" in FSInfo makes mtools search from cluster 2, so
    # the file fills the holes first.
    with open(disk, 'r+b') as f:
        f.seek(start * SECTOR)
        fsinfo = struct.unpack_from('<H', f.read(SECTOR), 48)[0]
        f.seek((start + fsinfo) * SECTOR + 492)
        f.write(struct.pack('<I', 0xFFFFFFFF))
    mtools('mcopy', disk, start, source, f'::/{name}')
    runs = mtools('mshowfat', disk, start, f'::/{name}').count('<')
    if runs < 10:
        raise Failure(f'{name} lies in {runs} runs of clusters; the row needs a fragmented file')
    log(f'{name}: {os.path.getsize(source)} bytes in {runs} separate runs of clusters')


def put_tree_fat32(disk, start, sectors, tree, name, placement, run_dir):
    if placement == 'fragmented':
        fat32_fragmented(disk, start, os.path.join(tree, name), name, run_dir)
    names = [os.path.join(tree, n) for n in sorted(os.listdir(tree))
             if not (placement == 'fragmented' and n == name)]
    if names:
        mtools('mcopy', disk, start, '-s', '-Q', *names, '::/')


# ------------------------------------------------------------------ NTFS

def ntfs_fragment_space(part, size, run_dir):
    """Leaves only holes (truncated fillers) and a little room at the end:
    ntfs-3g gives a file one contiguous extent while it finds one."""
    filler = os.path.join(run_dir, 'filler64k.bin')
    with open(filler, 'wb') as f:
        f.write(bytes(64 * 1024))
    for i in range(8):
        run_tool(['ntfscp', part, filler, f'FILLER{i}'])
    info = run_tool(['ntfsinfo', '-m', part])
    cluster = int(info.split('Cluster Size:')[1].split()[0])
    free = int(info.split('Free Clusters:')[1].split()[0])
    file_clusters = -(-size // cluster)
    hole_clusters = 4 * 64 * 1024 // cluster
    with open(filler, 'wb') as f:
        f.truncate((free - (file_clusters - hole_clusters) - 40) * cluster)
    run_tool(['ntfscp', part, filler, 'FILLEND'])
    for i in range(0, 8, 2):
        inode = run_tool(['ntfsinfo', '-F', f'FILLER{i}', part]).split()[2]
        run_tool(['ntfstruncate', part, inode, '0'])


def ntfs_crowd_root(part, run_dir):
    note = os.path.join(run_dir, 'note.txt')
    with open(note, 'w') as f:
        f.write('filler\n')
    for i in range(80):
        run_tool(['ntfscp', part, note, f'{"AGZ"[i % 3]}NOTE{i:03}.TXT'])
    if '$INDEX_ALLOCATION' not in run_tool(['ntfsinfo', '-i', '5', '-v', part]):
        raise Failure('the crowded root folder still keeps its whole index in its record')


def check_ntfs_file(part, name, size, placement):
    info = run_tool(['ntfsinfo', '-F', name, '-v', part])
    runs = [line for line in info.splitlines() if line.startswith('Total runs:')]
    log(f'{name}: {runs[-1] if runs else "?"}')
    if placement == 'fragmented' and (int(runs[-1].split()[2]) if runs else 0) < 3:
        raise Failure(f'{name} has fewer than 3 data runs; the row needs a fragmented file')
    data = info.split('Dumping attribute $DATA')[-1]
    resident = re.search(r'Resident:\s+Yes', data) is not None
    if resident != (size < 700):
        raise Failure(f'{name} is {"" if resident else "not "}resident in its MFT record '
                      'against what the row needs')
    flags = re.search(r'Attribute flags:\s+0x([0-9a-fA-F]+)', data)
    if (placement == 'sparse') != bool(flags and int(flags.group(1), 16) & 0x8000):
        raise Failure(f'{name} is {"not " if placement == "sparse" else ""}sparse '
                      'against what the row needs')


def put_tree_ntfs(disk, start, sectors, tree, name, placement, run_dir):
    """Root files with ntfscp, folders and what needs ntfs-3g's own choices
    through an ntfs-3g mount."""
    part = extract_partition(disk, start, sectors, run_dir)
    names = sorted(os.listdir(tree))
    if placement == 'fragmented':
        ntfs_fragment_space(part, os.path.getsize(os.path.join(tree, name)), run_dir)
        names = [name] + [n for n in names if n != name]
    if placement == 'crowded':
        ntfs_crowd_root(part, run_dir)
    mounted = [n for n in names if os.path.isdir(os.path.join(tree, n)) or
               (n == name and placement == 'sparse')]
    for n in names:
        if n not in mounted:
            run_tool(['ntfscp', part, os.path.join(tree, n), n])
    if mounted or placement in ('fragmented', 'attribute-list'):
        mount = tempfile.mkdtemp(dir=run_dir, prefix='mnt')
        run_tool(['ntfs-3g', part, mount])
        try:
            for n in os.listdir(mount):
                if n.startswith('FILL'):
                    os.remove(os.path.join(mount, n))
            if placement == 'attribute-list':
                # Long names crowd the root until ntfs-3g moves its index
                # root into an extension record.
                for i in range(40):
                    with open(os.path.join(mount, f'{i:02} ' + 'long name ' * 8), 'w') as f:
                        f.write('filler\n')
            for n in mounted:
                source = os.path.join(tree, n)
                if os.path.isdir(source):
                    shutil.copytree(source, os.path.join(mount, n))
                    continue
                # Zero blocks are skipped, not written: ntfs-3g keeps them as holes.
                with open(source, 'rb') as src, open(os.path.join(mount, n), 'wb') as out:
                    data = src.read()
                    for at in range(0, len(data), HOLE_BYTES):
                        block = data[at:at + HOLE_BYTES]
                        if any(block):
                            out.seek(at)
                            out.write(block)
                    out.truncate(len(data))
        finally:
            run_tool(['umount', mount])
            os.rmdir(mount)
    if placement == 'attribute-list' and \
            '$ATTRIBUTE_LIST' not in run_tool(['ntfsinfo', '-i', '5', '-v', part]):
        raise Failure('the crowded root folder has no attribute list')
    if name in names and os.path.isfile(os.path.join(tree, name)):
        check_ntfs_file(part, name, os.path.getsize(os.path.join(tree, name)), placement)
    run_tool(['ntfsfix', '-n', part])
    splice_partition(part, disk, start)


# ----------------------------------------------------------------- exFAT

def entry_set_checksum(entries):
    total = 0
    for i, byte in enumerate(entries):
        if i in (2, 3):
            continue
        total = (((total & 1) << 15) | (total >> 1)) + byte & 0xFFFF
    return total


class ExfatWriter:
    """Puts files and folders onto a fresh exFAT volume (exfat-fuse mounts
    only block devices): contiguous with NoFatChain, or a fragmented file in
    every other free cluster with a FAT chain. Root entries go into the root
    folder's first cluster."""

    def __init__(self, f):
        self.f = f
        f.seek(0)
        boot = f.read(SECTOR)
        self.fat_offset, _, self.heap, self.cluster_count, self.root = \
            struct.unpack_from('<IIIII', boot, 80)
        self.cluster = SECTOR << boot[109]
        root = self.read(self.root)
        bitmap_entry = next(root[i:i + 32] for i in range(0, len(root), 32) if root[i] == 0x81)
        self.bitmap_cluster, length = struct.unpack_from('<IQ', bitmap_entry, 20)
        self.f.seek(self.offset(self.bitmap_cluster))
        self.bitmap = bytearray(self.f.read(length))

    def offset(self, cluster):
        return self.heap * SECTOR + (cluster - 2) * self.cluster

    def read(self, cluster):
        self.f.seek(self.offset(cluster))
        return self.f.read(self.cluster)

    def allocate(self, count, fragmented):
        free = [n for n in range(2, self.cluster_count + 2)
                if not self.bitmap[(n - 2) // 8] >> ((n - 2) % 8) & 1]
        if fragmented:
            chosen = free[0:2 * count:2]
        else:
            first = next((i for i in range(len(free) - count + 1)
                          if free[i + count - 1] - free[i] == count - 1), None)
            chosen = [] if first is None else free[first:first + count]
        if len(chosen) < count:
            raise Failure('the exFAT test volume is full')
        for i, n in enumerate(chosen):
            self.bitmap[(n - 2) // 8] |= 1 << ((n - 2) % 8)
            if fragmented:
                self.f.seek(self.fat_offset * SECTOR + 4 * n)
                self.f.write(struct.pack('<I', chosen[i + 1] if i + 1 < len(chosen) else 0xFFFFFFFF))
        self.f.seek(self.offset(self.bitmap_cluster))
        self.f.write(self.bitmap)
        return chosen

    def write(self, clusters, data):
        for i, n in enumerate(clusters):
            self.f.seek(self.offset(n))
            self.f.write(data[i * self.cluster:(i + 1) * self.cluster])

    def put_folder(self, path, folder=None, fragment=None):
        """Writes path's children and their entries into folder (first
        cluster, cluster count), or into the root folder's first cluster."""
        entries = b''
        for name in sorted(os.listdir(path)):
            source = os.path.join(path, name)
            if os.path.isdir(source):
                count = sum(2 + -(-len(n) // 15) for n in os.listdir(source))
                clusters = self.allocate(max(1, -(-count * 32 // self.cluster)), False)
                self.write(clusters, bytes(len(clusters) * self.cluster))
                self.put_folder(source, (clusters[0], len(clusters)))
                entries += self.entry_set(name, 0x10, 0x03, clusters[0],
                                          len(clusters) * self.cluster)
                continue
            with open(source, 'rb') as src:
                data = src.read()
            fragmented = name == fragment
            clusters = self.allocate(-(-len(data) // self.cluster), fragmented) if data else [0]
            self.write(clusters, data)
            # General flags: allocation possible, NoFatChain when contiguous.
            entries += self.entry_set(name, 0x20, 0x01 if fragmented else 0x03, clusters[0],
                                      len(data))
        if folder is None:
            root = self.read(self.root)
            slot = next(i for i in range(0, len(root), 32)
                        if all(root[j] < 0x80 for j in range(i, min(i + len(entries), len(root)), 32)))
            if slot + len(entries) > self.cluster:
                raise Failure('the root folder\'s first cluster cannot hold the tree\'s entries')
            self.f.seek(self.offset(self.root) + slot)
        else:
            self.f.seek(self.offset(folder[0]))
        self.f.write(entries)

    @staticmethod
    def entry_set(name, attributes, flags, first, length):
        """File, stream extension and name entries, checksum set."""
        utf16 = name.encode('utf-16-le')
        name_entries = -(-len(name) // 15)
        name_hash = 0
        for byte in name.upper().encode('utf-16-le'):
            name_hash = (((name_hash & 1) << 15) | (name_hash >> 1)) + byte & 0xFFFF
        stamp = ((2024 - 1980) << 25) | (1 << 21) | (1 << 16)
        primary = struct.pack('<BBHH2sIII', 0x85, 1 + name_entries, 0, attributes, b'',
                              stamp, stamp, stamp) + bytes(12)
        stream = struct.pack('<BBBBHHQIIQ', 0xC0, flags, 0, len(name), name_hash, 0,
                             length, 0, first, length)
        names = b''
        for i in range(name_entries):
            names += struct.pack('<BB', 0xC1, 0) + utf16[30 * i:30 * i + 30].ljust(30, b'\0')
        entries = bytearray(primary + stream + names)
        entries[2:4] = struct.pack('<H', entry_set_checksum(entries))
        return bytes(entries)


def put_tree_exfat(disk, start, sectors, tree, name, placement, run_dir):
    part = extract_partition(disk, start, sectors, run_dir)
    with open(part, 'r+b') as f:
        ExfatWriter(f).put_folder(tree, fragment=name if placement == 'fragmented' else None)
    run_tool(['fsck.exfat', '-n', part])
    splice_partition(part, disk, start)


PUT_TREE = {'fat32': put_tree_fat32, 'ntfs': put_tree_ntfs, 'exfat': put_tree_exfat}


# ------------------------------------------------------------ the road

def build_iso(kind, media, run_dir):
    """The ISO image of an iso:KIND row (xorriso, Joliet and Rock Ridge)."""
    kind, _, large = kind.partition('+')
    if kind == 'hybrid':
        return os.path.join(media, 'hybrid.iso')
    source = os.path.join(run_dir, 'iso_source')
    os.makedirs(os.path.join(source, 'docs'))
    with open(os.path.join(source, 'docs', 'readme.txt'), 'w') as f:
        f.write('Drovelkit road test image\n')
    loader = os.path.join(media, 'grub-large.bin' if large else 'grub.bin')
    folder = os.path.join(source, 'boot') if kind == 'grldr-in-boot' else source
    os.makedirs(folder, exist_ok=True)
    if kind.startswith('grldr'):
        shutil.copyfile(loader, os.path.join(folder, 'grldr'))
        with open(os.path.join(folder, 'menu.lst'), 'w') as f:
            f.write('timeout 0\n')
    else:
        shutil.copyfile(loader, os.path.join(folder, 'BOOTMGR'))
    if kind in ('windows', 'windows-upper', 'windows-crowded', 'windows-shim'):
        # The marker loaders open their files in lower case: on an upper-case
        # tree the boot tool's driver compares names case-insensitively.
        upper = kind == 'windows-upper'
        efi_boot = os.path.join(source, 'EFI' if upper else 'efi', 'BOOT' if upper else 'boot')
        os.makedirs(efi_boot)
        for name, marker, firmware in (('bootx64.efi', 'marker64.txt', 'efi64'),
                                       ('bootia32.efi', 'marker32.txt', 'efi32')):
            target = 'grubx64.efi' if kind == 'windows-shim' and firmware == 'efi64' else name
            shutil.copyfile(os.path.join(media, 'efi_file', name),
                            os.path.join(efi_boot, target.upper() if upper else target))
            with open(os.path.join(efi_boot, marker.upper() if upper else marker), 'w') as f:
                f.write(FILE_MARKERS[firmware] + '\n')
        # What the marker loader reads whole in one call (byte i: BigByte(i)).
        with open(os.path.join(efi_boot, 'BIG.BIN' if upper else 'big.bin'), 'wb') as f:
            f.write(bytes((i ^ i >> 8 ^ i >> 16) & 0xFF for i in range(BIG_FILE_BYTES)))
        if kind == 'windows-shim':
            if not os.path.isfile(SHIM):
                raise Skip(f'{SHIM} is missing (scripts/setup.sh installs shim-signed)')
            shutil.copyfile(SHIM, os.path.join(efi_boot, 'bootx64.efi'))
        for i in range(120 if kind == 'windows-crowded' else 0):
            with open(os.path.join(efi_boot, f'filler {i:03} with a longer name.txt'), 'w') as f:
                f.write('filler\n')
    if kind in ('signed', 'unsigned'):
        put_signed_loaders(source, SHIM if kind == 'signed' else UNSIGNED_SHIM)
    iso = os.path.join(run_dir, 'image.iso')
    run_tool(['xorriso', '-as', 'mkisofs', '-J', '-R', '-o', iso, source])
    return iso


def put_signed_loaders(source, shim):
    for path in (shim, SIGNED_GRUB, SECURE_CODE, SECURE_VARS):
        if not os.path.isfile(path):
            raise Skip(f'{path} is missing (scripts/setup.sh installs it)')
    efi_boot = os.path.join(source, 'EFI', 'BOOT')
    os.makedirs(efi_boot)
    shutil.copyfile(shim, os.path.join(efi_boot, 'BOOTX64.EFI'))
    shutil.copyfile(SIGNED_GRUB, os.path.join(efi_boot, 'grubx64.efi'))
    os.makedirs(os.path.join(source, '.disk'))
    with open(os.path.join(source, '.disk', 'info'), 'w') as f:
        f.write('Drovelkit test image\n')
    os.makedirs(os.path.join(source, 'boot', 'grub'))
    with open(os.path.join(source, 'boot', 'grub', 'grub.cfg'), 'w') as f:
        f.write(f'echo {SIGNED_MARKER}\nhalt\n')


Drive = collections.namedtuple('Drive', 'start sectors tree commands loader_type')


def road_drive(fs, iso, disk, native_build, run_dir, fragment=None):
    """Makes disk the way the copy operation makes a drive of file system fs
    from the ISO image iso, with the native build's copy_road and boot-tool
    front, and puts the extracted tree on the volume. Returns a Drive: the
    partition's start and length, the tree left on the volume (a folder),
    the tool command lines the program ran, and the /type= of the last boot
    record it installed (the one that boots)."""
    copy_road = os.path.join(native_build, 'tests', 'unit', 'copy_road')
    front_path = os.path.join(native_build, 'bootice', 'bootice')
    if not os.access(copy_road, os.X_OK):
        raise Skip(f'{copy_road} is not built')
    done = subprocess.run([copy_road, fs, iso, disk, run_dir, front_path, shutil.which('7zz')],
                          capture_output=True, timeout=600)
    output = done.stdout.decode(errors='replace')
    log(output.strip())
    if done.returncode != 0:
        raise Failure(f'the copy operation failed ({done.returncode}): '
                      f'{done.stderr.decode(errors="replace")}')
    commands = [line[5:] for line in output.splitlines() if line.startswith('run: ')]
    types = [c.split('/type=')[1].split()[0] for c in commands if '/pbr' in c]
    start, sectors = partition_one(disk, fs)
    tree = os.path.join(run_dir, 'tree')
    PUT_TREE[fs](disk, start, sectors, tree, fragment, 'fragmented' if fragment else None, run_dir)
    return Drive(start, sectors, tree, commands, types[-1] if types else None)


def check_road(name, fs, kind, loader, drive, disk, run_dir):
    """What the operation left on the volume and in the table."""
    staging = sorted(os.listdir(os.path.join(run_dir, 'staging')))
    tree = sorted(os.listdir(drive.tree))
    log(f'extracted: {staging}; left on the volume: {tree}')
    if any(n.lower() == '[boot]' for n in tree):
        raise Failure('the "[boot]" folder was not removed')
    if kind == 'hybrid':
        if not any(n.lower() == '[boot]' for n in staging):
            raise Failure('7-Zip did not extract the El Torito images as "[BOOT]": '
                          'the removal was not tested')
        for efi in ('bootx64.efi', 'bootia32.efi'):
            if not os.path.isfile(os.path.join(drive.tree, 'efi', 'boot', efi)):
                raise Failure(f'efi/boot/{efi} is not on the volume')
    if kind.startswith('grldr-in-boot'):
        if not any(n.lower() == 'grldr' for n in tree):
            raise Failure('grldr was not moved into the root')
        if os.path.exists(os.path.join(drive.tree, 'boot', 'grldr')):
            raise Failure('boot/grldr was copied, not moved')
    if drive.loader_type != loader:
        raise Failure(f'the boot record installed was /type={drive.loader_type}, not {loader}')
    if fs == 'fat32':
        return
    # NTFS and exFAT drives end with the UEFI loaders' partition.
    with open(disk, 'rb') as f:
        mbr = f.read(SECTOR)
        size = os.fstat(f.fileno()).st_size // SECTOR
    two = mbr[462:478]
    efi_start, efi_sectors = struct.unpack_from('<II', two, 8)
    log(f'partition 2: type {two[4]:02X} flag {two[0]:02X} sectors {efi_start}..'
        f'{efi_start + efi_sectors - 1} of {size}')
    if two[0] != 0 or two[4] != 0xEF:
        raise Failure('partition 2 must be an inactive one of type EF')
    if drive.start + drive.sectors != efi_start or efi_start + efi_sectors != size:
        raise Failure('partition 2 must follow partition 1 and end with the disk')
    for switch in (f'/fstype={fs}', '/mbr', '/pbr'):
        if not any(switch in command for command in drive.commands):
            raise Failure(f'the copy operation ran no boot tool command with {switch}')


# ------------------------------------------------------------------ rows

def make_drive(name, r, opts, media, run_dir):
    """Makes the row's disk; returns (disk path, expected texts)."""
    expect = list(r.expect)
    if r.drive == 'image':
        disk = r.options['disk']
        return (disk(run_dir, media) if callable(disk) else disk), expect
    disk = os.path.join(run_dir, 'disk.img')
    with open(disk, 'wb') as f:
        f.truncate(r.options.get('size', DISK_BYTES[r.fs]))
    if r.drive.startswith('iso:'):
        kind = r.drive[4:]
        iso = build_iso(kind, media, run_dir)
        drive = road_drive(r.fs, iso, disk, os.path.abspath(opts.native_build), run_dir,
                           r.options.get('fragment'))
        check_road(name, r.fs, kind, r.loader, drive, disk, run_dir)
        if r.options.get('firmware_fat'):
            disguise_as_fat12(disk, drive.start)
        if r.options.get('other_ntfs_disk'):
            other = os.path.join(run_dir, 'other.img')
            with open(other, 'wb') as f:
                f.truncate(16 << 20)
            run_tool(['mkntfs', '-F', '-Q', '-q', '-L', OTHER_LABEL, other])
        return disk, expect

    if not opts.front or not os.access(opts.front, os.X_OK):
        raise Skip(f'the boot tool\'s Linux front is not built (looked for {opts.front!r})')
    content, _, placement = r.drive.partition('/')
    start, sectors = front_drive(opts.front, disk, r.fs, r.loader, r.options, run_dir)
    tree = os.path.join(run_dir, 'files')
    loader_name = 'GRLDR' if r.loader == 'grub4dos' else 'BOOTMGR'
    if content == 'hybrid-tree':
        shutil.copytree(os.path.join(media, 'hybrid_tree'), tree, symlinks=True)
    else:
        os.makedirs(tree)
        target = os.path.join(tree, 'NOTBOOT.BIN' if content == 'none' else loader_name)
        if content == 'handoff':
            line = handoff_file(media, target, r.fs, start, r.options.get('table_slot', 0),
                                placement == 'sparse')
            expect = [line if e == '{handoff}' else e for e in expect]
        else:
            shutil.copyfile(os.path.join(media, f'{content}.bin'), target)
    if r.fs == 'fat32' and content == 'handoff':
        # A drive field that is not the BIOS drive (as formatters for other
        # media leave it): the boot code must put DL there for the loader.
        with open(disk, 'r+b') as f:
            f.seek(start * SECTOR + 0x40)
            f.write(b'\x00')
    PUT_TREE[r.fs](disk, start, sectors, tree, loader_name, placement, run_dir)
    if 'table_slot' in r.options:
        # Partition 1's entry moves to another slot of the table, where the
        # boot code must find it for DH.
        with open(disk, 'r+b') as f:
            table = bytearray(read_sectors(disk, 0, 1)[446:510])
            slot = r.options['table_slot']
            table[0:16], table[slot * 16:slot * 16 + 16] = table[slot * 16:slot * 16 + 16], table[0:16]
            f.seek(446)
            f.write(table)
    if 'bios_shim' in r.options:
        install_shim(disk, run_dir, **r.options['bios_shim'])
    return disk, expect


def disguise_as_fat12(disk, start):
    """Gives partition 1 (NTFS) the fields of a tiny empty FAT12 volume as
    well, in fields and sectors NTFS leaves alone under UEFI: the firmware's
    own FAT driver then binds to it first and shows no loader, as a
    firmware's own poor NTFS driver might."""
    with open(disk, 'r+b') as f:
        f.seek(start * SECTOR)
        boot = bytearray(f.read(SECTOR))
        # One reserved sector, one FAT of one sector, 16 root entries, 64 sectors.
        struct.pack_into('<HBHH', boot, 0x0E, 1, 1, 16, 64)
        struct.pack_into('<H', boot, 0x16, 1)
        f.seek(start * SECTOR)
        f.write(boot)
        f.write(b'\xF8\xFF\xFF'.ljust(SECTOR, b'\0') + bytes(SECTOR))


def install_shim(disk, run_dir, hide_lba=False, take_kib=1):
    """bios_shim.asm as the disk's master boot sector, the real one moved to
    sector 1, where the shim starts it from."""
    shim = os.path.join(run_dir, 'shim.bin')
    run_tool(['nasm', '-f', 'bin', f'-DTAKE_KIB={take_kib}'] + (['-DHIDE_LBA'] if hide_lba else []) +
             ['-o', shim, os.path.join(HERE, 'bios_shim.asm')])
    with open(shim, 'rb') as f:
        code = f.read()
    with open(disk, 'r+b') as f:
        mbr = f.read(SECTOR)
        f.seek(SECTOR)
        f.write(mbr)
        f.seek(0)
        f.write(code.ljust(446, b'\0') + mbr[446:])


def qemu_args(r, opts, disk, run_dir):
    args = ['-m', '512', '-net', 'none', '-boot', 'c']
    if r.firmware == 'secure':
        variables = os.path.join(run_dir, 'vars.fd')
        shutil.copyfile(SECURE_VARS, variables)
        # On q35 an IDE drive is on the AHCI controller.
        args = ['-machine', 'q35,smm=on', '-global', 'driver=cfi.pflash01,property=secure,value=on',
                '-drive', f'if=pflash,format=raw,unit=0,readonly=on,file={SECURE_CODE}',
                '-drive', f'if=pflash,format=raw,unit=1,file={variables}'] + args
    elif r.firmware:
        args = ['-L', os.path.abspath(opts.firmware_dir), '-bios', f'{r.firmware}.bin'] + args
    interface = r.options.get('drive_if', 'ide')
    if 'read_error' in r.options:
        # One EIO on the first read that covers this sector, then none.
        start = struct.unpack_from('<I', read_sectors(disk, 0, 1), 446 + 8)[0]
        config = os.path.join(run_dir, 'blkdebug.conf')
        with open(config, 'w') as f:
            f.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
                    f'sector = "{start + r.options["read_error"]}"\nonce = "on"\n')
        args += ['-drive', f'if={interface},format=raw,file.driver=blkdebug,'
                           f'file.config={config},file.image.filename={disk}']
    else:
        args += ['-drive', f'if={interface},format=raw,file={disk}']
    if r.options.get('other_ntfs_disk'):
        args += ['-drive', f'if={interface},index=1,format=raw,file={os.path.join(run_dir, "other.img")}']
    return args + list(r.options.get('machine', ()))


def run_row(name, opts):
    r = ROWS[name]
    work = os.path.abspath(opts.work)
    media = build_media(work)
    run_dir = os.path.join(work, 'runs')
    if r.options.get('long_path'):
        while len(run_dir) < 150:
            run_dir = os.path.join(run_dir, 'deeper-folder')
    run_dir = os.path.join(run_dir, name)
    if r.firmware not in (None, 'secure') and not os.path.isfile(os.path.join(opts.firmware_dir,
                                                                             f'{r.firmware}.bin')):
        raise Skip(f'{r.firmware}.bin is not in {opts.firmware_dir} (yet)')
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    disk, expect = make_drive(name, r, opts, media, run_dir)
    if ',' in disk:
        raise Failure(f'QEMU cannot take a path with a comma here: {disk}')
    serial = [e for e in expect if not e.startswith('screen:')]
    screen = [e[7:] for e in expect if e.startswith('screen:')]
    result = boot_test.boot(qemu_args(r, opts, disk, run_dir), run_dir, serial, 'tcg',
                            screen=screen[0] if screen else None, then=r.options.get('then'))
    boot_test.log_boot(result)
    if not result.found:
        raise Failure(f'expected {expect} within {boot_test.BOOT_SECONDS} s')
    if r.drive != 'image':
        os.remove(disk)
    log(f'PASSED: {name}')


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('command', choices=('list', 'media', 'run'))
    parser.add_argument('--work')
    parser.add_argument('--row', choices=sorted(ROWS))
    parser.add_argument('--front', default='', help='the boot tool\'s Linux front')
    parser.add_argument('--native-build', default='', help='the native build folder')
    parser.add_argument('--firmware-dir', default='')
    opts = parser.parse_args()
    if opts.command == 'list':
        print(';'.join(ROWS))
        return 0
    if not opts.work:
        parser.error('--work is required')
    if opts.command == 'media':
        return boot_test.exit_status(lambda: build_media(os.path.abspath(opts.work)))
    if not opts.row or not opts.firmware_dir:
        parser.error('run needs --row and --firmware-dir')
    return boot_test.exit_status(lambda: run_row(opts.row, opts))


if __name__ == '__main__':
    sys.exit(main())
