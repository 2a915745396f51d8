"""route_query: result form, empty documents and NaN rules on hand-made state
files, truncation, agreement with a NumPy reading of a saved build, and
identical answers from the whole pipeline for any worker count and kernel
family."""

import itertools
import json
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nuvaris_qor_router as qr

F32 = np.float32


def crafted(tmp_path, docs):
    """A router loaded from a state over an identity codebook of 8 centroids
    in 8 dimensions (so a similarity is the query value itself, and a row's
    code is its largest component); code c lies in coarse cluster c // 2.
    docs holds (codes, ctop, doc_id) triples; documents are posted under
    their C_top."""
    lists = [[d for d, (_, ctop, _) in enumerate(docs) if c in ctop] for c in range(4)]
    offsets = np.cumsum([0] + [len(c) for c, _, _ in docs])[:-1].tolist()
    state = {
        "codebook": {"cquant": np.eye(8).ravel().tolist(), "n_fine": 8, "dim": 8, "n_coarse": 4,
                     "cindex_labels": [c // 2 for c in range(8)], "centroid_dists": [0.0] * 64, "idf": [1.0] * 8},
        "doc_profiles": [{"centroid_ids": list(c), "ctop": list(t)} for c, t, _ in docs],
        "doc_ids": [i for _, _, i in docs],
        "postings": {"lists": lists, "cluster_reps": [p[0] if p else None for p in lists]},
        "ctop_r": 3,
        "flat_codes": {"codes": [c for codes, _, _ in docs for c in codes], "offsets": offsets,
                       "lengths": [len(c) for c, _, _ in docs]},
    }
    body = json.dumps(state, separators=(",", ":")).encode()
    (tmp_path / "state.qor").write_bytes(b"QORR" + struct.pack("<IQ", 1, len(body)) + body)
    r = qr.PyQorRouter(8)
    r.load(str(tmp_path / "state.qor"))
    return r


def query_rows(*spec):
    """Query rows over the identity codebook, each a dict {column: value}."""
    q = np.zeros((len(spec), 8), np.float32)
    for j, row in enumerate(spec):
        for c, v in row.items():
            q[j, c] = v
    return q


def test_score_is_the_float32_value_widened(tmp_path):
    # Row maxima 0.9 and 0.6 over codes {3, 7}: w = 0.25; the query C_top
    # is [1, 3] and the document shares cluster 1.
    r = crafted(tmp_path, [([3, 7], [1, 0], 2**64 - 1)])
    res = r.route_query(query_rows({3: 0.9, 7: 0.5}, {3: 0.2, 7: 0.6}))
    want = F32(0.5) * F32(0.2) + F32(1) / (F32(0.25) + F32(1))
    assert res == [(2**64 - 1, float(want))]
    assert type(res[0]) is tuple and type(res[0][0]) is int and type(res[0][1]) is float


def test_document_without_codes_keeps_its_overlap_term(tmp_path):
    r = crafted(tmp_path, [([], [0], 9)])
    (doc_id, score), = r.route_query(query_rows({0: 1.0}, {2: 1.0}, {4: 1.0}))  # C_top [0, 1, 2]
    assert doc_id == 9
    assert score == float(F32(1) / F32(3) * F32(0.2) + F32(2.938736e-39))


def test_max_candidates_truncates_the_full_ranking(tmp_path):
    rng = np.random.default_rng(3)
    docs = [(rng.integers(0, 8, 3).tolist(), [0], 1000 + d) for d in range(1200)]
    r = crafted(tmp_path, docs)
    q = rng.random((4, 8), dtype=np.float32)
    q[:, 0] += 2  # every row codes to centroid 0: C_top [0]
    full = r.route_query(q, max_candidates=5000)
    assert len(full) == 1200
    assert r.route_query(q) == full[:500]
    assert r.route_query(q, 4, 0) == []
    scores = [s for _, s in full]
    assert scores == sorted(scores, reverse=True)


def test_nan_score_alone_is_returned_and_two_fail(tmp_path):
    # Over code 1 the row maxima are -3e38, -3e38 and +inf: the running
    # sum overflows to -inf, then meets +inf.
    q = query_rows({1: -3e38}, {1: -3e38}, {1: np.inf}, {0: 1.0})
    both = [([1], [0], 7), ([0], [0], 8)]
    alone = crafted(tmp_path, both[:1]).route_query(q)
    assert len(alone) == 1 and alone[0][0] == 7 and math.isnan(alone[0][1])
    r = crafted(tmp_path, both)
    with pytest.raises(qr.PanicException, match=r"^proxy scores cannot be ordered"):
        r.route_query(q)
    assert len(r.route_query(query_rows({0: 1.0}))) == 2  # the scratch lock was released


def doc_tokens(n_docs, tokens, dim, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((40, dim)).astype(np.float32)
    x = centres[rng.integers(0, 40, n_docs * tokens)] + 0.5 * rng.standard_normal((n_docs * tokens, dim))
    return x.astype(np.float32)


def ordered_product(query, cquant):
    """query @ cquant.T as the router computes it on every machine: from +0,
    one float32 product and one float32 sum per dimension, dimensions in
    increasing order."""
    acc = np.zeros((len(query), len(cquant)), F32)
    for p in range(query.shape[1]):
        acc = acc + np.multiply.outer(query[:, p], cquant[:, p])
    return acc


def numpy_route(state, query, ctop):
    """The routing rules written out over the saved state, in NumPy, with
    every float32 operation in the router's order."""
    cb = state["codebook"]
    cquant = np.array(cb["cquant"], np.float32).reshape(cb["n_fine"], cb["dim"])
    sims = ordered_product(query, cquant)
    hits = {}
    for c in ctop:
        if c < len(state["postings"]["lists"]):
            for d in state["postings"]["lists"][c]:
                hits[d] = hits.get(d, 0) + 1
    flat = state["flat_codes"]
    out = {}
    for d, h in hits.items():
        codes = flat["codes"][flat["offsets"][d] : flat["offsets"][d] + flat["lengths"][d]]
        total = F32(0)
        for m in sims[:, codes].max(axis=1):  # row order, not NumPy's pairwise sum
            total = F32(total + m)
        w = F32(1) - total / F32(len(query))
        overlap = sum(c in state["doc_profiles"][d]["ctop"] for c in ctop)
        out[state["doc_ids"][d]] = (
            float(F32(overlap) / F32(max(len(ctop), 1)) * F32(0.2) + F32(1) / (w + F32(1))),
            h,
            d,
        )
    return out


@pytest.mark.parametrize("n_rows, n_probes, dim", [(1, 4, 16), (8, 0, 16), (32, 12, 16), (17, 6, 13)])
def test_agrees_with_numpy_over_a_saved_build(tmp_path, n_rows, n_probes, dim):
    x = doc_tokens(300, 12, dim, seed=1)
    r = qr.PyQorRouter(dim)
    r.build(x, list(range(5, 305)), [(i * 12, i * 12 + 12) for i in range(300)], n_fine=64, n_coarse=12)
    r.save(str(tmp_path / "s.qor"))
    state = json.loads((tmp_path / "s.qor").read_bytes()[16:])
    q = doc_tokens(n_rows, 1, dim, seed=2)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    before = q.copy()
    want = numpy_route(state, q, r.compute_query_profile(q, n_probes)[1])
    got = r.route_query(q, n_probes, 10**6)
    np.testing.assert_array_equal(q, before)
    assert want and sorted(d for d, _ in got) == sorted(want)
    # Every score to the bit, on any processor and kernel.
    assert [s for _, s in got] == [want[d][0] for d, _ in got]
    for (d1, s1), (d2, s2) in itertools.pairwise(got):
        assert s1 >= s2
        if s1 == s2:  # ties: more hits first, then lower index
            assert (-want[d1][1], want[d1][2]) < (-want[d2][1], want[d2][2])


PIPELINE_SCRIPT = textwrap.dedent(
    """
    import json, numpy as np, nuvaris_qor_router as qr
    rng = np.random.default_rng(9)
    centres = rng.standard_normal((30, 32)).astype(np.float32)
    x = (centres[rng.integers(0, 30, 24000)] + 0.4 * rng.standard_normal((24000, 32))).astype(np.float32)
    r = qr.PyQorRouter(32)
    r.build(x[:21600], list(range(900)), [(i * 24, i * 24 + 24) for i in range(900)], n_fine=128, n_coarse=16,
            max_kmeans_iter=10)
    r.add_documents(x[21600:], list(range(900, 1000)), [(i * 24, i * 24 + 24) for i in range(100)])
    out = []
    for n_rows in (1, 7, 32, 100):
        q = (centres[rng.integers(0, 30, n_rows)] + 0.4 * rng.standard_normal((n_rows, 32))).astype(np.float32)
        out.append([r.compute_query_profile(q, 6), r.get_cluster_entries(q, 6), r.query_cluster_overlaps(q, 6),
                    [(d, s.hex()) for d, s in r.route_query(q, 6, 400)]])
    print(json.dumps(out))
    """
)


def test_whole_pipeline_gives_the_same_answers_for_any_worker_count_and_kernel():
    runs = {}
    for name, env in [("1 worker", {"RAYON_NUM_THREADS": "1"}), ("2 workers", {"RAYON_NUM_THREADS": "2"}),
                      ("5 workers", {"RAYON_NUM_THREADS": "5"}), ("scalar", {"QOR_FORCE_SCALAR": "1"})]:
        done = subprocess.run([sys.executable, "-c", PIPELINE_SCRIPT], env={**os.environ, **env},
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        runs[name] = json.loads(done.stdout)
    first = runs["1 worker"]
    assert all(len(route) > 0 for *_, route in first)
    for name, result in runs.items():
        assert result == first, name


MEMORY_SCRIPT = textwrap.dedent(
    """
    import resource, numpy as np, nuvaris_qor_router as qr
    rng = np.random.default_rng(3)
    x = rng.standard_normal((4000, 8)).astype(np.float32)
    r = qr.PyQorRouter(8)
    r.build(x, list(range(200)), [(i * 20, i * 20 + 20) for i in range(200)], n_fine=256, n_coarse=8)
    q = np.ones((1_000_000, 8), np.float32)  # 32 MB; its similarity matrix needs 1 GB
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + 512 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
    try:
        r.route_query(q)
    except MemoryError:
        print("MemoryError")
    print(len(r.route_query(q[:4])))
    """
)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_similarity_matrix_beyond_the_memory_limit_raises_memory_error():
    done = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split()
    assert lines[0] == "MemoryError" and int(lines[1]) > 0
