"""Sphinx helpers for korva's documentation.

- ``korva-core-reference`` documents every name of korva_core. The compiled functions
  carry no docstrings of their own: the descriptions come from api/korva_core.toml, the
  signatures from the stub package korva_core-stubs, whose parameters accept array-likes.
- ``korva-command-help`` shows the ``--help`` text of ``python -m korva`` or one of its
  commands, as the installed command prints it.
"""

from __future__ import annotations

import ast
import os
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

DOCS = Path(__file__).resolve().parents[1]
STUB = DOCS.parent / "korva_core-stubs" / "__init__.pyi"
DESCRIPTIONS = DOCS / "api" / "korva_core.toml"

# Spelled-out stub types and the names a reader knows them by.
PLAIN_TYPES = {
    "typing.SupportsInt | typing.SupportsIndex": "int",
    "typing.SupportsFloat | typing.SupportsIndex": "float",
}


def plain_annotation(node: ast.expr) -> str:
    """A stub annotation as a reader would write it: ``ArrayLike``, ``int``, ``NDArray[float64]``."""
    text = ast.unparse(node)
    if text in PLAIN_TYPES:
        return PLAIN_TYPES[text]
    if isinstance(node, ast.Subscript):
        if ast.unparse(node.value) == "typing.Annotated":
            # Annotated[T, dtype, shape note]: T says what is accepted or returned.
            first = node.slice.elts[0] if isinstance(node.slice, ast.Tuple) else node.slice
            return plain_annotation(first)
        inner = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        return f"{plain_annotation(node.value)}[{', '.join(plain_annotation(item) for item in inner)}]"
    if isinstance(node, ast.Attribute):
        return node.attr
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return f"{plain_annotation(node.left)} | {plain_annotation(node.right)}"
    return text


def plain_signature(function: ast.FunctionDef) -> str:
    """``(parameters) -> returns`` without ``self``, in plain types."""
    arguments = [a for a in function.args.args if a.arg != "self"]
    defaults = [None] * (len(arguments) - len(function.args.defaults)) + list(function.args.defaults)
    parameters = []
    for argument, default in zip(arguments, defaults):
        text = argument.arg
        if argument.annotation is not None:
            text += f": {plain_annotation(argument.annotation)}"
        if default is not None:
            text += f" = {ast.unparse(default)}"
        parameters.append(text)
    returns = plain_annotation(function.returns) if function.returns is not None else "None"
    return f"({', '.join(parameters)})" + ("" if function.name == "__init__" else f" -> {returns}")


def stub_entries() -> dict[str, tuple[str, str]]:
    """Qualified name -> (kind, signature or type) for every name and member of the stub."""
    entries: dict[str, tuple[str, str]] = {}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            entries[node.name] = ("function", plain_signature(node))
        elif isinstance(node, ast.ClassDef):
            entries[node.name] = ("class", "")
            for member in node.body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                if member.name == "__init__":
                    entries[node.name] = ("class", plain_signature(member))
                elif any(ast.unparse(d) == "property" for d in member.decorator_list):
                    returns = plain_annotation(member.returns) if member.returns is not None else ""
                    entries[f"{node.name}.{member.name}"] = ("property", returns)
                else:
                    entries[f"{node.name}.{member.name}"] = ("method", plain_signature(member))
    return entries


def indented(text: str, depth: int) -> list[str]:
    return [("   " * depth + line).rstrip() for line in text.strip().splitlines()]


class CoreReference(SphinxDirective):
    """Every function and class of korva_core: stub signature, description, what it returns."""

    def run(self) -> list[nodes.Node]:
        entries = stub_entries()
        descriptions = tomllib.loads(DESCRIPTIONS.read_text())
        undescribed = sorted(set(entries) - set(descriptions))
        unknown = sorted(set(descriptions) - set(entries))
        if undescribed or unknown:
            raise ExtensionError(
                f"{DESCRIPTIONS.name} and the stub disagree: no description for {undescribed}, "
                f"descriptions of names the module lacks: {unknown}"
            )
        self.env.note_dependency(str(STUB))
        self.env.note_dependency(str(DESCRIPTIONS))

        lines = [".. py:module:: korva_core", ""]
        for name, description in descriptions.items():
            kind, signature = entries[name]
            depth = name.count(".")
            local = name.rsplit(".", 1)[-1]
            if kind == "property":
                lines += indented(f".. py:property:: {local}\n   :type: {signature}", depth)
            else:
                lines += indented(f".. py:{kind}:: {local}{signature}", depth)
            lines.append("")
            lines += indented(description["doc"], depth + 1)
            if "returns" in description:
                lines += ["", *indented(f":returns: {description['returns']}", depth + 1)]
            lines.append("")
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(DESCRIPTIONS)), self.content_offset, container)
        return container.children


class CommandHelp(SphinxDirective):
    """``python -m korva [COMMAND] --help``, printed by the installed korva."""

    optional_arguments = 1

    def run(self) -> list[nodes.Node]:
        command = [sys.executable, "-m", "korva", *self.arguments, "--help"]
        # A fixed width, so that the text wraps the same on every machine.
        environment = {**os.environ, "COLUMNS": "88"}
        result = subprocess.run(command, capture_output=True, text=True, env=environment, check=True)
        return [nodes.literal_block(result.stdout, result.stdout, language="text")]


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("korva-core-reference", CoreReference)
    app.add_directive("korva-command-help", CommandHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
