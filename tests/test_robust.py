"""The robust stages (korva.robust) and the loss they share with the native code (korva.losses)."""

import numpy as np
import pytest

from korva import _robust, losses

# ---------------------------------------------------------------- the loss across languages


def scaled_residuals(rng, n):
    """Residuals of a heavy-tailed sample, some beyond every cut-off, a few exactly 0."""
    r = rng.standard_t(3, n)
    r[::17] = 0.0
    return r


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n_terms", [0, 4])
def test_the_native_m_scale_solves_the_mean_loss_equation_with_the_losses_constants(rng, weighted, n_terms):
    r = scaled_residuals(rng, 2001)
    w = rng.uniform(0.2, 3.0, r.size) if weighted else None
    scale = _robust.m_scale(r, 0.0, w, n_terms)
    loss = losses.rho(r / scale, losses.SCALE_TUNING)
    total = loss.sum() if w is None else w @ loss
    freedom = (r.size if w is None else w.sum()) - n_terms
    assert total / freedom == pytest.approx(losses.SCALE_BREAKDOWN, rel=1e-9)


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
