"""NumPy reference implementations of korva_core's statistics and penalties.

korva's tests check korva_core against these functions and its benchmarks time
korva_core against them. They follow the definitions directly, vectorised as a
NumPy user would write them, and need nothing beyond NumPy.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from korva import losses
from korva.losses import SCALE_BREAKDOWN, SCALE_TUNING

FloatArray = npt.NDArray[np.float64]


def hit_rate(yp: npt.ArrayLike, yt: npt.ArrayLike, eps: float) -> float:
    """Share of predictions within `eps` of the truth, at least 1 / (2 n)."""
    yp, yt = np.asarray(yp, dtype=float), np.asarray(yt, dtype=float)
    return max(float(np.mean(np.abs(yp - yt) < eps)), 0.5 / yt.size)


def gibbs_statistics(energies: npt.ArrayLike, T: float = 1.0) -> dict[str, float]:
    """The Gibbs ensemble statistics of `energies` at temperature `T`, named as GibbsResult's fields."""
    e = np.asarray(energies, dtype=float)
    w = np.exp(-(e - e.min()) / (T + 1e-300))
    p = w / w.sum()
    H = float(-np.sum(p * np.log(p + 1e-300)))
    Hmax = math.log(max(e.size, 2))
    He = H / (Hmax + 1e-300)
    return dict(H=H, Hmax=Hmax, He=He, r_heat=0.01 + 0.99 * He, var_E=float(np.var(e)), T=T)


def smoothness_penalty_matrices_1d(deg: int, lo: float, hi: float, n: int) -> tuple[FloatArray, FloatArray]:
    """Rectangle sums over x_g = lo + g*dx, g = 0..n-1, of the outer products of the
    first and of the second derivatives of 1, x, ..., x**deg, times dx."""
    dx = (hi - lo) / (n - 1)
    x = lo + np.arange(n) * dx
    p = np.arange(deg + 1, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        d1 = np.where(p >= 1, p * x[:, None] ** np.maximum(p - 1, 0), 0.0)
        d2 = np.where(p >= 2, p * (p - 1) * x[:, None] ** np.maximum(p - 2, 0), 0.0)
    return (d1.T @ d1) * dx, (d2.T @ d2) * dx


def build_penalty_matrices_nd(
    degrees: Sequence[int], bounds: Sequence[tuple[float, float]], n: int
) -> tuple[FloatArray, FloatArray, list[list[int]]]:
    """Sums over the tensor grid of n points per axis, times the cell volume: of the
    gradients' outer products (R1) and of every ordered pair of second partial
    derivatives (R2) of the tensor-product monomials, listed first input slowest."""
    D = len(degrees)
    multi = [list(m) for m in itertools.product(*[range(g + 1) for g in degrees])]
    E = np.array(multi, dtype=float).reshape(len(multi), D)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = math.prod((hi - lo) / (n - 1) for lo, hi in bounds)
    grid = np.stack([g.ravel() for g in np.meshgrid(*axes, indexing="ij")], axis=1)

    def factor(d: int, order: int) -> FloatArray:
        x, e = grid[:, d : d + 1], E[:, d]
        if order == 0:
            return np.asarray(x**e)
        coef = e if order == 1 else e * (e - 1)
        return np.where(e >= order, coef * x ** np.maximum(e - order, 0), 0.0)

    def gram(orders: list[int]) -> FloatArray:
        H = np.ones((grid.shape[0], len(multi)))
        for d, o in enumerate(orders):
            H *= factor(d, o)
        return H.T @ H

    zero = np.zeros((len(multi), len(multi)))
    R2 = sum((gram([(d == i) + (d == j) for d in range(D)]) for i in range(D) for j in range(D)), zero) * dV
    R1 = sum((gram([int(d == i) for d in range(D)]) for i in range(D)), zero) * dV
    return R1, R2, multi


# The robust finish, as korva._robust computes it natively: the loss's constants and
# formulas are korva.losses', the M-scale's start and steps these.
NORMAL_MEDIAN_ABS = 0.6744897501960817
MAX_SCALE_STEPS = 100
SCALE_RELATIVE_TOLERANCE = 1e-10


def halfway(low: float, high: float) -> float:
    """low + (high - low) / 2, the middle of two values as the medians take it, and
    low / 2 + high / 2 where high - low is not finite (overflow, or infinities)."""
    with np.errstate(over="ignore", invalid="ignore"):
        gap = high - low
        return float(low + gap / 2.0 if np.isfinite(gap) else low / 2.0 + high / 2.0)


def weighted_median(values: npt.ArrayLike, weights: npt.ArrayLike | None = None) -> float:
    """The median of ``values`` with each counted ``weights`` times: halfway between the two
    middle values when the total weight splits evenly between them. NaN sorts last."""
    values = np.asarray(values, dtype=float)
    order = np.argsort(values, kind="stable")
    cumulative = np.cumsum(np.ones(values.size) if weights is None else np.asarray(weights, dtype=float)[order])
    half = cumulative[-1] / 2.0
    low = values[order[np.searchsorted(cumulative, half, side="left")]]
    high = values[order[min(np.searchsorted(cumulative, half, side="right"), values.size - 1)]]
    return halfway(low, high)


def m_scale(
    residuals: npt.ArrayLike, guess: float = 0.0, weights: npt.ArrayLike | None = None, n_terms: int = 0
) -> float:
    """The biweight M-scale s of the residuals: sum w rho(r / s) = (sum w - n_terms) / 2.

    rho is korva.losses.rho at the cut-off c = SCALE_TUNING; w = 1 without weights. 0 when
    no positive s solves it: when the weight of the nonzero residuals is at most half the
    degrees of freedom. Newton's method on ln s from `guess` when
    positive, else from the weighted median |r| / 0.6745 (the largest |r| / 0.6745 if
    that median is 0).
    """
    absolute = np.abs(np.asarray(residuals, dtype=float))
    w = np.ones_like(absolute) if weights is None else np.asarray(weights, dtype=float)
    mass = float(np.sum(w))
    freedom = mass - n_terms
    if freedom <= 0.0 or float(np.sum(w[absolute > 0.0])) <= SCALE_BREAKDOWN * freedom:
        return 0.0
    if guess > 0.0:
        scale = guess
    else:
        scale = weighted_median(absolute, w) / NORMAL_MEDIAN_ABS
        if scale == 0.0:
            scale = float(absolute.max()) / NORMAL_MEDIAN_ABS
    for _ in range(MAX_SCALE_STEPS):
        loss, loss_slope = losses.rho_moments(absolute / scale, SCALE_TUNING)
        mean_rho = float(w @ loss) / freedom
        slope = -float(w @ loss_slope) / freedom  # d mean rho / d ln s
        if slope < -1e-3:
            step = min(max((SCALE_BREAKDOWN - mean_rho) / slope, -1.0), 1.0)
        else:  # the fixed point s^2 <- s^2 mean rho / b where the slope vanishes
            step = 0.5 * math.log(max(mean_rho, 1e-300) / SCALE_BREAKDOWN)
        scale *= math.exp(step)
        if abs(step) <= SCALE_RELATIVE_TOLERANCE:
            break
    return scale


def weighted_least_squares(
    design: npt.ArrayLike,
    target: npt.ArrayLike,
    weights: npt.ArrayLike,
    R1: npt.ArrayLike | None = None,
    R2: npt.ArrayLike | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    *,
    ridge: float,
) -> FloatArray:
    """The solution of (X'WX + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X'Wy, W = diag(w),
    each penalty's lower triangle mirrored (as an LDL' factorisation of the lower triangle reads it)."""
    X = np.asarray(design, dtype=float)
    y = np.asarray(target, dtype=float)
    w = np.asarray(weights, dtype=float)
    k = X.shape[1]
    penalty = np.zeros((k, k))
    for R, gamma in ((R1, gamma1), (R2, gamma2)):
        if R is not None and gamma != 0.0:
            penalty += gamma * np.tril(np.asarray(R, dtype=float))
    penalty = np.tril(penalty) + np.tril(penalty, -1).T
    system = X.T @ (w[:, None] * X) + ridge * np.eye(k) + float(np.sum(w)) * penalty
    return np.linalg.solve(system, X.T @ (w * y)) if k else np.zeros(0)


def bisquare_weights(
    residuals: npt.ArrayLike, scale: float, tuning: float, case_weights: npt.ArrayLike | None = None
) -> FloatArray:
    """Tukey's bisquare weights (1 - min(abs(r / scale) / tuning, 1)^2)^2, times the case
    weights where given, as korva._robust.bisquare_weights forms them."""
    with np.errstate(over="ignore"):  # a residual far beyond the cut-off: inf, weight 0
        weights = losses.weights(np.asarray(residuals, dtype=float) / scale, tuning)
    return weights if case_weights is None else weights * np.asarray(case_weights, dtype=float)


def bisquare_moments(
    design: npt.ArrayLike,
    residuals: npt.ArrayLike,
    scale: float,
    tuning: float,
    case_weights: npt.ArrayLike | None = None,
    slopes: bool = False,
) -> tuple[FloatArray, dict[str, float]]:
    """The Gram matrix X'diag(c w)X (with ``slopes`` X'diag(c psi')X) and the row sums of a
    bisquare fit at a fixed scale, as korva._robust.bisquare_moments forms them (an
    infinite tuning: least squares)."""
    X = np.asarray(design, dtype=float)
    z = np.asarray(residuals, dtype=float) / scale
    c = np.ones(z.size) if case_weights is None else np.asarray(case_weights, dtype=float)
    weights = losses.weights(z, tuning)
    slope = losses.psi_slope(z, tuning)
    psi = losses.psi(z, tuning)
    sums = {
        "total": float(c.sum()),
        "in_use": float(c[weights > 0.0].sum()),
        "slope": float((c * slope).sum()),
        "slope_square": float((c * slope**2).sum()),
        "weight": float((c * weights).sum()),
        "psi_square": float((c * psi**2).sum()),
    }
    return np.einsum("ni,n,nj->ij", X, c * (slope if slopes else weights), X), sums


def reweight(
    design: npt.ArrayLike,
    target: npt.ArrayLike,
    beta: npt.ArrayLike,
    scale: float,
    R1: npt.ArrayLike | None = None,
    R2: npt.ArrayLike | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    sample_weight: npt.ArrayLike | None = None,
    *,
    max_steps: int,
    tolerance: float,
    tuning: float,
    ridge: float,
) -> FloatArray:
    """Bisquare-weighted, penalised least squares at a fixed scale, to convergence.

    Each step weighs the rows by (1 - (r / (c scale))^2)^2 (0 beyond c = `tuning`) times
    `sample_weight` and solves (X'WX + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X'Wy;
    it stops once max |X (new - old)| <= tolerance * scale or after `max_steps` solves.
    """
    X = np.asarray(design, dtype=float)
    y = np.asarray(target, dtype=float)
    current = np.asarray(beta, dtype=float).copy()
    if scale == 0.0:
        return current
    prior = None if sample_weight is None else np.asarray(sample_weight, dtype=float)
    for _ in range(max_steps):
        w = losses.weights((y - X @ current) / scale, tuning)
        if prior is not None:
            w = w * prior
        updated = weighted_least_squares(X, y, w, R1, R2, gamma1, gamma2, ridge=ridge)
        change = float(np.max(np.abs(X @ (updated - current)), initial=0.0))
        current = updated
        if change <= tolerance * scale:
            break
    return current


def concentrate_starts(
    design: npt.ArrayLike,
    target: npt.ArrayLike,
    starts: npt.ArrayLike,
    keep: float,
    weights: npt.ArrayLike | None = None,
    penalty: npt.ArrayLike | None = None,
    *,
    max_steps: int,
    ridge: float,
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Concentration steps from each start: least squares on the rows nearest the fit.

    The rows are those of `nearest_rows`; each step solves
    (X_S' W X_S + (sum w) penalty + ridge * mean diag I) beta = X_S' W y_S, until the
    rows kept repeat or after `max_steps` solutions. Returns the coefficients, the
    trimmed sum of squares of the rows nearest the last of them and those rows' weights.
    """
    X = np.asarray(design, dtype=float)
    y = np.asarray(target, dtype=float)
    n, k = X.shape
    P = np.zeros((k, k)) if penalty is None else np.asarray(penalty, dtype=float)

    def nearest(beta: FloatArray) -> tuple[FloatArray, FloatArray]:
        squared = (y - X @ beta) ** 2
        return nearest_rows(squared, keep, weights), squared

    betas, trimmed, kept_rows = [], [], []
    for start in np.asarray(starts, dtype=float).reshape(-1, k):
        beta, previous = start.copy(), None
        for _ in range(max_steps):
            kept, _ = nearest(beta)
            if previous is not None and np.array_equal(kept, previous):
                break
            gram = (X * kept[:, None]).T @ X + kept.sum() * P
            gram += ridge * max(np.trace(gram) / k, np.finfo(float).tiny) * np.eye(k)
            beta = np.linalg.solve(gram, (X * kept[:, None]).T @ y)
            previous = kept
        kept, squared = nearest(beta)
        betas.append(beta)
        trimmed.append(float(kept @ squared))
        kept_rows.append(kept)
    return np.array(betas).reshape(-1, k), np.array(trimmed), np.array(kept_rows).reshape(-1, n)


def nearest_rows(squared: npt.ArrayLike, keep: float, weights: npt.ArrayLike | None = None) -> FloatArray:
    """The weight each row keeps when trimmed to `keep`: the rows in order of their squared
    residual, ties by row number, until their weights (1 without weights) reach `keep`, the
    last one in part."""
    squared = np.asarray(squared, dtype=float)
    n = squared.size
    w = np.ones(n) if weights is None else np.asarray(weights, dtype=float)
    order = np.lexsort((np.arange(n), squared))
    before = np.cumsum(w[order]) - w[order]
    kept = np.zeros(n)
    kept[order] = np.clip(keep - before, 0.0, w[order])
    return kept
