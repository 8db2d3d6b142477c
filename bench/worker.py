"""Measures one build in a process of its own and prints JSON.

Used to set hobrin against its own scalar path: run once with the normal
build and once with --hobrin-path pointing at the scalar-kernel build; and
for the memory an approximate index takes (--task ann-build), which only a
process that has built nothing before shows.
"""

import argparse
import json
import sys
from pathlib import Path

import numpy as np


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hobrin-path", help="directory holding the hobrin module to load")
    ap.add_argument("--task", choices=["flat", "hnsw", "ann-build"], required=True)
    ap.add_argument("--dataset", required=True)
    ap.add_argument("--n", type=int, help="use the first n base vectors")
    ap.add_argument("--nq", type=int, default=200)
    ap.add_argument("--budget", type=float, default=5.0, help="seconds of PyFlat searching")
    ap.add_argument("--layers", type=int, default=5)
    ap.add_argument("--efc", type=int, default=200)
    ap.add_argument("--ef", type=int, default=50)
    ap.add_argument("--method", help="ann-build: a name in ann.METHODS or quantized.METHODS")
    ap.add_argument("--threads", type=int, default=1, help="ann-build: build threads")
    args = ap.parse_args()

    if args.task == "ann-build":
        import ann
        import data

        ds = data.load(args.dataset)
        if args.n:
            ds = ds.prefix(args.n)
        methods = ann.METHODS
        if args.method not in methods:
            import quantized

            methods = quantized.METHODS
        base32 = np.ascontiguousarray(ds.base, np.float32)
        del ds
        index, out = ann.build(args.method, base32, args.threads, methods)
        out["unreachable"] = ann.unreachable(args.method, index, base32, methods)
        json.dump(out, sys.stdout)
        return

    if args.hobrin_path:
        sys.path.insert(0, str(Path(args.hobrin_path).resolve()))
    import hobrin

    if args.hobrin_path and not hobrin.__file__.startswith(str(Path(args.hobrin_path).resolve())):
        sys.exit(f"loaded {hobrin.__file__}, not the build in {args.hobrin_path}")

    import data
    import exact
    import graph
    from timing import time_methods

    ds = data.load(args.dataset)
    if args.n:
        ds = ds.prefix(args.n)
    queries = ds.queries[: args.nq]
    out = {"hobrin": hobrin.__file__, "dataset": ds.label}
    if args.task == "flat":
        index, out["create_s"], _ = exact.build_flat(hobrin, ds.base)
        search = exact.flat_search_fn(index, queries[0])
        timed = time_methods([("flat", search)], queries, args.budget, 10, args.nq)["flat"]
        out.update(qps=timed["qps"], nq=timed["n"])
    else:
        point, faults = graph.measure_pyhnsw(hobrin, ds, args.layers, args.efc, args.ef, args.nq)
        out.update(point, faults=faults)
    json.dump(out, sys.stdout, default=lambda x: x.item() if isinstance(x, np.generic) else str(x))


if __name__ == "__main__":
    main()
