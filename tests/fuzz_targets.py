"""Hypothesis strategies of hostile calls, one for every entry point of korva_core and korva._robust.

Each strategy draws a `sandbox.Call` whose arguments are Python source text,
evaluated in the sandbox child (whose namespace defines np, kc, kr, nan, inf, the
hostile argument classes and `sample_array`). Most arguments are well formed
with agreeing sizes, so that the computations themselves run; the rest are
hostile: odd shapes (0 rows, 0 columns, (1, n), 3-D, 0-D), mismatched sizes,
integer, boolean, complex, string and object dtypes, complex values of the
right shape, NaN and infinities, non-contiguous and read-only arrays,
out-of-range integers and objects of the wrong type.

Sizes are small, so that every call answers in milliseconds. The only large
sizes are far beyond any machine's memory (100 GB and more), so they must be
refused at once; sizes in between would be legitimate work that merely takes
long, and are never drawn.
"""

from __future__ import annotations

import functools
import math

from hypothesis import strategies as st

from tests.sandbox import SPECIAL_FLOATS, Call


def mostly(usual: st.SearchStrategy, unusual: st.SearchStrategy, odds: int = 6) -> st.SearchStrategy:
    """`usual` `odds` times out of `odds` + 1, else `unusual`."""
    return st.integers(0, odds).flatmap(lambda pick: unusual if pick == 0 else usual)


# ---------------------------------------------------------------- numbers

elements = st.one_of(st.floats(-10, 10), st.sampled_from(SPECIAL_FLOATS))

# Integers that sit on or beyond the edges of C int, int64 and uint64.
EDGE_INTS = [2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63 - 1, -(2**63), 2**64, 10**30, -(10**30)]
INT_LIKE = ["True", "np.int64(2)", "np.uint8(3)", "IndexLike(1)", "IndexLike(2**40)"]
NOT_AN_INT = ["2.0", "nan", "'3'", "None", "[1]", "np.float64(2.0)", "RaisingNumber()"]
FLOAT_LIKE = ["2", "True", "np.float32(0.5)", "np.int64(-3)", "FloatLike(0.25)", "FloatLike(nan)"]
NOT_A_FLOAT = ["'1.0'", "None", "[1.0]", "1j", "10**400", "RaisingNumber()"]


def ints(
    small: st.SearchStrategy[int] = st.integers(-3, 8), huge: tuple[int, ...] = (), edges: list[int] = EDGE_INTS
) -> st.SearchStrategy[str]:
    """Source of an int argument: mostly `small`; otherwise `huge` (sizes that must be
    refused at once), an edge of the integer types, an int-like or no integer at all."""
    unusual = [st.sampled_from(edges).map(repr), st.sampled_from(INT_LIKE), st.sampled_from(NOT_AN_INT)]
    if huge:
        unusual.append(st.sampled_from(huge).map(repr))
    return mostly(small.map(repr), st.one_of(unusual))


any_int = ints()
floats = mostly(
    elements.map(repr), st.one_of(st.floats().map(repr), st.sampled_from(FLOAT_LIKE), st.sampled_from(NOT_A_FLOAT))
)

# ---------------------------------------------------------------- arrays

DTYPES = ["float32", "float16", "longdouble", ">f8", "int8", "int64", "uint64", "bool", "complex128", "object", "str"]
LAYOUTS = ["{}", "np.asfortranarray({})", "strided({})", "readonly({})", "reversed_rows({})"]
# Arrays that take no memory but would need 8 TB and more as float64 copies.
HUGE_ARRAYS = [
    "np.broadcast_to(1.0, (10**12,))",
    "np.broadcast_to(0.5, (10**6, 10**6))",
    "np.broadcast_to(np.float32(1), (2**40, 1))",
]
NOT_AN_ARRAY = [
    "None", "'abc'", "b'ab'", "{}", "object()", "1.5", "[[1.0], [2.0, 3.0]]", "[None, 1.0]", "['x']",
    "[1.0, RaisingNumber()]", "[10**400]", "RaisingArray()", "ShortSequence()", "RaisingSequence()",
]  # fmt: skip
LISTED_UP_TO = 8  # arrays of more entries are sampled from a seed, which is cheaper to draw


@functools.cache
@st.composite
def arrays(draw, shape: tuple[int, ...]) -> str:
    """A float64 array of `shape`."""
    size = math.prod(shape)
    if size <= LISTED_UP_TO:
        return f"np.array({draw(st.lists(elements, min_size=size, max_size=size))!r}).reshape({shape!r})"
    seed, special_share = draw(st.integers(0, 2**32 - 1)), draw(st.sampled_from([0.0, 0.1]))
    # Finite values so large or small that squares and products overflow or underflow.
    scale = draw(mostly(st.just(10.0), st.sampled_from([1e300, 1e200, 1e-200]), odds=3))
    return f"sample_array({shape!r}, {seed}, {special_share}, {scale!r})"


@st.composite
def odd_arrays(draw) -> str:
    """An array of any 0- to 3-dimensional shape, dtype and memory layout."""
    source = draw(st.lists(st.integers(0, 4), max_size=3).map(tuple).flatmap(arrays))
    dtype = draw(st.sampled_from([None, *DTYPES]))
    if dtype is not None:
        source = f"{source}.astype({dtype!r})"
    return draw(st.sampled_from(LAYOUTS)).format(source)


int_lists = st.lists(st.one_of(st.integers(-5, 5), st.sampled_from([*EDGE_INTS, 10**400])), max_size=4).map(repr)
hostile_arrays = st.one_of(odd_arrays(), int_lists, st.sampled_from(HUGE_ARRAYS), st.sampled_from(NOT_AN_ARRAY))


@functools.cache
def complex_arrays(shape: tuple[int, ...]) -> st.SearchStrategy[str]:
    """Complex values of `shape`, as an array or as nested lists: refused, whatever their size."""
    complex_values = arrays(shape).map(lambda source: f"({source} * (1 - 1j))")
    return st.one_of(complex_values, complex_values.map(lambda source: f"{source}.tolist()"))


@functools.cache
def vectors(n: int) -> st.SearchStrategy[str]:
    """A Vector argument of length n in one of the forms a caller may use, or something hostile."""
    usual = st.one_of(
        arrays((n,)),
        arrays((n, 1)),
        st.lists(elements, min_size=n, max_size=n).map(repr),
        arrays((n,)).map(lambda source: f"{source}.astype('int64')"),
    )
    return mostly(usual, st.one_of(hostile_arrays, complex_arrays((n,))))


@functools.cache
def matrices(rows: int, cols: int) -> st.SearchStrategy[str]:
    """A Matrix argument of the given shape, or something hostile."""
    usual = st.one_of(
        arrays((rows, cols)),
        arrays((rows, cols)).map(lambda source: f"np.asfortranarray({source})"),
        arrays((rows, cols)).map(lambda source: f"{source}.tolist()"),
    )
    return mostly(usual, st.one_of(hostile_arrays, complex_arrays((rows, cols))))


@functools.cache
def near(n: int) -> st.SearchStrategy[int]:
    """Mostly n itself, sometimes a neighbouring size."""
    return mostly(st.just(n), st.integers(max(n - 1, 0), n + 1), odds=3)


def optional_vectors(n: int) -> st.SearchStrategy[str]:
    """None, or a Vector argument of about n elements."""
    return st.one_of(st.just("None"), near(n).flatmap(vectors))


@functools.cache
def optional_matrices(side: int) -> st.SearchStrategy[str]:
    """An optional penalty argument: None, a matrix of about side x side, or anything else."""
    return st.one_of(st.just("None"), near(side).flatmap(lambda s: matrices(s, s)))


@st.composite
def keywords(draw, **optional: st.SearchStrategy[str]) -> tuple[tuple[str, str], ...]:
    """Some of the optional parameters, passed by keyword."""
    names = draw(st.lists(st.sampled_from(sorted(optional)), unique=True))
    return tuple((name, draw(optional[name])) for name in names)


@st.composite
def every_keyword(draw, **required: st.SearchStrategy[str]) -> tuple[tuple[str, str], ...]:
    """Every one of the parameters that must be passed by keyword."""
    return tuple((name, draw(strategy)) for name, strategy in required.items())


def listed(strategies: st.SearchStrategy[list[str]]) -> st.SearchStrategy[str]:
    return strategies.map(lambda items: f"[{', '.join(items)}]")


# ---------------------------------------------------------------- entry points

# Degrees whose basis cannot be held: (deg + 1)^2 doubles take 80 GB and more.
HUGE_DEGREES = (10**5, 10**9, 2**31 - 2)
rows = st.integers(0, 6)
cols = mostly(st.integers(0, 5), st.sampled_from([16, 17]), odds=4)  # 16 columns and more take the other SVD


@st.composite
def mad_calls(draw):
    return Call("mad", "kc.mad", (draw(vectors(draw(rows))),))


@st.composite
def compute_sr_calls(draw):
    n = draw(rows)
    args = (draw(vectors(draw(near(n)))), draw(vectors(n)), draw(floats))
    return Call("compute_sr", "kc.compute_sr", args)


@st.composite
def mdl_score_calls(draw):
    n = draw(rows)
    args = (draw(vectors(draw(near(n)))), draw(vectors(n)), draw(any_int))
    return Call("mdl_score", "kc.mdl_score", args, draw(keywords(H=any_int)))


@st.composite
def mdl_score_reg_calls(draw):
    n, k = draw(rows), draw(cols)
    side = draw(near(k))
    args = (
        draw(vectors(draw(near(n)))), draw(vectors(n)), draw(any_int), draw(any_int),
        draw(vectors(k)), draw(matrices(side, side)), draw(matrices(side, side)),
    )  # fmt: skip
    return Call("mdl_score_reg", "kc.mdl_score_reg", args, draw(keywords(gamma1=floats, gamma2=floats)))


@st.composite
def design_matrix_1d_calls(draw):
    args = (draw(ints(huge=HUGE_DEGREES)), draw(vectors(draw(rows))))
    return Call("design_matrix_1d", "kc.design_matrix_1d", args)


@st.composite
def smoothness_penalty_matrices_1d_calls(draw):
    args = (draw(ints(huge=HUGE_DEGREES)), draw(floats), draw(floats))
    # A grid of 2^31 - 1 points is legitimate work that takes long; no large positive counts.
    n_grid = ints(st.integers(-2, 40), edges=[n for n in EDGE_INTS if n < 0 or n > 2**31 - 1])
    return Call(
        "smoothness_penalty_matrices_1d", "kc.smoothness_penalty_matrices_1d", args, draw(keywords(n_grid=n_grid))
    )


@st.composite
def boundary_reduce_1d_calls(draw):
    args = (draw(ints(huge=HUGE_DEGREES)), draw(floats), draw(floats))
    return Call("boundary_reduce_1d", "kc.boundary_reduce_1d", args)


exponents = mostly(st.integers(-2, 4), st.sampled_from([2**31 - 1, -(2**31)]))


def exponent_tables(exponent_lists: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
    """Up to five exponent lists, or something that is not a table of them."""
    return mostly(
        listed(st.lists(exponent_lists, max_size=5)),
        st.sampled_from(["[[1.5]]", "[1, 2]", "'ab'", "[ShortSequence()]", "[RaisingSequence()]", "None"]),
    )


def input_columns(n: int, dims: int) -> st.SearchStrategy[str]:
    """dims input columns of about n rows each, or something that is not a list of columns."""
    return mostly(
        listed(st.lists(near(n).flatmap(vectors), min_size=dims, max_size=dims)),
        st.sampled_from(["[]", "None", "np.ones((2, 3))", "[RaisingArray()]"]),
    )


@st.composite
def design_matrix_nd_calls(draw):
    dims, n = draw(st.integers(0, 3)), draw(rows)
    multi_index = mostly(
        st.lists(exponents, min_size=dims, max_size=dims + 1), st.lists(exponents, max_size=max(dims - 1, 0))
    ).map(repr)
    # 10^5 basis functions over 10^6 samples: the design matrix would need 800 GB.
    huge = Call("design_matrix_nd", "kc.design_matrix_nd", ("[[1]] * 10**5", "[np.zeros(10**6)]"))
    usual = st.builds(
        lambda mi, xs: Call("design_matrix_nd", "kc.design_matrix_nd", (mi, xs)),
        exponent_tables(multi_index),
        input_columns(n, dims),
    )
    return draw(mostly(usual, st.just(huge), odds=30))


bounds = mostly(
    st.tuples(elements, elements).map(repr),
    st.sampled_from(["(0, 1, 2)", "(0,)", "'ab'", "0.5", "None", "(RaisingNumber(), 1)", "[1, 2]"]),
    odds=10,
)


@st.composite
def build_penalty_matrices_nd_calls(draw):
    # 64 dimensions: a grid of n^64 points cannot be counted for any n >= 2.
    dims = draw(mostly(st.integers(0, 3), st.just(64), odds=10))
    degree = ints(st.integers(-2, 3), huge=(10**6, 2**31 - 1))
    degrees = mostly(
        listed(st.lists(degree, min_size=dims, max_size=dims)),
        st.sampled_from(["RaisingSequence()", "ShortSequence()", "'ab'", "None", "{1, 2}"]),
    )
    box = listed(near(dims).flatmap(lambda d: st.lists(bounds, min_size=d, max_size=d)))
    n_grid = ints(st.integers(-1, 6), huge=(10**9,))
    args = (draw(degrees), draw(box))
    return Call(
        "build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", args, draw(keywords(n_grid_per_dim=n_grid))
    )


@st.composite
def ols_calls(draw):
    n, k = draw(mostly(rows, st.just(20), odds=4)), draw(cols)
    return Call("ols", "kc.ols", (draw(matrices(n, k)), draw(vectors(draw(near(n))))))


@st.composite
def fit_regularized_linear_calls(draw):
    n, k = draw(rows), draw(cols)
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))))
    optional = keywords(R1=optional_matrices(k), R2=optional_matrices(k), gamma1=floats, gamma2=floats, ridge=floats)
    return Call("fit_regularized_linear", "kc.fit_regularized_linear", args, draw(optional))


@st.composite
def gibbs_entropy_calls(draw):
    return Call("gibbs_entropy", "kc.gibbs_entropy", (draw(vectors(draw(rows))),), draw(keywords(T=floats)))


@st.composite
def tournament_calls(draw):
    counts = ints(st.integers(-2, 6))  # constructing only stores the counts
    seeds = mostly(st.integers(0, 2**64 - 1).map(repr), any_int)
    settings = keywords(
        n_chains=counts, n_warmup=counts, n_deep=counts, n_elite=counts, step_size=floats, H_piH=any_int, seed=seeds
    )
    return Call("TournamentMCMC", "kc.TournamentMCMC", (), draw(settings))


@st.composite
def fit_calls(draw):
    # Settings of the right types with edge values (no chains, no steps, NaN
    # step size, extreme H and seeds) and counts small enough for a fit to
    # take microseconds; the hostile part is what fit itself is given.
    counts = st.integers(-1, 4).map(repr)
    settings = keywords(
        n_chains=counts, n_warmup=counts, n_deep=counts, n_elite=counts,
        step_size=elements.map(repr),
        H_piH=st.sampled_from([-(2**31), -1, 0, 1, 20, 2**31 - 1]).map(repr),
        seed=st.sampled_from([0, 1, 2**63, 2**64 - 1]).map(repr),
    )  # fmt: skip
    sampler = f"kc.TournamentMCMC({', '.join(f'{name}={value}' for name, value in draw(settings))})"
    n, k = draw(rows), draw(st.integers(0, 4))
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))))
    optional = keywords(R1=optional_matrices(k), R2=optional_matrices(k), gamma1=floats, gamma2=floats)
    return Call("TournamentMCMC.fit", f"{sampler}.fit", args, draw(optional))


@st.composite
def m_scale_calls(draw):
    n = draw(rows)
    optional = keywords(guess=floats, weights=optional_vectors(n), n_terms=any_int)
    required = every_keyword(tuning=floats, breakdown=floats)
    return Call("m_scale", "kr.m_scale", (draw(vectors(n)),), draw(required) + draw(optional))


@st.composite
def reweight_calls(draw):
    n, k = draw(rows), draw(cols)
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))), draw(vectors(draw(near(k)))), draw(floats))
    # Step counts in the billions with a tolerance of 0 are legitimate work that takes long: none are drawn.
    max_steps = ints(st.integers(-2, 60), edges=[n for n in EDGE_INTS if n < 0 or n > 2**31 - 1])
    optional = keywords(
        R1=optional_matrices(k), R2=optional_matrices(k), gamma1=floats, gamma2=floats,
        sample_weight=optional_vectors(n), newton=st.sampled_from(["True", "False"]),
        refine=st.sampled_from(["True", "False"]), matrix=optional_matrices(k),
    )  # fmt: skip
    required = every_keyword(max_steps=max_steps, tolerance=floats, tuning=floats, ridge=floats)
    return Call("reweight", "kr.reweight", args, draw(required) + draw(optional))


@st.composite
def concentrate_starts_calls(draw):
    n, k = draw(rows), draw(cols)
    args = (
        draw(matrices(n, k)),
        draw(vectors(draw(near(n)))),
        draw(matrices(draw(st.integers(0, 4)), draw(near(k)))),
        draw(floats),
    )
    optional = keywords(
        weights=optional_vectors(n), penalty=optional_matrices(k), kept_rows=st.sampled_from(["True", "False"])
    )
    required = every_keyword(max_steps=ints(st.integers(-2, 30), edges=[n for n in EDGE_INTS if n < 0]), ridge=floats)
    return Call("concentrate_starts", "kr.concentrate_starts", args, draw(required) + draw(optional))


@st.composite
def subset_arrays(draw, n: int, k: int) -> str:
    """Subsets of k row indices each, mostly in range and distinct, or something hostile."""
    count = draw(st.integers(0, 4))
    index_rows = st.lists(st.integers(-1, n), min_size=k, max_size=k)
    distinct_rows = st.permutations(range(n)).map(lambda rows: rows[:k]) if k <= n else index_rows
    listed_rows = draw(st.lists(mostly(distinct_rows, index_rows), min_size=count, max_size=count))
    dtype = draw(st.sampled_from(["int64", "int32", "uint64", "uint8"]))
    usual = st.just(f"np.array({listed_rows!r}, dtype=np.int64).reshape({count}, {k}).astype({dtype!r})")
    return draw(mostly(usual, st.one_of(hostile_arrays, st.just(f"np.zeros(({count}, {k}))"))))


@st.composite
def elemental_starts_calls(draw):
    # The kept weight and the ridge mostly valid, so that many calls reach the computation.
    n, k = draw(rows), draw(cols)
    keep = mostly(st.integers(1, max(n, 1)).map(lambda count: f"{count}.0"), floats, odds=3)
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))), draw(keep))
    every = draw(st.booleans())
    subsets = "None" if every and draw(mostly(st.just(True), st.just(False))) else draw(subset_arrays(n, k))
    optional = keywords(weights=optional_vectors(n), penalty=optional_matrices(k))
    required = every_keyword(
        max_steps=ints(st.integers(-2, 30), edges=[n for n in EDGE_INTS if n < 0]),
        ridge=mostly(st.sampled_from(["1e-12", "0.0"]), floats, odds=3),
        finalists=ints(st.integers(-1, 25)),
        every_subset=st.just(repr(every)),
    )
    return Call("elemental_starts", "kr.elemental_starts", (*args, subsets), draw(required) + draw(optional))


@st.composite
def weighted_least_squares_calls(draw):
    n, k = draw(rows), draw(cols)
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))), draw(vectors(draw(near(n)))))
    optional = keywords(R1=optional_matrices(k), R2=optional_matrices(k), gamma1=floats, gamma2=floats)
    required = every_keyword(ridge=floats)
    return Call("weighted_least_squares", "kr.weighted_least_squares", args, draw(required) + draw(optional))


@st.composite
def bisquare_moments_calls(draw):
    n, k = draw(rows), draw(cols)
    args = (draw(matrices(n, k)), draw(vectors(draw(near(n)))), draw(floats), draw(floats))
    optional = keywords(case_weights=optional_vectors(n), slopes=st.sampled_from(["True", "False"]))
    return Call("bisquare_moments", "kr.bisquare_moments", args, draw(optional))


@st.composite
def rows_within_calls(draw):
    n = draw(rows)
    args = (draw(vectors(n)), draw(floats), draw(floats), draw(any_int))
    optional = keywords(case_weights=optional_vectors(n))
    return Call("rows_within", "kr.rows_within", args, draw(optional))


def residuals_and_two_numbers_calls(name: str) -> st.SearchStrategy[Call]:
    """Calls of kr.<name>(residuals, a, b, case_weights=...): residual_band and bisquare_weights."""

    @st.composite
    def calls(draw):
        n = draw(rows)
        optional = keywords(case_weights=optional_vectors(n))
        return Call(name, f"kr.{name}", (draw(vectors(n)), draw(floats), draw(floats)), draw(optional))

    return calls()


@st.composite
def monomial_design_calls(draw):
    dims, n = draw(st.integers(0, 3)), draw(rows)
    exponent_lists = mostly(
        st.lists(exponents, min_size=dims, max_size=dims), st.lists(exponents, max_size=dims + 1)
    ).map(repr)
    table = exponent_tables(exponent_lists)
    return Call("MonomialDesign", "kr.MonomialDesign", (draw(input_columns(n, dims)), draw(table)))


@st.composite
def formed_design(draw, n: int, k: int) -> str:
    """A MonomialDesign of n rows and k columns over hostile values of one to three inputs."""
    dims = draw(st.integers(1, 3))
    table = draw(st.lists(st.lists(st.integers(0, 70), min_size=dims, max_size=dims), min_size=k, max_size=k))
    columns = draw(st.lists(arrays((n,)), min_size=dims, max_size=dims))
    # An instance whose __init__ never ran holds no design.
    uninitialised = "kr.MonomialDesign.__new__(kr.MonomialDesign)"
    return draw(mostly(st.just(f"kr.MonomialDesign([{', '.join(columns)}], {table!r})"), st.just(uninitialised)))


@st.composite
def formed_design_calls(draw):
    """What a MonomialDesign is for: its rows, its product with coefficients, and the passes over it."""
    n, k = draw(rows), draw(st.integers(0, 5))
    design = draw(formed_design(n, k))
    use = draw(st.sampled_from(["rows", "product", "reweight", "bisquare_moments"]))
    if use == "rows":
        index = mostly(
            st.lists(st.integers(-2, n + 1), max_size=8).map(lambda rows: f"np.array({rows!r}, dtype=np.int64)"),
            st.sampled_from(["np.array([0.0])", "np.array([True])", "[0]", "np.zeros((1, 1), int)", "None",
                             "np.array([2**64 - 1], dtype=np.uint64)", "np.array([], dtype=np.int8)"]),
        )  # fmt: skip
        return Call("MonomialDesign rows", "kr.MonomialDesign.__getitem__", (design, draw(index)))
    if use == "product":
        return Call("MonomialDesign product", "kr.MonomialDesign.__matmul__", (design, draw(vectors(draw(near(k))))))
    if use == "reweight":
        args = (design, draw(vectors(draw(near(n)))), draw(vectors(draw(near(k)))), draw(floats))
        optional = keywords(
            sample_weight=optional_vectors(n), newton=st.sampled_from(["True", "False"]),
            refine=st.sampled_from(["True", "False"]), matrix=optional_matrices(k),
        )  # fmt: skip
        required = every_keyword(max_steps=ints(st.integers(-2, 30)), tolerance=floats, tuning=floats, ridge=floats)
        return Call("MonomialDesign reweight", "kr.reweight", args, draw(required) + draw(optional))
    args = (design, draw(vectors(draw(near(n)))), draw(floats), draw(floats))
    optional = keywords(case_weights=optional_vectors(n))
    return Call("MonomialDesign bisquare_moments", "kr.bisquare_moments", args, draw(optional))


@st.composite
def median_calls(draw):
    return Call("median", "kr.median", (draw(vectors(draw(rows))),))


@st.composite
def weighted_median_calls(draw):
    n = draw(rows)
    return Call("weighted_median", "kr.weighted_median", (draw(vectors(n)), draw(vectors(draw(near(n))))))


@st.composite
def median_abs_deviation_calls(draw):
    return Call("median_abs_deviation", "kr.median_abs_deviation", (draw(vectors(draw(rows))), draw(floats)))


ENTRY_POINTS: dict[str, st.SearchStrategy[Call]] = {
    "mad": mad_calls(),
    "compute_sr": compute_sr_calls(),
    "mdl_score": mdl_score_calls(),
    "mdl_score_reg": mdl_score_reg_calls(),
    "design_matrix_1d": design_matrix_1d_calls(),
    "smoothness_penalty_matrices_1d": smoothness_penalty_matrices_1d_calls(),
    "boundary_reduce_1d": boundary_reduce_1d_calls(),
    "design_matrix_nd": design_matrix_nd_calls(),
    "build_penalty_matrices_nd": build_penalty_matrices_nd_calls(),
    "ols": ols_calls(),
    "fit_regularized_linear": fit_regularized_linear_calls(),
    "gibbs_entropy": gibbs_entropy_calls(),
    "TournamentMCMC": tournament_calls(),
    "TournamentMCMC.fit": fit_calls(),
    "m_scale": m_scale_calls(),
    "reweight": reweight_calls(),
    "concentrate_starts": concentrate_starts_calls(),
    "elemental_starts": elemental_starts_calls(),
    "weighted_least_squares": weighted_least_squares_calls(),
    "bisquare_moments": bisquare_moments_calls(),
    "rows_within": rows_within_calls(),
    "residual_band": residuals_and_two_numbers_calls("residual_band"),
    "bisquare_weights": residuals_and_two_numbers_calls("bisquare_weights"),
    "MonomialDesign": monomial_design_calls(),
    "MonomialDesign use": formed_design_calls(),
    "median": median_calls(),
    "weighted_median": weighted_median_calls(),
    "median_abs_deviation": median_abs_deviation_calls(),
}

# Limits of the child that runs fuzzed calls. Requests between a few GB and
# the size of the machine would be legitimate but slow work; the address-space
# limit makes them fail at once instead. The memory budget guards the machine
# when ASan is loaded and no address-space limit can be set.
FUZZ_ADDRESS_SPACE = 4 << 30
FUZZ_MEMORY_BUDGET = 3 << 30
