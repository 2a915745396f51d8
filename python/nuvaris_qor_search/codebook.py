"""One codebook for many routers: train it on a sample, keep it without documents.

A codebook-only state is an ordinary router state file whose document lists are
empty: no profiles, no ids, no codes, an empty posting list and no
representative for every coarse cluster. `PyQorRouter.load` reads it like any
other state and `add_documents` then fills it, encoding every document with the
shared codebook, so routers that load the same codebook-only state give scores
that compare across them.

The file is made from what `save` wrote for a router built on the sample, by
editing the body's text: the codebook's members and `ctop_r` are copied byte for
byte (their floats keep the exact text `save` chose), and only the document
members are replaced. The result keeps `save`'s format: a compact body with the
keys in record order behind the 16-byte header.
"""

from __future__ import annotations

import hashlib
import os
import struct
import tempfile
from collections.abc import Sequence
from pathlib import Path

import numpy as np
from nuvaris_qor_router import PyQorRouter

from ._files import fsync_dir

__all__ = ["train_codebook", "strip_documents", "codebook_digest", "write_atomically"]

MAGIC = b"QORR"
VERSION = 1
_HEADER = struct.Struct("<4sIQ")  # magic, version, body length; little-endian, 16 bytes

# The body starts with the codebook, an object whose members are numbers and
# arrays of numbers (or null), so its first closing brace ends it. Everything
# after "ctop_r" is the flat code arrays, which hold integers only, so the last
# "ctop_r" key in the text is the real one.
_CODEBOOK_START = b'{"codebook":{'
_AFTER_CODEBOOK = b',"doc_profiles":['
_REPS_KEY = b',"cluster_reps":['
_CTOP_R_KEY = b',"ctop_r":'
_FLAT_KEY = b',"flat_codes":{'


def _body(state: bytes) -> memoryview:
    """The JSON body of a state file's bytes, after checking the header."""
    if len(state) < _HEADER.size:
        raise ValueError(f"not a router state: {len(state)} bytes, shorter than the {_HEADER.size}-byte header")
    magic, version, length = _HEADER.unpack_from(state)
    if magic != MAGIC:
        raise ValueError(f"not a router state: magic {magic!r}, expected {MAGIC!r}")
    if version != VERSION:
        raise ValueError(f"unsupported router state version {version}, expected {VERSION}")
    if len(state) - _HEADER.size < length:
        raise ValueError(f"router state truncated: body of {length} bytes, {len(state) - _HEADER.size} present")
    return memoryview(state)[_HEADER.size : _HEADER.size + length]


def _members(body: bytes) -> tuple[bytes, bytes, int]:
    """The codebook's text, the ctop_r text and the number of coarse clusters."""
    if not body.startswith(_CODEBOOK_START):
        raise ValueError("router state body does not start with the codebook")
    end = body.find(b"}", len(_CODEBOOK_START)) + 1
    if end == 0 or body[end : end + len(_AFTER_CODEBOOK)] != _AFTER_CODEBOOK:
        raise ValueError("router state body: the codebook is not followed by doc_profiles")
    codebook = body[len(b'{"codebook":') : end]
    ctop_at = body.rfind(_CTOP_R_KEY)
    flat_at = body.find(_FLAT_KEY, ctop_at)
    reps_at = body.rfind(_REPS_KEY, end, ctop_at)
    if ctop_at < end or flat_at < 0 or reps_at < 0 or body[ctop_at - 2 : ctop_at] != b"]}":
        raise ValueError("router state body: members are not in record order")
    ctop_r = body[ctop_at + len(_CTOP_R_KEY) : flat_at]
    if not ctop_r.isdigit():
        raise ValueError(f"router state body: ctop_r is {ctop_r[:20]!r}, not an integer")
    reps = body[reps_at + len(_REPS_KEY) : ctop_at - 2]
    n_clusters = reps.count(b",") + 1 if reps else 0
    return codebook, ctop_r, n_clusters


def strip_documents(state: bytes) -> bytes:
    """The codebook-only state of a state file's bytes: same codebook and ctop_r, no documents."""
    codebook, ctop_r, n_clusters = _members(bytes(_body(state)))
    lists = b",".join([b"[]"] * n_clusters)
    reps = b",".join([b"null"] * n_clusters)
    body = b"".join(
        (
            b'{"codebook":',
            codebook,
            b',"doc_profiles":[],"doc_ids":[],"postings":{"lists":[',
            lists,
            b'],"cluster_reps":[',
            reps,
            b']},"ctop_r":',
            ctop_r,
            b',"flat_codes":{"codes":[],"offsets":[],"lengths":[]}}',
        )
    )
    return _HEADER.pack(MAGIC, VERSION, len(body)) + body


def codebook_digest(state: bytes | str | os.PathLike[str]) -> str:
    """SHA-256 (hex) of the codebook and ctop_r text of a state file or its bytes.

    Two states share a digest exactly when their codebooks and ctop_r were
    written identically, whatever documents they hold.
    """
    data = Path(state).read_bytes() if isinstance(state, (str, os.PathLike)) else state
    codebook, ctop_r, _ = _members(bytes(_body(data)))
    return hashlib.sha256(b"qor-codebook\0" + codebook + b"\0" + ctop_r).hexdigest()


def write_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    """Write `data` to `path` through a synced sibling temporary file and a rename."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    fsync_dir(path.parent)


def _sample_matrix(
    vectors: np.ndarray | Sequence[np.ndarray], doc_offsets: Sequence[tuple[int, int]] | None
) -> tuple[np.ndarray, list[tuple[int, int]]]:
    if doc_offsets is not None:
        return np.ascontiguousarray(vectors, dtype=np.float32), [(int(s), int(e)) for s, e in doc_offsets]
    docs = [np.asarray(d, dtype=np.float32) for d in vectors]
    if not docs:
        raise ValueError("the sample holds no documents")
    bounds = np.cumsum([0] + [len(d) for d in docs])
    return np.ascontiguousarray(np.concatenate(docs)), list(zip(bounds[:-1].tolist(), bounds[1:].tolist()))


def train_codebook(
    vectors: np.ndarray | Sequence[np.ndarray],
    doc_offsets: Sequence[tuple[int, int]] | None = None,
    *,
    path: str | os.PathLike[str] | None = None,
    n_fine: int = 256,
    n_coarse: int = 32,
    max_kmeans_iter: int = 30,
    ctop_r: int = 3,
) -> bytes:
    """Train a codebook on a sample of documents and return its codebook-only state.

    `vectors` is an (N, D) float32 matrix with `doc_offsets` [(start, end), ...]
    (the router's conventions), or a list of per-document (n_i, D) arrays with
    `doc_offsets=None`. The router is built over the sample with the given
    parameters; its documents are then dropped. The bytes are checked by loading
    them into a fresh router, and also written atomically to `path` when given.
    """
    matrix, offsets = _sample_matrix(vectors, doc_offsets)
    if matrix.ndim != 2:
        raise ValueError(f"the sample must be a 2-D matrix, got {matrix.ndim} dimensions")
    router = PyQorRouter(matrix.shape[1])
    router.build(
        matrix,
        list(range(len(offsets))),
        offsets,
        n_fine=n_fine,
        n_coarse=n_coarse,
        max_kmeans_iter=max_kmeans_iter,
        ctop_r=ctop_r,
    )
    with tempfile.TemporaryDirectory(prefix="qor-codebook-") as tmp:
        built = os.path.join(tmp, "sample.qor")
        router.save(built)
        state = strip_documents(Path(built).read_bytes())
        stripped = os.path.join(tmp, "codebook.qor")
        Path(stripped).write_bytes(state)
        check = PyQorRouter(matrix.shape[1])
        check.load(stripped)
        if check.n_docs() != 0 or check.n_fine() != router.n_fine() or check.n_coarse() != router.n_coarse():
            raise RuntimeError("the codebook-only state does not read back as the trained codebook")
    if path is not None:
        write_atomically(path, state)
    return state
