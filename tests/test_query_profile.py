"""compute_query_profile: the C_top budget, empty queries and the width rules."""

import numpy as np
import pytest

import nuvaris_qor_router as qr

DIM = 8


def clustered(rows, seed=0, centres=12):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, DIM)).astype(np.float32) * 3
    return (c[rng.integers(0, centres, rows)] + rng.standard_normal((rows, DIM)).astype(np.float32)).astype(np.float32)


def build(ctop_r):
    x = clustered(600)
    r = qr.PyQorRouter(DIM)
    r.build(x, list(range(60)), [(i * 10, i * 10 + 10) for i in range(60)], n_fine=64, n_coarse=16, ctop_r=ctop_r)
    return r


@pytest.fixture(scope="module")
def router():
    return build(3)


QUERY = clustered(40, seed=11)


@pytest.mark.parametrize("ctop_r, n_probes, budget", [(3, 0, 3), (3, 2, 3), (3, 10, 10), (0, 0, 0), (0, 5, 5)])
def test_ctop_budget_is_the_larger_of_probes_and_ctop_r(ctop_r, n_probes, budget):
    r = build(ctop_r)
    ids, ctop = r.compute_query_profile(QUERY, n_probes)
    assert len(ids) == len(QUERY) and all(0 <= i < r.n_fine() for i in ids)
    assert len(ctop) == min(budget, len(ctop)) <= budget and len(set(ctop)) == len(ctop)
    # A larger budget only extends the ranking.
    wide = r.compute_query_profile(QUERY, 16)[1]
    assert ctop == wide[: len(ctop)]
    if budget:
        assert ctop


def test_profile_is_deterministic_and_rowwise(router):
    ids, _ = router.compute_query_profile(QUERY)
    assert router.compute_query_profile(QUERY) == router.compute_query_profile(QUERY.copy())
    # Each row's code does not depend on the other rows.
    assert [router.compute_query_profile(QUERY[i : i + 1])[0][0] for i in range(5)] == ids[:5]
    # Repeated rows repeat their code.
    doubled = np.concatenate([QUERY[:3], QUERY[:3]])
    assert router.compute_query_profile(doubled)[0] == ids[:3] * 2


@pytest.mark.parametrize("cols", [0, DIM, 3])
def test_query_without_rows(router, cols):
    assert router.compute_query_profile(np.zeros((0, cols), np.float32)) == ([], [])


def test_narrower_query_fails_in_encoding(router):
    with pytest.raises(qr.PanicException, match=r"^vector shape mismatch"):
        router.compute_query_profile(np.zeros((2, DIM - 2), np.float32))


def test_wider_query_is_refused(router):
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 9$"):
        router.compute_query_profile(np.zeros((2, DIM + 1), np.float32))


def test_fortran_query_is_refused(router):
    with pytest.raises(ValueError, match=r"^array must be C-contiguous$"):
        router.compute_query_profile(np.asfortranarray(QUERY[:4]))


def test_fresh_router_is_not_built():
    with pytest.raises(ValueError, match=r"^router not built$"):
        qr.PyQorRouter(DIM).compute_query_profile(QUERY)
