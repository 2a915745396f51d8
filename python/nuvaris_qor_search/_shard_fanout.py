"""Calls on every shard actor at once: over the direct connections for queries, through Ray for the
rest, with the bookkeeping that turns a dead, restarted or unreachable shard into a ShardError.

Every reply carries the generation of the actor that sent it; one that differs
from the generation the driver knows marks the shard stale, and every later
call raises ShardRestartedError until the router reloads or accepts restarts.
"""

from __future__ import annotations

import threading
import time
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import ray
import ray.exceptions

from . import _channel
from ._shard_actor import DIRECT, columns_of, first_line, pack
from ._shard_errors import ShardError, ShardRestartedError, first_failure
from ._shard_merge import merge, rerank_picks

# Query batches at least this large go to the object store once rather than inline to every shard.
_SHARE_BYTES = 64 << 10
# How long a broken connection's shard gets to answer Ray before it counts as restarted.
_PROBE_SECONDS = 30.0
_RAY_FAILURES = (ray.exceptions.RayTaskError, ray.exceptions.RayActorError)


class FanOut:
    """The shard actors of one router, their generations and the direct connections to them."""

    def __init__(self, actors: list[Any], token: str, *, direct: bool, max_frame: int, start_timeout: float) -> None:
        self.actors = actors
        self.n_shards = len(actors)
        self.generations = [0] * self.n_shards
        self.stale: dict[int, str] = {}
        self.closed = False
        self.start_timeout = start_timeout
        self.direct = direct
        self.links: list[_channel.Link | None] = [None] * self.n_shards
        self.addresses: list[tuple[str, int]] = []
        self._token = token
        self._max_frame = max_frame
        self._lock = threading.Lock()  # one exchange at a time on the direct connections

    def wait_started(self) -> list[dict[str, Any]]:
        """Every shard's status once it is up, so that unplaceable shards fail here and not in a later call."""
        timeout = self.start_timeout
        refs = {self.actors[i].status.remote(): i for i in range(self.n_shards)}
        ready, waiting = ray.wait(list(refs), num_returns=len(refs), timeout=timeout)
        failure: ShardError | None = None
        if waiting:
            i = min(refs[r] for r in waiting)
            failure = ShardError(
                i,
                "StartTimeout",
                f"not started within {timeout:g} s; the cluster may lack the CPUs or resources asked for",
            )
        statuses = {}
        for ref in ready:
            result = statuses[refs[ref]] = self.result(refs[ref], ref)
            if isinstance(result, ShardError) and (failure is None or result.shard < failure.shard):
                failure = result
        if failure is not None:
            raise failure
        return [statuses[i] for i in range(self.n_shards)]

    def accept(self, generations: list[int]) -> None:
        """Take the shards' actors as they are now (reconnect with `connect_all`)."""
        self.generations = list(generations)
        self.stale.clear()

    def close(self) -> None:
        """Drop the connections, let every actor close, then stop them for good."""
        self.closed = True
        with self._lock:
            self._drop(range(self.n_shards))
        closing = [actor.close.remote() for actor in self.actors]
        ray.wait(closing, num_returns=len(closing), timeout=30)  # a dead actor has nothing left to close
        for actor in self.actors:
            ray.kill(actor, no_restart=True)

    # -- direct connections ---------------------------------------------------

    def connect_all(self, statuses: list[dict[str, Any]]) -> None:
        """(Re)connect to every shard at the address its status gives (restarted actors listen on new
        ports), or fall back to Ray calls for good when one cannot be reached."""
        with self._lock:
            self._drop(range(self.n_shards))
            self.addresses = [tuple(st["address"]) for st in statuses]
            for i in range(self.n_shards if self.direct else 0):
                try:
                    self._link(i)
                except _channel.LINK_ERRORS as err:
                    warnings.warn(
                        f"shard {i} cannot be reached directly at {self.addresses[i]} ({err}); "
                        "queries go through Ray calls",
                        RuntimeWarning,
                        stacklevel=3,
                    )
                    self.direct = False
                    self._drop(range(self.n_shards))
                    return

    def _link(self, shard: int) -> _channel.Link:
        """The open connection to `shard`, made when there is none."""
        link = self.links[shard]
        if link is None:
            link = self.links[shard] = _channel.Link(self.addresses[shard], self._token, timeout=10.0)
        return link

    def _drop(self, shards: Iterable[int]) -> None:
        for i in shards:
            link, self.links[i] = self.links[i], None
            if link is not None:
                link.close()

    def _exchange(self, shards: Sequence[int], requests: list[tuple[bytes, list[bytes]]]) -> list[Any]:
        """Send every shard its request (see `_channel.request`) over the direct connections, then read
        the replies: each shard's (columns, seconds), or the ShardError for its failure."""
        calls = list(zip(shards, requests, strict=True))
        replies: dict[int, Any] = {}
        broken: dict[int, BaseException] = {}
        sent: dict[int, _channel.Link] = {}
        with self._lock:
            try:
                for i, (header, parts) in calls:
                    try:
                        sent[i] = self._link(i)
                        sent[i].send(header, parts)
                    except _channel.LINK_ERRORS as err:
                        broken[i] = err
                for i, _ in calls:
                    if i not in broken:
                        try:
                            replies[i] = sent[i].recv()
                        except _channel.LINK_ERRORS as err:
                            broken[i] = err
            except BaseException:  # interrupted: replies still on their way must not meet the next request
                self._drop(i for i, _ in calls)
                raise
            for i, request in calls:
                if i in broken:
                    self._drop([i])
                    replies[i] = self._recover(i, request, broken[i])
        return [self._answer(i, replies[i]) for i, _ in calls]

    def _recover(self, shard: int, request: tuple[bytes, list[bytes]], err: BaseException) -> Any:
        """After a broken connection: ask Ray whether the actor is the one we knew. If it died or
        restarted, that is the failure; if it is, only the connection broke: resend once on a new one."""
        status = self.result(shard, self.actors[shard].status.remote(), timeout=_PROBE_SECONDS)
        if isinstance(status, ShardError):
            return status
        self.addresses[shard] = tuple(status["address"])
        try:
            link = self._link(shard)
            link.send(*request)
            return link.recv()
        except _channel.LINK_ERRORS as again:
            self._drop([shard])
            return ShardError(shard, type(again).__name__, f"the direct connection failed twice: {err}; {again}")

    def _answer(self, shard: int, reply: Any) -> Any:
        """A direct reply as the Ray path's (columns, seconds), or the ShardError it carries."""
        if isinstance(reply, ShardError):
            return reply
        header, parts = reply
        value = ShardError(shard, *header["error"]) if "error" in header else (tuple(parts), header["seconds"])
        return self.checked(shard, header["generation"], value)

    # -- queries --------------------------------------------------------------

    def route(self, queries: list[np.ndarray], n_probes: int, max_candidates: int) -> list[list[tuple[int, float]]]:
        """Each query's candidates over all shards, merged and cut at `max_candidates`: one call per shard."""
        answers = self.call("route", self.shared(pack(queries)), n_probes, max_candidates)
        return merge([columns_of(a[0]) for a in answers], max_candidates)

    def search(
        self, queries: list[np.ndarray], k: int, n_probes: int, candidates: int
    ) -> list[list[tuple[int, float]]]:
        """Each query's exact top-k among its merged best `candidates`: one routing call per shard, then
        one reranking call per shard that holds some of them (a single shard does both in one call)."""
        packed = self.shared(pack(queries))
        if self.n_shards == 1:
            return merge([columns_of(a[0]) for a in self.call("search", packed, k, n_probes, candidates)], k)
        parts = [columns_of(a[0]) for a in self.call("route", packed, n_probes, candidates, True)]
        picks = rerank_picks(parts, candidates) if k > 0 else {}
        if not picks:
            return [[] for _ in queries]
        each = [(indices.tobytes(), counts.tobytes()) for indices, counts in picks.values()]
        return merge([columns_of(a[0]) for a in self.call("rerank", packed, k, shards=list(picks), each=each)], k)

    def search_codes(
        self, queries: list[np.ndarray], k: int, counts: tuple[int | None, ...]
    ) -> list[list[tuple[int, float]]]:
        """Each query's top-k over all shards, each shard running its own search on its token codes with
        `counts` (n_probes, candidates, probe, rerank, shortlist; None: that shard's defaults): one call
        per shard,
        the shards' top-k merged by score."""
        answers = self.call("search_codes", self.shared(pack(queries)), k, *counts)
        return merge([columns_of(a[0]) for a in answers], k)

    # -- calls --------------------------------------------------------------

    def check(self) -> None:
        """Refuse calls on a closed router or one with a shard that restarted unnoticed by the caller."""
        if self.closed:
            raise RuntimeError("the sharded router is closed")
        if self.stale:
            i = min(self.stale)
            raise ShardRestartedError(
                i, "ShardRestarted", self.stale[i] + "; call reload() or accept_restarts() before using the router"
            )

    def fail(self, shard: int, err: BaseException) -> ShardError:
        """The ShardError for a failed Ray call; a dead actor also marks the shard stale."""
        if isinstance(err, ray.exceptions.RayTaskError):
            cause = err.cause if err.cause is not None else err
            return ShardError(shard, type(cause).__name__, first_line(cause))
        if isinstance(err, ray.exceptions.RayActorError) and err.actor_init_failed:
            # The actor's constructor raised (a shard directory it cannot load, say), so Ray does not
            # restart it. Ray passes on only the text of the traceback; its last line, the exception
            # and its message, is shown as it stands.
            lines = [line.strip() for line in str(err).splitlines() if line.strip()]
            message = lines[-1] if lines else "the actor could not start"
            self.stale[shard] = f"the actor could not start ({message})"
            return ShardError(shard, "ActorStartError", message)
        if isinstance(err, (ray.exceptions.RayActorError, ray.exceptions.GetTimeoutError)):
            self.stale[shard] = f"the actor process died ({type(err).__name__}); it restarts from its last save"
            return ShardRestartedError(
                shard, type(err).__name__, "the actor process died; it restarts from its last save; "
                "call reload() or accept_restarts() before using the router"
            )
        return ShardError(shard, type(err).__name__, str(err))

    def result(self, shard: int, ref: ray.ObjectRef[Any], timeout: float | None = None) -> Any:
        """One shard's answer, or the ShardError for its failure or restart (or for no answer within
        `timeout` seconds, taken as a dead actor)."""
        try:
            generation, value = ray.get(ref, timeout=timeout)
        except (*_RAY_FAILURES, ray.exceptions.GetTimeoutError) as err:
            return self.fail(shard, err)
        return self.checked(shard, generation, value)

    def checked(self, shard: int, generation: int, value: Any) -> Any:
        """`value`, or the ShardRestartedError when the reply comes from a restarted actor."""
        if generation != self.generations[shard]:
            self.stale[shard] = (
                f"the actor restarted (generation {generation}, expected {self.generations[shard]}) "
                "and holds only its last saved documents"
            )
            return ShardRestartedError(
                shard, "ShardRestarted", self.stale[shard] + "; call reload() or accept_restarts()"
            )
        return value

    def shared(self, value: Any) -> Any:
        """`value`, or its object-store reference when several shards would each be sent a large copy
        through Ray."""
        if not self.direct and self.n_shards > 1 and sum(len(b) for b in value) >= _SHARE_BYTES:
            return ray.put(value)
        return value

    def call(
        self, method: str, *args: Any, shards: Sequence[int] | None = None, each: Sequence[Any] | None = None
    ) -> list[Any]:
        """`method(*args)` on every shard in `shards` (default all), with `each[j]` as a last argument of
        the j-th when given; the answers in that order, or the first failure raised."""
        self.check()
        shards = range(self.n_shards) if shards is None else shards
        extra = [() for _ in shards] if each is None else [(e,) for e in each]
        requests = []
        if self.direct and method in DIRECT:  # encoding refuses bad arguments before anything is sent
            requests = [_channel.request(method, (*args, *x)) for x in extra]
        if requests and all(_channel.frame_bytes(*r) <= self._max_frame for r in requests):
            results = self._exchange(shards, requests)
        else:
            refs = [(i, getattr(self.actors[i], method).remote(*args, *x)) for i, x in zip(shards, extra, strict=True)]
            try:  # one wait for all shards; on any failure, sort the answers out one by one
                replies = ray.get([ref for _, ref in refs])
            except _RAY_FAILURES:
                results = [self.result(i, ref) for i, ref in refs]
            else:
                results = [self.checked(i, g, v) for (i, _), (g, v) in zip(refs, replies, strict=True)]
        first_failure(results)
        return results

    def call_restarting(self, method: str, args: list[tuple[Any, ...]]) -> list[tuple[int, Any]]:
        """(generation, value) of `method(*args[i])` on every shard i, unchecked, waiting up to the start
        timeout for actors that Ray is still restarting; `method` must be safe to run twice."""
        deadline = time.monotonic() + self.start_timeout
        refs = {i: getattr(self.actors[i], method).remote(*a) for i, a in enumerate(args)}
        results: dict[int, tuple[int, Any]] = {}
        while refs:
            for i, ref in list(refs.items()):
                try:
                    results[i] = ray.get(ref)
                    del refs[i]
                except ray.exceptions.ActorUnavailableError as err:
                    if time.monotonic() > deadline:
                        raise self.fail(i, err) from err
                    time.sleep(0.1)  # the actor is restarting: ask again
                    refs[i] = getattr(self.actors[i], method).remote(*args[i])
                except _RAY_FAILURES as err:
                    raise self.fail(i, err) from err
        return [results[i] for i in range(len(args))]
