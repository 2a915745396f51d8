// Every squared distance between a block of rows and a centroid set, each
// value rounded exactly as nearest_centroid computes it (differences,
// squares and sums in float, dimensions in increasing order, sums from
// -0.0). The bounded k-means assignment reads these values to pick the same
// label as a full scan and to derive its bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parallel/cpu_features.hpp"

namespace qor {

// Centroid lanes per block of the vector distance kernels; a row of the
// output holds a multiple of this many values.
inline constexpr std::size_t DISTANCE_LANE_BLOCK = 32;

// A centroid set prepared for distance_rows: the row-major centroids and, for
// the vector kernels, a d x kpad transposed copy (padding lanes are NaN).
class DistanceTable {
public:
    // `centroids` (k x d, row-major) must outlive this object. `isa` falls
    // back to the scalar loop when this processor lacks it or k or d is 0.
    DistanceTable(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa);

    // Values per output row: at least k.
    std::size_t stride() const { return stride_; }
    uint64_t k() const { return k_; }
    uint64_t d() const { return d_; }
    parallel::Isa isa() const { return isa_; }

    // out[i * stride() + c] = squared distance of row i of the n x d
    // row-major `rows` to centroid c, for c < k (later entries of a row are
    // unspecified). Calling thread only; safe to call from many threads.
    void distances(const float* rows, std::size_t n, float* out) const;

private:
    const float* centroids_;
    uint64_t k_;
    uint64_t d_;
    parallel::Isa isa_;
    std::size_t stride_ = 0;
    std::vector<float> storage_;
    const float* transposed_ = nullptr;
};

// The squared distance of one row to one centroid, in the same rounding.
float squared_distance(const float* row, const float* centroid, std::size_t d);

// Kernels. The vector ones read the transposed copy ct (d x kpad, kpad a
// multiple of DISTANCE_LANE_BLOCK, 64-byte aligned) and write n rows of kpad
// values; they need d >= 1.
void distance_rows_avx2(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t kpad,
                        float* out);
void distance_rows_avx512(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t kpad,
                          float* out);

}  // namespace qor
