"""A build's state file does not depend on how k-means finds the nearest
centroid: the bounded assignment (the default), the full scan
(QOR_KMEANS_FULL_SCAN=1), the scalar kernels and any worker count all save
the same bytes."""

import os
import subprocess
import sys
import textwrap

import pytest

# Rows with exact ties (a small integer grid), repeated rows, rows a few ulps
# apart, huge and tiny rows and a NaN row, cut into documents of 10.
SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import nuvaris_qor_router as qr

    rng = np.random.default_rng(3)
    centres = rng.standard_normal((40, 24)).astype(np.float32)
    x = centres[rng.integers(0, 40, 3000)] + 0.3 * rng.standard_normal((3000, 24)).astype(np.float32)
    x[:400] = np.floor(rng.uniform(0, 3, (400, 24))).astype(np.float32)
    x[400:600] = x[600:800]
    x[800:900] = np.nextafter(x[900:1000], np.float32(9)).astype(np.float32)
    x[1000:1010] *= np.float32(1e30)
    x[1010:1020] *= np.float32(1e-30)
    x[1020, 5] = np.nan
    x = x.astype(np.float32)
    r = qr.PyQorRouter(24)
    r.build(x, list(range(300)), [(i * 10, i * 10 + 10) for i in range(300)], n_fine=int(sys.argv[2]),
            n_coarse=16, max_kmeans_iter=25)
    r.save(sys.argv[1])
    """
)

RUNS = {
    "bounded": {},
    "full scan": {"QOR_KMEANS_FULL_SCAN": "1"},
    "bounded, 1 worker": {"RAYON_NUM_THREADS": "1"},
    "bounded, 3 workers": {"RAYON_NUM_THREADS": "3"},
    "bounded, scalar": {"QOR_FORCE_SCALAR": "1"},
    "full scan, scalar, 1 worker": {"QOR_KMEANS_FULL_SCAN": "1", "QOR_FORCE_SCALAR": "1", "RAYON_NUM_THREADS": "1"},
}


@pytest.mark.parametrize("n_fine", [64, 700, 5000])
def test_state_file_is_the_same_for_every_assignment_kernel_and_worker_count(tmp_path, n_fine):
    saved = {}
    for name, extra in RUNS.items():
        path = tmp_path / f"{len(saved)}.state"
        env = {k: v for k, v in os.environ.items() if k not in ("QOR_KMEANS_FULL_SCAN", "QOR_FORCE_SCALAR",
                                                               "RAYON_NUM_THREADS")}
        done = subprocess.run([sys.executable, "-c", SCRIPT, str(path), str(n_fine)], env={**env, **extra},
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        saved[name] = path.read_bytes()
    first = saved["full scan, scalar, 1 worker"]
    for name, data in saved.items():
        assert data == first, name
