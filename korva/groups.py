"""fit_groups: one PolynomialMDLRegressor per group of a long table.

A pandas DataFrame is split by its group columns and the groups are fitted by local
worker processes; a Dask DataFrame is shuffled so that each group sits in one partition,
and the partitions are fitted wherever Dask runs them (a ``dask.distributed`` cluster
when a client is connected). Both roads fit a group by the same function on the same
rows in the same order, so they give the same table bit for bit.
"""

from __future__ import annotations

import importlib
import math
import multiprocessing
import os
from collections.abc import Iterable, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np

from korva.estimator import FloatArray, PolynomialMDLRegressor

if TYPE_CHECKING:
    import pandas as pd

# A group's inputs, of shape (n, d), and target, of shape (n,).
Group = tuple[FloatArray, FloatArray]
# The result columns after the group columns. Object columns hold arrays, lists or None;
# the numbers of a group that could not be fitted are missing.
RESULT_COLUMNS = (
    "n_samples",
    "degree",
    "coef",
    "multi_indices",
    "x_min",
    "x_max",
    "scale",
    "mdl",
    "hit_rate",
    "n_outliers",
    "error",
)
# Groups sent to a worker at a time: enough to make the transfer cheap, few enough that
# several batches per worker even out the load.
LARGEST_BATCH = 256
BATCHES_PER_WORKER = 8


def fit_groups(
    frame: Any,
    by: str | Sequence[str],
    x: str | Sequence[str],
    y: str,
    *,
    n_jobs: int | None = None,
    **estimator_params: Any,
) -> pd.DataFrame:
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
        The input columns, numeric. One name gives a fit in one input whose ``x_min``
        and ``x_max`` are numbers; a list gives one value per input in arrays.
    y : column name
        The response column, numeric.
    n_jobs : int or None, default=None
        The number of worker processes for a pandas frame; None uses one per CPU core
        this process may run on, 1 fits in this process. Not used with a Dask frame,
        where the cluster decides.
    **estimator_params
        Parameters of every group's :class:`PolynomialMDLRegressor`. The fits are
        reproducible: with the default ``random_state`` each group gets the same seed.

    Returns
    -------
    pandas.DataFrame
        One row per group, ordered by the group columns, which come first, then:
        ``n_samples``; ``degree``, ``coef``, ``multi_indices``, ``x_min``, ``x_max``,
        ``scale``, ``mdl`` and ``hit_rate``, the fitted attributes of the same names
        (``coef`` refers to the inputs mapped from [``x_min``, ``x_max``] to [-1, 1]);
        ``n_outliers``, the number of points outside ``outlier_threshold * scale`` of
        the fit; and ``error``, None for a fitted group and the error's type and message
        for a group that could not be fitted, whose other results are missing.

    Raises
    ------
    TypeError
        When ``frame`` is not a pandas or Dask DataFrame, or an estimator parameter is
        unknown.
    ValueError
        When a column is missing or not numeric, a column is both a group column and an
        input or response, ``n_jobs`` is not a positive int, or an estimator parameter
        has an invalid value. These are checked before anything is fitted.

    Notes
    -----
    The rows of each group are sorted by their input and response values before the
    fit, so that a group's result does not depend on how its rows were stored or
    partitioned. Worker processes for a pandas frame are started afresh ("spawn"), so a
    script that calls ``fit_groups`` must do so under ``if __name__ == "__main__":``.
    """
    by_columns = _column_list(by)
    x_columns = _column_list(x)
    # Once here, so that a bad value is reported before any work rather than per group.
    PolynomialMDLRegressor(**estimator_params)._check_params()
    if _is_dask_frame(frame):
        if n_jobs is not None:
            raise ValueError("n_jobs applies to pandas frames; a Dask frame is fitted by the Dask workers")
        _check_columns(frame, by_columns, x_columns, y)
        return _fit_dask_frame(frame, by_columns, x, y, estimator_params)
    _import("pandas", "pandas")
    import pandas as pd

    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas or Dask DataFrame, got {type(frame).__name__}")
    _check_columns(frame, by_columns, x_columns, y)
    n_workers = _worker_count(n_jobs)
    return _sorted_by_group(_fit_frame(frame, by_columns, x, y, estimator_params, n_workers), by_columns)


def _fit_frame(
    frame: pd.DataFrame, by: list[str], x: Any, y: str, params: dict[str, Any], n_workers: int
) -> pd.DataFrame:
    """The result table of every group of ``frame``, fitted by ``n_workers`` processes."""
    import pandas as pd

    x_columns = _column_list(x)
    values = frame[[*x_columns, y]].to_numpy(dtype=np.float64, na_value=np.nan)
    codes = frame.groupby(by, sort=True, dropna=False, observed=True).ngroup().to_numpy()
    rows_by_group = np.argsort(codes, kind="stable")
    group_rows = [rows for rows in np.split(rows_by_group, np.cumsum(np.bincount(codes))[:-1]) if len(rows)]
    groups = [(values[rows, :-1], values[rows, -1]) for rows in group_rows]
    single_input = not _is_column_list(x)

    if n_workers == 1 or len(groups) < 2:
        results = _fit_batch(params, single_input, groups)
    else:
        results = _fit_in_processes(params, single_input, groups, n_workers)

    keys = frame[by].iloc[[rows[0] for rows in group_rows]].reset_index(drop=True)
    # Column by column with its dtype: inferred dtypes would turn None into NaN.
    columns = zip(*results) if results else [()] * len(RESULT_COLUMNS)
    dtypes = _result_dtypes(single_input)
    table = pd.DataFrame(
        {name: pd.Series(list(values), dtype=dtypes[name]) for name, values in zip(RESULT_COLUMNS, columns)}
    )
    return pd.concat([keys, table], axis=1)


def _result_dtypes(single_input: bool) -> dict[str, str]:
    """The dtype of each result column; with one input, degree and range are plain numbers."""
    per_input = ("Int64", "float64") if single_input else ("object", "object")
    return {
        "n_samples": "int64",
        "degree": per_input[0],
        "coef": "object",
        "multi_indices": "object",
        "x_min": per_input[1],
        "x_max": per_input[1],
        "scale": "float64",
        "mdl": "float64",
        "hit_rate": "float64",
        "n_outliers": "Int64",
        "error": "object",
    }


def _fit_in_processes(
    params: dict[str, Any], single_input: bool, groups: list[Group], n_workers: int
) -> list[tuple[Any, ...]]:
    batch = max(1, min(LARGEST_BATCH, math.ceil(len(groups) / (n_workers * BATCHES_PER_WORKER))))
    batches = [groups[start : start + batch] for start in range(0, len(groups), batch)]
    n_workers = min(n_workers, len(batches))
    # Each worker gets its share of the cores for the sampler's and NumPy's threads, so
    # that processes and threads together do not oversubscribe them.
    threads = max(1, len(os.sched_getaffinity(0)) // n_workers)
    _import("threadpoolctl", "pandas")  # here rather than in every worker
    with ProcessPoolExecutor(
        n_workers,
        mp_context=multiprocessing.get_context("spawn"),
        initializer=_limit_threads,
        initargs=(threads,),
    ) as pool:
        try:
            done = pool.map(_fit_batch, [params] * len(batches), [single_input] * len(batches), batches)
            return [row for rows in done for row in rows]
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise


def _limit_threads(threads: int) -> None:
    threadpoolctl = _import("threadpoolctl", "pandas")
    threadpoolctl.threadpool_limits(threads)


def _fit_batch(params: dict[str, Any], single_input: bool, groups: list[Group]) -> list[tuple[Any, ...]]:
    return [_fit_group(params, single_input, inputs, target) for inputs, target in groups]


def _fit_group(params: dict[str, Any], single_input: bool, inputs: FloatArray, target: FloatArray) -> tuple[Any, ...]:
    """One result row (the values of RESULT_COLUMNS) for one group's rows."""
    # Rows in order of (x..., y): the fit then does not depend on the rows' storage order.
    order = np.lexsort(np.column_stack((inputs, target)).T[::-1])
    try:
        model = PolynomialMDLRegressor(**params).fit(inputs[order], target[order])
    except Exception as exc:  # a group that cannot be fitted must not stop the others
        return (
            len(target),
            None,
            None,
            None,
            None,
            None,
            math.nan,
            math.nan,
            math.nan,
            None,
            f"{type(exc).__name__}: {exc}",
        )
    x_min, x_max = (model.x_min_[0], model.x_max_[0]) if single_input else (model.x_min_, model.x_max_)
    return (
        len(target),
        model.degree_,
        model.coef_,
        model.multi_indices_,
        x_min,
        x_max,
        model.scale_,
        model.mdl_,
        model.hit_rate_,
        int(np.count_nonzero(~model.inlier_mask_)),
        None,
    )


def _fit_dask_frame(frame: Any, by: list[str], x: Any, y: str, params: dict[str, Any]) -> pd.DataFrame:
    """The result table of every group of a Dask frame, fitted where Dask runs its tasks."""
    columns = frame[[*by, *_column_list(x), y]]
    # Every row of a group in one partition, then the partitions fitted as pandas frames;
    # the empty frame Dask describes the columns with gives the result's columns.
    meta = _fit_frame(columns._meta, by, x, y, params, 1)
    fitted = columns.shuffle(on=by).map_partitions(_fit_frame, by, x, y, params, 1, meta=meta)
    table: pd.DataFrame = fitted.compute()
    return _sorted_by_group(table, by)


def _sorted_by_group(table: pd.DataFrame, by: list[str]) -> pd.DataFrame:
    return table.sort_values(by, kind="stable", na_position="last", ignore_index=True)


def _check_columns(frame: Any, by: list[str], x: list[str], y: str) -> None:
    import pandas as pd

    present = set(frame.columns)
    for argument, names in (("by", by), ("x", x), ("y", [y])):
        missing = [name for name in names if name not in present]
        if missing:
            raise ValueError(f"{argument} names columns the frame does not have: {missing!r}")
        if not names:
            raise ValueError(f"{argument} names no column")
    shared = [name for name in by if name in x or name == y]
    if shared or y in x:
        raise ValueError(f"a column cannot be both a group column and an input or the response: {shared or [y]!r}")
    not_numeric = [name for name in [*x, y] if not pd.api.types.is_numeric_dtype(frame.dtypes[name])]
    if not_numeric:
        raise ValueError(
            f"input and response columns must be numeric; {not_numeric!r} are not "
            "(convert them, e.g. with astype(float))"
        )


def _worker_count(n_jobs: object) -> int:
    if n_jobs is None:
        return len(os.sched_getaffinity(0))
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, int | np.integer) or n_jobs < 1:
        raise ValueError(f"n_jobs must be None or an int of at least 1, got {n_jobs!r}")
    return int(n_jobs)


def _is_column_list(names: object) -> bool:
    return isinstance(names, Iterable) and not isinstance(names, str)


def _column_list(names: Any) -> list[str]:
    return list(names) if _is_column_list(names) else [names]


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
