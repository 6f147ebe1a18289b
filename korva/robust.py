"""Robust scale, concentration steps and the efficient final fit of the estimator.

The MDL search finds coefficients that most points agree with, but the hit rate
cannot tell apart fits that keep the same points within its tolerance. These
steps turn such a start into a fit as precise as least squares on the good points:

1. Concentration: least squares on the half of the points with the smallest
   residuals, repeated until that half stops changing, from each start.
2. The start whose residuals have the smallest M-scale wins. The M-scale (Tukey's
   biweight, 50 % breakdown, consistent at the normal) is the scale S-estimators
   minimise. (In a prototype, the median absolute residual flagged a good point of a
   small data set and lost efficiency when the noise varies; this scale did not.)
3. MM step: iteratively reweighted least squares with Tukey's bisquare tuned for
   95 % efficiency at the normal, the scale held fixed at the winner's M-scale.

All work is in y's standardised units; penalties act in every least-squares step.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import korva_core

FloatArray = NDArray[np.float64]

# Biweight constant and breakdown of the M-scale: E[rho(Z / 1)] = 0.5 at the normal,
# so the scale is consistent there and half the residuals may be arbitrary.
SCALE_TUNING = 1.5476450
SCALE_BREAKDOWN = 0.5
# Bisquare constant of the final reweighting: 95 % efficiency at the normal.
EFFICIENT_TUNING = 4.6850649
# The median absolute value of a standard normal variable.
NORMAL_MEDIAN_ABS = 0.6744897501960817
MAX_CONCENTRATION_STEPS = 20
MAX_REWEIGHTING_STEPS = 50
MAX_SCALE_STEPS = 100
SCALE_RELATIVE_TOLERANCE = 1e-10
REWEIGHTING_RELATIVE_TOLERANCE = 1e-5


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
        # Rows of weight 0 contribute nothing; scaling every row beats selecting rows.
        root = np.sqrt(weights)
        share = float(weights.sum()) / max(weights.size, 1)
        return korva_core.fit_regularized_linear(
            root[:, None] * design,
            root * target,
            self.R1,
            self.R2,
            self.gamma1 * share,
            self.gamma2 * share,
        )


def biweight_rho(scaled: FloatArray, tuning: float) -> FloatArray:
    """Tukey's biweight loss of residuals in units of the scale, rising from 0 to 1."""
    u = np.minimum(np.abs(scaled) / tuning, 1.0)
    rho: FloatArray = 1.0 - (1.0 - u * u) ** 3
    return rho


def bisquare_weights(scaled: FloatArray, tuning: float) -> FloatArray:
    """Tukey's bisquare weights (1 - (r / c)^2)^2 inside the cut-off c, 0 beyond."""
    u = np.minimum(np.abs(scaled) / tuning, 1.0)
    weights: FloatArray = (1.0 - u * u) ** 2
    return weights


def m_scale(residuals: FloatArray, guess: float = 0.0) -> float:
    """The biweight M-scale s of the residuals: mean rho(r / s) = 1/2.

    It is 0 when at least half of the residuals are exactly 0. A positive ``guess``
    near s saves the search its first steps.
    """
    absolute = np.abs(residuals)
    n = absolute.size
    if n == 0:
        return 0.0
    if np.count_nonzero(absolute) <= n // 2:
        return 0.0
    if guess > 0.0:
        scale = guess
    else:
        scale = float(np.partition(absolute, n // 2)[n // 2]) / NORMAL_MEDIAN_ABS
    squared = absolute * absolute
    # Newton's method on ln s (the mean loss falls smoothly as s grows), with the
    # classic fixed point s^2 <- s^2 mean rho / b where the slope vanishes.
    for _ in range(MAX_SCALE_STEPS):
        share = np.minimum(squared * (1.0 / (SCALE_TUNING * scale) ** 2), 1.0)  # (u / c)^2
        inside = 1.0 - share
        inside_squared = inside * inside
        mean_rho = 1.0 - float(np.mean(inside_squared * inside))
        # d mean rho / d ln s = -mean(u psi(u)) = -6 mean((u / c)^2 (1 - (u / c)^2)^2)
        slope = -6.0 * float(np.mean(share * inside_squared))
        if slope < -1e-3:
            step = min(max((SCALE_BREAKDOWN - mean_rho) / slope, -1.0), 1.0)
        else:
            step = 0.5 * math.log(max(mean_rho, 1e-300) / SCALE_BREAKDOWN)
        scale *= math.exp(step)
        if abs(step) <= SCALE_RELATIVE_TOLERANCE:
            break
    return scale


def residual_scale(residuals: FloatArray, guess: float = 0.0) -> float:
    """The M-scale of the residuals, with a fallback for exact fits to most points.

    When more than half the residuals are exactly 0 (most of y ties and the fit goes
    through the tied values), the M-scale is 0 and would call every other point an
    outlier; the scale of the residuals that are not 0 is taken instead. It is 0
    only when every residual is.
    """
    scale = m_scale(residuals, guess)
    if scale > 0.0:
        return scale
    return m_scale(residuals[residuals != 0.0])


def concentrate(design: FloatArray, target: FloatArray, beta: FloatArray, solve: LeastSquares) -> FloatArray:
    """Concentration steps: least squares on the h points nearest the fit, until h settles.

    h = (n + k + 1) // 2 for k terms, the largest half the fit can lean on while
    half the points may be outliers. Each step lowers the sum of the h smallest
    squared residuals, so the steps end within a few repeats.
    """
    n, k = design.shape
    keep = min(n, (n + k + 1) // 2)
    chosen: NDArray[np.intp] | None = None
    for _ in range(MAX_CONCENTRATION_STEPS):
        distance = np.abs(target - design @ beta)
        nearest = np.sort(np.argpartition(distance, keep - 1)[:keep])
        if chosen is not None and np.array_equal(nearest, chosen):
            break
        chosen = nearest
        beta = solve(design[chosen], target[chosen])
    return beta


@dataclass(frozen=True)
class RobustFit:
    beta: FloatArray
    scale: float  # the M-scale of the chosen start's residuals, in standardised units


def best_start(design: FloatArray, target: FloatArray, starts: Sequence[FloatArray], solve: LeastSquares) -> RobustFit:
    """Concentrate every start and keep the one whose residuals have the smallest M-scale."""
    best: RobustFit | None = None
    for start in starts:
        beta = concentrate(design, target, start, solve)
        scale = residual_scale(target - design @ beta)
        if best is None or scale < best.scale:
            best = RobustFit(beta, scale)
    assert best is not None, "at least one start is needed"
    return best


def reweight(design: FloatArray, target: FloatArray, beta: FloatArray, scale: float, solve: LeastSquares) -> FloatArray:
    """The MM step: bisquare-weighted least squares with the scale held fixed, to convergence.

    Without penalties every step lowers the sum of the bisquare losses, so the fit
    keeps to the valley of its start and is not drawn back to the outliers that the
    start let go (their weights are 0 beyond 4.69 scales).
    """
    if scale == 0.0:
        return beta  # an exact fit to every point
    for _ in range(MAX_REWEIGHTING_STEPS):
        weights = bisquare_weights((target - design @ beta) / scale, EFFICIENT_TUNING)
        updated = solve.weighted(design, target, weights)
        change = float(np.max(np.abs(design @ (updated - beta)), initial=0.0))
        beta = updated
        if change <= REWEIGHTING_RELATIVE_TOLERANCE * scale:
            break
    return beta


def description_length(residuals: FloatArray, scale: float, n_terms: int) -> float:
    """A two-part description length in nats of a fit with ``n_terms`` coefficients.

    The residuals cost the bisquare loss in units of ``scale``, shaped like the normal
    code u^2 / 2 for small residuals and capped at c^2 / 6 for outliers, so that gross
    outliers cannot decide between models; each coefficient costs ln(n) / 2.
    """
    n = residuals.size
    cap = EFFICIENT_TUNING**2 / 6.0
    data = cap * float(np.sum(biweight_rho(residuals / scale, EFFICIENT_TUNING)))
    return data + 0.5 * n_terms * math.log(n)
