"""Saving and loading routers: messages, files on disk, the golden state
files, and routers that answer exactly as before after a round trip."""

import itertools
import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor
from conftest import router_answers

DIM = 8
DATA = pathlib.Path(__file__).parent / "data" / "state_files"


def rewrite_body(path, change):
    """Applies change() to the parsed body of a state file and writes it back."""
    raw = pathlib.Path(path).read_bytes()
    body = json.loads(raw[16:])
    change(body)
    text = json.dumps(body, separators=(",", ":")).encode()
    pathlib.Path(path).write_bytes(raw[:8] + len(text).to_bytes(8, "little") + text)


def run_python(script, *args, timeout=60):
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def big_corpus():
    """300 rows in 30 documents of random lengths plus an empty one, with
    ids across the whole u64 range."""
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((300, DIM)).astype(np.float32)
    edges = [0, *np.sort(rng.choice(np.arange(1, 300), size=29, replace=False)).tolist(), 300, 300]
    ids = [int(x) for x in rng.integers(0, 2**64 - 1, size=len(edges) - 1, dtype=np.uint64)]
    return vectors, ids, list(itertools.pairwise(edges))


@pytest.fixture
def saved(tmp_path, big_corpus):
    r = qor.PyQorRouter(DIM)
    r.build(*big_corpus, n_fine=32, n_coarse=40, ctop_r=3)
    path = tmp_path / "index" / "router.idx"
    r.save(str(path))
    return r, str(path)


@pytest.fixture
def queries():
    rng = np.random.default_rng(5)
    return [rng.standard_normal((n, DIM)).astype(np.float32) for n in (1, 3, 7)]


class TestSave:
    def test_without_state_creates_nothing(self, tmp_path, router):
        with pytest.raises(ValueError, match=r"^no state to save; call build\(\) first$"):
            router.save(str(tmp_path / "a" / "b" / "router.idx"))
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize(
        ("relative", "message"),
        [
            ("a\0b/router.idx", "save failed: IO error: file name contained an unexpected NUL byte"),
            ("file/router.idx", "save failed: IO error: File exists (os error 17)"),
            ("file/x/router.idx", "save failed: IO error: Not a directory (os error 20)"),
        ],
    )
    def test_failures(self, built_router, tmp_path, relative, message):
        (tmp_path / "file").write_bytes(b"x")
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            built_router.save(str(tmp_path / relative))
        assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]

    def test_nan_saves_but_does_not_load(self, tmp_path, corpus):
        vectors, ids, offsets = corpus
        vectors = vectors.copy()
        vectors[0] = np.inf  # normalising an infinite row yields NaN
        r = qor.PyQorRouter(DIM)
        r.build(vectors, ids, offsets, n_fine=16, n_coarse=4)
        path = str(tmp_path / "nan.idx")
        r.save(path)
        body = pathlib.Path(path).read_bytes()[16:]
        assert b"null" in body.split(b'"doc_profiles"')[0]
        column = body.index(b"null") + 4
        with pytest.raises(
            ValueError,
            match=rf"^load failed: serialization error: invalid type: null, expected f32 at line 1 column {column}$",
        ):
            qor.PyQorRouter(DIM).load(path)


def test_failed_load_leaves_router_unchanged(saved, queries, tmp_path):
    r, _ = saved
    before = router_answers(r, queries)
    counts = (r.n_docs(), r.n_fine(), r.n_coarse())
    failures = [("missing.idx", "IO error: No such file or directory (os error 2)")]
    for line in (DATA / "expected_load.tsv").read_text().splitlines():
        if line and not line.startswith("#") and not line.endswith("\tok"):
            failures.append(tuple(line.split("\t")))
    assert len(failures) > 5
    for name, expected in failures:
        path = DATA / name if name != "missing.idx" else tmp_path / name
        with pytest.raises(ValueError, match=f"^{re.escape('load failed: ' + expected)}$"):
            r.load(str(path))
    assert (r.n_docs(), r.n_fine(), r.n_coarse()) == counts
    assert router_answers(r, queries) == before


def test_round_trip_answers_every_query_bit_for_bit(saved, queries, big_corpus, tmp_path):
    r, path = saved
    # A built router of another dimension: the file's state and width win.
    loaded = qor.PyQorRouter(5)
    loaded.build(np.ones((4, 5), np.float32), [1, 2], [(0, 2), (2, 4)], n_fine=2, n_coarse=2)
    loaded.load(path)
    assert (loaded.n_docs(), loaded.n_fine(), loaded.n_coarse()) == (r.n_docs(), r.n_fine(), r.n_coarse())
    assert router_answers(loaded, queries) == router_answers(r, queries)
    with pytest.raises(ValueError, match=rf"^dimension mismatch: expected {DIM}, got 5$"):
        loaded.route_query(np.zeros((2, 5), np.float32))
    # Saved again, the file is the same byte for byte.
    again = tmp_path / "again.idx"
    loaded.save(str(again))
    assert again.read_bytes() == pathlib.Path(path).read_bytes()
    # Documents added after the load route as on the original.
    new = big_corpus[0][:20] * 0.5
    r.add_documents(new, [5, 6], [(0, 12), (12, 20)])
    loaded.add_documents(new, [5, 6], [(0, 12), (12, 20)])
    assert router_answers(loaded, queries) == router_answers(r, queries)


# Saves the router stored at argv[1] back to it under a file-size limit
# smaller than the file; prints the error.
SAVE_UNDER_SIZE_LIMIT = """
import resource, signal, sys
import nuvaris_qor_router as qor
r = qor.PyQorRouter(1)
r.load(sys.argv[1])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.RLIM_INFINITY))
try:
    r.save(sys.argv[1])
except ValueError as exc:
    print(exc)
"""

# Builds a router of argv[2] documents and saves it to argv[1] again and
# again for argv[3] seconds; prints the number of saves.
SAVE_LOOP = """
import sys, time
import numpy as np
import nuvaris_qor_router as qor
path, n_docs, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
rows = np.random.default_rng(n_docs).standard_normal((4 * n_docs, 4)).astype(np.float32)
r = qor.PyQorRouter(4)
r.build(rows, list(range(n_docs)), [(4 * i, 4 * i + 4) for i in range(n_docs)], n_fine=4, n_coarse=2)
saves = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    r.save(path)
    saves += 1
print(saves)
"""


# Saves with a progress handler that forks a child (which keeps a copy of
# the locked temporary file open) and then stops the save; prints whether the
# child's copy still holds the lock afterwards.
SAVE_STOPPED_AFTER_FORK = r"""
import fcntl, logging, os, sys
import numpy as np
import nuvaris_qor_router as qor

path = sys.argv[1]
r = qor.PyQorRouter(4)
r.build(np.random.default_rng(0).standard_normal((20, 4)).astype(np.float32), [1, 2], [(0, 10), (10, 20)],
        n_fine=4, n_coarse=2)
ready, release = os.pipe()
settled, settle = os.pipe()
child = []

class ForkThenStop(logging.Handler):
    def emit(self, record):
        if not record.getMessage().startswith("save: wrote"):
            return
        pid = os.fork()
        if pid == 0:
            os.close(release)
            os.write(settle, b"s")  # its descriptors no longer change
            os.read(ready, 1)  # until the parent lets go
            os._exit(0)
        child.append(pid)
        raise RuntimeError("stop")

log = logging.getLogger("nuvaris_qor_router")
log.setLevel(logging.INFO)
log.addHandler(ForkThenStop())
try:
    r.save(path)
except RuntimeError:
    pass
os.read(settled, 1)
held = []
for fd in os.listdir(f"/proc/{child[0]}/fd"):
    if os.readlink(f"/proc/{child[0]}/fd/{fd}").endswith(".tmp (deleted)"):
        copy = os.open(f"/proc/{child[0]}/fd/{fd}", os.O_RDONLY)
        try:
            fcntl.flock(copy, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held.append(False)
        except BlockingIOError:
            held.append(True)
        os.close(copy)
os.close(release)
os.waitpid(child[0], 0)
print(held)
"""


# Saves two routers from three threads into argv[1] and a sibling sharing its
# temporary file while a logging handler lets other threads run in the middle
# of each save (with the file's lock held); prints the documents of each file.
THREADED_SAVES = """
import logging, sys, threading, time
import numpy as np
import nuvaris_qor_router as qor

class Yielding(logging.Handler):
    def emit(self, record):
        time.sleep(0.001)

logger = logging.getLogger("nuvaris_qor_router")
logger.addHandler(Yielding())
logger.setLevel(logging.INFO)
path = sys.argv[1]
sibling = path[: path.rindex(".")] + ".idx"
rows = np.random.default_rng(5).standard_normal((40, 4)).astype(np.float32)
routers = []
for n in (3, 5):
    r = qor.PyQorRouter(4)
    r.build(rows[: 4 * n], list(range(n)), [(4 * i, 4 * i + 4) for i in range(n)], n_fine=4, n_coarse=2)
    routers.append(r)
jobs = [(routers[0], path), (routers[0], path), (routers[1], sibling)]
threads = [threading.Thread(target=lambda r=r, p=p: [r.save(p) for _ in range(20)]) for r, p in jobs]
for t in threads:
    t.start()
for t in threads:
    t.join()
for p in (path, sibling):
    r = qor.PyQorRouter(4)
    r.load(p)
    print(r.n_docs())
"""


class TestTemporaryFile:
    def test_failed_save_releases_its_lock_when_a_forked_child_shares_the_file(self, tmp_path):
        # A save waiting for the lock of the removed file would otherwise wait
        # as long as the child lives.
        done = run_python(SAVE_STOPPED_AFTER_FORK, str(tmp_path / "router.qor"))
        assert done.returncode == 0, done.stderr
        assert done.stdout == "[False]\n"
        assert list(tmp_path.iterdir()) == []

    def test_failed_save_keeps_a_target_named_like_a_temporary_file(self, built_router, tmp_path):
        path = tmp_path / "state.tmp"
        built_router.save(str(path))
        before = path.read_bytes()
        done = run_python(SAVE_UNDER_SIZE_LIMIT, str(path))
        assert done.returncode == 0, done.stderr
        assert done.stdout == "save failed: IO error: File too large (os error 27)\n"
        assert path.read_bytes() == before
        assert [p.name for p in tmp_path.iterdir()] == ["state.tmp"]

    def test_threads_of_one_process_take_turns_on_the_temporary_file(self, tmp_path):
        # A save that reports progress lets other threads run while it holds
        # the lock; one that then waits for the lock must let them run too.
        done = run_python(THREADED_SAVES, str(tmp_path / "x.qor"), timeout=120)
        assert (done.returncode, done.stdout) == (0, "3\n5\n"), done.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["x.idx", "x.qor"]

    def test_saves_sharing_a_temporary_file_keep_their_targets(self, tmp_path):
        # x.qor and x.idx share x.tmp; x.qor is also saved by two processes.
        qor_path, idx_path = str(tmp_path / "x.qor"), str(tmp_path / "x.idx")
        expected = {qor_path: 3, idx_path: 5}
        jobs = [(qor_path, 3), (qor_path, 3), (idx_path, 5)]
        savers = [
            subprocess.Popen(
                [sys.executable, "-c", SAVE_LOOP, path, str(n), "2.5"],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for path, n in jobs
        ]
        reader = qor.PyQorRouter(4)
        loads = 0
        try:
            while any(p.poll() is None for p in savers):
                for path, n_docs in expected.items():
                    if os.path.exists(path):
                        reader.load(path)
                        assert reader.n_docs() == n_docs, path
                        loads += 1
            results = [p.communicate(timeout=60) for p in savers]
        finally:
            for p in savers:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        for p, (out, err) in zip(savers, results):
            assert p.returncode == 0, err
            assert int(out) > 0
        assert loads > 0
        for path, n_docs in expected.items():
            reader.load(path)
            assert reader.n_docs() == n_docs
        assert sorted(p.name for p in tmp_path.iterdir()) == ["x.idx", "x.qor"]


class TestLoadedStateChecks:
    @pytest.mark.parametrize("which", ["absent representative", "coarse label beyond n_coarse"])
    def test_what_the_invariants_allow_loads(self, saved, queries, which):
        r, path = saved

        def change(b):
            if which == "absent representative":
                c = next(i for i, lst in enumerate(b["postings"]["lists"]) if lst)
                b["postings"]["cluster_reps"][c] = None
            else:
                b["codebook"]["cindex_labels"][0] = b["codebook"]["n_coarse"] + 3

        rewrite_body(path, change)
        loaded = qor.PyQorRouter(DIM)
        loaded.load(path)
        assert loaded.n_docs() == r.n_docs()
        for q in queries:
            loaded.route_query(q)
            loaded.get_cluster_entries(q)
            assert all(c < loaded.n_coarse() for c in loaded.compute_query_profile(q)[1])

    def test_added_document_fills_an_absent_representative_with_the_first(self, saved, big_corpus, tmp_path):
        _, path = saved
        body = json.loads(pathlib.Path(path).read_bytes()[16:])
        lists = body["postings"]["lists"]
        c = next(i for i, lst in enumerate(lists) if len(lst) > 1)
        rewrite_body(path, lambda b: b["postings"]["cluster_reps"].__setitem__(c, None))
        r = qor.PyQorRouter(DIM)
        r.load(path)
        # A copy of the cluster's last document joins the cluster again.
        start, end = big_corpus[2][lists[c][-1]]
        r.add_documents(big_corpus[0][start:end], [1], [(0, end - start)])
        again = str(tmp_path / "again.idx")
        r.save(again)
        reps = json.loads(pathlib.Path(again).read_bytes()[16:])["postings"]["cluster_reps"]
        assert reps[c] == lists[c][0]
        qor.PyQorRouter(DIM).load(again)

    @pytest.mark.parametrize("extra", [1, -1])
    def test_add_documents_refuses_ids_out_of_step(self, saved, big_corpus, queries, extra):
        _, path = saved
        n_docs = len(big_corpus[1])
        rewrite_body(path, lambda b: b.__setitem__("doc_ids", b["doc_ids"][:-1] if extra < 0 else b["doc_ids"] + [7]))
        r = qor.PyQorRouter(DIM)
        r.load(path)
        before = [r.route_query(q) for q in queries]
        message = f"cannot add documents: the router holds {n_docs + extra} doc_ids for {n_docs} documents"
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            r.add_documents(big_corpus[0][:10], [9], [(0, 10)])
        assert r.n_docs() == n_docs
        assert [r.route_query(q) for q in queries] == before
