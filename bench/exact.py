"""Exact k-NN: PyFlat.search against numpy, faiss IndexFlatL2 and a streaming read."""

import time

import numpy as np
from timing import recall_at_k, time_methods

K = 10


def as_query_input(search, q):
    """The query form a caller passes: the numpy row itself, or a list where
    the index does not take arrays."""
    try:
        search(q)
        return lambda x: x
    except TypeError:
        return lambda x: x.tolist()


def build_flat(hobrin, base):
    """A PyFlat holding `base`; returns (index, seconds, input form)."""
    index = hobrin.PyFlat(base.shape[1])
    t = time.perf_counter()
    try:
        index.create(base)
        form = "array"
    except TypeError:
        rows = base.tolist()  # not timed: the conversion a caller would do once
        index = hobrin.PyFlat(base.shape[1])
        t = time.perf_counter()
        index.create(rows)
        form = "list"
    return index, time.perf_counter() - t, form


def _seconds(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def flat_search_fn(index, sample_query):
    """fn(query) -> the raw (id, distance) list of PyFlat.search."""
    conv = as_query_input(lambda q: index.search(q, k=K), sample_query)
    return lambda q: index.search(conv(q), k=K)


def numpy_methods(base):
    """The ways a numpy user finds the k nearest rows of `base` (float64)."""
    base_sq = np.einsum("ij,ij->i", base, base)  # index-time work, not timed

    def top_k(d):
        idx = np.argpartition(d, K)[:K]
        return idx[np.argsort(d[idx])]

    return [
        ("numpy norm(X - q) + argpartition", lambda q: top_k(np.linalg.norm(base - q, axis=1))),
        ("numpy BLAS expansion + argpartition", lambda q: top_k(base_sq - 2.0 * (base @ q) + q @ q)),
        ("numpy X @ q alone", lambda q: (base @ q, None)[1]),
    ]


def faiss_flat_method(base):
    import faiss

    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(base.shape[1])
    index.add(np.ascontiguousarray(base, np.float32))
    return ("faiss IndexFlatL2 (float32)", lambda q: index.search(q.astype(np.float32)[None, :], K)[1][0])


def run(hobrin, ds, nq, budget_s, min_q=10):
    """Returns a dict of results for one data set."""
    base, queries = ds.base, ds.queries[:nq]
    truth_ids, truth_dist = ds.truth(nq)
    flat, create_s, form = build_flat(hobrin, base)
    copy_s = min(_seconds(base.copy) for _ in range(3))
    search = flat_search_fn(flat, queries[0])
    methods = [("hobrin PyFlat.search", lambda q: [i for i, _ in search(q)])]
    methods += numpy_methods(base)
    methods.append(faiss_flat_method(base))
    methods.append(("streaming read (X.sum())", lambda q: (base.sum(), None)[1]))

    timed = time_methods(methods, queries, budget_s, min_q, nq)
    rows = []
    for name, _ in methods:
        r = timed[name]
        ids = r.pop("ids")
        if ids and ids[0] is not None:
            r["recall"] = recall_at_k(base, queries, ids, truth_dist, K)
        r["name"] = name
        rows.append(r)
    exact = _matches_truth(search, queries[:50], truth_ids, truth_dist)
    return {
        "dataset": ds.label,
        "n": base.shape[0],
        "dim": base.shape[1],
        "bytes": base.nbytes,
        "create_s": create_s,
        "create_input": form,
        "copy_s": copy_s,
        "rows": rows,
        "pyflat_exact": exact,
    }


def _matches_truth(search, queries, truth_ids, truth_dist):
    """PyFlat is exact: its distances equal the float64 ground truth up to the
    rounding of the summation order, and its ids equal the ground truth's
    wherever the distances are not tied."""
    for qi, q in enumerate(queries):
        res = search(q)
        ids = np.array([i for i, _ in res])
        d = np.array([x for _, x in res])
        if len(res) != K or not np.allclose(d, truth_dist[qi], rtol=1e-12, atol=0):
            return False
        tied = np.isclose(truth_dist[qi][:, None], truth_dist[qi][None, :], rtol=1e-12).sum(1) > 1
        if np.any((ids != truth_ids[qi]) & ~tied):
            return False
    return True
