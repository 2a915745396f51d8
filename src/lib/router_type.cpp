// The PyQorRouter type: construction, the access counter, and the twelve
// methods. Each method reads: bind, receiver and access, convert in
// parameter order, call the core (which checks state, width and layout, then
// works), build the result. Every C++ exception is translated at the end of
// the method, after the access guard and the matrix holds are released.
#include "lib/router_type.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/binder.hpp"
#include "lib/convert.hpp"
#include "lib/numpy_view.hpp"
#include "lib/python_errors.hpp"
#include "lib/python_hooks.hpp"
#include "router/router.hpp"
#include "state_file/state_file.hpp"

namespace qor::py {

namespace {

// Access counter values: 0 free, n > 0 held shared n times, EXCLUSIVE held
// by one writer.
constexpr Py_ssize_t EXCLUSIVE = -1;

struct RouterObject {
    PyObject_HEAD qor::Router* router;
    Py_ssize_t access;
    Py_ssize_t waiters;  // threads waiting in AccessGuard::enter for this router
};

PyTypeObject* g_router_type = nullptr;  // strong reference, kept for the process

enum class Access { Shared, Exclusive };

// Accesses to any router held by calls running on this thread. A thread that
// holds none meets a conflict only from another thread's call.
thread_local int held_on_thread = 0;

// Where threads wait for a router another thread holds: a release with
// waiters bumps `releases` and wakes them all, and each checks its router
// again. The counters themselves are read and written only under the
// interpreter lock. Allocated once and never freed, so a daemon thread still
// waiting at interpreter shutdown never meets a destroyed condition variable.
struct AccessWait {
    std::mutex mutex;
    std::condition_variable released;
    uint64_t releases = 0;
};

AccessWait& access_wait() {
    static AccessWait* wait = new AccessWait;
    return *wait;
}

// How long a waiting thread sleeps before it handles pending signals.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{50};

bool conflicts(const RouterObject* obj, Access kind) {
    return kind == Access::Shared ? obj->access == EXCLUSIVE : obj->access != 0;
}

// Holds shared or exclusive access for one call and gives it back when the
// call ends, on every path.
//
// A conflict with a call on another thread (which can happen whenever that
// call runs Python code: a progress record, a conversion) is waited for,
// without the interpreter lock, so the holder can finish. A conflict on a
// thread that already holds a router is reported at once: there it comes
// from re-entry, and waiting would never end (for the same router) or could
// close a cycle with a thread waiting for a router this one holds.
class AccessGuard {
public:
    AccessGuard() = default;
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard() {
        if (obj_ == nullptr) return;
        if (kind_ == Access::Exclusive)
            obj_->access = 0;
        else
            --obj_->access;
        --held_on_thread;
        if (obj_->waiters > 0) {
            AccessWait& wait = access_wait();
            {
                std::lock_guard<std::mutex> lock(wait.mutex);
                ++wait.releases;
            }
            wait.released.notify_all();
        }
    }

    // Receiver check, then access. Nullptr with an exception set on failure.
    RouterObject* enter(PyObject* self, Access kind) {
        if (g_router_type == nullptr || !PyObject_TypeCheck(self, g_router_type)) {
            raise_downcast(self, "PyQorRouter");
            return nullptr;
        }
        auto* obj = reinterpret_cast<RouterObject*>(self);
        while (conflicts(obj, kind)) {
            if (held_on_thread > 0) {
                PyErr_SetString(PyExc_RuntimeError,
                                kind == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
                return nullptr;
            }
            if (!wait_for_release(obj)) return nullptr;
        }
        obj->access = kind == Access::Exclusive ? EXCLUSIVE : obj->access + 1;
        ++held_on_thread;
        obj_ = obj;
        kind_ = kind;
        return obj;
    }

private:
    // Sleeps without the interpreter lock until some router with waiters is
    // released or the signal check interval passes, then handles pending
    // signals. False with the exception of a signal handler set. The caller
    // holds no access while it waits.
    static bool wait_for_release(RouterObject* obj) {
        AccessWait& wait = access_wait();
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(wait.mutex);
            seen = wait.releases;
        }
        ++obj->waiters;
        Py_BEGIN_ALLOW_THREADS sleep_until_release(wait, seen);
        Py_END_ALLOW_THREADS-- obj->waiters;
        return PyErr_CheckSignals() == 0;
    }

    // Runs without the interpreter lock, so nothing may escape it: a failed
    // wait only means the caller looks at its router sooner. The mutex is
    // let go before the interpreter lock is taken back, since a releaser
    // takes them in the other order.
    static void sleep_until_release(AccessWait& wait, uint64_t seen) noexcept {
        try {
            std::unique_lock<std::mutex> lock(wait.mutex);
            wait.released.wait_for(lock, SIGNAL_CHECK_INTERVAL, [&] { return wait.releases != seen; });
        } catch (...) {
        }
    }

    RouterObject* obj_ = nullptr;
    Access kind_ = Access::Shared;
};

// Conversion of slot i, or its default when the caller left it out; a
// failure is named for the parameter.
bool arg_u64(const Signature& sig, const Slots& slots, std::size_t i, uint64_t* out) {
    if (slots[i] == nullptr) {
        *out = sig.defaults[i];
        return true;
    }
    if (to_u64(slots[i], out)) return true;
    name_argument_error(sig.names[i]);
    return false;
}

template <class T, class Fn>
bool arg(const Signature& sig, const Slots& slots, std::size_t i, T* out, Fn convert) {
    if (convert(slots[i], out)) return true;
    name_argument_error(sig.names[i]);
    return false;
}

bool arg_matrix(const Signature& sig, const Slots& slots, std::size_t i, MatrixArg* out) {
    if (out->convert(slots[i])) return true;
    name_argument_error(sig.names[i]);
    return false;
}

// ---------------------------------------------------------------------------
// Construction and destruction.

PyObject* router_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        const Signature& sig = sig::new_;
        Slots slots;
        if (!bind_tuple(sig, args, kwargs, slots)) return nullptr;
        uint64_t dim = 0;
        if (!arg_u64(sig, slots, slot::new_::dim, &dim)) return nullptr;
        auto router = std::make_unique<qor::Router>(dim);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* obj = reinterpret_cast<RouterObject*>(self);
        obj->router = router.release();
        obj->access = 0;
        obj->waiters = 0;
        return self;
    } catch (...) {
        return translate_current_exception();
    }
}

void router_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<RouterObject*>(self);
    delete obj->router;
    obj->router = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---------------------------------------------------------------------------
// Methods with parameters.

// The prologue every method with parameters shares: bind the arguments,
// check the receiver and take its access, then run `body` on the slots and
// the router object. Exceptions are translated after the body's locals (the
// matrix holds) and the access guard are released.
template <class Body>
PyObject* bound_method(const Signature& sig, Access kind, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body body) {
    try {
        Slots s;
        if (!bind_fastcall(sig, args, nargs, kwnames, s)) return nullptr;
        AccessGuard access;
        RouterObject* obj = access.enter(self, kind);
        if (obj == nullptr) return nullptr;
        return body(s, *obj);
    } catch (...) {
        return translate_current_exception();
    }
}

static const char build_doc[] =
    "build($self, all_vectors, doc_ids, doc_offsets, n_fine=256, n_coarse=32, max_kmeans_iter=30, "
    "ctop_r=3)\n--\n\n"
    "Build the router from a matrix of all document vectors.\n\n"
    "Args:\n"
    "  all_vectors: (N, D) float32 matrix of all token/prototype vectors\n"
    "  doc_ids: list of document IDs (length = n_docs)\n"
    "  doc_offsets: list of (start, end) tuples indexing into all_vectors for each doc\n"
    "  n_fine: number of fine centroids (codebook size)\n"
    "  n_coarse: number of coarse clusters\n"
    "  max_kmeans_iter: k-means iteration limit\n"
    "  ctop_r: number of top coarse clusters per document";

PyObject* router_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = sig::build;
    return bound_method(
        sig, Access::Exclusive, self, args, nargs, kwnames, [&](const Slots& s, RouterObject& obj) {
            MatrixArg vectors;
            std::vector<uint64_t> ids;
            std::vector<qor::DocRange> offsets;
            uint64_t n_fine = 0, n_coarse = 0, max_iter = 0, ctop_r = 0;
            using P = slot::build;
            if (!arg_matrix(sig, s, P::all_vectors, &vectors) || !arg(sig, s, P::doc_ids, &ids, to_id_list) ||
                !arg(sig, s, P::doc_offsets, &offsets, to_range_list) ||
                !arg_u64(sig, s, P::n_fine, &n_fine) || !arg_u64(sig, s, P::n_coarse, &n_coarse) ||
                !arg_u64(sig, s, P::max_kmeans_iter, &max_iter) || !arg_u64(sig, s, P::ctop_r, &ctop_r))
                return static_cast<PyObject*>(nullptr);
            PythonHooks hooks;
            obj.router->build(vectors.view(), ids, offsets, n_fine, n_coarse, max_iter, ctop_r);
            Py_RETURN_NONE;
        });
}

static const char add_documents_doc[] =
    "add_documents($self, new_vectors, new_doc_ids, doc_offsets)\n--\n\n"
    "Add new documents to an existing router.";

PyObject* router_add_documents(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = sig::add_documents;
    return bound_method(sig, Access::Exclusive, self, args, nargs, kwnames,
                        [&](const Slots& s, RouterObject& obj) {
                            MatrixArg vectors;
                            std::vector<uint64_t> ids;
                            std::vector<qor::DocRange> offsets;
                            using P = slot::add_documents;
                            if (!arg_matrix(sig, s, P::new_vectors, &vectors) ||
                                !arg(sig, s, P::new_doc_ids, &ids, to_id_list) ||
                                !arg(sig, s, P::doc_offsets, &offsets, to_range_list))
                                return static_cast<PyObject*>(nullptr);
                            PythonHooks hooks;
                            obj.router->add_documents(vectors.view(), ids, offsets);
                            Py_RETURN_NONE;
                        });
}

static const char route_query_doc[] =
    "route_query($self, query_vectors, n_probes=4, max_candidates=500)\n--\n\n"
    "Route a query to candidate documents.\n\n"
    "Args:\n"
    "  query_vectors: (Q, D) float32 matrix of query token vectors\n"
    "  n_probes: number of coarse clusters to probe\n"
    "  max_candidates: max number of candidates to return\n\n"
    "Returns:\n"
    "  list of (doc_id, proxy_score) tuples, sorted best-first";

PyObject* router_route_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = sig::route_query;
    return bound_method(
        sig, Access::Shared, self, args, nargs, kwnames, [&](const Slots& s, RouterObject& obj) {
            MatrixArg query;
            uint64_t n_probes = 0, max_candidates = 0;
            using P = slot::query;
            if (!arg_matrix(sig, s, P::query_vectors, &query) || !arg_u64(sig, s, P::n_probes, &n_probes) ||
                !arg_u64(sig, s, P::max_candidates, &max_candidates))
                return static_cast<PyObject*>(nullptr);
            std::vector<qor::ScoredDoc> docs;
            {
                PythonHooks hooks;
                docs = obj.router->route_query(query.view(), n_probes, max_candidates);
            }
            return build_scored_docs(docs);
        });
}

// The three query methods with (query_vectors, n_probes) share one prologue.
template <class Work>
PyObject* query_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Work work) {
    return bound_method(
        sig, Access::Shared, self, args, nargs, kwnames, [&](const Slots& s, RouterObject& obj) {
            MatrixArg query;
            uint64_t n_probes = 0;
            using P = slot::query;
            if (!arg_matrix(sig, s, P::query_vectors, &query) || !arg_u64(sig, s, P::n_probes, &n_probes))
                return static_cast<PyObject*>(nullptr);
            return work(*obj.router, query.view(), n_probes);
        });
}

static const char get_cluster_entries_doc[] =
    "get_cluster_entries($self, query_vectors, n_probes=4)\n--\n\n"
    "Get HNSW entry point hints for multi-entry traversal.\n\n"
    "Returns doc IDs of cluster representatives for the query's most relevant clusters.";

PyObject* router_get_cluster_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return query_method(sig::get_cluster_entries, self, args, nargs, kwnames,
                        [](qor::Router& r, const qor::MatrixRef& q, uint64_t n_probes) {
                            return build_u64_list(r.get_cluster_entries(q, n_probes));
                        });
}

static const char compute_query_profile_doc[] =
    "compute_query_profile($self, query_vectors, n_probes=4)\n--\n\n"
    "Compute query centroid IDs and C_top.\n\n"
    "Returns: (centroid_ids: list[int], ctop: list[int])";

PyObject* router_compute_query_profile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return query_method(sig::compute_query_profile, self, args, nargs, kwnames,
                        [](qor::Router& r, const qor::MatrixRef& q, uint64_t n_probes) {
                            return build_query_profile(r.compute_query_profile(q, n_probes));
                        });
}

static const char query_cluster_overlaps_doc[] =
    "query_cluster_overlaps($self, query_vectors, n_probes=4)\n--\n\n"
    "Get per-document cluster overlap with a query's C_top.\n\n"
    "Returns: list of (doc_id, overlap_count)";

PyObject* router_query_cluster_overlaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return query_method(sig::query_cluster_overlaps, self, args, nargs, kwnames,
                        [](qor::Router& r, const qor::MatrixRef& q, uint64_t n_probes) {
                            return build_overlaps(r.query_cluster_overlaps(q, n_probes));
                        });
}

static const char save_doc[] = "save($self, path)\n--\n\nSave router state to disk.";

PyObject* router_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = sig::save;
    return bound_method(
        sig, Access::Shared, self, args, nargs, kwnames, [&](const Slots& s, RouterObject& obj) {
            std::string path;
            if (!arg(sig, s, slot::path_only::path, &path, to_path)) return static_cast<PyObject*>(nullptr);
            const qor::QorRouterState* state = obj.router->state();
            if (state == nullptr) return raise_value_error("no state to save; call build() first");
            PythonHooks hooks;
            if (std::optional<qor::PersistError> err = qor::save_state(*state, path))
                return hooks.stopped() ? nullptr : raise_value_error("save failed: " + err->text());
            Py_RETURN_NONE;
        });
}

static const char load_doc[] = "load($self, path)\n--\n\nLoad router state from disk.";

PyObject* router_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = sig::load;
    return bound_method(
        sig, Access::Exclusive, self, args, nargs, kwnames, [&](const Slots& s, RouterObject& obj) {
            std::string path;
            if (!arg(sig, s, slot::path_only::path, &path, to_path)) return static_cast<PyObject*>(nullptr);
            qor::PersistError err;
            PythonHooks hooks;
            std::optional<qor::QorRouterState> state = qor::load_state(path, &err);
            if (!state) return hooks.stopped() ? nullptr : raise_value_error("load failed: " + err.text());
            obj.router->install_loaded(std::move(*state));
            Py_RETURN_NONE;
        });
}

// ---------------------------------------------------------------------------
// Accessors: shared access, no state required, new references.

template <class Read>
PyObject* accessor(PyObject* self, Read read) {
    try {
        AccessGuard access;
        RouterObject* obj = access.enter(self, Access::Shared);
        if (obj == nullptr) return nullptr;
        return read(*obj->router);
    } catch (...) {
        return translate_current_exception();
    }
}

static const char is_ready_doc[] =
    "is_ready($self)\n--\n\nCheck if the router is built and ready for queries.";
PyObject* router_is_ready(PyObject* self, PyObject*) {
    return accessor(self, [](const qor::Router& r) { return PyBool_FromLong(r.is_ready() ? 1 : 0); });
}

static const char n_docs_doc[] = "n_docs($self)\n--\n\nNumber of indexed documents.";
PyObject* router_n_docs(PyObject* self, PyObject*) {
    return accessor(self, [](const qor::Router& r) { return PyLong_FromUnsignedLongLong(r.n_docs()); });
}

static const char n_fine_doc[] = "n_fine($self)\n--\n\nNumber of fine centroids in the codebook.";
PyObject* router_n_fine(PyObject* self, PyObject*) {
    return accessor(self, [](const qor::Router& r) { return PyLong_FromUnsignedLongLong(r.n_fine()); });
}

static const char n_coarse_doc[] = "n_coarse($self)\n--\n\nNumber of coarse clusters.";
PyObject* router_n_coarse(PyObject* self, PyObject*) {
    return accessor(self, [](const qor::Router& r) { return PyLong_FromUnsignedLongLong(r.n_coarse()); });
}

// ---------------------------------------------------------------------------
// The type.

#define QOR_FASTCALL(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS
#define QOR_NOARGS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_NOARGS

PyMethodDef router_methods[] = {
    {"build", QOR_FASTCALL(router_build), build_doc},
    {"add_documents", QOR_FASTCALL(router_add_documents), add_documents_doc},
    {"route_query", QOR_FASTCALL(router_route_query), route_query_doc},
    {"get_cluster_entries", QOR_FASTCALL(router_get_cluster_entries), get_cluster_entries_doc},
    {"compute_query_profile", QOR_FASTCALL(router_compute_query_profile), compute_query_profile_doc},
    {"save", QOR_FASTCALL(router_save), save_doc},
    {"load", QOR_FASTCALL(router_load), load_doc},
    {"is_ready", QOR_NOARGS(router_is_ready), is_ready_doc},
    {"n_docs", QOR_NOARGS(router_n_docs), n_docs_doc},
    {"n_fine", QOR_NOARGS(router_n_fine), n_fine_doc},
    {"n_coarse", QOR_NOARGS(router_n_coarse), n_coarse_doc},
    {"query_cluster_overlaps", QOR_FASTCALL(router_query_cluster_overlaps), query_cluster_overlaps_doc},
    {nullptr, nullptr, 0, nullptr},
};

#undef QOR_FASTCALL
#undef QOR_NOARGS

static const char router_doc[] =
    "PyQorRouter(dim)\n--\n\n"
    "Python-facing QOR router for multi-vector candidate generation.";

PyType_Slot router_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(router_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(router_dealloc)},
    {Py_tp_doc, const_cast<char*>(router_doc)},
    {Py_tp_methods, router_methods},
    {0, nullptr},
};

PyType_Spec router_spec = {
    "nuvaris_qor_router.PyQorRouter",
    static_cast<int>(sizeof(RouterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    router_slots,
};

}  // namespace

PyObject* create_router_type() {
    if (g_router_type != nullptr) return Py_NewRef(reinterpret_cast<PyObject*>(g_router_type));
    PyObject* type = PyType_FromSpec(&router_spec);
    if (type == nullptr) return nullptr;
    g_router_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    return type;
}

}  // namespace qor::py
