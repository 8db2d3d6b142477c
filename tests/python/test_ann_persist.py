"""hobrin_ann.Index files, pickles and removal: round trips that change no
result, damaged files refused with ValueError (every truncation, byte flips,
and well-checksummed files that break the index's rules), saves that fail
without harming the previous file, and what removal and compact() promise."""

import copy
import errno
import os
import pathlib
import pickle
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import crc32c, sanitized

hobrin_ann = pytest.importorskip("hobrin_ann")
Index = hobrin_ann.Index

RNG = np.random.default_rng(11)
BASE = RNG.standard_normal((400, 12))
QUERIES = RNG.standard_normal((20, 12))
K_NO_NODE = 0xFFFFFFFF


def metadata(ids):
    return [[("color", ["red", "blue", "green"][i % 3]), ("size", i % 5)] for i in ids]


def build(n=None, metric="euclidean", dtype="float32", schema=True, removed=(3, 10, 11), m=8):
    index = Index(
        12,
        metric,
        dtype=dtype,
        m=m,
        ef_construction=60,
        seed=5,
        schema=["color", "size"] if schema else None,
        ef_search=33,
    )
    n = len(BASE) if n is None else n
    half = n // 2
    index.add(BASE[:half], metadata=metadata(range(half)) if schema else None, threads=1)
    index.add(BASE[half:n], threads=1)  # no metadata: these match no condition
    if removed:
        index.remove(list(removed))
    return index


def results(index):
    graph = index.search(QUERIES, 8)
    exact = index.search(QUERIES, 8, exact=True)
    filtered = index.search(QUERIES, 8, filter=("color", "red")) if index.schema else graph
    return [a.tolist() for pair in (graph, exact, filtered) for a in pair]


def reload_by_file(index, tmp_path):
    path = tmp_path / "index.hbr"
    index.save(path)
    return Index.load(str(path))


ROUND_TRIPS = {
    "file": reload_by_file,
    "pickle": lambda index, _: pickle.loads(pickle.dumps(index)),
    "deepcopy": lambda index, _: copy.deepcopy(index),
}


@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize(
    "config",
    [
        dict(dtype="float32"),
        dict(dtype="float64", metric="cosine"),
        dict(dtype="float32", metric="inner_product", schema=False, removed=()),
        dict(n=0, removed=()),
        dict(n=5, removed=(0, 1, 2, 3, 4)),
    ],
)
def test_round_trip_changes_nothing(how, config, tmp_path):
    index = build(**config)
    again = ROUND_TRIPS[how](index, tmp_path)
    assert type(again) is Index and again is not index
    assert repr(again) == repr(index) and again.schema == index.schema and again.ef_search == 33
    assert results(again) == results(index)
    live = [i for i in range(len(BASE)) if i in index]
    assert [i in again for i in range(len(BASE))] == [i in index for i in range(len(BASE))]
    np.testing.assert_array_equal(again.get(live), index.get(live))
    assert pickle.dumps(again) == pickle.dumps(index)  # the same bytes, to the last id


def test_a_loaded_index_goes_on_as_the_original():
    # The level generator and the id counter are saved: a seeded index and its
    # copy grow into the same graph.
    index = build(n=200)
    again = pickle.loads(pickle.dumps(index))
    for target in (index, again):
        target.add(BASE[200:300], metadata=metadata(range(100)), threads=1)
        assert target.add(BASE[300:301], threads=1).tolist() == [300]
    assert pickle.dumps(again) == pickle.dumps(index)


# ---- damaged files --------------------------------------------------------------


def split(data):
    """The preamble and {tag: payload} of a file, in order."""
    sections, at = {}, 64
    while at < len(data):
        length = int.from_bytes(data[at + 8 : at + 16], "little")
        sections[data[at : at + 4].decode()] = bytearray(data[at + 64 : at + 64 + length])
        at += -(-(68 + length) // 64) * 64  # header, payload and checksum, padded to 64 bytes
    return data[:64], sections


def join(preamble, sections):
    out = bytearray(preamble)
    for tag, payload in sections.items():
        header = tag.encode() + bytes(4) + len(payload).to_bytes(8, "little") + bytes(48)
        out += header + payload + crc32c(header + payload).to_bytes(4, "little")
        out += bytes(-len(out) % 64)
    return bytes(out)


def small(schema=True):
    """The bytes of a small index file, as pickles hold them."""
    return build(n=24, m=2, schema=schema, removed=(4, 7))._core.to_bytes(33)


def load_bytes(data):
    return hobrin_ann._core.GraphIndex.from_bytes(data)


def swap(sections, a, b):
    order = [b if tag == a else a if tag == b else tag for tag in sections]
    moved = {tag: sections[tag] for tag in order}
    sections.clear()
    sections.update(moved)


def swap_slots(table):
    """Moves the first id of the table to the slot before its home."""
    slots = [table[8 + 16 * i : 24 + 16 * i] for i in range((len(table) - 8) // 16)]
    taken = next(i for i, slot in enumerate(slots) if slot[:8] != b"\xff" * 8)
    empty = next(i for i, slot in enumerate(slots) if slot[:8] == b"\xff" * 8 and i != taken)
    slots[taken], slots[empty] = slots[empty], slots[taken]
    table[8:] = b"".join(slots)


def assert_corrupt(data, match=""):
    with pytest.raises(ValueError, match="^corrupt index file: .*" + match):
        load_bytes(data)


@pytest.mark.parametrize("schema", [True, False])
def test_every_truncation_and_padding_is_refused(schema):
    data = small(schema)
    load_bytes(data)
    for end in range(len(data)):
        assert_corrupt(data[:end])
    assert_corrupt(data + b"\0", "follow the last section")


@pytest.mark.parametrize("schema", [True, False])
def test_every_flipped_byte_is_detected(schema):
    data = small(schema)
    masks = np.random.default_rng(3).integers(1, 256, size=len(data))
    for at, mask in enumerate(masks):
        flipped = bytearray(data)
        flipped[at] ^= int(mask)
        assert_corrupt(bytes(flipped))


def u32(value):
    return value.to_bytes(4, "little")


def put(payload, at, raw):
    payload[at : at + len(raw)] = raw


# Files whose checksums are right but whose contents break the index's rules:
# (what to change, what the message must say). PARM offsets: nodes at 64,
# removed at 72, entry point at 88, the dimension order from 104.
BROKEN = {
    "wrong magic": (lambda p, s: p.__setitem__(slice(0, 1), b"X"), "wrong magic"),
    "unknown version": (lambda p, s: p.__setitem__(slice(8, 12), u32(5)), "unknown format version 5"),
    "preamble padding": (
        lambda p, s: p.__setitem__(slice(40, 41), b"\x01"),
        "reserved field of the preamble",
    ),
    "sections swapped": (lambda p, s: swap(s, "LABL", "LEVL"), "expected the LABL section, found 'LEVL'"),
    "extra section": (lambda p, s: s.update(XTRA=bytearray(8)), "follow the last section"),
    "node count": (lambda p, s: put(s["PARM"], 64, (23).to_bytes(8, "little")), "VECT section holds"),
    "removed count": (lambda p, s: put(s["PARM"], 72, (3).to_bytes(8, "little")), "REMV section holds"),
    "entry point": (lambda p, s: put(s["PARM"], 88, u32(24)), "entry point"),
    "dim order": (lambda p, s: put(s["PARM"], 108, s["PARM"][104:108]), "not a permutation"),
    "metric": (lambda p, s: put(s["PARM"], 8, b"\x07"), "unknown metric 7"),
    "m": (lambda p, s: put(s["PARM"], 16, (5000).to_bytes(8, "little")), "m must be at most 4096, got 5000"),
    "next id": (lambda p, s: put(s["PARM"], 56, (23).to_bytes(8, "little")), "not below the next id"),
    "infinite value": (
        lambda p, s: put(s["VECT"], 8, np.float32(np.inf).tobytes()),
        "vector 0 .* not finite",
    ),
    "negative id": (
        lambda p, s: put(s["LABL"], 8, (-5).to_bytes(8, "little", signed=True)),
        "negative id -5",
    ),
    "duplicate id": (
        lambda p, s: put(s["LABL"], 8, s["LABL"][0:8]),
        "IDMP section: slot .* live node's id once",
    ),
    "id table count": (
        lambda p, s: put(s["IDMP"], 0, (8).to_bytes(8, "little")),
        "8 slots cannot hold 22 ids",
    ),
    "id table place": (lambda p, s: swap_slots(s["IDMP"]), "not where a lookup finds it|live node's id once"),
    "level out of range": (lambda p, s: put(s["LEVL"], 0, b"\x1f"), "level 31, above 30"),
    "levels and lists": (lambda p, s: put(s["LEVL"], s["LEVL"].index(0), b"\x01"), "add up"),
    "missing node": (lambda p, s: put(s["LNK0"], 0, u32(99)), "to node 99, which does not exist"),
    "gap in a list": (lambda p, s: put(s["LNK0"], 0, u32(K_NO_NODE)), "after an empty slot"),
    "metadata marker": (lambda p, s: put(s["META"], 0, b"\x02"), "unknown marker"),
    "metadata kind": (lambda p, s: put(s["META"], 1, b"\x09"), "unknown kind 9"),
    "metadata text": (lambda p, s: put(s["META"], 6, b"\xff"), "not UTF-8"),
    "metadata length": (lambda p, s: s["META"].extend(b"\0"), "bytes after its last value"),
    "removal order": (lambda p, s: s.update(REMV=s["REMV"][4:] + s["REMV"][:4]), "ascending"),
}


@pytest.mark.parametrize("case", BROKEN)
def test_files_that_break_the_rules_are_refused(case):
    change, message = BROKEN[case]
    preamble, sections = split(small())
    preamble = bytearray(preamble)
    change(preamble, sections)
    assert_corrupt(join(preamble, sections), message)


def test_the_upper_layers_only_link_nodes_on_them():
    preamble, sections = split(small())
    levels = sections["LEVL"]
    ground = levels.index(0)
    put(sections["LNKU"], 0, u32(ground))  # the first upper list belongs to a node above layer 0
    assert_corrupt(join(preamble, sections), f"to node {ground}, which is not on that layer")


def test_bad_arguments_and_missing_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        Index.load(tmp_path / "missing")
    with pytest.raises(IsADirectoryError):
        Index.load(tmp_path)
    with pytest.raises(TypeError):
        Index.load(3)
    with pytest.raises(ValueError, match="null"):
        Index.load("a\0b")
    with pytest.raises(TypeError):
        load_bytes("text")
    (tmp_path / "empty").write_bytes(b"")
    with pytest.raises(ValueError, match="too short"):
        Index.load(tmp_path / "empty")


def not_regular(kind, tmp_path):
    """A path to something that is not a regular file."""
    if kind == "pipe":
        os.mkfifo(tmp_path / "pipe")  # no writer: opening it to read would wait for one
        return tmp_path / "pipe"
    if kind == "link to /dev/zero":
        os.symlink("/dev/zero", tmp_path / "zero")
        return tmp_path / "zero"
    return pathlib.Path(kind)


@pytest.mark.parametrize(
    "kind, what",
    [
        ("/dev/zero", "a character device"),  # endless
        ("/dev/null", "a character device"),
        ("pipe", "a pipe"),
        ("link to /dev/zero", "a character device"),
    ],
)
def test_only_a_regular_file_is_loaded(kind, what, tmp_path):
    path = not_regular(kind, tmp_path)
    # In a child bounded in memory and time, so that a reader that reads to
    # the end or waits fails this test instead of the machine or the suite.
    limit = "" if sanitized() else "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))"
    script = f"""
import resource, sys
sys.path[:0] = {sys.path!r}
{limit}
import hobrin_ann
try:
    hobrin_ann.Index.load(sys.argv[1])
except Exception as error:
    print(repr((type(error).__name__, getattr(error, "errno", None), str(error))))
"""
    done = subprocess.run(
        [sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=60
    )
    expected = ("OSError", errno.EINVAL, f"[Errno 22] not a regular file ({what}): {str(path)!r}")
    assert done.stdout.strip() == repr(expected), done.stderr


# ---- failed saves ----------------------------------------------------------------


def test_a_save_that_fails_leaves_the_previous_file(tmp_path):
    path = tmp_path / "index.hbr"
    build(n=10, removed=(3,)).save(path)
    before = path.read_bytes()
    # The file size limit stops the write part way, as a full disk would.
    script = f"""
import resource, signal, sys
sys.path[:0] = {sys.path!r}
import hobrin_ann
index = hobrin_ann.Index(64)
index.add([[float(i)] * 64 for i in range(1000)])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({len(before) + 4096}, resource.RLIM_INFINITY))
try:
    index.save({str(path)!r})
except OSError as error:
    print(type(error).__name__, error.errno, error.filename)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["OSError", "27", str(path)], done.stderr
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.hbr"]  # no temporary file left


def test_saves_to_places_that_cannot_take_them(tmp_path):
    index = build(n=10, removed=())
    with pytest.raises(FileNotFoundError):
        index.save(tmp_path / "no folder" / "index.hbr")
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "inside").write_text("kept")
    with pytest.raises(IsADirectoryError):
        index.save(tmp_path / "folder")
    assert (tmp_path / "folder" / "inside").read_text() == "kept"
    assert sorted(os.listdir(tmp_path)) == ["folder"]


# ---- temporary files left by killed saves ------------------------------------------


def child(body, *args):
    """A Python child that can import hobrin_ann, running `body`; its output is read line by line."""
    script = f"import sys\nsys.path[:0] = {sys.path!r}\n{body}"
    return subprocess.Popen(
        [sys.executable, "-c", script, *map(str, args)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )


def temporaries(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


def killed_mid_save(path):
    """The temporary file that a save killed with SIGKILL part way left behind."""
    body = """
import numpy as np, hobrin_ann
index = hobrin_ann.Index(512, m=2, ef_construction=8, seed=1)
index.add(np.random.default_rng(0).standard_normal((6000, 512)), threads=1)  # a 13 MB file
print("saving", flush=True)
while True:
    index.save(sys.argv[1])
"""
    with child(body, path) as saver:
        try:
            assert saver.stdout.readline() == "saving\n"
            deadline = time.monotonic() + 60
            while not temporaries(path.parent) and time.monotonic() < deadline:
                time.sleep(0.001)  # between two saves, only the renamed file is there
        finally:
            saver.send_signal(signal.SIGKILL)
    return temporaries(path.parent)


def test_a_save_removes_the_temporary_files_of_killed_saves_only(tmp_path):
    path = tmp_path / "index.hbr"
    for _ in range(5):  # the kill may land just after a rename, leaving nothing
        left = killed_mid_save(path)
        if left:
            break
    assert len(left) == 1 and left[0].startswith(".index.hbr."), left
    # A save in progress, as another process holds it: its file, locked.
    body = """
import fcntl, os
name = os.path.join(sys.argv[1], f".index.hbr.{os.getpid()}.0.0.tmp")
fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
fcntl.flock(fd, fcntl.LOCK_EX)
print(os.path.basename(name), flush=True)
sys.stdin.read()
"""
    (tmp_path / "precious").write_text("kept")
    kept = [
        f".index.hbr.{os.getpid()}.0.0.tmp",  # this process's own saves are never touched
        ".index.hbr.tmp",
        ".index.hbr.12.tmp",
        ".index.hbr.1.2.3.4.tmp",
        ".index.hbr.1.2.g.tmp",
        ".index.hbr.1.2.3.tmp.part",
        "index.hbr.1.2.3.tmp",
        ".index.hbr2.1.2.3.tmp",
        ".other.hbr.1.2.3.tmp",
    ]
    for name in kept:
        (tmp_path / name).write_text("kept")
    os.symlink(tmp_path / "precious", tmp_path / ".index.hbr.7.8.9.tmp")  # not followed
    (tmp_path / ".index.hbr.3.4.5.tmp").write_text("stale")  # no one holds it
    with child(body, tmp_path) as holder:
        live = holder.stdout.readline().strip()
        build(n=10, removed=()).save(path)
        remaining = set(os.listdir(tmp_path))
        holder.kill()  # its lock goes with it
    assert left[0] not in remaining and ".index.hbr.3.4.5.tmp" not in remaining
    assert {live, ".index.hbr.7.8.9.tmp", *kept} <= remaining
    assert (tmp_path / "precious").read_text() == "kept"
    build(n=10, removed=()).save(path)
    assert live not in os.listdir(tmp_path)
    assert len(Index.load(path)) == 10


def test_concurrent_saves_to_one_path_never_remove_each_others_files(tmp_path):
    path = tmp_path / "index.hbr"
    body = """
import hobrin_ann
index = hobrin_ann.Index(8, seed=1)
index.add([[float(i)] * 8 for i in range(200)], threads=1)
for _ in range(60):
    index.save(sys.argv[1])  # each save cleans up before it writes
print("done", flush=True)
"""
    savers = [child(body, path) for _ in range(3)]
    outputs = [saver.communicate(timeout=120)[0] for saver in savers]
    assert outputs == ["done\n"] * 3 and [saver.returncode for saver in savers] == [0] * 3
    assert os.listdir(tmp_path) == ["index.hbr"] and len(Index.load(path)) == 200


# ---- removal --------------------------------------------------------------------


@pytest.mark.parametrize(
    "search",
    [
        dict(),
        dict(exact=True),
        dict(filter=("color", "red")),
        dict(filter=("size", [0, 1, 2, 3, 4])),
        dict(filter=np.arange(0, 400, 2)),
    ],
)
def test_removed_vectors_are_never_returned(search):
    index = build(removed=())
    nearest = index.search(QUERIES, 20, exact=True)[0]
    gone = np.unique(nearest[:, :10])  # the best answers of every query
    index.remove(gone)
    labels, distances = index.search(QUERIES, 20, ef=100, **search)
    found = labels >= 0
    assert not np.isin(labels, gone).any() and found.any()
    assert all(int(i) in index for i in labels[found]) and np.isfinite(distances[found]).all()
    if "filter" not in search:
        assert found.all()


def test_removal_counts_gets_and_ids():
    index = build(removed=())
    index.remove([5, 6])
    assert len(index) == len(BASE) - 2 and 5 not in index and 7 in index
    with pytest.raises(KeyError, match="^5$"):
        index.get([4, 5])
    with pytest.raises(KeyError, match="^6$"):
        index.remove([7, 6, 999])  # already removed: nothing else goes either
    with pytest.raises(KeyError, match="^999$"):
        index.remove([7, 999])
    with pytest.raises(ValueError, match="more than once"):
        index.remove([7, 7])
    assert 7 in index and len(index) == len(BASE) - 2
    # Default ids go on above the largest ever added; a removed id may come back.
    assert index.add(BASE[0]).tolist() == [len(BASE)]
    assert index.add(BASE[0] + 100, ids=[5], metadata=metadata([5])).tolist() == [5]
    np.testing.assert_allclose(index.get(5), (BASE[0] + 100).astype(np.float32))
    assert index.search(BASE[0] + 100, 1)[0].tolist() == [5]
    assert index.search(BASE[0] + 100, 1, filter=("color", "green"))[0].tolist() == [5]


def test_removing_everything_leaves_padding():
    index = build(n=6, removed=range(6))
    labels, distances = index.search(QUERIES[:2], 3)
    assert len(index) == 0 and (labels == -1).all() and np.isinf(distances).all()
    assert index.search(QUERIES[:2], 3, exact=True)[0].tolist() == [[-1] * 3] * 2


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_compact_keeps_the_live_vectors_ids_and_metadata(metric):
    index = build(metric=metric, removed=range(0, 400, 3))
    compacted = index.compact(threads=1)
    assert repr(compacted) == repr(index) and compacted.schema == index.schema
    live = [i for i in range(len(BASE)) if i in index]
    assert [i in compacted for i in range(len(BASE))] == [i in index for i in range(len(BASE))]
    np.testing.assert_allclose(compacted.get(live), index.get(live), rtol=1e-6, atol=1e-6)
    for search in (dict(exact=True), dict(exact=True, filter=("color", "red"))):
        expected = index.search(QUERIES, 5, **search)[0]
        assert compacted.search(QUERIES, 5, **search)[0].tolist() == expected.tolist()
    assert compacted.add(BASE[0]).tolist() == [len(BASE)]  # the id counter comes along


def test_removals_saves_and_searches_from_several_threads():
    index = build(removed=())
    batches = [np.arange(start, start + 40) for start in range(0, 400, 40)][:8]
    removed = [0]  # batches removed so far, as the remover last saw
    failures, done = [], threading.Event()

    def remover():
        for count, batch in enumerate(batches, 1):
            index.remove(batch)
            removed[0] = count

    def searcher():
        while not done.is_set():
            gone = removed[0] * 40  # every id below this was removed before the search began
            labels, _ = index.search(QUERIES, 10, threads=2)
            assert not ((labels >= 0) & (labels < gone)).any()

    def copier():
        while not done.is_set():
            # A copy holds whole removals only, and never returns what it lacks.
            clone = pickle.loads(pickle.dumps(index))
            assert (len(BASE) - len(clone)) % 40 == 0
            labels = clone.search(QUERIES, 10)[0]
            assert all(int(i) in clone for i in labels[labels >= 0])

    def run(target):
        try:
            target()
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    others = [threading.Thread(target=run, args=(f,)) for f in (searcher, copier)]
    for thread in others:
        thread.start()
    run(remover)
    done.set()
    for thread in others:
        thread.join()
    assert failures == [] and len(index) == len(BASE) - 8 * 40
