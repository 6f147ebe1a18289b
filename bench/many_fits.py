"""korva.fit_groups on a long table: groups per second with 1 and 2 workers.

Local processes fit a pandas frame, a dask.distributed LocalCluster of worker processes
a Dask frame read from Parquet files. Each worker runs one thread, so 1 and 2 workers use 1 and 2 cores. The
tables of all four runs must agree bit for bit before any time is reported.

"of ideal" is the throughput as a share of what n workers would reach without overhead: n
times the groups per second of one worker (for pandas, the fits in the calling process,
n_jobs=1). "others" is the CPU time other processes took during the run over its wall time
(Linux only): on a machine of two cores, anything above a few hundredths slows the
two-worker run down.
"""

from __future__ import annotations

import argparse
import logging
import os
import resource
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
from threadpoolctl import threadpool_limits

from korva import fit_groups


def long_table(n_groups: int, n_points: int, seed: int = 11) -> pd.DataFrame:
    """Noisy cubics, one per group, each with a tenth of its points thrown far off."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, (n_groups, n_points))
    shape = rng.normal(0.0, 1.0, (n_groups, 4))
    t = x / 5.0 - 1.0
    y = shape[:, :1] + shape[:, 1:2] * t + shape[:, 2:3] * t**2 + shape[:, 3:] * t**3
    y += rng.normal(0.0, 0.05, y.shape)
    outliers = rng.random(y.shape) < 0.1
    y[outliers] += rng.uniform(3.0, 8.0, outliers.sum())
    group = np.repeat(np.arange(n_groups), n_points)
    order = rng.permutation(group.size)  # rows of all groups interleaved, as in a log
    return pd.DataFrame({"group": group[order], "x": x.ravel()[order], "y": y.ravel()[order]})


def cpu_seconds() -> float:
    """CPU time of this process and of its finished children (the workers, once shut down)."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def machine_busy_seconds() -> float | None:
    """CPU time all processes of the machine have taken since it started (Linux), else None."""
    try:
        with open("/proc/stat") as stat:
            ticks = [int(value) for value in stat.readline().split()[1:]]
    except OSError:
        return None
    # user, nice, system, irq and softirq: not idle, I/O wait or time stolen by the host.
    return (sum(ticks[:3]) + sum(ticks[5:7])) / os.sysconf("SC_CLK_TCK")


def timed(fit) -> tuple[float, pd.DataFrame]:
    start = time.perf_counter()
    table = fit()
    return time.perf_counter() - start, table


def report(n_groups: int, n_points: int) -> None:
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    table = long_table(n_groups, n_points)
    # A Dask frame as a cluster would read it: from files, several partitions per worker.
    files = Path(tempfile.mkdtemp(prefix="korva-many-fits-"))
    dd.from_pandas(table, npartitions=16).to_parquet(files)
    print(f"\nfit_groups: {n_groups} groups of {n_points} points, default estimator (degree 3)")
    # CPU time over wall time: the cores the run kept busy, at most the number of workers
    # (the workers' start and the cluster's set-up are counted too).
    print("| road | workers | time | groups/s | speed-up | of ideal | cores busy | others |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    results = []
    for road in ("pandas, local processes", "Dask, LocalCluster"):
        single = None
        for workers in (1, 2):
            cpu, machine = cpu_seconds(), machine_busy_seconds()
            if road.startswith("pandas"):
                with threadpool_limits(1):  # one worker in this process: one core
                    seconds, result = timed(lambda: fit_groups(table, "group", "x", "y", n_jobs=workers))
            else:
                with (
                    LocalCluster(
                        n_workers=workers,
                        threads_per_worker=1,
                        processes=True,
                        dashboard_address=":0",
                        silence_logs=logging.ERROR,
                    ) as cluster,
                    Client(cluster),
                ):
                    seconds, result = timed(lambda: fit_groups(dd.read_parquet(files), "group", "x", "y"))
            ours, machine_after = cpu_seconds() - cpu, machine_busy_seconds()
            others = (
                "" if machine is None or machine_after is None else f"{(machine_after - machine - ours) / seconds:.2f}"
            )
            results.append(result)
            single = single or seconds
            print(
                f"| {road} | {workers} | {seconds:.2f} s | {n_groups / seconds:.0f} | "
                f"{single / seconds:.2f}x | {single / seconds / workers:.0%} | {ours / seconds:.2f} | {others} |",
                flush=True,
            )
    shutil.rmtree(files)
    for result in results[1:]:
        pd.testing.assert_frame_equal(result, results[0], check_exact=True)
    failed = results[0]["error"].notna().sum()
    print(f"\nall four tables identical; {failed} of {n_groups} groups could not be fitted")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--groups", type=int, default=10_000)
    parser.add_argument("--points", type=int, default=200)
    args = parser.parse_args()
    report(args.groups, args.points)


if __name__ == "__main__":
    main()
