// Nearest-centroid search: the scalar reference for one row, and the batched
// search of many rows against one centroid set (the hot loop of k-means
// assignment and encoding), whose every variant returns exactly what the
// reference returns for each row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Centroid lanes per block of the vector kernels; the transposed copy is
// padded to a multiple of this.
inline constexpr std::size_t NEAREST_LANE_BLOCK = 32;

// A centroid set prepared once per pass for the batched kernels: the k x d
// row-major centroids and, for the vector kernels, a d x kpad transposed copy
// (column j holds dimension j of every centroid; padding lanes are NaN so
// they never win).
class PreparedCentroids {
public:
    // `centroids` (k x d, row-major) must outlive this object. The kernel is
    // the one for `isa`, or for best_isa() when none is given.
    PreparedCentroids(const float* centroids, uint64_t k, uint64_t d);
    PreparedCentroids(const float* centroids, uint64_t k, uint64_t d, parallel::Isa isa);

    // out[i] = nearest centroid of row i of the n x d row-major `rows`, on
    // the calling thread.
    void nearest(const float* rows, uint64_t n, uint32_t* out) const;

    // The same, split over the worker pool; every row writes its own slot.
    void nearest_parallel(const float* rows, uint64_t n, uint32_t* out) const;

    parallel::Isa isa() const { return isa_; }

private:
    const float* centroids_;
    uint64_t k_;
    uint64_t d_;
    parallel::Isa isa_;
    std::size_t kpad_ = 0;
    std::vector<float> storage_;  // transposed copy plus alignment slack
    const float* transposed_ = nullptr;
};

// Kernels, one per instruction set. The scalar one reads the row-major
// centroids; the vector ones read the transposed copy ct (d x kpad, kpad a
// multiple of NEAREST_LANE_BLOCK, 64-byte aligned, padding lanes NaN) and
// need k >= 1 and d >= 1.
void nearest_centroid_scalar(const float* rows, std::size_t n, std::size_t d, const float* centroids,
                             std::size_t k, uint32_t* out);
void nearest_centroid_avx2(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t k,
                           std::size_t kpad, uint32_t* out);
void nearest_centroid_avx512(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t k,
                             std::size_t kpad, uint32_t* out);

}  // namespace qor
