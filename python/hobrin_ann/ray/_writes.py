"""The two-step write over every replica of every shard: stage everywhere,
then commit everywhere only if every shard has a replica that staged.

Ctrl-C is held back for the whole write (``deferred_interrupts``): one that
comes before the commit round aborts the batch on every replica; once the
commit round has started it completes on every live replica, and the
KeyboardInterrupt is raised after it. A batch that is neither committed nor
aborted (the driver died) is aborted by each replica when its lease ends.
"""

from __future__ import annotations

import secrets
import threading
from collections.abc import Callable, Sequence
from typing import Any

import ray

from ._replicas import ReplicaSet
from ._transport import deferred_interrupts, wait_all


def lease(replicas: ReplicaSet) -> float:
    """How long a replica keeps a staged batch: twice the call timeout, as the
    driver may wait one timeout for the slowest replica's stage before it
    sends the commit to the fastest."""
    return 2 * replicas.timeout


def new_token() -> str:
    return secrets.token_hex(8)


def abort(replicas: ReplicaSet, token: str) -> None:
    """Undoes the stage ``token`` on every live replica that staged it. A
    replica still busy with its stage undoes it right after, as an actor runs
    its calls in order; one that never staged it has nothing to undo."""
    try:
        undo = [replica.actor.abort.remote(token) for replica in replicas.actors()]
        ray.wait(undo, num_returns=len(undo), timeout=replicas.timeout)
    except Exception:  # the error that made the write fail is the one to raise
        pass


def stage_and_commit(
    replicas: ReplicaSet,
    method: str,
    per_shard: Sequence[tuple[Any, ...]],
    before_commit: Callable[[], None],
) -> None:
    """Stages a write (``method`` with each shard's arguments, then the token
    and the lease) on every live replica and commits it where all shards
    have a replica that staged it; otherwise aborts it everywhere and raises
    the failure. ``before_commit`` runs just before the commit round."""
    token = new_token()
    with deferred_interrupts() as interrupted:
        try:
            calls = replicas.send_all(method, [(token, *args, lease(replicas)) for args in per_shard])
            wait_all([ref for *_, ref in calls], replicas.timeout, interrupted)
            if interrupted is not None and interrupted.is_set():
                abort(replicas, token)
                return  # the interrupt is raised as the block ends
            error = replicas.settle(calls, replicas.outcomes(calls, 0, replicas.timeout))
        except BaseException:  # a row Ray cannot send, ...
            abort(replicas, token)
            raise
        if error is not None:
            abort(replicas, token)
            raise error
        commit(replicas, token, before_commit, interrupted)


def commit(
    replicas: ReplicaSet,
    token: str,
    before_commit: Callable[[], None],
    interrupted: threading.Event | None,
) -> None:
    """The commit round of ``token``, after ``before_commit``; a replica that
    cannot commit (dead, or its lease ran out) is dropped. Called with
    interrupts held back; one received before the round aborts instead."""
    if interrupted is not None and interrupted.is_set():
        abort(replicas, token)
        return
    before_commit()
    calls = replicas.send_all("commit", [(token,)] * len(replicas))
    error = replicas.settle(calls, replicas.outcomes(calls, replicas.timeout), committing=True)
    if error is not None:
        raise error
