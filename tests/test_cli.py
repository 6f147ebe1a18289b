"""python -m korva: the demo, fitting a user's CSV file, and one-line errors with exit status 2."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from korva import cli

REPO = Path(__file__).resolve().parents[1]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def module_env():
    """The environment in which ``python -m korva`` takes korva from this tree."""
    return {**os.environ, "PYTHONPATH": os.pathsep.join([str(REPO), os.environ.get("PYTHONPATH", "")])}


def run_module(*args, cwd):
    """``python -m korva ARGS`` in a fresh interpreter, with korva taken from this tree."""
    return subprocess.run(
        [sys.executable, "-m", "korva", *args], cwd=cwd, env=module_env(), capture_output=True, text=True
    )


@pytest.fixture
def surface_csv(tmp_path):
    """Two inputs and a response with a tenth of the rows thrown far off."""
    rng = np.random.default_rng(3)
    a, b = rng.uniform(0.0, 10.0, 150), rng.uniform(-5.0, 5.0, 150)
    y = 1.0 + 0.3 * a - 0.5 * b + 0.05 * a * b + rng.normal(0.0, 0.05, 150)
    y[:15] += 20.0
    path = tmp_path / "surface.csv"
    rows = "".join(f"{p:.6f},{q:.6f},{r:.6f}\n" for p, q, r in zip(a, b, y))
    path.write_text("a, b, y\n" + rows)  # header cells with spaces around them
    return path


def test_demo_flags_the_misrecorded_years():
    data = cli.demo_dataset()
    ols, robust = cli.fit_and_compare(data, cli.DEMO_DEGREE, 0.0, 0.0, "mcmc")
    years = data.inputs[:, 0]
    outlier_years = set(years[~robust.model.inlier_mask_].astype(int))
    # 1964-1969 counted minutes; 1963 and 1970 were partly affected.
    assert set(range(1964, 1970)) <= outlier_years <= set(range(1963, 1971))
    assert robust.model.mdl_ < ols.model.mdl_


def test_demo_prints_table_and_writes_picture(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_module(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert any(line.split()[:1] == ["ols"] for line in lines)
    assert any(line.split()[:1] == ["mcmc"] for line in lines)
    assert "Wrote korva-demo.png" in result.stdout
    assert (tmp_path / "korva-demo.png").read_bytes().startswith(PNG_SIGNATURE)


def test_without_matplotlib_the_table_still_prints(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # makes the import fail
    assert cli.main([]) == 0
    out, err = capsys.readouterr()
    assert "mcmc" in out and "Wrote" not in out
    assert "pip install 'korva[plot]'" in err
    assert not (tmp_path / "korva-demo.png").exists()


def test_fit_two_inputs_with_plot(surface_csv, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "fit.png"
    args = ["fit", str(surface_csv), "--x", "a", "b", "--y", "y", "--degree", "2",
            "--plot", str(picture)]
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    # The 15 rows thrown off are flagged, and at 2.5 residual scales few good rows beside them.
    inliers = re.search(r"Inliers: (\d+) of 150", out)
    assert "150 points" in out and inliers and 130 <= int(inliers.group(1)) <= 135
    assert "t2 = b mapped from" in out
    assert picture.read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize(
    "method, rows", [("ols", ["ols"]), ("penalized", ["ols", "penalized"]), ("mcmc", ["ols", "mcmc"])]
)
def test_fit_compares_least_squares_with_the_chosen_method(surface_csv, capsys, method, rows):
    args = ["fit", str(surface_csv), "--x", "a", "b", "--y", "y", "--degree", "1", "2",
            "--gamma2", "0.001", "--method", method]
    assert cli.main(args) == 0
    table = capsys.readouterr().out.split("\n\n")[1].splitlines()
    assert [line.split()[0] for line in table[1:]] == rows


COLUMNS_X_Y = ["--x", "x", "--y", "y", "--degree", "1"]


@pytest.mark.parametrize(
    "content, options, message",
    [
        (None, COLUMNS_X_Y, "cannot read data.csv: No such file or directory"),
        ("x,y\n1,2\n", ["--x", "x", "--y", "z", "--degree", "1"],
         "has no column 'z'; its columns are 'x', 'y'"),
        ("x,y\n1,2\n2,abc\n", COLUMNS_X_Y, "line 3, column 'y': 'abc' is not a finite number"),
        ("x,y\n1,2\n2,\n", COLUMNS_X_Y, "line 3, column 'y': an empty cell is not a finite number"),
        ("x,y\n1,2\nnan,3\n", COLUMNS_X_Y, "line 3, column 'x': 'nan' is not a finite number"),
        ("x,y\n1,2\n2\n", COLUMNS_X_Y, "line 3, column 'y': an empty cell"),
        ("", COLUMNS_X_Y, "data.csv is empty"),
        ("x,y\n\n", COLUMNS_X_Y, "has a header but no data rows"),
        (b"\xff\xfe\x00\x81x,y", COLUMNS_X_Y, "is not a UTF-8 text file"),
        ("x,y\n1,2\n", [*COLUMNS_X_Y, "2"], "--degree takes one degree or 1, one per --x column"),
    ],
)
def test_bad_input_gives_one_line_and_status_2(tmp_path, monkeypatch, capsys, content, options, message):
    monkeypatch.chdir(tmp_path)
    if isinstance(content, bytes):
        Path("data.csv").write_bytes(content)
    elif content is not None:
        Path("data.csv").write_text(content)
    assert cli.main(["fit", "data.csv", *options]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("korva: ")
    assert message in err


def test_bad_file_from_the_command_line_has_no_traceback(tmp_path):
    result = run_module("fit", "nowhere.csv", "--x", "a", "--y", "b", "--degree", "2", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr == "korva: cannot read nowhere.csv: No such file or directory\n"


def test_unwritable_picture_is_reported(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    source = tmp_path / "data.csv"
    source.write_text("x,y\n1,1\n2,4\n3,9\n")
    args = ["fit", str(source), "--x", "x", "--y", "y", "--degree", "2", "--method", "ols",
            "--plot", str(tmp_path / "no" / "such" / "dir.png")]
    assert cli.main(args) == 2
    assert capsys.readouterr().err.startswith("korva: cannot write ")


@pytest.mark.parametrize(
    "multi_indices, names",
    [
        ([[0], [1], [2]], ["1", "t", "t^2"]),
        ([[0, 0], [1, 0], [0, 2], [1, 1], [2, 3]], ["1", "t1", "t2^2", "t1*t2", "t1^2*t2^3"]),
    ],
)
def test_term_names(multi_indices, names):
    assert cli.term_names(multi_indices) == names


def test_closed_output_pipe_ends_quietly(surface_csv):
    proc = subprocess.Popen(
        [sys.executable, "-m", "korva", "fit", str(surface_csv), "--x", "a", "b", "--y", "y",
         "--degree", "1", "--method", "ols"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=module_env(),
    )
    proc.stdout.close()  # as `| head -0` would, before anything is written
    with proc.stderr:
        err = proc.stderr.read().decode()
    assert proc.wait() == 1
    assert err == ""
