#!/usr/bin/python3
"""GIF files written by Pillow and ImageMagick, with the pixels of their
first picture as Pillow and ImageMagick read them.

gif_references.py FOLDER: writes the files into FOLDER, each FILE with
FILE.pil and FILE.im beside it (see references.dump), and lists them in
FOLDER/manifest (file width height).
"""
import os
import random
import subprocess
import sys

from references import CONVERT, colours, dump


def main(folder):
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
    pillow("pil_256_flat.gif", paletted(61, 47, 256), interlace=False)
    pillow("pil_2.gif", paletted(33, 20, 2), interlace=False)
    pillow("pil_16.gif", paletted(45, 9, 16))
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
        magick("im_plasma.gif", 97, 61, ["plasma:fractal"], "-colors", "256")
        magick("im_plasma_interlaced.gif", 97, 61, ["plasma:fractal"], "-colors", "256",
               "-interlace", "GIF")
        magick("im_noise.gif", 300, 150, ["xc:", "+noise", "Random"], "-colors", "256")
        magick("im_two.gif", 50, 30, ["plasma:fractal"], "-monochrome")
        magick("im_comment.gif", 40, 30, ["gradient:red-blue"], "-comment", "a comment")
        magick("im_grey.gif", 64, 64, ["gradient:"], "-colorspace", "Gray")
        magick("im_animated.gif", 32, 24, ["plasma:fractal", "xc:red", "plasma:"], "-delay",
               "10", "-loop", "0", "-colors", "200")
        for h in (1, 2, 3, 10, 17):
            magick(f"im_interlaced_{h}.gif", 11, h, ["plasma:fractal"], "-colors", "20",
                   "-interlace", "GIF")

    with open(os.path.join(folder, "manifest"), "w") as m:
        for name, w, h in made:
            dump(os.path.join(folder, name))
            m.write(f"{name} {w} {h}\n")


if __name__ == "__main__":
    main(sys.argv[1])
