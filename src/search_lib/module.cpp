// nuvaris_qor_search._native: the search package's thin binding to the
// second-stage core (exact MaxSim, residual codes, state file summaries, the scoring pool).
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
#include <vector>

#include "codes/code_maxsim.hpp"
#include "codes/residual_codes.hpp"
#include "codes/token_lists.hpp"
#include "codes/token_search.hpp"
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
        PyObject* text =
            PyUnicode_DecodeUTF8(e.what(), static_cast<Py_ssize_t>(std::strlen(e.what())), "replace");
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
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name, want,
                 nargs);
    return false;
}

// The one prologue of every function: checks the argument count, then runs
// body() (bind, borrow, check, call the core, build the result) with any C++
// exception turned into the matching Python one.
template <class Body>
PyObject* bound_function(const char* name, Py_ssize_t nargs, Py_ssize_t expected, Body body) {
    if (!expect_args(name, nargs, expected)) return nullptr;
    try {
        return body();
    } catch (...) {
        return translate_current_exception();
    }
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
    std::string_view text() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// bound_function for a function of one argument, a state file's bytes: body
// gets the state read and checked from them.
template <class Body>
PyObject* bound_state_function(const char* name, PyObject* const* args, Py_ssize_t nargs, Body body) {
    return bound_function(name, nargs, 1, [&]() -> PyObject* {
        StateBytes data;
        if (!data.borrow(args[0])) return nullptr;
        return body(read_state_bytes(data.text()));
    });
}

PyObject* bytes_of(const std::string& s) {
    return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Document offsets hold n_docs + 1 entries, so at least one.
bool check_offsets(const Borrowed& offsets) {
    if (offsets.shape(0) != 0) return true;
    PyErr_SetString(PyExc_ValueError, "offsets must hold n_docs + 1 entries, got 0");
    return false;
}

const char maxsim_doc[] =
    "maxsim(query, vectors, offsets, candidates, out, /)\n--\n\n"
    "Writes the exact MaxSim score of each candidate document into out.\n\n"
    "query: (Q, D) float32; vectors: (N, D) float32 or float16; offsets:\n"
    "(n_docs + 1,) int64, document d is rows offsets[d]:offsets[d + 1];\n"
    "candidates: (n,) int64 document indices; out: (n,) writable float32.\n"
    "All C-contiguous. The order of operations and the bits are fixed (see the\n"
    "package's maxsim module); large candidate sets run on the scoring pool.";

PyObject* maxsim(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("maxsim", nargs, 5, [&]() -> PyObject* {
        Borrowed query, vectors, offsets, candidates, out;
        if (!query.borrow(args[0], "query", 2, bit(Element::Float32)) ||
            !vectors.borrow(args[1], "vectors", 2, bit(Element::Float32) | bit(Element::Float16)) ||
            !offsets.borrow(args[2], "offsets", 1, bit(Element::Int64)) ||
            !candidates.borrow(args[3], "candidates", 1, bit(Element::Int64)) ||
            !out.borrow(args[4], "out", 1, bit(Element::Float32), /*writable=*/true))
            return nullptr;
        const uint64_t q = query.shape(0), dim = vectors.shape(1), n = candidates.shape(0);
        if (q > 0 && query.shape(1) != dim)
            return PyErr_Format(
                PyExc_ValueError, "query rows have %llu columns; the store's vectors have %llu",
                static_cast<unsigned long long>(query.shape(1)), static_cast<unsigned long long>(dim));
        if (!check_offsets(offsets)) return nullptr;
        if (out.shape(0) != n)
            return PyErr_Format(PyExc_ValueError, "out holds %llu scores; there are %llu candidates",
                                static_cast<unsigned long long>(out.shape(0)),
                                static_cast<unsigned long long>(n));
        const StoreView store{vectors.data(),
                              vectors.element() == Element::Float16 ? RowType::Float16 : RowType::Float32,
                              vectors.shape(0),
                              dim,
                              static_cast<const int64_t*>(offsets.data()),
                              offsets.shape(0) - 1};
        maxsim_scores(static_cast<const float*>(query.data()), q, store,
                      {static_cast<const int64_t*>(candidates.data()), static_cast<std::size_t>(n)},
                      static_cast<float*>(out.mutable_data()), &scoring_pool());
        Py_RETURN_NONE;
    });
}

const char read_state_doc[] =
    "read_state(data, /)\n--\n\n"
    "The summary of a router state file's bytes, read and checked as loading\n"
    "checks a file: a dict with dim, n_fine, n_coarse, n_docs, ctop_r and\n"
    "holds_documents (profiles, ids, codes or postings present). ValueError\n"
    "names what is wrong with a file that is not a sound state.";

PyObject* read_state(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_state_function("read_state", args, nargs, [](const QorRouterState& state) -> PyObject* {
        return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:O}", "dim",
                             static_cast<unsigned long long>(state.codebook.dim), "n_fine",
                             static_cast<unsigned long long>(state.codebook.n_fine), "n_coarse",
                             static_cast<unsigned long long>(state.codebook.n_coarse), "n_docs",
                             static_cast<unsigned long long>(state.n_docs()), "ctop_r",
                             static_cast<unsigned long long>(state.ctop_r), "holds_documents",
                             holds_documents(state) ? Py_True : Py_False);
    });
}

const char codebook_only_state_doc[] =
    "codebook_only_state(data, /)\n--\n\n"
    "The state file bytes of the same codebook and ctop_r without documents,\n"
    "written exactly as saving such a router writes them.";

PyObject* codebook_only_state(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_state_function("codebook_only_state", args, nargs,
                                [](const QorRouterState& state) -> PyObject* {
                                    return bytes_of(state_file_bytes(codebook_only(state)));
                                });
}

const char codebook_identity_doc[] =
    "codebook_identity(data, /)\n--\n\n"
    "The codebook's text as a state body holds it, a NUL byte and ctop_r's\n"
    "text: equal for two states written by save exactly when their codebooks\n"
    "and ctop_r are, whatever documents they hold.";

PyObject* codebook_identity(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_state_function(
        "codebook_identity", args, nargs,
        [](const QorRouterState& state) -> PyObject* { return bytes_of(qor::codebook_identity(state)); });
}

// ---------------------------------------------------------------------------
// Residual codes. The centroids, cut points and levels travel as arrays the
// package keeps (and may memory-map); every call checks their shapes.

PyObject* value_error_u64(const char* format, uint64_t a, uint64_t b) {
    return PyErr_Format(PyExc_ValueError, format, static_cast<unsigned long long>(a),
                        static_cast<unsigned long long>(b));
}

// The bit width whose levels table has `levels` columns, 0 for none.
uint32_t bits_of_levels(uint64_t levels) {
    return levels == 2 ? 1 : levels == 4 ? 2 : levels == 16 ? 4 : 0;
}

// Borrows centroids (n_fine, dim) and levels (dim, 2^bits) and builds the
// quantiser the core takes; cuts, when given, are (dim, 2^bits - 1).
bool borrow_quantiser(PyObject* centroids_obj, PyObject* cuts_obj, PyObject* levels_obj, Borrowed& centroids,
                      CentroidView& view, ResidualQuantiser& quantiser) {
    Borrowed cuts, levels;
    if (!centroids.borrow(centroids_obj, "centroids", 2, bit(Element::Float32)) ||
        !levels.borrow(levels_obj, "levels", 2, bit(Element::Float32)) ||
        (cuts_obj != nullptr && !cuts.borrow(cuts_obj, "cuts", 2, bit(Element::Float32))))
        return false;
    view = CentroidView{static_cast<const float*>(centroids.data()), centroids.shape(0), centroids.shape(1)};
    const uint32_t bits = bits_of_levels(levels.shape(1));
    if (bits == 0) {
        PyErr_Format(PyExc_ValueError, "levels must have 2, 4 or 16 columns (1, 2 or 4 bits), got %llu",
                     static_cast<unsigned long long>(levels.shape(1)));
        return false;
    }
    if (levels.shape(0) != view.dim) {
        value_error_u64("levels has %llu rows; the centroids have dimension %llu", levels.shape(0), view.dim);
        return false;
    }
    const uint64_t k = uint64_t{1} << bits;
    if (cuts_obj != nullptr && (cuts.shape(0) != view.dim || cuts.shape(1) != k - 1)) {
        PyErr_Format(PyExc_ValueError,
                     "cuts must be (%llu, %llu) beside levels of %llu columns, got (%llu, %llu)",
                     static_cast<unsigned long long>(view.dim), static_cast<unsigned long long>(k - 1),
                     static_cast<unsigned long long>(k), static_cast<unsigned long long>(cuts.shape(0)),
                     static_cast<unsigned long long>(cuts.shape(1)));
        return false;
    }
    const auto* lv = static_cast<const float*>(levels.data());
    quantiser.dim = view.dim;
    quantiser.bits = bits;
    quantiser.levels.assign(lv, lv + view.dim * k);
    if (cuts_obj != nullptr) {
        const auto* cv = static_cast<const float*>(cuts.data());
        quantiser.cuts.assign(cv, cv + view.dim * (k - 1));
    } else {
        quantiser.cuts.assign(view.dim * (k - 1), 0.0f);  // scoring reads only the levels
    }
    return true;
}

const char fine_centroids_doc[] =
    "fine_centroids(data, /)\n--\n\n"
    "The fine centroids of a router state file's bytes: (n_fine, dim, raw),\n"
    "raw holding the n_fine x dim row-major float32 values in native order.";

PyObject* fine_centroids(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_state_function("fine_centroids", args, nargs, [](const QorRouterState& state) -> PyObject* {
        const TwoStageCodebook& cb = state.codebook;
        return Py_BuildValue("(KKy#)", static_cast<unsigned long long>(cb.n_fine),
                             static_cast<unsigned long long>(cb.dim),
                             reinterpret_cast<const char*>(cb.cquant.data()),
                             static_cast<Py_ssize_t>(cb.n_fine * cb.dim * sizeof(float)));
    });
}

const char train_quantiser_doc[] =
    "train_quantiser(centroids, vectors, bits, sample, seed, cuts, levels, /)\n--\n\n"
    "Trains the residual quantiser on at most `sample` rows of vectors (N, D)\n"
    "float32, drawn with the seeded generator, and writes its cut points into\n"
    "cuts (D, 2**bits - 1) and its levels into levels (D, 2**bits), both\n"
    "writable float32. centroids: (n_fine, D) float32. bits: 1, 2 or 4.";

PyObject* train_quantiser(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("train_quantiser", nargs, 7, [&]() -> PyObject* {
        Borrowed centroids, vectors, cuts, levels;
        if (!centroids.borrow(args[0], "centroids", 2, bit(Element::Float32)) ||
            !vectors.borrow(args[1], "vectors", 2, bit(Element::Float32)))
            return nullptr;
        const unsigned long long bits = PyLong_AsUnsignedLongLong(args[2]);
        if (PyErr_Occurred()) return nullptr;
        const unsigned long long sample = PyLong_AsUnsignedLongLong(args[3]);
        if (PyErr_Occurred()) return nullptr;
        const unsigned long long seed = PyLong_AsUnsignedLongLong(args[4]);
        if (PyErr_Occurred()) return nullptr;
        if (!cuts.borrow(args[5], "cuts", 2, bit(Element::Float32), /*writable=*/true) ||
            !levels.borrow(args[6], "levels", 2, bit(Element::Float32), /*writable=*/true))
            return nullptr;
        if (!supported_bits(bits))
            return PyErr_Format(PyExc_ValueError, "bits must be 1, 2 or 4, got %llu", bits);
        const uint64_t dim = centroids.shape(1), k = uint64_t{1} << bits;
        if (vectors.shape(1) != dim)
            return value_error_u64("vectors have %llu columns; the centroids have %llu", vectors.shape(1),
                                   dim);
        if (cuts.shape(0) != dim || cuts.shape(1) != k - 1 || levels.shape(0) != dim || levels.shape(1) != k)
            return PyErr_Format(PyExc_ValueError, "cuts and levels must be (%llu, %llu) and (%llu, %llu)",
                                static_cast<unsigned long long>(dim), static_cast<unsigned long long>(k - 1),
                                static_cast<unsigned long long>(dim), static_cast<unsigned long long>(k));
        const CentroidView view{static_cast<const float*>(centroids.data()), centroids.shape(0), dim};
        const ResidualQuantiser q =
            train_residual_quantiser(view, static_cast<const float*>(vectors.data()), vectors.shape(0),
                                     static_cast<uint32_t>(bits), sample, seed, &scoring_pool());
        std::memcpy(cuts.mutable_data(), q.cuts.data(), q.cuts.size() * sizeof(float));
        std::memcpy(levels.mutable_data(), q.levels.data(), q.levels.size() * sizeof(float));
        Py_RETURN_NONE;
    });
}

const char encode_codes_doc[] =
    "encode_codes(centroids, cuts, levels, vectors, fine, residual, /)\n--\n\n"
    "Encodes vectors (N, D) float32: the nearest fine centroid of each row (as\n"
    "the router assigns it) into fine (N,) uint16 and its quantised residual,\n"
    "packed, into residual (N, ceil(D * bits / 8)) uint8, both writable.";

PyObject* encode_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("encode_codes", nargs, 6, [&]() -> PyObject* {
        Borrowed centroids, vectors, fine, residual;
        CentroidView view;
        ResidualQuantiser quantiser;
        if (!borrow_quantiser(args[0], args[1], args[2], centroids, view, quantiser) ||
            !vectors.borrow(args[3], "vectors", 2, bit(Element::Float32)) ||
            !fine.borrow(args[4], "fine", 1, bit(Element::UInt16), /*writable=*/true) ||
            !residual.borrow(args[5], "residual", 2, bit(Element::UInt8), /*writable=*/true))
            return nullptr;
        const uint64_t n = vectors.shape(0), bytes = residual_bytes(view.dim, quantiser.bits);
        if (vectors.shape(1) != view.dim)
            return value_error_u64("vectors have %llu columns; the centroids have %llu", vectors.shape(1),
                                   view.dim);
        if (fine.shape(0) != n || residual.shape(0) != n || residual.shape(1) != bytes)
            return PyErr_Format(
                PyExc_ValueError,
                "fine must be (%llu,) and residual (%llu, %llu), got (%llu,) and (%llu, %llu)",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(fine.shape(0)),
                static_cast<unsigned long long>(residual.shape(0)),
                static_cast<unsigned long long>(residual.shape(1)));
        encode_residual_codes(view, quantiser, static_cast<const float*>(vectors.data()), n,
                              static_cast<uint16_t*>(fine.mutable_data()),
                              static_cast<uint8_t*>(residual.mutable_data()), &scoring_pool());
        Py_RETURN_NONE;
    });
}

// A query against a code store: its rows as wide as the codes' vectors, the
// residual codes one row of residual_bytes per fine code, and offsets.
bool check_code_store(const Borrowed& query, const CentroidView& view, const ResidualQuantiser& quantiser,
                      const Borrowed& fine, const Borrowed& residual, const Borrowed& offsets) {
    const uint64_t bytes = residual_bytes(view.dim, quantiser.bits);
    if (query.shape(0) > 0 && query.shape(1) != view.dim) {
        value_error_u64("query rows have %llu columns; the codes have dimension %llu", query.shape(1),
                        view.dim);
        return false;
    }
    if (residual.shape(0) != fine.shape(0) || residual.shape(1) != bytes) {
        PyErr_Format(PyExc_ValueError,
                     "residual must be (%llu, %llu) beside %llu fine codes, got (%llu, %llu)",
                     static_cast<unsigned long long>(fine.shape(0)), static_cast<unsigned long long>(bytes),
                     static_cast<unsigned long long>(fine.shape(0)),
                     static_cast<unsigned long long>(residual.shape(0)),
                     static_cast<unsigned long long>(residual.shape(1)));
        return false;
    }
    return check_offsets(offsets);
}

const char code_maxsim_doc[] =
    "code_maxsim(query, centroids, levels, fine, residual, offsets, candidates, out, /)\n--\n\n"
    "Writes the approximate MaxSim score of each candidate, computed on its\n"
    "codes, into out (n,) writable float32. query: (Q, D) float32; fine (N,)\n"
    "uint16 and residual (N, bytes) uint8 as encode_codes writes them;\n"
    "offsets (n_docs + 1,) int64; candidates (n,) int64. The order of\n"
    "operations and the bits are fixed (see the package's codes module).";

PyObject* code_maxsim(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("code_maxsim", nargs, 8, [&]() -> PyObject* {
        Borrowed query, centroids, fine, residual, offsets, candidates, out;
        CentroidView view;
        ResidualQuantiser quantiser;
        if (!query.borrow(args[0], "query", 2, bit(Element::Float32)) ||
            !borrow_quantiser(args[1], nullptr, args[2], centroids, view, quantiser) ||
            !fine.borrow(args[3], "fine", 1, bit(Element::UInt16)) ||
            !residual.borrow(args[4], "residual", 2, bit(Element::UInt8)) ||
            !offsets.borrow(args[5], "offsets", 1, bit(Element::Int64)) ||
            !candidates.borrow(args[6], "candidates", 1, bit(Element::Int64)) ||
            !out.borrow(args[7], "out", 1, bit(Element::Float32), /*writable=*/true))
            return nullptr;
        const uint64_t q = query.shape(0), n = candidates.shape(0);
        if (!check_code_store(query, view, quantiser, fine, residual, offsets)) return nullptr;
        if (out.shape(0) != n)
            return value_error_u64("out holds %llu scores; there are %llu candidates", out.shape(0), n);
        const CodeStoreView store{static_cast<const uint16_t*>(fine.data()),
                                  static_cast<const uint8_t*>(residual.data()), fine.shape(0),
                                  static_cast<const int64_t*>(offsets.data()), offsets.shape(0) - 1};
        // The centroid similarities split over the same pool as the scores.
        parallel::ScopedPool scoped(scoring_pool());
        code_maxsim_scores(static_cast<const float*>(query.data()), q, view, quantiser, store,
                           {static_cast<const int64_t*>(candidates.data()), static_cast<std::size_t>(n)},
                           static_cast<float*>(out.mutable_data()), &scoring_pool());
        Py_RETURN_NONE;
    });
}

PyObject* int64_bytes(const std::vector<int64_t>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(int64_t)));
}

const char token_lists_doc[] =
    "token_lists(fine, offsets, n_fine, /)\n--\n\n"
    "The inverted lists from each fine centroid to the documents holding a\n"
    "vector of that code: (starts, docs) as bytes of native int64, the\n"
    "documents of centroid c being docs[starts[c]:starts[c + 1]], increasing.\n"
    "fine: (N,) uint16; offsets: (n_docs + 1,) int64.";

PyObject* token_lists(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("token_lists", nargs, 3, [&]() -> PyObject* {
        Borrowed fine, offsets;
        if (!fine.borrow(args[0], "fine", 1, bit(Element::UInt16)) ||
            !offsets.borrow(args[1], "offsets", 1, bit(Element::Int64)))
            return nullptr;
        const unsigned long long n_fine = PyLong_AsUnsignedLongLong(args[2]);
        if (PyErr_Occurred()) return nullptr;
        if (!check_offsets(offsets)) return nullptr;
        const TokenLists lists =
            build_token_lists(static_cast<const uint16_t*>(fine.data()), fine.shape(0),
                              static_cast<const int64_t*>(offsets.data()), offsets.shape(0) - 1, n_fine);
        PyObject* starts = int64_bytes(lists.starts);
        PyObject* docs = starts ? int64_bytes(lists.docs) : nullptr;
        PyObject* pair = docs ? PyTuple_Pack(2, starts, docs) : nullptr;
        Py_XDECREF(starts);
        Py_XDECREF(docs);
        return pair;
    });
}

const char token_candidates_doc[] =
    "token_candidates(query, centroids, starts, docs, probe, /)\n--\n\n"
    "The documents (bytes of native int64, increasing, each once) in the lists\n"
    "of the `probe` fine centroids most similar to each query row. query:\n"
    "(Q, D) float32; centroids: (n_fine, D) float32; starts (n_fine + 1,) and\n"
    "docs int64 as token_lists gives them.";

PyObject* token_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("token_candidates", nargs, 5, [&]() -> PyObject* {
        Borrowed query, centroids, starts, docs;
        if (!query.borrow(args[0], "query", 2, bit(Element::Float32)) ||
            !centroids.borrow(args[1], "centroids", 2, bit(Element::Float32)) ||
            !starts.borrow(args[2], "starts", 1, bit(Element::Int64)) ||
            !docs.borrow(args[3], "docs", 1, bit(Element::Int64)))
            return nullptr;
        const unsigned long long probe = PyLong_AsUnsignedLongLong(args[4]);
        if (PyErr_Occurred()) return nullptr;
        const CentroidView view{static_cast<const float*>(centroids.data()), centroids.shape(0),
                                centroids.shape(1)};
        if (query.shape(0) > 0 && query.shape(1) != view.dim)
            return value_error_u64("query rows have %llu columns; the centroids have %llu", query.shape(1),
                                   view.dim);
        if (starts.shape(0) != view.n_fine + 1)
            return value_error_u64("starts holds %llu entries; %llu centroids need one more", starts.shape(0),
                                   view.n_fine);
        parallel::ScopedPool scoped(scoring_pool());
        return int64_bytes(token_candidates(static_cast<const float*>(query.data()), query.shape(0), view,
                                            static_cast<const int64_t*>(starts.data()),
                                            static_cast<const int64_t*>(docs.data()), docs.shape(0), probe));
    });
}

const char token_search_doc[] =
    "token_search(query, probes, centroids, levels, fine, residual, offsets, starts, docs, extra, skip,\n"
    "             score, shortlist, /)\n--\n\n"
    "The documents in the lists of the probes[j] fine centroids most similar to\n"
    "query row j, with the documents `extra`, less those marked in `skip`,\n"
    "increasing and each once, and (score true) their scores as code_maxsim\n"
    "gives them: (docs, scores) as bytes of native int64 and float32, scores\n"
    "None when not asked for. A nonzero `shortlist` keeps only that many\n"
    "documents, the best by their fine codes alone (for each row the largest\n"
    "similarity of a centroid the document's vectors hold, summed over the\n"
    "rows; ties to the lower document). The rows' similarities to the\n"
    "centroids are computed once for all. query: (Q, D) float32; probes: (Q,)\n"
    "int64, none negative; codes and offsets as code_maxsim takes them; starts\n"
    "and docs as token_lists gives them; extra: int64 document indices; skip:\n"
    "None or (n_docs,) uint8, nonzero for a document never to return.";

PyObject* token_search(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("token_search", nargs, 13, [&]() -> PyObject* {
        Borrowed query, probes, centroids, fine, residual, offsets, starts, docs, extra, skip;
        CentroidView view;
        ResidualQuantiser quantiser;
        if (!query.borrow(args[0], "query", 2, bit(Element::Float32)) ||
            !probes.borrow(args[1], "probes", 1, bit(Element::Int64)) ||
            !borrow_quantiser(args[2], nullptr, args[3], centroids, view, quantiser) ||
            !fine.borrow(args[4], "fine", 1, bit(Element::UInt16)) ||
            !residual.borrow(args[5], "residual", 2, bit(Element::UInt8)) ||
            !offsets.borrow(args[6], "offsets", 1, bit(Element::Int64)) ||
            !starts.borrow(args[7], "starts", 1, bit(Element::Int64)) ||
            !docs.borrow(args[8], "docs", 1, bit(Element::Int64)) ||
            !extra.borrow(args[9], "extra", 1, bit(Element::Int64)) ||
            (args[10] != Py_None && !skip.borrow(args[10], "skip", 1, bit(Element::UInt8))))
            return nullptr;
        const int score = PyObject_IsTrue(args[11]);
        if (score < 0) return nullptr;
        const unsigned long long shortlist = PyLong_AsUnsignedLongLong(args[12]);
        if (PyErr_Occurred()) return nullptr;
        const uint64_t q = query.shape(0);
        if (!check_code_store(query, view, quantiser, fine, residual, offsets)) return nullptr;
        if (starts.shape(0) != view.n_fine + 1)
            return value_error_u64("starts holds %llu entries; %llu centroids need one more", starts.shape(0),
                                   view.n_fine);
        const uint64_t n_docs = offsets.shape(0) - 1;
        if (args[10] != Py_None && skip.shape(0) != n_docs)
            return value_error_u64("skip holds %llu flags; there are %llu documents", skip.shape(0), n_docs);
        if (probes.shape(0) != q)
            return value_error_u64("probes holds %llu counts; the query has %llu rows", probes.shape(0), q);
        const auto* given = static_cast<const int64_t*>(probes.data());
        std::vector<uint64_t> counts(static_cast<std::size_t>(q));
        for (std::size_t j = 0; j < counts.size(); ++j) {
            if (given[j] < 0)
                return PyErr_Format(PyExc_ValueError, "probes must not be negative, got %lld",
                                    static_cast<long long>(given[j]));
            counts[j] = static_cast<uint64_t>(given[j]);
        }
        const CodeStoreView store{static_cast<const uint16_t*>(fine.data()),
                                  static_cast<const uint8_t*>(residual.data()), fine.shape(0),
                                  static_cast<const int64_t*>(offsets.data()), n_docs};
        const TokenListsView lists{static_cast<const int64_t*>(starts.data()),
                                   static_cast<const int64_t*>(docs.data()), docs.shape(0)};
        parallel::ScopedPool scoped(scoring_pool());
        const TokenSearch found = qor::token_search(
            static_cast<const float*>(query.data()), q, view, quantiser, store, lists, counts,
            {static_cast<const int64_t*>(extra.data()), static_cast<std::size_t>(extra.shape(0))},
            args[10] == Py_None ? nullptr : static_cast<const uint8_t*>(skip.data()), score != 0,
            &scoring_pool(), shortlist);
        PyObject* found_docs = int64_bytes(found.docs);
        if (found_docs == nullptr) return nullptr;
        PyObject* found_scores =
            score ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(found.scores.data()),
                                              static_cast<Py_ssize_t>(found.scores.size() * sizeof(float)))
                  : Py_NewRef(Py_None);
        if (found_scores == nullptr) {
            Py_DECREF(found_docs);
            return nullptr;
        }
        PyObject* pair = PyTuple_Pack(2, found_docs, found_scores);
        Py_DECREF(found_docs);
        Py_DECREF(found_scores);
        return pair;
    });
}

const char set_num_threads_doc[] =
    "set_num_threads(n, /)\n--\n\n"
    "Sizes the scoring pool: n threads in all, the calling one included; 0\n"
    "returns to the default (RAYON_NUM_THREADS, else the processors available).";

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return bound_function("set_num_threads", nargs, 1, [&]() -> PyObject* {
        const unsigned long long n = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        if (n == 0) {
            g_pool.reset();
        } else if (g_pool == nullptr || g_pool_threads != n || g_pool_pid != ::getpid()) {
            if (g_pool != nullptr && g_pool_pid != ::getpid()) (void)g_pool.release();
            g_pool.reset();  // joins the old workers before the new ones start
            g_pool = std::make_unique<parallel::ThreadPool>(static_cast<std::size_t>(n));
            g_pool_threads = static_cast<std::size_t>(n);
            g_pool_pid = ::getpid();
        }
        Py_RETURN_NONE;
    });
}

const char get_num_threads_doc[] =
    "get_num_threads()\n--\n\n"
    "Threads of the scoring pool, the calling one included.";

PyObject* get_num_threads(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    return bound_function("get_num_threads", nargs, 0,
                          [&]() -> PyObject* { return PyLong_FromSize_t(scoring_pool().threads()); });
}

#define QOR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL

PyMethodDef methods[] = {
    {"maxsim", QOR_FASTCALL(&maxsim), maxsim_doc},
    {"read_state", QOR_FASTCALL(&read_state), read_state_doc},
    {"codebook_only_state", QOR_FASTCALL(&codebook_only_state), codebook_only_state_doc},
    {"codebook_identity", QOR_FASTCALL(&codebook_identity), codebook_identity_doc},
    {"fine_centroids", QOR_FASTCALL(&fine_centroids), fine_centroids_doc},
    {"train_quantiser", QOR_FASTCALL(&train_quantiser), train_quantiser_doc},
    {"encode_codes", QOR_FASTCALL(&encode_codes), encode_codes_doc},
    {"code_maxsim", QOR_FASTCALL(&code_maxsim), code_maxsim_doc},
    {"token_lists", QOR_FASTCALL(&token_lists), token_lists_doc},
    {"token_candidates", QOR_FASTCALL(&token_candidates), token_candidates_doc},
    {"token_search", QOR_FASTCALL(&token_search), token_search_doc},
    {"set_num_threads", QOR_FASTCALL(&set_num_threads), set_num_threads_doc},
    {"get_num_threads", QOR_FASTCALL(&get_num_threads), get_num_threads_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nuvaris_qor_search._native",
    "The search package's native core: exact MaxSim, residual codes and router state summaries.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

}  // namespace

}  // namespace qor::search

PyMODINIT_FUNC PyInit__native(void) {
    return PyModule_Create(&qor::search::module_def);
}
