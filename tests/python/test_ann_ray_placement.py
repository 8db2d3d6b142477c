"""Where hobrin_ann.ray puts replicas: packed by what each node holds, those
of a shard on distinct nodes, with a default request that fits the nodes; a
request no placement can hold fails at once, naming every node's figures.
The packing is checked against an exhaustive search, the rest on a Ray
cluster of this machine whose workers are given the CPUs of each case."""

import itertools
import re
import time

import numpy as np
import pytest

with open("/proc/self/maps") as maps:
    if "libasan" in maps.read():
        pytest.skip("Ray's own processes cannot run under the preloaded sanitizers", allow_module_level=True)

import ray  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402

from hobrin_ann.ray import ShardedIndex, ShardError  # noqa: E402
from hobrin_ann.ray._placement import Node, Request, default_cpus, pack  # noqa: E402

DIM = 8
GIB = 1 << 30


def packs(nodes, requests, replicas, cpus):
    """Whether some placement exists, by trying every choice of nodes for
    every shard (``cpus``: node id to its CPUs; memory is not short here)."""
    if not requests:
        return True
    need = requests[0].cpus
    for picked in itertools.combinations(nodes, replicas):
        if all(cpus[node] >= need - 1e-9 for node in picked):
            left = {**cpus, **{node: cpus[node] - need for node in picked}}
            if packs(nodes, requests[1:], replicas, left):
                return True
    return False


def check_packing(cpus, request, shards, replicas):
    """pack places every replica exactly when some placement exists, never
    two of a shard on one node nor more on a node than its CPUs."""
    room = {node: (c, 64 * GIB) for node, c in cpus.items()}
    chosen = pack([request] * shards, [replicas] * shards, [()] * shards, room)
    placed = all(len(picked) == replicas for picked in chosen)
    assert placed == packs(list(cpus), [request] * shards, replicas, cpus), (cpus, request, chosen)
    assert all(len(set(picked)) == len(picked) for picked in chosen)
    for node in cpus:
        assert sum(picked.count(node) for picked in chosen) * request.cpus <= cpus[node] + 1e-9
    return placed


@pytest.mark.parametrize("order", list(itertools.permutations("abc")), ids="".join)
def test_a_small_node_takes_no_more_than_it_holds_whatever_the_node_ids(order):
    # A node of one CPU and two of two: four replicas of one CPU fit only if
    # the small node takes one, whichever id sorts first.
    assert check_packing(dict(zip(order, [1.0, 2.0, 2.0])), Request(1.0, GIB), shards=2, replicas=2)


def test_packing_finds_a_placement_whenever_one_exists():
    rng = np.random.default_rng(5)
    outcomes = set()
    for _ in range(2000):
        count = int(rng.integers(2, 6))
        cpus = {f"n{i}": float(rng.choice([0.5, 1.0, 1.5, 2.0, 3.0])) for i in range(count)}
        request = Request(float(rng.choice([0.5, 1.0])), GIB)
        outcomes.add(check_packing(cpus, request, int(rng.integers(1, 5)), int(rng.integers(1, count + 1))))
    assert outcomes == {True, False}


# The default for the shapes of the cluster tests below is checked there.
@pytest.mark.parametrize(
    "cpus, shards, replicas, expected",
    [
        ([2, 2, 2, 2], 4, 1, 2.0),  # even nodes: the cluster shared evenly
        ([1, 1], 3, 2, 0.3333),  # in Ray's ten-thousandths, rounded down so that three fit
        ([2, 2], 1, 3, 4 / 3),  # too few nodes: the even share, which placement refuses
    ],
)
def test_the_default_request_is_the_largest_that_fits(cpus, shards, replicas, expected):
    nodes = [Node(f"n{i}", c, 64 * GIB, c, 64 * GIB) for i, c in enumerate(cpus)]
    found = default_cpus(nodes, [GIB] * shards, replicas)
    assert found == pytest.approx(expected)
    if len(nodes) >= replicas:
        cpus = {node.id: node.cpus for node in nodes}
        assert check_packing(cpus, Request(found, GIB), shards, replicas)
        assert not check_packing(cpus, Request(found + 1e-4, GIB), shards, replicas)


@pytest.fixture(scope="module")
def cluster():
    """A head that takes no replica (no CPUs) and a function that gives the
    workers the CPUs listed, 2 GiB of memory each, adding and removing
    workers as needed; it returns the workers' node ids and CPUs."""
    node = {"object_store_memory": 100 << 20, "memory": 2 * GIB}
    nodes = Cluster(initialize_head=True, head_node_args={**node, "num_cpus": 0, "include_dashboard": False})
    ray.init(address=nodes.address, log_to_driver=False)
    workers = []

    def shape(cpus):
        wanted = list(cpus)
        for worker in list(workers):
            if worker[1] in wanted:
                wanted.remove(worker[1])
            else:
                nodes.remove_node(worker[0])
                workers.remove(worker)
        workers.extend((nodes.add_node(**node, num_cpus=c), c) for c in wanted)
        nodes.wait_for_nodes()
        ids = {worker.node_id: c for worker, c in workers}
        deadline = time.monotonic() + 60
        while {n["NodeID"] for n in ray.nodes() if n["Alive"] and n["Resources"].get("CPU")} != set(ids):
            assert time.monotonic() < deadline, "the cluster did not take its shape"
            time.sleep(0.2)
        return ids

    yield shape
    ray.shutdown()
    nodes.shutdown()


@pytest.mark.parametrize(
    "cpus, shards, replicas, cpus_per_shard, expected",
    [
        ([2, 2, 2], 2, 2, None, 1.0),
        ([2, 2, 1], 2, 2, None, 1.0),
        ([2, 2, 1], 4, 2, None, 0.5),
        ([2, 2, 1], 3, 1, None, 1.0),
        ([1, 2, 2], 2, 2, 1.0, 1.0),
    ],
)
def test_replicas_are_packed_by_what_each_node_holds(
    cluster, cpus, shards, replicas, cpus_per_shard, expected
):
    held = cluster(cpus)
    rng = np.random.default_rng(len(cpus) + shards)
    vectors = rng.standard_normal((200, DIM), dtype=np.float32)
    index = ShardedIndex(
        DIM, shards=shards, replicas=replicas, cpus_per_shard=cpus_per_shard, seed=1, timeout=60
    )
    try:
        assert f"cpus_per_shard={expected:g})" in repr(index)
        status = index.replica_status()
        assert all(len({replica["node"] for replica in shard}) == replicas for shard in status)
        on = [replica["node"] for shard in status for replica in shard]
        assert all(on.count(node) * expected <= held[node] for node in set(on))
        ids = index.add(vectors)
        labels, _ = index.search(vectors[:10], 1, ef=200)
        np.testing.assert_array_equal(labels.ravel(), ids[:10])
    finally:
        index.close()


@pytest.mark.parametrize(
    "shards, replicas, options, asked",
    [
        (2, 2, {"cpus_per_shard": 1.5}, "1.5 CPUs"),
        (3, 1, {"cpus_per_shard": 2}, "2 CPUs"),
        # A replica of 1.17 GiB: one on each node of 2 GiB.
        (2, 2, {"cpus_per_shard": 0.1, "capacity": 6_000_000}, "0.1 CPUs and 1.17 GiB"),
    ],
    ids=["cpus", "one-replica-each", "memory"],
)
def test_a_request_no_placement_holds_fails_at_once_naming_every_node(
    cluster, shards, replicas, options, asked
):
    held = cluster([2, 2, 1])
    started = time.monotonic()
    with pytest.raises(ShardError, match="cannot be placed") as raised:
        ShardedIndex(DIM, shards=shards, replicas=replicas, placement_timeout=60, **options)
    assert time.monotonic() - started < 10
    message = str(raised.value)
    assert f"{shards} shard(s) of {replicas} replica(s), each replica asking {asked}" in message
    for node, cpus in held.items():
        assert re.search(rf"node {node[:8]} has [\d.]+ of {cpus} CPUs and [\d.]+ of 2.00 GiB free", message)
