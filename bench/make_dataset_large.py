"""Builds the large benchmark collection: every WordNet synset as a passage,
about 5.03 million token vectors.

The passages, queries and token vectors follow bench/make_dataset.py's
recipe exactly (its functions are reused): a passage is a synset's words,
definition, example sentences and two levels of broader terms; a query is a
synset's first word plus one of its example sentences, held out of the
passage. What differs:

* every synset of WordNet 3.0 is a passage (117,659), not a seeded sample;
  at the same recipe they hold 5,026,605 tokens before the queries' held-out
  examples are removed, so no other text source or longer recipe is needed;
* the word vectors are the small collection's word2vec model (`--words`, the
  `make dataset` directory): it is trained on the whole WordNet text, not on
  the passages drawn, so both collections share one vocabulary and one
  vector per word. When that directory has no model yet it is trained (same
  seed and parameters, so the same model) and kept there;
* the token vectors are written straight into a memory-mapped vectors.npy
  (2.6 GB at 128 dimensions), never held twice in memory;
* the exact top-100 is computed by the package's native exact MaxSim
  (`nuvaris_qor_search.maxsim.scores`, no BLAS, the package's thread pool at
  its default), one query at a time over every passage; ties go to the lower
  passage index, as in the small collection.

Writes the same files as the small collection into the cache directory
(default ${XDG_CACHE_HOME:-~/.cache}/nuvaris_qor_router/wordnet128-large):
vectors.npy, doc_offsets.npy, doc_ids.npy, queries.npy, query_offsets.npy,
relevant.npy, exact_top.npy, exact_scores.npy, texts.jsonl and meta.json
(written last: a directory without it is incomplete).

    python bench/make_dataset_large.py [--out DIR] [--words DIR] [--queries 200]
"""

import argparse
import hashlib
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from make_dataset import (
    DIM,
    MIX,
    SEED,
    TOP,
    WINDOW,
    WORDNET,
    default_out,
    encode,
    exact_quality,
    parse_wordnet,
    passages_and_queries,
    save_arrays,
    stack,
    token_stats,
    word_vectors,
    write_meta,
    write_texts,
)


def default_large_out():
    return default_out().parent / "wordnet128-large"


def sha256_rows(x, chunk=1 << 18):
    h = hashlib.sha256()
    for lo in range(0, len(x), chunk):
        h.update(np.ascontiguousarray(x[lo:lo + chunk]).tobytes())
    return h.hexdigest()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", type=pathlib.Path, default=default_large_out())
    ap.add_argument("--words", type=pathlib.Path, default=default_out(),
                    help="directory of the small collection, where the word2vec model is cached")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--epochs", type=int, default=10)
    args = ap.parse_args()
    if not (WORDNET / "data.noun").exists():
        sys.exit(f"{WORDNET}/data.noun not found: install Debian's wordnet-base")
    from nuvaris_qor_search.maxsim import scores as exact_scores

    t0 = time.perf_counter()
    synsets = parse_wordnet()
    keys = sorted(synsets)
    print(f"parsed {len(keys)} synsets ({time.perf_counter() - t0:.1f} s)", flush=True)

    rng = np.random.default_rng(SEED)
    q_docs, query_toks, texts, passage_toks = passages_and_queries(synsets, keys, args.queries, rng)

    t1 = time.perf_counter()
    index, unit = word_vectors(synsets, args.words, args.epochs)
    print(f"word2vec: {len(index)} words x {DIM} from {args.words} ({time.perf_counter() - t1:.1f} s)", flush=True)

    lengths = np.array([len(t) for t in passage_toks], np.int64)
    ends = np.cumsum(lengths)
    doc_offsets = np.stack([ends - lengths, ends], axis=1)
    n_vec = int(ends[-1])
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "meta.json").unlink(missing_ok=True)
    tmp_vec = args.out / "vectors.tmp.npy"
    x = np.lib.format.open_memmap(tmp_vec, mode="w+", dtype=np.float32, shape=(n_vec, DIM))
    t1 = time.perf_counter()
    for (a, b), toks in zip(doc_offsets, passage_toks):
        x[a:b] = encode(toks, index, unit)
    x.flush()
    del x
    os.replace(tmp_vec, args.out / "vectors.npy")
    print(f"encoded {n_vec} token vectors ({time.perf_counter() - t1:.1f} s)", flush=True)

    x = np.load(args.out / "vectors.npy", mmap_mode="r")
    q, q_offsets = stack([encode(t, index, unit) for t in query_toks])
    relevant = np.array(q_docs, np.int64)
    doc_ids = np.array([synsets[k]["id"] for k in keys], np.int64)
    assert len(set(doc_ids.tolist())) == len(doc_ids)

    t2 = time.perf_counter()
    offsets = np.concatenate([[0], ends]).astype(np.int64)
    all_docs = np.arange(len(keys), dtype=np.int64)
    top_idx = np.empty((len(q_offsets), TOP), np.int64)
    top_scores = np.empty((len(q_offsets), TOP), np.float32)
    for i, (a, b) in enumerate(q_offsets):
        sc = exact_scores(q[a:b], x, offsets, all_docs)
        order = np.lexsort((all_docs, -sc))[:TOP]
        top_idx[i], top_scores[i] = order, sc[order]
        if (i + 1) % 20 == 0:
            print(f"  exact MaxSim: {i + 1} of {len(q_offsets)} queries ({time.perf_counter() - t2:.0f} s)",
                  flush=True)
    exact_s = time.perf_counter() - t2
    print(f"exact MaxSim top-{TOP} (native): {exact_s:.1f} s", flush=True)

    save_arrays(args.out, {"doc_offsets": doc_offsets, "doc_ids": doc_ids, "queries": q, "query_offsets": q_offsets,
                           "relevant": relevant, "exact_top": top_idx, "exact_scores": top_scores})
    write_texts(args.out, texts, doc_ids, q_docs, query_toks)

    meta = {
        "source": "WordNet 3.0 (Debian wordnet-base, /usr/share/wordnet): every synset as a passage",
        "recipe": "bench/make_dataset.py's passages and queries over all synsets (no sampling, no other text)",
        "word_vectors": f"word2vec of the small collection ({args.words}), trained on the whole WordNet text",
        "exact": "native exact MaxSim (nuvaris_qor_search.maxsim.scores, no BLAS), ties to the lower index",
        "seed": SEED, "dim": DIM, "epochs": args.epochs, "mix": MIX, "window": WINDOW,
        "n_passages": len(doc_offsets), "n_vectors": n_vec,
        "passage_tokens": token_stats(lengths),
        "n_queries": len(q_offsets), "query_rows": len(q),
        "query_tokens": token_stats(q_offsets[:, 1] - q_offsets[:, 0]),
        **exact_quality(top_idx, relevant),
        "vectors_sha256": sha256_rows(x),
        "exact_seconds": round(exact_s, 1),
        "seconds": round(time.perf_counter() - t0, 1),
    }
    write_meta(args.out, meta)
    size = sum(p.stat().st_size for p in args.out.iterdir() if p.is_file())
    print(f"written to {args.out}: {size / 2**20:.1f} MiB "
          f"({meta['n_passages']} passages, {n_vec} token vectors, {meta['n_queries']} queries)")


if __name__ == "__main__":
    main()
