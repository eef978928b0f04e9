#!/usr/bin/python3
"""Files per second of examples/archive.py on a generated archive: a plain serial loop,
threads of concurrent.futures in one process (the module releases the interpreter lock
during each call), and Dask local clusters of 1 and 2 worker processes. Every way runs
ROUNDS times (default 3); the table gives the median, cluster start-up included.

    bench/archive_bench.py [FILES]     (default 1200 files, about 460 MB)
"""
import os
import pathlib
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image
from scipy.io import wavfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import archive  # noqa: E402


def make_archive(root, n):
    rng = np.random.default_rng(1)
    base = rng.integers(0, 256, (480, 640, 3), dtype=np.uint8)
    for i in range(n):
        d = root / f"{i % 20:02}"
        d.mkdir(exist_ok=True)
        kind = i % 4
        if kind == 0:  # a photo-like JPEG
            Image.fromarray(np.roll(base, i, axis=1)).save(d / f"{i}.jpg", quality=90)
        elif kind == 1:  # a smaller PNG
            Image.fromarray(base[:240, :320]).save(d / f"{i}.png")
        elif kind == 2:  # five seconds of stereo 16-bit sound
            wavfile.write(d / f"{i}.wav", 44100,
                          rng.integers(-20000, 20000, (220500, 2), dtype=np.int16))
        else:  # a 2000 x 8 table of numbers
            np.savetxt(d / f"{i}.csv", rng.normal(0, 1, (2000, 8)), delimiter=",", fmt="%.6g")


def timed(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1200
    rounds = int(os.environ.get("ROUNDS", "3"))
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "archive"
        root.mkdir()
        make_archive(root, n)
        out = str(pathlib.Path(tmp) / "table.csv")
        folder = str(root)
        rels = list(archive.files_below(folder))

        def threads():
            parts = archive.batches(rels, 8)
            with ThreadPoolExecutor(os.cpu_count()) as pool:
                rows = [r for p in pool.map(lambda b: archive.summarise_batch(folder, b, []),
                                            parts) for r in p]
            archive.write_table(out, rows)

        ways = [("serial loop (--workers 0)", lambda: archive.main([folder, "--out", out,
                                                                     "--workers", "0"])),
                (f"threads in one process ({os.cpu_count()})", threads),
                ("Dask, 1 worker process", lambda: archive.main([folder, "--out", out,
                                                                  "--workers", "1"])),
                ("Dask, 2 worker processes", lambda: archive.main([folder, "--out", out,
                                                                    "--workers", "2"]))]
        print(f"{len(rels)} files, {sum(os.path.getsize(os.path.join(folder, r)) for r in rels) / 1e6:.0f} MB; "
              f"load average {os.getloadavg()[0]:.1f}")
        print("| way | files per second |\n|---|---|")
        for name, fn in ways:
            t = timed(fn, rounds)
            print(f"| {name} | {len(rels) / t:.0f} |", flush=True)


if __name__ == "__main__":
    main()
