#!/usr/bin/env python3
"""Draws the Quillstone icon (every size Windows asks for, from 16 to 128 pixels, 32-bit
with alpha) into an .ico, each size drawn from the art itself rather than shrunk.

A slate-teal rounded stone with a white quill laid across it and a green
"alive" dot: the supervisor that writes nothing and watches everything.
Pure Python, no libraries, so every build machine can make it.
"""
import math
import struct
import sys


def smoothstep(e0, e1, x):
    t = min(max((x - e0) / (e1 - e0), 0.0), 1.0)
    return t * t * (3 - 2 * t)


def rounded_box_sd(px, py, cx, cy, hw, hh, r):
    qx, qy = abs(px - cx) - hw + r, abs(py - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def segment_sd(px, py, ax, ay, bx, by):
    pax, pay, bax, bay = px - ax, py - ay, bx - ax, by - ay
    h = min(max((pax * bax + pay * bay) / (bax * bax + bay * bay), 0.0), 1.0)
    return math.hypot(pax - bax * h, pay - bay * h), h


def over(dst, src, a):
    return tuple(s * a + d * (1 - a) for s, d in zip(src, dst))


def shade(u, v):
    """Colour (r, g, b, a) at unit coordinates u, v in [0, 1)."""
    rgb, alpha = (0.0, 0.0, 0.0), 0.0
    # The stone: a rounded square, lighter at the top.
    d = rounded_box_sd(u, v, 0.5, 0.5, 0.46, 0.46, 0.16)
    a = 1.0 - smoothstep(-0.01, 0.01, d)
    if a > 0:
        top, bottom = (0.20, 0.52, 0.58), (0.09, 0.27, 0.33)
        rgb = tuple(t + (b - t) * v for t, b in zip(top, bottom))
        alpha = a
    # The quill: a tapering feather from upper right to lower left.
    ax, ay, bx, by = 0.80, 0.16, 0.24, 0.80
    dist, h = segment_sd(u, v, ax, ay, bx, by)
    width = 0.02 + 0.11 * math.sin(math.pi * min(h * 1.15, 1.0)) * (1 - h) ** 0.3
    q = 1.0 - smoothstep(width - 0.012, width + 0.012, dist)
    if q > 0:
        rgb, alpha = over(rgb, (0.97, 0.97, 0.94), q), max(alpha, q)
    # The shaft inside the feather.
    s = 1.0 - smoothstep(0.008, 0.02, dist)
    if s > 0 and h < 0.98:
        rgb = over(rgb, (0.55, 0.62, 0.66), s * 0.8)
    # The nib: a short dark stroke past the feather's end.
    nd, nh = segment_sd(u, v, 0.24, 0.80, 0.17, 0.88)
    n = 1.0 - smoothstep(0.015, 0.03, nd)
    if n > 0:
        rgb, alpha = over(rgb, (0.10, 0.12, 0.14), n), max(alpha, n)
    # The green dot: supervision is alive.
    g = 1.0 - smoothstep(0.085, 0.105, math.hypot(u - 0.76, v - 0.76))
    if g > 0:
        ring = 1.0 - smoothstep(0.105, 0.125, math.hypot(u - 0.76, v - 0.76))
        rgb = over(rgb, (1.0, 1.0, 1.0), ring)
        rgb, alpha = over(rgb, (0.18, 0.85, 0.30), g), max(alpha, ring)
    return rgb, alpha


def render(size, ss=4):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc, aacc = [0.0, 0.0, 0.0], 0.0
            for sy in range(ss):
                for sx in range(ss):
                    (r, g, b), a = shade((x + (sx + 0.5) / ss) / size, (y + (sy + 0.5) / ss) / size)
                    acc = [acc[0] + r * a, acc[1] + g * a, acc[2] + b * a]
                    aacc += a
            n = ss * ss
            a = aacc / n
            rgb = [c / aacc if aacc else 0.0 for c in acc]
            row.append(tuple(int(round(c * 255)) for c in rgb) + (int(round(a * 255)),))
        rows.append(row)
    return rows


def dib(size, rows):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # alpha carries the shape
    return header + bytes(pixels) + mask


def main(out):
    # 16, 20, 24 (small icons at 100 %, 125 %, 150 %), 32, 40, 48 (large ones), 64, 128.
    sizes = (128, 64, 48, 40, 32, 24, 20, 16)
    images = [dib(s, render(s)) for s in sizes]
    data = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        data += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(out, 'wb') as f:
        f.write(data + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1])
