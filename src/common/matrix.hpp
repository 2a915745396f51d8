// A borrowed, read-only view of a float32 matrix with element strides.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

struct MatrixRef {
    const float* data = nullptr;
    uint64_t rows = 0;
    uint64_t cols = 0;
    int64_t row_stride = 0;  // in elements; may be negative
    int64_t col_stride = 1;  // in elements; may be negative
    // False when a byte stride of the source array was not a whole number of
    // floats; such a view is never treated as contiguous.
    bool whole_float_strides = true;

    // C-contiguous: no rows or no columns, or (one column or unit column
    // stride) and (one row or row stride equal to the column count). A
    // contiguous view is read as rows x cols consecutive floats from data.
    bool c_contiguous() const {
        if (rows == 0 || cols == 0) return true;
        if (!whole_float_strides) return false;
        const bool cols_ok = cols == 1 || col_stride == 1;
        const bool rows_ok = rows == 1 || (row_stride >= 0 && static_cast<uint64_t>(row_stride) == cols);
        return cols_ok && rows_ok;
    }

    float at(uint64_t i, uint64_t j) const {
        return data[static_cast<int64_t>(i) * row_stride + static_cast<int64_t>(j) * col_stride];
    }

    // A contiguous row-major view of rows x cols floats.
    static MatrixRef contiguous(const float* p, uint64_t rows, uint64_t cols) {
        return MatrixRef{p, rows, cols, static_cast<int64_t>(cols), 1};
    }
};

}  // namespace qor
