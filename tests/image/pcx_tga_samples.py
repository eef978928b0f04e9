#!/usr/bin/python3
"""PCX and TGA test files in FOLDER, listed in FOLDER/manifest as
references.case_writer lists them.

Built byte by byte: every kind of picture, coding and order the formats
allow, with the pixels each must read as, and the refusals. Then files by
Pillow, ImageMagick and netpbm, with FILE.pil, FILE.im, FILE.nb: the pixels
each of those reads, turned by the rule (the manifest's kind) where kexio
reads them otherwise: bw (1-bit PCX is black and white: only Pillow ignores
the header colours too), red (2- and 4-bit PCX are greys of the header
palette's red bytes), blue (grey TGA pixels are blue), five (16-bit TGA
colour-map entries keep their 5-bit components)."""
import os
import random
import struct
import sys

from references import CONVERT, blocky, colours, corpus, dump, peer

W, H = 37, 11  # an odd width gives PCX lines a padding byte
IO_ERROR, UNKNOWN = "refused: file i/o error", "refused: unknown file format"


def pcx(bits, planes, w, h, bpl, lines, tail=b""):
    """The header (window from (10, 3); header palette entry k is red 10 k + 1,
    green 200, blue 100), the coded lines, then tail."""
    head = struct.pack("<4B4H", 10, 5, 1, bits, 10, 3, 9 + w, 2 + h).ljust(16, b"\0")
    head += bytes(v for k in range(16) for v in (10 * k + 1, 200, 100))
    return (head + struct.pack("<xBH", planes, bpl)).ljust(128, b"\0") + bytes(lines) + tail


def tga(kind, depth, w, h, descriptor, data, cmap=b"", entry_bits=24, ident=b"", first=0):
    """A colour map of entries of entry_bits (its length from its bytes) makes
    the file colour-mapped."""
    n = len(cmap) // {32: 4, 24: 3}.get(entry_bits, 2)
    return struct.pack("<3BHHB4H2B", len(ident), bool(cmap), kind, first, n, entry_bits, 0, 0, w,
                       h, depth, descriptor) + ident + bytes(cmap) + bytes(data)


def px(*values):
    """0xRRGGBB values as pixels."""
    return [v.to_bytes(3, "big") for v in values]


def bgr(*values):
    """0xRRGGBB values as stored blue, green, red bytes."""
    return list(b"".join(v.to_bytes(3, "little") for v in values))


def built(case):
    Wh, R, G, B = 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF
    # 256 colours after a marker byte, entry i = (i, 255 - i, i / 2).
    vga = lambda marker: bytes([marker] + [v for i in range(256) for v in (i, 255 - i, i // 2)])  # noqa: E731
    runs = [0xC5, 7, 1, 2, 3]  # 5 bytes in a line of 3
    rgbw, raw128 = bgr(R, G, B, Wh), [0x7F] + list(range(128))  # raw packet of 128 greys
    for name, w, h, data, want in (
            # One bit: black and white, not the header's colours; two and four
            # bits: greys of the header palette's red bytes.
            ("bw.pcx", 10, 2, pcx(1, 1, 10, 2, 2, [0xB0, 0x40, 0xC2, 0xFF]),
             px(Wh, 0, Wh, Wh, 0, 0, 0, 0, 0, Wh, *[Wh] * 10)),
            ("two.pcx", 5, 1, pcx(2, 1, 5, 1, 2, [0x1B, 0xC1, 0xC0]),
             px(0x010101, 0x0B0B0B, 0x151515, 0x1F1F1F, 0x1F1F1F)),
            ("four.pcx", 3, 1, pcx(4, 1, 3, 1, 2, [0x5A, 0xC1, 0xF0]),
             px(0x333333, 0x656565, 0x979797)),
            # Eight bits: the colours after the marker at the end, whatever the
            # marker; a run past a line's end (and padding) is not carried on.
            ("vga.pcx", 2, 2, pcx(8, 1, 2, 2, 3, runs, vga(12)),
             px(0x07F803, 0x07F803, 0x01FE00, 0x02FD01)),
            ("vga0.pcx", 2, 2, pcx(8, 1, 2, 2, 3, runs, vga(0)),
             px(0x07F803, 0x07F803, 0x01FE00, 0x02FD01)),
            # A file shorter than that palette takes it from after the header,
            # bytes past the end being 255.
            ("short.pcx", 1, 1, pcx(8, 1, 1, 1, 1, [5]), px(Wh)),
            # Runs across planes; 15 bytes, 6 of them past the line (dropped);
            # 0xC0 repeats nothing, 0xC1 once.
            ("rgb.pcx", 2, 3, pcx(8, 3, 2, 3, 3, [10, 20, 0xC2, 30, 40, 0xC2, 50, 60, 0, 0xCF, 7,
                                                  0xC0, 0x55, 0xC1, 1, 2, 0xC7, 3]),
             px(0x0A1E32, 0x14283C, 0x070707, 0x070707, 0x010303, 0x020303)),
            # Lines too short for the width: the pixels past them are entry 0
            # (or black in three planes).
            ("narrow.pcx", 4, 2, pcx(8, 1, 4, 2, 2, [5, 6, 7, 8], vga(12)),
             px(0x05FA02, 0x06F903, 0x00FF00, 0x00FF00, 0x07F803, 0x08F704, 0x00FF00, 0x00FF00)),
            ("narrow24.pcx", 3, 1, pcx(8, 3, 3, 1, 1, [5, 6, 7]), px(0x050607, 0, 0)),
            ("narrow1.pcx", 10, 1, pcx(1, 1, 10, 1, 1, [0xB0]), px(Wh, 0, Wh, Wh, *[0] * 6)),
            # TGA rows R G, then B W: bottom-up unless bit 5 is set, each row
            # right to left when bit 4 is.
            ("rl.tga", 2, 2, tga(2, 24, 2, 2, 0x10, rgbw), px(Wh, B, G, R)),
            ("tdrl.tga", 2, 2, tga(2, 24, 2, 2, 0x30, rgbw), px(G, R, Wh, B)),
            # 16 bits: 5-bit components moved up by three, the top bit ignored;
            # 32 bits: the fourth byte ignored; grey bytes are blue.
            ("p16.tga", 4, 1, tga(2, 16, 4, 1, 0, [0xFF, 0x7F, 0, 0x7C, 0xE0, 3, 0x1F, 0x80]),
             px(0xF8F8F8, 0xF80000, 0x00F800, 0x0000F8)),
            ("p32.tga", 1, 1, tga(2, 32, 1, 1, 0, [1, 2, 3, 4]), px(0x030201)),
            ("grey.tga", 2, 1, tga(3, 8, 2, 1, 0, [200, 7]), px(200, 7)),
            # Run-length packets of up to 128 pixels, runs and raw.
            ("rle24.tga", 130, 1,
             tga(10, 24, 130, 1, 0, [0xFF] + bgr(0x102030) + [1] + bgr(0x405060, 0x708090)),
             px(*[0x102030] * 128, 0x405060, 0x708090)),
            ("rle8.tga", 128, 2, tga(11, 8, 128, 2, 0x20, raw128 + [0xFF, 9]),
             px(*range(128), *[9] * 128)),
            # Colour maps of 24, 15 and 32 bits, indexed from 0 whatever the
            # first entry says (5); an index past the map is black; 5-bit
            # components stay 0 .. 31; identification fields of any length.
            ("map24.tga", 4, 1, tga(1, 8, 4, 1, 0, [2, 0, 1, 3], range(1, 10), 24, b"h", 5),
             px(0x090807, 0x030201, 0x060504, 0)),
            ("map15.tga", 3, 1, tga(9, 8, 3, 1, 0, [0x81, 1, 0, 0], [0xFF, 0x7F, 0xE0, 3], 15),
             px(0x001F00, 0x001F00, 0x1F1F1F)),
            ("map32.tga", 1, 1, tga(1, 8, 1, 1, 0, [0], [10, 20, 30, 40], 32, b"x" * 255),
             px(0x1E140A))):
        case(name, w, h, data, want)
    for name, data, message in (
            # PCX pictures of other planes and depths; TGA image types other
            # than 1, 2, 3, 9, 10, 11.
            ("planes4.pcx", pcx(1, 4, 1, 1, 1, bytes(4)), UNKNOWN),
            ("bits3.pcx", pcx(3, 1, 1, 1, 1, [0]), UNKNOWN),
            ("bits16.pcx", pcx(16, 3, 1, 1, 2, bytes(6)), UNKNOWN),
            ("t0.tga", tga(0, 24, 1, 1, 0, bytes(3)), UNKNOWN),
            ("t32.tga", tga(32, 24, 1, 1, 0, bytes(3)), UNKNOWN),
            # A run-length packet crossing the end of a row (the next row is whole).
            ("cross.tga", tga(10, 24, 2, 2, 0, [0x82] + bgr(R) + [0x81] + bgr(G)), IO_ERROR),
            # Files cut short in the header, the colour map or the pixels.
            ("cut.pcx", pcx(8, 3, 2, 2, 2, [1] * 12)[:-3], IO_ERROR),
            ("head.pcx", pcx(8, 1, 1, 1, 1, [0])[:-2], IO_ERROR),
            ("cut.tga", tga(2, 24, 2, 2, 0, rgbw)[:-1], IO_ERROR),
            ("cutmap.tga", tga(1, 8, 1, 1, 0, [0], bytes(9))[:-5], IO_ERROR),
            # Headers that state more than the file can hold, refused before
            # the result is allocated.
            ("huge.pcx", pcx(8, 1, 65000, 65000, 65535, bytes(99)), IO_ERROR),
            ("no_bytes.pcx", pcx(8, 1, 60000, 60000, 0, bytes(99)), IO_ERROR),
            ("huge.tga", tga(2, 24, 65535, 65535, 0, bytes(99)), IO_ERROR),
            ("hugerle.tga", tga(10, 24, 65535, 65535, 0, bytes(99)), IO_ERROR)):
        case(name, 0, 0, data, message)


def turned(rule, tool, data):
    if rule == "bw":
        return data if tool == "pil" else None
    if rule == "red":
        return bytes(data[i - i % 3] for i in range(len(data)))
    if rule == "blue":
        return bytes(0 if i % 3 < 2 else data[i - 2] for i in range(len(data)))
    return bytes(round(v * 31 / 255) for v in data) if rule == "five" else data


def references(folder, manifest):
    rng = random.Random(20240618)
    pal, idx = colours(rng, 256), [rng.randrange(256) for _ in range(W * H)]

    def few(n):
        pal_n = colours(rng, n)
        return [pal_n[i] for i in blocky(rng, W, H, n, (1, 1, 2, 5, 200))]

    grey = lambda: blocky(rng, W, H, 256, (1, 1, 2, 5, 200))  # noqa: E731
    # Pillow: name, mode, pixels, rule, save options.
    pillow = [("pil_1bit.pcx", "1", [rng.randrange(2) * 255 for _ in idx], "bw", {}),
              ("pil_8bit.pcx", "P", idx, "same", {}),
              ("pil_24bit.pcx", "RGB", few(9), "same", {}),
              ("pil_grey.tga", "L", idx, "blue", {}),
              ("pil_grey_rle.tga", "L", grey(), "blue", {"compression": "tga_rle"}),
              ("pil_map.tga", "P", idx, "same", {}),
              ("pil_map_rle_top.tga", "P", blocky(rng, W, H, 200, (1, 1, 2, 5, 200)), "same",
               {"compression": "tga_rle", "orientation": 1, "id_section": bytes(range(255))}),
              ("pil_24bit_top.tga", "RGB", colours(rng, W * H), "same", {"orientation": 1}),
              ("pil_32bit_rle.tga", "RGBA", [c + (7,) for c in few(9)], "same",
               {"compression": "tga_rle"})]
    # The others: name, command from a PPM file {src}, pixels, rule.
    tools = [("nb_1bit.pcx", "ppmtopcx -packed {src} > {out}", few(2), "bw"),
             ("nb_2bit.pcx", "ppmtopcx -packed {src} > {out}", few(4), "red"),
             ("nb_4bit.pcx", "ppmtopcx -packed {src} > {out}", few(16), "red"),
             ("nb_8bit.pcx", "ppmtopcx -8bit {src} > {out}", few(100), "same"),
             ("nb_24bit.pcx", "ppmtopcx -24bit {src} > {out}", colours(rng, W * H), "same"),
             ("nb_map_rle.tga", "ppmtotga -cmap -name kexio {src} > {out}", few(60), "same"),
             ("nb_map16_rle.tga", "ppmtotga -cmap16 -name kexio {src} > {out}", few(30), "five"),
             ("nb_24bit_rle.tga", "ppmtotga -rgb -name kexio {src} > {out}", few(20), "same"),
             ("im_8bit.pcx", CONVERT + " {src} -type Palette {out}", few(30), "same"),
             ("im_24bit_rle.tga", CONVERT + " {src} -compress RLE {out}", few(30), "same"),
             ("im_32bit.tga", CONVERT + " {src} -alpha set {out}", colours(rng, W * H), "same"),
             ("im_map.tga", CONVERT + " {src} -type Palette {out}", few(30), "same"),
             ("im_grey_rle.tga", CONVERT + " {src} -type Grayscale -compress RLE {out}",
              [(v, v, v) for v in grey()], "blue")]
    for name, mode, pixels, rule, opts in pillow + [(n, "RGB", p, r, {"command": c})
                                                    for n, c, p, r in tools]:
        path = os.path.join(folder, name)
        peer(path, (W, H), pixels, mode, pal if mode == "P" else None, **opts)
        dump(path, netpbm="pcxtoppm" if name.endswith("pcx") else "tgatoppm",
             turn=lambda tool, data, rule=rule: turned(rule, tool, data))
        manifest.write(f"{name} {W} {H} {rule}\n")


if __name__ == "__main__":
    corpus(sys.argv[1], built, references)
