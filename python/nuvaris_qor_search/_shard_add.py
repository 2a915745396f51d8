"""Adding documents to a sharded router: each to the shard of its id, streamed a chunk at a time,
with a count of what every shard took so that a failure says how far each got."""

from __future__ import annotations

from typing import Any

import numpy as np
import ray
import ray.exceptions

from . import _inputs
from ._progress import Progress
from ._shard_errors import AddDocumentsError, ShardError
from ._shard_fanout import FanOut
from ._shard_manifest import shard_of


class Documents:
    """Documents as one (N, D) matrix with row ranges, possibly memory-mapped, or as per-document
    arrays; checked whole (see `_inputs.document_ranges`) before any is read for sending, then read
    in pieces."""

    def __init__(self, vectors: Any, doc_ids: Any, doc_offsets: Any, dim: int, dtype: np.dtype) -> None:
        checked = _inputs.document_ranges(vectors, doc_ids, doc_offsets, dim, dtype)
        source = checked.source
        self.docs: list[np.ndarray] | None = source if isinstance(source, list) else None
        self.matrix: np.ndarray | None = None if isinstance(source, list) else source
        self.starts, self.ends, self.ids = checked.starts, checked.ends, checked.ids

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
        offsets = list(zip(bounds[:-1].tolist(), bounds[1:].tolist(), strict=True))
        if self.matrix is None:
            assert self.docs is not None
            block = np.concatenate([self.docs[p] for p in picks.tolist()] or [np.empty((0, 0), np.float32)])
        else:
            rows = np.repeat(self.starts[picks] - bounds[:-1], lengths) + np.arange(bounds[-1])
            block = np.asarray(self.matrix[rows], dtype=np.float32)
        return np.ascontiguousarray(block), offsets


class StreamingAdd:
    """One `add` call: sends each shard its part of every chunk, at most `in_flight` chunks
    in transit per shard, and counts what each shard's current process holds."""

    def __init__(self, fan: FanOut, docs: Documents) -> None:
        n = fan.n_shards
        self.fan, self.docs, self.ids = fan, docs, docs.ids
        self.owner = shard_of(self.ids, n)
        self.expected = {s: int(np.count_nonzero(self.owner == s)) for s in range(n)}
        self.applied = dict.fromkeys(range(n), 0)
        self.holder: list[int | None] = list(fan.generations)  # the process that holds each shard's `applied`
        self.restarted: set[int] = set()
        self.pending: list[list[tuple[ray.ObjectRef[Any], int]]] = [[] for _ in range(n)]
        self.failure: ShardError | None = None

    def run(self, chunk_rows: int, in_flight: int, progress: Progress) -> None:
        """Sends every chunk, or stops sending at the first failure; raises AddDocumentsError for it.
        `progress` advances by each chunk's rows once every shard has been sent its part."""
        rows = int((self.docs.ends - self.docs.starts).sum())
        progress.step(f"sending {len(self.docs)} documents to {self.fan.n_shards} shards", rows, "vectors")
        for first, end in self.docs.chunks(max(1, chunk_rows)):
            for s in range(self.fan.n_shards):
                picks = first + np.flatnonzero(self.owner[first:end] == s)
                if picks.size == 0:
                    continue
                self._settle(s, max(0, in_flight - 1))
                if self.failure is not None:
                    break
                block, offsets = self.docs.gather(picks)
                ref = self.fan.actors[s].add.remote(block, self.ids[picks], offsets)
                self.pending[s].append((ref, int(picks.size)))
            if self.failure is not None:
                break
            progress.advance(int((self.docs.ends[first:end] - self.docs.starts[first:end]).sum()))
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
