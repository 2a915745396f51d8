"""File helpers: growable .npy arrays, synced writes with digests, and the
replacement of a whole directory in one step.

A growable array file is an ordinary NumPy .npy file (format 1.0) whose
header is always exactly HEADER_BYTES long, so appending rows means writing
them at the end and rewriting the shape in the header in place; nothing
already stored is read back. NumPy reads these files as usual, also
memory-mapped.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import errno
import hashlib
import os
import shutil
import struct
import tempfile
from pathlib import Path
from typing import Callable

import numpy as np

HEADER_BYTES = 128
_MAGIC = b"\x93NUMPY\x01\x00"
# Rows written per chunk when copying or converting large matrices, so that
# memory stays bounded for arrays larger than RAM.
CHUNK_BYTES = 64 << 20


def npy_header(dtype: np.dtype, shape: tuple[int, ...]) -> bytes:
    """The fixed-size .npy 1.0 header of a C-ordered array."""
    text = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (dtype.str, tuple(int(s) for s in shape))
    room = HEADER_BYTES - len(_MAGIC) - 2
    if len(text) + 1 > room:
        raise ValueError(f"array header needs {len(text) + 1} bytes; at most {room} fit")
    return _MAGIC + struct.pack("<H", room) + (text.ljust(room - 1) + "\n").encode("latin1")


def chunk_rows(row_bytes: int) -> int:
    return max(1, CHUNK_BYTES // max(1, row_bytes))


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class GrowableArray:
    """An .npy file of C-ordered rows that grows by appending at its end."""

    def __init__(self, path: Path, dtype: np.dtype, row_shape: tuple[int, ...], rows: int) -> None:
        self.path = path
        self.dtype = np.dtype(dtype)
        self.row_shape = row_shape
        self.rows = rows
        self.row_bytes = self.dtype.itemsize * int(np.prod(row_shape, dtype=np.int64))

    @classmethod
    def create(cls, path: Path, dtype: np.dtype, row_shape: tuple[int, ...]) -> GrowableArray:
        arr = cls(path, dtype, row_shape, 0)
        with open(path, "xb") as f:
            f.write(npy_header(arr.dtype, (0, *row_shape)))
        return arr

    def append(self, data: np.ndarray) -> None:
        """Writes `data` (rows of this array's shape and dtype) after the
        last row, then records the new row count in the header."""
        data = np.ascontiguousarray(data, dtype=self.dtype)
        with open(self.path, "r+b") as f:
            f.seek(HEADER_BYTES + self.rows * self.row_bytes)
            step = chunk_rows(self.row_bytes)
            for lo in range(0, len(data), step):
                f.write(memoryview(data[lo : lo + step]).cast("B"))
            rows = self.rows + len(data)
            f.seek(0)
            f.write(npy_header(self.dtype, (rows, *self.row_shape)))
        self.rows = rows

    def truncate(self, rows: int) -> None:
        """Drops every row from `rows` on (undoes appends)."""
        with open(self.path, "r+b") as f:
            f.truncate(HEADER_BYTES + rows * self.row_bytes)
            f.seek(0)
            f.write(npy_header(self.dtype, (rows, *self.row_shape)))
        self.rows = rows

    def view(self) -> np.ndarray:
        """The stored rows, memory-mapped read-only (an empty array when
        there are none: a zero-length mapping is not possible)."""
        if self.rows == 0:
            return np.empty((0, *self.row_shape), self.dtype)
        return np.load(self.path, mmap_mode="r")


def write_array(path: Path, array: np.ndarray, dtype: np.dtype) -> dict:
    """Writes `array` (converted to `dtype`, chunk by chunk) as a .npy file
    with a fixed-size header, syncs it, and returns its size and SHA-256."""
    dtype = np.dtype(dtype)
    digest = hashlib.sha256()
    size = 0
    with open(path, "xb") as f:
        header = npy_header(dtype, array.shape)
        f.write(header)
        digest.update(header)
        size += len(header)
        row_bytes = dtype.itemsize * int(np.prod(array.shape[1:], dtype=np.int64))
        step = chunk_rows(row_bytes)
        for lo in range(0, len(array), step):
            chunk = memoryview(np.ascontiguousarray(array[lo : lo + step], dtype=dtype)).cast("B")
            f.write(chunk)
            digest.update(chunk)
            size += len(chunk)
        f.flush()
        os.fsync(f.fileno())
    return {"name": path.name, "bytes": size, "sha256": digest.hexdigest()}


def file_digest(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(CHUNK_BYTES // 8):
            digest.update(block)
    return digest.hexdigest()


def sync_file(path: Path) -> None:
    with open(path, "rb") as f:
        os.fsync(f.fileno())


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two paths in one step (Linux renameat2 with RENAME_EXCHANGE).
    False when the system or file system cannot do that."""
    name = ctypes.util.find_library("c")
    try:
        libc = ctypes.CDLL(name, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError, TypeError):
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    renameat2.restype = ctypes.c_int
    if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    err = ctypes.get_errno()
    if err in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP, errno.EOPNOTSUPP):
        return False
    raise OSError(err, os.strerror(err), str(b))


def replace_directory(target: Path, fill: Callable[[Path], None]) -> None:
    """Makes `target` a directory holding exactly what `fill` writes, so
    that a crash at any point leaves either the old directory or the
    complete new one under that name.

    `fill` writes into a fresh sibling directory and syncs its files; the
    sibling is then synced and swapped with the target in one rename (an
    atomic exchange when the target exists), the parent is synced, and the
    old contents are removed. On any failure the sibling is removed and the
    target is left as it was.
    """
    parent = target.parent
    parent.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=f".{target.name}.tmp-", dir=parent))
    try:
        fill(staging)
        fsync_dir(staging)
        if not target.exists():
            os.rename(staging, target)
        elif not _exchange(staging, target):
            # Without an exchange the old directory moves aside first; a
            # crash between the two renames leaves it under the ".old-" name,
            # which loading points out.
            aside = Path(tempfile.mkdtemp(prefix=f".{target.name}.old-", dir=parent))
            os.rename(target, aside / "previous")
            os.rename(staging, target)
            staging = aside
        fsync_dir(parent)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    # `staging` now holds the previous contents (or nothing).
    shutil.rmtree(staging, ignore_errors=True)
