"""Argument binding: every message of the binder, for methods and __new__."""

import numpy as np
import pytest

import nuvaris_qor_router as qor

Q = np.zeros((2, 8), dtype=np.float32)
P = "PyQorRouter."


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.route_query(Q, 1, 2, 3), "route_query() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda r: r.save("a", "b"), "save() takes 1 positional arguments but 2 were given"),
        (
            lambda r: r.build(Q, [], [], 1, 2, 3, 4, 5),
            "build() takes from 3 to 7 positional arguments but 8 were given",
        ),
        (lambda r: qor.PyQorRouter(1, 2), "__new__() takes 1 positional arguments but 2 were given"),
        (lambda r: r.save("p", mode="w"), "save() got an unexpected keyword argument 'mode'"),
        (lambda r: qor.PyQorRouter(dims=1), "__new__() got an unexpected keyword argument 'dims'"),
        # Binding fails before the bad value in the slot is converted.
        (
            lambda r: r.route_query("not a matrix", query_vectors="x"),
            "route_query() got multiple values for argument 'query_vectors'",
        ),
        (
            lambda r: r.compute_query_profile(Q, 1, n_probes=2),
            "compute_query_profile() got multiple values for argument 'n_probes'",
        ),
        (
            lambda r: r.build(),
            "build() missing 3 required positional arguments: 'all_vectors', 'doc_ids', and 'doc_offsets'",
        ),
        (lambda r: r.build(Q), "build() missing 2 required positional arguments: 'doc_ids' and 'doc_offsets'"),
        (lambda r: r.build(Q, doc_offsets=[]), "build() missing 1 required positional argument: 'doc_ids'"),
        (
            lambda r: r.build(doc_ids=[]),
            "build() missing 2 required positional arguments: 'all_vectors' and 'doc_offsets'",
        ),
        (
            lambda r: r.query_cluster_overlaps(n_probes=1),
            "query_cluster_overlaps() missing 1 required positional argument: 'query_vectors'",
        ),
        (lambda r: qor.PyQorRouter(), "__new__() missing 1 required positional argument: 'dim'"),
        # Too many positionals is reported before an unknown keyword, and an
        # unknown keyword before a missing argument.
        (lambda r: r.save(1, 2, bogus=3), "save() takes 1 positional arguments but 2 were given"),
        (lambda r: r.build(bogus=3), "build() got an unexpected keyword argument 'bogus'"),
        # Keywords are taken in the order given: the first problem wins.
        (
            lambda r: r.route_query(Q, n_probes=1, zzz=2, query_vectors=Q),
            "route_query() got an unexpected keyword argument 'zzz'",
        ),
        # Names are compared exactly, as UTF-8 bytes.
        (lambda r: r.save(Path="p"), "save() got an unexpected keyword argument 'Path'"),
        (lambda r: r.save(**{"päth": "p"}), "save() got an unexpected keyword argument 'päth'"),
        (lambda r: r.save(**{"path\udc80": "p"}), "save() got an unexpected keyword argument 'path\udc80'"),
    ],
)
def test_binding_messages(call, message):
    r = qor.PyQorRouter(8)
    with pytest.raises(TypeError) as info:
        call(r)
    assert str(info.value) == P + message
    assert r.is_ready() is False


def test_every_parameter_binds_by_keyword(built_router):
    by_position = built_router.route_query(Q, 2, 5)
    assert built_router.route_query(max_candidates=5, n_probes=2, query_vectors=Q) == by_position
    assert qor.PyQorRouter(dim=3).n_docs() == 0
