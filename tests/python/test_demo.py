"""examples/demo.py runs, and its memory figures for the mapped file count
only what the index adds: never more of the file than the file holds, and
the index's own memory no less than its nbytes and no more than the file."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="minutes under the sanitizers")
@pytest.mark.skipif(not Path("/proc/self/smaps").exists(), reason="reads /proc/self/smaps")
def test_demo_runs_and_its_memory_figures_are_the_index_own():
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    numbers = re.search(
        r"saved (\d+) MiB.*?brought ([\d.]+) MiB of the file's pages"
        r".*?added ([\d.]+) MiB of memory of its own: ([\d.]+) MiB",
        out.stdout,
        flags=re.S,
    )
    assert numbers, out.stdout
    size, file_pages, own, structure = map(float, numbers.groups())
    assert 0 < file_pages <= size + 0.5, out.stdout
    assert structure <= own < size, out.stdout
