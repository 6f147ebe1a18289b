"""Robust starts, scale, concentration and the efficient final fit of the estimator.

The MDL search finds coefficients that most points agree with, but the hit rate
cannot tell apart fits that keep the same points within its tolerance, and a search
can miss the best fit outright. These steps turn it into a fit as precise as least
squares on the good points, the same for every seed:

1. Starts: the search's result, least squares on the points it hits, least squares on
   all points, and many elemental fits (each through k of the points, for k terms;
   every such subset when there are few). The elemental fits take two concentration
   steps at once, as one batch, and the best few by the trimmed sum of squares go on.
   This is the approach of the fast algorithms for least trimmed squares and for
   S-regression: with enough random subsets one of them is free of outliers, whatever
   the search did.
2. Concentration: least squares on the h = (n + k + 1) / 2 points with the smallest
   residuals, repeated until that set stops changing, from each start (all starts as
   one batch).
3. Reweighting steps take each start towards the bottom of its valley of the M-scale,
   and the deepest valley wins: its bottom is the S-estimate. Least squares on the rows
   that its MM fit (step 4) does not flag is one more start, which seeds that agree on
   those rows share: its valley replaces the winner's when it is about as deep or deeper. The M-scale (Tukey's
   biweight, 50 % breakdown) is the scale S-estimators minimise; its equation averages
   the loss over n - k rather than n, so that it is close to the noise level on small
   samples as well (a plain mean is biased low by the k fitted terms). (In a prototype,
   the median absolute residual flagged a good point of a small data set and lost
   efficiency when the noise varies; this scale did not.)
4. MM step: iteratively reweighted least squares with Tukey's bisquare tuned for
   85 % efficiency at the normal, the scale held fixed at the S-estimate's.

All work is in y's standardised units; penalties act in every least-squares step.
Sample weights act as case weights throughout (an integer weight counts a row that
many times): in the M-scale, in the trimming (by weight mass) and in every
least-squares step.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

import korva_core
from korva import _robust, losses
from korva.bases import Design, stored

FloatArray = NDArray[np.float64]
IndexArray = NDArray[np.intp]

MAX_CONCENTRATION_STEPS = 20
MAX_REWEIGHTING_STEPS = 50
# The MM step's fitted values settle to 1e-7 scales, and the S-estimate's scale to 1e-10
# of itself: two starts in one valley then end at the same fit to 1e-6 or better.
REWEIGHTING_RELATIVE_TOLERANCE = 1e-7
S_RELATIVE_TOLERANCE = 1e-10

# Elemental starts: every subset of k points when those subsets times the points come to
# at most EXHAUSTIVE_BUDGET, else RANDOM_SUBSETS drawn at random, SUBSETS_PER_TERM per term
# from 7 terms on (with 120 subsets of 4 points, one free of outliers turns up with
# probability 0.9996 at 50 % contamination and 0.99999 at 45 %, beside the search's own
# start). With more terms the scale has more valleys of nearly the same depth, and 120
# subsets missed the deepest one now and then: a degree-6 fit of 133 points with 15 %
# outliers in one stretch ended in a shallower valley for 2 of 60 seeds with 120 subsets,
# for none with 140 or 210. Each takes ELEMENTAL_STEPS concentration steps, and the best
# ELEMENTAL_FINALISTS by the trimmed sum of squares (of those that differ) are concentrated
# to the end; when every subset is tried, each is concentrated to the end and
# EXHAUSTIVE_FINALISTS go on. Measured natively, every subset concentrated to the end costs
# 50 to 100 ns per subset and row for 2 to 6 terms, and the random subsets of 50 rows as
# much as about 6000 such subset-rows: with this budget every subset of few rows (2 of 23,
# 3 of 14, 4 of 12, 5 or 6 of 11) costs no more than the random subsets of 50 rows.
EXHAUSTIVE_BUDGET = 6_000
RANDOM_SUBSETS = 120
SUBSETS_PER_TERM = 20
ELEMENTAL_STEPS = 2
ELEMENTAL_FINALISTS = 5
EXHAUSTIVE_FINALISTS = 20
# Random subsets are screened on at most this many rows (see elemental_starts).
SCREENING_ROWS = 300
# The screening fits of degree="auto" (see screening_fit): their starts are chosen on at
# most AUTO_SCREENING_ROWS rows, the elemental subsets ranked after AUTO_ELEMENTAL_STEPS
# concentration steps, and their S-estimate settles to AUTO_S_RELATIVE_TOLERANCE of its
# scale (the MM step's own tolerance).
AUTO_SCREENING_ROWS = 100
AUTO_ELEMENTAL_STEPS = 0
AUTO_S_RELATIVE_TOLERANCE = 1e-7
# Every concentrated start of a fit is taken this close to the bottom of its valley before
# the deepest is chosen (see _valleys), then settled to S_RELATIVE_TOLERANCE.
VALLEY_S_RELATIVE_TOLERANCE = 1e-4
# The valley of the start from the MM fit's inliers (see _from_inliers) replaces the deepest
# one the starts found where it is deeper or within this share of its scale: seeds that flag
# the same rows then end at the same fit, where valleys a few 1e-4 apart went each to the
# seeds that came upon it (coefficients 3e-3 scales apart on a degree-8 fit). The S-scale
# itself varies by about 1 / sqrt(n) from sample to sample, far more than this.
SHARED_VALLEY_SHARE = 1e-3
# A relative ridge on the batched normal equations, so that a subset whose rows are
# not in general position (tied inputs) still gives a start instead of an error.
ELEMENTAL_RIDGE = 1e-12


@dataclass(frozen=True)
class LeastSquares:
    """(Penalised) least squares in standardised units, as korva_core solves it.

    The core weighs a penalty by the number of rows it is given, so that a fit on a
    subset keeps the balance between data and penalty; a weighted fit passes
    sqrt(w)-scaled rows and weighs the penalty by the total weight instead.
    """

    R1: FloatArray | None = None
    R2: FloatArray | None = None
    gamma1: float = 0.0
    gamma2: float = 0.0

    def __call__(self, design: FloatArray, target: FloatArray) -> FloatArray:
        return korva_core.fit_regularized_linear(design, target, self.R1, self.R2, self.gamma1, self.gamma2)

    def weighted(self, design: FloatArray, target: FloatArray, weights: FloatArray) -> FloatArray:
        # The system of fit_regularized_linear on the rows scaled by sqrt(w), with the
        # penalty weighed by sum(w), formed in one native pass without the scaled copy.
        return _robust.weighted_least_squares(
            design, target, weights, self.R1, self.R2, self.gamma1, self.gamma2, ridge=SOLVE_RIDGE
        )

    def fit(self, design: FloatArray, target: FloatArray, weights: FloatArray | None) -> FloatArray:
        return self(design, target) if weights is None else self.weighted(design, target, weights)

    def refine(
        self,
        design: FloatArray,
        target: FloatArray,
        beta: FloatArray,
        weights: FloatArray | None,
        residuals: FloatArray | None = None,
    ) -> FloatArray:
        """One step of iterative refinement: least squares on the residuals, added.

        The core solves the normal equations, whose rounding grows with the square of
        the design's condition number; a step on the residuals brings an exact fit's
        residuals down to the rounding of evaluating the polynomial. With a penalty
        the step would need the penalty's pull as well, and the fit is not exact then:
        beta is returned as it is. ``residuals``: target - design @ beta, when known.
        """
        if self.penalty(len(beta)).any():
            return beta
        return beta + self.fit(design, target - design @ beta if residuals is None else residuals, weights)

    def penalty(self, n_terms: int) -> FloatArray:
        """The penalty matrix per unit of weight, as the batched solves add it."""
        total = np.zeros((n_terms, n_terms))
        for gamma, matrix in ((self.gamma1, self.R1), (self.gamma2, self.R2)):
            if gamma != 0.0 and matrix is not None:
                total += gamma * matrix
        return total


def bisquare_weights(
    residuals: FloatArray, scale: float, tuning: float, weights: FloatArray | None = None
) -> FloatArray:
    """Tukey's bisquare weights (1 - (u / c)^2)^2 of u = r / scale inside the cut-off c, 0
    beyond, times ``weights`` where given: one native pass, where the S-estimate's many
    small steps would pay for eight NumPy calls each (korva.testing.bisquare_weights is the
    NumPy reference, to the bit)."""
    bisquare: FloatArray = _robust.bisquare_weights(residuals, scale, tuning, weights)
    return bisquare


def residuals_of(design: Design, target: FloatArray, beta: FloatArray) -> FloatArray:
    """target - design @ beta, in one new array."""
    residuals: FloatArray = design @ beta
    np.subtract(target, residuals, out=residuals)
    return residuals


def m_scale(residuals: FloatArray, guess: float = 0.0, weights: FloatArray | None = None, n_terms: int = 0) -> float:
    """The biweight M-scale s of the residuals: sum w rho(r / s) = b (sum w - n_terms), with
    rho at the cut-off losses.SCALE_TUNING and b = losses.SCALE_BREAKDOWN (1/2).

    Averaging the loss over the degrees of freedom left by ``n_terms`` fitted terms
    makes s nearly unbiased on small normal samples. It is 0 when no positive s solves
    the equation: when the weight of the nonzero residuals is at most half the degrees
    of freedom. A positive ``guess`` near s saves the search its first steps. Newton's
    method on ln s, one native pass over the residuals per step (korva.testing.m_scale
    is the NumPy reference).
    """
    return _robust.m_scale(
        residuals, guess, weights, n_terms, tuning=losses.SCALE_TUNING, breakdown=losses.SCALE_BREAKDOWN
    )


def residual_scale(
    residuals: FloatArray, guess: float = 0.0, weights: FloatArray | None = None, n_terms: int = 0
) -> float:
    """The M-scale of the residuals, with a fallback for exact fits to most points.

    When most residuals are exactly 0 (most of y ties and the fit goes through the
    tied values), the M-scale is 0 and would call every other point an outlier; the
    scale of the residuals that are not 0 is taken instead. It is 0 only when every
    residual is.
    """
    scale = m_scale(residuals, guess, weights, n_terms)
    mass = residuals.size if weights is None else float(weights.sum())
    if scale > 0.0 or mass <= n_terms:  # no residual freedom left: an interpolation
        return scale
    nonzero = residuals != 0.0
    return m_scale(residuals[nonzero], 0.0, None if weights is None else weights[nonzero])


def weighted_median(values: FloatArray, weights: FloatArray | None) -> float:
    """The median of ``values`` with each counted ``weights`` times (halfway between the two
    middle values when the total weight splits evenly), by selection, without a sort."""
    if weights is None:
        # One pass over the values; the two middle ones as low + (high - low) / 2.
        return _robust.median(values)
    return _robust.weighted_median(values, weights)


def _kept_mass(n_rows: int, n_terms: int, weights: FloatArray | None) -> float:
    """h: the weight that concentration keeps, (n + k + 1) // 2 of the total n."""
    mass = float(n_rows) if weights is None else float(weights.sum())
    return min(mass, math.floor((mass + n_terms + 1) / 2.0))


def elemental_starts(
    design: FloatArray,
    target: FloatArray,
    least_squares: LeastSquares,
    rng: np.random.Generator,
    weights: FloatArray | None = None,
    steps: int = ELEMENTAL_STEPS,
    every_subset: bool = True,
) -> tuple[list[FloatArray], int]:
    """The most promising elemental starts and how many subsets were tried.

    Each subset of k rows is solved exactly (with the penalties, when set), then
    takes ``steps`` concentration steps (with ``every_subset``, every subset of few
    rows is tried and concentrated to the end, so that the best of them all is among
    the finalists). The finalists with the smallest trimmed sum of squared residuals
    are returned, one for each distinct result, for the full concentration.
    """
    n, k = design.shape
    if k == 0 or n <= k:
        return [], 0
    exhaustive = every_subset and _exhaustive(n, k)
    if n > SCREENING_ROWS and not exhaustive:
        # Random subsets are screened on a random part of the rows, as the fast algorithm
        # for least trimmed squares does on large data: a start free of outliers stands out
        # on 300 rows as well, and the finalists are concentrated on every row afterwards.
        part = np.sort(rng.choice(n, SCREENING_ROWS, replace=False))
        design, target = design[part], target[part]
        weights = None if weights is None else weights[part]
        n = SCREENING_ROWS
        exhaustive = every_subset and _exhaustive(n, k)
    penalty = least_squares.penalty(k)
    finalists, tried = _robust.elemental_starts(
        np.ascontiguousarray(design),
        target,
        _kept_mass(n, k, weights),
        None if exhaustive else _random_subsets(n, k, rng),
        weights,
        penalty if penalty.any() else None,
        every_subset=exhaustive,
        max_steps=MAX_CONCENTRATION_STEPS if exhaustive else steps,
        ridge=ELEMENTAL_RIDGE,
        finalists=EXHAUSTIVE_FINALISTS if exhaustive else ELEMENTAL_FINALISTS,
    )
    return list(finalists), tried


def _concentrate(
    design: FloatArray,
    target: FloatArray,
    starts: FloatArray,
    least_squares: LeastSquares,
    weights: FloatArray | None,
    max_steps: int,
    kept_rows: bool = False,
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Concentration steps from every start, natively (korva._robust.concentrate_starts):
    the coefficients each start ends at, their trimmed sums of squares and, with
    ``kept_rows``, the weight each row keeps at them (one row per start; else empty).

    The rows kept are the nearest up to the kept weight h, ties at the h-th distance taken
    by row number, the last one in part when weighted: one rule wherever korva trims."""
    n, k = design.shape
    penalty = least_squares.penalty(k)
    concentration = _robust.concentrate_starts(
        np.ascontiguousarray(design),
        target,
        starts,
        _kept_mass(n, k, weights),
        weights,
        penalty if penalty.any() else None,
        max_steps=max_steps,
        ridge=ELEMENTAL_RIDGE,
        kept_rows=kept_rows,
    )
    return concentration.betas, concentration.trimmed, concentration.kept


def _exhaustive(n: int, k: int) -> bool:
    return math.comb(n, k) * n <= EXHAUSTIVE_BUDGET


def _random_subsets(n: int, k: int, rng: np.random.Generator) -> IndexArray:
    """random_subsets(k) random k-subsets of n rows, one a row."""
    count = random_subsets(k)
    if 4 * k > n:
        # The k smallest of n uniform keys are a uniform k-subset.
        return np.argpartition(rng.random((count, n)), k - 1, axis=1)[:, :k]
    # k draws with replacement, those with a repeat drawn again: cheaper when k << n.
    subsets = rng.integers(0, n, (count, k))
    while True:
        ordered = np.sort(subsets, axis=1)
        repeated = np.flatnonzero((ordered[:, 1:] == ordered[:, :-1]).any(axis=1))
        if repeated.size == 0:
            return subsets
        subsets[repeated] = rng.integers(0, n, (repeated.size, k))


def random_subsets(k: int) -> int:
    """How many random elemental subsets a fit of k terms draws."""
    return max(RANDOM_SUBSETS, SUBSETS_PER_TERM * k)


def _batched_solve(gram: FloatArray, right: FloatArray) -> FloatArray:
    """Solve a batch of symmetric positive definite systems, (m, k, k) and (m, k), by
    Gauss-Jordan elimination in plain array arithmetic: no LAPACK, whose BLAS takes work
    buffers it cannot do without under a tight memory limit (it ends the process when it
    cannot have them). Positive definite systems need no
    pivoting; one that is singular comes out as NaN or infinity."""
    k = right.shape[1]
    augmented = np.concatenate([gram, right[:, :, None]], axis=2)
    with np.errstate(all="ignore"):
        for j in range(k):
            pivot_row = augmented[:, j, :] / augmented[:, j, j, None]
            augmented -= augmented[:, :, j, None] * pivot_row[:, None, :]
            augmented[:, j, :] = pivot_row
    solved: FloatArray = augmented[:, :, k]
    return solved


@dataclass(frozen=True)
class Start:
    """A start after concentration: its coefficients and the M-scale of its residuals."""

    beta: FloatArray
    scale: float


def concentrated_starts(
    design: FloatArray,
    target: FloatArray,
    starts: Sequence[FloatArray],
    least_squares: LeastSquares,
    weights: FloatArray | None = None,
) -> list[Start]:
    """Every start concentrated, each distinct result once with its M-scale, smallest first.

    Concentration: least squares on the h = (n + k + 1) // 2 points nearest the fit
    (with weights, the nearest points up to that weight; ties at the h-th distance by row
    number), repeated until the set settles; each step lowers the sum of the h smallest
    squared residuals. The set each start settles on, as the concentration kept it, is then
    solved once more by the weighted least squares of the later stages, so that an exact fit
    comes out exact.
    """
    k = design.shape[1]
    betas, _, kept = _concentrate(
        design, target, np.array(starts), least_squares, weights, MAX_CONCENTRATION_STEPS, True
    )
    distinct: dict[bytes, Start] = {}
    for settled, kept_weights in zip(betas, kept):
        key = settled.tobytes()
        if key in distinct or not np.isfinite(settled).all():
            continue
        beta = least_squares.weighted(design, target, kept_weights)
        distinct[key] = Start(beta, residual_scale(target - design @ beta, 0.0, weights, k))
    return sorted(distinct.values(), key=lambda start: start.scale)


def s_estimate(
    design: FloatArray,
    target: FloatArray,
    start: Start,
    least_squares: LeastSquares,
    weights: FloatArray | None = None,
    tolerance: float = S_RELATIVE_TOLERANCE,
) -> Start:
    """The S-estimate in the valley of a start: reweighting steps that lower the M-scale
    (biweight weights at the scale's own tuning, the scale updated every step) until a
    step lowers it by at most ``tolerance`` of itself.

    Concentration ends at one of many nearby trimmed sets, so two starts in the same
    valley (or the same data given as weights or as repeated rows) end a little apart;
    the S-estimate is the one point of the valley, so the result does not depend on
    which start won.
    """
    k = design.shape[1]
    beta, scale = start.beta, start.scale
    for _ in range(MAX_REWEIGHTING_STEPS):
        if scale == 0.0:
            break
        row_weights = bisquare_weights(residuals_of(design, target, beta), scale, losses.SCALE_TUNING, weights)
        beta = least_squares.weighted(design, target, row_weights)
        previous, scale = scale, residual_scale(target - design @ beta, scale, weights, k)
        # The scale is the minimised objective: it settles long before beta does, and
        # beta's last digits do not matter, as the MM step below settles beta itself.
        if previous - scale <= tolerance * scale:
            break
    return Start(beta, scale)


def reweight(
    design: Design,
    target: FloatArray,
    beta: FloatArray,
    scale: float,
    least_squares: LeastSquares,
    weights: FloatArray | None = None,
    refine: bool = False,
    matrix: FloatArray | None = None,
) -> FloatArray:
    """The MM step: bisquare-weighted least squares with the scale held fixed, to convergence.

    Without penalties every step lowers the sum of the bisquare losses, so the fit
    keeps to the valley of its start and is not drawn back to the outliers that the
    start let go (their weights are 0 beyond 3.44 scales). Each step is one native
    pass over the rows (korva.testing.reweight is the NumPy reference); the weighted
    systems are those of ``least_squares.weighted``. Without penalties, once a step moves the
    fit by at most 0.01 scale, Newton's steps finish the same equations: a few passes
    where the reweighting alone takes a dozen, and closer to their solution; the first of
    them factorises its slope matrix, and the later ones, while they keep shrinking, reuse
    it and read the rows only for the gradient, the last check spared when the step it
    would check is sure to lie within the tolerance. ``refine``: the
    result takes one more step on the residuals, as LeastSquares.refine does (without
    penalties), for free after Newton's steps. ``matrix``: Newton's steps from the start
    with it in place of the slope matrix (without penalties), such as the slope matrix of
    part of the rows, scaled to all of them.
    """
    return _bisquare_steps(
        design,
        target,
        beta,
        scale,
        least_squares,
        weights,
        max_steps=MAX_REWEIGHTING_STEPS,
        tolerance=REWEIGHTING_RELATIVE_TOLERANCE,
        newton=True,
        refine=refine,
        matrix=matrix,
    )


def _bisquare_steps(
    design: Design,
    target: FloatArray,
    beta: FloatArray,
    scale: float,
    least_squares: LeastSquares,
    weights: FloatArray | None,
    **options: Any,
) -> FloatArray:
    """Native reweighting steps of the MM bisquare at ``scale`` with the solver's penalties and ridge."""
    stepped: FloatArray = _robust.reweight(
        design,
        target,
        beta,
        scale,
        least_squares.R1,
        least_squares.R2,
        least_squares.gamma1,
        least_squares.gamma2,
        weights,
        tuning=losses.MM_TUNING,
        ridge=SOLVE_RIDGE,
        **options,
    )
    return stepped


def scale_floor(design: FloatArray, target: FloatArray, beta: FloatArray) -> float:
    """The smallest residual scale that is not rounding: 64 ulps of the largest
    |y| + sum |x_j beta_j| over the rows that beta fits to within FLOOR_ROWS_SLACK
    times that many ulps of their own size.

    A least-squares solve is backward stable, so an exact fit leaves residuals of
    about that size, however ill-conditioned the design (its conditioning shows in
    the size of beta); a scale below it would call rounding errors outliers. Rows
    that the fit misses by far more do not count: a single gross outlier, its |y|
    a trillion times the others', would otherwise raise the floor above the scale
    of every row the fit goes through.
    """
    rounding = 64.0 * float(np.finfo(np.float64).eps)
    magnitude = np.abs(target) + np.abs(design) @ np.abs(beta)
    fitted = np.abs(target - design @ beta) <= FLOOR_ROWS_SLACK * rounding * magnitude
    return rounding * float(np.max(magnitude[fitted], initial=0.0))


# How far beyond rounding a row's residual may lie for scale_floor to count the row:
# generous for an ill-conditioned solve, far below an outlier's residual, which is about
# as large as the row itself.
FLOOR_ROWS_SLACK = 1024.0


# The ridge that the weighted solves add to their normal equations (as korva_core's least
# squares does). On data a polynomial fits to rounding, the S-estimate's scale is the ridge's
# pull on the fitted values (_ridge_pull): at that scale each MM step pulls the fit further
# from the rows than the last, their weights drain away and the fit collapses towards 0. An
# MM step whose residuals' M-scale ends above COLLAPSE_RATIO times its fixed scale (a sound
# one ends near it: the S-estimate's is the least) is taken again at RIDGE_MARGIN times the
# pull; the final step on the residuals then takes the pull away again.
SOLVE_RIDGE = 1e-10
COLLAPSE_RATIO = 10.0
RIDGE_MARGIN = 8.0


# The middle stage of the reweighting on large data: MIDDLE_ROWS_PER_TERM * k^2 random rows
# (k terms) when the search's rows are fewer and all rows are at least MIDDLE_SHARE_BEYOND
# times as many.
MIDDLE_ROWS_PER_TERM = 20
MIDDLE_SHARE_BEYOND = 4
# The slope matrix of Newton's steps over every row comes from SLOPE_ROWS random rows, or
# SLOPE_ROWS_PER_TERM a term where that is more, at most a SLOPE_SHARE_BEYOND-th of all rows,
# when the rows the fit reached it on are fewer. Each step then shrinks the distance to the
# solution by about 2.4 sqrt(k / rows): 0.024 at 4 terms and 0.054 from 20 terms up, where the
# 1000 rows of a search with few terms leave 0.1 to 0.2 and twice as many passes. The part's
# copy of the design stays a small share of the design (90 000 of 1e6 rows at 45 terms).
SLOPE_ROWS = 40_000
SLOPE_ROWS_PER_TERM = 2000
SLOPE_SHARE_BEYOND = 10


@dataclass(frozen=True)
class Rival:
    """Another start nearly as good as the chosen one, whose final fit flags other rows.

    Scales are those of the two starts; rows are rows of the searched set.
    """

    chosen_scale: float
    chosen_flagged: IndexArray
    scale: float
    flagged: IndexArray


@dataclass(frozen=True)
class Estimate:
    """Fitted coefficients in standardised units and what their covariance is taken from:
    the outcome of the robust stages, and of the fits that no robust stage follows."""

    beta: FloatArray
    scale: float  # the M-scale of the final residuals
    fitted: FloatArray  # design @ beta
    n_starts: int
    rival: Rival | None
    # The scale of the bisquare equations the fit solves: the one the reweighting held
    # fixed (for an exact fit, which is not reweighted, the final scale).
    fixed_scale: float
    tuning: float | None  # the cut-off of those bisquare equations; None for least squares
    # The penalty that the final solve adds to its normal equations (None without one).
    penalty: FloatArray | None
    residuals: FloatArray | None = None  # target - fitted, for the fit that uses them
    # Whether the final reweighting settled (see has_settled); None for a fit that ends in no
    # reweighting (least squares, the search alone, an exact fit) and for a screening fit.
    converged: bool | None = None


def final_penalty(
    least_squares: LeastSquares,
    n_terms: int,
    residuals: FloatArray,
    scale: float,
    tuning: float | None,
    weights: FloatArray | None,
) -> FloatArray | None:
    """The penalty of the final solve of ``n_terms`` terms at ``residuals``: the rows' total weight (for the
    bisquare equations of ``tuning`` at ``scale``, their bisquare weights) times the penalty
    per unit of weight; None without penalties."""
    if least_squares.R1 is None and least_squares.R2 is None:
        return None
    if tuning is not None and scale > 0.0:
        row_weights = bisquare_weights(residuals, scale, tuning, weights)
    else:
        row_weights = np.ones(len(residuals)) if weights is None else weights
    return float(row_weights.sum()) * least_squares.penalty(n_terms)


# Two concentrated starts whose scales differ by less than this share make the choice
# between them fragile when their final fits flag different rows; at most
# RIVALS_CHECKED such starts are followed to their final fit.
RIVAL_SCALE_SHARE = 0.03
RIVALS_CHECKED = 3
# ... and when at least RIVAL_ROWS rows that one of them flags lie within CLOSE_SHARE of
# the outlier threshold of the other (one scale, at the default threshold): fits that
# differ on a borderline row or two are not rivals.
RIVAL_ROWS = 2
CLOSE_SHARE = 0.4


def robust_fit(
    design: Design,
    target: FloatArray,
    search_beta: FloatArray,
    least_squares: LeastSquares,
    rng: np.random.Generator,
    *,
    search_rows: IndexArray | None,
    hit_tolerance: float,
    outlier_threshold: float,
    weights: FloatArray | None = None,
    known_scale: float | None = None,
) -> Estimate:
    """Starts, concentration, scale and reweighting (see the module description).

    ``search_beta`` is the MDL search's result on ``search_rows`` (None: every row); the
    starts are chosen on those rows, the scale and the final fit use every row. With the
    errors' scale known, the final bisquare fit holds it fixed instead of the S-estimate's,
    unless the two differ by more than a factor of KNOWN_SCALE_AGREEMENT: errors stated that
    far from what the residuals show would weigh most rows out, or every outlier in.
    """
    k = design.shape[1]
    rows = _Rows.of(design, target, weights, search_rows)
    hits = np.abs(rows.target - rows.design @ search_beta) < hit_tolerance
    starts = [search_beta, least_squares.fit(rows.design, rows.target, rows.weights)]
    if np.count_nonzero(hits) >= k:
        hit_weight = None if rows.weights is None else rows.weights[hits]
        starts.insert(1, least_squares.fit(rows.design[hits], rows.target[hits], hit_weight))
    elemental, n_subsets = elemental_starts(rows.design, rows.target, least_squares, rng, rows.weights)
    ranked = concentrated_starts(rows.design, rows.target, [*starts, *elemental], least_squares, rows.weights)
    ending = _Ending(len(starts) + n_subsets, S_RELATIVE_TOLERANCE, outlier_threshold, known_scale)
    return _fit_from_ranked(design, target, rows, ranked, least_squares, weights, ending, rng)


def screening_fit(
    design: Design,
    target: FloatArray,
    least_squares: LeastSquares,
    rng: np.random.Generator,
    *,
    search_rows: IndexArray | None,
    weights: FloatArray | None = None,
    neighbour: Estimate | None = None,
) -> Estimate:
    """The fit of robust_fit without the MDL search, at a fraction of its cost: how
    degree="auto" sizes up its candidates.

    The starts are least squares, least squares weighted by the final bisquare weights of
    ``neighbour``, another degree's fit (its inliers, a good start when both degrees
    describe the data) and the elemental subsets, as many as robust_fit draws, on a part
    of at most AUTO_SCREENING_ROWS of the searched rows, each solved and ranked by its
    trimmed sum of squares there (AUTO_ELEMENTAL_STEPS concentration steps). All of them
    are concentrated on that part and ranked by their M-scale on every searched row, so
    that a part with many outliers cannot mislead; the best is S-estimated (to
    AUTO_S_RELATIVE_TOLERANCE) and reweighted as in robust_fit, which gives the same fit
    whenever its best start lies in the same valley of the scale. The elemental subsets
    keep the fit high-breakdown. No rival is looked for.
    """
    k = design.shape[1]
    rows = _Rows.of(design, target, weights, search_rows)
    starts = [least_squares.fit(rows.design, rows.target, rows.weights)]
    if neighbour is not None and neighbour.fixed_scale > 0.0:
        fitted = neighbour.fitted if search_rows is None else neighbour.fitted[search_rows]
        kept = bisquare_weights(rows.target - fitted, neighbour.fixed_scale, losses.MM_TUNING, rows.weights)
        if np.count_nonzero(kept) >= k:
            starts.append(least_squares.weighted(rows.design, rows.target, kept))
    n = len(rows.target)
    part = rows if n <= AUTO_SCREENING_ROWS else rows.part(np.sort(rng.choice(n, AUTO_SCREENING_ROWS, replace=False)))
    # Every subset is tried only on every row: on a part, the subsets are random anyway.
    elemental, n_subsets = elemental_starts(
        part.design, part.target, least_squares, rng, part.weights, AUTO_ELEMENTAL_STEPS, part is rows
    )
    ranked = concentrated_starts(part.design, part.target, [*starts, *elemental], least_squares, part.weights)
    if part is not rows:
        ranked = sorted(
            (
                Start(start.beta, residual_scale(rows.target - rows.design @ start.beta, start.scale, rows.weights, k))
                for start in ranked
            ),
            key=lambda start: start.scale,
        )
    ending = _Ending(len(starts) + n_subsets, AUTO_S_RELATIVE_TOLERANCE, None, checks_convergence=False)
    # A screening fit is only sized up, and kept beside the next one: not its residuals.
    return replace(_fit_from_ranked(design, target, rows, ranked, least_squares, weights, ending, rng), residuals=None)


@dataclass(frozen=True)
class _Rows:
    """The rows the starts are chosen on: the searched subsample, or every row."""

    design: FloatArray
    target: FloatArray
    weights: FloatArray | None
    every_row: bool

    @classmethod
    def of(
        cls, design: Design, target: FloatArray, weights: FloatArray | None, search_rows: IndexArray | None
    ) -> _Rows:
        if search_rows is None:
            return cls(stored(design), target, weights, True)
        return cls.taken(design, target, weights, search_rows)

    def part(self, rows: IndexArray) -> _Rows:
        return _Rows.taken(self.design, self.target, self.weights, rows)

    @classmethod
    def taken(cls, design: Design, target: FloatArray, weights: FloatArray | None, rows: IndexArray) -> _Rows:
        """The given rows of the design (stored), the target and the weights."""
        return cls(design[rows], target[rows], None if weights is None else weights[rows], False)


@dataclass(frozen=True)
class _Ending:
    """How a fit ends: the starts it tried, the tolerance of its S-estimate, and the
    outlier threshold of its flags (None: a screening fit, which takes only the best start to
    its valley and looks for no rival)."""

    n_starts: int
    s_tolerance: float
    outlier_threshold: float | None
    known_scale: float | None = None
    checks_convergence: bool = True

    def fixed_scale(self, s_scale: float) -> float:
        """The scale the final bisquare fit holds fixed: the known one where the S-estimate's
        ``s_scale`` agrees with it, else the S-estimate's."""
        known = self.known_scale
        if known is None or not known / KNOWN_SCALE_AGREEMENT <= s_scale <= known * KNOWN_SCALE_AGREEMENT:
            return s_scale
        return known


# A known error scale and the S-estimate's agree within this factor: the S-scale of normal
# residuals is that far off in about one sample in a thousand at 15 rows (its logarithm's
# standard deviation is near 1 / sqrt(0.58 n) at 29 % efficiency).
KNOWN_SCALE_AGREEMENT = 2.0


def _fit_from_ranked(
    design: Design,
    target: FloatArray,
    rows: _Rows,
    ranked: list[Start],
    least_squares: LeastSquares,
    weights: FloatArray | None,
    ending: _Ending,
    rng: np.random.Generator,
) -> Estimate:
    """The S-estimate from the concentrated starts, ``ranked`` by their scale on ``rows``,
    and the MM step (on large data with many terms, first on ``rng``'s rows). A full fit
    (an outlier threshold in ``ending``) takes every start to its valley, keeps the deepest,
    tries the start that its inliers give and looks for a rival; a screening fit settles the
    best start alone."""
    k = design.shape[1]
    best = ranked[0]
    floor = scale_floor(rows.design, rows.target, best.beta)
    if best.scale <= floor:
        return _exact_fit(design, target, best.beta, least_squares, weights, ending.n_starts)
    threshold = ending.outlier_threshold
    if threshold is None:
        settled = s_estimate(rows.design, rows.target, best, least_squares, rows.weights, ending.s_tolerance)
        near, scale = _mm_on_rows(rows, settled, max(ending.fixed_scale(settled.scale), floor), least_squares)
        rival = None
    else:
        valleys = _valleys(rows, ranked, least_squares)
        settled = s_estimate(rows.design, rows.target, valleys[0], least_squares, rows.weights, ending.s_tolerance)
        near, scale = _mm_on_rows(rows, settled, max(ending.fixed_scale(settled.scale), floor), least_squares)
        shared = _from_inliers(rows, near, scale, threshold, least_squares, ending.s_tolerance)
        if shared is not None and shared.scale <= (1.0 + SHARED_VALLEY_SHARE) * settled.scale:
            valleys.insert(0, shared)
            settled = shared
            near, scale = _mm_on_rows(rows, settled, max(ending.fixed_scale(settled.scale), floor), least_squares)
        valleys[0] = settled
        rival = _rival(rows.design, rows.target, rows.weights, valleys, near, least_squares, threshold, floor)
    # The residuals at the S-estimate over every row, whose memory the final residuals reuse.
    reused: FloatArray | None = None
    matrix: FloatArray | None = None
    if rows.every_row:
        beta = near
    else:
        reused = residuals_of(design, target, settled.beta)
        scale = max(ending.fixed_scale(residual_scale(reused, scale, weights, k)), floor)
        near, matrix = _towards_every_row(design, target, rows, near, scale, least_squares, weights, rng)
        beta = reweight(design, target, near, scale, least_squares, weights, refine=True, matrix=matrix)
    fitted = design @ beta
    residuals = np.subtract(target, fitted, out=reused)
    # The final scale: the M-scale of the final residuals. The start's own scale is the
    # smallest among many starts, and so biased low on small samples. A start near an exact
    # fit but not at it leaves no rows fitted to rounding, and so no floor; the final fit
    # may reach it, and its scale must not fall below the rounding of its residuals.
    fixed_scale = scale
    floor = max(floor, scale_floor(rows.design, rows.target, beta))
    scale = max(residual_scale(residuals, scale, weights, k), floor)
    if not rows.every_row and scale > COLLAPSE_RATIO * fixed_scale:
        # The reweighting over every row collapsed as the one on the rows can.
        fixed_scale = max(fixed_scale, RIDGE_MARGIN * _ridge_pull(rows.design, rows.target, settled, rows.weights))
        beta = reweight(design, target, near, fixed_scale, least_squares, weights, refine=True, matrix=matrix)
        fitted = design @ beta
        residuals = np.subtract(target, fitted, out=residuals)
        floor = max(floor, scale_floor(rows.design, rows.target, beta))
        scale = max(residual_scale(residuals, fixed_scale, weights, k), floor)
    penalty = final_penalty(least_squares, k, residuals, fixed_scale, losses.MM_TUNING, weights)
    converged = (
        has_settled(design, target, beta, residuals, fixed_scale, least_squares, weights, penalty)
        if ending.checks_convergence
        else None
    )
    return Estimate(
        beta, scale, fitted, ending.n_starts, rival, fixed_scale, losses.MM_TUNING, penalty, residuals, converged
    )


def _valleys(rows: _Rows, ranked: list[Start], least_squares: LeastSquares) -> list[Start]:
    """Every concentrated start taken towards the bottom of its valley of the scale (to
    VALLEY_S_RELATIVE_TOLERANCE), deepest first; ties keep the order of ``ranked``.

    The start of smallest scale after concentration need not lie in the deepest valley: on
    fits of 7 to 11 terms the deepest came from any place in the ranking, once from a start
    1.8 times the best's scale. As the fast algorithm for S-regression does with its best
    candidates (Salibian-Barrera & Yohai 2006), each is refined, and the deepest goes on."""
    design, target, weights = rows.design, rows.target, rows.weights
    refined = [
        s_estimate(design, target, start, least_squares, weights, VALLEY_S_RELATIVE_TOLERANCE) for start in ranked
    ]
    return sorted(refined, key=lambda start: start.scale)


def _from_inliers(
    rows: _Rows, near: FloatArray, fixed_scale: float, threshold: float, least_squares: LeastSquares, tolerance: float
) -> Start | None:
    """The S-estimate from least squares on the rows that the MM fit ``near`` does not flag
    (within ``threshold`` of the M-scale of its residuals); None when no more than k are left.

    Fits of many terms have several valleys of the scale of nearly the same depth, and which
    one the random starts find depends on the seed. Seeds whose fits flag the same rows share
    this start, a reweighted least squares as in Rousseeuw & Leroy (1987), and where it leads
    about as deep as the valley the starts found or deeper, they end in its valley together:
    degree-8 fits of 120 points with 15 % outliers in one stretch came out the same to the
    bit for 12 seeds with it, and up to 0.8 scales apart in the coefficients without it."""
    design, target, weights = rows.design, rows.target, rows.weights
    k = design.shape[1]
    residuals = residuals_of(design, target, near)
    inliers = np.abs(residuals) <= threshold * residual_scale(residuals, fixed_scale, weights, k)
    kept = inliers.astype(np.float64) if weights is None else weights * inliers
    if np.count_nonzero(kept) <= k:
        return None
    beta = least_squares.weighted(design, target, kept)
    start = Start(beta, residual_scale(target - design @ beta, 0.0, weights, k))
    return s_estimate(design, target, start, least_squares, weights, tolerance)


def has_settled(
    design: Design,
    target: FloatArray,
    beta: FloatArray,
    residuals: FloatArray,
    scale: float,
    least_squares: LeastSquares,
    weights: FloatArray | None,
    penalty: FloatArray | None,
) -> bool:
    """Whether the MM step's equations hold at ``beta`` (whose ``residuals`` are given): one more
    reweighting step from it moves the fitted values, in root mean square over the rows as the
    step weighs them, by at most SETTLED_SHARE of their standard error, about scale sqrt(k / N)
    (the mean leverage is k / N). Its steps stop well within that (at
    REWEIGHTING_RELATIVE_TOLERANCE scales) unless MAX_REWEIGHTING_STEPS run out first.

    Two native passes over the rows: the step, and the weighted Gram matrix G that measures it.
    The native step solves (G + P + ridge I) b = X' W y; the step without the ridge, (G + P)^-1
    X' W y, is b + ridge (G + P)^-1 b, where the ridge's pull alone would be many scales on data
    fitted nearly to rounding. The fit stays as it is."""
    step = _bisquare_steps(design, target, beta, scale, least_squares, weights, max_steps=1, tolerance=0.0)
    moments = _robust.bisquare_moments(design, residuals, scale, losses.MM_TUNING, weights)
    system = moments.gram if penalty is None else moments.gram + penalty
    move = step + SOLVE_RIDGE * _batched_solve(system[None], step[None])[0] - beta
    mean_square = float(move @ (moments.gram @ move)) / moments.weight if moments.weight > 0.0 else math.inf
    return mean_square <= (SETTLED_SHARE * scale) ** 2 * len(beta) / moments.total


# A fit whose next reweighting step moves its fitted values by at most this share of their
# standard error has settled. Measured: 1e-13 to 3e-7 of it on clean and contaminated fits of
# 200 to 1 000 000 rows, up to degree 10 and with penalties; 6e-9 to 0.09 on fits whose noise is
# 1e-10 of y, where the steps stop short: their tolerance lies below the rounding of the
# solves, and plain steps from there go on shrinking the move tenfold each.
SETTLED_SHARE = 0.01


def _exact_fit(
    design: Design,
    target: FloatArray,
    start: FloatArray,
    least_squares: LeastSquares,
    weights: FloatArray | None,
    n_starts: int,
) -> Estimate:
    """The fit from a start that fits every point to rounding: nothing to reweight, and
    weights at a scale of rounding would only drop points the fit goes through. The solve
    reads a stored design."""
    full = stored(design)
    beta = least_squares.refine(full, target, start, weights)
    fitted = full @ beta
    residuals = target - fitted
    scale = max(residual_scale(residuals, 0.0, weights, len(beta)), scale_floor(full, target, beta))
    penalty = final_penalty(least_squares, len(beta), residuals, scale, losses.MM_TUNING, weights)
    return Estimate(beta, scale, fitted, n_starts, None, scale, losses.MM_TUNING, penalty, residuals)


def _mm_on_rows(rows: _Rows, settled: Start, scale: float, least_squares: LeastSquares) -> tuple[FloatArray, float]:
    """The MM step on ``rows`` from the S-estimate at ``scale``, taken again at the ridge's
    pull should it collapse: its coefficients and the scale it held fixed.

    On a subsample this reweighting leaves the passes over every point only the last few
    steps to go. The final reweighting ends in a step on the residuals, which brings an
    exact fit to the rows it keeps down to the rounding of evaluating the polynomial."""
    design, target, weights = rows.design, rows.target, rows.weights
    near = reweight(design, target, settled.beta, scale, least_squares, weights, refine=rows.every_row)
    if residual_scale(residuals_of(design, target, near), scale, weights, design.shape[1]) > COLLAPSE_RATIO * scale:
        scale = max(scale, RIDGE_MARGIN * _ridge_pull(design, target, settled, weights))
        near = reweight(design, target, settled.beta, scale, least_squares, weights, refine=rows.every_row)
    return near, scale


def _towards_every_row(
    design: Design,
    target: FloatArray,
    rows: _Rows,
    near: FloatArray,
    scale: float,
    least_squares: LeastSquares,
    weights: FloatArray | None,
    rng: np.random.Generator,
) -> tuple[FloatArray, FloatArray | None]:
    """From the MM step on the search's rows towards the one over every row: the coefficients
    to start it from and the slope matrix of its Newton's steps (None with a penalty).

    With many terms the search's rows leave the fit far from where every row takes it; a
    larger random part of the rows takes it most of the way first. Newton's steps over
    every row take their slope matrix from the part, scaled up to all rows: each step then
    reads the rows only for the gradient."""
    k = design.shape[1]
    part_design, part_target, part_weight = rows.design, rows.target, rows.weights
    middle = MIDDLE_ROWS_PER_TERM * k * k
    if len(rows.target) < middle and MIDDLE_SHARE_BEYOND * middle <= len(target):
        part_design, part_target, part_weight = _random_part(design, target, weights, middle, rng)
        near = reweight(part_design, part_target, near, scale, least_squares, part_weight)
    if least_squares.penalty(k).any():
        return near, None
    slope_rows = min(max(SLOPE_ROWS, SLOPE_ROWS_PER_TERM * k), len(target) // SLOPE_SHARE_BEYOND)
    if len(part_target) < slope_rows:
        part_design, part_target, part_weight = _random_part(design, target, weights, slope_rows, rng)
    residuals = residuals_of(part_design, part_target, near)
    moments = _robust.bisquare_moments(part_design, residuals, scale, losses.MM_TUNING, part_weight, slopes=True)
    total = float(len(target)) if weights is None else float(weights.sum())
    return near, moments.gram * (total / moments.total)


def _ridge_pull(design: FloatArray, target: FloatArray, start: Start, weights: FloatArray | None) -> float:
    """How far the ridge of the weighted solves pulls the fitted values at ``start``: the
    largest |x_i . d| over the rows the MM step weighs, d = ridge (X^T W X + ridge I)^-1 beta,
    with the bisquare weights W of the MM step at the start's scale. On data a polynomial
    fits to rounding, the S-estimate's scale is this pull and no more. Rows of weight 0 do
    not count: they do not move the steps, and where the weighed rows leave a direction
    nearly free (a high degree), the pull on a row far along it is large and harmless."""
    if start.scale == 0.0:
        return 0.0
    k = design.shape[1]
    row_weights = bisquare_weights(residuals_of(design, target, start.beta), start.scale, losses.MM_TUNING, weights)
    weighed = row_weights > 0.0
    gram = (design[weighed] * row_weights[weighed, None]).T @ design[weighed] + SOLVE_RIDGE * np.eye(k)
    pull = _batched_solve(gram[None], SOLVE_RIDGE * start.beta[None])[0]
    return float(np.max(np.abs(design[weighed] @ pull), initial=0.0))


def _random_part(
    design: Design, target: FloatArray, weights: FloatArray | None, count: int, rng: np.random.Generator
) -> tuple[FloatArray, FloatArray, FloatArray | None]:
    """``count`` rows drawn at random without repeats, in their order in the data."""
    part = np.sort(rng.choice(len(target), count, replace=False))
    return design[part], target[part], None if weights is None else weights[part]


def _rival(
    design: FloatArray,
    target: FloatArray,
    weights: FloatArray | None,
    ranked: list[Start],
    final: FloatArray,
    least_squares: LeastSquares,
    threshold: float,
    floor: float,
) -> Rival | None:
    """A start within RIVAL_SCALE_SHARE of the winner's scale whose final fit is another
    curve, parting from the chosen one by more than the outlier threshold somewhere on
    the data, and flags rows that the chosen fit fits well or the reverse; None when
    the choice is clear. Near-equal fits on clean data differ only on borderline rows,
    and do not count."""
    best = ranked[0]
    best_scale = max(best.scale, floor)
    flagged = _flagged(design, target, final, best_scale, threshold)
    start_flagged = _flagged(design, target, best.beta, best_scale, threshold)
    close = [start for start in ranked[1:] if start.scale <= (1.0 + RIVAL_SCALE_SHARE) * best.scale]
    # Starts that flag what the chosen start flags are the same fit, reached again.
    different = [
        start
        for start in close
        if not np.array_equal(_flagged(design, target, start.beta, best_scale, threshold), start_flagged)
    ]
    for start in different[:RIVALS_CHECKED]:
        scale = max(start.scale, floor)
        other = reweight(design, target, start.beta, scale, least_squares, weights)
        other_residuals = target - design @ other
        if residual_scale(other_residuals, scale, weights, design.shape[1]) > COLLAPSE_RATIO * scale:
            continue  # its weights drained away at a scale of the solves' ridge: no fit at all
        others = np.flatnonzero(np.abs(other_residuals) > threshold * scale)
        parting = float(np.max(np.abs(design @ (final - other)), initial=0.0))
        if parting <= threshold * max(best_scale, scale):
            continue
        # Rows one fit flags and the other fits well (within CLOSE_SHARE of the threshold).
        disputed = np.setxor1d(flagged, others)
        near_chosen = np.abs(target[disputed] - design[disputed] @ final) <= CLOSE_SHARE * threshold * best_scale
        near_other = np.abs(target[disputed] - design[disputed] @ other) <= CLOSE_SHARE * threshold * scale
        if np.count_nonzero(near_chosen | near_other) >= RIVAL_ROWS:
            return Rival(best.scale, flagged, start.scale, others)
    return None


def _flagged(design: FloatArray, target: FloatArray, beta: FloatArray, scale: float, threshold: float) -> IndexArray:
    flagged: IndexArray = np.flatnonzero(np.abs(target - design @ beta) > threshold * scale)
    return flagged


def description_length(residuals: FloatArray, scale: float, n_terms: int, weights: FloatArray | None = None) -> float:
    """A two-part description length in nats of a fit with ``n_terms`` coefficients.

    The residuals cost the bisquare loss in units of ``scale``, shaped like the normal
    code u^2 / 2 for small residuals and capped at c^2 / 6 for outliers, so that gross
    outliers cannot decide between models; each coefficient costs ln(n) / 2 (n the
    total weight). With one ``scale`` for every candidate this is a robust form of
    the Bayesian information criterion.
    """
    cap = losses.EFFICIENT_TUNING**2 / 6.0
    with np.errstate(over="ignore"):  # a gross outlier may be inf scales off: it costs the cap all the same
        loss = losses.rho(residuals / scale, losses.EFFICIENT_TUNING)
    mass = float(residuals.size) if weights is None else float(weights.sum())
    # A product and NumPy's sum rather than a vector product, which the BLAS would split
    # between its threads: the length must not depend on the thread count.
    data = cap * float(np.sum(loss) if weights is None else np.multiply(weights, loss).sum())
    return data + 0.5 * n_terms * math.log(mass)
