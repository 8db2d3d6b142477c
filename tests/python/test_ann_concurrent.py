"""Searches that run while another thread adds: a batch is returned by no
search before its add has published it, a failed add leaves nothing behind,
and the graph built beside searches is the one built without them."""

import pickle
import threading

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")

DIM = 12
FIRST = 400  # vectors before the concurrent adds, ids 0 .. FIRST - 1
BATCH = 300
BATCHES = 5
BASE = 10_000  # batch b holds ids BASE + b * BATCH onwards


def batch_rows(seed=7):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((FIRST, DIM)), [rng.standard_normal((BATCH, DIM)) for _ in range(BATCHES)]


def make_index(first, threads=1):
    index = hobrin_ann.Index(DIM, seed=4, m=8, ef_construction=60, schema=["group"])
    index.add(
        first, ids=np.arange(FIRST), metadata=[[("group", i % 5)] for i in range(FIRST)], threads=threads
    )
    return index


def add_batch(index, b, rows, threads):
    ids = BASE + b * BATCH + np.arange(BATCH)
    index.add(rows, ids=ids, metadata=[[("group", int(i) % 5)] for i in ids], threads=threads)


def run_beside(adder, searcher):
    """Runs `searcher` in a loop on a second thread until `adder` returns;
    returns how many searches ran. Failures of either are raised here."""
    failures, done, searches = [], threading.Event(), [0]

    def loop():
        try:
            while not done.is_set():
                searcher()
                searches[0] += 1
        except BaseException as error:  # raised by the main thread
            failures.append(error)

    thread = threading.Thread(target=loop)
    thread.start()
    try:
        adder()
    finally:
        done.set()
        thread.join()
    if failures:
        raise failures[0]
    return searches[0]


SEARCHES = {
    "graph": {},
    "filtered": {"filter": ("group", 3)},
    "exact": {"exact": True},
}


@pytest.mark.parametrize("kind", sorted(SEARCHES))
@pytest.mark.parametrize("threads", [1, 2])
def test_no_search_returns_a_batch_before_its_add_has_returned(kind, threads):
    first, batches = batch_rows()
    index = make_index(first)
    committed = [0]  # batches whose add has returned
    rng = np.random.default_rng(1)

    def adder():
        for b, rows in enumerate(batches):
            add_batch(index, b, rows, threads)
            committed[0] = b + 1

    def searcher():
        known = committed[0]
        row = int(rng.integers(BATCH))
        # A vector of the last committed batch, else any: exact searches find it.
        query = batches[known - 1][row] if known else rng.standard_normal(DIM)
        labels, _ = index.search(query, 10, ef=40, threads=1, **SEARCHES[kind])
        # Hundreds of published vectors match: the walk never strands in a
        # node whose lists are still being linked.
        assert (labels >= 0).all(), labels
        # A search sees one published state throughout, and the size is
        # published with its batch: batches past the size read after the
        # search has returned were unpublished during all of it.
        published = (len(index) - FIRST) // BATCH
        late = labels[labels >= BASE]
        assert ((late - BASE) // BATCH < published).all(), (late, published)
        if known and kind == "exact":
            assert labels[0] == BASE + (known - 1) * BATCH + row

    assert run_beside(adder, searcher) > 0
    assert len(index) == FIRST + BATCHES * BATCH


@pytest.mark.parametrize("present", [5, FIRST - 1])
def test_a_failed_add_beside_searches_leaves_nothing(present):
    first, batches = batch_rows()
    index = make_index(first)
    before_labels, before_distances = index.search(batches[1][:20], 5, ef=40)
    fresh = BASE + np.arange(BATCH)
    rng = np.random.default_rng(2)

    def adder():
        for _ in range(3):
            with pytest.raises(ValueError, match="is already in the index"):
                # The id already present comes last, once the rest are checked.
                index.add(batches[0], ids=np.r_[fresh[:-1], present], threads=2)

    def searcher():
        labels, _ = index.search(rng.standard_normal(DIM), 10, threads=1)
        assert (labels < FIRST).all()

    run_beside(adder, searcher)
    assert len(index) == FIRST
    assert not index.contains_many(fresh).any()
    labels, distances = index.search(batches[1][:20], 5, ef=40)
    np.testing.assert_array_equal(labels, before_labels)
    np.testing.assert_array_equal(distances, before_distances)
    # The ids are free, and the graph takes the batch as if nothing had happened.
    add_batch(index, 0, batches[0], 1)
    assert index.contains_many(fresh).all()


def test_adds_beside_searches_build_the_graph_built_without_them():
    first, batches = batch_rows(seed=9)
    quiet, busy = make_index(first), make_index(first)
    for b, rows in enumerate(batches):
        add_batch(quiet, b, rows, 1)
    rng = np.random.default_rng(3)

    def adder():
        for b, rows in enumerate(batches):
            add_batch(busy, b, rows, 1)

    def searcher():
        busy.search(rng.standard_normal((2, DIM)), 5, threads=1)

    run_beside(adder, searcher)
    queries = np.random.default_rng(4).standard_normal((200, DIM))
    # One linking thread builds the same graph, searches or not.
    labels, distances = busy.search(queries, 10, ef=50)
    expected_labels, expected_distances = quiet.search(queries, 10, ef=50)
    np.testing.assert_array_equal(labels, expected_labels)
    np.testing.assert_array_equal(distances, expected_distances)
    truth, _ = busy.search(queries, 10, exact=True)
    recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(labels, truth, strict=True)])
    assert recall >= 0.95


@pytest.mark.parametrize(
    "copy_of", [lambda index: index.compact(threads=1), lambda i: pickle.loads(pickle.dumps(i))]
)
def test_copies_taken_beside_adds_hold_whole_batches(copy_of):
    # compact copies the finished adds without waiting; a pickle waits for
    # the running add. Either way a copy holds whole batches, all linked.
    first, batches = batch_rows(seed=5)
    index = make_index(first)
    copies = []

    def adder():
        for b, rows in enumerate(batches):
            add_batch(index, b, rows, 2)

    def copier():
        before = len(index)
        copied = copy_of(index)
        copies.append(copied)
        assert before <= len(copied) <= len(index)
        assert (len(copied) - FIRST) % BATCH == 0

    run_beside(adder, copier)
    for copied in copies[-3:]:
        ids = np.r_[np.arange(FIRST), BASE + np.arange(len(copied) - FIRST)]
        assert copied.contains_many(ids).all()
        labels, _ = copied.search(copied.get(ids[-50:]), 1, ef=64)
        assert (labels[:, 0] == ids[-50:]).mean() >= 0.9
