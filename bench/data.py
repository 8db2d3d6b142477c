"""Benchmark data sets with exact float64 ground truth, cached under bench/.cache."""

import gzip
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

CACHE = Path(__file__).resolve().parent / ".cache"
FMNIST_DIR = Path(os.environ.get("HOBRIN_FMNIST_DIR", "/usr/share/datasets/fashion-mnist"))
K_TRUTH = 10  # neighbours kept in the ground truth


@dataclass
class Dataset:
    name: str
    base: np.ndarray      # n x dim float64, C-contiguous
    queries: np.ndarray   # q x dim float64
    truth_cache: dict = field(default_factory=dict)
    root: str = ""        # the name of the full data set a prefix comes from

    @property
    def label(self):
        n, d = self.base.shape
        return f"{self.name} ({n:,} x {d})"

    def prefix(self, n):
        """The same data set restricted to its first n base vectors."""
        if n >= len(self.base):
            return self
        root = self.root or self.name
        return Dataset(f"{root}[:{n}]", self.base[:n], self.queries, root=root)

    def truth(self, nq):
        """(ids, distances) of the K_TRUTH nearest base vectors of the first nq queries."""
        key = f"{self.name}-{self.base.shape[0]}x{self.base.shape[1]}-q{nq}"
        if key not in self.truth_cache:
            self.truth_cache[key] = _cached(key, lambda: exact_knn(self.base, self.queries[:nq]))
        return self.truth_cache[key]


def _cached(key, compute):
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"truth-{key.replace('/', '_')}.npz"
    if path.exists():
        z = np.load(path)
        return z["ids"], z["dist"]
    ids, dist = compute()
    np.savez(path, ids=ids, dist=dist)
    return ids, dist


def exact_knn(base, queries, k=K_TRUTH, block=256, margin=32):
    """Exact Euclidean k-NN in float64.

    Candidates come from the BLAS expansion, whose rounding can reorder
    near-equal distances, so a margin of extra candidates is re-ranked by the
    direct sqrt(sum((x - q)^2)). Ties are broken by ascending id.
    """
    base_sq = np.einsum("ij,ij->i", base, base)
    m = min(k + margin, len(base))
    ids = np.empty((len(queries), k), np.int64)
    dist = np.empty((len(queries), k), np.float64)
    for s in range(0, len(queries), block):
        q = queries[s:s + block]
        approx = base_sq[None, :] - 2.0 * (q @ base.T)
        cand = np.argpartition(approx, m - 1, axis=1)[:, :m]
        for r in range(len(q)):
            c = np.sort(cand[r])
            d = np.sqrt(((base[c] - q[r]) ** 2).sum(axis=1))
            order = np.lexsort((c, d))[:k]
            ids[s + r], dist[s + r] = c[order], d[order]
    return ids, dist


def _read_idx_images(path):
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, n, rows, cols = np.frombuffer(raw[:16], dtype=">u4")
    if magic != 2051:
        raise ValueError(f"{path}: not an idx3 image file (magic {magic})")
    return np.frombuffer(raw[16:], np.uint8).reshape(n, rows * cols)


def fashion_mnist():
    """Fashion-MNIST: 60,000 training images as base, 10,000 test images as queries."""
    base = _read_idx_images(FMNIST_DIR / "train-images-idx3-ubyte.gz")
    queries = _read_idx_images(FMNIST_DIR / "t10k-images-idx3-ubyte.gz")
    return Dataset("fashion-mnist", np.ascontiguousarray(base, np.float64),
                   np.ascontiguousarray(queries, np.float64))


def gaussian(n, dim, nq=1000, seed=0):
    """Independent standard normal components; queries drawn from the same law."""
    rng = np.random.default_rng(seed + 1000 * dim + n)
    return Dataset(f"gaussian-{n // 1000}k-{dim}", rng.standard_normal((n, dim)),
                   rng.standard_normal((nq, dim)))


def load(name):
    """Data set by name: 'fashion-mnist' or 'gaussian-<n>k-<dim>'."""
    if name == "fashion-mnist":
        return fashion_mnist()
    kind, n, dim = name.split("-")
    if kind != "gaussian" or not n.endswith("k"):
        raise ValueError(f"unknown data set {name!r}")
    return gaussian(int(n[:-1]) * 1000, int(dim))
