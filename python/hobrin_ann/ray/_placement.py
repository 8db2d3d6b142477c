"""Where replicas go: one actor per replica, each on a node chosen here by
what the nodes hold, the replicas of a shard on different nodes, and a start
that fails at once when the nodes cannot hold them, or within the placement
timeout when Ray still cannot place one, naming what it asked for and what
each node has free."""

from __future__ import annotations

import math
from collections.abc import Collection, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import ray
import ray._private.state
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from .. import Index
from . import _transport
from ._shard import Shard
from ._transport import ShardError

_RemoteShard = ray.remote(Shard)

# What one shard's process needs beyond its index: the interpreter, numpy and
# Ray's worker runtime.
_WORKER_BYTES = 256 << 20


def shard_bytes(dim: int, options: dict[str, Any], vectors: int) -> int:
    """Memory to ask Ray for a replica of ``vectors`` vectors: what its index
    holds (``Index.estimate_nbytes``), a fifth more for growth and metadata,
    and the worker process."""
    # A capacity beyond any index still gets an answer, which the cluster refuses.
    index = Index.estimate_nbytes(
        dim,
        min(vectors, 2**63 - 1),
        dtype=options["dtype"],
        m=options["m"],
        quantization=options.get("quantization"),
        keep_vectors=options.get("keep_vectors", True),
    )
    return _WORKER_BYTES + int(index * 1.2)


# Ray counts CPUs in ten-thousandths (a request of 2/3 of a CPU is 0.6667):
# requests and what nodes hold are compared in those units, as its scheduler
# compares them.
_UNITS = 10_000


def _units(cpus: float) -> int:
    return round(cpus * _UNITS)


@dataclass(frozen=True)
class Request:
    """What one replica asks of the node that holds it."""

    cpus: float
    memory: int

    @property
    def units(self) -> int:
        """The CPUs asked for, in Ray's units (at least one)."""
        return max(1, _units(self.cpus))

    def describe(self) -> str:
        return f"{self.cpus:g} CPUs and {self.memory / 2**30:.2f} GiB of memory"


@dataclass
class Replica:
    """One actor holding a copy of a shard, where it runs, and what it holds
    there."""

    actor: Any
    node: str
    pid: int
    request: Request


@dataclass(frozen=True)
class Node:
    """A live node of the Ray cluster: what it has and what is free on it now."""

    id: str
    cpus: float
    memory: float
    free_cpus: float
    free_memory: float

    def free(self) -> str:
        return (
            f"{self.free_cpus:g} of {self.cpus:g} CPUs and "
            f"{self.free_memory / 2**30:.2f} of {self.memory / 2**30:.2f} GiB free"
        )

    def describe(self) -> str:
        return f"node {self.id[:8]} has {self.free()}"


def cluster_resources() -> dict[str, float]:
    return ray.cluster_resources()  # type: ignore[no-untyped-call,no-any-return]


def free_resources() -> str:
    free = ray.available_resources()  # type: ignore[no-untyped-call]
    return f"{free.get('CPU', 0.0):g} CPUs and {free.get('memory', 0.0) / 2**30:.2f} GiB free"


def _free_per_node() -> dict[str, dict[str, float]] | None:
    """The resources free on each node, as Ray's available_resources() sums
    them; None where this Ray cannot tell them apart (an older Ray, or a
    driver that reaches the cluster through Ray Client, which does not
    forward this call)."""
    per_node = getattr(ray._private.state, "available_resources_per_node", None)
    if per_node is None:
        return None
    try:
        return per_node()  # type: ignore[no-any-return]
    except Exception:
        return None


def live_nodes() -> list[Node]:
    """Every live node, by id. A node whose free resources are not known yet
    (it has just joined) counts as holding nothing."""
    free = _free_per_node()
    nodes = []
    for node in ray.nodes():  # type: ignore[no-untyped-call]
        if not node.get("Alive"):
            continue
        total = node.get("Resources", {})
        cpus, memory = total.get("CPU", 0.0), total.get("memory", math.inf)
        now = None if free is None else free.get(node["NodeID"])
        if now is None:
            free_cpus, free_memory = cpus, memory
        else:
            # Ray leaves out the resources of which none is free.
            free_cpus, free_memory = (
                now.get("CPU", 0.0),
                now.get("memory", 0.0 if memory < math.inf else memory),
            )
        nodes.append(Node(node["NodeID"], cpus, memory, free_cpus, free_memory))
    return sorted(nodes, key=lambda node: node.id)


def describe_nodes(nodes: Iterable[Node]) -> str:
    return "; ".join(node.describe() for node in nodes) or "no node is alive"


def _slots(cpus: int, memory: float, request: Request) -> float:
    """How many replicas asking ``request`` fit in ``cpus`` (Ray's units) and
    ``memory`` bytes."""
    by_memory = memory // request.memory if memory < math.inf else math.inf
    return min(cpus // request.units, by_memory)


def pack(
    requests: Sequence[Request],
    wanted: Sequence[int],
    holders: Sequence[Collection[str]],
    room: Mapping[str, tuple[float, float]],
) -> list[list[str]]:
    """For each shard, up to ``wanted[shard]`` nodes for new replicas asking
    ``requests[shard]`` each, out of ``room`` (node id: the CPUs and memory it
    can give): distinct nodes, none of ``holders[shard]`` (which hold one of
    its replicas already), and no node given more than its room. The shards
    asking the most go first; each takes the nodes with room for the most more
    replicas like its own (then the most CPUs left, then by id), so that small
    nodes fill last. When the requests are alike this places every replica
    whenever any placement could. A shard for which too few nodes are left
    gets what there is."""
    left = {node: (_units(cpus), memory) for node, (cpus, memory) in room.items()}
    chosen: list[list[str]] = [[] for _ in requests]
    order = sorted(range(len(requests)), key=lambda s: (-requests[s].memory, -requests[s].cpus, s))
    for shard in order:
        request = requests[shard]
        slots = {node: _slots(*left[node], request) for node in left if node not in holders[shard]}
        fitting = sorted(
            (node for node in slots if slots[node] >= 1), key=lambda n: (-slots[n], -left[n][0], n)
        )
        for node in fitting[: wanted[shard]]:
            cpus, memory = left[node]
            left[node] = (cpus - request.units, memory - request.memory)
            chosen[shard].append(node)
    return chosen


def _placed(chosen: list[list[str]]) -> int:
    return sum(len(picked) for picked in chosen)


def assign(
    nodes: Sequence[Node],
    requests: Sequence[Request],
    wanted: Sequence[int],
    holders: Sequence[Collection[str]],
    own: Iterable[Replica] = (),
) -> list[list[str]]:
    """Nodes for new replicas, as ``pack`` chooses them, packed by what each
    node has free now. Where that cannot place them all, they are packed by
    what each node would have free if only this index's replicas (``own``)
    held anything there: Ray then waits for what others hold (a task, another
    index) to be freed, as long as the placement timeout allows. Of the two,
    the packing that places more replicas is taken."""
    free = pack(requests, wanted, holders, {node.id: (node.free_cpus, node.free_memory) for node in nodes})
    if _placed(free) == sum(wanted):
        return free
    cpus: dict[str, float] = {}
    memory: dict[str, float] = {}
    for replica in own:
        cpus[replica.node] = cpus.get(replica.node, 0.0) + replica.request.cpus
        memory[replica.node] = memory.get(replica.node, 0.0) + replica.request.memory
    room = {
        node.id: (node.cpus - cpus.get(node.id, 0.0), node.memory - memory.get(node.id, 0.0))
        for node in nodes
    }
    packed = pack(requests, wanted, holders, room)
    return packed if _placed(packed) > _placed(free) else free


def place(nodes: Sequence[Node], requests: Sequence[Request], replicas: int) -> tuple[list[int], list[str]]:
    """Where the replicas of new shards (``requests[shard]`` each) go on
    ``nodes``: the shard of each replica to start, and its node. Raises
    ShardError at once, naming what each node has free, when the nodes could
    not hold them all even with nothing else on them."""
    largest = max(range(len(requests)), key=lambda shard: requests[shard].memory)
    fitting = sum(1 for node in nodes if _slots(_units(node.cpus), node.memory, requests[largest]) >= 1)
    if fitting < replicas:
        raise ShardError(
            largest,
            f"cannot be placed: each of its {replicas} replicas needs a node of its own with "
            f"{requests[largest].describe()}, and {fitting} node(s) of the Ray cluster have that much "
            f"({describe_nodes(nodes)})",
        )
    chosen = assign(nodes, requests, [replicas] * len(requests), [()] * len(requests))
    for shard, picked in enumerate(chosen):
        if len(picked) < replicas:
            alike = all(request == requests[largest] for request in requests)
            raise ShardError(
                shard,
                f"cannot be placed: {len(requests)} shard(s) of {replicas} replica(s), each replica asking "
                f"{'' if alike else 'up to '}{requests[largest].describe()} and those of a shard on "
                f"distinct nodes, do not fit on the nodes of the Ray cluster ({describe_nodes(nodes)})",
            )
    return [shard for shard, picked in enumerate(chosen) for _ in picked], [
        node for picked in chosen for node in picked
    ]


def default_cpus(nodes: Sequence[Node], memory: Sequence[int], replicas: int) -> float:
    """The CPUs each replica asks for unless told: the largest share of a
    node's CPUs (its CPUs divided by a whole number, in Ray's units) at which
    ``replicas`` replicas of each of ``len(memory)`` shards (asking the
    largest of ``memory`` each) fit on ``nodes`` with nothing else on them,
    those of a shard on distinct nodes. Where no share fits (fewer nodes
    than ``replicas`` hold one, which placement then reports), the nodes'
    CPUs shared evenly over all replicas."""
    shards = len(memory)
    request_memory = max(memory)

    def fits(units: int) -> bool:
        # Replicas alike fit iff the nodes have places for all of them,
        # counting at most one place per shard on each node.
        request = Request(units / _UNITS, request_memory)
        places = sum(min(shards, _slots(_units(node.cpus), node.memory, request)) for node in nodes)
        return places >= shards * replicas

    # A smaller share never fits fewer replicas: the largest share that fits
    # is found by halving the sorted candidates.
    candidates = sorted({_units(node.cpus) // k for node in nodes for k in range(1, shards + 1)} - {0})
    low, high = 0, len(candidates)
    while low < high:
        middle = (low + high) // 2
        if fits(candidates[middle]):
            low = middle + 1
        else:
            high = middle
    if low:
        return candidates[low - 1] / _UNITS
    return (sum(node.cpus for node in nodes) or 1.0) / (shards * replicas)


def start(
    requests: Sequence[Request],
    shards: Sequence[int],
    nodes: Sequence[str],
    threads: int,
    placement_timeout: float,
) -> list[Replica]:
    """Starts one actor per item (shard ``shards[i]`` asking ``requests[i]``,
    on node ``nodes[i]``) and waits until every one runs. Raises ShardError
    when one cannot be placed within ``placement_timeout`` seconds or dies at
    start; nothing started stays."""
    actors: list[Any] = []
    try:
        for request, node in zip(requests, nodes, strict=True):
            actors.append(
                _RemoteShard.options(
                    num_cpus=request.cpus,
                    memory=request.memory,
                    scheduling_strategy=NodeAffinitySchedulingStrategy(node, soft=False),
                ).remote(threads)
            )
        refs = [actor.ready.remote() for actor in actors]
        answers = _transport.outcomes(refs, shards, placement_timeout)
        for answer, request, shard, node in zip(answers, requests, shards, nodes, strict=True):
            if isinstance(answer, _transport.ReplicaLost) and answer.late:
                now = {live.id: live for live in live_nodes()}.get(node)
                where = "which is gone" if now is None else f"which has {now.free()}"
                raise ShardError(
                    shard,
                    f"could not be placed within {placement_timeout:g} s: it asks for "
                    f"{request.describe()} on node {node[:8]}, {where}; "
                    f"the Ray cluster has {free_resources()}",
                )
            if isinstance(answer, BaseException):
                raise ShardError(shard, f"could not start: {answer}")
    except BaseException:
        for actor in actors:
            ray.kill(actor)
        raise
    return [
        Replica(actor, node, pid, request)
        for actor, (pid, node), request in zip(actors, answers, requests, strict=True)
    ]
