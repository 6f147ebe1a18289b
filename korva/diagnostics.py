"""Per-row diagnostics of a fit: how far each row lies from the curve and in its inputs, how much
it pulls the fit, and the class of the outlier map that this puts it in.

``weighing(...)`` is taken by the fitting stage at the end of a fit and kept on the model: how
the final fit weighed its rows (the scale and cut-off of its bisquare weights, the inverse of its
weighted Gram matrix). ``diagnose(model, X, y, sigma)`` judges rows by it; its result is a
:class:`Diagnostics`. The robust distances of several inputs come from scikit-learn's minimum
covariance determinant, imported only when they are asked for.
"""

from __future__ import annotations

import importlib
import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from korva import _data, _robust, inference, losses
from korva._data import FloatArray
from korva.bases import Design, nonzero_columns
from korva.distributions import chi_squared_quantile, normal_quantile
from korva.robust import Estimate

if TYPE_CHECKING:
    from korva.estimator import PolynomialMDLRegressor

IndexArray = NDArray[np.intp]

# The classes of the outlier map, in the order of their codes: outlying in y adds 1, in x 2.
KINDS = ("regular", "vertical outlier", "good leverage", "bad leverage")
# A row is a leverage point beyond this quantile of the chi-squared distance of normal inputs.
DISTANCE_QUANTILE = 0.975
# The median absolute deviation of a normal sample times this is its standard deviation.
MAD_TO_SD = 1.0 / normal_quantile(0.75)
# A direction of the scatter whose variance is at most this share of the largest is empty: the
# rows of the scatter's support lie on a hyperplane across it. A row lies on that hyperplane
# when it is off it by at most PLANE_TOLERANCE times its own distance from the centre (plus 1),
# in inputs measured in units of their robust spread.
EMPTY_DIRECTION_SHARE = 1e-12
PLANE_TOLERANCE = 1e-8
INSTALL_DIAGNOSTICS_HINT = "pip install 'korva[diagnostics]'"


@dataclass(frozen=True)
class Weighing:
    """How the final fit weighed and judged its rows, kept on the model for its diagnostics.

    ``residual_scale`` is the unit of a standardised residual, that of the fit's outlier flags:
    ``scale_``, or 1 with errors taken as known; ``weight_scale`` the scale at which the final
    fit took its bisquare weights with cut-off ``tuning`` (None: least squares, and an exact fit,
    every weight 1); both in y's units, with ``sigma`` in units of each row's sigma.
    ``gram_inverse`` is the inverse of X' W X + P over the ``active`` columns of the design (None
    when singular): the fit's weights W times its case weights, its penalty P, and with ``sigma``
    each row of X divided by its sigma over ``sigma_unit``, as the fit's own rows are.
    """

    residual_scale: float
    weight_scale: float
    tuning: float | None
    active: IndexArray
    gram_inverse: FloatArray | None
    sigma_unit: float

    def weights(self, in_units: FloatArray) -> FloatArray:
        """The final fit's weight psi(u) / u of rows with these residuals (in sigma's units with sigma)."""
        if self.tuning is None:
            return np.ones_like(in_units)
        return losses.weights(in_units / self.weight_scale, self.tuning)

    def leverages(self, rows: FloatArray, weights: FloatArray) -> FloatArray:
        """Each row's leverage w x' (X' W X + P)^-1 x in the fit's Gram matrix (NaN when singular)."""
        if self.gram_inverse is None:
            return np.full(len(rows), math.nan)
        return np.concatenate(list(inference._leverages(rows, self.active, weights, self.gram_inverse)))


def weighing(
    design: Design,
    residuals: FloatArray,
    estimate: Estimate,
    case_weights: FloatArray | None,
    unit: float,
    flag_scale: float,
    sigma_unit: float,
) -> Weighing:
    """The weighing of a fit of ``design`` with these standardised residuals, case weights and
    estimate; ``unit`` takes a standardised scale to y's units (sigma's), ``flag_scale`` is the
    standardised scale its outlier flags use."""
    scale, tuning = estimate.fixed_scale, estimate.tuning
    weighted = tuning is not None and scale > 0.0
    # One native pass over the rows: the bisquare weights at the fixed scale, or with an infinite
    # cut-off every weight 1, as decisive_rows and the consistent covariance take them.
    gram = _robust.bisquare_moments(
        design,
        residuals,
        scale if weighted else 1.0,
        tuning if tuning is not None and weighted else math.inf,
        case_weights,
    ).gram
    n_terms = design.shape[1]
    active = np.flatnonzero(nonzero_columns(design)) if (np.diag(gram) == 0.0).any() else np.arange(n_terms)
    bread = gram[np.ix_(active, active)]
    if estimate.penalty is not None:
        bread = bread + estimate.penalty[np.ix_(active, active)]
    return Weighing(
        residual_scale=flag_scale * unit,
        weight_scale=scale * unit if weighted else 0.0,
        tuning=tuning if weighted else None,
        active=active,
        gram_inverse=inference._inverse(bread) if active.size else None,
        sigma_unit=sigma_unit,
    )


@dataclass(frozen=True, eq=False)
class Diagnostics:
    """Per-row diagnostics of a fit, from :meth:`PolynomialMDLRegressor.diagnostics`.

    Each per-row field is an ndarray of shape (n,) in the order of the rows passed. ``kind`` sorts
    the rows by the outlier map of Rousseeuw & van Zomeren [1]_: a row is an outlier in y when
    ``|std_residual| > residual_cutoff`` and a leverage point when ``distance > distance_cutoff``;
    ``"regular"`` is neither, ``"vertical outlier"`` an outlier in y alone, ``"good leverage"`` a
    leverage point that follows the fit, ``"bad leverage"`` one that does not.

    Attributes
    ----------
    fitted : ndarray of shape (n,)
        The fitted curve at each row's inputs.
    residual : ndarray of shape (n,)
        ``y - fitted``.
    std_residual : ndarray of shape (n,)
        The residual in the units of the fit's outlier flags: over ``scale_``, with ``sigma`` over
        ``scale_ * sigma``, and with errors taken as known (``absolute_sigma=True``) over ``sigma``
        alone. On the training rows, ``|std_residual| > outlier_threshold`` is exactly
        ``~inlier_mask_``.
    weight : ndarray of shape (n,)
        The row's weight psi(u) / u in the final fit, Tukey's bisquare (1 - (u / c)^2)^2 with the
        fit's cut-off c at u = the residual (over sigma) over the scale at which the final fit
        took its weights (the S-estimate's scale it held fixed, not ``scale_``, the M-scale of its
        residuals): 0 beyond the cut-off. 1 for least squares and penalised least squares; with
        ``refit=False``, the weight a bisquare fit at the M-scale of the search's residuals would
        give (as ``cov_`` takes it). The sample weight is not part of it.
    leverage : ndarray of shape (n,)
        The row's hat value w x' (X' W X + P)^-1 x, x its row of the design (with ``sigma``,
        divided by its sigma over the training sigmas' median), w its ``weight`` and X' W X + P
        the final fit's weighted Gram matrix over its training rows with its case weights and
        penalty, as ``cov_type="hc"`` and the warning of a row that alone decides part of the
        fit take it: on the training rows of a fit without sample weights, the diagonal of the
        weighted fit's hat matrix. A row of integer sample weight c counts as c copies, each of
        this leverage. NaN where the data do not determine the coefficients.
    distance : ndarray of shape (n,)
        The robust distance of the row's inputs from the centre of the rows passed. One input:
        ``|x - median(x)| / (1.4826 MAD)``. Several: the Mahalanobis distance in the reweighted
        minimum covariance determinant location and scatter of the rows passed [2]_ (scikit-learn's
        ``MinCovDet(random_state=0)``, whose time grows with the rows: 0.1 s for 200 rows of two
        inputs, 1 s for 2000, on one core).
    kind : ndarray of str
        ``"regular"``, ``"vertical outlier"``, ``"good leverage"`` or ``"bad leverage"``.
    residual_cutoff : float
        The bound on ``|std_residual|``: the model's ``outlier_threshold`` (2.5 by default).
    distance_cutoff : float
        The bound on ``distance``: sqrt(chi2_{p, 0.975}) for p inputs, the distance that a share
        of 2.5 % of normal inputs exceeds.
    index : pandas.Index or None
        The index of X when it was a pandas DataFrame or Series (the index of
        :meth:`to_frame`), else None.

    Notes
    -----
    Rows the final fit let go (beyond its cut-off) have weight 0 and so leverage 0: they do not
    pull the fit, however far out they lie, which their ``distance`` shows. Training rows of
    sample weight 0, and rows that were not in the training data, are judged like any row: their
    residual from the curve, the weight and leverage one such row would have in the final fit
    beside its training rows.

    When the spread of the inputs is degenerate, more than half of the rows on one value (one
    input, a MAD of 0) or on one hyperplane (several, a singular scatter), the rows on it get the
    distance along it (0 on one value) and the rows off it an infinite distance: the majority
    leaves no room for them, as the minimum covariance determinant's exact-fit property has it.

    References
    ----------
    .. [1] P. J. Rousseeuw and B. C. van Zomeren, "Unmasking multivariate outliers and leverage
       points", Journal of the American Statistical Association 85 (1990), 633-639.
    .. [2] P. J. Rousseeuw and K. Van Driessen, "A fast algorithm for the minimum covariance
       determinant estimator", Technometrics 41 (1999), 212-223.
    """

    fitted: FloatArray
    residual: FloatArray
    std_residual: FloatArray
    weight: FloatArray
    leverage: FloatArray
    distance: FloatArray
    kind: NDArray[np.str_]
    residual_cutoff: float
    distance_cutoff: float
    index: Any = None

    COLUMNS: ClassVar[tuple[str, ...]] = (
        "fitted",
        "residual",
        "std_residual",
        "weight",
        "leverage",
        "distance",
        "kind",
    )

    def to_frame(self) -> Any:
        """The per-row fields as a pandas DataFrame (needs pandas).

        Returns
        -------
        pandas.DataFrame
            One row per row passed, with the columns ``fitted``, ``residual``, ``std_residual``,
            ``weight``, ``leverage``, ``distance`` and ``kind``, and the index of X when it was
            a pandas object.
        """
        try:
            import pandas as pd
        except ImportError as exc:
            raise ImportError(
                "Diagnostics.to_frame() needs pandas, which korva does not require: "
                "install it, e.g. with pip install 'korva[pandas]'"
            ) from exc
        return pd.DataFrame({name: getattr(self, name) for name in self.COLUMNS}, index=self.index)


def diagnose(model: PolynomialMDLRegressor, X: ArrayLike, y: ArrayLike, sigma: ArrayLike | None) -> Diagnostics:
    """The diagnostics of the rows X, y (with their sigma) by the fitted ``model``."""
    weighing_of_fit: Weighing | None = getattr(model, "_weighing_", None)
    if weighing_of_fit is None:
        raise ValueError(
            "this model was fitted by a version of korva that did not keep how its fit weighed the rows; "
            "fit it again to diagnose it"
        )
    inputs = _data.as_inputs(X, model.n_features_in_)
    target = _data.as_target(y, len(inputs))
    errors = _checked_sigma(sigma, model._fitted_with_sigma, len(inputs))
    n_inputs = inputs.shape[1]
    covariance_module = _scikit_learn_covariance() if n_inputs > 1 else None
    design = model._design(inputs)
    fitted: FloatArray = design @ model._core_coef()
    residual = target - fitted
    in_units = residual if errors is None else residual / errors
    with np.errstate(divide="ignore", invalid="ignore"):
        std_residual = np.where(in_units == 0.0, 0.0, in_units / weighing_of_fit.residual_scale)
    weight = weighing_of_fit.weights(in_units)
    rows = design if errors is None else design * (weighing_of_fit.sigma_unit / errors)[:, None]
    leverage = weighing_of_fit.leverages(rows, weight)
    distance = (
        _one_input_distances(inputs[:, 0])
        if covariance_module is None
        else _covariance_distances(inputs, covariance_module)
    )
    residual_cutoff = float(model._fitted_params_["outlier_threshold"])
    distance_cutoff = math.sqrt(chi_squared_quantile(DISTANCE_QUANTILE, n_inputs))
    codes = (np.abs(std_residual) > residual_cutoff).astype(np.intp) + 2 * (distance > distance_cutoff)
    return Diagnostics(
        fitted=fitted,
        residual=residual,
        std_residual=std_residual,
        weight=weight,
        leverage=leverage,
        distance=distance,
        kind=np.asarray(KINDS)[codes],
        residual_cutoff=residual_cutoff,
        distance_cutoff=distance_cutoff,
        index=_index_of(X),
    )


def _checked_sigma(sigma: ArrayLike | None, fitted_with_sigma: bool, n_rows: int) -> FloatArray | None:
    """The rows' errors: required of a model fitted with sigma, refused by one fitted without."""
    if sigma is not None and not fitted_with_sigma:
        raise ValueError(
            "sigma gives each row's error in the units of the training sigma, but this model was fitted "
            "without sigma: its residuals are in y's units; leave sigma out"
        )
    if sigma is None and fitted_with_sigma:
        raise ValueError(
            "this model was fitted with sigma: its residuals are judged in units of each row's sigma; "
            "pass sigma= for the rows of X"
        )
    return _data.as_sigma(sigma, n_rows)


def _scikit_learn_covariance() -> Any:
    """scikit-learn's covariance module, which the robust distances of several inputs need."""
    try:
        return importlib.import_module("sklearn.covariance")
    except ImportError as exc:
        raise ImportError(
            "the robust distances of several inputs take the minimum covariance determinant from "
            f"scikit-learn, which korva does not require: install it with {INSTALL_DIAGNOSTICS_HINT}"
        ) from exc


def _index_of(X: Any) -> Any:
    """The index of a pandas DataFrame or Series X, None for any other X."""
    return X.index if type(X).__module__.startswith("pandas") else None


def _in_unit_range(values: FloatArray) -> FloatArray:
    """Each column divided by the power of 2 that brings its largest magnitude into [1/2, 1): exact,
    and no difference of two entries then overflows."""
    _, exponents = np.frexp(np.max(np.abs(values), axis=0))
    scaled: FloatArray = np.ldexp(values, -exponents)
    return scaled


def _one_input_distances(x: FloatArray) -> FloatArray:
    """|x - median| / (1.4826 MAD); with a MAD of 0, 0 on the median and inf off it."""
    x = _in_unit_range(x)
    deviation = np.abs(x - np.median(x))
    spread = MAD_TO_SD * float(np.median(deviation))
    if spread == 0.0:
        return np.where(deviation == 0.0, 0.0, math.inf)
    distance: FloatArray = deviation / spread
    return distance


def _covariance_distances(inputs: FloatArray, covariance_module: Any) -> FloatArray:
    """The robust distances of rows of several inputs in the reweighted MCD location and scatter.

    When the MCD's support lies on a hyperplane (its raw scatter is singular; the reweighting
    would take in rows off it that lie near it along the plane), the rows off that hyperplane are
    infinitely far, and the rows on it get their robust distances among themselves within it.
    """
    if len(inputs) == 1:
        return np.zeros(1)
    scaled = _in_spread_units(inputs)
    estimate = covariance_module.MinCovDet(random_state=0)
    with warnings.catch_warnings():
        # Its notes on a scatter of less than full rank, which the distances below allow for.
        warnings.simplefilter("ignore")
        try:
            estimate.fit(scaled)
        except ValueError:
            # Raised when the support's scatter is 0 (its rows are one point), after the raw
            # location and scatter are set; anything else goes on.
            if getattr(estimate, "raw_covariance_", None) is None:
                raise
    variances, directions = _spectrum(estimate.raw_covariance_)
    spanned = _spanned(variances)
    if spanned.all():
        location, scatter = estimate.raw_location_, estimate.raw_covariance_
        reweighted = getattr(estimate, "covariance_", None)  # None when the support's scatter was called 0
        if reweighted is not None and _spanned(_spectrum(reweighted)[0]).all():
            location, scatter = estimate.location_, reweighted
        variances, directions = _spectrum(scatter)
        along = (scaled - location) @ directions
        root: FloatArray = np.sqrt(np.sum(along**2 / variances, axis=1))
        return root
    centred = scaled - estimate.raw_location_
    along = centred @ directions
    reach = PLANE_TOLERANCE * (1.0 + np.linalg.norm(centred, axis=1))
    on_plane = (np.abs(along[:, ~spanned]) <= reach[:, None]).all(axis=1)
    distance = np.full(len(inputs), math.inf)
    distance[on_plane] = _covariance_distances(along[on_plane][:, spanned], covariance_module) if spanned.any() else 0.0
    return distance


def _spectrum(scatter: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The eigenvalues and eigenvectors of a symmetric scatter matrix."""
    variances, directions = np.linalg.eigh(0.5 * (scatter + scatter.T))
    return variances, directions


def _spanned(variances: FloatArray) -> NDArray[np.bool_]:
    """Which directions of a scatter hold more than EMPTY_DIRECTION_SHARE of its largest variance."""
    largest = float(variances.max(initial=0.0))
    return variances > EMPTY_DIRECTION_SHARE * largest if largest > 0.0 else np.zeros(len(variances), dtype=bool)


def _in_spread_units(inputs: FloatArray) -> FloatArray:
    """Each input about its median in units of its median absolute deviation (where that is 0,
    that of the values off the median; 1 for a constant input). Distances in the MCD are the same
    in any affine units; in these, a scatter singular to rounding is told from one that is not."""
    scaled = _in_unit_range(inputs)
    center = np.median(scaled, axis=0)
    deviation = np.abs(scaled - center)
    spread = np.median(deviation, axis=0)
    for column in np.flatnonzero(spread == 0.0):
        off = deviation[:, column][deviation[:, column] > 0.0]
        spread[column] = float(np.median(off)) if off.size else 1.0
    standardized: FloatArray = (scaled - center) / spread
    return standardized
