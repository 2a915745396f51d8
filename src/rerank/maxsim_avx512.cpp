// AVX-512 MaxSim kernel: blocks of 12 document rows x 16 query rows, 24
// accumulators in AVX-512VL's 32 vector registers. The vectors stay 256 bits
// wide, as in the router's similarity kernel: the extra registers, not the
// width, are what cut the query loads per row. FMA is disabled for this file.
#include "common/simd_x86.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/maxsim_kernel.inl"

namespace qor {

void maxsim_rows_avx512(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const float* rows,
                        std::size_t n_rows, float* maxima) {
    maxsim_rows<Avx2, 12, 2>(qt, stride, q, dim, rows, n_rows, maxima);
}

}  // namespace qor
