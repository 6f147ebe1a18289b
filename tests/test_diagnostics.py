"""PolynomialMDLRegressor.diagnostics: the weights and leverages of the fit against least squares
in NumPy, the distances against their definitions, the classes of the outlier map on planted
outliers and on the stack-loss data, and the refusal of bad arguments."""

import sys

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from sklearn.covariance import MinCovDet

from korva import Diagnostics, FitWarning, NotFittedError, PolynomialMDLRegressor, _data

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
    design = model._design(_data.as_inputs(X, model.n_features_in_))
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
    design = model._design(_data.as_inputs(X, model.n_features_in_))
    weighted = design * found.weight[:, None]
    np.testing.assert_allclose(np.linalg.solve(design.T @ weighted, weighted.T @ y), model._core_coef(), rtol=1e-9)
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


@pytest.mark.parametrize("errors", [None, "relative", "known", "zero weights"])
def test_standardised_residuals_beyond_the_cutoff_are_the_flagged_rows(rng, errors):
    X, y = curve_data(rng, 1, share=0.15)
    options = {}
    if errors in ("relative", "known"):
        options["sigma"] = rng.uniform(0.05, 0.2, len(y))
    if errors == "zero weights":
        options["sample_weight"] = np.where(np.arange(len(y)) % 7 == 0, 0.0, 1.0)
    model = PolynomialMDLRegressor(degree=2, absolute_sigma=errors == "known", **QUICK).fit(X, y, **options)
    found = model.diagnostics(X, y, sigma=options.get("sigma"))
    assert found.residual_cutoff == model.outlier_threshold
    flagged = np.abs(found.std_residual) > found.residual_cutoff
    np.testing.assert_array_equal(flagged, ~model.inlier_mask_)
    np.testing.assert_array_equal(np.isin(found.kind, ["vertical outlier", "bad leverage"]), flagged)
    np.testing.assert_array_equal(found.fitted, model.predict(X))
    np.testing.assert_array_equal(found.residual, y - found.fitted)
    # With known errors the flags are in units of sigma alone, else of scale_ (times sigma).
    unit = (1.0 if errors == "known" else model.scale_) * options.get("sigma", 1.0)
    np.testing.assert_allclose(found.std_residual, found.residual / unit, rtol=1e-12)


def unfitted_model():
    return PolynomialMDLRegressor(degree=1)


def fitted_model(sigma=None):
    x = np.linspace(0.0, 1.0, 30)
    return PolynomialMDLRegressor(degree=1, method="ols").fit(x, 2.0 * x, sigma=sigma)


def fitted_model_of_an_earlier_version():
    """A model as unpickled from a version of korva without diagnostics."""
    model = fitted_model()
    del model._weighing_
    return model


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
        (fitted_model_of_an_earlier_version, (X30, X30), ValueError, "fit it again"),
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
    X[:6] = 6.0  # a few rows far out
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


KINDS = ("regular", "vertical outlier", "good leverage", "bad leverage")


def planted_rows(seed, n_inputs, n_regular=80, n_each=7):
    """Regular rows on a quadratic curve (a plane for two inputs) with noise cut at 1.5 of its
    0.1 standard deviations, inputs in the unit interval (disc); vertical outliers off the curve
    by 3 to 6 at such inputs; good and bad leverage points in one cluster of inputs 4 to 6 from
    the centre (which masks them from a mean and covariance), on the curve and off it. Every
    planted row lies far beyond a cut-off and every regular row well within both; returns X, y
    and each row's planted class (a code)."""
    rng = np.random.default_rng(seed)
    planted = np.repeat(np.arange(4), [n_regular, n_each, n_each, n_each])
    n_near, n_far = n_regular + n_each, 2 * n_each
    if n_inputs == 1:
        X = np.concatenate([rng.uniform(-1.0, 1.0, n_near), rng.uniform(4.0, 6.0, n_far)])[:, None]
    else:
        angle, radius = rng.uniform(0.0, 2.0 * np.pi, n_near + n_far), np.sqrt(rng.uniform(0.0, 1.0, n_near + n_far))
        X = np.column_stack([radius * np.cos(angle), radius * np.sin(angle)])
        X[n_near:, 0] += 5.0
    curve = 1.0 + X.sum(axis=1) - (0.5 * X[:, 0] ** 2 if n_inputs == 1 else 0.0)
    off = rng.choice([-1.0, 1.0], len(X)) * rng.uniform(3.0, 6.0, len(X))
    y = curve + 0.1 * np.clip(rng.normal(size=len(X)), -1.5, 1.5) + np.where(planted % 2 == 1, off, 0.0)
    return (X[:, 0] if n_inputs == 1 else X), y, planted


@pytest.mark.parametrize("n_inputs", [1, 2])
def test_planted_rows_are_found_in_their_classes(n_inputs):
    planted, found = [], []
    for seed in range(20):
        X, y, truth = planted_rows(seed, n_inputs)
        model = PolynomialMDLRegressor(degree=2 if n_inputs == 1 else 1, **QUICK).fit(X, y)
        planted.append(truth)
        found.append([KINDS.index(kind) for kind in model.diagnostics(X, y).kind])
    planted, found = np.concatenate(planted), np.concatenate(found)
    for code, kind in enumerate(KINDS):
        recall, precision = (found[planted == code] == code).mean(), (planted[found == code] == code).mean()
        assert recall >= 0.9 and precision >= 0.9, (kind, recall, precision)


# Brownlee's stack-loss data (K. A. Brownlee, Statistical Theory and Methodology in Science and
# Engineering, 2nd ed., Wiley 1965): 21 days of a plant oxidising ammonia to nitric acid. Air
# flow, cooling water temperature and acid concentration (coded), and the stack loss, the share
# of ammonia lost (coded).
STACK_LOSS = np.array(
    [
        [80, 27, 89, 42], [80, 27, 88, 37], [75, 25, 90, 37], [62, 24, 87, 28], [62, 22, 87, 18],
        [62, 23, 87, 18], [62, 24, 93, 19], [62, 24, 93, 20], [58, 23, 87, 15], [58, 18, 80, 14],
        [58, 18, 89, 14], [58, 17, 88, 13], [58, 18, 82, 11], [58, 19, 93, 12], [50, 18, 89, 8],
        [50, 18, 86, 7], [50, 19, 72, 8], [50, 19, 79, 8], [50, 20, 80, 9], [56, 20, 82, 15],
        [70, 20, 91, 15],
    ],
    dtype=float,
)  # fmt: skip


def test_stack_loss_rows_fall_in_the_classes_of_the_literature():
    """The classic reading of the stack-loss data (P. J. Rousseeuw and A. M. Leroy, Robust
    Regression and Outlier Detection, Wiley 1987; Rousseeuw & van Zomeren, JASA 85 (1990),
    633-639): a high-breakdown plane leaves rows 1, 3, 4 and 21 (counting from 1) far off, and the
    robust distances of the inputs put rows 1, 2, 3 and 21 far out, so that 1, 3 and 21 are bad
    leverage points, 2 a good one and 4 a vertical outlier. Row 17, the lowest acid concentration,
    lies at the distance cut-off: scikit-learn's MCD, consistent at the normal without a
    small-sample factor, puts it just beyond, a factor for 21 rows would put it within."""
    X, y = STACK_LOSS[:, :3], STACK_LOSS[:, 3]
    found = PolynomialMDLRegressor(degree=1).fit(X, y).diagnostics(X, y)
    expected = np.full(21, "regular", dtype=object)
    expected[[0, 2, 20]] = "bad leverage"
    expected[1] = "good leverage"
    expected[3] = "vertical outlier"
    others = np.arange(21) != 16
    np.testing.assert_array_equal(found.kind[others], expected[others])
    assert found.kind[16] in ("regular", "good leverage")


def degenerate_inputs(case):
    """Inputs whose spread is degenerate, and which rows lie on the common value (line, point)."""
    rng = np.random.default_rng(5)
    if case == "one value":  # one input, more than half of it 0: its MAD is 0
        x = np.where(np.arange(60) < 35, 0.0, rng.uniform(1.0, 3.0, 60))
        return x, x == 0.0
    X = rng.normal(size=(60, 2))
    if case == "one line":  # more than half the rows on x2 = 2 x1
        X[:40, 1] = 2.0 * X[:40, 0]
        return X, np.arange(60) < 40
    X[:40] = [1.0, 2.0]  # more than half the rows at one point
    return X, np.arange(60) < 40


@pytest.mark.parametrize("case", ["one value", "one line", "one point"])
def test_rows_off_a_degenerate_majority_are_infinitely_far(case):
    X, on = degenerate_inputs(case)
    y = 1.0 + X.reshape(len(on), -1).sum(axis=1)
    found = PolynomialMDLRegressor(degree=1, method="ols").fit(X, y).diagnostics(X, y)
    assert np.isinf(found.distance[~on]).all() and np.isfinite(found.distance[on]).all()
    if case != "one line":
        assert (found.distance[on] == 0.0).all()
    else:  # along the line, the spread of the rows on it
        assert found.distance[on].max() > 1.0
    np.testing.assert_array_equal(found.kind[~on], "good leverage")


def test_an_input_constant_in_the_rows_leaves_the_distances_of_the_others(rng):
    X = np.column_stack([rng.normal(size=50), np.full(50, 3.0), rng.normal(size=50)])
    X[:4, 0] += 8.0
    y = X[:, 0] - X[:, 2]
    with pytest.warns(FitWarning, match="one value in every row"):
        model = PolynomialMDLRegressor(degree=1, method="ols").fit(X, y)
    found = model.diagnostics(X, y)
    reduced = X[:, [0, 2]]
    np.testing.assert_allclose(
        found.distance, np.sqrt(MinCovDet(random_state=0).fit(reduced).mahalanobis(reduced)), rtol=1e-6
    )
