"""hobrin_ann.Index's checks ahead of a call (check_ids, check_batch,
check_search), its vectorised presence test and its memory estimate: each
agrees with the call it stands for, and hobrin_ann.ray needs nothing else."""

import ast
import pathlib
import pickle
import re

import numpy as np
import pytest

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

RNG = np.random.default_rng(5)
BASE = RNG.standard_normal((40, 6))
ROWS = [[("color", "red"), ("size", i)] for i in range(40)]


def filled():
    index = Index(6, schema=["color", "size"], seed=3)
    index.add(BASE[:20], ids=np.arange(0, 40, 2), metadata=ROWS[:20])
    return index


def raised(call):
    with pytest.raises(Exception) as caught:
        call()
    return caught.value


def assert_same_error(check, call):
    """``check`` raises what ``call`` raises, type and message."""
    expected = raised(call)
    with pytest.raises(type(expected), match=re.escape(str(expected))):
        check()


BAD_IDS = [[-1], [1.5], [[1, 2]], "7", [2**63], np.array([1], dtype=np.uint64) << np.uint64(63)]


@pytest.mark.parametrize("ids", BAD_IDS)
def test_id_checks_refuse_as_get_and_remove_do(ids):
    index = filled()
    assert_same_error(lambda: index.contains_many(ids), lambda: index.get(ids))
    assert_same_error(lambda: Index.check_ids(ids), lambda: index.get(ids))
    assert_same_error(lambda: Index.check_ids(ids, unique=True), lambda: index.remove(ids))


def test_check_ids_converts_and_refuses_repeats_on_request():
    ids = Index.check_ids(np.array([3, 5, 3], dtype=np.uint16))
    assert ids.dtype == np.int64 and ids.tolist() == [3, 5, 3] and Index.check_ids(7).tolist() == [7]
    assert_same_error(lambda: Index.check_ids([3, 5, 3], unique=True), lambda: filled().remove([3, 5, 3]))


def test_contains_many_agrees_with_in():
    index = filled()
    index.remove([4, 10])
    wanted = np.array([0, 1, 2, 4, 10, 38, 39, 40, 2**62], dtype=np.uint64)
    found = index.contains_many(wanted)
    assert found.dtype == np.bool_ and found.tolist() == [int(i) in index for i in wanted]
    assert found.tolist() == [True, False, True, False, False, True, False, False, False]
    assert index.contains_many(2).tolist() == [True]
    assert index.contains_many([]).shape == (0,)
    assert Index(3).contains_many(range(3)).tolist() == [False] * 3


# Each batch breaks one rule that add enforces before it touches the index.
BAD_BATCHES = [
    {"vectors": np.zeros((2, 5))},
    {"vectors": [["a"] * 6]},
    {"vectors": [[np.nan] * 6]},
    {"vectors": np.full((1, 6), 1e300)},
    {"vectors": BASE[:2], "ids": [7, 7]},
    {"vectors": BASE[:2], "ids": [7, -1]},
    {"vectors": BASE[:2], "ids": [7]},
    {"vectors": BASE[:2], "ids": [1.0, 3.0]},
    {"vectors": BASE[:2], "metadata": ROWS[:1]},
    {"vectors": BASE[:2], "metadata": "ab"},
    {"vectors": BASE[:1], "metadata": [[("color", "red")]]},
    {"vectors": BASE[:1], "metadata": [[("color", "red"), ("size", [[]])]]},
    {"vectors": BASE[:1], "metadata": [ROWS[0] + [("shape", 1)]]},
    {"vectors": BASE[:1], "metadata": [ROWS[0] + [("size", 2)]]},
    {"vectors": BASE[:1], "metadata": [[("color", "red"), ("size", 1), 3]]},
]


@pytest.mark.parametrize("batch", BAD_BATCHES)
def test_check_batch_raises_what_add_raises_and_adds_nothing(batch):
    index = filled()
    assert_same_error(lambda: index.check_batch(**batch), lambda: filled().add(**batch))
    assert len(index) == 20 and index.add(BASE[0], metadata=ROWS[:1]).tolist() == [39]


def test_check_batch_returns_what_add_stores_and_adds_nothing():
    index = Index(6, "cosine", dtype="float64", schema=["color", "size"])
    rows, ids = index.check_batch(BASE[0].tolist())
    assert rows.shape == (1, 6) and rows.dtype == np.float64 and rows.flags.c_contiguous
    np.testing.assert_array_equal(rows[0], BASE[0])  # as given: add scales it to unit length
    assert ids is None
    rows, ids = index.check_batch(BASE[:3].astype(np.float32), np.array([9, 4, 2], dtype=np.uint8), ROWS[:3])
    assert rows.dtype == np.float64 and ids.dtype == np.int64 and ids.tolist() == [9, 4, 2]
    assert len(index) == 0
    # Ids already present are add's to refuse: check_batch cannot know them.
    index.add(BASE[:1], ids=[9], metadata=ROWS[:1])
    index.check_batch(BASE[:1], ids=[9], metadata=ROWS[:1])
    with pytest.raises(ValueError, match="id 9 is already in the index"):
        index.add(BASE[:1], ids=[9], metadata=ROWS[:1])


BAD_SEARCHES = [
    {"queries": np.zeros((2, 5))},
    {"queries": [[np.inf] * 6]},
    {"queries": BASE[0], "k": 0},
    {"queries": BASE[0], "k": 2.0},
    {"queries": BASE[0], "ef": 0},
    {"queries": BASE[0], "threads": -1},
    {"queries": BASE[0], "filter": "color"},
    {"queries": BASE[0], "filter": ("shape", 1)},
    {"queries": BASE[0], "filter": [("color", "red"), ("size", [[]])]},
    {"queries": BASE[0], "filter": np.array([-3])},
]


@pytest.mark.parametrize("arguments", BAD_SEARCHES)
def test_check_search_raises_what_search_raises(arguments):
    index = filled()
    assert_same_error(lambda: index.check_search(**arguments), lambda: index.search(**arguments))


def test_check_search_returns_the_queries_as_search_reads_them():
    index = filled()
    rows, single = index.check_search(BASE[0].tolist(), 3, ef=5, filter=("color", "red"))
    assert single and rows.shape == (1, 6) and rows.dtype == np.float32
    rows, single = index.check_search(BASE[:4], filter=[])
    assert not single and rows.shape == (4, 6)
    with pytest.raises(ValueError, match="a filter needs an index built with a schema"):
        Index(6).check_search(BASE[0], filter=("color", "red"))
    Index(6).check_search(BASE[0], filter=[1, 2])  # an allow-list needs no schema


@pytest.mark.parametrize(
    ("dim", "count", "dtype", "m"),
    [(8, 3000, "float32", 16), (7, 3000, "float64", 4), (100, 2000, "float32", 2), (3, 1, "float32", 32)],
)
def test_estimate_is_close_to_the_nbytes_of_one_batch(dim, count, dtype, m):
    index = Index(dim, dtype=dtype, m=m, ef_construction=20, seed=1)
    index.add(np.random.default_rng(2).standard_normal((count, dim)), threads=1)
    estimate = Index.estimate_nbytes(dim, count, dtype=dtype, m=m)
    assert abs(estimate - index.nbytes) < 0.01 * index.nbytes
    assert abs(Index.estimate_nbytes(dim, 0, dtype=dtype, m=m) - Index(dim).nbytes) < 1024


def test_estimate_follows_the_padded_layout():
    # float32 rows take whole 64-byte blocks: 1..16 values cost the same.
    one, sixteen, seventeen = (Index.estimate_nbytes(d, 1000) for d in (1, 16, 17))
    assert one == sixteen and seventeen - sixteen == 64 * 1000
    assert Index.estimate_nbytes(16, 1000, dtype=np.float64) - sixteen == 64 * 1000
    # 2m layer-0 slots of 4 bytes, and about a list of m slots per m-1 vectors.
    step = Index.estimate_nbytes(16, 10**6, m=17) - Index.estimate_nbytes(16, 10**6, m=16)
    assert step == pytest.approx(10**6 * (8 + 4 * (17 / 16 - 16 / 15)), rel=1e-6)
    assert Index.estimate_nbytes(2**40, 2**40) == 2**64 - 1  # saturates rather than wraps


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"dim": 0, "count": 1}, ValueError, "dim must be at least 1"),
        ({"dim": 4, "count": -1}, ValueError, "count must be at least 0"),
        ({"dim": 4, "count": 1.0}, TypeError, "count must be an integer"),
        ({"dim": 4, "count": 1, "m": 1}, ValueError, "m must be at least 2"),
        ({"dim": 4, "count": 1, "dtype": "int8"}, ValueError, "unknown dtype"),
    ],
)
def test_estimate_refuses_what_the_constructor_refuses(arguments, error, message):
    with pytest.raises(error, match=message):
        Index.estimate_nbytes(**arguments)


def test_seed_is_kept_through_pickling():
    assert Index(3).seed is None
    index = Index(3, seed=11)
    assert index.seed == 11 and pickle.loads(pickle.dumps(index)).seed == 11


def test_the_ray_layer_uses_only_public_names_of_hobrin_ann():
    """hobrin_ann.ray imports no private name of hobrin_ann and reaches into
    no private attribute of an Index."""
    private = {name for name in vars(Index) if name.startswith("_") and not name.startswith("__")}
    private.add("_core")
    package = pathlib.Path(hobrin_ann.__file__).parent / "ray"
    for path in package.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            where = f"{path.name}:{getattr(node, 'lineno', 0)}"
            if isinstance(node, ast.ImportFrom) and (
                node.level == 2 or (node.module or "").startswith("hobrin_ann")
            ):
                parts = (node.module or "").split(".") + [alias.name for alias in node.names]
                assert not [part for part in parts if part.startswith("_")], where
            assert not (isinstance(node, ast.Attribute) and node.attr in private), where


def test_quantizations_lists_every_value_the_constructor_takes():
    assert Index.QUANTIZATIONS[0] is None
    for quantization in Index.QUANTIZATIONS:
        index = Index(6, quantization=quantization)
        index.add(BASE[:3])
        assert index.quantization == quantization and len(index.search(BASE[0], 2)[0]) == 2
    with pytest.raises(ValueError, match="expected one of None, 'float16'"):
        Index(6, quantization="int2")
