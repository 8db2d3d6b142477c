"""The shipped stubs agree with the built module, and type the documented usage."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

USAGE = textwrap.dedent(
    """
    import array
    import hobrin

    flat = hobrin.PyFlat(2, metric="cosine")
    flat.create([[0, 0], [3.5, 4]])
    flat.insert(array.array("d", [1.0, 2.0]))
    hits: list[tuple[int, float]] = flat.search([0, 0], k=2)

    index = hobrin.PyHNSW(2, metric="euclidean", schema=["color", "size"])
    index.insert([0, 0], [("color", "blue"), ("size", 42)])
    index.create([[1, 1]], metadata=[[("color", "red"), ("size", 1.5)]])
    found: list[tuple[float, list[float]]] = index.search([2, 2], k=2, filter=("color", "blue"))
    """
)
# NumPy arrays of any dtype, whole or row by row, as vectors, lists of them and
# queries; NumPy scalars as k and as metadata.
NUMPY_USAGE = textwrap.dedent(
    """
    import numpy as np
    import numpy.typing as npt
    import hobrin

    base = np.random.default_rng(0).standard_normal((10, 2))
    typed: npt.NDArray[np.float32] = base.astype(np.float32)
    flat = hobrin.PyFlat(2)
    flat.create(base)
    flat.create(typed)
    flat.create([base[0], typed[1]])
    flat.insert(base[0])
    flat.insert(np.arange(2))
    hits: list[tuple[int, float]] = flat.search(np.zeros(2), k=np.int64(3))

    index = hobrin.PyHNSW(2, metric="euclidean", schema=["size"])
    index.create(base, metadata=[[("size", np.int64(i))] for i in range(10)])
    index.insert(typed[0], [("size", np.float32(0.5))])
    found: list[tuple[float, list[float]]] = index.search(typed[2], k=2, filter=("size", np.int64(1)))
    """
)
# The scalable index: typed inline, its compiled part by a stub.
ANN_USAGE = textwrap.dedent(
    """
    import numpy as np
    import numpy.typing as npt
    import hobrin_ann

    index = hobrin_ann.Index(2, "cosine", dtype="float64", schema=["size"], seed=1)
    ids: npt.NDArray[np.int64] = index.add(np.eye(2), metadata=[[("size", 1)], [("size", 2)]], threads=1)
    index.add([[1.0, 2.0]], ids=[7])
    labels, distances = index.search([1, 0], k=2, ef=8, filter=("size", 1))
    index.ef_search = 32
    stored: npt.NDArray[np.float64] = index.get(ids)
    summary: tuple[int, bool, int, str] = (len(index), 7 in index, index.nbytes, index.dtype)
    held: npt.NDArray[np.bool_] = index.contains_many([7, 8])
    rows, given = index.check_batch([[0.5, 0.5]], ids=[8], metadata=[[("size", 3)]])
    checked: npt.NDArray[np.int64] | None = given
    queries, single = index.check_search(rows, k=1, filter=[8])
    unique: npt.NDArray[np.int64] = hobrin_ann.Index.check_ids(np.arange(3), unique=True)
    planned: int = hobrin_ann.Index.estimate_nbytes(2, 10**6, dtype=np.float64, m=8)
    seed: int | None = index.seed
    """
)
# Names of metrics, dtypes and codes are literal types: a misspelt one is a
# type error, in hobrin_ann and in hobrin_ann.ray alike. Lines marked "bad"
# must each be reported; the others must pass.
ANN_NAMES = textwrap.dedent(
    """
    import numpy as np
    import hobrin_ann
    from hobrin_ann.ray import ShardedIndex

    hobrin_ann.Index(8, "angular", dtype=np.float64, quantization="int4")
    hobrin_ann.Index.estimate_nbytes(8, 10, dtype="float64", quantization=None)
    ShardedIndex(8, 2, "inner_product", dtype="float32", quantization="float16", m=8, seed=1)
    hobrin_ann.Index(8, "manhattan")  # bad
    hobrin_ann.Index(8, dtype="float16")  # bad
    hobrin_ann.Index(8, quantization="int2")  # bad
    hobrin_ann.Index.estimate_nbytes(8, 10, dtype="half")  # bad
    ShardedIndex(8, 2, "manhattan")  # bad
    ShardedIndex(8, 2, dtype="float16")  # bad
    ShardedIndex(8, 2, quantization="int2")  # bad
    ShardedIndex(8, 2, ef=10)  # bad
    """
)
MISUSE = textwrap.dedent(
    """
    import hobrin
    hobrin.PyFlat(2).search('ab', k='3')
    hobrin.PyFlat(2).insert({0: 1.0})
    """
)


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy with one cache for the whole module: the stubs of numpy and of
    the standard library are analysed once, not once a check."""
    cache = str(tmp_path_factory.mktemp("mypy-cache"))
    return lambda *args, **kwargs: run("mypy", "--cache-dir", cache, *args, **kwargs)


@pytest.mark.parametrize("module", ["hobrin", "hobrin_ann._core"])
def test_stubs_match_the_module(module):
    result = run("mypy.stubtest", module)
    assert result.returncode == 0, result.stdout + result.stderr


def test_ann_package_passes_strict_type_checks(mypy):
    result = mypy("--strict", "-p", "hobrin_ann")
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("usage", [USAGE, NUMPY_USAGE, ANN_USAGE], ids=["lists", "numpy", "ann"])
def test_documented_usage_type_checks_and_runs(mypy, tmp_path, usage):
    (tmp_path / "usage.py").write_text(usage)
    good = mypy("--strict", "usage.py", cwd=tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    ran = subprocess.run([sys.executable, "usage.py"], cwd=tmp_path, capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr


ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = sorted(
    path.relative_to(ROOT).as_posix()
    for path in [ROOT / "README.md", *(ROOT / "docs").rglob("*.md")]
    if "```python" in path.read_text()
)
# A page whose examples need what a test cannot give (a Ray cluster, a data
# set) says so; they are type-checked only.
NOT_RUN = "<!-- examples: type-checked, not run"


@pytest.mark.parametrize("document", DOCUMENTS)
def test_documented_examples_type_check_and_run(mypy, tmp_path, document):
    text = (ROOT / document).read_text()
    # Blocks inside list items are indented with their item. The blocks of a
    # page make one program, run in order.
    blocks = [
        textwrap.dedent(block)
        for _, block in re.findall(r"^( *)```python\n(.*?)^\1```", text, flags=re.M | re.S)
    ]
    (tmp_path / "page.py").write_text("\n".join(blocks))
    result = mypy("--strict", "page.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    if NOT_RUN not in text:
        ran = subprocess.run([sys.executable, "page.py"], cwd=tmp_path, capture_output=True, text=True)
        assert ran.returncode == 0, ran.stderr


def test_misspelt_names_are_type_errors(mypy, tmp_path):
    pytest.importorskip("ray")
    (tmp_path / "names.py").write_text(ANN_NAMES)
    result = mypy("--strict", "names.py", cwd=tmp_path)
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    bad = {number for number, line in enumerate(ANN_NAMES.splitlines(), 1) if line.endswith("# bad")}
    assert len(bad) == 8 and reported == bad, result.stdout


def test_misuse_is_reported(mypy, tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    bad = mypy("misuse.py", cwd=tmp_path)
    errors = [line for line in bad.stdout.splitlines() if ": error:" in line]
    assert bad.returncode == 1 and len(errors) == 3, bad.stdout
    assert 'misuse.py:3: error: Argument 1 to "search"' in errors[0] and 'Argument "k"' in errors[1], (
        bad.stdout
    )
    assert 'misuse.py:4: error: Argument 1 to "insert"' in errors[2] and '"dict[int, float]"' in errors[2], (
        bad.stdout
    )
