"""Polynomial bases of the estimator: their exponent vectors, sizes and penalties.

Three kinds of basis in the inputs mapped to [-1, 1]:

- ``"total"``: every exponent vector whose exponents sum to at most the degree (with
  one degree per input, also each exponent at most its input's degree, and the
  sum at most the largest degree); degree 1 is the plain linear model;
- ``"tensor"``: every exponent vector with each exponent up to its input's degree;
- an explicit list of exponent vectors.

Exponent vectors are listed with the first input varying slowest, the order of
korva_core's penalty builder, in which every fit works; the estimator shows them in the
order of :func:`graded_order`. A basis's penalty matrices are the rows and columns
of the tensor-product penalties over the smallest box of degrees that holds it, so
its quadratic form is that of the full basis with the missing coefficients at 0.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import korva_core
from korva import _robust

FloatArray = NDArray[np.float64]
Penalties = tuple[FloatArray, FloatArray]
MultiIndices = list[list[int]]
# A design matrix stored, or formed a few rows at a time where the robust finish reads it.
type Design = FloatArray | _robust.MonomialDesign

# A robust fit on at least this many rows forms its design where it reads it: stored, the
# design would be k times the size of an input column (45 times with 8 inputs at degree
# 2), and each pass over it would read all of that.
FORMED_DESIGN_ROWS = 100_000
# Rows of a formed design that stored and nonzero_columns form at a time.
PART_ROWS = 1 << 16

BASES = ("total", "tensor")

# The tensor-product penalties behind a basis are (terms x terms) matrices built in one
# piece (about a second at 1024 terms, growing fast beyond); larger ones are refused up front.
MAX_PENALTY_TERMS = 1024


def count_terms(kind: str, degrees: Sequence[int]) -> int:
    """The number of exponent vectors of a ``"total"`` or ``"tensor"`` basis, without listing them.

    Exact up to 2**53; a larger count only needs to be known as larger than any sample.
    """
    if kind == "tensor":
        return math.prod(d + 1 for d in degrees)
    top = max(degrees)
    if all(d >= top for d in degrees):
        return math.comb(top + len(degrees), len(degrees))
    # Vectors by their sum, input by input: a running box sum of width d + 1.
    counts = np.zeros(top + 1)
    counts[0] = 1.0
    for d in degrees:
        running = np.cumsum(counts)
        counts = running - np.concatenate([np.zeros(d + 1), running[: top - d]])[: top + 1]
    return int(min(counts.sum(), 2.0**62))


def multi_indices(kind: str, degrees: Sequence[int]) -> MultiIndices:
    """The exponent vectors of a ``"total"`` or ``"tensor"`` basis, first input slowest."""
    budget = sum(degrees) if kind == "tensor" else max(degrees)
    return [list(exponents) for exponents in _exponents(list(degrees), budget)]


def graded_order(indices: MultiIndices) -> NDArray[np.intp]:
    """The positions of the terms in the order readers list them: by total degree, and within a
    degree the powers of x1 first, then of x2, ... (exponent vectors in descending lexicographic
    order: 1, x1, x2, x3, x1^2, x1 x2, x1 x3, x2^2, ..., as scikit-learn's PolynomialFeatures
    lists them). For one input, 1, x, x^2, ... as the fit has them."""
    keys = [(sum(term), [-e for e in term]) for term in indices]
    order: NDArray[np.intp] = np.array(sorted(range(len(indices)), key=keys.__getitem__), dtype=np.intp)
    return order


def _exponents(degrees: list[int], budget: int) -> Iterator[tuple[int, ...]]:
    """Exponent vectors within ``degrees`` whose sum is at most ``budget``, in ascending order.

    Counted like an odometer, the last input fastest: the next vector raises the rightmost
    exponent that can still rise and sets every exponent after it to 0.
    """
    current = [0] * len(degrees)
    total = 0
    while True:
        yield tuple(current)
        position, before = len(current) - 1, total  # before: the sum of current[:position + 1]
        while position >= 0:
            before -= current[position]
            if current[position] < degrees[position] and before + current[position] < budget:
                break
            position -= 1
        if position < 0:
            return
        current[position] += 1
        current[position + 1 :] = [0] * (len(current) - position - 1)
        total = before + current[position]


def is_contiguous_1d(indices: MultiIndices) -> bool:
    """True for the plain one-input basis 1, t, ..., t^d in that order."""
    return all(len(m) == 1 and m[0] == p for p, m in enumerate(indices))


def penalties(indices: MultiIndices, n_grid: int | None) -> Penalties:
    """Slope and curvature penalties of a basis over [-1, 1] per input.

    ``n_grid`` is the quadrature's grid: in total for one input, per input for several
    (None: korva_core's defaults).
    """
    box = [max(m[i] for m in indices) for i in range(len(indices[0]))]
    full_terms = math.prod(d + 1 for d in box)
    if full_terms > MAX_PENALTY_TERMS:
        raise ValueError(
            f"the penalties of this basis are taken from the full tensor-product basis of "
            f"degrees {box}, which has {full_terms} terms, more than the {MAX_PENALTY_TERMS} "
            "whose penalty matrices korva builds; set gamma1 = gamma2 = 0 or use fewer "
            "inputs or lower degrees"
        )
    if len(box) == 1:
        R1, R2 = korva_core.smoothness_penalty_matrices_1d(box[0], -1.0, 1.0, *(() if n_grid is None else (n_grid,)))
        positions = [m[0] for m in indices]
    else:
        R1, R2, full = korva_core.build_penalty_matrices_nd(
            box, [(-1.0, 1.0)] * len(box), *(() if n_grid is None else (n_grid,))
        )
        position_of = {tuple(m): p for p, m in enumerate(full)}
        positions = [position_of[tuple(m)] for m in indices]
    if positions == list(range(full_terms)):
        return R1, R2
    rows = np.ix_(positions, positions)
    return np.ascontiguousarray(R1[rows]), np.ascontiguousarray(R2[rows])


def design_for_robust_fit(indices: MultiIndices, unit_columns: FloatArray) -> Design:
    """The design of a robust fit at inputs given as rows of ``unit_columns`` (d, n): on at
    least FORMED_DESIGN_ROWS rows formed where it is read (the same doubles as the stored
    one, which every pass over it then gives to the bit), else stored."""
    if unit_columns.shape[1] < FORMED_DESIGN_ROWS:
        return design_matrix(indices, unit_columns)
    return _robust.MonomialDesign(list(unit_columns), [list(m) for m in indices])


@dataclass(frozen=True)
class Points:
    """Where a fit takes its designs: the inputs as rows of ``unit_columns`` (d, n) and, for
    rows with known errors, the factor that each row of a design is multiplied by (None: 1).

    A row's factor enters as one more input, of exponent 1 in every term, so that a stored
    and a formed design of the scaled rows hold the same doubles.
    """

    unit_columns: FloatArray
    row_scale: FloatArray | None = None

    def design(self, indices: MultiIndices) -> FloatArray:
        """The stored design of a basis at these points."""
        if self.row_scale is None:
            return design_matrix(indices, self.unit_columns)
        scaled_indices, columns = self._scaled(indices)
        return korva_core.design_matrix_nd(scaled_indices, columns)

    def robust_design(self, indices: MultiIndices) -> Design:
        """The design of a robust fit (see design_for_robust_fit)."""
        if self.row_scale is None:
            return design_for_robust_fit(indices, self.unit_columns)
        if self.unit_columns.shape[1] < FORMED_DESIGN_ROWS:
            return self.design(indices)
        scaled_indices, columns = self._scaled(indices)
        return _robust.MonomialDesign(columns, scaled_indices)

    def _scaled(self, indices: MultiIndices) -> tuple[MultiIndices, list[FloatArray]]:
        assert self.row_scale is not None
        return [[*m, 1] for m in indices], [*self.unit_columns, self.row_scale]


def stored(design: Design) -> FloatArray:
    """The design as an array: a formed design's rows formed a part at a time into it."""
    if isinstance(design, np.ndarray):
        return design
    rows: FloatArray = np.empty(design.shape, order="F")
    for part, entries in row_parts(design):
        rows[part] = entries
    return rows


def nonzero_columns(design: Design) -> NDArray[np.bool_]:
    """Which columns of the design hold an entry other than 0."""
    if isinstance(design, np.ndarray):
        return np.any(design != 0.0, axis=0)
    found = np.zeros(design.shape[1], dtype=bool)
    for _, entries in row_parts(design):
        found |= np.any(entries != 0.0, axis=0)
    return found


def row_parts(design: _robust.MonomialDesign) -> Iterator[tuple[slice, FloatArray]]:
    """A formed design's rows, PART_ROWS at a time, with where they go."""
    for start in range(0, design.shape[0], PART_ROWS):
        rows = np.arange(start, min(start + PART_ROWS, design.shape[0]))
        yield slice(start, start + len(rows)), design[rows]


def design_matrix(indices: MultiIndices, unit_columns: FloatArray) -> FloatArray:
    """The design matrix of a basis at inputs given as rows of ``unit_columns`` (d, n).

    Each row of a C-ordered (d, n) array is a contiguous, aligned float64 column,
    which korva_core reads in place.
    """
    if unit_columns.shape[0] == 1 and is_contiguous_1d(indices):
        return korva_core.design_matrix_1d(len(indices) - 1, unit_columns[0])
    return korva_core.design_matrix_nd(indices, list(unit_columns))
