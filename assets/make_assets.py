#!/usr/bin/env python3
"""Draws Drovelkit's logo and icon and synthesises its completion sound.

Usage: make_assets.py OUTDIR  ->  OUTDIR/logo.png, OUTDIR/drovelkit.ico, OUTDIR/done.wav
Everything is made from code, so the pictures and the sound are reproducible.
"""
import math
import struct
import sys
import zlib

BLUE = (30, 100, 200)
BLUE_DARK = (18, 62, 140)
METAL = (196, 200, 206)
METAL_DARK = (120, 126, 134)
WHITE = (255, 255, 255)


def rounded_rect(x, y, left, top, right, bottom, radius):
    """Whether point (x, y) lies in the rectangle with rounded corners."""
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def usb_symbol(x, y, ox, oy, s):
    """The USB trident, drawn with strokes of width s*1.2 around origin (ox, oy)."""
    w = 1.2 * s
    u, v = (x - ox) / s, (y - oy) / s

    def seg(ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(u - ax - t * dx, v - ay - t * dy) * s <= w / 2

    if seg(-8, 0, 8, 0):            # shaft
        return True
    if u >= 8 and abs(v) <= (11 - u) * 0.9 and u <= 11:   # arrow head
        return True
    if math.hypot(u + 9, v) <= 2.0:  # round base
        return True
    if seg(-3, 0, 0, -4) or seg(0, -4, 5, -4):   # upper branch with a circle
        return True
    if math.hypot(u - 5.5, v + 4) <= 1.4:
        return True
    if seg(-1, 0, 2, 4) or seg(2, 4, 5, 4):      # lower branch with a square
        return True
    if abs(u - 5.5) <= 1.3 and abs(v - 4) <= 1.3:
        return True
    return False


def pixel(x, y, width, height):
    """Colour and coverage of one sample of the flash drive, scaled to the size."""
    sx, sy = x * 80.0 / width, y * 59.0 / height
    if rounded_rect(sx, sy, 60, 19, 78, 40, 1.5):
        if (64 <= sx <= 68 or 71 <= sx <= 75) and 25 <= sy <= 29:
            return METAL_DARK
        return METAL
    if rounded_rect(sx, sy, 3, 11, 61, 48, 7):
        if usb_symbol(sx, sy, 30, 29.5, 1.9):
            return WHITE
        shade = BLUE if sy < 40 else BLUE_DARK
        if rounded_rect(sx, sy, 5, 13, 59, 20, 4):
            return tuple(min(255, c + 40) for c in BLUE)  # highlight along the top
        return shade
    return None


def render(width, height, supersample=4):
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r = g = b = a = 0
            for j in range(supersample):
                for i in range(supersample):
                    c = pixel(x + (i + 0.5) / supersample, y + (j + 0.5) / supersample, width, height)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // supersample ** 2))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon(sizes):
    images = []
    for size in sizes:
        rows = render(size, size)
        xor = b"".join(bytes(v for p in zip(*[iter(row)] * 4) for v in (p[2], p[1], p[0], p[3]))
                       for row in reversed(rows))
        mask_stride = ((size + 31) // 32) * 4
        mask = bytes(mask_stride * size)  # alpha decides; the mask shows everything
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((size, header + xor + mask))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def chime():
    """Two soft bell tones, stereo, 22050 Hz, 16 bits: 193,896 bytes of samples."""
    rate, frames = 22050, 193896 // 4
    out = bytearray()
    for n in range(frames):
        t = n / rate
        value = 0.0
        for start, freq in ((0.0, 880.0), (0.28, 1318.5)):
            if t >= start:
                d = t - start
                env = math.exp(-d * 3.2) * min(1.0, d * 200)
                value += env * (math.sin(2 * math.pi * freq * d) + 0.3 * math.sin(4 * math.pi * freq * d))
        left = int(max(-1, min(1, value * 0.35)) * 32767)
        right = int(max(-1, min(1, value * 0.32)) * 32767)
        out += struct.pack("<hh", left, right)
    fmt = struct.pack("<HHIIHH", 1, 2, rate, rate * 4, 4, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(out)) + out
    return b"RIFF" + struct.pack("<I", len(body)) + body


def main():
    outdir = sys.argv[1]
    with open(f"{outdir}/logo.png", "wb") as f:
        f.write(png(80, 59, render(80, 59)))
    with open(f"{outdir}/drovelkit.ico", "wb") as f:
        f.write(icon((16, 32, 48)))
    with open(f"{outdir}/done.wav", "wb") as f:
        f.write(chime())


if __name__ == "__main__":
    main()
