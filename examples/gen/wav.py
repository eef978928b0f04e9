#!/usr/bin/python3
"""Writes the recording of the notebook tour into the folder given as the
first argument.

chord.wav: one second of 16-bit stereo PCM at 16000 frames per second, an A
major chord (440, 554.37 and 659.26 Hz) on the left channel and its root an
octave lower on the right, both fading out.
"""
import math
import os
import struct
import sys

RATE = 16000


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    frames = []
    for i in range(RATE):
        t = i / RATE
        fade = math.exp(-3 * t) * min(1.0, t * 200)
        left = sum(math.sin(2 * math.pi * f * t) for f in (440.0, 554.37, 659.26)) / 3
        right = math.sin(2 * math.pi * 220.0 * t)
        frames.append(struct.pack("<hh", round(20000 * fade * left), round(20000 * fade * right)))
    data = b"".join(frames)
    header = (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt "
              + struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 4, 4, 16)
              + b"data" + struct.pack("<I", len(data)))
    with open(os.path.join(folder, "chord.wav"), "wb") as f:
        f.write(header + data)


if __name__ == "__main__":
    main()
