"""The instruction-set extensions korva_core is compiled for, checked before it loads.

korva_core is built with AVX2 and FMA instructions; on a CPU without them its first
such instruction would kill the interpreter with SIGILL. Linux lists the extensions the
CPU and the kernel both support in the ``flags`` line of /proc/cpuinfo.
"""

from __future__ import annotations

from pathlib import Path

REQUIRED_FEATURES = ("avx2", "fma")
CPUINFO = Path("/proc/cpuinfo")


def missing_cpu_features(cpuinfo: Path = CPUINFO) -> list[str]:
    """The required extensions missing from the first ``flags`` line of ``cpuinfo``.

    Where the file cannot be read or lists no flags (not Linux on x86-64), nothing can be
    told and nothing is reported missing.
    """
    try:
        text = cpuinfo.read_text(errors="replace")
    except OSError:
        return []
    for line in text.splitlines():
        name, _, value = line.partition(":")
        if name.strip() == "flags":
            flags = set(value.split())
            return [feature for feature in REQUIRED_FEATURES if feature not in flags]
    return []


def require_cpu_features(cpuinfo: Path = CPUINFO) -> None:
    """Raise ImportError when the CPU lacks an extension korva_core is compiled for."""
    missing = missing_cpu_features(cpuinfo)
    if missing:
        raise ImportError(
            "korva needs a CPU with the AVX2 and FMA instruction sets (Intel Haswell, "
            "AMD Excavator or newer x86-64 processors); this CPU lacks "
            f"{' and '.join(feature.upper() for feature in missing)}, so korva_core "
            "cannot run here."
        )
