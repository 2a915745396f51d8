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

void check_token_lists(const int64_t* starts, uint64_t n_fine, uint64_t n_list_docs) {
    if (starts[0] != 0 || static_cast<uint64_t>(starts[n_fine]) != n_list_docs)
        throw InvalidInput("the lists' starts must run from 0 to their " + std::to_string(n_list_docs) +
                           " entries");
    for (uint64_t c = 0; c < n_fine; ++c)
        if (starts[c + 1] < starts[c])
            throw InvalidInput("the lists' starts fall at centroid " + std::to_string(c));
}

namespace {

// Rows probing at most this many centroids keep them in a short sorted
// list filled in one pass; wider probes sort.
constexpr std::size_t LIST_PROBE = 32;

// The probes[j] centroids most similar to each query row j, row after row
// (repeats possible across rows).
std::vector<uint32_t> nearest_centroids(const float* similarities, std::size_t stride, uint64_t n_fine,
                                        std::span<const uint64_t> probes) {
    std::vector<uint32_t> chosen;
    if (n_fine == 0) return chosen;
    std::vector<uint32_t> order;
    for (std::size_t j = 0; j < probes.size(); ++j) {
        const auto take = static_cast<std::size_t>(std::min(probes[j], n_fine));
        if (take == 0) continue;
        // Most similar first; NaN after every number; ties to the lower index.
        const auto before = [&](uint32_t a, uint32_t b) {
            const float x = similarities[a * stride + j], y = similarities[b * stride + j];
            if (std::isnan(x) || std::isnan(y)) return std::isnan(y) && (!std::isnan(x) || a < b);
            return x > y || (x == y && a < b);
        };
        if (take <= LIST_PROBE) {
            // Centroids come in increasing index, so one that ties an
            // entry goes after it, as the order above has it.
            order.clear();
            for (uint32_t c = 0; c < n_fine; ++c) {
                if (order.size() == take) {
                    if (!before(c, order.back())) continue;
                    order.pop_back();
                }
                auto at = order.end();
                while (at != order.begin() && before(c, *(at - 1))) --at;
                order.insert(at, c);
            }
        } else {
            order.resize(static_cast<std::size_t>(n_fine));
            for (uint32_t c = 0; c < n_fine; ++c) order[c] = c;
            std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                              before);
        }
        chosen.insert(chosen.end(), order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return chosen;
}

[[noreturn]] void outside(int64_t d, uint64_t n_docs) {
    throw InvalidInput("document " + std::to_string(d) + " is not among the " + std::to_string(n_docs) +
                       " documents");
}

}  // namespace

std::vector<int64_t> token_candidates(const float* similarities, std::size_t stride, uint64_t n_fine,
                                      const int64_t* starts, const int64_t* docs,
                                      std::span<const uint64_t> probes, uint64_t n_docs,
                                      std::span<const int64_t> extra, const uint8_t* skip) {
    // One bit per document: marking the lists' documents and reading the
    // bits back in order merges them without sorting what may be many
    // thousands of entries (the lists overlap).
    const std::size_t words = static_cast<std::size_t>((n_docs + 63) / 64);
    thread_local std::vector<uint64_t> reused;
    std::vector<uint64_t> own;
    std::vector<uint64_t>& bits = words <= (std::size_t{1} << 16) ? reused : own;
    bits.assign(words, 0);
    auto mark = [&](int64_t d) {
        if (d < 0 || static_cast<uint64_t>(d) >= n_docs) outside(d, n_docs);
        bits[static_cast<std::size_t>(d) / 64] |= uint64_t{1} << (static_cast<std::size_t>(d) % 64);
    };
    std::size_t marked = 0;
    for (const uint32_t c : nearest_centroids(similarities, stride, n_fine, probes)) {
        for (int64_t i = starts[c]; i < starts[c + 1]; ++i) mark(docs[i]);
        marked += static_cast<std::size_t>(starts[c + 1] - starts[c]);
    }
    for (const int64_t d : extra) mark(d);
    std::vector<int64_t> out;
    out.reserve(marked + extra.size());
    for (std::size_t w = 0; w < words; ++w)
        for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
            const auto d = static_cast<int64_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word)));
            if (skip == nullptr || skip[d] == 0) out.push_back(d);
        }
    return out;
}

std::vector<int64_t> token_candidates(const float* query, uint64_t q, const CentroidView& centroids,
                                      const int64_t* starts, const int64_t* docs, uint64_t n_list_docs,
                                      uint64_t probe) {
    const uint64_t k = centroids.n_fine;
    check_token_lists(starts, k, n_list_docs);
    if (q == 0 || k == 0 || probe == 0) return {};
    const std::size_t stride = code_major_stride(q);
    std::vector<float> sims((static_cast<std::size_t>(k) + 1) * stride);
    similarity_code_major(query, q, centroids.data, k, centroids.dim, sims.data());
    const std::vector<uint64_t> probes(static_cast<std::size_t>(q), probe);
    // Nothing here says how many documents there are (the lists are the
    // caller's), so no bit per document: the lists are sorted together.
    std::vector<int64_t> out;
    for (const uint32_t c : nearest_centroids(sims.data(), stride, k, probes))
        out.insert(out.end(), docs + starts[c], docs + starts[c + 1]);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace qor
