// AVX-512 nearest-centroid kernel: 16 centroids per register, blocks of 8
// rows x 32 centroids.
#include "common/simd_x86.hpp"
#include "codebook/nearest_kernel.inl"

namespace qor {

void nearest_centroid_avx512(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t /*k*/,
                             std::size_t kpad, uint32_t* out) {
    nearest_rows<Avx512, 8>(rows, n, d, ct, kpad, out);
}

}  // namespace qor
