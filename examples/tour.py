#!/usr/bin/python3
"""A tour of the kexio Python module: the worksheet functions as numpy calls.

Run it in this folder after a build:

    PYTHONPATH=../build/python python3 tour.py

It reads the sample files of this folder and writes its own files with names
starting "tour-py-", which it removes at the end.
"""
import atexit
import os
import pathlib

import numpy as np

import kexio

here = pathlib.Path(__file__).resolve().parent
os.chdir(here)  # relative names are relative to the process's folder
made = []
atexit.register(lambda: [os.remove(n) for n in made if os.path.exists(n)])


def show(title, value):
    print(f"\n{title}")
    print(value if not isinstance(value, np.ndarray) else
          f"{value.dtype} {value.shape}\n{np.array2string(value, precision=4, threshold=40)}")


# Text tables: a matrix of float64, rows x columns as in the file.
log = kexio.read_prn("measurements.prn")
show("read_prn('measurements.prn')", log)
made.append("tour-py-table.prn")
kexio.write_prn(made[-1], log * 2, precision=6, width=10)
show("written at precision 6 and read back", kexio.read_prn(made[-1])[:3])

# Texts and nested matrices come back as object arrays.
made.append("tour-py-nested.prn")
kexio.write_prn(made[-1], np.array([[1 + 2j, "label"], [np.eye(2), 5]], dtype=object))
show("a nested matrix", kexio.read_prn(made[-1]))

# Pictures as numpy users hold them: (H, W, 3) in the file's own type.
picture = kexio.imread("sample.bmp")
show("imread('sample.bmp')", picture[:2, :3])
show("imread('depth16.tif'): 16-bit samples stay 16-bit", kexio.imread("depth16.tif")[:2, :4])
made.append("tour-py-picture.png")
kexio.imwrite(made[-1], np.dstack([picture, np.full(picture.shape[:2], 128, np.uint8)]))
show("written as PNG with alpha and read back", kexio.imread(made[-1]).shape)

# The worksheet's images: planes side by side, 0..255, float64.
rgb = kexio.read_rgb("sample.bmp")
show("read_rgb('sample.bmp') as the worksheet has it", rgb.shape)
made.append("tour-py-negative.bmp")
kexio.write_rgb(made[-1], 255 - rgb)
show("negative written and read back, plus the original", np.unique(kexio.read_rgb(made[-1]) + rgb))
show("read_hsv_hue('sample.gif')", kexio.read_hsv_hue("sample.gif"))

# Binary data: any dtype and layout goes in; float64 comes out.
readings = kexio.read_bin("sensor.bin", "int16", 1, 3, 16)
show("read_bin('sensor.bin', 'int16', 1, 3, 16)", readings[:4])
made.append("tour-py-levels.u8")
kexio.write_bin(made[-1], "byte", 0, np.array([0.5, 1.5, -2.5, 254.5, 300], dtype=np.float32))
show("bytes written by write_bin", pathlib.Path(made[-1]).read_bytes())

# Sound as scipy.io.wavfile has it: (rate, samples) in the file's own type.
t = np.arange(800) / 8000
made.append("tour-py-float.wav")
kexio.wavwrite(made[-1], 8000, np.sin(2 * np.pi * 440 * t).astype(np.float32))
show("wavinfo of a float32 tone", kexio.wavinfo(made[-1]))
show("wavread gives it back", kexio.wavread(made[-1])[1][:4])

# The worksheet's sound: one row per frame, one column per channel.
made.append("tour-py-tone.wav")
kexio.write_wav(made[-1], 8000, 16, (np.sin(2 * np.pi * 440 * t) * 16000)[:, None])
show("get_wav_info of the tone", kexio.get_wav_info(made[-1]).ravel())

# Colormaps, data import and sketch files.
show("load_colormap('viridis')", kexio.load_colormap("viridis")[::64])
# Optional arguments left out take the worksheet's defaults; one nested in
# another needs the outer one (missing needs cols, cols needs rows).
show("read_file('stations.csv', 'csv', rows=2, cols=[3, 5], missing=-1)",
     kexio.read_file("stations.csv", "csv", rows=2, cols=[3, 5], missing=-1))
show("read_sketch('sketch.txt'): points as complex numbers", kexio.read_sketch("sketch.txt")[:4])

# Any function by its worksheet name.
show("call('READBIN', 'sensor.bin', 'uint16', 1, 3, 16)",
     kexio.call("READBIN", "sensor.bin", "uint16", 1, 3, 16)[:2])

# Errors carry the library's message, the argument they belong to, why and how
# to put it right; a file that cannot be opened is an OSError too.
try:
    kexio.read_prn("missing.prn")
except FileNotFoundError as e:
    show(f"FileNotFoundError (a kexio.Error): errno {e.errno}, filename {e.filename!r}", e)
try:
    kexio.read_bin("sensor.bin", "int24")
except kexio.Error as e:
    show(f"kexio.Error: message {e.message!r}, argument {e.argument}, hint {e.hint!r}", e)
