"""Graph search: PyHNSW against hnswlib and faiss IndexHNSWFlat (one thread).

PyHNSW fixes ef_search when it is constructed, so each point of its recall /
speed curve is an index of its own: one build per (layers, ef_construction,
ef_search). hnswlib and faiss are built once and swept by setting ef.
"""

import ctypes
import time

import numpy as np
from timing import recall_at_k, time_methods

K = 10
STOP_RECALL = 0.999  # a sweep ends at the first ef that reaches this recall
FIRST_BUILD_SHARE = 1 / 3  # of a setting's build budget, for the build that sets the size
MAX_LIVE_BYTES = 4 << 30  # PyHNSW indexes kept at once for timing them together


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def heap_bytes():
    """Bytes in live malloc blocks (arena and mmap'd), which is where the C++
    indexes keep their data. Unlike RSS it does not depend on whether freed
    memory went back to the system, so a difference measures one index."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def _rows(block):
    return block.tolist() if _rows.as_list else block


_rows.as_list = False


def build_pyhnsw(hobrin, base, layers, efc, ef, allowance_s=None, chunk=1000):
    """Builds a PyHNSW over `base` by create() calls of `chunk` vectors (the
    same index as one create: insertion is sequential either way).

    With allowance_s, stops after the chunk that exceeds it, so the index may
    hold only a prefix of base. Returns (index, vectors held, build seconds,
    heap growth in bytes)."""
    index = hobrin.PyHNSW(base.shape[1], layers=layers, ef_construction=efc, ef_search=ef, metric="euclidean")
    heap0 = heap_bytes()
    seconds, n = 0.0, 0
    while n < len(base):
        block = base[n : n + chunk]
        try:
            rows = _rows(block)  # conversion to lists, if needed, is not timed
            t = time.perf_counter()
            index.create(rows)
        except TypeError:
            if _rows.as_list:
                raise
            _rows.as_list = True
            continue
        seconds += time.perf_counter() - t
        n += len(block)
        if allowance_s is not None and seconds > allowance_s:
            break
    return index, n, seconds, heap_bytes() - heap0


class VectorIds:
    """Maps the vectors that PyHNSW returns back to base ids."""

    def __init__(self, base):
        self.base = base
        self.by_hash = {}
        for i, row in enumerate(base):
            self.by_hash.setdefault(hash(row.tobytes()), []).append(i)

    def id_of(self, vector):
        v = np.asarray(vector, np.float64)
        for i in self.by_hash.get(hash(v.tobytes()), ()):
            if np.array_equal(self.base[i], v):
                return i
        return -1  # not a stored vector: counted as a miss and reported


def pyhnsw_results(raw, ids, queries):
    """Base ids of PyHNSW results, and the number of faulty results: a vector
    that is not in the base, or a reported distance that is not the vector's
    Euclidean distance to the query."""
    out, faults = [], 0
    for q, res in zip(queries, raw):
        row = []
        for dist, vec in res:
            i = ids.id_of(vec)
            true = np.sqrt(((np.asarray(vec) - q) ** 2).sum())
            if i < 0 or not np.isclose(dist, true, rtol=1e-9, atol=1e-12):
                faults += 1
            row.append(i)
        out.append(row)
    return out, faults


def pyhnsw_search_fn(index, sample_query):
    try:
        index.search(sample_query, k=K)
        return lambda q: index.search(q, k=K)
    except TypeError:
        return lambda q: index.search(q.tolist(), k=K)


def _point(method, setting, ef, build_s, qps, recall, bytes_per_vector, n_q):
    return {
        "method": method,
        "setting": setting,
        "ef": ef,
        "build_s": build_s,
        "qps": qps,
        "recall": recall,
        "bytes_per_vector": bytes_per_vector,
        "nq": n_q,
    }


def check_pyhnsw(hobrin, ds, layers, efc, ef, nq, ids=None, allowance_s=None):
    """Builds one PyHNSW and finds its recall in an untimed pass over the
    queries. With allowance_s the build may stop early, and the point then
    refers to the prefix the index holds.
    Returns (point without speed, search fn, data set measured, VectorIds, faulty results)."""
    index, n, build_s, grow = build_pyhnsw(hobrin, ds.base, layers, efc, ef, allowance_s)
    ds = ds.prefix(n)
    if ids is None or len(ids.base) != n:
        ids = VectorIds(ds.base)
    queries = ds.queries[:nq]
    fn = pyhnsw_search_fn(index, queries[0])
    got, faults = pyhnsw_results([fn(q) for q in queries], ids, queries)
    recall = recall_at_k(ds.base, queries, got, ds.truth(nq)[1], K)
    point = _point(
        "hobrin PyHNSW", f"layers={layers}, ef_construction={efc}", ef, build_s, None, recall, grow / n, nq
    )
    return point, fn, ds, ids, faults


def time_points(entries, queries):
    """Sets the speed of each (point, search fn); the searches take turns."""
    timed = time_methods(
        [(i, fn) for i, (_, fn) in enumerate(entries)],
        queries,
        1e9,
        len(queries),
        len(queries),
        rounds=3,
        keep_results=False,
    )
    for i, (point, _) in enumerate(entries):
        point["qps"] = timed[i]["qps"]


def measure_pyhnsw(hobrin, ds, layers, efc, ef, nq):
    """One PyHNSW point. Returns (point, faulty results)."""
    point, fn, ds, _, faults = check_pyhnsw(hobrin, ds, layers, efc, ef, nq)
    time_points([(point, fn)], ds.queries[:nq])
    return point, faults


def pyhnsw_sweep(hobrin, ds, settings, efs, nq, budget_s, log=print):
    """PyHNSW points for every (setting, ef) that fits in budget_s of build time.

    Each setting may spend an equal share of what is left of the budget. The
    first build (first setting, first ef) may use FIRST_BUILD_SHARE of its
    share; if it cannot hold all of ds by then, the whole comparison moves to
    the prefix it reached. A build is skipped when the previous build of its
    setting says it would overrun the setting's share. The indexes of one
    setting are kept (up to MAX_LIVE_BYTES) and timed together, taking turns.
    Returns (data set used, points, notes)."""
    points, notes, ids = [], [], None
    spent = 0.0

    def flush(pending):
        time_points(pending, ds.queries[:nq])
        for p, _ in pending:
            log(
                f"  PyHNSW {p['setting']} ef_search={p['ef']}: build {p['build_s']:.1f} s, "
                f"{p['qps']:.0f} q/s, recall {p['recall']:.4f}"
            )
        pending.clear()

    for si, (layers, efc) in enumerate(settings):
        share = (budget_s - spent) / (len(settings) - si)
        last, used_here, pending = 0.0, 0.0, []
        for ei, ef in enumerate(efs):
            if used_here + last > share:
                notes.append(
                    f"PyHNSW layers={layers}, ef_construction={efc}, ef_search={ef} and "
                    f"above: skipped (this setting's build budget: {share:.0f} s)"
                )
                break
            allowance = share * FIRST_BUILD_SHARE if si == ei == 0 else None
            point, fn, used, ids, faults = check_pyhnsw(hobrin, ds, layers, efc, ef, nq, ids, allowance)
            if len(used.base) < len(ds.base):
                notes.append(
                    f"{ds.label}: PyHNSW held {len(used.base):,} vectors after "
                    f"{point['build_s']:.0f} s of building, so the graph comparison "
                    f"uses the first {len(used.base):,} base vectors"
                )
                ds = used
            if faults:
                notes.append(
                    f"FAULT: PyHNSW {point['setting']} ef_search={ef} returned "
                    f"{faults} results that are not base vectors at their distance"
                )
            last = point["build_s"]
            spent += last
            used_here += last
            points.append(point)
            if pending and point["bytes_per_vector"] * len(ds.base) * (len(pending) + 1) > MAX_LIVE_BYTES:
                flush(pending)
            pending.append((point, fn))
            del fn
            if point["recall"] >= STOP_RECALL:
                break
        flush(pending)
    return ds, points, notes


def hnswlib_points(ds, efs, nq, m=16, efc=200):
    import hnswlib

    base32 = np.ascontiguousarray(ds.base, np.float32)
    heap0 = heap_bytes()
    index = hnswlib.Index(space="l2", dim=ds.base.shape[1])
    index.init_index(max_elements=len(base32), M=m, ef_construction=efc, random_seed=1)
    index.set_num_threads(1)
    t = time.perf_counter()
    index.add_items(base32, np.arange(len(base32)), num_threads=1)
    build_s = time.perf_counter() - t
    per_vec = (heap_bytes() - heap0) / len(base32)

    def search(q):
        return index.knn_query(q.astype(np.float32), k=K, num_threads=1)[0][0]

    return _sweep(
        "hnswlib (float32)",
        f"M={m}, ef_construction={efc}",
        ds,
        efs,
        nq,
        build_s,
        per_vec,
        index.set_ef,
        search,
    )


def faiss_points(ds, efs, nq, m=16, efc=200):
    import faiss

    faiss.omp_set_num_threads(1)
    base32 = np.ascontiguousarray(ds.base, np.float32)
    heap0 = heap_bytes()
    index = faiss.IndexHNSWFlat(ds.base.shape[1], m)
    index.hnsw.efConstruction = efc
    t = time.perf_counter()
    index.add(base32)
    build_s = time.perf_counter() - t
    per_vec = (heap_bytes() - heap0) / len(base32)

    def set_ef(ef):
        index.hnsw.efSearch = ef

    def search(q):
        return index.search(q.astype(np.float32)[None, :], K)[1][0]

    return _sweep(
        "faiss IndexHNSWFlat (float32)",
        f"M={m}, efConstruction={efc}",
        ds,
        efs,
        nq,
        build_s,
        per_vec,
        set_ef,
        search,
    )


def _sweep(method, setting, ds, efs, nq, build_s, per_vec, set_ef, search):
    """One point per ef: recall from a first pass over the queries (which stops
    at the first ef reaching STOP_RECALL), speed from a second pass in which
    the chosen ef values take turns, so that load from elsewhere on the
    machine does not fall on one ef alone."""
    queries = ds.queries[:nq]
    truth_dist = ds.truth(nq)[1]
    recalls = {}
    for ef in efs:
        set_ef(ef)
        recalls[ef] = recall_at_k(ds.base, queries, [search(q) for q in queries], truth_dist, K)
        if recalls[ef] >= STOP_RECALL:
            break  # larger ef values only trade speed for recall already reached
    timed = time_methods(
        [(ef, search, lambda ef=ef: set_ef(ef)) for ef in recalls], queries, 1e9, nq, nq, rounds=3
    )
    return [
        _point(method, setting, ef, build_s, timed[ef]["qps"], recalls[ef], per_vec, nq) for ef in recalls
    ]
