"""One codebook for many routers: train it on a sample, keep it without documents.

A codebook-only state is an ordinary router state file whose document lists are
empty: no profiles, no ids, no codes, an empty posting list and no
representative for every coarse cluster. `PyQorRouter.load` reads it like any
other state and `add_documents` then fills it, encoding every document with the
shared codebook, so routers that load the same codebook-only state give scores
that compare across them.

`train_quantiser` adds the residual quantiser for such a codebook: routers
and retrievers given both keep their documents as codes that score alike.

The file is made by the native core from what `save` wrote for a router
built on the sample: it reads that state with the router's own reader and
writes the same codebook and `ctop_r` without documents, in `save`'s format.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import tempfile
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from nuvaris_qor_router import PyQorRouter

from . import _inputs, _native
from ._files import fsync_dir
from .codes import quantiser_digest, train_quantiser

__all__ = [
    "train_codebook", "train_quantiser", "strip_documents", "codebook_digest", "quantiser_digest", "write_atomically",
]


def strip_documents(state: bytes) -> bytes:
    """The codebook-only state of a state file's bytes: same codebook and ctop_r, no documents.
    ValueError when the bytes are not a sound router state."""
    return _native.codebook_only_state(state)


def codebook_digest(state: bytes | str | os.PathLike[str]) -> str:
    """SHA-256 (hex) of the codebook and ctop_r text of a state file or its bytes.

    Two states share a digest exactly when their codebooks and ctop_r were
    written identically, whatever documents they hold.
    """
    data = Path(state).read_bytes() if isinstance(state, (str, os.PathLike)) else state
    return hashlib.sha256(b"qor-codebook\0" + _native.codebook_identity(data)).hexdigest()


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
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    fsync_dir(path.parent)


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
    `doc_offsets=None`; they and the parameters are checked as `Retriever.build`
    checks them, with its messages. The router is built over the sample with the given
    parameters; its documents are then dropped. The bytes are checked by loading
    them into a fresh router, and also written atomically to `path` when given.
    """
    params = _inputs.build_params(n_fine, n_coarse, max_kmeans_iter, ctop_r)
    sample = _inputs.training_documents(vectors, None, doc_offsets, np.dtype(np.float32))
    matrix = sample.matrix
    router = PyQorRouter(matrix.shape[1])
    router.build(matrix, list(range(sample.count)), sample.pairs, **params)
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
