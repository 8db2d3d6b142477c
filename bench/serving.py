"""Serving from one machine: how an index answers while it is being changed.

Each measure is a function of a Setup (the config, the generated data, an
index built from the base) returning a dict, listed in MEASURES, so more
(opening a saved index, say) slot in beside the ones here. Runs inside
bench/run.py (section "serving") or alone, on any environment where
hobrin_ann is installed:

    .venv/bin/python bench/serving.py [--quick]

Measured now: the latency of single-query searches on one thread, idle and
while another thread adds a batch (for each thread count of the add), and
whether any search returned a vector of the batch before it was published;
and opening a saved index with and without mmap (bench/mapped.py).
"""

import argparse
import copy
import json
import os
import sys
import threading
import time

import numpy as np

FULL = {
    "n": 100_000,
    "batch": 40_000,
    "dim": 96,
    "m": 16,
    "ef_construction": 100,
    "ef": 64,
    "k": 10,
    "idle_queries": 5000,
    "add_threads": [1, 2],
    "seed": 0,
    "mapped_n": 200_000,
}
QUICK = {
    "n": 5_000,
    "batch": 4_000,
    "dim": 96,
    "m": 16,
    "ef_construction": 100,
    "ef": 64,
    "k": 10,
    "idle_queries": 1000,
    "add_threads": [1],
    "seed": 0,
    "mapped_n": 5_000,
}


def log(msg):
    print(f"[serving {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def _latencies(index, queries, k, ef, until=None):
    """Times single-query searches on this thread: all of `queries`, or, with
    `until` (a threading.Event), round after round until it is set. Returns
    the seconds of each search and whether any returned an id at or past
    `len(index)` as read after it returned (a batch not yet published)."""
    times, unpublished = [], 0
    i = 0
    while True:
        if until is None and i == len(queries):
            break
        if until is not None and until.is_set():
            break
        q = queries[i % len(queries)]
        t = time.perf_counter()
        labels, _ = index.search(q, k, ef=ef, threads=1)
        times.append(time.perf_counter() - t)
        # Ids are 0 .. len - 1 in order of addition: the size is published
        # with the batch, so an id at or past it was not yet visible.
        unpublished += int((labels >= len(index)).any())
        i += 1
    return np.array(times), unpublished


def _summary(times):
    ms = times * 1e3
    return {
        "searches": len(ms),
        "p50_ms": float(np.percentile(ms, 50)),
        "p99_ms": float(np.percentile(ms, 99)),
        "max_ms": float(ms.max()),
    }


def _beside_add(searched, added, batch, threads, cfg, queries):
    """Searches `searched` on this thread while another thread adds `batch`
    to `added` (the same index, or another one: the same work for the
    machine's cores, but no lock of the searched index in common)."""
    done, add_s = threading.Event(), [0.0]

    def add():
        t = time.perf_counter()
        try:
            added.add(batch, threads=threads)
        finally:
            add_s[0] = time.perf_counter() - t
            done.set()

    adder = threading.Thread(target=add)
    adder.start()
    busy, unpublished = _latencies(searched, queries, cfg["k"], cfg["ef"], until=done)
    adder.join()
    return {"add_threads": threads, "add_s": add_s[0], **_summary(busy), "unpublished_returned": unpublished}


def search_during_add(setup):
    """p99 of one-query searches, idle and while another thread adds a batch
    to the same index; as a control, while it adds the batch to a copy."""
    index, cfg, batch, queries = setup.index, setup.cfg, setup.batch, setup.queries
    # Idle searches before and after the adds, so that a change in the
    # machine's other load weighs on both sides alike.
    half = cfg["idle_queries"] // 2
    idle = [_latencies(index, queries[:half], cfg["k"], cfg["ef"])[0]]
    out = {"during_add": [], "during_other_add": []}
    for threads in cfg["add_threads"]:
        trial = copy.deepcopy(index)  # each add starts from the same index
        row = _beside_add(trial, trial, batch, threads, cfg, queries)
        out["during_add"].append(row)
        log(
            f"add of {len(batch):,} on {threads} thread(s), {row['add_s']:.1f} s: "
            f"{row['searches']:,} searches, "
            f"p99 {row['p99_ms']:.3f} ms, max {row['max_ms']:.1f} ms, "
            f"unpublished returned {row['unpublished_returned']}"
        )
        control = _beside_add(index, copy.deepcopy(index), batch, threads, cfg, queries)
        out["during_other_add"].append(control)
        log(
            f"control, the add to another index: p99 {control['p99_ms']:.3f} ms, "
            f"max {control['max_ms']:.1f} ms"
        )
    idle.append(_latencies(index, queries[half : 2 * half], cfg["k"], cfg["ef"])[0])
    out["idle"] = _summary(np.concatenate(idle))
    log(f"idle: p50 {out['idle']['p50_ms']:.3f} ms, p99 {out['idle']['p99_ms']:.3f} ms")
    for row in out["during_add"] + out["during_other_add"]:
        row["p99_over_idle"] = row["p99_ms"] / out["idle"]["p99_ms"]
    return out


def search_after_small_adds(setup, sizes=(1, 10, 100), rounds=20):
    """The first one-query search after each of `rounds` adds of a few
    vectors, on a copy of the index: what interleaving small adds and
    searches costs (a quantized graph brings its blocks up to date then)."""
    index, cfg = copy.deepcopy(setup.index), setup.cfg
    rng = np.random.default_rng(cfg["seed"] + 1)
    query = setup.queries[:1]
    index.search(query, cfg["k"], ef=cfg["ef"], threads=1)
    out = []
    for size in sizes:
        times = []
        for _ in range(rounds):
            index.add(rng.standard_normal((size, cfg["dim"]), dtype=np.float32), threads=1)
            t = time.perf_counter()
            index.search(query, cfg["k"], ef=cfg["ef"], threads=1)
            times.append(time.perf_counter() - t)
        row = {"added": size, **_summary(np.array(times))}
        out.append(row)
        log(f"first search after adding {size}: p50 {row['p50_ms']:.1f} ms, max {row['max_ms']:.1f} ms")
    return out


def open_mapped(setup):
    """Opening a saved index of cfg["mapped_n"] rows, fully and mapped; memory
    after searches; a second process mapping the same file (bench/mapped.py)."""
    import mapped

    return mapped.run(setup.cfg["mapped_n"], setup.cfg["dim"], rounds=3, log=log)


MEASURES = {
    "search_during_add": search_during_add,
    "search_after_small_adds": search_after_small_adds,
    "open_mapped": open_mapped,
}


class Setup:
    """What every measure starts from: the config, a base of cfg["n"] rows
    indexed in `index`, a batch of cfg["batch"] rows to add, and queries."""

    def __init__(self, cfg):
        import hobrin_ann

        rng = np.random.default_rng(cfg["seed"])
        self.cfg = cfg
        self.base = rng.standard_normal((cfg["n"], cfg["dim"]), dtype=np.float32)
        self.batch = rng.standard_normal((cfg["batch"], cfg["dim"]), dtype=np.float32)
        self.queries = rng.standard_normal((20_000, cfg["dim"]), dtype=np.float32)
        self.index = hobrin_ann.Index(
            cfg["dim"],
            m=cfg["m"],
            ef_construction=cfg["ef_construction"],
            seed=cfg["seed"],
            quantization=cfg.get("quantization"),
        )
        t = time.perf_counter()
        self.index.add(self.base)
        self.build_s = time.perf_counter() - t


def run(cfg):
    import hobrin_ann

    started = time.time()
    log(f"building {cfg['n']:,} x {cfg['dim']}")
    setup = Setup(cfg)
    res = {
        "config": cfg,
        "started": time.strftime("%Y-%m-%d %H:%M %Z"),
        "cpus": os.cpu_count(),
        "hobrin_ann": hobrin_ann.__file__,
        "source": os.environ.get("HOBRIN_BENCH_SOURCE", "unknown"),
        "build_s": setup.build_s,
    }
    for name, measure in MEASURES.items():
        res[name] = measure(setup)
    res["minutes"] = (time.time() - started) / 60
    res["load average"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return res


def targets(res):
    """(target, measured, met) rows for the report's table of targets."""
    s, cfg = res["search_during_add"], res["config"]
    rows = []
    controls = {c["add_threads"]: c for c in s.get("during_other_add", [])}
    for r in s["during_add"]:
        ratio = r["p99_over_idle"]
        control = controls.get(r["add_threads"])
        beside = f"; an add to a copy instead: {control['p99_ms']:.3f} ms" if control else ""
        rows.append(
            (
                f"serving ({cfg['n']:,} x {cfg['dim']}): one-query search p99 while another thread adds "
                f"{cfg['batch']:,} vectors on {r['add_threads']} thread(s), over the idle p99",
                f"{ratio:.2f}x ({r['p99_ms']:.3f} vs {s['idle']['p99_ms']:.3f} ms{beside}) (<= 5x); "
                f"{r['unpublished_returned']} searches returned an unpublished vector",
                ratio <= 5 and r["unpublished_returned"] == 0,
            )
        )
    m = res.get("open_mapped")
    if m:
        n = f"{cfg['mapped_n']:,} x {cfg['dim']}"
        fast, size = m["mmap"], m["file_bytes"]
        rows += [
            (
                f"serving ({n}): opening with mmap=True, verify=False, over a full load",
                f"{fast['open_ratio']:.2f}x ({fast['open_s'] * 1e3:.1f} vs {m['full_open_s'] * 1e3:.1f} ms) "
                f"(<= 0.25x); results equal: {fast['same_results']}",
                fast["open_ratio"] <= 0.25 and fast["same_results"],
            ),
            (
                f"serving ({n}): anonymous memory of a mapped index after 1,000 searches, over the file",
                f"{fast['anonymous_ratio']:.2f}x ({fast['anonymous'] / 2**20:.1f} of {size / 2**20:.0f} MiB) "
                "(<= 0.25x)",
                fast["anonymous_ratio"] <= 0.25,
            ),
            (
                f"serving ({n}): what a second process mapping the same file holds of its own",
                f"{m['second_process_ratio']:.2f}x the file's size (< 0.25x)",
                m["second_process_ratio"] < 0.25,
            ),
        ]
    return rows


MAPPED_INTRO = (
    "Gaussian {n:,} x {dim} float32 saved to a {mib:.0f} MiB file, in the page cache; each row a "
    "fresh process, median of 3 opens, then 1,000 single searches. Memory is what the process "
    "gained: anonymous, and for the second process (which maps the file while the first holds it) "
    "all private memory."
)


def markdown(res):
    cfg = res["config"]
    s = res["search_during_add"]
    out = [
        "",
        "## Serving: searches during an add",
        "",
        f"Gaussian {cfg['n']:,} x {cfg['dim']} float32 (quantization {cfg.get('quantization')}), "
        f"m = {cfg['m']}, ef_construction = "
        f"{cfg['ef_construction']}; one thread runs single-query searches (k = {cfg['k']}, ef = "
        f"{cfg['ef']}, threads=1) back to back, idle and while another thread adds {cfg['batch']:,} "
        f"vectors in one call. Measured {res['started']} in {res['minutes']:.1f} min on {res['cpus']} "
        f"CPUs (hobrin {res['source']}, load average at end {res['load average']}). Target: p99 "
        "during the add <= 5x idle; no search returns a vector of the unfinished batch. The "
        "control runs the same add on a copy of the index while the searches go to the original: "
        "the same work for the cores, no lock in common, so the gap between the two rows is what "
        "searching the index being added to costs.",
        "",
        "| state | add threads | add s | searches | p50 ms | p99 ms | max ms | p99 / idle "
        "| unpublished returned |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
        f"| idle | | | {s['idle']['searches']:,} | {s['idle']['p50_ms']:.3f} | {s['idle']['p99_ms']:.3f} | "
        f"{s['idle']['max_ms']:.2f} | 1.00 | |",
    ]
    rows = [("during add", r) for r in s["during_add"]]
    rows += [("during an add to another index", r) for r in s.get("during_other_add", [])]
    for state, r in rows:
        out.append(
            f"| {state} | {r['add_threads']} | {r['add_s']:.1f} | {r['searches']:,} | {r['p50_ms']:.3f} | "
            f"{r['p99_ms']:.3f} | {r['max_ms']:.2f} | {r['p99_over_idle']:.2f} | "
            f"{r['unpublished_returned']} |"
        )
    small = res.get("search_after_small_adds")
    if small:
        out += [
            "",
            "Then, on a copy of the index, 20 rounds per size of adding a few vectors (one thread) and "
            "timing the first one-query search after each:",
            "",
            "| vectors added a round | p50 ms | max ms |",
            "|---:|---:|---:|",
        ]
        out += [f"| {r['added']} | {r['p50_ms']:.2f} | {r['max_ms']:.2f} |" for r in small]
    m = res.get("open_mapped")
    if m:
        out += [
            "",
            "## Serving: opening a saved index mapped",
            "",
            MAPPED_INTRO.format(n=cfg["mapped_n"], dim=cfg["dim"], mib=m["file_bytes"] / 2**20),
            "",
            "| open | s | / full load | anonymous MiB after searches | / file | results as a full load |",
            "|---|---:|---:|---:|---:|---|",
            f"| full load | {m['full_open_s']:.3f} | 1.00 | {m['full_anonymous'] / 2**20:.1f} | "
            f"{m['full_anonymous'] / m['file_bytes']:.2f} | |",
        ]
        for mode in ("mmap", "mmap-verify"):
            r = m[mode]
            out.append(
                f"| {'mmap=True, verify=' + ('True' if mode.endswith('verify') else 'False')} | "
                f"{r['open_s']:.3f} | {r['open_ratio']:.2f} | {r['anonymous'] / 2**20:.1f} | "
                f"{r['anonymous_ratio']:.2f} | {r['same_results']} |"
            )
        out.append(
            f"\nA second process mapping the same file held {m['second_process_private'] / 2**20:.1f} MiB "
            f"of its own ({m['second_process_ratio']:.2f}x the file)."
        )
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, a smoke test")
    ap.add_argument("--json", help="also write the results to this file")
    ap.add_argument("--quantization", help="the index's quantization (default: float rows)")
    ap.add_argument("--searches-only", action="store_true", help="searches during an add alone")
    args = ap.parse_args()
    if args.searches_only:
        del MEASURES["open_mapped"]
    res = run(dict(QUICK if args.quick else FULL, quantization=args.quantization))
    print("\n".join(markdown(res)))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(res, f, indent=1)


if __name__ == "__main__":
    main()
