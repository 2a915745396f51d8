"""Residual codes on the WordNet collection (make dataset): per bit width,
quantiser training and encoding time, bytes per vector, and recall@10
against the exact MaxSim top 10 of the whole collection for

* codes only: approximate MaxSim on the codes of every document;
* codes + exact rerank: the best `--rerank` documents by approximate score
  rescored exactly from the float store;
* token-level candidates: the documents under each query row's `--probe`
  nearest fine centroids, scored on their codes and reranked the same way.

Times are medians over the timed queries (every `--time-every`-th). Each
timed query is also scanned exactly (exact MaxSim over every passage, the
native kernel on the float32 store) right before it is timed, so that the
speed-up, the ratio of the two medians, compares measurements taken under
the same load on a shared machine.

    .venv/bin/python bench/bench_codes.py --data DIR --state ROUTER.qor [--bits 1,2,4]
"""

import argparse
import json
import pathlib
import sys
import time

import numpy as np

from nuvaris_qor_search.codes import CodeStore
from nuvaris_qor_search.maxsim import scores as exact_scores

K = 10


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def ints(text):
    return [int(t) for t in text.split(",") if t]


def recall(found, exact):
    return len(set(found[:K].tolist()) & set(exact[:K].tolist())) / K


def top(scores, docs, k):
    order = np.lexsort((docs, -scores))[:k]
    return docs[order]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=pathlib.Path, required=True)
    ap.add_argument("--state", type=pathlib.Path, required=True, help="a router state built on the collection")
    ap.add_argument("--bits", type=ints, default=[1, 2, 4])
    ap.add_argument("--rerank", type=ints, default=[20, 50, 100])
    ap.add_argument("--probe", type=ints, default=[2, 4, 8])
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--time-every", type=int, default=10)
    args = ap.parse_args()

    vectors = np.load(args.data / "vectors.npy", mmap_mode="r")
    pairs = np.load(args.data / "doc_offsets.npy")
    offsets = np.concatenate([pairs[:, 0], pairs[-1:, 1]]).astype(np.int64)
    assert (pairs[1:, 0] == pairs[:-1, 1]).all(), "documents must lie one after another"
    queries = np.load(args.data / "queries.npy")
    query_offsets = np.load(args.data / "query_offsets.npy")
    exact_top = np.load(args.data / "exact_top.npy")
    state = args.state.read_bytes()
    n_docs = len(offsets) - 1
    all_docs = np.arange(n_docs, dtype=np.int64)
    lengths = np.diff(offsets)
    nq = min(args.queries, len(query_offsets))
    timed = range(0, nq, args.time_every)

    def exact_ms(q):
        t0 = time.perf_counter()
        exact_scores(q, vectors, offsets, all_docs)
        return (time.perf_counter() - t0) * 1e3

    def paired(times):
        """Median of the approach's times, the exact scan's and their ratio."""
        exact, own = np.median([e for e, _ in times]), np.median([a for _, a in times])
        return {"ms": float(own), "exact_ms": float(exact), "speedup": float(exact / own)}

    results = {"n_docs": n_docs, "n_vectors": int(offsets[-1]), "rows": []}

    for bits in args.bits:
        t0 = time.perf_counter()
        store = CodeStore.train(state, vectors, bits=bits)
        train_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        store.append(vectors, lengths)
        encode_s = time.perf_counter() - t0
        row = {"bits": bits, "bytes_per_vector": store.bytes_per_vector, "train_s": train_s, "encode_s": encode_s}
        codes_only, reranked, code_ms = [], {r: [] for r in args.rerank}, []
        for i in range(nq):
            q = queries[query_offsets[i, 0] : query_offsets[i, 1]]
            e = exact_ms(q) if i in timed else 0.0
            t0 = time.perf_counter()
            approx = store.score(q, all_docs)
            if i in timed:
                code_ms.append((e, (time.perf_counter() - t0) * 1e3))
            best = top(approx, all_docs, max([*args.rerank, K]))
            codes_only.append(recall(best, exact_top[i]))
            for r in args.rerank:
                cand = best[:r]
                reranked[r].append(recall(top(exact_scores(q, vectors, offsets, cand), cand, K), exact_top[i]))
        row["codes_only_recall"] = float(np.mean(codes_only))
        row["code_scan"] = paired(code_ms)
        row["rerank_recall"] = {r: float(np.mean(v)) for r, v in reranked.items()}
        tokens = {}
        for probe in args.probe:
            rec, ms, counts = [], [], []
            for i in range(nq):
                q = queries[query_offsets[i, 0] : query_offsets[i, 1]]
                e = exact_ms(q) if i in timed else 0.0
                t0 = time.perf_counter()
                cand = store.candidates(q, probe)
                approx = store.score(q, cand)
                best = top(approx, cand, max(args.rerank))
                final = top(exact_scores(q, vectors, offsets, best), best, K)
                if i in timed:
                    ms.append((e, (time.perf_counter() - t0) * 1e3))
                counts.append(len(cand))
                rec.append(recall(final, exact_top[i]))
            tokens[probe] = {"candidates": float(np.mean(counts)), "recall": float(np.mean(rec)), **paired(ms)}
        row["token_candidates"] = tokens
        results["rows"].append(row)
        log(json.dumps(row))
    print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
