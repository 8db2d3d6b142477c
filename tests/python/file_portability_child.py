"""The other machine's half of test_file_portability: run as
`python file_portability_child.py FOLDER` by an interpreter of another
architecture. It loads the index files the test saved in FOLDER, searches
them, saves them again, builds the same indexes from the same data itself and
saves those; every result goes to FOLDER as .npz files for the test to
compare."""

import sys
from pathlib import Path

import hobrin
import numpy as np

import hobrin_ann

# name -> (Index arguments, whether rows get metadata); each index is built
# from data.npy with these and with the removals below.
CONFIGS = {
    "float32-euclidean": dict(dtype="float32", metric="euclidean", schema=["color", "size"]),
    "float64-cosine": dict(dtype="float64", metric="cosine", schema=None),
}
REMOVED = [3, 10, 11]


def build(name, data):
    options = CONFIGS[name]
    index = hobrin_ann.Index(data.shape[1], m=8, ef_construction=60, ef_search=33, seed=5, **options)
    metadata = [[("color", ["red", "blue"][i % 2]), ("size", i % 5)] for i in range(len(data))]
    index.add(data, metadata=metadata if options["schema"] else None, threads=1)
    index.remove(REMOVED)
    return index


def results(index, queries):
    """Everything a loaded index answers: graph, exact and filtered searches,
    and the stored vectors."""
    out = {}
    out["graph_labels"], out["graph_distances"] = index.search(queries, 8)
    out["exact_labels"], out["exact_distances"] = index.search(queries, 8, exact=True)
    if index.schema:
        out["red_labels"], out["red_distances"] = index.search(queries, 8, filter=("color", "red"))
    out["live"] = np.array([i for i in range(len(index) + len(REMOVED)) if i in index])
    out["vectors"] = index.get(out["live"])
    return out


def exact_cores(data, queries):
    """PyFlat's and PyHNSW's answers, distances as their exact bits."""
    rows, probes = data.tolist(), queries.tolist()
    flat = hobrin.PyFlat(data.shape[1], "cosine")
    flat.create(rows)
    hnsw = hobrin.PyHNSW(data.shape[1], metric="euclidean")
    hnsw.create(rows)
    flat_found = [flat.search(q, k=5) for q in probes]
    hnsw_found = [hnsw.search(q, k=5) for q in probes]
    return {
        "flat_ids": np.array([[i for i, _ in found] for found in flat_found]),
        "flat_bits": np.array([[d for _, d in found] for found in flat_found]).view(np.uint64),
        "hnsw_bits": np.array([[d for d, _ in found] for found in hnsw_found]).view(np.uint64),
        "hnsw_vectors": np.array([[v for _, v in found] for found in hnsw_found]),
    }


def main(folder):
    data = np.load(folder / "data.npy")
    queries = np.load(folder / "queries.npy")
    for name in CONFIGS:
        loaded = hobrin_ann.Index.load(str(folder / f"{name}.here.hbr"))
        np.savez(folder / f"{name}.here-read-there.npz", **results(loaded, queries))
        loaded.save(folder / f"{name}.here-saved-there.hbr")
        own = build(name, data)
        own.save(folder / f"{name}.there.hbr")
        np.savez(folder / f"{name}.there.npz", **results(own, queries))
    np.savez(folder / "cores.there.npz", **exact_cores(data, queries))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
