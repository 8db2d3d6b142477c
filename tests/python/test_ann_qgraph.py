"""hobrin_ann.Index with quantization="qgraph": recall floors and exact
distances over dims below 32, odd and wide, for m whose lists fill one or
two groups of 32 lanes; adds in batches with searches running beside them;
removals, filters, files (mapped or not), pickles and compaction; piles of
duplicates; refused options."""

import pickle
import threading

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

RNG = np.random.default_rng(27)


def clustered(n, dim, rng=RNG):
    """Clusters on a 12-dimensional subspace with a little noise off it, as
    real vectors lie (1-bit codes rank Gaussian noise of full dimension poorly,
    as its distances all but tie)."""
    latent = min(dim, 12)
    centres = rng.standard_normal((40, latent)) * 2
    points = centres[rng.integers(0, 40, n)] + rng.standard_normal((n, latent))
    basis = np.random.default_rng(dim).standard_normal((latent, dim)) / np.sqrt(latent)
    return (points @ basis + 0.05 * rng.standard_normal((n, dim))).astype(np.float32)


def truth(base, queries, k, metric="euclidean"):
    if metric == "cosine":
        b = base / np.linalg.norm(base, axis=1, keepdims=True)
        q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        d = 1.0 - q @ b.T
    else:
        d = ((queries[:, None, :].astype(np.float64) - base[None, :, :]) ** 2).sum(-1)
    order = np.argsort(d, axis=1)[:, :k]
    return order, np.take_along_axis(d, order, axis=1)


def recall(found, want):
    return np.mean([len(set(a) & set(b)) / len(b) for a, b in zip(found, want)])


def qgraph(dim, metric="euclidean", m=16, **options):
    return Index(dim, metric, m=m, quantization="qgraph", seed=5, **options)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("dim", [8, 33, 100])
@pytest.mark.parametrize("m", [16, 32])
def test_recall_floor_and_exact_distances(metric, dim, m):
    base, queries = clustered(3000, dim), clustered(80, dim)
    index = qgraph(dim, metric, m)
    index.add(base, threads=2)
    labels, distances = index.search(queries, 10, ef=32)
    want, want_distances = truth(base, queries, 10, metric)
    assert recall(labels, want) >= 0.95
    # Every distance is the store's own, as an exact scan reports it.
    exact_labels, exact_distances = index.search(queries, 10, exact=True)
    assert recall(exact_labels, want) >= 0.999
    reported = {
        (q, int(label)): d
        for q in range(len(queries))
        for label, d in zip(exact_labels[q], exact_distances[q])
    }
    for q in range(len(queries)):
        for label, d in zip(labels[q], distances[q]):
            if (q, int(label)) in reported:
                assert d == reported[(q, int(label))]
    expected = want_distances if metric == "cosine" else np.sqrt(want_distances)
    np.testing.assert_allclose(exact_distances, expected, rtol=1e-4, atol=1e-4)
    assert np.all(np.diff(distances, axis=1) >= 0)


def test_batches_with_searches_beside_them_then_as_one_build():
    dim = 24
    base, queries = clustered(4000, dim), clustered(50, dim)
    index = qgraph(dim)
    stop = threading.Event()
    failures = []

    def search_on():
        while not stop.is_set():
            labels, distances = index.search(queries, 5, ef=32)
            size = len(index)
            if np.any(labels >= 4000) or np.any((labels < 0) & (size >= 5)) or np.any(np.isnan(distances)):
                failures.append((labels, distances))

    thread = threading.Thread(target=search_on)
    index.add(base[:200])
    thread.start()
    try:
        for part in np.array_split(base[200:], 6):
            index.add(part, threads=2)
    finally:
        stop.set()
        thread.join()
    assert not failures
    assert recall(index.search(queries, 10, ef=64)[0], truth(base, queries, 10)[0]) >= 0.95


def test_removed_vectors_never_come_back_and_recall_holds():
    dim = 40
    base, queries = clustered(3000, dim), clustered(60, dim)
    index = qgraph(dim)
    index.add(base)
    index.search(queries[:1], 5)  # blocks built before the removal
    gone = np.arange(0, 3000, 3)
    index.remove(gone)
    labels, _ = index.search(queries, 10, ef=64)
    assert not set(labels.ravel().tolist()) & set(gone.tolist())
    kept = np.setdiff1d(np.arange(3000), gone)
    want = kept[truth(base[kept], queries, 10)[0]]
    assert recall(labels, want) >= 0.95
    # Slots freed by the removal are reused by the next addition.
    index.add(base[gone[:100]] + 0.01, ids=np.arange(5000, 5100))
    labels, _ = index.search(base[gone[:100]] + 0.01, 1, ef=32)
    assert recall(labels, np.arange(5000, 5100)[:, None]) >= 0.95


def test_small_changes_between_searches_keep_exact_distances_and_recall():
    """A search after each small change brings the blocks up to date (in
    place, once a rebuild gave them room): after rounds of additions,
    removals whose slots the next addition reuses, and upserts, results keep
    the exact scan's distances and the recall floor."""
    dim = 24
    base, queries = clustered(4000, dim), clustered(40, dim)
    rng = np.random.default_rng(3)
    index = qgraph(dim)
    index.add(base[:2000])
    live = set(range(2000))
    for start in range(2000, 3200, 100):
        index.search(queries[:2], 5)
        index.add(base[start : start + 100], ids=np.arange(start, start + 100))
        index.search(queries[:2], 5)
        gone = rng.choice(sorted(live), 40, replace=False)
        index.remove(gone)
        live = (live - set(gone.tolist())) | set(range(start, start + 100))
        moved = rng.choice(sorted(live), 10, replace=False)
        index.upsert(base[moved] + 0.5, ids=moved)
        base[moved] += 0.5
    labels, distances = index.search(queries, 10, ef=64)
    exact_labels, exact_distances = index.search(queries, 10, exact=True)
    assert recall(labels, exact_labels) >= 0.95
    assert set(labels.ravel().tolist()) <= live
    for q in range(len(queries)):
        exact = dict(zip(exact_labels[q].tolist(), exact_distances[q].tolist()))
        for label, d in zip(labels[q].tolist(), distances[q].tolist()):
            if label in exact:
                assert d == exact[label]


def test_filters_return_only_matches():
    dim = 16
    base, queries = clustered(2000, dim), clustered(40, dim)
    index = qgraph(dim, schema=["group"])
    index.add(base, metadata=[[("group", int(i % 10))] for i in range(2000)])
    for groups in ([3], list(range(8))):
        labels, _ = index.search(queries, 10, ef=64, filter=("group", "in", groups))
        matches = np.array([i for i in range(2000) if i % 10 in groups])
        assert np.all(np.isin(labels, matches))
        assert recall(labels, matches[truth(base[matches], queries, 10)[0]]) >= 0.9


@pytest.mark.parametrize("how", ["file", "mapped", "pickle", "compact"])
def test_round_trips_give_the_same_results(how, tmp_path):
    dim = 33
    base, queries = clustered(1500, dim), clustered(30, dim)
    index = qgraph(dim, "cosine")
    index.add(base)
    index.remove(np.arange(10))
    before = index.search(queries, 10, ef=48)
    if how == "pickle":
        other = pickle.loads(pickle.dumps(index))
    elif how == "compact":
        other = index.compact()
    else:
        path = tmp_path / "q.hann"
        index.save(path)
        other = Index.load(path, mmap=how == "mapped")
    assert other.quantization == "qgraph"
    after = other.search(queries, 10, ef=48)
    if how == "compact":  # a new graph: as good, not the same
        assert recall(after[0], before[0]) >= 0.9
    else:
        np.testing.assert_array_equal(after[0], before[0])
        np.testing.assert_array_equal(after[1], before[1])


def test_dozens_of_duplicates_keep_the_walk_going():
    dim = 12
    base = clustered(1500, dim)
    base[100:160] = base[100]
    queries = np.vstack([base[100:101], clustered(30, dim)])
    index = qgraph(dim)
    index.add(base)
    labels, distances = index.search(queries, 10, ef=32)
    assert np.all(np.isin(labels[0], np.arange(100, 160))) and np.all(distances[0] == 0)
    assert recall(labels[1:], truth(base, queries[1:], 10)[0]) >= 0.9


def test_cosine_zero_vectors_rank_at_distance_one():
    # Random directions in 32 dimensions are nearly orthogonal, so a query's
    # 10th best cosine distance lies well past 0.5, where a zero vector's
    # Euclidean distance would have ranked it.
    rng = np.random.default_rng(3)
    base = rng.standard_normal((300, 32)).astype(np.float32)
    base[::50] = 0
    queries = rng.standard_normal((20, 32)).astype(np.float32)
    index = qgraph(32, "cosine")
    index.add(base)
    labels, distances = index.search(queries, 10, ef=300)
    exact, exact_distances = index.search(queries, 10, exact=True)
    assert not np.isin(labels, np.arange(0, 300, 50)).any()
    np.testing.assert_array_equal(np.sort(labels, axis=1), np.sort(exact, axis=1))
    np.testing.assert_array_equal(distances, exact_distances)


@pytest.mark.parametrize(
    ("options", "match"),
    [
        ({"dtype": "float64"}, "float32"),
        ({"metric": "inner_product"}, "euclidean and cosine"),
        ({"keep_vectors": False}, "keep_vectors"),
        ({"dim": 4097}, "dim up to 4096"),
    ],
)
def test_refused_options(options, match):
    metric = options.pop("metric", "euclidean")
    with pytest.raises(ValueError, match=match):
        Index(options.pop("dim", 8), metric, quantization="qgraph", **options)
    Index(4096, quantization="qgraph")  # the widest taken


def test_bytes_count_the_blocks_and_the_estimate_covers_them():
    dim = 64
    index = qgraph(dim)
    index.add(clustered(2000, dim))
    before = index.nbytes
    index.search(clustered(1, dim), 1)
    assert index.nbytes > before + 2000 * 4 * dim
    assert Index.estimate_nbytes(dim, 2000, quantization="qgraph") >= index.nbytes * 0.8


def test_unfinite_rows_of_an_unverified_mapped_file_give_answers_not_faults(tmp_path):
    from test_ann_mmap import section_at

    dim = 40
    path = tmp_path / "q.hann"
    index = qgraph(dim)
    index.add(clustered(500, dim))
    index.save(path)
    data = bytearray(path.read_bytes())
    rows, stride = section_at(data, b"VECT"), 4 * 48  # rows padded to 64 bytes
    for row, value in ((0, np.nan), (7, np.inf), (300, -np.inf), (499, np.nan)):
        data[rows + row * stride : rows + row * stride + 4 * dim] = np.full(dim, value, np.float32).tobytes()
    path.write_bytes(data)
    unchecked = Index.load(path, mmap=True, verify=False)
    labels, distances = unchecked.search(clustered(20, dim), k=10, ef=32)
    assert labels.shape == (20, 10) and np.all((labels >= 0) & (labels < 500))
