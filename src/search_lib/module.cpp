// nuvaris_qor_search._native: the search package's thin binding to the
// second-stage core (exact MaxSim, state file summaries, the scoring pool).
// Each function borrows, checks, calls the core and builds the result; the
// package's Python wraps them with its own input checks. The interpreter lock
// is held throughout: the arrays are borrowed, not copied, and holding the
// lock keeps another thread from resizing or unmapping them mid-call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "parallel/thread_pool.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/state_summary.hpp"
#include "search_lib/buffers.hpp"

namespace qor::search {

namespace {

// The scoring pool chosen by set_num_threads, rebuilt in a child of fork()
// (a pool's workers do not survive it); null: the process-wide pool, sized by
// RAYON_NUM_THREADS or the processors available.
std::unique_ptr<parallel::ThreadPool> g_pool;
std::size_t g_pool_threads = 0;
pid_t g_pool_pid = 0;

parallel::ThreadPool& scoring_pool() {
    if (g_pool == nullptr) return parallel::global_pool();
    if (g_pool_pid != ::getpid()) {
        (void)g_pool.release();  // its workers and locks belong to the parent; never touched again
        g_pool = std::make_unique<parallel::ThreadPool>(g_pool_threads);
        g_pool_pid = ::getpid();
    }
    return *g_pool;
}

// Raises the router module's PanicException (a broken invariant), or
// RuntimeError when that module cannot be imported.
PyObject* raise_panic(const char* message) {
    PyObject* router = PyImport_ImportModule("nuvaris_qor_router");
    PyObject* panic = router ? PyObject_GetAttrString(router, "PanicException") : nullptr;
    PyErr_Clear();
    PyErr_SetString(panic ? panic : PyExc_RuntimeError, message);
    Py_XDECREF(panic);
    Py_XDECREF(router);
    return nullptr;
}

// Call only from inside a catch block: the exception in flight as a Python one.
PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const InvalidInput& e) {
        PyObject* text = PyUnicode_DecodeUTF8(e.what(), static_cast<Py_ssize_t>(std::strlen(e.what())), "replace");
        if (text != nullptr) {
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return nullptr;
}

bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name, want, nargs);
    return false;
}

// The bytes of a bytes-like state argument, borrowed for the call.
class StateBytes {
public:
    ~StateBytes() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool borrow(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "a router state must be bytes-like, got %s", Py_TYPE(obj)->tp_name);
            return false;
        }
        held_ = true;
        return true;
    }
    std::string_view text() const { return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* bytes_of(const std::string& s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

const char maxsim_doc[] =
    "maxsim(query, vectors, offsets, candidates, out, /)\n--\n\n"
    "Writes the exact MaxSim score of each candidate document into out.\n\n"
    "query: (Q, D) float32; vectors: (N, D) float32 or float16; offsets:\n"
    "(n_docs + 1,) int64, document d is rows offsets[d]:offsets[d + 1];\n"
    "candidates: (n,) int64 document indices; out: (n,) writable float32.\n"
    "All C-contiguous. The order of operations and the bits are fixed (see the\n"
    "package's maxsim module); large candidate sets run on the scoring pool.";

PyObject* maxsim(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_args("maxsim", nargs, 5)) return nullptr;
    Borrowed query, vectors, offsets, candidates, out;
    if (!query.borrow(args[0], "query", 2, bit(Element::Float32)) ||
        !vectors.borrow(args[1], "vectors", 2, bit(Element::Float32) | bit(Element::Float16)) ||
        !offsets.borrow(args[2], "offsets", 1, bit(Element::Int64)) ||
        !candidates.borrow(args[3], "candidates", 1, bit(Element::Int64)) ||
        !out.borrow(args[4], "out", 1, bit(Element::Float32), /*writable=*/true))
        return nullptr;
    const uint64_t q = query.shape(0), dim = vectors.shape(1), n = candidates.shape(0);
    if (q > 0 && query.shape(1) != dim)
        return PyErr_Format(PyExc_ValueError, "query rows have %llu columns; the store's vectors have %llu",
                            static_cast<unsigned long long>(query.shape(1)), static_cast<unsigned long long>(dim));
    if (offsets.shape(0) == 0) return PyErr_Format(PyExc_ValueError, "offsets must hold n_docs + 1 entries, got 0");
    if (out.shape(0) != n)
        return PyErr_Format(PyExc_ValueError, "out holds %llu scores; there are %llu candidates",
                            static_cast<unsigned long long>(out.shape(0)), static_cast<unsigned long long>(n));
    try {
        const StoreView store{vectors.data(),
                              vectors.element() == Element::Float16 ? RowType::Float16 : RowType::Float32,
                              vectors.shape(0),
                              dim,
                              static_cast<const int64_t*>(offsets.data()),
                              offsets.shape(0) - 1};
        maxsim_scores(static_cast<const float*>(query.data()), q, store,
                      {static_cast<const int64_t*>(candidates.data()), static_cast<std::size_t>(n)},
                      static_cast<float*>(out.mutable_data()), &scoring_pool());
    } catch (...) {
        return translate_current_exception();
    }
    Py_RETURN_NONE;
}

const char read_state_doc[] =
    "read_state(data, /)\n--\n\n"
    "The summary of a router state file's bytes, read and checked as loading\n"
    "checks a file: a dict with dim, n_fine, n_coarse, n_docs, ctop_r and\n"
    "holds_documents (profiles, ids, codes or postings present). ValueError\n"
    "names what is wrong with a file that is not a sound state.";

PyObject* read_state(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_args("read_state", nargs, 1)) return nullptr;
    StateBytes data;
    if (!data.borrow(args[0])) return nullptr;
    try {
        const QorRouterState state = read_state_bytes(data.text());
        return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:O}", "dim", static_cast<unsigned long long>(state.codebook.dim),
                             "n_fine", static_cast<unsigned long long>(state.codebook.n_fine), "n_coarse",
                             static_cast<unsigned long long>(state.codebook.n_coarse), "n_docs",
                             static_cast<unsigned long long>(state.n_docs()), "ctop_r",
                             static_cast<unsigned long long>(state.ctop_r), "holds_documents",
                             holds_documents(state) ? Py_True : Py_False);
    } catch (...) {
        return translate_current_exception();
    }
}

const char codebook_only_state_doc[] =
    "codebook_only_state(data, /)\n--\n\n"
    "The state file bytes of the same codebook and ctop_r without documents,\n"
    "written exactly as saving such a router writes them.";

PyObject* codebook_only_state(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_args("codebook_only_state", nargs, 1)) return nullptr;
    StateBytes data;
    if (!data.borrow(args[0])) return nullptr;
    try {
        return bytes_of(state_file_bytes(codebook_only(read_state_bytes(data.text()))));
    } catch (...) {
        return translate_current_exception();
    }
}

const char codebook_identity_doc[] =
    "codebook_identity(data, /)\n--\n\n"
    "The codebook's text as a state body holds it, a NUL byte and ctop_r's\n"
    "text: equal for two states written by save exactly when their codebooks\n"
    "and ctop_r are, whatever documents they hold.";

PyObject* codebook_identity(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_args("codebook_identity", nargs, 1)) return nullptr;
    StateBytes data;
    if (!data.borrow(args[0])) return nullptr;
    try {
        return bytes_of(qor::codebook_identity(read_state_bytes(data.text())));
    } catch (...) {
        return translate_current_exception();
    }
}

const char set_num_threads_doc[] =
    "set_num_threads(n, /)\n--\n\n"
    "Sizes the scoring pool: n threads in all, the calling one included; 0\n"
    "returns to the default (RAYON_NUM_THREADS, else the processors available).";

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!expect_args("set_num_threads", nargs, 1)) return nullptr;
    const unsigned long long n = PyLong_AsUnsignedLongLong(args[0]);
    if (PyErr_Occurred()) return nullptr;
    try {
        if (n == 0) {
            g_pool.reset();
        } else if (g_pool == nullptr || g_pool_threads != n || g_pool_pid != ::getpid()) {
            if (g_pool != nullptr && g_pool_pid != ::getpid()) (void)g_pool.release();
            g_pool.reset();  // joins the old workers before the new ones start
            g_pool = std::make_unique<parallel::ThreadPool>(static_cast<std::size_t>(n));
            g_pool_threads = static_cast<std::size_t>(n);
            g_pool_pid = ::getpid();
        }
    } catch (...) {
        return translate_current_exception();
    }
    Py_RETURN_NONE;
}

const char get_num_threads_doc[] =
    "get_num_threads()\n--\n\n"
    "Threads of the scoring pool, the calling one included.";

PyObject* get_num_threads(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (!expect_args("get_num_threads", nargs, 0)) return nullptr;
    try {
        return PyLong_FromSize_t(scoring_pool().threads());
    } catch (...) {
        return translate_current_exception();
    }
}

#define QOR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL

PyMethodDef methods[] = {
    {"maxsim", QOR_FASTCALL(&maxsim), maxsim_doc},
    {"read_state", QOR_FASTCALL(&read_state), read_state_doc},
    {"codebook_only_state", QOR_FASTCALL(&codebook_only_state), codebook_only_state_doc},
    {"codebook_identity", QOR_FASTCALL(&codebook_identity), codebook_identity_doc},
    {"set_num_threads", QOR_FASTCALL(&set_num_threads), set_num_threads_doc},
    {"get_num_threads", QOR_FASTCALL(&get_num_threads), get_num_threads_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nuvaris_qor_search._native",
                          "The search package's native core: exact MaxSim and router state summaries.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace qor::search

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&qor::search::module_def); }
