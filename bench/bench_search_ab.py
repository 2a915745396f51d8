"""Latency of `Retriever.search` at its defaults, set against another build of
the package in the same run.

For each collection (cached by `make dataset` / `make dataset-transformer`)
and query length (about 8 tokens; 32 rows: the set's [MASK]-padded queries
where it has them, otherwise each query's rows repeated in order up to 32),
every interpreter measures in turn (this one, then each --python: a venv with
another build installed), alternating, --rounds times: recall@10 of the
exact top 10 over every query, and the median time of `search(q, 10)` and of
the native exact scan (`rerank(q)`'s MaxSim over every passage) over every
5th query, the scan timed right before each search. The retriever is the
one `Retriever.build` would make (router and 2-bit codes cached beside the
collection by the other benchmarks). Printed: a Markdown table of medians
over the rounds, with each build's speed-up over its own scan and the
search time of this build over each other's.

    .venv/bin/python bench/bench_search_ab.py [--data DIR ...] [--python OTHER_PYTHON ...] [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

K = 10
QLEN = 32


def padded_queries(coll, path):
    """32-row queries and their exact top 10."""
    if (path / "queries32.npy").exists():
        q, off = np.load(path / "queries32.npy"), np.load(path / "query32_offsets.npy")
        n = len(coll["queries"])
        return [np.ascontiguousarray(q[a:b]) for a, b in off[:n]], np.load(path / "exact_top32.npy")[:n]
    from nuvaris_qor_search import maxsim

    qs = [np.ascontiguousarray(q[np.arange(QLEN) % len(q)]) for q in coll["queries"]]
    docs = np.arange(len(coll["offsets"]) - 1, dtype=np.int64)
    tops = []
    for q in qs:
        s = maxsim.scores(q, coll["vectors"], coll["offsets"], docs)
        tops.append(np.lexsort((docs, -s))[:K])
    return qs, np.array(tops)


def worker(paths, n_queries):
    import bench_compressed as bc
    import bench_search as bs
    import peers
    from nuvaris_qor_search import Retriever, _defaults
    from nuvaris_qor_search.store import VectorStore

    for path in paths:
        coll = peers.load_collection(path, n_queries)
        n_vec, n_docs = len(coll["vectors"]), len(coll["offsets"]) - 1
        rp = _defaults.router_params(n_vec, n_docs, coll["vectors"].shape[1])
        d = {"meta": coll["meta"], "vectors": coll["vectors"],
             "doc_offsets": np.stack([coll["offsets"][:-1], coll["offsets"][1:]], axis=1)}
        router = bs.router_for(d, path / "routers", rp.n_fine, rp.n_coarse, rp.ctop_r, 30)[0]
        store = VectorStore(coll["vectors"], coll["offsets"], np.arange(n_docs, dtype=np.uint64))
        codes = bc.codes_for(coll, path / "routers", router, 2)[0]
        retr = Retriever(router, store, codes=codes)
        scan = peers.exact_scan_ms(coll)
        for name, (qs, tops) in {"short": (coll["queries"], coll["exact_top"]),
                                 "32": padded_queries(coll, path)}.items():
            recall = float(np.mean([peers.recall_at_10([i for i, _ in retr.search(q, K)], t)
                                    for q, t in zip(qs, tops)]))
            own, base = [], []
            for q in qs[::5]:
                base.append(scan(q))
                t = time.perf_counter()
                retr.search(q, K)
                own.append((time.perf_counter() - t) * 1e3)
            print(json.dumps({"set": path.name, "query": name, "recall": recall, "ms": float(np.median(own)),
                              "scan_ms": float(np.median(base))}), flush=True)


def main():
    from make_dataset import default_out
    from make_dataset_transformer import default_transformer_out
    from run_note import run_note

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=pathlib.Path, action="append")
    ap.add_argument("--python", action="append", default=[], help="another build's interpreter")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--queries", type=int, default=500)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    paths = args.data or [default_out(), default_transformer_out()]
    if args.worker:
        worker(paths, args.queries)
        return
    print(run_note(sys.argv), flush=True)
    builds = [sys.executable, *args.python]
    rows: dict[tuple[str, str, str], list[dict]] = {}
    for r in range(args.rounds):
        for python in builds:
            cmd = [python, __file__, "--worker", "--queries", str(args.queries)]
            for p in paths:
                cmd += ["--data", str(p)]
            print(f"round {r + 1}: {python}", file=sys.stderr, flush=True)
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                row = json.loads(line)
                rows.setdefault((row["set"], row["query"], python), []).append(row)
    print("\n| collection | query | build | recall@10 | search ms | native scan ms | speed-up | this build's time |")
    print("|---|---|---|---|---|---|---|---|")
    for (name, query, python), runs in rows.items():
        ms = float(np.median([x["ms"] for x in runs]))
        scan = float(np.median([x["scan_ms"] for x in runs]))
        mine = float(np.median([x["ms"] for x in rows[(name, query, sys.executable)]]))
        label = "this" if python == sys.executable else python
        print(f"| {name} | {query} | {label} | {runs[0]['recall']:.3f} | {ms:.2f} | {scan:.1f} | {scan / ms:.1f}x |"
              f" {mine / ms:.2f} |")


if __name__ == "__main__":
    main()
