from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

__all__ = ["PyFlat", "PyHNSW"]

# A vector: numbers (anything float() or an integer index accepts), or an
# array of float64 / float32 values.
_Number: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = Sequence[_Number] | Buffer
_Vectors: TypeAlias = Sequence[_Vector] | Buffer
# Stored as text, else as a 64-bit integer, else as a float.
_MetadataValue: TypeAlias = str | SupportsIndex | SupportsFloat
_Metadata: TypeAlias = Sequence[tuple[str, _MetadataValue]]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None: ...
    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]: ...
    def create(self, vectors: _Vectors) -> None: ...

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None: ...
    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: tuple[str, _MetadataValue] | None = None
    ) -> list[tuple[float, list[float]]]: ...
    def create(self, vectors: _Vectors, metadata: Sequence[_Metadata] | None = None) -> None: ...
