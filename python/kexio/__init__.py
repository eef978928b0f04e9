"""Read and write instrument tables, pictures, recordings and binary data as numpy arrays.

Two ways in:

* Python's conventions: ``imread``/``imwrite`` give and take pictures as (H, W[, C]) arrays
  of the file's own sample type, ``wavread``/``wavwrite``/``wavinfo`` work as
  ``scipy.io.wavfile`` does.
* The worksheet functions of the kexio library, in snake case (READPRN is ``read_prn``),
  giving exactly what the worksheet gets (float64 matrices); ``call(name, *args)`` calls
  one by its worksheet name.

Failures raise ``kexio.Error``; a file that cannot be opened raises one that is also the
matching ``OSError`` (``kexio.FileNotFoundError`` is both a ``kexio.Error`` and a
``FileNotFoundError``).
"""
import builtins as _builtins
import collections as _collections
import errno as _errno
import os as _os
import textwrap as _textwrap

from . import _kexio
from ._kexio import Result, Statement, Worksheet  # the worksheet language's sessions

__version__ = _kexio.__version__
functions = _kexio.functions


def call(name, *args, precision=4, width=8):
    """Call a worksheet function by its worksheet name with its worksheet arguments.

    call("READBIN", "data.bin", "int16", 0, 3) is the worksheet's READBIN("data.bin",
    "int16", 0, 3); the four-argument READRAW and WRITERAW are reached this way too.

    Parameters:
        name: the worksheet name (READPRN, READ_HLS_HUE, LoadColormap, ...)
        args: its arguments, in the worksheet's order
        precision: PRNPRECISION for WRITEPRN and APPENDPRN, 1 to 16
        width: PRNCOLWIDTH for WRITEPRN and APPENDPRN, 1 to 132
    """
    return _kexio.call(name, *args, precision=precision, width=width)


# ---------------------------------------------------------------------------
# Errors

class Error(Exception):
    """A failure reported by the library.

    message   the library's documented message
    argument  the 1-based index of the argument it belongs to, or None for the call as a whole
    function  the function called (its Python name, or the worksheet name given to call())
    detail    why and where, when the library knows more than the message (or None)
    hint      how to put a usual slip right (or None)
    """

    def __init__(self, message, argument=None, function=None, where=None, detail=None,
                 hint=None, errno=None, strerror=None, filename=None):
        super().__init__(message)
        self.message = message
        self.argument = argument
        self.function = function
        self.detail = detail
        self.hint = hint
        self._where = where
        if isinstance(self, _builtins.OSError):
            self.errno = errno
            self.strerror = strerror if strerror is not None or errno is None else _os.strerror(errno)
            self.filename = filename

    def __str__(self):
        text = self.message
        if self.function is not None:
            where = self._where or ("the call as a whole" if self.argument is None
                                    else f"argument {self.argument}")
            text = f"{self.function}: {text} ({where})"
        if self.detail:
            text += f": {self.detail}"
        if self.hint:
            text += f" (hint: {self.hint})"
        return text

    def __reduce__(self):
        fields = {k: getattr(self, k) for k in ("argument", "function", "detail", "hint")}
        fields["where"] = self._where
        if isinstance(self, _builtins.OSError):
            fields.update(errno=self.errno, strerror=self.strerror, filename=self.filename)
        return _rebuild_error, (type(self), self.message, fields, self.__dict__.copy())


def _rebuild_error(cls, message, fields, state):
    e = cls(message, **fields)
    e.__dict__.update(state)
    return e


def _os_error(base, doc):
    cls = type(base.__name__, (Error, base), {"__doc__": doc, "__module__": __name__})
    cls.__qualname__ = base.__name__
    return cls


FileNotFoundError = _os_error(_builtins.FileNotFoundError, "A kexio.Error for a missing file or folder.")
IsADirectoryError = _os_error(_builtins.IsADirectoryError, "A kexio.Error for a folder where a file was meant.")
NotADirectoryError = _os_error(_builtins.NotADirectoryError, "A kexio.Error for a path through a file.")
PermissionError = _os_error(_builtins.PermissionError, "A kexio.Error for a file the process may not use.")
OSError = _os_error(_builtins.OSError, "A kexio.Error for any other failure of the system.")
_BY_ERRNO = {_errno.ENOENT: FileNotFoundError, _errno.EISDIR: IsADirectoryError,
             _errno.ENOTDIR: NotADirectoryError, _errno.EACCES: PermissionError,
             _errno.EPERM: PermissionError}


def _make_error(message, argument, function, where, detail, hint, errno, filename):
    """The exception the extension raises: an OSError as well when errno is known."""
    if errno is None:
        return Error(message, argument, function, where, detail, hint)
    cls = _BY_ERRNO.get(errno, OSError)
    return cls(message, argument, function, where, detail, hint, errno, None, filename)


_kexio._set_error_factory(_make_error)


# ---------------------------------------------------------------------------
# The worksheet functions, made from the library's table as plain functions.

_BINARY_TYPES = ("byte (unsigned 8-bit), sint8, uint16, int16, uint32, int32, float (32-bit "
                 "IEEE) or double (64-bit IEEE)")
# What each parameter means: by name, or by function.name where one function means
# something else by it.
_PARAMETERS = {
    "path": "the file's name (str, bytes or os.PathLike), relative to the current folder",
    "name": "the colormap's name: a file name.cmp in the library's cmaps folder, or a path",
    "value": "a number, or an array of at most 2 dimensions (any numeric dtype and layout; "
             "a 1-D array is a column); an object array may hold numbers, strings and "
             "matrices",
    "matrix": "a 2-D array of numbers (any numeric dtype and layout; a 1-D array is a column)",
    "type": "the type word of each number: " + _BINARY_TYPES,
    "endian": "the byte order of the numbers: 0 little-endian (least significant byte "
              "first, as x86 and ARM store them), 1 big-endian; default 0",
    "cols": "numbers per row of the result; default 1 (one column)",
    "skip": "bytes to skip at the start of the file (a header); default 0",
    "rows": "rows to read; default all that the file holds",
    "precision": "significant digits of each number, 1 to 16 (the worksheet's PRNPRECISION)",
    "width": "the width of a column in characters, 1 to 132 (the worksheet's PRNCOLWIDTH)",
    "rate": "samples per second of each channel",
    "bits": "bits per sample, 1 to 32: 1 to 8 are stored as unsigned bytes, 9 to 16 as "
            "signed 16-bit, 17 to 24 in three bytes, 25 to 32 in four",
    "read_raw.x": "pixels per row", "read_raw.y": "rows",
    "read_raw.z": "samples per pixel, 1 to 4: the result holds that many planes side by side",
    "read_raw.s": "the sample type word: " + _BINARY_TYPES + "; with 'be' appended "
                  "(int16be) big-endian",
    "read_raw.k": "bytes to skip at the start of the file (a header)",
    "write_raw.x": "samples per pixel, 1 to 4: the matrix holds that many planes side by side",
    "write_raw.s": "the sample type word, as for read_raw",
    "read_file.type": "the kind of file: csv, tsv, tab, space, delimited or fixed (fixed-width "
                      "fields, whose widths schema gives)",
    "read_file.schema": "for type 'fixed' only: a column of the fields' widths in characters",
    "read_file.rows": "the rows to import, counted from 1: the first one (an int) or "
                      "[first, last]; default all",
    "read_file.cols": "the columns to import, counted from 1: the first one (an int) or "
                      "[first, last]; default all",
    "read_file.missing": "what an empty or unreadable cell becomes: a number or a string; "
                         "default NaN",
}


def _parameter_doc(function, name):
    return _PARAMETERS.get(f"{function}.{name}") or _PARAMETERS.get(name, "")


def _worksheet_function(index, ws_name, py_name, params, summary, returns, ws_params):
    names = [p for p, _ in params]
    defaults = {"precision": "4", "width": "8"}
    text = ", ".join(p if not optional else f"{p}={defaults.get(p, 'None')}"
                     for p, optional in params)
    passed = ", ".join(f"{p}={p}" if p in defaults else p for p in names)
    source = f"def {py_name}({text}):\n    return _call({index}, {passed})\n"
    scope = {"_call": _kexio._call}
    exec(compile(source, f"<kexio.{py_name}>", "exec"), scope)
    f = scope[py_name]
    doc = [f"{summary[0].upper()}{summary[1:]}.", "",
           *_textwrap.wrap(f"The worksheet's {ws_name}({ws_params}); gives {returns}. "
                           "Optional arguments left as None are not passed, as when the "
                           "worksheet leaves them out.", 88), "", "Parameters:"]
    for p in names:
        doc += _textwrap.wrap(f"{p}: {_parameter_doc(py_name, p)}", 88, initial_indent="    ",
                              subsequent_indent="        ")
    f.__doc__ = "\n".join(doc)
    f.__module__ = __name__
    f.__qualname__ = py_name
    return f


for _i, (_ws, _py, _params, _summary, _family, _returns, _ws_params) in enumerate(functions):
    globals()[_py] = _worksheet_function(_i, _ws, _py, _params, _summary, _returns, _ws_params)
del _i, _ws, _py, _params, _summary, _family, _returns, _ws_params


# ---------------------------------------------------------------------------
# WAV files as scipy.io.wavfile reads and writes them.

WavInfo = _collections.namedtuple("WavInfo", "channels rate bits byte_rate frames format")
WavInfo.__doc__ = """A WAV file's format and length.

channels   channels per frame
rate       frames per second
bits       bits per sample, as the format chunk says
byte_rate  bytes per second, as the format chunk says
frames     frames of the data chunk that the file holds (0 without one)
format     1 for integer PCM, 3 for IEEE float (an extensible file gives its sub-format)
"""


def wavread(path):
    """Read a WAV file as scipy.io.wavfile.read does: (rate, data).

    data is (frames,) for one channel, else (frames, channels), C-ordered, of the type
    scipy gives: uint8 for 1 to 8 bits, int16, int32 and int64 for samples stored in 2, 4
    and 8 bytes, int32 for 24-bit samples (and int64 for 5 to 7 bytes), the stored bytes
    in the upper bytes (a 24-bit 1 reads as 256), float32 and float64 for IEEE float. A
    big-endian (RIFX) file gives the same values in the host's byte order; RF64 files are
    read too.

    Parameters:
        path: the file's name (str, bytes or os.PathLike)
    """
    return _kexio._wavread(path)


def wavinfo(path):
    """The format of a WAV file and its length in frames, as a WavInfo named tuple
    (channels, rate, bits, byte_rate, frames, format).

    Parameters:
        path: the file's name (str, bytes or os.PathLike)
    """
    return WavInfo(*_kexio._wavinfo(path))


def wavwrite(path, rate, data):
    """Write a WAV file as scipy.io.wavfile.write does, byte for byte.

    The type of data chooses the format: uint8 (and int8, stored as they are) 8-bit PCM,
    int16, int32 and int64 PCM of their width, float32 and float64 IEEE float (so samples
    of -1..1 are kept as they are). An existing file is replaced only by a complete new
    one. Any other type, a shape other than (frames,) or (frames, channels), or more than
    4 GiB of data is a ValueError.

    Parameters:
        path: the file's name (str, bytes or os.PathLike)
        rate: frames per second, an int from 0 to 2**32 - 1
        data: the samples, (frames,) for one channel or (frames, channels)
    """
    import numpy
    if isinstance(rate, bool) or not isinstance(rate, (int, numpy.integer)) \
            or not 0 <= rate <= 0xFFFFFFFF:
        raise ValueError(f"wavwrite: rate must be an int from 0 to 2**32 - 1, not {rate!r}")
    data = numpy.asarray(data)
    data = numpy.ascontiguousarray(data, data.dtype.newbyteorder("="))
    _kexio._wavwrite(path, int(rate), data)


# ---------------------------------------------------------------------------
# Pictures as numpy, Pillow and OpenCV users hold them.

_MODES = {None: 0, "L": 1, "RGB": 2, "RGBA": 3}


def imread(path, mode=None):
    """Read a picture as a C-ordered numpy array in the file's own channels and type.

    Shapes: (H, W) grey, (H, W, 2) grey and alpha, (H, W, 3) colour (palette pictures as
    their colours), (H, W, 4) colour and alpha; alpha as the file has it (PNG, 32-bit BMP
    with an alpha mask, 32-bit TGA, TIFF alpha samples, a GIF's transparent colour as
    alpha 0 and 255). Types: uint8 up to 8 bits per sample (1-bit pictures as 0 and
    255), uint16 for 9 to 16 bits, and a TIFF file's own type for 32-bit integer and
    floating-point samples. Formats: BMP, GIF, JPEG, PCX, PGM/PBM, PNG, PPM, TGA, TIFF
    (the first image of a file; TIFF rows as stored, without applying its orientation).
    A name without extension is completed as the worksheet's READRGB completes it.

    Parameters:
        path: the file's name (str, bytes or os.PathLike)
        mode: None for the file's own channels; "L" grey, "RGB" colour, "RGBA" colour
            and alpha, all in the file's own sample type (grey of colour by the format's
            READ_IMAGE formula at the file's depth, rounded to its type; alpha added as
            the type's largest value, 1.0 for floating point); "HLS" or "HSV" the
            worksheet's hue, lightness (or saturation) and saturation (or value) planes
            as float64 (H, W, 3), as read_hls and read_hsv compute them.
    """
    if mode in ("HLS", "HSV"):
        import numpy
        planes = (read_hls if mode == "HLS" else read_hsv)(path)
        return numpy.ascontiguousarray(numpy.stack(numpy.hsplit(planes, 3), axis=-1))
    if mode not in _MODES:
        raise ValueError(f"imread: mode is None, 'L', 'RGB', 'RGBA', 'HLS' or 'HSV', not {mode!r}")
    return _kexio._imread(path, _MODES[mode])


def imwrite(path, array):
    """Write a picture in the format its name's extension names.

    Formats: .png (uint8 or uint16; grey, grey and alpha, colour, colour and alpha),
    .tif/.tiff (uint8, uint16, float32, or float64 written as 32-bit float; the same four
    kinds, uncompressed), .bmp (uint8; grey as 8 bits with a grey palette, colour as 24
    bits, colour and alpha as 32 bits), .pgm (uint8 or uint16 grey), .ppm (uint8 or uint16
    colour), .pbm (bool grey, True white). An array the format cannot hold is a TypeError
    (its type) or ValueError (its shape), naming the shape, type and format; an existing
    file is replaced only by a complete new one.

    Parameters:
        path: the file's name (str, bytes or os.PathLike); its extension chooses the format
        array: the picture, (H, W) grey, (H, W, 2) grey and alpha, (H, W, 3) colour or
            (H, W, 4) colour and alpha, C-ordered or not
    """
    import numpy
    array = numpy.asarray(array)
    array = numpy.ascontiguousarray(array, array.dtype.newbyteorder("="))
    _kexio._imwrite(path, array)
