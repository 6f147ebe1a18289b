"""A fitted model as plain JSON types and back: the format of PolynomialMDLRegressor.to_dict.

``to_dict(model)`` writes every fitted attribute that the model's methods read, under the keys
of KEYS, in lists, floats, ints, strings, booleans and None alone; a float that is not finite is
the string "nan", "inf" or "-inf", so that ``json.dumps(..., allow_nan=False)`` takes the dict.
Floats are written as they are (Python's float repr reads back as the same double), arrays as
nested lists in the model's own order of terms. ``from_dict(cls, d)`` checks every key's type and
every shape against the others before it builds the model, and only converts values: nothing in
the dict is evaluated.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from korva import fitting, inference
from korva._data import MAX_COUNT, FloatArray, is_int
from korva.diagnostics import Weighing
from korva.fitting import GibbsStatistics
from korva.summary import FLAGGED_ROWS_LISTED

if TYPE_CHECKING:
    from korva.estimator import PolynomialMDLRegressor

FORMAT = "korva.fit"
SCHEMA_VERSION = 1

# The keys of the format, each with what it holds (the docs list them too).
KEYS = (
    "format",  # "korva.fit"
    "schema_version",  # 1; a newer version is refused
    "korva_version",  # the korva that wrote it
    "params",  # the constructor's parameters
    "fitted_params",  # the parameters the fit was made with
    "n_features_in",
    "feature_names_in",  # None, or the column names fitted on
    "x_min",  # each input's training range, mapped onto t in [-1, 1]
    "x_max",
    "multi_indices",  # the exponents of each term, one per input
    "degree",
    "coef",  # in t
    "coef_x",  # in x, or None
    "cov",
    "bse",
    "cov_x",
    "bse_x",
    "cov_in_spread",  # cov in units of y's robust spread, which the intervals read
    "spread",  # that spread
    "df_resid",
    "scale",
    "noise_scale",
    "error_quantiles",  # None, or the residuals' distribution that bands of new observations take
    "with_sigma",  # whether the fit had sigma
    "tolerance",
    "hit_rate",
    "mdl",
    "mdl_path",  # [degree, description length] pairs in the order tried
    "n_starts",
    "gibbs",  # None, or the search's warm-up statistics
    "r2",
    "r2_adjusted",
    "weighing",  # how the final fit weighed its rows, which its diagnostics read
    "core_order",  # where each term of the fit's own order lies in "coef"
    "target_name",  # None, or the name of y
    "converged",  # None, or whether the final reweighting settled
    "condition_number",  # of the weighted design
    "seed",  # the seed the fit drew from random_state
    "rows_used",  # the training rows of positive weight
    "flagged_labels",  # None, or the index labels of the first rows flagged: ints, floats, else text
    "n_samples",  # the training rows
    "outlier_rows",  # those flagged as outliers, from 0
    "fit_warnings",
)

# How a float that is not finite is written.
NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}

_GIBBS_FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


# ---------------------------------------------------------------- writing


def to_dict(model: PolynomialMDLRegressor) -> dict[str, Any]:
    """The fitted ``model`` in plain JSON types (see the module description)."""
    # Here, not on import: the fit_groups workers, which import the estimator, never write a fit.
    from importlib.metadata import version

    model._check_fitted()
    model._check_params()
    quantiles = getattr(model, "_error_quantiles_", None)  # as predict_interval reads it
    gibbs = model.gibbs_
    names = getattr(model, "feature_names_in_", None)
    written = {
        "format": FORMAT,
        "schema_version": SCHEMA_VERSION,
        "korva_version": version("korva"),
        "params": _params(model.get_params()),
        "fitted_params": _params(model._fitted_params_),
        "n_features_in": int(model.n_features_in_),
        "feature_names_in": None if names is None else [str(name) for name in names],
        "x_min": _floats(model.x_min_),
        "x_max": _floats(model.x_max_),
        "multi_indices": [[int(e) for e in term] for term in model.multi_indices_],
        "degree": _degree(model.degree_),
        "coef": _floats(model.coef_),
        "coef_x": _optional_floats(model.coef_x_),
        "cov": _floats(model.cov_),
        "bse": _floats(model.bse_),
        "cov_x": _optional_floats(model.cov_x_),
        "bse_x": _optional_floats(model.bse_x_),
        "cov_in_spread": _floats(model._cov_in_spread_),
        "spread": _float(model._spread_),
        "df_resid": _float(model.df_resid_),
        "scale": _float(model.scale_),
        "noise_scale": _float(model.noise_scale_),
        "error_quantiles": None
        if quantiles is None
        else {
            "values": _floats(quantiles.values),
            "cumulative": _floats(quantiles.cumulative),
            "total": _float(quantiles.total),
        },
        "with_sigma": bool(model._fitted_with_sigma),
        "tolerance": _float(model.tolerance_),
        "hit_rate": _float(model.hit_rate_),
        "mdl": _float(model.mdl_),
        "mdl_path": [[_degree(degree), _float(length)] for degree, length in model.mdl_path_.items()],
        "n_starts": int(model.n_starts_),
        "gibbs": None if gibbs is None else {field: _float(getattr(gibbs, field)) for field in _GIBBS_FIELDS},
        "r2": _float(model.r2_),
        "r2_adjusted": _float(model.r2_adjusted_),
        "weighing": _weighing(model._weighing_),
        "core_order": [int(position) for position in model._core_positions()],
        "target_name": model.target_name_,
        "converged": model.converged_,
        "condition_number": _float(model.condition_number_),
        "seed": int(model._seed_),
        "rows_used": int(model._rows_used_),
        "flagged_labels": None if model._flagged_labels_ is None else [_label(x) for x in model._flagged_labels_],
        "n_samples": int(model.inlier_mask_.size),
        "outlier_rows": np.flatnonzero(~model.inlier_mask_).tolist(),
        "fit_warnings": [str(message) for message in model.fit_warnings_],
    }
    assert tuple(written) == KEYS
    return written


def _label(label: Any) -> int | float | str:
    """A row's index label as JSON has it: an int, a float or else its text, as the summary prints it."""
    if isinstance(label, bool) or not isinstance(label, int | float | str):
        return str(label)
    return label if not isinstance(label, float) or math.isfinite(label) else str(label)


def _weighing(weighing: Weighing) -> dict[str, Any]:
    gram_inverse = weighing.gram_inverse
    return {
        "residual_scale": _float(weighing.residual_scale),
        "weight_scale": _float(weighing.weight_scale),
        "tuning": None if weighing.tuning is None else _float(weighing.tuning),
        "active": [int(column) for column in weighing.active],
        "gram_inverse": None if gram_inverse is None else _floats(gram_inverse),
        "sigma_unit": _float(weighing.sigma_unit),
    }


def _float(value: float) -> float | str:
    number = float(value)
    if math.isfinite(number):
        return number
    return "nan" if math.isnan(number) else ("inf" if number > 0 else "-inf")


def _floats(array: FloatArray) -> list[Any]:
    """An array as nested lists of floats, those that are not finite as strings."""
    if np.isfinite(array).all():
        listed: list[Any] = array.tolist()
        return listed
    if array.ndim == 1:
        return [_float(value) for value in array]
    return [_floats(row) for row in array]


def _optional_floats(array: FloatArray | None) -> list[Any] | None:
    return None if array is None else _floats(array)


def _degree(degree: Any) -> int | list[int]:
    if isinstance(degree, tuple | list | np.ndarray):
        return [int(d) for d in degree]
    return int(degree)


def _params(params: Mapping[str, Any]) -> dict[str, Any]:
    """Checked constructor parameters in plain types; a NumPy generator as random_state, whose
    state JSON does not carry, as None."""
    return {name: _plain(name, value) for name, value in params.items()}


def _plain(name: str, value: Any) -> Any:
    if value is None or isinstance(value, str | bool):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, np.random.RandomState | np.random.Generator):
        return None
    if is_int(value):
        return int(value)
    if isinstance(value, numbers.Real):  # finite: the parameters were checked
        return float(value)
    if isinstance(value, list | tuple | np.ndarray):
        return [_plain(name, item) for item in value]
    raise ValueError(f"the parameter {name} = {value!r} has no form in JSON")


# ---------------------------------------------------------------- reading


def from_dict(cls: type[PolynomialMDLRegressor], d: Any) -> PolynomialMDLRegressor:
    """The model that ``to_dict`` wrote as ``d``, every key checked before it is built."""
    if not isinstance(d, Mapping):
        raise TypeError(f"a korva fit is a dict, got {type(d).__name__}")
    if d.get("format") != FORMAT:
        raise ValueError(f"not a korva fit: 'format' is {d.get('format')!r}, not {FORMAT!r}")
    schema = d.get("schema_version")
    if not is_int(schema) or schema < 1:
        raise ValueError(f"'schema_version' must be an int of at least 1, got {schema!r}")
    if schema > SCHEMA_VERSION:
        raise ValueError(
            f"'schema_version' {schema} is newer than this korva reads ({SCHEMA_VERSION}): the fit was "
            f"written by korva {d.get('korva_version')!r}; read it with that version or a later one"
        )
    missing = [key for key in KEYS if key not in d]
    if missing:
        raise ValueError(f"a korva fit needs the key {missing[0]!r}, which is missing")
    unknown = sorted(str(key) for key in d if key not in KEYS)
    if unknown:
        raise ValueError(f"a korva fit has no key {unknown[0]!r}")
    _text(d, "korva_version")
    reader = _Reader(d)
    n_inputs = reader.count("n_features_in", 1)
    params = reader.params("params", cls, n_inputs)
    fitted_params = reader.params("fitted_params", cls, n_inputs)
    state = reader.fitted_attributes(n_inputs)
    model = cls(**params)
    state["_fitted_params_"] = fitted_params
    # As fit commits a fit: one assignment of the whole state.
    model.__dict__ = {**vars(model), **state}
    return model


def _text(d: Mapping[str, Any], key: str) -> str:
    value = d[key]
    if not isinstance(value, str):
        raise ValueError(f"{key!r} must be a string, got {_shown(value)}")
    return value


class _Reader:
    """The keys of one dict read and checked, each against the sizes found before it."""

    def __init__(self, d: Mapping[str, Any]) -> None:
        self.d = d

    def params(self, key: str, cls: type[PolynomialMDLRegressor], n_inputs: int) -> dict[str, Any]:
        value = self.d[key]
        expected = list(cls._param_defaults())
        if not isinstance(value, Mapping) or set(value) != set(expected):
            raise ValueError(f"{key!r} must map each of the parameters {expected} to its value, got {_shown(value)}")
        params = {name: _parameter(key, name, value[name]) for name in expected}
        try:
            cls(**params)._check_params()
            if params["degree"] != "auto":
                _degree_of(params["degree"], "degree", n_inputs)
            if params["basis"] not in ("total", "tensor"):
                fitting.listed_basis(params["basis"], n_inputs)
        except ValueError as exc:
            raise ValueError(f"{key!r}: {exc}") from None
        return params

    def fitted_attributes(self, n_inputs: int) -> dict[str, Any]:
        names = self.d["feature_names_in"]
        if names is not None and (
            not isinstance(names, list) or len(names) != n_inputs or not all(isinstance(n, str) for n in names)
        ):
            raise ValueError(f"'feature_names_in' must be None or {n_inputs} strings, got {_shown(names)}")
        x_min, x_max = self.floats("x_min", (n_inputs,)), self.floats("x_max", (n_inputs,))
        if not (np.isfinite(x_min).all() and np.isfinite(x_max).all() and (x_min <= x_max).all()):
            raise ValueError("'x_min' and 'x_max' must be finite, with x_min <= x_max for each input")
        indices = fitting.listed_basis(self.d["multi_indices"], n_inputs, "'multi_indices'")
        k = len(indices)
        square, vector = (k, k), (k,)
        coef_x = self.optional_floats("coef_x", vector)
        in_x = (self.optional_floats("cov_x", square), self.optional_floats("bse_x", vector))
        if any((part is None) != (coef_x is None) for part in in_x):
            raise ValueError("'coef_x', 'cov_x' and 'bse_x' must be given all three, or all None")
        n_samples = self.count("n_samples", 1)
        inliers = np.ones(n_samples, dtype=bool)
        outlier_rows = self.rows("outlier_rows", n_samples)
        inliers[outlier_rows] = False
        state: dict[str, Any] = {
            "coef_": self.floats("coef", vector),
            "multi_indices_": indices,
            "degree_": _degree_of(self.d["degree"], "degree", n_inputs),
            "mdl_path_": self.mdl_path(n_inputs),
            "scale_": self.not_negative("scale"),
            "inlier_mask_": inliers,
            "mdl_": self.number("mdl"),
            "hit_rate_": self.number("hit_rate"),
            "tolerance_": self.number("tolerance"),
            "gibbs_": self.gibbs(),
            "n_starts_": self.count("n_starts", 0),
            "x_min_": x_min,
            "x_max_": x_max,
            "n_features_in_": n_inputs,
            "fit_warnings_": self.texts("fit_warnings"),
            "_with_sigma_": self.flag("with_sigma"),
            "r2_": self.number("r2"),
            "r2_adjusted_": self.number("r2_adjusted"),
            "cov_": self.floats("cov", square),
            "bse_": self.floats("bse", vector),
            "noise_scale_": self.not_negative("noise_scale"),
            "df_resid_": self.number("df_resid"),
            "coef_x_": coef_x,
            "cov_x_": in_x[0],
            "bse_x_": in_x[1],
            "_cov_in_spread_": self.floats("cov_in_spread", square),
            "_spread_": self.positive("spread"),
            "_error_quantiles_": self.error_quantiles(),
            "_weighing_": self.weighing(k),
            "_core_order_": self.core_order(k),
            "target_name_": self.optional_text("target_name"),
            "converged_": self.optional_flag("converged"),
            "condition_number_": self.number("condition_number"),
            "_seed_": self.seed(),
            "_rows_used_": self.rows_used(n_samples),
            "_flagged_labels_": self.labels(min(len(outlier_rows), FLAGGED_ROWS_LISTED)),
        }
        if names is not None:
            state["feature_names_in_"] = np.asarray(names, dtype=object)
        if n_inputs == 1 and coef_x is not None:
            state["polynomial_"] = fitting.polynomial_in_x(indices, coef_x)
        return state

    def number(self, key: str) -> float:
        return _number_of(self.d[key], key)

    def not_negative(self, key: str) -> float:
        value = self.number(key)
        if value < 0.0:
            raise ValueError(f"{key!r} is a scale, which cannot be negative, got {value!r}")
        return value

    def positive(self, key: str) -> float:
        value = self.number(key)
        if not 0.0 < value < math.inf:
            raise ValueError(f"{key!r} must be a positive finite number, got {value!r}")
        return value

    def floats(self, key: str, shape: tuple[int, ...]) -> FloatArray:
        return _array_of(self.d[key], key, shape)

    def optional_floats(self, key: str, shape: tuple[int, ...]) -> FloatArray | None:
        return None if self.d[key] is None else self.floats(key, shape)

    def count(self, key: str, lowest: int) -> int:
        value = self.d[key]
        if not is_int(value) or not lowest <= value <= MAX_COUNT:
            raise ValueError(f"{key!r} must be an int of at least {lowest} and below 2**31, got {_shown(value)}")
        return int(value)

    def flag(self, key: str) -> bool:
        value = self.d[key]
        if not isinstance(value, bool):
            raise ValueError(f"{key!r} must be true or false, got {_shown(value)}")
        return value

    def texts(self, key: str) -> list[str]:
        value = self.d[key]
        if not isinstance(value, list) or not all(isinstance(text, str) for text in value):
            raise ValueError(f"{key!r} must be a list of strings, got {_shown(value)}")
        return list(value)

    def rows(self, key: str, n_samples: int) -> list[int]:
        value = self.d[key]
        if (
            not isinstance(value, list)
            or not all(is_int(row) and 0 <= row < n_samples for row in value)
            or len(set(value)) != len(value)
        ):
            raise ValueError(f"{key!r} must list distinct rows from 0 to n_samples - 1 = {n_samples - 1}")
        return [int(row) for row in value]

    def mdl_path(self, n_inputs: int) -> dict[int | tuple[int, ...], float]:
        value = self.d["mdl_path"]
        if not isinstance(value, list) or not all(isinstance(pair, list) and len(pair) == 2 for pair in value):
            raise ValueError(f"'mdl_path' must be a list of [degree, description length] pairs, got {_shown(value)}")
        path: dict[int | tuple[int, ...], float] = {}
        for degree, length in value:
            found = _degree_of(degree, "mdl_path", n_inputs)
            path[tuple(found) if isinstance(found, list) else found] = _number_of(length, "mdl_path")
        return path

    def gibbs(self) -> GibbsStatistics | None:
        value = self.d["gibbs"]
        if value is None:
            return None
        if not isinstance(value, Mapping) or set(value) != set(_GIBBS_FIELDS):
            raise ValueError(
                f"'gibbs' must be None or map each of {list(_GIBBS_FIELDS)} to a number, got {_shown(value)}"
            )
        return GibbsStatistics(**{field: _number_of(value[field], "gibbs") for field in _GIBBS_FIELDS})

    def core_order(self, n_terms: int) -> NDArray[np.intp]:
        value = self.d["core_order"]
        if not isinstance(value, list) or not all(is_int(p) for p in value) or sorted(value) != list(range(n_terms)):
            raise ValueError(
                f"'core_order' must be a permutation of the positions 0 to {n_terms - 1}, got {_shown(value)}"
            )
        return np.asarray(value, dtype=np.intp)

    def optional_text(self, key: str) -> str | None:
        value = self.d[key]
        if value is not None and not isinstance(value, str):
            raise ValueError(f"{key!r} must be None or a string, got {_shown(value)}")
        return value

    def optional_flag(self, key: str) -> bool | None:
        return None if self.d[key] is None else self.flag(key)

    def seed(self) -> int:
        value = self.d["seed"]
        if not is_int(value) or not 0 <= value < 2**64:
            raise ValueError(f"'seed' must be an int from 0 to 2**64 - 1, got {_shown(value)}")
        return int(value)

    def rows_used(self, n_samples: int) -> int:
        used = self.count("rows_used", 0)
        if used > n_samples:
            raise ValueError(f"'rows_used' {used} must not exceed the {n_samples} rows of 'n_samples'")
        return used

    def labels(self, n_listed: int) -> list[Any] | None:
        """The labels of the first n_listed rows flagged, or None."""
        value = self.d["flagged_labels"]
        if value is None:
            return None
        if not isinstance(value, list) or not all(
            isinstance(label, int | float | str) and not isinstance(label, bool) for label in value
        ):
            raise ValueError(f"'flagged_labels' must be None or a list of ints, floats or strings, got {_shown(value)}")
        if len(value) != n_listed:
            raise ValueError(
                f"'flagged_labels' must label the first {n_listed} of the rows in 'outlier_rows', got {len(value)}"
            )
        return list(value)

    def weighing(self, n_terms: int) -> Weighing:
        value = self.d["weighing"]
        fields = ("residual_scale", "weight_scale", "tuning", "active", "gram_inverse", "sigma_unit")
        if not isinstance(value, Mapping) or set(value) != set(fields):
            raise ValueError(f"'weighing' must map each of {list(fields)}, got {_shown(value)}")
        active = value["active"]
        if (
            not isinstance(active, list)
            or not all(is_int(column) and 0 <= column < n_terms for column in active)
            or sorted(set(active)) != active
        ):
            raise ValueError(f"'weighing' must list its active columns in ascending order, from 0 to {n_terms - 1}")
        square = (len(active), len(active))
        tuning, gram_inverse = value["tuning"], value["gram_inverse"]
        residual_scale, weight_scale, sigma_unit = (
            _number_of(value[field], "weighing") for field in ("residual_scale", "weight_scale", "sigma_unit")
        )
        cutoff = None if tuning is None else _number_of(tuning, "weighing")
        if not (residual_scale >= 0.0 and weight_scale >= 0.0 and 0.0 < sigma_unit < math.inf):
            raise ValueError("'weighing' must hold scales of at least 0 and a positive finite sigma_unit")
        if cutoff is not None and not 0.0 < cutoff <= math.inf:
            raise ValueError(f"'weighing' must hold a positive tuning (the weights' cut-off) or None, got {cutoff!r}")
        return Weighing(
            residual_scale,
            weight_scale,
            cutoff,
            np.asarray(active, dtype=np.intp),
            None if gram_inverse is None else _array_of(gram_inverse, "weighing", square),
            sigma_unit,
        )

    def error_quantiles(self) -> inference.ErrorQuantiles | None:
        value = self.d["error_quantiles"]
        if value is None:
            return None
        fields = ("values", "cumulative", "total")
        if not isinstance(value, Mapping) or set(value) != set(fields):
            raise ValueError(f"'error_quantiles' must be None or map each of {list(fields)}, got {_shown(value)}")
        values = value["values"]
        size = len(values) if isinstance(values, list) and values else 1
        pool = _array_of(values, "error_quantiles", (size,))
        cumulative = _array_of(value["cumulative"], "error_quantiles", (size,))
        if not (np.diff(pool) >= 0.0).all() or not (np.diff(cumulative) >= 0.0).all():
            raise ValueError("'error_quantiles' must hold its values and cumulative weights in ascending order")
        return inference.ErrorQuantiles(pool, cumulative, _number_of(value["total"], "error_quantiles"))


# The deepest lists a parameter takes: a basis is a list of exponent vectors.
PARAMETER_NESTING = 2


def _parameter(key: str, name: str, value: Any, depth: int = 0) -> Any:
    """A parameter as JSON gives it: None, a bool, a number, a string or lists of them, at most
    PARAMETER_NESTING deep."""
    if value is None or isinstance(value, str | bool | int | float):
        return value
    if isinstance(value, list) and depth < PARAMETER_NESTING:
        return [_parameter(key, name, item, depth + 1) for item in value]
    raise ValueError(
        f"{key!r}: the parameter {name} must be None, a bool, a number, a string or a list "
        f"(of lists) of them, got {_shown(value)}"
    )


def _degree_of(value: Any, key: str, n_inputs: int) -> int | list[int]:
    """A degree: an int of at least 0, or one such int per input."""
    if is_int(value) and value >= 0:
        return int(value)
    if isinstance(value, list) and len(value) == n_inputs and all(is_int(d) and d >= 0 for d in value):
        return [int(d) for d in value]
    raise ValueError(
        f"{key!r}: a degree must be an int of at least 0 or a list of {n_inputs} of them, one per input, "
        f"got {_shown(value)}"
    )


def _number_of(value: Any, key: str) -> float:
    if isinstance(value, str) and value in NON_FINITE:
        return NON_FINITE[value]
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise ValueError(f"{key!r} must hold numbers (or 'nan', 'inf', '-inf'), got {_shown(value)}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{key!r} holds an int too large for a float: {_shown(value)}") from None


def _array_of(value: Any, key: str, shape: tuple[int, ...]) -> FloatArray:
    """Nested lists of numbers as an array of ``shape``; a ValueError naming ``key`` otherwise."""
    if len(shape) == 1:
        if not isinstance(value, list) or len(value) != shape[0]:
            raise ValueError(f"{key!r} must be a list of {shape[0]} numbers, got {_shown(value)}")
        return np.array([_number_of(item, key) for item in value], dtype=np.float64)
    if not isinstance(value, list) or len(value) != shape[0]:
        raise ValueError(f"{key!r} must be {shape[0]} lists of {shape[1]} numbers, got {_shown(value)}")
    return np.array([_array_of(row, key, shape[1:]) for row in value], dtype=np.float64).reshape(shape)


def _shown(value: Any) -> str:
    """A value for a message: a list by its length, anything else by its repr, cut short."""
    if isinstance(value, list):
        return f"a list of {len(value)}"
    shown = repr(value)
    return shown if len(shown) <= 60 else shown[:57] + "..."
