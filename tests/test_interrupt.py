"""Long calls answer signals: SIGINT sent to a child process while it builds,
loads from a FIFO or saves through a FIFO ends the call with
KeyboardInterrupt, the router as it was and no file changed; an exception
raised by any signal handler, or by a logging handler, ends the call the same
way."""

import logging
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import nuvaris_qor_router as qor

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs POSIX signals and FIFOs")

# The child builds a small router, remembers its answers, says "ready" on
# stdout and then runs CALL; on KeyboardInterrupt it prints whether the
# exception came from that call and whether the router still answers as
# before.
CHILD = r"""
import logging, signal, sys, traceback
import numpy as np
import nuvaris_qor_router as qr

# A parent that ignores SIGINT (a background job of a script) passes that on;
# Python then installs no handler of its own, so install it here.
signal.signal(signal.SIGINT, signal.default_int_handler)

rng = np.random.default_rng(3)
small = rng.standard_normal((200, 32), dtype=np.float32)
router = qr.PyQorRouter(32)
router.build(small, [1, 2], [(0, 100), (100, 200)], n_fine=16, n_coarse=4)
before = (router.n_docs(), router.n_fine(), router.route_query(small[:5]))
arg = sys.argv[1]
logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(message)s")
print("ready", flush=True)
try:
    CALL
except KeyboardInterrupt as exc:
    line = traceback.extract_tb(exc.__traceback__)[0].line  # the statement in this script
    same = (router.n_docs(), router.n_fine(), router.route_query(small[:5])) == before
    print("interrupted", "router." in line, same, flush=True)
else:
    print("finished", flush=True)
"""


@pytest.fixture
def start_child(tmp_path):
    """Starts the child with CALL and its argument; kills it if the test fails."""
    children = []

    def start(call, arg):
        script = tmp_path / "child.py"
        script.write_text(CHILD.replace("CALL", call))
        children.append(subprocess.Popen([sys.executable, str(script), str(arg)], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True, cwd=tmp_path))
        return children[-1]

    yield start
    for child in children:
        if child.poll() is None:
            child.kill()
        child.communicate()


def interrupt_and_wait(child):
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = child.communicate(timeout=120)
    return out, err, time.monotonic() - sent


def wait_ready(child):
    assert child.stdout.readline() == "ready\n", child.communicate()[1]


def test_build_stops_between_kmeans_iterations(start_child):
    # Far more work than the test waits for: the build only ends by the signal.
    call = ("big = np.random.default_rng(5).standard_normal((100_000, 32), dtype=np.float32)\n"
            "    router.build(big, [7, 8], [(0, 50_000), (50_000, 100_000)], n_fine=1024, max_kmeans_iter=10_000)")
    child = start_child(call, "-")
    wait_ready(child)
    seen = []
    for line in child.stderr:  # progress lines on stderr: wait for the second iteration
        seen.append(line)
        if "fine k-means: iteration 2 of" in line:
            break
    else:
        pytest.fail("no k-means progress: " + "".join(seen))
    out, err, waited = interrupt_and_wait(child)
    assert out == "interrupted True True\n", err
    assert waited < 30, f"the build took {waited:.1f} s to answer the signal"


def saved_state(tmp_path):
    rng = np.random.default_rng(4)
    vectors = rng.standard_normal((2000, 32), dtype=np.float32)
    r = qor.PyQorRouter(32)
    r.build(vectors, list(range(20)), [(i * 100, i * 100 + 100) for i in range(20)], n_fine=64)
    path = tmp_path / "saved.qor"
    r.save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize("writer", ["none", "stalled"])
def test_load_from_a_fifo_stops(tmp_path, start_child, writer):
    fifo = tmp_path / "state.fifo"
    os.mkfifo(fifo)
    data = saved_state(tmp_path)
    child = start_child("router.load(arg)", fifo)
    wait_ready(child)
    fd = None
    try:
        if writer == "stalled":
            # Opening for writing waits for the child's open for reading; then
            # the header and part of the body arrive, and nothing more.
            fd = os.open(fifo, os.O_WRONLY)
            os.write(fd, data[: len(data) // 2])
        time.sleep(0.5)  # let the child block in open() or read()
        out, err, _ = interrupt_and_wait(child)
    finally:
        if fd is not None:
            os.close(fd)
    assert out == "interrupted True True\n", err


def test_save_waiting_to_open_its_temporary_file_stops(tmp_path, start_child):
    # The temporary file of target.qor is target.tmp; as a FIFO with no reader
    # its open for writing blocks until the signal comes. The FIFO is not the
    # save's own file, so it stays.
    target = tmp_path / "target.qor"
    target.write_bytes(b"old contents")
    os.mkfifo(tmp_path / "target.tmp")
    child = start_child("router.save(arg)", target)
    wait_ready(child)
    time.sleep(0.5)
    out, err, _ = interrupt_and_wait(child)
    assert out == "interrupted True True\n", err
    assert target.read_bytes() == b"old contents"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["child.py", "target.qor", "target.tmp"]


def test_save_stopped_after_writing_removes_its_temporary_file(tmp_path):
    # The progress record comes when the temporary file is complete, before
    # the rename; a handler that raises there stops the save.
    r = qor.PyQorRouter(8)
    r.build(np.random.default_rng(2).standard_normal((200, 8), dtype=np.float32), [1], [(0, 200)], n_fine=16)
    target = tmp_path / "target.qor"
    target.write_bytes(b"old contents")

    class Raising(logging.Handler):
        def emit(self, record):
            raise KeyboardInterrupt

    logger = logging.getLogger("nuvaris_qor_router")
    handler = Raising()
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        with pytest.raises(KeyboardInterrupt):
            r.save(str(target))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert target.read_bytes() == b"old contents"
    assert [p.name for p in tmp_path.iterdir()] == ["target.qor"]

class Stop(Exception):
    pass


@pytest.fixture
def alarm_raises_stop():
    """SIGALRM runs a handler that raises Stop."""

    def handler(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, handler)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("method", ["add_documents", "route_query"])
def test_exception_of_any_signal_handler_stops_the_call(method, alarm_raises_stop):
    rng = np.random.default_rng(6)
    train = rng.standard_normal((4096, 64), dtype=np.float32)
    r = qor.PyQorRouter(64)
    r.build(train, [1, 2], [(0, 2048), (2048, 4096)], n_fine=4096, max_kmeans_iter=1)
    before = (r.n_docs(), r.route_query(train[:3]))
    big = rng.standard_normal((400_000, 64), dtype=np.float32)  # seconds of encoding
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    with pytest.raises(Stop):
        if method == "add_documents":
            r.add_documents(big, [9], [(0, 60_000)])
        else:
            r.route_query(big)
    assert (r.n_docs(), r.route_query(train[:3])) == before
