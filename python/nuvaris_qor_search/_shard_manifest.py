"""Where a sharded router's documents live: the partition of document ids over shards, and the
manifest of a saved sharded router (the codebook file, the quantiser file when the shards keep
token codes, and one Retriever directory per shard).

Document id `i` lives on shard `shard_of(i, n_shards)`: for an integer id the
splitmix64 finaliser of the id, for a string id the first 8 bytes of the
BLAKE2b digest of its UTF-8 bytes (read as a little-endian integer), taken
modulo the shard count. It depends on the id alone, so the same id always
lands on the same shard, across calls and processes; the manifest names the
rule of its ids, and a directory saved under another is refused.
"""

from __future__ import annotations

import hashlib
import json
import re
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .codebook import codebook_digest, write_atomically
from .codes import quantiser_digest
from .store import store_dtype

PARTITION_RULE = "splitmix64-mod"  # integer ids
STRING_PARTITION_RULE = "blake2b64-mod"  # string ids
MANIFEST_NAME = "manifest.json"
MANIFEST_FORMAT = "nuvaris-qor-shards"
# Version 2 adds the shared quantiser of the token codes and whether the shards keep their float
# vectors; a save writes version 1 when its shards have no codes, so older readers still load it.
MANIFEST_VERSION = 2
CODEBOOK_NAME = "codebook.qor"
QUANTISER_NAME = "quantiser.npy"
_SHARD_DIR = re.compile(r"^shard-[0-9]{4,}$")
_U64 = np.uint64


def shard_of(doc_ids: Sequence[int] | Sequence[str] | np.ndarray, n_shards: int) -> np.ndarray:
    """Shard index of each document id, as an int64 array: splitmix64(id) mod n_shards for integer
    ids, the BLAKE2b digest's first 8 bytes mod n_shards for string ids."""
    if n_shards < 1:
        raise ValueError(f"shard count must be at least 1, got {n_shards}")
    ids = doc_ids if isinstance(doc_ids, np.ndarray) else list(doc_ids)
    if ids.dtype.kind == "U" if isinstance(ids, np.ndarray) else any(isinstance(i, str) for i in ids):
        keys = [_string_key(str(i)) for i in np.asarray(ids).reshape(-1).tolist()]
        return (np.array(keys, dtype=_U64, ndmin=1) % _U64(n_shards)).astype(np.int64)
    z = np.array(ids, dtype=_U64, ndmin=1) + _U64(0x9E3779B97F4A7C15)  # arrays wrap silently
    z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
    z = z ^ (z >> _U64(31))
    return (z % _U64(n_shards)).astype(np.int64)


def _string_key(doc_id: str) -> int:
    # A digest rather than hash(): Python salts str hashes per process.
    return int.from_bytes(hashlib.blake2b(doc_id.encode("utf-8"), digest_size=8).digest(), "little")


def partition_rule(string_ids: bool) -> str:
    """The rule that places ids of this kind."""
    return STRING_PARTITION_RULE if string_ids else PARTITION_RULE


def shard_names(n_shards: int) -> list[str]:
    """The directory of each shard under a saved router's root."""
    return [f"shard-{i:04d}" for i in range(n_shards)]


def write_manifest(
    root: Path, codebook: bytes, digest: str, dim: int, dtype: str, counts: list[int], string_ids: bool = False,
    quantiser: bytes | None = None, keep_vectors: bool = True,
) -> None:
    """Writes the codebook file (and the quantiser's, when there is one), then the manifest (replacing
    the old one atomically, so a reader sees either the previous complete save or this one)."""
    write_atomically(root / CODEBOOK_NAME, codebook)
    codes: dict[str, Any] = {}
    if quantiser is not None:
        write_atomically(root / QUANTISER_NAME, quantiser)
        codes = {"quantiser": QUANTISER_NAME, "quantiser_sha256": quantiser_digest(quantiser),
                 "keep_vectors": keep_vectors}
    manifest = {
        "format": MANIFEST_FORMAT,
        "version": MANIFEST_VERSION if codes else 1,
        "codebook_sha256": digest,
        "codebook": CODEBOOK_NAME,
        "dim": dim,
        "dtype": dtype,
        "n_shards": len(counts),
        "partition": partition_rule(string_ids),
        "shards": [{"directory": n, "n_docs": c} for n, c in zip(shard_names(len(counts)), counts, strict=True)],
        "n_docs": sum(counts),
        **codes,
    }
    write_atomically(root / MANIFEST_NAME, (json.dumps(manifest, indent=1) + "\n").encode())


def read_manifest(root: Path) -> tuple[dict[str, Any], bytes, bytes | None]:
    """The manifest under `root`, the codebook it names and its quantiser (None when the shards keep no
    codes), checked against each other."""
    path = root / MANIFEST_NAME
    try:
        manifest = json.loads(path.read_text())
    except FileNotFoundError:
        raise ValueError(f"{root}: no {MANIFEST_NAME}; not a sharded router directory") from None
    except json.JSONDecodeError as err:
        raise ValueError(f"{path}: not valid JSON ({err})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT:
        raise ValueError(f"{path}: not a sharded router manifest")
    known = range(1, MANIFEST_VERSION + 1)
    if manifest.get("version") not in known:
        expected = " or ".join(map(str, known))
        raise ValueError(f"{path}: manifest version {manifest.get('version')!r}, expected {expected}")
    if manifest.get("partition") not in (PARTITION_RULE, STRING_PARTITION_RULE):
        raise ValueError(
            f"{path}: partition rule {manifest.get('partition')!r}, this version uses "
            f"{PARTITION_RULE!r} (integer ids) or {STRING_PARTITION_RULE!r} (string ids)"
        )
    try:
        store_dtype(manifest.get("dtype"))
    except ValueError as err:
        raise ValueError(f"{path}: {err}") from None
    _check_shard_entries(path, manifest)
    return manifest, _read_codebook(root, path, manifest), _read_quantiser(root, path, manifest)


def _check_shard_entries(path: Path, manifest: dict[str, Any]) -> None:
    """Refuses a shard list that disagrees with n_shards, holds an entry without a shard directory
    name and an integer document count, or names the directories out of shard order (entry i must be
    shard i's own: the partition places each id by its shard's index)."""
    shards = manifest.get("shards")
    n = manifest.get("n_shards")
    if not isinstance(shards, list) or not isinstance(n, int) or n < 1 or len(shards) != n:
        listed = len(shards) if isinstance(shards, list) else "no"
        raise ValueError(f"{path}: n_shards is {n!r} but {listed} shards are listed")
    names = shard_names(n)
    for i, entry in enumerate(shards):
        name = entry.get("directory") if isinstance(entry, dict) else None
        if not isinstance(name, str) or not _SHARD_DIR.match(name) or not isinstance(entry.get("n_docs"), int):
            raise ValueError(f"{path}: shard entry {i} is malformed: {entry!r}")
        if name != names[i]:
            raise ValueError(f"{path}: shard entry {i} names {name!r}; shard {i}'s directory is {names[i]!r}")


def _read_codebook(root: Path, path: Path, manifest: dict[str, Any]) -> bytes:
    """The bytes of the codebook file the manifest names, directly under `root` and with the digest
    the manifest records."""
    codebook_file = root / str(manifest.get("codebook"))
    if not codebook_file.is_file() or codebook_file.parent != root:
        raise ValueError(f"{path}: codebook file {manifest.get('codebook')!r} is missing")
    codebook = codebook_file.read_bytes()
    if codebook_digest(codebook) != manifest.get("codebook_sha256"):
        raise ValueError(f"{codebook_file}: codebook digest differs from the manifest's")
    return codebook


def _read_quantiser(root: Path, path: Path, manifest: dict[str, Any]) -> bytes | None:
    """The bytes of the quantiser file the manifest names (None when it names none), directly under
    `root` and with the digest the manifest records."""
    if "quantiser" not in manifest:
        if manifest.get("keep_vectors", True) is not True:
            raise ValueError(f"{path}: shards without vectors need a quantiser, and none is named")
        return None
    if not isinstance(manifest.get("keep_vectors"), bool):
        raise ValueError(f"{path}: keep_vectors is {manifest.get('keep_vectors')!r}; expected true or false")
    quantiser_file = root / str(manifest["quantiser"])
    if not quantiser_file.is_file() or quantiser_file.parent != root:
        raise ValueError(f"{path}: quantiser file {manifest['quantiser']!r} is missing")
    quantiser = quantiser_file.read_bytes()
    try:
        digest = quantiser_digest(quantiser)
    except ValueError as err:
        raise ValueError(f"{quantiser_file}: {err}") from None
    if digest != manifest.get("quantiser_sha256"):
        raise ValueError(f"{quantiser_file}: quantiser digest differs from the manifest's")
    return quantiser


def codes_of(manifest: dict[str, Any]) -> tuple[str | None, bool]:
    """The digest of a manifest's quantiser (None: its shards keep no codes) and whether they keep vectors."""
    return manifest.get("quantiser_sha256"), manifest.get("keep_vectors", True)


def check_loaded(
    root: Path, manifest: dict[str, Any], digests: list[str], counts: list[int], kinds: list[bool | None],
    codes: list[tuple[str | None, bool]] | None = None,
) -> None:
    """Refuses shards that loaded another codebook or another number of documents than the manifest
    says, ids of a kind the manifest's partition rule does not place (`kinds`: each shard's
    string_ids, None when it holds no documents), or codes of another quantiser, or none, or
    vectors kept or not unlike the manifest (`codes`: each shard's quantiser digest and whether it
    keeps vectors)."""
    for i, (entry, digest, count, kind) in enumerate(zip(manifest["shards"], digests, counts, kinds, strict=True)):
        if codes is not None and codes[i] != codes_of(manifest):
            held, said = _codes_text(*codes[i]), _codes_text(*codes_of(manifest))
            raise ValueError(f"{root}: shard {i} holds {held}, the manifest says {said}")
        if digest != manifest["codebook_sha256"]:
            raise ValueError(
                f"{root}: shard {i} was built on another codebook ({digest}, manifest {manifest['codebook_sha256']})"
            )
        if count != entry["n_docs"]:
            raise ValueError(f"{root}: shard {i} holds {count} documents, the manifest says {entry['n_docs']}")
        if kind is not None and partition_rule(kind) != manifest["partition"]:
            raise ValueError(
                f"{root}: shard {i} holds {'string' if kind else 'integer'} ids, "
                f"which the manifest's partition rule {manifest['partition']!r} does not place"
            )


def _codes_text(quantiser: str | None, keep_vectors: bool) -> str:
    if quantiser is None:
        return "no token codes"
    return f"token codes of quantiser {quantiser}" + ("" if keep_vectors else " without vectors")


def check_compatible(
    root: Path, manifest: dict[str, Any], n_shards: int, digest: str, codes: tuple[str | None, bool] = (None, True)
) -> None:
    """Refuses a saved router of another shard count, codebook, quantiser or keep_vectors than the
    running one (`codes`: its quantiser digest, None without, and whether it keeps vectors)."""
    if manifest["n_shards"] != n_shards or manifest["codebook_sha256"] != digest:
        raise ValueError(
            f"{root}: holds {manifest['n_shards']} shards on codebook {manifest['codebook_sha256']}, "
            f"this router has {n_shards} shards on codebook {digest}"
        )
    if codes_of(manifest) != codes:
        raise ValueError(
            f"{root}: holds {_codes_text(*codes_of(manifest))}, this router has {_codes_text(*codes)}"
        )
