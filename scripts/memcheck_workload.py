"""A representative workload for memcheck: every case of the leak test a few
times (construction, insert, create and search on both classes, with their
conversion errors, access conflicts and core errors), a short threaded run with
callbacks into the index, and a few stateful property examples."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from hypothesis import settings  # noqa: E402
from hypothesis.stateful import run_state_machine_as_test  # noqa: E402

import test_leaks  # noqa: E402
import test_properties  # noqa: E402
import test_threads  # noqa: E402

for _name, (expected, fn, *args) in test_leaks.CASES.items():
    for _ in range(3):
        test_leaks.call(fn, args, expected)
test_threads.OPS = 20
for make, tagged in [
    (lambda: test_threads.PyFlat(4), False),
    (lambda: test_threads.PyHNSW(4, layers=3, metric="euclidean", ef_search=2**64 - 1, schema=["tag"]), True),
]:
    test_threads.test_threads_share_one_index(make, tagged)
for machine in (test_properties.HNSWMachine, test_properties.FlatMachine):
    run_state_machine_as_test(
        machine, settings=settings(test_properties.SETTINGS, max_examples=5, database=None)
    )
print("memcheck workload done")
