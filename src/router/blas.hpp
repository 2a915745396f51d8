// The query-by-centroid similarity product, through the single-precision
// general matrix multiply of the linked BLAS.
#pragma once

#include <cstdint>

namespace qor {

// out (q x n, row stride n) = a (q x k, row stride k) times b (n x k, row
// stride k) transposed: out[i*n + j] = dot(a row i, b row j), scale 1, the
// old contents of out overwritten. k == 0 zero-fills out; q == 0 or n == 0
// writes nothing. The BLAS runs on the calling thread only (the worker pool
// does the parallel work). Throws InternalFailure when q, n or k exceeds
// the 32-bit size range of the BLAS interface.
void sgemm_abt(const float* a, uint64_t q, const float* b, uint64_t n, uint64_t k, float* out);

}  // namespace qor
