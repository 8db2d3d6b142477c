"""Serving from a mapped file: how long Index.load takes with and without
mmap, the anonymous memory a mapped index holds after searching, what a second
process mapping the same file adds, and that the results equal a full load's.

Run alone (python bench/mapped.py [--n N] [--dim D] [--madvise]) or through
bench/run.py's serving section. Each measurement runs in a fresh process, so
that one's memory does not count in another's; the file is read once first,
so every open finds it in the page cache.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# Runs in a child: opens the index as asked, runs the searches, prints JSON.
CHILD = r"""
import json, sys, time
import numpy as np
import hobrin_ann

def memory():
    fields = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1]) * 1024
    return {"anonymous": fields.get("Anonymous", 0),
            "private": fields.get("Private_Clean", 0) + fields.get("Private_Dirty", 0),
            "rss": fields.get("Rss", 0)}

path, mode, queries_path = sys.argv[1], sys.argv[2], sys.argv[3]
queries = np.load(queries_path)
base = memory()
start = time.perf_counter()
if mode == "full":
    index = hobrin_ann.Index.load(path)
else:
    index = hobrin_ann.Index.load(path, mmap=True, verify=(mode == "mmap-verify"))
opened = time.perf_counter() - start
labels = []
start = time.perf_counter()
for q in queries:
    labels.append(index.search(q, k=10, threads=1)[0])
searched = time.perf_counter() - start
after = memory()
batch = index.search(queries, k=10, threads=1)
print(json.dumps({"open_s": opened, "search_s": searched,
                  "anonymous": after["anonymous"] - base["anonymous"],
                  "private": after["private"] - base["private"],
                  "labels": np.asarray(batch[0]).tolist(), "distances": np.asarray(batch[1]).tolist()}))
"""


def child(path, mode, queries_path):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), mode, str(queries_path)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout)


def build(n, dim, folder, log):
    import hobrin_ann

    rng = np.random.default_rng(0)
    base = rng.standard_normal((n, dim)).astype(np.float32)
    queries = rng.standard_normal((1000, dim)).astype(np.float32)
    path = Path(folder) / f"mapped-{n}x{dim}.hobrin"
    start = time.perf_counter()
    index = hobrin_ann.Index(dim, seed=1)
    index.add(base)
    index.save(path)
    mib = path.stat().st_size / 2**20
    log(f"built and saved {n:,} x {dim} in {time.perf_counter() - start:.1f} s ({mib:.0f} MiB)")
    np.save(Path(folder) / "queries.npy", queries)
    return path, Path(folder) / "queries.npy"


def median_open(path, mode, queries_path, rounds):
    runs = [child(path, mode, queries_path) for _ in range(rounds)]
    runs.sort(key=lambda r: r["open_s"])
    return runs[len(runs) // 2]


def run(n=200_000, dim=96, rounds=3, log=print, folder=None):
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        path, queries_path = build(n, dim, tmp, log)
        path.read_bytes()  # into the page cache
        size = path.stat().st_size
        full = median_open(path, "full", queries_path, rounds)
        rows = {"file_bytes": size, "full_open_s": full["open_s"], "full_anonymous": full["anonymous"]}
        for mode in ("mmap", "mmap-verify"):
            r = median_open(path, mode, queries_path, rounds)
            same = r["labels"] == full["labels"] and r["distances"] == full["distances"]
            rows[mode] = {
                "open_s": r["open_s"],
                "open_ratio": r["open_s"] / full["open_s"],
                "anonymous": r["anonymous"],
                "anonymous_ratio": r["anonymous"] / size,
                "first_1000_searches_s": r["search_s"],
                "same_results": same,
            }
        # Two processes: the second maps what the first already mapped and searched.
        first = subprocess.Popen(
            [
                sys.executable,
                "-c",
                CHILD + "\nimport time; time.sleep(30)",
                str(path),
                "mmap",
                str(queries_path),
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        first.stdout.readline()  # it has mapped the file and searched
        second = child(path, "mmap", queries_path)
        first.kill()
        first.wait()
        rows["second_process_private"] = second["private"]
        rows["second_process_ratio"] = second["private"] / size
        rows["full_search_s"] = full["search_s"]
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=96)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    rows = run(args.n, args.dim, args.rounds)
    print(json.dumps(rows, indent=2))


if __name__ == "__main__":
    main()
