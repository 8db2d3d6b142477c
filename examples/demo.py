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
# in the file's pages, which both processes share.
CHILD = """
import sys, numpy as np, hobrin_ann
index = hobrin_ann.Index.load(sys.argv[1], mmap=True)
labels, _ = index.search(np.load(sys.argv[2]), k=10)
fields = {}
for line in open("/proc/self/smaps_rollup"):
    parts = line.split()
    if len(parts) == 3 and parts[2] == "kB":
        fields[parts[0].rstrip(":")] = int(parts[1]) / 1024
print(labels[0].tolist(), round(fields["Shared_Clean"] + fields["Private_Clean"]), round(fields["Anonymous"]))
"""
with tempfile.TemporaryDirectory() as folder:
    path, batch = Path(folder) / "shop.hobrin", Path(folder) / "queries.npy"
    index.save(path)
    np.save(batch, queries[:50])
    size = path.stat().st_size / 2**20
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(batch)], capture_output=True, text=True)
    out.check_returncode()
    first, file_pages, own = out.stdout.strip().rsplit(" ", 2)
    assert first == str(labels[0].tolist())
    print(
        f"saved {size:.0f} MiB; a second process mapped the file (mmap=True) and found the same neighbours,"
    )
    print(
        f"  reading {file_pages} MiB of file pages that processes share, with {own} MiB of memory of its own"
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
