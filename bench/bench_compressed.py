"""The compressed search on realistic collections: `Retriever` with token
codes at b = 1, 2 and 4 bits per dimension, codes only and codes + exact
rerank, against token-level faiss peers (IVF-Flat, IVF-PQ at about the
same bytes per vector; bench/peers.py) and PLAID (bench/peer_plaid.py, run
by the separate venv of `make bench-plaid-venv` when it exists), in the
same run.

recall@10: the share of the exact MaxSim top 10 (exact_top.npy of the
collection, brute force) in the returned top 10, over every query. Speed-up:
the median time of the native exact scan (exact MaxSim of every passage on
the package's pool) over the timed queries, each scanned right before it is
searched, divided by the setting's median search time: two medians taken
under the same load. Each Retriever setting is `search(q, 10, probe=p,
rerank=R, candidates=0)`: the documents under each query row's p nearest
fine centroids, scored on their codes, the best R rescored exactly from the
float store (R = 0: the codes' scores are the answer, a codes-only
retriever). The defaults row is `search(q, 10)`.

Memory per vector: what a loaded retriever holds in memory besides the
memory-mapped float store: the codes (fine code and residual), the side
files spread over the vectors (quantiser, offsets, ids), and the router's
per-document state; the router's fixed codebook tables are given apart.
Disk: the saved directory's files over the vectors, with and without the
float store. Build: router training (cached, its first build time), the
quantiser's training and the encoding of every vector; add: the time per
million vectors of adding 2,000 passages to a retriever on the same codebook.

    .venv/bin/python bench/bench_compressed.py --data DIR [--data DIR2 ...] [--bits 1,2,4] \\
        [--json out.json] [--plot-dir docs/]
    .venv/bin/python bench/bench_compressed.py --replot out.json [--plot-dir docs/]
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

from nuvaris_qor_search import Retriever, _defaults
from nuvaris_qor_search.codebook import strip_documents
from nuvaris_qor_search.codes import CodeStore, state_centroids
from nuvaris_qor_search.retriever import router_state
from nuvaris_qor_search.store import VectorStore

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_search as bs
import peers
from run_note import run_note

K = 10
PLAID_PYTHON = pathlib.Path(__file__).resolve().parent.parent / "build" / "venv-plaid" / "bin" / "python"


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def ints(text):
    return [int(t) for t in text.split(",") if t]


def codes_for(coll, cache, router, bits):
    """The collection's codes at `bits` (cached beside the routers) and the
    seconds the quantiser's training and the encoding took when made."""
    # "-score": codes of the score-aware encoder (older cached codes are cut-point buckets).
    tag = cache / f"codes{bits}-{coll['meta']['vectors_sha256'][:12]}-f{router.n_fine()}-score"
    state = router_state(router)
    n_fine, dim = router.n_fine(), coll["vectors"].shape[1]
    if tag.with_suffix(".json").exists():
        info = json.loads(tag.with_suffix(".json").read_text())
        table = np.load(tag.with_suffix(".quantiser.npy"))
        k = 1 << bits
        centroids = state_centroids(state)
        assert centroids.shape == (n_fine, dim)
        codes = CodeStore(centroids, np.ascontiguousarray(table[:, k:]), np.ascontiguousarray(table[:, :k]),
                          np.load(tag.with_suffix(".fine.npy"), mmap_mode="r"),
                          np.load(tag.with_suffix(".residual.npy"), mmap_mode="r"), coll["offsets"])
        return codes, info
    log(f"training the {bits}-bit quantiser ...")
    t = time.perf_counter()
    codes = CodeStore.train(state, coll["vectors"], bits=bits)
    train_s = time.perf_counter() - t
    log("encoding every vector ...")
    t = time.perf_counter()
    n = len(coll["vectors"])
    fine = np.empty(n, np.uint16)
    residual = np.empty((n, codes.residual.shape[1]), np.uint8)
    step = 1 << 18
    for lo in range(0, n, step):
        fine[lo:lo + step], residual[lo:lo + step] = codes.encode(coll["vectors"][lo:lo + step])
    encode_s = time.perf_counter() - t
    np.save(tag.with_suffix(".fine.npy"), fine)
    np.save(tag.with_suffix(".residual.npy"), residual)
    np.save(tag.with_suffix(".quantiser.npy"), np.concatenate([codes.levels, codes.cuts], axis=1))
    info = {"train_s": train_s, "encode_s": encode_s}
    tag.with_suffix(".json").write_text(json.dumps(info))
    return CodeStore(codes.centroids, codes.cuts, codes.levels, fine, residual, coll["offsets"]), info


def sampled_router(coll, cache, n_train):
    """A router for a collection too large to train on whole: its codebook
    trained (with the parameters `Retriever.build` would choose for the
    sample) on `n_train` passages drawn with a fixed seed, then every
    passage added; cached. Returns it and the seconds both steps took."""
    from nuvaris_qor_router import PyQorRouter
    from nuvaris_qor_search.codebook import train_codebook

    tag = cache / f"sampled{n_train}-{coll['meta']['vectors_sha256'][:12]}"
    dim = coll["vectors"].shape[1]
    router = PyQorRouter(dim)
    if tag.with_suffix(".json").exists():
        router.load(str(tag.with_suffix(".qor")))
        return router, json.loads(tag.with_suffix(".json").read_text())["build_s"]
    offsets = coll["offsets"]
    n_docs = len(offsets) - 1
    picked = np.sort(np.random.default_rng(5).choice(n_docs, n_train, replace=False))
    lengths = offsets[picked + 1] - offsets[picked]
    rows = np.concatenate([np.arange(offsets[i], offsets[i + 1]) for i in picked])
    sample = np.ascontiguousarray(coll["vectors"][rows], np.float32)
    ends = np.cumsum(lengths)
    rp = _defaults.router_params(len(sample), n_train, dim)
    log(f"training a codebook on {n_train} passages ({len(sample)} vectors), {rp} ...")
    t = time.perf_counter()
    codebook = train_codebook(sample, [(int(e - n), int(e)) for e, n in zip(ends, lengths)], n_fine=rp.n_fine,
                              n_coarse=rp.n_coarse, ctop_r=rp.ctop_r)
    train_s = time.perf_counter() - t
    del sample
    cache.mkdir(parents=True, exist_ok=True)
    tag.with_suffix(".codebook.qor").write_bytes(codebook)
    router.load(str(tag.with_suffix(".codebook.qor")))
    log(f"  trained in {train_s:.0f} s; adding every passage ...")
    t = time.perf_counter()
    step = 20_000
    for lo in range(0, n_docs, step):
        hi = min(n_docs, lo + step)
        block = np.ascontiguousarray(coll["vectors"][offsets[lo]:offsets[hi]], np.float32)
        pairs = [(int(a - offsets[lo]), int(b - offsets[lo])) for a, b in zip(offsets[lo:hi], offsets[lo + 1:hi + 1])]
        router.add_documents(block, list(range(lo, hi)), pairs)
    add_s = time.perf_counter() - t
    log(f"  added in {add_s:.0f} s")
    router.save(str(tag.with_suffix(".qor")))
    tag.with_suffix(".json").write_text(json.dumps({"build_s": train_s + add_s, "train_s": train_s, "add_s": add_s}))
    return router, train_s + add_s


def memory_row(retr, state_bytes, codebook_bytes, saved):
    """Bytes per vector in memory and on disk (see the module's docstring)."""
    n = retr.store.n_rows
    codes = retr.codes
    side = (len(codes.quantiser()) + retr.store.offsets.nbytes + retr.store.ids.nbytes) / n
    sizes = {p.name: p.stat().st_size for p in saved.iterdir()}
    disk_all = sum(sizes.values()) / n
    disk_codes = (sum(sizes.values()) - sizes.get("vectors.npy", 0)) / n
    return {"codes_B": codes.bytes_per_vector, "side_B": side, "router_B": (state_bytes - codebook_bytes) / n,
            "codebook_tables_MiB": codebook_bytes / 2**20, "disk_B": disk_all, "disk_without_floats_B": disk_codes}


def add_time(coll, codebook, quantiser, n_docs=2000):
    """Seconds per million vectors of adding `n_docs` passages."""
    with Retriever.from_codebook(codebook, quantiser=quantiser) as r:
        end = int(coll["offsets"][n_docs])
        pairs = [(int(a), int(b)) for a, b in zip(coll["offsets"][:n_docs], coll["offsets"][1:n_docs + 1])]
        t = time.perf_counter()
        r.add(np.asarray(coll["vectors"][:end]), list(range(n_docs)), pairs, show_progress=False)
        return (time.perf_counter() - t) / end * 1e6


def blas_over_native(coll, scan, time_every):
    """How much longer the exact scan by BLAS (NumPy's float32 product over
    a block of passages at a time, then the maxima and sums) takes than the
    native one, as a ratio of their medians over the timed queries, each
    query scanned both ways in turn."""
    from make_dataset import exact_scores as blas_scores

    pairs = np.stack([coll["offsets"][:-1], coll["offsets"][1:]], axis=1)
    blas, native = [], []
    for i in range(0, len(coll["queries"]), time_every):
        q = coll["queries"][i]
        native.append(scan(q))
        t = time.perf_counter()
        blas_scores(coll["vectors"], pairs, q, np.array([[0, len(q)]]))
        blas.append((time.perf_counter() - t) * 1e3)
    return float(np.median(blas) / np.median(native))


def measure(coll, search, scan, time_every):
    """recall@10 over every query and the median ms over the timed ones, with
    the exact scan timed right before each."""
    found = [search(q) for q in coll["queries"]]
    rec = float(np.mean([peers.recall_at_10(f, e) for f, e in zip(found, coll["exact_top"])]))
    own, base = [], []
    for i in range(0, len(coll["queries"]), time_every):
        q = coll["queries"][i]
        base.append(scan(q))
        t = time.perf_counter()
        search(q)
        own.append((time.perf_counter() - t) * 1e3)
    ms, exact_ms = float(np.median(own)), float(np.median(base))
    return {"recall": rec, "ms": ms, "exact_ms": exact_ms, "speedup": exact_ms / ms}


def run_set(path, args, out):
    coll = peers.load_collection(path, args.queries)
    n_vec, n_docs = len(coll["vectors"]), len(coll["offsets"]) - 1
    name = path.name
    print(f"\n{name}: {n_docs} passages, {n_vec} vectors; {len(coll['queries'])} queries; load average "
          f"{os.getloadavg()[0]:.1f}", flush=True)
    rp = _defaults.router_params(n_vec, n_docs, coll["vectors"].shape[1])
    d = {"meta": coll["meta"], "vectors": coll["vectors"],
         "doc_offsets": np.stack([coll["offsets"][:-1], coll["offsets"][1:]], axis=1)}
    cache = path / "routers"
    if args.train_docs and n_docs > args.train_docs:
        router, build_s = sampled_router(coll, cache, args.train_docs)
        rp = _defaults.router_params(int(coll["offsets"][args.train_docs]), args.train_docs, d["vectors"].shape[1])
    else:
        router, build_s, _, _ = bs.router_for(d, cache, rp.n_fine, rp.n_coarse, rp.ctop_r, 30)
    state = router_state(router)
    codebook = strip_documents(state)
    store = VectorStore(coll["vectors"], coll["offsets"], np.arange(n_docs, dtype=np.uint64))
    scan = peers.exact_scan_ms(coll)
    blas_factor = blas_over_native(coll, scan, args.time_every)
    out.setdefault("scans", []).append({"set": name, "blas_over_native": blas_factor})
    print(f"{name}: the BLAS exact scan takes {blas_factor:.2f}x the native one (medians over the timed queries)",
          flush=True)
    rows = out.setdefault("rows", [])
    base = {"set": name, "n_docs": n_docs, "n_vectors": n_vec, "router": f"{rp.n_fine}/{rp.n_coarse}/{rp.ctop_r}"}

    def emit(row):
        row = {**base, **row, "speedup_blas": row["speedup"] * blas_factor}
        rows.append(row)
        print(f"{name:<20} {row['method']:<34} {row['setting']:<22} {row['recall']:>6.3f} {row['ms']:>8.2f} ms "
              f"{row['speedup']:>6.1f}x  {row.get('bytes', ''):>6}", flush=True)

    for bits in args.bits:
        codes, info = codes_for(coll, cache, router, bits)
        retr = Retriever(router, store, codes=codes)
        with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
            retr.save(pathlib.Path(tmp) / "saved")
            mem = memory_row(retr, len(state), len(codebook), pathlib.Path(tmp) / "saved")
        add_s = add_time(coll, codebook, codes.quantiser())
        held = mem["codes_B"] + mem["side_B"] + mem["router_B"]
        out.setdefault("memory", []).append({**base, "bits": bits, **mem, "held_B": held, "router_build_s": build_s,
                                              **info, "add_s_per_million": add_s})
        print(f"{name} {bits}-bit: codes {mem['codes_B']} B + side {mem['side_B']:.2f} B + router "
              f"{mem['router_B']:.1f} B = {held:.1f} B/vector held (codebook tables {mem['codebook_tables_MiB']:.0f}"
              f" MiB apart); disk {mem['disk_B']:.0f} B/vector ({mem['disk_without_floats_B']:.1f} without the"
              f" float store); quantiser {info['train_s']:.1f} s, encoding {info['encode_s']:.1f} s, router build"
              f" {build_s:.0f} s; add {add_s:.1f} s per million vectors", flush=True)
        for probe in args.probes:
            for rerank in args.reranks:
                def search(q, probe=probe, rerank=rerank):
                    return [i for i, _ in retr.search(q, K, candidates=0, probe=probe, rerank=rerank)]

                method = f"codes {bits}-bit" + (" + exact rerank" if rerank else " only")
                emit({"method": method, "bits": bits, "probe": probe, "rerank": rerank,
                      "setting": f"probe {probe}, rerank {rerank}", "bytes": round(held),
                      **measure(coll, search, scan, args.time_every)})
        if bits == _defaults_bits():
            emit({"method": "defaults", "bits": bits, "setting": "search(q, 10)", "bytes": round(held),
                  **measure(coll, lambda q: [i for i, _ in retr.search(q, K)], scan, args.time_every)})
        # A retriever without the float store (keep_vectors=False): its
        # search at its defaults answers from the codes alone.
        bare = Retriever(router, VectorStore(None, coll["offsets"], store.ids, dim=store.dim), codes=codes)
        emit({"method": f"codes {bits}-bit only, defaults", "bits": bits, "setting": "search(q, 10), no float store",
              "bytes": round(held), **measure(coll, lambda q: [i for i, _ in bare.search(q, K)], scan,
                                              args.time_every)})
    for kind in args.peers:
        build = {"flat": peers.build_ivf_flat, "pq": peers.build_ivf_pq}[kind]
        log(f"building the {kind} peer ...")
        peer = build(coll["vectors"], coll["offsets"], args.nlist, n_train=args.n_train)
        bpv, _ = peer.bytes_per_vector()
        out.setdefault("peer_builds", []).append({**base, "peer": peer.name, "build_s": peer.build_s, "bytes": bpv})
        for nprobe in args.nprobe:
            for k_tok in args.k_tok:
                for rerank in args.peer_reranks:
                    def search(q, peer=peer, nprobe=nprobe, k_tok=k_tok, rerank=rerank):
                        return peer.search(q, nprobe, k_tok, rerank, coll["vectors"])

                    label = "exact rerank of every candidate" if rerank is None else (
                        "no rerank" if rerank == 0 else f"exact rerank of {rerank}")
                    emit({"method": f"{peer.name} ({label})", "peer": peer.name, "rerank": rerank,
                          "setting": f"nprobe {nprobe}, k' {k_tok}", "bytes": round(bpv),
                          **measure(coll, search, scan, args.time_every)})
        del peer
    if args.plaid:
        native = float(np.median([r["exact_ms"] for r in rows if r["set"] == name]))
        plaid(path, args, emit, native)


def _defaults_bits():
    from nuvaris_qor_search.retriever import CODE_BITS

    return CODE_BITS


def plaid(path, args, emit, native_ms):
    """PLAID through fast-plaid in its own venv (one thread per query, its
    faster setting on two shared cores). Its speed-up is taken over the
    median native exact scan of this run's other rows on the same set
    (`native_ms`), so that every row of a set shares one baseline; its own
    NumPy-scan ratio is kept in the JSON."""
    if not args.plaid_python.exists():
        log(f"no PLAID venv at {args.plaid_python} (make bench-plaid-venv); PLAID left out")
        return
    with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
        out = pathlib.Path(tmp) / "plaid.json"
        cmd = [str(args.plaid_python), str(pathlib.Path(__file__).with_name("peer_plaid.py")), "--data", str(path),
               "--queries", str(args.queries), "--time-every", str(args.time_every), "--search-threads", "1",
               "--index-dir", tmp, "--out", str(out)]
        log("running " + " ".join(cmd))
        if subprocess.run(cmd, check=False).returncode != 0 or not out.exists():
            log("the PLAID peer failed; see its output above")
            return
        result = json.loads(out.read_text())
    for r in result.get("settings", []):
        emit({"method": f"plaid {r['nbits']}-bit", "peer": "plaid", "bits": r["nbits"],
              "setting": f"ivf probe {r['n_ivf_probe']}, full scores {r['n_full_scores']}",
              "recall": r["recall"], "ms": r["ms"], "exact_ms": native_ms, "speedup": native_ms / r["ms"],
              "numpy_exact_ms": r.get("numpy_exact_ms"), "speedup_vs_numpy_exact": r.get("speedup_vs_numpy_exact"),
              "bytes": round(r["bytes_per_vector"]), "build_s": r["build_s"]})


def plot(out, plot_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for name in dict.fromkeys(r["set"] for r in out["rows"]):
        rows = [r for r in out["rows"] if r["set"] == name]
        fig, ax = plt.subplots(figsize=(8, 5))
        def is_default(r):
            return r["method"] == "defaults" or r["method"].endswith(", defaults")

        methods = list(dict.fromkeys(r["method"] for r in rows if not is_default(r)))
        for i, m in enumerate(methods):
            pts = sorted((r["speedup"], r["recall"]) for r in rows if r["method"] == m)
            # The upper-right frontier of each method: the best recall at each speed-up or more.
            front, best = [], -1.0
            for s, rec in sorted(pts, reverse=True):
                if rec > best:
                    front.append((s, rec))
                    best = rec
            ax.plot(*zip(*sorted(front)), marker="o", ms=3, label=m, color=f"C{i % 10}",
                    ls="-" if m.startswith("codes") else "--")
        for r in rows:
            if r["method"] == "defaults":
                ax.plot(r["speedup"], r["recall"], "r*", ms=14, label="defaults", zorder=5)
            elif is_default(r):
                ax.plot(r["speedup"], r["recall"], "P", ms=9, label=r["method"], zorder=5)
        ax.axhline(0.95, ls=":", c="grey", lw=0.8)
        ax.axhline(0.9, ls=":", c="grey", lw=0.8)
        ax.axvline(10, ls=":", c="grey", lw=0.8)
        ax.axvline(20, ls=":", c="grey", lw=0.8)
        ax.set_xscale("log")
        ax.set_xlabel("speed-up over the native exact scan (same run)")
        ax.set_ylabel("recall@10 of the exact MaxSim top 10")
        first = rows[0]
        ax.set_title(f"{name}: {first['n_docs']:,} passages, {first['n_vectors']:,} vectors", fontsize=10)
        ax.grid(True, which="both", lw=0.3)
        ax.legend(fontsize=7, loc="lower left")
        fig.tight_layout()
        target = pathlib.Path(plot_dir) / f"compressed_{name}.png"
        fig.savefig(target, dpi=100)
        plt.close(fig)
        log(f"plot written to {target}")


def markdown(out):
    lines = ["| collection | method | setting | B/vector | recall@10 | ms | native exact scan ms | speed-up "
             "| over the BLAS scan |", "|" + "---|" * 9]
    for r in out["rows"]:
        blas = f"{r['speedup_blas']:.1f}x" if "speedup_blas" in r else ""
        lines.append(f"| {r['set']} | {r['method']} | {r['setting']} | {r.get('bytes', '')} | {r['recall']:.3f} "
                     f"| {r['ms']:.2f} | {r['exact_ms']:.0f} | {r['speedup']:.1f}x | {blas} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=pathlib.Path, action="append", default=[])
    ap.add_argument("--bits", type=ints, default=[1, 2, 4])
    ap.add_argument("--probes", type=ints, default=[1, 2, 4])
    ap.add_argument("--reranks", type=ints, default=[0, 20, 50, 100])
    ap.add_argument("--peers", type=lambda s: [t for t in s.split(",") if t], default=["flat", "pq"])
    ap.add_argument("--nlist", type=int, default=1024)
    ap.add_argument("--n-train", type=int, default=None, help="the peers' training rows (default: all)")
    ap.add_argument("--nprobe", type=ints, default=[8, 32])
    ap.add_argument("--k-tok", type=ints, default=[64, 256])
    ap.add_argument("--peer-reranks", type=peers.rerank_arg, default=[0, 50, None])
    ap.add_argument("--plaid", action="store_true", help="also run the PLAID peer (needs make bench-plaid-venv)")
    ap.add_argument("--plaid-python", type=pathlib.Path, default=PLAID_PYTHON)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--train-docs", type=int, default=0,
                    help="above this many passages, train the codebook on a seeded sample of this many")
    ap.add_argument("--time-every", type=int, default=10)
    ap.add_argument("--tmp", default=None, help="where saved copies are written to measure disk bytes")
    ap.add_argument("--json", type=pathlib.Path)
    ap.add_argument("--plot-dir", type=pathlib.Path)
    ap.add_argument("--replot", type=pathlib.Path)
    args = ap.parse_args()
    # Made now: a missing folder would otherwise stop the run only after its builds.
    for folder in (args.tmp, args.plot_dir):
        if folder:
            pathlib.Path(folder).mkdir(parents=True, exist_ok=True)
    if args.replot:
        out = json.loads(args.replot.read_text())
        if args.plot_dir:
            plot(out, args.plot_dir)
        print(markdown(out))
        return
    out = {"note": run_note(), "rows": []}
    print(out["note"], flush=True)
    for path in args.data:
        run_set(path, args, out)
        if args.json:
            args.json.write_text(json.dumps(out, indent=1))
    print()
    print(markdown(out))
    if args.plot_dir:
        plot(out, args.plot_dir)


if __name__ == "__main__":
    main()
