#!/usr/bin/python3
"""PGM, PPM and TIFF files of every flavour, written by Pillow, netpbm,
libtiff's tiffcp and ImageMagick, with what independent decoders read from
them.

samples FOLDER writes the files and FOLDER/manifest, one line per file:
name, width, height and the sample kind (int or float). Beside each file
NAME go its references NAME.src (the pixels it was made from, for lossless
files), NAME.pil (Pillow) and NAME.nb (netpbm's tifftopnm or pnmtopnm): the
red, green and blue planes side by side, rows × 3·width little-endian
doubles, as READRGB returns them. 1-, 2- and 4-bit samples are expanded to
0..255; other samples keep their values.
"""
import os
import pathlib
import random
import re
import subprocess
import sys

import numpy as np
from PIL import Image

from references import CONVERT, pnm
W, H = 23, 17


def planes(a):
    """(h, w) grey or (h, w, 3+) colour samples as the three planes side by side."""
    a = np.asarray(a, dtype=np.float64)
    if a.ndim == 2:
        a = np.stack([a] * 3, axis=2)
    return np.concatenate([a[:, :, 0], a[:, :, 1], a[:, :, 2]], axis=1)


def pillow(path):
    with Image.open(path) as im:
        if im.mode in ("I;16", "I;16B", "I;16N", "I", "F"):
            return planes(np.array(im))
        return planes(np.array(im.convert("RGB")))


def netpbm(path, tool):
    """The picture as netpbm reads it (binary output of tool, parsed here)."""
    out = subprocess.run([tool, path], capture_output=True, check=True).stdout
    fields = re.match(rb"P([456])\s+(\d+)\s+(\d+)\s+(?:(\d+)\s)?", out)
    kind, w, h = int(fields[1]), int(fields[2]), int(fields[3])
    raster = out[fields.end():]
    if kind == 4:
        bits = np.unpackbits(np.frombuffer(raster, np.uint8).reshape(h, -1), axis=1)[:, :w]
        return planes(255 * (1 - bits))
    maxval = int(fields[4])
    a = np.frombuffer(raster, ">u2" if maxval > 255 else np.uint8).astype(np.float64)
    a = a.reshape(h, w, -1) if kind == 6 else a.reshape(h, w)
    return planes(a * 255 // maxval if maxval < 255 else a)


def samples(folder):
    rng = random.Random(20240618)
    made = []

    def p(name):
        return os.path.join(folder, name)

    def add(name, src, refs, kind="int", width=W, height=H):
        """Records a file; src: its pixels (None when lossy); refs: tools to ask."""
        if src is not None:
            planes(src).astype("<f8").tofile(p(name) + ".src")
        for ref, read in (("pil", pillow), ("nb", lambda f: netpbm(f, "tifftopnm")),
                          ("nbp", lambda f: netpbm(f, "pnmtopnm"))):
            if ref in refs:
                read(p(name)).astype("<f8").tofile(p(name) + (".pil" if ref == "pil" else ".nb"))
        made.append(f"{name} {width} {height} {kind}")

    def run(*cmd, out=None):
        with open(p(out), "wb") if out else open(os.devnull, "wb") as f:
            subprocess.run([str(c) for c in cmd], stdout=f, stderr=subprocess.DEVNULL, check=True)

    # Source pictures: blocky colours (so that compressors find runs), a grey
    # ramp with noise, 16-bit versions and a few-colour picture for palettes.
    blocks = [[rng.randrange(256) for _ in range(3)] for _ in range(12)]
    rgb = np.array([[blocks[(x // 4 + y // 3 * 3) % 12] for x in range(W)] for y in range(H)],
                   np.uint8)
    rgb[::5, ::3] = np.array([rng.randrange(256) for _ in range(3)], np.uint8)
    grey = np.array([[(x * 11 + y * 5 + rng.randrange(9)) % 256 for x in range(W)]
                     for y in range(H)], np.uint8)
    rgb16 = rgb.astype(np.uint16) * 257 ^ np.uint16(rng.randrange(65536) & 0x0F0F)
    grey16 = grey.astype(np.uint16) * 250 + 7
    four = np.array(blocks[:4], np.uint8)[(np.arange(H)[:, None] + np.arange(W)[None, :]) % 4]
    Image.fromarray(rgb).save(p("src.ppm"))
    Image.fromarray(grey).save(p("src.pgm"))
    Image.fromarray(four).save(p("four.ppm"))
    pathlib.Path(p("src16.ppm")).write_bytes(pnm(rgb16, 65535))
    pathlib.Path(p("src16.pgm")).write_bytes(pnm(grey16, 65535))
    bits = np.array([[(x * y + x) % 3 == 0 for x in range(W)] for y in range(H)])

    # PGM, PBM and PPM files: binary and plain, 8 and 16 bits.
    for name, src, cmd in (
            ("pil.ppm", rgb, None), ("pil.pgm", grey, None), ("im16.ppm", rgb16, "src16.ppm"),
            ("plain.ppm", rgb, "pnmtopnm -plain src.ppm"),
            ("plain16.pgm", grey16, "pnmtopnm -plain src16.pgm"), ("raw.pbm", 255 * bits, None),
            ("plain.pbm", 255 * bits, "pnmtopnm -plain raw.pbm"),
            ("im_plain.pgm", grey, "src.pgm -compress none")):
        if cmd is None:
            Image.fromarray(src.astype(np.uint8)).convert("1" if "pbm" in name else
                                                          "RGB" if src.ndim == 3 else "L").save(p(name))
        elif cmd.startswith("pnmtopnm"):
            run(*cmd.split()[:-1], p(cmd.split()[-1]), out=name)
        else:  # ImageMagick
            run(CONVERT, p(cmd.split()[0]), *cmd.split()[1:], p(name))
        add(name, src, ("nbp", "pil") if src.max() < 256 else ("nbp",))

    # TIFF by Pillow: compressions, depths, alpha.
    for comp in ("none", "jpeg"):
        Image.fromarray(rgb).save(p(f"pil_{comp}.tif"), compression=comp)
        add(f"pil_{comp}.tif", None if comp == "jpeg" else rgb, ("pil", "nb"))
    flt, i32 = grey.astype(np.float32) / 7 - 3, grey.astype(np.int32) * 70000 - 9000000
    for name, img, src, refs, options in (
            ("grey", grey, grey, "pil nb", {}), ("grey16", grey16, grey16, "pil", {}),
            ("float", flt, flt, "pil", {}), ("int32", i32, i32, "pil", {}),
            ("g4", bits, 255 * bits, "pil nb", {"compression": "group4"}),
            ("palette", Image.fromarray(rgb).quantize(200), None, "pil nb", {}),
            ("rgba", np.dstack([rgb, grey]), rgb, "pil", {"compression": "tiff_lzw"}),
            ("la", Image.fromarray(np.dstack([grey, grey[::-1]])).convert("LA"), grey, "pil", {})):
        img = img if isinstance(img, Image.Image) else Image.fromarray(img)
        img.save(p(f"pil_{name}.tif"), **options)
        add(f"pil_{name}.tif", src, refs.split(), "float" if name in ("float", "int32") else "int")

    # TIFF by netpbm and tiffcp: predictors, tiles, separate planes, byte
    # orders, JPEG as RGB and as YCbCr, 16 bits, palettes and small depths.
    run("pnmtotiff", "-truecolor", p("src.ppm"), out="nb_rgb.tif")
    run("pnmtotiff", "-truecolor", p("src16.ppm"), out="nb_rgb16.tif")
    run("pnmtotiff", "-lzw", "-predictor", "2", p("src16.pgm"), out="nb_grey16.tif")
    for name, source, options, src in (
            ("tc_tiles.tif", "nb_rgb.tif", "-t -w 16 -l 16 -c lzw", rgb),
            ("tc_separate.tif", "nb_rgb.tif", "-p separate -c packbits", rgb),
            ("tc_sep_tiles.tif", "nb_rgb.tif", "-p separate -t -w 16 -l 16", rgb),
            ("tc_jpeg_rgb.tif", "nb_rgb.tif", "-c jpeg:r:90 -r 16", None),
            ("tc_jpeg_ycbcr.tif", "nb_rgb.tif", "-c jpeg:90 -r 16", None),
            ("tc_rgb16_tiles.tif", "nb_rgb16.tif", "-B -t -w 16 -l 16 -c zip:2", rgb16),
            ("tc_grey16.tif", "nb_grey16.tif", "-B -c packbits", grey16)):
        run("tiffcp", *options.split(), p(source), p(name))
        # Pillow has no 16-bit colour, netpbm no YCbCr and only 8 bits of 16-bit grey.
        add(name, src, ("pil",) if "ycbcr" in name or "grey16" in name else
            ("nb",) if "16" in name else ("nb", "pil"))
    # Large enough for the readers to decode strips and tiles on several
    # threads: 80 LZW strips with the predictor, of lengths that vary with
    # the content, and Deflate tiles; both must give every pixel.
    bw, bh = 640, 560
    y, x = np.mgrid[0:bh, 0:bw]
    big = np.dstack([(x * 3 + y) % 256, (y * 5 ^ x) % 256, (x * y) % 251]).astype(np.uint8)
    noisy = (y // 40) % 3 == 1
    big[noisy] ^= np.random.default_rng(5).integers(0, 256, (int(noisy.sum()), 3), np.uint8)
    # No grey level on a half: there READ_IMAGE (in doubles) and imread's
    # "L" (in integers) may round apart by one, which this file is not about.
    half = big.astype(int) @ [299, 587, 114] % 1000 == 500
    big[half, 2] ^= 1
    Image.fromarray(big).save(p("big.ppm"))
    run("pnmtotiff", "-truecolor", "-lzw", "-predictor", "2", "-rowsperstrip", "7", p("big.ppm"),
        out="nb_big_lzw.tif")
    run("tiffcp", "-t", "-w", "64", "-l", "48", "-c", "zip:2", p("nb_big_lzw.tif"),
        p("tc_big_tiles.tif"))
    for name in ("nb_big_lzw.tif", "tc_big_tiles.tif"):
        add(name, big, ("nb", "pil"), width=bw, height=bh)
    add("nb_rgb16.tif", rgb16, ("nb",))
    add("nb_grey16.tif", grey16, ("pil",))
    for name, maxval, options in (("nb_grey1.tif", 1, ["-g4"]),
                                  ("nb_grey2w.tif", 3, ["-miniswhite", "-lzw"]),
                                  ("nb_grey4.tif", 15, ["-flate"])):
        small = grey.astype(np.uint32) * maxval // 255
        pathlib.Path(p(f"g{maxval}.pgm")).write_bytes(pnm(small, maxval))
        run("pnmtotiff", *options, p(f"g{maxval}.pgm"), out=name)
        add(name, small * 255 // maxval, ("nb", "pil") if maxval > 1 else ("nb",))
    # Four colours: a 2-bit palette; 1 and 4 bits come from ImageMagick.
    run("pnmtotiff", "-indexbits", "1,2,4", "-packbits", p("four.ppm"), out="nb_palette2.tif")
    add("nb_palette2.tif", four, ("nb", "pil"))
    # TIFF by ImageMagick: those palettes; CMYK and YCbCr JPEG, which go
    # through the RGBA reader; 16-bit colour in separate planes; 12-bit grey,
    # its samples as Pillow reads them (ImageMagick's own are scaled).
    for name, source, options, src, refs in (
            ("im_palette1.tif", "src.ppm", "-colors 2 -type Palette -depth 1", None, "nb pil"),
            ("im_palette4.tif", "src.ppm", "-colors 16 -type Palette -depth 4", None, "nb pil"),
            ("im_cmyk.tif", "src.ppm", "-depth 8 -colorspace CMYK -compress lzw", None, "nb"),
            ("im_jpeg.tif", "src.ppm", "-depth 8 -compress jpeg", None, "nb pil"),
            ("im_rgb16_sep.tif", "src16.ppm", "-interlace plane -compress lzw -define "
             "tiff:predictor=2", rgb16, "nb"),
            ("im_grey12.tif", "src16.pgm", "-depth 12", None, "pil")):
        run(CONVERT, p(source), *options.split(), p(name))
        add(name, src, refs.split())

    pathlib.Path(p("manifest")).write_text("\n".join(made) + "\n")


if __name__ == "__main__":
    samples(sys.argv[1])
