"""Caller ids: strings as well as integers, kept through add, save and load
(read without pickle), one kind per retriever, and `rerank` by caller id."""

import json

import numpy as np
import pytest

from conftest import centred_documents
from nuvaris_qor_search import Retriever

DIM = 8


def make_docs(seed, n):
    return centred_documents(seed, n, DIM, (2, 9), spread=0.2)


@pytest.fixture(scope="module")
def docs():
    return make_docs(4, 40)


STR_IDS = [f"passage/{i}" for i in range(40)]


class TestStringIds:
    def test_string_ids_give_the_results_of_integer_ids(self, docs, tmp_path):
        """The same documents under ids i and names[i] give the same
        results, mapped, through build, add, save, load and add again; the
        names widen on the way (a longer name added later)."""
        names = [*STR_IDS[:30], "a much longer identifier than any before: " + "x" * 100, "é-ü", *STR_IDS[32:]]
        qs = [docs[d][:2] + 0.01 for d in (3, 21, 30, 31, 38)]

        def same(by_int, by_str):
            for q in qs:
                for n_probes, candidates in ((1, 4), (2, 40)):
                    a = by_int.search(q, k=4, n_probes=n_probes, candidates=candidates)
                    assert by_str.search(q, k=4, n_probes=n_probes, candidates=candidates) == [
                        (names[i], s) for i, s in a
                    ]
                    a = by_int.route_query(q, n_probes, candidates)
                    assert by_str.route_query(q, n_probes, candidates) == [(names[i], s) for i, s in a]
                pick = [5, 31, 2]
                a = by_int.rerank(q, pick, k=3)
                assert by_str.rerank(q, [names[i] for i in pick], k=3) == [(names[i], s) for i, s in a]

        with Retriever.build(docs[:30], list(range(30)), n_fine=16, n_coarse=2) as by_int, Retriever.build(
            docs[:30], names[:30], n_fine=16, n_coarse=2
        ) as by_str:
            by_int.add(docs[30:35], list(range(30, 35)))
            by_str.add(docs[30:35], names[30:35])
            same(by_int, by_str)
            by_int.save(tmp_path / "int")
            by_str.save(tmp_path / "str")
        ids = np.load(tmp_path / "str" / "ids.npy", allow_pickle=False)
        assert ids.dtype.kind == "U" and ids.tolist() == names[:35]
        with Retriever.load(tmp_path / "int") as by_int, Retriever.load(tmp_path / "str") as by_str:
            assert by_str.doc_ids.tolist() == names[:35]
            by_int.add(docs[35:], list(range(35, 40)))
            by_str.add(docs[35:], names[35:])
            same(by_int, by_str)

    def test_empty_retriever_takes_the_kind_of_its_first_ids(self, docs, tmp_path):
        with Retriever.build(docs, STR_IDS, n_fine=16, n_coarse=2) as built:
            built.router.save(str(tmp_path / "r.qor"))
        from nuvaris_qor_search.codebook import strip_documents

        codebook = strip_documents((tmp_path / "r.qor").read_bytes())
        for first, other in (([5, 6], ["x", "y"]), (["x", "y"], [5, 6])):
            with Retriever.from_codebook(codebook) as r:
                r.add(docs[:2], first)
                with pytest.raises(ValueError, match=r"^doc_ids are (strings|integers), but this retriever's ids are"):
                    r.add(docs[2:4], other)
                assert r.n_docs == r.router.n_docs() == 2

    def test_integer_ids_keep_the_version_1_format(self, docs, tmp_path):
        with Retriever.build(docs, list(range(40)), n_fine=16, n_coarse=2, code_bits=None) as r:
            r.save(tmp_path / "saved")
        manifest = json.loads((tmp_path / "saved" / "manifest.json").read_text())
        assert manifest["version"] == 1 and set(manifest["files"]) == {"router", "vectors", "offsets", "ids"}
        assert np.load(tmp_path / "saved" / "ids.npy").dtype.str == "<u8"
