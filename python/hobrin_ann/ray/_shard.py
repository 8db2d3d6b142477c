"""One shard: a ``hobrin_ann.Index`` in the process of a Ray actor.

The driver (``ShardedIndex``) is the only caller and makes one call at a time,
so an add can be staged here and committed or undone by the next call.
"""

from __future__ import annotations

import hashlib
import os
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import Index


def file_sha256(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


class Shard:
    def __init__(self, threads: int) -> None:
        self._threads = threads
        self._index: Index | None = None
        self._staged: dict[str, npt.NDArray[np.int64]] = {}

    @property
    def index(self) -> Index:
        assert self._index is not None, "the shard holds no index yet"
        return self._index

    def create(self, dim: int, metric: str, options: dict[str, Any]) -> int:
        self._index = Index(dim, metric, **options)
        return os.getpid()

    def load(self, path: str, sha256: str, name: str) -> int:
        """Loads the file at ``path`` once its contents match ``sha256``."""
        try:
            matches = file_sha256(path) == sha256
        except OSError as error:
            raise ValueError(f"corrupt sharded index: {name} cannot be read: {error}") from None
        if not matches:
            raise ValueError(f"corrupt sharded index: {name} does not match its checksum")
        self._index = Index.load(path)
        return os.getpid()

    def size(self) -> int:
        return len(self.index)

    def nbytes(self) -> int:
        return self.index.nbytes

    def present(self, ids: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
        """Which of ``ids`` the index holds."""
        return self.index.contains_many(ids)

    # An add in two steps: stage adds the rows and remembers their ids, commit
    # forgets them, abort removes them again.
    def stage(
        self,
        token: str,
        rows: npt.NDArray[Any],
        ids: npt.NDArray[np.int64],
        metadata: list[Any] | None,
    ) -> None:
        if ids.size:
            self.index.add(rows, ids, metadata, threads=self._threads)
        self._staged[token] = ids

    def commit(self, token: str) -> None:
        self._staged.pop(token, None)

    def abort(self, token: str) -> None:
        ids = self._staged.pop(token, None)
        if ids is not None and ids.size:
            self.index.remove(ids)

    def search(
        self, rows: npt.NDArray[Any], k: int, ef: int | None, filter: Any
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
        # No shard returns more columns than it has vectors; the merge pads.
        width = max(1, min(k, len(self.index)))
        return self.index.search(rows, width, ef=ef, filter=filter, threads=self._threads)

    def get(self, ids: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
        return self.index.get(ids)

    def remove(self, ids: npt.NDArray[np.int64]) -> None:
        if ids.size:
            self.index.remove(ids)

    def compact(self) -> None:
        self._index = self.index.compact(threads=self._threads)

    def save(self, path: str) -> tuple[int, str, int]:
        """Writes the index to ``path``; returns the file's size and SHA-256
        and the number of vectors it holds."""
        self.index.save(path)
        return os.path.getsize(path), file_sha256(path), len(self.index)
