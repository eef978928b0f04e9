"""Writes the type stubs of the package kexio (kexio/__init__.pyi): the worksheet
functions from the package's own table (kexio.functions, made from the library's function
table), and the rest as written here.

    make_stub.py OUT.pyi
"""
import os
import sys

# The built package, not the sources beside this script.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]
import kexio  # noqa: E402

ARG_TYPES = {
    "path": "str | os.PathLike[str] | bytes",
    "name": "str | os.PathLike[str] | bytes",
    "type": "str",
    "s": "str",
    "precision": "int",
    "width": "int",
}
VALUE = "ArrayLike | str"
PATH = "str | os.PathLike[str] | bytes"

# The functions of Python's conventions, as the package defines them.
NATIVE = f"""
class WavInfo(NamedTuple):
    channels: int
    rate: int
    bits: int
    byte_rate: int
    frames: int
    format: int

def wavread(path: {PATH}) -> tuple[int, numpy.ndarray]:
    \"\"\"Read a WAV file as scipy.io.wavfile.read does: (rate, data).\"\"\"

def wavinfo(path: {PATH}) -> WavInfo:
    \"\"\"A WAV file's format and length in frames.\"\"\"

def wavwrite(path: {PATH}, rate: int, data: ArrayLike) -> None:
    \"\"\"Write a WAV file as scipy.io.wavfile.write does.\"\"\"

def imread(path: {PATH}, mode: str | None = None) -> numpy.ndarray:
    \"\"\"A picture in the file's own channels and sample type (mode: None, L, RGB, RGBA,
    HLS, HSV).\"\"\"

def imwrite(path: {PATH}, array: ArrayLike) -> None:
    \"\"\"Write a picture in the format its name's extension names.\"\"\"
"""


def stub():
    out = [
        "# Generated from the library's function table; do not edit.",
        "import builtins",
        "import os",
        "from typing import Any, NamedTuple",
        "",
        "import numpy",
        "from numpy.typing import ArrayLike",
        "",
        "__version__: str",
        "functions: tuple[tuple[str, str, tuple[tuple[str, bool], ...], str, str, str, str], ...]",
        "",
        "class Error(Exception):",
        "    message: str",
        "    argument: int | None",
        "    function: str | None",
        "    detail: str | None",
        "    hint: str | None",
        "    def __init__(self, message: str, argument: int | None = ..., function: str | None = ...,",
        "                 where: str | None = ..., detail: str | None = ..., hint: str | None = ...,",
        "                 errno: int | None = ..., strerror: str | None = ...,",
        "                 filename: str | None = ...) -> None: ...",
        "",
    ]
    for base in ("FileNotFoundError", "IsADirectoryError", "NotADirectoryError",
                 "PermissionError", "OSError"):
        out += [f"class {base}(Error, builtins.{base}): ...", ""]
    out += [
        "def call(name: str, *args: Any, precision: int = ..., width: int = ...) -> Any:",
        '    """Call a worksheet function by its worksheet name."""',
        "",
    ]
    out += NATIVE.splitlines()[1:] + [""]
    for ws_name, py_name, params, summary, _family, returns, _ in kexio.functions:
        args = []
        for name, optional in params:
            default = (" = 4" if name == "precision" else " = 8" if name == "width" else " = None")
            kind = ARG_TYPES.get(name, VALUE)
            args.append(f"{name}: {kind}{' | None' if optional and default == ' = None' else ''}"
                        f"{default if optional else ''}")
        out.append(f"def {py_name}({', '.join(args)}) -> {returns}:")
        out.append(f'    """{summary} ({ws_name})."""')
        out.append("")
    return "\n".join(out)


if __name__ == "__main__":
    text = stub()
    # kexio.Worksheet, whose stub is written by hand beside its binding.
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "worksheet.pyi"),
              encoding="utf-8") as f:
        text += f.read()
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
