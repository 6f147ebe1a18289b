"""The estimator's parameters checked from a table: one constraint per parameter, read by one function.

Each constraint refuses a value with the ValueError that names the parameter and says what
it must be. A rule over several parameters at once is a function of all of them.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from korva._data import MAX_COUNT, is_int


@dataclass(frozen=True)
class Count:
    """An int from ``lowest`` up to and including 2**31 - 1, or None where ``none_allowed``."""

    lowest: int
    none_allowed: bool = False

    def check(self, name: str, value: Any) -> None:
        if value is None and self.none_allowed:
            return
        if not is_int(value) or not self.lowest <= value <= MAX_COUNT:
            prefix = "None or " if self.none_allowed else ""
            raise ValueError(f"{name} must be {prefix}an int of at least {self.lowest} and below 2**31, got {value!r}")


@dataclass(frozen=True)
class Real:
    """A finite real number of at least 0, or above 0 where ``above_zero``."""

    above_zero: bool = False

    def check(self, name: str, value: Any) -> None:
        valid = isinstance(value, numbers.Real) and math.isfinite(value)
        if not valid or value < 0 or (self.above_zero and value == 0):
            bound = "above 0" if self.above_zero else "of at least 0"
            raise ValueError(f"{name} must be a finite number {bound}, got {value!r}")


@dataclass(frozen=True)
class OneOf:
    """One of the ``choices``."""

    choices: tuple[str, ...]

    def check(self, name: str, value: Any) -> None:
        if value not in self.choices:
            raise ValueError(f"{name} must be one of {', '.join(self.choices)}; got {value!r}")


@dataclass(frozen=True)
class Flag:
    """True or False (NumPy's bool too)."""

    def check(self, name: str, value: Any) -> None:
        if not isinstance(value, bool | np.bool_):
            raise ValueError(f"{name} must be True or False, got {value!r}")


@dataclass(frozen=True)
class Seed:
    """None, an int in [0, 2**64) or a NumPy generator of either kind."""

    def check(self, name: str, value: Any) -> None:
        is_generator = isinstance(value, np.random.RandomState | np.random.Generator)
        if value is not None and not is_generator and (not is_int(value) or not 0 <= value < 2**64):
            raise ValueError(
                f"{name} must be None, an int in [0, 2**64), a numpy.random.RandomState or a "
                f"numpy.random.Generator, got {value!r}"
            )


@dataclass(frozen=True)
class AgainstData:
    """Checked by the fitting stage, which knows the number of inputs and samples."""

    def check(self, name: str, value: Any) -> None:
        return


Constraint = Count | Real | OneOf | Flag | Seed | AgainstData


def check_parameters(
    params: Mapping[str, Any],
    constraints: Mapping[str, Constraint],
    joint_rules: tuple[Callable[[Mapping[str, Any]], None], ...] = (),
) -> None:
    """Refuse the first parameter, in the order of ``constraints``, that breaks its constraint,
    then the first of ``joint_rules`` (each raises for the parameters it refuses)."""
    for name, constraint in constraints.items():
        constraint.check(name, params[name])
    for rule in joint_rules:
        rule(params)
