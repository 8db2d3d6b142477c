"""hobrin_ann.Index walking compressed codes, against float and compressed peers.

Every method builds a graph with M = 16, ef_construction = 200 on one thread
over the same float32 base set and gets each query batch in one call on one
thread. Measured per data set: build time on one thread (in this process),
memory per vector (a build on two threads in a fresh process, as bench/ann.py
does), and recall@10 against queries/s over an ef sweep (ann.sweep), read at
fixed recalls (curves.qps_at).

A build is one index; a series is one way of searching it (a re-rank factor
of hobrin_ann, a k_factor of faiss's refine step), swept over ef. Peers:
hnswlib, faiss IndexHNSWFlat, faiss IndexHNSWSQ (8-bit) inside
IndexRefineFlat, usearch with int8 storage.

Runs inside bench/run.py (section "quantized") or alone, on any environment
with the peers and hobrin_ann installed (bench/.venv, made by bench/run.sh):

    bench/.venv/bin/python bench/quantized.py [--quick] [--out DIR]
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

import ann
import data
import faiss
import numpy as np
import report
from curves import panel_lines, qps_at, qps_text, series_of, sweep_lines, verdict
from usearch.index import Index as UsearchIndex

import hobrin_ann

HERE = Path(__file__).resolve().parent
K, M, EFC, SEED = ann.K, ann.M, ann.EFC, ann.SEED

# hobrin_ann builds: (name, keyword arguments of Index, re-rank factors swept
# on top of the default). Re-ranking needs the full vectors and codes to
# differ from them, so only quantized builds that keep the vectors get them.
HOBRIN = [
    ("hobrin_ann", {}),
    ("hobrin_ann float16", {"quantization": "float16"}),
    ("hobrin_ann int8", {"quantization": "int8"}),
    ("hobrin_ann int4", {"quantization": "int4"}),
    ("hobrin_ann int8 codes only", {"quantization": "int8", "keep_vectors": False}),
]
HNSWLIB, FAISS, FAISS_SQ, USEARCH = ann.HNSWLIB, ann.FAISS, "faiss HNSWSQ8+refine", "usearch i8"
PEERS = [HNSWLIB, FAISS, FAISS_SQ, USEARCH]
CODES_ONLY = "hobrin_ann int8 codes only"

FULL = {
    "datasets": [("fashion-mnist", None), ("gaussian-50k-64", None)],
    "nq": 1000,
    "efs": [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024],
    "reranks": [1, 3],
    "k_factors": [2, 4],
    "rounds": 3,
    "memory": ["fashion-mnist", "gaussian-50k-64"],  # data sets whose builds are repeated fresh
}
QUICK = {
    "datasets": [("fashion-mnist", 3000), ("gaussian-50k-64", 3000)],
    "nq": 200,
    "efs": [10, 32, 128, 512],
    "reranks": [2],
    "k_factors": [2],
    "rounds": 1,
    "memory": ["gaussian-50k-64"],
}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---- builds: fn(base, threads) -> index


def _hobrin_build(kwargs):
    def build(base, threads):
        index = hobrin_ann.Index(
            base.shape[1], "euclidean", dtype="float32", m=M, ef_construction=EFC, seed=SEED, **kwargs
        )
        index.add(base, threads=threads)
        return index

    return build


class _FaissRefine:
    """IndexHNSWSQ inside IndexRefineFlat: the walk reads 8-bit codes, the
    refine step re-scores k_factor x k candidates on the float vectors."""

    def __init__(self, base, threads):
        self.hnsw = faiss.IndexHNSWSQ(base.shape[1], faiss.ScalarQuantizer.QT_8bit, M)
        self.hnsw.hnsw.efConstruction = EFC
        self.index = faiss.IndexRefineFlat(self.hnsw)
        ann._faiss_threads(threads)
        try:
            self.index.train(base)
            self.index.add(base)
        finally:
            ann._faiss_threads(1)

    def search(self, queries, ef, threads, k_factor):
        self.hnsw.hnsw.efSearch = ef
        self.index.k_factor = k_factor
        ann._faiss_threads(threads)
        try:
            return self.index.search(queries, K)[1]
        finally:
            ann._faiss_threads(1)


class _Usearch:
    """usearch with int8 storage. Given floats it scales each vector to unit
    length before rounding (a cosine encoding), which loses the Euclidean
    neighbours, so base and queries are passed as int8 already: every
    component times one factor (127 over the largest magnitude in the base),
    rounded. One factor for all keeps the neighbours up to the rounding."""

    def __init__(self, base, threads):
        self.scale = 127.0 / max(float(np.abs(base).max()), 1e-30)
        self.index = UsearchIndex(
            ndim=base.shape[1], metric="l2sq", dtype="i8", connectivity=M, expansion_add=EFC
        )
        self.index.add(np.arange(len(base)), self.encode(base), threads=threads)
        self._queries = self._codes = None

    def encode(self, x):
        return np.clip(np.rint(x * self.scale), -127, 127).astype(np.int8)

    def search(self, queries, ef, threads):
        if queries is not self._queries:  # encoded once per batch, not per timed call
            self._queries, self._codes = queries, self.encode(queries)
        self.index.expansion_search = ef
        keys = self.index.search(self._codes, K, threads=threads).keys
        return np.asarray(keys).astype(np.int64)  # a missing result's key becomes negative


def _hobrin_search(rerank=None):
    extra = {} if rerank is None else {"rerank": rerank}

    def search(index, queries, ef, threads):
        return index.search(queries, k=K, ef=ef, threads=threads, **extra)[0]

    return search


def _refine_search(k_factor):
    return lambda index, queries, ef, threads: index.search(queries, ef, threads, k_factor)


# {build name: (build, default search)}: what ann.build, ann.unreachable and
# the fresh-process build of bench/worker.py look methods up in.
METHODS = {
    HNSWLIB: ann.METHODS[HNSWLIB],
    FAISS: ann.METHODS[FAISS],
    FAISS_SQ: (_FaissRefine, _refine_search(2)),
    USEARCH: (_Usearch, lambda index, queries, ef, threads: index.search(queries, ef, threads)),
    **{name: (_hobrin_build(kw), _hobrin_search()) for name, kw in HOBRIN},
}


def series(cfg):
    """[(series name, build name, search)] for the sweep."""
    out = [(name, name, METHODS[name][1]) for name in (HNSWLIB, FAISS, USEARCH)]
    out += [(f"{FAISS_SQ} k_factor {f}", FAISS_SQ, _refine_search(f)) for f in cfg["k_factors"]]
    for name, kw in HOBRIN:
        out.append((name, name, _hobrin_search()))
        if kw.get("quantization") and kw.get("keep_vectors", True):
            out += [(f"{name}, rerank {r}", name, _hobrin_search(r)) for r in cfg["reranks"]]
    return out


# ---- one data set


def unsupported(kwargs):
    """Why this hobrin_ann cannot make an index with these options, or None."""
    try:
        hobrin_ann.Index(8, "euclidean", **kwargs)
    except (TypeError, ValueError) as e:
        return str(e)
    return None


def _build_all(base32, log):
    """Every build on one thread in this process: {build name: index}, figures,
    notes on hobrin_ann builds this version cannot make."""
    indexes, builds, skipped = {}, [], []
    for name in METHODS:
        why = unsupported(dict(HOBRIN)[name]) if name in dict(HOBRIN) else None
        if why:
            skipped.append(f"{name}: not built: {why}")
            log(f"  {name}: not built: {why}")
            continue
        index, fig = ann.build(name, base32, 1, METHODS)
        for key in ("rss_per_vector", "heap_per_vector"):  # not a fresh process
            fig.pop(key)
        indexes[name] = index
        builds.append(fig)
        log(f"  {name}: build on 1 thread {fig['build_s']:.1f} s")
    return indexes, builds, skipped


def _memory(name, n, built, log):
    figs = []
    for method in built:
        fig = ann.build_in_subprocess(method, name, n, 2)
        figs.append(fig)
        if "error" in fig:
            log(f"  {method}: fresh build on 2 threads failed: {fig['error']}")
        else:
            log(f"  {method}: {fig['rss_per_vector']:,.0f} resident bytes/vector")
    return figs


def run_dataset(ds, name, n, cfg, log):
    base32 = np.ascontiguousarray(ds.base, np.float32)
    queries32 = np.ascontiguousarray(ds.queries[: cfg["nq"]], np.float32)
    ds.truth(cfg["nq"])
    indexes, builds, skipped = _build_all(base32, log)
    memory = _memory(name, n, indexes, log) if name in cfg["memory"] else []
    chosen = [s for s in series(cfg) if s[1] in indexes]
    methods = {s: (METHODS[b][0], search) for s, b, search in chosen}
    points, sweep_faults = ann.sweep(
        {s: indexes[b] for s, b, _ in chosen}, ds, queries32, cfg["efs"], cfg["nq"], cfg["rounds"], 1, methods
    )
    for s, b, _ in chosen:
        mine = [p for p in points if p["method"] == s]
        for p in mine:
            p["build"] = b
        log(f"  {s}: " + ", ".join(f"ef {p['ef']} {p['recall']:.4f} @ {p['qps']:,.0f}" for p in mine))
    return {
        "dataset": ds.label,
        "name": name,
        "n": len(base32),
        "dim": base32.shape[1],
        "builds": builds,
        "memory": memory,
        "points": points,
        "skipped": skipped,
        "faults": [f"{b['method']}: {b['fault']}" for b in builds if "fault" in b]
        + sweep_faults
        + [f"{m['method']}: {m['error']}" for m in memory if "error" in m],
    }


def run(cfg, log=log):
    started = time.time()
    res = {
        "config": cfg,
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load average at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "source": os.environ.get("HOBRIN_BENCH_SOURCE", "unknown"),
        "cores": os.cpu_count(),
        "datasets": [],
    }
    for name, n in cfg["datasets"]:
        ds = data.load(name)
        ds = ds.prefix(n) if n else ds
        log(f"quantized storage: {ds.label}")
        res["datasets"].append(run_dataset(ds, name, n, cfg, log))
    res["minutes"] = (time.time() - started) / 60
    res["load average at end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return res


# ---- reading the results


def best_at(points, recall, builds):
    """(q/s, how, series) of the fastest series of these builds at `recall`;
    q/s is None when none reaches it."""
    best = (None, "not reached", None)
    for b in builds:
        for s in series_of(points, b):
            q, how = qps_at([p for p in points if p["method"] == s], recall)
            if q is not None and (best[0] is None or q > best[0]):
                best = (q, how, s)
    return best


def ratio_to(points, recall, ours, peer, least=None):
    """(ratio or None, text, met) of `ours` ((q/s, how, series) as best_at
    gives) to the fastest series of the peer build at `recall`. met, for a
    target of `least`: True, False, or None where a speed that is only a
    bound leaves it open (as report.qps_ratio decides); a peer that never
    reaches the recall loses to any series that does."""
    q, how, _ = ours
    p, phow, _ = best_at(points, recall, [peer])
    if q is None:
        return None, "-", False
    if p is None:
        return None, "peer not reached", True
    r = q / p
    bound = "" if how == phow == "interpolated" else " (bound)"
    met = None
    if least is not None:
        met = verdict(r, lambda x: x >= least, how != "interpolated", phow != "interpolated")
    return r, f"{r:.2f}x{bound}", met


def _fig(entry, build, key, fresh):
    figs = entry["memory"] if fresh else entry["builds"]
    return next((f.get(key) for f in figs if f.get("method") == build and "error" not in f), None)


def _hobrin_builds(entry):
    return [b["method"] for b in entry["builds"] if b["method"].startswith("hobrin_ann")]


# (data set name, recall, peer, least ratio of the best hobrin_ann series)
QPS_TARGETS = [
    ("fashion-mnist", 0.99, HNSWLIB, 3.0),
    ("fashion-mnist", 0.99, FAISS, 2.0),
    ("gaussian-50k-64", 0.99, HNSWLIB, 1.5),
    (None, 0.99, FAISS_SQ, 1.5),
    (None, 0.99, USEARCH, 1.5),
]


def targets(res):
    """(target, measured, met) rows for the report's table of targets."""
    rows = []
    for e in res["datasets"]:
        pts, label = e["points"], e["dataset"]
        for ds, recall, peer, least in QPS_TARGETS:
            if ds not in (None, e["name"]):
                continue
            ours = best_at(pts, recall, _hobrin_builds(e))
            _, text, met = ratio_to(pts, recall, ours, peer, least)
            rows.append(
                (
                    f"{label}: best hobrin_ann setting vs {peer} at recall@10 {recall}, one thread",
                    f"{text} ({ours[2] or 'none reaches it'}) (>= {least:g}x)",
                    met,
                )
            )
        h = _fig(e, HNSWLIB, "build_s", False)
        coded = [(b, _fig(e, b, "build_s", False)) for b in _hobrin_builds(e) if b != "hobrin_ann"]
        if h and coded:
            b, t = min(coded, key=lambda x: x[1])
            each = ", ".join(f"{x.removeprefix('hobrin_ann ')} {y / h:.2f}" for x, y in coded)
            rows.append(
                (
                    f"{label}: build with codes / hnswlib, one thread",
                    f"{t / h:.2f} ({b}, {t:.1f} s vs {h:.1f} s; each: {each}) (<= 0.7)",
                    t / h <= 0.7,
                )
            )
        c, hm = _fig(e, CODES_ONLY, "rss_per_vector", True), _fig(e, HNSWLIB, "rss_per_vector", True)
        best = max((p["recall"] for p in pts if p["build"] == CODES_ONLY), default=None)
        if c and hm and best is not None:
            rows.append(
                (
                    f"{label}: int8 codes only, recall@10 0.95 at resident bytes/vector over hnswlib's",
                    f"{c / hm:.2f} ({c:,.0f} vs {hm:,.0f}); best recall {best:.4f} (<= 0.35, >= 0.95)",
                    c / hm <= 0.35 and best >= 0.95,
                )
            )
    return rows


def _build_table(e):
    h1, hm = _fig(e, HNSWLIB, "build_s", False), _fig(e, HNSWLIB, "rss_per_vector", True)
    out = [
        "| build | build s, 1 thread | / hnswlib | build s, 2 threads | resident bytes/vector "
        "| / hnswlib | malloc bytes/vector | nbytes/vector | self-search misses |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for b in e["builds"]:
        m = b["method"]
        rss = _fig(e, m, "rss_per_vector", True)
        cells = [
            f"{b['build_s']:.1f}",
            f"{b['build_s'] / h1:.2f}" if h1 else "",
            report._fmt(_fig(e, m, "build_s", True), 1),
            report._fmt(rss),
            f"{rss / hm:.2f}" if rss and hm else "",
            report._fmt(_fig(e, m, "heap_per_vector", True)),
            report._fmt(b.get("nbytes_per_vector")),
            report._fmt(_fig(e, m, "unreachable", True)),
        ]
        out.append(f"| {m} | " + " | ".join(cells) + " |")
    return out


def _speed_table(e, recall):
    pts = e["points"]
    out = [
        f"| series at recall@10 {recall} | q/s | " + " | ".join(f"/ {p}" for p in PEERS) + " |",
        "|---|---:|" + "---:|" * len(PEERS),
    ]
    for s in series_of(pts):
        q, how = qps_at([p for p in pts if p["method"] == s], recall)
        ratios = [ratio_to(pts, recall, (q, how, s), peer)[1] for peer in PEERS]
        out.append(f"| {s} | {qps_text(q, how)} | " + " | ".join(ratios) + " |")
    return out


def markdown(res):
    cfg = res["config"]
    out = [
        "",
        "## Quantized storage: hobrin_ann walking codes, against float and compressed peers",
        "",
        f"Measured {res['started']} in {res['minutes']:.1f} min (hobrin {res['source']}; load average "
        f"at start {res['load average at start']}, at end {res['load average at end']}). "
        f"M = 16, ef_construction = 200 for all, float32 input; the first {cfg['nq']:,} queries as one "
        "batch per call, one thread. Builds on one thread in one process; memory from a build on two "
        "threads in a fresh process (growth of the resident set and of live malloc'd bytes, divided "
        "by the number of vectors). faiss HNSWSQ8+refine: IndexHNSWSQ with 8-bit scalar codes inside "
        "IndexRefineFlat, which re-scores k_factor x 10 candidates on the float vectors. usearch i8: "
        "int8 storage, metric l2sq, connectivity 16, expansion_add 200; base and queries passed as "
        "int8 codes, every component times one factor (127 over the largest magnitude in the base) "
        "and rounded (given floats, it scales each vector to unit length first, which loses the "
        "Euclidean neighbours). hobrin_ann `rerank r`: r x 10 "
        "candidates re-scored on the full vectors (without it, all ef candidates are). Each series is "
        f"swept over ef (efSearch, expansion_search) up to the first reaching recall "
        f"{ann.STOP_RECALL}; {cfg['rounds']} timed passes with the series taking turns at each ef, "
        "the fastest counts. q/s at a recall is interpolated on the series' recall/speed frontier "
        "(curves.qps_at); (>=) marks a fastest point above the recall, a lower bound. Ratios are to "
        "the peer build's fastest series at that recall. Resident bytes are the memory figure the "
        "targets use: usearch keeps its index in memory it maps itself, which malloc's count misses.",
    ]
    cores = report.overloaded_cores(res)
    if cores:
        out += [
            "",
            f"The load average passed the {cores} cores during this run: other work shared them, "
            "so speeds varied from pass to pass and the ratios are rough.",
        ]
    out += ["", "| target | measured | met |", "|---|---|---|"]
    out += [f"| {t} | {v} | {report._met(ok, 'hobrin_ann')} |" for t, v, ok in targets(res)]
    for e in res["datasets"]:
        out += ["", f"### {e['dataset']}", ""] + _build_table(e)
        for recall in (0.95, 0.99):
            out += [""] + _speed_table(e, recall)
        out += ["", "The sweep (ef: recall@10 at q/s):", ""] + sweep_lines(e["points"])
        out += [f"- {s}" for s in e.get("skipped", [])]
        out += [f"- FAULT: {f}" for f in e["faults"]]
    return out


def panels(res):
    """Plot panels for report.plot_panels: one per data set, every series."""
    return [(f"{e['dataset']}, batch, codes and floats", panel_lines(e["points"])) for e in res["datasets"]]


def write(res, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "quantized.md").write_text(
        "# hobrin_ann with quantized storage\n" + "\n".join(markdown(res)) + "\n"
    )
    report.plot_panels(panels(res), out_dir / "quantized_recall_qps.png")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small subsets and few efs, a smoke test")
    ap.add_argument("--out", type=Path, help="default: bench/results/quick for --quick, else bench/results")
    args = ap.parse_args()
    out = args.out or HERE / ("results/quick" if args.quick else "results")
    res = run(QUICK if args.quick else FULL)
    out.mkdir(parents=True, exist_ok=True)
    (out / "quantized.json").write_text(json.dumps(res, indent=1, default=float))
    write(res, out)
    log(f"wrote {out}/quantized.md and quantized_recall_qps.png")


if __name__ == "__main__":
    main()
