"""End-to-end late-interaction search: candidates from the router and from
the token codes, scored on the codes, and the best of them reranked by exact
MaxSim over the documents' stored token vectors."""

from __future__ import annotations

import errno
import json
import logging
import os
import re
import shutil
import signal
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from functools import update_wrapper
from io import BufferedReader
from pathlib import Path
from typing import Any, Concatenate, Literal, ParamSpec, TypeVar

import numpy as np

from nuvaris_qor_router import PyQorRouter

from . import _defaults, _files, _inputs, _native, maxsim
from ._progress import Progress
from .codebook import strip_documents
from .codes import (
    QUANTISER_SAMPLE,
    QUANTISER_SEED,
    CodeStore,
    quantiser_argument,
    read_quantiser,
    state_centroids,
)
from .maxsim import top_k, unique_docs
from .store import IDS, OFFSETS, VECTORS, VectorStore, document_rows, store_dtype

ROUTER_FILE = "router.qor"
MANIFEST_FILE = "manifest.json"
FORMAT_NAME = "nuvaris_qor_search.retriever"
REMOVED_FILE = "removed.npy"
# The token codes: each vector's fine code, its quantised residual, and the
# quantiser (see `codes`); the centroids are the router's.
CODE_FILES = {"codes_fine": "codes_fine.npy", "codes_residual": "codes_residual.npy",
              "codes_quantiser": "codes_quantiser.npy"}
# Version 2 adds removed documents (an optional "removed" file) and string
# ids; version 3 adds the token codes and stores without vectors. A save
# writes the lowest version that holds what it saves.
FORMAT_VERSION = 3
# Residual bits per dimension of the codes `build` makes unless told: 2
# beside the float store (the exact rerank restores the order at the top),
# 4 without it, where the codes' scores are the answer (2 bits hold about
# 0.8 of the exact top 10 there, 4 bits over 0.9).
CODE_BITS = 2
CODE_BITS_WITHOUT_VECTORS = 4
# Query rows at least this similar (cosine) are ranked as one summed row.
GROUP_COSINE = 0.9
_ALL_COSINES_ROWS = 1024  # a rows x rows float64 matrix of up to 8 MiB
_LIST_ROWS = 64  # up to here the grouping loop runs over Python lists
log = logging.getLogger("nuvaris_qor_search")
# Loading starts over when a save replaces the directory while its files
# are being opened; this many times in a row, it gives up.
OPEN_ATTEMPTS = 5
# Where this process's open files can be opened again by path.
_FD_DIR = Path("/proc/self/fd")

DocId = int | str
Hit = tuple[DocId, float]
_P = ParamSpec("_P")
_R = TypeVar("_R")


def _exclusive(method: Callable[Concatenate[Retriever, _P], _R]) -> Callable[Concatenate[Retriever, _P], _R]:
    """Runs a method under the retriever's lock: a method that changes the
    documents replaces the router, store and codes in several steps, and a
    search from another thread must see them before or after, never half
    way (where it would fail, or read a store file being rewritten)."""

    def locked(self: Retriever, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
        with self._lock:
            return method(self, *args, **kwargs)

    update_wrapper(locked, method)  # its name, docstring and signature
    return locked


@contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds Ctrl-C (SIGINT) back until the block ends, then delivers it to
    the handler it would have reached: for steps that change several files
    and fields that must end up agreeing. Python runs signal handlers in the
    main thread only, so elsewhere (or under a handler installed outside
    Python) this does nothing."""
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield
        return
    held: list[int] = []
    before = signal.signal(signal.SIGINT, lambda signum, _frame: held.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)
        if held:
            signal.raise_signal(signal.SIGINT)


def router_dim(router: PyQorRouter) -> int:
    """The vector width of a ready router, read from its state by the native
    core (the class has no accessor for it). This saves the router to a
    temporary file, so it costs a save; `Retriever` calls it only to name
    the width in an error message."""
    return int(_native.read_state(router_state(router))["dim"])


def _accepts_width(router: PyQorRouter, dim: int) -> bool:
    """Whether a ready router takes queries of `dim` columns: it accepts a
    query of no rows exactly when the width is its own."""
    try:
        router.route_query(np.empty((0, dim), np.float32))
    except ValueError:
        return False
    return True


class Retriever:
    """A `PyQorRouter` plus the documents' token vectors and their codes:
    `search` finds candidates (the router's and the codes' token lists),
    scores them on the codes (approximate MaxSim) and returns the exact
    MaxSim top-k among the best of them.

    The codes (`codes`, a `CodeStore`) keep each vector as its fine centroid
    and its residual at a few bits per dimension, about 34 bytes at 128
    dimensions; the float store (`store`) stays memory-mapped and only the
    final few candidates are read from it. Built with keep_vectors=False a
    retriever keeps the codes only (4 bits per dimension unless told, 66
    bytes at 128 dimensions), and its scores are approximate. Without
    codes (code_bits=None, or a directory saved before they existed) search
    reranks the router's candidates exactly.

    Documents are numbered 0, 1, 2, ... in the order they are indexed (build
    first, then each `add`); that number is the id the router itself holds,
    while the caller's ids live in the store. Caller ids are either all
    integers (0 .. 2**64-1) or all strings, and may repeat: a method given
    an id acts on every document that has it. Methods that return documents
    return the caller's ids.

    `remove` masks documents: they stay in the router and the store but
    never appear in a result, until `compact` drops them.

    Threads may share a retriever: its methods take turns on one lock, so
    a search that runs while another thread adds, updates, removes or
    compacts sees the documents before or after that change, never part
    of it. (The native scoring holds the interpreter lock, so searches do
    not run in parallel in any case.) Arrays taken from `store` or
    `doc_ids` stay readable after a change but describe the documents as
    they were.
    """

    def __init__(
        self,
        router: PyQorRouter,
        store: VectorStore,
        removed: np.ndarray | None = None,
        codes: CodeStore | None = None,
    ) -> None:
        """Pairs a ready router whose document ids are the document indices
        0 .. n-1 with a store of the same n documents and width; `removed`
        marks the documents that are masked (default: none); `codes` holds
        the same documents' codes on the router's codebook (required when
        the store keeps no vectors)."""
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
        if codes is not None:
            _check_codes(codes, store, router)
        elif not store.keeps_vectors:
            raise ValueError("a store without vectors needs codes")
        if removed is None:
            removed = np.zeros(store.n_docs, bool)
        elif removed.shape != (store.n_docs,) or removed.dtype != np.bool_:
            raise ValueError(
                f"removed must be a ({store.n_docs},) bool array, got {removed.dtype.name} of shape {removed.shape}"
            )
        self._router: PyQorRouter = router
        self._store: VectorStore = store
        self._removed: np.ndarray = np.array(removed, bool)
        self._n_removed = int(self._removed.sum())
        self._by_id: tuple[np.ndarray, np.ndarray] | None = None  # (order, sorted ids), built when needed
        self._codes: CodeStore | None = codes
        self._closed = False
        self._lock = threading.RLock()

    # -- construction -------------------------------------------------------

    @classmethod
    def build(
        cls,
        vectors: Any,
        doc_ids: Any,
        doc_offsets: Any = None,
        *,
        n_fine: int | None = None,
        n_coarse: int | None = None,
        max_kmeans_iter: int = 30,
        ctop_r: int | None = None,
        dtype: object = "float32",
        directory: str | os.PathLike[str] | None = None,
        code_bits: int | Literal["auto"] | None = "auto",
        keep_vectors: bool = True,
        show_progress: bool | None = None,
    ) -> Retriever:
        """Trains a router on `vectors` and stores the documents.

        vectors: an (N, D) float matrix with `doc_offsets` [(start, end), ...]
        (rows outside every range only train the codebook), or a list of
        per-document (n_i, D) arrays with doc_offsets=None. doc_ids: one id
        per document, all integers or all strings. n_fine, n_coarse,
        max_kmeans_iter, ctop_r: as for `PyQorRouter.build` (n_fine and
        n_coarse at least 1). dtype: float32 or float16 storage. directory:
        where the store lives (must not exist or be empty); None keeps it in
        a private temporary directory. code_bits: residual bits per
        dimension of the token codes (1, 2 or 4; None: no codes, search
        reranks the router's candidates exactly; "auto": 2, or 4 with
        keep_vectors=False); the quantiser is trained on a seeded sample of
        `vectors`. keep_vectors=False keeps the codes only: no float store,
        and every score is then the approximate MaxSim on the codes.
        show_progress: draw progress bars on stderr (None: when stderr is a
        terminal). n_fine, n_coarse and ctop_r left as None are
        chosen from the collection's size (see `_defaults`).
        """
        # The caller's values are checked before the documents (None stands
        # in as a valid count until the collection's size chooses it).
        _inputs.build_params(1 if n_fine is None else n_fine, 1 if n_coarse is None else n_coarse,
                             max_kmeans_iter, 0 if ctop_r is None else ctop_r)
        dt = store_dtype(dtype)
        code_bits = _code_bits(code_bits, keep_vectors)
        docs = _inputs.training_documents(vectors, doc_ids, doc_offsets, dt)
        dim = docs.matrix.shape[1]
        chosen = _defaults.router_params(len(docs.matrix), docs.count, dim)
        params = _inputs.build_params(
            chosen.n_fine if n_fine is None else n_fine,
            chosen.n_coarse if n_coarse is None else n_coarse,
            max_kmeans_iter,
            chosen.ctop_r if ctop_r is None else ctop_r,
        )
        with Progress("build", show_progress) as progress:
            router = PyQorRouter(dim)
            with progress.router_step(f"training the router on {len(docs.matrix)} vectors"):
                router.build(docs.matrix, list(range(docs.count)), docs.pairs, **params)
            codes = None
            if code_bits is not None:
                with progress.router_step(f"training the {code_bits}-bit residual quantiser"):
                    codes = CodeStore.train(router_state(router), docs.matrix, bits=code_bits)
                with progress.router_step(f"encoding {len(docs.rows)} vectors as codes"):
                    codes = codes.extended(*codes.encode(docs.rows), docs.lengths)
            store = _new_store(dim, dt, directory, keep_vectors)
            progress.step(f"storing {docs.count} documents", len(docs.rows), "vectors")
            try:
                store.append(docs.rows, docs.lengths, docs.ids, progress.advance)
            except BaseException:
                store.discard()
                raise
        return cls(router, store, codes=codes)

    @classmethod
    def from_codebook(
        cls,
        codebook: str | os.PathLike[str] | bytes,
        *,
        dtype: object = "float32",
        directory: str | os.PathLike[str] | None = None,
        quantiser: str | os.PathLike[str] | bytes | None = None,
        keep_vectors: bool = True,
    ) -> Retriever:
        """An empty retriever around a trained codebook: `codebook` is the
        path to, or the bytes of, a router state file without documents.
        `quantiser`: the path to, or the bytes of, a residual quantiser
        trained for this codebook (`codes.train_quantiser`); with it every
        document added is also kept as codes, without it search reranks the
        router's candidates exactly. keep_vectors=False (needs a quantiser)
        keeps the codes only. Documents then come in through `add`."""
        dt = store_dtype(dtype)
        quantiser_data = quantiser_argument(quantiser, keep_vectors)
        if isinstance(codebook, (bytes, bytearray, memoryview)):
            data = bytes(codebook)
            router = _router_from_bytes(data)
        else:
            path = Path(os.fspath(codebook))
            router = _load_router(path)
            data = path.read_bytes()
        summary = _native.read_state(data)
        if summary["holds_documents"]:
            raise ValueError(f"codebook state must hold no documents; it holds {router.n_docs()}")
        codes = None if quantiser_data is None else CodeStore.from_quantiser(data, quantiser_data)
        return cls(router, _new_store(summary["dim"], dt, directory, keep_vectors), codes=codes)

    # -- properties ---------------------------------------------------------

    @property
    def router(self) -> PyQorRouter:
        """The router; its document ids are document indices (removed
        documents included until `compact`)."""
        return self._router

    @property
    def store(self) -> VectorStore:
        return self._store

    @property
    def codes(self) -> CodeStore | None:
        """The documents' token codes (removed documents included until
        `compact`), or None for a retriever without codes."""
        return self._codes

    @property
    def keeps_vectors(self) -> bool:
        """Whether the float vectors are kept (otherwise scores are
        approximate, from the codes)."""
        return self._store.keeps_vectors

    @property
    def dim(self) -> int:
        return self._store.dim

    @property
    @_exclusive
    def n_docs(self) -> int:
        """The number of documents, not counting removed ones."""
        return self._store.n_docs - self._n_removed

    def __len__(self) -> int:
        return self.n_docs

    @property
    def n_removed(self) -> int:
        """Removed documents whose slots `compact` has not reclaimed yet."""
        return self._n_removed

    @property
    def dtype(self) -> np.dtype:
        return self._store.dtype

    @property
    @_exclusive
    def doc_ids(self) -> np.ndarray:
        """The caller ids by document index (uint64, or unicode strings),
        removed documents included until `compact`."""
        return self._store.ids

    @property
    @_exclusive
    def removed(self) -> np.ndarray:
        """(store.n_docs,) bool: which documents are removed (a copy)."""
        return self._removed.copy()

    # -- indexing -----------------------------------------------------------

    @_exclusive
    def add(self, vectors: Any, doc_ids: Any, doc_offsets: Any = None, *, show_progress: bool | None = None) -> None:
        """Appends documents (same input forms as `build`), encoded with the
        existing codebook. All or nothing: on failure neither the router nor
        the store changes. The ids must be of the kind this retriever
        holds (integers or strings). A loaded retriever first copies its
        store to a private directory (see `load`'s workdir)."""
        self._check_open()
        docs = _inputs.documents(vectors, doc_ids, doc_offsets, self.dim, self.dtype)
        self._check_id_kind(docs.ids)
        with Progress("add", show_progress) as progress:
            self._add(docs, progress)

    def _add(self, docs: _inputs.Documents, progress: Progress) -> None:
        base = self._store.n_docs
        codes = None
        if self._codes is not None:
            # Encoded before anything changes: nothing that can fail is left
            # once the router has the documents.
            with progress.router_step(f"encoding {len(docs.rows)} vectors as codes"):
                codes = self._codes.extended(*self._codes.encode(docs.rows), docs.lengths)
        if not self._store.is_working:
            progress.step("copying the store to a private directory", self._store.n_rows, "vectors")
            self._store.make_working(progress.advance)
        # The store goes first because it can be rolled back; the router
        # cannot drop documents once added.
        progress.step(f"storing {docs.count} documents", len(docs.rows), "vectors")
        self._store.append(docs.rows, docs.lengths, docs.ids, progress.advance)
        try:
            with progress.router_step(f"encoding {len(docs.matrix)} vectors"):
                self._router.add_documents(docs.matrix, list(range(base, base + docs.count)), docs.pairs)
        except BaseException:
            self._store.truncate(base)
            raise
        self._removed = np.concatenate([self._removed, np.zeros(docs.count, bool)])
        self._codes = codes
        self._by_id = None

    @_exclusive
    def remove(self, doc_ids: Any) -> int:
        """Removes every document that has one of `doc_ids`; returns how
        many were removed. An id that no document (still) has is refused
        with ValueError before anything changes."""
        self._check_open()
        found = self._locate(_inputs.ids(doc_ids))
        self._removed[found] = True
        self._n_removed = int(self._removed.sum())
        return len(np.unique(found))

    @_exclusive
    def update(
        self, doc_ids: Any, vectors: Any, doc_offsets: Any = None, *, show_progress: bool | None = None
    ) -> None:
        """Replaces the documents with `doc_ids` by new vectors (same input
        forms as `add`): the documents that have these ids are removed and
        the new ones added under the same ids. All or nothing; every id
        must be present."""
        self._check_open()
        docs = _inputs.documents(vectors, doc_ids, doc_offsets, self.dim, self.dtype)
        self._check_id_kind(docs.ids)
        old = self._locate(docs.ids)
        with Progress("update", show_progress) as progress:
            self._add(docs, progress)
        self._removed[old] = True
        self._n_removed = int(self._removed.sum())

    @_exclusive
    def compact(self, *, show_progress: bool | None = None) -> None:
        """Reclaims the slots of removed documents: the router is rebuilt
        from its codebook with the remaining documents (in their order) and
        the store drops the removed documents' vectors. Results do not
        change. All or nothing. Without a float store the router is given
        the vectors as the codes describe them (centroid plus levels), so
        its own candidates may shift slightly; scores do not change."""
        self._check_open()
        if self._n_removed == 0:
            return
        keep = np.flatnonzero(~self._removed).astype(np.int64)
        codes = None if self._codes is None else self._codes.subset(keep)
        with Progress("compact", show_progress) as progress:
            router = self._empty_router()
            rows = int((self._store.offsets[keep + 1] - self._store.offsets[keep]).sum())
            with progress.router_step(f"encoding {rows} vectors of {len(keep)} documents"):
                self._reindex(router, keep)
            progress.step(f"copying {len(keep)} documents", rows, "vectors")
            # A store in the caller's directory is rewritten in place, and
            # the router, codes and mask must follow it: a Ctrl-C half way
            # would leave the files part written, so it waits for the end.
            with _interrupts_held():
                self._store.keep_only(keep, progress.advance)
                self._router = router
                self._codes = codes
                self._removed = np.zeros(len(keep), bool)
                self._n_removed = 0
                self._by_id = None

    @_exclusive
    def build_codes(
        self, bits: int = CODE_BITS, *, sample: int = QUANTISER_SAMPLE, show_progress: bool | None = None
    ) -> None:
        """Makes the token codes of every stored document (replacing any):
        the quantiser is trained on a seeded sample of at most `sample`
        stored vectors, then the store is encoded a block of rows at a
        time. For retrievers saved without codes; needs the float store."""
        self._check_open()
        if _code_bits(bits, True) is None:
            raise ValueError("bits must be 1, 2 or 4, got None")
        sample = _inputs.positive(sample, "sample")
        store = self._store
        if not store.keeps_vectors:
            raise ValueError("this retriever keeps no vectors to encode")
        with Progress("codes", show_progress) as progress:
            rng = np.random.default_rng(QUANTISER_SEED)
            n = store.n_rows
            picked = np.sort(rng.choice(n, size=min(sample, n), replace=False)) if n else np.empty(0, np.int64)
            with progress.router_step(f"training the {bits}-bit residual quantiser"):
                train_rows = np.asarray(store.vectors[picked], np.float32) if n else np.zeros((1, self.dim), np.float32)
                codes = CodeStore.train(router_state(self._router), train_rows, bits=bits, sample=len(train_rows))
            progress.step(f"encoding {n} vectors as codes", n, "vectors")
            step = _files.chunk_rows(4 * self.dim)
            fine = np.empty(n, np.uint16)
            residual = np.empty((n, codes.residual.shape[1]), np.uint8)
            for lo in range(0, n, step):
                hi = min(n, lo + step)
                fine[lo:hi], residual[lo:hi] = codes.encode(store.vectors[lo:hi])
                progress.advance(hi - lo)
        self._codes = CodeStore(codes.centroids, codes.cuts, codes.levels, fine, residual, np.array(store.offsets))

    def _empty_router(self) -> PyQorRouter:
        """A router with this one's codebook and no documents."""
        with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
            path = Path(tmp) / ROUTER_FILE
            self._router.save(str(path))
            state = strip_documents(path.read_bytes())
        return _router_from_bytes(state)

    def _reindex(self, router: PyQorRouter, keep: np.ndarray) -> None:
        """Adds documents `keep` of the store to `router` as 0, 1, ...,
        a bounded block of rows at a time."""
        lengths = self._store.offsets[keep + 1] - self._store.offsets[keep]
        step = _files.chunk_rows(4 * self.dim)
        lo = 0
        while lo < len(keep):
            hi = lo + max(1, int(np.searchsorted(np.cumsum(lengths[lo:]), step, side="right")))
            rows, sizes = self._gather(keep[lo:hi])
            ends = np.cumsum(sizes)
            pairs = [(int(e - n), int(e)) for e, n in zip(ends, sizes, strict=True)]
            router.add_documents(rows, list(range(lo, hi)), pairs)
            lo = hi

    def _gather(self, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The rows of documents `docs` one after another and their counts:
        from the float store, or decoded from the codes without one."""
        if self._store.keeps_vectors or self._codes is None:
            return self._store.gather(docs)
        rows, sizes = document_rows(self._store.offsets, docs)
        return np.ascontiguousarray(self._codes.decode(rows)), sizes

    def _check_id_kind(self, ids: np.ndarray) -> None:
        if len(ids) == 0 or self._store.n_docs == 0:
            return
        if (ids.dtype.kind == "U") != self._store.string_ids:
            have, got = ("strings", "integers") if self._store.string_ids else ("integers", "strings")
            raise ValueError(f"doc_ids are {got}, but this retriever's ids are {have}")

    def _locate(self, ids: np.ndarray) -> np.ndarray:
        """The indices of the live documents that have any of `ids`, in
        ascending order; an id without one is refused."""
        if len(ids) == 0:
            return np.empty(0, np.int64)
        self._check_id_kind(ids)
        if self._by_id is None or len(self._by_id[0]) != self._store.n_docs:
            order = np.argsort(self._store.ids, kind="stable")
            self._by_id = (order, self._store.ids[order])
        order, sorted_ids = self._by_id
        if self._store.n_docs == 0:
            lo = hi = np.zeros(len(ids), np.int64)
        else:
            lo = np.searchsorted(sorted_ids, ids, side="left")
            hi = np.searchsorted(sorted_ids, ids, side="right")
        counts = hi - lo
        first = np.cumsum(counts) - counts
        docs = order[np.arange(int(counts.sum()), dtype=np.int64) + np.repeat(lo - first, counts)]
        owner = np.repeat(np.arange(len(ids)), counts)
        live = ~self._removed[docs]
        missing = np.flatnonzero(np.bincount(owner[live], minlength=len(ids)) == 0)
        if len(missing):
            raise ValueError(f"no document has id {ids[missing[0]].item()!r}")
        return unique_docs(docs[live].astype(np.int64))

    # -- queries ------------------------------------------------------------

    @_exclusive
    def search(
        self,
        query: Any,
        k: int = 10,
        *,
        n_probes: int | None = None,
        candidates: int | None = None,
        probe: int | None = None,
        rerank: int | None = None,
        shortlist: int | None = None,
    ) -> list[Hit]:
        """The top-k documents for `query`: [(doc_id, score), ...], best
        first, equal scores by lower document index first.

        Without codes: the exact MaxSim top-k among the router's first
        `candidates` candidates (its clusters searched with `n_probes`).
        With codes, three steps: the candidates are the router's first
        `candidates` and the documents holding a vector of one of each query
        row's `probe` nearest fine centroids; they are scored on their codes
        (approximate MaxSim, see `codes`); the best `rerank` are scored
        exactly and the top-k returned. rerank=0, or a retriever without
        vectors, returns the approximate scores. A nonzero `shortlist` first
        keeps only that many candidates, the best by their fine codes alone
        (each query row's largest similarity to a centroid of the document's
        vectors, summed), so that only those have their residual codes read
        (0: every candidate is scored on its codes). See `maxsim` for the
        exact score. Counts left as None are chosen from the collection's
        size and the query's rows (see `_defaults`)."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        counts = self._search_counts(len(q), k, n_probes, candidates, probe, rerank, shortlist)
        return self._search(q, counts)

    @_exclusive
    def search_batch(
        self,
        queries: Sequence[Any],
        k: int = 10,
        *,
        n_probes: int | None = None,
        candidates: int | None = None,
        probe: int | None = None,
        rerank: int | None = None,
        shortlist: int | None = None,
    ) -> list[list[Hit]]:
        """`search` for each query in turn (all are checked first; a bad
        query is named by its position)."""
        self._check_open()
        qs = _inputs.query_matrices(queries, self.dim)
        given = (k, n_probes, candidates, probe, rerank, shortlist)
        self._search_counts(1, *given)  # checks the caller's values first
        return [self._search(q, self._search_counts(len(q), *given)) for q in qs]

    def _search_counts(
        self, rows: int, k: Any, n_probes: Any, candidates: Any, probe: Any, rerank: Any, shortlist: Any = None
    ) -> _defaults.SearchCounts:
        chosen = _defaults.search_params(self._store.n_rows, self.n_docs, self.dim, rows, self._codes is not None)
        return _defaults.SearchCounts(
            _inputs.count(k, "k"),
            self._probes(_inputs.positive(chosen.n_probes if n_probes is None else n_probes, "n_probes")),
            _inputs.count(chosen.candidates if candidates is None else candidates, "candidates"),
            _inputs.count(chosen.probe if probe is None else probe, "probe"),
            _inputs.count(chosen.rerank if rerank is None else rerank, "rerank"),
            None if shortlist is None else _inputs.count(shortlist, "shortlist"),
        )

    def _probes(self, n_probes: int) -> int:
        """The caller's checked n_probes, cut to the coarse clusters: probing
        more probes them all, and a count beyond 64 bits would be refused by
        the router."""
        return min(n_probes, self._router.n_coarse())

    @_exclusive
    def route_query(self, query: Any, n_probes: int = 4, max_candidates: int = 500) -> list[Hit]:
        """The router's candidates with their proxy scores, best first, with
        the caller's document ids."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        n_probes = self._probes(_inputs.positive(n_probes, "n_probes"))
        max_candidates = _inputs.count(max_candidates, "max_candidates")
        docs, scores = self._route(q, n_probes, max_candidates)
        return list(zip(self._store.ids[docs].tolist(), scores, strict=True))

    @_exclusive
    def rerank(self, query: Any, docs: Any = None, k: int = 10) -> list[Hit]:
        """Exact MaxSim top-k among the documents with the caller ids
        `docs` (None: every document, an exact scan of the whole
        collection). A retriever without vectors scores them on the codes
        (approximate MaxSim)."""
        self._check_open()
        q = _inputs.query_matrix(query, self.dim)
        k = _inputs.count(k, "k")
        if docs is None:
            idx = np.flatnonzero(~self._removed).astype(np.int64)
        else:
            idx = self._locate(_inputs.ids(docs, "docs"))
        return self._rerank(q, idx, k)

    def _search(self, q: np.ndarray, counts: _defaults.SearchCounts) -> list[Hit]:
        k = counts.k
        if k == 0 or len(q) == 0 or self.n_docs == 0:
            return []
        routed = self._route(q, counts.n_probes, counts.candidates)[0]
        codes = self._codes
        if codes is None:
            return self._rerank(q, routed, k)
        rows, weights = group_rows(q)
        # A group of near-identical rows weighs in the score as often as it
        # has rows, so its candidates are searched that much wider, up to a
        # cap that never narrows the caller's own probe. A probe beyond the
        # centroids reads every list, so it is cut there first (a huge one
        # would overflow the product).
        probe = min(counts.probe, len(codes.centroids))
        probes = np.minimum(max(_defaults.MAX_TOKEN_PROBE, probe), probe * weights).astype(np.int64)
        # The grouped rows rank the candidates for the final step at the cost
        # of fewer rows; the best are then scored with every query row.
        skip = self._removed if self._n_removed else None
        shortlist = counts.shortlist
        if shortlist is None:
            shortlist = _defaults.shortlist(k, self.n_docs, self._store.keeps_vectors, int(weights.max()))
        # (There are never more candidates than documents: a larger shortlist
        # keeps them all, and a huge one would not fit the native count.)
        docs, ranked = codes.search(rows, probes, routed, skip, bool(counts.rerank), min(shortlist, self.n_docs))
        if ranked is None:
            return self._hits(docs, codes.scores(q, docs), k)
        if len(rows) == len(q) and not self._store.keeps_vectors:
            # No two rows were grouped, so these already are the scores the
            # final step would give (every query row, on the codes).
            return self._hits(docs, ranked, k)
        best = docs[top_k(ranked, docs, max(counts.rerank, k))]
        return self._rerank(q, best, k)

    def _route(self, q: np.ndarray, n_probes: int, limit: int) -> tuple[np.ndarray, list[float]]:
        """The first `limit` live candidates (document indices) and their
        proxy scores. The router is asked for as many more as there are
        removed documents, so that masking them still leaves `limit`."""
        if limit == 0:
            return np.empty(0, np.int64), []
        extra = self._n_removed
        routed = self._router.route_query(q, n_probes, min(limit, self._store.n_docs) + extra)
        docs = self._doc_indices(routed)
        scores = [s for _, s in routed]
        if extra:
            live = np.flatnonzero(~self._removed[docs])[:limit]
            return docs[live], [scores[i] for i in live.tolist()]
        return docs[:limit], scores[:limit]

    def _doc_indices(self, routed: list[tuple[int, float]]) -> np.ndarray:
        docs = np.fromiter((d for d, _ in routed), dtype=np.int64, count=len(routed))
        if len(docs) and docs.max() >= self._store.n_docs:
            raise RuntimeError(
                f"router returned document {docs.max()} but the store holds {self._store.n_docs};"
                " the router's document ids must be document indices"
            )
        return docs

    def _rerank(self, q: np.ndarray, docs: np.ndarray, k: int) -> list[Hit]:
        if k == 0 or len(docs) == 0:
            return []
        docs = unique_docs(docs)
        if self._store.keeps_vectors:
            scores = exact_scores(self._store, q, docs)
        else:
            assert self._codes is not None
            scores = self._codes.scores(q, docs)
        return self._hits(docs, scores, k)

    def _hits(self, docs: np.ndarray, scores: np.ndarray, k: int) -> list[Hit]:
        """The top-k of documents `docs` by `scores`, with caller ids."""
        pick = top_k(scores, docs, k)
        ids = self._store.ids[docs[pick]]
        return [(i, float(s)) for i, s in zip(ids.tolist(), scores[pick], strict=True)]

    # -- persistence --------------------------------------------------------

    @_exclusive
    def save(
        self, directory: str | os.PathLike[str], *, compact: bool = False, show_progress: bool | None = None
    ) -> None:
        """Writes the router's state file, the vector store and a manifest
        into `directory`, replacing it whole: a crash at any point leaves
        the previous directory or the complete new one. An existing
        `directory` must be empty, a saved retriever, or this retriever's
        own store directory. compact=True first reclaims removed documents
        (see `compact`); otherwise which documents are removed is saved
        too. Errors name `directory`."""
        self._check_open()
        target = Path(os.path.abspath(os.fspath(directory)))
        own = self._store.directory is not None and _same_path(target, self._store.directory)
        if target.exists() and not own:
            _check_replaceable(target)
        if compact:
            self.compact(show_progress=show_progress)
        with Progress("save", show_progress) as progress:
            try:
                _files.replace_directory(target, lambda staging: self._fill(staging, progress))
            except OSError as exc:
                if exc.errno is None:
                    raise
                raise type(exc)(exc.errno, f"cannot save to {str(target)!r}: {exc.strerror}") from None
            except ValueError as exc:
                raise ValueError(f"cannot save to {str(target)!r}: {_staging_free(str(exc), target)}") from None
        if own and self._store.is_working:
            # The working files were replaced by the saved copy, which must
            # never be appended to: read it from now on (a later `add` copies
            # it to a private working directory first).
            old = self._store
            if old.keeps_vectors:
                self._store = VectorStore.open(target)
            else:
                self._store = VectorStore.open(target, dim=old.dim, dtype=old.dtype)
            self._store.workdir = old.workdir
            old.close()

    def _fill(self, staging: Path, progress: Progress) -> None:
        """Writes the files of a saved retriever into `staging`."""
        router_path = staging / ROUTER_FILE
        with progress.router_step("writing the router state"):
            self._router.save(str(router_path))
        _files.sync_file(router_path)
        files = {
            "router": {
                "name": ROUTER_FILE,
                "bytes": router_path.stat().st_size,
                "sha256": _files.file_digest(router_path),
            }
        }
        store = self._store
        progress.step(f"writing {store.n_rows} vectors", store.n_rows * store.dim * store.dtype.itemsize, "B")
        files.update(store.write(staging, progress.advance))
        if self._n_removed:
            files["removed"] = _files.write_array(staging / REMOVED_FILE, self._removed, np.dtype("|b1"))
        codes = self._codes
        if codes is not None:
            progress.step(f"writing the codes of {len(codes)} vectors")
            files["codes_fine"] = _files.write_array(staging / CODE_FILES["codes_fine"], codes.fine, np.dtype("<u2"))
            files["codes_residual"] = _files.write_array(
                staging / CODE_FILES["codes_residual"], codes.residual, np.dtype("|u1")
            )
            quantiser = staging / CODE_FILES["codes_quantiser"]
            with open(quantiser, "xb") as f:
                f.write(codes.quantiser())
            _files.sync_file(quantiser)
            files["codes_quantiser"] = {
                "name": quantiser.name,
                "bytes": quantiser.stat().st_size,
                "sha256": _files.file_digest(quantiser),
            }
        # Version 1 readers know neither removed documents nor string ids;
        # version 2 readers know no codes and need the vectors.
        version = 3 if codes is not None or not store.keeps_vectors else 2 if self._n_removed or store.string_ids else 1
        manifest = {
            "format": FORMAT_NAME,
            "version": version,
            "dim": self.dim,
            "dtype": self.dtype.name,
            "n_docs": store.n_docs,
            "n_rows": store.n_rows,
            "files": files,
        }
        if codes is not None:
            manifest["code_bits"] = codes.bits
        # Written last: a directory without a manifest never loads.
        with open(staging / MANIFEST_FILE, "x", encoding="utf-8") as f:
            json.dump(manifest, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike[str],
        *,
        mmap: bool = True,
        verify: bool = True,
        workdir: str | os.PathLike[str] | None = None,
        show_progress: bool | None = None,
    ) -> Retriever:
        """Opens a directory written by `save`. The manifest is checked
        against the files (names, sizes, and with verify=True their SHA-256
        digests) and a mismatch is refused with ValueError. mmap=True maps
        the vectors (read from the page cache as queries need them);
        mmap=False reads them into memory. Every file comes from the same
        version of `directory`, also when a save replaces it meanwhile. A
        later `add` never writes into `directory`: it first copies the store
        to a private directory made in `workdir` (default: the system's
        temporary directory), removed on close, at exit and on SIGTERM."""
        path = Path(os.fspath(directory))
        where = f"cannot load {str(path)!r}"
        manifest, files = _open_saved(path)
        try:
            with Progress("load", show_progress) as progress:
                _check_saved_files(where, manifest, files, verify, progress)
                progress.step("opening the store")
                try:
                    arrays = {OFFSETS: files["offsets"], IDS: files["ids"]}
                    dtype = None
                    if "vectors" in files:
                        arrays[VECTORS] = files["vectors"]
                    else:
                        dtype = _saved_dtype(manifest["dtype"])
                    store = VectorStore.from_files(arrays, path, mmap=mmap, dim=manifest["dim"], dtype=dtype)
                    removed = _read_removed(files.get("removed"), store.n_docs)
                except ValueError as exc:
                    raise ValueError(f"{where}: {exc}") from None
                store.workdir = workdir
                found = {"dim": store.dim, "dtype": store.dtype.name, "n_docs": store.n_docs, "n_rows": store.n_rows}
                for key, value in found.items():
                    if manifest[key] != value:
                        store.close()
                        raise ValueError(f"{where}: the store has {key} {value}; the manifest says {manifest[key]}")
                try:
                    with progress.router_step("reading the router state"):
                        router = _load_router_file(files["router"])
                    codes = _read_codes(files, store, mmap, manifest) if "codes_fine" in files else None
                    if codes is None:
                        log.info(
                            "%s holds no token codes: search reranks the router's candidates exactly;"
                            " build_codes() makes them",
                            path,
                        )
                    return cls(router, store, removed, codes)
                except ValueError as exc:
                    store.close()
                    raise ValueError(f"{where}: {exc}") from None
        finally:
            for f in files.values():
                f.close()

    # -- lifetime -----------------------------------------------------------

    @_exclusive
    def close(self) -> None:
        """Releases the store (a private store directory is removed). The
        retriever cannot be used afterwards; closing twice is harmless."""
        if not self._closed:
            self._closed = True
            self._store.close()
            # The store now holds no documents, so none are removed either.
            self._removed = np.zeros(0, bool)
            self._n_removed = 0

    def __enter__(self) -> Retriever:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @_exclusive
    def __repr__(self) -> str:
        if self._closed:
            return "<Retriever closed>"
        kind = "string" if self._store.string_ids else "integer"
        removed = f" (+{self._n_removed} removed)" if self._n_removed else ""
        where = "in memory" if self._store.directory is None else f"in {str(self._store.directory)!r}"
        codes = "no codes" if self._codes is None else f"{self._codes.bits}-bit codes"
        floats = self.dtype.name if self._store.keeps_vectors else "no float store"
        return (
            f"<Retriever {self.n_docs} documents{removed}, {self._store.n_rows} vectors of dim {self.dim},"
            f" {floats}, {codes}, {kind} ids, {self._router.n_fine()} fine centroids, store {where}>"
        )

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("retriever is closed")


def group_rows(query: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The query's rows in groups of near-identical direction (cosine at
    least GROUP_COSINE to the group's first row, taken in row order): each
    group's rows summed into one row, and the group sizes.

    The dot product of a summed row with a vector is the sum of its rows'
    dot products, so the MaxSim of the summed rows is at most that of the
    query and equal to it when a group's rows share their best vector: a
    cheap stand-in to rank candidates by, with fewer rows. Padded queries
    (many [MASK] rows, or repeated rows) shrink to a few groups."""
    # Cosines in float64: products in another order (BLAS kernels differ
    # from machine to machine) move them by about 1e-16, not the 1e-7 of
    # float32, so a row lands in the same group everywhere but in contrived
    # cases. A long query takes each group's first row against the rows still
    # ungrouped, so it never holds a rows x rows matrix.
    q64 = query.astype(np.float64)
    norms = np.sqrt((q64 * q64).sum(axis=1))
    unit = q64 / np.where(norms > 0, norms, 1)[:, None]
    near = unit @ unit.T >= GROUP_COSINE if len(query) <= _ALL_COSINES_ROWS else None
    if near is not None and np.count_nonzero(near) == np.count_nonzero(near.diagonal()):
        # No two rows are near: each is its own group (the sum below, +0
        # plus the row, turns -0 into +0 and changes nothing else).
        return query + np.float32(0), np.ones(len(query), np.int64)
    firsts: list[int] = []
    if near is not None and len(query) <= _LIST_ROWS:
        # A short query's rows in plain Python lists: a few microseconds,
        # where a NumPy call per row costs more than the comparisons.
        flags, owner = near.tolist(), [-1] * len(query)
        for i in range(len(query)):
            if owner[i] < 0:
                row, g = flags[i], len(firsts)
                for j in range(i + 1, len(query)):
                    if owner[j] < 0 and row[j]:
                        owner[j] = g
                owner[i] = g
                firsts.append(i)
        group = np.array(owner, np.int64)
    else:
        group = np.full(len(query), -1, np.int64)
        for i in range(len(query)):
            if group[i] < 0:
                if near is not None:
                    group[(group < 0) & near[i]] = len(firsts)
                else:
                    rest = np.flatnonzero(group < 0)
                    group[rest[unit[rest] @ unit[i] >= GROUP_COSINE]] = len(firsts)
                group[i] = len(firsts)
                firsts.append(i)
    rows = np.zeros((len(firsts), query.shape[1]), np.float32)
    np.add.at(rows, group, query)
    return rows, np.bincount(group, minlength=len(firsts))


def exact_scores(store: VectorStore, query: np.ndarray, docs: np.ndarray) -> np.ndarray:
    """MaxSim scores (float32, see `maxsim`) of documents `docs` (int64
    indices) for `query` ((Q, dim) float32), read straight from the store's
    (memory-mapped) rows by the native core: no gathered copy, no BLAS."""
    return maxsim.scores(query, store.vectors, store.offsets, docs)


def read_manifest(path: Path) -> dict[str, Any]:
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
    msg = f"{where}: it does not exist" if not os.path.lexists(path) else f"{where}: not a directory"
    leftovers = sorted(path.parent.glob(f".{path.name}.old-*/previous"))
    if leftovers:
        msg += f"; an interrupted save left the previous version in {str(leftovers[-1])!r}"
    raise ValueError(msg)


def _read_manifest_at(path: Path, dir_fd: int) -> dict[str, Any]:
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
    if manifest.get("version") not in range(1, FORMAT_VERSION + 1):
        raise ValueError(
            f"{where}: format version {manifest.get('version')!r}; this package reads 1 to {FORMAT_VERSION}"
        )
    if not _manifest_form_ok(manifest):
        raise ValueError(f"{where}: {MANIFEST_FILE} lacks fields or names unexpected files")
    return manifest


def _manifest_form_ok(manifest: dict[str, Any]) -> bool:
    """Whether a manifest of a known version names exactly the files of a
    saved retriever and has every field."""
    expected = {"router": ROUTER_FILE, "offsets": OFFSETS, "ids": IDS}
    files: Any = manifest.get("files")
    listed = files if isinstance(files, dict) else {}
    version = manifest["version"]
    if version < 3 or "vectors" in listed:
        expected["vectors"] = VECTORS
    if version >= 2 and "removed" in listed:
        expected["removed"] = REMOVED_FILE
    if version >= 3 and any(role in listed for role in CODE_FILES):
        expected.update(CODE_FILES)
    ok = isinstance(files, dict) and set(files) == set(expected)
    # Something must hold the vectors: the float store or the codes.
    ok = ok and ("vectors" in expected or "codes_fine" in expected)
    ok = ok and ("codes_fine" not in expected or manifest.get("code_bits") in (1, 2, 4))
    ok = ok and all(
        isinstance(files[r], dict)
        and files[r].get("name") == name
        and type(files[r].get("bytes")) is int
        and isinstance(files[r].get("sha256"), str)
        for r, name in expected.items()
    )
    ok = ok and all(type(manifest.get(key)) is int for key in ("dim", "n_docs", "n_rows"))
    ok = ok and isinstance(manifest.get("dtype"), str)
    return ok


def _open_saved(path: Path) -> tuple[dict[str, Any], dict[str, BufferedReader]]:
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


def _new_store(
    dim: int, dtype: np.dtype, directory: str | os.PathLike[str] | None, keep_vectors: bool = True
) -> VectorStore:
    if directory is None:
        return VectorStore.temporary(dim, dtype, keep_vectors=keep_vectors)
    return VectorStore.create(os.fspath(directory), dim, dtype, keep_vectors=keep_vectors)


def _code_bits(bits: Any, keep_vectors: Any) -> int | None:
    """The caller's code_bits and keep_vectors, checked ("auto" chosen)."""
    if not isinstance(keep_vectors, bool):
        raise TypeError(f"keep_vectors must be True or False, got {keep_vectors!r}")
    if isinstance(bits, str) and bits == "auto":
        return CODE_BITS if keep_vectors else CODE_BITS_WITHOUT_VECTORS
    if bits is not None and (isinstance(bits, bool) or bits not in (1, 2, 4)):
        raise ValueError(f"code_bits must be 1, 2, 4, 'auto' or None, got {bits!r}")
    if bits is None and not keep_vectors:
        raise ValueError("keep_vectors=False needs codes: without vectors the codes are all that is kept")
    return None if bits is None else int(bits)


def _check_codes(codes: CodeStore, store: VectorStore, router: PyQorRouter) -> None:
    """Refuses codes that do not describe the store's documents on the
    router's codebook."""
    if not isinstance(codes, CodeStore):
        raise TypeError(f"codes must be a CodeStore, got {type(codes).__name__}")
    if codes.dim != store.dim or len(codes.centroids) != router.n_fine():
        raise ValueError(
            f"codes are for {len(codes.centroids)} centroids of dim {codes.dim}; the router has"
            f" {router.n_fine()} of dim {store.dim}"
        )
    if codes.n_docs != store.n_docs or len(codes) != store.n_rows:
        raise ValueError(
            f"codes hold {codes.n_docs} documents of {len(codes)} vectors; the store holds"
            f" {store.n_docs} of {store.n_rows}"
        )
    if not np.array_equal(codes.offsets, store.offsets):
        raise ValueError("codes and store disagree on the documents' row counts")


def router_state(router: PyQorRouter) -> bytes:
    """The bytes of the router's state file (written to a temporary file)."""
    with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
        path = Path(tmp) / ROUTER_FILE
        router.save(str(path))
        return path.read_bytes()


def _router_from_bytes(state: bytes) -> PyQorRouter:
    """The router whose state file holds `state`."""
    with tempfile.TemporaryDirectory(prefix="nuvaris_qor_search-") as tmp:
        path = Path(tmp) / "codebook.qor"
        path.write_bytes(state)
        return _load_router(path)


def _check_saved_files(
    where: str, manifest: dict[str, Any], files: dict[str, BufferedReader], verify: bool, progress: Progress
) -> None:
    """Refuses saved files whose sizes, or with verify=True whose SHA-256
    digests, differ from what the manifest records."""
    sizes = {role: os.fstat(files[role].fileno()).st_size for role in manifest["files"]}
    for role, entry in manifest["files"].items():
        if sizes[role] != entry["bytes"]:
            raise ValueError(f"{where}: {entry['name']} has {sizes[role]} bytes; the manifest says {entry['bytes']}")
    if verify:
        progress.step("checking SHA-256 digests", sum(sizes.values()), "B")
        for role, entry in manifest["files"].items():
            if _files.stream_digest(files[role], progress.advance) != entry["sha256"]:
                raise ValueError(f"{where}: {entry['name']} does not match its SHA-256 digest")


def _saved_dtype(name: str) -> object:
    """The store dtype a manifest names (checked again against the store)."""
    try:
        return store_dtype(name)
    except ValueError:
        raise ValueError(f"{MANIFEST_FILE} names dtype {name!r}; stores are float32 or float16") from None


def _read_codes(
    files: dict[str, BufferedReader], store: VectorStore, mmap: bool, manifest: dict[str, Any]
) -> CodeStore:
    """The token codes among a saved retriever's open files, on the
    codebook of its router state file. Codes `save` cannot have written are
    refused here rather than met by a later search or compact."""
    state = files["router"]
    state.seek(0)
    data = state.read()
    arrays = {}
    for role in ("codes_fine", "codes_residual"):
        try:
            arrays[role] = _files.read_npy(files[role], mmap)
        except (OSError, ValueError) as exc:
            raise ValueError(f"cannot read {CODE_FILES[role]}: {exc}") from None
        if not arrays[role].flags.c_contiguous:
            raise ValueError(f"cannot read {CODE_FILES[role]}: its rows are not in C order")
    quantiser = files["codes_quantiser"]
    quantiser.seek(0)
    try:
        cuts, levels = read_quantiser(quantiser.read())
        fine, residual = arrays["codes_fine"], arrays["codes_residual"]
        codes = CodeStore(state_centroids(data), cuts, levels, fine, residual, store.offsets)
    except ValueError as exc:
        raise ValueError(f"the codes do not fit: {exc}") from None
    if codes.bits != manifest["code_bits"]:
        raise ValueError(
            f"the codes do not fit: the quantiser has {codes.bits} bits; the manifest says {manifest['code_bits']}"
        )
    # A code the codebook lacks would score -inf and cannot be decoded.
    top = int(fine.max()) if len(fine) else 0
    if top >= len(codes.centroids):
        raise ValueError(
            f"the codes do not fit: {CODE_FILES['codes_fine']} holds fine code {top}; the codebook has"
            f" {len(codes.centroids)} centroids"
        )
    return codes


def _read_removed(f: BufferedReader | None, n_docs: int) -> np.ndarray | None:
    """The removed-documents mask in the open file `f` (None: none)."""
    if f is None:
        return None
    try:
        removed = np.array(_files.read_npy(f, mmap=False))
    except (OSError, ValueError) as exc:
        raise ValueError(f"cannot read {REMOVED_FILE}: {exc}") from None
    if removed.dtype != np.bool_ or removed.shape != (n_docs,):
        raise ValueError(
            f"{REMOVED_FILE} must be a ({n_docs},) bool array, got {removed.dtype.name} of shape {removed.shape}"
        )
    return removed


def _staging_free(message: str, target: Path) -> str:
    """`message` with the path of a save's staging directory, which no
    longer exists once the save has failed, replaced by the target's."""
    pattern = re.escape(str(target.parent)) + "/" + re.escape(_files.staging_prefix(target)) + r"[A-Za-z0-9_]+"
    return re.sub(pattern, lambda _: str(target), message)


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
