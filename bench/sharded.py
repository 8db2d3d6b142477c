"""hobrin_ann.ray.ShardedIndex against one in-process hobrin_ann.Index.

One local Ray cluster of two CPUs, started here and shut down at the end.
The in-process index adds and searches on two threads; ShardedIndex runs with
1, 2 and 4 shards, each shard asking for its even part of the two CPUs (so a
shard searches on max(1, round(2 / shards)) threads). All use the same graph
parameters, seed and search ef over the same float32 base. Measured: actor
start-up and the add of the whole base in one call (fastest of a few builds),
the time of query batches of several sizes (fastest of a few rounds), from
which queries/s at the largest batch and the fixed cost of a call, recall@10
against the exact ground truth, and each shard's nbytes. A configuration's
actors are closed, and their CPUs back in the cluster, before the next one
starts.
"""

import os
import time

import numpy as np
from filtered import timed
from timing import recall_at_k

K = 10
M, EFC, SEED = 16, 200, 1
CPUS = 2
SHARDS = (1, 2, 4)
PLACEMENT_TIMEOUT_S = 120
IN_PROCESS = "in-process Index"


def fixed_cost(sizes, seconds):
    """(fixed seconds per call, seconds per query): the line
    t = fixed + per_query * n through the batch times, fitted by least squares
    on relative errors, so that the small batches that decide the fixed cost
    weigh as much as the large ones that decide the slope (on absolute errors
    a few percent of noise on a 1000-query batch would swamp a 1-query call)."""
    n = np.asarray(sizes, np.float64)
    t = np.asarray(seconds, np.float64)
    design = np.stack([np.ones_like(n), n], axis=1) / t[:, None]
    (fixed, per_query), *_ = np.linalg.lstsq(design, np.ones_like(t), rcond=None)
    return float(fixed), float(per_query)


def label_faults(labels, n):
    """Ids outside the base and ids returned twice for one query."""
    faults = []
    bad = int(((labels < 0) | (labels >= n)).sum())
    if bad:
        faults.append(f"{bad} labels outside 0..{n - 1}")
    srt = np.sort(labels, axis=1)
    twice = int((srt[:, 1:] == srt[:, :-1]).any(axis=1).sum())
    if twice:
        faults.append(f"{twice} queries with an id returned twice")
    return faults


def _wait_for_cpus(ray, total, timeout=60.0):
    """Waits until the cluster offers all its CPUs again (killed actors give
    theirs back a moment after close), so that the next start-up is timed
    without waiting for them."""
    end = time.monotonic() + timeout
    while ray.available_resources().get("CPU", 0.0) < total and time.monotonic() < end:
        time.sleep(0.05)


def _time_batches(search, queries, batches, rounds, into):
    """Fastest time of each batch size over `rounds` rounds, kept in `into`
    ({size: seconds}); returns the labels of the largest batch."""
    labels = None
    for _ in range(rounds):
        for b in batches:
            out, sec = timed(lambda: search(queries[:b]))
            key = str(b)
            into[key] = min(into.get(key, float("inf")), sec)
            if b == batches[-1]:
                labels = out
    return labels


def run(ds, nq, batches, ef, rounds, build_rounds, log):
    import ray

    import hobrin_ann
    from hobrin_ann.ray import ShardedIndex

    base = np.ascontiguousarray(ds.base, np.float32)
    queries = np.ascontiguousarray(ds.queries[:nq], np.float32)
    n, dim = base.shape
    batches = sorted(b for b in batches if b <= nq)
    truth_dist = ds.truth(nq)[1]
    options = {"m": M, "ef_construction": EFC, "seed": SEED}
    minutes = time.time()

    def finish(row, labels, nbytes, size):
        row["recall"] = recall_at_k(ds.base, ds.queries[:nq], labels, truth_dist, K)
        row["faults"] += label_faults(labels, n)
        if size != n:
            row["faults"].append(f"holds {size} vectors after adding {n}")
        row["nbytes"] = nbytes

    # The in-process baseline; its searches are timed again after each
    # sharded configuration, and the fastest of all counts.
    single = {"config": IN_PROCESS, "shards": 0, "threads": CPUS, "start_runs": [], "add_runs": []}
    single.update(faults=[], batch_s={})
    for _ in range(build_rounds):
        t = time.perf_counter()
        index = hobrin_ann.Index(dim, "euclidean", **options)
        single["start_runs"].append(time.perf_counter() - t)
        t = time.perf_counter()
        index.add(base, threads=CPUS)
        single["add_runs"].append(time.perf_counter() - t)
    local = index

    def local_search(q):
        return local.search(q, K, ef=ef, threads=CPUS)[0]

    labels = _time_batches(local_search, queries, batches, rounds, single["batch_s"])
    finish(single, labels, [local.nbytes], len(local))
    _log_row(single, log)
    configs = [single]

    ray.init(num_cpus=CPUS, include_dashboard=False, log_to_driver=False)
    try:
        for shards in SHARDS:
            cpus = CPUS / shards
            row = {"config": f"ShardedIndex, {shards} shard{'s' if shards > 1 else ''}", "shards": shards}
            row.update(cpus_per_shard=cpus, threads=max(1, round(cpus)), start_runs=[], add_runs=[])
            row.update(faults=[], batch_s={})
            index = None
            for _ in range(build_rounds):
                if index is not None:
                    index.close()
                    _wait_for_cpus(ray, CPUS)
                t = time.perf_counter()
                index = ShardedIndex(dim, shards, capacity=n, timeout=PLACEMENT_TIMEOUT_S, **options)
                row["start_runs"].append(time.perf_counter() - t)
                t = time.perf_counter()
                index.add(base)
                row["add_runs"].append(time.perf_counter() - t)
            try:

                def sharded_search(q, index=index):
                    return index.search(q, K, ef=ef)[0]

                labels = _time_batches(sharded_search, queries, batches, rounds, row["batch_s"])
                nbytes = index.nbytes
                if len(nbytes) != shards:
                    row["faults"].append(f"nbytes lists {len(nbytes)} shards")
                finish(row, labels, nbytes, len(index))
            finally:
                index.close()
                _wait_for_cpus(ray, CPUS)
            _log_row(row, log)
            configs.append(row)
            _time_batches(local_search, queries, batches, 1, single["batch_s"])
        version = ray.__version__
    finally:
        ray.shutdown()

    for row in configs:
        summarise(row, single, batches)
    return {
        "dataset": ds.label,
        "n": n,
        "dim": dim,
        "nq": nq,
        "k": K,
        "ef": ef,
        "m": M,
        "ef_construction": EFC,
        "seed": SEED,
        "cpus": CPUS,
        "batches": batches,
        "rounds": rounds,
        "build_rounds": build_rounds,
        "configs": configs,
        "ray": version,
        "minutes": round((time.time() - minutes) / 60, 1),
        "source": os.environ.get("HOBRIN_BENCH_SOURCE", "?"),
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


def summarise(row, single, batches):
    """Adds the fastest start and add, queries/s at the largest batch, the
    fixed cost fit and the ratios to the in-process index."""
    row["start_s"] = min(row["start_runs"])
    row["add_s"] = min(row["add_runs"])
    row["build_s"] = row["start_s"] + row["add_s"]
    sizes = list(batches)
    secs = [row["batch_s"][str(b)] for b in sizes]
    row["qps"] = sizes[-1] / secs[-1]
    row["one_query_s"] = row["batch_s"][str(sizes[0])] if sizes[0] == 1 else None
    row["fixed_s"], row["per_query_s"] = fixed_cost(sizes, secs) if len(sizes) > 1 else (None, None)
    single_build = min(single["start_runs"]) + min(single["add_runs"])
    row["build_ratio"] = row["build_s"] / single_build
    row["qps_ratio"] = row["qps"] / (sizes[-1] / single["batch_s"][str(sizes[-1])])
    row["nbytes_ratio"] = sum(row["nbytes"]) / sum(single["nbytes"])


def _log_row(row, log):
    b = row["batch_s"]
    log(
        f"  {row['config']}: start {min(row['start_runs']):.2f} s, add {min(row['add_runs']):.2f} s, "
        + ", ".join(f"batch {k}: {v * 1e3:.2f} ms" for k, v in b.items())
        + f", recall@10 {row['recall']:.4f}, nbytes {row['nbytes']}"
        + (f"; FAULTS: {row['faults']}" if row["faults"] else "")
    )


# ---- report


def _mb(x):
    return f"{x / 1e6:.1f}"


def markdown(res):
    largest = res["batches"][-1]
    out = [
        "",
        "## Sharded index on Ray (k = 10)",
        "",
        f"{res['dataset']}, the first {res['nq']:,} queries, measured {res['started']} in "
        f"{res['minutes']:.1f} min (hobrin {res['source']}, Ray {res['ray']}, load average at end "
        f"{res['load average']}). One local Ray cluster of {res['cpus']} CPUs. The in-process "
        f"`hobrin_ann.Index` adds and searches on {res['cpus']} threads; `hobrin_ann.ray.ShardedIndex` "
        "gives each shard an even part of the CPUs (its actor searches on max(1, round(CPUs)) "
        f"threads). All use m = {res['m']}, ef_construction = {res['ef_construction']}, seed "
        f"{res['seed']}, float32, and search with ef = {res['ef']}. Start: the constructor (the "
        "actors started); add: the whole base in one call; each the fastest of "
        f"{res['build_rounds']} builds, the build ratio (start + add) over the in-process "
        f"index's. Batches of {', '.join(map(str, res['batches']))} queries, each the fastest of "
        f"{res['rounds']} rounds (a call shorter than 0.2 s repeated to fill it; the in-process "
        "index timed again after each sharded configuration); queries/s at the "
        f"{largest}-query batch and its ratio to the in-process index's. Fixed ms and µs/query: "
        "the line time = fixed + per query x batch size fitted to the batch times (least "
        "squares on relative errors). Recall@10 against the exact float64 ground truth. Bytes: "
        "each shard's `nbytes`.",
        "",
        f"| configuration | start s | add s | build ratio | q/s at {largest} | ratio | recall@10 | "
        "1-query ms | fixed ms | µs/query | MB per shard | MB, total / in-process |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|",
    ]
    for r in res["configs"]:
        one = "" if r["one_query_s"] is None else f"{r['one_query_s'] * 1e3:.3f}"
        # A fit within rounding of zero shows as 0.000, not -0.000.
        fixed = "" if r["fixed_s"] is None else f"{round(r['fixed_s'] * 1e3, 3) + 0.0:.3f}"
        per = "" if r["per_query_s"] is None else f"{r['per_query_s'] * 1e6:.1f}"
        out.append(
            f"| {r['config']} | {r['start_s']:.2f} | {r['add_s']:.2f} | {r['build_ratio']:.2f} | "
            f"{r['qps']:,.0f} | {r['qps_ratio']:.2f} | {r['recall']:.4f} | {one} | {fixed} | {per} | "
            f"{', '.join(_mb(x) for x in r['nbytes'])} | {r['nbytes_ratio']:.2f} |"
        )
    out += [
        "",
        "Every shard searches the whole batch over its part of the base and the driver merges "
        "the shards' k best, so the work per query grows with the shard count (a graph search "
        "costs about the logarithm of the vectors searched, not their number) while the CPUs "
        "stay the same: on one machine, more shards buy capacity and recall at a fixed ef, not "
        "speed. The fixed cost of a call is a Ray task to every actor and back, the batch put "
        "in Ray's object store once, and the merge; it grows with the number of actors "
        "called. Batch times in ms:",
        "",
        "| configuration | "
        + " | ".join(f"{b} quer{'y' if b == 1 else 'ies'}" for b in res["batches"])
        + " |",
        "|---|" + "---:|" * len(res["batches"]),
    ]
    for r in res["configs"]:
        out.append(
            f"| {r['config']} | "
            + " | ".join(f"{r['batch_s'][str(b)] * 1e3:.3f}" for b in res["batches"])
            + " |"
        )
    faults = [f"{r['config']}: {f}" for r in res["configs"] for f in r["faults"]]
    if faults:
        out += ["", "Faults:", ""] + [f"- {f}" for f in faults]
    return out
