// Converters from Python arguments to native values, and builders of the
// Python results. Every converter returns false with a Python exception set
// on failure; the caller then applies name_argument_error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "router/router.hpp"

namespace qor::py {

// An int (or int subclass, bool included) as is; anything else through the
// index protocol; then to unsigned 64-bit (OverflowError when negative or
// too large).
bool to_u64(PyObject* obj, uint64_t* out);

// A sequence other than str, iterated; each item as to_u64.
bool to_id_list(PyObject* obj, std::vector<uint64_t>* out);

// A sequence other than str, iterated; each item a tuple of exactly two
// items, each as to_u64.
bool to_range_list(PyObject* obj, std::vector<qor::DocRange>* out);

// A str (or subclass) as its UTF-8 bytes. A path holding a NUL character is
// refused with ValueError "embedded null byte", because the file system
// would silently cut it short there.
bool to_path(PyObject* obj, std::string* out);

// Called after a failed conversion of `parameter`: an exception of exactly
// TypeError is replaced by TypeError "argument '{parameter}': {message}"
// carrying the old exception's cause; any other exception is left as is.
void name_argument_error(const char* parameter);

// Result builders; each returns a new reference or nullptr with an error set.
PyObject* build_scored_docs(const std::vector<qor::ScoredDoc>& docs);
PyObject* build_u64_list(const std::vector<uint64_t>& values);
PyObject* build_query_profile(const qor::QueryProfile& profile);
PyObject* build_overlaps(const std::vector<qor::DocOverlap>& overlaps);

}  // namespace qor::py
