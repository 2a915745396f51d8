"""Access rules under re-entry and across threads (a thread waits for a
router another thread holds; re-entry from the holding thread fails at once),
and two C-API guards: reference counts stay stable and inputs stay unchanged
across calls, including failing ones."""

import contextlib
import logging
import signal
import sys
import threading
import time

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


# ---------------------------------------------------------------------------
# Access across threads. A progress record or a conversion runs Python code in
# the middle of a call, and another thread may then run: its calls wait for
# the holder instead of failing, while re-entry from the holder's own thread
# still fails at once.

LOGGER = "nuvaris_qor_router"
JOIN = 120  # seconds before a thread counts as stuck


class Yielding(logging.Handler):
    """Records progress messages and gives the interpreter lock away on each,
    so other threads run while the router is held; runs `action` on every
    record when one is given, remembering what it raised."""

    def __init__(self, action=None):
        super().__init__()
        self.action, self.messages, self.errors = action, [], []

    def emit(self, record):
        self.messages.append(record.getMessage())
        if self.action is not None:
            try:
                self.action()
            except Exception as exc:
                self.errors.append(str(exc))
                raise
        time.sleep(0.001)


@contextlib.contextmanager
def progress_to(handler):
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)


def run_threads(*targets):
    """Runs each target on its own thread; returns what each raised (None when
    it returned), failing when one does not finish."""
    raised = [None] * len(targets)

    def wrap(i):
        try:
            targets[i]()
        except BaseException as exc:
            raised[i] = exc

    threads = [threading.Thread(target=wrap, args=(i,), daemon=True) for i in range(len(targets))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    return raised


@pytest.fixture(scope="module")
def large():
    rng = np.random.default_rng(20)
    vectors = rng.standard_normal((4000, 16), dtype=np.float32)
    return vectors, list(range(40)), [(i * 100, i * 100 + 100) for i in range(40)], vectors[1234:1240].copy()


def test_readers_wait_for_a_logging_writer(large):
    vectors, ids, offsets, q = large
    steps = [
        lambda r: r.add_documents(vectors[:300], [100, 101], [(0, 100), (100, 300)]),
        lambda r: r.build(vectors, ids, offsets, n_fine=48, n_coarse=6, max_kmeans_iter=10),
        lambda r: r.add_documents(vectors[500:900], [102], [(0, 400)]),
    ]

    def fresh():
        r = qor.PyQorRouter(16)
        r.build(vectors, ids, offsets, n_fine=64, n_coarse=8, max_kmeans_iter=10)
        return r

    # Every complete state the writer passes through, computed on one thread.
    replay = fresh()
    states = [(replay.n_docs(), replay.route_query(q, 2, 20), replay.compute_query_profile(q))]
    for step in steps:
        step(replay)
        states.append((replay.n_docs(), replay.route_query(q, 2, 20), replay.compute_query_profile(q)))

    r = fresh()
    done = threading.Event()
    seen = []

    def writer():
        try:
            for step in steps:
                step(r)
        finally:
            done.set()

    def reader():
        while True:
            seen.append((r.n_docs(), r.route_query(q, 2, 20), r.compute_query_profile(q)))
            r.get_cluster_entries(q)
            r.query_cluster_overlaps(q)
            if done.is_set():
                break

    with progress_to(Yielding()) as handler:
        raised = run_threads(writer, *[reader] * 4)
    assert raised == [None] * 5
    assert len(handler.messages) > 20
    assert all(s in states for s in seen)
    assert states[-1] == (r.n_docs(), r.route_query(q, 2, 20), r.compute_query_profile(q))


def test_a_writer_waits_for_logging_savers(large, tmp_path):
    vectors, ids, offsets, _ = large
    r = qor.PyQorRouter(16)
    r.build(vectors, ids, offsets, n_fine=32, n_coarse=4, max_kmeans_iter=5)
    paths = [str(tmp_path / f"r{i}.qor") for i in range(3)]

    def saver(path):
        return lambda: [r.save(path) for _ in range(5)]

    def writer():
        for i in range(5):
            r.add_documents(vectors[:100], [1000 + i], [(0, 100)])

    with progress_to(Yielding()):
        raised = run_threads(*map(saver, paths), writer)
    assert raised == [None] * 4
    assert r.n_docs() == 45
    for path in paths:
        again = qor.PyQorRouter(16)
        again.load(path)
        assert 40 <= again.n_docs() <= 45


@pytest.mark.parametrize(
    ("call", "inner", "message"),
    [
        (lambda r, a: r.build(*a[:3], n_fine=16, n_coarse=4), lambda r, a: r.n_docs(), "Already mutably borrowed"),
        (lambda r, a: r.add_documents(a[0][:100], [9], [(0, 100)]), lambda r, a: r.route_query(a[3]),
         "Already mutably borrowed"),
        (lambda r, a: r.build(*a[:3], n_fine=16, n_coarse=4), lambda r, a: r.add_documents(M, [1], [(0, 1)]),
         "Already borrowed"),
        (lambda r, a: r.save(a[4]), lambda r, a: r.load(a[4]), "Already borrowed"),
    ],
)
def test_reentry_from_a_logging_handler_still_fails(large, tmp_path, call, inner, message):
    vectors, ids, offsets, q = large
    args = (vectors, ids, offsets, q, str(tmp_path / "r.qor"))
    r = qor.PyQorRouter(16)
    r.build(vectors, ids, offsets, n_fine=16, n_coarse=4, max_kmeans_iter=3)
    before = r.route_query(q)
    with progress_to(Yielding(lambda: inner(r, args))) as handler:
        raised = run_threads(lambda: call(r, args))
    assert isinstance(raised[0], RuntimeError) and str(raised[0]) == message
    assert handler.errors == [message]
    assert (r.n_docs(), r.route_query(q)) == (40, before)


def test_a_wait_answers_signals(large):
    vectors, ids, offsets, _ = large
    r = qor.PyQorRouter(16)
    holding, release = threading.Event(), threading.Event()

    def hold():
        holding.set()
        release.wait(JOIN)

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGUSR1, stop)
    builder = threading.Thread(target=lambda: r.build(vectors, ids, offsets, n_fine=16, n_coarse=4), daemon=True)
    main = threading.get_ident()
    timer = threading.Timer(0.2, lambda: signal.pthread_kill(main, signal.SIGUSR1))
    try:
        with progress_to(Yielding(hold)):
            builder.start()
            assert holding.wait(JOIN)
            timer.start()
            with pytest.raises(Stop):
                r.n_docs()  # waits for the build until the signal's handler raises
    finally:
        timer.cancel()
        timer.join(JOIN)
        release.set()
        builder.join(JOIN)
        signal.signal(signal.SIGUSR1, previous)
    assert not builder.is_alive()
    assert r.is_ready() and r.n_docs() == 40
    r.add_documents(vectors[:10], [99], [(0, 10)])  # the router is free again
    assert r.n_docs() == 41
