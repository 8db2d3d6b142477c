"""hobrin_ann.Index with codes (quantization float16, int8, int4): recall
floors, exact re-ranked distances, every variant through files and pickles,
the first batch's range and what compact() learns again, damaged codes
refused, and bad arguments."""

import pickle

import numpy as np
import pytest

from test_ann_persist import assert_corrupt, join, split

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

DIM = 21  # odd, and int4 packs two codes a byte
RNG = np.random.default_rng(17)
CENTRES = RNG.standard_normal((30, DIM)) * 3
BASE = (CENTRES[RNG.integers(0, 30, 1500)] + RNG.standard_normal((1500, DIM))).astype(np.float32)
QUERIES = (CENTRES[RNG.integers(0, 30, 60)] + RNG.standard_normal((60, DIM))).astype(np.float32)
CODES = ["float16", "int8", "int4"]
VARIANTS = [(code, keep) for code in CODES for keep in (True, False)]
# Recall@10 at ef 64 on these data, with the full vectors kept or codes only.
FLOOR = {True: 0.97, False: {"float16": 0.97, "int8": 0.9, "int4": 0.5}}


def recall(found, truth):
    return np.mean([len(set(a) & set(b)) / len(b) for a, b in zip(found, truth)])


def coded(quantization, keep=True, metric="euclidean", dtype="float32", **options):
    index = Index(DIM, metric, dtype=dtype, quantization=quantization, keep_vectors=keep, seed=3, **options)
    index.add(BASE, threads=2)
    return index


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize(("quantization", "keep"), VARIANTS)
def test_recall_floor_and_exact_distances_after_reranking(quantization, keep, metric):
    index = coded(quantization, keep, metric)
    plain = Index(DIM, metric, seed=3)
    plain.add(BASE)
    truth, truth_distances = plain.search(QUERIES, 10, exact=True)
    labels, distances = index.search(QUERIES, 10, ef=64, threads=2)
    floor = FLOOR[True] if keep else FLOOR[False][quantization]
    assert recall(labels, truth) >= floor
    assert np.all(np.diff(distances, axis=1) >= 0)
    if not keep:
        return
    # Re-ranked distances are the full vectors', bit for bit, and so are an
    # exact scan's.
    for got, got_distances, want, want_distances in zip(labels, distances, truth, truth_distances):
        exact = dict(zip(want.tolist(), want_distances.tolist()))
        for label, distance in zip(got.tolist(), got_distances.tolist()):
            if label in exact:
                assert distance == exact[label]
    np.testing.assert_array_equal(index.search(QUERIES, 10, exact=True)[1], truth_distances)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_rerank_factor_trades_recall_and_keeps_distances_exact(dtype):
    index = coded("int4", dtype=dtype)
    plain = Index(DIM, dtype=dtype)
    plain.add(BASE)
    truth = plain.search(QUERIES, 10, exact=True)[0]
    scores = {}
    for rerank in (1, 2, None):
        labels, distances = index.search(QUERIES, 10, ef=80, rerank=rerank)
        scores[rerank] = recall(labels, truth)
        assert distances.dtype == np.dtype(dtype)
        np.testing.assert_allclose(
            distances,
            np.linalg.norm(BASE.astype(dtype)[labels] - QUERIES.astype(dtype)[:, None], axis=2),
            rtol=1e-5,
        )
    assert scores[1] <= scores[None] + 0.02 and scores[None] >= 0.97
    # A factor beyond ef widens the walk to that many candidates.
    np.testing.assert_array_equal(
        index.search(QUERIES, 10, ef=10, rerank=8)[0], index.search(QUERIES, 10, ef=80)[0]
    )


@pytest.mark.parametrize(
    ("quantization", "keep"), [(None, True), ("int8", False)], ids=["no codes", "codes only"]
)
def test_rerank_has_no_effect_without_full_vectors_to_rerank_on(quantization, keep):
    index = Index(DIM, quantization=quantization, keep_vectors=keep, m=4, ef_construction=20, seed=3)
    index.add(BASE, threads=1)
    narrow = index.search(QUERIES, 1, ef=1)
    # A wider walk finds other neighbours here, so a rerank that widened it would show.
    assert not np.array_equal(narrow[0], index.search(QUERIES, 1, ef=80)[0])
    for got, want in zip(index.search(QUERIES, 1, ef=1, rerank=80), narrow):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(("quantization", "keep"), VARIANTS)
@pytest.mark.parametrize("how", ["file", "mapped", "pickle"])
def test_every_variant_survives_files_and_pickles(quantization, keep, how, tmp_path):
    index = coded(quantization, keep, schema=["group"], ef_search=40)
    index.remove([5, 6, 7])
    if how == "pickle":
        again = pickle.loads(pickle.dumps(index))
    else:
        index.save(tmp_path / "codes.hbr")
        again = Index.load(tmp_path / "codes.hbr", mmap=how == "mapped")
    assert (again.quantization, again.keep_vectors, repr(again)) == (quantization, keep, repr(index))
    for exact in (False, True):
        np.testing.assert_array_equal(
            again.search(QUERIES, 7, exact=exact)[0], index.search(QUERIES, 7, exact=exact)[0]
        )
    np.testing.assert_array_equal(again.get([0, 100, 1499]), index.get([0, 100, 1499]))
    assert again._core.to_bytes(40) == index._core.to_bytes(40)
    assert again.nbytes <= index.nbytes if how == "mapped" else again.nbytes == index.nbytes


@pytest.mark.parametrize(("quantization", "levels"), [("int8", 255), ("int4", 15)])
def test_codes_only_hold_less_and_decode_within_half_a_step(quantization, levels):
    index = coded(quantization, keep=False)
    expected = Index.estimate_nbytes(DIM, len(BASE), quantization=quantization, keep_vectors=False)
    assert index.nbytes < coded(None).nbytes and abs(index.nbytes - expected) < 0.05 * expected
    # Half a step in each of its coded values (rotated or not, at most 64);
    # a step is at most twice the vector's length over the levels.
    norms = np.linalg.norm(BASE, axis=1)
    error = np.linalg.norm(index.get(range(len(BASE))) - BASE, axis=1)
    assert np.all(error <= norms * 8 / levels * 1.001)
    # Typically about half a step of the vector's own range in each value.
    assert np.mean(error) <= np.mean(BASE.max(1) - BASE.min(1)) / levels / 2 * np.sqrt(DIM)


def test_nothing_is_clamped_to_the_first_batch_and_compact_changes_no_code():
    index = Index(4, quantization="int8", keep_vectors=False)
    index.add(np.array([[0, 0, 0, 0], [1, 1, 1, 1]], np.float32))
    index.add(np.array([[10, 0, 0, 0]], np.float32))
    np.testing.assert_allclose(index.get([2]), [[10, 0, 0, 0]], atol=10 * 8 / 255)
    assert index.search(np.array([9, 0, 0, 0], np.float32), 1)[0].tolist() == [2]
    # A narrow first batch no longer blurs the later ones' codes: the same
    # recall before and after compact().
    kept = Index(DIM, quantization="int4", seed=1)
    kept.add(BASE[:50] * 0.05)
    kept.add(BASE)
    plain = Index(DIM)
    plain.add(np.concatenate([BASE[:50] * 0.05, BASE]))
    truth = plain.search(QUERIES, 10, exact=True)[0]
    before = recall(kept.search(QUERIES, 10, ef=20, rerank=1)[0], truth)
    after = recall(kept.compact().search(QUERIES, 10, ef=20, rerank=1)[0], truth)
    assert before > 0.8 and abs(after - before) <= 0.05
    np.testing.assert_array_equal(kept.get([60]), BASE[10:11])  # the full vector is kept


@pytest.mark.parametrize("quantization", CODES)
def test_filters_and_removals_with_codes(quantization):
    index = Index(DIM, quantization=quantization, schema=["group"], seed=1)
    index.add(BASE, metadata=[[("group", i % 7)] for i in range(len(BASE))])
    index.remove(list(range(0, len(BASE), 3)))
    for allowed in (("group", 2), list(range(1, 300, 5))):
        labels = index.search(QUERIES, 10, filter=allowed)[0]
        truth = index.search(QUERIES, 10, filter=allowed, exact=True)[0]
        found = labels[labels >= 0]
        assert np.all(found % 3 != 0) and recall(labels, truth) >= 0.9
        assert np.all(found % 7 == 2) if isinstance(allowed, tuple) else set(found) <= set(allowed)


# ---- files -----------------------------------------------------------------------


def small_codes(quantization):
    return coded(quantization, keep=False)._core.to_bytes(8)


def test_codes_sections_that_break_the_rules_are_refused():
    preamble, sections = split(small_codes("int8"))
    bad_scale = sections["CODE"].copy()
    bad_scale[0:4] = np.float32(np.nan).tobytes()
    assert_corrupt(join(preamble, {**sections, "CODE": bad_scale}), "scale that is not finite")
    preamble, sections = split(small_codes("float16"))
    infinite = sections["CODE"].copy()
    dims = 32
    infinite[8 * dims : 8 * dims + 2] = np.float16(np.inf).tobytes()
    assert_corrupt(join(preamble, {**sections, "CODE": infinite}), "not finite")
    sections["CODE"] = sections["CODE"][:-64]
    assert_corrupt(join(preamble, sections), "CODE section")


def test_every_flipped_byte_of_a_coded_file_is_detected():
    index = Index(5, quantization="int4", keep_vectors=False, m=2, seed=1)
    index.add(BASE[:30, :5])
    data = index._core.to_bytes(8)
    for at, mask in enumerate(np.random.default_rng(5).integers(1, 256, size=len(data))):
        flipped = bytearray(data)
        flipped[at] ^= int(mask)
        assert_corrupt(bytes(flipped))


@pytest.mark.parametrize("version", [2, 3])
def test_files_of_the_previous_versions_still_load(version):
    # A file without codes: no CSCL section in version 3, no CODE in version 2.
    index = Index(DIM, seed=2)
    index.add(BASE[:200])
    preamble, sections = split(index._core.to_bytes(index.ef_search))  # both search with one ef
    assert sections.pop("CSCL") == b""
    if version == 2:
        assert sections.pop("CODE") == b""
    older = bytearray(preamble)
    older[8:12] = version.to_bytes(4, "little")
    loaded, ef = hobrin_ann._core.GraphIndex.from_bytes(join(bytes(older), sections))
    again = Index._from_core(loaded, ef)
    np.testing.assert_array_equal(again.search(QUERIES, 5)[0], index.search(QUERIES, 5)[0])


# ---- bad arguments ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("arguments", "error", "match"),
    [
        (
            dict(quantization="int16"),
            ValueError,
            "unknown quantization 'int16': expected one of None, 'float16', 'int8', 'int4'",
        ),
        (dict(quantization=8), ValueError, "unknown quantization 8"),
        (dict(keep_vectors=False), ValueError, "keep_vectors=False needs a quantization"),
        (dict(quantization="int8", keep_vectors="no"), TypeError, "keep_vectors must be True or False"),
        # Half precision is a quantization, not a dtype: the message says so.
        *[
            (dict(dtype=half), ValueError, "expected 'float32' or 'float64'; .* quantization='float16'")
            for half in ("float16", np.float16, np.dtype("f2"))
        ],
        (dict(dtype="int8"), ValueError, r"expected 'float32' or 'float64'$"),
    ],
)
def test_bad_codes_arguments(arguments, error, match):
    with pytest.raises(error, match=match):
        Index(DIM, **arguments)
    with pytest.raises(error, match=match):
        Index.estimate_nbytes(DIM, 10, **arguments)


@pytest.mark.parametrize(
    ("rerank", "error"), [(0.5, ValueError), (float("nan"), ValueError), ("2", TypeError), (True, TypeError)]
)
def test_bad_rerank_is_refused(rerank, error):
    index = coded("int8")
    with pytest.raises(error, match="rerank"):
        index.search(QUERIES, 3, rerank=rerank)
