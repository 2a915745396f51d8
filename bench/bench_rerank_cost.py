"""Cost of the exact rerank per candidate on a realistic collection (the
word-vector set of `make dataset`, or any set of the same layout): the
package's native MaxSim against the NumPy path the Retriever used before it
(candidates grouped by length, one batched BLAS product per group), for
queries of 8 and 32 rows, float32 and float16 stores, on 1 and 2 threads,
and against the memory-bandwidth bound: the bytes of the candidates' rows
divided by a measured stream bandwidth (a copy of 256 MiB arrays, counting
the bytes read and written, on as many threads as the rerank).

Candidate sets: `--candidates` passages drawn uniformly (sorted, as the
Retriever reads them), a different set for each call, so the rows come from
memory rather than from the cache of the previous call. Medians over
`--reps` passes over `--sets` sets.

    .venv/bin/python bench/bench_rerank_cost.py [--data DIR] [--candidates 2000]
"""

import argparse
import json
import os
import pathlib
import sys
import threading
import time

import numpy as np

import nuvaris_qor_search as nqs
from nuvaris_qor_search.retriever import exact_scores
from nuvaris_qor_search.store import VectorStore

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_rerank import by_grouped
from make_dataset import default_out


def stream_bandwidth(threads, mib=256, reps=5):
    """Bytes per second moved by `threads` concurrent NumPy copies of
    `mib` MiB each (read + write), median of `reps`."""
    src = [np.ones(mib << 18, np.float32) for _ in range(threads)]
    dst = [np.empty_like(s) for s in src]
    times = []
    for _ in range(reps):
        ts = [threading.Thread(target=np.copyto, args=(d, s)) for d, s in zip(dst, src)]
        t = time.perf_counter()
        for th in ts:
            th.start()
        for th in ts:
            th.join()
        times.append(time.perf_counter() - t)
    return 2 * threads * src[0].nbytes / float(np.median(times))


def median_call(fn, sets, reps):
    ts = []
    for _ in range(reps):
        for c in sets:
            t = time.perf_counter()
            fn(c)
            ts.append(time.perf_counter() - t)
    return float(np.median(ts))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--data", type=pathlib.Path, default=default_out())
    ap.add_argument("--candidates", type=int, default=2000)
    ap.add_argument("--sets", type=int, default=6)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--json", type=pathlib.Path)
    args = ap.parse_args()
    if not (args.data / "meta.json").exists():
        sys.exit(f"no data set in {args.data}: run `make dataset` first")

    x = np.load(args.data / "vectors.npy")
    doc_offsets = np.load(args.data / "doc_offsets.npy")
    queries, q_off = np.load(args.data / "queries.npy"), np.load(args.data / "query_offsets.npy")
    n_docs, dim = len(doc_offsets), x.shape[1]
    offsets = np.concatenate([doc_offsets[:, 0], doc_offsets[-1:, 1]]).astype(np.int64)
    ids = np.arange(n_docs, dtype=np.uint64)
    stores = {"float32": VectorStore(x, offsets, ids), "float16": VectorStore(x.astype(np.float16), offsets, ids)}
    rng = np.random.default_rng(11)
    sets = [np.sort(rng.choice(n_docs, args.candidates, replace=False)).astype(np.int64) for _ in range(args.sets)]
    mean_rows = float(np.mean([(offsets[c + 1] - offsets[c]).sum() for c in sets])) / args.candidates
    base = queries[q_off[0, 0]:q_off[0, 1]]
    qs = {8: np.ascontiguousarray(base[np.arange(8) % len(base)]),
          32: np.ascontiguousarray(base[np.arange(32) % len(base)])}
    bw = {t: stream_bandwidth(t) for t in (1, 2)}
    print(f"{n_docs} passages, {len(x)} vectors x {dim}; {args.candidates} candidates per call "
          f"({mean_rows:.1f} vectors each on average); load average {os.getloadavg()[0]:.1f}, {os.cpu_count()} CPUs; "
          f"stream bandwidth {bw[1] / 1e9:.1f} GB/s (1 thread), {bw[2] / 1e9:.1f} GB/s (2 threads)")
    print(f"{'Q':>3} {'store':<8} {'path':<12} {'threads':>7} {'ms/call':>8} {'us/cand':>8} {'ns/vector':>9} "
          f"{'bound us/cand':>13} {'x bound':>7} {'vs NumPy':>8}")
    rows = []
    for qlen, q in qs.items():
        for dtype, store in stores.items():
            bytes_per_cand = mean_rows * dim * store.dtype.itemsize
            numpy_ms = None
            for path, threads in (("numpy", 0), ("native", 1), ("native", 2)):
                if path == "numpy":
                    def fn(c):
                        return by_grouped(store, q, c)
                else:
                    nqs.set_num_threads(threads)

                    def fn(c):
                        return exact_scores(store, q, c)
                fn(sets[0])
                s = median_call(fn, sets, args.reps)
                us = s * 1e6 / args.candidates
                t_bw = max(threads, 1)
                bound = bytes_per_cand / bw[t_bw] * 1e6
                if path == "numpy":
                    numpy_ms = s
                row = dict(q=qlen, dtype=dtype, path=path, threads=threads or "BLAS default", ms=s * 1e3,
                           us_per_candidate=us, ns_per_vector=us * 1e3 / mean_rows, bound_us=bound,
                           vs_numpy=numpy_ms / s)
                rows.append(row)
                print(f"{qlen:>3} {dtype:<8} {path:<12} {row['threads']!s:>7} {s * 1e3:>8.2f} {us:>8.2f} "
                      f"{row['ns_per_vector']:>9.1f} {bound:>13.2f} {us / bound:>7.1f} {numpy_ms / s:>7.1f}x",
                      flush=True)
            nqs.set_num_threads(None)
    if args.json:
        args.json.write_text(json.dumps({"bandwidth": bw, "load": os.getloadavg(), "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
