"""Reading recall/speed curves: speed at a fixed recall, and whether a ratio
taken from such speeds meets a target. Pure Python, no index libraries."""

import math


def frontier(points):
    """The points that no faster point beats in recall, by ascending recall.
    points: dicts with "recall" and "qps"."""
    best, out = -1.0, []
    for p in sorted(points, key=lambda p: (-p["recall"], -p["qps"])):
        if p["qps"] > best:
            out.append(p)
            best = p["qps"]
    return out[::-1]


def qps_at(points, recall):
    """Queries/s at `recall` on one method's recall/speed curve.

    Between the two frontier points around `recall`, log(queries/s) is
    interpolated linearly in log(1 - recall). Returns (qps, how) with how
    "interpolated", "fastest point above" (every measured point has more
    recall: its speed is a lower bound) or "not reached" (qps None)."""
    pts = frontier(points)
    if not pts or pts[-1]["recall"] < recall:
        return None, "not reached"
    if pts[0]["recall"] >= recall:
        return pts[0]["qps"], "fastest point above"

    def x(r):
        return -math.log(max(1.0 - r, 1e-5))

    for a, b in zip(pts, pts[1:]):
        if a["recall"] < recall <= b["recall"]:
            if x(b["recall"]) == x(a["recall"]):
                return b["qps"], "interpolated"
            f = (x(recall) - x(a["recall"])) / (x(b["recall"]) - x(a["recall"]))
            return math.exp(
                math.log(a["qps"]) + f * (math.log(b["qps"]) - math.log(a["qps"]))
            ), "interpolated"
    raise AssertionError("a frontier from below to above the recall has a bracket")


def verdict(ratio, ok, bound_helps, bound_hurts):
    """True / False / None (undecided) for a ratio measured from bounds.

    ok(ratio) says whether the measured ratio meets the target; bound_helps
    says that one of its figures is a bound whose true value can only move
    the ratio further towards the target, bound_hurts one whose true value
    can move it away. A met target stands unless a figure may undo it; a
    missed one stands unless a figure may rescue it."""
    if ok(ratio):
        return None if bound_hurts else True
    return None if bound_helps else False


# ---- the series of a sweep: points {"method", "ef", "recall", "qps"[, "build"]}


def series_of(points, build=None):
    """The series' names in the order they first appear (of one build's
    points, given one)."""
    return list(dict.fromkeys(p["method"] for p in points if build is None or p["build"] == build))


def qps_text(q, how):
    """A q/s read off a curve (qps_at), as a table cell."""
    return "not reached" if q is None else f"{q:,.0f}" + ("" if how == "interpolated" else " (>=)")


def sweep_lines(points):
    """One line per series: each point of its sweep as ef: recall@10 at q/s."""
    out = []
    for s in series_of(points):
        mine = [p for p in points if p["method"] == s]
        out.append(f"- {s}: " + "; ".join(f"{p['ef']}: {p['recall']:.4f} at {p['qps']:,.0f}" for p in mine))
    return out


def panel_lines(points):
    """Every series of a sweep as lines of a report.plot_panels panel,
    hobrin_ann's solid and the peers' dashed."""
    return [
        (s, [p for p in points if p["method"] == s], "o-" if s.startswith("hobrin_ann") else "s--", False)
        for s in series_of(points)
    ]
