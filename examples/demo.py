"""A short tour of hobrin.

First the main job, hobrin_ann.Index: 100,000 vectors added with a progress
bar, a batch of searches checked against an exact scan, a filtered search, a
save, and a second process that maps the saved file and shares its pages.
Then the module hobrin's two classes, briefly.
"""

import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import hobrin
import numpy as np

import hobrin_ann

N, DIM, QUERIES, K = 100_000, 32, 1_000, 10

# ---- hobrin_ann.Index: the scalable index ------------------------------------

rng = np.random.default_rng(7)
centres = rng.standard_normal((200, DIM)).astype(np.float32) * 4
cluster = rng.integers(0, len(centres), N)
vectors = centres[cluster] + rng.standard_normal((N, DIM)).astype(np.float32)
queries = centres[rng.integers(0, len(centres), QUERIES)] + rng.standard_normal((QUERIES, DIM)).astype(
    np.float32
)
shops = ["north", "south", "east", "west"]
metadata = [[("shop", shops[i % 4]), ("cluster", int(c))] for i, c in enumerate(cluster)]

index = hobrin_ann.Index(DIM, "euclidean", m=16, ef_construction=48, schema=["shop", "cluster"], seed=1)
started = time.perf_counter()
index.add(vectors, metadata=metadata, progress=True)
print(f"added {len(index):,} vectors of dim {DIM} in {time.perf_counter() - started:.1f} s")

started = time.perf_counter()
labels, distances = index.search(queries, k=K, ef=64)
per_query = (time.perf_counter() - started) / QUERIES
exact_labels, _ = index.search(queries, k=K, exact=True)
recall = np.mean([len(set(a) & set(b)) / K for a, b in zip(labels, exact_labels, strict=True)])
print(
    f"searched {QUERIES:,} queries: {per_query * 1e6:.0f} us each, recall@{K} {recall:.3f} against exact=True"
)

shop_labels, _ = index.search(queries[0], k=5, filter=("shop", "east"))
assert all(i % 4 == 2 for i in shop_labels)  # every 4th vector, from id 2, is in the east shop
print("the 5 nearest of the first query in the east shop:", shop_labels.tolist())

# Save, then map the file from a second process: its vectors and links stay
# in the file's pages, which both processes share. The child measures its
# memory before and after the load, so that the interpreter's and numpy's
# own pages are left out: the anonymous memory the index adds of its own
# (ids and upper layers, which nbytes counts, and the metadata), and the
# file's pages in memory (the resident pages of the file's mapping: the load
# reads the links and vectors to check them, and the searches read vectors).
CHILD = """
import sys, numpy as np, hobrin_ann

def memory(path):
    own = in_file = 0
    mapped = None
    for line in open("/proc/self/smaps"):
        parts = line.split()
        if not parts[0].endswith(":"):  # a mapping's first line: address range, ..., path
            mapped = parts[5] if len(parts) > 5 else None
        elif parts[0] == "Anonymous:":
            own += int(parts[1])
        elif parts[0] == "Rss:" and mapped == path:
            in_file += int(parts[1])
    return own / 1024, in_file / 1024

queries = np.load(sys.argv[2])
own_before, _ = memory(sys.argv[1])
index = hobrin_ann.Index.load(sys.argv[1], mmap=True)
labels, _ = index.search(queries, k=10)
own_after, in_file = memory(sys.argv[1])
print(labels[0].tolist(), f"{in_file:.1f}", f"{own_after - own_before:.1f}", f"{index.nbytes / 2**20:.1f}")
"""
with tempfile.TemporaryDirectory() as folder:
    path, batch = Path(folder) / "shop.hbr", Path(folder) / "queries.npy"
    index.save(path)
    np.save(batch, queries[:50])
    size = path.stat().st_size / 2**20
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(path.resolve()), str(batch)], capture_output=True, text=True
    )
    out.check_returncode()
    first, file_pages, own, structure = out.stdout.strip().rsplit(" ", 3)
    assert first == str(labels[0].tolist())
    print(
        f"saved {size:.0f} MiB; a second process mapped the file (mmap=True) and found the same neighbours."
    )
    print(
        f"  Its load and 50 searches brought {file_pages} MiB of the file's pages into memory, shared by"
        " every process that maps the file;"
    )
    print(
        f"  the index added {own} MiB of memory of its own: {structure} MiB of ids and upper layers"
        f" (its nbytes) and the metadata of {N:,} vectors."
    )

# ---- hobrin: PyFlat (exact) and PyHNSW (graph, typed metadata) ----------------

prng = random.Random(42)
small = [[prng.uniform(-1, 1) for _ in range(16)] for _ in range(2000)]
query = [prng.uniform(-1, 1) for _ in range(16)]
flat = hobrin.PyFlat(16)
flat.create(small)
graph = hobrin.PyHNSW(16, metric="euclidean", schema=["color"])
graph.create(small, metadata=[[("color", ["red", "green", "blue"][i % 3])] for i in range(len(small))])
exact_id, exact_distance = flat.search(query, k=1)[0]
best = graph.search(query, k=3)
assert best[0][1] == small[exact_id] and best[0][0] == exact_distance
print("hobrin: PyFlat and PyHNSW agree on the nearest of 2,000 vectors, id", exact_id)
print(
    "hobrin: PyHNSW's 3 nearest blue distances:",
    [round(d, 4) for d, _ in graph.search(query, k=3, filter=("color", "blue"))],
)
