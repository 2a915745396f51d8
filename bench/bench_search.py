"""End-to-end search on the WordNet collection (make dataset): the router's
candidates reranked by exact MaxSim, against an exact scan of the whole
collection and against a token-level IVF index (faiss IndexIVFFlat) whose
retrieved tokens name the candidates, reranked the same way.

For every router build in the grid (n_fine, n_coarse, ctop_r): build time,
bytes per vector (state file + float32 store), and for every n_probes and
candidate count: route and search latency (median, p95 over the timed
queries), the candidate share (candidates / collection), recall@10 of the
final top 10 against the exact MaxSim top 10, and MRR@10 / success@10 of
each query's known relevant passage. The row with candidates "all" routes
without a cut (every document of the query's C_top clusters): its recall is
the cap that no candidate count can pass at that n_probes.

Recall uses every query; latencies use every `--time-every`-th query, each
timed `--reps` times (median of the repetitions, then median and p95 over
queries). The exact scan runs on the same cores in the same process, timed
again before each block of rows: a row's speed-up divides that scan's
median by the row's median search latency.
Routers are cached beside the data set (routers/), keyed by parameters and
the data set's checksum, with their measured build time.

    make bench-search                    # or:
    .venv/bin/python bench/bench_search.py --data DIR [--n-fine 256,1024,4096]
"""

import argparse
import json
import os
import pathlib
import sys
import time

import numpy as np

from nuvaris_qor_router import PyQorRouter
from nuvaris_qor_search import Retriever
from nuvaris_qor_search.store import VectorStore

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from make_dataset import default_out, exact_scores
from peers import build_ivf_flat
from run_note import run_note

K = 10


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def ints(text):
    return [int(t) for t in text.split(",") if t]


def load_data(path):
    meta_file = path / "meta.json"
    if not meta_file.exists():
        sys.exit(f"no data set in {path}: run `make dataset` first")
    meta = json.loads(meta_file.read_text())
    d = {name: np.load(path / f"{name}.npy") for name in (
        "vectors", "doc_offsets", "doc_ids", "queries", "query_offsets", "relevant",
        "exact_top", "exact_scores")}
    d["meta"] = meta
    # Exact MaxSim of every query and passage (the rerank of any candidate
    # set is read from it), cached beside the data set.
    cache = path / "routers" / f"scores-{meta['vectors_sha256'][:12]}.npy"
    if cache.exists():
        d["scores"] = np.load(cache)
    else:
        log("exact MaxSim of every query and passage ...")
        d["scores"] = exact_scores(d["vectors"], d["doc_offsets"], d["queries"], d["query_offsets"])
        cache.parent.mkdir(parents=True, exist_ok=True)
        np.save(cache, d["scores"])
    d["query_list"] = [np.ascontiguousarray(d["queries"][a:b]) for a, b in d["query_offsets"]]
    return d


def make_store(d):
    offsets = np.concatenate([d["doc_offsets"][:, 0], d["doc_offsets"][-1:, 1]]).astype(np.int64)
    ids = np.arange(len(d["doc_offsets"]), dtype=np.uint64)  # results are passage indices
    return VectorStore(d["vectors"], offsets, ids)


def router_for(d, cache, n_fine, n_coarse, ctop_r, iters):
    """A built router (from the cache when there) and its build seconds."""
    tag = f"f{n_fine}-c{n_coarse}-r{ctop_r}-i{iters}-{d['meta']['vectors_sha256'][:12]}"
    path, info_path = cache / f"{tag}.qor", cache / f"{tag}.json"
    if path.exists() and info_path.exists():
        router = PyQorRouter(d["vectors"].shape[1])
        router.load(str(path))
        return router, json.loads(info_path.read_text())["build_s"], path.stat().st_size, True
    router = PyQorRouter(d["vectors"].shape[1])
    n = len(d["doc_offsets"])
    log(f"building n_fine={n_fine} n_coarse={n_coarse} ctop_r={ctop_r} ...")
    t = time.perf_counter()
    router.build(d["vectors"], list(range(n)), [tuple(map(int, p)) for p in d["doc_offsets"]],
                 n_fine=n_fine, n_coarse=n_coarse, max_kmeans_iter=iters, ctop_r=ctop_r)
    build_s = time.perf_counter() - t
    log(f"  built in {build_s:.1f} s")
    cache.mkdir(parents=True, exist_ok=True)
    router.save(str(path))
    info_path.write_text(json.dumps({"build_s": build_s}))
    return router, build_s, path.stat().st_size, False


def timed(fn, reps):
    best = []
    out = None
    for _ in range(reps):
        t = time.perf_counter()
        out = fn()
        best.append(time.perf_counter() - t)
    return out, float(np.median(best))


def top10(scores_row, cand):
    """The exact MaxSim top 10 among candidate passage indices, best first,
    equal scores by lower index: what an exact rerank of `cand` returns."""
    cand = np.asarray(cand, np.int64)
    return cand[np.lexsort((cand, -scores_row[cand]))][:K].tolist()


def quality(found, d):
    """recall@10 against the exact top 10, MRR@10 and success@10 of the
    relevant passage, averaged over queries; found: list of top-10 lists."""
    rec, rr, hit = [], [], []
    for i, top in enumerate(found):
        exact = set(d["exact_top"][i, :K].tolist())
        rec.append(len(exact.intersection(top)) / K)
        rel = int(d["relevant"][i])
        rank = top.index(rel) + 1 if rel in top else 0
        rr.append(1.0 / rank if rank else 0.0)
        hit.append(1.0 if rank else 0.0)
    return float(np.mean(rec)), float(np.mean(rr)), float(np.mean(hit))


def ms(xs):
    return float(np.median(xs)) * 1e3, float(np.percentile(xs, 95)) * 1e3


def exact_scan(d, timed_q, reps):
    """The baseline: an exact MaxSim scan of the whole collection (BLAS over
    the contiguous matrix, a block of passages at a time) for each timed
    query; its top 10s and seconds."""
    found, secs = [], []
    one = np.zeros((1, 2), np.int64)
    for i in timed_q:
        q = d["query_list"][i]
        one[0, 1] = len(q)

        def scan():
            sc = exact_scores(d["vectors"], d["doc_offsets"], q, one)[0]
            return np.argsort(-sc, kind="stable")[:K].tolist()

        top, t = timed(scan, reps)
        found.append(top)
        secs.append(t)
    return found, secs


def block_exact_ms(d, timed_q, args):
    """The exact scan timed again beside each block of rows, so a row's
    speed-up compares figures taken under the same machine load."""
    _, secs = exact_scan(d, timed_q, args.reps)
    return float(np.median(secs)) * 1e3


def router_rows(d, retr, build, args, timed_q, results):
    n_docs = len(d["doc_offsets"])
    queries, scores = d["query_list"], d["scores"]
    max_c = max(args.candidates)
    for n_probes in args.n_probes:
        exact_ms = block_exact_ms(d, timed_q, args)
        # Candidates before any cut: the cap of this n_probes.
        full = [[doc for doc, _ in retr.route_query(q, n_probes, n_docs)] for q in queries]
        routed = [[doc for doc, _ in retr.route_query(q, n_probes, max_c)] for q in queries]
        bad = sum(f[:len(r)] != r for f, r in zip(full, routed))
        if bad:
            log(f"  note: {bad} queries' cut list is not a prefix of the uncut list")
        for c in [*args.candidates, None]:
            cand = full if c is None else [r[:c] for r in routed]
            found = [top10(scores[i], cd) for i, cd in enumerate(cand)]
            rec, mrr, succ = quality(found, d)
            share = float(np.mean([len(cd) for cd in cand])) / n_docs
            cc = n_docs if c is None else c
            t_route, t_search = [], []
            for i in timed_q:
                q = queries[i]
                _, tr = timed(lambda: retr.route_query(q, n_probes, cc), args.reps)
                hits, ts = timed(lambda: retr.search(q, K, n_probes=n_probes, candidates=cc), args.reps)
                CHECK[0] += 1
                got = [doc for doc, _ in hits]
                # equal, or different only among scores within float32 rounding
                # (passages that share text tie up to the summation order)
                CHECK[1] += got == found[i] or (
                    len(got) == len(found[i])
                    and np.allclose(scores[i][got], scores[i][found[i]], rtol=0, atol=1e-5))
                t_route.append(tr)
                t_search.append(ts)
            row = dict(build, n_probes=n_probes, candidates="all" if c is None else c, exact_ms=exact_ms,
                       share=share, recall=rec, mrr=mrr, success=succ,
                       route_ms=ms(t_route), search_ms=ms(t_search))
            results.append(row)
            print_row(row, flush=True)


def ivf_rows(d, retr, args, timed_q, results):
    import faiss

    x = d["vectors"]
    n_docs = len(d["doc_offsets"])
    offsets = np.concatenate([d["doc_offsets"][:, 0], d["doc_offsets"][-1:, 1]]).astype(np.int64)
    queries, scores = d["query_list"], d["scores"]
    for nlist in args.ivf_nlist:
        faiss.omp_set_num_threads(os.cpu_count() or 1)
        peer = build_ivf_flat(x, offsets, nlist)
        index, row_doc, build_s = peer.index, peer.row_doc, peer.build_s
        log(f"faiss IVFFlat nlist={nlist}: {build_s:.1f} s")
        # One query's few rows gain nothing from OpenMP threads, and their
        # hand-offs cost tens of milliseconds on busy cores.
        faiss.omp_set_num_threads(1)
        # inverted lists: the float32 vector and an int64 id per vector, plus
        # the centroids; the same float32 store serves the rerank
        bpv = (x.shape[1] * 4 + 8) + nlist * x.shape[1] * 4 / len(x) + x.shape[1] * 4
        for nprobe in args.ivf_nprobe:
            index.nprobe = nprobe
            exact_ms = block_exact_ms(d, timed_q, args)
            for k_tok in args.ivf_k:
                def cands(q):
                    _, labels = index.search(q, k_tok)
                    return np.unique(row_doc[labels[labels >= 0]])

                cand = [cands(q) for q in queries]
                found = [top10(scores[i], cd) for i, cd in enumerate(cand)]
                rec, mrr, succ = quality(found, d)
                t_route, t_search = [], []
                for i in timed_q:
                    q = queries[i]
                    _, tr = timed(lambda: cands(q), args.reps)
                    _, ts = timed(lambda: retr.rerank(q, cands(q), K), args.reps)
                    t_route.append(tr)
                    t_search.append(ts)
                row = dict(method="ivf", n_fine=nlist, n_coarse="-", ctop_r="-", build_s=build_s,
                           bytes_per_vector=bpv, n_probes=nprobe, candidates=f"k{k_tok}", exact_ms=exact_ms,
                           share=float(np.mean([len(c) for c in cand])) / n_docs, recall=rec, mrr=mrr,
                           success=succ, route_ms=ms(t_route), search_ms=ms(t_search))
                results.append(row)
                print_row(row, flush=True)


CHECK = [0, 0]  # timed searches, and those whose top 10 matched the scan's


HEADER = (f"{'method':<6} {'n_fine':>6} {'n_coarse':>8} {'ctop_r':>6} {'build s':>8} {'B/vec':>6} "
          f"{'probes':>6} {'cands':>6} {'share':>6} {'rec@10':>6} {'MRR':>5} {'succ':>5} "
          f"{'route ms':>9} {'p95':>6} {'search ms':>9} {'p95':>6} {'exact ms':>8} {'speed-up':>8}")


def print_row(r, flush=False):
    exact_ms = r.get("exact_ms", EXACT_MS[0])
    print(f"{r['method']:<6} {r['n_fine']:>6} {r['n_coarse']!s:>8} {r['ctop_r']!s:>6} {r['build_s']:>8.1f} "
          f"{r['bytes_per_vector']:>6.0f} {r['n_probes']:>6} {r['candidates']!s:>6} {r['share']:>6.3f} "
          f"{r['recall']:>6.3f} {r['mrr']:>5.3f} {r['success']:>5.3f} {r['route_ms'][0]:>9.2f} "
          f"{r['route_ms'][1]:>6.2f} {r['search_ms'][0]:>9.2f} {r['search_ms'][1]:>6.2f} "
          f"{exact_ms:>8.1f} {exact_ms / r['search_ms'][0]:>7.1f}x", flush=flush)


EXACT_MS = [1.0]


def markdown(saved, probes):
    """The guide's table from a saved --json run: every row at the given
    n_probes values, plus every IVF row."""
    lines = ["| method | n_fine / nlist | n_coarse | ctop_r | build s | bytes/vector | n_probes / nprobe "
             "| candidates | share | recall@10 | MRR@10 | success@10 | route ms (p95) | search ms (p95) "
             "| vs exact scan |",
             "|" + "---|" * 15]
    for r in saved["rows"]:
        if r["method"] == "router" and r["n_probes"] not in probes:
            continue
        lines.append(
            f"| {r['method']} | {r['n_fine']} | {r['n_coarse']} | {r['ctop_r']} | {r['build_s']:.0f} "
            f"| {r['bytes_per_vector']:.0f} | {r['n_probes']} | {r['candidates']} | {r['share']:.3f} "
            f"| {r['recall']:.3f} | {r['mrr']:.3f} | {r['success']:.3f} "
            f"| {r['route_ms'][0]:.1f} ({r['route_ms'][1]:.1f}) | {r['search_ms'][0]:.1f} ({r['search_ms'][1]:.1f}) "
            f"| {r.get('exact_ms', saved['exact_ms']) / r['search_ms'][0]:.1f}x |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--data", type=pathlib.Path, default=default_out())
    ap.add_argument("--n-fine", type=ints, default=[256, 1024, 4096])
    ap.add_argument("--n-coarse", type=ints, default=[32])
    ap.add_argument("--ctop-r", type=ints, default=[3, 6])
    ap.add_argument("--extra-builds", default="1024:128:3",
                    help="more n_fine:n_coarse:ctop_r builds beside the grid")
    ap.add_argument("--max-kmeans-iter", type=int, default=30)
    ap.add_argument("--n-probes", type=ints, default=[2, 4, 8])
    ap.add_argument("--candidates", type=ints, default=[100, 250, 500, 1000, 2000, 4000])
    ap.add_argument("--ivf-nlist", type=ints, default=[1024])
    ap.add_argument("--ivf-nprobe", type=ints, default=[4, 16, 64])
    ap.add_argument("--ivf-k", type=ints, default=[32, 128, 512])
    ap.add_argument("--time-every", type=int, default=10, help="time every n-th query")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--json", type=pathlib.Path, help="also write every row here")
    ap.add_argument("--markdown", type=pathlib.Path,
                    help="print the table of a saved --json run as Markdown and stop")
    ap.add_argument("--markdown-probes", type=ints, default=[2, 4, 8])
    args = ap.parse_args()
    if args.markdown:
        print(markdown(json.loads(args.markdown.read_text()), args.markdown_probes))
        return
    print(run_note(), flush=True)

    d = load_data(args.data)
    m = d["meta"]
    n_docs, n_vec = m["n_passages"], m["n_vectors"]
    print(f"collection: {n_docs} passages, {n_vec} token vectors x {m['dim']} "
          f"(median {m['passage_tokens']['median']:.0f} tokens), {m['n_queries']} queries "
          f"(median {m['query_tokens']['median']:.0f} tokens); threads: "
          f"{os.environ.get('RAYON_NUM_THREADS', 'all available')}, {os.cpu_count()} CPUs")
    store = make_store(d)
    store_bytes = d["vectors"].nbytes + store.offsets.nbytes + store.ids.nbytes
    timed_q = list(range(0, len(d["query_list"]), args.time_every))

    # The baseline: an exact MaxSim scan of the whole collection.
    grid = [(f, c, r) for f in args.n_fine for c in args.n_coarse for r in args.ctop_r]
    builds = list(grid)  # the IVF peer runs after these, then the extra builds
    builds += [tuple(ints(b.replace(":", ","))) for b in args.extra_builds.split(",") if b]
    results = []
    first = None
    for bi, (n_fine, n_coarse, ctop_r) in enumerate(builds):
        router, build_s, state_bytes, _cached = router_for(
            d, args.data / "routers", n_fine, n_coarse, ctop_r, args.max_kmeans_iter)
        retr = Retriever(router, store)
        if first is None:
            first = retr
            exact_found, t_exact = exact_scan(d, timed_q, args.reps)
            agree = np.mean([len(set(f) & set(d["exact_top"][i, :K].tolist())) / K
                             for f, i in zip(exact_found, timed_q)])
            EXACT_MS[0] = float(np.median(t_exact)) * 1e3
            print(
                f"exact scan (BLAS over the whole matrix): median {EXACT_MS[0]:.1f} ms, "
                f"p95 {np.percentile(t_exact, 95) * 1e3:.1f} ms "
                f"per query (agreement with the stored exact top 10: {agree:.3f}); "
                f"exact MRR@10 {m['exact_mrr@10']:.3f}, success@10 {m['exact_success@10']:.3f}"
            )
            print(HEADER, flush=True)
        build = dict(method="router", n_fine=router.n_fine(), n_coarse=router.n_coarse(), ctop_r=ctop_r,
                     build_s=build_s, bytes_per_vector=(state_bytes + store_bytes) / n_vec)
        router_rows(d, retr, build, args, timed_q, results)
        if bi == len(grid) - 1:
            ivf_rows(d, first, args, timed_q, results)

    print("\nsummary: the setting with the largest speed-up that reaches each recall@10 target")
    for method in ("router", "ivf"):
        if not any(r["method"] == method for r in results):
            continue
        for target in (0.8, 0.9, 0.95):
            ok = [r for r in results if r["method"] == method and r["recall"] >= target]
            if ok:
                best = max(ok, key=lambda r: r.get("exact_ms", EXACT_MS[0]) / r["search_ms"][0])
                print(f"  {method:<6} >= {target:.2f}: ", end="")
                print_row(best)
            else:
                top = max((r for r in results if r["method"] == method), key=lambda r: r["recall"])
                print(f"  {method:<6} >= {target:.2f}: not reached; best recall {top['recall']:.3f}")
    print(f"\ntimed searches whose top 10 equals the exact scan's among the same candidates "
          f"(up to ties within 1e-5): "
          f"{CHECK[1]} of {CHECK[0]}")
    if args.json:
        args.json.write_text(json.dumps({"exact_ms": EXACT_MS[0], "meta": m, "rows": results}, indent=1))


if __name__ == "__main__":
    main()
