"""Data that breaks naive indexes: many copies of one vector (the same text
embedded twice, empty documents) must not cut the graph apart, and values
near the ends of the dtype's range must be ranked correctly or refused."""

import numpy as np
import pytest

from hobrin_ann import Index

COPIES, DISTINCT, DIM = 3000, 1000, 16


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize("copies_first", [True, False])
def test_copies_of_one_vector_keep_the_graph_searchable(metric, copies_first):
    rng = np.random.default_rng(7)
    copied = rng.standard_normal(DIM).astype(np.float32)
    distinct = rng.standard_normal((DISTINCT, DIM)).astype(np.float32)
    index = Index(DIM, metric, seed=1)
    if copies_first:
        copy_ids = index.add(np.tile(copied, (COPIES, 1)))
        ids = index.add(distinct)
    else:
        ids = index.add(distinct)
        copy_ids = index.add(np.tile(copied, (COPIES, 1)))

    found, _ = index.search(distinct, k=1)
    truth, _ = index.search(distinct, k=1, exact=True)
    # By inner product a vector need not be its own nearest: compare with the scan.
    assert np.mean(found[:, 0] == truth[:, 0]) >= 0.95
    if metric != "inner_product":
        assert np.mean(found[:, 0] == ids) >= 0.95

    for k in (10, 50):
        labels, distances = index.search(copied, k=k)
        _, exact = index.search(copied, k=k, exact=True)
        np.testing.assert_allclose(distances, exact, rtol=1e-6)
        if metric != "inner_product":  # by inner product others can lie nearer
            assert np.isin(labels, copy_ids).all(), k


def test_a_small_pile_of_copies_returns_k_of_them():
    index = Index(8, seed=1)
    index.add(np.ones((100, 8), np.float32))
    labels, distances = index.search(np.ones(8, np.float32), k=50)
    assert (labels >= 0).all() and (distances == 0).all()


def test_zero_vectors_in_a_cosine_index_do_not_trap_searches():
    rng = np.random.default_rng(3)
    others = rng.standard_normal((500, 8)).astype(np.float32)
    index = Index(8, "cosine", seed=1)
    index.add(np.zeros((100, 8), np.float32))
    ids = index.add(others)
    found, _ = index.search(others, k=1)
    assert np.mean(found[:, 0] == ids) >= 0.95


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_the_magnitude_limit_holds_to_the_last_value_and_names_the_row(dtype):
    """The largest value of the dtype within the limit is taken, the next is
    refused, and NaN or infinity is found in any row of a batch."""
    dim = 3
    limit = float(np.sqrt(float(np.finfo(dtype).max) / (4 * dim)))
    inside = np.asarray(limit, dtype)
    if float(inside) > limit:
        inside = np.nextafter(inside, np.asarray(0, dtype))
    outside = np.nextafter(inside, np.asarray(np.inf, dtype))
    index = Index(dim, dtype=dtype)
    rows = np.zeros((50, dim), dtype)
    rows[7, 1], rows[8, 2] = inside, -inside
    index.add(rows)
    for bad, message in (
        (outside, "row 33 holds a value"),
        (-outside, "row 33 holds a value"),
        (np.nan, "row 33 contains NaN"),
        (-np.inf, "row 33 contains NaN"),
    ):
        queries = np.zeros((40, dim), dtype)
        queries[33, 2] = bad
        with pytest.raises(ValueError, match=message):
            index.search(queries)
        with pytest.raises(ValueError, match=message):
            index.add(queries)
    assert len(index) == 50


@pytest.mark.parametrize("scale", [1e200, 1e-170, 1e-300])
def test_cosine_rows_of_extreme_magnitude_are_scaled_to_unit_length(scale):
    index = Index(2, "cosine", dtype="float64")
    index.add(np.array([[scale, scale], [scale, -scale]]))
    np.testing.assert_allclose(index.get([0, 1]), np.sqrt(0.5) * np.array([[1, 1], [1, -1]]))
    labels, distances = index.search([1.0, 1.0], k=2)
    assert labels.tolist() == [0, 1]
    np.testing.assert_allclose(distances, [0.0, 1.0], atol=1e-12)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_values_too_large_to_rank_are_refused_and_the_rest_ranked_finitely(metric, dtype):
    dim = 2
    limit = np.sqrt(np.finfo(dtype).max / (4 * dim))
    index = Index(dim, metric, dtype=dtype)
    index.add([[0.0, 0.0]])
    with pytest.raises(ValueError, match="above .* the most a .* index .* can rank"):
        index.add([[1.0, 1.0], [limit * 1.5, 0.0]])
    assert len(index) == 1
    with pytest.raises(ValueError, match="queries: row 0 holds a value"):
        index.search([-limit * 1.5, 0.0])
    big = limit * 0.99
    index.add([[big, 0.0], [big / 2, 0.0], [-big, -big]])
    labels, distances = index.search([big, big], k=4, exact=True)
    assert np.isfinite(distances).all()
    graph_labels, graph_distances = index.search([big, big], k=4)
    np.testing.assert_array_equal(graph_labels, labels)
    if metric == "euclidean":
        assert labels.tolist() == [1, 2, 0, 3]
