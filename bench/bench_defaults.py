"""recall@10 against speed-up of `Retriever.search` on the two realistic
collections (make dataset, make dataset-transformer), for queries of about 8
tokens and of 32 tokens: the package's defaults (a router built as
`Retriever.build` builds it when given no parameters, searched with no
n_probes or candidates), a curve of candidate counts around them, the
parameter guide's settings, and the token-level IVF peer (faiss
IndexIVFFlat: each query row's nearest tokens name the candidates, reranked
the same way).

recall@10: the share of the exact MaxSim top 10 (a scan of every passage)
in the returned top 10, over all queries; for the defaults point it comes
from `search` itself, for the curves from the router's candidate lists
reranked by the exact scores (the same thing; checked on the timed
queries). Speed-up: the exact scan's median time over the timed queries
divided by the setting's median search time, both measured in the same run
on the same cores, the scan timed again before each setting. The exact scan is
one BLAS product over the whole contiguous matrix, a block of passages at a
time (as bench_search.py times it); the package's own exact scan (`rerank(q)`
with no documents: the native MaxSim over every passage, on the package's
threads) is timed beside it and its ratio printed too.

The 32-token queries of the transformer set are its [MASK]-augmented form;
the word-vector set has no such token, so its 32-token queries repeat each
query's rows in order up to 32 (the same terms weighted by repetition).

    .venv/bin/python bench/bench_defaults.py [--words DIR] [--transformer DIR] \
        [--json out.json] [--plot docs/recall_speedup.png]
    .venv/bin/python bench/bench_defaults.py --replot a.json [b.json] --plot docs/recall_speedup.png
    .venv/bin/python bench/bench_defaults.py --replot a.json [b.json]     # the rows as a Markdown table
"""

import argparse
import json
import os
import pathlib
import sys
import time

import numpy as np

from nuvaris_qor_search import Retriever, _defaults
from nuvaris_qor_search.store import VectorStore

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_compressed
import bench_search as bs
from make_dataset import default_out, exact_scores
from make_dataset_transformer import default_transformer_out

K = 10
QLEN = 32
SHARES = (0.025, 0.05, 0.075, 0.1, 0.15)
GUIDE = ("256:32:3", "1024:32:6")  # the guide's former default and its best 1,024 setting
GUIDE_CANDIDATES = (250, 500, 1000, 2000, 4000)
IVF_K = (16, 32, 64, 128, 256)
CODE_PROBES = (1, 2, 3, 4)


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def load(path):
    """A collection and its two query sets, each with every query's exact
    MaxSim of every passage (cached beside the data set)."""
    m = json.loads((path / "meta.json").read_text())
    d = {"meta": m, "name": path.name}
    for name in ("vectors", "doc_offsets", "queries", "query_offsets"):
        d[name] = np.load(path / f"{name}.npy", mmap_mode="r" if name == "vectors" else None)
    short = [np.ascontiguousarray(d["queries"][a:b]) for a, b in d["query_offsets"]]
    if (path / "queries32.npy").exists():
        q32, off32 = np.load(path / "queries32.npy"), np.load(path / "query32_offsets.npy")
        long = [np.ascontiguousarray(q32[a:b]) for a, b in off32]
    else:
        long = [np.ascontiguousarray(q[np.arange(QLEN) % len(q)]) for q in short]
    d["sets"] = {}
    for label, qs in (("8", short), ("32", long)):
        cache = path / "routers" / f"scores{label}-{m['vectors_sha256'][:12]}.npy"
        if cache.exists():
            scores = np.load(cache)
        else:
            log(f"{path.name}: exact MaxSim of every {label}-token query and passage ...")
            lens = np.array([len(q) for q in qs])
            ends = np.cumsum(lens)
            scores = exact_scores(np.asarray(d["vectors"]), d["doc_offsets"], np.vstack(qs),
                                  np.stack([ends - lens, ends], axis=1))
            cache.parent.mkdir(parents=True, exist_ok=True)
            np.save(cache, scores)
        exact = [bs.top10(scores[i], np.arange(scores.shape[1])) for i in range(len(qs))]
        d["sets"][label] = {"queries": qs, "scores": scores, "exact": exact,
                            "rows": float(np.median([len(q) for q in qs]))}
    return d


def recall(found, exact):
    return float(np.mean([len(set(f) & set(e)) / K for f, e in zip(found, exact)]))


def median_time(fn, reps):
    ts = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t)
    return float(np.median(ts))


def scan_ms(retr, d, qset, timed_q, reps):
    """Median ms of the two exact scans over the timed queries."""
    one = np.zeros((1, 2), np.int64)
    native, blas = [], []
    for i in timed_q:
        q = qset["queries"][i]
        one[0, 1] = len(q)
        native.append(median_time(lambda: retr.rerank(q, None, K), reps))
        blas.append(median_time(lambda: np.argsort(-exact_scores(d["vectors"], d["doc_offsets"], q, one)[0])[:K],
                                reps))
    return float(np.median(native)) * 1e3, float(np.median(blas)) * 1e3


def point(d, label, qset, setting, cands, found, search_fn, scans, timed_q, reps):
    ms = float(np.median([median_time(lambda: search_fn(qset["queries"][i]), reps) for i in timed_q])) * 1e3
    n_docs = len(d["doc_offsets"])
    row = dict(set=d["name"], queries=label, setting=setting, candidates=cands,
               share=cands / n_docs if isinstance(cands, int) else None, recall=recall(found, qset["exact"]),
               search_ms=ms, native_scan_ms=scans[0], blas_scan_ms=scans[1], speedup=scans[1] / ms,
               speedup_native=scans[0] / ms)
    print(f"{row['set']:<11} {label:>3} {setting:<32} {cands!s:>6} {row['recall']:>7.3f} {ms:>9.2f} "
          f"{scans[1]:>9.1f} {scans[0]:>9.1f} {row['speedup']:>7.1f}x {row['speedup_native']:>7.1f}x", flush=True)
    return row


def router_rows(d, retr, setting, n_probes, counts, args, timed_q, rows, defaults=None, coded=None):
    for label, qset in d["sets"].items():
        scans = scan_ms(retr, d, qset, timed_q, args.reps)
        qs, scores = qset["queries"], qset["scores"]
        if coded is not None:
            found = [[doc for doc, _ in coded.search(q, K)] for q in qs]
            rows.append(point(d, label, qset, "codes 2-bit (defaults)", "tokens", found,
                              lambda q: coded.search(q, K), scans, timed_q, args.reps))
            for probe in CODE_PROBES:
                found = [[doc for doc, _ in coded.search(q, K, candidates=0, probe=probe)] for q in qs]
                code_setting = f"codes 2-bit, token probe p, rerank {_defaults.RERANK}"
                rows.append(point(d, label, qset, code_setting, f"p{probe}", found,
                                  lambda q, p=probe: coded.search(q, K, candidates=0, probe=p), scans, timed_q,
                                  args.reps))
        if defaults is not None:
            found = [[doc for doc, _ in retr.search(q, K)] for q in qs]
            rows.append(point(d, label, qset, setting + " (former defaults)", defaults, found,
                              lambda q: retr.search(q, K), scans, timed_q, args.reps))
        routed = [[doc for doc, _ in retr.route_query(q, n_probes, max(counts))] for q in qs]
        for c in counts:
            found = [bs.top10(scores[i], r[:c]) for i, r in enumerate(routed)]
            rows.append(point(d, label, qset, setting, c, found,
                              lambda q, c=c: retr.search(q, K, n_probes=n_probes, candidates=c),
                              scans, timed_q, args.reps))


def ivf_rows(d, retr, args, timed_q, rows):
    import faiss

    x = np.asarray(d["vectors"])
    row_doc = np.repeat(np.arange(len(d["doc_offsets"])), d["doc_offsets"][:, 1] - d["doc_offsets"][:, 0])
    faiss.omp_set_num_threads(os.cpu_count() or 1)
    index = faiss.IndexIVFFlat(faiss.IndexFlatIP(x.shape[1]), x.shape[1], args.ivf_nlist, faiss.METRIC_INNER_PRODUCT)
    index.train(x)
    index.add(x)
    faiss.omp_set_num_threads(1)  # one query's few rows gain nothing from OpenMP hand-offs
    index.nprobe = args.ivf_nprobe
    setting = f"ivf nlist {args.ivf_nlist} nprobe {args.ivf_nprobe}"
    for label, qset in d["sets"].items():
        scans = scan_ms(retr, d, qset, timed_q, args.reps)
        for k_tok in IVF_K:
            def cands(q):
                _, labels = index.search(q, k_tok)
                return np.unique(row_doc[labels[labels >= 0]])

            found = [bs.top10(qset["scores"][i], cands(q)) for i, q in enumerate(qset["queries"])]
            rows.append(point(d, label, qset, setting, f"k{k_tok}", found,
                              lambda q: retr.rerank(q, cands(q), K), scans, timed_q, args.reps))


def run_set(path, args, rows):
    d = load(path)
    m = d["meta"]
    n_docs, n_vec, dim = m["n_passages"], m["n_vectors"], m["dim"]
    offsets = np.concatenate([d["doc_offsets"][:, 0], d["doc_offsets"][-1:, 1]]).astype(np.int64)
    store = VectorStore(np.asarray(d["vectors"]), offsets, np.arange(n_docs, dtype=np.uint64))
    timed_q = list(range(0, len(d["query_offsets"]), args.time_every))
    print(f"{path.name}: {n_docs} passages, {n_vec} vectors x {dim}; queries: "
          + ", ".join(f"{k} ({v['rows']:.0f} rows median)" for k, v in d["sets"].items())
          + f"; load average {os.getloadavg()[0]:.1f}", flush=True)
    rp = _defaults.router_params(n_vec, n_docs, dim)
    sp = _defaults.search_params(n_vec, n_docs, dim)  # without codes: the former defaults
    print(f"defaults: {rp}, {sp}", flush=True)
    print(f"{'set':<11} {'Q':>3} {'setting':<32} {'cands':>6} {'rec@10':>7} {'search ms':>9} "
          f"{'scan ms':>9} {'native ms':>9} {'speed-up':>8} {'native':>8}", flush=True)
    cache = path / "routers"
    builds = [(f"{rp.n_fine}:{rp.n_coarse}:{rp.ctop_r}", sp)] + [(g, None) for g in args.guide]
    for triple, defaults in builds:
        f, c, r = (int(t) for t in triple.split(":"))
        router, _, _, _ = bs.router_for(d, cache, f, c, r, 30)
        retr = Retriever(router, store)
        setting = f"router {f}/{c}/{r} p{_defaults.N_PROBES}"
        if defaults is not None:
            coll = {"meta": m, "vectors": d["vectors"], "offsets": offsets}
            codes, _ = bench_compressed.codes_for(coll, cache, router, 2)
            coded = Retriever(router, store, codes=codes)
            counts = sorted({max(K, round(s * n_docs)) for s in SHARES} | {defaults.candidates})
            router_rows(d, retr, setting, defaults.n_probes, counts, args, timed_q, rows, defaults.candidates, coded)
        else:
            router_rows(d, retr, setting, _defaults.N_PROBES, list(GUIDE_CANDIDATES), args, timed_q, rows)
    if args.ivf_nlist:
        ivf_rows(d, retr, args, timed_q, rows)


def plot(rows, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sets = sorted({r["set"] for r in rows}, reverse=True)
    settings = list(dict.fromkeys(r["setting"] for r in rows if "(defaults)" not in r["setting"]))
    colour = {name: f"C{i}" for i, name in enumerate(settings)}  # one colour per setting in every panel
    fig, axes = plt.subplots(len(sets), 2, figsize=(11, 4.2 * len(sets)), squeeze=False)
    for si, s in enumerate(sets):
        for qi, label in enumerate(("8", "32")):
            ax = axes[si][qi]
            mine = [r for r in rows if r["set"] == s and r["queries"] == label]
            for setting in dict.fromkeys(r["setting"] for r in mine if "(defaults)" not in r["setting"]):
                pts = sorted((r["speedup"], r["recall"]) for r in mine if r["setting"] == setting)
                ax.plot(*zip(*pts), marker="o", ms=3, label=setting, color=colour[setting])
            for r in mine:
                if "(defaults)" in r["setting"]:
                    ax.plot(r["speedup"], r["recall"], "r*", ms=14, label="defaults", zorder=5)
            ax.axhline(0.9, ls="--", c="grey", lw=0.8)
            ax.axvline(10, ls="--", c="grey", lw=0.8)
            ax.set_xscale("log")
            ax.set_ylim(0.3, 1.0)
            ax.set_xlabel("speed-up over the exact scan")
            ax.set_ylabel("recall@10")
            kind = "short queries (about 8 tokens)" if label == "8" else "32-token queries"
            ax.set_title(f"{s}, {kind}", fontsize=10)
            ax.grid(True, which="both", lw=0.3)
            ax.legend(fontsize=7, loc="lower left")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    log(f"plot written to {out}")


def markdown(rows):
    lines = ["| collection | query tokens | setting | candidates | recall@10 | search ms | exact scan ms "
             "| speed-up | native scan ms | speed-up over it |", "|" + "---|" * 10]
    for r in rows:
        lines.append(f"| {r['set']} | {r['queries']} | {r['setting']} | {r['candidates']} | {r['recall']:.3f} "
                     f"| {r['search_ms']:.1f} | {r['blas_scan_ms']:.0f} | {r['speedup']:.1f}x "
                     f"| {r['native_scan_ms']:.0f} | {r['speedup_native']:.1f}x |")
    return "\n".join(lines)


def merged(paths):
    """The rows of saved runs; a row measured again in a later file (the
    same setting and candidate count, or the defaults of the same set and
    query length) replaces the earlier one."""
    out = {}
    for p in paths:
        for r in json.loads(p.read_text())["rows"]:
            defaults = r["setting"].endswith("(defaults)")
            out[(r["set"], r["queries"], "defaults" if defaults else r["setting"],
                 None if defaults else r["candidates"])] = r
    return list(out.values())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--words", type=pathlib.Path, default=default_out())
    ap.add_argument("--transformer", type=pathlib.Path, default=default_transformer_out())
    ap.add_argument("--sets", default="words,transformer")
    ap.add_argument("--guide", type=lambda s: [t for t in s.split(",") if t], default=list(GUIDE))
    ap.add_argument("--ivf-nlist", type=int, default=1024, help="0: no IVF peer")
    ap.add_argument("--ivf-nprobe", type=int, default=4)
    ap.add_argument("--time-every", type=int, default=10)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--json", type=pathlib.Path)
    ap.add_argument("--plot", type=pathlib.Path)
    ap.add_argument("--replot", type=pathlib.Path, nargs="+", help="draw the plot of saved --json runs and stop")
    args = ap.parse_args()
    if args.replot and not args.plot:
        print(markdown(merged(args.replot)))
        return
    if args.replot:
        plot(merged(args.replot), args.plot)
        return
    rows = []
    for name in args.sets.split(","):
        path = {"words": args.words, "transformer": args.transformer}[name]
        if not (path / "meta.json").exists():
            sys.exit(f"no data set in {path}: run `make dataset` / `make dataset-transformer` first")
        run_set(path, args, rows)
    print("\nthe defaults (speed-up over the BLAS scan; over the native scan):")
    for name in dict.fromkeys(r["set"] for r in rows):
        d8, d32 = ([r for r in rows if r["set"] == name and r["queries"] == q and "(defaults)" in r["setting"]]
                   for q in ("8", "32"))
        for r in d8 + d32:
            print(f"  {name:<11} {r['queries']:>2}-token queries: recall@10 {r['recall']:.3f}, "
                  f"{r['candidates']} candidates, search {r['search_ms']:.2f} ms, "
                  f"{r['speedup']:.1f}x ({r['speedup_native']:.1f}x)")
        if d8 and d32:
            print(f"  {name:<11} 32-token search / 8-token search: {d32[0]['search_ms'] / d8[0]['search_ms']:.2f}")
    if args.json:
        args.json.write_text(json.dumps({"load": os.getloadavg(), "cpus": os.cpu_count(), "rows": rows}, indent=1))
    if args.plot:
        plot(rows, args.plot)


if __name__ == "__main__":
    main()
