#!/usr/bin/python3
"""Writes the picture of sample.bmp (see image.py) into the folder given as
the first argument in two more formats: sample.pcx, three planes of 8 bits
with run-length coded lines, and sample.tga, 24 bits per pixel in run-length
packets, rows stored bottom-up.

Only the standard library is used."""
import os
import struct
import sys

from image import H, W, picture


def pcx(rows):
    # Each line holds the red, then green, then blue bytes of the row; a run
    # of up to 63 equal bytes is 0xC0 + count and the byte, and a single
    # byte below 0xC0 stands for itself.
    header = struct.pack("<4B6H48s2B4H54x", 10, 5, 1, 8, 0, 0, W - 1, H - 1, 72, 72,
                         bytes(48), 0, 3, W, 1, 0, 0)
    data = bytearray()
    for row in rows:
        line = [c[k] for k in range(3) for c in row]
        i = 0
        while i < len(line):
            n = 1
            while i + n < len(line) and n < 63 and line[i + n] == line[i]:
                n += 1
            if n > 1 or line[i] >= 0xC0:
                data += bytes([0xC0 | n, line[i]])
            else:
                data.append(line[i])
            i += n
    return header + bytes(data)


def tga(rows):
    # Packets of up to 128 pixels within a row: a run (0x80 + count - 1 and
    # one pixel) or raw pixels (count - 1 and the pixels), blue first.
    header = struct.pack("<3BHHB4H2B", 0, 0, 10, 0, 0, 0, 0, 0, W, H, 24, 0)
    data = bytearray()
    for row in reversed(rows):
        px = [bytes([b, g, r]) for (r, g, b) in row]
        i = 0
        while i < W:
            n = 1
            while i + n < W and n < 128 and px[i + n] == px[i]:
                n += 1
            if n > 1:
                data += bytes([0x80 | (n - 1)]) + px[i]
            else:
                m = 1
                while i + m < W and m < 128 and px[i + m] != px[i + m - 1]:
                    m += 1
                data += bytes([m - 1]) + b"".join(px[i:i + m])
                n = m
            i += n
    return header + bytes(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    rows = picture()
    with open(os.path.join(out, "sample.pcx"), "wb") as f:
        f.write(pcx(rows))
    with open(os.path.join(out, "sample.tga"), "wb") as f:
        f.write(tga(rows))


if __name__ == "__main__":
    main()
