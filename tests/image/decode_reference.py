#!/usr/bin/python3
"""Decodes image files with Pillow and ImageMagick.

Usage: decode_reference.py FILE...

For each FILE writes FILE.pil and FILE.im: the pixels as rows of red, green,
blue bytes, top row first, as each tool reads them (a dump is left out when
its tool is missing or cannot read the file).
"""
import os
import subprocess
import sys

CONVERT = "/usr/bin/convert-im6.q16"

for path in sys.argv[1:]:
    try:
        from PIL import Image
        with Image.open(path) as img:
            data = img.convert("RGB").tobytes()
        with open(path + ".pil", "wb") as f:
            f.write(data)
    except Exception as e:  # no reference from Pillow
        print(f"{path}: Pillow: {e}", file=sys.stderr)
    if os.access(CONVERT, os.X_OK):
        r = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"], capture_output=True)
        if r.returncode == 0:
            with open(path + ".im", "wb") as f:
                f.write(r.stdout)
