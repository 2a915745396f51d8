"""The worker pool seen from other processes: forked children and pool sizes
set through RAYON_NUM_THREADS."""

import json
import multiprocessing
import os
import subprocess
import sys

import pytest

# Builds a router on fixed data and returns its answers to a few queries;
# run in-process, in a forked child and in subprocesses with other pool sizes.
SCRIPT = r"""
import json
import numpy as np
import nuvaris_qor_router as qr

def answers():
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((60 * 20, 16)).astype(np.float32)
    router = qr.PyQorRouter(16)
    router.build(vectors, [1000 + i for i in range(60)], [(i * 20, i * 20 + 20) for i in range(60)],
                 n_fine=64, n_coarse=8)
    out = []
    for _ in range(4):
        query = rng.standard_normal((8, 16)).astype(np.float32)
        out.append([router.compute_query_profile(query, n_probes=3),
                    router.route_query(query, n_probes=3, max_candidates=25)])
    # Tuples and lists compare alike once through JSON (floats round-trip).
    return json.loads(json.dumps(out))
"""

namespace: dict = {}
exec(SCRIPT, namespace)


def expected():
    return namespace["answers"]()


def report_answers(conn):
    try:
        conn.send(namespace["answers"]())
    except BaseException as exc:  # report every failure to the parent
        conn.send({"error": repr(exc)})
    finally:
        conn.close()


# Forking a process that runs pool workers is the point of this test.
@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_forked_child_uses_the_pool():
    parent = expected()  # the parent's pool is running from here on
    ctx = multiprocessing.get_context("fork")
    receive, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=report_answers, args=(send,))
    proc.start()
    send.close()
    try:
        assert receive.poll(120), "forked child did not answer: deadlocked pool?"
        child = receive.recv()
    finally:
        proc.join(30)
        if proc.is_alive():
            proc.kill()
            proc.join()
    assert proc.exitcode == 0 and child == parent, f"child reported {str(child)[:300]}"
    assert expected() == parent  # the parent's pool still works after the fork


# Valid sizes, and values that fall back to the processors available.
@pytest.mark.parametrize("value", ["1", "2", "8", "0", " 2", "many"])
def test_pool_size_does_not_change_results(value):
    want = expected()
    code = SCRIPT + "\nprint(json.dumps(answers()))\n"
    env = dict(os.environ, RAYON_NUM_THREADS=value)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == want
