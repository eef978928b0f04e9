#!/usr/bin/python3
"""Writes sample.gif into the folder given as the first argument: the
picture of sample.bmp (gen/image.py) on a palette of 6 x 7 x 6 colours,
interlaced, with a comment block before the image.

Only the standard library is used."""
import os
import struct
import sys

from image import H, W, picture

LEVELS = (6, 7, 6)  # red, green and blue levels of the palette


def palette():
    return [(round(r * 255 / 5), round(g * 255 / 6), round(b * 255 / 5))
            for r in range(6) for g in range(7) for b in range(6)]


def index(colour):
    r, g, b = (round(v * (n - 1) / 255) for v, n in zip(colour, LEVELS))
    return (r * LEVELS[1] + g) * LEVELS[2] + b


def lzw(px, m=8):
    """LZW data, codes packed least significant bit first: a clear code
    first and whenever the 12-bit table is full, the end code last."""
    clear, out = 1 << m, bytearray()
    acc = bits = 0

    def put(code, width):
        nonlocal acc, bits
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 255)
            acc >>= 8
            bits -= 8

    def added(nxt, width):
        # The reader adds an entry after every code but a table's first and
        # widens its codes when the entry reaches the next power of two.
        if nxt < 4096:
            nxt += 1
            if nxt - 1 >= 1 << width and width < 12:
                width += 1
        return nxt, width

    table, width, nxt = {}, m + 1, clear + 2
    put(clear, width)
    cur = px[0]
    for k in px[1:]:
        if (cur, k) in table:
            cur = table[cur, k]
            continue
        put(cur, width)
        if nxt < 4096:
            table[cur, k] = nxt
            nxt, width = added(nxt, width)
        else:
            put(clear, width)
            table, width, nxt = {}, m + 1, clear + 2
        cur = k
    put(cur, width)
    nxt, width = added(nxt, width)
    if nxt == 4096:
        put(clear, width)
        width = m + 1
    put(clear + 1, width)
    if bits:
        out.append(acc)
    return bytes(out)


def interlaced(rows):
    """Rows in the order of the four passes: every 8th from 0, every 8th
    from 4, every 4th from 2, every 2nd from 1."""
    return [rows[y] for first, step in ((0, 8), (4, 8), (2, 4), (1, 2))
            for y in range(first, len(rows), step)]


def gif(rows):
    pal = palette()
    pal += [(0, 0, 0)] * (256 - len(pal))
    px = [index(c) for row in interlaced(rows) for c in row]
    data = lzw(px)
    comment = b"made by gen/gif.py"
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", W, H, 0xF7, 0, 0))
    out += bytes(v for c in pal for v in c)
    out += b"\x21\xfe" + bytes([len(comment)]) + comment + b"\x00"
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, W, H, 0x40) + b"\x08"
    for i in range(0, len(data), 255):
        block = data[i:i + 255]
        out += bytes([len(block)]) + block
    return bytes(out + b"\x00\x3b")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    with open(os.path.join(out, "sample.gif"), "wb") as f:
        f.write(gif(picture()))


if __name__ == "__main__":
    main()
