#include "codebook/lane_kernels.hpp"

#include <limits>

#include "codebook/nearest.hpp"
#include "common/matrix.hpp"

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

namespace {

// The plain reference: one nearest_centroid per row, as the kernels must match.
void nearest_scalar(const float* rows, std::size_t n, const LaneView& c, uint32_t* out) {
    const MatrixRef cents = MatrixRef::contiguous(c.centroids, c.k, c.d);
    for (std::size_t i = 0; i < n; ++i) out[i] = nearest_centroid({rows + i * c.d, c.d}, cents);
}

void distances_scalar(const float* const* rows, std::size_t n_rows, const LaneView& c, std::size_t begin,
                      std::size_t end, float* out) {
    const std::size_t span = end - begin;
    for (std::size_t r = 0; r < n_rows; ++r)
        for (std::size_t p = begin; p < end; ++p)
            out[r * span + p - begin] = c.lanes[p] == NO_CENTROID
                                            ? std::numeric_limits<float>::quiet_NaN()
                                            : squared_distance(rows[r], c.centroids + c.lanes[p] * c.d, c.d);
}

void minima_scalar(const float* const* rows, std::size_t n_rows, const LaneView& c, const std::size_t* seg,
                   std::size_t n_seg, float* first, float* second, uint32_t* lane, std::size_t out_stride) {
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t r = 0; r < n_rows; ++r)
        for (std::size_t s = 0; s < n_seg; ++s) {
            float m1 = inf, m2 = inf;
            uint32_t l1 = NO_CENTROID;
            for (std::size_t p = seg[s]; p < seg[s + 1]; ++p) {
                if (c.lanes[p] == NO_CENTROID) continue;
                const float v = squared_distance(rows[r], c.centroids + c.lanes[p] * c.d, c.d);
                if (v < m1) {
                    m2 = m1;
                    m1 = v;
                    l1 = static_cast<uint32_t>(p);
                } else if (v < m2) {
                    m2 = v;
                }
            }
            const std::size_t o = r * out_stride + s;
            first[o] = m1;
            second[o] = m2;
            lane[o] = l1;
        }
}

}  // namespace

LaneKernels lane_kernels_scalar() {
    return LaneKernels{&nearest_scalar, &distances_scalar, &minima_scalar, false};
}

LaneKernels lane_kernels(parallel::Isa isa) {
    using Family = LaneKernels (*)();
    return parallel::pick_kernel<Family>(isa, &lane_kernels_scalar, QOR_SIMD_ONLY(&lane_kernels_avx2),
                                         QOR_SIMD_ONLY(&lane_kernels_avx512))();
}

}  // namespace qor
