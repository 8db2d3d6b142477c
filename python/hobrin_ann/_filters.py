"""Filters of a search, put into the form the core reads: conditions on
metadata values, or an allow-list of ids."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arguments import _ids
from ._types import Filter


def _is_condition(item: object) -> bool:
    return isinstance(item, tuple) and len(item) == 2 and isinstance(item[0], str)


def _filter_query(filter: Filter) -> tuple[list[tuple[str, list[Any]]], npt.NDArray[np.int64] | None]:
    """A filter in the form the core reads: (conditions, allow-list). An empty
    list or range is an allow-list of no ids, which matches nothing: a filter
    never widens a search, and only ``None`` means no filter."""
    if isinstance(filter, np.ndarray) or (
        isinstance(filter, (list, range))
        and all(isinstance(i, int) and not isinstance(i, bool) for i in filter)
    ):
        return [], _ids(filter, -1, "filter")
    conditions: list[Any] = [filter] if _is_condition(filter) else filter  # type: ignore[assignment]
    if not isinstance(conditions, list) or not all(_is_condition(c) for c in conditions):
        raise TypeError(
            "filter: expected (name, value), (name, [values]), a list of such conditions, or an array of ids"
        )
    return [
        (name, _by_value(v if isinstance(v, (list, tuple, set, frozenset)) else [v]))
        for name, v in conditions
    ], None


def _by_value(values: Any) -> list[Any]:
    """Filter values with their twins of the other number kind: the index
    stores integers and floats apart, and a filter compares numbers by value,
    so 1.0 (often an np.float64 from a computation) also matches the integer
    1, and 1 the float 1.0. A number with no equal of the other kind (1.5,
    2**53 + 1) has no twin."""
    out = []
    for value in values:
        out.append(value)
        if isinstance(value, float | np.floating):
            if math.isfinite(value) and float(value).is_integer() and -(2**63) <= value < 2**63:
                out.append(int(value))
        elif isinstance(value, int | np.integer):
            number = int(value)
            if -(2**1023) < number < 2**1023 and float(number) == number:
                out.append(float(number))
    return out
