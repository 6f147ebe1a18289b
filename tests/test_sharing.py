"""to_dict / from_dict and JSON: a fitted model written in plain types and read back whole."""

import copy
import dataclasses
import json
import math

import numpy as np
import pytest

from korva import NotFittedError, PolynomialMDLRegressor

pd = pytest.importorskip("pandas")


def cubic(seed, n=120, n_inputs=1, share=0.1):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2.0, 3.0, (n, n_inputs))
    y = 1.0 + X.sum(axis=1) - 0.4 * X.sum(axis=1) ** 3 + rng.normal(0.0, 0.2, n)
    y[rng.choice(n, int(share * n), replace=False)] += rng.uniform(5.0, 10.0, int(share * n))
    return X, y, rng


def fitted(case):
    """A model of each kind the format must carry, and what its intervals need: the inputs
    to evaluate it at and, for a fit with sigma, the new rows' errors."""
    sigma = None
    params, fit_options = {"degree": 3}, {}
    n_inputs = 2 if case in ("two inputs", "tensor", "auto tensor", "frame", "constant input") else 1
    X, y, rng = cubic(3, n_inputs=n_inputs)
    if case in ("two inputs", "frame"):
        params = {"degree": 2}
    elif case == "tensor":
        params = {"degree": [2, 1], "basis": "tensor"}
    elif case == "auto":
        params = {"degree": "auto", "random_state": 1}
    elif case == "auto tensor":  # degrees of (1, 1), ... in mdl_path_
        params = {"degree": "auto", "basis": "tensor", "max_degree": 2}
    elif case == "penalized":
        params = {"degree": 4, "method": "penalized", "gamma1": 1e-4, "gamma2": 1e-3}
    elif case == "ols":
        params = {"degree": 3, "method": "ols"}
    elif case in ("relative sigma", "known sigma"):
        sigma = 0.2 * 10.0 ** rng.uniform(-0.3, 0.3, len(y))
        params = {"degree": 3, "absolute_sigma": case == "known sigma"}
        fit_options = {"sigma": sigma}
    elif case == "hc":
        params = {"degree": 3, "cov_type": "hc"}
    elif case == "weights":
        weights = rng.integers(0, 4, len(y)).astype(float)
        fit_options = {"sample_weight": weights}
    elif case == "no terms in x":
        params = {"basis": [[0], [1], [3]], "method": "ols"}
    elif case == "constant input":
        X[:, 1] = 4.0  # its terms' errors are NaN
        params = {"degree": 2, "method": "ols"}
    elif case == "exact":
        X, y = X[:4], y[:4]  # as many samples as terms: no degrees of freedom, NaN intervals
    if case == "frame":
        # Row labels and the response's name travel with the fit, for its summary.
        X = pd.DataFrame(X, columns=["depth", "heat"], index=[f"sample {i}" for i in range(len(y))])
        y = pd.Series(y, index=X.index, name="yield")
    model = PolynomialMDLRegressor(**params).fit(X, y, **fit_options)
    new = X.iloc[::7] if case == "frame" else X[::7]
    return model, new, None if sigma is None else sigma[::7]


CASES = [
    "one input",
    "two inputs",
    "tensor",
    "frame",
    "auto",
    "auto tensor",
    "penalized",
    "ols",
    "relative sigma",
    "known sigma",
    "hc",
    "weights",
    "no terms in x",
    "constant input",
    "exact",
]


def assert_same_state(model, read):
    """Every attribute of the model read back is the written one's, value for value."""
    written, back = vars(model), vars(read)
    assert sorted(written) == sorted(back)
    for name, value in written.items():
        assert_same_value(value, back[name], name)


def assert_same_value(value, other, name):
    if isinstance(value, np.ndarray):
        assert value.dtype == other.dtype and value.shape == other.shape, name
        assert np.array_equal(value, other, equal_nan=value.dtype.kind == "f"), name
    elif dataclasses.is_dataclass(value) and not isinstance(value, type):
        assert type(value) is type(other), name
        for field in dataclasses.fields(value):
            assert_same_value(getattr(value, field.name), getattr(other, field.name), f"{name}.{field.name}")
    elif isinstance(value, np.polynomial.Polynomial):
        assert np.array_equal(value.coef, other.coef) and value.has_samecoef(other), name
    elif isinstance(value, float) and math.isnan(value):
        assert math.isnan(other), name
    else:
        assert value == other and type(value) is type(other), name


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("through_json", [False, True])
@pytest.mark.parametrize("case", CASES)
# A fit's warnings are part of what is written (fit_warnings_), not what is tested here.
@pytest.mark.filterwarnings("ignore::korva.FitWarning")
def test_a_model_read_back_predicts_and_reports_as_the_one_written(case, through_json):
    model, new, sigma = fitted(case)
    written = model.to_dict()
    if through_json:
        read = PolynomialMDLRegressor.from_json(json.dumps(written, allow_nan=False))
        assert PolynomialMDLRegressor.from_json(model.to_json()).to_dict() == written
    else:
        read = PolynomialMDLRegressor.from_dict(copy.deepcopy(written))
    assert_same_state(model, read)
    assert read.get_params() == model.get_params() and read.to_dict() == written
    assert same_bits(read.predict(new), model.predict(new))
    for kind in ("confidence", "prediction"):
        errors = sigma if kind == "prediction" else None
        for mine, theirs in zip(
            read.predict_interval(new, 0.1, kind, errors), model.predict_interval(new, 0.1, kind, errors)
        ):
            assert same_bits(mine, theirs)
    assert same_bits(read.conf_int(), model.conf_int())
    if model.coef_x_ is not None:
        assert same_bits(read.conf_int(units="x"), model.conf_int(units="x"))
    assert str(read.summary()) == str(model.summary())


def written_fit():
    X, y, _ = cubic(5, n=30, n_inputs=2, share=0.0)
    return PolynomialMDLRegressor(degree=1, method="ols").fit(X, y).to_dict()


def nested_list(depth):
    """[[...[]...]], ``depth`` lists deep."""
    inner = []
    for _ in range(depth - 1):
        inner = [inner]
    return inner


def changed(**changes):
    def change(d):
        for key, value in changes.items():
            if value is KeyError:
                del d[key]
            else:
                d[key] = value(d[key]) if callable(value) else value
        return d

    return change


@pytest.mark.parametrize(
    "change, message",
    [
        (changed(format="korva.model"), "not a korva fit: 'format' is 'korva.model'"),
        (changed(schema_version=2), "'schema_version' 2 is newer than this korva reads .1."),
        (changed(schema_version="1"), "'schema_version' must be an int"),
        (changed(coef=KeyError), "needs the key 'coef', which is missing"),
        (lambda d: {**d, "note": "mine"}, "has no key 'note'"),
        (changed(korva_version=1), "'korva_version' must be a string"),
        (changed(coef=lambda c: c[:2]), "'coef' must be a list of 3 numbers, got a list of 2"),
        (changed(coef=lambda c: [c[0], "1.5", c[2]]), "'coef' must hold numbers"),
        (changed(coef=lambda c: [c[0], True, c[2]]), "'coef' must hold numbers"),
        (changed(cov=lambda c: [row[:2] for row in c]), "'cov' must be a list of 3 numbers, got a list of 2"),
        (changed(cov_in_spread=lambda c: c[0]), "'cov_in_spread' must be a list of 3 numbers"),
        (changed(x_min=lambda x: [x[0], 1e9]), "x_min <= x_max"),
        (changed(x_max=lambda x: [x[0], "inf"]), "must be finite"),
        (changed(multi_indices=[[0, 0], [1, 0], [0, -1]]), "'multi_indices'"),
        (changed(multi_indices=[[0, 0], [1, 0]]), "must be a list of 2 numbers, got a list of 3"),
        (changed(n_features_in=3), "'x_min' must be a list of 3 numbers"),
        (changed(params=lambda p: {**p, "method": "nope"}), "'params': method must be one of mcmc, penalized, ols"),
        (changed(fitted_params=lambda p: {**p, "degree": -1}), "'fitted_params': 'degree': a degree must be"),
        (changed(params=lambda p: {**p, "degree": [1, 1, 1]}), "'params': 'degree': a degree must be .* list of 2"),
        (changed(degree=[1]), "'degree': a degree must be an int of at least 0 or a list of 2 of them"),
        (changed(mdl_path=[[[1, 1, 1], 2.0]]), "'mdl_path': a degree must be"),
        (changed(params=lambda p: {**p, "basis": [[0, 0, 1]]}), "'params': each exponent vector of basis"),
        (changed(params=lambda p: {k: v for k, v in p.items() if k != "H"}), "'params' must map each of"),
        (changed(params=lambda p: {**p, "n_grid": {"a": 1}}), "the parameter n_grid must be None"),
        (changed(params=lambda p: {**p, "basis": [[[0, 0]]]}), "the parameter basis must be None"),
        (changed(params=lambda p: {**p, "degree": nested_list(10_000)}), "the parameter degree must be None"),
        (changed(outlier_rows=[30]), "'outlier_rows' must list distinct rows from 0 to n_samples - 1 = 29"),
        (changed(outlier_rows=[1, 1]), "'outlier_rows' must list distinct rows"),
        (changed(rows_used=31), "'rows_used' 31 must not exceed the 30 rows of 'n_samples'"),
        (
            changed(outlier_rows=[0, 1], flagged_labels=["a"]),
            "must label the first 2 of the rows in 'outlier_rows', got 1",
        ),
        (changed(outlier_rows=list(range(30)), flagged_labels=["a"] * 31), "label the first 30 of the rows"),
        (changed(feature_names_in=["a"]), "'feature_names_in' must be None or 2 strings"),
        (changed(cov_x=None), "'coef_x', 'cov_x' and 'bse_x' must be given all three"),
        (changed(mdl_path=[[1]]), "'mdl_path' must be a list of .degree, description length. pairs"),
        (changed(gibbs={"H": 1.0}), "'gibbs' must be None or map each of"),
        (changed(error_quantiles={"values": [2.0, 1.0], "cumulative": [1.0, 2.0], "total": 2.0}), "ascending"),
        (changed(weighing=lambda w: {**w, "active": [2, 0]}), "'weighing' must list its active columns in ascending"),
        (changed(weighing=lambda w: {**w, "active": [0, 3]}), "from 0 to 2"),
        (changed(weighing=lambda w: {**w, "gram_inverse": [[1.0]]}), "'weighing' must be 3 lists of 3 numbers"),
        (changed(weighing={"tuning": None}), "'weighing' must map each of"),
        (changed(weighing=lambda w: {**w, "residual_scale": -1.0}), "'weighing' must hold scales of at least 0"),
        (changed(weighing=lambda w: {**w, "sigma_unit": 0}), "a positive finite sigma_unit"),
        (changed(weighing=lambda w: {**w, "tuning": -4.685}), "'weighing' must hold a positive tuning"),
        (changed(with_sigma=1), "'with_sigma' must be true or false"),
        (changed(n_samples=0), "'n_samples' must be an int of at least 1"),
        (changed(fit_warnings="careful"), "'fit_warnings' must be a list of strings"),
        (changed(fit_warnings=[1] * 100_000), "'fit_warnings' must be a list of strings, got a list of 100000$"),
        (changed(core_order=list(range(100_000))), "permutation of the positions 0 to 2, got a list of 100000$"),
        (changed(feature_names_in=["x"] * 100_000), "must be None or 2 strings, got a list of 100000$"),
        (changed(df_resid="NaN"), "'df_resid' must hold numbers .or 'nan', 'inf', '-inf'."),
        (changed(scale=10**400), "'scale' holds an int too large for a float"),
        (changed(scale=-1.0), "'scale' is a scale, which cannot be negative"),
        (changed(noise_scale="-inf"), "'noise_scale' is a scale, which cannot be negative"),
        (changed(spread=0), "'spread' must be a positive finite number, got 0.0"),
        (changed(spread=-2.5), "'spread' must be a positive finite number"),
        (changed(spread="nan"), "'spread' must be a positive finite number"),
        (changed(core_order=[0, 1, 1]), "'core_order' must be a permutation of the positions 0 to 2"),
        (changed(core_order=[0, "1", 2]), "'core_order' must be a permutation"),
        (changed(core_order=[None, 1, 2]), "'core_order' must be a permutation"),
        (changed(core_order=[0.0, 1.0, 2.0]), "'core_order' must be a permutation"),
        (changed(coef=lambda c: [c[0], -(10**400), c[2]]), "'coef' holds an int too large for a float"),
    ],
)
def test_from_dict_refuses_what_to_dict_did_not_write(change, message):
    with pytest.raises(ValueError, match=message):
        PolynomialMDLRegressor.from_dict(change(written_fit()))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: PolynomialMDLRegressor.from_dict([("format", "korva.fit")]), TypeError, "a korva fit is a dict"),
        (lambda: PolynomialMDLRegressor.from_json(b"{}"), TypeError, "reads JSON text, a str"),
        (
            lambda: PolynomialMDLRegressor.from_json(json.dumps({**written_fit(), "df_resid": math.nan})),
            ValueError,
            "writes NaN as a string",
        ),
        (lambda: PolynomialMDLRegressor.from_json("[" * 100_000 + "]" * 100_000), ValueError, "s nests its JSON"),
        (lambda: PolynomialMDLRegressor().to_dict(), NotFittedError, "not fitted"),
        (
            lambda: PolynomialMDLRegressor.from_dict(written_fit()).set_params(method="nope").to_dict(),
            ValueError,
            "method must be one of",
        ),
    ],
)
def test_sharing_refuses_what_is_no_fit(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_generator_as_random_state_is_written_as_none():
    X, y, _ = cubic(5, n=30, share=0.0)
    model = PolynomialMDLRegressor(degree=1, random_state=np.random.default_rng(1)).fit(X, y)
    written = model.to_dict()
    assert written["params"]["random_state"] is None and written["fitted_params"]["random_state"] is None
    assert PolynomialMDLRegressor.from_dict(written).random_state is None
