"""Checks of the benchmark's own arithmetic: the speed read off a recall
curve, target verdicts from bounds, recall scoring, the synthetic data and
the fixed cost of a call read off batch times.

Run with the benchmark's environment: bench/.venv/bin/python -m unittest bench/test_bench.py
"""

import sys
import unittest
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402
import filtered  # noqa: E402
import peers  # noqa: E402
import quantized  # noqa: E402
import sharded  # noqa: E402
from curves import frontier, qps_at, verdict  # noqa: E402
from timing import recall_at_k  # noqa: E402


def pts(*pairs):
    return [{"recall": r, "qps": q} for r, q in pairs]


class SpeedAtRecall(unittest.TestCase):
    def test_interpolates_between_the_points_around_the_recall(self):
        curve = pts((0.9, 1000.0), (0.99, 100.0))
        q, how = qps_at(curve, 0.99)
        self.assertEqual(how, "interpolated")
        self.assertAlmostEqual(q, 100.0)
        # Halfway in log(1 - recall) is halfway in log(qps).
        q, _ = qps_at(curve, 1 - 10**-1.5)
        self.assertAlmostEqual(q, 10**2.5, places=6)

    def test_a_slower_point_with_less_recall_does_not_bend_the_curve(self):
        # ef 48 measured slower than ef 64 under load, with less recall.
        curve = pts((0.9, 1000.0), (0.95, 300.0), (0.97, 500.0), (0.99, 100.0))
        self.assertEqual([p["recall"] for p in frontier(curve)], [0.9, 0.97, 0.99])
        q, _ = qps_at(curve, 0.95)
        self.assertGreater(q, 500.0)

    def test_bounds_and_unreached_recall_are_reported_as_such(self):
        curve = pts((0.97, 800.0), (0.995, 200.0))
        self.assertEqual(qps_at(curve, 0.95), (800.0, "fastest point above"))
        self.assertEqual(qps_at(curve, 0.999), (None, "not reached"))
        self.assertEqual(qps_at([], 0.9), (None, "not reached"))

    def test_recall_one_does_not_break_the_interpolation(self):
        q, how = qps_at(pts((0.998, 300.0), (1.0, 100.0)), 0.999)
        self.assertEqual(how, "interpolated")
        self.assertTrue(100.0 < q < 300.0)


class Verdicts(unittest.TestCase):
    at_least = staticmethod(lambda r: r >= 1.2)

    def test_exact_figures_decide(self):
        self.assertIs(verdict(1.3, self.at_least, False, False), True)
        self.assertIs(verdict(1.1, self.at_least, False, False), False)

    def test_a_bound_that_can_only_help_keeps_a_met_target_and_leaves_a_miss_open(self):
        self.assertIs(verdict(1.3, self.at_least, True, False), True)
        self.assertIsNone(verdict(1.1, self.at_least, True, False))

    def test_a_bound_that_can_hurt_leaves_a_met_target_open_and_keeps_a_miss(self):
        self.assertIsNone(verdict(1.3, self.at_least, False, True))
        self.assertIs(verdict(1.1, self.at_least, False, True), False)


class Recall(unittest.TestCase):
    base = np.array([[0.0], [1.0], [-1.0], [5.0]])
    queries = np.array([[0.0]])

    def test_an_equally_near_vector_counts_and_a_repeated_id_counts_once(self):
        truth = np.array([[0.0, 1.0]])  # distances of the 2 true neighbours
        self.assertEqual(recall_at_k(self.base, self.queries, [[0, 2]], truth, k=2), 1.0)
        self.assertEqual(recall_at_k(self.base, self.queries, [[0, 0]], truth, k=2), 0.5)
        self.assertEqual(recall_at_k(self.base, self.queries, [[0, 3]], truth, k=2), 0.5)
        self.assertEqual(recall_at_k(self.base, self.queries, [[-1, -1]], truth, k=2), 0.0)


class FilteredScoring(unittest.TestCase):
    base = np.array([[0.0], [1.0], [2.0], [3.0], [9.0]])
    queries = np.array([[0.0]])

    def score(self, mask, returned, k_truth):
        mask = np.array(mask, bool)
        parts = [(("a", 0), mask, slice(0, 1))]
        truth = [(None, np.array([np.sort(np.abs(self.base[mask, 0]))[:k_truth]]))]
        return filtered.score(self.base, self.queries, parts, truth, [np.array([returned])])

    def test_fewer_matches_than_k_count_against_the_matches(self):
        # Two vectors match: finding both is full recall, the -1 padding no fault.
        self.assertEqual(self.score([0, 1, 0, 1, 0], [1, 3, -1], 2), (1.0, []))

    def test_a_result_outside_the_filter_is_a_miss_and_a_fault(self):
        rec, faults = self.score([0, 1, 0, 1, 1], [0, 1, 3], 3)
        self.assertAlmostEqual(rec, 2 / 3)
        self.assertEqual(len(faults), 1)

    def test_synthetic_attributes_mark_the_wanted_share(self):
        attrs = filtered.attributes(np.zeros(60000, np.int64))
        for name, share in filtered.SELECTIVITIES:
            self.assertEqual(int((attrs[name] == 0).sum()), round(share * 60000))


class ClusteredData(unittest.TestCase):
    def test_smaller_sets_are_prefixes_of_larger_ones_with_the_same_queries(self):
        small, large = data.clustered(300, 8, clusters=5, nq=20), data.clustered(900, 8, clusters=5, nq=20)
        np.testing.assert_array_equal(small.base, large.base[:300])
        np.testing.assert_array_equal(small.queries, large.queries)
        np.testing.assert_array_equal(data.load("clustered-1k-8").base, data.clustered(1000, 8).base)

    def test_points_gather_around_several_centres(self):
        ds = data.clustered(2000, 16, clusters=10)
        # Nearest neighbours lie much closer than random pairs.
        ids, dist = data.exact_knn(ds.base, ds.queries[:50], k=1)
        rng = np.random.default_rng(0)
        pairs = np.linalg.norm(
            ds.base[rng.integers(0, 2000, 200)] - ds.base[rng.integers(0, 2000, 200)], axis=1
        )
        self.assertLess(np.median(dist), 0.5 * np.median(pairs))


class FixedCostPerCall(unittest.TestCase):
    sizes = [1, 10, 100, 1000]

    def times(self, fixed, per_query):
        return [fixed + per_query * n for n in self.sizes]

    def test_a_straight_line_is_recovered(self):
        fixed, per_query = sharded.fixed_cost(self.sizes, self.times(2e-3, 20e-6))
        self.assertAlmostEqual(fixed, 2e-3, places=9)
        self.assertAlmostEqual(per_query, 20e-6, places=12)

    def test_noise_on_the_largest_batch_leaves_a_small_fixed_cost_standing(self):
        # 5% on the 1000-query batch is 1 ms, ten times the fixed cost; a fit
        # on absolute errors would take a third off it.
        t = self.times(1e-4, 20e-6)
        t[-1] *= 1.05
        fixed, per_query = sharded.fixed_cost(self.sizes, t)
        self.assertAlmostEqual(fixed, 1e-4, delta=5e-6)
        self.assertAlmostEqual(per_query, 20e-6, delta=1e-6)


class ShardedLabels(unittest.TestCase):
    def test_unknown_and_repeated_ids_are_faults(self):
        labels = np.array([[0, 1, 2], [3, 3, 1], [4, -1, 5]])
        self.assertEqual(
            sharded.label_faults(labels, 5),
            ["2 labels outside 0..4", "1 queries with an id returned twice"],
        )
        self.assertEqual(sharded.label_faults(labels[:1], 5), [])


class QuantizedPeers(unittest.TestCase):
    def test_compressed_peers_find_euclidean_neighbours_of_unnormalised_data(self):
        # Offset and scale far from the unit sphere, as pixel values are: an
        # encoding that normalises each vector loses half the neighbours here.
        rng = np.random.default_rng(5)
        base = (100.0 + 40.0 * rng.standard_normal((2000, 16))).astype(np.float32)
        queries = (100.0 + 40.0 * rng.standard_normal((50, 16))).astype(np.float32)
        truth = data.exact_knn(base.astype(np.float64), queries.astype(np.float64))[1]
        for name in (quantized.FAISS_SQ, quantized.USEARCH):
            build, search = quantized.METHODS[name]
            labels = search(build(base, 1), queries, 64, 1)
            with self.subTest(name):
                self.assertGreater(recall_at_k(base, queries, labels, truth), 0.9)

    def test_a_build_counts_at_its_fastest_series_and_beats_a_peer_that_never_gets_there(self):
        points = [
            {"method": "sq k 2", "build": "sq", "recall": r, "qps": q}
            for r, q in ((0.9, 900.0), (0.999, 90.0))
        ] + [
            {"method": "sq k 4", "build": "sq", "recall": r, "qps": q}
            for r, q in ((0.9, 500.0), (0.999, 300.0))
        ]
        points += [{"method": "usearch", "build": "u", "recall": 0.95, "qps": 1000.0}]
        best = quantized.best_at(points, 0.99, ["sq"])
        self.assertEqual(best[2], "sq k 4")
        self.assertEqual(quantized.ratio_to(points, 0.99, best, "u", 1.5)[1:], ("peer not reached", True))


class FastGraphPeers(unittest.TestCase):
    """Every series of the peers section, run through its wrapper: a metric
    mapped wrongly, ids read from the wrong output or a searcher left
    unbuilt shows as lost neighbours."""

    def test_every_series_finds_the_neighbours_under_both_metrics(self):
        rng = np.random.default_rng(7)
        centres = rng.standard_normal((20, 64)) * 3
        base = data.unit_rows(centres[rng.integers(0, 20, 1500)] + rng.standard_normal((1500, 64)))
        queries = data.unit_rows(centres[rng.integers(0, 20, 40)] + rng.standard_normal((40, 64)))
        base32, queries32 = base.astype(np.float32), queries.astype(np.float32)
        truth = data.exact_knn(base, queries)[1]
        cfg = dict(peers.QUICK)
        makers = peers.builds(cfg)
        for metric in ("euclidean", "cosine"):
            built = {name: make(base32, metric, 1) for name, make in makers.items()}
            for name, build, search in peers.series(cfg):
                with self.subTest(metric=metric, series=name):
                    labels = search(built[build], queries32, 256, 1)
                    self.assertEqual(np.asarray(labels).shape, (40, 10))
                    self.assertGreater(recall_at_k(base, queries, labels, truth), 0.9)
                    self.assertGreater(peers._bytes(name, build, built[build], cfg), 0)

    def test_best_series_and_ratios_read_the_right_curves(self):
        points = [
            {"method": m, "recall": r, "qps": q}
            for m, curve in {
                "hobrin_ann": [(0.9, 3000.0), (0.999, 300.0)],
                "hobrin_ann int8": [(0.9, 6000.0), (0.98, 2000.0)],
                "glass FP32": [(0.9, 5000.0), (0.999, 500.0)],
            }.items()
            for r, q in curve
        ]
        self.assertEqual(peers.best_of(points, ["hobrin_ann"], 0.95)[1], "hobrin_ann int8")
        self.assertEqual(peers.best_of(points, ["hobrin_ann"], 0.99)[1], "hobrin_ann")
        self.assertEqual(peers.best_of(points, ["SymphonyQG"], 0.9), (None, None))
        q, s = peers.best_of(points, ["glass"], 0.99)
        self.assertTrue(500.0 < q < 5000.0)

    def test_the_report_reads_a_set_without_builds_timed_or_a_peer_at_the_recall(self):
        # A run with --scaling-n 0 has no build table; hnswlib never reaching
        # 0.99 leaves its ratios empty instead of dividing by nothing.
        points = [
            {"method": m, "build": m.split(",")[0], "ef": ef, "recall": r, "qps": q}
            for m, curve in {
                "hnswlib": [(10, 0.9, 3000.0), (64, 0.97, 900.0)],
                "hobrin_ann": [(10, 0.93, 4000.0), (64, 0.995, 1000.0)],
            }.items()
            for ef, r, q in curve
        ]
        entry = {
            "dataset": "tiny (10 x 2)",
            "metric": "cosine",
            "points": points,
            "bytes_per_vector": {"hnswlib": 100.0, "hobrin_ann": 90.0},
            "build_s_2_threads": {"hnswlib": 1.0, "hobrin_ann": 0.5},
            "build_scaling": [],
            "threads": [],
            "faults": [],
        }
        res = {
            "config": peers.QUICK,
            "started": "now",
            "minutes": 1.0,
            "source": "test",
            "load average at start": "0.5 0 0",
            "load average at end": "0.5 0 0",
            "cores": 2,
            "datasets": [entry],
        }
        text = "\n".join(peers.markdown(res))
        self.assertIn("| hnswlib | 1,500 | 1.00x | not reached | - |", text)
        self.assertIn("| hobrin_ann | 3,352 | 2.23x | 1,439 | - |", text)
        self.assertNotIn("build of", text)
        self.assertNotIn("machine was shared", text)


if __name__ == "__main__":
    unittest.main()
