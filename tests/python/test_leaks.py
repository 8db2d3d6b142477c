"""Leak checks: every method on its success path and on each failure path
(conversion errors, access conflicts, core errors), called many times in a loop.
Neither the interpreter's allocated blocks, nor the memory tracemalloc traces,
nor the resident set may grow beyond a small bound, and no call may change the
reference count of anything it was given."""

import atexit
import gc
import os
import shutil
import sys
import tempfile
import tracemalloc

import numpy as np
import pytest
from hobrin import PyFlat, PyHNSW

from hobrin_ann import Index, _core

DIM = 64  # a leaked copy of one vector is 512 bytes: 5000 of them show in the resident set
CALLS = 5000
V = [float(i) for i in range(DIM)]
M = np.arange(3 * DIM, dtype=np.float64).reshape(3, DIM)
META = [("color", "red"), ("size", 2**40)]
with open("/proc/self/maps") as maps:  # AddressSanitizer holds freed memory back: RSS then says nothing
    SANITIZED = "libasan" in maps.read()


class Reenter:
    """A number whose conversion calls back into an index (and then fails)."""

    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 1.0

    __index__ = __float__


def flat(n=3):
    idx = PyFlat(DIM, "cosine")
    if n:
        idx.create(M[:n])
    return idx


def hnsw(n=3, schema=("color", "size"), **kw):
    idx = PyHNSW(DIM, layers=3, metric="euclidean", schema=schema, **kw)
    if n:
        idx.create(M[:n], [META] * n if schema else None)
    return idx


def build_hnsw():
    idx = hnsw(0)
    idx.create(M, [META, META, [("size", 1.5), ("color", "x")]])
    idx.insert(V, META)
    idx.insert(np.array(V, dtype=np.float32))
    return idx.search(V, 3, ("color", "red"))


F, E, H, NOEF, NOSEARCH, NOSCHEMA = (
    flat(),
    flat(0),
    hnsw(),
    hnsw(1, ef_construction=0),
    hnsw(ef_search=0),
    hnsw(schema=None),
)


def ann(n=3):
    idx = Index(DIM, schema=["color", "size"], seed=1)
    if n:
        idx.add(M[:n], metadata=[META] * n)
    return idx


def build_ann():
    idx = ann()
    idx.add(np.array(V, dtype=np.float32), ids=[7])
    return idx.search(M, 2, filter=("color", "red")), idx.get([7, 0]), 7 in idx


A = ann()
# Index files in memory where the system has such a folder: saves sync each file.
FILES = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
atexit.register(shutil.rmtree, FILES, True)
SAVED, DAMAGED = os.path.join(FILES, "a.hbr"), os.path.join(FILES, "damaged.hbr")
A.save(SAVED)
with open(SAVED, "rb") as saved, open(DAMAGED, "wb") as damaged:
    BYTES = saved.read()
    damaged.write(BYTES[:-1])
# (expected exception or None, callable, arguments...)
CASES = {
    "flat new": (None, PyFlat, DIM, "inner_product"),
    "flat new bad dim": (OverflowError, PyFlat, -1),
    "flat new bad metric": (TypeError, PyFlat, DIM, 3),
    "flat build": (None, lambda: flat().insert(V)),
    "flat search": (None, F.search, V, 2),
    "flat search array": (None, F.search, np.array(V), 2),
    "flat search binding": (TypeError, F.search, V, 1, 2),
    "flat search bad k": (OverflowError, F.search, V, -1),
    "flat search bad query": (TypeError, F.search, V[:-1] + ["x"]),
    "flat search length": (ValueError, F.search, V[:3]),
    "flat search empty": (ValueError, E.search, V),
    "flat insert length": (ValueError, F.insert, V[:3]),
    "flat insert str": (TypeError, F.insert, "abc"),
    "flat create empty": (ValueError, F.create, []),
    "flat create length": (ValueError, F.create, [V[:3], V]),
    "flat create bad row": (TypeError, F.create, [V, "x"]),
    "flat insert conflict": (RuntimeError, F.insert, V[:-1] + [Reenter(lambda: F.insert(V))]),
    "flat search conflict": (RuntimeError, F.insert, V[:-1] + [Reenter(lambda: F.search(V))]),
    "hnsw new": (None, PyHNSW, DIM, 2, 3, 4, 5, "angular", ["color", "size"]),
    "hnsw new metric": (ValueError, PyHNSW, DIM, None, None, None, None, "cosine", ["color"]),
    "hnsw new layers": (ValueError, PyHNSW, DIM, 65, None, None, None, "euclidean", ["color"]),
    "hnsw new schema": (TypeError, PyHNSW, DIM, None, None, None, None, "euclidean", ["color", 1]),
    "hnsw build": (None, build_hnsw),
    "hnsw search": (None, H.search, V, 3),
    "hnsw search filter": (None, H.search, V, 3, ("color", "red")),
    "hnsw search filter attribute": (ValueError, H.search, V, 3, ("shape", 1)),
    "hnsw search filter value": (ValueError, H.search, V, 3, ("color", [1])),
    "hnsw search filter list": (TypeError, H.search, V, 3, ["color", 1]),
    "hnsw search filter length": (ValueError, H.search, V, 3, ("color",)),
    "hnsw search filter no schema": (ValueError, NOSCHEMA.search, V, 3, ("color", "red")),
    "hnsw search ef": (ValueError, NOSEARCH.search, V),
    "hnsw search length": (ValueError, H.search, V[:3]),
    "hnsw search bad k": (OverflowError, H.search, V, -1),
    "hnsw insert ef": (ValueError, NOEF.insert, V, META),
    "hnsw create ef": (ValueError, NOEF.create, M, [META] * 3),
    "hnsw insert length": (ValueError, H.insert, V[:3], META),
    "hnsw insert missing": (ValueError, H.insert, V, [("color", "red")]),
    "hnsw insert unsupported": (ValueError, H.insert, V, [("color", [1]), ("size", 1)]),
    "hnsw insert pair": (ValueError, H.insert, V, [("color", "red", 1)]),
    "hnsw insert no schema": (ValueError, NOSCHEMA.insert, V, META),
    "hnsw create count": (ValueError, H.create, M, [META]),
    "hnsw create length": (ValueError, H.create, [V, V[:3]]),
    "hnsw create metadata str": (TypeError, H.create, M, ["color", "red", "x"]),
    "hnsw insert conflict": (RuntimeError, H.insert, V[:-1] + [Reenter(lambda: H.insert(V))]),
    "hnsw search conflict": (RuntimeError, H.search, V[:-1] + [Reenter(lambda: H.insert(V))]),
    "hnsw metadata conflict": (
        ValueError,
        H.insert,
        V,
        [("color", Reenter(lambda: H.insert(V))), ("size", 1)],
    ),
    "hnsw filter conflict": (ValueError, H.search, V, 1, ("color", Reenter(lambda: H.create(M)))),
    "ann build": (None, build_ann),
    "ann search": (None, A.search, M, 2),
    "ann search exact": (None, lambda: A.search(V, 5, exact=True, threads=2)),
    "ann search filter attribute": (ValueError, lambda: A.search(V, 1, filter=("shape", 1))),
    "ann add length": (ValueError, A.add, V[:3]),
    "ann add id present": (ValueError, A.add, M[:1], [0], [META]),
    "ann add metadata": (ValueError, A.add, M[:1], None, [[("color", [[1]]), ("size", 1)]]),
    "ann add metadata reenters": (
        None,
        lambda: ann(0).add(M[:1], None, [[("color", Reenter(lambda: A.search(V))), ("size", 1)]]),
    ),
    "ann add unknown attribute": (ValueError, A.add, M[:1], None, [META + [("shape", 1)]]),
    "ann add repeated attribute": (ValueError, A.add, M[:1], None, [META + [("size", 1)]]),
    "ann contains many": (None, A.contains_many, np.arange(10)),
    "ann check batch": (None, A.check_batch, M, [7, 8, 9], [META] * 3),
    "ann check batch metadata": (ValueError, A.check_batch, M[:1], None, [[("color", [[1]]), ("size", 1)]]),
    "ann check search filter": (ValueError, lambda: A.check_search(V, 1, filter=[("shape", 1)])),
    "ann estimate": (None, Index.estimate_nbytes, DIM, 10**6),
    "ann get missing": (KeyError, A.get, [0, 99]),
    "ann remove": (None, lambda: ann().remove([1, 2])),
    "ann remove missing": (KeyError, A.remove, [0, 99]),
    "ann compact": (None, lambda: A.compact(threads=1)),
    "ann save": (None, A.save, SAVED),
    "ann save no folder": (FileNotFoundError, A.save, os.path.join(FILES, "no folder", "a.hbr")),
    "ann load": (None, Index.load, SAVED),
    "ann load damaged": (ValueError, Index.load, DAMAGED),
    "ann load missing": (FileNotFoundError, Index.load, os.path.join(FILES, "missing.hbr")),
    # What pickling calls, without the pickle module's own caches.
    "ann reduce": (None, lambda: (reduced := A.__reduce__())[0](*reduced[1])),
    "ann from bytes damaged": (ValueError, _core.GraphIndex.from_bytes, BYTES[:-1]),
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(fn, args, expected):
    try:
        fn(*args)
    except Exception as e:
        assert type(e) is expected, e
    else:
        assert expected is None


def reachable(fn, args):
    """The receiver, the arguments and what they hold, two levels down; not the
    statically allocated objects (small ints), which the whole interpreter shares."""
    objs = [getattr(fn, "__self__", fn), *args]
    for o in [o for o in objs if isinstance(o, (list, tuple))]:
        objs += [*o, *(i for x in o if isinstance(x, (list, tuple)) for i in x)]
    return [o for o in objs if sys.getrefcount(o) < 1 << 28]


@pytest.mark.parametrize("case", CASES)
def test_no_leak(case):
    expected, fn, *args = CASES[case]
    objs = reachable(fn, args)
    for _ in range(3):
        before = [sys.getrefcount(o) for o in objs]
        call(fn, args, expected)
        assert [sys.getrefcount(o) for o in objs] == before
    for _ in range(CALLS // 10):  # warm up caches and free lists
        call(fn, args, expected)
    # Threads that earlier tests left winding down (a Ray driver's, say)
    # allocate too: a round may be disturbed, but a leak shows in every round.
    grown = []
    for _ in range(3):
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), rss()
        # Under the sanitizers Python allocates with plain malloc (no blocks
        # to count) and the resident set says nothing: only the traced calls
        # below measure there.
        for _ in range(0 if SANITIZED else CALLS):
            call(fn, args, expected)
        gc.collect()
        tracemalloc.start()
        try:
            traced = tracemalloc.get_traced_memory()[0]
            for _ in range(CALLS // 5):
                call(fn, args, expected)
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0] - traced
        finally:
            tracemalloc.stop()
        grown.append((sys.getallocatedblocks() - blocks, rss() - resident, traced))
        if grown[-1][0] < 50 and (SANITIZED or grown[-1][1] < 1 << 20) and traced < 16 << 10:
            return
    pytest.fail(f"every round grew (blocks, resident bytes, traced bytes): {grown}")
