"""korva.plot_fit: the artists drawn for a fit, checked against the model, and its argument errors."""

import re
import sys

import numpy as np
import pytest

import korva
from korva import NotFittedError, PolynomialMDLRegressor

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
pyplot = pytest.importorskip("matplotlib.pyplot")
pandas = pytest.importorskip("pandas")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PLANTED = [4, 17, 33, 50]


@pytest.fixture(autouse=True)
def close_figures():
    yield
    pyplot.close("all")


def planted_fit(case):
    """A fit with rows PLANTED thrown far off: X, y, the sigma to draw with, the model, and the
    labels the planted rows should carry."""
    rng = np.random.default_rng(11)
    n = 70
    x = rng.uniform(-3.0, 5.0, n)
    if case == "two inputs":
        b = rng.uniform(10.0, 20.0, n)
        y = 1.0 + 0.5 * x - 0.2 * x**2 + 0.3 * b + rng.normal(0.0, 0.1, n)
        y[PLANTED] += 6.0
        # Labelled by the frame's index, not by position.
        X = pandas.DataFrame({"a": x, "b": b}, index=100 + np.arange(n))
        model = PolynomialMDLRegressor(degree=2).fit(X, y)
        return X, pandas.Series(y, name="response", index=X.index), None, model, [str(100 + r) for r in PLANTED]
    sigma = {
        "one input": None,
        "known errors, each row's": 0.05 * 10.0 ** rng.uniform(0.0, 1.0, n),
        "known errors, one sigma": 0.2,
    }[case]
    y = 1.0 + 0.5 * x - 0.2 * x**2 + rng.normal(0.0, 1.0, n) * (0.1 if sigma is None else sigma)
    y[PLANTED] += 6.0
    model = PolynomialMDLRegressor(degree=2, absolute_sigma=sigma is not None).fit(x, y, sigma=sigma)
    return x, y, sigma, model, [str(r) for r in PLANTED]


def legend_texts(ax):
    return [text.get_text() for text in ax.get_legend().get_texts()]


@pytest.mark.parametrize("case", ["one input", "two inputs", "known errors, each row's", "known errors, one sigma"])
def test_plot_fit_draws_the_rows_the_curve_and_its_bands(tmp_path, case):
    X, y, sigma, model, planted_labels = planted_fit(case)
    ax = korva.plot_fit(model, X, y, sigma=sigma, alpha=0.1)
    path = tmp_path / "fit.png"
    ax.figure.savefig(path)
    assert path.read_bytes().startswith(PNG_SIGNATURE)

    # The flagged rows are the fit's own, each named once, the planted ones among them.
    flagged = np.flatnonzero(~model.inlier_mask_)
    labels = [text.get_text() for text in ax.texts]
    expected = [str(label) for label in (X.index[flagged] if case == "two inputs" else flagged)]
    assert sorted(labels) == sorted(expected)
    assert set(planted_labels) <= set(labels)

    inputs = np.column_stack([X]) if case != "two inputs" else X.to_numpy()
    target = np.asarray(y)
    markers = {c.get_label(): c.get_offsets() for c in ax.collections if c.get_label() in ("inliers", "flagged")}
    np.testing.assert_array_equal(markers["inliers"], np.column_stack([inputs[:, 0], target])[model.inlier_mask_])
    np.testing.assert_array_equal(markers["flagged"], np.column_stack([inputs[:, 0], target])[flagged])

    # The curve spans the training range, the other input held at its median.
    (line,) = ax.lines
    along, curve = line.get_data()
    assert (along[0], along[-1]) == (model.x_min_[0], model.x_max_[0])
    grid = np.tile(np.median(inputs, axis=0), (len(along), 1))
    grid[:, 0] = along
    grid = pandas.DataFrame(grid, columns=X.columns) if case == "two inputs" else grid[:, 0]
    np.testing.assert_allclose(curve, model.predict(grid), rtol=1e-12, atol=1e-12)

    texts = legend_texts(ax)
    assert "90 % confidence band" in texts
    with_prediction = case != "known errors, each row's"  # no sigma for the curve's points
    assert any(text.startswith("90 % prediction band") for text in texts) == with_prediction
    assert ("± sigma" in texts) == (sigma is not None)
    bands = [c for c in ax.collections if "band" in c.get_label()]
    assert len(bands) == 1 + with_prediction
    kinds = ["confidence", "prediction"][: len(bands)]
    for band, kind in zip(bands, kinds):
        given = {"sigma": sigma} if kind == "prediction" and sigma is not None else {}
        low, high = model.predict_interval(grid, alpha=0.1, kind=kind, **given)
        edge = band.get_paths()[0].vertices[:, 1]
        np.testing.assert_allclose([edge.min(), edge.max()], [low.min(), high.max()], rtol=1e-12)
    if case == "two inputs":
        assert ax.get_xlabel() == "a" and ax.get_ylabel() == "response"
        assert f"b = {np.median(X['b']):.4g}" in ax.get_title()


@pytest.mark.parametrize("n_planted", [20, 21])
def test_plot_fit_names_the_flagged_rows_when_at_most_20(n_planted):
    x = np.linspace(0.0, 1.0, 100)
    y = x**2 + 0.01 * np.sin(37.0 * x)  # bounded noise: no good row beyond 2.5 scales
    y[:n_planted] += 5.0
    model = PolynomialMDLRegressor(degree=2).fit(x, y)
    assert np.flatnonzero(~model.inlier_mask_).tolist() == list(range(n_planted))
    ax = korva.plot_fit(model, x, y)
    assert sorted(int(text.get_text()) for text in ax.texts) == (list(range(n_planted)) if n_planted <= 20 else [])
    flagged = next(c for c in ax.collections if c.get_label() == "flagged")
    assert len(flagged.get_offsets()) == n_planted


@pytest.mark.parametrize("feature", ["b", 1])
def test_plot_fit_slices_along_the_chosen_input(feature):
    X, y, _, model, _ = planted_fit("two inputs")
    ax = korva.plot_fit(model, X, y, feature=feature)
    along = ax.lines[0].get_xdata()
    assert ax.get_xlabel() == "b" and (along[0], along[-1]) == (model.x_min_[1], model.x_max_[1])
    assert f"a = {np.median(X['a']):.4g}" in ax.get_title()
    inliers = next(c for c in ax.collections if c.get_label() == "inliers")
    np.testing.assert_array_equal(inliers.get_offsets()[:, 0], X["b"].to_numpy()[model.inlier_mask_])


def test_plot_fit_draws_on_the_axes_given():
    x, y, _, model, _ = planted_fit("one input")
    _, (left, right) = pyplot.subplots(1, 2)
    assert korva.plot_fit(model, x, y, ax=right) is right
    assert right.lines and not left.lines


@pytest.mark.parametrize(
    "case, arguments, error, message",
    [
        ("two inputs", {"feature": "c"}, ValueError, "feature 'c' is not an input of the model"),
        ("two inputs", {"feature": 2}, ValueError, "feature 2 is not a column position"),
        ("two inputs", {"feature": -1}, ValueError, "feature -1 is not a column position"),
        ("two inputs", {"feature": 1.0}, TypeError, "feature must be an input's name or column position"),
        ("one input", {"ax": "left"}, TypeError, "ax must be matplotlib Axes"),
        ("one input", {"alpha": 1.0}, ValueError, "alpha must be a number strictly between 0 and 1"),
        ("one input", {"sigma": 0.1}, ValueError, "the model was fitted without sigma"),
        ("known errors, each row's", {"sigma": None}, ValueError, "pass sigma= for the rows of X"),
        ("known errors, each row's", {"sigma": [0.1, 0.2]}, ValueError, "sigma must have shape (70,)"),
        ("one input", {"y": np.zeros(3)}, ValueError, "X has 70 samples but y has 3"),
        ("one input", {"model": "a model"}, TypeError, "model must be a fitted PolynomialMDLRegressor"),
        ("one input", {"model": PolynomialMDLRegressor()}, NotFittedError, "is not fitted yet"),
    ],
)
def test_plot_fit_refuses_bad_arguments(case, arguments, error, message):
    X, y, sigma, model, _ = planted_fit(case)
    given = {"model": model, "X": X, "y": y, "sigma": sigma, **arguments}
    with pytest.raises(error, match=re.escape(message)):
        korva.plot_fit(given.pop("model"), given.pop("X"), given.pop("y"), **given)
    assert not pyplot.get_fignums()  # refused before a figure was made


def test_plot_fit_without_matplotlib_says_how_to_install_it(monkeypatch):
    x, y, _, model, _ = planted_fit("one input")
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)  # makes the import fail
    with pytest.raises(ImportError, match=r"pip install 'korva\[plot\]'"):
        korva.plot_fit(model, x, y)
