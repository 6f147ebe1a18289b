"""The data stage: the checks of X, y, the sample weights and the errors, and the standardised problem.

``checked(X, y, sample_weight, sigma)`` turns the caller's arrays into a ``Data`` record,
refusing what cannot be fitted before any work; ``standardized(data, has_constant)`` leaves out
the rows of weight 0, takes the weights the fit counts with, the inputs' training range and y
measured from its weighted median in units of its robust spread: the frozen ``Problem`` that
the fitting stage works on. Rows with known errors are divided by them, y and the design
alike, so that every stage after this one sees residuals in units of each row's error.
``unit_columns`` maps inputs onto [-1, 1] for the fit and for prediction.
"""

from __future__ import annotations

import math
import numbers
import sys
import warnings
from dataclasses import dataclass
from typing import Any, TypeGuard

import numpy as np
from numpy.typing import NDArray

from korva import _robust, robust

FloatArray = NDArray[np.float64]
IndexArray = NDArray[np.intp]

# The largest count korva_core takes (a C int).
MAX_COUNT = 2**31 - 1
# The widest range of sigma, its largest over its smallest, that a fit takes: the rows are
# divided by sigma, and the normal equations by its square, which at a range of 1e16 lost
# the standard errors of a quadratic (error bars never span ten decades).
MAX_SIGMA_RATIO = 1e10

# The largest integer sample weight that counts as copies of its row; larger weights are
# relative. Far below 2**53, from which every float64 is an integer, so that a weight's being
# an integer says something of it.
MAX_WEIGHT_COUNT = MAX_COUNT


class DataConversionWarning(UserWarning):
    """Warns that an input was converted implicitly, e.g. a column vector y flattened."""


@dataclass(frozen=True)
class Data:
    """The caller's rows, checked: X as (n, d) floats with its columns' extremes, y, the sample
    weights as given (None: every row once), the column names of a DataFrame and each row's
    error, the standard deviation of its y (None: one unknown spread for every row)."""

    inputs: FloatArray
    extremes: tuple[FloatArray, FloatArray]
    target: FloatArray
    target_range: tuple[float, float]
    weights: FloatArray | None
    feature_names: NDArray[np.object_] | None
    sigma: FloatArray | None = None
    target_name: str | None = None  # the name of a named y (a pandas Series)
    row_labels: Any = None  # the index of a DataFrame X, which labels its rows (None: positions)

    @property
    def n_inputs(self) -> int:
        return int(self.inputs.shape[1])

    @property
    def n_samples(self) -> int:
        """The rows fitted: those of positive weight. Rows of weight 0 still get a flag."""
        return len(self.inputs) if self.weights is None else int(np.count_nonzero(self.weights))

    @property
    def counted(self) -> int:
        """The samples the basis is checked against: a row of integer weight w counts as w."""
        if self.weights is not None and are_counts(self.weights):
            return max(self.n_samples, math.floor(float(self.weights.sum())))
        return self.n_samples


@dataclass(frozen=True)
class Problem:
    """What the fit works on: the rows of positive weight (``active`` among all, None for all),
    their inputs and y, the weights the fit counts with (None: every row once), the training
    range of each input, and y standardised, (y - center) / spread.

    With known errors each row is divided by its error relative to their median,
    ``relative = sigma / sigma_unit``: y standardised is (y - center) / (spread * relative) and
    the design's rows are to be multiplied by ``row_scale`` = 1 / relative (None when every
    error is the same, which leaves the rows as they are). A residual of the standardised
    problem is then the row's residual in units of sigma times ``spread / sigma_unit``.
    """

    active: IndexArray | None
    inputs: FloatArray
    target: FloatArray
    weights: FloatArray | None
    x_min: FloatArray
    x_max: FloatArray
    center: float
    spread: float
    standardized: FloatArray
    sigma: FloatArray | None = None
    sigma_unit: float = 1.0
    row_scale: FloatArray | None = None

    @property
    def residual_unit(self) -> float:
        """What a residual or scale of the standardised problem is multiplied by to be in y's
        units, or with known errors in units of each row's sigma."""
        return self.spread if self.sigma is None else self.spread / self.sigma_unit


def checked(X: Any, y: Any, sample_weight: Any, sigma: Any = None) -> Data:
    """X, y, the sample weights and the errors checked and converted (see as_inputs, as_target,
    as_sample_weight, as_sigma)."""
    names = feature_names(X)
    inputs, extremes = inputs_and_extremes(X)
    # The warning of a column vector y points at the caller of fit.
    target, target_range = target_and_extremes(y, len(inputs), stacklevel=4)
    weights = as_sample_weight(sample_weight, len(inputs))
    errors = as_sigma(sigma, len(inputs))
    return Data(inputs, extremes, target, target_range, weights, names, errors, target_name(y), row_labels(X))


def target_name(y: Any) -> str | None:
    """The name of y when it has one, as a named pandas Series does; None otherwise."""
    name = None if isinstance(y, np.ndarray) else getattr(y, "name", None)
    return name if isinstance(name, str) and name else None


def row_labels(X: Any) -> Any:
    """The index of a DataFrame X (its labels of the rows); None for any other X."""
    if isinstance(X, np.ndarray) or getattr(X, "columns", None) is None:
        return None
    index = getattr(X, "index", None)
    return index if index is not None and len(index) == len(X) else None


def standardized(data: Data, has_constant: bool) -> Problem:
    """The problem of ``data``'s rows of positive weight, y measured from its (weighted) median
    (0 without a constant term: the fit cannot absorb a shift) in units of its robust spread."""
    weights = data.weights
    active = None if weights is None or data.n_samples == len(data.inputs) else np.flatnonzero(weights)
    inputs = data.inputs if active is None else data.inputs[active]
    target = data.target if active is None else data.target[active]
    fit_weights = counting_weights(None if weights is None else (weights if active is None else weights[active]))
    x_min, x_max = data.extremes if active is None else column_extremes(inputs)
    _check_spans(x_min, x_max)
    center = robust.weighted_median(target, fit_weights) if has_constant else 0.0
    sigma = data.sigma if data.sigma is None or active is None else data.sigma[active]
    if sigma is None:
        spread = robust_spread(target, center, fit_weights)
        scaled = target - center
        with np.errstate(over="ignore"):
            scaled /= spread  # in place: one array as long as the data, not two
        return _checked_problem(
            Problem(active, inputs, target, fit_weights, x_min, x_max, center, spread, scaled), data
        )
    # The median error is the unit: the rows' own factors then lie about 1.
    sigma_unit = float(np.median(sigma))
    relative = sigma / sigma_unit
    row_scale = None if (relative == 1.0).all() else 1.0 / relative
    with np.errstate(over="ignore"):
        deviations = target - center
        if row_scale is not None:
            deviations *= row_scale
        finite = bool(np.isfinite(deviations).all())
        if finite:
            spread = robust_spread(deviations, 0.0, fit_weights)
            deviations /= spread
    if not (finite and np.isfinite(deviations).all()):
        raise ValueError(
            "y about its median, divided by its errors relative to their median (sigma / median(sigma)) and "
            "measured in units of its robust spread, leaves float64; rescale y"
        )
    return Problem(
        active, inputs, target, fit_weights, x_min, x_max, center, spread, deviations, sigma, sigma_unit, row_scale
    )


def _checked_problem(problem: Problem, data: Data) -> Problem:
    """The problem, refused when y standardised has left float64."""
    scaled, center, spread = problem.standardized, problem.center, problem.spread
    # y's extremes show whether a value may have overflowed; only then are all looked at.
    y_low, y_high = data.target_range
    if max(y_high - center, center - y_low) / spread > sys.float_info.max and not np.isfinite(scaled).all():
        raise ValueError(
            f"y spans from {y_low:.6g} to {y_high:.6g}, beyond float64 in units of its robust spread "
            f"{spread:.6g} about its median {center:.6g}; rescale y"
        )
    return problem


def is_int(value: object) -> TypeGuard[int]:
    """True for Python and NumPy integers, which int() converts exactly; False for bool."""
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def robust_spread(target: FloatArray, center: float, weights: FloatArray | None) -> float:
    """The unit in which the estimator measures y: a spread that scales with y's units.

    The (weighted) median absolute deviation about ``center``; when more than half of
    y ties (count data), that is 0 and the median absolute deviation of the values that
    differ from ``center`` is taken instead; 1 when y is constant.
    """
    if weights is None:
        # The deviations are formed on the fly; NaN when one of them overflows.
        spread = _robust.median_abs_deviation(target, center)
    else:
        with np.errstate(over="ignore"):
            deviations = np.abs(target - center)
        spread = robust.weighted_median(deviations, weights) if np.isfinite(deviations).all() else math.nan
    if math.isnan(spread):
        # A distance past the largest float64: y spans more than float64 holds from its median.
        low, high = float(target.min()), float(target.max())
        farthest = high if high - center > center - low else low
        raise ValueError(
            f"y spans from {low:.6g} to {high:.6g}, wider than float64 reaches: the distance from its median "
            f"{center:.6g} to {farthest:.6g} overflows; rescale y"
        )
    if spread == 0.0:
        deviations = np.abs(target - center)
        differing = deviations > 0.0
        if not differing.any():
            return 1.0
        spread = robust.weighted_median(deviations[differing], None if weights is None else weights[differing])
    return spread


def as_sample_weight(sample_weight: Any, n_samples: int) -> FloatArray | None:
    """sample_weight as finite, non-negative floats of shape (n_samples,) with a positive
    sum; None stays None (every row counts once)."""
    if sample_weight is None:
        return None
    weights = per_sample(sample_weight, "sample_weight", n_samples, "weight")
    if not np.isfinite(weights).all():
        raise ValueError("sample_weight contains NaN or infinity")
    if (weights < 0.0).any():
        raise ValueError(f"sample_weight must not be negative, got {weights.min():.6g}")
    if not weights.any():
        raise ValueError("sample_weight is zero for every sample: there is nothing to fit")
    with np.errstate(over="ignore"):
        total = float(weights.sum())
    if not math.isfinite(total):
        raise ValueError("sample_weight sums beyond the range of float64; rescale it")
    return weights


def per_sample(values: Any, name: str, n_samples: int, what: str) -> FloatArray:
    """``values`` as floats of shape (n_samples,), one ``what`` per sample; a scalar is every sample's."""
    array = as_float_array(values, name)
    if array.ndim == 0:
        array = np.full(n_samples, float(array))
    if array.ndim != 1 or len(array) != n_samples:
        raise ValueError(f"{name} must have shape ({n_samples},), one {what} per sample, got shape {array.shape}")
    return array


def as_sigma(sigma: Any, n_samples: int) -> FloatArray | None:
    """sigma, each row's error, as finite positive floats of shape (n_samples,), every row's
    (those of weight 0 too: their flags are judged in units of it); a scalar is every row's;
    None stays None."""
    if sigma is None:
        return None
    errors = per_sample(sigma, "sigma", n_samples, "error")
    if not np.isfinite(errors).all():
        raise ValueError("sigma contains NaN or infinity; every sample's error must be a finite standard deviation")
    smallest = float(errors.min())
    if smallest <= 0.0:
        row = int(np.argmin(errors))
        raise ValueError(
            f"sigma must be positive, got {smallest:.6g} at sample {row}: an error of 0 would weigh its row "
            "without limit; drop the row or give it its real error"
        )
    largest = float(errors.max())
    if largest / smallest > MAX_SIGMA_RATIO:
        raise ValueError(
            f"sigma spans from {smallest:.6g} to {largest:.6g}, more than a factor of {MAX_SIGMA_RATIO:.0e}: "
            "least squares on the rows divided by it would lose its precision"
        )
    return errors


def counting_weights(weights: FloatArray | None) -> FloatArray | None:
    """The case weights the fit counts with: integer weights as they are (a row of weight w
    counts as w copies of it), others scaled to a mean of 1.

    Weights that are not all integers are relative: their unit says nothing of how many
    samples there are. Taken as counts, a unit that makes them small would leave
    small-sample terms (the coefficients' share of the freedom in the scale, the half that
    concentration keeps) out of proportion, and the parts of the rows that the search and
    its starts work on with less weight than terms (a fit of many rows weighted 1e-3 came
    out as least squares with a scale of 0); a unit that makes them large would shrink
    every standard error. Scaled, every row counts once on average and the fit
    does not depend on their unit. Weights of 1 alone, or all equal and not integers, count
    every row once: None. Counts must be integers exactly (counts computed with rounding
    errors are relative weights until rounded) and at most MAX_WEIGHT_COUNT: larger integers
    are relative, since every float64 from 2**53 up is an integer and a weight in a large unit
    would otherwise read as a count. ``weights`` must have a positive total.
    """
    if weights is None or (weights == 1.0).all():
        return None
    if are_counts(weights):
        return weights
    if (weights == weights[0]).all():
        return None
    # Divided by the largest first, so that subnormal weights do not overflow the factor.
    relative = weights / weights.max()
    scaled: FloatArray = relative * (len(relative) / float(relative.sum()))
    return scaled


def are_counts(weights: FloatArray) -> bool:
    """Whether weights count copies of their rows: integers up to MAX_WEIGHT_COUNT. Every float64
    from 2**53 up is an integer, so integrality says nothing of a weight in a large unit."""
    return float(weights.max()) <= MAX_WEIGHT_COUNT and bool((weights == np.round(weights)).all())


def unit_columns(inputs: FloatArray, x_min: FloatArray, x_max: FloatArray) -> FloatArray:
    """The inputs mapped linearly so that [x_min, x_max] becomes [-1, 1], as rows of (d, n).

    The rows are contiguous, as korva_core reads them in place. An input that was
    constant in training maps to 0, so its powers vanish. Halves are taken before
    differences, so spans up to the largest float64 map without overflow.
    """
    middle = x_min / 2.0 + x_max / 2.0
    scale = _inverse_half_spans(x_min, x_max)
    n_rows, n_columns = inputs.shape
    unit: FloatArray = np.empty((n_columns, n_rows))
    # Rows of several inputs are turned into columns a block at a time, which stays in
    # the cache: NumPy's transposition of the whole table strides through memory.
    step = n_rows if n_columns == 1 or inputs.flags.f_contiguous else TRANSPOSE_BLOCK_ROWS
    for start in range(0, n_rows, step):
        rows = slice(start, start + step)
        np.subtract(inputs[rows].T, middle[:, None], out=unit[:, rows])
        unit[:, rows] *= scale[:, None]
    return unit


# Rows of the inputs per block of their transposition: 4096 rows of 8 inputs are 256 KiB.
TRANSPOSE_BLOCK_ROWS = 4096


@dataclass(frozen=True)
class Beyond:
    """The points beyond one input's training range: ``count`` of them on input ``column``, the
    farthest ``distance`` spans past the range (inf for an input of one value in training)."""

    column: int
    count: int
    distance: float


def beyond_range(
    inputs: FloatArray, extremes: tuple[FloatArray, FloatArray], x_min: FloatArray, x_max: FloatArray, share: float
) -> tuple[int, list[Beyond]]:
    """How many rows of ``inputs`` lie beyond the training range [x_min, x_max] of some input by
    more than ``share`` of its span, and those inputs; for an input of one value in training,
    any other value. The inputs' ``extremes`` settle most calls without a pass over the rows."""
    low, high = extremes
    # Halves first, as in unit_columns: spans up to the largest float64 do not overflow.
    half_span = x_max / 2.0 - x_min / 2.0
    reach = share * half_span
    outside = (low / 2.0 < x_min / 2.0 - reach) | (high / 2.0 > x_max / 2.0 + reach)
    if not outside.any():
        return 0, []
    rows = np.zeros(len(inputs), dtype=bool)
    found = []
    for column in np.flatnonzero(outside):
        values = inputs[:, column] / 2.0
        past = np.maximum(x_min[column] / 2.0 - values, values - x_max[column] / 2.0)
        if half_span[column] > 0.0:
            distances = past / half_span[column]
            beyond = distances > share
            farthest = float(distances.max())
        else:
            beyond, farthest = past > 0.0, math.inf
        rows |= beyond
        found.append(Beyond(int(column), int(np.count_nonzero(beyond)), farthest))
    return int(np.count_nonzero(rows)), found


def column_extremes(inputs: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Each column's smallest and largest value (NaN in a column that holds a NaN)."""
    n_rows, n_columns = inputs.shape
    # NumPy reduces a C-ordered table down its columns one row of d values at a time. The
    # same memory as rows of many original rows each gives its loops some length; the
    # partial extremes of each column are then reduced again.
    group = max(1, EXTREMES_ROW_LENGTH // n_columns)
    whole = n_rows - n_rows % group
    if not inputs.flags.c_contiguous or whole == 0:
        return inputs.min(axis=0), inputs.max(axis=0)
    wide = inputs[:whole].reshape(-1, group * n_columns)
    low = wide.min(axis=0).reshape(group, n_columns).min(axis=0)
    high = wide.max(axis=0).reshape(group, n_columns).max(axis=0)
    if whole < n_rows:
        np.minimum(low, inputs[whole:].min(axis=0), out=low)
        np.maximum(high, inputs[whole:].max(axis=0), out=high)
    return low, high


# The length of the rows that column_extremes reduces a C-ordered table as.
EXTREMES_ROW_LENGTH = 1024


def feature_names(X: Any) -> NDArray[np.object_] | None:
    """The column names of a DataFrame whose names are all strings; None otherwise."""
    columns = getattr(X, "columns", None)
    if columns is None or isinstance(X, np.ndarray):
        return None
    names = list(columns)
    if not names or not all(isinstance(name, str) for name in names):
        return None
    return np.asarray(names, dtype=object)


def as_float_array(values: Any, name: str) -> FloatArray:
    if type(values).__module__.startswith("scipy.sparse"):
        raise TypeError(f"{name} is a sparse matrix; sparse input is not supported, pass {name}.toarray()")
    if type(values).__module__.startswith("numpy.ma"):
        if np.ma.getmaskarray(values).any():
            raise ValueError(
                f"{name} is a masked array with masked entries, which korva would read as "
                "numbers; drop the masked rows from X and y and pass plain arrays"
            )
        values = np.ma.getdata(values)
    array = np.asarray(values)
    if np.iscomplexobj(array):
        raise ValueError(f"Complex data not supported in {name}")
    # A float64 array is read where it is: the fit never writes into its inputs.
    return array.astype(np.float64, copy=False)


def as_inputs(X: Any, n_features: int | None = None) -> FloatArray:
    """X as a finite float array of shape (n, d) with n >= 1 and d >= 1.

    A 1-D X is one input column; with ``n_features`` given, X must have that many columns.
    """
    return inputs_and_extremes(X, n_features)[0]


def inputs_and_extremes(X: Any, n_features: int | None = None) -> tuple[FloatArray, tuple[FloatArray, FloatArray]]:
    """X as _as_inputs takes it, and its columns' extremes, which the check for NaN and the
    infinities has found on the way."""
    if X is None:
        raise ValueError("X is required, got None")
    inputs = as_float_array(X, "X")
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
            raise ValueError(f"Found array with 0 {what} (shape={inputs.shape}) while a minimum of 1 is required.")
    if n_features is not None and n_columns != n_features:
        raise ValueError(
            f"X has {n_columns} features, but PolynomialMDLRegressor is expecting {n_features} features as input."
        )
    # NaN and the infinities show in the extremes, which take no array as large as X.
    extremes = column_extremes(inputs)
    if not all(np.isfinite(extreme).all() for extreme in extremes):
        raise ValueError("X contains NaN or infinity")
    return inputs, extremes


def as_target(y: Any, n_samples: int) -> FloatArray:
    """y as a finite float array of shape (n_samples,); a column vector is flattened."""
    return target_and_extremes(y, n_samples)[0]


def target_and_extremes(y: Any, n_samples: int, stacklevel: int = 3) -> tuple[FloatArray, tuple[float, float]]:
    """y as _as_target takes it, and its smallest and largest value, in which the check
    for NaN and the infinities finds them."""
    if y is None:
        raise ValueError("This estimator requires y to be passed, but the target y is None")
    target = as_float_array(y, "y")
    if target.ndim == 2 and target.shape[1] == 1:
        warnings.warn(
            "A column-vector y was passed when a 1d array was expected. "
            "Please change the shape of y to (n_samples,), for example using ravel().",
            DataConversionWarning,
            stacklevel=stacklevel,
        )
        target = target.ravel()
    if target.ndim != 1:
        raise ValueError(f"y must have shape (n,), got shape {target.shape}")
    if len(target) != n_samples:
        raise ValueError(f"X has {n_samples} samples but y has {len(target)}")
    low, high = (float(target.min()), float(target.max())) if target.size else (0.0, 0.0)
    if not (math.isfinite(low) and math.isfinite(high)):
        raise ValueError("y contains NaN or infinity")
    return target, (low, high)


def _inverse_half_spans(x_min: FloatArray, x_max: FloatArray) -> FloatArray:
    """1 / half of each input's span, 0 for a constant input (inf where the span is too small)."""
    half_span = x_max / 2.0 - x_min / 2.0
    with np.errstate(divide="ignore", over="ignore"):
        inverse: FloatArray = np.where(half_span > 0.0, 1.0 / np.where(half_span > 0.0, half_span, 1.0), 0.0)
    return inverse


def _check_spans(x_min: FloatArray, x_max: FloatArray) -> None:
    """Refuse an input whose span is too small to map onto [-1, 1]."""
    scale = _inverse_half_spans(x_min, x_max)
    if not np.isfinite(scale).all():
        column = int(np.flatnonzero(~np.isfinite(scale))[0])
        raise ValueError(
            f"X column {column} spans only {x_max[column] - x_min[column]:.6g} (from "
            f"{x_min[column]:.17g} to {x_max[column]:.17g}), too small a range to map onto [-1, 1] "
            "in float64; rescale it or drop the column"
        )
