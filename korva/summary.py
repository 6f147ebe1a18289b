"""The coefficient tables of a fit and their report: :class:`Summary`, the table behind
``PolynomialMDLRegressor.summary()``, the intervals of coefficients and the names of the terms."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from korva.distributions import interval_factor, student_t_cdf

FloatArray = NDArray[np.float64]


def input_names(n_inputs: int, symbol: str = "x") -> list[str]:
    """Default input names: ``x`` for one input, ``x1``, ``x2``, ... for several."""
    return [symbol] if n_inputs == 1 else [f"{symbol}{j}" for j in range(1, n_inputs + 1)]


def term_names(indices: Sequence[Sequence[int]], names: Sequence[str]) -> list[str]:
    """Display names of the terms: ``1``, ``x``, ``x^2``, ``x1 x2``, ``x1^2 x2``, ..."""
    return [" ".join(name if e == 1 else f"{name}^{e}" for name, e in zip(names, term) if e) or "1" for term in indices]


@dataclass(frozen=True)
class CoefficientTable:
    """Coefficients, their standard errors and interval statistics, in one set of units."""

    units: str  # the name of the variables: "x" or "t"
    terms: list[str]
    coef: FloatArray
    std_err: FloatArray
    df: float  # degrees of freedom of the t quantiles
    alpha: float

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
    """A fit's coefficient tables with their header; ``str()`` is a plain-text report.

    ``header`` holds (label, value) lines shown above the tables and ``notes`` lines shown
    below them, such as the warnings of the fit.
    """

    header: list[tuple[str, str]]
    tables: list[CoefficientTable]
    notes: list[str] = field(default_factory=list)

    COLUMNS = ("coef", "std err", "t", "P>|t|", "lower", "upper")

    def __str__(self) -> str:
        width = max(len(label) for label, _ in self.header) if self.header else 0
        lines = [f"{label + ':':<{width + 1}} {value}" for label, value in self.header]
        for table in self.tables:
            lines += ["", *_format_table(table)]
        if self.notes:
            lines += ["", *self.notes]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return str(self)

    def to_frame(self) -> Any:
        """The tables as one pandas DataFrame, a row per term and table (needs pandas).

        Columns: ``units`` (``"x"`` or ``"t"``), ``term``, ``coef``, ``std err``, ``t``,
        ``P>|t|``, ``lower`` and ``upper`` (the interval's ends).
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


def _table_values(table: CoefficientTable) -> FloatArray:
    return np.column_stack([table.coef, table.std_err, table.statistic, table.p_value, table.interval])


def _format_table(table: CoefficientTable) -> list[str]:
    columns = ["term", *Summary.COLUMNS]
    cells = [[term, *(f"{value:.6g}" for value in values)] for term, values in zip(table.terms, _table_values(table))]
    widths = [max(len(row[i]) for row in [columns, *cells]) for i in range(len(columns))]

    def line(row: Sequence[str]) -> str:
        return "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths)))

    rule = "-" * len(line(columns))
    title = f"coefficients in {table.units} ({100.0 * (1.0 - table.alpha):g} % intervals)"
    return [title, rule, line(columns), rule, *(line(row) for row in cells), rule]
