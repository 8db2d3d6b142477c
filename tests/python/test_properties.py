"""Stateful property tests: random call sequences on both index classes, with
well-formed and malformed arguments, against plain-Python models of argument
conversion and of the indexes. Where the graph is deterministic (0 or 1 layers)
every call must give the model's result bit for bit or the model's exception,
type and message, and the index must hold what the model holds; with random
levels errors must still match and results keep what holds for any graph.
`fuzz_one_input` drives the same machines for the fuzzer (tests/fuzz)."""

import math
import operator
import pathlib
import struct
from dataclasses import dataclass

import hobrin
import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, get_state_machine_test, initialize, invariant, rule

from conftest import flat_reference
from hnsw_model import ModelHNSW, meta_eq, to_metadata

ALL = 2**64 - 1


# ---- argument objects --------------------------------------------------------


class Text(str):
    pass


@dataclass(frozen=True)
class Real:  # a number known only through __float__
    x: float
    __float__ = lambda self: self.x  # noqa: E731


@dataclass(frozen=True)
class Index:  # an integer known only through __index__
    n: int
    __index__ = lambda self: self.n  # noqa: E731


# ---- the binding layer's conversions, as the interpreter would run them -------


def mismatch(obj, target):
    return TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def as_float(x):
    if type(x) is not float:
        math.fsum([x])  # raises the interpreter's own conversion error, if any
    return float(x)


def as_uint(x):
    v = operator.index(x)
    if not 0 <= v < 2**64:
        raise OverflowError("can't convert negative int to unsigned" if v < 0 else "int too big to convert")
    return v


def as_text(x):
    if not isinstance(x, str):
        raise mismatch(x, "PyString")
    x.encode()
    return str(x)


def as_list(obj, item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not isinstance(obj, (list, tuple, np.ndarray)):
        raise mismatch(obj, "Sequence")
    return [item(x) for x in obj]


def as_vector(obj):
    if isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype in (np.float32, np.float64):
        return [float(x) for x in obj]
    return as_list(obj, as_float)


def as_pair(x):
    if not isinstance(x, tuple):
        raise mismatch(x, "PyTuple")
    if len(x) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(x)}")
    return as_text(x[0]), x[1]


def list_of(item):
    return lambda obj: as_list(obj, item)


def convert(name, fn, obj, required=False):
    if obj is None and not required:
        return None
    try:
        return fn(obj)
    except TypeError as e:
        if type(e) is TypeError:  # only a plain TypeError gets the argument's name
            raise TypeError(f"argument '{name}': {e}") from None
        raise


class ModelSurface:
    """The PyHNSW methods on the graph model, taking unconverted arguments."""

    def __init__(self, *args):
        names = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]
        fns = [as_uint] * 5 + [as_text, list_of(as_text)]
        self.m = ModelHNSW(*(convert(n, f, a, n == "dim") for n, f, a in zip(names, fns, args)))
        self.g = self.m.g

    def insert(self, vector, metadata=None):
        v = convert("vector", as_vector, vector, True)
        self.m.insert(v, convert("metadata", list_of(as_pair), metadata))

    def create(self, vectors, metadata=None):
        vs = convert("vectors", list_of(as_vector), vectors, True)
        self.m.create(vs, convert("metadata", list_of(list_of(as_pair)), metadata))

    def search(self, query, k=None, filter=None):
        q = convert("query", as_vector, query, True)
        return self.m.search(q, convert("k", as_uint, k), convert("filter", as_pair, filter))


class FlatModel:
    def __init__(self, dim, metric=None):
        self.dim, self.metric = convert("dim", as_uint, dim, True), convert("metric", as_text, metric)
        self.stored = []

    def insert(self, vector):
        v = convert("vector", as_vector, vector, True)
        if len(v) != self.dim:
            raise ValueError(f"Expected vector of length {self.dim}, got {len(v)}")
        self.stored.append(v)

    def search(self, query, k=None):
        q, k = convert("query", as_vector, query, True), convert("k", as_uint, k)
        if len(q) != self.dim:
            raise ValueError(f"Expected query of length {self.dim}, got {len(q)}")
        if not self.stored or self.dim == 0:  # dimension 0 stores no values at all
            raise ValueError("Search error: EmptyIndex")
        metric = self.metric if self.metric in ("inner_product", "cosine") else None
        return flat_reference(metric, self.stored, q, k)

    def create(self, vectors):
        vs = convert("vectors", list_of(as_vector), vectors, True)
        if not vs:
            raise ValueError("Create error: EmptyVectors")
        for v in vs:  # the vectors before a wrong one stay
            if len(v) != self.dim:
                raise ValueError(f"Vector length {len(v)} does not match index dimension {self.dim}")
            self.stored.append(v)


def canon(x):
    """Comparable form: NaNs alike, other floats by bit pattern, containers as tuples."""
    if isinstance(x, float):
        return b"nan" if math.isnan(x) else struct.pack("<d", x)
    if isinstance(x, (list, tuple)):
        return tuple(canon(i) for i in x)
    return x


def outcome(call):
    try:
        return "ok", call()
    except (TypeError, ValueError, OverflowError) as e:
        return type(e), str(e)


def same_outcome(real, model):
    assert canon(outcome(real)) == canon(outcome(model))


# ---- argument strategies -------------------------------------------------------

NUMBER = st.one_of(
    st.sampled_from([-2.0, -1.0, -0.0, 0.0, 1.0, 2.0, math.inf, math.nan, True, 2**1000]),
    st.floats(),
    st.integers(-3, 3),
    st.floats().map(Real),
    st.integers(-3, 3).map(Index),
)
BAD_NUMBER = st.sampled_from(["1", None, 2**1100, [1.0], 1j, b"1", Index(2**1100)])
NOT_A_LIST = st.sampled_from(["12", Text("1"), {}, None, 3, frozenset([1.0])])
LAYOUTS_1D = [lambda a: a, lambda a: a[::-1], lambda a: np.repeat(a, 2)[::2]]
LAYOUTS_2D = [lambda a: a, np.asfortranarray, lambda a: a[::-1], lambda a: a[:, ::-1]]


def array(rows, dtype, layout):
    with np.errstate(all="ignore"):
        return layout(np.array([[as_float(x) for x in r] for r in rows], dtype=np.float64).astype(dtype))


def vector(dim, well_formed=True):
    good = st.lists(NUMBER, min_size=dim, max_size=dim)
    arrays = st.builds(
        lambda v, t, f: f(array([v], t, lambda a: a)[0]),
        good,
        st.sampled_from([np.float64, np.float32]),
        st.sampled_from(LAYOUTS_1D),
    )
    if well_formed:
        return st.one_of(good, good.map(tuple), arrays)
    return st.one_of(
        st.lists(NUMBER, max_size=dim + 2),
        st.lists(st.one_of(NUMBER, BAD_NUMBER), max_size=dim + 1),
        NOT_A_LIST,
    )


def vector_list(dim, well_formed=True):
    rows = st.lists(vector(dim), min_size=1, max_size=12)
    arrays = st.builds(
        lambda r, t, f: f(array(r, t, lambda a: a.reshape(len(r), dim))),
        st.lists(st.lists(NUMBER, min_size=dim, max_size=dim), max_size=12),
        st.sampled_from([np.float64, np.float32]),
        st.sampled_from(LAYOUTS_2D),
    )
    if well_formed:
        return st.one_of(rows, rows.map(tuple), arrays)
    return st.one_of(st.lists(st.one_of(vector(dim), vector(dim, False)), max_size=3), NOT_A_LIST)


NAME = st.sampled_from(["color", "size", "shape"])
ODD_NAME = st.sampled_from([Text("size"), "\ud800", 1, None])
# Values that are alike but of different kinds, so that filters meet near misses.
ALIKE = st.sampled_from(
    [
        "red",
        Text("red"),
        "1",
        1,
        True,
        1.0,
        Index(1),
        Real(1.0),
        0,
        False,
        -0.0,
        0.0,
        2**63,
        float(2**63),
        2**63 - 1,
        -(2**63) - 1,
        math.nan,
    ]
)
GOOD_VALUE = st.one_of(ALIKE, ALIKE, ALIKE, st.just(""), st.integers(), st.floats())
VALUE = st.one_of(GOOD_VALUE, st.sampled_from(["\ud800", 2**1100, [1], None, {}]))
PAIR = st.tuples(NAME, VALUE)
ODD_PAIR = st.one_of(
    st.tuples(ODD_NAME, VALUE), PAIR.map(list), st.tuples(NAME), st.tuples(NAME, VALUE, VALUE)
)
FULL_PAIRS = st.builds(
    lambda a, b, more: [("size", a), ("color", b)] + more,
    GOOD_VALUE,
    GOOD_VALUE,
    st.lists(st.tuples(NAME, GOOD_VALUE), max_size=2),
)
PAIRS = st.one_of(st.lists(PAIR, max_size=4), st.lists(st.one_of(PAIR, ODD_PAIR), max_size=3), NOT_A_LIST)


def rows_for(vectors, well_formed=True):
    n = len(vectors) if isinstance(vectors, (list, tuple, np.ndarray)) else 0
    if well_formed:
        return st.one_of(st.none(), st.lists(FULL_PAIRS, min_size=n, max_size=n))
    return st.one_of(st.lists(PAIRS, min_size=n, max_size=n), st.lists(PAIRS, max_size=n + 1), NOT_A_LIST)


GOOD_K = st.one_of(st.none(), st.integers(0, 12), st.just(ALL))
BAD_K = st.sampled_from([2**64, -1, 1.5, "3", True, Index(2), Index(-1)])
GOOD_FILTER = st.one_of(st.none(), st.tuples(NAME, GOOD_VALUE))
BAD_FILTER = st.one_of(PAIR, st.tuples(ODD_NAME, VALUE), ODD_PAIR, NOT_A_LIST)
BAD_UINT = st.sampled_from([-1, 2**64, 1.5, "2", None, Index(-1)])
SCHEMA = st.sampled_from([["color", "size"], None, ["color"], ("size", "color", "size"), []])
BAD_SCHEMA = st.sampled_from(["color", ["color", 1], [Text("size"), "\ud800"], {"color": 1}])
HNSW_METRIC = st.sampled_from(["euclidean", "angular", "inner_product"])
BAD_METRIC = st.sampled_from([None, "cosine", "Euclidean", "", Text("angular"), 3])


def maybe(good, bad):
    return st.one_of(good, good, good, bad)


def pick(data, well_formed, good, bad):
    """A well-formed value, or, in a malformed call, either kind."""
    return data.draw(good if well_formed else st.one_of(good, bad))


SETTINGS = settings(
    max_examples=200,
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


# ---- the machines ----------------------------------------------------------------


class Machine(RuleBasedStateMachine):
    """The rules of both classes; `extra` adds the graph index's metadata and filter."""

    exact = True

    def both(self, call):
        got, expected = outcome(lambda: call(self.real)), outcome(lambda: call(self.model))
        if self.exact or got[0] != "ok" or expected[0] != "ok":  # a random graph may find other vectors
            assert canon(got) == canon(expected)
        return got

    def extra(self, data, well_formed, method, first):
        return ()

    @rule(data=st.data(), well_formed=st.booleans())
    def insert(self, data, well_formed):
        v = pick(data, well_formed, vector(self.dim), vector(self.dim, False))
        args = (v, *self.extra(data, well_formed, "insert", v))
        self.both(lambda ix: ix.insert(*args))

    @rule(data=st.data(), well_formed=st.booleans())
    def create(self, data, well_formed):
        vs = pick(data, well_formed, vector_list(self.dim), vector_list(self.dim, False))
        args = (vs, *self.extra(data, well_formed, "create", vs))
        self.both(lambda ix: ix.create(*args))

    @rule(data=st.data(), well_formed=st.booleans())
    def search(self, data, well_formed):
        query, k = (
            pick(data, well_formed, vector(self.dim), vector(self.dim, False)),
            pick(data, well_formed, GOOD_K, BAD_K),
        )
        args = (query, k, *self.extra(data, well_formed, "search", query))
        got = self.both(lambda ix: ix.search(*args))
        if got[0] == "ok" and not self.exact:
            self.check_result(got[1], *args)

    @invariant()
    def holds_what_the_model_holds(self):
        if hasattr(self, "real"):
            self.probe()

    def probe(self):
        self.both(lambda ix: ix.search([0.0] * self.dim, ALL))


class HNSWMachine(Machine):
    @initialize(
        dim=st.integers(1, 3),
        layers=st.sampled_from([1, 2, 1, 4, 0]),
        metric=HNSW_METRIC,
        ef=st.tuples(*[st.sampled_from([ALL, 1, None, 2, 5, 0])] * 2),
        schema=SCHEMA,
    )
    def build(self, dim, layers, metric, ef, schema):
        args = (dim, layers, None, ef[0], ef[1], metric, schema)
        self.real, self.model, self.dim, self.exact = (
            hobrin.PyHNSW(*args),
            ModelSurface(*args),
            dim,
            layers <= 1,
        )

    @rule(
        dim=maybe(st.integers(0, 3), BAD_UINT),
        layers=maybe(st.sampled_from([None, 1, 64, 65, ALL]), BAD_UINT),
        ints=st.lists(maybe(st.sampled_from([None, 0, ALL]), BAD_UINT), min_size=3, max_size=3),
        metric=maybe(HNSW_METRIC, BAD_METRIC),
        schema=maybe(SCHEMA, BAD_SCHEMA),
    )
    def construct(self, dim, layers, ints, metric, schema):
        args = (dim, layers, *ints, metric, schema)
        same_outcome(lambda: hobrin.PyHNSW(*args) and None, lambda: ModelSurface(*args) and None)

    def extra(self, data, well_formed, method, first):
        if method == "search":
            return (pick(data, well_formed, GOOD_FILTER, BAD_FILTER),)
        if method == "create":
            return (pick(data, well_formed, rows_for(first), rows_for(first, False)),)
        meta = pick(data, well_formed, st.one_of(st.none(), FULL_PAIRS), PAIRS)
        return () if meta is None and data.draw(st.booleans()) else (meta,)

    def check_result(self, result, query, k, flt):
        """What holds whatever the levels: order, count, distances, stored vectors, filter."""
        g, query, k = self.model.g, as_vector(query), 1 if k is None else as_uint(k)
        assert len(result) <= min(max(k, 1), g.ef_search)
        keys = [(math.isnan(d), 0.0 if math.isnan(d) else d) for d, _ in result]
        assert keys == sorted(keys)
        for d, v in result:
            nodes = [i for i, s in enumerate(g.vectors) if canon(s) == canon(v)]
            assert nodes and canon(d) == canon(g.distance(query, v))
            if flt is not None:
                value, at = to_metadata(flt[1]), g.schema.index(flt[0])
                assert any(g.rows[i] is not None and meta_eq(g.rows[i][at], value) for i in nodes)

    def probe(self):
        g = self.model.g
        if g.layers == 0:
            return
        query = g.vectors[-1] if g.vectors else [0.5] * self.dim
        got = self.both(lambda ix: ix.search(query, ALL))
        if g.ef_search == ALL and got[0] == "ok":  # then a search reaches every stored vector
            assert sorted(canon([v for _, v in got[1]])) == sorted(canon(g.vectors))
        for value in ("red", True, 1.0) if self.exact and g.schema else ():
            self.both(lambda ix: ix.search(query, ALL, (g.schema[-1], value)))


FLAT_METRIC = st.sampled_from([None, "inner_product", "cosine", "euclidean", "Cosine", Text("cosine"), ""])


class FlatMachine(Machine):
    @initialize(dim=st.integers(0, 3), metric=FLAT_METRIC)
    def build(self, dim, metric):
        self.real, self.model, self.dim = hobrin.PyFlat(dim, metric), FlatModel(dim, metric), dim

    @rule(dim=maybe(st.integers(0, 3), BAD_UINT), metric=maybe(FLAT_METRIC, st.sampled_from([3, b"cosine"])))
    def construct(self, dim, metric):
        same_outcome(lambda: hobrin.PyFlat(dim, metric) and None, lambda: FlatModel(dim, metric) and None)


TestHNSW = HNSWMachine.TestCase
TestHNSW.settings = SETTINGS
TestFlat = FlatMachine.TestCase
TestFlat.settings = settings(SETTINGS, max_examples=100)


# ---- the fuzz target and its corpus ------------------------------------------------

FUZZ_SETTINGS = settings(SETTINGS, stateful_step_count=15, database=None)
_FUZZ_TARGETS = [get_state_machine_test(m, settings=FUZZ_SETTINGS) for m in (HNSWMachine, FlatMachine)]
CORPUS = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "corpus"


def fuzz_one_input(data: bytes):
    """The first byte picks the class; the rest drives that class's machine."""
    if data:
        _FUZZ_TARGETS[data[0] % 2].hypothesis.fuzz_one_input(data[1:])


@pytest.mark.parametrize("path", sorted(CORPUS.glob("*")), ids=lambda p: p.name)
def test_fuzz_corpus(path):
    fuzz_one_input(path.read_bytes())
