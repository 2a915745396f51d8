"""The C-contiguity test on matrix arguments and the fixed order of checks:
binding, access, conversion in parameter order, state, width, layout."""

import pathlib

import numpy as np
import pytest

import nuvaris_qor_router as qor

CONTIGUITY = "array must be C-contiguous"


def _byte_strided(rows, cols, row_bytes, col_bytes):
    """A float32 view whose byte strides need not be multiples of 4."""
    size = (rows - 1) * row_bytes + (cols - 1) * col_bytes + 4 if rows and cols else 0
    buf = bytearray(max(size, 4))
    return np.ndarray((rows, cols), dtype=np.float32, buffer=buf, strides=(row_bytes, col_bytes))


def _structured_field(rows, cols):
    return np.zeros(rows, dtype=[("tag", "u1"), ("v", "<f4", (cols,))])["v"]


W = 64
LAYOUTS = [
    ("zeros", lambda: np.zeros((100, W), np.float32), True),
    ("transpose", lambda: np.zeros((W, 100), np.float32).T, False),
    ("fortran copy", lambda: np.asfortranarray(np.zeros((100, W), np.float32)), False),
    ("every second row", lambda: np.zeros((200, W), np.float32)[::2], False),
    ("first row", lambda: np.zeros((100, W), np.float32)[:1], True),
    ("reversed rows", lambda: np.zeros((100, W), np.float32)[::-1], False),
    ("reversed columns", lambda: np.zeros((100, W), np.float32)[:, ::-1], False),
    ("one reversed row", lambda: np.zeros((1, W), np.float32)[::-1], True),
    ("column slice", lambda: np.zeros((100, 2 * W), np.float32)[:, :W], False),
    ("zero rows", lambda: np.zeros((0, W), np.float32), True),
    ("zero rows strided", lambda: np.zeros((0, 2 * W), np.float32)[:, ::2], True),
    ("structured field", lambda: _structured_field(10, W), False),
    ("odd row byte stride", lambda: _byte_strided(3, W, 4 * W + 2, 4), False),
    ("odd column byte stride, one row", lambda: _byte_strided(1, W, 4 * W * 2, 6), False),
    ("broadcast rows", lambda: np.broadcast_to(np.zeros((1, W), np.float32), (5, W)), False),
    ("read-only", lambda: _read_only(np.zeros((5, W), np.float32)), True),
]


def _read_only(a):
    a.setflags(write=False)
    return a


@pytest.fixture(scope="module")
def wide_router():
    rng = np.random.default_rng(3)
    r = qor.PyQorRouter(W)
    try:
        r.build(rng.standard_normal((64, W)).astype(np.float32), [1, 2], [(0, 32), (32, 64)], n_fine=8, n_coarse=2)
    except NotImplementedError as exc:
        pytest.skip(f"build not implemented in this build: {exc}")
    return r


@pytest.mark.parametrize(("make", "accepted"), [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
@pytest.mark.parametrize("method", ["route_query", "get_cluster_entries", "compute_query_profile", "query_cluster_overlaps"])
def test_layout_table(wide_router, implemented, make, accepted, method):
    m = make()
    before = m.copy()
    if accepted:
        implemented(getattr(wide_router, method), m)
    else:
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            getattr(wide_router, method)(m)
    np.testing.assert_array_equal(m, before)


@pytest.mark.parametrize(
    ("shape", "accepted"),
    [((100, 1), False), ((1, 1), True), ((0, 1), True)],
)
def test_single_column_views(implemented, shape, accepted):
    # A column kept two-dimensional has row stride 64, not 1.
    rows = shape[0]
    m = np.zeros((max(rows, 1), 64), np.float32)[:rows, :1]
    assert m.shape == shape
    r = qor.PyQorRouter(1)
    if accepted:
        with pytest.raises(ValueError, match=r"^router not built$"):
            r.route_query(m)
    else:
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            r.build(m, [1], [(0, rows)])


def test_zero_columns_pass_the_layout_check():
    m = np.zeros((5, 10), np.float32)[:, :0]
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 0$"):
        qor.PyQorRouter(3).build(m, [], [])
    r = qor.PyQorRouter(0)
    try:
        r.build(m[:, ::-1], [1], [(0, 5)])
    except (ValueError, qor.PanicException, NotImplementedError) as exc:
        assert str(exc) != CONTIGUITY


F_WRONG = np.asfortranarray(np.zeros((10, 5), np.float32))


@pytest.mark.parametrize(
    ("call", "exc_type", "message"),
    [
        # State before width before layout.
        (lambda r: r.route_query(F_WRONG), ValueError, "router not built"),
        (lambda r: r.get_cluster_entries(F_WRONG), ValueError, "router not built"),
        (lambda r: r.compute_query_profile(F_WRONG), ValueError, "router not built"),
        (lambda r: r.query_cluster_overlaps(F_WRONG), ValueError, "router not built"),
        (lambda r: r.add_documents(F_WRONG, [1], [(0, 1)]), ValueError, "router not built yet; call build() first"),
        (lambda r: r.save("/nonexistent/dir/x"), ValueError, "no state to save; call build() first"),
        (lambda r: r.build(F_WRONG, [1], [(0, 1)]), ValueError, "dimension mismatch: expected 64, got 5"),
        (lambda r: r.build(np.zeros((100, 32), np.float32), [1], [(0, 100)]), ValueError, "dimension mismatch: expected 64, got 32"),
        (lambda r: r.build(np.asfortranarray(np.zeros((10, 64), np.float32)), [1], [(0, 1)]), ValueError, CONTIGUITY),
        # Conversion before state, in parameter order.
        (lambda r: r.route_query(F_WRONG, -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda r: r.route_query([[1.0]], 2.5), TypeError, "argument 'query_vectors': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda r: r.route_query(F_WRONG, 1, "x"), TypeError, "argument 'max_candidates': 'str' object cannot be interpreted as an integer"),
        (lambda r: r.build(F_WRONG, "ids", 5), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
        (lambda r: r.build(F_WRONG, [1], [(0, 1)], n_fine=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda r: r.save(pathlib.PurePath("x")), TypeError, "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
        (lambda r: r.add_documents(F_WRONG, [1], [(0, 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ],
)
def test_check_order_on_a_fresh_router(call, exc_type, message):
    r = qor.PyQorRouter(64)
    with pytest.raises(exc_type) as info:
        call(r)
    assert type(info.value) is exc_type and str(info.value) == message
    assert r.is_ready() is False


def test_zero_dim_router_refuses_any_width():
    r = qor.PyQorRouter(0)
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 0, got 8$"):
        r.build(np.zeros((100, 8), np.float32), [1], [(0, 100)])


def test_built_router_width_then_layout(built_router):
    wrong_f = np.asfortranarray(np.zeros((10, 5), np.float32))
    for method in ("route_query", "get_cluster_entries"):
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 5$"):
            getattr(built_router, method)(wrong_f)
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            getattr(built_router, method)(np.asfortranarray(np.zeros((10, 8), np.float32)))
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 5$"):
        built_router.add_documents(wrong_f, [1], [(0, 1)])
    # The profile methods make no exact-width check, but still check the layout.
    for method in ("compute_query_profile", "query_cluster_overlaps"):
        with pytest.raises(ValueError, match=f"^{CONTIGUITY}$"):
            getattr(built_router, method)(np.asfortranarray(np.zeros((10, 8), np.float32)))
