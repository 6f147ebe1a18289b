"""PolynomialMDLRegressor: robust recovery, input scaling, scikit-learn conventions, errors."""
import pickle
import warnings

import numpy as np
import pytest
from numpy.polynomial import Polynomial

from korva import DataConversionWarning, GibbsStatistics, NotFittedError, PolynomialMDLRegressor

try:
    from sklearn.utils.estimator_checks import parametrize_with_checks
except ImportError:
    parametrize_with_checks = None

CUBIC = np.array([1.0, -2.0, 0.5, 1.5])  # coefficients of 1, t, t^2, t^3
# Flat in the middle, steep at the ends: a small MAD of y, so large coefficients in its units.
STEEP_CUBIC = np.array([1.0, -1.0, 0.0, 2.0])
COEF_TOL = 0.1


def contaminated_cubic(seed, n=200, share=0.1, coefficients=CUBIC):
    """x on [10, 30] (so t = (x - 20) / 10), the cubic plus noise, a share of points pushed far up."""
    rng = np.random.default_rng(seed)
    x = np.concatenate([[10.0, 30.0], rng.uniform(10.0, 30.0, n - 2)])
    y = Polynomial(coefficients)((x - 20.0) / 10.0) + rng.normal(0.0, 0.05, n)
    outliers = np.zeros(n, dtype=bool)
    outliers[rng.choice(n, int(share * n), replace=False)] = True
    y[outliers] += rng.uniform(3.0, 10.0, outliers.sum())
    return x, y, outliers


def clean_surface(rng, n=300):
    """Inputs on [-2, 2] x [0, 6] and a surface with known coefficients in the unit-box variables."""
    X = np.column_stack([rng.uniform(-2.0, 2.0, n), rng.uniform(0.0, 6.0, n)])
    X[:2] = [[-2.0, 0.0], [2.0, 6.0]]  # pin the training range
    t1, t2 = X[:, 0] / 2.0, (X[:, 1] - 3.0) / 3.0
    # multi-indices for degrees [1, 2]: 00, 01, 02, 10, 11, 12
    truth = np.array([0.5, -1.0, 2.0, 1.5, 0.8, -0.6])
    y = truth @ np.array([t1**0, t2, t2**2, t1, t1 * t2, t1 * t2**2])
    return X, y, truth


# ---------------------------------------------------------------- robust fitting


@pytest.mark.parametrize("coefficients", [CUBIC, STEEP_CUBIC], ids=["cubic", "steep"])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_recovers_cubic_despite_ten_percent_gross_outliers(seed, coefficients):
    x, y, outliers = contaminated_cubic(seed, coefficients=coefficients)
    robust = PolynomialMDLRegressor(degree=3).fit(x, y)
    least_squares = PolynomialMDLRegressor(degree=3, method="ols").fit(x, y)

    np.testing.assert_allclose(robust.coef_, coefficients, atol=COEF_TOL)
    assert np.abs(least_squares.coef_ - coefficients).max() > 3 * COEF_TOL
    assert not robust.inlier_mask_[outliers].any()
    assert robust.inlier_mask_[~outliers].mean() > 0.95
    assert robust.mdl_ < least_squares.mdl_


def test_refit_tightens_the_search_result():
    x, y, _ = contaminated_cubic(1)
    searched = PolynomialMDLRegressor(degree=3, refit=False).fit(x, y)
    refitted = PolynomialMDLRegressor(degree=3).fit(x, y)
    assert refitted.mdl_ <= searched.mdl_
    assert np.abs(refitted.coef_ - CUBIC).max() < np.abs(searched.coef_ - CUBIC).max()


def test_two_inputs_tensor_basis(rng):
    X, y, truth = clean_surface(rng)
    exact = PolynomialMDLRegressor(degree=[1, 2], basis="tensor", method="ols").fit(X, y)
    assert exact.multi_indices_ == [[0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [1, 2]]
    np.testing.assert_allclose(exact.coef_, truth, atol=1e-9)

    outliers = rng.choice(len(y), len(y) // 10, replace=False)
    y_noisy = y + rng.normal(0.0, 0.02, len(y))
    y_noisy[outliers] -= 8.0
    robust = PolynomialMDLRegressor(degree=[1, 2], basis="tensor").fit(X, y_noisy)
    np.testing.assert_allclose(robust.coef_, truth, atol=COEF_TOL)
    assert not robust.inlier_mask_[outliers].any()
    np.testing.assert_allclose(robust.predict(X[:5]), y[:5], atol=COEF_TOL)


# ---------------------------------------------------------------- scaling to [-1, 1]


@pytest.mark.parametrize("degree", [0, 1, 4, 7])
def test_ols_coefficients_match_numpy_domain_window_fit(rng, degree):
    x = rng.uniform(1e3, 1e3 + 50.0, 60)
    y = np.sin(x / 7.0) + rng.normal(0.0, 0.1, 60)
    model = PolynomialMDLRegressor(degree=degree, method="ols").fit(x, y)
    np.testing.assert_allclose(model.coef_, Polynomial.fit(x, y, degree).coef, rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("method", ["mcmc", "penalized", "ols"])
def test_predict_maps_inputs_by_training_range(method):
    x, y, _ = contaminated_cubic(3, n=80)
    model = PolynomialMDLRegressor(degree=3, gamma2=1e-3, method=method).fit(x, y)
    assert (model.x_min_, model.x_max_) == ([10.0], [30.0])
    new_x = np.array([5.0, 10.0, 17.5, 30.0, 41.0])  # extrapolation on both sides too
    as_numpy = Polynomial(model.coef_, domain=[10.0, 30.0], window=[-1.0, 1.0])
    np.testing.assert_allclose(model.predict(new_x), as_numpy(new_x), rtol=1e-12, atol=1e-12)


def test_penalised_fit_is_unit_free_in_y(rng):
    x = rng.uniform(-1.0, 1.0, 50)
    y = np.cos(3.0 * x) + rng.normal(0.0, 0.05, 50)
    small = PolynomialMDLRegressor(degree=5, gamma1=0.01, gamma2=0.001, method="penalized").fit(x, y)
    large = PolynomialMDLRegressor(degree=5, gamma1=0.01, gamma2=0.001, method="penalized")
    large.fit(x, 1000.0 * y + 7.0)
    expected = 1000.0 * small.coef_
    expected[0] += 7.0
    np.testing.assert_allclose(large.coef_, expected, rtol=1e-8)
    assert large.mdl_ == pytest.approx(small.mdl_, rel=1e-10)
    assert large.tolerance_ == pytest.approx(1000.0 * small.tolerance_)


def test_constant_input_column_contributes_nothing(rng):
    x = rng.uniform(0.0, 5.0, 40)
    y = x**2 + rng.normal(0.0, 0.1, 40)
    alone = PolynomialMDLRegressor(degree=2, method="ols").fit(x, y)
    with_constant = PolynomialMDLRegressor(degree=[2, 3], method="ols").fit(
        np.column_stack([x, np.full(40, 3.0)]), y
    )
    constant_terms = [i for i, m in enumerate(with_constant.multi_indices_) if m[1] > 0]
    np.testing.assert_allclose(with_constant.coef_[constant_terms], 0.0, atol=1e-12)
    grid = np.linspace(-1.0, 6.0, 9)
    np.testing.assert_allclose(
        with_constant.predict(np.column_stack([grid, np.full(9, 7.0)])), alone.predict(grid), atol=1e-9
    )


# ---------------------------------------------------------------- penalties and scores


@pytest.mark.parametrize(
    "degree, gamma1, gamma2, surviving",
    [
        (4, 0.0, 1e4, [[0], [1]]),  # a curvature penalty leaves a straight line
        (4, 1e4, 0.0, [[0]]),  # a slope penalty leaves a constant
        ([2, 2], 0.0, 1e4, [[0, 0], [0, 1], [1, 0]]),  # a Hessian penalty leaves a plane
    ],
)
def test_heavy_penalty_leaves_only_unpenalised_terms(rng, degree, gamma1, gamma2, surviving):
    n_inputs = 1 if isinstance(degree, int) else len(degree)
    X = rng.uniform(-3.0, 3.0, size=(80, n_inputs))
    y = np.sin(X).sum(axis=1) + X[:, 0] ** 2
    model = PolynomialMDLRegressor(degree=degree, gamma1=gamma1, gamma2=gamma2, method="penalized")
    model.fit(X, y)
    kept = np.array([m in surviving for m in model.multi_indices_])
    assert np.abs(model.coef_[~kept]).max() < 1e-3
    # What is left is the least-squares fit within the terms that the penalty cannot see.
    unit = 2.0 * (X - model.x_min_) / (model.x_max_ - model.x_min_) - 1.0
    columns = np.column_stack([np.prod(unit ** np.array(m), axis=1) for m in surviving])
    np.testing.assert_allclose(model.coef_[kept], np.linalg.lstsq(columns, y)[0], atol=1e-2)


@pytest.mark.parametrize("method", ["mcmc", "penalized", "ols"])
def test_score_attributes_agree_with_each_other(method):
    x, y, _ = contaminated_cubic(4, n=120)
    model = PolynomialMDLRegressor(degree=3, method=method).fit(x, y)
    n, k = len(y), len(model.coef_)
    mad = np.median(np.abs(y - np.median(y)))
    assert model.tolerance_ == pytest.approx(0.4 * mad)
    distance = np.abs(y - model.predict(x))
    np.testing.assert_array_equal(model.inlier_mask_, distance <= 2.5 * model.scale_)
    assert model.hit_rate_ == pytest.approx(max(np.mean(distance < model.tolerance_), 1 / (2 * n)))
    # MDL without penalties: -n ln(hit rate) + k^2 ln(2H) / n, with H = 20
    assert model.mdl_ == pytest.approx(-n * np.log(model.hit_rate_) + k**2 * np.log(40) / n)


def test_sampler_statistics_only_for_mcmc():
    x, y, _ = contaminated_cubic(5, n=60)
    sampled = PolynomialMDLRegressor(degree=2).fit(x, y)
    assert isinstance(sampled.gibbs_, GibbsStatistics)
    assert 0.0 <= sampled.gibbs_.He <= 1.0 and sampled.gibbs_.T == 1.0
    assert PolynomialMDLRegressor(degree=2, method="ols").fit(x, y).gibbs_ is None


def test_same_seed_same_fit_and_fitted_model_pickles():
    x, y, _ = contaminated_cubic(6, n=60)
    first = PolynomialMDLRegressor(degree=3, random_state=7, refit=False).fit(x, y)
    second = PolynomialMDLRegressor(degree=3, random_state=7, refit=False).fit(x, y)
    np.testing.assert_array_equal(first.coef_, second.coef_)
    restored = pickle.loads(pickle.dumps(first))
    np.testing.assert_array_equal(restored.predict(x), first.predict(x))
    assert restored.gibbs_ == first.gibbs_


# ---------------------------------------------------------------- conventions


def test_get_params_set_params_and_repr():
    model = PolynomialMDLRegressor(degree=[2, 1], method="ols")
    params = model.get_params()
    assert params["degree"] == [2, 1] and params["method"] == "ols" and params["H"] == 20
    assert PolynomialMDLRegressor(**params).get_params() == params
    assert model.set_params(gamma2=0.5, n_grid=50) is model
    assert (model.gamma2, model.n_grid) == (0.5, 50)
    assert repr(model) == "PolynomialMDLRegressor(degree=[2, 1], gamma2=0.5, method='ols', n_grid=50)"
    with pytest.raises(ValueError, match="Invalid parameter 'alpha'"):
        model.set_params(alpha=1.0)


def test_parameters_are_checked_by_fit_not_stored_converted():
    model = PolynomialMDLRegressor(degree=np.int64(2), method="nope")
    with pytest.raises(ValueError, match="method"):
        model.fit([0.0, 1.0, 2.0], [1.0, 2.0, 0.0])
    assert model.method == "nope"
    assert not hasattr(model, "coef_")


@pytest.mark.parametrize("method_name", ["predict", "score"])
def test_use_before_fit_raises_not_fitted(method_name):
    model = PolynomialMDLRegressor()
    args = ([[1.0]], [1.0]) if method_name == "score" else ([[1.0]],)
    with pytest.raises(NotFittedError, match="not fitted yet") as raised:
        getattr(model, method_name)(*args)
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, AttributeError)


def test_column_vector_y_warns_and_is_flattened():
    x, y, _ = contaminated_cubic(7, n=50)
    flat = PolynomialMDLRegressor(degree=2, method="ols").fit(x, y)
    with pytest.warns(DataConversionWarning, match="column-vector y"):
        column = PolynomialMDLRegressor(degree=2, method="ols").fit(x, y[:, None])
    np.testing.assert_array_equal(column.coef_, flat.coef_)


def test_score_is_r_squared(rng):
    x = rng.uniform(0.0, 1.0, 40)
    y = 3.0 * x + 1.0
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(x, y)
    assert model.score(x, y) == pytest.approx(1.0)
    shifted = y + rng.normal(0.0, 1.0, 40)
    residual = np.sum((shifted - model.predict(x)) ** 2)
    total = np.sum((shifted - shifted.mean()) ** 2)
    assert model.score(x, shifted) == pytest.approx(1.0 - residual / total)


def test_works_in_scikit_learn_pipeline_clone_and_cross_validation():
    pytest.importorskip("sklearn")
    from sklearn.base import clone
    from sklearn.model_selection import GridSearchCV, cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    x, y, outliers = contaminated_cubic(8, n=90)
    model = PolynomialMDLRegressor(degree=3, n_deep=300)
    copy = clone(model)
    assert copy is not model and copy.get_params() == model.get_params()

    pipeline = make_pipeline(FunctionTransformer(np.log), model)
    scores = cross_val_score(pipeline, x[:, None], y, cv=3)
    assert scores.shape == (3,) and np.isfinite(scores).all()

    search = GridSearchCV(PolynomialMDLRegressor(method="ols"), {"degree": [0, 3]}, cv=3)
    search.fit(x[~outliers, None], y[~outliers])
    assert search.best_params_ == {"degree": 3}


if parametrize_with_checks is not None:
    with warnings.catch_warnings():
        # Deliberate: korva does not depend on scikit-learn, so there is no BaseEstimator.
        warnings.filterwarnings("ignore", "Estimator PolynomialMDLRegressor does not inherit")
        checks = parametrize_with_checks(
            [
                PolynomialMDLRegressor(degree=1, method="ols"),
                PolynomialMDLRegressor(degree=1, method="penalized"),
                PolynomialMDLRegressor(degree=1, n_chains=4, n_warmup=20, n_deep=100),
            ],
            expected_failed_checks=lambda estimator: {
                "check_fit1d": "a 1-D X is accepted as a single input column",
                "check_estimators_unfitted": "korva's NotFittedError does not derive from "
                "scikit-learn's, which would make importing korva import scikit-learn",
            },
        )

    # The checks record warnings themselves and look for the column-vector warning.
    @pytest.mark.filterwarnings("always::korva.DataConversionWarning")
    @checks
    def test_scikit_learn_estimator_checks(estimator, check):
        check(estimator)

else:

    @pytest.mark.skip(reason="scikit-learn is not installed")
    def test_scikit_learn_estimator_checks():
        pass


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "X, y, message",
    [
        (np.zeros((4, 2, 2)), np.zeros(4), "shape"),
        (np.zeros((4, 1)), np.zeros(3), "4 samples but y has 3"),
        (np.zeros((4, 1)), np.zeros((4, 2)), "y must have shape"),
        (np.array([0.0, np.nan, 1.0]), np.zeros(3), "X contains NaN"),
        (np.array([0.0, 1.0, 2.0]), np.array([0.0, np.inf, 1.0]), "y contains NaN or infinity"),
        (np.array([0.0, 1.0, 2.0]), np.array([0.0, np.nan, 1.0]), "y contains NaN"),
        (np.zeros((0, 1)), np.zeros(0), "0 sample"),
        (np.array([[1.0 + 2.0j]]), np.zeros(1), "Complex"),
        (np.zeros(3), None, "requires y"),
    ],
)
def test_bad_data_raises_value_error(X, y, message):
    with pytest.raises(ValueError, match=message):
        PolynomialMDLRegressor(method="ols").fit(X, y)


@pytest.mark.parametrize(
    "params, message",
    [
        ({"degree": -1}, "degree must be 0 or more"),
        ({"degree": [1, -2]}, "degree must be 0 or more"),
        ({"degree": [1, 2, 3]}, "3 degrees but X has 2 input columns"),
        ({"degree": 1.5}, "degree must be an int"),
        ({"degree": True}, "degree must be an int"),
        ({"method": "lasso"}, "method must be one of mcmc, penalized, ols"),
        ({"n_chains": 0}, "n_chains must be an int of at least 1"),
        ({"n_deep": -1}, "n_deep must be an int of at least 0"),
        ({"H": 2.0}, "H must be an int"),
        ({"gamma1": -0.1}, "gamma1 must be a finite number of at least 0"),
        ({"gamma2": float("nan")}, "gamma2 must be a finite number"),
        ({"step_size": 0.0}, "step_size must be a finite number above 0"),
        ({"n_grid": 1}, "n_grid must be None or an int of at least 2"),
        ({"random_state": -1}, "random_state must be None or an int"),
        ({"refit": "yes"}, "refit must be True or False"),
    ],
)
def test_bad_parameters_raise_value_error(params, message):
    X = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]])
    with pytest.raises(ValueError, match=message):
        PolynomialMDLRegressor(**params).fit(X, [1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    "X, message",
    [
        (np.zeros((3, 3)), "X has 3 features, but PolynomialMDLRegressor is expecting 2"),
        (np.zeros(2), "Reshape your data"),
        (np.array([[0.0, np.inf]]), "X contains NaN or infinity"),
    ],
)
def test_bad_prediction_input_raises_value_error(X, message):
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(np.eye(3)[:, :2], [1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=message):
        model.predict(X)
