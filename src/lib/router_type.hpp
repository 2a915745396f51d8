// The PyQorRouter type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qor::py {

// Creates the PyQorRouter heap type (new reference, or nullptr with an
// error set). Called once, from module initialisation.
PyObject* create_router_type();

}  // namespace qor::py
