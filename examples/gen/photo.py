#!/usr/bin/python3
"""Writes photo.jpg into the folder given as the first argument: a 48 x 32
landscape (sky, sun, hills and a lake) compressed by libjpeg-turbo's cjpeg at
quality 85 with 4:2:0 chroma, as cameras store pictures, and stored the way
phones write it: an Exif segment in place of the JFIF one.

The picture is drawn with the standard library only."""
import math
import os
import subprocess
import sys

W, H = 48, 32


def pixel(x, y):
    sun = math.hypot(x - 34, y - 9)
    hills = 20 + 4 * math.sin(x / 6)
    if y > 25:  # the lake mirrors the sky
        return pixel(x, 50 - y)[:2] + (200,)
    if y > hills:
        shade = int(60 + 3 * (y - hills))
        return (shade // 2, shade + 40, shade // 3)
    if sun < 5:
        return (255, 230, 120)
    glow = max(0, 60 - 6 * sun)
    return (int(90 + 5 * y + glow), int(140 + 3 * y + glow / 2), 230 - 2 * y)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    ppm = b"P6 %d %d 255\n" % (W, H) + bytes(
        min(255, c) for y in range(H) for x in range(W) for c in pixel(x, y))
    jpeg = subprocess.run(["cjpeg", "-quality", "85"], input=ppm, capture_output=True,
                          check=True).stdout
    app0 = 4 + int.from_bytes(jpeg[4:6], "big")  # SOI, then the JFIF segment
    exif = b"Exif\0\0" + b"II*\0\x08\0\0\0" + b"\0\0" + b"\0\0\0\0"  # one empty directory
    app1 = b"\xFF\xE1" + (len(exif) + 2).to_bytes(2, "big") + exif
    with open(os.path.join(out, "photo.jpg"), "wb") as f:
        f.write(jpeg[:2] + app1 + jpeg[app0:])


if __name__ == "__main__":
    main()
