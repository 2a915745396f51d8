// Borrowing the package's arrays through the buffer protocol. The package
// hands over C-contiguous NumPy arrays (memory-mapped or not) of the types
// named below; nothing is copied, and no NumPy header is needed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace qor::search {

enum class Element { Float32, Float16, Int64, UInt8, UInt16 };

// One borrowed buffer for the duration of a call; released on destruction
// (the interpreter lock is held throughout, so the exporter cannot resize it).
class Borrowed {
public:
    Borrowed() = default;
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    ~Borrowed() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes `obj` as a C-contiguous array of `ndim` dimensions whose items are
    // one of `accepted` (a bit set of 1 << Element); `writable` asks for a
    // writable one. Otherwise sets TypeError "{what} must be a C-contiguous
    // {ndim}-D array of {types}, got ..." and returns false.
    bool borrow(PyObject* obj, const char* what, int ndim, unsigned accepted, bool writable = false);

    Element element() const { return element_; }
    const void* data() const { return view_.buf; }
    void* mutable_data() const { return view_.buf; }
    uint64_t shape(int axis) const { return static_cast<uint64_t>(view_.shape[axis]); }

private:
    Py_buffer view_{};
    bool held_ = false;
    Element element_ = Element::Float32;
};

inline constexpr unsigned bit(Element e) {
    return 1u << static_cast<unsigned>(e);
}

}  // namespace qor::search
