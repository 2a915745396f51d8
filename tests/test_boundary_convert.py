"""Argument conversion: accepted forms, every refusal with its exact type and
text, the renaming rule, the lazy NumPy load, and the result shapes."""

import collections
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import nuvaris_qor_router as qor

D = 8
M = np.zeros((4, D), dtype=np.float32)
OFFS = [(0, 2), (2, 4)]
NOT_INT = "'{}' object cannot be interpreted as an integer"
NOT_ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"


class Seq:
    """A sequence that iterates over `items`, or raises them if they are an
    exception, and reports `length` whatever it holds."""

    def __init__(self, items, length=0):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        if isinstance(self.items, Exception):
            raise self.items
        return iter(self.items)


class IndexFromKeyError:
    """__index__ raises a TypeError chained from a KeyError."""

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


class NoIndexInt(int):
    def __index__(self):
        raise AssertionError("an int subclass is taken by value, not through __index__")


REFUSALS = [
    # float32 matrix
    (lambda r: r.build([[0.0] * D], [1], [(0, 1)]), TypeError, "argument 'all_vectors': " + NOT_ARRAY.format("list")),
    (
        lambda r: r.build(np.zeros(D, np.float32), [1], [(0, 1)]),
        TypeError,
        "argument 'all_vectors': " + NOT_ARRAY.format("ndarray"),
    ),
    (
        lambda r: r.build(np.zeros((1, 2, D), np.float32), [1], [(0, 1)]),
        TypeError,
        "argument 'all_vectors': " + NOT_ARRAY.format("ndarray"),
    ),
    (
        lambda r: r.build(np.zeros((4, D)), [1], [(0, 1)]),
        TypeError,
        "argument 'all_vectors': " + NOT_ARRAY.format("ndarray"),
    ),
    (
        lambda r: r.build(np.zeros((4, D), ">f4"), [1], [(0, 1)]),
        TypeError,
        "argument 'all_vectors': " + NOT_ARRAY.format("ndarray"),
    ),
    (lambda r: r.add_documents(None, [], []), TypeError, "argument 'new_vectors': " + NOT_ARRAY.format("NoneType")),
    # id lists
    (lambda r: r.build(M, "12", OFFS), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
    (
        lambda r: r.build(M, type("S", (str,), {})("12"), OFFS),
        TypeError,
        "argument 'doc_ids': Can't extract `str` to `Vec`",
    ),
    (
        lambda r: r.build(M, {1, 2}, OFFS),
        TypeError,
        "argument 'doc_ids': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        lambda r: r.build(M, (i for i in [1]), OFFS),
        TypeError,
        "argument 'doc_ids': 'generator' object cannot be converted to 'Sequence'",
    ),
    (lambda r: r.add_documents(M, [1, "x"], OFFS), TypeError, "argument 'new_doc_ids': " + NOT_INT.format("str")),
    (lambda r: r.build(M, [1, 2.0], OFFS), TypeError, "argument 'doc_ids': " + NOT_INT.format("float")),
    (lambda r: r.build(M, [1, -1], OFFS), OverflowError, "can't convert negative int to unsigned"),
    (lambda r: r.build(M, [2**64], OFFS), OverflowError, "int too big to convert"),
    (lambda r: r.build(M, Seq(TypeError("no iter")), OFFS), TypeError, "argument 'doc_ids': no iter"),
    (lambda r: r.build(M, Seq(ValueError("no iter")), OFFS), ValueError, "no iter"),
    (lambda r: r.build(M, Seq([1, IndexFromKeyError()]), OFFS), TypeError, "argument 'doc_ids': outer"),
    # (start, end) lists
    (lambda r: r.build(M, [1], "ab"), TypeError, "argument 'doc_offsets': Can't extract `str` to `Vec`"),
    (
        lambda r: r.build(M, [1], [[0, 3]]),
        TypeError,
        "argument 'doc_offsets': 'list' object cannot be converted to 'PyTuple'",
    ),
    (
        lambda r: r.build(M, [1], [(0, 1), 5]),
        TypeError,
        "argument 'doc_offsets': 'int' object cannot be converted to 'PyTuple'",
    ),
    (lambda r: r.build(M, [1], [(0, 3, 4)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda r: r.build(M, [1], [(0, 1.5)]), TypeError, "argument 'doc_offsets': " + NOT_INT.format("float")),
    (lambda r: r.build(M, [1], [(0, -1)]), OverflowError, "can't convert negative int to unsigned"),
    # unsigned integers
    (lambda r: r.route_query(M, 2.5), TypeError, "argument 'n_probes': " + NOT_INT.format("float")),
    (lambda r: r.route_query(M, max_candidates="3"), TypeError, "argument 'max_candidates': " + NOT_INT.format("str")),
    (lambda r: r.route_query(M, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda r: r.build(M, [1], OFFS, ctop_r=2**64), OverflowError, "int too big to convert"),
    (
        lambda r: r.build(M, [1], OFFS, n_fine=np.float64(3)),
        TypeError,
        "argument 'n_fine': " + NOT_INT.format("numpy.float64"),
    ),
    (lambda r: r.get_cluster_entries(M, IndexFromKeyError()), TypeError, "argument 'n_probes': outer"),
    (lambda r: qor.PyQorRouter(1.5), TypeError, "argument 'dim': " + NOT_INT.format("float")),
    (lambda r: qor.PyQorRouter(-1), OverflowError, "can't convert negative int to unsigned"),
    # paths
    (
        lambda r: r.save(pathlib.PurePosixPath("/tmp/x")),
        TypeError,
        "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'",
    ),
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


@pytest.mark.parametrize(
    "value", [0, True, 2**64 - 1, np.int64(3), np.uint8(3), np.uint64(2**64 - 1), NoIndexInt(5)]
)
def test_unsigned_integers_accepted(value):
    # Conversion succeeds, so the call reaches the state check.
    with pytest.raises(ValueError, match=r"^router not built$"):
        qor.PyQorRouter(D).route_query(M, value, value)
    assert qor.PyQorRouter(value).n_docs() == 0


OBJECT_PAIRS = np.empty(2, dtype=object)
OBJECT_PAIRS[0], OBJECT_PAIRS[1] = (0, 20), (20, 40)


@pytest.mark.parametrize(
    ("ids", "offsets", "expected_ids"),
    [
        (b"\x01\x02", [(0, 20), (20, 40)], [1, 2]),
        (range(10, 12), tuple(collections.namedtuple("Pair", "start end")(*p) for p in OBJECT_PAIRS), [10, 11]),
        (np.array([2**64 - 1, 5], dtype=np.uint64), OBJECT_PAIRS, [2**64 - 1, 5]),
        ((7, 8), [(np.int32(0), np.uint64(20)), (20, True + 39)], [7, 8]),
        # The length only sizes the list: a huge one must not be trusted.
        (Seq([4, 5], 2**62), [(0, 20), (20, 40)], [4, 5]),
    ],
)
def test_sequences_accepted(corpus, ids, offsets, expected_ids):
    vectors = corpus[0]
    r = qor.PyQorRouter(D)
    r.build(vectors, ids, offsets, n_fine=8, n_coarse=2)
    assert r.n_docs() == 2
    assert [doc_id for doc_id, _ in r.query_cluster_overlaps(vectors[:2])] == expected_ids


def test_equal_forms_give_equal_results(built_router, query):
    class Sub(np.ndarray):
        pass

    base = built_router.route_query(query, 1, 3)
    assert built_router.route_query(query.view(Sub), True, np.int64(3)) == base
    assert built_router.route_query(query, np.uint8(1), 3) == base


def test_result_shapes(built_router, query):
    routed = built_router.route_query(query)
    assert routed and routed is not built_router.route_query(query)  # fresh objects
    assert all(float(np.float32(s)) == s for _, s in routed)  # widened 32-bit scores
    entries = built_router.get_cluster_entries(query)
    profile = built_router.compute_query_profile(query)
    assert type(entries) is list and type(profile) is tuple and len(profile[0]) == len(query)
    overlaps = built_router.query_cluster_overlaps(query)
    assert [d for d, _ in overlaps] == [10, 11, 12, 13]
    assert all(type(v) is int for v in [*entries, *profile[0], *profile[1], *(c for _, c in overlaps)])


LAZY_LOAD = """
import sys, nuvaris_qor_router as qor
r = qor.PyQorRouter(4)
assert r.n_docs() == 0 and "numpy" not in sys.modules
try: r.route_query([[0.0] * 4])
except TypeError as e: assert "PyArray<T, D>" in str(e), e
assert "numpy" in sys.modules
"""

# A failed load of the array API is a panic, and the next call tries again.
FAILED_LOAD_RETRIED = """
import numpy, numpy.lib, nuvaris_qor_router as qor
real, q, r = numpy.lib.NumpyVersion, numpy.zeros((1, 4), numpy.float32), qor.PyQorRouter(4)
def broken(v): raise RuntimeError("version probe failed")
numpy.lib.NumpyVersion = broken
try: r.route_query(q)
except qor.PanicException as e: assert str(e).startswith("Failed to access NumPy array API capsule"), e
else: raise SystemExit("no panic")
numpy.lib.NumpyVersion = real
try: r.route_query(q)
except ValueError as e: assert str(e) == "router not built", e
else: raise SystemExit("no state check")
"""


@pytest.mark.parametrize("code", [LAZY_LOAD, FAILED_LOAD_RETRIED], ids=["lazy", "retried"])
def test_numpy_api_load(code):
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
