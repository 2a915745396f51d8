"""Residual codes: approximate scores bit for bit against a NumPy reference
of the documented formula, codes that do not depend on the thread count and
follow the documented bucket and packing rules, a recall sanity check
against exact MaxSim, and the store's arrays saved, memory-mapped and
checked."""

import itertools
import sys

import numpy as np
import pytest

import nuvaris_qor_search as search
from nuvaris_qor_router import PyQorRouter
from nuvaris_qor_search import _files, _native
from nuvaris_qor_search.codes import CodeStore
from nuvaris_qor_search.maxsim import scores as exact_scores


def router_state(tmp_path, vectors, lengths, n_fine):
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    router = PyQorRouter(vectors.shape[1])
    pairs = [(int(a), int(b)) for a, b in itertools.pairwise(offsets)]
    router.build(vectors, list(range(len(lengths))), pairs, n_fine=n_fine, n_coarse=max(2, n_fine // 8))
    path = tmp_path / "router.qor"
    router.save(str(path))
    return path.read_bytes()


def unpack(store):
    """Bucket of every stored vector and dimension, read back from the packed bytes."""
    per_byte = 8 // store.bits
    p = np.arange(store.dim)
    return (store.residual[:, p // per_byte] >> ((p % per_byte) * store.bits)) & ((1 << store.bits) - 1)


def reference_similarities(store, query):
    """C[j, c], the query-by-centroid similarities in the documented order."""
    q = np.asarray(query, np.float32)
    c = np.zeros((len(q), len(store.centroids)), np.float32)
    for p in range(store.dim):
        c = c + np.multiply.outer(q[:, p], store.centroids[:, p])
    return c


def reference_fine_scores(store, query, docs):
    """Each document's score on its fine codes alone: per query row the
    largest similarity to a centroid its vectors hold (codes beyond the
    codebook skipped, -inf when none is left), summed in row order."""
    sims = reference_similarities(store, query)
    out = np.zeros(len(docs), np.float32)
    for i, d in enumerate(docs):
        codes = store.fine[store.offsets[d] : store.offsets[d + 1]]
        codes = codes[codes < len(store.centroids)]
        best = sims[:, codes].max(axis=1) if len(codes) else np.full(len(query), -np.inf, np.float32)
        total = np.float32(0)
        for j, m in enumerate(best):
            total = m if j == 0 else np.float32(total + m)
        out[i] = total
    return out


SCORE_WEIGHT, SCORE_PASSES = 4.0, 3


def reference_buckets(store, vectors):
    """Every vector's buckets as documented: the cut-point buckets of its
    residual, then passes of coordinate descent over the dimensions on
    ||e||^2 + (SCORE_WEIGHT - 1) (u . e)^2, in float64 in dimension order."""
    x = np.asarray(vectors, np.float32)
    n, dim = x.shape
    r = x - store.centroids[store.fine]  # float32, as the encoder takes it
    b = np.stack([np.searchsorted(store.cuts[p], r[:, p], side="right") for p in range(dim)], axis=1)
    levels = store.levels.astype(np.float64)
    xd, z = x.astype(np.float64), r.astype(np.float64)
    norm2 = np.zeros(n)
    for p in range(dim):
        norm2 = norm2 + xd[:, p] * xd[:, p]
    live = norm2 > 0
    inv = np.where(live, 1.0 / np.sqrt(np.where(live, norm2, 1.0)), 0.0)
    e = z - levels[np.arange(dim), b]
    s = np.zeros(n)
    for p in range(dim):
        s = s + xd[:, p] * inv * e[:, p]
    lam = SCORE_WEIGHT - 1.0
    rows = np.arange(n)
    for _ in range(SCORE_PASSES):
        for p in range(dim):
            u = xd[:, p] * inv
            rest = s - u * e[:, p]
            err = z[:, p, None] - levels[p][None, :]
            along = rest[:, None] + u[:, None] * err
            loss = err * err + lam * (along * along)
            best = np.where(loss.min(axis=1) < loss[rows, b[:, p]], loss.argmin(axis=1), b[:, p])
            best = np.where(live, best, b[:, p])
            moved = best != b[:, p]
            b[:, p] = best
            e[moved, p] = z[moved, p] - levels[p, best[moved]]
            s = np.where(moved, rest + u * e[:, p], s)
    return b


def reference_tables(store, q):
    """C (Q, n_fine), T (Q, groups, 16), lo (Q, groups) and delta (Q,) in
    float32, in the documented order."""
    levels, bits, dim = store.levels, store.bits, store.dim
    c = reference_similarities(store, q)
    per_group, groups, k = 4 // bits, (dim * bits + 3) // 4, 1 << bits
    t = np.zeros((len(q), groups, 16), np.float32)
    for g in range(groups):
        for p in range(g * per_group, min(dim, (g + 1) * per_group)):
            bucket = (np.arange(16) >> ((p % per_group) * bits)) & (k - 1)
            t[:, g] = t[:, g] + np.multiply.outer(q[:, p], levels[p, bucket])
    lo = t.min(axis=2)
    span = (t - lo[:, :, None]).max(axis=(1, 2))
    delta = np.maximum(span / np.float32(255), np.abs(c).max(axis=1) / np.float32(2**22))
    delta[delta == 0] = 1
    return c, t, lo, delta


def reference_scores(store, query, docs):
    """The documented formula with NumPy: float32 tables, each product, sum
    and quotient rounded on its own, then whole-number tables and sums."""
    q = np.asarray(query, np.float32)
    if len(q) == 0:
        return np.zeros(len(docs), np.float32)
    c, t, lo, delta = reference_tables(store, q)
    groups = t.shape[1]
    u = np.minimum(255, np.rint((t - lo[:, :, None]) / delta[:, None, None])).astype(np.int64)
    kk = np.rint(c / delta[:, None]).astype(np.int64)
    bias = lo[:, 0]
    for g in range(1, groups):
        bias = bias + lo[:, g]
    valid = store.fine < len(store.centroids)
    s = kk[:, np.minimum(store.fine, len(store.centroids) - 1)]  # (Q, N)
    for g in range(groups):
        s = s + u[:, g, (store.residual[:, g // 2] >> (4 * (g % 2))) & 0xF]
    out = []
    for d in docs:
        rows = np.arange(store.offsets[d], store.offsets[d + 1])
        rows = rows[valid[rows]]
        if len(rows) == 0:
            m = np.full(len(q), -np.inf, np.float32)
        else:
            m = s[:, rows].max(axis=1).astype(np.float32) * delta + bias
        score = m[0]
        for x in m[1:]:
            score = np.float32(score + x)
        out.append(score)
    return np.array(out, np.float32)


@pytest.fixture
def threads():
    yield search.set_num_threads
    search.set_num_threads(None)


def make_store(tmp_path, dim, bits, n_docs=60, n_fine=32, seed=0):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(1, 30, n_docs)
    lengths[5] = 0
    vectors = rng.standard_normal((int(lengths.sum()), dim)).astype(np.float32)
    store = CodeStore.train(router_state(tmp_path, vectors, lengths, n_fine), vectors, bits=bits)
    store.append(vectors, lengths)
    return store, vectors, lengths


class TestFormula:
    @pytest.mark.parametrize("bits", [1, 2, 4])
    @pytest.mark.parametrize("dim", [7, 12, 33, 64])
    def test_scores_equal_the_reference_bit_for_bit(self, tmp_path, threads, bits, dim):
        store, _, _ = make_store(tmp_path, dim, bits)
        store.fine = store.fine.copy()
        store.fine[3] = 60_000  # a code beyond the codebook: that vector never wins
        rng = np.random.default_rng(1)
        docs = np.concatenate([np.arange(store.n_docs), rng.integers(0, store.n_docs, 3000)])
        for q in (0, 1, 8, 19):
            query = rng.standard_normal((q, dim)).astype(np.float32)
            want = reference_scores(store, query, docs)
            for n in (1, 2, 4):
                threads(n)
                got = store.score(query, docs)
                np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))

    @pytest.mark.parametrize("bits", [2, 4])
    def test_whole_number_tables_stay_within_their_rounding_of_the_float_score(self, tmp_path, bits):
        # The score with the float tables added as they are (float64), against
        # the whole-number one: each query row moves by at most
        # (groups + 1) * delta / 2.
        store, _, _ = make_store(tmp_path, 64, bits)
        rng = np.random.default_rng(3)
        query = rng.standard_normal((6, 64)).astype(np.float32)
        docs = np.arange(store.n_docs)
        docs = docs[np.diff(store.offsets)[docs] > 0]
        c, t, _, delta = reference_tables(store, query)
        groups = t.shape[1]
        # Each vector's float score: C plus its groups' T entries, in float64.
        values = np.stack([(store.residual[:, g // 2] >> (4 * (g % 2))) & 0xF for g in range(groups)], axis=1)
        s = c.astype(np.float64)[:, store.fine] + t.astype(np.float64)[:, np.arange(groups), values].sum(axis=2)
        want = np.array([s[:, a:b].max(axis=1).sum() for a, b in zip(store.offsets[docs], store.offsets[docs + 1])])
        got = store.score(query, docs).astype(np.float64)
        bound = ((groups + 1) * delta.astype(np.float64) / 2).sum() + 1e-5 * np.abs(want)
        assert np.all(np.abs(got - want) <= bound)
        assert np.abs(got - want).max() > 0  # the tables are rounded

    def test_rows_of_any_scale_follow_the_formula(self, tmp_path):
        # Tiny rows make a subnormal scale (rounded one by one), a zero row
        # takes scale 1, usual and large rows the fast path: one query holds
        # all of them, and every score keeps the reference's bits.
        # Zero levels leave the centroid terms to set the scale (top / 2^22,
        # then inexact when subnormal: C / delta may pass 2^22).
        store, _, _ = make_store(tmp_path, 12, 2)
        rng = np.random.default_rng(9)
        base = rng.standard_normal((6, 12)).astype(np.float32)
        query = (base * np.array([1e-36, 1e-41, 0.0, 1.0, 1e-20, 1e30], np.float32)[:, None]).astype(np.float32)
        docs = np.arange(store.n_docs)
        for levels in (store.levels, np.zeros_like(store.levels)):
            store.levels = levels
            want = reference_scores(store, query, docs)
            np.testing.assert_array_equal(store.score(query, docs).view(np.uint32), want.view(np.uint32))
            for j in range(len(query)):
                one = reference_scores(store, query[j : j + 1], docs).view(np.uint32)
                np.testing.assert_array_equal(store.score(query[j : j + 1], docs).view(np.uint32), one)

    def test_a_query_row_beyond_float32s_range_scores_nan(self, tmp_path):
        store, _, _ = make_store(tmp_path, 12, 2)
        query = np.full((2, 12), 3e38, np.float32)  # its similarities overflow
        query[1] = 1.0
        scores = store.score(query, np.arange(store.n_docs))
        assert np.isnan(scores[np.diff(store.offsets) > 0]).all()


class TestCodes:
    def test_codes_do_not_depend_on_the_thread_count(self, tmp_path, threads):
        rng = np.random.default_rng(2)
        vectors = rng.standard_normal((3000, 16)).astype(np.float32)
        state = router_state(tmp_path, vectors, [30] * 100, 48)
        results = []
        for n in (1, 2, 3, 4):
            threads(n)
            store = CodeStore.train(state, vectors, bits=2, sample=1000, seed=5)
            results.append((store.cuts, store.levels, *store.encode(vectors)))
        for other in results[1:]:
            for a, b in zip(results[0], other):
                np.testing.assert_array_equal(a, b)

    @pytest.mark.parametrize("bits", [1, 2, 4])
    def test_buckets_follow_the_documented_encoder_and_packing(self, tmp_path, bits):
        store, vectors, _ = make_store(tmp_path, 13, bits)
        np.testing.assert_array_equal(unpack(store), reference_buckets(store, vectors))
        assert (np.diff(store.levels, axis=1) >= 0).all()
        # Unused high bits of the last byte stay zero.
        used = (13 * bits) % 8
        if used:
            assert (store.residual[:, -1] >> used == 0).all()

    def test_the_encoder_lowers_the_error_along_each_vector(self, tmp_path):
        # Against the cut-point buckets alone: a smaller error along x, at
        # the cost of a little more error in all.
        store, vectors, _ = make_store(tmp_path, 32, 2, n_docs=200)
        residual = vectors - store.centroids[store.fine]
        plain = np.stack([np.searchsorted(store.cuts[p], residual[:, p], side="right") for p in range(32)], axis=1)
        u = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        errors = {}
        for name, buckets in (("plain", plain), ("encoded", unpack(store))):
            e = residual - store.levels[np.arange(32), buckets]
            errors[name] = (np.mean(np.sum(u * e, axis=1) ** 2), np.mean(np.sum(e * e, axis=1)))
        assert errors["encoded"][0] < 0.7 * errors["plain"][0]
        assert errors["encoded"][1] < 1.3 * errors["plain"][1]

    def test_the_sample_and_its_seed_fix_the_quantiser(self, tmp_path):
        rng = np.random.default_rng(3)
        vectors = rng.standard_normal((2000, 8)).astype(np.float32)
        state = router_state(tmp_path, vectors, [20] * 100, 16)
        a = CodeStore.train(state, vectors, sample=500, seed=1)
        b = CodeStore.train(state, vectors, sample=500, seed=1)
        c = CodeStore.train(state, vectors, sample=500, seed=2)
        np.testing.assert_array_equal(a.levels, b.levels)
        assert not np.array_equal(a.levels, c.levels)


class TestRecall:
    def test_approximate_top_10_finds_most_of_the_exact_top_10(self, tmp_path):
        # Documents drawn around topics, queries drawn from a document's topic.
        rng = np.random.default_rng(7)
        dim, n_docs, topics = 32, 400, 40
        centres = rng.standard_normal((topics, dim)).astype(np.float32)
        doc_topics = rng.integers(0, topics, (n_docs, 3))
        lengths = rng.integers(10, 40, n_docs)
        rows = [centres[doc_topics[d, rng.integers(0, 3, lengths[d])]] + 0.6 * rng.standard_normal((lengths[d], dim))
                for d in range(n_docs)]
        vectors = np.concatenate(rows).astype(np.float32)
        vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
        store = CodeStore.train(router_state(tmp_path, vectors, lengths, 128), vectors, bits=2)
        store.append(vectors, lengths)
        offsets = store.offsets
        docs = np.arange(n_docs, dtype=np.int64)
        overlap = []
        for _ in range(20):
            query = centres[rng.integers(0, topics, 8)] + 0.6 * rng.standard_normal((8, dim))
            query = (query / np.linalg.norm(query, axis=1, keepdims=True)).astype(np.float32)
            exact = np.argsort(-exact_scores(query, vectors, offsets, docs), kind="stable")[:10]
            approx = np.argsort(-store.score(query, docs), kind="stable")[:10]
            overlap.append(len(set(exact) & set(approx)) / 10)
        assert np.mean(overlap) >= 0.7


class TestTokenCandidates:
    def test_lists_and_candidates_equal_a_brute_force_reading(self, tmp_path):
        store, _, _ = make_store(tmp_path, 9, 2, n_docs=80, n_fine=24)
        store.fine = store.fine.copy()
        store.fine[0] = 60_000  # beyond the codebook: in no list
        doc_of = np.repeat(np.arange(store.n_docs), np.diff(store.offsets))
        starts, docs = store.token_lists()
        for c in range(len(store.centroids)):
            want = np.unique(doc_of[store.fine == c])
            np.testing.assert_array_equal(docs[starts[c] : starts[c + 1]], want)
        rng = np.random.default_rng(4)
        for q, probe in [(1, 1), (5, 3), (8, 30), (3, 0), (2, 2**70)]:
            query = rng.standard_normal((q, 9)).astype(np.float32)
            sims = reference_similarities(store, query)
            near = [np.lexsort((np.arange(sims.shape[1]), -row))[:probe] for row in sims]
            codes = np.unique(np.concatenate(near)) if probe else np.zeros(0, int)
            want = np.unique(doc_of[np.isin(store.fine, codes)])
            np.testing.assert_array_equal(store.candidates(query, probe), want)

    def test_ties_and_nan_rows_pick_the_lower_centroid(self, tmp_path):
        # Repeated centroids tie; a NaN row ties everywhere. Probes below
        # and above the short-list size take the same order: most similar
        # first, then the lower index.
        store, _, _ = make_store(tmp_path, 9, 2, n_docs=80, n_fine=48)
        store.centroids = store.centroids.copy()
        store.centroids[[5, 7, 40]] = store.centroids[2]
        doc_of = np.repeat(np.arange(store.n_docs), np.diff(store.offsets))
        query = np.random.default_rng(8).standard_normal((3, 9)).astype(np.float32)
        query[1] = store.centroids[2]
        query[2, 0] = np.nan
        sims = reference_similarities(store, query)
        for probe in (1, 2, 3, 4, 31, 32, 33, 47):
            near = [np.lexsort((np.arange(sims.shape[1]), np.where(np.isnan(row), np.inf, -row)))[:probe]
                    for row in sims]
            want = np.unique(doc_of[np.isin(store.fine, np.concatenate(near))])
            # (the checked entry points refuse a NaN row; the native one orders it)
            np.testing.assert_array_equal(store.token_candidates(query, probe), want)

    @pytest.mark.parametrize("threads_n", [1, 2])
    def test_one_search_step_equals_its_parts(self, tmp_path, threads, threads_n):
        # Candidates under per-row probes, with extra documents (repeats,
        # overlaps) and skipped ones, and their scores, from one call: the
        # same documents as the brute-force reading and the same bits as
        # scoring them apart.
        threads(threads_n)
        store, _, _ = make_store(tmp_path, 9, 2, n_docs=80, n_fine=24)
        doc_of = np.repeat(np.arange(store.n_docs), np.diff(store.offsets))
        rng = np.random.default_rng(6)
        for probes, extra, skipped in [
            ([1, 3, 0], [5, 5, 79, 0], []),
            ([0, 0], [2, 40, 2], [40]),
            ([2, 2**40], [], [0, 1, 2, 3]),
            ([0], [], []),
            ([], [7, 3], [3]),
        ]:
            query = rng.standard_normal((len(probes), 9)).astype(np.float32)
            sims = reference_similarities(store, query)
            near = [np.lexsort((np.arange(sims.shape[1]), -row))[:p] for row, p in zip(sims, probes)]
            codes = np.concatenate([*near, np.zeros(0, int)])
            want = np.union1d(doc_of[np.isin(store.fine, codes)], np.array(extra, np.int64))
            skip = np.zeros(store.n_docs, bool)
            skip[skipped] = True
            want = want[~skip[want]]
            for flags in (skip, None if not skipped else skip):
                docs, scores = store.search(query, np.array(probes, np.int64), np.array(extra, np.int64), flags,
                                            score=True)
                np.testing.assert_array_equal(docs, want)
                want_scores = reference_scores(store, query, docs)
                np.testing.assert_array_equal(scores.view(np.uint32), want_scores.view(np.uint32))
            only, none = store.search(query, np.array(probes, np.int64), np.array(extra, np.int64), skip, score=False)
            assert none is None
            np.testing.assert_array_equal(only, want)

    @pytest.mark.parametrize("threads_n", [1, 2])
    def test_a_shortlist_keeps_the_best_by_their_fine_codes(self, tmp_path, threads, threads_n):
        # Every document a candidate (an empty one and some codes beyond the
        # codebook among them); the best `keep` by the fine-code score stay,
        # equal scores to the lower document (a zero query ties them all),
        # and their code scores keep their bits. 17 rows span two lane blocks.
        threads(threads_n)
        store, _, _ = make_store(tmp_path, 9, 2, n_docs=80, n_fine=24)
        store.fine = store.fine.copy()
        store.fine[::7] = 60_000
        every = np.arange(store.n_docs, dtype=np.int64)
        rng = np.random.default_rng(9)
        for rows in (1, 3, 17):
            query = rng.standard_normal((rows, 9)).astype(np.float32)
            for q in (query, np.zeros_like(query)):
                order = np.lexsort((every, -reference_fine_scores(store, q, every)))
                for keep in (1, 7, 79, 80, 200):
                    want = np.sort(order[:keep])
                    docs, scores = store.search(q, np.zeros(rows, np.int64), every, None, True, keep)
                    np.testing.assert_array_equal(docs, want)
                    np.testing.assert_array_equal(
                        scores.view(np.uint32), reference_scores(store, q, docs).view(np.uint32)
                    )
                    only, _ = store.search(q, np.zeros(rows, np.int64), every, None, False, keep)
                    np.testing.assert_array_equal(only, want)

    def test_search_step_refusals(self, tmp_path):
        store, vectors, _ = make_store(tmp_path, 6, 1, n_docs=8, n_fine=4)
        one, none = np.array([1], np.int64), np.zeros(0, np.int64)
        with pytest.raises(ValueError, match=r"^probes holds 1 counts; the query has 2 rows$"):
            store.search(vectors[:2], one, none, None, True)
        with pytest.raises(ValueError, match=r"^probes must not be negative, got -1$"):
            store.search(vectors[:1], -one, none, None, True)
        with pytest.raises(ValueError, match=r"^document 8 is not among the 8 documents$"):
            store.search(vectors[:1], one, np.array([8], np.int64), None, True)
        with pytest.raises(ValueError, match=r"^document -1 is not among the 8 documents$"):
            store.search(vectors[:1], 0 * one, -one, None, False)
        with pytest.raises(ValueError, match=r"^skip holds 3 flags; there are 8 documents$"):
            store.search(vectors[:1], one, none, np.zeros(3, bool), True)

    def test_lists_naming_documents_outside_the_store(self, tmp_path):
        # The bare candidates sort whatever the lists hold; the search step,
        # which knows the store, refuses them (no flag is read or written
        # out of bounds).
        store, vectors, _ = make_store(tmp_path, 6, 1, n_docs=8, n_fine=4)
        starts, docs = np.arange(5, dtype=np.int64), np.array([2**62, -5, 3, 2**62], np.int64)
        got = np.frombuffer(_native.token_candidates(vectors[:1], store.centroids, starts, docs, 4), np.int64)
        assert got.tolist() == [-5, 3, 2**62]
        with pytest.raises(ValueError, match=r"^document (-5|4611686018427387904) is not among the 8 documents$"):
            _native.token_search(vectors[:1], np.array([4], np.int64), store.centroids, store.levels, store.fine,
                                 store.residual, store.offsets, starts, docs, np.zeros(0, np.int64),
                                 np.zeros(8, np.uint8), True, 0)

    @pytest.mark.parametrize("shortlist", [0, 1])
    @pytest.mark.parametrize("edit", ["beyond", "falling", "negative"])
    def test_offsets_outside_the_codes_are_refused_before_any_row_is_read(self, tmp_path, edit, shortlist):
        # A shortlist scores the candidates' fine codes before their code
        # scores check the offsets; both paths must refuse rows outside the
        # store rather than read them.
        store, vectors, _ = make_store(tmp_path, 6, 1, n_docs=8, n_fine=4)
        offsets = store.offsets.copy()
        offsets[1:] = {"beyond": 10**9, "falling": -(10**9), "negative": offsets[1:]}[edit]
        if edit == "negative":
            offsets[0] = -(10**9)
        every = np.arange(8, dtype=np.int64)
        with pytest.raises(ValueError, match=r"^document 0 spans rows -?\d+\.\.-?\d+, outside the store's \d+ rows$"):
            _native.token_search(vectors[:2], np.zeros(2, np.int64), store.centroids, store.levels, store.fine,
                                 store.residual, offsets, *store.token_lists(), every, None, True, shortlist)

    def test_lists_follow_appends(self, tmp_path):
        store, vectors, lengths = make_store(tmp_path, 6, 1, n_docs=10)
        before = store.token_lists()[1].copy()
        store.append(vectors[: lengths[0]], lengths[:1])
        after = store.token_lists()[1]
        assert len(after) > len(before) and after.max() == 10


class TestStore:
    def test_saved_arrays_load_memory_mapped_with_the_same_scores(self, tmp_path):
        store, vectors, lengths = make_store(tmp_path, 10, 2)
        store.save(tmp_path / "codes")
        loaded = CodeStore.load(tmp_path / "codes")
        assert isinstance(loaded.residual, np.memmap) and len(loaded) == len(vectors)
        query = vectors[:4]
        docs = np.arange(store.n_docs)
        np.testing.assert_array_equal(loaded.score(query, docs), store.score(query, docs))
        # Appending in two batches gives the codes of one.
        split = int(lengths[:20].sum())
        again = CodeStore(store.centroids, store.cuts, store.levels)
        again.append(vectors[:split], lengths[:20])
        again.append(vectors[split:], lengths[20:])
        for name, array in store.arrays().items():
            np.testing.assert_array_equal(again.arrays()[name], array)
        assert store.bytes_per_vector == 2 + 3

    def test_refusals(self, tmp_path):
        store, vectors, _ = make_store(tmp_path, 6, 1, n_docs=8)
        with pytest.raises(ValueError, match=r"^bits must be 1, 2 or 4, got 3$"):
            CodeStore.train(b"", vectors, bits=3)
        with pytest.raises(ValueError, match=r"^not a router state: 0 bytes, shorter than the 16-byte header$"):
            CodeStore.train(b"", vectors)
        with pytest.raises(ValueError, match=r"^query has 5 columns; expected 6$"):
            store.score(vectors[:2, :5], [0])
        for beyond in ([8], np.array([1, 2**63], np.uint64)):
            with pytest.raises(ValueError, match=rf"^candidate {max(beyond)} is outside the store's documents 0..7$"):
                store.score(vectors[:2], beyond)
        with pytest.raises(ValueError, match=r"^candidates must be integer document indices, got dtype float64$"):
            store.score(vectors[:2], [0.5])
        with pytest.raises(ValueError, match=r"^lengths add up to 3 vectors; 4 were given$"):
            store.append(vectors[:4], [1, 2])
        before = {name: array.copy() for name, array in store.arrays().items()}
        # Lengths whose sum wraps around to the rows given, in either integer type.
        for wrapping in (np.array([2**63 - 1, 2**63 - 1, 6], np.int64), np.array([2**64 - 1, 5], np.uint64)):
            with pytest.raises(ValueError, match=r"^lengths hold a document of \d+ vectors; 4 were given$"):
                store.append(vectors[:4], wrapping)
        for name, array in store.arrays().items():
            np.testing.assert_array_equal(array, before[name])
        store.offsets = store.offsets.copy()
        store.offsets[2] = 10**6
        store.save(tmp_path / "broken")
        with pytest.raises(ValueError, match=r"^offsets must rise from 0 to the \d+ stored vectors$"):
            CodeStore.load(tmp_path / "broken")
        # Neighbours whose difference wraps around to a non-negative one.
        rows = len(store.fine)
        store.offsets = np.array([0, 2**63 - 1, *(-(2**63) + rows + 1 + np.arange(6)), rows], np.int64)
        assert (np.diff(store.offsets) >= 0).all()
        store.save(tmp_path / "wrapping")
        with pytest.raises(ValueError, match=r"^offsets must rise from 0 to the \d+ stored vectors$"):
            CodeStore.load(tmp_path / "wrapping")
        # A header that declares terabytes over a few bytes of data.
        (tmp_path / "wrapping" / "fine.npy").write_bytes(_files.npy_header(np.dtype("<u2"), (10**12,)) + bytes(10))
        for mmap in (True, False):
            with pytest.raises(ValueError, match=r"^cannot read fine\.npy: its header declares a uint16 array"):
                CodeStore.load(tmp_path / "wrapping", mmap=mmap)


class TestBinding:
    def test_buffers_are_released_and_inputs_left_unchanged(self, tmp_path):
        # Every borrowed buffer is released, on success and on failure, and
        # nothing a function only reads is written.
        store, vectors, _ = make_store(tmp_path, 8, 2, n_docs=12, n_fine=16)
        starts, docs = store.token_lists()
        query, cands = vectors[:3].copy(), np.arange(store.n_docs, dtype=np.int64)
        bad, out = np.array([99], np.int64), np.empty(store.n_docs, np.float32)
        fine, residual = np.empty(len(vectors), np.uint16), np.empty_like(store.residual)
        cuts, levels = np.empty_like(store.cuts), np.empty_like(store.levels)
        read = (query, vectors, store.centroids, store.cuts, store.levels, store.fine, store.residual,
                store.offsets, cands)
        arrays = (*read, bad, out, fine, residual, cuts, levels)
        copies = [a.copy() for a in read]
        before = [sys.getrefcount(a) for a in arrays]
        for _ in range(100):
            _native.train_quantiser(store.centroids, vectors, 2, 50, 1, cuts, levels)
            _native.encode_codes(store.centroids, store.cuts, store.levels, vectors, fine, residual)
            _native.code_maxsim(query, store.centroids, store.levels, store.fine, store.residual, store.offsets,
                                cands, out)
            _native.token_candidates(query, store.centroids, starts, docs, 2)
            _native.token_search(query, np.full(3, 2, np.int64), store.centroids, store.levels, store.fine,
                                 store.residual, store.offsets, starts, docs, cands, None, True, 2)
            with pytest.raises(ValueError):
                _native.code_maxsim(query, store.centroids, store.levels, store.fine, store.residual,
                                    store.offsets, bad, out[:1])
            with pytest.raises(TypeError):
                _native.encode_codes(store.centroids, store.cuts, store.levels, vectors, fine.view(np.int16),
                                     residual)
        assert [sys.getrefcount(a) for a in arrays] == before
        for a, b in zip(read, copies):
            np.testing.assert_array_equal(a, b)

    def test_shape_and_type_refusals(self, tmp_path):
        store, vectors, _ = make_store(tmp_path, 8, 2, n_docs=12, n_fine=16)
        fine, residual = np.empty(len(vectors), np.uint16), np.empty_like(store.residual)
        with pytest.raises(TypeError, match=r"^fine must be a C-contiguous writable 1-D array of uint16, got "):
            _native.encode_codes(store.centroids, store.cuts, store.levels, vectors, fine.astype(np.int64), residual)
        with pytest.raises(ValueError, match=r"^levels must have 2, 4 or 16 columns \(1, 2 or 4 bits\), got 3$"):
            _native.encode_codes(store.centroids, store.cuts, store.levels[:, :3].copy(), vectors, fine, residual)
        with pytest.raises(ValueError, match=r"^fine must be \(\d+,\) and residual \(\d+, 2\), got "):
            _native.encode_codes(store.centroids, store.cuts, store.levels, vectors, fine[:-1], residual)
        with pytest.raises(ValueError, match=r"^starts holds 3 entries; 16 centroids need one more$"):
            _native.token_candidates(vectors[:2], store.centroids, np.zeros(3, np.int64), np.zeros(0, np.int64), 1)
