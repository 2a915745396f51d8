"""route_query at two collection sizes against an exact MaxSim scan in NumPy.

For each size: build (or build + add_documents, see below), then route a set
of 32-token queries and report route_query latency (median, p95), the number
of candidates scored, nanoseconds per candidate, the exact scan's latency
over the same documents in the same run, their ratio, the recall of the
exact top 10 within the 500 returned candidates, and route_query latency
with one worker against two (separate processes, RAYON_NUM_THREADS).

Documents hold 48 to 80 unit token vectors of 128 dimensions drawn around a
few topic centres each. The larger collection does not fit a full build in
memory here (the build keeps a normalised copy of every vector beside the
caller's matrix), so it is built from its first 20,000 documents with
max_kmeans_iter=10 and the rest is appended with add_documents in batches.

    PYTHONPATH=build-NAME python bench/bench_route.py [--sizes 20000,200000]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import nuvaris_qor_router as qr

DIM = 128
TOPICS = 4000
QUERY_ROWS = 32
TRAIN_DOCS = 20_000
ADD_BATCH = 20_000


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def make_corpus(n_docs, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, DIM), dtype=np.float32)
    lengths = rng.integers(48, 81, n_docs)
    ends = np.cumsum(lengths)
    starts = ends - lengths
    x = np.empty((int(ends[-1]), DIM), np.float32)
    step = 10_000
    for lo in range(0, n_docs, step):
        hi = min(lo + step, n_docs)
        rows = slice(int(starts[lo]), int(ends[hi - 1]))
        n = rows.stop - rows.start
        doc_topics = rng.integers(0, TOPICS, (hi - lo, 3))
        owner = np.repeat(np.arange(hi - lo), lengths[lo:hi])
        pick = doc_topics[owner, rng.integers(0, 3, n)]
        block = centres[pick]
        block += 0.6 * rng.standard_normal((n, DIM), dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        x[rows] = block
    return x, starts, ends


def make_queries(x, starts, n_queries, seed):
    """Queries made from the first tokens of random documents, with noise;
    returns the queries and their source documents."""
    rng = np.random.default_rng(seed)
    out = []
    sources = rng.integers(0, len(starts), n_queries)
    for d in sources:
        # Noise of norm about 0.2 against unit tokens.
        noise = (0.2 / np.sqrt(DIM)) * rng.standard_normal((QUERY_ROWS, DIM), dtype=np.float32)
        rows = x[starts[d] : starts[d] + QUERY_ROWS] + noise
        out.append((rows / np.linalg.norm(rows, axis=1, keepdims=True)).astype(np.float32))
    return out, sources


def exact_top10(x, starts, ends, q):
    """MaxSim of every document: sum over query rows of the best token dot."""
    # Query-major similarities, so each document's maximum is a contiguous
    # run of every row (the faster reduceat direction).
    best = np.empty((len(q), len(starts)), np.float32)
    chunk_docs = 15_000
    for lo in range(0, len(starts), chunk_docs):
        hi = min(lo + chunk_docs, len(starts))
        base = starts[lo]
        sims = q @ x[base : ends[hi - 1]].T
        best[:, lo:hi] = np.maximum.reduceat(sims, starts[lo:hi] - base, axis=1)
    scores = best.sum(axis=0)
    top = np.argpartition(-scores, 10)[:10]
    return top[np.argsort(-scores[top], kind="stable")]


def timed(fn, repeat):
    out = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


WORKER = f"""
import sys, json, time, numpy as np, nuvaris_qor_router as qr
r = qr.PyQorRouter({DIM})
r.load(sys.argv[1])
qs = np.load(sys.argv[2])
for q in qs[:3]: r.route_query(q)
t = []
for _ in range(5):
    for q in qs:
        t0 = time.perf_counter(); r.route_query(q); t.append(time.perf_counter() - t0)
print(json.dumps(float(np.median(t))))
"""


def worker_scaling(router, queries, tmp):
    state = os.path.join(tmp, "state.qor")
    qfile = os.path.join(tmp, "queries.npy")
    router.save(state)
    np.save(qfile, np.stack(queries))
    medians = {}
    for threads in ("1", "2"):
        done = subprocess.run([sys.executable, "-c", WORKER, state, qfile], capture_output=True, text=True,
                              env={**os.environ, "RAYON_NUM_THREADS": threads}, check=True)
        medians[threads] = json.loads(done.stdout)
    os.remove(state)
    return medians


def run_size(n_docs, n_queries, n_exact, tmp):
    log(f"[{n_docs} documents] generating vectors ...")
    x, starts, ends = make_corpus(n_docs, seed=n_docs)
    ids = [7 * d + 1 for d in range(n_docs)]
    pairs = list(zip(starts.tolist(), ends.tolist()))
    router = qr.PyQorRouter(DIM)
    build_docs = min(n_docs, TRAIN_DOCS)
    iters = 30 if n_docs <= TRAIN_DOCS else 10
    log(f"[{n_docs} documents] building on {build_docs} documents, max_kmeans_iter={iters} ...")
    t0 = time.perf_counter()
    end_row = int(ends[build_docs - 1])
    router.build(x[:end_row], ids[:build_docs], pairs[:build_docs], max_kmeans_iter=iters)
    build_s = time.perf_counter() - t0
    add_s = 0.0
    for lo in range(build_docs, n_docs, ADD_BATCH):
        hi = min(lo + ADD_BATCH, n_docs)
        log(f"[{n_docs} documents] add_documents {lo}..{hi} ...")
        base = int(starts[lo])
        t0 = time.perf_counter()
        router.add_documents(x[base : int(ends[hi - 1])], ids[lo:hi], [(s - base, e - base) for s, e in pairs[lo:hi]])
        add_s += time.perf_counter() - t0
    assert router.n_docs() == n_docs

    queries, sources = make_queries(x, starts, n_queries, seed=1)
    found = np.mean([7 * int(d) + 1 in {i for i, _ in router.route_query(q)} for q, d in zip(queries, sources)])
    for q in queries[:3]:
        router.route_query(q)
    route_t = [t for q in queries for t in timed(lambda q=q: router.route_query(q), 5)]
    profile_t = [t for q in queries for t in timed(lambda q=q: router.compute_query_profile(q), 3)]
    cands = [len(router.route_query(q, 4, 2**32)) for q in queries]

    log(f"[{n_docs} documents] exact MaxSim scans ...")
    exact_t, recall = [], []
    for q in queries[:n_exact]:
        t0 = time.perf_counter()
        top = exact_top10(x, starts, ends, q)
        exact_t.append(time.perf_counter() - t0)
        got = {d for d, _ in router.route_query(q)}
        recall.append(np.mean([7 * int(d) + 1 in got for d in top]))

    log(f"[{n_docs} documents] one worker against two ...")
    scaling = worker_scaling(router, queries, tmp)
    del x
    route_ms = np.median(route_t) * 1e3
    return {
        "docs": n_docs,
        "vectors": int(ends[-1]),
        "build_s": build_s,
        "add_s": add_s,
        "build_docs": build_docs,
        "iters": iters,
        "route_ms": route_ms,
        "route_p95_ms": np.percentile(route_t, 95) * 1e3,
        "profile_ms": np.median(profile_t) * 1e3,
        "candidates": float(np.median(cands)),
        "ns_per_cand": route_ms * 1e6 / np.median(cands),
        "ns_per_cand_scoring": (route_ms - np.median(profile_t) * 1e3) * 1e6 / np.median(cands),
        "exact_ms": np.median(exact_t) * 1e3,
        "speedup": np.median(exact_t) * 1e3 / route_ms,
        "recall10": float(np.mean(recall)),
        "source_found": float(found),
        "one_worker_ms": scaling["1"] * 1e3,
        "two_workers_ms": scaling["2"] * 1e3,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="20000,200000")
    ap.add_argument("--queries", type=int, default=30)
    ap.add_argument("--exact-queries", type=int, default=5)
    args = ap.parse_args()
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            results.append(run_size(n, args.queries, args.exact_queries, tmp))
    print(f"route_query, {QUERY_ROWS}-row queries, n_probes 4, max_candidates 500, dim {DIM}, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    for r in results:
        build = f"build {r['build_s']:.1f} s ({r['build_docs']} docs, max_kmeans_iter {r['iters']})"
        if r["add_s"]:
            build += f" + add_documents {r['add_s']:.1f} s"
        print(f"\n{r['docs']} documents, {r['vectors']} vectors: {build}")
        print(f"  route_query      median {r['route_ms']:8.3f} ms   p95 {r['route_p95_ms']:8.3f} ms"
              f"   (query profile alone {r['profile_ms']:.3f} ms)")
        print(f"  candidates       median {r['candidates']:.0f}   "
              f"{r['ns_per_cand']:.0f} ns per candidate for the whole call, "
              f"{r['ns_per_cand_scoring']:.0f} ns without the profile")
        print(f"  exact MaxSim     median {r['exact_ms']:8.1f} ms   route_query is {r['speedup']:.0f}x faster")
        print(f"  recall of the exact top 10 within the 500 candidates: {r['recall10']:.3f}; "
              f"query's source document among them: {r['source_found']:.3f}")
        print(f"  workers          1: {r['one_worker_ms']:.3f} ms   2: {r['two_workers_ms']:.3f} ms"
              f"   ({r['one_worker_ms'] / r['two_workers_ms']:.2f}x)")


if __name__ == "__main__":
    main()
