"""add_documents: index continuation, representatives, unchanged codebook, and
failures that append nothing."""

import numpy as np
import pytest

import nuvaris_qor_router as qr

DIM = 8


def clustered(rows, seed=0, centres=12):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, DIM)).astype(np.float32) * 3
    return (c[rng.integers(0, centres, rows)] + rng.standard_normal((rows, DIM)).astype(np.float32)).astype(np.float32)


@pytest.fixture
def router():
    x = clustered(100)
    r = qr.PyQorRouter(DIM)
    r.build(x, list(range(10)), [(i * 10, i * 10 + 10) for i in range(10)], n_fine=32, n_coarse=8)
    return r, x


def answers(r, q):
    return (r.n_docs(), r.n_fine(), r.n_coarse(), r.route_query(q), r.compute_query_profile(q),
            r.get_cluster_entries(q), r.query_cluster_overlaps(q))


def test_new_document_continues_the_index(router):
    r, x = router
    probe = clustered(9, seed=7)
    profile_before = r.compute_query_profile(probe, 5)
    r.add_documents(x[20:24], [77], [(0, 4)])
    assert r.n_docs() == 11
    assert (r.n_fine(), r.n_coarse()) == (32, 8)
    # The idf weights are unchanged, so query profiles are too.
    assert r.compute_query_profile(probe, 5) == profile_before
    overlaps = r.query_cluster_overlaps(x[20:24])
    assert [d for d, _ in overlaps] == list(range(10)) + [77]


def test_identical_documents_tie_with_the_lower_index_first(router):
    r, x = router
    doc = clustered(6, seed=3)
    r.add_documents(doc, [500], [(0, 6)])
    r.add_documents(doc, [501], [(0, 6)])
    ranked = r.route_query(doc, n_probes=8)
    ids = [d for d, _ in ranked]
    assert ids.index(500) < ids.index(501)
    assert dict(ranked)[500] == dict(ranked)[501]
    overlaps = dict(r.query_cluster_overlaps(doc))
    assert overlaps[500] == overlaps[501]


def test_new_document_represents_only_clusters_nobody_had():
    # Built documents all sit near one centre; the added one sits elsewhere.
    rng = np.random.default_rng(1)
    base = rng.standard_normal((1, DIM)).astype(np.float32) * 5
    far = -base
    x = np.concatenate([base + rng.standard_normal((60, DIM)).astype(np.float32) * 0.3,
                        far + rng.standard_normal((60, DIM)).astype(np.float32) * 0.3]).astype(np.float32)
    r = qr.PyQorRouter(DIM)
    r.build(x, list(range(6)), [(i * 10, i * 10 + 10) for i in range(6)], n_fine=16, n_coarse=4, ctop_r=4)
    near_entries = r.get_cluster_entries(x[:60], 4)
    far_before = r.get_cluster_entries(x[60:], 4)
    r.add_documents(x[60:], [900, 901], [(0, 30), (30, 60)])
    assert r.get_cluster_entries(x[:60], 4) == near_entries
    far_after = r.get_cluster_entries(x[60:], 4)
    assert 900 in far_after and 901 not in far_after
    # Clusters that already had a representative keep it.
    assert len(far_after) > len(far_before)
    assert [d for d in far_after if d != 900] == far_before


FAILURES = [
    ("bad pair after good ones", lambda x: (x[:3], [1, 2], [(0, 1), (2, 5)]), qr.PanicException,
     r"^doc_offsets\[1\] = \(2, 5\) is not a row range of the 3-row matrix$"),
    ("reversed pair", lambda x: (x[:3], [1], [(2, 1)]), qr.PanicException, r"^doc_offsets\[0\] = \(2, 1\)"),
    ("ids without pairs", lambda x: (x[:3], [1, 2], []), ValueError,
     r"^doc_ids has 2 entries but doc_offsets has 0 \(start, end\) pairs; pass one id per document$"),
    ("long document", lambda x: (np.zeros((65536, DIM), np.float32), [1], [(0, 65536)]), ValueError,
     r"^document 0 has 65536 vectors; at most 65535 vectors per document are supported$"),
    ("width", lambda x: (np.zeros((3, 4), np.float32), [1], [(0, 1)]), ValueError,
     r"^dimension mismatch: expected 8, got 4$"),
    ("layout", lambda x: (np.asfortranarray(x[:5]), [1], [(0, 1)]), ValueError, r"^array must be C-contiguous$"),
]


@pytest.mark.parametrize("make_args, exc, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failed_add_leaves_router_unchanged(router, make_args, exc, message):
    r, x = router
    before = answers(r, x[:6])
    with pytest.raises(exc, match=message):
        r.add_documents(*make_args(x))
    assert answers(r, x[:6]) == before


def test_needs_a_built_router():
    with pytest.raises(ValueError, match=r"^router not built yet; call build\(\) first$"):
        qr.PyQorRouter(DIM).add_documents(np.zeros((2, 3), np.float32), [1], [(0, 2)])


def test_empty_call_changes_nothing(router):
    r, x = router
    before = answers(r, x[:6])
    r.add_documents(x[:0], [], [])
    assert answers(r, x[:6]) == before
