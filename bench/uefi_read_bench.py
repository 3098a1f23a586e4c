#!/usr/bin/env python3
"""How fast a loader reads its files under OVMF from NTFS and exFAT drives
(through the boot tool's UEFI driver) against the same files on FAT32 (the
firmware's own driver). Each drive is made by the copy operation (the native
build's copy_road) from one ISO image holding a Windows-like loader set; its
loader (uefi_read_bench.c) reads the set whole and prints the time-stamp
counter ticks that took. Prints each file system's ticks and its speed as a
share of FAT32's. Not a test: QEMU runs under TCG, so only ratios mean much.

  bench/uefi_read_bench.py --firmware-dir DIR [--native-build build/native]
                           [--work build/bench-uefi] [--firmware efi64|efi32] [--rounds 2]
"""
import argparse
import os
import random
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'boot'))
import boot_table  # noqa: E402
import boot_test  # noqa: E402

# path on the image: bytes (random, the same every run)
LOADER_SET = {
    'efi/microsoft/boot/bcd': 64 << 10,
    'efi/microsoft/boot/fonts/font0.ttf': 200 << 10,
    'efi/microsoft/boot/fonts/font1.ttf': 300 << 10,
    'efi/microsoft/boot/fonts/font2.ttf': 150 << 10,
    'efi/microsoft/boot/fonts/font3.ttf': 100 << 10,
    'boot/boot.sdi': 3 << 20,
    'sources/boot.wim': 32 << 20,
}
DISK_BYTES = 192 << 20


def build_iso(work):
    source = os.path.join(work, 'iso_source')
    shutil.rmtree(source, ignore_errors=True)
    rng = random.Random(1)
    for path, size in LOADER_SET.items():
        os.makedirs(os.path.dirname(os.path.join(source, path)), exist_ok=True)
        with open(os.path.join(source, path), 'wb') as f:
            f.write(rng.randbytes(size))
    efi_boot = os.path.join(source, 'efi', 'boot')
    os.makedirs(efi_boot)
    for arch, name in (('X64', 'bootx64.efi'), ('IA32', 'bootia32.efi')):
        boot_test.build_efi_program(arch, work, os.path.join(HERE, 'uefi_read_bench.c'), name)
        shutil.move(os.path.join(work, name), os.path.join(efi_boot, name))
    with open(os.path.join(source, 'BOOTMGR'), 'wb') as f:
        f.write(b'not booted here\n')
    iso = os.path.join(work, 'bench.iso')
    boot_table.run_tool(['xorriso', '-as', 'mkisofs', '-J', '-R', '-o', iso, source])
    return iso


def measure(fs, iso, opts, work):
    run_dir = os.path.join(work, fs)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    disk = os.path.join(run_dir, 'disk.img')
    with open(disk, 'wb') as f:
        f.truncate(DISK_BYTES)
    boot_table.road_drive(fs, iso, disk, os.path.abspath(opts.native_build), run_dir)
    ticks = []
    for n in range(opts.rounds):
        args = ['-L', os.path.abspath(opts.firmware_dir), '-bios', f'{opts.firmware}.bin',
                '-m', '512', '-net', 'none', '-boot', 'c', '-snapshot',
                '-drive', f'if=ide,format=raw,file={disk}']
        result = boot_test.boot(args, run_dir, ['BENCH TICKS', ' END'], 'tcg', name=f'round{n}', seconds=180)
        text = open(os.path.join(run_dir, f'round{n}.serial.log'), errors='replace').read()
        found = re.search(r'BENCH TICKS (\d+) BYTES (\d+) END', text)
        if not result.found or not found:
            boot_test.log_boot(result)
            raise boot_test.Failure(f'{fs}: no BENCH TICKS line')
        ticks.append(int(found.group(1)))
    os.remove(disk)
    return min(ticks)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--firmware-dir', required=True)
    parser.add_argument('--native-build', default=os.path.join(HERE, '..', 'build', 'native'))
    parser.add_argument('--work', default=os.path.join(HERE, '..', 'build', 'bench-uefi'))
    parser.add_argument('--firmware', choices=('efi64', 'efi32'), default='efi64')
    parser.add_argument('--rounds', type=int, default=2)
    opts = parser.parse_args()
    work = os.path.abspath(opts.work)
    os.makedirs(work, exist_ok=True)
    iso = build_iso(work)
    ticks = {fs: measure(fs, iso, opts, work) for fs in ('fat32', 'ntfs', 'exfat')}
    total = sum(LOADER_SET.values())
    print(f'loader set of {total} bytes read under OVMF ({opts.firmware}, TCG), fewest ticks of '
          f'{opts.rounds} rounds:')
    for fs, n in ticks.items():
        print(f'  {fs:6} {n:>14} ticks  speed {ticks["fat32"] / n:.2f}x FAT32')
    return 0


if __name__ == '__main__':
    sys.exit(main())
