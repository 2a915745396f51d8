"""The parameters `Retriever` uses when the caller names none: the router's
codebook and clusters, chosen when it is built, and the search's probes and
candidate count, chosen at each search from the collection as it is then.

Measured on two collections of the same 20,000 English passages (WordNet
entries, 42 tokens median): 848,456 word2vec token vectors, and 1,036,524
token vectors of a pretrained transformer (all-MiniLM-L6-v2, projected to
128 dimensions), each with 500 queries of about 8 tokens and the same
queries at 32 tokens. recall@10 is the share of the exact MaxSim top 10
found by `search`; the speed-up divides an exact MaxSim scan of the whole
collection by `search`, both timed in the same run (bench/bench_defaults.py):

    collection   n_fine ctop_r candidates  8 tokens: recall speed-up  32 tokens: recall speed-up
    word2vec       4096      6  1500 (7.5%)           0.917   see README           see README
    transformer    4096      6  1500 (7.5%)           see README                   see README

What the rule follows:
- n_fine grows with the square root of the number of vectors (4 sqrt(N),
  rounded to a power of two): finer codes separate documents better, and
  routing costs the query rows times n_fine, which stays small beside the
  rerank at this size.
- ctop_r 6 of n_coarse 32: each document is listed under its six best coarse
  clusters. With 3 the candidates that any probe count reaches held only
  0.86 of the exact top 10; more coarse clusters (128) cut that further.
- candidates: a fixed share of the documents. The rerank scores a candidate
  at the same cost per vector as the exact scan scores a document, so the
  share bounds the speed-up (7.5%: at most 13x, less the routing); small
  collections get at least MIN_CANDIDATES, which is every document below that.
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
CANDIDATE_SHARE = 0.075
MIN_CANDIDATES = 500     # the former fixed count: small collections search as before


class RouterParams(NamedTuple):
    n_fine: int
    n_coarse: int
    ctop_r: int


class SearchParams(NamedTuple):
    n_probes: int
    candidates: int


def router_params(n_vectors: int, n_docs: int, dim: int) -> RouterParams:
    """n_fine, n_coarse and ctop_r for a router trained on `n_vectors`
    vectors of `dim` columns in `n_docs` documents."""
    del n_docs, dim  # measured to matter only through the vector count
    root = FINE_PER_ROOT * math.sqrt(max(n_vectors, 1))
    n_fine = 1 << max(0, round(math.log2(root)))
    n_fine = max(min(n_fine, MAX_FINE, n_vectors), min(MIN_FINE, n_vectors), 1)
    n_coarse = min(N_COARSE, n_fine)
    return RouterParams(n_fine, n_coarse, min(CTOP_R, n_coarse))


def search_params(n_vectors: int, n_docs: int, dim: int) -> SearchParams:
    """n_probes and the candidate count for a search of `n_docs` documents."""
    del n_vectors, dim
    candidates = max(MIN_CANDIDATES, math.ceil(CANDIDATE_SHARE * n_docs))
    return SearchParams(N_PROBES, min(candidates, max(n_docs, 1)))
