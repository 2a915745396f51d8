#include "codebook/nearest.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

// Rows per parallel task: enough work (about 4M element steps) to amortise
// the hand-off, and a multiple of 8 so the vector kernels' row blocks are
// full except in the last task. The result never depends on it.
std::size_t task_rows(uint64_t k, uint64_t d) {
    const uint64_t per_row = std::max<uint64_t>(1, k * std::max<uint64_t>(d, 1));
    uint64_t rows = (uint64_t{1} << 22) / per_row;
    rows = std::max<uint64_t>(8, (rows + 7) / 8 * 8);
    return static_cast<std::size_t>(rows);
}

}  // namespace

uint32_t nearest_centroid(std::span<const float> vec, const MatrixRef& centroids) {
    float best = NEAREST_START;
    uint32_t best_index = 0;
    for (uint64_t c = 0; c < centroids.rows; ++c) {
        float dist = -0.0f;
        for (uint64_t j = 0; j < centroids.cols; ++j) {
            const float diff = vec[j] - centroids.at(c, j);
            const float sq = diff * diff;
            dist = dist + sq;
        }
        if (best > dist) {
            best = dist;
            best_index = static_cast<uint32_t>(c);
        }
    }
    return best_index;
}

void nearest_centroid_scalar(const float* rows, std::size_t n, std::size_t d, const float* centroids,
                             std::size_t k, uint32_t* out) {
    // The plain reference: one nearest_centroid per row, as the kernels must match.
    const MatrixRef cents = MatrixRef::contiguous(centroids, k, d);
    for (std::size_t i = 0; i < n; ++i) out[i] = nearest_centroid({rows + i * d, d}, cents);
}

PreparedCentroids::PreparedCentroids(const float* centroids, uint64_t k, uint64_t d)
    : PreparedCentroids(centroids, k, d, parallel::best_isa()) {}

PreparedCentroids::PreparedCentroids(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa)
    : centroids_(centroids), k_(k), d_(d), isa_(isa) {
    // With no centroids or no dimensions every row gets 0 (all distances
    // are missing or -0.0); the scalar loop gives that without a copy. An
    // explicit request for a kernel this processor or build lacks (a test or
    // benchmark on another machine) gets the scalar loop instead of an
    // illegal instruction.
    if (k == 0 || d == 0 || k > std::numeric_limits<uint32_t>::max() || !parallel::isa_supported(isa))
        isa_ = parallel::Isa::Scalar;
    if (isa_ == parallel::Isa::Scalar) return;
    kpad_ = static_cast<std::size_t>((k + NEAREST_LANE_BLOCK - 1) / NEAREST_LANE_BLOCK * NEAREST_LANE_BLOCK);
    constexpr std::size_t align_floats = 16;  // 64 bytes
    storage_.resize(static_cast<std::size_t>(d) * kpad_ + align_floats);
    float* base = storage_.data();
    const auto misalign = (reinterpret_cast<std::uintptr_t>(base) / sizeof(float)) % align_floats;
    float* t = base + (misalign == 0 ? 0 : align_floats - misalign);
    // Transposed in strips of 16 centroids: each dimension's 16 values are
    // written as one contiguous run while the 16 source rows stream in order
    // (a plain column-by-column scatter costs several times more).
    constexpr uint64_t strip = 16;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (uint64_t c0 = 0; c0 < kpad_; c0 += strip) {
        for (uint64_t j = 0; j < d; ++j) {
            float* dst = t + j * kpad_ + c0;
            for (uint64_t c = 0; c < strip; ++c) dst[c] = c0 + c < k ? centroids[(c0 + c) * d + j] : nan;
        }
    }
    transposed_ = t;
}

void PreparedCentroids::nearest(const float* rows, uint64_t n, uint32_t* out) const {
    const auto nn = static_cast<std::size_t>(n);
    const auto d = static_cast<std::size_t>(d_);
    const auto k = static_cast<std::size_t>(k_);
    switch (isa_) {
#if QOR_SIMD_KERNELS
        case parallel::Isa::Avx512:
            nearest_centroid_avx512(rows, nn, d, transposed_, k, kpad_, out);
            break;
        case parallel::Isa::Avx2:
            nearest_centroid_avx2(rows, nn, d, transposed_, k, kpad_, out);
            break;
#endif
        default:
            nearest_centroid_scalar(rows, nn, d, centroids_, k, out);
            break;
    }
}

void PreparedCentroids::nearest_parallel(const float* rows, uint64_t n, uint32_t* out) const {
    const uint64_t d = d_;
    parallel::parallel_for(
        static_cast<std::size_t>(n), task_rows(k_, d_),
        [&](std::size_t begin, std::size_t end) { nearest(rows + begin * d, end - begin, out + begin); });
}

}  // namespace qor
