"""End-to-end late-interaction search: the router's candidates reranked by
exact MaxSim over the documents' stored token vectors."""

from __future__ import annotations

import errno
import json
import os
import shutil
import tempfile
from io import BufferedReader
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from nuvaris_qor_router import PyQorRouter

from . import _defaults, _files, _inputs, _native, maxsim
from .maxsim import top_k
from .store import IDS, OFFSETS, VECTORS, VectorStore, store_dtype

ROUTER_FILE = "router.qor"
MANIFEST_FILE = "manifest.json"
FORMAT_NAME = "nuvaris_qor_search.retriever"
FORMAT_VERSION = 1
ROUTER_PARAMS = ("n_fine", "n_coarse", "max_kmeans_iter", "ctop_r")
# Loading starts over when a save replaces the directory while its files
# are being opened; this many times in a row, it gives up.
OPEN_ATTEMPTS = 5
# Where this process's open files can be opened again by path.
_FD_DIR = Path("/proc/self/fd")

Hit = tuple[int, float]


def router_dim(router: PyQorRouter) -> int:
    """The vector width of a ready router, read from its state by the native
    core (the class has no accessor for it). This saves the router to a
    temporary file, so it costs a save; `Retriever` calls it only to name
    the width in an error message."""
    with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
        path = Path(tmp) / ROUTER_FILE
        router.save(str(path))
        return int(_native.read_state(path.read_bytes())["dim"])


def _accepts_width(router: PyQorRouter, dim: int) -> bool:
    """Whether a ready router takes queries of `dim` columns: it accepts a
    query of no rows exactly when the width is its own."""
    try:
        router.route_query(np.empty((0, dim), np.float32))
    except ValueError:
        return False
    return True


class Retriever:
    """A `PyQorRouter` plus the documents' token vectors: `search` returns
    the exact MaxSim top-k among the router's candidates.

    Documents are numbered 0, 1, 2, ... in the order they are indexed (build
    first, then each `add`); that number is the id the router itself holds,
    while the caller's ids (any 64-bit values, repeats allowed) live in the
    store. Methods that return documents return the caller's ids.
    """

    def __init__(self, router: PyQorRouter, store: VectorStore) -> None:
        """Pairs a ready router whose document ids are the document indices
        0 .. n-1 with a store of the same n documents and width."""
        if not isinstance(router, PyQorRouter):
            raise TypeError(f"router must be a PyQorRouter, got {type(router).__name__}")
        if not isinstance(store, VectorStore):
            raise TypeError(f"store must be a VectorStore, got {type(store).__name__}")
        if not router.is_ready():
            raise ValueError("router is not built; build or load it first")
        if not _accepts_width(router, store.dim):
            raise ValueError(f"router vectors have {router_dim(router)} dimensions; store vectors have {store.dim}")
        if router.n_docs() != store.n_docs:
            raise ValueError(f"router holds {router.n_docs()} documents; store holds {store.n_docs}")
        self._router: PyQorRouter = router
        self._store: VectorStore = store
        self._closed = False

    # -- construction -------------------------------------------------------

    @classmethod
    def build(
        cls,
        vectors: Any,
        doc_ids: Any,
        doc_offsets: Any = None,
        *,
        dtype: object = "float32",
        directory: str | os.PathLike[str] | None = None,
        **router_params: int | None,
    ) -> Retriever:
        """Trains a router on `vectors` and stores the documents.

        vectors: an (N, D) float matrix with `doc_offsets` [(start, end), ...]
        (rows outside every range only train the codebook), or a list of
        per-document (n_i, D) arrays with doc_offsets=None. doc_ids: one
        integer per document. dtype: float32 or float16 storage. directory:
        where the store lives (must not exist or be empty); None keeps it in
        a private temporary directory. router_params: n_fine, n_coarse,
        max_kmeans_iter, ctop_r, as for `PyQorRouter.build`; n_fine, n_coarse
        and ctop_r left out (or None) are chosen from the collection's size
        (see `_defaults`).
        """
        params = _router_params({k: v for k, v in router_params.items() if v is not None})
        dt = store_dtype(dtype)
        docs = _inputs.documents(vectors, doc_ids, doc_offsets, None, dt)
        dim = docs.matrix.shape[1]
        if len(docs.matrix) < 2:
            raise ValueError(f"training the codebook needs at least 2 vectors, got {len(docs.matrix)}")
        if dim < 1:
            raise ValueError("vectors must have at least one column")
        params = {**_defaults.router_params(len(docs.matrix), docs.count, dim)._asdict(), **params}
        router = PyQorRouter(dim)
        router.build(docs.matrix, list(range(docs.count)), docs.pairs, **params)
        store = _new_store(dim, dt, directory)
        try:
            store.append(docs.rows, docs.lengths, docs.ids)
        except BaseException:
            store.discard()
            raise
        return cls(router, store)

    @classmethod
    def from_codebook(
        cls,
        codebook: str | os.PathLike[str] | bytes,
        *,
        dtype: object = "float32",
        directory: str | os.PathLike[str] | None = None,
    ) -> Retriever:
        """An empty retriever around a trained codebook: `codebook` is the
        path to, or the bytes of, a router state file without documents.
        Documents then come in through `add`."""
        dt = store_dtype(dtype)
        if isinstance(codebook, (bytes, bytearray, memoryview)):
            data = bytes(codebook)
            with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
                path = Path(tmp) / "codebook.qor"
                path.write_bytes(data)
                router = _load_router(path)
        else:
            path = Path(os.fspath(codebook))
            router = _load_router(path)
            data = path.read_bytes()
        summary = _native.read_state(data)
        if summary["holds_documents"]:
            raise ValueError(f"codebook state must hold no documents; it holds {router.n_docs()}")
        return cls(router, _new_store(summary["dim"], dt, directory))

    # -- properties ---------------------------------------------------------

    @property
    def router(self) -> PyQorRouter:
        """The router; its document ids are document indices."""
        return self._router

    @property
    def store(self) -> VectorStore:
        return self._store

    @property
    def dim(self) -> int:
        return self._store.dim

    @property
    def n_docs(self) -> int:
        return self._store.n_docs

    @property
    def dtype(self) -> np.dtype:
        return self._store.dtype

    @property
    def doc_ids(self) -> np.ndarray:
        """(n_docs,) uint64 caller ids, by document index."""
        return self._store.ids

    # -- indexing -----------------------------------------------------------

    def add(self, vectors: Any, doc_ids: Any, doc_offsets: Any = None) -> None:
        """Appends documents (same input forms as `build`), encoded with the
        existing codebook. All or nothing: on failure neither the router nor
        the store changes."""
        self._check_open()
        docs = _inputs.documents(vectors, doc_ids, doc_offsets, self.dim, self.dtype)
        base = self._store.n_docs
        # The store goes first because it can be rolled back; the router
        # cannot drop documents once added.
        self._store.append(docs.rows, docs.lengths, docs.ids)
        try:
            self._router.add_documents(docs.matrix, list(range(base, base + docs.count)), docs.pairs)
        except BaseException:
            self._store.truncate(base)
            raise

    # -- queries ------------------------------------------------------------

    def search(
        self, query: Any, k: int = 10, *, n_probes: int | None = None, candidates: int | None = None
    ) -> list[Hit]:
        """Exact MaxSim top-k among the router's first `candidates`
        candidates: [(doc_id, score), ...], best first, equal scores by
        lower document index first. See `maxsim` for the score. n_probes
        and candidates left as None are chosen from the collection's size
        (see `_defaults`)."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        k, n_probes, candidates = self._search_counts(k, n_probes, candidates)
        return self._search(q, k, n_probes, candidates)

    def search_batch(
        self, queries: Sequence[Any], k: int = 10, *, n_probes: int | None = None, candidates: int | None = None
    ) -> list[list[Hit]]:
        """`search` for each query in turn (all are checked first)."""
        self._check_open()
        qs = [_inputs.query_matrix(q, self.dim) for q in queries]
        k, n_probes, candidates = self._search_counts(k, n_probes, candidates)
        return [self._search(q, k, n_probes, candidates) for q in qs]

    def _search_counts(self, k: Any, n_probes: Any, candidates: Any) -> tuple[int, int, int]:
        chosen = _defaults.search_params(self._store.n_rows, self.n_docs, self.dim)
        return _counts(
            k,
            chosen.n_probes if n_probes is None else n_probes,
            chosen.candidates if candidates is None else candidates,
        )

    def route_query(self, query: Any, n_probes: int = 4, max_candidates: int = 500) -> list[Hit]:
        """The router's candidates with their proxy scores, best first, with
        the caller's document ids."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        n_probes = _inputs.count(n_probes, "n_probes")
        max_candidates = _inputs.count(max_candidates, "max_candidates")
        routed = self._router.route_query(q, n_probes, max_candidates)
        docs = self._doc_indices(routed)
        ids = self._store.ids[docs]
        return [(int(i), score) for i, (_, score) in zip(ids, routed)]

    def rerank(self, query: Any, docs: Any = None, k: int = 10) -> list[Hit]:
        """Exact MaxSim top-k among the documents with indices `docs`
        (None: every document, an exact scan of the whole collection)."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        k = _inputs.count(k, "k")
        if docs is None:
            idx = np.arange(self.n_docs, dtype=np.int64)
        else:
            idx = np.asarray(docs)
            if idx.size == 0:
                idx = idx.astype(np.int64)
            if idx.ndim != 1 or idx.dtype.kind not in "iu":
                raise ValueError("docs must be a 1-D sequence of document indices")
            idx = idx.astype(np.int64)
            bad = (idx < 0) | (idx >= self.n_docs)
            if bad.any():
                raise ValueError(f"document index {int(idx[bad][0])} is outside 0..{self.n_docs - 1}")
        return self._rerank(q, idx, k)

    def _search(self, q: np.ndarray, k: int, n_probes: int, candidates: int) -> list[Hit]:
        if k == 0 or len(q) == 0 or self.n_docs == 0:
            return []
        routed = self._router.route_query(q, n_probes, candidates)
        return self._rerank(q, self._doc_indices(routed), k)

    def _doc_indices(self, routed: list[tuple[int, float]]) -> np.ndarray:
        docs = np.fromiter((d for d, _ in routed), dtype=np.int64, count=len(routed))
        if len(docs) and docs.max() >= self.n_docs:
            raise RuntimeError(
                f"router returned document {docs.max()} but the store holds {self.n_docs};"
                " the router's document ids must be document indices"
            )
        return docs

    def _rerank(self, q: np.ndarray, docs: np.ndarray, k: int) -> list[Hit]:
        if k == 0 or len(docs) == 0:
            return []
        docs = np.unique(docs)  # ascending: reads the store in order
        scores = exact_scores(self._store, q, docs)
        pick = top_k(scores, docs, k)
        ids = self._store.ids[docs[pick]]
        return [(int(i), float(s)) for i, s in zip(ids, scores[pick])]

    # -- persistence --------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Writes the router's state file, the vector store and a manifest
        into `directory`, replacing it whole: a crash at any point leaves
        the previous directory or the complete new one. An existing
        `directory` must be empty, a saved retriever, or this retriever's
        own store directory."""
        self._check_open()
        target = Path(os.path.abspath(os.fspath(directory)))
        own = self._store.directory is not None and _same_path(target, self._store.directory)
        if target.exists() and not own:
            _check_replaceable(target)

        def fill(staging: Path) -> None:
            router_path = staging / ROUTER_FILE
            self._router.save(str(router_path))
            _files.sync_file(router_path)
            files = {
                "router": {
                    "name": ROUTER_FILE,
                    "bytes": router_path.stat().st_size,
                    "sha256": _files.file_digest(router_path),
                }
            }
            files.update(self._store.write(staging))
            manifest = {
                "format": FORMAT_NAME,
                "version": FORMAT_VERSION,
                "dim": self.dim,
                "dtype": self.dtype.name,
                "n_docs": self.n_docs,
                "n_rows": self._store.n_rows,
                "files": files,
            }
            # Written last: a directory without a manifest never loads.
            with open(staging / MANIFEST_FILE, "x", encoding="utf-8") as f:
                json.dump(manifest, f, indent=1)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())

        _files.replace_directory(target, fill)
        if own and self._store.is_working:
            # The working files were replaced by the saved copy, which must
            # never be appended to: read it from now on (a later `add` copies
            # it to a private working directory first).
            old, self._store = self._store, VectorStore.open(target)
            old.close()

    @classmethod
    def load(cls, directory: str | os.PathLike[str], *, mmap: bool = True, verify: bool = True) -> Retriever:
        """Opens a directory written by `save`. The manifest is checked
        against the files (names, sizes, and with verify=True their SHA-256
        digests) and a mismatch is refused with ValueError. mmap=True maps
        the vectors (read from the page cache as queries need them);
        mmap=False reads them into memory. Every file comes from the same
        version of `directory`, also when a save replaces it meanwhile. A
        later `add` never writes into `directory`: it first copies the store
        to a private directory."""
        path = Path(os.fspath(directory))
        where = f"cannot load {str(path)!r}"
        manifest, files = _open_saved(path)
        try:
            for role, entry in manifest["files"].items():
                size = os.fstat(files[role].fileno()).st_size
                if size != entry["bytes"]:
                    raise ValueError(f"{where}: {entry['name']} has {size} bytes; the manifest says {entry['bytes']}")
                if verify and _files.stream_digest(files[role]) != entry["sha256"]:
                    raise ValueError(f"{where}: {entry['name']} does not match its SHA-256 digest")
            try:
                arrays = {VECTORS: files["vectors"], OFFSETS: files["offsets"], IDS: files["ids"]}
                store = VectorStore.from_files(arrays, path, mmap=mmap)
            except ValueError as exc:
                raise ValueError(f"{where}: {exc}") from None
            found = {"dim": store.dim, "dtype": store.dtype.name, "n_docs": store.n_docs, "n_rows": store.n_rows}
            for key, value in found.items():
                if manifest[key] != value:
                    store.close()
                    raise ValueError(f"{where}: the store has {key} {value}; the manifest says {manifest[key]}")
            try:
                return cls(_load_router_file(files["router"]), store)
            except ValueError as exc:
                store.close()
                raise ValueError(f"{where}: {exc}") from None
        finally:
            for f in files.values():
                f.close()

    # -- lifetime -----------------------------------------------------------

    def close(self) -> None:
        """Releases the store (a private store directory is removed). The
        retriever cannot be used afterwards; closing twice is harmless."""
        if not self._closed:
            self._closed = True
            self._store.close()

    def __enter__(self) -> Retriever:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self.n_docs} documents, dim {self.dim}, {self.dtype.name}"
        return f"<Retriever {state}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("retriever is closed")


def exact_scores(store: VectorStore, query: np.ndarray, docs: np.ndarray) -> np.ndarray:
    """MaxSim scores (float32, see `maxsim`) of documents `docs` (int64
    indices) for `query` ((Q, dim) float32), read straight from the store's
    (memory-mapped) rows by the native core: no gathered copy, no BLAS."""
    return maxsim.scores(query, store.vectors, store.offsets, docs)


def read_manifest(path: Path) -> dict:
    """The manifest of a saved retriever, checked for form."""
    dir_fd = _open_directory(path)
    try:
        return _read_manifest_at(path, dir_fd)
    except OSError as exc:
        raise ValueError(f"cannot load {str(path)!r}: no readable {MANIFEST_FILE} ({exc.strerror})") from None
    finally:
        os.close(dir_fd)


def _open_directory(path: Path) -> int:
    """A descriptor of the directory of a saved retriever."""
    where = f"cannot load {str(path)!r}"
    try:
        return os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as exc:
        if exc.errno not in (errno.ENOENT, errno.ENOTDIR):
            raise ValueError(f"{where}: cannot open the directory ({exc.strerror})") from None
    msg = f"{where}: not a directory"
    leftovers = sorted(path.parent.glob(f".{path.name}.old-*/previous"))
    if leftovers:
        msg += f"; an interrupted save left the previous version in {str(leftovers[-1])!r}"
    raise ValueError(msg)


def _read_manifest_at(path: Path, dir_fd: int) -> dict:
    """The manifest in the directory `path`, open as `dir_fd`, checked for
    form. Raises OSError when there is no file to read."""
    where = f"cannot load {str(path)!r}"
    try:
        with _files.open_member(dir_fd, MANIFEST_FILE) as f:
            data = f.read()
    except _files.NotRegularFile:
        raise ValueError(f"{where}: {MANIFEST_FILE} is not a regular file") from None
    try:
        manifest = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise ValueError(f"{where}: {MANIFEST_FILE} is not valid UTF-8 ({exc})") from None
    except ValueError as exc:
        raise ValueError(f"{where}: {MANIFEST_FILE} is not valid JSON ({exc})") from None
    except RecursionError:
        raise ValueError(f"{where}: {MANIFEST_FILE} is not valid JSON (nested too deeply)") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise ValueError(f"{where}: {MANIFEST_FILE} does not describe a saved retriever")
    if manifest.get("version") != FORMAT_VERSION:
        raise ValueError(f"{where}: format version {manifest.get('version')!r}; this package reads {FORMAT_VERSION}")
    expected = {"router": ROUTER_FILE, "vectors": VECTORS, "offsets": OFFSETS, "ids": IDS}
    files: Any = manifest.get("files")
    ok = isinstance(files, dict) and set(files) == set(expected)
    ok = ok and all(
        isinstance(files[r], dict)
        and files[r].get("name") == name
        and type(files[r].get("bytes")) is int
        and isinstance(files[r].get("sha256"), str)
        for r, name in expected.items()
    )
    ok = ok and all(type(manifest.get(key)) is int for key in ("dim", "n_docs", "n_rows"))
    ok = ok and isinstance(manifest.get("dtype"), str)
    if not ok:
        raise ValueError(f"{where}: {MANIFEST_FILE} lacks fields or names unexpected files")
    return manifest


def _open_saved(path: Path) -> tuple[dict, dict[str, BufferedReader]]:
    """The manifest of the saved retriever in `path` and its files by role,
    open, all from one version of the directory.

    Every file is opened through one descriptor of the directory, so a save
    that swaps in a new version meanwhile cannot mix versions: what was
    opened stays readable even once that save removes the version it
    replaced. A file found missing because of such a removal means the
    directory was replaced, and opening starts over on the new version.
    """
    where = f"cannot load {str(path)!r}"
    for _ in range(OPEN_ATTEMPTS):
        dir_fd = _open_directory(path)
        files: dict[str, BufferedReader] = {}
        done = False
        try:
            try:
                manifest = _read_manifest_at(path, dir_fd)
            except OSError as exc:
                if _replaced(path, dir_fd):
                    continue
                raise ValueError(f"{where}: no readable {MANIFEST_FILE} ({exc.strerror})") from None
            for role, entry in manifest["files"].items():
                try:
                    files[role] = _files.open_member(dir_fd, entry["name"])
                except _files.NotRegularFile:
                    raise ValueError(f"{where}: {role} file {entry['name']} is not a regular file") from None
                except OSError as exc:
                    if _replaced(path, dir_fd):
                        break
                    raise ValueError(f"{where}: {role} file {entry['name']} is missing ({exc.strerror})") from None
            else:
                done = True
                return manifest, files
        finally:
            os.close(dir_fd)
            if not done:
                for f in files.values():
                    f.close()
    raise ValueError(f"{where}: the directory was replaced while it was opened, {OPEN_ATTEMPTS} times in a row")


def _replaced(path: Path, dir_fd: int) -> bool:
    """Whether `path` no longer names the directory open as `dir_fd`."""
    try:
        now, then = os.stat(path), os.fstat(dir_fd)
    except OSError:
        return True
    return (now.st_dev, now.st_ino) != (then.st_dev, then.st_ino)


def _load_router_file(f: BufferedReader) -> PyQorRouter:
    """The router whose state file is open as `f`. The module reads state
    files by path, so it is given the path of this very file under
    /proc/self/fd, which stays right even when the file has been renamed or
    removed since it was opened. Without /proc the file is copied to a
    private temporary file first."""
    proc = _FD_DIR / str(f.fileno())
    if proc.exists():
        return _load_router(proc)
    with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
        copy = Path(tmp) / ROUTER_FILE
        f.seek(0)
        with open(copy, "xb") as out:
            shutil.copyfileobj(f, out)
        return _load_router(copy)


def _load_router(path: Path) -> PyQorRouter:
    router = PyQorRouter(0)
    router.load(str(path))
    return router


def _new_store(dim: int, dtype: np.dtype, directory: str | os.PathLike[str] | None) -> VectorStore:
    if directory is None:
        return VectorStore.temporary(dim, dtype)
    return VectorStore.create(os.fspath(directory), dim, dtype)


def _router_params(params: dict[str, Any]) -> dict[str, int]:
    for name in params:
        if name not in ROUTER_PARAMS:
            raise TypeError(f"build() got an unexpected keyword argument {name!r}")
    return {name: _inputs.count(value, name) for name, value in params.items()}


def _counts(k: Any, n_probes: Any, candidates: Any) -> tuple[int, int, int]:
    return _inputs.count(k, "k"), _inputs.count(n_probes, "n_probes"), _inputs.count(candidates, "candidates")


def _same_path(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_replaceable(target: Path) -> None:
    """Saving replaces the target whole, so it must hold nothing but a
    previous save (or nothing at all)."""
    if not target.is_dir():
        raise ValueError(f"cannot save to {str(target)!r}: it exists and is not a directory")
    if not any(target.iterdir()):
        return
    try:
        read_manifest(target)
    except ValueError:
        raise ValueError(
            f"cannot save to {str(target)!r}: it is neither empty nor a saved retriever, so it is not replaced"
        ) from None
