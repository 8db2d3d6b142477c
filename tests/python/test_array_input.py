"""Arrays (numpy, array.array, memoryview) read directly must give exactly what
the same values given as lists give: stored values, results and errors."""

import array

import hobrin
import numpy as np
import pytest

rng = np.random.default_rng(3)
BASE = rng.standard_normal((40, 5))
QUERIES = rng.standard_normal((4, 5))


def as_lists(x):
    return np.asarray(x, dtype=np.float64).tolist()


ARRAY_FORMS = {
    "float64": lambda x: np.ascontiguousarray(x, dtype=np.float64),
    "float32": lambda x: np.asarray(x, dtype=np.float32),
    "fortran": lambda x: np.asfortranarray(x),
    "strided": lambda x: np.repeat(np.asarray(x), 2, axis=-1)[..., ::2],
    "reversed": lambda x: np.asarray(x)[::-1][::-1],
    "big-endian": lambda x: np.asarray(x, dtype=">f8"),
    "int64": lambda x: np.asarray(np.round(np.asarray(x) * 10), dtype=np.int64),
    "memoryview": lambda x: memoryview(np.ascontiguousarray(x, dtype=np.float64)),
}


def reference(form, x):
    """The values a list-based caller would pass for the same array."""
    return [[float(v) for v in row] for row in np.asarray(ARRAY_FORMS[form](x))]


@pytest.mark.parametrize("form", sorted(ARRAY_FORMS))
@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
def test_flat_arrays_equal_lists(form, metric):
    convert = ARRAY_FORMS[form]
    from_arrays, from_lists = hobrin.PyFlat(5, metric), hobrin.PyFlat(5, metric)
    from_arrays.create(convert(BASE))
    from_lists.create(reference(form, BASE))
    for row in QUERIES[:2]:
        from_arrays.insert(convert(row))
    for row in reference(form, QUERIES[:2]):
        from_lists.insert(row)
    for q, q_list in zip(QUERIES, reference(form, QUERIES)):
        assert from_arrays.search(convert(q), k=50) == from_lists.search(q_list, k=50)


@pytest.mark.parametrize("form", sorted(ARRAY_FORMS))
def test_hnsw_arrays_equal_lists(form):
    convert = ARRAY_FORMS[form]
    from_arrays = hobrin.PyHNSW(5, layers=1, metric="euclidean")
    from_lists = hobrin.PyHNSW(5, layers=1, metric="euclidean")
    from_arrays.create(convert(BASE))
    from_lists.create(reference(form, BASE))
    for q, q_list in zip(QUERIES, reference(form, QUERIES)):
        assert from_arrays.search(convert(q), k=10) == from_lists.search(q_list, k=10)


def test_array_array_and_lists_of_arrays():
    index = hobrin.PyFlat(3)
    index.create([np.array([1.0, 2.0, 3.0]), array.array("d", [4, 5, 6]), array.array("f", [0.1, 0, 0])])
    index.insert(array.array("f", [0.5, 0.25, 0.125]))
    assert index.search([0, 0, 0], k=5)[0] == (2, float(np.float32(0.1)))


def without_buffer(x):
    """The same items in a list, so the outer level is read as a sequence."""
    return list(x) if x.ndim else x


def call(function, *args):
    try:
        function(*args)
    except Exception as error:  # compared below by type and message
        return type(error), str(error)
    return None


@pytest.mark.parametrize(
    "bad",
    [
        np.zeros((2, 4)),
        np.zeros((0, 3)),
        np.zeros(3),
        np.zeros((2, 3, 1)),
        np.zeros((1, 2)),
        np.array([["a", "b", "c"]]),
        np.zeros((2, 3), dtype=complex),
        np.zeros((2, 0)),
    ],
)
def test_bulk_errors_equal_the_sequence_path(bad):
    dims = 3
    as_array, as_list = hobrin.PyFlat(dims), hobrin.PyFlat(dims)
    for ix in (as_array, as_list):
        ix.insert([1, 2, 3])
    assert call(as_array.create, bad) == call(as_list.create, without_buffer(bad))
    assert as_array.search([0, 0, 0], k=10) == as_list.search([0, 0, 0], k=10)


@pytest.mark.parametrize("bad", [np.zeros(()), np.zeros((2, 3)), np.zeros(2), np.array(["1", "2", "3"])])
def test_vector_errors_equal_the_sequence_path(bad):
    index = hobrin.PyFlat(3)
    assert call(index.insert, bad) == call(index.insert, without_buffer(bad))
