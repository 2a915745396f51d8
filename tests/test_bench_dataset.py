"""The benchmark collection's generator (bench/make_dataset.py): its exact
MaxSim ground truth, its token encoding and its reading of WordNet's data
files. gensim is not needed for these parts."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
import make_dataset as md


def naive_maxsim(x, doc_offsets, q):
    return np.array([sum(float(np.max(x[a:b] @ row)) for row in q) for a, b in doc_offsets])


@pytest.mark.parametrize("chunk_docs", [1, 3, 1000])
def test_exact_scores_match_a_loop_over_documents(chunk_docs):
    rng = np.random.default_rng(5)
    lengths = rng.integers(1, 9, 23)
    lengths[[0, 7, 22]] = 1  # one-row documents at the edges of chunks
    ends = np.cumsum(lengths)
    doc_offsets = np.stack([ends - lengths, ends], axis=1)
    x = rng.standard_normal((int(ends[-1]), 16)).astype(np.float32)
    q_lengths = [1, 4, 2]
    q_ends = np.cumsum(q_lengths)
    q_offsets = np.stack([q_ends - q_lengths, q_ends], axis=1)
    q = rng.standard_normal((int(q_ends[-1]), 16)).astype(np.float32)

    got = md.exact_scores(x, doc_offsets, q, q_offsets, chunk_docs=chunk_docs)
    want = np.stack([naive_maxsim(x, doc_offsets, q[a:b]) for a, b in q_offsets])
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)

    # exact_top scores with the default chunking; NumPy's BLAS may round a
    # product of another shape differently in the last bit, so the picked
    # scores are compared with that chunking's scores.
    top, scores = md.exact_top(x, doc_offsets, q, q_offsets, 5)
    assert top.shape == (3, 5)
    default_chunks = md.exact_scores(x, doc_offsets, q, q_offsets)
    np.testing.assert_array_equal(scores, np.take_along_axis(default_chunks, top, axis=1))
    np.testing.assert_allclose(scores, np.take_along_axis(got, top, axis=1), rtol=1e-6)
    assert (np.diff(scores, axis=1) <= 0).all()


def test_encode_mixes_each_token_with_its_window():
    rng = np.random.default_rng(1)
    unit = rng.standard_normal((6, md.DIM)).astype(np.float32)
    unit /= np.linalg.norm(unit, axis=1, keepdims=True)
    index = {w: i for i, w in enumerate("abcdef")}
    toks = list("abcdefa")
    v = md.encode(toks, index, unit)
    np.testing.assert_allclose(np.linalg.norm(v, axis=1), 1.0, rtol=1e-6)
    w = unit[[index[t] for t in toks]]
    for i in range(len(toks)):
        lo, hi = max(0, i - md.WINDOW), min(len(toks), i + md.WINDOW + 1)
        ctx = (w[lo:hi].sum(axis=0) - w[i]) / (hi - lo - 1)
        want = w[i] + md.MIX * ctx
        np.testing.assert_allclose(v[i], want / np.linalg.norm(want), atol=1e-6)
    # the same word in another context gets another vector
    assert not np.allclose(v[0], v[6])
    # a one-token text is its word's vector
    np.testing.assert_allclose(md.encode(["c"], index, unit)[0], unit[2], atol=1e-6)


def test_parse_and_passage_text(tmp_path, monkeypatch):
    header = "  1 This software and database is being provided to you\n"
    (tmp_path / "data.noun").write_text(
        header
        + "00000010 03 n 01 animal 0 000 | a living organism; \"animals need food\"  \n"
        + "00000100 05 n 02 dog 0 domestic_dog 0 001 @ 00000010 n 0000 | a member of the genus Canis; "
        "\"the dog barked all night\"; \"hi\"  \n")
    (tmp_path / "data.adj").write_text(
        "00000200 00 a 01 big(a) 0 001 & 00000300 a 0000 | above average in size  \n"
        "00000300 00 s 01 huge 0 001 & 00000200 a 0000 | unusually great in size  \n")
    for pos in ("verb", "adv"):
        (tmp_path / f"data.{pos}").write_text(header)
    monkeypatch.setattr(md, "WORDNET", tmp_path)

    syn = md.parse_wordnet()
    dog = syn["noun:00000100"]
    assert dog["words"] == ["dog", "domestic dog"]
    assert dog["definition"] == "a member of the genus Canis"
    assert dog["examples"] == ["the dog barked all night"]  # too short an example is dropped
    assert dog["broader"] == "noun:00000010"
    assert syn["adj:00000200"]["words"] == ["big"]
    assert len({s["id"] for s in syn.values()}) == len(syn)

    text = md.passage_text(dog, syn)
    assert text == ("dog, domestic dog: a member of the genus Canis. the dog barked all night. "
                    "a kind of animal: a living organism.")
    assert "barked" not in md.passage_text(dog, syn, held_out="the dog barked all night")
    # an adjective head and its satellite name each other: one step, no loop
    assert md.passage_text(syn["adj:00000200"], syn) == (
        "big: above average in size. a kind of huge: unusually great in size.")
    assert md.tokens("Domestic_dog's bark, 2x!") == ["domestic", "dog's", "bark", "2x"]
