"""fit_groups: one fit per group of a long table, on local processes and on a Dask cluster."""

import logging
import math
import pickle

import numpy as np
import pytest

from korva import PolynomialMDLRegressor, fit_groups

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
        assert row["multi_indices"] == model.multi_indices_
        assert row["degree"] == model.degree_
        assert (row["scale"], row["mdl"], row["hit_rate"]) == (model.scale_, model.mdl_, model.hit_rate_)
        assert row["n_outliers"] == (~model.inlier_mask_).sum()
        x_min = model.x_min_[0] if isinstance(x, str) else model.x_min_
        np.testing.assert_array_equal(row["x_min"], x_min)


def test_result_does_not_depend_on_row_order_or_worker_processes(rng):
    table = long_table(rng, n_groups=12, n_points=30)
    in_process = fit_groups(table, "site", "x", "y", n_jobs=1, **PARAMS)
    reordered = table.sample(frac=1.0, random_state=2)  # a shuffled index too
    assert_identical(fit_groups(reordered, "site", "x", "y", n_jobs=2, **PARAMS), in_process)


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
    assert result["error"][1] == "ValueError: y contains NaN or infinity"
    assert result.loc[failed, ["scale", "mdl", "hit_rate"]].isna().all(axis=None)
    assert result.loc[failed, "n_outliers"].isna().all()
    assert result.loc[failed, "coef"].isna().all()
    assert result.loc[~failed, ["scale", "mdl", "hit_rate"]].notna().all(axis=None)
    assert result["n_samples"].sum() == len(table)


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
    ],
)
def test_bad_arguments_are_refused_before_any_fit(rng, monkeypatch, call, error, message):
    def no_fit(*args):
        raise AssertionError("a group was fitted")

    monkeypatch.setattr("korva.groups._fit_group", no_fit)
    with pytest.raises(error, match=message):
        call(long_table(rng))


@pytest.mark.slow
def test_dask_cluster_gives_the_pandas_result_bit_for_bit(rng):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("dask.distributed")
    table = long_table(rng, n_groups=12, n_points=30)
    table.loc[table.index[:5], "y"] = math.inf  # one failing group travels too
    frame = dd.from_pandas(table, npartitions=4)
    # The same rows with the column types Dask gave them (its own string type).
    expected = fit_groups(frame.compute(), ["sensor", "site"], ["x", "u"], "y", n_jobs=1, **PARAMS)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
        ) as cluster,
        distributed.Client(cluster),
    ):
        result = fit_groups(frame, ["sensor", "site"], ["x", "u"], "y", **PARAMS)
        with pytest.raises(ValueError, match="n_jobs applies to pandas"):
            fit_groups(frame, "site", "x", "y", n_jobs=2)
    assert result["error"].notna().sum() >= 1
    assert_identical(result, expected)
