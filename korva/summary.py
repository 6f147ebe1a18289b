"""The coefficient tables of a fit and their report: :class:`Summary`, the report behind
``PolynomialMDLRegressor.summary()``, the intervals of coefficients and the names of the terms."""

from __future__ import annotations

import math
import re
import textwrap
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from korva.distributions import interval_factor, student_t_cdf
from korva.robust import SETTLED_SHARE

FloatArray = NDArray[np.float64]

# The report's lines are at most this long.
LINE_WIDTH = 100
# Flagged rows listed by name, at most.
FLAGGED_ROWS_LISTED = 30
# The printed coefficients move the curve by at most this share of its standard error.
PRINTED_SHARE = 0.01
# Coefficients are printed with at least and at most this many significant digits.
MIN_DIGITS, MAX_DIGITS = 6, 17


def input_names(n_inputs: int, symbol: str = "x") -> list[str]:
    """Default input names: ``x`` for one input, ``x1``, ``x2``, ... for several."""
    return [symbol] if n_inputs == 1 else [f"{symbol}{j}" for j in range(1, n_inputs + 1)]


def term_names(indices: Sequence[Sequence[int]], names: Sequence[str]) -> list[str]:
    """Display names of the terms: ``1``, ``x``, ``x^2``, ``x1 x2``, ``x1^2 x2``, ..."""
    return [" ".join(name if e == 1 else f"{name}^{e}" for name, e in zip(names, term) if e) or "1" for term in indices]


def exact_text(value: float) -> str:
    """The shortest of the numbers of 6 to 17 significant digits that reads back as ``value``."""
    for digits in range(MIN_DIGITS, MAX_DIGITS + 1):
        text = f"{value:.{digits}g}"
        if float(text) == value or not math.isfinite(value):
            return text
    return f"{value:.17g}"


def coefficient_digits(reach: float, precision: float) -> int:
    """The significant digits of coefficients whose terms add up to at most ``reach`` over the
    training range (sum |c_j| max |term_j|), so that printed they move the curve by at most
    PRINTED_SHARE of ``precision``, its standard error: a coefficient printed to p digits is
    off by at most 5 10^-p of itself, the curve by that times ``reach``. All 17 where the
    precision is not a positive number (an exact fit)."""
    if not (math.isfinite(reach) and reach > 0.0):
        return MIN_DIGITS
    if not (math.isfinite(precision) and precision > 0.0):
        return MAX_DIGITS
    needed = math.ceil(math.log10(5.0 * reach / (PRINTED_SHARE * precision)))
    return min(max(needed, MIN_DIGITS), MAX_DIGITS)


@dataclass(frozen=True)
class InputMapping:
    """How an input enters the fit: its name, the variable in [-1, 1] it is mapped to, and its
    training range, t = (x - middle) / half_span."""

    name: str
    variable: str
    x_min: float
    x_max: float

    @property
    def middle(self) -> float:
        return self.x_min / 2.0 + self.x_max / 2.0

    @property
    def half_span(self) -> float:
        return self.x_max / 2.0 - self.x_min / 2.0

    def __str__(self) -> str:
        low, high = exact_text(self.x_min), exact_text(self.x_max)
        if not self.x_min < self.x_max:
            return f"{self.variable} = 0: {self.name} is constant ({low} in every row)"
        middle = self.middle
        sign = "-" if middle > 0 else "+"
        shifted = self.name if middle == 0.0 else f"({self.name} {sign} {exact_text(abs(middle))})"
        return (
            f"{self.variable} = {shifted} / {exact_text(self.half_span)}, "
            f"{self.name} mapped from [{low}, {high}] to [-1, 1]"
        )


@dataclass(frozen=True)
class CoefficientTable:
    """Coefficients, their standard errors and interval statistics, in one set of units: the
    terms are the monomials ``indices`` in ``variables``; ``digits`` is the number of
    significant digits the text shows of the coefficients."""

    units: str  # the name of the variables: "x" or "t"
    variables: list[str]
    indices: list[list[int]]
    coef: FloatArray
    std_err: FloatArray
    df: float  # degrees of freedom of the t quantiles
    alpha: float
    digits: int = MIN_DIGITS

    @property
    def terms(self) -> list[str]:
        return term_names(self.indices, self.variables)

    @property
    def title(self) -> str:
        return f"coefficients in {self.units} ({100.0 * (1.0 - self.alpha):g} % intervals)"

    @property
    def statistic(self) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio: FloatArray = self.coef / self.std_err
        return ratio

    @property
    def p_value(self) -> FloatArray:
        """Two-sided p-values of coefficient = 0 from the t distribution; NaN where undefined."""
        return np.array(
            [
                2.0 * student_t_cdf(-abs(t), self.df) if not math.isnan(t) and self.df > 0 else math.nan
                for t in self.statistic
            ]
        )

    @property
    def interval(self) -> FloatArray:
        return confidence_interval(self.coef, self.std_err, self.df, self.alpha)

    def cells(self) -> list[list[str]]:
        """The rows of the table as text: the term, then Summary.COLUMNS. The coefficient has the
        table's digits; the interval's ends enough of them to show its width to three digits."""
        rows = []
        for term, values in zip(self.terms, _table_values(self).tolist()):
            coef, std_err, statistic, p_value, lower, upper = values
            half = (upper - lower) / 2.0
            ends = MIN_DIGITS
            if math.isfinite(half) and half > 0.0:
                ends = min(max(math.ceil(math.log10(max(abs(lower), abs(upper)) / half)) + 3, MIN_DIGITS), self.digits)
            rows.append(
                [
                    term,
                    f"{coef:.{self.digits}g}",
                    f"{std_err:.6g}",
                    f"{statistic:.6g}",
                    f"{p_value:.6g}",
                    f"{lower:.{ends}g}",
                    f"{upper:.{ends}g}",
                ]
            )
        return rows


def confidence_interval(center: FloatArray, std_err: FloatArray, df: float, alpha: float) -> FloatArray:
    """Rows (lower, upper) of the two-sided 1 - alpha intervals center +- t_{1 - alpha/2}(df) std_err."""
    check_alpha(alpha)
    half = interval_factor(alpha, df) * std_err
    return np.column_stack([center - half, center + half])


def check_alpha(alpha: object) -> None:
    if (
        isinstance(alpha, bool)
        or not isinstance(alpha, int | float | np.floating | np.integer)
        or not 0.0 < alpha < 1.0
    ):
        raise ValueError(f"alpha must be a number strictly between 0 and 1, got {alpha!r}")


@dataclass(frozen=True)
class Summary:
    """A fit's coefficient tables and what a report of it needs; ``str()`` is a plain-text report.

    Every attribute but ``tables`` may be left out (None, or empty), and the report then leaves
    out its line.

    Attributes
    ----------
    tables : list of CoefficientTable
        The coefficients in x (where the basis has a form in x) and in the mapped inputs t.
    notes : list of str
        Lines below the tables: the warnings of the fit, and what the report leaves out.
    response : str or None
        The name of y (of a named pandas Series), None when it had none.
    inputs : list of InputMapping
        Each input's name, its mapped variable and its training range ``x_min``, ``x_max``.
    method, estimator : str
        The ``method`` parameter and, in words, how the coefficients were estimated.
    loss : str
        The loss of the final fit.
    tuning, efficiency, breakdown : float or None
        The loss's tuning constant (in scales), its asymptotic efficiency at normal errors and
        the fit's breakdown point (the share of rows that may be arbitrary without carrying
        it away; the robust fit's is that of the S-estimate it starts from); None where they
        do not apply or are not known.
    degree : str
        The degree, and how it was chosen.
    random_state : object
        The ``random_state`` parameter of the fit.
    seed : int or None
        The seed the fit drew from it: ``random_state=seed`` repeats the fit.
    version : str
        The version of korva that made the fit.
    n_samples, n_used, n_flagged : int or None
        The rows, those of positive weight (which the fit uses) and those flagged as outliers,
        farther than ``outlier_threshold`` times ``scale`` from the fit.
    flagged_rows : list
        The labels of the first FLAGGED_ROWS_LISTED rows flagged: the index labels of a
        DataFrame X, else the positions from 0.
    row_labels : str
        What ``flagged_rows`` are: "positions from 0" or "index labels".
    scale, noise_scale : float or None
        ``scale_`` and ``noise_scale_``.
    scale_units : str
        The units of the scales ("" for y's; with sigma, in units of each row's sigma).
    df_resid : float or None
        The degrees of freedom of the intervals, and ``df_method`` how they were obtained.
    covariance : str
        How the covariance was taken (``cov_type``).
    errors : str or None
        With sigma: whether the errors were taken as known.
    penalties : str or None
        The penalties of the fit, where it has them.
    converged : bool or None
        Whether the final reweighting settled (None: the fit ends in no reweighting).
    condition_number : float or None
        The condition number of the weighted design in t.
    r2, r2_adjusted : float or None
        The robust R² of the fit on its training rows (Renaud & Victoria-Feser 2010) and its
        adjusted form.
    """

    tables: list[CoefficientTable]
    notes: list[str] = field(default_factory=list)
    response: str | None = None
    inputs: list[InputMapping] = field(default_factory=list)
    method: str | None = None
    estimator: str | None = None
    loss: str | None = None
    tuning: float | None = None
    efficiency: float | None = None
    breakdown: float | None = None
    degree: str | None = None
    random_state: Any = None
    seed: int | None = None
    version: str | None = None
    n_samples: int | None = None
    n_used: int | None = None
    n_flagged: int | None = None
    outlier_threshold: float | None = None
    flagged_rows: list[Any] = field(default_factory=list)
    row_labels: str = "positions from 0"
    scale: float | None = None
    noise_scale: float | None = None
    scale_units: str = ""
    df_resid: float | None = None
    df_method: str | None = None
    covariance: str | None = None
    errors: str | None = None
    penalties: str | None = None
    converged: bool | None = None
    condition_number: float | None = None
    r2: float | None = None
    r2_adjusted: float | None = None

    COLUMNS = ("coef", "std err", "t", "P>|t|", "lower", "upper")

    @property
    def header(self) -> list[tuple[str, str]]:
        """The (label, value) lines above the tables."""
        lines: list[tuple[str, str]] = []
        if self.inputs:
            response = self.response if self.response is not None else "y"
            lines.append(("model", f"{response} against {', '.join(m.name for m in self.inputs)}"))
            # One line per input, under one label.
            lines += [("mapping" if j == 0 else "", str(mapping)) for j, mapping in enumerate(self.inputs)]
        if self.method is not None:
            lines.append(("method", f"{self.method}: {self.estimator}" if self.estimator else self.method))
        if self.loss is not None:
            lines.append(("loss", self._loss_text()))
        if self.degree is not None:
            lines.append(("degree", self.degree))
        if self.penalties is not None:
            lines.append(("penalties", self.penalties))
        if self.seed is not None:
            given = "" if self.random_state == self.seed else f" (drawn from random_state={self.random_state!r})"
            lines.append(("seed", f"{self.seed}{given}; random_state={self.seed} repeats the fit"))
        if self.version is not None:
            lines.append(("korva", self.version))
        if self.n_samples is not None:
            lines.append(("samples", self._samples_text()))
        if self.n_flagged:
            lines.append(("flagged rows", self._flagged_text()))
        units = f", {self.scale_units}" if self.scale_units else ""
        if self.scale is not None:
            lines.append(("scale_", f"{self.scale:.6g} (robust residual scale{units})"))
        if self.noise_scale is not None:
            lines.append(("noise_scale_", f"{self.noise_scale:.6g} (the spread of a new observation's error{units})"))
        if self.df_resid is not None:
            how = f" ({self.df_method})" if self.df_method else ""
            lines.append(("degrees of freedom", f"{self.df_resid:g}{how}"))
        if self.covariance is not None:
            lines.append(("covariance", self.covariance))
        if self.errors is not None:
            lines.append(("errors", self.errors))
        if self.converged is not None:
            settled, bound = ("settled", "at most") if self.converged else ("did NOT settle", "more than")
            share = f"{100.0 * SETTLED_SHARE:g} %"
            moves = f"a further step moves the fitted values by {bound} {share} of their standard error"
            lines.append(("convergence", f"the final reweighting {settled}: {moves}"))
        if self.condition_number is not None:
            lines.append(("condition number", f"{self.condition_number:.4g} (the weighted design in t)"))
        if self.r2 is not None:
            kind = "least squares'" if self.tuning is None else "robust, in the final fit's weights"
            adjusted = "" if self.r2_adjusted is None else f", adjusted {self.r2_adjusted:.4f}"
            lines.append(("R²", f"{self.r2:.4f}{adjusted} ({kind})"))
        return lines

    def _loss_text(self) -> str:
        parts = [str(self.loss)]
        if self.tuning is not None:
            parts[0] += f", c = {self.tuning:.5g} scales"
        if self.efficiency is not None:
            parts.append(f"{100.0 * self.efficiency:.3g} % efficiency at normal errors")
        if self.breakdown is not None:
            parts.append(f"breakdown point {100.0 * self.breakdown:.3g} %")
        return "; ".join(parts)

    def _samples_text(self) -> str:
        text = f"{self.n_samples} rows"
        if self.n_used is not None and self.n_used != self.n_samples:
            text += f", {self.n_used} of positive weight fitted"
        if self.n_flagged is not None:
            text += f", {self.n_flagged} flagged as outliers"
            if self.outlier_threshold is not None:
                text += f" (farther than {self.outlier_threshold:g} scale_ from the fit)"
        return text

    def _flagged_text(self) -> str:
        listed = ", ".join(str(label) for label in self.flagged_rows)
        more = (self.n_flagged or 0) - len(self.flagged_rows)
        return f"{listed}{f' ... and {more} more' if more > 0 else ''} ({self.row_labels})"

    def __str__(self) -> str:
        header = self.header
        width = max((len(label) for label, _ in header), default=0) + 2
        lines = []
        for label, value in header:
            lines += textwrap.wrap(
                value,
                LINE_WIDTH,
                initial_indent=f"{label + ':' if label else '':<{width}}",
                subsequent_indent=" " * width,
                break_on_hyphens=False,
            )
        for table in self.tables:
            lines += ["", *_format_table(table)]
        if self.notes:
            lines.append("")
            for note in self.notes:
                lines += textwrap.wrap(note, LINE_WIDTH, subsequent_indent="  ", break_on_hyphens=False)
        return "\n".join(lines)

    def __repr__(self) -> str:
        return str(self)

    def to_frame(self) -> Any:
        """The tables as one pandas DataFrame, a row per term and table (needs pandas).

        Columns: ``units`` (``"x"`` or ``"t"``), ``term``, ``coef``, ``std err``, ``t``,
        ``P>|t|``, ``lower`` and ``upper`` (the interval's ends), the numbers unrounded.
        """
        try:
            import pandas as pd
        except ImportError as exc:
            raise ImportError(
                "Summary.to_frame() needs pandas, which korva does not require: "
                "install it, e.g. with pip install 'korva[pandas]'"
            ) from exc
        rows = [
            (table.units, term, *values)
            for table in self.tables
            for term, values in zip(table.terms, _table_values(table).tolist())
        ]
        return pd.DataFrame(rows, columns=["units", "term", *self.COLUMNS])

    def to_markdown(self) -> str:
        """The coefficient tables as Markdown pipe tables, each under its title, the numbers
        as the text report prints them."""
        blocks = []
        for table in self.tables:
            header = ["term", *self.COLUMNS]
            rows = [[_markdown_text(term), *values] for term, *values in table.cells()]
            lines = [
                f"**{table.title}**",
                "",
                _markdown_row([_markdown_text(name) for name in header]),
                _markdown_row([":---", *(["---:"] * len(self.COLUMNS))]),
                *(_markdown_row(row) for row in rows),
            ]
            blocks.append("\n".join(lines))
        return "\n\n".join(blocks) + "\n"

    def to_latex(self) -> str:
        """The coefficient tables as LaTeX ``tabular`` environments, each under its title, the
        terms in math mode (``$x_{1}^{2} x_{2}$``) and the numbers as the text report prints
        them (needs no package beyond LaTeX's own)."""
        blocks = []
        for table in self.tables:
            width = 1 + len(self.COLUMNS)
            heading = ["term", "coef", "std err", "$t$", "$P>|t|$", "lower", "upper"]
            lines = [
                "\\begin{tabular}{l" + "r" * len(self.COLUMNS) + "}",
                "\\hline",
                f"\\multicolumn{{{width}}}{{l}}{{{_latex_title(table)}}} \\\\",
                "\\hline",
                " & ".join(heading) + " \\\\",
                "\\hline",
            ]
            for indices, (_, *values) in zip(table.indices, table.cells()):
                term = _latex_term(indices, table.variables)
                lines.append(" & ".join([term, *(_latex_number(v) for v in values)]) + " \\\\")
            lines += ["\\hline", "\\end{tabular}"]
            blocks.append("\n".join(lines))
        return "\n\n".join(blocks) + "\n"


def _table_values(table: CoefficientTable) -> FloatArray:
    return np.column_stack([table.coef, table.std_err, table.statistic, table.p_value, table.interval])


def _format_table(table: CoefficientTable) -> list[str]:
    columns = ["term", *Summary.COLUMNS]
    cells = table.cells()
    widths = [max(len(row[i]) for row in [columns, *cells]) for i in range(len(columns))]

    def line(row: Sequence[str]) -> str:
        return "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths)))

    rule = "-" * len(line(columns))
    return [table.title, rule, line(columns), rule, *(line(row) for row in cells), rule]


# ---------------------------------------------------------------- Markdown and LaTeX


def _markdown_text(text: str) -> str:
    """Text with the characters that Markdown would read as markup escaped."""
    return re.sub(r"([\\`*_{}\[\]<>|#])", r"\\\1", text)


def _markdown_row(cells: Sequence[str]) -> str:
    return "| " + " | ".join(cells) + " |"


# LaTeX's special characters, as they are written in math mode's \mathrm{}.
_LATEX_SPECIALS = {
    "\\": "\\backslash ",
    "&": "\\&",
    "%": "\\%",
    "$": "\\$",
    "#": "\\#",
    "_": "\\_",
    "{": "\\{",
    "}": "\\}",
    "~": "\\sim ",
    "^": "\\wedge ",
    " ": "\\ ",
}


def _latex_text(text: str) -> str:
    """Text for math mode's \\mathrm{}, LaTeX's special characters escaped."""
    return "".join(_LATEX_SPECIALS.get(char, char) for char in text)


def _latex_variable(name: str) -> str:
    """An input's name in math mode: ``x``, ``x_{1}`` for x1, ``t_{\\mathrm{depth}}`` for t_depth,
    ``\\mathrm{...}`` for any other name."""
    plain = re.fullmatch(r"([A-Za-z])(\d*)", name)
    if plain:
        letter, number = plain.groups()
        return letter + (f"_{{{number}}}" if number else "")
    subscripted = re.fullmatch(r"([A-Za-z])_(.+)", name)
    if subscripted:
        letter, rest = subscripted.groups()
        return f"{letter}_{{\\mathrm{{{_latex_text(rest)}}}}}"
    return f"\\mathrm{{{_latex_text(name)}}}"


def _latex_term(indices: Sequence[int], variables: Sequence[str]) -> str:
    """A monomial in math mode: ``$1$``, ``$x_{1}^{2} x_{2}$``."""
    factors = [_latex_variable(name) + ("" if e == 1 else f"^{{{e}}}") for name, e in zip(variables, indices) if e]
    return f"${' '.join(factors) or '1'}$"


def _latex_number(text: str) -> str:
    """A number as the report prints it, in math mode; e-notation as a power of 10."""
    if text in ("nan", "inf", "-inf"):
        return {"nan": "NaN", "inf": "$\\infty$", "-inf": "$-\\infty$"}[text]
    mantissa, _, exponent = text.partition("e")
    power = f" \\times 10^{{{int(exponent)}}}" if exponent else ""
    return f"${mantissa}{power}$"


def _latex_title(table: CoefficientTable) -> str:
    return f"coefficients in ${table.units}$ ({100.0 * (1.0 - table.alpha):g}\\,\\% intervals)"
