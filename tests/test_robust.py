"""The robust stages (korva.robust): starts, concentration, the S-estimate, the MM step and the
screening fit, and the loss they share with the native code (korva.losses)."""

import itertools
import re

import numpy as np
import pytest
from numpy.polynomial import Polynomial

from korva import PolynomialMDLRegressor, _robust, losses, robust
from korva._sampler import HIT_TOLERANCE
from tests.test_estimator import CUBIC, STEEP_CUBIC, contaminated_cubic, leverage_cluster

# ---------------------------------------------------------------- the loss across languages


def scaled_residuals(rng, n):
    """Residuals of a heavy-tailed sample, some beyond every cut-off, a few exactly 0."""
    r = rng.standard_t(3, n)
    r[::17] = 0.0
    return r


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n_terms", [0, 4])
@pytest.mark.parametrize(("tuning", "breakdown"), [(losses.SCALE_TUNING, losses.SCALE_BREAKDOWN), (2.5, 0.25)])
def test_the_native_m_scale_solves_the_mean_loss_equation_of_the_losses_rho(rng, weighted, n_terms, tuning, breakdown):
    r = scaled_residuals(rng, 2001)
    w = rng.uniform(0.2, 3.0, r.size) if weighted else None
    scale = _robust.m_scale(r, 0.0, w, n_terms, tuning=tuning, breakdown=breakdown)
    loss = losses.rho(r / scale, tuning)
    total = loss.sum() if w is None else w @ loss
    freedom = (r.size if w is None else w.sum()) - n_terms
    assert total / freedom == pytest.approx(breakdown, rel=1e-9)
    if (tuning, breakdown) == (losses.SCALE_TUNING, losses.SCALE_BREAKDOWN):
        assert robust.m_scale(r, 0.0, w, n_terms) == scale


@pytest.mark.parametrize(
    ("tuning", "efficiency"), [(losses.MM_TUNING, 0.85), (losses.EFFICIENT_TUNING, 0.95), (1e6, 1.0)]
)
def test_the_bisquare_tunings_have_the_efficiencies_they_are_known_by(tuning, efficiency):
    # The bisquare at 3.44 and 4.685 scales: 85 % and 95 % of least squares' efficiency at the
    # normal (Yohai 1987); without a cut-off in reach, least squares itself.
    assert losses.normal_efficiency(tuning) == pytest.approx(efficiency, abs=2e-5)


@pytest.mark.parametrize("tuning", [losses.SCALE_TUNING, losses.MM_TUNING, losses.EFFICIENT_TUNING])
@pytest.mark.parametrize("weighted", [False, True])
def test_the_native_weights_and_row_sums_are_the_losses_formulas(rng, tuning, weighted):
    n, scale = 3001, 0.7
    r = scaled_residuals(rng, n)
    c = rng.uniform(0.2, 3.0, n) if weighted else None
    counted = np.ones(n) if c is None else c
    u = r / scale
    weights = losses.weights(u, tuning)
    np.testing.assert_array_equal(_robust.bisquare_weights(r, scale, tuning, c), weights * counted)

    design = np.asfortranarray(np.vander(rng.uniform(-1.0, 1.0, n), 3, increasing=True))
    moments = _robust.bisquare_moments(design, r, scale, tuning, c)
    slope = losses.psi_slope(u, tuning)
    expected = {
        "total": counted.sum(),
        "in_use": counted[weights > 0.0].sum(),
        "slope": counted @ slope,
        "slope_square": counted @ slope**2,
        "weight": counted @ weights,
        "psi_square": counted @ losses.psi(u, tuning) ** 2,
    }
    assert {name: getattr(moments, name) for name in expected} == pytest.approx(expected, rel=1e-12)
    np.testing.assert_allclose(moments.gram, design.T @ (design * (counted * weights)[:, None]), rtol=1e-12)

    within = _robust.rows_within(r, scale, tuning, n, c)
    assert (within.count, within.weight) == (
        np.count_nonzero(weights > 0.0),
        pytest.approx(expected["in_use"], rel=1e-12),
    )


# ---------------------------------------------------------------- starts, S and MM


@pytest.mark.parametrize("good_first", [True, False])
def test_the_start_whose_residuals_have_the_smallest_scale_wins(good_first):
    """Two curves through the data; the start on the one that most points follow wins."""
    x, y, on_other = contaminated_cubic(12, share=0.35)
    y[on_other] = Polynomial(STEEP_CUBIC)((x[on_other] - 20.0) / 10.0)  # a second, smaller structure
    design = np.vander((x - 20.0) / 10.0, 4, increasing=True)
    starts = [CUBIC, STEEP_CUBIC] if good_first else [STEEP_CUBIC, CUBIC]
    best = robust.concentrated_starts(design, y, [np.array(start) for start in starts], robust.LeastSquares())[0]
    np.testing.assert_allclose(best.beta, CUBIC, atol=0.05)  # least squares on half the points
    assert best.scale == pytest.approx(robust.m_scale(y - design @ best.beta, n_terms=4))


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_starts_reach_the_smallest_scale_of_every_elemental_start(seed):
    """On tiny data every subset of k rows is tried, and the best few go on: the chosen
    scale is the smallest that any elemental start reaches by concentration."""
    x, y = leverage_cluster(seed, n=14, n_bad=3)
    design = np.vander((x - x.mean()) / np.ptp(x), 3, increasing=True)
    least_squares = robust.LeastSquares()

    def concentrated(rows):
        """Least squares on the 9 = (14 + 3 + 1) // 2 nearest points, until they settle."""
        nearest = None
        while True:
            beta = np.linalg.lstsq(design[rows], y[rows], rcond=None)[0]
            rows = np.sort(np.argsort(np.abs(y - design @ beta))[:9])
            if nearest is not None and np.array_equal(rows, nearest):
                return beta
            nearest = rows

    every = [concentrated(list(rows)) for rows in itertools.combinations(range(len(y)), 3)]
    smallest = min(robust.m_scale(y - design @ beta, n_terms=3) for beta in every)
    starts, tried = robust.elemental_starts(design, y, least_squares, np.random.default_rng(seed))
    assert tried == 364  # 14 choose 3
    chosen = robust.concentrated_starts(design, y, starts, least_squares)[0].scale
    assert chosen == pytest.approx(smallest, rel=1e-6)


@pytest.mark.parametrize("n, n_searched", [(200, None), (5000, 300)])
def test_a_reweighting_taken_again_at_its_own_scale_ends_where_it_did(monkeypatch, n, n_searched):
    # Every MM step taken as collapsed: on noisy data the ridge's pull is far below the
    # scale, so the steps taken again, on the search's rows and on every row, change nothing.
    x, y, _ = contaminated_cubic(1, n=n, share=0.15)
    design = np.vander((x - 20.0) / 10.0, 4, increasing=True)
    search_rows = None if n_searched is None else np.sort(np.random.default_rng(1).choice(n, n_searched, replace=False))

    def fit():
        return robust.robust_fit(
            design,
            y,
            np.zeros(4),
            robust.LeastSquares(),
            np.random.default_rng(0),
            search_rows=search_rows,
            hit_tolerance=HIT_TOLERANCE,
            outlier_threshold=2.5,
        )

    once = fit()
    monkeypatch.setattr(robust, "COLLAPSE_RATIO", 0.0)
    again = fit()
    np.testing.assert_array_equal(again.beta, once.beta)
    assert again.scale == once.scale


def screening_cases(case):
    """Data on which a fit that is not high-breakdown fails: design, target, case weights,
    the searched rows and the rows known to be off."""
    weights = search_rows = None
    if case == "bad leverage":
        x, y = leverage_cluster(3, n=300, n_bad=60)
        off = np.arange(300) < 60
        degree = 1
    else:
        n, share, symmetric = {"45 % symmetric": (200, 0.45, True), "search subsample": (3000, 0.3, False)}.get(
            case, (300, 0.4, False)
        )
        x, y, off = contaminated_cubic(21, n=n, share=share, symmetric=symmetric)
        degree = 3
    rng = np.random.default_rng(21)
    if case == "case weights":
        weights = rng.integers(1, 4, len(x)).astype(float)
    if case == "search subsample":
        search_rows = np.sort(rng.choice(len(x), 1000, replace=False))
    design = np.vander((x - x.mean()) / np.ptp(x), degree + 1, increasing=True)
    return design, y, weights, search_rows, off


@pytest.mark.parametrize(
    "case", ["40 % one-sided", "45 % symmetric", "bad leverage", "case weights", "search subsample"]
)
def test_screening_fit_ends_where_the_robust_fit_does(case):
    """The cheaper fit of degree="auto" keeps the robust fit's breakdown: from least squares
    and its elemental subsets alone it reaches the robust fit's valley of the scale."""
    design, y, weights, search_rows, off = screening_cases(case)
    least_squares = robust.LeastSquares()
    full = robust.robust_fit(
        design,
        y,
        np.zeros(design.shape[1]),  # a search that found nothing
        least_squares,
        np.random.default_rng(0),
        search_rows=search_rows,
        hit_tolerance=HIT_TOLERANCE,
        outlier_threshold=2.5,
        weights=weights,
    )
    screened = robust.screening_fit(
        design, y, least_squares, np.random.default_rng(1), search_rows=search_rows, weights=weights
    )
    assert screened.scale == pytest.approx(full.scale, rel=1e-6)
    np.testing.assert_allclose(screened.fitted, full.fitted, rtol=0.0, atol=1e-5 * full.scale)
    assert (np.abs(y - screened.fitted)[off] > 2.5 * screened.scale).all()
    # Only the full fit checks that its reweighting settled: a screening fit is only sized up.
    assert full.converged is True and screened.converged is None


@pytest.mark.parametrize(
    ("params", "max_steps", "converged"),
    [
        ({}, None, True),
        ({"gamma2": 1e-3}, None, True),
        ({}, 1, False),  # one reweighting step from the S-estimate is not the MM fit
        ({"method": "ols"}, None, None),
        ({"method": "penalized", "gamma2": 1e-3}, None, None),
        ({"refit": False}, None, None),
    ],
)
def test_converged_says_whether_the_final_reweighting_settled(monkeypatch, params, max_steps, converged):
    x, y, _ = contaminated_cubic(3)
    if max_steps is not None:
        monkeypatch.setattr(robust, "MAX_REWEIGHTING_STEPS", max_steps)
    model = PolynomialMDLRegressor(degree=3, **params).fit(x, y)
    assert model.converged_ is converged
    said = re.search(r"^convergence: +the final reweighting (settled|did NOT settle)", str(model.summary()), re.M)
    assert (said is None) if converged is None else said.group(1) == ("settled" if converged else "did NOT settle")
