// AVX2 MaxSim kernel: 8 query rows per register, blocks of 5 document rows x
// 16 query rows (10 accumulators beside the two running maxima, the query
// loads and the broadcast, within 16 registers); float16 rows widened with
// F16C (this file is compiled with it; the caller checks it before picking
// the kernel). FMA is disabled for this file.
#include "common/simd_x86.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/maxsim_kernel.inl"

namespace qor {

void maxsim_rows_avx2(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                      RowType type, std::size_t n_rows, float* maxima, Lookahead& ahead) {
    maxsim_rows_of<Avx2, 5, 2>(qt, stride, q, dim, rows, type, n_rows, maxima, ahead);
}

}  // namespace qor
