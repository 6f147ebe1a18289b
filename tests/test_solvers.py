"""Least-squares and penalised linear solvers: ols and fit_regularized_linear."""

import math
import re

import numpy as np
import pytest

import korva_core as kc

TOL = dict(rtol=1e-9, atol=1e-10)


def _sym_lower(R):
    """The symmetric matrix mirrored from the lower triangle of R."""
    return np.tril(R) + np.tril(R, -1).T


def _penalised_reference(Phi, y, R1, R2, g1, g2, ridge):
    n, p = Phi.shape
    A = Phi.T @ Phi + ridge * np.eye(p)
    if R1 is not None:
        A = A + n * g1 * R1
    if R2 is not None:
        A = A + n * g2 * R2
    return np.linalg.solve(A, Phi.T @ y)


def _problem(rng, m, p):
    Phi = rng.standard_normal((m, p))
    return Phi, rng.standard_normal(m)


# ---------------------------------------------------------------- ols


@pytest.mark.parametrize("m, p", [(30, 5), (9, 9), (40, 15), (60, 16), (16, 16), (50, 24), (24, 24)])
def test_ols_recovers_exact_coefficients(rng, m, p):
    X = rng.standard_normal((m, p))
    beta = rng.standard_normal(p)
    np.testing.assert_allclose(kc.ols(X, X @ beta), beta, **TOL)
    y = rng.standard_normal(m)  # inconsistent right-hand side: the least-squares fit
    np.testing.assert_allclose(kc.ols(X, y), np.linalg.lstsq(X, y, rcond=None)[0], **TOL)


@pytest.mark.parametrize("m", [513, 1100, 2600])
@pytest.mark.parametrize("p, rank", [(3, 3), (12, 7), (21, 21), (30, 11)])
@pytest.mark.parametrize("magnitude", [1e-150, 1.0, 1e150])
def test_ols_tall_matches_pseudo_inverse(rng, m, p, rank, magnitude):
    # Tall designs are factorised in row blocks; the minimum-norm solution must
    # not depend on where the blocks fall, on rank deficiency or on scale.
    X = magnitude * (rng.normal(size=(m, rank)) @ rng.normal(size=(rank, p)))
    X[rng.integers(0, m, 5)] = 0.0
    y = magnitude * rng.normal(size=m)
    expected = np.linalg.pinv(X / magnitude, rcond=1e-12) @ (y / magnitude)
    np.testing.assert_allclose(kc.ols(X, y), expected, rtol=1e-9, atol=1e-12 * np.abs(expected).max())


# Decimal orders of 40 columns, spread over the whole double range: scaled to
# the largest, the smallest columns are subnormal.
COLUMN_ORDERS = [
    -138,
    268,
    298,
    274,
    -222,
    -152,
    -48,
    237,
    109,
    177,
    72,
    -133,
    -11,
    -62,
    -294,
    -155,
    34,
    -203,
    170,
    -3,
    -80,
    270,
    54,
    84,
    -57,
    -281,
    119,
    -218,
    -138,
    -49,
    -128,
    151,
    167,
    -213,
    220,
    144,
    -39,
    -204,
    26,
    -90,
]


@pytest.mark.parametrize("m", [54, 30])
@pytest.mark.parametrize("seed", range(8))
def test_ols_columns_across_the_double_range(m, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(m, len(COLUMN_ORDERS))) * 10.0 ** np.array(COLUMN_ORDERS, dtype=float)
    y = rng.normal(size=m)
    beta = kc.ols(X, y)
    assert np.isfinite(beta).all()
    reference = np.linalg.lstsq(X, y, rcond=None)[0]
    assert np.linalg.norm(X @ beta - y) <= np.linalg.norm(X @ reference - y) * (1 + 1e-9) + 1e-12


@pytest.mark.parametrize("m", [6, 40])
@pytest.mark.parametrize("c", [3.0, -1.25])
def test_ols_duplicated_column_splits_evenly(rng, m, c):
    x = rng.standard_normal(m)
    beta = kc.ols(np.column_stack([x, x]), c * x)
    np.testing.assert_allclose(beta, [c / 2, c / 2], **TOL)


@pytest.mark.parametrize("m, p", [(1, 3), (5, 9), (10, 20), (15, 16)])
def test_ols_underdetermined_gives_least_norm_interpolant(rng, m, p):
    X, y = _problem(rng, m, p)
    beta = kc.ols(X, y)
    np.testing.assert_allclose(X @ beta, y, **TOL)
    np.testing.assert_allclose(beta, np.linalg.pinv(X) @ y, **TOL)


@pytest.mark.parametrize("m, p, j", [(20, 4, 0), (20, 6, 3), (40, 18, 17), (8, 12, 5)])
def test_ols_zero_column_gets_zero_coefficient(rng, m, p, j):
    X, y = _problem(rng, m, p)
    X[:, j] = 0.0
    beta = kc.ols(X, y)
    assert abs(beta[j]) < 1e-12
    np.testing.assert_allclose(beta, np.linalg.pinv(X) @ y, **TOL)


@pytest.mark.parametrize("shape", [(4, 3), (3, 20), (1, 1), (30, 16)])
def test_ols_all_zero_design_gives_zeros(rng, shape):
    beta = kc.ols(np.zeros(shape), rng.standard_normal(shape[0]))
    assert beta.shape == (shape[1],)
    assert np.array_equal(beta, np.zeros(shape[1]))


@pytest.mark.parametrize("m, p", [(0, 3), (0, 17), (5, 0), (0, 0)])
def test_ols_empty_design_gives_zero_vector_of_length_p(m, p):
    beta = kc.ols(np.zeros((m, p)), np.zeros(m))
    assert beta.dtype == np.float64 and beta.shape == (p,)
    assert np.array_equal(beta, np.zeros(p))


# ---------------------------------------------------------------- results


@pytest.mark.parametrize("p", [1, 7, 20])
@pytest.mark.parametrize("solver", ["ols", "fit_regularized_linear"])
def test_result_is_1d_float64_of_length_p(rng, solver, p):
    X, y = _problem(rng, 3 * p, p)
    X_before, y_before = X.copy(), y.copy()
    beta = getattr(kc, solver)(X, y)
    assert isinstance(beta, np.ndarray)
    assert beta.dtype == np.float64 and beta.ndim == 1 and beta.shape == (p,)
    assert np.array_equal(X, X_before) and np.array_equal(y, y_before)


# ---------------------------------------------------------------- fit_regularized_linear


@pytest.mark.parametrize("m, p", [(30, 4), (80, 20)])
def test_unpenalised_without_ridge_equals_ols(rng, m, p):
    Phi, y = _problem(rng, m, p)
    beta = kc.fit_regularized_linear(Phi, y, ridge=0.0)
    np.testing.assert_allclose(beta, kc.ols(Phi, y), rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(beta, np.linalg.lstsq(Phi, y, rcond=None)[0], rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("m", [1, 127, 128, 129, 1000])
@pytest.mark.parametrize("p", [1, 3, 4, 8, 21])
def test_normal_equations_in_either_layout_and_any_chunking(rng, order, m, p):
    # Rows are summed in chunks and, for C-ordered designs with a multiple of
    # four columns, read in place; every layout must give the same system.
    Phi = np.asarray(rng.normal(size=(m, p)), order=order)
    y = rng.normal(size=m)
    beta = kc.fit_regularized_linear(Phi, y, ridge=0.5)
    expected = np.linalg.solve(Phi.T @ Phi + 0.5 * np.eye(p), Phi.T @ y)
    np.testing.assert_allclose(beta, expected, rtol=1e-10, atol=1e-12)
    view = np.asarray(rng.normal(size=(m, 2 * p)), order=order)[:, ::2]  # strided, copied on the way in
    np.testing.assert_allclose(
        kc.fit_regularized_linear(view, y, ridge=0.5),
        np.linalg.solve(view.T @ view + 0.5 * np.eye(p), view.T @ y),
        rtol=1e-10,
        atol=1e-12,
    )
    if order == "C" and m > 1 and p > 1:  # a C-ordered design at an odd byte offset is converted, not read in place
        odd = np.ndarray(Phi.shape, np.float64, buffer=bytearray(Phi.nbytes + 1), offset=1, order=order)
        odd[...] = Phi
        np.testing.assert_array_equal(kc.fit_regularized_linear(odd, y, ridge=0.5), beta)


def test_default_call_is_slightly_regularised_least_squares(rng):
    Phi, y = _problem(rng, 50, 6)
    beta = kc.fit_regularized_linear(Phi, y)
    np.testing.assert_allclose(beta, np.linalg.lstsq(Phi, y, rcond=None)[0], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(beta, _penalised_reference(Phi, y, None, None, 0, 0, 1e-10), **TOL)


@pytest.mark.parametrize(
    "use1, use2, g1, g2, ridge",
    [
        (True, False, 0.3, 0.0, 1e-10),
        (False, True, 0.0, 0.5, 0.0),  # only R2 given
        (True, True, 0.2, 0.7, 1e-3),
        (True, True, 1e-4, 2.5, 0.0),
        (True, True, -0.01, 0.4, 0.5),  # a negative weight is accepted
    ],
)
@pytest.mark.parametrize("m, p", [(40, 5), (12, 18)])
def test_penalties_match_normal_equations(rng, m, p, use1, use2, g1, g2, ridge):
    Phi, y = _problem(rng, m, p)
    B = rng.standard_normal((p, p))
    R1 = B @ B.T / p
    R2 = np.eye(p) + 0.02 * (B + B.T)
    R1 = R1 if use1 else None
    R2 = R2 if use2 else None
    beta = kc.fit_regularized_linear(Phi, y, R1, R2, gamma1=g1, gamma2=g2, ridge=ridge)
    expected = _penalised_reference(Phi, y, R1, R2, g1, g2, ridge)
    np.testing.assert_allclose(beta, expected, rtol=1e-8, atol=1e-10)


JUNK = [
    np.full((5, 5), np.nan),
    np.full((2, 7), np.inf),
    np.arange(3.0),
    [[1e300]],
]


@pytest.mark.parametrize("junk", JUNK, ids=["nan", "inf-wrong-shape", "1d", "1x1"])
def test_zero_weight_makes_matrix_irrelevant(rng, junk):
    Phi, y = _problem(rng, 30, 5)
    R = np.diag(np.arange(1.0, 6.0))
    ref1 = kc.fit_regularized_linear(Phi, y, None, R, gamma2=0.3)
    got1 = kc.fit_regularized_linear(Phi, y, junk, R, gamma1=0.0, gamma2=0.3)
    assert np.array_equal(got1, ref1)
    ref2 = kc.fit_regularized_linear(Phi, y, R, None, gamma1=0.3)
    got2 = kc.fit_regularized_linear(Phi, y, R, junk, gamma1=0.3, gamma2=0.0)
    assert np.array_equal(got2, ref2)
    # default weights: neither matrix is read at all
    assert np.array_equal(kc.fit_regularized_linear(Phi, y, junk, junk), kc.fit_regularized_linear(Phi, y))


def test_weight_without_matrix_adds_nothing(rng):
    Phi, y = _problem(rng, 25, 4)
    plain = kc.fit_regularized_linear(Phi, y, ridge=1e-6)
    assert np.array_equal(kc.fit_regularized_linear(Phi, y, gamma1=5.0, gamma2=-2.0, ridge=1e-6), plain)


@pytest.mark.parametrize("m, p", [(30, 4), (10, 14)])
def test_stacking_observations_twice_leaves_beta_unchanged(rng, m, p):
    Phi, y = _problem(rng, m, p)
    B = rng.standard_normal((p, p))
    R1, R2 = B @ B.T, np.eye(p)
    args = dict(gamma1=0.05, gamma2=0.2, ridge=0.0)
    once = kc.fit_regularized_linear(Phi, y, R1, R2, **args)
    twice = kc.fit_regularized_linear(np.vstack([Phi, Phi]), np.concatenate([y, y]), R1, R2, **args)
    np.testing.assert_allclose(twice, once, **TOL)


@pytest.mark.parametrize("g1", [0.5, -3.0, 1e6])
def test_strictly_upper_penalty_has_no_effect(rng, g1):
    Phi, y = _problem(rng, 30, 6)
    U = np.triu(rng.standard_normal((6, 6)), 1)
    ref = kc.fit_regularized_linear(Phi, y, ridge=1e-4)
    assert np.array_equal(kc.fit_regularized_linear(Phi, y, U, gamma1=g1, ridge=1e-4), ref)


@pytest.mark.parametrize("slot", ["R1", "R2"])
def test_asymmetric_penalty_acts_through_lower_triangle(rng, slot):
    Phi, y = _problem(rng, 40, 5)
    B = rng.standard_normal((5, 5))
    R = np.eye(5) + np.tril(B @ B.T) + np.triu(rng.standard_normal((5, 5)) * 10, 1)
    beta = kc.fit_regularized_linear(Phi, y, **{slot: R}, gamma1=0.1, gamma2=0.1, ridge=1e-8)
    Rs = _sym_lower(R)
    R1, R2 = (Rs, None) if slot == "R1" else (None, Rs)
    np.testing.assert_allclose(beta, _penalised_reference(Phi, y, R1, R2, 0.1, 0.1, 1e-8), rtol=1e-8, atol=1e-10)


def test_zero_column_gets_exact_zero_without_ridge(rng):
    x, y = rng.standard_normal(20), rng.standard_normal(20)
    beta = kc.fit_regularized_linear(np.column_stack([x, np.zeros(20)]), y, ridge=0.0)
    assert beta[1] == 0.0
    np.testing.assert_allclose(beta[0], x @ y / (x @ x), **TOL)


@pytest.mark.parametrize("ridge", [1e-10, 0.0, 2.0])
@pytest.mark.parametrize("p", [1, 4, 17])
def test_zero_rows_give_zero_vector(p, ridge):
    R = np.eye(p) + 1.0
    beta = kc.fit_regularized_linear(np.zeros((0, p)), np.zeros(0), R, R, 1.0, 2.0, ridge)
    assert beta.shape == (p,) and np.array_equal(beta, np.zeros(p))


@pytest.mark.parametrize("solver", ["ols", "fit_regularized_linear"])
def test_zero_columns_give_empty_vector(rng, solver):
    beta = getattr(kc, solver)(np.zeros((6, 0)), rng.standard_normal(6))
    assert beta.dtype == np.float64 and beta.shape == (0,)


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize("fn", ["fit_regularized_linear", "TournamentMCMC.fit"])
@pytest.mark.parametrize("slot", ["R1", "R2"])
@pytest.mark.parametrize(
    "bad", ["abc", object(), np.ones((3, 3, 3)), [[1.0, 2.0], [3.0]]], ids=["str", "object", "3-D", "ragged"]
)
def test_unconvertible_penalty_raises_cast_error_naming_it(rng, fn, slot, bad):
    Phi, y = _problem(rng, 10, 3)
    solver = kc.fit_regularized_linear if fn == "fit_regularized_linear" else kc.TournamentMCMC(n_chains=1).fit
    with pytest.raises(RuntimeError) as info:
        solver(Phi, y, **{slot: bad})
    assert type(info.value) is RuntimeError
    msg = str(info.value)
    assert msg.startswith("Unable to cast Python instance of type ")
    assert msg.startswith(f"Unable to cast Python instance of type {type(bad)} ")
    assert f"{slot} of {fn} must be None or a 2-D array" in msg


@pytest.mark.parametrize("order", ["C", "F"])  # C with four columns: read in place
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("name", ["Phi", "y", "R1", "R2", "ridge", "gamma1", "gamma2"])
def test_non_finite_input_is_refused_by_name(rng, name, bad, order):
    Phi, y = _problem(rng, 30, 4)
    args = dict(Phi=np.asarray(Phi, order=order), y=y, R1=np.eye(4), R2=np.eye(4), gamma1=0.1, gamma2=0.2, ridge=1e-6)
    if isinstance(args[name], np.ndarray):
        args[name] = args[name].copy(order="K")
        args[name].flat[7] = bad
    else:
        args[name] = bad
    with pytest.raises(ValueError, match=f"^fit_regularized_linear: {name} "):
        kc.fit_regularized_linear(**args)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize(
    "phi_order, y_order, penalised",
    [
        (508, 0, True),  # Phi^T Phi and n gamma1 R1 beyond the largest double
        (530, 200, False),  # entries of about 1e160, which ols solves
        (-540, 0, False),  # squares of the entries below the smallest double
        (0, 1021, True),  # Phi^T y beyond the largest double
    ],
)
def test_entries_near_the_ends_of_the_double_range_solve(rng, phi_order, y_order, penalised, order):
    # Phi scaled by s = 2^phi_order and y by t = 2^y_order, the weights by s^2:
    # the same system, whose solution is (t / s) times the unscaled one.
    Phi, y = 30.0 * rng.standard_normal((40, 4)), rng.standard_normal(40)
    B = rng.standard_normal((4, 4))
    R1 = B @ B.T
    g1, ridge = (10.0, 1e-3) if penalised else (0.0, 0.0)
    expected = _penalised_reference(Phi, y, R1, None, g1, 0.0, ridge)
    s, t = 2.0**phi_order, 2.0**y_order
    beta = kc.fit_regularized_linear(
        np.asarray(s * Phi, order=order), t * y, R1, gamma1=g1 * s * s, ridge=ridge * s * s
    )
    np.testing.assert_allclose(beta, np.ldexp(expected, y_order - phi_order), rtol=1e-9)


@pytest.mark.parametrize(
    "phi_scale, weights",
    [
        (1.0, dict(gamma1=1.7e308)),  # n gamma1 R1 beyond the largest double, whatever the scale of Phi
        (1e-170, {}),  # the default ridge against squares of 1e-340
    ],
)
def test_penalties_beyond_the_range_of_doubles_are_refused(rng, phi_scale, weights):
    Phi, y = _problem(rng, 100, 4)
    with pytest.raises(ValueError, match=r"outweigh Phi\^T Phi beyond the range of doubles") as info:
        kc.fit_regularized_linear(phi_scale * Phi, y, np.eye(4), **weights)
    assert f"gamma1 = {weights.get('gamma1', 0):g}" in str(info.value)


@pytest.mark.parametrize("rows, ylen", [(4, 5), (4, 3), (2, 0)])
def test_length_mismatch_raises_value_error(rng, rows, ylen):
    X, y = rng.standard_normal((rows, 3)), rng.standard_normal(ylen)
    with pytest.raises(ValueError, match=re.escape(f"y has {ylen} elements but X has {rows} rows")):
        kc.ols(X, y)
    with pytest.raises(ValueError, match=re.escape(f"y has {ylen} elements but Phi has {rows} rows")):
        kc.fit_regularized_linear(X, y)


@pytest.mark.parametrize("slot", ["R1", "R2"])
@pytest.mark.parametrize("shape", [(2, 3), (4, 4), (3, 1), (3, 2)])
def test_read_penalty_with_wrong_shape_raises_value_error(rng, slot, shape):
    Phi, y = _problem(rng, 10, 3)
    kwargs = {slot: np.ones(shape), "gamma1": 0.5, "gamma2": 0.5}
    with pytest.raises(ValueError) as info:
        kc.fit_regularized_linear(Phi, y, **kwargs)
    msg = str(info.value)
    assert f"{slot} is {shape[0]} x {shape[1]}" in msg
    assert "must be 3 x 3" in msg


def test_one_dimensional_penalty_counts_as_column(rng):
    Phi, y = _problem(rng, 10, 3)
    with pytest.raises(ValueError, match=re.escape("R1 is 3 x 1")):
        kc.fit_regularized_linear(Phi, y, np.ones(3), gamma1=1.0)
