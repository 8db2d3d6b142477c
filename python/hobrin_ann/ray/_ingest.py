"""Ingestion from a Ray Data dataset: the dataset's own tasks check each
block, split it by shard and stage it on every replica of each shard, so no
row passes through the driver; the driver then commits the whole dataset as
one batch (or aborts it everywhere)."""

from __future__ import annotations

import pickle
import sys
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from .. import Index, Metric
from ._placement import Replica
from ._replicas import ReplicaSet
from ._routing import shard_of
from ._transport import ReplicaLost, outcomes


class IdRange:
    """Hands out the default ids of an ingestion, a block's worth at a time."""

    def __init__(self, start: int) -> None:
        self.next = start

    def take(self, count: int) -> int:
        if count > 2**63 - self.next:
            raise ValueError(f"no free ids are left after {self.next - 1}: pass ids explicitly")
        start = self.next
        self.next += count
        return start

    def end(self) -> int:
        return self.next


# Holds no CPU: it only counts.
RemoteIdRange: Any = ray.remote(num_cpus=0)(IdRange)


@dataclass
class Plan:
    """What a block's task needs: the index's parameters, the columns, the
    replicas to stage on, the batch token and its lease."""

    dim: int
    metric: Metric
    options: dict[str, Any]
    column: str
    id_column: str | None
    metadata_columns: list[str] | None
    groups: list[list[Replica]]
    token: str
    lease: float
    timeout: float
    ids: Any  # an IdRange actor, or None when the ids come from id_column


def _column(batch: dict[str, npt.NDArray[Any]], name: str) -> npt.NDArray[Any]:
    if name not in batch:
        raise KeyError(f"the dataset has no column {name!r} (it has {', '.join(map(repr, batch))})")
    return batch[name]


def _block_rows(
    plan: Plan, batch: dict[str, npt.NDArray[Any]]
) -> tuple[npt.NDArray[Any], npt.NDArray[np.int64], list[Any] | None]:
    """A block's rows, ids and metadata rows, checked as ``Index.add`` checks
    a batch."""
    vectors = _column(batch, plan.column)
    if vectors.dtype == object:  # a column of one array per row
        vectors = np.stack(list(vectors)) if len(vectors) else np.empty((0, plan.dim))
    metadata = None
    if plan.metadata_columns is not None:
        values = [_column(batch, name).tolist() for name in plan.metadata_columns]
        metadata = [list(zip(plan.metadata_columns, row, strict=True)) for row in zip(*values, strict=True)]
        if not values:
            metadata = [[] for _ in range(len(vectors))]
    given = None if plan.id_column is None else _column(batch, plan.id_column)
    template = Index(plan.dim, plan.metric, **plan.options)
    rows, ids = template.check_batch(vectors, given, metadata)
    if ids is None:
        start = ray.get(plan.ids.take.remote(rows.shape[0])) if rows.shape[0] else 0
        ids = np.arange(start, start + rows.shape[0], dtype=np.int64)
    return rows, ids, metadata


def stage_block(batch: dict[str, npt.NDArray[Any]], plan: Plan) -> dict[str, npt.NDArray[Any]]:
    """Runs in a Ray Data task: stages one block on every replica of its
    shards. Returns one row: the rows staged, the largest id, the replicas
    that failed (as "shard:pid@node") and the error that failed the block,
    pickled (empty when none), so the driver gets the index's own exception."""
    failed: list[str] = []
    try:
        rows, ids, metadata = _block_rows(plan, batch)
        owner = shard_of(ids, len(plan.groups))
        calls = []
        for shard, group in enumerate(plan.groups):
            part = np.flatnonzero(owner == shard)
            if not part.size:
                continue
            sent = ray.put((rows[part], ids[part], None if metadata is None else [metadata[i] for i in part]))
            for replica in group:
                calls.append((shard, replica, replica.actor.stage_part.remote(plan.token, sent, plan.lease)))
        answers = outcomes([ref for *_, ref in calls], [shard for shard, *_ in calls], plan.timeout)
        for (shard, replica, _ref), answer in zip(calls, answers, strict=True):
            if isinstance(answer, ReplicaLost):
                failed.append(f"{shard}:{replica.pid}@{replica.node}")
            elif isinstance(answer, BaseException):
                raise answer
        error = b""
        largest = int(ids.max()) if ids.size else -1
    except Exception as caught:
        error, largest, rows = _pickled(caught), -1, np.empty((0, 0))
    return {
        "rows": np.array([rows.shape[0]]),
        "largest": np.array([largest]),
        "failed": np.array([";".join(failed)], dtype=object),
        "error": np.array([error], dtype=object),
    }


def _pickled(error: Exception) -> bytes:
    try:
        return pickle.dumps(error)
    except Exception:  # an exception that cannot travel is told by its text
        return pickle.dumps(RuntimeError(f"{type(error).__name__}: {error}"))


class Renewal:
    """Renews the lease of a batch on every replica while the dataset is
    still being staged, which may take far longer than one lease."""

    def __init__(self, replicas: ReplicaSet, token: str, lease: float) -> None:
        self._stop = threading.Event()

        def renew() -> None:
            while not self._stop.wait(lease / 4):
                for replica in replicas.actors():
                    replica.actor.renew.remote(token, lease)

        self._thread = threading.Thread(target=renew, name="hobrin_ann lease renewal", daemon=True)

    def __enter__(self) -> Renewal:
        self._thread.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._stop.set()
        self._thread.join()


def consume(results: Any, replicas: ReplicaSet, progress: bool) -> tuple[int, int, BaseException | None]:
    """Runs the staging over the dataset: the rows staged, the largest id and
    the first error a block met. Replicas that failed a block are dropped."""
    done, largest = 0, -1
    lost: set[str] = set()
    for out in results.iter_batches(batch_size=None, batch_format="numpy"):
        for error in out["error"]:
            if error:
                return done, largest, pickle.loads(error)
        for failed in out["failed"]:
            lost.update(name for name in failed.split(";") if name)
        done += int(out["rows"].sum())
        largest = max(largest, int(out["largest"].max()))
        if progress:
            sys.stderr.write(f"\r{done:,} rows staged")
            sys.stderr.flush()
    if progress:
        sys.stderr.write(f"\r{done:,} rows staged\n")
    for shard, group in enumerate(replicas.groups):
        for replica in list(group):
            if f"{shard}:{replica.pid}@{replica.node}" in lost:
                replicas.drop(shard, replica, "failed to stage a block of a dataset")
    return done, largest, None
