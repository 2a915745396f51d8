"""Access rules under re-entry, and two C-API guards: reference counts stay
stable and inputs stay unchanged across calls, including failing ones."""

import contextlib
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor

D = 8
M = np.zeros((2, D), np.float32)
MISSING = "PyQorRouter.route_query() missing 1 required positional argument: 'query_vectors'"


class Hook:
    """An integer and a sequence whose protocol methods named in `on` first
    run `action`, recording the message of any error it raises."""

    def __init__(self, action, items=(), on=("index", "len", "iter")):
        self.action, self.items, self.on, self.errors = action, list(items), on, []

    def _run(self, hook):
        if hook in self.on:
            try:
                self.action()
            except Exception as exc:
                self.errors.append(str(exc))
                raise

    def __index__(self):
        self._run("index")
        return 2

    def __len__(self):
        self._run("len")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self._run("iter")
        return iter(self.items)


def _assert_free(r, corpus):
    """The router grants exclusive and shared access again."""
    r.build(*corpus, n_fine=8, n_coarse=2)
    assert r.is_ready() and r.n_docs() == 4


@pytest.mark.parametrize(
    ("method", "inner", "exc_type", "message"),
    [
        # Shared access held, exclusive requested.
        ("route_query", lambda r: r.build(M, [1], [(0, 1)]), RuntimeError, "Already borrowed"),
        ("get_cluster_entries", lambda r: r.load("/nonexistent"), RuntimeError, "Already borrowed"),
        ("compute_query_profile", lambda r: r.add_documents(M, [1], [(0, 1)]), RuntimeError, "Already borrowed"),
        # Exclusive access held, shared requested; the conflict is reported
        # before the bad argument is converted.
        ("build", lambda r: r.n_docs(), RuntimeError, "Already mutably borrowed"),
        ("build", lambda r: r.route_query("not a matrix"), RuntimeError, "Already mutably borrowed"),
        # Exclusive access held, exclusive requested.
        ("build", lambda r: r.build(M, [1], [(0, 1)]), RuntimeError, "Already borrowed"),
        # Binding is checked before access.
        ("build", lambda r: r.route_query(), TypeError, MISSING),
    ],
)
def test_reentry_through_index(corpus, method, inner, exc_type, message):
    r = qor.PyQorRouter(D)
    hook = Hook(lambda: inner(r))
    args = (M, [1], [(0, 2)], hook) if method == "build" else (M, hook)
    with pytest.raises(exc_type) as info:
        getattr(r, method)(*args)
    assert hook.errors == [message]
    assert str(info.value).endswith(message)
    _assert_free(r, corpus)


def test_reentry_through_iter_and_len(corpus):
    vectors, _, offsets = corpus
    r = qor.PyQorRouter(D)
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        r.build(vectors, Hook(r.is_ready, [1, 2, 3, 4], on=("iter",)), offsets)
    _assert_free(r, corpus)
    # __len__ is only a size hint: its error is dropped and the build goes on
    # with the iterated items.
    ids = Hook(r.n_docs, [5, 6, 7, 8], on=("len",))
    r.build(vectors, ids, offsets, n_fine=8, n_coarse=2)
    assert ids.errors == ["Already mutably borrowed"]
    assert [d for d, _ in r.query_cluster_overlaps(vectors[:1])] == [5, 6, 7, 8]


def test_shared_reentry_is_allowed(built_router, query):
    seen = []
    hook = Hook(lambda: seen.append((built_router.n_docs(), built_router.route_query(query))))
    result = built_router.route_query(query, hook)
    assert seen == [(4, built_router.route_query(query))]
    assert result == built_router.route_query(query, 2)


def test_refcounts_and_inputs_stable(corpus, tmp_path):
    vectors, ids, offsets = corpus
    q = vectors[:3].copy()
    big_ids = [2**40 + i for i in range(4)]  # not interned, so their counts move
    bad_offsets = [(0, 1), [2, 3]]
    path = str(tmp_path / "state.qor")
    calls = [
        lambda r: r.build(vectors, big_ids, offsets, 8, 2),
        lambda r: r.route_query(q, 2, 5),
        lambda r: r.get_cluster_entries(q),
        lambda r: r.compute_query_profile(q),
        lambda r: r.query_cluster_overlaps(q),
        lambda r: r.add_documents(vectors[:10], [99], [(0, 10)]),
        lambda r: r.build(vectors, [*big_ids, -1], offsets, 8, 2),
        lambda r: r.build(vectors, ids, bad_offsets),
        lambda r: r.build(vectors, [1, "x"], offsets),
        lambda r: r.route_query(q, 2.5),
        lambda r: r.route_query(np.asfortranarray(q)),
        lambda r: r.save(path),
        lambda r: r.load(path + ".missing"),
    ]
    inputs = [vectors, ids, offsets, q, bad_offsets, big_ids, *big_ids, *offsets]

    contents = [x.tobytes() if isinstance(x, np.ndarray) else repr(x) for x in inputs]

    def run_all(r, times):
        for _ in range(times):
            for call in calls:
                with contextlib.suppress(Exception, qor.PanicException):
                    call(r)

    r = qor.PyQorRouter(D)
    run_all(r, 1)  # warm up: lazy NumPy load, caches inside the interpreter
    before = [sys.getrefcount(x) for x in inputs]
    run_all(r, 50)
    assert [sys.getrefcount(x) for x in inputs] == before
    assert [x.tobytes() if isinstance(x, np.ndarray) else repr(x) for x in inputs] == contents
