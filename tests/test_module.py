"""Conventions shared by every binding: import, registration, conversions, errors."""

import collections
import importlib
import os
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import korva_core as kc

MODULE_OWN = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
REGISTRATION_ORDER = [
    "mad",
    "compute_sr",
    "mdl_score",
    "mdl_score_reg",
    "design_matrix_1d",
    "smoothness_penalty_matrices_1d",
    "boundary_reduce_1d",
    "design_matrix_nd",
    "build_penalty_matrices_nd",
    "ols",
    "fit_regularized_linear",
    "GibbsResult",
    "gibbs_entropy",
    "MCMCResult",
    "TournamentMCMC",
]


def test_docstring():
    assert kc.__doc__ == "KORVA-P performans-kritik cekirdegi (C++/Eigen)."


def test_registration_order():
    names = [n for n in vars(kc) if n not in MODULE_OWN]
    assert names == [n for n in REGISTRATION_ORDER if hasattr(kc, n)]
    assert list(vars(kc))[: len(MODULE_OWN)] == MODULE_OWN


def test_reimport_returns_cached_module():
    before = kc.mad
    del sys.modules["korva_core"]
    again = importlib.import_module("korva_core")
    assert again is kc
    assert again.mad is before


def test_subinterpreters_refused(child_python):
    code = (
        "import _xxsubinterpreters as s\n"
        "i = s.create()\n"
        "try:\n"
        "    s.run_string(i, 'import korva_core')\n"
        "except Exception as e:\n"
        "    print('refused', type(e).__name__)\n"
    )
    out = child_python.run("-c", code, check=True)
    assert out.stdout.startswith("refused")


@pytest.mark.parametrize(
    "y",
    [
        [1.0, 2.0, 3.0, 4.0],
        [1, 2, 3, 4],
        np.array([1, 2, 3, 4], dtype=np.int32),
        np.array([[1.0], [2.0], [3.0], [4.0]]),
        (1.0, 2.0, 3.0, 4.0),
    ],
    ids=["floats", "ints", "int-array", "column", "tuple"],
)
def test_vector_accepts(y):
    assert kc.mad(y) == 1.0


@pytest.mark.parametrize(
    "y",
    [np.ones((1, 3)), np.float64(2.0), np.ones((2, 2, 1)), "abc", None, [[1.0, 2.0], [3.0, 4.0]]],
    ids=["row", "0-d", "3-d", "str", "none", "2x2"],
)
def test_vector_refuses(y):
    with pytest.raises(TypeError):
        kc.mad(y)


ONES = np.ones(3)
EYE = np.eye(3)
SAMPLER = kc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2)
# Every array parameter, given the complex values z, and the name its refusal gives it.
COMPLEX_ARGUMENTS = {
    "mad": (lambda z: kc.mad(z), "y"),
    "compute_sr yp": (lambda z: kc.compute_sr(z, ONES, 0.1), "yp"),
    "compute_sr yt": (lambda z: kc.compute_sr(ONES, z, 0.1), "yt"),
    "mdl_score yp": (lambda z: kc.mdl_score(z, ONES, 1), "yp"),
    "mdl_score yt": (lambda z: kc.mdl_score(ONES, z, 1), "yt"),
    "mdl_score_reg yp": (lambda z: kc.mdl_score_reg(z, ONES, 3, 20, ONES, EYE, EYE), "yp"),
    "mdl_score_reg yt": (lambda z: kc.mdl_score_reg(ONES, z, 3, 20, ONES, EYE, EYE), "yt"),
    "mdl_score_reg beta": (lambda z: kc.mdl_score_reg(ONES, ONES, 3, 20, z, EYE, EYE), "beta"),
    "mdl_score_reg R1": (lambda z: kc.mdl_score_reg(ONES, ONES, 3, 20, ONES, np.diag(z), EYE, 1.0), "R1"),
    "mdl_score_reg R2": (lambda z: kc.mdl_score_reg(ONES, ONES, 3, 20, ONES, EYE, np.diag(z)), "R2"),
    "design_matrix_1d": (lambda z: kc.design_matrix_1d(2, z), "x"),
    "design_matrix_nd list": (lambda z: kc.design_matrix_nd([[1, 1]], [ONES, z]), r"X_cols\[1\]"),
    "design_matrix_nd deque": (lambda z: kc.design_matrix_nd([[1, 1]], collections.deque([ONES, z])), r"X_cols\[1\]"),
    "design_matrix_nd array": (lambda z: kc.design_matrix_nd([[1, 1]], np.array([ONES, z])), r"X_cols\[0\]"),
    "ols X": (lambda z: kc.ols(np.diag(z), ONES), "X"),
    "ols y": (lambda z: kc.ols(EYE, z), "y"),
    "fit_regularized_linear Phi": (lambda z: kc.fit_regularized_linear(np.diag(z), ONES), "Phi"),
    "fit_regularized_linear Phi C": (lambda z: kc.fit_regularized_linear(np.outer(z, [1.0, 2.0]), ONES), "Phi"),
    "fit_regularized_linear y": (lambda z: kc.fit_regularized_linear(EYE, z), "y"),
    "fit_regularized_linear R1": (lambda z: kc.fit_regularized_linear(EYE, ONES, np.diag(z), gamma1=1.0), "R1"),
    "fit_regularized_linear R2 unused": (lambda z: kc.fit_regularized_linear(EYE, ONES, None, np.diag(z)), "R2"),
    "gibbs_entropy": (lambda z: kc.gibbs_entropy(z), "energies"),
    "TournamentMCMC.fit X": (lambda z: SAMPLER.fit(np.diag(z), ONES), "X"),
    "TournamentMCMC.fit y": (lambda z: SAMPLER.fit(EYE, z), "y"),
    "TournamentMCMC.fit R2": (lambda z: SAMPLER.fit(EYE, ONES, R2=np.diag(z), gamma2=0.5), "R2"),
}


@pytest.mark.parametrize(
    "form", [np.asarray, list, lambda z: z.astype(np.complex64)], ids=["array", "list", "complex64"]
)
@pytest.mark.parametrize("call, name", COMPLEX_ARGUMENTS.values(), ids=COMPLEX_ARGUMENTS.keys())
def test_complex_input_is_refused_by_name(call, name, form):
    # Converting would drop the imaginary parts with no more than a ComplexWarning.
    z = form(np.array([1.0 + 100.0j, 2.0, 3.0 - 50.0j]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", np.exceptions.ComplexWarning)
        with pytest.raises(TypeError, match=f": {name} holds complex numbers"):
            call(z)


def test_caller_array_untouched():
    y = np.array([5.0, 1.0, 4.0, 2.0, 3.0])
    kc.mad(y)
    np.testing.assert_array_equal(y, [5.0, 1.0, 4.0, 2.0, 3.0])


@pytest.mark.parametrize("k", [2.0, "2", None])
def test_int_parameter_refuses_non_integers(k):
    with pytest.raises(TypeError):
        kc.mdl_score([0.0], [0.0], k)


def test_int_parameter_range():
    with pytest.raises(TypeError):
        kc.mdl_score([0.0], [0.0], 2**31)
    assert np.isfinite(kc.mdl_score([0.0], [0.0], np.int64(2)))


def test_float_parameter_accepts_int():
    assert kc.compute_sr([0.0], [0.25], 1) == 1.0


def test_missing_and_unknown_arguments():
    with pytest.raises(TypeError):
        kc.compute_sr([0.0], [0.0])
    with pytest.raises(TypeError):
        kc.mad(y=[1.0], z=2)
    assert kc.compute_sr(yp=[0.0], yt=[0.0], eps=1.0) == 1.0


def other_python():
    """The interpreter of a working Python 3.11 or 3.13, looked for as scripts/find-python312
    looks for 3.12: on PATH, then among pyenv's versions. The path is the interpreter's own,
    not that of a pyenv shim, which may choose another version in another directory."""
    pyenv_versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for minor in (11, 13):
        candidates = [shutil.which(f"python3.{minor}"), *pyenv_versions.glob(f"3.{minor}.*/bin/python3.{minor}")]
        check = f"import sys; print(sys.executable); sys.exit(sys.version_info[:2] != (3, {minor}))"
        for path in filter(None, candidates):
            found = subprocess.run([path, "-c", check], capture_output=True, text=True)
            if found.returncode == 0:
                return found.stdout.strip()
    return None


def test_import_refused_on_other_python(tmp_path):
    other = other_python()
    if other is None:
        pytest.skip("no Python other than 3.12 on this machine")
    module = Path(kc.__file__)
    shutil.copy(module, tmp_path / "korva_core.so")
    # The wheel's OpenMP runtime, which the module finds beside itself.
    if module.with_name("korva.libs").is_dir():
        shutil.copytree(module.with_name("korva.libs"), tmp_path / "korva.libs")
    code = "import korva_core"
    out = subprocess.run([other, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert out.returncode != 0
    assert (
        "ImportError: Python version mismatch: module was compiled for Python 3.12, but the interpreter version is incompatible: "
        in out.stderr
    )
