"""Plain-Python reference model of the graph index, used by the differential tests.

Neighbour lists are kept per node; the native index keeps them in one flat
array, but the order inside each list is the same. Every loop is written in the
order the native code runs it, so distances agree bit for bit.
"""

import heapq
import math
import operator

from conftest import HNSW_METRICS as METRICS

INT_MIN, INT_MAX = -(2**63), 2**63 - 1


# ---- metadata values: ("s", text) | ("i", int) | ("f", float) ----


def to_metadata(obj):
    """Text first, then a signed 64-bit integer, then a float; None if no kind fits."""
    if isinstance(obj, str):
        try:
            return ("s", obj.encode("utf-8").decode("utf-8"))
        except UnicodeEncodeError:
            pass
    try:
        v = operator.index(obj)
        if INT_MIN <= v <= INT_MAX:
            return ("i", int(v))
    except Exception:
        pass
    if type(obj) is float:
        return ("f", obj)
    tp = type(obj)
    try:
        if hasattr(tp, "__float__"):
            return ("f", float(tp.__float__(obj)))
        if hasattr(tp, "__index__"):
            return ("f", float(operator.index(obj)))
    except Exception:
        pass
    return None


def meta_eq(a, b):
    return a[0] == b[0] and a[1] == b[1]


def build_row(schema, pairs):
    lookup = {}
    for name, value in pairs:
        lookup[name] = value
    row = []
    for name in schema:
        if name not in lookup:
            raise ValueError(f"Missing metadata for attribute '{name}'")
        m = to_metadata(lookup[name])
        if m is None:
            raise ValueError(f"Unsupported metadata type for attribute '{name}'")
        row.append(m)
    return row


class GraphError(Exception):
    """A graph error; args[0] is the variant name."""


def _nan_last(d, i):
    return (1, 0.0, i) if math.isnan(d) else (0, d, i)


def _before(x, y):
    """Result-list order on distances only: NaN after every number, NaN equal NaN."""
    if math.isnan(x):
        return False
    return math.isnan(y) or x < y


# ---- the graph ----


class Graph:
    def __init__(self, dim, metric, layers=5, ef_construction=200, ef_search=50, schema=None):
        self.dim, self.distance, self.layers = dim, METRICS[metric], layers
        self.ef_construction, self.ef_search, self.schema = ef_construction, ef_search, schema
        self.level_weights = [math.exp(-i) for i in range(layers)]
        self.vectors, self.levels, self.neighbours, self.rows = [], [], [], []

    def draw_level(self, u):
        total = 0.0
        for w in self.level_weights:
            total = total + w
        threshold, run = total * u, 0.0
        for i, w in enumerate(self.level_weights):
            run = run + w
            if run > threshold:
                return i
        return self.layers - 1

    def passes(self, n, flt):
        attr, value = flt
        row = self.rows[n]
        return row is not None and meta_eq(row[self.schema.index(attr)], value)

    def knn(self, entry, query, ef, layer, flt=None):
        if ef == 0:
            raise GraphError("InvalidEF")
        if layer >= self.layers:
            raise GraphError("InvalidLayer")
        if flt is not None:
            if self.schema is None:
                raise GraphError("NoSchema")
            if not self.schema:
                raise GraphError("EmptySchema")
            if flt[0] not in self.schema:
                raise GraphError("AttributeNotFound")
        d = self.distance(query, self.vectors[entry])
        result, visited, queue = [(d, entry)], {entry}, [(_nan_last(d, entry), d, entry)]
        while queue:
            _, dc, c = heapq.heappop(queue)
            last = result[-1][0]
            if not math.isnan(last) and (math.isnan(dc) or dc > last):
                break
            for n in self.neighbours[c]:
                if self.levels[n] < layer:
                    continue
                if flt is not None and not self.passes(n, flt):
                    continue
                if n in visited:
                    continue
                visited.add(n)
                d = self.distance(query, self.vectors[n])
                if len(result) < ef or d < result[-1][0]:
                    heapq.heappush(queue, (_nan_last(d, n), d, n))
                    lo = sum(1 for e, _ in result if _before(e, d))
                    eq = sum(1 for e, _ in result if not _before(e, d) and not _before(d, e))
                    result.insert(lo + eq - 1 if eq else lo, (d, n))
                    if len(result) > ef:
                        result.pop()
        return result

    def insert(self, vector, row=None, level=None):
        """Insert one vector; `level` is the node's level (drawn with u = 0 if omitted)."""
        vector = [float(x) for x in vector]
        first = not self.vectors
        if first:
            level = self.layers - 1
        elif level is None:
            level = self.draw_level(0.0)
        new = len(self.vectors)
        self.vectors.append(vector)
        self.levels.append(level)
        self.neighbours.append([])
        self.rows.append(None if row is None else list(row))
        if first:
            return
        undo, entry = [], 0
        try:
            for j in range(self.layers):
                if j < level:
                    entry = self.knn(entry, vector, 1, j)[0][1]
                    continue
                found = self.knn(entry, vector, self.ef_construction, j)
                for _, c in found:
                    self.neighbours[c].append(new)
                    undo.append(c)
                self.neighbours[new].extend(c for _, c in found)
                entry = new
        except GraphError:
            for c in reversed(undo):
                self.neighbours[c].pop()
            for store in (self.vectors, self.levels, self.neighbours, self.rows):
                store.pop()
            raise

    def search(self, query, k=1, flt=None):
        if not self.vectors:
            return []
        entry = 0
        if self.layers == 0:
            self.knn(entry, query, 1, 2**64 - 1, flt)
        for layer in range(self.layers - 1, 0, -1):
            entry = self.knn(entry, query, 1, layer, flt)[0][1]
        out = []
        for d, n in self.knn(entry, query, self.ef_search, 0, flt):
            if flt is not None and not self.passes(n, flt):
                continue
            out.append((d, n))
            if len(out) >= k:
                break
        return out


# ---- the Python surface of the index, with its messages ----


class ModelHNSW:
    """Mirrors insert/create/search of the extension class on top of `Graph`."""

    def __init__(
        self, dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None
    ):
        if metric not in METRICS:
            raise ValueError("Unsupported metric")
        if dim == 0:
            raise ValueError("dim must be at least 1")
        if layers is not None and layers > 64:
            raise ValueError("layers must be at most 64")
        self.g = Graph(
            dim,
            metric,
            5 if layers is None else layers,
            200 if ef_construction is None else ef_construction,
            50 if ef_search is None else ef_search,
            None if schema is None else list(schema),
        )

    def _row(self, pairs):
        if self.g.schema is None:
            raise ValueError("No schema provided in HNSW instance; cannot use metadata")
        return build_row(self.g.schema, pairs)

    def insert(self, vector, metadata=None):
        # The metadata is checked first, as `create` does before it checks lengths.
        row = None if metadata is None else self._row(metadata)
        if len(vector) != self.g.dim:
            raise ValueError(f"Expected vector of length {self.g.dim}, got {len(vector)}")
        try:
            self.g.insert(vector, row)
        except GraphError as e:
            raise ValueError("Insert error: " + e.args[0]) from None

    def create(self, vectors, metadata=None):
        if metadata is None:
            rows = [None] * len(vectors)
            if not vectors:
                raise ValueError("Create error: EmptyVectors")
        else:
            if len(metadata) != len(vectors):
                raise ValueError("Length of metadata list must match number of vectors")
            if self.g.schema is None:
                raise ValueError("No schema provided in HNSW instance; cannot use metadata")
            rows = [build_row(self.g.schema, p) for p in metadata]
            if not vectors:
                raise ValueError("Create error: EmptyVectors")
        for v in vectors:
            if len(v) != self.g.dim:
                raise ValueError(f"Vector length {len(v)} does not match index dimension {self.g.dim}")
        for v, row in zip(vectors, rows):
            try:
                self.g.insert(v, row)
            except GraphError as e:
                raise ValueError("Create error: " + e.args[0]) from None

    def search(self, query, k=None, filter=None):
        query = [float(x) for x in query]
        if len(query) != self.g.dim:
            raise ValueError(f"Expected query of length {self.g.dim}, got {len(query)}")
        flt = None
        if filter is not None:
            if self.g.schema is None:
                raise ValueError("No schema provided in HNSW instance; cannot use metadata filtering")
            value = to_metadata(filter[1])
            if value is None:
                raise ValueError("Unsupported type for metadata filter")
            flt = (filter[0], value)
        try:
            found = self.g.search(query, 1 if k is None else k, flt)
        except GraphError as e:
            raise ValueError("Search error: " + e.args[0]) from None
        return [(d, list(self.g.vectors[n])) for d, n in found]
