#!/usr/bin/python3
"""PCX and TGA files by Pillow, ImageMagick and netpbm in FOLDER, listed in
FOLDER/manifest ("file width height rule"), with FILE.pil, FILE.im, FILE.nb:
the pixels (red, green, blue bytes, top row first) each of those reads,
turned by the rule where kexio reads them otherwise: bw (1-bit PCX is black
and white: only Pillow ignores the header colours too), red (2- and 4-bit
PCX are greys of the header palette's red bytes), blue (grey TGA pixels are
blue), five (16-bit TGA colour-map entries keep their 5-bit components)."""
import os
import random
import subprocess
import sys

from PIL import Image

IM = "/usr/bin/convert-im6.q16"
W, H = 37, 11  # an odd width gives PCX lines a padding byte
rng = random.Random(20240618)


def colours(n):
    return [tuple(rng.randrange(256) for _ in range(3)) for _ in range(n)]


def blocky(pal):
    """Runs of 1 to 200 pixels, so that encoders write runs and literals."""
    px = []
    while len(px) < W * H:
        px += [rng.choice(pal)] * rng.choice((1, 1, 2, 5, 200))
    return px[:W * H]


def turned(rule, tool, px):
    if rule == "bw":
        return px if tool == "pil" else None
    t = [px[i:i + 3] for i in range(0, len(px), 3)]
    if rule == "red":
        return bytes(c[0] for c in t for _ in range(3))
    if rule == "blue":
        return bytes(v for c in t for v in (0, 0, c[0]))
    return bytes(round(v * 31 / 255) for v in px) if rule == "five" else px


def main(folder):
    pal, idx = colours(256), [rng.randrange(256) for _ in range(W * H)]
    grey = lambda: blocky(range(256))
    # Pillow: name, mode, pixels, rule, save options.
    pillow = [("pil_1bit.pcx", "1", [rng.randrange(2) * 255 for _ in idx], "bw", {}),
              ("pil_8bit.pcx", "P", idx, "same", {}),
              ("pil_24bit.pcx", "RGB", blocky(colours(9)), "same", {}),
              ("pil_grey.tga", "L", idx, "blue", {}),
              ("pil_grey_rle.tga", "L", grey(), "blue", {"compression": "tga_rle"}),
              ("pil_map.tga", "P", idx, "same", {}),
              ("pil_map_rle_top.tga", "P", blocky(range(200)), "same",
               {"compression": "tga_rle", "orientation": 1, "id_section": bytes(range(255))}),
              ("pil_24bit_top.tga", "RGB", colours(W * H), "same", {"orientation": 1}),
              ("pil_32bit_rle.tga", "RGBA", blocky([c + (7,) for c in colours(9)]), "same",
               {"compression": "tga_rle"})]
    # The others: name, command from a PPM file {src}, pixels, rule.
    few = lambda n: blocky(colours(n))
    tools = [("nb_1bit.pcx", "ppmtopcx -packed {src} > {out}", few(2), "bw"),
             ("nb_2bit.pcx", "ppmtopcx -packed {src} > {out}", few(4), "red"),
             ("nb_4bit.pcx", "ppmtopcx -packed {src} > {out}", few(16), "red"),
             ("nb_8bit.pcx", "ppmtopcx -8bit {src} > {out}", few(100), "same"),
             ("nb_24bit.pcx", "ppmtopcx -24bit {src} > {out}", colours(W * H), "same"),
             ("nb_map_rle.tga", "ppmtotga -cmap -name kexio {src} > {out}", few(60), "same"),
             ("nb_map16_rle.tga", "ppmtotga -cmap16 -name kexio {src} > {out}", few(30), "five"),
             ("nb_24bit_rle.tga", "ppmtotga -rgb -name kexio {src} > {out}", few(20), "same"),
             ("im_8bit.pcx", IM + " {src} -type Palette {out}", few(30), "same"),
             ("im_24bit_rle.tga", IM + " {src} -compress RLE {out}", few(30), "same"),
             ("im_32bit.tga", IM + " {src} -alpha set {out}", colours(W * H), "same"),
             ("im_map.tga", IM + " {src} -type Palette {out}", few(30), "same"),
             ("im_grey_rle.tga", IM + " {src} -type Grayscale -compress RLE {out}",
              [(v, v, v) for v in grey()], "blue")]
    with open(os.path.join(folder, "manifest"), "w") as manifest:
        for name, mode, px, rule, opts in pillow + [(n, None, p, r, c) for n, c, p, r in tools]:
            path = os.path.join(folder, name)
            img = Image.new(mode or "RGB", (W, H))
            if mode == "P":
                img.putpalette([v for c in pal for v in c])
            img.putdata(px)
            if mode:
                img.save(path, **opts)
            else:
                ppm = os.path.join(folder, "src.ppm")
                img.save(ppm)
                subprocess.run(opts.format(src=ppm, out=path), shell=True, check=True,
                               stderr=subprocess.DEVNULL)
            read = {}
            try:
                with Image.open(path) as img:
                    read["pil"] = img.convert("RGB").tobytes()
            except Exception:
                pass
            netpbm = "pcxtoppm" if name.endswith("pcx") else "tgatoppm"
            for tool, cmd in (("nb", f"{netpbm} {path} | {IM} ppm:- -depth 8 rgb:-"),
                              ("im", f"{IM} {path} -auto-orient -depth 8 rgb:-")):
                r = subprocess.run(cmd, shell=True, capture_output=True)
                if r.returncode == 0 and r.stdout:
                    read[tool] = r.stdout
            for tool, got in read.items():
                if (want := turned(rule, tool, got)) is not None:
                    with open(f"{path}.{tool}", "wb") as f:
                        f.write(want)
            manifest.write(f"{name} {W} {H} {rule}\n")


if __name__ == "__main__":
    main(sys.argv[1])
