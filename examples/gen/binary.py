#!/usr/bin/python3
"""Writes the sample files of the binary-matrix section of the tour into the
folder given as the first argument.

sensor.bin: a 16-byte text header, then 6 rows of three big-endian signed
16-bit readings (temperature in tenths of a degree, pressure offset, a
counter that runs past 32767 into negative numbers).
"""
import os
import struct
import sys


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    rows = [(215 + 3 * i, -40 + 25 * i, 32765 + i) for i in range(6)]
    with open(os.path.join(folder, "sensor.bin"), "wb") as f:
        f.write(b"SENSOR LOG v1\r\n\x00")
        for t, p, n in rows:
            f.write(struct.pack(">3h", t, p, (n + 32768) % 65536 - 32768))


if __name__ == "__main__":
    main()
