"""python -m korva: the demo, fitting a user's CSV file, and one-line errors with exit status 2."""

import csv
import functools
import importlib.util
import io
import math
import os
import re
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path
from typing import ClassVar

import numpy as np
import pytest

import korva
from korva import PolynomialMDLRegressor, _reading, _report, cli

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


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


def test_demo_prints_table_and_writes_picture(child_python, tmp_path):
    pytest.importorskip("matplotlib")
    result = child_python.run("-m", "korva", cwd=tmp_path)
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


def test_output_of_several_inputs_without_scikit_learn_names_the_extra(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    Path("data.csv").write_text("a,b,y\n" + "".join(f"{i % 5},{i // 5},{i}\n" for i in range(30)))
    monkeypatch.setitem(sys.modules, "sklearn.covariance", None)  # as if not installed
    assert cli.main(["fit", "data.csv", "--x", "a", "b", "--y", "y", "--degree", "1", "--output", "o.csv"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and "pip install 'korva[diagnostics]'" in err and not Path("o.csv").exists()


def test_fit_two_inputs_with_plot(surface_csv, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "fit.png"
    args = ["fit", str(surface_csv), "--x", "a", "b", "--y", "y", "--degree", "2", "--plot", str(picture)]
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    # The 15 rows thrown off are flagged, and at 2.5 residual scales few good rows beside them.
    inliers = re.search(r"Inliers: (\d+) of 150", out)
    assert "150 points" in out and inliers and 130 <= int(inliers.group(1)) <= 135
    assert "t2 = (b - " in out and ", b mapped from [" in out
    # The first 15 data rows are those thrown off, listed with their inputs.
    columns = np.loadtxt(surface_csv, delimiter=",", skiprows=1)
    listed = re.search(r"Outliers \((\d+)\) by data row \(a, b\): (.*)", out)
    assert listed and int(listed.group(1)) == 150 - int(inliers.group(1))
    entries = re.findall(r"(\d+) \(([^,]+), ([^)]+)\)", listed.group(2))
    assert {int(row) for row, _, _ in entries} >= set(range(1, 16))
    for row, a, b in entries:
        np.testing.assert_allclose([float(a), float(b)], columns[int(row) - 1, :2], rtol=1e-5)
    assert picture.read_bytes().startswith(PNG_SIGNATURE)
    diagnostics = tmp_path / "fit_diagnostics.png"
    assert f"Wrote {picture} and {diagnostics}" in out
    assert diagnostics.read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize(
    "case, options",
    [
        ("one input", []),
        ("errors", ["--sigma", "s"]),
        ("known errors", ["--sigma", "s", "--absolute-sigma"]),
        ("two inputs, no scikit-learn", []),
    ],
)
def test_plot_draws_the_fit_and_its_diagnostics_naming_rows_by_data_row(
    surface_csv, tmp_path, monkeypatch, capsys, case, options
):
    pytest.importorskip("matplotlib")
    saved = []

    def save(figure, path):
        saved.append(figure)
        original_save(figure, path)

    original_save = _report._save
    monkeypatch.setattr(_report, "_save", save)
    picture, diagnostics = tmp_path / "fit.png", tmp_path / "fit_diagnostics.png"
    if case.startswith("two inputs"):
        monkeypatch.setitem(sys.modules, "sklearn.covariance", None)  # makes the import fail
        args = ["fit", str(surface_csv), "--x", "a", "b", "--y", "y", "--degree", "2"]
    else:
        x = np.linspace(0.0, 10.0, 40)
        y = 0.5 * x + 0.05 * np.sin(3.0 * x)
        y[[5, 22]] += 10.0  # data rows 6 and 23 (the header is line 1)
        source = tmp_path / "data.csv"
        source.write_text("x,y,s\n" + "".join(f"{float(a)!r},{float(b)!r},0.1\n" for a, b in zip(x, y)))
        args = ["fit", str(source), *COLUMNS_X_Y, *options]
    assert cli.main([*args, "--plot", str(picture)]) == 0
    out, err = capsys.readouterr()
    assert picture.read_bytes().startswith(PNG_SIGNATURE)
    if case.startswith("two inputs"):
        assert f"Wrote {picture}\n" in out and not diagnostics.exists()
        assert err.startswith("No diagnostics picture: ") and "scikit-learn" in err
        return
    assert f"Wrote {picture} and {diagnostics}" in out
    assert diagnostics.read_bytes().startswith(PNG_SIGNATURE)
    fit_axes, (_, against_fitted, _, _) = saved[0].axes[0], saved[1].axes
    assert sorted(text.get_text() for text in fit_axes.texts) == ["23", "6"]
    assert sorted(text.get_text() for text in against_fitted.texts) == ["23", "6"]
    bands = [text.get_text() for text in fit_axes.get_legend().get_texts() if "band" in text.get_text()]
    # A sigma for each row leaves the curve's points between them without one.
    assert len(bands) == (1 if options else 2)


@pytest.mark.parametrize(
    "method, rows", [("ols", ["ols"]), ("penalized", ["ols", "penalized"]), ("mcmc", ["ols", "mcmc"])]
)
def test_fit_compares_least_squares_with_the_chosen_method(surface_csv, capsys, method, rows):
    penalty = [] if method == "ols" else ["--gamma2", "0.001"]  # least squares takes none
    args = ["fit", str(surface_csv), *"--x a b --y y --degree 1 2 --method".split(), method, *penalty]
    assert cli.main(args) == 0
    table = capsys.readouterr().out.split("\n\n")[1].splitlines()
    assert [line.split()[0] for line in table[1:]] == rows


COLUMNS_X_Y = ["--x", "x", "--y", "y", "--degree", "1"]
NOT_FINITE = " is not a finite number"
needs_matplotlib = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None, reason="without matplotlib no picture is drawn"
)


@pytest.mark.parametrize(
    "content, options, message",
    [
        (None, COLUMNS_X_Y, "cannot read data.csv: No such file or directory"),
        ("x,y\n1,2\n", ["--x", "x", "--y", "z", "--degree", "1"], "has no column 'z'; its columns are 'x', 'y'"),
        ("x,y\n1,2\n2,abc\n", COLUMNS_X_Y, "line 3, column 'y': 'abc' is not a finite number"),
        ("x,y\n1,2\n2,\n", COLUMNS_X_Y, "line 3, column 'y': an empty cell is not a finite number"),
        ("x,y\n1,2\nnan,3\n", COLUMNS_X_Y, "line 3, column 'x': 'nan' is not a finite number"),
        ("x,y\n1,2\n2\n", COLUMNS_X_Y, "line 3, column 'y': an empty cell"),
        ("", COLUMNS_X_Y, "data.csv is empty"),
        ("x,y\n\n", COLUMNS_X_Y, "has a header but no data rows"),
        (b"\xff\xfe\x00\x81x,y", COLUMNS_X_Y, "is not a UTF-8 text file"),
        (b"x,y\n1,\xff\n", COLUMNS_X_Y, "data.csv is not a UTF-8 text file"),
        # UTF-16 text, which without a byte-order mark decodes as UTF-8 into names full of NULs.
        ("x,y\n1,2\n".encode("utf-16"), COLUMNS_X_Y, "not a UTF-8 text file: it starts with a UTF-16 byte-order"),
        ("x,y\n1,2\n".encode("utf-16-le"), COLUMNS_X_Y, "not a UTF-8 text file: its first line holds NUL characters"),
        ("x,y\n1,2\n".encode("utf-16-be"), COLUMNS_X_Y, "not a UTF-8 text file: its first line holds NUL characters"),
        ("x,y\n1,2\n", [*COLUMNS_X_Y, "2"], "--degree takes one degree or 1, one per --x column"),
        ("\nx,y\n1,2\n", COLUMNS_X_Y, "data.csv has no column names: its first line is blank"),
        ("x,y,x\n1,2,3\n", COLUMNS_X_Y, "data.csv has more than one column named 'x'"),
        (
            "a,b;c\n1,2;3\n",
            ["--x", "a", "--y", "b", "--degree", "1"],
            "cannot tell the separator of data.csv: comma or semicolon; --sep says which",
        ),
        ("x,y\n1,2\n2,inf\n3,\n", [*COLUMNS_X_Y, "--dropna"], "line 3, column 'y': 'inf' is not"),
        ("x,y\n1,\nNA,2\n", [*COLUMNS_X_Y, "--dropna"], "has no complete rows: all 2 miss a value"),
        ("x,y\nNA,2\n", [*COLUMNS_X_Y, "--dropna"], "has no complete rows: its one row misses a value"),
        # The basis size is checked against the rows before anything is built.
        (
            "x,y\n1,2\n2,3\n",
            ["--x", "x", "--y", "y", "--degree", "1000000000"],
            "has 1000000001 terms, more than the 2 sample(s)",
        ),
        (
            "a,b,y\n" + "1,2,3\n" * 5,
            ["--x", "a", "b", "--y", "y", "--degree", "1", "2", "--basis", "tensor"],
            "has 6 terms, more than the 5 sample(s)",
        ),
        ("x,y\n1,2\n2,3\n", [*COLUMNS_X_Y, "auto"], "--degree auto stands alone"),
        # Values whose standardisation overflows used to print NaN coefficients with status 0.
        ("x,y\n0,-1.7e308\n1,-1.7e308\n2,-1.7e308\n3,1.7e308\n", [*COLUMNS_X_Y, "--method", "ols"], "the ols fit"),
        pytest.param(
            "x,y\n1,2\n2,3\n",
            [*COLUMNS_X_Y, "--plot", "out.xyz"],
            "--plot cannot draw a .xyz file; use one of",
            marks=needs_matplotlib,
        ),
        pytest.param(
            "x,y\n1,2\n2,3\n",
            [*COLUMNS_X_Y, "--plot", "out"],
            "--plot cannot draw a file without an extension",
            marks=needs_matplotlib,
        ),
        # Arguments that contradict each other, refused before the file is read.
        (None, ["--x", "y", "--y", "y", "--degree", "1"], "--y 'y' is also an --x column"),
        (None, ["--x", "x", "x", "--y", "y", "--degree", "1"], "--x names the column 'x' twice"),
        (None, [*COLUMNS_X_Y, "--weights", "x"], "--weights 'x' is also an --x or --y column"),
        (None, [*COLUMNS_X_Y, "--weights", "w", "--sigma", "w"], "--sigma 'w' is also an --x, --y or --weights column"),
        (
            None,
            [*COLUMNS_X_Y, "--absolute-sigma"],
            "--absolute-sigma says the --sigma errors are known; it needs --sigma",
        ),
        (None, [*COLUMNS_X_Y, "--method", "ols", "--gamma2", "100"], "--method ols fits no penalty"),
        (None, [*COLUMNS_X_Y, "--max-degree", "3"], "--max-degree bounds the degrees that --degree auto tries"),
        ("x,y\n1,2\n", [*COLUMNS_X_Y, "--output", "data.csv"], "--output data.csv is the input file"),
        ("row,y\n1,2\n", ["--x", "row", "--y", "y", "--degree", "1", "--output", "o.csv"], "a column named 'row'"),
        ("x,kind\n1,2\n", ["--x", "x", "--y", "kind", "--degree", "1", "--output", "o.csv"], "a column named 'kind'"),
        (None, [*COLUMNS_X_Y, "--output", "no/such/dir/out.csv"], "cannot write no/such/dir/out.csv: there is no"),
        (None, [*COLUMNS_X_Y, "--output", "."], "--output . is a directory"),
        ("x,y\n1,2\n", [*COLUMNS_X_Y, "--output", "o.csv", "--keep", "id"], "data.csv has no column 'id'; its columns"),
        (
            None,
            [*COLUMNS_X_Y, "--keep", "id"],
            "--keep names columns to copy into the --output table; it needs --output",
        ),
        (None, [*COLUMNS_X_Y, "--output", "o.csv", "--keep", "id", "id"], "--keep names the column 'id' twice"),
        (
            None,
            [*COLUMNS_X_Y, "--output", "o.csv", "--keep", "y"],
            "--keep 'y' is an --x, --y, --weights or --sigma column",
        ),
        (None, [*COLUMNS_X_Y, "--output", "o.csv", "--keep", "fitted"], "--output adds a column named 'fitted'"),
        pytest.param(
            None, [*COLUMNS_X_Y, "--plot", "no/dir/out.png"], "cannot write no/dir/out.png", marks=needs_matplotlib
        ),
        pytest.param(
            None,
            [*COLUMNS_X_Y, "--plot", "fit.png", "--output", "fit_diagnostics.png"],
            "--output fit_diagnostics.png is a picture that --plot draws",
            marks=needs_matplotlib,
        ),
        # Mistakes on the command line, without argparse's block of usage lines.
        (None, ["--x", "x", "--y", "y", "--degree", "1_0"], "argument --degree: '1_0' is not a whole number"),
        (None, [*COLUMNS_X_Y, "--gamma2", "1_0.5"], "argument --gamma2: '1_0.5' is not a number"),
        (None, [*COLUMNS_X_Y, "--threshold", "0"], "argument --threshold: '0' is not a number above 0"),
        (None, [*COLUMNS_X_Y, "--seed", str(2**64)], f"argument --seed: '{2**64}' is not a whole number below"),
        (None, ["--x", "x"], "the following arguments are required: --y, --degree (see python -m korva fit --help)"),
        (None, ["--x", "x", "--y", "y", "--degree", "-1"], "argument --degree: '-1' is not a whole"),
        (None, [*COLUMNS_X_Y, "--sep", "ab"], "argument --sep: 'ab' is not a separator"),
        (None, ["--x", " ", "--y", "y", "--degree", "1"], "argument --x: a column name cannot be blank"),
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


# Standard input ("-"), here `< data.csv`, is named so in messages; stdin=None leaves it
# closed, as `<&-` does.
@pytest.mark.parametrize(
    "file, stdin, options, message",
    [
        ("nowhere.csv", b"", [], "cannot read nowhere.csv: No such file or directory"),
        ("-", b"x,y\n1,2\n2,abc\n", [], "standard input, line 3, column 'y': 'abc' is not a finite number"),
        ("-", "x,y\n1,2\n".encode("utf-16"), [], "standard input is not a UTF-8 text file: it starts with a UTF-16"),
        ("-", b"", [], "standard input is empty"),
        ("-", None, [], "cannot read standard input: it is closed"),
        # Writing the file that standard input reads would destroy it.
        ("-", b"x,y\n1,2\n2,3\n", ["--output", "data.csv"], "--output data.csv is the input file"),
    ],
)
def test_bad_file_from_the_command_line_has_no_traceback(child_python, tmp_path, file, stdin, options, message):
    args = ["-m", "korva", "fit", file, "--x", "x", "--y", "y", "--degree", "1", *options]
    if stdin is None:
        result = child_python.run(*args, cwd=tmp_path, text=False, preexec_fn=lambda: os.close(0))
    else:
        (tmp_path / "data.csv").write_bytes(stdin)
        with (tmp_path / "data.csv").open("rb") as stream:
            result = child_python.run(*args, cwd=tmp_path, text=False, stdin=stream)
    assert result.returncode == 2
    assert result.stdout == b""
    err = result.stderr.decode()
    assert err.startswith(f"korva: {message}") and err.count("\n") == 1


@pytest.mark.parametrize("options", [[], ["--output", "-"]])
def test_dash_reads_standard_input_and_writes_standard_output(child_python, tmp_path, options):
    source = tmp_path / "data.csv"
    source.write_text("x,y\n1,2.5\n2,3.25\n3,4.75\n4,11\n")
    result = child_python.run("-m", "korva", "fit", "-", *COLUMNS_X_Y, *options, cwd=tmp_path, input=source.read_text())
    assert result.returncode == 0, result.stderr
    heading = "standard input: y against x, 4 points, degree 1\n"
    if options:  # the table alone on stdout, as the same fit writes it to a file; the report on stderr
        assert cli.main(["fit", str(source), *COLUMNS_X_Y, "--output", str(tmp_path / "fit.csv")]) == 0
        assert result.stdout == (tmp_path / "fit.csv").read_text()
        assert result.stderr.startswith(heading)
    else:
        assert result.stdout.startswith(heading)
    assert not (tmp_path / "-").exists()


def test_unwritable_picture_is_reported(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    source = tmp_path / "data.csv"
    source.write_text("x,y\n1,1\n2,4\n3,9\n")
    args = [
        "fit",
        str(source),
        "--x",
        "x",
        "--y",
        "y",
        "--degree",
        "2",
        "--method",
        "ols",
        "--plot",
        str(tmp_path / "no" / "such" / "dir.png"),
    ]
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
    assert _report.term_names(multi_indices) == names


@pytest.mark.parametrize("scale", [1e-200, 1.0, 1e200])
def test_inlier_rms_holds_at_the_ends_of_the_float_range(tmp_path, capsys, scale):
    x = np.arange(30.0)
    y = x + 1e-3 * np.sin(7 * x)  # every point an inlier
    path = tmp_path / "data.csv"
    path.write_text("x,y\n" + "".join(f"{a:.17g},{b * scale:.17g}\n" for a, b in zip(x, y)))
    assert cli.main(["fit", str(path), *COLUMNS_X_Y, "--method", "ols"]) == 0
    residuals = y - np.polynomial.polynomial.polyval(x, np.polynomial.polynomial.polyfit(x, y, 1))
    printed = float(capsys.readouterr().out.split("\n\n")[1].splitlines()[1].split()[3])
    assert printed == pytest.approx(scale * np.sqrt(np.mean(residuals**2)), rel=1e-3, abs=0)


def coefficient_table(out):
    """The printed coefficients: the term names, per method the values, and the standard errors."""
    lines = out.split("\n\n")[2].splitlines()
    assert lines[-1].startswith("Coefficients in ")
    rows = [line.replace(" std. error", "_error").split() for line in lines[:-1]]
    if rows[0][0] == "term":  # one term per line, one column per method
        return [row[0] for row in rows[1:]], {
            method: [float(row[i]) for row in rows[1:]] for i, method in enumerate(rows[0][1:], 1)
        }
    return rows[0][2:], {row[0]: [float(value) for value in row[1:]] for row in rows[1:]}


@pytest.mark.parametrize(
    "inputs, degree, one_per_line",
    [(["a"], ["7"], False), (["a"], ["8"], True), (["a", "b"], ["3"], True), (["a", "b"], ["1", "3"], False)],
)
@pytest.mark.parametrize("t_units", [False, True])
def test_many_coefficients_are_listed_one_per_line(surface_csv, capsys, inputs, degree, one_per_line, t_units):
    args = ["fit", str(surface_csv), "--x", *inputs, "--y", "y", "--degree", *degree, "--method", "penalized"]
    args += ["--gamma2", "0.01", *(["--t-units"] if t_units else [])]
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    assert (out.split("\n\n")[2].split()[0] == "term") == one_per_line
    names, printed = coefficient_table(out)
    columns = np.loadtxt(surface_csv, delimiter=",", skiprows=1)
    X = columns[:, [{"a": 0, "b": 1}[name] for name in inputs]]
    degrees = int(degree[0]) if len(degree) == 1 else [int(d) for d in degree]
    for method, gamma2 in (("ols", 0.0), ("penalized", 0.01)):
        model = PolynomialMDLRegressor(degree=degrees, method=method, gamma2=gamma2).fit(X, columns[:, 2])
        if t_units:
            assert names == _report.term_names(model.multi_indices_)
            np.testing.assert_allclose(printed[method], model.coef_, rtol=1e-3, atol=1e-6)
            expected_errors = model.bse_
        else:
            assert names == [name.replace(" ", "*") for name in model.get_feature_names_out(inputs)]
            np.testing.assert_allclose(printed[method], model.coef_x_, rtol=1e-5, atol=1e-9)
            expected_errors = np.sqrt(np.diag(model.cov_x_))
    # The standard errors are the robust (here penalised) fit's, the last one fitted.
    np.testing.assert_allclose(printed["penalized_error"], expected_errors, rtol=0.05)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("command", [[], ["fit", "{csv}", "--x", "a", "--y", "y", "--degree", "1", "--method", "ols"]])
@pytest.mark.parametrize(
    "output, message", [("full", "No space left on device"), ("closed", "standard output is closed")]
)
def test_a_full_or_closed_output_is_one_line_and_status_2(
    child_python, surface_csv, tmp_path, command, output, message
):
    args = [arg.format(csv=surface_csv) for arg in command]
    with open("/dev/full", "w") as full:
        if output == "full":
            result = child_python.run("-m", "korva", *args, cwd=tmp_path, stdout=full)
        else:  # as `>&-` in a shell
            result = child_python.run("-m", "korva", *args, cwd=tmp_path, preexec_fn=lambda: os.close(1))
    assert result.returncode == 2
    assert result.stderr == f"korva: cannot write the output: {message}\n"
    assert not (tmp_path / "korva-demo.png").exists()


# The reader goes away before anything is written (`| head -0`), or after the first line of a
# table on stdout longer than a pipe holds (`| head -1`), so that writing it must fail.
@pytest.mark.parametrize("lines_read, options", [(0, []), (1, ["--output", "-"])])
def test_closed_output_pipe_ends_quietly(child_python, tmp_path, lines_read, options):
    source = tmp_path / "data.csv"
    x = np.linspace(0.0, 1.0, 5000)
    source.write_text("x,y\n" + "".join(f"{a!r},{b!r}\n" for a, b in zip(x.tolist(), np.sin(40 * x).tolist())))
    args = ["-m", "korva", "fit", str(source), *COLUMNS_X_Y, "--method", "ols", *options]
    proc = child_python.popen(*args, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert all(proc.stdout.readline() for _ in range(lines_read))
    proc.stdout.close()
    with proc.stderr:
        err = proc.stderr.read().decode()
    assert proc.wait() == 128 + signal.SIGPIPE  # as a tool that SIGPIPE ends
    # Nothing but what a whole run says on stderr (with the table on stdout, the report), the
    # table rows that hold each fit's time aside.
    whole_run = child_python.run(*args, cwd=tmp_path, stdout=subprocess.DEVNULL)
    assert whole_run.returncode == 0
    untimed = functools.partial(re.sub, r"(?m)^(ols|mcmc) .*$", r"\1")
    assert untimed(err) == untimed(whole_run.stderr)


# The columns that --output writes after the data's own.
WRITTEN = ["fitted", "residual", "scaled_residual", "inlier", "std_residual", "weight", "leverage", "distance", "kind"]


@pytest.mark.parametrize(
    "content, options, heading, kept",
    [
        # Blank and incomplete rows keep their numbers; a quoted cell over two lines is one row.
        (
            'x,y,note\n0,1,a\n\n1,2,"b\nc"\n2,,d\n3,4.5,e\n4,5,f\n5,60,g\n6,7,h\n',
            ["--dropna", "--keep", "note"],
            "data.csv: y against x, 6 points (1 incomplete row left out), degree 1",
            {"note": ["a", "b\nc", "e", "f", "g", "h"]},
        ),
        (
            "a,w,b,y\n"
            + "".join(f"{i % 5},{1 + i % 3},{i // 5},{i % 5 + 0.1 * i * (i % 7 == 0)}\n" for i in range(40)),
            ["--keep", "w"],
            "data.csv: y against a, b, 40 points, degree 1",
            {"w": [str(1 + i % 3) for i in range(40)]},  # as written, not as numbers
        ),
    ],
)
# "--output -" writes the table to stdout, alone: the report goes to stderr.
@pytest.mark.parametrize("to_stdout", [False, True])
def test_output_file_holds_each_row_and_its_fit(tmp_path, capsys, content, options, heading, kept, to_stdout):
    source, output = tmp_path / "data.csv", tmp_path / "fit.csv"
    source.write_text(content)
    inputs = ["x"] if content.startswith("x") else ["a", "b"]
    destination = "-" if to_stdout else str(output)
    args = ["fit", str(source), "--x", *inputs, "--y", "y", "--degree", "1", "--output", destination, *options]
    assert cli.main(args) == 0
    out, err = capsys.readouterr()
    if to_stdout:
        assert err.startswith(f"{heading}\n") and "Wrote" not in err
        table_text = out
    else:
        assert out.startswith(f"{heading}\n") and f"Wrote {output}" in out
        table_text = output.read_text()
    header, *table = list(csv.reader(io.StringIO(table_text, newline="")))
    data = _reading.read_columns(source, inputs, "y", "data", dropna="--dropna" in options)
    model = PolynomialMDLRegressor(degree=1).fit(data.inputs, data.target)
    found = model.diagnostics(data.inputs, data.target)
    assert header == ["row", *kept, *inputs, "y", *WRITTEN]
    assert {name: [row[header.index(name)] for row in table] for name in [*kept, "kind"]} == {
        **kept,
        "kind": list(found.kind),
    }
    numeric = [i for i, name in enumerate(header) if name not in [*kept, "kind"]]
    columns = {header[i]: np.array([float(row[i]) for row in table]) for i in numeric}
    np.testing.assert_array_equal(columns["row"], data.rows)
    if inputs == ["x"]:
        np.testing.assert_array_equal(columns["row"], [1, 3, 5, 6, 7, 8])  # row 2 is blank, 4 misses y
    np.testing.assert_array_equal(np.column_stack([columns[name] for name in inputs]), data.inputs)
    np.testing.assert_array_equal(columns["y"], data.target)
    # Each number is written in the shortest form that gives it back exactly.
    inlier = header.index("inlier")
    assert all(row[i] == repr(float(row[i])) for row in table for i in numeric if i > len(kept) and i != inlier)
    np.testing.assert_array_equal(columns["fitted"], model.predict(data.inputs))
    np.testing.assert_array_equal(columns["residual"], data.target - model.predict(data.inputs))
    np.testing.assert_allclose(columns["scaled_residual"] * model.scale_, columns["residual"], rtol=1e-12)
    np.testing.assert_array_equal(columns["inlier"], model.inlier_mask_)
    for name in ("std_residual", "weight", "leverage", "distance"):
        np.testing.assert_array_equal(columns[name], getattr(found, name))
    assert not model.inlier_mask_.all()


class RecordingRegressor(PolynomialMDLRegressor):
    """Keeps the parameters and fit options of every model the command line makes."""

    made: ClassVar[list] = []

    def fit(self, X, y, **options):
        RecordingRegressor.made.append((self.get_params(), options))
        return super().fit(X, y, **options)


@pytest.mark.parametrize(
    "options, robust, ols",
    [
        ([], {"random_state": 42, "outlier_threshold": 2.5, "gamma2": 0.0}, {"random_state": 42}),
        (["--seed", "7", "--threshold", "1.5"], {"random_state": 7, "outlier_threshold": 1.5}, {"random_state": 7}),
        (
            ["--method", "penalized", "--gamma1", "0.5", "--gamma2", "0.25"],
            {"method": "penalized", "gamma1": 0.5, "gamma2": 0.25},
            {"gamma1": 0.0, "gamma2": 0.0},  # least squares takes no penalty
        ),
        (["--degree", "auto", "--max-degree", "2"], {"degree": "auto", "max_degree": 2}, {"max_degree": None}),
    ],
)
def test_options_reach_the_estimator(surface_csv, monkeypatch, capsys, options, robust, ols):
    monkeypatch.setattr(cli, "PolynomialMDLRegressor", RecordingRegressor)
    monkeypatch.setattr(RecordingRegressor, "made", [])
    degree = [] if "--degree" in options else ["--degree", "1"]
    assert cli.main(["fit", str(surface_csv), "--x", "a", "b", "--y", "y", *degree, *options]) == 0
    (ols_params, _), (robust_params, _) = sorted(RecordingRegressor.made, key=lambda made: made[0]["method"] != "ols")
    assert ols_params["method"] == "ols"
    assert robust_params.items() >= robust.items()
    assert ols_params.items() >= ols.items()
    threshold = robust.get("outlier_threshold", 2.5)
    assert f"lie within {threshold:g} x " in capsys.readouterr().out


def test_version(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--version"])
    assert exit_.value.code == 0
    assert capsys.readouterr().out == f"korva {korva.__version__}\n"


def test_fit_warnings_are_one_line_each_and_the_fit_goes_on(surface_csv, monkeypatch, capsys):
    fit = PolynomialMDLRegressor.fit

    def fragile_fit(self, X, y, **options):
        warnings.warn(
            f"{self.method} is fragile here:\ntwo outlier sets explain the data", korva.FitWarning, stacklevel=2
        )
        return fit(self, X, y, **options)

    monkeypatch.setattr(PolynomialMDLRegressor, "fit", fragile_fit)
    assert cli.main(["fit", str(surface_csv), *"--x a b --y y --degree 1".split()]) == 0
    out, err = capsys.readouterr()
    # The plane fitted to a surface leaves residuals whose size follows x: the fits' own warning.
    assert all(
        line.startswith("warning: the mcmc fit: ") or line.startswith("warning: the ols fit: ")
        for line in err.splitlines()
    )
    assert [line for line in err.splitlines() if "fragile" in line] == [
        "warning: the mcmc fit: mcmc is fragile here: two outlier sets explain the data",
        "warning: the ols fit: ols is fragile here: two outlier sets explain the data",
    ]
    assert "Inliers:" in out


def test_a_constant_input_is_named_so(tmp_path, capsys):
    path = tmp_path / "data.csv"
    path.write_text("x,y\n" + "".join(f"1,{v}\n" for v in (2, 3, 4, 2, 30)))
    assert cli.main(["fit", str(path), *COLUMNS_X_Y]) == 0
    out = capsys.readouterr().out
    assert "t = 0: x is constant (1 in every row)" in out and "mapped from" not in out


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, says", [(Terminal(), True), (io.StringIO(), False)])
def test_a_long_fit_says_what_it_does_on_a_terminal_only(monkeypatch, stream, says):
    monkeypatch.setattr(cli, "PROGRESS_DELAY", 0.0)
    monkeypatch.setattr(sys, "stderr", stream)
    with cli._progress("fitting mcmc, degree auto, to 1,000,000 rows"):
        # Long enough for the line to come, however busy the machine; a pipe waits out the same.
        deadline = time.monotonic() + (30.0 if says else 0.5)
        while not stream.getvalue() and time.monotonic() < deadline:
            time.sleep(0.01)
    assert stream.getvalue() == ("korva: fitting mcmc, degree auto, to 1,000,000 rows ...\n" if says else "")


@pytest.mark.parametrize("given", [["weights"], ["sigma"], ["weights", "sigma"], ["sigma", "absolute"]])
def test_weights_and_sigma_columns_reach_both_fits_and_the_output(tmp_path, monkeypatch, capsys, given):
    monkeypatch.setattr(cli, "PolynomialMDLRegressor", RecordingRegressor)
    monkeypatch.setattr(RecordingRegressor, "made", [])
    x = np.arange(30.0)
    columns = {"weights": 1.0 + x % 4, "sigma": 0.5 + (x % 3) / 2}
    y = 2.0 * x + np.sin(x)
    y[[3, 17]] += 40.0
    source, output = tmp_path / "data.csv", tmp_path / "fit.csv"
    source.write_text(
        "x,w,s,y\n" + "".join(f"{a:g},{b:g},{c:g},{float(d)!r}\n" for a, b, c, d in zip(x, *columns.values(), y))
    )
    options = [*(["--weights", "w"] if "weights" in given else []), *(["--sigma", "s"] if "sigma" in given else [])]
    options += ["--absolute-sigma"] if "absolute" in given else []
    assert cli.main(["fit", str(source), *COLUMNS_X_Y, *options, "--output", str(output)]) == 0
    assert [params["method"] for params, _ in RecordingRegressor.made] == ["mcmc", "ols"]
    passed = {"weights": "sample_weight", "sigma": "sigma"}
    for params, fit_options in RecordingRegressor.made:
        assert set(fit_options) == {passed[name] for name in given if name in passed}
        for name in fit_options:
            np.testing.assert_array_equal(fit_options[name], columns["weights" if name == "sample_weight" else name])
        assert params["absolute_sigma"] == ("absolute" in given)
    with output.open() as stream:
        header, *table = list(csv.reader(stream))
    written = [{"weights": "w", "sigma": "s"}[name] for name in given if name in passed]
    assert header == ["row", "x", "y", *written, *WRITTEN]
    cells = {name: np.array([float(row[header.index(name)]) for row in table]) for name in header if name != "kind"}
    model = PolynomialMDLRegressor(degree=1, absolute_sigma="absolute" in given).fit(
        x, y, **{passed[name]: columns[name] for name in given if name in passed}
    )
    np.testing.assert_array_equal(cells["fitted"], model.predict(x))
    errors = columns["sigma"] if "sigma" in given else 1.0
    np.testing.assert_allclose(cells["scaled_residual"], (y - model.predict(x)) / (model.scale_ * errors), rtol=1e-15)
    # The diagnostics judge each row in units of its sigma; with known errors, of sigma alone.
    found = model.diagnostics(x, y, sigma=columns["sigma"] if "sigma" in given else None)
    np.testing.assert_array_equal(cells["std_residual"], found.std_residual)
    unit = (1.0 if "absolute" in given else model.scale_) * errors
    np.testing.assert_allclose(found.std_residual, (y - model.predict(x)) / unit, rtol=1e-12)
    np.testing.assert_array_equal(cells["inlier"], model.inlier_mask_)
    assert not model.inlier_mask_[[3, 17]].any()
    out = capsys.readouterr().out
    assert f"Outliers ({np.count_nonzero(~model.inlier_mask_)}) by data row (x): 4 (3), " in out
    # The bound the flags were set by: known errors alone, or the scale in units of each row's.
    bound = f"2.5 x {model.scale_:.4g} (the residual scale"
    if "sigma" in given:
        bound = "2.5 x its s (the errors, taken as known)" if "absolute" in given else f"{bound} in units of s) x its s"
    else:
        bound += ")"
    assert f"lie within {bound} of the mcmc fit" in out
    assert f"within {model.tolerance_:.4g}{' x its s' if 'sigma' in given else ''} of a fit" in out


def test_a_row_of_weight_0_beyond_the_rows_fitted_is_written_without_a_word(tmp_path, capsys):
    """The command line predicts at the rows it read: a row of weight 0 beyond the range of the
    rows fitted is no extrapolation to warn of (the test run makes any warning an error)."""
    x = np.r_[np.arange(30.0), 90.0]
    weights = np.r_[np.ones(30), 0.0]
    y = 2.0 * x + np.sin(x)
    source, output = tmp_path / "data.csv", tmp_path / "fit.csv"
    source.write_text("x,w,y\n" + "".join(f"{a:g},{b:g},{float(c)!r}\n" for a, b, c in zip(x, weights, y)))
    assert cli.main(["fit", str(source), *COLUMNS_X_Y, "--weights", "w", "--output", str(output)]) == 0
    assert "beyond the training range" not in capsys.readouterr().err
    with output.open() as stream:
        last = list(csv.reader(stream))[-1]
    assert last[0] == "31" and math.isfinite(float(last[3]))
