"""PyFlat: messages, result order, k handling, dimension 0 and bulk creation."""

import math
import random

import pytest
from hobrin import PyFlat

from conftest import FLAT_METRICS as METRICS
from conftest import bits
from conftest import flat_reference as reference

ALL = 2**64 - 1


def comparable(result):
    return [(i, bits(d)) for i, d in result]


def value_error(call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "filled, call, message",
    [
        (True, lambda i: i.insert([1.0, 2.0]), "Expected vector of length 3, got 2"),
        (True, lambda i: i.insert([1, 2, 3, 4]), "Expected vector of length 3, got 4"),
        (True, lambda i: i.search([1.0]), "Expected query of length 3, got 1"),
        (True, lambda i: i.search([1, 2, 3, 4], 0), "Expected query of length 3, got 4"),
        (True, lambda i: i.create([]), "Create error: EmptyVectors"),
        (False, lambda i: i.create(()), "Create error: EmptyVectors"),
        (False, lambda i: i.search([1, 2, 3], 5), "Search error: EmptyIndex"),
        (False, lambda i: i.search([1]), "Expected query of length 3, got 1"),  # length test comes first
        (False, lambda i: i.insert([]), "Expected vector of length 3, got 0"),
    ],
)
def test_messages_leave_index_unchanged(filled, call, message):
    index = PyFlat(3)
    if filled:
        index.create([[0, 0, 0], [1, 1, 1], [2, 2, 2]])
    state = lambda: index.search([0, 0, 0], ALL) if filled else value_error(lambda: index.search([0, 0, 0]))
    before = state()
    assert value_error(lambda: call(index)) == message
    assert state() == before


def test_create_wrong_length_keeps_earlier_vectors(capfd):
    idx = PyFlat(2)
    idx.create([[9, 9], [8, 8]])
    assert (
        value_error(lambda: idx.create([[1, 2], [1, 2, 3], [5, 6]]))
        == "Vector length 3 does not match index dimension 2"
    )
    assert capfd.readouterr().err == ""
    assert idx.search([0, 0], ALL) == [(2, math.sqrt(5.0)), (1, math.sqrt(128.0)), (0, math.sqrt(162.0))]
    idx.insert([5, 6])  # free again, and ids continue
    assert idx.search([5, 6]) == [(3, 0.0)]


def test_create_appends_after_existing_vectors():
    idx = PyFlat(2)
    for v in ([10, 10], [20, 20], [30, 30]):
        idx.insert(v)
    idx.create([[1, 2], [3, 4]])
    assert idx.search([1, 2]) == [(3, 0.0)]
    assert idx.search([3, 4], 2) == [(4, 0.0), (3, math.sqrt(8.0))]
    idx.create([[1, 2]])
    assert idx.search([1, 2], 2) == [(3, 0.0), (5, 0.0)]


def test_dimension_zero():
    idx = PyFlat(0)
    idx.insert([])
    idx.create([[], []])
    for k in (None, 0, 1, ALL):
        assert value_error(lambda: idx.search([], k)) == "Search error: EmptyIndex"
    assert value_error(lambda: idx.search([1.0])) == "Expected query of length 0, got 1"
    assert value_error(lambda: idx.insert([1.0])) == "Expected vector of length 0, got 1"
    assert value_error(lambda: idx.create([[], [1.0]])) == "Vector length 1 does not match index dimension 0"


def test_largest_dimension_in_messages():
    idx = PyFlat(ALL)
    assert value_error(lambda: idx.insert([1.0])) == f"Expected vector of length {ALL}, got 1"
    assert value_error(lambda: idx.search([])) == f"Expected query of length {ALL}, got 0"
    assert value_error(lambda: idx.create([[1.0]])) == f"Vector length 1 does not match index dimension {ALL}"


@pytest.mark.parametrize(
    "metric, stored, query, expected",
    [
        ("inner_product", [[1, 0], [-1, 0]], [1, 0], [(1, -1.0), (0, 1.0)]),
        (None, [[1, 0], [0, 1], [-1, 0], [0, -1]], [0, 0], [(0, 1.0), (1, 1.0), (2, 1.0), (3, 1.0)]),
        (
            "cosine",
            [[0, 0], [1, 0], [0, 0], [-1, 0]],
            [1, 0],
            [(3, -1.0), (1, 1.0), (0, math.nan), (2, math.nan)],
        ),
        (None, [[3, 4], [1, 1], [0, 1]], [math.nan, 0], [(0, math.nan), (1, math.nan), (2, math.nan)]),
        (
            None,
            [[math.inf, 0], [1, 0], [math.nan, 0], [-math.inf, 0]],
            [0, 0],
            [(1, 1.0), (0, math.inf), (3, math.inf), (2, math.nan)],
        ),
        ("inner_product", [[-0.0, 1], [0.0, 1], [-0.0, 1]], [1, 0], [(0, 0.0), (1, 0.0), (2, 0.0)]),
    ],
)
def test_order_examples(metric, stored, query, expected):
    idx = PyFlat(2, metric)
    idx.create(stored)
    assert comparable(idx.search(query, ALL)) == comparable(expected)


@pytest.mark.parametrize("metric", list(METRICS))
@pytest.mark.parametrize("seed", range(6))
def test_matches_full_sort(metric, seed):
    rng = random.Random(seed)
    dim, n = rng.randint(1, 4), rng.randint(1, 40)
    pool = [-2.0, -1.0, -0.0, 0.0, 1.0, 2.0] + [math.nan, math.inf] * (seed % 2)
    stored = [[rng.choice(pool) for _ in range(dim)] for _ in range(n)]
    idx = PyFlat(dim, metric)
    half = n // 2
    for v in stored[:half]:
        idx.insert(v)
    if half < n:
        idx.create(stored[half:])
    for _ in range(5):
        query = [float(rng.randint(-2, 2)) for _ in range(dim)]
        for k in (None, 0, 1, 3, n, n + 5, ALL):
            got = idx.search(query, k)
            assert comparable(got) == comparable(reference(metric, stored, query, k))


def test_result_types_and_fresh_objects():
    idx = PyFlat(2)
    source = [1, 2]
    idx.insert(source)
    source[0] = 100  # the index keeps its own copy
    first, second = idx.search([1, 2], 5), idx.search([1, 2], 5)
    assert first == second == [(0, 0.0)] and first is not second
    assert type(first) is list and type(first[0]) is tuple
    assert type(first[0][0]) is int and type(first[0][1]) is float
    first.clear()
    assert idx.search([1, 2], None) == [(0, 0.0)]
