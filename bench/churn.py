"""Churn: an index that lives under removals, additions and replacements.

Start with N clustered vectors, then rounds that each remove 10% of the live
vectors, add as many new ones and replace 2% (upsert), all on one thread,
with searches between. After every round: recall@10 at a fixed ef against an
exact scan of the live set, beside a fresh build of the live set with the
same parameters; nbytes against that fresh build's; and the time of the
round's changes against hnswlib (mark_deleted, then add_items with
replace_deleted=True on an index built with allow_replace_deleted=True;
add_items of present labels replaces them) and usearch (remove, then add;
replacement as remove then add), each when installed.

Two variants: "steady" draws new vectors from the clusters of the start,
"drifting" from clusters of their own, a new set every round, as data whose
subject moves on. Float rows and int8 codes (full rows kept beside them).
"""

import time

import data
import numpy as np

K = 10
FULL = {"n": 50_000, "dim": 32, "rounds": 12, "nq": 500, "ef": 64, "m": 16, "ef_construction": 100}
QUICK = {"n": 4_000, "dim": 16, "rounds": 3, "nq": 100, "ef": 64, "m": 16, "ef_construction": 100}
REMOVE, ADD, UPSERT = 0.10, 0.10, 0.02


def _recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)]))


class Stream:
    """The vectors of one variant: the start, then each round's new ones."""

    def __init__(self, cfg, drifting, seed=5):
        self.rng = np.random.default_rng(seed)
        self.dim, self.drifting = cfg["dim"], drifting
        mixture = data.clustered(cfg["n"] * 3, cfg["dim"], nq=cfg["nq"], seed=seed)
        self.pool, self.used = mixture.base.astype(np.float32), cfg["n"]
        self.start = self.pool[: cfg["n"]]
        self.queries = mixture.queries.astype(np.float32)

    def draw(self, count, round_):
        if not self.drifting:
            out = self.pool[self.used : self.used + count]
            self.used += count
            return out
        # New clusters each round, about as spread as the start's.
        centres = self.rng.standard_normal((20, self.dim)) * 1.5 + (round_ + 1) * 0.5
        picks = self.rng.integers(0, 20, count)
        return (centres[picks] + 0.3 * self.rng.standard_normal((count, self.dim))).astype(np.float32)

    def queries_for(self, live_rows):
        """Half the start's queries, half near live vectors (so that drifted
        regions are searched too)."""
        near = live_rows[self.rng.choice(len(live_rows), len(self.queries) // 2, replace=False)]
        near = near + 0.05 * self.rng.standard_normal(near.shape).astype(np.float32)
        return np.concatenate([self.queries[: len(self.queries) - len(near)], near])


def _peers(cfg, start, ids):
    peers = {}
    try:
        import hnswlib

        h = hnswlib.Index(space="l2", dim=cfg["dim"])
        h.init_index(
            cfg["n"] * 2,
            M=cfg["m"],
            ef_construction=cfg["ef_construction"],
            random_seed=1,
            allow_replace_deleted=True,
        )
        h.set_num_threads(1)
        h.add_items(start, ids)
        peers["hnswlib"] = h
    except ImportError:
        pass
    try:
        from usearch.index import Index as UIndex

        u = UIndex(
            ndim=cfg["dim"], metric="l2sq", connectivity=cfg["m"], expansion_add=cfg["ef_construction"]
        )
        u.add(ids, start, threads=1)
        peers["usearch"] = u
    except ImportError:
        pass
    return peers


def _peer_round(name, peer, gone, new_ids, new, changed, replaced):
    t = time.perf_counter()
    if name == "hnswlib":
        for i in gone:
            peer.mark_deleted(int(i))
        peer.add_items(new, new_ids, replace_deleted=True)
        peer.add_items(replaced, changed)
    else:
        peer.remove(gone)
        peer.add(new_ids, new, threads=1)
        peer.remove(changed)
        peer.add(changed, replaced, threads=1)
    return time.perf_counter() - t


def run_variant(cfg, drifting, quantization, log):
    import hobrin_ann

    stream = Stream(cfg, drifting)
    params = {
        "m": cfg["m"],
        "ef_construction": cfg["ef_construction"],
        "seed": 1,
        "quantization": quantization,
    }
    rows = {i: r for i, r in enumerate(stream.start)}
    ids = np.arange(cfg["n"])
    index = hobrin_ann.Index(cfg["dim"], **params)
    index.add(stream.start, ids=ids, threads=2)
    peers = _peers(cfg, stream.start, ids) if quantization is None else {}
    next_id, out = cfg["n"], []
    for round_ in range(cfg["rounds"]):
        live = np.array(sorted(rows))
        gone = stream.rng.choice(live, int(REMOVE * cfg["n"]), replace=False)
        new = stream.draw(int(ADD * cfg["n"]), round_)
        new_ids = np.arange(next_id, next_id + len(new))
        next_id += len(new)
        kept = np.setdiff1d(live, gone)
        changed = stream.rng.choice(kept, int(UPSERT * cfg["n"]), replace=False)
        replaced = stream.draw(len(changed), round_)
        t = time.perf_counter()
        index.remove(gone, threads=1)
        index.add(new, ids=new_ids, threads=1)
        index.upsert(replaced, changed, threads=1)
        took = time.perf_counter() - t
        for i in gone:
            del rows[int(i)]
        rows.update(zip(new_ids.tolist(), new))
        rows.update(zip(changed.tolist(), replaced))
        peer_s = {
            name: _peer_round(name, p, gone, new_ids, new, changed, replaced) for name, p in peers.items()
        }

        live = np.array(sorted(rows))
        live_rows = np.stack([rows[i] for i in live])
        queries = stream.queries_for(live_rows)
        truth = live[data.exact_knn(live_rows, queries, k=K)[0]]
        fresh = hobrin_ann.Index(cfg["dim"], **params)
        fresh.add(live_rows, ids=live, threads=2)
        found = index.search(queries, K, ef=cfg["ef"], threads=1)[0]
        fresh_found = fresh.search(queries, K, ef=cfg["ef"], threads=1)[0]
        entry = {
            "round": round_ + 1,
            "recall": _recall(found, truth),
            "fresh_recall": _recall(fresh_found, truth),
            "nbytes_ratio": index.nbytes / fresh.nbytes,
            "seconds": took,
            **{f"{name}_seconds": s for name, s in peer_s.items()},
        }
        log(
            f"    round {entry['round']}: recall {entry['recall']:.4f} (fresh {entry['fresh_recall']:.4f}), "
            f"nbytes {entry['nbytes_ratio']:.3f}x fresh, {took:.2f} s"
            + "".join(f", {name} {s:.2f} s" for name, s in peer_s.items())
        )
        out.append(entry)
    return out


def run(cfg, log):
    results = {"config": cfg, "variants": []}
    for drifting in (False, True):
        for quantization in (None, "int8"):
            name = f"{'drifting' if drifting else 'steady'}, {quantization or 'float32 rows'}"
            log(f"  churn: {name}")
            rounds = run_variant(cfg, drifting, quantization, log)
            worst_gap = max(r["fresh_recall"] - r["recall"] for r in rounds)
            worst_bytes = max(r["nbytes_ratio"] for r in rounds)
            summary = {
                "variant": name,
                "rounds": rounds,
                "worst_recall_gap": worst_gap,
                "worst_nbytes": worst_bytes,
            }
            for peer in ("hnswlib", "usearch"):
                if f"{peer}_seconds" in rounds[0]:
                    ours = sum(r["seconds"] for r in rounds)
                    summary[f"speed_vs_{peer}"] = sum(r[f"{peer}_seconds"] for r in rounds) / ours
            log(
                f"  {name}: worst recall gap {worst_gap:+.4f}, worst nbytes {worst_bytes:.3f}x"
                + "".join(f", {k} {v:.2f}x" for k, v in summary.items() if k.startswith("speed_vs"))
            )
            results["variants"].append(summary)
    return results


def targets(res):
    """(target, measured, met) rows for the report's table of targets."""
    rows = []
    for v in res["variants"]:
        gap, size = v["worst_recall_gap"], v["worst_nbytes"]
        rows.append(
            (
                f"churn, {v['variant']}: recall@10 below fresh, worst round",
                f"{gap:+.4f} (<= 0.01)",
                gap <= 0.01,
            )
        )
        rows.append(
            (f"churn, {v['variant']}: nbytes / fresh, worst round", f"{size:.3f} (<= 1.15)", size <= 1.15)
        )
        if "speed_vs_hnswlib" in v:
            speed = v["speed_vs_hnswlib"]
            rows.append(
                (f"churn, {v['variant']}: speed vs hnswlib, one thread", f"{speed:.2f}x (>= 2x)", speed >= 2)
            )
    return rows


def markdown(res):
    out = ["", "## Churn", "", f"Settings: {res['config']}.", ""]
    for v in res["variants"]:
        peers = [p for p in ("hnswlib", "usearch") if f"{p}_seconds" in v["rounds"][0]]
        out += [
            f"### {v['variant']}",
            "",
            "| round | recall@10 | fresh | nbytes / fresh | s | "
            + " | ".join(f"{p} s" for p in peers)
            + " |",
        ]
        out.append("|---" * (5 + len(peers)) + "|")
        for r in v["rounds"]:
            cells = [
                r["round"],
                f"{r['recall']:.4f}",
                f"{r['fresh_recall']:.4f}",
                f"{r['nbytes_ratio']:.3f}",
                f"{r['seconds']:.2f}",
            ]
            cells += [f"{r[p + '_seconds']:.2f}" for p in peers]
            out.append("| " + " | ".join(str(c) for c in cells) + " |")
        out.append("")
    return out
