#include "codebook/distances.hpp"

#include <cstdint>
#include <limits>

namespace qor {

namespace {

// Whether this processor runs the kernels of `isa` (an explicit request for
// a missing instruction set gets the scalar loop, not an illegal instruction).
bool runs_here(parallel::Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case parallel::Isa::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
        case parallel::Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
}

}  // namespace

float squared_distance(const float* row, const float* centroid, std::size_t d) {
    float dist = -0.0f;
    for (std::size_t j = 0; j < d; ++j) {
        const float diff = row[j] - centroid[j];
        const float sq = diff * diff;
        dist = dist + sq;
    }
    return dist;
}

DistanceTable::DistanceTable(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa)
    : centroids_(centroids), k_(k), d_(d), isa_(isa) {
    if (k == 0 || d == 0 || k > std::numeric_limits<uint32_t>::max() || !runs_here(isa))
        isa_ = parallel::Isa::Scalar;
    stride_ = static_cast<std::size_t>((k + DISTANCE_LANE_BLOCK - 1) / DISTANCE_LANE_BLOCK * DISTANCE_LANE_BLOCK);
    if (isa_ == parallel::Isa::Scalar) return;
    constexpr std::size_t align_floats = 16;  // 64 bytes
    storage_.resize(static_cast<std::size_t>(d) * stride_ + align_floats);
    float* base = storage_.data();
    const auto misalign = (reinterpret_cast<std::uintptr_t>(base) / sizeof(float)) % align_floats;
    float* t = base + (misalign == 0 ? 0 : align_floats - misalign);
    // Strips of 16 centroids: each dimension's 16 values are written as one
    // run while the 16 source rows stream in order.
    constexpr uint64_t strip = 16;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (uint64_t c0 = 0; c0 < stride_; c0 += strip)
        for (uint64_t j = 0; j < d; ++j) {
            float* dst = t + j * stride_ + c0;
            for (uint64_t c = 0; c < strip; ++c) dst[c] = c0 + c < k ? centroids[(c0 + c) * d + j] : nan;
        }
    transposed_ = t;
}

void DistanceTable::distances(const float* rows, std::size_t n, float* out) const {
    const auto d = static_cast<std::size_t>(d_);
    switch (isa_) {
        case parallel::Isa::Avx512:
            distance_rows_avx512(rows, n, d, transposed_, stride_, out);
            return;
        case parallel::Isa::Avx2:
            distance_rows_avx2(rows, n, d, transposed_, stride_, out);
            return;
        default:
            for (std::size_t i = 0; i < n; ++i)
                for (uint64_t c = 0; c < k_; ++c)
                    out[i * stride_ + c] = squared_distance(rows + i * d, centroids_ + c * d, d);
            return;
    }
}

}  // namespace qor
