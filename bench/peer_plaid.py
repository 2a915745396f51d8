"""The PLAID peer: a fast-plaid index over a collection's passages, on the
CPU, at 2 and 4 bits per dimension, queried one query at a time.

Runs in its own venv (`make bench-plaid-venv`, build/venv-plaid: fast-plaid
and the torch it pins), never in .venv, so the package under test is not
imported: the exact scan here is NumPy's float32 brute force (a block of
passages at a time: similarities by matrix product, the maximum over each
passage's rows, the sum over the query's rows). Before each timed PLAID
query the same query is scanned exactly and timed, so the speed-up printed
divides two medians taken under the same load; `--exact-every 0` leaves the
scan out when the caller times its own exact scan around this process.

Per setting (nbits, n_ivf_probe, n_full_scores) the JSON written to `--out`
holds recall@10 against the collection's exact top 10 over every query, the
median milliseconds per query over the timed ones, and per nbits the build
seconds and the index's bytes on disk, in total and per token vector.
The index is built with torch's threads at its default (printed); the
timed queries run once per `--search-threads` value ("default": torch's
default; a number: torch.set_num_threads), since on a busy machine one
query's hand-off between threads can cost more than its work. Recall is
measured with one thread (the result does not depend on the count).

    build/venv-plaid/bin/python bench/peer_plaid.py --data DIR [--queries 200] [--out plaid.json]
"""

import argparse
import json
import os
import pathlib
import shutil
import sys
import time

import numpy as np

K = 10


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def ints(text):
    return [int(t) for t in text.split(",") if t]


def dir_bytes(path):
    return sum(p.stat().st_size for p in pathlib.Path(path).rglob("*") if p.is_file())


def numpy_exact(q, x, doc_offsets, chunk_rows=1 << 20):
    """(n_docs,) float32 MaxSim of one query against every passage."""
    n_docs = len(doc_offsets)
    out = np.empty(n_docs, np.float32)
    lo = 0
    while lo < n_docs:
        r0 = int(doc_offsets[lo, 0])
        hi = int(np.searchsorted(doc_offsets[:, 1], r0 + chunk_rows, side="right"))
        hi = max(hi, lo + 1)
        r1 = int(doc_offsets[hi - 1, 1])
        sim = q @ x[r0:r1].T
        out[lo:hi] = np.maximum.reduceat(sim, doc_offsets[lo:hi, 0] - r0, axis=1).sum(axis=0, dtype=np.float32)
        lo = hi
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=pathlib.Path, required=True)
    ap.add_argument("--nbits", type=ints, default=[2, 4])
    ap.add_argument("--probe", type=ints, default=[8, 32], help="n_ivf_probe values")
    ap.add_argument("--full-scores", type=ints, default=[1024, 4096], help="n_full_scores values")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--time-every", type=int, default=10, help="time every n-th query")
    ap.add_argument("--exact-every", type=int, default=1,
                    help="scan exactly before every n-th timed query (0: never)")
    ap.add_argument("--search-threads", default="default,1",
                    help="thread counts the timed queries run under: 'default' or a number, comma-separated")
    ap.add_argument("--index-dir", type=pathlib.Path,
                    default=pathlib.Path(__file__).resolve().parent.parent / "build" / "plaid-index",
                    help="where the indexes are built (one directory per collection and nbits)")
    ap.add_argument("--keep-index", action="store_true", help="leave the index directories in place")
    ap.add_argument("--out", type=pathlib.Path, help="also write the results here as JSON")
    args = ap.parse_args()

    import torch
    from fast_plaid import search as fp_search

    x = np.load(args.data / "vectors.npy", mmap_mode="r")
    doc_offsets = np.load(args.data / "doc_offsets.npy")
    q_all = np.load(args.data / "queries.npy")
    q_off = np.load(args.data / "query_offsets.npy")
    nq = min(args.queries, len(q_off))
    queries = [np.ascontiguousarray(q_all[a:b], np.float32) for a, b in q_off[:nq]]
    exact_top = np.load(args.data / "exact_top.npy")[:nq, :K]
    timed = list(range(0, nq, args.time_every))
    default_threads = torch.get_num_threads()
    thread_settings = [default_threads if t == "default" else int(t) for t in args.search_threads.split(",") if t]
    n_docs, n_vec = len(doc_offsets), len(x)
    results = {
        "data": str(args.data), "n_docs": n_docs, "n_vectors": n_vec, "n_queries": nq,
        "time_every": args.time_every, "torch": torch.__version__, "torch_threads": torch.get_num_threads(),
        "cpus": os.cpu_count(), "settings": [],
    }
    print(f"collection {args.data}: {n_docs} passages, {n_vec} token vectors, {nq} queries; "
          f"torch {torch.__version__} with {torch.get_num_threads()} threads (its default)", flush=True)

    log("reading the passages ...")
    docs = [torch.from_numpy(np.array(x[a:b], np.float32)) for a, b in doc_offsets]
    exact_ms = []
    for nbits in args.nbits:
        path = args.index_dir / f"{args.data.name}-nbits{nbits}"
        shutil.rmtree(path, ignore_errors=True)
        log(f"building nbits={nbits} in {path} ...")
        t0 = time.perf_counter()
        torch.set_num_threads(default_threads)
        index = fp_search.FastPlaid(index=str(path), device="cpu")
        index.create(documents_embeddings=docs, nbits=nbits)
        build_s = time.perf_counter() - t0
        size = dir_bytes(path)
        print(f"nbits={nbits}: built in {build_s:.1f} s, {size / 2**20:.1f} MiB on disk, "
              f"{size / n_vec:.1f} bytes/vector", flush=True)
        print(f"  {'probe':>5} {'full':>5} {'threads':>7} {'rec@10':>6} {'ms':>8} {'numpy exact ms':>14} "
              f"{'speed-up':>8}", flush=True)
        for probe in args.probe:
            for full in args.full_scores:
                def ask(q, probe=probe, full=full, index=index):
                    hits = index.search(queries_embeddings=torch.from_numpy(q)[None], top_k=K,
                                        n_ivf_probe=probe, n_full_scores=full, show_progress=False)
                    return [int(doc) for doc, _ in hits[0]]

                torch.set_num_threads(1)
                rec = []
                for i, q in enumerate(queries):
                    rec.append(len(set(ask(q)) & set(exact_top[i].tolist())) / K)
                for threads in thread_settings:
                    torch.set_num_threads(threads)
                    own, other = [], []
                    for n, i in enumerate(timed):
                        q = queries[i]
                        if args.exact_every and n % args.exact_every == 0:
                            t0 = time.perf_counter()
                            numpy_exact(q, x, doc_offsets)
                            other.append((time.perf_counter() - t0) * 1e3)
                        t0 = time.perf_counter()
                        ask(q)
                        own.append((time.perf_counter() - t0) * 1e3)
                    row = {"nbits": nbits, "n_ivf_probe": probe, "n_full_scores": full, "search_threads": threads,
                           "recall": float(np.mean(rec)), "ms": float(np.median(own)), "build_s": build_s,
                           "index_bytes": size, "bytes_per_vector": size / n_vec}
                    line = f"  {probe:>5} {full:>5} {threads:>7} {row['recall']:>6.3f} {row['ms']:>8.2f}"
                    if other:
                        row["numpy_exact_ms"] = float(np.median(other))
                        row["speedup_vs_numpy_exact"] = row["numpy_exact_ms"] / row["ms"]
                        exact_ms += other
                        line += f" {row['numpy_exact_ms']:>14.1f} {row['speedup_vs_numpy_exact']:>7.1f}x"
                    print(line, flush=True)
                    results["settings"].append(row)
                torch.set_num_threads(default_threads)
        del index
        if not args.keep_index:
            shutil.rmtree(path, ignore_errors=True)
    if exact_ms:
        results["numpy_exact_ms"] = float(np.median(exact_ms))
        print(f"NumPy float32 exact scan over every passage: median {results['numpy_exact_ms']:.1f} ms per query "
              f"({len(exact_ms)} scans)", flush=True)
    if args.out:
        args.out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
