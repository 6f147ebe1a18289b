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
import itertools
import math
import numbers
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, TypeGuard

import numpy as np
from numpy.typing import ArrayLike, NDArray

import korva_core

FloatArray = NDArray[np.float64]
Penalties = tuple[FloatArray, FloatArray]

METHODS = ("mcmc", "penalized", "ols")

# korva_core scores a point as a hit when |residual| < 0.4 * mad(y), or < 0.4 when the
# MAD is 0. The estimator works on y divided by its MAD, where the tolerance is 0.4.
HIT_TOLERANCE = 0.4

# Grid sizes of the penalty quadrature when n_grid is None: korva_core's own defaults.
DEFAULT_GRID_1D = 600
DEFAULT_GRID_PER_INPUT = 30


class NotFittedError(ValueError, AttributeError):
    """Raised when a model is used before ``fit``.

    It derives from both ``ValueError`` and ``AttributeError``, as scikit-learn's
    exception of the same name does, so handlers written for either catch it.
    """


class DataConversionWarning(UserWarning):
    """Warns that an input was converted implicitly, e.g. a column vector y flattened."""


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


class PolynomialMDLRegressor:
    """Polynomial regression in one or several inputs, robust to gross outliers.

    Each input is mapped to [-1, 1] by its training range (``x_min_`` to ``x_max_``),
    because raw monomials of wide-ranging inputs are badly conditioned; ``coef_`` holds
    the coefficients of the monomials in those mapped inputs. Several inputs span a
    tensor-product basis whose terms are listed in ``multi_indices_``.

    Parameters
    ----------
    degree : int or sequence of int
        The polynomial degree; one int per input column for a tensor-product basis,
        or one int used for every column.
    gamma1, gamma2 : float
        Weights of the slope and curvature penalties, integrated over [-1, 1]^d and
        measured on y divided by its median absolute deviation, so that they do not
        depend on the units of y.
    method : {"mcmc", "penalized", "ols"}
        ``"mcmc"`` searches for the coefficients with the smallest MDL score with
        korva_core's tournament MCMC sampler, which ignores outliers; ``"penalized"``
        solves penalised least squares and ``"ols"`` ordinary least squares.
    n_chains, n_warmup, n_deep, n_elite, step_size
        The sampler's number of chains, warm-up steps per chain, refinement steps per
        elite chain, elite size and proposal step. The sampler works on y measured in
        units of its median absolute deviation, where coefficients of several units are
        common; hence a larger default step than korva_core's own 0.05.
    H : int
        The precision parameter of the MDL model term, k² ln(2H) / n for k coefficients.
    random_state : int or None
        Seed of the sampler (a non-negative int); None draws a fresh one per fit.
    n_grid : int or None
        Grid points of the penalty quadrature: in total for one input (default 600),
        per input for several (default 30).
    refit : bool
        With ``method="mcmc"``, refit the coefficients by (penalised) least squares on
        the points that the search found to be inliers, and keep the refit unless it
        leaves fewer points within the tolerance. The hit rate cannot tell apart fits
        that keep the same points within the tolerance, so the search alone leaves the
        coefficients loose by up to about that tolerance.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficients of the basis terms, in the order of ``multi_indices_``.
    multi_indices_ : list of list of int
        The exponents of each basis term, one per input; the first input varies slowest.
    mdl_ : float
        The MDL score of the fit: hit rate, model size and any penalties.
    hit_rate_ : float
        The share of training points within ``tolerance_`` of the fit.
    tolerance_ : float
        The hit tolerance, 0.4 times the median absolute deviation of y.
    inlier_mask_ : ndarray of bool
        Which training points lie within ``tolerance_`` of the fit.
    gibbs_ : GibbsStatistics or None
        The sampler's warm-up statistics (None unless ``method="mcmc"``).
    x_min_, x_max_ : ndarray of shape (n_features_in_,)
        The training range of each input, mapped to -1 and 1.
    n_features_in_ : int
        The number of input columns seen in ``fit``.
    """

    def __init__(
        self,
        degree: int | Sequence[int] = 3,
        gamma1: float = 0.0,
        gamma2: float = 0.0,
        method: str = "mcmc",
        n_chains: int = 25,
        n_warmup: int = 200,
        n_deep: int = 2000,
        n_elite: int = 5,
        step_size: float = 0.3,
        H: int = 20,
        random_state: int | None = 42,
        n_grid: int | None = None,
        refit: bool = True,
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

    # ------------------------------------------------------------ parameters

    @classmethod
    def _param_defaults(cls) -> dict[str, Any]:
        parameters = list(inspect.signature(cls.__init__).parameters.values())[1:]
        return {p.name: p.default for p in parameters}

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
            for (name, default), value in zip(
                self._param_defaults().items(), self.get_params().values()
            )
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

    def fit(self, X: ArrayLike, y: ArrayLike) -> PolynomialMDLRegressor:
        """Fit the polynomial to inputs X of shape (n,) or (n, d) and targets y of shape (n,)."""
        inputs = _as_inputs(X)
        target = _as_target(y, len(inputs))
        degrees = self._validated_degrees(inputs.shape[1])
        self._check_params()

        self.n_features_in_ = inputs.shape[1]
        self.x_min_ = inputs.min(axis=0)
        self.x_max_ = inputs.max(axis=0)
        multi_indices, penalties = self._basis(degrees)
        design = _design_matrix(multi_indices, self._to_unit_box(inputs))

        # Work on y measured from its median in units of its MAD: the sampler's start
        # spread and step size then suit data of any scale, and the penalty weights
        # become unit-free. The hit rate is unchanged, as the tolerance scales alike.
        center = _median(target)
        spread = korva_core.mad(target) or 1.0
        standardized = (target - center) / spread
        beta, self.gibbs_ = self._solve(design, standardized, penalties)
        if self.method == "mcmc" and self.refit:
            beta = self._refit_inliers(design, standardized, beta, penalties)

        fitted = design @ beta
        self.mdl_ = self._mdl_score(fitted, standardized, beta, penalties)
        self.hit_rate_ = korva_core.compute_sr(fitted, standardized, HIT_TOLERANCE)
        self.inlier_mask_ = np.abs(fitted - standardized) < HIT_TOLERANCE
        self.tolerance_ = HIT_TOLERANCE * spread
        self.multi_indices_ = multi_indices
        self.coef_ = beta * spread
        self.coef_[0] += center  # term 0 is the constant: every exponent is 0
        return self

    def _validated_degrees(self, n_inputs: int) -> list[int]:
        degree = self.degree
        if _is_int(degree):
            degrees = [int(degree)] * n_inputs
        elif isinstance(degree, Sequence | np.ndarray) and all(_is_int(d) for d in degree):
            degrees = [int(d) for d in degree]
            if len(degrees) != n_inputs:
                raise ValueError(
                    f"degree lists {len(degrees)} degrees but X has {n_inputs} input columns"
                )
        else:
            raise ValueError(f"degree must be an int or one int per input column, got {degree!r}")
        if min(degrees) < 0:
            raise ValueError(f"degree must be 0 or more, got {degree!r}")
        return degrees

    def _check_params(self) -> None:
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(METHODS)}; got {self.method!r}")
        counts = (("n_chains", 1), ("n_warmup", 0), ("n_deep", 0), ("n_elite", 1), ("H", 1))
        for name, lowest in counts:
            value = getattr(self, name)
            if not _is_int(value) or value < lowest:
                raise ValueError(f"{name} must be an int of at least {lowest}, got {value!r}")
        for name, strictly_positive in (("gamma1", False), ("gamma2", False), ("step_size", True)):
            value = getattr(self, name)
            valid = isinstance(value, numbers.Real) and math.isfinite(value)
            if not valid or value < 0 or (strictly_positive and value == 0):
                bound = "above 0" if strictly_positive else "of at least 0"
                raise ValueError(f"{name} must be a finite number {bound}, got {value!r}")
        if self.n_grid is not None and (not _is_int(self.n_grid) or self.n_grid < 2):
            raise ValueError(f"n_grid must be None or an int of at least 2, got {self.n_grid!r}")
        if not isinstance(self.refit, bool | np.bool_):
            raise ValueError(f"refit must be True or False, got {self.refit!r}")
        seed = self.random_state
        if seed is not None and (not _is_int(seed) or not 0 <= seed < 2**64):
            raise ValueError(f"random_state must be None or an int in [0, 2**64), got {seed!r}")

    def _basis(self, degrees: list[int]) -> tuple[list[list[int]], Penalties | None]:
        """The tensor-product multi-indices and, when a weight is non-zero, the penalty pair."""
        if self.gamma1 == 0 and self.gamma2 == 0:
            return _multi_indices(degrees), None
        if len(degrees) == 1:
            n_grid = DEFAULT_GRID_1D if self.n_grid is None else self.n_grid
            return _multi_indices(degrees), korva_core.smoothness_penalty_matrices_1d(
                degrees[0], -1.0, 1.0, n_grid
            )
        n_grid = DEFAULT_GRID_PER_INPUT if self.n_grid is None else self.n_grid
        R1, R2, multi_indices = korva_core.build_penalty_matrices_nd(
            degrees, [(-1.0, 1.0)] * len(degrees), n_grid
        )
        return multi_indices, (R1, R2)

    def _solve(
        self, design: FloatArray, target: FloatArray, penalties: Penalties | None
    ) -> tuple[FloatArray, GibbsStatistics | None]:
        if self.method == "ols":
            return korva_core.ols(design, target), None
        R1, R2 = penalties if penalties is not None else (None, None)
        if self.method == "penalized":
            beta = korva_core.fit_regularized_linear(
                design, target, R1, R2, self.gamma1, self.gamma2
            )
            return beta, None
        sampler = korva_core.TournamentMCMC(
            n_chains=self.n_chains,
            n_warmup=self.n_warmup,
            n_deep=self.n_deep,
            n_elite=self.n_elite,
            step_size=self.step_size,
            H_piH=self.H,
            seed=self._seed(),
        )
        result = sampler.fit(design, target, R1, R2, self.gamma1, self.gamma2)
        # beta_mcmc is a read-only view into the result; the copy is ours to keep.
        return np.array(result.beta_mcmc), GibbsStatistics.from_core(result.gibbs)

    def _refit_inliers(
        self, design: FloatArray, target: FloatArray, beta: FloatArray, penalties: Penalties | None
    ) -> FloatArray:
        """Least squares on the search's inliers, unless it loses hits (see ``refit``)."""
        inliers = np.abs(design @ beta - target) < HIT_TOLERANCE
        R1, R2 = penalties if penalties is not None else (None, None)
        refit = korva_core.fit_regularized_linear(
            design[inliers], target[inliers], R1, R2, self.gamma1, self.gamma2
        )
        refit_hits = np.count_nonzero(np.abs(design @ refit - target) < HIT_TOLERANCE)
        return refit if refit_hits >= np.count_nonzero(inliers) else beta

    def _seed(self) -> int:
        if self.random_state is None:
            return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])
        return int(self.random_state)

    def _mdl_score(
        self, fitted: FloatArray, target: FloatArray, beta: FloatArray, penalties: Penalties | None
    ) -> float:
        R1, R2 = penalties if penalties is not None else (np.zeros((0, 0)), np.zeros((0, 0)))
        # Zero weights leave the (then empty) penalty matrices unread.
        return korva_core.mdl_score_reg(
            fitted, target, beta.size, self.H, beta, R1, R2, self.gamma1, self.gamma2
        )

    # ------------------------------------------------------------ prediction

    def predict(self, X: ArrayLike) -> FloatArray:
        """The fitted polynomial at inputs X of shape (n,) or (n, n_features_in_)."""
        self._check_fitted()
        inputs = _as_inputs(X, self.n_features_in_)
        design = _design_matrix(self.multi_indices_, self._to_unit_box(inputs))
        prediction: FloatArray = design @ self.coef_
        return prediction

    def score(self, X: ArrayLike, y: ArrayLike) -> float:
        """The coefficient of determination R² of the predictions for X against y."""
        prediction = self.predict(X)
        target = _as_target(y, len(prediction))
        residual_sum = float(np.sum((target - prediction) ** 2))
        total_sum = float(np.sum((target - target.mean()) ** 2))
        if total_sum == 0.0:  # a constant target: perfect or nothing, as scikit-learn has it
            return 1.0 if residual_sum == 0.0 else 0.0
        return 1.0 - residual_sum / total_sum

    def _check_fitted(self) -> None:
        if not self.__sklearn_is_fitted__():
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. "
                "Call 'fit' with appropriate arguments before using this estimator."
            )

    def _to_unit_box(self, inputs: FloatArray) -> FloatArray:
        """Map each input linearly so that its training range becomes [-1, 1].

        An input that was constant in training maps to 0, so its powers vanish.
        """
        span = self.x_max_ - self.x_min_
        safe_span = np.where(span > 0, span, 1.0)
        scale = np.where(span > 0, 2.0 / safe_span, 0.0)
        offset = np.where(span > 0, -(self.x_min_ + self.x_max_) / safe_span, 0.0)
        unit: FloatArray = offset + scale * inputs
        return unit


def _is_int(value: object) -> TypeGuard[int]:
    """True for Python and NumPy integers, which int() converts exactly; False for bool."""
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _median(values: FloatArray) -> float:
    # Not np.median: its first call imports numpy.ma, some 10 ms that would otherwise
    # land in the timing of whichever fit comes first.
    ordered = np.sort(values)
    return float(0.5 * (ordered[(len(ordered) - 1) // 2] + ordered[len(ordered) // 2]))


def _multi_indices(degrees: list[int]) -> list[list[int]]:
    """All exponent vectors up to ``degrees``, the first input varying slowest.

    The same order as korva_core's penalty builder, so design columns and penalty
    rows name the same terms.
    """
    return [list(exponents) for exponents in itertools.product(*(range(d + 1) for d in degrees))]


def _design_matrix(multi_indices: list[list[int]], unit_inputs: FloatArray) -> FloatArray:
    if unit_inputs.shape[1] == 1:
        return korva_core.design_matrix_1d(len(multi_indices) - 1, unit_inputs[:, 0])
    return korva_core.design_matrix_nd(multi_indices, list(unit_inputs.T))


def _as_float_array(values: Any, name: str) -> FloatArray:
    if type(values).__module__.startswith("scipy.sparse"):
        raise TypeError(
            f"{name} is a sparse matrix; sparse input is not supported, pass {name}.toarray()"
        )
    array = np.asarray(values)
    if np.iscomplexobj(array):
        raise ValueError(f"Complex data not supported in {name}")
    return array.astype(np.float64)


def _as_inputs(X: Any, n_features: int | None = None) -> FloatArray:
    """X as a finite float array of shape (n, d) with n >= 1 and d >= 1.

    A 1-D X is one input column; with ``n_features`` given, X must have that many columns.
    """
    if X is None:
        raise ValueError("X is required, got None")
    inputs = _as_float_array(X, "X")
    if inputs.ndim == 1:
        if n_features not in (None, 1):
            raise ValueError(
                f"Expected a 2-D X with {n_features} columns, got a 1-D array. "
                "Reshape your data with X.reshape(1, -1) if it is a single sample."
            )
        inputs = inputs.reshape(-1, 1)
    if inputs.ndim != 2:
        raise ValueError(f"X must have shape (n,) or (n, d), got shape {inputs.shape}")
    n_samples, n_columns = inputs.shape
    # The wording of scikit-learn's own messages, which its estimator checks expect.
    for count, what in ((n_samples, "sample(s)"), (n_columns, "feature(s)")):
        if count == 0:
            raise ValueError(
                f"Found array with 0 {what} (shape={inputs.shape}) "
                "while a minimum of 1 is required."
            )
    if n_features is not None and n_columns != n_features:
        raise ValueError(
            f"X has {n_columns} features, but PolynomialMDLRegressor "
            f"is expecting {n_features} features as input."
        )
    if not np.isfinite(inputs).all():
        raise ValueError("X contains NaN or infinity")
    return inputs


def _as_target(y: Any, n_samples: int) -> FloatArray:
    """y as a finite float array of shape (n_samples,); a column vector is flattened."""
    if y is None:
        raise ValueError("This estimator requires y to be passed, but the target y is None")
    target = _as_float_array(y, "y")
    if target.ndim == 2 and target.shape[1] == 1:
        warnings.warn(
            "A column-vector y was passed when a 1d array was expected. "
            "Please change the shape of y to (n_samples,), for example using ravel().",
            DataConversionWarning,
            stacklevel=3,
        )
        target = target.ravel()
    if target.ndim != 1:
        raise ValueError(f"y must have shape (n,), got shape {target.shape}")
    if len(target) != n_samples:
        raise ValueError(f"X has {n_samples} samples but y has {len(target)}")
    if not np.isfinite(target).all():
        raise ValueError("y contains NaN or infinity")
    return target
