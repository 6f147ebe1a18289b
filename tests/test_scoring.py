"""Robust scale, hit rate and the MDL score."""

import math
from statistics import median

import numpy as np
import pytest

import korva.testing as reference
import korva_core as kc
from korva._sampler import HIT_TOLERANCE
from tests.test_robust_native import MEDIAN_SIZES, VALUE_KINDS, values_with

LN2 = math.log(2.0)


@pytest.mark.parametrize(
    "y, expected",
    [
        ([1, 2, 3, 4], 1.0),
        ([1, 2, 3, 4, 100], 1.0),
        ([7.0], 0.0),
        ([7, 7, 7], 0.0),
        ([], 0.0),
        ([3, 1, 2], 1.0),
        ([-1e300, 1e300], 1e300),
        # Middle values whose sum overflows: the midpoint is still the exact one.
        ([1.7e308] * 4, 0.0),
        ([-1.7e308, -1.7e308], 0.0),
        ([1.5 * 2.0**1023, 2.0**1023, 1.0, 1.75 * 2.0**1023], 2.0**1021 + 2.0**1020),
    ],
)
def test_mad_values(y, expected):
    assert kc.mad(np.asarray(y, dtype=float)) == expected


def partition_median(v):
    """kc.mad's median with np.partition: 0 when empty, NaN when a value is NaN, the
    midpoint of an even count's middle pair."""
    if v.size == 0:
        return 0.0
    if np.isnan(v).any():
        return math.nan
    middle = v.size // 2
    parted = np.partition(v, [max(middle - 1, 0), middle])
    if v.size % 2:
        return float(parted[middle])
    low, high = parted[middle - 1], parted[middle]
    with np.errstate(over="ignore"):
        return float(0.5 * (low + high) if np.isfinite(low + high) else 0.5 * low + 0.5 * high)


def partition_mad(y):
    with np.errstate(invalid="ignore", over="ignore"):  # distances beyond float64 are inf
        return partition_median(np.abs(y - partition_median(y)))


@pytest.mark.parametrize("n", [1, 2, 5, 100, 1001])
def test_mad_against_reference(rng, n):
    y = rng.standard_cauchy(n)
    m = median(y)
    assert kc.mad(y) == median(abs(v - m) for v in y)


@pytest.mark.parametrize("n", MEDIAN_SIZES)
@pytest.mark.parametrize("kind", VALUE_KINDS)
def test_mad_against_partition(rng, n, kind):
    y = values_with(rng, n, kind)
    want = partition_mad(y)
    got = kc.mad(y)
    assert got.hex() == want.hex() or (math.isnan(got) and math.isnan(want))


@pytest.mark.parametrize("n", MEDIAN_SIZES)
@pytest.mark.parametrize("kind", VALUE_KINDS)
def test_mdl_score_reg_tolerance_from_mad(rng, n, kind):
    # Residuals just inside and just outside the tolerance of the reference's mad on
    # alternate rows: any other tolerance changes the count of hits.
    yt = values_with(rng, n, kind)
    mad = partition_mad(yt)
    eps = HIT_TOLERANCE * mad if mad > 0 else HIT_TOLERANCE
    with np.errstate(invalid="ignore", over="ignore"):  # infinite values and tolerances
        yp = yt + np.where(np.arange(n) % 2 == 0, 1 - 1e-9, 1 + 1e-9) * eps
        hit_rate = reference.hit_rate(yp, yt, eps)
    beta, penalty = np.array([1.0, 2.0]), np.diag([2.0, 1.0])
    got = kc.mdl_score_reg(yp, yt, 2, 20, beta, penalty, penalty, 0.5)
    expected = -n * math.log(hit_rate) + 4 * math.log(40) / n + 0.5 * beta @ penalty @ beta
    assert got == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize(
    "y",
    [
        [math.nan, 0, 1, 5, 6, 20],
        [0, 1, math.nan, 2, math.nan],
        [math.inf, math.inf, 1],
        [-math.inf, -math.inf, math.inf, math.inf],
    ],
    ids=["one NaN", "two NaN", "NaN deviation", "NaN median"],
)
def test_nan_gives_nan_scale_in_any_order(rng, y):
    y = np.asarray(y, dtype=float)
    yp = y + 1.5
    first = kc.mdl_score(yp, y, 1)
    for _ in range(20):
        order = rng.permutation(len(y))
        assert math.isnan(kc.mad(y[order]))
        assert kc.mdl_score(yp[order], y[order], 1) == first


@pytest.mark.parametrize(
    "yp, yt, eps, expected",
    [
        ([1, 2, 3], [1.05, 2.5, 3], 0.1, 2 / 3),
        ([0, 0], [1, 1], 0.5, 0.25),
        ([0.0], [0.5], 0.5, 0.5),  # a difference equal to eps is a miss
        ([0.0], [0.25], 0.5, 1.0),
        ([1, 2, 3], [1, 2, 3], 0.0, 1 / 6),  # eps = 0 never hits
        ([1, 2, 3], [1, 2, 3], -1.0, 1 / 6),
        ([1, 2, 3], [1, 2, 3], math.nan, 1 / 6),
        ([math.nan, 2, 3, 4], [1, 2, math.nan, 4], 1.0, 0.5),  # NaN is a miss
        ([1, 2, 3, 99, 99], [1, 2, 3], 0.1, 1.0),  # only the first len(yt) entries count
    ],
)
def test_compute_sr(yp, yt, eps, expected):
    assert kc.compute_sr(np.asarray(yp, float), np.asarray(yt, float), eps) == pytest.approx(expected, rel=1e-15)


def test_compute_sr_empty_is_nan():
    assert math.isnan(kc.compute_sr([], [], 1.0))


def test_compute_sr_matches_numpy(rng):
    yp, yt = rng.normal(size=10_000), rng.normal(size=10_000)
    assert kc.compute_sr(yp, yt, 0.3) == reference.hit_rate(yp, yt, 0.3)


YP4, YT4 = [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 5.0]


@pytest.mark.parametrize(
    "k, H, expected",
    [
        (0, 20, 4 * LN2),
        (1, 20, 4 * LN2 + math.log(40) / 4),
        (3, 20, 4 * LN2 + 9 * math.log(40) / 4),
        (2, 1, 5 * LN2),
        (-3, 20, 4 * LN2),  # no model term for k <= 0
    ],
)
def test_mdl_score_worked_values(k, H, expected):
    assert kc.mdl_score(YP4, YT4, k, H) == pytest.approx(expected, rel=4e-16)


def test_mdl_score_default_H():
    assert kc.mdl_score(YP4, YT4, 3) == kc.mdl_score(YP4, YT4, 3, 20)


@pytest.mark.parametrize(
    "yt, mad",
    [
        ([0.0, 0.0, 0.0, 1.0, 2.0], 0.0),  # mad = 0: the tolerance is HIT_TOLERANCE itself
        ([0.0, 1.0, 2.0, 3.0, 4.0], 1.0),
        ([0.0, 10.0, 20.0, 30.0, 40.0], 10.0),
    ],
)
def test_mdl_score_tolerance(yt, mad):
    expected_eps = HIT_TOLERANCE * mad if mad > 0 else HIT_TOLERANCE
    yt = np.asarray(yt)
    # Predictions just inside and just outside the tolerance on alternate points.
    offs = np.where(np.arange(yt.size) % 2 == 0, 0.999, 1.001) * expected_eps
    n = yt.size
    hits = int(np.sum(np.arange(n) % 2 == 0))
    assert kc.mdl_score(yt + offs, yt, 0) == pytest.approx(-n * math.log(hits / n), rel=1e-15)


@pytest.mark.parametrize(
    "yp, k, expected",
    [
        (YT4, 0, 0.0),  # every prediction a hit: only the model term remains
        (YT4, 2, 4 * math.log(40) / 4),
        ([9.0, 9.0, 9.0, 9.0], 0, 4 * math.log(8)),  # no hits: n ln(2n)
    ],
)
def test_mdl_score_extremes(yp, k, expected):
    assert kc.mdl_score(yp, YT4, k) == pytest.approx(expected, abs=1e-15)


def test_mdl_score_empty_is_nan():
    assert math.isnan(kc.mdl_score([], [], 1))


@pytest.mark.parametrize("H, check", [(0, lambda v: v == -math.inf), (-1, math.isnan)], ids=["H=0", "H<0"])
def test_mdl_score_degenerate_H(H, check):
    assert check(kc.mdl_score(YP4, YT4, 2, H))


R1 = np.diag([2.0, 1.0])
R2 = np.eye(2)


@pytest.mark.parametrize(
    "g1, g2, expected",
    [(0.5, 0.0, 5 * LN2 + 3), (0.5, 0.25, 5 * LN2 + 4.25), (0.0, 0.25, 5 * LN2 + 1.25), (0.0, 0.0, 5 * LN2)],
)
def test_mdl_score_reg_worked_values(g1, g2, expected):
    got = kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0], R1, R2, g1, g2)
    assert got == pytest.approx(expected, rel=4e-16)


def test_mdl_score_reg_zero_weights_ignore_matrices():
    junk = np.full((5, 3), np.nan)
    assert kc.mdl_score_reg(YP4, YT4, 3, 20, [1.0], junk, junk) == kc.mdl_score(YP4, YT4, 3, 20)


def test_mdl_score_reg_quad_form_not_symmetrised():
    upper = np.array([[0.0, 4.0], [0.0, 0.0]])  # b^T R b = 4 * b0 * b1
    base = kc.mdl_score(YP4, YT4, 2, 1)
    got = kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0], upper, R2, 1.0)
    assert got == pytest.approx(base + 8.0, rel=1e-15)


def test_mdl_score_reg_nan_weight_is_active():
    assert math.isnan(kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0], R1, R2, math.nan))


def test_mdl_score_reg_empty_penalty_contributes_zero():
    empty = np.zeros((0, 0))
    got = kc.mdl_score_reg(YP4, YT4, 0, 1, np.zeros(0), empty, empty, 3.0, 3.0)
    assert got == kc.mdl_score(YP4, YT4, 0, 1)


def test_mdl_score_reg_refuses_none():
    with pytest.raises(TypeError):
        kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0], None, R2)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kc.compute_sr([0.0, 1.0], [0.0, 1.0, 2.0], 0.1), "compute_sr: yp has 2 elements but yt has 3"),
        (lambda: kc.mdl_score([0.0], [0.0, 1.0], 1), "mdl_score: yp has 1 elements but yt has 2"),
        (
            lambda: kc.mdl_score_reg([0.0], YT4, 2, 1, [1.0, 2.0], R1, R2),
            "mdl_score_reg: yp has 1 elements but yt has 4",
        ),
        (
            lambda: kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0, 3.0], R1, R2, 1.0),
            "mdl_score_reg: R1 is 2 x 2 but beta has 3 elements, so R1 must be 3 x 3",
        ),
        (
            lambda: kc.mdl_score_reg(YP4, YT4, 2, 1, [1.0, 2.0], R1, np.ones((2, 3)), 0.0, 1.0),
            "mdl_score_reg: R2 is 2 x 3 but beta has 2 elements, so R2 must be 2 x 2",
        ),
    ],
)
def test_size_disagreements_raise(call, message):
    with pytest.raises(ValueError, match="^" + message + "$"):
        call()
