"""Writes the type stubs kexio.pyi from the module's own table of functions
(kexio.functions, made from the library's function table).

    make_stub.py OUT.pyi
"""
import os
import sys

import kexio

ARG_TYPES = {
    "path": "str | os.PathLike[str] | bytes",
    "name": "str | os.PathLike[str] | bytes",
    "type": "str",
    "s": "str",
    "precision": "int",
    "width": "int",
}
VALUE = "ArrayLike | str"


def stub():
    out = [
        "# Generated from the library's function table; do not edit.",
        "import os",
        "from typing import Any",
        "",
        "import numpy",
        "from numpy.typing import ArrayLike",
        "",
        "functions: tuple[tuple[str, str, tuple[tuple[str, bool], ...], str, str, str], ...]",
        "",
        "class Error(Exception):",
        "    message: str",
        "    argument: int | None",
        "    function: str | None",
        "    def __init__(self, message: str, argument: int | None = ..., function: str | None = ...,",
        "                 where: str | None = ...) -> None: ...",
        "",
        "def call(name: str, *args: Any, precision: int = ..., width: int = ...) -> Any:",
        '    """Call a worksheet function by its worksheet name."""',
        "",
    ]
    for ws_name, py_name, params, summary, _family, returns in kexio.functions:
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
