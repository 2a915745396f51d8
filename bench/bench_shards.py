"""One process against a local Ray cluster with 1 and 2 shards, on the same data.

All hold the same documents on one shared codebook (trained on a sample
of 4,000 documents): the in-process `Retriever`, a `ShardedRouter` with one
shard owning both CPUs, one with two shards of one CPU each, and the same
two shards again with every call going through Ray (`direct=False`) instead
of the direct connections queries use by default. Reported per
configuration, as medians over the repetitions (ratios: the median of each
repetition's ratio to the in-process figure of the same repetition):

- single-query latency of route_query (500 candidates) and search (k=10 over
  500 candidates): median and p95 over the query set;
- batch throughput in queries/s for batches of 64 (route_query_batch and
  search_batch; the in-process baseline loops over the batch), and the CPU
  time per query those batches cost: the driver's plus every shard actor's
  (Ray's own daemons are not counted), steadier than wall time on a loaded
  machine;
- fan-out overhead of one routed query: the driver's wall time minus the
  slowest shard's own routing time (dispatch, transfer and merge), next to
  the bare round trip of a call that does nothing on every shard (`ping`, a
  routing call of no queries; both probes are in shard_probes.py);
- resident memory of each shard actor, and the ratios to the in-process figures.

Sharing the two CPUs fairly: Ray is started with 2 CPUs; both sharded
configurations stay up and are measured in turns with the in-process one, so
their actors reserve no CPUs (`num_cpus=0`), and each shard's worker pool gets
the threads its configuration names through RAYON_NUM_THREADS: 2 for the single
shard, 1 for each of the two (never more busy threads than cores). The
in-process router runs in the driver with the module's default pool, one thread
per available CPU (2). Ray starts actors with OMP_NUM_THREADS=1, so reranking's
small products run on one thread in a shard, as they do in the driver. The row
"module only" is the in-process `PyQorRouter.route_query` loop without the
Retriever's conversion to caller ids: the floor of what routing costs.

Documents hold 24 to 40 unit token vectors of 128 dimensions around a few topic
centres each; queries are 32 noisy tokens of a random document. The corpus is
generated a block of documents at a time into a memory-mapped file, and every
configuration is filled from that file in bounded chunks, so --docs 200000
(6.4M vectors, 3.1 GiB) needs no more than one copy of the vectors per holder.

    python bench/bench_shards.py [--docs 20000] [--reps 3] [--skip-one-shard]
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

# The local Ray this starts listens and talks on loopback only (set before Ray is imported; without
# it Ray takes the machine's network address even for a one-machine instance).
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
try:
    import ray
except ImportError:
    print("bench_shards: Ray is not installed (pip install '.[ray]'); skipped")
    sys.exit(0)

from nuvaris_qor_search import Retriever
from nuvaris_qor_search.shards import ShardedRouter, train_codebook
from run_note import run_note
from shard_probes import ping, timed_route_query

DIM = 128
TOPICS = 2000
QUERY_ROWS = 32
SAMPLE_DOCS = 4000
BATCH = 64
BLOCK_DOCS = 10_000  # documents generated (and added in-process) at a time


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def make_corpus(n_docs, directory, seed=1):
    """A memory-mapped (N, DIM) float32 matrix and the documents' (start, end) rows."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, DIM), dtype=np.float32)
    lengths = rng.integers(24, 41, n_docs)
    ends = np.cumsum(lengths)
    starts = ends - lengths
    topics = rng.integers(0, TOPICS, (n_docs, 3))
    x = np.lib.format.open_memmap(Path(directory) / "vectors.npy", mode="w+", dtype=np.float32,
                                  shape=(int(ends[-1]), DIM))
    for lo in range(0, n_docs, BLOCK_DOCS):
        hi = min(n_docs, lo + BLOCK_DOCS)
        block = np.random.default_rng([seed, lo])
        owner = np.repeat(np.arange(lo, hi), lengths[lo:hi])
        v = centres[topics[owner, block.integers(0, 3, len(owner))]]
        v += 0.6 * block.standard_normal(v.shape, dtype=np.float32)
        v /= np.linalg.norm(v, axis=1, keepdims=True)
        x[starts[lo] : ends[hi - 1]] = v
    x.flush()
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


def throughput(fn, queries, cpu):
    """Queries/s over whole batches of `queries`, and CPU seconds per query (`cpu()` counts them)."""
    n = len(queries) // BATCH * BATCH
    c, t = cpu(), time.perf_counter()
    for lo in range(0, n, BATCH):
        fn(queries[lo : lo + BATCH])
    wall = time.perf_counter() - t
    return n / wall, (cpu() - c) / n


def measure(name, calls, single_q, batch_q, cpu):
    fig = {}
    if "route" in calls:
        r = latencies(calls["route"], single_q)
        fig.update(route_med=np.median(r) * 1e3, route_p95=np.percentile(r, 95) * 1e3)
    if "search" in calls:
        s = latencies(calls["search"], single_q)
        fig.update(search_med=np.median(s) * 1e3, search_p95=np.percentile(s, 95) * 1e3)
    fig["route_qps"], fig["route_cpu"] = throughput(calls["route_batch"], batch_q, cpu)
    fig["route_cpu"] *= 1e3
    if "search_batch" in calls:
        fig["search_qps"], fig["search_cpu"] = throughput(calls["search_batch"], batch_q, cpu)
        fig["search_cpu"] *= 1e3
    if "timed" in calls:
        over, floor = [], []
        for q in single_q:
            t = time.perf_counter()
            _, inside = calls["timed"](q)
            over.append(time.perf_counter() - t - inside)
            t = time.perf_counter()
            calls["ping"]()
            floor.append(time.perf_counter() - t)
        fig["fanout"], fig["floor"] = np.median(over) * 1e3, np.median(floor) * 1e3
    log(f"  {name}: " + ", ".join(f"{k} {v:.2f}" for k, v in fig.items()))
    return fig


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=20_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--queries", type=int, default=128)
    ap.add_argument("--skip-one-shard", action="store_true", help="measure only the in-process and 2-shard set-ups")
    args, _ = ap.parse_known_args()
    print(run_note(), flush=True)

    tmp = tempfile.TemporaryDirectory(prefix="bench_shards-")
    t = time.perf_counter()
    x, offsets = make_corpus(args.docs, tmp.name)
    ids = list(range(args.docs))
    log(f"corpus: {args.docs} documents, {len(x)} vectors x {DIM} ({x.nbytes / 2**20:.0f} MiB float32, "
        f"memory-mapped) in {time.perf_counter() - t:.1f} s")
    sample = offsets[:SAMPLE_DOCS]
    t = time.perf_counter()
    codebook = train_codebook(np.ascontiguousarray(x[: sample[-1][1]]), sample, max_kmeans_iter=10)
    log(f"codebook on {SAMPLE_DOCS} documents: {time.perf_counter() - t:.1f} s")
    single_q = make_queries(x, offsets, args.queries, seed=2)
    batch_q = make_queries(x, offsets, 4 * BATCH, seed=3)

    t = time.perf_counter()
    local = Retriever.from_codebook(codebook)
    for lo in range(0, args.docs, BLOCK_DOCS):
        hi = min(args.docs, lo + BLOCK_DOCS)
        base = offsets[lo][0]
        block = np.ascontiguousarray(x[base : offsets[hi - 1][1]])
        local.add(block, ids[lo:hi], [(s - base, e - base) for s, e in offsets[lo:hi]])
    log(f"in-process: filled in {time.perf_counter() - t:.1f} s")
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=400 * 2**20, log_to_driver=False,
             configure_logging=False)
    routers = {}
    for n, cpus, direct in ((1, 2, True), (2, 1, True), (2, 1, False)):
        if n == 1 and args.skip_one_shard:
            continue
        t = time.perf_counter()
        # The sharded configurations stay up and are measured in turns, so
        # they reserve no CPUs; each shard's worker pool still gets `cpus` threads.
        router = ShardedRouter(codebook, n, num_cpus=cpus, actor_options={"num_cpus": 0}, direct=direct)
        router.add_documents(x, ids, offsets)
        name = f"ray {n} shard{'s' if n > 1 else ''}{'' if direct else ', Ray calls'}"
        log(f"{name}: started and filled in {time.perf_counter() - t:.1f} s")
        routers[name] = router

    def driver_cpu():
        return time.process_time()

    def sharded_cpu(r):
        return lambda: time.process_time() + sum(s["cpu_seconds"] for s in r.shard_status())

    raw = local.router
    configs = {
        "module only": ({"route_batch": lambda b: [raw.route_query(q, 4, 500) for q in b]}, driver_cpu),
        "in-process": (
            {
                "route": local.route_query,
                "search": lambda q: local.search(q, 10),
                "route_batch": lambda b: [local.route_query(q) for q in b],
                "search_batch": lambda b: local.search_batch(b, 10),
            },
            driver_cpu,
        ),
    }
    for name, r in routers.items():
        configs[name] = (
            {
                "route": r.route_query,
                "search": lambda q, r=r: r.search(q, 10),
                "route_batch": r.route_query_batch,
                "search_batch": lambda b, r=r: r.search_batch(b, 10),
                "timed": lambda q, r=r: timed_route_query(r, q),
                "ping": lambda r=r: ping(r),
            },
            sharded_cpu(r),
        )

    results = {name: [] for name in configs}
    for rep in range(args.reps):
        log(f"repetition {rep + 1}")
        for name, (calls, cpu) in configs.items():
            results[name].append(measure(name, calls, single_q, batch_q, cpu))

    med = {name: {k: float(np.median([f[k] for f in figs])) for k in figs[0]} for name, figs in results.items()}
    nan = float("nan")

    def ratio(name, key, to="in-process"):
        """Median over the repetitions of `name`'s figure over `to`'s in the same repetition."""
        return float(np.median([f[key] / b[key] for f, b in zip(results[name], results[to])]))
    print(f"bench_shards: {args.docs} documents, {len(x)} vectors x {DIM}, queries of {QUERY_ROWS} rows, "
          f"2 CPUs; medians of {args.reps} repetitions")
    head = ("configuration", "route med/p95 ms", "search med/p95 ms", "route q/s (x64)", "route CPU ms/q",
            "search q/s (x64)", "search CPU ms/q", "fan-out ms", "bare round trip ms")
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for name, m in med.items():
        lat = (f"{m['route_med']:.2f} / {m['route_p95']:.2f} | {m['search_med']:.2f} / {m['search_p95']:.2f}"
               if "route_med" in m else "- | -")
        search = (f"{m['search_qps']:.0f} ({ratio(name, 'search_qps'):.2f}x) | {m['search_cpu']:.2f}"
                  if "search_qps" in m else "- | -")
        print(f"| {name} | {lat} | {m['route_qps']:.0f} ({ratio(name, 'route_qps'):.2f}x) "
              f"| {m['route_cpu']:.2f} | {search} | {m.get('fanout', nan):.2f} | {m.get('floor', nan):.2f} |")
    for name, r in routers.items():
        for i, st in enumerate(r.shard_status()):
            print(f"{name}, shard {i}: {st['n_docs']} documents, {st['n_rows']} vectors, "
                  f"resident {st['rss_bytes'] / 2**20:.0f} MiB")
    two, via_ray = med["ray 2 shards"], med["ray 2 shards, Ray calls"]
    print(f"targets: batched route_query over 2 shards {ratio('ray 2 shards', 'route_qps'):.2f}x in-process "
          f"(want >= 0.8; {ratio('ray 2 shards', 'route_qps', 'module only'):.2f}x the module-only loop), "
          f"search {ratio('ray 2 shards', 'search_qps'):.2f}x; "
          f"fan-out {two['fanout']:.2f} ms per query (want < 2; a bare call to both shards takes {two['floor']:.2f}; "
          f"through Ray calls {via_ray['fanout']:.2f} and {via_ray['floor']:.2f})")
    for r in routers.values():
        r.close()
    ray.shutdown()
    local.close()
    tmp.cleanup()


if __name__ == "__main__":
    main()
