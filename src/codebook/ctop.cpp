#include "codebook/ctop.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "common/text.hpp"

namespace qor {

namespace {

// Largest cluster id + 1 scored in a flat table by top_coarse_clusters.
constexpr uint64_t DENSE_SCORE_TABLE = uint64_t{1} << 16;

}  // namespace

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

}  // namespace qor
