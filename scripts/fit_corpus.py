"""A corpus of fits for checking that a change inside the fit keeps every result to the bit.

    .venv/bin/python -m scripts.fit_corpus record corpus.pickle    # before the change
    .venv/bin/python -m scripts.fit_corpus compare corpus.pickle   # after it

The 22 cases cover one and several inputs, every method, penalties, case weights (counts,
relative, zeros), degree="auto", tied data, small n (every subset enumerated), interpolation
and 1e5 rows (the design formed where it is read). ``compare`` prints each fitted attribute
that moved, with its largest change, and exits 1 when any did.
"""

from __future__ import annotations

import pickle
import sys
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from korva import PolynomialMDLRegressor

Case = Callable[[], tuple[dict[str, Any], np.ndarray, np.ndarray, dict[str, Any]]]


def _curve(n: int, inputs: int = 1, outliers: float = 0.1, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 3.0, (n, inputs))
    y = 1.0 + x.sum(axis=1) - 0.5 * (x**2).sum(axis=1) + 0.1 * (x[:, 0] ** 3) + 0.3 * rng.standard_normal(n)
    bad = rng.random(n) < outliers
    y[bad] += rng.uniform(4.0, 12.0, bad.sum())
    return (x[:, 0] if inputs == 1 else x), y


def _cases() -> dict[str, Case]:
    cases: dict[str, Case] = {}

    def add(name: str, parameters: dict[str, Any], data: tuple[np.ndarray, np.ndarray], **fit: Any) -> None:
        cases[name] = lambda: (parameters, data[0], data[1], fit)

    one = _curve(80)
    for method in ("mcmc", "ols", "penalized"):
        add(f"1d-{method}", {"degree": 3, "method": method, "random_state": 1}, one)
    add("1d-mcmc-penalties", {"degree": 4, "gamma1": 0.01, "gamma2": 0.001, "random_state": 2}, one)
    add("1d-penalized-penalties", {"degree": 4, "method": "penalized", "gamma1": 0.1, "gamma2": 0.01}, one)
    add("1d-auto", {"degree": "auto", "random_state": 3}, _curve(200, seed=3))
    add("1d-auto-ols", {"degree": "auto", "method": "ols"}, _curve(200, seed=3))
    add("1d-small", {"degree": 3, "random_state": 4}, _curve(20, seed=4))
    add("1d-interpolates", {"degree": 9, "random_state": 5}, _curve(10, outliers=0.0, seed=5))
    three = _curve(150, inputs=3, seed=6)
    add("3d-total", {"degree": 2, "random_state": 6}, three)
    add("3d-tensor", {"degree": [2, 1, 1], "basis": "tensor", "random_state": 7}, three)
    add("3d-ols", {"degree": 2, "method": "ols"}, three)
    add("2d-auto", {"degree": "auto", "random_state": 8}, _curve(200, inputs=2, seed=8))
    rng = np.random.default_rng(9)
    counts = rng.integers(0, 4, one[0].size).astype(float)
    relative = rng.uniform(0.5, 1.5, one[0].size)
    relative[::7] = 0.0
    add("1d-counts", {"degree": 3, "random_state": 9}, one, sample_weight=counts)
    add("1d-relative", {"degree": 3, "random_state": 10}, one, sample_weight=relative)
    add("1d-auto-relative", {"degree": "auto", "random_state": 11}, one, sample_weight=relative)
    add("3d-counts", {"degree": 2, "random_state": 12}, three, sample_weight=rng.integers(1, 3, 150).astype(float))
    x, y = _curve(60, seed=13)
    add("1d-ties", {"degree": 2, "random_state": 13}, (np.round(x), np.round(y)))
    add("1d-ties-auto", {"degree": "auto", "random_state": 14}, (np.round(x, 1), np.round(y)))
    add("1d-large", {"degree": 3, "random_state": 15}, _curve(100_000, seed=15))
    add(
        "1d-large-weights",
        {"degree": 2, "random_state": 16},
        _curve(100_000, seed=16),
        sample_weight=np.random.default_rng(16).uniform(0.5, 2.0, 100_000),
    )
    add("2d-large-auto", {"degree": "auto", "random_state": 17}, _curve(100_000, inputs=2, seed=17))
    return cases


def _attributes(model: PolynomialMDLRegressor) -> dict[str, Any]:
    kept: dict[str, Any] = {}
    for name, value in vars(model).items():
        if not name.endswith("_") or name.startswith("__"):
            continue
        if name == "gibbs_":
            value = None if value is None else {k: getattr(value, k) for k in dir(value) if not k.startswith("_")}
        kept[name] = value
    return kept


def record() -> dict[str, Any]:
    results: dict[str, Any] = {}
    for name, case in _cases().items():
        parameters, x, y, fit = case()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = PolynomialMDLRegressor(**parameters).fit(x, y, **fit)
        results[name] = _attributes(model)
        print(f"{name}: degree {model.degree_}, scale {model.scale_:.6g}", flush=True)
    return results


def _difference(before: Any, after: Any) -> str | None:
    if isinstance(before, dict) and isinstance(after, dict):
        moved = [f"{k}: {d}" for k in before.keys() | after.keys() if (d := _difference(before.get(k), after.get(k)))]
        return "; ".join(moved) or None
    if callable(before) or callable(after):
        return None
    try:
        a, b = np.asarray(before), np.asarray(after)
        if a.dtype.kind in "fcbiu" and b.dtype.kind in "fcbiu":
            # Element by element: the repr of a long array leaves out its middle.
            if a.shape != b.shape:
                return f"shape {a.shape} -> {b.shape}"
            if np.array_equal(a, b, equal_nan=a.dtype.kind in "fc" and b.dtype.kind in "fc"):
                return None
            if a.dtype.kind in "biu" and b.dtype.kind in "biu":
                return f"{np.count_nonzero(a != b)} entries differ"
            return f"largest change {np.nanmax(np.abs(a.astype(float) - b.astype(float)))}"
    except (TypeError, ValueError):
        pass
    return None if repr(before) == repr(after) else f"{before!r} -> {after!r}"


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[0] not in ("record", "compare"):
        print(__doc__)
        return 2
    results = record()
    if argv[0] == "record":
        with open(argv[1], "wb") as stream:
            pickle.dump(results, stream)
        return 0
    with open(argv[1], "rb") as stream:
        recorded = pickle.load(stream)
    moved = 0
    for name in recorded.keys() | results.keys():
        for attribute in sorted(recorded.get(name, {}).keys() | results.get(name, {}).keys()):
            change = _difference(recorded.get(name, {}).get(attribute), results.get(name, {}).get(attribute))
            if change:
                moved += 1
                print(f"MOVED {name}.{attribute}: {change}")
    print("bit-identical" if not moved else f"{moved} attributes moved")
    return 1 if moved else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
