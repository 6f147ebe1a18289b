"""How sure a fit is: coefficient covariances, quantiles, the polynomial in x, a summary table.

Plain functions over NumPy arrays, which the estimator calls once at the end of ``fit``:

- the covariance of the coefficients of the final bisquare fit (an M-estimator at a fixed
  scale) by the sandwich of its estimating equations, with Huber's small-sample factor;
  of least squares and penalised least squares by the same sandwich with psi(u) = u;
- the degrees of freedom of its t quantiles: Satterthwaite's, from the spread of that
  covariance's own estimate;
- a noise scale of the inlying residuals, for intervals of new observations;
- the normal and Student-t distributions (CDF and quantiles), so that NumPy stays the only
  run-time dependency;
- the linear map from coefficients in the mapped inputs t = (x - middle) / half to
  coefficients in x, and display names of the terms;
- :class:`Summary`, the table behind ``PolynomialMDLRegressor.summary()``.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from korva import _robust
from korva.bases import Design, nonzero_columns

FloatArray = NDArray[np.float64]
IndexArray = NDArray[np.intp]

# Continued fraction of the incomplete beta function and the quantile search.
MAX_FRACTION_TERMS = 500
MAX_QUANTILE_STEPS = 200
RELATIVE_PRECISION = 1e-15
# ln Gamma by Stirling's series from here on (four terms reach double precision).
STIRLING_FROM = 30.0
# With many degrees of freedom and x^2 / df small, the continued fraction cancels: there the
# t distribution is the normal's Cornish-Fisher expansion in 1 / df, whose first omitted term
# stays below double precision in that region.
EXPANSION_DEGREES_OF_FREEDOM = 1e4
EXPANSION_SQUARED_RATIO = 3e-3

# ---------------------------------------------------------------- distributions


def normal_cdf(x: float) -> float:
    """The standard normal distribution function, accurate in the far lower tail too."""
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def normal_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def student_t_cdf(x: float, df: float) -> float:
    """The distribution function of Student's t with ``df`` > 0 degrees of freedom.

    P(T <= x) = I_z(df / 2, 1 / 2) / 2 for x < 0, with z = df / (df + x^2) and I the
    regularized incomplete beta function; x > 0 by symmetry.
    """
    _check_degrees_of_freedom(df)
    if _expansion_holds(x, df):
        return normal_cdf(_normal_equivalent(x, df))
    if math.isinf(x):
        return 0.0 if x < 0 else 1.0
    # z, 1 - z and their logarithms, formed without a subtraction that would cancel, nor a
    # square that would overflow or underflow.
    if abs(x) <= math.sqrt(df):
        ratio = x * x / df
        z, one_minus_z = 1.0 / (1.0 + ratio), ratio / (1.0 + ratio)
        log_z = -math.log1p(ratio)
        log_one_minus_z = math.log(ratio) + log_z if ratio > 0.0 else -math.inf
    else:
        log_ratio = math.log(df) - 2.0 * math.log(abs(x))
        ratio = math.exp(log_ratio)
        z, one_minus_z = ratio / (1.0 + ratio), 1.0 / (1.0 + ratio)
        log_one_minus_z = -math.log1p(ratio)
        log_z = log_ratio + log_one_minus_z
    tail = 0.5 * _incomplete_beta(0.5 * df, 0.5, z, one_minus_z, log_z, log_one_minus_z)
    return tail if x < 0 else 1.0 - tail


def student_t_pdf(x: float, df: float) -> float:
    log_norm = -_log_beta(0.5 * df, 0.5) - 0.5 * math.log(df)
    if abs(x) <= math.sqrt(df):
        return math.exp(log_norm - 0.5 * (df + 1.0) * math.log1p(x * x / df))
    log_ratio = 2.0 * math.log(abs(x)) - math.log(df)  # ln(x^2 / df), x^2 may overflow
    return math.exp(log_norm - 0.5 * (df + 1.0) * (log_ratio + math.log1p(math.exp(-log_ratio))))


def regularized_incomplete_beta(a: float, b: float, x: float) -> float:
    """I_x(a, b) for a, b > 0 and x in [0, 1], by the continued fraction of the beta function."""
    if not (a > 0 and b > 0 and 0.0 <= x <= 1.0):
        raise ValueError(f"the incomplete beta function needs a, b > 0 and x in [0, 1], got {a}, {b}, {x}")
    y = 1.0 - x
    return _incomplete_beta(a, b, x, y, math.log(x) if x > 0 else -math.inf, math.log(y) if y > 0 else -math.inf)


def _incomplete_beta(a: float, b: float, x: float, y: float, log_x: float, log_y: float) -> float:
    """I_x(a, b) given x, y = 1 - x and their logarithms, each as precise as the caller has them.

    The fraction converges fast for x < (a + 1) / (a + b + 2); above that, I_x(a, b) =
    1 - I_y(b, a).
    """
    if log_x == -math.inf or log_y == -math.inf:
        return 0.0 if log_x == -math.inf else 1.0
    if x > (a + 1.0) / (a + b + 2.0):
        return 1.0 - _incomplete_beta(b, a, y, x, log_y, log_x)
    log_front = a * log_x + b * log_y - _log_beta(a, b)
    return math.exp(log_front) / a * _beta_fraction(a, b, x)


def _log_beta(a: float, b: float) -> float:
    """ln B(a, b), without the cancellation of ln Gamma(a) - ln Gamma(a + b) for a large a."""
    small, large = min(a, b), max(a, b)
    if large < STIRLING_FROM:
        return math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b)
    # ln Gamma(z) = (z - 1/2) ln z - z + ln(2 pi) / 2 + stirling(z): the large terms cancel
    # in closed form.
    difference = (large - 0.5) * math.log1p(small / large) + small * math.log(large + small) - small
    return math.lgamma(small) - difference - _stirling(large + small) + _stirling(large)


def _stirling(z: float) -> float:
    """ln Gamma(z) - (z - 1/2) ln z + z - ln(2 pi) / 2 for z >= STIRLING_FROM, to double precision."""
    inverse_squared = 1.0 / (z * z)
    series = 1.0 / 12.0 + inverse_squared * (-1.0 / 360.0 + inverse_squared * (1.0 / 1260.0 - inverse_squared / 1680.0))
    return series / z


def _beta_fraction(a: float, b: float, x: float) -> float:
    """The continued fraction 1 / (1 + d1 / (1 + d2 / (1 + ...))) of I_x(a, b), by Lentz's method."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    fraction = d
    for m in range(1, MAX_FRACTION_TERMS + 1):
        # The even term d_{2m}, then the odd term d_{2m+1}.
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1.0) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1.0)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            fraction *= c * d
        if abs(c * d - 1.0) <= RELATIVE_PRECISION:
            break
    return fraction


def normal_quantile(p: float) -> float:
    """The p-quantile of the standard normal distribution, 0 < p < 1."""
    return _quantile(normal_cdf, normal_pdf, p)


def student_t_quantile(p: float, df: float) -> float:
    """The p-quantile of Student's t with ``df`` > 0 degrees of freedom, 0 < p < 1."""
    _check_degrees_of_freedom(df)
    if 0.0 < p < 1.0:
        z = normal_quantile(p)
        if _expansion_holds(z, df):
            return _cornish_fisher(z, df)
    return _quantile(lambda x: student_t_cdf(x, df), lambda x: student_t_pdf(x, df), p)


def _expansion_holds(x: float, df: float) -> bool:
    return df >= EXPANSION_DEGREES_OF_FREEDOM and x * x <= EXPANSION_SQUARED_RATIO * df


def _cornish_fisher(z: float, df: float) -> float:
    """The t quantile whose normal quantile is z, to the fourth power of 1 / df."""
    z2 = z * z
    terms = (
        z * (z2 + 1.0) / 4.0,
        z * ((5.0 * z2 + 16.0) * z2 + 3.0) / 96.0,
        z * (((3.0 * z2 + 19.0) * z2 + 17.0) * z2 - 15.0) / 384.0,
        z * ((((79.0 * z2 + 776.0) * z2 + 1482.0) * z2 - 1920.0) * z2 - 945.0) / 92160.0,
    )
    return z + sum(term / df**power for power, term in enumerate(terms, start=1))


def _normal_equivalent(x: float, df: float) -> float:
    """The z with _cornish_fisher(z, df) = x, by Newton's method from z = x.

    The slope is 1 + O(z^2 / df), so its leading terms suffice: each step gains a factor
    of about (z^2 / df)^2.
    """
    z = x
    for _ in range(MAX_QUANTILE_STEPS):
        step = (_cornish_fisher(z, df) - x) / (1.0 + (3.0 * z * z + 1.0) / (4.0 * df))
        z -= step
        if abs(step) <= RELATIVE_PRECISION * abs(z):
            break
    return z


def _check_degrees_of_freedom(df: float) -> None:
    if not df > 0:  # NaN too
        raise ValueError(f"degrees of freedom must be above 0, got {df!r}")


def _quantile(cdf: Callable[[float], float], pdf: Callable[[float], float], p: float) -> float:
    """The x where a symmetric distribution's ``cdf`` reaches p.

    Lower half only (the upper by symmetry, 1 - p being exact there): Newton's method on
    ln cdf, nearly linear in the tail, kept inside a bracket that bisection shrinks.
    """
    if not 0.0 < p < 1.0:
        raise ValueError(f"a quantile needs a probability strictly between 0 and 1, got {p!r}")
    if p > 0.5:
        return -_quantile(cdf, pdf, 1.0 - p)
    if p == 0.5:
        return 0.0
    low, high = -1.0, 0.0
    while cdf(low) > p:
        low, high = 2.0 * low, low
    if math.isinf(low):
        return low  # beyond the largest float, as for t with df < 1 far in the tail
    x = 0.5 * (low + high)
    target = math.log(p)
    for _ in range(MAX_QUANTILE_STEPS):
        mass = cdf(x)
        if mass > p:
            high = x
        else:
            low = x
        density = pdf(x)
        step = (math.log(mass) - target) * mass / density if mass > 0.0 and density > 0.0 else math.inf
        proposal = x - step
        if not low < proposal < high:
            proposal = 0.5 * (low + high)
        if abs(proposal - x) <= RELATIVE_PRECISION * abs(x) or high - low <= RELATIVE_PRECISION * abs(x):
            return proposal
        x = proposal
    return x


# ---------------------------------------------------------------- covariance


def coefficient_covariance(
    design: Design,
    residuals: FloatArray,
    scale: float,
    tuning: float | None,
    case_weights: FloatArray | None = None,
    penalty: FloatArray | None = None,
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

    Coefficients of columns that are 0 on every row (an input constant in training) are
    not determined by the data: their rows and columns are NaN, as is every entry when the
    others are not determined either, or N_in <= k, or mean(psi') <= 0.
    """
    n_terms = design.shape[1]
    covariance = np.full((n_terms, n_terms), np.nan)
    # One native pass over the rows for the Gram matrix, one over the residuals for the sums;
    # a column that is 0 on every row has a 0 diagonal.
    moments = _robust.bisquare_moments(
        design, residuals, scale if scale > 0.0 else 1.0, math.inf if tuning is None else tuning, case_weights
    )
    full_gram, total, in_use = moments.gram, moments.total, moments.in_use
    if scale == 0.0:
        # An exact fit to every row: nothing varies, where the rows determine the coefficients
        # and leave residual freedom to say so.
        active = np.diag(full_gram) != 0.0
        if total <= n_terms or _inverse(full_gram[np.ix_(active, active)]) is None:
            return covariance
        covariance[np.ix_(active, active)] = 0.0
        return covariance
    mean_slope, mean_weight = moments.slope / total, moments.weight / total
    if in_use <= n_terms or not mean_slope > 0.0 or not mean_weight > 0.0:
        return covariance
    slope_variance = max(moments.slope_square / total - mean_slope**2, 0.0)
    huber_factor = 1.0 + n_terms / total * slope_variance / mean_slope**2
    mean_psi_squared = moments.psi_square / (in_use - n_terms) * in_use / total
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


def singular_design(design: Design, case_weights: FloatArray | None = None) -> bool:
    """Whether the rows leave a combination of the coefficients of the design's nonzero
    columns free: its (case-weighted) Gram matrix is singular."""
    gram = _robust.bisquare_moments(design, np.zeros(design.shape[0]), 1.0, math.inf, case_weights).gram
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
    case_weights: FloatArray | None = None,
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
    rows = _robust.rows_within(residuals, scale, tuning, DF_MOMENT_ROWS, case_weights)
    in_use, sample = rows.weight, rows.sample
    residual_freedom = in_use - n_terms
    if residual_freedom <= 0:  # no more rows in use than terms: no freedom, whatever V says
        return 0.0
    u = residuals[sample] / scale if scale > 0.0 else np.zeros(sample.size)
    c = None if case_weights is None else case_weights[sample]
    sample_weight = float(u.size if c is None else c.sum())
    x2 = (u / tuning) ** 2
    psi = u * (1.0 - x2) ** 2
    slope = (1.0 - x2) * (1.0 - 5.0 * x2)
    y2 = np.minimum((u / scale_tuning) ** 2, 1.0)
    loss = 1.0 - (1.0 - y2) ** 3
    loss_slope = 6.0 * y2 * (1.0 - y2) ** 2  # rho'(u) u

    def mean(values: FloatArray) -> float:
        return weighted_total(values, c) / sample_weight if sample_weight > 0.0 else math.nan

    psi_squared, mean_slope, scale_slope = mean(psi * psi), mean(slope), mean(loss_slope)
    if not (psi_squared > 0.0 and mean_slope > 0.0 and scale_slope > 0.0):
        return residual_freedom
    a = -2.0 * mean(psi * slope * u) / psi_squared
    b = -mean(4.0 * x2 * (5.0 * x2 - 3.0)) / mean_slope  # psi''(u) u = 4 x^2 (5 x^2 - 3), x = u / c
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


def noise_scale(
    residuals: FloatArray, start: float, n_terms: int, case_weights: FloatArray | None = None, clip: float = 3.0
) -> float:
    """The standard deviation of the inlying residuals: what a new inlier's error spreads by.

    Residuals within ``clip`` scales are the inliers; their root mean square with an
    N_in - k divisor, divided by the standard deviation of a normal variable truncated at
    +-clip, is the next scale; repeated from ``start`` until the inliers stop changing.
    Unlike a high-breakdown scale it does not grow with the share of outliers. NaN when
    no more than k rows are inliers.
    """
    truncated_variance = 1.0 - 2.0 * clip * normal_pdf(clip) / (1.0 - 2.0 * normal_cdf(-clip))
    truncation = (clip, truncated_variance)
    if start > 0.0:
        limits = (start / NOISE_BAND_WIDTH, start * NOISE_BAND_WIDTH)
        scale = _noise_steps(residuals, case_weights, start, n_terms, truncation, limits)
        if scale is not None:
            return scale
    scale = _noise_steps(residuals, case_weights, start, n_terms, truncation, None)
    assert scale is not None, "the steps over every row have no limits to leave"
    return scale


# noise_scale's steps look only at the residuals between clip / BAND and clip * BAND times
# the start while the scale stays within that band; far fewer rows than all on large data.
NOISE_BAND_WIDTH = 2.0


def _noise_steps(
    residuals: FloatArray,
    case_weights: FloatArray | None,
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
    band = _robust.residual_band(residuals, clip * low, clip * high, case_weights)
    sure_mass, sure_squares, near, near_weights = (
        band.inner_weight,
        band.inner_squares,
        band.between,
        band.between_weights,
    )
    near_squares = near * near if near_weights is None else near * near * near_weights
    scale = start
    inliers: NDArray[np.bool_] | None = None
    for _ in range(MAX_QUANTILE_STEPS):
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


def input_names(n_inputs: int, symbol: str = "x") -> list[str]:
    """Default input names: ``x`` for one input, ``x1``, ``x2``, ... for several."""
    return [symbol] if n_inputs == 1 else [f"{symbol}{j}" for j in range(1, n_inputs + 1)]


def term_names(indices: Sequence[Sequence[int]], names: Sequence[str]) -> list[str]:
    """Display names of the terms: ``1``, ``x``, ``x^2``, ``x1 x2``, ``x1^2 x2``, ..."""
    return [" ".join(name if e == 1 else f"{name}^{e}" for name, e in zip(names, term) if e) or "1" for term in indices]


# ---------------------------------------------------------------- summary


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


def interval_factor(alpha: float, df: float) -> float:
    """t_{1 - alpha/2}(df): a two-sided 1 - alpha interval's half-width in standard errors.

    Taken from the lower tail, -t_{alpha/2}(df), where alpha / 2 keeps its digits however
    small it is (1 - alpha/2 rounds to 1 below alpha = 1e-16). NaN without degrees of
    freedom: a fit with no more samples than terms says nothing of its spread.
    """
    return -student_t_quantile(0.5 * alpha, df) if df > 0 else math.nan


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


def uncertainty(
    design: Design,
    residuals: FloatArray,
    scale: float,
    tuning: float | None,
    scale_tuning: float,
    case_weights: FloatArray | None,
    penalty: FloatArray | None,
    unit: float,
    coef: FloatArray,
    indices: Sequence[Sequence[int]],
    middle: FloatArray,
    half_span: FloatArray,
) -> Uncertainty:
    """A fit's covariance, noise scale and coefficients in x, from its pieces in standardised units.

    ``residuals`` and ``scale`` are in units of ``unit`` (y's robust spread), ``design`` in t;
    ``tuning`` is the bisquare constant of a robust fit, None for (penalised) least squares,
    whose covariance and noise scale take RSS / (N - k) in place of a scale;
    ``scale_tuning`` the cut-off of the biweight loss of the robust fit's M-scale ``scale``.
    """
    n_terms = design.shape[1]
    if tuning is None:
        covariance = coefficient_covariance(design, residuals, 1.0, None, case_weights, penalty)
        df_resid = (float(len(residuals)) if case_weights is None else float(case_weights.sum())) - n_terms
        noise = math.sqrt(weighted_total(residuals**2, case_weights) / df_resid) if df_resid > 0 else math.nan
    else:
        df_resid = robust_degrees_of_freedom(residuals, scale, tuning, scale_tuning, n_terms, case_weights)
        covariance = coefficient_covariance(design, residuals, scale, tuning, case_weights, penalty)
        noise = noise_scale(residuals, scale, n_terms, case_weights)
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
    return Uncertainty(covariance, unit, noise * unit, df_resid, coef_x, cov_x, errors_x)


def determined_part(covariance: FloatArray) -> tuple[FloatArray, NDArray[np.bool_]]:
    """The covariance with the rows and columns of the coefficients the data leave free (NaN)
    set to 0, and which those are. A combination of the coefficients that gives the free ones
    no weight (the value at the training value of an input that was constant) is determined
    all the same; any other is NaN."""
    undetermined = np.isnan(np.diag(covariance))
    determined = np.where(undetermined[:, None] | undetermined[None, :], 0.0, covariance)
    return determined, undetermined
