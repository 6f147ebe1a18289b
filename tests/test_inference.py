"""korva.inference, korva.distributions and korva.summary: distributions against SciPy,
covariances against least squares and simulation, the noise scale, the map to coefficients in x,
term names and the summary table."""

import decimal
import math
import re
import warnings

import numpy as np
import pytest
from numpy.polynomial import Polynomial
from scipy import special, stats

import korva
from korva import FitWarning, PolynomialMDLRegressor, bases, distributions, inference, losses, robust, summary

BISQUARE = losses.EFFICIENT_TUNING


@pytest.mark.parametrize("df", [0.7, 1.0, 2.5, 7.0, 29.5, 30.0, 96.0, 3000.0, 1e4, 2e5, 1e9, math.inf])
@pytest.mark.parametrize("p", [1e-12, 1e-6, 0.025, 0.3, 0.5, 0.8, 0.975, 1.0 - 1e-9])
def test_student_t_matches_scipy(df, p):
    expected = stats.t.ppf(p, df)
    quantile = distributions.student_t_quantile(p, df)
    assert quantile == pytest.approx(expected, rel=1e-11, abs=1e-300)
    assert distributions.student_t_cdf(expected, df) == pytest.approx(stats.t.cdf(expected, df), rel=1e-11)


@pytest.mark.parametrize("p", [1e-300, 1e-20, 0.001, 0.025, 0.5, 0.9, 1.0 - 2.0**-52])
def test_normal_quantile_matches_scipy(p):
    assert distributions.normal_quantile(p) == pytest.approx(stats.norm.ppf(p), rel=1e-13, abs=1e-300)


@pytest.mark.parametrize(
    ("a", "b", "x"), [(0.5, 0.5, 0.3), (3.0, 0.5, 0.99), (0.5, 40.0, 0.01), (250.0, 0.5, 0.996), (2.0, 5.0, 0.0)]
)
def test_incomplete_beta_matches_scipy(a, b, x):
    assert distributions.regularized_incomplete_beta(a, b, x) == pytest.approx(special.betainc(a, b, x), rel=1e-13)


@pytest.mark.parametrize("df", [0.5, 1.0, 2.0, 3.0, 7.0, 40.0, 900.0])
@pytest.mark.parametrize("p", [1e-12, 0.025, 0.5, 0.975, 1.0 - 1e-9])
def test_chi_squared_matches_scipy(df, p):
    assert distributions.chi_squared_quantile(p, df) == pytest.approx(stats.chi2.ppf(p, df), rel=1e-12)
    x = stats.chi2.ppf(p, df)
    assert distributions.chi_squared_cdf(x, df) == pytest.approx(p, rel=1e-12)


@pytest.mark.parametrize(
    "call",
    [
        lambda: distributions.chi_squared_quantile(1.0, 3.0),
        lambda: distributions.chi_squared_quantile(0.5, 0.0),
        lambda: distributions.regularized_lower_gamma(1.0, -1.0),
        lambda: distributions.student_t_quantile(0.0, 5.0),
        lambda: distributions.student_t_quantile(1.0, 5.0),
        lambda: distributions.student_t_quantile(0.5, 0.0),
        lambda: distributions.student_t_cdf(1.0, math.nan),
        lambda: distributions.regularized_incomplete_beta(1.0, 1.0, 1.5),
        lambda: summary.check_alpha(1.0),
        lambda: summary.check_alpha(True),
        lambda: summary.check_alpha("0.05"),
    ],
)
def test_bad_arguments_raise(call):
    with pytest.raises(ValueError):
        call()


# ------------------------------------------------------------------ covariance


def cubic_design(rng, n):
    t = np.sort(rng.uniform(-1.0, 1.0, n))
    return t, np.vander(t, 4, increasing=True)


@pytest.mark.parametrize("tuning", [None, 1e9])
def test_covariance_without_down_weighting_is_least_squares(rng, tuning):
    """psi(u) = u, or a bisquare so wide that no row is down-weighted: numpy's polyfit covariance."""
    t, X = cubic_design(rng, 40)
    y = 1.0 + t - 2.0 * t**3 + rng.normal(0.0, 0.3, t.size)
    coef, expected = np.polyfit(t, y, 3, cov=True)
    residuals = y - X @ coef[::-1]
    scale = 0.3
    covariance = inference.coefficient_covariance(X, residuals, scale, tuning)
    np.testing.assert_allclose(covariance, expected[::-1, ::-1], rtol=1e-9)


@pytest.mark.parametrize("robust", [False, True])
@pytest.mark.parametrize("penalised", [False, True])
def test_case_weights_count_as_repeated_rows(rng, robust, penalised):
    t, X = cubic_design(rng, 30)
    residuals = rng.standard_t(3, t.size)
    residuals[:4] += 30.0  # let go by the bisquare
    repeats = rng.integers(1, 4, t.size)
    penalty = np.diag([0.0, 1.0, 2.0, 3.0]) if penalised else None

    def covariance(design, res, weights):
        tuning = BISQUARE if robust else None
        return inference.coefficient_covariance(design, res, 1.3 if robust else 1.0, tuning, weights, penalty)

    weighted = covariance(X, residuals, repeats.astype(float))
    repeated = covariance(np.repeat(X, repeats, axis=0), np.repeat(residuals, repeats), None)
    np.testing.assert_allclose(weighted, repeated, rtol=1e-12)
    if robust:
        scaled = residuals / 1.3
        weighted_df = inference.robust_degrees_of_freedom(
            scaled, 1.0, BISQUARE, losses.SCALE_TUNING, 4, repeats.astype(float)
        )
        repeated_df = inference.robust_degrees_of_freedom(
            np.repeat(scaled, repeats), 1.0, BISQUARE, losses.SCALE_TUNING, 4
        )
        assert weighted_df == pytest.approx(repeated_df, rel=1e-12)


@pytest.mark.parametrize(
    "penalty_weight, growth, covariance",
    [
        (0.0, 1.0, inference.coefficient_covariance),
        (30.0, 1.0, inference.coefficient_covariance),
        (0.0, 1.0, inference.consistent_covariance),
        (30.0, 1.0, inference.consistent_covariance),
        # A spread growing fivefold along t: only the covariance of each row's own psi^2 follows it.
        (0.0, 5.0, inference.consistent_covariance),
        (30.0, 5.0, inference.consistent_covariance),
    ],
)
def test_bisquare_covariance_matches_simulation(penalty_weight, growth, covariance):
    """The covariance of a bisquare fit at a fixed scale, with a fifth of the rows far off (and
    optionally a penalty in its normal equations), against the spread of 2000 such fits. The
    penalty acts on terms absent from the truth, so that it shrinks the spread without a bias
    that would widen the residuals."""
    rng = np.random.default_rng(7)
    n, scale = 150, 1.0
    t, X = cubic_design(rng, n)
    spread = scale * (1.0 + (growth - 1.0) * (t + 1.0) / 2.0)
    truth = np.array([0.5, -1.0, 0.0, 0.0])
    penalty = penalty_weight * np.diag([0.0, 0.0, 1.0, 1.0])
    replicates = 2000
    Y = X @ truth + rng.normal(0.0, 1.0, (replicates, n)) * spread
    far = rng.random((replicates, n)).argsort(axis=1) < n // 5
    Y[far] += rng.uniform(30.0, 80.0, far.sum()) * growth
    beta = np.array([np.linalg.lstsq(X[~row], y[~row], rcond=None)[0] for row, y in zip(far, Y)])
    fixed = scale * (1.0 + growth) / 2.0
    for _ in range(30):  # bisquare reweighting at the fixed scale, every replicate at once
        weights = (1.0 - np.minimum(((Y - beta @ X.T) / fixed / BISQUARE) ** 2, 1.0)) ** 2
        gram = np.einsum("rn,ni,nj->rij", weights, X, X) + penalty
        beta = np.linalg.solve(gram, ((weights * Y) @ X)[:, :, None])[:, :, 0]
    predicted = [covariance(X, r, fixed, BISQUARE, penalty=penalty) for r in Y - beta @ X.T]
    empirical = np.cov(beta.T)
    mean_predicted = np.mean(predicted, axis=0)
    # 2000 fits measure a variance to about 3 %; the small-sample factor and the model-based
    # Gram matrix agree within a few % more. HC3's leverage correction errs on the wide side
    # where the noisiest rows are those of most leverage (Long & Ervin 2000).
    ratio = np.diag(mean_predicted) / np.diag(empirical)
    assert (ratio >= 0.9).all() and (ratio <= (1.2 if growth > 1.0 else 1.1)).all(), ratio
    if growth > 1.0:  # the spread's growth is plain: one spread for every row misses it
        model = np.mean(
            [inference.coefficient_covariance(X, r, fixed, BISQUARE, penalty=penalty) for r in Y - beta @ X.T], axis=0
        )
        assert np.abs(np.diag(model) / np.diag(empirical) - 1.0).max() > 0.2


@pytest.mark.filterwarnings("ignore::korva.FitWarning")  # 300 fits: a false alarm of the spread's trend is due
def test_degrees_of_freedom_match_the_spread_of_the_covariance():
    """A variance estimate with df degrees of freedom spreads as chi^2 / df: var(ln) = 2 / df.
    300 clean samples of one design fitted by the estimator (S-estimate, then the bisquare
    step): the spread of ln cov_ against the mean of df_resid_, which is well below the
    N - k = 56 of least squares. 300 samples measure a variance to about 8 %; the first-order
    formula came within 10 % here (43 against 39)."""
    rng = np.random.default_rng(3)
    n = 60
    t = np.sort(rng.uniform(-1.0, 1.0, n))
    logs, dfs = [], []
    for _ in range(300):
        y = 1.0 + t - 2.0 * t**3 + rng.normal(0.0, 0.3, n)
        model = PolynomialMDLRegressor(degree=3, random_state=0).fit(t, y)
        logs.append(np.log(np.diag(model.cov_)))
        dfs.append(model.df_resid_)
    spread_df = 2.0 / np.mean(np.var(logs, axis=0))
    assert np.mean(dfs) == pytest.approx(spread_df, rel=0.2)
    assert np.mean(dfs) < 0.9 * (n - 4)


@pytest.mark.parametrize("n", [6, 30, 2000])
def test_degrees_of_freedom_never_exceed_those_of_least_squares_on_the_rows_in_use(rng, n):
    # Light-tailed residuals, as a few rows often have: their V falls below least squares' 2.
    scaled = rng.uniform(-1.0, 1.0, n)
    scaled[0] = 2.0 * BISQUARE  # let go: not a row in use
    assert inference.robust_degrees_of_freedom(scaled, 1.0, BISQUARE, losses.SCALE_TUNING, 4) == n - 1 - 4


def test_covariance_of_undetermined_coefficients_is_nan(rng):
    t, X = cubic_design(rng, 20)
    X = np.column_stack([X, np.zeros(t.size)])  # a term in an input constant in training
    residuals = rng.normal(0.0, 1.0, t.size)
    covariance = inference.coefficient_covariance(X, residuals, 1.0, None)
    assert np.isnan(covariance[4]).all() and np.isnan(covariance[:, 4]).all()
    assert np.isfinite(covariance[:4, :4]).all()
    few = inference.coefficient_covariance(X[:4], residuals[:4], 1.0, None)
    assert np.isnan(few).all()  # no more rows than terms


@pytest.mark.parametrize(
    "design",
    [
        lambda rng: np.vander(np.linspace(-1.0, 1.0, 200), 4, increasing=True),
        lambda rng: np.vander(np.linspace(-1.0, 1.0, 200), 13, increasing=True),
        lambda rng: rng.normal(size=(50, 6)) * np.logspace(0, 3, 6),
        lambda rng: np.column_stack([rng.normal(size=(30, 3)), np.zeros(30)]),  # a term of a constant input
        lambda rng: rng.normal(size=(40, 1)),
    ],
    ids=["cubic", "degree-12", "scaled-columns", "zero-column", "one-column"],
)
def test_condition_number_is_that_of_the_design(rng, design):
    X = design(rng)
    kept = np.any(X != 0.0, axis=0)
    expected = np.linalg.cond(X[:, kept])
    assert inference.condition_number(X.T @ X) == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize(
    "columns", [[[1.0, 1.0, 2.0]], [[1.0, 2.0], [2.0, 4.0 + 1e-12]]], ids=["repeated", "nearly-repeated"]
)
def test_condition_number_of_a_design_singular_to_rounding_is_infinite(rng, columns):
    base = rng.normal(size=(20, 1))
    X = np.column_stack([base * factor for column in columns for factor in column])
    assert inference.condition_number(X.T @ X) == math.inf


@pytest.mark.parametrize(("method", "weighted"), [("ols", False), ("ols", True), ("penalized", True)])
def test_the_fitted_condition_number_is_that_of_the_weighted_design_in_t(rng, method, weighted):
    X = rng.uniform([0.0, 100.0], [10.0, 100.5], (150, 2))
    y = X[:, 0] ** 2 - 3.0 * X[:, 1] + rng.normal(0.0, 0.1, 150)
    weights = rng.integers(0, 4, 150).astype(float) if weighted else np.ones(150)
    gamma2 = 1e-3 if method == "penalized" else 0.0
    model = PolynomialMDLRegressor(degree=2, method=method, gamma2=gamma2).fit(X, y, sample_weight=weights)
    kept = weights > 0
    t = (X[kept] - (model.x_min_ + model.x_max_) / 2.0) / ((model.x_max_ - model.x_min_) / 2.0)
    design = np.column_stack([np.prod(t ** np.array(m), axis=1) for m in model.multi_indices_])
    expected = np.linalg.cond(design * np.sqrt(weights[kept])[:, None])
    assert model.condition_number_ == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize(
    "share, shift, start_share, tolerance",
    [
        (0.0, (20.0, 200.0), 1.0, 0.03),
        (0.3, (20.0, 200.0), 1.0, 0.03),
        (0.45, (20.0, 200.0), 1.0, 0.03),
        # 0.5 and 3: the steps leave the band near the start
        (0.3, (20.0, 200.0), 0.5, 0.03),
        (0.3, (20.0, 200.0), 3.0, 0.03),
        # Moderate outliers, 3 to 8 noise levels off and all on one side, crowd the inliers' edge.
        (0.3, (6.0, 16.0), 1.0, 0.15),
    ],
)
@pytest.mark.parametrize("n", [20_000, 3 * (1 << 16) + 5])  # one span of rows between stop checks, and several
def test_noise_scale_ignores_outliers(monkeypatch, share, shift, start_share, tolerance, n):
    rng = np.random.default_rng(3)
    residuals = rng.normal(0.0, 2.0, n)
    bad = rng.random(n) < share
    residuals[bad] += rng.uniform(*shift, bad.sum())
    residuals[np.flatnonzero(bad)[:1]] = np.inf  # even one beyond every scale
    # A high-breakdown scale, inflated by the outliers: the M-scale of the residuals.
    start = start_share * robust.m_scale(residuals[np.isfinite(residuals)])
    found = inference.noise_scale(residuals, start, 4)
    assert found == pytest.approx(2.0, rel=tolerance)
    repeats = rng.integers(1, 3, n)
    weighted = inference.noise_scale(residuals, start, 4, repeats.astype(float))
    assert weighted == pytest.approx(inference.noise_scale(np.repeat(residuals, repeats), start, 4), rel=1e-12)
    # The steps over the rows near the cut agree with the steps over every row.
    monkeypatch.setattr(inference, "NOISE_BAND_WIDTH", np.inf)
    assert inference.noise_scale(residuals, start, 4) == pytest.approx(found, rel=1e-12)
    assert inference.noise_scale(residuals, start, 4, repeats.astype(float)) == pytest.approx(weighted, rel=1e-12)


# ------------------------------------------------------------------ the polynomial in x


@pytest.mark.parametrize(("low", "high"), [(0.0, 10.0), (-3.0, -2.5), (1e3, 1e3 + 4.0)])
def test_power_map_matches_numpy_convert(rng, low, high):
    coef_t = rng.normal(size=5)
    mapped = inference.power_map([[p] for p in range(5)], np.array([(low + high) / 2]), np.array([(high - low) / 2]))
    expected = Polynomial(coef_t, domain=[low, high]).convert().coef
    np.testing.assert_allclose(mapped @ coef_t, expected, rtol=1e-9, atol=1e-12 * np.abs(expected).max())


@pytest.mark.parametrize("kind", ["total", "tensor"])
def test_power_map_keeps_the_surface(rng, kind):
    indices = bases.multi_indices(kind, [3, 2, 1])
    middle, half = np.array([2.0, -1.0, 5.0]), np.array([3.0, 0.5, 0.0])  # the third input constant
    coef_t = rng.normal(size=len(indices))
    X = rng.uniform(-1.0, 1.0, (20, 3)) * half + middle
    unit = np.divide(X - middle, half, out=np.zeros_like(X), where=half > 0)
    design_t = bases.design_matrix(indices, np.ascontiguousarray(unit.T))
    design_x = bases.design_matrix(indices, np.ascontiguousarray(X.T))
    mapped = inference.power_map(indices, middle, half)
    np.testing.assert_allclose(design_x @ (mapped @ coef_t), design_t @ coef_t, rtol=1e-10)


@pytest.mark.parametrize("indices", [[[0], [2]], [[0, 0], [1, 1]], [[1, 0], [0, 1]]])
def test_power_map_of_a_basis_without_its_lower_terms_is_none(indices):
    assert inference.power_map(indices, np.full(len(indices[0]), 1.0), np.full(len(indices[0]), 2.0)) is None


@pytest.mark.parametrize(
    ("indices", "names", "expected"),
    [
        ([[0], [1], [2]], ["x"], ["1", "x", "x^2"]),
        ([[0, 0], [1, 1], [2, 1], [0, 3]], ["x1", "x2"], ["1", "x1 x2", "x1^2 x2", "x2^3"]),
    ],
)
def test_term_names(indices, names, expected):
    assert summary.term_names(indices, names) == expected
    assert summary.input_names(len(names)) == names


# ------------------------------------------------------------------ summary


def small_summary():
    covariance = np.array([[0.04, 0.01], [0.01, 0.09]])
    errors = np.sqrt(np.diag(covariance))
    tables = [
        summary.CoefficientTable("x", ["x"], [[0], [1]], np.array([1.5, -0.2]), errors, 12.0, 0.1),
        summary.CoefficientTable("t", ["t"], [[0], [1]], np.array([0.5, 3.0]), 2.0 * errors, 12.0, 0.1),
    ]
    return summary.Summary(tables, ["a note"], n_samples=14, degree="1 (fixed)")


def test_summary_text_and_frame_agree():
    report = small_summary()
    text, frame = str(report), report.to_frame()
    numbers = re.compile(r"^(\S+)((?:\s+-?[\d.]+(?:e[-+]\d+)?){6})$")
    rows = [(m.group(1), [float(v) for v in m.group(2).split()]) for m in map(numbers.match, text.splitlines()) if m]
    assert [term for term, _ in rows] == frame["term"].tolist()
    np.testing.assert_allclose([values for _, values in rows], frame.iloc[:, 2:].to_numpy(), rtol=1e-5)
    table = report.tables[0]
    expected_p = 2.0 * stats.t.sf(np.abs(table.coef) / table.std_err, 12.0)
    np.testing.assert_allclose(frame["P>|t|"][:2], expected_p, rtol=1e-10)
    lower, upper = stats.t.interval(0.9, 12.0, loc=table.coef, scale=table.std_err)
    np.testing.assert_allclose(frame[["lower", "upper"]][:2], np.column_stack([lower, upper]), rtol=1e-10)
    assert re.search(r"^samples: +14 rows$", text, re.M) and "a note" in text and "90 %" in text


def test_summary_frame_without_pandas_names_the_extra(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)
    with pytest.raises(ImportError, match=r"korva\[pandas\]"):
        small_summary().to_frame()


def printed_table(text, units):
    """The rows of a printed coefficient table: each term and its six numbers as printed."""
    lines = text.splitlines()
    start = lines.index(next(line for line in lines if line.startswith(f"coefficients in {units} ")))
    rules = [i for i in range(start, len(lines)) if lines[i].startswith("---")][:3]
    rows = []
    for line in lines[rules[1] + 1 : rules[2]]:
        words = line.split()
        rows.append((" ".join(words[:-6]), words[-6:]))
    return rows


def named_surface(rng, n=120, as_frame=True, index=None, series_name="load"):
    pd = pytest.importorskip("pandas")
    X = rng.uniform([0.0, 1000.0], [10.0, 1004.0], (n, 2))
    y = X[:, 0] - 0.5 * (X[:, 1] - 1002.0) ** 2 + rng.normal(0.0, 0.05, n)
    if not as_frame:
        return X, y
    index = np.arange(n) * 10 + 7 if index is None else index
    frame = pd.DataFrame({"temperature": X[:, 0], "depth": X[:, 1]}, index=index)
    return frame, pd.Series(y, index=index, name=series_name)


@pytest.mark.parametrize(
    ("as_frame", "series_name", "response", "inputs"),
    [
        (True, "load", "load", ["temperature", "depth"]),
        (True, None, None, ["temperature", "depth"]),
        (False, None, None, ["x1", "x2"]),
    ],
    ids=["named", "unnamed-series", "arrays"],
)
def test_the_summary_names_the_response_and_the_inputs_and_their_mapping(rng, as_frame, series_name, response, inputs):
    X, y = named_surface(rng, as_frame=as_frame, series_name=series_name)
    model = PolynomialMDLRegressor(degree=2, random_state=3).fit(X, y)
    assert model.target_name_ == response
    report = model.summary()
    text = str(report)
    assert report.response == response and [m.name for m in report.inputs] == inputs
    assert "model:" in text and f"{response or 'y'} against {', '.join(inputs)}" in text
    variables = ["t1", "t2"] if not as_frame else [f"t_{name}" for name in inputs]
    for j, (name, variable) in enumerate(zip(inputs, variables)):
        # The mapping as printed gives back the training range and the map to the bit.
        found = re.search(
            rf"{variable} = \({name} - (\S+)\) / (\S+), +{name} mapped from \[(\S+), (\S+)\] to \[-1, 1\]",
            " ".join(text.split()),
        )
        assert found, (variable, text)
        middle, half, low, high = (float(v) for v in found.groups())
        assert (low, high) == (model.x_min_[j], model.x_max_[j])
        assert (middle, half) == ((low + high) / 2.0, (high - low) / 2.0)
    assert max(len(line) for line in text.splitlines()) <= summary.LINE_WIDTH
    frame = report.to_frame()
    assert list(frame.columns) == ["units", "term", "coef", "std err", "t", "P>|t|", "lower", "upper"]
    assert frame[frame.units == "x"].term.tolist() == list(model.get_feature_names_out())
    np.testing.assert_array_equal(frame[frame.units == "x"].coef, model.coef_x_)
    assert frame[frame.units == "t"].term.tolist() == summary.term_names(model.multi_indices_, variables)


@pytest.mark.parametrize("n_off", [4, 45])
@pytest.mark.parametrize("labels", ["positions", "integers", "strings"])
def test_the_summary_lists_the_flagged_rows_by_label_up_to_a_cap(rng, n_off, labels):
    n = 150
    index = {"positions": None, "integers": np.arange(n) * 3 + 1000, "strings": [f"r{i:03d}" for i in range(n)]}
    if labels == "positions":
        X, y = named_surface(rng, n, as_frame=False)
    else:
        X, y = named_surface(rng, n, index=index[labels])
    off = rng.choice(n, n_off, replace=False)
    y = y + np.isin(np.arange(n), off) * 50.0
    weights = np.where(np.arange(n) % 10 == 9, 0.0, 1.0)  # every tenth row left out of the fit
    model = PolynomialMDLRegressor(degree=2, random_state=3).fit(X, y, sample_weight=weights)
    flagged = np.flatnonzero(~model.inlier_mask_)
    assert set(off) <= set(flagged)
    expected = flagged[: summary.FLAGGED_ROWS_LISTED].tolist()
    if labels != "positions":
        expected = [index[labels][p] for p in expected]
    report = model.summary()
    assert report.n_flagged == flagged.size and report.flagged_rows == expected
    assert report.n_samples == n and report.n_used == n - n // 10
    text = " ".join(str(report).split())
    listed = re.search(r"flagged rows: (.*?)(?: \.\.\. and (\d+) more)? \((positions from 0|index labels of X)\)", text)
    assert listed.group(1).split(", ") == [str(label) for label in expected]
    assert int(listed.group(2) or 0) == max(flagged.size - summary.FLAGGED_ROWS_LISTED, 0)
    assert listed.group(3) == ("positions from 0" if labels == "positions" else "index labels of X")
    assert f"{n} rows, {n - n // 10} of positive weight fitted, {flagged.size} flagged" in text


@pytest.mark.parametrize(
    ("low", "high", "degree", "six_digits_do"),
    [
        (1000.0, 1004.0, 3, False),  # a narrow range far from 0: large terms that cancel
        (0.0, 10.0, 2, True),
        (-1e-3, 1e-3, 5, True),  # tiny x: large coefficients of high powers
        (5e5, 5e5 + 30.0, 2, False),
    ],
)
def test_the_printed_coefficients_in_x_rebuild_the_curve(low, high, degree, six_digits_do):
    rng = np.random.default_rng(int(high))
    x = rng.uniform(low, high, 150)
    t = (x - (low + high) / 2.0) / ((high - low) / 2.0)
    y = np.polynomial.polynomial.polyval(t, [0.3, -1.0, 0.5, 1.2, -0.4, 0.2][: degree + 1]) + rng.normal(0.0, 0.05, 150)
    y[::13] += 4.0
    model = PolynomialMDLRegressor(degree=degree, random_state=0).fit(x, y)
    rows = printed_table(str(model.summary()), "x")
    assert [term for term, _ in rows] == list(model.get_feature_names_out())
    printed = [decimal.Decimal(numbers[0]) for _, numbers in rows]
    lower, upper = model.predict_interval(x, alpha=0.3173)  # one standard error of the curve, about
    standard_error = (upper - lower) / 2.0 / stats.t.ppf(1.0 - 0.3173 / 2.0, model.df_resid_)

    def rebuilt(coefficients):
        with decimal.localcontext() as exact:
            exact.prec = 60
            return np.array(
                [
                    float(sum(c * decimal.Decimal(v) ** m[0] for c, m in zip(coefficients, model.multi_indices_)))
                    for v in x
                ]
            )

    assert np.all(np.abs(rebuilt(printed) - model.predict(x)) <= standard_error)
    # The digits are chosen for the range: six significant ones rebuild only some curves.
    six = [decimal.Decimal(f"{float(c):.6g}") for c in printed]
    assert bool(np.all(np.abs(rebuilt(six) - model.predict(x)) <= standard_error)) == six_digits_do


@pytest.mark.parametrize(
    ("columns", "variables_tex"),
    [
        (None, ["x_{1}", "x_{2}"]),
        (["log_x", "a&b"], ["\\mathrm{log\\_x}", "\\mathrm{a\\&b}"]),
        (["depth"], ["\\mathrm{depth}"]),
    ],
    ids=["default-names", "special-names", "one-input"],
)
def test_markdown_and_latex_tables_hold_every_term_with_names_escaped(rng, columns, variables_tex):
    pd = pytest.importorskip("pandas")
    d = len(variables_tex)
    X = rng.uniform(-1.0, 1.0, (80, d))
    y = X.sum(axis=1) ** 2 + rng.normal(0.0, 0.1, 80)
    model = PolynomialMDLRegressor(degree=2, method="ols").fit(
        X if columns is None else pd.DataFrame(X, columns=columns), y
    )
    report = model.summary()
    k = len(model.multi_indices_)
    markdown = report.to_markdown()
    assert markdown.count("**coefficients in ") == len(report.tables) == 2
    table_rows = [line for line in markdown.splitlines() if line.startswith("|")]
    assert len(table_rows) == 2 * (2 + k)
    # Seven cells a row: no pipe of a name or of P>|t| is left unescaped.
    assert all(len(re.split(r"(?<!\\)\|", line)) == 9 for line in table_rows)
    for name in columns or []:
        assert f"| {name.replace('_', chr(92) + '_')} |" in markdown
    latex = report.to_latex()
    assert latex.count("\\begin{tabular}{lrrrrrr}") == latex.count("\\end{tabular}") == 2
    rows = [line for line in latex.splitlines() if line.endswith("\\\\")]
    assert len(rows) == 2 * (2 + k)
    cells = [re.split(r"(?<!\\)&", line[: -len("\\\\")]) for line in rows if not line.startswith("\\multicolumn")]
    assert all(len(row) == 7 for row in cells)
    x_terms = [row[0].strip() for row in cells[1 : 1 + k]]
    expected = []
    for m in model.multi_indices_:
        factors = [v + ("" if e == 1 else f"^{{{e}}}") for v, e in zip(variables_tex, m) if e]
        expected.append(f"${' '.join(factors) or '1'}$")
    assert x_terms == expected
    # Every underscore of a name is escaped or opens a subscript, and no & of a name splits a row.
    assert all(re.fullmatch(r"(?:[^_&]|\\_|_\{|\\&)*", term) for row in cells for term in row[:1])


# ------------------------------------------------------------------ the estimator


def noisy_cubic(seed, n=120, share=0.15, low=0.0, high=10.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(low, high, n)
    t = (x - (low + high) / 2) / ((high - low) / 2)
    y = 1.0 + 2.0 * t - 3.0 * t**2 + 2.5 * t**3 + rng.normal(0.0, 0.1, n)
    y[rng.choice(n, int(share * n), replace=False)] += rng.uniform(3.0, 8.0, int(share * n))
    return x, y


@pytest.mark.parametrize(("stretch", "shift"), [(1.0, 0.0), (3.0, -7.0), (0.5, 20.0)])
def test_coefficients_in_x_follow_a_change_of_variables(stretch, shift):
    """x' = stretch x + shift maps to the same t: the same fit, with coef_x_ and cov_x_ in x' the
    image of those in x under that substitution, and polynomial_ the curve predict draws."""
    x, y = noisy_cubic(1)
    base = PolynomialMDLRegressor(degree=3, random_state=0).fit(x, y)
    moved = PolynomialMDLRegressor(degree=3, random_state=0).fit(stretch * x + shift, y)
    np.testing.assert_allclose(moved.cov_, base.cov_, rtol=1e-8)
    # coefficient p of x is the sum over powers q >= p of coef_x'[q] C(q, p) stretch^q shift^(q-p)
    substitution = np.array(
        [[math.comb(q, p) * stretch**p * shift ** (q - p) if q >= p else 0.0 for q in range(4)] for p in range(4)]
    )
    np.testing.assert_allclose(substitution @ moved.coef_x_, base.coef_x_, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(substitution @ moved.cov_x_ @ substitution.T, base.cov_x_, rtol=1e-5, atol=1e-12)
    grid = np.linspace(x.min(), x.max(), 101) * stretch + shift
    np.testing.assert_allclose(moved.polynomial_(grid), moved.predict(grid), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("scale", [1e-200, 1e-160, 1e160, 1e200])
@pytest.mark.parametrize("method", ["mcmc", "ols"])
def test_standard_errors_and_intervals_follow_y_to_the_ends_of_float64(scale, method):
    # A covariance in y's units squares its scale out of float64's range (cov_ is then 0,
    # subnormal or inf); the errors and intervals, in y's units, are all in range.
    x, y = noisy_cubic(2)
    base = PolynomialMDLRegressor(degree=3, method=method, random_state=0).fit(x, y)
    scaled = PolynomialMDLRegressor(degree=3, method=method, random_state=0).fit(x, y * scale)
    for name in ("bse_", "bse_x_", "noise_scale_"):
        np.testing.assert_allclose(getattr(scaled, name), getattr(base, name) * scale, rtol=1e-9, err_msg=name)
    np.testing.assert_allclose(scaled.conf_int(units="x"), base.conf_int(units="x") * scale, rtol=1e-9)
    for kind in ("confidence", "prediction"):
        np.testing.assert_allclose(
            scaled.predict_interval(x[:5], kind=kind),
            np.multiply(base.predict_interval(x[:5], kind=kind), scale),
            rtol=1e-9,
        )


@pytest.mark.parametrize("scale", [1e-100, 1e100, 1e150])
@pytest.mark.parametrize("method", ["mcmc", "ols"])
def test_standard_errors_in_x_follow_x_to_the_ends_of_float64(scale, method):
    # The variance of the coefficient of x^q goes as scale^-2q, out of float64's range
    # (0 or inf in cov_x_) while the error, as scale^-q, is in range; at 1e150 the x^3 term's
    # own coefficient and error, 1e-450 times those in x, round to 0.
    x, y = noisy_cubic(2)
    base = PolynomialMDLRegressor(degree=3, method=method, random_state=0).fit(x, y)
    scaled = PolynomialMDLRegressor(degree=3, method=method, random_state=0).fit(x * scale, y)
    with np.errstate(over="ignore"):
        power = np.float64(scale) ** np.arange(4)
    np.testing.assert_allclose(scaled.bse_x_, base.bse_x_ / power, rtol=1e-9)
    np.testing.assert_allclose(scaled.conf_int(units="x"), base.conf_int(units="x") / power[:, None], rtol=1e-9)
    assert (scaled.bse_x_[base.bse_x_ / power > 0.0] > 0.0).all()


def exact_half_widths(model, X, kind, alpha=0.05, end=None):
    """t times sqrt(x' cov_ x (+ (q noise_scale_ / t)^2)) at the rows of X, in 60-digit decimals
    from the public attributes, as float (inf beyond its range); q is t, or the ``end`` given
    of the band of the errors' own distribution."""
    with decimal.localcontext(decimal.Context(prec=60, Emax=10**6, Emin=-(10**6))):
        low, high = (np.atleast_1d(model.x_min_), np.atleast_1d(model.x_max_))
        middle, half = low / 2.0 + high / 2.0, high / 2.0 - low / 2.0
        cov = [[decimal.Decimal(float(c)) for c in row] for row in model.cov_]
        factor = decimal.Decimal(distributions.interval_factor(alpha, model.df_resid_))
        noise = decimal.Decimal(float(model.noise_scale_))
        if end is not None:
            noise *= decimal.Decimal(abs(end)) / factor
        widths = []
        for point in np.atleast_2d(X):
            t = [
                (decimal.Decimal(float(v)) - decimal.Decimal(float(m))) / decimal.Decimal(float(h))
                for v, m, h in zip(point, middle, half)
            ]
            row = [
                math.prod((tj ** int(e) for tj, e in zip(t, term)), start=decimal.Decimal(1))
                for term in model.multi_indices_
            ]
            variance = sum(row[i] * cov[i][j] * row[j] for i in range(len(row)) for j in range(len(row)))
            variance += noise * noise if kind == "prediction" else 0
            widths.append(float(factor * variance.sqrt()))
    return np.array(widths)


@pytest.mark.parametrize("kind", ["confidence", "prediction"])
@pytest.mark.parametrize(
    ("case", "points"),
    [
        # Far out the variance squares design entries of 1e180 (inf, NaN where they cancel).
        ("three-inputs", [[1e60, 1e60, 1e60], [1e60, -1e60, 3e59], [-2e99, 1e99, 1e99], [0.3, -0.2, 0.5]]),
        # Near the origin of a basis without a constant the variance squares entries of 1e-200 to 0.
        ("odd-basis", [[1e-200], [-3e-170], [0.5]]),
    ],
)
def test_intervals_far_out_are_those_of_the_exact_quadratic_form(case, points, kind):
    rng = np.random.default_rng(11)
    if case == "three-inputs":
        X = rng.uniform(-1.0, 1.0, (80, 3))
        y = X.sum(axis=1) ** 3 + rng.normal(0.0, 0.1, 80)
        model = PolynomialMDLRegressor(degree=3, random_state=0, extrapolation="ignore").fit(X, y)
    else:
        X = np.r_[-1.0, 1.0, rng.uniform(-1.0, 1.0, 58)][:, None]
        y = 2.0 * X[:, 0] - X[:, 0] ** 3 + rng.normal(0.0, 0.1, 60)
        model = PolynomialMDLRegressor(basis=[[1], [3]], method="ols").fit(X, y)
    points = np.array(points)
    lower, upper = model.predict_interval(points, kind=kind)
    center = model.predict(points)
    assert np.isfinite(center).all()
    quantiles = model._error_quantiles_
    ends = quantiles.band(0.05) if quantiles is not None and kind == "prediction" else None
    if ends is None:
        np.testing.assert_allclose((upper - lower) / 2.0, exact_half_widths(model, points, kind), rtol=1e-9)
        # predict(X) half-way between the ends, to the rounding of the ends
        assert (np.abs((upper + lower) / 2.0 - center) <= 1e-12 * (np.abs(center) + upper - lower)).all()
    else:
        # The band of the residuals' own distribution: each side from its own end, to the rounding of the ends.
        for side, end in zip((center - lower, upper - center), ends):
            exact = exact_half_widths(model, points, kind, end=end)
            assert (np.abs(side - exact) <= 1e-9 * exact + 1e-12 * np.abs(center)).all()


@pytest.mark.parametrize(("n", "alpha"), [(100, 0.05), (79, 0.05), (400, 0.1), (60, 0.25)])
@pytest.mark.parametrize("weighted", [False, True])
def test_the_band_of_a_new_error_takes_the_conformal_order_statistics(n, alpha, weighted):
    # With a new error among the N in the pool, each end keeps at most alpha / 2 of it beyond:
    # the floor((N + 1) alpha / 2)-th smallest and largest of the rows (repeated by their counts).
    # The lower end was the ceiling's, one row further in: 3 of 101 below it at N = 100.
    rng = np.random.default_rng(n)
    residuals = rng.normal(size=n)
    counts = rng.integers(1, 4, n).astype(float) if weighted else None
    quantiles = inference.error_quantiles(residuals, 1.0, 0, counts)  # no terms: the residuals as they are
    assert quantiles is not None
    pool = np.sort(residuals if counts is None else np.repeat(residuals, counts.astype(int)))
    beyond = math.floor((len(pool) + 1) * alpha / 2.0)
    assert quantiles.band(alpha) == (pool[beyond - 1], pool[-beyond])


@pytest.mark.parametrize("params", [{}, {"method": "ols"}, {"method": "penalized", "gamma2": 1e-3}])
def test_intervals_widen_away_from_the_data(params):
    x, y = noisy_cubic(2, share=0.0 if params else 0.15)
    model = PolynomialMDLRegressor(degree=3, extrapolation="ignore", **params).fit(x, y)
    inside, outside = np.linspace(3.0, 7.0, 5), np.array([10.5, 12.0, 15.0, 20.0])
    center = model.predict(np.r_[inside, outside])
    for kind in ("confidence", "prediction"):
        lower, upper = model.predict_interval(np.r_[inside, outside], kind=kind)
        for width in (center - lower, upper - center):
            assert width[5:].min() > width[:5].max() and (np.diff(width[5:]) > 0).all()
    confidence = np.subtract(*model.predict_interval(inside)[::-1])
    prediction = np.subtract(*model.predict_interval(inside, kind="prediction")[::-1])
    assert (prediction > confidence).all()


@pytest.mark.parametrize("params", [{"method": "ols"}, {"method": "penalized", "gamma2": 1e-3}])
def test_sample_weights_count_as_repeated_rows(rng, params):
    """Integer sample weights: the covariance, noise scale and degrees of freedom of the
    repeated rows, the penalty weighed by the same total weight. (The robust fit itself
    reaches repeated rows only to within its scale's own small-sample differences; its
    covariance's case weights are checked on fixed residuals above.)"""
    x, y = noisy_cubic(7, n=60)
    repeats = rng.integers(1, 4, x.size)
    weighted = PolynomialMDLRegressor(degree=3, **params).fit(x, y, sample_weight=repeats.astype(float))
    repeated = PolynomialMDLRegressor(degree=3, **params).fit(np.repeat(x, repeats), np.repeat(y, repeats))
    np.testing.assert_allclose(weighted.coef_, repeated.coef_, rtol=1e-6)
    np.testing.assert_allclose(weighted.cov_, repeated.cov_, rtol=1e-5, atol=1e-5 * np.abs(repeated.cov_).max())
    assert weighted.noise_scale_ == pytest.approx(repeated.noise_scale_, rel=1e-5)
    assert weighted.df_resid_ == repeated.df_resid_ < repeats.sum() - 3


@pytest.mark.parametrize("tuning", [losses.MM_TUNING, BISQUARE, 1.0, 30.0])
def test_r2_consistency_factor_is_its_normal_expectations(tuning):
    """a = E w(z) / E z psi(z), by SciPy's adaptive quadrature; for least squares 1."""
    from scipy import integrate

    def expectation(f):
        return integrate.quad(lambda z: f(np.array([z]))[0] * stats.norm.pdf(z), -tuning, tuning, limit=200)[0]

    weight = expectation(lambda z: losses.weights(z, tuning))
    moment = expectation(lambda z: z * losses.psi(z, tuning))
    assert losses.r2_consistency_factor(tuning) == pytest.approx(weight / moment, rel=1e-10)
    assert losses.r2_consistency_factor(None) == 1.0


def test_least_squares_intervals_are_statsmodels_ols(rng):
    sm = pytest.importorskip("statsmodels.api")
    x, y = noisy_cubic(3, n=40, share=0.0)
    model = PolynomialMDLRegressor(degree=3, method="ols", extrapolation="ignore").fit(x, y)
    t = (x - (x.min() + x.max()) / 2) / ((x.max() - x.min()) / 2)
    ols = sm.OLS(y, np.vander(t, 4, increasing=True)).fit()
    np.testing.assert_allclose(model.cov_, ols.cov_params(), rtol=1e-8)
    np.testing.assert_allclose(model.conf_int(0.1), ols.conf_int(0.1), rtol=1e-8)
    new = rng.uniform(-2.0, 12.0, 7)
    t_new = (new - (x.min() + x.max()) / 2) / ((x.max() - x.min()) / 2)
    expected = ols.get_prediction(np.vander(t_new, 4, increasing=True)).conf_int(obs=True, alpha=0.1)
    np.testing.assert_allclose(np.column_stack(model.predict_interval(new, 0.1, "prediction")), expected, rtol=1e-8)


def test_summary_reports_the_fitted_attributes():
    x, y = noisy_cubic(4)
    model = PolynomialMDLRegressor(degree="auto", random_state=1).fit(x, y)
    frame = model.summary(alpha=0.1).to_frame()
    in_x, in_t = frame[frame.units == "x"], frame[frame.units == "t"]
    assert in_x.term.tolist() == list(model.get_feature_names_out()) == ["1", "x", "x^2", "x^3"]
    np.testing.assert_allclose(in_x.coef, model.coef_x_)
    np.testing.assert_allclose(in_x["std err"], np.sqrt(np.diag(model.cov_x_)))
    np.testing.assert_allclose(in_x[["lower", "upper"]], model.conf_int(0.1, units="x"))
    np.testing.assert_allclose(in_t[["lower", "upper"]], model.conf_int(0.1))
    text = str(model.summary())
    assert 'degree="auto"' in text and f"{np.count_nonzero(~model.inlier_mask_)} flagged" in text
    assert f"R²:                 {model.r2_:.4f}, adjusted {model.r2_adjusted_:.4f} (robust" in text


@pytest.mark.parametrize(
    "params, with_sigma, said",
    [
        ({"degree": "auto", "gamma2": 1e-6}, False, ['degree="auto"', "mcmc", "gamma2 = 1e-06"]),
        ({"cov_type": "hc"}, False, ["cov_type='hc': each sample's own spread"]),
        ({"absolute_sigma": True}, True, ["sigma given for each sample, known", "in units of its sigma", "none lost"]),
        ({}, True, ["sigma given for each sample, relative: one factor estimated"]),
        (
            {},
            False,
            ["Tukey's bisquare, c = 3.4437", "85 % efficiency at normal", "breakdown point 50 %", "Satterthwaite"],
        ),
        (
            {"method": "ols"},
            False,
            ["ols: ordinary least squares", "100 % efficiency", "breakdown point 0 %", "n - k", "(least squares')"],
        ),
        ({"refit": False}, False, ["MDL search (a tournament MCMC sampler) alone (refit=False)"]),
    ],
)
def test_the_summary_reports_the_parameters_of_the_fit_not_those_set_since(params, with_sigma, said):
    x, y = noisy_cubic(4)
    sigma = np.full(len(x), 0.1) if with_sigma else None
    model = PolynomialMDLRegressor(**{"degree": 3, **params}, random_state=1).fit(x, y, sigma=sigma)
    before = str(model.summary())
    model.set_params(method="ols", degree=5, gamma2=0.0, cov_type="model", absolute_sigma=not with_sigma)
    assert str(model.summary()) == before
    words_said = " ".join(before.split())  # the report's lines are wrapped
    assert all(words in words_said for words in said), [words for words in said if words not in words_said]


@pytest.mark.parametrize("random_state", [None, 7, "generator"])
def test_the_summary_gives_the_seed_that_repeats_the_fit(random_state):
    # The search alone (refit=False) ends where its seed takes it.
    x, y = noisy_cubic(8)
    state = np.random.default_rng(5) if random_state == "generator" else random_state
    model = PolynomialMDLRegressor(degree=3, refit=False, random_state=state).fit(x, y)
    report = model.summary()
    assert (report.seed == 7) == (random_state == 7) and report.random_state is state
    again = PolynomialMDLRegressor(degree=3, refit=False, random_state=report.seed).fit(x, y)
    np.testing.assert_array_equal(again.coef_, model.coef_)
    other = PolynomialMDLRegressor(degree=3, refit=False, random_state=report.seed + 1).fit(x, y)
    assert not np.array_equal(other.coef_, model.coef_)
    assert f"random_state={report.seed} repeats the fit" in " ".join(str(report).split())
    assert report.version == korva.__version__


def test_coefficients_in_x_that_cancel_beyond_their_precision_warn():
    # Over x in 1 +- 1e-12 the polynomial in x missed predict by 94 %, and nothing said so.
    rng = np.random.default_rng(0)
    t = rng.uniform(-1.0, 1.0, 100)
    y = t**3 - t + rng.normal(0.0, 0.05, 100)
    with pytest.warns(FitWarning, match="coefficients in x"):
        PolynomialMDLRegressor(degree=3).fit(1.0 + 1e-12 * t, y)
    for x in (5.0 * t + 5.0, 2.0 * t + 1002.0):  # [0, 10] and [1000, 1004]: no word
        assert not PolynomialMDLRegressor(degree=3).fit(x, y).fit_warnings_


def test_a_basis_without_its_lower_terms_has_no_coefficients_in_x():
    x, y = noisy_cubic(5, share=0.0)
    model = PolynomialMDLRegressor(basis=[[0], [1], [3]], method="ols").fit(x, y)
    assert model.coef_x_ is None and model.cov_x_ is None and not hasattr(model, "polynomial_")
    assert "no table in x" in str(model.summary()).lower()
    assert np.isfinite(model.conf_int()).all()
    with pytest.raises(ValueError, match="coef_x_ is None"):
        model.conf_int(units="x")


@pytest.mark.parametrize("alpha", [1e-100, 1e-17, 0.05, 0.9])
@pytest.mark.parametrize("df", [1.0, 7.5, 1e6])
def test_interval_factor_keeps_the_digits_of_a_tiny_alpha(alpha, df):
    # 1 - alpha / 2 rounds to 1 below alpha = 1e-16; the lower tail holds alpha / 2 whole.
    assert distributions.interval_factor(alpha, df) == pytest.approx(-stats.t.ppf(alpha / 2.0, df), rel=1e-11)


@pytest.mark.parametrize("method", ["mcmc", "penalized", "ols"])
@pytest.mark.parametrize("n", [2, 10, 12, 21])
@pytest.mark.parametrize("cov_type", ["model", "hc"])
# At 21 points the design of degree 20 is singular to the fit's tolerance, which it says.
@pytest.mark.filterwarnings("ignore:the data do not determine:korva.FitWarning")
def test_a_fit_with_no_degrees_of_freedom_has_nan_intervals(method, n, cov_type):
    # As many points as terms: the fit goes through every one and says nothing of the spread.
    # The robust fits once flagged their own points on residuals of rounding, took negative
    # degrees of freedom (-198 325 at n = 10), and at n = 21 missed by 1e-2 with errors of 0;
    # cov_type="hc" took each row's spread from its residual of rounding over 1 - h, h = 1 to
    # rounding: errors of 0 or of any size.
    x = np.linspace(-1.0, 1.0, n) if n > 2 else np.array([0.0, 1.0])
    y = np.cos(2.0 * x) + 0.01 * np.random.default_rng(n).normal(size=n) if n > 2 else x + 1.0
    model = PolynomialMDLRegressor(degree=n - 1, method=method, cov_type=cov_type).fit(x, y)
    assert model.df_resid_ == 0.0 and model.inlier_mask_.all()
    assert np.abs(model.predict(x) - y).max() < 1e-8
    assert np.isnan(model.bse_).all() and np.isnan(model.conf_int()).all()
    assert np.isnan(model.conf_int(units="x")).all() and np.isnan(model.predict_interval(x[:2])).all()
    frame = model.summary().to_frame()
    assert frame[["P>|t|", "lower", "upper"]].isna().all(axis=None)
    if n == 2:
        np.testing.assert_allclose(frame["coef"], [1.0, 1.0, 1.5, 0.5])


@pytest.mark.parametrize("method", ["mcmc", "penalized", "ols"])
@pytest.mark.parametrize("weights", [None, "one row of x alone"])
def test_the_slope_of_an_input_constant_in_the_rows_fitted_is_nan(method, weights):
    # Exactly fitted, the robust fit's covariance was 0 for every coefficient, a determined
    # slope of 0 with an interval of no width.
    x, y = np.full(60, 0.3), np.full(60, 1.2)
    sample_weight = None
    if weights is not None:  # the rows of positive weight have one x between them
        x, y = np.linspace(0.0, 1.0, 60), 1.2 + np.linspace(0.0, 1.0, 60)
        sample_weight = np.where(np.arange(60) == 7, 3.0, 0.0)
        x[7], y[7] = 0.5, 1.7
    # Without a slope to determine, the fit says so (it once returned a slope of 0 and NaN in
    # silence); the one row of weight 3 also decides the rest alone.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FitWarning)
        model = PolynomialMDLRegressor(degree=1, method=method).fit(x, y, sample_weight=sample_weight)
    said = [str(w.message) for w in caught]
    assert any(re.match(r"input x takes one value in every row fitted \(x = 0.[35]\)", m) for m in said), said
    assert any(m.startswith("row [7] (counting from 0) alone decides") for m in said) == (weights is not None)
    assert np.isnan(model.bse_[1]) and np.isnan(model.conf_int()[1]).all()


@pytest.mark.parametrize(
    ("call", "match"),
    [
        (lambda m, x: m.predict_interval(x, alpha=0.0), "alpha"),
        (lambda m, x: m.predict_interval(x, kind="mean"), "kind"),
        (lambda m, x: m.conf_int(alpha=1.5), "alpha"),
        (lambda m, x: m.conf_int(units="y"), "units"),
        (lambda m, x: m.summary(alpha=-0.1), "alpha"),
        (lambda m, x: m.get_feature_names_out(["a", "b"]), "input_features has 2 names"),
    ],
)
def test_bad_interval_arguments_raise(call, match):
    x, y = noisy_cubic(6, n=30, share=0.0)
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(x, y)
    with pytest.raises(ValueError, match=match):
        call(model, x)


def test_feature_names_other_than_the_columns_fitted_on_are_refused():
    pd = pytest.importorskip("pandas")
    x, y = noisy_cubic(6, n=30, share=0.0)
    model = PolynomialMDLRegressor(degree=1, method="ols").fit(pd.DataFrame({"depth": x}), y)
    assert list(model.get_feature_names_out(["depth"])) == ["1", "depth"]
    with pytest.raises(ValueError, match=r"not the names of the columns fitted on.*\['depth'\]"):
        model.get_feature_names_out(["q"])
