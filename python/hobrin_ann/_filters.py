"""Filters of a search, put into the form the core reads: one expression
node, ("cond", name, op, [values]), ("ids", array), ("and", [nodes]),
("or", [nodes]) or ("not", node), checked here with errors that name what is
wrong."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ._arguments import _ids
from ._expressions import And, Not, Or
from ._types import Filter

# The operators a condition takes, numbered as the core numbers them.
_OPERATORS = {"==": 0, "!=": 1, "<": 2, "<=": 3, ">": 4, ">=": 5, "in": 6, "not in": 7, "between": 8}
_ORDERINGS = {"<", "<=", ">", ">=", "between"}
MAX_DEPTH = 32  # levels of nesting, the condition itself included
MAX_VALUES = 65536  # values of one 'in' or 'not in'
_SEQUENCES = (list, tuple, set, frozenset, np.ndarray)


def _filter_query(filter: Filter) -> tuple[Any, ...]:
    """A filter in the form the core reads. An empty list or range is an
    allow-list of no ids, which matches nothing: a filter never widens a
    search, and only ``None`` means no filter."""
    return _node(filter, 1)


def _is_id_list(item: object) -> bool:
    if isinstance(item, (np.ndarray, range)):
        return True
    if not isinstance(item, list):
        return False
    # The types present, gathered in C: a long allow-list is then checked in
    # a fraction of the time a loop over its items would take.
    return all(issubclass(t, (int, np.integer)) and not issubclass(t, bool) for t in set(map(type, item)))


def _node(item: object, depth: int) -> tuple[Any, ...]:
    if depth > MAX_DEPTH:
        raise ValueError(f"filter: nested more than {MAX_DEPTH} levels deep")
    if _is_id_list(item):
        return ("ids", _ids(item, -1, "filter"))  # type: ignore[arg-type]
    if isinstance(item, tuple):
        return _condition(item)
    if isinstance(item, (And, Or)) or isinstance(item, list):
        parts = item.conditions if isinstance(item, (And, Or)) else item
        if not parts:
            raise ValueError(f"filter: {type(item).__name__} needs at least one condition")
        kind = "or" if isinstance(item, Or) else "and"
        return (kind, [_node(part, depth + 1) for part in parts])
    if isinstance(item, Not):
        return ("not", _node(item.condition, depth + 1))
    raise TypeError(
        "filter: expected (name, value), (name, [values]), (name, op, value), And, Or, Not,"
        f" a list of conditions, or an array of ids; got {type(item).__name__}"
    )


def _condition(item: tuple[Any, ...]) -> tuple[Any, ...]:
    if len(item) not in (2, 3) or not isinstance(item[0], str):
        raise TypeError(f"filter: a condition is (name, value) or (name, op, value), got {item!r}")
    name = item[0]
    if len(item) == 2:
        op = "in" if isinstance(item[1], _SEQUENCES) else "=="
    else:
        op = item[1]
        if not isinstance(op, str) or op not in _OPERATORS:
            raise ValueError(
                f"filter on {name!r}: unknown operator {op!r}; expected one of {list(_OPERATORS)}"
            )
    return ("cond", name, _OPERATORS[op], _operands(name, op, item[-1]))


def _operands(name: str, op: str, value: object) -> list[Any]:
    if op in ("in", "not in"):
        if not isinstance(value, _SEQUENCES):
            raise TypeError(f"filter on {name!r}: {op!r} takes a list of values, got {type(value).__name__}")
        values = list(np.asarray(value).ravel()) if isinstance(value, np.ndarray) else list(value)
        if len(values) > MAX_VALUES:
            raise ValueError(f"filter on {name!r}: {op!r} lists {len(values)} values, at most {MAX_VALUES}")
    elif op == "between":
        if not isinstance(value, (list, tuple)) or len(value) != 2:
            raise ValueError(f"filter on {name!r}: 'between' takes (low, high), got {value!r}")
        values = list(value)
    else:
        if isinstance(value, _SEQUENCES):
            raise TypeError(f"filter on {name!r}: {op!r} takes one value; use 'in' or 'not in' for several")
        values = [value]
    for v in values:
        if not isinstance(v, (str, int, float, np.integer, np.floating)):
            raise TypeError(f"filter value for {name!r} must be a str, int or float, got {type(v).__name__}")
    if op in _ORDERINGS:
        if len({isinstance(v, str) for v in values}) > 1:
            raise TypeError(f"filter on {name!r}: 'between' cannot compare text with numbers: {value!r}")
        if any(not isinstance(v, str) and math.isnan(v) for v in values):
            raise ValueError(f"filter on {name!r}: {op!r} has a NaN bound, which orders with nothing")
    return values
