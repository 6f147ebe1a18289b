"""korva.plot_fit and korva.plot_diagnostics: the artists drawn for a fit, checked against the model
and its diagnostics, and their argument errors."""

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
scipy_stats = pytest.importorskip("scipy.stats")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PLANTED = [4, 17, 33, 50]  # thrown off in y
LEVERAGED = [60, 61]  # far out in the first input, and off the curve: bad leverage points


@pytest.fixture(autouse=True)
def close_figures():
    yield
    pyplot.close("all")


def planted_fit(case):
    """A fit with rows PLANTED and LEVERAGED thrown far off: X, y, the sigma to draw with, the
    model, and the labels the planted rows should carry."""
    rng = np.random.default_rng(11)
    n = 70
    x = rng.uniform(-3.0, 5.0, n)
    x[LEVERAGED] = [12.0, 13.0]
    planted = PLANTED + LEVERAGED
    if case == "two inputs":
        b = rng.uniform(10.0, 20.0, n)
        y = 1.0 + 0.5 * x - 0.2 * x**2 + 0.3 * b + rng.normal(0.0, 0.1, n)
        y[planted] += 6.0
        # Labelled by the frame's index, not by position.
        X = pandas.DataFrame({"a": x, "b": b}, index=100 + np.arange(n))
        model = PolynomialMDLRegressor(degree=2).fit(X, y)
        return X, pandas.Series(y, name="response", index=X.index), None, model, [str(100 + r) for r in planted]
    sigma = {
        "one input": None,
        "known errors, each row's": 0.05 * 10.0 ** rng.uniform(0.0, 1.0, n),
        "known errors, one sigma": 0.2,
    }[case]
    y = 1.0 + 0.5 * x - 0.2 * x**2 + rng.normal(0.0, 1.0, n) * (0.1 if sigma is None else sigma)
    y[planted] += 6.0
    model = PolynomialMDLRegressor(degree=2, absolute_sigma=sigma is not None).fit(x, y, sigma=sigma)
    return x, y, sigma, model, [str(r) for r in planted]


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
    # Crowded names move a line up or down, but stay inside the axes, clear of the title.
    panels = korva.plot_diagnostics(model, x, y)
    renderer = panels[0].figure.canvas.get_renderer()
    for panel in panels:
        box = panel.get_window_extent(renderer)
        for text in panel.texts:
            extent = text.get_window_extent(renderer)
            assert box.y0 - 1.0 <= extent.y0 and extent.y1 <= box.y1 + 1.0, text.get_text()


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


MODEL_CASES = ["one input", "two inputs", "known errors, each row's"]
KINDS = ["regular", "vertical outlier", "good leverage", "bad leverage"]
REGIONS = {"regular", "vertical outliers", "good leverage", "bad leverage"}


def offsets_by_kind(ax):
    return {c.get_label().rsplit(" (", 1)[0]: c.get_offsets() for c in ax.collections}


@pytest.mark.parametrize("case", MODEL_CASES)
def test_plot_diagnostics_draws_the_four_panels_of_the_diagnostics(tmp_path, case):
    X, y, sigma, model, planted_labels = planted_fit(case)
    panels = korva.plot_diagnostics(model, X, y, sigma=sigma)
    path = tmp_path / "diagnostics.png"
    panels[0].figure.savefig(path)
    assert path.read_bytes().startswith(PNG_SIGNATURE)
    found = model.diagnostics(X, y, sigma=sigma)
    assert set(np.flatnonzero(found.kind == "bad leverage")) >= set(LEVERAGED)
    outlier_map, against_fitted, normal_qq, weights = panels
    positions = np.arange(len(found.kind))

    # Every panel but the Q-Q plot marks each kind of row where its diagnostics put it.
    for ax, x_values, y_values in (
        (outlier_map, found.distance, found.std_residual),
        (against_fitted, found.fitted, found.std_residual),
        (weights, positions, found.weight),
    ):
        drawn = offsets_by_kind(ax)
        assert set(drawn) == set(found.kind)
        for kind, points in drawn.items():
            chosen = found.kind == kind
            np.testing.assert_array_equal(points, np.column_stack([x_values, y_values])[chosen])
    legend = [text.get_text() for text in panels[0].figure.legends[0].get_texts()]
    assert legend == [f"{kind} ({np.count_nonzero(found.kind == kind)})" for kind in KINDS if kind in found.kind]

    # The rows beyond the residual cut-off are named by row in the first two panels, the
    # regions of the map beside its cut-off lines.
    outlying = np.flatnonzero(np.abs(found.std_residual) > found.residual_cutoff)
    labels = [str(label) for label in (X.index[outlying] if case == "two inputs" else outlying)]
    assert set(planted_labels) <= set(labels)
    map_texts = [text.get_text() for text in outlier_map.texts]
    assert set(map_texts) - REGIONS == set(labels) and REGIONS <= set(map_texts)
    assert sorted(text.get_text() for text in against_fitted.texts) == sorted(labels)
    horizontal = {line.get_ydata()[0] for line in outlier_map.lines if np.ptp(line.get_ydata()) == 0}
    vertical = {line.get_xdata()[0] for line in outlier_map.lines if np.ptp(line.get_xdata()) == 0}
    assert horizontal == {-found.residual_cutoff, found.residual_cutoff}
    assert vertical == {found.distance_cutoff}

    # The inliers' standardised residuals, sorted, against normal quantiles at Blom's positions.
    inliers = np.sort(found.std_residual[np.abs(found.std_residual) <= found.residual_cutoff])
    (points,) = normal_qq.collections
    blom = scipy_stats.norm.ppf((np.arange(1, inliers.size + 1) - 0.375) / (inliers.size + 0.25))
    np.testing.assert_allclose(points.get_offsets(), np.column_stack([blom, inliers]), rtol=1e-9, atol=1e-12)
    (quartile_line,) = normal_qq.lines
    z = np.asarray(quartile_line.get_xdata())
    low, high = np.quantile(inliers, [0.25, 0.75])
    fitted_line = (low + high) / 2 + (high - low) / (2 * scipy_stats.norm.ppf(0.75)) * z
    np.testing.assert_allclose(quartile_line.get_ydata(), fitted_line, rtol=1e-9)


@pytest.mark.parametrize("shape", [(2, 2), (4,)])
def test_plot_diagnostics_draws_on_the_axes_given(shape):
    x, y, _, model, _ = planted_fit("one input")
    figure, grid = pyplot.subplots(2, 2)  # no constrained layout: the legend goes under the first panel
    given = grid.reshape(shape)
    panels = korva.plot_diagnostics(model, x, y, axes=given)
    assert list(panels) == list(grid.ravel())
    assert not figure.legends and panels[0].get_legend() is not None
    assert all(ax.collections for ax in panels)


def draw_with(function, case, arguments):
    """``function`` on the planted fit of ``case``, its arguments replaced by ``arguments``."""
    X, y, sigma, model, _ = planted_fit(case)
    given = {"model": model, "X": X, "y": y, "sigma": sigma, **arguments}
    return function(given.pop("model"), given.pop("X"), given.pop("y"), **given)


@pytest.mark.parametrize("function", [korva.plot_fit, korva.plot_diagnostics])
@pytest.mark.parametrize(
    "case, arguments, error, message",
    [
        ("one input", {"sigma": 0.1}, ValueError, "this model was fitted without sigma"),
        ("known errors, each row's", {"sigma": None}, ValueError, "pass sigma= for the rows of X"),
        ("known errors, each row's", {"sigma": [0.1, 0.2]}, ValueError, "sigma must have shape (70,)"),
        ("one input", {"y": np.zeros(3)}, ValueError, "X has 70 samples but y has 3"),
        ("known errors, each row's", {"X": np.zeros((70, 2))}, ValueError, "X has 2 features, but"),
        ("one input", {"model": "a model"}, TypeError, "model must be a fitted PolynomialMDLRegressor"),
        ("one input", {"model": PolynomialMDLRegressor()}, NotFittedError, "is not fitted yet"),
    ],
)
def test_pictures_refuse_bad_data(function, case, arguments, error, message):
    with pytest.raises(error, match=re.escape(message)):
        draw_with(function, case, arguments)
    assert not pyplot.get_fignums()  # refused before a figure was made


@pytest.mark.parametrize(
    "function, case, arguments, error, message",
    [
        (korva.plot_fit, "two inputs", {"feature": "c"}, ValueError, "feature 'c' is not an input of the model"),
        (korva.plot_fit, "two inputs", {"feature": 2}, ValueError, "feature 2 is not a column position"),
        (korva.plot_fit, "two inputs", {"feature": -1}, ValueError, "feature -1 is not a column position"),
        (korva.plot_fit, "two inputs", {"feature": 1.0}, TypeError, "feature must be an input's name or column"),
        (korva.plot_fit, "one input", {"ax": "left"}, TypeError, "ax must be matplotlib Axes"),
        (korva.plot_fit, "one input", {"alpha": 1.0}, ValueError, "alpha must be a number strictly between 0 and 1"),
        (
            korva.plot_diagnostics,
            "one input",
            {"axes": "three"},
            ValueError,
            "axes must be 4 matplotlib Axes, one per panel, got 1",
        ),
        (
            korva.plot_diagnostics,
            "one input",
            {"axes": [None] * 4},
            TypeError,
            "axes must be 4 matplotlib Axes, got a NoneType",
        ),
    ],
)
def test_pictures_refuse_bad_arguments(function, case, arguments, error, message):
    with pytest.raises(error, match=re.escape(message)):
        draw_with(function, case, arguments)
    assert not pyplot.get_fignums()


def test_plot_diagnostics_refuses_axes_of_another_count():
    x, y, _, model, _ = planted_fit("one input")
    _, three = pyplot.subplots(1, 3)
    with pytest.raises(ValueError, match="axes must be 4 matplotlib Axes, one per panel, got 3"):
        korva.plot_diagnostics(model, x, y, axes=three)
    assert not any(ax.collections for ax in three)


@pytest.mark.parametrize("function", [korva.plot_fit, korva.plot_diagnostics])
def test_pictures_without_matplotlib_say_how_to_install_it(monkeypatch, function):
    x, y, _, model, _ = planted_fit("one input")
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)  # makes the import fail
    with pytest.raises(ImportError, match=r"pip install 'korva\[plot\]'"):
        function(model, x, y)
