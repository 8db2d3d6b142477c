"""A short tour of hobrin: exact search, graph search, metadata and filters."""

import random

import hobrin

rng = random.Random(42)
vectors = [[rng.uniform(-1, 1) for _ in range(16)] for _ in range(2000)]
query = [rng.uniform(-1, 1) for _ in range(16)]

# Exact search: (id, distance) pairs, nearest first.
flat = hobrin.PyFlat(16)
flat.create(vectors)
print("PyFlat top 3:", flat.search(query, k=3))

# Graph search with a metadata filter: (distance, vector) pairs, nearest first.
colors = ["red", "green", "blue"]
index = hobrin.PyHNSW(16, metric="euclidean", schema=["color", "size"])
index.create(vectors, metadata=[[("color", colors[i % 3]), ("size", i)] for i in range(len(vectors))])
best = index.search(query, k=3)
print("PyHNSW top 3 distances:", [round(d, 6) for d, _ in best])
blue = index.search(query, k=3, filter=("color", "blue"))
print("PyHNSW top 3 blue distances:", [round(d, 6) for d, _ in blue])

# The graph search agrees with the exact one on the nearest neighbour here.
exact_id, exact_distance = flat.search(query, k=1)[0]
assert best[0][1] == vectors[exact_id] and best[0][0] == exact_distance
print("nearest neighbour found by both indexes: id", exact_id)
