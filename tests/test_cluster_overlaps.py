"""get_cluster_entries and query_cluster_overlaps against the documents' own C_tops.

A document's C_top equals the profile of its own vectors with n_probes 0 (the
same codes, the same idf, r = ctop_r), which gives an independent reference."""

import numpy as np
import pytest

import nuvaris_qor_router as qr
from conftest import clustered

DIM = 8


@pytest.fixture(scope="module", params=[(16, 3), (1, 2)], ids=["lists16", "lists1"])
def indexed(request):
    """Overlapping, empty and partial documents from build, two more from add_documents."""
    n_coarse, ctop_r = request.param
    x = clustered(800)
    rng = np.random.default_rng(5)
    offsets = [(int(s), int(s + rng.integers(0, 20))) for s in rng.integers(0, 780, 70)]
    r = qr.PyQorRouter(DIM)
    r.build(x, [10 * i + 3 for i in range(70)], offsets, n_fine=64, n_coarse=n_coarse, ctop_r=ctop_r)
    extra = clustered(40, seed=8)
    r.add_documents(extra, [7000, 7001], [(0, 25), (25, 40)])
    docs = [x[s:e] for s, e in offsets] + [extra[:25], extra[25:]]
    ctops = [r.compute_query_profile(d, 0)[1] for d in docs]
    return r, [10 * i + 3 for i in range(70)] + [7000, 7001], ctops, n_coarse


@pytest.mark.parametrize("n_probes", [0, 12])
@pytest.mark.parametrize("rows, seed", [(1, 20), (32, 22)])
def test_overlaps_and_entries_match_document_ctops(indexed, rows, seed, n_probes):
    r, ids, ctops, n_lists = indexed
    query = clustered(rows, seed=seed)
    qctop = r.compute_query_profile(query, n_probes)[1]
    assert r.query_cluster_overlaps(query, n_probes) == [
        (ids[d], len(set(qctop) & set(c))) for d, c in enumerate(ctops)
    ]
    # Entry hints: per query cluster in C_top order, the lowest document whose
    # C_top holds it; clusters without a posting list or a document are skipped.
    reps = {}
    for d, c in enumerate(ctops):
        for cl in c:
            reps.setdefault(cl, d)
    assert r.get_cluster_entries(query, n_probes) == [ids[reps[cl]] for cl in qctop if cl < n_lists and cl in reps]


def test_empty_query_has_no_entries_and_zero_overlaps(indexed):
    r, ids, _, _ = indexed
    empty = np.zeros((0, DIM), np.float32)
    assert r.get_cluster_entries(empty) == []
    assert r.query_cluster_overlaps(empty) == [(d, 0) for d in ids]
