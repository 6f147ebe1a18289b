"""Long fuzz run of every entry point of korva_core and korva._robust (`make fuzz`).

Draws hostile calls from tests/fuzz_targets.py and runs them in a child
interpreter (tests/sandbox.py), by default 7500 per entry point, over
100 000 in all. Prints how each entry point answered and every call that
crashed, hung, ran away with memory, raised an exception it must not raise
or returned something other than its documented result; exits with status 1
if there was any.

    python -m scripts.fuzz [--calls-per-entry-point N] [--seed S] [ENTRY ...]

from the top of the repository, where the tests package is importable.
"""

from __future__ import annotations

import argparse
import collections
import sys
import time

from hypothesis import HealthCheck, Phase, given, seed, settings

from tests.fuzz_targets import ENTRY_POINTS, FUZZ_ADDRESS_SPACE, FUZZ_MEMORY_BUDGET
from tests.sandbox import Call, CallRunner, Report

SHOWN_FAILURES_PER_ENTRY_POINT = 5
# Some faults (reads of uninitialised memory) show only on a fresh heap.
FRESH_CHILD_EVERY = 1000


def fuzz_entry_point(runner: CallRunner, entry: str, calls: int, random_seed: int) -> list[Report]:
    """Runs `calls` fuzzed calls of one entry point and returns them all.

    Failures are collected rather than raised, so the run goes on after one
    and nothing is shrunk: each failing call is already a small reproducer.
    """
    reports: list[Report] = []

    @seed(random_seed)
    @settings(
        max_examples=calls,
        database=None,
        deadline=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(call=ENTRY_POINTS[entry])
    def run(call: Call) -> None:
        if len(reports) % FRESH_CHILD_EVERY == 0:
            runner.close()  # the next call starts a new child
        reports.append(runner.run(call))

    run()
    return reports


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls-per-entry-point", type=int, default=7500)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("entries", nargs="*", metavar="ENTRY", help="entry points to fuzz (default: all)")
    options = parser.parse_args()
    entries = options.entries or list(ENTRY_POINTS)
    if unknown := set(entries) - set(ENTRY_POINTS):
        parser.error(f"unknown entry points {sorted(unknown)}; known are {list(ENTRY_POINTS)}")

    print(f"fuzzing with seed {options.seed}", flush=True)
    failures: list[Report] = []
    total = 0
    start = time.monotonic()
    with CallRunner(address_space=FUZZ_ADDRESS_SPACE, memory_budget=FUZZ_MEMORY_BUDGET, timeout=10) as runner:
        for entry in entries:
            reports = fuzz_entry_point(runner, entry, options.calls_per_entry_point, options.seed)
            outcomes = collections.Counter(report.outcome for report in reports)
            failed = [report for report in reports if report.problem is not None]
            failures += failed
            total += len(reports)
            summary = ", ".join(f"{outcome} {count}" for outcome, count in outcomes.most_common())
            print(f"{entry:32} {len(reports):7} calls, {len(failed)} failed  ({summary})", flush=True)
            for report in failed[:SHOWN_FAILURES_PER_ENTRY_POINT]:
                print("    " + report.describe().replace("\n", "\n    "))

    crashes = sum(report.outcome == "crashed" for report in failures)
    print(
        f"\n{total} calls in {time.monotonic() - start:.0f} s: {crashes} crashes, {len(failures)} failed calls in all"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
