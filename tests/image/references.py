#!/usr/bin/python3
"""Reference pictures and pixels from independent encoders and decoders.

samples FOLDER: BMP files by Pillow, ImageMagick and this script's RLE4
encoder, one per depth, compression and header kind, listed in
FOLDER/manifest (name width height), each then decoded.
decode FILE...: FILE.pil and FILE.im, the pixels (rows of red, green, blue
bytes, top row first) as Pillow and ImageMagick read them, if they can.
"""
import os
import random
import struct
import subprocess
import sys

CONVERT = "/usr/bin/convert-im6.q16"


def dump(path, pillow=True):
    if pillow:
        try:
            from PIL import Image
            with Image.open(path) as img:
                data = img.convert("RGB").tobytes()
            with open(path + ".pil", "wb") as f:
                f.write(data)
        except Exception as e:  # no reference from Pillow
            print(f"{path}: Pillow: {e}", file=sys.stderr)
    if os.access(CONVERT, os.X_OK):
        r = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"], capture_output=True)
        if r.returncode == 0:
            with open(path + ".im", "wb") as f:
                f.write(r.stdout)


def colours(rng, n):
    return [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(n)]


def blocky(rng, w, h, ncolours, runs=(1, 1, 2, 3, 7, 20, 300)):
    """Palette indices in runs of one colour with noise in between, so that
    run-length encoders produce both repeated and absolute runs."""
    px = []
    for _ in range(h):
        x = 0
        while x < w:
            run = min(rng.choice(runs), w - x)
            px += [rng.randrange(ncolours)] * run
            x += run
    return px


def rle4_encode(idx, w, h, odd_absolute):
    """RLE4 pixel data, rows bottom-up: repeated runs of one colour, absolute
    runs of at least 3 pixels elsewhere (of even length only unless
    odd_absolute), each row closed by 0 0, the bitmap by 0 1."""
    out = bytearray()
    for y in reversed(range(h)):
        row, x = idx[y * w:(y + 1) * w], 0
        while x < w:
            n = 1
            while x + n < w and n < 255 and row[x + n] == row[x]:
                n += 1
            m = 0  # pixels before the next run of three
            while x + m < w and m < 254 and len(set(row[x + m:x + m + 3])) > 1:
                m += 1
            if not odd_absolute:
                m -= m % 2
            if n >= 3 or m < 3:  # 0 1 and 0 2 are escapes: short runs are repeats
                out += bytes([n, row[x] * 17])
                x += n
                continue
            pix = row[x:x + m] + [0]
            data = bytes(pix[i] << 4 | pix[i + 1] for i in range(0, m, 2))
            out += bytes([0, m]) + data + b"\0" * (len(data) % 2)
            x += m
        out += b"\0\0"
    return bytes(out + b"\0\1")


def bmp_bytes(w, h, bits, compression, palette, pixel_data):
    pal = b"".join(bytes([b, g, r, 0]) for (r, g, b) in palette)
    off = 14 + 40 + len(pal)
    return (struct.pack("<2sIHHI", b"BM", off + len(pixel_data), 0, 0, off) +
            struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, compression, len(pixel_data), 2835,
                        2835, len(palette), 0) + pal + pixel_data)


def samples(folder):
    from PIL import Image
    rng = random.Random(20240617)
    have_im = os.access(CONVERT, os.X_OK)
    made = []  # (name, width, height, Pillow reads it right)

    def path(name):
        return os.path.join(folder, name + ".bmp")

    def pillow(name, mode, w, h, data, palette=None):
        im = Image.new(mode, (w, h))
        if palette:
            im.putpalette([v for c in palette for v in c])
        im.putdata(data)
        im.save(path(name))
        made.append((name, w, h, True))

    pillow("pil_1bit", "1", 37, 11, [rng.randrange(2) * 255 for _ in range(37 * 11)])
    pillow("pil_8bit", "P", 30, 9, [rng.randrange(256) for _ in range(30 * 9)], colours(rng, 256))
    pillow("pil_24bit", "RGB", 33, 17, colours(rng, 33 * 17))

    # Run-length encoded 4-bit, by this script (neither tool writes it).
    # Pillow reads only n // 2 bytes of an absolute run of odd length n, so
    # the file with odd runs is checked against ImageMagick alone.
    for name, odd in (("own_rle4", False), ("own_rle4_odd_runs", True)):
        w, h, pal = 27, 12, colours(rng, 16)
        idx = blocky(rng, w, h, 16, (1, 1, 2, 3, 5))
        with open(path(name), "wb") as f:
            f.write(bmp_bytes(w, h, 4, 2, pal, rle4_encode(idx, w, h, odd)))
        made.append((name, w, h, not odd))

    # Written by ImageMagick, from pictures that need no colour reduction.
    def magick(name, w, h, pixels, args, out_prefix="BMP3:"):
        src = os.path.join(folder, name + ".ppm")
        img = Image.new("RGB", (w, h))
        img.putdata(pixels)
        img.save(src)
        subprocess.run([CONVERT, src] + args + [out_prefix + path(name)], check=True)
        os.remove(src)
        made.append((name, w, h, True))

    if have_im:
        pal = colours(rng, 12)
        magick("im_4bit", 29, 13, [rng.choice(pal) for _ in range(29 * 13)], ["-type", "Palette"])
        pal = colours(rng, 40)
        magick("im_rle8", 301, 9, [pal[i] for i in blocky(rng, 301, 9, 40)],
               ["-type", "Palette", "-compress", "RLE"])
        pal = colours(rng, 100)
        magick("im_os2_8bit", 22, 8, [rng.choice(pal) for _ in range(22 * 8)],
               ["-type", "Palette"], "BMP2:")

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h, pillow_reads in made:
            dump(path(name), pillow_reads)
            m.write(f"{name} {w} {h}\n")


if __name__ == "__main__":
    if sys.argv[1] == "samples":
        samples(sys.argv[2])
    else:
        for p in sys.argv[2:]:
            dump(p)
