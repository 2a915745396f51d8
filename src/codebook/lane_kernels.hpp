// The distance kernels over a centroid set laid out in lanes (see
// centroid_lanes.hpp), one family per instruction set: nearest centroid per
// row, squared distances to a range of lanes, and per-segment minima. Every
// variant computes each distance as the scalar loop does (differences,
// squares and sums in float, dimensions in increasing order, sums from
// -0.0), so all of them give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codebook/centroid_lanes.hpp"
#include "parallel/cpu_features.hpp"

namespace qor {

// out[i] = the nearest of the view's k centroids to row i of the n x d
// row-major `rows` (the rule of nearest_centroid). The vector kernels read
// the transposed copy and need k >= 1 and d >= 1.
using NearestKernel = void (*)(const float* rows, std::size_t n, const LaneView& c, uint32_t* out);

// out[r * (end - begin) + p - begin] = squared distance of rows[r] to the
// centroid of lane p, for r < n_rows and p in [begin, end) (multiples of
// CENTROID_LANE_BLOCK); padding lanes get an unspecified value.
using DistanceKernel = void (*)(const float* const* rows, std::size_t n_rows, const LaneView& c,
                                std::size_t begin, std::size_t end, float* out);

// Per row r < n_rows and segment s < n_seg (lanes [seg[s], seg[s + 1])), at
// o = r * out_stride + s: first[o] = the smallest distance, lane[o] = the
// lane of its first occurrence, second[o] = the second smallest (equal to
// the smallest when that occurs twice); NaN values never count, and a
// segment without a finite value gives +inf (lane unspecified).
using MinimaKernel = void (*)(const float* const* rows, std::size_t n_rows, const LaneView& c,
                              const std::size_t* seg, std::size_t n_seg, float* first, float* second,
                              uint32_t* lane, std::size_t out_stride);

struct LaneKernels {
    NearestKernel nearest;
    DistanceKernel distances;
    MinimaKernel minima;
    bool vector;  // the kernels read the transposed copy
};

// Each family; the scalar one reads the row-major centroids, the vector
// ones the transposed copy.
LaneKernels lane_kernels_scalar();
LaneKernels lane_kernels_avx2();
LaneKernels lane_kernels_avx512();

// The family of `isa`, or the scalar one when this processor or build lacks it.
LaneKernels lane_kernels(parallel::Isa isa);

// The squared distance of one row to one centroid, in the kernels' rounding.
float squared_distance(const float* row, const float* centroid, std::size_t d);

}  // namespace qor
