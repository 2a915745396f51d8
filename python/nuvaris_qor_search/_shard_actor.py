"""The shard actor: one Retriever on the shared codebook (and quantiser, when the router has one),
run by Ray, answering Ray calls and direct requests over its channel, and the column format of its
answers.

A shard notes the directory it last saved or loaded (and its generation) in a
small JSON file, so that when Ray restarts its process the new actor reopens
that directory and counts one generation more; the driver compares the
generation of every reply with the one it knows.
"""

from __future__ import annotations

import contextlib
import functools
import itertools
import json
import os
import resource
import threading
import time
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import ray

from . import _channel
from .codebook import codebook_digest, write_atomically
from .codes import quantiser_digest
from .maxsim import top_k, unique_docs
from .retriever import ROUTER_FILE, Retriever, exact_scores

# Shard methods answered over the direct connection; each returns (columns, seconds) after the generation.
DIRECT = frozenset({"route", "rerank", "search", "search_codes"})

# Below the sizes up to which Ray inlines one argument (100 KiB) and all of them (10 MiB) into a call.
_INLINE_BYTES = 64 << 10
_INLINE_TOTAL = 8 << 20

# A shard's answer columns after the ids: float32 scores, per-query counts, and document indices.
COLUMN_TYPES = (np.float32, np.int64, np.int64)


def pack(queries: Sequence[np.ndarray]) -> tuple[bytes, bytes]:
    """Queries as the bytes of one row-stacked float32 matrix and of the int64 row bounds of each."""
    bounds = np.zeros(len(queries) + 1, np.int64)
    np.cumsum([len(q) for q in queries], out=bounds[1:])
    return b"".join(q.tobytes() for q in queries), bounds.tobytes()


def unpack(packed: tuple[bytes, bytes], dim: int) -> list[np.ndarray]:
    rows = np.frombuffer(packed[0], np.float32).reshape(-1, dim)
    bounds = np.frombuffer(packed[1], np.int64).tolist()
    return [rows[a:b] for a, b in itertools.pairwise(bounds)]


def columns_bytes(columns: tuple[np.ndarray, ...]) -> tuple[bytes, ...]:
    """Answer columns as bytes: the ids' dtype (uint64, or fixed-width little-endian unicode for
    string ids), the ids, then the other columns."""
    ids = columns[0]
    ids = np.ascontiguousarray(ids, ids.dtype.newbyteorder("<") if ids.dtype.kind == "U" else np.uint64)
    # Only a routing answer with `local` carries the third column (document indices); the others stop at two.
    rest = (np.ascontiguousarray(c, t).tobytes() for c, t in zip(columns[1:], COLUMN_TYPES, strict=False))
    return (ids.dtype.str.encode(), ids.tobytes(), *rest)


def columns_of(raw: tuple[bytes, ...]) -> tuple[np.ndarray, ...]:
    ids = np.frombuffer(raw[1], np.dtype(raw[0].decode()))
    # Two or three columns after the ids (see `columns_bytes`): zip stops at the last one sent.
    return (ids, *(np.frombuffer(b, t) for b, t in zip(raw[2:], COLUMN_TYPES, strict=False)))


def id_column(ids: list[Any]) -> np.ndarray:
    """Caller ids (all strings or all integers) as an id column: unicode, or uint64 built as such.
    Left to infer the type, NumPy makes float64 of integers on both sides of 2**63 and rounds them."""
    if ids and isinstance(ids[0], str):
        return np.array(ids)
    return np.array(ids, np.uint64)


def hit_columns(hits: list[tuple[Any, float]]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """One query's (id, score) hits as columns of ids, float32 scores and its count."""
    ids = id_column([i for i, _ in hits])
    return ids, np.array([s for _, s in hits], np.float32), np.array([len(hits)], np.int64)


def codebook_arguments(state: bytes) -> list[Any]:
    """The codebook (followed by the quantiser, when there is one) as the last arguments of a
    shard's constructor.

    Ray carries small arguments inside the call that creates an actor, and a
    restarted actor gets them again from that call, with nothing that could have
    been released or lost meanwhile; so a codebook goes in pieces small enough
    for that. One too large for a call goes through the object store instead:
    the caller must hold the reference for as long as the actors may restart.
    """
    if len(state) > _INLINE_TOTAL:
        return [ray.put(state)]
    return [state[i : i + _INLINE_BYTES] for i in range(0, len(state), _INLINE_BYTES)]


def placement(
    num_cpus: float, resources: dict[str, float] | None, max_restarts: int, extra: dict[str, Any] | None
) -> dict[str, Any]:
    """Ray options of the shard actors: CPUs and custom resources per shard, restarts (never of a
    call), and a worker pool of `num_cpus` threads (at least one); `extra` overrides any of them."""
    options: dict[str, Any] = {"num_cpus": num_cpus, "max_restarts": max_restarts, "max_task_retries": 0}
    if resources:
        options["resources"] = dict(resources)
    options["runtime_env"] = {"env_vars": {"RAYON_NUM_THREADS": str(max(1, int(num_cpus)))}}
    options.update(extra or {})
    return options


def start_shards(
    options: dict[str, Any],
    directories: Sequence[str | None],
    codebook: list[Any],
    dtype: str,
    note_dir: str,
    own_note_dir: bool,
    token: str,
    max_frame: int,
    codes: tuple[int | None, bool] = (None, True),
) -> list[Any]:
    """One actor per entry of `directories` (where it loads from; None: empty, on the codebook),
    created without waiting for it to start. `codes`, for the shards that start empty: the length
    of the quantiser that ends the `codebook` arguments (None: no quantiser, no codes) and whether
    shards keep the float vectors."""
    actor_class = ray.remote(_Shard).options(**options)
    return [
        actor_class.remote(i, dtype, note_dir, d, token, max_frame, own_note_dir, codes, *codebook)
        for i, d in enumerate(directories)
    ]


def remove_notes(note_dir: str, n_shards: int) -> None:
    """Removes the restart notes of shards that could not close, and their directory once empty."""
    for i in range(n_shards):
        note_path(note_dir, i).unlink(missing_ok=True)
    remove_if_empty(Path(note_dir))


def first_line(err: BaseException) -> str:
    text = str(err)
    return text.splitlines()[0] if text else ""


def note_path(note_dir: str | os.PathLike[str], index: int) -> Path:
    return Path(note_dir) / f"shard-{index:04d}.json"


def remove_if_empty(directory: Path) -> None:
    with contextlib.suppress(OSError):  # other shards' notes are still there, or it is gone already
        directory.rmdir()


def _exclusive(method: Any) -> Any:
    """Run a shard method under the shard's lock: Ray calls and direct requests take turns."""

    @functools.wraps(method)
    def run(self: _Shard, *args: Any, **kwargs: Any) -> Any:
        with self.lock:
            return method(self, *args, **kwargs)

    return run


class _Shard:
    """One shard: a Retriever, its generation, a note of its last saved directory, and a direct
    channel (a socket on this node's address that answers the `DIRECT` methods)."""

    def __init__(
        self,
        index: int,
        dtype: str,
        note_dir: str,
        directory: str | None,
        token: str,
        max_frame: int,
        own_note_dir: bool,
        codes: tuple[int | None, bool],
        *codebook: bytes,
    ) -> None:
        self.lock = threading.Lock()
        self.index, self.codebook, self.dtype = index, b"".join(codebook), dtype
        # The quantiser's bytes follow the codebook's, so that restarts get both the same way.
        quantiser_bytes, self.keep_vectors = codes
        self.quantiser: bytes | None = None
        if quantiser_bytes is not None:
            cut = len(self.codebook) - quantiser_bytes
            self.codebook, self.quantiser = self.codebook[:cut], self.codebook[cut:]
        self.note = note_path(note_dir, index)
        self.own_note_dir = own_note_dir  # the router made it: the last shard to close removes it
        noted = json.loads(self.note.read_text()) if self.note.exists() else None
        with warnings.catch_warnings():  # the property itself calls a deprecated accessor
            warnings.simplefilter("ignore", DeprecationWarning)
            reconstructed = ray.get_runtime_context().was_current_actor_reconstructed
        if reconstructed:
            self.generation = (noted["generation"] if noted else 0) + 1
            directory = noted["directory"] if noted else None
        else:
            self.generation = 0
        self.retriever, self.digest = self._open(directory)
        self.directory = directory
        self.closed = False
        self._write_note()
        address = ray.util.get_node_ip_address()  # type: ignore[no-untyped-call]
        self.channel = _channel.Server(address, token, self._hello, self._serve, max_frame=max_frame)

    def _hello(self) -> dict[str, Any]:
        return {"generation": self.generation}

    def _serve(self, header: dict[str, Any], parts: list[bytes]) -> tuple[dict[str, Any], tuple[bytes, ...]]:
        """Answer one direct request: the method's column bytes, or the error's type and first line.

        Every failure is answered, also the router module's PanicException (a
        BaseException, so that plain `except Exception` handlers do not hide
        it): the driver raises it as this shard's error. KeyboardInterrupt and
        SystemExit ask the process to stop rather than report a failed request,
        so they end the session, and the driver asks Ray what became of the actor.
        """
        op = header.get("op")
        try:
            if op not in DIRECT:
                raise ValueError(f"unknown request {op!r}")
            generation, (columns, seconds) = getattr(self, op)(*_channel.arguments(header, parts))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as err:
            return {"generation": self.generation, "error": [type(err).__name__, first_line(err)]}, ()
        return {"generation": generation, "seconds": seconds}, columns

    def _open(self, directory: str | None) -> tuple[Retriever, str]:
        """The Retriever saved in `directory` (or an empty one on the codebook) and its codebook digest."""
        if directory is None:
            retriever = Retriever.from_codebook(
                self.codebook, dtype=self.dtype, quantiser=self.quantiser, keep_vectors=self.keep_vectors
            )
            return retriever, codebook_digest(self.codebook)
        return Retriever.load(directory), codebook_digest(Path(directory) / ROUTER_FILE)

    def _write_note(self) -> None:
        self.note.parent.mkdir(parents=True, exist_ok=True)
        text = json.dumps({"generation": self.generation, "directory": self.directory})
        write_atomically(self.note, text.encode())

    def _reply(self, value: Any) -> tuple[int, Any]:
        return self.generation, value

    def _open_retriever(self) -> Retriever:
        if self.closed:
            raise ValueError("shard is closed")
        return self.retriever

    @_exclusive
    def status(self) -> tuple[int, dict[str, Any]]:
        return self._reply(
            {
                "address": self.channel.address,
                "n_docs": self.retriever.n_docs,
                "n_removed": self.retriever.n_removed,
                "n_rows": self.retriever.store.n_rows,
                "string_ids": self.retriever.store.string_ids if self.retriever.store.n_docs else None,
                "pid": os.getpid(),
                "rss_bytes": _resident_bytes(),
                "cpu_seconds": _cpu_seconds(),
                "directory": self.directory,
                **self._codes_status(),
            }
        )

    def _codes_status(self) -> dict[str, Any]:
        """The digest of the retriever's quantiser (None without codes) and whether it keeps vectors."""
        codes = self.retriever.codes
        return {
            "quantiser": None if codes is None else quantiser_digest(codes.quantiser()),
            "keeps_vectors": self.retriever.keeps_vectors,
        }

    @_exclusive
    def add(self, vectors: np.ndarray, doc_ids: np.ndarray, doc_offsets: list[tuple[int, int]]) -> tuple[int, int]:
        retriever = self._open_retriever()
        retriever.add(vectors, doc_ids, doc_offsets, show_progress=False)
        return self._reply(retriever.n_docs)

    @_exclusive
    def missing(self, doc_ids: np.ndarray) -> tuple[int, list[int]]:
        """The positions in `doc_ids` of the ids that no live document of this shard has."""
        retriever = self._open_retriever()
        live = retriever.doc_ids[~retriever.removed]
        return self._reply(np.flatnonzero(~np.isin(doc_ids, live)).tolist())

    @_exclusive
    def remove(self, doc_ids: np.ndarray) -> tuple[int, int]:
        return self._reply(self._open_retriever().remove(doc_ids))

    @_exclusive
    def update(self, part: tuple[np.ndarray, np.ndarray, list[tuple[int, int]]]) -> tuple[int, int]:
        """Replaces the documents with the ids of `part` (vectors, ids, offsets), all or nothing."""
        retriever = self._open_retriever()
        vectors, doc_ids, doc_offsets = part
        retriever.update(doc_ids, vectors, doc_offsets, show_progress=False)
        return self._reply(retriever.n_docs)

    @_exclusive
    def compact(self) -> tuple[int, int]:
        retriever = self._open_retriever()
        retriever.compact(show_progress=False)
        return self._reply(retriever.n_docs)

    @_exclusive
    def rerank_ids(self, query: np.ndarray, k: int, doc_ids: np.ndarray | None) -> tuple[int, tuple[np.ndarray, ...]]:
        """Exact MaxSim top-k among this shard's documents with `doc_ids` (None: all), as columns."""
        return self._reply(hit_columns(self._open_retriever().rerank(query, doc_ids, k)))

    # Queries come packed and answers go back as raw column bytes (see `pack`, `columns_bytes`):
    # Ray moves bytes objects with less work per call than NumPy arrays.
    @_exclusive
    def route(self, queries: tuple[bytes, bytes], n_probes: int, max_candidates: int,
              local: bool = False) -> tuple[int, Any]:
        """Every query's candidates as columns of caller ids, float32 scores and per-query counts (with
        `local`, also the candidates' document indices on this shard), and the time it took."""
        start = time.perf_counter()
        out = self._route(unpack(queries, self.retriever.dim), n_probes, max_candidates, local)
        return self._reply((columns_bytes(out), time.perf_counter() - start))

    @_exclusive
    def rerank(self, queries: tuple[bytes, bytes], k: int, picks: tuple[bytes, bytes]) -> tuple[int, Any]:
        """Exact MaxSim top-k of each query among its picked document indices (`picks`: indices and
        per-query counts), as columns of caller ids, float32 scores and per-query counts; and the time."""
        start = time.perf_counter()
        indices, picked = (np.frombuffer(b, np.int64) for b in picks)
        out = self._rerank(unpack(queries, self.retriever.dim), k, indices, picked)
        return self._reply((columns_bytes(out), time.perf_counter() - start))

    @_exclusive
    def search(self, queries: tuple[bytes, bytes], k: int, n_probes: int, candidates: int) -> tuple[int, Any]:
        """Route and rerank in one call: each query's exact top-k among this shard's best `candidates`."""
        start = time.perf_counter()
        qs = unpack(queries, self.retriever.dim)
        _, _, counts, indices = self._route(qs, n_probes, candidates, True)
        out = self._rerank(qs, k, indices, counts)
        return self._reply((columns_bytes(out), time.perf_counter() - start))

    @_exclusive
    def search_codes(
        self, queries: tuple[bytes, bytes], k: int, n_probes: int | None, candidates: int | None,
        probe: int | None, rerank: int | None, shortlist: int | None = None,
    ) -> tuple[int, Any]:
        """Each query's top-k on this shard by the Retriever's own search (candidates, scores on the
        codes, exact rerank of the best), counts left as None chosen for this shard's size; as
        columns of caller ids, float32 scores and per-query counts, and the time it took."""
        start = time.perf_counter()
        retriever = self._open_retriever()
        hits = []
        for q in unpack(queries, retriever.dim):
            counts = retriever._search_counts(len(q), k, n_probes, candidates, probe, rerank, shortlist)
            hits.append(retriever._search(q, counts))
        ids = [i for h in hits for i, _ in h]
        columns = (
            id_column(ids),
            np.fromiter((s for h in hits for _, s in h), np.float32, len(ids)),
            np.fromiter((len(h) for h in hits), np.int64, len(hits)),
        )
        return self._reply((columns_bytes(columns), time.perf_counter() - start))

    def _route(
        self, queries: list[np.ndarray], n_probes: int, max_candidates: int, local: bool
    ) -> tuple[np.ndarray, ...]:
        """Removed documents are left out: the Retriever asks its router for that many more."""
        retriever = self._open_retriever()
        routed = [retriever._route(q, n_probes, max_candidates) for q in queries]
        counts = np.fromiter((len(d) for d, _ in routed), np.int64, len(routed))
        indices = np.concatenate([d for d, _ in routed]) if routed else np.empty(0, np.int64)
        scores = np.fromiter((x for _, s in routed for x in s), np.float32, len(indices))
        return (retriever.doc_ids[indices], scores, counts) + ((indices,) if local else ())

    def _rerank(
        self, queries: list[np.ndarray], k: int, indices: np.ndarray, picked: np.ndarray
    ) -> tuple[np.ndarray, ...]:
        retriever = self._open_retriever()
        store, doc_ids = retriever.store, retriever.doc_ids
        bounds = np.concatenate(([0], np.cumsum(picked)))
        ids, scores, counts = [], [], np.zeros(len(picked), np.int64)
        for j, q in enumerate(queries):
            docs = unique_docs(indices[bounds[j] : bounds[j + 1]])
            if k == 0 or len(q) == 0 or len(docs) == 0:
                continue
            exact = exact_scores(store, q, docs)
            best = top_k(exact, docs, k)
            ids.append(doc_ids[docs[best]])
            scores.append(exact[best])
            counts[j] = len(best)
        return (
            np.concatenate(ids) if ids else np.empty(0, np.uint64),
            np.concatenate(scores) if scores else np.empty(0, np.float32),
            counts,
        )

    # The Retriever's router numbers documents by index; callers see their own ids. Removed
    # documents are left out.
    @_exclusive
    def entries(self, query: np.ndarray, n_probes: int) -> tuple[int, list[Any]]:
        retriever = self._open_retriever()
        ids, removed = retriever.doc_ids, retriever.removed
        docs = [d for d in retriever.router.get_cluster_entries(query, n_probes) if not removed[d]]
        return self._reply(ids[docs].tolist() if docs else [])

    @_exclusive
    def overlaps(self, query: np.ndarray, n_probes: int) -> tuple[int, list[tuple[Any, int]]]:
        retriever = self._open_retriever()
        ids, removed = retriever.doc_ids, retriever.removed
        pairs = retriever.router.query_cluster_overlaps(query, n_probes)
        return self._reply([(ids[d].item(), n) for d, n in pairs if not removed[d]])

    @_exclusive
    def profile(self, query: np.ndarray, n_probes: int) -> tuple[int, tuple[list[int], list[int]]]:
        return self._reply(self._open_retriever().router.compute_query_profile(query, n_probes))

    @_exclusive
    def save(self, directory: str) -> tuple[int, dict[str, Any]]:
        self._open_retriever().save(directory, show_progress=False)
        self.directory = directory
        self._write_note()
        return self._reply(
            {
                "n_docs": self.retriever.n_docs,
                "digest": codebook_digest(Path(directory) / ROUTER_FILE),
                "string_ids": self.retriever.store.string_ids if self.retriever.store.n_docs else None,
                **self._codes_status(),
            }
        )

    @_exclusive
    def load(self, directory: str) -> tuple[int, dict[str, Any]]:
        retriever, digest = self._open(directory)
        self.retriever.close()
        self.retriever, self.digest, self.directory = retriever, digest, directory
        self._write_note()
        return self._reply({"n_docs": retriever.n_docs, "digest": digest})

    @_exclusive
    def codebook_digest(self) -> tuple[int, str]:
        return self._reply(self.digest)

    @_exclusive
    def close(self) -> None:
        self.closed = True
        self.channel.close()
        self.retriever.close()
        self.note.unlink(missing_ok=True)
        if self.own_note_dir:
            remove_if_empty(self.note.parent)


def _cpu_seconds() -> float:
    """User and system CPU time of this process, all threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _resident_bytes() -> int:
    """This process's resident memory (peak resident memory where /proc is absent)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
