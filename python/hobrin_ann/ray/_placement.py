"""Where replicas go: one actor per replica, the replicas of a shard on
different nodes, and a start that fails within the placement timeout, naming
what it asked for and what the cluster has free."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import ray
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from . import _transport
from ._shard import Shard
from ._transport import ShardError

_RemoteShard = ray.remote(Shard)


@dataclass
class Replica:
    """One actor holding a copy of a shard, and where it runs."""

    actor: Any
    node: str
    pid: int


@dataclass(frozen=True)
class Request:
    """What one replica asks of the node that holds it."""

    cpus: float
    memory: int

    def describe(self) -> str:
        return f"{self.cpus:g} CPUs and {self.memory / 2**30:.2f} GiB of memory"


def cluster_resources() -> dict[str, float]:
    return ray.cluster_resources()  # type: ignore[no-untyped-call,no-any-return]


def free_resources() -> str:
    free = ray.available_resources()  # type: ignore[no-untyped-call]
    return f"{free.get('CPU', 0.0):g} CPUs and {free.get('memory', 0.0) / 2**30:.2f} GiB free"


def fitting_nodes(request: Request) -> list[str]:
    """The live nodes whose whole resources could hold one replica."""
    nodes = []
    for node in ray.nodes():  # type: ignore[no-untyped-call]
        resources = node.get("Resources", {})
        if (
            node.get("Alive")
            and resources.get("CPU", 0.0) >= request.cpus
            and resources.get("memory", math.inf) >= request.memory
        ):
            nodes.append(node["NodeID"])
    return nodes


def choose_nodes(
    request: Request, holders: Sequence[set[str]], wanted: Sequence[int], load: Counter[str]
) -> list[list[str]]:
    """For each shard, ``wanted[shard]`` nodes that fit the request and hold
    none of its replicas yet (``holders[shard]``), the least loaded first
    (``load``: replicas of this index per node, updated as nodes are chosen).
    A shard for which too few nodes are left gets what there is."""
    nodes = fitting_nodes(request)
    chosen = []
    for shard, count in enumerate(wanted):
        free = sorted((n for n in nodes if n not in holders[shard]), key=lambda n: (load[n], n))
        picked = free[:count]
        load.update(picked)
        chosen.append(picked)
    return chosen


def spread(requests: Sequence[Request], replicas: int) -> tuple[list[int], list[str | None]]:
    """Where the replicas of new shards (``requests[shard]`` each) go: the
    shard of each replica to start, and its node, or None to leave the
    choice to Ray's spread scheduling, which knows where room is free (one
    replica per shard). Several replicas of a shard go to distinct nodes;
    ShardError when the cluster has too few nodes that can hold them."""
    largest = max(requests, key=lambda request: request.memory)
    fitting = len(fitting_nodes(largest))
    if fitting < replicas:
        raise ShardError(
            max(range(len(requests)), key=lambda shard: requests[shard].memory),
            f"cannot be placed: each of its {replicas} replicas needs a node of its own with "
            f"{largest.describe()}, and {fitting} node(s) of the Ray cluster have that much",
        )
    if replicas == 1:
        return list(range(len(requests))), [None] * len(requests)
    holders: list[set[str]] = [set() for _ in requests]
    chosen = choose_nodes(largest, holders, [replicas] * len(requests), Counter())
    return [shard for shard in range(len(requests)) for _ in range(replicas)], [
        node for picked in chosen for node in picked
    ]


def start(
    requests: Sequence[Request],
    shards: Sequence[int],
    nodes: Sequence[str | None],
    threads: int,
    placement_timeout: float,
) -> list[Replica]:
    """Starts one actor per item (shard ``shards[i]`` asking ``requests[i]``,
    on node ``nodes[i]``, or where Ray's spread puts it for None) and waits
    until every one runs. Raises ShardError when one cannot be placed within
    ``placement_timeout`` seconds or dies at start; nothing started stays."""
    actors: list[Any] = []
    try:
        for request, node in zip(requests, nodes, strict=True):
            strategy: Any = "SPREAD" if node is None else NodeAffinitySchedulingStrategy(node, soft=False)
            actors.append(
                _RemoteShard.options(
                    num_cpus=request.cpus, memory=request.memory, scheduling_strategy=strategy
                ).remote(threads)
            )
        refs = [actor.ready.remote() for actor in actors]
        answers = _transport.outcomes(refs, shards, placement_timeout)
        for answer, request, shard in zip(answers, requests, shards, strict=True):
            if isinstance(answer, _transport.ReplicaLost) and answer.late:
                raise ShardError(
                    shard,
                    f"could not be placed within {placement_timeout:g} s: it asks for "
                    f"{request.describe()} on one node; the Ray cluster has {free_resources()}",
                )
            if isinstance(answer, BaseException):
                raise ShardError(shard, f"could not start: {answer}")
    except BaseException:
        for actor in actors:
            ray.kill(actor)
        raise
    return [Replica(actor, node, pid) for actor, (pid, node) in zip(actors, answers, strict=True)]
