"""Codebook training with the bounded k-means assignment against the full
scan and against faiss's k-means, on 1M x 128 rows.

Two data sets, both seeded: "tokens", clustered token-like rows (a Zipf
distribution over 20,000 token types whose centres gather around 400
topics, plus per-row noise), and "gaussian", unit Gaussian rows. For each
n_fine the C++ driver bench_kmeans trains the codebook first with the full
scan (QOR_KMEANS_FULL_SCAN=1) and then with the bounded assignment, checks
that both codebooks are identical bit for bit, and reports the distance
evaluations and the kind of every pass ('p' plain full scan, 'i' fresh
bounds without earlier ones, 'b' pruned). faiss.Kmeans (same k, same iterations, every
point, 2 threads) then trains on the same normalised rows in this process.
Finally a build through the module on a smaller set is run both ways and the
saved state files are compared byte for byte.

Times are single runs by default (--reps to repeat; medians are printed).
Requires `make bench-build` and the peers of bench/requirements-bench.txt.

Usage: python bench/bench_kmeans.py [--rows N] [--fine 256,1024,4096]
       [--iters 30] [--data tokens,gaussian] [--reps R] [--no-faiss]
       [--state-rows N]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from run_note import run_note

ROOT = pathlib.Path(__file__).resolve().parent.parent
DRIVER = ROOT / "build" / "bench" / "bench_kmeans"


def token_rows(n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    topics = rng.standard_normal((400, d), dtype=np.float32)
    topics /= np.linalg.norm(topics, axis=1, keepdims=True)
    types = 20_000
    own = rng.standard_normal((types, d), dtype=np.float32)
    own /= np.linalg.norm(own, axis=1, keepdims=True)
    centres = 0.8 * topics[rng.integers(0, 400, types)] + 0.6 * own
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    weights = 1.0 / (np.arange(types) + 10.0)
    kind = rng.choice(types, size=n, p=weights / weights.sum())
    rows = centres[kind]
    rows += rng.standard_normal((n, d), dtype=np.float32) * np.float32(0.35 / np.sqrt(d))
    return rows.astype(np.float32)


def gaussian_rows(n: int, d: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, d), dtype=np.float32)


def have_faiss() -> bool:
    try:
        import faiss  # noqa: F401
    except ImportError:
        print("faiss not installed (pip install -r bench/requirements-bench.txt): peer skipped", flush=True)
        return False
    return True


def faiss_seconds(x: np.ndarray, k: int, iters: int) -> tuple[float, float]:
    import faiss

    faiss.omp_set_num_threads(2)
    km = faiss.Kmeans(x.shape[1], k, niter=iters, max_points_per_centroid=10**9, seed=1234, verbose=False)
    t0, c0 = time.perf_counter(), time.process_time()
    km.train(x)
    return time.perf_counter() - t0, time.process_time() - c0


def state_files_identical(x: np.ndarray, n_fine: int, iters: int, tmp: pathlib.Path) -> bool:
    import nuvaris_qor_router as qr

    per_doc = 100
    n_docs = x.shape[0] // per_doc
    ranges = [(i * per_doc, i * per_doc + per_doc) for i in range(n_docs)]
    paths = []
    for name, full in (("full", True), ("bounded", False)):
        if full:
            os.environ["QOR_KMEANS_FULL_SCAN"] = "1"
        try:
            router = qr.PyQorRouter(x.shape[1])
            t0 = time.perf_counter()
            router.build(x[: n_docs * per_doc], list(range(n_docs)), ranges, n_fine=n_fine,
                         max_kmeans_iter=iters)
            print(f"  build {name}: {time.perf_counter() - t0:.1f} s", flush=True)
            path = tmp / f"state_{name}.json"
            router.save(str(path))
            paths.append(path)
        finally:
            os.environ.pop("QOR_KMEANS_FULL_SCAN", None)
    return paths[0].read_bytes() == paths[1].read_bytes()


def skipped(entry: dict) -> list[float]:
    full = entry["n"] * entry["n_fine"]
    return [1.0 - e / full for e in entry["evaluated"]]


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--fine", default="256,1024,4096")
    ap.add_argument("--iters", type=int, default=30)
    ap.add_argument("--data", default="tokens,gaussian")
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--no-faiss", action="store_true")
    ap.add_argument("--state-rows", type=int, default=200_000)
    args = ap.parse_args()
    if not DRIVER.exists():
        print(f"{DRIVER} missing: run `make bench-build` first", file=sys.stderr)
        return 1
    print(run_note(), flush=True)
    fines = [int(f) for f in args.fine.split(",")]
    table = []
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = pathlib.Path(tmpdir)
        for data in args.data.split(","):
            x = (token_rows if data == "tokens" else gaussian_rows)(args.rows, args.dim, 5)
            raw = tmp / f"{data}.f32"
            x.tofile(raw)
            xn = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), np.float32(1e-8))
            for fine in fines:
                runs = []
                for _ in range(args.reps):
                    out = subprocess.run([str(DRIVER), str(raw), str(args.rows), str(args.dim), str(args.iters),
                                          str(fine), "both"], check=True, capture_output=True, text=True)
                    runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
                entry = runs[-1]
                entry["full_s"] = statistics.median(r["full_s"] for r in runs)
                entry["bounded_s"] = statistics.median(r["bounded_s"] for r in runs)
                entry["full_cpu_s"] = statistics.median(r["full_cpu_s"] for r in runs)
                entry["bounded_cpu_s"] = statistics.median(r["bounded_cpu_s"] for r in runs)
                entry["identical"] = all(r["identical"] for r in runs)
                entry["data"] = data
                if not args.no_faiss and have_faiss():
                    times = [faiss_seconds(xn, fine, args.iters) for _ in range(args.reps)]
                    entry["faiss_s"] = statistics.median(t[0] for t in times)
                    entry["faiss_cpu_s"] = statistics.median(t[1] for t in times)
                print(json.dumps(entry), flush=True)
                table.append(entry)
            raw.unlink()
        state_same = None
        if args.state_rows > 0:
            x = token_rows(args.state_rows, args.dim, 6)
            state_same = state_files_identical(x, 1024, args.iters, tmp)

    print()
    print(f"{args.rows} rows x {args.dim}, {args.iters} iterations, median of {args.reps} run(s); "
          "times in seconds, wall (CPU of all threads)")
    print("| data | n_fine | full scan | bounded | speed-up wall (CPU) | faiss | bounded vs faiss wall (CPU) "
          "| passes (plain) | skipped: pass 2 / 5 / 10 / last | skipped overall | identical |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---|")
    for e in table:
        s = skipped(e)
        pick = " / ".join(f"{s[i]:.0%}" if i < len(s) else "-" for i in (1, 4, 9)) + f" / {s[-1]:.0%}"
        overall = 1.0 - sum(e["evaluated"]) / (e["n"] * e["n_fine"] * len(e["evaluated"]))
        full, bounded = e["full_s"], e["bounded_s"]
        fc, bc = e["full_cpu_s"], e["bounded_cpu_s"]
        if "faiss_s" in e:
            fs, fsc = e["faiss_s"], e["faiss_cpu_s"]
            peer = f"{fs:.1f} ({fsc:.1f}) | {fs / bounded:.2f}x ({fsc / bc:.2f}x)"
        else:
            peer = "- | -"
        print(f"| {e['data']} | {e['n_fine']} | {full:.1f} ({fc:.1f}) | {bounded:.1f} ({bc:.1f}) "
              f"| {full / bounded:.2f}x ({fc / bc:.2f}x) | {peer} | {len(s)} ({e.get('kind', '').count('p')}) | {pick} "
              f"| {overall:.0%} | {'yes' if e['identical'] else 'NO'} |")
    if state_same is not None:
        print(f"\nstate files of a build ({args.state_rows} token rows, n_fine 1024) full scan vs bounded: "
              f"{'identical' if state_same else 'DIFFERENT'}")
    return 0 if all(e["identical"] for e in table) and state_same is not False else 1


if __name__ == "__main__":
    sys.exit(main())
