"""The module surface: attributes, class flags, docstrings and signatures,
accessors of a fresh router, re-import and second interpreters."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import nuvaris_qor_router as qor

METHODS = [
    ("build", "(all_vectors, doc_ids, doc_offsets, n_fine=256, n_coarse=32, max_kmeans_iter=30, ctop_r=3)"),
    ("add_documents", "(new_vectors, new_doc_ids, doc_offsets)"),
    ("route_query", "(query_vectors, n_probes=4, max_candidates=500)"),
    ("get_cluster_entries", "(query_vectors, n_probes=4)"),
    ("compute_query_profile", "(query_vectors, n_probes=4)"),
    ("save", "(path)"),
    ("load", "(path)"),
    ("is_ready", "()"),
    ("n_docs", "()"),
    ("n_fine", "()"),
    ("n_coarse", "()"),
    ("query_cluster_overlaps", "(query_vectors, n_probes=4)"),
]

FIRST_DOC_LINES = {
    "build": "Build the router from a matrix of all document vectors.",
    "add_documents": "Add new documents to an existing router.",
    "route_query": "Route a query to candidate documents.",
    "get_cluster_entries": "Get HNSW entry point hints for multi-entry traversal.",
    "compute_query_profile": "Compute query centroid IDs and C_top.",
    "save": "Save router state to disk.",
    "load": "Load router state from disk.",
    "is_ready": "Check if the router is built and ready for queries.",
    "n_docs": "Number of indexed documents.",
    "n_fine": "Number of fine centroids in the codebook.",
    "n_coarse": "Number of coarse clusters.",
    "query_cluster_overlaps": "Get per-document cluster overlap with a query's C_top.",
}


def test_module_attributes():
    assert qor.__all__ == ["PyQorRouter"]
    assert type(qor.__all__) is list
    assert qor.__doc__ == ""
    assert [n for n in vars(qor) if not n.startswith("__")] == ["PyQorRouter", "PanicException"]


def test_panic_exception_is_a_direct_base_exception():
    assert qor.PanicException.__bases__ == (BaseException,)
    assert qor.PanicException.__module__ == "nuvaris_qor_router"
    assert qor.PanicException.__name__ == "PanicException"
    assert not issubclass(qor.PanicException, Exception)


def test_class_surface():
    cls = qor.PyQorRouter
    assert cls.__doc__ == "Python-facing QOR router for multi-vector candidate generation."
    assert cls.__text_signature__ == "(dim)"
    assert str(inspect.signature(cls)) == "(dim)"
    assert cls.__module__ == "nuvaris_qor_router"
    assert cls.__bases__ == (object,)
    # No GC participation, not subclassable.
    assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_method_table_order():
    own = [n for n in vars(qor.PyQorRouter) if not n.startswith("__")]
    assert own == [name for name, _ in METHODS]


@pytest.mark.parametrize(("name", "signature"), METHODS)
def test_method_docstring_and_signature(name, signature):
    method = getattr(qor.PyQorRouter(4), name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__.split("\n")[0] == FIRST_DOC_LINES[name]


def test_build_docstring_in_full():
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
    assert r.is_ready() is False
    assert (r.n_docs(), r.n_fine(), r.n_coarse()) == (0, 0, 0)


@pytest.mark.parametrize("name", ["is_ready", "n_docs", "n_fine", "n_coarse"])
def test_accessors_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(qor.PyQorRouter(4), name)(1)


def test_constructor_keyword_and_binding():
    assert qor.PyQorRouter(dim=3).n_docs() == 0
    with pytest.raises(TypeError, match=r"^PyQorRouter.__new__\(\) missing 1 required positional argument: 'dim'$"):
        qor.PyQorRouter()
    with pytest.raises(TypeError, match=r"^PyQorRouter.__new__\(\) takes 1 positional arguments but 2 were given$"):
        qor.PyQorRouter(1, 2)
    with pytest.raises(TypeError, match=r"^PyQorRouter.__new__\(\) got an unexpected keyword argument 'dims'$"):
        qor.PyQorRouter(dims=1)
    with pytest.raises(TypeError, match=r"^argument 'dim': 'float' object cannot be interpreted as an integer$"):
        qor.PyQorRouter(1.5)
    with pytest.raises(OverflowError):
        qor.PyQorRouter(-1)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("nuvaris_qor_router")
    try:
        again = importlib.import_module("nuvaris_qor_router")
        assert again is first
        assert again.PyQorRouter is first.PyQorRouter
        assert again.PanicException is first.PanicException
    finally:
        sys.modules["nuvaris_qor_router"] = first


def test_second_interpreter_is_refused():
    # In a fresh process so that the subinterpreter machinery cannot disturb
    # this one.
    code = textwrap.dedent(
        """
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
            # A legacy (non-isolated) interpreter reaches the module's own
            # one-interpreter check instead of the interpreter's refusal.
            interpreters.destroy(interpreters.create(isolated=False))
            configs.append({"isolated": False})
        except TypeError:
            pass
        for config in configs:
            interp = interpreters.create(**config)
            interpreters.run_string(interp, '''
        try:
            import nuvaris_qor_router
        except ImportError:
            pass
        else:
            raise SystemExit("imported in a second interpreter")
        ''')
            interpreters.destroy(interp)
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    if proc.returncode == 3:
        pytest.skip("no subinterpreter module in this Python")
    assert proc.returncode == 0, proc.stderr


def test_save_load_round_trip_takes_the_file_dimension(built_router, query, implemented, tmp_path):
    path = str(tmp_path / "state.qor")
    implemented(built_router.save, path)
    other = qor.PyQorRouter(16)
    implemented(other.load, path)
    assert (other.is_ready(), other.n_docs(), other.n_fine(), other.n_coarse()) == (
        True,
        built_router.n_docs(),
        built_router.n_fine(),
        built_router.n_coarse(),
    )
    assert other.route_query(query) == built_router.route_query(query)
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 8, got 16$"):
        other.route_query(query.repeat(2, axis=1))


def test_save_and_load_failures_carry_their_prefix(built_router, implemented, tmp_path):
    with pytest.raises(ValueError, match=r"^load failed: "):
        implemented(qor.PyQorRouter(8).load, str(tmp_path / "missing.qor"))
    (tmp_path / "junk.qor").write_bytes(b"NOPE" + bytes(12))
    with pytest.raises(ValueError, match=r"^load failed: invalid file magic$"):
        qor.PyQorRouter(8).load(str(tmp_path / "junk.qor"))
    with pytest.raises(ValueError, match=r"^save failed: "):
        implemented(built_router.save, str(tmp_path))  # a directory
    assert built_router.is_ready()
