"""Argument binding, value conversion and the per-instance access flag."""

import math
import operator
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from hobrin import PyFlat, PyHNSW

ALL = 2**64 - 1
TOO_MANY = "{} takes from 1 to {} positional arguments but {} were given"
MISSING = "{} missing 1 required positional argument: '{}'"
MULTIPLE = "{} got multiple values for argument '{}'"
UNEXPECTED = "{} got an unexpected keyword argument '{}'"
NO_STR = "Can't extract `str` to `Vec`"
MUT, BOR = "Already mutably borrowed", "Already borrowed"


def error(exc_type, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    return info.value


def float_message(obj):  # the interpreter's own message for a failed float conversion
    return str(error(TypeError, lambda: math.fsum([obj])))


def index_message(obj):
    return str(error(TypeError, lambda: operator.index(obj)))


def snapshot(idx):
    return idx.search([0, 0], ALL)


@pytest.fixture
def flat():
    idx = PyFlat(2)
    idx.create([[0, 0], [1, 1], [3, 4]])
    return idx


@pytest.fixture
def hnsw():
    try:
        return PyHNSW(2, metric="euclidean")
    except NotImplementedError:
        pytest.skip("PyHNSW is not implemented yet")


class Holder:
    class NotASequence:
        pass


class Seq:
    """A sequence that reports `length` (or raises it) and hands out `items` only by iteration."""

    def __init__(self, items, length=None, fail=None, fail_at=None, on_iter=None):
        self.items, self.length, self.fail, self.fail_at, self.on_iter = items, length, fail, fail_at, on_iter

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        raise AssertionError("items must not be fetched by index")

    def __iter__(self):
        if self.on_iter:
            self.on_iter()
        if self.fail_at == -1:
            raise self.fail
        return (self._check(pos) or item for pos, item in enumerate(self.items))

    def _check(self, pos):
        if pos == self.fail_at:
            raise self.fail


class Number:
    """Runs `hook` (recording what it raises) whenever it is converted, then returns `value`."""

    def __init__(self, hook, value=0):
        self.hook, self.value, self.raised = hook, value, []

    def _run(self):
        try:
            self.hook()
        except BaseException as exc:
            self.raised.append(exc)
            raise

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no string form")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: PyFlat(), MISSING.format("PyFlat.__new__()", "dim")),
        (lambda f: PyFlat(metric="cosine"), MISSING.format("PyFlat.__new__()", "dim")),
        (lambda f: PyFlat(1, None, 3, K=1), TOO_MANY.format("PyFlat.__new__()", 2, 3)),
        (lambda f: PyFlat(2, dim=2), MULTIPLE.format("PyFlat.__new__()", "dim")),
        (lambda f: PyFlat(2, None, metric=None), MULTIPLE.format("PyFlat.__new__()", "metric")),
        (lambda f: PyFlat(2, Zz=1, Metric=2), UNEXPECTED.format("PyFlat.__new__()", "Zz")),
        (lambda f: PyFlat(**{"\ud800": 1}), UNEXPECTED.format("PyFlat.__new__()", "\ufffd")),
        (lambda f: PyHNSW(layers=2, metric="euclidean"), MISSING.format("PyHNSW.__new__()", "dim")),
        (lambda f: PyHNSW(*range(8)), TOO_MANY.format("PyHNSW.__new__()", 7, 8)),
        (lambda f: PyHNSW(2, ef_Search=1), UNEXPECTED.format("PyHNSW.__new__()", "ef_Search")),
        (lambda f: PyHNSW(2, 3, layers=3), MULTIPLE.format("PyHNSW.__new__()", "layers")),
        (lambda f: f.insert(), MISSING.format("PyFlat.insert()", "vector")),
        (lambda f: f.insert([1, 2], [3]), "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        (
            lambda f: f.create([], [], [], bad=1),
            "PyFlat.create() takes 1 positional arguments but 3 were given",
        ),
        (lambda f: f.insert([1, 2], vector=[1, 2]), MULTIPLE.format("PyFlat.insert()", "vector")),
        (lambda f: f.search(k=1), MISSING.format("PyFlat.search()", "query")),
        (lambda f: f.search([1, 2], 1, 2, K=1), TOO_MANY.format("PyFlat.search()", 2, 3)),
        (lambda f: f.search([1, 2], K=3), UNEXPECTED.format("PyFlat.search()", "K")),
        (lambda f: f.search([1, 2], None, k=3), MULTIPLE.format("PyFlat.search()", "k")),
        (lambda f: f.search(**{"\ud800": 1}), UNEXPECTED.format("PyFlat.search()", "\ufffd")),
        (lambda f: f.create(vector=[]), UNEXPECTED.format("PyFlat.create()", "vector")),
        # conversion, with the parameter prefix at every nesting level
        (lambda f: f.insert("ab"), "argument 'vector': " + NO_STR),
        (lambda f: f.insert(Unprintable("ab")), "argument 'vector': " + NO_STR),
        (lambda f: f.search("ab", k=-1), "argument 'query': " + NO_STR),
        (lambda f: f.create("ab"), "argument 'vectors': " + NO_STR),
        (lambda f: f.create([[1, 2], "ab"]), "argument 'vectors': " + NO_STR),
        (lambda f: f.insert({1: 2}), "argument 'vector': 'dict' object cannot be converted to 'Sequence'"),
        (lambda f: f.insert(None), "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'"),
        (
            lambda f: f.insert(iter([1, 2])),
            "argument 'vector': 'list_iterator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda f: f.search(Holder.NotASequence()),
            "argument 'query': 'Holder.NotASequence' object cannot be converted to 'Sequence'",
        ),
        (
            lambda f: f.create([[1, 2], 5]),
            "argument 'vectors': 'int' object cannot be converted to 'Sequence'",
        ),
        (lambda f: f.insert([1, "x"]), "argument 'vector': " + float_message("x")),
        (lambda f: f.create([[1, 2], [None, 2]]), "argument 'vectors': " + float_message(None)),
        (lambda f: PyFlat(2.0), "argument 'dim': " + index_message(2.0)),
        (lambda f: PyFlat("2", metric=1), "argument 'dim': " + index_message("2")),
        (lambda f: f.search([1, 2], 1.0), "argument 'k': " + index_message(1.0)),
        (
            lambda f: PyFlat(2, b"cosine"),
            "argument 'metric': 'bytes' object cannot be converted to 'PyString'",
        ),
        (lambda f: PyHNSW(2, layers=1.5, schema="x"), "argument 'layers': " + index_message(1.5)),
        (lambda f: PyHNSW(2, metric="euclidean", schema="ab"), "argument 'schema': " + NO_STR),
        (
            lambda f: PyHNSW(2, metric="euclidean", schema=[1]),
            "argument 'schema': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_type_errors(flat, call, message):
    before = snapshot(flat)
    assert error(TypeError, lambda: call(flat)).args == (message,)
    assert snapshot(flat) == before


@pytest.mark.parametrize(
    "call, exc_type",
    [
        (lambda f: PyFlat(-1), OverflowError),
        (lambda f: PyHNSW(2**64, m=1.5), OverflowError),
        (lambda f: f.search([1, 2], -1), OverflowError),
        (lambda f: f.search([1, 2], IndexOnly(2**64)), OverflowError),
        (lambda f: f.insert([2**1024, 1]), OverflowError),
        (lambda f: PyFlat(2, "\ud800"), UnicodeEncodeError),
    ],
)
def test_other_errors_pass_through_without_prefix(flat, call, exc_type):
    before = snapshot(flat)
    assert not str(error(exc_type, lambda: call(flat))).startswith("argument")
    assert snapshot(flat) == before


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda h: h.insert([1, 2], None, 3), TypeError, TOO_MANY.format("PyHNSW.insert()", 2, 3)),
        (lambda h: h.search([1, 2], 1, None, 4), TypeError, TOO_MANY.format("PyHNSW.search()", 3, 4)),
        (lambda h: h.create(metadata=None), TypeError, MISSING.format("PyHNSW.create()", "vectors")),
        (
            lambda h: h.insert([1, 2], None, metadata=None),
            TypeError,
            MULTIPLE.format("PyHNSW.insert()", "metadata"),
        ),
        (lambda h: h.search([1, 2], Filter=None), TypeError, UNEXPECTED.format("PyHNSW.search()", "Filter")),
        (
            lambda h: h.search([1, 2], 1, ["a", 1]),
            TypeError,
            "argument 'filter': 'list' object cannot be converted to 'PyTuple'",
        ),
        (
            lambda h: h.search([1, 2], 1, ("a",)),
            ValueError,
            "expected tuple of length 2, but got tuple of length 1",
        ),
        (
            lambda h: h.search([1, 2], 1, (1, 1)),
            TypeError,
            "argument 'filter': 'int' object cannot be converted to 'PyString'",
        ),
        (lambda h: h.insert([1, 2], "ab"), TypeError, "argument 'metadata': " + NO_STR),
        (
            lambda h: h.insert([1, 2], [["a", 1]]),
            TypeError,
            "argument 'metadata': 'list' object cannot be converted to 'PyTuple'",
        ),
        (
            lambda h: h.insert([1, 2], [("a", 1, 2)]),
            ValueError,
            "expected tuple of length 2, but got tuple of length 3",
        ),
        (lambda h: h.create([[1, 2]], ["ab"]), TypeError, "argument 'metadata': " + NO_STR),
    ],
)
def test_hnsw_method_arguments(hnsw, call, exc_type, message):
    assert error(exc_type, lambda: call(hnsw)).args == (message,)


def test_unprintable_names_and_messages(flat, monkeypatch):
    class Mute:
        def __str__(self):
            raise RuntimeError("mute")

    def raise_mute():
        raise TypeError(Mute())

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    exc = error(TypeError, lambda: flat.search([1, 2], **{Unprintable("K"): 1}))
    assert exc.args == (UNEXPECTED.format("PyFlat.search()", "<unprintable Unprintable object>"),)
    exc = error(TypeError, lambda: flat.insert([Number(raise_mute), 1]))
    assert exc.args == ("argument 'vector': <unprintable TypeError object>",)
    assert [type(r.exc_value) for r in reports] == [RuntimeError, RuntimeError]


def test_none_means_omitted(flat):
    for idx in (PyFlat(2, None), PyFlat(2, metric=None), PyFlat(dim=2, metric="euclidean")):
        idx.create([[1, 1], [5, 5]])
        assert idx.search([2, 2], ALL) == [(0, math.sqrt(2.0)), (1, math.sqrt(18.0))]
    assert flat.search([1, 1], None) == flat.search([1, 1], k=None) == flat.search([1, 1]) == [(1, 0.0)]

    def outcome(call):
        try:
            return call() and "ok"
        except Exception as exc:
            return type(exc), exc.args

    assert outcome(lambda: PyHNSW(2)) == outcome(lambda: PyHNSW(2, None, None, None, None, None, None))
    nones = dict(layers=None, m=None, ef_construction=None, ef_search=None, schema=None)
    assert outcome(lambda: PyHNSW(2, metric="euclidean")) == outcome(
        lambda: PyHNSW(2, metric="euclidean", **nones)
    )


def stored_values(items):
    """The floats an index keeps for `items`, read back exactly through unit-vector dot products."""
    idx = PyFlat(len(items), "inner_product")
    idx.insert(items)
    return [idx.search([float(j == i) for j in range(len(items))])[0][1] for i in range(len(items))]


def test_number_conversions():
    items = (3, True, Fraction(1, 3), Decimal("0.1"), IndexOnly(7), 2**53 + 1, -1.5)
    assert stored_values(items) == [3.0, 1.0, 1 / 3, 0.1, 7.0, float(2**53 + 1), -1.5]
    for dim in (True, IndexOnly(1)):
        idx = PyFlat(dim)
        idx.insert([5])
        assert idx.search([2], k=IndexOnly(3)) == [(0, 3.0)]
        assert error(ValueError, lambda: idx.insert([1, 2])).args == ("Expected vector of length 1, got 2",)


@pytest.mark.parametrize(
    "length",
    [
        0,
        1,
        10**9,
        10**18,
        sys.maxsize,
        -1,
        2**64,
        "x",
        ValueError("len"),
        TypeError("len"),
        OverflowError("len"),
    ],
    ids=repr,
)
def test_reported_length_is_only_a_hint(flat, length):
    flat.insert(Seq([7, 8], length))
    flat.create(Seq([Seq([5.5, 6.5], length), [9, 9]], length))
    assert flat.search(Seq([7, 8], length), 1) == [(3, 0.0)]
    assert flat.search([5.5, 6.5], 1) == [(4, 0.0)]
    assert error(ValueError, lambda: flat.insert(Seq([1, 2, 3], length))).args == (
        "Expected vector of length 2, got 3",
    )


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize("fail_at", [-1, 0, 1])
@pytest.mark.parametrize("fail", [ValueError("boom"), KeyError("boom"), TypeErrorSub("boom")], ids=repr)
def test_iterator_errors_pass_through(flat, fail, fail_at):
    before = snapshot(flat)
    assert error(type(fail), lambda: flat.insert(Seq([1, 2], fail=fail, fail_at=fail_at))) is fail
    assert error(type(fail), lambda: flat.create([[1, 2], Seq([1, 2], fail=fail, fail_at=fail_at)])) is fail
    assert snapshot(flat) == before


@pytest.mark.parametrize("fail_at", [-1, 1, "float"])
@pytest.mark.parametrize("cause", [None, KeyError("why")])
def test_type_errors_get_prefix_and_keep_cause(flat, fail_at, cause):
    fail = TypeError("boom")
    fail.__cause__ = cause

    def raise_fail():
        raise fail

    vector = [Number(raise_fail), 1] if fail_at == "float" else Seq([1, 2], fail=fail, fail_at=fail_at)
    exc = error(TypeError, lambda: flat.create([[1, 2], vector]))
    assert exc.args == ("argument 'vectors': boom",) and exc.__cause__ is cause
    flat.insert([1, 2])


@pytest.mark.parametrize(
    "make, exc_type, message",
    [
        (lambda f, n: f.insert([n(lambda: f.search([0, 0])), 0]), RuntimeError, MUT),
        (lambda f, n: f.create([[1, 1], [n(lambda: f.search([0, 0])), 0]]), RuntimeError, MUT),
        (
            lambda f, n: f.insert(Seq([1, 2], on_iter=n(lambda: f.search([0, 0])).__float__)),
            RuntimeError,
            MUT,
        ),
        (lambda f, n: f.insert([n(lambda: f.insert([0, 0])), 0]), RuntimeError, BOR),
        (lambda f, n: f.create([[n(lambda: f.create([[0, 0]])), 0]]), RuntimeError, BOR),
        (lambda f, n: f.search([n(lambda: f.insert([0, 0])), 0]), RuntimeError, BOR),
        (lambda f, n: f.search([0, 0], k=n(lambda: f.create([[0, 0]]), 1)), RuntimeError, BOR),
        # binding comes before the access check, and its TypeError takes the outer prefix
        (
            lambda f, n: f.insert([n(lambda: f.search()), 0]),
            TypeError,
            "argument 'vector': " + MISSING.format("PyFlat.search()", "query"),
        ),
    ],
)
def test_reentrant_calls_are_refused(flat, make, exc_type, message):
    before, hooks = snapshot(flat), []

    def number(hook, value=0):
        hooks.append(Number(hook, value))
        return hooks[-1]

    exc = error(exc_type, lambda: make(flat, number))
    assert exc.args == (message,)
    if exc_type is RuntimeError:  # raised inside the callback, passed through unchanged
        assert exc is hooks[0].raised[0]
    assert snapshot(flat) == before
    flat.insert([6, 8])
    assert flat.search([6, 8]) == [(3, 0.0)]


def test_nested_calls_that_are_allowed(flat):
    inner, made = [], []
    query = Number(lambda: inner.append(flat.search([3, 4])), 3)
    k = Number(lambda: inner.append(flat.search([1, 1], k=query)), 2)
    assert flat.search([query, 4], k) == [(2, 0.0), (1, math.sqrt(13.0))]
    # the query hook ran twice (as a float, then as k of the nested search) before the nested search ended
    assert inner == [[(2, 0.0)], [(2, 0.0)], [(1, 0.0), (0, math.sqrt(2.0)), (2, math.sqrt(13.0))]]
    flat.insert([Number(lambda: made.append(PyFlat(1)), 6), 8])  # constructors take no access
    made[0].insert([1])
    assert flat.search([6, 8]) == [(3, 0.0)]


def test_length_hook_error_is_discarded(flat):
    before, hook = snapshot(flat), Number(lambda: flat.insert([0, 0]))
    assert flat.search(Seq([3, 4], length=hook), 1) == [(2, 0.0)]
    assert [e.args for e in hook.raised] == [(BOR,)]
    assert snapshot(flat) == before
