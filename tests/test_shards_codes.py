"""Sharded routers that keep token codes on one shared quantiser: answers against one Retriever
holding every document on the same codebook and quantiser, restarts and save/load keeping the
codes, shards without float vectors, and saves made without a quantiser."""

import json
import os
import re
import signal
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed (the optional `ray` extra: pip install '.[ray]')")

from conftest import documents_with_copies  # noqa: E402
from nuvaris_qor_search import Retriever  # noqa: E402
from nuvaris_qor_search.codes import CodeStore, quantiser_digest  # noqa: E402
from nuvaris_qor_search.shards import ShardedRouter, ShardRestartedError, train_codebook, train_quantiser  # noqa: E402

DIM = 16
N_DOCS = 240
N_DUPLICATES = 10  # the last documents repeat the first ones under higher ids: equal scores across shards
SHARD_CPUS = 0


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    vectors, offsets = documents_with_copies(rng, N_DOCS, N_DUPLICATES, DIM)
    sample = offsets[:100]
    codebook = train_codebook(vectors[: sample[-1][1]], sample, n_fine=32, n_coarse=6, ctop_r=2)
    quantiser = train_quantiser(codebook, vectors[: sample[-1][1]])
    # Short queries near documents (each its shard's and the collection's clear best) and one
    # random query whose answer is a close race.
    queries = [
        vectors[s : s + 4] + 0.1 * rng.standard_normal((4, DIM), dtype=np.float32)
        for s, _ in (offsets[0], offsets[3], offsets[120], offsets[239])
    ] + [rng.standard_normal((6, DIM), dtype=np.float32)]
    ids = [5 * d + 2 for d in range(N_DOCS)]
    return {"vectors": vectors, "ids": ids, "offsets": offsets, "codebook": codebook, "quantiser": quantiser,
            "queries": queries}


@pytest.fixture(scope="module")
def single(data):
    """One retriever per keep_vectors on the shared codebook and quantiser, holding every document."""
    made = {}
    for keep in (True, False):
        made[keep] = Retriever.from_codebook(data["codebook"], quantiser=data["quantiser"], keep_vectors=keep)
        made[keep].add(data["vectors"], data["ids"], data["offsets"])
    yield made
    for r in made.values():
        r.close()


@pytest.fixture(scope="module")
def sharded(data, local_ray):
    """Sharded routers with the quantiser by (shard count, keep_vectors), filled in chunks."""
    routers = {}

    def get(n, keep_vectors=True):
        if (n, keep_vectors) not in routers:
            r = ShardedRouter(data["codebook"], n, num_cpus=SHARD_CPUS, quantiser=data["quantiser"],
                              keep_vectors=keep_vectors)
            routers[n, keep_vectors] = r
            r.add(data["vectors"], data["ids"], data["offsets"], chunk_rows=300)
        return routers[n, keep_vectors]

    yield get
    for r in routers.values():
        r.close()


@pytest.fixture
def fresh(data, local_ray):
    made = []

    def make(n_shards=2, **options):
        r = ShardedRouter(data["codebook"], n_shards, num_cpus=SHARD_CPUS, **options)
        made.append(r)
        return r

    yield make
    for r in made:
        r.close()


def restart(router, shard):
    """Kills a shard's process and waits, past the driver, until Ray has the actor back: its
    generation and status."""
    os.kill(router.shard_status()[shard]["pid"], signal.SIGKILL)
    deadline = time.monotonic() + 60
    while True:
        try:
            return ray.get(router._fan.actors[shard].status.remote())
        except ray.exceptions.RayActorError:
            assert time.monotonic() < deadline
            time.sleep(0.2)


def test_train_quantiser_is_deterministic_and_written_to_path(data, tmp_path):
    sample = data["vectors"][:900]
    again = train_quantiser(data["codebook"], sample, path=tmp_path / "q.npy")
    assert again == train_quantiser(data["codebook"], sample) == CodeStore.train(data["codebook"], sample).quantiser()
    assert (tmp_path / "q.npy").read_bytes() == again
    assert train_quantiser(data["codebook"], sample, bits=1) != again
    seeded = [train_quantiser(data["codebook"], sample, sample=300, seed=seed) for seed in (1, 1, 2)]
    assert seeded[0] == seeded[1] != seeded[2]
    assert quantiser_digest(again) == quantiser_digest(CodeStore.from_quantiser(data["codebook"], again).quantiser())
    assert len({quantiser_digest(q) for q in (again, *seeded[1:])}) == 3


@pytest.mark.parametrize("n_shards", [1, 3])
class TestAnswersOfOneRetriever:
    def test_approximate_and_fully_reranked_answers_are_the_single_ones(self, data, single, sharded, n_shards):
        # The token candidates of a document depend on its own codes alone, so every shard finds what
        # the single retriever finds; approximate scores (rerank=0) and a rerank of every candidate
        # then give the same top-k, ties in id order.
        router, one = sharded(n_shards), single[True]
        for q in data["queries"]:
            for counts in ({"rerank": 0}, {"rerank": N_DOCS}, {"rerank": 0, "candidates": N_DOCS, "probe": 1}):
                assert router.search(q, k=15, **counts) == one.search(q, k=15, **counts), counts

    def test_default_counts_give_the_single_answer_for_clear_queries(self, data, single, sharded, n_shards):
        router, one = sharded(n_shards), single[True]
        assert router.search_batch(data["queries"][:4], 5) == [one.search(q, 5) for q in data["queries"][:4]]

    @pytest.mark.parametrize(
        "counts", [{"rerank": 5}, {"rerank": 0, "candidates": 30, "probe": 1}, {"rerank": 0, "shortlist": 12}]
    )
    def test_per_shard_cuts_score_at_least_the_single_cut(self, data, single, sharded, n_shards, counts):
        # Each shard keeps its own best `candidates` (or `shortlist`) and reranks its own best
        # `rerank`: together a superset of what one retriever keeps, so every rank scores at least as
        # well.
        router, one = sharded(n_shards), single[True]
        for q in data["queries"]:
            mine = [s for _, s in router.search(q, k=10, **counts)]
            theirs = [s for _, s in one.search(q, k=10, **counts)]
            assert len(mine) == len(theirs) and all(a >= b for a, b in zip(mine, theirs, strict=True))

    def test_codes_only_shards_answer_like_a_codes_only_retriever(self, data, single, sharded, n_shards):
        router, one, q = sharded(n_shards, keep_vectors=False), single[False], data["queries"][1]
        assert router.search_batch(data["queries"], 10) == [one.search(query, 10) for query in data["queries"]]
        assert router.search(q, 10) == single[True].search(q, 10, rerank=0)  # the approximate scores
        picked = data["ids"][:40:3]
        assert router.rerank(q, picked, 5) == one.rerank(q, picked, 5)
        assert not any(st["keeps_vectors"] for st in router.shard_status())


@pytest.mark.parametrize("codes", [True, False], ids=["token codes", "vectors only"])
def test_integer_ids_on_both_sides_of_2_63_come_back_exactly(data, fresh, codes):
    # One answer from one shard holds ids below and above 2**63 (ids grow with the indexing order, so
    # equal scores keep one order), which a float64 column would round.
    ids = [d if d < N_DOCS // 2 else 2**63 + d for d in range(N_DOCS)]
    options = {"quantiser": data["quantiser"]} if codes else {}
    router = fresh(**options)
    router.add(data["vectors"], ids, data["offsets"])
    one = Retriever.from_codebook(data["codebook"], **options)
    one.add(data["vectors"], ids, data["offsets"])
    for q in data["queries"]:
        assert router.search(q, 10, rerank=N_DOCS) == one.search(q, 10, rerank=N_DOCS)
        assert router.rerank(q, None, 10) == one.rerank(q, None, 10)
        assert router.rerank(q, ids[::3], 10) == one.rerank(q, ids[::3], 10)
    one.close()


class TestChecks:
    def test_bad_options_are_refused_before_any_shard_starts(self, data, local_ray):
        with pytest.raises(ValueError, match=r"^keep_vectors=False needs a quantiser"):
            ShardedRouter(data["codebook"], 2, keep_vectors=False)
        narrow = train_quantiser(train_codebook(data["vectors"][:600, :8], [(0, 600)], n_fine=8, n_coarse=2),
                                 data["vectors"][:600, :8])
        with pytest.raises(ValueError, match=r"^the quantiser is for 8 dimensions; the codebook has 16$"):
            ShardedRouter(data["codebook"], 2, quantiser=narrow)

    @pytest.mark.parametrize(
        "counts, message",
        [
            ({"probe": -1}, r"^probe must be"),
            ({"rerank": 1.5}, r"^rerank must be"),
            ({"n_probes": 0}, r"^n_probes"),
            ({"shortlist": -2}, r"^shortlist must be"),
        ],
    )
    def test_counts_are_checked_as_the_retriever_checks_them(self, data, single, sharded, counts, message):
        q = data["queries"][0]
        with pytest.raises(ValueError) as expected:
            single[True].search(q, **counts)
        assert re.match(message, str(expected.value))
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
            sharded(1).search(q, **counts)


class TestRestartsAndSaves:
    def test_restarted_shards_come_back_with_the_quantiser_with_or_without_a_save(self, data, single, fresh,
                                                                                  tmp_path):
        router = fresh(quantiser=data["quantiser"], keep_vectors=False)
        generation, status = restart(router, 1)  # never saved: starts empty on the codebook
        assert (generation, status["n_docs"]) == (1, 0)
        assert (status["quantiser"], status["keeps_vectors"]) == (router.quantiser_digest, False)
        with pytest.raises(ShardRestartedError):
            router.search(data["queries"][0])
        router.accept_restarts()
        router.add(data["vectors"], data["ids"], data["offsets"])
        router.save(tmp_path / "s")
        counts = router.shard_doc_counts()
        generation, status = restart(router, 0)  # reopens its saved directory
        assert (generation, status["n_docs"], status["quantiser"]) == (1, counts[0], router.quantiser_digest)
        router.accept_restarts()
        assert router.search_batch(data["queries"], 6) == [single[False].search(q, 6) for q in data["queries"]]

    def test_save_and_load_keep_the_quantiser(self, data, sharded, fresh, tmp_path):
        router = sharded(3, keep_vectors=False)
        router.save(tmp_path / "s")
        manifest = json.loads((tmp_path / "s" / "manifest.json").read_text())
        assert manifest["version"] == 2 and manifest["keep_vectors"] is False
        assert (tmp_path / "s" / manifest["quantiser"]).read_bytes() == data["quantiser"]
        assert manifest["quantiser_sha256"] == quantiser_digest(data["quantiser"])
        with ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS) as loaded:
            assert loaded.quantiser == data["quantiser"] and not loaded.keep_vectors
            assert all(st["quantiser"] == router.quantiser_digest for st in loaded.shard_status())
            assert loaded.search_batch(data["queries"], 7) == router.search_batch(data["queries"], 7)
        # A running router of another quantiser, or none, does not reload this save.
        other = fresh(3, quantiser=train_quantiser(data["codebook"], data["vectors"][:900], bits=1))
        with pytest.raises(ValueError, match=r"holds token codes of quantiser [0-9a-f]{64} without vectors, "
                                             r"this router has token codes of quantiser"):
            other.reload(tmp_path / "s")
        with pytest.raises(ValueError, match=r"this router has no token codes$"):
            fresh(3).reload(tmp_path / "s")

    @pytest.mark.parametrize(
        "edit, message",
        [
            (lambda root, m: (root / "quantiser.npy").write_bytes(b"not a quantiser"), r"not a residual quantiser"),
            (lambda root, m: m.update(quantiser_sha256="0" * 64), r"quantiser digest differs from the manifest's$"),
            (lambda root, m: m.update(quantiser="elsewhere.npy"), r"quantiser file 'elsewhere.npy' is missing$"),
            (lambda root, m: [m.pop(k) for k in ("quantiser", "quantiser_sha256")],
             r"shards without vectors need a quantiser, and none is named$"),
            (lambda root, m: m.update(keep_vectors=True),
             r"shard 0 holds token codes of quantiser [0-9a-f]{64} without vectors, the manifest says token codes "
             r"of quantiser [0-9a-f]{64}$"),
        ],
    )
    def test_load_refuses_a_quantiser_that_does_not_match(self, data, sharded, tmp_path, edit, message):
        sharded(1, keep_vectors=False).save(tmp_path / "s")
        path = tmp_path / "s" / "manifest.json"
        manifest = json.loads(path.read_text())
        edit(tmp_path / "s", manifest)
        path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match=message):
            ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS)

    def test_a_save_without_a_quantiser_keeps_the_old_manifest_and_search(self, data, fresh, tmp_path):
        router = fresh()
        router.add(data["vectors"], data["ids"], data["offsets"])
        before = router.search_batch(data["queries"], 8)
        router.save(tmp_path / "s")
        manifest = json.loads((tmp_path / "s" / "manifest.json").read_text())
        assert manifest["version"] == 1 and not {"quantiser", "keep_vectors"} & manifest.keys()
        assert sorted(os.listdir(tmp_path / "s")) == ["codebook.qor", "manifest.json", "shard-0000", "shard-0001"]
        with ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS) as loaded:
            assert loaded.quantiser is None and all(st["quantiser"] is None for st in loaded.shard_status())
            assert loaded.search_batch(data["queries"], 8) == before
