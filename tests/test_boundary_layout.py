"""The C-contiguity test on matrix arguments and the fixed order of checks:
binding, access, conversion in parameter order, state, width, layout."""

import numpy as np
import pytest

import nuvaris_qor_router as qor

CONTIGUITY = "array must be C-contiguous"
W = 64


def _strided(rows, row_bytes, col_bytes):
    """A float32 view of width W whose byte strides need not be multiples of 4."""
    buf = bytearray((rows - 1) * row_bytes + (W - 1) * col_bytes + 4)
    return np.ndarray((rows, W), np.float32, buffer=buf, strides=(row_bytes, col_bytes))


LAYOUTS = [
    ("transpose", lambda: np.zeros((W, 100), np.float32).T, False),
    ("every second row", lambda: np.zeros((200, W), np.float32)[::2], False),
    ("reversed rows", lambda: np.zeros((100, W), np.float32)[::-1], False),
    ("reversed columns", lambda: np.zeros((100, W), np.float32)[:, ::-1], False),
    ("one reversed row", lambda: np.zeros((1, W), np.float32)[::-1], True),
    ("column slice", lambda: np.zeros((100, 2 * W), np.float32)[:, :W], False),
    ("zero rows strided", lambda: np.zeros((0, 2 * W), np.float32)[:, ::2], True),
    ("structured field", lambda: np.zeros(10, dtype=[("tag", "u1"), ("v", "<f4", (W,))])["v"], False),
    ("odd row byte stride", lambda: _strided(3, 4 * W + 2, 4), False),
    ("odd column byte stride, one row", lambda: _strided(1, 4 * W * 2, 6), False),
    ("broadcast rows", lambda: np.broadcast_to(np.zeros((1, W), np.float32), (5, W)), False),
    ("read-only", lambda: np.frombuffer(bytes(5 * W * 4), np.float32).reshape(5, W), True),
]


@pytest.fixture(scope="module")
def wide_router():
    r = qor.PyQorRouter(W)
    r.build(
        np.random.default_rng(3).standard_normal((64, W)).astype(np.float32),
        [1, 2],
        [(0, 32), (32, 64)],
        n_fine=8,
        n_coarse=2,
    )
    return r


@pytest.mark.parametrize(("make", "accepted"), [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
@pytest.mark.parametrize(
    "method", ["route_query", "get_cluster_entries", "compute_query_profile", "query_cluster_overlaps"]
)
def test_layout_table(wide_router, make, accepted, method):
    m = make()
    before = m.copy()
    if accepted:
        getattr(wide_router, method)(m)
    else:
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            getattr(wide_router, method)(m)
    np.testing.assert_array_equal(m, before)


@pytest.mark.parametrize("rows", [100, 1, 0])
def test_single_column_views(rows):
    # A column kept two-dimensional has a row stride of 64 floats, not 1;
    # that only matters when there is more than one row.
    r = qor.PyQorRouter(1)
    r.build(np.arange(8, dtype=np.float32).reshape(8, 1), [1], [(0, 8)], n_fine=2, n_coarse=1)
    m = np.zeros((max(rows, 1), 64), np.float32)[:rows, :1]
    if rows > 1:
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            r.route_query(m)
    else:
        r.route_query(m)


def test_zero_columns_pass_the_layout_check():
    try:
        qor.PyQorRouter(0).build(np.zeros((5, 10), np.float32)[:, :0][:, ::-1], [1], [(0, 5)])
    except (ValueError, qor.PanicException) as exc:
        assert str(exc) != CONTIGUITY


F_WRONG = np.asfortranarray(np.zeros((10, 5), np.float32))


@pytest.mark.parametrize(
    ("call", "exc_type", "message"),
    [
        # State before width before layout.
        (lambda r: r.route_query(F_WRONG), ValueError, "router not built"),
        (lambda r: r.query_cluster_overlaps(F_WRONG), ValueError, "router not built"),
        (lambda r: r.add_documents(F_WRONG, [1], [(0, 1)]), ValueError, "router not built yet; call build() first"),
        (lambda r: r.save("/nonexistent/dir/x"), ValueError, "no state to save; call build() first"),
        (lambda r: r.build(F_WRONG, [1], [(0, 1)]), ValueError, "dimension mismatch: expected 64, got 5"),
        (
            lambda r: r.build(np.zeros((100, 32), np.float32), [1], [(0, 100)]),
            ValueError,
            "dimension mismatch: expected 64, got 32",
        ),
        (
            lambda r: qor.PyQorRouter(3).build(np.zeros((5, 10), np.float32)[:, :0], [], []),
            ValueError,
            "dimension mismatch: expected 3, got 0",
        ),
        (
            lambda r: qor.PyQorRouter(0).build(np.zeros((100, 8), np.float32), [1], [(0, 100)]),
            ValueError,
            "dimension mismatch: expected 0, got 8",
        ),
        (lambda r: r.build(np.asfortranarray(np.zeros((10, 64), np.float32)), [1], [(0, 1)]), ValueError, CONTIGUITY),
        # Conversion before state, in parameter order.
        (lambda r: r.route_query(F_WRONG, -1), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda r: r.route_query([[1.0]], 2.5),
            TypeError,
            "argument 'query_vectors': 'list' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda r: r.route_query(F_WRONG, 1, "x"),
            TypeError,
            "argument 'max_candidates': 'str' object cannot be interpreted as an integer",
        ),
        (lambda r: r.build(F_WRONG, "ids", 5), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
        (lambda r: r.build(F_WRONG, [1], [(0, 1)], n_fine=-1), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda r: r.add_documents(F_WRONG, [1], [(0, 1, 2)]),
            ValueError,
            "expected tuple of length 2, but got tuple of length 3",
        ),
    ],
)
def test_check_order_on_a_fresh_router(call, exc_type, message):
    r = qor.PyQorRouter(64)
    with pytest.raises(exc_type) as info:
        call(r)
    assert type(info.value) is exc_type and str(info.value) == message
    assert r.is_ready() is False


@pytest.mark.parametrize(
    "method", ["route_query", "get_cluster_entries", "add_documents", "compute_query_profile", "query_cluster_overlaps"]
)
def test_built_router_width_then_layout(built_router, method):
    def call(m):
        return getattr(built_router, method)(*((m, [1], [(0, 1)]) if method == "add_documents" else (m,)))

    # The profile methods make no exact-width check: they check the layout
    # first and refuse only a query wider than the router, so a transposed
    # wide query is reported as transposed.
    if method not in ("compute_query_profile", "query_cluster_overlaps"):
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 5$"):
            call(F_WRONG)
    else:
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            call(np.zeros((100, 8), np.float32).T)
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 9$"):
            call(np.zeros((3, 9), np.float32))
    with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
        call(np.asfortranarray(np.zeros((10, 8), np.float32)))
