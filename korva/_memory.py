"""The memory a fit needs at its peak, estimated before any array as long as the data is made,
against the memory this process can still have."""

from __future__ import annotations

import math
import os
import sys
from dataclasses import dataclass
from typing import Protocol

if sys.platform != "win32":
    import resource

from korva import bases, robust

# Fits estimated to need up to this much memory are left to the allocator; larger ones are
# checked against the memory available before any array as long as the data is made.
UNCHECKED_FIT_BYTES = 16 << 20
# The peak memory of a fit in arrays as long as its rows, besides its design and the fitted
# values that degree="auto" keeps (see _peak_fit_bytes), as measured on fits of 1e6 rows:
# the residuals and the temporaries of the scale, the weights of the last reweighting, the
# description lengths of degree="auto"; the weights' scaled copy and the bisquare weights
# times them. MEMORY_MARGIN covers the allocator and the estimate's rounding.
FIT_TRANSIENT_COLUMNS = 3
CHOICE_COLUMNS = 4
WEIGHT_COLUMNS = 2
MEMORY_MARGIN = 1.125
# The address space that the first fit of a process reserves without touching it, which a
# limit on the address space counts: the stacks and malloc arenas of the worker threads and
# the BLAS buffers (177 MiB on two cores).
THREAD_ADDRESS_SPACE = 192 << 20
# The elemental starts hold each subset's rows, its normal equations and their elimination.
ELEMENTAL_BATCHES = 4
# The concentration of the finalists returns, for each, the weight every searched row keeps:
# the search's three starts and the elemental finalists.
CONCENTRATED_STARTS = 3 + robust.ELEMENTAL_FINALISTS


class FitKind(Protocol):
    """What of a fit's settings its memory depends on."""

    @property
    def uses_search(self) -> bool: ...

    @property
    def robust_stages(self) -> bool: ...

    @property
    def max_search_samples(self) -> int: ...


@dataclass(frozen=True)
class FitRows:
    """The rows a fit's memory grows with: those it fits, those of weight 0 beside them, and
    whether it is weighted."""

    fitted: int
    absent: int
    weighted: bool


def available_memory() -> tuple[int, str]:
    """Bytes this process can still allocate, and what bounds them: the memory the system can
    give it now (MemAvailable, else the physical memory), or the room left under its limit on
    the address space (RLIMIT_AS) or on its data (RLIMIT_DATA), whichever is least."""
    bounds = [(_system_memory(), "of memory available")]
    if sys.platform != "win32":
        in_use = _process_memory()
        for limit, used, reserved, name in (
            (resource.RLIMIT_AS, "VmSize", THREAD_ADDRESS_SPACE, "left under the address-space limit (RLIMIT_AS)"),
            (resource.RLIMIT_DATA, "VmData", 0, "left under the data limit (RLIMIT_DATA)"),
        ):
            soft = resource.getrlimit(limit)[0]
            if soft != resource.RLIM_INFINITY and used in in_use:
                bounds.append((max(soft - in_use[used] - reserved, 0), name))
    return min(bounds)


def _system_memory() -> int:
    """Bytes the system can give this process now (MemAvailable), else the physical memory."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return 2**63


def _process_memory() -> dict[str, int]:
    """This process's address space (VmSize) and data (VmData) in bytes, where the system
    tells them (Linux); empty elsewhere."""
    try:
        with open("/proc/self/status") as status:
            return {
                line.split(":")[0]: int(line.split()[1]) * 1024
                for line in status
                if line.startswith(("VmSize:", "VmData:"))
            }
    except OSError:
        return {}


def check(
    fit: FitKind, n_terms: int, n_candidates: int, power_columns: int, n_inputs: int, rows: FitRows, what: str
) -> None:
    """Refuse a fit whose peak memory, estimated by _peak_fit_bytes, exceeds the memory available."""
    needed = _peak_fit_bytes(fit, n_terms, n_candidates, power_columns, n_inputs, rows)
    if needed <= UNCHECKED_FIT_BYTES:
        return
    available, bound = available_memory()
    if needed > available:
        raise ValueError(
            f"{what} has {n_terms} terms: its fit on {rows.fitted} samples needs about "
            f"{needed / 2**30:.2f} GiB at its peak, more than the {available / 2**30:.2f} GiB {bound}; "
            "fit fewer samples or a smaller basis"
        )


def _peak_fit_bytes(
    fit: FitKind, n_terms: int, n_candidates: int, power_columns: int, n_inputs: int, rows: FitRows
) -> int:
    """The most memory a fit holds at once, for the largest of ``n_candidates`` bases (with
    ``n_terms`` terms and ``power_columns`` kept powers of the inputs where its design is
    formed as it is read), counted in arrays as long as the rows fitted.

    Every fit holds y standardised and the inputs mapped; weighted, the weights it counts,
    and with rows of weight 0 a copy of the rest. A stored design is held twice at the
    peak (the scale floor takes its magnitudes); a formed one holds its powers. Each
    candidate of degree="auto" keeps its fitted values for the choice. The robust fit's
    starts add batches of k x k systems, copies of the searched rows and the weights each
    finalist keeps on them, and its reweighting over a formed design the random parts of
    the rows it starts on.
    """
    n = rows.fitted
    columns = 1 + n_inputs + FIT_TRANSIENT_COLUMNS
    if rows.weighted:
        columns += WEIGHT_COLUMNS + (n_inputs + 3 if rows.absent else 0)
    search_rows = min(n, int(fit.max_search_samples)) if fit.uses_search else 0
    formed = fit.robust_stages and search_rows < n and n >= bases.FORMED_DESIGN_ROWS
    fixed = 0
    if fit.uses_search:
        fixed = ELEMENTAL_BATCHES * robust.random_subsets(n_terms) * n_terms * n_terms + 3 * search_rows * n_terms
        fixed += CONCENTRATED_STARTS * search_rows
    if formed:
        columns += n_candidates + power_columns
        if n_candidates > 1:
            columns += CHOICE_COLUMNS
        # The reweighting over every row starts on random parts of them, stored.
        middle = robust.MIDDLE_ROWS_PER_TERM * n_terms * n_terms
        middle = middle if robust.MIDDLE_SHARE_BEYOND * middle <= n else 0
        slope = min(max(robust.SLOPE_ROWS, robust.SLOPE_ROWS_PER_TERM * n_terms), n // robust.SLOPE_SHARE_BEYOND)
        fixed += (middle + slope) * (n_terms + 2)
    else:
        columns += n_candidates - 1 + 2 * n_terms
    doubles = columns * n + fixed + rows.absent
    return math.ceil(MEMORY_MARGIN * 8 * doubles)
