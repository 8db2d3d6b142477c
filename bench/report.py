"""Machine description, the markdown table, the target ratios and the plot."""

import json
import os
import platform
import subprocess
from importlib import metadata
from pathlib import Path

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
    mem_kb = int(next(line.split()[1] for line in open("/proc/meminfo")
                      if line.startswith("MemTotal")))
    import numpy as np
    import threadpoolctl
    blas = [f"{p.get('internal_api')} {p.get('version')} ({p.get('architecture')} kernel, "
            f"{p.get('num_threads')} thread(s))"
            for p in threadpoolctl.threadpool_info() if p.get("user_api") == "blas"]

    def version(pkg):
        try:
            return metadata.version(pkg)
        except metadata.PackageNotFoundError:
            return "not installed"

    def git(*args):
        try:
            return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True,
                                  check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return "?"
    dirty = git("status", "--porcelain", "--", "src", "CMakeLists.txt")
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
        # run.sh notes the source state when it builds; later commits do not change the build
        "hobrin": os.environ.get("HOBRIN_BENCH_SOURCE") or
        f"{git('rev-parse', '--short', 'HEAD')}{' + uncommitted changes in src/' if dirty else ''}",
    }


def best_qps_at(points, recall=TARGET_RECALL):
    """The fastest measured point reaching `recall`, or None."""
    ok = [p for p in points if p["recall"] >= recall]
    return max(ok, key=lambda p: p["qps"]) if ok else None


def targets(results):
    """(target, measured, met) rows for the issue's ratios."""
    rows = []
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
        rows += [(f"{name}: PyFlat q/s vs numpy norm(X - q) brute force", f"{r1:.1f}x (>= 10x)", r1 >= 10),
                 (f"{name}: PyFlat q/s vs numpy X @ q", f"{r2:.2f}x (>= 1x)", r2 >= 1),
                 (f"{name}: PyFlat time vs one streaming read", f"{r3:.2f}x (<= 1.5x)", r3 <= 1.5)]
    for gr in results.get("graph", []):
        pts = gr["points"]
        ours = best_qps_at([p for p in pts if p["method"].startswith("hobrin")])
        peer = best_qps_at([p for p in pts if p["method"].startswith("hnswlib")])
        label = f"{gr['dataset']}: PyHNSW q/s vs hnswlib at recall@10 >= {TARGET_RECALL}"
        if ours and peer:
            r = ours["qps"] / peer["qps"]
            rows.append((label, f"{r:.2f}x (>= 1x; PyHNSW {ours['setting']}, ef_search={ours['ef']}:"
                                f" {ours['qps']:.0f} q/s; hnswlib ef={peer['ef']}: {peer['qps']:.0f} q/s)",
                         r >= 1))
        else:
            def best(kind):
                p = [x["recall"] for x in pts if x["method"].startswith(kind)]
                return f"{max(p):.4f}" if p else "n/a"
            rows.append((label, f"not comparable: best recall PyHNSW {best('hobrin')}, "
                                f"hnswlib {best('hnswlib')}", False))
    sc = results.get("scalar", {})
    for f in sc.get("flat", []):
        if "scalar" in f:
            r = f["main"]["qps"] / f["scalar"]["qps"]
            rows.append((f"{f['dataset']}: PyFlat search vs own scalar path", f"{r:.2f}x (no target)", None))
    for h in sc.get("hnsw", []):
        if "scalar" in h and "main" in h:
            rb = h["scalar"]["build_s"] / h["main"]["build_s"]
            rs = h["main"]["qps"] / h["scalar"]["qps"]
            rows += [(f"{h['dataset']}: PyHNSW build vs own scalar path", f"{rb:.2f}x (>= 5x)", rb >= 5),
                     (f"{h['dataset']}: PyHNSW search vs own scalar path", f"{rs:.2f}x (>= 5x)", rs >= 5)]
    return rows


def _fmt(x, digits=0):
    return "" if x is None else f"{x:,.{digits}f}"


def markdown(results):
    m, cfg = results["machine"], results["config"]
    out = ["# hobrin benchmark", "",
           f"Run: `{results['command']}` ({results['mode']} mode), {results['started']}, "
           f"{results['runtime_s'] / 60:.1f} min.", "",
           "| machine | |", "|---|---|"]
    out += [f"| {k} | {v} |" for k, v in m.items()]
    out += ["", "Every method runs single-threaded, one query per call, in the same process "
            "and run; ratios are only meaningful within this run. hobrin works in float64; "
            "faiss and hnswlib store float32.", ""]

    out += ["## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for t, v, ok in targets(results):
        out.append(f"| {t} | {v} | {'-' if ok is None else ('yes' if ok else 'no')} |")

    out += ["", "## Exact search (k = 10)", "",
            f"The first {cfg['exact_nq']} queries at most; each method runs as many of them as "
            f"fit in about {cfg['exact_budget_s']:g} s (at least 10), in 4 interleaved rounds; "
            "queries/s is that of the method's fastest round (other load on this shared "
            "machine only slows rounds down). "
            "Recall@10 is against the float64 ground truth (a sanity check: every exact "
            "method should reach 1)."]
    for ex in results.get("exact", []):
        by = {r["name"]: r for r in ex["rows"]}
        flat = by["hobrin PyFlat.search"]
        read = by["streaming read (X.sum())"]
        out += ["", f"### {ex['dataset']}", "",
                f"PyFlat.create from a float64 {ex['create_input']}: {ex['create_s']:.2f} s "
                f"(one copy of the {ex['bytes'] / 1e6:.0f} MB: {ex['copy_s']:.3f} s). "
                f"PyFlat results equal the ground truth: {'yes' if ex['pyflat_exact'] else 'NO'}. "
                f"Streaming read: {ex['bytes'] / 1e9 * read['qps']:.1f} GB/s.", "",
                "| method | queries | queries/s | ms/query | PyFlat speed-up | recall@10 |",
                "|---|---:|---:|---:|---:|---:|"]
        for r in ex["rows"]:
            out.append(f"| {r['name']} | {r['n']} | {_fmt(r['qps'], 1)} | {1e3 / r['qps']:.2f} | "
                       f"{flat['qps'] / r['qps']:.2f}x | {_fmt(r.get('recall'), 4)} |")

    out += ["", "## Graph search (k = 10)", "",
            f"The first {cfg['graph_nq']} queries. PyHNSW fixes ef_search at construction, so "
            "each of its rows is a separate build (build time and bytes per vector are per "
            "build; bytes per vector is the growth of live malloc'd memory during the build, "
            "divided by the number of vectors, stored vectors included); an ef sweep stops once recall@10 reaches "
            f"{cfg['stop_recall']}. PyHNSW builds share a budget of {cfg['pyhnsw_budget_s']:g} s "
            "per data set, split evenly between the settings (what one leaves passes on); "
            "the first build may take a third of its setting's share, and if it cannot insert "
            "the whole base by then, the comparison for that data set runs on the prefix it "
            "reached. hnswlib and faiss are built once and swept by ef. Recall comes from one "
            "pass over the queries; queries/s from a second pass of 3 rounds in which the "
            "indexes of one PyHNSW setting (or the ef values of one peer index) take turns, "
            "and is that of the fastest round. Each PyHNSW build draws its own random levels, "
            "so builds with the same parameters differ in speed too. "
            "Recall counts a result as a hit when it is no farther than the true 10th neighbour."]
    for gr in results.get("graph", []):
        out += ["", f"### {gr['dataset']}", ""]
        out += [f"- {n}" for n in gr["notes"]]
        out += ["", "| method | parameters | ef_search | build s | queries/s | recall@10 | bytes/vector |",
                "|---|---|---:|---:|---:|---:|---:|"]
        for p in gr["points"]:
            out.append(f"| {p['method']} | {p['setting']} | {p['ef']} | {p['build_s']:.1f} | "
                       f"{_fmt(p['qps'])} | {p['recall']:.4f} | {_fmt(p['bytes_per_vector'])} |")

    sc = results.get("scalar", {})
    out += ["", "## hobrin against its own scalar path", "", sc.get("note", "")]
    if sc.get("flat") or sc.get("hnsw"):
        out += ["", "| what | data | normal build | scalar-kernel build | ratio |",
                "|---|---|---:|---:|---:|"]
        for f in sc.get("flat", []):
            if "scalar" in f:
                out.append(f"| PyFlat.search q/s | {f['dataset']} | {f['main']['qps']:.1f} | "
                           f"{f['scalar']['qps']:.1f} | {f['main']['qps'] / f['scalar']['qps']:.2f}x |")
        for h in sc.get("hnsw", []):
            if "scalar" in h and "main" in h:
                a, b = h["main"], h["scalar"]
                out.append(f"| PyHNSW build s ({a['setting']}) | {h['dataset']} | {a['build_s']:.1f} | "
                           f"{b['build_s']:.1f} | {b['build_s'] / a['build_s']:.2f}x |")
                out.append(f"| PyHNSW search q/s (ef_search={a['ef']}) | {h['dataset']} | "
                           f"{a['qps']:.0f} | {b['qps']:.0f} | {a['qps'] / b['qps']:.2f}x |")
    out += ["", "## Notes", ""] + [f"- {n}" for n in results.get("notes", [])]
    return "\n".join(out) + "\n"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    graphs = results.get("graph", [])
    if not graphs:
        return
    fig, axes = plt.subplots(1, len(graphs), figsize=(6.5 * len(graphs), 5), squeeze=False)
    for ax, gr in zip(axes[0], graphs):
        series = {}
        for p in gr["points"]:
            series.setdefault(f"{p['method']} ({p['setting']})", []).append(p)
        for label, pts in series.items():
            pts.sort(key=lambda p: p["recall"])
            ours = label.startswith("hobrin")
            ax.plot([p["recall"] for p in pts], [p["qps"] for p in pts],
                    "o-" if ours else "s--", label=label, ms=4, alpha=0.9)
            for p in pts if ours else ():
                ax.annotate(str(p["ef"]), (p["recall"], p["qps"]), fontsize=6,
                            xytext=(3, 3), textcoords="offset points")
        ax.axvline(TARGET_RECALL, color="grey", lw=0.8, ls=":")
        left = max(min(p["recall"] for p in gr["points"]) - 0.005, 0.9)
        shown = [p["qps"] for p in gr["points"] if p["recall"] >= left]
        ax.set_xlim(left, 1.001)
        ax.set_ylim(min(shown) / 1.3, max(shown) * 1.3)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10 (from 0.9; PyHNSW points labelled with ef_search)")
        ax.set_ylabel("queries per second (one thread)")
        ax.set_title(gr["dataset"])
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(results, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "latest.json").write_text(json.dumps(results, indent=1, default=float))
    (out_dir / "latest.md").write_text(markdown(results))
    plot(results, out_dir / "recall_qps.png")
