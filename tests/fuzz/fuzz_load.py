"""Coverage-guided fuzzing of the index file reader with atheris.

Inputs are index files. The seeds are small saved indexes (written by
--make-seeds); half of the mutations then rewrite every section's checksum, so
that damage also reaches the checks behind the checksums, and a quarter set
one of the parameters that size what the loader allocates (the dimension,
m, the node counts) to a large value first. Whatever the bytes,
loading must either raise ValueError("corrupt index file: ...") or give an
index that writes back the very same bytes, searches, and grows; mapped from a
file without verify (rows unchecked), it must refuse or search soundly. A crash, a
hang and any other outcome are findings: libFuzzer writes the input to
{artifact_prefix}crash-<hash>; make it a case of tests/python/test_ann_persist.py.

    python tests/fuzz/fuzz_load.py --make-seeds build/fuzz/load-seeds
    python tests/fuzz/fuzz_load.py -max_total_time=20 build/fuzz/load-corpus build/fuzz/load-seeds
"""

import os
import pathlib
import re
import sys
import tempfile
import zlib

import atheris
import numpy as np

import hobrin_ann
from hobrin_ann import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from conftest import crc32c  # noqa: E402

CHECKSUM = 4


def fix_checksums(data):
    """The file with each whole section's checksum recomputed, in the framing
    of the version its preamble names (1: packed; else 64-byte aligned)."""
    out = bytearray(data)
    packed = out[8:12] == (1).to_bytes(4, "little")
    preamble, header = (16, 16) if packed else (64, 64)
    at = preamble
    while at + header + CHECKSUM <= len(out):
        length = int.from_bytes(out[at + 8 : at + 16], "little")
        end = at + header + length
        if end + CHECKSUM > len(out):
            break
        out[end : end + CHECKSUM] = crc32c(out[at:end]).to_bytes(4, "little")
        at = end + CHECKSUM
        if not packed:
            at += -at % 64
    return bytes(out)


def _outcome_markers(count=256):
    """Distinct instrumented functions; check() calls one per kind of refusal
    (its message without numbers and quotes), so that the fuzzer keeps an input that
    reaches a check no earlier input reached, deep as it may be."""
    namespace = {}
    exec("\n".join(f"def marker_{i}(): return {i}" for i in range(count)), namespace)
    return [atheris.instrument_func(namespace[f"marker_{i}"]) for i in range(count)]


MARKERS = _outcome_markers()


def mark(outcome):
    kind = re.sub(r"\d+|'.*'", "#", outcome)
    MARKERS[zlib.crc32(kind.encode()) % len(MARKERS)]()


# Offsets in the PARM payload of the fields that size allocations: dim, m,
# ef_construction, nodes, removed, upper-layer lists, the dimension order.
SIZE_FIELDS = (0, 16, 24, 64, 72, 80, 96)
LARGE = (2**20, 2**30 - 1, 10**9, 2**40, 10**14, 2**62, 2**64 - 1)


def enlarge(data, seed):
    """One size field of the parameters set large: the loader must refuse the
    file from its own size, before it allocates what the field asks for."""
    packed = data[8:12] == (1).to_bytes(4, "little")
    at = 32 if packed else 128  # preamble and section header before PARM's payload
    field = at + SIZE_FIELDS[(seed // 4) % len(SIZE_FIELDS)]
    if field + 8 > len(data):
        return data
    out = bytearray(data)
    out[field : field + 8] = LARGE[(seed // 32) % len(LARGE)].to_bytes(8, "little")
    return bytes(out)


def mutate(data, max_size, seed):
    data = atheris.Mutate(data, max_size)
    if seed % 4 == 1:
        data = enlarge(data, seed)
    return fix_checksums(data) if seed % 2 else data


MAPPED = pathlib.Path(tempfile.gettempdir()) / f"hobrin-fuzz-{os.getpid()}.hbr"


def check_mapped(data):
    """The same bytes mapped without verify: the rows are not looked at, so
    what they hold may be anything, yet every search must stay sound."""
    MAPPED.write_bytes(data)
    try:
        index = hobrin_ann.Index.load(MAPPED, mmap=True, verify=False)
    except ValueError as error:
        if not str(error).startswith("corrupt index file: "):
            raise
        return
    if index.dim <= 1024:
        search_soundly(index)


def search_soundly(index):
    """Graph and exact searches that return only ids the index holds; the queries."""
    queries = np.linspace(-1, 1, 2 * index.dim).reshape(2, index.dim)
    for exact in (False, True):
        labels, _ = index.search(queries, 3, exact=exact)
        assert all(int(i) in index for i in labels.ravel() if i >= 0)
    return queries


@atheris.instrument_func
def check(data):
    check_mapped(data)
    try:
        core, ef_search = _core.GraphIndex.from_bytes(data)
    except ValueError as error:
        if not str(error).startswith("corrupt index file: "):
            raise
        mark(str(error))
        return
    mark("accepted")
    assert core.to_bytes(ef_search) == data, "an accepted file does not write back the same"
    index = hobrin_ann.Index._from_core(core, ef_search)
    if index.dim > 1024:
        return
    queries = search_soundly(index)
    if index.schema:
        index.search(queries, 3, filter=(index.schema[0], [0, 1, "red"]))
    try:
        index.add(queries, threads=1)
    except ValueError as error:  # default ids run out past the largest id
        assert "ids" in str(error), error
    index.search(queries, 3)


def make_seeds(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(1)
    base = rng.standard_normal((16, 3))
    indexes = {
        "empty": hobrin_ann.Index(3, seed=1),
        "metadata": hobrin_ann.Index(3, m=2, seed=2, schema=["color", "size"]),
        "cosine": hobrin_ann.Index(3, "cosine", dtype="float64", m=3, seed=3),
        "codes": hobrin_ann.Index(3, "cosine", m=2, seed=4, quantization="int8", keep_vectors=False),
        "half": hobrin_ann.Index(3, m=2, seed=5, quantization="float16"),
    }
    indexes["metadata"].add(
        base[:8], metadata=[[("color", ["red", "blue"][i % 2]), ("size", i)] for i in range(8)]
    )
    indexes["metadata"].add(base[8:], threads=1)
    indexes["metadata"].remove([2, 9])
    indexes["cosine"].add(base, threads=1)
    indexes["codes"].add(base, threads=1)
    indexes["half"].add(base[:6], threads=1)
    for name, index in indexes.items():
        index.save(folder / f"{name}.hbr")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make-seeds"]:
        make_seeds(sys.argv[2])
    else:
        atheris.Setup(sys.argv, check, custom_mutator=mutate)
        atheris.Fuzz()
