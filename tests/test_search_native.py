"""The search package's native core: exact MaxSim bit for bit against a NumPy
reference that follows the documented order of operations, on any thread
count; its input checks; and the router state read natively (summaries, the
codebook-only state and the codebook digest, as the text-editing code made
them)."""

import hashlib
import itertools
import pathlib
import struct
import sys

import numpy as np
import pytest

import nuvaris_qor_search as search
from conftest import ordered_maxsim
from nuvaris_qor_router import PyQorRouter
from nuvaris_qor_search import Retriever, _native
from nuvaris_qor_search.codebook import codebook_digest, strip_documents
from nuvaris_qor_search.maxsim import scores

STATE_FILES = pathlib.Path(__file__).parent / "data" / "state_files"


def reference_scores(query, vectors, offsets, docs):
    """The documented order, written with NumPy float32 operations: each dot
    starts at +0 and adds q[p] * x[p] for p in increasing order (vectorised
    over every query row and store row at once), the maxima run over a
    document's rows, the score adds the maxima left to right."""
    q = np.asarray(query, np.float32)
    x = np.asarray(vectors).astype(np.float32)  # float16 widens exactly
    acc = np.zeros((len(q), len(x)), np.float32)
    for p in range(x.shape[1]):
        acc = acc + np.multiply.outer(q[:, p], x[:, p])
    return ordered_maxsim(acc, offsets, docs)


def make_store(seed, n_docs, dim, dtype, max_len=40):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(0, max_len + 1, n_docs)
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    vectors = rng.standard_normal((int(offsets[-1]), dim)).astype(dtype)
    return vectors, offsets


@pytest.fixture
def threads():
    """Restores the default pool size after a test that changes it."""
    yield search.set_num_threads
    search.set_num_threads(None)


class TestScores:
    @pytest.mark.parametrize("dtype", [np.float32, np.float16])
    @pytest.mark.parametrize("dim", [1, 7, 16, 17, 33, 97])
    @pytest.mark.parametrize("q_rows", [0, 1, 8, 9, 32])
    def test_bits_equal_the_documented_order(self, dtype, dim, q_rows):
        vectors, offsets = make_store(dim * 100 + q_rows, 60, dim, dtype)
        query = np.random.default_rng(q_rows).standard_normal((q_rows, dim)).astype(np.float32)
        docs = np.concatenate([np.arange(60), [3, 3, 59, 0]]).astype(np.int64)
        got = scores(query, vectors, offsets, docs)
        np.testing.assert_array_equal(got, reference_scores(query, vectors, offsets, docs))

    @pytest.mark.parametrize("dtype", [np.float32, np.float16])
    def test_large_sets_give_the_same_bits_on_any_thread_count(self, threads, dtype):
        # Enough work that the candidates are split over the pool.
        vectors, offsets = make_store(5, 400, 128, dtype, max_len=80)
        query = np.random.default_rng(6).standard_normal((32, 128)).astype(np.float32)
        docs = np.random.default_rng(7).permutation(400).astype(np.int64)
        expected = reference_scores(query, vectors, offsets, docs)
        for n in (1, 2, 3, 4):
            threads(n)
            assert search.get_num_threads() == n
            np.testing.assert_array_equal(scores(query, vectors, offsets, docs), expected)

    @pytest.mark.parametrize("dtype", ["float32", "float16"])
    def test_retriever_rerank_and_scan_use_the_exact_order(self, dtype):
        vectors, offsets = make_store(9, 80, 24, np.float32, max_len=30)
        docs = [vectors[a:b] for a, b in itertools.pairwise(offsets)]
        query = np.random.default_rng(10).standard_normal((5, 24)).astype(np.float32)
        with Retriever.build(docs, list(range(80)), dtype=dtype, n_fine=16, n_coarse=4) as r:
            stored = np.asarray(r.store.vectors)
            expected = reference_scores(query, stored, r.store.offsets, np.arange(80))
            hits = r.rerank(query, k=80)
            assert [s for _, s in hits] == sorted(expected.tolist(), reverse=True)
            assert dict(hits) == {i: float(s) for i, s in enumerate(expected)}
            picked = r.rerank(query, [7, 3, 60], k=3)
            assert dict(picked) == {i: float(expected[i]) for i in (7, 3, 60)}

    def test_reference_counts_are_stable(self, saved_states):
        # Every borrowed buffer is released, on success and on failure.
        vectors, offsets = make_store(3, 10, 8, np.float16)
        query, docs, out = np.ones((3, 8), np.float32), np.arange(10, dtype=np.int64), np.empty(10, np.float32)
        bad = np.array([99], np.int64)
        state = saved_states[0][1]
        arrays = (query, vectors, offsets, docs, out, bad, state)
        before = [sys.getrefcount(a) for a in arrays]
        for _ in range(200):
            _native.maxsim(query, vectors, offsets, docs, out)
            with pytest.raises(ValueError):
                _native.maxsim(query, vectors, offsets, bad, out[:1])
            _native.read_state(state)
            _native.codebook_only_state(state)
        assert [sys.getrefcount(a) for a in arrays] == before

    def test_inputs_are_left_unchanged(self):
        vectors, offsets = make_store(2, 10, 8, np.float16)
        query = np.ones((3, 8), np.float32)
        docs = np.arange(10, dtype=np.int64)
        before = [a.copy() for a in (query, vectors, offsets, docs)]
        scores(query, vectors, offsets, docs)
        for a, b in zip((query, vectors, offsets, docs), before):
            np.testing.assert_array_equal(a, b)


class TestChecks:
    def setup_method(self):
        self.vectors = np.ones((5, 4), np.float32)
        self.offsets = np.array([0, 2, 5], np.int64)
        self.query = np.ones((2, 4), np.float32)

    @pytest.mark.parametrize(
        "docs, message",
        [
            ([2], r"^candidate 2 is outside the store's documents 0\.\.1$"),
            ([0, -1], r"^candidate -1 is outside the store's documents 0\.\.1$"),
        ],
    )
    def test_candidates_outside_the_store(self, docs, message):
        with pytest.raises(ValueError, match=message):
            scores(self.query, self.vectors, self.offsets, np.array(docs, np.int64))

    def test_offsets_beyond_the_rows(self):
        with pytest.raises(ValueError, match=r"^document 1 spans rows 2\.\.6, outside the store's 5 rows$"):
            scores(self.query, self.vectors, np.array([0, 2, 6], np.int64), np.array([1], np.int64))

    def test_width_mismatch(self):
        with pytest.raises(ValueError, match=r"^query rows have 3 columns; the store's vectors have 4$"):
            scores(np.ones((1, 3), np.float32), self.vectors, self.offsets, np.array([0], np.int64))

    @pytest.mark.parametrize(
        "args, message",
        [
            ((np.ones((2, 4)),), r"^query must be a C-contiguous 2-D array of float32, got 2-D items of format 'd'$"),
            ((None, np.ones((5, 4), np.int32)), r"^vectors must be a C-contiguous 2-D array of float32 or float16"),
            ((None, np.ones((4, 5), np.float32).T), r"^vectors must be a C-contiguous 2-D array"),
            ((None, None, np.array([0, 2, 5], np.int32)), r"^offsets must be a C-contiguous 1-D array of int64"),
        ],
    )
    def test_array_types(self, args, message):
        full = [self.query, self.vectors, self.offsets, np.array([0], np.int64), np.empty(1, np.float32)]
        for i, a in enumerate(args):
            if a is not None:
                full[i] = a
        with pytest.raises(TypeError, match=message):
            _native.maxsim(*full)

    def test_read_only_out_is_refused(self):
        out = np.empty(1, np.float32)
        out.flags.writeable = False
        with pytest.raises(TypeError, match=r"^out must be a C-contiguous writable 1-D array of float32"):
            _native.maxsim(self.query, self.vectors, self.offsets, np.array([0], np.int64), out)

    @pytest.mark.parametrize("n", [0, -1, True, 2.5, "2"])
    def test_thread_counts(self, n):
        with pytest.raises(ValueError, match=r"^the thread count must be a positive integer or None, got "):
            search.set_num_threads(n)


    @pytest.mark.parametrize(
        "name, count",
        [
            ("maxsim", 5), ("read_state", 1), ("codebook_only_state", 1), ("codebook_identity", 1),
            ("fine_centroids", 1), ("train_quantiser", 7), ("encode_codes", 6), ("code_maxsim", 8),
            ("token_lists", 3), ("token_candidates", 5), ("token_search", 13), ("set_num_threads", 1),
            ("get_num_threads", 0),
        ],
    )
    def test_argument_counts(self, name, count):
        """Every function checks its count before it reads any argument."""
        for given in (count - 1, count + 1):
            if given < 0:
                continue
            message = rf"^{name}\(\) takes {count} positional arguments but {given} were given$"
            with pytest.raises(TypeError, match=message):
                getattr(_native, name)(*([None] * given))

    def test_empty_offsets_are_refused(self):
        """Offsets hold n_docs + 1 entries, so an empty array is no store."""
        empty = np.empty(0, np.int64)
        no_docs = np.empty(0, np.int64)
        centroids = np.ones((2, 4), np.float32)
        levels = np.ones((4, 2), np.float32)
        calls = [
            lambda: _native.maxsim(self.query, self.vectors, empty, no_docs, np.empty(0, np.float32)),
            lambda: _native.code_maxsim(self.query, centroids, levels, np.zeros(5, np.uint16),
                                        np.zeros((5, 1), np.uint8), empty, no_docs, np.empty(0, np.float32)),
            lambda: _native.token_lists(np.zeros(5, np.uint16), empty, 2),
        ]
        for call in calls:
            with pytest.raises(ValueError, match=r"^offsets must hold n_docs \+ 1 entries, got 0$"):
                call()


# -- the state file ----------------------------------------------------------


def text_edited_codebook_state(state):
    """The codebook-only state as the package used to make it, by editing the
    body text of a state written by save: kept as the reference the native
    writer must match byte for byte."""
    (length,) = struct.unpack_from("<Q", state, 8)
    body = state[16 : 16 + length]
    end = body.index(b"}") + 1
    codebook = body[len(b'{"codebook":') : end]
    ctop_at = body.rindex(b',"ctop_r":')
    ctop_r = body[ctop_at + len(b',"ctop_r":') : body.index(b',"flat_codes"', ctop_at)]
    reps = body[body.rindex(b',"cluster_reps":[', end, ctop_at) + len(b',"cluster_reps":[') : ctop_at - 2]
    n = reps.count(b",") + 1 if reps else 0
    new = (
        b'{"codebook":' + codebook + b',"doc_profiles":[],"doc_ids":[],"postings":{"lists":['
        + b",".join([b"[]"] * n) + b'],"cluster_reps":[' + b",".join([b"null"] * n)
        + b']},"ctop_r":' + ctop_r + b',"flat_codes":{"codes":[],"offsets":[],"lengths":[]}}'
    )
    digest = hashlib.sha256(b"qor-codebook\0" + codebook + b"\0" + ctop_r).hexdigest()
    return struct.pack("<4sIQ", b"QORR", 1, len(new)) + new, digest


@pytest.fixture(scope="module")
def saved_states(tmp_path_factory):
    rng = np.random.default_rng(4)
    out = []
    for dim, n_fine, n_coarse, ctop_r in [(12, 24, 5, 2), (7, 16, 4, 3), (33, 40, 9, 1)]:
        vectors = rng.standard_normal((400, dim)).astype(np.float32)
        router = PyQorRouter(dim)
        router.build(vectors, list(range(20)), [(i * 20, i * 20 + 20) for i in range(20)],
                     n_fine=n_fine, n_coarse=n_coarse, ctop_r=ctop_r)
        path = tmp_path_factory.mktemp("states") / f"d{dim}.qor"
        router.save(str(path))
        out.append(((dim, n_fine, n_coarse, ctop_r), path.read_bytes()))
    return out


class TestState:
    def test_summary(self, saved_states):
        for (dim, n_fine, n_coarse, ctop_r), state in saved_states:
            summary = _native.read_state(state)
            assert summary == {"dim": dim, "n_fine": n_fine, "n_coarse": n_coarse, "n_docs": 20,
                               "ctop_r": ctop_r, "holds_documents": True}
            bare = _native.read_state(strip_documents(state))
            assert (bare["n_docs"], bare["holds_documents"], bare["dim"]) == (0, False, dim)

    def test_codebook_state_and_digest_match_the_text_edited_ones(self, saved_states):
        for _, state in saved_states:
            expected, digest = text_edited_codebook_state(state)
            assert strip_documents(state) == expected
            assert codebook_digest(state) == codebook_digest(expected) == digest

    def test_golden_state_and_its_array_form(self):
        valid = (STATE_FILES / "valid.qorr").read_bytes()
        expected, digest = text_edited_codebook_state(valid)
        assert strip_documents(valid) == expected
        assert codebook_digest(valid) == digest
        # The same state written as arrays: the text editing could not read
        # it; the reader can, and the result is the same codebook state.
        array_form = (STATE_FILES / "valid_array_form.qorr").read_bytes()
        assert strip_documents(array_form) == expected
        assert codebook_digest(array_form) == digest

    @pytest.mark.parametrize(
        "name, message",
        [
            ("ctop_out_of_range.qorr", r"^router state body: invalid state: doc_profiles\[0\]\.ctop\[0\] = 5"),
            ("null_float.qorr", r"^router state body: serialization error: invalid type: null, expected f32"),
            ("trailing_characters.qorr", r"^router state body: serialization error: trailing characters"),
        ],
    )
    def test_unsound_states_are_refused(self, name, message):
        with pytest.raises(ValueError, match=message):
            _native.read_state((STATE_FILES / name).read_bytes())

    def test_codebook_retriever_refuses_a_state_with_document_ids_only(self, saved_states, tmp_path):
        # No profiles but ids: the router counts no documents, yet the file
        # is not a codebook without documents.
        _, state = saved_states[0]
        body = strip_documents(state)[16:].replace(b'"doc_ids":[]', b'"doc_ids":[5]')
        path = tmp_path / "ids.qor"
        path.write_bytes(struct.pack("<4sIQ", b"QORR", 1, len(body)) + body)
        with pytest.raises(ValueError, match=r"^codebook state must hold no documents; it holds 0$"):
            Retriever.from_codebook(path)
