"""The manifest of a saved sharded index: what a load must find, and the
checksum of every shard file.

A save writes every shard file under a fresh name first and then replaces
``manifest.json`` in one rename, so the manifest always names a complete save.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

MANIFEST = "manifest.json"
_FORMAT = "hobrin_ann sharded index"
_VERSION = 1
SHARD_FILE = re.compile(r"shard-(\d+)-([0-9a-f]{16})\.hidx")


@dataclass(frozen=True)
class ShardFile:
    name: str
    size: int
    sha256: str
    vectors: int


@dataclass(frozen=True)
class Manifest:
    dim: int
    metric: str
    options: dict[str, Any]
    next_id: int
    files: list[ShardFile]
    replicas: int = 1


def shard_file_name(shard: int, token: str) -> str:
    return f"shard-{shard}-{token}.hidx"


def _checksum(body: dict[str, Any]) -> str:
    canonical = json.dumps(body, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(canonical.encode()).hexdigest()


def write_manifest(directory: str, manifest: Manifest, token: str) -> None:
    """Replaces the directory's manifest: written under a temporary name of
    its own (``token``), synced, and renamed over the old one."""
    body: dict[str, Any] = {
        "format": _FORMAT,
        "version": _VERSION,
        "dim": manifest.dim,
        "metric": manifest.metric,
        "options": manifest.options,
        "next_id": manifest.next_id,
        "files": [vars(file) for file in manifest.files],
        "replicas": manifest.replicas,
    }
    body["checksum"] = _checksum(body)
    temporary = os.path.join(directory, f".{MANIFEST}.{token}.tmp")
    try:
        with open(temporary, "w") as out:
            json.dump(body, out, indent=1)
            out.flush()
            _sync_to_disk(out.fileno())
        os.replace(temporary, os.path.join(directory, MANIFEST))
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def _sync_to_disk(descriptor: int) -> None:
    """fsync, or on macOS F_FULLFSYNC: there fsync only hands the data to the
    drive, whose cache may lose it; a file system without it falls back."""
    full_sync = getattr(fcntl, "F_FULLFSYNC", None)
    if full_sync is not None:
        try:
            fcntl.fcntl(descriptor, full_sync)
            return
        except OSError:
            pass
    os.fsync(descriptor)


def sync_directory(directory: str) -> None:
    """Makes a rename in ``directory`` durable."""
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        _sync_to_disk(descriptor)
    finally:
        os.close(descriptor)


def listed_files(directory: str) -> list[str]:
    """The shard files that the directory's manifest names; none when there is
    no sound manifest."""
    try:
        return [file.name for file in read_manifest(directory).files]
    except (OSError, ValueError):
        return []


def _corrupt(reason: str) -> ValueError:
    return ValueError(f"corrupt sharded index: {reason}")


def _field(body: dict[str, Any], name: str, kind: type, where: str = "manifest") -> Any:
    value = body.get(name)
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise _corrupt(f"{where} has no valid {name!r}")
    return value


def read_manifest(directory: str) -> Manifest:
    """The manifest of ``directory``; ValueError("corrupt sharded index: ...")
    when it is unreadable, altered or inconsistent."""
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, "rb") as file:
            body = json.loads(file.read())
    except FileNotFoundError:
        raise FileNotFoundError(f"no sharded index in {directory}: {MANIFEST} is missing") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise _corrupt(f"{MANIFEST} is not valid JSON: {error}") from None
    if not isinstance(body, dict) or body.get("format") != _FORMAT:
        raise _corrupt(f"{MANIFEST} is not a sharded index manifest")
    if body.get("version") != _VERSION:
        raise _corrupt(f"{MANIFEST} has version {body.get('version')!r}; this hobrin_ann reads {_VERSION}")
    checksum = body.pop("checksum", None)
    if checksum != _checksum(body):
        raise _corrupt(f"{MANIFEST} does not match its checksum")
    files = []
    for shard, entry in enumerate(_field(body, "files", list)):
        where = f"shard {shard}'s entry"
        if not isinstance(entry, dict):
            raise _corrupt(f"{where} is not an object")
        name = _field(entry, "name", str, where)
        match = SHARD_FILE.fullmatch(name)
        if match is None or int(match.group(1)) != shard:
            raise _corrupt(f"{where} names an unexpected file {name!r}")
        files.append(
            ShardFile(
                name,
                _field(entry, "size", int, where),
                _field(entry, "sha256", str, where),
                _field(entry, "vectors", int, where),
            )
        )
    if not files:
        raise _corrupt(f"{MANIFEST} lists no shard files")
    # Saves made before replicas existed name none: one copy each.
    replicas = body.get("replicas", 1)
    if not isinstance(replicas, int) or isinstance(replicas, bool) or replicas < 1:
        raise _corrupt(f"manifest has no valid 'replicas': {replicas!r}")
    return Manifest(
        _field(body, "dim", int),
        _field(body, "metric", str),
        _field(body, "options", dict),
        _field(body, "next_id", int),
        files,
        replicas,
    )


def remove_files(directory: str, names: list[str]) -> None:
    for name in names:
        try:
            os.remove(os.path.join(directory, name))
        except FileNotFoundError:
            pass


def save_shards(
    directory: str,
    token: str,
    names: list[str],
    write_shards: Callable[[], list[tuple[int, str, int]]],
    manifest_of: Callable[[list[ShardFile]], Manifest],
) -> None:
    """Writes the shards' files (``write_shards``: each one's size, SHA-256
    and vector count, in the order of ``names``), then the manifest that
    lists them. Until the manifest replaces the previous one, that save
    stays whole; on any failure the new files go, and after success the
    files only the previous save listed."""
    try:
        written = write_shards()
        files = [
            ShardFile(name, size, sha256, vectors)
            for name, (size, sha256, vectors) in zip(names, written, strict=True)
        ]
        replaced = listed_files(directory)
        write_manifest(directory, manifest_of(files), token)
    except BaseException:
        remove_files(directory, names)
        raise
    sync_directory(directory)
    remove_files(directory, [name for name in replaced if name not in names])
