#!/usr/bin/env python3
"""Draws the program icon and writes it as a Windows .ico file.

The picture is a white check mark on a blue rounded square. Every size is
drawn from the same shapes, anti-aliased from signed distances rather than
scaled from one bitmap, so the small images stay sharp. 256 is stored as PNG,
the smaller sizes as 32-bit BMP images with an AND mask, which is what the
shell expects. Only the standard library is used, and the output depends on
nothing but this file, so re-running it gives the same bytes.

Usage: make_icon.py [OUTPUT]   (default: qxhotfix.ico beside this script)
"""

import math
import os
import struct
import sys
import zlib

SIZES = (256, 48, 32, 16)
PNG_MIN_SIZE = 256

# Colours as (r, g, b) in 0..1.
EDGE = (0x14 / 255, 0x45 / 255, 0x8C / 255)
TOP = (0x4A / 255, 0x9C / 255, 0xF0 / 255)
BOTTOM = (0x1E / 255, 0x62 / 255, 0xC4 / 255)
MARK = (1.0, 1.0, 1.0)
SHADOW = (0.0, 0.10, 0.30)

# Check mark path in units of the icon's width.
MARK_POINTS = ((0.28, 0.53), (0.44, 0.69), (0.73, 0.36))


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def coverage(distance):
    """Pixel coverage from a signed distance in pixels (negative inside)."""
    return clamp01(0.5 - distance)


def rounded_square_distance(x, y, size, inset, radius):
    half = size / 2.0
    qx = abs(x - half) - (half - inset - radius)
    qy = abs(y - half) - (half - inset - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment_distance(x, y, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = clamp01(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def polyline_distance(x, y, points, width):
    nearest = min(segment_distance(x, y, points[i], points[i + 1])
                  for i in range(len(points) - 1))
    return nearest - width / 2.0


def over(dst, color, alpha):
    """Composites a straight-alpha colour onto a premultiplied pixel."""
    r, g, b, a = dst
    keep = 1.0 - alpha
    return (color[0] * alpha + r * keep, color[1] * alpha + g * keep,
            color[2] * alpha + b * keep, alpha + a * keep)


def render(size):
    """Returns the picture as rows of straight-alpha RGBA bytes, top row first."""
    # Whole-pixel margin and stroke widths keep the small sizes crisp; the
    # 16-pixel mark gets a little extra weight so that it still reads.
    inset = size / 16.0
    radius = size * 0.19
    edge = max(1.0, round(size / 40.0))
    stroke = max(2.5, round(size * 0.115))
    mark = [(px * size, py * size) for px, py in MARK_POINTS]
    shadow_offset = size * 0.025
    shadow = [(px, py + shadow_offset) for px, py in mark]

    rows = []
    for j in range(size):
        y = j + 0.5
        fill = tuple(t + (b - t) * (y / size) for t, b in zip(TOP, BOTTOM))
        row = bytearray()
        for i in range(size):
            x = i + 0.5
            d = rounded_square_distance(x, y, size, inset, radius)
            pixel = (0.0, 0.0, 0.0, 0.0)
            pixel = over(pixel, EDGE, coverage(d))
            pixel = over(pixel, fill, coverage(d + edge))
            if size >= 32:
                pixel = over(pixel, SHADOW,
                             0.3 * coverage(polyline_distance(x, y, shadow, stroke)))
            pixel = over(pixel, MARK, coverage(polyline_distance(x, y, mark, stroke)))
            r, g, b, a = pixel
            if a <= 0.0:
                row += b"\0\0\0\0"
                continue
            row += bytes((round(clamp01(r / a) * 255), round(clamp01(g / a) * 255),
                          round(clamp01(b / a) * 255), round(a * 255)))
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def encode_png(rows, size):
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(raw, 9))
            + png_chunk(b"IEND", b""))


def encode_dib(rows, size):
    """32-bit BGRA DIB, bottom-up, followed by the 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i in range(size):
            r, g, b, a = row[i * 4:i * 4 + 4]
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def encode_ico(images):
    """images: list of (size, encoded image bytes)."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "qxhotfix.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        encode = encode_png if size >= PNG_MIN_SIZE else encode_dib
        images.append((size, encode(rows, size)))
    with open(out, "wb") as f:
        f.write(encode_ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
