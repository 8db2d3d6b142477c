"""What a hostile caller tried on hobrin_ann.Index: queries far outside the
codes' range, files whose sizes promise gigabytes, mapped files changed in
place, flags given as strings, and data that codes would silently flatten.
Each answer is a sound result or a clear exception, never a crash, a hang,
a huge allocation or a wrong distance."""

import errno
import resource
import shutil

import numpy as np
import pytest

from test_ann_persist import join, split

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

RNG = np.random.default_rng(30)


# ---- codes: queries far outside the learned range ---------------------------


def decoded_distances(index, queries, labels):
    """The distances the codes stand for: those to the decoded vectors."""
    rows = index.get(labels.ravel()).astype(np.float64).reshape(*labels.shape, -1)
    q = queries.astype(np.float64)[:, None, :]
    if index.metric == "euclidean":
        return np.sqrt(((q - rows) ** 2).sum(axis=2))
    if index.metric == "cosine":
        q = q / np.linalg.norm(q, axis=2, keepdims=True)
    return 1.0 - (q * rows).sum(axis=2)


@pytest.mark.parametrize("dim", [64, 128, 200])
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize("quantization", ["float16", "int8", "int4"])
def test_far_queries_get_finite_distances_within_the_codes_error(quantization, metric, dim):
    # Uniform [0, 1) data: one int8 step is 1/255, so a shift of 60 puts the
    # query's levels near the top of their range (16383) and 1e4 beyond it.
    data = RNG.uniform(0, 1, (300, dim)).astype(np.float32)
    index = Index(dim, metric, quantization=quantization, keep_vectors=False, seed=1)
    index.add(data, threads=1)
    for shift in (0.0, 20.0, 60.0, -60.0, 1e4, -1e4):
        queries = data[:3] + np.float32(shift)
        for exact in (True, False):
            labels, distances = index.search(queries, k=3, exact=exact)
            assert np.isfinite(distances).all(), (shift, exact)
            expected = decoded_distances(index, queries, labels)
            # The integer forms round the query to levels of a 16383th of its
            # largest value: int8 and int4 (scaled per vector) then rank every
            # metric by the dot product with the codes, off by at most that
            # rounding times each vector's step times its codes' sum (at most
            # its spread times dim), in the squared distance for Euclidean.
            scale = np.abs(queries).max() * np.abs(data).max() * dim
            if metric == "euclidean" and quantization != "float16":
                spread = float((data.max(1) - data.min(1)).max())
                slack = np.abs(queries).max() * spread * dim / 16383
                np.testing.assert_allclose(distances**2, expected**2, rtol=2e-4, atol=slack + 1e-4)
                continue
            slack = scale / 16383
            np.testing.assert_allclose(distances, expected, rtol=1e-4, atol=slack + 1e-4)


# ---- files whose sizes promise more than they hold -------------------------


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


@pytest.mark.parametrize("quantization", ["float16", "int8", "int4"])
@pytest.mark.parametrize("dim", [10**9, 10**14, 2**62])
def test_a_huge_dimension_is_refused_before_anything_is_allocated(quantization, dim, tmp_path):
    index = Index(8, "cosine", quantization=quantization, seed=1)
    index.add(RNG.standard_normal((40, 8)), threads=1)
    preamble, sections = split(index._core.to_bytes(64))
    sections["PARM"][0:8] = dim.to_bytes(8, "little")
    data = join(preamble, sections)  # checksums recomputed
    path = tmp_path / "huge.hbr"
    path.write_bytes(data)
    before = peak_rss_bytes()
    loads = [
        lambda: hobrin_ann._core.GraphIndex.from_bytes(data),
        lambda: Index.load(path),
        lambda: Index.load(path, mmap=True, verify=False),
    ]
    for load in loads:
        with pytest.raises(ValueError, match="^corrupt index file: the file is too short"):
            load()
    assert peak_rss_bytes() - before < 256 * 2**20


# ---- mapped files changed in place ------------------------------------------


def served(tmp_path, n=300):
    path = tmp_path / "served.hbr"
    index = Index(16, seed=2)
    index.add(RNG.standard_normal((n, 16)), threads=1)
    index.save(path)
    return path, Index.load(path, mmap=True)


def copy_over(path, tmp_path):
    other = Index(16, m=4, seed=3)
    other.add(RNG.standard_normal((900, 16)), threads=1)
    other.save(tmp_path / "other.hbr")
    shutil.copyfile(tmp_path / "other.hbr", path)  # written in place, as cp does


def zero_fill(path, tmp_path):
    size = path.stat().st_size
    with open(path, "r+b") as file:
        file.write(bytes(size))


def truncate(path, tmp_path):
    with open(path, "r+b") as file:
        file.truncate(4096)


CALLS = {
    "search": lambda m: m.search(np.zeros(16), k=5),
    "exact search": lambda m: m.search(np.zeros(16), k=5, exact=True),
    "in": lambda m: 3 in m,
    "contains_many": lambda m: m.contains_many([1, 2, 3]),
    "get": lambda m: m.get([3]),
    "allow-list": lambda m: m.search(np.zeros(16), k=5, filter=[1, 2, 3]),
    "save": lambda m: m.save(m._saved_to),
    "compact": lambda m: m.compact(threads=1),
}


@pytest.mark.parametrize("change", [copy_over, zero_fill, truncate])
def test_a_mapped_file_changed_in_place_is_refused_on_the_next_call(change, tmp_path):
    path, mapped = served(tmp_path)
    mapped._saved_to = tmp_path / "copy.hbr"
    change(path, tmp_path)
    for name, call in CALLS.items():
        with pytest.raises(OSError, match="changed after it was mapped.*load it again") as caught:
            call(mapped)
        assert caught.value.errno == errno.ESTALE, name
    assert len(mapped) == 300  # what needs no file page still answers


def test_a_file_renamed_over_the_mapped_one_changes_nothing_it_serves(tmp_path):
    path, mapped = served(tmp_path)
    before = mapped.search(np.ones(16), k=5)
    newer = Index(16, seed=4)
    newer.add(RNG.standard_normal((50, 16)), threads=1)
    newer.save(tmp_path / "new.hbr")
    (tmp_path / "new.hbr").rename(path)  # the safe way to replace a served file
    for got, want in zip(mapped.search(np.ones(16), k=5), before):
        np.testing.assert_array_equal(got, want)
    assert Index.load(path).search(np.ones(16), k=5)[0].tolist() != before[0].tolist()


# ---- flags --------------------------------------------------------------------


def saved(tmp_path):
    index = Index(4, seed=1)
    index.add(RNG.standard_normal((20, 4)), threads=1)
    index.save(tmp_path / "flags.hbr")
    return index, tmp_path / "flags.hbr"


@pytest.mark.parametrize("bad", ["no", "False", [0], None, 1, 0.0])
def test_flags_take_booleans_only(bad, tmp_path):
    index, path = saved(tmp_path)
    before = index.search(np.zeros(4), k=3)
    refused = {
        "mmap": lambda: Index.load(path, mmap=bad),
        "verify": lambda: Index.load(path, verify=bad),
        "exact": lambda: index.search(np.zeros(4), k=3, exact=bad),
        "progress": lambda: index.add(np.ones((2, 4)), progress=bad),
        "keep_vectors": lambda: Index(4, quantization="int8", keep_vectors=bad),
    }
    for name, call in refused.items():
        with pytest.raises(TypeError, match=f"^{name} must be True or False, got "):
            call()
    assert len(index) == 20
    for got, want in zip(index.search(np.zeros(4), k=3), before):
        np.testing.assert_array_equal(got, want)


def test_numpy_booleans_are_flags(tmp_path):
    index, path = saved(tmp_path)
    assert Index.load(path, mmap=np.True_, verify=np.False_).mapped
    assert not Index(4, quantization="int8", keep_vectors=np.False_).keep_vectors
    index.add(np.ones((1, 4)), progress=np.False_)
    assert index.search(np.zeros(4), k=3, exact=np.True_)[0].size == 3


# ---- data that codes would flatten --------------------------------------------

FLATTENED = {
    "above float16": ("float16", "float32", 1e5, "above 65504, the largest float16 code"),
    "below float16": ("float16", "float64", 1e-10, "smallest float16 code"),
    "int8 step underflows": ("int8", "float64", 1e-50, "too little for int8 codes"),
    "int4 step underflows": ("int4", "float64", 1e-50, "too little for int4 codes"),
}


@pytest.mark.parametrize("case", FLATTENED)
def test_data_codes_would_flatten_is_refused(case):
    quantization, dtype, scale, message = FLATTENED[case]
    index = Index(8, quantization=quantization, dtype=dtype, seed=1)
    with pytest.raises(ValueError, match=message):
        index.add(RNG.standard_normal((30, 8)) * scale, threads=1)
    assert len(index) == 0
    # Cosine codes hold unit rows, where any finite scale fits.
    cosine = Index(8, "cosine", quantization=quantization, dtype=dtype, seed=1)
    data = RNG.standard_normal((30, 8)) * scale
    cosine.add(data, threads=1)
    assert cosine.search(data[:5], k=1)[0].ravel().tolist() == list(range(5))
