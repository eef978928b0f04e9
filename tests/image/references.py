#!/usr/bin/python3
"""Reference pictures and pixels from independent encoders and decoders.

samples FOLDER: BMP files by Pillow, ImageMagick and this script (16-bit
pixels, top-down rows), one per depth, compression and header kind,
listed in FOLDER/manifest (name width height), each then decoded.
bmp_cases FOLDER: BMP files built byte by byte (see bmp_cases).
png_samples FOLDER: the same for PNG files (see png_samples).
png_cases FOLDER: PNG files built byte by byte (see png_cases).
jpeg_samples FOLDER: JPEG files of cjpeg and Pillow (see jpeg_samples).
decode FILE...: FILE.pil, FILE.im and FILE.nb, the pixels (rows of red,
green, blue bytes, top row first) as Pillow, ImageMagick and netpbm read
them, if they can.
"""
import os
import pathlib
import random
import struct
import subprocess
import sys
import zlib

CONVERT = "/usr/bin/convert-im6.q16"


def dump(path, pillow=True, magick=True, sixteen=False, netpbm=None, turn=lambda tool, px: px):
    """The pixels as Pillow, ImageMagick and netpbm's tool netpbm (if given)
    read them, each turned by turn (None: no reference); 16-bit samples (of
    files with sixteen set, and Pillow's 16-bit grey) rounded to bytes here,
    since ImageMagick's own reduction truncates."""
    read = {}
    if pillow:
        try:
            from PIL import Image
            with Image.open(path) as img:
                if img.mode.startswith("I"):  # 16-bit grey, kept whole
                    read["pil"] = bytes(round16(v) for v in img.getdata() for _ in range(3))
                else:
                    read["pil"] = img.convert("RGB").tobytes()
        except Exception as e:  # no reference from Pillow
            print(f"{path}: Pillow: {e}", file=sys.stderr)
    depth = "-depth 16 -endian MSB" if sixteen else "-depth 8"
    for tool, cmd in (("im", magick and f"{CONVERT} '{path}' -auto-orient {depth} rgb:-"),
                      ("nb", netpbm and f"{netpbm} '{path}' | {CONVERT} ppm:- -depth 8 rgb:-")):
        r = cmd and os.access(CONVERT, os.X_OK) and subprocess.run(cmd, shell=True,
                                                                   capture_output=True)
        if r and r.returncode == 0 and r.stdout:
            read[tool] = r.stdout if not sixteen else bytes(
                round16(v) for v in struct.unpack(f">{len(r.stdout) // 2}H", r.stdout))
    for tool, data in read.items():
        if (data := turn(tool, data)) is not None:
            pathlib.Path(f"{path}.{tool}").write_bytes(data)


def pnm(a, maxval=255):
    """A binary PGM or PPM file of a numpy array of (h, w) grey or (h, w, 3) colour samples."""
    return (b"P%d %d %d %d\n" % (5 + (a.ndim == 3), a.shape[1], a.shape[0], maxval)
            + a.astype(">u2" if maxval > 255 else "u1").tobytes())


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


def bmp_bytes(w, h, bits, compression, palette, pixel_data, masks=(), header=40, colours=None,
              off=None):
    """A BMP file with an information header of the given size (cut short,
    or zeros past its first 40 bytes); masks lie at its byte 40 when it has
    room, else after it. colours and off replace biClrUsed (the palette's
    length) and bfOffBits (the end of the palette)."""
    pal = b"".join(bytes([b, g, r, 0]) for (r, g, b) in palette)
    fields = b"".join(struct.pack("<I", m) for m in masks)
    info = struct.pack("<IiiHHIIiiII", header, w, h, 1, bits, compression, len(pixel_data), 2835,
                       2835, len(palette) if colours is None else colours, 0)
    if header >= 52:
        info = (info + fields).ljust(header, b"\0")
    else:
        info = info[:header].ljust(header, b"\0") + fields
    end = 14 + len(info) + len(pal)
    return (struct.pack("<2sIHHI", b"BM", end + len(pixel_data), 0, 0, end if off is None else off)
            + info + pal + pixel_data)


def stored_rows(rows, n, top_down=False):
    """Rows (top first) of n-byte little-endian values, padded to 4 bytes,
    stored bottom-up unless top_down."""
    out = bytearray()
    for row in (rows if top_down else reversed(rows)):
        b = b"".join(v.to_bytes(n, "little") for v in row)
        out += b + b"\0" * (-len(b) % 4)
    return bytes(out)


def case_writer(folder, manifest, ext, listed_with_ext=False):
    """case(name, w, h, data, expected) writes NAME.EXT, lists it in the
    manifest and, when expected is the pixels the file must read as (bytes, or
    (r, g, b) triples), writes them to NAME.EXT.rgb; a text is the kind the
    manifest gives instead ("refused: " and the message)."""
    def case(name, w, h, data, expected):
        path = pathlib.Path(folder, name + ext)
        path.write_bytes(data)
        if not isinstance(expected, str):
            if not isinstance(expected, bytes):
                expected = bytes(v for p in expected for v in p)
            path.with_name(path.name + ".rgb").write_bytes(expected)
            expected = ""
        manifest.write(f"{name + ext if listed_with_ext else name} {w} {h} {expected}\n")
    return case


def corpus(folder, built, others, ext=""):
    """FOLDER/manifest of the files built(case) writes (see case_writer; each
    listed with the extension) and, with Pillow, of those others(FOLDER,
    manifest) writes and lists."""
    with open(os.path.join(folder, "manifest"), "w") as m:
        built(case_writer(folder, m, ext, listed_with_ext=True))
        try:
            others(folder, m)
        except ImportError:  # no Pillow: the built files alone
            pass


def bmp_cases(folder):
    """FOLDER/manifest (name width height) and NAME.bmp.rgb, the pixels each
    file must read as: the palette's odd cases, bit fields, headers of other
    sizes and run-length rows."""
    with open(os.path.join(folder, "manifest"), "w") as m:
        case = case_writer(folder, m, ".bmp")

        reds, two, black = [(i, 0, 0) for i in range(256)], [(1, 2, 3), (4, 5, 6)], (0, 0, 0)
        # biClrUsed 0 at 8 bits means 256 entries; an index beyond the palette
        # reads black; 16385 entries are 65540 bytes, kept to 16 bits: 4
        # bytes, one entry, and the pixel rows follow right after it.
        case("all256", 2, 1, bmp_bytes(2, 1, 8, 0, reds, bytes([255, 17, 0, 0]), colours=0),
             [reds[255], reds[17]])
        case("beyond", 3, 1, bmp_bytes(3, 1, 8, 0, two, bytes([1, 200, 2, 0])),
             [two[1], black, black])
        case("wraps", 2, 1, bmp_bytes(2, 1, 8, 0, [(9, 8, 7)], bytes([0, 1, 0, 0]), colours=16385),
             [(9, 8, 7), black])
        # bfOffBits is ignored after a 40-byte header: the rows follow it.
        rgbw = [0xFF0000, 0xFFFFFF, 0x0000FF, 0x00FF00]
        case("gap", 2, 2, bmp_bytes(2, 2, 24, 0, [], stored_rows([rgbw[:2], rgbw[2:]], 3), off=400),
             [v.to_bytes(3, "big") for v in rgbw])
        # 10-10-10 fields and an alpha field (compression 6) in a 56-byte
        # header, each scaled by 255 / 1023, truncating; alpha ignored.
        case("fields10", 2, 1, bmp_bytes(2, 1, 32, 6, [], bytes([1, 0, 0xF8, 0xFF, 0xFF, 3, 0, 0]),
                                         (0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000), 56),
             [(255, 127, 0), (0, 0, 255)])
        # Other header sizes: the palette follows the header; the rows start
        # at bfOffBits (here after 8 bytes of something else).
        for size in (16, 52, 124):
            case(f"header{size}", 2, 1, bmp_bytes(2, 1, 1, 0, two, bytes([9] * 8 + [0x40, 0, 0, 0]),
                                                  header=size, off=14 + size + 8 + 8), two)

        # Run-length rows (data bottom row first) of 8 or 4 bits whose palette
        # entry i is red i; rows of palette indices, top row first.
        def rle(name, w, h, bits, data, rows):
            data = bmp_bytes(w, h, bits, 1 if bits == 8 else 2, reds[:1 << bits], bytes(data))
            case(name, w, h, data, [reds[i] for row in rows for i in row])

        # Bottom row: a run of three 7s, then an absolute run 1 2 3 with its
        # padding byte; top row: five 9s, one more dropped past the width.
        rle("rle8", 6, 2, 8, [3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 7, 9, 0, 0],
            [[9] * 6, [7, 7, 7, 1, 2, 3]])
        # RLE4: a run of 4 alternates the two nibbles; absolute runs of 3 and 5
        # pixels take 2 and 3 bytes, the 3 padded to an even count.
        rle("rle4", 12, 2, 4,
            [4, 0x12, 0, 3, 0xAB, 0xC0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 12, 0x99, 0, 0],
            [[9] * 12, [1, 2, 1, 2, 10, 11, 12, 1, 2, 3, 4, 5]])
        # The end-of-bitmap code after the last row is never read; one that
        # ends the last row is its normal end.
        rle("end_after", 2, 1, 8, [2, 5, 0, 0, 0, 1], [[5, 5]])
        rle("end_in", 2, 2, 8, [2, 5, 0, 0, 2, 6, 0, 1], [[6, 6], [5, 5]])
        # Rows that end early keep far fewer bytes than pixels; pixels past a
        # row's end keep the row before's values.
        rle("short8", 640, 480, 8, [10, 200, 0, 0] * 480, [[200] * 10 + [0] * 630] * 480)
        rle("short4", 640, 480, 4, [10, 0x77, 0, 0] * 480, [[7] * 10 + [0] * 630] * 480)
        rle("ends", 2000, 2, 8, [4, 9, 0, 0, 0, 0], [[9] * 4 + [0] * 1996] * 2)


def peer(path, size, pixels, mode="RGB", palette=None, command=None, **save):
    """A picture of pixels written to path by Pillow (in mode, with its save
    options), or by command from a PPM file of them ({src}, {out}: path)."""
    from PIL import Image
    img = Image.new(mode, size)
    if palette:
        img.putpalette([v for c in palette for v in c])
    img.putdata(pixels)
    if command is None:
        return img.save(path, **save)
    img.save(path + ".src.ppm")
    subprocess.run(command.format(src=path + ".src.ppm", out=path), shell=True, check=True,
                   stderr=subprocess.DEVNULL)
    os.remove(path + ".src.ppm")


def samples(folder):
    rng = random.Random(20240617)
    have_im = os.access(CONVERT, os.X_OK)
    made = []  # (name, width, height, Pillow reads it right, ImageMagick does)

    def path(name):
        return os.path.join(folder, name + ".bmp")

    # By Pillow, or by ImageMagick from pictures that need no colour reduction.
    def pillow(name, mode, w, h, data, palette=None, command=None, magick_reads=True):
        peer(path(name), (w, h), data, mode, palette, command and CONVERT + " {src} " + command)
        made.append((name, w, h, True, magick_reads))

    pillow("pil_1bit", "1", 37, 11, [rng.randrange(2) * 255 for _ in range(37 * 11)])
    pillow("pil_8bit", "P", 30, 9, [rng.randrange(256) for _ in range(30 * 9)], colours(rng, 256))
    pillow("pil_24bit", "RGB", 33, 17, colours(rng, 33 * 17))
    for name, w, h, n, args in (("im_4bit", 29, 13, 12, "BMP3"), ("im_rle8", 301, 9, 40, "RLE"),
                                ("im_os2_8bit", 22, 8, 100, "BMP2")) if have_im else ():
        pal = colours(rng, n)
        idx = blocky(rng, w, h, n) if args == "RLE" else [rng.randrange(n) for _ in range(w * h)]
        pillow(name, "RGB", w, h, [pal[i] for i in idx], None,
               "-type Palette " + ("-compress RLE BMP3" if args == "RLE" else args) + ":{out}")

    # Hand-built: 16-bit pixels (5-5-5; 5-6-5 bit fields), top-down rows,
    # headers of 108 (version 4), 64 (OS/2 2.x) and 56 (version 3) bytes;
    # the last is Pillow's to refuse. ImageMagick widens 5- and 6-bit fields
    # by repeating their top bits (Pillow scales them by 255 / max, as we do)
    # and takes OS/2 2.x palette entries as three bytes, where they have four.
    for name, w, h, bits, comp, masks, header, pil, im in (
            ("own_555", 23, 7, 16, 0, (), 40, True, False),
            ("own_565", 21, 6, 16, 3, (0xF800, 0x07E0, 0x001F), 40, True, False),
            ("own_topdown_24bit", 13, -5, 24, 0, (), 40, True, True),
            ("own_topdown_8bit", 14, -6, 8, 0, (), 40, True, True),
            ("own_v4_32bit", 11, 5, 32, 3, (0xFF0000, 0xFF00, 0xFF, 0xFF000000), 108, True, True),
            ("own_os2v2_8bit", 12, 4, 8, 0, (), 64, True, False),
            ("own_v3_32bit", 10, 3, 32, 3, (0xFF00, 0xFF0000, 0xFF000000, 0xFF), 56, False, True)):
        rows = [[rng.randrange(1 << bits) for _ in range(w)] for _ in range(abs(h))]
        pathlib.Path(path(name)).write_bytes(bmp_bytes(
            w, h, bits, comp, colours(rng, 256) if bits == 8 else [],
            stored_rows(rows, bits // 8, h < 0), masks, header))
        made.append((name, w, abs(h), pil, im))
    pillow("pil_rgba", "RGBA", 19, 7, [c + (rng.randrange(256),) for c in colours(rng, 19 * 7)])

    if have_im:
        # ImageMagick's default version 5 header: 24 bits; 8 bits plain and
        # run-length; bit fields with alpha; 16-bit subtypes.
        pal = colours(rng, 40)
        for name, w, h, px, args in (
                ("im_v5_24bit", 31, 9, colours(rng, 31 * 9), ""),
                ("im_v5_8bit", 26, 7, [rng.choice(pal) for _ in range(26 * 7)],
                 "-type Palette -compress None"),
                ("im_v5_rle8", 150, 6, [pal[i] for i in blocky(rng, 150, 6, 40)], "-type Palette"),
                ("im_v5_rgba", 15, 6, colours(rng, 15 * 6),
                 "-alpha on -channel A -fx '(i+j)/30' +channel"),
                ("im_RGB565", 25, 4, colours(rng, 100), "-define bmp:subtype=RGB565"),
                ("im_RGB555", 25, 4, colours(rng, 100), "-define bmp:subtype=RGB555")):
            pillow(name, "RGB", w, h, px, None, args + " BMP:{out}", "RGB5" not in name)

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h, pillow_reads, magick_reads in made:
            dump(path(name), pillow_reads, magick_reads)
            m.write(f"{name} {w} {h}\n")


ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_bytes(w, h, colour, depth, rows, palette=b"", interlace=0, extra=b""):
    """A PNG file of the samples of rows (top first; one sample per pixel
    when interlaced), unfiltered, in the seven passes when interlaced, with
    the chunks extra before the image data."""
    def line(row):
        bits = "".join(format(v, f"0{depth}b") for v in row)
        bits += "0" * (-len(bits) % 8)
        return b"\0" + (int(bits, 2).to_bytes(len(bits) // 8, "big") if bits else b"")

    passes = ADAM7 if interlace else ((0, 0, 1, 1),)
    data = b"".join(line(row[x0::dx]) for x0, y0, dx, dy in passes for row in rows[y0::dy]
                    if row[x0::dx] or not interlace)
    ihdr = struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + (chunk(b"PLTE", palette) if palette else b"") + extra
            + chunk(b"IDAT", zlib.compress(data)) + chunk(b"IEND", b""))


def filtered(kind, row, above, n):
    """A row of samples (n to a pixel) as stored with filter type kind (past
    4: as 4), the row above it given."""
    def paeth(a, b, c):
        pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
        return a if pa <= pb and pa <= pc else b if pb <= pc else c

    left = lambda i, r: r[i - n] if i >= n else 0  # noqa: E731
    guess = [(0, left(i, row), above[i], (left(i, row) + above[i]) // 2,
              paeth(left(i, row), above[i], left(i, above)))[min(kind, 4)]
             for i in range(len(row))]
    return bytes([kind]) + bytes((v - g) & 255 for v, g in zip(row, guess))


def png_split(w, h, colour, z, parts=3, after=b""):
    """An 8-bit PNG file whose zlib stream z is split over parts IDAT
    chunks, the chunks after before its end."""
    ihdr = struct.pack(">IIBBBBB", w, h, 8, colour, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + b"".join(chunk(b"IDAT", z[len(z) * i // parts:len(z) * (i + 1) // parts])
                       for i in range(parts)) + after + chunk(b"IEND", b""))


def png_filtered(w, h, colour, rng, after=b"", filters=(0, 1, 2, 3, 4)):
    """An 8-bit PNG file of random samples, its rows filtered in turn with the
    types in filters, its image data split over three chunks, the chunks
    after before its end; and the pixels it must read as (alpha ignored)."""
    n = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    rows = [[rng.randrange(256) for _ in range(w * n)] for _ in range(h)]
    data, above = b"", [0] * (w * n)
    for y, row in enumerate(rows):
        data += filtered(filters[y % len(filters)], row, above, n)
        above = row
    png = png_split(w, h, colour, zlib.compress(data), after=after)
    pixels = bytes(v for row in rows for x in range(w)
                   for v in (row[x * n:x * n + 3] if n >= 3 else [row[x * n]] * 3))
    return png, pixels


def png_cases(folder):
    """FOLDER/manifest (name width height, then "refused: " and the message
    reading the file must report) and NAME.png.rgb, the pixels the file must
    read as: 16-bit samples rounded to bytes (pairs of values straddling a
    step), alpha ignored, indices past the palette black; and damaged, cut
    and impossible files."""
    with open(os.path.join(folder, "manifest"), "w") as m:
        case = case_writer(folder, m, ".png")

        grey = lambda values: bytes(v for v in values for _ in range(3))  # noqa: E731
        g16 = [0, 128, 129, 32767, 32768, 65406, 65407, 65535]
        case("g16", 8, 1, png_bytes(8, 1, 0, 16, [g16]), grey(round16(v) for v in g16))
        case("rgba16", 1, 1, png_bytes(1, 1, 6, 16, [[129, 32768, 65406, 0]]),
             bytes(round16(v) for v in (129, 32768, 65406)))
        case("ga16", 1, 1, png_bytes(1, 1, 4, 16, [[32767, 0]]), grey([round16(32767)]))
        case("palette", 3, 1, png_bytes(3, 1, 3, 8, [[1, 0, 7]], bytes([10, 20, 30, 40, 50, 60])),
             bytes([40, 50, 60, 10, 20, 30, 0, 0, 0]))
        good = png_bytes(2, 2, 0, 8, [[1, 2], [3, 4]], extra=chunk(b"tEXt", b"a\0b"))
        case("good", 2, 2, good, grey([1, 2, 3, 4]))
        idat, iend = 48, len(good) - 12  # after IHDR (33 bytes) and tEXt
        damaged = lambda at: good[:at] + bytes([good[at] ^ 0x40]) + good[at + 1:]  # noqa: E731
        for name, data in {
                # The checksum of the header, of an ancillary chunk, of the image data.
                "crc_header": damaged(31), "crc_text": damaged(idat - 2),
                "crc_data": damaged(iend - 2),
                # Cut in the header, before the end chunk, after the signature,
                # and too short to tell any format.
                **{f"cut{n}": good[:n] for n in (20, iend, 8, 5)},
                "no_palette": png_bytes(1, 1, 3, 8, [[0]]), "width0": png_bytes(0, 1, 0, 8, [[]]),
                "depth3": png_bytes(1, 1, 0, 3, [[0]]),
                # Too short for its pixels even at deflate's best ratio (1032 : 1),
                # refused before a result (larger than memory) is sized.
                "huge": png_bytes(200000, 200000, 0, 8, [[]])}.items():
            case(name, 0, 0, data, "refused: file i/o error")
        # Cut inside the image data: the one data chunk, where no row is known,
        # and a second one after the first held row 0 and part of row 1.
        cut = "refused: file i/o error | the file ends inside the image data"
        case("cut_data", 0, 0, good[:idat + 12], cut)
        z = zlib.compressobj()
        first = chunk(b"IDAT", z.compress(b"\0\1\2\0\3") + z.flush(zlib.Z_FULL_FLUSH))
        second = chunk(b"IDAT", z.compress(b"\4") + z.flush())
        case("cut_second", 0, 0, (good[:idat] + first + second)[:-6],
             cut + ", in row 1 (rows 0 to 1)")
        # Every filter type, over image data in several chunks, in pictures of
        # each colour type of 8 bits; then a chunk after the image damaged, and
        # a filter type past 4. The pictures are large enough for the Paeth
        # predictor to meet ties, whose order the decoder must keep.
        rng = random.Random(20261207)
        text = chunk(b"tEXt", b"a\0b")
        for colour, (w, h) in {0: (128, 96), 2: (65, 48), 4: (64, 48), 6: (33, 48)}.items():
            case(f"filters{colour}", w, h, *png_filtered(w, h, colour, rng, text))
        png = png_filtered(6, 5, 2, rng, text)[0]
        at = png.index(b"tEXt") + 8
        case("crc_after", 0, 0, png[:at] + b"c" + png[at + 1:], "refused: file i/o error")
        case("filter5", 0, 0, png_filtered(6, 5, 2, rng, filters=(4, 5))[0],
             "refused: file i/o error")
        # A picture large enough to be inflated on a thread of its own while
        # its rows are handed on, its image data in one chunk, in three and in
        # many. Then refused: a filter type past 4 far down, damaged deflate
        # data, a stream cut short, a wrong Adler-32, too few rows. libspng
        # reads past a row too many and bytes after the stream: the same
        # pixels, though the rows were handed on before that was found.
        w, h = 1024, 1400
        rows = [rng.randbytes(64) * (w * 3 // 64) for _ in range(h)]
        # Unfiltered rows, but for every filter type in turn at the top and
        # far down (a filter type past 4 in row bad).
        kinds = {y: y % 5 for y in [*range(5), *range(1000, 1005)]}
        raw = lambda rows, bad=-1: b"".join(  # noqa: E731
            filtered(5 if y == bad else kinds[y], r, rows[y - 1] if y else bytes(w * 3), 3)
            if y in kinds or y == bad else b"\0" + r for y, r in enumerate(rows))
        z = zlib.compress(raw(rows))
        big = lambda z, parts=3: png_split(w, h, 2, z, parts)  # noqa: E731
        pixels = b"".join(rows)
        for name, data in {"big": big(z), "big_one": big(z, 1), "big_many": big(z, 997),
                           "big_long": big(zlib.compress(raw(rows + rows[:1]))),
                           "big_after": big(z + bytes(4))}.items():
            case(name, w, h, data, pixels)
        half = len(z) // 2
        for name, data in {"big_filter5": big(zlib.compress(raw(rows, bad=1300))),
                           "big_deflate": big(z[:half] + bytes([z[half] ^ 0xFF]) + z[half + 1:]),
                           "big_cut": big(z[:len(z) * 5 // 6]),
                           "big_adler": big(z[:-1] + bytes([z[-1] ^ 1])),
                           "big_short": big(zlib.compress(raw(rows[:-3])))}.items():
            case(name, 0, 0, data, "refused: file i/o error")
        # One byte of the signature off.
        case("signature", 0, 0, b"\x89PNG\r\n\x1a\0".ljust(28, b"\0"),
             "refused: unknown file format")


def png_samples(folder):
    """PNG files of every colour type and bit depth, plain and interlaced, by
    Pillow, ImageMagick and this script (fewer than 8 bits, which ImageMagick
    will not write when told to), listed in FOLDER/manifest (name width
    height colour-type depth interlace), each then decoded. Pillow keeps only
    the high byte of 16-bit colour samples: those files are checked against
    ImageMagick alone."""
    import warnings
    from PIL import Image
    warnings.simplefilter("ignore")  # Pillow's advice on palette transparency
    rng = random.Random(20240618)
    made = []

    def path(name):
        return os.path.join(folder, name + ".png")

    def pillow(name, mode, n, **save):
        top, k = {"1": (2, 1), "I;16": (65536, 1), "P": (1 << save.get("bits", 8), 1)}.get(
            mode, (256, len(mode)))
        im = Image.new(mode, (n, 7))
        if mode == "P":
            im.putpalette([rng.randrange(256) for _ in range(3 * top)])
        px = [tuple(rng.randrange(top) for _ in range(k)) for _ in range(n * 7)]
        im.putdata([p if k > 1 else p[0] * (255 if mode == "1" else 1) for p in px])
        im.save(path(name), **save)
        made.append(name)

    for mode, save in (("1", {}), ("L", {}), ("LA", {}), ("P", {}), ("P", {"bits": 2}),
                       ("P", {"transparency": 3}), ("RGB", {}), ("RGB", {"transparency": (1, 2, 3)}),
                       ("RGBA", {}), ("I;16", {})):
        pillow(f"pil_{len(made)}", mode, 13 + len(made), **save)
    for depth in (1, 2, 4):
        for interlace in (0, 1):
            rows = [[rng.randrange(1 << depth) for _ in range(12 + depth)] for _ in range(9)]
            pal = bytes(rng.randrange(256) for _ in range(3 << depth))
            for colour, kind in ((0, "grey"), (3, "pal")):
                made.append(f"own_{kind}{depth}_{interlace}")
                pathlib.Path(path(made[-1])).write_bytes(png_bytes(
                    12 + depth, 9, colour, depth, rows, pal * (colour == 3), interlace))
    # ImageMagick rewrites Pillow's grey, grey and alpha, palette, colour and
    # colour and alpha files at 8 and 16 bits, plain and interlaced.
    for colour, depths, source in ((0, (8, 16), "pil_1"), (4, (8, 16), "pil_2"), (3, (8,), "pil_3"),
                                   (2, (8, 16), "pil_6"), (6, (8, 16), "pil_8")):
        for depth in depths:
            for interlace in ("None", "PNG") if os.access(CONVERT, os.X_OK) else ():
                made.append(f"im_{colour}_{depth}_{interlace}")
                subprocess.run([CONVERT, path(source), "-define", f"png:color-type={colour}",
                                "-define", f"png:bit-depth={depth}", "-interlace", interlace,
                                path(made[-1])], check=True)

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name in made:
            with open(path(name), "rb") as f:
                w, h, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", f.read(29)[16:])
            dump(path(name), not (depth == 16 and colour != 0), True, depth == 16)
            m.write(f"{name} {w} {h} {colour} {depth} {interlace}\n")


def picture(w, h):
    from PIL import Image
    """Colour ramps under a sharp-edged checker: chroma subsampling and every
    block position matter."""
    im = Image.new("RGB", (w, h))
    im.putdata([((7 * x + e) % 256, (5 * y + 3 * x) % 256, (255 - 4 * y + e) % 256)
                for y in range(h) for x in range(w) for e in [90 * ((x // 5 + y // 3) % 2)]])
    return im


def jpeg_samples(folder):
    """JPEG files NAME.jpg from cjpeg and Pillow, listed in FOLDER/manifest
    (NAME.jpg width height), with their pixels as djpeg -rgb (NAME.jpg.rgb;
    Pillow's for CMYK), djpeg -grayscale (NAME.jpg.grey) and Pillow
    (NAME.jpg.pil) decode them."""
    from PIL import Image
    made = {}

    def path(name, ext=".jpg"):
        return os.path.join(folder, name + ext)

    def save(name, data, size=(37, 23)):
        open(path(name), "wb").write(data)
        made[name] = size
        return data

    def cjpeg(name, im, *args):
        ppm = b"P6 %d %d 255\n" % im.size + im.tobytes()
        r = subprocess.run(["cjpeg", "-quality", "85", *args], input=ppm, capture_output=True)
        return save(name, r.stdout, im.size)

    base = picture(37, 23)
    for name, args in (("s444", "-sample 1x1"), ("s422", "-sample 2x1"),
                       ("progressive", "-progressive"), ("grey", "-grayscale"),
                       ("stored_rgb", "-rgb"), ("restarts", "-restart 1"),
                       ("arithmetic", "-arithmetic")):
        cjpeg(name, base, *args.split())
    s420, tiny = cjpeg("s420", base), cjpeg("tiny", picture(3, 2))
    cjpeg("bands", picture(1300, 150), "-quality", "60")  # several bands of rows
    prog = cjpeg("prog_bands", picture(900, 101), "-progressive", "-sample", "1x1")
    # As phones and cameras write them: no JFIF segment, or an Exif one in its
    # place whose second directory points at a thumbnail.
    app0 = 4 + struct.unpack(">H", s420[4:6])[0]
    save("no_app", s420[:2] + s420[app0:])
    tiff = b"II*\0" + struct.pack("<IHIH" + "HHII" * 2 + "I", 8, 0, 14, 2, 0x201, 4, 1, 44, 0x202, 4, 1,
                                  len(tiny), 0)
    exif = b"Exif\0\0" + tiff + tiny
    save("exif_thumbnail", s420[:2] + b"\xFF\xE1" + struct.pack(">H", len(exif) + 2) + exif +
         s420[app0:])
    # Cut in the scan data: libjpeg fills in the rest of the picture.
    save("cut_scan", s420[:(s420.index(b"\xFF\xDA") + len(s420)) // 2])
    save("cut_progressive", prog[:(prog.index(b"\xFF\xDA") + len(prog)) // 2], (900, 101))
    base.convert("CMYK").save(path("cmyk"), quality=90)  # Adobe, inverted
    made["cmyk"] = base.size

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, (w, h) in made.items():
            m.write(f"{name}.jpg {w} {h}\n")
            for ext, args in ((".jpg.rgb", ["-rgb"]), (".jpg.grey", ["-grayscale"])):
                r = subprocess.run(["djpeg", *args, "-pnm", path(name)], capture_output=True)
                if r.stdout:  # djpeg exits with 2 after warnings, and refuses CMYK
                    open(path(name, ext), "wb").write(r.stdout[r.stdout.index(b"\n255\n") + 5:])
            if not name.startswith("cut"):  # Pillow refuses cut files
                with Image.open(path(name)) as im:
                    pil = im.convert("RGB").tobytes()
                open(path(name, ".jpg.pil"), "wb").write(pil)
                if name == "cmyk":
                    open(path(name, ".jpg.rgb"), "wb").write(pil)


if __name__ == "__main__":
    if sys.argv[1] == "decode":  # netpbm's reader of each file's kind too
        for p in sys.argv[2:]:
            ext = os.path.splitext(p)[1].lower()
            dump(p, netpbm={".bmp": "bmptoppm", ".png": "pngtopnm", ".tif": "tifftopnm"}.get(
                ext, "ppmtoppm <"))
    else:  # samples, bmp_cases, png_samples, png_cases or jpeg_samples
        globals()[sys.argv[1]](sys.argv[2])
