"""The codebook-only state: trained on a sample, holds no documents, keeps the
state file's exact text, and fills up through add_documents."""

import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import state_bytes
from nuvaris_qor_router import PyQorRouter
from nuvaris_qor_search import Retriever
from nuvaris_qor_search.codebook import codebook_digest, strip_documents, train_codebook

DIM = 12


@pytest.fixture(scope="module")
def sample():
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((600, DIM), dtype=np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors, [(i * 20, i * 20 + 20) for i in range(30)]


def test_add_documents_on_the_codebook_rebuilds_the_sample_byte_for_byte(sample, tmp_path):
    vectors, offsets = sample
    params = dict(n_fine=24, n_coarse=5, ctop_r=2)
    state = train_codebook(vectors, offsets, path=tmp_path / "cb.qor", **params)
    assert (tmp_path / "cb.qor").read_bytes() == state
    assert train_codebook([vectors[s:e] for s, e in offsets], **params) == state

    router = PyQorRouter(DIM)
    router.load(str(tmp_path / "cb.qor"))
    assert (router.n_docs(), router.n_fine(), router.n_coarse()) == (0, 24, 5)
    assert router.route_query(vectors[:4]) == []
    assert state_bytes(router, tmp_path / "again.qor") == state  # the format save itself writes

    ids = list(range(100, 130))
    router.add_documents(vectors, ids, offsets)
    built = PyQorRouter(DIM)
    built.build(vectors, ids, offsets, **params)
    assert state_bytes(router, tmp_path / "filled.qor") == state_bytes(built, tmp_path / "built.qor")


def test_state_without_documents_keeps_header_and_text(sample, tmp_path):
    vectors, offsets = sample
    built = PyQorRouter(DIM)
    built.build(vectors, list(range(30)), offsets, n_fine=16, n_coarse=4)
    full = state_bytes(built, tmp_path / "full.qor")
    state = strip_documents(full)
    magic, version, length = struct.unpack_from("<4sIQ", state)
    assert (magic, version, length) == (b"QORR", 1, len(state) - 16)
    body = state[16:]
    assert body.startswith(full[16 : full.index(b',"doc_profiles"')])  # codebook text untouched
    assert body.endswith(
        b',"doc_profiles":[],"doc_ids":[],"postings":{"lists":[[],[],[],[]],'
        b'"cluster_reps":[null,null,null,null]},"ctop_r":3,"flat_codes":{"codes":[],"offsets":[],"lengths":[]}}'
    )
    assert strip_documents(state) == state
    assert codebook_digest(state) == codebook_digest(full) == codebook_digest(tmp_path / "full.qor")
    other = PyQorRouter(DIM)
    other.build(vectors, list(range(30)), offsets, n_fine=16, n_coarse=4, ctop_r=2)
    assert codebook_digest(state_bytes(other, tmp_path / "other.qor")) != codebook_digest(full)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"QORR\x01\x00\x00", r"^not a router state: 7 bytes, shorter than the 16-byte header$"),
        (b"QORX" + struct.pack("<IQ", 1, 2) + b"{}", r"^not a router state: magic b'QORX'"),
        (b"QORR" + struct.pack("<IQ", 2, 2) + b"{}", r"^unsupported router state version 2, expected 1$"),
        (b"QORR" + struct.pack("<IQ", 1, 9) + b"{}", r"^router state truncated: body of 9 bytes, 2 present$"),
        (
            b"QORR" + struct.pack("<IQ", 1, 2) + b"{}",
            r"^router state body: serialization error: missing field `codebook` at line 1 column 2$",
        ),
    ],
)
def test_malformed_states_are_refused(data, message):
    with pytest.raises(ValueError, match=message):
        strip_documents(data)


def test_shards_module_without_ray_names_the_extra():
    code = "import sys; sys.modules['ray'] = None\nimport nuvaris_qor_search\nimport nuvaris_qor_search.shards"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 1
    assert "ImportError: nuvaris_qor_search.shards needs Ray" in proc.stderr
    assert "pip install 'ray>=2.9'" in proc.stderr
    assert "pip install '<path or wheel>[ray]'" in proc.stderr
    assert "nuvaris_qor_router[ray]" not in proc.stderr


def with_nan(vectors, row):
    out = vectors.copy()
    out[row, 0] = np.nan
    return out


@pytest.mark.parametrize(
    ("sample_args", "params", "message"),
    [
        (lambda v, o: (with_nan(v, 599), o), {}, r"^vectors row 599 holds NaN or infinity$"),
        (lambda v, o: ([v[:20], v[20:40, :6]], None), {}, r"^per-document arrays have different widths: \[6, 12\]$"),
        (lambda v, o: (v[:1], [(0, 1)]), {}, r"^training the codebook needs at least 2 vectors, got 1$"),
        (lambda v, o: (v, [(0, 700)]), {}, r"^doc_offsets\[0\] = \(0, 700\) is not a range 0 <= start <= end <= 600 "
                                            r"\(the number of rows of vectors\)$"),
        (lambda v, o: (v.astype(np.complex64), o), {}, r"^vectors must hold real numbers, got dtype complex64$"),
        (lambda v, o: (v, o), {"n_fine": 0}, r"^n_fine must be at least 1, got 0$"),
        (lambda v, o: (v, o), {"ctop_r": -1}, r"^ctop_r must be a non-negative integer, got -1$"),
    ],
    ids=["NaN", "widths", "one vector", "offsets", "complex", "n_fine", "ctop_r"],
)
def test_a_bad_sample_is_refused_as_retriever_build_refuses_it(sample, sample_args, params, message):
    vectors, offsets = sample_args(*sample)
    n_docs = len(offsets) if offsets is not None else len(vectors)
    with pytest.raises(ValueError, match=message):
        Retriever.build(vectors, list(range(n_docs)), offsets, **params)
    with pytest.raises(ValueError, match=message):
        train_codebook(vectors, offsets, **params)
