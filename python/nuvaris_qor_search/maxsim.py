"""Exact MaxSim scoring of a block of documents.

The score of document d for query Q (rows q_0 .. q_{m-1}) is

    score(d) = sum over j = 0 .. m-1 of  max over rows x of d of  <q_j, x>

computed as follows, all in float32:

1. every dot product <q_j, x> comes from a single-precision matrix product
   (BLAS sgemm, through numpy.matmul) of a stack of equally long candidate
   documents with the query (float16 stores are widened to float32 first,
   which is exact);
2. the maximum over each document's rows is exact (no rounding);
3. the per-row maxima are added in query-row order, left to right:
   ((m_0 + m_1) + m_2) + ..., each addition rounded to float32.

Only step 1 depends on the BLAS (its summation order inside a dot product),
so two BLAS builds may differ in the last bits of a dot product; on one
machine the result is deterministic. A document with no vectors scores
-inf (the maximum over no rows) for a query with at least one row; every
document scores 0 for a query with no rows (the empty sum).
"""

from __future__ import annotations

import numpy as np


def maxsim_block(query: np.ndarray, block: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """MaxSim of one query against documents laid out one after another in
    `block`.

    query: (Q, D) float32, C-contiguous. block: (R, D) float32, C-contiguous,
    the rows of every document in turn. lengths: (n,) row count of each
    document (summing to R). Returns (n,) float32 scores.

    Each run of consecutive documents of equal length L is one (n_run, L, D)
    stack and one batched product with the query, so documents ordered by
    length cost one product per distinct length.
    """
    lengths = np.asarray(lengths, np.int64)
    n = len(lengths)
    m, dim = query.shape
    if m == 0:
        return np.zeros(n, np.float32)
    maxima = np.full((n, m), -np.inf, np.float32)
    starts = np.flatnonzero(np.diff(lengths, prepend=-1))
    stops = np.append(starts[1:], n)
    row = 0
    for a, b in zip(starts.tolist(), stops.tolist()):
        size = int(lengths[a])
        rows = (b - a) * size
        if size:  # documents without vectors keep -inf
            row_maxima(query, block[row : row + rows].reshape(b - a, size, dim), maxima[a:b])
        row += rows
    return sum_rows(maxima)


def row_maxima(query: np.ndarray, stack: np.ndarray, out: np.ndarray) -> None:
    """out[i, j] = max over rows x of stack[i] of <query[j], x>, for a stack
    of equally long documents ((n, L, D) float32, L >= 1): one batched
    single-precision product."""
    np.max(np.matmul(stack, query.T), axis=1, out=out)


def sum_rows(maxima: np.ndarray) -> np.ndarray:
    """Scores from per-document, per-query-row maxima ((n, Q) float32): the
    sum over query rows in row order, left to right, in float32."""
    per_row = np.ascontiguousarray(maxima.T)  # (Q, n)
    if len(per_row) == 0:
        return np.zeros(maxima.shape[0], np.float32)
    total = per_row[0].copy()
    for j in range(1, len(per_row)):
        total += per_row[j]
    return total


def top_k(scores: np.ndarray, docs: np.ndarray, k: int) -> np.ndarray:
    """Positions of the k best scores: highest first, ties by lower
    document index (`docs`) first."""
    order = np.lexsort((docs, -scores))
    return order[:k]
