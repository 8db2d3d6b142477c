"""One replica of a shard: a ``hobrin_ann.Index`` in the process of a Ray actor.

Writes come in two steps: ``stage`` and then ``commit`` or ``abort``. An
add is made at its stage (and undone by an abort); a remove, an upsert or a
metadata update is only checked at its stage, against this replica's index,
and made by the commit, so that an abort has nothing to undo. A staged batch holds a lease: if
neither its commit nor its abort comes in time (the driver died or was cut
off), a sweeper thread aborts it, so nothing half-added stays.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import threading
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from .. import Index, Metric


class StageExpired(RuntimeError):
    """A commit came for a batch whose lease had run out, and which this
    replica had therefore undone."""


def file_sha256(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def load_index(path: str, mmap: bool = False) -> Index:
    """A shard's index read (or with ``mmap``, mapped) from its saved file:
    every replica of a load reads through here."""
    return Index.load(path, mmap=mmap)


# A staged batch as ``dump`` hands it to a new replica: its token, kind, ids,
# the seconds left of its lease and what its commit applies.
StagedCopy = tuple[str, str, npt.NDArray[np.int64], float, Any]


@dataclass
class _Staged:
    kind: str  # "add", "remove", "upsert" or "metadata"
    ids: npt.NDArray[np.int64]
    deadline: float  # time.monotonic() after which the sweeper aborts it
    # What the commit applies: (rows, ids, metadata) of an upsert, the
    # metadata rows of a metadata update.
    payload: Any = None


class Shard:
    def __init__(self, threads: int) -> None:
        self._threads = threads
        self._index: Index | None = None
        self._staged: dict[str, _Staged] = {}
        # Batches aborted or expired here, newest last: a block of an
        # ingestion that arrives after its batch was given up is refused.
        self._given_up: dict[str, None] = {}
        # Every touch of the index or of the staged batches holds this lock:
        # the sweeper runs beside the actor's calls.
        self._mutex = threading.Condition()
        self._sweeper = threading.Thread(target=self._sweep, name="hobrin_ann lease sweeper", daemon=True)
        self._sweeper.start()

    @property
    def index(self) -> Index:
        assert self._index is not None, "the shard holds no index yet"
        return self._index

    def ready(self) -> tuple[int, str]:
        """The process id and Ray node id of this replica, once it is placed."""
        return os.getpid(), ray.get_runtime_context().get_node_id()

    def create(self, dim: int, metric: Metric, options: dict[str, Any]) -> None:
        self._index = Index(dim, metric, **options)

    def load(self, path: str, sha256: str, name: str, mmap: bool = False) -> None:
        """Loads the file at ``path`` once its contents match ``sha256``."""
        try:
            matches = file_sha256(path) == sha256
        except OSError as error:
            raise ValueError(f"corrupt sharded index: {name} cannot be read: {error}") from None
        if not matches:
            raise ValueError(f"corrupt sharded index: {name} does not match its checksum")
        self._index = load_index(path, mmap)

    # ---- a copy for a new replica ------------------------------------------------

    def dump(self) -> tuple[bytes, list[StagedCopy]]:
        """The index's bytes and its staged batches (with the seconds left of
        their leases), from which ``restore`` makes an equal replica."""
        with self._mutex:
            now = time.monotonic()
            staged = [(t, s.kind, s.ids, s.deadline - now, s.payload) for t, s in self._staged.items()]
            return pickle.dumps(self.index, protocol=5), staged

    def restore(self, copy: tuple[bytes, list[StagedCopy]]) -> None:
        data, staged = copy
        with self._mutex:
            self._index = pickle.loads(data)
            now = time.monotonic()
            self._staged = {t: _Staged(kind, ids, now + left, held) for t, kind, ids, left, held in staged}
            self._mutex.notify()

    # ---- reads -------------------------------------------------------------------

    def size(self) -> int:
        return len(self.index)

    def nbytes(self) -> int:
        return self.index.nbytes

    def present(self, ids: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
        """Which of ``ids`` the index holds."""
        return self.index.contains_many(ids)

    def search(
        self,
        rows: npt.NDArray[Any],
        k: int,
        ef: int | None,
        filter: Any,
        threads: int,
        exact: bool,
        rerank: float | None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
        """The shard's own search; ``threads`` 0 uses this replica's CPUs."""
        # No shard returns more columns than it has vectors; the merge pads.
        width = max(1, min(k, len(self.index)))
        workers = threads or self._threads
        return self.index.search(
            rows, width, ef=ef, filter=filter, threads=workers, exact=exact, rerank=rerank
        )

    def get(self, ids: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
        return self.index.get(ids)

    # ---- two-step writes -----------------------------------------------------------

    def stage(
        self,
        token: str,
        rows: npt.NDArray[Any],
        ids: npt.NDArray[np.int64],
        metadata: list[Any] | None,
        lease: float,
    ) -> int:
        """Adds the rows under ``token``; a later stage of the same token (the
        blocks of one ingestion) adds to it. Returns the rows added."""
        with self._mutex:
            if token in self._given_up:
                raise StageExpired(f"batch {token} was aborted here or its lease ran out")
            if ids.size:
                self.index.add(rows, ids, metadata, threads=self._threads)
            held = self._staged.get(token)
            if held is not None:
                ids = np.concatenate([held.ids, ids])
            self._staged[token] = _Staged("add", ids, time.monotonic() + lease)
            self._mutex.notify()
        return int(rows.shape[0])

    def stage_part(
        self, token: str, part: tuple[npt.NDArray[Any], npt.NDArray[np.int64], list[Any] | None], lease: float
    ) -> int:
        """``stage`` of a block of an ingestion, its rows, ids and metadata
        sent once for every replica."""
        return self.stage(token, *part, lease)

    def stage_remove(self, token: str, ids: npt.NDArray[np.int64], lease: float) -> None:
        """Checks that every id is here; the commit removes them."""
        with self._mutex:
            self._require_present(ids)
            self._keep(token, _Staged("remove", ids, time.monotonic() + lease))

    def stage_upsert(
        self, token: str, part: tuple[npt.NDArray[Any], npt.NDArray[np.int64], list[Any] | None], lease: float
    ) -> None:
        """Checks an upsert of ``part`` (rows, ids, metadata, as ``stage_part``
        takes them) as this replica's index checks it, changing nothing; the
        commit makes it."""
        rows, ids, metadata = part
        with self._mutex:
            self._require_writable()
            if ids.size:
                self.index.check_batch(rows, ids, metadata)
            self._keep(token, _Staged("upsert", ids, time.monotonic() + lease, part))

    def stage_metadata(
        self, token: str, ids: npt.NDArray[np.int64], metadata: list[Any], lease: float
    ) -> None:
        """Checks that every id is here and every row fits the schema; the
        commit gives the ids their new metadata."""
        with self._mutex:
            self._require_writable()
            self.index.check_metadata_update(ids, metadata)
            self._require_present(ids)
            self._keep(token, _Staged("metadata", ids, time.monotonic() + lease, metadata))

    def _require_present(self, ids: npt.NDArray[np.int64]) -> None:
        held = self.index.contains_many(ids)
        if not held.all():
            raise KeyError(int(ids[np.argmin(held)]))

    def _require_writable(self) -> None:
        if self.index.mapped:
            raise ValueError("this replica's index is memory-mapped and read-only")

    def _keep(self, token: str, staged: _Staged) -> None:
        self._staged[token] = staged
        self._mutex.notify()

    def renew(self, token: str, lease: float) -> None:
        """Moves the deadline of a staged batch still being filled."""
        with self._mutex:
            held = self._staged.get(token)
            if held is not None:
                held.deadline = time.monotonic() + lease

    def commit(self, token: str) -> None:
        with self._mutex:
            held = self._staged.pop(token, None)
            if held is None:
                raise StageExpired(f"batch {token} was not staged here or its lease ran out")
            if not held.ids.size:
                return
            # The index makes each of these all or nothing: if one raises (out
            # of memory), this replica is as it was and the driver drops it.
            if held.kind == "remove":
                self.index.remove(held.ids, threads=self._threads)
            elif held.kind == "upsert":
                rows, ids, metadata = held.payload
                self.index.upsert(rows, ids, metadata, threads=self._threads)
            elif held.kind == "metadata":
                self.index.update_metadata(held.ids, held.payload)

    def abort(self, token: str) -> None:
        with self._mutex:
            self._undo(token, self._staged.pop(token, None))

    def _undo(self, token: str, held: _Staged | None) -> None:
        self._given_up[token] = None
        if len(self._given_up) > 1024:
            del self._given_up[next(iter(self._given_up))]
        if held is not None and held.kind == "add" and held.ids.size:
            self.index.remove(held.ids, threads=self._threads)

    def staged(self) -> int:
        """How many batches are staged and neither committed nor aborted yet."""
        with self._mutex:
            return len(self._staged)

    def _sweep(self) -> None:
        """Aborts every staged batch whose lease has run out."""
        with self._mutex:
            while True:
                now = time.monotonic()
                for token in [t for t, s in self._staged.items() if s.deadline <= now]:
                    self._undo(token, self._staged.pop(token))
                deadlines = [s.deadline for s in self._staged.values()]
                self._mutex.wait(min(deadlines) - now if deadlines else None)

    # ---- whole-index writes ----------------------------------------------------------

    def compact(self) -> None:
        with self._mutex:
            self._index = self.index.compact(threads=self._threads)

    def save(self, path: str) -> tuple[int, str, int]:
        """Writes the index to ``path``; returns the file's size and SHA-256
        and the number of vectors it holds."""
        with self._mutex:
            self.index.save(path)
            vectors = len(self.index)
        return os.path.getsize(path), file_sha256(path), vectors
