"""Times hobrin_ann.Index.save and Index.load against reading the saved file's
bytes once, and pickling against the same, on random float32 vectors.

    python scripts/index_file_speed.py [count] [dim] [folder]

Defaults: 100000 vectors of dim 128 in the system's temporary folder. Each
figure is the best and the median of seven runs.
"""

import os
import pickle
import sys
import tempfile
import time

import numpy as np

import hobrin_ann


def timed(work, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times), sorted(times)[runs // 2]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    dim = int(sys.argv[2]) if len(sys.argv) > 2 else 128
    folder = sys.argv[3] if len(sys.argv) > 3 else tempfile.gettempdir()
    path = os.path.join(folder, f"hobrin-speed-{os.getpid()}.hbr")
    vectors = np.random.default_rng(0).standard_normal((count, dim), dtype=np.float32)
    index = hobrin_ann.Index(dim, seed=1, ef_construction=100)
    start = time.perf_counter()
    index.add(vectors)
    print(f"built {count} x {dim} in {time.perf_counter() - start:.1f} s")
    try:
        index.save(path)
        size = os.path.getsize(path)

        def read_once():
            with open(path, "rb") as file:
                file.read()

        data = pickle.dumps(index)
        figures = {
            "read the bytes": timed(read_once),
            "load": timed(lambda: hobrin_ann.Index.load(path)),
            "save": timed(lambda: index.save(path)),
            "pickle.dumps": timed(lambda: pickle.dumps(index)),
            "pickle.loads": timed(lambda: pickle.loads(data)),
        }
    finally:
        if os.path.exists(path):
            os.remove(path)
    print(f"file: {size / 1e6:.1f} MB")
    for name, (best, median) in figures.items():
        rate = size / best / 1e9
        print(f"{name:15s} best {best * 1e3:7.1f} ms, median {median * 1e3:7.1f} ms ({rate:.2f} GB/s)")
    read, load = figures["read the bytes"], figures["load"]
    print(f"load / read: best {load[0] / read[0]:.2f}, median {load[1] / read[1]:.2f}")


if __name__ == "__main__":
    main()
