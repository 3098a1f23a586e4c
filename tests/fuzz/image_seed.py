#!/usr/bin/env python3
"""Turns a small ISO image into a seed of the image_files fuzz target: its
length in sectors, then its runs of non-zero bytes as patches (32-bit offset,
16-bit length, bytes). Usage: image_seed.py IMAGE SEED"""
import struct
import sys

image = open(sys.argv[1], 'rb').read()
sectors = min(len(image) // 2048, 640)
image = image[:sectors * 2048]
out = bytearray(struct.pack('<H', sectors))
at = 0
while at < len(image):
    if image[at] == 0:
        at += 1
        continue
    end = at
    # Short gaps of zeros stay inside a run: a patch header costs 6 bytes.
    while end < len(image) and end - at < 65535 and any(image[end:end + 8]):
        end += 1
    out += struct.pack('<IH', at, end - at) + image[at:end]
    at = end
open(sys.argv[2], 'wb').write(out)
