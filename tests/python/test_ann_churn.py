"""Removal that repairs the graph and frees its room, upserts and metadata
updates: recall and memory under churn against a fresh build, the edges of
removal (the entry point, everything), refused batches that change nothing,
files that keep free slots, and searches beside removals."""

import pickle
import threading

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")

DIM = 16
N = 3000
K = 10
EF = 64


def clustered(rng, count, centres):
    picks = rng.integers(0, len(centres), count)
    return (centres[picks] + 0.3 * rng.standard_normal((count, DIM))).astype(np.float32)


def recall(index, live_ids, live_rows, queries):
    found, _ = index.search(queries, K, ef=EF, threads=1)
    d = ((queries[:, None, :] - live_rows[None, :, :]) ** 2).sum(-1)
    truth = live_ids[np.argsort(d, axis=1)[:, :K]]
    return np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)])


@pytest.mark.parametrize("quantization", [None, pytest.param("int8", marks=pytest.mark.heavy)])
def test_churn_keeps_recall_and_memory_of_a_fresh_build(quantization):
    rng = np.random.default_rng(3)
    centres = rng.standard_normal((40, DIM)) * 3
    rows = {i: r for i, r in enumerate(clustered(rng, N, centres))}
    index = hobrin_ann.Index(DIM, m=12, ef_construction=100, seed=1, quantization=quantization)
    index.add(np.stack(list(rows.values())), ids=np.array(list(rows)))
    next_id = N
    queries = clustered(rng, 100, centres)
    for _ in range(5):
        ids = np.array(sorted(rows))
        gone = rng.choice(ids, N // 10, replace=False)
        index.remove(gone, threads=1)
        for i in gone:
            del rows[int(i)]
        new = clustered(rng, N // 10, centres)
        new_ids = np.arange(next_id, next_id + len(new))
        next_id += len(new)
        index.add(new, ids=new_ids, threads=1)
        rows.update(zip(new_ids.tolist(), new))
        changed = rng.choice(np.array(sorted(rows)), N // 50, replace=False)
        fresh_rows = clustered(rng, len(changed), centres)
        index.upsert(fresh_rows, changed, threads=1)
        rows.update(zip(changed.tolist(), fresh_rows))

        live_ids = np.array(sorted(rows))
        live_rows = np.stack([rows[i] for i in live_ids])
        assert len(index) == len(live_ids)
        np.testing.assert_array_equal(index.get(changed), np.stack([rows[int(i)] for i in changed]))
        fresh = hobrin_ann.Index(DIM, m=12, ef_construction=100, seed=1, quantization=quantization)
        fresh.add(live_rows, ids=live_ids)
        assert (
            recall(index, live_ids, live_rows, queries) >= recall(fresh, live_ids, live_rows, queries) - 0.01
        )
        assert index.nbytes <= 1.15 * fresh.nbytes


def test_removed_ids_never_come_back_and_room_is_reused():
    rng = np.random.default_rng(5)
    data = rng.standard_normal((500, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=2)
    index.add(data)
    before = index.nbytes
    gone = np.arange(0, 500, 2)
    index.remove(gone)
    found, _ = index.search(data, 5, exact=False)
    assert not np.isin(found, gone).any()
    index.add(rng.standard_normal((250, DIM)).astype(np.float32), ids=np.arange(1000, 1250))
    # The arrays kept their room; a removal's flags and free list cost 5 bytes a node at most.
    assert before < index.nbytes <= before + 5 * 500
    assert len(index) == 500
    exact, _ = index.search(data[1::2], 1, exact=True)
    np.testing.assert_array_equal(exact[:, 0], np.arange(1, 500, 2))


def test_removing_the_entry_point_and_everything():
    rng = np.random.default_rng(8)
    data = rng.standard_normal((300, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=4)
    index.add(data)
    # Removing the first half in turns removes the entry point on the way.
    for start in range(0, 300, 30):
        index.remove(np.arange(start, start + 30))
        if start + 30 < 300:
            found, _ = index.search(data[start + 30 :], 1)
            assert np.mean(found[:, 0] == np.arange(start + 30, 300)) > 0.95
    assert len(index) == 0
    labels, _ = index.search(data[:3], 2)
    assert (labels == -1).all()
    index.add(data[:50], ids=np.arange(50))
    found, _ = index.search(data[:50], 1)
    assert np.mean(found[:, 0] == np.arange(50)) > 0.95


def test_remove_then_upsert_and_upsert_of_present_ids():
    rng = np.random.default_rng(9)
    data = rng.standard_normal((200, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=4, schema=["tag"])
    index.add(data, metadata=[[("tag", i % 3)] for i in range(200)])
    index.remove([7])
    new = rng.standard_normal((2, DIM)).astype(np.float32)
    index.upsert(new, [7, 8], metadata=[[("tag", 9)], [("tag", 9)]])
    np.testing.assert_array_equal(index.get([7, 8]), new)
    found, _ = index.search(new, 1)
    np.testing.assert_array_equal(found[:, 0], [7, 8])
    assert len(index) == 200
    tagged, _ = index.search(new[0], 5, filter=("tag", 9))
    assert sorted(tagged[tagged >= 0]) == [7, 8]


@pytest.mark.parametrize(
    "ids, metadata, error",
    [
        ([3, 3], None, ValueError),  # an id twice
        ([3, 4], [[("tag", 1)], [("other", 1)]], ValueError),  # outside the schema
        ([3, -1], None, ValueError),  # a negative id
    ],
)
def test_refused_upserts_change_nothing(ids, metadata, error):
    rng = np.random.default_rng(2)
    data = rng.standard_normal((100, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=4, schema=["tag"])
    index.add(data, metadata=[[("tag", i % 3)] for i in range(100)])
    saved = pickle.dumps(index)
    with pytest.raises(error):
        index.upsert(rng.standard_normal((2, DIM)).astype(np.float32), ids, metadata=metadata)
    assert pickle.dumps(index) == saved


def test_update_metadata_changes_filters_only_and_refuses_whole():
    rng = np.random.default_rng(4)
    data = rng.standard_normal((120, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=4, schema=["tag"])
    index.add(data, metadata=[[("tag", "a")] for _ in range(120)])
    index.update_metadata([5, 6], [[("tag", "b")], [("tag", "a")]])
    found, _ = index.search(data[0], 10, filter=("tag", "b"))
    assert found[found >= 0].tolist() == [5]
    saved = pickle.dumps(index)
    with pytest.raises(KeyError):
        index.update_metadata([5, 999], [[("tag", "c")], [("tag", "c")]])
    with pytest.raises(ValueError):
        index.update_metadata([5, 6], [[("tag", "c")], [("nope", "c")]])
    assert pickle.dumps(index) == saved
    np.testing.assert_array_equal(index.get(np.arange(120)), data)


def test_saved_free_slots_are_reused_after_load(tmp_path):
    rng = np.random.default_rng(6)
    data = rng.standard_normal((400, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, seed=4)
    index.add(data)
    index.remove(np.arange(100))
    index.save(tmp_path / "churned.hob")
    loaded = hobrin_ann.Index.load(tmp_path / "churned.hob")
    before = loaded.nbytes
    loaded.add(data[:100], ids=np.arange(1000, 1100))
    assert loaded.nbytes <= before
    found, _ = loaded.search(data[:100], 1)
    assert np.mean(found[:, 0] == np.arange(1000, 1100)) > 0.95
    mapped = hobrin_ann.Index.load(tmp_path / "churned.hob", mmap=True)
    with pytest.raises(ValueError, match="read-only"):
        mapped.upsert(data[:1], [5])
    with pytest.raises(ValueError, match="read-only"):
        mapped.remove([200])


@pytest.mark.parametrize("threads", [1, 2])
def test_searches_beside_removes_never_return_removed_nor_miss_live(threads):
    rng = np.random.default_rng(11)
    data = rng.standard_normal((2000, DIM)).astype(np.float32)
    index = hobrin_ann.Index(DIM, m=8, ef_construction=60, seed=4)
    index.add(data)
    removed = np.zeros(2000, dtype=bool)  # set only once a remove has returned
    keep = np.arange(1500, 2000)  # never removed: each must always find itself
    failures, done = [], threading.Event()

    def searcher():
        try:
            while not done.is_set():
                picks = rng.choice(keep, 20)
                seen_removed = removed.copy()
                found, _ = index.search(data[picks], 5, ef=80, threads=1)
                assert not np.isin(found, np.flatnonzero(seen_removed)).any()
                assert np.mean(found[:, 0] == picks) >= 0.9
        except BaseException as error:
            failures.append(error)

    thread = threading.Thread(target=searcher)
    thread.start()
    try:
        for start in range(0, 1500, 100):
            index.remove(np.arange(start, start + 100), threads=threads)
            removed[start : start + 100] = True
    finally:
        done.set()
        thread.join()
    if failures:
        raise failures[0]


@pytest.mark.parametrize("quantization", [None, pytest.param("int8", marks=pytest.mark.heavy)])
def test_drifting_churn_leaves_every_live_vector_reachable(quantization):
    # Each round's additions form tight clusters of their own, far apart, so a
    # cluster hangs on a few links from the rest; removals then cut some of
    # those links. With ef as large as the index a search walks everything it
    # can reach, so every live vector must find itself.
    rng = np.random.default_rng(7)
    index = hobrin_ann.Index(DIM, m=6, ef_construction=40, seed=3, quantization=quantization)
    rows = {}
    next_id = 0
    for round_ in range(8):
        centres = rng.standard_normal((10, DIM)) * 3 + round_
        new = clustered(rng, 300, centres)
        index.add(new, ids=np.arange(next_id, next_id + len(new)), threads=1)
        rows.update(zip(range(next_id, next_id + len(new)), new))
        next_id += len(new)
        gone = rng.choice(np.array(sorted(rows)), len(rows) // 4, replace=False)
        index.remove(gone, threads=1)
        for i in gone:
            del rows[int(i)]
        live_ids = np.array(sorted(rows))
        found, _ = index.search(np.stack([rows[i] for i in live_ids]), 3, ef=len(index), threads=2)
        assert (found == live_ids[:, None]).any(axis=1).all(), f"round {round_}"
