// Nearest-centroid search: the scalar reference for one row, and the batched
// search of many rows against one centroid set (the hot loop of k-means
// assignment and encoding), whose every variant returns exactly what the
// reference returns for each row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codebook/centroid_lanes.hpp"
#include "codebook/lane_kernels.hpp"
#include "common/matrix.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

// Starting best distance of a nearest-centroid search, the largest finite
// float (bits 0x7F7FFFFF): a distance that is not below it (infinite, NaN or
// this value itself) never wins.
inline constexpr float NEAREST_START = 3.4028235e38f;

// Index of the centroid (row of `centroids`) at the smallest squared
// Euclidean distance from `vec`: float sums from -0.0 in increasing dimension
// order, each difference, square and sum rounded separately; ties go to the
// lower index, NaN distances never win, and 0 when no distance is below
// NEAREST_START. `vec` holds at least centroids.cols values. This is the
// reference every vectorised kernel must reproduce bit for bit.
uint32_t nearest_centroid(std::span<const float> vec, const MatrixRef& centroids);

// A centroid set prepared once per pass for the batched kernels: the k x d
// row-major centroids and, for the vector kernels, their transposed copy.
class PreparedCentroids {
public:
    // `centroids` (k x d, row-major) must outlive this object. The kernel is
    // the one for `isa`, or for best_isa() when none is given.
    PreparedCentroids(const float* centroids, uint64_t k, uint64_t d);
    PreparedCentroids(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa);

    // out[i] = nearest centroid of row i of the n x d row-major `rows`, on
    // the calling thread.
    void nearest(const float* rows, uint64_t n, uint32_t* out) const {
        kernels_.nearest(rows, static_cast<std::size_t>(n), lanes_.view(), out);
    }

    // The same, split over the worker pool; every row writes its own slot.
    void nearest_parallel(const float* rows, uint64_t n, uint32_t* out) const;

    parallel::Isa isa() const { return isa_; }

private:
    parallel::Isa isa_;
    LaneKernels kernels_;
    CentroidLanes lanes_;
};

}  // namespace qor
