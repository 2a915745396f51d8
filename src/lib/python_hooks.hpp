// The hooks a method installs for the core while it works: pending signals
// are handled between chunks of work (a handler that raises, such as the
// default SIGINT handler, stops the call), and progress lines go to the
// logger named "nuvaris_qor_router" at INFO level.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "parallel/call_hooks.hpp"

namespace qor::py {

// One per call, on the calling thread, which holds the interpreter lock.
// Once it has asked the core to stop, the Python exception that caused it is
// set and stays set; the method then returns nullptr (stopped() is true).
class PythonHooks final : public qor::CallHooks {
public:
    PythonHooks() : scope_(this) {}

    bool interrupted() override;
    bool progress_enabled() override;
    bool report(const std::string& line) override;
    // Runs `wait` without the interpreter lock.
    void blocking(void (*wait)(void*), void* arg) override;

    bool stopped() const { return stopped_; }

private:
    qor::HooksScope scope_;
    int enabled_ = -1;  // -1 not asked yet, then 0 or 1
    bool stopped_ = false;
};

}  // namespace qor::py
