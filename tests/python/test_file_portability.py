"""Index files move between machines of other architectures: a file saved
here loads on the other machine with the same results, and the reverse. The
other machine's interpreter is a command in HOBRIN_OTHER_PYTHON (for instance
an aarch64 Python under qemu, as scripts/test_aarch64.sh gives); without it
these tests are skipped. The file format is little-endian on every machine,
and a loaded index saves back to the very same bytes.

Distances of hobrin_ann may differ in the last bits between machines (its
kernels fuse and reorder sums as each CPU allows), so they are compared with
a tolerance; labels, vectors and the exact cores' distances must be equal."""

import os
import shlex
import subprocess
from pathlib import Path

import numpy as np
import pytest

import file_portability_child as child

OTHER = os.environ.get("HOBRIN_OTHER_PYTHON")
pytestmark = pytest.mark.skipif(not OTHER, reason="HOBRIN_OTHER_PYTHON names no other interpreter")

hobrin_ann = pytest.importorskip("hobrin_ann")


@pytest.fixture(scope="module")
def exchange(tmp_path_factory):
    """The folder after both halves ran: this machine's files and results,
    then the other machine's."""
    folder = tmp_path_factory.mktemp("exchange")
    rng = np.random.default_rng(20)
    data = rng.standard_normal((300, 12))
    queries = rng.standard_normal((15, 12))
    np.save(folder / "data.npy", data)
    np.save(folder / "queries.npy", queries)
    for name in child.CONFIGS:
        index = child.build(name, data)
        index.save(folder / f"{name}.here.hbr")
        np.savez(folder / f"{name}.here.npz", **child.results(index, queries))
    np.savez(folder / "cores.here.npz", **child.exact_cores(data, queries))
    script = Path(child.__file__).resolve()
    done = subprocess.run([*shlex.split(OTHER), str(script), str(folder)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-4000:]
    return folder


def assert_same_answers(got, want, dtype):
    tolerance = 1e-5 if dtype == "float32" else 1e-12
    for key in want.files:
        if key.endswith("_distances"):
            np.testing.assert_allclose(got[key], want[key], rtol=tolerance, atol=tolerance, err_msg=key)
        else:
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)


@pytest.mark.parametrize("name", child.CONFIGS)
@pytest.mark.parametrize("direction", ["here to there", "there to here"])
def test_a_file_saved_on_one_machine_loads_on_the_other(exchange, name, direction):
    dtype = child.CONFIGS[name]["dtype"]
    if direction == "here to there":
        # Read there, the file's answers are those it gave here, and saved
        # again there it is the same file.
        saved = exchange / f"{name}.here.hbr"
        assert_same_answers(
            np.load(exchange / f"{name}.here-read-there.npz"), np.load(exchange / f"{name}.here.npz"), dtype
        )
        assert (exchange / f"{name}.here-saved-there.hbr").read_bytes() == saved.read_bytes()
    else:
        saved = exchange / f"{name}.there.hbr"
        loaded = hobrin_ann.Index.load(str(saved))
        queries = np.load(exchange / "queries.npy")
        assert_same_answers(child.results(loaded, queries), np.load(exchange / f"{name}.there.npz"), dtype)
        again = exchange / f"{name}.there-saved-here.hbr"
        loaded.save(again)
        assert again.read_bytes() == saved.read_bytes()


def test_the_exact_cores_agree_bit_for_bit_across_machines(exchange):
    here = np.load(exchange / "cores.here.npz")
    there = np.load(exchange / "cores.there.npz")
    for key in here.files:
        np.testing.assert_array_equal(there[key], here[key], err_msg=key)
