"""compute_query_profile: the C_top budget and empty queries; the input rules
shared by the light query methods."""

import numpy as np
import pytest

import nuvaris_qor_router as qr
from conftest import clustered

DIM = 8


@pytest.fixture(scope="module", params=[3, 0], ids=["ctop_r3", "ctop_r0"])
def router(request):
    r = qr.PyQorRouter(DIM)
    r.build(clustered(600), list(range(60)), [(i * 10, i * 10 + 10) for i in range(60)], n_fine=64, n_coarse=16,
            ctop_r=request.param)
    return r, request.param


QUERY = clustered(40, seed=11)


@pytest.mark.parametrize("n_probes", [0, 2, 10])
def test_ctop_budget_is_the_larger_of_probes_and_ctop_r(router, n_probes):
    r, ctop_r = router
    ids, ctop = r.compute_query_profile(QUERY, n_probes)
    assert len(ids) == len(QUERY) and all(0 <= i < r.n_fine() for i in ids)
    # A larger budget only extends the ranking; this query spans more clusters than any budget here.
    assert ctop == r.compute_query_profile(QUERY, 16)[1][: max(n_probes, ctop_r)]
    # Each row's code does not depend on the other rows.
    assert [r.compute_query_profile(QUERY[i : i + 1])[0][0] for i in range(5)] == ids[:5]


@pytest.mark.parametrize("cols", [0, DIM, 3])
def test_query_without_rows(router, cols):
    assert router[0].compute_query_profile(np.zeros((0, cols), np.float32)) == ([], [])


METHODS = ["compute_query_profile", "get_cluster_entries", "query_cluster_overlaps"]
SHAPE_MISMATCH = (qr.PanicException, r"^vector shape mismatch")
BAD_INPUTS = [  # name, query, {method: (exception, message)}, for a built router unless "fresh"
    (
        "narrower",
        np.zeros((2, DIM - 1), np.float32),
        {
            "compute_query_profile": SHAPE_MISMATCH,
            "query_cluster_overlaps": SHAPE_MISMATCH,
            "get_cluster_entries": (ValueError, r"^dimension mismatch: expected 8, got 7$"),
        },
    ),
    (
        "wider",
        np.zeros((2, DIM + 1), np.float32),
        dict.fromkeys(METHODS, (ValueError, r"^dimension mismatch: expected 8, got 9$")),
    ),
    ("fortran", np.asfortranarray(QUERY[:4]), dict.fromkeys(METHODS, (ValueError, r"^array must be C-contiguous$"))),
    ("fresh", QUERY, dict.fromkeys(METHODS, (ValueError, r"^router not built$"))),
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name, query, expected", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_input_is_refused(router, method, name, query, expected):
    r = qr.PyQorRouter(DIM) if name == "fresh" else router[0]
    exc, message = expected[method]
    with pytest.raises(exc, match=message):
        getattr(r, method)(query)
