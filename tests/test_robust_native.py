"""korva._robust, the native robust finish, against the NumPy reference in korva.testing.

The M-scale agrees with the reference to 1e-12 relative and the reweighted coefficients to
1e-10 relative (of the largest coefficient) for well-conditioned designs: the two differ
only in the order of their sums and in the solver of the small system.
"""

import functools
import itertools
import json
import math

import numpy as np
import pytest

from korva import _robust, bases, losses, robust, testing

SCALE_RTOL = 1e-12
# The reweighting's numbers as korva.robust passes them, with its bisquare at 95 % efficiency.
REWEIGHTING = dict(
    max_steps=robust.MAX_REWEIGHTING_STEPS,
    tolerance=robust.REWEIGHTING_RELATIVE_TOLERANCE,
    tuning=losses.EFFICIENT_TUNING,
    ridge=robust.SOLVE_RIDGE,
)
# The M-scale's loss as korva.robust passes it.
native_m_scale = functools.partial(_robust.m_scale, tuning=losses.SCALE_TUNING, breakdown=losses.SCALE_BREAKDOWN)
BETA_RTOL = 1e-10


def residuals_with(rng, n, kind):
    r = rng.standard_t(3, n)
    if kind == "ties":  # many equal magnitudes, of both signs, and exact zeros
        r = np.round(r * 2) / 2
    elif kind == "outliers":
        r[: n // 3] *= 100
    return r


def weights_with(rng, n, kind):
    if kind is None:
        return None
    w = rng.uniform(0.2, 3.0, n)
    if kind == "zeros":
        w[rng.random(n) < 0.3] = 0.0
    if kind == "fractional":  # less weight in all than a row: a part of rows with small weights
        w *= 0.5 / w.sum()
    return w


@pytest.mark.parametrize("n", [1, 2, 5, 101, 40_001])  # the last spans several row blocks
@pytest.mark.parametrize("kind", ["plain", "ties", "outliers"])
@pytest.mark.parametrize("weights", [None, "random", "zeros"])
@pytest.mark.parametrize(("guess", "n_terms"), [(0.0, 0), (0.0, 3), (2.5, 0)])
def test_m_scale_matches_reference(rng, n, kind, weights, guess, n_terms):
    r = residuals_with(rng, n, kind)
    w = weights_with(rng, n, weights)
    expected = testing.m_scale(r, guess, w, n_terms)
    got = native_m_scale(r, guess, w, n_terms)
    assert got == pytest.approx(expected, rel=SCALE_RTOL, abs=0.0)
    if w is None:
        # Weights of 1 are no weights, to the bit.
        assert native_m_scale(r, guess, np.ones(n), n_terms) == got


@pytest.mark.parametrize(
    ("residuals", "weights", "n_terms"),
    [
        ([], None, 0),
        ([0.0, 0.0, 0.0, 1.0, -2.0], None, 0),  # more than half are exact zeros
        ([0.0, 0.0, 1.0, -2.0], None, 0),  # exactly half: the nonzero weight is not above b n
        ([0.0, 1.0, 2.0, 3.0], [5.0, 1.0, 1.0, 1.0], 0),  # most of the weight on an exact zero
        ([1.0, 2.0, 3.0], None, 3),  # as many terms as residuals
        ([1.0, 2.0, 3.0], [0.0, 0.0, 0.0], 0),
    ],
)
def test_m_scale_is_zero_without_a_positive_solution(residuals, weights, n_terms):
    assert testing.m_scale(residuals, 0.0, weights, n_terms) == 0.0
    assert native_m_scale(residuals, 0.0, weights, n_terms) == 0.0


@pytest.mark.parametrize("power", [-1000, 1000])
@pytest.mark.parametrize("weights", [None, "zeros"])
def test_m_scale_scales_with_the_residuals_at_the_ends_of_the_range(rng, power, weights):
    # Squares of these residuals or of their scale leave the range of doubles; the
    # search must not form them, so that scaling by a power of two scales the result.
    r = residuals_with(rng, 1001, "outliers")
    w = weights_with(rng, 1001, weights)
    assert native_m_scale(np.ldexp(r, power), weights=w) == np.ldexp(native_m_scale(r, weights=w), power)


def test_m_scale_solves_its_equation_with_zero_median(rng):
    # Six of ten residuals are 0, yet with 4 terms the right side is 3 < 4 nonzero:
    # the median start is 0, and the search starts from the largest |r| instead.
    r = np.array([0.0] * 6 + [1.0, -2.0, 3.0, 0.5])
    scale = native_m_scale(r, n_terms=4)
    u = np.minimum(np.abs(r / scale) / losses.SCALE_TUNING, 1.0)
    assert np.sum(1 - (1 - u * u) ** 3) == pytest.approx(0.5 * (r.size - 4), rel=1e-9)


def problem(rng, n, k, outliers=0.2):
    """A polynomial design in [-1, 1] with a few outliers."""
    x = rng.uniform(-1, 1, n)
    X = np.asfortranarray(np.vander(x, k, increasing=True))
    y = X @ rng.normal(size=k) + 0.1 * rng.normal(size=n)
    bad = rng.random(n) < outliers
    y[bad] += rng.normal(5, 3, bad.sum())
    return X, y


def penalties(rng, k):
    A, B = rng.normal(size=(k, k)), rng.normal(size=(k, k))
    return A @ A.T / k, B @ B.T / k


@pytest.mark.parametrize(("n", "k"), [(30, 1), (200, 3), (1000, 5), (40_000, 4), (3000, 8)])
@pytest.mark.parametrize("penalised", [False, True])
@pytest.mark.parametrize("prior", [None, "random", "zeros"])
def test_reweight_matches_reference(rng, n, k, penalised, prior):
    X, y = problem(rng, n, k)
    if n == 200:  # ties: every row twice
        X, y = np.asfortranarray(np.vstack([X[:100], X[:100]])), np.concatenate([y[:100], y[:100]])
    start = np.linalg.lstsq(X, y, rcond=None)[0]
    R1, R2 = penalties(rng, k) if penalised else (None, None)
    gammas = (1e-3, 1e-4) if penalised else (0.0, 0.0)
    w = weights_with(rng, n, prior)
    expected = testing.reweight(X, y, start, 0.15, R1, R2, *gammas, w, **REWEIGHTING)
    got = _robust.reweight(X, y, start, 0.15, R1, R2, *gammas, w, **REWEIGHTING)
    np.testing.assert_allclose(got, expected, rtol=0, atol=BETA_RTOL * np.abs(expected).max())
    # A C-ordered copy of the design takes the other path through the rows, to the same bits.
    np.testing.assert_array_equal(
        _robust.reweight(np.ascontiguousarray(X), y, start, 0.15, R1, R2, *gammas, w, **REWEIGHTING), got
    )


@pytest.mark.parametrize(("n", "k"), [(7, 3), (1000, 5), (40_000, 4)])
@pytest.mark.parametrize("penalised", [False, True])
def test_weighted_least_squares_matches_reference(rng, n, k, penalised):
    X, y = problem(rng, n, k)
    w = weights_with(rng, n, "zeros")
    R1, R2 = penalties(rng, k) if penalised else (None, None)
    gammas = (1e-3, 1e-4) if penalised else (0.0, 0.0)
    expected = testing.weighted_least_squares(X, y, w, R1, R2, *gammas, ridge=robust.SOLVE_RIDGE)
    got = _robust.weighted_least_squares(X, y, w, R1, R2, *gammas, ridge=robust.SOLVE_RIDGE)
    np.testing.assert_allclose(got, expected, rtol=0, atol=BETA_RTOL * np.abs(expected).max())
    np.testing.assert_array_equal(
        _robust.weighted_least_squares(np.ascontiguousarray(X), y, w, R1, R2, *gammas, ridge=robust.SOLVE_RIDGE), got
    )


@pytest.mark.parametrize(("n", "k"), [(7, 3), (1000, 5), (40_000, 4)])
@pytest.mark.parametrize("weights", [None, "zeros"])
@pytest.mark.parametrize("tuning", [3.4436898, np.inf])  # the bisquare, and least squares
@pytest.mark.parametrize("kind", ["plain", "ties", "outliers"])
@pytest.mark.parametrize("slopes", [False, True])
def test_bisquare_moments_match_reference(rng, n, k, weights, tuning, kind, slopes):
    X, _ = problem(rng, n, k)
    r = residuals_with(rng, n, kind)
    w = weights_with(rng, n, weights)
    expected_gram, expected = testing.bisquare_moments(X, r, 1.3, tuning, w, slopes)
    moments = _robust.bisquare_moments(X, r, 1.3, tuning, w, slopes)
    gram, sums = moments.gram, {name: getattr(moments, name) for name in expected}
    assert sums == pytest.approx(expected, rel=1e-12, abs=1e-12 * n)
    largest = np.abs(X).max() ** 2 * (1.0 if w is None else w.max())
    np.testing.assert_allclose(gram, expected_gram, rtol=0, atol=1e-13 * n * largest)
    np.testing.assert_array_equal(gram, gram.T)
    again = _robust.bisquare_moments(np.ascontiguousarray(X), r, 1.3, tuning, w, slopes).gram  # outlives its record
    np.testing.assert_array_equal(again, gram)


# Bases of a design formed where it is read: the successive powers of one input, several
# inputs with shared powers and products of up to four factors, and powers beyond the
# product chain, an input absent from a term (a factor 1) and terms in no particular order.
FORMED_BASES = [
    [[0], [1], [2], [3]],
    [[0, 0, 0], [1, 0, 0], [0, 2, 0], [1, 1, 0], [0, 0, 2], [2, 1, 1], [1, 1, 1]],
    [[0, 0, 0, 0], [1, 1, 1, 1], [2, 0, 3, 1], [0, 0, 0, 2]],
    [[70, 1], [0, 0], [0, 3], [1, 0], [2, 2]],
    [],  # no terms
]


@pytest.mark.parametrize("n", [0, 1, 5, 129, 40_001])  # about a chunk, a block of the powers, several row blocks
@pytest.mark.parametrize("exponents", FORMED_BASES)
@pytest.mark.parametrize("prior", [None, "zeros"])
def test_a_formed_design_gives_the_bits_of_the_stored_one(rng, monkeypatch, n, exponents, prior):
    columns = np.ascontiguousarray(rng.uniform(-1.3, 1.3, (len(exponents[0]) if exponents else 1, n)))
    columns[:, : min(n, 3)] = np.array([0.0, -1.0, 2.0**-0.5])[: min(n, 3)]  # exact products and powers
    stored = bases.design_matrix(exponents, columns) if exponents else np.zeros((n, 0))
    formed = _robust.MonomialDesign(list(columns), exponents)
    assert formed.shape == stored.shape
    np.testing.assert_array_equal(formed[np.arange(n)], stored)
    rows = np.sort(rng.choice(n, min(n, 7), replace=False))
    np.testing.assert_array_equal(formed[rows], stored[rows])
    monkeypatch.setattr(bases, "PART_ROWS", 7)  # the whole design and its nonzero columns, a few rows at a time
    np.testing.assert_array_equal(bases.stored(formed), stored)
    np.testing.assert_array_equal(bases.nonzero_columns(formed), bases.nonzero_columns(stored))
    beta = rng.normal(size=len(exponents))
    beta[:1] = 0.0  # a coefficient 0 adds nothing to the sums
    expected = np.zeros(n)
    for column, coefficient in zip(stored.T, beta):
        if coefficient != 0.0:
            expected = expected + column * coefficient  # the passes' own order
    np.testing.assert_array_equal(formed @ beta, expected)
    y = expected + 0.2 * rng.standard_t(3, n)
    w = weights_with(rng, n, prior)
    for newton in (False, True):
        np.testing.assert_array_equal(
            _robust.reweight(formed, y, 0.9 * beta, 0.3, sample_weight=w, **REWEIGHTING, newton=newton, refine=True),
            _robust.reweight(stored, y, 0.9 * beta, 0.3, sample_weight=w, **REWEIGHTING, newton=newton, refine=True),
        )
    formed_moments = _robust.bisquare_moments(formed, y - expected, 0.3, 3.4436898, w, slopes=True)
    stored_moments = _robust.bisquare_moments(stored, y - expected, 0.3, 3.4436898, w, slopes=True)
    np.testing.assert_array_equal(formed_moments.gram, stored_moments.gram)
    sums = ("total", "in_use", "slope", "slope_square", "weight", "psi_square")
    assert [getattr(formed_moments, name) for name in sums] == [getattr(stored_moments, name) for name in sums]


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: _robust.MonomialDesign([], [[1]]), ValueError, "columns is empty"),
        (lambda: _robust.MonomialDesign([np.ones(3), np.ones(2)], [[1, 1]]), ValueError, "columns\\[1\\] has 2 rows"),
        (lambda: _robust.MonomialDesign([np.ones(3)], [[1, 1]]), ValueError, "exponents\\[0\\] has 2 exponents"),
        (
            lambda: _robust.MonomialDesign([np.ones(3), np.ones(3)], [[0, 0], [2, -1]]),
            ValueError,
            "exponents\\[1\\]\\[1\\] is -1 \\(the power of columns\\[1\\] in term 1\\); exponents must be at least 0",
        ),
        (
            lambda: _robust.MonomialDesign([np.ones(3, complex)], [[1]]),
            TypeError,
            "columns\\[0\\] holds complex numbers",
        ),
        (lambda: FORMED[np.array([0, 3])], ValueError, "row index 3 is out of range for 3 rows"),
        (lambda: FORMED[np.array([-1])], ValueError, "row index -1 is out of range"),
        (lambda: FORMED[np.array([1, 2**63 + 5], np.uint64)], ValueError, f"row index {2**63 + 5} is out of range"),
        (lambda: FORMED[np.array([2**64 - 1], np.uint64)], ValueError, f"row index {2**64 - 1} is out of range"),
        (lambda: FORMED[np.array([0.0])], TypeError, "rows must be a 1-D array of integers"),
        (lambda: FORMED[np.array([True])], TypeError, "rows must be a 1-D array of integers"),
        (lambda: FORMED @ np.ones(3), ValueError, "beta has 3 elements but the design has 2 columns"),
        (lambda: UNINITIALISED @ np.ones(2), TypeError, "this instance was never initialised"),
        (lambda: UNINITIALISED[np.array([0])], TypeError, "this instance was never initialised"),
        (
            lambda: _robust.reweight(UNINITIALISED, [1.0], [0.0], 1.0, **REWEIGHTING),
            TypeError,
            "this instance was never initialised",
        ),
        (
            lambda: _robust.reweight(FORMED, np.ones(2), np.zeros(2), 1.0, **REWEIGHTING),
            ValueError,
            "has 2 elements but design has 3 rows",
        ),
        (lambda: _robust.bisquare_moments(FORMED, np.ones(4), 1.0, 2.0), ValueError, "residuals has 4 elements"),
        (
            lambda: _robust.reweight(
                _robust.MonomialDesign([np.array([1e200, 1.0])], [[0], [2]]), [1.0, 1.0], [0.0, 0.0], 1.0, **REWEIGHTING
            ),
            ValueError,
            "design contains NaN or infinite values",
        ),
    ],
)
def test_a_formed_design_refuses_bad_input_by_name(make, error, message):
    with pytest.raises(error, match=message):
        make()


FORMED = _robust.MonomialDesign([np.array([0.5, 1.0, 2.0])], [[0], [1]])
UNINITIALISED = _robust.MonomialDesign.__new__(_robust.MonomialDesign)  # its __init__ never ran


# A formed design reads its columns in place and keeps the powers it formed from them: after a
# column changes, its rows and every pass over it still read one and the same matrix.
@pytest.mark.parametrize("exponents", [[[0], [1], [2], [3]], [[0, 0], [1, 0], [2, 0], [1, 1], [0, 3]]])
def test_a_formed_design_is_one_matrix_in_every_use_after_its_columns_change(rng, exponents):
    columns = np.ascontiguousarray(rng.uniform(-1.0, 1.0, (len(exponents[0]), 500)))
    formed = _robust.MonomialDesign(list(columns), exponents)
    columns[0] *= 1.5
    rows = formed[np.arange(500)]
    for j, unit in enumerate(np.eye(len(exponents))):
        np.testing.assert_array_equal(formed @ unit, rows[:, j])
    np.testing.assert_array_equal(
        _robust.bisquare_moments(formed, np.zeros(500), 1.0, np.inf).gram,
        _robust.bisquare_moments(rows, np.zeros(500), 1.0, np.inf).gram,
    )


# Sizes about the four rows of a vector and the spans between stop checks (65 536 rows).
STATISTICS_SIZES = [0, 1, 3, 4, 7, 40_001, 3 * (1 << 16) + 5]


@pytest.mark.parametrize("n", STATISTICS_SIZES)
@pytest.mark.parametrize("kind", ["plain", "ties", "outliers"])
@pytest.mark.parametrize("weights", [None, "zeros"])
@pytest.mark.parametrize("scale", [0.0, 1.3])
def test_row_statistics_match_numpy(rng, n, kind, weights, scale):
    r = residuals_with(rng, n, kind)
    r[rng.random(n) < 0.01] = -np.inf  # gross outliers: beyond every bound
    w = weights_with(rng, n, weights)
    tuning, inner, outer = 3.4436898, 1.5, 6.0
    bounds = [inner, -outer, 0.0, tuning * scale, -inner]
    r[: min(n, 5)] = bounds[: min(n, 5)]
    r[n // 2 : n // 2 + 5] = bounds[: n - n // 2][:5]  # in the vectors' lanes, and in the tail rows
    within = np.abs(r / scale) < tuning if scale > 0.0 else np.ones(n, dtype=bool)
    rows = _robust.rows_within(r, scale, tuning, 1000, w)
    count, weight, sample = rows.count, rows.weight, rows.sample
    assert count == np.count_nonzero(within)
    assert weight == pytest.approx(count if w is None else w[within].sum(), rel=1e-12)
    used = np.flatnonzero(within)
    np.testing.assert_array_equal(sample, used[:: -(-used.size // 1000) if used.size > 1000 else 1])
    assert sample.size <= 1000
    sure = np.abs(r) <= inner
    near = ~sure & (np.abs(r) <= outer)
    ones = np.ones(n) if w is None else w
    band = _robust.residual_band(r, inner, outer, w)
    sure_weight, sure_squares, between, between_weights = (
        band.inner_weight,
        band.inner_squares,
        band.between,
        band.between_weights,
    )
    assert sure_weight == pytest.approx(ones[sure].sum(), rel=1e-12)
    assert sure_squares == pytest.approx((r[sure] ** 2 * ones[sure]).sum(), rel=1e-12)
    np.testing.assert_array_equal(between, np.abs(r[near]))
    if w is None:
        assert between_weights is None
    else:
        np.testing.assert_array_equal(between_weights, w[near])
    everything = _robust.residual_band(r, 0.0, np.inf, w)  # no bounds: every row but the exact zeros is between
    np.testing.assert_array_equal(everything.between, np.abs(r[r != 0.0]))
    # The weights to the bit; a subnormal scale sends most quotients past the largest double.
    weight_scale = scale if scale > 0.0 else 5e-324
    np.testing.assert_array_equal(
        _robust.bisquare_weights(r, weight_scale, tuning, w), testing.bisquare_weights(r, weight_scale, tuning, w)
    )


@pytest.mark.parametrize(("n", "k"), [(30, 1), (1000, 5), (40_000, 4), (3000, 8)])
@pytest.mark.parametrize("penalised", [False, True])
@pytest.mark.parametrize("prior", [None, "zeros"])
def test_newton_steps_reach_the_solution_of_the_reweighting(rng, n, k, penalised, prior):
    X, y = problem(rng, n, k)
    w = weights_with(rng, n, prior)
    R1, R2 = penalties(rng, k) if penalised else (None, None)
    gammas = (1e-3, 1e-4) if penalised else (0.0, 0.0)
    start = np.linalg.lstsq(X, y, rcond=None)[0]
    # From least squares' start the reweighting takes hundreds of steps on some of these.
    solved = _robust.reweight(
        X, y, start, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=5000, tolerance=0.0))
    )
    newton = _robust.reweight(
        X, y, start, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=5000)), newton=True
    )
    # Newton's steps from a start in the solution's valley (a few reweighting steps on) with
    # the slope matrix of part of the rows, scaled to all of them, and with a matrix far
    # from any slope matrix, whose first step goes far and is taken back.
    near = _robust.reweight(X, y, start, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=3)))
    part = np.arange(0, n, 7)
    part_moments = _robust.bisquare_moments(X[part], y[part] - X[part] @ near, 0.15, 4.6850649, None, True)
    for matrix in (part_moments.gram * (n / part_moments.total), np.eye(k) * 1e-6):
        given = _robust.reweight(
            X, y, near, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=5000)), newton=True, matrix=matrix
        )
        if penalised:  # Newton's steps are for the unpenalised equations only
            np.testing.assert_array_equal(
                given, _robust.reweight(X, y, near, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=5000)))
            )
        else:
            assert np.abs(X @ (given - solved)).max() <= 1e-8 * 0.15
    if penalised:
        np.testing.assert_array_equal(
            newton, _robust.reweight(X, y, start, 0.15, R1, R2, *gammas, w, **(REWEIGHTING | dict(max_steps=5000)))
        )
    else:
        assert np.abs(X @ (newton - solved)).max() <= 1e-8 * 0.15
    np.testing.assert_array_equal(
        _robust.reweight(
            np.ascontiguousarray(X),
            y,
            start,
            0.15,
            R1,
            R2,
            *gammas,
            w,
            **(REWEIGHTING | dict(max_steps=5000)),
            newton=True,
        ),
        newton,
    )


@pytest.mark.parametrize("newton", [False, True])
@pytest.mark.parametrize("penalised", [False, True])
@pytest.mark.parametrize("max_steps", [2, 50])  # out of steps, and converged
def test_refinement_brings_an_exact_fit_to_its_rows_down_to_rounding(rng, newton, penalised, max_steps):
    n, k = 5000, 6
    x = rng.uniform(-1, 1, n)
    X = np.asfortranarray(np.vander(x, k, increasing=True))
    y = X @ rng.normal(0.0, 1e3, k)  # exactly a polynomial, large coefficients
    bad = rng.random(n) < 0.3
    y[bad] += rng.uniform(50.0, 100.0, bad.sum())
    start = np.linalg.lstsq(X[~bad], y[~bad], rcond=None)[0] * (1.0 + 1e-9)
    R1, R2 = penalties(rng, k) if penalised else (None, None)
    gammas = (1e-3, 1e-4) if penalised else (0.0, 0.0)
    arguments = (X, y, start, 1e-6, R1, R2, *gammas, None)
    settings = REWEIGHTING | dict(max_steps=max_steps, tuning=3.4436898, newton=newton)
    plain = _robust.reweight(*arguments, **settings, refine=False)
    refined = _robust.reweight(*arguments, **settings, refine=True)
    if penalised:  # no refinement with a penalty, whose pull the step would need
        np.testing.assert_array_equal(refined, plain)
    else:
        assert np.abs((y - X @ refined)[~bad]).max() <= 64 * np.finfo(float).eps * np.abs(y).max()
    np.testing.assert_array_equal(
        _robust.reweight(np.ascontiguousarray(X), *arguments[1:], **settings, refine=True), refined
    )


@pytest.mark.parametrize(("max_steps", "tolerance"), [(0, 1e-7), (1, 1e-7), (3, 0.0), (50, 1e3)])
def test_reweight_counts_its_steps_as_the_reference(rng, max_steps, tolerance):
    X, y = problem(rng, 500, 3, outliers=0.3)
    start = np.zeros(3)
    settings = REWEIGHTING | dict(max_steps=max_steps, tolerance=tolerance)
    expected = testing.reweight(X, y, start, 0.2, **settings)
    got = _robust.reweight(X, y, start, 0.2, **settings)
    np.testing.assert_allclose(got, expected, rtol=0, atol=BETA_RTOL * max(np.abs(expected).max(), 1.0))


def test_reweight_only_reads_the_lower_triangle_of_a_penalty(rng):
    X, y = problem(rng, 300, 4)
    R1 = penalties(rng, 4)[0]
    beta = np.zeros(4)
    upper = np.triu(rng.normal(size=(4, 4)), 1)
    np.testing.assert_array_equal(
        _robust.reweight(X, y, beta, 0.2, R1 + upper, gamma1=0.1, **REWEIGHTING),
        _robust.reweight(X, y, beta, 0.2, R1, gamma1=0.1, **REWEIGHTING),
    )


def test_reweight_with_zero_scale_or_no_rows_keeps_or_clears_beta():
    X = np.ones((5, 2))
    beta = np.array([1.0, 2.0])
    np.testing.assert_array_equal(_robust.reweight(X, np.arange(5.0), beta, 0.0, **REWEIGHTING), beta)
    np.testing.assert_array_equal(
        _robust.reweight(np.ones((0, 2)), [], beta, 1.0, **REWEIGHTING),
        testing.reweight(X[:0], [], beta, 1.0, **REWEIGHTING),
    )
    assert _robust.reweight(np.ones((5, 0)), np.arange(5.0), [], 1.0, **REWEIGHTING).shape == (0,)


@pytest.mark.parametrize(("n", "k"), [(12, 2), (200, 4), (3000, 6)])
@pytest.mark.parametrize("weights", [None, "random", "zeros", "fractional"])
@pytest.mark.parametrize("penalised", [False, True])
@pytest.mark.parametrize("max_steps", [0, 2, 20])
def test_concentrate_starts_matches_reference(rng, n, k, weights, penalised, max_steps):
    X, y = problem(rng, n, k, outliers=0.3)
    if n == 200:  # ties: every row twice, so that rows at the h-th distance tie
        X, y = np.asfortranarray(np.vstack([X[:100], X[:100]])), np.concatenate([y[:100], y[:100]])
    w = weights_with(rng, n, weights)
    if weights == "fractional":  # the same share of the weight as of the rows, less than a row
        keep = w.sum() * ((n + k + 1) // 2) / n
    else:
        keep = float(np.floor(((n if w is None else w.sum()) + k + 1) / 2))
    penalty = penalties(rng, k)[0] * 1e-3 if penalised else None
    starts = rng.normal(size=(7, k))
    steps = dict(max_steps=max_steps, ridge=robust.ELEMENTAL_RIDGE)
    expected = testing.concentrate_starts(X, y, starts, keep, w, penalty, **steps)
    got = _robust.concentrate_starts(X, y, starts, keep, w, penalty, **steps, kept_rows=True)
    scale = max(np.abs(expected[0]).max(), 1.0)
    np.testing.assert_allclose(got.betas, expected[0], rtol=0, atol=BETA_RTOL * scale)
    np.testing.assert_allclose(got.trimmed, expected[1], rtol=1e-9)
    # The rows kept at each start's own solution follow the one trimming rule, ties (the
    # repeated rows) by row number: the solve after concentration once took every tied row.
    for beta, kept in zip(got.betas, got.kept):
        expected_kept = testing.nearest_rows((y - X @ beta) ** 2, keep, w)
        np.testing.assert_array_equal(kept > 0.0, expected_kept > 0.0)
        np.testing.assert_allclose(kept, expected_kept, rtol=1e-12, atol=1e-12 * keep)  # the part row's share
    # Each start is concentrated on its own: one at a time gives the same bits.
    alone = _robust.concentrate_starts(np.ascontiguousarray(X), y, starts[3:4], keep, w, penalty, **steps)
    np.testing.assert_array_equal(alone.betas[0], got.betas[3])
    assert alone.kept.shape == (0, 0)  # no rows unless asked for


def reference_elemental_starts(X, y, subsets, keep, w, penalty, *, max_steps, ridge, finalists):
    """Each subset's exact fit by np.linalg.solve (the zero start where singular or not finite),
    the reference concentration, and the distinct best by the trimmed sum, ties in subset order."""
    k = X.shape[1]
    P = np.zeros((k, k)) if penalty is None else penalty
    starts = np.zeros((len(subsets), k))
    for start, rows in zip(starts, subsets):
        gram = X[rows].T @ X[rows] + k * P
        gram += ridge * max(np.trace(gram) / k, np.finfo(float).tiny) * np.eye(k)
        try:
            beta = np.linalg.solve(gram, X[rows].T @ y[rows])
        except np.linalg.LinAlgError:
            continue
        if np.isfinite(beta).all():
            start[:] = beta
    betas, trimmed, _ = testing.concentrate_starts(X, y, starts, keep, w, penalty, max_steps=max_steps, ridge=ridge)
    best = []
    for i in np.argsort(trimmed, kind="stable"):
        if np.isfinite(trimmed[i]) and not any(np.array_equal(betas[i], kept) for kept in best):
            best.append(betas[i])
    return np.array(best[:finalists]).reshape(-1, k)


@pytest.mark.parametrize(("n", "k"), [(12, 2), (40, 3), (200, 4)])
@pytest.mark.parametrize("counts", [False, True])
@pytest.mark.parametrize("penalised", [False, True])
@pytest.mark.parametrize(("max_steps", "ties"), [(0, False), (2, False), (20, False), (2, True), (20, True)])
def test_elemental_starts_match_reference(rng, n, k, counts, penalised, max_steps, ties):
    X, y = problem(rng, n, k, outliers=0.3)
    if ties:  # every row three times: subsets of one row repeated are singular, the ridge aside
        X, y = np.asfortranarray(np.repeat(X[: n // 3], 3, axis=0)), np.repeat(y[: n // 3], 3)
        n = len(y)
    # Case weights that count rows, some 0: the weight of the part row kept is exact. (Fractional
    # weights sum to it in the order of the residuals, which differs in its last bits from one
    # start to another: two starts then end at one fit, a bit apart, kept twice, where the
    # reference may find one.)
    w = rng.integers(0, 4, n).astype(float) if counts else None
    keep = float(np.floor(((n if w is None else w.sum()) + k + 1) / 2))
    penalty = penalties(rng, k)[0] * 1e-3 if penalised else None
    # Distinct subsets, each in a random order of its rows.
    subsets = rng.permuted(np.unique(np.sort(np.argsort(rng.random((60, n)), axis=1)[:, :k], axis=1), axis=0), axis=1)
    steps = dict(max_steps=max_steps, ridge=robust.ELEMENTAL_RIDGE, finalists=robust.ELEMENTAL_FINALISTS)
    expected = reference_elemental_starts(X, y, subsets, keep, w, penalty, **steps)
    got, tried = _robust.elemental_starts(X, y, keep, subsets, w, penalty, **steps)
    assert tried == len(subsets) and got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=0, atol=BETA_RTOL * max(np.abs(expected).max(), 1.0))
    # The subsets of tied rows all reach a few distinct fits: the finalists are distinct to the bit.
    assert len({beta.tobytes() for beta in got}) == len(got)


@pytest.mark.parametrize(("n", "k"), [(5, 1), (9, 3), (12, 4)])
@pytest.mark.parametrize("weights", [None, "zeros"])
@pytest.mark.parametrize("penalised", [False, True])
def test_every_subset_is_the_combinations_listed(rng, n, k, weights, penalised):
    X, y = problem(rng, n, k, outliers=0.3)
    X[1], y[1] = X[0], y[0]  # a tied pair: the subsets holding both are singular
    w = weights_with(rng, n, weights)
    keep = float(np.floor(((n if w is None else w.sum()) + k + 1) / 2))
    penalty = penalties(rng, k)[0] * 1e-3 if penalised else None
    steps = dict(max_steps=robust.MAX_CONCENTRATION_STEPS, ridge=robust.ELEMENTAL_RIDGE, finalists=n)
    listed = np.array(list(itertools.combinations(range(n), k)))
    every, tried = _robust.elemental_starts(X, y, keep, None, w, penalty, every_subset=True, **steps)
    assert tried == math.comb(n, k)
    # The same subsets in the same order: the same finalists, to the bit, ties in the same order.
    np.testing.assert_array_equal(every, _robust.elemental_starts(X, y, keep, listed, w, penalty, **steps)[0])
    # Fewer finalists asked for are the first of them.
    fewer = _robust.elemental_starts(X, y, keep, None, w, penalty, every_subset=True, **(steps | dict(finalists=2)))
    np.testing.assert_array_equal(fewer[0], every[:2])


# Sizes on both sides of the sampled selection (16 384 values and more), and kinds of
# values that a sample of every few rows could misjudge.
MEDIAN_SIZES = [1, 2, 3, 4, 5, 1000, 1001, 20_001, 100_000]
VALUE_KINDS = [
    "normal", "sorted", "reversed", "all equal", "two values", "ties at the median",
    "signed zeros", "infinities", "NaN", "every 8th row high", "every 19th row high", "every 8th row spread",
    "every 19th row spread", "both ends of the range",
]  # fmt: skip


def values_with(rng, n, kind):
    """n values of a kind that selection must get right."""
    v = rng.standard_t(3, n)
    if kind == "sorted":
        v.sort()
    elif kind == "reversed":
        v = -np.sort(v)
    elif kind == "all equal":
        v[:] = 2.5
    elif kind == "two values":
        v = rng.choice([-1.0, 3.0], n)
    elif kind == "ties at the median":
        v[rng.random(n) < 0.4] = np.median(v)
    elif kind == "signed zeros":
        v = rng.choice([-0.0, 0.0, -1.5, 1.5], n, p=[0.3, 0.3, 0.2, 0.2])
    elif kind == "infinities":
        v[rng.random(n) < 0.3] = np.inf
        v[rng.random(n) < 0.3] = -np.inf
    elif kind == "NaN":
        v[rng.random(n) < 0.2] = np.nan
    elif kind == "both ends of the range":  # the middle pair's gap may overflow
        v = rng.choice([-1.7e308, -1e308, 1e308, 1.7e308], n)
    elif kind.startswith("every"):
        # Rows that a sample taken at the same stride sees alone: far above the rest, or
        # spread wide while the rest crowd about the middle.
        period = int(kind.split()[1].removesuffix("th"))
        if kind.endswith("high"):
            v[period // 2 :: period] = 100.0
        else:
            v *= 1e-6
            v[period // 2 :: period] *= 1e6
    return v


def partition_median(values):
    """The unweighted median korva.robust took with np.partition: NaN sorts last, and an
    even count gives the middle pair halfway, low + (high - low) / 2 where that is finite."""
    middle = values.size // 2
    if values.size % 2:
        return float(np.partition(values, middle)[middle])
    low, high = np.partition(values, [middle - 1, middle])[middle - 1 : middle + 1]
    return testing.halfway(low, high)


def assert_same_median(got, want, values):
    """Bit for bit, NaN as NaN; a zero among zeros of both signs may have either sign, as
    NumPy's choice between them depends on where they stand."""
    assert type(got) is float
    if np.isnan(want):
        assert np.isnan(got)
    elif want == 0.0 and np.signbit(values[values == 0.0]).any() and not np.signbit(values[values == 0.0]).all():
        assert got == 0.0
    else:
        assert got.hex() == want.hex()


@pytest.mark.parametrize("n", MEDIAN_SIZES)
@pytest.mark.parametrize("kind", VALUE_KINDS)
def test_median_matches_partition(rng, n, kind):
    values = values_with(rng, n, kind)
    assert_same_median(_robust.median(values), partition_median(values), values)


# Weights whose sums are exact in any order, so that every order of summing finds the same
# rows at half the total weight: the sort's. The sample of many rows takes every 8th row of
# 20 001 and every 19th of 100 000: weights there unlike the rest mislead it.
WEIGHT_KINDS = ["ones", "integers", "quarters", "heavy where sampled", "zero where sampled", "one row outweighs"]


def weights_for(rng, n, kind):
    w = rng.integers(0, 9, n) / 4.0 if kind == "quarters" else rng.integers(0, 4, n).astype(float)
    if kind == "ones":
        w[:] = 1.0
    elif kind.endswith("where sampled"):
        w[4::8] = w[9::19] = 64.0 if kind.startswith("heavy") else 0.0
    elif kind == "one row outweighs":
        w[n // 3] = w.sum() + 1.0
    if not w.any():
        w[-1] = 1.0
    return w


@pytest.mark.parametrize("n", MEDIAN_SIZES)
@pytest.mark.parametrize("kind", VALUE_KINDS)
@pytest.mark.parametrize("weights", WEIGHT_KINDS)
def test_weighted_median_matches_a_sort(rng, n, kind, weights):
    values = values_with(rng, n, kind)
    w = weights_for(rng, n, weights)
    assert_same_median(_robust.weighted_median(values, w), testing.weighted_median(values, w), values)


@pytest.mark.parametrize(
    ("values", "weights"),
    [
        ([1.0, 2.0, 3.0, 4.0], [1.0, 0.0, 0.0, 1.0]),  # half reached at 1: high is the next value of weight, 4
        ([1.0, 2.0, 3.0, 4.0], [1.0, 1.0, 0.0, 2.0]),  # half reached at 2; 3 adds nothing
        ([4.0, 3.0, 2.0, 1.0], [0.0, 1.0, 0.0, 1.0]),
        ([2.0, 2.0, 1.0, 3.0], [1.0, 1.0, 1.0, 1.0]),  # half inside a tie
        ([5.0, np.nan, 1.0], [1.0, 1.0, 0.0]),  # half reached at 5, high among the NaN
        ([5.0, np.nan, 1.0], [1.0, 3.0, 0.0]),
        ([np.nan, 1.0], [0.0, 1.0]),
        ([7.5], [0.25]),
        ([-1.7e308, 1.7e308], [1.0, 1.0]),
        ([np.inf, np.inf, 0.0], [2.0, 1.0, 1.0]),
    ],
)
def test_weighted_median_takes_the_halves_as_a_sort(values, weights):
    values = np.asarray(values)
    assert_same_median(
        _robust.weighted_median(values, np.asarray(weights)), testing.weighted_median(values, weights), values
    )


@pytest.mark.parametrize("seed", range(30))
def test_weighted_median_does_not_depend_on_where_its_arrays_lie(seed):
    # Relative weights, as the estimator scales them: their total rounds, and a sum begun at
    # another address once rounded otherwise, moving the middle across an even split.
    rng = np.random.default_rng(seed)
    pattern = rng.integers(1, 4, 60).astype(float)
    values, weights = rng.normal(size=60), pattern / pattern.mean()
    results = set()
    for offset in range(4):
        memory = np.empty((2, 64))
        memory[0, offset : offset + 60], memory[1, offset : offset + 60] = values, weights
        results.add(_robust.weighted_median(memory[0, offset : offset + 60], memory[1, offset : offset + 60]).hex())
    assert len(results) == 1


@pytest.mark.parametrize(
    "values",
    [
        [-1.7e308, 1.7e308],
        [-np.finfo(float).max, np.finfo(float).max / 2],
        [-np.inf, 5.0],
        [np.inf, np.inf],
        [1.0, 3.0],
    ],
)
def test_the_middle_of_two_values_is_numpys_without_overflow(values):
    values = np.asarray(values)
    want = float(np.median(values))
    assert _robust.median(values) == want
    assert _robust.weighted_median(values, np.ones(2)) == want


@pytest.mark.parametrize("n", MEDIAN_SIZES)
@pytest.mark.parametrize("kind", VALUE_KINDS)
@pytest.mark.parametrize("center", ["median", "value", "zero"])
def test_median_abs_deviation_matches_partition(rng, n, kind, center):
    values = values_with(rng, n, kind)
    c = {"median": partition_median(values), "value": float(values[n // 3]), "zero": 0.0}[center]
    with np.errstate(over="ignore", invalid="ignore"):
        deviations = np.abs(values - c)
    want = partition_median(deviations) if np.isfinite(deviations).all() else np.nan
    assert_same_median(_robust.median_abs_deviation(values, c), want, deviations)


@pytest.mark.parametrize(
    ("values", "center", "expected"),
    [
        ([1.7e308, -1.7e308], 0.0, 1.7e308),  # low + high would overflow
        ([1.7e308, -1.7e308], 1e308, np.nan),  # a deviation overflows
        ([-np.inf, np.inf], 0.0, np.nan),
        ([0.0, 1.0, 2.0, np.nan], 1.0, np.nan),  # NaN ranks last, yet a NaN deviation is refused
    ],
)
def test_median_abs_deviation_is_nan_when_a_deviation_is_not_finite(values, center, expected):
    got = _robust.median_abs_deviation(np.asarray(values), center)
    assert got == expected or (np.isnan(got) and np.isnan(expected))


REFUSED = [
    (native_m_scale, dict(residuals=[1.0, np.nan]), "residuals contains NaN"),
    (native_m_scale, dict(residuals=[1.0, np.inf]), "residuals contains NaN"),
    (native_m_scale, dict(residuals=[1.0, 2.0], guess=-1.0), "guess must be"),
    (native_m_scale, dict(residuals=[1.0, 2.0], guess=np.nan), "guess must be"),
    (native_m_scale, dict(residuals=[1.0, 2.0], n_terms=-1), "n_terms must be"),
    (native_m_scale, dict(residuals=[1.0, 2.0], weights=[1.0]), "weights has 1 elements but residuals has 2"),
    (native_m_scale, dict(residuals=[1.0, 2.0], weights=[1.0, -1.0]), "weights must be"),
    (native_m_scale, dict(residuals=[1.0, 2.0], weights=[1.0, np.nan]), "weights must be"),
    (native_m_scale, dict(residuals=[1.0, 2.0], weights=[1.0, np.inf]), "weights must be"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=0.0, breakdown=0.5), "tuning must be"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=5e-324, breakdown=0.5), "tuning must be"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=np.inf, breakdown=0.5), "tuning must be"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=1.5, breakdown=0.0), "breakdown must lie"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=1.5, breakdown=1.0), "breakdown must lie"),
    (_robust.m_scale, dict(residuals=[1.0, 2.0], tuning=1.5, breakdown=np.nan), "breakdown must lie"),
    (_robust.reweight, dict(design=[[1.0, np.nan]] * 3), "design contains NaN"),
    (_robust.reweight, dict(design=[[1.0, np.inf]] * 3), "design contains NaN"),
    (_robust.reweight, dict(design=[[1.0, np.nan]] * 3, scale=0.0), "design contains NaN"),
    (_robust.reweight, dict(design=[[1e300, 1.0]] * 3), "overflow"),
    (_robust.reweight, dict(target=[1.0, np.nan, 2.0]), "target contains NaN"),
    (_robust.reweight, dict(target=[1.0, 2.0]), "y has 2 elements but design has 3 rows"),
    (_robust.reweight, dict(beta=[1.0]), "beta has 1 elements but design has 2 columns"),
    (_robust.reweight, dict(beta=[1.0, np.nan]), "beta contains NaN"),
    (_robust.reweight, dict(scale=-1.0), "scale must be"),
    (_robust.reweight, dict(scale=np.nan), "scale must be"),
    (_robust.reweight, dict(scale=np.inf), "scale must be"),
    (_robust.reweight, dict(R1=np.eye(3), gamma1=1.0), "R1 is 3 x 3 but design has 2 columns"),
    (_robust.reweight, dict(R2=np.full((2, 2), np.nan), gamma2=1.0), "R2 contains NaN"),
    (_robust.reweight, dict(R1=np.eye(2), gamma1=np.inf), "gamma1 must be a finite number"),
    (_robust.reweight, dict(sample_weight=[1.0, 1.0]), "sample_weight has 2 elements but design has 3"),
    (_robust.reweight, dict(sample_weight=[1.0, -0.5, 1.0]), "sample_weight holds negative"),
    (_robust.reweight, dict(sample_weight=[1.0, np.nan, 1.0]), "sample_weight contains NaN"),
    (_robust.reweight, dict(max_steps=-1), "max_steps must be"),
    (_robust.reweight, dict(tolerance=-1e-5), "tolerance must be"),
    (_robust.reweight, dict(tolerance=np.nan), "tolerance must be"),
    (_robust.reweight, dict(tuning=0.0), "tuning must be"),
    (_robust.concentrate_starts, dict(target=[1.0, 2.0]), "y has 2 elements but design has 3 rows"),
    (_robust.concentrate_starts, dict(starts=np.zeros((1, 3))), "starts has 3 columns but design has 2"),
    (_robust.concentrate_starts, dict(starts=[[0.0, np.nan]]), "starts contains NaN"),
    (_robust.concentrate_starts, dict(design=[[1.0, np.inf]] * 3), "design contains NaN"),
    (_robust.concentrate_starts, dict(target=[1.0, np.nan, 2.0]), "target contains NaN"),
    (_robust.concentrate_starts, dict(keep=0.5), "keep must be a number from 1 to the total weight"),
    (_robust.concentrate_starts, dict(keep=4.0), "keep must be a number from 1 to the total weight"),
    (_robust.concentrate_starts, dict(keep=np.nan), "keep must be"),
    (_robust.concentrate_starts, dict(keep=0.0, weights=[0.1] * 3), "keep must be a number above 0 and at most"),
    (_robust.concentrate_starts, dict(keep=0.31, weights=[0.1] * 3), "keep must be a number above 0 and at most"),
    (_robust.concentrate_starts, dict(weights=[1.0, 1.0]), "weights has 2 elements but design has 3"),
    (_robust.concentrate_starts, dict(weights=[1.0, -1.0, 1.0]), "weights must not be negative"),
    (_robust.concentrate_starts, dict(weights=[1.0, np.nan, 1.0]), "weights contains NaN"),
    (_robust.concentrate_starts, dict(penalty=np.eye(3)), "penalty must be 2 x 2"),
    (_robust.concentrate_starts, dict(penalty=np.full((2, 2), np.inf)), "penalty contains NaN"),
    (_robust.concentrate_starts, dict(max_steps=-1), "max_steps must be at least 0"),
    (_robust.concentrate_starts, dict(ridge=np.inf), "ridge must be a finite number of at least 0"),
    (_robust.elemental_starts, dict(every_subset=True), "subsets must be None with every_subset=True"),
    (_robust.elemental_starts, dict(subsets=None), "subsets are needed unless every_subset=True"),
    (_robust.elemental_starts, dict(subsets=np.zeros((1, 3), int)), "subsets has 3 columns but design has 2"),
    (_robust.elemental_starts, dict(subsets=np.array([[0, 3]])), "row index 3, out of range for 3 rows"),
    (_robust.elemental_starts, dict(subsets=np.array([[-1, 0]])), "row index -1, out of range for 3 rows"),
    (_robust.elemental_starts, dict(subsets=np.array([[0, 2**64 - 1]], np.uint64)), "row index 18446744073709551615"),
    (_robust.elemental_starts, dict(subsets=np.array([[0, 1], [2, 2]])), "subsets row 1 holds the row index 2 twice"),
    (_robust.elemental_starts, dict(design=np.ones((3, 0)), subsets=np.zeros((1, 0), int)), "at least 1 column"),
    (_robust.elemental_starts, dict(finalists=0), "finalists must be at least 1, got 0"),
    (_robust.elemental_starts, dict(target=[1.0, 2.0]), "y has 2 elements but design has 3 rows"),
    (_robust.elemental_starts, dict(target=[1.0, np.nan, 2.0]), "target contains NaN"),
    (_robust.elemental_starts, dict(design=[[1.0, np.inf]] * 3), "design contains NaN"),
    (_robust.elemental_starts, dict(weights=[1.0, -1.0, 1.0]), "weights must not be negative"),
    (_robust.elemental_starts, dict(penalty=np.eye(3)), "penalty must be 2 x 2"),
    (_robust.elemental_starts, dict(keep=4.0), "keep must be a number from 1 to the total weight"),
    (_robust.elemental_starts, dict(max_steps=-1), "max_steps must be at least 0"),
    (_robust.elemental_starts, dict(ridge=np.nan), "ridge must be a finite number of at least 0"),
    (
        _robust.elemental_starts,
        dict(design=np.ones((200, 100)), target=np.ones(200), keep=150.0, subsets=None, every_subset=True),
        "every subset of 100 of 200 rows are too many to enumerate",
    ),
    (_robust.weighted_least_squares, dict(ridge=-1e-10), "ridge must be a finite number of at least 0"),
    (_robust.reweight, dict(ridge=np.nan), "ridge must be a finite number of at least 0"),
    (_robust.weighted_least_squares, dict(weights=[1.0, 1.0]), "weights has 2 elements but design has 3"),
    (_robust.weighted_least_squares, dict(weights=[1.0, -1.0, 1.0]), "weights holds negative"),
    (_robust.weighted_least_squares, dict(weights=[1.0, np.inf, 1.0]), "weights contains NaN"),
    (_robust.weighted_least_squares, dict(target=[1.0, np.nan, 1.0]), "target contains NaN"),
    (_robust.weighted_least_squares, dict(design=[[np.inf, 1.0]] * 3), "design contains NaN"),
    (_robust.weighted_least_squares, dict(R1=np.eye(3), gamma1=1.0), "R1 is 3 x 3 but design has 2 columns"),
    (_robust.reweight, dict(matrix=np.eye(3)), "matrix must be 2 x 2"),
    (_robust.reweight, dict(matrix=np.full((2, 2), np.nan)), "matrix contains NaN"),
    (_robust.bisquare_moments, dict(case_weights=[1.0, 1.0]), "case_weights has 2 elements but design has 3"),
    (_robust.bisquare_moments, dict(residuals=[1.0, 1.0]), "residuals has 2 elements but design has 3"),
    (_robust.bisquare_moments, dict(case_weights=[1.0, -1.0, 1.0]), "case_weights holds negative"),
    (_robust.bisquare_moments, dict(case_weights=[1.0, np.nan, 1.0]), "case_weights contains NaN"),
    (_robust.bisquare_moments, dict(residuals=[1.0, np.inf, 1.0]), "residuals contains NaN"),
    (_robust.bisquare_moments, dict(design=[[np.inf, 1.0]] * 3), "design contains NaN"),
    (_robust.bisquare_moments, dict(scale=0.0), "scale must be a finite number above 0"),
    (_robust.bisquare_moments, dict(tuning=np.nan), "tuning must be a number above 0"),
    (
        _robust.bisquare_moments,
        dict(design=[[1e200, 1.0]] * 3),
        "sums of squares overflow; scale the design or the weights down",
    ),
    (
        _robust.bisquare_moments,
        dict(design=[[10.0, 1.0]] * 3, case_weights=[1e307] * 3),
        "scale the design or the weights",
    ),
    (_robust.rows_within, dict(residuals=[1.0, np.nan]), "rows_within: residuals holds NaN"),
    (_robust.rows_within, dict(scale=-1.0), "scale must be a finite number of at least 0"),
    (_robust.rows_within, dict(scale=np.inf), "scale must be a finite number of at least 0"),
    (_robust.rows_within, dict(tuning=np.nan), "tuning must be a number above 0"),
    (_robust.rows_within, dict(max_rows=0), "max_rows must be at least 1"),
    (_robust.rows_within, dict(case_weights=[1.0]), "case_weights has 1 elements but residuals has 2"),
    (_robust.rows_within, dict(case_weights=[1.0, -1.0]), "case_weights holds negative"),
    (_robust.rows_within, dict(case_weights=[1.0, np.nan]), "case_weights contains NaN"),
    (_robust.rows_within, dict(case_weights=[1e308, 1e308]), "sum of case_weights overflows"),
    (_robust.residual_band, dict(residuals=[np.nan, 1.0]), "residual_band: residuals holds NaN"),
    (_robust.residual_band, dict(inner=-1.0), "inner must be a finite number of at least 0"),
    (_robust.residual_band, dict(inner=np.inf, outer=np.inf), "inner must be a finite number"),
    (_robust.residual_band, dict(outer=0.5), "outer must be a number of at least inner"),
    (_robust.residual_band, dict(outer=np.nan), "outer must be a number of at least inner"),
    (_robust.residual_band, dict(case_weights=[1.0, np.inf]), "case_weights contains NaN"),
    (_robust.bisquare_weights, dict(residuals=[np.nan, 1.0]), "bisquare_weights: residuals holds NaN"),
    (_robust.bisquare_weights, dict(scale=0.0), "scale must be a finite number above 0"),
    (_robust.bisquare_weights, dict(scale=np.inf), "scale must be a finite number above 0"),
    (_robust.bisquare_weights, dict(tuning=np.inf), "tuning must be a finite number above 0"),
    (_robust.bisquare_weights, dict(case_weights=[1.0, -1.0]), "case_weights holds negative"),
    (_robust.bisquare_weights, dict(case_weights=[1.0, 1.0, 1.0]), "case_weights has 3 elements but residuals has 2"),
    (_robust.median, dict(values=[]), "median: values is empty"),
    (_robust.weighted_median, dict(values=[], weights=[]), "weighted_median: values is empty"),
    (_robust.weighted_median, dict(weights=[1.0]), "weights has 1 elements but values has 2"),
    (_robust.weighted_median, dict(weights=[1.0, -1.0]), "weighted_median: weights holds negative"),
    (_robust.weighted_median, dict(weights=[1.0, np.nan]), "weighted_median: weights contains NaN"),
    (_robust.weighted_median, dict(weights=[np.inf, 1.0]), "weighted_median: weights contains NaN"),
    (_robust.weighted_median, dict(weights=[1e308, 1e308]), "the sum of weights overflows"),
    (_robust.weighted_median, dict(weights=[0.0, 0.0]), "weights are all 0; they have no median"),
    (_robust.median_abs_deviation, dict(values=np.zeros(0), center=0.0), "median_abs_deviation: values is empty"),
]


@pytest.mark.parametrize(("function", "arguments", "message"), REFUSED)
def test_bad_input_is_refused_by_name(function, arguments, message):
    if function is _robust.reweight:
        arguments = (
            dict(design=np.ones((3, 2)), target=[1.0, 2.0, 3.0], beta=[0.0, 0.0], scale=1.0) | REWEIGHTING | arguments
        )
    if function is _robust.concentrate_starts:
        arguments = (
            dict(design=np.ones((3, 2)), target=[1.0, 2.0, 3.0], starts=np.zeros((2, 2)), keep=2.0)
            | dict(max_steps=robust.MAX_CONCENTRATION_STEPS, ridge=robust.ELEMENTAL_RIDGE)
            | arguments
        )
    if function is _robust.elemental_starts:
        arguments = (
            dict(design=np.ones((3, 2)), target=[1.0, 2.0, 3.0], keep=2.0, subsets=np.array([[0, 1], [1, 2]]))
            | dict(max_steps=robust.MAX_CONCENTRATION_STEPS, ridge=robust.ELEMENTAL_RIDGE, finalists=5)
            | arguments
        )
    if function is _robust.weighted_least_squares:
        arguments = (
            dict(design=np.ones((3, 2)), target=[1.0, 2.0, 3.0], weights=[1.0, 1.0, 1.0], ridge=robust.SOLVE_RIDGE)
            | arguments
        )
    if function is _robust.bisquare_moments:
        arguments = dict(design=np.ones((3, 2)), residuals=[0.5, 1.0, 0.0], scale=1.0, tuning=np.inf) | arguments
    if function is _robust.rows_within:
        arguments = dict(residuals=[0.5, 1.0], scale=1.0, tuning=2.0, max_rows=10) | arguments
    if function is _robust.residual_band:
        arguments = dict(residuals=[0.5, 1.0], inner=1.0, outer=2.0) | arguments
    if function is _robust.bisquare_weights:
        arguments = dict(residuals=[0.5, 1.0], scale=1.0, tuning=2.0) | arguments
    if function is _robust.weighted_median:
        arguments = dict(values=[0.5, 1.0]) | arguments
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        function(**arguments)


@pytest.mark.parametrize("subsets", [np.zeros((2, 2)), np.array([0, 1]), np.ones((2, 2), bool), [[0, 1.5]], "01"])
def test_subsets_must_be_a_matrix_of_integers(subsets):
    with pytest.raises(TypeError, match="elemental_starts: subsets must be a 2-D array of integers"):
        _robust.elemental_starts(np.ones((3, 2)), np.ones(3), 2.0, subsets, max_steps=2, ridge=0.0, finalists=5)


def test_complex_input_is_refused():
    with pytest.raises(TypeError, match="design holds complex numbers"):
        _robust.reweight(np.ones((3, 2), complex), np.ones(3), np.zeros(2), 1.0, **REWEIGHTING)
    with pytest.raises(TypeError, match="weights holds complex numbers"):
        native_m_scale(np.ones(3), weights=np.ones(3, complex))
    with pytest.raises(TypeError, match="values holds complex numbers"):
        _robust.median(np.ones(3, complex))
    with pytest.raises(TypeError, match="weights holds complex numbers"):
        _robust.weighted_median(np.ones(3), np.ones(3, complex))
    with pytest.raises(TypeError, match="values holds complex numbers"):
        _robust.median_abs_deviation([1j, 2.0], 0.0)


THREADS_SCRIPT = """
import json, sys
import numpy as np
from korva import _robust
from tests.test_robust_native import REWEIGHTING, native_m_scale, problem, penalties

rng = np.random.default_rng(5)
X, y = problem(rng, 150_000, 5)
R1, R2 = penalties(rng, 5)
w = rng.uniform(0, 2, y.size)
beta = _robust.reweight(X, y, np.linalg.lstsq(X, y, rcond=None)[0], 0.2, R1, R2, 1e-3, 1e-4, w, **(REWEIGHTING | dict(max_steps=4)))
scale = native_m_scale(y - X @ beta, weights=w, n_terms=5)
gram = _robust.bisquare_moments(X, y, 0.2, 3.4436898, w).gram
newton = _robust.reweight(X, y, beta, 0.2, sample_weight=w, **REWEIGHTING, newton=True, refine=True)
columns = rng.uniform(-1, 1, (3, y.size))
formed = _robust.MonomialDesign(list(columns), [[0, 0, 0], [1, 0, 0], [0, 2, 0], [1, 1, 1], [0, 0, 3]])
formed_beta = _robust.reweight(formed, y, np.zeros(5), 0.2, sample_weight=w, **REWEIGHTING, newton=True, refine=True)
formed_gram = _robust.bisquare_moments(formed, y, 0.2, 3.4436898, w).gram
results = [beta, newton, gram, formed_beta, formed_gram, formed @ formed_beta]
print(json.dumps([float(scale).hex()] + [result.tobytes().hex() for result in results]))
"""


CHANGING_SCRIPT = """
import signal
import numpy as np
from korva import _robust

r = np.full(1_000_000, 100.0)
fired, refused = [False], 0
def handler(*_):  # runs at a check for a stop, inside the call
    fired[0] = True
    r[:] = 0.5
signal.signal(signal.SIGALRM, handler)
for attempt in range(120):
    r[:] = 100.0
    fired[0] = False
    signal.setitimer(signal.ITIMER_REAL, 2e-4 * (1 + attempt % 9))
    try:
        if attempt % 2:
            _robust.rows_within(r, 1.0, 4.0, 10**9)
        else:
            _robust.residual_band(r, 0.25, 200.0)
    except ValueError as error:
        assert "residuals changed while they were read" in str(error), error
        refused += 1
    signal.setitimer(signal.ITIMER_REAL, 0.0)
print(refused)
"""


def test_residuals_written_during_a_call_are_refused_without_writing_out_of_bounds(child_python):
    # A signal handler runs at the checks for a stop and may write to the residuals between
    # the pass that sizes the result and the pass that fills it.
    result = child_python.run("-c", CHANGING_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) > 0  # the handler did land inside calls


def test_results_do_not_depend_on_the_thread_count(child_python):
    outputs = []
    for threads in ("1", "2", "3"):
        result = child_python.run("-c", THREADS_SCRIPT, env=child_python.environment(OMP_NUM_THREADS=threads))
        assert result.returncode == 0, result.stderr
        outputs.append(json.loads(result.stdout))
    assert outputs[1:] == outputs[:1] * 2
