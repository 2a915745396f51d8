"""get_cluster_entries and query_cluster_overlaps against the documents' own C_tops.

A document's C_top equals the profile of its own vectors with n_probes 0 (the
same codes, the same idf, r = ctop_r), which gives an independent reference."""

import numpy as np
import pytest

import nuvaris_qor_router as qr

DIM = 8


def clustered(rows, seed=0, centres=12):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, DIM)).astype(np.float32) * 3
    return (c[rng.integers(0, centres, rows)] + rng.standard_normal((rows, DIM)).astype(np.float32)).astype(np.float32)


@pytest.fixture(scope="module", params=[(16, 3), (1, 2), (64, 4)], ids=["lists16", "lists1", "lists64"])
def indexed(request):
    n_coarse, ctop_r = request.param
    x = clustered(800)
    rng = np.random.default_rng(5)
    starts = rng.integers(0, 780, 70)
    offsets = [(int(s), int(s + rng.integers(0, 20))) for s in starts]
    r = qr.PyQorRouter(DIM)
    r.build(x, [10 * i + 3 for i in range(70)], offsets, n_fine=64, n_coarse=n_coarse, ctop_r=ctop_r)
    extra = clustered(40, seed=8)
    r.add_documents(extra, [7000, 7001], [(0, 25), (25, 40)])
    docs = [x[s:e] for s, e in offsets] + [extra[:25], extra[25:]]
    ctops = [r.compute_query_profile(d, 0)[1] for d in docs]
    return r, [10 * i + 3 for i in range(70)] + [7000, 7001], ctops, n_coarse


QUERIES = [clustered(n, seed=s) for n, s in [(1, 20), (12, 21), (32, 22)]]


@pytest.mark.parametrize("n_probes", [0, 4, 12])
@pytest.mark.parametrize("q", range(len(QUERIES)))
def test_overlaps_and_entries_match_document_ctops(indexed, q, n_probes):
    r, ids, ctops, n_lists = indexed
    query = QUERIES[q]
    qctop = r.compute_query_profile(query, n_probes)[1]
    expected = [(ids[d], len(set(qctop) & set(c))) for d, c in enumerate(ctops)]
    assert r.query_cluster_overlaps(query, n_probes) == expected
    # Entry hints: per query cluster in C_top order, the lowest document whose
    # C_top holds it; clusters without a posting list or a document are skipped.
    reps = {}
    for d, c in enumerate(ctops):
        for cl in c:
            reps.setdefault(cl, d)
    hints = [ids[reps[cl]] for cl in qctop if cl < n_lists and cl in reps]
    assert r.get_cluster_entries(query, n_probes) == hints


def test_one_document_represents_every_cluster_it_holds():
    x = clustered(300)
    r = qr.PyQorRouter(DIM)
    # Rows outside the documents keep the idf of most codes positive.
    r.build(x, [41, 42], [(0, 100), (100, 101)], n_fine=32, n_coarse=8, ctop_r=3)
    qctop = r.compute_query_profile(x[:100], 0)[1]
    assert len(qctop) == 3
    assert r.get_cluster_entries(x[:100], 0) == [41, 41, 41]


def test_empty_query_has_no_entries_and_zero_overlaps(indexed):
    r, ids, _, _ = indexed
    empty = np.zeros((0, DIM), np.float32)
    assert r.get_cluster_entries(empty) == []
    assert r.query_cluster_overlaps(empty) == [(d, 0) for d in ids]


def test_width_rules(indexed):
    r = indexed[0]
    narrow, wide = np.zeros((2, DIM - 1), np.float32), np.zeros((2, DIM + 1), np.float32)
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 7$"):
        r.get_cluster_entries(narrow)
    with pytest.raises(qr.PanicException, match=r"^vector shape mismatch"):
        r.query_cluster_overlaps(narrow)
    for method in (r.get_cluster_entries, r.query_cluster_overlaps):
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 9$"):
            method(wide)


@pytest.mark.parametrize("method", ["get_cluster_entries", "query_cluster_overlaps"])
def test_fresh_router_is_not_built(method):
    with pytest.raises(ValueError, match=r"^router not built$"):
        getattr(qr.PyQorRouter(DIM), method)(QUERIES[0])
