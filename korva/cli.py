"""The command line of ``python -m korva``.

With no arguments it fits the data set shipped in korva/data, prints a table that
compares ordinary least squares with the MDL search and draws korva-demo.png (and its
diagnostics, korva-demo_diagnostics.png).
``python -m korva fit FILE --x COL [COL ...] --y COL --degree N`` does the same for a
CSV file of the user's.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import dataclasses
import errno
import importlib
import math
import os
import signal
import sys
import tempfile
import threading
import time
import warnings
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from pathlib import Path
from typing import Any, NoReturn, TextIO

import numpy as np

from korva import __version__
from korva._reading import (
    BATCH_LINES,
    STANDARD_STREAM,
    STDIN_NAME,
    CommandError,
    Dataset,
    FileArgument,
    counted,
    read_columns,
)
from korva._report import (
    Degree,
    FitReport,
    check_picture_format,
    degree_words,
    diagnostics_path,
    draw_picture,
    format_report,
)
from korva.bases import BASES
from korva.diagnostics import INSTALL_DIAGNOSTICS_HINT
from korva.estimator import METHODS, FitWarning, PolynomialMDLRegressor

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
# A fit that runs longer than this many seconds says so on a terminal.
PROGRESS_DELAY = 1.0
# The columns that --output adds to the input columns; the last five are korva.Diagnostics'.
OUTPUT_COLUMNS = (
    *("row", "fitted", "residual", "scaled_residual", "inlier"),
    *("std_residual", "weight", "leverage", "distance", "kind"),
)


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
    # The command line predicts only at the rows it read and between them: no word of a row of
    # weight 0 beyond the rows fitted.
    model = PolynomialMDLRegressor(method=method, extrapolation="ignore", **parameters)
    fit_options = {} if data.weights is None else {"sample_weight": data.weights}
    if data.sigma is not None:
        fit_options["sigma"] = data.sigma
    start = time.perf_counter()
    try:
        # The estimator refuses data too extreme for double precision with a
        # ValueError; NumPy's warnings on the way would add lines to stderr.
        with np.errstate(all="ignore"), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", FitWarning)
            with _progress(
                f"fitting {method}, degree {degree_words(parameters['degree'])}, to {counted(len(data.target), 'row')}"
            ):
                model.fit(data.inputs, data.target, **fit_options)
    except ValueError as exc:
        raise CommandError(f"the {method} fit failed: {exc}") from exc
    except MemoryError as exc:
        size = f"degree {degree_words(parameters['degree'])} to {counted(len(data.target), 'point')}"
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
        "Without a command, fits the built-in demo data set and writes korva-demo.png and korva-demo_diagnostics.png.",
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
        "--sigma",
        type=_column_name,
        metavar="COL",
        help="column of each row's error, the standard deviation of its y (default: one unknown spread for all)",
    )
    fit.add_argument(
        "--absolute-sigma",
        action="store_true",
        help="take the --sigma errors as known rather than relative (no common factor is estimated)",
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
    fit.add_argument(
        "--plot",
        type=Path,
        metavar="OUT.png",
        help="draw the data and the fits here, and the robust fit's diagnostics beside it (OUT_diagnostics.png)",
    )
    fit.add_argument(
        "--output",
        type=_file_argument,
        metavar="OUT.csv",
        help="write the chosen columns with each row's number, fitted value, residual, residual in "
        "scale units, inlier flag (1 or 0), standardised residual, weight and leverage in the fit, "
        "robust distance of its inputs and class (regular, vertical outlier, good or bad leverage) "
        "here; - writes them to standard output and the report to standard error",
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
    if args.sigma is not None and args.sigma in [*args.x, args.y, args.weights]:
        raise CommandError(
            f"--sigma {args.sigma!r} is also an --x, --y or --weights column; errors need a column of their own"
        )
    if args.absolute_sigma and args.sigma is None:
        raise CommandError("--absolute-sigma says the --sigma errors are known; it needs --sigma")
    if args.method == "ols" and (args.gamma1 or args.gamma2):
        raise CommandError(
            "--method ols fits no penalty: leave out --gamma1 and --gamma2, or choose --method penalized or mcmc"
        )
    if args.keep and args.output is None:
        raise CommandError("--keep names columns to copy into the --output table; it needs --output")
    repeated = [name for name, count in Counter(args.keep).items() if count > 1]
    if repeated:
        raise CommandError(f"--keep names the column {repeated[0]!r} twice")
    fitted = [name for name in args.keep if name in (*args.x, args.y, args.weights, args.sigma)]
    if fitted:
        raise CommandError(
            f"--keep {fitted[0]!r} is an --x, --y, --weights or --sigma column, which --output writes anyway"
        )
    if args.plot is not None:
        check_picture_format(args.plot)
        _check_writable(args.plot, "--plot")
    if args.output not in (None, STANDARD_STREAM):
        _check_writable(args.output, "--output")
        if _is_input(args.file, args.output):
            raise CommandError(f"--output {args.output} is the input file; name another file")
        if args.plot is not None and args.output.resolve() in (
            args.plot.resolve(),
            diagnostics_path(args.plot).resolve(),
        ):
            raise CommandError(f"--output {args.output} is a picture that --plot draws; name another file")
        clashes = [name for name in (*args.x, args.y, args.weights, args.sigma, *args.keep) if name in OUTPUT_COLUMNS]
        if clashes:
            raise CommandError(
                f"--output adds a column named {clashes[0]!r}, which the data already has; rename that column"
            )
    if args.output is not None and len(args.x) > 1:
        try:
            importlib.import_module("sklearn.covariance")
        except ImportError as exc:
            raise CommandError(
                "--output with several --x columns writes the rows' robust distances, which take the minimum "
                f"covariance determinant from scikit-learn: install it with {INSTALL_DIAGNOSTICS_HINT}"
            ) from exc


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
    data = read_columns(args.file, args.x, args.y, title, args.sep, args.dropna, args.weights, args.keep, args.sigma)
    degree = args.degree[0] if len(args.degree) == 1 else args.degree
    settings: dict[str, Any] = {
        "random_state": args.seed,
        "outlier_threshold": args.threshold,
        "absolute_sigma": args.absolute_sigma,
    }
    if args.max_degree is not None:
        settings["max_degree"] = args.max_degree
    return data, fit_and_compare(data, degree, args.gamma1, args.gamma2, args.method, args.basis, **settings)


def write_table(data: Dataset, model: PolynomialMDLRegressor, path: FileArgument) -> None:
    """Write each data row's number, input columns, fit, residual, residual in scale units,
    inlier flag (1 or 0) and diagnostics (standardised residual, weight, leverage, robust distance
    and class in the outlier map) to the CSV file ``path``, or to stdout for "-", each number in
    the shortest form that reads back as the same double."""
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
    found = model.diagnostics(data.inputs, data.target, sigma=data.sigma)
    fitted, residual = found.fitted, found.residual
    scale = model.scale_ if data.sigma is None else model.scale_ * data.sigma
    with np.errstate(divide="ignore", invalid="ignore"):  # a scale of 0: an exact fit
        scaled = np.where(residual == 0.0, 0.0, residual / scale)
    numbers = [*data.inputs.T, data.target]
    names = ["row", *data.kept, *data.input_names, data.target_name]
    for column, name in ((data.weights, data.weights_name), (data.sigma, data.sigma_name)):
        if column is not None:
            numbers.append(column)
            names.append(str(name))
    numbers += [fitted, residual, scaled, model.inlier_mask_.astype(np.int64)]
    numbers += [found.std_residual, found.weight, found.leverage, found.distance, found.kind]
    names += OUTPUT_COLUMNS[1:]
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
    written, missing = draw_picture(data, reports, path)
    if written:
        say(f"Wrote {' and '.join(map(str, written))}")
    if missing is not None:
        print(missing, file=sys.stderr)


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
