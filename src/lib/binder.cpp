// Argument binding shared by every method and the constructor.
#include "lib/binder.hpp"

#include <cstring>
#include <string>
#include <string_view>

namespace qor::py {

namespace sig {
const Signature new_{"PyQorRouter.__new__()", 1, 1, {"dim"}, {}};
const Signature build{
    "PyQorRouter.build()",
    7,
    3,
    {"all_vectors", "doc_ids", "doc_offsets", "n_fine", "n_coarse", "max_kmeans_iter", "ctop_r"},
    {0, 0, 0, 256, 32, 30, 3}};
const Signature add_documents{
    "PyQorRouter.add_documents()", 3, 3, {"new_vectors", "new_doc_ids", "doc_offsets"}, {}};
const Signature route_query{
    "PyQorRouter.route_query()", 3, 1, {"query_vectors", "n_probes", "max_candidates"}, {0, 4, 500}};
const Signature get_cluster_entries{
    "PyQorRouter.get_cluster_entries()", 2, 1, {"query_vectors", "n_probes"}, {0, 4}};
const Signature compute_query_profile{
    "PyQorRouter.compute_query_profile()", 2, 1, {"query_vectors", "n_probes"}, {0, 4}};
const Signature query_cluster_overlaps{
    "PyQorRouter.query_cluster_overlaps()", 2, 1, {"query_vectors", "n_probes"}, {0, 4}};
const Signature save{"PyQorRouter.save()", 1, 1, {"path"}, {}};
const Signature load{"PyQorRouter.load()", 1, 1, {"path"}, {}};
}  // namespace sig

namespace {

bool fill_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Slots& slots) {
    slots.fill(nullptr);
    const auto given = static_cast<std::size_t>(nargs);
    if (given > sig.count) {
        if (sig.required == sig.count)
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                         sig.full_name, sig.count, nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd were given",
                         sig.full_name, sig.required, sig.count, nargs);
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    return true;
}

// Binds one keyword. The name is compared as UTF-8 bytes; a name that has no
// UTF-8 form (a lone surrogate, or not a str at all) matches no parameter.
bool fill_keyword(const Signature& sig, PyObject* key, PyObject* value, Slots& slots) {
    std::string_view text;
    bool have_text = false;
    if (PyUnicode_Check(key)) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
        if (utf8 != nullptr) {
            text = std::string_view(utf8, static_cast<std::size_t>(len));
            have_text = true;
        } else {
            PyErr_Clear();
        }
    }
    if (have_text) {
        for (std::size_t i = 0; i < sig.count; ++i) {
            if (text != sig.names[i]) continue;
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                             sig.names[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    if (PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, key);
    else
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, key);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
bool check_required(const Signature& sig, const Slots& slots) {
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) ++missing_count;
    if (missing_count == 0) return true;
    std::string names;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] != nullptr) continue;
        ++seen;
        if (seen > 1) {
            if (missing_count > 2) names += ",";
            names += seen == missing_count ? " and " : " ";
        }
        names += "'";
        names += sig.names[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name, missing_count,
                 missing_count == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Slots& slots) {
    if (!fill_positional(sig, args, nargs, slots)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!fill_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots) {
    if (!fill_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!fill_keyword(sig, key, value, slots)) return false;
    }
    return check_required(sig, slots);
}

}  // namespace qor::py
