"""Token-level peers of the compressed search, built with faiss on a
collection's token vectors: IVF-Flat (float32 vectors in the inverted
lists) and IVF-PQ (product-quantised residuals, m sub-vectors of 8 bits, 32
bytes per vector at m = 32, close to the 34 bytes of 2-bit residual codes).

Each peer answers a query the same way:

1. token search: each query row's k' nearest token vectors over `nprobe`
   inverted lists (inner product);
2. candidate documents: the documents of the retrieved tokens, each with an
   approximate MaxSim from those tokens alone: per query row, the best
   retrieved similarity among the document's tokens, or, when none of its
   tokens was retrieved for that row, the row's lowest retrieved similarity
   (a bound on what the row's true maximum can be, up to the lists not
   probed), summed over rows;
3. optional exact rerank: the best R candidates by that approximate score
   (R = None: every candidate) rescored by the package's native exact
   MaxSim on the float32 store; R = 0 keeps the approximate order;
4. the top 10, ties to the lower document index.

`evaluate` gives recall@10 against the collection's exact top 10 and the
median time per query; before each timed query it calls the caller's
`before_timed(q)`, where the caller times the exact scan of that query, so
that a speed-up divides two medians taken under the same load. `main` does
that with the native exact MaxSim over every passage.

faiss's OpenMP threads are left at faiss's default (every core) for both
building and searching; the exact scan and the rerank use the package's
pool at its default.

    .venv/bin/python bench/peers.py --data DIR [--peers flat,pq] [--nlist 1024] [--out peers.json]
"""

import argparse
import json
import pathlib
import sys
import time

import numpy as np

from nuvaris_qor_search.maxsim import scores as exact_scores

K = 10
SEED = 20261208


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def ints(text):
    return [int(t) for t in text.split(",") if t]


def load_collection(path, n_queries=None):
    """A collection directory's arrays: vectors memory-mapped, offsets as
    (n_docs + 1,) row starts, queries as a list of (rows, dim) arrays."""
    path = pathlib.Path(path)
    pairs = np.load(path / "doc_offsets.npy")
    assert (pairs[1:, 0] == pairs[:-1, 1]).all(), "documents must lie one after another"
    q = np.load(path / "queries.npy")
    q_off = np.load(path / "query_offsets.npy")
    nq = len(q_off) if n_queries is None else min(n_queries, len(q_off))
    return {
        "path": path,
        "meta": json.loads((path / "meta.json").read_text()),
        "vectors": np.load(path / "vectors.npy", mmap_mode="r"),
        "offsets": np.concatenate([pairs[:, 0], pairs[-1:, 1]]).astype(np.int64),
        "queries": [np.ascontiguousarray(q[a:b]) for a, b in q_off[:nq]],
        "exact_top": np.load(path / "exact_top.npy")[:nq],
    }


class TokenPeer:
    """A built faiss token index and what is needed to turn its hits into
    documents."""

    def __init__(self, name, index, offsets, build_s, params):
        self.name = name
        self.index = index
        self.offsets = offsets
        self.row_doc = np.repeat(np.arange(len(offsets) - 1, dtype=np.int64), np.diff(offsets))
        self.build_s = build_s
        self.params = params

    def bytes_per_vector(self):
        """Bytes faiss holds per token vector: the code and the int64 id in
        the inverted lists, plus the coarse centroids and any PQ codebooks
        spread over the vectors; and the code alone."""
        import faiss

        ivf = faiss.extract_index_ivf(self.index)
        n, d = ivf.ntotal, ivf.d
        tables = ivf.nlist * d * 4
        if isinstance(ivf, faiss.IndexIVFPQ):
            tables += ivf.pq.M * ivf.pq.ksub * ivf.pq.dsub * 4
        return (ivf.code_size + 8) + tables / n, ivf.code_size

    def token_hits(self, q, nprobe, k_tok):
        faiss_ivf = self.index
        faiss_ivf.nprobe = nprobe
        sims, labels = faiss_ivf.search(np.ascontiguousarray(q, np.float32), k_tok)
        return sims, labels

    def candidates(self, q, nprobe, k_tok):
        """Candidate documents (ascending) and their approximate MaxSim from
        the retrieved tokens."""
        sims, labels = self.token_hits(q, nprobe, k_tok)
        ok = labels >= 0
        rows = np.nonzero(ok)[0]
        docs = self.row_doc[labels[ok]]
        cand, inv = np.unique(docs, return_inverse=True)
        # A row that retrieved nothing contributes 0 to every candidate.
        floor = np.where(ok.any(axis=1), np.where(ok, sims, np.inf).min(axis=1), 0.0).astype(np.float32)
        best = np.repeat(floor[:, None], len(cand), axis=1)
        np.maximum.at(best, (rows, inv), sims[ok])
        return cand, best.sum(axis=0, dtype=np.float32)

    def search(self, q, nprobe, k_tok, rerank, vectors):
        """The top 10 document indices for one query (see the module's
        docstring); rerank: None (every candidate), 0 (none) or R."""
        cand, approx = self.candidates(q, nprobe, k_tok)
        if rerank == 0:
            return cand[np.lexsort((cand, -approx))[:K]]
        if rerank is not None and rerank < len(cand):
            cand = cand[np.lexsort((cand, -approx))[:rerank]]
        sc = exact_scores(q, vectors, self.offsets, cand)
        return cand[np.lexsort((cand, -sc))[:K]]


def _train_rows(vectors, n_train):
    if n_train is None or n_train >= len(vectors):
        return np.ascontiguousarray(vectors, np.float32)
    rows = np.sort(np.random.default_rng(SEED).choice(len(vectors), n_train, replace=False))
    return np.ascontiguousarray(vectors[rows], np.float32)


def _add(index, vectors, chunk=1 << 19):
    for lo in range(0, len(vectors), chunk):
        index.add(np.ascontiguousarray(vectors[lo:lo + chunk], np.float32))


def build_ivf_flat(vectors, offsets, nlist, n_train=None):
    """faiss IndexIVFFlat (inner product) over every token vector, its
    k-means trained on `n_train` seeded rows (None: all of them)."""
    import faiss

    d = vectors.shape[1]
    t = time.perf_counter()
    index = faiss.IndexIVFFlat(faiss.IndexFlatIP(d), d, nlist, faiss.METRIC_INNER_PRODUCT)
    index.train(_train_rows(vectors, n_train))
    _add(index, vectors)
    return TokenPeer("ivf-flat", index, offsets, time.perf_counter() - t, {"nlist": nlist, "n_train": n_train})


def build_ivf_pq(vectors, offsets, nlist, m=32, nbits=8, n_train=None):
    """faiss IndexIVFPQ (inner product, residuals to the coarse centroid
    quantised by m sub-quantisers of nbits each: m * nbits / 8 bytes a
    vector), trained on `n_train` seeded rows (None: all of them)."""
    import faiss

    d = vectors.shape[1]
    t = time.perf_counter()
    index = faiss.IndexIVFPQ(faiss.IndexFlatIP(d), d, nlist, m, nbits, faiss.METRIC_INNER_PRODUCT)
    index.train(_train_rows(vectors, n_train))
    _add(index, vectors)
    return TokenPeer(f"ivf-pq{m}x{nbits}", index, offsets, time.perf_counter() - t,
                     {"nlist": nlist, "m": m, "nbits": nbits, "n_train": n_train})


def recall_at_10(found, exact):
    return len(set(np.asarray(found)[:K].tolist()) & set(np.asarray(exact)[:K].tolist())) / K


def evaluate(peer, coll, nprobe, k_tok, reranks, time_every=10, before_timed=None):
    """Per rerank setting: recall@10 over every query of `coll` and the
    median milliseconds of the whole search (token search, candidates,
    rerank) over every `time_every`-th query; `before_timed(q)` is called
    right before each timed search and its return values are collected
    (the caller's exact-scan milliseconds)."""
    vectors, queries, exact = coll["vectors"], coll["queries"], coll["exact_top"]
    rows = []
    counts = [len(peer.candidates(q, nprobe, k_tok)[0]) for q in queries]
    for r in reranks:
        rec = [recall_at_10(peer.search(q, nprobe, k_tok, r, vectors), exact[i]) for i, q in enumerate(queries)]
        own, other = [], []
        for i in range(0, len(queries), time_every):
            q = queries[i]
            if before_timed is not None:
                other.append(before_timed(q))
            t0 = time.perf_counter()
            peer.search(q, nprobe, k_tok, r, vectors)
            own.append((time.perf_counter() - t0) * 1e3)
        row = {"nprobe": nprobe, "k_tok": k_tok, "rerank": "all" if r is None else r,
               "candidates": float(np.mean(counts)), "recall": float(np.mean(rec)), "ms": float(np.median(own))}
        if other:
            row["exact_ms"] = float(np.median(other))
            row["speedup"] = row["exact_ms"] / row["ms"]
        rows.append(row)
    return rows


def exact_scan_ms(coll):
    """A before_timed hook: the native exact MaxSim of the query over every
    passage, in milliseconds."""
    all_docs = np.arange(len(coll["offsets"]) - 1, dtype=np.int64)

    def scan(q):
        t0 = time.perf_counter()
        exact_scores(q, coll["vectors"], coll["offsets"], all_docs)
        return (time.perf_counter() - t0) * 1e3

    return scan


def rerank_arg(text):
    return [None if t == "all" else int(t) for t in text.split(",") if t]


def main():
    import faiss

    from run_note import run_note

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=pathlib.Path, required=True)
    ap.add_argument("--peers", default="flat,pq", help="flat, pq or both")
    ap.add_argument("--nlist", type=int, default=1024)
    ap.add_argument("--n-train", type=int, default=None, help="k-means / PQ training rows (default: all)")
    ap.add_argument("--pq-m", type=int, default=32)
    ap.add_argument("--nprobe", type=ints, default=[8, 32])
    ap.add_argument("--k-tok", type=ints, default=[64, 256])
    ap.add_argument("--rerank", type=rerank_arg, default=[0, 50, 200, None], help="R values; 'all' for every candidate")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--time-every", type=int, default=10)
    ap.add_argument("--out", type=pathlib.Path, help="also write the results here as JSON")
    args = ap.parse_args()

    print(run_note(), flush=True)
    coll = load_collection(args.data, args.queries)
    n_vec, n_docs = len(coll["vectors"]), len(coll["offsets"]) - 1
    scan = exact_scan_ms(coll)
    results = {"data": str(args.data), "n_docs": n_docs, "n_vectors": n_vec, "n_queries": len(coll["queries"]),
               "time_every": args.time_every, "faiss": faiss.__version__,
               "faiss_threads": faiss.omp_get_max_threads(), "peers": []}
    print(f"collection {args.data}: {n_docs} passages, {n_vec} token vectors, {len(coll['queries'])} queries; "
          f"faiss {faiss.__version__} with {faiss.omp_get_max_threads()} threads (its default)", flush=True)
    for name in args.peers.split(","):
        log(f"building {name} nlist={args.nlist} ...")
        if name == "flat":
            peer = build_ivf_flat(coll["vectors"], coll["offsets"], args.nlist, args.n_train)
        elif name == "pq":
            peer = build_ivf_pq(coll["vectors"], coll["offsets"], args.nlist, args.pq_m, 8, args.n_train)
        else:
            sys.exit(f"unknown peer {name!r}")
        bpv, code = peer.bytes_per_vector()
        entry = {"peer": peer.name, **peer.params, "build_s": peer.build_s, "bytes_per_vector": bpv,
                 "code_bytes": code, "rows": []}
        print(f"{peer.name}: built in {peer.build_s:.1f} s, {bpv:.1f} bytes/vector in faiss ({code} of code)",
              flush=True)
        print(f"  {'nprobe':>6} {'k_tok':>5} {'rerank':>6} {'cands':>7} {'rec@10':>6} {'ms':>8} "
              f"{'exact ms':>8} {'speed-up':>8}", flush=True)
        for nprobe in args.nprobe:
            for k_tok in args.k_tok:
                for row in evaluate(peer, coll, nprobe, k_tok, args.rerank, args.time_every, scan):
                    entry["rows"].append(row)
                    print(f"  {row['nprobe']:>6} {row['k_tok']:>5} {row['rerank']!s:>6} {row['candidates']:>7.0f} "
                          f"{row['recall']:>6.3f} {row['ms']:>8.2f} {row['exact_ms']:>8.1f} "
                          f"{row['speedup']:>7.1f}x", flush=True)
        results["peers"].append(entry)
        del peer
    if args.out:
        args.out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    main()
