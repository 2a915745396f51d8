// Squared distances from one row to many centroids, each value rounded
// exactly as nearest_centroid computes it (differences, squares and sums in
// float, dimensions in increasing order, sums from -0.0). The bounded k-means
// assignment reads these values to pick the same label as a full scan and to
// derive its bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parallel/cpu_features.hpp"

namespace qor {

// Lanes per step of the vector kernels; every segment of a DistanceTable
// starts and ends on a multiple of this.
inline constexpr std::size_t DISTANCE_LANES = 32;

// Most rows per call of distance_block_* (each centroid load serves them all).
inline constexpr std::size_t DISTANCE_BLOCK_ROWS = 8;

// Marks a padding lane of a DistanceTable.
inline constexpr uint32_t NO_CENTROID = 0xFFFFFFFFu;

// A centroid set laid out for the distance kernels: lane p holds centroid
// lanes[p] (or padding, NO_CENTROID), so callers can evaluate any segment of
// lanes, e.g. one group of centroids.
class DistanceTable {
public:
    // `centroids` (k x d, row-major) must outlive this object. lanes.size()
    // must be a multiple of DISTANCE_LANES. `isa` falls back to the scalar
    // loop when this processor lacks it or d is 0.
    DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes, parallel::Isa isa);

    std::size_t width() const { return lanes_.size(); }
    uint32_t centroid(std::size_t lane) const { return lanes_[lane]; }

    // out[r * (end - begin) + p - begin] = squared distance of rows[r] (d
    // values each) to the centroid of lane p, for r < n_rows and p in
    // [begin, end) (both multiples of DISTANCE_LANES); padding lanes get an
    // unspecified value. Safe from many threads.
    void distances(const float* const* rows, std::size_t n_rows, std::size_t begin, std::size_t end,
                   float* out) const;

private:
    const float* centroids_;
    uint64_t d_;
    std::vector<uint32_t> lanes_;
    parallel::Isa isa_;
    std::vector<float> storage_;  // d x width transposed copy plus alignment slack
    const float* transposed_ = nullptr;
};

// The squared distance of one row to one centroid, in the same rounding.
float squared_distance(const float* row, const float* centroid, std::size_t d);

// Kernels over a transposed copy ct (d x stride, 64-byte aligned): out[r *
// (end - begin) + p - begin] for n_rows <= DISTANCE_BLOCK_ROWS rows and lanes
// [begin, end), multiples of DISTANCE_LANES; need d >= 1.
void distance_block_avx2(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                         std::size_t stride, std::size_t begin, std::size_t end, float* out);
void distance_block_avx512(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                           std::size_t stride, std::size_t begin, std::size_t end, float* out);

}  // namespace qor
