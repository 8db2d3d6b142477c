"""Which shard holds an id, and how the shards' answers become one."""

from __future__ import annotations

from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from .. import Index
from ..checks import whole_number

_MIX = (np.uint64(0x9E3779B97F4A7C15), np.uint64(0xBF58476D1CE4E5B9), np.uint64(0x94D049BB133111EB))


def shard_of(ids: npt.ArrayLike, shards: SupportsIndex) -> npt.NDArray[np.intp]:
    """The shard of each id: a 64-bit mix of the id (the SplitMix64 finaliser)
    modulo the shard count. It depends on nothing but the id, so it is the same
    in every process, on every machine and after a load."""
    id_array = Index.check_ids(ids)
    shards = whole_number("shards", shards, 1)
    with np.errstate(over="ignore"):
        x = id_array.astype(np.uint64) + _MIX[0]
        x = (x ^ (x >> np.uint64(30))) * _MIX[1]
        x = (x ^ (x >> np.uint64(27))) * _MIX[2]
        x ^= x >> np.uint64(31)
    return (x % np.uint64(shards)).astype(np.intp)


def merge_nearest(
    parts: list[tuple[npt.NDArray[np.int64], npt.NDArray[Any]]], k: int
) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
    """The k best (distance, id) pairs of each query row over every shard's
    (labels, distances), nearest first and ties by id; shards may answer fewer
    than k columns. Padding (-1, inf) sorts
    after every found vector, so it stays only where fewer than k were found."""
    labels = np.concatenate([part[0] for part in parts], axis=1)
    distances = np.concatenate([part[1] for part in parts], axis=1)
    if labels.shape[1] < k:  # shards answer at most as many columns as they hold vectors
        missing = k - labels.shape[1]
        labels = np.pad(labels, ((0, 0), (0, missing)), constant_values=-1)
        distances = np.pad(distances, ((0, 0), (0, missing)), constant_values=np.inf)
    # As unsigned, the padding label -1 is the largest of all.
    order = np.lexsort((labels.view(np.uint64), distances), axis=1)[:, :k]
    return np.take_along_axis(labels, order, axis=1), np.take_along_axis(distances, order, axis=1)


def scatter(out: npt.NDArray[Any], parts: list[npt.NDArray[np.intp]], answers: list[Any]) -> None:
    """Puts each shard's answers back where its items came from."""
    for part, answer in zip(parts, answers, strict=True):
        out[part] = answer
