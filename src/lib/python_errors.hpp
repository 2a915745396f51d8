// Python exceptions raised by the binding and the translation of C++
// exceptions that escape the core into them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace qor::py {

// The module's PanicException type (a direct subclass of BaseException),
// created on the first call and kept for the life of the process. Borrowed
// reference; nullptr with a Python error set if creation failed.
PyObject* panic_exception_type();

// Sets ValueError carrying `message`, which may hold bytes from the operating
// system: invalid UTF-8 is replaced rather than turning into a decoding
// error. Always returns nullptr.
PyObject* raise_value_error(const std::string& message);

// Sets PanicException carrying `message`. Always returns nullptr.
PyObject* raise_panic(const char* message);

// Call only from inside a catch block: maps the exception in flight to a
// Python exception (CallInterrupted -> the exception already set by the
// call's hooks, InvalidInput -> ValueError, bad_alloc and length_error -> MemoryError,
// everything else -> PanicException). Always returns nullptr.
PyObject* translate_current_exception() noexcept;

// Moves the raised exception out of the error indicator (normalised; new
// reference), or returns nullptr when none is set.
PyObject* take_exception();

// Raises `exc` again; steals the reference.
void restore_exception(PyObject* exc);

// Sets TypeError "'{qualified type name of obj}' object cannot be converted
// to '{target}'". Always returns false.
//
// Pinned wordings: this message and its targets ('PyString', 'Sequence',
// 'PyArray<T, D>'), "Can't extract `str` to `Vec`", the access conflicts
// ("Already borrowed", "Already mutably borrowed") are kept word for word
// for compatibility with callers that match them, although they name no
// type of this module.
bool raise_downcast(PyObject* obj, const char* target);

}  // namespace qor::py
