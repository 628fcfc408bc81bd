#!/usr/bin/env python3
"""Draws the updater's application icons and writes them as .ico files.

Usage: make_app_icons.py OUTPUT_DIR

Writes updater.ico (the application icon) and updater-done.ico (its green
variant), nine images each, from 16 to 256 pixels: a rounded tile with a
circular arrow. Images up to 96 pixels are 32-bit DIBs, the 256-pixel one is
a PNG. Only the standard library is used.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 20, 24, 32, 40, 48, 64, 96, 256)

# (top colour, bottom colour) of the tile, RGB.
VARIANTS = {
    "updater.ico": ((0x3C, 0x8D, 0xE0), (0x15, 0x4A, 0x9A)),
    "updater-done.ico": ((0x4C, 0xC0, 0x6A), (0x1B, 0x7A, 0x38)),
}


def inside_rounded_square(x, y, n):
    margin = n * 0.05
    radius = n * 0.2
    lo, hi = margin, n - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_arrow(x, y, n):
    """A ring open at the upper right, with an arrowhead at its open end."""
    cx = cy = n / 2
    dx, dy = x - cx, cy - y  # y up
    r = math.hypot(dx, dy)
    outer, inner = n * 0.33, n * 0.21
    angle = math.degrees(math.atan2(dy, dx)) % 360
    gap_start, gap_end = 20.0, 75.0  # degrees, counter-clockwise from +x
    if inner <= r <= outer and not (gap_start <= angle <= gap_end):
        return True
    # Arrowhead at the ring's end at gap_start, pointing into the gap.
    mid = (inner + outer) / 2
    a = math.radians(gap_start)
    tip_len, half_w = n * 0.16, n * 0.17
    bx, by = mid * math.cos(a), mid * math.sin(a)  # base centre
    tx, ty = -math.sin(a), math.cos(a)  # counter-clockwise tangent
    ux, uy = math.cos(a), math.sin(a)  # outward
    px, py = dx - bx, dy - by
    along = px * tx + py * ty
    across = px * ux + py * uy
    if 0 <= along <= tip_len:
        return abs(across) <= half_w * (1 - along / tip_len)
    return False


def render(n, top, bottom):
    """Rows of (r, g, b, a) tuples, top row first, antialiased by supersampling."""
    ss = 4 if n <= 96 else 2
    rows = []
    for py in range(n):
        t = py / max(n - 1, 1)
        tile = tuple(round(top[i] + (bottom[i] - top[i]) * t) for i in range(3))
        row = []
        for px in range(n):
            cover_tile = cover_arrow = 0
            for sy in range(ss):
                for sx in range(ss):
                    x = px + (sx + 0.5) / ss
                    y = py + (sy + 0.5) / ss
                    if inside_rounded_square(x, y, n):
                        cover_tile += 1
                        if inside_arrow(x, y, n):
                            cover_arrow += 1
            total = ss * ss
            if cover_tile == 0:
                row.append((0, 0, 0, 0))
                continue
            w = cover_arrow / cover_tile
            rgb = tuple(round(tile[i] * (1 - w) + 255 * w) for i in range(3))
            row.append(rgb + (round(255 * cover_tile / total),))
        rows.append(row)
    return rows


def png(rows):
    n = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(rows):
    """A 32-bit BGRA DIB as an icon holds it: bottom-up, double height, with
    an AND mask after the colour bits."""
    n = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def ico(images):
    """images: list of (size, bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_app_icons.py OUTPUT_DIR")
    out_dir = Path(sys.argv[1])
    out_dir.mkdir(parents=True, exist_ok=True)
    for name, (top, bottom) in VARIANTS.items():
        images = []
        for n in SIZES:
            rows = render(n, top, bottom)
            images.append((n, png(rows) if n >= 256 else dib(rows)))
        (out_dir / name).write_bytes(ico(images))


if __name__ == "__main__":
    main()
