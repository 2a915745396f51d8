#include "codebook/normalize.hpp"

#include <cmath>

namespace qor {

namespace {

float row_divisor(const MatrixRef& m, uint64_t i) {
    float sum = 0.0f;
    for (uint64_t j = 0; j < m.cols; ++j) {
        const float v = m.at(i, j);
        const float sq = v * v;
        sum = sum + sq;
    }
    const float norm = std::sqrt(sum);
    return norm < NORM_FLOOR ? NORM_FLOOR : norm;  // false for NaN: a NaN norm stays NaN
}

}  // namespace

std::vector<float> row_divisors(const MatrixRef& m) {
    std::vector<float> out(static_cast<std::size_t>(m.rows));
    for (uint64_t i = 0; i < m.rows; ++i) out[i] = row_divisor(m, i);
    return out;
}

void divide_row(const float* row, uint64_t cols, float divisor, float* __restrict dst) {
    for (uint64_t j = 0; j < cols; ++j) dst[j] = row[j] / divisor;
}

std::vector<float> normalize_rows(const MatrixRef& m) {
    const uint64_t rows = m.rows, cols = m.cols;
    std::vector<float> out(static_cast<std::size_t>(rows * cols));
    for (uint64_t i = 0; i < rows; ++i) {
        float* dst = out.data() + i * cols;
        const float norm = row_divisor(m, i);
        for (uint64_t j = 0; j < cols; ++j) dst[j] = m.at(i, j) / norm;
    }
    return out;
}

}  // namespace qor
