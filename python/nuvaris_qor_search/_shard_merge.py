"""Merging the shards' answers into the answer of one router holding every document.

Each shard answers a batch of queries as columns: caller ids (uint64, or
unicode strings when the router's ids are strings), float32 scores and
per-query counts, query after query, each query's best first (a
routing answer also carries the candidates' document indices on the shard).
The merged order of a query is: best score first; equal scores put the lower
document id first (for strings, the first in code point order); equal scores of one id (only possible within one shard)
keep that shard's order. Plain NumPy, no Ray: the driver runs it on what the
shards sent.

A single router orders equal proxy scores by its hit count, then by indexing
order, so the merged routing answer equals its answer exactly when the ids of
tied documents increase with their indexing order and the ties share a hit
count, and otherwise up to the order within runs of equal scores.
"""

from __future__ import annotations

from collections.abc import Sequence
from itertools import islice

import numpy as np


def _descending(scores: np.ndarray) -> np.ndarray:
    """uint32 keys whose ascending order is the descending order of the float32 `scores`
    (-0.0 counts as 0.0)."""
    bits = (scores.astype(np.float32) + np.float32(0)).view(np.uint32)
    ascending = np.where(bits >> 31, ~bits, bits | np.uint32(0x80000000))
    return ~ascending


def merge_order(
    ids: np.ndarray, scores: np.ndarray, counts: Sequence[np.ndarray], limit: int
) -> tuple[np.ndarray, np.ndarray]:
    """Positions in the shard-after-shard arrays `ids`, `scores` of each query's merged candidates, and
    the number kept per query.

    Per query: best score first, lower id first among equal scores, equal ids in
    shard order, at most `limit`. `counts` holds each shard's per-query counts;
    each shard's part is query after query, each query's best first.
    """
    n_queries = len(counts[0])
    if n_queries == 1:  # one query: one stable sort on (score, id) costs fewer steps
        order = np.lexsort((ids, _descending(scores)))[:limit]
        return order, np.array([len(order)])
    query = np.concatenate([np.repeat(np.arange(n_queries, dtype=np.uint64), c) for c in counts])
    key = (query << np.uint64(32)) | _descending(scores).astype(np.uint64)
    # Every shard's part is one ascending run of keys, so the stable sort merges runs.
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    same = sorted_key[1:] == sorted_key[:-1]
    if same.any():  # put each run of equal keys in id order (stable: equal ids keep shard order)
        tied = np.flatnonzero(np.concatenate(([False], same)) | np.concatenate((same, [False])))
        run = np.cumsum(np.concatenate(([True], ~same)))[tied]
        at = order[tied]
        order[tied] = at[np.lexsort((ids[at], run))]
    totals = np.sum(counts, axis=0)
    first = np.concatenate(([0], np.cumsum(totals)[:-1]))
    rank = np.arange(len(order)) - np.repeat(first, totals)
    kept = np.minimum(totals, limit)
    return order[rank < limit], kept


def _ids(parts: Sequence[tuple[np.ndarray, ...]]) -> np.ndarray:
    """The shards' id columns one after another. A shard without candidates may answer with an empty
    column of another kind (an empty shard knows no id kind), so only non-empty columns are joined."""
    held = [p[0] for p in parts if len(p[0])]
    return np.concatenate(held) if held else np.empty(0, np.uint64)


def merge(parts: Sequence[tuple[np.ndarray, ...]], limit: int) -> list[list[tuple[int, float]]]:
    """Each query's candidates over all shards as (id, score) lists, merged by `merge_order`.

    `parts` holds one (ids, scores, per-query counts, ...) tuple per shard, in shard order.
    """
    ids = _ids(parts)
    scores = np.concatenate([p[1] for p in parts])
    keep, kept = merge_order(ids, scores, [p[2] for p in parts], limit)
    pairs = zip(ids[keep].tolist(), scores[keep].tolist(), strict=True)
    return [list(islice(pairs, n)) for n in kept.tolist()]


def rerank_picks(
    parts: Sequence[tuple[np.ndarray, ...]], candidates: int
) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """Which of its own candidates each shard reranks: the merged best `candidates` of each query.

    `parts` holds each shard's routing answer (ids, scores, per-query counts,
    document indices on the shard). The result maps each shard that holds some
    of them to their document indices (query after query) and per-query counts.
    """
    n_queries = len(parts[0][2])
    ids = _ids(parts)
    keep, kept = merge_order(ids, np.concatenate([p[1] for p in parts]), [p[2] for p in parts], candidates)
    owner = np.concatenate([np.full(len(p[0]), s, np.int64) for s, p in enumerate(parts)])[keep]
    local = np.concatenate([p[3] for p in parts])[keep]
    query = np.repeat(np.arange(n_queries), kept)
    picks = {}
    for s in range(len(parts)):
        mine = owner == s
        if mine.any():
            picks[s] = (local[mine], np.bincount(query[mine], minlength=n_queries).astype(np.int64))
    return picks
