"""Runs korva_core calls in a child interpreter.

A call that crashes, hangs or lets memory run away must not take the caller
with it. `CallRunner` sends each call as Python source text to a long-lived
child, waits with a timeout while watching the child's resident memory, and
turns a dead, stuck or bloated child into a report naming the call; the next
call gets a fresh child. Run as a script, this file is that child.

The outcome of a call is "result" or the name of the exception it raised.
Acceptable are a result of the documented kind, an exception in
`ALLOWED_ERRORS` with a message, or the exception that a hostile argument
raised itself (`HostileArgumentError`), passed through unchanged. A call given
complex numbers must not return a result (NumPy would drop their imaginary
parts with no more than a warning, which the child ignores so that such a
drop shows), nor may fit_regularized_linear when it reads NaN or infinity.
"""

from __future__ import annotations

import faulthandler
import gc
import json
import math
import operator
import os
import resource
import selectors
import signal
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass

import numpy as np

ALLOWED_ERRORS = {"ValueError", "TypeError", "MemoryError", "RuntimeError"}
RESULT = "result"
PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


@dataclass(frozen=True)
class Call:
    """One call of an entry point; `target`, `args` and `kwargs` are source text."""

    entry: str  # entry point, e.g. "mad" or "TournamentMCMC.fit"
    target: str  # the callable, e.g. "kc.mad" or "kc.TournamentMCMC(n_chains=2).fit"
    args: tuple[str, ...] = ()
    kwargs: tuple[tuple[str, str], ...] = ()

    @property
    def source(self) -> str:
        parts = [*self.args, *(f"{name}={value}" for name, value in self.kwargs)]
        return f"{self.target}({', '.join(parts)})"

    def __repr__(self) -> str:
        return self.source


@dataclass(frozen=True)
class Report:
    call: Call
    outcome: str  # "result", an exception name, or "crashed" / "hung" / "runaway memory"
    problem: str | None  # None when the outcome is acceptable
    seconds: float = math.nan  # time spent inside the call, measured by the child
    memory_growth: int = 0  # bytes by which the child's peak resident size grew during the call

    def describe(self) -> str:
        return f"{self.call.source}\n  -> {self.outcome}: {self.problem}"


def running_under_asan() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


# ---------------------------------------------------------------- hostile arguments


class HostileArgumentError(Exception):
    """Raised by the hostile argument objects below; it may pass through a call unchanged."""


class IndexLike:
    """An integer that is not an int: usable through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class FloatLike:
    """A number usable through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class RaisingNumber:
    """Fails whenever it is asked for its value."""

    def __index__(self):
        raise HostileArgumentError("__index__")

    def __float__(self):
        raise HostileArgumentError("__float__")

    def __repr__(self):
        return "RaisingNumber()"


class ShortSequence:
    """Claims more items than it has."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return 1

    def __repr__(self):
        return "ShortSequence()"


class RaisingSequence:
    """A sequence whose items cannot be read."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise HostileArgumentError("__getitem__")

    def __repr__(self):
        return "RaisingSequence()"


class RaisingArray:
    """Offers the array protocol and then fails in it."""

    def __array__(self, dtype=None, copy=None):
        raise HostileArgumentError("__array__")

    def __repr__(self):
        return "RaisingArray()"


def readonly(array):
    array.flags.writeable = False
    return array


def strided(array):
    """The same values as a view whose rows are not adjacent in memory."""
    return np.repeat(array, 2, axis=0)[::2] if array.ndim else array


SPECIAL_FLOATS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    1e-300,
    5e-324,
    1e300,
    1.7976931348623157e308,
    math.nan,
    math.inf,
    -math.inf,
]


def sample_array(shape, seed, special_share, scale=10.0):
    """Reproducible float64 contents: uniform in [-scale, scale], with about
    `special_share` of the entries replaced by values from SPECIAL_FLOATS."""
    rng = np.random.default_rng(seed)
    values = rng.uniform(-1, 1, shape) * scale
    special = rng.random(shape) < special_share
    values[special] = rng.choice(SPECIAL_FLOATS, special.sum())
    return values


def reversed_rows(array):
    return array[::-1] if array.ndim else array


def evaluation_namespace() -> dict:
    import korva_core
    from korva import _robust

    hostile = [IndexLike, FloatLike, RaisingNumber, ShortSequence, RaisingSequence, RaisingArray]
    return {
        "np": np,
        "kc": korva_core,
        "kr": _robust,
        "nan": math.nan,
        "inf": math.inf,
        "readonly": readonly,
        "strided": strided,
        "reversed_rows": reversed_rows,
        "sample_array": sample_array,
        **{cls.__name__: cls for cls in hostile},
    }


# ---------------------------------------------------------------- documented results


_REQUIRED = object()


def _argument(args, kwargs, position, name, default=_REQUIRED):
    if name in kwargs:
        return kwargs[name]
    return args[position] if position < len(args) or default is _REQUIRED else default


def holds_complex(value) -> bool:
    """Whether an argument holds complex numbers: itself, in an array or in a list."""
    if isinstance(value, (complex, np.complexfloating)):
        return True
    if isinstance(value, np.ndarray):
        return value.dtype.kind == "c" or (value.dtype.kind == "O" and any(map(holds_complex, value.flat)))
    if isinstance(value, (list, tuple)):
        return any(map(holds_complex, value))
    return False


def _non_finite_reads_of_fit(args, kwargs) -> str | None:
    """What fit_regularized_linear read that held NaN or infinity, which it must refuse."""
    weights = {
        name: float(_argument(args, kwargs, position, name, default))
        for position, name, default in ((4, "gamma1", 0.0), (5, "gamma2", 0.0), (6, "ridge", 1e-10))
    }
    read = {"Phi": _argument(args, kwargs, 0, "Phi"), "y": _argument(args, kwargs, 1, "y")}
    for position, name, weight in ((2, "R1", "gamma1"), (3, "R2", "gamma2")):
        matrix = _argument(args, kwargs, position, name, None)
        if matrix is not None and weights[weight] != 0.0:
            read[name] = matrix
    return _non_finite_reads({**read, **weights})


def _non_finite_reads(read: dict) -> str | None:
    """What a call read, by name, that held NaN or infinity, which it must refuse."""
    bad = [name for name, value in read.items() if not np.isfinite(np.asarray(value, float)).all()]
    return f"returned a result although {' and '.join(bad)} held NaN or infinity" if bad else None


def _non_finite_reads_of_reweight(args, kwargs) -> str | None:
    read = {name: _argument(args, kwargs, position, name) for position, name in enumerate(("design", "target", "beta"))}
    read["scale"] = float(_argument(args, kwargs, 3, "scale"))
    for position, name, default in ((6, "gamma1", 0.0), (7, "gamma2", 0.0), (10, "tolerance", 1e-5)):
        read[name] = float(_argument(args, kwargs, position, name, default))
    read["ridge"] = float(_argument(args, kwargs, 12, "ridge"))
    for position, name, weight in ((4, "R1", "gamma1"), (5, "R2", "gamma2")):
        matrix = _argument(args, kwargs, position, name, None)
        if matrix is not None and read[weight] != 0.0:
            read[name] = matrix
    sample_weight = _argument(args, kwargs, 8, "sample_weight", None)
    if sample_weight is not None:
        read["sample_weight"] = sample_weight
    matrix = _argument(args, kwargs, 14, "matrix", None)
    if matrix is not None:
        read["matrix"] = matrix
    return _non_finite_reads(read)


def _elemental_starts_problem(args, kwargs, result) -> str | None:
    """The finalists, at most as many as asked for and as subsets tried, finite, and the count of
    the subsets listed or of every subset; nothing non-finite read."""
    if not (isinstance(result, tuple) and len(result) == 2 and type(result[1]) is int):
        return f"expected a tuple of the finalists and a count, got {result!r:.80}"
    betas, tried = result
    n_rows, k = len(_argument(args, kwargs, 1, "target")), _columns(_argument(args, kwargs, 0, "design"))
    subsets = _argument(args, kwargs, 3, "subsets", None)
    expected = math.comb(n_rows, k) if subsets is None else len(subsets)
    if tried != expected:
        return f"tried {tried} subsets, expected {expected}"
    finalists = int(_argument(args, kwargs, 9, "finalists"))
    shape_problem = _matrix_problem(betas, (None, k))
    if shape_problem or len(betas) > min(finalists, tried) or not np.isfinite(betas).all():
        return shape_problem or f"{len(betas)} finalists of {tried} subsets, {finalists} asked for, or not finite"
    read = {name: _argument(args, kwargs, position, name) for position, name in enumerate(("design", "target"))}
    read.update(keep=float(_argument(args, kwargs, 2, "keep")), ridge=float(_argument(args, kwargs, 8, "ridge")))
    for position, name in ((4, "weights"), (5, "penalty")):
        value = _argument(args, kwargs, position, name, None)
        if value is not None:
            read[name] = value
    return _non_finite_reads(read)


def _columns(matrix_like) -> int:
    shape = np.shape(matrix_like)
    return shape[1] if len(shape) == 2 else 1


def _basis_size(degrees) -> int:
    degrees = [operator.index(d) for d in degrees]
    return 0 if any(d < 0 for d in degrees) else math.prod(d + 1 for d in degrees)


def _matrix_problem(value, shape=None, symmetric=False) -> str | None:
    if not isinstance(value, np.ndarray) or value.dtype != np.float64 or value.ndim != 2:
        return f"expected a 2-D float64 array, got {type(value).__name__} {getattr(value, 'shape', '')}"
    if not (value.flags.f_contiguous and value.flags.writeable):
        return "returned matrix is not a writeable F-contiguous array"
    if shape is not None and any(want is not None and got != want for got, want in zip(value.shape, shape)):
        return f"expected shape {shape}, got {value.shape}"
    if symmetric and not np.array_equal(value, value.T, equal_nan=True):
        return "returned matrix is not exactly symmetric"
    return None


def _vector_problem(value, length) -> str | None:
    if not isinstance(value, np.ndarray) or value.dtype != np.float64 or value.shape != (length,):
        return f"expected a float64 vector of length {length}, got {type(value).__name__} {getattr(value, 'shape', '')}"
    return None


def _row_statistics_problem(entry, args, kwargs, result) -> str | None:
    """What is wrong with the result of rows_within or residual_band, or None."""
    residuals = np.asarray(_argument(args, kwargs, 0, "residuals"), float)
    weights = _argument(args, kwargs, 4 if entry == "rows_within" else 3, "case_weights", None)
    if np.isnan(residuals).any():
        return "returned a result although residuals held NaN"
    weights = None if weights is None else np.asarray(weights, float)  # as the binding reads them
    if weights is not None and not (np.isfinite(weights).all() and (weights >= 0.0).all()):
        return "returned a result although case_weights held negative or non-finite values"
    record = "RowsWithin" if entry == "rows_within" else "ResidualBand"
    if type(result).__name__ != record:
        return f"expected a {record}, got {type(result).__name__}"
    if entry == "rows_within":
        count, sample = result.count, result.sample
        max_rows = operator.index(_argument(args, kwargs, 3, "max_rows"))
        if not (isinstance(sample, np.ndarray) and sample.dtype == np.int64 and sample.ndim == 1):
            return f"expected an int64 index vector, got {type(sample).__name__}"
        in_range = sample.size == 0 or (sample[0] >= 0 and sample[-1] < residuals.size)
        if not (in_range and (np.diff(sample) > 0).all() and sample.size <= min(max_rows, count)):
            return f"the sample {sample!r:.200} is not at most {max_rows} ascending rows of {count} in use"
        return None
    between = result.between
    inner, outer = float(_argument(args, kwargs, 1, "inner")), float(_argument(args, kwargs, 2, "outer"))
    if not (isinstance(between, np.ndarray) and between.dtype == np.float64 and between.ndim == 1):
        return f"expected a float64 vector of the band, got {type(between).__name__}"
    if not ((between > inner) & (between <= outer)).all():
        return f"band values {between!r:.200} outside ({inner}, {outer}]"
    return (
        None
        if (result.between_weights is None) == (weights is None)
        else "the band's weights do not follow case_weights"
    )


def _bisquare_weights_problem(args, kwargs, result) -> str | None:
    """What is wrong with the result of bisquare_weights, or None."""
    residuals = np.asarray(_argument(args, kwargs, 0, "residuals"), float)
    scale, tuning = float(_argument(args, kwargs, 1, "scale")), float(_argument(args, kwargs, 2, "tuning"))
    weights = _argument(args, kwargs, 3, "case_weights", None)
    weights = (
        np.ones(residuals.size) if weights is None else np.asarray(weights, float).ravel()
    )  # as the binding reads them
    if np.isnan(residuals).any() or not (np.isfinite([scale, tuning]).all() and scale > 0.0 and tuning > 0.0):
        return "returned weights although the residuals held NaN or the scale or tuning was not a finite number above 0"
    if not (np.isfinite(weights).all() and (weights >= 0.0).all()):
        return "returned weights although case_weights held negative or non-finite values"
    shape_problem = _vector_problem(result, residuals.size)
    if shape_problem is not None:
        return shape_problem
    if not ((result >= 0.0) & (result <= weights)).all():
        return f"weights {result!r:.200} outside [0, case_weights]"
    return None


def _formed_design_problem(entry, args, kwargs, result) -> str | None:
    """What is wrong with a MonomialDesign or with the result of its use, or None."""
    from korva import _robust

    if entry == "MonomialDesign":
        if not isinstance(result, _robust.MonomialDesign):
            return f"expected a MonomialDesign, got {type(result).__name__}"
        shape = (len(np.asarray(args[0][0])), len(args[1]))
        return None if result.shape == shape else f"shape {result.shape}, expected {shape}"
    n, k = args[0].shape
    if entry == "MonomialDesign rows":
        index = np.asarray(args[1])
        if not ((index >= 0) & (index < n)).all():
            return f"returned rows although the index {index!r:.200} leaves 0 .. {n - 1}"
        return _matrix_problem(result, (index.size, k))
    if entry == "MonomialDesign product":
        return _vector_problem(result, n)
    if entry == "MonomialDesign reweight":
        return _vector_problem(result, k)
    if type(result).__name__ != "BisquareMoments":
        return f"expected a BisquareMoments, got {type(result).__name__}"
    return _matrix_problem(result.gram, (k, k), symmetric=True)


def _weighted_median_problem(args, kwargs, result) -> str | None:
    """A weighted median is a float among the values that carry weight (NaN when one of them is
    NaN), and there is none for weights that are not finite and at least 0 or that sum to 0."""
    if type(result) is not float:
        return f"expected a float, got {type(result).__name__}"
    values = np.asarray(_argument(args, kwargs, 0, "values"), float).ravel()
    weights = np.asarray(_argument(args, kwargs, 1, "weights"), float).ravel()
    if values.size == 0 or values.size != weights.size:
        return f"returned a result for {values.size} values and {weights.size} weights"
    if not (np.isfinite(weights).all() and (weights >= 0.0).all() and weights.sum() > 0.0):
        return "returned a result although the weights were not finite, at least 0 and of a positive sum"
    carried = values[weights > 0.0]
    if math.isnan(result) or np.isnan(carried).any():
        return None if np.isnan(carried).any() else "returned NaN for values without NaN"
    if not carried.min() <= result <= carried.max():
        return f"{result!r} lies outside the values that carry weight, [{carried.min()!r}, {carried.max()!r}]"
    return None


def result_problem(entry, args, kwargs, result) -> str | None:
    """What is wrong with `result` as the documented result of `entry`, or None."""
    import korva_core as kc

    if entry == "m_scale":
        if type(result) is not float or not result >= 0.0:
            return f"expected a float of at least 0, got {result!r}"
        tuning, breakdown = float(kwargs["tuning"]), float(kwargs["breakdown"])
        if not (1e-3 <= tuning <= 1e3 and 0.0 < breakdown < 1.0):
            return f"returned a result for tuning {tuning!r} and breakdown {breakdown!r}"
        weights = _argument(args, kwargs, 2, "weights", None)
        read = {"residuals": _argument(args, kwargs, 0, "residuals"), "guess": _argument(args, kwargs, 1, "guess", 0.0)}
        return _non_finite_reads(read if weights is None else {**read, "weights": weights})
    if entry == "weighted_least_squares":
        read = {
            name: _argument(args, kwargs, position, name)
            for position, name in enumerate(("design", "target", "weights"))
        }
        read["ridge"] = float(_argument(args, kwargs, 7, "ridge"))
        for position, name, weight in ((3, "R1", "gamma1"), (4, "R2", "gamma2")):
            read[weight] = float(_argument(args, kwargs, position + 2, weight, 0.0))
            matrix = _argument(args, kwargs, position, name, None)
            if matrix is not None and read[weight] != 0.0:
                read[name] = matrix
        shape_problem = _vector_problem(result, _columns(read["design"]))
        return shape_problem or _non_finite_reads(read)
    if entry == "bisquare_moments":
        if type(result).__name__ != "BisquareMoments":
            return f"expected a BisquareMoments, got {type(result).__name__}"
        design = _argument(args, kwargs, 0, "design")
        side = _columns(design)
        read = {"design": design, "residuals": _argument(args, kwargs, 1, "residuals")}
        read["scale"] = float(_argument(args, kwargs, 2, "scale"))
        weights = _argument(args, kwargs, 4, "case_weights", None)
        if weights is not None:
            read["case_weights"] = weights
            if (np.asarray(weights, float) < 0.0).any():
                return "returned a result although case_weights held negative values"
        if not read["scale"] > 0.0:
            return "returned a result although the scale was not above 0"
        if not float(_argument(args, kwargs, 3, "tuning")) > 0.0:
            return "returned a result although the tuning was not above 0"
        return _matrix_problem(result.gram, (side, side), symmetric=True) or _non_finite_reads(read)
    if entry == "reweight":
        shape_problem = _vector_problem(result, _columns(_argument(args, kwargs, 0, "design")))
        return shape_problem or _non_finite_reads_of_reweight(args, kwargs)
    if entry == "concentrate_starts":
        if type(result).__name__ != "Concentration":
            return f"expected a Concentration, got {type(result).__name__}"
        starts = np.shape(_argument(args, kwargs, 2, "starts"))
        n_rows = len(_argument(args, kwargs, 1, "target"))
        kept_shape = (starts[0], n_rows) if _argument(args, kwargs, 7, "kept_rows", False) else (0, 0)
        shape_problem = (
            _matrix_problem(result.betas, starts)
            or _vector_problem(result.trimmed, starts[0])
            or _matrix_problem(result.kept, kept_shape)
        )
        read = {name: _argument(args, kwargs, position, name) for position, name in enumerate(("design", "target"))}
        read.update(starts=_argument(args, kwargs, 2, "starts"), keep=float(_argument(args, kwargs, 3, "keep")))
        read["ridge"] = float(_argument(args, kwargs, 7, "ridge"))
        for position, name in ((4, "weights"), (5, "penalty")):
            value = _argument(args, kwargs, position, name, None)
            if value is not None:
                read[name] = value
        return shape_problem or _non_finite_reads(read)
    if entry == "elemental_starts":
        return _elemental_starts_problem(args, kwargs, result)
    if entry in ("rows_within", "residual_band"):
        return _row_statistics_problem(entry, args, kwargs, result)
    if entry == "bisquare_weights":
        return _bisquare_weights_problem(args, kwargs, result)
    if entry.startswith("MonomialDesign"):
        return _formed_design_problem(entry, args, kwargs, result)
    if entry in ("median", "median_abs_deviation", "weighted_median"):
        if type(result) is not float:
            return f"expected a float, got {type(result).__name__}"
        values = np.asarray(_argument(args, kwargs, 0, "values"), float)
        if values.size == 0:
            return "returned a result although values is empty"
        if entry == "median_abs_deviation" and not (result >= 0.0 or math.isnan(result)):
            return f"expected a median of absolute values, got {result!r}"
        return None
    if entry == "weighted_median":
        return _weighted_median_problem(args, kwargs, result)
    if entry in ("mad", "compute_sr", "mdl_score", "mdl_score_reg"):
        return None if type(result) is float else f"expected a float, got {type(result).__name__}"
    if entry == "design_matrix_1d":
        deg = operator.index(_argument(args, kwargs, 0, "deg"))
        return _matrix_problem(result, (None, deg + 1))
    if entry == "smoothness_penalty_matrices_1d":
        side = operator.index(_argument(args, kwargs, 0, "deg")) + 1
        if not (isinstance(result, tuple) and len(result) == 2):
            return f"expected the pair (R1, R2), got {type(result).__name__}"
        return _matrix_problem(result[0], (side, side), True) or _matrix_problem(result[1], (side, side), True)
    if entry == "boundary_reduce_1d":
        side = operator.index(_argument(args, kwargs, 0, "deg")) + 1
        return _matrix_problem(result, (side, side), True)
    if entry == "design_matrix_nd":
        return _matrix_problem(result, (None, len(_argument(args, kwargs, 0, "multi_indices"))))
    if entry == "build_penalty_matrices_nd":
        if not (isinstance(result, tuple) and len(result) == 3):
            return f"expected (R1, R2, multi_indices), got {type(result).__name__}"
        side = _basis_size(_argument(args, kwargs, 0, "degrees"))
        R1, R2, multi_indices = result
        if not (isinstance(multi_indices, list) and len(multi_indices) == side):
            return f"expected {side} multi-indices, got {multi_indices!r:.200}"
        return _matrix_problem(R1, (side, side), True) or _matrix_problem(R2, (side, side), True)
    if entry == "ols":
        return _vector_problem(result, _columns(_argument(args, kwargs, 0, "X")))
    if entry == "fit_regularized_linear":
        shape_problem = _vector_problem(result, _columns(_argument(args, kwargs, 0, "Phi")))
        return shape_problem or _non_finite_reads_of_fit(args, kwargs)
    if entry == "gibbs_entropy":
        if not isinstance(result, kc.GibbsResult):
            return f"expected a GibbsResult, got {type(result).__name__}"
        T = float(_argument(args, kwargs, 1, "T", 1.0))
        same_T = result.T == T or (math.isnan(result.T) and math.isnan(T))
        return None if same_T else f"GibbsResult.T is {result.T!r}, the call passed {T!r}"
    if entry == "TournamentMCMC":
        return None if isinstance(result, kc.TournamentMCMC) else f"got {type(result).__name__}"
    if entry == "TournamentMCMC.fit":
        if not isinstance(result, kc.MCMCResult):
            return f"expected an MCMCResult, got {type(result).__name__}"
        return _vector_problem(result.beta_mcmc, _columns(_argument(args, kwargs, 0, "X")))
    raise KeyError(f"no documented result for entry point {entry!r}")


# ---------------------------------------------------------------- the child


def _resident_bytes(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/statm") as statm:
            return int(statm.read().split()[1]) * PAGE_SIZE
    except FileNotFoundError:  # the child is gone
        return 0


def _reset_peak_resident_bytes() -> int:
    """Resets the peak resident size to the current one and returns it. The child's peak
    from getrusage would not do: a process started by fork and exec keeps its parent's peak
    there, which can hide what a call touched."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:  # not Linux, or not allowed: the peak since the child started
        pass
    return _peak_resident_bytes()


def _peak_resident_bytes() -> int:
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _judge_exception(exc: Exception) -> str | None:
    name = type(exc).__name__
    if isinstance(exc, HostileArgumentError):
        return None
    if name not in ALLOWED_ERRORS:
        return f"raised {name}: {exc}"
    if not str(exc).strip():
        return f"raised {name} without a message"
    return None


def execute(request: dict, namespace: dict) -> dict:
    call = Call(request["entry"], request["target"], tuple(request["args"]), tuple(map(tuple, request["kwargs"])))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # building odd arrays (NaN cast to int, ...) may warn
            target = eval(call.target, namespace)
            args = [eval(source, namespace) for source in call.args]
            kwargs = {name: eval(source, namespace) for name, source in call.kwargs}
    except Exception as exc:
        problem = f"the arguments could not be built: {exc!r}"
        return {"outcome": "unbuildable", "problem": problem, "seconds": 0.0, "memory_growth": 0}

    peak_before = _reset_peak_resident_bytes()
    start = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # as in the test suite
            warnings.simplefilter("ignore", np.exceptions.ComplexWarning)  # as by default: a silent drop must show
            result = target(*args, **kwargs)
    except Exception as exc:
        seconds = time.perf_counter() - start
        outcome, problem = type(exc).__name__, _judge_exception(exc)
    else:
        seconds = time.perf_counter() - start
        outcome = RESULT
        try:
            if any(holds_complex(value) for value in (*args, *kwargs.values())):
                problem = "returned a result for complex input"
            else:
                problem = result_problem(call.entry, args, kwargs, result)
        except Exception as exc:
            problem = f"the result could not be checked: {exc!r}"
    return {
        "outcome": outcome,
        "problem": problem,
        "seconds": seconds,
        "memory_growth": _peak_resident_bytes() - peak_before,
    }


def measure_repeated(request: dict, namespace: dict) -> dict:
    """Evaluates an expression `warmup` times, then `repeat` more times, and reports
    how much resident memory and how many Python objects the second round added."""
    exec(request["setup"], namespace)
    code = compile(request["expression"], "<repeated>", "eval")

    def run(times):
        for _ in range(times):
            try:
                eval(code, namespace)
            except Exception as exc:
                problem = _judge_exception(exc)
                if problem:
                    return problem
        return None

    problem = run(request["warmup"])
    # Calls that raise leave reference cycles (exception, traceback, frame) for the cyclic
    # collector, which runs when it will: collected at both ends, its timing does not count
    # as growth, while a leaked object, which is still referenced, does.
    gc.collect()
    resident_before, blocks_before = _resident_bytes(os.getpid()), sys.getallocatedblocks()
    problem = problem or run(request["repeat"])
    gc.collect()
    return {
        "problem": problem,
        "resident_growth": _resident_bytes(os.getpid()) - resident_before,
        "block_growth": sys.getallocatedblocks() - blocks_before,
    }


def serve(address_space: int) -> None:
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if not running_under_asan():
        resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    faulthandler.enable()
    namespace = evaluation_namespace()
    protocol = sys.stdout
    sys.stdout = sys.stderr  # anything printed by accident must not corrupt the replies
    handlers = {"call": execute, "repeat": measure_repeated}
    protocol.write(json.dumps({"ready": True}) + "\n")
    protocol.flush()
    for line in sys.stdin:
        request = json.loads(line)
        protocol.write(json.dumps(handlers[request["kind"]](request, namespace)) + "\n")
        protocol.flush()


# ---------------------------------------------------------------- the parent


class ChildFailure(Exception):
    def __init__(self, outcome: str, detail: str):
        super().__init__(detail)
        self.outcome = outcome


class CallRunner:
    """Runs calls in a child interpreter, one at a time.

    address_space: the child's address-space limit in bytes (under ASan, which
        cannot run with one, the largest single allocation instead);
    memory_budget: how far the child's resident size may grow past its size
        after start-up before it is killed as a runaway;
    timeout: seconds a call may take before the child is killed as hung;
    environment: variables to set for the child in addition to ours.
    """

    def __init__(self, *, address_space: int, memory_budget: int, timeout: float, environment: dict | None = None):
        self.address_space = address_space
        self.memory_budget = memory_budget
        self.timeout = timeout
        self.environment = environment or {}
        self._child: subprocess.Popen | None = None
        self._stderr = None
        self._pending = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def run(self, call: Call) -> Report:
        request = {"kind": "call", "entry": call.entry, "target": call.target,
                   "args": list(call.args), "kwargs": [list(kw) for kw in call.kwargs]}  # fmt: skip
        try:
            reply = self._exchange(request)
        except ChildFailure as failure:
            return Report(call, failure.outcome, str(failure))
        return Report(call, **reply)

    def measure_repeated(self, setup: str, expression: str, warmup: int, repeat: int) -> dict:
        """See `measure_repeated` above; a crash or hang raises ChildFailure."""
        request = {"kind": "repeat", "setup": setup, "expression": expression, "warmup": warmup, "repeat": repeat}
        return self._exchange(request)

    def close(self) -> None:
        if self._child is not None:
            self._child.stdin.close()
            try:
                self._child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._child.kill()
                self._child.wait()
            self._discard_child()

    # -- child management

    def _start(self) -> None:
        env = {**os.environ, **self.environment}
        if running_under_asan():
            # ASan reserves terabytes of address space, so the child cannot take an
            # RLIMIT_AS; refusing every single allocation beyond the limit comes nearest.
            options = [env.get("ASAN_OPTIONS", ""), "allocator_may_return_null=1",
                       f"max_allocation_size_mb={self.address_space >> 20}"]  # fmt: skip
            env["ASAN_OPTIONS"] = ":".join(filter(None, options))
        self._stderr = tempfile.TemporaryFile()
        self._child = subprocess.Popen(
            [sys.executable, __file__, str(self.address_space)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            env=env,
        )
        self._pending = b""
        self._read_reply(timeout=120, watch_memory=False)  # the "ready" line
        self._resident_baseline = _resident_bytes(self._child.pid)

    def _discard_child(self) -> None:
        for stream in (self._child.stdin, self._child.stdout):
            stream.close()
        self._stderr.close()
        self._child = None

    def _fail(self, outcome: str, detail: str) -> ChildFailure:
        """Kills the child (if still alive) and describes what happened to it."""
        if self._child.poll() is None:
            self._child.kill()
        self._child.wait()
        self._stderr.seek(0)
        log = self._stderr.read().decode(errors="replace")
        # A sanitizer report is most useful from its first line on.
        report_start = max(log.find("ERROR: AddressSanitizer"), log.find("runtime error:"))
        log = log[max(report_start - 200, 0) :][:6000] if report_start >= 0 else log[-4000:]
        self._discard_child()
        return ChildFailure(outcome, f"{detail}\n--- child's stderr (end) ---\n{log}")

    def _exchange(self, request: dict) -> dict:
        if self._child is None:
            self._start()
        try:
            self._child.stdin.write(json.dumps(request).encode() + b"\n")
            self._child.stdin.flush()
        except BrokenPipeError:
            raise self._fail("crashed", "the child died before the call could be sent") from None
        return self._read_reply(self.timeout, watch_memory=True)

    def _read_reply(self, timeout: float, watch_memory: bool) -> dict:
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(self._child.stdout, selectors.EVENT_READ)
            while b"\n" not in self._pending:
                if selector.select(timeout=0.01):
                    chunk = os.read(self._child.stdout.fileno(), 65536)
                    if not chunk:
                        code = self._child.wait()
                        how = f"signal {signal.Signals(-code).name}" if code < 0 else f"exit status {code}"
                        raise self._fail("crashed", f"the child died ({how})")
                    self._pending += chunk
                elif (
                    watch_memory
                    and (grown := _resident_bytes(self._child.pid) - self._resident_baseline) > self.memory_budget
                ):
                    raise self._fail("runaway memory", f"killed after its resident size grew by {grown >> 20} MiB")
                elif time.monotonic() > deadline:
                    raise self._fail("hung", f"killed after {timeout:g} s without an answer")
        line, _, self._pending = self._pending.partition(b"\n")
        return json.loads(line)


if __name__ == "__main__":
    serve(address_space=int(sys.argv[1]))
