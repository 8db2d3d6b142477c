"""The read-only parameters an index was made with, written once for
``hobrin_ann.Index`` and ``hobrin_ann.ray.ShardedIndex`` (whose shards are all
made with them)."""

from __future__ import annotations

from typing import ClassVar, Literal, cast

from ._types import Quantization


class IndexParameters:
    """Properties over the attributes that the index sets when it is made."""

    QUANTIZATIONS: ClassVar[tuple[Quantization, ...]] = (None, "float16", "int8", "int4", "qgraph")
    """Every value that ``quantization`` takes, ``None`` (the vectors themselves)
    first, so that tools and benchmarks can go through them all."""

    _dim: int
    _metric: str
    _dtype_name: str
    _m: int
    _ef_construction: int
    _schema: tuple[str, ...] | None
    _seed: int | None
    _quantization: str | None
    _keep_vectors: bool

    def _take_parameters(self, other: IndexParameters) -> None:
        """Takes the parameters of ``other`` (an index made with them) as its own."""
        for name in IndexParameters.__annotations__:
            setattr(self, name, getattr(other, name))

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> Literal["euclidean", "cosine", "inner_product"]:
        return cast(Literal["euclidean", "cosine", "inner_product"], self._metric)

    @property
    def dtype(self) -> Literal["float32", "float64"]:
        return cast(Literal["float32", "float64"], self._dtype_name)

    @property
    def m(self) -> int:
        return self._m

    @property
    def ef_construction(self) -> int:
        return self._ef_construction

    @property
    def schema(self) -> tuple[str, ...] | None:
        return self._schema

    @property
    def seed(self) -> int | None:
        """The seed of the level draws given at construction; None when the
        system chose one."""
        return self._seed

    @property
    def quantization(self) -> Quantization:
        """The codes the graph walk reads: None (the vectors), "float16", "int8" or "int4"."""
        return cast(Quantization, self._quantization)

    @property
    def keep_vectors(self) -> bool:
        """Whether the full vectors are kept beside the codes (always, without codes)."""
        return self._keep_vectors
