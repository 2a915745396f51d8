"""Measuring probes for a ShardedRouter, used by bench_shards.py: the slowest shard's own compute
time of a routed query, and the round trip of a call that does no work on the shards."""

from nuvaris_qor_search._inputs import query_matrix
from nuvaris_qor_search._shard_actor import columns_of, pack
from nuvaris_qor_search._shard_merge import merge


def timed_route_query(router, query, n_probes=4, max_candidates=500):
    """route_query and the slowest shard's own compute time in seconds (for measuring fan-out cost)."""
    answers = router._fan.call("route", pack([query_matrix(query, router.dim)]), n_probes, max_candidates)
    return merge([columns_of(a[0]) for a in answers], max_candidates)[0], max(a[1] for a in answers)


def ping(router):
    """A routing call of no queries on every shard: the bare cost of a call, the way queries travel."""
    router._fan.call("route", pack([]), 0, 0)
