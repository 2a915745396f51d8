#include "lib/python_hooks.hpp"

namespace qor::py {

namespace {

constexpr int LOG_INFO = 20;  // logging.INFO

// logging.getLogger("nuvaris_qor_router"), looked up once and kept for the
// process (the logging module keeps one logger per name anyway). Borrowed;
// nullptr with an error set on failure.
PyObject* module_logger() {
    static PyObject* logger = nullptr;
    if (logger != nullptr) return logger;
    PyObject* logging = PyImport_ImportModule("logging");
    if (logging == nullptr) return nullptr;
    logger = PyObject_CallMethod(logging, "getLogger", "s", "nuvaris_qor_router");
    Py_DECREF(logging);
    return logger;
}

}  // namespace

bool PythonHooks::interrupted() {
    if (!stopped_ && PyErr_CheckSignals() != 0) stopped_ = true;
    return stopped_;
}

bool PythonHooks::progress_enabled() {
    if (stopped_) return true;  // lets report() tell the core to stop
    if (enabled_ < 0) {
        PyObject* logger = module_logger();
        PyObject* on = logger ? PyObject_CallMethod(logger, "isEnabledFor", "i", LOG_INFO) : nullptr;
        const int truth = on ? PyObject_IsTrue(on) : -1;
        Py_XDECREF(on);
        if (truth < 0) {
            stopped_ = true;
            return true;
        }
        enabled_ = truth;
    }
    return enabled_ == 1;
}

bool PythonHooks::report(const std::string& line) {
    if (stopped_) return false;
    PyObject* logger = module_logger();
    PyObject* text =
        logger ? PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace") : nullptr;
    PyObject* done = text ? PyObject_CallMethod(logger, "info", "sO", "%s", text) : nullptr;
    Py_XDECREF(text);
    if (done == nullptr) {
        stopped_ = true;
        return false;
    }
    Py_DECREF(done);
    return true;
}

void PythonHooks::blocking(void (*wait)(void*), void* arg) {
    Py_BEGIN_ALLOW_THREADS wait(arg);
    Py_END_ALLOW_THREADS
}

}  // namespace qor::py
