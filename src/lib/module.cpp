// Placeholder module init; replaced by the Python boundary.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef qor_module = {PyModuleDef_HEAD_INIT, "nuvaris_qor_router", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_nuvaris_qor_router(void) { return PyModule_Create(&qor_module); }
