"""Exact MaxSim rerank of router candidates: the ways to compute it, timed in
the same run on the same memory-mapped store.

Strategies (each returns the candidates' float32 scores):

- loop:      one small product per document (q @ doc.T, max, sum), the
             straightforward Python loop; the baseline.
- gemm-all:  gather all candidates' rows with one fancy index, one sgemm
             (Q x D) @ (D x total rows), segment max with
             np.maximum.reduceat, sum over query rows.
- by-length: the candidates taken by length; the rows of the documents of
             one length L gathered into an (n_L, L, D) stack and scored at
             once with one batched product (n_L, L, D) @ (D, Q) while in
             cache, max over L; the maxima summed over query rows (what the
             Retriever did before the native core).
- native:    what the Retriever does (exact_scores): the package's native
             MaxSim straight from the memory-mapped rows, in its fixed order,
             on the package's pool (no BLAS).
- padded:    documents padded to the longest one, one batched matmul
             (n, L, D) @ (D, Q), masked max over L.
- by-length-f16, native-f16: the same over a float16 store (rows widened to
             float32 after the gather, or inside the native core).

Times are per query: wall-clock median and p95, and the median of the
process's CPU time (steadier on a shared machine). NumPy's BLAS threads
matter on a busy machine: run the script also with OPENBLAS_NUM_THREADS=1.

Collection: documents of 48 to 80 unit token vectors of 128 dimensions drawn
around topic centres (as in bench_route.py). For each query size the script
reports the median and p95 latency of each strategy over the same queries
and candidate sets, and the ratio to the loop. It also times a Retriever's
route_query against search end to end (router candidates + rerank).

    python bench/bench_rerank.py [--docs 20000] [--candidates 500] [--repeat 15] [--e2e-docs 5000]
"""

import argparse
import sys
import time

import numpy as np

from nuvaris_qor_search import Retriever, VectorStore
from nuvaris_qor_search.retriever import exact_scores

DIM = 128
TOPICS = 1000


def make_docs(n_docs, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, DIM), dtype=np.float32)
    lengths = rng.integers(48, 81, n_docs)
    topics = rng.integers(0, TOPICS, (n_docs, 3))
    owner = np.repeat(np.arange(n_docs), lengths)
    pick = topics[owner, rng.integers(0, 3, len(owner))]
    x = centres[pick] + 0.6 * rng.standard_normal((len(owner), DIM), dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x, lengths, topics


def queries_for(x, offsets, n, rows, seed):
    rng = np.random.default_rng(seed)
    out = []
    for d in rng.integers(0, len(offsets) - 1, n):
        src = x[offsets[d] + rng.integers(0, offsets[d + 1] - offsets[d], rows)]
        q = src + 0.3 * rng.standard_normal(src.shape, dtype=np.float32) / np.sqrt(DIM)
        out.append((q / np.linalg.norm(q, axis=1, keepdims=True)).astype(np.float32))
    return out


def by_loop(store, q, docs):
    v, off = store.vectors, store.offsets
    out = np.empty(len(docs), np.float32)
    for i, d in enumerate(docs):
        out[i] = (q @ np.asarray(v[off[d] : off[d + 1]]).T).max(axis=1).sum()
    return out


def by_native(store, q, docs):
    return exact_scores(store, q, docs)


def by_grouped(store, q, docs, block_bytes=4 << 20):
    m = q.shape[0]
    lengths = store.offsets[docs + 1] - store.offsets[docs]
    order = np.argsort(lengths, kind="stable")
    by_length, sorted_lengths = docs[order], lengths[order]
    maxima = np.full((len(docs), m), -np.inf, np.float32)
    block_rows = max(1, block_bytes // (4 * store.dim))
    starts = np.flatnonzero(np.diff(sorted_lengths, prepend=-1))
    stops = np.append(starts[1:], len(docs))
    for a, b in zip(starts.tolist(), stops.tolist()):
        size = int(sorted_lengths[a])
        if size == 0:
            continue
        step = max(1, block_rows // size)
        for lo in range(a, b, step):
            hi = min(b, lo + step)
            np.max(np.matmul(store.stack(by_length[lo:hi], size), q.T), axis=1, out=maxima[lo:hi])
    total = maxima[:, 0].copy()
    for j in range(1, m):
        total += maxima[:, j]
    scores = np.empty(len(docs), np.float32)
    scores[order] = total
    return scores


def by_gemm_all(store, q, docs):
    block, lengths = store.gather(docs)
    sim = q @ block.T
    out = np.full(len(docs), -np.inf, np.float32)
    keep = lengths > 0
    seg = np.maximum.reduceat(sim, (np.cumsum(lengths) - lengths)[keep], axis=1)
    total = seg[0].copy()
    for j in range(1, len(q)):
        total += seg[j]
    out[keep] = total
    return out


def by_padded(store, q, docs):
    v, off = store.vectors, store.offsets
    lengths = off[docs + 1] - off[docs]
    width = int(lengths.max())
    pad = np.zeros((len(docs), width, DIM), np.float32)
    for i, d in enumerate(docs):
        pad[i, : lengths[i]] = v[off[d] : off[d + 1]]
    sim = pad @ q.T  # (n, L, Q)
    sim[np.arange(width)[None, :] >= lengths[:, None]] = -np.inf
    return sim.max(axis=1).sum(axis=1, dtype=np.float32)


def timed(fn, args_list, repeat):
    """Wall-clock median and p95 and CPU-time median per call (ms) over
    `repeat` passes of every argument set; the result of the first call of
    each set."""
    results = [fn(*a) for a in args_list]
    wall, cpu = [], []
    for _ in range(repeat):
        for a in args_list:
            t, c = time.perf_counter(), time.process_time()
            fn(*a)
            wall.append(time.perf_counter() - t)
            cpu.append(time.process_time() - c)
    ms = np.array(wall) * 1e3
    return float(np.median(ms)), float(np.percentile(ms, 95)), float(np.median(cpu) * 1e3), results


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=20_000)
    ap.add_argument("--candidates", type=int, default=500)
    ap.add_argument("--queries", type=int, default=8)
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--e2e-docs", type=int, default=5_000)
    args = ap.parse_args()

    x, lengths, _ = make_docs(args.docs, 0)
    ids = np.arange(args.docs, dtype=np.uint64)
    stores = {}
    for dtype in ("float32", "float16"):
        s = VectorStore.temporary(DIM, dtype)
        s.append(x, lengths, ids)
        stores[dtype] = s
    offsets = stores["float32"].offsets
    rng = np.random.default_rng(1)
    print(f"{args.docs} documents, {len(x)} vectors of {DIM} dims; {args.candidates} candidates per query;"
          f" {args.queries} queries x {args.repeat} passes; times in ms per query")
    print(f"{'Q':>3} {'strategy':<13} {'median':>8} {'p95':>8} {'cpu':>8} {'vs loop':>8} {'cpu vs loop':>11}"
          f" {'cpu us/cand':>11}  top-10 = loop")
    for rows in (6, 32):
        qs = queries_for(x, offsets, args.queries, rows, 2 + rows)
        cands = [np.sort(rng.choice(args.docs, args.candidates, replace=False)) for _ in qs]
        strategies = [
            ("loop", by_loop, "float32"),
            ("gemm-all", by_gemm_all, "float32"),
            ("by-length", by_grouped, "float32"),
            ("padded", by_padded, "float32"),
            ("by-length-f16", by_grouped, "float16"),
            ("native", by_native, "float32"),
            ("native-f16", by_native, "float16"),
        ]
        base = None
        ref_top = None
        for name, fn, dtype in strategies:
            med, p95, cpu, res = timed(fn, [(stores[dtype], q, c) for q, c in zip(qs, cands)], args.repeat)
            top = [tuple(c[np.lexsort((c, -r))][:10]) for r, c in zip(res, cands)]
            if base is None:
                base, base_cpu, ref_top = med, cpu, top
            same = sum(a == b for a, b in zip(top, ref_top))
            print(f"{rows:>3} {name:<13} {med:8.3f} {p95:8.3f} {cpu:8.3f} {base / med:7.2f}x {base_cpu / cpu:10.2f}x"
                  f" {cpu * 1e3 / args.candidates:11.2f}  {same}/{len(top)}", flush=True)

    # End to end on a Retriever over the first documents: the router's
    # candidates, then exact rerank.
    n = min(args.docs, args.e2e_docs)
    end = int(offsets[n])
    t = time.perf_counter()
    r = Retriever.build(x[:end], ids[:n], [(int(offsets[i]), int(offsets[i + 1])) for i in range(n)],
                        n_fine=256, n_coarse=32, max_kmeans_iter=10)
    print(f"\nRetriever over {n} documents (n_fine=256): built in {time.perf_counter() - t:.1f} s")
    print(f"{'Q':>3} {'call':<24} {'median':>8} {'p95':>8} {'cpu':>8}")
    for rows in (6, 32):
        qs = queries_for(x[:end], offsets[: n + 1], args.queries, rows, 7 + rows)
        for label, fn in (
            ("route_query (500)", lambda q: r.route_query(q, 4, args.candidates)),
            ("search k=10 (500)", lambda q: r.search(q, 10, candidates=args.candidates)),
            ("rerank all (exact scan)", lambda q: r.rerank(q, None, 10)),
        ):
            med, p95, cpu, _ = timed(fn, [(q,) for q in qs], max(1, args.repeat // 3))
            print(f"{rows:>3} {label:<24} {med:8.3f} {p95:8.3f} {cpu:8.3f}", flush=True)
    r.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
