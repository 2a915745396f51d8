"""Starting and stopping a sharded router's actors, and the one-line account of what they hold.

Starting places one actor per shard, gives each the codebook and the quantiser
(in arguments its restarts get again), a directory for the notes it restarts
from, and a token only this router and its actors know; then waits for every
shard to start and connects to it directly. A start that fails stops the actors it made.
"""

from __future__ import annotations

import os
import secrets
import tempfile
import uuid
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NamedTuple

from ._shard_actor import codebook_arguments, remove_notes, start_shards
from ._shard_errors import ShardError
from ._shard_fanout import FanOut


class Started(NamedTuple):
    """Running shards: the fan-out to them, where they keep their restart notes (and whether the
    router made that directory), and the codebook arguments their restarts may need again."""

    fan: FanOut
    note_dir: str
    own_note_dir: bool
    codebook_args: list[Any]


def start(
    codebook: bytes,
    directories: Sequence[str | None],
    dtype: str,
    restart_dir: str | os.PathLike[str] | None,
    options: dict[str, Any],
    *,
    start_timeout: float,
    direct: bool,
    max_frame_bytes: int,
    codes: tuple[bytes | None, bool] = (None, True),
) -> Started:
    """One shard per entry of `directories` (where it loads from; None: empty, on the codebook and
    with the `codes` of `start_shards`), started with the actor `options` of `placement` and
    connected."""
    own_note_dir = restart_dir is None
    note_dir = str(restart_dir or Path(tempfile.gettempdir()) / "nuvaris_qor_shards" / uuid.uuid4().hex)
    quantiser, keep_vectors = codes
    codebook_args = codebook_arguments(codebook + (quantiser or b""))
    token = secrets.token_hex(32)
    actors = start_shards(options, directories, codebook_args, dtype, note_dir, own_note_dir, token,
                          max_frame_bytes, (None if quantiser is None else len(quantiser), keep_vectors))
    fan = FanOut(actors, token, direct=direct, max_frame=max_frame_bytes, start_timeout=start_timeout)
    try:
        fan.connect_all(fan.wait_started())
    except BaseException:
        stop(fan, note_dir, own_note_dir)
        raise
    return Started(fan, note_dir, own_note_dir, codebook_args)


def stop(fan: FanOut, note_dir: str, own_note_dir: bool) -> None:
    """Stops the actors (once); removes the notes of shards that could not close, where they share
    this node, and their directory when the router made it."""
    if fan.closed:
        return
    fan.close()
    if own_note_dir:
        remove_notes(note_dir, fan.n_shards)


def describe(fan: FanOut) -> str:
    """What the shards hold: documents (and removed ones) and the id kind, or which shard could not
    say."""
    try:
        statuses = fan.call("status")
    except ShardError as err:
        return f"shard {err.shard} unavailable ({err.error_type})"
    kinds = {st["string_ids"] for st in statuses} - {None}
    kind = "no ids yet" if not kinds else ("string ids" if True in kinds else "integer ids")
    if any(st["quantiser"] is not None for st in statuses):
        kind += ", token codes" + ("" if all(st["keeps_vectors"] for st in statuses) else " only")
    removed = sum(st["n_removed"] for st in statuses)
    held = f"{sum(st['n_docs'] for st in statuses)} documents" + (f" (+{removed} removed)" if removed else "")
    return f"{held}, {kind}"
