"""Builds the benchmark collection of real English text as token vectors.

Source: the WordNet 3.0 database that Debian's `wordnet-base` package
installs under /usr/share/wordnet (every synset's words, definition and
example sentences). Nothing is downloaded at run time: the token vectors
come from word2vec (gensim) trained here on the whole WordNet text, made
contextual by mixing each token's vector with its neighbours', as a
late-interaction encoder gives a token a vector that depends on its context.

Passages: PASSAGES synsets drawn with a fixed seed; a passage reads like a
dictionary entry: the synset's words, its definition, its example sentences
and the words and definition of its broader term (hypernym, or the head of
an adjective cluster). Queries: QUERIES of those passages that have an
example sentence; the query is the synset's first word plus one example
sentence, and that example is left out of the passage, so the relevant
passage is known but never contains the query's text verbatim.

Written into the cache directory (default
${XDG_CACHE_HOME:-~/.cache}/nuvaris_qor_router/wordnet128):
    vectors.npy        (N, 128) float32, unit rows, the passages' tokens
    doc_offsets.npy    (n_docs, 2) int64, row range of each passage
    doc_ids.npy        (n_docs,) int64, the synset offsets (unique ids)
    queries.npy        (Q_rows, 128) float32, unit rows
    query_offsets.npy  (n_queries, 2) int64
    relevant.npy       (n_queries,) int64, index of the relevant passage
    exact_top.npy      (n_queries, 100) int64, exact MaxSim top-100 passage
                       indices per query (brute force), best first
    exact_scores.npy   (n_queries, 100) float32, their scores
    texts.jsonl        one JSON line per passage, then per query (to read)
    meta.json          sizes, parameters, seed

    python bench/make_dataset.py [--out DIR] [--passages 20000] [--queries 500]
"""

import argparse
import hashlib
import json
import os
import pathlib
import re
import sys
import time
import zlib

import numpy as np

WORDNET = pathlib.Path("/usr/share/wordnet")
POS_FILES = ("noun", "verb", "adj", "adv")
DIM = 128
SEED = 20240611
MIX = 0.5       # weight of the neighbours' mean in a token's vector
WINDOW = 2      # neighbours on each side mixed into a token's vector
MAX_QUERY_TOKENS = 12
TOP = 100

TOKEN = re.compile(r"[a-z0-9]+(?:'[a-z]+)?")
QUOTED = re.compile(r'"([^"]*)"')


def default_out():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "nuvaris_qor_router" / "wordnet128"


def tokens(text):
    return TOKEN.findall(text.lower().replace("_", " "))


def parse_wordnet():
    """Every synset as a dict: key, words, definition, examples, broader key."""
    synsets = {}
    for pos in POS_FILES:
        with open(WORDNET / f"data.{pos}", encoding="latin-1") as fh:
            for line in fh:
                if line.startswith("  "):
                    continue  # licence header
                fields, _, gloss = line.partition(" | ")
                f = fields.split()
                key = f"{pos}:{f[0]}"
                w_cnt = int(f[3], 16)
                words = [re.sub(r"\(.*\)$", "", f[4 + 2 * i]) for i in range(w_cnt)]
                p = 4 + 2 * w_cnt
                p_cnt = int(f[p])
                broader = None
                for i in range(p_cnt):
                    sym, off, _ppos = f[p + 1 + 4 * i: p + 4 + 4 * i]
                    if broader is None and sym in ("@", "@i", "&"):
                        broader = f"{pos}:{off}"
                examples = [e.strip() for e in QUOTED.findall(gloss) if len(tokens(e)) >= 3]
                definition = QUOTED.sub("", gloss).replace(";", " ").strip()
                synsets[key] = {
                    "id": int(f[0]) * 4 + POS_FILES.index(pos),
                    "words": [w.replace("_", " ") for w in words],
                    "definition": definition,
                    "examples": examples,
                    "broader": broader,
                }
    return synsets


def passage_text(s, synsets, held_out=None):
    parts = [", ".join(s["words"]) + ":", s["definition"] + "."]
    parts += [e + "." for e in s["examples"] if e != held_out]
    # Two levels of broader terms, as an entry that explains its context.
    b = s
    for _ in range(2):
        b = synsets.get(b["broader"]) if b["broader"] else None
        if b is None or b is s:  # an adjective head and its satellite point at each other
            break
        parts.append("a kind of " + ", ".join(b["words"]) + ": " + b["definition"] + ".")
    return " ".join(parts)


def corpus_sentences(synsets):
    for key in sorted(synsets):
        s = synsets[key]
        yield tokens(" ".join(s["words"]) + " " + s["definition"])
        for e in s["examples"]:
            yield tokens(e)


def stable_hash(text):
    # gensim seeds each word's initial vector with hash(word + seed); Python's
    # string hash changes per process, so a fixed function keeps the vectors
    # the same from run to run.
    return zlib.crc32(text.encode("utf-8"))


def train_word_vectors(sentences, epochs):
    from gensim.models import Word2Vec

    model = Word2Vec(
        sentences=sentences, vector_size=DIM, window=5, min_count=1, sg=1, negative=5,
        epochs=epochs, workers=1, seed=SEED, hashfxn=stable_hash,
    )
    wv = model.wv
    unit = wv.vectors / np.linalg.norm(wv.vectors, axis=1, keepdims=True)
    return {w: i for i, w in enumerate(wv.index_to_key)}, unit.astype(np.float32)


def word_vectors(synsets, out, epochs):
    """Trained word vectors, kept in `out` (training is most of the run time)."""
    tag = f"w2v-{DIM}-{epochs}-{SEED}"
    words_file, vec_file = out / f"{tag}.words.json", out / f"{tag}.npy"
    if words_file.exists() and vec_file.exists():
        words = json.loads(words_file.read_text())
        return {w: i for i, w in enumerate(words)}, np.load(vec_file)
    index, unit = train_word_vectors(list(corpus_sentences(synsets)), epochs)
    out.mkdir(parents=True, exist_ok=True)
    np.save(out / f"{tag}.tmp.npy", unit)
    os.replace(out / f"{tag}.tmp.npy", vec_file)
    (out / f"{tag}.words.tmp").write_text(json.dumps(sorted(index, key=index.get)))
    os.replace(out / f"{tag}.words.tmp", words_file)
    return index, unit


def encode(toks, index, unit):
    """Contextual token vectors: own vector plus MIX times the mean of the
    WINDOW neighbours on each side, normalised to unit length."""
    w = unit[[index[t] for t in toks]]
    n = len(toks)
    csum = np.vstack([np.zeros((1, DIM), np.float32), np.cumsum(w, axis=0, dtype=np.float32)])
    lo = np.maximum(np.arange(n) - WINDOW, 0)
    hi = np.minimum(np.arange(n) + WINDOW + 1, n)
    cnt = (hi - lo - 1).astype(np.float32)[:, None]
    ctx = (csum[hi] - csum[lo] - w) / np.maximum(cnt, 1.0)
    v = w + MIX * ctx
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v.astype(np.float32)


def stack(seqs):
    lengths = np.array([len(s) for s in seqs], np.int64)
    ends = np.cumsum(lengths)
    return np.vstack(seqs), np.stack([ends - lengths, ends], axis=1)


def exact_top(x, doc_offsets, q, q_offsets, top):
    """MaxSim of every query against every passage by brute force; the top
    `top` passage indices and scores per query, best first (ties: lower
    index first)."""
    scores = exact_scores(x, doc_offsets, q, q_offsets)
    order = np.argsort(-scores, axis=1, kind="stable")[:, :top]
    return order.astype(np.int64), np.take_along_axis(scores, order, axis=1)


def exact_scores(x, doc_offsets, q, q_offsets, chunk_docs=2000, chunk_bytes=1 << 30):
    """(n_queries, n_docs) float32 MaxSim of every query and passage, at
    most `chunk_docs` passages at a time and fewer when their similarities
    to every query row would exceed `chunk_bytes` (thousands of 32-row
    queries against 2,000 passages would otherwise take over 10 GiB)."""
    n_docs = len(doc_offsets)
    n_q = len(q_offsets)
    scores = np.empty((n_q, n_docs), np.float32)
    q_starts = q_offsets[:, 0]
    mean_rows = max(1.0, float(doc_offsets[-1, 1] - doc_offsets[0, 0]) / max(n_docs, 1))
    chunk_docs = max(1, min(chunk_docs, int(chunk_bytes / (4 * max(len(q), 1) * mean_rows))))
    for lo in range(0, n_docs, chunk_docs):
        hi = min(lo + chunk_docs, n_docs)
        r0, r1 = int(doc_offsets[lo, 0]), int(doc_offsets[hi - 1, 1])
        sim = q @ x[r0:r1].T                                   # (Q_rows, rows)
        mx = np.maximum.reduceat(sim, doc_offsets[lo:hi, 0] - r0, axis=1)
        scores[:, lo:hi] = np.add.reduceat(mx, q_starts, axis=0)
    return scores


def passages_and_queries(synsets, chosen, n_queries, rng):
    """The queries (`n_queries` passages with an example sentence, drawn
    with `rng`: their indices and tokens) and the passages of the synsets
    `chosen` (texts and tokens), each query's example left out of its
    passage."""
    with_examples = [i for i, k in enumerate(chosen) if synsets[k]["examples"]]
    q_docs = sorted(rng.choice(with_examples, n_queries, replace=False).tolist())
    held = {}
    query_toks = []
    for d in q_docs:
        s = synsets[chosen[d]]
        ex = s["examples"][int(rng.integers(len(s["examples"])))]
        held[d] = ex
        query_toks.append(tokens(s["words"][0] + " " + ex)[:MAX_QUERY_TOKENS])
    texts = [passage_text(synsets[k], synsets, held.get(d)) for d, k in enumerate(chosen)]
    return q_docs, query_toks, texts, [tokens(t) for t in texts]


def write_texts(out, texts, doc_ids, q_docs, query_toks):
    """texts.jsonl: one line per passage, then one per query (to read)."""
    with open(out / "texts.jsonl.tmp", "w") as fh:
        for d, t in enumerate(texts):
            fh.write(json.dumps({"passage": d, "id": int(doc_ids[d]), "text": t}) + "\n")
        for i, (d, t) in enumerate(zip(q_docs, query_toks)):
            fh.write(json.dumps({"query": i, "relevant": d, "text": " ".join(t)}) + "\n")
    os.replace(out / "texts.jsonl.tmp", out / "texts.jsonl")


def relevant_ranks(top_idx, relevant):
    """Each query's relevant passage's rank (1-based) in its exact top list, or None."""
    return [int(np.nonzero(top_idx[i] == relevant[i])[0][0]) + 1 if relevant[i] in top_idx[i] else None
            for i in range(len(relevant))]


def token_stats(lengths):
    """min, median, mean and max of token counts, as meta.json gives them."""
    return {"min": int(lengths.min()), "median": float(np.median(lengths)),
            "mean": float(lengths.mean()), "max": int(lengths.max())}


def exact_quality(top_idx, relevant):
    """MRR@10 and success@10 of the exact MaxSim ranking for the relevant passages."""
    found = [r for r in relevant_ranks(top_idx, relevant) if r is not None]
    return {"exact_mrr@10": float(sum(1.0 / r for r in found if r <= 10) / len(relevant)),
            "exact_success@10": float(sum(r <= 10 for r in found) / len(relevant))}


def save_arrays(out, arrays):
    """Each array as out/<name>.npy, renamed into place once written whole."""
    for name, a in arrays.items():
        tmp = out / f"{name}.tmp.npy"
        np.save(tmp, a)
        os.replace(tmp, out / f"{name}.npy")


def write_meta(out, meta):
    """meta.json, written last (a directory without it is incomplete), and printed."""
    tmp = out / "meta.json.tmp"
    tmp.write_text(json.dumps(meta, indent=1) + "\n")
    os.replace(tmp, out / "meta.json")
    print(json.dumps(meta, indent=1))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", type=pathlib.Path, default=default_out())
    ap.add_argument("--passages", type=int, default=20_000)
    ap.add_argument("--queries", type=int, default=500)
    ap.add_argument("--epochs", type=int, default=10)
    args = ap.parse_args()
    if not (WORDNET / "data.noun").exists():
        sys.exit(f"{WORDNET}/data.noun not found: install Debian's wordnet-base")

    t0 = time.perf_counter()
    synsets = parse_wordnet()
    print(f"parsed {len(synsets)} synsets ({time.perf_counter() - t0:.1f} s)", flush=True)

    rng = np.random.default_rng(SEED)
    keys = sorted(synsets)
    chosen = [keys[i] for i in sorted(rng.choice(len(keys), args.passages, replace=False))]
    q_docs, query_toks, texts, passage_toks = passages_and_queries(synsets, chosen, args.queries, rng)

    t1 = time.perf_counter()
    index, unit = word_vectors(synsets, args.out, args.epochs)
    print(f"word2vec: {len(index)} words x {DIM} ({time.perf_counter() - t1:.1f} s)", flush=True)

    x, doc_offsets = stack([encode(t, index, unit) for t in passage_toks])
    q, q_offsets = stack([encode(t, index, unit) for t in query_toks])
    relevant = np.array(q_docs, np.int64)
    doc_ids = np.array([synsets[k]["id"] for k in chosen], np.int64)
    assert len(set(doc_ids.tolist())) == len(doc_ids)

    t2 = time.perf_counter()
    top_idx, top_scores = exact_top(x, doc_offsets, q, q_offsets, TOP)
    print(f"exact MaxSim top-{TOP}: {time.perf_counter() - t2:.1f} s", flush=True)

    args.out.mkdir(parents=True, exist_ok=True)
    # meta.json is written last: a directory without it is incomplete.
    (args.out / "meta.json").unlink(missing_ok=True)
    save_arrays(args.out, {
        "vectors": x, "doc_offsets": doc_offsets, "doc_ids": doc_ids, "queries": q,
        "query_offsets": q_offsets, "relevant": relevant, "exact_top": top_idx,
        "exact_scores": top_scores,
    })
    write_texts(args.out, texts, doc_ids, q_docs, query_toks)

    meta = {
        "source": "WordNet 3.0 (Debian wordnet-base, /usr/share/wordnet)",
        "seed": SEED, "dim": DIM, "epochs": args.epochs, "mix": MIX, "window": WINDOW,
        "n_passages": len(doc_offsets), "n_vectors": len(x),
        "passage_tokens": token_stats(doc_offsets[:, 1] - doc_offsets[:, 0]),
        "n_queries": len(q_offsets), "query_rows": len(q),
        "query_tokens": token_stats(q_offsets[:, 1] - q_offsets[:, 0]),
        **exact_quality(top_idx, relevant),
        "vectors_sha256": hashlib.sha256(x.tobytes()).hexdigest(),
        "seconds": round(time.perf_counter() - t0, 1),
    }
    write_meta(args.out, meta)
    size = sum(p.stat().st_size for p in args.out.iterdir() if p.is_file())
    print(f"written to {args.out}: {size / 2**20:.1f} MiB "
          f"({meta['n_passages']} passages, {meta['n_vectors']} token vectors, "
          f"{meta['n_queries']} queries)")


if __name__ == "__main__":
    main()
