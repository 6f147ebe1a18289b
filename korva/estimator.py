"""PolynomialMDLRegressor: a scikit-learn style front end to korva_core.

The estimator follows scikit-learn's conventions (parameters stored untouched by
``__init__``, validation in ``fit``, fitted attributes ending in an underscore,
``get_params``/``set_params``, R² from ``score``) without importing scikit-learn,
so it works in pipelines, cross-validation and ``clone`` when scikit-learn is
installed and on its own when it is not.
"""

from __future__ import annotations

import importlib
import inspect
import json
import sys
import warnings
from collections.abc import Mapping, Sequence
from functools import cache
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from korva import _data, _model_summary, _sharing, bases, distributions, fitting, inference
from korva._data import DataConversionWarning, FloatArray
from korva._parameters import AgainstData, Constraint, Count, Flag, OneOf, Real, Seed, check_parameters
from korva._routing import MetadataRouting
from korva._scoring import robust_r2
from korva.bases import MultiIndices
from korva.diagnostics import Diagnostics, Weighing, diagnose
from korva.fitting import COV_TYPES, METHODS, GibbsStatistics
from korva.summary import (
    FLAGGED_ROWS_LISTED,
    Summary,
    check_alpha,
    confidence_interval,
    input_names,
    term_names,
)

# Re-exported: the command line and the group workers take these from here, korva the classes.
__all__ = ["METHODS", "DataConversionWarning", "FitWarning", "FloatArray", "GibbsStatistics", "NotFittedError"]
__all__ += ["PolynomialMDLRegressor", "robust_r2"]


class NotFittedError(ValueError, AttributeError):
    """Raised when a model is used before ``fit``.

    It derives from both ``ValueError`` and ``AttributeError``, as scikit-learn's
    exception of the same name does, so handlers written for either catch it. When
    scikit-learn has been imported, the error raised is also an instance of
    ``sklearn.exceptions.NotFittedError``.
    """


@cache
def _with_scikit_learn_base(base: type) -> type[NotFittedError]:
    def __reduce__(self: BaseException) -> tuple[Any, tuple[Any, ...]]:
        # The class is made at run time, so it cannot be pickled by name.
        return _not_fitted_error, self.args

    return type("NotFittedError", (NotFittedError, base), {"__module__": __name__, "__reduce__": __reduce__})


def _not_fitted_error(message: str) -> NotFittedError:
    """korva's NotFittedError, also scikit-learn's once scikit-learn is imported.

    Whoever catches scikit-learn's exception has imported it, so korva never needs to
    import scikit-learn itself.
    """
    exceptions = sys.modules.get("sklearn.exceptions")
    if exceptions is None:
        return NotFittedError(message)
    return _with_scikit_learn_base(exceptions.NotFittedError)(message)


class FitWarning(UserWarning):
    """Warns that a fit is fragile: a degree choice that stopped at ``max_degree``, two
    different sets of outliers that explain the data almost equally well, or data that
    do not determine the coefficients (too few distinct points for the basis); or that a
    prediction goes beyond the training range (see ``extrapolation``)."""


class PolynomialMDLRegressor(MetadataRouting):
    """Polynomial regression in one or several inputs, robust to gross outliers.

    Each input is mapped to [-1, 1] by its training range (``x_min_`` to ``x_max_``),
    because raw monomials of wide-ranging inputs are badly conditioned; ``coef_`` holds
    the coefficients of the monomials in those mapped inputs, listed in ``multi_indices_``.

    With ``method="mcmc"`` a fit has three stages. The MDL search (korva_core's
    tournament MCMC sampler) finds coefficients that most points agree with, whatever
    the rest do. Starts: the search's result, least squares on the points it hits,
    least squares on all points, and elemental fits through k of the points for k
    terms (every such subset when subsets times points are at most 150 000, else 120 drawn by
    ``random_state``), as the fast algorithms for least trimmed squares and
    S-regression draw them [1]_ [3]_: with that many subsets one is free of outliers
    whatever the search did, so the answer does not depend on the seed. Each start goes
    through concentration steps (least squares on the half of the points nearest the
    fit, repeated; the elemental ones first as one batch, the best few to the end), and
    the start whose residuals have the smallest M-scale (Tukey's biweight, 50 %
    breakdown [2]_) wins, and reweighting steps take it to the bottom of its valley of the
    scale, the S-estimate. Last, bisquare-weighted least squares with that scale held
    fixed, tuned for 85 % efficiency at the normal (at 95 % the step weighs moderate
    outliers back in; 85 % is the usual compromise between efficiency and bias), makes
    the fit nearly as precise as least squares on the good points [4]_. ``scale_`` is the
    M-scale of the final residuals, whose equation averages the loss over n - k rather
    than n: the k fitted terms make
    a plain mean biased low on small samples, where it called clean points outliers.
    Points farther than ``outlier_threshold * scale_`` from the fit are outliers; a
    scale at the level of rounding (an exact fit) is raised to 64 ulps of the largest
    term of the fit, so that rounding errors are never outliers.

    ``degree="auto"`` codes every candidate's residuals in one unit, the median of the
    candidates' residual scales (the steadiest estimate of the noise among them): a robust
    Bayesian information criterion [5]_, which on small clean samples picks the true degree
    at least as often as least squares with the BIC does. With the robust fit
    (``method="mcmc"``, ``refit=True``) a screening fit sizes up each candidate first:
    the robust stages without the search, the elemental subsets (as many) ranked on at
    most 100 of the rows, least squares and the inliers of the degree below as further
    starts, then the S-estimate and the final fit over every point, which end at the same
    fit as the full stages whenever the best start lies in the same valley of the scale.
    The candidate that wins is then fitted in full, as with its degree fixed; should
    another win with that fit's length in place, it is fitted in full too, until a fully
    fitted candidate wins: the fit kept is the fixed degree's own. An auto fit costs
    about 2.4 fits of the degree it chooses, where fitting every candidate in full cost
    seven.

    A :class:`FitWarning` says when a fit is fragile: when ``degree="auto"`` chose the
    highest degree it tried, when another start nearly as good (its scale within
    3 %) leads to a different curve that flags other rows, or when the data do not
    determine the coefficients (a design singular on the rows fitted, such as x at two
    distinct values for degree 2: ``cov_`` is then NaN), when one row alone decides part of
    the fit (its leverage is 1: the curve passes through it whatever its y; looked for on up
    to 20 000 rows), when an input
    takes one value in every row fitted (its terms are 0, their errors NaN), or when the coefficients in x are
    so large that they cancel beyond the fit's precision over the training range (a narrow
    range far from 0: ``coef_`` in t carries the curve, ``coef_x_`` does not).

    A fit with as many samples as terms goes through every point, by least squares' exact
    solve whatever the method (unless penalised): it flags nothing, has no degrees of freedom
    and NaN standard errors and intervals, and runs no search.

    How sure the fit is: ``cov_`` is the covariance of ``coef_``, the sandwich of the
    final bisquare fit's estimating equations at its fixed scale in Huber's small-sample
    form, over the rows the fit uses (least squares' s^2 (X'X)^-1 for ``"ols"``; with a
    penalty, that of the penalised estimator); :meth:`conf_int` and
    :meth:`predict_interval` give t-based intervals from it, with ``df_resid_`` degrees
    of freedom; ``noise_scale_`` is the spread of a new inlier's error. ``coef_x_`` and
    ``cov_x_`` are the same in the original inputs, and :meth:`summary` reports both. The
    intervals assume symmetric errors on the inliers, one spread for every row (in units of
    ``sigma`` where it is given; ``cov_type="hc"`` lets each row have its own, and a
    :class:`FitWarning` says when the size of the residuals follows the fitted value, the
    leverage or an input) and the basis as given (with ``degree="auto"``, as if the chosen
    degree had been fixed); the bands of new observations take their ends from the
    residuals' own distribution where there are enough of them. The user guide's page "How
    sure is the fit" has their measured coverage.

    ``sample_weight`` in :meth:`fit` weighs rows as case weights: a row of integer
    weight w counts as w copies of it, a row of weight 0 is left out (it still gets its
    flag). Weights that are not all integers of at most 2**31 - 1 are relative (how much
    more one row counts than another; every float64 from 2**53 up is an integer, so a
    weight in a large unit says nothing by being one): they are scaled to a mean of 1 over the rows of positive weight, so
    that every row counts once on average and neither the fit nor its standard errors
    depend on their unit. The weights are not precisions: the scale and the outlier flags do
    not widen for a row of small weight. Rows whose errors differ take ``sigma`` in
    :meth:`fit`, each row's standard deviation: every stage then works on the residuals
    divided by it (see ``absolute_sigma`` and the user guide's "How sure is the fit"). The weights act in the scale, the trimming of the concentration steps
    (by weight), every least-squares step and the description length; the search itself
    treats the rows of positive weight alike, so weights reach it only through the
    starts that follow it.

    Parameters
    ----------
    degree : int, sequence of int or "auto"
        The polynomial degree: the total degree of the ``"total"`` basis, each input's
        degree in the ``"tensor"`` basis (one int is used for every input). With one
        int per input, the ``"total"`` basis also caps each exponent by its input's
        degree, its total degree being the largest of them. ``"auto"`` tries every degree
        from 0 to ``max_degree`` and keeps the one with the shortest description length
        (see ``mdl_path_`` and above). Ignored when ``basis`` lists the terms.
    gamma1, gamma2 : float
        Weights of the slope and curvature penalties, integrated over [-1, 1]^d and
        measured on y divided by its robust spread, so that they do not depend on the
        units of y. They act in every least-squares step and in the search.
    method : {"mcmc", "penalized", "ols"}
        ``"mcmc"`` is the robust fit described above; ``"penalized"`` solves penalised
        least squares and ``"ols"`` ordinary least squares on all points (so it refuses
        nonzero ``gamma1`` and ``gamma2``).
    n_chains, n_warmup, n_deep, n_elite, step_size
        The sampler's number of chains, warm-up steps per chain, refinement steps per
        elite chain, elite size and proposal step. The sampler works on y measured in
        units of its robust spread, where coefficients of several units are common;
        hence a larger default step than korva_core's own 0.05.
    H : int
        The precision parameter of the MDL model term, k² ln(2H) / n for k coefficients.
    random_state : int, numpy.random.RandomState, numpy.random.Generator or None
        Seed of the sampler and of the subsample: a non-negative int, or a generator
        from which each fit draws one seed (so equally seeded generators give equal
        fits); None draws a fresh one per fit. The same seed gives the same fit on any
        number of threads.
    n_grid : int or None
        Grid points of the penalty quadrature: in total for one input (default 600),
        per input for several (default 30).
    refit : bool
        With ``method="mcmc"``, finish with the robust final stages (starts,
        concentration, reweighting). False keeps the search's own coefficients, which the
        hit rate leaves loose by up to its tolerance.
    basis : {"total", "tensor"} or sequence of exponent vectors
        ``"total"``: all exponent vectors of total degree up to ``degree`` (degree 1 is
        the plain linear model); ``"tensor"``: the product basis, each input up to its
        degree; or the exponent vectors themselves, one int per input each. For one
        input both names give 1, t, ..., t^degree.
    max_degree : int or None
        The highest degree that ``degree="auto"`` tries; None means 6 for one input and
        3 for several. Degrees whose basis has more terms than half the samples are
        not tried.
    outlier_threshold : float
        Points whose absolute residual exceeds ``outlier_threshold * scale_`` are outliers.
    max_search_samples : int
        Above this many samples the MDL search and the choice of start run on this
        many points drawn by ``random_state``; the scale and the final fit use every
        point.
    absolute_sigma : bool
        With ``sigma`` given to :meth:`fit`: True takes the errors as known, so that no
        factor is estimated for them (``cov_`` assumes their spread, the intervals take
        normal quantiles, ``noise_scale_`` is 1, a point is an outlier beyond
        ``outlier_threshold`` times its sigma, and a :class:`FitWarning` says when the
        residuals spread by a factor far from 1 of them); False takes them as relative, one
        common factor (``scale_``, ``noise_scale_``) estimated from the residuals.
    cov_type : {"model", "hc"}
        The covariance ``cov_`` (and the intervals from it): ``"model"`` takes one spread of
        the errors for every row (in units of sigma where it is given); ``"hc"`` each row's
        own, the sandwich of the fit's estimating equations with every row's psi^2 and the
        HC3 leverage correction, which stays honest where the spread varies along x or with
        the fitted value (and costs some width where it does not). Not with known errors
        (``absolute_sigma=True`` and ``sigma``).
    extrapolation : {"warn", "ignore", "raise"}
        What :meth:`predict` and :meth:`predict_interval` do with points that lie beyond an
        input's training range (``x_min_`` to ``x_max_``) by more than 5 % of its span (for an
        input that took one value in training, at any other value): ``"warn"``, one
        :class:`FitWarning` per call naming the inputs, how many points and how far beyond;
        ``"ignore"``, nothing; ``"raise"``, a ValueError before any work. New points from the
        training design rarely land beyond 5 % (0.4 % of uniform draws from 50 training points),
        where a cubic's confidence band is already 1.4 times as wide as at the edge. Read at
        prediction, so that ``set_params`` changes it for a fitted model; no fit reads it.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficients of the basis terms, in the order of ``multi_indices_``.
    multi_indices_ : list of list of int
        The exponents of each basis term, one per input. A ``"total"`` or ``"tensor"`` basis
        lists its terms by total degree, and within a degree in the order of the inputs'
        powers: 1, x1, x2, x3, x1^2, x1 x2, x1 x3, x2^2, x2 x3, x3^2, x1^3, ... (the order of
        scikit-learn's ``PolynomialFeatures``); a listed basis keeps its own order. Every
        attribute with a value per term (``coef_``, ``bse_``, ``cov_``, ``coef_x_``, ...)
        follows it.
    degree_ : int or list of int
        The degree fitted (chosen, with ``degree="auto"``): an int for the ``"total"``
        basis and for one input, one int per input for the ``"tensor"`` basis of several
        inputs or a per-input degree; the highest total degree of a listed basis.
    mdl_path_ : dict
        With ``degree="auto"``, each degree tried and its description length in nats:
        the bisquare loss of the residuals in units of the median of the residual scales
        of the degrees tried (u²/2 for small residuals u, capped at 3.66 for outliers)
        plus ln(n)/2 per coefficient. With the robust fit the degrees fitted in full
        (the chosen one and any that won on its screening fit) have the length of their
        full fit, the others that of their screening fit. Empty for a fixed degree.
    n_starts_ : int
        How many starts the robust stages tried (the search's three and the elemental
        subsets) for the fit kept, with ``degree="auto"`` the chosen degree's full fit;
        1 with ``refit=False``, 0 for ``"ols"``, ``"penalized"`` and a fit with as many
        samples as terms.
    scale_ : float
        The robust residual scale in y's units (with ``sigma``, in units of each row's sigma): the M-scale of the final residuals, with
        the loss averaged over n - k (also for ``"ols"``, ``"penalized"`` and
        ``refit=False``). It is the noise level on clean normal data from 15 samples up
        and grows with the share of gross outliers (about 1.15 noise levels at 10 %,
        2.5 at 40 %). When most residuals are exactly 0 it is the M-scale of the others.
    inlier_mask_ : ndarray of bool
        Which training points lie within ``outlier_threshold * scale_`` of the fit (every
        point, for a fit with as many samples as terms, which has no residual to judge by).
    mdl_ : float
        The MDL score of the fit: hit rate, model size and any penalties (over the
        rows of positive weight, each counted once).
    hit_rate_ : float
        The share of training points within ``tolerance_`` of the fit (as ``mdl_``).
    tolerance_ : float
        The hit tolerance of the MDL score, 0.4 times the robust spread of y (its
        median absolute deviation, or when that is 0, the median absolute deviation from
        the median of the values that differ from it); with ``sigma``, of y divided by each
        row's sigma, and in units of the row's sigma.
    gibbs_ : GibbsStatistics or None
        The sampler's warm-up statistics (None unless ``method="mcmc"``, and for a fit
        with as many samples as terms, which runs no search).
    x_min_, x_max_ : ndarray of shape (``n_features_in_``,)
        The training range of each input, mapped to -1 and 1.
    n_features_in_ : int
        The number of input columns seen in ``fit``.
    feature_names_in_ : ndarray of str
        The column names, when ``fit`` was given a DataFrame with string column names.
    fit_warnings_ : list of str
        The messages of the :class:`FitWarning` the fit gave (empty when it gave none).
    target_name_ : str or None
        The name of y, when ``fit`` was given a named pandas Series; None otherwise.
    converged_ : bool or None
        Whether the final bisquare reweighting of the robust fit settled: one more step from
        its coefficients moves the fitted values by at most 1 % of their standard error
        (about ``scale_`` sqrt(k / n)). None for fits that end in no reweighting: ``"ols"``,
        ``"penalized"``, ``refit=False`` and fits that go through every point.
    condition_number_ : float
        The condition number of the design in the mapped inputs t, each row weighted as the
        fit's last solve weighs it (its case weight times its bisquare weight): the square
        root of the ratio of the largest to the smallest eigenvalue of the weighted Gram
        matrix that ``cov_`` is formed from, over the terms that are not 0 on every row.
        Infinite where that matrix is singular to rounding (from about 1e7 on).
    cov_ : ndarray of shape (n_terms, n_terms)
        The covariance of ``coef_``, in y's units squared. Rows and columns of terms in an
        input that was constant in training are NaN (the data do not determine them).
    bse_ : ndarray of shape (n_terms,)
        The standard errors of ``coef_``, the square roots of the diagonal of ``cov_``
        (taken in units of y's spread, so that they hold where ``cov_``, which squares y's
        scale, leaves the range of float64: y of magnitude beyond about 1e154 or below 1e-154).
    noise_scale_ : float
        The standard deviation of an inlier's error: the root mean square of the residuals
        within 2.5 scales of the fit (an n_in - k divisor, corrected for the truncation at
        2.5), repeated until those residuals settle. Unlike ``scale_`` it does not grow with
        the share of outliers. For ``"ols"`` and ``"penalized"``, sqrt(RSS / (n - k)). With
        ``sigma``, in units of it (1 with ``absolute_sigma=True``).
    df_resid_ : float
        The degrees of freedom of the intervals. For least squares, n - k; for the robust
        fit, Satterthwaite's: the total weight of the rows the fit uses (bisquare weight
        above 0) less the number of terms, times 2 / V, V the spread that the covariance's
        own estimate has to first order (2 for least squares at normal errors, near 2.7
        for the bisquare step; larger on samples whose covariance rests on a few points),
        at most that total weight less the number of terms. Infinite for errors known
        (``absolute_sigma=True``): the intervals take normal quantiles.
    r2_ : float
        The robust R² of Renaud and Victoria-Feser on the rows fitted (:func:`robust_r2` has
        it in full): each row counts with the weight that the final bisquare step gives its
        residual in units of ``noise_scale_`` (times its sample weight, and divided by its sigma
        squared with ``sigma``), and the weighted residual sum is multiplied by the factor that
        makes the ratio consistent at normal errors. The weights of ``"ols"`` and ``"penalized"`` are 1:
        the classical R² (of the weighted rows, with ``sample_weight``). About the weighted mean
        of y, or 0 for a basis without a constant term. Within 0.02 of least squares' R² on
        clean data, and of least squares' R² on the inliers alone with 20 % of the rows far
        off, at an R² of 0.8 over 1000 rows.
    r2_adjusted_ : float
        ``1 - (1 - r2_) (n - 1) / (n - k)`` for n samples (rows counted by their integer
        weights) and k terms, with n in place of n - 1 for a basis without a constant term;
        NaN for n <= k.
    coef_x_ : ndarray of shape (n_terms,) or None
        The coefficients of the same monomials (``multi_indices_``) in the original
        inputs, with covariance ``cov_x_``. None for a listed basis that lacks a term of
        lower exponents than one of its terms, which the change of variables needs. Wide
        or offset input ranges make them large and cancelling: ``coef_`` is the stable form.
    cov_x_ : ndarray of shape (n_terms, n_terms) or None
        The covariance of ``coef_x_``.
    bse_x_ : ndarray of shape (n_terms,) or None
        The standard errors of ``coef_x_``, the square roots of the diagonal of ``cov_x_``
        (taken as ``bse_`` is).
    polynomial_ : numpy.polynomial.Polynomial
        One input (and ``coef_x_`` not None): the fitted polynomial in x, the curve that
        ``predict`` draws.

    See Also
    --------
    robust_r2 : A cross-validation score that outliers cannot sway.
    fit_groups : One model per group of a long table.

    References
    ----------
    .. [1] P. J. Rousseeuw and K. Van Driessen, "Computing LTS regression for large data
       sets", Data Mining and Knowledge Discovery 12 (2006), 29-45: concentration steps.
    .. [2] P. J. Rousseeuw and V. J. Yohai, "Robust regression by means of S-estimators",
       in Robust and Nonlinear Time Series Analysis, Lecture Notes in Statistics 26
       (1984), 256-272: the M-scale and S-estimation.
    .. [3] M. Salibian-Barrera and V. J. Yohai, "A fast algorithm for S-regression
       estimates", Journal of Computational and Graphical Statistics 15 (2006), 414-427:
       concentration from several starts, the best by its M-scale.
    .. [4] V. J. Yohai, "High breakdown-point and high efficiency robust estimates for
       regression", The Annals of Statistics 15 (1987), 642-656: the MM step.
    .. [5] J. Rissanen, "Modeling by shortest data description", Automatica 14 (1978),
       465-471; M. H. Hansen and B. Yu, "Model selection and the principle of minimum
       description length", Journal of the American Statistical Association 96 (2001),
       746-774: description length, by which ``degree="auto"`` chooses.

    Examples
    --------
    A cubic with every tenth point thrown far off:

    >>> import numpy as np
    >>> from korva import PolynomialMDLRegressor
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(-1.0, 1.0, 200)
    >>> y = x**3 - x + rng.normal(0.0, 0.05, 200)
    >>> y[::10] += 5.0
    >>> model = PolynomialMDLRegressor(degree=3).fit(x, y)
    >>> model.predict([0.0, 0.5]).round(2)
    array([ 0.  , -0.38])
    >>> bool(model.inlier_mask_[::10].any())
    False
    """

    # Fitted attributes, set together by ``fit`` (see the Attributes section).
    coef_: FloatArray
    multi_indices_: MultiIndices
    degree_: int | list[int]
    mdl_path_: dict[int | tuple[int, ...], float]
    scale_: float
    inlier_mask_: NDArray[np.bool_]
    mdl_: float
    hit_rate_: float
    tolerance_: float
    gibbs_: GibbsStatistics | None
    n_starts_: int
    x_min_: FloatArray
    x_max_: FloatArray
    n_features_in_: int
    feature_names_in_: NDArray[np.object_]
    fit_warnings_: list[str]
    target_name_: str | None
    converged_: bool | None
    condition_number_: float
    cov_: FloatArray
    bse_: FloatArray
    noise_scale_: float
    df_resid_: float
    coef_x_: FloatArray | None
    cov_x_: FloatArray | None
    bse_x_: FloatArray | None
    _cov_in_spread_: FloatArray
    _core_order_: NDArray[np.intp]
    _spread_: float
    _error_quantiles_: inference.ErrorQuantiles | None
    _with_sigma_: bool
    _weighing_: Weighing
    _seed_: int
    _rows_used_: int
    _flagged_labels_: list[Any] | None
    r2_: float
    r2_adjusted_: float
    _fitted_params_: dict[str, Any]
    polynomial_: np.polynomial.Polynomial

    def __init__(
        self,
        degree: int | Sequence[int] | str = 3,
        *,
        gamma1: float = 0.0,
        gamma2: float = 0.0,
        method: str = "mcmc",
        n_chains: int = 25,
        n_warmup: int = 200,
        n_deep: int = 2000,
        n_elite: int = 5,
        step_size: float = 0.3,
        H: int = 20,
        random_state: int | np.random.RandomState | np.random.Generator | None = 42,
        n_grid: int | None = None,
        refit: bool = True,
        basis: str | Sequence[Sequence[int]] = "total",
        max_degree: int | None = None,
        outlier_threshold: float = 2.5,
        max_search_samples: int = 1000,
        absolute_sigma: bool = False,
        cov_type: str = "model",
        extrapolation: str = "warn",
    ) -> None:
        self.degree = degree
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.method = method
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H = H
        self.random_state = random_state
        self.n_grid = n_grid
        self.refit = refit
        self.basis = basis
        self.max_degree = max_degree
        self.outlier_threshold = outlier_threshold
        self.max_search_samples = max_search_samples
        self.absolute_sigma = absolute_sigma
        self.cov_type = cov_type
        self.extrapolation = extrapolation

    # ------------------------------------------------------------ parameters

    @classmethod
    def _param_defaults(cls) -> dict[str, Any]:
        return dict(_constructor_defaults(cls))

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor parameters by name (``deep`` is accepted for scikit-learn)."""
        return {name: getattr(self, name) for name in self._param_defaults()}

    def set_params(self, **params: Any) -> PolynomialMDLRegressor:
        """Set constructor parameters by name; they are checked by the next ``fit``."""
        valid = self._param_defaults()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                    f"Valid parameters are: {sorted(valid)!r}."
                )
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        changed = [
            f"{name}={value!r}"
            for (name, default), value in zip(self._param_defaults().items(), self.get_params().values())
            if repr(value) != repr(default)
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self) -> Any:
        # Only scikit-learn calls this, so importing it here adds no dependency.
        sklearn_utils = importlib.import_module("sklearn.utils")
        return sklearn_utils.Tags(
            estimator_type="regressor",
            target_tags=sklearn_utils.TargetTags(required=True),
            regressor_tags=sklearn_utils.RegressorTags(),
        )

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    # ------------------------------------------------------------ fitting

    def fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, sigma: ArrayLike | None = None
    ) -> PolynomialMDLRegressor:
        """Fit the polynomial to inputs X and targets y.

        The fitted attributes change only when the whole fit succeeds: a fit that
        raises, or is interrupted, leaves the model as it was.

        Parameters
        ----------
        X : array-like of shape (n_samples,) or (n_samples, n_features)
            The inputs; a 1-D X is one input column. A pandas DataFrame's string
            column names are kept in ``feature_names_in_``.
        y : array-like of shape (n_samples,)
            The targets; a column vector is flattened with a ``DataConversionWarning``.
        sample_weight : array-like of shape (n_samples,) or None, default=None
            Non-negative, finite case weights: an integer weight (up to 2**31 - 1) counts
            the row that many times, 0 leaves it out of the fit; weights that are not all
            such integers (exactly: round counts that carry rounding errors, or any weight
            above 2**31 - 1) are relative, scaled to a mean of 1 (see the class
            description). None counts every row once.
        sigma : array-like of shape (n_samples,), float or None, default=None
            The standard deviation of each row's error in y, where it is known (error
            bars): positive and finite for every row, one value for all. Every stage of
            the fit then works on the residuals divided by sigma, so that a row of small
            error counts for more and is an outlier at a smaller distance. Relative, one
            factor estimated for all (``scale_`` and ``noise_scale_`` are in units of
            sigma), unless ``absolute_sigma=True``. Combines with ``sample_weight``,
            which stays a case weight. None: every row's error has the same spread.

        Returns
        -------
        self : PolynomialMDLRegressor
            The fitted model.

        Raises
        ------
        ValueError
            If a parameter or the data is invalid (NaN or infinity, too few samples for
            the basis, a design matrix beyond the memory available), before any work.
        TypeError
            If X or y is a sparse matrix.

        Warns
        -----
        FitWarning
            When the fit is fragile (see the class description).
        """
        data = _data.checked(X, y, sample_weight, sigma)
        self._check_params()
        result = fitting.fit(fitting.Settings.of(self.get_params()), data)
        state = {name: value for name, value in vars(self).items() if not _is_fitted_name(name)}
        indices = result.candidate.indices
        # The terms as readers list them; a listed basis keeps the user's order.
        order = bases.graded_order(indices) if isinstance(self.basis, str) else np.arange(len(indices))
        state.update(
            multi_indices_=[indices[p] for p in order],
            # Where each term of the fit's own order lies in coef_: predict builds its design in
            # that order, so that its sums, and so its bits, are the fit's.
            _core_order_=np.argsort(order),
            degree_=result.candidate.degree,
            mdl_path_=result.mdl_path,
            scale_=result.scale,
            inlier_mask_=result.inliers,
            mdl_=result.mdl,
            hit_rate_=result.hit_rate,
            tolerance_=result.tolerance,
            gibbs_=result.gibbs,
            n_starts_=result.n_starts,
            x_min_=result.x_min,
            x_max_=result.x_max,
            n_features_in_=data.n_inputs,
            fit_warnings_=result.warnings,
            target_name_=data.target_name,
            converged_=result.converged,
            _seed_=result.seed,
            _rows_used_=data.n_samples,
            _flagged_labels_=_flagged_labels(data.row_labels, result.inliers),
            _with_sigma_=result.with_sigma,
            _weighing_=result.weighing,
            r2_=result.r2,
            r2_adjusted_=result.r2_adjusted,
            _fitted_params_=self.get_params(),
            **_in_order({"coef_": result.coef, **result.uncertainty.attributes()}, order),
        )
        if data.feature_names is not None:
            state["feature_names_in_"] = data.feature_names
        if result.polynomial is not None:
            state["polynomial_"] = result.polynomial
        # One assignment: an interrupt lands before it or after it, never half way.
        self.__dict__ = state
        for message in result.warnings:
            warnings.warn(message, FitWarning, stacklevel=2)
        return self

    def _check_params(self) -> None:
        check_parameters(self.get_params(), _PARAMETER_CONSTRAINTS, (_ols_has_no_penalties,))

    # ------------------------------------------------------------ prediction

    def predict(self, X: ArrayLike) -> FloatArray:
        """The fitted polynomial at inputs X.

        Parameters
        ----------
        X : array-like of shape (n_samples,) or (n_samples, n_features)
            The inputs, with the ``n_features_in_`` columns seen in ``fit``, mapped by
            the training range; outside it the polynomial is extrapolated.

        Returns
        -------
        ndarray of shape (n_samples,)
            The predictions.

        Raises
        ------
        NotFittedError
            If the model has not been fitted.
        ValueError
            If X has a different number of columns, or other column names, than in
            ``fit``, or holds NaN or infinity; with ``extrapolation="raise"``, if a point lies
            beyond the training range (see ``extrapolation``).

        Warns
        -----
        FitWarning
            Once, with ``extrapolation="warn"``, when points lie beyond the training range.
        """
        self._check_fitted()
        self._check_feature_names(X)
        inputs = self._inputs_in_range(X, "predict")
        prediction: FloatArray = self._design(inputs) @ self._core_coef()
        return prediction

    def predict_interval(
        self, X: ArrayLike, alpha: float = 0.05, kind: str = "confidence", sigma: ArrayLike | None = None
    ) -> tuple[FloatArray, FloatArray]:
        """Intervals around the fitted polynomial at inputs X.

        Parameters
        ----------
        X : array-like of shape (n,) or (n, ``n_features_in_``)
            Where to evaluate the intervals.
        alpha : float, default=0.05
            One minus the coverage: 0.05 gives 95 % intervals.
        kind : {"confidence", "prediction"}, default="confidence"
            ``"confidence"``: where the mean curve lies, ``fit +- t sqrt(x' cov_ x)``;
            ``"prediction"``: where a new inlying observation falls,
            ``fit +- t sqrt(x' cov_ x + noise_scale_**2)``. t is the 1 - alpha/2 quantile
            of Student's t with ``df_resid_`` degrees of freedom. For the robust fit, whose
            errors need not be normal, the new observation's error is taken from the
            residuals' own distribution where they are enough: the ends of the band are
            ``fit - sqrt(t**2 x' cov_ x + (q_low noise_scale_)**2)`` and
            ``fit + sqrt(t**2 x' cov_ x + (q_high noise_scale_)**2)``, q_low and q_high the
            split-conformal quantiles (Lei et al. 2018) of the residuals within 6 noise scales
            in noise scales (widened for the terms fitted): asymmetric where the errors are
            skewed, wider where their tails are heavy. Normal theory where fewer than two of
            those residuals would lie beyond either end (fewer than 79 of them at
            alpha=0.05), for least squares and for errors known (``absolute_sigma=True``).
        sigma : array-like of shape (n,), float or None, default=None
            For a model fitted with ``sigma`` and ``kind="prediction"`` (and only then),
            the error of each new observation in the units of the training sigma: its
            noise is ``noise_scale_ * sigma``.

        Returns
        -------
        lower, upper : ndarray of shape (n,)
            The ends of the intervals; ``predict(X)`` lies half-way between them, except in
            the bands of new observations taken from a robust fit's residuals, which may be
            asymmetric. NaN without degrees of freedom (``df_resid_`` 0: no more samples than
            terms) and where the curve gives weight to coefficients the data leave free;
            infinite only where the half-width is beyond float64, however far X is from the data.

        Raises
        ------
        ValueError
            If alpha, kind, X or sigma is invalid; with ``extrapolation="raise"``, if a point lies
            beyond the training range (see ``extrapolation``).

        Warns
        -----
        FitWarning
            Once, with ``extrapolation="warn"``, when points lie beyond the training range:
            there the intervals are the model's own.

        Notes
        -----
        The intervals assume the model holds (the basis fitted contains the true curve, taken
        as given with ``degree="auto"``) and symmetric errors on the inliers. They widen away
        from the data, steeply outside the training range, where only the polynomial's own
        form carries them.
        """
        check_alpha(alpha)
        if kind not in ("confidence", "prediction"):
            raise ValueError(f'kind must be "confidence" or "prediction", got {kind!r}')
        self._check_fitted()
        self._check_feature_names(X)
        inputs = self._inputs_in_range(X, "predict_interval")
        noise = self._fresh_noise(kind, sigma, len(inputs))
        design = self._design(inputs)
        center = design @ self._core_coef()
        factor = distributions.interval_factor(alpha, self.df_resid_)
        if noise is None:
            half = self._half_width(design, None, factor)
            return center - half, center + half
        # A robust fit's errors as its residuals show them, where they are enough: the band's
        # ends in noise scales; else t quantiles, the same on both sides.
        quantiles = getattr(self, "_error_quantiles_", None)
        ends = None if quantiles is None or not factor > 0.0 else quantiles.band(alpha)
        low_end, high_end = (-factor, factor) if ends is None else ends
        # Each side's error, in the curve's t quantiles: sqrt(t^2 x'Cx + (q noise)^2) = t sqrt(x'Cx + (q noise / t)^2).
        below = self._half_width(design, noise * (abs(low_end) / factor), factor)
        above = below if ends is None else self._half_width(design, noise * (abs(high_end) / factor), factor)
        return center - below, center + above

    def diagnostics(self, X: ArrayLike, y: ArrayLike, sigma: ArrayLike | None = None) -> Diagnostics:
        """Per-row diagnostics: residuals, weights, leverages, robust distances and the outlier map.

        The model does not keep its training data: pass the training rows to diagnose the fit,
        or other rows to see how the fit judges them.

        Parameters
        ----------
        X : array-like of shape (n,) or (n, ``n_features_in_``)
            The rows' inputs; their robust distances are taken among these rows.
        y : array-like of shape (n,)
            The rows' responses.
        sigma : array-like of shape (n,), float or None, default=None
            For a model fitted with ``sigma`` (and only then, where it is required), each row's
            error in the units of the training sigma: its residual is judged in units of it.

        Returns
        -------
        Diagnostics
            ``fitted``, ``residual``, ``std_residual``, ``weight``, ``leverage``, ``distance``
            and ``kind`` per row (see :class:`korva.Diagnostics`), and the cut-offs of the
            outlier map.

        Raises
        ------
        NotFittedError
            If the model has not been fitted.
        ValueError
            If X, y or sigma is invalid, their lengths differ, X's columns differ from those of
            ``fit``, or sigma is given to a model fitted without it or left out for one fitted
            with it.
        ImportError
            For several inputs without scikit-learn, whose minimum covariance determinant gives
            their robust distances (``pip install 'korva[diagnostics]'``).
        """
        self._check_fitted()
        self._check_feature_names(X)
        return diagnose(self, X, y, sigma)

    def _half_width(self, design: FloatArray, noise: FloatArray | None, factor: float) -> FloatArray:
        """factor * sqrt(x' cov_ x + noise^2) for each row x of the design, in y's units."""
        # In units of y's spread, where the variance of a y near the ends of float64 has room.
        determined, undetermined = inference.determined_part(self._cov_in_spread_)
        touches_undetermined = (design[:, undetermined] != 0.0).any(axis=1)
        with np.errstate(over="ignore", invalid="ignore"):
            variance = np.einsum("ij,jk,ik->i", design, determined, design)
            variance[touches_undetermined] = np.nan
            if noise is not None:
                variance = variance + noise * noise
            half: FloatArray = factor * np.sqrt(variance) * self._spread_
            # Far from the data the variance squares terms of the design that are in range:
            # its entries overflow (inf, or NaN where infinities cancel) or underflow where the
            # half-width does not. There it is taken again with each row scaled first.
            redo = ~touches_undetermined & ~((np.abs(variance) >= np.finfo(np.float64).tiny) & np.isfinite(variance))
            redo &= np.isfinite(design).all(axis=1) & (True if noise is None else np.isfinite(noise))
            if redo.any():
                noise_redone = None if noise is None else noise[redo]
                half[redo] = factor * inference.scaled_root(design[redo], determined, noise_redone, self._spread_)
            return half

    @property
    def _fitted_with_sigma(self) -> bool:
        # Models pickled before sigma existed were fitted without it.
        return bool(getattr(self, "_with_sigma_", False))

    def _fresh_noise(self, kind: str, sigma: ArrayLike | None, n_rows: int) -> FloatArray | None:
        """The spread of a new observation's error at each of ``n_rows`` rows in units of y's
        spread, for prediction intervals; None for the mean curve's."""
        if sigma is not None and not self._fitted_with_sigma:
            raise ValueError(
                "sigma gives the errors of new observations in the units of the training sigma, but this "
                "model was fitted without sigma: its noise_scale_ is the error of every new observation"
            )
        if sigma is not None and kind != "prediction":
            raise ValueError(
                f"sigma gives the errors of new observations, for kind='prediction'; kind={kind!r} is "
                "the interval of the mean curve, which no new error enters"
            )
        if kind != "prediction":
            return None
        if not self._fitted_with_sigma:
            return np.full(n_rows, self.noise_scale_ / self._spread_)
        if sigma is None:
            raise ValueError(
                "this model was fitted with sigma: a new observation's error is noise_scale_ times its own sigma; "
                "pass sigma= for the rows of X"
            )
        errors = _data.as_sigma(sigma, n_rows)
        assert errors is not None
        noise: FloatArray = errors * (self.noise_scale_ / self._spread_)
        return noise

    def conf_int(self, alpha: float = 0.05, units: str = "t") -> FloatArray:
        """Confidence intervals of the coefficients.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the coverage: 0.05 gives 95 % intervals.
        units : {"t", "x"}, default="t"
            ``"t"``: of ``coef_``, in the mapped inputs; ``"x"``: of ``coef_x_``, in the
            original inputs (from ``cov_x_``).

        Returns
        -------
        ndarray of shape (n_terms, 2)
            Lower and upper ends, the coefficient -+ t times its standard error, t the
            1 - alpha/2 quantile of Student's t with ``df_resid_`` degrees of freedom
            (NaN without any).

        Raises
        ------
        ValueError
            For ``units="x"`` when the basis has no form in x (``coef_x_`` is None).
        """
        check_alpha(alpha)
        if units not in ("t", "x"):
            raise ValueError(f'units must be "t" or "x", got {units!r}')
        self._check_fitted()
        if units == "t":
            return confidence_interval(self.coef_, self.bse_, self.df_resid_, alpha)
        if self.coef_x_ is None or self.bse_x_ is None:
            raise ValueError(
                "this basis has no coefficients in x (coef_x_ is None): it lacks terms that the "
                "change from t to x needs; use units='t'"
            )
        return confidence_interval(self.coef_x_, self.bse_x_, self.df_resid_, alpha)

    def get_feature_names_out(self, input_features: Sequence[str] | None = None) -> NDArray[np.object_]:
        """Display names of the terms, in the order of ``coef_`` and ``coef_x_``.

        Parameters
        ----------
        input_features : sequence of str, optional
            Names of the inputs; default ``feature_names_in_`` when the fit saw column
            names (which given names must then equal), else ``x`` for one input and
            ``x1``, ``x2``, ... for several.

        Returns
        -------
        ndarray of str objects
            ``"1"``, ``"x"``, ``"x^2"``, ``"x1 x2"``, ``"x1^2 x2"``, ...
        """
        self._check_fitted()
        fitted_names = getattr(self, "feature_names_in_", None)
        if input_features is None:
            names = list(fitted_names) if fitted_names is not None else input_names(self.n_features_in_)
        else:
            names = [str(name) for name in input_features]
            if len(names) != self.n_features_in_:
                raise ValueError(
                    f"input_features has {len(names)} names but the model has {self.n_features_in_} inputs"
                )
            # Other names than the columns fitted on would label the terms with the wrong inputs.
            if fitted_names is not None and names != list(fitted_names):
                raise ValueError(
                    f"input_features {names} are not the names of the columns fitted on, "
                    f"feature_names_in_ {list(fitted_names)}"
                )
        return np.asarray(term_names(self.multi_indices_, names), dtype=object)

    def summary(self, alpha: float = 0.05) -> Summary:
        """A report of the fit: what was fitted and how, and the coefficients with standard
        errors, t statistics, p-values and intervals.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the coverage of the intervals.

        Returns
        -------
        korva.inference.Summary
            ``str()`` of it is a plain-text report: the response and the inputs with their
            mapping onto [-1, 1], the method, its loss with its tuning, efficiency and
            breakdown point, the degree, the seed and korva's version, the rows used and
            flagged (by index label for a DataFrame X), ``scale_``, ``noise_scale_``, the
            degrees of freedom and the covariance and how they were taken, convergence and
            the condition number; then the coefficients in x (when ``coef_x_`` exists),
            printed with the digits that rebuild the curve to a hundredth of its standard
            error, and in the mapped inputs t, and the fit's warnings. Its attributes hold
            the same; ``to_frame()`` gives the tables as a pandas DataFrame (pandas needed),
            ``to_markdown()`` and ``to_latex()`` as Markdown and LaTeX tables.
        """
        check_alpha(alpha)
        self._check_fitted()
        return _model_summary.summary_of(self, alpha)

    def _core_positions(self) -> NDArray[np.intp]:
        # Models pickled before the terms were reordered hold them in the fit's own order.
        order = getattr(self, "_core_order_", None)
        return np.arange(len(self.coef_)) if order is None else order

    def _core_coef(self) -> FloatArray:
        """coef_ in the order of the fit's own terms, that of _design and _cov_in_spread_."""
        coef: FloatArray = self.coef_[self._core_positions()]
        return coef

    def _design(self, inputs: FloatArray) -> FloatArray:
        """The design at checked inputs, its columns in the order of the fit's own terms."""
        unit_columns = _data.unit_columns(inputs, self.x_min_, self.x_max_)
        return bases.design_matrix([self.multi_indices_[p] for p in self._core_positions()], unit_columns)

    def _inputs_in_range(self, X: ArrayLike, caller: str) -> FloatArray:
        """X checked, and its points beyond the training range by more than EXTRAPOLATION_SHARE of
        an input's span told of as ``extrapolation`` says: one FitWarning, or a ValueError."""
        _PARAMETER_CONSTRAINTS["extrapolation"].check("extrapolation", self.extrapolation)
        inputs, extremes = _data.inputs_and_extremes(X, self.n_features_in_)
        if self.extrapolation == "ignore":
            return inputs
        n_beyond, found = _data.beyond_range(inputs, extremes, self.x_min_, self.x_max_, EXTRAPOLATION_SHARE)
        if not n_beyond:
            return inputs
        fitted_names = getattr(self, "feature_names_in_", None)
        names = input_names(self.n_features_in_) if fitted_names is None else [str(n) for n in fitted_names]
        message = _extrapolation_message(caller, n_beyond, len(inputs), found, names, self.x_min_, self.x_max_)
        if self.extrapolation == "raise":
            raise ValueError(f"{message} Refused: extrapolation='raise'.")
        warnings.warn(message, FitWarning, stacklevel=3)
        return inputs

    def score(self, X: ArrayLike, y: ArrayLike) -> float:
        """The coefficient of determination R² of the predictions for X against y.

        This is scikit-learn's R² over every point, as every regressor's ``score`` is,
        so outliers in y weigh in with their squares and can rank a worse model first.
        To compare robust fits, e.g. in cross-validation, use ``scoring=robust_r2``
        (:func:`korva.robust_r2`).

        Parameters
        ----------
        X : array-like of shape (n_samples,) or (n_samples, n_features)
            The inputs.
        y : array-like of shape (n_samples,)
            The true targets.

        Returns
        -------
        float
            ``1 - sum (y - prediction)² / sum (y - mean(y))²``; for a constant y, 1 if
            the predictions are exact and 0 otherwise.

        Raises
        ------
        NotFittedError
            If the model has not been fitted.
        ValueError
            If X or y is invalid or their lengths differ.
        """
        prediction = self.predict(X)
        target = _data.as_target(y, len(prediction))
        residual_sum = float(np.sum((target - prediction) ** 2))
        total_sum = float(np.sum((target - target.mean()) ** 2))
        if total_sum == 0.0:  # a constant target: perfect or nothing, as scikit-learn has it
            return 1.0 if residual_sum == 0.0 else 0.0
        return 1.0 - residual_sum / total_sum

    # ------------------------------------------------------------ sharing

    def to_dict(self) -> dict[str, Any]:
        """The fitted model in plain JSON types, for :meth:`from_dict` to read back.

        The dict holds the constructor's parameters, the basis, each input's training range,
        the coefficients in t and in x, their covariances and errors, the scales, the degrees of
        freedom and everything else that ``predict``, ``predict_interval``, ``conf_int`` and
        ``summary`` read, under the keys listed in the user guide ("Sharing a fit"). Floats are
        kept exactly; one that is not finite is the string ``"nan"``, ``"inf"`` or ``"-inf"``,
        so that ``json.dumps(d, allow_nan=False)`` takes the dict.

        Returns
        -------
        dict
            Of lists, floats, ints, strings, booleans and None; ``"format"`` is ``"korva.fit"``,
            ``"schema_version"`` 1.

        Raises
        ------
        NotFittedError
            If the model has not been fitted.
        ValueError
            If a constructor parameter set since the fit is invalid.

        Notes
        -----
        A NumPy ``RandomState`` or ``Generator`` as ``random_state``, whose state JSON does not
        carry, is written as None; it matters only to the next fit.
        """
        return _sharing.to_dict(self)

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> PolynomialMDLRegressor:
        """The fitted model that :meth:`to_dict` wrote.

        Parameters
        ----------
        d : dict
            The dict of ``to_dict``, as it is or read back from JSON. Nothing in it is
            evaluated: every value is checked for its type and its shape, then converted.

        Returns
        -------
        PolynomialMDLRegressor
            A fitted model whose predictions, intervals and summary are those of the model
            written, to the last bit.

        Raises
        ------
        TypeError
            If d is not a dict.
        ValueError
            If ``"format"`` is not ``"korva.fit"``, ``"schema_version"`` is newer than this
            version of korva reads, or a key is missing, unknown, of the wrong type or of a
            shape that disagrees with the others (the message names the key).
        """
        return _sharing.from_dict(cls, d)

    def to_json(self) -> str:
        """:meth:`to_dict` as a JSON string (standard JSON: no NaN or Infinity tokens).

        Returns
        -------
        str
            ``json.dumps(self.to_dict(), allow_nan=False)``.
        """
        return json.dumps(self.to_dict(), allow_nan=False)

    @classmethod
    def from_json(cls, s: str) -> PolynomialMDLRegressor:
        """The fitted model of a JSON string from :meth:`to_json`.

        Parameters
        ----------
        s : str
            The JSON text.

        Returns
        -------
        PolynomialMDLRegressor
            As :meth:`from_dict` gives it.

        Raises
        ------
        TypeError
            If s is not a string.
        ValueError
            If s is not standard JSON (NaN and Infinity tokens included), or :meth:`from_dict`
            refuses what it holds.
        """
        if not isinstance(s, str):
            raise TypeError(f"from_json reads JSON text, a str, got {type(s).__name__}")
        try:
            d = json.loads(s, parse_constant=_refuse_json_constant)
        except RecursionError:
            raise ValueError("s nests its JSON arrays or objects deeper than Python's parser reaches") from None
        return cls.from_dict(d)

    def _check_fitted(self) -> None:
        if not self.__sklearn_is_fitted__():
            raise _not_fitted_error(
                f"This {type(self).__name__} instance is not fitted yet. "
                "Call 'fit' with appropriate arguments before using this estimator."
            )

    def _check_feature_names(self, X: Any) -> None:
        """Column names at prediction against those seen in ``fit``, as scikit-learn checks them."""
        fitted_names = getattr(self, "feature_names_in_", None)
        names = _data.feature_names(X)
        estimator = type(self).__name__
        if names is None and fitted_names is None:
            return
        if fitted_names is None:
            warnings.warn(
                f"X has feature names, but {estimator} was fitted without feature names",
                stacklevel=3,
            )
            return
        if names is None:
            warnings.warn(
                f"X does not have valid feature names, but {estimator} was fitted with feature names",
                stacklevel=3,
            )
            return
        if len(names) == len(fitted_names) and (names == fitted_names).all():
            return
        message = "The feature names should match those that were passed during fit.\n"
        unseen = sorted(set(names) - set(fitted_names))
        missing = sorted(set(fitted_names) - set(names))
        for title, listed in (
            ("Feature names unseen at fit time:\n", unseen),
            ("Feature names seen at fit time, yet now missing:\n", missing),
        ):
            if listed:
                message += title + "".join(f"- {name}\n" for name in listed[:5])
                message += "- ...\n" if len(listed) > 5 else ""
        if not unseen and not missing:
            message += "Feature names must be in the same order as they were in fit.\n"
        raise ValueError(message)


# ---------------------------------------------------------------- helpers


def _constructor_defaults(cls: type[PolynomialMDLRegressor]) -> tuple[tuple[str, Any], ...]:
    """A class's constructor parameters and their defaults, read once: reading a signature
    took a tenth of a small fit's time, asked for three times in each."""
    if cls not in _DEFAULTS:
        parameters = list(inspect.signature(cls.__init__).parameters.values())[1:]
        _DEFAULTS[cls] = tuple((p.name, p.default) for p in parameters)
    return _DEFAULTS[cls]


_DEFAULTS: dict[type[PolynomialMDLRegressor], tuple[tuple[str, Any], ...]] = {}


def _is_fitted_name(name: str) -> bool:
    return name.endswith("_") and not name.startswith("__")


# The choices of ``extrapolation``, and how far beyond an input's training range, in shares of
# its span, a point is told of. New points from the training design rarely land beyond 5 %
# (0.4 % of uniform draws from 50 training points, 4 % from 20), where a cubic's confidence band
# is already 1.4 times as wide as at the edge (a line's 1.08, degree 5's 2.3).
EXTRAPOLATION = ("warn", "ignore", "raise")
EXTRAPOLATION_SHARE = 0.05

# Every constructor parameter's constraint, checked in this order by fit.
_PARAMETER_CONSTRAINTS: dict[str, Constraint] = {
    "method": OneOf(METHODS),
    "n_chains": Count(1),
    "n_warmup": Count(0),
    "n_deep": Count(0),
    "n_elite": Count(1),
    "H": Count(1),
    "max_search_samples": Count(1),
    "n_grid": Count(2, none_allowed=True),
    "max_degree": Count(0, none_allowed=True),
    "gamma1": Real(),
    "gamma2": Real(),
    "step_size": Real(above_zero=True),
    "outlier_threshold": Real(above_zero=True),
    "refit": Flag(),
    "absolute_sigma": Flag(),
    "cov_type": OneOf(COV_TYPES),
    "extrapolation": OneOf(EXTRAPOLATION),
    "random_state": Seed(),
    "degree": AgainstData(),
    "basis": AgainstData(),
}


def _flagged_labels(row_labels: Any, inliers: NDArray[np.bool_]) -> list[Any] | None:
    """The index labels of the first rows flagged, FLAGGED_ROWS_LISTED at most; None where the
    rows have no labels but their positions."""
    if row_labels is None:
        return None
    return list(row_labels[np.flatnonzero(~inliers)[:FLAGGED_ROWS_LISTED]].tolist())


# The fitted attributes with one entry per term, and those with a row and a column per term.
_PER_TERM = ("coef_", "bse_", "coef_x_", "bse_x_")
_PER_TERM_PAIR = ("cov_", "cov_x_")


def _in_order(attributes: dict[str, Any], order: NDArray[np.intp]) -> dict[str, Any]:
    """The fitted attributes with their terms taken in ``order``; the rest (the covariance in
    units of y's spread, which intervals read beside the design) as they are."""
    ordered = dict(attributes)
    for name in _PER_TERM:
        if ordered.get(name) is not None:
            ordered[name] = ordered[name][order]
    for name in _PER_TERM_PAIR:
        if ordered.get(name) is not None:
            ordered[name] = ordered[name][np.ix_(order, order)]
    return ordered


def _ols_has_no_penalties(params: Mapping[str, Any]) -> None:
    gamma1, gamma2 = params["gamma1"], params["gamma2"]
    if params["method"] == "ols" and (gamma1 != 0 or gamma2 != 0):
        raise ValueError(
            f"method='ols' fits without penalties, but gamma1 = {gamma1!r} and gamma2 = "
            f"{gamma2!r}; set both to 0 or use method='penalized'"
        )


def _extrapolation_message(
    caller: str,
    n_beyond: int,
    n_points: int,
    found: list[_data.Beyond],
    names: list[str],
    x_min: FloatArray,
    x_max: FloatArray,
) -> str:
    parts = []
    for beyond in found:
        j = beyond.column
        points = f"{beyond.count} point{'s' if beyond.count != 1 else ''}"
        if x_min[j] == x_max[j]:
            parts.append(f"{names[j]}, which took the one value {x_min[j]:.6g} in training ({points} at others)")
        else:
            reach = f"up to {beyond.distance:.3g} span{'s' if beyond.distance != 1.0 else ''} beyond"
            parts.append(f"{names[j]}, from {x_min[j]:.6g} to {x_max[j]:.6g} in training ({points}, {reach})")
    share = f"{EXTRAPOLATION_SHARE:.0%}".replace("%", " %")
    return (
        f"{caller}: {n_beyond} of {n_points} point{'s' if n_points != 1 else ''} {'lies' if n_beyond == 1 else 'lie'} "
        "beyond the training range "
        f"by more than {share} of its span, in {'; '.join(parts)}. There the curve is the polynomial carried past "
        "its data, and the intervals are the model's own: they assume that the polynomial holds out there."
    )


def _refuse_json_constant(token: str) -> Any:
    raise ValueError(f'a korva fit in JSON writes {token} as a string ("nan", "inf", "-inf"), not as {token}')
