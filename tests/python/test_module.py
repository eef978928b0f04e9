"""The Python module against the worksheet host: every function called both
ways on the same files must give the same values, errors and file bytes.

Run by CTest with PYTHONPATH pointing at the built module and KEXIO_BIN at
the host; exits 77 (skipped) when the module was not built.
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
import subprocess
import sys
import tempfile
import threading
import unittest
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

try:
    import numpy as np
    import kexio
except ImportError as e:  # the module is optional
    print("skipped:", e)
    sys.exit(77)

from PIL import Image
from scipy.io import wavfile

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


if __name__ == "__main__":
    unittest.main()
