"""The normal and Student-t distributions (CDF, density and quantiles) and the chi-squared
distribution (CDF and quantiles) in plain Python floats, so that NumPy stays korva's only run-time
dependency, and the t factor of an interval."""

from __future__ import annotations

import math
from collections.abc import Callable

# Continued fraction of the incomplete beta function and the quantile search.
MAX_FRACTION_TERMS = 500
MAX_QUANTILE_STEPS = 200
RELATIVE_PRECISION = 1e-15
# ln Gamma by Stirling's series from here on (four terms reach double precision).
STIRLING_FROM = 30.0
# With many degrees of freedom and x^2 / df small, the continued fraction cancels: there the
# t distribution is the normal's Cornish-Fisher expansion in 1 / df, whose first omitted term
# stays below double precision in that region.
EXPANSION_DEGREES_OF_FREEDOM = 1e4
EXPANSION_SQUARED_RATIO = 3e-3


def normal_cdf(x: float) -> float:
    """The standard normal distribution function, accurate in the far lower tail too."""
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def normal_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def student_t_cdf(x: float, df: float) -> float:
    """The distribution function of Student's t with ``df`` > 0 degrees of freedom.

    P(T <= x) = I_z(df / 2, 1 / 2) / 2 for x < 0, with z = df / (df + x^2) and I the
    regularized incomplete beta function; x > 0 by symmetry.
    """
    _check_degrees_of_freedom(df)
    if _expansion_holds(x, df):
        return normal_cdf(_normal_equivalent(x, df))
    if math.isinf(x):
        return 0.0 if x < 0 else 1.0
    # z, 1 - z and their logarithms, formed without a subtraction that would cancel, nor a
    # square that would overflow or underflow.
    if abs(x) <= math.sqrt(df):
        ratio = x * x / df
        z, one_minus_z = 1.0 / (1.0 + ratio), ratio / (1.0 + ratio)
        log_z = -math.log1p(ratio)
        log_one_minus_z = math.log(ratio) + log_z if ratio > 0.0 else -math.inf
    else:
        log_ratio = math.log(df) - 2.0 * math.log(abs(x))
        ratio = math.exp(log_ratio)
        z, one_minus_z = ratio / (1.0 + ratio), 1.0 / (1.0 + ratio)
        log_one_minus_z = -math.log1p(ratio)
        log_z = log_ratio + log_one_minus_z
    tail = 0.5 * _incomplete_beta(0.5 * df, 0.5, z, one_minus_z, log_z, log_one_minus_z)
    return tail if x < 0 else 1.0 - tail


def student_t_pdf(x: float, df: float) -> float:
    log_norm = -_log_beta(0.5 * df, 0.5) - 0.5 * math.log(df)
    if abs(x) <= math.sqrt(df):
        return math.exp(log_norm - 0.5 * (df + 1.0) * math.log1p(x * x / df))
    log_ratio = 2.0 * math.log(abs(x)) - math.log(df)  # ln(x^2 / df), x^2 may overflow
    return math.exp(log_norm - 0.5 * (df + 1.0) * (log_ratio + math.log1p(math.exp(-log_ratio))))


def regularized_incomplete_beta(a: float, b: float, x: float) -> float:
    """I_x(a, b) for a, b > 0 and x in [0, 1], by the continued fraction of the beta function."""
    if not (a > 0 and b > 0 and 0.0 <= x <= 1.0):
        raise ValueError(f"the incomplete beta function needs a, b > 0 and x in [0, 1], got {a}, {b}, {x}")
    y = 1.0 - x
    return _incomplete_beta(a, b, x, y, math.log(x) if x > 0 else -math.inf, math.log(y) if y > 0 else -math.inf)


def _incomplete_beta(a: float, b: float, x: float, y: float, log_x: float, log_y: float) -> float:
    """I_x(a, b) given x, y = 1 - x and their logarithms, each as precise as the caller has them.

    The fraction converges fast for x < (a + 1) / (a + b + 2); above that, I_x(a, b) =
    1 - I_y(b, a).
    """
    if log_x == -math.inf or log_y == -math.inf:
        return 0.0 if log_x == -math.inf else 1.0
    if x > (a + 1.0) / (a + b + 2.0):
        return 1.0 - _incomplete_beta(b, a, y, x, log_y, log_x)
    log_front = a * log_x + b * log_y - _log_beta(a, b)
    return math.exp(log_front) / a * _beta_fraction(a, b, x)


def _log_beta(a: float, b: float) -> float:
    """ln B(a, b), without the cancellation of ln Gamma(a) - ln Gamma(a + b) for a large a."""
    small, large = min(a, b), max(a, b)
    if large < STIRLING_FROM:
        return math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b)
    # ln Gamma(z) = (z - 1/2) ln z - z + ln(2 pi) / 2 + stirling(z): the large terms cancel
    # in closed form.
    difference = (large - 0.5) * math.log1p(small / large) + small * math.log(large + small) - small
    return math.lgamma(small) - difference - _stirling(large + small) + _stirling(large)


def _stirling(z: float) -> float:
    """ln Gamma(z) - (z - 1/2) ln z + z - ln(2 pi) / 2 for z >= STIRLING_FROM, to double precision."""
    inverse_squared = 1.0 / (z * z)
    series = 1.0 / 12.0 + inverse_squared * (-1.0 / 360.0 + inverse_squared * (1.0 / 1260.0 - inverse_squared / 1680.0))
    return series / z


def _beta_fraction(a: float, b: float, x: float) -> float:
    """The continued fraction 1 / (1 + d1 / (1 + d2 / (1 + ...))) of I_x(a, b), by Lentz's method."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    fraction = d
    for m in range(1, MAX_FRACTION_TERMS + 1):
        # The even term d_{2m}, then the odd term d_{2m+1}.
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1.0) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1.0)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            fraction *= c * d
        if abs(c * d - 1.0) <= RELATIVE_PRECISION:
            break
    return fraction


def normal_quantile(p: float) -> float:
    """The p-quantile of the standard normal distribution, 0 < p < 1."""
    return _quantile(normal_cdf, normal_pdf, p)


def student_t_quantile(p: float, df: float) -> float:
    """The p-quantile of Student's t with ``df`` > 0 degrees of freedom, 0 < p < 1."""
    _check_degrees_of_freedom(df)
    if 0.0 < p < 1.0:
        z = normal_quantile(p)
        if _expansion_holds(z, df):
            return _cornish_fisher(z, df)
    return _quantile(lambda x: student_t_cdf(x, df), lambda x: student_t_pdf(x, df), p)


def _expansion_holds(x: float, df: float) -> bool:
    return df >= EXPANSION_DEGREES_OF_FREEDOM and x * x <= EXPANSION_SQUARED_RATIO * df


def _cornish_fisher(z: float, df: float) -> float:
    """The t quantile whose normal quantile is z, to the fourth power of 1 / df."""
    z2 = z * z
    terms = (
        z * (z2 + 1.0) / 4.0,
        z * ((5.0 * z2 + 16.0) * z2 + 3.0) / 96.0,
        z * (((3.0 * z2 + 19.0) * z2 + 17.0) * z2 - 15.0) / 384.0,
        z * ((((79.0 * z2 + 776.0) * z2 + 1482.0) * z2 - 1920.0) * z2 - 945.0) / 92160.0,
    )
    return z + sum(term / df**power for power, term in enumerate(terms, start=1))


def _normal_equivalent(x: float, df: float) -> float:
    """The z with _cornish_fisher(z, df) = x, by Newton's method from z = x.

    The slope is 1 + O(z^2 / df), so its leading terms suffice: each step gains a factor
    of about (z^2 / df)^2.
    """
    z = x
    for _ in range(MAX_QUANTILE_STEPS):
        step = (_cornish_fisher(z, df) - x) / (1.0 + (3.0 * z * z + 1.0) / (4.0 * df))
        z -= step
        if abs(step) <= RELATIVE_PRECISION * abs(z):
            break
    return z


def _check_degrees_of_freedom(df: float) -> None:
    if not df > 0:  # NaN too
        raise ValueError(f"degrees of freedom must be above 0, got {df!r}")


def _quantile(cdf: Callable[[float], float], pdf: Callable[[float], float], p: float) -> float:
    """The x where a symmetric distribution's ``cdf`` reaches p.

    Lower half only (the upper by symmetry, 1 - p being exact there): Newton's method on
    ln cdf, nearly linear in the tail, kept inside a bracket that bisection shrinks.
    """
    if not 0.0 < p < 1.0:
        raise ValueError(f"a quantile needs a probability strictly between 0 and 1, got {p!r}")
    if p > 0.5:
        return -_quantile(cdf, pdf, 1.0 - p)
    if p == 0.5:
        return 0.0
    low, high = -1.0, 0.0
    while cdf(low) > p:
        low, high = 2.0 * low, low
    if math.isinf(low):
        return low  # beyond the largest float, as for t with df < 1 far in the tail
    x = 0.5 * (low + high)
    target = math.log(p)
    for _ in range(MAX_QUANTILE_STEPS):
        mass = cdf(x)
        if mass > p:
            high = x
        else:
            low = x
        density = pdf(x)
        step = (math.log(mass) - target) * mass / density if mass > 0.0 and density > 0.0 else math.inf
        proposal = x - step
        if not low < proposal < high:
            proposal = 0.5 * (low + high)
        if abs(proposal - x) <= RELATIVE_PRECISION * abs(x) or high - low <= RELATIVE_PRECISION * abs(x):
            return proposal
        x = proposal
    return x


def regularized_lower_gamma(a: float, x: float) -> float:
    """P(a, x), the lower incomplete gamma function over Gamma(a), for a > 0 and x >= 0."""
    return _gamma_tails(a, x)[0]


def _gamma_tails(a: float, x: float) -> tuple[float, float]:
    """P(a, x) and Q(a, x) = 1 - P(a, x), the smaller of them as precise as the larger: the power
    series of P below x = a + 1, and above, the continued fraction of Q, each of which converges
    fast there (Abramowitz & Stegun 6.5.29 and 6.5.31)."""
    if not (a > 0 and x >= 0):  # NaN too
        raise ValueError(f"the incomplete gamma function needs a > 0 and x >= 0, got {a}, {x}")
    if x == 0.0:
        return 0.0, 1.0
    if math.isinf(x):
        return 1.0, 0.0
    front = math.exp(a * math.log(x) - x - math.lgamma(a))
    if x < a + 1.0:
        # gamma(a, x) x^-a e^x = sum_n x^n / (a (a + 1) ... (a + n)); the terms fall once n > x - a.
        term = total = 1.0 / a
        n = 0
        while term > RELATIVE_PRECISION * total:
            n += 1
            term *= x / (a + n)
            total += term
        lower = front * total
        return lower, 1.0 - lower
    upper = front * _gamma_fraction(a, x)
    return 1.0 - upper, upper


def _gamma_fraction(a: float, x: float) -> float:
    """The continued fraction 1 / (x + 1 - a - 1 (1 - a) / (x + 3 - a - 2 (2 - a) / ...)) of
    Q(a, x) e^x x^-a Gamma(a), by Lentz's method."""
    tiny = 1e-300
    b = x + 1.0 - a
    c, d = 1.0 / tiny, 1.0 / b
    fraction = d
    for i in range(1, MAX_FRACTION_TERMS + 1):
        numerator = -i * (i - a)
        b += 2.0
        d = numerator * d + b
        d = 1.0 / (d if abs(d) > tiny else tiny)
        c = b + numerator / c
        c = c if abs(c) > tiny else tiny
        fraction *= c * d
        if abs(c * d - 1.0) <= RELATIVE_PRECISION:
            break
    return fraction


def chi_squared_cdf(x: float, df: float) -> float:
    """The distribution function of the chi-squared distribution with ``df`` > 0 degrees of freedom."""
    _check_degrees_of_freedom(df)
    return _gamma_tails(0.5 * df, 0.5 * max(x, 0.0))[0]


def chi_squared_quantile(p: float, df: float) -> float:
    """The p-quantile of the chi-squared distribution with ``df`` > 0 degrees of freedom, 0 < p < 1.

    By bisection on the tail that holds the smaller probability (1 - p is exact for p > 1/2),
    which keeps the digits of a quantile far in the upper tail; a cut-off is asked for once per
    call, not in a loop.
    """
    _check_degrees_of_freedom(df)
    if not 0.0 < p < 1.0:
        raise ValueError(f"a quantile needs a probability strictly between 0 and 1, got {p!r}")
    upper = p > 0.5
    tail = 1.0 - p if upper else p

    def short_of(x: float) -> bool:
        """Whether x lies below the quantile."""
        lower_mass, upper_mass = _gamma_tails(0.5 * df, 0.5 * x)
        return upper_mass > tail if upper else lower_mass < tail

    low, high = 0.0, max(df, 1.0)
    while short_of(high):
        low, high = high, 2.0 * high
    while high - low > RELATIVE_PRECISION * high:
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if short_of(middle):
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def interval_factor(alpha: float, df: float) -> float:
    """t_{1 - alpha/2}(df): a two-sided 1 - alpha interval's half-width in standard errors.

    Taken from the lower tail, -t_{alpha/2}(df), where alpha / 2 keeps its digits however
    small it is (1 - alpha/2 rounds to 1 below alpha = 1e-16). NaN without degrees of
    freedom: a fit with no more samples than terms says nothing of its spread.
    """
    return -student_t_quantile(0.5 * alpha, df) if df > 0 else math.nan
