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
    : DistanceTable(centroids, d, std::move(lanes), {}, isa) {}

DistanceTable::DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes,
                             std::vector<std::size_t> segments, parallel::Isa isa)
    : centroids_(centroids), d_(d), lanes_(std::move(lanes)), segments_(std::move(segments)), isa_(isa) {
    if (segments_.empty()) segments_ = {0, lanes_.size()};
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

void DistanceTable::minima(const float* const* rows, std::size_t n_rows, std::size_t seg_begin, std::size_t seg_end,
                           float* first, float* second, uint32_t* lane, std::size_t out_stride) const {
    const auto d = static_cast<std::size_t>(d_);
    const std::size_t n_seg = seg_end - seg_begin;
    switch (isa_) {
#if QOR_SIMD_KERNELS
        case parallel::Isa::Avx512:
            distance_minima_avx512(rows, n_rows, d, transposed_, lanes_.size(), segments_.data() + seg_begin, n_seg,
                                   first, second, lane, out_stride);
            return;
        case parallel::Isa::Avx2:
            distance_minima_avx2(rows, n_rows, d, transposed_, lanes_.size(), segments_.data() + seg_begin, n_seg,
                                 first, second, lane, out_stride);
            return;
#endif
        default:
            break;
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t r = 0; r < n_rows; ++r)
        for (std::size_t s = seg_begin; s < seg_end; ++s) {
            float m1 = inf, m2 = inf;
            uint32_t l1 = NO_CENTROID;
            for (std::size_t p = segments_[s]; p < segments_[s + 1]; ++p) {
                if (lanes_[p] == NO_CENTROID) continue;
                const float v = squared_distance(rows[r], centroids_ + lanes_[p] * d, d);
                if (v < m1) {
                    m2 = m1;
                    m1 = v;
                    l1 = static_cast<uint32_t>(p);
                } else if (v < m2) {
                    m2 = v;
                }
            }
            const std::size_t o = r * out_stride + s - seg_begin;
            first[o] = m1;
            second[o] = m2;
            lane[o] = l1;
        }
}

}  // namespace qor
