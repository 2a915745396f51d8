#include "search_lib/buffers.hpp"

#include <cstring>
#include <string>

namespace qor::search {

namespace {

// The element type of a struct-module format string of one native-order or
// little-endian item, if it is one the package passes.
bool element_of(const char* format, Py_ssize_t itemsize, Element* out) {
    if (format == nullptr) format = "B";
    if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
    if (std::strlen(format) != 1) return false;
    switch (format[0]) {
        case 'f':
            *out = Element::Float32;
            return itemsize == 4;
        case 'e':
            *out = Element::Float16;
            return itemsize == 2;
        case 'q':
        case 'l':
            *out = Element::Int64;
            return itemsize == 8;
        case 'B':
            *out = Element::UInt8;
            return itemsize == 1;
        case 'H':
            *out = Element::UInt16;
            return itemsize == 2;
        default:
            return false;
    }
}

std::string accepted_names(unsigned accepted) {
    std::string out;
    const char* names[] = {"float32", "float16", "int64", "uint8", "uint16"};
    for (unsigned e = 0; e < 5; ++e)
        if (accepted & (1u << e)) out += out.empty() ? names[e] : std::string(" or ") + names[e];
    return out;
}

}  // namespace

bool Borrowed::borrow(PyObject* obj, const char* what, int ndim, unsigned accepted, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    const std::string wanted = std::string(what) + " must be a C-contiguous " +
                               (writable ? "writable " : "") + std::to_string(ndim) + "-D array of " +
                               accepted_names(accepted);
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s, got %s", wanted.c_str(), Py_TYPE(obj)->tp_name);
        return false;
    }
    held_ = true;
    Element e;
    if (view_.ndim != ndim || !element_of(view_.format, view_.itemsize, &e) || (accepted & bit(e)) == 0) {
        PyErr_Format(PyExc_TypeError, "%s, got %d-D items of format '%s'", wanted.c_str(), view_.ndim,
                     view_.format ? view_.format : "B");
        return false;
    }
    element_ = e;
    return true;
}

}  // namespace qor::search
