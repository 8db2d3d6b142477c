"""Runs the benchmark and writes bench/results/latest.{md,json} and recall_qps.png.

Start it through bench/run.sh, which prepares the environment (peers, one
thread, the BLAS kernel of this CPU). --quick is a smoke test on small subsets.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import ann
import churn
import codes
import data
import exact
import filtered
import graph
import peers
import quantized
import replicas
import report
import scan
import serving
import sharded
import threadpoolctl

HERE = Path(__file__).resolve().parent
SCALAR_DIR = HERE / ".scalar"

ANN_EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072]
FULL = {
    "ann": [("fashion-mnist", None), ("gaussian-50k-64", None)],
    "ann_nq": 1000,
    "ann_efs": ANN_EFS,
    "build_scaling_n": 15000,
    "growth": {"dim": 96, "sizes": [25000, 50000, 100000, 200000]},
    "exact": [("gaussian-100k-128", None), ("fashion-mnist", None)],
    "exact_nq": 200,
    "exact_budget_s": 8.0,
    "graph": [("fashion-mnist", None), ("gaussian-50k-64", None)],
    "graph_nq": 1000,
    "settings": [(5, 200), (5, 64), (3, 32)],  # PyHNSW (layers, ef_construction)
    "pyhnsw_efs": [10, 16, 24, 40, 64, 100, 160],
    "peer_efs": [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048],
    "pyhnsw_budget_s": 180.0,  # PyHNSW build seconds per data set
    "scalar_n": 10000,
    "scalar_nq": 200,
    "scalar_build_s": 10.0,
    "filtered_n": None,
    "filtered_nq": 1000,
    "filtered_efs": [10, 16, 32, 64, 128, 256],
    "sharded": ("clustered-100k-64", None),
    "sharded_nq": 1000,
    "sharded_batches": [1, 10, 100, 1000],
    "sharded_ef": 32,
    "sharded_rounds": 5,
    "sharded_build_rounds": 3,
    "replicas": {"n": 20000, "dim": 64, "batches": [1, 10, 100, 1000], "rounds": 5},
    "scan": [("fashion-mnist", None), ("gaussian-50k-64", None)],
    "scan_nq": 1000,
    "serving": serving.FULL,
    "quantized": quantized.FULL,
    "codes": codes.FULL,
    "churn": churn.FULL,
    "peers": peers.FULL,
}
QUICK = {
    "ann": [("fashion-mnist", 4000), ("gaussian-50k-64", 4000)],
    "ann_nq": 200,
    "ann_efs": [10, 24, 64, 192, 512],
    "build_scaling_n": 1000,
    "growth": {"dim": 96, "sizes": [2000, 4000, 8000]},
    "exact": [("gaussian-100k-128", 20000), ("fashion-mnist", 10000)],
    "exact_nq": 30,
    "exact_budget_s": 0.5,
    "graph": [("fashion-mnist", 3000), ("gaussian-50k-64", 3000)],
    "graph_nq": 100,
    "settings": [(5, 200), (3, 32)],
    "pyhnsw_efs": [10, 20],
    "peer_efs": [10, 32, 128, 512],
    "pyhnsw_budget_s": 20.0,
    "scalar_n": 1000,
    "scalar_nq": 50,
    "scalar_build_s": 2.0,
    "filtered_n": 10000,
    "filtered_nq": 200,
    "filtered_efs": [10, 32, 128],
    "sharded": ("clustered-100k-64", 5000),
    "sharded_nq": 100,
    "sharded_batches": [1, 10, 100],
    "sharded_ef": 32,
    "sharded_rounds": 2,
    "sharded_build_rounds": 1,
    "replicas": {"n": 4000, "dim": 64, "batches": [1, 10, 100], "rounds": 2},
    "scan": [("fashion-mnist", 6000), ("gaussian-50k-64", 5000)],
    "scan_nq": 200,
    "serving": serving.QUICK,
    "quantized": quantized.QUICK,
    "codes": codes.QUICK,
    "churn": churn.QUICK,
    "peers": peers.QUICK,
}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def load(name, n, cache={}):  # noqa: B006 (the cache lives as long as the process)
    if name not in cache:
        cache[name] = data.load(name)
    ds = cache[name]
    return ds.prefix(n) if n else ds


def run_ann(cfg):
    out = []
    for name, n in cfg["ann"]:
        ds = load(name, n)
        log(f"hobrin_ann and peers: {ds.label}")
        out.append(ann.run_dataset(ds, name, n, cfg["ann_efs"], cfg["ann_nq"], log, cfg["build_scaling_n"]))
    g = cfg["growth"]
    big = data.clustered(max(g["sizes"]), g["dim"])
    sets = [data.Dataset(f"clustered-{n // 1000}k-{g['dim']}", big.base[:n], big.queries) for n in g["sizes"]]
    log(f"growth with n: clustered, {', '.join(s.label for s in sets)}")
    growth = ann.run_growth(sets, cfg["ann_efs"], cfg["ann_nq"], log)
    return out, growth


def run_filtered(cfg):
    ds = load("fashion-mnist", cfg["filtered_n"])
    log(f"filtered search: {ds.label}")
    return filtered.run(ds, data.fashion_mnist_labels(), cfg["filtered_nq"], cfg["filtered_efs"], log)


def run_sharded(cfg):
    name, n = cfg["sharded"]
    ds = load(name, n)
    log(f"hobrin_ann.ray.ShardedIndex against one in-process hobrin_ann.Index: {ds.label}")
    return sharded.run(
        ds,
        cfg["sharded_nq"],
        cfg["sharded_batches"],
        cfg["sharded_ef"],
        cfg["sharded_rounds"],
        cfg["sharded_build_rounds"],
        log,
    )


def run_scan(cfg):
    return scan.run([load(name, n) for name, n in cfg["scan"]], cfg["scan_nq"], log)


def run_exact(hobrin, cfg):
    out = []
    for name, n in cfg["exact"]:
        ds = load(name, n)
        log(f"exact search: {ds.label}")
        res = exact.run(hobrin, ds, cfg["exact_nq"], cfg["exact_budget_s"])
        for r in res["rows"]:
            log(f"  {r['name']}: {r['qps']:.1f} q/s over {r['n']} queries")
        out.append(res)
    return out


def run_graph(hobrin, cfg):
    out = []
    for name, n in cfg["graph"]:
        ds = load(name, n)
        log(f"graph search: {ds.label}")
        used, points, notes = graph.pyhnsw_sweep(
            hobrin, ds, cfg["settings"], cfg["pyhnsw_efs"], cfg["graph_nq"], cfg["pyhnsw_budget_s"], log
        )
        for peer in (graph.hnswlib_points, graph.faiss_points):
            pts = peer(used, cfg["peer_efs"], cfg["graph_nq"])
            log(
                f"  {pts[0]['method']}: build {pts[0]['build_s']:.1f} s, "
                + ", ".join(f"ef {p['ef']}: {p['qps']:.0f} q/s @ {p['recall']:.4f}" for p in pts)
            )
            points += pts
        out.append(
            {"dataset": used.label, "name": name, "n": len(used.base), "points": points, "notes": notes}
        )
    return out


def worker(args, hobrin_path=None, timeout=1800):
    cmd = [sys.executable, str(HERE / "worker.py"), *map(str, args)]
    if hobrin_path:
        cmd += ["--hobrin-path", str(hobrin_path)]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    if p.returncode != 0:
        return {"error": p.stderr.strip().splitlines()[-1] if p.stderr.strip() else f"exit {p.returncode}"}
    return json.loads(p.stdout)


def compare(args, label, reps=2):
    """Runs the worker alternately on the normal and the scalar build, `reps`
    times each, and keeps each side's best figures (load from elsewhere on the
    machine only makes a run slower)."""
    entry = {"dataset": label}
    for _ in range(reps):
        for side, path in (("main", None), ("scalar", SCALAR_DIR)):
            r = worker(args, path)
            if "error" in r:
                entry.setdefault("errors", []).append(f"{side}: {r['error']}")
                continue
            best = entry.setdefault(side, dict(r, runs=[]))
            best["runs"].append({k: r[k] for k in ("qps", "build_s") if k in r})
            best["qps"] = max(best["qps"], r["qps"])
            if "build_s" in r:
                best["build_s"] = min(best["build_s"], r["build_s"])
    return entry


def _brief(entry, *keys):
    return "; ".join(
        f"{side} " + ", ".join(f"{k} {entry[side][k]:.2f}" for k in keys)
        for side in ("main", "scalar")
        if side in entry
    ) or entry.get("errors")


def run_scalar(cfg, graphs):
    """The normal build and the scalar-kernel build, each in a fresh process."""
    if not (SCALAR_DIR.is_dir() and any(SCALAR_DIR.glob("hobrin*.so"))):
        return {
            "note": "No scalar-kernel build (bench/.scalar, made by run.sh when CMake offers "
            "HOBRIN_FORCE_SCALAR): not measured."
        }
    res = {
        "note": "Same checkout built with HOBRIN_FORCE_SCALAR=ON (no SIMD kernels), each side "
        "measured in a process of its own, same data and parameters, the two "
        "alternating twice; each side's best build time and best queries/s.",
        "flat": [],
        "hnsw": [],
    }
    for name, n in cfg["exact"]:
        args = [
            "--task",
            "flat",
            "--dataset",
            name,
            "--nq",
            cfg["exact_nq"],
            "--budget",
            cfg["exact_budget_s"],
        ] + (["--n", n] if n else [])
        entry = compare(args, load(name, n).label)
        log(f"scalar path, PyFlat {entry['dataset']}: {_brief(entry, 'qps')}")
        res["flat"].append(entry)
    for gr in graphs:
        # Keep the normal build near scalar_build_s, from the default-setting
        # build time measured in the sweep (build time grows at most ~n^2).
        layers, efc = cfg["settings"][0]
        n = min(cfg["scalar_n"], gr["n"])
        default = [p for p in gr["points"] if p["setting"] == f"layers={layers}, ef_construction={efc}"]
        if default:
            t = min(p["build_s"] for p in default)
            n = min(n, int(gr["n"] * (cfg["scalar_build_s"] / t) ** 0.5))
        n = max(1000, n // 1000 * 1000)
        args = [
            "--task",
            "hnsw",
            "--dataset",
            gr["name"],
            "--n",
            n,
            "--nq",
            cfg["scalar_nq"],
            "--layers",
            layers,
            "--efc",
            efc,
            "--ef",
            50,
        ]
        entry = compare(args, load(gr["name"], n).label)
        log(f"scalar path, PyHNSW {entry['dataset']}: {_brief(entry, 'build_s', 'qps')}")
        res["hnsw"].append(entry)
    return res


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="small subsets, a smoke test")
    sections = [
        "ann",
        "exact",
        "scan",
        "graph",
        "scalar",
        "filtered",
        "sharded",
        "replicas",
        "serving",
        "quantized",
        "codes",
        "churn",
        "peers",
    ]
    ap.add_argument("--skip", nargs="*", default=[], choices=sections)
    ap.add_argument(
        "--only",
        nargs="+",
        choices=sections,
        help="measure only these sections and replace them in the latest.json of "
        "--out, keeping the other sections' results",
    )
    ap.add_argument(
        "--report-only",
        action="store_true",
        help="rewrite the table and plot from the latest.json in --out, measure nothing",
    )
    ap.add_argument("--out", type=Path, help="default: bench/results, bench/results/quick for --quick")
    args = ap.parse_args()
    args.out = args.out or HERE / ("results/quick" if args.quick else "results")
    if args.report_only:
        report.write(json.loads((args.out / "latest.json").read_text()), args.out)
        return
    cfg = QUICK if args.quick else FULL
    if args.only:
        args.skip = [s for s in sections if s not in args.only]
    threadpoolctl.threadpool_limits(1)
    import hobrin

    start = time.time()
    results = {
        "command": "bash bench/run.sh" + (" --quick" if args.quick else ""),
        "mode": "quick" if args.quick else "full",
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "machine": report.machine_info(),
        "config": {
            **{k: v for k, v in cfg.items()},
            "stop_recall": graph.STOP_RECALL,
            "ann_stop_recall": ann.STOP_RECALL,
        },
        "notes": [
            f"hobrin loaded from {hobrin.__file__}",
            "PyHNSW returns (distance, vector): results are mapped back to base ids "
            "through the stored vectors, and every returned distance is checked against "
            "the vector's distance to the query.",
        ],
    }
    sections = results["section_minutes"] = {}

    def timed(name, fn):
        t = time.time()
        out = fn()
        sections[name] = round((time.time() - t) / 60, 1)
        return out

    if "ann" not in args.skip:
        import hobrin_ann

        results["notes"].insert(1, f"hobrin_ann loaded from {hobrin_ann.__file__}")
        results["ann"], results["growth"] = timed("ann", lambda: run_ann(cfg))
    if "exact" not in args.skip:
        results["exact"] = timed("exact", lambda: run_exact(hobrin, cfg))
    if "scan" not in args.skip:
        results["scan"] = timed("scan", lambda: run_scan(cfg))
    if "graph" not in args.skip:
        results["graph"] = timed("graph", lambda: run_graph(hobrin, cfg))
    if "scalar" not in args.skip:
        results["scalar"] = timed("scalar", lambda: run_scalar(cfg, results.get("graph", [])))
        for e in results["scalar"].get("flat", []) + results["scalar"].get("hnsw", []):
            results["notes"] += [f"scalar-path comparison, {e['dataset']}: {x}" for x in e.get("errors", [])]
    if "filtered" not in args.skip:
        results["filtered"] = timed("filtered", lambda: run_filtered(cfg))
        results["filtered"]["minutes"] = sections["filtered"]
    if "sharded" not in args.skip:
        results["sharded"] = timed("sharded", lambda: run_sharded(cfg))
    if "replicas" not in args.skip:
        log("hobrin_ann.ray.ShardedIndex with 1 and 2 replicas on a three-node Ray cluster")
        results["replicas"] = timed("replicas", lambda: replicas.run(**cfg["replicas"], log=log))
    if "serving" not in args.skip:
        results["serving"] = timed("serving", lambda: serving.run(cfg["serving"]))
    if "quantized" not in args.skip:
        log("hobrin_ann with quantized storage against float and compressed peers")
        results["quantized"] = timed("quantized", lambda: quantized.run(cfg["quantized"], log))
    if "codes" not in args.skip:
        log("hobrin_ann's codes on data they were not tuned on, against hnswlib")
        results["codes"] = timed("codes", lambda: codes.run(cfg["codes"]))
    if "churn" not in args.skip:
        log("hobrin_ann under churn (remove, add, upsert) against fresh builds, hnswlib and usearch")
        results["churn"] = timed("churn", lambda: churn.run(cfg["churn"], log))
    if "peers" not in args.skip:
        log("hobrin_ann against glass, SymphonyQG, hnswlib, faiss and usearch")
        results["peers"] = timed("peers", lambda: peers.run(cfg["peers"]))
    results["runtime_s"] = measured = time.time() - start
    results["machine"]["load average at end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    if args.only and (args.out / "latest.json").exists():
        # Keep the earlier run's other sections; its header describes that run,
        # and each section measured now carries its own date and source.
        old = json.loads((args.out / "latest.json").read_text())
        for name in args.only:
            old[name] = results[name]
            if name == "ann":
                old["growth"] = results["growth"]
        results = old
    report.write(results, args.out)
    log(f"wrote {args.out}/latest.md, latest.json, recall_qps.png after {measured / 60:.1f} min of measuring")


if __name__ == "__main__":
    main()
