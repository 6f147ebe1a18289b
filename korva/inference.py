"""How sure a fit is: coefficient covariances, degrees of freedom, noise scale, the polynomial in x.

Plain functions over NumPy arrays, which the fitting stage calls once at the end of a fit:

- the covariance of the coefficients of the final bisquare fit (an M-estimator at a fixed
  scale) by the sandwich of its estimating equations, with Huber's small-sample factor;
  of least squares and penalised least squares by the same sandwich with psi(u) = u;
- the degrees of freedom of its t quantiles: Satterthwaite's, from the spread of that
  covariance's own estimate;
- a noise scale of the inlying residuals, for intervals of new observations;
- the linear map from coefficients in the mapped inputs t = (x - middle) / half to
  coefficients in x.

The distributions are korva.distributions', the coefficient tables korva.summary's.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from korva import _robust, losses
from korva.bases import Design, nonzero_columns, row_parts
from korva.distributions import normal_cdf, normal_pdf, normal_quantile
from korva.robust import Estimate

# The name that PolynomialMDLRegressor.summary() documents for its report.
from korva.summary import Summary as Summary

FloatArray = NDArray[np.float64]
IndexArray = NDArray[np.intp]

# ---------------------------------------------------------------- covariance


def coefficient_covariance(
    design: Design,
    residuals: FloatArray,
    scale: float,
    tuning: float | None,
    weights: FloatArray | None = None,
    penalty: FloatArray | None = None,
    known: tuple[float, float, float] | None = None,
    moments: _robust.BisquareMoments | None = None,
) -> FloatArray:
    """The covariance of coefficients that solve sum_i c_i psi(r_i / s) x_i = P beta / s.

    For an M-estimator at a fixed scale s (the bisquare fit with cut-off ``tuning``; least
    squares, psi(u) = u, for None) the sandwich of these estimating equations, with the sums of psi^2 and psi' over the
    rows replaced by their means times the weighted Gram matrix G = X' diag(c w) X (errors
    independent of x, as Huber's small-sample form has it):

        K^2 s^2 [sum c psi^2 / (N_in - k)] (N_in / N) / mean(w) * B^-1 G B^-1,
        B = mean(psi') / mean(w) G + P,

    with case weights c (a row of weight 2 counts twice), N = sum c, N_in the weight of the
    rows that the fit uses (w > 0; every row for least squares), k terms, means over all N
    weighted by c, K = 1 + (k / N) var(psi') / mean(psi')^2, and P the penalty matrix that the
    fit adds to its normal equations X' W X + P. Only the N_in rows in use lose degrees of
    freedom to the fit, hence the N_in - k divisor. Without a penalty this is Huber's form with
    X' X replaced by G / mean(w), so rows that the fit lets go do not count as leverage; for
    least squares it is s^2 (X' X)^-1 with s^2 = RSS / (N - k). With a penalty it is the
    covariance of the penalised estimator about its own (shrunk) mean; the residuals then
    include the penalty's bias, which errs on the wide side.

    Errors of a known scale s give ``known``, the expectations of psi^2, psi' and psi'^2 of a
    normal error at that scale (see normal_moments), in place of the means over the rows (in
    K too), with no loss of degrees of freedom: nothing of the spread is estimated. (Without K,
    300 fits of 10 terms to 40 rows spread 1.2 times as much as the covariance said.)

    Coefficients of columns that are 0 on every row (an input constant in training) are
    not determined by the data: their rows and columns are NaN, as is every entry when the
    others are not determined either, or N_in <= k, or mean(psi') <= 0. ``moments``: those of
    bisquare_moments, when the caller has them.
    """
    n_terms = design.shape[1]
    covariance = np.full((n_terms, n_terms), np.nan)
    if moments is None:
        moments = bisquare_moments(design, residuals, scale, tuning, weights)
    full_gram, total, in_use = moments.gram, moments.total, moments.in_use
    if scale == 0.0:
        # An exact fit to every row: nothing varies, where the rows determine the coefficients
        # and leave residual freedom to say so.
        active = np.diag(full_gram) != 0.0
        if total <= n_terms or _inverse(full_gram[np.ix_(active, active)]) is None:
            return covariance
        covariance[np.ix_(active, active)] = 0.0
        return covariance
    mean_slope, mean_weight = moments.slope / total if known is None else known[1], moments.weight / total
    if in_use <= n_terms or not mean_slope > 0.0 or not mean_weight > 0.0:
        return covariance
    if known is None:
        slope_variance = max(moments.slope_square / total - mean_slope**2, 0.0)
        mean_psi_squared = moments.psi_square / (in_use - n_terms) * in_use / total
    else:
        slope_variance = max(known[2] - mean_slope**2, 0.0)
        mean_psi_squared = known[0]
    huber_factor = 1.0 + n_terms / total * slope_variance / mean_slope**2
    meat_scale = huber_factor**2 * scale**2 * mean_psi_squared / mean_weight
    active = np.flatnonzero(nonzero_columns(design)) if (np.diag(full_gram) == 0.0).any() else np.arange(n_terms)
    gram = full_gram[np.ix_(active, active)]
    bread = mean_slope / mean_weight * gram
    if penalty is not None:
        bread = bread + penalty[np.ix_(active, active)]
    inverse = _inverse(bread)
    if inverse is None:
        return covariance
    part = meat_scale * _product(_product(inverse, gram), inverse)
    covariance[np.ix_(active, active)] = 0.5 * (part + part.T)
    return covariance


def bisquare_moments(
    design: Design, residuals: FloatArray, scale: float, tuning: float | None, weights: FloatArray | None
) -> _robust.BisquareMoments:
    """The weighted Gram matrix X' diag(c w) X of the bisquare fit at ``scale`` (of least squares,
    w = 1, for None; a scale of 0 taken as 1) and the sums over the residuals that its covariance
    needs: one native pass over the rows for the matrix, one over the residuals for the sums. A
    column that is 0 on every row has a 0 diagonal."""
    return _robust.bisquare_moments(
        design, residuals, scale if scale > 0.0 else 1.0, math.inf if tuning is None else tuning, weights
    )


def condition_number(gram: FloatArray) -> float:
    """The condition number of a design X from its Gram matrix G = X' X (with the rows weighted
    as G weighs them): sqrt(largest / smallest eigenvalue of G), over the columns that are not
    0 on every row (the terms of an input constant in training are left out). Infinite where G
    is singular to rounding (its smallest eigenvalue at most k eps times its largest, where
    the covariance's inverse gives up too), NaN without columns.

    G's eigenvalues carry an error of about k eps times the largest, so the condition number
    of X shows up to about 1 / sqrt(k eps), 1e7 at 10 terms: beyond that its square leaves
    float64's digits, as it does for the normal equations of the fit."""
    active = np.diag(gram) != 0.0
    if not active.any():
        return math.nan
    smallest, largest = _extreme_eigenvalues(gram[np.ix_(active, active)])
    if not smallest > int(active.sum()) * np.finfo(np.float64).eps * largest:
        return math.inf
    return math.sqrt(largest / smallest)


def _extreme_eigenvalues(matrix: FloatArray) -> tuple[float, float]:
    """The smallest and the largest eigenvalue of a symmetric matrix: Householder's reduction to
    a tridiagonal matrix of the same eigenvalues, then bisection by Sturm counts (Golub & Van
    Loan, Matrix Computations, 8.3 and 8.4), in elementwise arithmetic (see _product)."""
    work = np.array(matrix, dtype=np.float64)
    size = len(work)
    off_diagonal = np.zeros(max(size - 1, 0))
    for column in range(size - 2):
        below = work[column + 1 :, column]
        norm = math.sqrt(float((below * below).sum()))
        if norm == 0.0:
            continue
        alpha = -math.copysign(norm, float(below[0]))
        v = below.copy()
        v[0] -= alpha
        factor = 2.0 / float((v * v).sum())
        # H A H with H = I - factor v v': A - v q' - q v', p = factor A v, q = p - (factor v'p / 2) v.
        rest = work[column + 1 :, column + 1 :]
        p = factor * np.einsum("ij,j->i", rest, v)
        q = p - (0.5 * factor * float((v * p).sum())) * v
        rest -= v[:, None] * q[None, :] + q[:, None] * v[None, :]
        off_diagonal[column] = alpha
    if size >= 2:
        off_diagonal[-1] = work[-1, -2]
    diagonal = np.diag(work).tolist()
    squares = (off_diagonal * off_diagonal).tolist()
    reach = np.abs(off_diagonal)
    radius = np.concatenate([[0.0], reach]) + np.concatenate([reach, [0.0]])
    low, high = float(np.min(np.diag(work) - radius)), float(np.max(np.diag(work) + radius))
    pivot_floor = np.finfo(np.float64).tiny * max(max(squares, default=0.0), 1.0)

    def below_count(shift: float) -> int:
        # The negative pivots of the LDL' factorisation of T - shift I: its eigenvalues below shift.
        count, pivot = 0, 1.0
        for i, entry in enumerate(diagonal):
            pivot = entry - shift - (squares[i - 1] / pivot if i else 0.0)
            if abs(pivot) < pivot_floor:
                pivot = -pivot_floor
            if pivot < 0.0:
                count += 1
        return count

    def bisected(rank: int) -> float:
        # The rank-th smallest eigenvalue (from 1): where the count below reaches rank.
        lower, upper = low, high
        for _ in range(EIGENVALUE_BISECTIONS):
            middle = lower / 2.0 + upper / 2.0
            if not lower < middle < upper:
                break
            if below_count(middle) >= rank:
                upper = middle
            else:
                lower = middle
        return upper

    return bisected(1), bisected(size)


# Bisection halves a Gershgorin interval this many times at most: enough for an eigenvalue
# 1e-16 times the interval's width to its own last bits.
EIGENVALUE_BISECTIONS = 200


def noise_agrees(measured: float, df: float) -> bool:
    """Whether a noise scale measured in units of errors stated as known is consistent with 1:
    within NOISE_AGREEMENT_Z standard errors of its logarithm, about sqrt(1 / (2 df)) for the
    root mean square of df normal residuals, widened by NOISE_SCALE_VARIANCE_FACTOR for the
    truncation at 3 scales; NaN (too few inliers) says nothing against them."""
    if not (math.isfinite(measured) and df > 0):
        return True
    return abs(math.log(measured)) <= NOISE_AGREEMENT_Z * math.sqrt(NOISE_SCALE_VARIANCE_FACTOR / (2.0 * df))


# A false alarm once in about a thousand fits of errors stated rightly (two-sided 0.1 %).
NOISE_AGREEMENT_Z = 3.29
# The variance of the log noise scale of normal residuals truncated at 2.5 scales, over that of
# their plain root mean square (measured: 1.2 to 1.5 at 30 to 500 rows), rounded up.
NOISE_SCALE_VARIANCE_FACTOR = 1.5


def consistent_covariance(
    design: Design,
    residuals: FloatArray,
    scale: float,
    tuning: float | None,
    weights: FloatArray | None = None,
    penalty: FloatArray | None = None,
) -> FloatArray:
    """The covariance of the same coefficients as coefficient_covariance, consistent where the
    errors' spread differs from row to row: the sandwich of the estimating equations with each
    row's own psi^2 (Croux, Dhaene & Hoorelbeke 2003), widened by the leverage of the row as
    in HC3 (MacKinnon & White 1985),

        s^2 B^-1 M B^-1,  B = sum c psi'(u) x x' + P,  M = sum c psi(u)^2 / (1 - h)^2 x x',

    u = r / s, h = w x' (sum c w x x' + P)^-1 x the row's leverage in the fit's own weights w
    (psi(u) / u), and for least squares (None) psi(u) = u, s = 1. A row of leverage 1 has no
    residual, and adds nothing to M. Columns that are 0 on every row, and every entry when B
    is singular or the rows in use (w > 0, counted by c) are no more than the terms, are NaN.
    """
    n_terms = design.shape[1]
    covariance = np.full((n_terms, n_terms), np.nan)
    active = np.flatnonzero(nonzero_columns(design))
    if not active.size or not scale > 0.0:
        return covariance
    u = residuals / scale
    fit_weight = _fit_weights(u, tuning)
    if tuning is None:
        slope, psi = np.ones_like(u), u
    else:
        slope, psi = losses.psi_slope(u, tuning), losses.psi(u, tuning)
    counts = np.ones_like(u) if weights is None else weights
    # No more rows in use than terms: each residual is rounding, over 1 - h, h = 1 to rounding.
    if weighted_total((fit_weight > 0.0).astype(np.float64), weights) <= n_terms:
        return covariance
    extra = None if penalty is None else penalty[np.ix_(active, active)]
    gram_inverse = _inverse(_weighted_gram(design, active, counts * fit_weight, extra))
    bread_inverse = _inverse(_weighted_gram(design, active, counts * slope, extra))
    if gram_inverse is None or bread_inverse is None:
        return covariance
    meat = np.zeros((active.size, active.size))
    for (rows, part), leverage in zip(design_parts(design), _leverages(design, active, fit_weight, gram_inverse)):
        x = part[:, active]
        with np.errstate(divide="ignore", invalid="ignore"):
            share = np.where(leverage < 1.0, psi[rows] / (1.0 - leverage), 0.0)
        meat += _product(x.T, x * (counts[rows] * share * share)[:, None])
    part = scale * scale * _product(_product(bread_inverse, meat), bread_inverse)
    covariance[np.ix_(active, active)] = 0.5 * (part + part.T)
    return covariance


def decisive_rows(
    design: Design,
    fit_weight: FloatArray,
    weights: FloatArray | None,
    active: IndexArray,
    gram_inverse: FloatArray | None,
) -> IndexArray:
    """The rows whose leverage in the fit's own weights ``fit_weight`` (see consistent_covariance),
    from the inverse of the fit's Gram matrix X' diag(c w) X + P over the ``active`` columns (None:
    singular), is at least DECISIVE_LEVERAGE: each alone sets a direction of the coefficients,
    which the fit follows through it whatever its y, so that its residual says nothing and it is
    never an outlier."""
    if not active.size or gram_inverse is None:
        return np.zeros(0, dtype=np.intp)
    counts = np.ones_like(fit_weight) if weights is None else weights
    found = [
        rows.start + np.flatnonzero(counts[rows] * leverage >= DECISIVE_LEVERAGE)
        for (rows, _), leverage in zip(design_parts(design), _leverages(design, active, fit_weight, gram_inverse))
    ]
    decisive: IndexArray = np.concatenate(found)
    return decisive


# A row of at least this leverage carries the fit with it: the fit moves by 0.99 of any change in its y.
DECISIVE_LEVERAGE = 0.99


def _fit_weights(u: FloatArray, tuning: float | None) -> FloatArray:
    """The weights w = psi(u) / u of the fit's last solve: the bisquare's, or 1 for least squares."""
    return np.ones_like(u) if tuning is None else losses.weights(u, tuning)


def _weighted_gram(design: Design, active: IndexArray, row_weights: FloatArray, extra: FloatArray | None) -> FloatArray:
    """X' diag(row_weights) X over the active columns, plus ``extra`` (a penalty)."""
    gram = np.zeros((active.size, active.size)) if extra is None else extra.copy()
    for rows, part in design_parts(design):
        x = part[:, active]
        gram += _product(x.T, x * row_weights[rows][:, None])
    return gram


def _leverages(
    design: Design, active: IndexArray, fit_weight: FloatArray, gram_inverse: FloatArray
) -> Iterator[FloatArray]:
    """Each row's leverage w x' G^-1 x, a part of the rows at a time (those of design_parts)."""
    for rows, part in design_parts(design):
        x = part[:, active]
        yield fit_weight[rows] * np.einsum("ij,jk,ik->i", x, gram_inverse, x)


def design_parts(design: Design) -> Iterator[tuple[slice, FloatArray]]:
    """The design's rows a part at a time, with where they lie: a stored one whole."""
    if isinstance(design, np.ndarray):
        yield slice(0, design.shape[0]), design
        return
    yield from row_parts(design)


def singular_design(design: Design, weights: FloatArray | None = None) -> bool:
    """Whether the rows leave a combination of the coefficients of the design's nonzero
    columns free: its (case-weighted) Gram matrix is singular."""
    gram = _robust.bisquare_moments(design, np.zeros(design.shape[0]), 1.0, math.inf, weights).gram
    active = np.diag(gram) != 0.0
    return _inverse(gram[np.ix_(active, active)]) is None


# NumPy's matrix products and linear algebra call OpenBLAS, which allocates a work buffer on
# first use and ends the process when that fails (under a limit on the address space, say);
# einsum and elementwise arithmetic do not, so that a fit there raises MemoryError instead.


def _product(left: FloatArray, right: FloatArray) -> FloatArray:
    product: FloatArray = np.einsum("ij,jk->ik", left, right)
    return product


def _inverse(matrix: FloatArray) -> FloatArray | None:
    """The inverse by Gauss-Jordan elimination with partial pivoting; None when singular.

    A pivot below k * eps times the largest entry counts as 0.
    """
    size = len(matrix)
    work = np.hstack([matrix, np.eye(size)])
    negligible = size * np.finfo(np.float64).eps * float(np.max(np.abs(matrix), initial=0.0))
    for column in range(size):
        pivot = column + int(np.argmax(np.abs(work[column:, column])))
        if not abs(work[pivot, column]) > negligible:  # NaN too
            return None
        work[[column, pivot]] = work[[pivot, column]]
        work[column] /= work[column, column]
        factors = work[:, column].copy()
        factors[column] = 0.0
        work -= factors[:, None] * work[column]
    inverse: FloatArray = work[:, size:]
    return inverse


def weighted_total(values: FloatArray, weights: FloatArray | None) -> float:
    """sum(weights * values), or sum(values) without weights, in NumPy's own summation: the
    same for any number of threads, where a vector product would go to the BLAS, which
    splits long sums between its threads."""
    return float(values.sum() if weights is None else np.multiply(weights, values).sum())


# The most rows in use that robust_degrees_of_freedom takes its moments from.
DF_MOMENT_ROWS = 20_000


def robust_degrees_of_freedom(
    residuals: FloatArray,
    scale: float,
    tuning: float,
    scale_tuning: float,
    n_terms: int,
    weights: FloatArray | None = None,
) -> float:
    """Satterthwaite's degrees of freedom of the bisquare fit's covariance, (N_in - k) 2 / V,
    at most N_in - k.

    The covariance is s^2 mean(psi^2) / mean(psi')^2 times a matrix of the design: a
    variance estimate that, like s^2 for least squares, has a chi^2 / df spread with
    df = 2 / var(ln T), T = s^2 mean(psi^2) / mean(psi')^2. To first order ln T moves by
    the mean over the N_in rows in use (|u| below ``tuning``; gross outliers stay let go
    and add nothing) of

        (psi^2 / A - 1) - 2 (psi' / B - 1) + (2 + a - 2 b) (rho(u) - mean rho) / mean(rho'(u) u),

    with A = mean(psi^2), B = mean(psi'), a and b the slopes of ln A and ln B in ln s
    (a = -2 mean(psi psi' u) / A, b = -mean(psi'' u) / B), and the last term the move of
    the scale s, a biweight M-scale (loss rho with cut-off ``scale_tuning``, rising from 0
    to 1), which the residuals carry with them. V is the mean square of that expression:
    var(ln T) = V / N_in. With psi(u) = u and normal errors V = 2, and (N_in - k) 2 / V is
    the N - k of least squares; at 85 % efficiency and normal errors V is near 2.7 (the
    slope psi' changes sign at c / sqrt(5)), and on a small sample it is large where several
    residuals lie near or past that point: there the covariance rests on a few of them.
    u = r / scale are the residuals in units of the scale (0 for every row when the scale
    is 0); N_in - k when the moments leave V undefined (an exact fit, no slope), and 0 when
    N_in <= k.
    """
    # V is a mean over the rows in use; on large data evenly spaced rows estimate it well
    # enough (20 000 rows: V within about 1 %, a t quantile at such degrees of freedom
    # within 1e-6) at a fraction of the cost. Two native passes find the rows in use, count
    # them, then take every step-th; no array as long as the data is made.
    rows = _robust.rows_within(residuals, scale, tuning, DF_MOMENT_ROWS, weights)
    in_use, sample = rows.weight, rows.sample
    residual_freedom = in_use - n_terms
    if residual_freedom <= 0:  # no more rows in use than terms: no freedom, whatever V says
        return 0.0
    u = residuals[sample] / scale if scale > 0.0 else np.zeros(sample.size)
    c = None if weights is None else weights[sample]
    sample_mass = float(u.size if c is None else c.sum())
    psi = losses.psi(u, tuning)
    slope = losses.psi_slope(u, tuning)
    loss, loss_slope = losses.rho_moments(u, scale_tuning)

    def mean(values: FloatArray) -> float:
        return weighted_total(values, c) / sample_mass if sample_mass > 0.0 else math.nan

    psi_squared, mean_slope, scale_slope = mean(psi * psi), mean(slope), mean(loss_slope)
    if not (psi_squared > 0.0 and mean_slope > 0.0 and scale_slope > 0.0):
        return residual_freedom
    a = -2.0 * mean(psi * slope * u) / psi_squared
    b = -mean(losses.psi_curvature_moment(u, tuning)) / mean_slope
    moves = (
        psi * psi / psi_squared
        - 2.0 * slope / mean_slope
        + 1.0
        + (2.0 + a - 2.0 * b) * (loss - mean(loss)) / scale_slope
    )
    spread = mean(moves * moves)
    if not (math.isfinite(spread) and spread > 0.0):
        return residual_freedom
    # V comes from the fit's own residuals, which the k fitted directions shrink, and on a
    # few rows it often falls below least squares' 2 (a sample's kurtosis is biased low);
    # a robust fit is never taken to be surer than least squares on the rows it uses.
    return min(residual_freedom * 2.0 / spread, residual_freedom)


# noise_scale's inliers lie within this many scales. Beyond 2.5 the normal has 1.2 % of its
# rows, and moderate one-sided outliers begin: at 3 scales the steps took them in and rose
# with them. The price is efficiency: on clean normal data the scale spreads 1.07 to 1.2
# times as much as at 3 scales.
NOISE_CLIP = 2.5


def noise_scale(
    residuals: FloatArray, scale: float, n_terms: int, weights: FloatArray | None = None, clip: float = NOISE_CLIP
) -> float:
    """The standard deviation of the inlying residuals: what a new inlier's error spreads by.

    Residuals within ``clip`` scales are the inliers; their root mean square with an
    N_in - k divisor, divided by the standard deviation of a normal variable truncated at
    +-clip, is the next scale; repeated from the fit's ``scale`` until the inliers stop
    changing. Unlike a high-breakdown scale it does not grow with the share of gross
    outliers; moderate ones that crowd one side of the fit do reach it (30 % of outliers 3
    to 8 noise levels off gave 3 times the noise at a clip of 3, 1.2 to 1.3 times it at
    2.5). NaN when no more than k rows are inliers.
    """
    truncated_variance = 1.0 - 2.0 * clip * normal_pdf(clip) / (1.0 - 2.0 * normal_cdf(-clip))
    truncation = (clip, truncated_variance)
    if scale > 0.0:
        limits = (scale / NOISE_BAND_WIDTH, scale * NOISE_BAND_WIDTH)
        banded = _noise_steps(residuals, weights, scale, n_terms, truncation, limits)
        if banded is not None:
            return banded
    found = _noise_steps(residuals, weights, scale, n_terms, truncation, None)
    assert found is not None, "the steps over every row have no limits to leave"
    return found


# noise_scale stops after this many steps, should its inliers never settle.
MAX_NOISE_STEPS = 200
# noise_scale's steps look only at the residuals between clip / BAND and clip * BAND times
# the start while the scale stays within that band; far fewer rows than all on large data.
NOISE_BAND_WIDTH = 2.0


def _noise_steps(
    residuals: FloatArray,
    weights: FloatArray | None,
    start: float,
    n_terms: int,
    truncation: tuple[float, float],
    limits: tuple[float, float] | None,
) -> float | None:
    """The steps of noise_scale from ``start``; ``truncation`` is its clip and the variance
    of the normal truncated there.

    Rows within clip * low scales are inliers at every scale of the limits (low, high) and
    rows beyond clip * high at none, so each step counts only the rows between; None when
    the scale leaves the limits. No limits: every row, every step. One native pass sums
    the sure rows and sizes the band, another gathers the rows between.
    """
    clip, truncated_variance = truncation
    low, high = limits if limits is not None else (0.0, math.inf)
    band = _robust.residual_band(residuals, clip * low, clip * high, weights)
    sure_mass, sure_squares, near, near_weights = (
        band.inner_weight,
        band.inner_squares,
        band.between,
        band.between_weights,
    )
    near_squares = near * near if near_weights is None else near * near * near_weights
    scale = start
    inliers: NDArray[np.bool_] | None = None
    for _ in range(MAX_NOISE_STEPS):
        if not low <= scale <= high:
            return None
        chosen = near <= clip * scale
        if inliers is not None and np.array_equal(chosen, inliers):
            break
        inliers = chosen
        mass = np.count_nonzero(chosen) if near_weights is None else near_weights.sum(where=chosen)
        dof = sure_mass + float(mass) - n_terms
        if dof <= 0.0:
            return math.nan
        scale = math.sqrt((sure_squares + float(near_squares.sum(where=chosen))) / dof / truncated_variance)
    return scale


# ---------------------------------------------------------------- a spread that varies


@dataclass(frozen=True)
class SpreadTrend:
    """The plainest way in which the size of the residuals follows something: the Spearman
    rank correlation of |u| / sqrt(1 - h) (the inliers' residuals in units of the scale,
    studentised by their leverage h) with ``along`` ("the fitted value", "leverage" or an
    input's name), over ``rows`` rows."""

    along: str
    correlation: float
    rows: int


def spread_trend(
    design: Design,
    residuals: FloatArray,
    fitted: FloatArray,
    inputs: FloatArray,
    limit: float,
    weights: FloatArray | None,
    names: Sequence[str],
) -> SpreadTrend | None:
    """Whether the residuals within ``limit`` spread plainly more along the fitted value, the
    leverage or an input: the strongest of those rank correlations when it passes both
    SPREAD_TREND_Z (Bonferroni over the m tried: a false alarm in about SPREAD_TREND_ALPHA of
    fits of constant spread) and SPREAD_TREND_FLOOR, else None. Taken on at most
    SPREAD_TREND_ROWS evenly spaced inliers."""
    rows = _robust.rows_within(residuals, limit, 1.0, SPREAD_TREND_ROWS, weights)
    sample = rows.sample
    if weights is not None:
        sample = sample[weights[sample] > 0.0]
    if sample.size < SPREAD_TREND_MIN_ROWS:
        return None
    # The Gram matrix of the rows taken, scaled up to all rows in use: no further pass.
    x = design[sample]
    counts = np.ones(sample.size) if weights is None else weights[sample]
    gram = _product(x.T, x * counts[:, None]) * (rows.weight / float(counts.sum()))
    active = np.diag(gram) != 0.0
    inverse = _inverse(gram[np.ix_(active, active)])
    if inverse is None:
        return None
    x = x[:, active]
    leverage = counts * np.einsum("ij,jk,ik->i", x, inverse, x)
    with np.errstate(divide="ignore", invalid="ignore"):
        size = np.abs(residuals[sample]) / np.sqrt(np.maximum(1.0 - leverage, 0.0))
    kept = np.isfinite(size)
    candidates = {"the fitted value": fitted[sample], "leverage": leverage}
    candidates.update({name: inputs[sample, j] for j, name in enumerate(names)})
    size_ranks = _ranks(size[kept])
    z = normal_quantile(1.0 - 0.5 * SPREAD_TREND_ALPHA / len(candidates))
    n = int(np.count_nonzero(kept))
    best: SpreadTrend | None = None
    for along, values in candidates.items():
        correlation = _correlation(size_ranks, _ranks(values[kept]))
        if abs(correlation) * math.sqrt(n - 1) >= z and abs(correlation) >= SPREAD_TREND_FLOOR:
            if best is None or abs(correlation) > abs(best.correlation):
                best = SpreadTrend(along, correlation, n)
    return best


# spread_trend's false alarms on constant spread (in all, two-sided, by Bonferroni; measured:
# 1 in 600 fits of 60 rows with t(5) errors and 10 % outliers, where a robust fit's residuals
# are not quite exchangeable and 0.2 % gave 5), the weakest correlation it calls plain (a
# spread that grows 1.5 times across the range gives about 0.1), the fewest rows it looks at
# and the most: on 5000 rows a rank correlation's standard error is 0.014, a seventh of the
# floor, so more rows would not change the verdict but cost their sorts (9 ms at 20 000 rows).
SPREAD_TREND_ALPHA = 0.001
SPREAD_TREND_FLOOR = 0.1
SPREAD_TREND_MIN_ROWS = 20
SPREAD_TREND_ROWS = 5_000


def _ranks(values: FloatArray) -> FloatArray:
    """The ranks of the values from 1, ties sharing the mean of theirs."""
    order = np.argsort(values, kind="stable")
    ordered = values[order]
    starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
    ends = np.r_[starts[1:], len(values)]
    mean_ranks = (starts + ends + 1) / 2.0
    ranks = np.empty(len(values))
    ranks[order] = np.repeat(mean_ranks, ends - starts)
    return ranks


def _correlation(a: FloatArray, b: FloatArray) -> float:
    """Pearson's correlation of a and b (0 where either is constant)."""
    # Elementwise sums: a vector product would go to the BLAS, which splits long sums
    # between its threads.
    a, b = a - a.mean(), b - b.mean()
    norm = math.sqrt(float((a * a).sum()) * float((b * b).sum()))
    return float((a * b).sum()) / norm if norm > 0.0 else 0.0


# ---------------------------------------------------------------- the errors' own distribution


@dataclass(frozen=True)
class ErrorQuantiles:
    """The distribution of a robust fit's errors as its residuals show it, for the bands of
    new observations: the residuals within ERROR_POOL_CLIP noise scales (the rest are gross
    outliers, which a new inlier is not), in noise scales and widened by 1 / sqrt(1 - k / N)
    for the k directions the fit took out of them, ``values`` sorted (evenly spaced rows of
    them on large data) with the pool's weight up to each, ``cumulative``, of ``total`` in all."""

    values: FloatArray
    cumulative: FloatArray
    total: float

    def band(self, alpha: float) -> tuple[float, float] | None:
        """The ends of the central 1 - alpha band of a new error, in noise scales, from the order
        statistics that split the pool with a new error among them (the split-conformal
        quantiles [Lei et al. 2018]): the floor((total + 1) alpha / 2)-th smallest and largest. None
        when fewer than ERROR_TAIL_ROWS rows of the pool lie beyond either end: normal theory
        then."""
        tail = 0.5 * alpha * (self.total + 1.0)
        if not tail >= ERROR_TAIL_ROWS:
            return None
        last = len(self.values) - 1
        # Each end the first row with weight total + 1 - tail at or beyond it, from below and
        # from above: the lower one is the row after those of weight up to tail - 1.
        lower = self.values[min(int(np.searchsorted(self.cumulative, tail - 1.0, side="right")), last)]
        upper = self.values[min(int(np.searchsorted(self.cumulative, self.total + 1.0 - tail)), last)]
        return float(lower), float(upper)


def error_quantiles(
    residuals: FloatArray, noise: float, n_terms: int, weights: FloatArray | None
) -> ErrorQuantiles | None:
    """The pool of a robust fit's residuals for the bands of new observations (see
    ErrorQuantiles); None without a noise scale to measure them by."""
    if not (math.isfinite(noise) and noise > 0.0):
        return None
    rows = _robust.rows_within(residuals, noise, ERROR_POOL_CLIP, ERROR_SAMPLE_ROWS, weights)
    if rows.weight <= n_terms:
        return None
    shrinkage = math.sqrt(1.0 - n_terms / rows.weight)
    order = np.argsort(residuals[rows.sample], kind="stable")
    taken = rows.sample[order]
    values: FloatArray = residuals[taken] / (noise * shrinkage)
    counts = np.ones(len(taken)) if weights is None else weights[taken]
    # Each row sampled stands for the rows between it and the next: step of them.
    cumulative: FloatArray = np.cumsum(counts) * (rows.weight / float(counts.sum()))
    return ErrorQuantiles(values, cumulative, float(rows.weight))


# The pool of ErrorQuantiles: residuals within this many noise scales (a normal error beyond
# it once in 500 million), at most this many evenly spaced rows of them (the 2.5 % quantile
# of 4000 rows stands at a level within about 0.25 percentage points of the pool's own), and
# at least this many of them beyond each end of a band for it to be taken from them.
ERROR_POOL_CLIP = 6.0
ERROR_SAMPLE_ROWS = 4000
ERROR_TAIL_ROWS = 2.0


# ---------------------------------------------------------------- the polynomial in x


def power_map(indices: Sequence[Sequence[int]], middle: FloatArray, half_span: FloatArray) -> FloatArray | None:
    """The matrix M with coefficients in x = M @ coefficients in t, t_j = (x_j - middle_j) / half_span_j.

    Term a of the basis (exponents a_j) expands by the binomial theorem into the terms b <= a
    (every b_j <= a_j) with coefficient prod_j C(a_j, b_j) (-middle_j)^(a_j - b_j) / half_span_j^a_j.
    The image lies in the same basis when the basis holds, with each term, every term of
    lower exponents (total-degree and tensor bases do); for any other basis the map is
    None. An input with half_span 0 (constant in training) maps to t = 0, so terms in it
    vanish, as in the fit.
    """
    position = {tuple(int(e) for e in term): p for p, term in enumerate(indices)}
    matrix = np.zeros((len(position), len(position)))
    for column, term in enumerate(position):
        factors = []  # per input: {b_j: coefficient of x_j^b_j in t_j^a_j}
        for exponent, mid, half in zip(term, middle, half_span):
            if exponent == 0:
                factors.append({0: 1.0})
                continue
            if half == 0.0:
                break
            # In NumPy floats, which overflow to inf rather than raise; the ratio first, as
            # the powers of middle and half_span alone may overflow where it does not.
            ratio, inverse_half = np.float64(-mid / half), np.float64(1.0 / half)
            factors.append(
                {
                    low: float(math.comb(exponent, low) * ratio ** (exponent - low) * inverse_half**low)
                    for low in range(exponent + 1)
                }
            )
        else:
            for lower in _products(factors):
                row = position.get(lower[0])
                if row is None:
                    return None
                matrix[row, column] += lower[1]
    return matrix


def rounding_in_x(indices: Sequence[Sequence[int]], coef_x: FloatArray, x_min: FloatArray, x_max: FloatArray) -> float:
    """The size of the rounding of the polynomial in x evaluated over the training range: eps
    sum_j |coef_x_j| prod_i max(|x_min_i|, |x_max_i|)^m_ij, the rounding of its largest terms.
    The terms of a polynomial in x of a narrow range far from 0 are large and cancel to the
    curve's values; this says by how much their sum is then off (on polynomials of degree 6 to
    12 on [0, 10], 3 to 17 times what evaluating them at the training points lost)."""
    reach = np.maximum(np.abs(x_min), np.abs(x_max))
    exponents = np.asarray(indices, dtype=np.float64).reshape(len(indices), len(reach))
    # In logarithms: a coefficient that underflowed to 0 times a power of the reach beyond
    # float64 is a term of size 0, not 0 * inf.
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        log_reach = np.where(exponents > 0, exponents * np.log(reach)[None, :], 0.0).sum(axis=1)
        sizes = np.exp(np.log(np.abs(coef_x)) + log_reach)
        return float(np.finfo(np.float64).eps * np.sum(sizes))


def _products(factors: list[dict[int, float]]) -> list[tuple[tuple[int, ...], float]]:
    """Every choice of one entry per factor: the exponents chosen and the product of their values."""
    products: list[tuple[tuple[int, ...], float]] = [((), 1.0)]
    for factor in factors:
        products = [((*chosen, e), value * v) for chosen, value in products for e, v in factor.items()]
    return products


# ---------------------------------------------------------------- a fit's uncertainty


@dataclass(frozen=True)
class ScaledErrors:
    """Standard errors taken where their squares leave the normal doubles: on ``rows``, the
    error is ``roots * 2**exponents``."""

    rows: NDArray[np.bool_]
    roots: FloatArray
    exponents: NDArray[np.intp]


@dataclass(frozen=True)
class Uncertainty:
    """The fitted attributes that say how sure a fit is, in y's units (see the estimator).

    The covariances are kept in units of ``unit`` (y's robust spread): in y's units a
    covariance squares y's scale, which leaves the range of doubles for y of magnitude
    beyond about 1e154 or below 1e-154 while the standard errors do not, so these are
    taken as the roots in units of the spread, times it. The covariance in x squares x's
    scale as well (a term of degree q by x's scale to the -2q); where its diagonal leaves
    the normal doubles, ``errors_x`` has the errors in x from rows of the map scaled first.
    """

    cov_in_spread: FloatArray
    unit: float
    noise_scale: float
    df_resid: float
    coef_x: FloatArray | None
    cov_x_in_spread: FloatArray | None
    errors_x: ScaledErrors | None = None
    # The noise scale measured from the residuals and its degrees of freedom: noise_scale's
    # own, unless the errors are known, when noise_scale is theirs.
    measured_noise: float = math.nan
    df_measured: float = math.nan
    error_quantiles: ErrorQuantiles | None = None
    # The condition number of the design in t with the rows weighted as the fit's last solve
    # weighs them (see condition_number).
    condition_number: float = math.nan

    def attributes(self) -> dict[str, Any]:
        in_x = self.cov_x_in_spread
        cov, bse = self._in_y(self.cov_in_spread)
        cov_x, bse_x = (None, None) if in_x is None else self._in_y(in_x, self.errors_x)
        return {
            "cov_": cov,
            "bse_": bse,
            "noise_scale_": self.noise_scale,
            "df_resid_": self.df_resid,
            "coef_x_": self.coef_x,
            "cov_x_": cov_x,
            "bse_x_": bse_x,
            "_cov_in_spread_": self.cov_in_spread,
            "_spread_": self.unit,
            "_error_quantiles_": self.error_quantiles,
            "condition_number_": self.condition_number,
        }

    def _in_y(self, in_spread: FloatArray, scaled: ScaledErrors | None = None) -> tuple[FloatArray, FloatArray]:
        """A covariance in y's units and its standard errors; the errors from the roots in
        units of the spread where the covariance's entries leave the normal doubles, and
        from ``scaled`` where the entries in units of the spread do."""
        square = self.unit * self.unit
        with np.errstate(over="ignore", under="ignore", invalid="ignore"):
            covariance = in_spread * square if math.isfinite(square) else in_spread * self.unit * self.unit
            diagonal = np.diag(covariance)
            errors = np.sqrt(diagonal)
            kept = (np.abs(diagonal) >= np.finfo(np.float64).tiny) | (np.diag(in_spread) == 0.0)
            if scaled is not None:
                kept &= ~scaled.rows
            if not (kept & np.isfinite(diagonal)).all():
                lost = ~(kept & np.isfinite(diagonal))
                errors[lost] = np.sqrt(np.diag(in_spread)[lost]) * self.unit
                if scaled is not None:
                    # The unit's exponent joins the row's: a product of the two may leave the
                    # doubles where the error does not.
                    mantissa, exponent = np.frexp(self.unit)
                    rows = scaled.rows
                    errors[rows] = np.ldexp(scaled.roots[rows] * mantissa, scaled.exponents[rows] + exponent)
        return covariance, errors


def scaled_errors(transform: FloatArray, covariance: FloatArray, rows: NDArray[np.bool_]) -> ScaledErrors:
    """sqrt(diag(T C T')) on ``rows``, from the rows of T scaled as in :func:`_scaled_rows`."""
    scaled, exponents = _scaled_rows(transform[rows], 0.0)
    with np.errstate(invalid="ignore"):
        roots = np.sqrt(np.einsum("ij,ij->i", _product(scaled, covariance), scaled))
    full_roots, full_exponents = np.full(len(rows), math.nan), np.zeros(len(rows), dtype=np.intp)
    full_roots[rows], full_exponents[rows] = roots, exponents
    return ScaledErrors(rows, full_roots, full_exponents)


def scaled_root(rows: FloatArray, covariance: FloatArray, noise: float | None, unit: float) -> FloatArray:
    """sqrt(x' C x + noise^2) times ``unit`` for each row x, taken from the rows scaled as in
    :func:`_scaled_rows` (together with the noise): inf only where the result overflows."""
    scaled, exponents = _scaled_rows(rows, 0.0 if noise is None else abs(noise))
    variance = np.einsum("ij,jk,ik->i", scaled, covariance, scaled)
    if noise is not None:
        variance = variance + np.ldexp(noise, -exponents) ** 2
    mantissa, exponent = np.frexp(unit)
    with np.errstate(invalid="ignore"):
        root: FloatArray = np.ldexp(np.sqrt(variance) * mantissa, exponents + exponent)
    return root


def _scaled_rows(rows: FloatArray, floor: float) -> tuple[FloatArray, NDArray[np.intp]]:
    """The rows, each divided by the power of 2, 2^e, that brings the larger of its largest
    entry and ``floor`` into [1/2, 1), and those exponents e.

    A quadratic form in a scaled row has room in the doubles however large or small the
    row's entries; its root times 2^e is the form's root, and the scaling is exact.
    """
    _, exponents = np.frexp(np.maximum(np.max(np.abs(rows), axis=1, initial=0.0), floor))
    scaled: FloatArray = np.ldexp(rows, -exponents[:, None])
    return scaled, exponents.astype(np.intp)


@dataclass(frozen=True)
class FitPieces:
    """A fit's pieces in standardised units, which its uncertainty is taken from.

    ``design`` is in the mapped inputs t; ``residuals`` and the estimate's scales are in units
    of ``unit`` (y's robust spread), and in y's units, or with known errors in units of each
    row's sigma, times ``noise_unit``; ``known_scale`` is the error of those residuals where it
    is known (None: estimated); ``cov_type`` "model" takes one spread for every row
    (coefficient_covariance), "hc" each row's own (consistent_covariance). The estimate's ``tuning`` is the bisquare constant of a
    robust fit, None for (penalised) least squares, whose covariance and noise scale take
    RSS / (N - k) in place of a scale; its ``fixed_scale`` is the scale of its bisquare
    equations, a biweight M-scale of cut-off losses.SCALE_TUNING. ``coef`` are the
    coefficients in y's units, of the terms ``indices``, and ``x_min``, ``x_max`` the
    training range that maps x onto t.
    """

    design: Design
    residuals: FloatArray
    estimate: Estimate
    weights: FloatArray | None
    unit: float
    coef: FloatArray
    indices: Sequence[Sequence[int]]
    x_min: FloatArray
    x_max: FloatArray
    noise_unit: float
    known_scale: float | None = None
    cov_type: str = "model"


def uncertainty(pieces: FitPieces) -> Uncertainty:
    """A fit's covariance, noise scale and coefficients in x."""
    design, residuals, weights, unit = pieces.design, pieces.residuals, pieces.weights, pieces.unit
    estimate, coef, indices = pieces.estimate, pieces.coef, pieces.indices
    scale, tuning, penalty = estimate.fixed_scale, estimate.tuning, estimate.penalty
    middle, half_span = pieces.x_min / 2.0 + pieces.x_max / 2.0, pieces.x_max / 2.0 - pieces.x_min / 2.0
    n_terms = design.shape[1]
    known_scale = pieces.known_scale
    if tuning is None:
        df_resid = (float(len(residuals)) if weights is None else float(weights.sum())) - n_terms
        noise = math.sqrt(weighted_total(residuals**2, weights) / df_resid) if df_resid > 0 else math.nan
        df_noise = df_resid
        fixed = 1.0
        quantiles = None
    else:
        df_resid = robust_degrees_of_freedom(residuals, scale, tuning, losses.SCALE_TUNING, n_terms, weights)
        noise = noise_scale(residuals, scale, n_terms, weights)
        inlying = _robust.rows_within(residuals, noise, NOISE_CLIP, 1, weights).weight if math.isfinite(noise) else 0.0
        df_noise = inlying - n_terms
        fixed = scale
        quantiles = error_quantiles(residuals, noise, n_terms, weights) if known_scale is None else None
    known = None
    if known_scale is not None:
        # The covariance the stated errors give the bisquare fit at their scale, which the
        # final fit held fixed unless the residuals contradicted them (and a warning says so).
        fixed, known = known_scale, losses.normal_moments(tuning)
    moments = bisquare_moments(design, residuals, fixed, tuning, weights)
    if pieces.cov_type == "hc" and fixed > 0.0:
        covariance = consistent_covariance(design, residuals, fixed, tuning, weights, penalty)
    else:
        covariance = coefficient_covariance(design, residuals, fixed, tuning, weights, penalty, known, moments)
    measured = noise * pieces.noise_unit
    if known_scale is not None:
        # Known errors: the intervals take them as they are, a normal quantile and noise 1.
        noise, df_resid = known_scale, math.inf
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        transform = power_map(indices, middle, half_span)
        coef_x = None if transform is None else np.einsum("ij,j->i", transform, coef)
        cov_x, errors_x = None, None
        if transform is not None:
            touched = None
            determined = covariance
            if np.isnan(np.diag(covariance)).any():
                determined, undetermined = determined_part(covariance)
                # Terms in an input that was constant in training are free in x as in t, though
                # the map from t gives them no weight.
                touched = (transform[:, undetermined] != 0.0).any(axis=1) | (
                    np.asarray(indices, dtype=np.int64).reshape(len(indices), len(half_span)) * (half_span == 0.0)
                ).any(axis=1)
            cov_x = _product(_product(transform, determined), transform.T)
            if touched is not None:
                cov_x[touched, :] = np.nan
                cov_x[:, touched] = np.nan
            # A term of degree q in x of scale s has its variance scaled by s^-2q, which may
            # leave the doubles (0, subnormal or inf) where the standard error does not.
            diagonal = np.diag(cov_x)
            in_range = (np.abs(diagonal) >= np.finfo(np.float64).tiny) & np.isfinite(diagonal)
            out_of_range = ~in_range & ~np.isnan(diagonal)
            if out_of_range.any():
                errors_x = scaled_errors(transform, determined, out_of_range)
    return Uncertainty(
        covariance,
        unit,
        noise * pieces.noise_unit,
        df_resid,
        coef_x,
        cov_x,
        errors_x,
        measured,
        df_noise,
        quantiles,
        condition_number(moments.gram),
    )


def determined_part(covariance: FloatArray) -> tuple[FloatArray, NDArray[np.bool_]]:
    """The covariance with the rows and columns of the coefficients the data leave free (NaN)
    set to 0, and which those are. A combination of the coefficients that gives the free ones
    no weight (the value at the training value of an input that was constant) is determined
    all the same; any other is NaN."""
    undetermined = np.isnan(np.diag(covariance))
    determined = np.where(undetermined[:, None] | undetermined[None, :], 0.0, covariance)
    return determined, undetermined
