// Row normalisation: every row divided by its Euclidean norm, in float, with
// the exact rounding the codebook's training and encoding share.
#pragma once

#include <cstdint>
#include <vector>

#include "common/matrix.hpp"

namespace qor {

// Smallest norm a row is divided by (bits 0x322BCC77); a zero row stays zero.
inline constexpr float NORM_FLOOR = 1e-8f;

// A new contiguous row-major copy of m with every row divided (true
// division) by max(norm, NORM_FLOOR); norm = sqrtf of the float sum of
// squares in increasing column order. A NaN norm stays NaN.
std::vector<float> normalize_rows(const MatrixRef& m);

// The divisor normalize_rows uses for each row of m: max(norm, NORM_FLOOR),
// NaN for a NaN norm.
std::vector<float> row_divisors(const MatrixRef& m);

// dst[j] = row[j] / divisor for j < cols: a row of normalize_rows given its
// divisor. `row` and `dst` do not overlap.
void divide_row(const float* row, uint64_t cols, float divisor, float* dst);

}  // namespace qor
