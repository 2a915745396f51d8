// The one argument binder: maps a call's positional and keyword arguments
// onto a method's parameter slots, with the interpreter-style TypeErrors for
// too many positionals, unknown or duplicated keywords and missing required
// parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace qor::py {

inline constexpr std::size_t MAX_PARAMS = 7;

// One parameter list. The first `required` parameters must be given; an
// optional parameter left out takes its native default (defaults[i]; only
// unsigned-integer parameters are optional).
struct Signature {
    const char* full_name;  // "PyQorRouter.build()", used in every message
    std::size_t count;
    std::size_t required;
    std::array<const char*, MAX_PARAMS> names;
    std::array<uint64_t, MAX_PARAMS> defaults;
};

// Slot i is the borrowed argument bound to parameter i, or nullptr when the
// parameter was left out.
using Slots = std::array<PyObject*, MAX_PARAMS>;

// Fast-call form: args[0..nargs) positional, then one value per name in
// kwnames (a tuple or nullptr). Returns false with TypeError set on failure.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Slots& slots);

// Tuple-and-dict form used by __new__ (kwargs may be nullptr).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots);

// Parameter tables, one per method with parameters.
namespace sig {
extern const Signature new_;
extern const Signature build;
extern const Signature add_documents;
extern const Signature route_query;
extern const Signature get_cluster_entries;
extern const Signature compute_query_profile;
extern const Signature query_cluster_overlaps;
extern const Signature save;
extern const Signature load;
}  // namespace sig

// Slot numbers by parameter name, in the order of the tables above.
namespace slot {
struct new_ {
    enum : std::size_t { dim };
};
struct build {
    enum : std::size_t { all_vectors, doc_ids, doc_offsets, n_fine, n_coarse, max_kmeans_iter, ctop_r };
};
struct add_documents {
    enum : std::size_t { new_vectors, new_doc_ids, doc_offsets };
};
// route_query, and the first two of the three other query methods.
struct query {
    enum : std::size_t { query_vectors, n_probes, max_candidates };
};
// save and load.
struct path_only {
    enum : std::size_t { path };
};
}  // namespace slot

}  // namespace qor::py
