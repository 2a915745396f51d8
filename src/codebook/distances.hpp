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
    // The same, with the lanes cut into segments: segment s holds lanes
    // [segments[s], segments[s + 1]), each boundary a multiple of
    // DISTANCE_LANES, from 0 to lanes.size().
    DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes, std::vector<std::size_t> segments,
                  parallel::Isa isa);

    std::size_t width() const { return lanes_.size(); }
    uint32_t centroid(std::size_t lane) const { return lanes_[lane]; }

    // out[r * (end - begin) + p - begin] = squared distance of rows[r] (d
    // values each) to the centroid of lane p, for r < n_rows and p in
    // [begin, end) (both multiples of DISTANCE_LANES); padding lanes get an
    // unspecified value. Safe from many threads.
    void distances(const float* const* rows, std::size_t n_rows, std::size_t begin, std::size_t end,
                   float* out) const;

    // Per row r < n_rows and segment s in [seg_begin, seg_end), at o = r *
    // out_stride + s - seg_begin: first[o] = the smallest distance over the
    // segment's centroids, lane[o] = the lane of its first occurrence,
    // second[o] = the second smallest (equal to the smallest when that
    // occurs twice); NaN values never count, and a segment without a finite
    // value gives +inf (lane unspecified). The values are those `distances`
    // computes. Safe from many threads.
    void minima(const float* const* rows, std::size_t n_rows, std::size_t seg_begin, std::size_t seg_end,
                float* first, float* second, uint32_t* lane, std::size_t out_stride) const;

    std::size_t segments() const { return segments_.size() - 1; }
    std::size_t segment_begin(std::size_t s) const { return segments_[s]; }

private:
    const float* centroids_;
    uint64_t d_;
    std::vector<uint32_t> lanes_;
    std::vector<std::size_t> segments_;
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
// Segment minima (see DistanceTable::minima) over segments seg[0..n_seg] of
// the same copy, for any number of rows.
void distance_minima_avx2(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                          std::size_t stride, const std::size_t* seg, std::size_t n_seg, float* first,
                          float* second, uint32_t* lane, std::size_t out_stride);
void distance_minima_avx512(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct,
                            std::size_t stride, const std::size_t* seg, std::size_t n_seg, float* first,
                            float* second, uint32_t* lane, std::size_t out_stride);

}  // namespace qor
