"""The module surface: attributes, class flags, docstrings and signatures,
accessors of a fresh router, re-import and second interpreters."""

import importlib
import inspect
import subprocess
import sys

import pytest

import nuvaris_qor_router as qor

METHODS = [
    ("build", "(all_vectors, doc_ids, doc_offsets, n_fine=256, n_coarse=32, max_kmeans_iter=30, ctop_r=3)",
     "Build the router from a matrix of all document vectors."),
    ("add_documents", "(new_vectors, new_doc_ids, doc_offsets)", "Add new documents to an existing router."),
    ("route_query", "(query_vectors, n_probes=4, max_candidates=500)", "Route a query to candidate documents."),
    ("get_cluster_entries", "(query_vectors, n_probes=4)", "Get HNSW entry point hints for multi-entry traversal."),
    ("compute_query_profile", "(query_vectors, n_probes=4)", "Compute query centroid IDs and C_top."),
    ("save", "(path)", "Save router state to disk."),
    ("load", "(path)", "Load router state from disk."),
    ("is_ready", "()", "Check if the router is built and ready for queries."),
    ("n_docs", "()", "Number of indexed documents."),
    ("n_fine", "()", "Number of fine centroids in the codebook."),
    ("n_coarse", "()", "Number of coarse clusters."),
    ("query_cluster_overlaps", "(query_vectors, n_probes=4)", "Get per-document cluster overlap with a query's C_top."),
]


def test_module_and_panic_exception():
    assert qor.__all__ == ["PyQorRouter"] and type(qor.__all__) is list
    assert qor.__doc__ == ""
    assert [n for n in vars(qor) if not n.startswith("__")] == ["PyQorRouter", "PanicException"]
    # A direct BaseException subclass, so `except Exception` does not swallow it.
    assert qor.PanicException.__bases__ == (BaseException,)
    assert (qor.PanicException.__module__, qor.PanicException.__name__) == ("nuvaris_qor_router", "PanicException")


def test_class_surface():
    cls = qor.PyQorRouter
    assert cls.__doc__ == "Python-facing QOR router for multi-vector candidate generation."
    assert cls.__text_signature__ == "(dim)" and str(inspect.signature(cls)) == "(dim)"
    assert (cls.__module__, cls.__bases__) == ("nuvaris_qor_router", (object,))
    assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # Methods are listed in this order.
    assert [n for n in vars(cls) if not n.startswith("__")] == [m[0] for m in METHODS]


@pytest.mark.parametrize(("name", "signature", "first_line"), METHODS)
def test_method_docstring_and_signature(name, signature, first_line):
    method = getattr(qor.PyQorRouter(4), name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__.split("\n")[0] == first_line


def test_docstrings_in_full():
    assert qor.PyQorRouter.build.__doc__ == (
        "Build the router from a matrix of all document vectors.\n\n"
        "Args:\n"
        "  all_vectors: (N, D) float32 matrix of all token/prototype vectors\n"
        "  doc_ids: list of document IDs (length = n_docs)\n"
        "  doc_offsets: list of (start, end) tuples indexing into all_vectors for each doc\n"
        "  n_fine: number of fine centroids (codebook size)\n"
        "  n_coarse: number of coarse clusters\n"
        "  max_kmeans_iter: k-means iteration limit\n"
        "  ctop_r: number of top coarse clusters per document"
    )
    assert qor.PyQorRouter.route_query.__doc__.endswith(
        "Returns:\n  list of (doc_id, proxy_score) tuples, sorted best-first"
    )


@pytest.mark.parametrize("dim", [0, 1, 64, 2**64 - 1])
def test_fresh_router_accessors(dim):
    r = qor.PyQorRouter(dim)
    assert (r.is_ready(), r.n_docs(), r.n_fine(), r.n_coarse()) == (False, 0, 0, 0)
    for name in ("is_ready", "n_docs", "n_fine", "n_coarse"):
        with pytest.raises(TypeError):
            getattr(r, name)(1)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("nuvaris_qor_router")
    try:
        again = importlib.import_module("nuvaris_qor_router")
        assert again is first and again.PyQorRouter is first.PyQorRouter
    finally:
        sys.modules["nuvaris_qor_router"] = first


# Run in a fresh process so that the subinterpreter machinery cannot disturb
# this one. A legacy (non-isolated) interpreter, where this Python offers one,
# reaches the module's own one-interpreter check rather than the
# interpreter's refusal of single-phase modules.
SECOND_INTERPRETER = """
import sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    try:
        import _interpreters as interpreters
    except ImportError:
        sys.exit(3)
import nuvaris_qor_router
configs = [{}]
try:
    interpreters.destroy(interpreters.create(isolated=False))
    configs.append({"isolated": False})
except TypeError:
    pass
probe = "try:\\n import nuvaris_qor_router\\nexcept ImportError:\\n pass\\nelse:\\n raise SystemExit('imported twice')"
for config in configs:
    interp = interpreters.create(**config)
    interpreters.run_string(interp, probe)
    interpreters.destroy(interp)
"""


def test_second_interpreter_is_refused():
    proc = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER], capture_output=True, text=True, timeout=120)
    if proc.returncode == 3:
        pytest.skip("no subinterpreter module in this Python")
    assert proc.returncode == 0, proc.stderr
