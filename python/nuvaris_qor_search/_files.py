"""File helpers: growable .npy arrays, synced writes with digests, and the
replacement of a whole directory in one step, and the reading of .npy
files and directory members through descriptors.

A growable array file is an ordinary NumPy .npy file (format 1.0) whose
header is always exactly HEADER_BYTES long, so appending rows means writing
them at the end and rewriting the shape in the header in place; nothing
already stored is read back. NumPy reads these files as usual, also
memory-mapped.
"""

from __future__ import annotations

import ast
import ctypes
import ctypes.util
import errno
import fcntl
import hashlib
import math
import os
import re
import shutil
import stat
import struct
import tempfile
from collections.abc import Callable
from io import BufferedReader
from pathlib import Path
from typing import Any, BinaryIO, Literal

import numpy as np

HEADER_BYTES = 128
_MAGIC = b"\x93NUMPY\x01\x00"
# Rows written per chunk when copying or converting large matrices, so that
# memory stays bounded for arrays larger than RAM.
CHUNK_BYTES = 64 << 20


def npy_header(dtype: np.dtype, shape: tuple[int, ...]) -> bytes:
    """The fixed-size .npy 1.0 header of a C-ordered array."""
    text = f"{{'descr': {dtype.str!r}, 'fortran_order': False, 'shape': {tuple(int(s) for s in shape)!r}, }}"
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

    def append(self, data: np.ndarray, progress: Callable[[int], None] | None = None) -> None:
        """Writes `data` (rows of this array's shape and dtype) after the
        last row, then records the new row count in the header. `progress`
        is told the number of rows of each chunk written."""
        data = np.ascontiguousarray(data, dtype=self.dtype)
        with open(self.path, "r+b") as f:
            f.seek(HEADER_BYTES + self.rows * self.row_bytes)
            step = chunk_rows(self.row_bytes)
            for lo in range(0, len(data), step):
                f.write(memoryview(data[lo : lo + step]).cast("B"))
                if progress is not None:
                    progress(min(step, len(data) - lo))
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
        rows: np.ndarray = np.load(self.path, mmap_mode="r")
        return rows


def write_array(
    path: Path, array: np.ndarray, dtype: np.dtype, progress: Callable[[int], None] | None = None
) -> dict[str, Any]:
    """Writes `array` (converted to `dtype`, chunk by chunk) as a .npy file
    with a fixed-size header, syncs it, and returns its size and SHA-256.
    `progress` is told the number of bytes of each chunk written."""
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
            if progress is not None:
                progress(len(chunk))
        f.flush()
        os.fsync(f.fileno())
    return {"name": path.name, "bytes": size, "sha256": digest.hexdigest()}


def file_digest(path: Path) -> str:
    with open(path, "rb") as f:
        return stream_digest(f)


def stream_digest(f: BufferedReader, progress: Callable[[int], None] | None = None) -> str:
    """The SHA-256 of everything in the open file `f`, read from its start;
    `progress` is told the number of bytes of each block read."""
    digest = hashlib.sha256()
    f.seek(0)
    while block := f.read(CHUNK_BYTES // 8):
        digest.update(block)
        if progress is not None:
            progress(len(block))
    return digest.hexdigest()


class NotRegularFile(ValueError):
    """A directory member that is not a regular file."""


def open_member(dir_fd: int, name: str) -> BufferedReader:
    """Opens file `name` of the directory open as `dir_fd` for reading.
    Anything but a regular file is refused with NotRegularFile (a FIFO
    would block the reader forever); a missing file raises OSError."""
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK, dir_fd=dir_fd)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegularFile(f"{name} is not a regular file")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


# A longer .npy header is refused unread rather than parsed.
_MAX_NPY_HEADER = 10_000


def read_npy(f: BufferedReader, mmap: bool) -> np.ndarray:
    """The array in the .npy file open as `f`, memory-mapped read-only
    (mmap=True) or read into memory. A header that cannot be parsed, names
    an unreadable dtype, or declares other than the data the file holds
    raises ValueError; nothing else is raised for any content of the file."""
    offset, dtype, shape, fortran = npy_layout(f)
    order: Literal["C", "F"] = "F" if fortran else "C"
    nbytes = math.prod(shape) * dtype.itemsize
    found = os.fstat(f.fileno()).st_size - offset
    # Exactly the data follows the header: anything else means the header
    # does not describe this file.
    if found != nbytes:
        raise ValueError(
            f"its header declares a {dtype.name} array of shape {shape}, {nbytes} bytes, but {max(found, 0)} follow it"
        )
    if nbytes == 0:  # no mapping of zero bytes; nothing to read
        return np.empty(shape, dtype, order=order)
    if mmap:
        return np.memmap(f, dtype=dtype, mode="r", offset=offset, shape=shape, order=order)
    data = np.empty(math.prod(shape), dtype)
    view = memoryview(data).cast("B")
    f.seek(offset)
    done = 0
    while done < nbytes:
        got = f.readinto(view[done:])
        if not got:
            raise ValueError(f"the file ended after {done} of {nbytes} bytes of data")
        done += got
    return data.reshape(shape, order=order)


def npy_layout(f: BinaryIO) -> tuple[int, np.dtype, tuple[int, ...], bool]:
    """Parses the header of an .npy file (format 1.0, 2.0 or 3.0): where
    the data starts, its dtype, shape and whether it is in Fortran order."""
    version, start, raw = _npy_header_bytes(f)
    descr, fortran, shape = _npy_header_fields(raw, version)
    try:
        # NumPy's dtype parser raises several types for malformed strings.
        dtype = np.dtype(descr) if isinstance(descr, str) else None
    except Exception:
        dtype = None
    if dtype is None or dtype.hasobject or dtype.fields is not None or dtype.subdtype is not None or not dtype.itemsize:
        raise ValueError(f"its header names a dtype that cannot be read: {descr!r}")
    return start, dtype, shape, fortran


def _npy_header_bytes(f: BinaryIO) -> tuple[tuple[int, int], int, bytes]:
    """The format version of an .npy file, where its data starts and the
    raw text of its header."""
    f.seek(0)
    lead = f.read(8)
    if len(lead) < 8 or lead[:6] != _MAGIC[:6]:
        raise ValueError(f"it is not an .npy file: it starts with {lead[:6]!r}")
    version = (lead[6], lead[7])
    if version not in ((1, 0), (2, 0), (3, 0)):
        raise ValueError(f"its .npy format version {version[0]}.{version[1]} is not 1.0, 2.0 or 3.0")
    width = 2 if version == (1, 0) else 4
    length_bytes = f.read(width)
    if len(length_bytes) < width:
        raise ValueError("the file ends inside its header")
    length = int.from_bytes(length_bytes, "little")
    if length > _MAX_NPY_HEADER:
        raise ValueError(f"its header declares {length} bytes; at most {_MAX_NPY_HEADER} are read")
    raw = f.read(length)
    if len(raw) < length:
        raise ValueError(f"its header declares {length} bytes but the file ends after {len(raw)}")
    # A header is padded with spaces and ends in a newline; one that does
    # not has the wrong length, and the data would be read from the wrong
    # place.
    if not raw.endswith(b"\n"):
        raise ValueError(f"its header of {length} bytes does not end in a newline")
    return version, 8 + width + length, raw


def _npy_header_fields(raw: bytes, version: tuple[int, int]) -> tuple[Any, bool, tuple[int, ...]]:
    """The descr (not yet checked), fortran_order and shape of a header."""
    try:
        text = raw.decode("utf-8" if version == (3, 0) else "latin1")
        header = ast.literal_eval(text)
    except (SyntaxError, ValueError, TypeError, MemoryError, RecursionError):
        raise ValueError(f"its header is not a Python literal: {raw[:200]!r}") from None
    if not isinstance(header, dict) or set(header) != {"descr", "fortran_order", "shape"}:
        raise ValueError(f"its header is not a dict of descr, fortran_order and shape: {raw[:200]!r}")
    descr, fortran, shape = header["descr"], header["fortran_order"], header["shape"]
    if not isinstance(fortran, bool) or not isinstance(shape, tuple) or not all(
        type(n) is int and n >= 0 for n in shape
    ):
        raise ValueError(f"its header has a malformed fortran_order or shape: {raw[:200]!r}")
    return descr, fortran, shape


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


def _same_file(fd: int, path: Path) -> bool:
    """Whether `path` (not followed if a link) is the file open as `fd`."""
    try:
        a, b = os.fstat(fd), os.lstat(path)
    except OSError:
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def staging_prefix(target: Path) -> str:
    return f".{target.name}.tmp-"


def _locked_staging(target: Path) -> tuple[Path, int]:
    """A fresh sibling directory of `target` to write a new version into,
    and a descriptor that holds an exclusive lock on it until closed, which
    tells other saves that the directory is in use."""
    for _ in range(100):
        staging = Path(tempfile.mkdtemp(prefix=staging_prefix(target), dir=target.parent))
        fd = os.open(staging, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            # Another save took the fresh directory for a leftover before it
            # was locked and is removing it: start again with a new one.
            os.close(fd)
            continue
        except OSError:
            # No locks on this file system; nobody else can lock it either,
            # so nobody removes it.
            return staging, fd
        if _same_file(fd, staging):
            return staging, fd
        os.close(fd)
    raise OSError(errno.EAGAIN, "cannot create a staging directory that stays in place", str(target.parent))


def remove_stale_staging(target: Path) -> None:
    """Removes the staging directories that saves to `target` left behind
    when they were interrupted: every `.NAME.tmp-*` sibling that no live
    process holds locked. Ones that cannot be locked are left alone."""
    name = re.compile(re.escape(staging_prefix(target)) + r"[a-z0-9_]{8}")
    try:
        entries = [e.name for e in os.scandir(target.parent) if name.fullmatch(e.name)]
    except OSError:
        return
    for entry in entries:
        path = target.parent / entry
        try:
            fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if _same_file(fd, path):
                shutil.rmtree(path, ignore_errors=True)
        except OSError:
            pass  # held by a save in progress, or no locks here
        finally:
            os.close(fd)


def replace_directory(target: Path, fill: Callable[[Path], None]) -> None:
    """Makes `target` a directory holding exactly what `fill` writes, so
    that a crash at any point leaves either the old directory or the
    complete new one under that name.

    Staging directories that earlier, interrupted saves to `target` left
    behind are removed first. `fill` then writes into a fresh sibling
    directory, locked while it is written, and syncs its files; the sibling
    is then synced and swapped with the target in one rename (an atomic
    exchange when the target exists), the parent is synced, and the old
    contents are removed. On any failure the sibling is removed and the
    target is left as it was.
    """
    parent = target.parent
    parent.mkdir(parents=True, exist_ok=True)
    remove_stale_staging(target)
    staging, lock = _locked_staging(target)
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
    finally:
        os.close(lock)
    # `staging` now holds the previous contents (or nothing).
    shutil.rmtree(staging, ignore_errors=True)
