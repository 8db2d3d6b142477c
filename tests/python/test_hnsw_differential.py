"""Differential test: the native graph index against the plain-Python model.

With one layer every node after the first gets level 0, so the graph built by
the native index is fully determined and must equal the model's, and so must
every search result: same vectors, same order, bit-equal distances.
"""

import math
import random
import struct

import hobrin
import pytest

from hnsw_model import ModelHNSW

DIM = 3
COLORS = ["red", "blue", 1, 1.0, True]
SIZES = [1, 2, 2.0, "2", 2**63]
FILTERS = [
    ("color", "red"),
    ("color", 1),
    ("color", 1.0),
    ("color", True),
    ("size", 2),
    ("size", "2"),
    ("size", 2**63),
    ("size", math.nan),
    ("color", "green"),
    ("shape", "red"),
]


def outcome(fn):
    try:
        result = fn()
    except ValueError as e:
        return ("error", str(e))
    if result is None:
        return None
    return [("nan" if math.isnan(d) else struct.pack("<d", d), v) for d, v in result]


def both(real, model, fn):
    expected = outcome(lambda: fn(model))
    assert outcome(lambda: fn(real)) == expected
    return expected


def make_vectors(rnd, metric, n):
    vectors = []
    for _ in range(n):
        kind = rnd.random()
        if vectors and kind < 0.15:
            v = list(rnd.choice(vectors))  # duplicate: equal distances
        elif kind < 0.2:
            v = [0.0] * DIM  # NaN under angular
        elif kind < 0.23:
            v = [rnd.choice([math.inf, -math.inf, 0.0]) for _ in range(DIM)]  # inf, NaN
        elif kind < 0.6:
            v = [float(rnd.randint(-2, 2)) for _ in range(DIM)]  # small grid: many ties
        else:
            v = [rnd.uniform(-5, 5) for _ in range(DIM)]
        vectors.append(v)
    if metric == "angular":
        vectors[rnd.choice([0, rnd.randrange(n)])] = [0.0] * DIM
    return vectors


def metadata(rnd):
    roll = rnd.random()
    if roll < 0.03:
        return [("color", "red")]  # missing attribute
    if roll < 0.05:
        return [("color", [1]), ("size", 1)]  # unsupported value
    pairs = [("size", rnd.choice(SIZES)), ("color", rnd.choice(COLORS))]
    if rnd.random() < 0.2:
        pairs.append(("extra", object()))
    return pairs


def populate(real, model, rnd, vectors, meta_rate):
    i = 0
    while i < len(vectors):
        use_meta = rnd.random() < meta_rate
        if rnd.random() < 0.3:
            chunk = vectors[i : i + rnd.randint(1, 6)]
            meta = [metadata(rnd) for _ in chunk] if use_meta else None
            both(real, model, lambda ix: ix.create(chunk, meta))
            i += len(chunk)
        else:
            v, meta = vectors[i], metadata(rnd) if use_meta else None
            both(real, model, (lambda ix: ix.insert(v, meta)) if use_meta else (lambda ix: ix.insert(v)))
            i += 1


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
@pytest.mark.parametrize("with_schema", [False, True])
@pytest.mark.parametrize("ef_construction,ef_search", [(1, 3), (3, 1), (8, 12)])
def test_search_matches_model(metric, with_schema, ef_construction, ef_search):
    rnd = random.Random(f"{metric}/{with_schema}/{ef_construction}")
    schema = ["color", "size"] if with_schema else None
    args = dict(layers=1, ef_construction=ef_construction, ef_search=ef_search, metric=metric, schema=schema)
    real, model = hobrin.PyHNSW(DIM, **args), ModelHNSW(DIM, **args)
    vectors = make_vectors(rnd, metric, 250)
    # Without a schema, metadata is refused now and then: same error, nothing stored.
    populate(real, model, rnd, vectors, 0.6 if with_schema else 0.05)
    queries = [list(rnd.choice(vectors)) for _ in range(6)]
    queries += [[rnd.uniform(-6, 6) for _ in range(DIM)] for _ in range(10)]
    queries += [[0.0] * DIM, [math.inf, 0.0, 1.0]]
    for q in queries:
        for k in (None, 0, 1, 5, ef_search + 3):
            both(real, model, lambda ix: ix.search(q, k))
        for flt in FILTERS if with_schema else FILTERS[:1]:
            both(real, model, lambda ix: ix.search(q, 4, flt))
            both(real, model, lambda ix: ix.search(q, ef_search + 3, flt))
