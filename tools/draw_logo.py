#!/usr/bin/python3
"""Draws the Lumenvast Player logo: a glowing disc with a play sign.

Writes a 120 x 120 Windows bitmap, 8 bits per pixel with a 256-entry colour
table, uncompressed (BI_RGB), as the dialog's IDB_LOGO. This script is the
logo's source: change the picture here, not the generated file.

Usage: draw_logo.py OUTPUT.bmp
"""
import math
import struct
import sys

SIZE = 120
SAMPLES = 4  # supersampling per axis, for smooth edges
BACKGROUND = (192, 192, 192)  # the classic dialog face
DISC_DARK = (18, 42, 110)
DISC_LIGHT = (70, 190, 250)
SIGN = (255, 255, 255)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def disc_colour(x, y):
    """Radial glow, lit from the upper left."""
    cx, cy = SIZE * 0.38, SIZE * 0.34
    d = math.hypot(x - cx, y - cy) / (SIZE * 0.72)
    return mix(DISC_LIGHT, DISC_DARK, min(1.0, d))


def in_disc(x, y):
    return math.hypot(x - SIZE / 2, y - SIZE / 2) <= SIZE * 0.46


def in_sign(x, y):
    """A play triangle, a little right of centre so that it looks centred."""
    left, right = SIZE * 0.40, SIZE * 0.72
    top, bottom = SIZE * 0.30, SIZE * 0.70
    if x < left or x > right:
        return False
    half = (bottom - top) / 2 * (right - x) / (right - left)
    return abs(y - SIZE / 2) <= half


def in_ring(x, y):
    r = math.hypot(x - SIZE / 2, y - SIZE / 2)
    return SIZE * 0.40 <= r <= SIZE * 0.42 and y < SIZE * 0.5


def render():
    pixels = []
    for row in range(SIZE):
        line = []
        for col in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = col + (sx + 0.5) / SAMPLES
                    y = row + (sy + 0.5) / SAMPLES
                    if not in_disc(x, y):
                        c = BACKGROUND
                    elif in_sign(x, y):
                        c = SIGN
                    elif in_ring(x, y):
                        c = mix(disc_colour(x, y), SIGN, 0.35)
                    else:
                        c = disc_colour(x, y)
                    for i in range(3):
                        acc[i] += c[i]
            n = SAMPLES * SAMPLES
            line.append(tuple(int(round(v / n)) for v in acc))
        pixels.append(line)
    return pixels


def build_palette():
    """Ramps along which every colour of the picture lies."""
    palette = [BACKGROUND]
    ramps = [
        (DISC_DARK, DISC_LIGHT, 120),
        (DISC_LIGHT, SIGN, 48),
        (DISC_DARK, SIGN, 32),
        (BACKGROUND, DISC_DARK, 28),
        (BACKGROUND, DISC_LIGHT, 27),
    ]
    for a, b, steps in ramps:
        for i in range(steps):
            palette.append(tuple(int(round(v)) for v in mix(a, b, i / (steps - 1))))
    assert len(palette) == 256, len(palette)
    return palette


def nearest(palette, colour, cache):
    if colour not in cache:
        cache[colour] = min(
            range(len(palette)),
            key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))
    return cache[colour]


def write_bmp(path, pixels, palette):
    row_size = (SIZE + 3) & ~3
    image_size = row_size * SIZE
    offset = 14 + 40 + 4 * 256
    cache = {}
    out = bytearray()
    out += struct.pack('<2sIHHI', b'BM', offset + image_size, 0, 0, offset)
    out += struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE, 1, 8, 0, image_size,
                       2835, 2835, 256, 0)
    for r, g, b in palette:
        out += bytes((b, g, r, 0))
    for row in reversed(pixels):  # bottom-up, as a positive height says
        line = bytes(nearest(palette, c, cache) for c in row)
        out += line + b'\0' * (row_size - SIZE)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    write_bmp(sys.argv[1], render(), build_palette())
