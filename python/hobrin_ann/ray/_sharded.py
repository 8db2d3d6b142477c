"""The driver of a sharded index: it routes rows to shard actors by id, fans
calls out to them in parallel and merges their answers."""

from __future__ import annotations

import math
import operator
import os
import secrets
import threading
from collections.abc import Callable, Sequence
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt
import ray
import ray.exceptions

from .. import Filter, Index, Metadata
from ..checks import whole_number
from . import _manifest
from ._routing import merge_nearest, shard_of
from ._shard import Shard

_RemoteShard = ray.remote(Shard)

# Why a shard whose call timed out failed; formatted with the timeout.
_LATE = "did not answer within {timeout:g} s"

# What one shard's process needs beyond its index: the interpreter, numpy and
# Ray's worker runtime.
_WORKER_BYTES = 256 << 20


class ShardError(RuntimeError):
    """A shard's actor died, could not start, or did not answer in time. After
    a death the sharded index cannot serve until it is loaded again from its
    last save; a shard that was only slow may answer later calls."""

    def __init__(self, shard: int, reason: str) -> None:
        super().__init__(f"shard {shard} {reason}")
        self.shard = shard


def _shard_bytes(dim: int, options: dict[str, Any], vectors: int) -> int:
    """Memory to ask Ray for a shard of ``vectors`` vectors: what its index
    holds (``Index.estimate_nbytes``), a fifth more for growth and metadata,
    and the worker process."""
    # A capacity beyond any index still gets an answer, which the cluster refuses.
    index = Index.estimate_nbytes(dim, min(vectors, 2**63 - 1), dtype=options["dtype"], m=options["m"])
    return _WORKER_BYTES + int(index * 1.2)


class ShardedIndex:
    """A ``hobrin_ann.Index`` split into ``shards`` parts, each held by a Ray
    actor, so that an index can outgrow one process or one machine.

    Rows go to a shard by a hash of their id. Searches go to every shard in
    parallel and their answers are merged: the k best (distance, id) pairs,
    ties by id. ``index_options`` are those of ``hobrin_ann.Index`` (dtype, m,
    ef_construction, ef_search, schema, seed); every shard is built with them.

    Each actor asks Ray for ``cpus_per_shard`` CPUs (default: the cluster's
    CPUs shared evenly) and for memory for ``capacity / shards`` vectors, so
    that Ray places the shards where they fit. A shard that dies, cannot be
    placed, or takes more than ``timeout`` seconds to answer raises
    ``ShardError`` naming it.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        shards: SupportsIndex = 4,
        metric: str = "euclidean",
        *,
        capacity: SupportsIndex = 0,
        cpus_per_shard: float | None = None,
        timeout: float = 600.0,
        **index_options: Any,
    ) -> None:
        template = Index(dim, metric, **index_options)
        count = whole_number("shards", shards, 1)
        capacity = whole_number("capacity", capacity, 0)
        self._setup(template, count, cpus_per_shard, timeout)
        memory = _shard_bytes(self._dim, self._options, math.ceil(capacity / count * 1.1))
        self._start(
            [memory] * count, lambda shard, actor: actor.create.remote(self._dim, self._metric, self._options)
        )
        self._next_id = 0

    def _setup(self, template: Index, shards: int, cpus_per_shard: float | None, timeout: float) -> None:
        self._template = template
        self._dim = template.dim
        self._metric = template.metric
        self._options: dict[str, Any] = {
            "dtype": template.dtype,
            "m": template.m,
            "ef_construction": template.ef_construction,
            "ef_search": template.ef_search,
            "schema": None if template.schema is None else list(template.schema),
            "seed": template.seed,
        }
        self.timeout = timeout
        if not ray.is_initialized():
            ray.init()
        if cpus_per_shard is None:
            cpus_per_shard = _cluster_resources().get("CPU", 1.0) / shards
        if isinstance(cpus_per_shard, bool) or not isinstance(cpus_per_shard, (int, float)):
            raise TypeError(f"cpus_per_shard must be a number, not {type(cpus_per_shard).__name__}")
        if not 0 < cpus_per_shard < math.inf:
            raise ValueError(f"cpus_per_shard must be positive, got {cpus_per_shard}")
        self._cpus = float(cpus_per_shard)
        self._shards = shards
        self._actors: list[Any] = []
        self._pids: list[int] = []
        self._lock = threading.RLock()

    def _start(self, memory: list[int], first_call: Callable[[int, Any], Any]) -> None:
        """Starts one actor per shard and makes ``first_call`` on each (create
        or load); on any failure every actor started is stopped again."""
        offered = _cluster_resources().get("memory", 0.0)
        if offered and sum(memory) > offered:
            raise MemoryError(
                f"{self._shards} shards need about {sum(memory) / 2**30:.1f} GiB; "
                f"the Ray cluster offers {offered / 2**30:.1f} GiB"
            )
        threads = max(1, round(self._cpus))
        self._actors = [
            _RemoteShard.options(num_cpus=self._cpus, memory=need, scheduling_strategy="SPREAD").remote(
                threads
            )
            for need in memory
        ]
        unplaced = (
            f"could not start or load within {{timeout:g}} s: it needs {self._cpus:g} CPUs and "
            f"{max(memory) / 2**30:.2f} GiB of memory on one node of the Ray cluster"
        )
        try:
            # Each shard answers its first call with its process id.
            self._pids = self._gather(
                [first_call(shard, actor) for shard, actor in enumerate(self._actors)], unplaced
            )
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Stops the shard actors and frees what they hold; the index cannot
        serve afterwards. Dropping the last reference does the same."""
        with self._lock:
            for actor in self._actors:
                ray.kill(actor)
            self._actors = []

    # ---- calls to the shards -------------------------------------------------

    def _outcomes(self, refs: Sequence[Any], late: str = _LATE) -> list[Any]:
        """Each shard's answer to its call, or the exception it raised: the
        task's own error, or ShardError when the actor is gone or silent
        (``late`` says why, formatted with ``timeout``)."""
        _ready, pending = ray.wait(list(refs), num_returns=len(refs), timeout=self._timeout)
        waiting = set(pending)
        outcomes: list[Any] = []
        for shard, ref in enumerate(refs):
            if ref in waiting:
                outcomes.append(ShardError(shard, late.format(timeout=self._timeout)))
                continue
            try:
                outcomes.append(ray.get(ref))
            except ray.exceptions.RayTaskError as error:
                cause = error.cause
                outcomes.append(cause if isinstance(cause, Exception) else error)
            except ray.exceptions.RayActorError as error:
                outcomes.append(ShardError(shard, f"is unavailable: its actor died ({_last_line(error)})"))
            except ray.exceptions.RayError as error:  # a lost object, Ray's memory monitor, ...
                outcomes.append(ShardError(shard, f"failed in Ray: {_last_line(error)}"))
        return outcomes

    def _gather(self, refs: Sequence[Any], late: str = _LATE) -> list[Any]:
        """Every shard's answer in shard order; raises the first failure."""
        outcomes = self._outcomes(refs, late)
        for outcome in outcomes:
            if isinstance(outcome, BaseException):
                raise outcome
        return outcomes

    def _split(self, ids: npt.NDArray[np.int64]) -> list[npt.NDArray[np.intp]]:
        """For each shard, the positions in ``ids`` of the ids it holds."""
        owner = shard_of(ids, self._shards)
        return [np.flatnonzero(owner == shard) for shard in range(self._shards)]

    def _call(self, method: str, *per_shard: Sequence[Any]) -> list[Any]:
        """Calls ``method`` on every shard with the shard's own item of each
        sequence in ``per_shard``; returns the calls' object references."""
        if not self._actors:
            raise RuntimeError("this sharded index is closed")
        return [
            getattr(actor, method).remote(*args)
            for actor, *args in zip(self._actors, *per_shard, strict=True)
        ]

    def _broadcast(self, method: str, *args: Any) -> list[Any]:
        """Calls ``method`` with the same arguments on every shard."""
        return self._call(method, *([arg] * self._shards for arg in args))

    def _present(
        self, ids: npt.NDArray[np.int64], parts: list[npt.NDArray[np.intp]]
    ) -> npt.NDArray[np.bool_]:
        held = np.zeros(ids.size, dtype=bool)
        _scatter(held, parts, self._gather(self._call("present", [ids[part] for part in parts])))
        return held

    # ---- the index -------------------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> str:
        return self._metric

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def timeout(self) -> float:
        """The seconds a shard may take to answer one call (an add of its
        rows, a search, a save) before ShardError names it."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 < seconds < math.inf:
            raise ValueError(f"timeout must be a positive number of seconds, got {seconds!r}")
        self._timeout = float(seconds)

    def compact(self) -> None:
        """Rebuilds every shard's graph without its removed vectors, in place
        (``Index.compact`` returns a new index instead): removed vectors, and
        the rows of failed adds, give back their memory."""
        with self._lock:
            self._gather(self._broadcast("compact"))

    @property
    def nbytes(self) -> list[int]:
        """Each shard's ``Index.nbytes``: the bytes its vectors, links and ids hold."""
        with self._lock:
            return self._gather(self._broadcast("nbytes"))

    def __len__(self) -> int:
        with self._lock:
            return sum(self._gather(self._broadcast("size")))

    def __repr__(self) -> str:
        return (
            f"hobrin_ann.ray.ShardedIndex(dim={self._dim}, shards={self._shards}, metric={self._metric!r}, "
            f"cpus_per_shard={self._cpus:g})"
        )

    def add(
        self,
        vectors: npt.ArrayLike,
        ids: npt.ArrayLike | None = None,
        metadata: Metadata | None = None,
    ) -> npt.NDArray[np.int64]:
        """Adds a (n, dim) batch or one vector; returns their ids (by default
        the next free integers). Either every row is added, on its shard, or
        on any error none is."""
        # The template has the shards' parameters: its checks are theirs.
        rows, given = self._template.check_batch(vectors, ids, metadata)
        count = rows.shape[0]
        with self._lock:
            id_array = self._new_ids(count) if given is None else given
            if count == 0:
                return id_array
            parts = self._split(id_array)
            held = self._present(id_array, parts)
            if held.any():
                raise ValueError(f"id {int(id_array[np.argmax(held)])} is already in the index")
            self._stage_and_commit(rows, id_array, metadata, parts)
            self._next_id = max(self._next_id, int(id_array.max()) + 1)
        return id_array

    def _new_ids(self, count: int) -> npt.NDArray[np.int64]:
        """The next ``count`` default ids."""
        if count > 2**63 - self._next_id:
            raise ValueError(f"no free ids are left after {self._next_id - 1}: pass ids explicitly")
        return np.arange(self._next_id, self._next_id + count, dtype=np.int64)

    def _stage_and_commit(
        self,
        rows: npt.NDArray[Any],
        ids: npt.NDArray[np.int64],
        metadata: Metadata | None,
        parts: list[npt.NDArray[np.intp]],
    ) -> None:
        """Adds every shard's rows and keeps them only if every shard succeeded;
        otherwise the shards that added theirs remove them again."""
        token = secrets.token_hex(8)
        try:
            refs = self._call(
                "stage",
                [token] * self._shards,
                [rows[part] for part in parts],
                [ids[part] for part in parts],
                [None if metadata is None else [metadata[i] for i in part] for part in parts],
            )
            failures = [outcome for outcome in self._outcomes(refs) if isinstance(outcome, BaseException)]
            if not failures:
                self._gather(self._broadcast("commit", token))
                return
        except BaseException:  # a row Ray cannot send, an interrupt, ...
            self._abort(token)
            raise
        self._abort(token)
        raise failures[0]

    def _abort(self, token: str) -> None:
        """Undoes the stage ``token`` on every shard that staged it. A shard
        still busy with its stage undoes it right after, as an actor runs its
        calls in order; a shard that never staged it has nothing to undo."""
        try:
            undo = self._broadcast("abort", token)
            ray.wait(undo, num_returns=len(undo), timeout=self._timeout)
        except Exception:  # the error that made the add fail is the one to raise
            pass

    def search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex = 10,
        *,
        ef: SupportsIndex | None = None,
        filter: Filter | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
        """The k nearest stored vectors of each query over every shard, as
        ``hobrin_ann.Index.search`` gives them: one query gives 1-D arrays, a
        batch (n, k) arrays; missing results are -1 and inf. ``ef`` and
        ``filter`` apply on every shard."""
        rows, single = self._template.check_search(queries, k, ef=ef, filter=filter)
        k = operator.index(k)
        ef = None if ef is None else operator.index(ef)
        with self._lock:
            batch = ray.put(rows)
            parts = self._gather(self._broadcast("search", batch, k, ef, filter))
        labels, distances = merge_nearest(parts, k)
        if single:
            return labels[0], distances[0]
        return labels, distances

    def get(self, ids: npt.ArrayLike) -> npt.NDArray[Any]:
        """The stored vectors of ``ids``; a KeyError names the first unknown id."""
        single = np.ndim(ids) == 0
        id_array = Index.check_ids(ids)
        out = np.empty((id_array.size, self._dim), dtype=self._options["dtype"])
        with self._lock:
            parts = self._split(id_array)
            self._require_present(id_array, parts)
            _scatter(out, parts, self._gather(self._call("get", [id_array[part] for part in parts])))
        return out[0] if single else out

    def remove(self, ids: npt.ArrayLike) -> None:
        """Removes the vectors of ``ids``. A KeyError names the first id that
        is not in the index, and then nothing is removed."""
        id_array = Index.check_ids(ids, unique=True)
        with self._lock:
            parts = self._split(id_array)
            self._require_present(id_array, parts)
            self._gather(self._call("remove", [id_array[part] for part in parts]))

    def _require_present(self, ids: npt.NDArray[np.int64], parts: list[npt.NDArray[np.intp]]) -> None:
        held = self._present(ids, parts)
        if not held.all():
            raise KeyError(int(ids[np.argmin(held)]))

    # ---- files -------------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Writes every shard to its own file in ``directory`` and then a
        manifest (shard count, options, each file's SHA-256). The previous save
        there stays whole until the new manifest replaces it. On a cluster the
        directory must be one that every node's actors can write."""
        path = os.path.abspath(os.fspath(directory))
        os.makedirs(path, exist_ok=True)
        token = secrets.token_hex(8)
        names = [_manifest.shard_file_name(shard, token) for shard in range(self._shards)]
        with self._lock:
            try:
                written = self._gather(self._call("save", [os.path.join(path, name) for name in names]))
                files = [
                    _manifest.ShardFile(name, size, sha256, vectors)
                    for name, (size, sha256, vectors) in zip(names, written, strict=True)
                ]
                replaced = _manifest.listed_files(path)
                _manifest.write_manifest(
                    path,
                    _manifest.Manifest(self._dim, self._metric, self._options, self._next_id, files),
                    token,
                )
            except BaseException:
                _remove_files(path, names)
                raise
            # The new save is in place; the files of the one it replaced go.
            _manifest.sync_directory(path)
            _remove_files(path, [name for name in replaced if name not in names])

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike[str],
        *,
        cpus_per_shard: float | None = None,
        timeout: float = 600.0,
    ) -> ShardedIndex:
        """The sharded index that ``save`` last wrote to ``directory``, on new
        actors. A manifest or shard file that is damaged or does not match its
        checksum raises ValueError("corrupt sharded index: ...")."""
        path = os.path.abspath(os.fspath(directory))
        manifest = _manifest.read_manifest(path)
        try:
            template = Index(manifest.dim, manifest.metric, **manifest.options)
        except (TypeError, ValueError) as error:
            raise ValueError(f"corrupt sharded index: the manifest's options are invalid: {error}") from None
        index = cls.__new__(cls)
        index._setup(template, len(manifest.files), cpus_per_shard, timeout)
        index._next_id = manifest.next_id
        memory = [_shard_bytes(index._dim, index._options, file.vectors) for file in manifest.files]
        files = manifest.files
        index._start(
            memory,
            lambda shard, actor: actor.load.remote(
                os.path.join(path, files[shard].name), files[shard].sha256, files[shard].name
            ),
        )
        return index


def _last_line(error: Exception) -> str:
    """The last line of Ray's message, which says why; Ray's own are long."""
    text = str(error).strip()
    return text.splitlines()[-1] if text else type(error).__name__


def _scatter(out: npt.NDArray[Any], parts: list[npt.NDArray[np.intp]], answers: list[Any]) -> None:
    """Puts each shard's answers back where its items came from."""
    for part, answer in zip(parts, answers, strict=True):
        out[part] = answer


def _cluster_resources() -> dict[str, float]:
    return ray.cluster_resources()  # type: ignore[no-untyped-call,no-any-return]


def _remove_files(directory: str, names: list[str]) -> None:
    for name in names:
        try:
            os.remove(os.path.join(directory, name))
        except FileNotFoundError:
            pass
