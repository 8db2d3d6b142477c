"""Checks and conversions of the arguments that hobrin_ann.Index takes: names
of metrics, dtypes and codes, counts, ids, and values that the index's dtype
or codes could not rank or hold. Each raises the TypeError or ValueError that
the call would, naming the argument."""

from __future__ import annotations

import math
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from ._types import DType
from .checks import flag, whole_number
from .parameters import IndexParameters

_METRICS = {
    "euclidean": "euclidean",
    "cosine": "cosine",
    "angular": "cosine",
    "inner_product": "inner_product",
}
_DTYPES = ("float32", "float64")
_QUANTIZATIONS = IndexParameters.QUANTIZATIONS


_count = whole_number

# What codes can hold: half precision's largest and smallest magnitudes, and
# float32's smallest normal value (the step of int8 and int4 codes).
_HALF_LARGEST = 65504.0
_HALF_SMALLEST = 2.0**-24
_FLOAT32_SMALLEST = float(np.finfo(np.float32).tiny)


def _quantization(quantization: object, keep_vectors: object) -> str:
    """The native name of a quantization, once it and keep_vectors are checked."""
    if not (quantization is None or isinstance(quantization, str)) or quantization not in _QUANTIZATIONS:
        names = ", ".join(repr(name) for name in _QUANTIZATIONS)
        raise ValueError(f"unknown quantization {quantization!r}: expected one of {names}")
    keep = flag("keep_vectors", keep_vectors)
    if quantization is None and not keep:
        raise ValueError(
            "keep_vectors=False needs a quantization ('float16', 'int8' or 'int4'): "
            "without codes the vectors are all the index holds"
        )
    return "none" if quantization is None else quantization


def _rerank_count(rerank: object, k: int) -> int:
    """How many candidates a search re-scores for a factor ``rerank`` over k (0: all)."""
    if rerank is None:
        return 0
    if isinstance(rerank, bool) or not isinstance(rerank, int | float | np.integer | np.floating):
        raise TypeError(f"rerank must be a number (a factor over k) or None, got {type(rerank).__name__}")
    factor = float(rerank)
    if not math.isfinite(factor) or factor < 1:
        raise ValueError(f"rerank must be a finite factor of at least 1, got {rerank!r}")
    return min(math.ceil(factor * k), 2**63 - 1)


def _dtype_name(dtype: DType) -> str:
    try:
        resolved = np.dtype(dtype)
    except TypeError:
        resolved = None
    name = next((name for name in _DTYPES if resolved == np.dtype(name)), None)
    if name is None:
        hint = ""
        if resolved == np.dtype("float16"):
            hint = (
                "; to store half-precision codes, keep dtype='float32' and pass quantization='float16' "
                "(the full vectors can be left out with keep_vectors=False)"
            )
        raise ValueError(f"unknown dtype {dtype!r}: expected 'float32' or 'float64'{hint}")
    return name


def _links(m: SupportsIndex) -> int:
    # Its upper limit is the core's to check, with the other options.
    return _count("m", m, 2)


def _unique_ids(ids: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """``ids`` themselves, once no id is given twice."""
    unique, first = np.unique(ids, return_index=True)
    if unique.size != ids.size:
        repeated = np.setdiff1d(np.arange(ids.size), first)[0]
        raise ValueError(f"ids: id {int(ids[repeated])} is given more than once")
    return ids


def _magnitude_limit(dtype: npt.DTypeLike, dim: int) -> float:
    """The largest magnitude a value of a Euclidean or inner-product index may
    have: then every squared distance, (2 * limit)**2 * dim at most, and every
    dot product stay finite in the dtype."""
    return float(np.sqrt(float(np.finfo(dtype).max) / (4.0 * dim)))


def _first_bad_row(rows: npt.NDArray[np.floating[Any]]) -> int | None:
    bad = ~np.isfinite(rows).all(axis=1)
    return int(np.argmax(bad)) if bad.any() else None


def _ids(ids: npt.ArrayLike, count: int, name: str = "ids") -> npt.NDArray[np.int64]:
    array = np.asarray(ids)
    if array.ndim == 0:
        array = array.reshape(1)
    if array.size == 0:
        array = array.astype(np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name}: expected integers, got an array of dtype {array.dtype}")
    if array.ndim != 1 or (count >= 0 and array.shape[0] != count):
        raise ValueError(f"{name}: expected shape ({count},), got {array.shape}")
    if array.size and array.min() < 0:
        raise ValueError(f"{name}: ids must be non-negative, got {int(array[np.argmax(array < 0)])}")
    if array.size and array.dtype.kind == "u" and array.max() >= 2**63:
        raise ValueError(f"{name}: ids must be below 2**63, got {int(array.max())}")
    return np.ascontiguousarray(array, dtype=np.int64)


def _check_codable(rows: npt.NDArray[Any], codes: str | None, metric: str) -> None:
    """Refuses rows that the index's codes would silently flatten: half
    precision holds magnitudes up to 65504 and rounds those below 2**-24
    to zero; int8 and int4 keep each vector's step in float32, which a vector
    spread over less than its smallest normal value would underflow.
    Cosine rows are coded at unit length, where every row fits."""
    if codes is None or codes == "qgraph" or metric == "cosine" or rows.size == 0:
        return
    if codes == "float16":
        magnitudes = np.abs(rows).max(axis=1)
        if float(magnitudes.max()) > _HALF_LARGEST:
            row = int(np.argmax(magnitudes > _HALF_LARGEST))
            raise ValueError(
                f"vectors: row {row} holds a value of magnitude {float(magnitudes[row]):.3g}, above "
                f"{_HALF_LARGEST:g}, the largest float16 code; use quantization='int8' or 'int4' "
                "(whose step follows the data) or scale the vectors down"
            )
        if 0 < float(magnitudes.max()) < _HALF_SMALLEST:
            raise ValueError(
                f"vectors: every value is below {_HALF_SMALLEST:.3g} in magnitude, the smallest float16 "
                "code, so all would be stored as zero; scale the vectors up or use quantization='int8'"
            )
        return
    # Each vector has its own step, (largest - least) / levels.
    spreads = rows.max(axis=1) - rows.min(axis=1)
    steps = spreads / (255 if codes == "int8" else 15)
    flat = (steps > 0) & (steps < _FLOAT32_SMALLEST)
    if flat.any():
        row = int(np.argmax(flat))
        raise ValueError(
            f"vectors: row {row} spreads over {float(spreads[row]):.3g}, too little for "
            f"{codes} codes, whose step is kept in float32 (at least {_FLOAT32_SMALLEST:.3g}); "
            "scale the vectors up or use quantization=None"
        )
