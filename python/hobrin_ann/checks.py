"""Argument checks that hobrin_ann and the layers built on it share, so that
every layer refuses a bad argument in the same words."""

from __future__ import annotations

import math
import operator
from typing import SupportsIndex

import numpy as np

__all__ = ["flag", "seconds", "whole_number"]


def flag(name: str, value: object) -> bool:
    """``value`` as a bool: only ``True``, ``False`` and numpy booleans are
    flags. Anything else (``"no"``, ``None``, ``[0]``, 1) raises TypeError
    naming the argument ``name``, rather than meaning what ``bool()`` makes
    of it."""
    if isinstance(value, bool | np.bool_):
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")


def whole_number(name: str, value: SupportsIndex, minimum: int) -> int:
    """``value`` as an int of at least ``minimum`` and below 2**63.

    Raises TypeError for a bool or a value that is not an integer, and
    ValueError, naming the argument ``name``, for one out of range."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    if number >= 2**63:
        raise ValueError(f"{name} is too large: {number}")
    return number


def seconds(name: str, value: float) -> float:
    """``value`` as a positive, finite number of seconds; ValueError naming ``name`` otherwise."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < math.inf:
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return float(value)
