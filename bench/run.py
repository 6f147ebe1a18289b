"""Side-by-side timings of korva_core against what a user would otherwise call.

Each case checks that korva and its peer agree before anything is timed, then
times them interleaved (warm-up, then at least five repeats each) and reports
medians and the ratio peer / korva. Peers run single-threaded, as does korva
unless a case says otherwise.
"""

from __future__ import annotations

import argparse
import itertools
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import scipy
import scipy.linalg
import scipy.stats
from threadpoolctl import threadpool_info, threadpool_limits

import at_scale
import korva.testing as reference
import korva_core as kc
import many_fits
from korva._sampler import (
    HIT_TOLERANCE,
    REFINE_COOLING,
    REFINE_HEAT_SHARE,
    REFINE_STEP_SHARE,
    START_SPREAD,
    WARM_UP_COOLING,
    WARM_UP_START_TEMPERATURE,
)


@dataclass
class Case:
    name: str
    size: str
    korva: Callable[[], object]
    peer: Callable[[], object]
    target: float  # required peer / korva ratio
    check: Callable[[object, object], None]
    inverse: bool = False  # target is an upper bound on korva / peer instead
    stretch: float | None = None


def close(rtol: float, atol: float = 0.0) -> Callable[[object, object], None]:
    def check(a, b):
        np.testing.assert_allclose(np.asarray(a), np.asarray(b), rtol=rtol, atol=atol)

    return check


def times(fn: Callable[[], object], other: Callable[[], object], repeats: int) -> tuple[float, float]:
    fn(), other()
    ta, tb = [], []
    for _ in range(repeats):
        for f, out in ((fn, ta), (other, tb)):
            t0 = time.perf_counter()
            f()
            out.append(time.perf_counter() - t0)
    return statistics.median(ta), statistics.median(tb)


def thread_percentiles(sampler, X, y, calls: int) -> tuple[dict[int, float], dict[int, float]]:
    """Median and 90th percentile of sampler.fit(X, y) on 1 and on 2 threads, the
    calls alternating between the two so that both see the same machine."""
    seconds: dict[int, list[float]] = {1: [], 2: []}
    for threads in (1, 2):  # warm-up: the helper thread starts on first use
        with threadpool_limits(threads, user_api="openmp"):
            sampler.fit(X, y)
    for _ in range(calls):
        for threads, out in seconds.items():
            with threadpool_limits(threads, user_api="openmp"):
                t0 = time.perf_counter()
                sampler.fit(X, y)
                out.append(time.perf_counter() - t0)
    p50 = {t: float(np.percentile(v, 50)) for t, v in seconds.items()}
    p90 = {t: float(np.percentile(v, 90)) for t, v in seconds.items()}
    return p50, p90


# ---- NumPy peers -------------------------------------------------------------


def numpy_mad(y):
    return scipy.stats.median_abs_deviation(y, scale=1.0)


def numpy_energy(X, y, b, eps, H=20):
    n, k = X.shape
    sr = reference.hit_rate(X @ b, y, eps)
    return -n * np.log(sr) + (k * np.log(2 * H) / n) * k if k else -n * np.log(sr)


def numpy_tournament(X, y, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step=0.05, seed=42):
    """The sampler's algorithm as a plain NumPy loop: one X @ b and one count per step."""
    n, k = X.shape
    m = numpy_mad(y)
    eps = HIT_TOLERANCE * m if m > 0 else HIT_TOLERANCE
    rng = np.random.default_rng(seed)
    log2H = k * np.log(40.0) / n * k if k else 0.0

    def energy(b):
        sr = max(np.count_nonzero(np.abs(X @ b - y) < eps) / n, 0.5 / n)
        return log2H - n * np.log(sr)

    def walk(b, e, T, cool, steps, sd, best=None):
        for _ in range(steps):
            bc = b + rng.normal(0.0, sd, k)
            ec = energy(bc)
            if ec < e or rng.random() < np.exp(min(0.0, (e - ec) / T)):
                b, e = bc, ec
            if best is not None and e < best[1]:
                best[0], best[1] = b, e
            T *= cool
        return b, e, T

    chains = []
    for _ in range(n_chains):
        b = rng.normal(0.0, START_SPREAD, k)
        chains.append(walk(b, energy(b), WARM_UP_START_TEMPERATURE, WARM_UP_COOLING, n_warmup, step)[:2])
    r_heat = reference.gibbs_statistics([e for _, e in chains])["r_heat"]
    chains.sort(key=lambda c: c[1])
    elite = chains[:n_elite]
    best = list(elite[0])
    T = REFINE_HEAT_SHARE * r_heat
    for b, e in elite:
        T = walk(b, e, T, REFINE_COOLING, n_deep, REFINE_STEP_SHARE * step, best)[2]
    return best


# ---- cases -----------------------------------------------------------------


def build_cases(rng: np.random.Generator) -> list[Case]:
    cases = []

    x = rng.uniform(-1, 1, 1_000_000)
    cases.append(
        Case(
            "design_matrix_1d",
            "n=1e6 deg=10",
            lambda: kc.design_matrix_1d(10, x),
            lambda: np.polynomial.polynomial.polyvander(x, 10),
            1.8,
            close(1e-12, 1e-15),
        )
    )
    cases.append(
        Case(
            "design_matrix_1d vs fill",
            "n=1e6 x 11",
            lambda: kc.design_matrix_1d(10, x),
            lambda: np.full((x.size, 11), 1.0, order="F"),
            1.3,
            lambda a, b: None,
            inverse=True,
        )
    )

    cols = [rng.uniform(-1, 1, 100_000) for _ in range(3)]
    multi = [list(t) for t in itertools.product(range(4), repeat=3)]
    cases.append(
        Case(
            "design_matrix_nd",
            "n=1e5 [3,3,3]",
            lambda: kc.design_matrix_nd(multi, cols),
            lambda: np.polynomial.polynomial.polyvander3d(*cols, [3, 3, 3]),
            1.6,
            close(1e-13, 1e-15),
        )
    )

    cases.append(
        Case(
            "smoothness_penalty_1d",
            "deg=10 n=600",
            lambda: kc.smoothness_penalty_matrices_1d(10, 0.0, 1.0, 600),
            lambda: reference.smoothness_penalty_matrices_1d(10, 0.0, 1.0, 600),
            20.0,
            close(1e-12),
        )
    )

    nd_args = ([3, 3, 3], [(0.0, 1.0)] * 3, 30)
    cases.append(
        Case(
            "build_penalty_nd",
            "[3,3,3] n=30",
            lambda: kc.build_penalty_matrices_nd(*nd_args)[:2],
            lambda: reference.build_penalty_matrices_nd(*nd_args)[:2],
            2.6,
            close(1e-12, 1e-9),
            stretch=100.0,
        )
    )

    y = rng.standard_cauchy(1_000_000)
    cases.append(Case("mad", "n=1e6", lambda: kc.mad(y), lambda: numpy_mad(y), 1.0, close(0), stretch=2.5))

    yp = y + rng.normal(0, 1, y.size)
    cases.append(
        Case(
            "compute_sr",
            "n=1e6",
            lambda: kc.compute_sr(yp, y, 0.5),
            lambda: reference.hit_rate(yp, y, 0.5),
            4.0,
            close(0),
        )
    )

    for (m, p), target in [((100_000, 20), 1.5), ((2_000, 8), 2.0)]:
        X = np.asfortranarray(rng.normal(size=(m, p)))
        b = X @ rng.normal(size=p) + rng.normal(size=m)
        cases.append(
            Case(
                "ols",
                f"{m}x{p}",
                lambda X=X, b=b: kc.ols(X, b),
                lambda X=X, b=b: np.linalg.lstsq(X, b, rcond=None)[0],
                target,
                close(1e-9, 1e-12),
            )
        )

    Phi = np.ascontiguousarray(rng.normal(size=(100_000, 20)))
    yy = Phi @ rng.normal(size=20) + rng.normal(size=100_000)
    ridge = 1e-10

    def scipy_penalised():
        A = Phi.T @ Phi
        A[np.diag_indices_from(A)] += ridge
        return scipy.linalg.solve(A, Phi.T @ yy, assume_a="pos")

    cases.append(
        Case(
            "fit_regularized_linear",
            "100000x20 C-order",
            lambda: kc.fit_regularized_linear(Phi, yy),
            scipy_penalised,
            1.4,
            close(1e-9, 1e-12),
        )
    )

    for (n, k), target in [((200, 4), 35.0), ((1_000, 6), 14.0), ((10_000, 8), 3.5)]:
        X = rng.normal(size=(n, k))
        yv = X @ rng.normal(size=k) + 0.05 * rng.standard_cauchy(n)
        sampler = kc.TournamentMCMC()

        def check(res, peer, X=X, yv=yv):
            m = kc.mad(yv)
            own = numpy_energy(X, yv, np.asarray(res.beta_mcmc), HIT_TOLERANCE * m if m > 0 else HIT_TOLERANCE)
            assert abs(own - res.energy) <= 1e-9 * max(1.0, abs(own)), (own, res.energy)
            assert res.energy <= peer[1] * 1.5 + 5.0, (res.energy, peer[1])

        cases.append(
            Case(
                "TournamentMCMC.fit",
                f"{n}x{k}",
                lambda s=sampler, X=X, yv=yv: s.fit(X, yv),
                lambda X=X, yv=yv: numpy_tournament(X, yv),
                target,
                check,
            )
        )

    E = rng.normal(50, 5, 15_025)
    cases.append(
        Case(
            "gibbs_entropy",
            "N=15025",
            lambda: kc.gibbs_entropy(E),
            lambda: reference.gibbs_statistics(E),
            1.0,
            lambda g, p: np.testing.assert_allclose([getattr(g, f) for f in p], list(p.values()), rtol=1e-12),
        )
    )
    return cases


def machine() -> str:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    blas = "; ".join(f"{i['internal_api']} {i.get('version')} ({i['user_api']})" for i in threadpool_info())
    return (
        f"{cpu}, {os.cpu_count()} cores; Python {platform.python_version()}, NumPy {np.__version__}, "
        f"SciPy {scipy.__version__}; {blas}"
    )


def row(*cells) -> str:
    return "| " + " | ".join(str(c) for c in cells) + " |"


def header(*cells: str) -> None:
    print(row(*cells))
    print(row(*["---"] * len(cells)))


class UnitBox:
    """Maps each input linearly from its training range onto [-1, 1], as korva does."""

    def __init__(self, X: np.ndarray) -> None:
        self.low = X.min(axis=0)
        span = X.max(axis=0) - self.low
        self.span = np.where(span > 0, span, 1.0)

    def __call__(self, X: np.ndarray) -> np.ndarray:
        return 2.0 * (X - self.low) / self.span - 1.0


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.3f} ms" if seconds < 1 else f"{seconds:.2f} s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", help="run cases whose name contains this text ('scale': the estimator at scale)")
    parser.add_argument("--scale-max-n", type=int, default=10**7, help="the largest n of the estimator at scale")
    parser.add_argument("--scale-repeats", type=int, default=3, help="fits per estimator and size below n = 1e7")
    args = parser.parse_args()
    rng = np.random.default_rng(7)

    print(f"Machine: {machine()}\n")
    print(row("case", "size", "korva", "peer", "ratio", "target", "met"))
    print(row(*["---"] * 7))
    all_met = True
    for case in build_cases(rng):
        if args.only and args.only not in case.name:
            continue
        with threadpool_limits(1):
            case.check(case.korva(), case.peer())
            tk, tp = times(case.korva, case.peer, args.repeats)
        if case.inverse:
            ratio, met, target = tk / tp, tk / tp <= case.target, f"<= {case.target}x fill"
        else:
            ratio, met, target = tp / tk, tp / tk >= case.target, f">= {case.target}x"
            if case.stretch:
                target += f" (stretch {case.stretch}x{', met' if ratio >= case.stretch else ''})"
        all_met &= met
        print(row(case.name, case.size, fmt(tk), fmt(tp), f"{ratio:.2f}x", target, "yes" if met else "NO"), flush=True)

    if not args.only or "Tournament" in args.only:
        print("\nTournamentMCMC.fit with 1 and 2 threads: percentiles over 30 calls each, interleaved")
        print(
            row("size", "1 thread p50", "2 threads p50", "speed-up", "1 thread p90", "2 threads p90", "target", "met")
        )
        print(row(*["---"] * 8))
        # (size, required speed-up of the median, whether the 90th percentile must be no higher on 2 threads)
        for (n, k), speedup_target, steady in [
            ((200, 4), None, True),
            ((1_000, 6), 1.5, True),
            ((10_000, 8), 1.5, False),
            ((100_000, 8), 1.5, False),
        ]:
            X = rng.normal(size=(n, k))
            yv = X @ rng.normal(size=k)
            p50, p90 = thread_percentiles(kc.TournamentMCMC(), X, yv, calls=30)
            speedup = p50[1] / p50[2]
            met = (not steady or p90[2] <= p90[1]) and (speedup_target is None or speedup >= speedup_target)
            target = ", ".join(
                (["p90 no higher"] if steady else []) + ([f">= {speedup_target}x"] if speedup_target else [])
            )
            all_met &= met
            print(
                row(
                    f"{n}x{k}",
                    fmt(p50[1]),
                    fmt(p50[2]),
                    f"{speedup:.2f}x",
                    fmt(p90[1]),
                    fmt(p90[2]),
                    target,
                    "yes" if met else "NO",
                ),
                flush=True,
            )

        print("\nScaling of a default fit at k = 6 (15 025 energy evaluations)")
        print(row("n", "fit", "per evaluation", "mat-vec + count", "ratio"))
        print(row(*["---"] * 5))
        for n in [100, 1_000, 10_000, 100_000]:
            X = rng.normal(size=(n, 6))
            yv = X @ rng.normal(size=6)
            b = rng.normal(size=6)
            with threadpool_limits(1):
                fit = times(lambda: kc.TournamentMCMC().fit(X, yv), lambda: None, 3)[0]
                yp = X @ b
                base = times(lambda: X @ b, lambda: kc.compute_sr(yp, yv, 0.1), 20)
            per = fit / 15_025
            print(row(n, fmt(fit), f"{per * 1e6:.2f} us", f"{sum(base) * 1e6:.2f} us", f"{per / sum(base):.2f}x"))

    if not args.only or "penalty" in args.only:
        print("\nbuild_penalty_matrices_nd at degree 3, 30 points per axis")
        print(row("D", "basis size", "time"))
        print(row(*["---"] * 3))
        for D in range(1, 5):
            t = times(lambda: kc.build_penalty_matrices_nd([3] * D, [(0.0, 1.0)] * D, 30), lambda: None, 3)[0]
            print(row(D, 4**D, fmt(t)))

    if not args.only or "groups" in args.only:
        many_fits.report(n_groups=10_000, n_points=200)

    if not args.only or "scale" in args.only:
        all_met &= at_scale.report(args.scale_max_n, args.scale_repeats)

    print("\nall targets met" if all_met else "\nsome targets NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
