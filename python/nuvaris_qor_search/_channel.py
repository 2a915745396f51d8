"""A direct request/reply channel over TCP between a driver and one shard actor.

A Ray actor call costs about a millisecond of scheduling on each side, more
than routing one query on a shard. A routed query carries a few kilobytes
each way, so queries travel over a plain socket the actor listens on, while
Ray keeps placing, starting, restarting and feeding the actors.

Frames: a little-endian u32 part count, one u64 length per part, then the
parts. The first part is a small JSON header; the others are raw bytes. A
frame is only ever data (nothing is unpickled). A connection first presents
the router's token, compared in constant time, or it is dropped unanswered.

What a peer can cost the server is bounded: the whole hello has one deadline,
only so many connections wait for theirs at once (the oldest is dropped for a
new one), and a frame larger than the server's limit ends its connection
before anything is reserved for it. The accepting thread outlives failures
(no descriptors left, no thread to start): it logs, backs off and accepts again
until the server is closed.
"""

from __future__ import annotations

import contextlib
import hmac
import json
import logging
import socket
import struct
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import Any, Protocol

_COUNT = struct.Struct("<I")
_MAX_PARTS = 64
_HELLO_BYTES = 1024  # the token frame is tiny; anything larger is not a driver
HELLO_SECONDS = 10.0  # a peer that has not presented the token by then is dropped
MAX_WAITING = 64  # connections waiting for their token at once; a new one drops the oldest
# The largest frame an authenticated peer may send: far above a batch of a thousand queries of 32
# rows of 1,024 floats (128 MiB); the driver sends larger requests through Ray instead.
MAX_FRAME_BYTES = 1 << 30
_JOIN_BYTES = 1 << 16  # frames up to this size go out in one send
_BACKOFF_SECONDS = (0.01, 1.0)  # first and longest pause after a failed accept

log = logging.getLogger(__name__)

# What a broken or garbled connection raises (ValueError: a header that is not JSON).
LINK_ERRORS = (OSError, ValueError)

Handler = Callable[[dict[str, Any], list[bytes]], tuple[dict[str, Any], Sequence[bytes]]]


def _tune(sock: socket.socket) -> None:
    """No batching of small writes; keep-alive probes notice a peer whose node went away."""
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    for name, value in (("TCP_KEEPIDLE", 10), ("TCP_KEEPINTVL", 5), ("TCP_KEEPCNT", 3)):
        if hasattr(socket, name):
            sock.setsockopt(socket.IPPROTO_TCP, getattr(socket, name), value)


def _plain(value: Any) -> Any:
    """NumPy scalars as the Python numbers JSON can hold."""
    item = getattr(value, "item", None)
    if item is None:
        raise TypeError(f"cannot send a {type(value).__name__} to a shard")
    return item()


def _encode(header: dict[str, Any]) -> bytes:
    return json.dumps(header, default=_plain).encode()


def send_frame(sock: socket.socket, header: dict[str, Any] | bytes, parts: Sequence[bytes] = ()) -> None:
    """Send one frame; `header` is a dict or its JSON bytes (see `request`)."""
    blobs = [header if isinstance(header, bytes) else _encode(header), *parts]
    prefix = _COUNT.pack(len(blobs)) + struct.pack(f"<{len(blobs)}Q", *map(len, blobs))
    if sum(map(len, blobs)) <= _JOIN_BYTES:
        sock.sendall(b"".join([prefix, *blobs]))
    else:
        sock.sendall(prefix)
        for blob in blobs:
            sock.sendall(blob)


def frame_bytes(header: bytes, parts: Sequence[bytes]) -> int:
    """The size `recv_frame` weighs against its limit: the header's and the parts' bytes."""
    return len(header) + sum(map(len, parts))


class _Reader(Protocol):
    def read(self, n: int, /) -> bytes | None: ...


class _Deadline:
    """A socket read like a file, where every read must be done by one deadline: a peer cannot stretch
    its time by sending a byte now and then."""

    def __init__(self, sock: socket.socket, seconds: float) -> None:
        self.sock, self.deadline = sock, time.monotonic() + seconds

    def read(self, n: int) -> bytes:
        data = bytearray()
        while len(data) < n:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the peer did not present the token in time")
            self.sock.settimeout(left)
            chunk = self.sock.recv(n - len(data))  # exact sizes: nothing beyond the frame is consumed
            if not chunk:
                break
            data += chunk
        return bytes(data)


def _exact(reader: _Reader, n: int) -> bytes:
    data = reader.read(n)
    if data is None or len(data) != n:
        raise ConnectionError("the connection closed in the middle of a frame" if data else "the connection closed")
    return data


def recv_frame(reader: _Reader, limit: int | None = None) -> tuple[dict[str, Any], list[bytes]]:
    """The next frame's header and parts; ConnectionError when the peer closed or sent no frame."""
    (count,) = _COUNT.unpack(_exact(reader, _COUNT.size))
    if not 1 <= count <= _MAX_PARTS:
        raise ConnectionError(f"malformed frame ({count} parts)")
    lengths = struct.unpack(f"<{count}Q", _exact(reader, 8 * count))
    if limit is not None and sum(lengths) > limit:
        raise ConnectionError("frame too large")
    parts = [_exact(reader, n) for n in lengths]
    header = json.loads(parts[0])
    if not isinstance(header, dict):
        raise ConnectionError("malformed frame header")
    return header, parts[1:]


def request(op: str, args: Sequence[Any]) -> tuple[bytes, list[bytes]]:
    """A request's JSON header and its parts: tuples of bytes in `args` travel as raw parts, the rest in
    the header. Encoding first refuses what cannot travel before anything is sent."""
    plain: list[Any] = []
    parts: list[bytes] = []
    for a in args:
        if isinstance(a, tuple):
            plain.append({"parts": len(a)})
            parts.extend(a)
        else:
            plain.append(a)
    return _encode({"op": op, "args": plain}), parts


def arguments(header: dict[str, Any], parts: list[bytes]) -> list[Any]:
    """The arguments `request` encoded."""
    out: list[Any] = []
    at = 0
    for a in header.get("args", []):
        if isinstance(a, dict):
            n = int(a["parts"])
            if at + n > len(parts):
                raise ValueError("request names more parts than it carries")
            out.append(tuple(parts[at : at + n]))
            at += n
        else:
            out.append(a)
    return out


class Server:
    """Listens on `host` (a free port) and answers each authenticated connection in a thread of its own:
    `hello()` once, then `handle(header, parts)` for every request frame, in order.

    A peer gets `hello_seconds` in all to present the token; at most `max_waiting` peers wait for
    theirs at once; an authenticated peer's frames may hold up to `max_frame` bytes."""

    def __init__(
        self,
        host: str,
        token: str,
        hello: Callable[[], dict[str, Any]],
        handle: Handler,
        *,
        hello_seconds: float = HELLO_SECONDS,
        max_waiting: int = MAX_WAITING,
        max_frame: int = MAX_FRAME_BYTES,
    ) -> None:
        self._token = token.encode()
        self._hello, self._handle = hello, handle
        self._hello_seconds, self._max_waiting, self._max_frame = hello_seconds, max(1, max_waiting), max_frame
        self._waiting: OrderedDict[socket.socket, None] = OrderedDict()  # oldest first
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self._sock = socket.create_server((host, 0), backlog=64)
        self.address = (host, self._sock.getsockname()[1])
        threading.Thread(target=self._accept, name="shard-channel", daemon=True).start()

    def _accept(self) -> None:
        pause = _BACKOFF_SECONDS[0]
        while not self._closed.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError as err:
                if self._closed.is_set():
                    return
                failure: BaseException = err
            else:
                try:
                    self._admit(conn)
                    pause = _BACKOFF_SECONDS[0]
                    continue
                except Exception as err:  # no thread could be started: this peer goes, the server stays
                    self._forget(conn)
                    conn.close()
                    failure = err
            # Out of descriptors or threads: wait for some to be freed instead of spinning on the error.
            log.warning("shard channel %s:%d: %s; accepting again in %.2f s", *self.address, failure, pause)
            self._closed.wait(pause)
            pause = min(2 * pause, _BACKOFF_SECONDS[1])

    def _admit(self, conn: socket.socket) -> None:
        """Count `conn` among the peers waiting for their token (dropping the oldest beyond the cap) and
        start its session."""
        with self._lock:
            while len(self._waiting) >= self._max_waiting:
                oldest, _ = self._waiting.popitem(last=False)
                with contextlib.suppress(OSError):
                    oldest.shutdown(socket.SHUT_RDWR)  # its session wakes up and closes it
            self._waiting[conn] = None
        threading.Thread(target=self._session, args=(conn,), name="shard-channel-session", daemon=True).start()

    def _forget(self, conn: socket.socket) -> bool:
        """Stop counting `conn` as waiting; False when it was dropped for a newer peer meanwhile."""
        with self._lock:
            if conn not in self._waiting:
                return False
            del self._waiting[conn]
            return True

    def _session(self, conn: socket.socket) -> None:
        with conn:
            try:
                try:
                    _tune(conn)
                    header, _ = recv_frame(_Deadline(conn, self._hello_seconds), _HELLO_BYTES)
                finally:
                    waited = self._forget(conn)
                offered = header.get("token")
                if not waited or not isinstance(offered, str) or not hmac.compare_digest(offered.encode(), self._token):
                    return
                conn.settimeout(None)  # a driver may stay idle between queries for as long as it likes
                reader = conn.makefile("rb")
                send_frame(conn, self._hello())
                while True:
                    reply, parts = self._handle(*recv_frame(reader, self._max_frame))
                    send_frame(conn, reply, parts)
            except Exception:  # a broken peer or a failing handler ends this connection only
                return

    def close(self) -> None:
        self._closed.set()
        with contextlib.suppress(OSError):
            self._sock.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        self._sock.close()


class Link:
    """The driver's end of one connection: connects, presents the token, then sends requests and reads replies."""

    def __init__(self, address: tuple[str, int], token: str, timeout: float) -> None:
        self.sock = socket.create_connection(address, timeout=timeout)
        try:
            _tune(self.sock)
            self.reader = self.sock.makefile("rb")
            send_frame(self.sock, {"token": token})
            self.hello, _ = recv_frame(self.reader)  # within the timeout: a wrong peer fails here
            self.sock.settimeout(None)
        except BaseException:
            self.sock.close()
            raise

    def send(self, header: dict[str, Any] | bytes, parts: Sequence[bytes]) -> None:
        send_frame(self.sock, header, parts)

    def recv(self) -> tuple[dict[str, Any], list[bytes]]:
        return recv_frame(self.reader)

    def close(self) -> None:
        self.reader.close()
        self.sock.close()
