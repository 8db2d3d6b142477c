"""Shards of ``hobrin_ann.Index`` on Ray actors: ``ShardedIndex`` holds an
index too large for one process or one machine, with replicas of each shard
on different nodes. Needs Ray, an optional
dependency: ``pip install 'hobrin[ray]'``."""

try:
    import ray  # noqa: F401
except ImportError as error:
    raise ImportError(
        "hobrin_ann.ray needs Ray, which is not installed: pip install 'hobrin[ray]' (or pip install ray)"
    ) from error

from ._routing import shard_of
from ._sharded import ShardedIndex
from ._transport import ShardError

__all__ = ["ShardError", "ShardedIndex", "shard_of"]
