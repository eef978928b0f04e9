"""examples/archive.py on a generated tree of a few hundred files of every kind, some
broken on purpose: a local Dask cluster of 2 worker processes gives the serial run's
table row for row, errors included, also when a worker is killed mid-run; figures of
sound and pictures agree with scipy and Pillow.

Exits 77 (skipped) when the module or Dask is missing.
"""
import csv
import os
import pathlib
import signal
import sys
import tempfile
import threading
import time
import unittest

try:
    import numpy as np
    import kexio  # noqa: F401  (the workers import it)
    from dask.distributed import Client, LocalCluster
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

from PIL import Image
from scipy.io import wavfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import archive  # noqa: E402

BIN = ["--bin", "*.i16=int16:4"]


def make_tree(root):
    rng = np.random.default_rng(7)
    # Pictures in every format Pillow writes and kexio reads; the odd ones are cut short.
    for i in range(90):
        ext = ["png", "gif", "jpg", "tif", "bmp", "tga", "pcx", "ppm", "pgm"][i % 9]
        h, w = int(rng.integers(1, 40)), int(rng.integers(1, 40))
        a = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        img = Image.fromarray(a[:, :, 0] if ext == "pgm" else a)
        p = root / f"pictures/{i // 30}/p{i:03}.{ext}"
        p.parent.mkdir(parents=True, exist_ok=True)
        img.save(p)
        if i % 7 == 3:
            p.write_bytes(p.read_bytes()[: max(len(p.read_bytes()) // 2, 20)])
    # Sound: 8-, 16- and 32-bit, one or two channels; some empty or not WAV at all.
    for i in range(60):
        p = root / f"sound/s{i:03}.wav"
        p.parent.mkdir(parents=True, exist_ok=True)
        dtype = [np.uint8, np.int16, np.int32][i % 3]
        shape = (int(rng.integers(1, 500)),) + (() if i % 2 else (2,))
        info = np.iinfo(dtype)
        wavfile.write(p, 8000 + 1000 * i, rng.integers(info.min, info.max, shape, dtype=dtype))
        if i % 11 == 5:
            p.write_bytes(b"" if i % 2 else b"not a wave file at all")
    # Tables: PRN, comma and tab separated, typed binary; some with words in them.
    for i in range(120):
        kind = ["prn", "csv", "tsv", "i16"][i % 4]
        p = root / f"tables/{kind}/t{i:03}.{kind}"
        p.parent.mkdir(parents=True, exist_ok=True)
        m = rng.normal(0, 100, (int(rng.integers(1, 30)), 4)).round(3)
        if kind == "i16":
            m.astype("<i2").tofile(p)
        else:
            np.savetxt(p, m, delimiter={"prn": " ", "csv": ",", "tsv": "\t"}[kind], fmt="%g")
        if i % 13 == 6:
            p.write_text("1 2 x\n3 y 4\n" if kind == "prn" else '"unclosed,1\n2,3\n')
    (root / "notes.md").write_text("# not a file kexio reads\n")
    (root / "pictures/empty.bmp").write_bytes(b"")


def floats(text):  # a figure of each channel or column, as the table joins them
    return [float(v) for v in text.split(";")]


def read_table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


class Archive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        cls.root = cls.tmp / "tree"
        make_tree(cls.root)
        cls.serial = cls.run_archive("serial.csv", "--workers", "0")

    @classmethod
    def run_archive(cls, name, *args):
        out = cls.tmp / name
        archive.main([str(cls.root), "--out", str(out), *BIN, *args])
        return read_table(out)

    def test_serial_table(self):
        rows = {r["path"]: r for r in self.serial}
        self.assertEqual([r["path"] for r in self.serial], sorted(rows))
        self.assertNotIn("notes.md", rows)  # nothing of ours reads it
        kinds = {k: sum(r["kind"] == k for r in self.serial) for k in ("image", "wav", "table", "bin")}
        self.assertEqual(kinds, {"image": 91, "wav": 60, "table": 90, "bin": 30})
        failed = {p for p, r in rows.items() if r["error"]}
        self.assertLessEqual({"pictures/empty.bmp", "pictures/0/p003.tif", "sound/s005.wav",
                              "sound/s016.wav", "tables/csv/t045.csv"}, failed)
        self.assertTrue(all(rows[p]["error"] == "" for p in rows if p not in failed))
        # Sound figures against scipy's reading of the same file.
        for p in ["sound/s000.wav", "sound/s001.wav", "sound/s004.wav"]:
            rate, data = wavfile.read(self.root / p)
            data = data.reshape(len(data), -1)
            r = rows[p]
            self.assertEqual((int(r["rate"]), int(r["channels"])), (rate, data.shape[1]))
            self.assertAlmostEqual(float(r["duration"]), len(data) / rate)
            if data.dtype == np.int16:  # 16-bit samples are read as they are stored
                x = data.astype(np.float64)
                np.testing.assert_allclose(floats(r["rms"]), np.sqrt((x * x).mean(0)))
                np.testing.assert_allclose(floats(r["peak"]), np.abs(x).max(0))
        # Picture figures against Pillow: size and colour means.
        for p in ["pictures/0/p000.png", "pictures/0/p004.bmp", "pictures/1/p036.png"]:
            a = np.asarray(Image.open(self.root / p).convert("RGB"), dtype=np.float64)
            r = rows[p]
            self.assertEqual((int(r["height"]), int(r["width"])), a.shape[:2])
            np.testing.assert_allclose(floats(r["channel_means"]), a.mean(axis=(0, 1)))
        # Tables: the column means of what numpy reads.
        m = np.loadtxt(self.root / "tables/prn/t000.prn", ndmin=2)
        r = rows["tables/prn/t000.prn"]
        self.assertEqual((int(r["rows"]), int(r["columns"])), m.shape)
        np.testing.assert_allclose(floats(r["column_means"]), m.mean(0))

    def test_two_workers_give_the_serial_table(self):
        self.assertEqual(self.run_archive("two.csv", "--workers", "2"), self.serial)

    def test_a_worker_killed_mid_run(self):
        # Small batches on a cluster of our own, so that the run is still going when one
        # of its worker processes is killed; the nanny starts another and Dask gives the
        # lost tasks to the workers that are left.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            pids = client.run(os.getpid)
            out = {}
            run = threading.Thread(target=lambda: out.update(
                rows=self.run_archive("killed.csv", "--scheduler", cluster.scheduler_address,
                                      "--batch", "1")))
            run.start()
            deadline = time.monotonic() + 60
            victim = None
            while victim is None and run.is_alive() and time.monotonic() < deadline:
                busy = [w for w, tasks in client.processing().items() if tasks]
                victim = pids.get(busy[0]) if busy else None
                time.sleep(0.01)
            self.assertIsNotNone(victim, "the run ended before a worker could be killed")
            os.kill(victim, signal.SIGKILL)
            self.assertTrue(run.is_alive(), "the run ended before the worker was killed")
            run.join(300)
            self.assertNotIn(victim, client.run(os.getpid).values())
        self.assertEqual(out["rows"], self.serial)


if __name__ == "__main__":
    unittest.main()
