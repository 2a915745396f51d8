// AVX2 similarity kernel: 8 query rows per register, blocks of 6 centroids x
// 16 rows (12 accumulators beside the query loads and the broadcast); a
// last group of at most 8 rows in blocks of 6 x 8. FMA is disabled for this
// file.
#include "common/simd_x86.hpp"
#include "router/similarity_kernel.inl"

namespace qor {

void similarity_rows_avx2(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                          const float* centroids, std::size_t c_begin, std::size_t c_end, float* out) {
    similarity_rows<Avx2, 6, 2, 6>(qt, stride, q, dim, centroids, c_begin, c_end, out);
}

}  // namespace qor
