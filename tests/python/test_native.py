"""The module's Python conventions against the libraries a Python user would call instead:
wavread/wavwrite/wavinfo against scipy.io.wavfile, imread/imwrite against Pillow.

Run by CTest with PYTHONPATH pointing at the built (or installed) package; exits 77
(skipped) when the module was not built.
"""
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

try:
    import numpy as np
    import kexio
except ImportError as e:  # the module is optional
    print("skipped:", e)
    sys.exit(77)

from scipy.io import wavfile

RNG = np.random.default_rng(31)


def samples(dtype, shape):
    """Random samples over the whole range of an integer type, or around -1..1."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return (RNG.standard_normal(shape) * 0.5).astype(dtype)
    info = np.iinfo(dtype)
    native = dtype.newbyteorder("=")
    return RNG.integers(info.min, info.max, size=shape, dtype=native, endpoint=True).astype(dtype)


def wav_header(tag, channels, rate, block_align, bits, data, big=False, extensible=None):
    """A WAV file made field by field: for formats scipy reads but does not write."""
    e = ">" if big else "<"
    fmt = struct.pack(e + "HHIIHH", tag, channels, rate, rate * block_align, block_align, bits)
    if extensible is not None:
        fmt += struct.pack(e + "HHI", 22, bits, 0) + struct.pack(e + "I", extensible) + \
            b"\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71"
    body = b"WAVE" + b"fmt " + struct.pack(e + "I", len(fmt)) + fmt + \
        b"data" + struct.pack(e + "I", len(data)) + data
    return (b"RIFX" if big else b"RIFF") + struct.pack(e + "I", len(body)) + body


class NativeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kexio-native-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def p(self, name):
        return os.path.join(self.tmp, name)

    def test_wav_round_trips_with_scipy_for_every_dtype(self):
        for dtype in ["uint8", "int8", "int16", "int32", "int64", "float32", "float64"]:
            for shape in [(9,), (6, 2), (5, 3), (0, 2)]:
                with self.subTest(dtype=dtype, shape=shape):
                    data = samples(dtype, shape)
                    ours, theirs = self.p("ours.wav"), self.p("theirs.wav")
                    kexio.wavwrite(ours, 44100, data)
                    wavfile.write(theirs, 44100, data)
                    self.assertEqual(pathlib.Path(ours).read_bytes(),
                                     pathlib.Path(theirs).read_bytes())
                    rate, back = kexio.wavread(theirs)
                    want_rate, want = wavfile.read(ours)
                    self.assertEqual((rate, back.dtype, back.shape), (want_rate, want.dtype, want.shape))
                    np.testing.assert_array_equal(back, want)
                    self.assertTrue(back.flags.c_contiguous and back.flags.writeable)
                    channels = shape[1] if len(shape) == 2 else 1
                    bits = np.dtype(dtype).itemsize * 8
                    self.assertEqual(tuple(kexio.wavinfo(ours)), (
                        channels, 44100, bits, 44100 * channels * bits // 8, shape[0],
                        3 if dtype.startswith("float") else 1))
        # Big-endian and strided arrays are written in order, as scipy writes them.
        data = samples(">i2", (8, 2))[::2]
        kexio.wavwrite(self.p("ours.wav"), 8000, data)
        np.testing.assert_array_equal(wavfile.read(self.p("ours.wav"))[1], data)

    def test_wav_files_scipy_reads_but_does_not_write(self):
        pcm24 = samples("int32", (7, 2)) >> 8  # 24-bit values
        stored24 = b"".join(int(v).to_bytes(3, "little", signed=True) for v in pcm24.ravel())
        pcm12 = samples("int16", (5,)) & ~0xF
        files = {  # name: file bytes (scipy's read is the reference for each)
            "wave24": None,  # the standard library's wave module, 24-bit
            "ext24": wav_header(0xFFFE, 2, 8000, 6, 24, stored24, extensible=1),
            "extfloat": wav_header(0xFFFE, 1, 8000, 4, 32, samples("<f4", (6,)).tobytes(),
                                   extensible=3),
            "rifx16": wav_header(1, 2, 8000, 4, 16, samples(">i2", (5, 2)).tobytes(), big=True),
            "rifx24": wav_header(1, 1, 8000, 3, 24, stored24[::-1], big=True),
            "pcm12in16": wav_header(1, 1, 8000, 2, 12, pcm12.astype("<i2").tobytes()),
            "pcm40": wav_header(1, 1, 8000, 5, 40, bytes(range(25))),
            "float64": wav_header(3, 2, 8000, 16, 64, samples("<f8", (3, 2)).tobytes()),
        }
        with wave.open(self.p("wave24.wav"), "wb") as w:
            w.setnchannels(2), w.setsampwidth(3), w.setframerate(22050)
            w.writeframes(stored24)
        for name, data in files.items():
            with self.subTest(name):
                path = self.p(name + ".wav")
                if data is not None:
                    pathlib.Path(path).write_bytes(data)
                want_rate, want = wavfile.read(path)
                rate, got = kexio.wavread(path)
                self.assertEqual((rate, got.dtype, got.shape),
                                 (want_rate, want.dtype.newbyteorder("="), want.shape))
                np.testing.assert_array_equal(got, want)
        # scipy puts 24-bit samples in the upper bytes: 1 reads as 256.
        np.testing.assert_array_equal(kexio.wavread(self.p("ext24.wav"))[1], pcm24 << 8)

    def test_wav_refusals_keep_the_old_file(self):
        old = self.p("old.wav")
        wavfile.write(old, 8000, samples("int16", (4,)))
        before = pathlib.Path(old).read_bytes()
        for data, rate in [(np.zeros(4, np.uint16), 8000), (np.zeros(4, np.complex64), 8000),
                           (np.zeros((2, 2, 2), np.int16), 8000), (np.zeros(4, np.float16), 8000),
                           (np.zeros(4, bool), 8000), (np.zeros(4, np.int16), -1),
                           (np.zeros(4, np.int16), 2**32), (np.zeros((1, 40000), np.int16), 8000),
                           (np.zeros((1, 4), np.int64), 2**30)]:
            with self.subTest(dtype=data.dtype.name, shape=data.shape, rate=rate):
                with self.assertRaises(ValueError) as c:
                    kexio.wavwrite(old, rate, data)
                self.assertIn(str(data.dtype) if rate == 8000 else "rate", str(c.exception))
                self.assertEqual(pathlib.Path(old).read_bytes(), before)
        pathlib.Path(self.p("short.wav")).write_bytes(before[:30])
        for path, cls in [(self.p("none.wav"), FileNotFoundError), (self.tmp, IsADirectoryError),
                          (self.p("short.wav"), kexio.Error)]:
            for f in (kexio.wavread, kexio.wavinfo):
                with self.subTest(path=path, f=f.__name__), self.assertRaises(cls) as c:
                    f(path)
                self.assertIsInstance(c.exception, kexio.Error)
                self.assertEqual(c.exception.function, f.__name__)


if __name__ == "__main__":
    unittest.main()
