"""The worker pool seen from other processes: forked children and pool sizes
set through RAYON_NUM_THREADS."""

import json
import multiprocessing
import os
import subprocess
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qr

DIM = 16
N_DOCS = 60
TOKENS = 20

# Builds a router on fixed data and prints its answers to a few queries as
# JSON; run in-process and in subprocesses with different pool sizes.
SCRIPT = r"""
import json, sys
import numpy as np
import nuvaris_qor_router as qr

def answers(dim, n_docs, tokens):
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((n_docs * tokens, dim)).astype(np.float32)
    offsets = [(i * tokens, (i + 1) * tokens) for i in range(n_docs)]
    router = qr.PyQorRouter(dim)
    router.build(vectors, [1000 + i for i in range(n_docs)], offsets, n_fine=64, n_coarse=8)
    out = []
    for q in range(4):
        query = rng.standard_normal((8, dim)).astype(np.float32)
        out.append([router.compute_query_profile(query, n_probes=3),
                    router.route_query(query, n_probes=3, max_candidates=25)])
    return router, out
"""

namespace: dict = {}
exec(SCRIPT, namespace)


def answers():
    """(router, answers) for the fixed data, or a skip while the methods
    are still being written."""
    try:
        return namespace["answers"](DIM, N_DOCS, TOKENS)
    except NotImplementedError as exc:
        pytest.skip(f"router methods not implemented yet: {exc}")


def normalise(result):
    # Tuples and lists compare alike once through JSON (floats round-trip).
    return json.loads(json.dumps(result))


def child_answers(router, depth, conn):
    """Routes with the inherited router, builds a fresh one, and optionally
    forks again before reporting."""
    try:
        inherited = [
            router.route_query(np.ones((3, DIM), np.float32), n_probes=3, max_candidates=25),
        ]
        _, fresh = namespace["answers"](DIM, N_DOCS, TOKENS)
        if depth > 0:
            grandchild = run_forked(router, depth - 1)
            if grandchild != normalise([inherited, fresh]):
                raise AssertionError("grandchild disagrees")
        conn.send(normalise([inherited, fresh]))
    except BaseException as exc:  # report every failure to the parent
        conn.send({"error": repr(exc)})
    finally:
        conn.close()


def run_forked(router, depth):
    ctx = multiprocessing.get_context("fork")
    receive, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=child_answers, args=(router, depth, send))
    proc.start()
    send.close()
    try:
        if not receive.poll(120):
            raise AssertionError("forked child did not answer: deadlocked pool?")
        result = receive.recv()
    finally:
        proc.join(30)
        if proc.is_alive():
            proc.kill()
            proc.join()
    assert proc.exitcode == 0
    if isinstance(result, dict):
        raise AssertionError(f"child failed: {result['error']}")
    return result


# Forking a process that runs pool workers is the point of these tests.
@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
@pytest.mark.parametrize("depth", [0, 1], ids=["child", "grandchild"])
def test_forked_child_uses_the_pool(depth):
    router, parent = answers()  # the parent's pool is running from here on
    inherited = router.route_query(np.ones((3, DIM), np.float32), n_probes=3, max_candidates=25)
    child = run_forked(router, depth)
    assert child == normalise([[inherited], parent])
    # The parent's pool still works after the fork.
    assert normalise(answers()[1]) == normalise(parent)


@pytest.mark.parametrize("value", ["1", "2", "8", "0", "-3", " 2", "many"])
def test_pool_size_does_not_change_results(value):
    _, expected = answers()
    code = SCRIPT + f"\nprint(json.dumps(answers({DIM}, {N_DOCS}, {TOKENS})[1]))\n"
    env = dict(os.environ, RAYON_NUM_THREADS=value)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == normalise(expected)
