"""One process against a local Ray cluster with 1 and 2 shards, on the same data.

All three hold the same documents on one shared codebook (trained on a sample
of 4,000 documents): the in-process `Retriever`, a `ShardedRouter` with one
shard owning both CPUs, and one with two shards of one CPU each. Reported per
configuration, as medians over the repetitions:

- single-query latency of route_query (500 candidates) and search (k=10 over
  500 candidates): median and p95 over the query set;
- batch throughput in queries/s for batches of 64 (route_query_batch and
  search_batch; the in-process baseline loops over the batch);
- fan-out overhead of one routed query: the driver's wall time minus the
  slowest shard's own routing time (dispatch, transfer and merge);
- resident memory of each shard actor, and the ratios to the in-process figures.

Documents hold 24 to 40 unit token vectors of 128 dimensions around a few topic
centres each; queries are 32 noisy tokens of a random document.

    python bench/bench_shards.py [--docs 20000] [--reps 3]
"""

import argparse
import sys
import time

import numpy as np

try:
    import ray
except ImportError:
    print("bench_shards: Ray is not installed (pip install '.[ray]'); skipped")
    sys.exit(0)

from nuvaris_qor_search import Retriever
from nuvaris_qor_search.shards import ShardedRouter, train_codebook

DIM = 128
TOPICS = 2000
QUERY_ROWS = 32
SAMPLE_DOCS = 4000
BATCH = 64


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def make_corpus(n_docs, seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, DIM), dtype=np.float32)
    lengths = rng.integers(24, 41, n_docs)
    ends = np.cumsum(lengths)
    starts = ends - lengths
    owner = np.repeat(np.arange(n_docs), lengths)
    topics = rng.integers(0, TOPICS, (n_docs, 3))
    x = centres[topics[owner, rng.integers(0, 3, len(owner))]]
    x += 0.6 * rng.standard_normal(x.shape, dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x, list(zip(starts.tolist(), ends.tolist()))


def make_queries(x, offsets, n, seed=2):
    rng = np.random.default_rng(seed)
    out = []
    for d in rng.integers(0, len(offsets), n):
        s, e = offsets[d]
        rows = x[s + rng.integers(0, e - s, QUERY_ROWS)]
        rows = rows + (0.2 / np.sqrt(DIM)) * rng.standard_normal(rows.shape, dtype=np.float32)
        out.append(np.ascontiguousarray(rows / np.linalg.norm(rows, axis=1, keepdims=True), dtype=np.float32))
    return out


def latencies(fn, queries):
    out = []
    for q in queries:
        t = time.perf_counter()
        fn(q)
        out.append(time.perf_counter() - t)
    return np.array(out)


def throughput(fn, queries):
    t = time.perf_counter()
    for lo in range(0, len(queries) - BATCH + 1, BATCH):
        fn(queries[lo : lo + BATCH])
    return (len(queries) // BATCH * BATCH) / (time.perf_counter() - t)


def measure(name, route, search, route_batch, search_batch, timed, single_q, batch_q):
    r = latencies(route, single_q)
    s = latencies(search, single_q)
    fig = {
        "route_med": np.median(r) * 1e3, "route_p95": np.percentile(r, 95) * 1e3,
        "search_med": np.median(s) * 1e3, "search_p95": np.percentile(s, 95) * 1e3,
        "route_qps": throughput(route_batch, batch_q), "search_qps": throughput(search_batch, batch_q),
    }
    if timed is not None:
        over = []
        for q in single_q:
            t = time.perf_counter()
            _, inside = timed(q)
            over.append(time.perf_counter() - t - inside)
        fig["fanout"] = np.median(over) * 1e3
    log(f"  {name}: " + ", ".join(f"{k} {v:.2f}" for k, v in fig.items()))
    return fig


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=20_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--queries", type=int, default=128)
    args, _ = ap.parse_known_args()

    x, offsets = make_corpus(args.docs)
    ids = list(range(args.docs))
    log(f"corpus: {args.docs} documents, {len(x)} vectors x {DIM} ({x.nbytes / 2**20:.0f} MiB float32)")
    sample = offsets[:SAMPLE_DOCS]
    t = time.perf_counter()
    codebook = train_codebook(x[: sample[-1][1]], sample, max_kmeans_iter=10)
    log(f"codebook on {SAMPLE_DOCS} documents: {time.perf_counter() - t:.1f} s")
    single_q = make_queries(x, offsets, args.queries, seed=2)
    batch_q = make_queries(x, offsets, 4 * BATCH, seed=3)

    local = Retriever.from_codebook(codebook)
    local.add(x, ids, offsets)
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=400 * 2**20, log_to_driver=False,
             configure_logging=False)
    configs = {"in-process": None}
    for n, cpus in ((1, 2), (2, 1)):
        t = time.perf_counter()
        # Both sharded configurations stay up and are measured in turns, so
        # they reserve no CPUs; each shard's worker pool still gets `cpus` threads.
        router = ShardedRouter(codebook, n, num_cpus=cpus, actor_options={"num_cpus": 0})
        router.add_documents(x, ids, offsets)
        log(f"{n} shard(s): started and filled in {time.perf_counter() - t:.1f} s")
        configs[f"ray {n} shard{'s' if n > 1 else ''}"] = router

    results = {name: [] for name in configs}
    for rep in range(args.reps):
        log(f"repetition {rep + 1}")
        for name, r in configs.items():
            if r is None:
                fig = measure(name, local.route_query, lambda q: local.search(q, 10),
                              lambda b: [local.route_query(q) for q in b], lambda b: local.search_batch(b, 10),
                              None, single_q, batch_q)
            else:
                fig = measure(name, r.route_query, lambda q, r=r: r.search(q, 10), r.route_query_batch,
                              lambda b, r=r: r.search_batch(b, 10), r.timed_route_query, single_q, batch_q)
            results[name].append(fig)

    med = {name: {k: float(np.median([f[k] for f in figs])) for k in figs[0]} for name, figs in results.items()}
    base = med["in-process"]
    print(f"bench_shards: {args.docs} documents, {len(x)} vectors x {DIM}, queries of {QUERY_ROWS} rows, "
          f"2 CPUs; medians of {args.reps} repetitions")
    head = ("configuration", "route med/p95 ms", "search med/p95 ms", "route q/s (x64)", "search q/s (x64)",
            "fan-out ms")
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for name, m in med.items():
        print(f"| {name} | {m['route_med']:.2f} / {m['route_p95']:.2f} | {m['search_med']:.2f} / {m['search_p95']:.2f} "
              f"| {m['route_qps']:.0f} ({m['route_qps'] / base['route_qps']:.2f}x) "
              f"| {m['search_qps']:.0f} ({m['search_qps'] / base['search_qps']:.2f}x) "
              f"| {m.get('fanout', float('nan')):.2f} |")
    for name, r in configs.items():
        if r is not None:
            for i, st in enumerate(r.shard_status()):
                print(f"{name}, shard {i}: {st['n_docs']} documents, {st['n_rows']} vectors, "
                      f"resident {st['rss_bytes'] / 2**20:.0f} MiB")
    two = med["ray 2 shards"]
    print(f"targets: batched route_query over 2 shards {two['route_qps'] / base['route_qps']:.2f}x in-process "
          f"(want >= 0.8), search {two['search_qps'] / base['search_qps']:.2f}x; "
          f"fan-out {two['fanout']:.2f} ms per query (want < 2)")
    for r in configs.values():
        if r is not None:
            r.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
