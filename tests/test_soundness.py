"""Soundness of the module as a whole: requests far beyond memory are refused
at once, repeated calls do not leak, a fit under an address-space limit runs
on the threads it can start or raises MemoryError, and calls from many
threads give the same results as serial calls."""

import json
import math
import random
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import korva_core as kc
from tests.sandbox import PHYSICAL_MEMORY, Call, CallRunner, running_under_asan

MiB = 1 << 20

# ---------------------------------------------------------------- huge requests

REFUSED = {"MemoryError", "ValueError"}
# Each request needs hundreds of GB or more, or a count that overflows 64 bits.
HUGE_REQUESTS = [
    # n x (deg + 1) doubles: 8 TB
    Call("design_matrix_1d", "kc.design_matrix_1d", ("10**9", "np.linspace(0, 1, 1000)")),
    # two (deg + 1)^2 matrices: 64 EiB and more
    Call("smoothness_penalty_matrices_1d", "kc.smoothness_penalty_matrices_1d", ("2**31 - 2", "0.0", "1.0", "2")),
    Call("boundary_reduce_1d", "kc.boundary_reduce_1d", ("10**9", "0.0", "1.0")),
    # 41^6 basis functions on 30^6 grid points: M^2 overflows, G x M doubles need 28 EB
    Call("build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", ("[40] * 6", "[(0, 1)] * 6", "30")),
    # n^D overflows
    Call("build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", ("[1] * 3", "[(0, 1)] * 3", "2**31 - 1")),
    Call("build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", ("[0] * 100", "[(0, 1)] * 100", "2")),
    # an axis and a derivative table of n x (deg + 1) doubles: 51 GB
    Call("build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", ("[1]", "[(0, 1)]", "2**31 - 1")),
    # n x M doubles: 800 GB
    Call("design_matrix_nd", "kc.design_matrix_nd", ("[[1]] * 10**5", "[np.zeros(10**6)]")),
    # p x p normal equations of a design without rows: 8 TB
    Call("fit_regularized_linear", "kc.fit_regularized_linear", ("np.empty((0, 10**6))", "np.empty(0)")),
    # one 24-byte slot per chain: 48 GiB
    Call("TournamentMCMC.fit", "kc.TournamentMCMC(n_chains=2**31 - 1).fit", ("np.ones((3, 1))", "np.ones(3)")),
    # n_chains coefficient vectors of k doubles: 1 TB
    Call(
        "TournamentMCMC.fit",
        "kc.TournamentMCMC(n_chains=1024, n_warmup=0, n_deep=0).fit",
        ("np.empty((0, 2**27))", "np.empty(0)"),
    ),
    # Beyond memory only when every array of the same size is counted, not just the first.
    # A third of the memory per coefficient vector; a fit holds several at once.
    Call(
        "TournamentMCMC.fit",
        "kc.TournamentMCMC(n_chains=1).fit",
        (f"np.empty((0, {PHYSICAL_MEMORY // 24}))", "np.empty(0)"),
    ),
    # Half the memory for the normal equations; the system and its factorisation follow.
    Call(
        "fit_regularized_linear",
        "kc.fit_regularized_linear",
        (f"np.empty((0, {math.isqrt(PHYSICAL_MEMORY // 16)}))", "np.empty(0)"),
    ),
]
# Requests whose first large array is allocated before the rest is counted. ASan
# writes the shadow of so large an allocation, so under ASan that array alone
# exceeds the budget.
LAZY_REQUESTS = [
    # A wide design of a third of the memory in pages not yet touched, read in place;
    # its decomposition copies it several times.
    Call("ols", "kc.ols", (f"np.zeros((100, {PHYSICAL_MEMORY // 2400}), order='F')", "np.ones(100)")),
    # Penalties of half the memory in one variable; the three sums of the axis and
    # the product that forms them come on top.
    Call(
        "build_penalty_matrices_nd",
        "kc.build_penalty_matrices_nd",
        (f"[{math.isqrt(PHYSICAL_MEMORY // 32) - 1}]", "[(0, 1)]", "2"),
    ),
]
# Inputs that take no memory themselves but must be copied to be read: 8 TB.
# The argument conversion cannot make the copy and reports the argument as not
# convertible (TypeError), before anything is allocated.
UNCOPYABLE_INPUTS = [
    Call("mad", "kc.mad", ("np.broadcast_to(1.0, (10**12,))",)),
    Call("ols", "kc.ols", ("np.broadcast_to(1.0, (10**6, 10**6))", "np.zeros(10**6)")),
]
# Sizes that look huge but describe an empty basis: answered at once.
EMPTY_BASES = [
    Call("build_penalty_matrices_nd", "kc.build_penalty_matrices_nd", ("[2**31 - 1, -1]", "[(0, 1)] * 2", "2")),
    Call("design_matrix_1d", "kc.design_matrix_1d", ("2**31 - 1", "[]")),
]
PROMPT_SECONDS = 1.0
# A refusal comes before the memory is touched; the watchdog kills the child
# well before a runaway allocation could hurt the machine.
UNTOUCHED_BYTES = 64 * MiB
WATCHDOG_BYTES = 256 * MiB


@pytest.fixture(scope="module")
def huge_runner():
    # The address space may be as large as the machine's memory, so the
    # module's own limits decide, not this one.
    with CallRunner(address_space=PHYSICAL_MEMORY, memory_budget=WATCHDOG_BYTES, timeout=30) as runner:
        yield runner


@pytest.mark.parametrize(
    "call, allowed",
    [pytest.param(call, REFUSED, id=call.source) for call in HUGE_REQUESTS]
    + [
        pytest.param(
            call,
            REFUSED,
            id=call.source,
            marks=pytest.mark.skipif(running_under_asan(), reason="ASan touches the array's shadow"),
        )
        for call in LAZY_REQUESTS
    ]
    + [pytest.param(call, REFUSED | {"TypeError"}, id=call.source) for call in UNCOPYABLE_INPUTS]
    + [pytest.param(call, {"result", "ValueError"}, id=call.source) for call in EMPTY_BASES],
)
def test_huge_requests_are_answered_at_once_without_touching_memory(huge_runner, call, allowed):
    report = huge_runner.run(call)
    assert report.problem is None and report.outcome in allowed, report.describe()
    assert report.seconds < PROMPT_SECONDS, f"{call.source} took {report.seconds:.2f} s"
    assert report.memory_growth < UNTOUCHED_BYTES, f"{call.source} touched {report.memory_growth / MiB:.0f} MiB"


def test_the_runner_sees_what_a_call_touches_however_large_the_parent(huge_runner):
    # The child starts from this process, whose peak a fork and exec pass on; a call's
    # growth must be its own, or a touch below that peak would go unseen.
    parent = np.ones(64 * MiB // 8 * 6)  # 384 MiB held here while the child runs
    report = huge_runner.run(Call("touch", "np.ones", ("20 * 2**20",)))  # 160 MiB in the child
    assert report.outcome == "result" and report.memory_growth > 120 * MiB, report.describe()
    del parent


# ---------------------------------------------------------------- leaks

LEAK_SETUP = """
x = np.linspace(-1.0, 1.0, 12)
y = 1.0 + 2.0 * x - x**2
X = kc.design_matrix_1d(2, x)
R1, R2 = kc.smoothness_penalty_matrices_1d(2, -1.0, 1.0, 20)
beta = np.array([1.0, 2.0, -1.0])
sampler = kc.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2, n_elite=2)
"""
# Per entry point, a call that returns and a call that fails part-way
# (after some arguments were converted or some work was allocated), and for
# some a refusal of complex input, met while converting a list or a column.
LEAK_CALLS = {
    "mad": ["kc.mad(y)", "kc.mad(None)", "kc.mad([1.0, 2j])"],
    "compute_sr": ["kc.compute_sr(X @ beta, y, 0.1)", "kc.compute_sr(y[:3], y, 0.1)"],
    "mdl_score": ["kc.mdl_score(X @ beta, y, 3)", "kc.mdl_score(y[:3], y, 3)"],
    "mdl_score_reg": [
        "kc.mdl_score_reg(X @ beta, y, 3, 20, beta, R1, R2, 0.5, 0.25)",
        "kc.mdl_score_reg(X @ beta, y, 3, 20, beta, R1[:2, :2], R2, 0.5)",
    ],
    "design_matrix_1d": ["kc.design_matrix_1d(3, x)", "kc.design_matrix_1d(10**9, x)"],
    "smoothness_penalty_matrices_1d": [
        "kc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 10)",
        "kc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 1)",
    ],
    "boundary_reduce_1d": ["kc.boundary_reduce_1d(3, -1.0, 1.0)", "kc.boundary_reduce_1d(10**9, -1.0, 1.0)"],
    "design_matrix_nd": [
        "kc.design_matrix_nd([[0, 0], [1, 0], [1, 2]], [x, y])",
        "kc.design_matrix_nd([[0, 0], [1]], [x, y])",
        "kc.design_matrix_nd([[0, 0], [1, 0]], [x, y * 1j])",
    ],
    "build_penalty_matrices_nd": [
        "kc.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (-1.0, 1.0)], 3)",
        "kc.build_penalty_matrices_nd([40] * 6, [(0, 1)] * 6, 30)",
    ],
    "ols": ["kc.ols(X, y)", "kc.ols(X, y[:5])"],
    "fit_regularized_linear": [
        "kc.fit_regularized_linear(X, y, R1, R2, 0.1, 0.01)",
        "kc.fit_regularized_linear(X, y, R1, 'not a matrix', 0.1, 0.01)",
        "kc.fit_regularized_linear(X.tolist(), y, R1 * 1j, R2, 0.1, 0.01)",
    ],
    "gibbs_entropy": ["kc.gibbs_entropy(y, 0.5).H", "kc.gibbs_entropy([])"],
    "TournamentMCMC": ["kc.TournamentMCMC(n_chains=3, seed=7)", "kc.TournamentMCMC(seed=-1)"],
    "TournamentMCMC.fit": [
        "sampler.fit(X, y, R1, None, 0.1).gibbs.H",
        "sampler.fit(X, y[:5])",
    ],
}
# Each expression is evaluated 50 000 times, of which the last 45 000 are measured.
WARM_UP_CALLS = 5_000
MEASURED_CALLS = 45_000
# Leaking one heap block per call (glibc's smallest chunk is 32 bytes) would
# add 1.4 MiB over the measured calls; growth from the allocators' own
# bookkeeping stays within a few pages, and measures 0 on a sound build.
# Python objects are counted exactly: leaking one per call would add 45 000
# blocks, while the measurement itself accounts for a handful, and the caches
# that the interpreter fills as it goes for up to 138 seen on one clean run.
RESIDENT_GROWTH_BOUND = 512 << 10
BLOCK_GROWTH_BOUND = 1000


@pytest.fixture(scope="module")
def leak_runner():
    # Idle OpenMP workers sleep instead of spinning: 100 000 tiny fits then
    # take seconds, not minutes, on a busy machine. Leaks do not depend on it.
    environment = {"OMP_WAIT_POLICY": "PASSIVE"}
    with CallRunner(address_space=4 << 30, memory_budget=512 * MiB, timeout=120, environment=environment) as runner:
        yield runner


@pytest.mark.slow
@pytest.mark.skipif(running_under_asan(), reason="ASan keeps freed memory in quarantine, so resident size grows")
@pytest.mark.parametrize("entry", LEAK_CALLS)
def test_repeated_calls_do_not_leak(leak_runner, entry):
    for expression in LEAK_CALLS[entry]:
        growth = leak_runner.measure_repeated(LEAK_SETUP, expression, WARM_UP_CALLS, MEASURED_CALLS)
        assert growth["problem"] is None, f"{expression}: {growth['problem']}"
        assert growth["resident_growth"] <= RESIDENT_GROWTH_BOUND, (expression, growth)
        assert growth["block_growth"] <= BLOCK_GROWTH_BOUND, (expression, growth)


# ---------------------------------------------------------------- address-space limits

# Each script prints the outcome of a fit made under an address-space limit a
# little above what the process uses, then the result of the same fit without
# the limit, and must end normally.
LIMITED_PREAMBLE = """
import ctypes, os, resource, sys
def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
def threads():
    return len(os.listdir("/proc/self/task"))
def limited(fit, extra_bytes):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra_bytes, hard))
    try:
        return fit()
    except MemoryError:
        return "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""
# case: (OMP_NUM_THREADS, script)
LIMITED_FITS = {
    # Eight threads' stacks do not fit in 12 MiB: the fit runs on those it can
    # start. (The runtime that started the threads before ended the process.)
    "helper threads": (
        "8",
        """
        import numpy as np, korva_core as kc
        X = np.random.default_rng(0).normal(size=(2000, 6))
        y = X @ np.arange(6.0)
        before = threads()
        outcome = limited(lambda: kc.TournamentMCMC().fit(X, y).beta_mcmc.tobytes(), 12 << 20)
        started = threads() - before
        print(outcome if outcome == "MemoryError" else outcome.hex(), 0 < started < 7)
        print(kc.TournamentMCMC().fit(X, y).beta_mcmc.tobytes().hex())
    """,
    ),
    "estimator": (
        "8",
        """
        import numpy as np, korva
        fit = lambda: korva.PolynomialMDLRegressor(degree=2).fit(np.arange(50.0), np.arange(50.0) ** 2).coef_.tobytes()
        outcome = limited(fit, 12 << 20)
        print(outcome if outcome == "MemoryError" else outcome.hex(), True)
        print(fit().hex())
    """,
    ),
    # Every thread allocates from the one arena and large blocks by mmap, so
    # that the limit binds the helper as it binds the calling thread. On two
    # threads the calling thread takes the first group of elite entries (1 of
    # 3), which fits; the helper then needs 7 more vectors for the other two,
    # which do not, and fails inside its unit.
    "allocation in a refinement helper": (
        "2",
        """
        libc = ctypes.CDLL(None)
        assert libc.mallopt(-8, 1) and libc.mallopt(-3, 1 << 16)  # M_ARENA_MAX, M_MMAP_THRESHOLD
        import numpy as np, korva_core as kc
        k = 1 << 17
        X, y = np.random.default_rng(0).normal(size=(1, k)), np.ones(1)
        sampler = kc.TournamentMCMC(n_chains=3, n_warmup=0, n_deep=2, n_elite=3)
        sampler.fit(X, y)  # starts the helper
        vector = 8 * k + 4096
        # chains and elite (6), the calling thread's group (4), and 2 to spare
        outcome = limited(lambda: sampler.fit(X, y).beta_mcmc.tobytes(), 12 * vector)
        print(outcome if outcome == "MemoryError" else outcome.hex(), outcome == "MemoryError")
        print(sampler.fit(X, y).beta_mcmc.tobytes().hex())
    """,
    ),
}


@pytest.mark.skipif(running_under_asan(), reason="ASan reserves terabytes of address space")
@pytest.mark.parametrize("case", LIMITED_FITS)
def test_fit_under_an_address_space_limit(child_python, case):
    threads, script = LIMITED_FITS[case]
    child = child_python.run(
        "-c",
        LIMITED_PREAMBLE + textwrap.dedent(script),
        env=child_python.environment(OMP_NUM_THREADS=threads),
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    (limited_outcome, as_expected), unlimited = [line.split() for line in child.stdout.splitlines()]
    assert as_expected == "True", child.stdout
    assert limited_outcome in ("MemoryError", *unlimited), child.stdout


# A fit whose peak memory is beyond the room under the address-space limit (besides what its
# threads reserve: the first fit of the process) is refused with a
# ValueError before its work, in a small share of the time the fit takes; one on three eighths
# of the rows (an estimated peak of some 80 % of the room) fits under the same limit: the
# estimate is not far above the memory the fit takes, nor below it. Each case: the estimator's parameters, inputs,
# rows, and whether a third of the rows have weight 0.
LIMITED_ROOM = 384 * MiB
REFUSED_FITS = {
    "robust auto": ({"degree": "auto"}, 1, 3_000_000, False),
    "robust, three inputs": ({"degree": 3}, 3, 3_200_000, False),
    "robust, weights 0": ({"degree": 3}, 2, 4_000_000, True),
    "least squares auto": ({"degree": "auto", "method": "ols"}, 1, 2_000_000, False),
    "penalized, three inputs": ({"degree": 3, "method": "penalized", "gamma1": 1e-3}, 3, 1_000_000, False),
}
REFUSAL_SCRIPT = """
import json, time
import numpy as np, korva
params, n_inputs, n, zeros, room = json.loads(sys.argv[1])
rng = np.random.default_rng(0)
X = rng.uniform(-1.0, 1.0, (n, n_inputs))
y = X.sum(axis=1) ** 3 + rng.normal(0.0, 0.1, n)
weights = rng.integers(0, 3, n).astype(float) if zeros else None
def fit(rows):
    start = time.perf_counter()
    try:
        korva.PolynomialMDLRegressor(**params).fit(X[:rows], y[:rows], None if weights is None else weights[:rows])
        outcome = "fitted"
    except ValueError as error:
        outcome = "refused" if "RLIMIT_AS" in str(error) else repr(error)
    except MemoryError:
        outcome = "MemoryError"
    return outcome, time.perf_counter() - start
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + room, hard))
refused, refusal_seconds = fit(n)
smaller, _ = fit(n * 3 // 8)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps([refused, smaller, refusal_seconds, fit(n)[1]]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the room under the limit is read from /proc")
@pytest.mark.skipif(running_under_asan(), reason="ASan reserves terabytes of address space")
@pytest.mark.parametrize("case", REFUSED_FITS)
def test_a_fit_beyond_the_address_space_limit_is_refused_before_its_work(child_python, case):
    params, n_inputs, n, zeros = REFUSED_FITS[case]
    arguments = json.dumps([params, n_inputs, n, zeros, LIMITED_ROOM])
    child = child_python.run("-c", LIMITED_PREAMBLE + REFUSAL_SCRIPT, arguments, address_space=4 << 30, timeout=300)
    assert child.returncode == 0, child.stderr
    refused, smaller, refusal_seconds, fit_seconds = json.loads(child.stdout)
    assert (refused, smaller) == ("refused", "fitted"), child.stdout
    assert refusal_seconds < fit_seconds / 5, child.stdout


# ---------------------------------------------------------------- threads


def fingerprint(value):
    """An exactly comparable image of a result or of the exception raised."""
    if isinstance(value, BaseException):
        return type(value).__name__, str(value)
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (tuple, list)):
        return tuple(map(fingerprint, value))
    if isinstance(value, kc.GibbsResult):
        return tuple(fingerprint(getattr(value, name)) for name in ("H", "Hmax", "He", "r_heat", "var_E", "T"))
    if isinstance(value, kc.MCMCResult):
        parts = (value.beta_mcmc, value.energy, value.gibbs, value.n_chains, value.n_elite)
        return tuple(map(fingerprint, parts))
    return value


def outcome(task):
    try:
        return fingerprint(task())
    except Exception as exc:
        return fingerprint(exc)


def thread_tasks():
    """A mix of calls over inputs large enough that NumPy releases the GIL while copying them."""
    rng = np.random.default_rng(8)
    x = rng.uniform(-1, 1, 5000)
    y = np.sin(3 * x) + rng.normal(0, 0.1, x.size)
    X = kc.design_matrix_1d(5, x)
    R1, R2 = kc.smoothness_penalty_matrices_1d(5, -1.0, 1.0, 200)
    small_X, small_y = X[:60], y[:60]
    wide_X = rng.standard_normal((40, 20))
    sampler = kc.TournamentMCMC(n_chains=6, n_warmup=40, n_deep=40, n_elite=3, seed=11)
    return [
        lambda: kc.mad(y),
        lambda: kc.compute_sr(X @ np.ones(6), y, 0.2),
        lambda: kc.mdl_score(X @ np.ones(6), y, 6),
        lambda: kc.mdl_score_reg(X @ np.ones(6), y, 6, 20, np.ones(6), R1, R2, 0.1, 0.01),
        lambda: kc.design_matrix_1d(7, x),
        lambda: kc.smoothness_penalty_matrices_1d(6, -1.0, 1.0, 300),
        lambda: kc.boundary_reduce_1d(6, -1.0, 1.0),
        lambda: kc.design_matrix_nd([[0, 0], [1, 0], [2, 1], [3, 3]], [x, y]),
        lambda: kc.build_penalty_matrices_nd([2, 2], [(-1.0, 1.0), (0.0, 2.0)], 12),
        lambda: kc.ols(X, y),
        lambda: kc.ols(wide_X, np.arange(40.0)),
        lambda: kc.fit_regularized_linear(X, y, R1, R2, 1e-3, 1e-4),
        lambda: kc.gibbs_entropy(y[:500], 0.3),
        lambda: sampler.fit(small_X, small_y),
        lambda: sampler.fit(small_X, small_y, R1, R2, 0.01, 0.001),
        lambda: kc.TournamentMCMC(n_chains=3, n_warmup=20, n_deep=20, seed=5).fit(small_X[:, :3], small_y),
        # large enough for both phases to run on helper threads
        lambda: kc.TournamentMCMC(n_chains=6, n_warmup=60, n_deep=120, n_elite=3, seed=3).fit(X, y),
        lambda: kc.ols(X, y[:10]),  # ValueError: its message must not mix with other threads'
        lambda: kc.design_matrix_nd([[1, 1]], [x]),
    ]


THREADS = 8
ROUNDS = 4


def test_threads_give_the_serial_results():
    tasks = thread_tasks()
    serial = [outcome(task) for task in tasks]
    start = threading.Barrier(THREADS)

    def worker(seed):
        order = [i for i in range(len(tasks)) for _ in range(ROUNDS)]
        random.Random(seed).shuffle(order)
        start.wait()
        return [(i, outcome(tasks[i])) for i in order]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter can
    try:
        with ThreadPoolExecutor(max_workers=THREADS) as pool:
            runs = list(pool.map(worker, range(THREADS)))
    finally:
        sys.setswitchinterval(interval)
    differing = sorted({i for run in runs for i, result in run if result != serial[i]})
    assert not differing, f"tasks {differing} gave results that differ from the serial ones"
