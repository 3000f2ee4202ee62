#!/usr/bin/env python3
"""Draws Tollbury's application icon and writes it as a Windows .ico:
    make_icon.py OUT.ico [PREVIEW.png]

The design: a dark green rounded square holding a white toll post whose
barrier arm runs across it, with a red tip; big shapes only, so that it stays
legible at 16 pixels. Every size is drawn from the same geometry (coverage by
4x4 supersampling), not scaled from a bitmap. Sizes 16 to 64 are 32-bit DIBs
with their AND mask, 256 is PNG-compressed (as Windows expects). The output
depends on nothing but this file: the PNG's deflate stream is written here
(fixed Huffman codes, a greedy match search), not by the machine's zlib,
whose versions compress the same pixels to different bytes.
"""
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
SUPERSAMPLE = 4

GREEN = (0x0B, 0x5D, 0x3B)
WHITE = (0xFF, 0xFF, 0xFF)
RED = (0xD6, 0x2E, 0x2E)

# Shapes in units of the icon's side (0..1), painted in order.
BADGE = (0.03, 0.03, 0.97, 0.97, 0.20)          # left, top, right, bottom, corner radius
POST = (0.22, 0.26, 0.40, 0.84)                 # the post, left of centre
ARM = (0.22, 0.30, 0.86, 0.46)                  # the barrier arm, across
TIP = (0.70, 0.30, 0.86, 0.46)                  # its red end
BASE = (0.14, 0.76, 0.50, 0.86)                 # the post's foot


def inside_rounded(x, y, box):
    left, top, right, bottom, radius = box
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside(x, y, box):
    return box[0] <= x <= box[2] and box[1] <= y <= box[3]


def colour_at(x, y):
    """The design's colour and opacity (0 or 1) at a point of the unit square."""
    if not inside_rounded(x, y, BADGE):
        return (0, 0, 0), 0
    if inside(x, y, TIP):
        return RED, 1
    if inside(x, y, POST) or inside(x, y, ARM) or inside(x, y, BASE):
        return WHITE, 1
    return GREEN, 1


def render(size):
    """Rows of straight (not premultiplied) RGBA pixels, top row first."""
    rows = []
    step = 1.0 / (size * SUPERSAMPLE)
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    (cr, cg, cb), ca = colour_at((px * SUPERSAMPLE + sx + 0.5) * step,
                                                 (py * SUPERSAMPLE + sy + 0.5) * step)
                    r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
            samples = SUPERSAMPLE * SUPERSAMPLE
            if a:
                row.append((r // a, g // a, b // a, (a * 255 + samples // 2) // samples))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# Deflate's length and distance codes (RFC 1951, 3.2.5): base value and extra bits.
LENGTHS = [(3 + i, 0) for i in range(8)] + [(b, e) for e in range(1, 6) for b in
                                            range(3 + (4 << e), 3 + (8 << e), 1 << e)] + [(258, 0)]
DISTANCES = [(1, 0), (2, 0)] + [(b, e) for e in range(0, 14) for b in (1 + (2 << e), 1 + (3 << e))]
MAX_DISTANCE, MAX_LENGTH = 32768, 258


def code_of(value, table):
    """The index of the entry of a sorted (base, extra bits) table that covers value."""
    index = len(table) - 1
    while table[index][0] > value:
        index -= 1
    return index


def deflate(data, stride):
    """A zlib stream of one block with the fixed Huffman codes; matches are
    found greedily at the nearest earlier place where the next four bytes
    occur, or one pixel or one row (stride bytes) back."""
    bits, count, out = 0, 0, bytearray(b"\x78\x01")

    def put(value, length):  # extra bits, least significant first
        nonlocal bits, count
        bits |= value << count
        count += length
        while count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            count -= 8

    def put_code(code, length):  # Huffman codes, most significant bit first
        put(int(format(code, f"0{length}b")[::-1], 2), length)

    def put_symbol(symbol):
        if symbol < 144:
            put_code(0x30 + symbol, 8)
        elif symbol < 256:
            put_code(0x190 + symbol - 144, 9)
        elif symbol < 280:
            put_code(symbol - 256, 7)
        else:
            put_code(0xC0 + symbol - 280, 8)

    put(1, 1)  # the final block
    put(1, 2)  # fixed codes
    last, at = {}, 0
    while at < len(data):
        key = data[at:at + 4]
        best_length, best_distance = 0, 0
        for start in (last.get(key), at - 4, at - stride):
            if start is None or start < 0 or at - start > MAX_DISTANCE or start >= at:
                continue
            length = 0
            while length < MAX_LENGTH and at + length < len(data) and data[start + length] == data[at + length]:
                length += 1
            if length > best_length:
                best_length, best_distance = length, at - start
        if best_length < 3:
            best_length = 1
            put_symbol(data[at])
        else:
            code = code_of(best_length, LENGTHS)
            put_symbol(257 + code)
            put(best_length - LENGTHS[code][0], LENGTHS[code][1])
            code = code_of(best_distance, DISTANCES)
            put_code(code, 5)
            put(best_distance - DISTANCES[code][0], DISTANCES[code][1])
        for i in range(at, at + best_length):
            last[data[i:i + 4]] = i
        at += best_length
    put_symbol(256)
    put(0, 7)  # to the byte boundary
    out += struct.pack(">I", zlib.adler32(data))
    if zlib.decompress(bytes(out)) != data:
        sys.exit("make_icon.py: the deflate stream does not inflate to its input")
    return bytes(out)


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", deflate(raw, 1 + 4 * size)) + chunk(b"IEND", b""))


def dib(rows):
    """BITMAPINFOHEADER (height doubled for the mask), BGRA rows bottom up, then the AND mask."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def ico(images):
    """ICONDIR, its entries, then the images."""
    offset = 6 + 16 * len(images)
    directory, data = struct.pack("<HHH", 0, 1, len(images)), b""
    for size, image in images:
        side = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return directory + data


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows) if size == 256 else dib(rows)))
        if size == 256 and len(sys.argv) == 3:
            with open(sys.argv[2], "wb") as preview:
                preview.write(png(rows))
    with open(sys.argv[1], "wb") as out:
        out.write(ico(images))


if __name__ == "__main__":
    main()
