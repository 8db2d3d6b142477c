"""Threads sharing one hobrin_ann.Index: adders wait for each other instead
of failing, searchers run beside them and never see a half-added batch, and
nothing is lost."""

import threading

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")

DIM = 16
BATCH = 50


def test_adders_searchers_and_readers_share_one_index():
    rng = np.random.default_rng(11)
    index = hobrin_ann.Index(DIM, seed=2, m=8, ef_construction=60)
    index.add(rng.standard_normal((100, DIM)), ids=np.arange(100))
    batches = {t: [rng.standard_normal((BATCH, DIM)) for _ in range(8)] for t in range(2)}
    failures = []
    done = threading.Event()

    def adder(t):
        for b, rows in enumerate(batches[t]):
            first = 1000 * (t + 1) + b * BATCH
            index.add(rows, ids=np.arange(first, first + BATCH), threads=2)

    def searcher():
        queries = rng.standard_normal((20, DIM))
        while not done.is_set():
            labels, distances = index.search(queries, 5, threads=2)
            # A batch is either wholly visible or not at all: any id found is
            # in the index, with its own vector.
            found = labels[labels >= 0]
            assert all(i in index for i in found.tolist()[:10])
            assert (np.diff(distances, axis=1) >= 0).all()

    def reader():
        while not done.is_set():
            n = len(index)
            assert n >= 100 and (n - 100) % BATCH == 0
            index.get([0, 99])

    def run(target, *args):
        try:
            target(*args)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    adders = [threading.Thread(target=run, args=(adder, t)) for t in range(2)]
    others = [threading.Thread(target=run, args=(f,)) for f in (searcher, searcher, reader)]
    for thread in adders + others:
        thread.start()
    for thread in adders:
        thread.join()
    done.set()
    for thread in others:
        thread.join()
    assert failures == []

    assert len(index) == 100 + 2 * 8 * BATCH
    for t in range(2):
        for b, rows in enumerate(batches[t]):
            first = 1000 * (t + 1) + b * BATCH
            labels, distances = index.search(rows[:3], 1, exact=True)
            assert labels[:, 0].tolist() == [first, first + 1, first + 2]
            np.testing.assert_allclose(index.get([first]), rows[:1].astype(np.float32))


def test_racing_adds_of_the_same_ids_keep_exactly_one():
    index = hobrin_ann.Index(DIM)
    rows = np.ones((200, DIM))
    outcomes = []

    def add():
        try:
            index.add(rows, ids=np.arange(200))
            outcomes.append("added")
        except ValueError as error:
            outcomes.append(str(error))

    threads = [threading.Thread(target=add) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(outcomes)[0] == "added" and len(index) == 200
    assert all("is already in the index" in o for o in sorted(outcomes)[1:])


@pytest.mark.heavy
def test_parallel_builds_leave_every_vector_reachable():
    # Clusters make insertions meet on upper layers, where a node can be
    # linked to before it has set its own list: those links must survive.
    rng = np.random.default_rng(5)
    centers = rng.standard_normal((20, 32)) * 4
    spread = rng.uniform(0.2, 1.5, (8000, 1))
    base = centers[rng.integers(0, 20, 8000)] + rng.standard_normal((8000, 32)) * spread

    def unreachable(seed):
        index = hobrin_ann.Index(32, seed=seed)
        index.add(base, threads=2)
        labels, _ = index.search(base, 1, ef=1000, threads=2)
        missed = np.flatnonzero(labels[:, 0] != np.arange(len(base)))
        if len(missed) == 0:
            return 0
        # A search with ef = n walks all it can reach: a node it misses has
        # no way in. (A busy machine stretches some insertions over others',
        # and ef = 1000 then misses a few nodes that are still reachable.)
        labels, _ = index.search(base[missed], 1, ef=len(base))
        return int((labels[:, 0] != missed).sum())

    # A parallel build's order of insertions varies from run to run, and a
    # few nodes may lose their in-links by chance (none in 21 builds here,
    # loaded or not). Overwritten links lost 3 to 15 per build.
    assert sum(unreachable(seed) for seed in (1, 2, 3)) <= 5
