"""hobrin_ann.Index: recall against an exact scan, ids and results as arrays,
determinism, filters, and every refused call leaving the index unchanged."""

import signal
import sys
import threading
import time

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

RNG = np.random.default_rng(7)
BASE = RNG.standard_normal((1500, 24))
QUERIES = RNG.standard_normal((40, 24))


def brute_force(metric, base, queries, k):
    """Ids and distances of the k nearest, from numpy."""
    if metric == "euclidean":
        d = np.sqrt(((queries[:, None, :] - base[None, :, :]) ** 2).sum(-1))
    else:
        b, q = base, queries
        if metric == "cosine":
            b = b / np.linalg.norm(b, axis=1, keepdims=True)
            q = q / np.linalg.norm(q, axis=1, keepdims=True)
        d = 1 - q @ b.T
    order = np.argsort(d, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(d, order, axis=1)


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


def snapshot(index):
    """What a refused call must leave as it was."""
    labels, distances = index.search(QUERIES[:5], 5, exact=True)
    return len(index), labels.tolist(), distances.tolist()


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_recall_and_exact_search_agree_with_numpy(metric, dtype):
    index = Index(24, metric, dtype=dtype, m=12, ef_construction=100, seed=1)
    ids = index.add(BASE)
    assert ids.dtype == np.int64 and ids.tolist() == list(range(len(BASE)))
    truth, truth_d = brute_force(metric, BASE, QUERIES, 10)

    exact, exact_d = index.search(QUERIES, 10, exact=True)
    assert exact.dtype == np.int64 and exact_d.dtype == np.dtype(dtype)
    tolerance = 1e-4 if dtype == "float32" else 1e-9
    np.testing.assert_allclose(exact_d, truth_d, rtol=tolerance, atol=tolerance)
    assert recall(exact, truth) >= 0.99  # ties in float32 may swap neighbours

    labels, distances = index.search(QUERIES, 10, ef=80)
    assert recall(labels, truth) >= 0.95
    assert (np.diff(distances, axis=1) >= 0).all()


@pytest.mark.parametrize(("dim", "dtype"), [(700, "float32"), (1100, "float64"), (2100, "float32")])
def test_wide_rows_keep_their_values_and_exact_distances(dim, dtype):
    # A Euclidean index stores dimensions in its own order; rows up to 8 KB
    # are permuted through a local copy, wider ones straight from the caller.
    rng = np.random.default_rng(dim)
    base = rng.standard_normal((300, dim)) * rng.uniform(0.1, 3.0, dim)
    queries = rng.standard_normal((20, dim))
    index = Index(dim, dtype=dtype, m=8, ef_construction=50, seed=1)
    index.add(base)
    np.testing.assert_array_equal(index.get(np.arange(300)), base.astype(dtype))
    _, truth_d = brute_force("euclidean", base.astype(dtype), queries.astype(dtype), 5)
    _, exact_d = index.search(queries, 5, exact=True)
    np.testing.assert_allclose(exact_d, truth_d, rtol=1e-4)


def test_results_shapes_padding_and_ids():
    index = Index(3, seed=0)
    empty_labels, empty_d = index.search([0, 0, 0], 2)
    assert empty_labels.tolist() == [-1, -1] and np.isinf(empty_d).all()

    ids = index.add([[0, 0, 0], [1, 0, 0], [0, 3, 0]], ids=[10, 20, 30])
    assert ids.tolist() == [10, 20, 30]
    assert index.add([5, 5, 5]).tolist() == [31]  # one 1-D vector; ids go on from the largest
    labels, distances = index.search([0, 0, 0.1], 6)
    assert (
        labels.shape == (6,) and labels.tolist()[:4] == [10, 20, 30, 31] and labels.tolist()[4:] == [-1, -1]
    )
    np.testing.assert_allclose(distances[:3], [0.1, np.sqrt(1.01), np.sqrt(9.01)], rtol=1e-6)
    assert np.isinf(distances[4:]).all()
    batch, _ = index.search(np.zeros((2, 3), dtype=np.int16), 1)
    assert batch.shape == (2, 1) and batch.tolist() == [[10], [10]]

    assert len(index) == 4 and 20 in index and 21 not in index and "20" not in index
    np.testing.assert_array_equal(index.get([30, 10]), [[0, 3, 0], [0, 0, 0]])
    np.testing.assert_array_equal(index.get(20), [1, 0, 0])
    with pytest.raises(KeyError, match="99"):
        index.get([10, 99])


def test_default_ids_stop_at_the_largest_integer():
    index = Index(2)
    index.add([[0, 0]], ids=[2**63 - 1])
    with pytest.raises(ValueError, match="no free ids are left"):
        index.add([[1, 1]])
    assert len(index) == 1 and index.add([[1, 1]], ids=[5]).tolist() == [5]


def test_similarity_metrics_rank_most_similar_first():
    for metric in ("cosine", "inner_product"):
        index = Index(2, metric)
        index.add([[1, 0], [-1, 0], [0, 1]])
        labels, distances = index.search([1, 0.1], 3)
        assert labels.tolist() == [0, 2, 1]
        assert distances[0] < distances[1] < distances[2]
    labels, distances = Index(2, "angular").search([1, 0], 1)
    assert labels.tolist() == [-1]


def test_seeded_single_thread_builds_are_identical():
    def build():
        index = Index(24, seed=42, m=8, ef_construction=50)
        index.add(BASE, threads=1)
        return index.search(QUERIES, 10, ef=20)

    (a_labels, a_d), (b_labels, b_d) = build(), build()
    np.testing.assert_array_equal(a_labels, b_labels)
    np.testing.assert_array_equal(a_d, b_d)


def test_parallel_build_and_search_find_the_same_as_exact():
    index = Index(24, seed=3, ef_construction=100)
    index.add(BASE, threads=2)
    truth, _ = index.search(QUERIES, 10, exact=True)
    labels, _ = index.search(QUERIES, 10, ef=80, threads=2)
    assert recall(labels, truth) >= 0.95
    single, _ = index.search(QUERIES, 10, ef=80, threads=1)
    np.testing.assert_array_equal(labels, single)


def test_filters_return_only_matching_vectors():
    index = Index(24, schema=["color", "size"], seed=5)
    colors = ["red", "green", "blue"]
    index.add(BASE[:600], metadata=[[("color", colors[i % 3]), ("size", i)] for i in range(600)])
    index.add(BASE[600:700])  # no metadata: never matches
    for color_index, color in enumerate(colors):
        labels, _ = index.search(QUERIES, 10, filter=("color", color))
        assert (labels % 3 == color_index).all() and (labels < 600).all()
    labels, _ = index.search(QUERIES[0], 10, filter=("size", 7))
    assert labels.tolist() == [7] + [-1] * 9


@pytest.mark.parametrize(
    "value, expected",
    [
        (7.0, [7, 107]),  # numbers compare by value, whatever their kind
        (np.float64(7.0), [7, 107]),
        (7, [7, 107]),
        (np.int64(7), [7, 107]),
        ([7.0, 8], [7, 8, 107, 108]),
        (7.5, [200]),
        (float(2**53), [201]),  # equal to 2**53 only, not to 2**53 + 1
        (2**53 + 1, [202]),
        (float("nan"), []),
    ],
)
def test_filters_compare_numbers_by_value(value, expected):
    index = Index(24, schema=["size"], seed=5)
    sizes = list(range(100)) + [float(i) for i in range(100)] + [7.5, 2**53, 2**53 + 1]
    index.add(BASE[: len(sizes)], metadata=[[("size", s)] for s in sizes], threads=1)
    labels, _ = index.search(QUERIES[0], 10, filter=("size", value), exact=True)
    assert sorted(i for i in labels.tolist() if i >= 0) == expected


def test_ef_search_is_settable_and_checked():
    index = Index(4, ef_search=16)
    index.ef_search = 128
    assert index.ef_search == 128
    with pytest.raises(ValueError, match="ef_search must be at least 1"):
        index.ef_search = 0
    assert index.ef_search == 128


@pytest.mark.parametrize("with_tqdm", [False, True])
def test_progress_bar_goes_to_stderr(with_tqdm, capsys, monkeypatch):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # as if tqdm were not installed
    Index(24).add(BASE[:300], progress=True)
    err = capsys.readouterr().err
    assert "300/300" in err and ("adding" if with_tqdm else "elapsed") in err


def test_ctrl_c_during_an_add_with_progress_comes_after_the_whole_batch():
    rows = np.random.default_rng(1).standard_normal((20000, 16))
    index = Index(16, m=8, ef_construction=100, seed=1)

    def interrupt_midway():
        deadline = time.monotonic() + 60
        while index._core.linked() < 500 and time.monotonic() < deadline:
            time.sleep(0.001)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    sender = threading.Thread(target=interrupt_midway)
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            index.add(rows, threads=1, progress=True)
    finally:
        sender.join()
    # The add had ended when the interrupt came out: the batch is whole, and
    # no thread goes on changing the index.
    after = (index._core.linked(), len(index), index.nbytes)
    assert after[:2] == (len(rows), len(rows))
    time.sleep(0.3)
    assert (index._core.linked(), len(index), index.nbytes) == after


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda ix: ix.add(np.zeros((2, 5))),
            ValueError,
            r"expected shape \(n, 24\) or \(24,\), got \(2, 5\)",
        ),
        (lambda ix: ix.add([[np.nan] * 24, [1] * 24][::-1]), ValueError, "row 1 contains NaN"),
        (
            lambda ix: ix.add(np.full((1, 24), 1e300)),
            ValueError,
            r"row 0 contains NaN or infinity \(as float32\)",
        ),
        (lambda ix: ix.add(BASE[:2], ids=[4, 4]), ValueError, "id 4 is given more than once"),
        (lambda ix: ix.add(BASE[:2], ids=[4, -1]), ValueError, "non-negative, got -1"),
        (lambda ix: ix.add(BASE[:2], ids=[999, 3]), ValueError, "id 3 is already in the index"),
        (lambda ix: ix.add(BASE[:2], ids=[1.5, 2]), TypeError, "expected integers"),
        (
            lambda ix: ix.add(BASE[:1], metadata=[[("color", "red")]]),
            ValueError,
            "Missing metadata for attribute 'size'",
        ),
        (
            lambda ix: ix.add(BASE[:1], metadata=[[("color", "red"), ("size", [[]])]]),
            ValueError,
            "metadata row 0: Unsupported",
        ),
        (
            lambda ix: ix.add(
                BASE[:2],
                metadata=[[("color", "red"), ("size", 1)], [("color", "red"), ("size", 1), ("shape", 2)]],
            ),
            ValueError,
            "metadata row 1: attribute 'shape' is not in the schema",
        ),
        (
            lambda ix: ix.add(BASE[:1], metadata=[[("color", "red"), ("size", 1), ("color", "blue")]]),
            ValueError,
            "metadata row 0: attribute 'color' is given more than once",
        ),
        (lambda ix: ix.add(BASE[:2], metadata=[[]]), ValueError, "one row per vector"),
        (lambda ix: ix.add(["a"] * 24), TypeError, "expected real numbers"),
        (lambda ix: ix.add(BASE[:1], colour="red"), TypeError, "unexpected keyword"),
        (lambda ix: ix.search(QUERIES[0], 0), ValueError, "k must be at least 1"),
        (lambda ix: ix.search(QUERIES[0], 2.0), TypeError, "k must be an integer"),
        (lambda ix: ix.search(QUERIES[0], ef=-1), ValueError, "ef must be at least 1"),
        (lambda ix: ix.search([[np.inf] * 24]), ValueError, "queries: row 0"),
        (lambda ix: ix.search(QUERIES[0], filter=("shape", 1)), ValueError, "'shape' is not in the schema"),
        (
            lambda ix: ix.search(QUERIES[0], filter="color"),
            TypeError,
            r"expected \(name, value\), \(name, \[values\]\)",
        ),
        (lambda ix: ix.search(QUERIES[0], threads=-1), ValueError, "threads must be at least 0"),
    ],
)
def test_bad_input_is_refused_and_changes_nothing(call, error, message):
    index = Index(24, schema=["color", "size"], seed=9)
    index.add(BASE[:10], metadata=[[("color", "red"), ("size", i)] for i in range(10)])
    before = snapshot(index)
    with pytest.raises(error, match=message):
        call(index)
    assert snapshot(index) == before
    assert index.add(BASE[10:11], metadata=[[("color", "x"), ("size", 0)]]).tolist() == [10]


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"dim": 0}, ValueError, "dim must be at least 1"),
        (
            {"dim": 4, "metric": "manhattan"},
            ValueError,
            "unknown metric 'manhattan': expected one of 'euclidean'",
        ),
        ({"dim": 4, "dtype": "int8"}, ValueError, "unknown dtype"),
        ({"dim": 4, "m": 1}, ValueError, "m must be at least 2"),
        ({"dim": 4, "m": 5000}, ValueError, "m must be at most 4096, got 5000"),
        ({"dim": 4, "ef_construction": 0}, ValueError, "ef_construction must be at least 1"),
        ({"dim": 4, "schema": ["a", "a"]}, ValueError, "unique"),
        ({"dim": 4, "schema": "ab"}, TypeError, "sequence of attribute names"),
        ({"dim": 4, "seed": -1}, ValueError, "seed must be at least 0"),
        ({"dim": True}, TypeError, "not bool"),
    ],
)
def test_bad_construction_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        Index(**kwargs)


def test_the_core_checks_options_as_the_loader_does():
    # An index the core accepted must save a file its loader accepts.
    from hobrin_ann import _core

    with pytest.raises(ValueError, match="m must be at most 4096"):
        _core.GraphIndex(4, "euclidean", "float32", 5000, 200, None, None, "none", True)
    with pytest.raises(ValueError, match="schema names must be unique"):
        _core.GraphIndex(4, "euclidean", "float32", 16, 200, None, ["a", "a"], "none", True)


def test_pyhnsw_rows_stay_lenient():
    """The row builder hobrin_ann checks strictly is PyHNSW's too, whose rows
    ignore unknown names and keep the last of a repeated one."""
    import hobrin

    index = hobrin.PyHNSW(2, metric="euclidean", schema=["c"])
    index.insert([0.0, 0.0], [("c", 1), ("x", 5), ("c", 2)])
    assert len(index.search([0, 0], k=1, filter=("c", 2))) == 1
    assert index.search([0, 0], k=1, filter=("c", 1)) == []


def test_filter_without_schema_and_metadata_without_schema():
    index = Index(2)
    index.add([[0, 0]])
    with pytest.raises(ValueError, match="needs an index built with a schema"):
        index.search([0, 0], filter=("a", 1))
    with pytest.raises(ValueError, match="needs an index built with a schema"):
        index.add([[1, 1]], metadata=[[("a", 1)]])
    assert len(index) == 1


@pytest.fixture(scope="module")
def bucketed():
    """20,000 vectors with a bucket number 0..999 each; bucket b holds about
    20 vectors, so `bucket < n` selects about n / 10 percent of them."""
    rng = np.random.default_rng(3)
    base = rng.standard_normal((20000, 8))
    buckets = rng.integers(0, 1000, len(base))
    index = Index(8, schema=["bucket", "parity"], m=6, ef_construction=60, seed=4)
    index.add(base, metadata=[[("bucket", int(b)), ("parity", int(b) % 2)] for b in buckets])
    return index, base, buckets


# Matching shares and ef that exercise each strategy: a walk that admits only
# matches (50%), two hops through non-matches (18% at a small ef), and a
# scan of the matches (18% at ef 40, 5%, 0.1%).
@pytest.mark.parametrize(("share", "ef"), [(500, 40), (180, 12), (180, 40), (50, 40), (1, 40)])
def test_filtered_recall_at_every_selectivity(bucketed, share, ef):
    index, base, buckets = bucketed
    wanted = list(range(share))
    labels, _ = index.search(QUERIES[:, :8], 10, ef=ef, filter=("bucket", wanted))
    assert np.isin(buckets[labels[labels >= 0]], wanted).all()
    matching = np.flatnonzero(np.isin(buckets, wanted))
    truth, _ = brute_force("euclidean", base[matching], QUERIES[:, :8], 10)
    assert recall(labels, matching[truth]) >= 0.95


def test_filter_forms_conjunctions_and_allow_lists(bucketed):
    index, base, buckets = bucketed
    labels, _ = index.search(QUERIES[:5, :8], 10, filter=[("bucket", [1, 2, 3, 4]), ("parity", 0)])
    found = buckets[labels[labels >= 0]]
    assert set(found.tolist()) <= {2, 4} and len(found) == 50
    allowed = np.array([5, 17, 19999, 123456])
    labels, distances = index.search(base[17], 4, filter=allowed)
    assert labels[0] == 17 and distances[0] == 0 and labels[3] == -1
    assert set(labels.tolist()) == {5, 17, 19999, -1}
    empty, _ = index.search(base[0], 3, filter=[("bucket", []), ("parity", 1)])
    assert empty.tolist() == [-1, -1, -1]


@pytest.mark.parametrize("empty", [[], range(0), np.array([]), np.array([], dtype=np.uint8)])
@pytest.mark.parametrize("exact", [False, True])
def test_an_empty_allow_list_matches_nothing(empty, exact):
    index = Index(24, schema=["color"], seed=2)
    index.add(BASE[:50], metadata=[[("color", "red")]] * 50)
    labels, distances = index.search(QUERIES[:3], 5, filter=empty, exact=exact)
    assert (labels == -1).all() and np.isinf(distances).all()
    assert (index.search(QUERIES[:3], 5, filter=None, exact=exact)[0] >= 0).all()


def test_packages_stay_apart():
    import subprocess
    import sys

    probe = "import sys, hobrin; print(sorted(m for m in sys.modules if m.split('.')[0] in ('numpy', 'hobrin_ann')))"  # noqa: E501
    assert (
        subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout
        == "[]\n"
    )
    assert hobrin_ann.__all__ == ["Index", "__version__"] and hobrin_ann.__version__.count(".") == 2


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_exact_and_filtered_scans_report_the_walks_distances(metric, dtype):
    """The scans rank with a blocked kernel, then re-score their winners one
    by one: the distances they return are the ones a walk gives the same
    ids, bit for bit, and a filter only narrows the rows scanned."""
    dim = 40  # more than one tile of rows and queries, and a padded row
    base = RNG.standard_normal((700, dim))
    queries = RNG.standard_normal((37, dim))
    index = Index(dim, metric, dtype=dtype, m=16, ef_construction=100, schema=["part"], seed=3)
    index.add(base, metadata=[[("part", i % 10)] for i in range(len(base))])
    walk, walk_d = index.search(queries, 700, ef=700)
    for flt, rows in ((None, np.arange(700)), (("part", 3), np.arange(3, 700, 10))):
        exact, exact_d = index.search(queries, 10, exact=True, filter=flt)
        truth, _ = brute_force(metric, base[rows], queries, 10)
        assert recall(exact, rows[truth]) >= 0.99
        for q in range(len(queries)):
            by_id = dict(zip(walk[q].tolist(), walk_d[q].tolist()))
            assert [by_id[i] for i in exact[q]] == exact_d[q].tolist()


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("k", [1, 10, 40])
@pytest.mark.parametrize("offset", [0.0, 3000.0])
def test_exact_scans_equal_the_k_best_of_every_row_scored(offset, k, dtype):
    """Over several chunks of rows (a partial one last), blocks of one query
    and of many, k above and below the scan's seed count, and repeated rows:
    a scan returns exactly the first k of every row scored by the walk's
    kernel, in (distance, id) order. Far from the origin the norms dwarf the
    distances, and the scan's bounds are loose."""
    rng = np.random.default_rng(11)
    base = rng.standard_normal((1100, 20)) + offset
    base[600:640] = base[5]  # ties across chunk edges
    queries = np.concatenate([rng.standard_normal((36, 20)) + offset, base[5:6]])
    # A graph need not reach every node; one-thread builds are repeatable,
    # so take the first seed whose walk with ef = n scores every row.
    for seed in range(2, 8):
        index = Index(20, dtype=dtype, m=16, ef_construction=100, schema=["part"], seed=seed)
        index.add(base, metadata=[[("part", i % 3)] for i in range(len(base))], threads=1)
        walk, walk_d = index.search(queries, len(base), ef=len(base))
        if (walk >= 0).all():
            break
    assert (walk >= 0).all()  # every row scored
    for flt in (None, ("part", 1)):
        keep = np.ones_like(walk, bool) if flt is None else walk % 3 == 1
        best = [walk[q][keep[q]][:k] for q in range(len(queries))]
        best_d = [walk_d[q][keep[q]][:k] for q in range(len(queries))]
        for count in (1, 5, len(queries)):
            exact, exact_d = index.search(queries[:count], k, exact=True, filter=flt, threads=1)
            assert exact.tolist() == [b.tolist() for b in best[:count]]
            assert exact_d.tolist() == [b.tolist() for b in best_d[:count]]


@pytest.mark.parametrize("parts", [[3], [3, 4, 5]])
@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
def test_filtered_scans_of_few_rows_equal_numpy_and_single_queries(metric, parts):
    """5 admitted rows (fewer than k: each is scored exactly, no bounds) or
    15 (more): a block of queries returns numpy's ranking, -1 and inf past
    the matches, and what each query returns alone."""
    rng = np.random.default_rng(8)
    base, queries = rng.standard_normal((500, 24)), rng.standard_normal((40, 24))
    index = Index(24, metric, m=8, ef_construction=40, schema=["part"], seed=1)
    index.add(base, metadata=[[("part", i % 100)] for i in range(500)])
    rows = np.flatnonzero(np.isin(np.arange(500) % 100, parts))
    labels, distances = index.search(queries, 10, filter=("part", parts), threads=1)
    order, _ = brute_force(metric, base[rows], queries, 10)
    found = min(10, len(rows))
    assert (labels[:, :found] == rows[order][:, :found]).all()
    assert (labels[:, found:] == -1).all() and np.isinf(distances[:, found:]).all()
    for q in (0, 17, 39):
        alone = index.search(queries[q], 10, filter=("part", parts))
        assert (alone[0] == labels[q]).all() and (alone[1] == distances[q]).all()


@pytest.mark.parametrize("threads", [1, 2])
def test_walks_that_give_up_are_scanned_together_with_exact_results(threads):
    """Half the vectors match, all in a cluster far from the queries: the
    plan walks, each walk wanders through the other cluster past its budget
    and gives up, and the queries are scanned afterwards in blocks. Results
    equal each query searched alone and the exact filtered scan."""
    rng = np.random.default_rng(5)
    near, far = rng.standard_normal((2000, 16)), rng.standard_normal((2000, 16)) + 12.0
    index = Index(16, m=8, ef_construction=60, schema=["far"], seed=4)
    index.add(np.concatenate([near, far]), metadata=[[("far", int(i >= 2000))] for i in range(4000)])
    queries = rng.standard_normal((70, 16))
    batch = index.search(queries, 10, ef=10, filter=("far", 1), threads=threads)
    exact = index.search(queries, 10, filter=("far", 1), exact=True)
    alone = [index.search(q, 10, ef=10, filter=("far", 1)) for q in queries[:5]]
    assert (batch[0] == exact[0]).all() and (batch[1] == exact[1]).all()
    assert all((a[0] == batch[0][i]).all() and (a[1] == batch[1][i]).all() for i, a in enumerate(alone))


def test_exact_scan_keeps_the_first_added_of_many_copies():
    """Copies of one vector tie: a scan returns the lowest ids among them,
    however many there are and wherever they fall in the scan's blocks."""
    base = RNG.standard_normal((300, 24))
    base[50:250] = base[7]
    index = Index(24, seed=1)
    index.add(base)
    labels, distances = index.search(np.repeat(base[7:8], 20, axis=0), 12, exact=True)
    assert (labels == [7] + list(range(50, 61))).all()
    assert (distances == 0).all()
