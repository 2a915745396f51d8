// Module initialisation: single-phase, one interpreter per process. The
// module object is created once and handed out again on a repeated import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "lib/python_errors.hpp"
#include "lib/router_type.hpp"

namespace {

// m_size 0 (not -1) so that a repeated import calls the init function again,
// which then returns the cached module instead of a copy of its dict.
PyModuleDef qor_module = {
    PyModuleDef_HEAD_INIT, "nuvaris_qor_router", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The distribution's version, set by the build (scikit-build-core passes it).
#ifndef QOR_VERSION
#define QOR_VERSION "0+unknown"
#endif

PyObject* g_module = nullptr;   // the one module object, kept for the process
int64_t g_interpreter_id = -1;  // the interpreter that imported it first

// Adds `value` (stolen) as attribute `name`; false with an error set.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* create_module() {
    PyObject* module = PyModule_Create(&qor_module);
    if (module == nullptr) return nullptr;
    PyObject* type = qor::py::create_router_type();
    PyObject* all = type ? PyList_New(0) : nullptr;
    bool ok = all != nullptr;
    if (ok) {
        PyObject* name = PyUnicode_FromString("PyQorRouter");
        ok = name != nullptr && PyList_Append(all, name) == 0;
        Py_XDECREF(name);
    }
    ok = ok && add_attribute(module, "__all__", Py_NewRef(all)) &&
         add_attribute(module, "PyQorRouter", Py_NewRef(type));
    PyObject* panic = ok ? qor::py::panic_exception_type() : nullptr;
    ok = ok && panic != nullptr && add_attribute(module, "PanicException", Py_NewRef(panic));
    ok = ok && add_attribute(module, "__version__", PyUnicode_FromString(QOR_VERSION));
    Py_XDECREF(all);
    Py_XDECREF(type);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_nuvaris_qor_router(void) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_interpreter_id >= 0 && g_interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "nuvaris_qor_router can be imported by only one interpreter per process; "
                        "it is already loaded in another interpreter");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    g_interpreter_id = interpreter;
    g_module = Py_NewRef(module);
    return module;
}
