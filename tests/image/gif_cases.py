#!/usr/bin/python3
"""GIF files in FOLDER, listed in FOLDER/manifest as references.case_writer
lists them: built byte by byte with this script's own LZW encoder, and
written by Pillow and ImageMagick (kind "references": FILE.pil and FILE.im
hold the first picture as those tools read it, see references.dump)."""
import os
import random
import struct
import subprocess
import sys

from references import CONVERT, colours, corpus, dump

FOUR = [(255, 0, 0), (0, 0, 0), (10, 200, 30), (255, 255, 255)]
IO_ERROR, UNKNOWN = "refused: file i/o error", "refused: unknown file format"


def cut_in_row(row, rows):
    return f"{IO_ERROR} | the file ends inside the image data, in row {row} (rows 0 to {rows - 1})"


def pack(codes):
    """(code, width) pairs packed least significant bit first."""
    acc = bits = 0
    for code, width in codes:
        acc |= code << bits
        bits += width
    return acc.to_bytes((bits + 7) // 8, "little")


def lzw(px, m=2, clears=(), clear_when_full=True, stop_when_full=False, end=True):
    """LZW data as GIF writers make it, and the number of pixels it codes.
    clears: positions of pixels that follow a clear code; clear_when_full
    False goes on coding at 12 bits; stop_when_full ends with the code that
    fills the table; end False leaves the end code out."""
    clear, codes = 1 << m, []

    def reset():
        return {}, m + 1, clear + 2

    def added(nxt, width):
        # The reader adds an entry after every code but a table's first and
        # widens its codes when the entry reaches the next power of two.
        if nxt < 4096:
            nxt += 1
            if nxt - 1 >= 1 << width and width < 12:
                width += 1
        return nxt, width

    table, width, nxt = reset()
    codes.append((clear, width))
    cur, i = px[0], 1
    while i < len(px):
        k = px[i]
        if i not in clears and (cur, k) in table:
            cur, i = table[cur, k], i + 1
            continue
        if nxt == 4096 and stop_when_full:
            break
        codes.append((cur, width))
        if nxt < 4096:
            table[cur, k] = nxt
            nxt, width = added(nxt, width)
        elif clear_when_full:
            codes.append((clear, width))
            table, width, nxt = reset()
        if i in clears:
            codes.append((clear, width))
            table, width, nxt = reset()
        cur, i = k, i + 1
    codes.append((cur, width))
    nxt, width = added(nxt, width)
    if end:
        codes.append((clear + 1, width))
    return pack(codes), i


def gif(w, h, data, table=FOUR, m=2, local=None, flags=0, before=b"", after=b"\0;",
        block=255, sig=b"GIF89a", screen=0, left=0):
    """A file of one picture; tables of a power of two entries or None."""
    flag = lambda t: 0 if t is None else 0x80 | (len(t).bit_length() - 2)  # noqa: E731
    rgb = lambda t: b"" if t is None else bytes(v for c in t for v in c)  # noqa: E731
    out = sig + struct.pack("<HHBBB", w + screen, h + screen, flag(table), 0, 0) + rgb(table)
    out += before + b"," + struct.pack("<HHHHB", left, left, w, h, flag(local) | flags)
    out += rgb(local) + bytes([m])
    for i in range(0, len(data), block):
        out += bytes([len(data[i:i + block])]) + data[i:i + block]
    return out + after


def rgb_of(px, table):
    """What indices read as: black past the table's end."""
    return b"".join(bytes(table[i]) if table and i < len(table) else b"\0\0\0" for i in px)


def built(case):
    rng = random.Random(20240619)
    px = [rng.randrange(4) for _ in range(35)]
    base = dict(w=7, h=5, data=lzw(px)[0])
    second = gif(7, 5, lzw([3 - i for i in px])[0])[25:-1]
    ext = (b"!\xf9\x04\x01\x0a\x00\x03\x00" b"!\xfe\x03abc\x01d\x00"
           b"!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00" b"!\x01\x0c" + bytes(12) + b"\x02hi\x00")
    # An unknown label's sub-blocks, scanned as blocks: one holding a
    # picture of one white pixel, and one holding a picture of code size 11.
    sub = lambda b: b"!\x2a" + bytes([len(b)]) + b + b"\0"  # noqa: E731
    white = gif(1, 1, lzw([3])[0])[25:-1]
    case("unknown_read", 1, 1, gif(**base, before=sub(white)), rgb_of([3], FOUR))
    # Pictures that read as px: extensions, sub-block sizes, clear codes,
    # tables, placement and later images change nothing; each block's result
    # replaces the one before, so a stray byte, a trailer or an unknown
    # label (after which nothing is skipped) are forgotten. Where scanning
    # an unknown label's sub-blocks ends in an error, they are skipped.
    for name, change in {"87a": dict(sig=b"GIF87a"), "extensions": dict(before=ext),
                         "bytewise": dict(block=1),
                         "clears": dict(data=lzw(px, clears={3, 7, 14, 15, 30})[0]),
                         "local": dict(local=FOUR, table=[(9, 9, 9), (8, 8, 8)]),
                         "placed": dict(screen=300, left=40), "no_trailer": dict(after=b""),
                         "first_of_two": dict(after=b"\0" + second + b";"),
                         "stray": dict(before=b"\x07!\xfe\0"), "trailer": dict(before=b";"),
                         "label": dict(before=b"!\x02"), "unknown": dict(before=sub(b"a\x3bc")),
                         "unknown_bad": dict(before=sub(white[:10] + b"\x0b"))}.items():
        case(name, 7, 5, gif(**{**base, **change}), rgb_of(px, FOUR))
    # Pure red (grey 76); indices past a table of two; no table at all.
    case("red", 1, 1, gif(1, 1, lzw([0])[0]), rgb_of([0], FOUR))
    for name, table in (("two", [(1, 2, 3), (4, 5, 6)]), ("no_table", None)):
        case(name, 3, 2, gif(3, 2, lzw(px[:6])[0], table), rgb_of(px[:6], table))
    # Interlaced: the stored rows come in four passes.
    reds = [(i, 0, 0) for i in range(256)]
    for h in (1, 2, 3, 10, 17):
        order = [y for first, step in ((0, 8), (4, 8), (2, 4), (1, 2))
                 for y in range(first, h, step)]
        data = lzw([y for y in order for _ in range(3)], 8)[0]
        case(f"interlaced{h}", 3, h, gif(3, h, data, reds, 8, flags=0x40),
             rgb_of([y for y in range(h) for _ in range(3)], reds))
    # Uniform pictures: strings longer than a row, split over many rows.
    for w, h in ((301, 150), (1, 3000)):
        case(f"uniform{w}", w, h, gif(w, h, lzw([1] * (w * h))[0]), rgb_of([1] * (w * h), FOUR))
    # 256 colours fill the 12-bit table again and again, a clear code after
    # each time; the end code right after the code that fills it.
    table = colours(rng, 256)
    noise = [rng.randrange(256) for _ in range(20000)]
    case("noise", 200, 100, gif(200, 100, lzw(noise, 8)[0], table, 8), rgb_of(noise, table))
    data, n = lzw(noise, 8, stop_when_full=True)
    case("full_then_end", n, 1, gif(n, 1, data, table, 8), rgb_of(noise[:n], table))
    # A full table used on without a clear code (a deferred clear), then
    # emptied by one.
    data = lzw(noise[:18000], 8, clear_when_full=False, clears={17000})[0]
    case("no_clear", 300, 60, gif(300, 60, data, table, 8), rgb_of(noise[:18000], table))
    # The code that fills the table has a string that crosses the end of a
    # row: the pixel after the clear code follows the rest of that string.
    few = [rng.randrange(4) for _ in range(60000)]
    w = lzw(few, stop_when_full=True)[1] - 1
    case("full_at_row_end", w, 2, gif(w, 2, lzw(few[:2 * w])[0]), rgb_of(few[:2 * w], FOUR))
    # After the end code (1 2 3 0 | 2 end) the rest of the row and the later
    # rows keep what the row before held; data that ends at once: index 0.
    data = pack([(4, 3), (1, 3), (2, 3), (3, 3), (0, 4), (2, 4), (5, 4)])
    case("ended", 4, 3, gif(4, 3, data), rgb_of([1, 2, 3, 0] + [2, 2, 3, 0] * 2, FOUR))
    case("empty", 4, 3, gif(4, 3, pack([(4, 3), (5, 3)])), rgb_of([0] * 12, FOUR))

    whole = gif(40, 8, lzw(px * 10)[0])
    for name, data in {
            "version": gif(**base, sig=b"GIF88a"),
            # Cut in the signature, the screen, the global table, the image
            # descriptor, before the code size, and in a local table.
            **{f"cut{n}": whole[:n] for n in (4, 10, 20, 30, 35)},
            "cut_local": gif(**base, local=FOUR)[:40],
            "control": gif(**base, before=b"!\xf9\x04\0"),
            # No image: a trailer, a 0 byte, the end of the file.
            "only_trailer": whole[:25] + b";", "zero": whole[:25] + b"\0,", "end": whole[:25],
            "only_label": whole[:25] + b"!\x02",
            # Code 7 when the next free code is 6.
            "code": gif(**{**base, "data": pack([(4, 3), (0, 3), (7, 3)])}),
    }.items():
        case(name, 0, 0, data, IO_ERROR)
    # Cut in the data: in the first row, inside a sub-block and where the
    # length of the next one is due; after a row (1 2 3 0) and one code more.
    case("cut40", 0, 0, whole[:40], cut_in_row(0, 8))
    case("cut_block", 0, 0, gif(**base, block=2, after=b"")[:39], cut_in_row(0, 5))
    data = pack([(4, 3), (1, 3), (2, 3), (3, 3), (0, 4), (2, 4)])
    case("cut_row1", 0, 0, gif(4, 3, data, after=b""), cut_in_row(1, 3))
    # A picture of a million pixels, whose rows are decoded while the rows
    # before them are handed on: each row in its place, and a cut in row 700.
    w = h = 1024
    big = [(x // 100 + y) % 4 for y in range(h) for x in range(w)]
    case("big", w, h, gif(w, h, lzw(big)[0]), rgb_of(big, FOUR))
    data = lzw(big[:700 * w + 5], end=False)[0]
    case("cut_big", 0, 0, gif(w, h, data, after=b""), cut_in_row(700, h))
    case("code_size", 0, 0, gif(**base, m=11), UNKNOWN)
    case("wide", 0, 0, gif(32768, 1, base["data"]), UNKNOWN)


def references(folder, manifest):
    """Files of Pillow and ImageMagick, interlaced and animated among them."""
    from PIL import Image
    rng = random.Random(20240618)
    made = []

    def pillow(name, img, **options):
        img.save(os.path.join(folder, name), **options)
        made.append((name, img.width, img.height))

    def paletted(w, h, n, pixels=None):
        img = Image.new("P", (w, h))
        img.putpalette([v for c in colours(rng, n) for v in c])
        img.putdata(pixels or [rng.randrange(n) for _ in range(w * h)])
        return img

    # Pillow interlaces pictures of 16 rows or more unless told not to.
    pillow("pil_256.gif", paletted(61, 47, 256))
    pillow("pil_2.gif", paletted(33, 20, 2), interlace=False)
    pillow("pil_noise.gif", paletted(256, 200, 256), interlace=False)
    pillow("pil_uniform.gif", paletted(400, 300, 4, [3] * 120000))
    pillow("pil_grey.gif", Image.linear_gradient("L").resize((70, 40)))
    pillow("pil_transparent.gif", paletted(20, 12, 8), transparency=3, comment=b"made here")
    frames = [paletted(30, 20, 64) for _ in range(3)]
    pillow("pil_animated.gif", frames[0], save_all=True, append_images=frames[1:], duration=50,
           loop=0)

    def magick(name, w, h, source, *options):
        subprocess.run([CONVERT, "-seed", "7", "-size", f"{w}x{h}"] + source + list(options) +
                       [os.path.join(folder, name)], check=True)
        made.append((name, w, h))

    if os.access(CONVERT, os.X_OK):
        magick("im_plasma_interlaced.gif", 97, 61, ["plasma:fractal"], "-colors", "256",
               "-interlace", "GIF")
        magick("im_noise.gif", 300, 150, ["xc:", "+noise", "Random"], "-colors", "256")
        magick("im_two.gif", 50, 30, ["plasma:fractal"], "-monochrome")
        magick("im_comment.gif", 40, 30, ["gradient:red-blue"], "-comment", "a comment")
        magick("im_animated.gif", 32, 24, ["plasma:fractal", "xc:red", "plasma:"], "-delay",
               "10", "-loop", "0", "-colors", "200")
        for h in (1, 2, 3, 10, 17):
            magick(f"im_interlaced_{h}.gif", 11, h, ["plasma:fractal"], "-colors", "20",
                   "-interlace", "GIF")
    for name, w, h in made:
        dump(os.path.join(folder, name))
        manifest.write(f"{name} {w} {h} references\n")


if __name__ == "__main__":
    corpus(sys.argv[1], built, references, ".gif")
