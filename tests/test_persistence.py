"""Saving and loading routers: messages, files on disk, the golden state
files, and routers that answer exactly as before after a round trip."""

import os
import pathlib
import re
import struct

import numpy as np
import pytest

import nuvaris_qor_router as qor

DIM = 8
DATA = pathlib.Path(__file__).parent / "data" / "state_files"


def golden_cases():
    rows = []
    for line in (DATA / "expected_load.tsv").read_text().splitlines():
        if line and not line.startswith("#"):
            name, expected = line.split("\t")
            rows.append(pytest.param(name, expected, id=name))
    return rows


def answers(r, queries):
    """Everything the query methods say about each query."""
    out = []
    for q in queries:
        out.append((
            r.route_query(q, n_probes=3, max_candidates=50),
            r.get_cluster_entries(q, n_probes=3),
            r.compute_query_profile(q, n_probes=3),
            r.query_cluster_overlaps(q, n_probes=3),
        ))
    return out


@pytest.fixture(scope="module")
def big_corpus():
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((300, DIM)).astype(np.float32)
    bounds = np.sort(rng.choice(np.arange(1, 300), size=29, replace=False))
    edges = [0, *bounds.tolist(), 300]
    offsets = list(zip(edges[:-1], edges[1:]))
    offsets.append((300, 300))  # an empty document
    ids = [int(x) for x in rng.integers(0, 2**64 - 1, size=len(offsets), dtype=np.uint64)]
    return vectors, ids, offsets


@pytest.fixture
def saved(tmp_path, big_corpus, implemented):
    vectors, ids, offsets = big_corpus
    r = qor.PyQorRouter(DIM)
    implemented(r.build, vectors, ids, offsets, n_fine=32, n_coarse=40, ctop_r=3)
    path = tmp_path / "index" / "router.idx"
    r.save(str(path))
    return r, str(path)


@pytest.fixture
def queries():
    rng = np.random.default_rng(5)
    return [rng.standard_normal((n, DIM)).astype(np.float32) for n in (1, 3, 7)]


class TestSave:
    def test_without_state_creates_nothing(self, tmp_path, router):
        target = tmp_path / "a" / "b" / "router.idx"
        with pytest.raises(ValueError, match=r"^no state to save; call build\(\) first$"):
            router.save(str(target))
        assert list(tmp_path.iterdir()) == []

    def test_pathlib_is_refused(self, built_router, tmp_path):
        with pytest.raises(TypeError, match=r"argument 'path'"):
            built_router.save(tmp_path / "x.idx")
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

    def test_file_layout(self, saved):
        _, path = saved
        data = pathlib.Path(path).read_bytes()
        assert data[:8] == b"QORR\x01\x00\x00\x00"
        (length,) = struct.unpack("<Q", data[8:16])
        assert len(data) == 16 + length
        body = data[16:]
        assert body.startswith(b'{"codebook":{"cquant":[')
        assert b" " not in body and b"\n" not in body
        assert sorted(os.listdir(os.path.dirname(path))) == ["router.idx"]

    def test_directories_and_temporary_name(self, built_router, tmp_path):
        old = os.umask(0o027)
        try:
            built_router.save(str(tmp_path / "x" / "y" / "state.tmp"))
        finally:
            os.umask(old)
        assert (tmp_path / "x").stat().st_mode & 0o777 == 0o750
        assert (tmp_path / "x" / "y" / "state.tmp").stat().st_mode & 0o777 == 0o640
        assert os.listdir(tmp_path / "x" / "y") == ["state.tmp"]

    def test_nan_saves_but_does_not_load(self, tmp_path, corpus, implemented):
        vectors, ids, offsets = corpus
        vectors = vectors.copy()
        vectors[0] = np.inf  # normalising an infinite row yields NaN
        r = qor.PyQorRouter(DIM)
        implemented(r.build, vectors, ids, offsets, n_fine=16, n_coarse=4)
        path = str(tmp_path / "nan.idx")
        r.save(path)
        body = pathlib.Path(path).read_bytes()[16:]
        if b"null" not in body.split(b'"doc_profiles"')[0]:
            pytest.skip("this build keeps every centroid finite for an infinite row")
        column = body.index(b"null") + 4
        with pytest.raises(
            ValueError,
            match=rf"^load failed: serialization error: invalid type: null, expected f32 at line 1 column {column}$",
        ):
            qor.PyQorRouter(DIM).load(path)


class TestLoad:
    @pytest.mark.parametrize(("name", "expected"), golden_cases())
    def test_golden_files(self, name, expected):
        r = qor.PyQorRouter(3)
        if expected == "ok":
            r.load(str(DATA / name))
            assert (r.is_ready(), r.n_docs(), r.n_fine(), r.n_coarse()) == (True, 1, 2, 2)
            # A query of -1 is nearest centroid 1, of coarse cluster 1, whose representative is id 7.
            assert r.get_cluster_entries(np.full((1, 1), -1.0, np.float32), n_probes=2) == [7]
        else:
            with pytest.raises(ValueError) as info:
                r.load(str(DATA / name))
            assert str(info.value) == "load failed: " + expected
            assert (r.is_ready(), r.n_docs()) == (False, 0)

    def test_missing_file(self, router, tmp_path):
        with pytest.raises(
            ValueError, match=r"^load failed: IO error: No such file or directory \(os error 2\)$"
        ):
            router.load(str(tmp_path / "missing.idx"))

    def test_failed_load_leaves_router_unchanged(self, saved, queries, tmp_path):
        r, _ = saved
        before = answers(r, queries)
        counts = (r.n_docs(), r.n_fine(), r.n_coarse())
        for name, expected in [(p.values[0], p.values[1]) for p in golden_cases()]:
            if expected != "ok":
                with pytest.raises(ValueError, match=r"^load failed: "):
                    r.load(str(DATA / name))
        with pytest.raises(ValueError, match=r"^load failed: IO error: "):
            r.load(str(tmp_path / "missing.idx"))
        assert (r.n_docs(), r.n_fine(), r.n_coarse()) == counts
        assert answers(r, queries) == before


class TestRoundTrip:
    def test_answers_every_query_bit_for_bit(self, saved, queries):
        r, path = saved
        loaded = qor.PyQorRouter(5)  # another dimension: the file's wins
        loaded.load(path)
        assert (loaded.n_docs(), loaded.n_fine(), loaded.n_coarse()) == (r.n_docs(), r.n_fine(), r.n_coarse())
        assert answers(loaded, queries) == answers(r, queries)
        with pytest.raises(ValueError, match=rf"^dimension mismatch: expected {DIM}, got 5$"):
            loaded.route_query(np.zeros((2, 5), np.float32))

    def test_saved_again_byte_for_byte(self, saved, tmp_path):
        _, path = saved
        loaded = qor.PyQorRouter(DIM)
        loaded.load(path)
        again = str(tmp_path / "again.idx")
        loaded.save(again)
        assert pathlib.Path(again).read_bytes() == pathlib.Path(path).read_bytes()

    def test_load_replaces_state_and_add_documents_continues(self, saved, queries, big_corpus, implemented):
        r, path = saved
        vectors, _, _ = big_corpus
        other = qor.PyQorRouter(DIM)
        implemented(other.build, vectors[:50], [1, 2], [(0, 25), (25, 50)], n_fine=8, n_coarse=2)
        other.load(path)
        new = vectors[:20] * 0.5
        implemented(r.add_documents, new, [5, 6], [(0, 12), (12, 20)])
        other.add_documents(new, [5, 6], [(0, 12), (12, 20)])
        assert answers(other, queries) == answers(r, queries)
