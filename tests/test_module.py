"""Conventions shared by every binding: import, registration, conversions, errors."""
import importlib
import subprocess
import sys
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


def test_subinterpreters_refused():
    code = (
        "import _xxsubinterpreters as s\n"
        "i = s.create()\n"
        "try:\n"
        "    s.run_string(i, 'import korva_core')\n"
        "except Exception as e:\n"
        "    print('refused', type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
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


def _other_python():
    """A real (non-shim) interpreter of another minor version, if the machine has one."""
    import glob

    for path in sorted(glob.glob("/root/.pyenv/versions/3.1[13].*/bin/python3")):
        ok = subprocess.run([path, "-c", "pass"], capture_output=True).returncode == 0
        if ok:
            return path
    return None


def test_import_refused_on_other_python(tmp_path):
    other = _other_python()
    if other is None:
        pytest.skip("no Python other than 3.12 on this machine")
    import shutil

    module = Path(kc.__file__)
    shutil.copy(module, tmp_path / "korva_core.so")
    # The wheel's OpenMP runtime, which the module finds beside itself.
    if module.with_name("korva.libs").is_dir():
        shutil.copytree(module.with_name("korva.libs"), tmp_path / "korva.libs")
    code = "import korva_core"
    out = subprocess.run([other, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert out.returncode != 0
    assert "ImportError: Python version mismatch: module was compiled for Python 3.12, but the interpreter version is incompatible: " in out.stderr
