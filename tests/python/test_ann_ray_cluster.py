"""hobrin_ann.ray on a Ray cluster of four nodes on this machine (a head and
three workers): replicas on different nodes keep every search answering
while a node is lost, heal() restores them once a node joins, add_dataset
stages from Ray Data's tasks, and an index that cannot be placed fails
within its placement timeout."""

import os
import signal
import threading
import time

import numpy as np
import pytest

with open("/proc/self/maps") as maps:
    if "libasan" in maps.read():
        pytest.skip("Ray's own processes cannot run under the preloaded sanitizers", allow_module_level=True)

import ray  # noqa: E402
import ray.data  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402

from hobrin_ann.ray import ShardedIndex, ShardError, _writes, shard_of  # noqa: E402

# Ray Data warns of its own deprecated settings when its context is touched.
pytestmark = pytest.mark.filterwarnings(r"ignore::DeprecationWarning:ray\..*")

DIM = 8
# Two CPUs a node (declared to Ray, not real ones): a tenth of one for each
# replica, and a whole one for the tasks of Ray Data that read and repartition.
NODE = {"num_cpus": 2, "object_store_memory": 100 << 20}
PLACEMENT = {"cpus_per_shard": 0.1, "timeout": 30, "placement_timeout": 30}


@pytest.fixture(scope="module")
def cluster():
    nodes = Cluster(initialize_head=True, head_node_args={**NODE, "include_dashboard": False})
    workers = [nodes.add_node(**NODE) for _ in range(3)]
    nodes.wait_for_nodes()
    ray.init(address=nodes.address, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield nodes, workers
    ray.shutdown()
    nodes.shutdown()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(19)
    vectors = rng.standard_normal((400, DIM), dtype=np.float32)
    colors = np.array(["red", "green", "blue"])[np.arange(len(vectors)) % 3]
    return vectors, colors, rng.standard_normal((20, DIM), dtype=np.float32)


def exact(vectors, ids, queries, k):
    """The k nearest ids and their distances by brute force, ties by id."""
    distance = np.sqrt(((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(-1))
    order = np.lexsort((np.broadcast_to(ids, distance.shape), distance), axis=1)[:, :k]
    return ids[order], np.take_along_axis(distance, order, axis=1)


def assert_exact(index, vectors, ids, queries, k=5):
    labels, distances = index.search(queries, k, ef=len(vectors))
    expected_labels, expected_distances = exact(vectors, ids, queries, k)
    np.testing.assert_array_equal(labels, expected_labels)
    np.testing.assert_allclose(distances, expected_distances, rtol=1e-4, atol=1e-4)


def test_a_lost_node_fails_no_search_and_heal_restores_the_replicas(cluster, data):
    nodes, workers = cluster
    vectors, _, queries = data
    index = ShardedIndex(DIM, shards=2, replicas=2, seed=3, **PLACEMENT)
    try:
        ids = index.add(vectors[:300])
        status = index.replica_status()
        for shard in status:  # two live replicas, each on its own node
            assert len(shard) == 2 and shard[0]["node"] != shard[1]["node"]
        expected = index.search(queries, 5)
        held = {replica["node"] for shard in status for replica in shard}
        lost = next(worker for worker in workers if worker.node_id in held)

        # A stream of searches while the node goes: every one answers in full.
        remover = threading.Thread(target=nodes.remove_node, args=(lost,), kwargs={"allow_graceful": False})
        answers = []
        remover.start()
        while remover.is_alive() or len(answers) < 40:
            answers.append(index.search(queries, 5))
        remover.join()
        for labels, distances in answers:
            np.testing.assert_array_equal(labels, expected[0])
            np.testing.assert_array_equal(distances, expected[1])

        # Writes go on to the live replicas; the lost one is out of service.
        ids = np.concatenate([ids, index.add(vectors[300:350])])
        live = index.replica_status()
        assert sorted(len(shard) for shard in live) == [1, 2]
        assert all(r["node"] != lost.node_id for shard in live for r in shard)
        assert "live=[" in repr(index)

        workers.append(nodes.add_node(**NODE))
        nodes.wait_for_nodes()
        assert index.heal() == 1
        assert index.heal() == 0
        healed = index.replica_status()
        assert all(len(shard) == 2 and shard[0]["node"] != shard[1]["node"] for shard in healed)
        # Only the new copy is left of the shard that lost one: it holds
        # every row, those added after the loss too.
        short = next(s for s, shard in enumerate(live) if len(shard) == 1)
        old = index._replicas.groups[short][0]
        index._replicas.drop(short, old, "dropped by the test")
        assert len(index) == 350
        np.testing.assert_array_equal(index.get(ids[-50:]), vectors[300:350])
        assert_exact(index, vectors[:350], ids, queries)
    finally:
        index.close()


FILTERS = (None, ("color", "amber"))


def test_upserts_and_metadata_updates_keep_the_replicas_equal(cluster, data):
    vectors, colors, queries = data
    index = ShardedIndex(DIM, shards=2, replicas=2, schema=["color"], seed=3, **PLACEMENT)
    try:
        index.add(vectors[:200], metadata=[[("color", str(c))] for c in colors[:200]])
        # A replica that died before the write is dropped; the write goes on.
        os.kill(index.replica_status()[0][0]["pid"], signal.SIGKILL)
        upserted = np.concatenate([np.arange(50), np.arange(500, 550)])
        index.upsert(vectors[200:300], upserted, [[("color", "violet")]] * 100)
        with pytest.raises(KeyError, match="999"):
            index.update_metadata([60, 999], [[("color", "amber")]] * 2)
        index.update_metadata([60, 61, 500], [[("color", "amber")]] * 3)
        assert [len(shard) for shard in index.replica_status()] == [1, 2]
        assert index.heal() == 1  # a copy of the live replica, the writes in it
        ids = np.concatenate([np.arange(200), np.arange(500, 550)])
        expected = np.concatenate([vectors[200:250], vectors[50:200], vectors[250:300]])
        assert len(index) == 250 and index.add(vectors[0])[0] == 550
        for shard, group in enumerate(index._replicas.groups):
            mine = ids[shard_of(ids, 2) == shard]
            views = [
                [ray.get(r.actor.get.remote(mine))]
                + [ray.get(r.actor.search.remote(queries, 5, None, f, 1, False, None)) for f in FILTERS]
                for r in group
            ]
            for view in views[1:]:
                np.testing.assert_array_equal(view[0], views[0][0])
                for got, first in zip(view[1:], views[0][1:]):
                    np.testing.assert_array_equal(got[0], first[0])
                    np.testing.assert_array_equal(got[1], first[1])
        labels, _ = index.search(queries, 5, exact=True, filter=("color", "amber"))
        assert set(labels.ravel()) == {60, 61, 500, -1}
        index._replicas.drop(0, index._replicas.groups[0][0], "dropped by the test")  # the copy answers
        assert_exact(index, np.concatenate([expected, vectors[:1]]), np.append(ids, 550), queries)
    finally:
        index.close()


def test_a_replica_that_fails_a_commit_its_shard_made_is_dropped(cluster, data):
    vectors, _, _ = data
    index = ShardedIndex(DIM, shards=2, replicas=2, schema=["color"], **PLACEMENT)
    try:
        ids = index.add(vectors[:40], metadata=[[("color", "red")]] * 40)
        chosen = [ids[shard_of(ids, 2) == shard][:1] for shard in range(2)]
        replicas, token = index._replicas, _writes.new_token()
        blue = [[("color", "blue")]]
        staged = replicas.send_all("stage_metadata", [(token, chosen[s], blue, 60) for s in range(2)])
        ray.get([ref for *_, ref in staged])
        # Between stage and commit, one replica of shard 0 and both of shard
        # 1 lose the id, so that their commits fail.
        for replica in [replicas.groups[0][0], *replicas.groups[1]]:
            shard = 0 if replica in replicas.groups[0] else 1
            ray.get(replica.actor.stage_remove.remote("r" * 16, chosen[shard], 60))
            ray.get(replica.actor.commit.remote("r" * 16))
        with pytest.raises(KeyError):
            _writes.commit(replicas, token, lambda: None, None)
        # Shard 0's failed replica is dropped; shard 1's, none of which
        # committed, stay as they were.
        assert [len(shard) for shard in index.replica_status()] == [1, 2]
        labels, _ = index.search(vectors[0], 5, exact=True, filter=("color", "blue"))
        assert labels[labels >= 0].tolist() == chosen[0].tolist()
    finally:
        index.close()


def dataset(vectors, colors, ids, blocks=4):
    rows = [{"vector": v, "id": int(i), "color": str(c)} for v, i, c in zip(vectors, ids, colors)]
    return ray.data.from_items(rows).repartition(blocks)


@pytest.mark.parametrize("id_column", ["id", None])
def test_add_dataset_gives_what_add_gives(cluster, data, id_column):
    vectors, colors, queries = data
    ids = np.arange(1000, 1000 + len(vectors), dtype=np.int64)
    index = ShardedIndex(DIM, shards=3, replicas=2, schema=["color"], seed=5, **PLACEMENT)
    try:
        index.add(vectors[:1], ids=[5], metadata=[[("color", "red")]])
        added = index.add_dataset(
            dataset(vectors, colors, ids), id_column=id_column, metadata_columns=["color"]
        )
        assert added == len(vectors) and len(index) == len(vectors) + 1
        if id_column is None:  # default ids: the next free ones, in the order blocks are staged
            ids = np.arange(6, 6 + len(vectors))
            order = [int(np.flatnonzero((vectors == row).all(1))[0]) for row in index.get(ids)]
            vectors, colors = vectors[order], colors[order]
        else:
            np.testing.assert_array_equal(index.get(ids), vectors)
        everything = np.concatenate([vectors[:1] if id_column else index.get([5]), vectors])
        assert_exact(index, everything, np.concatenate([[5], ids]), queries)
        red = colors == "red"
        labels, _ = index.search(queries, 5, ef=500, filter=("color", "green"))
        assert set(labels.ravel()) <= set(ids[colors == "green"]) and red.any()
        assert index.add(vectors[0])[0] == ids.max() + 1  # default ids go on after the dataset's
    finally:
        index.close()


@pytest.mark.parametrize(
    "ids, options, error, match",
    [
        ([5] + list(range(100, 139)), {"id_column": "id"}, ValueError, "already in the index"),
        (list(range(100, 120)) * 2, {"id_column": "id"}, ValueError, "already in the index"),
        (list(range(100, 140)), {"id_column": "missing"}, KeyError, "no column 'missing'"),
        (list(range(100, 140)), {"metadata_columns": []}, ValueError, "color"),
    ],
    ids=["present-id", "repeated-across-blocks", "no-column", "no-metadata"],
)
def test_a_failing_dataset_adds_nothing(cluster, data, ids, options, error, match):
    vectors, colors, _ = data
    index = ShardedIndex(DIM, shards=2, replicas=2, schema=["color"], **PLACEMENT)
    try:
        index.add(vectors[:1], ids=[5], metadata=[[("color", "red")]])
        options.setdefault("metadata_columns", ["color"])
        rows = dataset(vectors[: len(ids)], colors[: len(ids)], np.array(ids))
        with pytest.raises(error, match=match):
            index.add_dataset(rows, **options)
        assert len(index) == 1
        staged = [ray.get(r.actor.staged.remote()) for r in index._replicas.actors()]
        assert staged == [0] * len(staged)
        assert index.add(vectors[1], metadata=[[("color", "red")]])[0] == 6
    finally:
        index.close()


@pytest.mark.parametrize(
    "options, match, seconds",
    [
        ({"cpus_per_shard": 1.5}, r"could not be placed within 2 s: it asks for 1.5 CPUs and .* GiB free", 2),
        ({"cpus_per_shard": 8}, r"needs a node of its own with 8 CPUs .* 0 node\(s\)", 0),
        ({"cpus_per_shard": 0.1, "replicas": 5}, r"each of its 5 replicas needs a node of its own", 0),
    ],
    ids=["held-by-another-index", "larger-than-any-node", "more-replicas-than-nodes"],
)
def test_an_unplaceable_index_fails_within_placement_timeout(cluster, options, match, seconds):
    # Another index holds 1.5 of each node's 2 CPUs.
    holder = ShardedIndex(DIM, shards=1, replicas=4, cpus_per_shard=1.5, timeout=30)
    try:
        started = time.monotonic()
        with pytest.raises(ShardError, match=match):
            ShardedIndex(DIM, shards=2, timeout=600, placement_timeout=2, **options)
        assert time.monotonic() - started < seconds + 10
        assert len(holder.replica_status()[0]) == 4
    finally:
        holder.close()
