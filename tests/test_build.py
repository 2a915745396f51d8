"""build: clamped counts, pair handling, failures that leave the router as it was,
and results that do not depend on the worker count."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nuvaris_qor_router as qr

DIM = 8


def clustered(rows, dim=DIM, seed=0, centres=12):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, dim)).astype(np.float32) * 3
    return (c[rng.integers(0, centres, rows)] + rng.standard_normal((rows, dim)).astype(np.float32)).astype(np.float32)


def docs_of(rows, per_doc):
    return [(s, s + per_doc) for s in range(0, rows - per_doc + 1, per_doc)]


def built(rows=400, per_doc=10, seed=0, **kw):
    x = clustered(rows, seed=seed)
    offsets = docs_of(rows, per_doc)
    r = qr.PyQorRouter(DIM)
    r.build(x, [1000 + i for i in range(len(offsets))], offsets, **{"n_fine": 32, "n_coarse": 8, **kw})
    return r, x


def answers(r, q):
    """Everything a caller can observe of a router, for before/after comparisons."""
    if not r.is_ready():
        return (False,)
    return (r.n_docs(), r.n_fine(), r.n_coarse(), r.route_query(q), r.compute_query_profile(q),
            r.get_cluster_entries(q), r.query_cluster_overlaps(q))


@pytest.mark.parametrize(
    "rows, n_fine, n_coarse, want_fine, want_coarse",
    [(20, 256, 32, 20, 10), (20, 256, 1, 20, 2), (20, 256, 0, 20, 2), (3, 256, 32, 3, 2),
     (600, 256, 200, 256, 128), (600, 0, 32, 2, 2)],
)
def test_trained_counts_are_clamped(rows, n_fine, n_coarse, want_fine, want_coarse):
    r = qr.PyQorRouter(DIM)
    r.build(clustered(rows), [1], [(0, rows)], n_fine=n_fine, n_coarse=n_coarse, max_kmeans_iter=3)
    assert (r.n_fine(), r.n_coarse(), r.n_docs()) == (want_fine, want_coarse, 1)
    # The document's C_top is drawn from the trained clusters only.
    assert all(c < want_coarse for c in r.compute_query_profile(clustered(5, seed=9), 10)[1])


def test_empty_overlapping_and_partial_pairs():
    x = clustered(40)
    r = qr.PyQorRouter(DIM)
    r.build(x, [7, 8, 9, 10], [(0, 10), (5, 15), (5, 5), (30, 40)], n_fine=16, n_coarse=4)
    assert r.n_docs() == 4
    overlaps = r.query_cluster_overlaps(x[0:10])
    assert [d for d, _ in overlaps] == [7, 8, 9, 10]
    assert overlaps[2] == (9, 0)  # the empty document has an empty C_top
    # Rows outside every pair still trained the codebook; a route never names the empty document.
    assert 9 not in [d for d, _ in r.route_query(x, n_probes=16)]


def test_no_documents():
    r = qr.PyQorRouter(DIM)
    x = clustered(50)
    r.build(x, [], [])
    assert r.is_ready() and r.n_docs() == 0
    assert r.route_query(x[:3]) == []
    assert r.query_cluster_overlaps(x[:3]) == []
    assert r.get_cluster_entries(x[:3]) == []
    # Every idf is ln 2 > 0, so the query still gets a C_top.
    assert len(r.compute_query_profile(x[:3])[1]) >= 1


def test_ctop_r_zero_gives_no_postings():
    r, x = built(ctop_r=0)
    assert r.route_query(x[:10], n_probes=0) == []
    assert r.compute_query_profile(x[:10], 0)[1] == []
    assert all(n == 0 for _, n in r.query_cluster_overlaps(x[:10], 8))
    assert r.get_cluster_entries(x[:10], 8) == []


def test_second_build_replaces_everything():
    r, x = built()
    y = clustered(90, seed=5)
    r.build(y, [5, 6, 7], docs_of(90, 30), n_fine=16, n_coarse=3, ctop_r=2)
    fresh = qr.PyQorRouter(DIM)
    fresh.build(y, [5, 6, 7], docs_of(90, 30), n_fine=16, n_coarse=3, ctop_r=2)
    assert answers(r, y[:7]) == answers(fresh, y[:7])
    assert [d for d, _ in r.query_cluster_overlaps(x[:5])] == [5, 6, 7]


def test_build_leaves_its_inputs_alone():
    x = clustered(120)
    ids, offsets = [3, 1, 2], [(0, 40), (40, 80), (80, 120)]
    keep = (x.copy(), list(ids), list(offsets))
    qr.PyQorRouter(DIM).build(x, ids, offsets, n_fine=16)
    assert np.array_equal(x, keep[0]) and ids == keep[1] and offsets == keep[2]


FAILURES = [
    ("bad pair", lambda x: (x, [1, 2], [(0, 10), (3, 200 + len(x))]), {}, qr.PanicException,
     r"^doc_offsets\[1\] = \(3, \d+\) is not a row range of the \d+-row matrix$"),
    ("reversed pair", lambda x: (x, [1], [(9, 4)]), {}, qr.PanicException, r"^doc_offsets\[0\] = \(9, 4\)"),
    ("one row", lambda x: (x[:1], [1], [(0, 1)]), {}, qr.PanicException, r"^codebook shape mismatch"),
    ("no rows", lambda x: (x[:0], [], []), {}, qr.PanicException, r"^codebook shape mismatch"),
    ("id count", lambda x: (x, [1, 2, 3], [(0, 5)]), {}, ValueError,
     r"^doc_ids has 3 entries but doc_offsets has 1 \(start, end\) pairs; pass one id per document$"),
    ("long document", lambda x: (np.zeros((65536, DIM), np.float32), [1], [(0, 65536)]), {}, ValueError,
     r"^document 0 has 65536 vectors; at most 65535 vectors per document are supported$"),
    ("too many fine centroids", lambda x: (np.zeros((65537, DIM), np.float32), [], []), {"n_fine": 70000}, ValueError,
     r"^n_fine 70000 over 65537 rows gives 65537 fine centroids; at most 65536 are supported$"),
    ("posting lists", lambda x: (x, [1], [(0, 5)]), {"n_coarse": 2**62}, MemoryError, None),
    ("width", lambda x: (np.zeros((10, DIM + 1), np.float32), [], []), {}, ValueError,
     r"^dimension mismatch: expected 8, got 9$"),
    ("layout", lambda x: (np.asfortranarray(x), [], []), {}, ValueError, r"^array must be C-contiguous$"),
]


@pytest.mark.parametrize("ready", [False, True], ids=["fresh", "ready"])
@pytest.mark.parametrize("make_args, kwargs, exc, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failed_build_leaves_router_unchanged(ready, make_args, kwargs, exc, message):
    r, x = built() if ready else (qr.PyQorRouter(DIM), clustered(400))
    before = answers(r, x[:6])
    with pytest.raises(exc, match=message):
        r.build(*make_args(x), **kwargs)
    assert answers(r, x[:6]) == before


def test_zero_columns_with_fewer_than_two_rows_is_refused():
    r = qr.PyQorRouter(0)
    with pytest.raises(qr.PanicException, match=r"^codebook shape mismatch"):
        r.build(np.zeros((1, 0), np.float32), [1], [(0, 1)])
    assert not r.is_ready()


def test_a_document_of_65535_vectors_is_indexed_whole():
    x = clustered(65536, dim=2, seed=4)
    r = qr.PyQorRouter(2)
    r.build(x, [42, 43], [(0, 65535), (65535, 65536)], n_fine=8, n_coarse=2, max_kmeans_iter=2)
    assert r.n_docs() == 2
    # The last row of the long document is part of its run.
    assert 42 in [d for d, _ in r.route_query(x[65534:65535], n_probes=2)]


WORKER_SCRIPT = textwrap.dedent(
    """
    import numpy as np, nuvaris_qor_router as qr
    rng = np.random.default_rng(3)
    x = rng.standard_normal((3000, 16)).astype(np.float32)
    r = qr.PyQorRouter(16)
    r.build(x, list(range(100)), [(i * 30, i * 30 + 30) for i in range(100)], n_fine=64, n_coarse=8)
    r.add_documents(x[:200], [500, 501], [(0, 120), (120, 200)])
    q = x[7:40]
    print(r.compute_query_profile(q, 6))
    print(r.get_cluster_entries(q, 6))
    print(r.query_cluster_overlaps(q, 6))
    print([(d, s.hex()) for d, s in r.route_query(q, 6)])
    """
)


def test_results_do_not_depend_on_the_worker_count():
    outputs = set()
    for threads in ("1", "2", "5"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", WORKER_SCRIPT], env=env, capture_output=True, text=True,
                              check=True)
        outputs.add(done.stdout)
    assert len(outputs) == 1
