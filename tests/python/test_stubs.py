"""The shipped stubs agree with the built module, and type the documented usage."""
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


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, **kwargs)


def test_stubs_match_the_module():
    result = run("mypy.stubtest", "hobrin")
    assert result.returncode == 0, result.stdout + result.stderr


def test_documented_usage_type_checks(tmp_path):
    (tmp_path / "usage.py").write_text(USAGE)
    good = run("mypy", "--strict", "--no-incremental", "usage.py", cwd=tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    (tmp_path / "misuse.py").write_text("import hobrin\nhobrin.PyFlat(2).search('ab', k='3')\n")
    bad = run("mypy", "--no-incremental", "misuse.py", cwd=tmp_path)
    assert bad.returncode == 1 and 'Argument "k"' in bad.stdout and 'Argument 1' in bad.stdout, bad.stdout
