"""Removing, updating and compacting documents: removed documents never
appear in a result, results equal those of a retriever holding only the
remaining documents on the same codebook, and the mask survives save and
load."""

import json
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import centred_documents, near_queries
from nuvaris_qor_search import Retriever
from nuvaris_qor_search.codebook import strip_documents

DIM = 16
N = 150
# (n_probes, candidates): narrow to wide, so removed documents would crowd
# out live ones if the router were not asked for more.
ROUTES = [(1, 5), (2, 20), (4, 60), (8, 1000)]


def make_docs(seed, n):
    return centred_documents(seed, n, DIM, (3, 15))


def queries(docs, seed, count=12):
    return near_queries(docs, seed, count)


@pytest.fixture(scope="module")
def docs():
    return make_docs(3, N)


@pytest.fixture(params=["int", "str"])
def ids(request):
    if request.param == "int":
        return [1000 + 3 * i for i in range(N)]
    return [f"doc-{i:03d}" for i in range(N)]


@pytest.fixture
def built(docs, ids):
    with Retriever.build(docs, ids, n_fine=32, n_coarse=4) as r:
        yield r


def codebook_of(retriever, tmp_path):
    path = tmp_path / "state.qor"
    retriever.router.save(str(path))
    return strip_documents(path.read_bytes())


def fresh(codebook, docs, ids, keep, quantiser=None):
    r = Retriever.from_codebook(codebook, quantiser=quantiser)
    r.add([docs[i] for i in keep], [ids[i] for i in keep])
    return r


def assert_same_results(a, b, docs):
    for q in queries(docs, 5):
        for n_probes, candidates in ROUTES:
            assert a.search(q, k=6, n_probes=n_probes, candidates=candidates) == b.search(
                q, k=6, n_probes=n_probes, candidates=candidates
            )
            assert a.route_query(q, n_probes, candidates) == b.route_query(q, n_probes, candidates)
        assert a.rerank(q, None, k=N) == b.rerank(q, None, k=N)


class TestRemove:
    def test_results_equal_a_fresh_retriever_on_the_remaining_documents(self, built, docs, ids, tmp_path):
        rng = np.random.default_rng(8)
        gone = sorted(rng.choice(N, 70, replace=False).tolist())
        keep = [i for i in range(N) if i not in set(gone)]
        codebook = codebook_of(built, tmp_path)
        assert built.remove([ids[i] for i in gone]) == 70
        assert (len(built), built.n_docs, built.n_removed, built.router.n_docs()) == (N - 70, N - 70, 70, N)
        with fresh(codebook, docs, ids, keep, built.codes.quantiser()) as expected:
            assert_same_results(built, expected, docs)
            built.compact()
            assert (built.n_docs, built.n_removed, built.router.n_docs(), built.store.n_docs) == (
                N - 70,
                0,
                N - 70,
                N - 70,
            )
            assert_same_results(built, expected, docs)
            np.testing.assert_array_equal(built.store.vectors, expected.store.vectors)
            assert built.doc_ids.tolist() == expected.doc_ids.tolist()

    def test_removed_documents_never_come_back(self, built, docs, ids):
        gone = list(range(0, N, 2))
        built.remove([ids[i] for i in gone])
        removed = {ids[i] for i in gone}
        for d in gone[:10]:
            q = docs[d][:3]
            for n_probes, candidates in ROUTES:
                assert not removed & {i for i, _ in built.search(q, k=10, n_probes=n_probes, candidates=candidates)}
                assert not removed & {i for i, _ in built.route_query(q, n_probes, candidates)}
            everything = built.rerank(q, None, k=N)
            assert len(everything) == N - len(gone) and not removed & {i for i, _ in everything}
            # Still k results although the best matches are gone.
            assert len(built.search(q, k=10, n_probes=8, candidates=1000)) == 10

    @pytest.mark.parametrize("again", ["removed", "unknown"])
    def test_refused_ids_change_nothing(self, built, ids, again):
        built.remove([ids[0]])
        bad = ids[0] if again == "removed" else ("nope" if isinstance(ids[0], str) else 7)
        with pytest.raises(ValueError, match=rf"^no document has id {re.escape(repr(bad))}$"):
            built.remove([ids[1], bad])
        assert built.n_removed == 1 and built.rerank(np.zeros((1, DIM), np.float32), [ids[1]], k=1)[0][0] == ids[1]
        with pytest.raises(ValueError, match=rf"^no document has id {re.escape(repr(ids[0]))}$"):
            built.rerank(np.zeros((1, DIM), np.float32), [ids[0]])

    def test_repeated_ids_are_all_removed(self, docs):
        with Retriever.build(docs[:6], [1, 2, 1, 3, 1, 4], n_fine=8, n_coarse=2) as r:
            q = docs[0][:2]
            assert sorted(i for i, _ in r.rerank(q, [1], k=10)) == [1, 1, 1]
            assert r.remove([1, 1]) == 3
            assert sorted(i for i, _ in r.rerank(q, None, k=10)) == [2, 3, 4]


class TestUpdate:
    def test_update_equals_remove_then_add(self, built, docs, ids, tmp_path):
        codebook = codebook_of(built, tmp_path)
        changed = [3, 40, 77]
        new = make_docs(9, len(changed))
        built.update([ids[i] for i in changed], new)
        assert (built.n_docs, built.n_removed) == (N, 3)
        keep = [i for i in range(N) if i not in changed]
        with fresh(codebook, docs, ids, keep, built.codes.quantiser()) as expected:
            expected.add(new, [ids[i] for i in changed])
            assert_same_results(built, expected, docs + new)
        # The new vectors are what the id scores with now.
        hit = built.rerank(new[1][:2], [ids[40]], k=1)
        assert hit == expected_hit(new[1][:2], new[1], ids[40])

    def test_update_of_an_unknown_id_changes_nothing(self, built, docs, ids):
        bad = "nope" if isinstance(ids[0], str) else 7
        with pytest.raises(ValueError, match=rf"^no document has id {re.escape(repr(bad))}$"):
            built.update([ids[0], bad], make_docs(4, 2))
        assert (built.n_docs, built.n_removed, built.store.n_docs, built.router.n_docs()) == (N, 0, N, N)


def expected_hit(query, doc, doc_id):
    return [(doc_id, float(np.sum(np.max(query @ doc.T, axis=1), dtype=np.float32)))]


class TestPersistence:
    @pytest.mark.parametrize("compact", [False, True])
    def test_mask_survives_save_and_load(self, built, docs, ids, tmp_path, compact):
        built.remove([ids[i] for i in range(0, N, 3)])
        expected = [built.search(q, k=5, n_probes=2, candidates=20) for q in queries(docs, 6)]
        built.save(tmp_path / "saved", compact=compact)
        files = json.loads((tmp_path / "saved" / "manifest.json").read_text())["files"]
        assert ("removed" in files) is not compact
        with Retriever.load(tmp_path / "saved") as again:
            assert (again.n_docs, again.n_removed) == (built.n_docs, 0 if compact else built.n_removed)
            assert [again.search(q, k=5, n_probes=2, candidates=20) for q in queries(docs, 6)] == expected
            again.remove([ids[1]])
            again.compact()
            assert again.n_docs == built.n_docs - 1
        # Compacting the loaded copy left the saved directory as it was.
        with Retriever.load(tmp_path / "saved") as again:
            assert again.n_docs == built.n_docs

    def test_compact_rewrites_a_store_in_the_callers_directory(self, docs, ids, tmp_path):
        with Retriever.build(docs, ids, n_fine=32, n_coarse=4, directory=tmp_path / "work") as r:
            r.remove(ids[:100])
            r.compact()
            assert r.store.directory == tmp_path / "work"
            assert np.load(tmp_path / "work" / "ids.npy").tolist() == ids[100:]
            r.add(docs[:1], ids[:1])
            assert r.n_docs == N - 99


    def test_arrays_taken_before_compact_stay_readable(self, tmp_path):
        # The store's files in the caller's directory are rewritten by
        # compact; a memory-mapped array handed out before must not end up
        # past the end of a shortened file (reading it would kill the
        # process with SIGBUS), so this runs in a child process.
        script = f"""
import numpy as np
from nuvaris_qor_search import Retriever
rng = np.random.default_rng(0)
docs = [rng.standard_normal((30, 64), dtype=np.float32) for _ in range(400)]
with Retriever.build(docs, list(range(400)), n_fine=32, n_coarse=4, directory={str(tmp_path / "w")!r}) as r:
    vectors, ids = r.store.vectors, r.doc_ids
    before = float(vectors[-1].sum())
    r.remove(list(range(300)))
    r.compact()
    assert float(vectors[-1].sum()) == before and ids[-1] == 399
    assert r.store.n_rows == 3000 and r.doc_ids.tolist() == list(range(300, 400))
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
        assert done.returncode == 0, done.stderr


    def test_ctrl_c_during_the_rewrite_in_place_takes_effect_after_it(self, tmp_path):
        # Ctrl-C (a real SIGINT) arrives while compact rewrites the store in
        # the caller's directory: the files must not be left part written,
        # nor the retriever disagree with them.
        script = f"""
import os, signal
import numpy as np
from nuvaris_qor_search import Retriever
from nuvaris_qor_search.store import VectorStore
rng = np.random.default_rng(0)
docs = [rng.standard_normal((30, 16), dtype=np.float32) for _ in range(300)]
where = {str(tmp_path / "w")!r}
r = Retriever.build(docs, list(range(300)), n_fine=16, n_coarse=4, directory=where)
r.remove(list(range(100)))
renew = VectorStore._renew_files
def renew_then_interrupt(self):
    renew(self)
    os.kill(os.getpid(), signal.SIGINT)
VectorStore._renew_files = renew_then_interrupt
try:
    r.compact()
except KeyboardInterrupt:
    print("interrupted")
VectorStore._renew_files = renew
assert r.n_docs == 200 and r.doc_ids.tolist() == list(range(100, 300)), r.doc_ids
assert np.load(os.path.join(where, "ids.npy")).tolist() == list(range(100, 300))
assert r.search(docs[150], k=1)[0][0] == 150
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
        assert (done.returncode, done.stdout) == (0, "interrupted\n"), done.stderr


class TestThreads:
    @pytest.mark.parametrize("keep_vectors", [True, False])
    def test_a_search_during_compact_sees_it_before_or_after(self, docs, ids, keep_vectors, monkeypatch):
        # A search from another thread starts while compact is half done
        # (the store already compacted, the router not yet replaced).
        with Retriever.build(docs, ids, n_fine=32, n_coarse=4, keep_vectors=keep_vectors) as r:
            r.remove(ids[::2])
            qs = queries(docs, 8)
            got: list[object] = []
            searcher = threading.Thread(target=lambda: got.extend(_outcome(r.search, q, 5, 40) for q in qs))
            keep_only = r.store.keep_only

            def keep_only_then_search(*args, **kwargs):
                keep_only(*args, **kwargs)
                searcher.start()
                searcher.join(timeout=0.5)  # lets a search that is not blocked finish

            monkeypatch.setattr(r.store, "keep_only", keep_only_then_search)
            r.compact()
            searcher.join()
            # Blocked until compact ended, it answers as a search after it.
            assert got == [r.search(q, k=5, candidates=40) for q in qs]


def _outcome(search, q, k, candidates):
    try:
        return search(q, k=k, candidates=candidates)
    except Exception as exc:  # the failure is the result compared
        return repr(exc)


def test_compacting_everything_away(built, docs, ids):
    built.remove(ids)
    assert built.search(docs[0][:2]) == [] and built.rerank(docs[0][:2]) == []
    built.compact()
    assert (built.n_docs, built.store.n_rows, built.router.n_docs()) == (0, 0, 0)
    built.add(docs[:1], ids[:1])
    assert built.search(docs[0][:2], k=1, n_probes=8, candidates=10)[0][0] == ids[0]
