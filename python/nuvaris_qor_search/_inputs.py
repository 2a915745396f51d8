"""Checking and normalising the caller's documents and queries."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _files

# The router stores each document's run length in 16 bits.
MAX_DOC_VECTORS = 65_535
_FLOAT16_MAX = float(np.finfo(np.float16).max)


@dataclass
class Documents:
    """A batch of documents in the two forms their consumers need.

    matrix / pairs: what the router indexes (rows of `matrix`, document d is
    rows pairs[d][0] .. pairs[d][1] - 1). rows / lengths: the same
    documents' vectors one after another, for the store (often a view of
    `matrix`). ids: the caller's ids, uint64 or unicode (see `ids`).
    """

    matrix: np.ndarray
    pairs: list[tuple[int, int]]
    rows: np.ndarray
    lengths: np.ndarray
    ids: np.ndarray

    @property
    def count(self) -> int:
        return len(self.pairs)


def _real_matrix(value: Any, what: str) -> np.ndarray:
    """`value` as an array of real numbers with two dimensions, not converted
    (a memory-mapped matrix stays on disk)."""
    try:
        arr = value if isinstance(value, np.ndarray) else np.asarray(value)
    except (ValueError, TypeError):
        # NumPy's own message speaks of "inhomogeneous parts", not of the argument.
        raise ValueError(f"{what} must be a 2-D (rows, dim) array; its rows are not all the same length") from None
    if arr.dtype.kind not in "fiu" or arr.dtype.kind == "b":
        raise ValueError(f"{what} must hold real numbers, got dtype {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(f"{what} must be a 2-D (rows, dim) array, got {arr.ndim} dimension(s) of shape {arr.shape}")
    return arr


def _float_matrix(value: Any, what: str) -> np.ndarray:
    return np.ascontiguousarray(_real_matrix(value, what), dtype=np.float32)


def check_values(matrix: np.ndarray, what: str, dtype: np.dtype | None = None, first_row: int = 0) -> None:
    """Refuses NaN and infinities (they make MaxSim scores unorderable) and,
    for a float16 store, values that float16 cannot hold. The matrix is
    read and converted to float32 a bounded block of rows at a time, so a
    memory-mapped one is never loaded whole; `first_row` numbers its first
    row in the message."""
    if matrix.size == 0:
        return
    step = _files.chunk_rows(4 * matrix.shape[1])
    for lo in range(0, len(matrix), step):
        chunk = np.asarray(matrix[lo : lo + step], dtype=np.float32)
        if not np.isfinite(chunk).all():
            row = first_row + lo + int(np.nonzero(~np.isfinite(chunk).all(axis=1))[0][0])
            raise ValueError(f"{what} row {row} holds NaN or infinity")
        if dtype is not None and dtype == np.float16:
            peak = float(np.abs(chunk).max())
            if peak > _FLOAT16_MAX:
                raise ValueError(f"{what} holds {peak:g}, beyond float16's largest value {_FLOAT16_MAX:g}")


def ids(doc_ids: Any, name: str = "doc_ids") -> np.ndarray:
    """The caller's document ids as a 1-D array: uint64 when they are
    integers (0 .. 2**64-1), little-endian unicode when they are strings.
    One call holds one kind; strings may not hold NUL characters (a
    fixed-width unicode array cannot keep a trailing one)."""
    if isinstance(doc_ids, (str, bytes)):
        raise ValueError(f"{name} must be a sequence of integers or strings, got a single {type(doc_ids).__name__}")
    if isinstance(doc_ids, np.ndarray):
        if doc_ids.ndim != 1 and doc_ids.size != 0:
            raise ValueError(f"{name} must be a 1-D sequence of integers or strings, got shape {doc_ids.shape}")
        if doc_ids.dtype.kind in "iu":
            return _integer_array_ids(doc_ids, name)
    try:
        values = list(doc_ids)
    except TypeError:
        raise ValueError(f"{name} must be a sequence of integers or strings, got {type(doc_ids).__name__}") from None
    if not values:
        return np.empty(0, np.uint64)
    strings = [isinstance(v, str) for v in values]
    if any(strings):
        if not all(strings):
            raise ValueError(f"{name} mix strings and integers; use one kind")
        return _string_ids(values, name)
    return _integer_ids(values, name)


def _integer_array_ids(arr: np.ndarray, name: str) -> np.ndarray:
    """An integer array of ids (of any shape when empty) as uint64, refusing negative ones."""
    if arr.dtype.kind == "i" and arr.size and arr.min() < 0:
        raise ValueError(f"{name} must be in 0..2**64-1, got {int(arr.min())}")
    return arr.reshape(-1).astype(np.uint64)


def _string_ids(values: list[str], name: str) -> np.ndarray:
    """String ids as a little-endian unicode array, refusing NUL characters."""
    for i, v in enumerate(values):
        if "\0" in v:
            raise ValueError(f"{name}[{i}] holds a NUL character")
    out = np.array(values, dtype=str)
    return out.astype(out.dtype.newbyteorder("<"), copy=False)


def _integer_ids(values: list[Any], name: str) -> np.ndarray:
    """Integer-like ids (anything with __index__) as uint64, refusing those out of range."""
    try:
        ints = [operator.index(v) for v in values]
    except TypeError as exc:
        raise ValueError(f"{name} must be integers or strings: {exc}") from None
    for v in ints:
        if not 0 <= v < 2**64:
            raise ValueError(f"{name} must be in 0..2**64-1, got {v}")
    return np.array(ints, dtype=np.uint64)


def _ids(doc_ids: Any, count: int) -> np.ndarray:
    if doc_ids is None:  # a training sample: its documents are numbered
        return np.arange(count, dtype=np.uint64)
    out = ids(doc_ids)
    if len(out) != count:
        raise ValueError(f"got {len(out)} doc_ids for {count} documents")
    return out


def _pairs(doc_offsets: Any, n_rows: int) -> np.ndarray:
    arr = np.asarray(doc_offsets)
    if arr.size == 0:
        return np.empty((0, 2), np.int64)
    if arr.ndim != 2 or arr.shape[1] != 2 or arr.dtype.kind not in "iu":
        raise ValueError("doc_offsets must be a sequence of (start, end) integer pairs")
    arr = arr.astype(np.int64)
    bad = np.nonzero((arr[:, 0] < 0) | (arr[:, 0] > arr[:, 1]) | (arr[:, 1] > n_rows))[0]
    if len(bad):
        i = int(bad[0])
        raise ValueError(
            f"doc_offsets[{i}] = ({arr[i, 0]}, {arr[i, 1]}) is not a range 0 <= start <= end <= {n_rows}"
            f" (the number of rows of vectors)"
        )
    return arr


def _document_list(vectors: Any, dim: int | None) -> list[np.ndarray]:
    """Per-document arrays as float32 matrices of one width (`dim` when given)."""
    if isinstance(vectors, np.ndarray):
        raise ValueError("doc_offsets is required when vectors is one matrix (or pass a list of per-document arrays)")
    try:
        docs = [_float_matrix(v, f"vectors[{i}]") for i, v in enumerate(vectors)]
    except TypeError:
        raise ValueError("vectors must be an (N, D) matrix with doc_offsets, or a list of (n_i, D) arrays") from None
    widths = {d.shape[1] for d in docs}
    if dim is None and len(widths) > 1:
        raise ValueError(f"per-document arrays have different widths: {sorted(widths)}")
    width = dim if dim is not None else (widths.pop() if widths else 0)
    for i, d in enumerate(docs):
        if d.shape[1] != width:
            raise ValueError(f"vectors[{i}] has {d.shape[1]} columns; expected {width}")
    return docs


def _check_width(matrix: np.ndarray, dim: int | None) -> None:
    if dim is not None and matrix.shape[1] != dim:
        raise ValueError(f"vectors have {matrix.shape[1]} columns; expected {dim}")


def _check_lengths(lengths: np.ndarray) -> None:
    long = np.nonzero(lengths > MAX_DOC_VECTORS)[0]
    if len(long):
        i = int(long[0])
        raise ValueError(f"document {i} has {lengths[i]} vectors; at most {MAX_DOC_VECTORS} fit one document")


def documents(vectors: Any, doc_ids: Any, doc_offsets: Any, dim: int | None, dtype: np.dtype) -> Documents:
    """Checks one batch of documents given either as one matrix with
    (start, end) row ranges or as a list of per-document matrices.
    doc_ids=None numbers the documents 0, 1, ... (a training sample)."""
    if doc_offsets is None:
        docs = _document_list(vectors, dim)
        width = dim if dim is not None else (docs[0].shape[1] if docs else 0)
        lengths = np.array([len(d) for d in docs], np.int64)
        matrix = np.concatenate(docs) if docs else np.empty((0, width), np.float32)
        ends = np.cumsum(lengths)
        pairs = np.stack([ends - lengths, ends], axis=1) if len(docs) else np.empty((0, 2), np.int64)
        rows = matrix
    else:
        matrix = _float_matrix(vectors, "vectors")
        _check_width(matrix, dim)
        pairs = _pairs(doc_offsets, len(matrix))
        lengths = pairs[:, 1] - pairs[:, 0]
        rows = _document_rows(matrix, pairs, lengths)
    _check_lengths(lengths)
    ids = _ids(doc_ids, len(pairs))
    check_values(matrix, "vectors", dtype)
    return Documents(matrix, [(int(s), int(e)) for s, e in pairs], rows, lengths, ids)


@dataclass
class DocumentRanges:
    """A batch of documents checked where they are, not copied into one
    matrix: `source` is one (N, D) real matrix (possibly memory-mapped, of
    any real dtype; document d is its rows starts[d] .. ends[d] - 1), or a
    list of per-document float32 arrays (document d is source[d]; starts and
    ends then number the rows as if they were stacked)."""

    source: np.ndarray | list[np.ndarray]
    starts: np.ndarray
    ends: np.ndarray
    ids: np.ndarray

    @property
    def count(self) -> int:
        return len(self.starts)


def document_ranges(vectors: Any, doc_ids: Any, doc_offsets: Any, dim: int, dtype: np.dtype) -> DocumentRanges:
    """Checks a batch of documents as `documents` does, with its messages,
    but a bounded block of rows at a time and without copying the input:
    a memory-mapped matrix is read once, chunk by chunk, and stays on disk.
    Everything is checked before the caller may send any of it anywhere."""
    if doc_offsets is None:
        docs = _document_list(vectors, dim)
        lengths = np.array([len(d) for d in docs], np.int64)
        ends = np.cumsum(lengths)
        pairs = np.stack([ends - lengths, ends], axis=1) if len(docs) else np.empty((0, 2), np.int64)
        source: np.ndarray | list[np.ndarray] = docs
    else:
        source = _real_matrix(vectors, "vectors")
        _check_width(source, dim)
        pairs = _pairs(doc_offsets, len(source))
        lengths = pairs[:, 1] - pairs[:, 0]
    _check_lengths(lengths)
    out = DocumentRanges(source, pairs[:, 0].copy(), pairs[:, 1].copy(), _ids(doc_ids, len(pairs)))
    if isinstance(source, list):
        for d, first in zip(source, pairs[:, 0].tolist(), strict=True):
            check_values(d, "vectors", dtype, first)
    else:
        check_values(source, "vectors", dtype)
    return out


def training_documents(vectors: Any, doc_ids: Any, doc_offsets: Any, dtype: np.dtype) -> Documents:
    """Documents to train a codebook on (see `documents`): at least two
    vectors of at least one column."""
    docs = documents(vectors, doc_ids, doc_offsets, None, dtype)
    if len(docs.matrix) < 2:
        raise ValueError(f"training the codebook needs at least 2 vectors, got {len(docs.matrix)}")
    if docs.matrix.shape[1] < 1:
        raise ValueError("vectors must have at least one column")
    return docs


def build_params(n_fine: Any, n_coarse: Any, max_kmeans_iter: Any, ctop_r: Any) -> dict[str, int]:
    """The router's training parameters, checked (n_fine and n_coarse at least 1)."""
    return {
        "n_fine": positive(n_fine, "n_fine"),
        "n_coarse": positive(n_coarse, "n_coarse"),
        "max_kmeans_iter": count(max_kmeans_iter, "max_kmeans_iter"),
        "ctop_r": count(ctop_r, "ctop_r"),
    }


def _document_rows(matrix: np.ndarray, pairs: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """The documents' rows one after another: a view when the ranges are
    consecutive (the usual layout), otherwise a copy (ranges may overlap,
    skip rows or come in any order)."""
    if len(pairs) == 0:
        return matrix[:0]
    if (pairs[1:, 0] == pairs[:-1, 1]).all():
        return matrix[pairs[0, 0] : pairs[-1, 1]]
    first = np.cumsum(lengths) - lengths
    index = np.arange(int(lengths.sum()), dtype=np.int64) + np.repeat(pairs[:, 0] - first, lengths)
    gathered: np.ndarray = matrix[index]
    return gathered


def query_matrix(query: Any, dim: int) -> np.ndarray:
    q = _float_matrix(query, "query")
    if q.shape[1] != dim:
        raise ValueError(f"query has {q.shape[1]} columns; expected {dim}")
    check_values(q, "query")
    return q


def positive(value: Any, name: str) -> int:
    """A positive integer argument (bool refused)."""
    v = count(value, name)
    if v == 0:
        raise ValueError(f"{name} must be at least 1, got 0")
    return v


def count(value: Any, name: str) -> int:
    """A non-negative integer argument (bool refused)."""
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
    try:
        v = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}") from None
    if v < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {v}")
    return v


def query_matrices(queries: Any, dim: int) -> list[np.ndarray]:
    """Each query of a batch through `query_matrix`, all checked before any
    is used; a refusal names the query's position."""
    qs = []
    for i, query in enumerate(queries):
        try:
            qs.append(query_matrix(query, dim))
        except ValueError as exc:
            raise ValueError(f"queries[{i}]: {exc}") from None
    return qs
