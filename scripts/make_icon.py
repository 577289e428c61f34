#!/usr/bin/env python3
"""Draws the Keymason key icon and writes app/keymason.ico.

Thirteen images, in this order: 48, 32, 24 and 16 px at 4 bpp; the same at
8 bpp; 256, 48, 32, 24 and 16 px at 32 bpp (the 256 px one stored as PNG).
Standard library only, so the committed .ico can be regenerated anywhere:
    python3 scripts/make_icon.py [output.ico]
"""

import math
import os
import struct
import sys
import zlib

# A brass key lying on the diagonal: round bow at the top left, shaft and
# bit towards the bottom right. Coordinates are in the unit square.
BOW_CENTRE = (0.30, 0.30)
AXIS = (math.sqrt(0.5), math.sqrt(0.5))     # along the shaft
NORMAL = (-math.sqrt(0.5), math.sqrt(0.5))  # the side the bit points to
BOW_OUTER = 0.215
BOW_HOLE = 0.085
SHAFT_FROM, SHAFT_TO, SHAFT_HALF = 0.15, 0.74, 0.058
BITS = ((0.50, 0.58, 0.17), (0.63, 0.74, 0.21))  # (from, to, reach) along the axis
OUTLINE = 0.030

OUTLINE_RGB = (74, 46, 8)
SHADE_RGB = (176, 118, 26)
LIGHT_RGB = (250, 214, 112)


def box_distance(u, v, u0, u1, v0, v1):
    """Signed distance to an axis-aligned box in key coordinates."""
    cu, cv = (u0 + u1) / 2, (v0 + v1) / 2
    hu, hv = (u1 - u0) / 2, (v1 - v0) / 2
    du, dv = abs(u - cu) - hu, abs(v - cv) - hv
    outside = math.hypot(max(du, 0.0), max(dv, 0.0))
    return outside + min(max(du, dv), 0.0)


def key_distance(x, y):
    """Signed distance from (x, y) to the key's edge: negative inside."""
    dx, dy = x - BOW_CENTRE[0], y - BOW_CENTRE[1]
    u = dx * AXIS[0] + dy * AXIS[1]
    v = dx * NORMAL[0] + dy * NORMAL[1]
    r = math.hypot(dx, dy)
    ring = abs(r - (BOW_OUTER + BOW_HOLE) / 2) - (BOW_OUTER - BOW_HOLE) / 2
    shaft = box_distance(u, v, SHAFT_FROM, SHAFT_TO, -SHAFT_HALF, SHAFT_HALF)
    d = min(ring, shaft)
    for u0, u1, reach in BITS:
        d = min(d, box_distance(u, v, u0, u1, 0.0, reach))
    return d


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def sample_colour(x, y, d):
    """The colour at a point inside the key: a dark rim, brass lit from the top left."""
    if d > -OUTLINE:
        return OUTLINE_RGB
    light = max(0.0, min(1.0, 1.15 - (x + y) * 0.75))
    return mix(SHADE_RGB, LIGHT_RGB, light)


def render(size):
    """RGBA rows, top row first, supersampled for smooth edges."""
    grid = 4 if size <= 64 else 3
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(grid):
                for sx in range(grid):
                    x = (px + (sx + 0.5) / grid) / size
                    y = (py + (sy + 0.5) / grid) / size
                    d = key_distance(x, y)
                    if d < 0:
                        c = sample_colour(x, y, d)
                        acc = [acc[i] + c[i] for i in range(3)]
                        hits += 1
            if hits:
                row.append(tuple(round(acc[i] / hits) for i in range(3)) + (round(255 * hits / grid**2),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def palette(count):
    """A ramp through the key's own colours; entry 0 stays black for the mask."""
    stops = [OUTLINE_RGB, SHADE_RGB, LIGHT_RGB, (255, 244, 200)]
    entries = [(0, 0, 0)]
    steps = count - 1
    for i in range(steps):
        t = i / (steps - 1) * (len(stops) - 1)
        k = min(int(t), len(stops) - 2)
        entries.append(tuple(round(c) for c in mix(stops[k], stops[k + 1], t - k)))
    return entries


def nearest(entries, rgb):
    return min(range(1, len(entries)),
               key=lambda i: sum((entries[i][j] - rgb[j]) ** 2 for j in range(3)))


def and_mask(rows, size, opaque):
    """1 bpp mask, bottom row first, rows padded to 32 bits; 1 = transparent."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if not opaque(px):
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bpp, image_bytes, colours):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, image_bytes, 0, 0, colours, 0)


def paletted_dib(rows, size, bpp):
    entries = palette(1 << bpp)
    opaque = lambda px: px[3] >= 128
    stride = ((size * bpp + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows):
        indices = [nearest(entries, px[:3]) if opaque(px) else 0 for px in row]
        line = bytearray(stride)
        if bpp == 8:
            line[:size] = bytes(indices)
        else:
            for x, index in enumerate(indices):
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += line
    mask = and_mask(rows, size, opaque)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in entries)
    return bitmap_header(size, bpp, len(pixels) + len(mask), len(entries)) + table + bytes(pixels) + mask


def rgba_dib(rows, size):
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = and_mask(rows, size, lambda px: px[3] > 0)
    return bitmap_header(size, 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def png(rows, size):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = b''.join(b'\x00' + bytes(v for px in row for v in px) for row in rows)
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


LAYOUT = [(48, 4), (32, 4), (24, 4), (16, 4),
          (48, 8), (32, 8), (24, 8), (16, 8),
          (256, 32), (48, 32), (32, 32), (24, 32), (16, 32)]


def build_icon():
    renders = {}
    images = []
    for size, bpp in LAYOUT:
        rows = renders.setdefault(size, render(size))
        if bpp == 32:
            data = png(rows, size) if size == 256 else rgba_dib(rows, size)
        else:
            data = paletted_dib(rows, size, bpp)
        images.append((size, bpp, data))

    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        dim = 0 if size == 256 else size
        colours = 16 if bpp == 4 else 0
        out += struct.pack('<BBBBHHII', dim, dim, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'app', 'keymason.ico')
    with open(target, 'wb') as f:
        f.write(build_icon())


if __name__ == '__main__':
    main()
