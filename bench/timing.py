"""Per-query timing of several methods, interleaved so machine noise hits all alike."""

import time

import numpy as np


def time_methods(methods, queries, budget_s, min_q, max_q, rounds=4, keep_results=True):
    """Time each method over the first n queries, n chosen per method.

    methods: list of (name, fn) or (name, fn, prepare); fn(query) returns a
    list of base ids or None; prepare(), if given, runs untimed before each of
    the method's chunks (to set a search parameter on a shared index, say).
    A short calibration picks n = budget_s / (time per query), clamped to
    [min_q, max_q]; then the queries run in `rounds` chunks, every method doing
    its chunk in turn. Other load on the machine only ever slows a round down,
    so the speed reported is that of the fastest round ("qps"); the mean over
    all rounds is kept as "qps_mean".
    Returns {name: {"n", "seconds", "qps", "qps_mean", "ids"}}.
    """
    methods = [(m[0], m[1], m[2] if len(m) > 2 else None) for m in methods]
    plan = {}
    for name, fn, prepare in methods:
        if prepare:
            prepare()
        t = time.perf_counter()
        fn(queries[0])
        fn(queries[1 % len(queries)])
        per = max((time.perf_counter() - t) / 2, 1e-7)
        n = int(min(max(budget_s / per, min_q), max_q, len(queries)))
        plan[name] = max(n, 1)
    out = {name: {"n": plan[name], "seconds": 0.0, "ids": [], "rates": []} for name, _, _ in methods}
    for r in range(rounds):
        for name, fn, prepare in methods:
            n = plan[name]
            chunk = queries[r * n // rounds : (r + 1) * n // rounds]
            if not len(chunk):
                continue
            if prepare:
                prepare()
            res = out[name]
            t = time.perf_counter()
            got = [fn(q) for q in chunk]
            dt = time.perf_counter() - t
            res["seconds"] += dt
            res["rates"].append(len(chunk) / dt)
            if keep_results:
                res["ids"].extend(got)
    for res in out.values():
        res["qps"] = max(res.pop("rates"))
        res["qps_mean"] = res["n"] / res["seconds"]
    return out


def recall_at_k(base, queries, result_ids, truth_dist, k=10):
    """Mean recall@k, tie-aware: a returned id counts when its exact float64
    distance is within the k-th true distance (so an equally near vector is as
    good as the one the ground truth happened to list). Duplicate ids count once."""
    hits = 0
    for qi, ids in enumerate(result_ids):
        ids = list(dict.fromkeys(int(i) for i in list(ids)[:k] if i >= 0))
        if not ids:
            continue
        d = np.sqrt(((base[ids] - queries[qi]) ** 2).sum(axis=1))
        hits += int(np.count_nonzero(d <= truth_dist[qi, k - 1] * (1 + 1e-9)))
    return hits / (k * len(result_ids))
