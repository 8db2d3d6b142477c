"""Loading with mmap=True: the same results as a full load, a read-only index
that refuses changes and stays as it was, copies that are indexes of their
own, damaged files refused whatever verify says, and files of version 1
(written before rows were aligned) still loading."""

import json
import pathlib
import pickle

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

DATA = pathlib.Path(__file__).parent / "saved_indexes"
RNG = np.random.default_rng(5)
BASE = RNG.standard_normal((600, 13))
QUERIES = RNG.standard_normal((25, 13))


def build(metric="euclidean", dtype="float32"):
    index = Index(13, metric, dtype=dtype, m=6, ef_construction=40, seed=3, schema=["part"])
    index.add(BASE, metadata=[[("part", i % 4)] for i in range(len(BASE))], threads=1)
    index.remove([7, 8, 300])
    return index


def results(index):
    return (
        index.search(QUERIES, k=6, threads=1),
        index.search(QUERIES, k=6, exact=True, threads=1),
        index.search(QUERIES, k=6, filter=("part", 2), threads=1),
    )


def assert_same(a, b):
    for (labels_a, dist_a), (labels_b, dist_b) in zip(results(a), results(b), strict=True):
        np.testing.assert_array_equal(labels_a, labels_b)
        np.testing.assert_array_equal(dist_a, dist_b)


@pytest.mark.parametrize(
    "metric,dtype", [("euclidean", "float32"), ("cosine", "float64"), ("inner_product", "float32")]
)
@pytest.mark.parametrize("verify", [True, False])
def test_a_mapped_index_answers_as_the_loaded_one(metric, dtype, verify, tmp_path):
    index = build(metric, dtype)
    path = tmp_path / "index.hobrin"
    index.save(path)
    mapped = Index.load(path, mmap=True, verify=verify)
    assert mapped.mapped and not Index.load(path).mapped
    assert_same(mapped, index)
    assert len(mapped) == len(index) and 7 not in mapped and 9 in mapped
    np.testing.assert_array_equal(mapped.get([0, 599]), index.get([0, 599]))
    assert mapped.nbytes < index.nbytes  # the rows stay in the file's pages


def test_a_mapped_index_refuses_changes_and_stays_as_it_was(tmp_path):
    path = tmp_path / "index.hobrin"
    build().save(path)
    mapped = Index.load(path, mmap=True)
    before = results(mapped)
    for change in (
        lambda: mapped.add(BASE[:2]),
        lambda: mapped.remove([1]),
        lambda: mapped.add(BASE[0], ids=[9999]),
    ):
        with pytest.raises(ValueError, match="memory-mapped and read-only"):
            change()
    assert len(mapped) == 597 and 1 in mapped
    for (labels_a, _), (labels_b, _) in zip(before, results(mapped), strict=True):
        np.testing.assert_array_equal(labels_a, labels_b)


def test_copies_of_a_mapped_index_are_indexes_of_their_own(tmp_path):
    path = tmp_path / "index.hobrin"
    index = build()
    index.save(path)
    mapped = Index.load(path, mmap=True)
    compacted = mapped.compact(threads=1)
    assert not compacted.mapped and len(compacted) == len(mapped)
    compacted.add(BASE[:3], ids=[7, 8, 300])
    unpickled = pickle.loads(pickle.dumps(mapped))
    assert not unpickled.mapped
    assert_same(unpickled, index)
    mapped.save(tmp_path / "copy.hobrin")
    assert (tmp_path / "copy.hobrin").read_bytes() == path.read_bytes()


def test_saving_over_a_mapped_file_leaves_the_mapped_index_whole(tmp_path):
    path = tmp_path / "index.hobrin"
    index = build()
    index.save(path)
    mapped = Index.load(path, mmap=True)
    other = Index(13, seed=1)
    other.add(RNG.standard_normal((50, 13)))
    other.save(path)
    assert_same(mapped, index)
    assert len(Index.load(path, mmap=True)) == 50


def small_file(tmp_path):
    path = tmp_path / "small.hobrin"
    index = Index(5, m=2, seed=1)
    index.add(RNG.standard_normal((30, 5)))
    index.save(path)
    return path, path.read_bytes()


def section_at(data, tag):
    """Where the payload of section `tag` starts."""
    at = 64
    while data[at : at + 4] != tag:
        at += -(-(68 + int.from_bytes(data[at + 8 : at + 16], "little")) // 64) * 64
    return at + 64


@pytest.mark.parametrize("verify", [True, False])
def test_damaged_structure_is_refused_whatever_verify_says(verify, tmp_path):
    path, data = small_file(tmp_path)
    for end in range(0, len(data), 7):
        path.write_bytes(data[:end])
        with pytest.raises(ValueError, match="^corrupt index file"):
            Index.load(path, mmap=True, verify=verify)
    damaged = bytearray(data)
    damaged[section_at(data, b"LNK0")] ^= 0x40  # a link out of range, or a checksum that fails
    path.write_bytes(damaged)
    with pytest.raises(ValueError, match="^corrupt index file"):
        Index.load(path, mmap=True, verify=verify)


def test_verify_decides_whether_damaged_rows_are_found(tmp_path):
    path, data = small_file(tmp_path)
    rows = section_at(data, b"VECT")
    flipped = bytearray(data)
    flipped[rows] ^= 1  # still a finite value: only the checksum tells
    path.write_bytes(flipped)
    with pytest.raises(ValueError, match="VECT section: checksum mismatch"):
        Index.load(path, mmap=True)
    assert len(Index.load(path, mmap=True, verify=False)) == 30
    unfinite = bytearray(data)
    unfinite[rows : rows + 4] = np.float32(np.nan).tobytes()
    path.write_bytes(unfinite)
    for verify in (True, False):  # a copy checks every value it copies
        with pytest.raises(ValueError, match="vector 0 holds a value that is not finite"):
            Index.load(path, verify=verify)
    unchecked = Index.load(path, mmap=True, verify=False)
    labels, _ = unchecked.search(RNG.standard_normal((4, 5)), k=3)  # answers, if not well
    assert labels.shape == (4, 3)


@pytest.mark.parametrize("name", ["v1_euclidean_f32", "v1_cosine_f64"])
@pytest.mark.parametrize("mmap", [False, True])
def test_files_of_version_1_still_load(name, mmap):
    expected = json.loads((DATA / "v1_expected.json").read_text())[name]
    index = Index.load(DATA / f"{name}.hobrin", mmap=mmap)
    assert not index.mapped and len(index) == 198 and 1003 not in index and 1004 in index
    labels, distances = index.search(np.array(expected["queries"], dtype=index.dtype), k=4)
    np.testing.assert_array_equal(labels, expected["labels"])
    np.testing.assert_allclose(distances, expected["distances"], rtol=1e-6, atol=1e-6)
    found, _ = index.search(np.array(expected["queries"]), k=4, filter=("colour", "blue"))
    assert all(label % 2 == 1 for label in found.ravel() if label >= 0)
