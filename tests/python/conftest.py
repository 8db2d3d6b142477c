"""Helpers shared by the test modules: the metrics as plain scalar loops, a
bit-exact comparable form of floats, and the exact ranking PyFlat must give.

The metrics use one accumulator in index order, as the native code does, so
their results agree with the indexes' distances bit for bit.
"""

import math
import os
import struct


def ieee_div(a, b):
    """a / b with IEEE semantics (Python raises on a zero divisor)."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))


def euclidean(a, b):
    s = 0.0
    for x, y in zip(a, b):
        d = x - y
        s = s + d * d
    return math.sqrt(s)


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s = s + x * y
    return s


def cosine(a, b):
    return ieee_div(dot(a, b), math.sqrt(dot(a, a)) * math.sqrt(dot(b, b)))


# metric argument of PyFlat -> reference function
FLAT_METRICS = {None: euclidean, "inner_product": dot, "cosine": cosine}
# metric argument of PyHNSW -> reference function
HNSW_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}


def bits(x):
    """Comparable form of a float: all NaNs alike, otherwise the exact bit pattern."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def flat_reference(metric, stored, query, k):
    """PyFlat's answer: score everything, sort the whole list (NaN last, distance,
    id), cut at k (None or 0 means 1)."""
    fn = FLAT_METRICS[metric]
    full = sorted(
        ((fn(query, v), i) for i, v in enumerate(stored)),
        key=lambda c: (math.isnan(c[0]), 0.0 if math.isnan(c[0]) else c[0], c[1]),
    )
    return [(i, d) for d, i in full[: max(1, 1 if k is None else k)]]


def _crc32c_table():
    table = []
    for b in range(256):
        c = b
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


CRC32C_TABLE = _crc32c_table()


def crc32c(data):
    """CRC-32C (Castagnoli) of bytes, bit by bit from its definition: the index
    file's checksum, for tests that forge or repair files."""
    c = 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ CRC32C_TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def sanitized():
    """Whether the sanitizer runtimes are preloaded (scripts/sanitized.sh): their
    allocator reserves terabytes of address space and ends the process when an
    address-space limit stops it."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


def pytest_collection_modifyitems(config, items):
    """Groups the tests for pytest-xdist's --dist loadgroup (scripts/test.sh):
    a module's tests stay in one worker, so its module fixtures are built
    once, and the modules that start a Ray cluster share one worker, so that
    no two clusters start side by side. Without xdist (the emulated run) there
    is nothing to group."""
    import pytest

    if not config.pluginmanager.hasplugin("xdist"):
        return
    for item in items:
        module = item.path.name
        group = "ray" if module.startswith("test_ann_ray") else module
        item.add_marker(pytest.mark.xdist_group(group))
