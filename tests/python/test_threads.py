"""Threads and re-entrancy: Python threads share one index, passing numbers,
metadata values, filter values and sequences whose conversion lets other
threads run or calls back into the same index. The only failures allowed are
the two access errors; afterwards the index holds exactly the vectors whose
insertion succeeded, and every result seen on the way was consistent."""

import collections
import random
import sys
import threading
import time

import pytest
from hobrin import PyFlat, PyHNSW

from conftest import euclidean

ACCESS = ("Already borrowed", "Already mutably borrowed")
DIM, THREADS, OPS, ALL = 4, 4, 400, 2**64 - 1


class Shared:
    def __init__(self, index):
        self.index, self.counts, self.errors = index, collections.Counter(), []
        self.inserted, self.lock = [], threading.Lock()

    def attempt(self, name, call):
        """Runs one call; an access error is counted, anything else is a fault."""
        self.counts["calls"] += 1
        try:
            return True, call()
        except RuntimeError as e:
            if str(e) not in ACCESS:
                self.errors.append(repr(e))
            self.counts[name + " refused"] += 1
            return False, e
        except BaseException as e:  # noqa: B902 -- any other failure is a finding
            self.errors.append(f"{name}: {e!r}")
            return False, e


class Number:
    """A float or integer whose conversion yields the thread or calls back into the index."""

    def __init__(self, shared, rng, value, may_raise=True):
        self.shared, self.rng, self.value, self.may_raise = shared, rng, value, may_raise

    def convert(self):
        roll = self.rng.random()
        if roll < 0.5:
            time.sleep(0)
        elif roll < 0.6:
            s, query, insert = self.shared, [0.0] * DIM, self.rng.random() < 0.5
            ok, e = s.attempt("nested", lambda: s.index.insert(query) if insert else s.index.search(query, 3))
            if ok and insert:
                s.errors.append("a nested insert was let in while the outer call held the index")
            if not ok and self.may_raise and self.rng.random() < 0.5:
                raise e  # the outer call then fails with the access error
        return self.value

    def __float__(self):
        return float(self.convert())

    def __index__(self):
        return int(self.convert())


class Items:
    """A sequence that says nothing true about its length and runs `hook` (a thread
    switch or a call back into the index) before each item."""

    def __init__(self, items, hook):
        self.items, self.hook = items, hook

    def __len__(self):
        return 10**6

    def __getitem__(self, i):
        raise AssertionError("read by index")

    def __iter__(self):
        for item in self.items:
            self.hook()
            yield item


def worker(shared, seed, tagged):
    rng, index = random.Random(seed), shared.index
    number = lambda v, may_raise=True: Number(shared, rng, v, may_raise)  # noqa: E731
    items = lambda xs: Items(xs, number(0).convert)  # noqa: E731
    for i in range(OPS):
        uid = seed * 10**6 + i * 10
        vectors = [[float(uid + j), 1.0, 2.0, 3.0] for j in range(rng.randint(1, 4))]
        wrapped = [
            items([number(x) for x in v]) if rng.random() < 0.5 else [number(x) for x in v] for v in vectors
        ]
        # A metadata or filter value whose conversion fails is a legitimate "unsupported" error.
        meta = [[("tag", number(int(v[0]) % 3, False))] for v in vectors] if tagged else None
        roll = rng.random()
        if roll < 0.3:
            args = (wrapped[0], meta[0]) if tagged else (wrapped[0],)
            ok, _ = shared.attempt("insert", lambda: index.insert(*args))
            vectors = vectors[:1]
        elif roll < 0.55:
            ok, _ = shared.attempt(
                "create", lambda: index.create(*((items(wrapped), meta) if tagged else (wrapped,)))
            )
        else:
            query = [rng.uniform(0, 10**7) for _ in range(DIM)]
            flt = ("tag", number(1, False)) if tagged and rng.random() < 0.5 else None
            args = ([number(q) for q in query], number(rng.randint(0, 20))) + ((flt,) if tagged else ())
            ok, found = shared.attempt("search", lambda: index.search(*args))
            if ok:
                check_result(shared, query, found, flt)
            vectors = []
        if ok:
            with shared.lock:
                shared.inserted += vectors


def check_result(shared, query, found, flt):
    if isinstance(shared.index, PyFlat):
        distances = [d for _, d in found]
    else:
        distances = [d for d, _ in found]
        for d, v in found:
            if d != euclidean(query, v) or v[1:] != [1.0, 2.0, 3.0] or (flt and int(v[0]) % 3 != 1):
                shared.errors.append(f"inconsistent result {d} {v}")
    if distances != sorted(distances):
        shared.errors.append("unsorted result")


@pytest.mark.parametrize(
    "make, tagged",
    [
        (lambda: PyFlat(DIM), False),
        (lambda: PyHNSW(DIM, layers=3, ef_construction=8, ef_search=ALL, metric="euclidean"), False),
        (
            lambda: PyHNSW(
                DIM, layers=3, ef_construction=8, ef_search=ALL, metric="euclidean", schema=["tag"]
            ),
            True,
        ),
    ],
)
def test_threads_share_one_index(make, tagged):
    shared = Shared(make())
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(shared, t + 1, tagged)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    print(dict(shared.counts))
    assert shared.errors == []
    assert shared.counts["nested refused"] > 0 and shared.counts["search refused"] > 0
    zero = [0.0] * DIM
    stored = shared.index.search(zero, ALL)
    assert len(stored) == len(shared.inserted)
    if isinstance(shared.index, PyFlat):  # every stored vector has its own distance from zero
        assert sorted(d for _, d in stored) == sorted(euclidean(zero, v) for v in shared.inserted)
    else:
        assert sorted(v for _, v in stored) == sorted(shared.inserted)
