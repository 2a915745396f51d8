"""Shared fixtures for the Python tests: routers, a small corpus and a query."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor

# A Ray started by the tests stays on this machine's loopback: with this set before Ray is imported,
# its node address is 127.0.0.1 (not the machine's network address) and its servers listen there.
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"

DIM = 8


def clustered(rows, dim=DIM, seed=0, centres=12):
    """`rows` float32 vectors around `centres` random centres (spread 3, unit noise)."""
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, dim)).astype(np.float32) * 3
    return (c[rng.integers(0, centres, rows)] + rng.standard_normal((rows, dim)).astype(np.float32)).astype(np.float32)


def documents_with_copies(rng, n_docs, n_copies, dim):
    """Documents of 5 to 14 unit rows drawn from `rng`, the last `n_copies`
    repeating the first ones (equal scores under different ids): the
    vectors and the (start, end) row range of each document."""
    lengths = rng.integers(5, 15, n_docs)
    lengths[-n_copies:] = lengths[:n_copies]
    bounds = np.concatenate(([0], np.cumsum(lengths)))
    vectors = rng.standard_normal((bounds[-1], dim), dtype=np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    offsets = list(zip(bounds[:-1].tolist(), bounds[1:].tolist()))
    for j in range(n_copies):
        s, e = offsets[n_docs - n_copies + j]
        vectors[s:e] = vectors[offsets[j][0] : offsets[j][1]]
    return vectors, offsets


def centred_documents(seed, n, dim, lengths, spread=0.3):
    """`n` float32 documents, each a random centre plus `spread` noise per
    row, of lengths drawn from [lengths[0], lengths[1]), so that MaxSim
    tells them apart."""
    rng = np.random.default_rng(seed)
    return [
        (rng.standard_normal(dim) + spread * rng.standard_normal((int(rng.integers(*lengths)), dim))).astype(np.float32)
        for _ in range(n)
    ]


def near_queries(docs, seed, count):
    """`count` queries, each the first rows (up to 3) of a random document
    with a little noise, so that the document is among their answers."""
    rng = np.random.default_rng(seed)
    picks = rng.integers(0, len(docs), count)
    return [
        (docs[d][:3] + 0.05 * rng.standard_normal((min(3, len(docs[d])), docs[d].shape[1]))).astype(np.float32)
        for d in picks
    ]


def router_answers(r, queries, n_probes=3, max_candidates=50):
    """Everything a caller can observe of a router for each query, for
    before/after comparisons."""
    if not r.is_ready():
        return (False,)
    return (
        r.n_docs(),
        r.n_fine(),
        r.n_coarse(),
        [
            (
                r.route_query(q, n_probes=n_probes, max_candidates=max_candidates),
                r.get_cluster_entries(q, n_probes=n_probes),
                r.compute_query_profile(q, n_probes=n_probes),
                r.query_cluster_overlaps(q, n_probes=n_probes),
            )
            for q in queries
        ],
    )


def ordered_maxsim(sims, offsets, docs):
    """MaxSim scores of documents `docs` from the (Q, rows) similarity
    matrix of a query against every stored row: per document the largest
    similarity of each query row (-inf without rows), then those maxima added
    in query-row order, each sum rounded to float32; 0 for a query without
    rows."""
    out = []
    for d in docs:
        a, b = int(offsets[d]), int(offsets[d + 1])
        if len(sims) == 0:
            out.append(np.float32(0))
            continue
        mx = sims[:, a:b].max(axis=1) if b > a else np.full(len(sims), -np.inf, np.float32)
        score = mx[0]
        for m in mx[1:]:
            score = np.float32(score + m)
        out.append(score)
    return np.array(out, np.float32)


def state_bytes(r, path):
    """The file `r.save` writes at `path`."""
    r.save(str(path))
    return pathlib.Path(path).read_bytes()


def state_body(r, path):
    """The state as the router writes it to a file, parsed."""
    return json.loads(state_bytes(r, path)[16:])


@pytest.fixture(scope="session")
def corpus():
    """40 vectors of width DIM in 4 documents of 10 rows, ids 10..13."""
    vectors = np.random.default_rng(7).standard_normal((40, DIM)).astype(np.float32)
    return vectors, [10, 11, 12, 13], [(0, 10), (10, 20), (20, 30), (30, 40)]


@pytest.fixture
def router():
    return qor.PyQorRouter(DIM)


@pytest.fixture
def built_router(corpus):
    r = qor.PyQorRouter(DIM)
    r.build(*corpus, n_fine=16, n_coarse=4)
    return r


@pytest.fixture
def query():
    return np.random.default_rng(11).standard_normal((3, DIM)).astype(np.float32)



@pytest.fixture
def readme_example(tmp_path):
    """run(heading, name): check that the first Python block under README's `heading` is
    examples/`name`, run it in a temporary directory and return its stdout (with `with_stderr`,
    its stdout and stderr)."""
    root = pathlib.Path(__file__).resolve().parent.parent

    def run(heading, name, with_stderr=False):
        readme = (root / "README.md").read_text()
        section = readme[readme.index(heading) :]
        code = section[section.index("```python\n") + 10 : section.index("```\n\n")]
        example = root / "examples" / name
        assert code == example.read_text()
        done = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, cwd=tmp_path,
                              check=True, timeout=600)
        return (done.stdout, done.stderr) if with_stderr else done.stdout

    return run


@pytest.fixture(scope="session")
def local_ray():
    """One local Ray for every sharded test module of the session (its start is their main cost)."""
    ray = pytest.importorskip("ray", reason="Ray is not installed (the optional `ray` extra: pip install '.[ray]')")
    ray.init(
        num_cpus=2,
        include_dashboard=False,
        object_store_memory=200 * 1024 * 1024,
        log_to_driver=False,
        configure_logging=False,
    )
    yield ray
    ray.shutdown()
