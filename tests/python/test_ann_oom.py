"""Running out of memory never ends the process: under an address-space
limit swept from none to enough, every operation of hobrin_ann.Index either
succeeds or raises MemoryError and leaves the index as it was, on the calling
thread and on its helper threads alike. oom_child.py runs each sweep in a
child process, whose forked copies try one limit each."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import sanitized

pytest.importorskip("hobrin_ann")

CHILD = Path(__file__).with_name("oom_child.py")
OK, UNCHANGED = 0, 1
# Scenarios whose sweep must reach a shortage the operation reports; a search
# needs so little that it may always find room.
MUST_FAIL = {
    "add_metadata",
    "add_metadata_threads",
    "add_threads",
    "add_progress",
    "compact_threads",
    "save_remove",
}
SCENARIOS = sorted(MUST_FAIL | {"search_threads"})


@pytest.fixture(scope="module")
def sweeps():
    """Every scenario's child, run side by side: (exit code, reports, stderr)."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    children = {
        name: subprocess.Popen(
            [sys.executable, str(CHILD), name],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for name in SCENARIOS
    }
    results = {}
    for name, child in children.items():
        out, err = child.communicate(timeout=300)
        results[name] = (child.returncode, [json.loads(line) for line in out.splitlines()], err)
    return results


@pytest.mark.skipif(sanitized(), reason="the sanitizers' own allocator ends the process when it runs out")
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_out_of_memory_raises_memory_error_and_leaves_the_index_as_it_was(sweeps, scenario):
    returncode, reports, err = sweeps[scenario]
    assert returncode == 0, err[-3000:]
    failed = [report for report in reports if report.get("exit") not in (OK, UNCHANGED)]
    assert failed == [], err[-3000:]
    outcomes = {report["exit"] for report in reports}
    assert OK in outcomes
    if scenario in MUST_FAIL:
        assert UNCHANGED in outcomes
