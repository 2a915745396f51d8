"""The vector store: every document's token vectors, in document order, in
memory-mapped files, so a collection larger than RAM is read from the page
cache only where a query needs it.

A store is a directory of three .npy files:

- ``vectors.npy``: (n_rows, dim) float32 or float16, document after document;
- ``offsets.npy``: (n_docs + 1,) int64, document d is rows offsets[d] to
  offsets[d + 1] - 1 (offsets[0] = 0, non-decreasing, last = n_rows);
- ``ids.npy``: (n_docs,) the caller's id of each document: uint64, or
  little-endian fixed-width unicode (``<U{n}``) when the ids are strings
  (a store holds one kind; an empty store takes the kind of its first ids).

A store made with keep_vectors=False has no ``vectors.npy``: it keeps the
documents' row counts and ids only (their vectors live elsewhere, e.g. as
compressed codes), and reading vectors from it is refused.

A *working* store owns its directory and grows in place. A *frozen* store
reads a directory that belongs to someone else (a saved retriever, or arrays
in memory) and never writes it: its first append copies the store into a
private working directory.
"""

from __future__ import annotations

import logging
import os
import shutil
import signal
import tempfile
import threading
import weakref
from collections.abc import Callable, Mapping
from io import BufferedReader
from pathlib import Path
from typing import Any

import numpy as np

from . import _files

VECTORS = "vectors.npy"
OFFSETS = "offsets.npy"
IDS = "ids.npy"
DTYPES = ("float32", "float16")
log = logging.getLogger("nuvaris_qor_search")
INT_IDS = np.dtype("<u8")


def store_dtype(dtype: object) -> np.dtype:
    """The store dtype named by `dtype` (float32 or float16)."""
    try:
        dt: np.dtype | None = np.dtype(dtype)  # type: ignore[call-overload]
    except TypeError:
        dt = None
    if dt is None or dt.name not in DTYPES:
        raise ValueError(f"dtype must be float32 or float16, got {dtype!r}")
    return dt.newbyteorder("<")


class VectorStore:
    """Token vectors of documents, addressed by document index."""

    def __init__(
        self,
        vectors: np.ndarray | None,
        offsets: np.ndarray,
        ids: np.ndarray,
        directory: Path | None = None,
        *,
        dim: int = 0,
        dtype: object = "float32",
    ):
        """A frozen store over the given arrays (memory-mapped or in RAM),
        read from `directory` if they come from there; vectors=None makes
        a store without vectors, of width `dim` and nominal `dtype`. Use
        `create`, `temporary` or `open` rather than this."""
        self._keeps_vectors = vectors is not None
        self._dim = int(vectors.shape[1]) if vectors is not None else int(dim)
        self._dtype = store_dtype(vectors.dtype if vectors is not None else dtype)
        self._vectors = vectors if vectors is not None else np.empty((0, self._dim), self._dtype)
        self._offsets = offsets
        self._ids = ids
        self._directory = directory
        # (vectors or None, offsets, ids), set while working
        self._files: tuple[_files.GrowableArray | None, _files.GrowableArray, _files.GrowableArray] | None = None
        self._cleanup: weakref.finalize[..., Any] | None = None
        self._workdir: str | os.PathLike[str] | None = None  # where `_thaw` copies to

    # -- construction -------------------------------------------------------

    @classmethod
    def create(
        cls, directory: str | Path, dim: int, dtype: object = "float32", *, keep_vectors: bool = True
    ) -> VectorStore:
        """An empty working store in `directory`, which must not exist or
        be empty."""
        path = Path(directory)
        if path.exists() and (not path.is_dir() or any(path.iterdir())):
            raise ValueError(f"store directory {str(path)!r} exists and is not an empty directory")
        path.mkdir(parents=True, exist_ok=True)
        return cls._working(path, int(dim), store_dtype(dtype), keep_vectors=keep_vectors)

    @classmethod
    def temporary(
        cls,
        dim: int,
        dtype: object = "float32",
        *,
        within: str | os.PathLike[str] | None = None,
        keep_vectors: bool = True,
    ) -> VectorStore:
        """An empty working store in a private temporary directory (made in
        `within`, default the system's temporary directory), removed when
        the store is closed or garbage-collected, at exit, and when the
        process is ended by SIGTERM."""
        path = Path(tempfile.mkdtemp(prefix="nuvaris_qor_search-", dir=within))
        try:
            store = cls._working(path, int(dim), store_dtype(dtype), keep_vectors=keep_vectors)
        except BaseException:
            shutil.rmtree(path, ignore_errors=True)
            raise
        store._cleanup = _private_directory(store, path)
        return store

    @classmethod
    def _working(
        cls, path: Path, dim: int, dtype: np.dtype, id_dtype: np.dtype = INT_IDS, *, keep_vectors: bool = True
    ) -> VectorStore:
        if dim < 1:
            raise ValueError(f"vector dimension must be at least 1, got {dim}")
        try:
            vectors = _files.GrowableArray.create(path / VECTORS, dtype, (dim,)) if keep_vectors else None
            offsets = _files.GrowableArray.create(path / OFFSETS, np.dtype("<i8"), ())
            offsets.append(np.zeros(1, np.int64))
            ids = _files.GrowableArray.create(path / IDS, id_dtype, ())
        except BaseException:
            for name in (VECTORS, OFFSETS, IDS):
                (path / name).unlink(missing_ok=True)
            raise
        empty = np.empty((0, dim), dtype) if keep_vectors else None
        store = cls(empty, np.zeros(1, np.int64), np.empty(0, id_dtype), path, dim=dim, dtype=dtype)
        store._files = (vectors, offsets, ids)
        return store

    @classmethod
    def open(cls, directory: str | Path, *, mmap: bool = True, dim: int = 0, dtype: object = None) -> VectorStore:
        """A frozen store over the files of `directory` (memory-mapped, or
        read into RAM with mmap=False), checked for consistency. A store
        without vectors must be given its `dim` and `dtype`."""
        path = Path(directory)
        names = (VECTORS, OFFSETS, IDS) if dtype is None else (OFFSETS, IDS)
        files: dict[str, BufferedReader] = {}
        try:
            dir_fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        except OSError as exc:
            raise ValueError(f"cannot read {VECTORS} in {str(path)!r}: {exc}") from None
        try:
            for name in names:
                try:
                    files[name] = _files.open_member(dir_fd, name)
                except (OSError, ValueError) as exc:
                    raise ValueError(f"cannot read {name} in {str(path)!r}: {exc}") from None
            return cls.from_files(files, path, mmap=mmap, dim=dim, dtype=dtype)
        finally:
            os.close(dir_fd)
            for f in files.values():
                f.close()

    @classmethod
    def from_files(
        cls,
        files: Mapping[str, BufferedReader],
        directory: Path,
        *,
        mmap: bool = True,
        dim: int = 0,
        dtype: object = None,
    ) -> VectorStore:
        """A frozen store over the open files `files` (by file name) that
        came from `directory`, checked for consistency. Without a
        vectors file the store keeps no vectors and takes `dim` and `dtype`
        as given. The files may be closed afterwards; mappings keep their
        own reference."""
        arrays: dict[str, np.ndarray] = {}
        for name in (VECTORS, OFFSETS, IDS):
            if name == VECTORS and name not in files:
                continue
            try:
                arrays[name] = _files.read_npy(files[name], mmap)
            except (OSError, ValueError) as exc:
                raise ValueError(f"cannot read {name} in {str(directory)!r}: {exc}") from exc
        vectors, offsets, ids = arrays.get(VECTORS), arrays[OFFSETS], arrays[IDS]
        if vectors is None and (dim < 1 or dtype is None):
            raise ValueError(f"cannot read {VECTORS} in {str(directory)!r}: it is missing")
        check_arrays(vectors, offsets, ids, dim)
        return cls(vectors, offsets, ids, directory, dim=dim, dtype=dtype or "float32")

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def dtype(self) -> np.dtype:
        return self._dtype

    @property
    def n_docs(self) -> int:
        return len(self._ids)

    @property
    def n_rows(self) -> int:
        return int(self._offsets[-1])

    @property
    def keeps_vectors(self) -> bool:
        """Whether the store holds the vectors (not only their counts)."""
        return self._keeps_vectors

    @property
    def vectors(self) -> np.ndarray:
        """(n_rows, dim) read-only array of every stored vector."""
        self._need_vectors()
        return self._vectors

    def _need_vectors(self) -> None:
        if not self._keeps_vectors:
            raise ValueError("this store keeps no vectors (it was made with keep_vectors=False)")

    @property
    def offsets(self) -> np.ndarray:
        """(n_docs + 1,) int64 run boundaries."""
        return self._offsets

    @property
    def ids(self) -> np.ndarray:
        """(n_docs,) document ids: uint64, or unicode strings."""
        return self._ids

    @property
    def string_ids(self) -> bool:
        """Whether the ids are strings (otherwise unsigned integers)."""
        return self._ids.dtype.kind == "U"

    @property
    def directory(self) -> Path | None:
        return self._directory

    @property
    def workdir(self) -> str | os.PathLike[str] | None:
        """Where the first append to a frozen store makes its private copy
        (None: the system's temporary directory)."""
        return self._workdir

    @workdir.setter
    def workdir(self, value: str | os.PathLike[str] | None) -> None:
        self._workdir = value

    @property
    def is_working(self) -> bool:
        return self._files is not None

    # -- growth -------------------------------------------------------------

    def append(
        self,
        vectors: np.ndarray,
        lengths: np.ndarray,
        ids: np.ndarray,
        progress: Callable[[int], None] | None = None,
    ) -> None:
        """Appends documents: `vectors` holds their rows one document after
        another, `lengths` their row counts, `ids` their ids. Either all of
        them are stored or, on failure, none. `progress` is told the rows
        written, chunk by chunk."""
        if not self.is_working:
            self._thaw()
        assert self._files is not None
        ids = np.asarray(ids)
        id_file = self._fit_ids(ids)
        vec_file, off_file, _ = self._files
        files = [f for f in (vec_file, off_file, id_file) if f is not None]
        before = [f.rows for f in files]
        new_offsets = self.n_rows + np.cumsum(np.asarray(lengths, np.int64))
        try:
            if vec_file is not None:
                vec_file.append(np.asarray(vectors), progress)
            elif progress is not None:
                progress(int(new_offsets[-1] - self.n_rows) if len(new_offsets) else 0)
            off_file.append(new_offsets)
            id_file.append(ids)
        except BaseException:
            for f, rows in zip(files, before, strict=True):
                f.truncate(rows)
            raise
        self._refresh()

    def _fit_ids(self, ids: np.ndarray) -> _files.GrowableArray:
        """The ids file, made able to hold `ids`: an empty store takes their
        kind, and string ids longer than the stored width widen the file
        (rewritten whole: ids are small beside the vectors)."""
        assert self._files is not None
        id_file = self._files[2]
        if len(ids) == 0:
            return id_file
        if ids.dtype.kind == "U":
            wanted = np.dtype(f"<U{max(ids.dtype.itemsize // 4, 1)}")
            if id_file.dtype.kind == "U" and id_file.dtype.itemsize >= wanted.itemsize:
                return id_file
            if id_file.dtype.kind != "U" and id_file.rows:
                raise ValueError("doc_ids are strings but this store's ids are integers")
        else:
            wanted = INT_IDS
            if id_file.dtype == INT_IDS:
                return id_file
            if id_file.rows:
                raise ValueError("doc_ids are integers but this store's ids are strings")
        old = np.array(self._ids, dtype=wanted)
        spare = id_file.path.with_name(IDS + ".new")
        spare.unlink(missing_ok=True)
        wider = _files.GrowableArray.create(spare, wanted, ())
        try:
            wider.append(old)
            os.replace(spare, id_file.path)
        except BaseException:
            spare.unlink(missing_ok=True)
            raise
        wider.path = id_file.path
        self._files = (self._files[0], self._files[1], wider)
        self._refresh()
        return wider

    def truncate(self, n_docs: int) -> None:
        """Drops the documents from index `n_docs` on (undoes an append)."""
        assert self._files is not None and n_docs <= self.n_docs
        rows = int(self._offsets[n_docs])
        vec_file, off_file, id_file = self._files
        if vec_file is not None:
            vec_file.truncate(rows)
        off_file.truncate(n_docs + 1)
        id_file.truncate(n_docs)
        self._refresh()

    def _renew_files(self) -> None:
        """Empties a working store by renaming fresh files over its own.
        Arrays handed out earlier keep mapping the old files, which stay
        whole; truncating those in place would make reading such an array
        past the new end fault (SIGBUS) instead of raising."""
        assert self._files is not None
        fresh: list[_files.GrowableArray | None] = []
        for f in self._files:
            if f is None:
                fresh.append(None)
                continue
            spare = f.path.with_name(f.path.name + ".new")
            spare.unlink(missing_ok=True)
            new = _files.GrowableArray.create(spare, f.dtype, f.row_shape)
            try:
                if f.path.name == OFFSETS:
                    new.append(np.zeros(1, np.int64))
                os.replace(spare, f.path)
            except BaseException:
                spare.unlink(missing_ok=True)
                raise
            new.path = f.path
            fresh.append(new)
        vec_file, off_file, id_file = fresh
        assert off_file is not None and id_file is not None
        self._files = (vec_file, off_file, id_file)
        self._refresh()

    def _refresh(self) -> None:
        assert self._files is not None
        vec_file, off_file, id_file = self._files
        if vec_file is not None:
            self._vectors = vec_file.view()
        self._offsets = off_file.view()
        self._ids = id_file.view()

    def make_working(self, progress: Callable[[int], None] | None = None) -> None:
        """Makes a frozen store a working one by copying it into a private
        directory (`progress` is told the rows copied); a working store is
        left as it is."""
        if not self.is_working:
            self._thaw(progress)

    def keep_only(self, docs: np.ndarray, progress: Callable[[int], None] | None = None) -> None:
        """Keeps only documents `docs` (ascending int64 indices), in order,
        and drops the others' vectors. All or nothing: the kept documents
        are first copied into a new private directory. A working store in
        the caller's directory is then rewritten there; any other store
        takes the copy over (a frozen store's files are never written)."""
        work = VectorStore.temporary(self._dim, self._dtype, within=self._workdir, keep_vectors=self._keeps_vectors)
        try:
            work._fit_ids(np.empty(1, self._ids.dtype))
            work._copy_from(self, docs, progress)
        except BaseException:
            work.close()
            raise
        if self.is_working and self._cleanup is None:
            try:
                self._renew_files()
                self._copy_from(work, np.arange(work.n_docs, dtype=np.int64), None)
                work.close()
                return
            except Exception as exc:
                log.warning(
                    "could not rewrite the store in %s (%s); it now lives in %s", self._directory, exc, work._directory
                )
        self.close()
        self._files, self._directory, self._cleanup = work._files, work._directory, work._cleanup
        assert self._cleanup is not None and work._directory is not None
        self._cleanup.detach()
        self._cleanup = _private_directory(self, work._directory)
        work._files, work._cleanup = None, None
        self._refresh()

    def _copy_from(self, other: VectorStore, docs: np.ndarray, progress: Callable[[int], None] | None) -> None:
        """Appends documents `docs` of `other`, a chunk of rows at a time."""
        step = _files.chunk_rows(4 * self._dim)
        lengths = other.offsets[docs + 1] - other.offsets[docs]
        lo = 0
        while lo < len(docs):
            # At least one document per chunk, and as many more as fit.
            hi = lo + max(1, int(np.searchsorted(np.cumsum(lengths[lo:]), step, side="right")))
            part = docs[lo:hi]
            if other.keeps_vectors:
                rows, sizes = other.gather(part)
            else:
                rows, sizes = np.empty((0, self._dim), self._dtype), other.offsets[part + 1] - other.offsets[part]
            self.append(rows.astype(self._dtype, copy=False), sizes, other.ids[part])
            if progress is not None:
                progress(int(sizes.sum()))
            lo = hi

    def _thaw(self, progress: Callable[[int], None] | None = None) -> None:
        """Copies a frozen store into a private working directory, chunk by
        chunk, so that appending never writes into files it does not own."""
        work = VectorStore.temporary(self._dim, self._dtype, within=self._workdir, keep_vectors=self._keeps_vectors)
        work._fit_ids(np.empty(1, self._ids.dtype))  # the kind and width of these ids, even when empty
        vec_file, off_file, id_file = work._files  # type: ignore[misc]
        if vec_file is not None:
            step = _files.chunk_rows(vec_file.row_bytes)
            for lo in range(0, self.n_rows, step):
                vec_file.append(self._vectors[lo : lo + step])
                if progress is not None:
                    progress(min(step, self.n_rows - lo))
        off_file.append(np.asarray(self._offsets[1:]))
        id_file.append(np.asarray(self._ids))
        # Take over the working directory and its clean-up, which is tied
        # to this object from now on.
        assert work._cleanup is not None and work._directory is not None
        work._cleanup.detach()
        self._files, self._directory = work._files, work._directory
        self._cleanup = _private_directory(self, work._directory)
        work._files, work._cleanup = None, None
        self._refresh()

    # -- reading ------------------------------------------------------------

    def gather(self, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The rows of documents `docs` (int64 indices), one document after
        another, as a C-contiguous float32 block, and each document's row
        count in the block."""
        self._need_vectors()
        rows, lengths = document_rows(self._offsets, docs)
        if len(rows) == 0:
            return np.empty((0, self._dim), np.float32), lengths
        block = self._vectors[rows]
        if block.dtype != np.float32:
            block = block.astype(np.float32)
        return np.ascontiguousarray(block), lengths

    def stack(self, docs: np.ndarray, length: int) -> np.ndarray:
        """The rows of documents `docs`, all `length` rows long, as a
        C-contiguous float32 (len(docs), length, dim) array."""
        self._need_vectors()
        rows = (self._offsets[docs][:, None] + np.arange(length, dtype=np.int64)).ravel()
        block = self._vectors[rows]
        if block.dtype != np.float32:
            block = block.astype(np.float32)
        return np.ascontiguousarray(block).reshape(len(docs), length, self._dim)

    # -- files --------------------------------------------------------------

    def write(self, directory: Path, progress: Callable[[int], None] | None = None) -> dict[str, Any]:
        """Writes the store's three files into `directory` (synced) and
        returns their names, sizes and digests by role. `progress` is told
        the bytes of vectors written, chunk by chunk. A store without
        vectors writes no vectors file."""
        files = {}
        if self._keeps_vectors:
            files["vectors"] = _files.write_array(directory / VECTORS, self._vectors, self._dtype, progress)
        files["offsets"] = _files.write_array(directory / OFFSETS, self._offsets, np.dtype("<i8"))
        files["ids"] = _files.write_array(directory / IDS, self._ids, self._ids.dtype.newbyteorder("<"))
        return files

    def discard(self) -> None:
        """Closes the store and deletes its files when it is working (a
        store that failed to fill must not leave half its files behind)."""
        paths = [f.path for f in self._files if f is not None] if self._files is not None else []
        self.close()
        for path in paths:
            path.unlink(missing_ok=True)

    def close(self) -> None:
        """Drops the mappings and removes a private directory."""
        self._vectors = np.empty((0, self._dim), self._dtype)
        self._offsets = np.zeros(1, np.int64)
        self._ids = np.empty(0, self._ids.dtype)
        self._files = None
        if self._cleanup is not None:
            self._cleanup()
            self._cleanup = None


def document_rows(offsets: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The row indices (int64) of documents `docs`, one document after
    another, where document d is rows offsets[d] to offsets[d + 1] - 1; and
    each document's row count."""
    begin = offsets[docs]
    lengths = offsets[docs + 1] - begin
    # Row i of the block is begin[d] + (i - first row of d in the block).
    first = np.cumsum(lengths) - lengths
    rows = np.arange(int(lengths.sum()), dtype=np.int64) + np.repeat(begin - first, lengths)
    return rows, lengths


def check_arrays(vectors: np.ndarray | None, offsets: np.ndarray, ids: np.ndarray, dim: int = 0) -> None:
    """Raises ValueError unless the three arrays form a consistent store
    (vectors None: a store without vectors, of width `dim`)."""
    if vectors is None:
        if dim < 1:
            raise ValueError(f"vector dimension must be at least 1, got {dim}")
        vectors = np.empty((0, dim), np.float32)
        n_rows = int(offsets[-1]) if offsets.ndim == 1 and len(offsets) else 0
    else:
        n_rows = vectors.shape[0]
    if vectors.ndim != 2 or vectors.shape[1] < 1:
        raise ValueError(f"vectors must be an (n_rows, dim) matrix with dim >= 1, got shape {vectors.shape}")
    if vectors.dtype.name not in DTYPES:
        raise ValueError(f"vectors must be float32 or float16, got {vectors.dtype.name}")
    if offsets.ndim != 1 or offsets.dtype != np.int64:
        raise ValueError(f"offsets must be a 1-D int64 array, got {offsets.dtype.name} of shape {offsets.shape}")
    if ids.ndim != 1 or not (ids.dtype == np.uint64 or ids.dtype.kind == "U"):
        raise ValueError(f"ids must be a 1-D uint64 or unicode array, got {ids.dtype.name} of shape {ids.shape}")
    if len(offsets) != len(ids) + 1:
        raise ValueError(f"offsets must have one entry more than ids: {len(offsets)} offsets, {len(ids)} ids")
    if offsets[0] != 0 or offsets[-1] != n_rows:
        raise ValueError(f"offsets must run from 0 to the {n_rows} vector rows, got {offsets[0]} to {offsets[-1]}")
    # Neighbours compared, not their difference: that wraps around for
    # offsets far apart and would pass falling ones.
    if len(offsets) > 1 and (offsets[1:] < offsets[:-1]).any():
        raise ValueError("offsets must be non-decreasing")


# Private directories still to be removed, removed also when SIGTERM ends the
# process (the default action would skip every clean-up).
_private: set[weakref.finalize[..., Any]] = set()
_sigterm_lock = threading.Lock()
_sigterm_installed = False


def _private_directory(owner: object, path: Path) -> weakref.finalize[..., Any]:
    """Ties the removal of `path` to `owner`'s lifetime, and to SIGTERM."""
    global _private
    cleanup = weakref.finalize(owner, shutil.rmtree, str(path), True)
    _private = {c for c in _private if c.alive}
    _private.add(cleanup)
    _watch_sigterm()
    return cleanup


def _watch_sigterm() -> None:
    """Installs a SIGTERM handler that removes the private directories and
    then ends the process by SIGTERM as before. Only where the application
    left the default action in place, and only from the main thread (the
    one place handlers can be installed)."""
    global _sigterm_installed
    with _sigterm_lock:
        if _sigterm_installed or threading.current_thread() is not threading.main_thread():
            return
        try:
            if signal.getsignal(signal.SIGTERM) != signal.SIG_DFL:
                _sigterm_installed = True  # the application handles it
                return
            signal.signal(signal.SIGTERM, _on_sigterm)
        except (ValueError, OSError):
            return
        _sigterm_installed = True


def _on_sigterm(signum: int, frame: object) -> None:
    for cleanup in list(_private):
        cleanup()
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)
