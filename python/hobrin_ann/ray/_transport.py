"""Calls to shard actors with a time limit: each call's answer, the exception
its index raised, or a ShardError when the actor is gone or silent."""

from __future__ import annotations

import signal
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import ray
import ray.exceptions

# Why a call that timed out failed; formatted with the timeout.
LATE = "did not answer within {timeout:g} s"


class ShardError(RuntimeError):
    """A shard cannot serve: the actors of its replicas died, could not be
    placed, or did not answer in time. While one replica of every shard lives
    the index goes on serving (``heal()`` replaces the lost ones); a shard with
    no replica left serves again only once the last save is loaded."""

    def __init__(self, shard: int, reason: str) -> None:
        super().__init__(f"shard {shard} {reason}")
        self.shard = shard
        self.reason = reason


class ReplicaLost(ShardError):
    """One actor of a shard failed (died, timed out, or lost a batch it had
    staged): the caller drops it and, where another replica lives, goes on."""

    def __init__(self, shard: int, reason: str, *, late: bool = False) -> None:
        super().__init__(shard, reason)
        self.late = late


def last_line(error: BaseException) -> str:
    """The last line of Ray's message, which says why; Ray's own are long."""
    text = str(error).strip()
    return text.splitlines()[-1] if text else type(error).__name__


def outcomes(
    refs: Sequence[Any], shards: Sequence[int], timeout: float, waited: float | None = None
) -> list[Any]:
    """The answer of each call in ``refs`` (made to shard ``shards[i]``), or
    the exception it raised: its index's own error, or ReplicaLost when the
    actor is gone, failed in Ray, or did not answer within ``timeout`` (or
    ``waited``, the time already waited for it, when that is given)."""
    _ready, pending = ray.wait(list(refs), num_returns=len(refs), timeout=timeout)
    waiting = set(pending)
    answers: list[Any] = []
    for shard, ref in zip(shards, refs, strict=True):
        if ref in waiting:
            told = timeout if waited is None else waited
            answers.append(ReplicaLost(shard, LATE.format(timeout=told), late=True))
            continue
        try:
            answers.append(ray.get(ref))
        except ray.exceptions.RayTaskError as error:
            cause = error.cause
            answers.append(cause if isinstance(cause, Exception) else error)
        except ray.exceptions.RayActorError as error:
            answers.append(ReplicaLost(shard, f"is unavailable: its actor died ({last_line(error)})"))
        except ray.exceptions.RayError as error:  # a lost object, Ray's memory monitor, ...
            answers.append(ReplicaLost(shard, f"failed in Ray: {last_line(error)}"))
    return answers


def wait_all(refs: Sequence[Any], timeout: float, interrupted: threading.Event | None) -> None:
    """Waits up to ``timeout`` for every call in ``refs``, in short slices, so
    that an interrupt recorded in ``interrupted`` ends the wait early."""
    end = time.monotonic() + timeout
    pending = list(refs)
    while pending:
        left = end - time.monotonic()
        if left <= 0 or (interrupted is not None and interrupted.is_set()):
            return
        _ready, pending = ray.wait(pending, num_returns=len(pending), timeout=min(left, 0.05))


@contextmanager
def deferred_interrupts() -> Iterator[threading.Event | None]:
    """Holds back Ctrl-C (SIGINT) for the block: the signal only sets the
    event yielded, which the block reads at the points where stopping is
    safe, and the interrupt is delivered as it would have been once the block
    has ended. Off the main thread (where Python delivers no signal) it
    yields None and changes nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield None
        return
    received = threading.Event()
    frames: list[Any] = []

    def hold(signum: int, frame: Any) -> None:
        frames.append(frame)
        received.set()

    previous = signal.signal(signal.SIGINT, hold)
    try:
        yield received
    finally:
        signal.signal(signal.SIGINT, previous)
        if received.is_set():  # delivered now, over any error of the block
            if callable(previous):
                previous(signal.SIGINT, frames[0])
            elif previous == signal.SIG_DFL:
                signal.raise_signal(signal.SIGINT)
