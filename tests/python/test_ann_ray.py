"""hobrin_ann.ray on a local Ray cluster: shard actors answer as the same
shards do in-process, keep their batches whole, survive save and load, and
name the shard that fails."""

import _thread
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

with open("/proc/self/maps") as maps:
    if "libasan" in maps.read():
        pytest.skip("Ray's own processes cannot run under the preloaded sanitizers", allow_module_level=True)

import ray  # noqa: E402

from hobrin_ann import And, Index, Not, Or  # noqa: E402
from hobrin_ann.ray import ShardedIndex, ShardError, shard_of  # noqa: E402

DIM = 16
SHARDS = 4
OPTIONS = {"schema": ["color"], "seed": 7}
# A tenth of a CPU per shard (one thread each) lets every index of these tests
# live on the two CPUs of the test cluster at once.
PLACEMENT = {"cpus_per_shard": 0.1, "timeout": 60}


@pytest.fixture(scope="module")
def cluster():
    # A cluster of its own: without an address, Ray joins the latest cluster
    # started on this machine (another test run's, say), which refuses num_cpus.
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((3000, DIM), dtype=np.float32)
    metadata = [[("color", ("red", "green", "blue")[i % 3])] for i in range(len(vectors))]
    return vectors, metadata, rng.standard_normal((40, DIM), dtype=np.float32)


def in_process_shards(vectors, ids, metadata, options=OPTIONS):
    """The same shards built in this process, one thread each as the actors."""
    shards = [Index(DIM, **options) for _ in range(SHARDS)]
    owner = shard_of(ids, SHARDS)
    for shard, index in enumerate(shards):
        rows = np.flatnonzero(owner == shard)
        index.add(vectors[rows], ids[rows], [metadata[i] for i in rows], threads=1)
    return shards


def merged_search(shards, queries, k, **options):
    """Each shard searched in-process, then per query the k best (distance, id)."""
    answers = [shard.search(queries, k, **options) for shard in shards]
    labels, distances = [], []
    for row in range(len(queries)):
        found = sorted(
            (float(d), int(label))
            for labels_, distances_ in answers
            for label, d in zip(labels_[row], distances_[row])
            if label >= 0
        )[:k]
        found += [(np.inf, -1)] * (k - len(found))
        distances.append([d for d, _ in found])
        labels.append([label for _, label in found])
    return np.array(labels), np.array(distances, dtype=np.float32)


@pytest.fixture(scope="module")
def pair(cluster, data):
    vectors, metadata, _ = data
    sharded = ShardedIndex(DIM, shards=SHARDS, **PLACEMENT, **OPTIONS)
    ids = sharded.add(vectors, metadata=metadata)
    yield sharded, in_process_shards(vectors, ids, metadata)
    sharded.close()


def assert_same_search(sharded, local, queries, k=10, **options):
    labels, distances = sharded.search(queries, k, **options)
    expected_labels, expected_distances = merged_search(local, queries, k, **options)
    np.testing.assert_array_equal(labels, expected_labels)
    np.testing.assert_array_equal(distances, expected_distances)


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"ef": 20},
        {"filter": ("color", "red")},
        {"filter": [("color", ["red", "blue"])]},
        {"filter": np.arange(0, 3000, 7)},
        {"filter": ("color", "absent")},
        {"exact": True, "filter": ("color", "red")},
        {"threads": 2, "rerank": 2},
        {"filter": Or(("color", "<", "green"), Not(And(("color", "==", "red"), np.arange(0, 3000, 3))))},
        {"exact": True, "filter": [("color", "not in", ["red"]), Not(np.arange(0, 3000, 2))]},
    ],
    ids=[
        "plain",
        "ef",
        "condition",
        "any-of",
        "id-list",
        "no-match",
        "exact",
        "threads-rerank",
        "expression",
        "exact-expression",
    ],
)
def test_search_equals_in_process_shards_merged(pair, data, options):
    assert_same_search(*pair, data[2], **options)


@pytest.mark.parametrize("filter", [None, ("color", "blue")], ids=["all", "filtered"])
def test_an_exact_search_over_shards_is_that_of_one_index(pair, data, filter):
    vectors, metadata, queries = data
    sharded, _ = pair
    whole = Index(DIM, **OPTIONS)
    whole.add(vectors, metadata=metadata)
    assert len(sharded) == len(whole)  # as added: the tests that remove come later
    labels, distances = sharded.search(queries, 10, exact=True, filter=filter)
    expected_labels, expected_distances = whole.search(queries, 10, exact=True, filter=filter)
    np.testing.assert_array_equal(labels, expected_labels)
    np.testing.assert_allclose(distances, expected_distances, rtol=1e-6)


@pytest.mark.parametrize(
    "options",
    [
        {"rerank": 0.5},
        {"rerank": "2"},
        {"threads": -1},
        {"threads": 1.5},
        {"exact": "yes"},
        {"filter": ("color", "~", "red")},
        {"filter": Not(Or(("color", "between", ("a",)), ("color", "==", "red")))},
        {"filter": ("color", "<", 3)},
    ],
    ids=[
        "rerank-below-1",
        "rerank-text",
        "threads-negative",
        "threads-float",
        "exact-text",
        "unknown-op",
        "nested-between",
        "kind-mismatch",
    ],
)
def test_search_refuses_what_index_search_refuses(pair, data, options):
    with pytest.raises((TypeError, ValueError)) as expected:
        pair[1][0].search(data[2], 10, **options)
    with pytest.raises(type(expected.value), match=re.escape(str(expected.value))):
        pair[0].search(data[2], 10, **options)


@pytest.mark.parametrize(
    "codes",
    [{"quantization": "int8", "keep_vectors": False}, {"quantization": "int4"}, {"quantization": "qgraph"}],
)
def test_shards_of_codes_search_as_in_process_and_keep_their_codes(cluster, data, codes, tmp_path):
    vectors, metadata, queries = data
    options = {**OPTIONS, **codes}
    sharded = ShardedIndex(DIM, shards=SHARDS, **PLACEMENT, **options)
    try:
        local = in_process_shards(vectors, sharded.add(vectors, metadata=metadata), metadata, options)
        assert_same_search(sharded, local, queries, filter=("color", "red"))
        assert_same_search(sharded, local, queries, ef=40, rerank=1)
        sharded.save(tmp_path)
    finally:
        sharded.close()
    loaded = ShardedIndex.load(tmp_path, **PLACEMENT)
    try:
        assert_same_search(loaded, local, queries)
    finally:
        loaded.close()


@pytest.mark.parametrize("empty", [[], np.array([], dtype=np.int64)], ids=["list", "array"])
def test_an_empty_allow_list_finds_nothing(pair, data, empty):
    labels, distances = pair[0].search(data[2][:5], 10, filter=empty)
    assert (labels == -1).all() and np.isinf(distances).all()


def test_removal_goes_through_to_the_shards(pair, data):
    sharded, local = pair
    queries = data[2]
    gone = sharded.search(queries[:5], 3)[0].ravel()
    gone = np.unique(gone)
    sharded.remove(gone)
    owner = shard_of(gone, SHARDS)
    for shard, index in enumerate(local):
        index.remove(gone[owner == shard])
    assert len(sharded) == 3000 - gone.size
    assert_same_search(sharded, local, queries)
    with pytest.raises(KeyError, match=str(gone[0])):
        sharded.remove([int(np.setdiff1d(np.arange(3000), gone)[0]), int(gone[0])])
    assert len(sharded) == 3000 - gone.size
    before = sum(sharded.nbytes)
    sharded.compact()
    local[:] = [index.compact(threads=1) for index in local]
    assert sum(sharded.nbytes) < before
    assert_same_search(sharded, local, queries)


def test_recall_of_four_shards_matches_one_index(cluster):
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((8000, 32), dtype=np.float32)
    queries = rng.standard_normal((200, 32), dtype=np.float32)
    squared = (queries**2).sum(1)[:, None] - 2 * queries @ vectors.T + (vectors**2).sum(1)[None, :]
    truth = np.argsort(squared, axis=1)[:, :10]

    def recall(labels):
        return np.mean([len(set(row) & set(best)) / 10 for row, best in zip(labels, truth)])

    single = Index(32, seed=1, ef_search=32)
    single.add(vectors)
    sharded = ShardedIndex(32, shards=4, seed=1, ef_search=32, **PLACEMENT)
    try:
        sharded.add(vectors)
        assert recall(sharded.search(queries)[0]) >= recall(single.search(queries)[0]) - 0.01
    finally:
        sharded.close()


@pytest.mark.parametrize(
    "ids, metadata, error",
    [
        ([5, 3000, 3001], None, "id 5 is already in the index"),
        ([3000, 3001, 3000], None, "id 3000 is given more than once"),
        (None, [[("color", "red")], [("size", 1)], [("color", "red")]], "metadata row 1"),
        (
            None,
            [[("color", "red")]] * 2 + [[("color", "red"), ("color", "blue")]],
            "row 2: attribute 'color'",
        ),
        (None, [[("color", "red")]], "one row per vector"),
    ],
)
def test_a_rejected_batch_adds_nothing(pair, data, ids, metadata, error):
    sharded, local = pair
    before = len(sharded)
    with pytest.raises(ValueError, match=error):
        sharded.add(data[0][:3], ids=ids, metadata=metadata or [[("color", "red")]] * 3)
    assert len(sharded) == before
    assert_same_search(sharded, local, data[2][:5])


class Unsendable:
    """An integer to an index, but nothing Ray can send to an actor."""

    def __init__(self):
        self.lock = threading.Lock()

    def __index__(self):
        return 1


@pytest.mark.parametrize("failure, count", [("unsendable row", 200), ("timeout", 20000)])
def test_a_batch_failing_midway_is_undone_on_every_shard(cluster, failure, count):
    rows = np.random.default_rng(3).standard_normal((count, DIM), dtype=np.float32)
    sharded = ShardedIndex(DIM, shards=2, schema=["color"], **PLACEMENT)
    try:
        sharded.add(rows[:10], metadata=[[("color", "red")]] * 10)
        metadata = [[("color", "red")]] * count
        if failure == "timeout":  # the shards are still adding when the driver gives up
            sharded.timeout = 0.05
            expected = (ShardError, "did not answer within 0.05 s")
        else:  # shard 0 has staged its rows when shard 1's cannot be sent
            owner = shard_of(np.arange(10, 10 + count), 2)
            metadata = [[("color", Unsendable() if shard == 1 else "red")] for shard in owner]
            expected = (TypeError, "serialize")
        with pytest.raises(expected[0], match=expected[1]):
            sharded.add(rows, metadata=metadata)
        sharded.timeout = 60
        assert len(sharded) == 10
        assert sharded.add(rows[0], metadata=[[("color", "red")]])[0] == 10
    finally:
        sharded.close()


def test_save_and_load_restore_the_last_save(pair, data, tmp_path):
    sharded, _ = pair
    queries = data[2]
    sharded.save(tmp_path)
    first = set(os.listdir(tmp_path))
    sharded.save(tmp_path)  # the second save replaces the first's files
    assert len(os.listdir(tmp_path)) == SHARDS + 1 and not first & set(os.listdir(tmp_path)) - {
        "manifest.json"
    }
    loaded = ShardedIndex.load(tmp_path, **PLACEMENT)
    try:
        assert len(loaded) == len(sharded)
        for options in ({}, {"filter": ("color", "green")}):
            for got, expected in zip(loaded.search(queries, **options), sharded.search(queries, **options)):
                np.testing.assert_array_equal(got, expected)
        new_id = loaded.add(data[0][0], metadata=[[("color", "red")]])
        assert new_id[0] == 3000  # default ids go on from the saved index's
    finally:
        loaded.close()
    mapped = ShardedIndex.load(tmp_path, mmap=True, **PLACEMENT)
    try:
        assert mapped.mapped and len(mapped) == len(sharded)
        for got, expected in zip(mapped.search(queries), sharded.search(queries), strict=True):
            np.testing.assert_array_equal(got, expected)
        with pytest.raises(ValueError, match="memory-mapped and read-only"):
            mapped.add(data[0][0], metadata=[[("color", "red")]])
        assert len(mapped) == len(sharded)
    finally:
        mapped.close()


def flip_byte(path, offset):
    with open(path, "r+b") as file:
        file.seek(offset)
        byte = file.read(1)
        file.seek(offset)
        file.write(bytes([byte[0] ^ 0x20]))


def damage_manifest(directory):
    flip_byte(directory / "manifest.json", 30)


def forge_manifest(directory):
    manifest = json.loads((directory / "manifest.json").read_text())
    manifest["options"]["m"] = 8  # checksum left as it was
    (directory / "manifest.json").write_text(json.dumps(manifest))


def damage_shard_file(directory):
    name = json.loads((directory / "manifest.json").read_text())["files"][1]["name"]
    flip_byte(directory / name, 100)


@pytest.mark.parametrize(
    "damage, message",
    [
        (damage_manifest, "manifest.json"),
        (forge_manifest, "does not match its checksum"),
        (damage_shard_file, r"shard-1-\w+\.hidx does not match its checksum"),
    ],
)
def test_a_damaged_save_is_refused(pair, tmp_path, damage, message):
    pair[0].save(tmp_path)
    damage(tmp_path)
    with pytest.raises(ValueError, match="corrupt sharded index: .*" + message):
        ShardedIndex.load(tmp_path, **PLACEMENT)


def test_a_killed_shard_is_named_and_its_batch_undone(cluster, data):
    vectors = data[0]
    sharded = ShardedIndex(DIM, shards=2, **PLACEMENT)
    try:
        ids = sharded.add(vectors[:100])
        labels, distances = sharded.search(vectors[0], k=150)  # more than the index holds
        assert sorted(labels[:100]) == list(ids) and np.all(labels[100:] == -1)
        assert np.all(np.diff(distances[:100]) >= 0) and np.all(np.isinf(distances[100:]))
        os.kill(sharded.replica_status()[1][0]["pid"], signal.SIGKILL)
        with pytest.raises(ShardError, match="shard 1 is unavailable: its actor died"):
            sharded.search(vectors[:3])
        with pytest.raises(ShardError, match="shard 1 is unavailable"):
            sharded.add(vectors[100:200])
        assert sharded.heal() == 0  # nothing is left to copy shard 1 from
        assert [len(shard) for shard in sharded.replica_status()] == [1, 0]
        # The live shard took its rows back when shard 1 failed.
        live = ray.get(sharded._replicas.groups[0][0].actor.size.remote())
        assert live == np.count_nonzero(shard_of(ids, 2) == 0)
    finally:
        sharded.close()
    with pytest.raises(RuntimeError, match="closed"):
        len(sharded)


@pytest.mark.parametrize(
    "code, expected",
    [
        ("import hobrin_ann, sys; print('ray' in sys.modules)", "False"),
        (
            "import sys\nsys.modules['ray'] = None  # as if Ray were not installed\n"
            "try:\n import hobrin_ann.ray\nexcept ImportError as e:\n print(e)",
            "hobrin_ann.ray needs Ray, which is not installed: "
            "pip install 'hobrin[ray]' (or pip install ray)",
        ),
    ],
    ids=["not-imported", "missing"],
)
def test_ray_stays_optional(code, expected):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == expected


def test_a_staged_batch_expires_when_no_commit_comes(cluster):
    from hobrin_ann.ray._shard import StageExpired

    sharded = ShardedIndex(DIM, shards=1, **PLACEMENT)
    try:
        actor = sharded._replicas.groups[0][0].actor
        rows = np.ones((3, DIM), dtype=np.float32)
        # A driver that stages and is then gone: no commit, no abort.
        ray.get(actor.stage.remote("a" * 16, rows, np.arange(3), None, 0.5))
        ray.get(actor.stage.remote("b" * 16, rows, np.arange(3, 6), None, 60))
        assert len(sharded) == 6
        time.sleep(1.0)
        assert len(sharded) == 3 and ray.get(actor.staged.remote()) == 1
        for token in ("a" * 16, "c" * 16):  # expired, and never staged
            with pytest.raises(StageExpired):
                ray.get(actor.commit.remote(token))
        with pytest.raises(StageExpired):  # a late block of the expired batch is refused
            ray.get(actor.stage.remote("a" * 16, rows, np.arange(10, 13), None, 60))
        ray.get(actor.commit.remote("b" * 16))
        assert len(sharded) == 3 and ray.get(actor.staged.remote()) == 0
        assert sharded.add(rows[0], ids=[0])[0] == 0  # the expired ids are free again
    finally:
        sharded.close()


@pytest.mark.parametrize("method", ["add", "remove", "upsert"])
def test_an_interrupted_write_is_all_or_nothing(cluster, method):
    """Ctrl-C at random moments of many writes: each batch is on every shard
    or on none (the interrupt comes after a commit round, never within it),
    and the default ids go on right after every batch committed."""
    rng = np.random.default_rng(23)
    rows = rng.standard_normal((10, DIM), dtype=np.float32)
    sharded = ShardedIndex(DIM, shards=3, **PLACEMENT)
    try:
        held = sharded.add(rng.standard_normal((400, DIM), dtype=np.float32)).tolist()
        started = time.perf_counter()
        sharded.remove(held[-10:])
        held = held[:-10]
        typical = time.perf_counter() - started
        interrupted = 0
        for attempt in range(30):
            before = sharded._next_id
            batch = held[:10] if method == "remove" else list(range(before, before + 10))
            timer = threading.Timer(rng.uniform(0, 1.5 * typical), _thread.interrupt_main)
            try:
                timer.start()
                if method == "upsert":  # of new ids: present after, or not at all
                    sharded.upsert(rows, batch)
                else:
                    sharded.add(rows) if method == "add" else sharded.remove(batch)
                timer.join()
                sum(range(100))  # an interrupt sent just now is raised in here
            except KeyboardInterrupt:
                interrupted += 1
                timer.join()
            inside = _held(sharded, batch)
            assert inside.all() or not inside.any(), f"attempt {attempt}: {inside}"
            if method != "remove" and inside.all():
                held += batch
            elif method == "remove" and not inside.any():
                held = held[10:]
            assert len(sharded) == len(held)
            assert sharded._next_id == (before + 10 if method != "remove" and inside.all() else before)
        assert interrupted > 0
        assert sharded.add(rows[0])[0] == sharded._next_id - 1
        staged = [ray.get(r.actor.staged.remote()) for r in sharded._replicas.actors()]
        assert staged == [0] * len(staged)
    finally:
        sharded.close()


def _held(sharded, ids):
    """Which of ids some shard holds, asked of every shard directly."""
    ids = np.asarray(ids, dtype=np.int64)
    owner = shard_of(ids, sharded.shards)
    inside = np.zeros(ids.size, dtype=bool)
    for shard, group in enumerate(sharded._replicas.groups):
        part = np.flatnonzero(owner == shard)
        inside[part] = ray.get(group[0].actor.present.remote(ids[part]))
    return inside
