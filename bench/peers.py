"""hobrin_ann against the fastest open graph indexes: glass and SymphonyQG,
beside hnswlib, faiss and usearch.

Per data set (Fashion-MNIST under Euclidean, Fashion-MNIST at unit length
under cosine, a 384-d unit-length embedding-like set under cosine):
- every index is built once on two threads over the same float32 rows:
  hnswlib, faiss IndexHNSWFlat and usearch (M / connectivity 16,
  ef_construction 200), glass's HNSW graph (R 32, L 200) searched through
  several of its quantizers (one build, one searcher each), SymphonyQG at
  degree 32 and 64 (ef_construction 200), and hobrin_ann (m 16,
  ef_construction 200) with float rows, int8 codes, int4 codes and the
  quantized graph (quantization "qgraph", its blocks' build counted in its
  build time);
- each series (a way of searching one build) is swept over ef on one thread,
  batches of the first nq queries, the series taking turns at every ef
  (ann.sweep); q/s at recall@10 0.95 and 0.99 is read off the curve
  (curves.qps_at), and set against hnswlib's;
- bytes per vector: each library's saved form of the index (hnswlib, faiss,
  usearch, SymphonyQG), hobrin_ann's nbytes, and for glass the resident-set
  growth over loading its graph into a searcher (the searcher holds the
  graph, its codes and its refine copy; glass saves only the graph);
- build time on one and on two threads, each method built on the first
  scaling_n vectors, the two thread counts in turn;
- batch search on one and two threads at recall 0.99 for the fastest series
  of hobrin_ann, glass and SymphonyQG.

On the cosine sets the rows are already at unit length, where inner product
and Euclidean distance rank as cosine does. hnswlib, faiss, usearch and
hobrin_ann get their cosine or inner-product metric; glass and SymphonyQG get
Euclidean (SymphonyQG has no cosine, and both lost recall with their inner
product on unit-length Fashion-MNIST: SymphonyQG at degree 32 stayed under
0.95 up to ef 1,024, glass's 8-bit codes under 0.93).

Runs inside bench/run.py (section "peers") or alone:

    bench/.venv/bin/python bench/peers.py [--quick] [--n N] [--only NAME ...] [--out DIR]
"""

import argparse
import contextlib
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import ann
import data
import faiss
import glass
import hnswlib
import numpy as np
import rabitqlib
import report
from curves import panel_lines, qps_at, qps_text, series_of, sweep_lines
from usearch.index import Index as UsearchIndex

import hobrin_ann

HERE = Path(__file__).resolve().parent
K, M, EFC, SEED = ann.K, ann.M, ann.EFC, ann.SEED
GLASS_R, GLASS_L = 32, 200
HNSWLIB, FAISS, USEARCH, GLASS = "hnswlib", "faiss HNSWFlat", "usearch", "glass"

FULL = {
    "datasets": [
        ("fashion-mnist", None, "euclidean"),
        ("fashion-mnist-cosine", None, "cosine"),
        ("embedding-100k-384", 50000, "cosine"),
    ],
    "nq": 1000,
    "efs": [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024],
    "rounds": 2,
    "scaling_n": 10000,
    "symqg_degrees": [32, 64],
    # glass searchers: (walk quantizer, refine quantizer or "")
    "glass_searchers": [("FP32", ""), ("SQ8U", "FP32"), ("SQ4U", "FP32")],
}
QUICK = {
    "datasets": [
        ("fashion-mnist", 2000, "euclidean"),
        ("embedding-100k-384", 2000, "cosine"),
    ],
    "nq": 100,
    "efs": [10, 32, 128, 512],
    "rounds": 1,
    "scaling_n": 1000,
    "symqg_degrees": [32],
    "glass_searchers": [("FP32", ""), ("SQ8U", "FP32")],
}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


@contextlib.contextmanager
def _quiet():
    """Sends what native code prints on standard output to /dev/null (glass
    reports its progress there), keeping the report readable."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _file_bytes(save):
    """Size of what save(path) writes."""
    with tempfile.TemporaryDirectory(dir=HERE / ".cache" if (HERE / ".cache").is_dir() else None) as d:
        path = os.path.join(d, "index")
        save(path)
        return sum(f.stat().st_size for f in Path(d).iterdir())


# ---- builds: build(base, metric, threads) -> index; size(index) -> bytes


def _hnswlib_build(base, metric, threads):
    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EFC, random_seed=SEED)
    index.add_items(base, np.arange(len(base)), num_threads=threads)
    return index


def _hnswlib_search(index, queries, ef, threads):
    index.set_ef(ef)
    return index.knn_query(queries, k=K, num_threads=threads)[0]


def _faiss_build(base, metric, threads):
    kind = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
    ann._faiss_threads(threads)
    try:
        index = faiss.IndexHNSWFlat(base.shape[1], M, kind)
        index.hnsw.efConstruction = EFC
        index.add(base)
    finally:
        ann._faiss_threads(1)
    return index


def _usearch_build(base, metric, threads):
    index = UsearchIndex(
        ndim=base.shape[1],
        metric="cos" if metric == "cosine" else "l2sq",
        dtype="f32",
        connectivity=M,
        expansion_add=EFC,
    )
    index.add(np.arange(len(base)), base, threads=threads)
    return index


def _usearch_search(index, queries, ef, threads):
    index.expansion_search = ef
    return np.asarray(index.search(queries, K, threads=threads).keys).astype(np.int64)


class _Glass:
    """glass's HNSW graph, built once with float rows, and one searcher per
    quantizer pair. A searcher takes over the graph object it is given (a
    second searcher on it returns nothing), so each gets a copy loaded from
    the saved graph."""

    def __init__(self, base, metric, threads, searchers=()):
        self.metric = "L2"  # on unit-length rows also the cosine order (see the module docstring)
        glass.set_num_threads(threads)
        started = time.perf_counter()
        try:
            with _quiet():
                graph = glass.Index("HNSW", self.metric, "FP32", GLASS_R, GLASS_L).build(base)
        finally:
            glass.set_num_threads(1)
        self.build_s = time.perf_counter() - started  # the graph only: searchers are set up below
        self.searchers, self.searcher_bytes = {}, {}
        with tempfile.TemporaryDirectory() as d, _quiet():
            path = os.path.join(d, "graph")
            graph.save(path)
            self.graph_bytes = os.path.getsize(path)
            del graph
            for walk, refine in searchers:
                rss = ann.rss_bytes()
                s = glass.Searcher(glass.Graph(path), base, self.metric, walk, refine)
                s.optimize(1)
                self.searchers[(walk, refine)] = s
                self.searcher_bytes[(walk, refine)] = max(ann.rss_bytes() - rss, 0)


def _glass_name(walk, refine):
    return f"{GLASS} {walk}" + (f", {refine} refine" if refine else "")


def _glass_search(key):
    def search(index, queries, ef, threads):
        s = index.searchers[key]
        s.set_ef(ef)
        return np.asarray(s.batch_search(queries, K, threads)[0]).astype(np.int64)

    return search


def _symqg_name(degree):
    return f"SymphonyQG degree {degree}"


def _symqg_build(degree):
    def build(base, metric, threads):
        index = rabitqlib.SymqgIndex(base.shape[1], degree, "l2")  # see the module docstring on cosine
        with _quiet():
            index.build(base, EFC, threads)
        return index

    return build


def _symqg_search(index, queries, ef, threads):
    return np.asarray(index.search_batch(queries, K, max(ef, K), threads)[0]).astype(np.int64)


# hobrin_ann builds: (name, Index keyword arguments, re-rank factors swept
# besides the default, which re-scores every candidate of the walk)
HOBRIN = [
    ("hobrin_ann", {}, []),
    ("hobrin_ann int8", {"quantization": "int8"}, [3]),
    ("hobrin_ann int4", {"quantization": "int4"}, [3]),
    ("hobrin_ann qgraph", {"quantization": "qgraph"}, []),
]


def _hobrin_build(kwargs):
    def build(base, metric, threads):
        index = hobrin_ann.Index(base.shape[1], metric, m=M, ef_construction=EFC, seed=SEED, **kwargs)
        index.add(base, threads=threads)
        if kwargs.get("quantization") == "qgraph":
            # Its blocks are built by the first search after an add: counted
            # in the build time.
            index.search(base[:1], k=1)
        return index

    return build


def _hobrin_search(rerank=None):
    extra = {} if rerank is None else {"rerank": rerank}
    return lambda index, queries, ef, threads: index.search(queries, k=K, ef=ef, threads=threads, **extra)[0]


def builds(cfg, searchers=True):
    """{build name: build(base, metric, threads)}, in the order they run;
    glass's searchers only with `searchers`."""
    glass_searchers = cfg["glass_searchers"] if searchers else ()
    out = {
        HNSWLIB: _hnswlib_build,
        FAISS: _faiss_build,
        USEARCH: _usearch_build,
        GLASS: lambda base, metric, threads: _Glass(base, metric, threads, glass_searchers),
    }
    out.update({_symqg_name(d): _symqg_build(d) for d in cfg["symqg_degrees"]})
    out.update({name: _hobrin_build(kw) for name, kw, _ in HOBRIN})
    return out


def series(cfg):
    """[(series name, build name, search(index, queries, ef, threads))]."""
    out = [
        (HNSWLIB, HNSWLIB, _hnswlib_search),
        (FAISS, FAISS, ann.METHODS[ann.FAISS][1]),
        (USEARCH, USEARCH, _usearch_search),
    ]
    out += [(_glass_name(*key), GLASS, _glass_search(key)) for key in cfg["glass_searchers"]]
    out += [(_symqg_name(d), _symqg_name(d), _symqg_search) for d in cfg["symqg_degrees"]]
    for name, _, reranks in HOBRIN:
        out.append((name, name, _hobrin_search()))
        out += [(f"{name}, rerank {r}", name, _hobrin_search(r)) for r in reranks]
    return out


def _bytes(series_name, build_name, index, cfg):
    """Bytes of the index that `series_name` searches (see the module docstring)."""
    if build_name == HNSWLIB:
        return _file_bytes(index.save_index)
    if build_name == FAISS:
        return int(faiss.serialize_index(index).nbytes)
    if build_name == USEARCH:
        return _file_bytes(index.save)
    if build_name == GLASS:
        key = next(k for k in cfg["glass_searchers"] if _glass_name(*k) == series_name)
        return index.searcher_bytes[key]
    if build_name.startswith("SymphonyQG"):
        return _file_bytes(index.save)
    return index.nbytes


# ---- one data set


def _build_scaling(base, metric, makers, threads=(1, 2)):
    """Build seconds of every method on these rows on each thread count, the
    thread counts taking turns per method."""
    rows = []
    for name, make in makers.items():
        row = {"method": name, "n": len(base)}
        for t in threads:
            started = time.perf_counter()
            index = make(base, metric, t)
            row[str(t)] = getattr(index, "build_s", time.perf_counter() - started)
            del index
        rows.append(row)
        log(
            f"  build of {len(base):,}: {name}: "
            + ", ".join(f"{t} thread(s) {row[str(t)]:.1f} s" for t in threads)
        )
    return rows


def _thread_search(indexes, chosen, points, queries32, rounds=3):
    """Batch search q/s on one and two threads at the smallest ef reaching
    0.99, for the fastest series at 0.99 of hobrin_ann, glass and SymphonyQG
    (and hnswlib); the thread counts take turns, the fastest round counts."""
    picks = []
    for family in ("hobrin_ann", GLASS, "SymphonyQG", HNSWLIB):
        best = max(
            (
                (qps_at([p for p in points if p["method"] == s], 0.99)[0] or 0, s)
                for s, _, _ in chosen
                if s.startswith(family)
            ),
            default=(0, None),
        )
        if best[0]:
            picks.append(best[1])
    rows = []
    for s, b, search in chosen:
        if s not in picks:
            continue
        ef = ann.smallest_ef_at(points, s, 0.99)
        row = {"method": s, "ef": ef, "qps": {}}
        for _ in range(rounds):
            for t in (1, 2):
                _, sec = ann.time_call(lambda: search(indexes[b], queries32, ef, t))
                row["qps"][str(t)] = max(row["qps"].get(str(t), 0.0), len(queries32) / sec)
        rows.append(row)
    return rows


def run_dataset(ds, metric, cfg):
    base32 = np.ascontiguousarray(ds.base, np.float32)
    queries32 = np.ascontiguousarray(ds.queries[: cfg["nq"]], np.float32)
    ds.truth(cfg["nq"])
    makers = builds(cfg)
    indexes, build_s, faults = {}, {}, []
    for name, make in makers.items():
        started = time.perf_counter()
        try:
            indexes[name] = make(base32, metric, 2)
        except Exception as e:  # a peer that cannot take this data is reported, not fatal
            faults.append(f"{name}: build failed: {type(e).__name__}: {e}")
            log(f"  {name}: build failed: {e}")
            continue
        # glass: the graph's build, not the searchers' training and tuning
        build_s[name] = getattr(indexes[name], "build_s", time.perf_counter() - started)
        log(f"  {name}: built on 2 threads in {build_s[name]:.1f} s")
    chosen = [s for s in series(cfg) if s[1] in indexes]
    nbytes = {s: _bytes(s, b, indexes[b], cfg) / len(base32) for s, b, _ in chosen}
    points, sweep_faults = ann.sweep(
        {s: indexes[b] for s, b, _ in chosen},
        ds,
        queries32,
        cfg["efs"],
        cfg["nq"],
        cfg["rounds"],
        1,
        {s: (None, search) for s, _, search in chosen},
    )
    for s, b, _ in chosen:
        mine = [p for p in points if p["method"] == s]
        for p in mine:
            p["build"] = b
        log(f"  {s}: " + ", ".join(f"ef {p['ef']} {p['recall']:.4f} @ {p['qps']:,.0f}" for p in mine))
    threads = _thread_search(indexes, chosen, points, queries32)
    del indexes
    scaling = []
    if cfg["scaling_n"]:
        graphs = builds(cfg, searchers=False)
        scaling = _build_scaling(base32[: cfg["scaling_n"]], metric, {b: graphs[b] for b in build_s})
    return {
        "dataset": ds.label,
        "metric": metric,
        "n": len(base32),
        "dim": base32.shape[1],
        "build_s_2_threads": build_s,
        "bytes_per_vector": nbytes,
        "points": points,
        "threads": threads,
        "build_scaling": scaling,
        "faults": faults + sweep_faults,
    }


def run(cfg):
    started = time.time()
    res = {
        "config": cfg,
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load average at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "source": os.environ.get("HOBRIN_BENCH_SOURCE", "unknown"),
        "cores": os.cpu_count(),
        "datasets": [],
    }
    for name, n, metric in cfg["datasets"]:
        ds = data.load(name)
        ds = ds.prefix(n) if n else ds
        log(f"peers: {ds.label}, {metric}")
        res["datasets"].append(run_dataset(ds, metric, cfg))
    res["minutes"] = (time.time() - started) / 60
    res["load average at end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return res


# ---- reading the results


def at(points, method, recall):
    """(q/s, how) of one series at `recall` (curves.qps_at)."""
    return qps_at([p for p in points if p["method"] == method], recall)


def best_of(points, prefixes, recall):
    """(q/s, series) of the fastest series whose name starts with one of
    `prefixes` at `recall`; (None, None) when none reaches it."""
    found = [(at(points, s, recall)[0], s) for s in series_of(points) if s.startswith(tuple(prefixes))]
    found = [f for f in found if f[0] is not None]
    return max(found) if found else (None, None)


def _ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "-"


def standing(e):
    """[(what, measured)] for one data set: hobrin_ann's best against the best
    of glass and SymphonyQG, and its bytes against SymphonyQG at degree 32."""
    pts = e["points"]
    rows = []
    for recall in (0.95, 0.99):
        ours, ours_s = best_of(pts, ["hobrin_ann"], recall)
        fast, fast_s = best_of(pts, [GLASS, "SymphonyQG"], recall)
        rows.append(
            (
                f"best hobrin_ann / best of glass and SymphonyQG at recall {recall}",
                f"{_ratio(ours, fast)} ({ours_s or 'none'} vs {fast_s or 'none'})",
            )
        )
    sym = e["bytes_per_vector"].get(_symqg_name(32))
    ours_s = best_of(pts, ["hobrin_ann"], 0.99)[1]
    if sym and ours_s:
        mine = e["bytes_per_vector"][ours_s]
        rows.append(
            (
                f"bytes/vector of {ours_s} / SymphonyQG degree 32",
                f"{mine / sym:.2f} ({mine:,.0f} vs {sym:,.0f})",
            )
        )
    scale = {r["method"]: r for r in e["build_scaling"]}
    if HNSWLIB in scale and "hobrin_ann" in scale:
        h, o = scale[HNSWLIB], scale["hobrin_ann"]
        rows.append(
            (
                f"hobrin_ann build / hnswlib build ({h['n']:,} vectors), 1 and 2 threads",
                f"{o['1'] / h['1']:.2f}, {o['2'] / h['2']:.2f}",
            )
        )
    for t in e["threads"]:
        if t["method"].startswith("hobrin_ann"):
            rows.append(
                (f"{t['method']}: batch search 2 threads / 1 thread", f"{t['qps']['2'] / t['qps']['1']:.2f}x")
            )
    return rows


def markdown(res):
    cfg = res["config"]
    out = [
        "",
        "## Against the fastest graph indexes: glass and SymphonyQG",
        "",
        f"Measured {res['started']} in {res['minutes']:.1f} min (hobrin {res['source']}; load average "
        f"at start {res['load average at start']}, at end {res['load average at end']}). "
        f"Every index over the same float32 rows, built on two threads: hnswlib, faiss IndexHNSWFlat and "
        f"usearch (f32) with M 16, ef_construction 200; glass's HNSW graph with R {GLASS_R}, L {GLASS_L}, "
        "searched with float rows and with 8-bit and 4-bit codes refined on float rows; SymphonyQG at "
        f"degree {' and '.join(map(str, cfg['symqg_degrees']))}, ef_construction 200; hobrin_ann with m "
        "16, ef_construction 200, float rows, int8 and int4 codes (rerank r: r x 10 candidates "
        "re-scored on the full vectors; without it every candidate of the walk is). Cosine sets: "
        "unit-length rows; hnswlib, faiss, usearch and hobrin_ann use their cosine or inner-product metric, "
        "glass and SymphonyQG Euclidean distance (the same order on unit-length rows; with their inner "
        "product both lost recall on Fashion-MNIST). Sweeps over ef, one thread, "
        f"the first {cfg['nq']:,} queries as one batch per call, {cfg['rounds']} timed passes with the "
        "series "
        "taking turns at every ef, the fastest counts; q/s at a recall interpolated on the "
        "recall/speed frontier ((>=): a fastest point above the recall, a lower bound). Bytes/vector: "
        "each library's saved index over the vectors (hobrin_ann: nbytes; glass: the resident growth "
        "over loading its graph into the searcher, which holds the graph, codes and refine rows). "
        "Build times (glass: its graph, without the searchers' training and tuning) on one and two "
        "threads on a prefix of the set (its size in the table).",
    ]
    cores = report.overloaded_cores(res)
    if cores:
        out += [
            "",
            f"The machine was shared: the load average passed its {cores} cores during the run, so "
            "absolute speeds are low and noisy. The series took turns at every ef, so the load fell on "
            "all of them alike: read the ratios rather than the q/s.",
        ]
    for e in res["datasets"]:
        pts = e["points"]
        peer = {r: at(pts, HNSWLIB, r)[0] for r in (0.95, 0.99)}
        out += ["", f"### {e['dataset']}, {e['metric']}", ""]
        out += ["| what | measured |", "|---|---|"] + [f"| {a} | {b} |" for a, b in standing(e)]
        out += [
            "",
            "| series | q/s at 0.95 | / hnswlib | q/s at 0.99 | / hnswlib | bytes/vector "
            "| build s, 2 threads |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for s in series_of(pts):
            b = next(p["build"] for p in pts if p["method"] == s)
            cells = []
            for r in (0.95, 0.99):
                q, how = at(pts, s, r)
                cells += [qps_text(q, how), _ratio(q, peer[r])]
            cells += [f"{e['bytes_per_vector'][s]:,.0f}", report._fmt(e["build_s_2_threads"].get(b), 1)]
            out.append(f"| {s} | " + " | ".join(cells) + " |")
        scale = e["build_scaling"]
        h = next((r for r in scale if r["method"] == HNSWLIB), None)
        if scale:
            out += [
                "",
                f"| build of {scale[0]['n']:,} vectors | s, 1 thread | / hnswlib | s, 2 threads "
                "| / hnswlib |",
                "|---|---:|---:|---:|---:|",
            ]
        for r in scale:
            out.append(
                f"| {r['method']} | {r['1']:.1f} | {_ratio(r['1'], h and h['1'])} | {r['2']:.1f} "
                f"| {_ratio(r['2'], h and h['2'])} |"
            )
        if e["threads"]:
            out += ["", "| batch search at recall 0.99 | ef | q/s, 1 thread | q/s, 2 threads | 2 / 1 |"]
            out += ["|---|---:|---:|---:|---:|"]
            for t in e["threads"]:
                q = t["qps"]
                out.append(
                    f"| {t['method']} | {t['ef']} | {q['1']:,.0f} | {q['2']:,.0f} | {q['2'] / q['1']:.2f}x |"
                )
        out += ["", "The sweep (ef: recall@10 at q/s):", ""] + sweep_lines(pts)
        out += [f"- FAULT: {f}" for f in e["faults"]]
    return out


def panels(res):
    """Plot panels for report.plot_panels: one per data set."""
    return [(f"{e['dataset']}, {e['metric']}, batch", panel_lines(e["points"])) for e in res["datasets"]]


def write(res, out_dir):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "peers.md").write_text(
        "# hobrin_ann against glass and SymphonyQG\n" + "\n".join(markdown(res)) + "\n"
    )
    report.plot_panels(panels(res), out_dir / "peers_recall_qps.png")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small subsets and few efs, a smoke test")
    ap.add_argument("--only", nargs="*", help="data set names to run")
    ap.add_argument("--n", type=int, help="use the first n vectors of each data set")
    ap.add_argument("--scaling-n", type=int, help="vectors of the one- and two-thread builds (0: none)")
    ap.add_argument("--out", type=Path, help="default: bench/results/quick for --quick, else bench/results")
    args = ap.parse_args()
    out = args.out or HERE / ("results/quick" if args.quick else "results")
    cfg = dict(QUICK if args.quick else FULL)
    if args.only:
        cfg["datasets"] = [d for d in cfg["datasets"] if d[0] in args.only]
    if args.n:
        cfg["datasets"] = [(name, args.n, metric) for name, _, metric in cfg["datasets"]]
    if args.scaling_n is not None:
        cfg["scaling_n"] = args.scaling_n
    res = run(cfg)
    out.mkdir(parents=True, exist_ok=True)
    (out / "peers.json").write_text(json.dumps(res, indent=1, default=float))
    write(res, out)
    log(f"wrote {out}/peers.md, peers.json and peers_recall_qps.png")


if __name__ == "__main__":
    main()
