"""The PyHNSW surface: construction, insert/create/search, metadata and filters, messages."""

import math
import re

import hobrin
import pytest

H = hobrin.PyHNSW
NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"
NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"
U64_MAX = 2**64 - 1


def fails(exc, msg, fn, *args, **kwargs):
    with pytest.raises(exc, match="^" + re.escape(msg) + "$") as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc and info.value.args == (msg,)


def index(dim=2, metric="euclidean", vectors=(), **kwargs):
    """A small index; one layer unless asked otherwise, so every graph is complete."""
    kwargs.setdefault("layers", 1)
    ix = H(dim, metric=metric, **kwargs)
    for v in vectors:
        ix.insert(v)
    return ix


def found(ix, query, k=100, flt=None):
    return [v for _, v in ix.search(query, k, flt)]


class Str(str):
    pass


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


# ---- signatures and docs ----


@pytest.mark.parametrize(
    "obj,signature,doc",
    [
        (H, "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)", ""),
        (
            H.insert,
            "($self, vector, metadata=None)",
            "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
            "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
            '`[("color", "blue"), ("size", 42)]`',
        ),
        (
            H.search,
            "($self, query, k=None, filter=None)",
            "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
        ),
        (H.create, "($self, vectors, metadata=None)", None),
    ],
    ids=["class", "insert", "search", "create"],
)
def test_signatures_and_docs(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


# ---- construction ----


@pytest.mark.parametrize(
    "args,kwargs,msg",
    [
        ((2,), {}, "Unsupported metric"),
        ((2,), {"metric": None}, "Unsupported metric"),
        ((2,), {"metric": "Euclidean"}, "Unsupported metric"),
        ((2,), {"metric": "cosine"}, "Unsupported metric"),
        ((2,), {"metric": "angular "}, "Unsupported metric"),
        ((2,), {"metric": ""}, "Unsupported metric"),
        ((0,), {"metric": "cosine", "layers": 65}, "Unsupported metric"),
        ((0,), {"metric": "euclidean", "layers": 65}, "dim must be at least 1"),
        ((2,), {"metric": "angular", "layers": 65}, "layers must be at most 64"),
        ((2,), {"metric": "inner_product", "layers": U64_MAX}, "layers must be at most 64"),
    ],
)
def test_constructor_refusals(args, kwargs, msg):
    fails(ValueError, msg, H, *args, **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"layers": 0},
        {"layers": 64},
        {"m": 0},
        {"m": U64_MAX},
        {"ef_construction": 0},
        {"ef_search": 0},
        {"ef_construction": U64_MAX, "ef_search": U64_MAX},
        {"schema": []},
        {"schema": ("a", "a")},
    ],
)
def test_constructor_accepts_boundaries(kwargs):
    for metric in ("euclidean", "angular", "inner_product"):
        H(1, metric=metric, **kwargs)


@pytest.mark.parametrize("param", ["layers", "m", "ef_construction", "ef_search"])
def test_none_equals_omitted_in_constructor(param):
    # Fewer vectors than ef_search and no tied distances: every search is exact.
    a, b = H(2, metric="euclidean", **{param: None}), H(2, metric="euclidean")
    for ix in (a, b):
        ix.create([[float(i % 7), float(i // 7)] for i in range(40)])
    for q in ([0.1234, 0.3771], [3.3177, 2.1539], [9.0513, 8.9027]):
        assert a.search(q, 100) == b.search(q, 100) == a.search(q, k=100, filter=None)
        assert len(a.search(q, 100)) == 40


def test_default_ef_search_caps_results():
    vectors = [[float(i), 0.0] for i in range(60)]
    for ix in (index(vectors=vectors), index(vectors=vectors, ef_search=None)):
        assert len(ix.search([0, 0], 1000)) == 50


def test_none_equals_omitted_in_methods():
    a, b = index(schema=["c"]), index(schema=["c"])
    a.insert([1, 2], None)
    a.insert(vector=[3, 4], metadata=None)
    a.create([[5, 6]], None)
    b.insert([1, 2])
    b.insert([3, 4])
    b.create([[5, 6]])
    assert a.search([0, 0], None, None) == b.search([0, 0]) == [(math.sqrt(5), [1.0, 2.0])]
    fails(ValueError, NO_SCHEMA, index(schema=None).insert, [1, 2], [])
    assert index(vectors=[[1, 2]], schema=None).search([0, 0], filter=None) == [(math.sqrt(5), [1.0, 2.0])]


# ---- results ----


def test_result_shape_and_fresh_copies():
    ix = index(dim=3, vectors=[(1, 2, 3), [4, 5, 6]])
    query = [1, 2, 3]
    res = ix.search(query, 5)
    assert res == [(0.0, [1.0, 2.0, 3.0]), (math.sqrt(27), [4.0, 5.0, 6.0])]
    for d, v in res:
        assert type(res) is list and type(d) is float and type(v) is list
        assert all(type(x) is float for x in v) and v is not query
    res[0][1][0] = 99.0
    assert ix.search(query) == [(0.0, [1.0, 2.0, 3.0])]


@pytest.mark.parametrize("k,count", [(None, 1), (0, 1), (1, 1), (3, 3), (4, 4), (5, 4), (U64_MAX, 4)])
def test_k_counts(k, count):
    ix = index(vectors=[[i, 0] for i in range(8)], ef_search=4)
    assert found(ix, [0, 0], k) == [[float(i), 0.0] for i in range(count)]


def test_huge_parameters_work_on_small_index():
    ix = index(vectors=[[3, 0], [1, 0], [2, 0]], m=U64_MAX, ef_construction=U64_MAX, ef_search=U64_MAX)
    assert ix.search([0, 0], U64_MAX) == [(1.0, [1.0, 0.0]), (2.0, [2.0, 0.0]), (3.0, [3.0, 0.0])]
    with pytest.raises(OverflowError):
        ix.search([0, 0], U64_MAX + 1)


@pytest.mark.parametrize(
    "k",
    [-1, Idx(-1), -(2**64), U64_MAX + 1, Idx(U64_MAX + 1)],
    ids=["-1", "index -1", "-2**64", "2**64", "index 2**64"],
)
def test_k_outside_unsigned_64_bits_overflows(k):
    ix = index(vectors=[[3, 0], [1, 0]], schema=["c"])
    for flt in (None, ("c", 1)):
        with pytest.raises(OverflowError):
            ix.search([0, 0], k, flt)
    assert ix.search([0, 0], 2) == [(1.0, [1.0, 0.0]), (3.0, [3.0, 0.0])]


@pytest.mark.parametrize(
    "metric,expected",
    [
        ("euclidean", [(0.0, [1.0, 0.0]), (math.sqrt(2), [0.0, -1.0]), (2.0, [-1.0, 0.0])]),
        ("inner_product", [(-1.0, [-1.0, 0.0]), (0.0, [0.0, -1.0]), (1.0, [1.0, 0.0])]),
        ("angular", [(-1.0, [-1.0, 0.0]), (0.0, [0.0, -1.0]), (1.0, [1.0, 0.0])]),
    ],
)
def test_raw_metric_values_ascending(metric, expected):
    ix = index(metric=metric, vectors=[[1, 0], [-1, 0], [0, -1]])
    assert ix.search([1, 0], 3) == expected


def test_angular_zero_vector_ranks_last_as_nan():
    res = index(metric="angular", vectors=[[0, 0], [1, 0], [0, 1]]).search([1, 2], 3)
    assert [v for _, v in res] == [[1.0, 0.0], [0.0, 1.0], [0.0, 0.0]] and math.isnan(res[2][0])


# ---- vector lengths and failed insertions ----


def test_wrong_lengths_are_refused_and_store_nothing():
    ix = index(vectors=[[1, 1]], schema=["c"])
    fails(ValueError, "Expected vector of length 2, got 3", ix.insert, [1, 2, 3])
    fails(ValueError, "Expected vector of length 2, got 0", ix.insert, [])
    fails(ValueError, "Vector length 1 does not match index dimension 2", ix.create, [[0, 0], [1], [2, 2, 2]])
    fails(
        ValueError,
        "Vector length 3 does not match index dimension 2",
        ix.create,
        [[0, 0], [3, 3, 3]],
        [[("c", 1)], [("c", 2)]],
    )
    fails(ValueError, "Expected query of length 2, got 1", ix.search, [1], 1, ("c", 1))
    fails(ValueError, "Expected query of length 2, got 3", index(schema=None).search, [1, 2, 3], 1, ("x", 1))
    assert found(ix, [0, 0]) == [[1.0, 1.0]]


def test_ef_construction_zero_fails_later_insertions_without_trace():
    ix = index(vectors=[[1, 1]], ef_construction=0)
    for _ in range(2):
        fails(ValueError, "Insert error: InvalidEF", ix.insert, [0, 0])
    fails(ValueError, "Create error: InvalidEF", ix.create, [[0, 0], [2, 2]])
    assert found(ix, [0, 0]) == found(ix, [2, 2]) == [[1.0, 1.0]]
    fresh = index(ef_construction=0)
    fails(ValueError, "Create error: InvalidEF", fresh.create, [[5, 5], [0, 0], [1, 1]])
    assert found(fresh, [0, 0]) == [[5.0, 5.0]]


# ---- search errors ----


@pytest.mark.parametrize(
    "kwargs,flt,msg",
    [
        ({"ef_search": 0}, None, "Search error: InvalidEF"),
        ({"layers": 0}, None, "Search error: InvalidLayer"),
        ({"schema": []}, ("c", 1), "Search error: EmptySchema"),
        ({"schema": ["c"]}, ("d", 1), "Search error: AttributeNotFound"),
        ({"schema": ["c"]}, ("C", 1), "Search error: AttributeNotFound"),
        ({"schema": ["c"], "ef_search": 0, "layers": 1}, ("d", 1), "Search error: InvalidEF"),
        ({"schema": ["c"], "ef_search": 0, "layers": 2}, ("d", 1), "Search error: AttributeNotFound"),
        ({}, ("c", 1), NO_SCHEMA_FILTER),
        ({}, ("c", [1]), NO_SCHEMA_FILTER),
        ({"schema": ["c"]}, ("c", [1]), "Unsupported type for metadata filter"),
    ],
)
def test_search_errors_and_empty_index(kwargs, flt, msg):
    ix = index(**kwargs)
    if msg.startswith("Search error"):
        assert ix.search([0, 0], 3, flt) == []  # an empty index examines nothing
    else:
        fails(ValueError, msg, ix.search, [0, 0], 3, flt)
    ix.insert([1, 1])
    fails(ValueError, msg, ix.search, [0, 0], 3, flt)


# ---- metadata rows ----


@pytest.mark.parametrize(
    "metadata,msg",
    [
        ([], "Missing metadata for attribute 'color'"),
        ([("size", 1)], "Missing metadata for attribute 'color'"),
        ([("size", [1])], "Missing metadata for attribute 'color'"),
        ([("color", None)], "Unsupported metadata type for attribute 'color'"),
        ([("color", "x"), ("size", None)], "Unsupported metadata type for attribute 'size'"),
        ([("color", "x"), ("color", {})], "Unsupported metadata type for attribute 'color'"),
        ([("color", "x")], "Missing metadata for attribute 'size'"),
    ],
)
def test_row_building_messages_in_schema_order(metadata, msg):
    ix = index(vectors=[[1, 1]], schema=["color", "size"])
    fails(ValueError, msg, ix.insert, [0, 0], metadata)
    fails(ValueError, msg, ix.create, [[0, 0], [2, 2]], [[("color", 1), ("size", 1)], metadata])
    assert found(ix, [0, 0]) == [[1.0, 1.0]]


@pytest.mark.parametrize(
    "schema,metadata,exc,msg",
    [
        (None, [], ValueError, NO_SCHEMA),
        (None, "ab", TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (["c"], [["c", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        (["c"], [(1, 1)], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        (["c"], [("c",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ],
)
def test_metadata_shape_and_schema_errors(schema, metadata, exc, msg):
    ix = index(schema=schema)
    fails(exc, msg, ix.insert, [0, 0], metadata)
    fails(exc, msg, ix.create, [[0, 0]], [metadata])
    assert ix.search([0, 0]) == []


@pytest.mark.parametrize(
    "schema,vectors,metadata,msg",
    [
        (None, [], None, "Create error: EmptyVectors"),
        (["c"], [], None, "Create error: EmptyVectors"),
        (["c"], [], [], "Create error: EmptyVectors"),
        (None, [], [], NO_SCHEMA),
        (None, [[1, 1], [2, 2]], [[], [], []], "Length of metadata list must match number of vectors"),
        (["c"], [[1, 1], [2, 2]], [[("c", 1)]], "Length of metadata list must match number of vectors"),
        (None, [[1, 1]], [[("c", 1)]], NO_SCHEMA),
    ],
)
def test_create_errors(schema, vectors, metadata, msg):
    ix = index(schema=schema)
    fails(ValueError, msg, ix.create, vectors, metadata)
    assert ix.search([0, 0]) == []


def test_create_appends_like_inserts():
    ix = index(vectors=[[0, 0]], schema=["c"])
    ix.create([[1, 0]])
    ix.create([[2, 0]], [[("c", "x")]])
    ix.create([[3, 0], [4, 0]], [[("c", "x")], [("c", "y")]])
    assert found(ix, [0, 0]) == [[float(i), 0.0] for i in range(5)]
    assert found(ix, [0, 0], 9, ("c", "x")) == [[2.0, 0.0], [3.0, 0.0]]


# ---- conversion of metadata values and filter matching ----


def matching(values, flt_value, schema=("v",)):
    ix = index(dim=1, schema=list(schema))
    for i, v in enumerate(values):
        ix.insert([i], [(name, v) for name in dict.fromkeys(schema)])
    return [int(v[0]) for v in found(ix, [0], 100, (schema[0], flt_value))]


@pytest.mark.parametrize(
    "values,flt_value,expected",
    [
        ([True, 1, 1.0, "1", 2], 1, [0, 1]),
        ([True, 1, 1.0, "1", 2], True, [0, 1]),
        ([True, 1, 1.0, "1", 2], 1.0, [2]),
        ([True, 1, 1.0, "1", 2], "1", [3]),
        ([False, 0, 0.0, -0.0], 0, [0, 1]),
        ([False, 0, 0.0, -0.0], -0.0, [2, 3]),
        ([2**63, 2.0**63, 2**63 - 1, -(2**63)], 2**63, [0, 1]),
        ([2**63, 2.0**63, 2**63 - 1, -(2**63)], 2**63 - 1, [2]),
        ([2**63, 2.0**63, 2**63 - 1, -(2**63)], -(2**63), [3]),
        ([2**64, 2.0**64], 2**64, [0, 1]),
        ([Str("blue"), "blue", "Blue", "42", 42], "blue", [0, 1]),
        ([Str("blue"), "blue", "Blue", "42", 42], Str("42"), [3]),
        ([Str("blue"), "blue", "Blue", "42", 42], 42, [4]),
        ([Idx(5), 5, 5.0, Flt(), 2.5], Idx(5), [0, 1]),
        ([Idx(5), 5, 5.0, Flt(), 2.5], 2.5, [3, 4]),
        ([math.nan, 1.0], math.nan, []),
        (["a", "b", "a"], "a", [0, 2]),
        (["a", "b", "a"], "c", []),
    ],
)
def test_conversion_order_and_equality_within_kind(values, flt_value, expected):
    assert matching(values, flt_value) == expected
    assert matching(values, flt_value, schema=("v", "w", "v")) == expected


@pytest.mark.parametrize("value", [None, [1], {}, (1,), b"1", object(), 2**1024, "\ud800", 1j])
def test_unsupported_values(value):
    ix = index(vectors=[[1, 1]], schema=["v"])
    fails(ValueError, "Unsupported metadata type for attribute 'v'", ix.insert, [0, 0], [("v", value)])
    fails(ValueError, "Unsupported type for metadata filter", ix.search, [0, 0], 1, ("v", value))


def test_rows_follow_their_nodes_and_pairs_are_looked_up_by_name():
    ix = index(schema=["color", "size"])
    ix.insert([0, 0])  # no row
    ix.insert([1, 0], [("size", 2), ("x", object()), ("color", "blue"), ("color", "red")])
    ix.create([[2, 0], [3, 0]])  # no rows
    ix.create([[4, 0], [5, 0]], [[("color", "red"), ("size", 2.0)], [("color", "blue"), ("size", 2)]])
    ix.insert([6, 0], [("color", "red"), ("size", 2)])
    assert found(ix, [0, 0], 100, ("color", "red")) == [[1.0, 0.0], [4.0, 0.0], [6.0, 0.0]]
    assert found(ix, [0, 0], 100, ("size", 2)) == [[1.0, 0.0], [5.0, 0.0], [6.0, 0.0]]
    assert found(ix, [0, 0], 100, ("color", "blue")) == [[5.0, 0.0]]
    assert found(ix, [9, 0], 0, ("color", "red")) == [[6.0, 0.0]]
    assert ix.search([0, 0], 100, ("color", "green")) == []


def test_empty_schema_accepts_any_rows():
    ix = index(schema=[])
    ix.insert([1, 1], [])
    ix.insert([2, 2], [("c", None)])
    ix.create([[3, 3]], [[]])
    assert len(ix.search([0, 0], 9)) == 3


def test_nonmatching_entry_node_is_not_returned():
    ix = index(schema=["c"])
    ix.insert([0, 0], [("c", "a")])
    assert ix.search([0, 0], 5, ("c", "b")) == []
    ix.insert([1, 0], [("c", "b")])
    assert found(ix, [0, 0], 0, ("c", "b")) == [[1.0, 0.0]]


def test_reentrant_calls_meet_the_access_flag():
    ix = index(vectors=[[1, 1]], schema=["v"])

    class SearchesDuringConversion:
        def __float__(self):
            ix.search([0, 0])
            return 0.0

        __index__ = __float__

    # Raised while converting the vector: the error reaches the caller unchanged.
    fails(RuntimeError, "Already mutably borrowed", ix.insert, [SearchesDuringConversion(), 0])
    # Raised while converting a metadata value: the failed attempts are dropped.
    fails(
        ValueError,
        "Unsupported metadata type for attribute 'v'",
        ix.insert,
        [0, 0],
        [("v", SearchesDuringConversion())],
    )
    assert found(ix, [0, 0]) == [[1.0, 1.0]]
