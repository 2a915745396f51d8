"""Argument conversion: accepted forms, every refusal with its exact type and
text, the renaming rule, the lazy NumPy load, and the result shapes."""

import collections
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nuvaris_qor_router as qor

D = 8
M = np.zeros((4, D), dtype=np.float32)
OFFS = [(0, 2), (2, 4)]
NOT_INT = "'{}' object cannot be interpreted as an integer"


class Seq:
    """A sequence whose iteration is supplied by the test."""

    def __init__(self, iterate, length=0):
        self._iterate, self._length = iterate, length

    def __len__(self):
        return self._length

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        return self._iterate()


def raise_(exc):
    raise exc


def _chained_type_error():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        raise TypeError("outer") from inner


class IndexFromKeyError:
    def __index__(self):
        _chained_type_error()


REFUSALS = [
    # float32 matrix
    (lambda r: r.build([[0.0] * D], [1], [(0, 1)]), TypeError, "argument 'all_vectors': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.build(np.zeros(D, np.float32), [1], [(0, 1)]), TypeError, "argument 'all_vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.build(np.zeros((1, 2, D), np.float32), [1], [(0, 1)]), TypeError, "argument 'all_vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.build(np.zeros((4, D)), [1], [(0, 1)]), TypeError, "argument 'all_vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.build(np.zeros((4, D), ">f4"), [1], [(0, 1)]), TypeError, "argument 'all_vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.route_query(np.float32(1)), TypeError, "argument 'query_vectors': 'float32' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.add_documents(None, [], []), TypeError, "argument 'new_vectors': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    # id lists
    (lambda r: r.build(M, "12", OFFS), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
    (lambda r: r.build(M, type("S", (str,), {})("12"), OFFS), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
    (lambda r: r.build(M, {1, 2}, OFFS), TypeError, "argument 'doc_ids': 'set' object cannot be converted to 'Sequence'"),
    (lambda r: r.build(M, {1: 2}, OFFS), TypeError, "argument 'doc_ids': 'dict' object cannot be converted to 'Sequence'"),
    (lambda r: r.build(M, (i for i in [1]), OFFS), TypeError, "argument 'doc_ids': 'generator' object cannot be converted to 'Sequence'"),
    (lambda r: r.build(M, 7, OFFS), TypeError, "argument 'doc_ids': 'int' object cannot be converted to 'Sequence'"),
    (lambda r: r.add_documents(M, [1, "x"], OFFS), TypeError, "argument 'new_doc_ids': " + NOT_INT.format("str")),
    (lambda r: r.build(M, [1, 2.0], OFFS), TypeError, "argument 'doc_ids': " + NOT_INT.format("float")),
    (lambda r: r.build(M, [1, -1], OFFS), OverflowError, "can't convert negative int to unsigned"),
    (lambda r: r.build(M, [2**64], OFFS), OverflowError, "int too big to convert"),
    (lambda r: r.build(M, Seq(lambda: raise_(TypeError("no iter"))), OFFS), TypeError, "argument 'doc_ids': no iter"),
    (lambda r: r.build(M, Seq(lambda: raise_(ValueError("no iter"))), OFFS), ValueError, "no iter"),
    (lambda r: r.build(M, Seq(lambda: iter([1, IndexFromKeyError()])), OFFS), TypeError, "argument 'doc_ids': outer"),
    # (start, end) lists
    (lambda r: r.build(M, [1], "ab"), TypeError, "argument 'doc_offsets': Can't extract `str` to `Vec`"),
    (lambda r: r.build(M, [1], {(0, 1)}), TypeError, "argument 'doc_offsets': 'set' object cannot be converted to 'Sequence'"),
    (lambda r: r.build(M, [1], [[0, 3]]), TypeError, "argument 'doc_offsets': 'list' object cannot be converted to 'PyTuple'"),
    (lambda r: r.build(M, [1], [(0, 1), 5]), TypeError, "argument 'doc_offsets': 'int' object cannot be converted to 'PyTuple'"),
    (lambda r: r.build(M, [1], [(0, 3, 4)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda r: r.build(M, [1], [()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (lambda r: r.build(M, [1], [(0, 1.5)]), TypeError, "argument 'doc_offsets': " + NOT_INT.format("float")),
    (lambda r: r.build(M, [1], [(None, 1)]), TypeError, "argument 'doc_offsets': " + NOT_INT.format("NoneType")),
    (lambda r: r.build(M, [1], [(0, -1)]), OverflowError, "can't convert negative int to unsigned"),
    # unsigned integers
    (lambda r: r.route_query(M, 2.5), TypeError, "argument 'n_probes': " + NOT_INT.format("float")),
    (lambda r: r.route_query(M, max_candidates="3"), TypeError, "argument 'max_candidates': " + NOT_INT.format("str")),
    (lambda r: r.route_query(M, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda r: r.build(M, [1], OFFS, ctop_r=2**64), OverflowError, "int too big to convert"),
    (lambda r: r.build(M, [1], OFFS, n_fine=np.float64(3)), TypeError, "argument 'n_fine': " + NOT_INT.format("numpy.float64")),
    (lambda r: r.get_cluster_entries(M, IndexFromKeyError()), TypeError, "argument 'n_probes': outer"),
    # paths
    (lambda r: r.save(pathlib.PurePosixPath("/tmp/x")), TypeError, "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    (lambda r: r.load(b"/tmp/x"), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda r: r.load("/tmp/\udc80"), UnicodeEncodeError, None),
    # a NUL passes conversion; the state check and then the file layer refuse it
    (lambda r: r.save("/tmp/a\0b"), ValueError, "no state to save; call build() first"),
    (lambda r: r.load("/tmp/a\0b"), ValueError, "load failed: IO error: file name contained an unexpected NUL byte"),
]


@pytest.mark.parametrize(("call", "exc_type", "message"), REFUSALS)
def test_refusals(call, exc_type, message):
    r = qor.PyQorRouter(D)
    with pytest.raises(exc_type) as info:
        call(r)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert r.is_ready() is False


def test_renamed_error_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        qor.PyQorRouter(D).route_query(M, IndexFromKeyError())
    assert isinstance(info.value.__cause__, KeyError)


def test_posix_path_refused_on_linux():
    if sys.platform == "win32":
        pytest.skip("PosixPath cannot be instantiated here")
    with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' object cannot be converted to 'PyString'$"):
        qor.PyQorRouter(D).save(pathlib.Path("/tmp/x"))


@pytest.mark.parametrize(
    "value", [0, 1, True, 2**64 - 1, np.int64(3), np.uint8(3), np.uint64(2**64 - 1), type("I", (int,), {})(5)]
)
def test_unsigned_integers_accepted(value):
    # Conversion succeeds, so the call reaches the state check.
    with pytest.raises(ValueError, match=r"^router not built$"):
        qor.PyQorRouter(D).route_query(M, value, value)
    assert qor.PyQorRouter(value).n_docs() == 0


def test_int_subclass_is_taken_by_value_not_index():
    class Weird(int):
        def __index__(self):
            raise AssertionError("not called for an int subclass")

    with pytest.raises(ValueError, match=r"^router not built$"):
        qor.PyQorRouter(D).route_query(M, Weird(3))


Pair = collections.namedtuple("Pair", "start end")


def _object_array_of_pairs():
    """A 1-D NumPy object array whose items are (start, end) tuples."""
    arr = np.empty(2, dtype=object)
    arr[0], arr[1] = (0, 20), (20, 40)
    return arr


@pytest.mark.parametrize(
    ("ids", "offsets", "expected_ids"),
    [
        (b"\x01\x02", [(0, 20), (20, 40)], [1, 2]),
        (range(10, 12), (Pair(0, 20), Pair(20, 40)), [10, 11]),
        (np.array([2**64 - 1, 5], dtype=np.uint64), _object_array_of_pairs(), [2**64 - 1, 5]),
        ((7, 8), [(np.int32(0), np.uint64(20)), (20, True + 39)], [7, 8]),
    ],
)
def test_sequences_accepted(corpus, implemented, ids, offsets, expected_ids):
    vectors = corpus[0]
    r = qor.PyQorRouter(D)
    implemented(r.build, vectors, ids, offsets, n_fine=8, n_coarse=2)
    assert r.n_docs() == 2
    overlaps = implemented(r.query_cluster_overlaps, vectors[:2])
    assert [doc_id for doc_id, _ in overlaps] == expected_ids


def test_sequence_with_lying_length(corpus, implemented):
    # The length only sizes the list; a wrong or failing __len__ is ignored.
    vectors = corpus[0]

    class Lying(Seq):
        def __len__(self):
            return 2**62

    class Failing(Seq):
        def __len__(self):
            raise RuntimeError("no length")

    for ids in (Lying(lambda: iter([4, 5])), Failing(lambda: iter([4, 5]))):
        r = qor.PyQorRouter(D)
        implemented(r.build, vectors, ids, [(0, 20), (20, 40)], n_fine=8, n_coarse=2)
        assert [i for i, _ in r.query_cluster_overlaps(vectors[:1])] == [4, 5]


def test_ndarray_subclass_accepted(built_router, query, implemented):
    class Sub(np.ndarray):
        pass

    expected = implemented(built_router.route_query, query)
    assert built_router.route_query(query.view(Sub)) == expected


def test_equal_integer_forms_give_equal_results(built_router, query, implemented):
    base = implemented(built_router.route_query, query, 1, 3)
    assert built_router.route_query(query, True, np.int64(3)) == base
    assert built_router.route_query(query, np.uint8(1), 3) == base


def test_result_shapes(built_router, query, implemented):
    routed = implemented(built_router.route_query, query)
    assert type(routed) is list and routed
    for doc_id, score in routed:
        assert type(doc_id) is int and type(score) is float
        assert float(np.float32(score)) == score  # a widened 32-bit value
    entries = implemented(built_router.get_cluster_entries, query)
    assert type(entries) is list and all(type(e) is int for e in entries)
    profile = implemented(built_router.compute_query_profile, query)
    assert type(profile) is tuple and len(profile) == 2
    centroid_ids, ctop = profile
    assert len(centroid_ids) == len(query)
    assert all(type(v) is int and 0 <= v < built_router.n_fine() for v in centroid_ids)
    assert all(type(v) is int and 0 <= v < built_router.n_coarse() for v in ctop)
    overlaps = implemented(built_router.query_cluster_overlaps, query)
    assert [d for d, _ in overlaps] == [10, 11, 12, 13]
    assert all(type(c) is int for _, c in overlaps)
    # Results are fresh objects on every call.
    assert built_router.route_query(query) is not routed


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_numpy_not_imported_at_module_import():
    proc = _run(
        """
        import sys
        import nuvaris_qor_router as qor
        assert "numpy" not in sys.modules
        r = qor.PyQorRouter(4)
        assert r.n_docs() == 0
        try:
            r.route_query([[0.0] * 4])
        except TypeError as e:
            assert "PyArray<T, D>" in str(e), e
        assert "numpy" in sys.modules
        """
    )
    assert proc.returncode == 0, proc.stderr


def test_numpy_api_failure_is_a_panic_and_is_retried():
    proc = _run(
        """
        import numpy, numpy.lib
        import nuvaris_qor_router as qor
        real = numpy.lib.NumpyVersion
        def broken(v):
            raise RuntimeError("version probe failed")
        numpy.lib.NumpyVersion = broken
        q = numpy.zeros((1, 4), numpy.float32)
        r = qor.PyQorRouter(4)
        try:
            r.route_query(q)
        except qor.PanicException as e:
            assert str(e).startswith("Failed to access NumPy array API capsule"), e
        else:
            raise SystemExit("no panic")
        numpy.lib.NumpyVersion = real
        try:
            r.route_query(q)
        except ValueError as e:
            assert str(e) == "router not built", e
        """
    )
    assert proc.returncode == 0, proc.stderr
