// Borrowing a NumPy float32 matrix as a read-only view, without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/matrix.hpp"

namespace qor::py {

// A matrix argument for the duration of one call: a strong reference to the
// array keeps its memory alive while the view is read; released on
// destruction (the interpreter lock is held throughout every call).
class MatrixArg {
public:
    MatrixArg() = default;
    MatrixArg(const MatrixArg&) = delete;
    MatrixArg& operator=(const MatrixArg&) = delete;
    ~MatrixArg() { Py_XDECREF(array_); }

    const qor::MatrixRef& view() const { return view_; }

    // Accepts a numpy.ndarray (or subclass) with 2 dimensions and a dtype
    // equivalent to native float32. Otherwise sets TypeError "'{type}'
    // object cannot be converted to 'PyArray<T, D>'" and returns false. The
    // NumPy C API is loaded on the first call; if that fails, sets
    // PanicException "Failed to access NumPy array API capsule: ...".
    bool convert(PyObject* obj);

private:
    PyObject* array_ = nullptr;
    qor::MatrixRef view_{};
};

}  // namespace qor::py
