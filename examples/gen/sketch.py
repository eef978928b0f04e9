#!/usr/bin/python3
"""Writes sketch.txt, the points of a five-pointed star, into the folder given
as the first argument (default: the current folder).

Each line holds one point as (x, y); csketchfile_cvs reads it as x + iy.
"""
import math
import os
import sys


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "."
    points = []
    for k in range(11):  # ten corners and back to the first
        r = 1.0 if k % 2 == 0 else 0.4
        a = math.pi / 2 + k * math.pi / 5
        points.append(f"({r * math.cos(a):.4f}, {r * math.sin(a):.4f})")
    with open(os.path.join(out_dir, "sketch.txt"), "w") as f:
        f.write("\n".join(points) + "\n")


if __name__ == "__main__":
    main()
