from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

from typing_extensions import Buffer

__all__ = ["PyFlat", "PyHNSW"]

_T_co = TypeVar("_T_co", covariant=True)

# An array-like (a numpy array, say) with a length and items at integer
# positions. The indexes read its buffer directly when it holds float64 or
# float32 values and iterate it otherwise. NumPy types its arrays as buffers
# only from Python 3.12 on, so they are matched here on every version.
class _ArrayLike(Protocol[_T_co]):
    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

# A vector: numbers (anything float() or an integer index accepts), or an
# array of float64 / float32 values.
_Number: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = Sequence[_Number] | _ArrayLike[_Number] | Buffer
_Vectors: TypeAlias = Sequence[_Vector] | _ArrayLike[_Vector] | Buffer
# Stored as text, else as a 64-bit integer, else as a float.
_MetadataValue: TypeAlias = str | SupportsIndex | SupportsFloat
_Metadata: TypeAlias = Sequence[tuple[str, _MetadataValue]]

@final
class PyFlat:
    """Our Python-facing Flat index.

    A search ranks the raw metric value ascending: with "inner_product" (the
    dot product) or "cosine" (cosine similarity) the least similar vectors
    come first. Over [1, 0] and [-1, 0], ``search([1, 0], k=2)`` with
    "inner_product" gives [(1, -1.0), (0, 1.0)]. (``hobrin_ann.Index`` ranks
    1 - dot product instead, most similar first.)
    """

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None: ...
    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]: ...
    def create(self, vectors: _Vectors) -> None: ...

@final
class PyHNSW:
    """A graph index with typed metadata and equality filters.

    As in ``PyFlat``, a search ranks the raw metric value ascending: with
    "inner_product" (the dot product) or "angular" (cosine similarity) the
    least similar vectors come first; ``search`` returns (distance, vector)
    pairs, [(-1.0, [-1.0, 0.0]), (1.0, [1.0, 0.0])] for the query [1, 0] over
    [1, 0] and [-1, 0]. (``hobrin_ann.Index`` ranks 1 - dot product instead,
    most similar first.)
    """

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
