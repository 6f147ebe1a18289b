"""fit_groups: one fit per group of a long table, on local processes and on a Dask cluster."""

import contextlib
import fcntl
import json
import logging
import math
import os
import pickle
import pty
import signal
import struct
import subprocess
import sys
import termios
import textwrap
import time
import warnings

import numpy as np
import pytest

from korva import FitWarning, PolynomialMDLRegressor, fit_groups, predict_groups
from korva._group_worker import fit_group

pd = pytest.importorskip("pandas")

# A short search keeps the many fits quick; every group gets the same seed.
PARAMS = dict(degree=2, n_chains=4, n_warmup=20, n_deep=100)


def long_table(rng, n_groups=6, n_points=40):
    """Groups of a noisy parabola with gross outliers, rows interleaved across groups."""
    group = np.repeat(np.arange(n_groups), n_points)
    x = rng.uniform(-2.0, 2.0, group.size)
    y = 1.0 + 0.1 * group + x - 0.5 * x**2 + rng.normal(0.0, 0.05, group.size)
    y[rng.choice(group.size, group.size // 10, replace=False)] += 8.0
    table = pd.DataFrame({"site": group % 3, "sensor": np.where(group < 3, "a", "b"), "x": x, "u": x**3, "y": y})
    return table.sample(frac=1.0, random_state=1, ignore_index=True)


def assert_identical(left, right):
    """The same columns, dtypes and values, down to the last bit of every number."""
    pd.testing.assert_frame_equal(left, right, check_exact=True)
    for column in left.columns:
        for a, b in zip(left[column], right[column]):
            assert pickle.dumps(a) == pickle.dumps(b), (column, a, b)


@pytest.mark.parametrize(
    ("by", "x"),
    [("site", "x"), (["site", "sensor"], "x"), (["sensor", "site"], ["x", "u"]), (("site",), pd.Index(["u", "x"]))],
    ids=["one-key", "two-keys", "two-inputs", "index-of-inputs"],
)
def test_each_row_is_the_fit_of_its_group(rng, by, x):
    table = long_table(rng)
    result = fit_groups(table, by, x, "y", n_jobs=1, **PARAMS)

    keys = [by] if isinstance(by, str) else list(by)
    inputs = [x] if isinstance(x, str) else list(x)
    assert list(result.columns[: len(keys)]) == keys
    expected_keys = table[keys].drop_duplicates().sort_values(keys, ignore_index=True)
    pd.testing.assert_frame_equal(result[keys], expected_keys)
    for _, row in result.iterrows():
        rows = table[(table[keys] == row[keys]).all(axis=1)]
        ordered = rows.sort_values([*inputs, "y"])
        model = PolynomialMDLRegressor(**PARAMS).fit(ordered[inputs].to_numpy(), ordered["y"].to_numpy())
        assert row["n_samples"] == len(rows)
        assert row["error"] is None
        assert row["coef"].tobytes() == model.coef_.tobytes()
        assert row["coef_se"].tobytes() == model.bse_.tobytes()
        assert row["coef_x"].tobytes() == model.coef_x_.tobytes()
        np.testing.assert_allclose(row["coef_x_se"] ** 2, np.diag(model.cov_x_), rtol=1e-12)
        assert row["multi_indices"] == model.multi_indices_
        assert row["degree"] == model.degree_
        assert (row["scale"], row["mdl"], row["hit_rate"]) == (model.scale_, model.mdl_, model.hit_rate_)
        assert row["n_outliers"] == (~model.inlier_mask_).sum()
        x_min = model.x_min_[0] if isinstance(x, str) else model.x_min_
        np.testing.assert_array_equal(row["x_min"], x_min)


@pytest.mark.parametrize(
    ("call", "plain"),
    [
        (lambda t: fit_groups(t, "site", "x", "y", n_jobs=1, **{**PARAMS, "degree": [2]}), "x"),
        (lambda t: fit_groups(t, "site", "x", "y", n_jobs=1, **{**PARAMS, "degree": np.array([2])}), "x"),
        (lambda t: fit_groups(t, "site", (name for name in ["x"]), "y", n_jobs=1, **PARAMS), ["x"]),
        (lambda t: fit_groups(t, iter(["site"]), ["x"], "y", n_jobs=1, **PARAMS), ["x"]),
    ],
    ids=["one-degree-list", "one-degree-array", "inputs-generator", "keys-iterator"],
)
def test_other_spellings_of_the_arguments_give_the_same_table(rng, call, plain):
    table = long_table(rng)
    assert_identical(call(table), fit_groups(table, "site", plain, "y", n_jobs=1, **PARAMS))


def test_keys_of_mixed_types_are_fitted_and_ordered_by_type_then_value(rng):
    table = long_table(rng)
    table["site"] = table["site"].map({0: 5, 1: "b", 2: "a"}).astype(object)
    table.loc[table.index[:40], "site"] = None
    result = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)
    assert list(result["site"]) == [5, "a", "b", None]
    assert result["error"][:3].isna().all()
    assert list(result["n_samples"]) == [(table["site"] == key).sum() for key in [5, "a", "b"]] + [40]


@pytest.mark.parametrize(
    ("random_state", "n_groups"),
    [(lambda: 42, 6), (lambda: np.random.default_rng(5), 6), (lambda: np.random.RandomState(5), 6), (lambda: 42, 150)],
    # 150 groups: batches of several groups, then of fewer and fewer towards the end.
    ids=["int", "generator", "random-state", "batches-of-several-groups"],
)
def test_result_does_not_depend_on_row_order_or_worker_processes(rng, random_state, n_groups):
    if n_groups == 6:
        table = long_table(rng, n_groups=12, n_points=30).assign(site=lambda t: t["site"] + 3 * t.index.isin(range(90)))
    else:
        table = long_table(rng, n_groups=n_groups, n_points=12).assign(site=lambda t: t.index % n_groups)
    in_process = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS, random_state=random_state())
    reordered = table.sample(frac=1.0, random_state=2)  # a shuffled index too
    in_workers = fit_groups(reordered, "site", "x", "y", n_jobs=2, **PARAMS, random_state=random_state())
    assert_identical(in_workers, in_process)


def test_a_group_that_cannot_be_fitted_does_not_stop_the_others(rng):
    table = long_table(rng)
    table.loc[table["site"] == 1, "y"] = np.nan
    table.loc[table.index[:1], "site"] = 7  # a group of one point cannot carry a parabola
    table["site"] = table["site"].astype("Int64")
    table.loc[table.index[1:3], "site"] = pd.NA  # missing keys form a group of their own
    result = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)

    assert list(result["site"].astype("object").fillna(-1)) == [0, 1, 2, 7, -1]
    failed = result["error"].notna().to_numpy()
    assert list(failed) == [False, True, False, True, True]
    site_1 = table.index[table["site"] == 1]
    assert result["error"][1] == (
        f"ValueError: y contains NaN or infinity: nan in column 'y' at index {site_1[0]} "
        f"(and {len(site_1) - 1} more rows), in the group site=1"
    )
    assert result.loc[failed, ["scale", "mdl", "hit_rate"]].isna().all(axis=None)
    assert result.loc[failed, "n_outliers"].isna().all()
    assert result.loc[failed, "coef"].isna().all()
    assert result.loc[~failed, ["scale", "mdl", "hit_rate"]].notna().all(axis=None)
    assert result["n_samples"].sum() == len(table)


@pytest.mark.parametrize(
    ("x", "changes", "dropna", "n_jobs", "message"),
    [
        ("x", [(0, "y", np.inf)], False, 1, "y contains NaN or infinity: inf in column 'y' at index {0!r}"),
        (
            ["x", "u"],
            [(0, "u", np.nan), (2, "x", -np.inf), (1, "y", np.inf)],
            False,
            2,
            "x contains NaN or infinity: nan in column 'u' at index {0!r} (and 1 more row)",
        ),
        # dropna drops the row with NaN, not those with infinity
        (
            "x",
            [(0, "y", np.nan), (1, "y", np.inf), (2, "y", -np.inf)],
            True,
            1,
            "y contains NaN or infinity: inf in column 'y' at index {1!r} (and 1 more row)",
        ),
        (
            "x",
            [(1, "w", np.nan), (0, "w", -0.5)],
            False,
            1,
            "weight contains NaN or infinity: nan in column 'w' at index {1!r}",
        ),
        ("x", [(1, "w", -0.5)], False, 2, "weight must not be negative: -0.5 in column 'w' at index {1!r}"),
        (
            "x",
            [(2, "s", 0.0), (1, "s", np.inf)],
            False,
            1,
            "sigma contains NaN or infinity: inf in column 's' at index {1!r}",
        ),
        ("x", [(2, "s", -1.0), (1, "w", 0.0)], False, 1, "sigma must be positive: -1.0 in column 's' at index {2!r}"),
    ],
    ids=["y", "x-before-y-in-workers", "dropna", "weight-nan", "weight-negative", "sigma-inf", "sigma-negative"],
)
def test_a_refused_value_is_named_by_its_row_and_group(rng, x, changes, dropna, n_jobs, message):
    """Changes (k, column, value) of the k-th row of site 1 in the frame's order: the first row
    whose value the estimator refuses, in its order of checks, is named by its index label."""
    table = long_table(rng).assign(w=1.0, s=0.1)
    table.index = [f"r{i}" for i in range(len(table))]
    labels = table.index[table["site"] == 1][[3, 7, 11]]
    for position, column, value in changes:
        table.loc[labels[position], column] = value
    result = fit_groups(table, "site", x, "y", weight="w", sigma="s", dropna=dropna, n_jobs=n_jobs, **PARAMS)
    expected = f"ValueError: {message.format(*labels)}, in the group site=1"
    assert result["error"].tolist() == [None, expected, None]
    assert result["coef"][1] is None and result["coef"][[0, 2]].notna().all()


# The per-row table's columns after those of the frame.
PER_ROW = ["fitted", "residual", "scaled_residual", "inlier", "std_residual", "weight", "leverage", "distance", "kind"]


@pytest.mark.parametrize(("x", "n_jobs"), [("x", 1), (["x", "u"], 2)], ids=["one-input", "two-inputs-in-workers"])
def test_rows_and_predict_groups_agree_with_each_groups_model(rng, x, n_jobs):
    table = long_table(rng)
    table.index = table.index * 10 + 3  # labels that are not positions
    table.loc[table.index[table["site"] == 2][:1], "y"] = np.nan  # group 2 cannot be fitted
    result, rows = fit_groups(table, "site", x, "y", rows=True, n_jobs=n_jobs, **PARAMS)

    inputs = [x] if isinstance(x, str) else x
    assert list(rows.columns) == ["site", "index", *inputs, "y", *PER_ROW]
    assert sorted(rows["index"]) == sorted(table.index)
    assert rows["site"].is_monotonic_increasing
    pd.testing.assert_frame_equal(rows[[*inputs, "y"]], table.loc[rows["index"], [*inputs, "y"]].reset_index(drop=True))
    by_label = rows.set_index("index")
    predicted = predict_groups(result, table, "site", x)
    pd.testing.assert_index_equal(predicted.index, table.index)
    for site in (0, 1):
        group = table[table["site"] == site].sort_values([*inputs, "y"])
        model = PolynomialMDLRegressor(**PARAMS).fit(group[inputs].to_numpy(), group["y"].to_numpy())
        fitted = model.predict(group[inputs].to_numpy())
        np.testing.assert_allclose(by_label.loc[group.index, "fitted"], fitted, rtol=1e-12, atol=0)
        np.testing.assert_allclose(predicted[group.index], fitted, rtol=1e-12, atol=0)
        residual = group["y"] - fitted
        np.testing.assert_allclose(by_label.loc[group.index, "residual"], residual, rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(by_label.loc[group.index, "scaled_residual"], residual / model.scale_, rtol=1e-9)
        assert list(by_label.loc[group.index, "inlier"]) == list(model.inlier_mask_)
        # The diagnostics of the group's rows, in the order the group's fit takes them (the
        # distances of several inputs depend on it).
        found = model.diagnostics(group[inputs].to_numpy(), group["y"].to_numpy())
        for name in ("std_residual", "weight", "leverage", "distance"):
            np.testing.assert_allclose(by_label.loc[group.index, name], getattr(found, name), rtol=1e-9, atol=1e-15)
        assert list(by_label.loc[group.index, "kind"]) == list(found.kind)
    failed = by_label[by_label["site"] == 2]
    assert failed[PER_ROW].isna().all(axis=None)
    assert predicted[table["site"] == 2].isna().all()
    unknown = table.assign(site=table["site"] + 10)
    assert predict_groups(result, unknown, "site", x).isna().all()


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda r, t: predict_groups(r, t.to_numpy(), "site", "x"), TypeError, "frame must be a pandas DataFrame"),
        (lambda r, t: predict_groups(r, t, "site", ["x", "u"]), ValueError, "x names 2 input"),
        (lambda r, t: predict_groups(pd.concat([r, r]), t, "site", "x"), ValueError, "more than one row"),
        (lambda r, t: predict_groups(r.drop(columns="coef"), t, "site", "x"), ValueError, r"table does not have.*coef"),
        (lambda r, t: predict_groups(r, t, "site", "sensor"), ValueError, "numeric"),
        (
            # A design's builder would take the power -1 as 0 and predict from another basis.
            lambda r, t: predict_groups(r.assign(multi_indices=[[[0], [-1]]] * len(r)), t, "site", "x"),
            ValueError,
            r"each exponent vector of multi_indices\[0\] must hold 1 int\(s\) of at least 0.*got \[-1\]",
        ),
    ],
    ids=["not-a-frame", "inputs", "group-twice", "no-coef", "text-input", "negative-exponent"],
)
def test_predict_groups_refuses_what_it_cannot_predict(rng, call, error, message):
    table = long_table(rng)
    with pytest.raises(error, match=message):
        call(fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS), table)


def test_dropna_fits_the_complete_rows_and_counts_the_others(rng):
    table = long_table(rng)
    table["y"] = table["y"].astype("Float64")
    table.loc[table.index[::7], "x"] = np.nan
    table.loc[table.index[::11], "y"] = pd.NA
    result, rows = fit_groups(table, "site", "x", "y", dropna=True, rows=True, n_jobs=1, **PARAMS)

    complete = table.dropna(subset=["x", "y"])
    assert_identical(result.drop(columns="n_dropped"), fit_groups(complete, "site", "x", "y", n_jobs=1, **PARAMS))
    assert list(result["n_dropped"]) == list(table.groupby("site").size() - complete.groupby("site").size())
    assert rows.set_index("index").loc[table.index.difference(complete.index), "fitted"].isna().all()
    unchanged = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)
    assert "n_dropped" not in unchanged.columns
    assert unchanged["error"].str.contains("NaN").all()


def test_fit_warnings_go_to_the_warning_column_and_other_warnings_to_the_caller(rng, monkeypatch):
    class Fragile(PolynomialMDLRegressor):
        def fit(self, X, y):
            if y.max() > 100.0:
                warnings.warn("a fragile fit", FitWarning, stacklevel=2)
                warnings.warn("twice fragile", FitWarning, stacklevel=2)
            if y.min() < -100.0:
                warnings.warn("something else", UserWarning, stacklevel=2)
            return super().fit(X, y)

    monkeypatch.setattr("korva._group_worker.PolynomialMDLRegressor", Fragile)
    table = long_table(rng)
    table.loc[table.index[table["site"] == 1][0], "y"] = 1000.0
    table.loc[table.index[table["site"] == 2][0], "y"] = -1000.0
    with pytest.warns(UserWarning, match="something else") as caught:
        result = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)
    assert not any(issubclass(warning.category, FitWarning) for warning in caught)
    assert list(result["warning"]) == [None, "a fragile fit; twice fragile", None]
    assert result["error"].isna().all()


def test_empty_table_gives_an_empty_result_with_every_column(rng):
    table = long_table(rng).iloc[:0]
    result = fit_groups(table, ["site", "sensor"], "x", "y", n_jobs=1, **PARAMS)
    assert len(result) == 0
    assert list(result.columns[:2]) == ["site", "sensor"]
    assert {"coef", "degree", "scale", "mdl", "hit_rate", "n_outliers", "error"} <= set(result.columns)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda t: fit_groups(t.to_numpy(), "site", "x", "y"), TypeError, "pandas or Dask DataFrame"),
        (lambda t: fit_groups(t, "station", "x", "y"), ValueError, r"by names columns .*'station'"),
        (lambda t: fit_groups(t, "site", ["x", "z"], "y"), ValueError, r"x names columns .*'z'"),
        (lambda t: fit_groups(t, "site", [], "y"), ValueError, "x names no column"),
        (lambda t: fit_groups(t, "site", "sensor", "y"), ValueError, r"numeric; \['sensor'\]"),
        (lambda t: fit_groups(t, "site", "site", "y"), ValueError, "both a group column"),
        (lambda t: fit_groups(t, "site", "x", "x"), ValueError, "both a group column"),
        (lambda t: fit_groups(t, "site", "x", "y", n_jobs=0), ValueError, "n_jobs must be"),
        (lambda t: fit_groups(t, "site", "x", "y", n_jobs=2.0), ValueError, "n_jobs must be"),
        (lambda t: fit_groups(t, "site", "x", "y", degre=2), TypeError, "degre"),
        (lambda t: fit_groups(t, "site", "x", "y", method="lasso"), ValueError, "method must be"),
        (lambda t: fit_groups(t.rename(columns={"site": "degree"}), "degree", "x", "y"), ValueError, "'degree' has"),
        (lambda t: fit_groups(t.rename(columns={"site": "error"}), "error", "x", "y"), ValueError, "'error' has"),
        (lambda t: fit_groups(t.rename(columns={"u": "fitted"}), "site", "fitted", "y", rows=True), ValueError, "'fit"),
        (lambda t: fit_groups(t, ["site", "site"], "x", "y"), ValueError, r"by names \['site'\] more than once"),
        (lambda t: fit_groups(t.set_axis([*t.columns[:-1], "x"], axis=1), "site", "u", "x"), ValueError, "named 'x'"),
        (
            lambda t: fit_groups(t.set_axis(["site", "site", *t.columns[2:]], axis=1), "site", "x", "y"),
            ValueError,
            "several columns named 'site'",
        ),
        (lambda t: fit_groups(t, "site", "x", ["y"]), ValueError, "y must be the name of one column"),
        (lambda t: fit_groups(t.assign(x=t["x"] + 1j), "site", "x", "y"), ValueError, r"Complex .*\['x'\]"),
        (lambda t: fit_groups(t, "site", "x", "y", weight="sensor"), ValueError, r"numeric; \['sensor'\]"),
        (lambda t: fit_groups(t, "site", "x", "y", weight="x"), ValueError, "both a group column"),
        (lambda t: fit_groups(t, "site", "x", "y", sigma="u", weight="u"), ValueError, "both a group column"),
        (lambda t: fit_groups(t, "site", "x", "y", sigma=["u"]), ValueError, "sigma must be None or the name"),
        (
            lambda t: fit_groups(t, "site", "x", "y", sigma="u", cov_type="hc", absolute_sigma=True),
            ValueError,
            "cov_type='hc' measures each row's spread",
        ),
        (lambda t: fit_groups(t, "site", "x", "y", dropna=1), ValueError, "dropna must be"),
        (lambda t: fit_groups(t, "site", "x", "y", progress="yes"), ValueError, "progress must be"),
        (lambda t: fit_groups(t, "site", "x", "y", degree=-1), ValueError, "degree must be 0 or more"),
        (lambda t: fit_groups(t, "site", "x", "y", degree="cubic"), ValueError, "degree must be an int"),
        (lambda t: fit_groups(t, "site", "x", "y", degree=2.5), ValueError, "degree must be an int"),
        (lambda t: fit_groups(t, "site", "x", "y", degree=[1, 2]), ValueError, "degree lists 2 degrees"),
        (lambda t: fit_groups(t, "site", ["x", "u"], "y", degree=[1]), ValueError, "degree lists 1 degrees"),
        (lambda t: fit_groups(t, "site", "x", "y", basis="foo"), ValueError, "basis must be"),
        (lambda t: fit_groups(t, "site", "x", "y", basis=[[0], [0]]), ValueError, "more than once"),
        (lambda t: fit_groups(t, "site", "x", "y", basis=[[-1]]), ValueError, "exponent vector"),
        (lambda t: fit_groups(t, "site", "x", "y", basis=[]), ValueError, "non-empty list"),
        (lambda t: fit_groups(t, "site", "x", "y", degree="auto", basis=[[0]]), ValueError, 'degree="auto" needs'),
    ],
    ids=[
        "not-a-frame",
        "no-key",
        "no-input",
        "no-inputs",
        "text-input",
        "key-input",
        "input-response",
        "n_jobs-0",
        "n_jobs-float",
        "unknown-param",
        "bad-param",
        "key-named-degree",
        "key-named-error",
        "input-named-fitted",
        "key-twice",
        "two-columns-x",
        "two-columns-site",
        "y-list",
        "complex-input",
        "text-weight",
        "weight-input",
        "sigma-weight",
        "sigma-list",
        "hc-known-errors",
        "dropna-int",
        "progress-text",
        "degree-negative",
        "degree-text",
        "degree-float",
        "degree-list-too-long",
        "degree-list-too-short",
        "basis-name",
        "basis-repeated",
        "basis-negative",
        "basis-empty",
        "auto-listed-basis",
    ],
)
def test_bad_arguments_are_refused_before_any_fit(rng, monkeypatch, call, error, message):
    def no_fit(*args):
        raise AssertionError("a group was fitted")

    monkeypatch.setattr("korva.groups.fit_group", no_fit)
    with pytest.raises(error, match=message):
        call(long_table(rng))


@pytest.mark.slow
def test_dask_cluster_gives_the_pandas_result_bit_for_bit(rng):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("dask.distributed")
    table = long_table(rng, n_groups=12, n_points=30)
    table.loc[table.index[:5], "y"] = math.inf  # one failing group travels too
    table.loc[table.index[5:20], "x"] = math.nan  # and rows dropped
    frame = dd.from_pandas(table, npartitions=4)
    # The same rows with the column types Dask gave them (its own string type).
    expected = fit_groups(frame.compute(), ["sensor", "site"], ["x", "u"], "y", dropna=True, n_jobs=1, **PARAMS)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
        ) as cluster,
        distributed.Client(cluster),
    ):
        result = fit_groups(frame, ["sensor", "site"], ["x", "u"], "y", dropna=True, **PARAMS)
        with pytest.raises(ValueError, match="n_jobs applies to pandas"):
            fit_groups(frame, "site", "x", "y", n_jobs=2)
    assert result["error"].notna().sum() >= 1 and result["n_dropped"].sum() == 15
    assert_identical(result, expected)


@pytest.mark.parametrize(("n_jobs", "n_groups"), [(64, 6), (2, 1), (None, 2)])
def test_worker_processes_are_capped_by_cores_and_batches(rng, monkeypatch, n_jobs, n_groups):
    started = []

    def record(options, batch, n_batches, n_workers, bar):
        started.append((n_workers, n_batches))
        return [[fit_group(options, *group) for group in batch(number)] for number in range(n_batches)], 0

    monkeypatch.setattr("korva.groups._fit_in_processes", record)
    table = long_table(rng, n_groups=n_groups, n_points=10)
    result = fit_groups(table, ["site", "sensor"], "x", "y", n_jobs=n_jobs, **PARAMS)
    assert len(result) == n_groups
    for n_workers, n_batches in started:
        assert 2 <= n_workers <= min(len(os.sched_getaffinity(0)), n_batches)


# A script that fits groups with two worker processes; without a main guard, as scripts are
# often written. Arguments: groups, points per group and deep steps of the search (its length).
FIT_SCRIPT = textwrap.dedent(
    """
    import json, signal, sys, warnings
    import numpy as np
    import pandas as pd
    from korva import fit_groups

    signal.signal(signal.SIGINT, signal.default_int_handler)  # as a terminal's Ctrl-C reaches Python


    class Seed(int):  # a seed of the script's own class, which a worker process cannot import
        pass


    n_groups, n_points, n_deep = (int(value) for value in sys.argv[1:4])
    rng = np.random.default_rng(0)
    table = pd.DataFrame({"g": np.repeat(np.arange(n_groups), n_points), "x": rng.uniform(-1, 1, n_groups * n_points)})
    table["y"] = table["x"] ** 2 + rng.normal(0.0, 0.05, len(table))
    print("started", flush=True)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = fit_groups(
                table, "g", "x", "y", n_jobs=2, degree=2, n_chains=4, n_warmup=20, n_deep=n_deep, random_state=Seed(7)
            )
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print(json.dumps({"warnings": [str(w.message) for w in caught], "errors": result["error"].tolist()}))
    """
)
# Long enough that the fit would run for minutes: what a test sees ends it.
LONG_FIT = ("8", "2000", str(10**7))
# Generous bounds for a busy machine: workers to start, a signal to take effect.
START_SECONDS = 60
END_SECONDS = 30


def child_processes(pid):
    """The pids of the live children of process `pid` (Linux)."""
    children = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as listed:
            children.update(int(child) for child in listed.read().split())
    return {child for child in children if is_running(child)}


def is_running(pid):
    """False once `pid` has ended (gone, or a zombie not yet reaped by whoever adopted it)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@contextlib.contextmanager
def fitting_child(child_python, arguments):
    """The fit script running in a child whose two workers have started: (child, worker pids)."""
    workers = set()
    with child_python.popen(
        "-c", FIT_SCRIPT, *arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    ) as child:
        try:
            assert child.stdout.readline() == "started\n"
            assert wait_until(lambda: len(child_processes(child.pid)) == 2, START_SECONDS), "no workers"
            workers = child_processes(child.pid)
            yield child, workers
        finally:
            child.kill()
            for worker in workers:  # should a test fail with its workers running on
                with contextlib.suppress(OSError), open(f"/proc/{worker}/cmdline", "rb") as command:
                    if b"korva._group_worker" in command.read():  # not a pid since reused
                        os.kill(worker, signal.SIGKILL)


linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


@linux_only
@pytest.mark.parametrize("how", ["ctrl-c", signal.SIGTERM, signal.SIGKILL], ids=["ctrl-c", "term", "kill"])
def test_workers_end_with_the_call_or_the_caller(child_python, how):
    with fitting_child(child_python, LONG_FIT) as (child, workers):
        if how == "ctrl-c":
            child.send_signal(signal.SIGINT)
            assert child.communicate(timeout=END_SECONDS)[0] == "interrupted\n"
        else:
            child.send_signal(how)
            child.wait(timeout=END_SECONDS)
        assert wait_until(lambda: not any(is_running(worker) for worker in workers), END_SECONDS)


@linux_only
def test_a_dead_worker_costs_only_its_batch(child_python):
    with fitting_child(child_python, ("32", "100", "2000")) as (child, workers):
        os.kill(min(workers), signal.SIGKILL)
        output, errors = child.communicate(timeout=600)
    assert child.returncode == 0, errors
    report = json.loads(output)
    lost = [error for error in report["errors"] if error is not None]
    assert 1 <= len(lost) < 32
    assert all("killed by SIGKILL" in error for error in lost)
    [warning] = report["warnings"]
    assert warning.startswith(f"{len(lost)} group(s) were not fitted because the worker process fitting them ended")


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_a_script_without_main_guard_fits_with_workers(child_python, tmp_path, source):
    script = tmp_path / "fit.py"
    script.write_text(FIT_SCRIPT)
    if source == "file":
        done = child_python.run(str(script), "6", "50", "100", timeout=600)
    else:
        done = child_python.run("-", "6", "50", "100", input=FIT_SCRIPT, timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "started"
    assert json.loads(done.stdout.splitlines()[1]) == {"warnings": [], "errors": [None] * 6}


# What a worker's start must not load: pandas took half a second; importlib.metadata and
# the version lookup it was imported for, 40 ms of the 0.15 s start.
@pytest.mark.parametrize("module", ["pandas", "importlib.metadata"])
def test_the_worker_does_not_load_what_it_does_not_use(child_python, module):
    done = child_python.run("-c", f"import sys, korva._group_worker; print({module!r} in sys.modules)")
    assert (done.stdout, done.returncode) == ("False\n", 0), done.stderr


PROGRESS_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import pandas as pd
    from korva import fit_groups

    table = pd.DataFrame({"g": np.repeat([0, 1, 2], 20), "x": np.tile(np.linspace(-1.0, 1.0, 20), 3)})
    table["y"] = table["x"] ** 2
    progress = {"None": None, "True": True, "False": False}[sys.argv[1]]
    fit_groups(table, "g", "x", "y", n_jobs=1, progress=progress, degree=2, n_chains=4, n_warmup=20, n_deep=100)
    """
)


@linux_only
@pytest.mark.parametrize(
    ("terminal", "progress", "shown"),
    [(True, "None", True), (True, "False", False), (False, "None", False), (False, "True", True)],
    ids=["terminal", "terminal-off", "pipe", "pipe-on"],
)
def test_progress_bar_shows_on_a_terminal_or_when_asked(child_python, terminal, progress, shown):
    pytest.importorskip("tqdm")
    if terminal:
        leader, follower = pty.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal's size
        with child_python.popen("-c", PROGRESS_SCRIPT, progress, stderr=follower, stdout=subprocess.PIPE) as child:
            os.close(follower)
            written = b""
            with contextlib.suppress(OSError):  # EIO once the child has closed the terminal
                while chunk := os.read(leader, 4096):
                    written += chunk
            os.close(leader)
        errors, code = written.decode(errors="replace"), child.returncode
    else:
        done = child_python.run("-c", PROGRESS_SCRIPT, progress)
        errors, code = done.stderr, done.returncode
    assert code == 0, errors
    assert ("fit_groups: 100%" in errors and "3/3" in errors) == shown, errors


@pytest.mark.parametrize(
    ("module", "x", "options", "extra"),
    [("tqdm", "x", {"progress": True}, "pandas"), ("sklearn.covariance", ["x", "u"], {"rows": True}, "diagnostics")],
    ids=["progress bar", "robust distances of several inputs"],
)
def test_a_missing_optional_package_is_named_with_its_extra(rng, monkeypatch, module, x, options, extra):
    monkeypatch.setitem(sys.modules, module, None)  # as if not installed
    with pytest.raises(ImportError, match=rf"pip install 'korva\[{extra}\]'"):
        fit_groups(long_table(rng), "site", x, "y", n_jobs=1, **options, **PARAMS)


@pytest.mark.filterwarnings("ignore::korva.FitWarning")  # a group's fit may see a rival start
@pytest.mark.parametrize("argument", ["weight", "sigma"])
def test_weights_and_errors_reach_each_groups_fit_and_its_rows(rng, argument):
    table = long_table(rng)
    table["c"] = rng.uniform(0.1, 2.0, len(table))
    table.loc[table.index[:3], "c"] = np.nan  # dropped with dropna
    result, rows = fit_groups(table, "site", "x", "y", **{argument: "c"}, dropna=True, rows=True, n_jobs=1, **PARAMS)
    plain = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)
    fit_argument = "sample_weight" if argument == "weight" else "sigma"
    for (site, group), coef, scale, unweighted in zip(
        table.dropna().groupby("site"), result["coef"], result["scale"], plain["coef"]
    ):
        ordered = group.sort_values(["x", "y", "c"])
        model = PolynomialMDLRegressor(**PARAMS).fit(
            ordered[["x"]].to_numpy(), ordered["y"].to_numpy(), **{fit_argument: ordered["c"].to_numpy()}
        )
        assert coef.tobytes() == model.coef_.tobytes(), site
        assert coef.tobytes() != unweighted.tobytes(), site
        fitted = rows[rows["index"].isin(group.index)]
        unit = scale * (fitted["c"] if argument == "sigma" else 1.0)
        np.testing.assert_allclose(fitted["scaled_residual"], fitted["residual"] / unit, rtol=1e-12)
    assert list(result["n_dropped"]) == [(table.loc[table.index[:3], "site"] == site).sum() for site in range(3)]


@pytest.mark.parametrize("extrapolation", ["warn", "raise"])
def test_a_row_of_weight_0_beyond_the_rows_fitted_is_fitted_without_a_word(rng, extrapolation):
    """The rows' fits are the group's own: no extrapolation warning, nor error, for a row of
    weight 0 beyond the range of the rows fitted."""
    table = long_table(rng)
    table["c"] = 1.0
    far = table.groupby("site").head(1).index
    table.loc[far, ["x", "c"]] = [9.0, 0.0]  # the others lie in [-2, 2]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result, rows = fit_groups(
            table, "site", "x", "y", weight="c", rows=True, n_jobs=1, extrapolation=extrapolation, **PARAMS
        )
    assert not [w for w in caught if "beyond the training range" in str(w.message)]
    assert result["error"].isna().all() and (result["x_max"] < 2.0).all()
    assert np.isfinite(rows.loc[rows["index"].isin(far), "fitted"]).all()
