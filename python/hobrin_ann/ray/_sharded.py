"""The driver of a sharded index: it routes rows to shards by id, sends
reads to one live replica of each shard and writes to all of them, and merges
the shards' answers."""

from __future__ import annotations

import math
import operator
import os
import secrets
import threading
from collections.abc import Callable
from typing import Any, SupportsIndex, Unpack, cast

import numpy as np
import numpy.typing as npt
import ray

from .. import Filter, Index, IndexOptions, Metric
from ..checks import flag, seconds, whole_number
from ..parameters import IndexParameters
from . import _manifest, _placement
from ._placement import Request
from ._replicas import ReplicaSet
from ._routing import merge_nearest, scatter
from ._sharded_writes import ShardedWrites
from ._transport import ShardError, outcomes


class ShardedIndex(ShardedWrites, IndexParameters):
    """A ``hobrin_ann.Index`` split into ``shards`` parts, each held by
    ``replicas`` Ray actors on different nodes, so that an index can outgrow
    one machine and go on serving when a node is lost.

    Rows go to a shard by a hash of their id. A search goes to one live
    replica of every shard in parallel and their answers are merged: the k
    best (distance, id) pairs, ties by id. Writes go to every live replica in
    two steps (stage, then commit), so a batch (an add, a remove, an upsert,
    a metadata update) takes effect everywhere or nowhere.
    ``index_options`` are those of ``hobrin_ann.Index`` (dtype, m,
    ef_construction, ef_search, schema, seed, quantization, keep_vectors);
    every shard is built with them.

    Each actor asks Ray for ``cpus_per_shard`` CPUs and for memory for
    ``capacity / shards`` vectors, on a node chosen by what each node has
    free, the replicas of a shard on distinct nodes. By default
    ``cpus_per_shard`` is the most that every replica can ask and still fit:
    the largest share of a node's CPUs (its CPUs divided by a whole number,
    in Ray's steps of 0.0001) at which all ``shards * replicas`` replicas pack
    onto the nodes' CPUs and memory. On nodes alike it is the cluster's CPUs
    shared evenly over all replicas when they divide evenly; on workers of 2,
    2 and 1 CPUs, 2 shards of 2 replicas ask 1 CPU each and 4 shards of 2
    ask 0.5. Replicas that the nodes could not hold even with nothing else on
    them raise ``ShardError`` at once, naming what each node has free; an
    actor that Ray cannot place within ``placement_timeout`` seconds (others
    hold the room), or a call that a shard's last replica does not answer
    within ``timeout`` seconds, raises ``ShardError`` naming it.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        shards: SupportsIndex = 4,
        metric: Metric = "euclidean",
        *,
        replicas: SupportsIndex = 1,
        capacity: SupportsIndex = 0,
        cpus_per_shard: float | None = None,
        timeout: float = 600.0,
        placement_timeout: float = 60.0,
        **index_options: Unpack[IndexOptions],
    ) -> None:
        template = Index(dim, metric, **index_options)
        count = whole_number("shards", shards, 1)
        capacity = whole_number("capacity", capacity, 0)
        self._setup(template, count, replicas, cpus_per_shard, timeout, placement_timeout)
        memory = _placement.shard_bytes(self._dim, self._options, math.ceil(capacity / count * 1.1))
        self._start([memory] * count, lambda shard, actor: actor.create.remote(*self._creation()))
        self._next_id = 0

    def _creation(self) -> tuple[int, Metric, dict[str, Any]]:
        return self._dim, cast(Metric, self._metric), self._options

    def _setup(
        self,
        template: Index,
        shards: int,
        replicas: SupportsIndex,
        cpus_per_shard: float | None,
        timeout: float,
        placement_timeout: float,
    ) -> None:
        self._template = template
        self._take_parameters(template)
        self._options: dict[str, Any] = {
            "dtype": template.dtype,
            "m": template.m,
            "ef_construction": template.ef_construction,
            "ef_search": template.ef_search,
            "schema": None if template.schema is None else list(template.schema),
            "seed": template.seed,
            "quantization": template.quantization,
            "keep_vectors": template.keep_vectors,
        }
        self._want = whole_number("replicas", replicas, 1)
        self._replicas = ReplicaSet([[] for _ in range(shards)], seconds("timeout", timeout))
        self.placement_timeout = placement_timeout
        self._closed = False
        self._mapped = False
        if not ray.is_initialized():
            ray.init()
        if cpus_per_shard is not None:
            if isinstance(cpus_per_shard, bool) or not isinstance(cpus_per_shard, (int, float)):
                raise TypeError(f"cpus_per_shard must be a number, not {type(cpus_per_shard).__name__}")
            if not 0 < cpus_per_shard < math.inf:
                raise ValueError(f"cpus_per_shard must be positive, got {cpus_per_shard}")
        # Without a request from the caller, _start derives one from the nodes
        # and the memory each replica asks for.
        self._asked_cpus = None if cpus_per_shard is None else float(cpus_per_shard)
        self._cpus = 0.0
        self._shards = shards
        self._lock = threading.RLock()

    def _start(self, memory: list[int], first_call: Callable[[int, Any], Any]) -> None:
        """Starts every replica of every shard and makes ``first_call`` on each
        (create or load); on any failure every actor started is stopped."""
        offered = _placement.cluster_resources().get("memory", 0.0)
        if offered and sum(memory) * self._want > offered:
            raise MemoryError(
                f"{self._shards} shards of {self._want} replicas need about "
                f"{sum(memory) * self._want / 2**30:.1f} GiB; "
                f"the Ray cluster offers {offered / 2**30:.1f} GiB"
            )
        nodes = _placement.live_nodes()
        if self._asked_cpus is None:
            self._cpus = _placement.default_cpus(nodes, memory, self._want)
        else:
            self._cpus = self._asked_cpus
        requests = [Request(self._cpus, need) for need in memory]
        shard_of_item, chosen = _placement.place(nodes, requests, self._want)
        started = _placement.start(
            [requests[shard] for shard in shard_of_item],
            shard_of_item,
            chosen,
            self._threads(),
            self._placement_timeout,
        )
        self._replicas.admit(shard_of_item, started, first_call)

    def _threads(self) -> int:
        return max(1, round(self._cpus))

    def close(self) -> None:
        """Stops every replica's actor and frees what it holds; the index
        cannot serve afterwards. Dropping the last reference does the same."""
        with self._lock:
            for replica in self._replicas.actors():
                ray.kill(replica.actor)
            self._replicas.groups = [[] for _ in range(self._shards)]
            self._closed = True

    def _live(self) -> ReplicaSet:
        if self._closed:
            raise RuntimeError("this sharded index is closed")
        return self._replicas

    # ---- replicas ------------------------------------------------------------------

    def _probe(self) -> None:
        """Asks every replica whether it still lives; drops those whose actor
        died (a slow one stays)."""
        calls = [(shard, replica) for shard, group in enumerate(self._live().groups) for replica in group]
        answers = outcomes([r.actor.ready.remote() for _, r in calls], [s for s, _ in calls], self.timeout)
        for (shard, replica), answer in zip(calls, answers, strict=True):
            if isinstance(answer, ShardError) and not getattr(answer, "late", False):
                self._replicas.drop(shard, replica, answer.reason)

    def replica_status(self) -> list[list[dict[str, Any]]]:
        """For each shard, its live replicas: each one's Ray node id and
        process id. Replicas found dead are dropped first."""
        with self._lock:
            self._probe()
            return [
                [{"node": replica.node, "pid": replica.pid} for replica in group]
                for group in self._replicas.groups
            ]

    def heal(self) -> int:
        """Starts new replicas for shards that have fewer than ``replicas``
        live ones, each on a node that holds no replica of its shard, from a
        copy of a live replica's index; returns how many it made. A shard
        with no live replica left cannot be healed: load the last save. A
        shard for which no node is free stays short until one joins."""
        with self._lock:
            self._probe()
            groups = self._replicas.groups
            wanted = [self._want - len(group) if group else 0 for group in groups]
            if not any(wanted):
                return 0
            # Sizes of the shards short of replicas only: one with none left
            # cannot answer, and is not healed.
            short = [shard for shard in range(self._shards) if wanted[shard]]
            sizes = [0] * self._shards
            answers = outcomes(
                [self._replicas.pick(s).actor.size.remote() for s in short], short, self.timeout
            )
            for shard, answer in zip(short, answers, strict=True):
                if isinstance(answer, BaseException):
                    raise answer
                sizes[shard] = answer
            requests = [
                Request(self._cpus, _placement.shard_bytes(self._dim, self._options, n)) for n in sizes
            ]
            holders = [{replica.node for replica in group} for group in groups]
            chosen = _placement.assign(
                _placement.live_nodes(), requests, wanted, holders, self._replicas.actors()
            )
            shards = [shard for shard, picked in enumerate(chosen) for _ in picked]
            if not shards:
                return 0
            nodes = [node for picked in chosen for node in picked]
            made = _placement.start(
                [requests[s] for s in shards], shards, nodes, self._threads(), self._placement_timeout
            )
            self._replicas.fill(shards, made)
            return len(made)

    # ---- the index -------------------------------------------------------------

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def replicas(self) -> int:
        """The replicas each shard should have (``heal`` restores that many)."""
        return self._want

    @property
    def timeout(self) -> float:
        """The seconds a replica may take to answer one call (an add of its
        rows, a search, a save) before it is dropped or ShardError names it."""
        return self._replicas.timeout

    @timeout.setter
    def timeout(self, value: float) -> None:
        self._replicas.timeout = seconds("timeout", value)

    @property
    def placement_timeout(self) -> float:
        """The seconds a new replica may wait for a node to take it."""
        return self._placement_timeout

    @placement_timeout.setter
    def placement_timeout(self, value: float) -> None:
        self._placement_timeout = seconds("placement_timeout", value)

    def _read(self, method: str, *args: Any) -> list[Any]:
        """Calls ``method`` with the same arguments on one replica of every shard."""
        return self._live().read(method, [args] * self._shards)

    @property
    def mapped(self) -> bool:
        """Whether the shards were loaded with ``mmap=True`` (read-only)."""
        return self._mapped

    @property
    def nbytes(self) -> list[int]:
        """Each shard's ``Index.nbytes`` (of one replica): the bytes its
        vectors, links and ids hold."""
        with self._lock:
            return self._read("nbytes")

    def __len__(self) -> int:
        with self._lock:
            return sum(self._read("size"))

    def __repr__(self) -> str:
        live = [len(group) for group in self._replicas.groups]
        return (
            f"hobrin_ann.ray.ShardedIndex(dim={self._dim}, shards={self._shards}, metric={self._metric!r}, "
            f"replicas={self._want}, live={live}, cpus_per_shard={self._cpus:g})"
        )

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
        """The k nearest stored vectors of each query over every shard, as
        ``hobrin_ann.Index.search`` gives them: one query gives 1-D arrays, a
        batch (n, k) arrays; missing results are -1 and inf. ``ef``,
        ``filter``, ``exact`` and ``rerank`` mean what they mean to
        ``Index.search`` and apply on every shard; ``threads`` is the number
        of threads each shard's search uses (0: as many as its replica's
        CPUs). A replica that fails is dropped and its shard asked again
        through another."""
        rows, single = self._template.check_search(
            queries, k, ef=ef, filter=filter, threads=threads, exact=exact, rerank=rerank
        )
        k = operator.index(k)
        ef = None if ef is None else operator.index(ef)
        threads = operator.index(threads)
        rerank = None if rerank is None else float(rerank)
        with self._lock:
            self._live()
            batch = ray.put(rows)
            parts = self._read("search", batch, k, ef, filter, threads, bool(exact), rerank)
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
            scatter(out, parts, self._live().read("get", [(id_array[part],) for part in parts]))
        return out[0] if single else out

    # ---- files -------------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Writes every shard (from one live replica) to its own file in
        ``directory`` and then a manifest (shard count, replicas, options,
        each file's SHA-256). The previous save there stays whole until the
        new manifest replaces it. On a cluster the directory must be one that
        every node's actors can write."""
        path = os.path.abspath(os.fspath(directory))
        os.makedirs(path, exist_ok=True)
        token = secrets.token_hex(8)
        names = [_manifest.shard_file_name(shard, token) for shard in range(self._shards)]
        with self._lock:
            _manifest.save_shards(
                path,
                token,
                names,
                lambda: self._live().read("save", [(os.path.join(path, name),) for name in names]),
                lambda files: _manifest.Manifest(
                    self._dim, self._metric, self._options, self._next_id, files, self._want
                ),
            )

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike[str],
        *,
        replicas: SupportsIndex | None = None,
        cpus_per_shard: float | None = None,
        timeout: float = 600.0,
        placement_timeout: float = 60.0,
        mmap: bool = False,
    ) -> ShardedIndex:
        """The sharded index that ``save`` last wrote to ``directory``, on new
        actors, each replica loading its shard's file (``replicas`` defaults
        to the saved index's). A manifest or shard file that is damaged or
        does not match its checksum raises ValueError("corrupt sharded
        index: ...").

        ``mmap=True`` maps each shard's file (``Index.load(path, mmap=True)``):
        actors on one node that load the same save share its pages, and the
        sharded index is read-only (``add``, ``add_dataset``, ``upsert``,
        ``update_metadata``, ``remove`` and ``compact`` raise ValueError).
        Replicas that ``heal`` makes hold copies in memory."""
        mapped = flag("mmap", mmap)
        path = os.path.abspath(os.fspath(directory))
        manifest = _manifest.read_manifest(path)
        try:
            # The index checks the metric and options read from the file.
            template = Index(manifest.dim, cast(Metric, manifest.metric), **manifest.options)
        except (TypeError, ValueError) as error:
            raise ValueError(f"corrupt sharded index: the manifest's options are invalid: {error}") from None
        index = cls.__new__(cls)
        count = manifest.replicas if replicas is None else replicas
        index._setup(template, len(manifest.files), count, cpus_per_shard, timeout, placement_timeout)
        index._next_id = manifest.next_id
        index._mapped = mapped
        memory = [_placement.shard_bytes(index._dim, index._options, file.vectors) for file in manifest.files]
        files = manifest.files
        index._start(
            memory,
            lambda shard, actor: actor.load.remote(
                os.path.join(path, files[shard].name), files[shard].sha256, files[shard].name, index._mapped
            ),
        )
        return index
