"""The command line's CSV reader: every complete row kept, whatever the batches and chunks, and
each refused cell or record named by its line, in memory that follows the numbers read."""

import os

import numpy as np
import pytest

from korva import _reading, cli
from tests.sandbox import running_under_asan
from tests.test_cli import COLUMNS_X_Y, NOT_FINITE

WEIGHTED = [*COLUMNS_X_Y, "--weights", "w"]
WIDE_HEADER = ",".join(f"column{i}" for i in range(12_000))  # 131 kB, beyond the csv module's field limit
LONG_TEXT = "text " * 40_000


# Each file holds x = 1, 3 and y = 2, 4 among lines that carry nothing, or miss a value,
# and columns of text however long, with quoted cells over several lines. Cells kept as text
# (--keep) are those of the rows kept, as the cells read, however long.
@pytest.mark.parametrize(
    "content, options, skipped, rows, kept",
    [
        ("\ufeffx,y\n1,2\n3,4\n", [], 0, [1, 2], {}),  # a byte-order mark must not hide the first name
        ("y;z;x\n2;0;1\n4;0;3\n", ["--keep", "z"], 0, [1, 2], {"z": ["0", "0"]}),
        ("x\ty\r\n1\t2\r\n\r\n3\t4\r\n", ["--sep", "tab"], 0, [1, 3], {}),
        ("x y\n1 2\n3 4\n", ["--sep", " "], 0, [1, 2], {}),
        ('"x","y"\n"1","2"\n\n,\n 3 , 4 \n', ["--keep", "x"], 0, [1, 4], {"x": ["1", " 3 "]}),
        ("x,y\n1,2\n2,\n,5\nNA,5\n3,4\n4\n5,nan\n", ["--dropna"], 5, [1, 5], {}),
        ("id,x,y\nA,1,2\nB,2,\n\nC,,5\nD d,3,4\n", ["--dropna", "--keep", "id"], 2, [1, 5], {"id": ["A", "D d"]}),
        (
            f"{WIDE_HEADER},x,y\n{',' * 12_000}1,2\n{'0,' * 12_000}3,4",
            ["--keep", "column11999"],
            0,
            [1, 2],
            {"column11999": ["", "0"]},
        ),
        (
            f"x,note,y\n1,{LONG_TEXT},2\n2,{LONG_TEXT},\n3,{LONG_TEXT}!,4\n",
            ["--dropna", "--keep", "note"],
            1,
            [1, 3],
            {"note": [LONG_TEXT, f"{LONG_TEXT}!"]},
        ),
        (
            'x,note,y\n1,"a, ""b""\n\nc,",2\n3,"\r\n""\n"" d",4\n',
            ["--keep", "note"],
            0,
            [1, 2],
            {"note": ['a, "b"\n\nc,', '\n"\n" d']},
        ),
        ('note;x;y\r\n"one\r\ntwo";1;2\r\n\r\n"""";3;4', ["--keep", "note"], 0, [1, 3], {"note": ["one\ntwo", '"']}),
        # Some programs end every line with a separator: blank cells past the header's are no data.
        ("x,y\n1,2,\n3,4, ,\n", [], 0, [1, 2], {}),
    ],
)
# Records straddle every kind of boundary: of NumPy's batches, of the chunks read, of a line's pieces.
@pytest.mark.parametrize(
    "batch_lines, chunk_chars, piece_chars",
    [(1, 1, 1), (2, 5, 3), (3, 64, 16), (_reading.BATCH_LINES, _reading.CHUNK_CHARS, _reading.PIECE_CHARS)],
)
def test_reading_keeps_every_complete_row(
    tmp_path, monkeypatch, content, options, skipped, rows, kept, batch_lines, chunk_chars, piece_chars
):
    monkeypatch.setattr(_reading, "BATCH_LINES", batch_lines)
    monkeypatch.setattr(_reading, "CHUNK_CHARS", chunk_chars)
    monkeypatch.setattr(_reading, "PIECE_CHARS", piece_chars)
    path = tmp_path / "data.csv"
    path.write_bytes(content.encode())
    args = cli.build_parser().parse_args(["fit", str(path), *COLUMNS_X_Y, *options])
    data = _reading.read_columns(args.file, args.x, args.y, "title", args.sep, args.dropna, keep=args.keep)
    np.testing.assert_array_equal(data.inputs, [[1.0], [3.0]])
    np.testing.assert_array_equal(data.target, [2.0, 4.0])
    np.testing.assert_array_equal(data.rows, rows)
    assert data.skipped_rows == skipped
    assert data.kept == kept


@pytest.mark.parametrize(
    "content, where, options",
    [
        ("x,y\n1,2\n\n3,4\n4,5\n5,1e999\n6,7\n", f"line 6, column 'y': '1e999'{NOT_FINITE}", COLUMNS_X_Y),
        # A quoted cell over lines 3 to 5: the lines after it are counted on.
        ('x,y,note\n1,2,a\n3,4,"b\n\nc"\n4,5,d\n5,1e999,e\n', f"line 7, column 'y': '1e999'{NOT_FINITE}", COLUMNS_X_Y),
        ('x,y\n1,2\n3,"4\n5"\n', f"line 3, column 'y': '4\\n5'{NOT_FINITE}", COLUMNS_X_Y),
        (
            f"x,y\n1,2\n3,{'7' * 5000}\n",
            f"line 3, column 'y': '{'7' * _reading.SHOWN_CELL_CHARS}...'{NOT_FINITE}",
            COLUMNS_X_Y,
        ),
        # More cells than columns (decimal commas): their values would be read into the wrong
        # columns or left out. A quoted separator is text, not a cell's end.
        ("x,y\n1,2\n1,5,2\n", "line 3 has 3 cells but the header names 2 columns", COLUMNS_X_Y),
        ('x,y,note\n1,2,"a,b"\n3,4,c,d\n', "line 3 has 4 cells but the header names 3 columns", COLUMNS_X_Y),
        ('x,y,note\n1,2,"a\nb",9\n3,4,c\n', "line 2 has 4 cells but the header names 3 columns", COLUMNS_X_Y),
        (f"x,y\n1,2\n3,4,{'7' * 5000}\n", "line 3 has 3 cells but the header names 2 columns", COLUMNS_X_Y),
        # A negative weight, in plain records or after a quoted cell over two lines.
        ("x,w,y\n1,1,2\n2,0,3\n3,-1e-300,4\n", "line 4, column 'w': '-1e-300' is negative", WEIGHTED),
        ('x,w,y,note\n1,1,2,"a\nb"\n2,1,3,c\n3, -0.5 ,4,d\n', "line 5, column 'w': '-0.5' is negative", WEIGHTED),
        # An error sigma of 0 or less, beside weights of 0 (which are sound) and alone.
        ("x,w,s,y\n1,0,1,2\n2,1,0,3\n", "line 3, column 's': '0' is not above 0", [*WEIGHTED, "--sigma", "s"]),
        ("x,s,y\n1,1,2\n2,1,3\n3,-2,4\n", "line 4, column 's': '-2' is not above 0", [*COLUMNS_X_Y, "--sigma", "s"]),
    ],
)
@pytest.mark.parametrize(
    "batch_lines, chunk_chars", [(1, 1), (2, 4), (3, 32), (_reading.BATCH_LINES, _reading.CHUNK_CHARS)]
)
def test_a_bad_cell_or_record_is_named_by_its_line_in_any_batch(
    tmp_path, monkeypatch, capsys, content, where, options, batch_lines, chunk_chars
):
    monkeypatch.setattr(_reading, "BATCH_LINES", batch_lines)
    monkeypatch.setattr(_reading, "CHUNK_CHARS", chunk_chars)
    path = tmp_path / "data.csv"
    path.write_text(content)
    assert cli.main(["fit", str(path), *options]) == 2
    assert f"data.csv, {where}" in capsys.readouterr().err


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
        "from korva._reading import read_columns\n"
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


@pytest.mark.skipif(running_under_asan(), reason="ASan's runtime needs more address space than the cap")
def test_a_huge_cell_in_an_unused_column_is_not_held(child_python, tmp_path):
    path = tmp_path / "notes.csv"
    with path.open("w") as stream:
        stream.write(f"x,note,y\n1,{'n' * (80 << 20)},2\n2,short,3\n3,,5\n")
    # Holding the 80 MB line, as a string and in NumPy's conversion, took more than 320 MB. One
    # thread: each further one would reserve a stack and a malloc arena of address space.
    result = child_python.run(
        *["-m", "korva", "fit", str(path), "--x", "x", "--y", "y", "--degree", "1"],
        env=child_python.environment(OMP_NUM_THREADS="1"),
        address_space=320 << 20,
    )
    assert result.returncode == 0, result.stderr
    assert "notes.csv: y against x, 3 points" in result.stdout
