"""hobrin_ann's codes on data they were not tuned on, against hnswlib.

Data: Fashion-MNIST's pixels at unit length under cosine, a 384-d unit-length
embedding-like set under cosine, and a 48-d anisotropic clustered set under
Euclidean. Per data set:
- recall@10 against queries/s over an ef sweep on one thread (ann.sweep), for
  hnswlib and hobrin_ann with every value of Index.QUANTIZATIONS (with the
  full vectors and the default re-rank, and re-rank 3), and int8 and int4
  without the full vectors; the speed at recall 0.99 (int8 codes only: 0.98)
  over hnswlib's;
- bytes per vector: hobrin_ann's nbytes, hnswlib's resident-set growth over
  a build in a fresh process;
- whether the codes depend on the order of adds: recall at one ef after ten
  vectors first and the rest in a second batch, against the same order in one
  batch; and the rows sorted along a random direction (a drift) added in two
  halves, against the same sorted rows in one batch.

Builds use two threads (graph quality does not depend on it); searches one.
Runs inside bench/run.py (section "codes") or alone:

    bench/.venv/bin/python bench/codes.py [--quick] [--n N] [--out DIR]
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

import ann
import data
import hnswlib
import numpy as np
from curves import qps_at
from timing import recall_at_k

import hobrin_ann

K, M, EFC, SEED = ann.K, ann.M, ann.EFC, ann.SEED
HNSWLIB = "hnswlib"
FULL = {
    "datasets": [
        ("fashion-mnist-cosine", None, "cosine"),
        ("embedding-100k-384", None, "cosine"),
        ("clustered-100k-48", None, "euclidean"),
    ],
    "nq": 1000,
    "efs": [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024],
    "rounds": 3,
    "order_n": 20000,
    "order_ef": 64,
}
QUICK = {
    "datasets": [
        ("fashion-mnist-cosine", 3000, "cosine"),
        ("embedding-100k-384", 3000, "cosine"),
        ("clustered-100k-48", 3000, "euclidean"),
    ],
    "nq": 200,
    "efs": [10, 32, 128, 512],
    "rounds": 1,
    "order_n": 2000,
    "order_ef": 32,
}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def variants():
    """[(name, Index keyword arguments)]: every quantization with the full
    vectors, and the integer codes without them."""
    out = []
    for q in hobrin_ann.Index.QUANTIZATIONS:
        out.append(("hobrin_ann" + (f" {q}" if q else ""), {"quantization": q}))
    out += [
        (f"hobrin_ann {q} codes only", {"quantization": q, "keep_vectors": False}) for q in ("int8", "int4")
    ]
    return out


def _hobrin(base, metric, kwargs, batches=None):
    index = hobrin_ann.Index(base.shape[1], metric, m=M, ef_construction=EFC, seed=SEED, **kwargs)
    for part in batches or [base]:
        index.add(part, threads=2)
    return index


def _hnswlib(base, metric):
    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EFC, random_seed=SEED)
    index.add_items(base, np.arange(len(base)), num_threads=2)
    return index


def _search(rerank=None):
    extra = {} if rerank is None else {"rerank": rerank}
    return lambda index, queries, ef, threads: index.search(queries, k=K, ef=ef, threads=threads, **extra)[0]


def _sweep(ds, metric, cfg):
    base32 = np.ascontiguousarray(ds.base, np.float32)
    queries32 = np.ascontiguousarray(ds.queries[: cfg["nq"]], np.float32)
    ds.truth(cfg["nq"])
    indexes = {HNSWLIB: _hnswlib(base32, metric)}
    methods = {HNSWLIB: ann.METHODS[HNSWLIB]}
    nbytes = {}
    for name, kwargs in variants():
        started = time.perf_counter()
        indexes[name] = index = _hobrin(base32, metric, kwargs)
        nbytes[name] = index.nbytes / len(index)
        log(f"  {name}: built in {time.perf_counter() - started:.0f} s, {nbytes[name]:.0f} B/vector")
        methods[name] = (None, _search())
        if kwargs["quantization"] and kwargs.get("keep_vectors", True):
            indexes[f"{name}, rerank 3"] = index
            methods[f"{name}, rerank 3"] = (None, _search(3))
    points, faults = ann.sweep(indexes, ds, queries32, cfg["efs"], cfg["nq"], cfg["rounds"], 1, methods)
    # Again after searching: the quantized graph builds its blocks on its first search.
    for name, _ in variants():
        nbytes[name] = indexes[name].nbytes / len(indexes[name])
    return points, faults, nbytes


def _order(ds, metric, cfg):
    """Recall at one ef of each integer code kind for the orders of the module docstring."""
    n = min(cfg["order_n"], len(ds.base))
    base = np.ascontiguousarray(ds.base[:n], np.float32)
    queries = np.ascontiguousarray(ds.queries[: cfg["nq"]], np.float32)
    sub = ds.prefix(n)
    truth = sub.truth(cfg["nq"])[1]
    direction = np.random.default_rng(SEED).standard_normal(base.shape[1])
    drifted = base[np.argsort(base @ direction, kind="stable")]
    orders = {
        "at once": (base, None),
        "ten first": (base, [base[:10], base[10:]]),
        "sorted, at once": (drifted, None),
        "sorted, two halves": (drifted, [drifted[: n // 2], drifted[n // 2 :]]),
    }
    rows = []
    for name, kwargs in [(None, {"quantization": None})] + [v for v in variants() if v[1]["quantization"]]:
        name = name or "hobrin_ann"
        row = {"method": name}
        for order, (rows_in, batches) in orders.items():
            index = _hobrin(rows_in, metric, kwargs, batches)
            labels = index.search(queries, k=K, ef=cfg["order_ef"])[0]
            if rows_in is drifted:  # labels are positions in the sorted rows
                labels = np.argsort(base @ direction, kind="stable")[labels]
            row[order] = recall_at_k(sub.base, sub.queries[: cfg["nq"]], labels, truth, K)
        log(f"  order, {name}: " + ", ".join(f"{o} {row[o]:.3f}" for o in orders))
        rows.append(row)
    return {"n": n, "ef": cfg["order_ef"], "rows": rows}


def run_dataset(name, n, metric, cfg):
    ds = data.load(name)
    ds = ds.prefix(n) if n else ds
    log(f"codes: {ds.label}, {metric}")
    points, faults, nbytes = _sweep(ds, metric, cfg)
    memory = ann.build_in_subprocess(HNSWLIB, name, n, 2)
    return {
        "dataset": ds.label,
        "name": name,
        "metric": metric,
        "dim": ds.base.shape[1],
        "points": points,
        "nbytes_per_vector": nbytes,
        "hnswlib_rss_per_vector": memory.get("rss_per_vector"),
        "order": _order(ds, metric, cfg),
        "faults": faults + ([f"hnswlib memory: {memory['error']}"] if "error" in memory else []),
    }


def run(cfg):
    started = time.time()
    res = {
        "config": cfg,
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load average at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "source": os.environ.get("HOBRIN_BENCH_SOURCE", "unknown"),
        "datasets": [run_dataset(name, n, metric, cfg) for name, n, metric in cfg["datasets"]],
    }
    res["minutes"] = (time.time() - started) / 60
    res["load average at end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return res


# ---- reading the results


def _at(points, method, recall):
    return qps_at([p for p in points if p["method"] == method], recall)[0]


def targets(res):
    """[(target, measured, met)] over every data set."""
    rows = []
    for d in res["datasets"]:
        pts = d["points"]
        peer = _at(pts, HNSWLIB, 0.99)
        reached = {m: _at(pts, m, 0.99) for m in dict.fromkeys(p["method"] for p in pts) if m != HNSWLIB}
        for m in ("hobrin_ann int8 codes only",):
            reached[m] = _at(pts, m, 0.98)
        for m, qps in reached.items():
            if m.endswith("codes only") and m != "hobrin_ann int8 codes only":
                continue
            aim = 0.98 if m.endswith("codes only") else 0.99
            rows.append((f"{d['name']}: {m} reaches recall {aim}", "yes" if qps else "no", qps is not None))
        best = max(((q, m) for m, q in reached.items() if q and not m.endswith("codes only")), default=None)
        if best and peer:
            aim = 2.5 if d["dim"] >= 384 else 1.3
            rows.append(
                (
                    f"{d['name']}: best at 0.99 >= {aim}x hnswlib",
                    f"{best[0] / peer:.2f}x ({best[1]})",
                    best[0] >= aim * peer,
                )
            )
        floats = _at(pts, "hobrin_ann", 0.99)
        if d["metric"] == "cosine" and floats and peer:
            rows.append(
                (f"{d['name']}: float rows >= 1.15x hnswlib", f"{floats / peer:.2f}x", floats >= 1.15 * peer)
            )
        for r in d["order"]["rows"]:
            worst = max(
                abs(r["ten first"] - r["at once"]), abs(r["sorted, two halves"] - r["sorted, at once"])
            )
            rows.append((f"{d['name']}: {r['method']} order within 0.01", f"{worst:.3f}", worst <= 0.01))
    return rows


def markdown(res):
    out = [f"# Codes on other data ({res['started']}, source {res['source']})", ""]
    out += ["| target | measured | met |", "|---|---|---|"]
    out += [f"| {t} | {m} | {'yes' if ok else 'NO'} |" for t, m, ok in targets(res)]
    for d in res["datasets"]:
        pts = d["points"]
        out += [
            "",
            f"## {d['dataset']}, {d['metric']}",
            "",
            "| method | q/s at 0.98 | q/s at 0.99 | B/vector |",
        ]
        out += ["|---|---|---|---|"]
        for m in dict.fromkeys(p["method"] for p in pts):
            size = d["nbytes_per_vector"].get(m.split(",")[0])
            size = d["hnswlib_rss_per_vector"] if m == HNSWLIB else size
            q98, q99 = (_at(pts, m, r) for r in (0.98, 0.99))
            out.append(f"| {m} | {q98 or 0:,.0f} | {q99 or 0:,.0f} | {size or 0:,.0f} |")
        order = d["order"]
        out += ["", f"Order of adds ({order['n']:,} vectors, recall@10 at ef {order['ef']}):", ""]
        names = [k for k in order["rows"][0] if k != "method"]
        out += ["| method | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
        out += [
            f"| {r['method']} | " + " | ".join(f"{r[k]:.3f}" for k in names) + " |" for r in order["rows"]
        ]
        out += [f"- fault: {f}" for f in d["faults"]]
    return "\n".join(out) + "\n"


def write(res, out_dir):
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    (Path(out_dir) / "codes.md").write_text(markdown(res))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", nargs="*", help="data set names to run")
    ap.add_argument("--n", type=int, help="use the first n vectors of each data set")
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = ap.parse_args()
    cfg = dict(QUICK if args.quick else FULL)
    if args.only:
        cfg["datasets"] = [d for d in cfg["datasets"] if d[0] in args.only]
    if args.n:
        cfg["datasets"] = [(name, args.n, metric) for name, _, metric in cfg["datasets"]]
    res = run(cfg)
    write(res, args.out)
    (args.out / "codes.json").write_text(json.dumps(res, indent=1, default=str))
    sys.stdout.write(markdown(res))


if __name__ == "__main__":
    main()
