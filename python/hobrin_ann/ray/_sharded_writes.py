"""The writes of a sharded index: rows routed to shards by id, and every
write made on every live replica in two steps (stage, then commit), so that
a batch takes effect on every shard or on none."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import ray

from .. import Index, Metadata, Metric
from ..checks import flag
from . import _ingest, _writes
from ._replicas import ReplicaSet
from ._routing import scatter, shard_of
from ._transport import deferred_interrupts

# A shard's part of an add or upsert at least this large is put in the object
# store once for all its replicas rather than sent inside each call.
_SHARED_BYTES = 256 << 10


class ShardedWrites:
    """The write methods of ``ShardedIndex``, which holds what they use."""

    _template: Index
    _lock: threading.RLock
    _next_id: int
    _want: int
    _shards: int
    _dim: int
    _metric: str
    _options: dict[str, Any]
    _mapped: bool
    timeout: float

    def _live(self) -> ReplicaSet:
        """The replicas, once the index is known to be open (``ShardedIndex``)."""
        raise NotImplementedError

    def _split(self, ids: npt.NDArray[np.int64]) -> list[npt.NDArray[np.intp]]:
        """For each shard, the positions in ``ids`` of the ids it holds."""
        owner = shard_of(ids, self._shards)
        return [np.flatnonzero(owner == shard) for shard in range(self._shards)]

    def _present(
        self, ids: npt.NDArray[np.int64], parts: list[npt.NDArray[np.intp]]
    ) -> npt.NDArray[np.bool_]:
        held = np.zeros(ids.size, dtype=bool)
        scatter(held, parts, self._live().read("present", [(ids[part],) for part in parts]))
        return held

    def _refuse_if_mapped(self) -> None:
        if self._mapped:
            raise ValueError(
                "this sharded index is memory-mapped and read-only: load it with mmap=False for one that "
                "add(), add_dataset(), upsert(), update_metadata(), remove() and compact() can change"
            )

    def compact(self) -> None:
        """Rebuilds every replica's graph without its removed vectors, in place
        (``Index.compact`` returns a new index instead): removed vectors, and
        the rows of failed adds, give back their memory."""
        self._refuse_if_mapped()
        with self._lock:
            self._live().write_all("compact", [()] * self._shards)

    def add(
        self,
        vectors: npt.ArrayLike,
        ids: npt.ArrayLike | None = None,
        metadata: Metadata | None = None,
    ) -> npt.NDArray[np.int64]:
        """Adds a (n, dim) batch or one vector; returns their ids (by default
        the next free integers). Either every row is added, on every live
        replica of its shard, or on any error none is."""
        self._refuse_if_mapped()
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
            per_shard = self._rows_per_shard(rows, id_array, metadata, parts)
            _writes.stage_and_commit(self._live(), "stage_part", per_shard, self._advance_past(id_array))
        return id_array

    def _rows_per_shard(
        self,
        rows: npt.NDArray[Any],
        ids: npt.NDArray[np.int64],
        metadata: Metadata | None,
        parts: list[npt.NDArray[np.intp]],
    ) -> list[tuple[Any]]:
        """Each shard's rows, ids and metadata, as one argument of its stage."""
        per_shard: list[tuple[Any]] = []
        for part in parts:
            sent = (rows[part], ids[part], None if metadata is None else [metadata[i] for i in part])
            # Large parts go to the object store once for all replicas;
            # small ones travel inside each call, which is quicker.
            shared = self._want > 1 and sent[0].nbytes >= _SHARED_BYTES
            per_shard.append((ray.put(sent) if shared else sent,))
        return per_shard

    def _advance_past(self, ids: npt.NDArray[np.int64]) -> Callable[[], None]:
        """Moves the next default id past ``ids``, once they are committed."""

        def advance() -> None:
            self._next_id = max(self._next_id, int(ids.max()) + 1)

        return advance

    def _new_ids(self, count: int) -> npt.NDArray[np.int64]:
        """The next ``count`` default ids."""
        if count > 2**63 - self._next_id:
            raise ValueError(f"no free ids are left after {self._next_id - 1}: pass ids explicitly")
        return np.arange(self._next_id, self._next_id + count, dtype=np.int64)

    def add_dataset(
        self,
        dataset: Any,
        *,
        column: str = "vector",
        id_column: str | None = None,
        metadata_columns: list[str] | None = None,
        progress: bool = False,
    ) -> int:
        """Adds every row of a Ray Data dataset; returns how many. The
        dataset's tasks check each block (as ``add`` checks a batch), split
        it by shard and stage it on the shards' replicas, so rows never pass
        through the driver; the whole dataset is then committed as one batch,
        or on any error removed from every shard. Ids come from ``id_column``
        or are the next free integers, handed out block by block in the
        order the blocks are staged; ``metadata_columns`` name the columns of
        the schema's attributes. ``progress=True`` writes the rows staged so
        far to stderr."""
        show_progress = flag("progress", progress)
        self._refuse_if_mapped()
        with self._lock:
            replicas = self._live()
            token, lease = _writes.new_token(), _writes.lease(replicas)
            id_range = None if id_column is not None else _ingest.RemoteIdRange.remote(self._next_id)
            plan = _ingest.Plan(
                self._dim, cast(Metric, self._metric), self._options, column, id_column,
                None if metadata_columns is None else list(metadata_columns),
                [list(group) for group in replicas.groups], token, lease, self.timeout, id_range,
            )  # fmt: skip
            try:
                self._open_batch(token, lease)
                with _ingest.Renewal(replicas, token, lease):
                    results = dataset.map_batches(
                        _ingest.stage_block, fn_kwargs={"plan": plan}, batch_format="numpy",
                        batch_size=None, num_cpus=0,
                    )  # fmt: skip
                    done, largest, error = _ingest.consume(results, replicas, show_progress)
                if error is not None:
                    raise error
                for shard, group in enumerate(replicas.groups):
                    if not group:
                        raise replicas.unavailable(shard)
                end = largest + 1 if id_range is None else ray.get(id_range.end.remote())
            except BaseException:
                _writes.abort(replicas, token)
                raise
            finally:
                if id_range is not None:
                    ray.kill(id_range)

            def advance() -> None:
                self._next_id = max(self._next_id, end)

            with deferred_interrupts() as interrupted:
                _writes.commit(replicas, token, advance, interrupted)
            return done

    def _open_batch(self, token: str, lease: float) -> None:
        """Stages an empty batch ``token`` on every replica, so that each can
        commit it whether or not a block reaches it."""
        replicas = self._live()
        empty = (np.empty((0, self._dim), self._options["dtype"]), np.empty(0, np.int64), None)
        calls = replicas.send_all("stage", [(token, *empty, lease)] * self._shards)
        error = replicas.settle(calls, replicas.outcomes(calls, self.timeout))
        if error is not None:
            raise error

    def remove(self, ids: npt.ArrayLike) -> None:
        """Removes the vectors of ``ids`` from every replica. A KeyError names
        the first id that is not in the index, and then nothing is removed."""
        self._refuse_if_mapped()
        id_array = Index.check_ids(ids, unique=True)
        with self._lock:
            parts = self._split(id_array)
            self._require_present(id_array, parts)
            per_shard = [(id_array[part],) for part in parts]
            _writes.stage_and_commit(self._live(), "stage_remove", per_shard, lambda: None)

    def upsert(self, vectors: npt.ArrayLike, ids: npt.ArrayLike, metadata: Metadata | None = None) -> None:
        """Replaces the vectors (and metadata) of the ``ids`` already in the
        index and adds the others, as ``Index.upsert`` does, on every live
        replica of each id's shard. Takes what ``add`` takes, but ``ids`` are
        required and may be present; an id given twice is refused. The
        replicas check their parts at the stage and make them at the commit:
        a refusal, or any failure before the commit round, changes no shard.
        In the commit round a replica that fails is dropped; only if every
        replica of a shard fails there (out of memory) is the error raised
        with the other shards changed. A search sees each id once throughout
        (an id's shard never changes, and each shard's upsert is seen whole)."""
        self._refuse_if_mapped()
        if ids is None:
            raise TypeError("upsert: ids are required")
        rows, given = self._template.check_batch(vectors, ids, metadata)
        assert given is not None
        if rows.shape[0] == 0:
            return
        with self._lock:
            per_shard = self._rows_per_shard(rows, given, metadata, self._split(given))
            _writes.stage_and_commit(self._live(), "stage_upsert", per_shard, self._advance_past(given))

    def update_metadata(self, ids: npt.ArrayLike, metadata: Metadata) -> None:
        """Gives the vectors of ``ids`` new metadata rows, one per id, as
        ``Index.update_metadata`` does, on every live replica; vectors and
        graphs stay as they are. A KeyError names the first id not in the
        index, a ValueError a row outside the schema (or an id given twice);
        then no shard changes."""
        self._refuse_if_mapped()
        id_array = self._template.check_metadata_update(ids, metadata)
        if id_array.size == 0:
            return
        with self._lock:
            parts = self._split(id_array)
            self._require_present(id_array, parts)
            per_shard = [(id_array[part], [metadata[i] for i in part]) for part in parts]
            _writes.stage_and_commit(self._live(), "stage_metadata", per_shard, lambda: None)

    def _require_present(self, ids: npt.NDArray[np.int64], parts: list[npt.NDArray[np.intp]]) -> None:
        held = self._present(ids, parts)
        if not held.all():
            raise KeyError(int(ids[np.argmin(held)]))
