#!/usr/bin/python3
"""Writes BMP files with independent encoders (Pillow, ImageMagick and a
run-length encoder of this script) into a folder, together with the pixels
that independent decoders (Pillow, ImageMagick) read back from them.

Usage: make_samples.py FOLDER

FOLDER/manifest lists one sample per line: name width height. For each
sample FOLDER/name.bmp is the file, and name.pil / name.im hold the decoded
pixels as rows of red, green, blue bytes, top row first (a reference is left
out when its decoder is missing or cannot read the file).
"""
import os
import random
import shutil
import subprocess
import sys

from PIL import Image

CONVERT = "/usr/bin/convert-im6.q16"


def random_colours(rng, n):
    return [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(n)]


def blocky(rng, w, h, colours):
    """Runs of one colour with noise in between, so that run-length
    encoders produce both repeated and absolute runs."""
    px = []
    for y in range(h):
        x = 0
        while x < w:
            run = rng.choice([1, 1, 2, 3, 7, 20, 300])
            c = rng.randrange(len(colours))
            for _ in range(min(run, w - x)):
                px.append(c)
            x += run
    return px


def rle4_encode(indices, w, h, odd_absolute):
    """RLE4 pixel data: rows bottom-up, repeated runs of one colour,
    absolute runs elsewhere (of even length only unless odd_absolute), each
    row closed by 0 0."""
    out = bytearray()
    for y in reversed(range(h)):
        row = indices[y * w:(y + 1) * w]
        x = 0
        while x < w:
            # a repeated run of one colour
            n = 1
            while x + n < w and row[x + n] == row[x] and n < 255:
                n += 1
            if n >= 3 or w - x < 3:
                out += bytes([n, (row[x] << 4) | row[x]])
                x += n
                continue
            # an absolute run up to the next repeated run of 3
            n = 3
            while x + n < w and n < 255 and not (
                    x + n + 2 < w and row[x + n] == row[x + n + 1] == row[x + n + 2]):
                n += 1
            if n % 2 and not odd_absolute:
                n -= 1
            if n < 3:  # 0 1 and 0 2 are escapes: code single pixels instead
                out += bytes([1, row[x] << 4])
                x += 1
                continue
            pix = row[x:x + n]
            data = bytearray()
            for i in range(0, n, 2):
                hi = pix[i]
                lo = pix[i + 1] if i + 1 < n else 0
                data.append((hi << 4) | lo)
            if len(data) % 2:
                data.append(0)
            out += bytes([0, n]) + data
            x += n
        out += b"\x00\x00"
    out += b"\x00\x01"
    return bytes(out)


def bmp_bytes(w, h, bits, compression, palette, pixel_data):
    import struct
    pal = b"".join(bytes([b, g, r, 0]) for (r, g, b) in palette)
    off = 14 + 40 + len(pal)
    size = off + len(pixel_data)
    fh = struct.pack("<2sIHHI", b"BM", size, 0, 0, off)
    ih = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, compression, len(pixel_data), 2835, 2835,
                     len(palette), 0)
    return fh + ih + pal + pixel_data


def main():
    folder = sys.argv[1]
    rng = random.Random(20240617)
    have_im = os.access(CONVERT, os.X_OK)
    samples = []  # (name, width, height)

    def add(name, w, h):
        samples.append((name, w, h))

    # Written by Pillow.
    im = Image.new("1", (37, 11))
    im.putdata([rng.randrange(2) * 255 for _ in range(37 * 11)])
    im.save(os.path.join(folder, "pil_1bit.bmp"))
    add("pil_1bit", 37, 11)

    im = Image.new("P", (30, 9))
    im.putpalette([v for c in random_colours(rng, 256) for v in c])
    im.putdata([rng.randrange(256) for _ in range(30 * 9)])
    im.save(os.path.join(folder, "pil_8bit_palette.bmp"))
    add("pil_8bit_palette", 30, 9)

    im = Image.new("L", (31, 7))
    im.putdata([rng.randrange(256) for _ in range(31 * 7)])
    im.save(os.path.join(folder, "pil_8bit_grey.bmp"))
    add("pil_8bit_grey", 31, 7)

    im = Image.new("RGB", (33, 17))
    im.putdata(random_colours(rng, 33 * 17))
    im.save(os.path.join(folder, "pil_24bit.bmp"))
    add("pil_24bit", 33, 17)

    # Run-length encoded 4-bit, by this script (neither tool writes it).
    # Pillow reads only n // 2 bytes of an absolute run of odd length n, so
    # the file with odd runs is checked against ImageMagick alone.
    for name, odd in (("own_rle4", False), ("own_rle4_odd_runs", True)):
        w, h = 27, 12
        pal = random_colours(rng, 16)
        idx = blocky(rng, w, h, pal)
        with open(os.path.join(folder, name + ".bmp"), "wb") as f:
            f.write(bmp_bytes(w, h, 4, 2, pal, rle4_encode(idx, w, h, odd)))
        add(name, w, h)
    pillow_misreads = {"own_rle4_odd_runs"}

    # Written by ImageMagick, from pictures that need no colour reduction.
    if have_im:
        def magick(name, w, h, pixels, args, out_prefix="BMP3:"):
            src = os.path.join(folder, name + ".ppm")
            img = Image.new("RGB", (w, h))
            img.putdata(pixels)
            img.save(src)
            subprocess.run([CONVERT, src] + args + [out_prefix + os.path.join(folder, name + ".bmp")],
                           check=True)
            os.remove(src)
            add(name, w, h)

        magick("im_24bit", 35, 10, random_colours(rng, 350), ["-type", "TrueColor"])
        pal = random_colours(rng, 200)
        magick("im_8bit", 26, 15, [rng.choice(pal) for _ in range(26 * 15)],
               ["-type", "Palette", "-compress", "None"])
        pal = random_colours(rng, 12)
        magick("im_4bit", 29, 13, [rng.choice(pal) for _ in range(29 * 13)], ["-type", "Palette"])
        pal = random_colours(rng, 2)
        magick("im_1bit", 45, 6, [rng.choice(pal) for _ in range(45 * 6)], ["-type", "Palette"])
        pal = random_colours(rng, 40)
        magick("im_rle8", 301, 9, [pal[i] for i in blocky(rng, 301, 9, pal)],
               ["-type", "Palette", "-compress", "RLE"])
        pal = random_colours(rng, 100)
        magick("im_os2_8bit", 22, 8, [rng.choice(pal) for _ in range(22 * 8)], ["-type", "Palette"],
               "BMP2:")
        magick("im_os2_24bit", 19, 5, random_colours(rng, 95), ["-type", "TrueColor"], "BMP2:")

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h in samples:
            path = os.path.join(folder, name + ".bmp")
            try:
                if name in pillow_misreads:
                    raise ValueError(name)
                with Image.open(path) as img:
                    data = img.convert("RGB").tobytes()
                if len(data) == w * h * 3:
                    with open(os.path.join(folder, name + ".pil"), "wb") as f:
                        f.write(data)
            except Exception:  # Pillow cannot read this variant: no reference from it
                pass
            if have_im:
                r = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"], capture_output=True)
                if r.returncode == 0 and len(r.stdout) == w * h * 3:
                    with open(os.path.join(folder, name + ".im"), "wb") as f:
                        f.write(r.stdout)
            m.write(f"{name} {w} {h}\n")


if __name__ == "__main__":
    main()
