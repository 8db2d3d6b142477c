"""The three metrics, bit for bit against plain scalar loops, read through PyFlat.search."""

import math
import random

import pytest
from hobrin import PyFlat

from conftest import FLAT_METRICS as METRICS
from conftest import bits, euclidean

INF, NAN = math.inf, math.nan


def flat_distances(metric, query, stored):
    """Distance of `query` to each stored vector as PyFlat.search reports it, by id."""
    index = PyFlat(len(query), metric)
    index.create(stored)
    result = index.search(query, 2**64 - 1)
    assert sorted(i for i, _ in result) == list(range(len(stored)))
    return [d for _, d in sorted(result, key=lambda r: r[0])]


def check(metric, query, stored):
    ref = METRICS.get(metric, euclidean)
    got = flat_distances(metric, query, stored)
    assert [bits(d) for d in got] == [bits(ref(query, v)) for v in stored]


def random_vector(rng, dim, style):
    if style == "gauss":
        return [rng.gauss(0.0, 1.0) for _ in range(dim)]
    if style == "magnitudes":  # mixed exponents make summation order visible
        return [rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-20, 20) for _ in range(dim)]
    return [float(rng.randint(-3, 3)) for _ in range(dim)]


@pytest.mark.parametrize("metric", list(METRICS))
@pytest.mark.parametrize("dim", [1, 3, 7, 8, 9, 17, 64, 100])
@pytest.mark.parametrize("style", ["gauss", "magnitudes", "small_ints"])
def test_random_data_bit_exact(metric, dim, style):
    rng = random.Random(f"{metric}-{dim}-{style}")
    stored = [random_vector(rng, dim, style) for _ in range(25)]
    for _ in range(3):
        check(metric, random_vector(rng, dim, style), stored)


SPECIAL = [0.0, -0.0, INF, -INF, NAN, 1.0, -2.5, 1e308, -1e308, 1e154, 1e-160, 1e-308, 5e-324, -5e-324]


@pytest.mark.parametrize("metric", list(METRICS))
@pytest.mark.parametrize("dim", [1, 2, 3, 5])
def test_special_values_bit_exact(metric, dim):
    rng = random.Random(dim)
    stored = [[rng.choice(SPECIAL) for _ in range(dim)] for _ in range(60)]
    stored += [[v] * dim for v in SPECIAL]
    for query in stored[::7] + [[0.0] * dim, [-0.0] * dim]:
        check(metric, query, stored)


@pytest.mark.parametrize(
    "metric, a, b, expected",
    [
        (None, [0, 0], [3, 4], 5.0),
        (None, [1.5, -2.25, 3], [1.5, -2.25, 3], 0.0),
        ("inner_product", [1, 2], [3, 4], 11.0),
        ("inner_product", [-0.0], [1.0], 0.0),  # the sum starts at +0.0
        ("cosine", [1, 0], [0, 1], 0.0),
        ("cosine", [1, 0], [2, 0], 1.0),
        ("cosine", [1, 0], [-1, 0], -1.0),
        ("cosine", [0, 0], [1, 2], NAN),
        ("cosine", [1e200, 1e200], [1e200, 1e200], NAN),  # inf / inf, no clamping
    ],
)
def test_known_values(metric, a, b, expected):
    [got] = flat_distances(metric, [float(x) for x in a], [b])
    assert bits(got) == bits(expected)


# Names are matched byte for byte; every unlisted text falls back to euclidean.
@pytest.mark.parametrize(
    "name",
    [
        None,
        "euclidean",
        "",
        "anything",
        "angular",
        "Cosine",
        "COSINE",
        "cosine ",
        " cosine",
        "cosine\0",
        "Inner_product",
        "inner_product\0",
        "inner product",
        "inner_produc",
        "inner_product",
        "cosine",
    ],
)
def test_metric_names(name):
    a, b = [1.0, 2.0], [3.0, 5.0]  # euclidean sqrt(13), dot 13, cosine 13/sqrt(170)
    assert flat_distances(name, a, [b]) == [METRICS.get(name, euclidean)(a, b)]
