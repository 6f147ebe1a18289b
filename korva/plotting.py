"""Pictures of a fit: the data with the fitted curve and its bands (:func:`plot_fit`).

matplotlib is optional (``pip install 'korva[plot]'``): it is imported by the functions that
draw, never on ``import korva``.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from korva import _data
from korva.estimator import FloatArray, PolynomialMDLRegressor
from korva.summary import check_alpha, input_names

if TYPE_CHECKING:  # matplotlib is optional at run time
    from matplotlib.axes import Axes

__all__ = ["plot_fit"]

INSTALL_HINT = "pip install 'korva[plot]'"
# Flagged rows are named one by one in a picture up to this many; beyond, the marks alone show them.
MAX_LABELLED_ROWS = 20
# Points of the curve and its bands.
GRID_POINTS = 400
FLAGGED_COLOR = "crimson"


@dataclass(frozen=True)
class Rows:
    """The rows a picture shows, checked against the model that drew them."""

    inputs: FloatArray  # (n, d)
    target: FloatArray
    fitted: FloatArray
    sigma: FloatArray | None  # each row's error, in the units of the training sigma
    labels: list[str]  # how each row is named in the picture
    input_names: list[str]
    target_name: str

    @property
    def n_inputs(self) -> int:
        return int(self.inputs.shape[1])


def plot_fit(
    model: PolynomialMDLRegressor,
    X: ArrayLike,
    y: ArrayLike,
    *,
    ax: Axes | None = None,
    feature: int | str | None = None,
    alpha: float = 0.05,
    sigma: ArrayLike | None = None,
) -> Axes:
    """Draw the data, the fitted curve and its confidence and prediction bands.

    The rows within the fit's bound (``outlier_threshold`` residual scales, or sigmas for
    errors taken as known) are dots, the others crosses, each named by its row when there are
    at most 20 of them. The curve runs over the training range of the input (``x_min_`` to
    ``x_max_``). With several inputs it is the slice along ``feature``, the other inputs held
    at their medians over the rows of X (the axis title says where); the points are every row
    of X at its own value of ``feature``, whatever its other inputs, so they scatter about
    the slice by how much those inputs move the fit.

    Parameters
    ----------
    model : PolynomialMDLRegressor
        A fitted model.
    X : array-like of shape (n_samples,) or (n_samples, n_features)
        The inputs of the rows to show, usually those fitted.
    y : array-like of shape (n_samples,)
        Their targets.
    ax : matplotlib.axes.Axes, optional
        Where to draw; None draws on a new figure's axes.
    feature : int or str, optional
        The input along which the curve runs: a column position or a name of
        ``feature_names_in_`` (or ``x1``, ``x2``, ... for a model fitted without names).
        None takes the first input.
    alpha : float, default=0.05
        One minus the coverage of the bands: 0.05 draws 95 % bands.
    sigma : float, array-like of shape (n_samples,) or None, default=None
        Only for a model fitted with ``sigma``, and then needed: the error of each row of X
        in the units of the training sigma, drawn as error bars and used to judge the rows
        flagged. One number gives every row and every point of the curve that error, so that
        the prediction band (of a new observation with that sigma) is drawn; per-row errors
        give no error for the curve's points between the rows, and only the confidence band
        is drawn. A model fitted without ``sigma`` always gets both bands.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on. Their artists, in order: the inliers' and the flagged rows'
        markers (``ax.collections``, after the error bars when ``sigma`` is given), the fitted
        curve (``ax.lines``), the confidence band and the prediction band (filled areas in
        ``ax.collections``), the flagged rows' names (``ax.texts``) and a legend.

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    TypeError
        When ``model`` is not a PolynomialMDLRegressor or ``ax`` is not matplotlib Axes.
    NotFittedError
        When the model has not been fitted.
    ValueError
        When X, y or ``sigma`` do not fit the model, ``feature`` names no input, or
        ``alpha`` is not strictly between 0 and 1.

    Examples
    --------
    >>> import numpy as np
    >>> from korva import PolynomialMDLRegressor, plot_fit
    >>> x = np.linspace(0.0, 1.0, 50)
    >>> y = 2.0 * x**2 + np.random.default_rng(0).normal(0.0, 0.05, 50)
    >>> y[10] += 3.0
    >>> model = PolynomialMDLRegressor(degree=2).fit(x, y)
    >>> ax = plot_fit(model, x, y)
    >>> [text.get_text() for text in ax.texts]
    ['10']
    """
    pyplot = import_pyplot()
    check_alpha(alpha)
    rows = checked_rows(model, X, y, sigma)
    column = feature_column(feature, rows.input_names)
    axes = checked_axes(ax, pyplot)
    band_sigma = None if sigma is None or np.ndim(sigma) != 0 else float(sigma)  # type: ignore[arg-type]
    draw_fit(axes, model, rows, column, alpha, band_sigma, "fitted curve")
    legend_below(axes)
    return axes


def legend_below(axes: Axes) -> None:
    """The legend under the axes, in rows of three, where it covers no point."""
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncols=3, fontsize="small", frameon=False)


def import_pyplot() -> Any:
    """matplotlib.pyplot, or an ImportError that says how to install it."""
    try:
        import matplotlib.pyplot as pyplot
    except ImportError as exc:
        raise ImportError(f"korva's pictures need matplotlib; {INSTALL_HINT} installs it") from exc
    return pyplot


def checked_axes(ax: object, pyplot: Any) -> Axes:
    """``ax`` if it is matplotlib Axes, a new figure's axes for None."""
    from matplotlib.axes import Axes

    if ax is None:
        return pyplot.subplots(figsize=(7.5, 4.8), layout="constrained")[1]  # type: ignore[no-any-return]
    if not isinstance(ax, Axes):
        raise TypeError(f"ax must be matplotlib Axes or None, got {type(ax).__name__}")
    return ax


def checked_rows(model: object, X: ArrayLike, y: ArrayLike, sigma: ArrayLike | None) -> Rows:
    """X, y and sigma as arrays, each checked against ``model``, with the rows' names."""
    if not isinstance(model, PolynomialMDLRegressor):
        raise TypeError(f"model must be a fitted PolynomialMDLRegressor, got {type(model).__name__}")
    fitted = model.predict(X)  # checks the fit, X's columns and their names
    n_rows = len(fitted)
    target = _data.as_target(y, n_rows)
    with_sigma = bool(getattr(model, "_with_sigma_", False))
    if sigma is not None and not with_sigma:
        raise ValueError(
            "sigma gives the rows' errors in the units of the training sigma, but the model was fitted without sigma"
        )
    if sigma is None and with_sigma:
        raise ValueError(
            "this model was fitted with sigma: its rows are judged in units of their own errors; pass sigma= for the rows of X"
        )
    names = getattr(model, "feature_names_in_", None)
    return Rows(
        inputs=_data.as_inputs(X, model.n_features_in_),
        target=target,
        fitted=fitted,
        sigma=_data.as_sigma(sigma, n_rows),
        labels=row_labels(X, n_rows),
        input_names=input_names(model.n_features_in_) if names is None else [str(name) for name in names],
        target_name=str(getattr(y, "name", None) or "y"),
    )


def row_labels(X: object, n_rows: int) -> list[str]:
    """A data frame's index labels, else the row positions."""
    index = getattr(X, "index", None)
    if index is not None and not callable(index) and len(index) == n_rows:
        return [str(label) for label in index]
    return [str(position) for position in range(n_rows)]


def feature_column(feature: object, names: Sequence[str]) -> int:
    """The column position of ``feature``, a position or an input name; 0 for None."""
    if feature is None:
        return 0
    if isinstance(feature, str):
        if feature not in names:
            raise ValueError(f"feature {feature!r} is not an input of the model; its inputs are {list(names)}")
        return list(names).index(feature)
    if isinstance(feature, bool) or not isinstance(feature, int | np.integer):
        raise TypeError(f"feature must be an input's name or column position, got {type(feature).__name__}")
    if not 0 <= feature < len(names):
        raise ValueError(
            f"feature {feature} is not a column position of the model's {len(names)} inputs (0 to {len(names) - 1})"
        )
    return int(feature)


def flagged_rows(model: PolynomialMDLRegressor, rows: Rows) -> NDArray[np.bool_]:
    """The rows beyond the fit's bound: ``outlier_threshold`` residual scales (times each row's
    sigma), or sigmas alone for errors taken as known, as the fit flags its own rows."""
    fitted_params = model._fitted_params_
    known = fitted_params["absolute_sigma"] and rows.sigma is not None
    bound = fitted_params["outlier_threshold"] * (1.0 if known else model.scale_)
    errors = np.abs(rows.target - rows.fitted)
    flagged: NDArray[np.bool_] = errors > (bound if rows.sigma is None else bound * rows.sigma)
    return flagged


def draw_fit(
    axes: Axes,
    model: PolynomialMDLRegressor,
    rows: Rows,
    column: int,
    alpha: float,
    band_sigma: float | None,
    curve_label: str,
) -> None:
    """The rows, the curve along input ``column`` and its bands, on ``axes`` (no legend)."""
    x = rows.inputs[:, column]
    flagged = flagged_rows(model, rows)
    if rows.sigma is not None:
        axes.errorbar(x, rows.target, yerr=rows.sigma, fmt="none", ecolor="0.6", elinewidth=0.8, label="± sigma")
    axes.scatter(x[~flagged], rows.target[~flagged], color="black", s=18, label="inliers", zorder=3)
    if flagged.any():
        axes.scatter(x[flagged], rows.target[flagged], color=FLAGGED_COLOR, marker="x", s=40, label="flagged", zorder=3)
    grid, held = slice_grid(model, rows, column)
    with warnings.catch_warnings():
        # The grid is built in the fitted columns' order; it has no names to check.
        warnings.filterwarnings("ignore", message="X does not have valid feature names")
        curve = model.predict(grid)
        confidence = model.predict_interval(grid, alpha=alpha, kind="confidence")
        prediction = None
        if band_sigma is not None or not getattr(model, "_with_sigma_", False):
            prediction = model.predict_interval(grid, alpha=alpha, kind="prediction", sigma=band_sigma)
    along = grid[:, column]
    (line,) = axes.plot(along, curve, linewidth=2, label=curve_label, zorder=2)
    percent = f"{100 * (1 - alpha):g} %"
    axes.fill_between(
        along, *confidence, color=line.get_color(), alpha=0.35, linewidth=0, label=f"{percent} confidence band"
    )
    if prediction is not None:
        new = "new observation" if band_sigma is None else f"new observation of sigma {band_sigma:g}"
        axes.fill_between(
            along,
            *prediction,
            color=line.get_color(),
            alpha=0.15,
            linewidth=0,
            label=f"{percent} prediction band ({new})",
        )
    if 0 < flagged.sum() <= MAX_LABELLED_ROWS:
        for position in np.flatnonzero(flagged):
            axes.annotate(
                rows.labels[position],
                (x[position], rows.target[position]),
                xytext=(4, 3),
                textcoords="offset points",
                fontsize="x-small",
                color=FLAGGED_COLOR,
            )
    axes.set_xlabel(rows.input_names[column])
    axes.set_ylabel(rows.target_name)
    if held:
        axes.set_title(held, fontsize="medium")


def slice_grid(model: PolynomialMDLRegressor, rows: Rows, column: int) -> tuple[FloatArray, str]:
    """Points along input ``column`` over its training range, the other inputs at their medians
    over the rows, and a title that says so ("" for one input)."""
    medians = np.median(rows.inputs, axis=0)
    grid = np.tile(medians, (GRID_POINTS, 1))
    grid[:, column] = np.linspace(model.x_min_[column], model.x_max_[column], GRID_POINTS)
    others = [j for j in range(rows.n_inputs) if j != column]
    if not others:
        return grid, ""
    held = ", ".join(f"{rows.input_names[j]} = {medians[j]:.4g}" for j in others)
    their = ", ".join(rows.input_names[j] for j in others)
    return grid, f"curve at {held} (the rows' medians); points: every row, at its own {their}"
