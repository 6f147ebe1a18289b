"""Typing and documentation: the committed stub, what the package installs, the examples."""
import ast
import difflib
import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import pytest

import korva_core

REPO = Path(__file__).resolve().parents[1]
STUB = REPO / "korva_core.pyi"
EXAMPLES = sorted((REPO / "examples").glob("*.py"))


def run_python(*args, cwd=REPO, **env):
    environment = {**os.environ, "PYTHONPATH": str(REPO), **env}
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=environment, capture_output=True, text=True
    )


def test_committed_stub_matches_a_fresh_generation(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    result = run_python("-m", "pybind11_stubgen", "korva_core", "--exit-code", "-o", str(tmp_path))
    assert result.returncode == 0, result.stderr
    generated = (tmp_path / "korva_core.pyi").read_text()
    committed = STUB.read_text()
    difference = "".join(
        difflib.unified_diff(committed.splitlines(True), generated.splitlines(True), "committed", "generated")
    )
    assert not difference, (
        "korva_core.pyi is out of date; regenerate it with "
        "`python -m pybind11_stubgen korva_core -o .`:\n" + difference
    )


def python_signature(function, name):
    """``name(a, b=default)`` from a stub's function definition, without ``self`` and types."""
    names = [argument.arg for argument in function.args.args if argument.arg != "self"]
    defaults = [ast.unparse(default) for default in function.args.defaults]
    defaults = [None] * (len(names) - len(defaults)) + defaults
    parameters = [n if d is None else f"{n}={d}" for n, d in zip(names, defaults)]
    return f"{name}({', '.join(parameters)})"


def test_readme_reference_lists_every_core_name_with_its_parameters():
    readme = (REPO / "README.md").read_text()
    rows = {line.split("|")[1].strip(" `"): line for line in readme.splitlines() if line.startswith("| `")}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            assert f"`{python_signature(node, node.name)} -> " in rows[node.name]
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                properties = [d for d in member.decorator_list if ast.unparse(d) == "property"]
                if properties:
                    assert f"`{member.name}`" in rows[node.name]
                elif member.name == "__init__":
                    assert f"`{python_signature(member, node.name)}`" in rows[node.name]
                else:
                    assert f"`{python_signature(member, member.name)} -> " in rows[f"{node.name}.{member.name}"]


def test_installed_package_ships_stub_marker_and_data():
    installed = {str(path) for path in importlib.metadata.files("korva") or []}
    assert {"korva_core.pyi", "korva/py.typed", "korva/data/belgian_phone_calls.csv"} <= installed
    assert Path(korva_core.__file__).with_name("korva_core.pyi").read_text() == STUB.read_text()


def test_mypy_strict_passes_on_examples_and_package(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("matplotlib")  # korva.cli is typed against it
    result = run_python(
        "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "examples", "korva", MYPYPATH=str(REPO)
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_runs_and_readme_shows_it(example, tmp_path):
    result = run_python(str(example), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout
    assert example.read_text() in (REPO / "README.md").read_text()
