"""Merging the shards' answers, without Ray: order, ties, the cut at the limit, empty shards, and
which candidates each shard is asked to rerank."""

import numpy as np
import pytest

from nuvaris_qor_search._shard_merge import merge, rerank_picks


def random_parts(seed, n_queries, n_shards=3):
    """Shard answers with few distinct scores and ids, so runs of equal scores span shards and one id
    may come twice; each candidate also carries a distinct local index. Returns the parts and every
    candidate as (query, -score, id, shard, position)."""
    rng = np.random.default_rng(seed)
    parts, pool = [], []
    for shard in range(n_shards):
        counts = rng.integers(0, 12, n_queries)
        counts[shard % n_queries] *= n_queries == 1  # queries without candidates on some shard
        ids, scores = [], []
        for j, n in enumerate(counts):
            s = np.sort(rng.integers(-3, 4, n).astype(np.float32) / 2)[::-1]
            s[s == 0] = rng.choice([np.float32(0), np.float32(-0.0)], np.count_nonzero(s == 0))
            d = rng.integers(0, 9, n).astype(np.uint64)
            ids.append(d)
            scores.append(s)
            pool += [(j, -float(x), int(i), shard, pos) for pos, (i, x) in enumerate(zip(d, s))]
        ids, scores = np.concatenate(ids), np.concatenate(scores)
        local = 1000 * shard + np.arange(len(ids), dtype=np.int64)
        parts.append((ids, scores, counts, local))
    return parts, pool


def as_strings(parts):
    """The same answers under string ids whose code point order is the integers' order; a shard
    without candidates keeps an empty integer column, as an empty shard answers."""
    return [(np.array([f"id-{i:03d}" for i in p[0].tolist()]) if len(p[0]) else p[0], *p[1:]) for p in parts]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("limit", [0, 1, 7, 1000])
@pytest.mark.parametrize("n_queries", [1, 5])
@pytest.mark.parametrize("strings", [False, True])
def test_merge_orders_by_score_then_id_then_shard_and_cuts_each_query(seed, limit, n_queries, strings):
    parts, pool = random_parts(seed, n_queries)
    expected = [
        [(i, -x + 0.0) for _, x, i, _, _ in sorted(p for p in pool if p[0] == j)][:limit] for j in range(n_queries)
    ]
    if strings:
        parts = as_strings(parts)
        expected = [[(f"id-{i:03d}", x) for i, x in query] for query in expected]
    assert merge(parts, limit) == expected


@pytest.mark.parametrize("n_queries", [1, 4])
def test_empty_shards_give_empty_answers_and_leave_the_others_alone(n_queries):
    empty = (np.empty(0, np.uint64), np.empty(0, np.float32), np.zeros(n_queries, np.int64))
    assert merge([empty, empty], 5) == [[] for _ in range(n_queries)]
    counts = np.zeros(n_queries, np.int64)
    counts[-1] = 2
    full = (np.array([4, 2], np.uint64), np.array([0.5, 0.25], np.float32), counts)
    assert merge([empty, full, empty], 5)[-1] == [(4, 0.5), (2, 0.25)]
    named = (np.array(["b", "a"]), *full[1:])
    assert merge([empty, named, empty], 5)[-1] == [("b", 0.5), ("a", 0.25)]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("candidates", [1, 6, 1000])
@pytest.mark.parametrize("n_queries", [1, 4])
@pytest.mark.parametrize("strings", [False, True])
def test_each_shard_reranks_its_own_of_the_merged_best_candidates(seed, candidates, n_queries, strings):
    parts, pool = random_parts(seed, n_queries)
    parts = as_strings(parts) if strings else parts
    starts = {}  # each shard's first position of each query's part
    for s, p in enumerate(parts):
        starts[s] = np.concatenate(([0], np.cumsum(p[2])))
    expected = {}
    for j in range(n_queries):
        for _, _, _, s, pos in sorted(p for p in pool if p[0] == j)[:candidates]:
            expected.setdefault(s, ([], np.zeros(n_queries, np.int64)))
            expected[s][0].append(int(parts[s][3][starts[s][j] + pos]))
            expected[s][1][j] += 1
    picks = rerank_picks(parts, candidates)
    assert sorted(picks) == sorted(expected)
    for s, (indices, counts) in picks.items():
        # Within a query the order does not matter to the shard; between queries it does.
        bounds = np.concatenate(([0], np.cumsum(counts)))
        want = np.concatenate(([0], np.cumsum(expected[s][1])))
        assert counts.tolist() == expected[s][1].tolist()
        for j in range(n_queries):
            got = sorted(indices[bounds[j] : bounds[j + 1]].tolist())
            assert got == sorted(expected[s][0][want[j] : want[j + 1]])
