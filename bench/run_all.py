"""Runs every benchmark script in this folder, one after another.

Benchmarks are never part of the test suite; each script prints its own
figures (medians of several runs and ratios against a baseline measured in
the same run).
"""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
# These need the data sets of `make dataset` (and `make dataset-transformer`;
# bench_codes.py also a router state built on the first, e.g. one `make
# bench-search` cached) and run for a long time: `make bench-search`, `make
# bench-defaults`. bench_search_ab.py sets this build's search against another
# build's (its interpreter given with --python).
SEPARATE = {"bench_search.py", "bench_codes.py", "bench_defaults.py", "bench_rerank_cost.py", "bench_search_ab.py"}


def main() -> int:
    scripts = sorted(p for p in HERE.glob("bench_*.py") if p.name not in SEPARATE)
    failed = 0
    for script in scripts:
        print(f"== {script.name} ==", flush=True)
        rc = subprocess.call([sys.executable, str(script), *sys.argv[1:]])
        if rc != 0:
            print(f"{script.name} exited with status {rc}", flush=True)
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
