"""Pictures of a fit: the data with the fitted curve and its bands (:func:`plot_fit`), and four
panels of its diagnostics (:func:`plot_diagnostics`).

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

from korva import _data, distributions
from korva.diagnostics import Diagnostics
from korva.diagnostics import _checked_sigma as checked_sigma
from korva.estimator import FloatArray, PolynomialMDLRegressor
from korva.summary import check_alpha, input_names

if TYPE_CHECKING:  # matplotlib is optional at run time
    from matplotlib.axes import Axes

__all__ = ["plot_diagnostics", "plot_fit"]

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
    >>> y = 2.0 * x**2 + 0.05 * np.sin(23.0 * x)
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
    if getattr(model, "_weighing_", None) is None:
        raise ValueError(
            "this model was fitted by a version of korva that did not keep how its fit judged the rows; "
            "fit it again to draw it"
        )
    n_rows = len(fitted)
    target = _data.as_target(y, n_rows)
    names = getattr(model, "feature_names_in_", None)
    return Rows(
        inputs=_data.as_inputs(X, model.n_features_in_),
        target=target,
        fitted=fitted,
        sigma=checked_sigma(sigma, model._fitted_with_sigma, n_rows),
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
    """The rows beyond ``outlier_threshold`` of the unit the fit flags its own rows in (``scale_``,
    or 1 with errors taken as known; times each row's sigma): on the training rows,
    ``~inlier_mask_``."""
    bound = model._fitted_params_["outlier_threshold"] * model._weighing_.residual_scale
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
        if band_sigma is not None or not model._fitted_with_sigma:
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
    name_rows(axes, x, rows.target, rows.labels, flagged)
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
    return grid, f"curve at {held} (the rows' medians)\npoints: every row, at its own {their}"


def plot_diagnostics(
    model: PolynomialMDLRegressor,
    X: ArrayLike,
    y: ArrayLike,
    *,
    axes: Sequence[Axes] | NDArray[np.object_] | None = None,
    sigma: ArrayLike | None = None,
) -> NDArray[np.object_]:
    """Draw four panels of a fit's diagnostics (:meth:`PolynomialMDLRegressor.diagnostics`).

    1. The outlier map [1]_: each row's standardised residual (residual / scale) against the
       robust distance of its inputs, with the cut-off lines of both and the names of the
       four regions they bound (regular rows, vertical outliers, good and bad leverage
       points).
    2. The standardised residuals against the fitted values, which show a curve left in the
       residuals or a spread that grows with the fit.
    3. A normal Q-Q plot of the inliers' standardised residuals (the rows within the residual
       cut-off), against normal quantiles at Blom's plotting positions (i - 3/8) / (n + 1/4)
       [2]_, with the line through their quartiles [3]_: bends away from it at the ends show
       tails heavier or lighter than the normal's, which the prediction band takes from the
       residuals themselves. Above 1000 inliers, 1000 of their quantiles are drawn.
    4. Each row's robust weight in the final fit against its row, 0 for the rows the fit
       leaves out.

    Rows are marked by their kind in every panel; in the first two, the vertical outliers and
    bad leverage points are named by their row (a data frame's index label, else their
    position) when there are at most 20 of them. A residual axis turns logarithmic beyond the
    cut-off when a row lies more than four cut-offs out, so that the inliers' band keeps its
    room.

    Parameters
    ----------
    model : PolynomialMDLRegressor
        A fitted model.
    X : array-like of shape (n_samples,) or (n_samples, n_features)
        The inputs of the rows to diagnose, usually those fitted.
    y : array-like of shape (n_samples,)
        Their targets.
    axes : sequence of 4 matplotlib.axes.Axes, optional
        Where to draw the four panels, in the order above (any array of 4 Axes, such as
        a 2 x 2 one from ``pyplot.subplots(2, 2)``); None draws on a new 2 x 2 figure.
    sigma : float, array-like of shape (n_samples,) or None, default=None
        For a model fitted with ``sigma`` (and then needed): each row's error in the units of
        the training sigma, as :meth:`PolynomialMDLRegressor.diagnostics` takes it.

    Returns
    -------
    ndarray of shape (4,) of matplotlib.axes.Axes
        The panels in the order above; ``panels[0].figure`` is their figure. Each but the
        Q-Q plot holds one collection of markers per kind of row present, labelled by the kind
        and its count (a legend lists them: under a figure of constrained layout, else under
        the first panel); the cut-off and reference lines are in ``ax.lines``, the rows' names
        in ``ax.texts`` (the first panel's also name its regions).

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    TypeError
        When ``model`` is not a PolynomialMDLRegressor or ``axes`` holds something other
        than matplotlib Axes.
    NotFittedError
        When the model has not been fitted.
    ValueError
        When X, y or ``sigma`` do not fit the model, or ``axes`` is not 4 Axes.

    References
    ----------
    .. [1] P. J. Rousseeuw and B. C. van Zomeren, "Unmasking multivariate outliers and
       leverage points", Journal of the American Statistical Association 85 (1990), 633-639:
       the outlier map.
    .. [2] G. Blom, Statistical Estimates and Transformed Beta-Variables, Wiley (1958): the
       plotting positions.
    .. [3] J. M. Chambers, W. S. Cleveland, B. Kleiner and P. A. Tukey, Graphical Methods for
       Data Analysis, Wadsworth (1983): Q-Q plots and the line through the quartiles.

    Examples
    --------
    >>> import numpy as np
    >>> from korva import PolynomialMDLRegressor, plot_diagnostics
    >>> x = np.linspace(0.0, 1.0, 50)
    >>> y = 2.0 * x**2 + 0.05 * np.sin(23.0 * x)
    >>> y[10] += 3.0
    >>> model = PolynomialMDLRegressor(degree=2).fit(x, y)
    >>> panels = plot_diagnostics(model, x, y)
    >>> [text.get_text() for text in panels[1].texts]
    ['10']
    """
    pyplot = import_pyplot()
    rows = checked_rows(model, X, y, sigma)
    panels = checked_panels(axes)
    found = model.diagnostics(X, y, sigma=sigma)
    if panels is None:
        panels = np.asarray(pyplot.subplots(2, 2, figsize=(10.0, 8.0), layout="constrained")[1], dtype=object).ravel()
    draw_diagnostics(panels, rows, found, np.arange(len(rows.target)), "row (position in X)")
    return panels


def checked_panels(axes: object) -> NDArray[np.object_] | None:
    """``axes`` as a flat array of 4 Axes; None stays None."""
    from matplotlib.axes import Axes

    if axes is None:
        return None
    panels = np.asarray(axes, dtype=object).ravel()
    if panels.size != 4:
        raise ValueError(f"axes must be 4 matplotlib Axes, one per panel, got {panels.size}")
    strangers = [type(panel).__name__ for panel in panels if not isinstance(panel, Axes)]
    if strangers:
        raise TypeError(f"axes must be 4 matplotlib Axes, got a {strangers[0]} among them")
    return panels


# How each kind of row is marked in the diagnostic panels.
KIND_STYLES: dict[str, dict[str, Any]] = {
    "regular": {"color": "black", "marker": "o", "s": 14},
    "vertical outlier": {"color": FLAGGED_COLOR, "marker": "x", "s": 36},
    "good leverage": {"color": "tab:blue", "marker": "s", "s": 18},
    "bad leverage": {"color": "darkorange", "marker": "D", "s": 28},
}
# The kinds beyond the residual cut-off, named by row.
OUTLYING_KINDS = ("vertical outlier", "bad leverage")
# Above this many inliers, the Q-Q plot draws this many of their quantiles.
QQ_POINTS = 1000
# Rows farther than this many residual cut-offs turn the residual axes logarithmic beyond one
# cut-off, so that the band of the inliers keeps room to show its pattern.
LOG_RESIDUALS_BEYOND = 4.0
CUTOFF_LINE: dict[str, Any] = {"color": "0.5", "linestyle": "--", "linewidth": 1}
# How a row's name is set beside its point: offset in points, size, width of a character in sizes.
NAME_OFFSET = (4.0, 3.0)
NAME_SIZE = "x-small"
NAME_WIDTH = 0.62


def draw_diagnostics(
    panels: NDArray[np.object_], rows: Rows, found: Diagnostics, row_numbers: NDArray[Any], row_title: str
) -> None:
    """The four diagnostic panels of ``found`` for ``rows``, the rows numbered on the weights'
    axis by ``row_numbers`` (titled ``row_title``), and a legend of the kinds of row: under the
    figure when it has a constrained layout, else under the first panel."""
    outlier_map, against_fitted, normal_qq, weights = panels
    outlying = np.isin(found.kind, OUTLYING_KINDS)

    draw_outlier_map(outlier_map, rows, found, outlying)

    mark_kinds(against_fitted, found.fitted, found.std_residual, found.kind)
    against_fitted.axhline(0.0, color="0.3", linewidth=1)
    residual_axis(against_fitted, found)
    name_rows(against_fitted, found.fitted, found.std_residual, rows.labels, outlying)
    against_fitted.set(title="residuals against fitted values", xlabel="fitted value", ylabel="standardised residual")

    draw_normal_qq(normal_qq, found.std_residual[np.abs(found.std_residual) <= found.residual_cutoff])

    # The rows are the axis here: no names.
    mark_kinds(weights, row_numbers, found.weight, found.kind)
    weights.set_ylim(-0.05, 1.1)
    weights.set(title="robust weights in the final fit", xlabel=row_title, ylabel="weight")

    figure = outlier_map.figure
    handles, labels = outlier_map.get_legend_handles_labels()
    if type(figure.get_layout_engine()).__name__ == "ConstrainedLayoutEngine":
        figure.legend(handles, labels, loc="outside lower center", ncols=len(labels), frameon=False)
    else:
        outlier_map.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncols=2, fontsize="small", frameon=False)


def residual_axis(axes: Axes, found: Diagnostics) -> None:
    """The residual cut-off lines on ``axes``, and a scale that is logarithmic beyond one cut-off
    when a row lies beyond LOG_RESIDUALS_BEYOND of them."""
    cutoff = found.residual_cutoff
    for level in (-cutoff, cutoff):
        axes.axhline(level, **CUTOFF_LINE)
    reach = residual_reach(found)
    if reach > LOG_RESIDUALS_BEYOND * cutoff:
        from matplotlib.ticker import FuncFormatter, NullLocator

        axes.set_yscale("symlog", linthresh=cutoff, linscale=1.5)
        # Plain numbers at 0, the cut-offs and each power of ten up to the farthest row.
        decades = 10.0 ** np.arange(1, np.ceil(np.log10(reach)) + 1)
        axes.set_yticks(np.concatenate([-decades[::-1], [-cutoff, 0.0, cutoff], decades]))
        axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
        axes.yaxis.set_minor_locator(NullLocator())
    # Room beyond the farthest row for its name: a tenth of the span, or on a log scale half a decade.
    margin = 3.0 if reach > LOG_RESIDUALS_BEYOND * cutoff else 1.15
    axes.set_ylim(-margin * reach, margin * reach)


def residual_reach(found: Diagnostics) -> float:
    """The largest finite |std_residual|, at least 1.4 residual cut-offs: every region has room."""
    finite = np.abs(found.std_residual[np.isfinite(found.std_residual)])
    return max(float(finite.max(initial=0.0)), 1.4 * found.residual_cutoff)


def draw_outlier_map(axes: Axes, rows: Rows, found: Diagnostics, outlying: NDArray[np.bool_]) -> None:
    """Standardised residuals against robust distances, the cut-offs and the regions' names."""
    mark_kinds(axes, found.distance, found.std_residual, found.kind)
    residual_cut, distance_cut = found.residual_cutoff, found.distance_cutoff
    residual_axis(axes, found)
    axes.axvline(distance_cut, **CUTOFF_LINE)
    distances = found.distance[np.isfinite(found.distance)]
    axes.set_xlim(0.0, 1.05 * max(float(distances.max(initial=0.0)), 1.4 * distance_cut))
    name_rows(axes, found.distance, found.std_residual, rows.labels, outlying)
    # Region names beside the cut-off lines, on either side of each, where rows are fewest.
    words: dict[str, Any] = {"fontsize": "x-small", "color": "0.35", "style": "italic", "clip_on": True}
    left, right = 0.02 * distance_cut, 1.03 * distance_cut
    for y, va in ((1.05 * residual_cut, "bottom"), (-1.05 * residual_cut, "top")):
        axes.text(left, y, "vertical outliers", va=va, **words)
        axes.text(right, y, "bad leverage", va=va, **words)
    axes.text(left, -0.95 * residual_cut, "regular", va="bottom", **words)
    axes.text(right, -0.95 * residual_cut, "good leverage", va="bottom", **words)
    axes.set(title="outlier map", xlabel="robust distance of the inputs", ylabel="standardised residual")


def draw_normal_qq(axes: Axes, values: FloatArray) -> None:
    """The sorted ``values`` against normal quantiles, and the line through their quartiles."""
    axes.set(title="normal Q-Q plot of the inliers", xlabel="normal quantile", ylabel="standardised residual")
    if values.size == 0:
        return
    count = min(values.size, QQ_POINTS)
    positions = (np.arange(1, count + 1) - 0.375) / (count + 0.25)
    drawn = np.sort(values) if count == values.size else np.quantile(values, positions)
    normal = np.array([distributions.normal_quantile(p) for p in positions])
    axes.scatter(normal, drawn, color="black", s=10, label="inliers")
    low, high = np.quantile(values, [0.25, 0.75])
    slope = (high - low) / (2.0 * distributions.normal_quantile(0.75))
    ends = normal[[0, -1]]
    axes.plot(
        ends, 0.5 * (low + high) + slope * ends, color="tab:blue", linewidth=1.5, label="line through the quartiles"
    )
    axes.legend(loc="upper left", fontsize="small", frameon=False)


def mark_kinds(axes: Axes, x: FloatArray, y: FloatArray, kinds: NDArray[np.str_]) -> None:
    """One collection of markers per kind of row present, labelled with its count."""
    for kind, style in KIND_STYLES.items():
        chosen = kinds == kind
        if chosen.any():
            axes.scatter(x[chosen], y[chosen], label=f"{kind} ({int(chosen.sum())})", zorder=3, **style)


def name_rows(axes: Axes, x: FloatArray, y: FloatArray, labels: Sequence[str], chosen: NDArray[np.bool_]) -> None:
    """The chosen rows' names beside their points, when there are at most MAX_LABELLED_ROWS; a name
    that would overlap one already placed moves a line up or down, whichever is nearer and free."""
    if not 0 < int(chosen.sum()) <= MAX_LABELLED_ROWS:
        return
    from matplotlib.font_manager import FontProperties

    # Where each point lies on the axes, in points from their lower left corner (reading the
    # limits settles them; a layout engine may still move the axes a little when drawing).
    box = axes.get_window_extent()
    to_points = 72.0 / axes.figure.dpi
    corners = []
    for axis, values, limits, length in (
        (axes.xaxis, x, axes.get_xlim(), box.width),
        (axes.yaxis, y, axes.get_ylim(), box.height),
    ):
        scaled = axis.get_transform().transform(np.asarray(values, dtype=np.float64))
        low, high = axis.get_transform().transform(np.asarray(limits, dtype=np.float64))
        corners.append((scaled - low) / ((high - low) or 1.0) * length * to_points)
    across, up = corners
    size = FontProperties(size=NAME_SIZE).get_size_in_points()
    placed: list[tuple[float, float, float, float]] = []  # left, bottom, right, top of each name
    shown = np.flatnonzero(chosen & np.isfinite(across) & np.isfinite(up)).tolist()
    for position in sorted(shown, key=lambda row: (across[row], up[row])):
        name = labels[position]
        left, width = across[position] + NAME_OFFSET[0], NAME_WIDTH * size * len(name)
        # Lines 0, 1, -1, 2, -2, ... from the first place: the nearest that overlaps no name and
        # stays inside the axes, where the title cannot cover it (n names block at most 2n of
        # these lines); failing that, the first place.
        height = box.height * to_points
        for step in range(4 * len(placed) + 1):
            line = (step + 1) // 2 * (1 if step % 2 else -1)
            bottom = up[position] + NAME_OFFSET[1] + line * size
            overlaps = (
                left < right and other_left < left + width and bottom < top and other_bottom < bottom + size
                for other_left, other_bottom, right, top in placed
            )
            if 0.0 <= bottom and bottom + size <= height and not any(overlaps):
                break
        else:
            line, bottom = 0, up[position] + NAME_OFFSET[1]
        placed.append((left, bottom, left + width, bottom + size))
        axes.annotate(
            name,
            (x[position], y[position]),
            xytext=(NAME_OFFSET[0], NAME_OFFSET[1] + line * size),
            textcoords="offset points",
            fontsize=NAME_SIZE,
            color=FLAGGED_COLOR,
        )
