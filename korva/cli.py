"""The command line of ``python -m korva``.

With no arguments it fits the data set shipped in korva/data, prints a table that
compares ordinary least squares with the MDL search and draws korva-demo.png.
``python -m korva fit FILE --x COL [COL ...] --y COL --degree N`` does the same for a
CSV file of the user's.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import dataclasses
import errno
import functools
import io
import itertools
import math
import os
import re
import signal
import sys
import tempfile
import threading
import time
import warnings
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, NoReturn, TextIO, cast

import numpy as np
from numpy.typing import NDArray

from korva import __version__
from korva.bases import BASES
from korva.estimator import METHODS, FitWarning, FloatArray, PolynomialMDLRegressor

# A degree as the estimator takes it: one for every input, one per input, or "auto".
Degree = int | list[int] | str
# A file named on the command line, or "-" for standard input or output.
FileArgument = Path | Literal["-"]

if TYPE_CHECKING:  # matplotlib is optional at run time
    from matplotlib.axes import Axes

DEMO_FILE = "belgian_phone_calls.csv"
DEMO_PICTURE = Path("korva-demo.png")
DEMO_TITLE = "International phone calls from Belgium, 1950-1973"
DEMO_TARGET_LABEL = "calls (tens of millions)"
DEMO_DEGREE = "auto"
DEMO_NOTE = (
    "Demo: yearly international phone calls from Belgium (tens of millions). In 1964-1969\n"
    "another recording system counted minutes instead of calls, and the switch partly\n"
    "affected 1963 and 1970: a handful of gross outliers. The degree is chosen by the data."
)
# How the methods are named in the picture.
METHOD_LABELS = {
    "ols": "least squares",
    "penalized": "penalised least squares",
    "mcmc": "korva (robust MDL)",
}
# Outliers named one by one in the report, at most.
MAX_OUTLIERS_LISTED = 20
INSTALL_PLOT_HINT = "pip install 'korva[plot]'"
SEPARATOR_NAMES = {",": "comma", ";": "semicolon", "\t": "tab"}
# Cells that mean "no value here"; --dropna skips the rows that hold one.
MISSING_MARKERS = frozenset({"", "na", "n/a", "nan", "null"})
NOT_UTF8 = "is not a UTF-8 text file"
SAVE_AS_UTF8 = "save it as UTF-8 (or ASCII) text"
# "-" as FILE reads standard input, as --output writes standard output.
STANDARD_STREAM: Literal["-"] = "-"
STDIN_NAME = "standard input"
# Records handed to NumPy at a time: the text held at once stays small, whatever the file's size.
BATCH_LINES = 1 << 16
# Characters read at once. A record that goes on beyond a chunk is read in pieces, keeping only
# the wanted cells, so that memory follows the numbers read, not the text passed over.
CHUNK_CHARS = 1 << 20
PIECE_CHARS = 1 << 16
# A wanted cell longer than this is no number; an error message shows its first SHOWN_CELL_CHARS.
MAX_CELL_CHARS = 1 << 10
SHOWN_CELL_CHARS = 40
# A line of white space at most, between two line ends.
BLANK_LINE = re.compile(r"\n[^\S\n]*\n")
# With more basis terms than this, the coefficients are listed one per line.
MAX_TERMS_ACROSS = 8
# A fit that runs longer than this many seconds says so on a terminal.
PROGRESS_DELAY = 1.0
# The columns that --output adds to the input columns.
OUTPUT_COLUMNS = ("row", "fitted", "residual", "scaled_residual", "inlier")


class CommandError(Exception):
    """A problem with the user's command line, files or columns, reported as one line on stderr."""


@dataclass(frozen=True)
class Dataset:
    title: str
    input_names: list[str]
    target_name: str
    inputs: FloatArray  # shape (n, d)
    target: FloatArray  # shape (n,)
    rows: NDArray[np.int64]  # data row numbers: 1 is the record after the header, blank ones counted
    skipped_rows: int = 0  # rows with a missing value, left out on request
    target_label: str | None = None  # the y axis's label with units, when they are known
    weights: FloatArray | None = None  # shape (n,), the sample weights when a column gives them
    weights_name: str | None = None
    kept: dict[str, list[str]] = dataclasses.field(default_factory=dict)  # columns copied as text, by name


@dataclass(frozen=True)
class FitReport:
    method: str
    model: PolynomialMDLRegressor
    seconds: float


# ------------------------------------------------------------------ reading


def read_columns(
    path: FileArgument,
    input_names: Sequence[str],
    target_name: str,
    title: str,
    sep: str | None = None,
    dropna: bool = False,
    weights_name: str | None = None,
    keep: Sequence[str] = (),
) -> Dataset:
    """Read the named numeric columns of a CSV file whose first line names the columns.

    The separator is ``sep``, or else whichever of comma, semicolon and tab splits the
    first line into the most names. With ``dropna``, rows with a missing value in a named
    column are left out; otherwise such a cell is an error naming its line and column.
    Only the named columns are kept: the text of the others is read past, however long.
    The cells of the columns in ``keep`` are kept as text, whatever they hold, for the rows
    whose numbers are kept. ``path`` "-" reads standard input.
    """
    name = STDIN_NAME if path == STANDARD_STREAM else str(path)
    wanted = [*input_names, target_name, *([weights_name] if weights_name else [])]
    try:
        with _open_text(path) as stream:
            if cast(io.BufferedReader, stream.buffer).peek(2)[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE):
                raise CommandError(f"{name} {NOT_UTF8}: it starts with a UTF-16 byte-order mark; {SAVE_AS_UTF8}")
            first_line = stream.readline()
            if not first_line:
                raise CommandError(f"{name} is empty")
            if "\0" in first_line:  # UTF-16 text without a byte-order mark, or not text at all
                raise CommandError(f"{name} {NOT_UTF8}: its first line holds NUL characters; {SAVE_AS_UTF8}")
            sep = sep or _detect_separator(first_line, name)
            header, header_lines, _ = _read_record(first_line, lambda: stream.readline(PIECE_CHARS), sep, None)
            positions = _column_positions(header, sep, [*wanted, *keep], name)
            layout = _Layout(
                name,
                sep,
                len(header),
                positions[: len(wanted)],
                wanted,
                dropna,
                bool(weights_name),
                positions[len(wanted) :],
            )
            table, rows, skipped, kept_rows = _read_numbers(_batches(stream, layout, header_lines), layout)
    except OSError as exc:
        raise CommandError(f"cannot read {name}: {exc.strerror}") from exc
    except UnicodeDecodeError as exc:
        raise CommandError(f"{name} {NOT_UTF8}") from exc
    except MemoryError as exc:
        raise CommandError(f"not enough memory to read {name}") from exc
    if len(table) == 0:
        if skipped:
            missing = "its one row misses a value" if skipped == 1 else f"all {skipped:,} miss a value"
            raise CommandError(f"{name} has no complete rows: {missing}")
        raise CommandError(f"{name} has a header but no data rows")
    n_inputs = len(input_names)
    return Dataset(
        title,
        list(input_names),
        target_name,
        table[:, :n_inputs],
        table[:, n_inputs],
        rows,
        skipped,
        weights=table[:, -1] if weights_name else None,
        weights_name=weights_name,
        kept=dict(zip(keep, map(list, zip(*kept_rows)))),
    )


def _open_text(path: FileArgument) -> TextIO:
    """The file, or standard input for "-", as text. utf-8-sig drops the byte-order mark
    some editors write, which would otherwise stick to the first column's name."""
    if path != STANDARD_STREAM:
        return open(path, encoding="utf-8-sig")
    if sys.stdin is None:
        raise CommandError(f"cannot read {STDIN_NAME}: it is closed")
    return open(sys.stdin.fileno(), encoding="utf-8-sig", closefd=False)


def _detect_separator(first_line: str, name: str) -> str:
    """The separator that splits the first line into the most names; a comma for a single column."""
    counts = {sep: len(_read_record(first_line, str, sep, None)[0]) for sep in SEPARATOR_NAMES}
    most = max(counts.values())
    if most <= 1:
        return ","
    best = [sep for sep, count in counts.items() if count == most]
    if len(best) > 1:
        names = " or ".join(SEPARATOR_NAMES[sep] for sep in best)
        raise CommandError(f"cannot tell the separator of {name}: {names}; --sep says which")
    return best[0]


def _column_positions(header: list[str], sep: str, wanted: list[str], name: str) -> list[int]:
    """Where each wanted column stands in the header, which must name every column once."""
    header = [name.strip() for name in header]
    if not any(header):
        raise CommandError(f"{name} has no column names: its first line is blank")
    repeated = [column for column, count in Counter(header).items() if count > 1 and column]
    if repeated:
        raise CommandError(f"{name} has more than one column named {repeated[0]!r}")
    missing = [column for column in wanted if column not in header]
    if missing:
        hint = f" (read with the separator {sep!r}; --sep sets another)" if len(header) == 1 else ""
        raise CommandError(f"{name} has no column {missing[0]!r}; its columns are {', '.join(map(repr, header))}{hint}")
    return [header.index(column) for column in wanted]


@dataclass(frozen=True)
class _Layout:
    """What to read from a file's records and how."""

    name: str  # the file's name in messages
    sep: str
    n_columns: int  # the columns the header names
    positions: list[int]  # where the wanted columns stand in a record
    names: list[str]  # the wanted columns' names
    dropna: bool  # skip rows with a missing value instead of refusing them
    weighted: bool  # the last wanted column holds sample weights, none of them negative
    text_positions: list[int]  # where the columns kept as text stand, read after the wanted ones

    @functools.cached_property
    def read_positions(self) -> list[int]:
        return [*self.positions, *self.text_positions]


@dataclass(frozen=True)
class _Batch:
    """Data records in a row: each one's text (a record on one line) or the cells of the wanted
    columns (a record read in pieces), its data row number and the line it starts on."""

    records: list[str | list[str]]
    rows: NDArray[np.int64]
    lines: NDArray[np.int64]


def _batches(stream: TextIO, layout: _Layout, header_lines: int) -> Iterator[_Batch]:
    """The records after the header, BATCH_LINES at a time; blank ones are left out, though
    counted as data rows. A record with more cells than the header names is refused.

    The file is read CHUNK_CHARS characters at a time, up to a line end. A line longer than
    PIECE_CHARS that goes on past a chunk, or a record whose quoted cell goes on over the next
    lines, is read in pieces that keep only the wanted cells.
    """
    sep = layout.sep
    whole_line, whole_lines = _whole_lines_patterns(sep)
    row, line = 0, header_lines  # the last data row and file line read
    records: list[str | list[str]] = []
    rows: list[NDArray[np.int64]] = []
    lines: list[NDArray[np.int64]] = []
    while chunk := stream.read(CHUNK_CHARS):
        tail_complete = True  # the chunk ends where a line or the file does
        if not chunk.endswith("\n"):
            rest = stream.readline(PIECE_CHARS)
            chunk += rest
            tail_complete = rest.endswith("\n") or len(rest) < PIECE_CHARS
        texts = chunk.split("\n")
        tail = texts.pop()  # the text after the last line end
        if tail_complete and ('"' not in chunk or whole_lines.fullmatch(chunk)):
            texts += [tail] if tail else []
            filled = np.ones(len(texts), dtype=bool)
            if BLANK_LINE.search(f"\n{chunk}\n" if tail else f"\n{chunk}"):
                filled &= np.fromiter(map(len, texts), dtype=np.int64, count=len(texts)) > 0
                filled &= ~np.fromiter(map(str.isspace, texts), dtype=bool, count=len(texts))
                texts = list(itertools.compress(texts, filled))
            offsets = 1 + np.flatnonzero(filled)
            rows.append(row + offsets)
            lines.append(line + offsets)
            row += len(filled)
            line += len(filled)
            records += texts
        else:
            ahead = [*(text + "\n" for text in texts), *([tail] if tail else [])][::-1]

            next_piece = functools.partial(_next_piece, ahead, stream)
            chunk_rows, chunk_lines = [], []
            while ahead:
                text = ahead.pop()
                row += 1
                line += 1
                if (text.endswith("\n") or tail_complete) and ('"' not in text or whole_line.fullmatch(text)):
                    if text.isspace():
                        continue
                    records.append(text)
                    n_lines = 1
                else:
                    cells, n_lines, n_cells = _read_record(
                        text, next_piece, sep, layout.read_positions, layout.text_positions
                    )
                    _check_cell_count(n_cells, layout.n_columns, f"{layout.name}, line {line}")
                    records.append(cells)
                chunk_rows.append(row)
                chunk_lines.append(line)
                line += n_lines - 1
            rows.append(np.array(chunk_rows, dtype=np.int64))
            lines.append(np.array(chunk_lines, dtype=np.int64))
        while len(records) >= BATCH_LINES:
            yield _first_batch(records, rows, lines)
    while records:
        yield _first_batch(records, rows, lines)


def _next_piece(ahead: list[str], stream: TextIO) -> str:
    """The next line read ahead (the last of ``ahead``), else the next piece of the file."""
    return ahead.pop() if ahead else stream.readline(PIECE_CHARS)


def _first_batch(
    records: list[str | list[str]], rows: list[NDArray[np.int64]], lines: list[NDArray[np.int64]]
) -> _Batch:
    """Takes the first BATCH_LINES records, and their rows and lines, off the lists."""
    size = BATCH_LINES
    all_rows, all_lines = np.concatenate(rows), np.concatenate(lines)
    rows[:], lines[:] = [all_rows[size:]], [all_lines[size:]]
    batch = _Batch(records[:size], all_rows[:size], all_lines[:size])
    del records[:size]
    return batch


def _whole_lines_patterns(sep: str) -> tuple[re.Pattern[str], re.Pattern[str]]:
    """Patterns that match a line, and text of lines, whose quoted cells all close on their line,
    so that each line holds a whole record."""
    s = re.escape(sep)
    cell = rf'(?:"(?:[^"\n]++|"")*+"[^{s}\n]*+|(?!")[^{s}\n]*+)'
    line = rf"{cell}(?:{s}{cell})*+"
    return re.compile(rf"{line}\n?"), re.compile(rf"(?:{line}\n)*+{line}")


def _read_record(
    text: str, next_piece: Callable[[], str], sep: str, positions: list[int] | None, whole: Sequence[int] = ()
) -> tuple[list[str], int, int]:
    """One record that starts with the line ``text``, the lines it took and its number of cells
    up to the last one that is not blank.

    Where the record goes on past ``text``, ``next_piece`` gives the text that follows, "" at the end.

    Returns the cells at ``positions`` in their order ("" where the record is shorter), each
    at most MAX_CELL_CHARS long unless its position is in ``whole``, or every cell whole when
    ``positions`` is None. A cell that
    starts with a double quote is quoted: within it a doubled quote stands for one, and
    separators and line ends are text. The text of the other cells is passed over, not kept.
    """
    wanted = None if positions is None else set(positions)
    kept: dict[int, list[str]] = {}
    unquoted_end = re.compile(f"{re.escape(sep)}|\n")
    column, start, state, lines, filled = 0, 0, "start", 1, 0

    def keep(piece: str) -> None:
        nonlocal filled
        if not piece.isspace() and piece:
            filled = column + 1
        if wanted is None or column in wanted:
            parts = kept.setdefault(column, [])
            if wanted is None or column in whole or sum(map(len, parts)) <= MAX_CELL_CHARS:
                parts.append(piece)

    while True:
        if start >= len(text):
            text, start = next_piece(), 0
            if not text:
                break  # the end of the file ends the record, even within quotes
        if state == "start":
            keep("")
            state = "unquoted"
            if text[start] == '"':
                state, start = "quoted", start + 1
        elif state == "quoted":
            close = text.find('"', start)
            if close < 0:
                keep(text[start:])
                lines += text.endswith("\n")
                start = len(text)
            else:
                keep(text[start:close])
                state, start = "after quote", close + 1
        elif state == "after quote":
            state = "unquoted"
            if text[start] == '"':  # a doubled quote: one quote within the cell
                keep('"')
                state, start = "quoted", start + 1
        else:
            stop = unquoted_end.search(text, start)
            keep(text[start : len(text) if stop is None else stop.start()])
            if stop is None:
                start = len(text)
            elif stop.group() == "\n":
                break
            else:
                column, state, start = column + 1, "start", stop.end()
    cells = {i: "".join(parts) for i, parts in kept.items()}
    if positions is None:
        return [cells.get(i, "") for i in range(column + 1)], lines, filled
    return (
        [
            cells.get(position, "") if position in whole else _shortened(cells.get(position, ""))
            for position in positions
        ],
        lines,
        filled,
    )


def _check_cell_count(n_cells: int, n_columns: int, where: str) -> None:
    """Refuse a record with more cells than the header names, up to its last one that is not
    blank (some programs end every line with a separator): its values would be read into the
    wrong columns, or left out unseen (a decimal comma in a comma-separated file)."""
    if n_cells > n_columns:
        raise CommandError(
            f"{where} has {n_cells} cells but the header names {_counted(n_columns, 'column')} "
            "(a decimal comma, or a separator within an unquoted cell?)"
        )


def _shortened(cell: str, length: int = MAX_CELL_CHARS) -> str:
    """The cell, or its start and an ellipsis when it is longer than ``length``."""
    return cell if len(cell) <= length else cell[:length] + "..."


def _read_numbers(
    batches: Iterator[_Batch], layout: _Layout
) -> tuple[FloatArray, NDArray[np.int64], int, list[list[str]]]:
    """The numbers of the wanted columns, their data row numbers, how many rows were skipped,
    and row by row the cells of the columns kept as text (no rows when there are none).

    NumPy converts each batch of one-line records. A batch it refuses, that holds a value that
    is not finite or a record read in pieces, is read again record by record to skip or name
    the bad cell.
    """
    blocks, row_blocks, texts = [], [], []
    skipped = 0
    for batch in batches:
        block = _convert_batch(batch, layout)
        rows = batch.rows
        if block is None:
            block, kept, dropped, batch_texts = _convert_records(batch, layout)
            rows = rows[kept]
            skipped += dropped
            texts += batch_texts
        elif layout.text_positions:
            positions = layout.text_positions
            texts += [_line_cells(line, layout.sep, positions, positions)[0] for line in cast(list[str], batch.records)]
        blocks.append(block)
        row_blocks.append(rows)
    if not blocks:
        return np.empty((0, len(layout.positions))), np.empty(0, dtype=np.int64), 0, []
    return np.concatenate(blocks), np.concatenate(row_blocks), skipped, texts


def _convert_batch(batch: _Batch, layout: _Layout) -> FloatArray | None:
    """The batch's numbers, or None when a record needs a closer look (one whose separators
    are not the header's, which may also be quoted text, or one with a value to refuse)."""
    if not all(map(isinstance, batch.records, itertools.repeat(str))):
        return None
    lines = cast(list[str], batch.records)
    if set(map(str.count, lines, itertools.repeat(layout.sep))) != {layout.n_columns - 1}:
        return None
    try:
        block: FloatArray = np.loadtxt(
            lines,
            dtype=np.float64,
            delimiter=layout.sep,
            quotechar='"',
            comments=None,
            usecols=layout.positions,
            ndmin=2,
        )
    except ValueError:
        return None
    if len(block) != len(lines) or not np.isfinite(block).all():
        return None
    return None if layout.weighted and (block[:, -1] < 0).any() else block


def _convert_records(batch: _Batch, layout: _Layout) -> tuple[FloatArray, NDArray[np.bool_], int, list[list[str]]]:
    """Record by record: the numbers, which records they come from, how many were skipped, and
    the cells kept as text of the records the numbers come from.

    Records whose cells are all blank are passed over; incomplete ones are skipped or refused.
    """
    values, texts = [], []
    kept = np.zeros(len(batch.records), dtype=bool)
    skipped = 0
    n_numbers = len(layout.positions)
    for i, (record, line) in enumerate(zip(batch.records, batch.lines.tolist())):
        where = f"{layout.name}, line {line}"
        if isinstance(record, str):
            cells, n_cells = _line_cells(record, layout.sep, layout.read_positions, layout.text_positions)
            if n_cells == 0:
                continue  # blank records carry no data
            _check_cell_count(n_cells, layout.n_columns, where)
        else:
            cells = record
        row = [
            _cell_value(cell.strip(), f"{where}, column {name!r}", layout.dropna)
            for cell, name in zip(cells, layout.names)
        ]
        if layout.weighted and row[-1] < 0:
            raise CommandError(
                f"{where}, column {layout.names[-1]!r}: {_shortened(cells[-1].strip(), SHOWN_CELL_CHARS)!r} "
                "is negative; a weight is 0 or more"
            )
        if any(map(math.isnan, row)):
            skipped += 1
            continue
        values.append(row)
        kept[i] = True
        if layout.text_positions:
            texts.append(cells[n_numbers:])
    return np.array(values, dtype=np.float64).reshape(-1, n_numbers), kept, skipped, texts


def _line_cells(record: str, sep: str, positions: list[int], whole: Sequence[int]) -> tuple[list[str], int]:
    """The cells at ``positions`` of a record held as one text, those in ``whole`` however long,
    and its number of cells up to the last one that is not blank (0 for a blank record)."""
    if len(record) >= csv.field_size_limit():  # longer than the csv module reads
        cells, _, n_cells = _read_record(record, str, sep, positions, whole)
        return cells, n_cells
    cells = next(csv.reader([record], delimiter=sep), [])
    n_cells = max((i + 1 for i, cell in enumerate(cells) if cell.strip()), default=0)
    return [cells[position] if position < len(cells) else "" for position in positions], n_cells


def _cell_value(cell: str, where: str, dropna: bool) -> float:
    """The cell's finite value, or NaN for a missing one when such rows are skipped."""
    if cell.lower() in MISSING_MARKERS:
        if dropna:
            return math.nan
        shown = repr(_shortened(cell, SHOWN_CELL_CHARS)) if cell else "an empty cell"
        raise CommandError(f"{where}: {shown} is not a finite number (--dropna skips such rows)")
    try:
        value = float(cell) if "_" not in cell else math.nan
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise CommandError(f"{where}: {_shortened(cell, SHOWN_CELL_CHARS)!r} is not a finite number")
    return value


def demo_dataset() -> Dataset:
    with resources.as_file(resources.files("korva") / "data" / DEMO_FILE) as path:
        data = read_columns(path, ["year"], "calls", DEMO_TITLE)
    return dataclasses.replace(data, target_label=DEMO_TARGET_LABEL)


# ------------------------------------------------------------------ fitting


def fit_and_compare(
    data: Dataset,
    degree: Degree,
    gamma1: float,
    gamma2: float,
    method: str,
    basis: str = "total",
    **settings: Any,
) -> list[FitReport]:
    """Ordinary least squares and ``method`` (unless that is least squares too).

    ``method`` is fitted first, so that least squares can take the degree it chose
    when ``degree`` is "auto": the two then differ only in how they treat outliers.
    Least squares fits no penalty, so its MDL score has no penalty term either.
    ``settings`` are further parameters of the estimator (random_state, max_degree,
    outlier_threshold), the same for both fits where they apply.
    """
    reports = [_timed_fit(data, method, degree=degree, basis=basis, gamma1=gamma1, gamma2=gamma2, **settings)]
    if method != "ols":
        chosen = reports[0].model.degree_
        shared = {name: value for name, value in settings.items() if name != "max_degree"}
        reports.insert(0, _timed_fit(data, "ols", degree=chosen, basis=basis, **shared))
    return reports


def _timed_fit(data: Dataset, method: str, **parameters: Any) -> FitReport:
    model = PolynomialMDLRegressor(method=method, **parameters)
    fit_options = {} if data.weights is None else {"sample_weight": data.weights}
    start = time.perf_counter()
    try:
        # The estimator refuses data too extreme for double precision with a
        # ValueError; NumPy's warnings on the way would add lines to stderr.
        with np.errstate(all="ignore"), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", FitWarning)
            with _progress(
                f"fitting {method}, degree {_degree_words(parameters['degree'])}, to {_counted(len(data.target), 'row')}"
            ):
                model.fit(data.inputs, data.target, **fit_options)
    except ValueError as exc:
        raise CommandError(f"the {method} fit failed: {exc}") from exc
    except MemoryError as exc:
        size = f"degree {_degree_words(parameters['degree'])} to {_counted(len(data.target), 'point')}"
        raise CommandError(f"not enough memory for the {method} fit of {size}") from exc
    for warning in caught:
        if issubclass(warning.category, FitWarning):
            message = str(warning.message).replace("\n", " ")
            print(f"warning: the {method} fit: {message}", file=sys.stderr)
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    return FitReport(method, model, time.perf_counter() - start)


@contextlib.contextmanager
def _progress(doing: str) -> Iterator[None]:
    """Says on stderr what is being done when it takes longer than PROGRESS_DELAY seconds, and
    only on a terminal: a pipe or a file gets nothing. The line may come late, since a
    call into korva_core keeps Python's other threads waiting until it returns."""
    if not _is_terminal(sys.stderr):
        yield
        return
    timer = threading.Timer(PROGRESS_DELAY, lambda: print(f"korva: {doing} ...", file=sys.stderr, flush=True))
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


def _is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed
        return False


def _counted(count: int, noun: str) -> str:
    """The count and the noun, plural unless the count is 1: "1 row", "2 rows", "1,500 rows"."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def _degree_words(degree: Degree) -> str:
    return " ".join(map(str, degree)) if isinstance(degree, list) else str(degree)


def unit_variables(n_inputs: int) -> list[str]:
    """Names of the inputs mapped to [-1, 1]: t for one input, t1, t2, ... for several."""
    return ["t"] if n_inputs == 1 else [f"t{i + 1}" for i in range(n_inputs)]


def term_names(multi_indices: list[list[int]]) -> list[str]:
    """Readable names of the basis terms: 1, t, t^2 for one input; t1*t2^2 and so on for several."""
    names = []
    for exponents in multi_indices:
        variables = unit_variables(len(exponents))
        factors = [v if e == 1 else f"{v}^{e}" for v, e in zip(variables, exponents) if e > 0]
        names.append("*".join(factors) or "1")
    return names


def format_report(data: Dataset, reports: list[FitReport], t_units: bool = False) -> str:
    """The comparison table, the coefficients (in the data's units unless ``t_units``) with
    the robust fit's standard errors, and what the columns mean."""
    robust = reports[-1]
    inliers = robust.model.inlier_mask_
    rows = [["method", "MDL score", "hit rate", "inlier RMS", "time (ms)"]]
    for report in reports:
        residuals = (data.target - report.model.predict(data.inputs))[inliers]
        rows.append(
            [
                report.method,
                f"{report.model.mdl_:.3f}",
                f"{report.model.hit_rate_:.3f}",
                f"{_root_mean_square(residuals):.4g}" if residuals.size else "-",
                f"{1000 * report.seconds:.1f}",
            ]
        )
    coefficient_rows, units = _coefficient_rows(data, reports, t_units)
    if len(robust.model.coef_) > MAX_TERMS_ACROSS:  # too wide for a line: one term per line
        coefficient_rows = [list(column) for column in zip(*coefficient_rows)]
        coefficient_rows[0][0] = "term"

    model = robust.model
    skipped = f" ({_counted(data.skipped_rows, 'incomplete row')} left out)" if data.skipped_rows else ""
    mappings = [
        f"{variable} = {name} mapped from [{low:g}, {high:g}] to [-1, 1]"
        if low < high
        else f"{variable} = 0: {name} is constant ({low:g} in every row)"
        for variable, name, low, high in zip(
            unit_variables(len(data.input_names)), data.input_names, model.x_min_, model.x_max_
        )
    ]
    return "\n".join(
        [
            (
                f"{data.title}: {data.target_name} against {', '.join(data.input_names)}, "
                f"{_counted(len(data.target), 'point')}{skipped}, degree {_degree_text(model)}"
            ),
            "",
            *_aligned(rows),
            "",
            *_aligned(coefficient_rows),
            units,
            "",
            (
                f"Inliers: {int(inliers.sum()):,} of {_counted(len(inliers), 'point')} "
                f"{'lies' if len(inliers) == 1 else 'lie'} within "
                f"{model.outlier_threshold:g} x {model.scale_:.4g} (the residual scale) of the "
                f"{robust.method} fit; the RMS error is taken over them."
            ),
            (
                f"Hit rate: the share of points within {model.tolerance_:.4g} of a fit, the MDL score's tolerance "
                f"(0.4 x the robust spread of {data.target_name} itself, where the inliers' bound is set by the "
                "residuals), so the two shares differ."
            ),
            _outliers_text(data, inliers),
            *mappings,
        ]
    )


def _coefficient_rows(data: Dataset, reports: list[FitReport], t_units: bool) -> tuple[list[list[str]], str]:
    """The coefficients of every fit and the robust fit's standard errors, as table rows, and
    a line saying in which variables they are. The data's own units unless asked for t, or
    unless a listed basis cannot be written in them."""
    model = reports[-1].model
    in_x = not t_units and all(r.model.coef_x_ is not None for r in reports) and model.bse_x_ is not None
    if in_x:
        # Factors joined by "*", as in t units, so that a name stays one word of the table.
        names = [str(name).replace(" ", "*") for name in model.get_feature_names_out(data.input_names)]
        rows = [["coefficients of", *names]]
        rows += [[r.method, *(f"{c:.6g}" for c in r.model.coef_x_)] for r in reports]  # type: ignore[union-attr]
        errors = model.bse_x_
        assert errors is not None  # in_x: every report has coefficients in x
        units = "Coefficients in the data's own units (--t-units lists them in the inputs mapped to [-1, 1])."
    else:
        rows = [["coefficients of", *term_names(model.multi_indices_)]]
        rows += [[r.method, *(f"{c:.4g}" for c in r.model.coef_)] for r in reports]
        errors = model.bse_
        units = "Coefficients in the inputs mapped to [-1, 1] (t; see below)."
    rows.append([f"{reports[-1].method} std. error", *(f"{e:.2g}" for e in errors)])
    return rows, units


def _degree_text(model: PolynomialMDLRegressor) -> str:
    """The fitted degree, and that it was chosen when the user asked for "auto"."""
    degree = _degree_words(model.degree_)
    return f"{degree} (chosen by description length)" if model.degree == "auto" else degree


def _outliers_text(data: Dataset, inliers: NDArray[np.bool_]) -> str:
    """The outliers by their data row, each with its input values."""
    flagged = np.flatnonzero(~inliers)
    if flagged.size == 0:
        return "Outliers: none"
    listed = flagged[:MAX_OUTLIERS_LISTED]
    values = [", ".join(f"{v:g}" for v in row) for row in data.inputs[listed]]
    entries = [f"{row} ({value})" for row, value in zip(data.rows[listed].tolist(), values)]
    more = f" and {flagged.size - MAX_OUTLIERS_LISTED} more" if flagged.size > MAX_OUTLIERS_LISTED else ""
    return f"Outliers ({flagged.size}) by data row ({', '.join(data.input_names)}): {', '.join(entries)}{more}"


def _root_mean_square(values: FloatArray) -> float:
    """Scaled by the largest value first, so that squares neither overflow nor underflow."""
    largest = float(np.max(np.abs(values)))
    if largest == 0.0:
        return 0.0
    return largest * math.sqrt(float(np.mean((values / largest) ** 2)))


def _aligned(rows: list[list[str]]) -> list[str]:
    """Rows as text: the first column left-aligned, the others right-aligned."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return [
        "  ".join(
            cell.ljust(width) if i == 0 else cell.rjust(width) for i, (cell, width) in enumerate(zip(row, widths))
        ).rstrip()
        for row in rows
    ]


# ------------------------------------------------------------------ plotting


def draw_picture(data: Dataset, reports: list[FitReport], path: Path) -> bool:
    """Draw the data and the fits into ``path``; False when matplotlib is not installed."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return False
    figure = Figure(figsize=(7.5, 4.8), layout="constrained")
    axes = figure.subplots()
    if data.inputs.shape[1] == 1:
        _draw_curves(axes, data, reports)
    else:
        _draw_fitted_against_observed(axes, data, reports)
    axes.set_title(data.title)
    axes.legend()
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from exc
    except RuntimeError as exc:  # e.g. the TeX system that .pgf needs is not installed
        raise CommandError(f"cannot write {path}: {exc}") from exc
    return True


def check_picture_format(path: Path) -> None:
    """Refuse, before any work, a picture whose file extension matplotlib cannot write."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        return  # no picture will be drawn, which _write_picture reports
    formats = FigureCanvasBase.get_supported_filetypes()
    extension = path.suffix[1:].lower()
    if extension not in formats:
        what = f"a .{extension} file" if extension else "a file without an extension"
        raise CommandError(f"--plot cannot draw {what}; use one of {', '.join('.' + f for f in sorted(formats))}")


def _draw_curves(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """One input: the data, the robust fit's inliers and outliers marked, and each fitted curve."""
    x, y = data.inputs[:, 0], data.target
    inliers = reports[-1].model.inlier_mask_
    axes.scatter(x[inliers], y[inliers], color="black", s=22, label="inliers", zorder=3)
    axes.scatter(x[~inliers], y[~inliers], color="crimson", marker="x", s=40, label="outliers", zorder=3)
    grid = np.linspace(x.min(), x.max(), 400)
    for report in reports:
        (line,) = axes.plot(grid, report.model.predict(grid), linewidth=2, label=METHOD_LABELS[report.method])
    # Where a new inlying point would fall, 95 % of the time, by the robust fit (the last).
    low, high = reports[-1].model.predict_interval(grid, kind="prediction")
    label = f"95 % prediction band ({METHOD_LABELS[reports[-1].method]})"
    axes.fill_between(grid, low, high, color=line.get_color(), alpha=0.2, linewidth=0, label=label)
    axes.set_xlabel(data.input_names[0])
    axes.set_ylabel(data.target_label or data.target_name)


def _draw_fitted_against_observed(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """Several inputs: each fit's values against the observed ones, outliers circled."""
    y = data.target
    span = [y.min(), y.max()]
    axes.plot(span, span, color="grey", linewidth=1, label="fitted = observed")
    for report in reports:
        axes.scatter(y, report.model.predict(data.inputs), s=16, label=METHOD_LABELS[report.method])
    robust = reports[-1].model
    outliers = ~robust.inlier_mask_
    axes.scatter(
        y[outliers],
        robust.predict(data.inputs[outliers]),
        facecolors="none",
        edgecolors="crimson",
        s=70,
        label=f"outliers of {METHOD_LABELS[reports[-1].method]}",
    )
    axes.set_xlabel(f"observed {data.target_label or data.target_name}")
    axes.set_ylabel(f"fitted {data.target_label or data.target_name}")


# ------------------------------------------------------------------ command line


class _OneLineParser(argparse.ArgumentParser):
    """Reports a wrong command line in one line, as every other error is reported."""

    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see {self.prog} --help)")


def _number(kind: type[int] | type[float], description: str, above_zero: bool = False) -> Callable[[str], float]:
    """An argparse type: a finite number of the given kind, at least 0 (or above 0).

    Python would read "1_000" as 1000; a command line that says so is more likely a slip.
    """
    bound = "above 0" if above_zero else "of at least 0"

    def parse(text: str) -> float:
        try:
            value = kind(text) if "_" not in text else math.nan
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < 0 or (above_zero and value == 0):
            raise argparse.ArgumentTypeError(f"{text!r} is not {description} {bound}")
        return value

    return parse


def _seed(text: str) -> int:
    """An argparse type: a seed of the random numbers, a whole number in [0, 2**64)."""
    seed = int(_number(int, "a whole number")(text))
    if seed >= 2**64:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number below 2**64")
    return seed


def _degree(text: str) -> int | str:
    """An argparse type: "auto", or a whole number of at least 0."""
    if text == "auto":
        return text
    return int(_number(int, 'a whole number (or "auto")')(text))


def _column_name(text: str) -> str:
    """An argparse type: a column name, compared with the header's names stripped alike."""
    name = text.strip()
    if not name:
        raise argparse.ArgumentTypeError("a column name cannot be blank")
    return name


def _file_argument(text: str) -> FileArgument:
    """An argparse type: a file, or "-" for a standard stream (./- names a file called -)."""
    return STANDARD_STREAM if text == STANDARD_STREAM else Path(text)


def _separator(text: str) -> str:
    """An argparse type: one character that cannot be part of a number; 'tab' for a tab."""
    sep = "\t" if text in ("tab", "\\t") else text
    if len(sep) != 1 or sep.isalnum() or sep in '.+-"\r\n':
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a separator: give one character such as ',' or ';', or 'tab'"
        )
    return sep


def build_parser() -> argparse.ArgumentParser:
    parser = _OneLineParser(
        prog="python -m korva",
        description="Robust polynomial fits judged by a hit-rate MDL score. "
        "Without a command, fits the built-in demo data set and writes korva-demo.png.",
    )
    parser.add_argument("--version", action="version", version=f"korva {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    fit = commands.add_parser(
        "fit",
        help="fit a polynomial to columns of a CSV file",
        usage="%(prog)s FILE --x COL [COL ...] --y COL --degree N [N ...] | auto [options]",
    )
    fit.add_argument(
        "file",
        type=_file_argument,
        metavar="FILE",
        help="CSV file whose first line names the columns; - reads standard input",
    )
    fit.add_argument("--x", nargs="+", required=True, type=_column_name, metavar="COL", help="input column(s)")
    fit.add_argument("--y", required=True, type=_column_name, metavar="COL", help="response column")
    fit.add_argument(
        "--degree",
        nargs="+",
        required=True,
        type=_degree,
        metavar="N",
        help='degree, one degree per input column, or "auto" to let the data choose it',
    )
    fit.add_argument(
        "--max-degree",
        type=_number(int, "a whole number"),
        metavar="N",
        help="the highest degree that --degree auto tries (default 6 for one input, 3 for several)",
    )
    fit.add_argument(
        "--basis",
        choices=BASES,
        default="total",
        help="with several inputs: all terms up to the total degree (default), "
        "or the tensor product of each input's powers",
    )
    fit.add_argument(
        "--weights", type=_column_name, metavar="COL", help="column of sample weights (default: every row weighs 1)"
    )
    fit.add_argument(
        "--gamma1",
        type=_number(float, "a number"),
        default=0.0,
        metavar="G",
        help="weight of the slope penalty (default 0)",
    )
    fit.add_argument(
        "--gamma2",
        type=_number(float, "a number"),
        default=0.0,
        metavar="G",
        help="weight of the curvature penalty (default 0)",
    )
    fit.add_argument(
        "--method",
        choices=METHODS,
        default="mcmc",
        help="the fit to compare with ordinary least squares (default mcmc)",
    )
    fit.add_argument(
        "--threshold",
        type=_number(float, "a number", above_zero=True),
        default=PolynomialMDLRegressor().outlier_threshold,
        metavar="T",
        help="points farther than T residual scales from the fit are outliers (default %(default)g)",
    )
    fit.add_argument(
        "--seed",
        type=_seed,
        default=PolynomialMDLRegressor().random_state,
        metavar="N",
        help="seed of the search's random numbers: the same seed gives the same fit (default %(default)s)",
    )
    fit.add_argument(
        "--sep",
        type=_separator,
        metavar="CHAR",
        help="column separator (default: comma, semicolon or tab, whichever the first line uses)",
    )
    fit.add_argument(
        "--dropna",
        action="store_true",
        help="skip rows with an empty or NA cell in a chosen column instead of stopping there",
    )
    fit.add_argument(
        "--t-units",
        action="store_true",
        help="list the coefficients in the inputs mapped to [-1, 1] (t) instead of the data's own units",
    )
    fit.add_argument("--plot", type=Path, metavar="OUT.png", help="draw the data and the fits here")
    fit.add_argument(
        "--output",
        type=_file_argument,
        metavar="OUT.csv",
        help="write the chosen columns with each row's number, fitted value, residual, residual in "
        "scale units and inlier flag (1 or 0) here; - writes them to standard output and the report "
        "to standard error",
    )
    fit.add_argument(
        "--keep",
        nargs="+",
        type=_column_name,
        default=[],
        metavar="COL",
        help="copy these columns' cells, as text, into the --output table after the row numbers (identifiers, say)",
    )
    return parser


def _check_arguments(args: argparse.Namespace) -> None:
    """Refuse, before any work, arguments that contradict each other or outputs that cannot be written."""
    if "auto" in args.degree and len(args.degree) > 1:
        raise CommandError("--degree auto stands alone: it chooses every degree")
    if len(args.degree) not in (1, len(args.x)):
        raise CommandError(f"--degree takes one degree or {len(args.x)}, one per --x column")
    if args.max_degree is not None and args.degree != ["auto"]:
        raise CommandError("--max-degree bounds the degrees that --degree auto tries; it needs --degree auto")
    repeated = [name for name, count in Counter(args.x).items() if count > 1]
    if repeated:
        raise CommandError(f"--x names the column {repeated[0]!r} twice")
    if args.y in args.x:
        raise CommandError(f"--y {args.y!r} is also an --x column: a column cannot be fitted against itself")
    if args.weights is not None and args.weights in [*args.x, args.y]:
        raise CommandError(
            f"--weights {args.weights!r} is also an --x or --y column; weights need a column of their own"
        )
    if args.method == "ols" and (args.gamma1 or args.gamma2):
        raise CommandError(
            "--method ols fits no penalty: leave out --gamma1 and --gamma2, or choose --method penalized or mcmc"
        )
    if args.keep and args.output is None:
        raise CommandError("--keep names columns to copy into the --output table; it needs --output")
    repeated = [name for name, count in Counter(args.keep).items() if count > 1]
    if repeated:
        raise CommandError(f"--keep names the column {repeated[0]!r} twice")
    fitted = [name for name in args.keep if name in (*args.x, args.y, args.weights)]
    if fitted:
        raise CommandError(f"--keep {fitted[0]!r} is an --x, --y or --weights column, which --output writes anyway")
    if args.plot is not None:
        check_picture_format(args.plot)
        _check_writable(args.plot, "--plot")
    if args.output not in (None, STANDARD_STREAM):
        _check_writable(args.output, "--output")
        if _is_input(args.file, args.output):
            raise CommandError(f"--output {args.output} is the input file; name another file")
        if args.plot is not None and args.output.resolve() == args.plot.resolve():
            raise CommandError(f"--output and --plot both name {args.output}")
        clashes = [name for name in (*args.x, args.y, args.weights, *args.keep) if name in OUTPUT_COLUMNS]
        if clashes:
            raise CommandError(
                f"--output adds a column named {clashes[0]!r}, which the data already has; rename that column"
            )


def _is_input(source: FileArgument, path: Path) -> bool:
    """Whether ``path`` is the file read, named or behind standard input, which writing it would destroy."""
    try:
        if source != STANDARD_STREAM:
            read = os.stat(source)
        elif sys.stdin is not None:
            read = os.fstat(sys.stdin.fileno())
        else:
            return False
        return os.path.samestat(read, os.stat(path))
    except (OSError, ValueError):  # no such file, or a standard input without a file descriptor
        return False


def _check_writable(path: Path, option: str) -> None:
    """Refuse a file that cannot be written, by trying a temporary one beside it."""
    if path.is_dir():
        raise CommandError(f"{option} {path} is a directory; name a file")
    directory = path.parent
    if not directory.is_dir():
        raise CommandError(f"cannot write {path}: there is no directory {directory}")
    try:
        if path.exists() and not os.access(path, os.W_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES))
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from exc


def _fit_file(args: argparse.Namespace) -> tuple[Dataset, list[FitReport]]:
    """Read the file the command line names and fit it, checking arguments before any work."""
    _check_arguments(args)
    title = STDIN_NAME if args.file == STANDARD_STREAM else args.file.name
    data = read_columns(args.file, args.x, args.y, title, args.sep, args.dropna, args.weights, args.keep)
    degree = args.degree[0] if len(args.degree) == 1 else args.degree
    settings: dict[str, Any] = {"random_state": args.seed, "outlier_threshold": args.threshold}
    if args.max_degree is not None:
        settings["max_degree"] = args.max_degree
    return data, fit_and_compare(data, degree, args.gamma1, args.gamma2, args.method, args.basis, **settings)


def write_table(data: Dataset, model: PolynomialMDLRegressor, path: FileArgument) -> None:
    """Write each data row's number, input columns, fit, residual, residual in scale units and
    inlier flag (1 or 0) to the CSV file ``path``, or to stdout for "-", each number in the
    shortest form that reads back as the same double."""
    if path == STANDARD_STREAM:
        with _writing_stdout() as stream:
            _write_csv(stream, data, model)
        return
    try:
        with open(path, "w", newline="") as stream:
            _write_csv(stream, data, model)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from exc


def _write_csv(stream: TextIO, data: Dataset, model: PolynomialMDLRegressor) -> None:
    fitted = model.predict(data.inputs)
    residual = data.target - fitted
    with np.errstate(divide="ignore", invalid="ignore"):  # a scale of 0: an exact fit
        scaled = np.where(residual == 0.0, 0.0, residual / model.scale_)
    numbers = [*data.inputs.T, data.target]
    names = ["row", *data.kept, *data.input_names, data.target_name]
    if data.weights is not None:
        numbers.append(data.weights)
        names.append(str(data.weights_name))
    numbers += [fitted, residual, scaled, model.inlier_mask_.astype(np.int64)]
    names += ["fitted", "residual", "scaled_residual", "inlier"]
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(names)
    for start in range(0, len(fitted), BATCH_LINES):
        stop = start + BATCH_LINES
        # NumPy's text of a float64 is the shortest that reads back as the same number.
        cells = [column[start:stop].astype(str).tolist() for column in (data.rows, *numbers)]
        cells[1:1] = [column[start:stop] for column in data.kept.values()]
        writer.writerows(zip(*cells))


@contextlib.contextmanager
def _writing_stdout() -> Iterator[TextIO]:
    """Standard output, flushed at the end, so that a failed write is reported here, not at exit.

    A broken pipe passes through, for main to end quietly; another failure is a CommandError.
    """
    try:
        yield sys.stdout
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        _discard_stdout()
        raise CommandError(f"cannot write the output: {exc.strerror}") from exc


def _discard_stdout() -> None:
    """Send what is still buffered for stdout to the null device, so that the flush at exit
    cannot fail again (and print a message of its own)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)


def _print(*lines: str) -> None:
    with _writing_stdout() as stream:
        print(*lines, sep="\n", file=stream)


def _print_to_stderr(*lines: str) -> None:
    """For the report, where stdout carries the --output table."""
    if sys.stderr is not None:
        print(*lines, sep="\n", file=sys.stderr, flush=True)


def _write_picture(data: Dataset, reports: list[FitReport], path: Path, say: Callable[..., None]) -> None:
    if draw_picture(data, reports, path):
        say(f"Wrote {path}")
    else:
        print(f"No picture: matplotlib is not installed; {INSTALL_PLOT_HINT} adds it.", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        if sys.stdout is None:  # checked first: with no output, no work is worth doing
            raise CommandError("cannot write the output: standard output is closed")
        args = build_parser().parse_args(argv)
        output = None
        if args.command == "fit":
            data, reports = _fit_file(args)
            picture, output = args.plot, args.output
        else:
            _print(DEMO_NOTE, "")
            data = demo_dataset()
            reports = fit_and_compare(data, DEMO_DEGREE, 0.0, 0.0, "mcmc")
            picture = DEMO_PICTURE
        # With the table on stdout, the report goes to stderr and leaves the table clean.
        say = _print_to_stderr if output == STANDARD_STREAM else _print
        say(format_report(data, reports, t_units=getattr(args, "t_units", False)))
        if output is not None:
            write_table(data, reports[-1].model, output)
            if output != STANDARD_STREAM:
                say(f"Wrote {output}")
        if picture is not None:
            _write_picture(data, reports, picture, say)
    except CommandError as exc:
        message = str(exc).replace("\n", " ")
        if sys.stderr is not None:
            print(f"korva: {message}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, with the status of a process that
        # SIGPIPE ended, as tools that keep its default action do.
        _discard_stdout()
        return 128 + signal.SIGPIPE
    return 0
