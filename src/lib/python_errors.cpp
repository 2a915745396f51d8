// C++ exception -> Python exception at the method boundary.
#include "lib/python_errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/errors.hpp"
#include "parallel/call_hooks.hpp"

namespace qor::py {

namespace {
PyObject* g_panic_type = nullptr;  // created once, never released
}

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "nuvaris_qor_router.PanicException",
            "Raised when the router detects a broken internal invariant. Derived from "
            "BaseException so that ordinary `except Exception` handlers do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

PyObject* raise_value_error(const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const qor::CallInterrupted&) {
        // The call's hooks stopped it; the Python exception that asked for
        // the stop (KeyboardInterrupt, or whatever a handler raised) is set.
        if (!PyErr_Occurred()) raise_panic("call stopped without a pending exception");
    } catch (const qor::InvalidInput& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // Raised by a container asked for more elements than it can address.
        PyErr_NoMemory();
    } catch (const qor::InternalFailure& e) {
        raise_panic(e.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return nullptr;
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

bool raise_downcast(PyObject* obj, const char* target) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (name == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
    return false;
}

}  // namespace qor::py
