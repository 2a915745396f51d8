"""Retriever: exact MaxSim scores against an independent float64 reference,
the rank order and its ties, the input forms and their validation, adding
documents, and the batch and pass-through methods."""

import re

import numpy as np
import pytest

import nuvaris_qor_router as qor
from nuvaris_qor_search import Retriever, maxsim_block
from nuvaris_qor_search.retriever import exact_scores

DIM = 16
EPS32 = float(np.finfo(np.float32).eps)


def reference_maxsim(query, doc):
    """Sum over query rows of the largest dot product with the document's
    rows, in float64, one document at a time."""
    if len(query) == 0:
        return 0.0
    if len(doc) == 0:
        return -np.inf
    return float(np.max(query.astype(np.float64) @ doc.astype(np.float64).T, axis=1).sum())


def score_tolerance(query, doc):
    """Rounding bound of the float32 computation: each dot product of D
    terms and the sum over Q rows."""
    if len(query) == 0 or len(doc) == 0:
        return 0.0
    mag = np.max(np.abs(query).astype(np.float64) @ np.abs(doc).astype(np.float64).T, axis=1).sum()
    return 2 * (query.shape[1] + len(query)) * EPS32 * mag


def make_docs(seed, n_docs, lengths=(3, 25), dim=DIM):
    """Documents drawn around their own centre, so MaxSim ranks them far
    apart, plus an empty document at index 5."""
    rng = np.random.default_rng(seed)
    docs = []
    for i in range(n_docs):
        n = 0 if i == 5 else int(rng.integers(*lengths))
        centre = rng.standard_normal(dim)
        docs.append((centre + 0.3 * rng.standard_normal((n, dim))).astype(np.float32))
    return docs


@pytest.fixture(scope="module")
def docs():
    return make_docs(1, 120)


@pytest.fixture(scope="module")
def ids():
    return [10_000 + 7 * i for i in range(120)]


@pytest.fixture(scope="module")
def retriever(docs, ids):
    r = Retriever.build(docs, ids, n_fine=64, n_coarse=8)
    yield r
    r.close()


def query_like(docs, d, seed, rows=4):
    rng = np.random.default_rng(seed)
    src = docs[d][rng.integers(0, len(docs[d]), rows)]
    return (src + 0.05 * rng.standard_normal(src.shape)).astype(np.float32)


class TestExactScores:
    @pytest.mark.parametrize("dtype", ["float32", "float16"])
    def test_scan_equals_reference(self, docs, ids, dtype):
        with Retriever.build(docs, ids, dtype=dtype, n_fine=32, n_coarse=4) as r:
            stored = [d.astype(dtype) for d in docs]  # float16 rounding is part of what is stored
            for seed, d in enumerate([0, 17, 63, 119]):
                q = query_like(docs, d, seed, rows=1 + seed)
                hits = r.rerank(q, None, k=len(docs))
                assert len(hits) == len(docs)
                by_id = dict(hits)
                for i, doc in enumerate(stored):
                    assert by_id[ids[i]] == pytest.approx(reference_maxsim(q, doc), abs=score_tolerance(q, doc))
                ref_order = sorted(range(len(docs)), key=lambda i: (-reference_maxsim(q, stored[i]), i))
                assert [i for i, _ in hits[:10]] == [ids[i] for i in ref_order[:10]]
                assert hits[0][0] == ids[d]

    @pytest.mark.parametrize(
        "lengths",
        [[0], [0, 0], [3, 0, 2], [0, 1, 0, 0, 4, 0], [1], [7, 1, 1, 0], [0] * 5 + [2], [2, 2, 2, 0, 0, 3, 3, 2]],
    )
    @pytest.mark.parametrize("rows", [0, 1, 5])
    def test_block_with_empty_documents(self, lengths, rows):
        rng = np.random.default_rng(len(lengths) * 10 + rows)
        q = rng.standard_normal((rows, DIM)).astype(np.float32)
        parts = [rng.standard_normal((n, DIM)).astype(np.float32) for n in lengths]
        block = np.concatenate(parts)
        got = maxsim_block(q, block, np.array(lengths))
        assert got.dtype == np.float32
        for score, doc in zip(got, parts):
            assert score == pytest.approx(reference_maxsim(q, doc), abs=score_tolerance(q, doc))

    @pytest.mark.parametrize("pick", ["all", "reversed", "repeats", "one"])
    def test_a_score_does_not_depend_on_the_other_candidates(self, retriever, docs, pick):
        q = query_like(docs, 50, 6)
        every = np.arange(retriever.n_docs, dtype=np.int64)
        expected = exact_scores(retriever.store, q, every)
        chosen = {"all": every, "reversed": every[::-1], "repeats": np.repeat(every[::7], 3), "one": every[50:51]}[pick]
        np.testing.assert_array_equal(exact_scores(retriever.store, q, chosen), expected[chosen])
        lengths = np.diff(retriever.store.offsets)
        block = np.asarray(retriever.store.vectors)
        np.testing.assert_array_equal(maxsim_block(q, block, lengths), expected)

    def test_sum_runs_in_query_row_order_in_float32(self):
        # Rows whose maxima are 1e8, 1, -1e8: left to right in float32 the 1
        # is absorbed ((1e8 + 1) rounds to 1e8), so the score is 0, not 1.
        q = np.array([[1e8, 0], [0, 1], [-1e8, 0]], np.float32)
        doc = np.array([[1, 1]], np.float32)
        assert maxsim_block(q, doc, np.array([1]))[0] == 0.0

    def test_search_is_rerank_of_the_routed_candidates(self, retriever, docs):
        for seed, d in enumerate([2, 40, 99]):
            q = query_like(docs, d, seed)
            routed = retriever.router.route_query(q, 3, 20)
            expected = retriever.rerank(q, [int(retriever.doc_ids[i]) for i, _ in routed], k=7)
            assert retriever.search(q, k=7, n_probes=3, candidates=20, probe=0) == expected

    def test_enough_candidates_give_the_exact_top_k(self, retriever, docs):
        q = query_like(docs, 33, 4)
        wide = retriever.search(q, k=10, n_probes=8, candidates=len(docs), probe=0, rerank=len(docs))
        routed = {i for i, _ in retriever.route_query(q, n_probes=8, max_candidates=len(docs))}
        exact = [hit for hit in retriever.rerank(q, None, k=len(docs)) if hit[0] in routed][:10]
        assert wide == exact


class TestOrder:
    def test_ties_go_to_the_lower_document_index(self):
        rng = np.random.default_rng(2)
        base = [rng.standard_normal((6, DIM)).astype(np.float32) for _ in range(6)]
        docs = [base[0], base[1], base[0].copy(), base[2], base[0].copy(), base[3], base[4], base[5]]
        ids = [50, 40, 30, 20, 40, 10, 0, 60]  # id 40 twice: ids need not be unique
        with Retriever.build(docs, ids, n_fine=16, n_coarse=2) as r:
            q = base[0][:3].copy()
            hits = r.rerank(q, None, k=4)
            assert [i for i, _ in hits[:3]] == [50, 30, 40]
            assert hits[0][1] == hits[1][1] == hits[2][1]
            assert r.search(q, k=3, n_probes=2, candidates=8) == hits[:3]

    @pytest.mark.parametrize(
        ("k", "candidates", "expected"), [(0, 500, 0), (5, 0, 0), (5, 3, 3), (200, 500, None)]
    )
    def test_result_sizes(self, retriever, docs, k, candidates, expected):
        q = query_like(docs, 12, 3)
        hits = retriever.search(q, k=k, n_probes=8, candidates=candidates, probe=0, rerank=500)
        n_routed = len(retriever.route_query(q, n_probes=8, max_candidates=candidates))
        assert len(hits) == (n_routed if expected is None else expected)

    def test_query_without_rows(self, retriever):
        assert retriever.search(np.empty((0, DIM), np.float32)) == []
        assert retriever.rerank(np.empty((0, DIM), np.float32), [10_000, 10_007], k=5) == [(10_000, 0.0), (10_007, 0.0)]


class TestInputForms:
    def test_matrix_with_offsets_equals_list_of_arrays(self, docs, ids, retriever):
        matrix = np.concatenate(docs)
        ends = np.cumsum([len(d) for d in docs])
        offsets = list(zip((ends - [len(d) for d in docs]).tolist(), ends.tolist()))
        with Retriever.build(matrix, np.array(ids, np.uint64), offsets, n_fine=64, n_coarse=8) as r:
            np.testing.assert_array_equal(r.store.vectors, retriever.store.vectors)
            q = query_like(docs, 70, 5)
            assert r.search(q, k=5) == retriever.search(q, k=5)

    def test_overlapping_and_unordered_ranges(self):
        rng = np.random.default_rng(4)
        matrix = rng.standard_normal((40, DIM)).astype(np.float32)
        offsets = [(10, 20), (0, 15), (30, 30), (25, 40)]  # rows 20..24 only train the codebook
        with Retriever.build(matrix, [1, 2, 3, 4], offsets, n_fine=8, n_coarse=2) as r:
            np.testing.assert_array_equal(r.store.offsets, [0, 10, 25, 25, 40])
            q = matrix[12:14]
            by_id = dict(r.rerank(q, None, k=4))
            for doc_id, (s, e) in zip([1, 2, 3, 4], offsets):
                assert by_id[doc_id] == pytest.approx(reference_maxsim(q, matrix[s:e]), abs=1e-4)

    def test_inputs_are_not_modified(self, docs, ids):
        matrix = np.concatenate(docs[:20]).astype(np.float64)
        before = matrix.copy()
        ends = np.cumsum([len(d) for d in docs[:20]])
        offsets = np.stack([ends - [len(d) for d in docs[:20]], ends], axis=1)
        with Retriever.build(matrix, ids[:20], offsets, n_fine=16, n_coarse=2) as r:
            q = matrix[:3].copy()
            r.search(q)
            r.add(matrix, ids[:20], offsets)
        np.testing.assert_array_equal(matrix, before)
        np.testing.assert_array_equal(q, before[:3])


def _raises(call, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        call()


class TestValidation:
    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            (
                (np.zeros((4, 3), np.float32), [1]),
                {},
                "doc_offsets is required when vectors is one matrix (or pass a list of per-document arrays)",
            ),
            (([np.zeros((2, 3)), np.zeros((2, 4))], [1, 2]), {}, "per-document arrays have different widths: [3, 4]"),
            (([np.zeros(3)], [1]), {}, "vectors[0] must be a 2-D (rows, dim) array, got 1 dimension(s) of shape (3,)"),
            (([np.zeros((2, 3), bool)], [1]), {}, "vectors[0] must hold real numbers, got dtype bool"),
            (([np.zeros((2, 3))], [1, 2]), {}, "got 2 doc_ids for 1 documents"),
            (([np.zeros((2, 3))], [-1]), {}, "doc_ids must be in 0..2**64-1, got -1"),
            (([np.zeros((2, 3))], [2**64]), {}, "doc_ids must be in 0..2**64-1, got 18446744073709551616"),
            (
                ([np.zeros((2, 3))], [1.5]),
                {},
                "doc_ids must be integers or strings: 'float' object cannot be interpreted as an integer",
            ),
            (
                (np.zeros((4, 3)), [1], [(2, 5)]),
                {},
                "doc_offsets[0] = (2, 5) is not a range 0 <= start <= end <= 4 (the number of rows of vectors)",
            ),
            (
                (np.zeros((4, 3)), [1], [(3, 2)]),
                {},
                "doc_offsets[0] = (3, 2) is not a range 0 <= start <= end <= 4 (the number of rows of vectors)",
            ),
            ((np.zeros((4, 3)), [1], [(0, 1, 2)]), {}, "doc_offsets must be a sequence of (start, end) integer pairs"),
            (([np.full((2, 3), np.nan)], [1]), {}, "vectors row 0 holds NaN or infinity"),
            (
                ([np.full((2, 3), 7e4)], [1]),
                {"dtype": "float16"},
                "vectors holds 70000, beyond float16's largest value 65504",
            ),
            (([np.zeros((2, 3))], [1]), {"dtype": "int8"}, "dtype must be float32 or float16, got 'int8'"),
            (([np.zeros((1, 3))], [1]), {}, "training the codebook needs at least 2 vectors, got 1"),
            (([np.zeros((2, 0))], [1]), {}, "vectors must have at least one column"),
            (([], []), {}, "training the codebook needs at least 2 vectors, got 0"),
            (([np.zeros((2, 3))], [1]), {"n_fine": -1}, "n_fine must be a non-negative integer, got -1"),
            (([np.zeros((2, 3))], [1]), {"n_fine": 0}, "n_fine must be at least 1, got 0"),
            (([np.zeros((2, 3))], [1]), {"n_coarse": 0}, "n_coarse must be at least 1, got 0"),
            (([np.zeros((2, 3))], ["a", 1]), {}, "doc_ids mix strings and integers; use one kind"),
            (([np.zeros((2, 3))], ["a\0b"]), {}, "doc_ids[0] holds a NUL character"),
            (
                ([np.zeros((65_536, 1), np.float32)], [1]),
                {},
                "document 0 has 65536 vectors; at most 65535 fit one document",
            ),
        ],
    )
    def test_build_refuses(self, args, kwargs, message):
        _raises(lambda: Retriever.build(*args, **kwargs), message)

    def test_unknown_router_parameter(self):
        with pytest.raises(TypeError, match=r"^Retriever\.build\(\) got an unexpected keyword argument 'n_probes'$"):
            Retriever.build([np.zeros((2, 3))], [1], n_probes=3)

    @pytest.mark.parametrize(
        ("method", "args", "kwargs", "message"),
        [
            ("search", (np.zeros((2, 5)),), {}, f"query has 5 columns; expected {DIM}"),
            (
                "search",
                (np.zeros(DIM),),
                {},
                "query must be a 2-D (rows, dim) array, got 1 dimension(s) of shape (16,)",
            ),
            ("search", (np.zeros((1, DIM)),), {"k": -1}, "k must be a non-negative integer, got -1"),
            ("search", (np.zeros((1, DIM)),), {"k": True}, "k must be a non-negative integer, got True"),
            (
                "search",
                (np.zeros((1, DIM)),),
                {"candidates": 2.0},
                "candidates must be a non-negative integer, got 2.0",
            ),
            ("search", (np.full((1, DIM), np.inf),), {}, "query row 0 holds NaN or infinity"),
            (
                "search",
                ([[0.0] * DIM, [0.0]],),
                {},
                "query must be a 2-D (rows, dim) array; its rows are not all the same length",
            ),
            (
                "search_batch",
                ([np.zeros((1, DIM)), np.zeros((1, 3))],),
                {},
                f"queries[1]: query has 3 columns; expected {DIM}",
            ),
            ("search", (np.zeros((1, DIM)),), {"n_probes": 0}, "n_probes must be at least 1, got 0"),
            ("route_query", (np.zeros((1, DIM)),), {"n_probes": 0}, "n_probes must be at least 1, got 0"),
            ("route_query", (np.zeros((1, DIM)),), {"n_probes": -2}, "n_probes must be a non-negative integer, got -2"),
            ("rerank", (np.zeros((1, DIM)), [10_000, 3]), {}, "no document has id 3"),
            ("rerank", (np.zeros((1, DIM)), ["a"]), {}, "doc_ids are strings, but this retriever's ids are integers"),
            (
                "rerank",
                (np.zeros((1, DIM)), np.array([[0]])),
                {},
                "docs must be a 1-D sequence of integers or strings, got shape (1, 1)",
            ),
            ("add", ([np.zeros((2, DIM))], ["x"]), {}, "doc_ids are strings, but this retriever's ids are integers"),
            ("add", ([np.zeros((2, 5))], [1]), {}, f"vectors[0] has 5 columns; expected {DIM}"),
            ("add", (np.zeros((2, 5)), [1], [(0, 2)]), {}, f"vectors have 5 columns; expected {DIM}"),
        ],
    )
    def test_methods_refuse(self, retriever, method, args, kwargs, message):
        n = retriever.n_docs
        _raises(lambda: getattr(retriever, method)(*args, **kwargs), message)
        assert retriever.n_docs == retriever.router.n_docs() == n


class TestAdd:
    def test_add_in_parts_equals_build_then_add(self, docs, ids):
        with Retriever.build(docs[:60], ids[:60], n_fine=64, n_coarse=8) as a, Retriever.build(
            docs[:60], ids[:60], n_fine=64, n_coarse=8
        ) as b:
            a.add(docs[60:], ids[60:])
            for lo in range(60, 120, 25):
                b.add(docs[lo : lo + 25], ids[lo : lo + 25])
            b.add([], [])
            assert a.n_docs == b.n_docs == b.router.n_docs() == 120
            np.testing.assert_array_equal(a.store.vectors, b.store.vectors)
            np.testing.assert_array_equal(a.doc_ids, ids)
            for seed, d in enumerate([3, 61, 118]):
                q = query_like(docs, d, seed)
                assert a.search(q, k=5) == b.search(q, k=5)
                assert a.search(q, k=1)[0][0] == ids[d]

    def test_failed_router_add_rolls_back_the_store(self, docs, ids):
        class FailingRouter:
            def __init__(self, inner):
                self.inner = inner

            def add_documents(self, *args):
                raise qor.PanicException("injected")

            def __getattr__(self, name):
                return getattr(self.inner, name)

        with Retriever.build(docs[:30], ids[:30], n_fine=16, n_coarse=2) as r:
            before = (r.store.vectors.copy(), r.store.offsets.copy(), r.doc_ids.copy())
            inner, r._router = r._router, FailingRouter(r._router)
            with pytest.raises(qor.PanicException):
                r.add(docs[30:40], ids[30:40])
            r._router = inner
            for old, now in zip(before, (r.store.vectors, r.store.offsets, r.doc_ids)):
                np.testing.assert_array_equal(old, now)
            r.add(docs[30:40], ids[30:40])
            assert r.n_docs == r.router.n_docs() == 40

    @pytest.mark.parametrize("as_bytes", [False, True])
    def test_from_codebook(self, tmp_path, docs, ids, as_bytes):
        trained = qor.PyQorRouter(DIM)
        trained.build(np.concatenate(docs), [], [], n_fine=32, n_coarse=4)
        path = tmp_path / "codebook.qor"
        trained.save(str(path))
        with Retriever.from_codebook(path.read_bytes() if as_bytes else path, dtype="float16") as r:
            assert (r.n_docs, r.dim, r.dtype) == (0, DIM, np.float16)
            assert r.search(np.ones((2, DIM), np.float32)) == []
            r.add(docs, ids)
            q = query_like(docs, 44, 2)
            assert r.search(q, k=1, n_probes=8, candidates=120)[0][0] == ids[44]

    def test_from_codebook_refuses_documents(self, tmp_path, retriever):
        path = tmp_path / "full.qor"
        retriever.router.save(str(path))
        _raises(lambda: Retriever.from_codebook(path), "codebook state must hold no documents; it holds 120")


class TestMethods:
    def test_search_batch_equals_search(self, retriever, docs):
        queries = [query_like(docs, d, d, rows=1 + d % 5) for d in (1, 30, 77, 100)] + [np.empty((0, DIM))]
        assert retriever.search_batch(queries, k=4, n_probes=3) == [
            retriever.search(q, k=4, n_probes=3) for q in queries
        ]
        assert retriever.search_batch([]) == []

    @pytest.mark.parametrize("huge", [2**64, 2**70])
    def test_counts_beyond_the_collection_reach_all_of_it(self, retriever, docs, huge):
        q = query_like(docs, 9, 9)
        every = (retriever.router.n_coarse(), len(docs))
        assert retriever.route_query(q, huge, huge) == retriever.route_query(q, *every)
        assert retriever.search(q, k=5, n_probes=huge, candidates=huge) == retriever.search(
            q, k=5, n_probes=every[0], candidates=every[1]
        )

    def test_route_query_maps_indices_to_ids(self, retriever, docs):
        q = query_like(docs, 9, 9)
        routed = retriever.router.route_query(q, 4, 30)
        assert retriever.route_query(q, 4, 30) == [(10_000 + 7 * d, s) for d, s in routed]

    def test_close(self, docs, ids):
        r = Retriever.build(docs[:10], ids[:10], n_fine=8, n_coarse=2)
        r.remove(ids[:2])
        directory = r.store.directory
        assert directory.is_dir()
        with r:
            pass
        assert not directory.exists()
        r.close()
        _raises(lambda: r.search(np.zeros((1, DIM))), "retriever is closed")
        assert repr(r) == "<Retriever closed>"
        assert len(r) == r.n_docs == r.n_removed == 0

    def test_private_directory_removed_when_collected(self, docs, ids):
        import gc

        r = Retriever.build(docs[:10], ids[:10], n_fine=8, n_coarse=2)
        directory = r.store.directory
        del r
        gc.collect()
        assert not directory.exists()

    def test_constructor_checks_the_pair(self, retriever, docs, ids):
        with Retriever.build(docs[:10], ids[:10], n_fine=8, n_coarse=2) as small:
            _raises(lambda: Retriever(retriever.router, small.store), "router holds 120 documents; store holds 10")
            _raises(lambda: Retriever(qor.PyQorRouter(DIM), small.store), "router is not built; build or load it first")


def test_readme_example_is_the_example_file_and_runs(readme_example):
    out = readme_example("## Search: `nuvaris_qor_search`", "retriever.py")
    first, second = (eval(line) for line in out.splitlines())
    assert first[0][0] == 1042 and [i for i, _ in second[:2]] == [1042, 7]
