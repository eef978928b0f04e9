#!/usr/bin/python3
"""Writes the PGM and TIFF samples of the tour into the folder given as the
first argument: depth.pgm, a 6 x 4 plain PGM with 16-bit samples and a
comment, and depth16.tif, a 16 x 12 TIFF with 16 bits per sample (a red to
blue ramp over a rising green), uncompressed, little-endian.

Only the standard library is used."""
import os
import struct
import sys


def pgm():
    rows = [[1000 * (y + 1) + 250 * x for x in range(6)] for y in range(4)]
    text = "P2\n# 16-bit samples: the largest value is 65535\n6 4\n65535\n"
    return (text + "\n".join(" ".join(str(v) for v in row) for row in rows) + "\n").encode()


def tiff16(w=16, h=12):
    data = bytearray()
    for y in range(h):
        for x in range(w):
            red = 65535 * (w - 1 - x) // (w - 1)
            green = 65535 * y // (h - 1)
            blue = 65535 * x // (w - 1)
            data += struct.pack("<3H", red, green, blue)
    # Tags, in ascending order: (tag, type, count, value); type 3 SHORT, 4 LONG.
    bits_at = 8 + len(data)  # the three BitsPerSample values follow the pixels
    ifd_at = bits_at + 6
    tags = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 3, bits_at), (259, 3, 1, 1), (262, 3, 1, 2),
            (273, 4, 1, 8), (277, 3, 1, 3), (278, 4, 1, h), (279, 4, 1, len(data))]
    ifd = struct.pack("<H", len(tags))
    for tag, typ, count, value in tags:
        packed = struct.pack("<HH", value, 0) if typ == 3 and count == 1 else struct.pack("<I", value)
        ifd += struct.pack("<HHI", tag, typ, count) + packed
    return (b"II*\0" + struct.pack("<I", ifd_at) + bytes(data) + struct.pack("<3H", 16, 16, 16) +
            ifd + b"\0\0\0\0")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    with open(os.path.join(out, "depth.pgm"), "wb") as f:
        f.write(pgm())
    with open(os.path.join(out, "depth16.tif"), "wb") as f:
        f.write(tiff16())


if __name__ == "__main__":
    main()
