"""Writes the stubs of korva's compiled modules from the installed modules: korva_core's stub
package, korva_core-stubs/__init__.pyi, and korva/_robust.pyi beside the module it types.

pybind11-stubgen types every array parameter as the array the binding ends up with, a
float64 ndarray, yet the bindings convert whatever NumPy can turn into one: lists, tuples,
arrays of any numeric dtype. Parameters are therefore retyped as ``ArrayLike`` (keeping
the shape note), the optional matrices (penalties, a given slope matrix), taken as plain
objects, as ``ArrayLike | None``, and the row indices of a MonomialDesign and the subsets
of the elemental starts as integer arrays; an optional array stays optional. Return types
stay as generated.

    python scripts/generate_stubs.py [-o DIRECTORY]   (default: the repository)
"""

from __future__ import annotations

import argparse
import ast
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# Each module, the stub's path in the repository and in pybind11-stubgen's output directory,
# and the generator's options for it.
STUBS = {
    "korva_core": ("korva_core-stubs/__init__.pyi", ["--root-suffix=-stubs"]),
    "korva._robust": ("korva/_robust.pyi", []),
}

ARRAY_PARAMETER = re.compile(
    r'typing\.Annotated\[numpy\.typing\.NDArray\[numpy\.float64\], (?P<shape>"[^"]*")(?:, "[^"]*")*\]'
)
OPTIONAL_MATRICES = ("R1", "R2", "penalty", "matrix")
# Integer arrays taken as plain objects, so that no other dtype is cast to integers: required,
# and optional ones.
INDEX_ARRAYS = ("rows",)
OPTIONAL_INDEX_ARRAYS = ("subsets",)


def retyped_parameter(name: str, annotation: str) -> str | None:
    """The annotation a parameter gets instead of the generated one, or None to keep it."""
    optional = annotation.removesuffix(" | None")
    if optional != annotation:
        retyped = retyped_parameter(name, optional)
        return None if retyped is None else f"{retyped} | None"
    array = ARRAY_PARAMETER.fullmatch(annotation)
    if array:
        return f"typing.Annotated[numpy.typing.ArrayLike, numpy.float64, {array['shape']}]"
    if annotation == "typing.Any":
        if name in INDEX_ARRAYS:
            return "numpy.typing.NDArray[numpy.integer[typing.Any]]"
        if name in OPTIONAL_INDEX_ARRAYS:
            return "numpy.typing.NDArray[numpy.integer[typing.Any]] | None"
        if name not in OPTIONAL_MATRICES:
            sys.exit(f"generate_stubs: no type known for parameter {name!r}, generated as typing.Any")
        return "numpy.typing.ArrayLike | None"
    return None


def retype_parameters(stub: str) -> str:
    """``stub`` with the parameter annotations replaced as ``retyped_parameter`` says."""
    # AST columns count UTF-8 bytes, so the edits are made on encoded lines.
    lines = [line.encode() for line in stub.splitlines(keepends=True)]
    edits = []
    for node in ast.walk(ast.parse(stub)):
        if not isinstance(node, ast.FunctionDef):
            continue
        for parameter in node.args.args + node.args.kwonlyargs:
            annotation = parameter.annotation
            if annotation is None:
                continue
            assert annotation.lineno == annotation.end_lineno, "one-line annotations expected"
            line = lines[annotation.lineno - 1]
            text = line[annotation.col_offset : annotation.end_col_offset].decode()
            replacement = retyped_parameter(parameter.arg, text)
            if replacement is not None:
                edits.append((annotation.lineno - 1, annotation.col_offset, annotation.end_col_offset, replacement))
    # From the right, so that earlier columns on a line stay valid.
    for row, start, end, replacement in sorted(edits, reverse=True):
        lines[row] = lines[row][:start] + replacement.encode() + lines[row][end:]
    return b"".join(lines).decode()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-o", "--output-dir", type=Path, default=REPO)
    output_dir = parser.parse_args().output_dir
    for module, (path, options) in STUBS.items():
        with tempfile.TemporaryDirectory() as generated:
            command = [sys.executable, "-m", "pybind11_stubgen", module, *options, "--exit-code", "-o", generated]
            subprocess.run(command, check=True)
            stub = (Path(generated) / path).read_text()
        target = output_dir / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(retype_parameters(stub))


if __name__ == "__main__":
    main()
