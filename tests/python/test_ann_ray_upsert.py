"""Upserts and metadata updates of hobrin_ann.ray on a local Ray cluster: they
give what the same shards give in-process, and a refused one leaves every
shard as it was."""

import threading

import numpy as np
import pytest
import ray

from hobrin_ann import Index
from hobrin_ann.ray import ShardedIndex, shard_of
from test_ann_ray import (  # noqa: F401 (cluster and data are fixtures)
    DIM,
    OPTIONS,
    PLACEMENT,
    SHARDS,
    Unsendable,
    assert_same_search,
    cluster,
    data,
    in_process_shards,
)

BASE = 600


def upsert_locally(shards, rows, ids, metadata, method="upsert"):
    """The same write on the in-process shards, each its part."""
    owner = shard_of(ids, SHARDS)
    for shard, index in enumerate(shards):
        part = np.flatnonzero(owner == shard)
        chosen = [metadata[i] for i in part]
        if method == "upsert":
            index.upsert(rows[part], ids[part], chosen, threads=1)
        else:
            index.update_metadata(ids[part], chosen)


@pytest.fixture(scope="module")
def churned(cluster, data):  # noqa: F811
    """A sharded index, its shards in-process and one whole index, all given
    the same upsert of present and new ids and the same metadata update."""
    vectors, metadata, _ = data
    sharded = ShardedIndex(DIM, shards=SHARDS, **PLACEMENT, **OPTIONS)
    ids = sharded.add(vectors[:BASE], metadata=metadata[:BASE])
    local = in_process_shards(vectors[:BASE], ids, metadata[:BASE])
    whole = Index(DIM, **OPTIONS)
    whole.add(vectors[:BASE], metadata=metadata[:BASE])

    rng = np.random.default_rng(29)
    ids = np.concatenate([np.arange(0, BASE, 7), np.arange(BASE + 50, BASE + 90)]).astype(np.int64)
    rng.shuffle(ids)
    rows = rng.standard_normal((ids.size, DIM), dtype=np.float32)
    tags = [[("color", "violet" if i % 2 else "red")] for i in range(ids.size)]
    sharded.upsert(rows, ids, tags)
    upsert_locally(local, rows, ids, tags)
    whole.upsert(rows, ids, tags, threads=1)

    relabelled = np.array([1, 2, 3, int(ids[0])])
    amber = [[("color", "amber")]] * relabelled.size
    sharded.update_metadata(relabelled, amber)
    upsert_locally(local, None, relabelled, amber, method="update_metadata")
    whole.update_metadata(relabelled, amber)
    yield sharded, local, whole, (rows, ids)
    sharded.close()


@pytest.mark.parametrize(
    "options", [{}, {"filter": ("color", "violet")}, {"filter": ("color", "amber")}, {"ef": 20}]
)
def test_upsert_and_update_metadata_give_what_the_shards_give_in_process(churned, data, options):  # noqa: F811
    sharded, local, whole, (rows, ids) = churned
    assert_same_search(sharded, local, data[2], **options)
    assert_same_search(sharded, local, rows[:10], **options)
    # An exact search over the shards is that of one index given the same writes.
    got = sharded.search(data[2], 10, exact=True, **options)
    expected = whole.search(data[2], 10, exact=True, **options)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_allclose(got[1], expected[1], rtol=1e-6)


def test_upserted_vectors_replace_and_extend(churned):
    sharded, _, whole, (rows, ids) = churned
    assert len(sharded) == len(whole) == BASE + 40
    np.testing.assert_array_equal(sharded.get(ids), rows)


def _snapshot(sharded, probe):
    stored = sharded.get(probe)
    return len(sharded), stored, *sharded.search(stored, 10, filter=("color", "violet"))


@pytest.mark.parametrize(
    "method, arguments, error, match",
    [
        ("upsert", ([[0.0] * DIM] * 2, [4, 4]), ValueError, "given more than once"),
        ("upsert", ([[0.0] * DIM] * 2, [4, 5000], [[("color", "a")], [("size", 1)]]), ValueError, "row 1"),
        ("upsert", ([[0.0] * (DIM + 1)], [4]), ValueError, "expected shape"),
        ("upsert", ([[np.nan] * DIM], [4]), ValueError, "NaN"),
        ("upsert", ([[0.0] * DIM], None), TypeError, "ids are required"),
        ("upsert", ([[0.0] * DIM] * 2, [4, 5], [[("color", "a")]]), ValueError, "one row per vector"),
        ("update_metadata", ([4, 5000], [[("color", "a")]] * 2), KeyError, "5000"),
        ("update_metadata", ([4, 5], [[("color", "a")], [("size", 1)]]), ValueError, "row 1"),
        ("update_metadata", ([4, 4], [[("color", "a")]] * 2), ValueError, "given more than once"),
        ("update_metadata", ([4], [[("color", "a")]] * 2), ValueError, "one row per id"),
    ],
    ids=[
        "twice",
        "outside-schema",
        "shape",
        "nan",
        "no-ids",
        "metadata-count",
        "metadata-unknown-id",
        "metadata-outside-schema",
        "metadata-twice",
        "metadata-count",
    ],
)
def test_a_refused_write_changes_no_shard(churned, method, arguments, error, match):
    sharded, local, _, (rows, ids) = churned
    probe = np.concatenate([ids[:20], [4, 5]])
    before = _snapshot(sharded, probe)
    with pytest.raises(error, match=match):
        getattr(sharded, method)(*arguments)
    after = _snapshot(sharded, probe)
    assert after[0] == before[0]
    for got, expected in zip(after[1:], before[1:]):
        np.testing.assert_array_equal(got, expected)
    assert_same_search(sharded, local, rows[:10])
    assert [ray.get(r.actor.staged.remote()) for r in sharded._replicas.actors()] == [0] * SHARDS


def test_a_write_refused_by_the_replicas_changes_no_shard(churned, tmp_path):
    sharded, _, _, (rows, ids) = churned
    # One shard's part cannot be sent after the others were staged.
    owner = shard_of(ids, SHARDS)
    unsendable = [[("color", Unsendable() if shard == 1 else "red")] for shard in owner]
    with pytest.raises(TypeError, match="serialize"):
        sharded.upsert(rows[::-1], ids, unsendable)
    np.testing.assert_array_equal(sharded.get(ids), rows)
    # Mapped replicas refuse at their stage, when the driver lets them be asked.
    sharded.save(tmp_path)
    mapped = ShardedIndex.load(tmp_path, mmap=True, **PLACEMENT)
    try:
        with pytest.raises(ValueError, match="memory-mapped and read-only"):
            mapped.upsert(rows[:1], ids[:1])
        mapped._mapped = False
        for write in (
            lambda: mapped.upsert(rows[:1] + 1, ids[:1]),
            lambda: mapped.update_metadata([4], [[("color", "a")]]),
        ):
            with pytest.raises(ValueError, match="read-only"):
                write()
        np.testing.assert_array_equal(mapped.get(ids), rows)
        assert len(mapped.replica_status()[0]) == 1  # a refusal drops no replica
    finally:
        mapped.close()


def test_searches_during_upserts_see_every_id_once(cluster, data):  # noqa: F811
    vectors = data[0]
    sharded = ShardedIndex(DIM, shards=2, **PLACEMENT)
    try:
        ids = sharded.add(vectors[:400])
        rng = np.random.default_rng(31)
        done = threading.Event()

        def churn():
            while not done.is_set():
                chosen = rng.choice(400, 60, replace=False)
                sharded.upsert(vectors[chosen] + rng.normal(0, 0.01, (60, DIM)).astype(np.float32), chosen)

        writer = threading.Thread(target=churn)
        writer.start()
        try:
            for _ in range(30):
                labels, _ = sharded.search(vectors[:5], 400, exact=True)
                for row in labels:
                    assert sorted(row) == list(ids)
        finally:
            done.set()
            writer.join()
    finally:
        sharded.close()
