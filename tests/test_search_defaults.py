"""The parameters a Retriever chooses from its collection when the caller
names none: the rule's bounds over collection sizes, and how build and
search apply it while explicit values win."""

import numpy as np
import pytest

from nuvaris_qor_search import Retriever, _defaults

SIZES = [(2, 1), (3, 3), (40, 4), (1_000, 900), (20_000, 500), (848_456, 20_000), (10**7, 2 * 10**5),
         (10**10, 10**8)]


class TestRule:
    @pytest.mark.parametrize("n_vectors, n_docs", SIZES)
    def test_parameters_are_valid_for_the_router(self, n_vectors, n_docs):
        rp = _defaults.router_params(n_vectors, n_docs, 128)
        sp = _defaults.search_params(n_vectors, n_docs, 128)
        assert 1 <= rp.n_fine <= min(n_vectors, _defaults.MAX_FINE)
        assert 1 <= rp.ctop_r <= rp.n_coarse <= rp.n_fine
        assert 1 <= sp.candidates <= n_docs and sp.n_probes >= 1
        assert all(type(v) is int for v in (*rp, *sp))

    def test_grows_with_the_collection(self):
        sizes = np.unique(np.geomspace(2, 10**9, 200).astype(np.int64)).tolist()
        fine = [_defaults.router_params(n, max(1, n // 40), 64).n_fine for n in sizes]
        cands = [_defaults.search_params(n, max(1, n // 40), 64).candidates for n in sizes]
        short = [_defaults.shortlist(10, max(1, n // 40), False, 1) for n in sizes]
        assert fine == sorted(fine) and cands == sorted(cands) and short == sorted(short)
        assert short[0] == _defaults.SHORTLIST < short[-1]

    @pytest.mark.parametrize(
        "k, keeps_vectors, largest_group, want",
        [(10, False, 1, 600), (10, False, 4, 600), (10, False, 5, 0), (10, True, 1, 0), (1_000, False, 2, 1_000)],
    )
    def test_shortlist_only_without_the_float_store_and_large_groups(self, k, keeps_vectors, largest_group, want):
        assert _defaults.shortlist(k, 20_000, keeps_vectors, largest_group) == want

    @pytest.mark.parametrize("n_docs", [1, 100, 500, 5_000])
    def test_small_collections_keep_the_former_candidate_count(self, n_docs):
        assert _defaults.search_params(50 * n_docs, n_docs, 64).candidates == min(500, n_docs)


def unit_docs(seed, n_docs, dim=16):
    rng = np.random.default_rng(seed)
    docs = [rng.standard_normal((int(n), dim)).astype(np.float32) for n in rng.integers(5, 30, n_docs)]
    return [d / np.linalg.norm(d, axis=1, keepdims=True) for d in docs]


@pytest.fixture(scope="module")
def docs():
    return unit_docs(2, 60)  # about 1,000 vectors: the rule picks n_fine 128, not the router's 256


class TestBuild:
    def test_chooses_from_the_collection(self, docs):
        n_vectors = sum(len(d) for d in docs)
        want = _defaults.router_params(n_vectors, len(docs), 16)
        with Retriever.build(docs, list(range(len(docs))), max_kmeans_iter=3) as r:
            assert (r.router.n_fine(), r.router.n_coarse()) == (want.n_fine, want.n_coarse)

    @pytest.mark.parametrize("given", [{"n_fine": 16}, {"n_fine": 16, "n_coarse": None}, {"n_coarse": 4}])
    def test_explicit_values_win_and_none_chooses(self, docs, given):
        want = _defaults.router_params(sum(len(d) for d in docs), len(docs), 16)._asdict()
        want.update({k: v for k, v in given.items() if v is not None})
        with Retriever.build(docs, list(range(len(docs))), max_kmeans_iter=3, **given) as r:
            assert r.router.n_fine() == want["n_fine"]
            if given.get("n_coarse"):
                assert r.router.n_coarse() == given["n_coarse"]


@pytest.fixture(scope="module")
def retriever(docs):
    r = Retriever.build(docs, [1000 + i for i in range(len(docs))], n_fine=32, n_coarse=8, max_kmeans_iter=5)
    yield r
    r.close()


class TestSearch:
    @pytest.mark.parametrize("batch", [False, True])
    def test_uses_the_chosen_counts_unless_given(self, retriever, docs, monkeypatch, batch):
        monkeypatch.setattr(_defaults, "search_params", lambda *a: _defaults.SearchParams(1, 3, 0, 50))
        q = docs[7][:4] + 0.01

        def search(**kw):
            return retriever.search_batch([q], 10, **kw)[0] if batch else retriever.search(q, 10, **kw)

        routed = [d for d, _ in retriever.route_query(q, 1, 3)]  # caller ids
        assert search() == retriever.rerank(q, routed, 10)
        assert search(n_probes=1, candidates=3) == search()
        many = search(candidates=len(docs), n_probes=8)
        assert len(many) == 10 and many != search()
