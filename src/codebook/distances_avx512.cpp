// AVX-512 distance kernel: blocks of 8 rows x 32 lanes (two registers of 16),
// so each centroid load serves 8 rows.
#include "common/simd_x86.hpp"
#include "codebook/distances_kernel.inl"

namespace qor {

void distance_block_avx512(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                           std::size_t stride, std::size_t begin, std::size_t end, float* out) {
    distance_rows<Avx512, 8>(rows, n_rows, d, ct, stride, begin, end, out);
}

void distance_minima_avx512(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                          std::size_t stride, const std::size_t* seg, std::size_t n_seg, float* first,
                          float* second, uint32_t* lane, std::size_t out_stride) {
    minima_rows<Avx512, 8>(rows, n_rows, d, ct, stride, seg, n_seg, first, second, lane, out_stride);
}

}  // namespace qor
