#include "codes/token_lists.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/errors.hpp"
#include "router/similarity.hpp"

namespace qor {

TokenLists build_token_lists(const uint16_t* fine, uint64_t n_rows, const int64_t* offsets, uint64_t n_docs,
                             uint64_t n_fine) {
    if (offsets[0] != 0 || static_cast<uint64_t>(offsets[n_docs]) != n_rows)
        throw InvalidInput("offsets must run from 0 to the " + std::to_string(n_rows) + " stored vectors");
    for (uint64_t d = 0; d < n_docs; ++d)
        if (offsets[d + 1] < offsets[d])
            throw InvalidInput("offsets fall at document " + std::to_string(d) + ": " +
                               std::to_string(offsets[d]) + " then " + std::to_string(offsets[d + 1]));
    const auto k = static_cast<std::size_t>(n_fine);
    // Two passes in document order: count, then fill. `last` holds the last
    // document counted per centroid, so a document enters a list once.
    TokenLists out;
    out.starts.assign(k + 1, 0);
    std::vector<int64_t> last(k, -1);
    auto each = [&](auto&& visit) {
        for (uint64_t d = 0; d < n_docs; ++d)
            for (int64_t r = offsets[d]; r < offsets[d + 1]; ++r) {
                const uint16_t c = fine[r];
                if (c >= n_fine || last[c] == static_cast<int64_t>(d)) continue;
                last[c] = static_cast<int64_t>(d);
                visit(c, static_cast<int64_t>(d));
            }
    };
    each([&](uint16_t c, int64_t) { ++out.starts[std::size_t{c} + 1]; });
    for (std::size_t c = 0; c < k; ++c) out.starts[c + 1] += out.starts[c];
    out.docs.resize(static_cast<std::size_t>(out.starts[k]));
    std::vector<int64_t> next(out.starts.begin(), out.starts.end() - 1);
    std::fill(last.begin(), last.end(), -1);
    each([&](uint16_t c, int64_t d) { out.docs[static_cast<std::size_t>(next[c]++)] = d; });
    return out;
}

std::vector<int64_t> token_candidates(const float* query, uint64_t q, const CentroidView& centroids,
                                      const int64_t* starts, const int64_t* docs, uint64_t n_list_docs,
                                      uint64_t probe) {
    const uint64_t k = centroids.n_fine;
    if (starts[0] != 0 || static_cast<uint64_t>(starts[k]) != n_list_docs)
        throw InvalidInput("the lists' starts must run from 0 to their " + std::to_string(n_list_docs) +
                           " entries");
    for (uint64_t c = 0; c < k; ++c)
        if (starts[c + 1] < starts[c])
            throw InvalidInput("the lists' starts fall at centroid " + std::to_string(c));
    std::vector<int64_t> out;
    if (q == 0 || k == 0 || probe == 0) return out;
    const std::size_t stride = code_major_stride(q);
    std::vector<float> sims((static_cast<std::size_t>(k) + 1) * stride);
    similarity_code_major(query, q, centroids.data, k, centroids.dim, sims.data());
    const auto take = static_cast<std::size_t>(std::min(probe, k));
    std::vector<uint32_t> order(static_cast<std::size_t>(k));
    for (std::size_t j = 0; j < q; ++j) {
        for (uint32_t c = 0; c < k; ++c) order[c] = c;
        // Most similar first; NaN after every number; ties to the lower index.
        const auto before = [&](uint32_t a, uint32_t b) {
            const float x = sims[a * stride + j], y = sims[b * stride + j];
            if (std::isnan(x) || std::isnan(y)) return std::isnan(y) && (!std::isnan(x) || a < b);
            return x > y || (x == y && a < b);
        };
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                          before);
        for (std::size_t t = 0; t < take; ++t)
            out.insert(out.end(), docs + starts[order[t]], docs + starts[order[t] + 1]);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace qor
