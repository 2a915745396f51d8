#include "codebook/encode.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "codebook/kmeans.hpp"
#include "codebook/nearest.hpp"
#include "common/errors.hpp"
#include "common/text.hpp"
#include "parallel/thread_pool.hpp"

namespace qor {

namespace {

// Rows normalised and encoded per block.
constexpr std::size_t ENCODE_BLOCK = 256;

// Largest cluster id + 1 scored in a flat table by top_coarse_clusters.
constexpr uint64_t DENSE_SCORE_TABLE = uint64_t{1} << 16;

// a * b, or the largest value when the product does not fit: a size that
// cannot exist never passes a "holds at least" check.
uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t p = 0;
    return __builtin_mul_overflow(a, b, &p) ? std::numeric_limits<uint64_t>::max() : p;
}

}  // namespace

std::vector<uint32_t> encode_vectors(const TwoStageCodebook& codebook, std::span<const float> vectors,
                                     uint64_t n_rows) {
    const uint64_t k = codebook.n_fine, d = codebook.dim;
    const uint64_t centroid_values = saturating_mul(k, d);
    if (codebook.cquant.size() < centroid_values)
        throw InternalFailure("codebook shape mismatch: n_fine " + num(k) + " x dim " + num(d) + " needs " +
                              num(centroid_values) + " centroid values, cquant holds " +
                              num(codebook.cquant.size()));
    const uint64_t row_values = saturating_mul(n_rows, d);
    if (vectors.size() < row_values)
        throw InternalFailure("vector shape mismatch: " + num(n_rows) + " rows x dim " + num(d) + " needs " +
                              num(row_values) + " values, the slice holds " + num(vectors.size()));

    std::vector<uint32_t> codes(static_cast<std::size_t>(n_rows), 0);
    if (n_rows == 0) return codes;
    // Rows are normalised a block at a time (as normalize_rows would), so
    // encoding holds no normalised copy of the whole input.
    const PreparedCentroids prepared(codebook.cquant.data(), k, d);
    const float* x = vectors.data();
    const auto dd = static_cast<std::size_t>(d);
    parallel::parallel_for(static_cast<std::size_t>(n_rows), ENCODE_BLOCK, [&](std::size_t b, std::size_t e) {
        std::vector<float> block(ENCODE_BLOCK * dd);
        for (std::size_t i0 = b; i0 < e; i0 += ENCODE_BLOCK) {
            const std::size_t m = std::min(ENCODE_BLOCK, e - i0);
            const std::vector<float> div = row_divisors(MatrixRef::contiguous(x + i0 * dd, m, d));
            for (std::size_t r = 0; r < m; ++r)
                divide_row(x + (i0 + r) * dd, d, div[r], block.data() + r * dd);
            prepared.nearest(block.data(), m, codes.data() + i0);
        }
    });
    return codes;
}

std::vector<uint32_t> top_coarse_clusters(const TwoStageCodebook& codebook, std::span<const uint32_t> codes,
                                          uint64_t r) {
    const uint64_t n_fine = codebook.n_fine, n_coarse = codebook.n_coarse;
    if (codebook.cindex_labels.size() < n_fine || codebook.idf.size() < n_fine)
        throw InternalFailure("codebook shape mismatch: n_fine " + num(n_fine) + " but cindex_labels holds " +
                              num(codebook.cindex_labels.size()) + " and idf " + num(codebook.idf.size()));

    // Scores accumulate per cluster in code order. The table only needs to
    // reach the largest cluster the codes hit; a loaded codebook with labels
    // far beyond any trained count falls back to an ordered map instead of
    // allocating a huge table.
    uint64_t table = 0;
    for (const uint32_t code : codes)
        if (code < n_fine && codebook.cindex_labels[code] < n_coarse)
            table = std::max<uint64_t>(table, uint64_t{codebook.cindex_labels[code]} + 1);
    std::vector<std::pair<uint32_t, float>> pairs;
    const auto add_positive = [&pairs](uint32_t cl, float score) {
        if (score > 0.0f) pairs.emplace_back(cl, score);  // false for NaN
    };
    if (table <= DENSE_SCORE_TABLE) {
        std::vector<float> scores(static_cast<std::size_t>(table), 0.0f);
        for (const uint32_t code : codes) {
            if (code >= n_fine) continue;
            const uint32_t cl = codebook.cindex_labels[code];
            if (cl >= n_coarse) continue;
            scores[cl] = scores[cl] + codebook.idf[code];
        }
        for (uint64_t cl = 0; cl < table; ++cl) add_positive(static_cast<uint32_t>(cl), scores[cl]);
    } else {
        std::map<uint32_t, float> scores;
        for (const uint32_t code : codes) {
            if (code >= n_fine) continue;
            const uint32_t cl = codebook.cindex_labels[code];
            if (cl >= n_coarse) continue;
            float& s = scores.try_emplace(cl, 0.0f).first->second;
            s = s + codebook.idf[code];
        }
        for (const auto& [cl, score] : scores) add_positive(cl, score);
    }

    // Highest score first; equal scores keep increasing cluster order. Only
    // positive (hence non-NaN) scores are here, so the order is strict-weak.
    const auto higher = [](const auto& a, const auto& b) { return a.second > b.second; };
    if (pairs.size() <= 20) {
        for (std::size_t i = 1; i < pairs.size(); ++i) {
            const auto p = pairs[i];
            std::size_t j = i;
            for (; j > 0 && higher(p, pairs[j - 1]); --j) pairs[j] = pairs[j - 1];
            pairs[j] = p;
        }
    } else {
        std::stable_sort(pairs.begin(), pairs.end(), higher);
    }

    const auto take = static_cast<std::size_t>(std::min<uint64_t>(r, pairs.size()));
    std::vector<uint32_t> ctop(take);
    for (std::size_t i = 0; i < take; ++i) ctop[i] = pairs[i].first;
    return ctop;
}

float proxy_distance(std::span<const float> sims, uint64_t q, uint64_t h, std::span<const uint16_t> ids) {
    if (q == 0 || ids.empty()) return NEAREST_START;
    if (sims.size() < saturating_mul(q, h))
        throw InternalFailure("similarity shape mismatch: " + num(q) + " rows x " + num(h) +
                              " centroids needs " + num(saturating_mul(q, h)) + " values, the matrix holds " +
                              num(sims.size()));
    float sum = 0.0f;
    const float neg_inf = -std::numeric_limits<float>::infinity();
    for (uint64_t j = 0; j < q; ++j) {
        const float* row = sims.data() + j * h;
        float m = neg_inf;
        for (const uint16_t id : ids) {
            if (id >= h) continue;
            const float v = row[id];
            if (v > m) m = v;  // false for NaN: NaN values are ignored
        }
        if (m != neg_inf && !std::isnan(m)) sum = sum + m;
    }
    return 1.0f - sum / static_cast<float>(q);
}

}  // namespace qor
