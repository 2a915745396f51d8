"""Random Python objects thrown at every method, positionally and by
keyword: only the documented exception types come back, nothing crashes, and
the router is never left borrowed."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nuvaris_qor_router as qor

D = 4
PARAMS = {
    "__new__": ["dim"],
    "build": ["all_vectors", "doc_ids", "doc_offsets", "n_fine", "n_coarse", "max_kmeans_iter", "ctop_r"],
    "add_documents": ["new_vectors", "new_doc_ids", "doc_offsets"],
    "route_query": ["query_vectors", "n_probes", "max_candidates"],
    "get_cluster_entries": ["query_vectors", "n_probes"],
    "compute_query_profile": ["query_vectors", "n_probes"],
    "query_cluster_overlaps": ["query_vectors", "n_probes"],
    "save": ["path"],
    "load": ["path"],
    "is_ready": [],
    "n_docs": [],
    "n_fine": [],
    "n_coarse": [],
}
ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError, NotImplementedError)
# Internal invariant failures that these methods document: (start, end)
# pairs outside the matrix, too few rows to train, a query narrower than the
# codebook reaching the encoder.
MAY_PANIC = {"build", "add_documents", "compute_query_profile", "query_cluster_overlaps"}


class Hostile:
    """Raises or calls back into the router from the protocol hooks."""

    router = None

    def __init__(self, mode, payload):
        self.mode, self.payload = mode, payload

    def _act(self):
        if self.mode == "raise":
            raise self.payload("hostile")
        if self.mode == "reenter" and Hostile.router is not None:
            getattr(Hostile.router, self.payload)()
        return None

    def __index__(self):
        self._act()
        return 3

    def __len__(self):
        self._act()
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return (0, 1)

    def __iter__(self):
        self._act()
        return iter([(0, 1), 1])


scalars = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.integers(min_value=0, max_value=64),
    st.booleans(),
    st.floats(allow_nan=True),
    st.text(max_size=6),
    st.binary(max_size=6),
    st.none(),
    st.sampled_from([np.int64(3), np.uint8(2), np.float32(1.5), np.int32(-1)]),
)

arrays = st.builds(
    lambda dtype, shape, order, fill: np.full(shape, fill, dtype=dtype, order=order),
    st.sampled_from([np.float32, np.float64, np.int32, np.uint8, ">f4", np.bool_, np.complex64]),
    st.one_of(
        st.tuples(st.integers(0, 5), st.sampled_from([0, 1, D - 1, D, D + 1])),
        st.tuples(st.integers(0, 4)),
        st.tuples(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3)),
    ),
    st.sampled_from(["C", "F"]),
    st.sampled_from([0, 1, -2.5]),
)

hostile = st.builds(
    Hostile,
    st.sampled_from(["raise", "reenter", "quiet"]),
    st.sampled_from([TypeError, ValueError, RuntimeError, KeyError]),
).map(lambda h: h if h.mode != "reenter" else Hostile("reenter", "n_docs"))
hostile_writer = st.just(Hostile("reenter", "is_ready"))

objects = st.recursive(
    st.one_of(scalars, arrays, hostile, hostile_writer),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.tuples(st.integers(0, 6), st.integers(0, 6)),
        st.dictionaries(st.text(max_size=2), inner, max_size=2),
        st.frozensets(st.integers(0, 5), max_size=3),
        st.lists(inner, max_size=3).map(lambda xs: (x for x in xs)),
    ),
    max_leaves=6,
)


@pytest.fixture(scope="module")
def fuzz_router():
    r = qor.PyQorRouter(D)
    rng = np.random.default_rng(5)
    try:
        r.build(rng.standard_normal((16, D)).astype(np.float32), [1, 2], [(0, 8), (8, 16)], n_fine=4, n_coarse=2)
    except NotImplementedError:
        pass
    return r


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    method=st.sampled_from(sorted(PARAMS)),
    values=st.lists(objects, max_size=8),
    n_keyword=st.integers(0, 8),
    extra_keyword=st.one_of(st.none(), st.text(min_size=1, max_size=4)),
)
def test_random_arguments(fuzz_router, tmp_path, method, values, n_keyword, extra_keyword):
    Hostile.router = fuzz_router
    names = PARAMS[method]
    split = max(0, len(values) - n_keyword)
    args = list(values[:split])
    kwargs = {name: v for name, v in zip(names[split:], values[split:])}
    if extra_keyword is not None and values:
        kwargs[extra_keyword] = values[0]
    # Never let a random path reach outside the temporary directory.
    for i, name in enumerate(names[: len(args)]):
        if name == "path" and isinstance(args[i], str):
            args[i] = str(tmp_path / "f.qor")
    if isinstance(kwargs.get("path"), str):
        kwargs["path"] = str(tmp_path / "f.qor")
    target = qor.PyQorRouter if method == "__new__" else getattr(fuzz_router, method)
    try:
        target(*args, **kwargs)
    except ALLOWED:
        pass
    except qor.PanicException:
        assert method in MAY_PANIC
    finally:
        Hostile.router = None
    # Not left borrowed: shared and exclusive access are both granted.
    assert fuzz_router.is_ready() in (True, False)
    try:
        fuzz_router.load(str(tmp_path / "missing.qor"))
    except (ValueError, NotImplementedError) as exc:
        assert "borrowed" not in str(exc)
