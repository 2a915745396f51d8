"""Progress records of the logger "nuvaris_qor_router": what build,
add_documents, save and load report at INFO, silence unless the application
enables the logger, and a logging handler that raises."""

import logging
import re
import subprocess
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor

LOGGER = "nuvaris_qor_router"
DIM = 16


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(21)
    vectors = rng.standard_normal((3000, DIM), dtype=np.float32)
    return vectors, list(range(30)), [(i * 100, i * 100 + 100) for i in range(30)]


def messages(caplog):
    assert all(r.name == LOGGER and r.levelno == logging.INFO for r in caplog.records)
    return [r.getMessage() for r in caplog.records]


def test_build_reports_every_stage(caplog, data):
    caplog.set_level(logging.INFO, logger=LOGGER)
    r = qor.PyQorRouter(DIM)
    r.build(*data, n_fine=64, n_coarse=8, max_kmeans_iter=7)
    lines = messages(caplog)
    fine = [m for m in lines if m.startswith("build: fine k-means: iteration ")]
    coarse = [m for m in lines if m.startswith("build: coarse k-means: iteration ")]
    assert fine[0] == "build: fine k-means: iteration 1 of 7: 3000 labels assigned"
    assert all(re.fullmatch(r"build: fine k-means: iteration \d of 7: \d+ of 3000 labels changed(, converged)?", m)
               for m in fine[1:])
    assert 1 <= len(fine) <= 7 and coarse
    # Stages in order: both k-means runs, then encoding, indexing and the end.
    order = [lines.index(fine[0]), lines.index(coarse[0]), lines.index("build: encoding 3000 vectors"),
             lines.index("build: indexing 30 documents")]
    assert order == sorted(order)
    assert re.fullmatch(r"build: done in \d+\.\d\d s: 30 documents, 64 fine centroids, 8 coarse clusters", lines[-1])
    assert not any("\r" in m or "\n" in m for m in lines)


def test_add_documents_save_and_load_report(caplog, data, tmp_path):
    r = qor.PyQorRouter(DIM)
    r.build(*data, n_fine=64, n_coarse=8)
    path = tmp_path / "r.qor"
    caplog.set_level(logging.INFO, logger=LOGGER)
    r.add_documents(data[0][:250], [7, 8], [(0, 50), (50, 250)])
    r.save(str(path))
    r.load(str(path))
    size = path.stat().st_size
    lines = messages(caplog)
    assert lines[0] == "add_documents: encoding 250 vectors of 2 documents"
    assert re.fullmatch(r"add_documents: encoded in \d+\.\d\d s; indexing 2 documents after the 30 indexed", lines[1])
    assert re.fullmatch(rf"save: wrote {size} bytes in \d+\.\d\d s \(\d+\.\d MB/s\)", lines[2])
    assert re.fullmatch(rf"load: read and checked {size} bytes in \d+\.\d\d s \(\d+\.\d MB/s\)", lines[3])
    assert len(lines) == 4


def test_nothing_printed_without_logging_configured():
    code = ("import numpy as np, nuvaris_qor_router as q\n"
            "v = np.random.default_rng(1).standard_normal((500, 8), dtype=np.float32)\n"
            "q.PyQorRouter(8).build(v, [1], [(0, 500)], n_fine=32)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


class Raising(logging.Handler):
    """Raises KeyboardInterrupt from the n-th record on."""

    def __init__(self, after):
        super().__init__()
        self.after = after

    def emit(self, record):
        self.after -= 1
        if self.after < 0:
            raise KeyboardInterrupt


@pytest.mark.parametrize("after", [0, 3])
def test_a_handler_that_raises_ends_the_build_unchanged(data, after):
    r = qor.PyQorRouter(DIM)
    r.build(*data, n_fine=16, n_coarse=4)
    before = r.route_query(data[0][:4])
    logger = logging.getLogger(LOGGER)
    handler = Raising(after)
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        with pytest.raises(KeyboardInterrupt):
            r.build(*data, n_fine=64, n_coarse=8)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert (r.n_fine(), r.route_query(data[0][:4])) == (16, before)
