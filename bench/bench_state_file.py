"""Save and load of a large router through the module, in MB/s of body
text, against Python's json module (and orjson when installed) doing the
same dump and parse of the same body in the same run. Medians of several
runs; the ratio is ours over theirs.

    python bench/bench_state_file.py [--docs 200000] [--tokens 64] [--dim 32] [--runs 3]
"""

import argparse
import json
import os
import statistics
import tempfile
import time

import numpy as np

import nuvaris_qor_router as qor


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def make_router(docs, tokens, dim):
    """Trains on the first documents, then adds the rest in batches so that
    the vectors never sit in memory all at once."""
    rng = np.random.default_rng(1)
    batch = 10000
    router = qor.PyQorRouter(dim)
    first = min(docs, 5000)
    vectors = rng.standard_normal((first * tokens, dim)).astype(np.float32)
    offsets = [(d * tokens, (d + 1) * tokens) for d in range(first)]
    router.build(vectors, list(range(first)), offsets, n_fine=256, n_coarse=32, max_kmeans_iter=5)
    done = first
    while done < docs:
        n = min(batch, docs - done)
        vectors = rng.standard_normal((n * tokens, dim)).astype(np.float32)
        offsets = [(d * tokens, (d + 1) * tokens) for d in range(n)]
        router.add_documents(vectors, list(range(done, done + n)), offsets)
        done += n
    return router


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=200000)
    ap.add_argument("--tokens", type=int, default=64)
    ap.add_argument("--dim", type=int, default=32)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    t0 = time.perf_counter()
    router = make_router(args.docs, args.tokens, args.dim)
    print(
        f"router: {args.docs} docs x {args.tokens} tokens, dim {args.dim} (built in {time.perf_counter() - t0:.1f} s)"
    )

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "router.idx")
        t_save = median_time(lambda: router.save(path), args.runs)
        with open(path, "rb") as f:
            body = f.read()[16:]
        mb = len(body) / 1e6
        target = qor.PyQorRouter(args.dim)
        t_load = median_time(lambda: target.load(path), args.runs)

    rows = [("save (module)", t_save), ("load (module)", t_load)]
    t_parse = median_time(lambda: json.loads(body), args.runs)
    obj = json.loads(body)
    t_dump = median_time(lambda: json.dumps(obj, separators=(",", ":")), args.runs)
    rows += [("json.dumps", t_dump), ("json.loads", t_parse)]
    try:
        import orjson  # optional
    except ImportError:
        orjson = None
    if orjson is not None:
        rows += [("orjson.dumps", median_time(lambda: orjson.dumps(obj), args.runs)),
                 ("orjson.loads", median_time(lambda: orjson.loads(body), args.runs))]

    print(f"body: {mb:.1f} MB; medians of {args.runs} runs")
    for name, t in rows:
        print(f"  {name:<14} {mb / t:8.1f} MB/s  ({t:.3f} s)")
    print(f"  save / json.dumps speed: {t_dump / t_save:.1f}x;  load / json.loads speed: {t_parse / t_load:.1f}x")


if __name__ == "__main__":
    main()
