"""Adding documents to a sharded router: each to the shard of its id, streamed a chunk at a time,
with a count of what every shard took so that a failure says how far each got."""

from __future__ import annotations

from collections.abc import Sequence
from itertools import pairwise
from typing import Any

import numpy as np
import ray
import ray.exceptions

from ._shard_errors import AddDocumentsError, ShardError
from ._shard_fanout import FanOut
from ._shard_manifest import shard_of


def doc_ids(values: Sequence[int]) -> np.ndarray:
    ids = list(values)
    for i in ids:
        if not isinstance(i, (int, np.integer)) or isinstance(i, bool) or not 0 <= int(i) < 1 << 64:
            raise ValueError(f"document ids must be integers from 0 to 2**64 - 1, got {i!r}")
    return np.array([int(i) for i in ids], dtype=np.uint64)


class Documents:
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
        offsets = list(pairwise(bounds.tolist()))
        if self.docs is not None:
            block = np.concatenate([self.docs[p] for p in picks.tolist()] or [np.empty((0, 0), np.float32)])
        else:
            rows = np.repeat(self.starts[picks] - bounds[:-1], lengths) + np.arange(bounds[-1])
            block = np.asarray(self.matrix[rows], dtype=np.float32)
        return np.ascontiguousarray(block), offsets


class StreamingAdd:
    """One `add_documents` call: sends each shard its part of every chunk, at most `in_flight` chunks
    in transit per shard, and counts what each shard's current process holds."""

    def __init__(self, fan: FanOut, docs: Documents, ids: np.ndarray) -> None:
        n = fan.n_shards
        self.fan, self.docs, self.ids = fan, docs, ids
        self.owner = shard_of(ids, n)
        self.expected = {s: int(np.count_nonzero(self.owner == s)) for s in range(n)}
        self.applied = dict.fromkeys(range(n), 0)
        self.holder: list[int | None] = list(fan.generations)  # the process that holds each shard's `applied`
        self.restarted: set[int] = set()
        self.pending: list[list[tuple[ray.ObjectRef[Any], int]]] = [[] for _ in range(n)]
        self.failure: ShardError | None = None

    def run(self, chunk_rows: int, in_flight: int) -> None:
        """Sends every chunk, or stops sending at the first failure; raises AddDocumentsError for it."""
        for first, end in self.docs.chunks(max(1, chunk_rows)):
            for s in range(self.fan.n_shards):
                picks = first + np.flatnonzero(self.owner[first:end] == s)
                if picks.size == 0:
                    continue
                self._settle(s, max(0, in_flight - 1))
                if self.failure is not None:
                    break
                block, offsets = self.docs.gather(picks)
                ref = self.fan.actors[s].add.remote(block, self.ids[picks].tolist(), offsets)
                self.pending[s].append((ref, int(picks.size)))
            if self.failure is not None:
                break
        for s in range(self.fan.n_shards):
            self._settle(s, 0)
        if self.failure is not None:
            raise AddDocumentsError(self.failure, self.applied, self.expected, self.restarted) from self.failure

    def _take(self, shard: int, ref: ray.ObjectRef[Any], count: int) -> ShardError | None:
        """Count one chunk the shard took; the ShardError when it failed or a restarted actor took it.
        A process that dies takes what it held with it, so its count starts again."""
        try:
            generation, _ = ray.get(ref)
        except (ray.exceptions.RayTaskError, ray.exceptions.RayActorError) as err:
            if isinstance(err, ray.exceptions.RayActorError):
                self.applied[shard], self.holder[shard] = 0, None
                self.restarted.add(shard)
            return self.fan.fail(shard, err)
        if generation != self.holder[shard]:
            self.applied[shard], self.holder[shard] = 0, generation
            self.restarted.add(shard)
        self.applied[shard] += count
        restart: ShardError | None = self.fan.checked(shard, generation, None)
        return restart

    def _settle(self, shard: int, keep: int) -> None:
        """Waits for the shard's oldest chunks until at most `keep` are in transit (all, after a failure)."""
        pending = self.pending[shard]
        while len(pending) > keep:
            ref, count = pending.pop(0)
            error = self._take(shard, ref, count)
            if error is not None:
                self.failure = self.failure or error
                for later, n in pending:  # the actor runs calls in order: wait them out
                    self._take(shard, later, n)
                pending.clear()
