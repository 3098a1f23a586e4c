#!/usr/bin/env python3
"""Writes a seed of the volume fuzz targets (see FuzzVolume.h) from a real
volume image of at most 4 MiB: its non-zero bytes as patches (a 32-bit
offset, a 16-bit length, the bytes), leaving out sectors the readers never
need that would fill the seed ($LogFile's 0xFF fill and its pages, and
an upcase table, which maps most units to themselves: without it the
readers compare names in ASCII).

  volume_seed.py IMAGE SEED
"""
import struct
import sys

SECTOR = 512
GAP = 16  # zeros kept inside a patch rather than starting a new one


def patches(image):
    out = bytearray()
    for base in range(0, min(len(image), 4 << 20), SECTOR):
        sector = image[base:base + SECTOR]
        if not any(sector) or sector.count(0xFF) == len(sector) or sector[:4] in (b'RSTR', b'RCRD'):
            continue
        units = struct.unpack(f'<{SECTOR // 2}H', sector)
        if sum(b - a == 1 for a, b in zip(units, units[1:])) > SECTOR // 4:
            continue
        at = 0
        while at < len(sector):
            while at < len(sector) and sector[at] == 0:
                at += 1
            end = at
            while end < len(sector):
                if sector[end] == 0 and not any(sector[end:end + GAP]):
                    break
                end += 1
            if end > at:
                out += struct.pack('<IH', base + at, end - at) + sector[at:end]
            at = end
    return bytes(out)


def main():
    with open(sys.argv[1], 'rb') as f:
        seed = patches(f.read())
    with open(sys.argv[2], 'wb') as f:
        f.write(seed)
    print(f'{sys.argv[2]}: {len(seed)} bytes')


if __name__ == '__main__':
    main()
