#!/usr/bin/python3
"""Writes the sample images of the tour into the folder given as the first
argument: sample.bmp, a 32 x 24 picture with 24 bits per pixel (a colour
wheel over a grey ramp), and sample8.bmp, the same picture reduced to a
palette of 16 colours and stored with 8-bit run-length coding.

Only the standard library is used."""
import colorsys
import os
import struct
import sys

W, H = 32, 24


def picture():
    """Rows of (red, green, blue), top row first."""
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            hue = x / W
            light = 0.15 + 0.7 * (H - 1 - y) / (H - 1)
            r, g, b = colorsys.hls_to_rgb(hue, light, 0.9)
            row.append((round(r * 255), round(g * 255), round(b * 255)))
        rows.append(row)
    return rows


def bmp(bits, compression, palette, data):
    pal = b"".join(bytes([b, g, r, 0]) for (r, g, b) in palette)
    off = 14 + 40 + len(pal)
    return (struct.pack("<2sIHHI", b"BM", off + len(data), 0, 0, off) +
            struct.pack("<IiiHHIIiiII", 40, W, H, 1, bits, compression, len(data), 2835, 2835,
                        len(palette), 0) + pal + data)


def rgb24(rows):
    data = bytearray()
    for row in reversed(rows):
        for (r, g, b) in row:
            data += bytes([b, g, r])
        data += bytes((-3 * W) % 4)
    return bytes(data)


def rle8(rows):
    """Sixteen colours: eight hues at two lightnesses; each pixel takes the
    nearest, and rows are coded as runs."""
    palette = []
    for light in (0.35, 0.7):
        for k in range(8):
            r, g, b = colorsys.hls_to_rgb(k / 8, light, 0.9)
            palette.append((round(r * 255), round(g * 255), round(b * 255)))

    def nearest(c):
        return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(c, palette[i])))

    data = bytearray()
    for row in reversed(rows):
        idx = [nearest(c) for c in row]
        x = 0
        while x < W:
            n = 1
            while x + n < W and idx[x + n] == idx[x] and n < 255:
                n += 1
            data += bytes([n, idx[x]])
            x += n
        data += b"\x00\x00"
    data += b"\x00\x01"
    return bmp(8, 1, palette, bytes(data))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    rows = picture()
    with open(os.path.join(out, "sample.bmp"), "wb") as f:
        f.write(bmp(24, 0, [], rgb24(rows)))
    with open(os.path.join(out, "sample8.bmp"), "wb") as f:
        f.write(rle8(rows))


if __name__ == "__main__":
    main()
