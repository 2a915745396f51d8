"""Compressed token vectors and approximate MaxSim on them.

Each stored vector x is kept as two codes:

* its fine code: the router codebook's nearest fine centroid of x (of x
  normalised, ties to the lower index), exactly as the router assigns it;
* its residual r = x - centroid (x as given), quantised to `bits` bits per
  dimension (1, 2 or 4): per dimension p, K = 2**bits levels and the K - 1
  cut points between them. Each value starts in its cut-point bucket (the
  number of cut points at or below it); then up to three passes over the
  dimensions in order move each to the level that lowers
  ||e||**2 + 3 (u . e)**2 the most (e = r - the reconstruction, u = x / |x|,
  float64 in dimension order, a move only when strictly lower): an error
  along x moves the scores of the queries that find x the most. Buckets are
  packed little-end first: dimension p sits in byte p // (8 // bits) at bit
  (p % (8 // bits)) * bits.

At 128 dimensions and 2 bits that is 2 + 32 bytes per vector instead of 512.
The quantiser is trained on a seeded sample of residuals (equal-count
buckets refined by a few rounds of one-dimensional Lloyd iteration), the
same result on any machine, instruction set and thread count.

The approximate score of document d for query rows q_0 .. q_{m-1} is
computed from the codes alone. First two float32 tables, each product, sum
and quotient rounded on its own (no fused multiply-add):

1. C[j, c] = dot(q_j, centroid_c): +0, then + q_j[p] * centroid_c[p] for
   p = 0 .. D-1 (the router's similarity product);
2. the packed residual is read in 4-bit groups (group g is the low half of
   byte g // 2 for even g, the high half for odd g; a group holds 4 // bits
   dimensions, the last may hold fewer): T[j, g, v] = +0, then
   + q_j[p] * levels[p, bucket of p in value v] over the group's dimensions
   in increasing order.

Then one scale per query row and whole-number tables, so that a vector's
score is a sum of small integers that a kernel may add in any order (16
vectors at a time, one byte lookup per group):

3. lo[j, g] = min over v of T[j, g, v]; span_j = max over g, v of
   T[j, g, v] - lo[j, g]; delta_j = max(span_j / 255, max_c |C[j, c]| /
   2**22), or 1 when that is 0;
4. U[j, g, v] = min(255, round((T[j, g, v] - lo[j, g]) / delta_j)) and
   K[j, c] = round(C[j, c] / delta_j), rounding half to even;
   B_j = ((lo[j, 0] + lo[j, 1]) + lo[j, 2]) + ...;
5. S(j, x) = K[j, code_x] + sum over g of U[j, g, group g of x], and M_j
   the largest S(j, x) over the document's vectors with a code below
   n_fine (a code at or above it never wins);
6. m_j = float32(M_j) * delta_j, then + B_j (-inf when no vector of the
   document counts);
7. score = ((m_0 + m_1) + m_2) + ...; 0 for a query without rows, -inf for
   a document without vectors.

The rounding in step 4 moves m_j by at most (groups + 1) * delta_j / 2 per
query row, a small fraction of what the residuals' own quantisation moves
it. (A query row whose tables are not all finite, only possible with values
near float32's limit, scores NaN.)

The arrays of a `CodeStore` (`arrays()`) are plain NumPy arrays that `save`
writes as .npy files and `load` memory-maps.
"""

from __future__ import annotations

import hashlib
import io
import math
import os
import tempfile
from pathlib import Path
from typing import Any

import numpy as np

from . import _files, _inputs, _native
from .store import document_rows

__all__ = ["CodeStore", "ARRAY_NAMES", "quantiser_bytes", "quantiser_digest", "train_quantiser"]

# The arrays of a code store, each saved as <name>.npy.
ARRAY_NAMES = ("centroids", "cuts", "levels", "fine", "residual", "offsets")

_BITS_OF_LEVELS = {2: 1, 4: 2, 16: 4}
# The quantiser is trained on at most this many rows, drawn with this seed.
QUANTISER_SAMPLE = 65_536
QUANTISER_SEED = 44


def _residual_bytes(dim: int, bits: int) -> int:
    return (dim * bits + 7) // 8


def _vectors(vectors: Any, dim: int) -> np.ndarray:
    """The caller's vectors as C-contiguous float32 rows of `dim` values,
    NaN and infinity refused."""
    matrix = _inputs._float_matrix(vectors, "vectors")
    if matrix.shape[1] != dim:
        raise ValueError(f"vectors have {matrix.shape[1]} columns; expected {dim}")
    _inputs.check_values(matrix, "vectors")
    return matrix


class CodeStore:
    """Documents kept as residual codes, scored by approximate MaxSim.

    centroids: (n_fine, D) float32, the router's fine centroids; cuts
    (D, K - 1) and levels (D, K) float32, the residual quantiser; fine
    (N,) uint16 and residual (N, ceil(D * bits / 8)) uint8, the codes of the
    N stored vectors; offsets (n_docs + 1,) int64, document i is vectors
    offsets[i]:offsets[i + 1]. Any of them may be memory-mapped.
    """

    def __init__(
        self,
        centroids: np.ndarray,
        cuts: np.ndarray,
        levels: np.ndarray,
        fine: np.ndarray | None = None,
        residual: np.ndarray | None = None,
        offsets: np.ndarray | None = None,
    ) -> None:
        if centroids.dtype != np.float32 or centroids.ndim != 2 or not 1 <= len(centroids) <= 65_536:
            raise ValueError(
                f"centroids must be (n_fine, D) float32 with 1 to 65536 rows, got {centroids.dtype} {centroids.shape}"
            )
        dim = centroids.shape[1]
        shape_ok = levels.ndim == 2 and levels.shape[1] in _BITS_OF_LEVELS and len(levels) == dim
        if levels.dtype != np.float32 or not shape_ok:
            raise ValueError(f"levels must be ({dim}, 2, 4 or 16) float32, got {levels.dtype} {levels.shape}")
        k = levels.shape[1]
        if cuts.dtype != np.float32 or cuts.shape != (dim, k - 1):
            raise ValueError(f"cuts must be ({dim}, {k - 1}) float32, got {cuts.dtype} {cuts.shape}")
        bits = _BITS_OF_LEVELS[k]
        width = _residual_bytes(dim, bits)
        fine = np.zeros(0, np.uint16) if fine is None else fine
        residual = np.zeros((0, width), np.uint8) if residual is None else residual
        offsets = np.zeros(1, np.int64) if offsets is None else offsets
        if fine.dtype != np.uint16 or fine.ndim != 1:
            raise ValueError(f"fine must be (N,) uint16, got {fine.dtype} {fine.shape}")
        if residual.dtype != np.uint8 or residual.shape != (len(fine), width):
            raise ValueError(f"residual must be ({len(fine)}, {width}) uint8, got {residual.dtype} {residual.shape}")
        if offsets.dtype != np.int64 or offsets.ndim != 1 or len(offsets) == 0:
            raise ValueError(f"offsets must be (n_docs + 1,) int64, got {offsets.dtype} {offsets.shape}")
        # (Neighbours compared, not their difference: that wraps around for
        # offsets far apart and would pass falling ones.)
        if offsets[0] != 0 or offsets[-1] != len(fine) or (offsets[1:] < offsets[:-1]).any():
            raise ValueError(f"offsets must rise from 0 to the {len(fine)} stored vectors")
        self.centroids, self.cuts, self.levels = centroids, cuts, levels
        self.fine, self.residual, self.offsets = fine, residual, offsets
        self._lists: tuple[np.ndarray, np.ndarray] | None = None

    @classmethod
    def train(
        cls,
        state: bytes,
        vectors: Any,
        *,
        bits: int = 2,
        sample: int = QUANTISER_SAMPLE,
        seed: int = QUANTISER_SEED,
    ) -> CodeStore:
        """An empty store whose quantiser is trained on at most `sample` rows
        of `vectors` (drawn with a generator seeded by `seed`), with the
        fine centroids of the router state file's bytes `state`."""
        if isinstance(bits, bool) or bits not in (1, 2, 4):
            raise ValueError(f"bits must be 1, 2 or 4, got {bits!r}")
        sample = _inputs.count(sample, "sample")
        seed = _inputs.count(seed, "seed")
        centroids = state_centroids(state)
        matrix = _vectors(vectors, centroids.shape[1])
        k, dim = 1 << bits, centroids.shape[1]
        cuts = np.empty((dim, k - 1), np.float32)
        levels = np.empty((dim, k), np.float32)
        _native.train_quantiser(centroids, matrix, bits, sample, seed, cuts, levels)
        return cls(centroids, cuts, levels)

    @property
    def dim(self) -> int:
        return int(self.centroids.shape[1])

    @property
    def bits(self) -> int:
        return _BITS_OF_LEVELS[self.levels.shape[1]]

    @property
    def n_docs(self) -> int:
        return len(self.offsets) - 1

    @property
    def bytes_per_vector(self) -> int:
        """Bytes of one stored vector's codes: the fine code and the residual."""
        return 2 + int(self.residual.shape[1])

    def __len__(self) -> int:
        return len(self.fine)

    @classmethod
    def from_quantiser(cls, state: bytes, quantiser: bytes) -> CodeStore:
        """An empty store with the fine centroids of the router state file's
        bytes `state` and the quantiser that `quantiser_bytes` wrote."""
        centroids = state_centroids(state)
        cuts, levels = read_quantiser(quantiser)
        if len(levels) != centroids.shape[1]:
            raise ValueError(
                f"the quantiser is for {len(levels)} dimensions; the codebook has {centroids.shape[1]}"
            )
        return cls(centroids, cuts, levels)

    def empty_like(self) -> CodeStore:
        """A store with this one's centroids and quantiser and no documents."""
        return CodeStore(self.centroids, self.cuts, self.levels)

    def encode(self, vectors: Any) -> tuple[np.ndarray, np.ndarray]:
        """The codes of (N, D) vectors: fine (N,) uint16 and residual
        (N, ceil(D * bits / 8)) uint8."""
        matrix = _vectors(vectors, self.dim)
        fine = np.empty(len(matrix), np.uint16)
        residual = np.empty((len(matrix), self.residual.shape[1]), np.uint8)
        _native.encode_codes(self.centroids, self.cuts, self.levels, matrix, fine, residual)
        return fine, residual

    def append(self, vectors: Any, lengths: Any) -> None:
        """Encodes and adds documents: `vectors` holds their rows one after
        another, `lengths` the row count of each."""
        counts = np.asarray(lengths)
        if counts.ndim != 1 or counts.dtype.kind not in "iu" or (counts < 0).any():
            raise ValueError("lengths must be a 1-D array of non-negative integers")
        matrix = _vectors(vectors, self.dim)
        # No length may exceed the rows given: lengths near 2**64 would wrap
        # around in the sum below and pass it with offsets that fall.
        if counts.size and int(counts.max()) > len(matrix):
            raise ValueError(f"lengths hold a document of {int(counts.max())} vectors; {len(matrix)} were given")
        if int(counts.sum()) != len(matrix):
            raise ValueError(f"lengths add up to {int(counts.sum())} vectors; {len(matrix)} were given")
        fine, residual = self.encode(matrix)
        self.fine = np.concatenate([self.fine, fine])
        self.residual = np.concatenate([self.residual, residual])
        self.offsets = np.concatenate([self.offsets, self.offsets[-1] + np.cumsum(counts, dtype=np.int64)])
        self._lists = None

    def decode(self, rows: slice | np.ndarray) -> np.ndarray:
        """The stored vectors `rows` as their codes describe them: centroid
        plus each dimension's level, float32 (an approximation of the
        vectors that were encoded)."""
        fine = np.asarray(self.fine[rows])
        packed = np.asarray(self.residual[rows])
        bits, dim = self.bits, self.dim
        per_byte = 8 // bits
        shifts = (np.arange(per_byte, dtype=np.uint8) * bits)[None, None, :]
        buckets = (packed[:, :, None] >> shifts) & ((1 << bits) - 1)
        buckets = buckets.reshape(len(packed), -1)[:, :dim]
        levels = self.levels[np.arange(dim)[None, :], buckets]
        out: np.ndarray = (self.centroids[fine] + levels).astype(np.float32)
        return out

    def extended(self, fine: np.ndarray, residual: np.ndarray, lengths: np.ndarray) -> CodeStore:
        """A new store holding this one's documents followed by documents
        already encoded (`fine`, `residual`, and the row count of each in
        `lengths`); this store is left as it is."""
        offsets = np.concatenate([self.offsets, self.offsets[-1] + np.cumsum(lengths, dtype=np.int64)])
        return CodeStore(
            self.centroids,
            self.cuts,
            self.levels,
            np.concatenate([self.fine, fine]),
            np.concatenate([self.residual, residual]),
            offsets,
        )

    def subset(self, docs: np.ndarray) -> CodeStore:
        """A new store of documents `docs` (ascending int64 indices) only, in
        that order."""
        rows, lengths = document_rows(self.offsets, docs)
        offsets = np.concatenate([np.zeros(1, np.int64), np.cumsum(lengths, dtype=np.int64)])
        return CodeStore(self.centroids, self.cuts, self.levels, self.fine[rows], self.residual[rows], offsets)

    def token_lists(self) -> tuple[np.ndarray, np.ndarray]:
        """The inverted lists (starts, docs), int64: the documents holding a
        vector of fine code c are docs[starts[c]:starts[c + 1]], increasing.
        Built from the codes on first use (one pass over them) and kept
        until the next append."""
        if self._lists is None:
            starts, docs = _native.token_lists(self.fine, self.offsets, len(self.centroids))
            self._lists = (np.frombuffer(starts, np.int64), np.frombuffer(docs, np.int64))
        return self._lists

    def candidates(self, query: Any, probe: int = 4) -> np.ndarray:
        """Token-level candidates: the documents (int64, increasing) holding a
        vector whose fine code is among the `probe` centroids most similar to
        some query row. Its cost grows with the lists it reads, not with the
        whole collection."""
        q = _inputs.query_matrix(query, self.dim)
        # A probe beyond the centroids reads every list (and must fit the native count).
        probe = min(_inputs.count(probe, "probe"), len(self.centroids))
        starts, docs = self.token_lists()
        return np.frombuffer(_native.token_candidates(q, self.centroids, starts, docs, probe), np.int64)

    def token_candidates(self, q: np.ndarray, probe: int) -> np.ndarray:
        """`candidates` for a query already checked ((Q, D) float32,
        C-contiguous)."""
        starts, docs = self.token_lists()
        return np.frombuffer(_native.token_candidates(q, self.centroids, starts, docs, probe), np.int64)

    def search(
        self,
        q: np.ndarray,
        probes: np.ndarray,
        extra: np.ndarray,
        skip: np.ndarray | None,
        score: bool,
        shortlist: int = 0,
    ) -> tuple[np.ndarray, np.ndarray | None]:
        """For a query already checked ((Q, D) float32, C-contiguous): the
        documents (int64, increasing) under each row j's probes[j] (int64)
        nearest centroids, with `extra` (int64 document indices), less those
        `skip` (None or one bool per document) marks; and with `score` their
        `scores`, in one native call that computes the rows' centroid
        similarities once for all. A nonzero `shortlist` keeps only the best
        `shortlist` documents by their fine codes alone (each row's largest
        similarity to a centroid of the document's vectors, summed), so that
        only those have their residuals read."""
        starts, docs = self.token_lists()
        flags = None if skip is None else skip.view(np.uint8)
        found, scores = _native.token_search(q, probes, self.centroids, self.levels, self.fine, self.residual,
                                             self.offsets, starts, docs, extra, flags, score, shortlist)
        return np.frombuffer(found, np.int64), None if scores is None else np.frombuffer(scores, np.float32)

    def scores(self, q: np.ndarray, docs: np.ndarray) -> np.ndarray:
        """`score` for a query already checked and int64 document indices."""
        out = np.empty(len(docs), np.float32)
        _native.code_maxsim(q, self.centroids, self.levels, self.fine, self.residual, self.offsets, docs, out)
        return out

    def quantiser(self) -> bytes:
        """The quantiser (cuts and levels) as `quantiser_bytes` writes it."""
        return quantiser_bytes(self.cuts, self.levels)

    def score(self, query: Any, candidates: Any) -> np.ndarray:
        """Approximate MaxSim scores ((n,) float32) of the documents
        `candidates` (indices, repeats allowed), in the order documented
        above."""
        q = _inputs.query_matrix(query, self.dim)
        given = np.asarray(candidates)
        if given.size and given.dtype.kind not in "iu":
            raise ValueError(f"candidates must be integer document indices, got dtype {given.dtype}")
        # uint64 indices beyond int64 would wrap to negative ones in the cast.
        if given.size and given.dtype.kind == "u" and int(given.max()) > np.iinfo(np.int64).max:
            raise ValueError(
                f"candidate {int(given.max())} is outside the store's documents 0..{self.n_docs - 1}"
            )
        docs = np.ascontiguousarray(given, np.int64)
        if docs.ndim != 1:
            raise ValueError(f"candidates must be a 1-D array of document indices, got shape {docs.shape}")
        out = np.empty(len(docs), np.float32)
        _native.code_maxsim(q, self.centroids, self.levels, self.fine, self.residual, self.offsets, docs, out)
        return out

    def arrays(self) -> dict[str, np.ndarray]:
        """The store's arrays by name (ARRAY_NAMES)."""
        return {name: getattr(self, name) for name in ARRAY_NAMES}

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Writes each array as <directory>/<name>.npy, each through a
        sibling temporary file and a rename, so a file is never half written."""
        path = Path(directory)
        path.mkdir(parents=True, exist_ok=True)
        for name, array in self.arrays().items():
            fd, tmp = tempfile.mkstemp(dir=path, prefix=f"{name}.", suffix=".tmp")
            try:
                with os.fdopen(fd, "wb") as f:
                    np.save(f, np.ascontiguousarray(array), allow_pickle=False)
                    f.flush()
                    os.fsync(f.fileno())
                os.replace(tmp, path / f"{name}.npy")
            except BaseException:
                Path(tmp).unlink(missing_ok=True)
                raise

    @classmethod
    def load(cls, directory: str | os.PathLike[str], *, mmap: bool = True) -> CodeStore:
        """The store `save` wrote into `directory`, memory-mapped read-only
        unless `mmap` is false; its shapes are checked as the constructor
        checks them."""
        path = Path(directory)
        arrays = {}
        for name in ARRAY_NAMES:
            # Read by the package's own .npy reader, which checks the
            # header's shape against the file's size before allocating
            # (np.load would first allocate whatever a header declares).
            with open(path / f"{name}.npy", "rb") as f:
                try:
                    arrays[name] = _files.read_npy(f, mmap)
                except ValueError as exc:
                    raise ValueError(f"cannot read {name}.npy: {exc}") from None
        return cls(**arrays)


def state_centroids(state: bytes) -> np.ndarray:
    """The fine centroids ((n_fine, D) float32, writable) of a router state
    file's bytes, read by the native core."""
    n_fine, dim, raw = _native.fine_centroids(state)
    return np.frombuffer(raw, np.float32).reshape(n_fine, dim).copy()


def quantiser_bytes(cuts: np.ndarray, levels: np.ndarray) -> bytes:
    """A residual quantiser as the bytes of one .npy file: a (D, 2K - 1)
    float32 array whose first K columns are the levels and the rest the
    cuts (K = 2**bits)."""
    table = np.ascontiguousarray(np.concatenate([levels, cuts], axis=1), "<f4")
    buffer = io.BytesIO()
    np.save(buffer, table, allow_pickle=False)
    return buffer.getvalue()


def read_quantiser(data: bytes) -> tuple[np.ndarray, np.ndarray]:
    """The (cuts, levels) of the bytes `quantiser_bytes` wrote; ValueError
    for anything else."""
    # Anything else np.load would take for a pickle, and advise loading unsafely.
    if bytes(data[:6]) != b"\x93NUMPY":
        raise ValueError(f"not a residual quantiser: not an .npy file (it starts with {bytes(data[:6])!r})")
    # Parsed by the package's own .npy reader, and the header's shape checked
    # against the bytes that follow it before anything is allocated (np.load
    # would first allocate what a header of a few bytes declares: terabytes,
    # a MemoryError); the table is then read from those bytes.
    try:
        start, dtype, shape, fortran = _files.npy_layout(io.BytesIO(data))
    except ValueError as exc:
        raise ValueError(f"not a residual quantiser ({exc})") from None
    count = math.prod(shape)
    declared, found = count * dtype.itemsize, len(data) - start
    if declared != found:
        raise ValueError(
            f"not a residual quantiser: its header declares {declared} bytes of {dtype.name} {shape}; {found} follow"
        )
    table = np.frombuffer(data, dtype, count, start).reshape(shape, order="F" if fortran else "C")
    width = table.shape[1] if table.ndim == 2 else 0
    k = (width + 1) // 2
    if table.dtype != np.float32 or k not in _BITS_OF_LEVELS or width != 2 * k - 1 or len(table) < 1:
        raise ValueError(f"not a residual quantiser: a (D, 3, 7 or 31) float32 table, got {table.dtype} {table.shape}")
    if not np.isfinite(table).all():
        raise ValueError("not a residual quantiser: its table holds NaN or infinity")
    # Copies: the table is a view of the caller's bytes.
    return np.array(table[:, k:], order="C"), np.array(table[:, :k], order="C")


def quantiser_argument(
    quantiser: bytes | bytearray | memoryview | str | os.PathLike[str] | None, keep_vectors: bool
) -> bytes | None:
    """A caller's quantiser as bytes (as given, or read from the file a path
    names; None for none), refusing keep_vectors=False without one."""
    if quantiser is None:
        if not keep_vectors:
            raise ValueError("keep_vectors=False needs a quantiser: without vectors the codes are all that is kept")
        return None
    if isinstance(quantiser, (bytes, bytearray, memoryview)):
        return bytes(quantiser)
    return Path(os.fspath(quantiser)).read_bytes()


def train_quantiser(
    codebook: bytes | str | os.PathLike[str],
    sample_vectors: Any,
    *,
    bits: int = 2,
    sample: int = QUANTISER_SAMPLE,
    seed: int = QUANTISER_SEED,
    path: str | os.PathLike[str] | None = None,
) -> bytes:
    """The residual quantiser for a shared codebook (the path to, or the
    bytes of, a router state file), trained on at most `sample` rows of the
    (N, D) float32 `sample_vectors` drawn with a generator seeded by `seed`:
    the same bytes on any machine. Every retriever given these bytes with
    that codebook (`Retriever.from_codebook(..., quantiser=...)`) encodes
    documents alike, so their approximate scores compare. Also written
    atomically to `path` when given."""
    from .codebook import write_atomically  # here: the codebook module imports this one

    state = bytes(codebook) if isinstance(codebook, (bytes, bytearray, memoryview)) else Path(codebook).read_bytes()
    data = CodeStore.train(state, sample_vectors, bits=bits, sample=sample, seed=seed).quantiser()
    if path is not None:
        write_atomically(path, data)
    return data


def quantiser_digest(data: bytes) -> str:
    """SHA-256 (hex) of a quantiser's cuts and levels, as `read_quantiser`
    reads them from `data`: the same for equal quantisers, whatever .npy
    header wrote them. ValueError for bytes that are not a quantiser."""
    cuts, levels = read_quantiser(data)
    digest = hashlib.sha256(b"qor-quantiser\0")
    for table in (levels, cuts):
        digest.update(np.asarray(table.shape, "<u8").tobytes())
        digest.update(np.ascontiguousarray(table, "<f4").tobytes())
    return digest.hexdigest()
