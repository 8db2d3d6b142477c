"""The live replicas of every shard: which one answers a read, what a write
to all of them came to, and the dropping of a replica that failed, so that
none serves after it missed a write."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import ray

from ._placement import Replica
from ._shard import StageExpired
from ._transport import ReplicaLost, ShardError, outcomes

# One call made to one replica: (shard, replica, object reference).
Call = tuple[int, Replica, Any]


class ReplicaSet:
    def __init__(self, groups: list[list[Replica]], timeout: float) -> None:
        self.groups = groups
        self.timeout = timeout
        self._turn = [0] * len(groups)
        # Why each shard last lost a replica, for the error once none is left.
        self._lost: list[str] = ["all its replicas were dropped"] * len(groups)

    def __len__(self) -> int:
        return len(self.groups)

    def actors(self) -> list[Replica]:
        return [replica for group in self.groups for replica in group]

    def unavailable(self, shard: int) -> ShardError:
        return ShardError(shard, f"is unavailable: no live replica is left ({self._lost[shard]})")

    def drop(self, shard: int, replica: Replica, reason: str) -> None:
        """Takes ``replica`` out of service and stops its actor."""
        group = self.groups[shard]
        if replica in group:
            group.remove(replica)
            self._lost[shard] = reason
            try:
                ray.kill(replica.actor)
            except Exception:  # already gone with its node
                pass

    def pick(self, shard: int) -> Replica:
        """The next live replica of ``shard`` in turn."""
        group = self.groups[shard]
        if not group:
            raise self.unavailable(shard)
        self._turn[shard] += 1
        return group[self._turn[shard] % len(group)]

    def read(self, method: str, per_shard: Sequence[tuple[Any, ...]]) -> list[Any]:
        """Each shard's answer to ``method`` from one of its replicas. A replica
        that died or was late is dropped and the shard asked again through
        another; only a shard that has no replica left fails the call (a late
        last replica is kept, as it may only be slow)."""
        answers: list[Any] = [None] * len(self.groups)
        todo = list(range(len(self.groups)))
        while todo:
            picks = [(shard, self.pick(shard)) for shard in todo]
            refs = [getattr(replica.actor, method).remote(*per_shard[shard]) for shard, replica in picks]
            todo = []
            for (shard, replica), answer in zip(
                picks, outcomes(refs, [shard for shard, _ in picks], self.timeout), strict=True
            ):
                if isinstance(answer, ReplicaLost):
                    if answer.late and len(self.groups[shard]) == 1:
                        raise ShardError(shard, answer.reason)
                    self.drop(shard, replica, answer.reason)
                    if not self.groups[shard]:
                        raise ShardError(shard, answer.reason)
                    todo.append(shard)
                elif isinstance(answer, BaseException):
                    raise answer
                else:
                    answers[shard] = answer
        return answers

    def fill(self, shards: list[int], made: list[Replica]) -> None:
        """Fills each new replica (of shard ``shards[i]``) from a copy of a live
        one of its shard, sent between the actors rather than through the
        driver, and puts it in service; on any failure the new ones stop."""
        self.admit(
            shards, made, lambda shard, actor: actor.restore.remote(self.pick(shard).actor.dump.remote())
        )

    def admit(self, shards: list[int], made: list[Replica], first_call: Callable[[int, Any], Any]) -> None:
        """Makes ``first_call(shard, actor)`` on each new replica (of shard
        ``shards[i]``) and, once every one has answered, puts them in service;
        on any failure every new one is stopped."""
        try:
            refs = [first_call(shard, replica.actor) for shard, replica in zip(shards, made, strict=True)]
            for answer in outcomes(refs, shards, self.timeout):
                if isinstance(answer, BaseException):
                    raise answer
        except BaseException:
            for replica in made:
                ray.kill(replica.actor)
            raise
        for shard, replica in zip(shards, made, strict=True):
            self.groups[shard].append(replica)

    def send_all(self, method: str, per_shard: Sequence[tuple[Any, ...]]) -> list[Call]:
        """Calls ``method`` on every live replica of every shard."""
        for shard, group in enumerate(self.groups):
            if not group:
                raise self.unavailable(shard)
        return [
            (shard, replica, getattr(replica.actor, method).remote(*per_shard[shard]))
            for shard, group in enumerate(self.groups)
            for replica in list(group)
        ]

    def write_all(self, method: str, per_shard: Sequence[tuple[Any, ...]]) -> None:
        """A write that needs no second step (a rebuild): every live replica
        makes it; one that fails where another succeeded is dropped."""
        calls = self.send_all(method, per_shard)
        error = self.settle(calls, self.outcomes(calls, self.timeout))
        if error is not None:
            raise error

    def outcomes(self, calls: list[Call], timeout: float, waited: float | None = None) -> list[Any]:
        return outcomes([ref for *_, ref in calls], [shard for shard, *_ in calls], timeout, waited)

    def settle(
        self, calls: list[Call], answers: list[Any], *, committing: bool = False
    ) -> BaseException | None:
        """What a write to every replica came to: the first error an index
        raised (every replica raises the same, so none is dropped), else a
        ShardError for a shard on which no replica succeeded, else None.
        Replicas that failed where another of their shard succeeded are
        dropped: they missed the write.

        In a commit round (``committing``) the replicas had all accepted the
        write at its stage, so an index that raises now (out of memory) is a
        replica that missed it like one that died: it is dropped where
        another of its shard committed, and kept, unchanged, where none did
        (its error is raised then)."""
        if not committing:
            for answer in answers:
                if isinstance(answer, BaseException) and not _failed(answer):
                    return answer
        succeeded = {
            shard
            for (shard, *_), answer in zip(calls, answers, strict=True)
            if not isinstance(answer, BaseException)
        }
        error: BaseException | None = None
        for (shard, replica, _ref), answer in zip(calls, answers, strict=True):
            if not isinstance(answer, BaseException):
                continue
            if not _failed(answer):  # an index's error in a commit round
                if shard in succeeded:
                    self.drop(shard, replica, f"failed to commit a write its shard made: {answer!r}")
                elif error is None:
                    error = answer
                continue
            reason = answer.reason if isinstance(answer, ReplicaLost) else f"lost a staged batch: {answer}"
            late = isinstance(answer, ReplicaLost) and answer.late
            if shard in succeeded or not late:
                self.drop(shard, replica, reason)
            if shard not in succeeded and error is None:
                error = ShardError(shard, reason)
        return error


def _failed(answer: Any) -> bool:
    return isinstance(answer, (ReplicaLost, StageExpired))
