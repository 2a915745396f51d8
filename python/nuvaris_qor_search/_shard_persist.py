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
from .codes import quantiser_digest


def save(
    fan: FanOut, root: Path, codebook: bytes, digest: str, dim: int, dtype: str,
    quantiser: bytes | None = None, keep_vectors: bool = True,
) -> None:
    """Every shard saves under `root` in parallel; then the codebook file (and the quantiser's) and the
    manifest are written, once every shard has answered with the codebook and codes the router holds."""
    saved = fan.call("save", each=[str(root / n) for n in shard_names(fan.n_shards)])
    codes = (None if quantiser is None else quantiser_digest(quantiser), keep_vectors)
    for i, s in enumerate(saved):
        if s["digest"] != digest:
            raise ShardError(i, "CodebookMismatch", f"shard codebook {s['digest']} differs from {digest}")
        if (s["quantiser"], s["keeps_vectors"]) != codes:
            raise ShardError(
                i, "CodesMismatch", f"shard quantiser {s['quantiser']} (vectors kept: {s['keeps_vectors']}) "
                f"differs from {codes[0]} (vectors kept: {keep_vectors})"
            )
    kinds = {s["string_ids"] for s in saved} - {None}
    counts = [s["n_docs"] for s in saved]
    write_manifest(root, codebook, digest, dim, dtype, counts, string_ids=True in kinds,
                   quantiser=quantiser, keep_vectors=keep_vectors)


def open_saved(directory: str | os.PathLike[str]) -> tuple[Path, dict[str, Any], bytes, bytes | None, list[str]]:
    """A saved router's resolved root, its manifest, its codebook, its quantiser (None: no codes) and
    each shard's directory."""
    root = Path(directory).resolve()
    manifest, codebook, quantiser = read_manifest(root)
    return root, manifest, codebook, quantiser, [str(root / s["directory"]) for s in manifest["shards"]]


def verify(fan: FanOut, root: Path, manifest: dict[str, Any]) -> None:
    """Refuses shards whose codebook, document count, id kind or codes differ from the manifest's."""
    statuses = fan.call("status")
    counts, kinds = [st["n_docs"] for st in statuses], [st["string_ids"] for st in statuses]
    codes = [(st["quantiser"], st["keeps_vectors"]) for st in statuses]
    check_loaded(root, manifest, fan.call("codebook_digest"), counts, kinds, codes)


def reload(
    fan: FanOut, target: str | os.PathLike[str], digest: str, codes: tuple[str | None, bool] = (None, True)
) -> Path:
    """Every shard loads its part of the saved router at `target`, restarted shards included, which
    the driver then accepts; returns the resolved root. `codes`: the running router's quantiser digest
    (None: no codes) and whether it keeps vectors, which the saved router must share."""
    root = Path(target).resolve()
    manifest, _, _ = read_manifest(root)
    check_compatible(root, manifest, fan.n_shards, digest, codes)
    try:
        results = fan.call_restarting("load", [(str(root / e["directory"]),) for e in manifest["shards"]])
        fan.accept([g for g, _ in results])
        fan.connect_all(fan.call("status"))
        verify(fan, root, manifest)
    except BaseException as err:
        # Some shards or all may hold what they loaded, which the caller was just told is wrong: they
        # answer nothing more until a reload succeeds or the caller accepts them as they are.
        note = f"reloading {root} failed ({type(err).__name__}); the shards may hold part of it"
        for i in range(fan.n_shards):
            fan.stale.setdefault(i, note)
        raise
    return root


def accept_restarts(fan: FanOut) -> list[int]:
    """Accepts every shard's current generation and reconnects; each shard's document count."""
    answers = fan.call_restarting("status", [()] * fan.n_shards)
    fan.accept([g for g, _ in answers])
    statuses = [st for _, st in answers]
    fan.connect_all(statuses)
    return [st["n_docs"] for st in statuses]
