#!/usr/bin/env python3
"""The road of a Windows image too large for FAT32: an ISO image whose
sources/install.wim is more than 4 GiB (captured by wimlib from
incompressible data, stored uncompressed) goes onto a FAT32 drive through
the program's own copy operation (boot_table.road_drive), whose own splitter
reads the image in place out of the ISO's multi-extent file, with no copy in
the temporary folder. The volume must hold install.swm,
install2.swm, ... each below 4 GiB and no install.wim, and independent
readers must accept the parts: wimlib's verify with --ref, 7-Zip's listing,
and every file read back with the contents it was captured with. (Secure
Boot from a FAT32 drive the road made: boot_table.py's secure-boot rows.)

  wim_split_road.py --native-build DIR --work DIR

Needs about 14 GiB free in the work folder for a few minutes; all of it is
removed at the end. Exit codes: 0 passed, 1 failed, 77 skipped.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_table  # noqa: E402
import boot_test  # noqa: E402

Skip, Failure, log = boot_test.Skip, boot_test.Failure, boot_test.log
MIB = 1 << 20
FAT32_LIMIT = 1 << 32
# Files inside the image: none larger than a part, all of them more than 4 GiB.
DATA_FILES = [(f'data{i}.bin', 1000 * MIB) for i in range(4)] + [('data4.bin', 500 * MIB)]
ROOM_NEEDED = 14 << 30


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, timeout=900, **kwargs)
    if done.returncode != 0:
        raise Failure(f'{" ".join(args)} failed ({done.returncode}): '
                      f'{done.stdout.decode(errors="replace")[-2000:]}'
                      f'{done.stderr.decode(errors="replace")[-2000:]}')
    return done.stdout.decode(errors='replace')


def write_random(path, size):
    """Incompressible bytes; returns their sha256."""
    digest = hashlib.sha256()
    with open(path, 'wb') as f:
        left = size
        while left:
            block = os.urandom(min(left, 8 * MIB))
            digest.update(block)
            f.write(block)
            left -= len(block)
    return digest.hexdigest()


def stream_sha256(args):
    """The sha256 of what a command writes to standard output."""
    digest = hashlib.sha256()
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as child:
        for block in iter(lambda: child.stdout.read(8 * MIB), b''):
            digest.update(block)
    if child.returncode != 0:
        raise Failure(f'{" ".join(args)} failed ({child.returncode})')
    return digest.hexdigest()


def build_image(run_dir):
    """The ISO image and the sha256 of each captured file. Only the ISO is
    left on disk."""
    data = os.path.join(run_dir, 'data')
    source = os.path.join(run_dir, 'iso_source')
    os.makedirs(data)
    os.makedirs(os.path.join(source, 'sources'))
    os.makedirs(os.path.join(source, 'docs'))
    digests = {name: write_random(os.path.join(data, name), size) for name, size in DATA_FILES}
    wim = os.path.join(source, 'sources', 'install.wim')
    run(['wimlib-imagex', 'capture', data, wim, '--compress=none'])
    shutil.rmtree(data)
    if os.path.getsize(wim) <= FAT32_LIMIT:
        raise Failure(f'the captured image has only {os.path.getsize(wim)} bytes')
    with open(os.path.join(source, 'docs', 'readme.txt'), 'w') as f:
        f.write('Drovelkit road test image\n')
    with open(os.path.join(source, 'sources', 'boot.wim'), 'wb') as f:
        f.write(b'small file beside the image')
    iso = os.path.join(run_dir, 'image.iso')
    # Level 3: ISO 9660 keeps a file of 4 GiB or more in several extents.
    run(['xorriso', '-as', 'mkisofs', '-iso-level', '3', '-J', '-R', '-o', iso, source])
    shutil.rmtree(source)
    return iso, digests


def check_volume(drive, disk, digests):
    """The parts on the FAT32 volume: each below 4 GiB, no install.wim;
    wimlib and 7-Zip read them back."""
    listing = boot_table.mtools('mdir', disk, drive.start, '-b', '::/sources')
    names = sorted(os.path.basename(line.strip().rstrip('/')) for line in listing.splitlines() if line.strip())
    log(f'  on the volume in sources: {names}')
    if any(name.lower() == 'install.wim' for name in names):
        raise Failure('install.wim is on the FAT32 volume')
    parts = sorted(name for name in names if name.lower().startswith('install') and name.lower().endswith('.swm'))
    if len(parts) < 2 or 'install.swm' not in [p.lower() for p in parts]:
        raise Failure(f'no install.swm parts on the volume: {names}')
    tree_sources = os.path.join(drive.tree, 'sources')
    for part in parts:
        path = os.path.join(tree_sources, part)
        size = os.path.getsize(path)
        log(f'  {part}: {size} bytes')
        if size >= FAT32_LIMIT:
            raise Failure(f'{part} has {size} bytes, FAT32 holds less than {FAT32_LIMIT}')
    first = os.path.join(tree_sources, 'install.swm')
    ref = f'--ref={os.path.join(tree_sources, "install*.swm")}'
    run(['wimlib-imagex', 'verify', first, ref])
    listed = run(['7zz', 'l', first])
    for name, size in DATA_FILES:
        if not any(line.rstrip().endswith(name) and f' {size} ' in line for line in listed.splitlines()):
            raise Failure(f'7-Zip does not list {name} ({size} bytes) in the parts:\n{listed}')
    for name, _ in DATA_FILES:
        got = stream_sha256(['wimlib-imagex', 'extract', first, '1', f'/{name}', ref, '--to-stdout'])
        if got != digests[name]:
            raise Failure(f'{name} read back from the parts differs from the captured file')


def run_case(opts):
    for tool in ('wimlib-imagex', 'xorriso', '7zz', 'mdir', 'mcopy'):
        if not shutil.which(tool):
            raise Skip(f'{tool} is missing (scripts/setup.sh installs it)')
    run_dir = os.path.join(os.path.abspath(opts.work), 'wim-split')
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    if shutil.disk_usage(run_dir).free < ROOM_NEEDED:
        raise Skip(f'{ROOM_NEEDED >> 30} GiB free needed in {run_dir}')
    try:
        iso, digests = build_image(run_dir)
        disk = os.path.join(run_dir, 'disk.img')
        with open(disk, 'wb') as f:
            f.truncate(5 << 30)
        drive = boot_table.road_drive('fat32', iso, disk, os.path.abspath(opts.native_build), run_dir)
        commands = '\n'.join(drive.commands)
        if '-x!sources/install.wim' not in commands:
            raise Failure('the operation did not leave the image out of the extraction')
        if '/temp/' in commands:
            raise Failure('the image was copied into the temporary folder, not read in place')
        os.remove(iso)
        check_volume(drive, disk, digests)
    finally:
        shutil.rmtree(run_dir, ignore_errors=True)
    log('PASSED: the Windows image split onto FAT32')


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--native-build', required=True, help='the native build folder')
    parser.add_argument('--work', required=True)
    sys.exit(boot_test.exit_status(lambda: run_case(parser.parse_args())))
