"""Every entry point survives hostile input.

Each call runs in a child interpreter and must either return the documented
kind of result or raise ValueError, TypeError, MemoryError or RuntimeError
with a message (or pass on the exception a hostile argument raised itself).
A crash, a hang or a runaway allocation fails the test with the call that
caused it. pybind11 turns out-of-range integers into TypeError, never
OverflowError, so OverflowError is not allowed. `make fuzz` runs the same
calls at length.
"""

import json

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tests.fuzz_targets import ENTRY_POINTS, FUZZ_ADDRESS_SPACE, FUZZ_MEMORY_BUDGET
from tests.sandbox import Call, CallRunner

EXAMPLES_PER_ENTRY_POINT = 400

# Calls that crashed or hung the module, kept so that they are tried on every run.
# Each gets a fresh child: whether reading uninitialised memory crashes
# depends on what earlier calls left in the heap.
CRASHED_BEFORE = [
    # Eigen's SVDs give up on non-finite input without computing U, V or the
    # singular values, and solve() then read them uninitialised.
    Call("ols", "kc.ols", ("[[inf]]", "[1.0]")),
    Call("ols", "kc.ols", ("[[1.0, nan]]", "[1.0]")),
    Call("ols", "kc.ols", ("np.full((20, 20), nan)", "np.ones(20)")),
    Call("ols", "kc.ols", ("np.full((30, 20), inf)", "np.ones(30)")),
    # The same through the QR of a tall design, whose squared norms overflow
    # for finite entries of about 1e154 and more.
    Call("ols", "kc.ols", ("np.full((30, 20), 1e300)", "np.ones(30)")),
    Call("ols", "kc.ols", ("np.full((30, 2), 1e300)", "np.ones(30)")),
    # Hung: powers were once formed by a product chain as long as the exponent.
    Call("design_matrix_nd", "kc.design_matrix_nd", ("[[2**31 - 1]]", "[np.full(64, 0.5)]")),
]


def fuzz_runner():
    return CallRunner(address_space=FUZZ_ADDRESS_SPACE, memory_budget=FUZZ_MEMORY_BUDGET, timeout=10)


@pytest.fixture
def runner():
    # One child per entry point: some faults show only on a fresh heap.
    with fuzz_runner() as runner:
        yield runner


@pytest.mark.slow
@pytest.mark.parametrize("entry", ENTRY_POINTS)
@settings(
    max_examples=EXAMPLES_PER_ENTRY_POINT,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)
@given(data=st.data())
def test_hostile_calls_are_answered_or_refused(runner, entry, data):
    report = runner.run(data.draw(ENTRY_POINTS[entry], label="call"))
    assert report.problem is None, report.describe()


@pytest.mark.parametrize("call", CRASHED_BEFORE, ids=lambda call: call.source)
def test_calls_that_crashed_before(call):
    with fuzz_runner() as runner:
        report = runner.run(call)
    assert report.problem is None, report.describe()


def test_ols_of_a_tall_design_with_large_entries(child_python):
    # Like the last two calls above, with the answer checked: a tall design is
    # reduced by a QR that squares its entries, which overflows from about
    # 1e154 on; the result must still be the least-squares solution, not what
    # an SVD that gave up leaves uninitialised (zeros, NaN or a crash).
    code = (
        "import json, numpy as np, korva_core as kc\n"
        "A = np.random.default_rng(3).uniform(1.0, 2.0, (30, 2))\n"
        "print(json.dumps((kc.ols(1e300 * A, A @ [1.0, 2.0]) * 1e300).tolist()))\n"
    )
    child = child_python.run("-c", code, timeout=120)
    assert child.returncode == 0, child.stderr
    np.testing.assert_allclose(json.loads(child.stdout), [1.0, 2.0], rtol=1e-9)
