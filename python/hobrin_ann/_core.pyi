from collections.abc import Sequence
from typing import Any, final


import numpy as np
import numpy.typing as npt

__all__ = ["GraphIndex"]

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
        filter: tuple[Sequence[tuple[str, Sequence[Any]]], npt.NDArray[np.int64] | None] | None,
        threads: int,
        labels: npt.NDArray[np.int64],
        distances: npt.NDArray[Any],
    ) -> None: ...
    def contains(self, id: int) -> bool: ...
    def get(self, ids: npt.NDArray[np.int64], out: npt.NDArray[Any]) -> None: ...
    def size(self) -> int: ...
    def linked(self) -> int:
        """Rows linked so far by the running add."""
    def nbytes(self) -> int: ...
