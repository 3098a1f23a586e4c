#!/usr/bin/env python3
"""Boot tests of NTFS and exFAT drives prepared by the boot tool's Linux
front, with real QEMU and the payload's bios.bin.

  pbr_boot_test.py --work DIR --front PATH --firmware-dir DIR [--case NAME ...]

Each case makes a disk image with the front's three command lines, in the
order the copy operation runs them:
    PATH /device=disk.img /partitions /repartition /activate /usb-hdd /fstype=ntfs|exfat /quiet
    PATH /device=disk.img /mbr /install /type=nt60 /quiet
    PATH /device=disk.img /pbr /install /type=bootmgr|grub4dos /activate /quiet
(the first formats with mkntfs or mkfs.exfat and sets HiddenSectors or
PartitionOffset), checks that the last one kept the boot region:
  - every field of it unchanged (the NTFS BPB; the exFAT boot-sector fields,
    OEM parameters, reserved sector and unused extended boot sectors);
  - NTFS: the backup boot sector equals the new boot sector, and
    `ntfsfix -n` accepts the volume;
  - exFAT: the boot checksum is right, the backup region equals the main
    region, and `fsck.exfat -n` accepts the volume;
then puts the loader into the root folder (ntfscp for NTFS; for exFAT a
small writer here, checked by fsck.exfat: exfat-fuse mounts only block
devices) and boots the disk. It waits for the loader's marker on the serial
port or, when the case has no loader file, for the boot code's message on
the screen (VGA text memory read through the QEMU monitor).

The loaders (see CASES):
  - GRUB 2 made to be started by a Windows boot sector: g2hdr.img followed
    by a `grub-mkimage -O i386-pc` core image whose embedded configuration
    prints a marker on the serial port. The large one carries a memdisk of
    random bytes with a text file at its very end that GRUB prints: the
    second marker appears only if the whole file was loaded;
  - pbr_handoff_loader.asm with 400 KiB of data: checks CS:IP, the segment
    registers, DL against the drive field of the boot sector at 0:7C00,
    HiddenSectors / PartitionOffset, that sector against the disk, and a
    checksum of the whole file;
  - on NTFS a loader small enough to live inside its MFT record.

Every boot runs under TCG: under the nested KVM of test machines SeaBIOS
and GRUB take up to a minute, under TCG a second or two.

Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_test  # noqa: E402  (serial_lines, Skip, Failure, log)

Skip, Failure, log = boot_test.Skip, boot_test.Failure, boot_test.log
HERE = os.path.dirname(os.path.abspath(__file__))

SECTOR = 512
PARTITION_START = 2048          # 1 MiB
DISK_SECTORS = PARTITION_START + 65536  # 33 MiB
# Partition 1's length is read from the table: on NTFS and exFAT drives the
# boot tool leaves the disk's last MiBs to the UEFI loaders' partition.
G2HDR = '/usr/lib/grub/i386-pc/g2hdr.img'
MARKER = 'DROVELKIT PBR LOADER OK'
TAIL_MARKER = 'DROVELKIT PBR LOADER TAIL OK'
# Many clusters; grub-mkimage refuses core images above 0x78000 bytes.
LARGE_FILLER_BYTES = 360 * 1024
BOOT_SECONDS = 60

# name: (file system, /type=, loader file name, loader, placement)
#   loader: 'grub' | 'grub-large' | 'handoff' (pbr_handoff_loader.asm with
#   400 KiB of data) | 'resident' (a loader small enough to live in its NTFS
#   MFT record) | 'oversize' (600 KiB: more than fits below the BIOS data
#   area, refused with a message on screen) | None (no loader file: the
#   message on screen)
#   placement: 'plain' | 'fragmented' (several data runs on NTFS, every other
#   cluster on a FAT chain on exFAT; else exFAT files are contiguous with
#   NoFatChain) | 'crowded' (an NTFS root whose index needs index records)
CASES = {
    'ntfs.bootmgr': ('ntfs', 'bootmgr', 'BOOTMGR', 'grub', 'plain'),
    'ntfs.grldr.crowded-root': ('ntfs', 'grub4dos', 'GRLDR', 'grub', 'crowded'),
    'ntfs.bootmgr.large-fragmented': ('ntfs', 'bootmgr', 'BOOTMGR', 'grub-large', 'fragmented'),
    'ntfs.grldr.handoff-fragmented': ('ntfs', 'grub4dos', 'GRLDR', 'handoff', 'fragmented'),
    'ntfs.bootmgr.resident': ('ntfs', 'bootmgr', 'BOOTMGR', 'resident', 'plain'),
    'ntfs.grldr.missing': ('ntfs', 'grub4dos', 'GRLDR', None, 'plain'),
    'ntfs.bootmgr.64k-clusters': ('ntfs', 'bootmgr', 'BOOTMGR', 'handoff', 'crowded'),
    'ntfs.grldr.too-large': ('ntfs', 'grub4dos', 'GRLDR', 'oversize', 'plain'),
    'exfat.bootmgr': ('exfat', 'bootmgr', 'BOOTMGR', 'grub', 'plain'),
    'exfat.grldr': ('exfat', 'grub4dos', 'GRLDR', 'grub', 'plain'),
    'exfat.grldr.large-contiguous': ('exfat', 'grub4dos', 'GRLDR', 'grub-large', 'plain'),
    'exfat.bootmgr.large-fragmented': ('exfat', 'bootmgr', 'BOOTMGR', 'grub-large', 'fragmented'),
    'exfat.bootmgr.handoff-fragmented': ('exfat', 'bootmgr', 'BOOTMGR', 'handoff', 'fragmented'),
    'exfat.bootmgr.missing': ('exfat', 'bootmgr', 'BOOTMGR', None, 'plain'),
    'exfat.grldr.512-byte-clusters': ('exfat', 'grub4dos', 'GRLDR', 'handoff', 'fragmented'),
    'exfat.bootmgr.too-large': ('exfat', 'bootmgr', 'BOOTMGR', 'oversize', 'plain'),
}
# Volumes formatted again, before the boot record, with a cluster size the
# front's default does not give: 64 KiB NTFS clusters hold several index
# records each (index VCNs then count 512-byte blocks); 512-byte exFAT
# clusters spread the FAT chain over many FAT sectors.
REFORMAT = {
    'ntfs.bootmgr.64k-clusters': ['mkntfs', '-F', '-Q', '-q', '-p', str(PARTITION_START), '-c', '65536'],
    'exfat.grldr.512-byte-clusters': ['mkfs.exfat', '-c', '512'],
}

HANDOFF_BYTES = 400 * 1024
RESIDENT_MARKER = 'DROVELKIT PBR RESIDENT LOADER OK'
# Prints the marker on COM1 and powers off; a few dozen bytes.
RESIDENT_LOADER = f"""bits 16
        mov ax, cs
        mov ds, ax
        mov si, text
next:   lodsb
        test al, al
        jz off
        mov ah, al
        mov dx, 0x3FD
poll:   in al, dx
        test al, 0x20
        jz poll
        mov al, ah
        mov dx, 0x3F8
        out dx, al
        jmp next
off:    mov dx, 0x604
        mov ax, 0x2000
        out dx, ax
        cli
        hlt
text:   db '{RESIDENT_MARKER}', 13, 10, 0
"""

TOOLS = ('nasm', 'grub-mkimage', 'mkntfs', 'ntfscp', 'ntfsinfo', 'ntfstruncate', 'ntfsfix',
         'mkfs.exfat', 'fsck.exfat', 'qemu-system-x86_64')


def run_tool(args, **kwargs):
    done = subprocess.run(args, capture_output=True, timeout=300, **kwargs)
    if done.returncode != 0:
        raise Failure(f'{" ".join(args)} failed ({done.returncode}):\n'
                      f'{done.stdout.decode(errors="replace")}{done.stderr.decode(errors="replace")}')
    return done.stdout.decode(errors='replace')


# ---------------------------------------------------------------- loaders

def build_loader(folder, large):
    """g2hdr.img + a GRUB core image that prints the marker(s) and powers off."""
    name = 'loader_large.bin' if large else 'loader_small.bin'
    path = os.path.join(folder, name)
    config = os.path.join(folder, 'grub.cfg')
    lines = ['serial --unit=0 --speed=115200', 'terminal_output serial console',
             f'echo {MARKER}']
    modules = ['serial', 'terminal', 'echo', 'halt']
    args = []
    if large:
        # Random bytes do not compress: the core image stays as large as the
        # memdisk, and the text file after them is the file's last part.
        memdisk = os.path.join(folder, 'memdisk.tar')
        filler = os.path.join(folder, 'filler.bin')
        tail = os.path.join(folder, 'tail.txt')
        with open(filler, 'wb') as f:
            f.write(hashlib.shake_256(b'drovelkit pbr filler').digest(LARGE_FILLER_BYTES))
        with open(tail, 'w') as f:
            f.write(TAIL_MARKER + '\n')
        with tarfile.open(memdisk, 'w', format=tarfile.USTAR_FORMAT) as tar:
            tar.add(filler, 'filler.bin')
            tar.add(tail, 'tail.txt')
        lines.append('cat (memdisk)/tail.txt')
        modules += ['memdisk', 'tar', 'cat']
        args = ['-m', memdisk]
    lines.append('halt')
    with open(config, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    core = os.path.join(folder, 'core.img')
    run_tool(['grub-mkimage', '-O', 'i386-pc', '-o', core, '-p', '(memdisk)' if large else '/',
              '-c', config] + args + modules)
    with open(path, 'wb') as out:
        for part in (G2HDR, core):
            with open(part, 'rb') as f:
                out.write(f.read())
    size = os.path.getsize(path)
    if large and not 0x40000 < size <= 0x7F000:
        raise Failure(f'the large loader has {size} bytes; it must span many clusters and '
                      'stay below the 0x7F000-byte load limit')
    return path


def build_handoff(folder):
    """The hand-off test loader followed by data; the header gets the
    length, the data's checksum and the partition start it must see."""
    program_path = os.path.join(folder, 'pbr_handoff_loader.bin')
    run_tool(['nasm', '-f', 'bin', '-I', HERE + '/', '-o', program_path,
              os.path.join(HERE, 'pbr_handoff_loader.asm')])
    with open(program_path, 'rb') as f:
        program = bytearray(f.read())
    data = hashlib.shake_256(b'drovelkit pbr handoff').digest(HANDOFF_BYTES - len(program))
    checksum = 0x811C9DC5
    for (word,) in struct.iter_unpack('<I', data):
        checksum = ((checksum ^ word) * 0x01000193) & 0xFFFFFFFF
    struct.pack_into('<4sIII', program, 4, b'DKPL', HANDOFF_BYTES, checksum, PARTITION_START)
    path = os.path.join(folder, 'handoff.bin')
    with open(path, 'wb') as f:
        f.write(program + data)
    return path


def build_resident(folder):
    source = os.path.join(folder, 'resident.asm')
    path = os.path.join(folder, 'resident.bin')
    with open(source, 'w') as f:
        f.write(RESIDENT_LOADER)
    run_tool(['nasm', '-f', 'bin', '-o', path, source])
    return path


def build_case_loader(folder, loader):
    # Each case builds its own: ctest runs cases side by side.
    if loader == 'handoff':
        return build_handoff(folder)
    if loader == 'resident':
        return build_resident(folder)
    if loader == 'oversize':
        path = os.path.join(folder, 'oversize.bin')
        with open(path, 'wb') as f:
            f.write(bytes(600 * 1024))
        return path
    return build_loader(folder, loader == 'grub-large')


def expected_lines(fs, loader):
    if loader == 'handoff':
        name = 'NTFS' if fs == 'ntfs' else 'EXFA'
        return [f'PBR HANDOFF OK {name} DL=80 HIDDEN={PARTITION_START:08X} LENGTH={HANDOFF_BYTES:08X}']
    if loader == 'resident':
        return [RESIDENT_MARKER]
    return [MARKER] + ([TAIL_MARKER] if loader == 'grub-large' else [])


# ------------------------------------------------------------------ NTFS

def fill_ntfs(part, loader_name, loader, placement, work):
    if loader is None:
        return
    if placement == 'fragmented':
        # ntfs-3g gives a file one contiguous extent while it finds one: leave
        # only holes (truncated fillers) and a little room at the end.
        filler = os.path.join(work, 'filler64k.bin')
        with open(filler, 'wb') as f:
            f.write(bytes(64 * 1024))
        for i in range(8):
            run_tool(['ntfscp', part, filler, f'FILLER{i}'])
        info = run_tool(['ntfsinfo', '-m', part])
        cluster = int(info.split('Cluster Size:')[1].split()[0])
        free = int(info.split('Free Clusters:')[1].split()[0])
        loader_clusters = -(-os.path.getsize(loader) // cluster)
        hole_clusters = 4 * 64 * 1024 // cluster
        with open(filler, 'wb') as f:
            f.truncate((free - (loader_clusters - hole_clusters) - 40) * cluster)
        run_tool(['ntfscp', part, filler, 'FILLEND'])
        for i in range(0, 8, 2):
            inode = run_tool(['ntfsinfo', '-F', f'FILLER{i}', part]).split()[2]
            run_tool(['ntfstruncate', part, inode, '0'])
    if placement == 'crowded':
        note = os.path.join(work, 'note.txt')
        with open(note, 'w') as f:
            f.write('filler\n')
        for i in range(80):
            run_tool(['ntfscp', part, note, f'{"AGZ"[i % 3]}NOTE{i:03}.TXT'])
        if '$INDEX_ALLOCATION' not in run_tool(['ntfsinfo', '-i', '5', '-v', part]):
            raise Failure('the crowded root folder still keeps its whole index in its record')
    run_tool(['ntfscp', part, loader, loader_name])
    info = run_tool(['ntfsinfo', '-F', loader_name, '-v', part])
    runs = [line for line in info.splitlines() if line.startswith('Total runs:')]
    log(f'  {loader_name}: {runs[-1] if runs else "?"}')
    if placement == 'fragmented':
        count = int(runs[-1].split()[2]) if runs else 0
        if count < 3:
            raise Failure(f'the loader has {count} data runs; the test needs a fragmented file')
    data = info.split('Dumping attribute $DATA')[-1]
    resident = re.search(r'Resident:\s+Yes', data) is not None
    if resident != (os.path.getsize(loader) < 700):
        raise Failure(f'{loader_name} is {"" if resident else "not "}resident in its MFT record '
                      'against what the case needs')


def check_ntfs(before, after, part):
    """before/after: the 16 sectors of $Boot and the backup boot sector."""
    boot, new = before[0], after[0]
    if new[3:84] != boot[3:84]:
        raise Failure('the NTFS BPB changed: ' + diff_offsets(boot[3:84], new[3:84], 3))
    if new[510:512] != b'\x55\xaa':
        raise Failure('the NTFS boot sector lost its signature')
    if after[1] != new[:SECTOR]:
        raise Failure('the NTFS backup boot sector is not the new boot sector')
    run_tool(['ntfsfix', '-n', part])


# ----------------------------------------------------------------- exFAT

def exfat_checksum(region):
    total = 0
    for i, byte in enumerate(region[:11 * SECTOR]):
        if i in (106, 107, 112):
            continue
        total = (((total & 1) << 31) | (total >> 1)) + byte & 0xFFFFFFFF
    return total


def set_exfat_partition_offset(part, offset):
    """What the front does after mkfs.exfat: PartitionOffset, checksum, backup."""
    with open(part, 'r+b') as f:
        region = bytearray(f.read(12 * SECTOR))
        region[64:72] = struct.pack('<Q', offset)
        region[11 * SECTOR:] = struct.pack('<I', exfat_checksum(region)) * (SECTOR // 4)
        f.seek(0)
        f.write(region + region)


def entry_set_checksum(entries):
    total = 0
    for i, byte in enumerate(entries):
        if i in (2, 3):
            continue
        total = (((total & 1) << 15) | (total >> 1)) + byte & 0xFFFF
    return total


def exfat_entry_set(name, attributes, flags, first, length):
    """The directory entries of one exFAT file or folder: file, stream
    extension (general flags `flags`) and name entries, checksum set."""
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


def exfat_add_file(part, name, data, fragmented):
    """Writes a file into the root folder of a fresh exFAT volume: contiguous
    with NoFatChain, or every other free cluster with a FAT chain."""
    with open(part, 'r+b') as f:
        f.seek(0)
        boot = f.read(SECTOR)
        fat_offset, _, heap, cluster_count, root = struct.unpack_from('<IIIII', boot, 80)
        cluster = SECTOR << boot[109]

        def cluster_at(n):
            return (heap * SECTOR) + (n - 2) * cluster

        def fat(n, value=None):
            f.seek(fat_offset * SECTOR + 4 * n)
            if value is None:
                return struct.unpack('<I', f.read(4))[0]
            f.write(struct.pack('<I', value))

        root_chain = [root]
        while fat(root_chain[-1]) < 0xFFFFFFF7:
            root_chain.append(fat(root_chain[-1]))
        directory = b''
        for n in root_chain:
            f.seek(cluster_at(n))
            directory += f.read(cluster)
        bitmap_entry = next(directory[i:i + 32] for i in range(0, len(directory), 32)
                            if directory[i] == 0x81)
        bitmap_cluster, bitmap_length = struct.unpack_from('<IQ', bitmap_entry, 20)
        f.seek(cluster_at(bitmap_cluster))
        bitmap = bytearray(f.read(bitmap_length))

        def used(n):
            return bitmap[(n - 2) // 8] >> ((n - 2) % 8) & 1

        need = max(1, -(-len(data) // cluster))
        free = [n for n in range(2, cluster_count + 2) if not used(n)]
        if fragmented:
            chosen = free[0:2 * need:2]
        else:
            start = next(i for i in range(len(free))
                         if free[i + need - 1] - free[i] == need - 1)
            chosen = free[start:start + need]
        if len(chosen) < need:
            raise Failure('the exFAT test volume is too small for the loader')
        for i, n in enumerate(chosen):
            bitmap[(n - 2) // 8] |= 1 << ((n - 2) % 8)
            f.seek(cluster_at(n))
            f.write(data[i * cluster:(i + 1) * cluster])
            if fragmented:
                fat(n, chosen[i + 1] if i + 1 < len(chosen) else 0xFFFFFFFF)
        f.seek(cluster_at(bitmap_cluster))
        f.write(bitmap)

        flags = 0x01 | (0 if fragmented else 0x02)
        entries = exfat_entry_set(name, 0x20, flags, chosen[0], len(data))
        slot = next(i for i in range(0, len(directory), 32)
                    if all(directory[j] < 0x80 for j in range(i, i + len(entries), 32)))
        if slot + len(entries) > cluster:
            raise Failure('the exFAT test writer only fills the root folder\'s first cluster')
        f.seek(cluster_at(root) + slot)
        f.write(entries)


def fill_exfat(part, loader_name, loader, placement, work):
    if loader is not None:
        with open(loader, 'rb') as f:
            data = f.read()
        exfat_add_file(part, loader_name, data, fragmented=placement == 'fragmented')
    run_tool(['fsck.exfat', '-n', part])


def check_exfat(before, after, part):
    """before/after: the 24 sectors of the main and backup boot regions."""
    old, new = before[0], after[0]
    if new[3:120] != old[3:120]:
        raise Failure('the exFAT boot sector fields changed: ' +
                      diff_offsets(old[3:120], new[3:120], 3))
    if new[510:512] != b'\x55\xaa':
        raise Failure('the exFAT boot sector lost its signature')
    for i in range(1, 9):
        sector = new[i * SECTOR:(i + 1) * SECTOR]
        if sector[508:] != b'\x00\x00\x55\xaa':
            raise Failure(f'extended boot sector {i} has no signature')
    if new[9 * SECTOR:11 * SECTOR] != old[9 * SECTOR:11 * SECTOR]:
        raise Failure('the OEM parameters or the reserved sector changed')
    checksum = struct.pack('<I', exfat_checksum(new[:12 * SECTOR])) * (SECTOR // 4)
    if new[11 * SECTOR:12 * SECTOR] != checksum:
        raise Failure('the exFAT boot checksum is wrong')
    if new[12 * SECTOR:] != new[:12 * SECTOR]:
        raise Failure('the exFAT backup boot region differs from the main region')
    run_tool(['fsck.exfat', '-n', part])


def diff_offsets(a, b, base):
    return ', '.join(f'byte {base + i}' for i in range(len(a)) if a[i] != b[i])


# ------------------------------------------------------------------ disk

def front(path, disk, *switches):
    command = [path, f'/device={disk}'] + list(switches)
    log('  ' + ' '.join(command))
    done = subprocess.run(command, capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise Failure(f'the front failed ({done.returncode}): {done.stderr.decode(errors="replace")}')


def read_sectors(path, first, count):
    with open(path, 'rb') as f:
        f.seek(first * SECTOR)
        return f.read(count * SECTOR)


def boot_region(disk, fs):
    if fs == 'ntfs':
        boot = read_sectors(disk, PARTITION_START, 1)
        total = struct.unpack_from('<Q', boot, 0x28)[0]
        return [read_sectors(disk, PARTITION_START, 16),
                read_sectors(disk, PARTITION_START + total, 1)]
    return [read_sectors(disk, PARTITION_START, 24)]


def partition_sectors(disk):
    with open(disk, 'rb') as f:
        return struct.unpack_from('<I', f.read(SECTOR), 446 + 12)[0]


def extract_partition(disk, part):
    with open(disk, 'rb') as src, open(part, 'wb') as out:
        src.seek(PARTITION_START * SECTOR)
        out.write(src.read(partition_sectors(disk) * SECTOR))


def splice_partition(part, disk):
    with open(part, 'rb') as src, open(disk, 'r+b') as out:
        out.seek(PARTITION_START * SECTOR)
        shutil.copyfileobj(src, out)


# ------------------------------------------------------------------ QEMU

def screen_text(raw):
    rows = []
    for row in range(25):
        cells = raw[row * 160:(row + 1) * 160:2]
        rows.append(cells.decode('latin-1').rstrip())
    return rows


def boot(disk, run_dir, firmware_dir, serial_expected, screen_expected):
    """Boots the disk; returns (passed, serial lines, screen rows, seconds)."""
    serial = os.path.join(run_dir, 'serial.log')
    screen = os.path.join(run_dir, 'screen.bin')
    for path in (serial, screen):
        if os.path.exists(path):
            os.remove(path)
    command = ['qemu-system-x86_64', '-accel', 'tcg', '-L', firmware_dir, '-bios', 'bios.bin',
               '-m', '256', '-net', 'none', '-boot', 'c',
               '-drive', f'file={disk},format=raw,if=ide', '-display', 'none',
               '-serial', f'file:{serial}', '-no-reboot', '-monitor', 'stdio']
    log('  QEMU: ' + ' '.join(command))
    start = time.time()
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, cwd=run_dir, start_new_session=True)
    passed = False
    rows = []
    try:
        while time.time() < start + BOOT_SECONDS and process.poll() is None:
            time.sleep(0.5)
            lines = boot_test.serial_lines(serial)
            if serial_expected and all(any(e in l for l in lines) for e in serial_expected):
                passed = True
                break
            if screen_expected:
                # A quoted name: the monitor would read a bare path as an expression.
                process.stdin.write(f'pmemsave 0xb8000 4000 "{screen}"\n'.encode())
                process.stdin.flush()
                time.sleep(0.3)
                if os.path.exists(screen):
                    with open(screen, 'rb') as f:
                        rows = screen_text(f.read())
                    if any(screen_expected in row for row in rows):
                        passed = True
                        break
        if passed and serial_expected:
            try:
                process.wait(timeout=10)  # GRUB's halt powers the machine off
            except subprocess.TimeoutExpired:
                pass
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
    lines = boot_test.serial_lines(serial)
    if serial_expected:
        passed = all(any(e in l for l in lines) for e in serial_expected)
    return passed, lines, rows, time.time() - start


# ------------------------------------------------------------------ cases

def run_case(name, opts):
    fs, kind, loader_name, loader_kind, placement = CASES[name]
    run_dir = os.path.join(opts.work, 'pbr', name)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    part = os.path.join(run_dir, 'partition.img')
    disk = os.path.join(run_dir, 'disk.img')
    with open(disk, 'wb') as f:
        f.truncate(DISK_SECTORS * SECTOR)
    front(opts.front, disk, '/partitions', '/repartition', '/activate', '/usb-hdd', f'/fstype={fs}',
          '/quiet')
    if name in REFORMAT:
        with open(part, 'wb') as f:
            f.truncate(partition_sectors(disk) * SECTOR)
        log('  ' + ' '.join(REFORMAT[name]))
        run_tool(REFORMAT[name] + [part])
        if fs == 'exfat':
            set_exfat_partition_offset(part, PARTITION_START)
        splice_partition(part, disk)
    front(opts.front, disk, '/mbr', '/install', '/type=nt60', '/quiet')
    before = boot_region(disk, fs)
    front(opts.front, disk, '/pbr', '/install', f'/type={kind}', '/activate', '/quiet')
    after = boot_region(disk, fs)
    extract_partition(disk, part)
    (check_ntfs if fs == 'ntfs' else check_exfat)(before, after, part)
    log('  boot region fields unchanged, ' +
        ('backup sector in step, ntfsfix -n accepts the volume' if fs == 'ntfs' else
         'checksum right, backup region equal, fsck.exfat -n accepts the volume'))

    loader = build_case_loader(run_dir, loader_kind) if loader_kind else None
    (fill_ntfs if fs == 'ntfs' else fill_exfat)(part, loader_name, loader, placement, run_dir)
    splice_partition(part, disk)
    os.remove(part)

    if loader is None:
        serial_expected, screen_expected = [], f'{loader_name} is missing'
    elif loader_kind == 'oversize':
        serial_expected, screen_expected = [], 'Loader too large'
    else:
        serial_expected, screen_expected = expected_lines(fs, loader_kind), None
    passed, lines, rows, seconds = boot(disk, run_dir, opts.firmware_dir, serial_expected,
                                        screen_expected)
    log(f'  boot took {seconds:.1f} s')
    if lines:
        log('  serial port: ' + ' | '.join(lines[-5:]))
    shown = [r for r in rows if r.strip()]
    if shown:
        log('  screen: ' + ' | '.join(shown[-4:]))
    if not passed:
        raise Failure(f'expected {serial_expected or screen_expected!r} within {BOOT_SECONDS} s')
    os.remove(disk)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--work', required=True)
    parser.add_argument('--front', default='', help='the Linux front of the boot tool')
    parser.add_argument('--firmware-dir', default='', help='the folder with bios.bin')
    parser.add_argument('--case', action='append', choices=sorted(CASES))
    opts = parser.parse_args()
    opts.work = os.path.abspath(opts.work)
    cases = opts.case or list(CASES)
    try:
        missing = [t for t in TOOLS if not shutil.which(t)]
        if not os.path.isfile(G2HDR):
            missing.append(G2HDR)
        if missing:
            raise Skip('missing: ' + ', '.join(missing) + ' (scripts/setup.sh installs them)')
        if not opts.front or not os.access(opts.front, os.X_OK):
            raise Skip(f'the boot tool\'s Linux front is missing ({opts.front!r})')
        bios = os.path.join(opts.firmware_dir, 'bios.bin')
        if not os.path.isfile(bios):
            raise Skip(f'firmware {bios} does not exist (yet)')
        opts.firmware_dir = os.path.abspath(opts.firmware_dir)
    except Skip as reason:
        log(f'SKIPPED: {reason}')
        return boot_test.SKIP
    results = {}
    for name in cases:
        log(f'\n=== {name}')
        try:
            run_case(name, opts)
            results[name] = 'passed'
        except Failure as failure:
            log(f'FAILED: {failure}')
            results[name] = 'FAILED'
    log('\n=== summary')
    for name, result in results.items():
        log(f'  {name:34} {result}')
    return 1 if 'FAILED' in results.values() else 0


if __name__ == '__main__':
    sys.exit(main())
