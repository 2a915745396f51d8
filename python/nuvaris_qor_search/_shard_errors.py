"""The errors a sharded router raises when a shard fails."""

from __future__ import annotations

from collections.abc import Iterable


class ShardError(RuntimeError):
    """A shard failed; `shard`, `error_type` and `error_message` say which and how."""

    def __init__(self, shard: int, error_type: str, error_message: str, note: str = "") -> None:
        self.shard, self.error_type, self.error_message = shard, error_type, error_message
        super().__init__(f"shard {shard}: {error_type}: {error_message}{note}")


class ShardRestartedError(ShardError):
    """A shard's actor died or restarted; its answers would miss documents."""


class AddDocumentsError(ShardError):
    """`add` failed on a shard; `applied` maps every shard to the documents of this call it
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
            note += (
                f"; restarted during the call (the documents their old process took are lost): {list(self.restarted)}"
            )
        super().__init__(cause.shard, cause.error_type, cause.error_message, note)


def first_failure(results: Iterable[object]) -> None:
    """Raises the first ShardError among one answer per shard, in shard order."""
    for r in results:
        if isinstance(r, ShardError):
            raise r
