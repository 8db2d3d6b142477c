from collections.abc import Sequence
from typing import Any, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["GraphIndex"]

@type_check_only
class _Params(TypedDict):
    """The constructor's arguments as an index holds them."""

    dim: int
    metric: str
    dtype: str
    m: int
    ef_construction: int
    seed: int | None
    schema: list[str] | None
    quantization: str
    keep_vectors: bool

@final
class GraphIndex:
    """The native graph index behind hobrin_ann.Index; arguments are checked there."""

    def __new__(
        cls,
        dim: int,
        metric: str,
        dtype: str,
        m: int,
        ef_construction: int,
        seed: int | None,
        schema: Sequence[str] | None,
        quantization: str,
        keep_vectors: bool,
    ) -> GraphIndex: ...
    def add(
        self,
        vectors: npt.NDArray[Any],
        ids: npt.NDArray[np.int64] | None,
        ids_out: npt.NDArray[np.int64],
        metadata: Sequence[Sequence[tuple[str, Any]]] | None,
        threads: int,
    ) -> None: ...
    def search(
        self,
        queries: npt.NDArray[Any],
        k: int,
        ef: int,
        exact: bool,
        filter: tuple[Any, ...] | None,
        threads: int,
        labels: npt.NDArray[np.int64],
        distances: npt.NDArray[Any],
        rerank: int,
    ) -> None: ...
    def contains(self, id: int) -> bool: ...
    def contains_many(self, ids: npt.NDArray[np.int64], found: npt.NDArray[np.bool_]) -> None:
        """Whether the index holds each id, into found."""
    def check_metadata(self, metadata: Sequence[Sequence[tuple[str, Any]]], count: int) -> None:
        """Raises what add raises for these rows."""
    def check_filter(self, filter: tuple[Any, ...] | None) -> None:
        """Raises what search raises for this filter: a node ("cond", name,
        op, [values]), ("ids", ids), ("and", [nodes]), ("or", [nodes]) or
        ("not", node)."""
    def within(self, rows: npt.NDArray[Any], limit: float) -> bool:
        """Whether every value is finite and at most limit in magnitude."""
    def get(self, ids: npt.NDArray[np.int64], out: npt.NDArray[Any]) -> None: ...
    def size(self) -> int: ...
    def linked(self) -> int:
        """Rows linked so far by the running add."""
    def nbytes(self) -> int: ...
    def mapped(self) -> int:
        """1 when the index lies in a mapped file and is read-only."""
    def remove(self, ids: npt.NDArray[np.int64], threads: int) -> None: ...
    def upsert(
        self,
        vectors: npt.NDArray[Any],
        ids: npt.NDArray[np.int64],
        metadata: Sequence[Sequence[tuple[str, Any]]] | None,
        threads: int,
    ) -> None: ...
    def update_metadata(
        self, ids: npt.NDArray[np.int64], metadata: Sequence[Sequence[tuple[str, Any]]]
    ) -> None: ...
    def compact(self, threads: int) -> GraphIndex: ...
    def params(self) -> _Params:
        """The constructor's arguments, keyed by their names."""
    def save(self, path: str | bytes, ef_search: int) -> None: ...
    def to_bytes(self, ef_search: int) -> bytes: ...
    @staticmethod
    def load(path: str | bytes, mmap: bool, verify: bool) -> tuple[GraphIndex, int]:
        """An index and its ef_search from a file."""
    @staticmethod
    def estimate_nbytes(
        dim: int, dtype: str, m: int, count: int, quantization: str, keep_vectors: bool
    ) -> int:
        """nbytes of an index of count vectors added at once."""
    @staticmethod
    def from_bytes(data: bytes | bytearray | memoryview) -> tuple[GraphIndex, int]:
        """An index and its ef_search from bytes."""
