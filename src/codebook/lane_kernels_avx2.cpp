// AVX2 lane kernels: 8 lanes per register, blocks of 4 rows x 16 lanes (8
// accumulators fit the 16 registers with the centroid loads and temporaries).
#include "codebook/lane_kernels.inl"
#include "common/simd_x86.hpp"

namespace qor {

LaneKernels lane_kernels_avx2() {
    return vector_lane_kernels<Avx2, 4>();
}

}  // namespace qor
