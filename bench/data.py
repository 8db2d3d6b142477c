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
    base: np.ndarray  # n x dim float64, C-contiguous
    queries: np.ndarray  # q x dim float64
    truth_cache: dict = field(default_factory=dict)
    root: str = ""  # the name of the full data set a prefix comes from

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
        q = queries[s : s + block]
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
    return Dataset(
        "fashion-mnist", np.ascontiguousarray(base, np.float64), np.ascontiguousarray(queries, np.float64)
    )


def fashion_mnist_labels():
    """The class (0..9) of each of the 60,000 training images, in base order."""
    with gzip.open(FMNIST_DIR / "train-labels-idx1-ubyte.gz", "rb") as f:
        raw = f.read()
    magic, n = np.frombuffer(raw[:8], dtype=">u4")
    if magic != 2049:
        raise ValueError(f"not an idx1 label file (magic {magic})")
    return np.frombuffer(raw[8:], np.uint8)[:n].astype(np.int64)


def gaussian(n, dim, nq=1000, seed=0):
    """Independent standard normal components; queries drawn from the same law."""
    rng = np.random.default_rng(seed + 1000 * dim + n)
    return Dataset(
        f"gaussian-{n // 1000}k-{dim}", rng.standard_normal((n, dim)), rng.standard_normal((nq, dim))
    )


def clustered(n, dim, clusters=100, nq=1000, seed=0):
    """A Gaussian mixture: `clusters` centres drawn N(0, I), each cluster an
    ellipsoid of its own orientation (a random rotation) and size, with axis
    scales falling as 1/sqrt(axis) so that most of the spread lies in a few
    directions, as in real embeddings. Cluster weights are uneven.

    The draws come from separate seeded streams, so the set of n vectors is
    the first n of a larger one: the sizes of a growth series are nested
    samples, and every size shares the same queries (drawn from the mixture).
    """
    shape_rng, *streams = (
        np.random.default_rng(s) for s in np.random.SeedSequence([seed, dim, clusters]).spawn(5)
    )
    centres = shape_rng.standard_normal((clusters, dim))
    rotations = [np.linalg.qr(shape_rng.standard_normal((dim, dim)))[0] for _ in range(clusters)]
    sizes = shape_rng.uniform(0.25, 0.6, clusters) / np.sqrt(np.mean(1.0 / np.arange(1, dim + 1)))
    axes = 1.0 / np.sqrt(np.arange(1, dim + 1))
    weights = shape_rng.dirichlet(np.full(clusters, 2.0))

    def draw(label_rng, noise_rng, count):
        # Each stream yields one draw per row, in order: n rows are a prefix of more.
        label = label_rng.choice(clusters, size=count, p=weights)
        noise = noise_rng.standard_normal((count, dim)) * axes
        out = np.empty((count, dim))
        for c in np.unique(label):
            rows = label == c
            # einsum, not BLAS: a BLAS product may round a row differently
            # with the number of rows, and then n rows are no prefix of more.
            out[rows] = centres[c] + sizes[c] * np.einsum("ij,jk->ik", noise[rows], rotations[c])
        return out

    return Dataset(f"clustered-{n // 1000}k-{dim}", draw(*streams[:2], n), draw(*streams[2:], nq))


def unit_rows(x):
    """Each row scaled to unit length (zero rows kept): on such rows the
    Euclidean order is the cosine order, so the exact ground truth holds for
    cosine indexes too."""
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return x / np.where(norms > 0, norms, 1.0)


def fashion_mnist_cosine():
    """Fashion-MNIST's raw pixels at unit length: a few bright pixels carry
    most of each row, the case where codes with one step for every dimension
    waste their levels."""
    ds = fashion_mnist()
    return Dataset("fashion-mnist-cosine", unit_rows(ds.base), unit_rows(ds.queries))


def embedding(n, dim, latent=24, hidden=256, clusters=50, nq=1000, seed=0):
    """Unit-length vectors like a text model's embeddings: a clustered latent
    of `latent` dimensions through a random two-layer map (tanh between), so
    the rows lie near a curved low-dimensional surface of the sphere and a
    few directions carry most of the spread."""
    rng = np.random.default_rng([seed, n, dim, latent])
    centres = rng.standard_normal((clusters, latent)) * 1.5
    w1 = rng.standard_normal((latent, hidden)) / np.sqrt(latent)
    b1 = rng.standard_normal(hidden) * 0.3
    w2 = rng.standard_normal((hidden, dim)) / np.sqrt(hidden) * np.linspace(2.0, 0.2, dim)

    def draw(count):
        z = centres[rng.integers(0, clusters, count)] + rng.standard_normal((count, latent))
        return unit_rows(np.tanh(z @ w1 + b1) @ w2)

    return Dataset(f"embedding-{n // 1000}k-{dim}", draw(n), draw(nq))


def load(name):
    """Data set by name: 'fashion-mnist', 'fashion-mnist-cosine', or
    '<kind>-<n>k-<dim>' with kind 'gaussian', 'clustered' or 'embedding'."""
    if name == "fashion-mnist":
        return fashion_mnist()
    if name == "fashion-mnist-cosine":
        return fashion_mnist_cosine()
    makers = {"gaussian": gaussian, "clustered": clustered, "embedding": embedding}
    kind, n, dim = name.split("-")
    if kind not in makers or not n.endswith("k"):
        raise ValueError(f"unknown data set {name!r}")
    return makers[kind](int(n[:-1]) * 1000, int(dim))
