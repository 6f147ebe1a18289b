"""The fitting stage: from the checked data to one fitted result.

``fit(settings, data)`` is the whole of it. ``Settings`` are the estimator's parameters, taken
once; the candidates are the bases to fit, each checked against the samples and the memory
before it is built; the data stage (korva._data) standardises y into a ``Problem``; each
method has its function (the exact solve, least squares, penalised least squares, the search
and the robust stages of korva.robust); ``degree="auto"`` screens its candidates and chooses by
description length; last come the uncertainty (korva.inference), the flags of the rows of
weight 0 and the warnings. The ``FitResult`` it returns holds every fitted attribute, in y's
units, for the estimator to commit at once. Nothing here reads or writes the estimator.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

import korva_core
from korva import _data, _memory, _scoring, bases, diagnostics, inference, losses, robust
from korva._data import MAX_COUNT, FloatArray, is_int
from korva._sampler import HIT_TOLERANCE
from korva.bases import MultiIndices, Penalties
from korva.summary import input_names

METHODS = ("mcmc", "penalized", "ols")
# The estimator's parameters that its predictions read and no fit does.
PREDICTION_PARAMETERS = ("extrapolation",)
# The covariances a fit gives: one spread for every row, or each row's own.
COV_TYPES = ("model", "hc")

# Rows of weight 0 are judged against the fit this many at a time.
ABSENT_BLOCK_ROWS = 1 << 16

# The random stream of the elemental starts, apart from the subsample's (stream 0), and that
# of the screening fits of degree="auto".
ELEMENTAL_STREAM = 1
SCREENING_STREAM = 2

# The polynomial in x may lose to rounding, over the training range, up to the residual scale,
# or (for a fit without noise) a thousand times what the form in t loses; beyond both, the fit
# warns.
X_ROUNDING_FACTOR = 1000.0

# A row within this many of a candidate's scales is its inlier when the candidates agree on
# the coding unit of degree="auto"; a normal truncated there keeps TRUNCATED_SD of its sd.
AGREED_INLIER_CUT = 2.5
_CUT_DENSITY = math.exp(-(AGREED_INLIER_CUT**2) / 2.0) / math.sqrt(2.0 * math.pi)
TRUNCATED_SD = math.sqrt(1.0 - 2.0 * AGREED_INLIER_CUT * _CUT_DENSITY / math.erf(AGREED_INLIER_CUT / math.sqrt(2.0)))
# A residual scale at most this, in units of y's robust spread, is rounding: the fit goes
# through the points.
ROUNDING_SCALE = 1e-9
# The rows a fit does not flag span at least this share of each input's training range, or a
# FitWarning says that flagged rows beyond them set the mapping (a single x = 100 over data in
# [-1, 1]: 2 %).
NARROW_SHARE = 0.1

# Fits of at most this many rows look for a row that alone decides part of the fit.
DECISIVE_CHECK_ROWS = 20_000

# degree="auto" with max_degree=None tries degrees up to these.
AUTO_MAX_DEGREE_1D = 6
AUTO_MAX_DEGREE_ND = 3
# degree="auto" tries no degree above this: each degree tried costs a fit, and monomials of
# higher degree on [-1, 1] are too ill-conditioned to be worth one (the condition number of
# the design passes 1e11 at degree 30).
AUTO_DEGREE_LIMIT = 30


@dataclass(frozen=True)
class GibbsStatistics:
    """The sampler's summary of its warm-up energies at temperature ``T``.

    A plain copy of ``korva_core.GibbsResult``, so that fitted models pickle.
    ``H`` is the Gibbs entropy, ``Hmax`` its largest possible value, ``He = H / Hmax``,
    ``r_heat = 0.01 + 0.99 He``, half of which is the temperature at which the sampler's
    refinement phase starts, and ``var_E`` the variance of the energies.
    """

    H: float
    Hmax: float
    He: float
    r_heat: float
    var_E: float
    T: float

    @classmethod
    def from_core(cls, result: korva_core.GibbsResult) -> GibbsStatistics:
        return cls(result.H, result.Hmax, result.He, result.r_heat, result.var_E, result.T)


@dataclass(frozen=True)
class Candidate:
    """One basis to fit: the degree it stands for and its exponent vectors."""

    degree: int | list[int]
    indices: MultiIndices


@dataclass(frozen=True)
class BasisFit:
    """A basis fitted in standardised units: what the choice of degree and the fitted
    attributes need. Its estimate keeps its residuals, and the design is kept, only when
    there is no choice to make (with several candidates only the chosen one's are formed
    again)."""

    candidate: Candidate
    estimate: robust.Estimate
    penalties: Penalties | None
    gibbs: GibbsStatistics | None
    design: bases.Design | None
    screened: bool = False  # a screening fit of degree="auto", not the fit of the degree fixed

    @classmethod
    def of_robust_stages(
        cls,
        candidate: Candidate,
        estimate: robust.Estimate,
        penalties: Penalties | None,
        gibbs: GibbsStatistics | None,
        design: bases.Design | None,
    ) -> BasisFit:
        """The robust stages' fit; a screening fit when it comes without the search's statistics.
        The residuals stay with the design, and only with it."""
        kept = estimate if design is not None else replace(estimate, residuals=None)
        return cls(candidate, kept, penalties, gibbs, design, screened=gibbs is None)


@dataclass(frozen=True)
class Settings:
    """The estimator's parameters as one fit uses them, checked by the estimator's table."""

    degree: Any
    gamma1: float
    gamma2: float
    method: str
    n_chains: int
    n_warmup: int
    n_deep: int
    n_elite: int
    step_size: float
    H: int
    random_state: Any
    n_grid: int | None
    refit: bool
    basis: Any
    max_degree: int | None
    outlier_threshold: float
    max_search_samples: int
    absolute_sigma: bool = False
    cov_type: str = "model"

    @classmethod
    def of(cls, params: Mapping[str, Any]) -> Settings:
        """The settings of the estimator's parameters ``params``, less those that only its
        predictions read."""
        return cls(**{name: value for name, value in params.items() if name not in PREDICTION_PARAMETERS})

    @property
    def uses_search(self) -> bool:
        """The robust method: the search, then (with ``refit``) the robust stages."""
        return self.method == "mcmc"

    @property
    def robust_stages(self) -> bool:
        """Whether the fit ends in the robust stages of korva.robust."""
        return self.uses_search and bool(self.refit)


@dataclass(frozen=True)
class FitResult:
    """Everything a fit found, in y's units: the fitted attributes that the estimator commits."""

    coef: FloatArray
    candidate: Candidate
    mdl_path: dict[int | tuple[int, ...], float]
    scale: float
    inliers: NDArray[np.bool_]
    mdl: float
    hit_rate: float
    tolerance: float
    gibbs: GibbsStatistics | None
    n_starts: int
    x_min: FloatArray
    x_max: FloatArray
    warnings: list[str]
    uncertainty: inference.Uncertainty
    polynomial: np.polynomial.Polynomial | None
    weighing: diagnostics.Weighing
    # Renaud and Victoria-Feser's robust R² on the rows fitted, and its adjusted form.
    r2: float
    r2_adjusted: float
    with_sigma: bool = False
    # Whether the final bisquare reweighting settled (robust.has_settled); None for a fit that
    # ends in no reweighting.
    converged: bool | None = None
    seed: int = 0  # the seed the fit drew from random_state


def fit(settings: Settings, data: _data.Data) -> FitResult:
    """The fit of ``data``'s rows under ``settings``: candidates, the standardised problem, the
    fit of each method and the degree choice, then everything the fitted attributes need."""
    n_inputs = data.n_inputs
    check_known_errors(settings.cov_type, settings.absolute_sigma, data.sigma is not None)
    # The bases and the memory of their fit are checked before any array as long as the data is made.
    extent = _memory.FitRows(data.n_samples, len(data.inputs) - data.n_samples, data.weights is not None)
    candidates = bases_to_fit(settings, n_inputs, data.counted, extent)
    # Without a constant term the fit cannot absorb a shift, so y is only scaled.
    problem = _data.standardized(data, has_constant=any(not any(m) for m in candidates[0].indices))
    points = bases.Points(_data.unit_columns(problem.inputs, problem.x_min, problem.x_max), problem.row_scale)
    seed = draw_seed(settings.random_state)
    search_rows = _search_rows(settings, data.n_samples, seed)
    standardized, weights, spread = problem.standardized, problem.weights, problem.spread
    # Scales of the standardised problem times this are in y's units, or in sigma's.
    unit = problem.residual_unit
    # Errors taken as known: the error of the standardised problem's rows.
    known_scale = 1.0 / unit if settings.absolute_sigma and problem.sigma is not None else None
    if len(candidates) == 1:
        # A stored design holds all that the fit needs of the inputs, and a formed one
        # keeps them: their mapped copy goes before the fit's own arrays come.
        design = _fit_design(settings, candidates[0].indices, points, search_rows)
        del points
        chosen = _fit_basis(
            settings, candidates[0], design, standardized, search_rows, seed, weights, True, known_scale
        )
        mdl_path: dict[int | tuple[int, ...], float] = {}
        del design
    else:
        chosen, mdl_path = _fit_candidates(
            settings, candidates, points, standardized, search_rows, seed, weights, known_scale
        )

    estimate = chosen.estimate
    beta, fitted = estimate.beta, estimate.fitted
    constant = [p for p, m in enumerate(chosen.candidate.indices) if not any(m)]
    with np.errstate(over="ignore", invalid="ignore"):
        coef = beta * spread
        if constant:
            coef[constant[0]] += problem.center
        scale = estimate.scale * unit
    if not (np.isfinite(coef).all() and math.isfinite(scale)):
        raise ValueError(_non_finite_cause(problem.target, spread, data.n_samples))
    design = (
        chosen.design
        if chosen.design is not None
        else _fit_design(settings, chosen.candidate.indices, points, search_rows)
    )
    residuals = estimate.residuals if estimate.residuals is not None else standardized - fitted
    uncertainty = inference.uncertainty(
        inference.FitPieces(
            design,
            residuals,
            estimate,
            problem.weights,
            spread,
            coef,
            chosen.candidate.indices,
            problem.x_min,
            problem.x_max,
            unit,
            known_scale,
            settings.cov_type,
        )
    )
    # Every error NaN: the design may be singular, or the fit has no freedom left.
    undetermined = np.isnan(np.diag(uncertainty.cov_in_spread)).all() and inference.singular_design(design, weights)
    interpolation = _interpolates(len(beta), problem.target, weights)
    names = input_names(n_inputs) if data.feature_names is None else [str(n) for n in data.feature_names]
    trend = None
    # The robust fit's rows in use, whose size is its errors' (least squares' residuals also
    # carry the outliers' pull), and only above rounding, whose size grows with y's.
    fitted_to_rounding = chosen.estimate.scale <= ROUNDING_SCALE
    # A penalised fit's residuals carry the penalty's pull towards the edges by design.
    robust_fit = estimate.tuning is not None and settings.robust_stages and estimate.penalty is None
    if robust_fit and not (undetermined or fitted_to_rounding or interpolation):
        # Rows to the MM step's cut-off, the rows the fit uses: the inliers alone would leave
        # out the noisiest rows, which show the trend best.
        limit = losses.MM_TUNING * chosen.estimate.fixed_scale
        trend = inference.spread_trend(design, residuals, fitted, problem.inputs, limit, weights, names)
    flag_scale = chosen.estimate.scale if known_scale is None else known_scale
    weighing = diagnostics.weighing(design, residuals, estimate, weights, unit, flag_scale, problem.sigma_unit)
    decisive = np.zeros(0, dtype=np.intp)
    # Each row's leverage costs a pass of k^2 per row over the design, more than the fit's own
    # passes on large data (0.23 s at 1e6 rows of 10 terms), where one row alone rarely decides.
    if not (undetermined or interpolation) and len(problem.target) <= DECISIVE_CHECK_ROWS:
        decisive = inference.decisive_rows(
            design, weighing.weights(residuals * unit), weights, weighing.active, weighing.gram_inverse
        )
    # The design goes before the last passes over the rows: on large data the peak
    # memory of a fit would be here. The residuals are ours alone from here on.
    del design
    has_constant = any(not any(m) for m in chosen.candidate.indices)
    r2_scale = _scoring.r2_scale(uncertainty.noise_scale / unit, estimate.scale)
    r2, r2_adjusted = _scoring.fit_r2(
        standardized, residuals, problem.row_scale, weights, r2_scale, estimate.tuning, len(beta), has_constant
    )
    chosen = replace(chosen, design=None, estimate=replace(estimate, residuals=None))
    del estimate
    warnings = _fragility(settings, candidates, chosen, search_rows, problem.active, unit, n_inputs)
    if undetermined:
        warnings.append(_undetermined(len(beta), problem.inputs))
    elif decisive.size:
        warnings.append(_decided_by_rows(decisive if problem.active is None else problem.active[decisive]))
    constant = [j for j in range(n_inputs) if problem.x_min[j] == problem.x_max[j]]
    if constant and not undetermined and any(m[j] for m in chosen.candidate.indices for j in constant):
        warnings.append(_constant_inputs([names[j] for j in constant], problem.x_min[constant]))
    if uncertainty.coef_x is not None:
        rounding = inference.rounding_in_x(chosen.candidate.indices, uncertainty.coef_x, problem.x_min, problem.x_max)
        rounding_in_t = float(np.finfo(np.float64).eps * np.abs(coef).sum())
        if not rounding <= max(scale, X_ROUNDING_FACTOR * rounding_in_t):
            warnings.append(_cancelling_in_x(rounding, scale))
    if known_scale is not None and not inference.noise_agrees(uncertainty.measured_noise, uncertainty.df_measured):
        warnings.append(_stated_errors_disagree(uncertainty.measured_noise))
    if trend is not None:
        warnings.append(_spread_varies(trend, settings.cov_type, problem.sigma is not None))
    inliers = np.abs(residuals, out=residuals) <= settings.outlier_threshold * flag_scale
    del residuals
    if interpolation:
        # The fit goes through every point it counts: no residual is left to measure a
        # scale by, so no point can be told an outlier.
        inliers[:] = True
    narrow = _narrow_inputs(problem, inliers, chosen.candidate.indices, names)
    if narrow is not None:
        warnings.append(narrow)
    if problem.active is not None:
        inliers = _with_absent_rows(
            settings, data, problem, chosen.candidate, coef, flag_scale * unit, inliers, interpolation
        )
    coef_x = uncertainty.coef_x
    return FitResult(
        coef=coef,
        candidate=chosen.candidate,
        mdl_path=mdl_path,
        scale=scale,
        inliers=inliers,
        mdl=_mdl_score(settings, fitted, standardized, beta, chosen.penalties),
        hit_rate=korva_core.compute_sr(fitted, standardized, HIT_TOLERANCE),
        tolerance=HIT_TOLERANCE * unit,
        gibbs=chosen.gibbs,
        n_starts=chosen.estimate.n_starts,
        x_min=problem.x_min,
        x_max=problem.x_max,
        warnings=warnings,
        uncertainty=uncertainty,
        polynomial=polynomial_in_x(chosen.candidate.indices, coef_x) if n_inputs == 1 and coef_x is not None else None,
        weighing=weighing,
        with_sigma=problem.sigma is not None,
        r2=r2,
        r2_adjusted=r2_adjusted,
        converged=chosen.estimate.converged,
        seed=seed,
    )


def check_known_errors(cov_type: str, absolute_sigma: Any, with_sigma: bool) -> None:
    """Refuse a covariance of each row's own spread for errors taken as known."""
    if cov_type == "hc" and absolute_sigma and with_sigma:
        raise ValueError(
            "cov_type='hc' measures each row's spread by its residual, but absolute_sigma=True takes the "
            "errors sigma as known; use cov_type='model' with known errors, or absolute_sigma=False"
        )


def _with_absent_rows(
    settings: Settings,
    data: _data.Data,
    problem: _data.Problem,
    candidate: Candidate,
    coef: FloatArray,
    scale: float,
    inliers: NDArray[np.bool_],
    interpolation: bool,
) -> NDArray[np.bool_]:
    """The flags of every row: those of the rows fitted, and of the rows of weight 0 against the
    fit, at ``scale`` in y's units, or in each row's sigma where the errors are known."""
    assert problem.active is not None and data.weights is not None
    all_inliers = np.empty(len(data.inputs), dtype=bool)
    all_inliers[problem.active] = inliers
    absent = np.flatnonzero(data.weights == 0.0)
    if interpolation:
        all_inliers[absent] = True
        return all_inliers
    # A block of rows at a time: the absent rows' design would be k times their inputs.
    for start in range(0, len(absent), ABSENT_BLOCK_ROWS):
        rows = absent[start : start + ABSENT_BLOCK_ROWS]
        units = _data.unit_columns(data.inputs[rows], problem.x_min, problem.x_max)
        fitted_rows = bases.design_matrix(candidate.indices, units) @ coef
        limit = settings.outlier_threshold * scale
        all_inliers[rows] = np.abs(data.target[rows] - fitted_rows) <= (
            limit if data.sigma is None else limit * data.sigma[rows]
        )
    return all_inliers


def _fragility(
    settings: Settings,
    candidates: list[Candidate],
    chosen: BasisFit,
    search_rows: NDArray[np.intp] | None,
    active: NDArray[np.intp] | None,
    unit: float,
    n_inputs: int,
) -> list[str]:
    """Why the fit may be fragile, as warning messages: a degree choice that stopped at
    the highest degree tried, and another start nearly as good that flags other rows."""
    messages = []
    if len(candidates) > 1 and chosen.candidate is candidates[-1]:
        top = _auto_max_degree(settings, n_inputs)
        highest = chosen.candidate.degree
        at_top = (max(highest) if isinstance(highest, list) else highest) == top
        why = f"max_degree={top}" if at_top else "the largest basis with at most half as many terms as samples"
        messages.append(
            f'degree="auto" chose degree {chosen.candidate.degree!r}, the highest it tried ({why}): a higher '
            "degree may describe the data better. Raise max_degree if there are samples enough, or check "
            "whether a polynomial suits the data."
        )
    rival = chosen.estimate.rival
    if rival is not None:

        def training_rows(rows: NDArray[np.intp]) -> str:
            rows = rows if search_rows is None else search_rows[rows]
            rows = rows if active is None else active[rows]
            listed = ", ".join(str(row) for row in rows[:10]) + (", ..." if len(rows) > 10 else "")
            return f"[{listed}]" if len(rows) else "none"

        messages.append(
            "two fits explain the data almost equally well yet flag different rows: the chosen one "
            f"(start scale {rival.chosen_scale * unit:.4g}) flags rows {training_rows(rival.chosen_flagged)}, "
            f"another (start scale {rival.scale * unit:.4g}) flags rows {training_rows(rival.flagged)} (rows "
            "count from 0). Check those rows; more data, or a fixed degree, may settle which fit is right."
        )
    return messages


def bases_to_fit(
    settings: Settings, n_inputs: int, n_samples: int, rows: _memory.FitRows | None = None
) -> list[Candidate]:
    """The bases to fit, each checked against the number of samples (rows of integer weight w
    count w times) and the memory of its fit on ``rows`` (None: one a sample, unweighted)
    before it is built."""
    rows = _memory.FitRows(n_samples, 0, False) if rows is None else rows
    if not isinstance(settings.basis, str):
        if isinstance(settings.degree, str) and settings.degree == "auto":
            raise ValueError('degree="auto" needs basis="total" or "tensor", not a list of terms')
        indices = listed_basis(settings.basis, n_inputs)
        _check_size(len(indices), n_samples, "the listed basis")
        powers = (
            0
            if bases.is_contiguous_1d(indices)
            else sum(len({m[i] for m in indices} - {0, 1}) for i in range(n_inputs))
        )
        _memory.check(settings, len(indices), 1, powers, n_inputs, rows, "the listed basis")
        return [Candidate(max(sum(m) for m in indices), indices)]
    if settings.basis not in bases.BASES:
        raise ValueError(f"basis must be 'total', 'tensor' or a list of exponent vectors, got {settings.basis!r}")
    if isinstance(settings.degree, str) and settings.degree == "auto":
        return _auto_candidates(settings, n_inputs, n_samples, rows)
    degrees = validated_degrees(settings, n_inputs)
    what = f"the {settings.basis} basis of degree {settings.degree!r} in {n_inputs} input(s)"
    if settings.basis == "total" and len(set(degrees)) > 1 and max(degrees) >= n_samples:
        # Counting takes time in proportion to the largest degree; its powers alone
        # are too many.
        _check_size(max(degrees) + 1, n_samples, what, at_least=True)
    n_terms = bases.count_terms(settings.basis, degrees)
    _check_size(n_terms, n_samples, what)
    _memory.check(settings, n_terms, 1, _power_columns(degrees), n_inputs, rows, what)
    per_input = not is_int(settings.degree) or (settings.basis == "tensor" and n_inputs > 1)
    degree = degrees if per_input else degrees[0]
    return [Candidate(degree, bases.multi_indices(settings.basis, degrees))]


def _auto_candidates(settings: Settings, n_inputs: int, n_samples: int, rows: _memory.FitRows) -> list[Candidate]:
    basis = str(settings.basis)
    top = _auto_max_degree(settings, n_inputs)
    tried = []
    # Stops one past the limit, so that a huge max_degree costs no time to refuse.
    for d in range(min(top, AUTO_DEGREE_LIMIT + 1) + 1):
        # A robust fit needs at least twice as many points as terms; degree 0 always runs.
        too_many = d + 1 > n_samples or 2 * bases.count_terms(basis, [d] * n_inputs) > n_samples
        if d > 0 and too_many:
            break
        tried.append(d)
    if tried[-1] > AUTO_DEGREE_LIMIT:
        raise ValueError(
            f'degree="auto" tries degrees up to {AUTO_DEGREE_LIMIT}, but max_degree = {top} on '
            f"{n_samples} samples would go past it; set max_degree to {AUTO_DEGREE_LIMIT} or less"
        )
    largest = tried[-1]
    what = f'the {basis} basis of degree {largest} in {n_inputs} input(s), the largest degree="auto" tries,'
    n_terms = bases.count_terms(basis, [largest] * n_inputs)
    _check_size(n_terms, n_samples, what)
    _memory.check(settings, n_terms, len(tried), _power_columns([largest] * n_inputs), n_inputs, rows, what)
    candidates = []
    for d in tried:
        degree: int | list[int] = [d] * n_inputs if basis == "tensor" and n_inputs > 1 else d
        candidates.append(Candidate(degree, bases.multi_indices(basis, [d] * n_inputs)))
    return candidates


def _auto_max_degree(settings: Settings, n_inputs: int) -> int:
    if settings.max_degree is not None:
        return int(settings.max_degree)
    return AUTO_MAX_DEGREE_1D if n_inputs == 1 else AUTO_MAX_DEGREE_ND


def validated_degrees(settings: Settings, n_inputs: int) -> list[int]:
    degree = settings.degree
    if is_int(degree):
        degrees = [int(degree)] * n_inputs
    elif isinstance(degree, Sequence | np.ndarray) and not isinstance(degree, str) and all(is_int(d) for d in degree):
        degrees = [int(d) for d in degree]
        if len(degrees) != n_inputs:
            raise ValueError(f"degree lists {len(degrees)} degrees but X has {n_inputs} input columns")
    else:
        raise ValueError(f'degree must be an int, one int per input column or "auto", got {degree!r}')
    if min(degrees) < 0:
        raise ValueError(f"degree must be 0 or more, got {degree!r}")
    return degrees


# ------------------------------------------------------------ one basis


def _fit_candidates(
    settings: Settings,
    candidates: list[Candidate],
    points: bases.Points,
    target: FloatArray,
    search_rows: NDArray[np.intp] | None,
    seed: int,
    weights: FloatArray | None,
    known_scale: float | None = None,
) -> tuple[BasisFit, dict[int | tuple[int, ...], float]]:
    """The chosen candidate's fit and the description lengths of all (see choose_degree).

    The robust fit sizes up every candidate with a screening fit (robust.screening_fit:
    no search, fewer rows for the elemental subsets, the previous degree's inliers as a
    start), then fits the one with the shortest description length as if its degree
    were fixed, and again whichever candidate wins after that, until a fully fitted one
    wins: the fit chosen is always the fixed degree's own.
    """
    fits: list[BasisFit] = []
    if not settings.robust_stages:
        for candidate in candidates:
            design = points.design(candidate.indices)
            fits.append(_fit_basis(settings, candidate, design, target, search_rows, seed, weights, False, known_scale))
        return choose_degree(fits, target, weights)
    # Each screening fit starts also from the inliers of the degree before.
    neighbour = None
    for candidate in candidates:
        penalties, least_squares = _least_squares(settings, candidate, len(target), search_rows)
        neighbour = robust.screening_fit(
            _fit_design(settings, candidate.indices, points, search_rows),
            target,
            least_squares,
            np.random.default_rng([seed, SCREENING_STREAM]),
            search_rows=search_rows,
            weights=weights,
            neighbour=neighbour,
        )
        fits.append(BasisFit.of_robust_stages(candidate, neighbour, penalties, None, None))
    while True:
        chosen, path = choose_degree(fits, target, weights)
        if not chosen.screened:
            return chosen, path
        at = next(i for i, fit in enumerate(fits) if fit is chosen)
        chosen_design = _fit_design(settings, chosen.candidate.indices, points, search_rows)
        fits[at] = _fit_basis(
            settings, chosen.candidate, chosen_design, target, search_rows, seed, weights, False, known_scale
        )


def _fit_design(
    settings: Settings, indices: MultiIndices, points: bases.Points, search_rows: NDArray[np.intp] | None
) -> bases.Design:
    """A basis's design: on large data, where the search runs on a subsample, the robust
    finish reads it formed a few rows at a time (bases.design_for_robust_fit); stored for
    every other fit, whose solves read it whole."""
    if search_rows is not None and settings.robust_stages:
        return points.robust_design(indices)
    return points.design(indices)


def _least_squares(
    settings: Settings, candidate: Candidate, n_samples: int, search_rows: NDArray[np.intp] | None
) -> tuple[Penalties | None, robust.LeastSquares]:
    """A candidate's penalty matrices and least-squares solver."""
    indices = candidate.indices
    if search_rows is not None and len(search_rows) < len(indices):
        raise ValueError(
            f"max_search_samples = {settings.max_search_samples} is fewer than the {len(indices)} terms of the basis"
        )
    penalties = _penalties(settings, indices, n_samples)
    R1, R2 = penalties if penalties is not None else (None, None)
    return penalties, robust.LeastSquares(R1, R2, float(settings.gamma1), float(settings.gamma2))


@dataclass(frozen=True)
class _OneBasis:
    """A basis to fit and what its fit reads: its design, y standardised, the counting
    weights, the rows the search runs on, its penalty matrices and its solver, the
    bisquare cut-off of the method's covariance (None: that of least squares) and the
    errors' scale where they are known."""

    candidate: Candidate
    design: bases.Design
    target: FloatArray
    weights: FloatArray | None
    search_rows: NDArray[np.intp] | None
    penalties: Penalties | None
    least_squares: robust.LeastSquares
    tuning: float | None
    keep_design: bool
    known_scale: float | None = None

    def finished(self, full: FloatArray, beta: FloatArray, gibbs: GibbsStatistics | None = None) -> BasisFit:
        """The fit of coefficients that no robust stage follows: their residuals' M-scale,
        which their covariance takes as its fixed scale (with the search's own coefficients,
        refit=False, that of a bisquare fit at that scale: a guide)."""
        fitted = full @ beta
        residuals = self.target - fitted
        floor = robust.scale_floor(full, self.target, beta)
        scale = max(robust.residual_scale(residuals, 0.0, self.weights, len(beta)), floor)
        penalty = robust.final_penalty(self.least_squares, len(beta), residuals, scale, self.tuning, self.weights)
        n_starts = 0 if gibbs is None else 1
        kept, kept_residuals = (self.design, residuals) if self.keep_design else (None, None)
        estimate = robust.Estimate(beta, scale, fitted, n_starts, None, scale, self.tuning, penalty, kept_residuals)
        return BasisFit(self.candidate, estimate, self.penalties, gibbs, kept)


def _fit_basis(
    settings: Settings,
    candidate: Candidate,
    design: bases.Design,
    target: FloatArray,
    search_rows: NDArray[np.intp] | None,
    seed: int,
    weights: FloatArray | None,
    keep_design: bool,
    known_scale: float | None = None,
) -> BasisFit:
    """One basis fitted by the settings' method; ``known_scale``, the errors' scale where they are known."""
    penalties, least_squares = _least_squares(settings, candidate, len(target), search_rows)
    # The search's method takes the covariance of the bisquare fit, whether or not it ends in one.
    tuning = losses.MM_TUNING if settings.uses_search else None
    one = _OneBasis(
        candidate, design, target, weights, search_rows, penalties, least_squares, tuning, keep_design, known_scale
    )
    n_terms = len(candidate.indices)
    if _interpolates(n_terms, target, weights) and not least_squares.penalty(n_terms).any():
        return _fit_exact(settings, one, seed)
    return _METHOD_FITS[settings.method](settings, one, seed)


def _fit_exact(settings: Settings, one: _OneBasis, seed: int) -> BasisFit:
    """As many samples as terms: every method goes through every point, and no robust step
    has a residual to judge by. The exact solve by the SVD, whose rounding grows with the
    design's condition number, where the normal equations of the weighted solves square it
    (a degree-20 interpolation missed by 1e-2)."""
    full = bases.stored(one.design)
    return one.finished(full, korva_core.ols(full, one.target))


def _fit_least_squares(settings: Settings, one: _OneBasis, seed: int) -> BasisFit:
    full = bases.stored(one.design)
    if one.weights is None:
        return one.finished(full, korva_core.ols(full, one.target))
    return one.finished(full, one.least_squares.weighted(full, one.target, one.weights))


def _fit_penalized(settings: Settings, one: _OneBasis, seed: int) -> BasisFit:
    full = bases.stored(one.design)
    least_squares, target, weights = one.least_squares, one.target, one.weights
    return one.finished(full, least_squares.refine(full, target, least_squares.fit(full, target, weights), weights))


def _fit_robust(settings: Settings, one: _OneBasis, seed: int) -> BasisFit:
    """The MDL search on the searched rows, then (with refit) the robust stages over every row.
    Only the robust stages read a design formed where it is read; the rest a stored one."""
    design, target, search_rows, least_squares = one.design, one.target, one.search_rows, one.least_squares
    search_design = bases.stored(design) if search_rows is None else np.asfortranarray(design[search_rows])
    search_target = target if search_rows is None else target[search_rows]
    sampler = korva_core.TournamentMCMC(
        n_chains=settings.n_chains,
        n_warmup=settings.n_warmup,
        n_deep=settings.n_deep,
        n_elite=settings.n_elite,
        step_size=settings.step_size,
        H_piH=settings.H,
        seed=seed,
    )
    result = sampler.fit(
        search_design, search_target, least_squares.R1, least_squares.R2, settings.gamma1, settings.gamma2
    )
    gibbs = GibbsStatistics.from_core(result.gibbs)
    # beta_mcmc is a read-only view into the result; the copy is ours to keep.
    beta = np.array(result.beta_mcmc)
    if not settings.refit:
        return one.finished(bases.stored(design), beta, gibbs)
    estimate = robust.robust_fit(
        design,
        target,
        beta,
        least_squares,
        np.random.default_rng([seed, ELEMENTAL_STREAM]),
        search_rows=search_rows,
        hit_tolerance=HIT_TOLERANCE,
        outlier_threshold=float(settings.outlier_threshold),
        weights=one.weights,
        known_scale=one.known_scale,
    )
    return BasisFit.of_robust_stages(one.candidate, estimate, one.penalties, gibbs, design if one.keep_design else None)


_METHOD_FITS: dict[str, Callable[[Settings, _OneBasis, int], BasisFit]] = {
    "mcmc": _fit_robust,
    "penalized": _fit_penalized,
    "ols": _fit_least_squares,
}


def _penalties(settings: Settings, indices: MultiIndices, n_samples: int) -> Penalties | None:
    if settings.gamma1 == 0 and settings.gamma2 == 0:
        return None
    pair = bases.penalties(indices, settings.n_grid)
    for name, weight, matrix in zip(("gamma1", "gamma2"), (settings.gamma1, settings.gamma2), pair):
        # korva_core adds n * weight * R to the normal equations.
        largest = float(np.abs(matrix).max(initial=0.0))
        if not math.isfinite(n_samples * float(weight) * largest):
            raise ValueError(
                f"{name} = {weight!r} is too large: weighing its penalty by it over "
                f"{n_samples} samples overflows float64"
            )
    return pair


def _search_rows(settings: Settings, n_samples: int, seed: int) -> NDArray[np.intp] | None:
    """The subsample that the search runs on, in ascending order; None for all points."""
    if not settings.uses_search or n_samples <= settings.max_search_samples:
        return None
    rng = np.random.default_rng(seed)
    drawn = rng.choice(n_samples, int(settings.max_search_samples), replace=False)
    rows: NDArray[np.intp] = np.sort(drawn)
    return rows


def draw_seed(random_state: Any) -> int:
    """The seed of this fit: an int as it is, one draw from a generator, fresh for None."""
    if random_state is None:
        return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(2**64, dtype=np.uint64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(2**64, dtype=np.uint64))
    return int(random_state)


def _mdl_score(
    settings: Settings, fitted: FloatArray, target: FloatArray, beta: FloatArray, penalties: Penalties | None
) -> float:
    R1, R2 = penalties if penalties is not None else (np.zeros((0, 0)), np.zeros((0, 0)))
    # Zero weights leave the (then empty) penalty matrices unread.
    return korva_core.mdl_score_reg(
        fitted, target, beta.size, settings.H, beta, R1, R2, settings.gamma1, settings.gamma2
    )


# ------------------------------------------------------------ prediction


def choose_degree(
    fits: list[BasisFit], target: FloatArray, weights: FloatArray | None
) -> tuple[BasisFit, dict[int | tuple[int, ...], float]]:
    """The fit with the shortest description length and every candidate's length.

    One candidate is simply returned, with an empty path. Otherwise every fit's
    residuals are coded in one unit (see _coding_unit), a median over the candidates:
    candidates too simple for the data overstate the noise, the richest ones, with few
    degrees of freedom left on a small sample, scatter around it, and their median is
    the steadiest estimate of it. (The richest candidate's scale picked the quadratic
    of the fit quality page in 56 of 100 small samples, the median 73.)
    """
    if len(fits) == 1:
        return fits[0], {}
    unit = _coding_unit(fits, target, weights)
    path: dict[int | tuple[int, ...], float] = {}
    lengths = []
    for fit in fits:
        estimate = fit.estimate
        length = robust.description_length(target - estimate.fitted, unit, estimate.beta.size, weights)
        degree = fit.candidate.degree
        path[tuple(degree) if isinstance(degree, list) else degree] = length
        lengths.append(length)
    return fits[int(np.argmin(lengths))], path


def _coding_unit(fits: list[BasisFit], target: FloatArray, weights: FloatArray | None) -> float:
    """The one unit every candidate's residuals are coded in: the median over the candidates
    of their residuals' spread on the rows that every candidate takes for an inlier.

    A candidate's own robust scale grows with the share of outliers (an M-scale of
    breakdown 0.5 spends its budget on them: about twice the noise at 40 %), and a coarse
    unit makes a weak term look free; on the rows all candidates agree on, the spread is
    the noise's. Each spread is a root mean square with the candidate's terms taken off
    the degrees of freedom, made consistent for the normal truncated at the cut. Too few
    agreed rows fall back to the median of the candidates' scales.
    """
    positive = [fit for fit in fits if fit.estimate.scale > 0.0]
    if not positive:
        return 1.0  # every candidate fits exactly: any unit
    residuals = [target - fit.estimate.fitted for fit in positive]
    agreed = np.ones(target.size, dtype=bool) if weights is None else weights > 0.0
    for fit, r in zip(positive, residuals):
        agreed &= np.abs(r) <= AGREED_INLIER_CUT * fit.estimate.scale
    w = np.ones(np.count_nonzero(agreed)) if weights is None else weights[agreed]
    mass = float(w.sum())
    if mass <= 2 * max(fit.estimate.beta.size for fit in positive):
        return float(np.median([fit.estimate.scale for fit in positive]))
    spreads = [
        math.sqrt(float(np.sum(w * r[agreed] ** 2)) / (mass - fit.estimate.beta.size)) / TRUNCATED_SD
        for fit, r in zip(positive, residuals)
    ]
    return float(np.median(spreads))


def polynomial_in_x(indices: MultiIndices, coef_x: FloatArray) -> np.polynomial.Polynomial:
    by_power = np.zeros(max(m[0] for m in indices) + 1)
    by_power[[m[0] for m in indices]] = coef_x
    return np.polynomial.Polynomial(by_power)


def _check_size(n_terms: int, n_samples: int, what: str, at_least: bool = False) -> None:
    """Refuse a basis with more terms than samples."""
    if n_terms > n_samples:
        raise ValueError(
            f"{what} has {'at least ' if at_least else ''}{n_terms} terms, more than the "
            f"{n_samples} sample(s) to fit them to"
        )


def _power_columns(max_exponents: Sequence[int]) -> int:
    """The powers x^2, x^3, ... that a formed design of a "total" or "tensor" basis keeps, one
    column each (the basis has every exponent up to each input's largest); none for one input,
    whose powers are formed in turn."""
    return 0 if len(max_exponents) == 1 else sum(max(e - 1, 0) for e in max_exponents)


def listed_basis(basis: Any, n_inputs: int, name: str = "basis") -> MultiIndices:
    """An explicit basis as a list of exponent vectors, each checked (``name`` says where
    it comes from): the design's builders would take a negative exponent as 0."""
    if isinstance(basis, np.ndarray):
        basis = basis.tolist()
    if not isinstance(basis, Sequence) or len(basis) == 0:
        choices = "'total', 'tensor' or " if name == "basis" else ""
        raise ValueError(f"{name} must be {choices}a non-empty list of exponent vectors, got {basis!r}")
    indices = []
    for term in basis:
        if (
            not isinstance(term, Sequence | np.ndarray)
            or isinstance(term, str)
            or len(term) != n_inputs
            or not all(is_int(e) and e >= 0 for e in term)
        ):
            raise ValueError(
                f"each exponent vector of {name} must hold {n_inputs} int(s) of at least 0 "
                f"(one per input column), got {term!r}"
            )
        too_large = [int(e) for e in term if e > MAX_COUNT]
        if too_large:
            raise ValueError(f"{name} exponent {too_large[0]} in {term!r} is too large: exponents must be below 2**31")
        indices.append([int(e) for e in term])
    if len({tuple(m) for m in indices}) != len(indices):
        raise ValueError(f"{name} lists an exponent vector more than once")
    return indices


def _decided_by_rows(rows: NDArray[np.intp]) -> str:
    listed = ", ".join(str(row) for row in rows[:10]) + (", ..." if len(rows) > 10 else "")
    one = len(rows) == 1
    return (
        f"{'row' if one else 'rows'} [{listed}] (counting from 0) {'alone decides' if one else 'each alone decide'} "
        f"part of the fit: {'its' if one else 'their'} leverage is 1, so the curve passes through "
        f"{'it' if one else 'them'} whatever {'its' if one else 'their'} y, and nothing can tell "
        f"{'it' if one else 'them'} an outlier; the standard errors take {'it' if one else 'them'} at "
        f"{'its' if one else 'their'} word. Data near {'it' if one else 'them'}, or a lower degree, would check the fit."
    )


def _narrow_inputs(
    problem: _data.Problem, inliers: NDArray[np.bool_], indices: Sequence[Sequence[int]], names: list[str]
) -> str | None:
    """A warning when the rows the fit does not flag span less than NARROW_SHARE of an input's
    training range: the flagged rows beyond them then set the mapping of that input onto
    [-1, 1], and the fit rests on a small part of it."""
    if not inliers.any():
        return None
    narrow = []
    for j, name in enumerate(names):
        # Half widths: the whole one of an input from -1.7e308 to 1.7e308 is beyond float64.
        half_width = problem.x_max[j] / 2.0 - problem.x_min[j] / 2.0
        if not half_width > 0.0 or not any(m[j] for m in indices):
            continue
        column = problem.inputs[:, j]
        low = float(np.min(column, where=inliers, initial=np.inf))
        high = float(np.max(column, where=inliers, initial=-np.inf))
        share = (high / 2.0 - low / 2.0) / half_width
        if share < NARROW_SHARE:
            narrow.append(
                f"{name} from {low:.6g} to {high:.6g}, {share:.1%} of its range "
                f"{problem.x_min[j]:.6g} to {problem.x_max[j]:.6g}"
            )
    if not narrow:
        return None
    return (
        f"the rows the fit does not flag span only part of the training range ({'; '.join(narrow)}): the "
        "flagged rows beyond them set the mapping onto [-1, 1], the coefficients in t are poorly determined, and "
        "the curve out there is an extrapolation that those rows do not confirm. Check them; a fit without them "
        "maps the rest onto the whole range."
    )


def _constant_inputs(names: list[str], values: FloatArray) -> str:
    held = ", ".join(f"{name} = {value:.6g}" for name, value in zip(names, values))
    one = len(names) == 1
    return (
        f"{'input' if one else 'inputs'} {', '.join(names)} {'takes' if one else 'take'} one value in every row "
        f"fitted ({held}): the terms in {'it' if one else 'them'} are not determined, their coefficients are 0 and "
        "their standard errors NaN, and the curve holds only at that value. Data at other values, or leaving "
        f"the {'input' if one else 'inputs'} out, would settle them."
    )


def _spread_varies(trend: inference.SpreadTrend, cov_type: str, with_sigma: bool) -> str:
    what = "the residuals divided by sigma" if with_sigma else "the residuals"
    errors = "better errors per row as sigma=" if with_sigma else "each row's known error as sigma="
    if cov_type == "hc":
        allowed = (
            f"which the bands of new observations do not allow for (cov_type='hc' does for the coefficients; {errors}"
        )
    else:
        allowed = f"which the intervals of cov_type='model' do not allow for (cov_type='hc' does; {errors}"
    return (
        f"the size of {what} follows {trend.along} (rank correlation {trend.correlation:+.2f} over the "
        f"{trend.rows} rows the fit uses): either their spread varies, {allowed} weighs the rows as their "
        "errors deserve), or the curve misses a pattern there, which a higher degree may fit."
    )


def _stated_errors_disagree(measured: float) -> str:
    return (
        f"the residuals spread by {measured:.3g} times the stated errors sigma, which absolute_sigma=True "
        "takes as known: the intervals assume a factor of 1. Check sigma (its units, whether it is a "
        "standard deviation), or fit with absolute_sigma=False to estimate the factor."
    )


def _cancelling_in_x(rounding: float, scale: float) -> str:
    return (
        f"the coefficients in x (coef_x_, polynomial_) are large and cancel over the training range: "
        f"evaluated there they may be off by {rounding:.3g} through rounding alone, against a residual "
        f"scale of {scale:.3g}. Use predict, or coef_ in the mapped inputs t, which carry the curve "
        "to the fit's precision."
    )


def _interpolates(n_terms: int, target: FloatArray, weights: FloatArray | None) -> bool:
    """Whether a fit of ``n_terms`` terms has no residual freedom: the samples it counts (the
    rows, or their counting weights) are no more than its terms."""
    return (len(target) if weights is None else float(weights.sum())) <= n_terms


def _undetermined(n_terms: int, inputs: FloatArray) -> str:
    """The warning for a fit whose design is singular on the rows it fits: the data leave
    some combination of its coefficients free, and no interval can be given."""
    distinct = f" (x takes {len(np.unique(inputs))} distinct values)" if inputs.shape[1] == 1 else ""
    return (
        f"the data do not determine the {n_terms} coefficients: the design matrix is singular on the "
        f"rows fitted{distinct}, so the fit between and beyond them is arbitrary and bse_, cov_ and "
        "the intervals are NaN. A lower degree, or data at more distinct points, determines them."
    )


def _non_finite_cause(target: FloatArray, spread: float, n_samples: int) -> str:
    return (
        f"the fit came out with non-finite coefficients: y (from {target.min():.6g} to "
        f"{target.max():.6g}, robust spread {spread:.6g}) is too large for float64 "
        f"arithmetic over {n_samples} samples at this degree; rescale y"
    )
