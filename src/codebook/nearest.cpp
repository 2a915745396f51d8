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

// With no centroids or no dimensions every row gets 0 (all distances are
// missing or -0.0); the scalar loop gives that without a copy.
parallel::Isa usable_isa(uint64_t k, uint64_t d, parallel::Isa isa) {
    if (k == 0 || d == 0 || k > std::numeric_limits<uint32_t>::max()) return parallel::Isa::Scalar;
    return isa;
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

PreparedCentroids::PreparedCentroids(const float* centroids, uint64_t k, uint64_t d)
    : PreparedCentroids(centroids, k, d, parallel::best_isa()) {}

PreparedCentroids::PreparedCentroids(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa)
    : isa_(usable_isa(k, d, isa)),
      kernels_(lane_kernels(isa_)),
      lanes_(centroids, k, d, kernels_.vector ? CentroidLanes::in_order(k) : std::vector<uint32_t>{},
             kernels_.vector) {
    // An explicit request for a kernel this processor or build lacks (a test
    // or benchmark on another machine) got the scalar loop instead of an
    // illegal instruction.
    if (!kernels_.vector) isa_ = parallel::Isa::Scalar;
}

void PreparedCentroids::nearest_parallel(const float* rows, uint64_t n, uint32_t* out) const {
    const uint64_t k = lanes_.view().k, d = lanes_.view().d;
    parallel::parallel_for(
        static_cast<std::size_t>(n), task_rows(k, d),
        [&](std::size_t begin, std::size_t end) { nearest(rows + begin * d, end - begin, out + begin); });
}

}  // namespace qor
