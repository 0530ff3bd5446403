#!/usr/bin/env python3
"""Draws zelk's application mark (a white Z on a rounded teal square) as 8-bit RGBA PNGs.

Run once to regenerate assets/icon-32.png and assets/icon-192.png; the build embeds them.
"""
import struct
import sys
import zlib


def inside_rounded_square(x, y, size, radius):
    cx = min(max(x, radius), size - radius)
    cy = min(max(y, radius), size - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_z(x, y, size):
    m = size * 0.22          # margin
    t = size * 0.14          # stroke thickness
    lo, hi = m, size - m
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    if y <= lo + t or y >= hi - t:   # top and bottom bars
        return True
    # diagonal from top-right to bottom-left
    u = (x - lo) / (hi - lo)
    v = (y - lo) / (hi - lo)
    return abs((1 - u) - v) * (hi - lo) <= t * 0.75


def pixel(x, y, size):
    samples = 4  # supersampling for smooth edges
    bg = fg = 0
    for i in range(samples):
        for j in range(samples):
            px = x + (i + 0.5) / samples
            py = y + (j + 0.5) / samples
            if inside_rounded_square(px, py, size, size * 0.2):
                if in_z(px, py, size):
                    fg += 1
                else:
                    bg += 1
    n = samples * samples
    alpha = (bg + fg) / n
    if bg + fg == 0:
        return (0, 0, 0, 0)
    teal = (16, 122, 128)
    white = (255, 255, 255)
    w = fg / (bg + fg)
    rgb = tuple(round(teal[k] * (1 - w) + white[k] * w) for k in range(3))
    return rgb + (round(alpha * 255),)


def png(size):
    rows = b""
    for y in range(size):
        rows += b"\x00" + b"".join(bytes(pixel(x, y, size)) for x in range(size))

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "assets"
    for size in (32, 192):
        with open(f"{out}/icon-{size}.png", "wb") as f:
            f.write(png(size))
