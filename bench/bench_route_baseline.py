"""route_query at the default parameters: this build against a baseline
build of the module installed in another venv, in the same run.

A collection is built once with this build and saved; each side loads the
file in its own process and times every query of a fixed set (warm-up
first). The sides alternate for several rounds; the figures are the median
per-query latencies over all rounds, the fastest round's median (less
sensitive to other load on the machine) and their ratios. The script also counts
the scores on which the two builds differ in any bit and the queries whose
order differs.

    make bench-baseline BASELINE_REF=<commit>   # venv under build/, once
    .venv/bin/python bench/bench_route_baseline.py [--baseline build/venv-baseline/bin/python]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

import numpy as np

import nuvaris_qor_router as qr

DIM = 128
QUERY_ROWS = 32

WORKER = r"""
import json, sys, time
import numpy as np
import nuvaris_qor_router as qr
path, qpath, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
queries = np.load(qpath)
r = qr.PyQorRouter(1)
r.load(path)
for q in queries[:5]:
    r.route_query(q)
times = []
for _ in range(reps):
    for q in queries:
        t0 = time.perf_counter()
        r.route_query(q)
        times.append(time.perf_counter() - t0)
routes = [[(d, s.hex()) for d, s in r.route_query(q)] for q in queries]
print(json.dumps({"times": times, "routes": routes}))
"""


def corpus(n_docs, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((400, DIM), dtype=np.float32)
    lengths = rng.integers(48, 81, n_docs)
    ends = np.cumsum(lengths)
    x = centres[rng.integers(0, 400, int(ends[-1]))] + 0.6 * rng.standard_normal((int(ends[-1]), DIM), np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x.astype(np.float32), list(zip((ends - lengths).tolist(), ends.tolist())), centres, rng


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = pathlib.Path(__file__).resolve().parent.parent
    ap.add_argument("--baseline", default=str(here / "build/venv-baseline/bin/python"))
    ap.add_argument("--docs", type=int, default=5000)
    ap.add_argument("--queries", type=int, default=30)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    if not os.path.exists(args.baseline):
        print(f"no baseline interpreter at {args.baseline}: run make bench-baseline first; skipped")
        return 0
    x, offsets, centres, rng = corpus(args.docs, 1)
    router = qr.PyQorRouter(DIM)
    router.build(x, list(range(args.docs)), offsets)  # default parameters
    qs = centres[rng.integers(0, 400, (args.queries, QUERY_ROWS))]
    qs = qs + 0.6 * rng.standard_normal(qs.shape, np.float32)
    qs = (qs / np.linalg.norm(qs, axis=2, keepdims=True)).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        path, qpath = os.path.join(tmp, "state.qor"), os.path.join(tmp, "queries.npy")
        router.save(path)
        np.save(qpath, qs)
        sides = {"baseline": args.baseline, "this build": sys.executable}
        times = {name: [] for name in sides}
        round_medians = {name: [] for name in sides}
        routes = {}
        for _ in range(args.rounds):
            for name, python in sides.items():
                out = subprocess.run([python, "-c", WORKER, path, qpath, str(args.reps)], check=True,
                                     capture_output=True, text=True).stdout
                res = json.loads(out)
                times[name] += res["times"]
                round_medians[name].append(statistics.median(res["times"]) * 1e6)
                routes[name] = res["routes"]
    med = {name: statistics.median(t) * 1e6 for name, t in times.items()}
    print(f"route_query, {args.docs} documents, {QUERY_ROWS}-row queries, default parameters; "
          f"median of {args.rounds} rounds x {args.reps} reps x {args.queries} queries")
    best = {name: min(m) for name, m in round_medians.items()}
    print(f"  {'':<11} {'median':>9} {'best round':>11}")
    for name in sides:
        print(f"  {name:<11} {med[name]:7.1f} us {best[name]:8.1f} us")
    print(f"  ratio baseline / this build: {med['baseline'] / med['this build']:.2f} (median), "
          f"{best['baseline'] / best['this build']:.2f} (best round)")
    a, b = routes["baseline"], routes["this build"]
    diff = sum(sa != sb for ra, rb in zip(a, b) for (_, sa), (_, sb) in zip(sorted(ra), sorted(rb)))
    order = sum([d for d, _ in ra] != [d for d, _ in rb] for ra, rb in zip(a, b))
    total = sum(len(r) for r in a)
    print(f"  scores differing in any bit: {diff} of {total}; queries in another order: {order} of {len(a)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
