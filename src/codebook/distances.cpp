#include "codebook/distances.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace qor {

float squared_distance(const float* row, const float* centroid, std::size_t d) {
    float dist = -0.0f;
    for (std::size_t j = 0; j < d; ++j) {
        const float diff = row[j] - centroid[j];
        const float sq = diff * diff;
        dist = dist + sq;
    }
    return dist;
}

DistanceTable::DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes, parallel::Isa isa)
    : centroids_(centroids), d_(d), lanes_(std::move(lanes)), isa_(isa) {
    // An explicit request for a kernel this processor or build lacks gets the
    // scalar loop instead of an illegal instruction.
    if (d == 0 || lanes_.empty() || !parallel::isa_supported(isa)) isa_ = parallel::Isa::Scalar;
    if (isa_ == parallel::Isa::Scalar) return;
    const std::size_t width = lanes_.size();
    constexpr std::size_t align_floats = 16;  // 64 bytes
    storage_.resize(static_cast<std::size_t>(d) * width + align_floats);
    float* base = storage_.data();
    const auto misalign = (reinterpret_cast<std::uintptr_t>(base) / sizeof(float)) % align_floats;
    float* t = base + (misalign == 0 ? 0 : align_floats - misalign);
    // Strips of 16 lanes: each dimension's 16 values are written as one run
    // while the 16 source rows stream in order.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t p0 = 0; p0 < width; p0 += DISTANCE_LANES)
        for (uint64_t j = 0; j < d; ++j) {
            float* dst = t + j * width + p0;
            for (std::size_t l = 0; l < DISTANCE_LANES; ++l) {
                const uint32_t c = lanes_[p0 + l];
                dst[l] = c == NO_CENTROID ? nan : centroids[c * d + j];
            }
        }
    transposed_ = t;
}

void DistanceTable::distances(const float* const* rows, std::size_t n_rows, std::size_t begin, std::size_t end,
                              float* out) const {
    const auto d = static_cast<std::size_t>(d_);
    const std::size_t span = end - begin;
    for (std::size_t r0 = 0; r0 < n_rows; r0 += DISTANCE_BLOCK_ROWS) {
        const std::size_t m = n_rows - r0 < DISTANCE_BLOCK_ROWS ? n_rows - r0 : DISTANCE_BLOCK_ROWS;
        float* o = out + r0 * span;
        switch (isa_) {
#if QOR_SIMD_KERNELS
            case parallel::Isa::Avx512:
                distance_block_avx512(rows + r0, m, d, transposed_, lanes_.size(), begin, end, o);
                break;
            case parallel::Isa::Avx2:
                distance_block_avx2(rows + r0, m, d, transposed_, lanes_.size(), begin, end, o);
                break;
#endif
            default:
                for (std::size_t r = 0; r < m; ++r)
                    for (std::size_t p = begin; p < end; ++p)
                        o[r * span + p - begin] =
                            lanes_[p] == NO_CENTROID ? std::numeric_limits<float>::quiet_NaN()
                                                     : squared_distance(rows[r0 + r], centroids_ + lanes_[p] * d, d);
                break;
        }
    }
}

}  // namespace qor
