"""Filter expressions of hobrin_ann.Index: conditions with operators, And, Or
and Not against a numpy reference of the same three-valued logic, recall of
walks under ranges and Or, and refused expressions leaving the index as it
was."""

import pickle

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")
Index, And, Or, Not = hobrin_ann.Index, hobrin_ann.And, hobrin_ann.Or, hobrin_ann.Not

WORDS = ["apple", "Apple", "banana", "cherry", "date", "éclair", "zebra", "", "a", "ab", "日本"]
OPS = ["==", "!=", "<", "<=", ">", ">=", "in", "not in", "between"]


@pytest.fixture(scope="module")
def data():
    """3,000 vectors: a small integer n, a float x (some NaN), a word s; the
    vectors 1000..1199 have no metadata."""
    rng = np.random.default_rng(11)
    count = 3000
    n = rng.integers(0, 40, count)
    x = rng.random(count).round(2)
    x[rng.random(count) < 0.05] = np.nan
    s = np.array([WORDS[i] for i in rng.integers(0, len(WORDS), count)])
    has = np.ones(count, bool)
    has[1000:1200] = False
    index = Index(8, schema=["n", "x", "s"], m=8, ef_construction=60, seed=2)
    base = rng.standard_normal((count, 8))

    def rows(lo, hi):
        return [[("n", int(n[i])), ("x", float(x[i])), ("s", str(s[i]))] for i in range(lo, hi)]

    index.add(base[:1000], metadata=rows(0, 1000))
    index.add(base[1000:1200])
    index.add(base[1200:], metadata=rows(1200, count))
    return index, base, {"n": n, "x": x, "s": s}, has


def reference(expr, columns, has):
    """(holds, false) masks of an expression: a condition on a vector
    without metadata is neither, Not swaps the two, And and Or follow."""
    if isinstance(expr, (And, Or, list)):
        parts = [reference(p, columns, has) for p in (expr if isinstance(expr, list) else expr.conditions)]
        t, f = np.array([p[0] for p in parts]), np.array([p[1] for p in parts])
        return (t.all(0), f.any(0)) if not isinstance(expr, Or) else (t.any(0), f.all(0))
    if isinstance(expr, Not):
        t, f = reference(expr.condition, columns, has)
        return f, t
    if isinstance(expr, np.ndarray):
        t = np.isin(np.arange(len(has)), expr)
        return t, ~t
    name, op, value = expr
    col = columns[name]
    if op in ("in", "not in", "==", "!="):
        listed = value if op in ("in", "not in") else [value]
        same = [v for v in listed if isinstance(v, str) == (col.dtype.kind == "U")]
        hit = np.isin(col, same) if same else np.zeros(len(col), bool)
        hit = hit if op in ("in", "==") else ~hit
    else:
        with np.errstate(invalid="ignore"):
            low, high = value if op == "between" else (value, value)
            hit = {
                "<": lambda: col < value,
                "<=": lambda: col <= value,
                ">": lambda: col > value,
                ">=": lambda: col >= value,
                "between": lambda: (col >= low) & (col <= high),
            }[op]()
    return has & hit, has & ~hit


def random_condition(rng):
    name = ["n", "x", "s"][rng.integers(3)]
    op = OPS[rng.integers(len(OPS))]

    def one():
        if name == "s":
            return WORDS[rng.integers(len(WORDS))]
        if name == "n":
            return int(rng.integers(-2, 42)) if rng.random() < 0.7 else float(rng.integers(0, 40)) + 0.5
        return round(float(rng.random()), 2)

    if op in ("in", "not in"):
        return (name, op, [one() for _ in range(rng.integers(0, 5))])
    if op == "between":
        a, b = one(), one()
        return (name, op, (min(a, b), max(a, b)) if rng.random() < 0.9 else (a, b))
    return (name, op, one())


def random_expression(rng, columns, count, depth=0):
    roll = rng.random() if depth < 4 else 0.0
    if roll < 0.45:
        return random_condition(rng)
    if roll < 0.52:
        return np.sort(rng.choice(count, rng.integers(0, 600), replace=False))
    parts = [random_expression(rng, columns, count, depth + 1) for _ in range(rng.integers(1, 4))]
    if roll < 0.67:
        return And(*parts)
    if roll < 0.82:
        return Or(*parts)
    if roll < 0.9:
        return parts
    return Not(parts[0])


def found_ids(index, query, flt):
    labels, _ = index.search(query, len(index), exact=True, filter=flt)
    return np.sort(labels[labels >= 0])


def test_random_nested_expressions_match_a_numpy_reference(data, tmp_path):
    index, base, columns, has = data
    index.save(tmp_path / "f.hobrin")
    loaded = Index.load(tmp_path / "f.hobrin", mmap=True)
    rng = np.random.default_rng(5)
    for trial in range(300):
        expr = random_expression(rng, columns, len(base))
        expected = np.flatnonzero(reference(expr, columns, has)[0])
        on = loaded if trial % 3 == 0 else index
        assert found_ids(on, base[trial], expr).tolist() == expected.tolist(), expr


@pytest.mark.parametrize(
    ("flt", "expected"),
    [
        (("n", "!=", 3), lambda c, h: h & (c["n"] != 3)),
        (Not(("n", "==", 3)), lambda c, h: h & (c["n"] != 3)),
        (("x", "!=", float("nan")), lambda c, h: h),  # NaN equals nothing, so != holds for all with a row
        (("x", ">=", 0.0), lambda c, h: h & (c["x"] >= 0)),  # stored NaN lies in no range
        (("s", "<", "b"), lambda c, h: h & (c["s"] < "b")),  # text by code point: "Apple" < "apple" < "b"
        (("s", ">", "zebra"), lambda c, h: h & (c["s"] > "zebra")),  # "éclair", "日本"
        (("n", "between", (5, 5.0)), lambda c, h: h & (c["n"] == 5)),  # ints and floats by value
        (("n", "<", 2**70), lambda c, h: h),
        (("n", "between", (9, 2)), lambda c, h: np.zeros_like(h)),
        (Not(np.arange(0, 3000, 2)), lambda c, h: np.arange(3000) % 2 == 1),  # ids are known for all
        (Not(Or(("n", "==", 1), np.arange(10))), lambda c, h: h & (c["n"] != 1) & (np.arange(3000) >= 10)),
        (("s", "==", 3), lambda c, h: np.zeros_like(h)),  # equality across kinds: never, not an error
    ],
)
def test_expression_semantics(data, flt, expected):
    index, base, columns, has = data
    assert found_ids(index, base[0], flt).tolist() == np.flatnonzero(expected(columns, has)).tolist()


@pytest.mark.parametrize(
    "share",
    [0.5, pytest.param(0.1, marks=pytest.mark.heavy), pytest.param(0.01, marks=pytest.mark.heavy), 0.001],
)
@pytest.mark.parametrize("form", ["range", "or"])
def test_walks_keep_recall_under_ranges_and_or(share, form):
    rng = np.random.default_rng(8)
    base = rng.standard_normal((20000, 8)).astype(np.float32)
    score = rng.random(len(base))
    index = Index(8, schema=["score"], m=8, ef_construction=80, seed=3)
    index.add(base, metadata=[[("score", float(v))] for v in score])
    if form == "range":
        flt = ("score", "between", (0.3, 0.3 + share))
        mask = (score >= 0.3) & (score <= 0.3 + share)
    else:
        flt = Or(("score", "<", share / 2), ("score", ">=", 1 - share / 2))
        mask = (score < share / 2) | (score >= 1 - share / 2)
    queries = rng.standard_normal((60, 8)).astype(np.float32)
    labels, _ = index.search(queries, 10, ef=40, filter=flt)
    matching = np.flatnonzero(mask)
    d = ((queries[:, None, :] - base[matching][None]) ** 2).sum(-1)
    truth = matching[np.argsort(d, axis=1)[:, :10]]
    assert mask[labels[labels >= 0]].all()
    hits = [len(set(f) & set(t)) / len(t) for f, t in zip(labels, truth)]
    assert np.mean(hits) >= 0.95


def deep(levels):
    expr = ("n", "==", 1)
    for _ in range(levels - 1):
        expr = Not(expr)
    return expr


@pytest.mark.parametrize(
    ("flt", "error", "match"),
    [
        (("n", "~", 1), ValueError, "filter on 'n': unknown operator '~'"),
        (("n", 1, 1), ValueError, "unknown operator 1"),
        (("n", "between", 1), ValueError, "'between' takes \\(low, high\\)"),
        (("n", "between", (1, 2, 3)), ValueError, "'between' takes"),
        (("n", "between", (1, "z")), TypeError, "'n': 'between' cannot compare text with numbers"),
        (("n", "in", 3), TypeError, "'n': 'in' takes a list"),
        (("n", "==", [1, 2]), TypeError, "use 'in'"),
        (("x", "<", float("nan")), ValueError, "'x': '<' has a NaN bound"),
        (("x", "between", (0.0, float("nan"))), ValueError, "NaN bound"),
        (("n", "<", None), TypeError, "filter value for 'n' must be"),
        (("color", "<", 3), ValueError, "'color' is not in the schema"),
        (And(("n", "==", 1), Or(("nope", "in", [1]))), ValueError, "'nope' is not in the schema"),
        (("s", "<", 3), TypeError, "filter on 's' compares a number against stored text"),
        (("n", ">=", "a"), TypeError, "filter on 'n' compares text against stored numbers"),
        (deep(33), ValueError, "nested more than 32 levels"),
        (deep(100_000), ValueError, "nested more than 32 levels"),
        (("n", "in", list(range(70_000))), ValueError, "'n': 'in' lists 70000 values, at most 65536"),
        ({"n": 1}, TypeError, "filter: expected"),
        (("n",), TypeError, "a condition is"),
    ],
)
def test_bad_expressions_are_refused_and_change_nothing(data, flt, error, match):
    index, base, _, _ = data
    before = index.search(base[:3], 5)
    with pytest.raises(error, match=match):
        index.search(base[0], 5, filter=flt)
    with pytest.raises(error, match=match):
        index.check_search(base[0], 5, filter=flt)
    after = index.search(base[:3], 5)
    assert all((a == b).all() for a, b in zip(before, after))


@pytest.mark.parametrize(
    "form", [list, np.array, lambda ids: [np.int32(i) if i % 2 else i for i in ids], "range"]
)
def test_allow_lists_of_every_form_admit_the_same_ids(data, form):
    """A long allow-list admits the same ids however it is given; a list of
    ints with a bool or a float in it is not one (it reads as conditions)."""
    index, base, _, _ = data
    ids = list(range(500, 2500, 3))
    given = range(500, 2500, 3) if form == "range" else form(ids)
    assert found_ids(index, base[1], given).tolist() == ids
    for odd in (True, 2.0):
        with pytest.raises(TypeError, match="filter: expected"):
            index.search(base[1], 5, filter=ids[:-1] + [odd])


@pytest.mark.parametrize(("build", "match"), [(And, "And\\(\\) needs"), (Or, "Or\\(\\) needs")])
def test_empty_junctions_are_refused(build, match):
    with pytest.raises(ValueError, match=match):
        build()


def test_expressions_pickle_and_compare(data):
    index, base, _, _ = data
    expr = And(Or(("n", "<", 10), ("s", "in", ["apple", "日本"])), Not(("x", "between", (0.2, 0.4))))
    again = pickle.loads(pickle.dumps(expr))
    assert again == expr and repr(again) == repr(expr)
    assert found_ids(index, base[1], again).tolist() == found_ids(index, base[1], expr).tolist()


def test_the_core_refuses_malformed_nodes(data):
    """The native part, reachable on its own, checks the shapes again."""
    index = data[0]
    core = index._core
    for node, error in [
        (("and", []), ValueError),
        (("cond", "n", 99, [1]), TypeError),
        (("cond", "n", 8, [1]), ValueError),
        (("cond", "x", 2, [float("nan")]), ValueError),
        (("what", 1), TypeError),
        ("n", TypeError),
    ]:
        with pytest.raises(error):
            core.check_filter(node)
    nested = ("cond", "n", 0, [1])
    for _ in range(40):
        nested = ("not", nested)
    with pytest.raises(ValueError, match="nested more than 32"):
        core.check_filter(nested)


TAGS = ["red", "green", "blue", "x", 3, 3.0, 7.5]


@pytest.fixture(scope="module")
def tagged():
    """1,500 vectors with 0..3 tags each (lists and tuples, some mixing text
    and numbers), a year; 100 without metadata."""
    rng = np.random.default_rng(4)
    base = rng.standard_normal((1600, 8))
    tags = [[TAGS[j] for j in rng.choice(4, rng.integers(0, 4), replace=False)] for _ in range(1500)]
    tags = [t if i % 2 else tuple(t) for i, t in enumerate(tags)]
    numbers = [list(rng.integers(0, 20, rng.integers(0, 4))) for _ in range(1500)]
    index = Index(8, schema=["tags", "nums"], m=8, seed=1)
    index.add(
        base[:1500], metadata=[[("tags", t), ("nums", [int(v) for v in n])] for t, n in zip(tags, numbers)]
    )
    index.add(base[1500:])
    return index, base, tags, numbers


def any_of(values, test):
    return np.array([any(test(v) for v in row) for row in values] + [False] * 100)


@pytest.mark.parametrize(
    ("flt", "column", "expected"),
    [
        (("tags", "red"), 2, lambda v: v == "red"),
        (("tags", "in", ["green", "blue"]), 2, lambda v: v in ("green", "blue")),
        (("nums", "between", (4, 6)), 3, lambda v: 4 <= v <= 6),
        (("nums", ">", 17), 3, lambda v: v > 17),
    ],
)
def test_a_condition_on_tags_holds_when_any_tag_does(tagged, flt, column, expected):
    index, base, *columns = tagged
    want = any_of(columns[column - 2], expected)
    assert found_ids(index, base[0], flt).tolist() == np.flatnonzero(want).tolist()
    # != and not in hold when no tag equals; a vector without metadata never.
    negated = ("tags", "not in", ["red", "x"])
    none = ~any_of(columns[0], lambda v: v in ("red", "x"))
    none[1500:] = False
    assert found_ids(index, base[0], negated).tolist() == np.flatnonzero(none).tolist()
    assert (
        found_ids(index, base[0], Not(("tags", "in", ["red", "x"]))).tolist() == np.flatnonzero(none).tolist()
    )


def test_tags_survive_save_mmap_pickle_and_compact(tagged, tmp_path):
    index, base, *_ = tagged
    flt = Or(("tags", "==", 3), ("nums", "between", (2, 3)))
    expected = found_ids(index, base[5], flt).tolist()
    assert expected
    index.save(tmp_path / "t.hobrin")
    for copy in [
        Index.load(tmp_path / "t.hobrin"),
        Index.load(tmp_path / "t.hobrin", mmap=True),
        pickle.loads(pickle.dumps(index)),
        index.compact(),
    ]:
        assert found_ids(copy, base[5], flt).tolist() == expected


@pytest.mark.parametrize(
    ("value", "match"),
    [([["a"]], "Unsupported metadata type for attribute 'tags'"), ({"a": 1}, "Unsupported metadata type")],
)
def test_tags_hold_scalars_only(tagged, value, match):
    index = tagged[0]
    size = len(index)
    with pytest.raises(ValueError, match=match):
        index.add(np.zeros((1, 8)), metadata=[[("tags", value), ("nums", 1)]])
    assert len(index) == size
