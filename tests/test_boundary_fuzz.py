"""Random Python objects thrown at every method, positionally and by
keyword: only the documented exception types come back, nothing crashes, and
the router is never left borrowed."""

import inspect

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nuvaris_qor_router as qor

D = 4
METHODS = {"__new__": qor.PyQorRouter} | {
    name: getattr(qor.PyQorRouter, name) for name in vars(qor.PyQorRouter) if not name.startswith("__")
}
# KeyError only comes from a Hostile hook and passes through unchanged.
ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError, KeyError)
# Documented internal invariant failures: (start, end) pairs outside the
# matrix, too few rows to train, a query narrower than the codebook.
MAY_PANIC = {"build", "add_documents", "compute_query_profile", "query_cluster_overlaps"}


class Hostile:
    """From the protocol hooks: raises `act` if it is an exception type,
    otherwise calls the router method it names, if any."""

    router = None

    def __init__(self, act):
        self.act = act

    def _act(self):
        if isinstance(self.act, type):
            raise self.act("hostile")
        if self.act:
            getattr(Hostile.router, self.act)()

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


hostile = st.sampled_from(
    [Hostile(a) for a in (TypeError, ValueError, RuntimeError, KeyError, "n_docs", "is_ready", None)]
)
scalars = (
    st.integers(-(2**70), 2**70) | st.integers(0, 64) | st.booleans() | st.floats() | st.none()
    | st.text(max_size=6) | st.binary(max_size=6)
    | st.sampled_from([np.int64(3), np.uint8(2), np.float32(1.5), np.int32(-1)])
)
arrays = st.builds(
    lambda dtype, shape, order, fill: np.full(shape, fill, dtype=dtype, order=order),
    st.sampled_from([np.float32, np.float64, np.int32, np.uint8, ">f4", np.bool_, np.complex64]),
    st.tuples(st.integers(0, 5), st.sampled_from([0, 1, D - 1, D, D + 1]))
    | st.tuples(st.integers(0, 4)) | st.tuples(*[st.integers(0, 3)] * 3),
    st.sampled_from(["C", "F"]),
    st.sampled_from([0, 1, -2.5]),
)
objects = st.recursive(
    scalars | arrays | hostile,
    lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple)
    | st.tuples(st.integers(0, 6), st.integers(0, 6)) | st.dictionaries(st.text(max_size=2), inner, max_size=2)
    | st.frozensets(st.integers(0, 5), max_size=3) | st.lists(inner, max_size=3).map(lambda xs: (x for x in xs)),
    max_leaves=6,
)


@pytest.fixture(scope="module")
def fuzz_router():
    r = qor.PyQorRouter(D)
    r.build(
        np.random.default_rng(5).standard_normal((16, D)).astype(np.float32),
        [1, 2],
        [(0, 8), (8, 16)],
        n_fine=4,
        n_coarse=2,
    )
    return r


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    method=st.sampled_from(sorted(METHODS)),
    values=st.lists(objects, max_size=8),
    n_keyword=st.integers(0, 8),
    extra_keyword=st.one_of(st.none(), st.text(min_size=1, max_size=4)),
)
def test_random_arguments(fuzz_router, tmp_path, method, values, n_keyword, extra_keyword):
    target = METHODS[method] if method == "__new__" else getattr(fuzz_router, method)
    names = list(inspect.signature(target).parameters)
    split = max(0, len(values) - n_keyword)
    args, kwargs = list(values[:split]), dict(zip(names[split:], values[split:]))
    if extra_keyword is not None and values:
        kwargs[extra_keyword] = values[0]
    # Never let a random path reach outside the temporary directory.
    if "path" in names and args and isinstance(args[0], str):
        args[0] = str(tmp_path / "f.qor")
    if isinstance(kwargs.get("path"), str):
        kwargs["path"] = str(tmp_path / "f.qor")
    Hostile.router = fuzz_router
    try:
        target(*args, **kwargs)
    except ALLOWED:
        pass
    except qor.PanicException:
        assert method in MAY_PANIC
    finally:
        Hostile.router = None
    # Not left borrowed: shared and exclusive access are both granted (either
    # would raise RuntimeError otherwise).
    fuzz_router.is_ready()
    with pytest.raises(ValueError, match=r"^load failed: IO error: No such file"):
        fuzz_router.load(str(tmp_path / "missing.qor"))
