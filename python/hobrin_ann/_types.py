"""The names and shapes that hobrin_ann's calls take, as types, so that a
type checker catches a misspelt metric, dtype or code, or a filter of the
wrong form."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt

from ._expressions import And, Not, Or

# The names the index takes, as types, so that a type checker catches a
# misspelt one.
Metric = Literal["euclidean", "cosine", "angular", "inner_product"]
DType = Literal["float32", "float64"] | type[np.floating[Any]] | np.dtype[Any]
Quantization = Literal["float16", "int8", "int4", "qgraph"] | None

MetadataValue = str | int | float
Operator = Literal["==", "!=", "<", "<=", ">", ">=", "in", "not in", "between"]
# (name, value) is ==, (name, [values]) is "in"; (name, op, value) takes any
# operator: one value for ==, != and the orderings, a list for "in" and
# "not in", (low, high) for "between".
Condition = (
    tuple[str, MetadataValue | Sequence[MetadataValue]]
    | tuple[str, Operator, MetadataValue | Sequence[MetadataValue]]
)
# A condition, And/Or/Not of filters, a list of conditions or expressions
# (all must hold), or an allow-list of ids (an array, list or range).
Expression = Condition | And | Or | Not
Filter = Expression | list[Condition] | list[Expression] | list[int] | range | npt.NDArray[np.integer[Any]]
# One row per vector of (name, value) pairs; a value may be a list or tuple
# of values (tags), which a condition matches when any one of them does.
Metadata = Sequence[Sequence[tuple[str, MetadataValue | Sequence[MetadataValue]]]]


class IndexOptions(TypedDict, total=False):
    """The keyword arguments of ``hobrin_ann.Index`` that every shard is built with."""

    dtype: DType
    m: SupportsIndex
    ef_construction: SupportsIndex
    ef_search: SupportsIndex
    schema: Sequence[str] | None
    seed: SupportsIndex | None
    quantization: Quantization
    keep_vectors: bool
