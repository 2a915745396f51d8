"""The parameters `Retriever` uses when the caller names none: the router's
codebook and clusters, chosen when it is built, and the search's counts,
chosen at each search from the collection as it is then.

Measured on two collections of the same 20,000 English passages (WordNet
entries): 848,456 word2vec token vectors, and 985,631 token vectors of a
pretrained transformer (all-MiniLM-L6-v2, projected to 128 dimensions), each
with 500 queries of about 8 tokens and the same queries at 32 tokens
(repeated rows for word2vec; [MASK]-padded for the transformer). recall@10
is the share of the exact MaxSim top 10 found; the speed-up divides an
exact BLAS scan of the whole collection (in brackets: the package's own
native exact scan, about twice as fast) by `search`, both timed in the same
run on two cores shared with other jobs (bench/bench_defaults.py, load
average 4 to 8), router n_fine 4,096, n_coarse 32, ctop_r 6, 2-bit codes:

    collection   query      search(q): recall@10, speed-up    former defaults (router, 2,000 candidates)
    word2vec     8 tokens   0.981, 18.4x (9.6x)               0.939, 11.7x (6.1x)
    word2vec     32 rows    0.994, 26.9x (9.4x)               0.937, 20.8x (7.3x)
    transformer  8 pieces   0.993, 26.4x (11.9x)              0.907, 11.0x (5.0x)
    transformer  32 pieces  0.937, 16.6x (5.2x)               0.573 (13.2x in an earlier run)

(every row is in docs/search_defaults.md)

What the rule follows:
- n_fine grows with the square root of the number of vectors (4 sqrt(N),
  rounded to a power of two): finer codes rank candidates better (at 1,000
  router candidates 0.87 against 0.80 for n_fine 1,024 and 0.67 for 256 on
  the word2vec set), and routing, which costs the query rows times n_fine,
  stays small beside the rerank at these sizes.
- ctop_r 6 of n_coarse 32: each document is listed under its six best
  coarse clusters. With 3 the candidates that any cut reaches held only
  0.86 of the exact top 10; more coarse clusters (128) cut that further.
- With token codes (the default), the candidates are the documents holding
  a vector of one of each query row's TOKEN_PROBE nearest fine centroids:
  probe 1 held 0.94 / 0.97 (word2vec / transformer, short queries), 2 held
  0.98 / 0.99 and 3 or 4 gained about 0.01 at up to twice the candidates.
  Near-identical query rows (cosine 0.9 or more: [MASK] padding, repeats)
  form one group whose probe is TOKEN_PROBE times its row count (at most
  MAX_TOKEN_PROBE), since it weighs that often in the score: on the
  [MASK]-padded queries a probe of 1 per row held 0.69, the widened probe
  0.94. The best RERANK = 100 by their score on the codes are scored
  exactly (50 held 0.01 less on short queries, 0.09 less on padded ones).
  The router's own 500 or 1,000 best added under 0.01 on short word2vec
  queries at about twice the time (ROUTED_WITH_CODES = 0); ask for them
  with `candidates`.
- Without the float store the codes' scores are the answer (4-bit codes),
  and reading the residuals of every candidate (about 2,800 and 2,600 per
  short query) was most of a search. Ranking the candidates first by their
  fine codes alone (the query-by-centroid similarities, already computed)
  and reading the residuals of the best SHORTLIST = 600 held 0.922 / 0.931
  against 0.928 / 0.943 for every candidate, at 1.5x the speed (300: 0.907
  / 0.912; 800: 0.924 / 0.937). Most short queries hold a pair of
  near-identical rows, and that costs the shortlist nothing; the
  [MASK]-padded queries' mask group (12 to 24 rows) weighs the
  centroid-only error so heavily that a shortlist of 600 held 0.67 against
  0.85, so a query whose largest group exceeds SHORTLIST_GROUP = 4 rows
  keeps every candidate. On 117,659 passages (5.0M word2vec vectors) 600
  held only 0.881 against 0.919 for every candidate; 1,500 held 0.908,
  2,500 0.914, 3,500 0.916 (at 31x, 27x and 23x the native scan, 10x
  for every candidate), so the shortlist also grows with the collection:
  SHORTLIST_SHARE = 2% of the documents when that is more (2,354 there).
- Without codes: a fixed share of the documents, 10%, reranked exactly,
  the smallest share that held 0.9 on both collections' short queries;
  small collections get at least MIN_CANDIDATES (every document below
  that). [MASK]-padded queries fall short at any share there: the mask rows
  dominate the router's proxy ranking.
"""

from __future__ import annotations

import math
from typing import NamedTuple

MAX_FINE = 65536        # the router's codes are 16-bit
FINE_PER_ROOT = 4       # n_fine ~ FINE_PER_ROOT * sqrt(vectors)
MIN_FINE = 16
N_COARSE = 32
CTOP_R = 6
N_PROBES = 4
CANDIDATE_SHARE = 0.10
MIN_CANDIDATES = 500     # the former fixed count: small collections search as before
# With token codes:
TOKEN_PROBE = 2
MAX_TOKEN_PROBE = 64
ROUTED_WITH_CODES = 0
RERANK = 100
# Without the float store, for queries without a large group of rows:
SHORTLIST = 600
SHORTLIST_SHARE = 0.02
SHORTLIST_GROUP = 4


class RouterParams(NamedTuple):
    n_fine: int
    n_coarse: int
    ctop_r: int


class SearchParams(NamedTuple):
    n_probes: int
    candidates: int
    probe: int = 0
    rerank: int = 0


class SearchCounts(NamedTuple):
    """Every count one search uses, checked; shortlist None: chosen once the
    query's rows are grouped (see `shortlist`)."""

    k: int
    n_probes: int
    candidates: int
    probe: int
    rerank: int
    shortlist: int | None = None


def router_params(n_vectors: int, n_docs: int, dim: int) -> RouterParams:
    """n_fine, n_coarse and ctop_r for a router trained on `n_vectors`
    vectors of `dim` columns in `n_docs` documents."""
    del n_docs, dim  # measured to matter only through the vector count
    root = FINE_PER_ROOT * math.sqrt(max(n_vectors, 1))
    n_fine = 1 << max(0, round(math.log2(root)))
    n_fine = max(min(n_fine, MAX_FINE, n_vectors), min(MIN_FINE, n_vectors), 1)
    n_coarse = min(N_COARSE, n_fine)
    return RouterParams(n_fine, n_coarse, min(CTOP_R, n_coarse))


def search_params(n_vectors: int, n_docs: int, dim: int, rows: int = 8, codes: bool = False) -> SearchParams:
    """n_probes, the router's candidate count, the token probe and the
    rerank count for a search of `n_docs` documents by a query of `rows`
    rows, with or without token codes."""
    del n_vectors, dim
    if codes:
        del rows  # a query's near-identical rows widen its probe instead (see Retriever.search)
        return SearchParams(N_PROBES, min(ROUTED_WITH_CODES, n_docs), TOKEN_PROBE, RERANK)
    candidates = max(MIN_CANDIDATES, math.ceil(CANDIDATE_SHARE * n_docs))
    return SearchParams(N_PROBES, min(candidates, max(n_docs, 1)))


def shortlist(k: int, n_docs: int, keeps_vectors: bool, largest_group: int) -> int:
    """How many token candidates a search of `n_docs` documents scores on
    their residual codes, the best by their fine codes alone (0: every
    one). Only a retriever without the float store shortlists, and only for
    queries whose largest group of near-identical rows holds at most
    SHORTLIST_GROUP rows; at least k candidates remain."""
    if keeps_vectors or largest_group > SHORTLIST_GROUP:
        return 0
    return max(SHORTLIST, math.ceil(SHORTLIST_SHARE * n_docs), k)
