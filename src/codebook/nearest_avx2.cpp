// AVX2 nearest-centroid kernel: 8 centroids per register, blocks of 4 rows x
// 16 centroids (8 accumulators fit the 16 registers with the centroid loads
// and temporaries).
#include "common/simd_x86.hpp"
#include "codebook/nearest_kernel.inl"

namespace qor {

void nearest_centroid_avx2(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t /*k*/,
                           std::size_t kpad, uint32_t* out) {
    nearest_rows<Avx2, 4>(rows, n, d, ct, kpad, out);
}

}  // namespace qor
