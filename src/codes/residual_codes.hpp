// Compressed token vectors: each vector kept as its fine code (the nearest
// fine centroid, exactly as the router assigns it) and its residual to that
// centroid quantised to `bits` bits per dimension.
//
// The quantiser holds, per dimension p, K = 2^bits reconstruction levels in
// increasing order and the K - 1 cut points between them:
//   bucket(p, v) = the number of cut points c of dimension p with v >= c
// (a NaN value falls in bucket 0). Vector x with fine code c is stored as
// code c and buckets for its residual r[p] = x[p] - centroid_c[p] (float32;
// x as given, not normalised): first bucket(p, r[p]), then up to 3 passes
// of coordinate descent over p = 0 .. dim - 1 that move each to the level
// with the lowest ||e||^2 + 3 (u . e)^2 (e = r - the reconstructed residual,
// u = x / ||x||; strictly lower than the current one's to move; float64 in
// dimension order), since an error along x moves the scores of the queries
// that find x most. Packed little-end first: dimension p sits in byte
// p / (8 / bits) at bit (p % (8 / bits)) * bits; unused high bits of the
// last byte are zero. Its reconstruction is centroid_c[p] + level[p][bucket].
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parallel/thread_pool.hpp"

namespace qor {

// A fine-centroid table borrowed from the caller: n_fine x dim row-major
// float32, as the router's codebook holds it (unit rows).
struct CentroidView {
    const float* data = nullptr;
    uint64_t n_fine = 0;
    uint64_t dim = 0;
};

// The per-dimension residual quantiser. cuts is dim x (K - 1) and levels
// dim x K, row-major, each row non-decreasing.
struct ResidualQuantiser {
    uint64_t dim = 0;
    uint32_t bits = 0;
    std::vector<float> cuts;
    std::vector<float> levels;

    uint32_t buckets() const { return 1u << bits; }
};

// Bytes of one vector's packed residual: ceil(dim * bits / 8).
inline uint64_t residual_bytes(uint64_t dim, uint32_t bits) {
    return (dim * bits + 7) / 8;
}

// Whether `bits` is one the codes support (1, 2 or 4).
inline bool supported_bits(uint64_t bits) {
    return bits == 1 || bits == 2 || bits == 4;
}

inline constexpr uint64_t DEFAULT_QUANTISER_SAMPLE = 65536;
inline constexpr uint64_t QUANTISER_SEED = 44;

// Trains the quantiser on at most `sample` of the n rows of the n x dim
// row-major `vectors`: all rows when n <= sample, otherwise `sample` distinct
// rows drawn with the project's ChaCha generator seeded by `seed`. Per
// dimension, over the sampled residuals that are finite: levels start at the
// means of K equal-count runs of the sorted values and take a few rounds of
// one-dimensional Lloyd refinement (cut = midpoint of neighbouring levels,
// level = mean of its bucket, sums in double in sorted order); an empty
// bucket keeps its level. A dimension without a finite residual gets zero
// levels and cuts. Deterministic: the result depends on the inputs and the
// seed only, not on the instruction set or the pool size.
// Throws InvalidInput for unsupported bits, a dimension that does not match
// the centroids', or no centroids.
ResidualQuantiser train_residual_quantiser(const CentroidView& centroids, const float* vectors, uint64_t n,
                                           uint32_t bits, uint64_t sample, uint64_t seed,
                                           parallel::ThreadPool* pool = nullptr);

// The fine code (uint16; n_fine <= 65536) and packed residual of each of the
// n rows: fine[i], residual[i * residual_bytes .. ]. Parallel over rows on
// `pool` (the calling thread's pool when null); each row writes its own slot.
// Throws InvalidInput when the quantiser and centroids disagree on the
// dimension or n_fine is outside 1 .. 65536.
void encode_residual_codes(const CentroidView& centroids, const ResidualQuantiser& quantiser,
                           const float* vectors, uint64_t n, uint16_t* fine, uint8_t* residual,
                           parallel::ThreadPool* pool = nullptr);

// Checks that `quantiser` is usable with `centroids` (bits, shapes); throws
// InvalidInput naming what is wrong.
void check_quantiser(const CentroidView& centroids, const ResidualQuantiser& quantiser);

}  // namespace qor
