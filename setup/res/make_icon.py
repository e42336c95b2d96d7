#!/usr/bin/python3
"""Writes setup.ico: the product icon, a blue package with a white arrow pointing into it, as
16x16 and 32x32 images at 4, 8 and 32 bits per pixel, the 32-bit ones as PNG. Plain struct and
zlib, no third-party modules, so the file comes out byte for byte the same on every machine:

    /usr/bin/python3 setup/res/make_icon.py setup/res/setup.ico
"""
import struct
import sys
import zlib

TRANSPARENT, OUTLINE, BODY, LIGHT, ARROW = range(5)
# Blue, green, red: the order of a bitmap palette.
COLOURS = {OUTLINE: (0x60, 0x30, 0x10), BODY: (0xC8, 0x78, 0x28), LIGHT: (0xF0, 0xC0, 0x80),
           ARROW: (0xFF, 0xFF, 0xFF)}
PALETTE = [(0, 0, 0), COLOURS[OUTLINE], COLOURS[BODY], COLOURS[LIGHT], COLOURS[ARROW]]


def pixel(x, y, size):
    """Colour index at (x, y), y counted from the top, drawn on a 16-unit grid."""
    u = x * 16.0 / size
    v = y * 16.0 / size
    if not (1 <= u < 15 and 3 <= v < 15):
        return TRANSPARENT
    if u < 2 or u >= 14 or v < 4 or v >= 14:
        return OUTLINE
    shaft = 7 <= u < 9 and 4 <= v < 9
    head = 9 <= v < 12 and abs(u - 8) < 12 - v
    if shaft or head:
        return ARROW
    return LIGHT if v < 6 else BODY


def rows(size):
    """Rows bottom-up, as a bitmap stores them."""
    return [[pixel(x, y, size) for x in range(size)] for y in reversed(range(size))]


def pad(data):
    return data + b"\0" * (-len(data) % 4)


def and_mask(size):
    out = b""
    for row in rows(size):
        bits = 0
        for x, index in enumerate(row):
            if index == TRANSPARENT:
                bits |= 1 << (size - 1 - x)
        out += pad(bits.to_bytes(size // 8, "big"))
    return out


def xor_bits(size, bpp):
    out = b""
    for row in rows(size):
        if bpp == 4:
            line = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        elif bpp == 8:
            line = bytes(row)
        else:
            line = b"".join(bytes(COLOURS[i]) + b"\xff" if i != TRANSPARENT else b"\0\0\0\0"
                            for i in row)
        out += pad(line)
    return out


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png(size):
    """A 32-bit image as PNG, which icons may hold since Windows Vista: a tenth of the bitmap's
    bytes in the executable, with the alpha channel as the mask."""
    raw = b""
    for y in range(size):
        raw += b"\0" + b"".join(bytes(reversed(COLOURS[i])) + b"\xff" if i != TRANSPARENT
                                else b"\0\0\0\0" for i in (pixel(x, y, size) for x in range(size)))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def image(size, bpp):
    if bpp == 32:
        return png(size)
    # Only the colours in use are stored: biClrUsed says how many, and an 8-bit image needs no
    # 256-entry palette for five colours.
    colours = 0 if bpp == 32 else len(PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, colours, 0)
    palette = b"".join(bytes(PALETTE[i]) + b"\0" for i in range(colours))
    return header + palette + xor_bits(size, bpp) + and_mask(size)


def icon():
    formats = [(size, bpp) for bpp in (4, 8, 32) for size in (16, 32)]
    images = [image(size, bpp) for size, bpp in formats]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bpp), data in zip(formats, images):
        out += struct.pack("<BBBBHHII", size, size, 16 if bpp == 4 else 0, 0, 1, bpp,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
