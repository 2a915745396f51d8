// Error types of the core. The core reports a caller mistake and a broken
// internal invariant as two distinct C++ exception types; the Python boundary
// is the only place that turns them into Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace qor {

// Input the caller can correct (wrong width, layout, state missing, input
// beyond a representation limit). Raised to Python as ValueError carrying
// exactly what().
class InvalidInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A violated internal invariant (a row range outside the matrix, a shape
// check inside encoding, an inconsistent state). Raised to Python as
// PanicException; never terminates the process.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace qor
