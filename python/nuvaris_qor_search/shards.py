"""Sharded routing and exact search over Ray actors that share one codebook.

Every shard is a Ray actor holding one `Retriever` built from the same
codebook-only state (see `train_codebook`), so proxy scores and exact MaxSim
scores compare across shards and the driver merges them into the answer one
router holding every document would give.

Partition: document id `i` lives on shard `shard_of(i, n_shards)`, the
splitmix64 finaliser of the id taken modulo the shard count. It depends on the
id alone, so the same id always lands on the same shard, across calls and
processes.

Merged order: best score first; equal scores put the lower document id first;
equal scores of one id (only possible within one shard) keep that shard's
order. A single router orders equal proxy scores by its hit count, then by
indexing order, so the merged `route_query` equals its answer exactly when the
ids of tied documents increase with their indexing order and the ties share a
hit count, and otherwise up to the order within runs of equal scores.

Queries: `route_query`, `search` and their batch forms go to the shards over a
direct TCP connection to each actor (see `_channel`), which costs far less per
call than a Ray actor call; everything else, and every call with
`direct=False` or when a shard cannot be reached, goes through Ray.

Faults: a shard actor that dies is restarted by Ray (`max_restarts`) from the
directory it last saved or loaded (with only the codebook when there is none).
Each actor start bumps the shard's generation; the driver compares it on every
reply and raises `ShardRestartedError` instead of answering from fewer
documents, until the caller calls `reload` or `accept_restarts`.
"""

from __future__ import annotations

try:
    import ray
    import ray.exceptions
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "nuvaris_qor_search.shards needs Ray: install it with `pip install 'ray>=2.9'`, or install "
        "this package with its `ray` extra from the path or wheel you installed it from "
        "(`pip install '<path or wheel>[ray]'`)"
    ) from exc

import functools
import json
import os
import re
import resource
import secrets
import tempfile
import threading
import time
import uuid
import warnings
from collections.abc import Iterable, Sequence
from itertools import chain, islice
from pathlib import Path
from typing import Any

import numpy as np

from . import _channel, _native
from .codebook import codebook_digest, train_codebook, write_atomically
from .maxsim import top_k
from .retriever import ROUTER_FILE, Retriever, exact_scores

__all__ = [
    "ShardedRouter",
    "ShardError",
    "AddDocumentsError",
    "ShardRestartedError",
    "shard_of",
    "train_codebook",
    "PARTITION_RULE",
]

PARTITION_RULE = "splitmix64-mod"
MANIFEST_NAME = "manifest.json"
MANIFEST_FORMAT = "nuvaris-qor-shards"
MANIFEST_VERSION = 1
CODEBOOK_NAME = "codebook.qor"
_SHARD_DIR = re.compile(r"^shard-[0-9]{4,}$")
_U64 = np.uint64
# Query batches at least this large go to the object store once rather than inline to every shard.
_SHARE_BYTES = 64 << 10
# Shard methods answered over the direct connection; each returns (columns, seconds) after the generation.
_DIRECT = frozenset({"route", "rerank", "search", "ping"})
# How long a broken connection's shard gets to answer Ray before it counts as restarted.
_PROBE_SECONDS = 30.0


def shard_of(doc_ids: Sequence[int] | np.ndarray, n_shards: int) -> np.ndarray:
    """Shard index of each document id: splitmix64(id) mod n_shards, as an int64 array."""
    if n_shards < 1:
        raise ValueError(f"shard count must be at least 1, got {n_shards}")
    z = np.array(doc_ids, dtype=_U64, ndmin=1) + _U64(0x9E3779B97F4A7C15)  # arrays wrap silently
    z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
    z = z ^ (z >> _U64(31))
    return (z % _U64(n_shards)).astype(np.int64)


class ShardError(RuntimeError):
    """A shard failed; `shard`, `error_type` and `error_message` say which and how."""

    def __init__(self, shard: int, error_type: str, error_message: str, note: str = "") -> None:
        self.shard, self.error_type, self.error_message = shard, error_type, error_message
        super().__init__(f"shard {shard}: {error_type}: {error_message}{note}")


class ShardRestartedError(ShardError):
    """A shard's actor died or restarted; its answers would miss documents."""


class AddDocumentsError(ShardError):
    """`add_documents` failed on a shard; `applied` maps every shard to the documents of this call it
    holds now. `restarted` names the shards whose actor died or restarted during the call: what the
    old process took went with it, so only what the new one took counts."""

    def __init__(
        self, cause: ShardError, applied: dict[int, int], expected: dict[int, int], restarted: Iterable[int] = ()
    ) -> None:
        self.applied, self.expected, self.restarted = applied, expected, tuple(sorted(restarted))
        self.complete = tuple(s for s in sorted(expected) if applied[s] == expected[s])
        parts = ", ".join(f"shard {s} {applied[s]} of {expected[s]}" for s in sorted(expected))
        note = (
            f"; shards that applied their whole part: {list(self.complete) or 'none'}"
            f"; documents applied per shard: {parts}"
        )
        if self.restarted:
            note += f"; restarted during the call (the documents their old process took are lost): {list(self.restarted)}"
        super().__init__(cause.shard, cause.error_type, cause.error_message, note)


# ---------------------------------------------------------------------------
# The shard actor.


def _exclusive(method: Any) -> Any:
    """Run a shard method under the shard's lock: Ray calls and direct requests take turns."""

    @functools.wraps(method)
    def run(self: _Shard, *args: Any, **kwargs: Any) -> Any:
        with self.lock:
            return method(self, *args, **kwargs)

    return run


def _first_line(err: BaseException) -> str:
    text = str(err)
    return text.splitlines()[0] if text else ""


class _Shard:
    """One shard: a Retriever, its generation, a note of its last saved directory, and a direct
    channel (a socket on this node's address that answers the `_DIRECT` methods)."""

    def __init__(
        self,
        index: int,
        codebook: bytes,
        dtype: str,
        note_dir: str,
        directory: str | None,
        token: str,
        max_frame: int = _channel.MAX_FRAME_BYTES,
        own_note_dir: bool = False,
    ) -> None:
        self.lock = threading.Lock()
        self.index, self.codebook, self.dtype = index, codebook, dtype
        self.note = Path(note_dir) / f"shard-{index:04d}.json"
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
        self.channel = _channel.Server(
            ray.util.get_node_ip_address(), token, self._hello, self._serve, max_frame=max_frame
        )

    def _hello(self) -> dict[str, Any]:
        return {"generation": self.generation}

    def _serve(self, header: dict[str, Any], parts: list[bytes]) -> tuple[dict[str, Any], tuple[bytes, ...]]:
        """Answer one direct request: the method's column bytes, or the error's type and first line."""
        op = header.get("op")
        try:
            if op not in _DIRECT:
                raise ValueError(f"unknown request {op!r}")
            generation, (columns, seconds) = getattr(self, op)(*_channel.arguments(header, parts))
        except Exception as err:
            return {"generation": self.generation, "error": [type(err).__name__, _first_line(err)]}, ()
        return {"generation": generation, "seconds": seconds}, columns

    def _open(self, directory: str | None) -> tuple[Retriever, str]:
        """The Retriever saved in `directory` (or an empty one on the codebook) and its codebook digest."""
        if directory is None:
            return Retriever.from_codebook(self.codebook, dtype=self.dtype), codebook_digest(self.codebook)
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

    def ping(self) -> tuple[int, Any]:
        """Nothing, the way the query methods answer: for measuring the bare cost of a call."""
        return self._reply(((), 0.0))

    @_exclusive
    def status(self) -> tuple[int, dict[str, Any]]:
        return self._reply(
            {
                "address": self.channel.address,
                "n_docs": self.retriever.n_docs,
                "n_rows": self.retriever.store.n_rows,
                "pid": os.getpid(),
                "rss_bytes": _resident_bytes(),
                "cpu_seconds": _cpu_seconds(),
                "directory": self.directory,
            }
        )

    @_exclusive
    def add(self, vectors: np.ndarray, doc_ids: list[int], doc_offsets: list[tuple[int, int]]) -> tuple[int, int]:
        retriever = self._open_retriever()
        retriever.add(vectors, doc_ids, doc_offsets)
        return self._reply(retriever.n_docs)

    # Queries come packed and answers go back as raw column bytes (see `_pack`, `_columns_bytes`):
    # Ray moves bytes objects with less work per call than NumPy arrays.
    @_exclusive
    def route(self, queries: tuple[bytes, bytes], n_probes: int, max_candidates: int,
              local: bool = False) -> tuple[int, Any]:
        """Every query's candidates as columns of caller ids, float32 scores and per-query counts (with
        `local`, also the candidates' document indices on this shard), and the time it took."""
        start = time.perf_counter()
        out = self._route(_unpack(queries, self.retriever.dim), n_probes, max_candidates, local)
        return self._reply((_columns_bytes(out), time.perf_counter() - start))

    @_exclusive
    def rerank(self, queries: tuple[bytes, bytes], k: int, picks: tuple[bytes, bytes]) -> tuple[int, Any]:
        """Exact MaxSim top-k of each query among its picked document indices (`picks`: indices and
        per-query counts), as columns of caller ids, float32 scores and per-query counts; and the time."""
        start = time.perf_counter()
        indices, picked = (np.frombuffer(b, np.int64) for b in picks)
        out = self._rerank(_unpack(queries, self.retriever.dim), k, indices, picked)
        return self._reply((_columns_bytes(out), time.perf_counter() - start))

    @_exclusive
    def search(self, queries: tuple[bytes, bytes], k: int, n_probes: int, candidates: int) -> tuple[int, Any]:
        """Route and rerank in one call: each query's exact top-k among this shard's best `candidates`."""
        start = time.perf_counter()
        qs = _unpack(queries, self.retriever.dim)
        _, _, counts, indices = self._route(qs, n_probes, candidates, True)
        out = self._rerank(qs, k, indices, counts)
        return self._reply((_columns_bytes(out), time.perf_counter() - start))

    def _route(self, queries: list[np.ndarray], n_probes: int, max_candidates: int, local: bool) -> tuple[np.ndarray, ...]:
        retriever = self._open_retriever()
        route_query = retriever.router.route_query
        indices, scores, counts = _columns([route_query(q, n_probes, max_candidates) for q in queries])
        return (retriever.doc_ids[indices], scores, counts) + ((indices,) if local else ())

    def _rerank(self, queries: list[np.ndarray], k: int, indices: np.ndarray, picked: np.ndarray) -> tuple[np.ndarray, ...]:
        retriever = self._open_retriever()
        store, doc_ids = retriever.store, retriever.doc_ids
        bounds = np.concatenate(([0], np.cumsum(picked)))
        ids, scores, counts = [], [], np.zeros(len(picked), np.int64)
        for j, q in enumerate(queries):
            docs = np.unique(indices[bounds[j] : bounds[j + 1]])
            if k == 0 or len(q) == 0 or len(docs) == 0:
                continue
            exact = exact_scores(store, q, docs)
            best = top_k(exact, docs, k)
            ids.append(doc_ids[docs[best]])
            scores.append(exact[best])
            counts[j] = len(best)
        return (
            np.concatenate(ids) if ids else np.empty(0, _U64),
            np.concatenate(scores) if scores else np.empty(0, np.float32),
            counts,
        )

    # The Retriever's router numbers documents by index; callers see their own ids.
    @_exclusive
    def entries(self, query: np.ndarray, n_probes: int) -> tuple[int, list[int]]:
        retriever = self._open_retriever()
        ids = retriever.doc_ids
        return self._reply([int(ids[d]) for d in retriever.router.get_cluster_entries(query, n_probes)])

    @_exclusive
    def overlaps(self, query: np.ndarray, n_probes: int) -> tuple[int, list[tuple[int, int]]]:
        retriever = self._open_retriever()
        ids = retriever.doc_ids
        pairs = retriever.router.query_cluster_overlaps(query, n_probes)
        return self._reply([(int(ids[d]), n) for d, n in pairs])

    @_exclusive
    def profile(self, query: np.ndarray, n_probes: int) -> tuple[int, tuple[list[int], list[int]]]:
        return self._reply(self._open_retriever().router.compute_query_profile(query, n_probes))

    @_exclusive
    def save(self, directory: str) -> tuple[int, dict[str, Any]]:
        self._open_retriever().save(directory)
        self.directory = directory
        self._write_note()
        return self._reply({"n_docs": self.retriever.n_docs, "digest": codebook_digest(Path(directory) / ROUTER_FILE)})

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
            _remove_if_empty(self.note.parent)


def _remove_if_empty(directory: Path) -> None:
    try:
        directory.rmdir()
    except OSError:  # other shards' notes are still there, or it is gone already
        pass


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


# ---------------------------------------------------------------------------
# Driver-side helpers.


def _pack(queries: Sequence[np.ndarray]) -> tuple[bytes, bytes]:
    """Queries as the bytes of one row-stacked float32 matrix and of the int64 row bounds of each."""
    bounds = np.zeros(len(queries) + 1, np.int64)
    np.cumsum([len(q) for q in queries], out=bounds[1:])
    return b"".join(q.tobytes() for q in queries), bounds.tobytes()


def _unpack(packed: tuple[bytes, bytes], dim: int) -> list[np.ndarray]:
    rows = np.frombuffer(packed[0], np.float32).reshape(-1, dim)
    bounds = np.frombuffer(packed[1], np.int64).tolist()
    return [rows[a:b] for a, b in zip(bounds[:-1], bounds[1:])]


# A shard's answer columns: caller ids, float32 scores, per-query counts, and document indices.
_COLUMN_TYPES = (_U64, np.float32, np.int64, np.int64)


def _columns_bytes(columns: tuple[np.ndarray, ...]) -> tuple[bytes, ...]:
    return tuple(np.ascontiguousarray(c, t).tobytes() for c, t in zip(columns, _COLUMN_TYPES))


def _columns_of(raw: tuple[bytes, ...]) -> tuple[np.ndarray, ...]:
    return tuple(np.frombuffer(b, t) for b, t in zip(raw, _COLUMN_TYPES))


def _columns(routed: list[list[tuple[int, float]]]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The router's answers as document indices (int64), float32 scores and per-query counts.

    Indices are below 2**32 and scores are float32 values, so one float64 pass
    over the flattened pairs holds both exactly.
    """
    counts = np.fromiter(map(len, routed), np.int64, len(routed))
    total = int(counts.sum())
    flat = np.fromiter(chain.from_iterable(chain.from_iterable(routed)), np.float64, 2 * total).reshape(total, 2)
    return flat[:, 0].astype(np.int64), flat[:, 1].astype(np.float32), counts


def _descending(scores: np.ndarray) -> np.ndarray:
    """uint32 keys whose ascending order is the descending order of the float32 `scores`
    (-0.0 counts as 0.0)."""
    bits = (scores.astype(np.float32) + np.float32(0)).view(np.uint32)
    ascending = np.where(bits >> 31, ~bits, bits | np.uint32(0x80000000))
    return ~ascending


def _merge_order(ids: np.ndarray, scores: np.ndarray, counts: Sequence[np.ndarray], limit: int) -> tuple[np.ndarray, np.ndarray]:
    """Positions in the shard-after-shard arrays `ids`, `scores` of each query's merged candidates, and
    the number kept per query.

    Per query: best score first, lower id first among equal scores, equal ids in
    shard order, at most `limit`. `counts` holds each shard's per-query counts;
    each shard's part is query after query, each query's best first.
    """
    n_queries = len(counts[0])
    if n_queries == 1:  # one query: one stable sort on (score, id) costs fewer steps
        order = np.lexsort((ids, _descending(scores)))[:limit]
        return order, np.array([len(order)])
    query = np.concatenate([np.repeat(np.arange(n_queries, dtype=np.uint64), c) for c in counts])
    key = (query << np.uint64(32)) | _descending(scores).astype(np.uint64)
    # Every shard's part is one ascending run of keys, so the stable sort merges runs.
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    same = sorted_key[1:] == sorted_key[:-1]
    if same.any():  # put each run of equal keys in id order (stable: equal ids keep shard order)
        tied = np.flatnonzero(np.concatenate(([False], same)) | np.concatenate((same, [False])))
        run = np.cumsum(np.concatenate(([True], ~same)))[tied]
        at = order[tied]
        order[tied] = at[np.lexsort((ids[at], run))]
    totals = np.sum(counts, axis=0)
    first = np.concatenate(([0], np.cumsum(totals)[:-1]))
    rank = np.arange(len(order)) - np.repeat(first, totals)
    kept = np.minimum(totals, limit)
    return order[rank < limit], kept


def _merge(parts: Sequence[tuple[np.ndarray, ...]], limit: int) -> list[list[tuple[int, float]]]:
    """Each query's candidates over all shards as (id, score) lists, merged by `_merge_order`.

    `parts` holds one (ids, scores, per-query counts, ...) tuple per shard, in shard order.
    """
    ids = np.concatenate([p[0] for p in parts])
    scores = np.concatenate([p[1] for p in parts])
    keep, kept = _merge_order(ids, scores, [p[2] for p in parts], limit)
    pairs = zip(ids[keep].tolist(), scores[keep].tolist())
    return [list(islice(pairs, n)) for n in kept.tolist()]


def _query(query: Any, dim: int) -> np.ndarray:
    q = np.ascontiguousarray(query, dtype=np.float32)
    if q.ndim != 2:
        raise ValueError(f"query must be a 2-D array, got {q.ndim} dimensions")
    if q.shape[1] != dim:
        raise ValueError(f"dimension mismatch: expected {dim}, got {q.shape[1]}")
    return q


def _doc_ids(doc_ids: Sequence[int]) -> np.ndarray:
    ids = list(doc_ids)
    for i in ids:
        if not isinstance(i, (int, np.integer)) or isinstance(i, bool) or not 0 <= int(i) < 1 << 64:
            raise ValueError(f"document ids must be integers from 0 to 2**64 - 1, got {i!r}")
    return np.array([int(i) for i in ids], dtype=_U64)


class _Documents:
    """Documents as one (N, D) matrix with row ranges, possibly memory-mapped; read in pieces."""

    def __init__(self, vectors: Any, doc_offsets: Sequence[tuple[int, int]] | None, dim: int) -> None:
        if doc_offsets is None:
            docs = [np.asarray(d, dtype=np.float32) for d in vectors]
            lengths = np.array([len(d) for d in docs], dtype=np.int64)
            self.docs: list[np.ndarray] | None = docs
            self.starts = np.concatenate(([0], np.cumsum(lengths)[:-1])).astype(np.int64)
            self.ends = self.starts + lengths
            widths = {d.shape[1] if d.ndim == 2 else -1 for d in docs}
        else:
            self.docs = None
            self.matrix = vectors if isinstance(vectors, np.ndarray) else np.asarray(vectors, dtype=np.float32)
            if self.matrix.dtype != np.float32:
                raise ValueError(f"vectors must be float32, got {self.matrix.dtype}")
            if self.matrix.ndim != 2:
                raise ValueError(f"vectors must be a 2-D matrix, got {self.matrix.ndim} dimensions")
            pairs = np.array([(int(s), int(e)) for s, e in doc_offsets], dtype=np.int64).reshape(-1, 2)
            self.starts, self.ends = pairs[:, 0], pairs[:, 1]
            bad = np.flatnonzero((self.starts < 0) | (self.ends < self.starts) | (self.ends > len(self.matrix)))
            if bad.size:
                d = int(bad[0])
                raise ValueError(
                    f"document {d}: rows ({int(self.starts[d])}, {int(self.ends[d])}) are not a range "
                    f"inside the {len(self.matrix)} rows of vectors"
                )
            widths = {self.matrix.shape[1]} if len(pairs) else set()
        for w in widths:
            if w != dim:
                raise ValueError(f"dimension mismatch: expected {dim}, got {w}")

    def __len__(self) -> int:
        return len(self.starts)

    def chunks(self, max_rows: int) -> list[tuple[int, int]]:
        """Consecutive document ranges of at most max_rows vector rows (at least one document each)."""
        out, first, rows = [], 0, 0
        lengths = (self.ends - self.starts).tolist()
        for d, n in enumerate(lengths):
            if rows and rows + n > max_rows:
                out.append((first, d))
                first, rows = d, 0
            rows += n
        if first < len(lengths):
            out.append((first, len(lengths)))
        return out

    def gather(self, picks: np.ndarray) -> tuple[np.ndarray, list[tuple[int, int]]]:
        """The rows of the picked documents as one contiguous block, with offsets into it."""
        lengths = self.ends[picks] - self.starts[picks]
        bounds = np.concatenate(([0], np.cumsum(lengths)))
        offsets = list(zip(bounds[:-1].tolist(), bounds[1:].tolist()))
        if self.docs is not None:
            block = np.concatenate([self.docs[p] for p in picks.tolist()] or [np.empty((0, 0), np.float32)])
        else:
            rows = np.repeat(self.starts[picks] - bounds[:-1], lengths) + np.arange(bounds[-1])
            block = np.asarray(self.matrix[rows], dtype=np.float32)
        return np.ascontiguousarray(block), offsets


# ---------------------------------------------------------------------------
# The driver.


class ShardedRouter:
    """Documents spread over Ray actors, each a Retriever on one shared codebook.

    Create it from a codebook-only state (a path or its bytes, see
    `train_codebook`) or `ShardedRouter.load` it from a directory `save` wrote.
    Ray must be initialised (`ray.init(...)`) before. Placement: `num_cpus` per
    shard, custom `resources` per shard, and any further `actor_options` for
    `ActorClass.options` (a scheduling strategy, for instance). Each shard's
    worker pool gets `num_cpus` threads (at least one) through
    `RAYON_NUM_THREADS`, unless `actor_options` brings its own `runtime_env`.
    `restart_dir` is where each shard notes the
    directory it last saved or loaded, to restart from after its process died;
    give a path every node can reach when shards may restart on another node.
    The constructor waits up to `start_timeout` seconds for every shard to start.

    With `direct` (the default), queries go to each shard over a TCP connection
    to the actor's node address, authenticated by a token only this router and
    its actors know; if a shard cannot be reached that way (a firewall between
    the driver and the workers, say), a RuntimeWarning says so and every call
    goes through Ray. `direct=False` always uses Ray calls. A shard drops a
    connection whose request is larger than `max_frame_bytes`; the driver sends
    larger requests through Ray.
    """

    def __init__(
        self,
        codebook: bytes | str | os.PathLike[str],
        n_shards: int,
        *,
        num_cpus: float = 1,
        resources: dict[str, float] | None = None,
        max_restarts: int = 3,
        dtype: str = "float32",
        restart_dir: str | os.PathLike[str] | None = None,
        actor_options: dict[str, Any] | None = None,
        start_timeout: float = 300.0,
        direct: bool = True,
        max_frame_bytes: int = _channel.MAX_FRAME_BYTES,
        _directories: list[str] | None = None,
    ) -> None:
        if isinstance(n_shards, bool) or not isinstance(n_shards, int) or n_shards < 1:
            raise ValueError(f"shard count must be a positive integer, got {n_shards!r}")
        if not ray.is_initialized():
            raise RuntimeError("Ray is not initialised; call ray.init() first")
        state = codebook if isinstance(codebook, bytes) else Path(codebook).read_bytes()
        self.digest = codebook_digest(state)
        self._codebook = state
        self.n_shards = n_shards
        self.dim = _dim_of(state)
        self.dtype = dtype
        self._codebook_ref = ray.put(state)  # held for the actors' restarts
        self._own_note_dir = restart_dir is None
        self._note_dir = str(restart_dir or Path(tempfile.gettempdir()) / "nuvaris_qor_shards" / uuid.uuid4().hex)
        self._max_frame = max_frame_bytes
        options: dict[str, Any] = {"num_cpus": num_cpus, "max_restarts": max_restarts, "max_task_retries": 0}
        if resources:
            options["resources"] = dict(resources)
        threads = str(max(1, int(num_cpus)))
        options["runtime_env"] = {"env_vars": {"RAYON_NUM_THREADS": threads}}
        options.update(actor_options or {})
        actor_class = ray.remote(_Shard).options(**options)
        dirs = _directories or [None] * n_shards
        self._token = secrets.token_hex(32)
        self._actors = [
            actor_class.remote(
                i, self._codebook_ref, dtype, self._note_dir, dirs[i], self._token, max_frame_bytes, self._own_note_dir
            )
            for i in range(n_shards)
        ]
        self._generations = [0] * n_shards
        self._stale: dict[int, str] = {}
        self._last_directory: str | None = None
        self._closed = False
        self._start_timeout = start_timeout
        self._lock = threading.Lock()  # one exchange at a time on the direct connections
        self._links: list[_channel.Link | None] = [None] * n_shards
        self._addresses: list[tuple[str, int]] = []
        self._direct = direct
        self._connect_all(self._wait_started(start_timeout))

    def _wait_started(self, timeout: float) -> list[dict[str, Any]]:
        """Every shard's status once it is up, so that unplaceable shards fail here and not in a later call."""
        refs = {self._actors[i].status.remote(): i for i in range(self.n_shards)}
        ready, waiting = ray.wait(list(refs), num_returns=len(refs), timeout=timeout)
        failure: ShardError | None = None
        if waiting:
            i = min(refs[r] for r in waiting)
            failure = ShardError(
                i, "StartTimeout", f"not started within {timeout:g} s; the cluster may lack the CPUs or resources asked for"
            )
        statuses = {}
        for ref in ready:
            result = statuses[refs[ref]] = self._result(refs[ref], ref)
            if isinstance(result, ShardError) and (failure is None or result.shard < failure.shard):
                failure = result
        if failure is not None:
            self.close()
            raise failure
        return [statuses[i] for i in range(self.n_shards)]

    # -- direct connections ---------------------------------------------------

    def _connect_all(self, statuses: list[dict[str, Any]]) -> None:
        """(Re)connect to every shard at the address its status gives (restarted actors listen on new
        ports), or fall back to Ray calls for good when one cannot be reached."""
        with self._lock:
            self._drop(range(self.n_shards))
            self._addresses = [tuple(st["address"]) for st in statuses]
            for i in range(self.n_shards if self._direct else 0):
                try:
                    self._link(i)
                except _channel.LINK_ERRORS as err:
                    warnings.warn(
                        f"shard {i} cannot be reached directly at {self._addresses[i]} ({err}); "
                        "queries go through Ray calls",
                        RuntimeWarning,
                        stacklevel=3,
                    )
                    self._direct = False
                    self._drop(range(self.n_shards))
                    return

    def _link(self, shard: int) -> _channel.Link:
        """The open connection to `shard`, made when there is none."""
        link = self._links[shard]
        if link is None:
            link = self._links[shard] = _channel.Link(self._addresses[shard], self._token, timeout=10.0)
        return link

    def _drop(self, shards: Any) -> None:
        for i in shards:
            link, self._links[i] = self._links[i], None
            if link is not None:
                link.close()

    def _exchange(self, shards: Sequence[int], requests: list[tuple[bytes, list[bytes]]]) -> list[Any]:
        """Send every shard its request (see `_channel.request`) over the direct connections, then read
        the replies: each shard's (columns, seconds), or the ShardError for its failure."""
        calls = list(zip(shards, requests))
        replies: dict[int, Any] = {}
        broken: dict[int, BaseException] = {}
        sent: dict[int, _channel.Link] = {}
        with self._lock:
            try:
                for i, (header, parts) in calls:
                    try:
                        sent[i] = self._link(i)
                        sent[i].send(header, parts)
                    except _channel.LINK_ERRORS as err:
                        broken[i] = err
                for i, _ in calls:
                    if i not in broken:
                        try:
                            replies[i] = sent[i].recv()
                        except _channel.LINK_ERRORS as err:
                            broken[i] = err
            except BaseException:  # interrupted: replies still on their way must not meet the next request
                self._drop(i for i, _ in calls)
                raise
            for i, request in calls:
                if i in broken:
                    self._drop([i])
                    replies[i] = self._recover(i, request, broken[i])
        return [self._answer(i, replies[i]) for i, _ in calls]

    def _recover(self, shard: int, request: tuple[bytes, list[bytes]], err: BaseException) -> Any:
        """After a broken connection: ask Ray whether the actor is the one we knew. If it died or
        restarted, that is the failure; if it is, only the connection broke: resend once on a new one."""
        status = self._result(shard, self._actors[shard].status.remote(), timeout=_PROBE_SECONDS)
        if isinstance(status, ShardError):
            return status
        self._addresses[shard] = tuple(status["address"])
        try:
            link = self._link(shard)
            link.send(*request)
            return link.recv()
        except _channel.LINK_ERRORS as again:
            self._drop([shard])
            return ShardError(shard, type(again).__name__, f"the direct connection failed twice: {err}; {again}")

    def _answer(self, shard: int, reply: Any) -> Any:
        """A direct reply as the Ray path's (columns, seconds), or the ShardError it carries."""
        if isinstance(reply, ShardError):
            return reply
        header, parts = reply
        value = (
            ShardError(shard, *header["error"]) if "error" in header else (tuple(parts), header["seconds"])
        )
        return self._checked(shard, header["generation"], value)

    # -- calls --------------------------------------------------------------

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("the sharded router is closed")
        if self._stale:
            i = min(self._stale)
            raise ShardRestartedError(
                i, "ShardRestarted", self._stale[i] + "; call reload() or accept_restarts() before using the router"
            )

    def _fail(self, shard: int, err: BaseException) -> ShardError:
        if isinstance(err, ray.exceptions.RayTaskError):
            cause = err.cause if err.cause is not None else err
            return ShardError(shard, type(cause).__name__, _first_line(cause))
        if isinstance(err, (ray.exceptions.RayActorError, ray.exceptions.GetTimeoutError)):
            self._stale[shard] = f"the actor process died ({type(err).__name__}); it restarts from its last save"
            return ShardRestartedError(
                shard, type(err).__name__, "the actor process died; it restarts from its last save; "
                "call reload() or accept_restarts() before using the router"
            )
        return ShardError(shard, type(err).__name__, str(err))

    def _result(self, shard: int, ref: ray.ObjectRef, timeout: float | None = None) -> Any:
        """One shard's answer, or the ShardError for its failure or restart (or for no answer within
        `timeout` seconds, taken as a dead actor)."""
        try:
            generation, value = ray.get(ref, timeout=timeout)
        except (ray.exceptions.RayTaskError, ray.exceptions.RayActorError, ray.exceptions.GetTimeoutError) as err:
            return self._fail(shard, err)
        return self._checked(shard, generation, value)

    def _checked(self, shard: int, generation: int, value: Any) -> Any:
        """`value`, or the ShardRestartedError when the reply comes from a restarted actor."""
        if generation != self._generations[shard]:
            self._stale[shard] = (
                f"the actor restarted (generation {generation}, expected {self._generations[shard]}) "
                "and holds only its last saved documents"
            )
            return ShardRestartedError(shard, "ShardRestarted", self._stale[shard] + "; call reload() or accept_restarts()")
        return value

    def _shared(self, value: Any) -> Any:
        """`value`, or its object-store reference when several shards would each be sent a large copy
        through Ray."""
        if not self._direct and self.n_shards > 1 and sum(len(b) for b in value) >= _SHARE_BYTES:
            return ray.put(value)
        return value

    def _call(
        self,
        method: str,
        *args: Any,
        shards: Sequence[int] | None = None,
        each: Sequence[Any] | None = None,
        check: bool = True,
    ) -> list[Any]:
        """`method(*args)` on every shard in `shards` (default all), with `each[j]` as a last argument of
        the j-th when given; the answers in that order, or the first failure raised."""
        if check:
            self._check()
        shards = range(self.n_shards) if shards is None else shards
        extra = [() for _ in shards] if each is None else [(e,) for e in each]
        requests = []
        if self._direct and method in _DIRECT:  # encoding refuses bad arguments before anything is sent
            requests = [_channel.request(method, (*args, *x)) for x in extra]
        if requests and all(_channel.frame_bytes(*r) <= self._max_frame for r in requests):
            results = self._exchange(shards, requests)
        else:
            refs = [(i, getattr(self._actors[i], method).remote(*args, *x)) for i, x in zip(shards, extra)]
            try:  # one wait for all shards; on any failure, sort the answers out one by one
                replies = ray.get([ref for _, ref in refs])
            except (ray.exceptions.RayTaskError, ray.exceptions.RayActorError):
                results = [self._result(i, ref) for i, ref in refs]
            else:
                results = [self._checked(i, g, v) for (i, _), (g, v) in zip(refs, replies)]
        for r in results:
            if isinstance(r, ShardError):
                raise r
        return results

    # -- adding ---------------------------------------------------------------

    def add_documents(
        self,
        new_vectors: Any,
        new_doc_ids: Sequence[int],
        doc_offsets: Sequence[tuple[int, int]] | None = None,
        *,
        chunk_rows: int = 1 << 18,
        in_flight: int = 2,
    ) -> None:
        """Add documents, each to the shard of its id, streaming `chunk_rows` vector rows at a time.

        `new_vectors` is an (N, D) float32 matrix (a memory-mapped one is read a
        chunk at a time) with `doc_offsets` [(start, end), ...] relative to it,
        or a list of per-document (n_i, D) arrays with `doc_offsets=None`. The
        shards take their parts in parallel, each holding at most `in_flight`
        chunks in transit. On failure nothing more is sent and
        `AddDocumentsError` says how many documents of this call each shard
        holds, and which shards restarted meanwhile.
        """
        self._check()
        docs = _Documents(new_vectors, doc_offsets, self.dim)
        ids = _doc_ids(new_doc_ids)
        if len(ids) != len(docs):
            raise ValueError(f"{len(ids)} document ids for {len(docs)} documents")
        owner = shard_of(ids, self.n_shards)
        expected = {s: int(np.count_nonzero(owner == s)) for s in range(self.n_shards)}
        applied = dict.fromkeys(range(self.n_shards), 0)
        holder: list[int | None] = list(self._generations)  # the process that holds each shard's `applied`
        restarted: set[int] = set()
        pending: list[list[tuple[ray.ObjectRef, int]]] = [[] for _ in range(self.n_shards)]
        failure: ShardError | None = None

        def take(shard: int, ref: ray.ObjectRef[Any], count: int) -> ShardError | None:
            """Count one chunk the shard took; the ShardError when it failed or a restarted actor took it.
            A process that dies takes what it held with it, so its count starts again."""
            try:
                generation, _ = ray.get(ref)
            except (ray.exceptions.RayTaskError, ray.exceptions.RayActorError) as err:
                if isinstance(err, ray.exceptions.RayActorError):
                    applied[shard], holder[shard] = 0, None
                    restarted.add(shard)
                return self._fail(shard, err)
            if generation != holder[shard]:
                applied[shard], holder[shard] = 0, generation
                restarted.add(shard)
            applied[shard] += count
            restart: ShardError | None = self._checked(shard, generation, None)
            return restart

        def settle(shard: int, keep: int) -> None:
            nonlocal failure
            while len(pending[shard]) > keep:
                ref, count = pending[shard].pop(0)
                error = take(shard, ref, count)
                if error is not None:
                    failure = failure or error
                    for later, n in pending[shard]:  # the actor runs calls in order: wait them out
                        take(shard, later, n)
                    pending[shard].clear()

        for first, end in docs.chunks(max(1, chunk_rows)):
            for s in range(self.n_shards):
                picks = first + np.flatnonzero(owner[first:end] == s)
                if picks.size == 0:
                    continue
                settle(s, max(0, in_flight - 1))
                if failure is not None:
                    break
                block, offsets = docs.gather(picks)
                ref = self._actors[s].add.remote(block, ids[picks].tolist(), offsets)
                pending[s].append((ref, int(picks.size)))
            if failure is not None:
                break
        for s in range(self.n_shards):
            settle(s, 0)
        if failure is not None:
            raise AddDocumentsError(failure, applied, expected, restarted) from failure

    # -- queries --------------------------------------------------------------

    def route_query(self, query: Any, n_probes: int = 4, max_candidates: int = 500) -> list[tuple[int, float]]:
        """Each shard's best `max_candidates` candidates, merged best first and cut at `max_candidates`."""
        return self.route_query_batch([query], n_probes, max_candidates)[0]

    def route_query_batch(
        self, queries: Sequence[Any], n_probes: int = 4, max_candidates: int = 500
    ) -> list[list[tuple[int, float]]]:
        """`route_query` for many queries, in one call per shard."""
        qs = [_query(q, self.dim) for q in queries]
        if not qs:
            return []
        answers = self._call("route", self._shared(_pack(qs)), n_probes, max_candidates)
        return _merge([_columns_of(a[0]) for a in answers], max_candidates)

    def search(self, query: Any, k: int = 10, *, n_probes: int = 4, candidates: int = 500) -> list[tuple[int, float]]:
        """Exact MaxSim top-k among the `candidates` best candidates over all shards (as `route_query`
        merges them): each shard reranks those of its own, the driver merges the exact scores like
        route_query's. The answer is the one Retriever holding every document gives, up to the
        order of equal scores and which of equal scores make the cut at `candidates`."""
        return self.search_batch([query], k, n_probes=n_probes, candidates=candidates)[0]

    def search_batch(
        self, queries: Sequence[Any], k: int = 10, *, n_probes: int = 4, candidates: int = 500
    ) -> list[list[tuple[int, float]]]:
        """`search` for many queries: one routing call per shard, then one reranking call per shard
        that holds candidates (a single shard does both in one call)."""
        if k < 0:
            raise ValueError(f"k must be non-negative, got {k}")
        qs = [_query(q, self.dim) for q in queries]
        if not qs:
            return []
        packed = self._shared(_pack(qs))
        if self.n_shards == 1:
            return _merge([_columns_of(a[0]) for a in self._call("search", packed, k, n_probes, candidates)], k)
        parts = [_columns_of(a[0]) for a in self._call("route", packed, n_probes, candidates, True)]
        keep, kept = _merge_order(
            np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts]), [p[2] for p in parts], candidates
        )
        owner = np.concatenate([np.full(len(p[0]), s, np.int64) for s, p in enumerate(parts)])[keep]
        local = np.concatenate([p[3] for p in parts])[keep]
        query = np.repeat(np.arange(len(qs)), kept)
        picks = {}
        for s in range(self.n_shards):
            mine = owner == s
            if k > 0 and mine.any():
                picks[s] = (local[mine].tobytes(), np.bincount(query[mine], minlength=len(qs)).astype(np.int64).tobytes())
        if not picks:
            return [[] for _ in qs]
        answers = self._call("rerank", packed, k, shards=list(picks), each=[picks[s] for s in picks])
        return _merge([_columns_of(a[0]) for a in answers], k)

    def timed_route_query(self, query: Any, n_probes: int = 4, max_candidates: int = 500) -> tuple[list, float]:
        """route_query and the slowest shard's own compute time in seconds (for measuring fan-out cost)."""
        answers = self._call("route", _pack([_query(query, self.dim)]), n_probes, max_candidates)
        return _merge([_columns_of(a[0]) for a in answers], max_candidates)[0], max(a[1] for a in answers)

    def get_cluster_entries(self, query: Any, n_probes: int = 4) -> list[int]:
        """Every shard's representative documents of the query's C_top clusters, shard after shard."""
        q = _query(query, self.dim)
        return [d for part in self._call("entries", q, n_probes) for d in part]

    def query_cluster_overlaps(self, query: Any, n_probes: int = 4) -> list[tuple[int, int]]:
        """(doc_id, shared C_top clusters) for every document, shard after shard."""
        q = _query(query, self.dim)
        return [pair for part in self._call("overlaps", q, n_probes) for pair in part]

    def compute_query_profile(self, query: Any, n_probes: int = 4) -> tuple[list[int], list[int]]:
        """The query's fine codes and C_top; the codebook is shared, so one shard answers."""
        return self._call("profile", _query(query, self.dim), n_probes, shards=[0])[0]

    def shard_doc_counts(self) -> list[int]:
        """Documents held by each shard, in shard order."""
        return [s["n_docs"] for s in self._call("status")]

    def n_docs(self) -> int:
        """Documents held by all shards."""
        return sum(self.shard_doc_counts())

    def shard_status(self) -> list[dict[str, Any]]:
        """Per shard: n_docs, n_rows, the actor's pid, resident memory in bytes, CPU seconds used so far and its
        last directory."""
        return self._call("status")

    # -- persistence ------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Every shard saves its Retriever under `directory` in parallel; then the manifest is written.

        The manifest (format version, codebook digest, shard count, partition
        rule, shard directory names and document counts) replaces the old one
        atomically, after every shard has finished, so `load` sees either the
        previous complete save or this one checked against its files.
        """
        root = Path(directory).resolve()
        root.mkdir(parents=True, exist_ok=True)
        names = [f"shard-{i:04d}" for i in range(self.n_shards)]
        saved = self._save_shards(root, names)
        for i, s in enumerate(saved):
            if s["digest"] != self.digest:
                raise ShardError(i, "CodebookMismatch", f"shard codebook {s['digest']} differs from {self.digest}")
        write_atomically(root / CODEBOOK_NAME, self._codebook)
        manifest = {
            "format": MANIFEST_FORMAT,
            "version": MANIFEST_VERSION,
            "codebook_sha256": self.digest,
            "codebook": CODEBOOK_NAME,
            "dim": self.dim,
            "dtype": self.dtype,
            "n_shards": self.n_shards,
            "partition": PARTITION_RULE,
            "shards": [{"directory": n, "n_docs": s["n_docs"]} for n, s in zip(names, saved)],
            "n_docs": sum(s["n_docs"] for s in saved),
        }
        write_atomically(root / MANIFEST_NAME, (json.dumps(manifest, indent=1) + "\n").encode())
        self._last_directory = str(root)

    def _save_shards(self, root: Path, names: list[str]) -> list[dict[str, Any]]:
        self._check()
        refs = [(i, self._actors[i].save.remote(str(root / names[i]))) for i in range(self.n_shards)]
        results = [self._result(i, ref) for i, ref in refs]
        for r in results:
            if isinstance(r, ShardError):
                raise r
        return results

    @classmethod
    def load(cls, directory: str | os.PathLike[str], **options: Any) -> ShardedRouter:
        """A sharded router from a directory `save` wrote, with the placement `options` of the constructor.

        The manifest is checked against the codebook file and against what
        every shard loaded (document counts, codebook digest); a mismatch is a
        ValueError and no actor is left running.
        """
        root = Path(directory).resolve()
        manifest, codebook = _read_manifest(root)
        names = [s["directory"] for s in manifest["shards"]]
        router = cls(codebook, manifest["n_shards"], dtype=manifest["dtype"], _directories=[str(root / n) for n in names],
                     **options)
        try:
            router._verify(root, manifest)
        except BaseException:
            router.close()
            raise
        router._last_directory = str(root)
        return router

    def _verify(self, root: Path, manifest: dict[str, Any]) -> None:
        refs = [(i, self._actors[i].codebook_digest.remote()) for i in range(self.n_shards)]
        digests = [self._result(i, ref) for i, ref in refs]
        for r in digests:
            if isinstance(r, ShardError):
                raise r
        counts = self.shard_doc_counts()
        for i, (entry, digest, count) in enumerate(zip(manifest["shards"], digests, counts)):
            if digest != manifest["codebook_sha256"]:
                raise ValueError(f"{root}: shard {i} was built on another codebook ({digest}, manifest {manifest['codebook_sha256']})")
            if count != entry["n_docs"]:
                raise ValueError(f"{root}: shard {i} holds {count} documents, the manifest says {entry['n_docs']}")

    def reload(self, directory: str | os.PathLike[str] | None = None) -> None:
        """Every shard loads its part of `directory` (default: the last one saved or loaded); clears restarts."""
        target = directory if directory is not None else self._last_directory
        if target is None:
            raise ValueError("nothing to reload: the router was never saved or loaded")
        root = Path(target).resolve()
        manifest, codebook = _read_manifest(root)
        if manifest["n_shards"] != self.n_shards or manifest["codebook_sha256"] != self.digest:
            raise ValueError(
                f"{root}: holds {manifest['n_shards']} shards on codebook {manifest['codebook_sha256']}, "
                f"this router has {self.n_shards} shards on codebook {self.digest}"
            )
        results = self._call_restarting("load", [(str(root / e["directory"]),) for e in manifest["shards"]])
        self._generations = [g for g, _ in results]
        self._stale.clear()
        self._connect_all(self._call("status"))
        self._verify(root, manifest)
        self._last_directory = str(root)

    def _call_restarting(self, method: str, args: list[tuple[Any, ...]]) -> list[tuple[int, Any]]:
        """(generation, value) of `method(*args[i])` on every shard i, unchecked, waiting up to the start
        timeout for actors that Ray is still restarting; `method` must be safe to run twice."""
        deadline = time.monotonic() + self._start_timeout
        refs = {i: getattr(self._actors[i], method).remote(*a) for i, a in enumerate(args)}
        results: dict[int, tuple[int, Any]] = {}
        while refs:
            for i, ref in list(refs.items()):
                try:
                    results[i] = ray.get(ref)
                    del refs[i]
                except ray.exceptions.ActorUnavailableError as err:
                    if time.monotonic() > deadline:
                        raise self._fail(i, err) from err
                    time.sleep(0.1)  # the actor is restarting: ask again
                    refs[i] = getattr(self._actors[i], method).remote(*args[i])
                except (ray.exceptions.RayTaskError, ray.exceptions.RayActorError) as err:
                    raise self._fail(i, err) from err
        return [results[i] for i in range(len(args))]

    def accept_restarts(self) -> list[int]:
        """Accept what restarted shards restored; returns every shard's document count.

        The caller takes over: documents added after a shard's last save are
        missing from it until they are added again.
        """
        answers = self._call_restarting("status", [()] * self.n_shards)
        self._generations = [g for g, _ in answers]
        self._stale.clear()
        statuses = [st for _, st in answers]
        self._connect_all(statuses)
        return [st["n_docs"] for st in statuses]

    def close(self) -> None:
        """Stop the shard actors (saved directories stay; the restart notes go, and with them their
        directory when the router made it)."""
        if self._closed:
            return
        self._closed = True
        with self._lock:
            self._drop(range(self.n_shards))
        closing = [actor.close.remote() for actor in self._actors]
        ray.wait(closing, num_returns=len(closing), timeout=30)  # a dead actor has nothing left to close
        for actor in self._actors:
            ray.kill(actor, no_restart=True)
        if self._own_note_dir:  # notes of shards that could not close, where they share this node
            notes = Path(self._note_dir)
            for i in range(self.n_shards):
                (notes / f"shard-{i:04d}.json").unlink(missing_ok=True)
            _remove_if_empty(notes)

    def __enter__(self) -> ShardedRouter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _dim_of(state: bytes) -> int:
    return int(_native.read_state(state)["dim"])


def _read_manifest(root: Path) -> tuple[dict[str, Any], bytes]:
    path = root / MANIFEST_NAME
    try:
        manifest = json.loads(path.read_text())
    except FileNotFoundError:
        raise ValueError(f"{root}: no {MANIFEST_NAME}; not a sharded router directory") from None
    except json.JSONDecodeError as err:
        raise ValueError(f"{path}: not valid JSON ({err})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT:
        raise ValueError(f"{path}: not a sharded router manifest")
    if manifest.get("version") != MANIFEST_VERSION:
        raise ValueError(f"{path}: manifest version {manifest.get('version')!r}, expected {MANIFEST_VERSION}")
    if manifest.get("partition") != PARTITION_RULE:
        raise ValueError(f"{path}: partition rule {manifest.get('partition')!r}, this version uses {PARTITION_RULE!r}")
    shards = manifest.get("shards")
    n = manifest.get("n_shards")
    if not isinstance(shards, list) or not isinstance(n, int) or n < 1 or len(shards) != n:
        raise ValueError(f"{path}: n_shards is {n!r} but {len(shards) if isinstance(shards, list) else 'no'} shards are listed")
    for i, entry in enumerate(shards):
        name = entry.get("directory") if isinstance(entry, dict) else None
        if not isinstance(name, str) or not _SHARD_DIR.match(name) or not isinstance(entry.get("n_docs"), int):
            raise ValueError(f"{path}: shard entry {i} is malformed: {entry!r}")
    codebook_file = root / str(manifest.get("codebook"))
    if not codebook_file.is_file() or codebook_file.parent != root:
        raise ValueError(f"{path}: codebook file {manifest.get('codebook')!r} is missing")
    codebook = codebook_file.read_bytes()
    if codebook_digest(codebook) != manifest.get("codebook_sha256"):
        raise ValueError(f"{codebook_file}: codebook digest differs from the manifest's")
    return manifest, codebook

