"""Gibbs ensemble statistics and the tournament MCMC sampler."""

import gc
import hashlib
import math
import re
from pathlib import Path

import numpy as np
import pytest

import korva.testing as reference
import korva_core as kc
from korva import _sampler, fitting
from korva._sampler import WARM_UP_SEED_STRIDE

SAMPLER_CONSTANTS_HEADER = Path(__file__).resolve().parents[1] / "korva" / "_native" / "sampler_constants.hpp"

GIBBS_FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")

# Starting vectors of warm-up chains 0..5 for seed 42 and k = 3, produced by a
# small C++17 program compiled with g++ 12 against libstdc++: for chain c it
# seeds std::mt19937_64 with 42 + 1000 * c, draws k values in order from
# std::normal_distribution<double>(0.0, 0.5) and prints them with "%.17g"
# (1000 and 0.5 being the sampler's WARM_UP_SEED_STRIDE and START_SPREAD).
SEED42_STARTS = np.array(
    [
        [0.35249413321042994, 0.64691021163646834, -0.28704740336013085],  # chain 0
        [0.079378295648168298, 0.29551314082667968, -0.43079095528513756],  # chain 1
        [-0.011588180223811487, 0.19698698645385604, -0.68550440234503007],  # chain 2
        [-0.012018880952260927, -0.37241973240692511, -0.37604346091585789],  # chain 3
        [0.39958523515730132, 0.12901104115711418, -0.27997509979715141],  # chain 4
        [-0.51332946151823666, -0.40467876945146758, -0.47034441298755808],  # chain 5
    ]
)


def gibbs_tuple(g):
    return tuple(getattr(g, f) for f in GIBBS_FIELDS)


def energy_of(b, X, y, H=20, R1=None, R2=None, g1=0.0, g2=0.0):
    k = X.shape[1]
    R1 = np.zeros((k, k)) if R1 is None else R1
    R2 = np.zeros((k, k)) if R2 is None else R2
    return kc.mdl_score_reg(X @ b, y, k, H, b, R1, R2, g1, g2)


def problem(rng, n=40, k=3, noise=0.05):
    X = rng.normal(size=(n, k))
    y = X @ rng.normal(size=k) + noise * rng.normal(size=n)
    return X, y


def as_bytes(res):
    return res.beta_mcmc.tobytes(), np.float64(res.energy).tobytes(), gibbs_tuple(res.gibbs)


SMALL = dict(n_chains=6, n_warmup=40, n_deep=60, n_elite=3, step_size=0.05, H_piH=20, seed=11)


def test_python_mirror_of_the_sampler_constants_agrees_with_the_native_header():
    # kWarmUpCooling in C++ is WARM_UP_COOLING in korva._sampler.
    defined = re.findall(r"constexpr\s+[\w:]+\s+k(\w+)\s*=\s*([^;]+);", SAMPLER_CONSTANTS_HEADER.read_text())
    native = {re.sub(r"(?<!^)(?=[A-Z])", "_", name).upper(): float(value) for name, value in defined}
    mirrored = {name: value for name, value in vars(_sampler).items() if name.isupper()}
    assert native and mirrored == native
    assert fitting.HIT_TOLERANCE == _sampler.HIT_TOLERANCE


# ---------------------------------------------------------------- Gibbs


@pytest.mark.parametrize("T", [1.0, 0.0, 3.5])
def test_gibbs_single_energy(T):
    g = kc.gibbs_entropy(np.array([7.25]), T)
    assert (g.H, g.He, g.r_heat, g.var_E, g.T) == (0.0, 0.0, 0.01, 0.0, T)
    assert g.Hmax == pytest.approx(math.log(2.0), rel=1e-15)


@pytest.mark.parametrize("n", [2, 3, 10, 257])
@pytest.mark.parametrize("T", [1.0, 0.01, 100.0])
def test_gibbs_equal_energies(n, T):
    g = kc.gibbs_entropy(np.full(n, -3.5), T)
    assert g.H == pytest.approx(math.log(n), rel=1e-12)
    assert g.Hmax == pytest.approx(math.log(n), rel=1e-15)
    assert g.He == pytest.approx(1.0, abs=1e-12)
    assert g.r_heat == pytest.approx(1.0, abs=1e-12)
    assert g.var_E == 0.0


@pytest.mark.parametrize(
    "energies, n_min",
    [
        ([1.0, 1.0, 1.0, 3.0, 5.0], 3),
        ([4.0, 2.0, 9.0, 2.0], 2),
        ([0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 1.5], 6),
    ],
)
def test_gibbs_zero_temperature_tied_minima(energies, n_min):
    g = kc.gibbs_entropy(np.array(energies), 0.0)
    assert g.H == pytest.approx(math.log(n_min), rel=1e-12)
    assert g.T == 0.0


@pytest.mark.parametrize("energies", [[2.0, 3.0, 5.0], [10.0, -1.0, 0.0, 4.0], [-7.0, 1e6]])
def test_gibbs_zero_temperature_unique_minimum(energies):
    g = kc.gibbs_entropy(np.array(energies), 0.0)
    assert g.H == 0.0 and g.He == 0.0
    assert g.r_heat == 0.01


@pytest.mark.parametrize("shift", [-50.0, 1.0, 1e3])
@pytest.mark.parametrize("T", [0.5, 1.0, 4.0])
def test_gibbs_shift_invariance(rng, shift, T):
    e = rng.normal(scale=2.0, size=30)
    a, b = kc.gibbs_entropy(e, T), kc.gibbs_entropy(e + shift, T)
    for f in GIBBS_FIELDS:
        assert getattr(b, f) == pytest.approx(getattr(a, f), rel=1e-9, abs=1e-9), f


@pytest.mark.parametrize("T", [0.0, 0.1, 1.0, 7.0, 1e9, -1.0])
def test_gibbs_var_e_uses_population_divisor(T):
    assert kc.gibbs_entropy([1.0, 2.0, 3.0, 4.0], T).var_E == pytest.approx(1.25, rel=1e-15)


def test_gibbs_large_temperature_flattens(rng):
    g = kc.gibbs_entropy(rng.uniform(0, 10, size=20), 1e12)
    assert 1 - 1e-9 < g.He <= 1 + 1e-12
    assert g.r_heat == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("n", [2, 5, 64, 1000])
@pytest.mark.parametrize("T", [0.3, 1.0, 4.0])
def test_gibbs_against_numpy_reference(rng, n, T):
    e = rng.normal(scale=3.0, size=n)
    g = kc.gibbs_entropy(e, T)
    for f, v in reference.gibbs_statistics(e, T).items():
        assert getattr(g, f) == pytest.approx(v, rel=1e-12, abs=1e-14), f


@pytest.mark.parametrize("n", [5, 64, 1001])
def test_gibbs_does_not_depend_on_input_address(rng, n):
    e = rng.normal(50.0, 5.0, n)
    store = np.empty(n + 3)
    results = set()
    for offset in range(4):  # every 8-byte offset within a 32-byte line
        view = store[offset : offset + n]
        view[:] = e
        results.add(gibbs_tuple(kc.gibbs_entropy(view)))
    assert len(results) == 1


def test_gibbs_column_input_and_default_temperature(rng):
    e = rng.normal(size=9)
    flat = gibbs_tuple(kc.gibbs_entropy(e))
    assert kc.gibbs_entropy(e).T == 1.0
    assert gibbs_tuple(kc.gibbs_entropy(e.reshape(-1, 1))) == flat
    assert gibbs_tuple(kc.gibbs_entropy(energies=list(e), T=1.0)) == flat


@pytest.mark.parametrize("field", GIBBS_FIELDS)
def test_gibbs_attributes_read_only(field):
    g = kc.gibbs_entropy([1.0, 2.0])
    with pytest.raises(AttributeError):
        setattr(g, field, 0.5)


@pytest.mark.parametrize("cls", ["GibbsResult", "MCMCResult"])
def test_result_records_have_no_constructor(cls):
    with pytest.raises(TypeError, match="No constructor defined"):
        getattr(kc, cls)()


# An instance made by __new__ alone holds no C++ object: every read of it is refused.
@pytest.mark.parametrize(
    ("cls", "use"),
    [
        ("GibbsResult", lambda g: g.H),
        ("MCMCResult", lambda r: r.beta_mcmc),
        ("MCMCResult", lambda r: r.gibbs),
        ("TournamentMCMC", lambda s: s.fit(np.ones((5, 2)), np.ones(5))),
    ],
)
def test_an_instance_never_initialised_is_refused(cls, use):
    bare = getattr(kc, cls).__new__(getattr(kc, cls))
    with pytest.raises(TypeError, match=f"korva_core.{cls}: this instance was never initialised"):
        use(bare)


def test_gibbs_empty_input_rejected():
    with pytest.raises(ValueError):
        kc.gibbs_entropy(np.array([]))


# ---------------------------------------------------------------- sampler


def test_two_fits_identical_and_no_state_kept(rng):
    X, y = problem(rng)
    X2, y2 = problem(rng, n=25, k=2)
    s = kc.TournamentMCMC(**SMALL)
    first = as_bytes(s.fit(X, y))
    s.fit(X2, y2)  # an unrelated fit in between must not leave anything behind
    assert as_bytes(s.fit(X, y)) == first
    assert as_bytes(kc.TournamentMCMC(**SMALL).fit(X, y)) == first
    assert as_bytes(kc.TournamentMCMC(**{**SMALL, "seed": 12}).fit(X, y))[0] != first[0]


def lcg_table(rows, cols, seed):
    """Values in [-0.5, 0.5) from a linear congruential sequence, exact in float64 on any platform."""
    state, out = seed, np.empty(rows * cols)
    for i in range(out.size):
        state = (1103515245 * state + 12345) % 2**31
        out[i] = state / 2**31 - 0.5
    return out.reshape(rows, cols)


def exact_problem(n, k, seed):
    """A line through the data with a small spread and every 17th point far off, formed
    by correctly rounded elementwise operations only, so that its bits never vary."""
    X = 4.0 * lcg_table(n, k, seed)
    y = 0.25 + 0.0625 * lcg_table(n, 1, seed + 1)[:, 0]
    for j in range(k):
        y = y + X[:, j] * (0.5 + j)
    y[::17] += 8.0
    return X, y


def digest(res):
    h = hashlib.sha256(res.beta_mcmc.tobytes() + np.float64(res.energy).tobytes())
    h.update(np.array(gibbs_tuple(res.gibbs)).tobytes())
    return h.hexdigest()[:16]


# Fits whose digests were recorded before the refinement ran on several
# threads; each phase is large enough to run on a team. In the 1000 x 6 fits
# the result comes from a later elite entry; in the 300 x 3 fits several
# entries reach the same lowest energy and the first of them must win.
PINNED_FITS = {
    "200x4 default": ((200, 4, 1), {}, False, "2973b978b01b69fd"),
    "1000x6 default": ((1000, 6, 2), {}, False, "7c84b80ba1045263"),
    "1000x6 seed 7": ((1000, 6, 2), dict(seed=7), False, "2b93a62d9a2d5e47"),
    "n_elite > n_chains": ((300, 3, 3), dict(n_chains=3, n_warmup=10, n_elite=7), False, "916a4fee98861d93"),
    "n_elite 1": ((300, 3, 3), dict(n_warmup=10, n_elite=1, n_deep=500), False, "824cbceab9c65fe6"),
    "n_elite 9, seed 2**63": (
        (300, 3, 3),
        dict(n_warmup=10, n_elite=9, n_deep=600, seed=2**63),
        False,
        "64ab8dab2ec8017f",
    ),
    "penalised": ((257, 5, 4), dict(n_chains=10, n_warmup=300, n_elite=6, n_deep=600), True, "71ac1fa9367f0abe"),
}


def pinned_fit(name):
    (n, k, seed), config, penalised, _ = PINNED_FITS[name]
    X, y = exact_problem(n, k, seed)
    penalty = dict(R1=np.eye(k), gamma1=0.01) if penalised else {}
    return kc.TournamentMCMC(**config).fit(X, y, **penalty)


@pytest.mark.parametrize("name", PINNED_FITS)
def test_pinned_fit_digest(name):
    assert digest(pinned_fit(name)) == PINNED_FITS[name][3]


# Prints the digest of every pinned fit and how many threads the fits started.
_SUBPROCESS = """
import os
import tests.test_ensemble as t
threads = len(os.listdir("/proc/self/task"))
print(*(t.digest(t.pinned_fit(name)) for name in t.PINNED_FITS))
print(len(os.listdir("/proc/self/task")) - threads)
"""


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
def test_thread_count_does_not_change_result(child_python, threads):
    env = child_python.environment(OMP_NUM_THREADS=str(threads))
    proc = child_python.run("-c", _SUBPROCESS, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    digests, started = proc.stdout.splitlines()
    assert digests.split() == [expected for *_, expected in PINNED_FITS.values()]
    assert int(started) == threads - 1  # the fits really ran on that many threads


_FORKED = """
import os, sys, numpy as np, korva_core as kc
X = np.random.default_rng(0).normal(size=(2000, 3))
y = X @ [1.0, 2.0, 3.0]
sampler = kc.TournamentMCMC(n_chains=8, n_warmup=200, n_deep=500)
threads = len(os.listdir("/proc/self/task"))
parent = sampler.fit(X, y).beta_mcmc
assert len(os.listdir("/proc/self/task")) > threads, "the parent's fit ran on one thread"
pid = os.fork()
if pid == 0:
    code = 0 if np.array_equal(sampler.fit(X, y).beta_mcmc, parent) else 3
    {exit}(code)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.parametrize("exit", ["os._exit", "sys.exit"])
def test_fit_in_a_forked_child_after_the_parent_fitted(child_python, exit):
    # The parent's helper threads do not exist in the child; the child must
    # neither wait for them, in a fit or when it exits, nor get another result.
    proc = child_python.run(
        "-W",
        "ignore",
        "-c",
        _FORKED.replace("{exit}", exit),
        env=child_python.environment(OMP_NUM_THREADS="2"),
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["0"]


PENALTIES = {
    "none": {},
    "R1": dict(R1=np.eye(3), gamma1=1e4),
    "R2": dict(R2=np.ones((3, 3)), gamma2=1e4),
    "both": dict(R1=np.eye(3), R2=np.ones((3, 3)), gamma1=1e4, gamma2=3e3),
}


@pytest.mark.parametrize("pen", PENALTIES, ids=list(PENALTIES))
def test_no_iterations_returns_best_literal_start(rng, pen):
    kw = PENALTIES[pen]
    X = rng.normal(size=(40, 3))
    y = X @ SEED42_STARTS[3] + 1e-3 * rng.normal(size=40)  # chain 3's start fits the data
    E = np.array(
        [
            energy_of(b, X, y, 20, kw.get("R1"), kw.get("R2"), kw.get("gamma1", 0.0), kw.get("gamma2", 0.0))
            for b in SEED42_STARTS
        ]
    )
    best = int(np.argmin(E))
    assert np.sum(E == E[best]) == 1  # the data are chosen so that the minimum is unique
    if pen != "none":
        assert best != 3  # the penalty must move the choice away from the data optimum
    res = kc.TournamentMCMC(n_chains=6, n_warmup=0, n_deep=0, n_elite=3, seed=42).fit(X, y, **kw)
    np.testing.assert_array_equal(res.beta_mcmc, SEED42_STARTS[best])
    assert res.energy == pytest.approx(E[best], rel=1e-12, abs=1e-12)
    # without warm-up the chain energies are those of the starts
    for f, v in reference.gibbs_statistics(E, 1.0).items():
        assert getattr(res.gibbs, f) == pytest.approx(v, rel=1e-10, abs=1e-12), f


@pytest.mark.parametrize("n_chains", [1, 5, 9, 26])
@pytest.mark.parametrize("n", [3, 13, 37])
def test_warm_up_chain_depends_only_on_its_number(rng, n_chains, n):
    # Chain c of seed s is chain 0 of seed s + WARM_UP_SEED_STRIDE c, wherever
    # it falls among the chains that are advanced together.
    X, y = problem(rng, n=n, k=3, noise=0.3)
    kw = dict(R1=np.diag([1.0, 0.5, 2.0]), gamma1=0.01)  # continuous energies, so no ties
    cfg = dict(n_warmup=25, n_deep=0, n_elite=1, step_size=0.1)
    alone = [
        kc.TournamentMCMC(n_chains=1, seed=5 + WARM_UP_SEED_STRIDE * c, **cfg).fit(X, y, **kw) for c in range(n_chains)
    ]
    energies = [r.energy for r in alone]
    together = kc.TournamentMCMC(n_chains=n_chains, seed=5, **cfg).fit(X, y, **kw)
    best = int(np.argmin(energies))
    assert together.energy == energies[best]
    np.testing.assert_array_equal(together.beta_mcmc, alone[best].beta_mcmc)
    assert gibbs_tuple(together.gibbs) == gibbs_tuple(kc.gibbs_entropy(energies, 1.0))


@pytest.mark.parametrize("pen", ["none", "R1"])
@pytest.mark.parametrize("seed", [0, 3, 99])
@pytest.mark.parametrize("n_elite", [3, 7])
def test_deep_phase_never_worse_and_energy_consistent(rng, pen, seed, n_elite):
    X, y = problem(rng, n=50, k=3, noise=0.2)
    kw = dict(R1=np.diag([1.0, 2.0, 0.5]), gamma1=0.7) if pen == "R1" else {}
    cfg = dict(n_chains=8, n_warmup=30, n_elite=n_elite, step_size=0.08, H_piH=10, seed=seed)
    warm = kc.TournamentMCMC(n_deep=0, **cfg).fit(X, y, **kw)
    deep = kc.TournamentMCMC(n_deep=150, **cfg).fit(X, y, **kw)
    assert deep.energy <= warm.energy
    assert gibbs_tuple(deep.gibbs) == gibbs_tuple(warm.gibbs)  # the statistics describe the warm-up only
    for r in (warm, deep):
        assert r.beta_mcmc.shape == (3,) and r.beta_mcmc.dtype == np.float64
        expect = energy_of(r.beta_mcmc, X, y, 10, kw.get("R1"), None, kw.get("gamma1", 0.0))
        assert r.energy == pytest.approx(expect, rel=1e-12, abs=1e-12)
        g = r.gibbs
        assert g.T == 1.0 and g.Hmax == pytest.approx(math.log(8), rel=1e-15)
        assert g.r_heat == pytest.approx(0.01 + 0.99 * g.He, rel=1e-15)
        assert 0.0 <= g.He <= 1.0 + 1e-12 and g.var_E >= 0.0


@pytest.mark.parametrize("n_chains, n_elite", [(3, 10), (5, 1), (4, 0), (1, 5), (6, -2)])
def test_configuration_echo(rng, n_chains, n_elite):
    X, y = problem(rng, n=20, k=2)
    res = kc.TournamentMCMC(n_chains=n_chains, n_warmup=10, n_deep=10, n_elite=n_elite).fit(X, y)
    assert (res.n_chains, res.n_elite) == (n_chains, n_elite)
    assert res.gibbs.Hmax == pytest.approx(math.log(max(n_chains, 2)), rel=1e-15)


@pytest.mark.parametrize("n_chains", [1, 4])
def test_zero_columns(rng, n_chains):
    n = 30
    y = rng.normal(size=n)
    res = kc.TournamentMCMC(n_chains=n_chains, n_warmup=15, n_deep=15, n_elite=3).fit(np.zeros((n, 0)), y)
    assert res.beta_mcmc.shape == (0,)
    assert res.energy == pytest.approx(kc.mdl_score(np.zeros(n), y, 0, 20), rel=1e-12)
    assert res.gibbs.var_E == 0.0
    assert res.gibbs.H == pytest.approx(0.0 if n_chains == 1 else math.log(n_chains), abs=1e-12)


def test_zero_weight_penalties_have_no_effect(rng):
    X, y = problem(rng)
    s = kc.TournamentMCMC(**SMALL)
    plain = as_bytes(s.fit(X, y))
    R1, R2 = rng.normal(size=(3, 3)) * 1e3, rng.normal(size=(3, 3)) * 1e3
    assert as_bytes(s.fit(X, y, R1, R2)) == plain
    assert as_bytes(s.fit(X, y, R1=R1, gamma2=0.0)) == plain
    assert as_bytes(s.fit(X, y, R2=R2, gamma1=5.0)) == plain  # gamma1 without R1 is no penalty


def test_nonzero_penalty_changes_result(rng):
    X, y = problem(rng)
    s = kc.TournamentMCMC(**SMALL)
    plain = s.fit(X, y)
    R1 = np.eye(3)
    pen = s.fit(X, y, R1, None, 2.0)
    assert pen.energy != plain.energy
    assert pen.energy == pytest.approx(energy_of(pen.beta_mcmc, X, y, 20, R1, None, 2.0), rel=1e-12)
    assert pen.energy >= 2.0 * float(pen.beta_mcmc @ pen.beta_mcmc)


def test_result_views_outlive_result(rng):
    X, y = problem(rng)
    res = kc.TournamentMCMC(**SMALL).fit(X, y)
    beta, g = res.beta_mcmc, res.gibbs
    assert not beta.flags.writeable
    with pytest.raises(ValueError):
        beta[0] = 1.0
    assert np.shares_memory(beta, res.beta_mcmc)  # a view, not a copy
    assert g.H == res.gibbs.H
    saved_beta, saved_g = beta.copy(), gibbs_tuple(g)
    del res
    gc.collect()
    _ = [np.random.default_rng(i).normal(size=64) for i in range(200)]
    np.testing.assert_array_equal(beta, saved_beta)
    assert gibbs_tuple(g) == saved_g


@pytest.mark.parametrize("field", ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"])
def test_mcmc_attributes_read_only(rng, field):
    X, y = problem(rng, n=10, k=1)
    res = kc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2).fit(X, y)
    with pytest.raises(AttributeError):
        setattr(res, field, getattr(res, field))


def test_negative_seed_refused():
    with pytest.raises(TypeError):
        kc.TournamentMCMC(seed=-1)


@pytest.mark.parametrize("n_chains", [0, -1, -100])
def test_bad_chain_count(rng, n_chains):
    X, y = problem(rng, n=10, k=2)
    with pytest.raises(ValueError):
        kc.TournamentMCMC(n_chains=n_chains, n_warmup=5, n_deep=5).fit(X, y)


@pytest.mark.parametrize("step_size", [0.0, -0.05, math.nan, math.inf])
def test_step_size_that_cannot_move_a_chain_is_refused(rng, step_size):
    X, y = problem(rng, n=10, k=2)
    with pytest.raises(ValueError, match="step_size must be a finite number above 0"):
        kc.TournamentMCMC(step_size=step_size, n_warmup=5, n_deep=5).fit(X, y)


def test_row_count_mismatch(rng):
    X, y = problem(rng, n=23, k=2)
    with pytest.raises(ValueError) as err:
        kc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2).fit(X, y[:19])
    assert "23" in str(err.value) and "19" in str(err.value)


@pytest.mark.parametrize(
    "kw, name",
    [
        (dict(R1=np.eye(4), gamma1=1.0), "R1"),
        (dict(R1=np.ones((3, 2)), gamma1=-0.5), "R1"),
        (dict(R2=np.eye(2), gamma2=1.0), "R2"),
        (dict(R1=np.eye(3), R2=np.ones((3, 4)), gamma1=1.0, gamma2=2.0), "R2"),
    ],
)
def test_penalty_shape_mismatch(rng, kw, name):
    X, y = problem(rng, n=15, k=3)
    with pytest.raises(ValueError, match=name):
        kc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2).fit(X, y, **kw)
