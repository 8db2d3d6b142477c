"""hobrin_ann.Index against hnswlib and faiss IndexHNSWFlat.

All three build the same kind of graph (M = 16, ef_construction = 200,
float32) over the same float32 copy of the base set and get the whole query
batch in one call. Measured: recall@10 against queries/s over an ef sweep on
one thread, build time on one and two threads, memory per vector, batch
search on one and two threads, and how the query time at a fixed recall
grows with the number of vectors.
"""

import json
import math
import subprocess
import sys
import time
from pathlib import Path

import faiss
import hnswlib
import numpy as np
from curves import qps_at
from graph import heap_bytes
from timing import recall_at_k

import hobrin_ann

HERE = Path(__file__).resolve().parent
K = 10
M, EFC = 16, 200
SEED = 1
STOP_RECALL = 0.999  # an ef sweep ends at the first ef that reaches this recall
MIN_TIMED_S = 0.2  # a timed batch call shorter than this is repeated
SELF_EF = 100  # ef of the search for every stored vector (see unreachable)


# ---- the three methods: build(base, threads) -> index; search(index, q, ef, threads) -> labels

# The libraries are imported above, so that loading them is not counted as
# memory of the first index built.


def _ann_build(base, threads):
    index = hobrin_ann.Index(base.shape[1], "euclidean", dtype="float32", m=M, ef_construction=EFC, seed=SEED)
    index.add(base, threads=threads)
    return index


def _ann_search(index, queries, ef, threads):
    return index.search(queries, k=K, ef=ef, threads=threads)[0]


def _hnswlib_build(base, threads):
    index = hnswlib.Index(space="l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EFC, random_seed=SEED)
    index.set_num_threads(threads)
    index.add_items(base, np.arange(len(base)), num_threads=threads)
    return index


def _hnswlib_search(index, queries, ef, threads):
    index.set_ef(ef)
    return index.knn_query(queries, k=K, num_threads=threads)[0]


def _faiss_threads(threads):
    faiss.omp_set_num_threads(threads)


def _faiss_build(base, threads):
    _faiss_threads(threads)
    try:
        index = faiss.IndexHNSWFlat(base.shape[1], M)
        index.hnsw.efConstruction = EFC
        index.add(base)
    finally:
        _faiss_threads(1)
    return index


def _faiss_search(index, queries, ef, threads):
    index.hnsw.efSearch = ef
    _faiss_threads(threads)
    try:
        return index.search(queries, K)[1]
    finally:
        _faiss_threads(1)


ANN, HNSWLIB, FAISS = "hobrin_ann", "hnswlib", "faiss HNSWFlat"
METHODS = {
    ANN: (_ann_build, _ann_search),
    HNSWLIB: (_hnswlib_build, _hnswlib_search),
    FAISS: (_faiss_build, _faiss_search),
}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def build(method, base, threads, methods=METHODS):
    """Builds one index; returns (index, figures). Memory figures are the
    growth of the resident set and of live malloc'd bytes over the build;
    they describe the index only in a process that has not built one before
    (freed memory of an earlier build would be reused). methods: {name:
    (build, search)}, by default the three here."""
    rss0, heap0 = rss_bytes(), heap_bytes()
    wall, cpu = time.perf_counter(), time.process_time()
    index = methods[method][0](base, threads)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    n = len(base)
    fig = {
        "method": method,
        "threads": threads,
        "n": n,
        "build_s": wall,
        "cpu_s": cpu,
        "rss_per_vector": (rss_bytes() - rss0) / n,
        "heap_per_vector": (heap_bytes() - heap0) / n,
    }
    if isinstance(index, hobrin_ann.Index):
        fig["nbytes_per_vector"] = index.nbytes / len(index)
        if len(index) != n:
            fig["fault"] = f"len(index) is {len(index)} after adding {n} vectors"
    return index, fig


def unreachable(method, index, base, methods=METHODS):
    """How many stored vectors a search for the vector itself (k = 1, ef =
    SELF_EF, two threads, untimed) does not find: vectors the graph cannot
    lead to. A result that is an identical copy counts as found."""
    labels = methods[method][1](index, base, SELF_EF, 2)[:, :1].ravel()
    ok = labels >= 0
    ok[ok] = (base[labels[ok]] == base[ok]).all(axis=1)
    return int(len(base) - ok.sum())


def build_in_subprocess(method, dataset, n, threads, timeout=1800):
    """The build of `method` in a fresh process (see build); returns its figures."""
    cmd = [
        sys.executable,
        str(HERE / "worker.py"),
        "--task",
        "ann-build",
        "--method",
        method,
        "--dataset",
        dataset,
        "--threads",
        str(threads),
    ] + (["--n", str(n)] if n else [])
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    except subprocess.TimeoutExpired:
        return {"method": method, "threads": threads, "error": f"timed out after {timeout} s"}
    if p.returncode != 0:
        last = p.stderr.strip().splitlines()[-1:] or [f"exit {p.returncode}"]
        return {"method": method, "threads": threads, "error": last[0]}
    return json.loads(p.stdout)


# ---- searching


def time_call(fn):
    """(result of fn(), seconds per call). A call shorter than MIN_TIMED_S is
    repeated to fill it, and the faster of the first call and the repeats'
    mean counts."""
    t = time.perf_counter()
    out = fn()
    best = time.perf_counter() - t
    if best < MIN_TIMED_S:
        reps = max(1, math.ceil(MIN_TIMED_S / max(best, 1e-6)))
        t = time.perf_counter()
        for _ in range(reps):
            fn()
        best = min(best, (time.perf_counter() - t) / reps)
    return out, best


def check_labels(labels, n):
    """Faults in a (q, K) label batch: ids outside the base, or an id twice in one row."""
    faults = []
    labels = np.asarray(labels)
    if labels.shape[1] != K:
        faults.append(f"{labels.shape[1]} results per query, not {K}")
    bad = (labels < 0) | (labels >= n)
    if bad.any():
        faults.append(f"{int(bad.sum())} labels outside 0..{n - 1}")
    srt = np.sort(labels, axis=1)
    dup = int((srt[:, 1:] == srt[:, :-1]).any(axis=1).sum())
    if dup:
        faults.append(f"{dup} queries with an id returned twice")
    return faults


def sweep(indexes, ds, queries32, efs, nq, rounds=5, threads=1, methods=METHODS):
    """Recall@10 and queries/s of every index over the ef values.

    indexes: {method: index}, each searched by methods[method][1]. The first
    round, ef by ef ascending, gives each method's recall; a method leaves the
    sweep after the first ef reaching STOP_RECALL. The later rounds time the chosen (method, ef) pairs again,
    taking turns at every ef, so that load from elsewhere on the machine falls
    on all of them alike; queries/s is that of the fastest round.
    Returns (points, faults)."""
    base, truth_dist = ds.base, ds.truth(nq)[1]
    queries64 = ds.queries[:nq]
    points, faults, done = {}, [], set()
    for r in range(rounds):
        for ef in efs:
            for method, index in indexes.items():
                key = (method, ef)
                if (r == 0 and method in done) or (r > 0 and key not in points):
                    continue
                search = methods[method][1]
                labels, sec = time_call(lambda: search(index, queries32, ef, threads))
                if r == 0:
                    rec = recall_at_k(base, queries64, labels, truth_dist, K)
                    points[key] = {"method": method, "ef": ef, "recall": rec, "qps_rounds": []}
                    faults += [f"{method} ef={ef}: {f}" for f in check_labels(labels, len(base))]
                    if rec >= STOP_RECALL:
                        done.add(method)
                points[key]["qps_rounds"].append(nq / sec)
    out = list(points.values())
    for p in out:
        p["qps"] = max(p["qps_rounds"])
    return out, faults


def smallest_ef_at(points, method, recall):
    """The smallest swept ef at which `method` reaches `recall`, else its largest ef."""
    mine = sorted((p for p in points if p["method"] == method), key=lambda p: p["ef"])
    return next((p["ef"] for p in mine if p["recall"] >= recall), mine[-1]["ef"] if mine else None)


def thread_search(indexes, queries32, points, recall, thread_counts=(1, 2), rounds=5):
    """Batch search on 1 and 2 threads, each method at the smallest ef that
    reaches `recall`; the thread counts take turns, the fastest round counts."""
    rows = {}
    for _ in range(rounds):
        for method, index in indexes.items():
            ef = smallest_ef_at(points, method, recall)
            for t in thread_counts:
                _, sec = time_call(lambda: METHODS[method][1](index, queries32, ef, t))
                row = rows.setdefault(method, {"method": method, "ef": ef, "qps": {}})
                row["qps"][str(t)] = max(row["qps"].get(str(t), 0.0), len(queries32) / sec)
    return list(rows.values())


def build_scaling(base, methods=(ANN, HNSWLIB), thread_counts=(1, 2), reps=3):
    """Build time on one and two threads on the same vectors, the builds
    alternating `reps` times; the fastest build of each (method, threads)
    counts, since load from elsewhere on the machine only slows a build.
    Returns [{"method", "threads", "build_s", "cpu_s", "runs"}]."""
    best = {}
    for _ in range(reps):
        for method in methods:
            for t in thread_counts:
                index, fig = build(method, base, t)
                del index
                row = best.setdefault(
                    (method, t),
                    {"method": method, "threads": t, "n": len(base), "build_s": math.inf, "runs": []},
                )
                row["runs"].append(fig["build_s"])
                if fig["build_s"] < row["build_s"]:
                    row.update(build_s=fig["build_s"], cpu_s=fig["cpu_s"])
    return list(best.values())


def exact_check(index, ds, queries32, nq):
    """hobrin_ann's exact=True search against the float64 ground truth, and
    its returned distances against the distances of the returned vectors."""
    labels, dist = index.search(queries32, k=K, exact=True, threads=1)
    rec = recall_at_k(ds.base, ds.queries[:nq], labels, ds.truth(nq)[1], K)
    true = np.sqrt(((ds.base[labels] - ds.queries[:nq, None, :]) ** 2).sum(axis=2))
    err = float(np.max(np.abs(dist - true) / np.maximum(true, 1e-12)))
    return {"recall": rec, "max_rel_distance_error": err}


# ---- one data set


def run_dataset(ds, name, n, efs, nq, log, scaling_n, memory=True):
    """Everything on one data set: builds (one thread here, two threads in
    fresh processes that also measure memory), the sweep, thread scaling of
    search, and of building on the first scaling_n vectors."""
    base32 = np.ascontiguousarray(ds.base, np.float32)
    queries32 = np.ascontiguousarray(ds.queries[:nq], np.float32)
    ds.truth(nq)
    indexes, builds, faults = {}, [], []
    for method in METHODS:
        index, fig = build(method, base32, 1)
        fig.pop("rss_per_vector")  # not a fresh process: see build_in_subprocess
        fig.pop("heap_per_vector")
        if "fault" in fig:
            faults.append(f"{method}: {fig['fault']}")
        indexes[method] = index
        builds.append(fig)
        log(f"  {method}: build on 1 thread {fig['build_s']:.1f} s (cpu {fig['cpu_s']:.1f} s)")
    if memory:
        for method in METHODS:
            fig = build_in_subprocess(method, name, n, 2)
            builds.append(fig)
            if "error" in fig:
                faults.append(f"{method} build on 2 threads: {fig['error']}")
                log(f"  {method}: build on 2 threads failed: {fig['error']}")
            else:
                log(
                    f"  {method}: build on 2 threads {fig['build_s']:.1f} s, "
                    f"{fig['rss_per_vector']:.0f} resident bytes/vector"
                )
    points, sweep_faults = sweep(indexes, ds, queries32, efs, nq)
    faults += sweep_faults
    for method in METHODS:
        log(
            f"  {method}: "
            + ", ".join(
                f"ef {p['ef']}: {p['qps']:.0f} q/s @ {p['recall']:.4f}"
                for p in points
                if p["method"] == method
            )
        )
    for fig in builds:
        if fig["threads"] == 1:
            fig["unreachable"] = unreachable(fig["method"], indexes[fig["method"]], base32)
    threads = thread_search(indexes, queries32, points, 0.99)
    check = exact_check(indexes[ANN], ds, queries32, nq)
    log(f"  hobrin_ann exact=True: recall {check['recall']:.4f}")
    del indexes
    scaling = build_scaling(base32[:scaling_n])
    log(
        f"  builds of {min(scaling_n, len(base32)):,} vectors, fastest of 3: "
        + ", ".join(f"{r['method']} {r['threads']} thread(s) {r['build_s']:.1f} s" for r in scaling)
    )
    return {
        "build_scaling": scaling,
        "dataset": ds.label,
        "name": name,
        "n": len(ds.base),
        "dim": ds.base.shape[1],
        "nq": nq,
        "builds": builds,
        "points": points,
        "threads": threads,
        "exact_check": check,
        "faults": faults,
    }


def run_growth(sets, efs, nq, log, recall=0.95, methods=(ANN, HNSWLIB), build_threads=2):
    """Query time at a fixed recall as the base set grows: one sweep per size,
    builds on two threads (their time is not the subject here)."""
    out = []
    for ds in sets:
        base32 = np.ascontiguousarray(ds.base, np.float32)
        queries32 = np.ascontiguousarray(ds.queries[:nq], np.float32)
        ds.truth(nq)
        indexes, builds = {}, []
        for method in methods:
            indexes[method], fig = build(method, base32, build_threads)
            fig["unreachable"] = unreachable(method, indexes[method], base32)
            builds.append(fig)
        points, faults = sweep(indexes, ds, queries32, efs, nq)
        row = {
            "dataset": ds.label,
            "n": len(ds.base),
            "builds": builds,
            "points": points,
            "faults": faults,
            "at": {},
        }
        for method in methods:
            qps, how = qps_at([p for p in points if p["method"] == method], recall)
            row["at"][method] = {"qps": qps, "how": how, "ef": smallest_ef_at(points, method, recall)}
        log(
            f"  {ds.label}: "
            + ", ".join(
                f"{m} {a['qps']:.0f} q/s ({a['how']})" if a["qps"] else f"{m} {a['how']}"
                for m, a in row["at"].items()
            )
            + f" at recall {recall}"
        )
        out.append(row)
        del indexes
    return {"recall": recall, "build_threads": build_threads, "sizes": out}
