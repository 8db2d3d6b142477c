"""One-thread search speed of a mapped index beside a fully loaded one: single
queries (one call each, so a per-call cost shows) and a batch of them.

    python bench/mapped_qps.py [--n N] [--dim D] [--rounds R]

Run it with two builds on the path in turn to compare them; each figure is
the best of R rounds, the file in the page cache.
"""

import argparse
import json
import tempfile
import time
from pathlib import Path

import numpy as np

import hobrin_ann


def best_rate(call, count, rounds):
    best = 0.0
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = max(best, count / (time.perf_counter() - start))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=96)
    parser.add_argument("--queries", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "index.hbr"
        built = hobrin_ann.Index(args.dim, seed=1)
        built.add(data)
        built.save(path)
        out = {}
        for mode in ("full", "mapped"):
            index = hobrin_ann.Index.load(path, mmap=mode == "mapped")
            index.search(queries, k=10, threads=1)  # pages in, caches warm

            def one_by_one(index=index):
                for query in queries:
                    index.search(query, k=10, threads=1)

            out[mode] = {
                "single q/s": round(best_rate(one_by_one, len(queries), args.rounds)),
                "batch q/s": round(
                    best_rate(
                        lambda index=index: index.search(queries, k=10, threads=1), len(queries), args.rounds
                    )
                ),
            }
        print(json.dumps({"n": args.n, "dim": args.dim, "hobrin_ann": hobrin_ann.__file__, **out}))


if __name__ == "__main__":
    main()
