"""The command line of ``python -m korva``.

With no arguments it fits the data set shipped in korva/data, prints a table that
compares ordinary least squares with the MDL search and draws korva-demo.png.
``python -m korva fit FILE --x COL [COL ...] --y COL --degree N`` does the same for a
CSV file of the user's.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from korva.estimator import FloatArray, PolynomialMDLRegressor

if TYPE_CHECKING:  # matplotlib is optional at run time
    from matplotlib.axes import Axes

DEMO_FILE = "belgian_phone_calls.csv"
DEMO_PICTURE = Path("korva-demo.png")
DEMO_TITLE = "International phone calls from Belgium, 1950-1973"
DEMO_DEGREE = 2
DEMO_NOTE = (
    "Demo: yearly international phone calls from Belgium (tens of millions). In 1964-1969\n"
    "another recording system counted minutes instead of calls: a handful of gross outliers."
)
INSTALL_PLOT_HINT = "pip install 'korva[plot]'"


class CommandError(Exception):
    """A problem with the user's files or columns, reported as one line on stderr."""


@dataclass(frozen=True)
class Dataset:
    title: str
    input_names: list[str]
    target_name: str
    inputs: FloatArray  # shape (n, d)
    target: FloatArray  # shape (n,)


@dataclass(frozen=True)
class FitReport:
    method: str
    model: PolynomialMDLRegressor
    seconds: float


# ------------------------------------------------------------------ reading


def read_columns(path: Path, input_names: Sequence[str], target_name: str, title: str) -> Dataset:
    """Read the named numeric columns of a CSV file whose first row names the columns."""
    try:
        with open(path, newline="", encoding="utf-8") as stream:
            rows = list(csv.reader(stream))
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror}") from exc
    except UnicodeDecodeError as exc:
        raise CommandError(f"{path} is not a UTF-8 text file") from exc
    except csv.Error as exc:
        raise CommandError(f"{path} is not a readable CSV file: {exc}") from exc
    if not rows:
        raise CommandError(f"{path} is empty")

    header = [name.strip() for name in rows[0]]
    wanted = [*input_names, target_name]
    missing = [name for name in wanted if name not in header]
    if missing:
        raise CommandError(
            f"{path} has no column {missing[0]!r}; its columns are {', '.join(map(repr, header))}"
        )
    positions = [header.index(name) for name in wanted]

    values = []
    for line_number, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue  # blank lines carry no data
        cells = [row[position].strip() if position < len(row) else "" for position in positions]
        values.append(
            [
                _finite_number(cell, f"{path}, line {line_number}, column {name!r}")
                for cell, name in zip(cells, wanted)
            ]
        )
    if not values:
        raise CommandError(f"{path} has a header but no data rows")
    table = np.array(values)
    return Dataset(title, list(input_names), target_name, table[:, :-1], table[:, -1])


def _finite_number(cell: str, where: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        shown = repr(cell) if cell else "an empty cell"
        raise CommandError(f"{where}: {shown} is not a finite number")
    return value


def demo_dataset() -> Dataset:
    with resources.as_file(resources.files("korva") / "data" / DEMO_FILE) as path:
        return read_columns(path, ["year"], "calls", DEMO_TITLE)


# ------------------------------------------------------------------ fitting


def fit_and_compare(
    data: Dataset, degree: int | list[int], gamma1: float, gamma2: float, method: str
) -> list[FitReport]:
    """Ordinary least squares, followed by ``method`` unless that is least squares too."""
    reports = []
    for name in ["ols"] if method == "ols" else ["ols", method]:
        model = PolynomialMDLRegressor(degree=degree, gamma1=gamma1, gamma2=gamma2, method=name)
        start = time.perf_counter()
        model.fit(data.inputs, data.target)
        reports.append(FitReport(name, model, time.perf_counter() - start))
    return reports


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
                f"{math.sqrt(np.mean(residuals**2)):.4g}" if residuals.size else "-",
                f"{1000 * report.seconds:.1f}",
            ]
        )
    coefficient_rows = [["coefficients of", *term_names(robust.model.multi_indices_)]]
    coefficient_rows += [[r.method, *(f"{c:.4g}" for c in r.model.coef_)] for r in reports]

    model = robust.model
    mappings = [
        f"{variable} = {name} mapped from [{low:g}, {high:g}] to [-1, 1]"
        for variable, name, low, high in zip(
            unit_variables(len(data.input_names)), data.input_names, model.x_min_, model.x_max_
        )
    ]
    return "\n".join(
        [
            f"{data.title}: {data.target_name} against {', '.join(data.input_names)}, "
            f"{len(data.target)} points, degree {model.degree}",
            "",
            *_aligned(rows),
            "",
            *_aligned(coefficient_rows),
            "",
            f"Inliers: {int(inliers.sum())} of {len(inliers)} points lie within "
            f"{model.tolerance_:.4g} of the {robust.method} fit; the RMS error is taken over them.",
            *mappings,
        ]
    )


def _aligned(rows: list[list[str]]) -> list[str]:
    """Rows as text: the first column left-aligned, the others right-aligned."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return [
        "  ".join(
            cell.ljust(width) if i == 0 else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(row, widths))
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
    return True


def _draw_curves(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """One input: the data, the robust fit's inliers and outliers marked, and each fitted curve."""
    x, y = data.inputs[:, 0], data.target
    inliers = reports[-1].model.inlier_mask_
    axes.scatter(x[inliers], y[inliers], color="black", s=22, label="inliers", zorder=3)
    axes.scatter(
        x[~inliers], y[~inliers], color="crimson", marker="x", s=40, label="outliers", zorder=3
    )
    grid = np.linspace(x.min(), x.max(), 400)
    for report in reports:
        axes.plot(grid, report.model.predict(grid), linewidth=2, label=f"{report.method} fit")
    axes.set_xlabel(data.input_names[0])
    axes.set_ylabel(data.target_name)


def _draw_fitted_against_observed(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """Several inputs: each fit's values against the observed ones, outliers circled."""
    y = data.target
    span = [y.min(), y.max()]
    axes.plot(span, span, color="grey", linewidth=1, label="fitted = observed")
    for report in reports:
        axes.scatter(y, report.model.predict(data.inputs), s=16, label=f"{report.method} fit")
    robust = reports[-1].model
    outliers = ~robust.inlier_mask_
    axes.scatter(y[outliers], robust.predict(data.inputs[outliers]), facecolors="none",
                 edgecolors="crimson", s=70, label=f"outliers of the {reports[-1].method} fit")
    axes.set_xlabel(f"observed {data.target_name}")
    axes.set_ylabel(f"fitted {data.target_name}")


# ------------------------------------------------------------------ command line


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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korva",
        description="Robust polynomial fits judged by a hit-rate MDL score. "
        "Without a command, fits the built-in demo data set and writes korva-demo.png.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    fit = commands.add_parser("fit", help="fit a polynomial to columns of a CSV file")
    fit.add_argument("file", type=Path, help="CSV file whose first row names the columns")
    fit.add_argument("--x", nargs="+", required=True, metavar="COL", help="input column(s)")
    fit.add_argument("--y", required=True, metavar="COL", help="response column")
    fit.add_argument(
        "--degree", nargs="+", required=True, type=_non_negative(int, "a whole number"),
        metavar="N", help="degree, or one degree per input column",
    )
    fit.add_argument(
        "--gamma1", type=_non_negative(float, "a number"), default=0.0, metavar="G",
        help="weight of the slope penalty (default 0)",
    )
    fit.add_argument(
        "--gamma2", type=_non_negative(float, "a number"), default=0.0, metavar="G",
        help="weight of the curvature penalty (default 0)",
    )
    fit.add_argument(
        "--method", choices=["mcmc", "penalized", "ols"], default="mcmc",
        help="the fit to compare with ordinary least squares (default mcmc)",
    )
    fit.add_argument("--plot", type=Path, metavar="OUT.png", help="draw the data and the fits here")
    return parser


def _write_picture(data: Dataset, reports: list[FitReport], path: Path) -> None:
    if draw_picture(data, reports, path):
        print(f"Wrote {path}")
    else:
        print(f"No picture: matplotlib is not installed; {INSTALL_PLOT_HINT} adds it.",
              file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "fit":
            if len(args.degree) not in (1, len(args.x)):
                raise CommandError(
                    f"--degree takes one degree or {len(args.x)}, one per --x column"
                )
            data = read_columns(args.file, args.x, args.y, args.file.name)
            degree = args.degree[0] if len(args.degree) == 1 else args.degree
            reports = fit_and_compare(data, degree, args.gamma1, args.gamma2, args.method)
            picture = args.plot
        else:
            print(DEMO_NOTE, end="\n\n")
            data = demo_dataset()
            reports = fit_and_compare(data, DEMO_DEGREE, 0.0, 0.0, "mcmc")
            picture = DEMO_PICTURE
        print(format_report(data, reports))
        if picture is not None:
            _write_picture(data, reports, picture)
        sys.stdout.flush()
    except CommandError as exc:
        print(f"korva: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly. What is still buffered
        # goes to the null device, so that the flush at exit cannot fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
