"""How honest korva's 95 % intervals are on harder designs, beside the peers a user would check them with.

Each design draws its data sets from a true polynomial with its own law of errors: errors
known per row, a spread that grows along x, heavy or skewed tails, one-sided outliers,
far points, several inputs, an offset range, a small sample. korva and the peers fit every
data set with the true basis, in t (each input mapped to [-1, 1] by its training range),
and their intervals are scored against the truth: the coefficients in t, the mean curve at
random points and at the two ends of the range, and fresh observations of the same law.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
import statistics
import time
import warnings
from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np
import statsmodels.api as sm
from numpy.typing import NDArray
from scipy import stats

from korva import PolynomialMDLRegressor
from run import UnitBox, fmt, header, row

FloatArray = NDArray[np.float64]
BoolArray = NDArray[np.bool_]
Terms = Mapping[tuple[int, ...], float]  # a polynomial: exponents of each input -> coefficient

LEVEL = 0.95
ALPHA = 1.0 - LEVEL
Z = float(stats.norm.ppf(0.5 + LEVEL / 2))
NOISE = 0.1  # the error sd of a row (known errors: the smallest sigma)
X_RANGE = (0.0, 10.0)  # the true polynomials are written in u = x / 5 - 1 of each input
FAR_RANGE = (20.0, 25.0)  # where the good leverage points lie
MEAN_POINTS = 5  # random points per data set for the mean curve's intervals
FRESH_POINTS = 10  # fresh observations per data set, each at its own random x
CUBIC: Terms = {(0,): 1.0, (1,): 2.0, (2,): -3.0, (3,): 2.5}  # the cubic of the other sections
QUADRATIC_3: Terms = {
    (0, 0, 0): 1.0,
    (0, 0, 1): 0.3,
    (0, 0, 2): 0.4,
    (0, 1, 0): -0.5,
    (0, 1, 1): -0.3,
    (0, 2, 0): 0.5,
    (1, 0, 0): 0.8,
    (1, 0, 1): 0.2,
    (1, 1, 0): -0.4,
    (2, 0, 0): 0.6,
}
LOG_SD = 0.75  # of the skewed errors' logarithm
# FitWarnings that mention "spread" and are not absolute_sigma's check of the stated errors
# (which also says "spread") are the unequal-spread warning.
SPREAD_WORD, STATED_ERRORS = "spread", "stated errors"


# ------------------------------------------------------------------ error laws, each of scale 1


def normal(rng: np.random.Generator, m: int) -> FloatArray:
    return rng.standard_normal(m)


def student_2(rng: np.random.Generator, m: int) -> FloatArray:
    """t with 2 degrees of freedom, scaled to the standard normal's quartiles (its sd is infinite)."""
    return rng.standard_t(2, m) * float(stats.norm.ppf(0.75) / stats.t.ppf(0.75, 2))


def laplace(rng: np.random.Generator, m: int) -> FloatArray:
    return rng.laplace(0.0, 1.0 / math.sqrt(2.0), m)  # sd 1


def lognormal(rng: np.random.Generator, m: int) -> FloatArray:
    """exp(0.75 N(0, 1)) less its mean, scaled to sd 1: a long right tail."""
    mean = math.exp(LOG_SD**2 / 2)
    sd = math.sqrt((math.exp(LOG_SD**2) - 1.0) * math.exp(LOG_SD**2))
    return (np.exp(LOG_SD * rng.standard_normal(m)) - mean) / sd


# ------------------------------------------------------------------ designs


def evaluate(terms: Terms, X: FloatArray) -> FloatArray:
    u = X / 5.0 - 1.0
    return sum((c * np.prod(u ** np.array(e), axis=1) for e, c in terms.items()), np.zeros(len(X)))


@dataclass(frozen=True)
class DataSet:
    X: FloatArray
    y: FloatArray
    sigma: FloatArray | None  # each row's error sd where the fits are told it
    outlier: BoolArray
    mean_X: FloatArray  # random points in the training range, for the mean curve
    edge_X: FloatArray  # the two ends of the training range
    fresh_X: FloatArray
    fresh_y: FloatArray
    fresh_sigma: FloatArray | None


@dataclass(frozen=True)
class Design:
    label: str
    n: int
    terms: Terms = field(default_factory=lambda: CUBIC)
    x_range: tuple[float, float] = X_RANGE
    far_points: int = 0  # extra points on the curve at x in FAR_RANGE
    sigma_decades: float = 0.0  # above 0: row i's sd is NOISE * 10**U(0, sigma_decades), given as sigma
    growth: float = 1.0  # the sd grows linearly along x_range to this many times NOISE
    errors: Callable[[np.random.Generator, int], FloatArray] = normal
    error_sd: float | None = 1.0  # the sd of `errors` (None: infinite)
    outlier_share: float = 0.0
    outlier_shift: tuple[float, float] = (5.0, 10.0)  # one-sided, in sds of the row
    # Skewed errors: a robust fit's curve lies at the errors' own centre, not at their mean, by
    # a constant that only the constant term and the mean curve carry (Carroll & Welsh 1988).
    # Those are left unscored; the other coefficients and new observations are scored.
    symmetric: bool = True

    @property
    def known_sigma(self) -> bool:
        return self.sigma_decades > 0

    @property
    def n_inputs(self) -> int:
        return len(next(iter(self.terms)))

    @property
    def degree(self) -> int:
        return max(sum(e) for e in self.terms)

    @property
    def n_total(self) -> int:
        return self.n + self.far_points

    @property
    def inlier_sd(self) -> float | None:
        """The error sd of an inlier in the units of korva's noise_scale_, where it is one number."""
        if self.growth != 1.0 or self.error_sd is None:
            return None
        return self.error_sd * (1.0 if self.known_sigma else NOISE)

    def row_sd(self, rng: np.random.Generator, X: FloatArray) -> FloatArray:
        if self.known_sigma:
            return NOISE * 10.0 ** rng.uniform(0.0, self.sigma_decades, len(X))
        low, high = self.x_range
        return NOISE * (1.0 + (self.growth - 1.0) * (X[:, 0] - low) / (high - low))

    def draw(self, index: int, seed: int) -> DataSet:
        rng = np.random.default_rng([index, seed])
        X = rng.uniform(*self.x_range, (self.n, self.n_inputs))
        if self.far_points:
            X = np.vstack([X, rng.uniform(*FAR_RANGE, (self.far_points, 1))])
        sd = self.row_sd(rng, X)
        y = evaluate(self.terms, X) + sd * self.errors(rng, len(X))
        bad = rng.choice(len(X), round(self.outlier_share * len(X)), replace=False)
        y[bad] += sd[bad] * rng.uniform(*self.outlier_shift, bad.size)
        outlier = np.zeros(len(X), dtype=bool)
        outlier[bad] = True
        low, high = X.min(axis=0), X.max(axis=0)
        fresh = np.random.default_rng([index, seed, 1])
        mean_X = fresh.uniform(low, high, (MEAN_POINTS, self.n_inputs))
        fresh_X = fresh.uniform(low, high, (FRESH_POINTS, self.n_inputs))
        fresh_sd = self.row_sd(fresh, fresh_X)
        fresh_y = evaluate(self.terms, fresh_X) + fresh_sd * self.errors(fresh, FRESH_POINTS)
        known = self.known_sigma
        return DataSet(
            X,
            y,
            sd if known else None,
            outlier,
            mean_X,
            np.vstack([low, high]),
            fresh_X,
            fresh_y,
            fresh_sd if known else None,
        )


DESIGNS = (
    Design("known sigma 10x, n = 60", 60, sigma_decades=1.0),
    Design("known sigma 100x, n = 200", 200, sigma_decades=2.0),
    Design("known sigma 10x, 5 % outliers at 5-10 sigma, n = 100", 100, sigma_decades=1.0, outlier_share=0.05),
    Design("sd growing 5x along x, no sigma, n = 100", 100, growth=5.0),
    Design("t(2) errors, n = 100", 100, errors=student_2, error_sd=None),
    Design("Laplace errors, n = 100", 100, errors=laplace),
    Design("centred lognormal errors, n = 100", 100, errors=lognormal, symmetric=False),
    Design("good leverage: 60 on [0, 10], 4 on [20, 25]", 60, far_points=4),
    Design("3 inputs, total degree 2 (10 terms), n = 40", 40, terms=QUADRATIC_3),
    Design("x in [20, 30], n = 60", 60, x_range=(20.0, 30.0)),
    Design("30 % one-sided outliers at 3-8 sd, n = 100", 100, outlier_share=0.3, outlier_shift=(3.0, 8.0)),
    Design("n = 25", 25),
)


@dataclass(frozen=True)
class Basis:
    """The total-degree monomials in t, in korva's order (by total degree, then x1's powers first)."""

    exponents: list[tuple[int, ...]]
    box: UnitBox

    @classmethod
    def of(cls, design: Design, X: FloatArray) -> Basis:
        every = itertools.product(range(design.degree + 1), repeat=design.n_inputs)
        terms = sorted((e for e in every if sum(e) <= design.degree), key=lambda e: (sum(e), [-v for v in e]))
        return cls(terms, UnitBox(X))

    def __call__(self, X: FloatArray) -> FloatArray:
        t = self.box(X)
        return np.prod(t[:, None, :] ** np.array(self.exponents)[None], axis=2)

    def truth(self, terms: Terms) -> FloatArray:
        """The true polynomial's coefficients in t, solved exactly on random points of the box."""
        t = np.random.default_rng(0).uniform(-1.0, 1.0, (3 * len(self.exponents), self.box.low.size))
        X = self.box.low + (t + 1.0) / 2.0 * self.box.span
        return np.linalg.lstsq(self(X), evaluate(terms, X), rcond=None)[0]


# ------------------------------------------------------------------ methods


@dataclass(frozen=True)
class Bands:
    coef: FloatArray  # (k, 2): coefficient intervals in t
    mean: Callable[[FloatArray], FloatArray]  # X -> (m, 2): the mean curve's intervals
    fresh: Callable[[FloatArray, FloatArray | None], FloatArray]  # X, its rows' sigma -> (m, 2)
    model: PolynomialMDLRegressor | None = None


Fit = Callable[[DataSet, Basis, int], Bands]


@dataclass(frozen=True)
class Method:
    name: str
    fit: Fit
    absolute: bool = False  # takes the known sigma as exact
    korva: bool = False


def linear_bands(
    basis: Basis, params: FloatArray, cov: FloatArray, quantile: float, noise: float, per_row: bool
) -> Bands:
    """params +- quantile * sd; a fresh observation adds `noise` (times its row's sigma when per_row)."""
    params, cov = np.asarray(params), np.asarray(cov)
    coef_half = quantile * np.sqrt(np.diag(cov))

    def band(X: FloatArray, extra: FloatArray | float) -> FloatArray:
        D = basis(X)
        half = quantile * np.sqrt(np.einsum("ij,jk,ik->i", D, cov, D) + np.square(extra))
        return np.column_stack([D @ params - half, D @ params + half])

    def fresh(X: FloatArray, sigma: FloatArray | None) -> FloatArray:
        return band(X, noise * sigma if per_row and sigma is not None else noise)

    return Bands(np.column_stack([params - coef_half, params + coef_half]), lambda X: band(X, 0.0), fresh)


def t_quantile(df: float) -> float:
    return float(stats.t.ppf(0.5 + LEVEL / 2, df))


def ols(data: DataSet, basis: Basis, seed: int) -> Bands:
    fit = sm.OLS(data.y, basis(data.X)).fit()
    return linear_bands(basis, fit.params, fit.cov_params(), t_quantile(fit.df_resid), math.sqrt(fit.scale), False)


def ols_hc3(data: DataSet, basis: Basis, seed: int) -> Bands:
    fit = sm.OLS(data.y, basis(data.X)).fit(cov_type="HC3", use_t=True)
    return linear_bands(basis, fit.params, fit.cov_params(), t_quantile(fit.df_resid), math.sqrt(fit.scale), False)


def wls(absolute: bool) -> Fit:
    def fit(data: DataSet, basis: Basis, seed: int) -> Bands:
        assert data.sigma is not None
        result = sm.WLS(data.y, basis(data.X), weights=data.sigma**-2).fit()
        if absolute:  # the unscaled covariance, (D' W D)^-1, and normal quantiles
            return linear_bands(basis, result.params, result.normalized_cov_params, Z, 1.0, True)
        scale = math.sqrt(result.scale)
        return linear_bands(basis, result.params, result.cov_params(), t_quantile(result.df_resid), scale, True)

    return fit


def rlm_tukey(data: DataSet, basis: Basis, seed: int) -> Bands:
    """Tukey's biweight on the rows divided by their sigma, where it is known."""
    sigma = np.ones(len(data.y)) if data.sigma is None else data.sigma
    fit = sm.RLM(data.y / sigma, basis(data.X) / sigma[:, None], M=sm.robust.norms.TukeyBiweight()).fit()
    return linear_bands(basis, fit.params, fit.cov_params(), Z, float(fit.scale), data.sigma is not None)


def korva_fit(absolute: bool, cov_type: str | None) -> Fit:
    def fit(data: DataSet, basis: Basis, seed: int) -> Bands:
        extra: dict[str, Any] = {} if cov_type is None else {"cov_type": cov_type}
        model = PolynomialMDLRegressor(
            degree=max(map(sum, basis.exponents)), absolute_sigma=absolute, random_state=seed, **extra
        ).fit(data.X, data.y, sigma=data.sigma)
        if [tuple(m) for m in model.multi_indices_] != basis.exponents:
            raise RuntimeError(f"korva's terms {model.multi_indices_} are not the peers' {basis.exponents}")

        def mean(X: FloatArray) -> FloatArray:
            return np.column_stack(model.predict_interval(X, ALPHA, kind="confidence"))

        def fresh(X: FloatArray, sigma: FloatArray | None) -> FloatArray:
            return np.column_stack(model.predict_interval(X, ALPHA, kind="prediction", sigma=sigma))

        return Bands(model.conf_int(ALPHA), mean, fresh, model)

    return fit


OLS, HC3, WLS, WLS_ABSOLUTE, RLM = "OLS", "OLS HC3", "WLS", "WLS absolute", "RLM Tukey"


def methods(design: Design, cov_types: Sequence[str | None]) -> list[Method]:
    modes = (True, False) if design.known_sigma else (False,)
    korva = [
        Method(
            "korva"
            + ((" absolute" if absolute else " relative") if design.known_sigma else "")
            + (f" cov_type={cov_type}" if cov_type else ""),
            korva_fit(absolute, cov_type),
            absolute,
            korva=True,
        )
        for absolute in modes
        for cov_type in cov_types
        # Known errors leave no spread to measure row by row: the estimator refuses "hc" with them.
        if not (absolute and cov_type == "hc")
    ]
    weighted = [Method(WLS_ABSOLUTE, wls(True), True), Method(WLS, wls(False))] if design.known_sigma else []
    return [*korva, Method(OLS, ols), Method(HC3, ols_hc3), *weighted, Method(RLM, rlm_tukey)]


def reference(method: Method, design: Design) -> str:
    """The peer whose coefficient-interval widths are the yardstick: weighted least squares in
    the same mode where sigma is known, else least squares."""
    return (WLS_ABSOLUTE if method.absolute else WLS) if design.known_sigma else OLS


# ------------------------------------------------------------------ scoring

MEASURES = ("coef", "mean", "edge", "fresh")
SCORED = ("coef", "mean", "fresh")  # the measures with coverage targets


def inside(bounds: FloatArray, value: FloatArray) -> BoolArray:
    return (bounds[:, 0] <= value) & (value <= bounds[:, 1])


@dataclass
class Tally:
    hits: dict[str, list[bool]] = field(default_factory=lambda: {m: [] for m in MEASURES})
    sets: int = 0  # the data sets fitted: N of the Monte-Carlo errors
    widths: dict[int, FloatArray] = field(default_factory=dict)  # seed -> coefficient-interval widths
    raised: int = 0
    clean_flagged: list[float] = field(default_factory=list)  # korva: share of true inliers flagged
    spread_warned: list[bool] = field(default_factory=list)  # korva
    noise_scales: list[float] = field(default_factory=list)  # korva's noise_scale_

    def add(self, design: Design, data: DataSet, basis: Basis, bands: Bands, seed: int) -> None:
        """Scores one fit; nothing is kept when an interval raises."""
        hits = {
            "coef": inside(bands.coef, basis.truth(design.terms)),
            "fresh": inside(bands.fresh(data.fresh_X, data.fresh_sigma), data.fresh_y),
        }
        if design.symmetric:
            hits["mean"] = inside(bands.mean(data.mean_X), evaluate(design.terms, data.mean_X))
            hits["edge"] = inside(bands.mean(data.edge_X), evaluate(design.terms, data.edge_X))
        else:
            hits["coef"] = hits["coef"][1:]  # the constant term comes first
        for measure, hit in hits.items():
            self.hits[measure].extend(hit)
        self.widths[seed] = bands.coef[:, 1] - bands.coef[:, 0]
        self.sets += 1
        if bands.model is not None:
            model = bands.model
            self.clean_flagged.append(float(np.mean(~model.inlier_mask_[~data.outlier])))
            self.spread_warned.append(any(SPREAD_WORD in m and STATED_ERRORS not in m for m in model.fit_warnings_))
            self.noise_scales.append(float(model.noise_scale_))

    def coverage(self, measure: str) -> tuple[float, float]:
        """The share of intervals that hold the truth, in %, and its Monte-Carlo error with N the data sets."""
        if not self.sets or not self.hits[measure]:
            return math.nan, math.nan
        p = float(np.mean(self.hits[measure]))
        return 100 * p, 100 * math.sqrt(p * (1 - p) / self.sets)

    def width_ratio(self, yardstick: Tally) -> float:
        both = [self.widths[s] / yardstick.widths[s] for s in self.widths if s in yardstick.widths]
        return float(np.median(np.concatenate(both))) if both else math.nan


class Report(Protocol):
    notes: Counter[str]

    def target(self, name: str, measured: str, met: bool | None) -> None: ...


def design_cell(index: int, design: Design, chosen: Sequence[Method], n_sets: int, report: Report) -> dict[str, Tally]:
    tallies = {m.name: Tally() for m in chosen}
    for seed in range(n_sets):
        data = design.draw(index, seed)
        basis = Basis.of(design, data.X)
        for method in chosen:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # FitWarnings are read from fit_warnings_
                    bands = method.fit(data, basis, seed)
                    tallies[method.name].add(design, data, basis, bands, seed)
            except Exception as exc:  # a peer that gives up counts, and is counted
                tallies[method.name].raised += 1
                report.notes[f"designs: {method.name} raised {type(exc).__name__}: {str(exc)[:80]}"] += 1
                continue
            for message in bands.model.fit_warnings_ if bands.model is not None else ():
                report.notes[f"designs: {method.name} warned: {message[:70]}..."] += 1
    return tallies


# ------------------------------------------------------------------ output and targets


def coverage_band(n: int) -> tuple[float, float, str]:
    if n >= 100:
        return 93.0, 97.0, "in [93, 97] %"
    if n <= 30:
        return 91.0, 100.0, ">= 91 %"
    return 92.0, 100.0, ">= 92 %"


def shortfall(share: float, low: float, high: float) -> float:
    """How far a coverage lies outside [low, high], in points (NaN: the method never fitted)."""
    return max(low - share, share - high, 0.0) if not math.isnan(share) else math.inf


def percent(values: Sequence[float] | Sequence[bool]) -> str:
    return f"{100 * float(np.mean(values)):.1f} %" if len(values) else "-"


def table_row(design: Design, method: Method, tallies: dict[str, Tally]) -> str:
    tally = tallies[method.name]
    name = method.name + (f" ({tally.raised} raised)" if tally.raised else "")
    cells = [
        ("-" if math.isnan(p) else f"{p:.1f} ± {se:.1f}") if tally.sets else "raised"
        for p, se in map(tally.coverage, MEASURES)
    ]
    yardstick = reference(method, design)
    width = tally.width_ratio(tallies[yardstick]) if yardstick in tallies else math.nan
    noise = "-"
    if tally.noise_scales and design.inlier_sd is not None:
        noise = f"{statistics.median(tally.noise_scales) / design.inlier_sd:.3f}"
    return row(
        design.label, name, *cells, f"{width:.3f}x", percent(tally.clean_flagged), percent(tally.spread_warned), noise
    )


def coverage_targets(
    report: Report, design: Design, method: Method, tallies: dict[str, Tally], peers: list[str]
) -> None:
    """Coverage in the band for n, or, where no peer reaches the band, no further from it than the
    best peer by more than two Monte-Carlo errors of the difference."""
    low, high, band = coverage_band(design.n_total)
    parts, met = [], True
    for measure in SCORED:
        if not tallies[method.name].hits[measure] and tallies[method.name].sets:
            continue  # not scored on this design
        share, se = tallies[method.name].coverage(measure)
        gap = shortfall(share, low, high)
        if gap == 0:
            parts.append(f"{measure} {share:.1f}")
            continue
        best = min(peers, key=lambda p: shortfall(tallies[p].coverage(measure)[0], low, high))
        best_share, best_se = tallies[best].coverage(measure)
        best_gap = shortfall(best_share, low, high)
        if best_gap == 0:
            parts.append(f"{measure} {share:.1f} ({best} reaches the band)")
            met = False
            continue
        within = gap <= best_gap + 2 * math.hypot(se, best_se)
        parts.append(f"{measure} {share:.1f} (no peer in the band; best {best} {best_share:.1f})")
        met = met and within
    report.target(f"{design.label}, {method.name}: coverage {band}", "; ".join(parts), met)


def design_targets(report: Report, design: Design, chosen: Sequence[Method], tallies: dict[str, Tally]) -> None:
    peers = [m.name for m in chosen if not m.korva]
    for method in chosen:
        if not method.korva:
            continue
        tally = tallies[method.name]
        coverage_targets(report, design, method, tallies, peers)
        label = f"{design.label}, {method.name}"
        if design.known_sigma and not design.outlier_share:
            flagged = 100 * float(np.mean(tally.clean_flagged)) if tally.clean_flagged else math.nan
            report.target(f"{label}: at most 3 % of points flagged", f"{flagged:.2f} %", flagged <= 3.0)
            yardstick = reference(method, design)
            ratio = tally.width_ratio(tallies[yardstick])
            report.target(f"{label}: median interval width within 1.15x {yardstick}'s", f"{ratio:.3f}x", ratio <= 1.15)
        if design.outlier_share >= 0.3 and design.inlier_sd is not None:
            noise = statistics.median(tally.noise_scales) / design.inlier_sd if tally.noise_scales else math.nan
            report.target(f"{label}: noise_scale_ within 15 % of the true sd", f"{noise:.3f}x", abs(noise - 1) <= 0.15)


def cov_types() -> list[str | None]:
    """The covariances korva offers, each measured as its own row; None: the one it has."""
    return ["model", "hc"] if "cov_type" in PolynomialMDLRegressor().get_params() else [None]


def designs_section(report: Report, n_sets: int) -> None:
    print("\n## Honest intervals on harder designs: 95 % coverage beside peers\n")
    print(f"{len(DESIGNS)} designs, {n_sets} data sets each, every method fitting the true basis in t on the same")
    print("data: the cubic of the other sections (x uniform on [0, 10] unless stated, normal errors of sd")
    print(f"{NOISE:g} unless stated; known sigma: row sds {NOISE:g} * 10**U(0, 1) or 10**U(0, 2), given to the fits)")
    print("and a quadratic in three inputs. Columns: coef, the share of the coefficient intervals in t that")
    print(f"hold the truth; mean, of mean-curve intervals (kind='confidence') at {MEAN_POINTS} random x in the")
    print("training range; edges, the same at its two ends; fresh, of prediction intervals holding a fresh")
    print(f"observation of the same law without outliers ({FRESH_POINTS} per set at random x in the range; known")
    print("sigma: each with its own sigma, drawn alike and passed). Each share ± its Monte-Carlo error")
    print("sqrt(p (1 - p) / N), N the number of data sets: the hits of one set are correlated, so this is the")
    print("cautious choice. Width: median ratio of coefficient-interval widths to WLS of the same mode")
    print("(absolute or relative) where sigma is known, else to OLS. korva's own columns: the share of")
    print("the true inliers flagged, the share of fits with a FitWarning about unequal 'spread' (not")
    print("absolute_sigma's check of the stated errors), and the median noise_scale_ over the inliers' true")
    print("sd (in units of sigma where known; '-' where the sd varies or is infinite). Peers, statsmodels on the")
    print("same design matrix: OLS (t intervals, fresh band fit +- t sqrt(x'Cx + s^2)); OLS HC3 (its sandwich,")
    print("t quantiles, the same fresh band); WLS with weights 1/sigma^2, relative (scaled covariance, t) and")
    print("absolute (the unscaled covariance, normal quantiles), fresh noise s sigma or sigma; RLM Tukey on the")
    print("rows divided by sigma (normal quantiles, fresh band fit +- z sqrt(x'Cx + (scale sigma)^2)). The truth")
    print("is the mean curve; for the skewed errors (centred at their mean) a robust fit's curve lies at their")
    print("centre instead, a constant apart (Carroll & Welsh 1988), so there the constant term and the mean curve")
    print("are not scored ('-'). The random x are uniform over the training range, for the far points the gap")
    print("between 10 and 20 too. A fit that raises is left out of its method's shares and counted beside its")
    print("name and in the notes at the end.\n")
    chosen_cov_types = cov_types()
    if chosen_cov_types == [None]:
        print("The estimator has no cov_type parameter: korva is measured with its one covariance.\n")
    header(
        "design",
        "method",
        "coef",
        "mean",
        "edges",
        "fresh",
        "width",
        "inliers flagged",
        "'spread' warned",
        "noise_scale_ / sd",
    )
    for index, design in enumerate(DESIGNS):
        chosen = methods(design, chosen_cov_types)
        tallies = design_cell(index, design, chosen, n_sets, report)
        for method in chosen:
            print(table_row(design, method, tallies))
        print(flush=True)
        design_targets(report, design, chosen, tallies)
    sigma_timing(report)


def sigma_timing(report: Report, repeats: int = 15) -> None:
    print("\n### The time of a fit with known sigma over one without\n")
    print(f"Median CPU time of {repeats} fits (5 at n = 10 000) of the cubic, degree 3, rows with sds 10x apart; the")
    print("same data with and without sigma, fits interleaved.\n")
    header("n", "no sigma", "sigma, relative", "ratio", "sigma, absolute", "ratio")
    design = DESIGNS[0]  # known sigma 10x
    for n in (200, 10_000):
        data = dataclasses.replace(design, n=n).draw(0, 0)
        runs: dict[str, list[float]] = {"none": [], "relative": [], "absolute": []}
        for seed in range(repeats if n < 10_000 else 5):
            for mode, times in runs.items():
                model = PolynomialMDLRegressor(degree=3, random_state=seed, absolute_sigma=mode == "absolute")
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    start = time.process_time()
                    model.fit(data.X, data.y, sigma=None if mode == "none" else data.sigma)
                    times.append(time.process_time() - start)
        plain, relative, absolute = (statistics.median(times) for times in runs.values())
        print(row(n, fmt(plain), fmt(relative), f"{relative / plain:.2f}x", fmt(absolute), f"{absolute / plain:.2f}x"))
        for mode, seconds in (("relative", relative), ("absolute", absolute)):
            ratio = seconds / plain
            report.target(
                f"n = {n}: a fit with known sigma ({mode}) at most 1.2x one without", f"{ratio:.2f}x", ratio <= 1.2
            )
