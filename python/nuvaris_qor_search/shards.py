"""Sharded routing and exact search over Ray actors that share one codebook.

Every shard is a Ray actor holding one `Retriever` built from the same codebook-only state (see
`train_codebook`), so proxy scores and exact MaxSim scores compare across shards and the driver
merges them into the answer one router holding every document would give, up to the order within
runs of equal scores (see `_shard_merge`). Given the quantiser trained for that codebook
(`train_quantiser`), every shard also keeps its documents as token codes on it and searches them as
a Retriever does, and the driver merges each shard's top-k. Document ids are all integers or all
strings, as a Retriever's; id `i` lives on shard `shard_of(i, n_shards)`, a function of the id alone
(see `_shard_manifest`). `remove`, `update` and `rerank` ask only the shards that own the ids (see
`_shard_edit`).

Queries go to the shards over a direct TCP connection to each actor (see `_channel` and
`ShardedRouter`), far cheaper per call than a Ray actor call; they and their counts are checked as
`Retriever.search` checks them, before anything is sent to a shard.

Faults: a shard actor that dies is restarted by Ray (`max_restarts`) from the directory it last
saved or loaded (with only the codebook when there is none). Each actor start bumps the shard's
generation; the driver compares it on every reply and raises `ShardRestartedError` instead of
answering from fewer documents, until the caller calls `reload` or `accept_restarts`.

The parts live beside this facade: the actor (`_shard_actor`), starting and stopping the actors
(`_shard_start`), the fan-out and its failure bookkeeping (`_shard_fanout`), streaming adds
(`_shard_add`), edits by id (`_shard_edit`), the merge (`_shard_merge`), the partition with the
manifest (`_shard_manifest`), and saving and loading (`_shard_persist`).
"""

from __future__ import annotations

try:
    import ray
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "nuvaris_qor_search.shards needs Ray: install it with `pip install 'ray>=2.9'`, or install "
        "this package with its `ray` extra from the path or wheel you installed it from "
        "(`pip install '<path or wheel>[ray]'`)"
    ) from exc

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import _channel, _inputs, _native, _shard_edit, _shard_persist, _shard_start
from ._progress import Progress
from ._shard_actor import placement
from ._shard_add import Documents, StreamingAdd
from ._shard_errors import AddDocumentsError, ShardError, ShardRestartedError
from ._shard_manifest import PARTITION_RULE, STRING_PARTITION_RULE, shard_of
from .codebook import codebook_digest, train_codebook
from .codes import CodeStore, quantiser_argument, quantiser_digest, train_quantiser
from .store import store_dtype

__all__ = [
    "ShardedRouter", "ShardError", "AddDocumentsError", "ShardRestartedError",
    "shard_of", "train_codebook", "train_quantiser", "PARTITION_RULE", "STRING_PARTITION_RULE",
]

# The routing counts of a search without token codes when the caller names none.
N_PROBES = 4
CANDIDATES = 500

class ShardedRouter:
    """Documents spread over Ray actors, each a Retriever on one shared codebook.

    Create it from a codebook-only state (a path or its bytes, see `train_codebook`) or
    `ShardedRouter.load` it from a directory `save` wrote. Ray must be initialised (`ray.init(...)`)
    before. Placement: `num_cpus` per shard, custom `resources` per shard, and any further
    `actor_options` for `ActorClass.options` (a scheduling strategy, for instance). Each shard's
    worker pool gets `num_cpus` threads (at least one) through `RAYON_NUM_THREADS`, unless
    `actor_options` brings its own `runtime_env`. `restart_dir` is where each shard notes the
    directory it last saved or loaded, to restart from after its process died; give a path every
    node can reach when shards may restart on another node. The constructor waits up to
    `start_timeout` seconds for every shard to start.

    With `direct` (the default), queries go to each shard over a TCP connection to the actor's node
    address, authenticated by a token only this router and its actors know; if a shard cannot be
    reached that way (a firewall between the driver and the workers, say), a RuntimeWarning says so
    and every call goes through Ray. `direct=False` always uses Ray calls. A shard drops a
    connection whose request is larger than `max_frame_bytes`; the driver sends larger requests
    through Ray.

    `quantiser` (the path to, or the bytes of, a residual quantiser trained for the codebook, see
    `train_quantiser`) gives every shard the same one: each keeps its documents as token codes and
    searches them as a Retriever does, so approximate scores compare across shards; restarted
    shards and `save`/`load` keep it. keep_vectors=False (needs a quantiser) keeps the codes only;
    their scores are then the answer, so train that quantiser with bits=4 (as `Retriever.build`
    does without vectors).
    """

    def __init__(
        self, codebook: bytes | str | os.PathLike[str], n_shards: int, *, num_cpus: float = 1,
        resources: dict[str, float] | None = None, max_restarts: int = 3, dtype: str = "float32",
        restart_dir: str | os.PathLike[str] | None = None, actor_options: dict[str, Any] | None = None,
        start_timeout: float = 300.0, direct: bool = True, max_frame_bytes: int = _channel.MAX_FRAME_BYTES,
        quantiser: bytes | bytearray | memoryview | str | os.PathLike[str] | None = None, keep_vectors: bool = True,
        _directories: list[str] | None = None,
    ) -> None:
        if isinstance(n_shards, bool) or not isinstance(n_shards, int) or n_shards < 1:
            raise ValueError(f"shard count must be a positive integer, got {n_shards!r}")
        if not ray.is_initialized():
            raise RuntimeError("Ray is not initialised; call ray.init() first")
        # By name: the manifest records it as text, and a bad one is refused before any shard starts.
        dtype = store_dtype(dtype).name
        state = codebook if isinstance(codebook, bytes) else Path(codebook).read_bytes()
        self.digest, self._codebook, self.n_shards, self.dtype = codebook_digest(state), state, n_shards, dtype
        self._dim = int(_native.read_state(state)["dim"])
        quantiser = quantiser_argument(quantiser, keep_vectors)
        if quantiser is not None:
            CodeStore.from_quantiser(state, quantiser)  # refuses one of another width before any shard starts
        self._quantiser: bytes | None = quantiser
        self.keep_vectors = bool(keep_vectors)
        self.quantiser_digest = None if quantiser is None else quantiser_digest(quantiser)
        self._last_directory: str | None = None
        options = placement(num_cpus, resources, max_restarts, actor_options)
        directories: list[str | None] = [None] * n_shards if _directories is None else list(_directories)
        # The codebook arguments stay held: the actors' restarts may need them.
        self._fan, self._note_dir, self._own_note_dir, self._codebook_args = _shard_start.start(
            state, directories, dtype, restart_dir, options,
            start_timeout=start_timeout, direct=direct, max_frame_bytes=max_frame_bytes,
            codes=(quantiser, self.keep_vectors),
        )

    @property
    def quantiser(self) -> bytes | None:
        """The bytes of the shards' shared residual quantiser, or None when they keep no token codes."""
        return self._quantiser

    @property
    def dim(self) -> int:
        """The width of every vector."""
        return self._dim

    @property
    def n_docs(self) -> int:
        """Documents held by all shards, not counting removed ones (asks every shard)."""
        return sum(self.shard_doc_counts())

    def __len__(self) -> int:
        return self.n_docs

    def add(
        self, vectors: Any, doc_ids: Any, doc_offsets: Sequence[tuple[int, int]] | None = None, *,
        chunk_rows: int = 1 << 18, in_flight: int = 2, show_progress: bool | None = None,
    ) -> None:
        """Add documents, each to the shard of its id, streaming `chunk_rows` vector rows at a time.

        `vectors` is an (N, D) float32 matrix (a memory-mapped one is read a chunk at a time) with
        `doc_offsets` [(start, end), ...] relative to it, or a list of per-document (n_i, D) arrays
        with `doc_offsets=None`; `doc_ids` are integers or strings, of the kind the router holds. The
        input is checked as `Retriever.add` checks it, whole, before any shard is sent a part. The
        shards take their parts in parallel, each holding at most `in_flight` chunks in transit. On
        failure nothing more is sent and `AddDocumentsError` says how many documents of this call
        each shard holds, and which shards restarted meanwhile. show_progress: a bar over the chunks
        on stderr (None: when stderr is a terminal).
        """
        self._fan.check()
        chunk_rows, in_flight = _inputs.count(chunk_rows, "chunk_rows"), _inputs.count(in_flight, "in_flight")
        docs = Documents(vectors, doc_ids, doc_offsets, self.dim, np.dtype(self.dtype))
        _shard_edit.check_id_kind(self._fan, docs.ids)
        with Progress("add", show_progress) as progress:
            StreamingAdd(self._fan, docs).run(chunk_rows, in_flight, progress)

    def add_documents(
        self, new_vectors: Any, new_doc_ids: Any, doc_offsets: Sequence[tuple[int, int]] | None = None, *,
        chunk_rows: int = 1 << 18, in_flight: int = 2, show_progress: bool | None = None,
    ) -> None:
        """The same as `add`, under the name `PyQorRouter` gives it (kept for existing callers)."""
        self.add(new_vectors, new_doc_ids, doc_offsets,
                 chunk_rows=chunk_rows, in_flight=in_flight, show_progress=show_progress)

    def remove(self, doc_ids: Any) -> int:
        """Removes every document that has one of `doc_ids` (each from the shard of its id); returns
        how many were removed. They stay out of every result; `compact` reclaims their slots. An id
        that no document (still) has is refused with ValueError before any shard changes."""
        return _shard_edit.remove(self._fan, _inputs.ids(doc_ids))

    def update(
        self, doc_ids: Any, vectors: Any, doc_offsets: Sequence[tuple[int, int]] | None = None,
        *, show_progress: bool | None = None,
    ) -> None:
        """Replaces the documents with `doc_ids` by new vectors (the forms of `add`): on each owning shard,
        in one call there, the old documents are removed and the new ones added under the same ids.
        Every id must be present; the input and the ids are checked before any shard changes. The
        shards replace their parts in parallel: if one fails (ShardError), others may have replaced
        theirs. The driver gathers each shard's part in memory."""
        self._fan.check()
        _shard_edit.update(self._fan, Documents(vectors, doc_ids, doc_offsets, self.dim, np.dtype(self.dtype)),
                           show_progress)

    def compact(self, *, show_progress: bool | None = None) -> None:
        """Every shard reclaims the slots of its removed documents (see `Retriever.compact`);
        results do not change."""
        _shard_edit.compact(self._fan, show_progress)

    # -- queries: the counts are checked after the queries and before any shard is asked ---------

    def route_query(self, query: Any, n_probes: int = 4, max_candidates: int = 500) -> list[tuple[int, float]]:
        """Each shard's best `max_candidates` candidates, merged best first and cut at `max_candidates`."""
        return self._route([_inputs.query_matrix(query, self.dim)], n_probes, max_candidates)[0]

    def route_query_batch(
        self, queries: Sequence[Any], n_probes: int = 4, max_candidates: int = 500
    ) -> list[list[tuple[int, float]]]:
        """`route_query` for many queries, in one call per shard."""
        return self._route(_inputs.query_matrices(queries, self.dim), n_probes, max_candidates)

    def search(
        self, query: Any, k: int = 10, *, n_probes: int | None = None, candidates: int | None = None,
        probe: int | None = None, rerank: int | None = None, shortlist: int | None = None,
    ) -> list[tuple[Any, float]]:
        """The top-k documents over all shards: [(doc_id, score), ...], best first.

        Without a quantiser: exact MaxSim top-k among the `candidates` best candidates over all
        shards (as `route_query` merges them; None: 500, with n_probes None: 4); each shard reranks
        those of its own, the driver merges the exact scores like route_query's. The answer is the
        one Retriever holding every document gives, up to the order of equal scores and which of
        equal scores make the cut at `candidates`; `probe`, `rerank` and `shortlist` play no part.

        With token codes: every shard runs `Retriever.search`'s three steps on its own documents
        with these counts (None: the defaults a Retriever of that shard's size uses) and answers its
        top-k; the driver merges them by score. The candidate cuts (`candidates`, `shortlist`, `rerank`) are
        therefore per shard: a shard scores its own best `rerank` exactly, so the shards together
        score at least the documents one Retriever holding every document would.
        """
        counts = (n_probes, candidates, probe, rerank, shortlist)
        return self._search([_inputs.query_matrix(query, self.dim)], k, *counts)[0]

    def search_batch(
        self, queries: Sequence[Any], k: int = 10, *, n_probes: int | None = None, candidates: int | None = None,
        probe: int | None = None, rerank: int | None = None, shortlist: int | None = None,
    ) -> list[list[tuple[Any, float]]]:
        """`search` for many queries: without a quantiser one routing call per shard, then one
        reranking call per shard that holds candidates (a single shard does both in one call); with
        token codes one call per shard."""
        counts = (n_probes, candidates, probe, rerank, shortlist)
        return self._search(_inputs.query_matrices(queries, self.dim), k, *counts)

    def _route(self, qs: list[np.ndarray], n_probes: Any, max_candidates: Any) -> list[list[tuple[int, float]]]:
        n_probes = _inputs.positive(n_probes, "n_probes")
        max_candidates = _inputs.count(max_candidates, "max_candidates")
        return self._fan.route(qs, n_probes, max_candidates) if qs else []

    def _search(
        self, qs: list[np.ndarray], k: Any, n_probes: Any, candidates: Any, probe: Any, rerank: Any,
        shortlist: Any,
    ) -> list[list[tuple[Any, float]]]:
        k = _inputs.count(k, "k")
        n_probes = None if n_probes is None else _inputs.positive(n_probes, "n_probes")
        candidates, probe, rerank, shortlist = (
            None if v is None else _inputs.count(v, name)
            for v, name in ((candidates, "candidates"), (probe, "probe"), (rerank, "rerank"), (shortlist, "shortlist"))
        )
        if not qs:
            return []
        if self._quantiser is not None:
            return self._fan.search_codes(qs, k, (n_probes, candidates, probe, rerank, shortlist))
        return self._fan.search(qs, k, N_PROBES if n_probes is None else n_probes,
                                CANDIDATES if candidates is None else candidates)

    def rerank(self, query: Any, docs: Any = None, k: int = 10) -> list[tuple[Any, float]]:
        """Exact MaxSim top-k among the documents with the caller ids `docs` (None: every document,
        an exact scan of every shard), merged like `search`'s answers."""
        q, k = _inputs.query_matrix(query, self.dim), _inputs.count(k, "k")
        return _shard_edit.rerank(self._fan, q, None if docs is None else _inputs.ids(docs, "docs"), k)

    def get_cluster_entries(self, query: Any, n_probes: int = 4) -> list[int]:
        """Every shard's representative documents of the query's C_top clusters, shard after shard."""
        q, n_probes = _inputs.query_matrix(query, self.dim), _inputs.count(n_probes, "n_probes")
        return [d for part in self._fan.call("entries", q, n_probes) for d in part]

    def query_cluster_overlaps(self, query: Any, n_probes: int = 4) -> list[tuple[int, int]]:
        """(doc_id, shared C_top clusters) for every document, shard after shard."""
        q, n_probes = _inputs.query_matrix(query, self.dim), _inputs.count(n_probes, "n_probes")
        return [pair for part in self._fan.call("overlaps", q, n_probes) for pair in part]

    def compute_query_profile(self, query: Any, n_probes: int = 4) -> tuple[list[int], list[int]]:
        """The query's fine codes and C_top; the codebook is shared, so one shard answers."""
        q, n_probes = _inputs.query_matrix(query, self.dim), _inputs.count(n_probes, "n_probes")
        result: tuple[list[int], list[int]] = self._fan.call("profile", q, n_probes, shards=[0])[0]
        return result

    def shard_doc_counts(self) -> list[int]:
        """Documents held by each shard, in shard order."""
        return [s["n_docs"] for s in self._fan.call("status")]

    def shard_status(self) -> list[dict[str, Any]]:
        """Per shard: n_docs, n_removed, n_rows, string_ids (None while empty), the actor's pid, resident
        memory in bytes, CPU seconds used so far, its last directory, its quantiser's digest (None without
        token codes) and keeps_vectors."""
        return self._fan.call("status")

    # -- persistence ----------------------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str], *, compact: bool = False) -> None:
        """Every shard saves its Retriever under `directory` in parallel (with `compact`, reclaiming
        removed documents first; otherwise which are removed is saved); then the manifest is written.

        The manifest (format version, codebook digest, shard count, partition rule, shard directory
        names and document counts; with token codes also the quantiser file's digest and
        keep_vectors) replaces the old one atomically, after every shard has finished,
        so `load` sees either the previous complete save or this one checked against its files.
        """
        root = Path(directory).resolve()
        root.mkdir(parents=True, exist_ok=True)
        if compact:
            self.compact()
        _shard_persist.save(self._fan, root, self._codebook, self.digest, self.dim, self.dtype,
                            self._quantiser, self.keep_vectors)
        self._last_directory = str(root)

    @classmethod
    def load(
        cls, directory: str | os.PathLike[str], *, num_cpus: float = 1, resources: dict[str, float] | None = None,
        max_restarts: int = 3, restart_dir: str | os.PathLike[str] | None = None,
        actor_options: dict[str, Any] | None = None, start_timeout: float = 300.0, direct: bool = True,
        max_frame_bytes: int = _channel.MAX_FRAME_BYTES,
    ) -> ShardedRouter:
        """A sharded router from a directory `save` wrote, with the constructor's placement options.

        The manifest is checked against the codebook file and against what every shard loaded
        (document counts, codebook digest, id kind, quantiser); a mismatch is a ValueError and no actor is left
        running.
        """
        root, manifest, codebook, quantiser, dirs = _shard_persist.open_saved(directory)
        router = cls(
            codebook, manifest["n_shards"], num_cpus=num_cpus, resources=resources, max_restarts=max_restarts,
            dtype=manifest["dtype"], restart_dir=restart_dir, actor_options=actor_options,
            start_timeout=start_timeout, direct=direct, max_frame_bytes=max_frame_bytes,
            quantiser=quantiser, keep_vectors=manifest.get("keep_vectors", True), _directories=dirs,
        )
        try:
            _shard_persist.verify(router._fan, root, manifest)
        except BaseException:
            router.close()
            raise
        router._last_directory = str(root)
        return router

    def reload(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Every shard loads its part of `directory` (default: the last one saved or loaded); clears restarts.
        If it fails, shards may hold part of `directory`: calls raise ShardRestartedError until a reload
        succeeds or `accept_restarts()`."""
        target = directory if directory is not None else self._last_directory
        if target is None:
            raise ValueError("nothing to reload: the router was never saved or loaded")
        codes = (self.quantiser_digest, self.keep_vectors)
        self._last_directory = str(_shard_persist.reload(self._fan, target, self.digest, codes))

    def accept_restarts(self) -> list[int]:
        """Accept what restarted shards restored; returns every shard's document count.

        The caller takes over: documents added after a shard's last save are missing from it until
        they are added again.
        """
        return _shard_persist.accept_restarts(self._fan)

    def close(self) -> None:
        """Stop the shard actors (saved directories stay; the restart notes go, and with them their
        directory when the router made it)."""
        _shard_start.stop(self._fan, self._note_dir, self._own_note_dir)

    def __repr__(self) -> str:
        if self._fan.closed:
            return "<ShardedRouter closed>"
        return (f"<ShardedRouter {_shard_start.describe(self._fan)} on {self.n_shards} shards, vectors of dim"
                f" {self.dim}, {self.dtype}, codebook {self.digest[:12]}>")

    def __enter__(self) -> ShardedRouter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
