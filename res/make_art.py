#!/usr/bin/env python3
"""Draws the program's artwork and writes it next to this script:
orlavent.ico (32 x 32, 16 colours) and logo.bmp (120 x 66, 24-bit).

The motif is a lens over a sensor chip. Standard library only, no
randomness: the same files come out on every run."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

ICON_SIZE = 32
LOGO_WIDTH, LOGO_HEIGHT = 120, 66

# The 16-colour VGA palette, as (red, green, blue).
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, TEAL, SILVER, GREY, BLUE, AQUA, WHITE = 0, 4, 6, 7, 8, 12, 14, 15
TRANSPARENT = None

# 5 x 7 glyphs of the word-mark, one string per row.
GLYPHS = {
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
}
WORD_MARK = "ORLAVENT"


def distance(x, y, cx, cy):
    return ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5


# --- icon -------------------------------------------------------------------

def icon_pixel(x, y):
    """Palette index of one icon pixel, or TRANSPARENT."""
    cx = cy = (ICON_SIZE - 1) / 2
    d = distance(x, y, cx, cy)
    if distance(x, y, 12.5, 12.5) <= 1.6:
        return WHITE                       # highlight on the glass
    if d <= 4.5:
        return BLACK                       # aperture
    if d <= 7.5:
        return BLUE                        # glass
    if d <= 9.5:
        return NAVY                        # lens barrel
    if 5 <= x <= 26 and 5 <= y <= 26:
        return GREY if (x in (5, 26) or y in (5, 26)) else SILVER  # chip
    pins = (8, 12, 16, 20, 24)
    if (x in (2, 3, 4) or x in (27, 28, 29)) and (y - 1) in pins or \
       (y in (2, 3, 4) or y in (27, 28, 29)) and (x - 1) in pins:
        return TEAL                        # chip pins
    return TRANSPARENT


def icon_bytes():
    pixels = [[icon_pixel(x, y) for x in range(ICON_SIZE)] for y in range(ICON_SIZE)]
    header = struct.pack("<IiiHHIIiiII", 40, ICON_SIZE, ICON_SIZE * 2, 1, 4, 0,
                         0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in VGA)
    colour_rows, mask_rows = [], []
    for row in reversed(pixels):           # DIB rows go bottom-up
        colour = bytearray()
        for x in range(0, ICON_SIZE, 2):
            hi, lo = (p if p is not None else BLACK for p in row[x:x + 2])
            colour.append(hi << 4 | lo)
        colour_rows.append(bytes(colour))
        bits = 0
        for p in row:
            bits = bits << 1 | (1 if p is TRANSPARENT else 0)
        mask_rows.append(bits.to_bytes(ICON_SIZE // 8, "big"))
    image = header + palette + b"".join(colour_rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", ICON_SIZE, ICON_SIZE, 16, 0, 1, 4,
                        len(image), 6 + 16)
    return directory + entry + image


# --- logo -------------------------------------------------------------------

def blend(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def coverage(inside, x, y, samples=4):
    """Fraction of pixel (x, y) for which inside(px, py) holds."""
    hits = 0
    for i in range(samples):
        for j in range(samples):
            if inside(x + (i + 0.5) / samples, y + (j + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def draw_lens(image, cx, cy, radius):
    rings = [  # (outer radius as a fraction, colour), outermost first
        (1.00, (40, 60, 110)),
        (0.80, (30, 120, 200)),
        (0.45, (10, 12, 20)),
    ]
    for fraction, colour in rings:
        r = radius * fraction
        for y in range(int(cy - r) - 1, int(cy + r) + 2):
            for x in range(int(cx - r) - 1, int(cx + r) + 2):
                t = coverage(lambda px, py: distance(px, py, cx, cy) <= r, x, y)
                if t > 0:
                    image[y][x] = blend(image[y][x], colour, t)
    hx, hy, hr = cx - radius * 0.3, cy - radius * 0.3, radius * 0.15
    for y in range(int(hy - hr) - 1, int(hy + hr) + 2):
        for x in range(int(hx - hr) - 1, int(hx + hr) + 2):
            t = coverage(lambda px, py: distance(px, py, hx, hy) <= hr, x, y)
            image[y][x] = blend(image[y][x], (240, 245, 255), t)


def draw_word(image, text, top, scale, gap, colour):
    glyph_width = 5 * scale
    width = len(text) * glyph_width + (len(text) - 1) * gap
    left = (LOGO_WIDTH - width) // 2
    for n, letter in enumerate(text):
        x0 = left + n * (glyph_width + gap)
        for row, bits in enumerate(GLYPHS[letter]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            image[top + row * scale + dy][x0 + col * scale + dx] = colour
    return left, width


def logo_bytes():
    top_colour, bottom_colour = (22, 34, 58), (8, 12, 22)
    image = [[blend(top_colour, bottom_colour, y / (LOGO_HEIGHT - 1))] * LOGO_WIDTH
             for y in range(LOGO_HEIGHT)]
    draw_lens(image, LOGO_WIDTH / 2, 20, 15)
    left, width = draw_word(image, WORD_MARK, 40, 2, 3, (235, 240, 250))
    for x in range(left, left + width):    # underline
        for y in (57, 58):
            image[y][x] = (30, 120, 200)
    stride = (LOGO_WIDTH * 3 + 3) // 4 * 4
    rows = []
    for row in reversed(image):            # bottom-up, blue-green-red
        data = b"".join(struct.pack("<BBB", b, g, r) for (r, g, b) in row)
        rows.append(data + b"\0" * (stride - len(data)))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, LOGO_WIDTH, LOGO_HEIGHT, 1, 24, 0,
                       len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return file_header + info + pixels


def main():
    for name, data in (("orlavent.ico", icon_bytes()), ("logo.bmp", logo_bytes())):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
