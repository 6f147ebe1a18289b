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
