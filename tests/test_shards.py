"""Sharded routing on a local Ray: merged answers against one router holding
every document, streaming adds and the refusal of bad input before any shard
takes a part, string ids, removal and replacement against a retriever built on
what remains, errors from shards, save/load with the manifest, and restarts of
a killed shard."""

import ipaddress
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from nuvaris_qor_router import PanicException, PyQorRouter

ray = pytest.importorskip("ray", reason="Ray is not installed (the optional `ray` extra: pip install '.[ray]')")

from conftest import documents_with_copies  # noqa: E402
from nuvaris_qor_search import (  # noqa: E402
    Retriever,
    _channel,
    _shard_add,
)
from nuvaris_qor_search._shard_actor import _Shard  # noqa: E402
from nuvaris_qor_search.shards import (  # noqa: E402
    AddDocumentsError,
    ShardedRouter,
    ShardError,
    ShardRestartedError,
    shard_of,
    train_codebook,
)

DIM = 16
N_DOCS = 300
N_DUPLICATES = 12  # the last documents repeat the vectors of the first ones, under higher ids
SHARD_CPUS = 0  # several routers' actors share the two CPUs of the test cluster


pytestmark = pytest.mark.usefixtures("local_ray")  # one Ray for the session (conftest)


@pytest.fixture(scope="module")
def data():
    """Documents of 5 to 14 unit rows; ids grow with the indexing order but are not consecutive."""
    rng = np.random.default_rng(5)
    vectors, offsets = documents_with_copies(rng, N_DOCS, N_DUPLICATES, DIM)
    ids = [7 * d + 3 for d in range(N_DOCS)]
    sample = offsets[:120]
    codebook = train_codebook(vectors[: sample[-1][1]], sample, n_fine=32, n_coarse=6, ctop_r=2)
    queries = [
        vectors[s : s + 4] + 0.1 * rng.standard_normal((4, DIM), dtype=np.float32)
        for s, _ in (offsets[0], offsets[3], offsets[150], offsets[299])
    ]
    return {"vectors": vectors, "ids": ids, "offsets": offsets, "codebook": codebook, "queries": queries}


@pytest.fixture(scope="module")
def single(data, tmp_path_factory):
    """One router on the shared codebook that got every document through add_documents."""
    path = tmp_path_factory.mktemp("codebook") / "codebook.qor"
    path.write_bytes(data["codebook"])
    router = PyQorRouter(DIM)
    router.load(str(path))
    router.add_documents(data["vectors"], data["ids"], data["offsets"])
    retriever = Retriever.from_codebook(data["codebook"])
    retriever.add(data["vectors"], data["ids"], data["offsets"])
    return router, retriever


@pytest.fixture(scope="module")
def sharded(data):
    """Sharded routers by shard count, filled in chunks of about 200 rows."""
    routers = {}

    def get(n):
        if n not in routers:
            routers[n] = ShardedRouter(data["codebook"], n, num_cpus=SHARD_CPUS)
            routers[n].add_documents(data["vectors"], data["ids"], data["offsets"], chunk_rows=200)
        return routers[n]

    yield get
    for r in routers.values():
        r.close()


@pytest.fixture
def fresh(data):
    """A two-shard router of the test's own, for calls that break or kill it."""
    made = []

    def make(**options):
        r = ShardedRouter(data["codebook"], 2, num_cpus=SHARD_CPUS, **options)
        made.append(r)
        return r

    yield make
    for r in made:
        r.close()


def shard_pid(router, shard):
    return ray.get(router._fan.actors[shard].status.remote())[1]["pid"]


def listening_addresses(root):
    """The local addresses of the listening TCP sockets that process `root` and its descendants hold."""
    parents = {}
    for entry in Path("/proc").iterdir():
        try:
            parents[int(entry.name)] = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (ValueError, OSError):
            continue
    family, todo = set(), [root]
    while todo:
        pid = todo.pop()
        family.add(pid)
        todo += [child for child, parent in parents.items() if parent == pid]
    inodes = set()
    for pid in family:
        try:
            links = [os.readlink(fd) for fd in Path(f"/proc/{pid}/fd").iterdir()]
        except OSError:  # it exited meanwhile
            continue
        inodes |= {link[8:-1] for link in links if link.startswith("socket:[")}
    addresses = []
    for table in ("tcp", "tcp6"):
        for line in Path(f"/proc/net/{table}").read_text().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:  # LISTEN
                raw = bytes.fromhex(fields[1].split(":")[0])
                ip = ipaddress.ip_address(b"".join(raw[i : i + 4][::-1] for i in range(0, len(raw), 4)))
                addresses.append(getattr(ip, "ipv4_mapped", None) or ip)
    return addresses


@pytest.mark.parametrize("n_shards", [1, 2, 3])
class TestMergedAnswers:
    @pytest.mark.parametrize("n_probes", [2, 4])
    def test_route_query_equals_one_router(self, data, single, sharded, n_shards, n_probes):
        # Tied documents (the duplicates) share their hit count, and ids grow
        # with the indexing order, so lower id first is the single router's order.
        router = sharded(n_shards)
        ties = 0
        for q in data["queries"]:
            expected = single[0].route_query(q, n_probes, 10_000)
            assert router.route_query(q, n_probes, 10_000) == expected
            scores = [s for _, s in expected]
            ties += len(scores) - len(set(scores))
            cut = router.route_query(q, n_probes, 25)
            assert [s for _, s in cut] == scores[:25]
            assert {p for p in cut if p[1] > scores[24]} == {p for p in expected[:25] if p[1] > scores[24]}
        assert ties > 0  # the data does exercise equal scores across documents

    def test_search_equals_one_retriever(self, data, single, sharded, n_shards):
        router = sharded(n_shards)
        for q in data["queries"]:
            assert router.search(q, k=15, candidates=10_000) == single[1].search(q, k=15, candidates=10_000)

    @pytest.mark.parametrize("candidates", [30, 90])
    def test_search_reranks_the_best_candidates_over_all_shards(self, data, single, sharded, n_shards, candidates):
        # The shards rerank the merged best `candidates`, not `candidates` each:
        # the same documents the single retriever reranks.
        router = sharded(n_shards)
        for q in data["queries"]:
            assert router.search(q, k=20, candidates=candidates) == single[1].search(q, k=20, candidates=candidates)
        assert router.search_batch(data["queries"], 0) == [[] for _ in data["queries"]]
        assert router.search(data["queries"][0][:0], 5) == []

    def test_batches_equal_single_calls(self, data, sharded, n_shards):
        router = sharded(n_shards)
        qs = data["queries"]
        assert router.route_query_batch(qs, 3, 40) == [router.route_query(q, 3, 40) for q in qs]
        assert router.search_batch(qs, 5) == [router.search(q, 5) for q in qs]

    def test_per_document_methods(self, data, single, sharded, n_shards):
        router, q = sharded(n_shards), data["queries"][1]
        assert router.n_docs == N_DOCS
        assert router.shard_doc_counts() == np.bincount(shard_of(data["ids"], n_shards), minlength=n_shards).tolist()
        assert router.compute_query_profile(q, 3) == single[0].compute_query_profile(q, 3)
        assert sorted(router.query_cluster_overlaps(q)) == sorted(single[0].query_cluster_overlaps(q))
        # The representative of a cluster is its first document, so also the first on its own shard.
        assert set(single[0].get_cluster_entries(q)) <= set(router.get_cluster_entries(q))


def test_equal_scores_across_shards_put_the_lower_id_first(data, sharded):
    router = sharded(3)
    owners = shard_of(data["ids"], 3)
    q = data["vectors"][data["offsets"][0][0] : data["offsets"][0][1]]
    result = dict(router.route_query(q, 4, 10_000))
    dup = data["ids"][N_DOCS - N_DUPLICATES]
    assert result[data["ids"][0]] == result[dup]
    order = [d for d, _ in router.route_query(q, 4, 10_000)]
    assert order.index(data["ids"][0]) < order.index(dup)
    assert any(owners[j] != owners[N_DOCS - N_DUPLICATES + j] for j in range(N_DUPLICATES))


def test_partition_is_a_fixed_function_of_the_id():
    ids = [0, 1, 2, 3, 42, 2**64 - 1]
    assert shard_of(ids, 3).tolist() == [1, 2, 1, 0, 1, 2]
    assert shard_of(ids, 1000).tolist() == [535, 465, 110, 53, 413, 936]
    assert np.bincount(shard_of(np.arange(30_000), 3)).min() > 9_500


STRING_IDS = ["", "a", "doc-1", "doc-2", "ünïcode", "日本"]
STRING_SHARDS = [756, 928, 614, 133, 443, 160]


def test_partition_of_string_ids_is_the_same_in_every_process():
    # Python's own str hash is salted per process: these values must not be.
    assert shard_of(STRING_IDS, 1000).tolist() == STRING_SHARDS
    assert shard_of(np.array(STRING_IDS), 1000).tolist() == STRING_SHARDS
    code = f"from nuvaris_qor_search.shards import shard_of; print(shard_of({STRING_IDS!r}, 1000).tolist())"
    other = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert other.stdout == f"{STRING_SHARDS}\n"
    assert np.bincount(shard_of([f"doc-{i}" for i in range(30_000)], 3)).min() > 9_500


class TestDirectConnections:
    def test_ray_calls_give_the_same_answers_and_errors(self, data, sharded, fresh):
        direct, via_ray = sharded(2), fresh(direct=False)
        via_ray.add_documents(data["vectors"], data["ids"], data["offsets"])
        qs = data["queries"]
        assert via_ray.route_query_batch(qs, 3, 40) == direct.route_query_batch(qs, 3, 40)
        assert via_ray.search_batch(qs, 5, candidates=60) == direct.search_batch(qs, 5, candidates=60)
        errors = []
        for router in (direct, via_ray):
            with pytest.raises(ShardError) as info:
                router.route_query(qs[0], 2**70)  # a count the router itself cannot take
            errors.append(str(info.value))
        assert errors[0] == errors[1] and errors[0].startswith("shard 0: OverflowError: ")

    def test_unreachable_shards_fall_back_to_ray_calls(self, data, sharded, fresh, monkeypatch):
        def refuse(*args, **kwargs):
            raise ConnectionRefusedError("refused")

        monkeypatch.setattr(_channel.Link, "__init__", refuse)
        with pytest.warns(RuntimeWarning, match=r"^shard 0 cannot be reached directly at .*queries go through Ray"):
            router = fresh()
        router.add_documents(data["vectors"], data["ids"], data["offsets"])
        q = data["queries"][1]
        assert router.route_query(q) == sharded(2).route_query(q)

    def test_a_broken_connection_is_remade_and_the_query_answered(self, data, sharded):
        router, q = sharded(2), data["queries"][2]
        before = router.route_query(q)
        router._fan.links[1].sock.shutdown(socket.SHUT_RDWR)
        assert router.route_query(q) == before

    def test_an_interrupted_query_leaves_no_reply_behind(self, data, sharded, monkeypatch):
        router, (q0, q1) = sharded(2), data["queries"][:2]
        expected = router.route_query(q1)
        real = _channel.Link.recv

        def interrupted(link):
            monkeypatch.setattr(_channel.Link, "recv", real)
            raise KeyboardInterrupt

        monkeypatch.setattr(_channel.Link, "recv", interrupted)
        with pytest.raises(KeyboardInterrupt):
            router.route_query(q0)
        assert router.route_query(q1) == expected

    def test_a_local_ray_and_its_shards_listen_on_loopback_only(self, sharded):
        router = sharded(2)
        loopback = ipaddress.ip_network("127.0.0.0/8")
        assert all(ipaddress.ip_address(host) in loopback for host, _ in router._fan.addresses)
        assert all(ipaddress.ip_address(node["NodeManagerAddress"]) in loopback for node in ray.nodes())
        addresses = listening_addresses(os.getpid())
        assert len(addresses) > len(router._fan.addresses)  # Ray's own servers and the shards' channels
        assert [a for a in addresses if not a.is_loopback] == []

    def test_a_request_beyond_the_frame_limit_goes_through_ray(self, data, sharded, fresh):
        router = fresh(max_frame_bytes=4096)
        router.add_documents(data["vectors"], data["ids"], data["offsets"])
        batch, expected = data["queries"] * 6, sharded(2)  # 6 KiB of query rows
        assert router.route_query_batch(batch, 3, 40) == expected.route_query_batch(batch, 3, 40)
        assert router.search(batch[0]) == expected.search(batch[0])
        assert router._fan.direct and all(router._fan.links)

    def test_a_connection_without_the_token_is_closed_unanswered(self, sharded):
        router = sharded(2)
        with socket.create_connection(router._fan.addresses[0], timeout=30) as conn:
            _channel.send_frame(conn, {"token": "0" * 64})
            assert conn.makefile("rb").read(1) == b""


def with_row(q, row, value):
    q = q.copy()
    q[row, 3] = value
    return q


def refusal(call):
    """The exact message of the ValueError `call()` raises, as a pattern."""
    with pytest.raises(ValueError) as info:
        call()
    return "^" + re.escape(str(info.value)) + "$"


class TestQueryChecks:
    """Sharded queries are checked as Retriever's are, with the same messages, before any shard sees them."""

    @pytest.mark.parametrize(
        "query, options",
        [
            (lambda q: with_row(q, 1, np.nan), {}),
            (lambda q: with_row(q, 2, -np.inf), {}),
            (lambda q: q[:, :8], {}),
            (lambda q: q[0], {}),
            (lambda q: q.astype(complex), {}),
            (lambda q: q, {"n_probes": -1}),
            (lambda q: q, {"n_probes": 0}),
            (lambda q: q, {"k": -3}),
            (lambda q: q, {"candidates": 2.5}),
            (lambda q: q, {"k": True}),
        ],
    )
    def test_search_refuses_what_retriever_search_refuses(self, data, single, sharded, query, options):
        good = data["queries"][0]
        bad, retriever, router = query(good), single[1], sharded(2)
        for method in ("search", "search_batch"):
            args = (bad,) if method == "search" else ([good, bad],)
            message = refusal(lambda: getattr(retriever, method)(*args, **options))
            with pytest.raises(ValueError, match=message):
                getattr(router, method)(*args, **options)

    @pytest.mark.parametrize(
        "query, options",
        [
            (lambda q: with_row(q, 0, np.nan), {}),
            (lambda q: q[:, :8], {}),
            (lambda q: q, {"n_probes": -1}),
            (lambda q: q, {"n_probes": 0}),
            (lambda q: q, {"max_candidates": -1}),
            (lambda q: q, {"max_candidates": "5"}),
        ],
    )
    def test_route_query_refuses_what_retriever_route_query_refuses(self, data, single, sharded, query, options):
        good = data["queries"][0]
        bad, router = query(good), sharded(2)
        message = refusal(lambda: single[1].route_query(bad, **options))
        with pytest.raises(ValueError, match=message):
            router.route_query(bad, **options)
        in_batch = message if options else "^" + re.escape("queries[1]: ") + message[1:]
        with pytest.raises(ValueError, match=in_batch):
            router.route_query_batch([good, bad], **options)

    @pytest.mark.parametrize("method", ["get_cluster_entries", "query_cluster_overlaps", "compute_query_profile"])
    def test_probes_refuse_bad_queries_and_negative_counts(self, data, single, sharded, method):
        good, router = data["queries"][0], sharded(2)
        for bad in (with_row(good, 0, np.inf), good[:, :8]):
            with pytest.raises(ValueError, match=refusal(lambda: single[1].route_query(bad))):
                getattr(router, method)(bad)
        with pytest.raises(ValueError, match=r"^n_probes must be a non-negative integer, got -1$"):
            getattr(router, method)(good, -1)


def bare_shard(error):
    """A shard's request handler without its actor: every route request raises `error`."""
    shard = _Shard.__new__(_Shard)
    shard.generation = 2

    def route(*args):
        raise error

    shard.route = route
    return shard


def decoded(request):
    header, parts = request
    return json.loads(header), parts


class TestShardHandler:
    """A direct request that fails is answered with its error; the session goes on."""

    @pytest.mark.parametrize(
        "error",
        [ValueError("bad value\nsecond line"), PanicException("broken invariant"), MemoryError()],
        ids=["ValueError", "PanicException", "MemoryError"],
    )
    def test_a_failing_request_is_answered_with_its_error(self, error):
        shard = bare_shard(error)
        reply, parts = shard._serve(*decoded(_channel.request("route", ((b"", b""), 4, 10))))
        assert reply == {"generation": 2, "error": [type(error).__name__, str(error).split("\n")[0]]}
        assert parts == ()

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_a_request_to_stop_is_not_answered_as_an_error(self, error):
        with pytest.raises(error):
            bare_shard(error())._serve(*decoded(_channel.request("route", ((b"", b""), 4, 10))))


class TestAdding:
    def test_memory_mapped_and_per_document_inputs(self, data, sharded, fresh, tmp_path):
        np.save(tmp_path / "v.npy", data["vectors"])
        mapped = np.load(tmp_path / "v.npy", mmap_mode="r")
        a, b = fresh(), fresh()
        a.add_documents(mapped, data["ids"], data["offsets"], chunk_rows=64, in_flight=1)
        b.add_documents([data["vectors"][s:e] for s, e in data["offsets"]], data["ids"])
        q = data["queries"][2]
        assert a.route_query(q) == b.route_query(q) == sharded(2).route_query(q)

    @pytest.mark.parametrize(
        "args, message",
        [
            (lambda d, m: (d["vectors"], d["ids"][:-1], d["offsets"]), r"^got 299 doc_ids for 300 documents$"),
            (lambda d, m: (d["vectors"], [0, 1], [(0, 3), (2, 10**6)]),
             r"^doc_offsets\[1\] = \(2, 1000000\) is not a range 0 <= start <= end <= \d+"
             r" \(the number of rows of vectors\)$"),
            (lambda d, m: (d["vectors"][:, :8], [0], [(0, 3)]), r"^vectors have 8 columns; expected 16$"),
            (lambda d, m: (d["vectors"], [-1], [(0, 3)]), r"^doc_ids must be in 0\.\.2\*\*64-1, got -1$"),
            (lambda d, m: (d["vectors"], ["a", 1], [(0, 3), (3, 6)]),
             r"^doc_ids mix strings and integers; use one kind$"),
            # A NaN in the last chunk of a memory-mapped matrix: the earlier chunks are not sent either.
            (lambda d, m: (m, d["ids"], d["offsets"]), r"^vectors row \d+ holds NaN or infinity$"),
            (lambda d, m: ([*(d["vectors"][s:e] for s, e in d["offsets"][:-1]), np.full((2, DIM), np.inf, np.float32)],
                           d["ids"], None), r"^vectors row \d+ holds NaN or infinity$"),
        ],
        ids=["ids", "offsets", "width", "negative id", "mixed ids", "late NaN, mapped", "late infinity, per document"],
    )
    def test_bad_input_is_refused_as_retriever_add_refuses_it_before_any_shard_takes_a_part(
        self, data, single, sharded, tmp_path, args, message
    ):
        vectors = data["vectors"].copy()
        vectors[-1, 3] = np.nan
        np.save(tmp_path / "v.npy", vectors)
        bad = args(data, np.load(tmp_path / "v.npy", mmap_mode="r"))
        with pytest.raises(ValueError, match=message) as expected:
            single[1].add(*bad)
        router = sharded(2)
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
            router.add(*bad, chunk_rows=64)
        assert router.n_docs == N_DOCS and single[1].n_docs == N_DOCS

    def test_progress_bar_only_when_asked_or_on_a_terminal(self, data, fresh, capsys):
        pytest.importorskip("tqdm")
        router = fresh()
        router.add(data["vectors"], data["ids"], data["offsets"], chunk_rows=500, show_progress=True)
        assert "add: sending 300 documents to 2 shards" in capsys.readouterr().err
        router.add(data["vectors"][:20], [10**6], [(0, 20)])  # stderr is not a terminal here
        assert capsys.readouterr().err == ""
        assert router.n_docs == N_DOCS + 1

    def test_a_failing_shard_is_named_with_what_each_shard_applied(self, data, fresh):
        router = fresh()
        ray.get(router._fan.actors[1].close.remote())  # shard 1 now refuses every call
        owners = shard_of(data["ids"], 2)
        with pytest.raises(AddDocumentsError) as info:
            router.add_documents(data["vectors"], data["ids"], data["offsets"], chunk_rows=100)
        err = info.value
        assert (err.shard, err.error_type, err.error_message) == (1, "ValueError", "shard is closed")
        assert str(err).startswith("shard 1: ValueError: shard is closed; ")
        assert err.applied[1] == 0 and err.expected[1] == int((owners == 1).sum())
        # Nothing is sent after the failure, so shard 0 stopped part way; it says how far.
        assert err.complete == () and 0 < err.applied[0] < err.expected[0] == int((owners == 0).sum())
        assert ray.get(router._fan.actors[0].status.remote())[1]["n_docs"] == err.applied[0]
        assert f"shard 0 {err.applied[0]} of {err.expected[0]}, shard 1 0 of {err.expected[1]}" in str(err)
        with pytest.raises(ShardError, match=r"^shard 1: ValueError: shard is closed$"):
            router.route_query(data["queries"][0])


    def test_a_shard_killed_while_adding_counts_only_what_its_new_process_holds(self, data, fresh, monkeypatch):
        router = fresh()
        pid, owners, real = shard_pid(router, 1), shard_of(data["ids"], 2), _shard_add.Documents.gather
        sent = []

        def gather(docs, picks):
            if owners[picks[0]] == 1:
                sent.append(len(picks))
                if len(sent) == 3:  # shard 1 has applied two chunks
                    os.kill(pid, signal.SIGKILL)
            return real(docs, picks)

        monkeypatch.setattr(_shard_add.Documents, "gather", gather)
        with pytest.raises(AddDocumentsError) as info:
            router.add_documents(data["vectors"], data["ids"], data["offsets"], chunk_rows=100, in_flight=1)
        err = info.value
        assert router.accept_restarts() == [err.applied[0], err.applied[1]]
        assert err.shard == 1 and isinstance(err.__cause__, ShardRestartedError) and err.restarted == (1,)
        assert str(err).endswith("; restarted during the call (the documents their old process took are lost): [1]")


def caller_ids(kind, ids):
    """The data's ids as integers or as strings whose order is the integers' order."""
    return list(ids) if kind is int else [f"d{i:05d}" for i in ids]


class TestRemoveAndUpdate:
    @pytest.mark.parametrize("kind", [int, str])
    def test_answers_equal_a_retriever_built_on_what_remains_through_save_load_and_compact(
        self, data, fresh, tmp_path, kind
    ):
        vectors, offsets, queries = data["vectors"], data["offsets"], data["queries"]
        ids = caller_ids(kind, data["ids"])
        router = fresh()
        router.add(vectors, ids, offsets, chunk_rows=500)
        # What the queries find first, every seventh document and one of a pair of duplicates.
        gone = {router.search(q, 1)[0][0] for q in queries} | set(ids[::7]) | {ids[N_DOCS - N_DUPLICATES]}
        assert router.remove(sorted(gone)) == len(gone)
        keep = [d for d in range(N_DOCS) if ids[d] not in gone]
        reference = Retriever.from_codebook(data["codebook"])
        reference.add([vectors[offsets[d][0] : offsets[d][1]] for d in keep], [ids[d] for d in keep])

        def same_answers(r, order=lambda answer: answer, candidates=60):
            assert r.n_docs == len(r) == len(keep)
            for q in queries:
                assert order(r.route_query(q, 4, 10_000)) == order(reference.route_query(q, 4, 10_000))
                assert r.search(q, 10, candidates=candidates) == reference.search(q, 10, candidates=candidates)
                assert not gone & set(r.get_cluster_entries(q))
                assert not gone & {d for d, _ in r.query_cluster_overlaps(q)}
                assert r.rerank(q, [ids[d] for d in keep[:40]], 5) == (
                    reference.rerank(q, [ids[d] for d in keep[:40]], 5)
                )
                assert r.rerank(q, None, 5) == reference.rerank(q, None, 5)

        same_answers(router)
        router.save(tmp_path / "s")
        manifest = json.loads((tmp_path / "s" / "manifest.json").read_text())
        assert manifest["partition"] == ("splitmix64-mod" if kind is int else "blake2b64-mod")
        assert manifest["n_docs"] == len(keep)
        router.save(tmp_path / "c", compact=True)
        assert sum(st["n_removed"] for st in router.shard_status()) == 0
        same_answers(router)
        with ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS) as loaded:
            same_answers(loaded)
            assert sum(st["n_removed"] for st in loaded.shard_status()) == len(gone)
            loaded.compact()
            assert sum(st["n_removed"] for st in loaded.shard_status()) == 0
            same_answers(loaded)
            # Replace five documents by perturbed copies, as the retriever does.
            changed = keep[10:15]
            rng = np.random.default_rng(3)
            new = [vectors[offsets[d][0] : offsets[d][1]]
                   + 0.3 * rng.standard_normal((offsets[d][1] - offsets[d][0], DIM), dtype=np.float32)
                   for d in changed]
            loaded.update([ids[d] for d in changed], new)
            reference.update([ids[d] for d in changed], new)
            # The replacements come last in indexing order, so the reference's order of equal proxy
            # scores no longer follows the ids: compare routing up to it, and rerank every candidate.
            same_answers(loaded, lambda answer: sorted(answer, key=lambda p: (-p[1], p[0])), 10_000)
            near = [np.asarray(v[:4]) for v in new]
            assert loaded.search_batch(near, 3) == [reference.search(q, 3) for q in near]
        reference.close()

    def test_a_manifest_whose_partition_rule_does_not_place_the_ids_is_refused(self, data, fresh, tmp_path):
        router = fresh()
        router.add(data["vectors"][:60], ["a", "b"], [(0, 30), (30, 60)])
        router.save(tmp_path / "s")
        path = tmp_path / "s" / "manifest.json"
        path.write_text(path.read_text().replace('"blake2b64-mod"', '"splitmix64-mod"'))
        with pytest.raises(ValueError, match=r"shard \d holds string ids, which the manifest's partition rule "
                                             r"'splitmix64-mod' does not place$"):
            ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS)

    def test_unknown_ids_and_the_other_kind_are_refused_before_any_shard_changes(self, data, sharded):
        router, q, ids = sharded(2), data["queries"][0], data["ids"]
        assert router.remove([]) == 0
        with pytest.raises(ValueError, match=r"^no document has id 5$"):
            router.remove([*ids[:6], 5, 6])
        with pytest.raises(ValueError, match=r"^no document has id 4$"):
            router.update([ids[0], 4], [data["vectors"][:3], data["vectors"][3:6]])
        with pytest.raises(ValueError, match=r"^no document has id 4$"):
            router.rerank(q, [ids[0], 4])
        strings = r"^doc_ids are strings, but this router's ids are integers$"
        for call in (lambda: router.remove(["a"]), lambda: router.add(data["vectors"][:3], ["a"], [(0, 3)]),
                     lambda: router.update(["a"], [data["vectors"][:3]])):
            with pytest.raises(ValueError, match=strings):
                call()
        assert router.n_docs == N_DOCS and [st["n_removed"] for st in router.shard_status()] == [0, 0]


def test_repr_says_what_the_router_holds(data, sharded, fresh):
    digest = sharded(2).digest[:12]
    assert repr(sharded(2)) == (
        f"<ShardedRouter 300 documents, integer ids on 2 shards, vectors of dim 16, float32, codebook {digest}>"
    )
    empty = fresh()
    assert repr(empty) == (
        f"<ShardedRouter 0 documents, no ids yet on 2 shards, vectors of dim 16, float32, codebook {digest}>"
    )
    empty.close()
    assert repr(empty) == "<ShardedRouter closed>"


class TestClose:
    def test_close_removes_the_restart_notes_it_made_and_keeps_a_given_directory(self, fresh, tmp_path):
        made, given = fresh(), fresh(restart_dir=tmp_path / "notes")
        notes = Path(made._note_dir)
        assert sorted(p.name for p in notes.iterdir()) == ["shard-0000.json", "shard-0001.json"]
        made.close()
        given.close()
        assert not notes.exists() and notes.parent.is_dir()
        assert list((tmp_path / "notes").iterdir()) == []


class TestSaveLoad:
    def test_round_trip_and_manifest(self, data, sharded, tmp_path):
        router = sharded(3)
        router.save(tmp_path / "s")
        manifest = json.loads((tmp_path / "s" / "manifest.json").read_text())
        assert manifest["n_shards"] == 3 and manifest["partition"] == "splitmix64-mod"
        assert [s["n_docs"] for s in manifest["shards"]] == router.shard_doc_counts()
        assert not [f for f in os.listdir(tmp_path / "s") if f.endswith(".tmp")]
        with ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS) as loaded:
            for q in data["queries"]:
                assert loaded.route_query(q) == router.route_query(q)
                assert loaded.search(q) == router.search(q)

    @pytest.mark.parametrize(
        "edit, message",
        [
            (lambda m: m.update(version=3), r"manifest version 3, expected 1 or 2$"),
            (lambda m: m.update(partition="modulo"), r"partition rule 'modulo'"),
            (lambda m: m.update(n_shards=3), r"n_shards is 3 but 2 shards are listed$"),
            (lambda m: m.update(codebook_sha256="0" * 64), r"codebook digest differs from the manifest's$"),
            (lambda m: m.pop("dtype"), r"manifest\.json: dtype must be float32 or float16, got None$"),
            (lambda m: m.update(dtype="float64"), r"manifest\.json: dtype must be float32 or float16, got 'float64'$"),
            (lambda m: m["shards"][1].update(directory="../elsewhere"), r"shard entry 1 is malformed"),
            # Each shard's directory with its own count, but listed under the other shard.
            (lambda m: m["shards"].reverse(),
             r"shard entry 0 names 'shard-0001'; shard 0's directory is 'shard-0000'$"),
            (lambda m: m["shards"].__setitem__(1, dict(m["shards"][0])),
             r"shard entry 1 names 'shard-0000'; shard 1's directory is 'shard-0001'$"),
            (
                lambda m: m["shards"][1].update(n_docs=m["shards"][1]["n_docs"] + 1),
                r"shard 1 holds \d+ documents, the manifest says \d+$",
            ),
        ],
    )
    def test_load_refuses_a_manifest_that_does_not_match(self, sharded, tmp_path, edit, message):
        sharded(2).save(tmp_path / "s")
        path = tmp_path / "s" / "manifest.json"
        manifest = json.loads(path.read_text())
        edit(manifest)
        path.write_text(json.dumps(manifest))
        with pytest.raises(ValueError, match=message):
            ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS)

    def test_the_dtype_is_checked_at_once_and_saved_by_name(self, data, fresh, tmp_path):
        with pytest.raises(ValueError, match=r"^dtype must be float32 or float16, got 'float64'$"):
            fresh(dtype="float64")
        router = fresh(dtype=np.float16)
        router.add(data["vectors"][:60], [1, 2], [(0, 30), (30, 60)])
        router.save(tmp_path / "s")
        with ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS) as loaded:
            assert loaded.dtype == router.dtype == "float16"
            assert loaded.search(data["queries"][0], 2) == router.search(data["queries"][0], 2)

    @pytest.mark.parametrize(
        "damage, message",
        [
            (lambda shard: (shard / "ids.npy").write_bytes(b"garbage"), r"ids\.npy has 7 bytes; the manifest says \d+"),
            (lambda shard: os.rename(shard, shard.parent / "elsewhere"), r"it does not exist"),
        ],
        ids=["corrupt file", "missing directory"],
    )
    def test_load_names_what_a_shard_could_not_load(self, sharded, tmp_path, damage, message):
        # The shard's actor fails to start, and is not restarted: the error is the load's own.
        sharded(2).save(tmp_path / "s")
        damage(tmp_path / "s" / "shard-0001")
        shard = re.escape(str(tmp_path / "s" / "shard-0001"))
        expected = f"^shard 1: ActorStartError: ValueError: cannot load '{shard}': {message}$"
        with pytest.raises(ShardError, match=expected) as info:
            ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS)
        assert not isinstance(info.value, ShardRestartedError)

    def test_load_refuses_shards_of_another_codebook(self, data, sharded, tmp_path):
        sharded(2).save(tmp_path / "s")
        other = train_codebook(data["vectors"][:600], [(0, 300), (300, 600)], n_fine=8, n_coarse=2)
        with ShardedRouter(other, 1, num_cpus=SHARD_CPUS) as r:
            r.add_documents(data["vectors"][:30], [1], [(0, 30)])
            r.save(tmp_path / "o")
        os.rename(tmp_path / "s" / "shard-0001", tmp_path / "s" / "old")
        os.rename(tmp_path / "o" / "shard-0000", tmp_path / "s" / "shard-0001")
        with pytest.raises(ValueError, match=r"shard 1 was built on another codebook"):
            ShardedRouter.load(tmp_path / "s", num_cpus=SHARD_CPUS)


class TestRestarts:
    def test_killed_shard_during_queries_raises_until_reloaded(self, data, fresh, tmp_path):
        router = fresh()
        router.add_documents(data["vectors"], data["ids"], data["offsets"])
        router.save(tmp_path / "s")
        q = data["queries"][0]
        before = router.route_query(q)
        router.add_documents(data["vectors"][:20], [10**6], [(0, 20)])  # not saved: lost by a restart
        with pytest.raises(ShardRestartedError) as info:
            for i in range(500):
                if i == 3:
                    os.kill(shard_pid(router, 1), signal.SIGKILL)
                router.route_query(q)
        assert info.value.shard == 1
        with pytest.raises(ShardRestartedError, match=r"^shard 1: .*call reload\(\) or accept_restarts\(\)"):
            router.route_query(q)
        router.reload()
        assert router.route_query(q) == before
        assert router.n_docs == N_DOCS

    @pytest.mark.parametrize(
        "damage, error, message",
        [
            (lambda root: (root / "manifest.json").write_text(
                (root / "manifest.json").read_text().replace('"n_docs": 0', '"n_docs": 1', 1)),
             ValueError, r"shard \d holds 0 documents, the manifest says 1$"),
            (lambda root: os.rename(root / "shard-0001", root / "elsewhere"),
             ShardError, r"^shard 1: ValueError: cannot load '.*shard-0001': it does not exist$"),
        ],
        ids=["refused by its manifest", "a shard directory missing"],
    )
    def test_a_failed_reload_answers_nothing_from_what_some_shards_loaded(
        self, data, fresh, tmp_path, damage, error, message
    ):
        router, q = fresh(), data["queries"][0]
        router.add_documents(data["vectors"], data["ids"], data["offsets"])
        router.save(tmp_path / "s")
        before = router.search(q)
        other = fresh()
        on_shard_0 = next(i for i in data["ids"] if shard_of([i], 2)[0] == 0)
        other.add(data["vectors"][:30], [on_shard_0], [(0, 30)])
        other.save(tmp_path / "o")  # shard 1 holds no documents
        damage(tmp_path / "o")
        with pytest.raises(error, match=message):
            router.reload(tmp_path / "o")
        with pytest.raises(ShardRestartedError, match=r"reloading .*/o failed \(\w+\); the shards may hold part"):
            router.search(q)
        router.reload()
        assert router.search(q) == before and router.n_docs == N_DOCS

    def test_restart_between_calls_is_seen_by_its_generation(self, data, fresh, tmp_path):
        router = fresh()
        router.add_documents(data["vectors"], data["ids"], data["offsets"])
        router.save(tmp_path / "s")
        counts = router.shard_doc_counts()
        router.add_documents(data["vectors"][:20], [10**6 + 2], [(0, 20)])  # goes to shard 0
        os.kill(shard_pid(router, 0), signal.SIGKILL)
        deadline = time.monotonic() + 60
        while True:  # wait, past the driver, until Ray has the actor back
            try:
                generation, status = ray.get(router._fan.actors[0].status.remote())
                break
            except ray.exceptions.RayActorError:
                assert time.monotonic() < deadline
                time.sleep(0.2)
        assert generation == 1 and status["n_docs"] == counts[0]
        with pytest.raises(ShardRestartedError, match=r"^shard 0: ShardRestarted: the actor restarted \(generation 1"):
            router.search(data["queries"][0])
        assert router.accept_restarts() == counts
        assert router.search(data["queries"][0]) == router.search(data["queries"][0])


def test_readme_example_runs_as_written_and_cleanly(readme_example):
    out, err = readme_example("## More than one machine", "sharded.py", with_stderr=True)
    routed, searched, last = [line for line in out.splitlines() if line.startswith("[")]
    assert len(eval(routed)) == 5 and eval(routed)[0][0] == eval(searched)[0][0] == 10
    counts, again = last.split("] ", 1)
    assert sum(eval(counts + "]")) == 1000 and again == searched
    # Neither Ray's Python loggers (ERROR) nor its core ("[date time E pid tid] ...") report an error.
    errors = [line for line in err.splitlines() if re.search(r"\bERROR\b|^\[[^]]* E \d+ \d+\]", line)]
    assert errors == []
