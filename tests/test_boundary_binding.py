"""Argument binding: every message of the binder, for methods and __new__."""

import numpy as np
import pytest

import nuvaris_qor_router as qor

Q = np.zeros((2, 8), dtype=np.float32)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.route_query(Q, 1, 2, 3), "PyQorRouter.route_query() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda r: r.save("a", "b"), "PyQorRouter.save() takes 1 positional arguments but 2 were given"),
        (lambda r: r.load("a", "b", "c"), "PyQorRouter.load() takes 1 positional arguments but 3 were given"),
        (lambda r: r.add_documents(Q, [], [], 1), "PyQorRouter.add_documents() takes 3 positional arguments but 4 were given"),
        (lambda r: r.build(Q, [], [], 1, 2, 3, 4, 5), "PyQorRouter.build() takes from 3 to 7 positional arguments but 8 were given"),
        (lambda r: r.get_cluster_entries(Q, 1, 2), "PyQorRouter.get_cluster_entries() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda r: r.save("p", mode="w"), "PyQorRouter.save() got an unexpected keyword argument 'mode'"),
        (lambda r: r.route_query(Q, query_vectors=Q), "PyQorRouter.route_query() got multiple values for argument 'query_vectors'"),
        (lambda r: r.compute_query_profile(Q, 1, n_probes=2), "PyQorRouter.compute_query_profile() got multiple values for argument 'n_probes'"),
        (lambda r: r.build(), "PyQorRouter.build() missing 3 required positional arguments: 'all_vectors', 'doc_ids', and 'doc_offsets'"),
        (lambda r: r.build(Q), "PyQorRouter.build() missing 2 required positional arguments: 'doc_ids' and 'doc_offsets'"),
        (lambda r: r.build(Q, doc_offsets=[]), "PyQorRouter.build() missing 1 required positional argument: 'doc_ids'"),
        (lambda r: r.build(doc_ids=[]), "PyQorRouter.build() missing 2 required positional arguments: 'all_vectors' and 'doc_offsets'"),
        (lambda r: r.add_documents(), "PyQorRouter.add_documents() missing 3 required positional arguments: 'new_vectors', 'new_doc_ids', and 'doc_offsets'"),
        (lambda r: r.query_cluster_overlaps(n_probes=1), "PyQorRouter.query_cluster_overlaps() missing 1 required positional argument: 'query_vectors'"),
        (lambda r: r.load(), "PyQorRouter.load() missing 1 required positional argument: 'path'"),
        # Too many positionals is reported before an unknown keyword, and an
        # unknown keyword before a missing argument.
        (lambda r: r.save(1, 2, bogus=3), "PyQorRouter.save() takes 1 positional arguments but 2 were given"),
        (lambda r: r.build(bogus=3), "PyQorRouter.build() got an unexpected keyword argument 'bogus'"),
        # Keywords are taken in the order given: the first problem wins.
        (lambda r: r.route_query(Q, n_probes=1, zzz=2, query_vectors=Q), "PyQorRouter.route_query() got an unexpected keyword argument 'zzz'"),
        # Names are compared exactly, as UTF-8 bytes.
        (lambda r: r.save(Path="p"), "PyQorRouter.save() got an unexpected keyword argument 'Path'"),
        (lambda r: r.save(**{"päth": "p"}), "PyQorRouter.save() got an unexpected keyword argument 'päth'"),
        (lambda r: r.save(**{"path\udc80": "p"}), "PyQorRouter.save() got an unexpected keyword argument 'path\udc80'"),
    ],
)
def test_binding_messages(call, message):
    r = qor.PyQorRouter(8)
    with pytest.raises(TypeError) as info:
        call(r)
    assert str(info.value) == message
    assert r.is_ready() is False


def test_binding_comes_before_conversion():
    # A bad value in a slot is not looked at when binding fails.
    with pytest.raises(TypeError, match=r"^PyQorRouter.route_query\(\) got multiple values"):
        qor.PyQorRouter(8).route_query("not a matrix", query_vectors="x")


def test_every_parameter_binds_by_keyword(built_router, implemented):
    q = np.zeros((2, 8), dtype=np.float32)
    by_position = implemented(built_router.route_query, q, 2, 5)
    by_keyword = built_router.route_query(max_candidates=5, n_probes=2, query_vectors=q)
    assert by_keyword == by_position
