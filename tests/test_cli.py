"""python -m korva: the demo, fitting a user's CSV file, and one-line errors with exit status 2."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from korva import PolynomialMDLRegressor, cli
from tests.sandbox import running_under_asan

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


def test_fit_two_inputs_with_plot(surface_csv, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "fit.png"
    args = ["fit", str(surface_csv), "--x", "a", "b", "--y", "y", "--degree", "2", "--plot", str(picture)]
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
    penalty = [] if method == "ols" else ["--gamma2", "0.001"]  # least squares takes none
    args = ["fit", str(surface_csv), *"--x a b --y y --degree 1 2 --method".split(), method, *penalty]
    assert cli.main(args) == 0
    table = capsys.readouterr().out.split("\n\n")[1].splitlines()
    assert [line.split()[0] for line in table[1:]] == rows


COLUMNS_X_Y = ["--x", "x", "--y", "y", "--degree", "1"]
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
        # Mistakes on the command line, without argparse's block of usage lines.
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


# Each file holds x = 1, 3 and y = 2, 4 among lines that carry nothing, or miss a value.
@pytest.mark.parametrize(
    "content, options, skipped",
    [
        ("\ufeffx,y\n1,2\n3,4\n", [], 0),  # a byte-order mark must not hide the first name
        ("y;z;x\n2;0;1\n4;0;3\n", [], 0),
        ("x\ty\r\n1\t2\r\n\r\n3\t4\r\n", ["--sep", "tab"], 0),
        ("x y\n1 2\n3 4\n", ["--sep", " "], 0),
        ('"x","y"\n"1","2"\n\n,\n 3 , 4 \n', [], 0),
        ("x,y\n1,2\n2,\n,5\nNA,5\n3,4\n4\n5,nan\n", ["--dropna"], 5),
    ],
)
@pytest.mark.parametrize("batch_lines", [1, 2, cli.BATCH_LINES])
def test_reading_keeps_every_complete_row(tmp_path, monkeypatch, content, options, skipped, batch_lines):
    monkeypatch.setattr(cli, "BATCH_LINES", batch_lines)
    path = tmp_path / "data.csv"
    path.write_bytes(content.encode())
    args = cli.build_parser().parse_args(["fit", str(path), *COLUMNS_X_Y, *options])
    data = cli.read_columns(args.file, args.x, args.y, "title", args.sep, args.dropna)
    np.testing.assert_array_equal(data.inputs, [[1.0], [3.0]])
    np.testing.assert_array_equal(data.target, [2.0, 4.0])
    assert data.skipped_rows == skipped


@pytest.mark.parametrize("batch_lines", [1, 2, 3, cli.BATCH_LINES])
def test_a_bad_cell_is_named_by_its_line_in_any_batch(tmp_path, monkeypatch, capsys, batch_lines):
    monkeypatch.setattr(cli, "BATCH_LINES", batch_lines)
    path = tmp_path / "data.csv"
    path.write_text("x,y\n1,2\n\n3,4\n4,5\n5,1e999\n6,7\n")
    assert cli.main(["fit", str(path), *COLUMNS_X_Y]) == 2
    assert "data.csv, line 6, column 'y': '1e999' is not a finite number" in capsys.readouterr().err


def test_bad_file_from_the_command_line_has_no_traceback(child_python, tmp_path):
    result = child_python.run(
        "-m", "korva", "fit", "nowhere.csv", "--x", "a", "--y", "b", "--degree", "2", cwd=tmp_path
    )
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr == "korva: cannot read nowhere.csv: No such file or directory\n"


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
    assert cli.term_names(multi_indices) == names


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
    """The printed coefficients: the term names and, per method, the values."""
    rows = [line.split() for line in out.split("\n\n")[2].splitlines()]
    if rows[0][0] == "term":  # one term per line, one column per method
        return [row[0] for row in rows[1:]], {
            method: [float(row[i]) for row in rows[1:]] for i, method in enumerate(rows[0][1:], 1)
        }
    return rows[0][2:], {row[0]: [float(value) for value in row[1:]] for row in rows[1:]}


@pytest.mark.parametrize(
    "inputs, degree, one_per_line",
    [(["a"], ["7"], False), (["a"], ["8"], True), (["a", "b"], ["3"], True), (["a", "b"], ["1", "3"], False)],
)
def test_many_coefficients_are_listed_one_per_line(surface_csv, capsys, inputs, degree, one_per_line):
    args = [
        "fit",
        str(surface_csv),
        "--x",
        *inputs,
        "--y",
        "y",
        "--degree",
        *degree,
        "--method",
        "penalized",
        "--gamma2",
        "0.01",
    ]
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    assert (out.split("\n\n")[2].split()[0] == "term") == one_per_line
    names, printed = coefficient_table(out)
    columns = np.loadtxt(surface_csv, delimiter=",", skiprows=1)
    X = columns[:, [{"a": 0, "b": 1}[name] for name in inputs]]
    degrees = int(degree[0]) if len(degree) == 1 else [int(d) for d in degree]
    for method, gamma2 in (("ols", 0.0), ("penalized", 0.01)):
        model = PolynomialMDLRegressor(degree=degrees, method=method, gamma2=gamma2).fit(X, columns[:, 2])
        assert names == cli.term_names(model.multi_indices_)
        np.testing.assert_allclose(printed[method], model.coef_, rtol=1e-3, atol=1e-6)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("command", [[], ["fit", "{csv}", "--x", "a", "--y", "y", "--degree", "1", "--method", "ols"]])
def test_a_full_output_device_is_one_line_and_status_2(child_python, surface_csv, tmp_path, command):
    args = [arg.format(csv=surface_csv) for arg in command]
    with open("/dev/full", "w") as full:
        result = child_python.run("-m", "korva", *args, cwd=tmp_path, stdout=full)
    assert result.returncode == 2
    assert result.stderr == "korva: cannot write the output: No space left on device\n"


@pytest.mark.skipif(running_under_asan(), reason="ASan keeps freed memory in quarantine, so resident size grows")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the peak resident size from /proc")
def test_reading_takes_memory_for_the_numbers_not_for_the_text(child_python, tmp_path):
    path = tmp_path / "wide.csv"
    table = np.random.default_rng(5).integers(0, 100, size=(100_000, 10))
    np.savetxt(path, table, fmt="%d", delimiter=",", header=",".join(f"c{i}" for i in range(10)), comments="")
    # VmHWM, not ru_maxrss: the latter keeps the peak of the forking parent across exec.
    script = (
        "import sys\n"
        "from pathlib import Path\n"
        "from korva.cli import read_columns\n"
        "def peak():\n"
        "    with open('/proc/self/status') as status:\n"
        "        return next(int(line.split()[1]) for line in status if line.startswith('VmHWM:'))\n"
        "before = peak()\n"
        "data = read_columns(Path(sys.argv[1]), ['c0'], 'c1', 'wide')\n"
        "assert data.target.shape == (100_000,)\n"
        "print(1024 * (peak() - before))\n"
    )
    result = child_python.run("-c", script, str(path), check=True)
    # Python lists of every row of this file took 28 times its size; batches read by NumPy take 3.
    assert int(result.stdout) < 8 * path.stat().st_size


def test_closed_output_pipe_ends_quietly(child_python, surface_csv):
    proc = child_python.popen(
        *["-m", "korva", "fit", str(surface_csv)],
        *"--x a b --y y --degree 1 --method ols".split(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.close()  # as `| head -0` would, before anything is written
    with proc.stderr:
        err = proc.stderr.read().decode()
    assert proc.wait() == 1
    assert err == ""
