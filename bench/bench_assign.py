"""Assignment throughput of the nearest-centroid kernels against NumPy.

Runs the C++ driver bench_assign (scalar and every vector kernel the CPU
supports, 1 and 2 threads), then times, in the same run and on the same
shapes, the usual BLAS formulation in NumPy: a float32 sgemm distance matrix
||x||^2 - 2 x.c + ||c||^2 followed by argmin, and the sgemm alone. Prints
every figure as the median of several runs and the ratios of the kernels to
the NumPy baseline, in rows x centroids x dimensions elements per second.

The NumPy timing runs in a child process whose environment has
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE removed, so OpenBLAS picks its own
kernel for this processor; the kernel it picked is printed.

Usage: python bench/bench_assign.py [--build-dir DIR] [--rows N] [--dim D]
       [--centroids K] [--reps R]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

NUMPY_CHILD = r"""
import ctypes, glob, json, os, statistics, sys, time
import numpy as np

n, d, k, reps, threads = (int(a) for a in sys.argv[1:6])
libdir = os.path.join(os.path.dirname(np.__file__), os.pardir, "numpy.libs")
libs = glob.glob(os.path.join(libdir, "libscipy_openblas*.so"))
core = "unknown (bundled OpenBLAS not found)"
if libs:
    lib = ctypes.CDLL(libs[0])
    for suffix in ("64_", ""):
        get = getattr(lib, "scipy_openblas_get_corename" + suffix, None)
        setn = getattr(lib, "scipy_openblas_set_num_threads" + suffix, None)
        if get is not None:
            get.restype = ctypes.c_char_p
            core = get().decode()
            if setn is not None:
                setn(ctypes.c_int(threads))
            break

rng = np.random.default_rng(1)
x = rng.standard_normal((n, d), dtype=np.float32)
x /= np.linalg.norm(x, axis=1, keepdims=True)
c = rng.standard_normal((k, d), dtype=np.float32)
c /= np.linalg.norm(c, axis=1, keepdims=True)
c_t = np.ascontiguousarray(c.T)
x2 = np.einsum("ij,ij->i", x, x)[:, None]
c2 = np.einsum("ij,ij->i", c, c)[None, :]
out = np.empty((n, k), dtype=np.float32)


def assign():
    np.matmul(x, c_t, out=out)
    np.multiply(out, np.float32(-2.0), out=out)
    np.add(out, x2, out=out)
    np.add(out, c2, out=out)
    return out.argmin(axis=1)


def gemm():
    np.matmul(x, c_t, out=out)


res = {"core": core, "threads": threads}
for name, fn in (("numpy_assign", assign), ("numpy_sgemm", gemm)):
    fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    res[name] = statistics.median(times)
print(json.dumps(res))
"""


def find_driver(build_dir: str | None) -> pathlib.Path:
    candidates = ([pathlib.Path(build_dir)] if build_dir
                  else [ROOT / "build" / "bench", *sorted(ROOT.glob("build*"))])
    for cand in candidates:
        exe = cand / "bench_assign"
        if exe.is_file():
            return exe
    sys.exit("bench_assign driver not found: configure with -DQOR_BUILD_BENCH=ON and build it, "
             "or pass --build-dir")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir")
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--centroids", type=int, default=256)
    ap.add_argument("--reps", type=int, default=7)
    args, _ = ap.parse_known_args()
    n, d, k = args.rows, args.dim, args.centroids
    elems = n * k * d

    driver = find_driver(args.build_dir)
    proc = subprocess.run([str(driver), str(n), str(d), str(k), str(args.reps)],
                          capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        print(proc.stdout + proc.stderr)
        return 1
    kernels = []
    for line in proc.stdout.splitlines():
        fields = dict(re.findall(r"(\w+)=(\S+)", line))
        if "kernel" in fields:
            kernels.append((fields["kernel"], int(fields["threads"]), float(fields["gelem_per_s"])))

    env = {key: val for key, val in os.environ.items()
           if key not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    numpy = {}
    for threads in (1, 2):
        env_t = dict(env, OPENBLAS_NUM_THREADS=str(threads))
        child = subprocess.run([sys.executable, "-c", NUMPY_CHILD, str(n), str(d), str(k),
                                str(args.reps), str(threads)],
                               capture_output=True, text=True, env=env_t, check=False)
        if child.returncode != 0:
            print(child.stdout + child.stderr)
            return 1
        numpy[threads] = json.loads(child.stdout)

    print(f"shape: {n} rows x {k} centroids x {d} dims = {elems / 1e9:.2f} G elements per pass; "
          f"medians of {args.reps} runs")
    print(f"NumPy baseline: OpenBLAS kernel {numpy[1]['core']} "
          f"(OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset for it)")
    for threads in (1, 2):
        r = numpy[threads]
        print(f"  numpy threads={threads}: sgemm+argmin {elems / r['numpy_assign'] / 1e9:6.2f} G/s "
              f"({r['numpy_assign'] * 1e3:.1f} ms), sgemm alone {elems / r['numpy_sgemm'] / 1e9:6.2f} G/s")
    print("kernels (exact squared distances, same shapes):")
    for name, threads, g in kernels:
        base = elems / numpy[threads]["numpy_assign"] / 1e9
        gemm = elems / numpy[threads]["numpy_sgemm"] / 1e9
        print(f"  {name:7s} threads={threads}: {g:6.2f} G/s  x{g / base:.2f} vs numpy sgemm+argmin, "
              f"x{g / gemm:.2f} vs sgemm alone")
    return 0


if __name__ == "__main__":
    sys.exit(main())
