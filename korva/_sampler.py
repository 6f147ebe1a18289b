"""The fixed numbers of korva_core's tournament sampler, for Python code that models it.

They are defined in korva/_native/sampler_constants.hpp; each name here is the C++
name without its ``k`` and in upper case (``kWarmUpCooling`` is ``WARM_UP_COOLING``).
tests/test_ensemble.py checks that both agree.
"""

from __future__ import annotations

from typing import Final

# A hit is a residual below HIT_TOLERANCE * mad(y), or below HIT_TOLERANCE when mad(y) is 0.
HIT_TOLERANCE: Final = 0.4

# Warm-up: chain c is seeded with seed + WARM_UP_SEED_STRIDE * c, starts from
# N(0, START_SPREAD^2) coefficients at WARM_UP_START_TEMPERATURE, cooled by
# WARM_UP_COOLING per iteration.
WARM_UP_SEED_STRIDE: Final = 1000
START_SPREAD: Final = 0.5
WARM_UP_START_TEMPERATURE: Final = 2.0
WARM_UP_COOLING: Final = 0.995

# Elite: a chain farther than this from every chosen entry joins as a diverse one.
ELITE_SEPARATION: Final = 0.1

# Refinement: entry e is seeded with seed + REFINE_SEED_OFFSET + REFINE_SEED_STRIDE * e,
# steps REFINE_STEP_SHARE times the step size, starts at REFINE_HEAT_SHARE times the
# warm-up's r_heat and cools by REFINE_COOLING per step.
REFINE_SEED_OFFSET: Final = 7777
REFINE_SEED_STRIDE: Final = 13
REFINE_STEP_SHARE: Final = 0.3
REFINE_HEAT_SHARE: Final = 0.5
REFINE_COOLING: Final = 0.9997
