"""The fit of one group, and the worker process that fits batches of groups for fit_groups.

This module imports only NumPy and the estimator: a worker process starts with nothing
else to load (pandas alone would take it half a second), and it does not import the
caller's script, so a script needs no main guard and may come from standard input.
"""

from __future__ import annotations

import math
import os
import signal
import sys
import threading
import time
import warnings
from dataclasses import dataclass
from multiprocessing.connection import Connection
from typing import Any

import numpy as np
from numpy.typing import NDArray

from korva.diagnostics import KINDS
from korva.estimator import FitWarning, FloatArray, PolynomialMDLRegressor

IntArray = NDArray[np.intp]


@dataclass(frozen=True)
class Column:
    """A result column: its dtype with one input and with several (where the two differ,
    the several-input values are arrays or lists in an object column)."""

    one_input: str
    several_inputs: str

    def missing(self) -> Any:
        """The value of this column for a group that could not be fitted."""
        return math.nan if self.one_input == "float64" else None


# The result columns after the group columns, in order: the one definition of a result row.
# Object and nullable-integer columns are missing (None) for a group that was not fitted.
COLUMNS = {
    "n_samples": Column("int64", "int64"),
    "n_dropped": Column("int64", "int64"),
    "degree": Column("Int64", "object"),
    "coef": Column("object", "object"),
    "coef_se": Column("object", "object"),
    "coef_x": Column("object", "object"),
    "coef_x_se": Column("object", "object"),
    "multi_indices": Column("object", "object"),
    "x_min": Column("float64", "object"),
    "x_max": Column("float64", "object"),
    "scale": Column("float64", "float64"),
    "mdl": Column("float64", "float64"),
    "hit_rate": Column("float64", "float64"),
    "n_outliers": Column("Int64", "Int64"),
    "error": Column("object", "object"),
    "warning": Column("object", "object"),
}
ResultRow = dict[str, Any]
# A group's rows: inputs (n, d), target (n,), weights (n,) or None and errors sigma (n,) or
# None, in the table's order.
Group = tuple[FloatArray, FloatArray, FloatArray | None, FloatArray | None]
# Per row of a group, in the group's order and NaN for a row not fitted, by column of the
# per-row table: the fitted value, whether the row is an inlier (1.0) or an outlier (0.0), and
# its diagnostics (korva.Diagnostics), the kind as its position in KINDS.
ROW_VALUES = ("fitted", "inlier", "std_residual", "weight", "leverage", "distance", "kind")
RowValues = dict[str, FloatArray]
GroupFit = tuple[ResultRow, RowValues | None]


@dataclass(frozen=True)
class FitOptions:
    """What every group of one fit_groups call is fitted with."""

    params: dict[str, Any]
    single_input: bool
    dropna: bool
    rows: bool


def unfitted(options: FitOptions, group: Group, error: str) -> GroupFit:
    """The result of a group that could not be fitted, for the reason ``error``."""
    n_rows = len(group[1])
    return _failure(options, n_rows, len(_kept_rows(options, *group)), error, None)


def _failure(options: FitOptions, n_rows: int, n_kept: int, error: str, warning: str | None) -> GroupFit:
    row = {name: column.missing() for name, column in COLUMNS.items()}
    row.update(n_samples=n_kept, n_dropped=n_rows - n_kept, error=error, warning=warning)
    missing = np.full(n_rows, np.nan)
    return row, dict.fromkeys(ROW_VALUES, missing) if options.rows else None


def _kept_rows(
    options: FitOptions, inputs: FloatArray, target: FloatArray, weight: FloatArray | None, sigma: FloatArray | None
) -> IntArray:
    """The positions of the rows to fit: all, or with ``dropna`` those without a missing value."""
    if not options.dropna:
        return np.arange(len(target))
    return np.flatnonzero(~np.isnan(_columns(inputs, target, weight, sigma)).any(axis=1))


def _columns(inputs: FloatArray, target: FloatArray, weight: FloatArray | None, sigma: FloatArray | None) -> FloatArray:
    """A group's values side by side: inputs, target, and the weights and errors it has."""
    optional = [column[:, None] for column in (weight, sigma) if column is not None]
    return np.hstack([inputs, target[:, None], *optional])


def fit_batch(options: FitOptions, groups: list[Group]) -> list[GroupFit]:
    return [fit_group(options, *group) for group in groups]


def fit_group(
    options: FitOptions, inputs: FloatArray, target: FloatArray, weight: FloatArray | None, sigma: FloatArray | None
) -> GroupFit:
    """The result row of one group (and its per-row values when asked for)."""
    n_rows = len(target)
    kept = _kept_rows(options, inputs, target, weight, sigma)
    inputs, target = inputs[kept], target[kept]
    weight = None if weight is None else weight[kept]
    sigma = None if sigma is None else sigma[kept]
    # Rows in order of their values: the fit then does not depend on the rows' storage order.
    order = np.lexsort(_columns(inputs, target, weight, sigma).T[::-1])
    weights = {} if weight is None else {"sample_weight": weight[order]}
    if sigma is not None:
        weights["sigma"] = sigma[order]
    with warnings.catch_warnings(record=True) as caught:
        # A fragile fit is reported in the group's row; other warnings reach the caller.
        warnings.simplefilter("always", FitWarning)
        try:
            # Its only predictions are at the group's own rows: no word of a row of weight 0
            # beyond the rows fitted.
            params = {**options.params, "extrapolation": "ignore"}
            model = PolynomialMDLRegressor(**params).fit(inputs[order], target[order], **weights)
            found = model.diagnostics(inputs[order], target[order], weights.get("sigma")) if options.rows else None
            error = None
        except Exception as exc:  # a group that cannot be fitted must not stop the others
            error = f"{type(exc).__name__}: {exc}"
    fit_warnings = [str(w.message) for w in caught if issubclass(w.category, FitWarning)]
    for w in caught:
        if not issubclass(w.category, FitWarning):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno, source=w.source)
    warning = "; ".join(fit_warnings) or None
    if error is not None:
        return _failure(options, n_rows, len(kept), error, warning)

    degree: Any = model.degree_
    x_min: Any = model.x_min_
    x_max: Any = model.x_max_
    if options.single_input:  # plain numbers; a one-input degree may have been given as a list of one
        degree = int(np.ravel(degree)[0])
        x_min, x_max = x_min[0], x_max[0]
    row = {
        "n_samples": len(kept),
        "n_dropped": n_rows - len(kept),
        "degree": degree,
        "coef": model.coef_,
        "coef_se": model.bse_,
        "coef_x": model.coef_x_,
        "coef_x_se": model.bse_x_,
        "multi_indices": model.multi_indices_,
        "x_min": x_min,
        "x_max": x_max,
        "scale": model.scale_,
        "mdl": model.mdl_,
        "hit_rate": model.hit_rate_,
        "n_outliers": int(np.count_nonzero(~model.inlier_mask_)),
        "error": None,
        "warning": warning,
    }
    if found is None:
        return row, None
    sorted_values = {
        "fitted": found.fitted,
        "inlier": model.inlier_mask_,
        "std_residual": found.std_residual,
        "weight": found.weight,
        "leverage": found.leverage,
        "distance": found.distance,
        "kind": np.argmax(found.kind[:, None] == np.asarray(KINDS), axis=1),
    }
    values = {}
    for name, sorted_value in sorted_values.items():
        values[name] = np.full(n_rows, np.nan)
        values[name][kept[order]] = sorted_value
    return row, values


# ---------------------------------------------------------------- the worker process


def serve(requests_fd: int, replies_fd: int, parent_pid: int) -> None:
    """Fit the batches that arrive on ``requests_fd`` until it closes; reply on ``replies_fd``.

    A request is ``(batch_number, options, groups)``, its reply ``(batch_number, fits)``.
    """
    # Ctrl-C reaches the whole process group; the parent decides, and ends its workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _end_with_parent(parent_pid)
    with Connection(requests_fd, writable=False) as requests, Connection(replies_fd, readable=False) as replies:
        while True:
            try:
                number, options, groups = requests.recv()
            except EOFError:
                return
            replies.send((number, fit_batch(options, groups)))


# prctl(2): deliver this signal to the process when its parent ends.
PR_SET_PDEATHSIG = 1
PARENT_POLL_SECONDS = 0.5


def _end_with_parent(parent_pid: int) -> None:
    """Make sure this process does not outlive ``parent_pid``, however the parent ends."""
    if sys.platform.startswith("linux"):
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0:
            if os.getppid() != parent_pid:  # the parent ended before the request was made
                os._exit(1)
            return
    # Elsewhere a thread watches for the parent to go (the process is then adopted).
    threading.Thread(target=_watch_parent, args=(parent_pid,), daemon=True).start()


def _watch_parent(parent_pid: int) -> None:
    while os.getppid() == parent_pid:
        time.sleep(PARENT_POLL_SECONDS)
    os._exit(1)
