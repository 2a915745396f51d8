"""Access rules under re-entry, and two C-API guards: reference counts stay
stable and inputs stay unchanged across calls, including failing ones."""

import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor

D = 8


class CallsBack:
    """An integer whose __index__ first runs `action`, recording its error."""

    def __init__(self, action, value=1):
        self.action, self.value, self.error = action, value, None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.error = exc
            raise
        return self.value


class SeqCallsBack:
    """A sequence whose __len__ and __iter__ run callbacks before answering."""

    def __init__(self, items, on_len=None, on_iter=None):
        self.items, self.on_len, self.on_iter, self.errors = items, on_len, on_iter, []

    def _run(self, action):
        if action is not None:
            try:
                action()
            except RuntimeError as exc:
                self.errors.append(str(exc))
                raise

    def __len__(self):
        self._run(self.on_len)
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self._run(self.on_iter)
        return iter(self.items)


def _assert_free(r, corpus, implemented):
    """The router answers shared calls and grants exclusive access again."""
    assert r.is_ready() in (True, False)
    vectors, ids, offsets = corpus
    implemented(r.build, vectors, ids, offsets, n_fine=8, n_coarse=2)
    assert r.n_docs() == 4


@pytest.mark.parametrize(
    ("method", "inner", "message"),
    [
        # Shared access held, exclusive requested.
        ("route_query", lambda r, m: r.build(m, [1], [(0, 1)]), "Already borrowed"),
        ("get_cluster_entries", lambda r, m: r.load("/nonexistent"), "Already borrowed"),
        ("compute_query_profile", lambda r, m: r.add_documents(m, [1], [(0, 1)]), "Already borrowed"),
        # Exclusive access held, shared requested.
        ("build", lambda r, m: r.n_docs(), "Already mutably borrowed"),
        ("build", lambda r, m: r.route_query(m), "Already mutably borrowed"),
        ("build", lambda r, m: r.save("/nonexistent"), "Already mutably borrowed"),
        # Exclusive access held, exclusive requested.
        ("build", lambda r, m: r.build(m, [1], [(0, 1)]), "Already borrowed"),
    ],
)
def test_reentry_through_index(corpus, implemented, method, inner, message):
    r = qor.PyQorRouter(D)
    m = np.zeros((2, D), np.float32)
    cb = CallsBack(lambda: inner(r, m))
    if method == "build":
        args = (m, [1], [(0, 2)], cb)
    else:
        args = (m, cb)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        getattr(r, method)(*args)
    assert str(cb.error) == message
    _assert_free(r, corpus, implemented)


def test_reentry_through_iter_and_len(corpus, implemented):
    vectors, _, offsets = corpus
    r = qor.PyQorRouter(D)
    ids = SeqCallsBack([1, 2, 3, 4], on_iter=r.is_ready)
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        r.build(vectors, ids, offsets)
    _assert_free(r, corpus, implemented)
    # A failing __len__ is only a size hint: its error is dropped and the
    # build goes on with the iterated items.
    ids = SeqCallsBack([5, 6, 7, 8], on_len=r.n_docs)
    implemented(r.build, vectors, ids, offsets, n_fine=8, n_coarse=2)
    assert ids.errors == ["Already mutably borrowed"]
    assert [d for d, _ in r.query_cluster_overlaps(vectors[:1])] == [5, 6, 7, 8]


def test_shared_reentry_is_allowed(built_router, query, implemented):
    seen = []
    cb = CallsBack(lambda: seen.append((built_router.n_docs(), built_router.route_query(query))), value=2)
    result = implemented(built_router.route_query, query, cb)
    assert seen[0][0] == 4 and seen[0][1] == built_router.route_query(query)
    assert result == built_router.route_query(query, 2)


def test_binding_checked_before_access(corpus):
    r = qor.PyQorRouter(D)
    m = np.zeros((2, D), np.float32)
    # While build holds exclusive access, a badly bound call reports its
    # binding error, and a well-bound one reports the conflict before its
    # bad argument is converted.
    outcomes = []

    def inner():
        for call in (lambda: r.route_query(), lambda: r.route_query("not a matrix")):
            try:
                call()
            except (TypeError, RuntimeError) as exc:
                outcomes.append((type(exc), str(exc)))

    try:
        r.build(m, [1], [(0, 2)], _Index(inner))
    except (NotImplementedError, ValueError, qor.PanicException):
        pass
    assert outcomes == [
        (TypeError, "PyQorRouter.route_query() missing 1 required positional argument: 'query_vectors'"),
        (RuntimeError, "Already mutably borrowed"),
    ]


class _Index:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        self.fn()
        return 2


def _calls(corpus, path):
    vectors, ids, offsets = corpus
    q = vectors[:3].copy()
    bad_offsets = [(0, 1), [2, 3]]
    big_ids = [2**40 + i for i in range(4)]  # not interned, so their counts move
    return [
        lambda r: r.route_query(q, 2, 5),
        lambda r: r.get_cluster_entries(q),
        lambda r: r.compute_query_profile(q),
        lambda r: r.query_cluster_overlaps(q),
        lambda r: r.add_documents(vectors[:10], [99], [(0, 10)]),
        lambda r: r.build(vectors, ids, offsets, 8, 2),
        lambda r: r.build(vectors, big_ids, offsets, 8, 2),
        lambda r: r.build(vectors, big_ids + [-1], offsets, 8, 2),
        lambda r: r.build(vectors, ids, bad_offsets),
        lambda r: r.build(vectors, [1, "x"], offsets),
        lambda r: r.route_query(q, 2.5),
        lambda r: r.route_query(np.asfortranarray(q)),
        lambda r: r.save(path),
        lambda r: r.load(path + ".missing"),
    ], (vectors, ids, offsets, q, bad_offsets, big_ids, *big_ids, *offsets)


def test_refcounts_and_inputs_stable(corpus, tmp_path):
    calls, inputs = _calls(corpus, str(tmp_path / "state.qor"))
    r = qor.PyQorRouter(D)
    copies = [np.copy(x) if isinstance(x, np.ndarray) else x if isinstance(x, int) else list(x) for x in inputs]

    def run_all():
        for call in calls:
            try:
                call(r)
            except (Exception, qor.PanicException):
                pass

    run_all()  # warm up: lazy NumPy load, caches inside the interpreter
    before = [sys.getrefcount(x) for x in inputs]
    for _ in range(50):
        run_all()
    after = [sys.getrefcount(x) for x in inputs]
    assert after == before
    for original, copy in zip(inputs, copies):
        if isinstance(original, np.ndarray):
            np.testing.assert_array_equal(original, copy)
        elif isinstance(original, int):
            assert original == copy
        else:
            assert list(original) == copy
