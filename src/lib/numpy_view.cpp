// The only file that calls the NumPy C API. The API table is taken from
// NumPy's capsule on the first matrix conversion rather than at import, so
// importing the module never imports NumPy, and the same binary serves
// NumPy 1.x and 2.x: only table entries and array field accessors present in
// both are used.
#include "lib/numpy_view.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <string>

#include "lib/python_errors.hpp"

namespace qor::py {

namespace {

constexpr int FLOAT32_TYPE_NUMBER = 11;  // NPY_FLOAT in NumPy 1.x and 2.x

// Major version of the running NumPy, through numpy.lib.NumpyVersion.
// Returns -1 with a Python error set on failure.
long numpy_major_version() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    long major = -1;
    PyObject* version = PyObject_GetAttrString(numpy, "__version__");
    PyObject* lib = version ? PyImport_ImportModule("numpy.lib") : nullptr;
    PyObject* parsed = lib ? PyObject_CallMethod(lib, "NumpyVersion", "O", version) : nullptr;
    PyObject* major_obj = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
    if (major_obj != nullptr) major = PyLong_AsLong(major_obj);
    Py_XDECREF(major_obj);
    Py_XDECREF(parsed);
    Py_XDECREF(lib);
    Py_XDECREF(version);
    Py_DECREF(numpy);
    return major;
}

void** fetch_api_table() {
    const long major = numpy_major_version();
    if (major < 0) return nullptr;
    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    Py_DECREF(module);
    if (capsule == nullptr) return nullptr;
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    // The capsule lives in NumPy's extension module, which is never unloaded,
    // so the table outlives this reference.
    Py_DECREF(capsule);
    return static_cast<void**>(table);
}

// Loads PyArray_API once; on failure raises PanicException (chained to the
// underlying error's text) and returns false, and the next call tries again.
bool ensure_numpy_api() {
    if (PyArray_API != nullptr) return true;
    void** table = fetch_api_table();
    if (table == nullptr) {
        std::string message = "Failed to access NumPy array API capsule";
        PyObject* cause = take_exception();
        if (cause != nullptr) {
            PyObject* text = PyObject_Str(cause);
            const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
            if (utf8 != nullptr) {
                message += ": ";
                message += utf8;
            }
            PyErr_Clear();
            Py_XDECREF(text);
        }
        raise_panic(message.c_str());
        if (cause != nullptr) {
            PyObject* panic = take_exception();
            if (panic != nullptr) {
                PyException_SetCause(panic, cause);  // steals cause
                restore_exception(panic);
            } else {
                Py_DECREF(cause);
            }
        }
        return false;
    }
    PyArray_API = table;
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return true;
}

}  // namespace

bool MatrixArg::convert(PyObject* obj) {
    if (!ensure_numpy_api()) return false;
    if (!PyArray_Check(obj)) return raise_downcast(obj, "PyArray<T, D>");
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 2) return raise_downcast(obj, "PyArray<T, D>");
    PyArray_Descr* float32 = PyArray_DescrFromType(FLOAT32_TYPE_NUMBER);
    if (float32 == nullptr) return false;
    PyArray_Descr* descr = PyArray_DESCR(arr);
    const bool same = descr == float32 || PyArray_EquivTypes(descr, float32);
    Py_DECREF(float32);
    if (!same) return raise_downcast(obj, "PyArray<T, D>");

    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    constexpr npy_intp item = static_cast<npy_intp>(sizeof(float));
    Py_INCREF(obj);
    Py_XDECREF(array_);
    array_ = obj;
    view_.data = static_cast<const float*>(PyArray_DATA(arr));
    view_.rows = static_cast<uint64_t>(dims[0]);
    view_.cols = static_cast<uint64_t>(dims[1]);
    view_.row_stride = static_cast<int64_t>(strides[0] / item);
    view_.col_stride = static_cast<int64_t>(strides[1] / item);
    view_.whole_float_strides = strides[0] % item == 0 && strides[1] % item == 0;
    return true;
}

}  // namespace qor::py
