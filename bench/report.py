"""Machine description, the markdown table, the target ratios and the plot."""

import json
import os
import platform
import subprocess
from importlib import metadata
from pathlib import Path

from curves import qps_at, verdict

ROOT = Path(__file__).resolve().parent.parent
TARGET_RECALL = 0.99


def machine_info():
    cpu, flags = "unknown", set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key.strip() == "model name" and cpu == "unknown":
                cpu = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    mem_kb = int(next(line.split()[1] for line in open("/proc/meminfo") if line.startswith("MemTotal")))
    import numpy as np
    import threadpoolctl

    blas = [
        f"{p.get('internal_api')} {p.get('version')} ({p.get('architecture')} kernel, "
        f"{p.get('num_threads')} thread(s))"
        for p in threadpoolctl.threadpool_info()
        if p.get("user_api") == "blas"
    ]

    def version(pkg):
        try:
            return metadata.version(pkg)
        except metadata.PackageNotFoundError:
            return "not installed"

    def git(*args):
        try:
            return subprocess.run(
                ["git", *args], cwd=ROOT, capture_output=True, text=True, check=True
            ).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return "?"

    dirty = git("status", "--porcelain", "--", "src", "python", "CMakeLists.txt")
    return {
        "load average at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "cpu": cpu,
        "simd": " ".join(f for f in ("avx2", "fma", "avx512f") if f in flags) or "none of avx2/avx512f",
        "cores": os.cpu_count(),
        "memory": f"{mem_kb / 2**20:.0f} GiB",
        "python": platform.python_version(),
        "numpy": f"{np.__version__}; BLAS {', '.join(blas) or 'not found'}",
        "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "unset"),
        "hnswlib": version("hnswlib"),
        "faiss-cpu": version("faiss-cpu"),
        "usearch": version("usearch"),
        # run.sh notes the source state when it builds; later commits do not change the build
        "hobrin": os.environ.get("HOBRIN_BENCH_SOURCE")
        or f"{git('rev-parse', '--short', 'HEAD')}{' + uncommitted changes' if dirty else ''}",
    }


def overloaded_cores(res):
    """The machine's cores when the load average passed them at the start or
    the end of a section's run (other work shared them), else None."""
    cores = res.get("cores") or os.cpu_count()
    loads = [float(res[k].split()[0]) for k in ("load average at start", "load average at end")]
    return cores if max(loads) > cores else None


def best_qps_at(points, recall=TARGET_RECALL):
    """The fastest measured point reaching `recall`, or None."""
    ok = [p for p in points if p["recall"] >= recall]
    return max(ok, key=lambda p: p["qps"]) if ok else None


ANN, HNSWLIB, FAISS = "hobrin_ann", "hnswlib", "faiss HNSWFlat"
ANN_QPS_TARGETS = [  # (recall, peer, least ratio of hobrin_ann's q/s to the peer's)
    (0.95, HNSWLIB, 1.0),
    (0.99, HNSWLIB, 1.2),
    (0.99, FAISS, 1.0),
    (0.999, HNSWLIB, 1.0),
]
GROWTH_TARGET = 1.6
# A two-thread build whose CPU time is less than this many times its wall
# time did not have two cores to itself.
BUSY_CORES = 1.5


def _qps_at(points, method, recall):
    return qps_at([p for p in points if p["method"] == method], recall)


def _best_recall(points, method):
    return max((p["recall"] for p in points if p["method"] == method), default=float("nan"))


def _build(entry, method, threads, fresh=None):
    """The build figures of `method` on `threads` threads (fresh: measured in
    a process of its own, with memory figures), or None."""
    for b in entry["builds"]:
        if (
            b["method"] == method
            and b["threads"] == threads
            and "error" not in b
            and (fresh is None or ("rss_per_vector" in b) == fresh)
        ):
            return b
    return None


def qps_ratio(points, recall, peer, least=1.0):
    """(text, ratio or None, met) for hobrin_ann's q/s over the peer's at
    `recall`. A speed taken from a fastest point above the recall is a lower
    bound, so a ratio is only decided where the bounds allow it."""
    ours, how_o = _qps_at(points, ANN, recall)
    theirs, how_t = _qps_at(points, peer, recall)
    if ours is None:
        return f"hobrin_ann never reaches it (best {_best_recall(points, ANN):.4f})", None, False
    if theirs is None:
        return (
            f"{peer} never reaches it (best {_best_recall(points, peer):.4f}); hobrin_ann {ours:,.0f} q/s",
            None,
            True,
        )
    note = "".join(
        f"; {m}: {h}, a lower bound" for m, h in ((ANN, how_o), (peer, how_t)) if h != "interpolated"
    )
    r = ours / theirs
    met = verdict(r, lambda x: x >= least, how_o != "interpolated", how_t != "interpolated")
    return f"{r:.2f}x ({ours:,.0f} vs {theirs:,.0f} q/s{note})", r, met


def ann_targets(results):
    rows = []
    for e in results.get("ann", []):
        name, pts = e["dataset"], e["points"]
        for recall, peer, least in ANN_QPS_TARGETS:
            text, _, met = qps_ratio(pts, recall, peer, least)
            rows.append(
                (
                    f"{name}: hobrin_ann q/s vs {peer} at recall@10 {recall}, one thread",
                    f"{text} (>= {least:g}x)",
                    met,
                )
            )
        a1, h1, a2 = _build(e, ANN, 1, False), _build(e, HNSWLIB, 1, False), _build(e, ANN, 2, True)
        if a1 and h1:
            r = a1["build_s"] / h1["build_s"]
            rows.append(
                (
                    f"{name}: build time hobrin_ann / hnswlib, one thread",
                    f"{r:.2f} ({a1['build_s']:.1f} s vs {h1['build_s']:.1f} s) (<= 0.9)",
                    r <= 0.9,
                )
            )
        sc = {(b["method"], b["threads"]): b for b in e.get("build_scaling", [])}
        if (ANN, 1) in sc and (ANN, 2) in sc:
            s1, s2 = sc[(ANN, 1)], sc[(ANN, 2)]
            r = s1["build_s"] / s2["build_s"]
            met, peer = r >= 1.7, ""
            if (HNSWLIB, 1) in sc and (HNSWLIB, 2) in sc:
                h1, h2 = sc[(HNSWLIB, 1)], sc[(HNSWLIB, 2)]
                cores = h2["cpu_s"] / h2["build_s"]
                peer = f"; hnswlib {h1['build_s'] / h2['build_s']:.2f}x, using {cores:.1f} cores"
                if not met and cores < BUSY_CORES:
                    # hnswlib's two-thread build did not get two cores either:
                    # the machine was busy, and the figure says nothing.
                    met = None
            rows.append(
                (
                    f"{name}: hobrin_ann build speed-up, two threads over one "
                    f"(first {s1['n']:,} vectors, fastest of {len(s1['runs'])})",
                    f"{r:.2f}x ({s1['build_s']:.1f} s vs {s2['build_s']:.1f} s, using "
                    f"{s2['cpu_s'] / s2['build_s']:.1f} cores{peer}) (>= 1.7x)",
                    met,
                )
            )
        elif a1 and a2:
            r = a1["build_s"] / a2["build_s"]
            rows.append(
                (
                    f"{name}: hobrin_ann build speed-up, two threads over one",
                    f"{r:.2f}x ({a1['build_s']:.1f} s vs {a2['build_s']:.1f} s) (>= 1.7x)",
                    r >= 1.7,
                )
            )
        am, hm = _build(e, ANN, 2, True), _build(e, HNSWLIB, 2, True)
        if am and hm:
            r = am["rss_per_vector"] / hm["rss_per_vector"]
            rows.append(
                (
                    f"{name}: resident bytes per vector, hobrin_ann / hnswlib",
                    f"{r:.2f} ({am['rss_per_vector']:,.0f} vs {hm['rss_per_vector']:,.0f}; "
                    f"hobrin_ann nbytes {am['nbytes_per_vector']:,.0f}) (<= 1)",
                    r <= 1,
                )
            )
    g = results.get("growth")
    if g and len(g["sizes"]) > 1:
        first, last = g["sizes"][0], g["sizes"][-1]
        a, b = first["at"][ANN], last["at"][ANN]
        label = (
            f"clustered {first['n']:,} -> {last['n']:,} x {results['config']['growth']['dim']}: "
            f"hobrin_ann query time growth at recall@10 {g['recall']}"
        )
        if a["qps"] and b["qps"]:
            r = a["qps"] / b["qps"]
            note = "".join(
                f"; {x['how']} at {s['n']:,}, a lower bound"
                for x, s in ((a, first), (b, last))
                if x["how"] != "interpolated"
            )
            peer = ""
            pa, pb = first["at"].get(HNSWLIB), last["at"].get(HNSWLIB)
            if pa and pb and pa["qps"] and pb["qps"]:
                peer = f"; hnswlib {pa['qps'] / pb['qps']:.2f}x"
            rows.append(
                (
                    label,
                    f"{r:.2f}x ({a['qps']:,.0f} -> {b['qps']:,.0f} q/s{note}{peer}) (<= {GROWTH_TARGET:g}x)",
                    verdict(
                        r,
                        lambda x: x <= GROWTH_TARGET,
                        b["how"] != "interpolated",
                        a["how"] != "interpolated",
                    ),
                )
            )
        else:
            rows.append((label, "not measured: hobrin_ann does not reach the recall at every size", False))
    return rows


def targets(results):
    """(target, measured, met) rows for the issue's ratios."""
    rows = ann_targets(results)
    for ex in results.get("exact", []):
        by = {r["name"]: r for r in ex["rows"]}
        flat = by["hobrin PyFlat.search"]
        naive = by["numpy norm(X - q) + argpartition"]
        gemv = by["numpy X @ q alone"]
        read = by["streaming read (X.sum())"]
        name = ex["dataset"]
        r1 = flat["qps"] / naive["qps"]
        r2 = flat["qps"] / gemv["qps"]
        r3 = read["qps"] / flat["qps"]
        rows += [
            (f"{name}: PyFlat q/s vs numpy norm(X - q) brute force", f"{r1:.1f}x (>= 10x)", r1 >= 10),
            (f"{name}: PyFlat q/s vs numpy X @ q", f"{r2:.2f}x (>= 1x)", r2 >= 1),
            (f"{name}: PyFlat time vs one streaming read", f"{r3:.2f}x (<= 1.5x)", r3 <= 1.5),
        ]
    for gr in results.get("graph", []):
        pts = gr["points"]
        ours = best_qps_at([p for p in pts if p["method"].startswith("hobrin")])
        peer = best_qps_at([p for p in pts if p["method"].startswith("hnswlib")])
        label = f"{gr['dataset']}: PyHNSW q/s vs hnswlib at recall@10 >= {TARGET_RECALL}"
        if ours and peer:
            r = ours["qps"] / peer["qps"]
            rows.append(
                (
                    label,
                    f"{r:.2f}x (>= 1x; PyHNSW {ours['setting']}, ef_search={ours['ef']}:"
                    f" {ours['qps']:.0f} q/s; hnswlib ef={peer['ef']}: {peer['qps']:.0f} q/s)",
                    r >= 1,
                )
            )
        else:

            def best(kind):
                p = [x["recall"] for x in pts if x["method"].startswith(kind)]
                return f"{max(p):.4f}" if p else "n/a"

            rows.append(
                (
                    label,
                    f"not comparable: best recall PyHNSW {best('hobrin')}, hnswlib {best('hnswlib')}",
                    False,
                )
            )
    sc = results.get("scalar", {})
    for f in sc.get("flat", []):
        if "scalar" in f:
            r = f["main"]["qps"] / f["scalar"]["qps"]
            rows.append((f"{f['dataset']}: PyFlat search vs own scalar path", f"{r:.2f}x (no target)", None))
    for h in sc.get("hnsw", []):
        if "scalar" in h and "main" in h:
            rb = h["scalar"]["build_s"] / h["main"]["build_s"]
            rs = h["main"]["qps"] / h["scalar"]["qps"]
            rows += [
                (f"{h['dataset']}: PyHNSW build vs own scalar path", f"{rb:.2f}x (>= 5x)", rb >= 5),
                (f"{h['dataset']}: PyHNSW search vs own scalar path", f"{rs:.2f}x (>= 5x)", rs >= 5),
            ]
    if "serving" in results:
        import serving

        rows += serving.targets(results["serving"])
    if "quantized" in results:
        import quantized

        rows += quantized.targets(results["quantized"])
    if "codes" in results:
        import codes

        rows += codes.targets(results["codes"])
    if "churn" in results:
        import churn

        rows += churn.targets(results["churn"])
    return rows


def _met(ok, target):
    if ok is None:  # a ratio without a target, or one that bounds leave open
        return "undecided" if "hobrin_ann" in target else "-"
    return "yes" if ok else "no"


def _fmt(x, digits=0):
    return "" if x is None else f"{x:,.{digits}f}"


def _ann_build_rows(builds):
    out = [
        "| method | threads | build s | CPU s | resident bytes/vector | malloc bytes/vector "
        "| nbytes/vector | self-search misses |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for b in builds:
        if "error" in b:
            out.append(f"| {b['method']} | {b['threads']} | failed: {b['error']} | | | | | |")
            continue
        out.append(
            f"| {b['method']} | {b['threads']} | {b['build_s']:.1f} | {b['cpu_s']:.1f} | "
            f"{_fmt(b.get('rss_per_vector'))} | {_fmt(b.get('heap_per_vector'))} | "
            f"{_fmt(b.get('nbytes_per_vector'))} | {_fmt(b.get('unreachable'))} |"
        )
    return out


def _ann_sweep_rows(points, methods):
    by = {(p["method"], p["ef"]): p for p in points}
    efs = sorted({p["ef"] for p in points})
    out = [
        "| ef | " + " | ".join(f"{m} recall@10 | {m} q/s" for m in methods) + " |",
        "|---:|" + "---:|---:|" * len(methods),
    ]
    for ef in efs:
        cells = []
        for m in methods:
            p = by.get((m, ef))
            cells += [f"{p['recall']:.4f}", _fmt(p["qps"])] if p else ["", ""]
        out.append(f"| {ef} | " + " | ".join(cells) + " |")
    return out


def ann_markdown(results):
    entries, g = results.get("ann", []), results.get("growth")
    if not entries and not g:
        return []
    cfg = results["config"]
    out = [
        "",
        "## hobrin_ann against hnswlib and faiss (k = 10)",
        "",
        f"The same graph parameters for all (M = m = 16, ef_construction = 200) over the "
        f"same float32 copy of the base set; the first {cfg['ann_nq']:,} queries, passed as "
        "one batch per call. Builds on one thread run one after another in the main "
        "process (their memory is not reported there: freed memory of an earlier build "
        "is reused); the builds on two threads each run in a fresh process, which measures "
        "the growth of its resident set (RSS) and of live malloc'd bytes over the build, "
        "divided by the number of vectors, stored vectors included. CPU s is the process "
        "CPU time of the build (about the build time on one thread when the process had a "
        "core to itself). nbytes is hobrin_ann's own count (vectors, links, ids). "
        "Self-search misses: stored vectors that a search for the vector itself (k = 1, "
        "ef = 100) does not return; on hard data every graph has some, and a count well "
        "above the peers' points at vectors the graph does not lead to. "
        "The ef sweep: the first pass, ef by ef with the methods taking turns at each, gives "
        f"recall and ends a method's sweep at the first ef reaching {cfg['ann_stop_recall']}; "
        "four more passes time the same points again; queries/s is that of the fastest pass "
        "(a batch call shorter than 0.2 s is repeated to fill it). "
        "Queries/s at a fixed recall is interpolated on each method's recall/speed frontier, "
        "log(queries/s) linear in log(1 - recall); where even the smallest ef exceeds the "
        "recall, the fastest point's speed stands (a lower bound). Recall counts a result as "
        "a hit when its exact distance is no farther than the true 10th neighbour's.",
    ]
    for e in entries:
        methods = [m for m in (ANN, HNSWLIB, FAISS) if any(p["method"] == m for p in e["points"])]
        out += ["", f"### {e['dataset']}", ""] + _ann_build_rows(e["builds"])
        if e.get("build_scaling"):
            out += [
                "",
                f"Builds of the first {e['build_scaling'][0]['n']:,} vectors on one and "
                "two threads, alternating three times; the fastest of each counts. Where "
                "hnswlib's two-thread build did not use 1.5 cores' worth of CPU time either, "
                "the machine was busy and the speed-up target stays undecided:",
                "",
                "| method | threads | build s | CPU s | all runs, s |",
                "|---|---:|---:|---:|---|",
            ]
            out += [
                f"| {b['method']} | {b['threads']} | {b['build_s']:.2f} | {b['cpu_s']:.2f} | "
                + ", ".join(f"{x:.2f}" for x in b["runs"])
                + " |"
                for b in e["build_scaling"]
            ]
        out += [
            "",
            "Queries/s at a fixed recall@10 (one thread):",
            "",
            "| recall@10 | " + " | ".join(methods) + " | hobrin_ann / hnswlib | hobrin_ann / faiss |",
            "|---:|" + "---:|" * (len(methods) + 2),
        ]
        for recall in (0.9, 0.95, 0.99, 0.995, 0.999):
            cells = []
            for m in methods:
                q, how = _qps_at(e["points"], m, recall)
                cells.append(
                    "not reached" if q is None else f"{q:,.0f}" + ("" if how == "interpolated" else " (>=)")
                )
            ratios = []
            for peer in (HNSWLIB, FAISS):
                text, r, met = qps_ratio(e["points"], recall, peer)
                ratios.append(f"{r:.2f}x" if r is not None else ("peer not reached" if met else "-"))
            out.append(f"| {recall} | " + " | ".join(cells + ratios) + " |")
        out += ["", "The sweep:", ""] + _ann_sweep_rows(e["points"], methods)
        out += [
            "",
            "Batch search on one and two threads, each method at the smallest swept ef "
            "that reaches recall@10 0.99 (or its largest ef); five interleaved passes, the "
            "fastest counts:",
            "",
            "| method | ef | q/s, 1 thread | q/s, 2 threads | speed-up |",
            "|---|---:|---:|---:|---:|",
        ]
        for t in e["threads"]:
            q1, q2 = t["qps"]["1"], t["qps"]["2"]
            out.append(f"| {t['method']} | {t['ef']} | {q1:,.0f} | {q2:,.0f} | {q2 / q1:.2f}x |")
        c = e["exact_check"]
        out += [
            "",
            f"hobrin_ann `search(exact=True)` against the float64 ground truth: recall@10 "
            f"{c['recall']:.4f}, largest relative error of a returned distance "
            f"{c['max_rel_distance_error']:.1e} (float32 storage).",
        ]
        out += [f"- FAULT: {f}" for f in e["faults"]]
    if g:
        out += [
            "",
            f"### Growth with n: clustered data x {cfg['growth']['dim']}",
            "",
            "A seeded Gaussian mixture of 100 ellipsoidal clusters of uneven weight and "
            "size; every smaller set is a prefix of the largest and all share the queries. "
            f"Builds on {g['build_threads']} threads; queries/s on one thread, interpolated "
            f"at recall@10 {g['recall']}; ef is the smallest swept ef reaching that recall.",
            "",
        ]
        methods = list(g["sizes"][0]["at"])
        out += [
            "| n | "
            + " | ".join(f"{m} q/s | {m} ef | {m} build s | {m} self-search misses" for m in methods)
            + " | hobrin_ann nbytes/vector |",
            "|---:|" + "---:|" * 4 * len(methods) + "---:|",
        ]
        for s in g["sizes"]:
            cells = []
            for m in methods:
                a = s["at"][m]
                b = next(b for b in s["builds"] if b["method"] == m)
                cells += [
                    "not reached"
                    if a["qps"] is None
                    else f"{a['qps']:,.0f}" + ("" if a["how"] == "interpolated" else " (>=)"),
                    str(a["ef"]),
                    f"{b['build_s']:.1f}",
                    _fmt(b.get("unreachable")),
                ]
            nb = next((b.get("nbytes_per_vector") for b in s["builds"] if b["method"] == ANN), None)
            out.append(f"| {s['n']:,} | " + " | ".join(cells) + f" | {_fmt(nb)} |")
            out += [f"- FAULT ({s['dataset']}): {f}" for f in s["faults"]]
    return out


def markdown(results):
    m, cfg = results["machine"], results["config"]
    parts = ", ".join(f"{k} {v} min" for k, v in results.get("section_minutes", {}).items())
    out = [
        "# hobrin benchmark",
        "",
        f"Run: `{results['command']}` ({results['mode']} mode), {results['started']}, "
        f"{results['runtime_s'] / 60:.1f} min{f' ({parts})' if parts else ''}, after "
        "building the checkout.",
        "",
        "| machine | |",
        "|---|---|",
    ]
    out += [f"| {k} | {v} |" for k, v in m.items()]
    out += [
        "",
        "Every method runs on one thread unless a table says otherwise, in the same "
        "process and run; ratios are only meaningful within this run. hobrin_ann, faiss "
        "and hnswlib store float32 and get the whole query batch in one call; PyFlat and "
        "PyHNSW work in float64, one query per call.",
        "",
    ]

    out += ["## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for t, v, ok in targets(results):
        out.append(f"| {t} | {v} | {_met(ok, t)} |")

    out += ann_markdown(results)
    out += [
        "",
        "## Exact search (k = 10)",
        "",
        f"The first {cfg['exact_nq']} queries at most; each method runs as many of them as "
        f"fit in about {cfg['exact_budget_s']:g} s (at least 10), in 4 interleaved rounds; "
        "queries/s is that of the method's fastest round (other load on this shared "
        "machine only slows rounds down). "
        "Recall@10 is against the float64 ground truth (a sanity check: every exact "
        "method should reach 1).",
    ]
    for ex in results.get("exact", []):
        by = {r["name"]: r for r in ex["rows"]}
        flat = by["hobrin PyFlat.search"]
        read = by["streaming read (X.sum())"]
        out += [
            "",
            f"### {ex['dataset']}",
            "",
            f"PyFlat.create from a float64 {ex['create_input']}: {ex['create_s']:.2f} s "
            f"(one copy of the {ex['bytes'] / 1e6:.0f} MB: {ex['copy_s']:.3f} s). "
            f"PyFlat results equal the ground truth: {'yes' if ex['pyflat_exact'] else 'NO'}. "
            f"Streaming read: {ex['bytes'] / 1e9 * read['qps']:.1f} GB/s.",
            "",
            "| method | queries | queries/s | ms/query | PyFlat speed-up | recall@10 |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        for r in ex["rows"]:
            out.append(
                f"| {r['name']} | {r['n']} | {_fmt(r['qps'], 1)} | {1e3 / r['qps']:.2f} | "
                f"{flat['qps'] / r['qps']:.2f}x | {_fmt(r.get('recall'), 4)} |"
            )

    out += [
        "",
        "## Graph search (k = 10)",
        "",
        f"The first {cfg['graph_nq']} queries. PyHNSW fixes ef_search at construction, so "
        "each of its rows is a separate build (build time and bytes per vector are per "
        "build; bytes per vector is the growth of live malloc'd memory during the build, "
        "divided by the number of vectors, stored vectors included); an ef sweep stops once recall@10 "
        "reaches "
        f"{cfg['stop_recall']}. PyHNSW builds share a budget of {cfg['pyhnsw_budget_s']:g} s "
        "per data set, split evenly between the settings (what one leaves passes on); "
        "the first build may take a third of its setting's share, and if it cannot insert "
        "the whole base by then, the comparison for that data set runs on the prefix it "
        "reached. hnswlib and faiss are built once and swept by ef. Recall comes from one "
        "pass over the queries; queries/s from a second pass of 3 rounds in which the "
        "indexes of one PyHNSW setting (or the ef values of one peer index) take turns, "
        "and is that of the fastest round. Each PyHNSW build draws its own random levels, "
        "so builds with the same parameters differ in speed too. "
        "Recall counts a result as a hit when it is no farther than the true 10th neighbour.",
    ]
    for gr in results.get("graph", []):
        out += ["", f"### {gr['dataset']}", ""]
        out += [f"- {n}" for n in gr["notes"]]
        out += [
            "",
            "| method | parameters | ef_search | build s | queries/s | recall@10 | bytes/vector |",
            "|---|---|---:|---:|---:|---:|---:|",
        ]
        for p in gr["points"]:
            out.append(
                f"| {p['method']} | {p['setting']} | {p['ef']} | {p['build_s']:.1f} | "
                f"{_fmt(p['qps'])} | {p['recall']:.4f} | {_fmt(p['bytes_per_vector'])} |"
            )

    sc = results.get("scalar", {})
    out += ["", "## hobrin against its own scalar path", "", sc.get("note", "")]
    if sc.get("flat") or sc.get("hnsw"):
        out += [
            "",
            "| what | data | normal build | scalar-kernel build | ratio |",
            "|---|---|---:|---:|---:|",
        ]
        for f in sc.get("flat", []):
            if "scalar" in f:
                out.append(
                    f"| PyFlat.search q/s | {f['dataset']} | {f['main']['qps']:.1f} | "
                    f"{f['scalar']['qps']:.1f} | {f['main']['qps'] / f['scalar']['qps']:.2f}x |"
                )
        for h in sc.get("hnsw", []):
            if "scalar" in h and "main" in h:
                a, b = h["main"], h["scalar"]
                out.append(
                    f"| PyHNSW build s ({a['setting']}) | {h['dataset']} | {a['build_s']:.1f} | "
                    f"{b['build_s']:.1f} | {b['build_s'] / a['build_s']:.2f}x |"
                )
                out.append(
                    f"| PyHNSW search q/s (ef_search={a['ef']}) | {h['dataset']} | "
                    f"{a['qps']:.0f} | {b['qps']:.0f} | {a['qps'] / b['qps']:.2f}x |"
                )
    if "scan" in results:
        import scan

        out += scan.markdown(results["scan"])
    if "filtered" in results:
        import filtered

        out += filtered.markdown(results["filtered"])
    if "sharded" in results:
        import sharded

        out += sharded.markdown(results["sharded"])
    if "replicas" in results:
        import replicas

        out += replicas.markdown(results["replicas"])
    if "serving" in results:
        import serving

        out += serving.markdown(results["serving"])
    if "quantized" in results:
        out += [
            "",
            "## Quantized storage",
            "",
            "Tables in [quantized.md](quantized.md), plot in quantized_recall_qps.png.",
        ]
    if "codes" in results:
        out += ["", "## Codes on other data", "", "Tables in [codes.md](codes.md)."]
    if "churn" in results:
        import churn

        out += churn.markdown(results["churn"])
    if "peers" in results:
        out += [
            "",
            "## Against glass and SymphonyQG",
            "",
            "Tables in [peers.md](peers.md), plot in peers_recall_qps.png.",
        ]
    out += ["", "## Notes", ""] + [f"- {n}" for n in results.get("notes", [])]
    return "\n".join(out) + "\n"


def _panels(results):
    """(title, [(label, points, style, annotate)]) for each plot panel."""
    panels = []
    for e in results.get("ann", []):
        series = [
            (m, [p for p in e["points"] if p["method"] == m], "o-" if m == ANN else "s--", m == ANN)
            for m in (ANN, HNSWLIB, FAISS)
        ]
        panels.append((f"{e['dataset']}, batch", [x for x in series if x[1]]))
    g = results.get("growth")
    if g:
        series = []
        for s in g["sizes"]:
            for m in s["at"]:
                series.append(
                    (
                        f"{m}, n = {s['n']:,}",
                        [p for p in s["points"] if p["method"] == m],
                        "o-" if m == ANN else "s--",
                        False,
                    )
                )
        panels.append((f"clustered x {results['config']['growth']['dim']}, growing n, batch", series))
    for gr in results.get("graph", []):
        series = {}
        for p in gr["points"]:
            series.setdefault(f"{p['method']} ({p['setting']})", []).append(p)
        panels.append(
            (
                f"{gr['dataset']}, one query per call",
                [
                    (label, pts, "o-" if label.startswith("hobrin") else "s--", label.startswith("hobrin"))
                    for label, pts in series.items()
                ],
            )
        )
    return panels


def plot(results, path):
    plot_panels(_panels(results), path)


def plot_panels(panels, path):
    """Recall against queries/s, one panel per (title, [(label, points, style,
    annotate)]); hobrin's series annotated with their ef where asked."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if not panels:
        return
    cols = min(3, len(panels))
    rows = -(-len(panels) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(6.5 * cols, 5 * rows), squeeze=False)
    top = 0.99995  # recall 1 drawn here: the axis stretches 1 - recall logarithmically
    for ax, (title, series) in zip(axes.flat, panels):
        colors = {}
        if len(series) > 10:  # more lines than the default colours
            ax.set_prop_cycle(color=plt.cm.tab20.colors)
        for label, pts, style, annotate in series:
            pts = sorted(pts, key=lambda p: p["recall"])
            key = label.split(", n = ")[-1]  # one colour per size in the growth panel
            line = ax.plot(
                [min(p["recall"], top) for p in pts],
                [p["qps"] for p in pts],
                style,
                label=label,
                ms=4,
                alpha=0.9,
                color=colors.get(key),
            )
            colors.setdefault(key, line[0].get_color())
            for p in pts if annotate else ():
                ax.annotate(
                    str(p["ef"]),
                    (min(p["recall"], top), p["qps"]),
                    fontsize=6,
                    xytext=(3, 3),
                    textcoords="offset points",
                )
        ax.axvline(TARGET_RECALL, color="grey", lw=0.8, ls=":")
        every = [p for _, pts, _, _ in series for p in pts]
        left = min(max(min(p["recall"] for p in every), 0.5), 0.9)
        shown = [p["qps"] for p in every if p["recall"] >= left]
        ax.set_xscale("logit")
        ticks = [
            t
            for t in (0.5, 0.8, 0.9, 0.95, 0.99, 0.995, 0.999, 0.9999)
            if t >= left and (t != 0.995 or left >= 0.9)
        ]  # room for 0.995 when zoomed in
        ax.set_xticks(ticks, [f"{t:g}" for t in ticks])
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlim(left, 0.99998)
        ax.set_ylim(min(shown) / 1.3, max(shown) * 1.3)
        ax.set_yscale("log")
        labelled = "; hobrin points labelled with ef" if any(x[3] for x in series) else ""
        ax.set_xlabel(f"recall@10 (logit scale{labelled})")
        ax.set_ylabel("queries per second (one thread)")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=6)
    for ax in list(axes.flat)[len(panels) :]:
        ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write(results, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "latest.json").write_text(json.dumps(results, indent=1, default=float))
    (out_dir / "latest.md").write_text(markdown(results))
    plot(results, out_dir / "recall_qps.png")
    if "quantized" in results:
        import quantized

        quantized.write(results["quantized"], out_dir)
    if "codes" in results:
        import codes

        codes.write(results["codes"], out_dir)
    if "peers" in results:
        import peers

        peers.write(results["peers"], out_dir)
