"""ModuleTest: the Python module against the worksheet host: every function called both
ways on the same files must give the same values, errors and file bytes. NativeTest: the
module's Python conventions against the libraries a Python user would call instead:
wavread/wavwrite/wavinfo against scipy.io.wavfile, imread/imwrite against Pillow and, where
it is installed, OpenCV.

Run by CTest with PYTHONPATH pointing at the built (or installed) package and KEXIO_BIN at
the host, one class at a time; exits 77 (skipped) when the module was not built.
"""
import errno
import functools
import inspect
import json
import math
import multiprocessing
import os
import pathlib
import pickle
import re
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import wave
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

try:
    import numpy as np
    import kexio
except ImportError as e:  # the module is optional
    print("skipped:", e)
    sys.exit(77)

from PIL import Image
from scipy.io import wavfile

try:  # a second reference decoder, where it is installed
    import cv2
except ImportError:
    cv2 = None

HOST = os.environ["KEXIO_BIN"]
# Python name -> worksheet name, written out here so that a wrong mapping fails.
NAMES = dict(w.split("=") for w in """read_prn=READPRN write_prn=WRITEPRN append_prn=APPENDPRN
    read_image=READ_IMAGE read_bmp=READBMP read_rgb=READRGB read_red=READ_RED read_green=READ_GREEN
    read_blue=READ_BLUE read_hls=READ_HLS read_hls_hue=READ_HLS_HUE read_hls_light=READ_HLS_LIGHT
    read_hls_sat=READ_HLS_SAT read_hsv=READ_HSV read_hsv_hue=READ_HSV_HUE read_hsv_sat=READ_HSV_SAT
    read_hsv_value=READ_HSV_VALUE write_bmp=WRITEBMP write_rgb=WRITERGB write_hls=WRITE_HLS
    write_hsv=WRITE_HSV read_bin=READBIN write_bin=WRITEBIN read_raw=READRAW write_raw=WRITERAW
    get_wav_info=GETWAVINFO read_wav=READWAV write_wav=WRITEWAV load_colormap=LoadColormap
    save_colormap=SaveColormap read_file=READFILE read_sketch=csketchfile_cvs""".split())


def host_json(statements, cwd):
    """One JSON object per statement, as the host shows each value or error."""
    cmd = [HOST, "--json", "--cwd", cwd]
    for s in statements:
        cmd += ["-e", s]
    out = subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()
    assert len(out) == len(statements), (statements, out)
    out = [json.loads(line) for line in out]
    for j in out:
        if j["type"] == "error":
            j["message"] = same_lib(j["message"])
            # Where the statement stands and how to fix its wording are the
            # host's own; the module has no statements.
            j.pop("line", None)
            j.pop("hint", None)
    return out


def same_lib(message):
    """The library's folder as a path names it differs between the host and the module
    (the build tree's or an installed package's): it is LIB in both."""
    return re.sub(r"'[^']*/cmaps/", "'LIB/cmaps/", message)


def as_json(v):
    """The module's value in the host's JSON form, with its Python types checked."""
    jnum = lambda x: ("NaN" if math.isnan(x) else "Infinity" if x == math.inf
                      else "-Infinity" if x == -math.inf else x)
    if isinstance(v, kexio.Error):
        e = {"type": "error", "message": same_lib(v.message), "arg": v.argument}
        return e if v.detail is None else {**e, "detail": v.detail}
    if isinstance(v, str):
        return {"type": "string", "value": v}
    if type(v) is complex and v.imag == 0 or type(v) not in (float, complex, np.ndarray):
        return f"{type(v).__name__} {v!r}"
    if not isinstance(v, np.ndarray):
        return {"type": "number", "re": jnum(v.real), "im": jnum(complex(v).imag)}
    if v.dtype not in (np.float64, np.complex128, object) or v.ndim != 2:
        return f"array {v.dtype} {v.shape}"
    cplx = v.dtype == complex or any(type(x) is complex for x in v.flat)
    if v.dtype == object and all(type(x) in (float, complex) for x in v.flat):
        return "object array of numbers only"
    cell = lambda x: (as_json(x) if isinstance(x, (str, np.ndarray)) else
                      [jnum(x.real), jnum(complex(x).imag)] if cplx else jnum(x))
    return {"type": "matrix", "rows": v.shape[0], "cols": v.shape[1],
            "data": [[cell(x) for x in row] for row in v]}


def literal(v):
    """A value as the worksheet writes it."""
    if isinstance(v, str):
        return f'"{v}"'
    if isinstance(v, np.ndarray):
        return "[" + "; ".join(", ".join(map(literal, row)) for row in v) + "]"
    if isinstance(v, complex):
        return f"({literal(v.real)} + {literal(v.imag)}i)"
    return "NaN" if math.isnan(v) else repr(float(v))


def attempt(f, *args, **kw):
    try:
        return f(*args, **kw)
    except kexio.Error as e:
        return e


def unprivileged():
    if os.getuid() == 0:
        os.setgid(65534)
        os.setuid(65534)


def in_child(f):
    """f's result or kexio.Error in a child process without root's privileges."""
    with ProcessPoolExecutor(1, multiprocessing.get_context("fork"), unprivileged) as pool:
        return pool.submit(attempt, f).result()


class ModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="kexio-py-"))
        cls.addClassCleanup(os.chdir, os.getcwd())
        d = pathlib.Path(cls.tmp)
        for name, text in {"t.prn": "1 2.5 3\n4 5 6e-3\n-7 1e300 0.1\n", "café.prn": "9 8\n",
                           "ragged.prn": "1 2\n3\n", "sketch.txt": "(1,2) (3.5,-4)\n",
                           "t.csv": "1,2,x\n3,,4\n"}.items():
            (d / name).write_text(text)
        rng = np.random.default_rng(5)
        cls.pixels = rng.integers(0, 256, size=(5, 7, 3), dtype=np.uint8)
        Image.fromarray(cls.pixels, "RGB").save(d / "p.bmp")
        Image.fromarray(cls.pixels, "RGB").save(d / "p.png")
        big = rng.integers(0, 256, size=(300, 400, 3), dtype=np.uint8)
        Image.fromarray(big, "RGB").save(d / "big.bmp")
        np.arange(-12, 12, dtype="<i2").tofile(d / "i16.bin")
        wavfile.write(d / "s.wav", 8000, np.array([[0, -1], [300, -32768], [32767, 5]], np.int16))
        os.mkdir(d / "a")
        os.mkdir(d / "b")
        # A nested-matrix file, written by the host.
        host_json(['WRITEPRN("nested.prn", [1, "ab"; [1; 2], 3i])'], cls.tmp)

    def p(self, name):
        return os.path.join(self.tmp, name)

    def test_readers_give_the_hosts_values_and_errors(self):
        cases = [  # (function, file, further arguments, keyword arguments in order)
            ("read_prn", "t.prn", [], {}), ("read_prn", "nested.prn", [], {}),
            ("read_prn", "ragged.prn", [], {}), ("read_prn", "missing.prn", [], {}),
            ("read_bin", "i16.bin", ["int16", 0, 4], {}), ("read_bin", "i16.bin", ["int16", 2], {}),
            ("read_bin", "i16.bin", ["int16"], {"endian": 1, "cols": 3, "skip": 2, "rows": 2}),
            ("read_bin", "i16.bin", ["int16", 0, 5, 0, 9], {}), ("read_bin", "i16.bin", ["short"], {}),
            ("get_wav_info", "s.wav", [], {}), ("read_wav", "s.wav", [], {}), ("read_wav", "p.bmp", [], {}),
            ("load_colormap", "hot", [], {}), ("load_colormap", "no such map", [], {}),
            ("read_file", "t.csv", ["csv"], {}), ("read_file", "t.csv", ["xml"], {}),
            ("read_file", "t.csv", ["csv"], {"rows": 2, "cols": 1, "missing": -1}),
            ("read_file", "t.csv", ["fixed", np.array([[1], [2]])], {}),
            ("read_raw", "p.bmp", [7, 5, 1, "rgb", 0], {}), ("read_rgb", "p.png", [], {}),
            ("read_image", "t.prn", [], {}), ("read_sketch", "sketch.txt", [], {}),
        ] + [(f, "p.bmp", [], {}) for f in NAMES if f.startswith("read_h") or f in (
            "read_image", "read_bmp", "read_rgb", "read_red", "read_green", "read_blue")]
        os.chdir(self.tmp)  # colormap and sketch names are taken as given
        stmts = [f'{NAMES[f]}({", ".join(map(literal, [name, *args, *kw.values()]))})'
                 for f, name, args, kw in cases]
        for (f, name, args, kw), w, s in zip(cases, host_json(stmts, self.tmp), stmts):
            path = name if f in ("load_colormap", "read_sketch") else self.p(name)
            with self.subTest(s):
                self.assertEqual(as_json(attempt(getattr(kexio, f), path, *args, **kw)), w)
        # And the picture is the one Pillow wrote.
        rgb = kexio.read_rgb(self.p("p.bmp"))
        np.testing.assert_array_equal(rgb, np.hstack([self.pixels[..., i] for i in range(3)]))

    def test_writers_give_the_hosts_results_and_bytes(self):
        m = np.array([[1.25, -2, 300], [4, 2 / 3, np.nan]])  # 2 / 3: every digit shows
        grey = np.array([[0, 64, 128.4], [255, 256, -1]])
        rgb = np.hstack([grey, grey[::-1], grey * 0.5])
        wav = np.array([[0, 0.5], [-1, 1], [0.25, -0.25]])
        cmap = np.tile(np.array([[0.0], [128], [255]]), (1, 3))
        writes = [  # (function, file, arguments after the file, PRN settings)
            ("write_prn", "x.prn", [m], {}), ("write_prn", "y.prn", [m], {"precision": 6, "width": 12}),
            ("write_prn", "z.prn", [m], {"precision": 17}), ("write_prn", "n.prn", [2.5 - 1j], {}),
            ("append_prn", "x.prn", [m[:1]], {}), ("write_bmp", "g.bmp", [grey], {}),
            ("write_rgb", "c.bmp", [rgb], {}), ("write_hls", "h.bmp", [rgb], {}),
            ("write_hsv", "v.bmp", [rgb], {}), ("write_bin", "d.bin", ["int16", 1, m], {}),
            ("write_bin", "f.bin", ["float", 0, m], {}), ("write_bin", "e.bin", ["int16", 3, m], {}),
            ("write_wav", "w.wav", [8000, 16, wav], {}), ("write_wav", "q.wav", [8000, 17, wav], {}),
            ("write_raw", "r.raw", [7, "rgb", grey], {}), ("save_colormap", "k.cmp", [cmap], {}),
            ("save_colormap", "l.cmp", [cmap[:1]], {}),
        ]
        stmts, got = [], []
        for f, name, args, kw in writes:
            call = f'{NAMES[f]}("{self.tmp}/b/{name}", {", ".join(map(literal, args))})'
            p, w = kw.get("precision", 4), kw.get("width", 8)
            stmts.append(f"PRNPRECISION := {p}; PRNCOLWIDTH := {w}; {call}")
            got.append(attempt(getattr(kexio, f), self.p("a/" + name), *args, **kw))
        want = host_json(stmts, self.tmp)
        for (f, name, *_), g, w, s in zip(writes, got, want, stmts):
            with self.subTest(s):
                self.assertEqual(as_json(g), w)
                a, b = pathlib.Path(self.tmp, "a", name), pathlib.Path(self.tmp, "b", name)
                self.assertEqual(a.exists(), b.exists(), s)
                if a.exists():
                    self.assertEqual(a.read_bytes(), b.read_bytes(), s)

    def test_argument_layouts_and_dtypes_give_the_same_file(self):
        base = np.arange(24, dtype=np.int64).reshape(4, 6) * 7 - 30
        variants = {
            "c": base, "f": np.asfortranarray(base), "f64": base.astype(np.float64),
            "i16": base.astype(np.int16), "f32": base.astype(np.float32),
            "cplx0": base.astype(np.complex128), "list": base.tolist(),
            "strided": np.repeat(np.repeat(base, 2, 0), 3, 1)[::2, ::3],
        }
        for name, v in variants.items():
            with self.subTest(name):
                out = self.p(f"lay_{name}.bin")
                self.assertEqual(kexio.write_bin(out, "int32", 0, v), 0.0)
                data = pathlib.Path(out).read_bytes()
                np.testing.assert_array_equal(np.frombuffer(data, "<i4").reshape(4, 6), base)
        # A vector is a column; booleans are 0 and 1; numpy scalars are numbers.
        kexio.write_bin(self.p("col.bin"), "byte", 0, np.array([True, False, True]))
        self.assertEqual(kexio.read_bin(self.p("col.bin"), "byte", 0, 1).shape, (3, 1))
        self.assertEqual(pathlib.Path(self.p("col.bin")).read_bytes(), b"\1\0\1")
        self.assertEqual(kexio.write_prn(self.p("s.prn"), np.float32(1.5)), 1.5)
        with self.assertRaises(TypeError):
            kexio.write_bin(self.p("x.bin"), "byte", 0, np.zeros((2, 2, 2)))

    def test_results_are_numpy_arrays_without_copies(self):
        a = kexio.read_prn(self.p("t.prn"))
        self.assertEqual((a.dtype, a.shape), (np.float64, (3, 3)))
        self.assertTrue(a.flags.f_contiguous and not a.flags.owndata and a.flags.writeable)
        a[0, 0] = 99  # ours to change
        self.assertEqual(kexio.read_prn(self.p("t.prn"))[0, 0], 1.0)
        view = a[1:]
        del a
        self.assertEqual(view[0, 1], 5.0)  # the storage lives as long as a view of it
        # Values written and read back keep their kinds.
        v = np.array([[1, "text"], [np.array([[1, 2j]]), -3]], dtype=object)
        kexio.write_prn(self.p("obj.prn"), v)
        back = kexio.read_prn(self.p("obj.prn"))
        self.assertEqual((back[0, 0], back[0, 1], back[1, 1]), (1.0, "text", -3.0))
        np.testing.assert_array_equal(back[1, 0], [[1, 2j]])

    def test_path_like_and_non_ascii_names(self):
        for p in [self.p("café.prn"), pathlib.Path(self.tmp, "café.prn"),
                  os.fsencode(self.p("café.prn"))]:
            with self.subTest(type(p).__name__):
                np.testing.assert_array_equal(kexio.read_prn(p), [[9, 8]])
        kexio.write_bin(pathlib.Path(self.tmp, "pl.bin"), "byte", 0, [[1, 2]])
        self.assertEqual(pathlib.Path(self.tmp, "pl.bin").read_bytes(), b"\1\2")

    def test_errors_name_the_function_and_argument(self):
        os.chmod(self.p("t.prn"), 0o644)
        locked = self.p("locked.prn")
        pathlib.Path(locked).write_text("1\n")
        os.chmod(locked, 0)
        gone = pathlib.Path(self.tmp, "gone", "x.prn")
        missing, through = self.p("missing.prn"), self.p("t.prn/x")
        cases = [  # (call, class, message, argument, where, errno, detail, filename)
            (lambda: kexio.read_prn(missing), kexio.FileNotFoundError, "file open error", 1,
             "(argument 1, path)", errno.ENOENT, "no such file: ", missing),
            (lambda: kexio.read_prn(gone), FileNotFoundError, "file open error", 1,
             "(argument 1, path)", errno.ENOENT, "no such folder: ", str(gone)),
            (lambda: kexio.read_rgb(self.tmp.encode()), IsADirectoryError, "file open error",
             None, "(the call as a whole)", errno.EISDIR, "is a folder: ", self.tmp),
            (lambda: kexio.read_prn(through), NotADirectoryError, "file open error", 1,
             "(argument 1, path)", errno.ENOTDIR, "a part of the path is not a folder: ", through),
            (functools.partial(kexio.read_prn, locked), PermissionError, "file open error", 1,
             "(argument 1, path)", errno.EACCES, "permission denied: ", locked),
            (lambda: kexio.write_prn(self.p("w.prn"), [1], precision=0), kexio.Error,
             "illegal PRNPRECISION", None, "(the call as a whole)", None, None, None),
            (lambda: kexio.read_bin(self.p("i16.bin"), "int24"), kexio.Error,
             "unrecognized value", 2, "(argument 2, type)", None, None, None),
            (lambda: kexio.call("readprn", "x"), kexio.Error,
             "unknown function 'readprn'; did you mean READPRN?", None, "", None, None, None),
        ]
        for f, cls, message, argument, where, err, detail, filename in cases:
            with self.subTest(message=message, cls=cls.__name__):
                e = in_child(f) if err == errno.EACCES else attempt(f)
                self.assertTrue(isinstance(e, cls) and isinstance(e, kexio.Error), e)
                self.assertEqual((e.message, e.argument), (message, argument))
                self.assertEqual(isinstance(e, OSError), err is not None)
                self.assertIn(where, str(e))
                if err is not None:
                    self.assertEqual((e.errno, e.strerror), (err, os.strerror(err)))
                    self.assertEqual(e.filename, filename)
                    self.assertTrue(e.detail.startswith(detail) and e.detail in str(e), e.detail)
                # Errors cross process boundaries whole.
                back = pickle.loads(pickle.dumps(e))
                self.assertEqual((type(back), back.__dict__, str(back), back.args),
                                 (type(e), e.__dict__, str(e), e.args))
                if err is not None:
                    self.assertEqual((back.errno, back.strerror, back.filename),
                                     (e.errno, e.strerror, e.filename))
        self.assertIn("hint: the type is one of byte", str(attempt(cases[6][0])))
        with self.assertRaises(TypeError):
            kexio.read_bin(self.p("i16.bin"), "int16", cols=3)  # cols needs endian
        with self.assertRaises(TypeError):
            kexio.read_prn()

    def test_every_table_function_is_reachable(self):
        self.assertEqual({f[1]: f[0] for f in kexio.functions}, NAMES)
        self.assertEqual(list(inspect.signature(kexio.read_bin).parameters),
                         ["path", "type", "endian", "cols", "skip", "rows"])
        self.assertEqual(list(inspect.signature(kexio.write_prn).parameters),
                         ["path", "value", "precision", "width"])
        stub = pathlib.Path(kexio.__file__).with_name("__init__.pyi").read_text()
        for n in [*NAMES, "call", "imread", "imwrite", "wavread", "wavwrite", "wavinfo"]:
            with self.subTest(n):
                # Plain functions, each parameter explained in the docstring.
                f = getattr(kexio, n)
                self.assertTrue(inspect.isfunction(f))
                self.assertIn(f"def {n}(", stub)
                for p in inspect.signature(f).parameters:
                    self.assertRegex(f.__doc__, rf"\n +{p}: \w")
        self.assertEqual(kexio.__version__, subprocess.run(
            [HOST, "--version"], capture_output=True, text=True).stdout.split()[-1])
        self.assertIn("Read a PRN text table", kexio.read_prn.__doc__)
        np.testing.assert_array_equal(kexio.call("READPRN", self.p("t.prn")),
                                      kexio.read_prn(self.p("t.prn")))

    def test_calls_run_in_parallel_without_the_lock(self):
        # A reader blocked on a FIFO until this thread writes to it: the
        # call must not hold the interpreter lock meanwhile.
        fifo = self.p("fifo.prn")
        os.mkfifo(fifo)
        result = []
        t = threading.Thread(target=lambda: result.append(kexio.read_prn(fifo)))
        t.start()
        with open(fifo, "w") as f:
            f.write("1 2\n3 4\n")
        t.join(30)
        np.testing.assert_array_equal(result[0], [[1, 2], [3, 4]])
        # Four threads reading at once get what one thread gets.
        want = kexio.read_hsv(self.p("big.bmp"))
        with ThreadPoolExecutor(4) as pool:
            same = pool.map(lambda _: np.array_equal(kexio.read_hsv(self.p("big.bmp")), want), range(32))
        self.assertTrue(all(same))


RNG = np.random.default_rng(31)
IMAGE = pathlib.Path(__file__).resolve().parent.parent / "image"
sys.path.insert(0, str(IMAGE))
from references import pnm  # noqa: E402  (a 16-bit PPM or PGM, as netpbm defines it)

MAGICK = "/usr/bin/convert-im6.q16"
# The image test corpora: scripts that write reference pictures into a folder.
CORPORA = ["references.py samples", "references.py bmp_cases", "references.py png_cases",
           "references.py png_samples", "gif_cases.py", "pcx_tga_samples.py",
           "references.py jpeg_samples", "pnm_tiff_refs.py"]
PICTURES = (".bmp", ".gif", ".jpg", ".pcx", ".pbm", ".pgm", ".png", ".ppm", ".tga", ".tif")
# Where imread and Pillow part, imread reading as READRGB does: indices past the palette or
# colour map black, a palette length past 16 bits wrapped, RLE4 runs as ImageMagick reads
# them, 5-bit TGA components widened, PGM samples as stored (Pillow scales a maxval below
# 255), CMYK through libtiff's RGBA reader, and a GIF's image itself, not placed on its
# logical screen, or found inside an unknown extension.
DIFFER = {"two.gif", "no_table.gif", "beyond.bmp", "palette.png", "map24.tga", "wraps.bmp",
          "rle4.bmp", "p16.tga", "g1.pgm", "g3.pgm", "g15.pgm", "im_cmyk.tif", "placed.gif",
          "unknown_read.gif"}
# Where imread and OpenCV part: 5-bit BMP components widened by a shift, an end of line at a
# row's end read as an empty row, an RLE8 file misread, CMYK rounded its own way, 12-bit
# samples scaled to 16 bits, 16-bit colour in separate planes misread, alpha premultiplied
# or dropped, and an OS/2 palette's 3-byte colours read as 4-byte ones.
OPENCV_DIFFER = {"own_555.bmp", "own_565.bmp", "ends.bmp", "im_rle8.bmp", "cmyk.jpg",
                 "im_grey12.tif", "im_rgb16_sep.tif", "im_planes.tif", "pil_rgba.tif",
                 "pil_la.tif", "im_os2_8bit.bmp"}
# Files READRGB refuses and Pillow reads.
REFUSED = {"no_clear.gif", "planes4.pcx", "crc_data.png", "cut74.png", "no_palette.png",
           "cut_second.png", "crc_after.png", "big_short.png"}


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


def pillow_like(path, ours):
    """Pillow's reading of a picture in the channels of ours: np.asarray after convert()
    where Pillow's mode differs, its 16-bit grey as it is."""
    with Image.open(path) as im:
        im.load()
        if im.mode in ("I", "F") or im.mode.startswith("I;16"):
            return np.asarray(im)
        mode = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}[1 if ours.ndim == 2 else ours.shape[2]]
        if im.mode == "P" and "transparency" in im.info and mode in ("L", "LA"):
            return np.asarray(im.convert("RGBA").convert(mode))
        return np.asarray(im if im.mode == mode else im.convert(mode))


def opencv_like(path, ours):
    """OpenCV's reading of a picture as it stores it (IMREAD_UNCHANGED) in RGB order, in
    the channels of ours where it differs only in them: grey as three equal channels, an
    alpha that is opaque everywhere. None when OpenCV does not read it."""
    try:
        a = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    except cv2.error:
        return None
    if a is None:
        return None
    colour, alpha = (a[..., 2::-1], a[..., 3]) if a.ndim == 3 and a.shape[2] == 4 else \
        (a[..., ::-1] if a.ndim == 3 else a, None)
    channels = 1 if ours.ndim == 2 else ours.shape[2]
    if channels <= 2 and colour.ndim == 3 and (colour == colour[..., :1]).all():
        colour = colour[..., 0]
    if channels >= 3 and colour.ndim == 2:
        colour = np.dstack([colour] * 3)
    top = 1 if a.dtype.kind == "f" else np.iinfo(a.dtype).max
    if channels in (1, 3) and alpha is not None and (alpha == top).all():
        alpha = None
    return colour if alpha is None else np.dstack([colour, alpha])


def restacked(planes):
    """The worksheet's planes side by side as (H, W, 3)."""
    return np.stack(np.hsplit(planes, 3), axis=-1)


class NativeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="kexio-native-"))
        cls.pictures = []
        for corpus in CORPORA:
            folder = os.path.join(cls.tmp, corpus.replace(" ", "_"))
            os.mkdir(folder)
            script, *args = corpus.split()
            subprocess.run([sys.executable, str(IMAGE / script), *args, folder],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            cls.pictures += sorted(str(p) for p in pathlib.Path(folder).iterdir()
                                   if p.suffix in PICTURES)
        # Pictures written here from known arrays by Pillow and ImageMagick: (file, the
        # array it holds).
        cls.made = cls.make_pictures()

    @classmethod
    def p(cls, name):
        return os.path.join(cls.tmp, name)

    def test_wav_round_trips_with_scipy_for_every_dtype(self):
        for dtype in ["uint8", "int8", "int16", "int32", "int64", "float32", "float64"]:
            # The last shape's data, of several MiB from int16 on, is read in parts.
            for shape in [(9,), (6, 2), (5, 3), (0, 2), (700_001, 3)]:
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
            for f in (kexio.wavread, kexio.wavinfo, kexio.imread):
                with self.subTest(path=path, f=f.__name__), self.assertRaises(cls) as c:
                    f(path)
                self.assertIsInstance(c.exception, kexio.Error)
                self.assertEqual(c.exception.function, f.__name__)

    @classmethod
    def make_pictures(cls):
        rgba = samples("uint8", (9, 13, 4))
        deep = samples("uint16", (9, 13, 4))
        pathlib.Path(cls.p("deep.ppm")).write_bytes(pnm(deep[..., :3], 65535))
        pathlib.Path(cls.p("deep.pgm")).write_bytes(pnm(deep[..., 0], 65535))
        made = [("deep.ppm", deep[..., :3]), ("deep.pgm", deep[..., 0])]
        for name, mode, a in [("la.png", "LA", rgba[..., :2]), ("rgba.png", "RGBA", rgba),
                              ("rgba.tif", "RGBA", rgba), ("rgba.tga", "RGBA", rgba),
                              ("i16.png", "I;16", deep[..., 0]), ("i16.tif", "I;16", deep[..., 0]),
                              ("f32.tif", "F", deep[..., 0].astype(np.float32) / 7),
                              ("i32.tif", "I", deep[..., 0].astype(np.int32) - 40000)]:
            Image.fromarray(a, mode).save(cls.p("pil_" + name))
            made.append(("pil_" + name, a))
        palette = Image.fromarray(rgba[..., :3]).quantize(8)
        alpha = np.where(np.asarray(palette) == 3, 0, 255).astype(np.uint8)
        for ext in ("png", "gif"):
            palette.save(cls.p("trns." + ext), transparency=3)
            made.append(("trns." + ext, np.dstack([np.asarray(palette.convert("RGB")), alpha])))
        rgb = deep[..., :3]
        for name, args, a in [
                ("rgb16.png", "deep.ppm", rgb), ("rgb16.tif", "deep.ppm", rgb),
                ("rgba16.png", "im_rgb16.png -alpha set -channel A -evaluate set 40% +channel",
                 np.dstack([rgb, np.full((9, 13), 26214, np.uint16)])),
                ("planes.tif", "deep.ppm -interlace plane", rgb),
                ("tiles.tif", "deep.ppm -define tiff:tile-geometry=8x8", rgb),
                ("zip.tif", "deep.ppm -compress zip -define tiff:predictor=2", rgb),
                ("float.tif", "im_rgb16.png -define quantum:format=floating-point -depth 32",
                 (rgb / 65535).astype(np.float32)),
                ("double.tif", "im_rgb16.png -define quantum:format=floating-point -depth 64",
                 rgb / 65535),
                ("alpha.bmp", "pil_rgba.png -define bmp:format=bmp4", rgba),
                ("mono.tif", "pil_rgba.png -alpha off -threshold 50% -type bilevel", None)]:
            subprocess.run([MAGICK, *[cls.p(x) if x.endswith(PICTURES) else x
                                      for x in args.split()], cls.p("im_" + name)], check=True)
            made.append(("im_" + name, a))
        return [(cls.p(name), a) for name, a in made]

    def test_imread_gives_what_pillow_and_the_writers_hold(self):
        compared = opencv_compared = 0
        for path, held in [(p, None) for p in self.pictures] + self.made:
            name = os.path.basename(path)
            with self.subTest(name):
                try:
                    with Image.open(path) as im:
                        im.load()
                    pillow_reads = True
                except Exception:  # the corpus's other readers are the reference then
                    pillow_reads = False
                try:
                    got = kexio.imread(path)
                except kexio.Error:
                    self.assertTrue(not pillow_reads or name in REFUSED, "Pillow reads it")
                    continue
                self.assertTrue(got.flags.c_contiguous and got.flags.writeable)
                self.assertIn(got.ndim, (2, 3))
                if held is not None:
                    self.assertEqual(got.dtype, held.dtype)
                    np.testing.assert_allclose(got, held, rtol=1e-6)
                # OpenCV decodes BMP, JPEG, PNG, PNM and TIFF with its own code or its own
                # use of the libraries, and 16-bit colour as it is.
                if cv2 is not None and name not in OPENCV_DIFFER:
                    ref = opencv_like(path, got)
                    if ref is not None:
                        self.assertEqual((got.dtype, got.shape), (ref.dtype, ref.shape))
                        np.testing.assert_array_equal(got, ref)
                        opencv_compared += 1
                # Debian's Pillow reads 16-bit colour as 8-bit, each format its own way.
                if not pillow_reads or name in DIFFER or held is not None and held.dtype != np.uint8:
                    continue
                ref = pillow_like(path, got)
                if got.dtype == np.uint16 and ref.dtype == np.uint8:
                    got = got >> 8  # a 16-bit PNG's top bytes
                self.assertEqual(got.shape, ref.shape)
                np.testing.assert_array_equal(got, ref)
                compared += 1
        self.assertGreater(compared, 150)
        if cv2 is not None:
            self.assertGreater(opencv_compared, 120)

    def test_imread_modes_are_the_worksheets_where_it_reads_the_same(self):
        for path in self.pictures[::3] + [p for p, _ in self.made]:
            name = os.path.basename(path)
            try:
                own = kexio.imread(path)
            except kexio.Error:
                continue
            with self.subTest(name):
                rgb, grey, rgba = (kexio.imread(path, m) for m in ("RGB", "L", "RGBA"))
                for a, channels in [(rgb, (3,)), (rgba, (4,)), (grey, ())]:
                    self.assertEqual((a.dtype, a.shape), (own.dtype, own.shape[:2] + channels))
                np.testing.assert_array_equal(rgba[..., :3], rgb)
                top = 1 if own.dtype.kind == "f" else np.iinfo(own.dtype).max
                alpha = own[..., -1] if own.ndim == 3 and own.shape[2] in (2, 4) else top
                np.testing.assert_array_equal(rgba[..., 3], np.broadcast_to(alpha, own.shape[:2]))
                if own.ndim == 2 or own.shape[2] <= 2:  # grey stays grey
                    np.testing.assert_array_equal(grey, own if own.ndim == 2 else own[..., 0])
                if own.dtype != np.uint8 or name.endswith(".tga") and own.ndim == 2:
                    continue  # the worksheet's 8 bits, its grey TGA as blue
                np.testing.assert_array_equal(rgb, restacked(kexio.read_rgb(path)))
                np.testing.assert_array_equal(grey, kexio.read_image(path))
                for mode, planes in [("HLS", kexio.read_hls), ("HSV", kexio.read_hsv)]:
                    a = kexio.imread(path, mode)
                    self.assertTrue(a.dtype == np.float64 and a.flags.c_contiguous)
                    np.testing.assert_array_equal(a, restacked(planes(path)))
        with self.assertRaises(ValueError):
            kexio.imread(path, "CMYK")

    def test_imwrite_writes_what_other_readers_read(self):
        # A large PNG is compressed in several parts, on several threads.
        formats = [("png", ["uint8", "uint16"], [1, 2, 3, 4]), ("bmp", ["uint8"], [1, 3, 4]),
                   ("tif", ["uint8", "uint16", "float32", "float64"], [1, 2, 3, 4]),
                   ("pgm", ["uint8", "uint16"], [1]), ("ppm", ["uint8", "uint16"], [3]),
                   ("pbm", ["bool"], [1]), ("png", ["uint8", "uint16"], [4], (1000, 1100))]
        magick_kinds = {1: "gray", 2: "graya", 3: "rgb", 4: "rgba"}
        for ext, dtypes, channels, *size in formats:
            for dtype, c in ((d, c) for d in dtypes for c in channels):
                with self.subTest(ext=ext, dtype=dtype, channels=c, size=size):
                    shape = (size or [(7, 11)])[0] + ((c,) if c > 1 else ())
                    a = samples("uint8", shape) > 127 if dtype == "bool" else samples(dtype, shape)
                    path = self.p("w." + ext)
                    kexio.imwrite(pathlib.Path(path), a)
                    want = a.astype(np.float32) if dtype == "float64" else a
                    want = want.astype(np.uint8) * 255 if dtype == "bool" else want
                    got = kexio.imread(path)
                    self.assertEqual(got.dtype, want.dtype)
                    np.testing.assert_array_equal(got, want)
                    # Another reader: Pillow where it keeps the type, else ImageMagick's
                    # 16-bit samples.
                    if dtype in ("uint8", "bool") or c == 1:
                        with Image.open(path) as im:
                            np.testing.assert_array_equal(np.asarray(im), a if dtype == "bool" else want)
                    elif dtype == "uint16":
                        raw = subprocess.run([MAGICK, path, "-depth", "16", "-endian", "MSB",
                                              magick_kinds[c] + ":-"], capture_output=True).stdout
                        np.testing.assert_array_equal(np.frombuffer(raw, ">u2").reshape(shape), a)
                    # And OpenCV, but for TIFF grey with alpha, whose alpha it drops, and
                    # 8-bit RGBA, whose alpha it premultiplies.
                    if cv2 is not None and not (ext == "tif" and (c == 2 or c == 4 and
                                                                  dtype == "uint8")):
                        np.testing.assert_array_equal(opencv_like(path, want), want)
        # A refused array leaves the old file as it was, and says why.
        old = self.p("old.png")
        kexio.imwrite(old, samples("uint8", (3, 4)))
        before = pathlib.Path(old).read_bytes()
        for name, a, error, words in [
                ("old.png", np.zeros((3, 4), np.float32), TypeError, "(3, 4) float32 as PNG"),
                ("old.png", np.zeros((3, 4, 5), np.uint8), ValueError, "(3, 4, 5) uint8 as PNG"),
                ("old.png", np.zeros((3,), np.uint8), ValueError, "(3,) uint8"),
                ("old.png", np.zeros((0, 4), np.uint8), ValueError, "(0, 4) uint8"),
                ("old.png", np.zeros((3, 4), complex), TypeError, "complex128"),
                ("old.png", [["a"]], TypeError, "<U1"),
                ("x.bmp", np.zeros((3, 4), np.uint16), TypeError, "BMP holds uint8"),
                ("x.bmp", np.zeros((3, 4, 2), np.uint8), ValueError, "(H, W), (H, W, 3), (H, W, 4)"),
                ("x.pbm", np.zeros((3, 4), np.uint8), TypeError, "PBM holds bool"),
                ("x.ppm", np.zeros((3, 4), np.uint8), ValueError, "PPM"),
                ("x.jp2", np.zeros((3, 4), np.uint8), ValueError, "extension")]:
            with self.subTest(name=name, words=words):
                with self.assertRaises(error) as c:
                    kexio.imwrite(self.p(name), a)
                self.assertIn(words, str(c.exception))
                self.assertEqual(pathlib.Path(old).read_bytes(), before)
                self.assertFalse(os.path.exists(self.p("x" + os.path.splitext(name)[1])))
        with self.assertRaises(FileNotFoundError):
            kexio.imwrite(self.p("no/such/folder.png"), np.zeros((2, 2), np.uint8))


if __name__ == "__main__":
    unittest.main()
