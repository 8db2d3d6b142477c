"""scripts/provision.sh takes GoogleTest as present only when this machine's
architecture can link it, whatever other architectures' packages installed."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "provision.sh"
HOST = "x86_64-linux-gnu"

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")

HEADERS = ["usr/include/gtest/gtest.h"]
DEBIAN_HOST = [f"usr/lib/{HOST}/libgtest.a", f"usr/lib/{HOST}/libgtest_main.a"]
DEBIAN_ARM64 = ["usr/lib/aarch64-linux-gnu/libgtest.a", "usr/lib/aarch64-linux-gnu/libgtest_main.a"]
LOCAL = ["usr/local/include/gtest/gtest.h", "usr/local/lib/libgtest.a", "usr/local/lib/libgtest_main.a"]


def missing_packages(tmp_path, files):
    for name in files:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).touch()
    result = subprocess.run(
        ["bash", str(SCRIPT), "--tests", "--check"],
        env={**os.environ, "HOBRIN_PROVISION_ROOT": str(tmp_path), "HOBRIN_PROVISION_TRIPLET": HOST},
        capture_output=True,
        text=True,
    )
    assert result.returncode in (0, 1), result.stderr
    line = result.stdout.strip()
    assert (result.returncode == 1) == bool(line), result.stdout
    return line.removeprefix("missing system packages: ").split()


@pytest.mark.parametrize(
    ("files", "found"),
    [
        (HEADERS + DEBIAN_HOST, True),
        (LOCAL, True),
        # What the aarch64 stage installs: the same headers, another machine's libraries.
        (HEADERS + DEBIAN_ARM64, False),
        (HEADERS, False),
        (HEADERS + DEBIAN_HOST[:1], False),  # gtest_main is linked too
        (DEBIAN_HOST, False),
        ([], False),
    ],
    ids=["debian", "usr-local", "arm64-only", "headers-only", "no-gtest-main", "no-headers", "nothing"],
)
def test_gtest_counts_as_present_only_when_the_host_can_link_it(tmp_path, files, found):
    assert ("libgtest-dev" not in missing_packages(tmp_path, files)) == found
