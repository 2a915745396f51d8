"""The shards' direct request/reply channel on its own: frames of raw parts
both ways; peers that send garbage, no token, too slow a token or too large
a frame are dropped without harming the server; and the server keeps
accepting after it ran out of descriptors or threads."""

import os
import socket
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

from nuvaris_qor_search import _channel

TOKEN = "ab" * 32


def echo(header, parts):
    if header.get("op") == "fail":
        raise RuntimeError("handler failed")
    return {"args": _channel.arguments(header, parts)[:-1], "sizes": [len(p) for p in parts]}, parts[::-1]


@pytest.fixture
def serve():
    """serve(**options): a server on loopback that echoes, closed after the test."""
    made = []

    def make(**options):
        made.append(_channel.Server("127.0.0.1", TOKEN, lambda: {"generation": 7}, echo, **options))
        return made[-1]

    yield make
    for srv in made:
        srv.close()


@pytest.fixture
def server(serve):
    return serve()


def dropped(conn):
    """Whether the server closed `conn` without a word (a reset when it left bytes unread)."""
    try:
        return conn.makefile("rb").read() == b""
    except ConnectionResetError:
        return True


def answers(address):
    """Whether a driver gets through to the server at `address` and has a request answered."""
    link = _channel.Link(address, TOKEN, timeout=10)
    try:
        link.send(*_channel.request("op", [(b"x",)]))
        return link.recv()[1] == [b"x"]
    finally:
        link.close()


@pytest.mark.parametrize("sizes", [[], [0], [1, 0, 3], [70_000, 5], [3 << 20]])
def test_parts_travel_whole_both_ways(server, sizes):
    link = _channel.Link(server.address, TOKEN, timeout=10)
    assert link.hello == {"generation": 7}
    parts = tuple(bytes([i % 251]) * n for i, n in enumerate(sizes))
    for _ in range(2):  # the connection stays usable
        link.send(*_channel.request("op", [4, True, None, parts]))
        header, back = link.recv()
        assert header == {"args": [4, True, None], "sizes": list(sizes)}
        assert back == list(parts[::-1])
    link.close()


def test_arguments_that_cannot_travel_are_refused_before_sending():
    with pytest.raises(TypeError, match="cannot send a object"):
        _channel.request("op", [object()])


def frame(count, lengths, body=b""):
    return struct.pack("<I", count) + struct.pack(f"<{len(lengths)}Q", *lengths) + body


@pytest.mark.parametrize(
    "garbage",
    [
        b"",
        frame(0, []),
        frame(1000, []),
        frame(1, [4], b"{no}"),
        frame(1, [2], b"[]"),
        frame(1, [10**6], b"{}"),  # a hello larger than any token frame
        frame(1, [len(b'{"token": 5}')], b'{"token": 5}'),
        frame(1, [len(b'{"token": "\xc3\xa9"}')], b'{"token": "\xc3\xa9"}'),
        frame(1, [2], b"{}") + b"\x00" * 64,
    ],
)
def test_a_bad_peer_is_dropped_and_the_server_keeps_serving(server, garbage):
    with socket.create_connection(server.address, timeout=10) as conn:
        conn.sendall(garbage)
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:  # the server reset the connection already, for the bytes it left unread
            pass
        else:
            assert dropped(conn)
    link = _channel.Link(server.address, TOKEN, timeout=10)
    link.send(*_channel.request("op", [(b"x",)]))
    assert link.recv()[1] == [b"x"]
    link.close()


def test_a_peer_that_never_presents_the_token_is_dropped(serve):
    server = serve(hello_seconds=0.2)
    with socket.create_connection(server.address, timeout=10) as conn:
        conn.sendall(frame(1, [50])[:6])  # a frame that never completes
        assert dropped(conn)


def test_the_token_deadline_holds_for_the_whole_hello(serve):
    # A byte every 0.2 s never leaves a read waiting a full second, but the
    # hello as a whole gets one second: the peer is dropped long before the
    # frame (62 bytes, over 12 s at this pace) completes.
    server = serve(hello_seconds=1.0)
    hello = frame(1, [50], b" " * 50)
    with socket.create_connection(server.address, timeout=10) as conn:
        conn.settimeout(0.2)
        for sent, byte in enumerate(hello):  # noqa: B007 - read after the loop
            try:
                conn.sendall(bytes([byte]))
                closed = conn.recv(1) == b""
            except TimeoutError:
                continue
            except (BrokenPipeError, ConnectionResetError):
                closed = True
            break
        assert closed and sent < len(hello) - 1


def test_a_new_peer_waiting_for_the_token_drops_the_oldest(serve):
    server = serve(max_waiting=2)
    idle = [socket.create_connection(server.address, timeout=10) for _ in range(3)]
    try:
        assert dropped(idle[0])  # dropped for the third
        assert answers(server.address)  # a driver gets in although peers wait (and drops the second)
        assert dropped(idle[1])
        idle[2].settimeout(0.2)
        with pytest.raises(TimeoutError):
            idle[2].recv(1)  # still waiting for its token
    finally:
        for conn in idle:
            conn.close()


class TestFrameLimit:
    @pytest.mark.parametrize("extra, answered", [(0, True), (1, False)])
    def test_a_frame_beyond_the_limit_ends_the_connection(self, serve, extra, answered):
        header, parts = _channel.request("op", [(b"y" * 1000,)])
        server = serve(max_frame=_channel.frame_bytes(header, parts) - 1 + (1 - extra))
        link = _channel.Link(server.address, TOKEN, timeout=10)
        link.send(header, parts)
        if answered:
            assert link.recv()[1] == [b"y" * 1000]
        else:
            with pytest.raises(ConnectionError):
                link.recv()
        link.close()
        assert answers(server.address)

    def test_a_part_claiming_gigabytes_is_refused_before_anything_is_read(self, server):
        link = _channel.Link(server.address, TOKEN, timeout=10)
        link.sock.sendall(frame(2, [2, 8 << 30], b"{}"))
        link.sock.settimeout(10)  # a server reading those bytes would keep the link open
        with pytest.raises(ConnectionError):
            link.recv()
        link.close()


class TestAcceptFailures:
    def test_failed_accepts_are_retried(self, server, monkeypatch):
        real, failures = socket.socket.accept, []

        def accept(sock):
            if sock is server._sock and len(failures) < 3:
                failures.append(1)
                raise OSError(24, "Too many open files")
            return real(sock)

        monkeypatch.setattr(socket.socket, "accept", accept)
        with socket.create_connection(server.address, timeout=10):
            pass  # wake the accepting thread, which is blocked in the real accept
        assert answers(server.address) and len(failures) == 3

    def test_a_session_thread_that_cannot_start_drops_only_its_peer(self, server, monkeypatch):
        real = threading.Thread.start
        refused = []

        def start(thread):
            if thread.name == "shard-channel-session" and not refused:
                refused.append(thread)
                raise RuntimeError("can't start new thread")
            return real(thread)

        monkeypatch.setattr(threading.Thread, "start", start)
        with socket.create_connection(server.address, timeout=10) as conn:
            assert dropped(conn)
        assert refused and answers(server.address)

    def test_the_server_accepts_again_once_descriptors_are_free(self, tmp_path):
        # A server process runs out of descriptors while a driver connects; once
        # it closes some, the waiting connection and new ones are answered.
        script = textwrap.dedent(f"""
            import logging, os, resource, sys, time
            from nuvaris_qor_search import _channel
            failed = []
            class Seen(logging.Handler):
                def emit(self, record):
                    failed.append(record.getMessage())
            logging.getLogger(_channel.__name__).addHandler(Seen())
            server = _channel.Server("127.0.0.1", {TOKEN!r}, lambda: {{}}, lambda h, p: ({{}}, p))
            resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
            print(server.address[1], flush=True)
            sys.stdin.readline()
            filler = []
            try:
                while True:
                    filler.append(os.open(os.devnull, os.O_RDONLY))
            except OSError:
                pass
            print("full", flush=True)
            deadline = time.monotonic() + 20
            while not failed and time.monotonic() < deadline:
                time.sleep(0.01)
            for fd in filler:
                os.close(fd)
            print("failed" if failed else "no accept failed", flush=True)
            sys.stdin.readline()
        """)
        with subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, cwd=tmp_path, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}) as proc:
            try:
                address = ("127.0.0.1", int(proc.stdout.readline()))
                proc.stdin.write("fill\n")
                proc.stdin.flush()
                assert proc.stdout.readline() == "full\n"
                with socket.create_connection(address, timeout=10) as early:  # waits in the backlog
                    assert proc.stdout.readline() == "failed\n"
                    _channel.send_frame(early, {"token": TOKEN})
                    assert _channel.recv_frame(early.makefile("rb"))[0] == {}
                assert answers(address)
            finally:
                proc.kill()


def test_a_failing_handler_closes_only_its_connection(server):
    link = _channel.Link(server.address, TOKEN, timeout=10)
    link.send(*_channel.request("fail", []))
    with pytest.raises(ConnectionError):
        link.recv()
    link.close()
    other = _channel.Link(server.address, TOKEN, timeout=10)
    other.send(*_channel.request("op", [(b"",)]))
    assert other.recv()[1] == [b""]
    other.close()
