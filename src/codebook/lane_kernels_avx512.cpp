// AVX-512 lane kernels: 16 lanes per register, blocks of 8 rows x 32 lanes,
// so each centroid load serves 8 rows.
#include "codebook/lane_kernels.inl"
#include "common/simd_x86.hpp"

namespace qor {

LaneKernels lane_kernels_avx512() {
    return vector_lane_kernels<Avx512, 8>();
}

}  // namespace qor
