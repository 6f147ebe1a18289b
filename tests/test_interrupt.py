"""Ctrl-C stops long calls promptly and leaves the interpreter usable.

Every call holds the GIL, so the interrupt comes from outside the process,
as it does from a terminal.
"""
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SCRIPT = textwrap.dedent(
    """
    import numpy as np
    import korva_core as kc

    rng = np.random.default_rng(1)
    X = rng.normal(size=(2000, 8))
    y = X @ rng.normal(size=8)
    print("started", flush=True)
    try:
        {call}
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print("usable", kc.mad([1.0, 2.0, 3.0]), flush=True)
    """
)

LONG_CALLS = {
    "warm-up": "kc.TournamentMCMC(n_chains=4, n_warmup=10**9, n_deep=0).fit(X, y)",
    "deep phase": "kc.TournamentMCMC(n_chains=2, n_warmup=0, n_deep=10**9).fit(X, y)",
    # Eight entries on several threads; their starting temperatures take a tenth of a second.
    "refinement on a team": "kc.TournamentMCMC(n_chains=8, n_warmup=0, n_elite=8, n_deep=10**7).fit(X, y)",
    "penalty 1-D": "kc.smoothness_penalty_matrices_1d(8, 0.0, 1.0, 2**31 - 1)",
    "penalty N-D": "kc.build_penalty_matrices_nd([2] * 8, [(0.0, 1.0)] * 8, 30)",
}


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_interrupts_long_call(call):
    with subprocess.Popen(
        [sys.executable, "-c", SCRIPT.format(call=call)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    ) as child:
        try:
            assert child.stdout.readline() == "started\n"
            time.sleep(1.0)  # well inside the call
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            reply = child.stdout.readline()
            latency = time.perf_counter() - sent
            child.wait(timeout=30)
            # read through the same buffered stream as readline, which may hold the rest already
            rest, errors = child.stdout.read(), child.stderr.read()
        finally:
            child.kill()
    assert reply == "interrupted\n", errors
    assert latency < 0.5
    assert (rest, child.returncode) == ("usable 1.0\n", 0), errors
