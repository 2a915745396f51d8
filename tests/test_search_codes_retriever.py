"""A Retriever with token codes: the three-step search, a retriever without
float vectors, and the codes through add, remove, compact, save and load,
also of directories saved before codes existed."""

import io
import json
import logging
import re
import tracemalloc

import numpy as np
import pytest

from conftest import centred_documents, near_queries
from nuvaris_qor_search import Retriever, _defaults
from nuvaris_qor_search import retriever as retriever_module
from nuvaris_qor_search.codebook import strip_documents
from nuvaris_qor_search.codes import CodeStore
from nuvaris_qor_search.retriever import group_rows

DIM = 16
N = 120


def make_docs(seed, n):
    return centred_documents(seed, n, DIM, (2, 12))


def queries(docs, seed, count=8):
    return near_queries(docs, seed, count)


@pytest.fixture(scope="module")
def docs():
    return make_docs(11, N)


@pytest.fixture
def built(docs):
    with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4) as r:
        yield r


def codes_only(docs, **kw):
    return Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, keep_vectors=False, **kw)


def answers(r, docs, **kw):
    return [r.search(q, k=5, **kw) for q in queries(docs, 4)]


def approx(r, q, ids):
    """The codes' scores of the documents with caller ids `ids` (ids are indices here)."""
    return r.codes.score(q, np.asarray(ids, np.int64)).tolist()


class TestSearch:
    def test_returned_scores_are_exact_and_rerank_zero_returns_the_codes_scores(self, built, docs):
        for q in queries(docs, 1):
            hits = built.search(q, k=5)
            assert [s for _, s in hits] == [built.rerank(q, [i], k=1)[0][1] for i, _ in hits]
            rough = built.search(q, k=5, rerank=0)
            assert [s for _, s in rough] == approx(built, q, [i for i, _ in rough])

    def test_every_document_as_candidate_and_reranked_is_the_exact_top_k(self, built, docs):
        for q in queries(docs, 2):
            wide = built.search(q, k=7, probe=32, rerank=N)
            assert wide == built.rerank(q, None, k=7)

    def test_no_candidates_no_hits(self, built, docs):
        assert built.search(docs[0][:2], k=5, candidates=0, probe=0) == []

    @pytest.mark.parametrize("probe", [128, 2**63, 2**70])
    def test_a_probe_of_every_centroid_makes_every_document_a_candidate(self, docs, probe):
        # More centroids than the cap on a group's widened probe: the
        # caller's own probe is still honoured, and one beyond the
        # centroids (however large) reads every list.
        with Retriever.build(docs, list(range(N)), n_fine=128, n_coarse=4) as r:
            for q in queries(docs, 5, count=4):
                assert len(r.search(q, k=N, probe=probe, rerank=0)) == N
                assert r.search(q, k=7, probe=probe, rerank=N) == r.rerank(q, None, k=7)

    @pytest.mark.parametrize("bad", [{"probe": -1}, {"rerank": 1.5}, {"probe": True}, {"shortlist": -1}])
    def test_counts_are_checked(self, built, docs, bad):
        with pytest.raises((ValueError, TypeError)):
            built.search(docs[0][:2], **bad)


class TestGroupedRows:
    def test_near_identical_rows_are_summed_in_row_order(self):
        e = np.eye(4, dtype=np.float32)
        near = (e[0] + 0.1 * e[1]).astype(np.float32)  # cosine 0.995 to e[0]
        q = np.stack([e[0], e[2], 2 * near, e[2], e[3]])
        rows, weights = group_rows(q)
        np.testing.assert_array_equal(rows, np.stack([e[0] + 2 * near, 2 * e[2], e[3]]).astype(np.float32))
        assert weights.tolist() == [2, 2, 1]

    def test_distinct_rows_stay_as_they_are(self, docs):
        q = docs[5][:3]
        cosine = (q / np.linalg.norm(q, axis=1)[:, None]) @ (q / np.linalg.norm(q, axis=1)[:, None]).T
        assert (cosine[~np.eye(3, dtype=bool)] < 0.9).all()
        rows, weights = group_rows(q)
        np.testing.assert_array_equal(rows, q)
        assert weights.tolist() == [1, 1, 1]
        # A zero row is near nothing, itself included; -0 comes back as +0
        # whether or not other rows were grouped.
        zero = np.zeros((1, q.shape[1]), np.float32)
        zero[0, 0] = -0.0
        for extra in ([], [q[0]]):
            rows, weights = group_rows(np.vstack([q, zero, *extra]).astype(np.float32))
            assert rows.view(np.uint32)[3].tolist() == [0] * q.shape[1]
            assert weights.tolist() == [1 + len(extra), 1, 1, 1]

    @pytest.mark.parametrize("n", [5, 40, 100])
    def test_every_grouping_path_gives_the_same_groups(self, monkeypatch, n):
        # Python lists, the all-cosines matrix and the row-by-row products
        # (chosen by the query's length) group alike.
        rng = np.random.default_rng(n)
        base = rng.standard_normal((n // 3 + 1, 6))
        q = (base[rng.integers(0, len(base), n)] + 0.05 * rng.standard_normal((n, 6))).astype(np.float32)
        results = []
        for lists, matrix in [(1000, 1000), (0, 1000), (0, 0)]:
            monkeypatch.setattr(retriever_module, "_LIST_ROWS", lists)
            monkeypatch.setattr(retriever_module, "_ALL_COSINES_ROWS", matrix)
            results.append(group_rows(q))
        assert len(results[0][0]) < n
        for rows, weights in results[1:]:
            np.testing.assert_array_equal(rows, results[0][0])
            np.testing.assert_array_equal(weights, results[0][1])

    def test_a_long_padded_query_never_holds_a_rows_by_rows_matrix(self):
        # 20,000 rows: a rows x rows cosine matrix alone would take 1.6 GB.
        rng = np.random.default_rng(3)
        q = np.vstack([rng.standard_normal((3, 8)), np.tile(rng.standard_normal(8), (20_000, 1))]).astype(np.float32)
        tracemalloc.start()
        try:
            _, weights = group_rows(q)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert weights.tolist() == [1, 1, 1, 20_000]
        assert peak < 50 << 20

    def test_padded_queries_find_what_their_rows_find(self, built, docs):
        # Repeating a query's rows keeps its exact ranking (every score
        # scales by 4, up to rounding), and the repeated rows' wider probe
        # finds at least as much of the exact top 5 as the plain query does.
        for q in queries(docs, 9):
            padded = np.tile(q, (4, 1))
            exact = {i for i, _ in built.rerank(padded, None, k=5)}
            plain = {i for i, _ in built.search(q, k=5, probe=1)}
            wide = {i for i, _ in built.search(padded, k=5, probe=1)}
            assert len(wide & exact) >= len(plain & exact)


class TestWithoutVectors:
    def test_scores_come_from_the_codes_and_no_vector_file_is_written(self, docs, tmp_path):
        with codes_only(docs) as r:
            assert not r.keeps_vectors
            with pytest.raises(ValueError, match="keeps no vectors"):
                r.store.vectors  # noqa: B018
            for q in queries(docs, 3):
                hits = r.search(q, k=5)
                assert [s for _, s in hits] == approx(r, q, [i for i, _ in hits])
                assert r.rerank(q, None, k=4) == [(i, s) for i, s in r.search(q, k=4, probe=32, candidates=0)]
            before = answers(r, docs)
            r.save(tmp_path / "saved")
        files = sorted(p.name for p in (tmp_path / "saved").iterdir())
        assert "vectors.npy" not in files and "codes_residual.npy" in files
        with Retriever.load(tmp_path / "saved") as again:
            assert not again.keeps_vectors and answers(again, docs) == before

    def test_saving_into_its_own_directory_then_adding_leaves_the_save_intact(self, docs, tmp_path):
        with codes_only(docs, directory=tmp_path / "own") as r:
            before = answers(r, docs)
            r.save(tmp_path / "own")
            r.add(make_docs(12, 2), [N, N + 1])
        with Retriever.load(tmp_path / "own") as again:
            assert again.n_docs == N and answers(again, docs) == before

    def test_add_remove_compact(self, docs):
        extra = make_docs(12, 5)
        with codes_only(docs) as r:
            r.add(extra, list(range(N, N + 5)))
            assert r.codes.n_docs == N + 5 and len(r.codes) == r.store.n_rows
            r.remove([0, 1, N])
            before = answers(r, docs)
            r.compact()
            assert r.codes.n_docs == N + 2 and len(r.codes) == r.store.n_rows
            assert answers(r, docs) == before

    @pytest.mark.parametrize("repeat", [False, True])
    def test_a_codes_only_search_returns_every_rows_codes_scores_of_its_best(self, docs, repeat):
        # Without repeated rows the ranking scores already use every row;
        # a repeated row is summed for the ranking and rescored after.
        with codes_only(docs) as r:
            for q in queries(docs, 6, 4):
                if repeat:
                    q = np.vstack([q, q[:1]])
                hits = r.search(q, k=5)
                assert [s for _, s in hits] == approx(r, q, [i for i, _ in hits])
                assert hits == r.search(q, k=5, rerank=0) == r.search(q, k=5, rerank=10_000)

    def test_only_a_codes_only_search_without_a_large_group_shortlists_by_default(
        self, docs, built, monkeypatch
    ):
        # At least k stay; a query with a large group of repeated rows, or a
        # retriever with the float store, scores every candidate on its
        # codes; a shortlist given is honoured by both.
        monkeypatch.setattr(_defaults, "SHORTLIST", 3)
        monkeypatch.setattr(_defaults, "SHORTLIST_GROUP", 2)
        changed = []
        with codes_only(docs) as r:
            for q in queries(docs, 7, 4):
                pair = np.vstack([q[:1], q[:1], -q[:1]])  # groups of 2 and 1 rows
                for query in (q[:1], pair):
                    assert r.search(query, k=5) == r.search(query, k=5, shortlist=5)
                    changed.append(r.search(query, k=5) != r.search(query, k=5, shortlist=0))
                padded = np.vstack([pair, q[:1]])  # a group of 3
                assert r.search(padded, k=5) == r.search(padded, k=5, shortlist=0)
                every = built.search(q, k=5, shortlist=0)
                assert built.search(q, k=5) == every == built.search(q, k=5, shortlist=2**70)
                assert len(r.search(q, k=5, shortlist=1)) == len(built.search(q, k=5, shortlist=1)) == 1
                assert r.search_batch([pair, padded], k=5) == [r.search(pair, k=5), r.search(padded, k=5)]
        assert any(changed)

    @pytest.mark.parametrize(
        ("kw", "message"),
        [
            ({"code_bits": None}, "keep_vectors=False needs codes"),
            ({"code_bits": 3}, "code_bits must be 1, 2, 4, .auto. or None"),
        ],
    )
    def test_refused_settings(self, docs, kw, message):
        with pytest.raises(ValueError, match=message):
            codes_only(docs, **kw)

    @pytest.mark.parametrize(
        ("keep_vectors", "kw", "bits"),
        [
            (True, {}, 2),
            (False, {}, 4),
            (True, {"code_bits": "auto"}, 2),
            (False, {"code_bits": "auto"}, 4),
            (False, {"code_bits": 2}, 2),
            (True, {"code_bits": 4}, 4),
        ],
    )
    def test_code_bits_follow_whether_the_float_store_is_kept_unless_given(self, docs, keep_vectors, kw, bits):
        with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, keep_vectors=keep_vectors, **kw) as r:
            assert r.codes.bits == bits and r.store.keeps_vectors is keep_vectors

    @pytest.mark.parametrize("data", [b"\x80\x04garbage", b"garbage", b""])
    def test_bytes_that_are_not_a_quantiser_are_refused_without_advice_to_unpickle(self, built, tmp_path, data):
        built.router.save(str(tmp_path / "r.qor"))
        from nuvaris_qor_search.codebook import strip_documents

        codebook = strip_documents((tmp_path / "r.qor").read_bytes())
        message = re.escape(f"not a residual quantiser: not an .npy file (it starts with {data[:6]!r})")
        with pytest.raises(ValueError, match=f"^{message}$"):
            Retriever.from_codebook(codebook, quantiser=data)

    @pytest.mark.parametrize(
        ("rows", "cut"), [(10**12, 0), (2**40, 0), (None, 4)], ids=["terabytes", "huge-rows", "truncated"]
    )
    def test_quantisers_whose_header_declares_other_bytes_are_refused(self, built, tmp_path, rows, cut):
        # A header of a few bytes may declare terabytes: refused as not a
        # quantiser (no MemoryError), from bytes and from a saved directory.
        built.save(tmp_path / "saved")
        path = tmp_path / "saved" / "codes_quantiser.npy"
        data = path.read_bytes()
        if rows is not None:
            table = np.load(path)
            header = np.lib.format.header_data_from_array_1_0(table)
            buffer = io.BytesIO()
            np.lib.format.write_array_header_1_0(buffer, {**header, "shape": (rows, table.shape[1])})
            data = buffer.getvalue() + table.tobytes()
        data = data[: len(data) - cut]
        message = r"^(cannot load '.*': the codes do not fit: )?not a residual quantiser: its header declares \d+ bytes"
        with pytest.raises(ValueError, match=message):
            Retriever.from_codebook(strip_documents(retriever_module.router_state(built.router)), quantiser=data)
        path.write_bytes(data)
        manifest_path = tmp_path / "saved" / "manifest.json"
        manifest = json.loads(manifest_path.read_text())
        manifest["files"]["codes_quantiser"]["bytes"] = len(data)
        manifest_path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match=message):
            Retriever.load(tmp_path / "saved", verify=False)

    def test_from_codebook_needs_a_quantiser(self, built, tmp_path):
        built.router.save(str(tmp_path / "r.qor"))
        from nuvaris_qor_search.codebook import strip_documents

        codebook = strip_documents((tmp_path / "r.qor").read_bytes())
        with pytest.raises(ValueError, match="needs a quantiser"):
            Retriever.from_codebook(codebook, keep_vectors=False)
        with Retriever.from_codebook(codebook, quantiser=built.codes.quantiser(), keep_vectors=False) as empty:
            assert empty.codes is not None and empty.codes.n_docs == 0


class TestCodesFollowTheDocuments:
    @pytest.mark.parametrize("bits", [1, 2, 4])
    def test_codes_equal_an_encoding_of_the_stored_vectors(self, docs, bits):
        extra = make_docs(13, 4)
        with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, code_bits=bits) as r:
            r.add(extra, list(range(N, N + 4)))
            fine, residual = r.codes.encode(np.concatenate(docs + extra))
            np.testing.assert_array_equal(r.codes.fine, fine)
            np.testing.assert_array_equal(r.codes.residual, residual)
            np.testing.assert_array_equal(r.codes.offsets, r.store.offsets)
            assert r.codes.bits == bits

    @pytest.mark.parametrize("bits", [1, 2, 4])
    def test_decode_reads_each_dimension_s_bucket_from_its_bits(self, docs, bits):
        with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, code_bits=bits) as r:
            c = r.codes
            per_byte = 8 // bits
            for row in (0, 7, len(c) - 1):
                buckets = [(int(c.residual[row, p // per_byte]) >> (p % per_byte * bits)) & ((1 << bits) - 1)
                           for p in range(DIM)]
                want = c.centroids[c.fine[row]] + c.levels[np.arange(DIM), buckets]
                np.testing.assert_array_equal(c.decode(slice(row, row + 1))[0], want.astype(np.float32))

    def test_a_failed_add_leaves_the_codes_as_they_were(self, built, monkeypatch):
        rows = len(built.codes)

        def refuse(*a, **kw):
            raise MemoryError

        monkeypatch.setattr(built, "_router", type("R", (), {"add_documents": refuse})())
        with pytest.raises(MemoryError):
            built.add(make_docs(14, 2), [500, 501])
        assert len(built.codes) == rows == built.store.n_rows

    def test_codes_that_do_not_fit_are_refused(self, built):
        other = CodeStore(built.codes.centroids, built.codes.cuts, built.codes.levels)
        with pytest.raises(ValueError, match="codes hold 0 documents"):
            Retriever(built.router, built.store, codes=other)


class TestSaved:
    def test_round_trip_keeps_codes_and_answers(self, built, docs, tmp_path):
        built.remove([3])
        before = answers(built, docs)
        built.save(tmp_path / "saved")
        manifest = json.loads((tmp_path / "saved" / "manifest.json").read_text())
        assert manifest["version"] == 3 and manifest["code_bits"] == 2
        assert {"codes_fine", "codes_residual", "codes_quantiser", "vectors"} <= set(manifest["files"])
        with Retriever.load(tmp_path / "saved") as again:
            for name in ("fine", "residual", "cuts", "levels", "centroids"):
                np.testing.assert_array_equal(getattr(again.codes, name), getattr(built.codes, name))
            assert answers(again, docs) == before

    def test_a_directory_without_codes_loads_searches_as_before_and_can_get_codes(self, docs, tmp_path, caplog):
        with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, code_bits=None) as old:
            before = answers(old, docs, candidates=40)
            old.save(tmp_path / "old")
        assert json.loads((tmp_path / "old" / "manifest.json").read_text())["version"] == 1
        caplog.set_level(logging.INFO, logger="nuvaris_qor_search")
        with Retriever.load(tmp_path / "old") as r:
            assert r.codes is None and answers(r, docs, candidates=40) == before
            assert any("holds no token codes" in rec.getMessage() for rec in caplog.records)
            r.build_codes(bits=2)
            assert r.codes.n_docs == N and len(r.codes) == r.store.n_rows
            assert answers(r, docs, probe=32, rerank=N) == [r.rerank(q, None, k=5) for q in queries(docs, 4)]
            r.save(tmp_path / "old")
        with Retriever.load(tmp_path / "old") as again:
            assert again.codes is not None

    @pytest.mark.parametrize(
        ("edit", "message"),
        [
            (lambda m: m.pop("code_bits"), "lacks fields"),
            (lambda m: m["files"].pop("codes_quantiser"), "lacks fields"),
            (lambda m: (m["files"].pop("vectors"), m["files"].pop("codes_fine")), "lacks fields"),
        ],
    )
    def test_manifests_that_lose_the_codes_are_refused(self, built, tmp_path, edit, message):
        built.save(tmp_path / "saved")
        path = tmp_path / "saved" / "manifest.json"
        manifest = json.loads(path.read_text())
        edit(manifest)
        path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match=message):
            Retriever.load(tmp_path / "saved", verify=False)

    @pytest.mark.parametrize(
        ("name", "change", "message"),
        [
            ("codes_fine.npy", lambda a: np.where(np.arange(len(a)) == 5, 60_000, a).astype(np.uint16),
             "codes_fine.npy holds fine code 60000; the codebook has 32 centroids"),
            ("codes_residual.npy", np.asfortranarray, "cannot read codes_residual.npy: its rows are not in C order"),
            ("codes_quantiser.npy", lambda a: np.where(np.arange(a.size).reshape(a.shape) == 3, np.nan, a),
             "not a residual quantiser: its table holds NaN or infinity"),
            ("manifest.json", lambda m: {**m, "code_bits": 4}, "the quantiser has 2 bits; the manifest says 4"),
        ],
    )
    @pytest.mark.parametrize("keep_vectors", [True, False])
    def test_codes_save_cannot_write_are_refused(self, docs, tmp_path, name, change, message, keep_vectors):
        # Each would load, then score some vectors -inf or NaN, fail in a
        # search, or fail to decode in compact.
        with Retriever.build(docs, list(range(N)), n_fine=32, n_coarse=4, code_bits=2,
                             keep_vectors=keep_vectors) as r:
            r.save(tmp_path / "saved")
        path = tmp_path / "saved" / name
        manifest_path = tmp_path / "saved" / "manifest.json"
        if name == "manifest.json":
            manifest_path.write_text(json.dumps(change(json.loads(manifest_path.read_text()))))
        else:
            np.save(path, change(np.load(path)).astype(np.load(path).dtype))
            manifest = json.loads(manifest_path.read_text())
            manifest["files"][name.removesuffix(".npy")]["bytes"] = path.stat().st_size
            manifest_path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match=re.escape(message) + "$"):
            Retriever.load(tmp_path / "saved", verify=False)

    def test_residual_codes_of_the_wrong_shape_are_refused(self, built, tmp_path):
        built.save(tmp_path / "saved")
        path = tmp_path / "saved" / "codes_residual.npy"
        np.save(path, np.zeros((3, 4), np.uint8))
        manifest_path = tmp_path / "saved" / "manifest.json"
        manifest = json.loads(manifest_path.read_text())
        manifest["files"]["codes_residual"]["bytes"] = path.stat().st_size
        manifest_path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match="codes do not fit"):
            Retriever.load(tmp_path / "saved", verify=False)
