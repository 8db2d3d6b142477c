"""And, Or and Not: filter expressions that join conditions, allow-lists and
other expressions. They only hold their parts; ``_filters`` checks them when
a search takes them."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._types import Filter


class _Junction:
    __slots__ = ("conditions",)
    _name = ""

    def __init__(self, *conditions: Filter) -> None:
        if not conditions:
            raise ValueError(f"{self._name}() needs at least one condition")
        self.conditions: tuple[Filter, ...] = conditions

    def __repr__(self) -> str:
        return f"{self._name}({', '.join(map(repr, self.conditions))})"

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and self.conditions == other.conditions

    def __hash__(self) -> int:
        return hash((self._name, len(self.conditions)))

    def __reduce__(self) -> tuple[type[_Junction], tuple[Filter, ...]]:
        return type(self), self.conditions


class And(_Junction):
    """Holds when every one of its conditions holds: ``And(("color", "red"),
    ("size", "<", 3))``. Conditions, allow-lists and expressions nest."""

    __slots__ = ()
    _name = "And"


class Or(_Junction):
    """Holds when any one of its conditions holds."""

    __slots__ = ()
    _name = "Or"


class Not:
    """Holds when its condition is false for a vector that has metadata: a
    vector added without metadata matches neither a condition nor its
    negation, as it has no value to compare (an allow-list alone is known for
    every vector, so ``Not`` of one admits every other id)."""

    __slots__ = ("condition",)

    def __init__(self, condition: Filter) -> None:
        self.condition: Filter = condition

    def __repr__(self) -> str:
        return f"Not({self.condition!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Not) and self.condition == other.condition

    def __hash__(self) -> int:
        return hash("Not")

    def __reduce__(self) -> tuple[type[Not], tuple[Filter]]:
        return Not, (self.condition,)
