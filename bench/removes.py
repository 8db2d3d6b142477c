"""Searches during removes: the latency of single-query searches on one thread,
idle and while another thread removes batches from the same index, against
two controls that make the cores do the same work with nothing of the index
in common: the same removes on a copy of the index in this process, and in
another process (no GIL shared either). Where the index makes searches wait,
the first row stands above the controls; where only the cores are shared,
the three agree.

    .venv/bin/python bench/removes.py [--n 50000] [--dim 32] [--batch 500] [--rounds 20] [--threads 1]
"""

import argparse
import copy
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import hobrin_ann


def latencies(index, queries, until=None, count=2000):
    """Milliseconds of one-query searches (k=10, ef=64, threads=1) back to
    back: ``count`` of them, or with ``until`` until that event is set."""
    out, i = [], 0
    while (until is None and i < count) or (until is not None and not until.is_set()):
        started = time.perf_counter()
        index.search(queries[i % len(queries)], 10, ef=64, threads=1)
        out.append(time.perf_counter() - started)
        i += 1
    return np.array(out) * 1e3


def beside(searched, work, queries):
    """Searches ``searched`` while ``work`` runs in another thread."""
    done = threading.Event()

    def run():
        try:
            work()
        finally:
            done.set()

    worker = threading.Thread(target=run)
    worker.start()
    times = latencies(searched, queries, until=done)
    worker.join()
    return times


CHILD = """
import sys, numpy as np, hobrin_ann
index = hobrin_ann.Index.load(sys.argv[1])
order = np.random.default_rng(1).permutation(len(index))
batch, rounds, threads = map(int, sys.argv[2:5])
print("ready", flush=True)
sys.stdin.readline()
for r in range(rounds):
    index.remove(order[r * batch : (r + 1) * batch], threads=threads)
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=50_000)
    ap.add_argument("--dim", type=int, default=32)
    ap.add_argument("--batch", type=int, default=500)
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--threads", type=int, default=1, help="threads of each remove (0: every core)")
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    base = hobrin_ann.Index(args.dim, m=16, ef_construction=100, seed=1)
    base.add(rng.standard_normal((args.n, args.dim), dtype=np.float32))
    queries = rng.standard_normal((2000, args.dim), dtype=np.float32)
    order = np.random.default_rng(1).permutation(args.n)

    def removes(index):
        def work():
            for r in range(args.rounds):
                index.remove(order[r * args.batch : (r + 1) * args.batch], threads=args.threads)

        return work

    rows = [("idle", latencies(base, queries))]
    trial = copy.deepcopy(base)
    rows.append(("during removes, same index", beside(trial, removes(trial), queries)))
    rows.append(("control: removes on a copy", beside(base, removes(copy.deepcopy(base)), queries)))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "base.hidx")
        base.save(path)
        numbers = [str(args.batch), str(args.rounds), str(args.threads)]
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, path, *numbers],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        child.stdout.readline()
        child.stdin.write("go\n")
        child.stdin.flush()
        rows.append(("control: another process", beside(base, child.wait, queries)))
    rows.append(("idle again", latencies(base, queries)))
    idle = np.percentile(np.concatenate([rows[0][1], rows[-1][1]]), 99)
    print(
        f"{args.n:,} x {args.dim} float32, {args.rounds} removes of {args.batch:,} on {args.threads} "
        f"thread(s), {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}"
    )
    print("| state | searches | p50 ms | p99 ms | max ms | > 1 ms | p99 / idle |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, ms in rows:
        p99 = np.percentile(ms, 99)
        print(
            f"| {name} | {ms.size:,} | {np.percentile(ms, 50):.3f} | {p99:.3f} | {ms.max():.2f} | "
            f"{100 * np.mean(ms > 1):.2f}% | {p99 / idle:.2f} |"
        )


if __name__ == "__main__":
    main()
