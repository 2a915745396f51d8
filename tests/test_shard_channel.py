"""The shards' direct request/reply channel on its own: frames of raw parts
both ways, and peers that send garbage or no token are dropped without
harming the server."""

import socket
import struct

import pytest

from nuvaris_qor_search import _channel

TOKEN = "ab" * 32


@pytest.fixture
def server():
    def echo(header, parts):
        if header.get("op") == "fail":
            raise RuntimeError("handler failed")
        return {"args": _channel.arguments(header, parts)[:-1], "sizes": [len(p) for p in parts]}, parts[::-1]

    srv = _channel.Server("127.0.0.1", TOKEN, lambda: {"generation": 7}, echo)
    yield srv
    srv.close()


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
        conn.shutdown(socket.SHUT_WR)
        assert conn.makefile("rb").read() == b""
    link = _channel.Link(server.address, TOKEN, timeout=10)
    link.send(*_channel.request("op", [(b"x",)]))
    assert link.recv()[1] == [b"x"]
    link.close()


def test_a_peer_that_never_presents_the_token_is_dropped(server, monkeypatch):
    monkeypatch.setattr(_channel, "HELLO_SECONDS", 0.2)
    with socket.create_connection(server.address, timeout=10) as conn:
        conn.sendall(frame(1, [50])[:6])  # a frame that never completes
        assert conn.makefile("rb").read() == b""


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
