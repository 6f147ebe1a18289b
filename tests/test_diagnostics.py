"""PolynomialMDLRegressor.diagnostics: the weights and leverages of the fit against least squares
in NumPy, the distances against their definitions, the classes of the outlier map on planted
outliers and on the stack-loss data, and the refusal of bad arguments."""

import sys

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from sklearn.covariance import MinCovDet

from korva import Diagnostics, NotFittedError, PolynomialMDLRegressor

# Few chains and steps: these fits are about their rows, not the search.
QUICK = {"n_chains": 6, "n_warmup": 40, "n_deep": 200}


def curve_data(rng, n_inputs, n=120, share=0.1):
    """A quadratic surface of inputs on [-1, 1] with noise, a share of rows pushed far up."""
    X = rng.uniform(-1.0, 1.0, (n, n_inputs))
    y = 1.0 + X.sum(axis=1) - 0.5 * (X**2).sum(axis=1) + rng.normal(0.0, 0.1, n)
    y[: int(share * n)] += 5.0
    return (X[:, 0] if n_inputs == 1 else X), y


def hat_diagonal(design, weights):
    """The diagonal of the weighted least-squares hat matrix W^1/2 X (X' W X)^-1 X' W^1/2."""
    root = np.sqrt(weights)[:, None] * design
    q, _ = np.linalg.qr(root)
    return np.einsum("ij,ij->i", q, q)


@pytest.mark.parametrize("n_inputs", [1, 2])
@pytest.mark.parametrize("case", ["plain", "sigma", "counts"])
def test_least_squares_leverage_is_the_hat_matrix(rng, n_inputs, case):
    X, y = curve_data(rng, n_inputs)
    sigma = rng.uniform(0.5, 2.0, len(y)) if case == "sigma" else None
    counts = rng.integers(1, 4, len(y)).astype(float) if case == "counts" else None
    model = PolynomialMDLRegressor(degree=2, method="ols").fit(X, y, sample_weight=counts, sigma=sigma)
    found = model.diagnostics(X, y, sigma=sigma)
    design = model._design(X)
    if case == "sigma":
        expected = hat_diagonal(design / sigma[:, None], np.ones(len(y)))
    elif case == "counts":
        # A row of count c is c rows: each copy's leverage in the hat matrix of the repeated rows.
        repeated = np.repeat(np.arange(len(y)), counts.astype(int))
        first = np.searchsorted(repeated, np.arange(len(y)))
        expected = hat_diagonal(design[repeated], np.ones(len(repeated)))[first]
    else:
        expected = hat_diagonal(design, np.ones(len(y)))
    np.testing.assert_allclose(found.leverage, expected, rtol=1e-10)
    assert (found.weight == 1.0).all()


@pytest.mark.parametrize("n_inputs", [1, 2])
@pytest.mark.parametrize("cov_type", ["model", "hc"])
def test_the_robust_fit_is_least_squares_at_its_weights(rng, n_inputs, cov_type):
    """The final bisquare fit solves weighted least squares at its own weights: with the weights
    given, NumPy reproduces its coefficients, and the leverages are that weighted fit's hat matrix."""
    X, y = curve_data(rng, n_inputs)
    model = PolynomialMDLRegressor(degree=2, cov_type=cov_type, **QUICK).fit(X, y)
    found = model.diagnostics(X, y)
    assert (found.weight[:12] == 0.0).all() and (found.weight[12:] > 0.0).all()
    design = model._design(X)
    weighted = design * found.weight[:, None]
    np.testing.assert_allclose(np.linalg.solve(design.T @ weighted, weighted.T @ y), model.coef_, rtol=1e-9)
    np.testing.assert_allclose(found.leverage, hat_diagonal(design, found.weight), rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize("n_inputs", [1, 2])
def test_penalised_leverage_is_the_pull_of_a_row_on_its_own_fit(rng, n_inputs):
    """Penalised least squares is linear in y (the penalty leaves the constant free), so a row's
    leverage is how far its fitted value moves when its y does."""
    X, y = curve_data(rng, n_inputs, share=0.0)
    params = {"degree": 3, "method": "penalized", "gamma2": 3e-3}
    model = PolynomialMDLRegressor(**params).fit(X, y)
    found = model.diagnostics(X, y)
    rows = [0, 1, 2, int(np.argmax(np.abs(X).reshape(len(y), -1).sum(axis=1)))]
    moved = []
    for row in rows:
        pushed = y.copy()
        pushed[row] += 1.0
        moved.append(PolynomialMDLRegressor(**params).fit(X, pushed).predict(X)[row] - found.fitted[row])
    np.testing.assert_allclose(found.leverage[rows], moved, rtol=1e-8)
    assert found.leverage.sum() < len(model.coef_) - 0.5  # the penalty takes degrees of freedom away


@pytest.mark.parametrize(
    ("fit_options", "absolute"),
    [({}, False), ({"sigma": "rows"}, False), ({"sigma": "rows"}, True), ({"sample_weight": "zeros"}, False)],
)
def test_standardised_residuals_beyond_the_cutoff_are_the_flagged_rows(rng, fit_options, absolute):
    X, y = curve_data(rng, 1, share=0.15)
    options = {}
    if "sigma" in fit_options:
        options["sigma"] = rng.uniform(0.5, 2.0, len(y)) * 0.1
    if "sample_weight" in fit_options:
        options["sample_weight"] = np.where(np.arange(len(y)) % 7 == 0, 0.0, 1.0)
    model = PolynomialMDLRegressor(degree=2, absolute_sigma=absolute, **QUICK).fit(X, y, **options)
    found = model.diagnostics(X, y, sigma=options.get("sigma"))
    assert found.residual_cutoff == model.outlier_threshold
    flagged = np.abs(found.std_residual) > found.residual_cutoff
    np.testing.assert_array_equal(flagged, ~model.inlier_mask_)
    np.testing.assert_array_equal(np.isin(found.kind, ["vertical outlier", "bad leverage"]), flagged)
    np.testing.assert_allclose(found.fitted, model.predict(X), rtol=0, atol=0)
    np.testing.assert_array_equal(found.residual, y - found.fitted)
    unit = (1.0 if absolute else model.scale_) * options.get("sigma", 1.0)
    np.testing.assert_allclose(found.std_residual, found.residual / unit, rtol=1e-12)


def unfitted_model():
    return PolynomialMDLRegressor(degree=1)


def fitted_model(sigma=None):
    x = np.linspace(0.0, 1.0, 30)
    return PolynomialMDLRegressor(degree=1, method="ols").fit(x, 2.0 * x, sigma=sigma)


X30 = np.linspace(0.0, 1.0, 30)


@pytest.mark.parametrize(
    ("model", "arguments", "error", "message"),
    [
        (unfitted_model, (X30, X30), NotFittedError, "not fitted"),
        (fitted_model, (X30, X30[:29]), ValueError, "30 samples but y has 29"),
        (fitted_model, (np.column_stack([X30, X30]), X30), ValueError, "2 features"),
        (fitted_model, (np.where(X30 > 0.5, np.nan, X30), X30), ValueError, "NaN"),
        (fitted_model, (X30, X30, 0.1), ValueError, "fitted without sigma"),
        (lambda: fitted_model(sigma=0.1), (X30, X30), ValueError, "pass sigma="),
        (lambda: fitted_model(sigma=0.1), (X30, X30, np.ones(29)), ValueError, r"sigma must have shape \(30,\)"),
        (lambda: fitted_model(sigma=0.1), (X30, X30, -1.0), ValueError, "sigma must be positive"),
    ],
)
def test_bad_arguments_are_refused_naming_them(model, arguments, error, message):
    with pytest.raises(error, match=message):
        model().diagnostics(*arguments)


def test_the_frame_keeps_the_index_of_x_and_says_when_pandas_is_missing(monkeypatch):
    frame = pd.DataFrame({"x": X30}, index=pd.Index([f"r{i}" for i in range(30)], name="row"))
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(frame, 2.0 * X30)
    table = model.diagnostics(frame, 2.0 * X30).to_frame()
    assert list(table.columns) == list(Diagnostics.COLUMNS) and table.index.equals(frame.index)
    np.testing.assert_array_equal(table["kind"], model.diagnostics(frame, 2.0 * X30).kind)
    found = fitted_model().diagnostics(X30, 2.0 * X30)
    assert list(found.to_frame().index) == list(range(30))
    monkeypatch.setitem(sys.modules, "pandas", None)  # as if not installed
    with pytest.raises(ImportError, match=r"korva\[pandas\]"):
        found.to_frame()


@pytest.mark.parametrize("n_inputs", [1, 3])
def test_distances_are_those_of_the_median_or_the_minimum_covariance_determinant(rng, n_inputs):
    X, y = curve_data(rng, n_inputs, n=80)
    X = np.where(np.arange(80)[:, None] < 6, 6.0, X.reshape(80, -1)) if n_inputs > 1 else np.where(X < -0.9, -4.0, X)
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(X, y)
    found = model.diagnostics(X, y)
    if n_inputs == 1:
        expected = np.abs(X - np.median(X)) / stats.median_abs_deviation(X, scale="normal")
    else:
        expected = np.sqrt(MinCovDet(random_state=0).fit(X).mahalanobis(X))
    np.testing.assert_allclose(found.distance, expected, rtol=1e-6)
    assert found.distance_cutoff == pytest.approx(np.sqrt(stats.chi2.ppf(0.975, n_inputs)), rel=1e-12)
    assert (found.distance > found.distance_cutoff).any()


def test_several_inputs_without_scikit_learn_name_the_extra(monkeypatch, rng):
    X, y = curve_data(rng, 2, n=40)
    x, y1 = curve_data(rng, 1, n=40)
    several = PolynomialMDLRegressor(degree=1, method="ols").fit(X, y)
    one = PolynomialMDLRegressor(degree=1, method="ols").fit(x, y1)
    monkeypatch.setitem(sys.modules, "sklearn.covariance", None)  # as if not installed
    with pytest.raises(ImportError, match=r"pip install 'korva\[diagnostics\]'"):
        several.diagnostics(X, y)
    assert one.diagnostics(x, y1).distance.shape == (40,)
