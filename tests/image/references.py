#!/usr/bin/python3
"""Reference pictures and pixels from independent encoders and decoders.

samples FOLDER: BMP files by Pillow, ImageMagick and this script (RLE4,
16-bit pixels, top-down rows), one per depth, compression and header kind,
listed in FOLDER/manifest (name width height), each then decoded.
png_samples FOLDER: the same for PNG files (see png_samples).
decode FILE...: FILE.pil and FILE.im, the pixels (rows of red, green, blue
bytes, top row first) as Pillow and ImageMagick read them, if they can.
"""
import os
import random
import struct
import subprocess
import sys
import zlib

CONVERT = "/usr/bin/convert-im6.q16"


def dump(path, pillow=True, magick=True, sixteen=False):
    """The pixels as Pillow and ImageMagick read them; 16-bit samples (of
    files with sixteen set, and Pillow's 16-bit grey) rounded to bytes here,
    since ImageMagick's own reduction truncates."""
    if pillow:
        try:
            from PIL import Image
            with Image.open(path) as img:
                if img.mode.startswith("I"):  # 16-bit grey, kept whole
                    data = bytes(round16(v) for v in img.getdata() for _ in range(3))
                else:
                    data = img.convert("RGB").tobytes()
            with open(path + ".pil", "wb") as f:
                f.write(data)
        except Exception as e:  # no reference from Pillow
            print(f"{path}: Pillow: {e}", file=sys.stderr)
    if magick and os.access(CONVERT, os.X_OK):
        depth = ["-depth", "16", "-endian", "MSB"] if sixteen else ["-depth", "8"]
        r = subprocess.run([CONVERT, path] + depth + ["rgb:-"], capture_output=True)
        if r.returncode == 0:
            data = r.stdout
            if sixteen:
                data = bytes(round16(data[i] << 8 | data[i + 1]) for i in range(0, len(data), 2))
            with open(path + ".im", "wb") as f:
                f.write(data)


def round16(v):
    """A 16-bit sample as a byte, rounded."""
    return (v * 255 + 32767) // 65535


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


def netpbm(path, w, h, tuple_type, depth, samples):
    """A 16-bit PAM file of w x h pixels of depth samples each."""
    with open(path, "wb") as f:
        f.write(f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {depth}\nMAXVAL 65535\n"
                f"TUPLTYPE {tuple_type}\nENDHDR\n".encode())
        f.write(b"".join(v.to_bytes(2, "big") for v in samples))


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data)))


ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


def png_bytes(w, h, colour, depth, rows, palette=(), interlace=0):
    """A PNG file of one sample per pixel (grey or palette index), rows top
    first, unfiltered; interlaced in the seven passes when asked."""
    def scanlines(sub):
        out = bytearray()
        for row in sub:
            out.append(0)
            if depth == 8:
                out += bytes(row)
                continue
            bits = "".join(format(v, f"0{depth}b") for v in row)
            bits += "0" * (-len(bits) % 8)
            out += bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
        return out

    if interlace:
        data = bytearray()
        for x0, y0, dx, dy in ADAM7:
            sub = [row[x0::dx] for row in rows[y0::dy]]
            if sub and sub[0]:
                data += scanlines(sub)
    else:
        data = scanlines(rows)
    pal = b"".join(bytes(c) for c in palette)
    return (b"\x89PNG\r\n\x1a\n" +
            png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, interlace)) +
            (png_chunk(b"PLTE", pal) if pal else b"") + png_chunk(b"IDAT", zlib.compress(data)) +
            png_chunk(b"IEND", b""))


def png_samples(folder):
    """PNG files in every colour type and bit depth, plain and interlaced,
    listed in FOLDER/manifest (name width height colour-type depth
    interlace, as the file's header says), each then decoded. Pillow keeps
    only the high byte of 16-bit colour samples: those files are checked
    against ImageMagick alone."""
    import warnings
    from PIL import Image
    warnings.simplefilter("ignore")  # Pillow's advice on palette transparency
    rng = random.Random(20240618)
    made = []

    def path(name):
        return os.path.join(folder, name + ".png")

    def pillow(name, mode, w, h, data, palette=None, **save):
        im = Image.new(mode, (w, h))
        if palette:
            im.putpalette([v for c in palette for v in c])
        im.putdata(data)
        im.save(path(name), **save)
        made.append(name)

    def grey(n, levels=256):
        return [rng.randrange(levels) * (255 // (levels - 1)) for _ in range(n)]

    pillow("pil_1", "1", 37, 11, grey(37 * 11, 2))
    pillow("pil_L", "L", 30, 9, grey(30 * 9))
    pillow("pil_LA", "LA", 17, 6, [(rng.randrange(256), rng.randrange(256)) for _ in range(17 * 6)])
    pillow("pil_P8", "P", 33, 7, [rng.randrange(256) for _ in range(33 * 7)], colours(rng, 256))
    pillow("pil_P2", "P", 19, 5, [rng.randrange(4) for _ in range(19 * 5)], colours(rng, 4), bits=2)
    pillow("pil_P_trns", "P", 21, 4, [rng.randrange(40) for _ in range(21 * 4)], colours(rng, 40),
           transparency=3)
    pillow("pil_RGB", "RGB", 31, 8, colours(rng, 31 * 8))
    pillow("pil_RGB_trns", "RGB", 9, 9, colours(rng, 81), transparency=(1, 2, 3))
    pillow("pil_RGBA", "RGBA", 23, 6, [c + (rng.randrange(256),) for c in colours(rng, 23 * 6)])
    pillow("pil_I16", "I;16", 26, 5, [rng.randrange(65536) for _ in range(26 * 5)])

    # Grey levels and palettes of 1, 2 and 4 bits, plain and interlaced, by
    # this script.
    for depth in (1, 2, 4):
        for interlace in (0, 1):
            w, h = 13 + depth, 9
            rows = [[rng.randrange(1 << depth) for _ in range(w)] for _ in range(h)]
            name = f"own_grey{depth}_{interlace}"
            with open(path(name), "wb") as f:
                f.write(png_bytes(w, h, 0, depth, rows, interlace=interlace))
            made.append(name)
            name = f"own_pal{depth}_{interlace}"
            with open(path(name), "wb") as f:
                f.write(png_bytes(w, h, 3, depth, rows, colours(rng, 1 << depth), interlace))
            made.append(name)

    if os.access(CONVERT, os.X_OK):
        # Sources ImageMagick turns into each kind of PNG: 8-bit pictures by
        # Pillow, 16-bit ones as PAM files of random samples.
        w, h = 29, 7
        src = {}
        for kind, mode, data in (
                ("grey8", "L", grey(w * h)),
                ("ga8", "LA", [(v, rng.randrange(256)) for v in grey(w * h)]),
                ("rgb8", "RGB", colours(rng, w * h)),
                ("rgba8", "RGBA", [c + (rng.randrange(256),) for c in colours(rng, w * h)])):
            im = Image.new(mode, (w, h))
            im.putdata(data)
            src[kind] = os.path.join(folder, kind + "_src.png")
            im.save(src[kind])
        pal = colours(rng, 200)
        im = Image.new("RGB", (w, h))
        im.putdata([rng.choice(pal) for i in range(w * h)])
        src["pal8"] = os.path.join(folder, "pal8_src.png")
        im.save(src["pal8"])
        for kind, tuple_type, depth in (("grey16", "GRAYSCALE", 1), ("ga16", "GRAYSCALE_ALPHA", 2),
                                        ("rgb16", "RGB", 3), ("rgba16", "RGB_ALPHA", 4)):
            src[kind] = os.path.join(folder, kind + "_src.pam")
            netpbm(src[kind], w, h, tuple_type, depth,
                   [rng.randrange(65536) for _ in range(w * h * depth)])
        # Colour type and bit depth of each kind (ImageMagick will not write
        # fewer than 8 bits when told to).
        kinds = {"grey8": (0, 8), "grey16": (0, 16), "ga8": (4, 8), "ga16": (4, 16),
                 "pal8": (3, 8), "rgb8": (2, 8), "rgb16": (2, 16), "rgba8": (6, 8),
                 "rgba16": (6, 16)}
        for kind, (colour, depth) in kinds.items():
            for interlace in ("None", "PNG"):
                name = f"im_{kind}_{interlace.lower()}"
                subprocess.run([CONVERT, src[kind], "-define", f"png:color-type={colour}",
                                "-define", f"png:bit-depth={depth}", "-interlace", interlace,
                                path(name)], check=True)
                made.append(name)

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name in made:
            with open(path(name), "rb") as f:
                ihdr = f.read(29)[16:29]
            w, h, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", ihdr)
            dump(path(name), not (depth == 16 and colour != 0), True, depth == 16)
            m.write(f"{name} {w} {h} {colour} {depth} {interlace}\n")


if __name__ == "__main__":
    if sys.argv[1] == "samples":
        samples(sys.argv[2])
    elif sys.argv[1] == "png_samples":
        png_samples(sys.argv[2])
    else:
        for p in sys.argv[2:]:
            dump(p)
