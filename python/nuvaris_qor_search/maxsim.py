"""Exact MaxSim scoring, computed by the package's native core.

The score of document d for query Q (rows q_0 .. q_{m-1}) is

    score(d) = sum over j = 0 .. m-1 of  max over rows x of d of  <q_j, x>

computed in float32 in this fixed order, so the bits are the same on every
machine, instruction set and thread count:

1. every dot product <q, x> starts from +0 and adds q[p] * x[p] for
   p = 0, 1, ..., D-1 in increasing order, the product and the sum each
   rounded to float32 (no fused multiply-add), the order of the router's
   own similarity product; float16 stores are widened to float32 first,
   which is exact;
2. the maximum over a document's rows takes its rows in order and keeps the
   running maximum unless a dot is greater (a NaN dot never wins);
3. the per-row maxima are added in query-row order, left to right:
   ((m_0 + m_1) + m_2) + ..., each addition rounded to float32.

A document with no vectors scores -inf (the maximum over no rows) for a
query with at least one row; every document scores 0 for a query with no
rows (the empty sum). No BLAS is involved: large candidate sets are split
over the package's own pool (see `set_num_threads`), small ones run on the
calling thread.
"""

from __future__ import annotations

import numpy as np

from . import _native


def scores(query: np.ndarray, vectors: np.ndarray, offsets: np.ndarray, docs: np.ndarray) -> np.ndarray:
    """MaxSim scores ((n,) float32) of documents `docs` ((n,) int64 indices,
    repeats allowed) of a store whose document i is rows
    vectors[offsets[i]:offsets[i + 1]]. query: (Q, D) float32; vectors:
    (N, D) float32 or float16, memory-mapped or not; offsets: (n_docs + 1,)
    int64. Nothing is copied when the arrays are C-contiguous."""
    out = np.empty(len(docs), np.float32)
    _native.maxsim(
        np.ascontiguousarray(query, np.float32),
        np.ascontiguousarray(vectors),
        np.ascontiguousarray(offsets, np.int64),
        np.ascontiguousarray(docs, np.int64),
        out,
    )
    return out


def maxsim_block(query: np.ndarray, block: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """MaxSim of one query against documents laid out one after another in
    `block`.

    query: (Q, D) float32. block: (R, D) float32 or float16, the rows of
    every document in turn. lengths: (n,) row count of each document
    (summing to R). Returns (n,) float32 scores.
    """
    lengths = np.asarray(lengths, np.int64)
    offsets = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return scores(query, block, offsets, np.arange(len(lengths), dtype=np.int64))


def top_k(scores: np.ndarray, docs: np.ndarray, k: int) -> np.ndarray:
    """Positions of the k best scores: highest first, ties by lower
    document index (`docs`) first."""
    if k <= 0:
        return np.empty(0, np.intp)
    if len(scores) > 4 * k and not np.isnan(scores).any():
        # Sort only the scores that can reach the top k: those at or above
        # the k-th best (all of its ties included).
        kth = np.partition(scores, len(scores) - k)[len(scores) - k]
        keep = np.flatnonzero(scores >= kth)
        order = np.lexsort((docs[keep], -scores[keep]))
        return keep[order[:k]]
    order = np.lexsort((docs, -scores))
    return order[:k]


def unique_docs(docs: np.ndarray) -> np.ndarray:
    """The distinct document indices of `docs`, increasing (so the store is
    read in order). A sort and one comparison: NumPy's own `unique` hashes
    first and measured four times slower on a few thousand candidates."""
    ordered = np.sort(docs)
    if len(ordered) < 2:
        return ordered
    keep = np.empty(len(ordered), bool)
    keep[0] = True
    np.not_equal(ordered[1:], ordered[:-1], out=keep[1:])
    return ordered[keep]
