"""The Retriever's surface: version, sizes, repr and signature, progress
bars on a terminal (and none without one), the package's log records,
save errors that name the target, and where and how long the private copy
of a loaded store lives."""

import fcntl
import inspect
import logging
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import textwrap
from importlib import metadata

import numpy as np
import pytest

import nuvaris_qor_router
import nuvaris_qor_search
from nuvaris_qor_search import Retriever

DIM = 8


def make_docs(seed, n):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((int(rng.integers(2, 9)), DIM)).astype(np.float32) for _ in range(n)]


@pytest.fixture(scope="module")
def docs():
    return make_docs(6, 60)


def test_version_len_repr_and_signature(docs):
    assert nuvaris_qor_search.__version__ == nuvaris_qor_router.__version__ == metadata.version("nuvaris_qor_router")
    params = inspect.signature(Retriever.build).parameters
    assert {n: params[n].default for n in ("n_fine", "n_coarse", "max_kmeans_iter", "ctop_r")} == {
        "n_fine": None,
        "n_coarse": None,
        "max_kmeans_iter": 30,
        "ctop_r": None,
    }
    assert not any(p.kind is p.VAR_KEYWORD for p in params.values())
    with Retriever.build(docs, [f"d{i}" for i in range(60)], n_fine=16, n_coarse=2) as r:
        r.remove(["d1", "d2"])
        rows = r.store.n_rows
        assert len(r) == r.n_docs == 58
        assert repr(r) == (
            f"<Retriever 58 documents (+2 removed), {rows} vectors of dim {DIM}, float32, 2-bit codes, string ids,"
            f" 16 fine centroids, store in {str(r.store.directory)!r}>"
        )
    assert repr(r) == "<Retriever closed>"


SCRIPT = textwrap.dedent(
    """
    import sys, tempfile
    import numpy as np
    from nuvaris_qor_search import Retriever
    show = {"none": None, "on": True, "off": False}[sys.argv[1]]
    rng = np.random.default_rng(0)
    docs = [rng.standard_normal((5, 8), dtype=np.float32) for _ in range(50)]
    r = Retriever.build(docs, list(range(50)), n_fine=8, n_coarse=2, show_progress=show)
    path = tempfile.mkdtemp() + "/saved"
    r.save(path, show_progress=show)
    again = Retriever.load(path, show_progress=show)
    again.add(docs[:2], [100, 101], show_progress=show)
    print("finished")
    """
)

STEPS = ["build: training the router", "build: fine k-means", "build: storing 50 documents",
         "save: writing the router state", "save: writing 250 vectors", "load: checking SHA-256 digests",
         "add: copying the store to a private directory", "add: storing 2 documents", "add: encoding 10 vectors"]


def run_on_terminal(args):
    """Runs the script with stdout and stderr on a pseudo-terminal of 80
    columns; returns what the terminal received."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 200, 0, 0))
    proc = subprocess.Popen([sys.executable, "-c", SCRIPT, *args], stdout=follower, stderr=follower)
    os.close(follower)
    out = b""
    while True:
        try:
            data = os.read(leader, 1 << 16)
        except OSError:  # the other end closed
            break
        if not data:
            break
        out += data
    os.close(leader)
    assert proc.wait(timeout=600) == 0
    return out.decode()


class TestProgress:
    @pytest.mark.parametrize(("show", "drawn"), [("none", True), ("on", True), ("off", False)])
    def test_bars_on_a_terminal(self, show, drawn):
        pytest.importorskip("tqdm")
        out = run_on_terminal([show])
        assert out.endswith("finished\r\n")
        assert all(step in out for step in STEPS) is drawn
        assert ("\r" in out.replace("\r\n", "")) is drawn

    @pytest.mark.parametrize(("show", "drawn"), [("none", False), ("on", True)])
    def test_without_a_terminal_only_when_asked(self, show, drawn):
        pytest.importorskip("tqdm")
        done = subprocess.run([sys.executable, "-c", SCRIPT, show], capture_output=True, text=True, timeout=600)
        assert done.returncode == 0 and done.stdout == "finished\n"
        assert all(step in done.stderr for step in STEPS) is drawn
        assert (done.stderr == "") is not drawn

    def test_router_logger_is_left_as_it_was(self, docs):
        router_log = logging.getLogger("nuvaris_qor_router")
        before = (router_log.level, router_log.propagate, list(router_log.handlers))
        with Retriever.build(docs, list(range(60)), n_fine=16, n_coarse=2, show_progress=True):
            pass
        assert (router_log.level, router_log.propagate, list(router_log.handlers)) == before

    def test_show_progress_is_checked(self, docs):
        with pytest.raises(ValueError, match=r"^show_progress must be True, False or None, got 'yes'$"):
            Retriever.build(docs, list(range(60)), n_fine=16, n_coarse=2, show_progress="yes")


def test_package_logs_its_steps(docs, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="nuvaris_qor_search")
    with Retriever.build(docs, list(range(60)), n_fine=16, n_coarse=2, show_progress=False) as r:
        r.save(tmp_path / "saved")
    with Retriever.load(tmp_path / "saved", verify=True) as again:
        again.add(docs[:1], [99])
    mine = [rec.getMessage() for rec in caplog.records if rec.name == "nuvaris_qor_search"]
    n = sum(len(d) for d in docs)
    assert mine[:5] == [
        f"build: training the router on {n} vectors",
        "build: training the 2-bit residual quantiser",
        f"build: encoding {n} vectors as codes",
        "build: storing 60 documents",
        "save: writing the router state",
    ]
    assert "load: checking SHA-256 digests" in mine
    assert mine[-4:] == [f"add: encoding {len(docs[0])} vectors as codes",
                         "add: copying the store to a private directory", "add: storing 1 documents",
                         f"add: encoding {len(docs[0])} vectors"]


SAVE_SCRIPT = textwrap.dedent(
    """
    import resource, signal, sys
    import numpy as np
    from nuvaris_qor_search import Retriever
    rng = np.random.default_rng(0)
    r = Retriever.build([rng.standard_normal((5, 8), dtype=np.float32) for _ in range(40)], list(range(40)),
                        n_fine=8, n_coarse=2)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), resource.RLIM_INFINITY))
    try:
        r.save(sys.argv[1])
    except (OSError, ValueError) as exc:
        print(type(exc).__name__, exc)
    """
)


@pytest.mark.parametrize(
    ("limit", "message"),
    [
        (100, "ValueError cannot save to '{}': save failed: IO error: File too large (os error 27)"),
        (5000, "OSError [Errno 27] cannot save to '{}': File too large"),
    ],
)
def test_save_errors_name_the_target(tmp_path, limit, message):
    target = tmp_path / "saved"
    done = subprocess.run([sys.executable, "-c", SAVE_SCRIPT, str(target), str(limit)], capture_output=True,
                          text=True, timeout=600, check=True)
    assert done.stdout == message.format(target) + "\n"
    assert list(tmp_path.iterdir()) == []


WORKDIR_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    from nuvaris_qor_search import Retriever
    rng = np.random.default_rng(0)
    again = Retriever.load(sys.argv[1], workdir=sys.argv[2])
    again.add([rng.standard_normal((3, 8), dtype=np.float32)], [500])
    print(again.store.directory, flush=True)
    sys.stdin.read()  # until the test ends it
    """
)


class TestWorkdir:
    @pytest.fixture
    def saved(self, docs, tmp_path):
        with Retriever.build(docs, list(range(60)), n_fine=16, n_coarse=2) as r:
            r.save(tmp_path / "saved")
        return tmp_path / "saved"

    def test_first_add_copies_into_workdir(self, saved, tmp_path):
        work = tmp_path / "work"
        work.mkdir()
        with Retriever.load(saved, workdir=work) as r:
            r.add(make_docs(1, 1), [77])
            assert r.store.directory.parent == work and len(list(work.iterdir())) == 1
        assert list(work.iterdir()) == []

    @pytest.mark.parametrize("how", ["sigterm", "exit"])
    def test_copy_removed_when_the_process_ends(self, saved, tmp_path, how):
        work = tmp_path / "work"
        work.mkdir()
        proc = subprocess.Popen([sys.executable, "-c", WORKDIR_SCRIPT, str(saved), str(work)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        copy = proc.stdout.readline().strip()
        assert os.path.dirname(copy) == str(work) and os.path.isdir(copy)
        if how == "sigterm":
            proc.send_signal(signal.SIGTERM)
        proc.stdin.close()
        assert proc.wait(timeout=600) == (-signal.SIGTERM if how == "sigterm" else 0)
        proc.stdout.close()
        assert list(work.iterdir()) == []
