"""Reading the numeric columns of a CSV file for the command line, record by record.

A file is read a chunk at a time and its records handed to NumPy in batches, so that memory
follows the numbers read, not the text passed over; a record that NumPy refuses is read again
cell by cell to skip it or to name its line and column.
"""

from __future__ import annotations

import codecs
import csv
import dataclasses
import functools
import io
import itertools
import math
import re
import sys
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, TextIO, cast

import numpy as np
from numpy.typing import NDArray

from korva.estimator import FloatArray

# A file named on the command line, or "-" for standard input or output.
FileArgument = Path | Literal["-"]

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


class CommandError(Exception):
    """A problem with the user's command line, files or columns, reported as one line on stderr."""


@dataclass(frozen=True)
class Dataset:
    """The columns read for a fit, row by row, and where each row stands in the file."""

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
    sigma: FloatArray | None = None  # shape (n,), each row's error when a column gives it
    sigma_name: str | None = None


def read_columns(
    path: FileArgument,
    input_names: Sequence[str],
    target_name: str,
    title: str,
    sep: str | None = None,
    dropna: bool = False,
    weights_name: str | None = None,
    keep: Sequence[str] = (),
    sigma_name: str | None = None,
) -> Dataset:
    """Read the named numeric columns of a CSV file whose first line names the columns.

    The separator is ``sep``, or else whichever of comma, semicolon and tab splits the
    first line into the most names. With ``dropna``, rows with a missing value in a named
    column are left out; otherwise such a cell is an error naming its line and column.
    Only the named columns are kept: the text of the others is read past, however long.
    The cells of the columns in ``keep`` are kept as text, whatever they hold, for the rows
    whose numbers are kept. ``path`` "-" reads standard input. A weight must be 0 or more,
    an error sigma above 0.
    """
    name = STDIN_NAME if path == STANDARD_STREAM else str(path)
    optional = [column for column in (weights_name, sigma_name) if column]
    wanted = [*input_names, target_name, *optional]
    bounds = []
    if weights_name:
        bounds.append(_Bound(wanted.index(weights_name), False, "is negative; a weight is 0 or more"))
    if sigma_name:
        bounds.append(_Bound(wanted.index(sigma_name), True, "is not above 0; an error sigma is a standard deviation"))
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
                tuple(bounds),
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
        weights=table[:, n_inputs + 1] if weights_name else None,
        weights_name=weights_name,
        kept=dict(zip(keep, map(list, zip(*kept_rows)))),
        sigma=table[:, -1] if sigma_name else None,
        sigma_name=sigma_name,
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
class _Bound:
    """A wanted column whose values must not fall below 0 (``strict``: must lie above it)."""

    column: int
    strict: bool
    why: str  # what the message says of a value out of bounds

    def refuses(self, value: float) -> bool:
        return value <= 0.0 if self.strict else value < 0.0

    def refuses_any(self, values: FloatArray) -> bool:
        return bool((values <= 0.0).any() if self.strict else (values < 0.0).any())


@dataclass(frozen=True)
class _Layout:
    """What to read from a file's records and how."""

    name: str  # the file's name in messages
    sep: str
    n_columns: int  # the columns the header names
    positions: list[int]  # where the wanted columns stand in a record
    names: list[str]  # the wanted columns' names
    dropna: bool  # skip rows with a missing value instead of refusing them
    bounds: tuple[_Bound, ...]  # the columns of weights (0 or more) and of errors (above 0)
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
            f"{where} has {n_cells} cells but the header names {counted(n_columns, 'column')} "
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
    return None if any(bound.refuses_any(block[:, bound.column]) for bound in layout.bounds) else block


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
        for bound in layout.bounds:
            if bound.refuses(row[bound.column]):
                shown = _shortened(cells[bound.column].strip(), SHOWN_CELL_CHARS)
                raise CommandError(f"{where}, column {layout.names[bound.column]!r}: {shown!r} {bound.why}")
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


def counted(count: int, noun: str) -> str:
    """The count and the noun, plural unless the count is 1: "1 row", "2 rows", "1,500 rows"."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"
