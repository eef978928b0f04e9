#!/usr/bin/python3
"""Reference pictures and pixels from independent encoders and decoders.

samples FOLDER: BMP files by Pillow, ImageMagick and this script (RLE4,
16-bit pixels, top-down rows), one per depth, compression and header kind,
listed in FOLDER/manifest (name width height), each then decoded.
decode FILE...: FILE.pil and FILE.im, the pixels (rows of red, green, blue
bytes, top row first) as Pillow and ImageMagick read them, if they can.
"""
import os
import random
import struct
import subprocess
import sys

CONVERT = "/usr/bin/convert-im6.q16"


def dump(path, pillow=True, magick=True):
    if pillow:
        try:
            from PIL import Image
            with Image.open(path) as img:
                data = img.convert("RGB").tobytes()
            with open(path + ".pil", "wb") as f:
                f.write(data)
        except Exception as e:  # no reference from Pillow
            print(f"{path}: Pillow: {e}", file=sys.stderr)
    if magick and os.access(CONVERT, os.X_OK):
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


def bmp_bytes(w, h, bits, compression, palette, pixel_data, masks=(), header=40):
    """A BMP file with an information header of the given size (cut short,
    or zeros past its first 40 bytes); masks lie at its byte 40 when it has
    room, else after it."""
    pal = b"".join(bytes([b, g, r, 0]) for (r, g, b) in palette)
    fields = b"".join(struct.pack("<I", m) for m in masks)
    info = struct.pack("<IiiHHIIiiII", header, w, h, 1, bits, compression, len(pixel_data), 2835,
                       2835, len(palette), 0)
    if header >= 52:
        info = (info + fields).ljust(header, b"\0")
    else:
        info = info[:header].ljust(header, b"\0") + fields
    off = 14 + len(info) + len(pal)
    return (struct.pack("<2sIHHI", b"BM", off + len(pixel_data), 0, 0, off) + info + pal +
            pixel_data)


def stored_rows(rows, n, top_down=False):
    """Rows (top first) of n-byte little-endian values, padded to 4 bytes,
    stored bottom-up unless top_down."""
    out = bytearray()
    for row in (rows if top_down else reversed(rows)):
        b = b"".join(v.to_bytes(n, "little") for v in row)
        out += b + b"\0" * (-len(b) % 4)
    return bytes(out)


def samples(folder):
    from PIL import Image
    rng = random.Random(20240617)
    have_im = os.access(CONVERT, os.X_OK)
    made = []  # (name, width, height, Pillow reads it right, ImageMagick does)

    def path(name):
        return os.path.join(folder, name + ".bmp")

    def pillow(name, mode, w, h, data, palette=None):
        im = Image.new(mode, (w, h))
        if palette:
            im.putpalette([v for c in palette for v in c])
        im.putdata(data)
        im.save(path(name))
        made.append((name, w, h, True, True))

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
        made.append((name, w, h, not odd, True))

    # Written by ImageMagick, from pictures that need no colour reduction.
    def magick(name, w, h, pixels, args, out_prefix="BMP3:", magick_reads=True):
        src = os.path.join(folder, name + ".ppm")
        img = Image.new("RGB", (w, h))
        img.putdata(pixels)
        img.save(src)
        subprocess.run([CONVERT, src] + args + [out_prefix + path(name)], check=True)
        os.remove(src)
        made.append((name, w, h, True, magick_reads))

    if have_im:
        pal = colours(rng, 12)
        magick("im_4bit", 29, 13, [rng.choice(pal) for _ in range(29 * 13)], ["-type", "Palette"])
        pal = colours(rng, 40)
        magick("im_rle8", 301, 9, [pal[i] for i in blocky(rng, 301, 9, 40)],
               ["-type", "Palette", "-compress", "RLE"])
        pal = colours(rng, 100)
        magick("im_os2_8bit", 22, 8, [rng.choice(pal) for _ in range(22 * 8)],
               ["-type", "Palette"], "BMP2:")

    # Hand-built files Pillow reads: 16-bit pixels, 5-5-5 without compression
    # and 5-6-5 bit fields; 24- and 8-bit rows stored top-down (negative
    # height). ImageMagick widens 5- and 6-bit fields by repeating their top
    # bits, where Pillow scales them by 255 / 31 and 255 / 63: the 16-bit
    # files are checked against Pillow alone.
    def own(name, w, h, data, magick=True):
        with open(path(name), "wb") as f:
            f.write(data)
        made.append((name, w, h, True, magick))

    def rand_rows(w, h, top):
        return [[rng.randrange(top) for _ in range(w)] for _ in range(h)]

    own("own_555", 23, 7, bmp_bytes(23, 7, 16, 0, [], stored_rows(rand_rows(23, 7, 65536), 2)),
        False)
    own("own_565", 21, 6, bmp_bytes(21, 6, 16, 3, [], stored_rows(rand_rows(21, 6, 65536), 2),
                                    (0xF800, 0x07E0, 0x001F)), False)
    own("own_topdown_24bit", 13, 5,
        bmp_bytes(13, -5, 24, 0, [], stored_rows(rand_rows(13, 5, 1 << 24), 3, True)))
    own("own_topdown_8bit", 14, 6, bmp_bytes(14, -6, 8, 0, colours(rng, 256),
                                             stored_rows(rand_rows(14, 6, 256), 1, True)))
    # Other header sizes: version 4 (108 bytes) for both; OS/2 2.x (64) for
    # Pillow alone (ImageMagick takes its palette entries as three bytes,
    # where the format has four); version 3 (56) for ImageMagick alone
    # (Pillow refuses that size).
    own("own_v4_32bit", 11, 5, bmp_bytes(11, 5, 32, 3, [], stored_rows(rand_rows(11, 5, 1 << 32), 4),
                                         (0xFF0000, 0xFF00, 0xFF, 0xFF000000), 108))
    own("own_os2v2_8bit", 12, 4, bmp_bytes(12, 4, 8, 0, colours(rng, 256),
                                           stored_rows(rand_rows(12, 4, 256), 1), (), 64), False)
    own("own_v3_32bit", 10, 3, bmp_bytes(10, 3, 32, 3, [], stored_rows(rand_rows(10, 3, 1 << 32), 4),
                                         (0xFF00, 0xFF0000, 0xFF000000, 0xFF), 56))
    made[-1] = made[-1][:3] + (False, True)

    # Pillow writes RGBA as 32 bits without compression.
    im = Image.new("RGBA", (19, 7))
    im.putdata([c + (rng.randrange(256),) for c in colours(rng, 19 * 7)])
    im.save(path("pil_rgba"))
    made.append(("pil_rgba", 19, 7, True, True))

    if have_im:
        # The version 5 header ImageMagick writes by default, bit fields of
        # 32-bit pixels with alpha, and 16-bit subtypes.
        magick("im_v5_24bit", 31, 9, colours(rng, 31 * 9), [], "BMP:")
        pal = colours(rng, 30)
        magick("im_v5_8bit", 26, 7, [rng.choice(pal) for _ in range(26 * 7)],
               ["-type", "Palette", "-compress", "None"], "BMP:")
        pal = colours(rng, 40)
        magick("im_v5_rle8", 150, 6, [pal[i] for i in blocky(rng, 150, 6, 40)],
               ["-type", "Palette"], "BMP:")
        magick("im_v5_rgba", 15, 6, colours(rng, 15 * 6),
               ["-alpha", "on", "-channel", "A", "-fx", "(i+j)/30", "+channel"], "BMP:")
        for subtype in ("RGB565", "RGB555"):
            magick("im_" + subtype, 25, 4, colours(rng, 25 * 4),
                   ["-define", "bmp:subtype=" + subtype], "BMP:", False)

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h, pillow_reads, magick_reads in made:
            dump(path(name), pillow_reads, magick_reads)
            m.write(f"{name} {w} {h}\n")


if __name__ == "__main__":
    if sys.argv[1] == "samples":
        samples(sys.argv[2])
    else:
        for p in sys.argv[2:]:
            dump(p)
