#include "codebook/codebook.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "codebook/kmeans.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"
#include "parallel/call_hooks.hpp"

namespace qor {

TwoStageCodebook train_codebook(std::span<const float> vectors, uint64_t n, uint64_t d, uint64_t n_fine,
                                uint64_t n_coarse, uint64_t max_kmeans_iter, KMeansTrace* fine_trace) {
    uint64_t need = 0;
    if (__builtin_mul_overflow(n, d, &need) || vectors.size() < need)
        throw InternalFailure("vector shape mismatch: expected " + num(n) + " x " + num(d) + " values, got " +
                              num(vectors.size()));

    const uint64_t k_fine = std::max<uint64_t>(std::min(n, n_fine), 2);
    const uint64_t k_coarse = std::max<uint64_t>(std::min(k_fine / 2, n_coarse), 2);

    // The fine k-means clusters the normalised rows, normalising them as it
    // reads them: a normalised copy would double the memory of the input.
    KMeansResult fine = [&] {
        const ProgressStage stage("fine k-means");
        KMeansOptions fine_options;
        fine_options.trace = fine_trace;
        fine_options.normalize = true;
        return kmeans(MatrixRef::contiguous(vectors.data(), n, d), k_fine, max_kmeans_iter, FINE_SEED,
                      fine_options);
    }();
    fine.labels = {};  // not needed; freed before the coarse level
    const uint64_t h = fine.k;
    const KMeansResult coarse = [&] {
        const ProgressStage stage("coarse k-means");
        return kmeans(MatrixRef::contiguous(fine.centroids.data(), h, d), k_coarse, max_kmeans_iter,
                      COARSE_SEED);
    }();

    TwoStageCodebook cb;
    cb.n_fine = k_fine;
    cb.dim = d;
    cb.n_coarse = k_coarse;
    cb.cindex_labels.resize(static_cast<std::size_t>(h));
    for (uint64_t f = 0; f < h; ++f) cb.cindex_labels[f] = coarse.labels[f];

    // Distances computed once per unordered pair and mirrored, so the table
    // is symmetric bit for bit.
    cb.centroid_dists.assign(static_cast<std::size_t>(h * h), 0.0f);
    const float* c = fine.centroids.data();
    for (uint64_t i = 0; i < h; ++i) {
        for (uint64_t j = i; j < h; ++j) {
            float sum = -0.0f;
            for (uint64_t k = 0; k < d; ++k) {
                const float diff = c[i * d + k] - c[j * d + k];
                const float sq = diff * diff;
                sum = sum + sq;
            }
            const float dist = std::sqrt(sum);
            cb.centroid_dists[i * h + j] = dist;
            cb.centroid_dists[j * h + i] = dist;
        }
    }
    cb.cquant = std::move(fine.centroids);
    cb.idf.assign(static_cast<std::size_t>(k_fine), 1.0f);
    return cb;
}

std::vector<float> compute_idf(std::span<const std::vector<uint32_t>> doc_code_lists, uint64_t k_fine) {
    const uint64_t n_docs = doc_code_lists.empty() ? 1 : doc_code_lists.size();
    const auto k = static_cast<std::size_t>(k_fine);
    std::vector<float> df(k, 0.0f);
    std::vector<unsigned char> seen(k);
    for (const auto& codes : doc_code_lists) {
        std::fill(seen.begin(), seen.end(), 0);
        for (const uint32_t code : codes) {
            if (code >= k_fine || seen[code]) continue;
            df[code] = df[code] + 1.0f;
            seen[code] = 1;
        }
    }
    const float num = static_cast<float>(n_docs) + 1.0f;
    std::vector<float> idf(k);
    for (std::size_t c = 0; c < k; ++c) idf[c] = std::log(num / (df[c] + 1.0f));
    return idf;
}

}  // namespace qor
