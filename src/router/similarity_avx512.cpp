// AVX-512 similarity kernel: 16 query rows per register, blocks of 12
// centroids x 32 rows (24 of the 32 registers accumulate). FMA is disabled
// for this file.
#include "common/simd_x86.hpp"
#include "router/similarity_kernel.inl"

namespace qor {

void similarity_rows_avx512(const float* qt, std::size_t stride, std::size_t /*q*/, std::size_t dim,
                            const float* centroids, std::size_t c_begin, std::size_t c_end, float* out) {
    similarity_rows<Avx512, 12, 2>(qt, stride, dim, centroids, c_begin, c_end, out);
}

}  // namespace qor
