"""Monomial bases and smoothness penalties in one and several variables."""

import gc
import itertools
import math
import re
from fractions import Fraction

import numpy as np
import pytest
from numpy.polynomial import polynomial as P

import korva.testing as reference
import korva_core as kc

NAN = math.nan


def exact(msg):
    return f"^{re.escape(msg)}$"


def mono_deriv(x, p, order):
    """Derivative of the given order of x**p, elementwise; zero when p < order."""
    x = np.asarray(x, dtype=float)
    if p < order:
        return np.zeros_like(x)
    return math.perm(p, order) * x ** (p - order)


def assert_close(actual, expected, rel=1e-12):
    """Entrywise agreement up to `rel` times the largest entry of the reference."""
    expected = np.asarray(expected, dtype=float)
    assert actual.shape == expected.shape
    scale = max(np.abs(expected).max(initial=0.0), 1e-300)
    np.testing.assert_allclose(actual, expected, rtol=0, atol=rel * scale)


def assert_psd(R):
    ev = np.linalg.eigvalsh(R)
    assert ev.min() >= -1e-11 * max(np.abs(R).max(), 1.0)


# ---------------------------------------------------------------- design_matrix_1d


@pytest.mark.parametrize("deg", [0, 1, 2, 5, 9])
def test_design_matrix_1d_matches_polyvander(rng, deg):
    x = rng.uniform(-3, 3, size=40)
    Phi = kc.design_matrix_1d(deg, x)
    assert Phi.shape == (40, deg + 1) and Phi.dtype == np.float64
    assert Phi.flags.f_contiguous and Phi.flags.writeable
    np.testing.assert_allclose(Phi, P.polyvander(x, deg), rtol=1e-14, atol=0)
    assert np.all(Phi[:, 0] == 1.0)
    if deg >= 1:
        assert np.array_equal(Phi[:, 1], x)


@pytest.mark.parametrize(
    "deg, x, expected",
    [
        (3, [2.0], [[1, 2, 4, 8]]),
        (3, [0.0], [[1, 0, 0, 0]]),
        (0, [NAN, -2.0, 7.0], [[1], [1], [1]]),
        (2, [NAN, math.inf], [[1, NAN, NAN], [1, math.inf, math.inf]]),
        (4, [], np.empty((0, 5))),
        (0, [], np.empty((0, 1))),
    ],
)
def test_design_matrix_1d_values(deg, x, expected):
    Phi = kc.design_matrix_1d(deg, np.asarray(x, dtype=float))
    np.testing.assert_array_equal(Phi, np.asarray(expected, dtype=float))


# ------------------------------------------------------ 1-D penalties and boundary


def test_penalty_1d_two_points():
    R1, R2 = kc.smoothness_penalty_matrices_1d(1, 0.0, 1.0, 2)
    np.testing.assert_array_equal(R1, [[0, 0], [0, 2]])
    np.testing.assert_array_equal(R2, np.zeros((2, 2)))


def test_penalty_1d_three_points():
    R1, R2 = kc.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 3)
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
    np.testing.assert_array_equal(R2, [[0, 0, 0], [0, 0, 0], [0, 0, 6]])


def test_penalty_1d_degenerate_and_default_grid():
    R1, R2 = kc.smoothness_penalty_matrices_1d(0, -1.0, 4.0)
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])
    R1, R2 = kc.smoothness_penalty_matrices_1d(3, 0.7, 0.7, 10)  # zero width
    assert R1.shape == (4, 4) and not R1.any() and not R2.any()
    default = kc.smoothness_penalty_matrices_1d(deg=4, x_min=-1.0, x_max=2.0)
    explicit = kc.smoothness_penalty_matrices_1d(4, -1.0, 2.0, n_grid=600)
    assert all(np.array_equal(a, b) for a, b in zip(default, explicit))


@pytest.mark.parametrize("deg, n", [(1, 2), (3, 5), (5, 17), (7, 600), (4, 2)])
def test_penalty_1d_against_rectangle_sum(rng, deg, n):
    lo = rng.uniform(-2.0, 1.0)
    hi = lo + rng.uniform(0.3, 3.0)
    R1, R2 = kc.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    ref1, ref2 = reference.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    assert_close(R1, ref1)
    assert_close(R2, ref2)
    for R in (R1, R2):
        assert R.flags.f_contiguous and R.flags.writeable
        assert np.array_equal(R, R.T)
        assert_psd(R)
    assert not R1[0].any() and not R1[:, 0].any()
    assert not R2[:2].any() and not R2[:, :2].any()
    # reversed bounds walk the same points downwards with a negative weight
    S1, S2 = kc.smoothness_penalty_matrices_1d(deg, hi, lo, n)
    assert_close(S1, -ref1)
    assert_close(S2, -ref2)


def fma(a, b, c):
    return float(Fraction(a) * Fraction(b) + Fraction(c))  # one rounding, as a fused multiply-add


@pytest.mark.parametrize("deg, n, lo, hi", [(6, 300, -1.3, 0.9), (13, 21, -0.7, 1.1), (3, 257, 0.0, 1.0)])
def test_penalty_1d_entries_are_the_fused_grid_sums(deg, n, lo, hi):
    # Bit for bit: x_g = fma(g, dx, lo); d = factor * pow(x, p - order); each
    # entry accumulates fma(d(a) * d(b), dx, R) over the grid in order.
    pow_ = libm_pow()
    dx = (hi - lo) / (n - 1)
    R1 = np.zeros((deg + 1, deg + 1))
    R2 = np.zeros((deg + 1, deg + 1))
    for g in range(n):
        x = fma(g, dx, lo)
        d1 = [0.0] + [float(p) * pow_(x, p - 1) for p in range(1, deg + 1)]
        d2 = [0.0, 0.0] + [float(p * (p - 1)) * pow_(x, p - 2) for p in range(2, deg + 1)]
        for a in range(deg + 1):
            for b in range(a + 1):
                R1[a, b] = fma(d1[a] * d1[b], dx, R1[a, b])
                R2[a, b] = fma(d2[a] * d2[b], dx, R2[a, b])
    for R in (R1, R2):
        R[np.triu_indices(deg + 1, 1)] = R.T[np.triu_indices(deg + 1, 1)]
    got = kc.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    np.testing.assert_array_equal(got[0], R1)
    np.testing.assert_array_equal(got[1], R2)


@pytest.mark.parametrize(
    "deg, expected",
    [
        (-1, np.empty((0, 0))),
        (0, [[0]]),
        (1, [[0, 0], [0, 0]]),
        (2, [[0, 0, 0], [0, 0, 0], [0, 0, 4]]),
        (3, [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]]),
    ],
)
def test_boundary_worked_values(deg, expected):
    B = kc.boundary_reduce_1d(deg, 0.0, 1.0)
    np.testing.assert_array_equal(B, np.asarray(expected, dtype=float))
    assert B.flags.f_contiguous and B.flags.writeable
    if deg == 3:  # f = x + x^3: f'(1) f''(1) - f'(0) f''(0) = 4 * 6 - 1 * 0
        beta = np.array([0.0, 1.0, 0.0, 1.0])
        assert beta @ B @ beta == 24.0


@pytest.mark.parametrize("deg", [0, 2, 3, 4, 6])
def test_boundary_identity(rng, deg):
    a = rng.uniform(-2.0, 1.0)
    b = a + rng.uniform(0.2, 2.5)
    B = kc.boundary_reduce_1d(deg, a, b)
    assert B.shape == (deg + 1, deg + 1) and np.array_equal(B, B.T)
    for _ in range(20):
        beta = rng.normal(size=deg + 1)
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        want = P.polyval(b, d1) * P.polyval(b, d2) - P.polyval(a, d1) * P.polyval(a, d2)
        scale = np.abs(beta) @ np.abs(B) @ np.abs(beta) + 1.0
        assert abs(beta @ B @ beta - want) <= 1e-12 * scale
    assert_close(kc.boundary_reduce_1d(deg, b, a), -B, rel=1e-13)


@pytest.mark.parametrize("deg", [3, 5])
@pytest.mark.parametrize("x_max", [3.5e153, -3.5e153])
def test_boundary_entries_near_the_top_of_the_double_range(deg, x_max):
    # B(2, 3) is the average of 6 x^2 and 12 x^2, whose sum overflows while the
    # average does not; entries whose products overflow stay infinite or NaN.
    with np.errstate(invalid="ignore", over="ignore"):
        b1 = np.array([mono_deriv(x_max, p, 1) for p in range(deg + 1)])
        b2 = np.array([mono_deriv(x_max, p, 2) for p in range(deg + 1)])
        Rb = np.outer(b2, b1)
        Rb[2, 1] -= 2.0  # f'(0) f''(0): at x_min = 0 only x and x^2 have derivatives there
        expected = 0.5 * Rb + 0.5 * Rb.T
    B = kc.boundary_reduce_1d(deg, 0.0, x_max)
    np.testing.assert_array_equal(B, expected)
    assert np.isfinite(B[2, 3])


# ------------------------------------------------------------------ design_matrix_nd


@pytest.mark.parametrize("deg", [0, 1, 4, 8])
def test_design_matrix_nd_one_dimension_matches_1d(rng, deg):
    x = rng.uniform(-2, 2, size=25)
    Phi = kc.design_matrix_nd([[p] for p in range(deg + 1)], [x])
    np.testing.assert_allclose(Phi, kc.design_matrix_1d(deg, x), rtol=1e-14, atol=0)
    assert Phi.flags.f_contiguous and Phi.flags.writeable


def test_design_matrix_nd_products(rng):
    x, y = rng.uniform(-2, 2, size=(2, 30))
    Phi = kc.design_matrix_nd([[0, 0], [1, 0], [0, 1], [1, 1], [2, 1]], [x, y])
    expected = np.stack([np.ones_like(x), x, y, x * y, x**2 * y], axis=1)
    np.testing.assert_allclose(Phi, expected, rtol=1e-15, atol=0)
    assert np.all(Phi[:, 0] == 1.0)


class FreshItems(list):
    """A list whose items are new arrays on every pass, alive only while fetched."""

    def __iter__(self):
        return (np.array(c) for c in list.__iter__(self))


class DoubledByIndex(list):
    """A list whose items read by index differ from those it iterates over."""

    def __getitem__(self, i):
        return 2 * list.__getitem__(self, i)


def misaligned(a):
    """A float64 array whose data sits at an odd byte offset."""
    out = np.ndarray(a.shape, np.float64, buffer=bytearray(a.nbytes + 1), offset=1)
    out[...] = a
    return out


@pytest.mark.parametrize("n", [0, 1, 5, 300_001])  # 300 001 rows: results beyond 2 MiB
@pytest.mark.parametrize("build", ["1d", "nd"])
def test_design_matrices_own_their_storage(rng, n, build):
    x = rng.uniform(-1, 1, n)
    Phi = kc.design_matrix_1d(3, x) if build == "1d" else kc.design_matrix_nd([[0], [1], [2], [3]], [x])
    assert Phi.shape == (n, 4) and Phi.dtype == np.float64
    assert Phi.flags.f_contiguous and Phi.flags.writeable and not np.shares_memory(Phi, x)
    column, expected = Phi[:, 3], Phi[:, 3].copy()
    del Phi
    gc.collect()
    _reuse = [np.full(n, 7.0) for _ in range(3)]  # would take over the storage had it been freed
    np.testing.assert_array_equal(column, expected)
    column[:] = 1.0  # still writeable through the view
    np.testing.assert_array_equal(column, 1.0)


COLUMN_FORMS = {
    "list of arrays": lambda a: [a[0], a[1]],
    "tuple of arrays": lambda a: (a[0], a[1]),
    "lists of floats": lambda a: [a[0].tolist(), a[1].tolist()],
    "float32": lambda a: [a[0].astype(np.float32), a[1].astype(np.float32)],
    "strided views": lambda a: [np.repeat(a[0], 2)[::2], np.repeat(a[1], 2)[::2]],
    "big-endian": lambda a: [a[0].astype(">f8"), a[1].astype(">f8")],
    "column arrays": lambda a: [a[0][:, None], a[1][:, None]],
    "rows of a 2-D array": lambda a: np.stack(a),
    "generator": lambda a: (c for c in a),
    "mixed": lambda a: [a[0].tolist(), a[1]],
    "fresh items": lambda a: FreshItems([a[0], a[1]]),
    "items by iteration": lambda a: DoubledByIndex([a[0], a[1]]),
    "misaligned": lambda a: [misaligned(a[0]), misaligned(a[1])],
}


@pytest.mark.parametrize("form", COLUMN_FORMS)
def test_design_matrix_nd_accepts_columns_in_any_form(rng, form):
    # Columns are read in place when they can be and converted otherwise; both
    # must give the same matrix, and the input must be left as it was.
    cols = rng.integers(-16, 17, size=(2, 37)) / 8  # exact in float32 too
    before = cols.copy()
    mis = [[0, 0], [1, 0], [2, 3], [3, 1]]
    expected = np.stack([cols[0] ** a * cols[1] ** b for a, b in mis], axis=1)
    Phi = kc.design_matrix_nd(mis, COLUMN_FORMS[form](cols))
    np.testing.assert_array_equal(Phi, expected)
    np.testing.assert_array_equal(cols, before)
    assert Phi.flags.f_contiguous and Phi.flags.writeable


def test_design_matrix_nd_random_multi_indices(rng):
    cols = list(rng.uniform(-1.5, 1.5, size=(3, 20)))
    mis = rng.integers(0, 5, size=(12, 3)).tolist()
    expected = np.stack([np.prod([c**p for c, p in zip(cols, mi)], axis=0) for mi in mis], axis=1)
    np.testing.assert_allclose(kc.design_matrix_nd(mis, cols), expected, rtol=1e-13, atol=0)


def libm_pow():
    import ctypes
    import ctypes.util

    fn = ctypes.CDLL(ctypes.util.find_library("m")).pow
    fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_double]
    return fn


def near_rounding_midpoints(rng):
    """Values x with x^p, for some p in 2..12, within 0.05 units in the last
    place of a midpoint between two doubles (found in exact integer arithmetic)."""
    x = rng.uniform(-2, 2, 20000)
    keep = np.zeros(x.size, bool)
    for i, v in enumerate(x):
        m, _ = abs(float(v)).as_integer_ratio()
        for p in range(2, 13):
            mp = m**p
            shift = max(mp.bit_length() - 53, 0)
            if abs((mp & ((1 << shift) - 1)) / (1 << shift) - 0.5) <= 0.05:
                keep[i] = True
                break
    return x[keep]


POWER_INPUTS = {
    "unit": lambda rng: rng.uniform(-1, 1, 6000),
    "near-midpoints": near_rounding_midpoints,
    "heavy-tailed": lambda rng: rng.standard_cauchy(3000),
    "tiny": lambda rng: rng.uniform(-1e-3, 1e-3, 1000),
    "wide-exponents": lambda rng: np.ldexp(rng.uniform(1, 2, 2000), rng.integers(-400, 400, 2000)),
    "special": lambda rng: np.array(
        [
            0.0,
            -0.0,
            1.0,
            -1.0,
            2.0,
            -0.5,
            3.0,
            np.inf,
            -np.inf,
            np.nan,
            1e-300,
            -1e300,
            5e-324,
            2.0**-450,
            1.0 + 2.0**-27,
            3.0**0.5,
        ]
    ),
}


@pytest.mark.parametrize("kind", POWER_INPUTS)
def test_design_matrix_nd_powers_are_those_of_pow(rng, kind):
    # Every power must be the C library's pow value bit for bit, including
    # near rounding midpoints, powers of two, underflow, overflow and NaN.
    x = POWER_INPUTS[kind](rng)
    pow_ = libm_pow()
    exponents = [*range(2, 13), 31, 64, 65, 200]
    Phi = kc.design_matrix_nd([[p] for p in exponents], [x])
    with np.errstate(all="ignore"):
        for j, p in enumerate(exponents):
            ref = np.array([pow_(v, p) for v in x])
            same = (Phi[:, j].view(np.int64) == ref.view(np.int64)) | (np.isnan(Phi[:, j]) & np.isnan(ref))
            assert same.all(), (p, x[~same][:5], Phi[~same, j][:5], ref[~same][:5])


@pytest.mark.parametrize("D, shuffled", [(2, False), (3, False), (3, True), (4, False)])
def test_design_matrix_nd_products_round_in_dimension_order(rng, D, shuffled):
    # Each entry is pow(x_0, e_0) * pow(x_1, e_1) * ... rounded after every
    # factor in increasing dimension, skipping exponent 0, whatever order the
    # columns come in and however many of them share leading factors.
    x = rng.uniform(-3, 3, size=(D, 600))  # more rows than one block
    mis = [list(t) for t in itertools.product(range(4), repeat=D)]
    if shuffled:
        mis = [mis[i] for i in rng.permutation(len(mis))]
    pow_ = libm_pow()
    powers = {(d, p): np.array([pow_(v, p) for v in x[d]]) for d in range(D) for p in range(2, 4)}
    expected = np.empty((x.shape[1], len(mis)))
    for j, mi in enumerate(mis):
        factors = [x[d] if p == 1 else powers[d, p] for d, p in enumerate(mi) if p > 0]
        col = factors[0] if factors else np.ones(x.shape[1])
        for f in factors[1:]:
            col = col * f
        expected[:, j] = col
    np.testing.assert_array_equal(kc.design_matrix_nd(mis, list(x)), expected)


@pytest.mark.parametrize(
    "mis, cols, expected",
    [
        # 0**0 counts as 1
        ([[0, 0], [1, 0], [0, 2]], [[0.0], [0.0]], [[1, 0, 0]]),
        # a NaN coordinate contributes 1 under exponent 0 and NaN under a positive one
        ([[0, 0], [1, 0], [0, 1], [1, 1]], [[NAN, 2.0], [3.0, NAN]], [[1, NAN, 3, NAN], [1, 2, NAN, NAN]]),
        # exponents below zero contribute 1, never a reciprocal (x = 0 would give inf)
        ([[-3, 1], [-1, -1]], [[0.0, 2.0], [5.0, 7.0]], [[5, 1], [7, 1]]),
        # a multi-index longer than the column list uses only its first entries
        ([[1, 5, 7], [2, 9]], [[3.0, -2.0]], [[3, 9], [-2, 4]]),
        # the first column fixes the row count; extra rows of later columns are ignored
        ([[1, 1]], [[2.0, 3.0], [5.0, 7.0, 11.0]], [[10], [21]]),
        ([], [[1.0, 2.0, 3.0]], np.empty((3, 0))),
    ],
    ids=["zero-pow-zero", "nan", "negative", "long-index", "long-column", "no-basis"],
)
def test_design_matrix_nd_rules(mis, cols, expected):
    Phi = kc.design_matrix_nd(mis, [np.asarray(c, dtype=float) for c in cols])
    np.testing.assert_array_equal(Phi, np.asarray(expected, dtype=float))


# -------------------------------------------------------- build_penalty_matrices_nd


@pytest.mark.parametrize("degrees", [[1, 2], [0], [3], [2, 0, 1], [1, 1, 1, 1]])
def test_nd_multi_index_order(degrees):
    *_, mis = kc.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 3)
    assert mis == [list(m) for m in itertools.product(*(range(g + 1) for g in degrees))]


def exact_2d_bilinear(n):
    """Exact R1, R2 for the basis 1, y, x, x*y on the unit square with n points per axis."""
    step = Fraction(1, n - 1)
    R1 = [[Fraction(0)] * 4 for _ in range(4)]
    R2 = [[Fraction(0)] * 4 for _ in range(4)]
    for kx, ky in itertools.product(range(n), repeat=2):
        x, y = kx * step, ky * step
        for g in ([0, 0, 1, y], [0, 1, 0, x]):  # d/dx and d/dy of (1, y, x, xy)
            for a, b in itertools.product(range(4), repeat=2):
                R1[a][b] += g[a] * g[b] * step * step
        R2[3][3] += 2 * step * step  # d2/dxdy and d2/dydx of xy, each 1
    return np.array(R1, dtype=float), np.array(R2, dtype=float)


def test_nd_bilinear_two_points():
    R1, R2, mis = kc.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)], 2)
    assert mis == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    expected2 = np.zeros((4, 4))
    expected2[3, 3] = 8
    np.testing.assert_array_equal(R2, expected2)


def test_nd_bilinear_thirty_points():
    R1, R2, _ = kc.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)])  # default n = 30
    assert R2[3, 3] == pytest.approx(1800 / 841, rel=1e-14)
    assert R1[2, 2] == pytest.approx(900 / 841, rel=1e-14)
    assert R1[2, 3] == R1[3, 2] == pytest.approx(450 / 841, rel=1e-14)
    ref1, ref2 = exact_2d_bilinear(30)
    assert_close(R1, ref1, rel=1e-14)
    assert_close(R2, ref2, rel=1e-14)


@pytest.mark.parametrize(
    "deg, lo, hi, n", [(2, 0.0, 1.0, 3), (4, -1.5, 2.0, 9), (6, 0.5, 3.0, 40), (3, -2.0, -0.5, 600)]
)
def test_nd_one_dimension_matches_1d(deg, lo, hi, n):
    R1, R2, mis = kc.build_penalty_matrices_nd([deg], [(lo, hi)], n)
    assert mis == [[p] for p in range(deg + 1)]
    S1, S2 = kc.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    assert_close(R1, S1)
    assert_close(R2, S2)
    if n == 3:  # grid 0, 0.5, 1 and weight 0.5 are exact
        np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
        np.testing.assert_array_equal(R2, np.diag([0.0, 0.0, 6.0]))


# The builder sums one axis at a time (the grid and the basis are tensor
# products); the reference sums over every grid point directly. Both must
# agree to 1e-13 of the largest entry.
@pytest.mark.parametrize(
    "degrees, n",
    [([2, 1], 4), ([3, 2], 7), ([1, 2, 1], 3), ([2, 2, 2], 4), ([3, 3], 30), ([4, 1, 2], 12), ([3, 0, 3], 9)],
)
def test_nd_against_direct_sum(rng, degrees, n):
    lo = rng.uniform(-2.0, 1.0, size=len(degrees))
    bounds = [(float(a), float(a + w)) for a, w in zip(lo, rng.uniform(0.5, 2.0, size=len(degrees)))]
    R1, R2, mis = kc.build_penalty_matrices_nd(degrees, bounds, n)
    ref1, ref2, ref_mis = reference.build_penalty_matrices_nd(degrees, bounds, n)
    assert mis == ref_mis
    assert_close(R1, ref1, rel=1e-13)
    assert_close(R2, ref2, rel=1e-13)
    for R in (R1, R2):
        assert R.flags.f_contiguous and R.flags.writeable
        assert np.array_equal(R, R.T)
        assert not R[0].any() and not R[:, 0].any()
        assert_psd(R)
    # constants and linear terms carry no second derivatives at all
    linear = [m for m, mi in enumerate(mis) if sum(mi) <= 1]
    assert not R2[linear].any() and not R2[:, linear].any()
    # reversing one axis flips the sign of the cell volume
    flipped = [(bounds[0][1], bounds[0][0]), *bounds[1:]]
    F1, F2, _ = kc.build_penalty_matrices_nd(degrees, flipped, n)
    assert_close(F1, -ref1)
    assert_close(F2, -ref2)


@pytest.mark.parametrize(
    "degrees, M, mis",
    [([], 1, [[]]), ([0, 0, 0], 1, [[0, 0, 0]]), ([2, -1], 0, []), ([-1], 0, [])],
)
def test_nd_degenerate_bases(degrees, M, mis):
    R1, R2, got = kc.build_penalty_matrices_nd(degrees, [(0.0, 2.0)] * len(degrees), 5)
    assert got == mis
    assert R1.shape == R2.shape == (M, M)
    assert not R1.any() and not R2.any()


# ------------------------------------------------------------------------ bad input

BAD_VALUES = [
    (kc.design_matrix_1d, (-1, [1.0, 2.0]), exact("deg < 0")),
    (kc.design_matrix_1d, (-7, []), exact("deg < 0")),
    (kc.smoothness_penalty_matrices_1d, (-1, 0.0, 1.0, 10), exact("deg < 0")),
    (kc.smoothness_penalty_matrices_1d, (-1, 0.0, 1.0, 1), exact("deg < 0")),  # degree checked first
    (kc.smoothness_penalty_matrices_1d, (0, 0.0, 1.0, 1), exact("n_grid < 2")),
    (kc.smoothness_penalty_matrices_1d, (3, 0.0, 1.0, -4), exact("n_grid < 2")),
    (kc.boundary_reduce_1d, (-2, 0.0, 1.0), exact("deg < 0")),
    (kc.build_penalty_matrices_nd, ([1, 1], [(0, 1)], 10), exact("Dimension mismatch.")),
    (kc.build_penalty_matrices_nd, ([-5, 1], [(0, 1)], 1), exact("Dimension mismatch.")),  # checked first
    (kc.build_penalty_matrices_nd, ([], [(0, 1)], 10), exact("Dimension mismatch.")),
    (kc.build_penalty_matrices_nd, ([2, -2], [(0, 1)] * 2, 10), exact("deg < 0")),
    (kc.build_penalty_matrices_nd, ([1], [(0, 1)], 1), exact("n_grid < 2")),
    (kc.build_penalty_matrices_nd, ([1, 1], [(0, 1)] * 2, 0), exact("n_grid < 2")),
    (kc.build_penalty_matrices_nd, ([1], [(0, 1)], -3), exact("n_grid < 2")),
    (kc.design_matrix_nd, ([[0]], []), "X_cols"),
    (kc.design_matrix_nd, ([[1, 1]], [[1.0, 2.0, 3.0], [1.0, 2.0]]), "X_cols"),
    (kc.design_matrix_nd, ([[1, 1], [1]], [[1.0, 2.0], [3.0, 4.0]]), "multi_indices"),
]


@pytest.mark.parametrize("func, args, match", BAD_VALUES)
def test_value_errors(func, args, match):
    with pytest.raises(ValueError, match=match):
        func(*args)


@pytest.mark.parametrize(
    "func, args",
    [
        (kc.design_matrix_1d, (2.0, [1.0])),
        (kc.smoothness_penalty_matrices_1d, (2.0, 0.0, 1.0)),
        (kc.smoothness_penalty_matrices_1d, (2, 0.0, 1.0, 3.0)),
        (kc.boundary_reduce_1d, (2.5, 0.0, 1.0)),
        (kc.build_penalty_matrices_nd, ([1.0], [(0, 1)])),
        (kc.build_penalty_matrices_nd, ("1", [(0, 1)])),
        (kc.build_penalty_matrices_nd, ([1], [(0, 1, 2)])),
        (kc.build_penalty_matrices_nd, ([1], [0.5])),
        (kc.build_penalty_matrices_nd, ([1], [(0, 1)], 2.0)),
        (kc.design_matrix_nd, ([[0.5]], [[1.0]])),
        (kc.design_matrix_nd, ([[1]], [np.ones((2, 2))])),
    ],
)
def test_type_errors(func, args):
    with pytest.raises(TypeError):
        func(*args)


@pytest.mark.parametrize(
    "call, allowed",
    [
        # n^D does not fit a 64-bit count: refused before anything is allocated
        ("([1, 1, 1], [(0, 1)] * 3, 2**31 - 1)", {"ValueError"}),
        ("([0] * 20, [(0, 1)] * 20, 10000)", {"ValueError"}),
        # G x M doubles cannot be held
        ("([40] * 6, [(0, 1)] * 6, 30)", {"ValueError", "MemoryError"}),
    ],
)
def test_nd_oversized_grids_fail_cleanly(child_python, call, allowed):
    code = (
        "import korva_core as kc\n"
        "try:\n"
        f"    kc.build_penalty_matrices_nd{call}\n"
        "    print('returned')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__)\n"
    )
    # A 4 GiB address-space cap keeps a crash or a runaway allocation in the child.
    out = child_python.run(
        "-c",
        code,
        address_space=4 << 30,
        timeout=60,
        env=child_python.environment(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1"),
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in allowed
