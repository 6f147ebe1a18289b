"""korva: robust polynomial fitting judged by a hit-rate MDL score."""

from pkgutil import extend_path
from typing import Any

# The compiled korva._robust is installed into the package's directory; a source tree of
# the package first on the path (as in its test runs) finds it there too.
__path__ = extend_path(__path__, __name__)

from korva._cpu import require_cpu_features

# Before the extension is loaded: on a CPU without its instruction sets the first
# AVX2 instruction would end the interpreter instead of raising.
require_cpu_features()

try:
    import korva_core
except ImportError as exc:  # pragma: no cover - only without a built extension
    raise ImportError(
        "korva_core, the compiled part of korva, could not be imported. "
        "Build and install it with `make test` or `pip install .` (Python 3.12 only)."
    ) from exc

from korva.diagnostics import Diagnostics  # noqa: E402 - after the CPU check above
from korva.estimator import (  # noqa: E402
    DataConversionWarning,
    FitWarning,
    GibbsStatistics,
    NotFittedError,
    PolynomialMDLRegressor,
    robust_r2,
)
from korva.groups import fit_groups, predict_groups  # noqa: E402
from korva.plotting import plot_diagnostics, plot_fit  # noqa: E402


def __getattr__(name: str) -> Any:
    # The version is looked up among the installed distributions when first asked for, not
    # on import: importing importlib.metadata and the lookup took 40 ms of each fit_groups
    # worker's start (a third of it), and workers never ask.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = found = version("korva")
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "DataConversionWarning",
    "Diagnostics",
    "FitWarning",
    "GibbsStatistics",
    "NotFittedError",
    "PolynomialMDLRegressor",
    "fit_groups",
    "korva_core",
    "plot_diagnostics",
    "plot_fit",
    "predict_groups",
    "robust_r2",
]
