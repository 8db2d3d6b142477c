"""hobrin_ann: approximate nearest-neighbour search over a layered graph that
scales to millions of vectors, with ids, numpy batches, threads, float32 and
metadata filters. See ``Index``."""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from importlib import metadata as _metadata
from typing import Any, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import (
    _METRICS,
    _check_codable,
    _count,
    _dtype_name,
    _first_bad_row,
    _ids,
    _links,
    _magnitude_limit,
    _quantization,
    _rerank_count,
    _unique_ids,
)
from ._expressions import And as And
from ._expressions import Not as Not
from ._expressions import Or as Or
from ._filters import _filter_query
from ._progress import run_with_progress
from ._types import Condition as Condition
from ._types import DType as DType
from ._types import Filter as Filter
from ._types import IndexOptions as IndexOptions
from ._types import Metadata as Metadata
from ._types import MetadataValue as MetadataValue
from ._types import Metric as Metric
from ._types import Operator as Operator
from ._types import Quantization as Quantization
from .checks import flag
from .parameters import IndexParameters

__all__ = ["Index", "__version__"]

try:
    __version__: str = _metadata.version("hobrin")
except _metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "0.0.0"


class _SearchArguments(NamedTuple):
    """A search's arguments as the core takes them."""

    rows: npt.NDArray[Any]
    single: bool
    k: int
    ef: int
    filter: Any
    threads: int
    exact: bool
    rerank: int


class Index(IndexParameters):
    """An approximate nearest-neighbour index over a hierarchical navigable
    small-world graph.

    ``metric`` is "euclidean", "cosine" (also "angular") or "inner_product".
    Searches return the nearest (most similar) first, with distances that
    ascend: the Euclidean distance, 1 - cosine similarity, or 1 - dot product.
    (``hobrin.PyFlat`` and ``hobrin.PyHNSW`` rank the raw dot product or
    cosine similarity instead, least similar first.) Over the vectors [1, 0]
    and [-1, 0], ``Index(2, "inner_product").search([1, 0], k=2)`` gives
    labels [0, 1] and distances [0.0, 2.0]; ``PyFlat(2, "inner_product")``
    gives [(1, -1.0), (0, 1.0)].
    Vectors are stored as ``dtype`` ("float32" or "float64"); with "cosine"
    they are stored scaled to unit length.

    ``quantization`` ("float16", "int8" or "int4"; default None) makes the
    graph walk, in build and search, read compact codes of the vectors:
    half-precision values, or 8-bit or 4-bit codes with an offset and a step
    of each vector's own (its least value, and its range over the levels), so
    that nothing is clamped and the codes do not depend on the order of adds.
    ``Index.QUANTIZATIONS`` lists the values. With ``keep_vectors=True`` (default)
    the full vectors are kept too, and a search re-scores the best
    candidates of its walk on them, so the distances it returns are exact.
    With ``keep_vectors=False`` only the codes are kept (a quarter of the
    memory of float32 rows for int8, an eighth for int4), distances are
    those of the codes, approximate, and ``get`` returns decoded vectors.

    ``quantization="qgraph"`` keeps the float32 vectors and, beside them, one
    block per vector holding a copy of it and 1-bit codes of its graph
    neighbours (after a random rotation), from which an unfiltered search
    scores all of a node's neighbours at once; every distance it returns is
    exact. It takes dtype "float32" and the "euclidean" and "cosine" metrics,
    with keep_vectors=True. The blocks are built by the first search after an
    add or a removal (searches that run while one links walk the graph as
    without them); filtered searches walk the graph as without them too.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        metric: Metric = "euclidean",
        *,
        dtype: DType = "float32",
        m: SupportsIndex = 16,
        ef_construction: SupportsIndex = 200,
        ef_search: SupportsIndex = 64,
        schema: Sequence[str] | None = None,
        seed: SupportsIndex | None = None,
        quantization: Quantization = None,
        keep_vectors: bool = True,
    ) -> None:
        dim = _count("dim", dim, 1)
        if not isinstance(metric, str) or metric not in _METRICS:
            names = ", ".join(repr(name) for name in _METRICS)
            raise ValueError(f"unknown metric {metric!r}: expected one of {names}")
        dtype_name = _dtype_name(dtype)
        m = _links(m)
        ef_construction = _count("ef_construction", ef_construction, 1)
        if schema is not None:
            if isinstance(schema, str) or not all(isinstance(name, str) for name in schema):
                raise TypeError("schema must be a sequence of attribute names (str)")
            schema = list(schema)
            if len(set(schema)) != len(schema):
                raise ValueError(f"schema names must be unique: {schema!r}")
        if seed is not None:
            seed = _count("seed", seed, 0)
        ef_search = _count("ef_search", ef_search, 1)
        codes = _quantization(quantization, keep_vectors)
        core = _core.GraphIndex(
            dim, _METRICS[metric], dtype_name, m, ef_construction, seed, schema, codes, keep_vectors
        )
        self._adopt(core, ef_search)

    def _adopt(self, core: _core.GraphIndex, ef_search: int) -> None:
        """Takes ``core`` as this index's, with the parameters it was built with."""
        params = core.params()
        dim, metric, schema, codes = params["dim"], params["metric"], params["schema"], params["quantization"]
        self._core = core
        self._dim = dim
        self._metric = metric
        self._dtype_name = params["dtype"]
        self._dtype = np.dtype(self._dtype_name)
        self._m = params["m"]
        self._ef_construction = params["ef_construction"]
        self._seed = params["seed"]
        self._schema = None if schema is None else tuple(schema)
        self._quantization = None if codes == "none" else codes
        self._keep_vectors = bool(params["keep_vectors"])
        # The largest magnitude a value may have. Cosine indexes scale rows to
        # unit length first: any finite value will do.
        finite = float(np.finfo(self._dtype).max)
        self._largest = finite if metric == "cosine" else _magnitude_limit(self._dtype, dim)
        self.ef_search = ef_search

    @classmethod
    def _from_core(cls, core: _core.GraphIndex, ef_search: int) -> Index:
        index = cls.__new__(cls)
        index._adopt(core, ef_search)
        return index

    @property
    def ef_search(self) -> int:
        """The default candidate list length of a search (at least k is used)."""
        return self._ef_search

    @ef_search.setter
    def ef_search(self, value: SupportsIndex) -> None:
        self._ef_search = _count("ef_search", value, 1)

    @property
    def nbytes(self) -> int:
        """Bytes held by the vectors, the links and the ids (not the metadata).
        For a memory-mapped index, the mapped file's pages are not counted."""
        return int(self._core.nbytes())

    @property
    def mapped(self) -> bool:
        """Whether the index was loaded with ``mmap=True``: its vectors and
        links lie in the file's pages, and it is read-only."""
        return bool(self._core.mapped())

    def _check_writable(self) -> None:
        if self.mapped:
            raise ValueError(
                "this index is memory-mapped and read-only: load it with mmap=False, or call compact(), "
                "for an index that add(), upsert() and remove() can change"
            )

    def __len__(self) -> int:
        return int(self._core.size())

    def __contains__(self, id: object) -> bool:
        if isinstance(id, bool):
            return False
        try:
            key = operator.index(id)  # type: ignore[arg-type]
        except TypeError:
            return False
        return 0 <= key < 2**63 and bool(self._core.contains(key))

    def contains_many(self, ids: npt.ArrayLike) -> npt.NDArray[np.bool_]:
        """Whether the index holds each of ``ids`` (removed ones no longer
        count), as a 1-D bool array; one id gives an array of one. The ids are
        read in one call under one lock, so an add in another thread is seen
        whole or not at all. They are checked as ``get`` checks them: a
        negative id raises ValueError, where ``in`` answers False."""
        id_array = _ids(ids, -1)
        found = np.empty(id_array.shape[0], dtype=np.bool_)
        self._core.contains_many(id_array, found)
        return found

    def __repr__(self) -> str:
        return (
            f"hobrin_ann.Index(dim={self._dim}, metric={self._metric!r}, dtype={self.dtype!r}, "
            f"m={self._m}, ef_construction={self._ef_construction}, ef_search={self._ef_search}, "
            + (
                ""
                if self._quantization is None
                else f"quantization={self._quantization!r}, keep_vectors={self._keep_vectors}, "
            )
            + f"size={len(self)})"
        )

    # ---- conversion ---------------------------------------------------------

    def _rows(self, values: npt.ArrayLike, name: str) -> tuple[npt.NDArray[Any], bool]:
        """Values as a C-ordered (n, dim) array of the index dtype, and whether
        a single 1-D vector was given."""
        try:
            array = np.asarray(values)
        except (ValueError, TypeError) as error:
            raise ValueError(
                f"{name}: expected an array of shape (n, {self._dim}) or ({self._dim},): {error}"
            ) from None
        if array.dtype.kind not in "fiu":
            raise TypeError(f"{name}: expected real numbers, got an array of dtype {array.dtype}")
        single = array.ndim == 1
        if single:
            array = array.reshape(1, -1)
        if array.ndim != 2 or array.shape[1] != self._dim:
            given = array.shape[1:] if single else array.shape
            raise ValueError(f"{name}: expected shape (n, {self._dim}) or ({self._dim},), got {given}")
        with np.errstate(over="ignore", invalid="ignore"):
            rows = np.ascontiguousarray(array, dtype=self._dtype)
        self._check_values(rows, name)
        return rows, single

    def _check_values(self, rows: npt.NDArray[Any], name: str) -> None:
        """Refuses NaN, infinity, and values so large that squared distances
        or dot products of rows would overflow the dtype: such rows could not
        be ranked. One pass decides for the usual batch, where all is well."""
        if rows.size == 0 or self._core.within(rows, self._largest):
            return
        bad = _first_bad_row(rows)
        if bad is not None:
            raise ValueError(f"{name}: row {bad} contains NaN or infinity (as {self.dtype})")
        limit = self._largest
        # Compared in float64, as the check above compares: in the dtype, the
        # limit could round up past a value it refused.
        row = int(np.argmax((np.abs(rows).astype(np.float64) > limit).any(axis=1)))
        raise ValueError(
            f"{name}: row {row} holds a value of magnitude {float(np.abs(rows[row]).max()):.3g}, above "
            f"{limit:.3g}, the most a {self._metric} index of {self.dtype} and dim {self._dim} can rank "
            "(its squared distances would overflow); scale the vectors down or use dtype='float64'"
        )

    def _batch(
        self, vectors: npt.ArrayLike, ids: npt.ArrayLike | None, metadata: Metadata | None
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64] | None]:
        """What ``add`` checks before its native call."""
        rows, _ = self._rows(vectors, "vectors")
        _check_codable(rows, self._quantization, self._metric)
        count = rows.shape[0]
        id_array = None if ids is None else _unique_ids(_ids(ids, count))
        if metadata is not None and (isinstance(metadata, str) or len(metadata) != count):
            raise ValueError(f"metadata: expected one row per vector ({count})")
        return rows, id_array

    def _search_arguments(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex,
        ef: SupportsIndex | None,
        filter: Filter | None,
        threads: SupportsIndex,
        exact: object,
        rerank: object,
    ) -> _SearchArguments:
        """What ``search`` checks before its native call, in the order it
        checks them. The core settles the ef a walk keeps (at least k, and
        the re-rank count where it applies)."""
        rows, single = self._rows(queries, "queries")
        count = _count("k", k, 1)
        candidates = self._ef_search if ef is None else _count("ef", ef, 1)
        query = None if filter is None else _filter_query(filter)
        workers = _count("threads", threads, 0)
        rescored = _rerank_count(rerank, count)
        scan = flag("exact", exact)
        return _SearchArguments(rows, single, count, candidates, query, workers, scan, rescored)

    # ---- checking ahead of a call -------------------------------------------
    # For code that prepares calls elsewhere (hobrin_ann.ray sends batches to
    # indexes in other processes): the same checks and errors as the calls.

    @staticmethod
    def check_ids(ids: npt.ArrayLike, *, unique: bool = False) -> npt.NDArray[np.int64]:
        """``ids`` as the index's methods take them, one integer or a 1-D
        array-like of integers, each non-negative and below 2**63, returned as
        a 1-D int64 array (one id gives an array of one). ``unique=True`` also
        refuses an id given twice, as ``add`` and ``remove`` do. Raises the
        TypeError or ValueError that ``get`` or ``remove`` would."""
        id_array = _ids(ids, -1)
        return _unique_ids(id_array) if unique else id_array

    def check_batch(
        self, vectors: npt.ArrayLike, ids: npt.ArrayLike | None = None, metadata: Metadata | None = None
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64] | None]:
        """Checks a batch for ``add`` without adding it.

        Raises what ``add`` raises for the same arguments before it changes
        anything: a wrong shape, values that are not real numbers or not
        finite in the index's dtype, ids that are negative, repeated or not
        one per vector, metadata rows that do not fit the schema. Left to
        ``add`` itself, as they depend on the index at that moment: ids
        already in it (``contains_many`` tells), and default ids running out.

        Returns the vectors as ``add`` hands them to the index, a C-ordered
        (n, dim) array of its dtype (one vector gives one row), and the ids as
        a 1-D int64 array, or None when none were given.
        """
        rows, id_array = self._batch(vectors, ids, metadata)
        if metadata is not None and rows.shape[0]:
            self._core.check_metadata(metadata, rows.shape[0])
        return rows, id_array

    def _metadata_ids(self, ids: npt.ArrayLike, metadata: Metadata) -> npt.NDArray[np.int64]:
        """What ``update_metadata`` checks before its native call."""
        id_array = _unique_ids(_ids(ids, -1))
        if isinstance(metadata, str) or len(metadata) != id_array.shape[0]:
            raise ValueError(f"metadata: expected one row per id ({id_array.shape[0]})")
        return id_array

    def check_metadata_update(self, ids: npt.ArrayLike, metadata: Metadata) -> npt.NDArray[np.int64]:
        """Checks the arguments of ``update_metadata`` without changing
        anything: raises what it raises for them (ids repeated or out of
        range, not one metadata row per id, a row outside the schema), but for
        ids not in the index, which ``contains_many`` tells. Returns the ids
        as a 1-D int64 array."""
        id_array = self._metadata_ids(ids, metadata)
        if id_array.shape[0]:
            self._core.check_metadata(metadata, id_array.shape[0])
        return id_array

    def check_search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex = 10,
        *,
        ef: SupportsIndex | None = None,
        filter: Filter | None = None,
        threads: SupportsIndex = 0,
        exact: bool = False,
        rerank: float | None = None,
    ) -> tuple[npt.NDArray[Any], bool]:
        """Checks the arguments of ``search`` without searching: raises what
        ``search`` raises for them (a wrong shape, values that are not finite,
        ``k``, ``ef`` or ``threads`` out of range, ``exact`` not a bool,
        ``rerank`` not a number of at least 1, a filter of the wrong form or
        naming an attribute outside the schema). Returns the queries as a
        C-ordered (n, dim) array of the index's dtype, and whether one 1-D
        query was given (``search`` then returns 1-D arrays)."""
        checked = self._search_arguments(queries, k, ef, filter, threads, exact, rerank)
        if checked.filter is not None:
            self._core.check_filter(checked.filter)
        return checked.rows, checked.single

    @staticmethod
    def estimate_nbytes(
        dim: SupportsIndex,
        count: SupportsIndex,
        *,
        dtype: DType = "float32",
        m: SupportsIndex = 16,
        quantization: Quantization = None,
        keep_vectors: bool = True,
    ) -> int:
        """The ``nbytes`` to expect of an index of ``count`` vectors of ``dim``
        values added in one batch, from the layout the index uses: each row
        padded to whole 64-byte blocks, 2m layer-0 link slots, the upper-layer
        lists a vector has on average (1/(m-1) lists of m slots), its id and
        its slot in the id table, and the index's fixed structure (about
        70 kB). Levels are drawn at random, so a real index differs by a
        fraction of a percent; adding in several batches may leave its arrays
        up to half again larger. Metadata is not counted, as in ``nbytes``.
        With ``quantization``, each vector's codes are counted too (padded to
        whole 64-byte blocks), and its row only with ``keep_vectors``."""
        dim = _count("dim", dim, 1)
        count = _count("count", count, 0)
        codes = _quantization(quantization, keep_vectors)
        return int(
            _core.GraphIndex.estimate_nbytes(dim, _dtype_name(dtype), _links(m), count, codes, keep_vectors)
        )

    # ---- adding and searching -----------------------------------------------

    def add(
        self,
        vectors: npt.ArrayLike,
        ids: npt.ArrayLike | None = None,
        metadata: Metadata | None = None,
        *,
        threads: SupportsIndex = 0,
        progress: bool = False,
    ) -> npt.NDArray[np.int64]:
        """Adds a (n, dim) batch or one vector; returns their ids.

        ``ids`` default to the next free integers. ``metadata`` is one list of
        (name, value) pairs per vector, naming every schema attribute once and
        no other (a ValueError names the row and attribute otherwise); a
        value is a str, int or float, or a list or tuple of them (tags,
        which a condition matches when any one of them does). Either
        every vector is added or, on any error, none is. ``threads=0`` uses
        every core; ``progress=True`` draws a progress bar on stderr.
        Ctrl-C cannot stop an add midway: its KeyboardInterrupt comes once
        the call has ended, with the whole batch added (or, if it failed, none).
        Searches in other threads go on while the batch is linked and find
        none of it until the whole batch is published, just before the add
        returns; a second add (or a remove) waits for this one to finish.
        """
        self._check_writable()
        rows, id_array = self._batch(vectors, ids, metadata)
        count = rows.shape[0]
        workers = _count("threads", threads, 0)
        show_progress = flag("progress", progress)
        out = np.empty(count, dtype=np.int64)
        if count == 0:
            return out

        def work() -> None:
            self._core.add(rows, id_array, out, metadata, workers)

        if show_progress:
            run_with_progress(work, self._core.linked, count)
        else:
            work()
        return out

    def search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex = 10,
        *,
        ef: SupportsIndex | None = None,
        filter: Filter | None = None,
        threads: SupportsIndex = 0,
        exact: bool = False,
        rerank: float | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
        """The k nearest stored vectors of each query, nearest first.

        One 1-D query gives 1-D ``labels`` and ``distances`` of length k; a
        (n, dim) batch gives (n, k) arrays. Where fewer than k vectors are
        found, labels are -1 and distances inf. ``ef`` (default
        ``ef_search``, at least k) trades speed for recall; ``filter`` is what
        results must match; ``exact=True`` scans every stored vector. A filter
        is a condition ``(name, value)``, ``(name, [v1, v2])`` (any of the
        values) or ``(name, op, value)`` with op one of ``==``, ``!=``, ``<``,
        ``<=``, ``>``, ``>=``, ``in``, ``not in`` or ``between`` (value
        ``(low, high)``, both included); ``And(...)``, ``Or(...)`` and
        ``Not(...)`` of filters, nested up to 32 levels; a list of filters
        (all must hold); or a 1-D array (or list) of the ids allowed. Numbers
        compare with numbers by value and text with text by code point; an
        ordering of text against an attribute holding numbers (or the
        reverse) is a TypeError. A vector without metadata matches no
        condition, nor its ``Not``. An empty list or array allows no id, so
        nothing is found; only ``filter=None`` searches everything.

        With codes and the full vectors kept, the walk ranks by the codes and
        its best candidates are then scored again on the full vectors:
        ``rerank`` (a factor of at least 1) re-scores the best ``rerank * k``
        of them (the walk keeps at least that many); None (default) re-scores
        every one it keeps (``ef``), so that recall follows ``ef`` as it does
        without codes. Elsewhere ``rerank`` has no effect.
        """
        a = self._search_arguments(queries, k, ef, filter, threads, exact, rerank)
        labels = np.empty((a.rows.shape[0], a.k), dtype=np.int64)
        distances = np.empty((a.rows.shape[0], a.k), dtype=self._dtype)
        self._core.search(a.rows, a.k, a.ef, a.exact, a.filter, a.threads, labels, distances, a.rerank)
        if a.single:
            return labels[0], distances[0]
        return labels, distances

    def get(self, ids: npt.ArrayLike) -> npt.NDArray[Any]:
        """The stored vectors of ``ids`` (one id gives one 1-D vector); a
        KeyError names the first unknown id. Cosine indexes store unit vectors."""
        single = np.ndim(ids) == 0
        id_array = _ids(ids, -1)
        out = np.empty((id_array.shape[0], self._dim), dtype=self._dtype)
        self._core.get(id_array, out)
        return out[0] if single else out

    # ---- removal --------------------------------------------------------------

    def remove(self, ids: npt.ArrayLike, *, threads: SupportsIndex = 0) -> None:
        """Removes the vectors of ``ids`` (one id or a sequence).

        No search returns them again; ``len``, ``in`` and ``get`` no longer
        count them, and their ids may be added again as new vectors. A
        KeyError names the first id that is not in the index (or was already
        removed), and then nothing is removed.

        The graph is repaired as they leave: every list that led to a removed
        vector is chosen again among its other links and the removed vector's
        neighbours (``threads``, default every core), and the removed
        vectors' room is reused by later adds and upserts, so ``nbytes``
        follows the vectors held. A removal costs a pass over every list
        (finding those that lead to removed vectors) plus a neighbour
        selection for each list repaired: removing a few vectors at a time
        costs that pass each time, so large batches are cheaper per vector.
        Searches in other threads go on throughout and never return a removed
        vector; a remove waits for an add running in another thread to finish.
        """
        self._check_writable()
        workers = _count("threads", threads, 0)
        self._core.remove(_unique_ids(_ids(ids, -1)), workers)

    def upsert(
        self,
        vectors: npt.ArrayLike,
        ids: npt.ArrayLike,
        metadata: Metadata | None = None,
        *,
        threads: SupportsIndex = 0,
        progress: bool = False,
    ) -> None:
        """Replaces the vectors (and metadata) of the ``ids`` already present
        and adds the others, as one batch.

        Takes what ``add`` takes, but ``ids`` are required and may be in the
        index; an id given twice is refused. Either the whole batch takes
        effect or, on any error, nothing changes. Searches in other threads
        see every id once throughout: the new vectors are published at once,
        as the vectors they replace leave. It costs an add of the batch plus
        a remove of the replaced vectors.
        """
        self._check_writable()
        if ids is None:
            raise TypeError("upsert: ids are required")
        rows, id_array = self._batch(vectors, ids, metadata)
        assert id_array is not None
        workers = _count("threads", threads, 0)
        show_progress = flag("progress", progress)
        if rows.shape[0] == 0:
            return

        def work() -> None:
            self._core.upsert(rows, id_array, metadata, workers)

        if show_progress:
            run_with_progress(work, self._core.linked, rows.shape[0])
        else:
            work()

    def update_metadata(self, ids: npt.ArrayLike, metadata: Metadata) -> None:
        """Gives the vectors of ``ids`` new metadata rows, one per id, as
        ``add`` takes them; their vectors and the graph stay as they are.
        A KeyError names the first id not in the index, a ValueError a row
        outside the schema (or an id given twice); then nothing changes."""
        self._check_writable()
        id_array = self._metadata_ids(ids, metadata)
        self._core.update_metadata(id_array, metadata)

    def compact(self, *, threads: SupportsIndex = 0) -> Index:
        """A new index of the vectors not removed, with the same ids, metadata
        and parameters, its graph built anew (``threads=0``: every core). It
        does not wait for an add running in another thread: it holds the
        vectors of the adds that have returned."""
        workers = _count("threads", threads, 0)
        return self._from_core(self._core.compact(workers), self._ef_search)

    # ---- files and pickling ---------------------------------------------------

    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Writes the index, removals and ``ef_search`` included, to ``path``.

        The file (docs/index-format.md) is written beside ``path`` under a
        temporary name, synced, and renamed over it: a failure raises OSError
        and leaves a previous file at ``path`` as it was. The temporary file
        is locked (flock) while it is written; a save first removes the
        temporary files of the same ``path`` that no one holds any more, which
        killed saves left behind. A save (and so a pickle or a copy) waits
        for an add running in another thread to finish, so that the file
        holds whole batches only.
        """
        self._core.save(os.fspath(path), self._ef_search)

    @classmethod
    def load(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        mmap: bool = False,
        verify: bool = True,
    ) -> Index:
        """The index that ``save`` wrote to ``path``. A file that is not a
        sound index file raises ValueError("corrupt index file: ..."). Only a
        regular file is read: a folder raises IsADirectoryError, and a pipe, a
        device or a socket raises OSError(EINVAL, "not a regular file (...)",
        path) before anything is read.

        ``mmap=True`` maps the file instead of reading it: the vectors and the
        layer-0 links stay in the file's pages, which every process that maps
        the same file shares, and the index is read-only (``add`` and
        ``remove`` raise ValueError; ``compact()`` gives an index of its own;
        ``save`` writes a copy). Ids, levels, links and metadata are checked
        as in a full load, whatever ``verify`` says. ``verify=True`` also
        compares the checksums of the vectors and checks their values;
        ``verify=False`` skips that, so opening reads only the structure. The
        file must not be changed in place while it is mapped; saving over its
        path is safe (the new file replaces the name, and this index keeps
        the old one). Files of format version 1 cannot be mapped: they load
        into memory as usual.
        """
        mapped, verified = flag("mmap", mmap), flag("verify", verify)
        core, ef_search = _core.GraphIndex.load(os.fspath(path), mapped, verified)
        return cls._from_core(core, ef_search)

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickles and copies hold the bytes of the index file.
        return (_restore, (type(self), self._core.to_bytes(self._ef_search)))


def _restore(cls: type[Index], data: bytes) -> Index:
    core, ef_search = _core.GraphIndex.from_bytes(data)
    return cls._from_core(core, ef_search)
