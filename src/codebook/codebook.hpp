// The two-stage codebook: fine centroids, the coarse quantizer over them,
// centroid distances and idf weights; its training and idf computation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qor {

struct KMeansTrace;

// Fields in declaration order (the order of the state file).
//   cquant          n_fine x dim floats, row-major, every row unit length (a
//                   zero row stays zero)
//   n_fine          fine centroids trained (the request after clamping)
//   dim             vector dimension
//   cindex_labels   n_fine coarse cluster ids, each below n_coarse
//   n_coarse        coarse clusters trained (clamped)
//   centroid_dists  n_fine x n_fine Euclidean distances, symmetric, zero
//                   diagonal
//   idf             n_fine idf weights of the documents of the last build
struct TwoStageCodebook {
    std::vector<float> cquant;
    uint64_t n_fine = 0;
    uint64_t dim = 0;
    std::vector<uint32_t> cindex_labels;
    uint64_t n_coarse = 0;
    std::vector<float> centroid_dists;
    std::vector<float> idf;

    bool operator==(const TwoStageCodebook&) const = default;
};

inline constexpr uint64_t FINE_SEED = 42;
inline constexpr uint64_t COARSE_SEED = 43;

// Trains a codebook over the first n*d values of `vectors` (row-major n x d;
// rows need not be normalised). Clamps: k_fine = max(min(n, n_fine), 2);
// k_coarse = max(min(k_fine / 2, n_coarse), 2). idf is all 1.0.
// Throws InternalFailure("vector shape mismatch ...") when the slice holds
// fewer than n*d values. With fewer than 2 rows the result has fewer cquant
// rows than n_fine (encoding then refuses the codebook). `fine_trace`, when
// not null, receives the per-pass figures of the fine k-means.
TwoStageCodebook train_codebook(std::span<const float> vectors, uint64_t n, uint64_t d, uint64_t n_fine,
                                uint64_t n_coarse, uint64_t max_kmeans_iter,
                                KMeansTrace* fine_trace = nullptr);

// idf[c] = ln((n' + 1) / (df[c] + 1)) in float32, n' = number of lists (1
// when there are none), df counted once per document in float32.
std::vector<float> compute_idf(std::span<const std::vector<uint32_t>> doc_code_lists, uint64_t k_fine);

}  // namespace qor
