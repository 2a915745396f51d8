// Argument converters and result builders.
#include "lib/convert.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

#include "lib/python_errors.hpp"

namespace qor::py {

namespace {

// Steps shared by the id list and the (start, end) list: refuse str and
// non-sequences, size the output from the length when the object tells it,
// and return a new iterator (nullptr with an error set on failure).
template <class T>
PyObject* open_sequence(PyObject* obj, std::vector<T>* out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return nullptr;
    }
    if (!PySequence_Check(obj)) {
        raise_downcast(obj, "Sequence");
        return nullptr;
    }
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // The length is only a hint: a __len__ that overstates it must not
        // turn into a MemoryError, so a reservation that cannot be made is
        // skipped and the list grows as items arrive.
        try {
            out->reserve(static_cast<std::size_t>(hint));
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
    }
    return PyObject_GetIter(obj);
}

// Runs `item_fn` on every item of the iteration; false at the first failure.
template <class T, class Fn>
bool for_each_item(PyObject* obj, std::vector<T>* out, Fn item_fn) {
    PyObject* iter = open_sequence(obj, out);
    if (iter == nullptr) return false;
    bool ok = true;
    while (PyObject* item = PyIter_Next(iter)) {
        ok = item_fn(item);
        Py_DECREF(item);
        if (!ok) break;
    }
    Py_DECREF(iter);
    return ok && !PyErr_Occurred();
}

}  // namespace

bool to_u64(PyObject* obj, uint64_t* out) {
    PyObject* value = nullptr;
    if (PyLong_Check(obj)) {
        value = Py_NewRef(obj);
    } else {
        value = PyNumber_Index(obj);
        if (value == nullptr) return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    Py_DECREF(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = static_cast<uint64_t>(v);
    return true;
}

bool to_id_list(PyObject* obj, std::vector<uint64_t>* out) {
    return for_each_item(obj, out, [out](PyObject* item) {
        uint64_t v = 0;
        if (!to_u64(item, &v)) return false;
        out->push_back(v);
        return true;
    });
}

bool to_range_list(PyObject* obj, std::vector<qor::DocRange>* out) {
    return for_each_item(obj, out, [out](PyObject* item) {
        if (!PyTuple_Check(item)) return raise_downcast(item, "PyTuple");
        const Py_ssize_t n = PyTuple_GET_SIZE(item);
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
            return false;
        }
        qor::DocRange range{};
        if (!to_u64(PyTuple_GET_ITEM(item, 0), &range.first)) return false;
        if (!to_u64(PyTuple_GET_ITEM(item, 1), &range.second)) return false;
        out->push_back(range);
        return true;
    });
}

bool to_path(PyObject* obj, std::string* out) {
    if (!PyUnicode_Check(obj)) return raise_downcast(obj, "PyString");
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return false;
    out->assign(utf8, static_cast<std::size_t>(len));
    return true;
}

void name_argument_error(const char* parameter) {
    if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) return;
    PyObject* old = take_exception();
    if (old == nullptr) return;
    PyObject* text = PyObject_Str(old);
    if (text == nullptr) {
        // Keep the original error rather than losing both.
        PyErr_Clear();
        restore_exception(old);
        return;
    }
    PyObject* renamed = PyUnicode_FromFormat("argument '%s': %U", parameter, text);
    Py_DECREF(text);
    PyObject* fresh = renamed ? PyObject_CallOneArg(PyExc_TypeError, renamed) : nullptr;
    Py_XDECREF(renamed);
    if (fresh == nullptr) {
        Py_DECREF(old);
        return;  // the failure to build the new error is the error
    }
    PyException_SetCause(fresh, PyException_GetCause(old));  // steals the new reference
    Py_DECREF(old);
    PyErr_SetObject(PyExc_TypeError, fresh);
    Py_DECREF(fresh);
}

namespace {

// A 2-tuple taking ownership of both items (either may be nullptr).
PyObject* pair(PyObject* a, PyObject* b) {
    if (a == nullptr || b == nullptr) {
        Py_XDECREF(a);
        Py_XDECREF(b);
        return nullptr;
    }
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) {
        Py_DECREF(a);
        Py_DECREF(b);
        return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, a);
    PyTuple_SET_ITEM(t, 1, b);
    return t;
}

// A list of values.size() items made by make(value); new reference.
template <class T, class Make>
PyObject* build_list(const std::vector<T>& values, Make make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace

PyObject* build_scored_docs(const std::vector<qor::ScoredDoc>& docs) {
    return build_list(docs, [](const qor::ScoredDoc& d) {
        return pair(PyLong_FromUnsignedLongLong(d.doc_id), PyFloat_FromDouble(static_cast<double>(d.score)));
    });
}

PyObject* build_u64_list(const std::vector<uint64_t>& values) {
    return build_list(values, [](uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

PyObject* build_query_profile(const qor::QueryProfile& profile) {
    // Fine codes and coarse ids are bounded by the codebook sizes, far below
    // the range of a C long.
    auto make = [](uint32_t v) { return PyLong_FromLong(static_cast<long>(v)); };
    return pair(build_list(profile.centroid_ids, make), build_list(profile.ctop, make));
}

PyObject* build_overlaps(const std::vector<qor::DocOverlap>& overlaps) {
    return build_list(overlaps, [](const qor::DocOverlap& d) {
        return pair(PyLong_FromUnsignedLongLong(d.doc_id), PyLong_FromUnsignedLongLong(d.overlap));
    });
}

}  // namespace qor::py
