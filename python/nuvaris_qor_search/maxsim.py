"""Exact MaxSim scoring of a block of documents.

The score of document d for query Q (rows q_0 .. q_{m-1}) is

    score(d) = sum over j = 0 .. m-1 of  max over rows x of d of  <q_j, x>

computed as follows, all in float32:

1. every dot product <q_j, x> comes from one single-precision matrix product
   (BLAS sgemm) of the query with the candidates' rows (float16 stores are
   widened to float32 first, which is exact);
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
    """
    n = len(lengths)
    m = query.shape[0]
    if m == 0:
        return np.zeros(n, np.float32)
    scores = np.full(n, -np.inf, np.float32)
    nonempty = lengths > 0
    if not nonempty.any():
        return scores
    sim = query @ block.T  # (Q, R): one sgemm over the whole candidate block
    starts = (np.cumsum(lengths) - lengths)[nonempty]
    # Empty documents are left out of the segment starts: reduceat would
    # otherwise give them the row at their start. With them gone, each
    # remaining segment runs exactly to the next document's first row.
    seg = np.maximum.reduceat(sim, starts, axis=1)  # (Q, n_nonempty)
    total = seg[0].copy()
    for j in range(1, m):
        total += seg[j]
    scores[nonempty] = total
    return scores


def top_k(scores: np.ndarray, docs: np.ndarray, k: int) -> np.ndarray:
    """Positions of the k best scores: highest first, ties by lower
    document index (`docs`) first."""
    order = np.lexsort((docs, -scores))
    return order[:k]
