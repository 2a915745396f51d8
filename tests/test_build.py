"""build and add_documents: clamped counts, pair handling, index continuation,
and failures that leave the router as it was."""


import numpy as np
import pytest

import nuvaris_qor_router as qr
from conftest import clustered, router_answers, state_body

DIM = 8


def built(rows=400, **kw):
    x = clustered(rows)
    r = qr.PyQorRouter(DIM)
    r.build(x, [1000 + i for i in range(rows // 10)], [(s, s + 10) for s in range(0, rows, 10)],
            **{"n_fine": 32, "n_coarse": 8, **kw})
    return r, x


@pytest.mark.parametrize(
    "rows, n_fine, n_coarse, want_fine, want_coarse",
    [(20, 256, 32, 20, 10), (20, 256, 1, 20, 2), (20, 256, 0, 20, 2), (3, 256, 32, 3, 2),
     (600, 256, 200, 256, 128), (600, 0, 32, 2, 2)],
)
def test_trained_counts_are_clamped(tmp_path, rows, n_fine, n_coarse, want_fine, want_coarse):
    r = qr.PyQorRouter(DIM)
    r.build(clustered(rows), [1], [(0, rows)], n_fine=n_fine, n_coarse=n_coarse, max_kmeans_iter=3)
    assert (r.n_fine(), r.n_coarse(), r.n_docs()) == (want_fine, want_coarse, 1)
    # The posting lists keep the requested count; those past the trained clusters stay empty.
    lists = state_body(r, tmp_path / "s.qor")["postings"]["lists"]
    assert len(lists) == n_coarse and not any(lists[want_coarse:])
    qr.PyQorRouter(DIM).load(str(tmp_path / "s.qor"))
    # The document's C_top is drawn from the trained clusters only.
    assert all(c < want_coarse for c in r.compute_query_profile(clustered(5, seed=9), 10)[1])


def test_empty_and_overlapping_pairs_in_the_saved_layout(tmp_path):
    r = qr.PyQorRouter(DIM)
    r.build(clustered(40), [7, 8, 9, 10], [(0, 10), (5, 15), (5, 5), (30, 40)], n_fine=16, n_coarse=4, ctop_r=2)
    s = state_body(r, tmp_path / "s.qor")
    assert (s["flat_codes"]["offsets"], s["flat_codes"]["lengths"]) == ([0, 10, 20, 20], [10, 10, 0, 10])
    p = s["doc_profiles"]
    assert p[2] == {"centroid_ids": [], "ctop": []} and p[0]["centroid_ids"][5:] == p[1]["centroid_ids"][:5]
    # Without documents every code weighs ln 2.
    r.build(clustered(40), [], [], n_fine=16, n_coarse=4)
    assert all(np.float32(w) == np.log(np.float32(2)) for w in state_body(r, tmp_path / "s.qor")["codebook"]["idf"])


@pytest.mark.parametrize("ids, offsets, ctop_r", [([], [], 3), ([7, 8], [(0, 10), (10, 20)], 0)],
                         ids=["no documents", "ctop_r 0"])
def test_nothing_posted(ids, offsets, ctop_r):
    x = clustered(400)
    r = qr.PyQorRouter(DIM)
    r.build(x, ids, offsets, n_fine=32, n_coarse=8, ctop_r=ctop_r)
    assert r.is_ready() and r.n_docs() == len(ids)
    assert r.route_query(x[:10], n_probes=8) == []
    assert r.get_cluster_entries(x[:10], 8) == []
    assert r.query_cluster_overlaps(x[:10], 8) == [(d, 0) for d in ids]
    # The query's codes keep a positive idf, so with probes it still gets a C_top.
    assert r.compute_query_profile(x[:10], 3)[1]


def test_second_build_replaces_everything_and_leaves_inputs_alone():
    r, x = built()
    y = clustered(90, seed=5)
    ids, offsets = [5, 6, 7], [(0, 30), (30, 60), (60, 90)]
    keep = (y.copy(), list(ids), list(offsets))
    r.build(y, ids, offsets, n_fine=16, n_coarse=3, ctop_r=2)
    assert np.array_equal(y, keep[0]) and ids == keep[1] and offsets == keep[2]
    fresh = qr.PyQorRouter(DIM)
    fresh.build(y, ids, offsets, n_fine=16, n_coarse=3, ctop_r=2)
    assert router_answers(r, [y[:7]]) == router_answers(fresh, [y[:7]])
    assert [d for d, _ in r.query_cluster_overlaps(x[:5])] == [5, 6, 7]


def test_added_document_continues_the_index_and_keeps_the_codebook():
    r, x = built(100)
    probe = clustered(9, seed=7)
    profile_before = r.compute_query_profile(probe, 5)
    before = router_answers(r, [x[:6]])
    r.add_documents(x[:0], [], [])  # an empty call changes nothing
    assert router_answers(r, [x[:6]]) == before
    r.add_documents(x[20:24], [77], [(0, 4)])
    assert (r.n_docs(), r.n_fine(), r.n_coarse()) == (11, 32, 8)
    # The idf weights are unchanged, so query profiles are too.
    assert r.compute_query_profile(probe, 5) == profile_before
    assert [d for d, _ in r.query_cluster_overlaps(x[20:24])] == [*range(1000, 1010), 77]


BOTH = [("build", False), ("build", True), ("add_documents", True)]
BUILD = BOTH[:2]
FAILURES = [  # name, (method, ready) pairs, arguments from the 400-row x, keywords, exception, message
    ("bad pair", BOTH, lambda x: (x, [1, 2], [(0, 10), (3, 500)]), {}, qr.PanicException,
     r"^doc_offsets\[1\] = \(3, 500\) is not a row range of the 400-row matrix$"),
    ("reversed pair", BOTH, lambda x: (x, [1], [(9, 4)]), {}, qr.PanicException, r"^doc_offsets\[0\] = \(9, 4\)"),
    ("ids without pairs", BOTH, lambda x: (x, [1, 2], []), {}, ValueError,
     r"^doc_ids has 2 entries but doc_offsets has 0 \(start, end\) pairs; pass one id per document$"),
    ("long document", BOTH, lambda x: (np.zeros((65536, DIM), np.float32), [1], [(0, 65536)]), {}, ValueError,
     r"^document 0 has 65536 vectors; at most 65535 vectors per document are supported$"),
    ("narrower", BOTH, lambda x: (np.zeros((10, 4), np.float32), [1], [(0, 1)]), {}, ValueError,
     r"^dimension mismatch: expected 8, got 4$"),
    ("wider", BOTH, lambda x: (np.zeros((10, DIM + 1), np.float32), [], []), {}, ValueError,
     r"^dimension mismatch: expected 8, got 9$"),
    ("layout", BOTH, lambda x: (np.asfortranarray(x), [], []), {}, ValueError, r"^array must be C-contiguous$"),
    ("one row", BUILD, lambda x: (x[:1], [1], [(0, 1)]), {}, qr.PanicException, r"^codebook shape mismatch"),
    ("no rows", BUILD, lambda x: (x[:0], [], []), {}, qr.PanicException, r"^codebook shape mismatch"),
    ("too many fine centroids", BUILD, lambda x: (np.zeros((65537, DIM), np.float32), [], []), {"n_fine": 70000},
     ValueError, r"^n_fine 70000 over 65537 rows gives 65537 fine centroids; at most 65536 are supported$"),
    ("posting lists", BUILD, lambda x: (x, [1], [(0, 5)]), {"n_coarse": 2**62}, MemoryError, None),
    ("not built", [("add_documents", False)], lambda x: (x[:2], [1], [(0, 2)]), {}, ValueError,
     r"^router not built yet; call build\(\) first$"),
]


@pytest.mark.parametrize("method, ready, make_args, kwargs, exc, message", [
    pytest.param(method, ready, *rest, id=f"{method}-{name}-{'ready' if ready else 'fresh'}")
    for name, calls, *rest in FAILURES for method, ready in calls])
def test_failure_leaves_router_unchanged(method, ready, make_args, kwargs, exc, message):
    r, x = built() if ready else (qr.PyQorRouter(DIM), clustered(400))
    before = router_answers(r, [x[:6]])
    with pytest.raises(exc, match=message):
        getattr(r, method)(*make_args(x), **kwargs)
    assert router_answers(r, [x[:6]]) == before


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
