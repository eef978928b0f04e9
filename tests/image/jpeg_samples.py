#!/usr/bin/python3
"""jpeg_samples.py FOLDER: JPEG files NAME.jpg from cjpeg and Pillow, listed
in FOLDER/manifest (NAME.jpg width height), with their pixels (rows top
first, no header) as djpeg -rgb (NAME.jpg.rgb; Pillow's for CMYK), djpeg
-grayscale (NAME.jpg.grey) and Pillow (NAME.jpg.pil) decode them."""
import os
import struct
import subprocess
import sys

from PIL import Image


def picture(w, h):
    """Colour ramps under a sharp-edged checker: chroma subsampling and every
    block position matter."""
    im = Image.new("RGB", (w, h))
    im.putdata([((7 * x + e) % 256, (5 * y + 3 * x) % 256, (255 - 4 * y + e) % 256)
                for y in range(h) for x in range(w) for e in [90 * ((x // 5 + y // 3) % 2)]])
    return im


def main(folder):
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
    for name, args in (("s444", ["-sample", "1x1"]), ("s422", ["-sample", "2x1"]),
                       ("progressive", ["-progressive"]), ("grey", ["-grayscale"]),
                       ("stored_rgb", ["-rgb"]), ("restarts", ["-restart", "1"]),
                       ("arithmetic", ["-arithmetic"])):
        cjpeg(name, base, *args)
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
    main(sys.argv[1])
