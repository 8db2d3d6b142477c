"""Runs one operation of hobrin_ann.Index under a sweep of address-space
limits and prints what happened at each, one JSON object a line:

    python oom_child.py SCENARIO

The index is built once; each limit is tried in a forked copy of this
process, so every try starts from the same index and from the same per-thread
state of the C++ runtime (which a first throw in a thread allocates). A copy
exits with OK when the operation succeeded and UNCHANGED when it raised
MemoryError and left the index as it was (its size, a search's result). In
both cases it then lifts the limit and adds one more batch, which must
succeed. Any other exit code, or a signal, is a failure.
"""

import ctypes
import ctypes.util
import json
import os
import resource
import sys
import tempfile
import traceback

import numpy as np

import hobrin_ann

# The progress scenarios measure hobrin_ann's own bar: tqdm, where it is
# installed, starts threads and allocates on its own terms under the limit.
# The bar imports it only when an add starts.
sys.modules["tqdm.auto"] = None  # type: ignore[assignment]

OK, UNCHANGED, CHANGED, OTHER = 0, 1, 3, 4
DIM = 32
BASE = 1500
BATCH = 3000
SCHEMA = ["color", "size", "shape", "owner"]
# The bands of room above the current address space swept, in KiB:
# (first, last, step). The coarse band stops after two successes in a row.
COARSE = (0, 6144, 128)
PAGE_KIB = resource.getpagesize() // 1024


def metadata(count, offset):
    """Rows of long strings: converting them makes many small allocations."""
    return [
        [("color", f"c{(offset + i) % 7}"), ("size", (offset + i) % 13)]
        + [(name, f"{name} value number {offset + i:012d}") for name in SCHEMA[2:]]
        for i in range(count)
    ]


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def thread_stack_kib():
    """The stack size a new thread gets by default."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    attributes = ctypes.create_string_buffer(128)  # a pthread_attr_t fits
    size = ctypes.c_size_t()
    if libc.pthread_getattr_default_np(attributes) != 0:
        raise OSError("pthread_getattr_default_np failed")
    libc.pthread_attr_getstacksize(attributes, ctypes.byref(size))
    libc.pthread_attr_destroy(attributes)
    return size.value // 1024


def stack_band():
    """Just room for one helper thread's stack and guard page, plus a little:
    the helper starts, then its own first allocations fail."""
    first = thread_stack_kib() + PAGE_KIB
    return (first, first + 31 * PAGE_KIB, PAGE_KIB)


def scenarios(index, batch, queries, folder):
    """Each scenario: what it runs under the limit and the bands it sweeps."""
    meta = metadata(len(batch), BASE)
    path = os.path.join(folder, "index.hbn")

    def search():
        index.search(queries, 10, threads=2)
        index.search(queries, 10, threads=2, exact=True)
        index.search(queries, 10, threads=2, filter=("color", ["c1", "c2"]))

    def save_remove():
        index.save(path)
        index.remove(np.arange(0, BASE, 2))

    return {
        "add_metadata": (lambda: index.add(batch, metadata=meta, threads=1), [COARSE]),
        "add_metadata_threads": (lambda: index.add(batch, metadata=meta, threads=2), [COARSE]),
        "add_threads": (lambda: index.add(batch, threads=2), [COARSE]),
        "add_progress": (lambda: index.add(batch, metadata=meta, progress=True), [COARSE]),
        "search_threads": (search, [(0, 2048, 256), stack_band()]),
        "compact_threads": (lambda: index.compact(threads=2), [COARSE]),
        "save_remove": (save_remove, [COARSE]),
    }


def attempt(index, operation, headroom_kib, probe, expected):
    """In the forked copy: the operation under the limit, then the checks."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom_kib * 1024, hard))
    try:
        operation()
        outcome = OK
    except MemoryError:
        outcome = UNCHANGED
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if outcome == UNCHANGED:
        labels, _ = index.search(probe, 5, threads=1)
        if len(index) != expected[0] or not np.array_equal(labels, expected[1]):
            return CHANGED
    size = len(index)
    extra = np.random.default_rng(headroom_kib).standard_normal((50, DIM)).astype(np.float32)
    index.add(extra, metadata=metadata(50, 10**6), threads=2)
    return outcome if len(index) == size + 50 else CHANGED


def try_in_copy(index, operation, headroom_kib, probe, expected):
    """Runs attempt() in a forked copy; its report."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = OTHER
        try:
            code = attempt(index, operation, headroom_kib, probe, expected)
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stderr.flush()
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    report = {"headroom_kib": headroom_kib}
    if os.WIFSIGNALED(status):
        report["signal"] = os.WTERMSIG(status)
    else:
        report["exit"] = os.WEXITSTATUS(status)
    return report


def main(scenario):
    rng = np.random.default_rng(5)
    index = hobrin_ann.Index(DIM, schema=SCHEMA, m=8, ef_construction=16, seed=3)
    base = rng.standard_normal((BASE, DIM)).astype(np.float32)
    index.add(base, metadata=metadata(BASE, 0), threads=1)
    if scenario == "compact_threads":
        # One thread: a repair on two would leave a cached thread stack that
        # compact's own thread then takes without asking for address space.
        index.remove(np.arange(0, BASE, 3), threads=1)
    batch = rng.standard_normal((BATCH, DIM)).astype(np.float32)
    queries = rng.standard_normal((64, DIM)).astype(np.float32)
    probe = queries[:4]
    expected = (len(index), index.search(probe, 5, threads=1)[0])
    with tempfile.TemporaryDirectory() as folder:
        operation, bands = scenarios(index, batch, queries, folder)[scenario]
        for first, last, step in bands:
            successes = 0
            for headroom_kib in range(first, last + 1, step):
                report = try_in_copy(index, operation, headroom_kib, probe, expected)
                print(json.dumps(report), flush=True)
                successes = successes + 1 if report.get("exit") == OK else 0
                if (first, last, step) == COARSE and successes == 2:
                    break


if __name__ == "__main__":
    main(sys.argv[1])
