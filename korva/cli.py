"""The command line of ``python -m korva``.

With no arguments it fits the data set shipped in korva/data, prints a table that
compares ordinary least squares with the MDL search and draws korva-demo.png.
``python -m korva fit FILE --x COL [COL ...] --y COL --degree N`` does the same for a
CSV file of the user's.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import itertools
import math
import os
import sys
import time
import warnings
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn, TextIO

import numpy as np
from numpy.typing import NDArray

from korva.bases import BASES
from korva.estimator import METHODS, FloatArray, PolynomialMDLRegressor

# A degree as the estimator takes it: one for every input, one per input, or "auto".
Degree = int | list[int] | str

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
# Lines handed to NumPy at a time: the text held at once stays small, whatever the file's size.
BATCH_LINES = 1 << 16
# With more basis terms than this, the coefficients are listed one per line.
MAX_TERMS_ACROSS = 8


class CommandError(Exception):
    """A problem with the user's command line, files or columns, reported as one line on stderr."""


@dataclass(frozen=True)
class Dataset:
    title: str
    input_names: list[str]
    target_name: str
    inputs: FloatArray  # shape (n, d)
    target: FloatArray  # shape (n,)
    skipped_rows: int = 0  # rows with a missing value, left out on request
    target_label: str | None = None  # the y axis's label with units, when they are known


@dataclass(frozen=True)
class FitReport:
    method: str
    model: PolynomialMDLRegressor
    seconds: float


# ------------------------------------------------------------------ reading


def read_columns(
    path: Path,
    input_names: Sequence[str],
    target_name: str,
    title: str,
    sep: str | None = None,
    dropna: bool = False,
) -> Dataset:
    """Read the named numeric columns of a CSV file whose first line names the columns.

    The separator is ``sep``, or else whichever of comma, semicolon and tab splits the
    first line into the most names. With ``dropna``, rows with a missing value in a named
    column are left out; otherwise such a cell is an error naming its line and column.
    """
    wanted = [*input_names, target_name]
    try:
        # utf-8-sig drops the byte-order mark some editors write, which would
        # otherwise stick to the first column's name.
        with open(path, encoding="utf-8-sig") as stream:
            header_line = stream.readline()
            if not header_line:
                raise CommandError(f"{path} is empty")
            sep = sep or _detect_separator(header_line, path)
            positions = _column_positions(header_line, sep, wanted, path)
            table, skipped = _read_numbers(stream, sep, positions, wanted, dropna, path)
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror}") from exc
    except UnicodeDecodeError as exc:
        raise CommandError(f"{path} is not a UTF-8 text file") from exc
    except csv.Error as exc:
        raise CommandError(f"{path} is not a readable CSV file: {exc}") from exc
    if len(table) == 0:
        if skipped:
            raise CommandError(f"{path} has no complete rows: all {skipped} miss a value")
        raise CommandError(f"{path} has a header but no data rows")
    return Dataset(title, list(input_names), target_name, table[:, :-1], table[:, -1], skipped)


def _split(line: str, sep: str) -> list[str]:
    return next(csv.reader([line], delimiter=sep), [])


def _detect_separator(header_line: str, path: Path) -> str:
    """The separator that splits the header into the most names; a comma for a single column."""
    counts = {sep: len(_split(header_line, sep)) for sep in SEPARATOR_NAMES}
    most = max(counts.values())
    if most <= 1:
        return ","
    best = [sep for sep, count in counts.items() if count == most]
    if len(best) > 1:
        names = " or ".join(SEPARATOR_NAMES[sep] for sep in best)
        raise CommandError(f"cannot tell the separator of {path}: {names}; --sep says which")
    return best[0]


def _column_positions(header_line: str, sep: str, wanted: list[str], path: Path) -> list[int]:
    """Where each wanted column stands in the header, which must name every column once."""
    header = [name.strip() for name in _split(header_line, sep)]
    if not any(header):
        raise CommandError(f"{path} has no column names: its first line is blank")
    repeated = [name for name, count in Counter(header).items() if count > 1 and name]
    if repeated:
        raise CommandError(f"{path} has more than one column named {repeated[0]!r}")
    missing = [name for name in wanted if name not in header]
    if missing:
        hint = f" (read with the separator {sep!r}; --sep sets another)" if len(header) == 1 else ""
        raise CommandError(f"{path} has no column {missing[0]!r}; its columns are {', '.join(map(repr, header))}{hint}")
    return [header.index(name) for name in wanted]


def _read_numbers(
    stream: TextIO, sep: str, positions: list[int], names: list[str], dropna: bool, path: Path
) -> tuple[FloatArray, int]:
    """The numbers of the wanted columns, one row per data line, and how many rows were skipped.

    NumPy converts each batch of lines; a batch it refuses, or that holds a value
    that is not finite, is read again line by line to skip or name the bad cell.
    """
    blocks = []
    skipped = 0
    first_line = 2  # the header is line 1
    while batch := list(itertools.islice(stream, BATCH_LINES)):
        block = _convert_batch(batch, sep, positions)
        if block is None:
            block, dropped = _convert_lines(batch, first_line, sep, positions, names, dropna, path)
            skipped += dropped
        blocks.append(block)
        first_line += len(batch)
    if not blocks:
        return np.empty((0, len(positions))), 0
    return np.concatenate(blocks), skipped


def _convert_batch(lines: list[str], sep: str, positions: list[int]) -> FloatArray | None:
    """The batch's numbers, or None when a line needs a closer look."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # a batch of blank lines holds no data
            block: FloatArray = np.loadtxt(
                lines,
                dtype=np.float64,
                delimiter=sep,
                quotechar='"',
                comments=None,
                usecols=positions,
                ndmin=2,
            )
    except ValueError:
        return None
    return block if np.isfinite(block).all() else None


def _convert_lines(
    lines: list[str],
    first_line: int,
    sep: str,
    positions: list[int],
    names: list[str],
    dropna: bool,
    path: Path,
) -> tuple[FloatArray, int]:
    """Line by line: blank lines are passed over, incomplete rows skipped or refused."""
    rows = []
    skipped = 0
    reader = csv.reader(lines, delimiter=sep)
    for cells in reader:
        try:
            row = [float(cells[position]) for position in positions]
            if all(map(math.isfinite, row)):
                rows.append(row)
                continue
        except (IndexError, ValueError):
            pass
        if not any(cell.strip() for cell in cells):
            continue  # blank lines carry no data
        where = f"{path}, line {first_line + reader.line_num - 1}"
        row = [
            _cell_value(
                cells[position].strip() if position < len(cells) else "",
                f"{where}, column {name!r}",
                dropna,
            )
            for position, name in zip(positions, names)
        ]
        if any(map(math.isnan, row)):
            skipped += 1
        else:
            rows.append(row)
    return np.array(rows, dtype=np.float64).reshape(-1, len(positions)), skipped


def _cell_value(cell: str, where: str, dropna: bool) -> float:
    """The cell's finite value, or NaN for a missing one when such rows are skipped."""
    if cell.lower() in MISSING_MARKERS:
        if dropna:
            return math.nan
        shown = repr(cell) if cell else "an empty cell"
        raise CommandError(f"{where}: {shown} is not a finite number (--dropna skips such rows)")
    try:
        value = float(cell)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise CommandError(f"{where}: {cell!r} is not a finite number")
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
) -> list[FitReport]:
    """Ordinary least squares and ``method`` (unless that is least squares too).

    ``method`` is fitted first, so that least squares can take the degree it chose
    when ``degree`` is "auto": the two then differ only in how they treat outliers.
    """
    reports = [_timed_fit(data, degree, basis, gamma1, gamma2, method)]
    if method != "ols":
        chosen = reports[0].model.degree_
        # Least squares takes no penalties: the comparison is the plain fit.
        reports.insert(0, _timed_fit(data, chosen, basis, 0.0, 0.0, "ols"))
    return reports


def _timed_fit(data: Dataset, degree: Degree, basis: str, gamma1: float, gamma2: float, method: str) -> FitReport:
    model = PolynomialMDLRegressor(degree=degree, basis=basis, gamma1=gamma1, gamma2=gamma2, method=method)
    start = time.perf_counter()
    try:
        # The estimator refuses data too extreme for double precision with a
        # ValueError; NumPy's warnings on the way would add lines to stderr.
        with np.errstate(all="ignore"):
            model.fit(data.inputs, data.target)
    except ValueError as exc:
        raise CommandError(f"the {method} fit failed: {exc}") from exc
    except MemoryError as exc:
        size = f"degree {degree} to {len(data.target)} points"
        raise CommandError(f"not enough memory for the {method} fit of {size}") from exc
    return FitReport(method, model, time.perf_counter() - start)


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


def format_report(data: Dataset, reports: list[FitReport]) -> str:
    """The comparison table, the coefficients and what the columns mean."""
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
    coefficient_rows = [["coefficients of", *term_names(robust.model.multi_indices_)]]
    coefficient_rows += [[r.method, *(f"{c:.4g}" for c in r.model.coef_)] for r in reports]
    if len(robust.model.coef_) > MAX_TERMS_ACROSS:  # too wide for a line: one term per line
        coefficient_rows = [list(column) for column in zip(*coefficient_rows)]
        coefficient_rows[0][0] = "term"

    model = robust.model
    skipped = f" ({data.skipped_rows} incomplete rows left out)" if data.skipped_rows else ""
    mappings = [
        f"{variable} = {name} mapped from [{low:g}, {high:g}] to [-1, 1]"
        for variable, name, low, high in zip(
            unit_variables(len(data.input_names)), data.input_names, model.x_min_, model.x_max_
        )
    ]
    return "\n".join(
        [
            (
                f"{data.title}: {data.target_name} against {', '.join(data.input_names)}, "
                f"{len(data.target)} points{skipped}, degree {_degree_text(model)}"
            ),
            "",
            *_aligned(rows),
            "",
            *_aligned(coefficient_rows),
            "",
            (
                f"Inliers: {int(inliers.sum())} of {len(inliers)} points lie within "
                f"{model.outlier_threshold:g} x {model.scale_:.4g} (the residual scale) of the "
                f"{robust.method} fit; the RMS error is taken over them."
            ),
            _outliers_text(data, inliers),
            *mappings,
        ]
    )


def _degree_text(model: PolynomialMDLRegressor) -> str:
    """The fitted degree, and that it was chosen when the user asked for "auto"."""
    degree = " ".join(map(str, model.degree_)) if isinstance(model.degree_, list) else model.degree_
    return f"{degree} (chosen by description length)" if model.degree == "auto" else f"{degree}"


def _outliers_text(data: Dataset, inliers: NDArray[np.bool_]) -> str:
    """The outliers by their input value for one input, by their data row for several."""
    flagged = np.flatnonzero(~inliers)
    if flagged.size == 0:
        return "Outliers: none"
    if data.inputs.shape[1] == 1:
        what = f"at {data.input_names[0]}"
        values = [f"{v:g}" for v in data.inputs[flagged[:MAX_OUTLIERS_LISTED], 0]]
    else:
        what = "in data rows"
        values = [str(row + 1) for row in flagged[:MAX_OUTLIERS_LISTED]]
    more = f" and {flagged.size - MAX_OUTLIERS_LISTED} more" if flagged.size > MAX_OUTLIERS_LISTED else ""
    return f"Outliers ({flagged.size}) {what}: {', '.join(values)}{more}"


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
        axes.plot(grid, report.model.predict(grid), linewidth=2, label=METHOD_LABELS[report.method])
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


def _non_negative(kind: type[int] | type[float], description: str) -> Callable[[str], float]:
    """An argparse type: a finite number of the given kind, at least 0."""

    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < 0:
            raise argparse.ArgumentTypeError(f"{text!r} is not {description} of at least 0")
        return value

    return parse


def _degree(text: str) -> int | str:
    """An argparse type: "auto", or a whole number of at least 0."""
    if text == "auto":
        return text
    return int(_non_negative(int, 'a whole number (or "auto")')(text))


def _column_name(text: str) -> str:
    """An argparse type: a column name, compared with the header's names stripped alike."""
    name = text.strip()
    if not name:
        raise argparse.ArgumentTypeError("a column name cannot be blank")
    return name


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
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    fit = commands.add_parser(
        "fit",
        help="fit a polynomial to columns of a CSV file",
        usage="%(prog)s FILE --x COL [COL ...] --y COL --degree N [N ...] | auto [options]",
    )
    fit.add_argument("file", type=Path, metavar="FILE", help="CSV file whose first line names the columns")
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
        "--basis",
        choices=BASES,
        default="total",
        help="with several inputs: all terms up to the total degree (default), "
        "or the tensor product of each input's powers",
    )
    fit.add_argument(
        "--gamma1",
        type=_non_negative(float, "a number"),
        default=0.0,
        metavar="G",
        help="weight of the slope penalty (default 0)",
    )
    fit.add_argument(
        "--gamma2",
        type=_non_negative(float, "a number"),
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
    fit.add_argument("--plot", type=Path, metavar="OUT.png", help="draw the data and the fits here")
    return parser


def _fit_file(args: argparse.Namespace) -> tuple[Dataset, list[FitReport]]:
    """Read the file the command line names and fit it, checking arguments before any work."""
    if "auto" in args.degree and len(args.degree) > 1:
        raise CommandError("--degree auto stands alone: it chooses every degree")
    if len(args.degree) not in (1, len(args.x)):
        raise CommandError(f"--degree takes one degree or {len(args.x)}, one per --x column")
    if args.plot is not None:
        check_picture_format(args.plot)
    data = read_columns(args.file, args.x, args.y, args.file.name, args.sep, args.dropna)
    degree = args.degree[0] if len(args.degree) == 1 else args.degree
    return data, fit_and_compare(data, degree, args.gamma1, args.gamma2, args.method, args.basis)


def _print(*lines: str) -> None:
    """Print to stdout and flush, so that a failed write is reported here, not at exit."""
    try:
        print(*lines, sep="\n", flush=True)
    except OSError as exc:
        # What is still buffered goes to the null device, so that the flush at
        # exit cannot fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if isinstance(exc, BrokenPipeError):
            raise
        raise CommandError(f"cannot write the output: {exc.strerror}") from exc


def _write_picture(data: Dataset, reports: list[FitReport], path: Path) -> None:
    if draw_picture(data, reports, path):
        _print(f"Wrote {path}")
    else:
        print(f"No picture: matplotlib is not installed; {INSTALL_PLOT_HINT} adds it.", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        if args.command == "fit":
            data, reports = _fit_file(args)
            picture = args.plot
        else:
            _print(DEMO_NOTE, "")
            data = demo_dataset()
            reports = fit_and_compare(data, DEMO_DEGREE, 0.0, 0.0, "mcmc")
            picture = DEMO_PICTURE
        _print(format_report(data, reports))
        if picture is not None:
            _write_picture(data, reports, picture)
    except CommandError as exc:
        message = str(exc).replace("\n", " ")
        print(f"korva: {message}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 1  # the reader went away (`| head`): stop quietly
    return 0
