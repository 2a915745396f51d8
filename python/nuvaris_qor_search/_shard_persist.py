"""Saving a sharded router and loading one back: each shard saves or loads its own directory in
parallel, and the manifest (see `_shard_manifest`) is written after every shard has finished and
checked against what every shard loaded. Reloading, and accepting what restarted shards restored,
bring the driver's account of each shard's generation up to date."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from ._shard_errors import ShardError
from ._shard_fanout import FanOut
from ._shard_manifest import check_compatible, check_loaded, read_manifest, shard_names, write_manifest


def save(fan: FanOut, root: Path, codebook: bytes, digest: str, dim: int, dtype: str) -> None:
    """Every shard saves under `root` in parallel; then the codebook file and the manifest are
    written, once every shard has answered with the codebook the router holds."""
    saved = fan.call("save", each=[str(root / n) for n in shard_names(fan.n_shards)])
    for i, s in enumerate(saved):
        if s["digest"] != digest:
            raise ShardError(i, "CodebookMismatch", f"shard codebook {s['digest']} differs from {digest}")
    kinds = {s["string_ids"] for s in saved} - {None}
    counts = [s["n_docs"] for s in saved]
    write_manifest(root, codebook, digest, dim, dtype, counts, string_ids=True in kinds)


def open_saved(directory: str | os.PathLike[str]) -> tuple[Path, dict[str, Any], bytes, list[str]]:
    """A saved router's resolved root, its manifest, its codebook and each shard's directory."""
    root = Path(directory).resolve()
    manifest, codebook = read_manifest(root)
    return root, manifest, codebook, [str(root / s["directory"]) for s in manifest["shards"]]


def verify(fan: FanOut, root: Path, manifest: dict[str, Any]) -> None:
    """Refuses shards whose codebook, document count or id kind differs from the manifest's."""
    statuses = fan.call("status")
    counts, kinds = [st["n_docs"] for st in statuses], [st["string_ids"] for st in statuses]
    check_loaded(root, manifest, fan.call("codebook_digest"), counts, kinds)


def reload(fan: FanOut, target: str | os.PathLike[str], digest: str) -> Path:
    """Every shard loads its part of the saved router at `target`, restarted shards included, which
    the driver then accepts; returns the resolved root."""
    root = Path(target).resolve()
    manifest, _ = read_manifest(root)
    check_compatible(root, manifest, fan.n_shards, digest)
    results = fan.call_restarting("load", [(str(root / e["directory"]),) for e in manifest["shards"]])
    fan.accept([g for g, _ in results])
    fan.connect_all(fan.call("status"))
    verify(fan, root, manifest)
    return root


def accept_restarts(fan: FanOut) -> list[int]:
    """Accepts every shard's current generation and reconnects; each shard's document count."""
    answers = fan.call_restarting("status", [()] * fan.n_shards)
    fan.accept([g for g, _ in answers])
    statuses = [st for _, st in answers]
    fan.connect_all(statuses)
    return [st["n_docs"] for st in statuses]
