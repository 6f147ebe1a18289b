"""fit_groups: one PolynomialMDLRegressor per group of a long table; predict_groups from its table.

A pandas DataFrame is split by its group columns and the groups are fitted by local
worker processes; a Dask DataFrame is shuffled so that each group sits in one partition,
and the partitions are fitted wherever Dask runs them (a ``dask.distributed`` cluster
when a client is connected). Both roads fit a group by the same function on the same
rows in the same order, so they give the same table bit for bit.
"""

from __future__ import annotations

import importlib
import math
import numbers
import os
import queue
import signal
import site
import subprocess
import sys
import threading
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from multiprocessing.reduction import ForkingPickler
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import korva_core
from korva import bases
from korva._data import MAX_COUNT, unit_columns
from korva._group_worker import COLUMNS, ROW_VALUES, FitOptions, Group, GroupFit, _kept_rows, fit_group, unfitted
from korva.diagnostics import KINDS
from korva.estimator import PolynomialMDLRegressor
from korva.fitting import Settings, bases_to_fit, check_known_errors, draw_seed, listed_basis, validated_degrees

if TYPE_CHECKING:
    import pandas as pd

# The result columns after the group columns.
RESULT_COLUMNS = tuple(COLUMNS)
# The columns of the per-row table after the group columns, the index label and the
# columns fitted on (those of x, y, the weights and the errors); the last five are korva.Diagnostics'.
ROW_COLUMNS = (
    *("index", "fitted", "residual", "scaled_residual", "inlier"),
    *("std_residual", "weight", "leverage", "distance", "kind"),
)
# Groups sent to a worker at a time: enough to make the transfer cheap, few enough that
# several batches per worker even out the load.
LARGEST_BATCH = 64
BATCHES_PER_WORKER = 32
# Towards the end a batch holds at most this fraction of the groups left per worker, so that
# the last batches are small and the workers finish close together.
TAIL_BATCHES_PER_WORKER = 4
# Batches handed to a worker at a time: the one it fits and the next.
BATCHES_IN_FLIGHT = 2
# How long a worker whose pipe has closed may take to end.
END_OF_WORKER_SECONDS = 10
# The environment variables by which the libraries a worker loads size their thread pools.
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


@dataclass(frozen=True)
class _Plan:
    """The columns of one fit_groups call and how each group is fitted."""

    by: list[Any]
    x: list[Any]
    y: Any
    weight: Any
    sigma: Any
    options: FitOptions
    fitted_columns: list[Any] = field(init=False)

    def __post_init__(self) -> None:
        optional = [column for column in (self.weight, self.sigma) if column is not None]
        object.__setattr__(self, "fitted_columns", [*self.x, self.y, *optional])

    def position(self, argument: str) -> int | None:
        """Where the weight or the sigma column lies among the values fitted on (None: not given)."""
        after = len(self.x) + 1
        if argument == "weight":
            return None if self.weight is None else after
        return None if self.sigma is None else after + (self.weight is not None)


def fit_groups(
    frame: Any,
    by: Any,
    x: Any,
    y: Any,
    *,
    weight: Any = None,
    sigma: Any = None,
    dropna: bool = False,
    rows: bool = False,
    n_jobs: int | None = None,
    progress: bool | None = None,
    **estimator_params: Any,
) -> Any:
    """Fit one :class:`PolynomialMDLRegressor` per group of rows of a long table.

    Parameters
    ----------
    frame : pandas.DataFrame or dask.dataframe.DataFrame
        The table, one row per observation. A pandas frame is fitted by local worker
        processes; a Dask frame by the workers of the Dask scheduler in use (those of a
        ``dask.distributed`` cluster when a client is connected).
    by : column name or list of column names
        The columns whose values name a group. Missing values form groups of their own.
    x : column name or list of column names
        The input columns, numeric. One name gives a fit in one input whose ``degree``,
        ``x_min`` and ``x_max`` are numbers; a list gives one value per input in arrays.
    y : column name
        The response column, numeric.
    weight : column name or None, default=None
        A numeric column passed to each group's fit as ``sample_weight``.
    sigma : column name or None, default=None
        A numeric column of each row's error (the standard deviation of its y), passed
        to each group's fit as ``sigma``; ``absolute_sigma`` among the estimator's
        parameters says whether the errors are known or relative.
    dropna : bool, default=False
        Drop the rows of a group whose input, response, weight or sigma is missing (NaN or NA)
        and fit the rest; the ``n_dropped`` column counts them. With False a group with
        a missing value is not fitted: its ``error`` says why.
    rows : bool, default=False
        Also return a table of per-row results (see Returns). Not with a Dask frame.
    n_jobs : int or None, default=None
        The number of worker processes for a pandas frame, at most one per CPU core this
        process may run on and one per batch of groups; None uses one per core, 1 fits
        in this process. Not used with a Dask frame, where the cluster decides.
    progress : bool or None, default=None
        Show a progress bar over the groups (needs tqdm); None shows one when standard
        error is a terminal and tqdm is installed. Not with a Dask frame, whose own
        diagnostics show progress.
    **estimator_params
        Parameters of every group's :class:`PolynomialMDLRegressor`. The fits are
        reproducible: with the default ``random_state`` each group gets the same seed, and
        a NumPy ``Generator`` or ``RandomState`` is drawn once for a seed that every group gets.

    Returns
    -------
    groups : pandas.DataFrame
        One row per group, ordered by the group columns, which come first, then:
        ``n_samples``, the rows passed to the fit (rows of weight 0 among them, which
        weigh nothing but are flagged); ``n_dropped``, the rows dropped (only with
        ``dropna=True``); ``degree``, ``coef``, ``multi_indices``, ``x_min``, ``x_max``,
        ``scale``, ``mdl`` and ``hit_rate``, the fitted attributes of the same names
        (``coef`` refers to the inputs mapped from [``x_min``, ``x_max``] to [-1, 1]);
        ``coef_se``, the standard errors of ``coef`` (the model's ``bse_``); ``coef_x``
        and ``coef_x_se``, the coefficients of the same terms in the original inputs and
        their standard errors (``coef_x_`` and ``bse_x_``;
        None for a listed basis they cannot be expressed in);
        ``n_outliers``, the number of points outside ``outlier_threshold * scale`` of
        the fit; ``error``, None for a fitted group and the error's type and message
        for a group that could not be fitted, whose other results are missing (a value
        the estimator refuses, such as NaN, is named by its column and index label); and
        ``warning``, the messages of the :class:`FitWarning` s of the group's fit, or None.
        Groups are ordered by their keys; a key column whose values cannot be compared
        (such as numbers and strings) is ordered by the values' type name first.
    rows : pandas.DataFrame
        Only with ``rows=True``, when the pair ``(groups, rows)`` is returned: one row
        per row of ``frame``, grouped as ``groups`` is and in the frame's order within a
        group: the group columns; ``index``, the row's label in ``frame.index``; the
        columns of ``x``, ``y``, ``weight`` and ``sigma``; ``fitted``, the group's fit at
        the row; ``residual``, ``y - fitted``; ``scaled_residual``, ``residual / scale``
        (with ``sigma``, ``residual / (scale * sigma)``); ``inlier``, whether the row
        is within ``outlier_threshold * scale`` of the fit (times its sigma; with
        ``absolute_sigma=True``, ``outlier_threshold`` sigmas); and the row's diagnostics in its
        group's fit (:meth:`PolynomialMDLRegressor.diagnostics` of the group's rows, see
        :class:`Diagnostics`): ``std_residual``, the residual in the units of ``inlier``'s bound
        (``scaled_residual`` but with ``absolute_sigma=True``, where it is ``residual / sigma``),
        ``weight`` and ``leverage`` in the fit, ``distance``, the robust distance of its inputs
        among the group's rows, and ``kind``, its class in the outlier map.
        The columns from ``fitted`` on are missing for the rows of a group not fitted and
        dropped rows.

    Raises
    ------
    TypeError
        When ``frame`` is not a pandas or Dask DataFrame, or an estimator parameter is
        unknown.
    ValueError
        When a column is missing, not numeric, complex or named twice, a column is both
        a group column and one fitted on, a group column has the name of a result column,
        ``n_jobs`` is not a positive int, or an estimator parameter has an invalid value.
        These are checked before anything is fitted.
    ImportError
        When pandas (or for a Dask frame, Dask) is missing, ``progress=True`` and tqdm is, or
        ``rows=True`` with several inputs and scikit-learn is (``pip install 'korva[diagnostics]'``).

    Warns
    -----
    UserWarning
        When a worker process died (killed, out of memory): the groups of the batch it was
        fitting are not fitted, and their ``error`` names the cause; the others are.

    Notes
    -----
    The rows of each group are sorted by their values before the fit, so that a group's
    result does not depend on how its rows were stored or partitioned. With ``rows=True`` and
    several inputs, the robust distances (scikit-learn's minimum covariance determinant of each
    group's inputs) take longer than the fits: 0.1 s for a group of 200 rows, 1 s for one of 2000. Worker processes
    start afresh and import only korva and NumPy, not the calling script: no main guard
    is needed, and a script may come from standard input. Ctrl-C ends the workers at once.
    """
    by_columns = _column_list(by, "by")
    x_columns = _column_list(x, "x")
    if not _is_label(y):
        raise ValueError(f"y must be the name of one column, got {y!r}")
    for name, column in (("weight", weight), ("sigma", sigma)):
        if column is not None and not _is_label(column):
            raise ValueError(f"{name} must be None or the name of one column, got {column!r}")
    for name, flag in (("dropna", dropna), ("rows", rows)):
        if not isinstance(flag, bool | np.bool_):
            raise ValueError(f"{name} must be True or False, got {flag!r}")
    if progress is not None and not isinstance(progress, bool | np.bool_):
        raise ValueError(f"progress must be None, True or False, got {progress!r}")
    _check_estimator_params(estimator_params, len(x_columns))
    # Refused once here rather than in every group's row.
    check_known_errors(
        estimator_params.get("cov_type", "model"), estimator_params.get("absolute_sigma"), sigma is not None
    )
    if isinstance(estimator_params.get("random_state"), np.random.RandomState | np.random.Generator):
        # One seed for every group, as with an int: copies of a generator sent to workers would
        # hand out seeds that depend on how the groups were batched.
        seed = draw_seed(estimator_params["random_state"])
        estimator_params = {**estimator_params, "random_state": seed}
    # As plain Python values: a worker process cannot read an instance of a class that the
    # caller's script defines (an int subclass as random_state, say).
    estimator_params = {name: _plain(value) for name, value in estimator_params.items()}
    options = FitOptions(estimator_params, not _is_column_list(x), bool(dropna), bool(rows))
    plan = _Plan(by_columns, x_columns, y, weight, sigma, options)
    if _is_dask_frame(frame):
        for name, value in (("n_jobs", n_jobs), ("progress", progress)):
            if value is not None:
                raise ValueError(f"{name} applies to pandas frames; a Dask frame is fitted by the Dask workers")
        if rows:
            raise ValueError("rows=True applies to pandas frames; fit the Dask frame's groups with compute() first")
        _check_columns(frame, plan)
        _check_key_names(plan)
        return _fit_dask_frame(frame, plan)
    _import("pandas", "pandas")
    if rows and len(x_columns) > 1:
        _import("sklearn.covariance", "diagnostics")  # the rows' robust distances in several inputs
    import pandas as pd

    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas or Dask DataFrame, got {type(frame).__name__}")
    _check_columns(frame, plan)
    _check_key_names(plan)
    n_workers = _worker_count(n_jobs)
    fits = _FrameFits(frame, plan)
    bar = _progress_bar(progress, len(fits.group_rows))
    try:
        lost = fits.fit(n_workers, bar)
    finally:
        if bar is not None:
            bar.close()
    if lost:
        warnings.warn(
            f"{lost} group(s) were not fitted because the worker process fitting them ended; "
            "their error column names the cause",
            UserWarning,
            stacklevel=2,
        )
    groups = fits.groups_table()
    order = _group_order(groups, by_columns)
    groups = groups.iloc[order].reset_index(drop=True)
    return (groups, fits.rows_table(order)) if rows else groups


class _FrameFits:
    """The groups of a pandas frame, their fits and the tables made from them."""

    def __init__(self, frame: pd.DataFrame, plan: _Plan) -> None:
        self.frame, self.plan = frame, plan
        self.values = frame[plan.fitted_columns].to_numpy(dtype=np.float64, na_value=np.nan)
        codes = frame.groupby(plan.by, sort=False, dropna=False, observed=True).ngroup().to_numpy()
        by_group = np.argsort(codes, kind="stable")
        self.group_rows = [rows for rows in np.split(by_group, np.cumsum(np.bincount(codes))[:-1]) if len(rows)]
        self.fits: list[GroupFit] = []

    def group(self, rows: np.ndarray[Any, Any]) -> Group:
        n_inputs = len(self.plan.x)
        values = self.values[rows]
        weight, sigma = (
            None if (at := self.plan.position(argument)) is None else values[:, at] for argument in ("weight", "sigma")
        )
        return values[:, :n_inputs], values[:, n_inputs], weight, sigma

    def fit(self, n_workers: int, bar: Any) -> int:
        """Fit every group; the number of groups lost with a worker process that ended."""
        bounds = _batch_bounds(len(self.group_rows), n_workers)
        n_batches = len(bounds) - 1
        n_workers = min(n_workers, n_batches)
        if n_workers <= 1:
            for rows in self.group_rows:
                self.fits.append(fit_group(self.plan.options, *self.group(rows)))
                if bar is not None:
                    bar.update(1)
            self._name_bad_rows()
            return 0

        def batch(number: int) -> list[Group]:
            # Made when handed out: the workers start meanwhile.
            return [self.group(rows) for rows in self.group_rows[bounds[number] : bounds[number + 1]]]

        fitted, lost = _fit_in_processes(self.plan.options, batch, n_batches, n_workers, bar)
        self.fits = [fit for batch_fits in fitted for fit in batch_fits]
        self._name_bad_rows()
        return lost

    def _name_bad_rows(self) -> None:
        """The error of each group with a value the estimator refuses (NaN or infinity, a
        negative weight, a sigma not above 0) among those it fits, naming the first such row
        by its index label, and the group: the estimator sees neither. The checks in the
        estimator's order."""
        plan = self.plan
        n_inputs = len(plan.x)
        finite = np.isfinite(self.values)
        out_of_range = np.zeros_like(finite)
        weight_at, sigma_at = plan.position("weight"), plan.position("sigma")
        if weight_at is not None:
            out_of_range[:, weight_at] = self.values[:, weight_at] < 0.0
        if sigma_at is not None:
            out_of_range[:, sigma_at] = self.values[:, sigma_at] <= 0.0
        refused = ~finite | out_of_range
        if not refused.any():
            return
        # (argument, its columns, their first position among the values, the refused cells, why)
        checks = [
            ("x", plan.x, 0, ~finite, "contains NaN or infinity"),
            ("y", [plan.y], n_inputs, ~finite, "contains NaN or infinity"),
        ]
        if weight_at is not None:
            checks += [
                ("weight", [plan.weight], weight_at, ~finite, "contains NaN or infinity"),
                ("weight", [plan.weight], weight_at, out_of_range, "must not be negative"),
            ]
        if sigma_at is not None:
            checks += [
                ("sigma", [plan.sigma], sigma_at, ~finite, "contains NaN or infinity"),
                ("sigma", [plan.sigma], sigma_at, out_of_range, "must be positive"),
            ]
        group_of = np.empty(len(self.values), dtype=np.intp)
        group_of[np.concatenate(self.group_rows)] = np.repeat(
            np.arange(len(self.group_rows)), [len(rows) for rows in self.group_rows]
        )
        for g in np.unique(group_of[refused.any(axis=1)]):
            rows = self.group_rows[g]
            group = self.group(rows)
            kept = rows[_kept_rows(plan.options, *group)]
            for argument, columns, first, cells, why in checks:
                picked = cells[kept, first : first + len(columns)]
                bad = np.flatnonzero(picked.any(axis=1))
                if bad.size:
                    self.fits[g] = unfitted(
                        plan.options, group, self._row_error(argument, why, columns, first, kept[bad], picked[bad[0]])
                    )
                    break

    def _row_error(
        self,
        argument: str,
        why: str,
        columns: list[Any],
        first: int,
        bad: np.ndarray[Any, Any],
        cells: np.ndarray[Any, Any],
    ) -> str:
        """The error message of the rows ``bad`` (positions in the frame), named by the first."""
        row, column = int(bad[0]), int(np.argmax(cells))
        value = float(self.values[row, first + column])
        label = _plain(self.frame.index[row])
        key = ", ".join(f"{name}={_plain(v)!r}" for name, v in zip(self.plan.by, self.frame[self.plan.by].iloc[row]))
        more = f" (and {len(bad) - 1} more row{'s' if len(bad) > 2 else ''})" if len(bad) > 1 else ""
        return (
            f"ValueError: {argument} {why}: {value!r} in column {columns[column]!r} at index {label!r}{more}, "
            f"in the group {key}"
        )

    def groups_table(self) -> pd.DataFrame:
        """The result table, groups in the order of ``group_rows``."""
        import pandas as pd

        keys = self.frame[self.plan.by].iloc[[rows[0] for rows in self.group_rows]].reset_index(drop=True)
        return pd.concat([keys, _results_table([row for row, _ in self.fits], self.plan)], axis=1)

    def rows_table(self, group_order: np.ndarray[Any, Any]) -> pd.DataFrame:
        """The per-row table, groups in ``group_order``."""
        import pandas as pd

        plan = self.plan
        positions = np.concatenate([self.group_rows[g] for g in group_order] or [np.zeros(0, np.intp)])
        n_rows = [len(self.group_rows[g]) for g in group_order]
        per_row = [values for g in group_order if (values := self.fits[g][1]) is not None]
        assert len(per_row) == len(group_order), "fitted without per-row values"
        columns = {name: np.concatenate([values[name] for values in per_row] or [np.zeros(0)]) for name in ROW_VALUES}
        fitted, inlier = columns["fitted"], columns["inlier"]
        scale = np.repeat([self.fits[g][0]["scale"] for g in group_order], n_rows).astype(np.float64)
        residual = self.values[positions, len(plan.x)] - fitted
        sigma_at = plan.position("sigma")
        if sigma_at is not None:
            scale = scale * self.values[positions, sigma_at]
        with np.errstate(divide="ignore", invalid="ignore"):
            scaled = residual / scale
        table = self.frame[[*plan.by, *plan.fitted_columns]].iloc[positions].reset_index(drop=True)
        table.insert(len(plan.by), "index", self.frame.index[positions])
        table["fitted"] = fitted
        table["residual"] = residual
        table["scaled_residual"] = scaled
        table["inlier"] = pd.arrays.BooleanArray(inlier == 1.0, np.isnan(inlier))
        for name in ("std_residual", "weight", "leverage", "distance"):
            table[name] = columns[name]
        codes = columns["kind"]
        kinds = np.asarray([*KINDS, None], dtype=object)
        table["kind"] = kinds[np.where(np.isnan(codes), len(KINDS), codes).astype(np.intp)]
        return table


def _plain(value: Any) -> Any:
    """Numbers as bool, int or float, lists and tuples of them likewise; anything else as it is."""
    if isinstance(value, bool | np.bool_):
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, tuple):
        return tuple(_plain(item) for item in value)
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value


def _batch_bounds(n_groups: int, n_workers: int) -> list[int]:
    """The positions where the batches of groups start, then ``n_groups``.

    Batches of one size, then ever smaller ones once a batch would hold more than its
    share of the groups left: a worker that takes the last batch then ends soon after the others.
    """
    size = max(1, min(LARGEST_BATCH, math.ceil(n_groups / (n_workers * BATCHES_PER_WORKER))))
    bounds = [0]
    while (left := n_groups - bounds[-1]) > 0:
        bounds.append(bounds[-1] + min(size, math.ceil(left / (n_workers * TAIL_BATCHES_PER_WORKER))))
    return bounds


def _results_table(rows: list[dict[str, Any]], plan: _Plan) -> pd.DataFrame:
    import pandas as pd

    one_input = plan.options.single_input
    names = [name for name in COLUMNS if plan.options.dropna or name != "n_dropped"]
    # Column by column with its dtype: inferred dtypes would turn None into NaN.
    return pd.DataFrame(
        {
            name: pd.Series(
                [row[name] for row in rows],
                dtype=COLUMNS[name].one_input if one_input else COLUMNS[name].several_inputs,
            )
            for name in names
        }
    )


def predict_groups(table: Any, frame: Any, by: Any, x: Any) -> Any:
    """Predict each row of a table from its group's fit in a table of :func:`fit_groups`.

    Parameters
    ----------
    table : pandas.DataFrame
        A result table of :func:`fit_groups`, or any table with the group columns and
        ``coef``, ``multi_indices``, ``x_min`` and ``x_max``, one row per group.
    frame : pandas.DataFrame
        The rows to predict.
    by : column name or list of column names
        The group columns, in both tables.
    x : column name or list of column names
        The input columns of ``frame``, as many as the fits have inputs.

    Returns
    -------
    pandas.Series
        The prediction for each row of ``frame``, with its index: the same as the group's
        ``PolynomialMDLRegressor.predict`` gives, to rounding. NaN for the rows of a group
        not in ``table``, of a group whose fit failed, and of a row with a missing input.

    Raises
    ------
    TypeError
        When ``table`` or ``frame`` is not a pandas DataFrame.
    ValueError
        When a column is missing or named twice, an input is not numeric, a group has
        several rows in ``table``, a fit has another number of inputs than ``x`` names, or
        an exponent vector is not one int of at least 0 per input.
    """
    _import("pandas", "pandas")
    import pandas as pd

    by_columns = _column_list(by, "by")
    x_columns = _column_list(x, "x")
    for name, value in (("table", table), ("frame", frame)):
        if not isinstance(value, pd.DataFrame):
            raise TypeError(f"{name} must be a pandas DataFrame, got {type(value).__name__}")
    _check_present(table, "table", [*by_columns, "coef", "multi_indices", "x_min", "x_max"])
    _check_present(frame, "frame", by_columns + x_columns)
    _check_numeric(frame, x_columns, "x")
    keys = pd.concat([table[by_columns], frame[by_columns]], ignore_index=True)
    codes = keys.groupby(by_columns, sort=False, dropna=False, observed=True).ngroup().to_numpy()
    table_codes, frame_codes = codes[: len(table)], codes[len(table) :]
    if len(np.unique(table_codes)) < len(table_codes):
        raise ValueError(f"table has more than one row for a group of {by_columns!r}")
    inputs = frame[x_columns].to_numpy(dtype=np.float64, na_value=np.nan)
    prediction = np.full(len(frame), np.nan)
    by_code = np.argsort(frame_codes, kind="stable")
    starts = np.searchsorted(frame_codes[by_code], table_codes, side="left")
    ends = np.searchsorted(frame_codes[by_code], table_codes, side="right")
    for position, (start, end) in enumerate(zip(starts, ends)):
        coef = table["coef"].iat[position]
        if start == end or coef is None or (np.ndim(coef) == 0 and pd.isna(coef)):
            continue
        x_min = np.atleast_1d(np.asarray(table["x_min"].iat[position], dtype=np.float64))
        x_max = np.atleast_1d(np.asarray(table["x_max"].iat[position], dtype=np.float64))
        if len(x_min) != len(x_columns):
            raise ValueError(f"x names {len(x_columns)} input(s), but the fits in table have {len(x_min)}")
        rows = by_code[start:end]
        mapped = unit_columns(inputs[rows], x_min, x_max)
        indices = listed_basis(table["multi_indices"].iat[position], len(x_columns), f"multi_indices[{position}]")
        prediction[rows] = bases.design_matrix(indices, mapped) @ np.asarray(coef, dtype=np.float64)
    return pd.Series(prediction, index=frame.index, name="prediction")


# ---------------------------------------------------------------- worker processes


@dataclass
class _Worker:
    """A worker process, its pipes, and the thread that writes its requests."""

    process: subprocess.Popen[bytes]
    requests: Connection
    replies: Connection
    # The batches handed to it and not yet replied to, in the order it fits them.
    batches: deque[int] = field(default_factory=deque)
    # Pickled requests for the sender, then None to end it.
    outbox: queue.SimpleQueue[memoryview | None] = field(default_factory=queue.SimpleQueue)
    sender: threading.Thread = field(init=False)

    def __post_init__(self) -> None:
        # Requests are written by a thread of their own: a pipe holds less than a batch, so a
        # write lasts until the worker reads, which it does only once it has fitted the batch before.
        self.sender = threading.Thread(target=self._send, name="korva fit_groups requests", daemon=True)
        self.sender.start()

    def hand(self, number: int, request: tuple[int, FitOptions, list[Group]]) -> None:
        """Queue batch ``number``; pickled here, so that an error in it reaches the caller."""
        self.outbox.put(ForkingPickler.dumps(request))
        self.batches.append(number)

    def _send(self) -> None:
        while (request := self.outbox.get()) is not None:
            try:
                self.requests.send_bytes(request)
            except OSError:
                return  # it has ended; its replies pipe tells


def _fit_in_processes(
    options: FitOptions, batch: Callable[[int], list[Group]], n_batches: int, n_workers: int, bar: Any
) -> tuple[list[list[GroupFit]], int]:
    """The fits of the groups of ``batch(0)`` to ``batch(n_batches - 1)`` by ``n_workers``
    processes, and how many groups were lost.

    A worker that ends before it replies costs only the batch it was fitting: its groups get
    an error row, the batches it had been handed after that go back to the others, and a
    fresh worker takes its place while batches remain.
    """
    fitted: list[list[GroupFit] | None] = [None] * n_batches
    waiting = deque(range(n_batches))
    workers: list[_Worker] = []
    lost = 0
    # Each worker gets its share of the cores for the sampler's and NumPy's threads, so
    # that processes and threads together do not oversubscribe them.
    environment = _worker_environment(max(1, _available_cpus() // n_workers))

    def hand_out(worker: _Worker) -> None:
        # The next batch waits in the worker's pipe while it fits one: it starts on it as soon
        # as it has sent its reply, instead of idling until this process has read the reply
        # and sent another (4 ms a batch, 3 % of the time with two workers).
        while waiting and len(worker.batches) < BATCHES_IN_FLIGHT:
            number = waiting.popleft()
            worker.hand(number, (number, options, batch(number)))

    try:
        for _ in range(n_workers):
            workers.append(_start_worker(environment))
            hand_out(workers[-1])
        while busy := {worker.replies: worker for worker in workers if worker.batches}:
            for replies in wait(list(busy)):
                worker = busy[replies]  # type: ignore[index]
                number = worker.batches.popleft()
                try:
                    _, fits = worker.replies.recv()
                except (EOFError, OSError):
                    error = f"WorkerError: {_end_of(worker)}; the groups of its batch were not fitted"
                    fits = [unfitted(options, group, error) for group in batch(number)]
                    lost += len(fits)
                    waiting.extendleft(reversed(worker.batches))
                    workers.remove(worker)
                    _stop(worker)
                    if waiting:
                        worker = _start_worker(environment)
                        workers.append(worker)
                fitted[number] = fits
                if bar is not None:
                    bar.update(len(fits))
                hand_out(worker)
    finally:
        for worker in workers:
            _stop(worker)
    return [fits for fits in fitted if fits is not None], lost


def _start_worker(environment: dict[str, str]) -> _Worker:
    """A worker process (see korva._group_worker.serve) and the pipes to talk to it."""
    requests_read, requests_write = os.pipe()
    replies_read, replies_write = os.pipe()
    command = f"from korva._group_worker import serve; serve({requests_read}, {replies_write}, {os.getpid()})"
    try:
        # -P: the worker's working directory is not put first on its module path.
        process = subprocess.Popen(
            [sys.executable, "-P", "-c", command],
            stdin=subprocess.DEVNULL,
            env=environment,
            pass_fds=(requests_read, replies_write),
        )
    except BaseException:
        for descriptor in (requests_write, replies_read):
            os.close(descriptor)
        raise
    finally:
        for descriptor in (requests_read, replies_write):
            os.close(descriptor)
    return _Worker(process, Connection(requests_write, readable=False), Connection(replies_read, writable=False))


def _worker_environment(threads: int) -> dict[str, str]:
    """This process's environment with korva first on the module path and the thread pools sized."""
    # The directories this process found korva and korva_core in, unless they are site
    # directories, which the worker finds by itself (and which must stay after the standard library).
    found = {_import_root(module) for module in (sys.modules["korva"], korva_core)}
    site_directories = {Path(p).resolve() for p in [*site.getsitepackages(), site.getusersitepackages()]}
    roots = sorted(str(root) for root in found - site_directories)
    path = os.pathsep.join([*roots, *filter(None, [os.environ.get("PYTHONPATH")])])
    sized = {name: str(min(threads, _positive_int(os.environ.get(name)) or threads)) for name in THREAD_VARIABLES}
    return {**os.environ, "PYTHONPATH": path, **sized}


def _import_root(module: Any) -> Path:
    """The directory on the module path from which ``module`` (a package or a single file) was imported."""
    path = Path(module.__file__).resolve()
    return path.parents[1] if path.stem == "__init__" else path.parent


def _positive_int(text: str | None) -> int | None:
    return int(text) if text is not None and text.isdigit() and int(text) > 0 else None


def _end_of(worker: _Worker) -> str:
    """How a worker that stopped replying ended."""
    try:
        code = worker.process.wait(timeout=END_OF_WORKER_SECONDS)
    except subprocess.TimeoutExpired:  # its pipe broke, yet it runs on
        _stop(worker)
        return "the pipe to the worker process fitting it broke"
    if code < 0:
        return f"the worker process fitting it was killed by {signal.Signals(-code).name}"
    return f"the worker process fitting it exited with status {code}"


def _stop(worker: _Worker) -> None:
    """End a worker at once (it holds nothing that needs a clean exit), reap it, and close
    its pipes once its sender, whose write the end of the process breaks, has returned."""
    if worker.process.poll() is None:
        worker.process.kill()
    worker.process.wait()
    worker.outbox.put(None)
    worker.sender.join()
    worker.requests.close()
    worker.replies.close()


def _available_cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _worker_count(n_jobs: object) -> int:
    """The worker processes to use: ``n_jobs``, at most one per CPU this process may run on."""
    if n_jobs is None:
        return _available_cpus()
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, int | np.integer) or n_jobs < 1:
        raise ValueError(f"n_jobs must be None or an int of at least 1, got {n_jobs!r}")
    return min(int(n_jobs), _available_cpus())


def _progress_bar(progress: bool | None, n_groups: int) -> Any:
    """A tqdm bar over groups, or None: on when asked, or by default when stderr is a terminal."""
    if progress is None:
        if not sys.stderr.isatty():
            return None
        try:
            tqdm = importlib.import_module("tqdm")
        except ImportError:
            return None
    elif not progress:
        return None
    else:
        tqdm = _import("tqdm", "pandas")
    return tqdm.tqdm(total=n_groups, unit="group", desc="fit_groups", file=sys.stderr)


# ---------------------------------------------------------------- Dask


def _fit_partition(frame: pd.DataFrame, plan: _Plan) -> pd.DataFrame:
    """The result table of the groups of one partition, fitted in this process."""
    fits = _FrameFits(frame, plan)
    fits.fit(1, None)
    return fits.groups_table()


def _fit_dask_frame(frame: Any, plan: _Plan) -> pd.DataFrame:
    """The result table of every group of a Dask frame, fitted where Dask runs its tasks."""
    columns = frame[[*plan.by, *plan.fitted_columns]]
    # Every row of a group in one partition, then the partitions fitted as pandas frames;
    # the empty frame Dask describes the columns with gives the result's columns.
    meta = _fit_partition(columns._meta, plan)
    fitted = columns.shuffle(on=plan.by).map_partitions(_fit_partition, plan, meta=meta)
    table: pd.DataFrame = fitted.compute()
    return table.iloc[_group_order(table, plan.by)].reset_index(drop=True)


# ---------------------------------------------------------------- checks


def _group_order(table: pd.DataFrame, by: list[Any]) -> np.ndarray[Any, Any]:
    """The positions of the rows of ``table`` ordered by the group columns, missing keys last.

    A key column whose values cannot be compared with each other (numbers and strings,
    say) is ordered by each value's type name, then by value.
    """
    import pandas as pd

    keys = table[by].reset_index(drop=True)
    try:
        return keys.sort_values(by, kind="stable", na_position="last").index.to_numpy()
    except TypeError:
        pass

    def rank(column: pd.Series[Any]) -> pd.Series[Any]:
        if column.dtype != object:
            return column
        present = [value for value in column.unique() if not pd.isna(value)]
        ordered = sorted(present, key=lambda value: (type(value).__name__, value))
        return pd.Series(pd.Index(ordered, dtype=object).get_indexer(column), dtype="Int64").replace(-1, pd.NA)

    ranks = pd.DataFrame({position: rank(keys[name]) for position, name in enumerate(by)})
    return ranks.sort_values(list(ranks.columns), kind="stable", na_position="last").index.to_numpy()


def _check_estimator_params(params: dict[str, Any], n_inputs: int) -> None:
    """The estimator's own checks of its parameters, those that need no data, before any fit."""
    model = PolynomialMDLRegressor(**params)
    model._check_params()
    settings = Settings.of(model.get_params())
    degree, basis = settings.degree, settings.basis
    auto = isinstance(degree, str) and degree == "auto"
    if isinstance(basis, str) and basis in bases.BASES and not auto:
        # The size checks of a fixed degree depend on a group's number of samples.
        validated_degrees(settings, n_inputs)
    else:
        # A listed basis checked against as many samples as it has terms; "auto" starts at degree 0.
        n_terms = len(basis) if isinstance(basis, Sequence | np.ndarray) and not isinstance(basis, str) else 1
        bases_to_fit(settings, n_inputs, min(max(n_terms, 1), MAX_COUNT))


def _check_columns(frame: Any, plan: _Plan) -> None:
    optional = (("weight", [plan.weight]), ("sigma", [plan.sigma]))
    for argument, names in (("by", plan.by), ("x", plan.x), ("y", [plan.y]), *optional):
        if names == [None]:
            continue
        _check_present(frame, "the frame", names, argument)
        repeated = sorted({name for name in names if names.count(name) > 1}, key=str)
        if repeated:
            raise ValueError(f"{argument} names {repeated!r} more than once")
    fitted = plan.fitted_columns
    shared = [name for name in plan.by if name in fitted] + sorted(
        {name for name in fitted if fitted.count(name) > 1}, key=str
    )
    if shared:
        raise ValueError(
            "a column cannot be both a group column and an input, the response, the weight or sigma, nor two of "
            f"these: "
            f"{shared!r}"
        )
    _check_numeric(frame, fitted, "input, response, weight and sigma")


def _check_present(frame: Any, what: str, names: list[Any], argument: str | None = None) -> None:
    """Every name a column of ``frame``, and of only one column."""
    columns = list(frame.columns)
    missing = [name for name in names if name not in columns]
    if missing:
        who = argument if argument is not None else "the columns asked for"
        raise ValueError(f"{who} names columns {what} does not have: {missing!r}")
    doubled = [name for name in dict.fromkeys(names) if columns.count(name) > 1]
    if doubled:
        raise ValueError(f"{what} has several columns named {doubled[0]!r}; rename them")


def _check_numeric(frame: Any, names: list[Any], what: str) -> None:
    import pandas as pd

    dtypes = [frame.dtypes[name] for name in names]
    not_numeric = [name for name, dtype in zip(names, dtypes) if not pd.api.types.is_numeric_dtype(dtype)]
    if not_numeric:
        raise ValueError(
            f"{what} columns must be numeric; {not_numeric!r} are not (convert them, e.g. with astype(float))"
        )
    complex_columns = [name for name, dtype in zip(names, dtypes) if pd.api.types.is_complex_dtype(dtype)]
    if complex_columns:
        raise ValueError(f"Complex data not supported in columns {complex_columns!r}")


def _check_key_names(plan: _Plan) -> None:
    """No group column named like a result column, which the tables would hold twice."""
    clashes = [name for name in plan.by if name in COLUMNS]
    if clashes:
        raise ValueError(f"group column {clashes[0]!r} has the name of a result column; rename it")
    if plan.options.rows:
        clashes = [name for name in [*plan.by, *plan.fitted_columns] if name in ROW_COLUMNS]
        if clashes:
            raise ValueError(f"column {clashes[0]!r} has the name of a column of the per-row table; rename it")


def _is_label(name: object) -> bool:
    """A single column name: anything hashable but a list-like of names."""
    try:
        hash(name)
    except TypeError:
        return False
    return name is not None and not _is_column_list(name)


def _is_column_list(names: object) -> bool:
    return isinstance(names, Iterable) and not isinstance(names, str)


def _column_list(names: Any, argument: str) -> list[Any]:
    """The column names of ``by`` or ``x`` as a list (read once: it may be a generator)."""
    listed = list(names) if _is_column_list(names) else [names]
    if not listed:
        raise ValueError(f"{argument} names no column")
    unhashable = [name for name in listed if not _is_label(name)]
    if unhashable:
        raise ValueError(f"{argument} must be a column name or a list of them, got {names!r}")
    return listed


def _is_dask_frame(frame: object) -> bool:
    # Only an object made by Dask can be a Dask frame, so Dask is imported only then.
    if not type(frame).__module__.startswith("dask."):
        return False
    return isinstance(frame, _import("dask.dataframe", "dask").DataFrame)


def _import(module: str, extra: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"fit_groups needs {module}: pip install 'korva[{extra}]'") from exc
