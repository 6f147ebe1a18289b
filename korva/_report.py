"""What the command line shows of its fits: the report's text and the picture."""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from korva import plotting
from korva._reading import CommandError, Dataset, counted
from korva.estimator import FloatArray, PolynomialMDLRegressor
from korva.summary import InputMapping

# A degree as the estimator takes it: one for every input, one per input, or "auto".
Degree = int | list[int] | str

if TYPE_CHECKING:  # matplotlib is optional at run time
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# How the methods are named in the picture.
METHOD_LABELS = {
    "ols": "least squares",
    "penalized": "penalised least squares",
    "mcmc": "korva (robust MDL)",
}
# One minus the coverage of the picture's bands.
BAND_ALPHA = 0.05
# Outliers named one by one in the report, at most.
MAX_OUTLIERS_LISTED = 20
# With more basis terms than this, the coefficients are listed one per line.
MAX_TERMS_ACROSS = 8


@dataclass(frozen=True)
class FitReport:
    """A fit of the command line's and the seconds it took."""

    method: str
    model: PolynomialMDLRegressor
    seconds: float


def degree_words(degree: Degree) -> str:
    return " ".join(map(str, degree)) if isinstance(degree, list) else str(degree)


def unit_variables(n_inputs: int) -> list[str]:
    """Names of the inputs mapped to [-1, 1]: t for one input, t1, t2, ... for several."""
    return ["t"] if n_inputs == 1 else [f"t{i + 1}" for i in range(n_inputs)]


def term_names(multi_indices: list[list[int]]) -> list[str]:
    """Readable names of the basis terms: 1, t, t^2 for one input; t1*t2^2 and so on for several."""
    names = []
    for exponents in multi_indices:
        variables = unit_variables(len(exponents))
        factors = [v if e == 1 else f"{v}^{e}" for v, e in zip(variables, exponents) if e > 0]
        names.append("*".join(factors) or "1")
    return names


def format_report(data: Dataset, reports: list[FitReport], t_units: bool = False) -> str:
    """The comparison table, the coefficients (in the data's units unless ``t_units``) with
    the robust fit's standard errors, and what the columns mean."""
    robust = reports[-1]
    inliers = robust.model.inlier_mask_
    rows = [["method", "MDL score", "hit rate", "inlier RMS", "time (ms)"]]
    for report in reports:
        residuals = (data.target - report.model.predict(data.inputs))[inliers]
        rows.append(
            [
                report.method,
                f"{report.model.mdl_:.3f}",
                f"{report.model.hit_rate_:.3f}",
                f"{_root_mean_square(residuals):.4g}" if residuals.size else "-",
                f"{1000 * report.seconds:.1f}",
            ]
        )
    coefficient_rows, units = _coefficient_rows(data, reports, t_units)
    if len(robust.model.coef_) > MAX_TERMS_ACROSS:  # too wide for a line: one term per line
        coefficient_rows = [list(column) for column in zip(*coefficient_rows)]
        coefficient_rows[0][0] = "term"

    model = robust.model
    # With errors per row, the scale and the tolerance are in units of each row's sigma.
    per_sigma, over_sigma = ("", "") if data.sigma is None else (f" x its {data.sigma_name}", f" / {data.sigma_name}")
    skipped = f" ({counted(data.skipped_rows, 'incomplete row')} left out)" if data.skipped_rows else ""
    mappings = [
        str(InputMapping(name, variable, float(low), float(high)))
        for variable, name, low, high in zip(
            unit_variables(len(data.input_names)), data.input_names, model.x_min_, model.x_max_
        )
    ]
    return "\n".join(
        [
            (
                f"{data.title}: {data.target_name} against {', '.join(data.input_names)}, "
                f"{counted(len(data.target), 'point')}{skipped}, degree {_degree_text(model)}"
            ),
            "",
            *_aligned(rows),
            "",
            *_aligned(coefficient_rows),
            units,
            "",
            (
                f"Inliers: {int(inliers.sum()):,} of {counted(len(inliers), 'point')} "
                f"{'lies' if len(inliers) == 1 else 'lie'} within {_inlier_bound(data, model)} of the "
                f"{robust.method} fit; the RMS error is taken over them."
            ),
            (
                f"Hit rate: the share of points within {model.tolerance_:.4g}{per_sigma} of a fit, the MDL score's "
                f"tolerance (0.4 x the robust spread of {data.target_name}{over_sigma} itself, where the inliers' "
                "bound is set by the residuals), so the two shares differ."
            ),
            _outliers_text(data, inliers),
            *mappings,
        ]
    )


def _inlier_bound(data: Dataset, model: PolynomialMDLRegressor) -> str:
    """How far from the fit a point may lie and be an inlier: a number of residual scales, times
    the row's error where a column gives it, or of those errors alone where they are known."""
    threshold = f"{model.outlier_threshold:g}"
    if data.sigma is None:
        return f"{threshold} x {model.scale_:.4g} (the residual scale)"
    if model.get_params()["absolute_sigma"]:
        return f"{threshold} x its {data.sigma_name} (the errors, taken as known)"
    return (
        f"{threshold} x {model.scale_:.4g} (the residual scale in units of {data.sigma_name}) x its {data.sigma_name}"
    )


def _coefficient_rows(data: Dataset, reports: list[FitReport], t_units: bool) -> tuple[list[list[str]], str]:
    """The coefficients of every fit and the robust fit's standard errors, as table rows, and
    a line saying in which variables they are. The data's own units unless asked for t, or
    unless a listed basis cannot be written in them."""
    model = reports[-1].model
    in_x = not t_units and all(r.model.coef_x_ is not None for r in reports) and model.bse_x_ is not None
    if in_x:
        # Factors joined by "*", as in t units, so that a name stays one word of the table.
        names = [str(name).replace(" ", "*") for name in model.get_feature_names_out(data.input_names)]
        rows = [["coefficients of", *names]]
        rows += [[r.method, *(f"{c:.6g}" for c in r.model.coef_x_)] for r in reports]  # type: ignore[union-attr]
        errors = model.bse_x_
        assert errors is not None  # in_x: every report has coefficients in x
        units = "Coefficients in the data's own units (--t-units lists them in the inputs mapped to [-1, 1])."
    else:
        rows = [["coefficients of", *term_names(model.multi_indices_)]]
        rows += [[r.method, *(f"{c:.4g}" for c in r.model.coef_)] for r in reports]
        errors = model.bse_
        units = "Coefficients in the inputs mapped to [-1, 1] (t; see below)."
    rows.append([f"{reports[-1].method} std. error", *(f"{e:.2g}" for e in errors)])
    return rows, units


def _degree_text(model: PolynomialMDLRegressor) -> str:
    """The fitted degree, and that it was chosen when the user asked for "auto"."""
    degree = degree_words(model.degree_)
    return f"{degree} (chosen by description length)" if model.degree == "auto" else degree


def _outliers_text(data: Dataset, inliers: NDArray[np.bool_]) -> str:
    """The outliers by their data row, each with its input values."""
    flagged = np.flatnonzero(~inliers)
    if flagged.size == 0:
        return "Outliers: none"
    listed = flagged[:MAX_OUTLIERS_LISTED]
    values = [", ".join(f"{v:g}" for v in row) for row in data.inputs[listed]]
    entries = [f"{row} ({value})" for row, value in zip(data.rows[listed].tolist(), values)]
    more = f" and {flagged.size - MAX_OUTLIERS_LISTED} more" if flagged.size > MAX_OUTLIERS_LISTED else ""
    return f"Outliers ({flagged.size}) by data row ({', '.join(data.input_names)}): {', '.join(entries)}{more}"


def _root_mean_square(values: FloatArray) -> float:
    """Scaled by the largest value first, so that squares neither overflow nor underflow."""
    largest = float(np.max(np.abs(values)))
    if largest == 0.0:
        return 0.0
    return largest * math.sqrt(float(np.mean((values / largest) ** 2)))


def _aligned(rows: list[list[str]]) -> list[str]:
    """Rows as text: the first column left-aligned, the others right-aligned."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return [
        "  ".join(
            cell.ljust(width) if i == 0 else cell.rjust(width) for i, (cell, width) in enumerate(zip(row, widths))
        ).rstrip()
        for row in rows
    ]


# ------------------------------------------------------------------ plotting


def diagnostics_path(path: Path) -> Path:
    """Where the robust fit's diagnostics are drawn beside the picture ``path``: OUT_diagnostics.EXT."""
    return path.with_name(f"{path.stem}_diagnostics{path.suffix}")


def draw_picture(data: Dataset, reports: list[FitReport], path: Path) -> tuple[list[Path], str | None]:
    """Draw the data and the fits into ``path``, and the robust fit's (the last) four diagnostic
    panels into ``diagnostics_path(path)``: the files written, and why one was not (or None)."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return [], f"No picture: matplotlib is not installed; {plotting.INSTALL_HINT} adds it."
    figure = Figure(figsize=(7.5, 4.8), layout="constrained")
    axes = figure.subplots()
    if data.inputs.shape[1] == 1:
        _draw_curves(axes, data, reports)
    else:
        _draw_fitted_against_observed(axes, data, reports)
    axes.set_title(data.title)
    plotting.legend_below(axes)
    _save(figure, path)

    robust = reports[-1]
    try:
        found = robust.model.diagnostics(data.inputs, data.target, sigma=data.sigma)
    except ImportError as exc:  # the robust distances of several inputs need scikit-learn
        return [path], f"No diagnostics picture: {exc}"
    panels = Figure(figsize=(10.0, 8.0), layout="constrained")
    plotting.draw_diagnostics(panels.subplots(2, 2).ravel(), _picture_rows(data, robust), found, data.rows, "data row")
    panels.suptitle(f"{data.title}: diagnostics of the {METHOD_LABELS[robust.method]} fit")
    _save(panels, diagnostics_path(path))
    return [path, diagnostics_path(path)], None


def _save(figure: Figure, path: Path) -> None:
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from exc
    except RuntimeError as exc:  # e.g. the TeX system that .pgf needs is not installed
        raise CommandError(f"cannot write {path}: {exc}") from exc


def check_picture_format(path: Path) -> None:
    """Refuse, before any work, a picture whose file extension matplotlib cannot write."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        return  # no picture will be drawn, which the command line reports
    formats = FigureCanvasBase.get_supported_filetypes()
    extension = path.suffix[1:].lower()
    if extension not in formats:
        what = f"a .{extension} file" if extension else "a file without an extension"
        raise CommandError(f"--plot cannot draw {what}; use one of {', '.join('.' + f for f in sorted(formats))}")


def _draw_curves(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """One input: the data, the robust fit's (the last) with its bands and flagged rows named by
    data row, and each other fitted curve."""
    robust = reports[-1]
    plotting.draw_fit(
        axes, robust.model, _picture_rows(data, robust), 0, BAND_ALPHA, None, METHOD_LABELS[robust.method]
    )
    grid = np.linspace(robust.model.x_min_[0], robust.model.x_max_[0], plotting.GRID_POINTS)
    for report in reports[:-1]:
        axes.plot(grid, report.model.predict(grid), linewidth=2, label=METHOD_LABELS[report.method])


def _picture_rows(data: Dataset, report: FitReport) -> plotting.Rows:
    """The data's rows as the pictures of ``report``'s fit show them, named by data row."""
    return plotting.Rows(
        inputs=data.inputs,
        target=data.target,
        fitted=report.model.predict(data.inputs),
        sigma=data.sigma,
        labels=[str(row) for row in data.rows.tolist()],
        input_names=data.input_names,
        target_name=data.target_label or data.target_name,
    )


def _draw_fitted_against_observed(axes: Axes, data: Dataset, reports: list[FitReport]) -> None:
    """Several inputs: each fit's values against the observed ones, outliers circled."""
    y = data.target
    span = [y.min(), y.max()]
    axes.plot(span, span, color="grey", linewidth=1, label="fitted = observed")
    for report in reports:
        axes.scatter(y, report.model.predict(data.inputs), s=16, label=METHOD_LABELS[report.method])
    robust = reports[-1].model
    outliers = ~robust.inlier_mask_
    axes.scatter(
        y[outliers],
        robust.predict(data.inputs[outliers]),
        facecolors="none",
        edgecolors="crimson",
        s=70,
        label=f"outliers of {METHOD_LABELS[reports[-1].method]}",
    )
    axes.set_xlabel(f"observed {data.target_label or data.target_name}")
    axes.set_ylabel(f"fitted {data.target_label or data.target_name}")
