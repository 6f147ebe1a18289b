"""Typing and documentation: the committed stub, what the package installs, the examples."""

import ast
import difflib
import importlib
import importlib.metadata
import os
import tomllib
from pathlib import Path

import pytest

import korva
import korva_core

REPO = Path(__file__).resolve().parents[1]
STUB = REPO / "korva_core-stubs" / "__init__.pyi"
ROBUST_STUB = REPO / "korva" / "_robust.pyi"
EXAMPLES = sorted((REPO / "examples").glob("*.py"))


def test_committed_stubs_match_a_fresh_generation(child_python, tmp_path):
    pytest.importorskip("pybind11_stubgen")
    result = child_python.run(str(REPO / "scripts" / "generate_stubs.py"), "-o", str(tmp_path), cwd=REPO)
    assert result.returncode == 0, result.stderr
    for stub in (STUB, ROBUST_STUB):
        generated = (tmp_path / stub.relative_to(REPO)).read_text()
        committed = stub.read_text()
        difference = "".join(
            difflib.unified_diff(committed.splitlines(True), generated.splitlines(True), "committed", "generated")
        )
        assert not difference, (
            f"{stub.relative_to(REPO)} is out of date; regenerate it with "
            "`python scripts/generate_stubs.py`:\n" + difference
        )


def stub_names():
    """Every function and class of the stub, and every method and attribute as Class.name."""
    names = set()
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            names.add(node.name)
        if isinstance(node, ast.ClassDef):
            names |= {
                f"{node.name}.{m.name}" for m in node.body if isinstance(m, ast.FunctionDef) and m.name != "__init__"
            }
    return names


def test_reference_describes_every_core_name_and_nothing_else():
    # korva_core's functions carry no docstrings: the API reference takes their descriptions from here.
    descriptions = tomllib.loads((REPO / "docs" / "api" / "korva_core.toml").read_text())
    assert set(descriptions) == stub_names()
    assert all(entry["doc"].strip() for entry in descriptions.values())


def test_installed_package_ships_stub_marker_and_data():
    installed = {str(path) for path in importlib.metadata.files("korva") or []}
    shipped = {
        "korva_core-stubs/__init__.pyi",
        "korva/_robust.pyi",
        "korva/py.typed",
        "korva/data/belgian_phone_calls.csv",
    }
    assert shipped <= installed
    assert any(path.startswith("korva/_robust.") and path.endswith(".so") for path in installed)
    installed_stub = Path(korva_core.__file__).parent / "korva_core-stubs" / "__init__.pyi"
    assert installed_stub.read_text() == STUB.read_text()


@pytest.mark.slow
def test_mypy_strict_passes_on_examples_and_package(child_python, tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("matplotlib")  # korva._report is typed against it
    result = child_python.run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "examples", "korva", cwd=REPO)
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
def test_mypy_strict_finds_the_installed_stubs_from_outside_the_repository(child_python, tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "use_korva.py"
    script.write_text(TYPED_USE)
    environment = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = child_python.run(
        "-m",
        "mypy",
        "--strict",
        "--no-error-summary",
        "--cache-dir",
        str(tmp_path / "cache"),
        script.name,
        cwd=tmp_path,
        env=environment,
    )
    lines = TYPED_USE.splitlines()
    expected = {number for number, line in enumerate(lines, 1) if line.endswith("# error")}
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert reported == expected, result.stdout + result.stderr
    accepted = "\n".join(line for line in lines if not line.endswith("# error"))
    run = child_python.run("-c", accepted, cwd=tmp_path, env=environment)
    assert run.returncode == 0, run.stderr


@pytest.mark.slow
def test_docs_build_without_warnings_and_show_every_public_name(child_python, tmp_path):
    pytest.importorskip("sphinx")
    result = child_python.run("-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "docs", str(tmp_path), cwd=REPO)
    assert result.returncode == 0, result.stdout + result.stderr
    pages = "".join(page.read_text() for page in tmp_path.rglob("*.html"))
    public = [f"korva.{name}" for name in korva.__all__ if name != "korva_core"] + ["korva.__version__"]
    public += [f"korva_core.{name}" for name in stub_names()]
    assert [name for name in public if f'id="{name}"' not in pages] == []


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_runs_and_readme_or_docs_show_it(child_python, example, tmp_path):
    result = child_python.run(str(example), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout
    in_readme = example.read_text() in (REPO / "README.md").read_text()
    included = [
        page
        for page in (REPO / "docs").rglob("*.md")
        if f"{{literalinclude}} {os.path.relpath(example, page.parent)}" in page.read_text()
    ]
    assert in_readme or included


DOCUMENTED_MODULES = sorted(
    f"korva.{path.stem}" for path in (REPO / "korva").glob("*.py") if ">>> " in path.read_text()
)


@pytest.mark.parametrize("name", DOCUMENTED_MODULES)
def test_docstring_examples_print_what_they_show(name):
    """The examples of the reference run as written: a change in a result shows up here."""
    import doctest
    import warnings

    module = importlib.import_module(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # an example's warnings go to stderr, as a user sees them
        failed, tried = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE, report=False)
    assert tried > 0 and failed == 0
