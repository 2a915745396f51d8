"""End-to-end demo: index a synthetic multi-vector collection, route queries,
rerank the candidates by exact MaxSim and compare with an exact brute-force
search, save, reload and check the answers.

    python examples/demo.py [--docs N] [--dim D] [--queries Q] [--seed S]

The collection is seeded and clustered: every document draws its token
vectors around a few topic centres, as late-interaction token embeddings
cluster by meaning. Each query is a noisy copy of some tokens of one known
document, so the exact top-10 is well defined and the router's job is to
keep it inside its short candidate list.

Progress goes through the standard logging module (the demo logs generating
the data and answering the queries; the router logs the stages of build, save
and load to the logger "nuvaris_qor_router"), one line per step, so a log
file reads as well as a terminal.
"""

import argparse
import logging
import os
import sys
import tempfile
import time

import numpy as np

import nuvaris_qor_router as qr

log = logging.getLogger("demo")


def unit_rows(m):
    return (m / np.maximum(np.linalg.norm(m, axis=1, keepdims=True), 1e-8)).astype(np.float32)


def make_collection(rng, n_docs, dim, min_tokens, max_tokens, n_topics, chunk_rows=1 << 16):
    """Unit-length token vectors; a document mixes 1 to 4 topics. The rows are made `chunk_rows`
    at a time, with a progress line per chunk, so a large collection shows its progress and never
    holds more than one chunk of intermediate rows beside the result."""
    topics = unit_rows(rng.standard_normal((n_topics, dim), dtype=np.float32))
    lengths = rng.integers(min_tokens, max_tokens + 1, n_docs)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    total = int(lengths.sum())
    # Per token: one of its document's topics, plus a per-document offset and noise.
    doc_of_row = np.repeat(np.arange(n_docs), lengths)
    doc_topics = rng.integers(0, n_topics, (n_docs, 4))
    n_doc_topics = rng.integers(1, 5, n_docs)
    pick = (rng.random(total) * n_doc_topics[doc_of_row]).astype(np.int64)
    scale = np.float32(1 / np.sqrt(dim))  # noise of norm ~1 per unit of spread
    doc_noise = (0.5 * scale) * rng.standard_normal((n_docs, dim), dtype=np.float32)
    vectors = np.empty((total, dim), dtype=np.float32)
    # The token noise is drawn last and in row order, chunk after chunk, so the rows are the
    # same whatever the chunk size.
    for lo in range(0, total, chunk_rows):
        hi = min(lo + chunk_rows, total)
        rows = topics[doc_topics[doc_of_row[lo:hi], pick[lo:hi]]]
        rows += doc_noise[doc_of_row[lo:hi]]
        rows += (0.5 * scale) * rng.standard_normal((hi - lo, dim), dtype=np.float32)
        vectors[lo:hi] = unit_rows(rows)
        log.info("data: %d of %d token vectors generated", hi, total)
    offsets = [(int(s), int(s + n)) for s, n in zip(starts, lengths, strict=True)]
    return vectors, offsets


def make_queries(rng, vectors, offsets, n_queries, tokens):
    """Each query: up to `tokens` perturbed tokens of one known document."""
    sources = rng.choice(len(offsets), n_queries, replace=False)
    queries = []
    for d in sources:
        s, e = offsets[d]
        rows = vectors[s:e][rng.permutation(e - s)[:tokens]]
        noise = np.float32(0.3 / np.sqrt(rows.shape[1])) * rng.standard_normal(rows.shape, dtype=np.float32)
        queries.append(np.ascontiguousarray(unit_rows(rows + noise)))
    return queries, sources


def best_k(scores, k=10):
    """Positions of the k highest scores, best first."""
    if len(scores) <= k:
        return np.argsort(-scores, kind="stable")
    top = np.argpartition(-scores, k)[:k]
    return top[np.argsort(-scores[top], kind="stable")]


def exact_top10(query, vectors, starts):
    """Brute force. MaxSim: sum over query tokens of the best dot product within each document."""
    sims = query @ vectors.T  # Q x total tokens
    per_doc = np.maximum.reduceat(sims, starts, axis=1)  # Q x n_docs
    return best_k(per_doc.sum(axis=0))


def rerank_top10(query, vectors, starts, lengths, docs):
    """Exact MaxSim over the token rows of the candidate documents `docs` only."""
    docs = np.asarray(docs, dtype=np.int64)
    if len(docs) == 0:
        return docs
    lens = lengths[docs]
    firsts = np.concatenate([[0], np.cumsum(lens)[:-1]])  # each candidate's first column
    rows = np.repeat(starts[docs] - firsts, lens) + np.arange(int(lens.sum()))
    per_doc = np.maximum.reduceat(query @ vectors[rows].T, firsts, axis=1)
    return docs[best_k(per_doc.sum(axis=0))]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--docs", type=int, default=10_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--min-tokens", type=int, default=32)
    ap.add_argument("--max-tokens", type=int, default=96)
    ap.add_argument("--queries", type=int, default=64)
    ap.add_argument("--query-tokens", type=int, default=32)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--kmeans-iter", type=int, default=30)
    args = ap.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s", datefmt="%H:%M:%S",
                        stream=sys.stdout)

    rng = np.random.default_rng(args.seed)
    t0 = time.perf_counter()
    log.info("data: generating %d documents of %d to %d token vectors x %d dims", args.docs, args.min_tokens,
             args.max_tokens, args.dim)
    vectors, offsets = make_collection(rng, args.docs, args.dim, args.min_tokens, args.max_tokens,
                                       n_topics=max(64, args.docs // 10))
    doc_ids = [100_000 + i for i in range(args.docs)]
    queries, sources = make_queries(rng, vectors, offsets, args.queries, args.query_tokens)
    print(f"data: {args.docs} documents, {len(vectors)} token vectors x {args.dim} dims "
          f"({vectors.nbytes / 2**20:.0f} MiB), {args.queries} queries of up to {args.query_tokens} tokens "
          f"[{time.perf_counter() - t0:.1f} s]")

    router = qr.PyQorRouter(args.dim)
    t0 = time.perf_counter()
    router.build(vectors, doc_ids, offsets, max_kmeans_iter=args.kmeans_iter)
    build_s = time.perf_counter() - t0
    print(f"  built in {build_s:.1f} s: {router.n_docs()} docs, {router.n_fine()} fine centroids, "
          f"{router.n_coarse()} coarse clusters")

    # Two pipelines per query: route, then exact MaxSim over the candidates'
    # tokens (the rerank); and exact MaxSim over every document (brute force).
    starts = np.array([s for s, _ in offsets])
    lengths = np.array([e - s for s, e in offsets])
    index_of = {doc_id: i for i, doc_id in enumerate(doc_ids)}
    latencies, rerank_s, exact_s, answers = [], [], [], []
    hits = final_hits = found_source = 0
    for i, q in enumerate(queries, 1):
        t0 = time.perf_counter()
        answer = router.route_query(q)
        t1 = time.perf_counter()
        final = rerank_top10(q, vectors, starts, lengths, [index_of[d] for d, _ in answer])
        t2 = time.perf_counter()
        top = exact_top10(q, vectors, starts)
        t3 = time.perf_counter()
        answers.append(answer)
        latencies.append(t1 - t0)
        rerank_s.append(t2 - t1)
        exact_s.append(t3 - t2)
        candidates = {d for d, _ in answer}
        hits += sum(doc_ids[d] in candidates for d in top)
        final_hits += len(set(final.tolist()) & set(top.tolist()))
        found_source += doc_ids[sources[i - 1]] in candidates
        if i % 16 == 0 or i == len(queries):
            log.info("queries: %d of %d routed, reranked and searched exactly", i, len(queries))

    ms = np.array(latencies) * 1e3
    pipeline_ms = (np.array(latencies) + np.array(rerank_s)) * 1e3
    n_cand = np.array([len(a) for a in answers])
    exact_ms = np.median(exact_s) * 1e3

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "router.qor")
        t0 = time.perf_counter()
        router.save(path)
        save_s = time.perf_counter() - t0
        size = os.path.getsize(path)
        reloaded = qr.PyQorRouter(args.dim)
        t0 = time.perf_counter()
        reloaded.load(path)
        load_s = time.perf_counter() - t0
    identical = all(reloaded.route_query(q) == a for q, a in zip(queries, answers, strict=True))

    rows = [
        ("collection", f"{args.docs} documents, {len(vectors)} vectors x {args.dim} dims"),
        ("codebook", f"{router.n_fine()} fine centroids, {router.n_coarse()} coarse clusters"),
        ("build time", f"{build_s:.2f} s"),
        ("route_query latency", f"median {np.median(ms):.2f} ms, p95 {np.percentile(ms, 95):.2f} ms"),
        ("candidates per query", f"median {int(np.median(n_cand))}, min {n_cand.min()}, max {n_cand.max()}"),
        ("exact top-10 recall", f"{hits / (10 * len(queries)):.3f} (within the candidates)"),
        ("source document found", f"{found_source / len(queries):.3f} of queries"),
        ("end to end: route+rerank", f"recall@10 {final_hits / (10 * len(queries)):.3f}, "
                                     f"median {np.median(pipeline_ms):.1f} ms per query"),
        ("end to end: brute force", f"recall@10 1.000 (the reference), median {exact_ms:.1f} ms per query "
                                    f"({exact_ms / np.median(pipeline_ms):.1f}x the time)"),
        ("state file", f"{size / 2**20:.1f} MiB (save {save_s:.2f} s, load {load_s:.2f} s)"),
        ("identical after reload", "yes" if identical else "NO"),
    ]
    print()
    for label, value in rows:
        print(f"  {label:<26}{value}")
    first = answers[0][:5]
    print(f"\n  query 0 (tokens of document {doc_ids[sources[0]]}), best 5 of {len(answers[0])} candidates:")
    for doc_id, score in first:
        print(f"    doc {doc_id:<8} proxy score {score:.4f}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
