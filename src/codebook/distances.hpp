// Squared distances from rows to many centroids, each value rounded exactly
// as nearest_centroid computes it. The bounded k-means assignment reads
// these values to pick the same label as a full scan and to derive its
// bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codebook/centroid_lanes.hpp"
#include "codebook/lane_kernels.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

// Every segment of a DistanceTable starts and ends on a multiple of this.
inline constexpr std::size_t DISTANCE_LANES = CENTROID_LANE_BLOCK;

// A centroid set laid out for the distance kernels: lane p holds centroid
// lanes[p] (or padding, NO_CENTROID), so callers can evaluate any segment of
// lanes, e.g. one group of centroids.
class DistanceTable {
public:
    // `centroids` (row-major, d values each) must outlive this object.
    // lanes.size() must be a multiple of DISTANCE_LANES. `isa` falls back to
    // the scalar loop when this processor lacks it or d is 0.
    DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes, parallel::Isa isa);
    // The same, with the lanes cut into segments: segment s holds lanes
    // [segments[s], segments[s + 1]), each boundary a multiple of
    // DISTANCE_LANES, from 0 to lanes.size().
    DistanceTable(const float* centroids, uint64_t d, std::vector<uint32_t> lanes,
                  std::vector<std::size_t> segments, parallel::Isa isa);

    std::size_t width() const { return lanes_.width(); }
    uint32_t centroid(std::size_t lane) const { return lanes_.centroid(lane); }

    // out[r * (end - begin) + p - begin] = squared distance of rows[r] (d
    // values each) to the centroid of lane p, for r < n_rows and p in
    // [begin, end) (both multiples of DISTANCE_LANES); padding lanes get an
    // unspecified value. Safe from many threads.
    void distances(const float* const* rows, std::size_t n_rows, std::size_t begin, std::size_t end,
                   float* out) const {
        kernels_.distances(rows, n_rows, lanes_.view(), begin, end, out);
    }

    // Per row r < n_rows and segment s in [seg_begin, seg_end), at o = r *
    // out_stride + s - seg_begin: the smallest distance over the segment's
    // centroids, the lane of its first occurrence and the second smallest
    // (see MinimaKernel). The values are those `distances` computes. Safe
    // from many threads.
    void minima(const float* const* rows, std::size_t n_rows, std::size_t seg_begin, std::size_t seg_end,
                float* first, float* second, uint32_t* lane, std::size_t out_stride) const {
        kernels_.minima(rows, n_rows, lanes_.view(), segments_.data() + seg_begin, seg_end - seg_begin, first,
                        second, lane, out_stride);
    }

private:
    LaneKernels kernels_;
    std::vector<std::size_t> segments_;
    CentroidLanes lanes_;
};

}  // namespace qor
