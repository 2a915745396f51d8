"""Calls of a sharded router that name documents by the caller's ids: removing, replacing and
reranking them (and compacting, which reclaims the slots of removed ones). Each id lives on the
shard `shard_of` gives it, so each shard is asked about its own ids only; every id is checked
against the shards before any of them changes."""

from __future__ import annotations

from typing import Any

import numpy as np

from ._progress import Progress
from ._shard_add import Documents
from ._shard_fanout import FanOut
from ._shard_manifest import shard_of
from ._shard_merge import merge


def id_kind(fan: FanOut) -> bool | None:
    """Whether the shards hold string ids (None while they hold no documents)."""
    kinds = {st["string_ids"] for st in fan.call("status")} - {None}
    return kinds.pop() if len(kinds) == 1 else None


def check_id_kind(fan: FanOut, ids: np.ndarray) -> None:
    """Refuses ids of the other kind than the router's (integers or strings)."""
    held = id_kind(fan) if len(ids) else None
    if held is not None and (ids.dtype.kind == "U") != held:
        have, got = ("strings", "integers") if held else ("integers", "strings")
        raise ValueError(f"doc_ids are {got}, but this router's ids are {have}")


def by_shard(ids: np.ndarray, n_shards: int) -> dict[int, np.ndarray]:
    """The positions in `ids` of each shard's ids, for the shards that own some."""
    owner = shard_of(ids, n_shards)
    return {s: np.flatnonzero(owner == s) for s in np.unique(owner).tolist()}


def check_present(fan: FanOut, ids: np.ndarray, groups: dict[int, np.ndarray]) -> None:
    """Refuses, naming the first in the caller's order, an id that no live document has."""
    if not groups:
        return
    answers = fan.call("missing", shards=list(groups), each=[ids[g] for g in groups.values()])
    absent = [int(g[p]) for g, found in zip(groups.values(), answers, strict=True) for p in found]
    if absent:
        raise ValueError(f"no document has id {ids[min(absent)].item()!r}")


def remove(fan: FanOut, ids: np.ndarray) -> int:
    """Removes every document with one of `ids` from its shard; how many were removed."""
    fan.check()
    check_id_kind(fan, ids)
    groups = by_shard(ids, fan.n_shards)
    check_present(fan, ids, groups)
    if not groups:
        return 0
    return sum(fan.call("remove", shards=list(groups), each=[ids[g] for g in groups.values()]))


def update(fan: FanOut, docs: Documents, show_progress: bool | None) -> None:
    """Each shard replaces the documents with its ids of `docs` in one call, all or nothing on that
    shard; the ids are checked against every shard first."""
    with Progress("update", show_progress) as progress:
        progress.step(f"replacing {len(docs)} documents")
        _replace(fan, docs)


def _replace(fan: FanOut, docs: Documents) -> None:
    fan.check()
    check_id_kind(fan, docs.ids)
    groups = by_shard(docs.ids, fan.n_shards)
    check_present(fan, docs.ids, groups)
    if not groups:
        return
    parts = [(*docs.gather(g), docs.ids[g]) for g in groups.values()]
    fan.call("update", shards=list(groups), each=[(block, ids, offsets) for block, offsets, ids in parts])


def compact(fan: FanOut, show_progress: bool | None) -> None:
    """Every shard reclaims the slots of its removed documents."""
    with Progress("compact", show_progress) as progress:
        progress.step(f"compacting {fan.n_shards} shards")
        fan.call("compact")


def rerank(fan: FanOut, query: np.ndarray, ids: np.ndarray | None, k: int) -> list[tuple[Any, float]]:
    """Exact MaxSim top-k among the documents with `ids` (None: every document), merged over the
    shards that hold them."""
    fan.check()
    if ids is None:
        answers = fan.call("rerank_ids", query, k, None)
    else:
        check_id_kind(fan, ids)
        groups = by_shard(ids, fan.n_shards)
        check_present(fan, ids, groups)
        if not groups or k == 0:
            return []
        answers = fan.call("rerank_ids", query, k, shards=list(groups), each=[ids[g] for g in groups.values()])
    return merge(answers, k)[0] if answers else []
