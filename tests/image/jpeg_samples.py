#!/usr/bin/python3
"""JPEG files from cjpeg and Pillow, and their pixels as libjpeg's own tools
and Pillow decode them.

jpeg_samples.py FOLDER writes NAME.jpg for every sample, listed in
FOLDER/manifest (name width height), with NAME.rgb (djpeg -rgb, or Pillow
for CMYK), NAME.grey (djpeg -grayscale) and NAME.pil (Pillow's RGB): rows of
samples, top row first, no header.
"""
import os
import struct
import subprocess
import sys

from PIL import Image


def picture(w, h):
    """Smooth colour ramps with a sharp-edged checker, so that chroma
    subsampling and every block position matter."""
    px = []
    for y in range(h):
        for x in range(w):
            edge = 90 if (x // 5 + y // 3) % 2 else 0
            px.append(((7 * x + edge) % 256, (5 * y + 3 * x) % 256, (255 - 4 * y + edge) % 256))
    im = Image.new("RGB", (w, h))
    im.putdata(px)
    return im


def segments(data):
    """(start, end) of each marker segment between SOI and the first SOS."""
    pos, out = 2, []
    while data[pos + 1] != 0xDA:
        end = pos + 2 + struct.unpack(">H", data[pos + 2:pos + 4])[0]
        out.append((pos, end))
        pos = end
    return out


def exif_with_thumbnail(data, thumb):
    """The file as a camera writes it: APP0 replaced by an Exif APP1 whose
    second directory points at a JPEG thumbnail."""
    start, end = segments(data)[0]
    ifd1 = 8 + 6  # after the header and an empty first directory
    tiff = b"II*\0" + struct.pack("<IHI", 8, 0, ifd1)
    tiff += struct.pack("<HHHII HHII I", 2, 0x201, 4, 1, ifd1 + 30, 0x202, 4, 1, len(thumb), 0)
    app1 = b"Exif\0\0" + tiff + thumb
    return data[:start] + b"\xFF\xE1" + struct.pack(">H", len(app1) + 2) + app1 + data[end:]


def main(folder):
    made = []

    def path(name, ext):
        return os.path.join(folder, name + ext)

    def cjpeg(name, im, *args):
        im.save(path(name, ".ppm"))
        with open(path(name, ".jpg"), "wb") as f:
            subprocess.run(["cjpeg", *args, path(name, ".ppm")], stdout=f, check=True)
        made.append((name, im.width, im.height))

    base = picture(37, 23)
    for name, args in (("s444", ["-sample", "1x1"]), ("s422", ["-sample", "2x1"]),
                       ("s420", []), ("progressive", ["-progressive"]),
                       ("grey", ["-grayscale"]), ("stored_rgb", ["-rgb"]),
                       ("restarts", ["-restart", "1"]), ("arithmetic", ["-arithmetic"])):
        cjpeg(name, base, "-quality", "85", *args)
    cjpeg("tiny", picture(3, 2))
    cjpeg("bands", picture(1300, 150), "-quality", "60")  # several bands of rows
    cjpeg("prog_bands", picture(900, 101), "-progressive", "-sample", "1x1")

    def variant(name, data, w=37, h=23):
        with open(path(name, ".jpg"), "wb") as f:
            f.write(data)
        made.append((name, w, h))

    s420 = open(path("s420", ".jpg"), "rb").read()
    no_app0 = s420[:2] + s420[segments(s420)[0][1]:]
    variant("no_app", no_app0)
    variant("exif_thumbnail", exif_with_thumbnail(s420, open(path("tiny", ".jpg"), "rb").read()))
    # Cut in the scan data: libjpeg fills in the rest of the picture.
    def cut(data):
        return data[:(data.index(b"\xFF\xDA") + len(data)) // 2]
    variant("cut_scan", cut(s420))
    variant("cut_progressive", cut(open(path("prog_bands", ".jpg"), "rb").read()), 900, 101)

    base.convert("CMYK").save(path("cmyk", ".jpg"), quality=90)  # Adobe, inverted
    made.append(("cmyk", base.width, base.height))

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h in made:
            jpg = path(name, ".jpg")
            if not name.startswith("cut"):  # Pillow refuses cut files
                with Image.open(jpg) as im:
                    pil = im.convert("RGB").tobytes()
                with open(path(name, ".pil"), "wb") as f:
                    f.write(pil)
            for ext, args in ((".rgb", ["-rgb"]), (".grey", ["-grayscale"])):
                r = subprocess.run(["djpeg", *args, "-pnm", jpg], capture_output=True)
                if r.stdout:  # djpeg exits with 2 after warnings, and refuses CMYK
                    with open(path(name, ext), "wb") as f:
                        f.write(r.stdout[r.stdout.index(b"\n255\n") + 5:])
            if name == "cmyk":
                with open(path(name, ".rgb"), "wb") as f:
                    f.write(pil)
            m.write(f"{name} {w} {h}\n")


if __name__ == "__main__":
    main(sys.argv[1])
