"""hobrin_ann.ray.ShardedIndex with 1 and 2 replicas per shard on a Ray
cluster of three nodes on this machine (ray.cluster_utils.Cluster: a head and
two workers, one declared CPU each).

Measured for 2 shards over random float32 vectors: the time of search
batches and of add batches of several sizes (fastest of a few rounds), from
which the fixed cost of one call and the cost per row (the same least-squares
fit as the sharded section); and, with 2 replicas, the time heal() takes to
make a new replica of one shard from a live one (the copy sent between the
actors, and the new actor's start)."""

import time

import numpy as np
from sharded import fixed_cost

SHARDS = 2
NODE = {"num_cpus": 1, "object_store_memory": 200 << 20}


def _fastest(call, sizes, rounds):
    best = {}
    for _ in range(rounds):
        for size in sizes:
            started = time.perf_counter()
            call(size)
            best[size] = min(best.get(size, np.inf), time.perf_counter() - started)
    return best


def run(n, dim, batches, rounds, log):
    import ray
    from ray.cluster_utils import Cluster

    from hobrin_ann.ray import ShardedIndex

    rng = np.random.default_rng(1)
    base = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((max(batches), dim), dtype=np.float32)
    extra = rng.standard_normal((max(batches), dim), dtype=np.float32)
    nodes = Cluster(initialize_head=True, head_node_args={**NODE, "include_dashboard": False})
    for _ in range(2):
        nodes.add_node(**NODE)
    nodes.wait_for_nodes()
    ray.init(address=nodes.address, log_to_driver=False)
    rows = []
    try:
        for replicas in (1, 2):
            index = ShardedIndex(dim, SHARDS, replicas=replicas, cpus_per_shard=0.25, seed=1)
            try:
                index.add(base)
                search = _fastest(lambda b: index.search(queries[:b], 10), batches, rounds)
                next_id = [n]

                def add(b):
                    index.add(extra[:b], ids=np.arange(next_id[0], next_id[0] + b))
                    next_id[0] += b

                adds = _fastest(add, batches, rounds)
                row = {"replicas": replicas, "search_s": search, "add_s": adds}
                row["search_fixed_s"], row["search_per_query_s"] = fixed_cost(
                    batches, [search[b] for b in batches]
                )
                row["add_fixed_s"], row["add_per_row_s"] = fixed_cost(batches, [adds[b] for b in batches])
                if replicas == 2:
                    row["heal_vectors"] = index._replicas.read("size", [()] * SHARDS)[0]
                    heals = []
                    for _ in range(rounds):
                        lost = index._replicas.groups[0][0]
                        index._replicas.drop(0, lost, "dropped by the benchmark")
                        started = time.perf_counter()
                        made = index.heal()
                        heals.append(time.perf_counter() - started)
                        assert made == 1, made
                    row["heal_s"] = min(heals)
                log(
                    f"  {replicas} replica(s): search fixed {row['search_fixed_s'] * 1e3:.2f} ms, "
                    f"add fixed {row['add_fixed_s'] * 1e3:.2f} ms"
                    + (f", heal {row['heal_s']:.2f} s" if "heal_s" in row else "")
                )
                rows.append(row)
            finally:
                index.close()
        version = ray.__version__
    finally:
        ray.shutdown()
        nodes.shutdown()
    return {"n": n, "dim": dim, "shards": SHARDS, "batches": batches, "rounds": rounds, "rows": rows,
            "ray": version, "started": time.strftime("%Y-%m-%d %H:%M %Z")}  # fmt: skip


def markdown(res):
    out = [
        "",
        "## Replicas on Ray (k = 10)",
        "",
        f"{res['n']:,} random {res['dim']}-dimensional float32 vectors in {res['shards']} shards, on a "
        "Ray cluster of three nodes on this machine (a head and two workers; Ray "
        f"{res['ray']}, measured {res['started']}). Batches of "
        f"{', '.join(map(str, res['batches']))} queries or rows, each the fastest of {res['rounds']} "
        "rounds; fixed ms: the line time = fixed + per item x batch size fitted to them. Heal: "
        "one replica of shard 0 dropped, then `heal()` timed (the fastest of the rounds).",
        "",
        "| replicas | search fixed ms | µs/query | add fixed ms | µs/row | heal s (vectors) |",
        "|---:|---:|---:|---:|---:|---|",
    ]
    for r in res["rows"]:
        heal = f"{r['heal_s']:.2f} ({r['heal_vectors']:,})" if "heal_s" in r else ""
        out.append(
            f"| {r['replicas']} | {r['search_fixed_s'] * 1e3:.2f} | {r['search_per_query_s'] * 1e6:.1f} | "
            f"{r['add_fixed_s'] * 1e3:.2f} | {r['add_per_row_s'] * 1e6:.1f} | {heal} |"
        )
    return out
