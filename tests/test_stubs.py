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
STUB = REPO / "korva_core-stubs" / "__init__.pyi"
EXAMPLES = sorted((REPO / "examples").glob("*.py"))


def run_python(*args, cwd=REPO, **env):
    environment = {**os.environ, "PYTHONPATH": str(REPO), **env}
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=environment, capture_output=True, text=True
    )


def test_committed_stub_matches_a_fresh_generation(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    result = run_python(str(REPO / "scripts" / "generate_stubs.py"), "-o", str(tmp_path))
    assert result.returncode == 0, result.stderr
    generated = (tmp_path / STUB.relative_to(REPO)).read_text()
    committed = STUB.read_text()
    difference = "".join(
        difflib.unified_diff(committed.splitlines(True), generated.splitlines(True), "committed", "generated")
    )
    assert not difference, (
        f"{STUB.relative_to(REPO)} is out of date; regenerate it with "
        "`python scripts/generate_stubs.py`:\n" + difference
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
    assert {"korva_core-stubs/__init__.pyi", "korva/py.typed", "korva/data/belgian_phone_calls.csv"} <= installed
    installed_stub = Path(korva_core.__file__).parent / "korva_core-stubs" / "__init__.pyi"
    assert installed_stub.read_text() == STUB.read_text()


def test_mypy_strict_passes_on_examples_and_package(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("matplotlib")  # korva.cli is typed against it
    result = run_python(
        "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "examples", "korva"
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Every call below is accepted by the modules at run time; the lines marked "error" are
# not, and a type checker that found the installed stubs must say so on exactly those lines.
TYPED_USE = """
import numpy as np
import numpy.typing as npt

import korva
import korva_core

spread: float = korva_core.mad([1.0, 2.0, 3.0])
spread = korva_core.mad((1, 2, 3))
spread = korva_core.mad(np.arange(5, dtype=np.int32))
hit_rate: float = korva_core.compute_sr([0.0, 1.0], np.zeros(2, dtype=np.float32), 0.5)
design: npt.NDArray[np.float64] = korva_core.design_matrix_1d(2, [0.0, 0.5, 1.0])
beta: npt.NDArray[np.float64] = korva_core.ols([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1, 2, 3])
beta = korva_core.fit_regularized_linear(design, [1.0, 2.0, 3.0], R1=np.eye(3), R2=None, gamma1=0.1)
result = korva_core.TournamentMCMC(seed=1).fit(design, (1.0, 2.0, 3.0))
energy: float = result.energy
model = korva.PolynomialMDLRegressor(degree=2).fit([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 5.0, 10.0])
prediction: npt.NDArray[np.float64] = model.predict([1.5])
version: str = korva.__version__

korva_core.mad(None)  # error
korva_core.design_matrix_1d("2", [0.0])  # error
text: str = korva_core.mad([1.0])  # error
korva_core.ols([[1.0]], [1.0], ridge=0.1)  # error
"""


@pytest.mark.slow
def test_mypy_strict_finds_the_installed_stubs_from_outside_the_repository(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "use_korva.py"
    script.write_text(TYPED_USE)
    environment = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         script.name],
        cwd=tmp_path, env=environment, capture_output=True, text=True,
    )
    lines = TYPED_USE.splitlines()
    expected = {number for number, line in enumerate(lines, 1) if line.endswith("# error")}
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert reported == expected, result.stdout + result.stderr
    accepted = "\n".join(line for line in lines if not line.endswith("# error"))
    run = subprocess.run([sys.executable, "-c", accepted], cwd=tmp_path, env=environment, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_runs_and_readme_shows_it(example, tmp_path):
    result = run_python(str(example), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout
    assert example.read_text() in (REPO / "README.md").read_text()
